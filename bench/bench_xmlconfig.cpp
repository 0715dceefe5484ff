// Channel files in XML against the binary files: loading and saving a
// 1,000-channel analog input file, merging one channel into it, the XML
// load of 100, 1,000 and 10,000 channels beside a plain libxml2 parse of
// the same file (time and peak memory), and the load of a file whose
// channels come in reverse order.
//
// Counters of BM_LoadXml: "x_parse" is the load's CPU time over that of a
// plain parse of the same file, both measured in turns within the run (so
// a busy machine slows both alike); "doc_MB" the heap a plain parse keeps
// for the document, "peak_MB" the heap the load holds at its highest,
// "peak_x_doc" their ratio.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <malloc.h>
#include <map>
#include <string>
#include <vector>

#include <libxml/parser.h>

#include "bench/bench_tempdir.h"
#include "cdxlib/config/xmlconfig.h"
#include "cdxlib/config/configfiles.h"

// ---------------------------------------------------------------- heap accounting
// The program's heap in use and its peak, counted by wrapping the C
// allocator (libxml2 allocates through it). Not under a sanitizer, which
// brings its own allocator.
#if !defined(__SANITIZE_ADDRESS__)
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void __libc_free(void*);
void* __libc_memalign(size_t, size_t);
}
namespace {
std::atomic<long> g_live{0}, g_peak{0};
void Count(long delta) {
  const long now = g_live.fetch_add(delta, std::memory_order_relaxed) + delta;
  long peak = g_peak.load(std::memory_order_relaxed);
  while (now > peak && !g_peak.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
  }
}
void* Counted(void* p) {
  if (p) Count(static_cast<long>(malloc_usable_size(p)));
  return p;
}
}  // namespace
extern "C" {
void* malloc(size_t n) { return Counted(__libc_malloc(n)); }
void* calloc(size_t n, size_t m) { return Counted(__libc_calloc(n, m)); }
void* realloc(void* p, size_t n) {
  const long old = p ? static_cast<long>(malloc_usable_size(p)) : 0;
  void* q = __libc_realloc(p, n);
  if (q || n == 0) Count(-old);
  return Counted(q);
}
void free(void* p) {
  if (p) Count(-static_cast<long>(malloc_usable_size(p)));
  __libc_free(p);
}
void* memalign(size_t a, size_t n) { return Counted(__libc_memalign(a, n)); }
void* aligned_alloc(size_t a, size_t n) { return Counted(__libc_memalign(a, n)); }
int posix_memalign(void** out, size_t a, size_t n) {
  void* p = Counted(__libc_memalign(a, n));
  if (!p) return ENOMEM;
  *out = p;
  return 0;
}
}
constexpr bool kHeapCounted = true;
#else
namespace {
std::atomic<long> g_live{0}, g_peak{0};
}
constexpr bool kHeapCounted = false;
#endif

