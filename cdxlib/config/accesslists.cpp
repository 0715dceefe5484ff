// Access lists: which devices, loggers and processors a user may see or
// change, by the environment's lists and the rights on their files.
#include "cdxlib/config/accesslists.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>
#include <sys/stat.h>

#include "cdxlib/config/extdll.h"
#include "cdxlib/config/xmlconfig.h"
#include "cdxlib/sys/logicaldirs.h"
#include "cdxlib/sys/servernames.h"
#include "cdxlib/sys/textutil.h"
#include "platform/error.h"
#include "platform/files.h"

namespace {

constexpr size_t kMaxListEntry = 24;

}  // namespace

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
    if (entry.size() <= kMaxListEntry && strcasecmp(entry.c_str(), name) == 0) return 1;
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
  return cdxtext::FixedText(p, entrySize - offset);
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
