// Signal latency: from the send on a mailslot writer to the handler call on
// the reader thread (mailslot socket, drain thread, delivery handshake).
#include <algorithm>
#include <atomic>
#include <benchmark/benchmark.h>
#include <cstdint>
#include <unistd.h>
#include <vector>

#include "cdxlib/shm/signals.h"
#include "platform/mailslot.h"
#include "platform/sync.h"

namespace {

std::atomic<int64_t> g_latencyUs{-1};

// The code carries the send time (microseconds, 31 bits).
int OnCode(int code) {
  int64_t now = plat::MonotonicUs() & 0x7FFFFFFF;
  int64_t sent = code & 0x7FFFFFFF;
  g_latencyUs = (now - sent + 0x80000000LL) & 0x7FFFFFFF;
  return 0;
}

void BM_SignalLatency(benchmark::State& state) {
  Sig_InstallHandler(OnCode);
  auto writer = plat::MailslotWriter::Open(Sig_MailslotPath(Sig_MailslotName(getpid())));
  std::vector<int64_t> samples;
  for (auto _ : state) {
    g_latencyUs = -1;
    int32_t code = static_cast<int32_t>(plat::MonotonicUs() & 0x7FFFFFFF);
    writer->Write(&code, 4);
    while (g_latencyUs.load() < 0) Sig_Wait(1000);
    samples.push_back(g_latencyUs.load());
  }
  std::sort(samples.begin(), samples.end());
  if (!samples.empty()) {
    state.counters["median_us"] = static_cast<double>(samples[samples.size() / 2]);
    state.counters["p99_us"] = static_cast<double>(samples[samples.size() * 99 / 100]);
  }
  writer.reset();
  Sig_RemoveHandler();
}
BENCHMARK(BM_SignalLatency)->Iterations(20000)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
