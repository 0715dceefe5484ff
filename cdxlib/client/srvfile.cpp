// Remote file requests: a real descriptor is an ordinary system call, the
// invalid handle a request that the server performs on its side.
#include "cdxlib/client/srvfile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "cdxlib/client/srvclient.h"
#include "platform/error.h"

namespace {

// A field that would shift the server's fields (tab, CR, LF) is refused.
bool SafeField(const char* s) {
  for (; s && *s; ++s) {
    if (*s == '\t' || *s == '\r' || *s == '\n') return false;
  }
  return true;
}

int Refuse() {
  plat::Fail(plat::kErrInvalidParameter);
  return -1;
}

int SimpleRequest(const char* server, const char* code, const char* path, const char* text, char* reply,
                  uint32_t capacity, uint32_t* got) {
  if (!path || !SafeField(path) || !SafeField(text)) return Refuse();
  RequestRecord r;
  if (text) r.Printf("%s,%s\t%s", code, path, text);
  else r.Printf("%s,%s", code, path);
  *got = capacity;
  return Srv_SendRequest(server, r.Data(), reply, got);
}

int Small(const char* server, const char* code, const char* path, const char* text) {
  char reply[kSrvSmallReply];
  uint32_t got = 0;
  return SimpleRequest(server, code, path, text, reply, sizeof reply, &got);
}

int Seek(int fd, int32_t distance, uint32_t method) {
  if (distance == kSrvNoMove) return 1;
  int whence = method == kSrvFileCurrent ? SEEK_CUR : method == kSrvFileEnd ? SEEK_END : SEEK_SET;
  if (lseek(fd, distance, whence) < 0) return plat::FailErrno(errno), 0;
  return 1;
}

// Windows numbers go on the wire as "%d".
int D(uint32_t v) { return static_cast<int>(v); }

uint64_t ToFileTime(const struct timespec& t) {
  constexpr uint64_t kEpochDiff = 11644473600ULL;
  return (static_cast<uint64_t>(t.tv_sec) + kEpochDiff) * 10000000ULL + static_cast<uint64_t>(t.tv_nsec) / 100;
}

// Reads a decimal (optionally negative) number at *p within end.
bool Number(const char** p, const char* end, long long* v) {
  const char* s = *p;
  bool neg = false;
  if (s < end && *s == '-') neg = true, ++s;
  const char* digits = s;
  long long x = 0;
  while (s < end && *s >= '0' && *s <= '9') {
    if (x < 1000000000000LL) x = x * 10 + (*s - '0');
    ++s;
  }
  if (s == digits) return false;
  *v = neg ? -x : x;
  *p = s;
  return true;
}

}  // namespace

int SrvFile_RequestUf(const char* server, const char* path) { return Small(server, "UF", path, nullptr); }
int SrvFile_RequestNf(const char* server, const char* path) { return Small(server, "NF", path, nullptr); }
int SrvFile_RequestOf(const char* server, const char* path) { return Small(server, "OF", path, nullptr); }
int SrvFile_RequestBf(const char* server, const char* path) { return Small(server, "BF", path, nullptr); }
int SrvFile_RequestEf(const char* server, const char* path, const char* text) {
  return Small(server, "EF", path, text ? text : "");
}

int SrvFile_RequestMf(const char* server, const char* path, char* textOut, size_t textOutSize, const char* textIn) {
  errno = 0;
  char reply[kSrvMfReply + 1] = {};
  uint32_t got = 0;
  int rc = SimpleRequest(server, "MF", path, textIn ? textIn : "", reply, kSrvMfReply, &got);
  if (rc == 1 && textOut && textOutSize > 0) {
    size_t n = 0;
    while (2 + n < got && reply[2 + n] != '\0' && n + 1 < textOutSize) ++n;
    if (got > 2) memcpy(textOut, reply + 2, n);
    textOut[n] = '\0';
  }
  return rc;
}

