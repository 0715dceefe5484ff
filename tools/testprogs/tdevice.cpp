// A device program for the end-to-end tests of the central server stand-in.
// Started as "tdevice N", it finds device N in "dm_device", marks itself its
// running scanner, registers in the system error list under the record's
// process name with the status text "UP" (followed by CDX_GREETING when that
// is set), and answers each scan request (300) by toggling channel 1 of the
// device's diagnostics module (an alarm-evaluating module, so the alarm
// process hears of every change), counting the scans in the record's
// last-scan field and setting the status text "SCAN <n>". Code 31 clears the
// text, marks the device stopped and ends the program; so does a minute
// without it, so that no test leaves it behind.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cdxlib/shm/drvtables.h"
#include "cdxlib/shm/signals.h"
#include "cdxlib/runtime/syserr.h"
#include "cdxlib/runtime/valwrite.h"
#include "platform/process.h"
#include "platform/sync.h"

namespace {
std::atomic<bool> g_stop{false};
std::atomic<int> g_scanRequests{0};
int OnSignal(int code) {
  if (code == static_cast<int>(kSigStop)) g_stop = true;
  if (code == static_cast<int>(kSigScan)) ++g_scanRequests;
  return 0;
}
}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const int number = std::atoi(argv[1]);
  if (!Sig_InstallHandler(OnSignal) && errno != 0) return 3;
  if (Drv_OpenDeviceTable() != 0) return 4;
  DeviceRecord* own = nullptr;
  const char* diag = nullptr;
  for (int i = 0; i < Drv_DeviceCount() && !own; ++i) {
    if (Drv_DeviceAt(i)->DeviceNumber == number) {
      own = Drv_DeviceAt(i);
      diag = Drv_DeviceDiagPrefix(i);
    }
  }
  if (!own || !diag) return 5;
  char prefix[3] = {diag[0], diag[1], '\0'};
  char process[sizeof(own->ProcessName) + 1] = {};
  std::memcpy(process, own->ProcessName, sizeof(own->ProcessName));

  SysErr_Register(1, process);
  own->ScannerPid = static_cast<uint32_t>(plat::GetPid());
  own->Running = 1;
  const char* greeting = std::getenv("CDX_GREETING");
  SysErr_SetText("UP%s%s", greeting ? " " : "", greeting ? greeting : "");

  int scans = 0;
  uint32_t state = 0;
  const int64_t deadline = plat::MonotonicMs() + 60000;
  for (;;) {
    // Scan requests that came before the stop are answered first.
    const bool stop = g_stop || plat::MonotonicMs() >= deadline;
    while (scans < g_scanRequests) {
      ++scans;
      state ^= 1u;
      if (Val_WriteDigital(prefix, 1, 1, &state) != 0) return 6;
      own->LastScanMs = scans;
      SysErr_SetText("SCAN %d", scans);
    }
    if (stop) break;
    Sig_WaitTicks(10);
  }
  SysErr_ClearText();
  own->Running = 0;
  return 0;
}
