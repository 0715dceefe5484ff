#include "scanner/qd_main.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <csignal>
#include <ctime>
#include <strings.h>
#include <unistd.h>

#include "cdxlib/shm/datamodule.h"
#include "cdxlib/sys/debugtrace.h"
#include "cdxlib/shm/drvtables.h"
#include "cdxlib/sys/logicaldirs.h"
#include "cdxlib/shm/signals.h"
#include "cdxlib/runtime/syserr.h"
#include "platform/error.h"
#include "platform/process.h"
#include "platform/spawn.h"
#include "scanner/aipath.h"
#include "scanner/comport.h"
#include "scanner/df1plan.h"
#include "scanner/df1read.h"
#include "scanner/qd_config.h"
#include "scanner/qd_diag.h"
#include "scanner/qd_paths.h"
#include "scanner/qd_saved.h"
#include "scanner/qd_scan.h"
#include "scanner/qd_state.h"

namespace {

constexpr int kInitRetryMs = 1000;
constexpr int kSysErrTypeScanner = 2;

DeviceRecord* FindDeviceRecord(const std::string& prefix, int number) {
  if (Drv_OpenDeviceTable() != 0) return nullptr;
  char wanted[9] = {};
  for (size_t i = 0; i < 8 && i < prefix.size(); ++i) wanted[i] = char(std::tolower(uint8_t(prefix[i])));
  int count = Drv_DeviceCount();
  for (int i = 0; i < count; ++i) {
    DeviceRecord* r = Drv_DeviceAt(i);
    if (r && strncasecmp(r->DeviceType, wanted, 5) == 0 && r->DeviceNumber == uint16_t(number)) return r;
  }
  return nullptr;
}

void SetStatusText(const char* text) { SysErr_SetText("%s", text); }
void ClearStatusText() { SysErr_ClearText(); }

// The block reads report through the system error list and stop with the
// running flag; they read the ai module's requests and keep the outputs'
// last written values in the ai path's saved values.
void BindAiPath(ScanState& st) {
  Df1_SetRunningFlag(&st.running);
  Df1StatusSink sink;
  sink.setText = SetStatusText;
  sink.clearText = ClearStatusText;
  Df1_SetStatusSink(sink);
  const ScanPath& ai = st.paths[kPathAi];
  Df1_SetModuleName(st.device->PathPrefix[kPathAi]);
  AiPathBinding b;
  b.moduleStatus = ai.moduleStatus;
  b.moduleValues = ai.moduleValues;
  b.savedValues = ai.saved;
  Ai_Bind(b);
}

// Asks for the real-time priority. The platform applies it where it is
// permitted and otherwise leaves the priority as it is; either way the
// scanner carries on (the request is traced once the trace exists).
bool RaisePriority() { return plat::SetPriority(0, plat::PriorityClass::kRealtime) == 0; }

// SIGTERM (what a service manager sends) and SIGINT end the scanner as the
// stop request does: the handler clears the running flag, which every loop
// tests, and sets a manual-reset event in the wait list, so that a wait for
// the next request returns. Both are a plain store and a write() to an
// eventfd, which a signal handler may do.
plat::Event* g_stopEvent = nullptr;
volatile sig_atomic_t g_stopSignal = 0;

extern "C" void OnTerminationSignal(int signo) {
  const int saved = errno;
  g_stopSignal = signo;
  Scan_State().running = 0;
  if (g_stopEvent) {
    uint64_t one = 1;
    ssize_t r = ::write(g_stopEvent->PollFd(), &one, sizeof one);
    (void)r;
  }
  errno = saved;
}

void InstallTerminationHandlers() {
  static plat::Event stopEvent(true, false);
  if (!stopEvent.valid() || Sig_AddWaitHandle(&stopEvent) != 0) return;
  g_stopEvent = &stopEvent;
  struct sigaction sa = {};
  sa.sa_handler = OnTerminationSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  ::sigaction(SIGTERM, &sa, nullptr);
  ::sigaction(SIGINT, &sa, nullptr);
}

// Takes a pending reconfigure request (delivery held while it is read).
bool TakeReconfigure(ScanState& st) {
  Sig_HoldDelivery(1);
  bool pending = st.reconfigure != 0;
  st.reconfigure = 0;
  Sig_HoldDelivery(0);
  return pending;
}

// Waits out the retry delay on a deadline; signals are delivered meanwhile,
// and a stop or a reconfigure request ends the wait early.
void WaitRetry(ScanState& st) {
  int64_t deadline = plat::MonotonicMs() + kInitRetryMs;
  for (;;) {
    int64_t left = deadline - plat::MonotonicMs();
    if (left <= 0 || !st.running || st.reconfigure) return;
    Sig_Wait(int(left));
  }
}

int MainLoop(ScanState& st) {
  while (st.running) {
    Sig_HoldDelivery(1);
    int rc = 0;
    const char* failure = nullptr;
    if (st.reconfigure) {
      st.reconfigure = 0;
      Sig_HoldDelivery(0);
      rc = Scan_Reconfigure();
      failure = "CAN'T RECONFIGURE DEVICE -%04d";
    } else if (st.initValues) {
      st.initValues = 0;
      Sig_HoldDelivery(0);
      rc = Scan_InitialiseValues();
      failure = "CAN'T INITIALISE VALUES - %04d";
    } else if (st.resetCounters) {
      st.resetCounters = 0;
      Sig_HoldDelivery(0);
      rc = Scan_ResetCounters();
      failure = "CAN'T RESET COUNTERS -%04d";
    } else if (st.scanCount > 0) {
      st.scanCount = st.scanCount - 1;
      Sig_HoldDelivery(0);
      rc = Scan_ScanAll(0);
      failure = "CAN'T SCAN DEVICE -%04d";
    } else if (!st.saveOn) {
      Sig_WaitTicks(0);
      continue;
    } else {
      TimeStamp now;
      Time_NowLocal(&now);
      if (!Scan_SaveDue(now, &st.nextSave, st.saveRateMs)) {
        Sig_WaitTicks(0);
        continue;
      }
      Sig_HoldDelivery(0);
      Scan_SaveOutputs();
      continue;
    }
    if (rc == -1) {
      if (!st.running) break;
      int e = errno;
      SysErr_SetText(failure, e & 0xfff);
      Scan_InitDevice(e);
    }
  }
  Scan_SaveOutputs();
  Scan_Exit(0);
}

}  // namespace

