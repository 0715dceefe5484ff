// Printing a device's configuration (a path of N analog channels into a PDF
// stream that goes nowhere), and the time-stamped series' background writer
// (queued writes per second and how many requests each write joins).
#include <cairo-pdf.h>
#include <cairo.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/bench_tempdir.h"
#include "cdxlib/records/tsfile.h"
#include "config_dialogs/hostrecord.h"
#include "config_dialogs/print/printengine.h"
#include "config_dialogs/print/qdprint.h"

namespace {

cairo_status_t Discard(void* closure, const unsigned char*, unsigned int length) {
  *static_cast<size_t*>(closure) += length;
  return CAIRO_STATUS_SUCCESS;
}

void BM_PrintPath(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  uint8_t host[0x100] = {};
  memcpy(host + kHostPathEntryOffset, "AI", 2);
  const uint16_t count = static_cast<uint16_t>(n);
  memcpy(host + kHostPathCountOffset, &count, 2);
  std::vector<ChannelConfig> channels(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    ChannelConfig& c = channels[static_cast<size_t>(i)];
    c.Type = kKindAI;
    Chan_SetTag(&c, ("FT" + std::to_string(i)).c_str());
    Chan_SetDescription(&c, "Flow");
    for (int f : {kAiEnable, kAiEventEnable, kAiLowAlarmEnable, kAiHighAlarmEnable, kAiSigChangeEnable})
      Chan_SetFlag(&c, f, true);
  }
  size_t bytes = 0;
  for (auto _ : state) {
    cairo_surface_t* s = cairo_pdf_surface_create_for_stream(Discard, &bytes, 842, 595);
    cairo_t* cr = cairo_create(s);
    QdPrintRequest q;
    q.dc = cr;
    q.hostRecord = host;
    q.channels = channels.data();
    if (QdPrint_Configuration(q) != 0) state.SkipWithError("print failed");
    cairo_destroy(cr);
    cairo_surface_finish(s);
    cairo_surface_destroy(s);
  }
  state.counters["channels/s"] = benchmark::Counter(static_cast<double>(n), benchmark::Counter::kIsIterationInvariantRate);
  state.counters["pdf_bytes"] = static_cast<double>(bytes) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_PrintPath)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

void BM_TsWriter(benchmark::State& state) {
  const std::string dir = RemoveAtExit("/tmp/bench_tsfile_" + std::to_string(getpid()));
  TsFile_Open(nullptr, dir.c_str(), nullptr, ".dat", "b");
  TsFile_CreateCurrent(0);
  TsFile_StartWriter(256, 1 << 20, 1);
  char record[64] = {};
  uint64_t queued = 0;
  for (auto _ : state) {
    TsFile_QueueWrite(record, sizeof record, -1);
    ++queued;
  }
  TsFile_FlushWriter();
  const uint64_t writes = TsFile_WriterWriteCount();
  TsFile_StopWriter();
  TsFile_Close(nullptr, nullptr, 0);
  rmdir(dir.c_str());
  state.counters["requests/write"] = writes ? static_cast<double>(queued) / static_cast<double>(writes) : 0;
  state.SetBytesProcessed(static_cast<int64_t>(queued * sizeof record));
}
BENCHMARK(BM_TsWriter);

}  // namespace

BENCHMARK_MAIN();
