#include "cdxlib/sys/writefilter.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cdxlib/sys/procstart.h"
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