bool Scan_PrefixFromProgram(const char* argv0, std::string* prefix) {
  const char* cut = std::strrchr(argv0, '_');
  if (!cut) return false;
  const char* start = argv0;
  for (const char* p = argv0; p < cut; ++p)
    if (*p == '/' || *p == '\\') start = p + 1;
  prefix->assign(start, size_t(cut - start));
  return true;
}

int Scan_OnSignal(int code) {
  ScanState& st = Scan_State();
  switch (code) {
    case 31: st.running = 0; break;
    case 300: st.scanCount = st.scanCount + 1; break;
    case 302: st.reconfigure = 1; break;
    case 303: st.resetCounters = 1; break;
    case 304: st.initValues = 1; break;
    default: break;
  }
  return 0;
}

int Scan_InitDevice(int code) {
  ScanState& st = Scan_State();
  Scan_MarkBusy();
  for (;;) {
    Scan_ResetChannelStates(code);
    int rc = -1;
    if (Com_Open(st.device) && st.running) {
      BindAiPath(st);
      rc = 0;
      for (int path = 0; path < kScanPathCount && st.running; ++path) {
        ScanPath& p = st.paths[path];
        if (!p.module) continue;
        if (kPathInitHandlers[path](&st.device->Config, p.count, p.channels) == -1) {
          rc = -1;
          break;
        }
      }
      if (rc == 0 && st.running) {
        // Cleared before the first scan, so that a block failure in it stays
        // visible.
        SysErr_ClearText();
        rc = Scan_ScanAll(1);
      }
    }
    if (rc == 0 || !st.running) break;
    code = errno;
    SysErr_SetText("CAN'T INITIALISE DEVICE -%04d", code & 0xfff);
    WaitRetry(st);
    if (!st.running) break;
    // A configuration repaired meanwhile is taken before the next try; one
    // that cannot be read stops the process, as in the main loop.
    if (TakeReconfigure(st)) Scan_ReloadOrExit();
  }
  Scan_AfterInitHook();
  Scan_MarkReady();
  return 1;
}

std::string Scan_TimeZoneText(const char* standardName, int32_t biasMinutes, const char* daylightName) {
  std::string tz = "TZ=";
  tz += standardName ? standardName : "";
  if (biasMinutes != 0) {
    int32_t b = biasMinutes < 0 ? -biasMinutes : biasMinutes;
    char buf[40];
    std::snprintf(buf, sizeof buf, "%s%d:%d:%d", biasMinutes < 0 ? "-" : "", b / 60, b % 60, 0);
    tz += buf;
  }
  if (daylightName && *daylightName) tz += daylightName;
  return tz;
}

