#include "cdxlib/config/extdll.h"

#include <cctype>
#include <cstring>
#include <dlfcn.h>
#include <strings.h>

#include "cdxlib/logicaldirs.h"

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
  // The processor list fallback (user-defined processors in the parent's
  // DATPROC.TXT) needs the capability-file reader, which is not part of
  // this build: such directories have no library.
  return nullptr;
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
