#include "cdxlib/sys/logicaldirs.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "cdxlib/sys/registry.h"
#include "cdxlib/sys/textutil.h"
#include "cdxlib/sys/writefilter.h"
#include "platform/error.h"
#include "platform/files.h"
#include "platform/root.h"
#include "platform/sysinfo.h"

namespace {

constexpr uint32_t kMaxRegistryDirectory = 256;
constexpr uint32_t kMaxRootValue = 260;

using cdxtext::Upper;

bool EqualsNoCase(const std::string& a, const std::string& b) { return Upper(a) == Upper(b); }

// The name as looked up: upper case, "RO2_" read as "CDX_".
std::string CanonicalName(const char* name) {
  std::string n = Upper(name);
  if (n.rfind("RO2_", 0) == 0) n = "CDX_" + n.substr(4);
  return n;
}

std::string WithoutPrefix(const std::string& canonical) {
  return canonical.rfind("CDX_", 0) == 0 ? canonical.substr(4) : canonical;
}

bool IsExportName(const std::string& canonical) {
  const std::string n = WithoutPrefix(canonical);
  return n == "REPLAY_OPTIONS" || n == "EXPORTED_DATA" || n == "EXPORTED_IMAGES";
}

plat::HKEY HiveOf(const std::string& word) {
  struct Hive {
    const char* word;
    plat::HKEY hive;
  };
  const Hive hives[] = {
      {"ClassesRoot", plat::HKEY_CLASSES_ROOT},         {"CurrentUser", plat::HKEY_CURRENT_USER},
      {"LocalMachine", plat::HKEY_LOCAL_MACHINE},       {"Users", plat::HKEY_USERS},
      {"PerformanceData", plat::HKEY_PERFORMANCE_DATA}, {"CurrentConfig", plat::HKEY_CURRENT_CONFIG},
      {"DynData", plat::HKEY_DYN_DATA},
  };
  for (const auto& h : hives)
    if (EqualsNoCase(word, h.word)) return h.hive;
  return nullptr;
}

// Reads "\Hive\key path\value" (the "%" already stripped): false when any
// step fails.
bool ReadIndirection(const std::string& indirection, std::string* out) {
  if (indirection.empty() || indirection[0] != '\\') return false;
  const size_t hiveEnd = indirection.find('\\', 1);
  if (hiveEnd == std::string::npos) return false;
  plat::HKEY hive = HiveOf(indirection.substr(1, hiveEnd - 1));
  const std::string rest = indirection.substr(hiveEnd + 1);
  const size_t valueStart = rest.rfind('\\');
  if (!hive || valueStart == std::string::npos) return false;
  const std::string keyPath = rest.substr(0, valueStart);
  const std::string valueName = rest.substr(valueStart + 1);
  char buf[kMaxRegistryDirectory + 1] = {};
  uint32_t type = 0, size = kMaxRegistryDirectory;
  if (Reg_AccessValue(hive, keyPath.c_str(), plat::KEY_QUERY_VALUE, valueName.c_str(), &type, buf, &size) != 0)
    return false;
  buf[size] = 0;
  *out = buf;
  return true;
}

bool IsThisComputer(const std::string& server) {
  std::string s = server;
  if (s.rfind("\\\\", 0) == 0) s = s.substr(2);
  return s.empty() || s == "." || EqualsNoCase(s, "localhost") || EqualsNoCase(s, plat::ComputerName());
}

// True when the directory holds at least one entry that is not a directory.
bool HoldsAFile(const std::string& dir) {
  DIR* d = ::opendir(dir.c_str());
  if (!d) return false;
  bool found = false;
  while (dirent* e = ::readdir(d)) {
    if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, "..")) continue;
    struct stat st;
    if (::stat((dir + "/" + e->d_name).c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
      found = true;
      break;
    }
  }
  ::closedir(d);
  return found;
}

}  // namespace

const char* Dir_LookupVariable(const char* name) {
  static std::string result;
  if (!name || std::strlen(name) + 7 > 256) return plat::FailErrno(EINVAL), nullptr;
  const std::string canonical = CanonicalName(name);
  const char* value = std::getenv(canonical.c_str());
  if (!value) {
    result = std::string(Dir_GetProductRoot()) + "/" + WithoutPrefix(canonical);
    return result.c_str();
  }
  result = value;
  if (result.size() > 1 && result.front() == '%' && result.back() == '%') {
    std::string fromRegistry;
    if (ReadIndirection(result.substr(1, result.size() - 2), &fromRegistry)) result = fromRegistry;
  }
  return result.c_str();
}

