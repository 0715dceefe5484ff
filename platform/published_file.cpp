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
    // Renamed without replacing, so that the object never has a second
    // name (openers refuse one); a plain link where rename cannot do that.
    rc = ::renameat2(AT_FDCWD, tempName.c_str(), AT_FDCWD, finalName.c_str(), RENAME_NOREPLACE);
    if (rc != 0 && (errno == EINVAL || errno == ENOSYS)) rc = ::link(tempName.c_str(), finalName.c_str());
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

int OpenPublished(const std::string& dir, const std::string& file, MappedFile* out, size_t headerSize,
                  const HeaderCheck& check) {
  const std::string path = dir + "/" + file;
  // O_NONBLOCK: a pipe planted under the name must not stall the open.
  int fd = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    // ELOOP: a symbolic link stands under the name.
    return (errno == ELOOP ? Fail(kErrAccessDenied) : FailErrno(errno)), -1;
  }
  auto refuse = [fd](uint32_t code) {
    ::close(fd);
    Fail(code);
    return -1;
  };
  struct stat st;
  if (::fstat(fd, &st) != 0) return refuse(FromErrno(errno));
  // Objects are made with exactly one name; a second one is a hard link
  // that another user made to a file that is no object.
  if (!S_ISREG(st.st_mode) || st.st_nlink != 1) return refuse(kErrAccessDenied);
  if (st.st_size <= 0) return refuse(kErrInvalidData);
  size_t size = static_cast<size_t>(st.st_size);
  if (headerSize > 0) {
    if (size < headerSize) return refuse(kErrAccessDenied);
    std::string header(headerSize, '\0');
    if (::pread(fd, header.data(), headerSize, 0) != static_cast<ssize_t>(headerSize))
      return refuse(kErrAccessDenied);
    if (check) {
      const size_t allowed = check(header.data(), size);
      if (allowed == 0 || allowed > size) return refuse(kErrAccessDenied);
      size = allowed;
    }
  }
  void* base = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  int err = errno;
  ::close(fd);
  if (base == MAP_FAILED) return FailErrno(err), -1;
  out->base = base;
  out->size = size;
  return 0;
}

}  // namespace plat::detail
