#include "cdxlib/client/driverstart.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "cdxlib/config/configfiles.h"
#include "cdxlib/shm/signals.h"
#include "cdxlib/runtime/syserr.h"
#include "cdxlib/sys/procstart.h"
#include "platform/error.h"
#include "platform/sync.h"

namespace {

constexpr int kDefaultStartTimeoutMs = 60000;
int g_startTimeoutMs = kDefaultStartTimeoutMs;

}  // namespace

void Drv_SetStartTimeout(int ms) { g_startTimeoutMs = ms > 0 ? ms : kDefaultStartTimeoutMs; }

int Drv_StartDriver(DriverRecord* record) {
  if (!record) return plat::Fail(plat::kErrInvalidParameter), -1;
  char printName[26] = {};
  std::memcpy(printName, record->printName, 25);
  SysErr_Register(kSysErrTypeDriver, printName);

  char program[10] = {};
  std::memcpy(program, record->programName, 9);

  // The directory is restored through a handle on it, so that a program
  // name that is a path (or a link) brings us back where we were.
  int saved = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (saved < 0 || chdir(program) != 0) {
    uint32_t code = plat::FailErrno(errno);
    if (saved >= 0) close(saved);
    SysErr_SetText("CAN'T RUN - %04d", static_cast<int>(code & 0xFFF));
    plat::Fail(code);
    return -1;
  }

  bool failed = false;
  uint32_t failCode = 0;
  uint8_t enabled = 0;
  if (Cfg_LoadEnableInCwd(&enabled) != 0) {
    failCode = plat::GetLastError();
    SysErr_SetText("CAN'T RUN - %04d", static_cast<int>(failCode & 0xFFF));
    failed = true;
  } else {
    record->configured = enabled;
  }

  if (record->configured && record->type) {
    record->started = 0;
    int32_t pid = Proc_StartHelper(record->programName, "run", 0);
    if (pid <= 0) {
      failCode = plat::GetLastError();
      record->configured = 0;
      record->pid = 0;
      SysErr_SetText("CAN'T RUN - %04d", static_cast<int>(failCode & 0xFFF));
      failed = true;
    } else {
      record->pid = pid;
      int64_t deadline = plat::MonotonicMs() + g_startTimeoutMs;
      volatile int32_t* started = &record->started;
      for (;;) {
        if (*started != 0) break;
        if (!Proc_IsAlive(pid)) {
          // Ended before it was up: a failure, reported at once.
          failCode = plat::kErrGenFailure;
          failed = true;
          break;
        }
        if (plat::MonotonicMs() >= deadline) {
          failCode = plat::kErrWaitTimeout;
          failed = true;
          break;
        }
        Sig_WaitTicks(2);
      }
    }
  }

  if (fchdir(saved) != 0 && !failed) {
    failCode = plat::FromErrno(errno);
    failed = true;
  }
  close(saved);
  if (failed) {
    plat::Fail(failCode);
    return -1;
  }
  return 0;
}
