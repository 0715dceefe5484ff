#include "cdxlib/logicaldirs.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "cdxlib/servernames.h"
#include "cdxlib/config/extdll.h"
#include "cdxlib/config/xmlconfig.h"
#include "cdxlib/registry.h"
#include "cdxlib/writefilter.h"
#include "platform/error.h"
#include "platform/files.h"
#include "platform/root.h"
#include "platform/sysinfo.h"

namespace {

constexpr uint32_t kMaxRegistryDirectory = 256;
constexpr uint32_t kMaxRootValue = 260;
constexpr size_t kMaxListEntry = 24;

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

bool EqualsNoCase(const std::string& a, const std::string& b) { return Upper(a) == Upper(b); }

bool StartsWithNoCase(const std::string& s, const char* prefix) {
  const size_t n = std::strlen(prefix);
  return s.size() >= n && EqualsNoCase(s.substr(0, n), prefix);
}

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

  const bool provider = StartsWithNoCase(s, "PROVIDER=");
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

int Cfg_InEnvList(const char* variable, const char* name) {
  if (!variable || !*variable || !name || !*name) return 0;
  const char* value = std::getenv(variable);
  if (!value) return 1;
  const std::string list = value;
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(';', start);
    if (end == std::string::npos) end = list.size();
    const std::string entry = list.substr(start, end - start);
    if (entry.size() <= kMaxListEntry && EqualsNoCase(entry, name)) return 1;
    start = end + 1;
  }
  return 0;
}

int Cfg_CanAccessFile(const char* path, uint32_t access) {
  if (!path) return 0;
  // A share path of a server that is reached only through requests is
  // checked by that server, not here.
  if (path[0] == '\\' && path[1] == '\\') {
    const char* end = std::strchr(path + 2, '\\');
    const size_t n = end ? static_cast<size_t>(end - path) : std::strlen(path);
    if (n < 100 && Srv_IsRequestOnly(std::string(path, n).c_str())) return 1;
  }
  if (access != kGenericRead && access != kGenericWrite) return 0;
  if (plat::TryOpenExisting(path, access == kGenericWrite) == 0) return 1;
  const uint32_t e = plat::GetLastError();
  return (e == plat::kErrFileNotFound || e == plat::kErrPathNotFound || e == plat::kErrBadNetPath) ? 1 : 0;
}

namespace {

bool IsFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The file a device's or processor's access is judged by: "config.xml" in
// its directory when XML mode is on there, its extension library offers XML
// and the file exists, else "config".
std::string DirectoryConfigFile(const std::string& dir) {
  const std::string xml = dir + "/config.xml";
  if (XmlOpt_ReadXml(dir.c_str()) && ExtDll_HasDoXml(dir.c_str()) && IsFile(xml)) return xml;
  return dir + "/config";
}

int CanAccessDirectoryConfig(const char* server, const char* name, uint32_t access, const char* list) {
  if (Srv_IsRequestOnly(server)) return 1;
  const char* config = Srv_GetDirectory(server, "CDX_CURRENT_CONFIG");
  if (!config) return 0;
  const std::string file = DirectoryConfigFile(std::string(config) + "/" + name);
  return Cfg_CanAccessFile(file.c_str(), access) && Cfg_InEnvList(list, name);
}

std::string NameAt(const unsigned char* entry, size_t entrySize, size_t offset) {
  if (offset >= entrySize) return {};
  const char* p = reinterpret_cast<const char*>(entry + offset);
  return std::string(p, strnlen(p, entrySize - offset));
}

template <typename Test>
int Filter(int count, void* entries, size_t entrySize, Test test) {
  if (count <= 0 || !entries || entrySize == 0) return 0;
  auto* base = static_cast<unsigned char*>(entries);
  int kept = 0;
  for (int i = 0; i < count; ++i) {
    unsigned char* entry = base + static_cast<size_t>(i) * entrySize;
    if (!test(entry)) continue;
    std::memmove(base + static_cast<size_t>(count + kept) * entrySize, entry, entrySize);
    ++kept;
  }
  return kept;
}

}  // namespace

int Cfg_CanAccessDevice(const char* server, const char* deviceName, uint32_t access) {
  if (!deviceName) return 0;
  return CanAccessDirectoryConfig(server, deviceName, access, "CDX_DEVICES");
}

int Cfg_CanAccessLogger(const char* server, const char* loggerName, int loggerNumber, uint32_t access) {
  if (!loggerName) return 0;
  if (Srv_IsRequestOnly(server)) return 1;
  const char* config = Srv_GetDirectory(server, "CDX_CURRENT_CONFIG");
  if (!config) return 0;
  // Logger files live in the root's LOGGERS directory: "<name>_<n>", and
  // "<name>_<n>.xml" in XML mode when that file exists. (Judging by a path
  // beside LOGGERS, where no logger file ever is, let every logger pass.)
  const std::string dir = std::string(config) + "/LOGGERS";
  std::string file = dir + "/" + loggerName + "_" + std::to_string(loggerNumber);
  if (XmlOpt_ReadXml(dir.c_str()) && IsFile(file + ".xml")) file += ".xml";
  return Cfg_CanAccessFile(file.c_str(), access) && Cfg_InEnvList("CDX_LOGGERS", loggerName);
}

int Cfg_CanAccessProcessor(const char* server, const char* processorName, uint32_t access) {
  if (!processorName) return 0;
  return CanAccessDirectoryConfig(server, processorName, access, "CDX_PROCESSORS");
}

int Cfg_FilterDevices(const char* server, int count, void* entries, size_t entrySize, size_t nameOffset,
                      uint32_t access) {
  return Filter(count, entries, entrySize, [&](const unsigned char* e) {
    return Cfg_CanAccessDevice(server, NameAt(e, entrySize, nameOffset).c_str(), access) != 0;
  });
}

int Cfg_FilterLoggers(const char* server, int count, void* entries, size_t entrySize, size_t nameOffset,
                      size_t numberOffset, uint32_t access) {
  return Filter(count, entries, entrySize, [&](const unsigned char* e) {
    int32_t number = 0;
    if (numberOffset + 4 <= entrySize) std::memcpy(&number, e + numberOffset, 4);
    return Cfg_CanAccessLogger(server, NameAt(e, entrySize, nameOffset).c_str(), number, access) != 0;
  });
}

int Cfg_FilterProcessors(const char* server, int count, void* entries, size_t entrySize, size_t nameOffset,
                         uint32_t access) {
  return Filter(count, entries, entrySize, [&](const unsigned char* e) {
    return Cfg_CanAccessProcessor(server, NameAt(e, entrySize, nameOffset).c_str(), access) != 0;
  });
}
