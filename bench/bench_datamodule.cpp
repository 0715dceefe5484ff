// Module lock cost, uncontended, and the wait/notify hand-off between two
// processes (one cycle = notify the peer, wait for its notification).
#include <atomic>
#include <benchmark/benchmark.h>
#include <csignal>
#include <linux/futex.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <cstdlib>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "bench/bench_anchor.h"
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

// A minimal futex lock: 0 free, 1 held, 2 held with waiters.
struct RawFutex {
  std::atomic<int> word{0};
  void Lock() {
    int c = 0;
    if (word.compare_exchange_strong(c, 1, std::memory_order_acquire)) return;
    if (c != 2) c = word.exchange(2, std::memory_order_acquire);
    while (c != 0) {
      syscall(SYS_futex, &word, FUTEX_WAIT, 2, nullptr, nullptr, 0);
      c = word.exchange(2, std::memory_order_acquire);
    }
  }
  void Unlock() {
    if (word.exchange(0, std::memory_order_release) == 2)
      syscall(SYS_futex, &word, FUTEX_WAKE, 1, nullptr, nullptr, 0);
  }
};

// DM_Lock + DM_Unlock, uncontended, against a raw futex and a robust
// process-shared pthread mutex in shared memory.
void BM_LockAgainstAnchors(benchmark::State& state) {
  UseOwnRoot();
  DataModule* m = DM_Create("dm_anchor", 1024);
  void* shared = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  auto* futex = new (shared) RawFutex;
  auto* robust = reinterpret_cast<pthread_mutex_t*>(static_cast<char*>(shared) + 64);
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  pthread_mutex_init(robust, &attr);
  pthread_mutexattr_destroy(&attr);
  qdbench::RunInterleaved(state,
                          {{"dm_lock",
                            [m](int n) {
                              for (int i = 0; i < n; ++i) {
                                DM_Lock(m);
                                DM_Unlock(m);
                              }
                            }},
                           {"futex",
                            [futex](int n) {
                              for (int i = 0; i < n; ++i) {
                                futex->Lock();
                                benchmark::ClobberMemory();
                                futex->Unlock();
                              }
                            }},
                           {"robust",
                            [robust](int n) {
                              for (int i = 0; i < n; ++i) {
                                pthread_mutex_lock(robust);
                                benchmark::ClobberMemory();
                                pthread_mutex_unlock(robust);
                              }
                            }}},
                          1000);
  pthread_mutex_destroy(robust);
  munmap(shared, 4096);
}
BENCHMARK(BM_LockAgainstAnchors)->Repetitions(5)->ReportAggregatesOnly(true);

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
