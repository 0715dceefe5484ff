// Stream layer: function-backed streams are runtime streams made with
// fopencookie, so the runtime's buffered core serves them and every wrapper
// is the stdio call itself. A record per stream keeps the caller's cookie
// and functions, registered by stream and by record.
#include "base/stream/stream.h"

#include <stdio_ext.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>

#include "base/memory/hashtable.h"

struct StreamRecord {
  FILE* file;
  void* cookie;
  Stream_ReadFn read;
  Stream_WriteFn write;
  Stream_SeekFn seek;
  Stream_CloseFn close;
};

namespace {

constexpr const char* kRecordTag = "funopen.filepd";
HashTable* g_files = nullptr;    // by runtime stream
HashTable* g_records = nullptr;  // by record

uint32_t HashFile(void*, const void* item) {
  auto v = reinterpret_cast<uintptr_t>(static_cast<const StreamRecord*>(item)->file);
  return static_cast<uint32_t>(v ^ (v >> 32));
}
int SameFile(void*, const void* a, const void* b) {
  return static_cast<const StreamRecord*>(a)->file == static_cast<const StreamRecord*>(b)->file;
}

bool EnsureTables() {
  if (g_files == nullptr) {
    g_files = HashTable_Create(nullptr, 0, 0, "funopen.files", HashFile, SameFile, nullptr, nullptr);
    if (g_files == nullptr) return false;
  }
  if (g_records == nullptr) {
    g_records = HashTable_Create(nullptr, 0, 0, "funopen.filepds", nullptr, nullptr, nullptr, nullptr);
    if (g_records == nullptr) return false;
  }
  return true;
}

ssize_t CookieRead(void* c, char* buf, size_t n) {
  auto* rec = static_cast<StreamRecord*>(c);
  int r = rec->read(rec->cookie, buf, n > INT_MAX ? INT_MAX : static_cast<int>(n));
  return r < 0 ? -1 : r;
}

ssize_t CookieWrite(void* c, const char* buf, size_t n) {
  auto* rec = static_cast<StreamRecord*>(c);
  int r = rec->write(rec->cookie, buf, n > INT_MAX ? INT_MAX : static_cast<int>(n));
  // The runtime takes 0 as an error; a failed write is reported as such.
  return r < 0 ? 0 : r;
}

int CookieSeek(void* c, off64_t* pos, int whence) {
  auto* rec = static_cast<StreamRecord*>(c);
  if (rec->seek == nullptr) {
    errno = ESPIPE;
    return -1;
  }
  int64_t r = rec->seek(rec->cookie, *pos, whence);
  if (r < 0) return -1;
  *pos = r;
  return 0;
}

int CookieClose(void* c) {
  auto* rec = static_cast<StreamRecord*>(c);
  int r = rec->close != nullptr ? rec->close(rec->cookie) : 0;
  int e = errno;
  StreamCore_ReleaseFile(rec);
  errno = e;
  return r;
}

}  // namespace

