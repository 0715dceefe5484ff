// A driver program that comes up: it finds its own record in "dm_datproc"
// by its pid, sets the started flag, and stays until code 31 or 20 s. With
// CDX_TSTUP_SILENT set it stays without ever setting the flag (a program
// that hangs in its start-up).
#include <atomic>
#include <cstdlib>

#include "cdxlib/shm/drvtables.h"
#include "cdxlib/shm/signals.h"
#include "platform/process.h"
#include "platform/sync.h"

namespace {
std::atomic<bool> g_stop{false};
int OnSignal(int code) {
  if (code == 31) g_stop = true;
  return 0;
}
}  // namespace

int main() {
  Sig_InstallHandler(OnSignal);
  int32_t self = plat::GetPid();
  int64_t deadline = plat::MonotonicMs() + 20000;
  DriverRecord* own = nullptr;
  // The starter stores our pid right after the start: wait for it.
  while (!own && plat::MonotonicMs() < deadline) {
    if (Drv_OpenDriverTable() == 0) {
      for (int i = 0; i < Drv_DriverCount(); ++i) {
        if (Drv_DriverAt(i)->pid == self) own = Drv_DriverAt(i);
      }
    }
    if (!own) plat::SleepMs(5);
  }
  if (!own) return 3;
  if (!std::getenv("CDX_TSTUP_SILENT")) own->started = 1;
  while (!g_stop && plat::MonotonicMs() < deadline) Sig_WaitTicks(10);
  return 0;
}
