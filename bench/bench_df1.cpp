// DF1 block reads against df1sim on a pty with wire pacing: per-block
// overhead over the wire time, and time-out accuracy under a signal flood.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "cdxlib/shm/signals.h"
#include "platform/process.h"
#include "platform/sync.h"
#include "scanner/df1link.h"
#include "scanner/df1plan.h"
#include "scanner/df1read.h"
#include "tools/df1sim/df1sim.h"

namespace {

ChannelConfig Analog(int node, int wordDigits) {
  ChannelConfig c;
  std::memset(&c, 0, sizeof c);
  c.Flags[0] = 1;
  uint8_t* raw = reinterpret_cast<uint8_t*>(&c);
  raw[188] = static_cast<uint8_t>(node);
  const uint16_t w = static_cast<uint16_t>(wordDigits);
  std::memcpy(raw + 190, &w, 2);
  return c;
}

// Octal digits of a word address.
int Digits(int word) {
  int d = 0, m = 1;
  while (word) {
    d += (word % 8) * m;
    word /= 8;
    m *= 10;
  }
  return d;
}

// args: baud, blocks. Each block is one word (2 bytes) 100 bytes apart.
void BM_BlockOverhead(benchmark::State& state) {
  const int baud = static_cast<int>(state.range(0));
  const int blocks = static_cast<int>(state.range(1));
  df1sim::Simulator sim;
  if (sim.Start() != 0) return state.SkipWithError("no pty");
  sim.SetBaud(baud);
  Df1_SetTimeouts({});
  if (!Com_OpenPath(sim.SlavePath().c_str(), "19200,n,8,1")) return state.SkipWithError("open");
  std::vector<ChannelConfig> ch;
  for (int i = 0; i < blocks; ++i) ch.push_back(Analog(1 + i / 100, Digits((i % 100) * 50)));
  Df1_PlanBlocks(nullptr, blocks, ch.data());
  std::vector<uint32_t> st(ch.size());
  std::vector<float> v(ch.size());
  // Wire time of one block: 29 + size bytes at 10 bits each (no stuffing:
  // the addresses and data here hold no 0x10 except by chance of the TNS).
  const double wireUs = (29.0 + 2) * 10.0 * 1e6 / baud;
  double overheadUs = 0;
  int64_t scans = 0;
  for (auto _ : state) {
    const int64_t t0 = plat::MonotonicUs();
    Df1_ReadBlocks(Com_Port(), nullptr, blocks, ch.data(), st.data(), v.data());
    const int64_t took = plat::MonotonicUs() - t0;
    overheadUs += static_cast<double>(took) / blocks - wireUs;
    ++scans;
  }
  state.counters["wire_us_per_block"] = wireUs;
  state.counters["overhead_us_per_block"] = overheadUs / static_cast<double>(scans);
  Com_Close();
  sim.Stop();
}
BENCHMARK(BM_BlockOverhead)
    ->Args({19200, 1})
    ->Args({19200, 9})
    ->Args({19200, 100})
    ->Args({115200, 1})
    ->Args({115200, 9})
    ->Args({115200, 100})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

// A 50 ms wait for input that never comes while 1,000 unrelated signals a
// second arrive: how far the wait ends from its nominal time.
void BM_TimeoutUnderSignals(benchmark::State& state) {
  df1sim::Simulator sim;
  if (sim.Start() != 0) return state.SkipWithError("no pty");
  ComPort port = Com_OpenPath(sim.SlavePath().c_str(), "19200,n,8,1");
  if (!port) return state.SkipWithError("open");
  Sig_InstallHandler([](int) { return 0; });
  std::atomic<bool> stop{false};
  const int32_t self = plat::GetPid();
  std::thread flood([&] {
    while (!stop) {
      Sig_Send(self, 999);
      plat::SleepMs(1);
    }
  });
  double errUs = 0, worstUs = 0;
  int64_t n = 0;
  for (auto _ : state) {
    const int64_t t0 = plat::MonotonicUs();
    Com_WaitInput(port, 50);
    const double e = static_cast<double>(plat::MonotonicUs() - t0) - 50000.0;
    errUs += e;
    if (e > worstUs) worstUs = e;
    ++n;
  }
  stop = true;
  flood.join();
  Sig_RemoveHandler();
  state.counters["mean_late_us"] = errUs / static_cast<double>(n);
  state.counters["worst_late_us"] = worstUs;
  Com_Close();
  sim.Stop();
}
BENCHMARK(BM_TimeoutUnderSignals)->Unit(benchmark::kMillisecond)->Iterations(40);

}  // namespace

BENCHMARK_MAIN();
