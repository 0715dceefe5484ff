#include "cdxlib/sys/writefilter.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/process.h"
#include "platform/spawn.h"
#include "platform/sync.h"
#include "platform/sysinfo.h"

namespace {

// Process-wide state of the write filter.
bool g_platformChecked = false;
const void* g_platformHandle = nullptr;
bool g_filterHandled = false;
bool g_filterDisabledHere = false;

// Start options of Proc_Start.
uint32_t g_creationFlags = 0;
int g_inheritHandles = 0;

// How long a run of the filter manager may take before the write goes on
// without it.
constexpr int kEwfmgrWaitMs = 60000;

// Runs ewfmgr with the arguments and waits for it: false when it cannot be
// started.
bool RunEwfmgr(const std::vector<const char*>& args) {
  std::vector<const char*> argv{"ewfmgr"};
  argv.insert(argv.end(), args.begin(), args.end());
  argv.push_back(nullptr);
  int32_t pid = Proc_Start(argv.data());
  if (pid < 0) return false;
  int exitCode = 0;
  plat::WaitProcess(pid, kEwfmgrWaitMs, &exitCode);
  return true;
}

// Ends a bracketed registry operation.
uint32_t Bracketed(uint32_t (*op)(void*), void* ctx) {
  if (Ewf_BeginWrite() != 1) {
    uint32_t e = plat::GetLastError();
    return e ? e : plat::kErrGenFailure;
  }
  uint32_t rc = op(ctx);
  if (Ewf_EndWrite() != 1) {
    uint32_t e = plat::GetLastError();
    return e ? e : plat::kErrGenFailure;
  }
  return rc;
}

bool StartsWithNoCase(const std::string& s, const char* prefix) {
  size_t n = std::strlen(prefix);
  if (s.size() < n) return false;
  for (size_t i = 0; i < n; ++i)
    if (std::tolower(static_cast<unsigned char>(s[i])) != prefix[i]) return false;
  return true;
}

bool AllDigits(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s)
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

// Copies text into a component buffer (when wanted).
bool PutPart(const std::string& text, char* buffer, uint32_t* length) {
  if (!buffer) return true;
  if (text.size() + 1 > *length) return false;
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  *length = static_cast<uint32_t>(text.size());
  return true;
}

}  // namespace

const void* Ewf_IsXPacPlatform() {
  if (!g_platformChecked) {
    static const char marker = 0;
    g_platformHandle = plat::ControllerSdkPresent() ? &marker : nullptr;
    g_platformChecked = true;
  }
  return g_platformHandle;
}

int Ewf_UnloadXPacSdk() { return 1; }

int Ewf_BeginWrite() {
  if (!Ewf_IsXPacPlatform() || g_filterHandled) return 1;
  plat::HKEY key = nullptr;
  uint32_t disposition = 0;
  if (plat::RegCreateKeyEx(plat::HKEY_LOCAL_MACHINE, "SOFTWARE\\EWF", plat::REG_OPTION_VOLATILE, plat::KEY_SET_VALUE,
                           &key, &disposition) == 0) {
    plat::RegCloseKey(key);
    if (disposition == plat::REG_CREATED_NEW_KEY) {
      // The first write since the machine started: commit the overlay and
      // keep the filter off while this process writes.
      if (!RunEwfmgr({"c:", "-commitanddisable", "-live"})) {
        // Nothing was committed: take the mark away again, so that the next
        // write (of any process) tries again instead of writing into the
        // overlay, which the next boot would throw away.
        const uint32_t e = plat::GetLastError();
        plat::RegDeleteKey(plat::HKEY_LOCAL_MACHINE, "SOFTWARE\\EWF");
        plat::Fail(e);
        return 0;
      }
      g_filterDisabledHere = true;
    }
  }
  g_filterHandled = true;
  return 1;
}

int Ewf_EndWrite() {
  if (!Ewf_IsXPacPlatform() || !g_filterDisabledHere) return 1;
  if (!RunEwfmgr({"c:", "-enable"})) return 0;
  g_filterDisabledHere = false;
  return 1;
}

uint32_t Ewf_RegCreateKey(plat::HKEY key, const char* subKey, uint32_t /*reserved*/, const char* /*className*/,
                          uint32_t options, uint32_t access, const plat::SecurityAttributes* /*security*/,
                          plat::HKEY* result, uint32_t* disposition) {
  struct Args {
    plat::HKEY key;
    const char* subKey;
    uint32_t options, access;
    plat::HKEY* result;
    uint32_t* disposition;
  } a{key, subKey, options, access, result, disposition};
  return Bracketed(
      [](void* p) {
        auto* x = static_cast<Args*>(p);
        return plat::RegCreateKeyEx(x->key, x->subKey ? x->subKey : "", x->options, x->access, x->result,
                                    x->disposition);
      },
      &a);
}