namespace {

constexpr int kChannels = 1000;

std::vector<ChannelConfig> Records(int n = kChannels) {
  std::vector<ChannelConfig> v(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    ChannelConfig& c = v[size_t(i)];
    memset(&c, 0, sizeof c);
    c.Type = kKindAI;
    Chan_SetTag(&c, ("LEVEL" + std::to_string(i)).c_str());
    Chan_SetDescription(&c, ("Tank level & <flow> " + std::to_string(i)).c_str());
    Chan_SetUnits(&c, "m3/h");
    Chan_SetFlag(&c, kAiEnable, true);
    Chan_SetFlag(&c, kAiScalingEnable, true);
    Chan_SetFlag(&c, kAiHighAlarmEnable, true);
    c.analog.Gain = 1.5f + float(i);
    c.analog.Offset = -2.25f;
    c.analog.HighAlarmLimit = 95.0f;
    c.analog.MaximumUnits = 100;
    c.analog.HighAlarmPriority = 5;
    strcpy(c.analog.HighAlarmText, "HIGH LEVEL");
    c.analog.Hardware[0] = uint8_t(1 + i % 4);
    c.analog.Hardware[2] = uint8_t(i);
  }
  return v;
}

const std::string& Base() {
  static const std::string base = [] {
    char tmpl[] = "/tmp/bench_xmlconfig_XXXXXX";
    setenv("CDXPLAT_EVENTLOG", "file", 1);
    return RemoveAtExit(mkdtemp(tmpl)) + "/CURRENT_CONFIG";
  }();
  return base;
}

// A device directory of its own (no extension library: the default
// hardware field) holding n channels in XML and binary, created once.
const std::string& Dir(int n = kChannels) {
  static std::map<int, std::string> dirs;
  auto it = dirs.find(n);
  if (it != dirs.end()) return it->second;
  const std::string d = Base() + "/bench_" + std::to_string(n);
  std::filesystem::create_directories(d);
  const std::vector<ChannelConfig> r = Records(n);
  Cfg_WriteChannelsXml(nullptr, d.c_str(), kKindAI, r.data(), 0, n, nullptr, 0, 0);
  Cfg_SaveChannels(nullptr, d.c_str(), kKindAI, r.data(), 0, n, nullptr, 0, nullptr);
  return dirs[n] = d;
}

double CpuSeconds() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

bool PlainParse(const std::string& path) {
  xmlDocPtr doc = xmlReadFile(path.c_str(), nullptr, 0);
  if (!doc) return false;
  xmlFreeDoc(doc);
  return true;
}

// A plain libxml2 parse of the XML file, for comparison.
void BM_PlainParse(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const std::string path = Dir(n) + "/ai.xml";
  for (auto _ : state)
    if (!PlainParse(path)) state.SkipWithError("parse failed");
}
BENCHMARK(BM_PlainParse)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

void BM_LoadXml(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const std::string dir = Dir(n), path = dir + "/ai.xml";
  std::vector<ChannelConfig> out(static_cast<size_t>(n));
  auto load = [&] { return Cfg_LoadChannelsXml(dir.c_str(), kKindAI, out.data(), 0, n, nullptr, 0) == 0; };
  for (auto _ : state)
    if (!load()) state.SkipWithError("load failed");

  // The load against a plain parse, in turns.
  const int turns = n >= 10000 ? 3 : 10;
  double loadCpu = 0, parseCpu = 0;
  for (int i = 0; i < turns; ++i) {
    double t = CpuSeconds();
    PlainParse(path);
    parseCpu += CpuSeconds() - t;
    t = CpuSeconds();
    load();
    loadCpu += CpuSeconds() - t;
  }
  state.counters["x_parse"] = loadCpu / parseCpu;

  if (kHeapCounted) {
    long base = g_live.load();
    xmlDocPtr doc = xmlReadFile(path.c_str(), nullptr, 0);
    const long docBytes = g_live.load() - base;
    xmlFreeDoc(doc);
    base = g_live.load();
    g_peak.store(base);
    load();
    const long peak = g_peak.load() - base;
    state.counters["doc_MB"] = double(docBytes) / 1e6;
    state.counters["peak_MB"] = double(peak) / 1e6;
    state.counters["peak_x_doc"] = double(peak) / double(docBytes);
  }
}
BENCHMARK(BM_LoadXml)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

// The same channels in reverse order, the load's hardest: each channel
// comes before the ones ahead of it and is kept until their turn, so the
// load holds nearly all of them (time and peak memory against the load of
// the file in order).
const std::string& ReversedDir(int n) {
  static std::map<int, std::string> dirs;
  auto it = dirs.find(n);
  if (it != dirs.end()) return it->second;
  const std::string d = Base() + "/reversed_" + std::to_string(n);
  std::filesystem::create_directories(d);
  std::string text;
  {
    FILE* f = fopen((Dir(n) + "/ai.xml").c_str(), "rb");
    char buf[65536];
    for (size_t got; f && (got = fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, got);
    if (f) fclose(f);
  }
  const std::string mark = "\t<Channel id=";
  const size_t start = text.find(mark), end = text.rfind("</Channels>");
  std::vector<std::string> channels;
  for (size_t at = start; at != std::string::npos && at < end;) {
    const size_t next = text.find(mark, at + 1);
    channels.push_back(text.substr(at, (next == std::string::npos ? end : next) - at));
    at = next;
  }
  std::string reversed = text.substr(0, start);
  for (auto c = channels.rbegin(); c != channels.rend(); ++c) reversed += *c;
  reversed += text.substr(end);
  FILE* f = fopen((d + "/ai.xml").c_str(), "wb");
  if (f) {
    fwrite(reversed.data(), 1, reversed.size(), f);
    fclose(f);
  }
  return dirs[n] = d;
}

void BM_LoadXmlReversed(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const std::string dir = ReversedDir(n), inOrder = Dir(n);
  std::vector<ChannelConfig> out(static_cast<size_t>(n));
  auto load = [&](const std::string& d) {
    return Cfg_LoadChannelsXml(d.c_str(), kKindAI, out.data(), 0, n, nullptr, 0) == 0;
  };
  for (auto _ : state)
    if (!load(dir)) state.SkipWithError("load failed");
  double reversedCpu = 0, inOrderCpu = 0;
  for (int i = 0; i < 10; ++i) {
    double t = CpuSeconds();
    load(inOrder);
    inOrderCpu += CpuSeconds() - t;
    t = CpuSeconds();
    load(dir);
    reversedCpu += CpuSeconds() - t;
  }
  state.counters["x_in_order"] = reversedCpu / inOrderCpu;
  if (kHeapCounted) {
    long base = g_live.load();
    xmlDocPtr doc = xmlReadFile((dir + "/ai.xml").c_str(), nullptr, 0);
    const long docBytes = g_live.load() - base;
    xmlFreeDoc(doc);
    base = g_live.load();
    g_peak.store(base);
    load(dir);
    state.counters["peak_x_doc"] = double(g_peak.load() - base) / double(docBytes);
  }
}
BENCHMARK(BM_LoadXmlReversed)->Arg(1000)->Unit(benchmark::kMillisecond);

void BM_LoadBinary(benchmark::State& state) {
  std::vector<ChannelConfig> out(kChannels);
  for (auto _ : state)
    if (Cfg_LoadChannels(Dir().c_str(), kKindAI, out.data(), 0, kChannels, nullptr, 0, nullptr) != 0)
      state.SkipWithError("load failed");
}
BENCHMARK(BM_LoadBinary)->Unit(benchmark::kMillisecond);

// A whole file written anew (with its schema).
void BM_SaveXml(benchmark::State& state) {
  const std::vector<ChannelConfig> r = Records();
  for (auto _ : state)
    if (Cfg_WriteChannelsXml(nullptr, Dir().c_str(), kKindAI, r.data(), 0, kChannels, nullptr, 0, 0) != 0)
      state.SkipWithError("save failed");
}
BENCHMARK(BM_SaveXml)->Unit(benchmark::kMillisecond);

void BM_SaveBinary(benchmark::State& state) {
  const std::vector<ChannelConfig> r = Records();
  for (auto _ : state)
    if (Cfg_SaveChannels(nullptr, Dir().c_str(), kKindAI, r.data(), 0, kChannels, nullptr, 0, nullptr) != 0)
      state.SkipWithError("save failed");
}
BENCHMARK(BM_SaveBinary)->Unit(benchmark::kMillisecond);

// One channel merged into the 1,000-channel file.
void BM_MergeOneXml(benchmark::State& state) {
  const std::vector<ChannelConfig> r = Records();
  for (auto _ : state)
    if (Cfg_WriteChannelsXml(nullptr, Dir().c_str(), kKindAI, &r[500], 500, 1, nullptr, 0, 1) != 0)
      state.SkipWithError("save failed");
}
BENCHMARK(BM_MergeOneXml)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
