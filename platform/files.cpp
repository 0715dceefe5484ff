#include "platform/files.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/error.h"

namespace plat {

bool IsUncPath(const std::string& path) {
  return path.size() >= 2 && ((path[0] == '\\' && path[1] == '\\') || (path[0] == '/' && path[1] == '/'));
}

int MakeDirectory(const std::string& path) {
  if (IsUncPath(path)) return Fail(kErrBadNetPath), -1;
  if (::mkdir(path.c_str(), 0777) != 0) return FailErrno(errno), -1;
  ::chmod(path.c_str(), 0777);
  return 0;
}

int MakeDirectories(const std::string& path) {
  if (IsUncPath(path)) return Fail(kErrBadNetPath), -1;
  if (path.empty()) return Fail(kErrPathNotFound), -1;
  if (DirectoryExists(path)) return 0;
  size_t slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && MakeDirectories(path.substr(0, slash)) != 0) return -1;
  if (MakeDirectory(path) != 0 && !DirectoryExists(path)) return -1;
  SetLastError(0);
  return 0;
}

bool CheckAccess(const std::string& path, bool read, bool write, bool execute) {
  if (IsUncPath(path)) return Fail(kErrBadNetPath), false;
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return FailErrno(errno), false;
  int mode = 0;
  if (read) mode |= R_OK;
  if (write) mode |= W_OK | (S_ISDIR(st.st_mode) ? X_OK : 0);
  if (execute) mode |= X_OK;
  if (mode == 0) mode = F_OK;
  if (::faccessat(AT_FDCWD, path.c_str(), mode, AT_EACCESS) != 0) return FailErrno(errno), false;
  return true;
}

int TryOpenExisting(const std::string& path, bool write) {
  if (IsUncPath(path)) return Fail(kErrBadNetPath), -1;
  int fd = ::open(path.c_str(), (write ? O_WRONLY : O_RDONLY) | O_CLOEXEC);
  if (fd < 0) {
    int e = errno;
    // A missing directory on the way is "path not found" (3), not "file not found" (2).
    const size_t slash = path.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash ? slash : 1);
    if (e == ENOENT && !DirectoryExists(dir)) e = ENOTDIR;
    return FailErrno(e), -1;
  }
  ::close(fd);
  return 0;
}

bool DirectoryExists(const std::string& path) {
  struct stat st;
  return !path.empty() && !IsUncPath(path) && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string LocalAppDataFolder() {
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg == '/') return xdg;
  if (const char* home = std::getenv("HOME"); home && *home == '/') return std::string(home) + "/.local/share";
  Fail(kErrFileNotFound);
  return {};
}

mode_t ProcessUmask() {
  FILE* f = std::fopen("/proc/self/status", "re");
  unsigned mask = 022;
  if (f) {
    char line[256];
    while (std::fgets(line, sizeof line, f))
      if (std::sscanf(line, "Umask: %o", &mask) == 1) break;
    std::fclose(f);
  }
  return static_cast<mode_t>(mask);
}

}  // namespace plat
