// The file kind of a log store.
#include "logdata/logfilestore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "logdata/chanrequest.h"
#include "logdata/eventstext.h"
#include "logdata/logformat.h"
#include "logdata/remotelog.h"
#include "cdxlib/client/srvclient.h"
#include "cdxlib/client/srvfile.h"
#include "cdxlib/shm/datamodule.h"
#include "cdxlib/shm/drvtables.h"
#include "cdxlib/sys/eventlog.h"
#include "cdxlib/sys/servernames.h"
#include "cdxlib/sys/timestamp.h"
#include "platform/error.h"
#include "platform/files.h"
#include "platform/eventlog.h"

namespace {

// The writer lock lies far beyond any data a log can hold.
constexpr off_t kWriterLockByte = static_cast<off_t>(1) << 62;
// End offsets are 32-bit in the file: a log never grows past them.
constexpr uint64_t kMaxLogEnd = 0xFFFFFFFFull;


void SetErr(uint32_t code) {
  plat::SetLastError(code);
}
void SetErrFromErrno() {
  int e = errno;
  plat::SetLastError(plat::FromErrno(e));
  errno = e;
}

int OpenLogFd(const std::string& path, bool write, int extra) {
  // A share of another machine cannot be reached from this platform: such
  // a log is read through its server's file requests instead.
  if (plat::IsUncPath(path)) {
    errno = EHOSTUNREACH;
    return -1;
  }
  int flags = (write ? O_RDWR | O_DSYNC : O_RDONLY) | O_CLOEXEC | extra;
  int fd;
  do {
    fd = open(path.c_str(), flags, 0666);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

int64_t FileSize(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return -1;
  return st.st_size;
}

}  // namespace


bool IsLogFileStart(const uint8_t first6[6]) {
  uint16_t marker;
  memcpy(&marker, first6 + 4, 2);
  if (marker >= 0x8001 && marker <= 0xE001) return true;
  // 384..480 read little-endian is 0x8001..0xE001 written big-endian.
  uint16_t swapped = static_cast<uint16_t>((marker >> 8) | (marker << 8));
  return swapped >= 0x8001 && swapped <= 0xE001;
}

CLogFileStore::CLogFileStore() = default;

CLogFileStore::~CLogFileStore() { CloseAll(); }

void CLogFileStore::CloseAll() {
  if (second_ >= 0) close(second_);
  if (main_ >= 0) close(main_);  // also drops every lock of this writer
  second_ = main_ = -1;
  writePos_ = headerEnd_ = 0;
}

int CLogFileStore::LockByte(uint64_t at, bool lock) {
  struct flock fl = {};
  fl.l_type = lock ? F_WRLCK : F_UNLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = static_cast<off_t>(at);
  fl.l_len = 1;
  if (fcntl(main_, F_OFD_SETLK, &fl) != 0) {
    if (errno == EAGAIN || errno == EACCES) {
      SetErr(plat::kErrLockViolation);
      errno = EAGAIN;
    } else {
      SetErrFromErrno();
    }
    return -1;
  }
  return 0;
}

int CLogFileStore::TakeWriterLock() { return LockByte(static_cast<uint64_t>(kWriterLockByte), true); }

int CLogFileStore::ReadAt(int fd, void* buffer, size_t bytes, uint64_t offset) {
  auto* p = static_cast<uint8_t*>(buffer);
  size_t done = 0;
  while (done < bytes) {
    ssize_t r = pread(fd, p + done, bytes - done, static_cast<off_t>(offset + done));
    if (r < 0) {
      if (errno == EINTR) continue;
      SetErrFromErrno();
      return -1;
    }
    if (r == 0) {
      SetErr(plat::kErrHandleEof);
      return -1;
    }
    done += static_cast<size_t>(r);
  }
  return 0;
}

int CLogFileStore::RemoteRead(void* buffer, uint32_t bytes, uint64_t offset) {
  uint32_t got = 0;
  if (RemoteReadAt(server_.c_str(), path_, buffer, bytes, offset, &got) != 0) return -1;
  if (got != bytes) {
    SetErr(plat::kErrHandleEof);
    return -1;
  }
  return 0;
}

// One request at a time, of whole records that fit in a remote read; a
// request the server fails is halved and asked again.
int CLogFileStore::RemoteReadLogs(int first, LogHeader* header, void* buffer, int count) {
  const uint32_t rl = header->recordLength;
  if (static_cast<uint64_t>(count) * rl > kSrvMaxReadChunk) count = static_cast<int>(kSrvMaxReadChunk / rl);
  uint64_t off = header->headerLength + static_cast<uint64_t>(first) * rl;
  while (count > 0) {
    plat::SetLastError(0);
    uint32_t got = 0;
    if (RemoteReadAt(server_.c_str(), path_, buffer, static_cast<uint32_t>(count) * rl, off, &got) == 0) {
      int n = static_cast<int>(got / rl);
      CheckLogRecordValues(*header, buffer, n);
      return n;
    }
    count /= 2;
  }
  return 0;
}

int CLogFileStore::Open(const char* server, const char* location, uint32_t access) {
  if (!location || !*location) {
    SetErr(plat::kErrInvalidName);
    return -1;
  }
  if (main_ >= 0 || second_ >= 0) CloseAll();
  std::string path = location;
  bool write = (access & kGenericWrite) != 0;
  if (write && !plat::IsUncPath(path)) chmod(path.c_str(), plat::NewFileMode());  // a read-only log becomes writable
  int fd = OpenLogFd(path, write, 0);
  if (fd < 0) {
    if (plat::IsUncPath(path)) SetErr(plat::kErrBadNetPath);
    else SetErrFromErrno();
    if (!server || !*server) return -1;
    // A path of the server's machine, for a server reached through the
    // pipe, may be open to this machine as the server's share.
    bool separatorFirst = path.size() >= 1 && (path[0] == '\\' || path[0] == '/');
    bool separatorSecond = path.size() >= 2 && (path[1] == '\\' || path[1] == '/');
    if (!separatorFirst && !separatorSecond && Srv_GetKind(server) == kSrvKindPipe) {
      std::string unc = std::string("\\\\") + server + "\\" + path;
      fd = OpenLogFd(unc, write, 0);
      if (fd >= 0) path = unc;
    }
  }
  if (fd < 0) {
    // The log lies on the server's machine: the store reads it through the
    // server's file requests.
    server_ = server;
    path_ = path;
    access_ = access;
    writePos_ = headerEnd_ = 0;
    return 0;
  }
  uint8_t first6[6];
  if (ReadAt(fd, first6, 6, 0) != 0 || !IsLogFileStart(first6)) {
    close(fd);
    SetErr(plat::kErrInvalidData);
    errno = EINVAL;
    return -1;
  }
  main_ = fd;
  server_ = server ? server : "";
  path_ = path;
  access_ = access;
  writePos_ = headerEnd_ = 0;
  return 0;
}

int CLogFileStore::CreateLogFile(const char* path, LogHeader* header, const char* server,
                                 ChannelConfig** channels) {
  if (!path || !header || !LogHeaderUsable(*header)) {
    SetErr(plat::kErrInvalidParameter);
    return -1;
  }
  if (main_ >= 0 || second_ >= 0) CloseAll();
  std::string p = path;
  int fd = OpenLogFd(p, true, O_CREAT | O_EXCL);
  if (fd < 0 && errno == EEXIST) {
    // Only a leftover without any record may be replaced: a log of the same
    // name that holds data is never overwritten.
    int old = OpenLogFd(p, false, 0);
    bool holdsData = true;
    if (old >= 0) {
      LogHeader h;
      int64_t size = FileSize(old);
      holdsData = !(ReadLogHeader(old, &h) != 900 || !LogHeaderUsable(h) ||
                    size <= static_cast<int64_t>(h.headerLength));
      close(old);
    }
    if (holdsData) {
      SetErr(plat::kErrAlreadyExists);
      errno = EEXIST;
      return -1;
    }
    fd = OpenLogFd(p, true, 0);
  }
  if (fd < 0) {
    SetErrFromErrno();
    return -1;
  }
  main_ = fd;
  bool ours = false;  // the writer lock is held: the file is this store's
  auto fail = [&]() {
    int e = errno;
    uint32_t code = plat::GetLastError();
    CloseAll();
    // A log that could not be made holds no record: it is not left behind.
    if (ours) unlink(p.c_str());
    errno = e;
    SetErr(code ? code : plat::kErrWriteFault);
    return -1;
  };
  if (TakeWriterLock() != 0) return fail();
  ours = true;
  if (ftruncate(main_, 0) != 0) {
    SetErrFromErrno();
    return fail();
  }
  if (WriteLogHeader(main_, *header, 0) != 0) {
    SetErrFromErrno();
    return fail();
  }
  uint64_t off = kLogFileHeaderSize;
  int blocks = header->blockCount > kLogMaxBlocks ? kLogMaxBlocks : header->blockCount;
  for (int b = 0; b < blocks; ++b) {
    const LogBlockDescriptor& d = header->blocks[b];
    int n = LogBlockChannels(d);
    // The caller's records, another computer's asked of its server (one
    // request per channel), or this computer's configuration module.
    std::vector<ChannelConfig> recs;
    if (n > 0 && Log_BlockChannelConfigs(d, channels ? channels[b] : nullptr, server, true, &recs) != 1)
      return fail();
    uint16_t mark = kLogBlockStart;
    std::vector<uint8_t> bytes(static_cast<size_t>(n) * 216 + 4);
    memcpy(bytes.data(), &mark, 2);
    if (n) memcpy(bytes.data() + 2, recs.data(), static_cast<size_t>(n) * 216);
    mark = kLogBlockEnd;
    memcpy(bytes.data() + 2 + static_cast<size_t>(n) * 216, &mark, 2);
    if (!LogPwriteAll(main_, bytes.data(), bytes.size(), off)) {
      SetErrFromErrno();
      return fail();
    }
    off += bytes.size();
  }
  if (header->extLength) {
    uint64_t extAt = header->extOffset ? header->extOffset : off;
    if (WriteLogExtension(main_, *header, extAt) != 0) {
      SetErrFromErrno();
      return fail();
    }
  }
  // Whatever lies between the blocks and the first record is zeros.
  if (ftruncate(main_, header->headerLength) != 0 && FileSize(main_) < header->headerLength) {
    SetErrFromErrno();
    return fail();
  }
  second_ = OpenLogFd(p, true, 0);
  if (second_ < 0) {
    SetErrFromErrno();
    return fail();
  }
  writePos_ = headerEnd_ = header->headerLength;
  if (LockByte(writePos_, true) != 0) return fail();
  if (UpdateHeader(0) != 0) return fail();
  server_.clear();
  path_ = p;
  access_ = kGenericRead | kGenericWrite;
  return 0;
}

int CLogFileStore::OpenForAppend(LogHeader* header) {
  auto report = [](const char* text) {
    ReportSystemEvent(".", plat::kEventError, text);
    return -1;
  };
  if (!header || !LogHeaderUsable(*header)) {
    SetErr(plat::kErrInvalidParameter);
    return report("Bad file name");
  }
  // The name stamp after the prefix: 17 characters for an open log, 31 for
  // a closed one.
  std::string dir, name;
  size_t slash = path_.find_last_of('/');
  dir = slash == std::string::npos ? "" : path_.substr(0, slash + 1);
  name = slash == std::string::npos ? path_ : path_.substr(slash + 1);
  size_t stampAt = FindLogNameStamp(name);
  if (stampAt == std::string::npos) return report("No file name");
  size_t part = name.size() - stampAt;
  std::string newPath = path_;
  if (part == 31) {
    newPath = dir + name.substr(0, stampAt + 13) + ".odl";
  } else if (part != 17) {
    SetErr(0);
    return report("Bad file name");
  }
  if (second_ >= 0 || main_ >= 0) {
    // A store already open for writing keeps its descriptors; re-opening
    // would drop its locks.
    if (second_ >= 0) {
      SetErr(plat::kErrInvalidParameter);
      return -1;
    }
    close(main_);
    main_ = -1;
  }
  if (newPath != path_) {
    // Never replace an existing file of the open name.
    if (renameat2(AT_FDCWD, path_.c_str(), AT_FDCWD, newPath.c_str(), RENAME_NOREPLACE) != 0) {
      char text[1200];
      int e = errno;
      snprintf(text, sizeof text, "Cant Move %s to %s Error %d", path_.c_str(), newPath.c_str(),
               static_cast<int>(plat::FromErrno(e)));
      SetErrFromErrno();
      return report(text);
    }
    path_ = newPath;
    // The new name lasts through a power cut only once its directory is
    // flushed.
    std::string d = dir.empty() ? std::string(".") : dir;
    int dfd = open(d.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
      fsync(dfd);
      close(dfd);
    }
  }
  main_ = OpenLogFd(path_, true, 0);
  if (main_ < 0) {
    SetErrFromErrno();
    return report("Cant open1");
  }
  // The writer lock comes before anything is cut: a second writer is
  // refused here and leaves the live log as it was.
  if (TakeWriterLock() != 0) {
    uint32_t code = plat::GetLastError();
    CloseAll();
    SetErr(code);
    return report("Cant lock");
  }
  second_ = OpenLogFd(path_, true, 0);
  if (second_ < 0) {
    SetErrFromErrno();
    CloseAll();
    return report("Cant open2");
  }
  uint64_t end = header->endOffset;
  if (end < header->headerLength) end = header->headerLength;
  // Only a torn record beyond the last whole one may be cut.
  int64_t size = FileSize(main_);
  uint64_t whole = size > static_cast<int64_t>(header->headerLength)
                       ? header->headerLength + (static_cast<uint64_t>(size) - header->headerLength) /
                                                    header->recordLength * header->recordLength
                       : header->headerLength;
  if (end > whole) end = whole;
  writePos_ = headerEnd_ = end;
  if (ftruncate(main_, static_cast<off_t>(end)) != 0 || fdatasync(main_) != 0 || LockByte(end, true) != 0 ||
      UpdateHeader(0) != 0) {
    SetErrFromErrno();
    CloseAll();
    return report("Cant lock");
  }
  server_.clear();
  return 0;
}

void CLogFileStore::GetName(char* buffer, int* size) {
  if (buffer) {
    int room = size && *size > 0 ? *size : 260;
    snprintf(buffer, static_cast<size_t>(room), "%s", path_.c_str());
  }
  if (size) *size = 260;
}

int CLogFileStore::Close() {
  if (second_ >= 0) {
    UpdateHeader(0);
    close(second_);
    second_ = -1;
  }
  if (main_ >= 0) {
    close(main_);
    main_ = -1;
  }
  writePos_ = headerEnd_ = 0;
  return 0;
}

int CLogFileStore::UpdateHeader(uint32_t recordCount) {
  if (second_ < 0) {
    SetErr(plat::kErrInvalidHandle);
    return -1;
  }
  if (recordCount == 0) {
    uint32_t end = static_cast<uint32_t>(headerEnd_);
    return LogPwriteAll(second_, &end, 4, 0) ? 0 : (SetErrFromErrno(), -1);
  }
  LogHeader h;
  if (ReadLogHeader(second_, &h) != 900) return -1;
  h.recordCount = recordCount;
  return WriteLogHeader(second_, h, 0);
}

int CLogFileStore::ReadHeader(LogHeader* header) {
  if (!header) {
    SetErr(plat::kErrInvalidParameter);
    return -1;
  }
  int fd = second_ >= 0 ? second_ : main_;
  if (fd < 0 && !Remote()) {
    SetErr(plat::kErrInvalidHandle);
    return -1;
  }
  // Through the descriptor, or on the server when the store has none.
  int r = ReadLogHeader(server_.c_str(), fd, path_.c_str(), header);
  if (r != 900) {
    if (r == -1) SetErr(plat::kErrHandleEof);
    return -1;
  }
  int n = GetNoLogs(header);
  if (n < 0) return -1;
  header->recordCount = static_cast<uint32_t>(n);
  header->endOffset = static_cast<uint32_t>(static_cast<uint64_t>(n) * header->recordLength + header->headerLength);
  return 0;
}

int CLogFileStore::WriteHeader(LogHeader* header, int) {
  int fd = second_ >= 0 ? second_ : main_;
  if (!header || fd < 0) {
    SetErr(plat::kErrInvalidHandle);
    return -1;
  }
  return WriteLogHeader(fd, *header, 0) == 0 ? 0 : (SetErrFromErrno(), -1);
}

int CLogFileStore::ReadChannels(LogHeader* header, ChannelConfig* buffer, int block, int first, int count) {
  if (!header || !buffer || block < 0 || block >= header->blockCount || block >= kLogMaxBlocks || first < 0 ||
      count < 0 || first + count > LogBlockChannels(header->blocks[block])) {
    SetErr(0);
    return -1;
  }
  if (count == 0) return 0;
  uint64_t off = LogChannelOffset(*header, block, first);
  int fd = main_ >= 0 ? main_ : second_;
  if (fd < 0) {
    if (!Remote()) {
      SetErr(plat::kErrInvalidHandle);
      return -1;
    }
    return RemoteRead(buffer, static_cast<uint32_t>(count) * 216, off);
  }
  return ReadAt(fd, buffer, static_cast<size_t>(count) * 216, off);
}

int CLogFileStore::AppendRecords(LogHeader* header, const void* records, int count) {
  if (!header || !records || count <= 0 || main_ < 0 || writePos_ == 0 ||
      header->recordLength < kLogRecordFixedSize || writePos_ < header->headerLength) {
    SetErr(plat::kErrInvalidParameter);
    return -1;
  }
  const auto* p = static_cast<const uint8_t*>(records);
  size_t rl = header->recordLength;
  for (int i = 0; i < count; ++i) {
    uint16_t marker;
    memcpy(&marker, p + i * rl, 2);
    if (marker != kLogRecordMarker) {
      SetErr(plat::kErrInvalidParameter);
      return -1;
    }
  }
  size_t bytes = static_cast<size_t>(count) * rl;
  uint64_t newEnd = writePos_ + bytes;
  if (newEnd > kMaxLogEnd) {
    SetErr(plat::kErrHandleDiskFull);
    return -1;
  }
  // One write of whole records at the write position, durable on return.
  if (!LogPwriteAll(main_, p, bytes, writePos_)) {
    int e = errno;
    // Cut back what a failed write left, so the tail holds no partial batch.
    if (ftruncate(main_, static_cast<off_t>(writePos_)) != 0) {
    }
    errno = e;
    SetErrFromErrno();
    return -1;
  }
  uint64_t oldEnd = writePos_;
  writePos_ = headerEnd_ = newEnd;
  LockByte(newEnd, true);
  LockByte(oldEnd, false);
  return 0;
}

int CLogFileStore::ReadLogs(int first, LogHeader* header, void* buffer, int count, int, const char*, void*) {
  if (!header || !buffer || count <= 0 || first < 0 || !LogHeaderUsable(*header)) return 0;
  int fd = second_ >= 0 ? second_ : main_;
  if (fd < 0) {
    if (!Remote()) {
      SetErr(plat::kErrInvalidHandle);
      return 0;
    }
    return RemoteReadLogs(first, header, buffer, count);
  }
  int n = GetNoLogs(header);
  if (n <= first) return 0;
  if (count > n - first) count = n - first;
  uint64_t off = header->headerLength + static_cast<uint64_t>(first) * header->recordLength;
  size_t bytes = static_cast<size_t>(count) * header->recordLength;
  if (ReadAt(fd, buffer, bytes, off) != 0) return 0;
  CheckLogRecordValues(*header, buffer, count);
  return count;
}

int CLogFileStore::ReadLog(int index, LogHeader* header, void* buffer, int bytes, int, void*, const char*, int,
                           int) {
  if (!header || !buffer || index < 0 || bytes <= 0 || !LogHeaderUsable(*header)) {
    SetErr(plat::kErrInvalidParameter);
    return -1;
  }
  int fd = second_ >= 0 ? second_ : main_;
  uint64_t off = header->headerLength + static_cast<uint64_t>(index) * header->recordLength;
  if (fd < 0) {
    if (!Remote()) {
      SetErr(plat::kErrInvalidHandle);
      return -1;
    }
    // Fewer bytes than asked (a record still being written) is a failure.
    if (RemoteRead(buffer, static_cast<uint32_t>(bytes), off) != 0) return -1;
    CheckLogRecordValues(*header, buffer, static_cast<int>(static_cast<uint32_t>(bytes) / header->recordLength));
    return 0;
  }
  // Bytes beyond the last whole record are a record still being written or
  // torn by a crash: never read them.
  int n = GetNoLogs(header);
  if (n < 0) return -1;
  uint64_t whole = header->headerLength + static_cast<uint64_t>(n) * header->recordLength;
  if (off + static_cast<uint64_t>(bytes) > whole) {
    SetErr(plat::kErrHandleEof);
    return -1;
  }
  if (ReadAt(fd, buffer, static_cast<size_t>(bytes), off) != 0) return -1;
  CheckLogRecordValues(*header, buffer, static_cast<int>(static_cast<uint32_t>(bytes) / header->recordLength));
  return 0;
}

int CLogFileStore::RewriteRecords(int first, LogHeader* header, const void* records, int bytes) {
  int fd = second_ >= 0 ? second_ : main_;
  if (!header || !records || first < 0 || bytes <= 0 || fd < 0 || !LogHeaderUsable(*header)) {
    SetErr(plat::kErrInvalidParameter);
    return -1;
  }
  const auto* p = static_cast<const uint8_t*>(records);
  for (uint32_t at = 0; at < static_cast<uint32_t>(bytes); at += header->recordLength) {
    uint16_t marker = 0;
    memcpy(&marker, p + at, static_cast<uint32_t>(bytes) - at >= 2 ? 2 : 1);
    if (marker != kLogRecordMarker) {
      SetErr(plat::kErrInvalidParameter);
      return -1;
    }
  }
  uint64_t off = header->headerLength + static_cast<uint64_t>(first) * header->recordLength;
  // Rewrites stay within the records written: never past the data's end.
  int n = GetNoLogs(header);
  if (n < 0 || off + static_cast<uint64_t>(bytes) > header->headerLength + static_cast<uint64_t>(n) * header->recordLength) {
    SetErr(plat::kErrInvalidParameter);
    return -1;
  }
  return LogPwriteAll(fd, p, static_cast<size_t>(bytes), off) ? 0 : (SetErrFromErrno(), -1);
}

int CLogFileStore::GetNoLogs(LogHeader* header) {
  if (!header || header->recordLength == 0) {
    SetErr(plat::kErrInvalidParameter);
    return -1;
  }
  int fd = second_ >= 0 ? second_ : main_;
  if (fd < 0 && !Remote()) {
    SetErr(plat::kErrInvalidHandle);
    return -1;
  }
  int64_t size = fd >= 0 ? FileSize(fd) : RemoteFileSize(server_.c_str(), path_);
  if (size < 0) {
    if (fd >= 0) SetErrFromErrno();
    return -1;
  }
  if (size <= static_cast<int64_t>(header->headerLength)) return 0;
  uint64_t n = (static_cast<uint64_t>(size) - header->headerLength) / header->recordLength;
  return n > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(n);
}

int CLogFileStore::CountValidRecords(LogHeader* header) {
  if (!header) return -1;
  if (!header->significantChange) return 0;
  int n = GetNoLogs(header);
  if (n < 0) return -1;
  uint8_t rec[16];
  for (int i = 0; i < n; ++i) {
    if (ReadLog(i, header, rec, 16, 0, nullptr, nullptr, 0, 0) != 0) return -1;
    if (rec[2] == 0) return i;
  }
  return n;
}

void CLogFileStore::Truncate(LogHeader* header, int count) {
  if (!header || count < 0 || main_ < 0 || writePos_ == 0 || writePos_ < header->headerLength ||
      header->recordLength == 0) {
    SetErr(plat::kErrInvalidParameter);
    return;
  }
  uint64_t have = (writePos_ - header->headerLength) / header->recordLength;
  if (static_cast<uint64_t>(count) > have) {
    SetErr(plat::kErrInvalidParameter);
    return;
  }
  uint64_t newEnd = writePos_ - static_cast<uint64_t>(count) * header->recordLength;
  if (LockByte(newEnd, true) != 0) return;
  if (ftruncate(main_, static_cast<off_t>(newEnd)) != 0) {
    SetErrFromErrno();
    LockByte(newEnd, false);
    return;
  }
  LockByte(writePos_, false);
  writePos_ = headerEnd_ = newEnd;
}

int CLogFileStore::Rename(const char* newNamePart) {
  if (!newNamePart) return 0;
  // The name part becomes part of the file name: one that would move the
  // log to another directory is refused, as the collection's Open refuses
  // such a prefix.
  if (!plat::IsPlainName(newNamePart)) {
    SetErr(plat::kErrInvalidName);
    return 0;
  }
  // The server's file requests have no move: a log read through the server
  // keeps its names.
  if (Remote()) {
    SetErr(plat::kErrNotSupported);
    return 0;
  }
  auto renameOne = [&](const std::string& path) -> int {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return 0;
    std::string name = path.substr(slash + 1);
    size_t stamp = FindLogNameStamp(name);
    if (stamp == std::string::npos) return 0;
    if (name.compare(0, strlen(newNamePart), newNamePart) == 0) return 1;
    std::string to = path.substr(0, slash + 1) + newNamePart + name.substr(stamp);
    return renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0 ? 1 : 0;
  };
  std::string text;
  bool hasText = FindLogText(path_, &text) == 0;
  int r = renameOne(path_);
  if (r != 1) return r;
  if (hasText) {
    // The text file's stamp part keeps its own form; only the prefix changes.
    size_t slash = text.find_last_of('/');
    std::string name = text.substr(slash + 1);
    size_t stamp = FindLogNameStamp(name, ".txt");
    if (stamp != std::string::npos && name.compare(0, strlen(newNamePart), newNamePart) != 0) {
      std::string to = text.substr(0, slash + 1) + newNamePart + name.substr(stamp);
      if (renameat2(AT_FDCWD, text.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) != 0) return 0;
    }
  }
  return 1;
}

// ---- Text operations: the events text file beside the log -------------------

int CLogFileStore::FindText(std::string* out) {
  return Remote() ? FindLogTextRemote(server_.c_str(), path_, out) : FindLogText(path_, out);
}

int CLogFileStore::TextPath(std::string* out) {
  if (path_.empty()) {
    SetErr(plat::kErrFileNotFound);
    return -1;
  }
  if (FindText(out) == 0) return 0;
  // Writes create the text file of the log's own name.
  *out = LogTextPathFor(path_);
  return 0;
}

// The reads take the log's own text file; a TEXT read may find the
// directory's events text even when the log has none (eventstext.h). A text
// file that is found nowhere gives -1.
int CLogFileStore::ReadText(const char* section, char* buffer, int* size, int32_t, int32_t) {
  std::string t;
  if (Remote()) {
    if (FindText(&t) != 0) return -1;
    return RemoteReadTextSection(server_.c_str(), t, section, buffer, size);
  }
  bool own = FindLogText(path_, &t) == 0;
  if (!own) t = LogTextPathFor(path_);
  int r = ReadTextSection(t, section, buffer, size);
  return r == -2 && !own ? -1 : r;
}

int CLogFileStore::ReadTextW(const char* section, char16_t* buffer, int* size, int32_t, int32_t) {
  if (Remote()) return RefuseRemoteWide();
  std::string t;
  bool own = FindLogText(path_, &t) == 0;
  if (!own) t = LogTextPathFor(path_);
  int r = ReadTextSectionW(t, section, buffer, size);
  return r == -2 && !own ? -1 : r;
}

int CLogFileStore::ReadTextLines(const char* section, char** lines, int* lineCount, char* buffer, int* size,
                                 int32_t, int32_t) {
  std::string t;
  if (Remote()) {
    if (FindText(&t) != 0) {
      if (lineCount) *lineCount = 0;
      return -1;
    }
    return RemoteReadTextLines(server_.c_str(), t, section, lines, lineCount, buffer, size);
  }
  if (FindLogText(path_, &t) != 0) t = LogTextPathFor(path_);
  return ReadTextSectionLines(t, section, lines, lineCount, buffer, size);
}

int CLogFileStore::ReadTextLinesW(const char* section, char16_t** lines, int* lineCount, char16_t* buffer,
                                  int* size, int32_t, int32_t) {
  if (Remote()) return RefuseRemoteWide();
  std::string t;
  if (FindLogText(path_, &t) != 0) t = LogTextPathFor(path_);
  return ReadTextSectionLinesW(t, section, lines, lineCount, buffer, size);
}

int CLogFileStore::WriteStampedText(const LineStamp& stamp, const char* text, const char* key,
                                    const char* section) {
  std::string t;
  if (TextPath(&t) != 0) return -1;
  std::string header = SectionHeader(section ? section : "TEXT");
  if (Remote()) return RemoteWriteStampedLine(server_.c_str(), t, header, stamp, text, key) == 0 ? 0 : -1;
  return WriteStampedLine(t, header, stamp, text ? text : "", key) == 0 ? 0 : -1;
}

int CLogFileStore::WriteText(int32_t seconds, const char* text, const char* key, const char* section) {
  return WriteStampedText(LineStamp{seconds, 0, 0}, text, key, section);
}

int CLogFileStore::WriteStampedTextW(const LineStamp& stamp, const char16_t* text, const char16_t* key,
                                     const char* section) {
  if (Remote()) return RefuseRemoteWide();
  std::string t;
  if (TextPath(&t) != 0) return -1;
  std::string header = SectionHeader(section ? section : "TEXT");
  return WriteStampedLineW(t, header, stamp, text ? text : u"", key) == 0 ? 0 : -1;
}

int CLogFileStore::WriteTextW(int32_t seconds, const char16_t* text, const char16_t* key, const char* section) {
  return WriteStampedTextW(LineStamp{seconds, 0, 0}, text, key, section);
}

int CLogFileStore::WritePosition(int32_t seconds, int valid, float position) {
  char text[64] = "";
  if (valid) snprintf(text, sizeof text, "%f", static_cast<double>(position));
  return WriteStampedText(LineStamp{seconds, 0, 0}, text, nullptr, "POSITIONS");
}

int CLogFileStore::WriteHeaderText(const char* text) {
  std::string t;
  if (TextPath(&t) != 0) return -1;
  return WriteSection(t, "[HEADER]", text ? text : "") == 1 ? 0 : -1;
}

int CLogFileStore::WriteHeaderTextW(const char16_t* text) {
  if (Remote()) return RefuseRemoteWide();
  std::string t;
  if (TextPath(&t) != 0) return -1;
  return WriteTextSectionW(t, "[HEADER]", text ? text : u"") == 1 ? 0 : -1;
}

int CLogFileStore::WriteFormulae(const char* prefix, int processor, const char* text) {
  std::string t;
  if (!prefix || TextPath(&t) != 0) return -1;
  char header[64];
  snprintf(header, sizeof header, "[%1.2s_%d_FORMULAE]", prefix, processor);
  return WriteSection(t, header, text ? text : "") == 1 ? 0 : -1;
}

int CLogFileStore::WriteUnitCategory(const char* category, const char* text) {
  std::string t;
  if (!category || TextPath(&t) != 0) return -1;
  std::string header = std::string("[") + category + "_UNIT_CATEGORY]";
  return WriteSection(t, header, text ? text : "") == 1 ? 0 : -1;
}

int CLogFileStore::WriteSection(const std::string& textPath, const std::string& header, const char* text) {
  if (Remote()) return RemoteWriteTextSection(server_.c_str(), textPath, header, text);
  return WriteTextSection(textPath, header, text);
}

int CLogFileStore::RefuseRemoteWide() {
  SetErr(plat::kErrNotSupported);
  return -1;
}

int CLogFileStore::GetLastTextTime(int32_t* seconds) {
  if (!seconds) return -1;
  if (Remote()) {
    // The last-write time of the text file on the server.
    std::string t;
    int64_t when = 0;
    if (FindText(&t) != 0 || RemoteLastWriteTime(server_.c_str(), t, &when) != 0) return -1;
    time_t tt = static_cast<time_t>(when);
    struct tm tmv;
    gmtime_r(&tt, &tmv);
    *seconds = static_cast<int32_t>(Time_MakeSeconds(&tmv));
    return 0;
  }
  // The file system's last-write time (UTC) as calendar seconds; the
  // directory's events text counts when it is later.
  std::string t;
  time_t latest = 0;
  struct stat st;
  if (FindLogText(path_, &t) == 0 && stat(t.c_str(), &st) == 0) latest = st.st_mtime;
  if (EventsTextEnabled() && !path_.empty()) {
    std::string events = EventsTextPathFor(path_);
    if (access(events.c_str(), R_OK) == 0 && stat(events.c_str(), &st) == 0 && st.st_mtime > latest)
      latest = st.st_mtime;
  }
  if (latest == 0) return -1;
  struct tm tmv;
  gmtime_r(&latest, &tmv);
  *seconds = static_cast<int32_t>(Time_MakeSeconds(&tmv));
  return 0;
}