uint32_t Ewf_RegSetValue(plat::HKEY key, const char* name, uint32_t /*reserved*/, uint32_t type, const void* data,
                         uint32_t size) {
  struct Args {
    plat::HKEY key;
    const char* name;
    uint32_t type;
    const void* data;
    uint32_t size;
  } a{key, name, type, data, size};
  return Bracketed(
      [](void* p) {
        auto* x = static_cast<Args*>(p);
        return plat::RegSetValueEx(x->key, x->name, x->type, x->data, x->size);
      },
      &a);
}

uint32_t Ewf_RegDeleteValue(plat::HKEY key, const char* name) {
  struct Args {
    plat::HKEY key;
    const char* name;
  } a{key, name};
  return Bracketed(
      [](void* p) {
        auto* x = static_cast<Args*>(p);
        return plat::RegDeleteValue(x->key, x->name);
      },
      &a);
}

int32_t Proc_Start(const char* const* args) {
  if (!args || !args[0]) return plat::Fail(plat::kErrInvalidParameter), -1;
  std::vector<std::string> argv;
  for (const char* const* a = args; *a; ++a) argv.emplace_back(*a);
  plat::SpawnOptions options;
  options.inheritHandles = g_inheritHandles != 0;
  options.newProcessGroup = (g_creationFlags & kProcCreateNewProcessGroup) != 0;
  return plat::SpawnProcess(argv, options);
}

void Proc_SetStartOptions(uint32_t creationFlags, int inheritHandles) {
  g_creationFlags = creationFlags;
  g_inheritHandles = inheritHandles;
}

const char* Proc_HelperProgramName(const char* programName, const char* role) {
  static char program[16];
  std::string name(programName ? programName : "", programName ? strnlen(programName, 9) : 0);
  if (StartsWithNoCase(name, "calc") && AllDigits(name.substr(4)))
    name = name.substr(0, 4);
  else if (StartsWithNoCase(name, "mvtrx") && AllDigits(name.substr(5)))
    name = name.substr(0, 5);
  std::snprintf(program, sizeof program, "%.5s_%.2s", name.c_str(), role ? role : "");
  return program;
}

int32_t Proc_StartHelperEx(const char* programName, const char* role, int number, const char* text2,
                           const char* text3) {
  const std::string program = Proc_HelperProgramName(programName, role);
  const std::string first = std::to_string(number);
  std::vector<const char*> argv{program.c_str(), first.c_str()};
  if (text2) argv.push_back(text2);
  if (text3) argv.push_back(text3);
  argv.push_back(nullptr);
  return Proc_Start(argv.data());
}

int32_t Proc_StartHelper(const char* programName, const char* role, int number) {
  return Proc_StartHelperEx(programName, role, number, nullptr, nullptr);
}

int Proc_IsAlive(int32_t pid) { return plat::ProcessAlive(pid) ? 1 : 0; }

int Url_Crack(const char* url, uint32_t length, uint32_t /*flags*/, UrlComponents* components) {
  if (!url || !components) return plat::Fail(plat::kErrInvalidParameter), 0;
  const size_t n = length ? strnlen(url, length) : strnlen(url, kUrlCrackMaxLength);
  if (n >= kUrlCrackMaxLength) return plat::Fail(plat::kErrInvalidParameter), 0;
  plat::UrlParts parts;
  if (!plat::SplitUrl(std::string(url, n), &parts)) return plat::Fail(plat::kErrInvalidName), 0;
  UrlComponents& c = *components;
  if (!PutPart(parts.scheme, c.scheme, &c.schemeLength) || !PutPart(parts.host, c.hostName, &c.hostNameLength) ||
      !PutPart(parts.user, c.userName, &c.userNameLength) ||
      !PutPart(parts.password, c.password, &c.passwordLength) || !PutPart(parts.path, c.urlPath, &c.urlPathLength) ||
      !PutPart(parts.extra, c.extraInfo, &c.extraInfoLength))
    return plat::Fail(plat::kErrInsufficientBuffer), 0;
  c.port = parts.port;
  plat::SetLastError(0);
  return 1;
}
