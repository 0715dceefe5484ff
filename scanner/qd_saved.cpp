#include "scanner/qd_saved.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <ctime>
#include <unistd.h>
#include <vector>

#include "cdxlib/sys/logicaldirs.h"
#include "platform/error.h"
#include "platform/files.h"
#include "scanner/qd_state.h"

namespace {

// The saved-values directory, or null with the error set. The device's name
// becomes part of the file names there, so a name that would reach another
// directory is refused (123) first.
const char* SavedDir(const char* deviceName) {
  if (plat::CheckPlainName(std::string(deviceName, strnlen(deviceName, 12)).c_str()) != 0) return nullptr;
  const char* dir = Dir_Resolve("CDX_SAVED_VALUES");
  if (!dir || !*dir) {
    if (errno == 0) plat::Fail(plat::kErrPathNotFound);
    return nullptr;
  }
  return dir;
}

std::string FileName(const char* dir, const char* deviceName, int path, const char* ext) {
  std::string name(dir);
  name += '/';
  name.append(deviceName, strnlen(deviceName, 12));
  name += '_';
  name += Chan_KindName(path);
  name += ext;
  return name;
}

bool Enabled(const ChannelConfig& c) {
  return Chan_TestFlag(c, Chan_IsDigital(c.Type) ? int(kDiEnable) : int(kAiEnable));
}

// Writes all of buf to fd; false with the system error set.
bool WriteAll(int fd, const void* buf, size_t n) {
  const char* p = static_cast<const char*>(buf);
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      plat::FailErrno(errno);
      return false;
    }
    p += w;
    n -= size_t(w);
  }
  return true;
}

// Reads exactly n bytes at offset; false (errno = 38, end of file, for a
// short file) otherwise.
bool ReadAt(int fd, void* buf, size_t n, off_t offset) {
  ssize_t r = ::pread(fd, buf, n, offset);
  if (r == ssize_t(n)) return true;
  if (r < 0)
    plat::FailErrno(errno);
  else
    plat::Fail(plat::kErrHandleEof);
  return false;
}

// A file written beside its final name and renamed into place. The
// temporary name is made with O_EXCL and carries the pid; what killed
// writers left beside the file is removed first.
class AtomicFile {
 public:
  explicit AtomicFile(std::string path) : path_(std::move(path)) {
    plat::RemoveStaleTemps(path_, ".tmp");
    struct stat st;
    const mode_t mode = ::stat(path_.c_str(), &st) == 0 ? (st.st_mode & 07777) : plat::NewFileMode();
    fd_ = plat::CreateTempBeside(path_, ".tmp", mode, &temp_);
  }
  ~AtomicFile() {
    if (fd_ >= 0) {
      ::close(fd_);
      ::unlink(temp_.c_str());
    }
  }
  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  bool Commit() {
    int fd = fd_;
    fd_ = -1;
    bool good = ::fsync(fd) == 0;
    if (!good) plat::FailErrno(errno);
    if (::close(fd) != 0 && good) {
      plat::FailErrno(errno);
      good = false;
    }
    if (good && ::rename(temp_.c_str(), path_.c_str()) != 0) {
      plat::FailErrno(errno);
      good = false;
    }
    if (!good) ::unlink(temp_.c_str());
    return good;
  }

 private:
  std::string path_, temp_;
  int fd_ = -1;
};

uint32_t Word(const void* values, int i) {
  uint32_t w;
  std::memcpy(&w, static_cast<const uint8_t*>(values) + 4 * i, 4);
  return w;
}

void Store(void* target, int i, uint32_t w, bool digital) {
  uint8_t* p = static_cast<uint8_t*>(target) + 4 * i;
  if (digital) {
    uint32_t old;
    std::memcpy(&old, p, 4);
    w = (old & ~1u) | (w & 1u);
  }
  std::memcpy(p, &w, 4);
}

// A stamp for one save: the time, and later than any earlier stamp of this
// process, so that two saves never share one.
timespec SaveStamp() {
  static int64_t last = 0;
  timespec now;
  ::clock_gettime(CLOCK_REALTIME, &now);
  int64_t ns = int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
  if (ns <= last) ns = last + 1;
  last = ns;
  return timespec{time_t(ns / 1000000000), long(ns % 1000000000)};
}

}  // namespace

