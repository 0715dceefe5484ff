#include "cdxlib/records/tsfile.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <semaphore.h>
#include <string>
#include <strings.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "cdxlib/sys/fileutil.h"
#include "cdxlib/sys/logicaldirs.h"
#include "cdxlib/sys/timestamp.h"
#include "platform/error.h"
#include "platform/files.h"

namespace {

constexpr size_t kStampLen = 13;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsStampSeparator(char c) { return c == '_' || c == '.'; }

bool AllDigits(const char* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (!IsDigit(p[i])) return false;
  return true;
}

// Length of the name without the suffix, or -1 when it does not end in it.
ptrdiff_t StemLength(const char* name, const char* suffix) {
  if (!name) return -1;
  const size_t n = strlen(name);
  const size_t s = suffix ? strlen(suffix) : 0;
  if (n < s || (s && strcasecmp(name + n - s, suffix) != 0)) return -1;
  return static_cast<ptrdiff_t>(n - s);
}

// One stamp (6 digits, an optional separator, 6 digits) that ends at `end`:
// where it starts, or -1.
ptrdiff_t StampEndingAt(const char* name, ptrdiff_t end) {
  if (end < 12 || !AllDigits(name + end - 6, 6)) return -1;
  ptrdiff_t dateEnd = end - 6;
  if (IsStampSeparator(name[dateEnd - 1])) --dateEnd;
  if (dateEnd < 6 || !AllDigits(name + dateEnd - 6, 6)) return -1;
  return dateEnd - 6;
}

// The seconds of YYMMDD (p) and HHMMSS (q), checked as a calendar time.
bool StampSeconds(const char* p, const char* q, int32_t* seconds) {
  if (!AllDigits(p, 6) || !AllDigits(q, 6)) return false;
  auto num = [](const char* at) { return (at[0] - '0') * 10 + (at[1] - '0'); };
  const int yy = num(p), month = num(p + 2), day = num(p + 4);
  const int hour = num(q), minute = num(q + 2), second = num(q + 4);
  const int year = yy < 70 ? 2000 + yy : 1900 + yy;
  if (month < 1 || month > 12 || day < 1 || day > Time_DaysOfMonth(year, month) || hour > 23 || minute > 59 ||
      second > 59)
    return false;
  struct tm t = {};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  const int64_t s = Time_MakeSeconds(&t);
  // Stamps from 2038 on lie beyond a TimeStamp's seconds; they read as the
  // unsigned count the calendar uses.
  *seconds = static_cast<int32_t>(static_cast<uint32_t>(s));
  return true;
}

// Parses the stamp region [p, end): one or two stamps. False when it is
// neither.
bool ParseStampRegion(const char* p, const char* end, int32_t* first, int32_t* second, bool* closed) {
  auto one = [](const char*& at, const char* limit, int32_t* out) {
    if (limit - at < 12) return false;
    const char* date = at;
    at += 6;
    if (IsStampSeparator(*at)) ++at;
    if (limit - at < 6) return false;
    const char* time = at;
    at += 6;
    return StampSeconds(date, time, out);
  };
  const char* at = p;
  if (!one(at, end, first)) return false;
  *closed = false;
  if (at == end) return true;
  if (IsStampSeparator(*at)) ++at;
  if (!one(at, end, second) || at != end) return false;
  *closed = true;
  return true;
}

struct Slot {
  std::atomic<uint32_t> count{0};  // 0: free
  uint32_t position = 0;           // in the data buffer
  int64_t offset = 0;              // in the file
};

struct Writer {
  std::unique_ptr<Slot[]> ring;
  uint32_t capacity = 0;
  std::unique_ptr<uint8_t[]> buffer;
  std::unique_ptr<std::atomic<uint8_t>[]> pending;
  uint32_t bufferSize = 0;
  uint32_t periodSeconds = 1;
  uint32_t head = 0;  // next slot the caller fills
  uint32_t tail = 0;  // next slot the thread writes
  sem_t wake;
  std::atomic<bool> stop{false};
  std::atomic<uint32_t> heldError{0};
  std::atomic<uint64_t> writes{0};
  std::thread thread;
};

struct Series {
  std::mutex mu;
  std::string directory;
  std::string prefix;
  std::string suffix;
  int fd = -1;
  std::string currentName;  // full path of the open file
  int32_t start = 0;
  int64_t offset = 0;   // current write offset
  int64_t highest = 0;  // highest offset written
  std::string lastClosed;  // full path of the file closed last, and its
  std::string lastOpen;    // open name and offset
  int64_t lastOffset = 0;
  int64_t lastHighest = 0;
  std::unique_ptr<Writer> writer;
};

Series& S() {
  static Series* s = new Series;  // the writer thread may outlive main()
  return *s;
}

std::string OpenName(const Series& s, int32_t start) {
  return s.directory + "/" + s.prefix + TsFile_FormatStamp(start) + s.suffix;
}

std::string ClosedName(const Series& s, int32_t start, int32_t end) {
  std::string name = s.directory + "/" + s.prefix + TsFile_FormatStamp(start) + "_";
  return name + TsFile_FormatStamp(end) + s.suffix;
}

// Rename that refuses to replace an existing target (as a move of files
// does on the system's other platforms): 0 or -1 with the error set.
int MoveNoReplace(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return plat::FailErrno(errno), -1;
  // A file system without the flag: a link fails when the target exists.
  if (link(from.c_str(), to.c_str()) != 0) return plat::FailErrno(errno), -1;
  unlink(from.c_str());
  return 0;
}

int WriteAll(int fd, const uint8_t* data, size_t length, int64_t offset) {
  while (length > 0) {
    ssize_t n = pwrite(fd, data, length, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : ENOSPC;
    data += n;
    length -= static_cast<size_t>(n);
    offset += n;
  }
  return 0;
}

void LockByte(int fd, int64_t offset, bool lock) {
  struct flock fl = {};
  fl.l_type = lock ? F_WRLCK : F_UNLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = offset;
  fl.l_len = 1;
  // The lock is advisory; a file that cannot be locked is still written.
  while (fcntl(fd, F_OFD_SETLKW, &fl) != 0 && errno == EINTR) {
  }
}

// Writes every ready request, joining the ones that continue each other.
void DrainRing(Writer& w) {
  Series& s = S();
  for (;;) {
    Slot& first = w.ring[w.tail];
    const uint32_t count = first.count.load(std::memory_order_acquire);
    if (count == 0) return;
    uint32_t total = count;
    uint32_t used = 1;
    while (used < w.capacity) {
      Slot& next = w.ring[(w.tail + used) % w.capacity];
      const uint32_t n = next.count.load(std::memory_order_acquire);
      if (n == 0 || next.offset != first.offset + total || next.position != first.position + total ||
          next.position + n > w.bufferSize)
        break;
      total += n;
      ++used;
    }
    int fd;
    {
      std::lock_guard<std::mutex> lock(s.mu);
      fd = s.fd;
    }
    int err = EBADF;
    if (fd >= 0) {
      LockByte(fd, first.offset, true);
      err = WriteAll(fd, w.buffer.get() + first.position, total, first.offset);
      LockByte(fd, first.offset, false);
    }
    w.writes.fetch_add(1, std::memory_order_relaxed);
    if (err) {
      uint32_t none = 0;
      w.heldError.compare_exchange_strong(none, plat::FromErrno(err));
    }
    for (uint32_t i = 0; i < total; ++i) w.pending[first.position + i].store(0, std::memory_order_release);
    for (uint32_t i = 0; i < used; ++i) w.ring[(w.tail + i) % w.capacity].count.store(0, std::memory_order_release);
    w.tail = (w.tail + used) % w.capacity;
  }
}

void WriterThread(Writer* w) {
  for (;;) {
    timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_sec += w->periodSeconds;
    while (sem_timedwait(&w->wake, &until) != 0 && errno == EINTR) {
    }
    DrainRing(*w);
    if (w->stop.load()) {
      DrainRing(*w);
      return;
    }
  }
}

// Reports the held error once: -1 with it, or 0.
int TakeHeldError(Writer& w) {
  const uint32_t e = w.heldError.exchange(0);
  if (e == 0) return 0;
  plat::Fail(e);
  return -1;
}

void WaitRingEmpty(Writer& w) {
  for (uint32_t i = 0; i < w.capacity; ++i)
    while (w.ring[i].count.load(std::memory_order_acquire) != 0) {
      sem_post(&w.wake);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// Queues one request whose bytes do not wrap around the buffer's end.
void QueueOne(Writer& w, const uint8_t* data, uint32_t length, int64_t offset) {
  const uint32_t position = static_cast<uint32_t>(offset % w.bufferSize);
  Slot& slot = w.ring[w.head];
  for (;;) {
    bool busy = slot.count.load(std::memory_order_acquire) != 0;
    for (uint32_t i = 0; !busy && i < length; ++i) busy = w.pending[position + i].load(std::memory_order_acquire);
    if (!busy) break;
    sem_post(&w.wake);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  memcpy(w.buffer.get() + position, data, length);
  for (uint32_t i = 0; i < length; ++i) w.pending[position + i].store(1, std::memory_order_relaxed);
  slot.position = position;
  slot.offset = offset;
  slot.count.store(length, std::memory_order_release);
  w.head = (w.head + 1) % w.capacity;
  sem_post(&w.wake);
}

void CloseCurrentLocked(Series& s) {
  if (s.fd >= 0) close(s.fd);
  s.fd = -1;
  s.currentName.clear();
}

}  // namespace

// ---------------------------------------------------------------- stamps

const char* TsFile_FormatStamp(int32_t seconds) {
  static char text[32];
  const struct tm* t = Time_GmTime(seconds);
  snprintf(text, sizeof text, "%02d%02d%02d_%02d%02d%02d", t->tm_year % 100, t->tm_mon + 1, t->tm_mday, t->tm_hour,
           t->tm_min, t->tm_sec);
  return text;
}

int TsFile_ParseStamp(const char* fileName, const char* suffix, int32_t* seconds) {
  const ptrdiff_t stem = StemLength(fileName, suffix);
  if (stem < static_cast<ptrdiff_t>(kStampLen) || !seconds) return 0;
  const char* p = fileName + stem - kStampLen;
  if (!IsStampSeparator(p[6])) return 0;
  return StampSeconds(p, p + 7, seconds) ? 1 : 0;
}

const char* Fs_FindNameStamp(const char* fileName, const char* suffix) {
  const ptrdiff_t stem = StemLength(fileName, suffix);
  if (stem < 12) return nullptr;
  const ptrdiff_t last = StampEndingAt(fileName, stem);
  if (last < 0) return nullptr;
  // A closed file's start stamp before the end stamp, with or without a
  // separator between them.
  ptrdiff_t before = last;
  if (before > 0 && IsStampSeparator(fileName[before - 1])) {
    const ptrdiff_t s = StampEndingAt(fileName, before - 1);
    if (s >= 0) return fileName + s;
  }
  const ptrdiff_t s = StampEndingAt(fileName, before);
  if (s >= 0) return fileName + s;
  return fileName + last;
}

bool Fs_HasNameStamp(const char* fileName, const char* suffix) { return Fs_FindNameStamp(fileName, suffix) != nullptr; }

int Fs_ParseFirstStamp(const char* stamp, int32_t* seconds) {
  if (!stamp || !seconds) return 0;
  const size_t n = strnlen(stamp, 13);
  if (n < 12) return 0;
  const char* time = stamp + 6;
  if (IsStampSeparator(*time)) ++time;
  if (strnlen(time, 6) < 6) return 0;
  return StampSeconds(stamp, time, seconds) ? 1 : 0;
}

int Fs_FindNewestStamped(const char* directory, char* name, size_t nameSize, const char* suffix) {
  DirList* list = Fs_OpenDirList(directory);
  if (!list) return plat::GetLastError() == plat::kErrNoMoreFiles ? 0 : -1;
  std::string best;
  int32_t bestTime = 0;
  bool found = false;
  while (const char* entry = Fs_NextDirEntry(list)) {
    const char* stamp = Fs_FindNameStamp(entry, suffix);
    int32_t t;
    if (!stamp || !Fs_ParseFirstStamp(stamp, &t)) continue;
    // Stamps compare as the calendar reads them (unsigned seconds).
    if (!found || static_cast<uint32_t>(t) > static_cast<uint32_t>(bestTime)) {
      best = entry;
      bestTime = t;
      found = true;
    }
  }
  Fs_CloseDirList(list);
  if (!found) return 0;
  if (name && nameSize) {
    const size_t n = std::min(best.size(), nameSize - 1);
    memcpy(name, best.data(), n);
    name[n] = 0;
  }
  return 1;
}

// ---------------------------------------------------------------- series

int TsFile_Open(const char* directoryName, const char* path, const char* subdirectory, const char* suffix,
                const char* prefix) {
  // The prefix and the suffix become part of every file name of the series.
  if (plat::CheckPlainName(prefix) != 0 || plat::CheckPlainName(suffix) != 0) return -1;
  std::string dir;
  if (path && *path) {
    dir = path;
  } else {
    const char* base = directoryName ? Dir_Resolve(directoryName) : nullptr;
    if (!base || !*base) return plat::Fail(plat::kErrInvalidParameter), -1;
    dir = base;
    if (subdirectory && *subdirectory) dir += "/" + std::string(subdirectory);
  }
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  if (plat::MakeDirectories(dir) != 0) return -1;
  Series& s = S();
  if (s.writer) WaitRingEmpty(*s.writer);  // a held error stays for the writer's caller
  std::lock_guard<std::mutex> lock(s.mu);
  CloseCurrentLocked(s);
  s.directory = dir;
  s.prefix = prefix ? prefix : "";
  s.suffix = suffix ? suffix : "";
  s.lastClosed.clear();
  s.offset = s.highest = 0;
  return 0;
}

const char* TsFile_Directory() { return S().directory.c_str(); }
const char* TsFile_CurrentName() { return S().currentName.c_str(); }

int TsFile_CreateCurrent(int32_t start) {
  Series& s = S();
  if (s.directory.empty()) return plat::Fail(plat::kErrInvalidHandle), -1;
  if (s.writer) WaitRingEmpty(*s.writer);  // a held error stays for the writer's caller
  std::lock_guard<std::mutex> lock(s.mu);
  CloseCurrentLocked(s);
  const std::string name = OpenName(s, start);
  const int fd = open(name.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_DSYNC | O_CLOEXEC, 0666);
  if (fd < 0) return plat::FailErrno(errno), -1;
  s.fd = fd;
  s.currentName = name;
  s.start = start;
  s.offset = s.highest = 0;
  return 0;
}

int TsFile_Write(const void* buffer, uint32_t length) {
  Series& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  if (s.fd < 0) return plat::Fail(plat::kErrInvalidHandle), -1;
  if (length && !buffer) return plat::Fail(plat::kErrInvalidParameter), -1;
  if (const int err = WriteAll(s.fd, static_cast<const uint8_t*>(buffer), length, s.offset))
    return plat::FailErrno(err), -1;
  s.offset += length;
  if (s.offset > s.highest) s.highest = s.offset;
  return static_cast<int>(length);
}

int TsFile_Close(const int32_t* start, const int32_t* end, int readOnly) {
  Series& s = S();
  if (s.writer) WaitRingEmpty(*s.writer);  // a held error stays for the writer's caller
  std::lock_guard<std::mutex> lock(s.mu);
  if (s.fd < 0) return plat::Fail(plat::kErrInvalidHandle), -1;
  const std::string openName = s.currentName;
  const int64_t offset = s.offset, highest = s.highest;
  const int32_t startTime = start ? *start : s.start;
  CloseCurrentLocked(s);
  if (!end) {
    if (unlink(openName.c_str()) != 0) return plat::FailErrno(errno), -1;
    return 0;
  }
  const std::string closed = ClosedName(s, startTime, *end);
  if (MoveNoReplace(openName, closed) != 0) return -1;
  if (readOnly) {
    struct stat st;
    if (stat(closed.c_str(), &st) == 0) chmod(closed.c_str(), st.st_mode & ~(S_IWUSR | S_IWGRP | S_IWOTH));
  }
  s.lastClosed = closed;
  s.lastOpen = openName;
  s.lastOffset = offset;
  s.lastHighest = highest;
  s.start = startTime;
  return 0;
}

int TsFile_Reopen() {
  Series& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  if (s.lastClosed.empty()) return plat::Fail(plat::kErrFileNotFound), -1;
  struct stat st;
  if (stat(s.lastClosed.c_str(), &st) != 0) return plat::FailErrno(errno), -1;
  chmod(s.lastClosed.c_str(), st.st_mode | S_IWUSR);
  if (MoveNoReplace(s.lastClosed, s.lastOpen) != 0) return -1;
  const int fd = open(s.lastOpen.c_str(), O_RDWR | O_DSYNC | O_CLOEXEC);
  if (fd < 0) return plat::FailErrno(errno), -1;
  CloseCurrentLocked(s);
  s.fd = fd;
  s.currentName = s.lastOpen;
  s.offset = s.lastOffset;
  s.highest = s.lastHighest;
  s.lastClosed.clear();
  return 0;
}

int TsFile_OpenNewest(char* name, size_t nameSize) {
  Series& s = S();
  if (s.directory.empty()) return plat::Fail(plat::kErrInvalidHandle), -1;
  DirList* list = Fs_OpenDirList(s.directory.c_str());
  if (!list) return plat::GetLastError() == plat::kErrNoMoreFiles ? (plat::Fail(plat::kErrFileNotFound), -1) : -1;
  std::string best;
  int32_t bestStart = 0;
  while (const char* entry = Fs_NextDirEntry(list)) {
    const ptrdiff_t stem = StemLength(entry, s.suffix.c_str());
    if (stem != static_cast<ptrdiff_t>(s.prefix.size() + kStampLen)) continue;
    if (strncasecmp(entry, s.prefix.c_str(), s.prefix.size()) != 0) continue;
    const char* stamp = entry + s.prefix.size();
    int32_t t;
    if (!IsStampSeparator(stamp[6]) || !StampSeconds(stamp, stamp + 7, &t)) continue;
    if (best.empty() || static_cast<uint32_t>(t) > static_cast<uint32_t>(bestStart)) {
      best = entry;
      bestStart = t;
    }
  }
  Fs_CloseDirList(list);
  if (best.empty()) return plat::Fail(plat::kErrFileNotFound), -1;
  const std::string full = s.directory + "/" + best;
  struct stat st;
  if (stat(full.c_str(), &st) != 0) return plat::FailErrno(errno), -1;
  chmod(full.c_str(), st.st_mode | S_IWUSR);
  const int fd = open(full.c_str(), O_RDWR | O_DSYNC | O_CLOEXEC);
  if (fd < 0) return plat::FailErrno(errno), -1;
  const int checkFd = dup(fd);
  FILE* f = checkFd >= 0 ? fdopen(checkFd, "rb") : nullptr;
  if (!f) {
    const int e = errno;
    if (checkFd >= 0) close(checkFd);
    close(fd);
    return plat::FailErrno(e), -1;
  }
  const int64_t checked = Fs_CheckLogHeader(f);
  const uint32_t checkError = plat::GetLastError();
  fclose(f);
  if (checked < 0) {
    close(fd);
    plat::Fail(checkError);
    return -1;
  }
  if (s.writer) WaitRingEmpty(*s.writer);  // a held error stays for the writer's caller
  std::lock_guard<std::mutex> lock(s.mu);
  CloseCurrentLocked(s);
  s.fd = fd;
  s.currentName = full;
  s.start = bestStart;
  s.offset = s.highest = st.st_size;
  if (name && nameSize) snprintf(name, nameSize, "%s", best.c_str());
  plat::SetLastError(0);
  errno = 0;
  return 0;
}

int TsFile_PurgeOlder(int32_t ageSeconds, const char* suffix) {
  Series& s = S();
  if (s.directory.empty()) return 0;
  const std::string sfx = suffix ? suffix : s.suffix;
  const int64_t limit = static_cast<int64_t>(static_cast<uint32_t>(Time_NowLocal(nullptr)->seconds)) - ageSeconds;
  DirList* list = Fs_OpenDirList(s.directory.c_str());
  if (!list) return 0;
  std::vector<std::string> doomed;
  while (const char* entry = Fs_NextDirEntry(list)) {
    const ptrdiff_t stem = StemLength(entry, sfx.c_str());
    if (stem < 0 || strncasecmp(entry, s.prefix.c_str(), s.prefix.size()) != 0) continue;
    int32_t first, second;
    bool closed;
    if (!ParseStampRegion(entry + s.prefix.size(), entry + stem, &first, &second, &closed)) continue;
    const int64_t t = static_cast<uint32_t>(closed ? second : first);
    if (t < limit) doomed.push_back(s.directory + "/" + entry);
  }
  Fs_CloseDirList(list);
  int deleted = 0;
  for (const auto& path : doomed) {
    if (path == s.currentName) continue;
    if (unlink(path.c_str()) == 0) ++deleted;
  }
  return deleted;
}

// ---------------------------------------------------------------- writer

int TsFile_StartWriter(uint32_t ringCapacity, uint32_t bufferSize, uint32_t periodSeconds) {
  Series& s = S();
  if (s.writer) return plat::Fail(plat::kErrAlreadyExists), -1;
  if (ringCapacity == 0 || bufferSize == 0) return plat::Fail(plat::kErrInvalidParameter), -1;
  auto w = std::make_unique<Writer>();
  w->capacity = ringCapacity;
  w->ring.reset(new Slot[ringCapacity]);
  w->bufferSize = bufferSize;
  w->buffer.reset(new uint8_t[bufferSize]);
  w->pending.reset(new std::atomic<uint8_t>[bufferSize]);
  for (uint32_t i = 0; i < bufferSize; ++i) w->pending[i].store(0, std::memory_order_relaxed);
  w->periodSeconds = periodSeconds ? periodSeconds : 1;
  if (sem_init(&w->wake, 0, 0) != 0) return plat::FailErrno(errno), -1;
  w->thread = std::thread(WriterThread, w.get());
  s.writer = std::move(w);
  return 0;
}

int TsFile_QueueWrite(const void* data, uint32_t length, int64_t fileOffset) {
  Series& s = S();
  Writer* w = s.writer.get();
  if (!w) return plat::Fail(plat::kErrInvalidHandle), -1;
  if (TakeHeldError(*w) != 0) return -1;
  if (length == 0) return 0;
  if (!data || length > w->bufferSize) return plat::Fail(plat::kErrInvalidParameter), -1;
  {
    std::lock_guard<std::mutex> lock(s.mu);
    if (fileOffset < 0) fileOffset = s.offset;
    const int64_t end = fileOffset + length;
    if (end > s.offset) s.offset = end;
    if (end > s.highest) s.highest = end;
  }
  const auto* bytes = static_cast<const uint8_t*>(data);
  // A request that runs past the buffer's end goes as two.
  const uint32_t position = static_cast<uint32_t>(fileOffset % w->bufferSize);
  const uint32_t firstPart = std::min(length, w->bufferSize - position);
  QueueOne(*w, bytes, firstPart, fileOffset);
  if (firstPart < length) QueueOne(*w, bytes + firstPart, length - firstPart, fileOffset + firstPart);
  return 0;
}

int TsFile_FlushWriter() {
  Writer* w = S().writer.get();
  if (!w) return plat::Fail(plat::kErrInvalidHandle), -1;
  WaitRingEmpty(*w);
  return TakeHeldError(*w);
}

int TsFile_StopWriter() {
  Series& s = S();
  if (!s.writer) return plat::Fail(plat::kErrInvalidHandle), -1;
  std::unique_ptr<Writer> w = std::move(s.writer);
  w->stop.store(true);
  sem_post(&w->wake);
  w->thread.join();
  sem_destroy(&w->wake);
  return TakeHeldError(*w);
}

uint64_t TsFile_WriterWriteCount() {
  Writer* w = S().writer.get();
  return w ? w->writes.load() : 0;
}
