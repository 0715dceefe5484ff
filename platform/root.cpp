#include "platform/root.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <pwd.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "platform/error.h"

namespace plat {

namespace {

constexpr const char* kDefaultRoot = "/dev/shm/cdxplat";
constexpr mode_t kRootMode = 0755;
constexpr mode_t kEveryUserMode = 01777;
constexpr const char* kEveryUserKinds[] = {"shm", "mutex", "pipe"};

bool EveryUserKind(const char* kind) {
  for (const char* k : kEveryUserKinds)
    if (std::strcmp(kind, k) == 0) return true;
  return false;
}

// A root is trusted when this process's user or the superuser owns it: only
// they can then add, remove or replace what lies in it.
bool TrustedOwner(uid_t uid) { return uid == ::geteuid() || uid == 0; }

std::string UserName(uid_t uid) {
  char buf[1024];
  passwd pw;
  passwd* found = nullptr;
  std::string name = ::getpwuid_r(uid, &pw, buf, sizeof buf, &found) == 0 && found ? found->pw_name : "";
  return name.empty() ? std::to_string(uid) : name + " (" + std::to_string(uid) + ")";
}

[[noreturn]] void Refuse(const std::string& root, const std::string& why) {
  char text[PATH_MAX + 512];
  std::snprintf(text, sizeof text, "the instance root \"%s\" is refused: %s", root.c_str(), why.c_str());
  std::fprintf(stderr, "%s\n", text);
  ::syslog(LOG_ERR, "%s", text);
  std::fflush(nullptr);
  std::_Exit(1);
}

// An every-user folder: world-writable and sticky, so that no user removes
// or replaces another's object.
void MakeEveryUserFolder(const std::string& path) {
  if (::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST) {
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
        (st.st_mode & 07777) != kEveryUserMode)
      ::chmod(path.c_str(), kEveryUserMode);
  }
}

// A new root: only inside an existing directory, with the folders of the
// every-user objects, then opened to every user for reading.
void MakeRoot(const std::string& root) {
  const size_t slash = root.rfind('/');
  const std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : root.substr(0, slash);
  struct stat st;
  if (::stat(parent.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    Refuse(root, "its parent directory \"" + parent + "\" does not exist");
  if (::mkdir(root.c_str(), 0700) != 0) {
    if (errno == EEXIST) return;  // made meanwhile by another process: checked by the caller
    Refuse(root, std::string("it cannot be created: ") + std::strerror(errno));
  }
  for (const char* kind : kEveryUserKinds) MakeEveryUserFolder(root + "/" + kind);
  // This machine's pipe host folder ("." in pipe.h's form) is the root
  // owner's from the start: a host folder that another user made first is
  // refused, and would leave the service without pipes.
  MakeEveryUserFolder(root + "/pipe/%2E");
  ::chmod(root.c_str(), kRootMode);
}

// Makes the root when missing and refuses one that other users could change.
void CheckRoot(const std::string& root) {
  struct stat st;
  if (::lstat(root.c_str(), &st) != 0) {
    if (errno != ENOENT) Refuse(root, std::strerror(errno));
    MakeRoot(root);
    if (::lstat(root.c_str(), &st) != 0) Refuse(root, std::strerror(errno));
  }
  if (S_ISLNK(st.st_mode)) {
    if (!TrustedOwner(st.st_uid))
      Refuse(root, "it is a symbolic link of user " + UserName(st.st_uid) + ", not of " + UserName(::geteuid()) +
                       ", the user of this process");
    if (::stat(root.c_str(), &st) != 0) Refuse(root, std::strerror(errno));
  }
  if (!S_ISDIR(st.st_mode)) Refuse(root, "it is not a directory");
  if (!TrustedOwner(st.st_uid))
    Refuse(root, "it belongs to user " + UserName(st.st_uid) + ", not to " + UserName(::geteuid()) +
                     ", the user of this process");
  if (st.st_mode & (S_IWGRP | S_IWOTH)) {
    // Roots of earlier versions were open to every user: our own is closed.
    if (st.st_uid != ::geteuid() || ::chmod(root.c_str(), st.st_mode & 0755) != 0)
      Refuse(root, "other users may write to it");
  }
}

}  // namespace

std::string Root() {
  const char* env = std::getenv("CDXPLAT_ROOT");
  std::string root = (env && *env) ? env : kDefaultRoot;
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  CheckRoot(root);
  return root;
}

std::string RootFolder(const char* kind) {
  std::string path = Root() + "/" + kind;
  if (EveryUserKind(kind)) {
    MakeEveryUserFolder(path);
  } else {
    ::mkdir(path.c_str(), 0777);  // the umask gives the mode
  }
  return path;
}

std::string RootTag() {
  // Every mailslot name carries the tag, so it is worked out once per root
  // setting (tests move CDXPLAT_ROOT within one process) rather than
  // resolving the root's real path on every send.
  static std::mutex cacheMutex;
  static std::string cachedSetting, cachedTag;
  static bool cached = false;
  const char* env = std::getenv("CDXPLAT_ROOT");
  const std::string setting = env ? env : "";
  {
    std::lock_guard<std::mutex> lock(cacheMutex);
    if (cached && setting == cachedSetting) return cachedTag;
  }
  std::string root = Root();
  char resolved[PATH_MAX];
  const bool real = ::realpath(root.c_str(), resolved) != nullptr;
  if (real) root = resolved;
  // FNV-1a, 64 bits.
  uint64_t h = 1469598103934665603ull;
  for (unsigned char c : root) {
    h ^= c;
    h *= 1099511628211ull;
  }
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(h));
  if (real) {
    // Only a resolved path is kept: an unresolved one may name the root
    // differently once it exists.
    std::lock_guard<std::mutex> lock(cacheMutex);
    cachedSetting = setting;
    cachedTag = buf;
    cached = true;
  }
  return buf;
}

std::string EncodeObjectName(const std::string& name) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : name) {
    bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
                 c == '_' || c == '-';
    if (plain) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  // "." and ".." are not usable file names.
  if (out == "." || out == "..") out = "%2E" + out.substr(1);
  return out;
}

int ResetInstance() {
  const std::string root = Root();
  std::error_code ec;
  for (const char* kind : {"shm", "mutex", "registry", "registry-volatile", "ports"}) {
    std::filesystem::remove_all(root + "/" + kind, ec);
    if (ec) {
      FailErrno(ec.value());
      return -1;
    }
  }
  std::filesystem::remove(root + "/eventlog", ec);
  return 0;
}

}  // namespace plat