std::string SavedValues_BinPath(const char* dir, const char* deviceName, int path) {
  return FileName(dir, deviceName, path, ".bin");
}
std::string SavedValues_TagPath(const char* dir, const char* deviceName, int path) {
  return FileName(dir, deviceName, path, ".tag");
}

int SavedValues_Write(const char* deviceName, int path, const void* values, const ChannelConfig* channels,
                      int count) {
  const char* dir = SavedDir(deviceName);
  if (!dir) return -1;
  std::vector<SavedValueRecord> records(size_t(count > 0 ? count : 0));
  std::vector<char> tags(records.size() * kSavedTagRecordSize);
  for (int i = 0; i < count; ++i) {
    SavedValueRecord& rec = records[size_t(i)];
    std::memset(&rec, 0, sizeof rec);
    if (Enabled(channels[i])) {
      const char* t = Chan_GetTag(channels[i]);
      size_t n = strnlen(t, kSavedTagRecordSize);
      std::memcpy(&tags[size_t(i) * kSavedTagRecordSize], t, n);
      std::memcpy(rec.tag, t, n < sizeof rec.tag ? n : sizeof rec.tag);
    }
    std::memcpy(rec.value, static_cast<const uint8_t*>(values) + 4 * i, 4);
  }
  // Both files of one save carry its stamp as their modification time; the
  // ".tag" goes into place first. A kill between the two renames leaves
  // files with different stamps, which a restore does not pair.
  const timespec stamp = SaveStamp();
  const timespec times[2] = {stamp, stamp};
  {
    AtomicFile tag(SavedValues_TagPath(dir, deviceName, path));
    if (!tag.ok() || !WriteAll(tag.fd(), tags.data(), tags.size())) return -1;
    if (::futimens(tag.fd(), times) != 0) return plat::FailErrno(errno), -1;
    if (!tag.Commit()) return -1;
  }
  AtomicFile bin(SavedValues_BinPath(dir, deviceName, path));
  if (!bin.ok() || !WriteAll(bin.fd(), records.data(), records.size() * sizeof(SavedValueRecord))) return -1;
  if (::futimens(bin.fd(), times) != 0) return plat::FailErrno(errno), -1;
  if (!bin.Commit()) return -1;
  return 0;
}

