#include "platform/root.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>

#include "platform/error.h"

namespace plat {

namespace {

constexpr const char* kDefaultRoot = "/dev/shm/cdxplat";

void MakeDirs(const std::string& path) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) return;
  std::filesystem::create_directories(path, ec);
  // Every user of the machine may use the instance's objects.
  ::chmod(path.c_str(), 0777);
}

}  // namespace

std::string Root() {
  const char* env = std::getenv("CDXPLAT_ROOT");
  std::string root = (env && *env) ? env : kDefaultRoot;
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  MakeDirs(root);
  return root;
}

std::string RootFolder(const char* kind) {
  std::string path = Root() + "/" + kind;
  MakeDirs(path);
  return path;
}

std::string RootTag() {
  std::string root = Root();
  char resolved[PATH_MAX];
  if (::realpath(root.c_str(), resolved)) root = resolved;
  // FNV-1a, 64 bits.
  uint64_t h = 1469598103934665603ull;
  for (unsigned char c : root) {
    h ^= c;
    h *= 1099511628211ull;
  }
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(h));
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
