// A burst of 1,000 messages to a mailslot whose reader is busy: every
// message arrives, and the longest single write is reported.
#include <algorithm>
#include <benchmark/benchmark.h>
#include <cstdint>

#include "platform/mailslot.h"
#include "platform/sync.h"

namespace {

void BM_BurstWhileReaderBusy(benchmark::State& state) {
  auto reader = plat::MailslotReader::Create("\\\\.\\mailslot\\bench_burst", 0);
  auto writer = plat::MailslotWriter::Open("\\\\.\\mailslot\\bench_burst");
  const int burst = 1000;
  int64_t longestUs = 0;
  int lost = 0;
  for (auto _ : state) {
    for (int i = 0; i < burst; ++i) {
      char msg[32] = {};
      int64_t start = plat::MonotonicUs();
      if (writer->Write(msg, sizeof msg) != static_cast<int>(sizeof msg)) ++lost;
      longestUs = std::max(longestUs, plat::MonotonicUs() - start);
    }
    // Only now does the reader look: everything must be queued.
    char buf[64];
    int got = 0;
    while (got < burst && reader->Read(buf, sizeof buf, 5000) >= 0) ++got;
    lost += burst - got;
  }
  state.counters["longest_write_us"] = static_cast<double>(longestUs);
  state.counters["lost"] = lost;
}
BENCHMARK(BM_BurstWhileReaderBusy)->Iterations(50)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
