// Channel files in XML against the binary files: loading and saving a
// 1,000-channel analog input file, and merging one channel into it.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/bench_tempdir.h"
#include "cdxlib/config/xmlconfig.h"
#include "cdxlib/configfiles.h"

namespace {

constexpr int kChannels = 1000;

std::vector<ChannelConfig> Records() {
  std::vector<ChannelConfig> v(kChannels);
  for (int i = 0; i < kChannels; ++i) {
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

// A device directory of its own (no extension library: the default
// hardware field), created once.
const std::string& Dir() {
  static const std::string dir = [] {
    char tmpl[] = "/tmp/bench_xmlconfig_XXXXXX";
    const std::string d = RemoveAtExit(mkdtemp(tmpl)) + "/CURRENT_CONFIG/bench_1";
    std::filesystem::create_directories(d);
    setenv("CDXPLAT_EVENTLOG", "file", 1);
    const std::vector<ChannelConfig> r = Records();
    Cfg_WriteChannelsXml(nullptr, d.c_str(), kKindAI, r.data(), 0, kChannels, nullptr, 0, 0);
    Cfg_SaveChannels(nullptr, d.c_str(), kKindAI, r.data(), 0, kChannels, nullptr, 0, nullptr);
    return d;
  }();
  return dir;
}

void BM_LoadXml(benchmark::State& state) {
  std::vector<ChannelConfig> out(kChannels);
  for (auto _ : state)
    if (Cfg_LoadChannelsXml(Dir().c_str(), kKindAI, out.data(), 0, kChannels, nullptr, 0) != 0)
      state.SkipWithError("load failed");
}
BENCHMARK(BM_LoadXml)->Unit(benchmark::kMillisecond);

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
