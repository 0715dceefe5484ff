#include "platform/published_file.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <random>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/error.h"

namespace plat::detail {

namespace {

// Opens an anonymous file in dir; *tempName is set when the fallback with a
// hidden name had to be used.
int OpenTemp(const std::string& dir, std::string* tempName) {
  int fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
  if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) return fd;
  std::random_device rd;
  for (int attempt = 0; attempt < 100; ++attempt) {
    char tag[32];
    std::snprintf(tag, sizeof tag, "%08x%08x", rd(), rd());
    *tempName = dir + "/" + kTempPrefix + tag;
    fd = ::open(tempName->c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

}  // namespace

int CreatePublished(const std::string& dir, const std::string& file, size_t size,
                    const std::function<void(void*, size_t)>& init, MappedFile* out) {
  if (size == 0) return Fail(kErrInvalidParameter), -1;
  std::string tempName;
  int fd = OpenTemp(dir, &tempName);
  if (fd < 0) return FailErrno(errno), -1;
  auto failWith = [&](int err) {
    if (!tempName.empty()) ::unlink(tempName.c_str());
    ::close(fd);
    FailErrno(err);
    return -1;
  };
  // The umask must not narrow the mode: every user may open the object.
  if (::fchmod(fd, 0666) != 0) return failWith(errno);
  if (::ftruncate(fd, static_cast<off_t>(size)) != 0) return failWith(errno);
  void* base = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (base == MAP_FAILED) return failWith(errno);
  if (init) init(base, size);
  const std::string finalName = dir + "/" + file;
  int rc;
  if (tempName.empty()) {
    char procPath[64];
    std::snprintf(procPath, sizeof procPath, "/proc/self/fd/%d", fd);
    rc = ::linkat(AT_FDCWD, procPath, AT_FDCWD, finalName.c_str(), AT_SYMLINK_FOLLOW);
  } else {
    rc = ::link(tempName.c_str(), finalName.c_str());
  }
  if (rc != 0) {
    int err = errno;
    ::munmap(base, size);
    return failWith(err);
  }
  if (!tempName.empty()) ::unlink(tempName.c_str());
  ::close(fd);
  out->base = base;
  out->size = size;
  return 0;
}

int OpenPublished(const std::string& dir, const std::string& file, MappedFile* out) {
  const std::string path = dir + "/" + file;
  int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return FailErrno(errno), -1;
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    int err = errno;
    ::close(fd);
    return FailErrno(err), -1;
  }
  if (st.st_size <= 0) {
    ::close(fd);
    return Fail(kErrInvalidData), -1;
  }
  size_t size = static_cast<size_t>(st.st_size);
  void* base = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  int err = errno;
  ::close(fd);
  if (base == MAP_FAILED) return FailErrno(err), -1;
  out->base = base;
  out->size = size;
  return 0;
}

}  // namespace plat::detail