int SrvFile_GetSize(const char* server, const char* path, uint32_t access, uint32_t share, int securityFlag,
                    uint32_t disposition, uint32_t attributes) {
  errno = 0;
  if (!path || !SafeField(path)) return Refuse();
  RequestRecord r;
  r.Printf("SF,%s\t%d\t%d\t%d\t%d\t%d", path, D(access), D(share), securityFlag, D(disposition), D(attributes));
  char reply[kSrvSfReply + 1];
  uint32_t got = kSrvSfReply;
  return Srv_SendRequest(server, r.Data(), reply, &got);
}

int SrvFile_GetTime(const char* server, int handle, const char* path, uint64_t* creation, uint64_t* lastAccess,
                    uint64_t* lastWrite) {
  uint64_t t[3];
  if (handle != kSrvInvalidHandle) {
    struct stat st;
    if (fstat(handle, &st) != 0) return plat::FailErrno(errno), 0;
    // No birth time through fstat: the change time stands for the creation.
    t[0] = ToFileTime(st.st_ctim);
    t[1] = ToFileTime(st.st_atim);
    t[2] = ToFileTime(st.st_mtim);
  } else {
    char reply[kSrvTfReply + 1];
    uint32_t got = 0;
    int rc = SimpleRequest(server, "TF", path, nullptr, reply, kSrvTfReply, &got);
    if (rc == -1) return plat::SetLastError(static_cast<uint32_t>(errno)), 0;
    const char* p = reply + (got >= 2 ? 2 : got);
    const char* end = reply + got;
    long long v[6];
    for (int i = 0; i < 6; ++i) {
      if (i > 0) {
        if (p >= end || *p != ',') return plat::Fail(plat::kErrInvalidData), 0;
        ++p;
      }
      if (!Number(&p, end, &v[i])) return plat::Fail(plat::kErrInvalidData), 0;
    }
    for (int i = 0; i < 3; ++i)
      t[i] = (static_cast<uint64_t>(static_cast<uint32_t>(v[2 * i])) << 32) | static_cast<uint32_t>(v[2 * i + 1]);
  }
  if (creation) *creation = t[0];
  if (lastAccess) *lastAccess = t[1];
  if (lastWrite) *lastWrite = t[2];
  return 1;
}

int SrvFile_ListDir(const char* server, const char* directory, const char* pattern, int count, char* slots) {
  if (!directory || !SafeField(directory) || !SafeField(pattern)) return Refuse();
  std::vector<char> reply(kSrvDirPageSize + 1);
  int index = 0;
  for (;;) {
    RequestRecord r;
    r.Printf("DF,%s\t%s\t%d", directory, pattern ? pattern : "", index);
    uint32_t got = kSrvDirPageSize;
    int rc = Srv_SendRequest(server, r.Data(), reply.data(), &got);
    if (rc == -1) {
      plat::SetLastError(static_cast<uint32_t>(errno));
      return -1;
    }
    size_t textLength = strnlen(reply.data(), got);
    const char* p = static_cast<const char*>(memchr(reply.data(), ',', textLength));
    const char* end = reply.data() + textLength;
    const int before = index;
    while (p && p < end) {
      if (slots && index >= count) break;
      const char* name = p + 1;
      const char* next = static_cast<const char*>(memchr(name, ',', static_cast<size_t>(end - name)));
      const char* nameEnd = next ? next : end;
      if (nameEnd == name && !next) break;  // a trailing comma
      if (slots) {
        size_t n = static_cast<size_t>(nameEnd - name);
        if (n > kSrvDirSlotSize - 1) n = kSrvDirSlotSize - 1;
        char* slot = slots + static_cast<size_t>(index) * kSrvDirSlotSize;
        memcpy(slot, name, n);
        slot[n] = '\0';
      }
      ++index;
      p = next;
    }
    if ((slots && index >= count) || textLength < kSrvDirPageSize - 256) return index;
    // A full page that brought no new name would ask the same page for ever.
    if (index == before) return index;
  }
}

