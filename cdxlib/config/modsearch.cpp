// Search for a processor's or driver's library or program on the bin
// directories.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>
#include <sys/stat.h>
#include <vector>

#include "cdxlib/config/capfile.h"
#include "cdxlib/sys/logicaldirs.h"
#include "platform/error.h"

namespace {

char g_dllPath[kCapPathMax * 2 + 1];
char g_exePath[kCapPathMax * 2 + 3];

// "calc12" and "mvtrx3" stand for "calc" and "mvtrx".
std::string BaseName(const char* module, const char* suffix) {
  std::string name(module);
  for (const char* plain : {"calc", "mvtrx"}) {
    const size_t n = strlen(plain);
    if (name.size() > n && strncasecmp(name.c_str(), plain, n) == 0 &&
        name.find_first_not_of("0123456789", n) == std::string::npos) {
      name = name.substr(0, n);
    }
  }
  if (suffix && *suffix) {
    char buffer[16];
    snprintf(buffer, sizeof buffer, "%.5s_%.2s", name.c_str(), suffix);
    name = buffer;
  }
  return name;
}

bool IsFile(const std::string& path, bool program) {
  struct stat st{};
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  return !program || (st.st_mode & 0111) != 0;
}

void AddList(std::vector<std::string>& dirs, const char* list) {
  if (!list) return;
  std::string all(list);
  size_t start = 0;
  while (start <= all.size()) {
    const size_t end = all.find(':', start);
    const std::string dir = all.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!dir.empty()) dirs.push_back(dir);
    if (end == std::string::npos) break;
    start = end + 1;
  }
}

bool Find(const char* server, const char* module, const char* suffix, bool program, std::string* found) {
  if (!module || !*module) {
    plat::Fail(plat::kErrInvalidParameter);
    return false;
  }
  const std::string name = BaseName(module, suffix);
  std::vector<std::string> dirs;
  if (const char* local = Srv_GetDirectory(".", "CDX_BIN")) dirs.emplace_back(local);
  if (server && *server && strcmp(server, ".") != 0) {
    if (const char* remote = Srv_GetDirectory(server, "CDX_BIN")) dirs.emplace_back(remote);
  }
  if (program) {
    AddList(dirs, getenv("PATH"));
  } else {
    AddList(dirs, getenv("LD_LIBRARY_PATH"));
    dirs.emplace_back("/usr/local/lib");
    dirs.emplace_back("/usr/lib");
  }
  const char* const extensions[2] = {program ? ".exe" : ".dll", program ? "" : ".so"};
  for (const std::string& dir : dirs) {
    for (const char* ext : extensions) {
      const std::string path = dir + "/" + name + ext;
      if (IsFile(path, program)) {
        *found = path;
        return true;
      }
    }
  }
  plat::Fail(plat::kErrFileNotFound);
  return false;
}

}  // namespace

const char* Mod_FindDll(const char* server, const char* moduleName, const char* suffix) {
  std::string path;
  if (!Find(server, moduleName, suffix, false, &path)) return nullptr;
  if (path.size() >= sizeof g_dllPath) return plat::Fail(plat::kErrFilenameExcedRange), nullptr;
  memcpy(g_dllPath, path.c_str(), path.size() + 1);
  return g_dllPath;
}

const char* Mod_FindExe(const char* server, const char* moduleName, const char* suffix) {
  std::string path;
  if (!Find(server, moduleName, suffix, true, &path)) return nullptr;
  if (path.size() + 2 >= sizeof g_exePath) return plat::Fail(plat::kErrFilenameExcedRange), nullptr;
  snprintf(g_exePath, sizeof g_exePath, "\"%s\"", path.c_str());
  return g_exePath;
}
