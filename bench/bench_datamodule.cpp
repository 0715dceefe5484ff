// Module lock cost, uncontended, and the wait/notify hand-off between two
// processes (one cycle = notify the peer, wait for its notification).
#include <benchmark/benchmark.h>
#include <csignal>
#include <cstdlib>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "bench/bench_tempdir.h"
#include "cdxlib/shm/datamodule.h"
#include "cdxlib/shm/signals.h"
#include "platform/root.h"
#include "platform/sync.h"

extern char** environ;

namespace {

void UseOwnRoot() {
  static bool done = false;
  if (done) return;
  done = true;
  const std::string root = RemoveAtExit("/dev/shm/cdxbench-" + std::to_string(getpid()));
  setenv("CDXPLAT_ROOT", root.c_str(), 1);
  plat::ResetInstance();
}

void BM_LockUnlock(benchmark::State& state) {
  UseOwnRoot();
  DataModule* m = DM_Create("dm_bench", 1024);
  for (auto _ : state) {
    DM_Lock(m);
    DM_Unlock(m);
  }
}
BENCHMARK(BM_LockUnlock);

void BM_HandOffBetweenProcesses(benchmark::State& state) {
  UseOwnRoot();
  Sig_InstallHandler([](int) { return 0; });
  DataModule* m = DM_Create("dm_handoff", 4);
  DM_ClaimEventSlot(m, 0);
  DM_ClaimEventSlot(m, 1);
  const std::string cycles = std::to_string(state.max_iterations);
  std::string peerPath = std::string(CDX_BIN_DIR) + "/ipcpeer";
  const char* argv[] = {peerPath.c_str(), "pingpong", "dm_handoff", cycles.c_str(), nullptr};
  pid_t peer = -1;
  posix_spawn(&peer, argv[0], nullptr, nullptr, const_cast<char**>(argv), environ);
  EventSlot s{};
  while (!(DM_ReadEventSlot(m, false, 2, &s) == 0 && s.pid == peer)) plat::SleepMs(1);
  for (auto _ : state) {
    DM_Notify(m, 2);
    DM_WaitEvent(m, 1);
  }
  int status;
  waitpid(peer, &status, 0);
  Sig_RemoveHandler();
}
BENCHMARK(BM_HandOffBetweenProcesses)->Iterations(20000)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