int SrvFile_Read(const char* server, int handle, const char* path, uint32_t bytesToRead, int32_t distance,
                 uint32_t moveMethod, uint32_t access, uint32_t share, int securityFlag, uint32_t disposition,
                 uint32_t attributes, void* buffer, uint32_t* bytesRead) {
  if (bytesRead) *bytesRead = 0;
  if (handle != kSrvInvalidHandle) {
    if (!Seek(handle, distance, moveMethod)) return 0;
    size_t done = 0;
    while (done < bytesToRead) {
      ssize_t n = read(handle, static_cast<char*>(buffer) + done, bytesToRead - done);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return plat::FailErrno(errno), 0;
      if (n == 0) break;
      done += static_cast<size_t>(n);
    }
    if (bytesRead) *bytesRead = static_cast<uint32_t>(done);
    return 1;
  }
  if (bytesToRead > kSrvMaxReadChunk) return plat::Fail(plat::kErrInvalidParameter), 0;
  if (!path || !SafeField(path)) return plat::Fail(plat::kErrInvalidParameter), 0;
  RequestRecord r;
  r.Printf("RF,%s\t%d\t%d\t%d\t%d\t%d\t%d\t%d\t%d", path, D(bytesToRead), distance, D(moveMethod), D(access),
           D(share), securityFlag, D(disposition), D(attributes));
  std::vector<char> reply(65536, '\0');
  uint32_t got = 65536;
  int rc = Srv_SendRequest(server, r.Data(), reply.data(), &got);
  if (rc == -1) return plat::SetLastError(static_cast<uint32_t>(errno)), 0;
  // "1," the data area of exactly bytesToRead bytes, a separator, the count.
  const size_t countAt = static_cast<size_t>(bytesToRead) + 3;
  if (got <= countAt) return plat::Fail(plat::kErrInvalidData), 0;
  const char* p = reply.data() + countAt;
  long long count = 0;
  if (!Number(&p, reply.data() + got, &count) || count < 0 || count > bytesToRead)
    return plat::Fail(plat::kErrInvalidData), 0;
  memcpy(buffer, reply.data() + 2, static_cast<size_t>(count));
  if (bytesRead) *bytesRead = static_cast<uint32_t>(count);
  return 1;
}

int SrvFile_Write(const char* server, int handle, const char* path, uint32_t bytesToWrite, int32_t distance,
                  uint32_t moveMethod, uint32_t access, uint32_t share, int securityFlag, uint32_t disposition,
                  uint32_t attributes, const void* data, uint32_t* bytesWritten) {
  if (bytesWritten) *bytesWritten = 0;
  if (handle != kSrvInvalidHandle) {
    if (!Seek(handle, distance, moveMethod)) return 0;
    size_t done = 0;
    while (done < bytesToWrite) {
      ssize_t n = write(handle, static_cast<const char*>(data) + done, bytesToWrite - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return plat::FailErrno(n < 0 ? errno : ENOSPC), 0;
      done += static_cast<size_t>(n);
    }
    if (bytesWritten) *bytesWritten = static_cast<uint32_t>(done);
    return 1;
  }
  if (!path || !SafeField(path)) return plat::Fail(plat::kErrInvalidParameter), 0;
  RequestRecord r;
  r.Printf("WF,%s\t%d\t%d\t%d\t%d\t%d\t%d\t%d\t%d\t", path, D(bytesToWrite), distance, D(moveMethod), D(access),
           D(share), securityFlag, D(disposition), D(attributes));
  if (static_cast<size_t>(r.Length()) + bytesToWrite > kSrvMaxWriteRequest)
    return plat::Fail(plat::kErrInvalidParameter), 0;
  r.Append(data, bytesToWrite);
  char reply[kSrvWfReply + 1];
  uint32_t got = kSrvWfReply;
  int rc = Srv_Transact(server, r.Data(), r.Length(), reply, &got);
  if (bytesWritten) *bytesWritten = bytesToWrite;
  if (rc == -1) {
    if (bytesWritten) *bytesWritten = 0;
    return plat::SetLastError(static_cast<uint32_t>(errno)), 0;
  }
  return 1;
}
