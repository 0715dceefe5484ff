// ipcpeer: the other process in tests and benchmarks of signals and data
// modules. Each command does one small job and reports through its exit code.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cdxlib/shm/datamodule.h"
#include "cdxlib/shm/signals.h"
#include "platform/sync.h"

namespace {

std::atomic<int> g_stop{0};
std::atomic<int> g_wanted{0};
std::atomic<int> g_got{0};

int OnSignal(int code) {
  if (code == static_cast<int>(kSigStop)) g_stop = 1;
  if (code == g_wanted) ++g_got;
  return 0;
}

int Usage() {
  std::fprintf(stderr,
               "usage: ipcpeer send PID FIRST COUNT        send codes FIRST.. in order\n"
               "       ipcpeer until-stop                  receive until code 31\n"
               "       ipcpeer subscribe MODULE CODE MS    subscribe, count CODE, then MS quiet\n"
               "       ipcpeer pingpong MODULE CYCLES      wait slot 2, notify slot 1\n"
               "       ipcpeer echo                        answer every code c with c to its sender\n"
               "       ipcpeer create-loop COUNT SIZE      create modules dm_c0.. of SIZE bytes\n");
  return 2;
}

int Send(int32_t pid, long first, long count) {
  for (long i = 0; i < count; ++i)
    if (Sig_Send(pid, static_cast<SignalCode>(first + i)) != 0) return 1;
  return 0;
}

int UntilStop() {
  Sig_InstallHandler(OnSignal);
  for (;;) {
    Sig_HoldDelivery(1);
    if (g_stop) break;
    Sig_Wait(0);
  }
  Sig_RemoveHandler();
  return 0;
}

int Subscribe(const char* module, int code, int quietMs) {
  Sig_InstallHandler(OnSignal);
  g_wanted = code;
  DataModule* m = DM_Open(module);
  if (!DM_IsView(m) || DM_Subscribe(m, code) != 0) return 100;
  const int64_t limit = plat::MonotonicMs() + 20000;
  while (g_got == 0 && plat::MonotonicMs() < limit) Sig_Wait(50);
  const int64_t quietEnd = plat::MonotonicMs() + quietMs;
  while (plat::MonotonicMs() < quietEnd) Sig_Wait(static_cast<int>(quietEnd - plat::MonotonicMs()) + 1);
  Sig_RemoveHandler();
  return g_got;
}

int PingPong(const char* module, long cycles) {
  Sig_InstallHandler(OnSignal);
  DataModule* m = DM_Open(module);
  if (!DM_IsView(m)) return 100;
  if (DM_ClaimEventSlot(m, 2) < 0) return 101;
  for (long i = 0; i < cycles; ++i) {
    if (DM_WaitEvent(m, 2) != 0) return 102;
    if (DM_Notify(m, 1) != 0) return 103;
  }
  Sig_RemoveHandler();
  return 0;
}

// Echo: every code c received from the mailslot goes back to pid (c >> 12)
// ... kept simple: the benchmark sends its pid first, then codes.
std::atomic<int32_t> g_echoTo{0};
int OnEcho(int code) {
  if (code == static_cast<int>(kSigStop)) {
    g_stop = 1;
    return 0;
  }
  if (g_echoTo == 0) {
    g_echoTo = code;
    return 0;
  }
  Sig_Send(g_echoTo, static_cast<SignalCode>(code));
  return 0;
}

int Echo() {
  Sig_InstallHandler(OnEcho);
  while (!g_stop) Sig_Wait(100);
  Sig_RemoveHandler();
  return 0;
}

int CreateLoop(long count, long size) {
  for (long i = 0; i < count; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "dm_c%ld", i);
    if (!DM_IsView(DM_Create(name, static_cast<uint32_t>(size)))) return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  const std::string cmd = argv[1];
  if (cmd == "send" && argc == 5) return Send(std::atoi(argv[2]), std::atol(argv[3]), std::atol(argv[4]));
  if (cmd == "until-stop" && argc == 2) return UntilStop();
  if (cmd == "subscribe" && argc == 5) return Subscribe(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
  if (cmd == "pingpong" && argc == 4) return PingPong(argv[2], std::atol(argv[3]));
  if (cmd == "echo" && argc == 2) return Echo();
  if (cmd == "create-loop" && argc == 4) return CreateLoop(std::atol(argv[2]), std::atol(argv[3]));
  return Usage();
}