namespace {

bool SameTime(const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

// The full tags of the ".tag" file when it belongs to the ".bin" file:
// the same save's stamp (modification time), long enough, and agreeing with
// every record's 12-character tag. Otherwise empty: the
// ".tag" is another save's (a kill between the two renames, or a save that
// only the ".bin" survived).
std::vector<char> TagsOfTheSameSave(int bin, int tag, const std::vector<SavedValueRecord>& records) {
  struct stat bs, ts;
  if (tag < 0 || ::fstat(bin, &bs) != 0 || ::fstat(tag, &ts) != 0) return {};
  if (!SameTime(ts.st_mtim, bs.st_mtim)) return {};
  std::vector<char> tags(records.size() * kSavedTagRecordSize);
  if (!tags.empty() && !ReadAt(tag, tags.data(), tags.size(), 0)) return {};
  for (size_t i = 0; i < records.size(); ++i) {
    char cut[sizeof records[i].tag] = {};
    const char* full = &tags[i * kSavedTagRecordSize];
    std::memcpy(cut, full, strnlen(full, sizeof cut));
    if (std::memcmp(cut, records[i].tag, sizeof cut) != 0) return {};
  }
  return tags;
}

}  // namespace

int SavedValues_Restore(const char* deviceName, int path, bool byTag, void* target, const ChannelConfig* channels,
                        int count) {
  const char* dir = SavedDir(deviceName);
  if (!dir) return -1;
  int bin = ::open(SavedValues_BinPath(dir, deviceName, path).c_str(), O_RDONLY | O_CLOEXEC);
  if (bin < 0) return plat::FailErrno(errno), -1;
  std::memset(target, 0, size_t(count) * 4);
  int rc = 0;
  std::vector<SavedValueRecord> records;
  for (int i = 0; i < count; ++i) {
    SavedValueRecord rec;
    if (!ReadAt(bin, &rec, sizeof rec, off_t(i) * 16)) {
      rc = -1;
      break;
    }
    records.push_back(rec);
  }
  std::vector<char> fullTags;
  if (byTag) {
    int tag = ::open(SavedValues_TagPath(dir, deviceName, path).c_str(), O_RDONLY | O_CLOEXEC);
    fullTags = TagsOfTheSameSave(bin, tag, records);
    if (tag >= 0) ::close(tag);
  }
  ::close(bin);
  for (size_t i = 0; i < records.size(); ++i) {
    const SavedValueRecord& rec = records[i];
    uint32_t w;
    std::memcpy(&w, rec.value, 4);
    if (!byTag) {
      Store(target, int(i), w, Chan_IsDigital(channels[i].Type));
      continue;
    }
    char stored[kSavedTagRecordSize + 1] = {};
    size_t compared = kSavedTagRecordSize;
    if (!fullTags.empty()) {
      std::memcpy(stored, &fullTags[i * kSavedTagRecordSize], kSavedTagRecordSize);
    } else {
      // Only the record's own 12 characters are known: a tag cut there
      // matches the channels whose tag starts with them.
      std::memcpy(stored, rec.tag, sizeof rec.tag);
      if (strnlen(stored, sizeof rec.tag) == sizeof rec.tag) compared = sizeof rec.tag;
    }
    if (!stored[0]) continue;
    auto matches = [&](int k) {
      if (!Enabled(channels[k])) return false;
      const char* t = Chan_GetTag(channels[k]);
      if (compared < kSavedTagRecordSize && strnlen(t, kSavedTagRecordSize) < compared) return false;
      return strncasecmp(t, stored, compared) == 0;
    };
    if (compared < kSavedTagRecordSize) {
      // A cut tag that several channels start with cannot tell which of
      // them the value was saved for: none gets it.
      int candidates = 0;
      for (int k = 0; k < count && candidates < 2; ++k) candidates += matches(k) ? 1 : 0;
      if (candidates > 1) continue;
    }
    int to = -1;
    if (matches(int(i))) {
      to = int(i);
    } else {
      for (int k = 0; k < count; ++k)
        if (matches(k)) {
          to = k;
          break;
        }
    }
    if (to >= 0) Store(target, to, w, Chan_IsDigital(channels[to].Type));
  }
  return rc;
}

int SavedValues_Update(const char* deviceName, int path, const void* oldValues, const void* newValues,
                       const ChannelConfig* channels, int count) {
  const char* dir = SavedDir(deviceName);
  if (!dir) return -1;
  std::string binPath = SavedValues_BinPath(dir, deviceName, path);
  if (::access(binPath.c_str(), F_OK) != 0) return SavedValues_Write(deviceName, path, newValues, channels, count);
  int fd = ::open(binPath.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return plat::FailErrno(errno), -1;
  // A ".bin" that pairs with its ".tag" keeps the save's stamp after the
  // rewrite; one that did not pair does not start to.
  struct stat bs, ts;
  const bool paired = ::fstat(fd, &bs) == 0 &&
                      ::stat(SavedValues_TagPath(dir, deviceName, path).c_str(), &ts) == 0 &&
                      SameTime(bs.st_mtim, ts.st_mtim);
  int rc = 0;
  for (int i = 0; i < count && rc == 0; ++i) {
    if (!Enabled(channels[i])) continue;
    uint32_t o = Word(oldValues, i), n = Word(newValues, i);
    bool differs = Chan_IsDigital(channels[i].Type) ? ((o ^ n) & 1u) != 0 : o != n;
    if (!differs) continue;
    if (::pwrite(fd, &n, 4, off_t(i) * 16 + 12) != 4) {
      plat::FailErrno(errno);
      rc = -1;
    }
  }
  if (paired) {
    const timespec times[2] = {bs.st_atim, bs.st_mtim};
    ::futimens(fd, times);
  }
  ::close(fd);
  return rc;
}

void Scan_SaveOutputs() {
  ScanState& st = Scan_State();
  if (!st.device) return;
  for (int path : {kPathAo, kPathDo}) {
    ScanPath& p = st.paths[path];
    if (!st.device->PathPrefix[path][0] || !p.module || !st.outputsChanged[path]) continue;
    st.outputsChanged[path] = false;
    const void* values = path == kPathAo ? static_cast<const void*>(p.moduleValues) : p.moduleStatus;
    if (p.count > 0 && !values) continue;
    // A failed write is tried again at the next save; it is not reported.
    SavedValues_Write(st.device->DeviceName, path, values, p.channels, p.count);
  }
}
