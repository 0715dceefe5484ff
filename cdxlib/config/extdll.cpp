#include "cdxlib/config/extdll.h"

#include <cctype>
#include <cstring>
#include <dlfcn.h>
#include <strings.h>

#include "cdxlib/config/capfile.h"
#include "cdxlib/sys/logicaldirs.h"
#include "platform/error.h"

namespace {

std::string g_lastDir;
bool g_lastAnswer = false;
bool g_haveLast = false;

// True when s (from its start) is prefix followed by a decimal number.
bool IsPrefixAndNumber(const std::string& s, const char* prefix) {
  const size_t n = strlen(prefix);
  if (s.size() <= n || strncasecmp(s.c_str(), prefix, n) != 0) return false;
  for (size_t i = n; i < s.size(); ++i)
    if (!isdigit(static_cast<unsigned char>(s[i]))) return false;
  return true;
}

// The parent directory of a configuration directory ('/' or '\\'), or "".
std::string ParentDir(const char* dir) {
  std::string d = dir;
  while (!d.empty() && (d.back() == '/' || d.back() == '\\')) d.pop_back();
  const size_t slash = d.find_last_of("/\\");
  if (slash == std::string::npos) return std::string();
  return slash == 0 ? std::string("/") : d.substr(0, slash);
}

// A user-defined processor (a DATPROC.TXT entry whose name begins "USER")
// has the library of the user analog or the user digital processors from
// CDX_BIN, by its channel kind. The first entry whose name begins with the
// device type's first five characters decides; none, or one that does not
// parse, gives no library.
void* LoadUserProcessorLibrary(const char* dir, const std::string& type, const char* bin) {
  const std::string parent = ParentDir(dir);
  if (parent.empty() || !bin || !*bin) return nullptr;
  const std::string list = parent + (parent.back() == '/' ? "" : "/") + "DATPROC.TXT";
  const uint32_t last = plat::GetLastError();
  if (CapFile_Open(list.c_str()) < 0) {
    plat::SetLastError(last);
    return nullptr;
  }
  const std::string key = type.substr(0, 5);
  void* handle = nullptr;
  char* fields[5];
  int offsets[5];
  for (;;) {
    const int n = CapFile_Split(fields, offsets, 5);
    if (n <= 0) break;
    if (strncasecmp(fields[0], key.c_str(), key.size()) != 0) continue;
    ProcessorEntry entry;
    if (Proc_ParseDatProc(fields, offsets, n, &entry, nullptr, 0) == 1 && strncasecmp(entry.Name, "USER", 4) == 0) {
      std::string path = bin;
      if (path.back() != '/') path += '/';
      path += entry.Kind == kProcKindAnalog ? kExtUserAnalogLibrary : kExtUserDigitalLibrary;
      handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    }
    break;
  }
  CapFile_Close();
  plat::SetLastError(last);
  return handle;
}

}  // namespace

std::string ExtDll_DeviceType(const char* dir) {
  if (!dir) return std::string();
  std::string d = dir;
  while (!d.empty() && (d.back() == '/' || d.back() == '\\')) d.pop_back();
  const size_t slash = d.find_last_of("/\\");
  std::string name = slash == std::string::npos ? d : d.substr(slash + 1);
  const size_t us = name.find_last_of('_');
  if (us != std::string::npos) name.resize(us);
  if (IsPrefixAndNumber(name, "calc")) return "calc";
  if (IsPrefixAndNumber(name, "mvtrx")) return "mvtrx";
  return name;
}

std::string ExtDll_LibraryName(const char* dir) { return ExtDll_DeviceType(dir).substr(0, 5) + "_ex.so"; }

void* ExtDll_Load(const char* dir) {
  const std::string type = ExtDll_DeviceType(dir);
  if (type.empty()) return nullptr;
  const std::string name = ExtDll_LibraryName(dir);
  // A bare name: the loader's search path (never the current directory).
  if (void* h = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL)) return h;
  const char* bin = Dir_Resolve("CDX_BIN");
  if (bin && *bin) {
    std::string path = bin;
    if (path.back() != '/') path += '/';
    path += name;
    if (void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) return h;
  }
  return LoadUserProcessorLibrary(dir, type, bin);
}

void ExtDll_Free(void* handle) {
  if (handle) dlclose(handle);
}

void* ExtDll_Entry(void* handle, const char* name) { return handle && name ? dlsym(handle, name) : nullptr; }

bool ExtDll_HasDoXml(const char* dir) {
  if (!dir) return false;
  if (g_haveLast && strcasecmp(g_lastDir.c_str(), dir) == 0) return g_lastAnswer;
  void* h = ExtDll_Load(dir);
  const bool answer = ExtDll_Entry(h, "Ex_DoXml") != nullptr;
  ExtDll_Free(h);
  g_lastDir = dir;
  g_lastAnswer = answer;
  g_haveLast = true;
  return answer;
}

void ExtDll_ForgetDoXml() { g_haveLast = false; }