FILE* StreamCore_OpenFunctions(void* cookie, Stream_ReadFn read, Stream_WriteFn write, Stream_SeekFn seek,
                               Stream_CloseFn close) {
  if (read == nullptr && write == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  if (!EnsureTables()) return nullptr;
  auto* rec = static_cast<StreamRecord*>(TypedMem_Calloc(kRecordTag, 1, sizeof(StreamRecord)));
  if (rec == nullptr) return nullptr;
  *rec = StreamRecord{nullptr, cookie, read, write, seek, close};
  cookie_io_functions_t io{};
  io.read = read != nullptr ? CookieRead : nullptr;
  io.write = write != nullptr ? CookieWrite : nullptr;
  io.seek = CookieSeek;
  io.close = CookieClose;
  const char* mode = read != nullptr && write != nullptr ? "r+" : read != nullptr ? "r" : "w";
  FILE* f = fopencookie(rec, mode, io);
  if (f == nullptr) {
    int e = errno;
    TypedMem_Free(kRecordTag, rec);
    errno = e;
    return nullptr;
  }
  rec->file = f;
  if (HashTable_Put(g_files, rec) < 0 || HashTable_Put(g_records, rec) < 0) {
    int e = errno;
    rec->close = nullptr;  // the caller's cookie stays the caller's
    fclose(f);
    errno = e;
    return nullptr;
  }
  return f;
}

FILE* Stream_OpenFunctions(void* cookie, Stream_ReadFn read, Stream_WriteFn write, Stream_SeekFn seek,
                           Stream_CloseFn close) {
  return StreamCore_OpenFunctions(cookie, read, write, seek, close);
}

StreamRecord* StreamCore_FindByFile(FILE* f) {
  if (g_files == nullptr || f == nullptr) return nullptr;
  StreamRecord key{};
  key.file = f;
  return static_cast<StreamRecord*>(HashTable_Get(g_files, &key));
}

FILE* StreamCore_FindFileOf(StreamRecord* rec) {
  if (g_records == nullptr || HashTable_Get(g_records, rec) == nullptr) return nullptr;
  return rec->file;
}

void StreamCore_ReleaseFile(StreamRecord* rec) {
  if (rec == nullptr) return;
  if (g_files != nullptr) HashTable_Remove(g_files, rec);
  if (g_records != nullptr) HashTable_Remove(g_records, rec);
  TypedMem_Free(kRecordTag, rec);
}

int StreamCore_WalkFiles(int (*)(void*, FILE*), void*) { return 0; }

int StreamCore_FdRead(void* cookie, char* buf, int n) {
  ssize_t r = ::read(static_cast<int>(reinterpret_cast<intptr_t>(cookie)), buf, static_cast<size_t>(n));
  if (r < 0 && errno == ECONNRESET) return 0;
  return static_cast<int>(r);
}

int StreamCore_FdWrite(void* cookie, const char* buf, int n) {
  return static_cast<int>(::write(static_cast<int>(reinterpret_cast<intptr_t>(cookie)), buf, static_cast<size_t>(n)));
}

int64_t StreamCore_FdSeek(void* cookie, int64_t offset, int whence) {
  return lseek(static_cast<int>(reinterpret_cast<intptr_t>(cookie)), offset, whence);
}

int StreamCore_FdClose(void* cookie) {
  return StreamCore_CloseFd(static_cast<int>(reinterpret_cast<intptr_t>(cookie)));
}

int StreamCore_CloseFd(int fd) { return ::close(fd); }

int StreamCore_Truncate(int fd, int64_t length) {
  off_t pos = lseek(fd, 0, SEEK_CUR);
  if (ftruncate(fd, length) < 0) return -1;
  if (pos >= 0) lseek(fd, pos, SEEK_SET);
  return 0;
}

FILE* Stream_Open(const char* path, const char* mode) { return fopen(path, mode); }

FILE* Stream_Reopen(const char* path, const char* mode, FILE* f) {
  if (StreamCore_FindByFile(f) != nullptr) {
    // A function-backed stream has no file to reopen: close it and open
    // the path as a new stream.
    fclose(f);
    return path != nullptr ? fopen(path, mode) : nullptr;
  }
  return freopen(path, mode, f);
}

int Stream_Close(FILE* f) { return fclose(f); }
void Stream_Cleanup() { fflush(nullptr); }
std::size_t Stream_Read(void* buf, std::size_t size, std::size_t count, FILE* f) { return fread(buf, size, count, f); }
std::size_t Stream_Write(const void* buf, std::size_t size, std::size_t count, FILE* f) {
  return fwrite(buf, size, count, f);
}
int Stream_GetChar(FILE* f) { return fgetc(f); }
int Stream_Getc(FILE* f) { return getc(f); }
int Stream_GetcUnlocked(FILE* f) { return getc_unlocked(f); }
char* Stream_GetString(char* buf, int size, FILE* f) { return fgets(buf, size, f); }
ssize_t Stream_GetLine(char** line, std::size_t* capacity, FILE* f) { return getline(line, capacity, f); }
int Stream_GetWord(FILE* f) { return getw(f); }
int Stream_PutChar(int c, FILE* f) { return fputc(c, f); }
int Stream_Putc(int c, FILE* f) { return putc(c, f); }
int Stream_PutcUnlocked(int c, FILE* f) { return putc_unlocked(c, f); }
int Stream_PutString(const char* text, FILE* f) { return fputs(text, f); }
int Stream_PutWord(int word, FILE* f) { return putw(word, f); }
int Stream_UngetChar(int c, FILE* f) { return ungetc(c, f); }

int Stream_Printf(FILE* f, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int r = vfprintf(f, format, args);
  va_end(args);
  return r;
}
int Stream_VPrintf(FILE* f, const char* format, va_list args) { return vfprintf(f, format, args); }
int Stream_Scanf(FILE* f, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int r = vfscanf(f, format, args);
  va_end(args);
  return r;
}
int Stream_VScanf(FILE* f, const char* format, va_list args) { return vfscanf(f, format, args); }
int Stream_Flush(FILE* f) { return fflush(f); }
int Stream_Purge(FILE* f) {
  __fpurge(f);
  return 0;
}
int Stream_Seek(FILE* f, long offset, int whence) { return fseek(f, offset, whence); }
int Stream_SeekOffset(FILE* f, int64_t offset, int whence) { return fseeko(f, offset, whence); }
long Stream_Tell(FILE* f) { return ftell(f); }
int64_t Stream_TellOffset(FILE* f) { return ftello(f); }
int Stream_GetPos(FILE* f, fpos_t* pos) { return fgetpos(f, pos); }
int Stream_SetPos(FILE* f, const fpos_t* pos) { return fsetpos(f, pos); }
void Stream_Rewind(FILE* f) { rewind(f); }
int Stream_AtEnd(FILE* f) { return feof(f); }
int Stream_AtEndUnlocked(FILE* f) { return feof_unlocked(f); }
int Stream_HasError(FILE* f) { return ferror(f); }
int Stream_HasErrorUnlocked(FILE* f) { return ferror_unlocked(f); }
void Stream_ClearError(FILE* f) { clearerr(f); }
void Stream_ClearErrorUnlocked(FILE* f) { clearerr_unlocked(f); }
int Stream_GetFd(FILE* f) { return StreamCore_FindByFile(f) != nullptr ? -1 : fileno(f); }
void* Stream_GetCookie(FILE* f) {
  StreamRecord* rec = StreamCore_FindByFile(f);
  return rec != nullptr ? rec->cookie : nullptr;
}
void Stream_Lock(FILE* f) { flockfile(f); }
int Stream_TryLock(FILE* f) { return ftrylockfile(f); }
void Stream_Unlock(FILE* f) { funlockfile(f); }
void Stream_SetBuffer(FILE* f, char* buf) { setvbuf(f, buf, buf != nullptr ? _IOFBF : _IONBF, 512); }
void Stream_SetBufferSize(FILE* f, char* buf, std::size_t size) { setbuffer(f, buf, size); }
void Stream_SetLineBuffered(FILE* f) { setlinebuf(f); }
int Stream_SetVBuf(FILE* f, char* buf, int mode, std::size_t size) { return setvbuf(f, buf, mode, size); }
