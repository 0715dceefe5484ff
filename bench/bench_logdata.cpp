// Logged data in files: appending records against raw write() of the same
// bytes with the same durability (O_DSYNC), in turn, and reading a
// 1,000,000-record log. The log lies in LOGDATA_BENCH_DIR (default /tmp, a real disk where
// /tmp is one; /dev/shm gives tmpfs figures).
// g++ 12 at -O2 warns falsely (-Wrestrict) on string concatenations.
#pragma GCC diagnostic ignored "-Wrestrict"
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/bench_tempdir.h"
#include "cdxlib/client/srvclient.h"
#include "logdata/localsource.h"
#include "logdata/logfilecollection.h"
#include "logdata/logfilestore.h"

namespace {

std::string BenchDir() {
  const char* d = getenv("LOGDATA_BENCH_DIR");
  std::string base = d && *d ? d : "/tmp";
  std::string dir = base + "/bench_logdata_" + std::to_string(getpid());
  mkdir(dir.c_str(), 0777);
  return RemoveAtExit(dir);
}

LogHeader Header(int channels) {
  LogHeader h{};
  h.marker = kLogHeaderMarker;
  h.blockCount = 1;
  h.blocks[0].prefix[0] = 'A';
  h.blocks[0].prefix[1] = 'A';
  h.blocks[0].firstChannel = 1;
  h.blocks[0].lastChannel = static_cast<uint16_t>(channels);
  h.blocks[0].valueOffset = 18;
  h.recordLength = 18 + 8 * channels;
  h.headerLength = 900 + 216 * channels + 4;
  return h;
}

std::vector<uint8_t> Records(const LogHeader& h, int count) {
  std::vector<uint8_t> r(static_cast<size_t>(count) * h.recordLength, 0);
  for (int i = 0; i < count; ++i) {
    uint16_t m = kLogRecordMarker;
    memcpy(&r[static_cast<size_t>(i) * h.recordLength], &m, 2);
  }
  return r;
}

std::vector<ChannelConfig> Channels(int n) {
  std::vector<ChannelConfig> c(static_cast<size_t>(n));
  memset(c.data(), 0, c.size() * sizeof(ChannelConfig));
  return c;
}

// Appending records against pwrite of the same bytes on an O_DSYNC
// descriptor (the ceiling), the two taken in turn within each iteration so
// that both meet the same disk (a shared disk's speed drifts between runs).
// range(0): records per append; range(1): channels (record size 18 + 8n).
// Counters: records per second of each, and the store's share of the raw
// rate (1 = as fast as the raw write); the time shown is the store's.
void BM_AppendVsRawWrite(benchmark::State& state) {
  int batch = static_cast<int>(state.range(0));
  LogHeader h = Header(static_cast<int>(state.range(1)));
  const std::string dir = BenchDir();
  std::string path = dir + "/B240102_030405.odl";
  std::string raw = dir + "/raw.bin";
  unlink(path.c_str());
  auto ch = Channels(static_cast<int>(state.range(1)));
  ChannelConfig* ptrs[] = {ch.data()};
  CLogFileStore s;
  if (s.CreateLogFile(path.c_str(), &h, nullptr, ptrs) != 0) {
    state.SkipWithError("create failed");
    return;
  }
  int fd = open(raw.c_str(), O_CREAT | O_TRUNC | O_RDWR | O_DSYNC, 0666);
  std::vector<uint8_t> head(h.headerLength, 0);
  if (fd < 0 || write(fd, head.data(), head.size()) != static_cast<ssize_t>(head.size())) {
    state.SkipWithError("open failed");
    if (fd >= 0) close(fd);
    s.Close();
    unlink(path.c_str());
    return;
  }
  auto recs = Records(h, batch);
  off_t at = h.headerLength;
  double storeSeconds = 0, rawSeconds = 0;
  using Clock = std::chrono::steady_clock;
  for (auto _ : state) {
    auto t0 = Clock::now();
    if (s.AppendRecords(&h, recs.data(), batch) != 0) {
      state.SkipWithError("append failed");
      break;
    }
    auto t1 = Clock::now();
    if (pwrite(fd, recs.data(), recs.size(), at) != static_cast<ssize_t>(recs.size())) {
      state.SkipWithError("write failed");
      break;
    }
    auto t2 = Clock::now();
    at += static_cast<off_t>(recs.size());
    double store = std::chrono::duration<double>(t1 - t0).count();
    storeSeconds += store;
    rawSeconds += std::chrono::duration<double>(t2 - t1).count();
    state.SetIterationTime(store);
  }
  close(fd);
  unlink(raw.c_str());
  s.Close();
  unlink(path.c_str());
  const double records = double(state.iterations()) * batch;
  if (storeSeconds > 0 && rawSeconds > 0) {
    state.counters["store_per_s"] = records / storeSeconds;
    state.counters["raw_per_s"] = records / rawSeconds;
    state.counters["store_vs_raw"] = rawSeconds / storeSeconds;
  }
  state.SetItemsProcessed(state.iterations() * batch);
}

// Reading a log of 1,000,000 records of 8 channels, 1000 records a call.
void BM_ReadMillionRecords(benchmark::State& state) {
  LogHeader h = Header(8);
  std::string path = BenchDir() + "/R240102_030405.odl";
  unlink(path.c_str());
  auto ch = Channels(8);
  ChannelConfig* ptrs[] = {ch.data()};
  const int total = 1000000, chunk = 10000;
  {
    CLogFileStore w;
    if (w.CreateLogFile(path.c_str(), &h, nullptr, ptrs) != 0) {
      state.SkipWithError("create failed");
      return;
    }
    auto recs = Records(h, chunk);
    for (int i = 0; i < total; i += chunk) w.AppendRecords(&h, recs.data(), chunk);
    w.Close();
  }
  CLogFileStore r;
  r.Open(nullptr, path.c_str(), kGenericRead);
  LogHeader rh;
  r.ReadHeader(&rh);
  std::vector<uint8_t> buf(static_cast<size_t>(1000) * rh.recordLength);
  for (auto _ : state) {
    int n = 0;
    for (int i = 0; i < total; i += 1000) n += r.ReadLogs(i, &rh, buf.data(), 1000, 0, nullptr, nullptr);
    if (n != total) state.SkipWithError("short read");
    benchmark::DoNotOptimize(buf.data());
  }
  r.Close();
  unlink(path.c_str());
  state.SetItemsProcessed(state.iterations() * total);
}

// The in-process road: one "RV" request for every channel of a 1000-record
// log through the command client. range(0): channels; range(1): 1 closes
// the log after each request (every request opens and reads it anew).
void BM_LocalNewestValues(benchmark::State& state) {
  const int channels = static_cast<int>(state.range(0));
  Local_InstallTransport();
  Local_SetCloseAfterRequest(static_cast<int>(state.range(1)));
  static int run = 0;  // each run its own directory: a log name is never reused
  std::string dir = BenchDir() + "/RV" + std::to_string(channels) + "_" + std::to_string(++run);
  mkdir(dir.c_str(), 0777);
  LogHeader h = Header(channels);
  auto ch = Channels(channels);
  ChannelConfig* ptrs[] = {ch.data()};
  int32_t start = 1704164645;
  CLogFileCollection c;
  CLogStore* w = nullptr;
  if (c.Open(dir.c_str(), dir.c_str(), "", "", kGenericRead | kGenericWrite) != 0 ||
      !(w = c.CreateLog(&start, 0, 0, &h, nullptr, 0, nullptr, 0, ptrs))) {
    state.SkipWithError("create failed");
    return;
  }
  auto recs = Records(h, 1000);
  w->AppendRecords(&h, recs.data(), 1000);
  std::string request = "RV,AA";
  for (int i = 1; i <= channels; ++i) request += "," + std::to_string(i);
  std::vector<char> reply(32768);
  for (auto _ : state) {
    uint32_t n = static_cast<uint32_t>(reply.size());
    if (Srv_SendRequest(dir.c_str(), request.c_str(), reply.data(), &n) < 0) {
      state.SkipWithError("request failed");
      break;
    }
    benchmark::DoNotOptimize(reply.data());
  }
  Srv_CloseAll();
  Local_SetCloseAfterRequest(0);
  w->Close();
  w->Destroy(1);
  state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(BM_LocalNewestValues)->ArgsProduct({{8, 64, 512}, {0, 1}})->UseRealTime();
BENCHMARK(BM_AppendVsRawWrite)->ArgsProduct({{1, 10, 100}, {8, 64, 512}})->MinTime(1.0)->UseManualTime();
BENCHMARK(BM_ReadMillionRecords)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

BENCHMARK_MAIN();