// The runtime here already follows the system's zone (its zone file, with
// the full daylight rules). The zone text is applied only when the zone has
// no daylight saving, where it is exact; a text with a daylight name but no
// rules would shift local stamps on the wrong dates.
void SetTimeZoneFromSystem() {
  tzset();
  if (daylight) return;
  std::string tz = Scan_TimeZoneText(tzname[0], int32_t(timezone / 60), nullptr);
  setenv("TZ", tz.c_str() + 3, 1);
  tzset();
}

bool Scan_SaveDue(const TimeStamp& now, TimeStamp* next, int32_t periodMs) {
  int64_t d = Time_DiffUs64(now, *next) / 1000;
  int64_t period = periodMs;
  if (-period <= d && d <= 0) return false;
  if (d < -period || d > 2 * period) {
    *next = *Time_NextPeriodBoundary(&now, &now, periodMs);
  } else {
    while (period > 0 && Time_Compare(*next, now) <= 0) Time_AddMs(next, periodMs);
  }
  return true;
}

const TimeStamp* Time_NextPeriodBoundary(const TimeStamp* t, const TimeStamp* base, int periodMs) {
  static TimeStamp result;
  if (periodMs <= 0) return t;
  int64_t since = int64_t(t->seconds - base->seconds) * 1000 + (t->milliseconds - base->milliseconds);
  int64_t q = since / periodMs;
  if (since % periodMs != 0 && since < 0) --q;  // floor
  int64_t total = int64_t(base->seconds) * 1000 + base->milliseconds + (q + 1) * periodMs;
  int64_t secs = total / 1000, ms = total % 1000;
  if (ms < 0) ms += 1000, --secs;
  result.seconds = int32_t(secs);
  result.milliseconds = int16_t(ms);
  result.microseconds = 0;
  return &result;
}

int Scan_Main(int argc, char** argv) {
  ScanState& st = Scan_State();
  const bool raised = RaisePriority();
  errno = 0;
  Sig_InstallHandler(Scan_OnSignal);
  if (errno != 0) return errno;  // no receiver: nothing could ever stop us
  InstallTerminationHandlers();
  std::string prefix;
  if (argc < 1 || !Scan_PrefixFromProgram(argv[0], &prefix)) return 0;
  if (argc != 2) return 0;
  int number = int(std::strtol(argv[1], nullptr, 10));
  if ((number & 0xffff) == 0) return 0;
  std::snprintf(st.prefix, sizeof st.prefix, "%.8s", prefix.c_str());
  st.deviceNumber = number & 0xffff;
  st.device = FindDeviceRecord(prefix, st.deviceNumber);
  if (!st.device) return 0;

  char deviceName[13] = {};
  std::memcpy(deviceName, st.device->DeviceName, 12);
  char processName[26] = {};
  std::memcpy(processName, st.device->ProcessName, 25);
  Dbg_CreateTrace(deviceName);
  Dbg_Log(raised ? "real-time priority asked for (kept as the system permits)\n"
                 : "real-time priority refused: running at the priority given\n");
  // Registered first, so that a failure of the directory steps is seen.
  SysErr_Register(kSysErrTypeScanner, processName);

  const char* configDir = Dir_Resolve("CDX_CURRENT_CONFIG");
  if (!configDir) {
    int e = errno ? errno : int(plat::kErrPathNotFound);
    SysErr_SetText("CAN'T GET CONFIG DIR -%04d", e & 0xfff);
    Scan_Exit(e);
  }
  if (::chdir(configDir) != 0 || ::chdir(deviceName) != 0) {
    int e = int(plat::FailErrno(errno));
    SysErr_SetText("CAN'T ACCESS CONFIG DIR -%04d", e & 0xfff);
    Scan_Exit(e);
  }

  st.device->Running = 1;
  st.device->ScannerPid = uint32_t(plat::GetPid());
  SetTimeZoneFromSystem();
  // After the running mark, which the diagnostics' STATUS shows.
  if (const char* diag = Diag_NameOf(st.device)) {
    char name[2] = {diag[0], diag[1]};
    Diag_Open(st.device, name);
  }

  if (Scan_LoadConfiguration() == -1) Scan_Exit(errno);
  st.device->ConfigLoaded = 1;
  Scan_InitDevice(0);
  return MainLoop(st);
}