const char* Dir_Resolve(const char* name) {
  static std::string result;
  const char* found = Dir_LookupVariable(name);
  if (!found) return nullptr;
  const std::string canonical = CanonicalName(name);
  if (!IsExportName(canonical)) return found;
  result = found;
  if (!plat::DirectoryExists(result)) plat::MakeDirectory(result);
  if (Dir_CheckAccess(result.c_str(), kGenericWrite)) return result.c_str();
  const std::string appData = plat::LocalAppDataFolder();
  if (appData.empty() || plat::MakeDirectories(appData) != 0) return result.c_str();
  std::string dir = appData;
  for (const std::string& level : {std::string("Quillomatic"), std::string(Prod_GetProductName()),
                                   WithoutPrefix(canonical)}) {
    dir += "/" + level;
    if (!plat::DirectoryExists(dir) && plat::MakeDirectory(dir) != 0 && !plat::DirectoryExists(dir))
      return result.c_str();
  }
  result = dir;
  return result.c_str();
}

const char* Dir_GetProductRoot() { return Dir_RootFor(Prod_GetProductName()); }

const char* Dir_RootFor(const char* productName) {
  static std::string result;
  char buf[kMaxRootValue] = {};
  uint32_t type = 0, size = sizeof buf;
  if (Reg_AccessValue(plat::HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillomatic\\Coordinatrix", plat::KEY_QUERY_VALUE,
                      "Root:", &type, buf, &size) == 0 &&
      size < kMaxRootValue) {
    buf[size] = 0;
    if (buf[0]) {
      result = buf;
      return result.c_str();
    }
  }
  result = plat::Root() + "/" + (productName ? productName : "");
  return result.c_str();
}

char Dir_SystemDrive() { return Ewf_IsXPacPlatform() ? 'D' : 'C'; }

bool Dir_CheckAccess(const char* path, uint32_t access) {
  if (!path) return plat::Fail(plat::kErrInvalidParameter), false;
  if (access & kGenericAll) access |= kFileAllAccess;
  if (access & kGenericRead) access |= kFileGenericRead;
  if (access & kGenericWrite) access |= kFileGenericWrite;
  if (access & kGenericExecute) access |= kFileGenericExecute;
  // File rights: read data 0x1, read extended attributes 0x8, read
  // attributes 0x80; write data 0x2, append 0x4, write extended attributes
  // 0x10, write attributes 0x100, delete child 0x40; execute 0x20.
  const bool read = access & (0x1 | 0x8 | 0x80);
  const bool write = access & (0x2 | 0x4 | 0x10 | 0x40 | 0x100);
  const bool execute = access & 0x20;
  return plat::CheckAccess(path, read, write, execute);
}

int Sys_VFormat(char* buffer, size_t size, const char* format, va_list args) {
  if (!buffer || size == 0 || !format) return -1;
  int n = std::vsnprintf(buffer, size, format, args);
  if (n < 0 || static_cast<size_t>(n) >= size) return -1;
  return n;
}

const char* Srv_GetDirectory(const char* server, const char* name) {
  static std::string result;
  if (!name) return plat::Fail(plat::kErrInvalidParameter), nullptr;
  const std::string s = server ? server : "";
  if (IsThisComputer(s)) return Dir_Resolve(name);
  const std::string canonical = CanonicalName(name);

  const bool provider = cdxtext::StartsNoCase(s.c_str(), "PROVIDER=");
  if (provider || s[0] == '/') {
    if (canonical == "CDX_LOGGED_DATA") {
      result = s;
      return result.c_str();
    }
    if (!provider && canonical != "CDX_CURRENT_CONFIG") {
      std::string path = s;
      while (path.size() > 1 && path.back() == '/') path.pop_back();
      for (;;) {
        const size_t slash = path.rfind('/');
        if (slash == std::string::npos) break;
        const std::string candidate = path.substr(0, slash) + "/" + WithoutPrefix(canonical);
        if (plat::DirectoryExists(candidate) && HoldsAFile(candidate)) {
          result = candidate;
          return result.c_str();
        }
        if (slash == 0) break;
        path = path.substr(0, slash);
      }
    }
    return Dir_Resolve(name);
  }

  if (s.find("://") != std::string::npos) return plat::Fail(plat::kErrNotSupported), nullptr;

  // Another computer, reached through its shares.
  if (const char* value = std::getenv(canonical.c_str()); value && std::strlen(value) > 1) {
    result = value;
    return result.c_str();
  }
  std::string host = s.rfind("\\\\", 0) == 0 ? s.substr(2) : s;
  const std::string share = canonical.rfind("CDX_", 0) == 0
                                ? "\\\\" + host + "\\" + Prod_GetProductName() + "\\" + WithoutPrefix(canonical)
                                : "\\\\" + host + "\\" + canonical;
  if (IsExportName(canonical)) {
    if (!plat::DirectoryExists(share)) plat::MakeDirectory(share);
    if (Dir_CheckAccess(share.c_str(), kGenericWrite)) {
      result = share;
      return result.c_str();
    }
    return Dir_Resolve(name);
  }
  result = share;
  return result.c_str();
}
