#include "platform/files.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/process.h"

namespace plat {

bool IsUncPath(const std::string& path) {
  return path.size() >= 2 && ((path[0] == '\\' && path[1] == '\\') || (path[0] == '/' && path[1] == '/'));
}

int MakeDirectory(const std::string& path) {
  if (IsUncPath(path)) return Fail(kErrBadNetPath), -1;
  if (::mkdir(path.c_str(), 0777) != 0) return FailErrno(errno), -1;
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

mode_t NewFileMode() { return 0666 & ~ProcessUmask(); }

bool IsPlainName(const char* name) {
  if (!name) return true;
  if (std::strpbrk(name, "/\\")) return false;
  return std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0;
}

uint32_t CheckPlainName(const char* name) {
  if (IsPlainName(name)) return 0;
  return Fail(kErrInvalidName);
}

namespace {

// Splits a path into its directory ("." when it has none) and file name.
void SplitPath(const std::string& path, std::string* dir, std::string* name) {
  const size_t slash = path.find_last_of('/');
  *dir = slash == std::string::npos ? "." : path.substr(0, slash ? slash : 1);
  *name = slash == std::string::npos ? path : path.substr(slash + 1);
}

// The pid in a temporary's name "<file>.<pid>.XXXXXX<suffix>..." of `file`,
// or 0 when the entry is not one.
int32_t TempOwner(const char* entry, const std::string& file, const char* suffix) {
  if (std::strncmp(entry, file.c_str(), file.size()) != 0 || entry[file.size()] != '.') return 0;
  const char* p = entry + file.size() + 1;
  int64_t pid = 0;
  const char* digits = p;
  while (*p >= '0' && *p <= '9' && pid < (int64_t{1} << 31)) pid = pid * 10 + (*p++ - '0');
  if (p == digits || *p != '.' || pid <= 0 || pid >= (int64_t{1} << 31)) return 0;
  ++p;
  for (int i = 0; i < 6; ++i)
    if (!p[i] || p[i] == '.') return 0;
  p += 6;
  if (std::strncmp(p, suffix, std::strlen(suffix)) != 0) return 0;
  return static_cast<int32_t>(pid);
}

}  // namespace

int CreateTempBeside(const std::string& target, const char* suffix, mode_t mode, std::string* temp) {
  std::string name = target + "." + std::to_string(GetPid()) + ".XXXXXX" + suffix;
  const int fd = ::mkostemps(name.data(), static_cast<int>(std::strlen(suffix)), O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? Fail(kErrPathNotFound) : FailErrno(errno), -1;
  if (::fchmod(fd, mode) != 0) {
    const int e = errno;
    ::close(fd);
    ::unlink(name.c_str());
    return FailErrno(e), -1;
  }
  *temp = std::move(name);
  return fd;
}

void RemoveStaleTemps(const std::string& target, const char* suffix) {
  std::string dir, file;
  SplitPath(target, &dir, &file);
  if (file.empty()) return;
  DIR* d = ::opendir(dir.c_str());
  if (!d) return;
  const int32_t self = GetPid();
  std::vector<std::string> stale;
  while (dirent* e = ::readdir(d)) {
    const int32_t owner = TempOwner(e->d_name, file, suffix);
    if (owner > 0 && owner != self && !ProcessAlive(owner)) stale.push_back(dir + "/" + e->d_name);
  }
  ::closedir(d);
  for (const auto& path : stale) ::unlink(path.c_str());
}

}  // namespace plat
