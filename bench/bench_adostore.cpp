// Appending records through the ADO log store on an SQLite (Jet) file
// against one plain multi-row INSERT of the same rows into a table of the
// same layout. Records: 16 analog channels, one missing value in eight.
// The store should reach at least 80 % of the plain insert's rows per
// second.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "logdb/ado/ado.h"
#include "logdb/dbcollection.h"
#include "logdb/dbstore.h"

namespace {

constexpr int kChannels = 16;
constexpr int32_t kStart = 1709640000;

std::string g_root;

void NoSleep(int) {}

LogHeader Header() {
  LogHeader h{};
  h.marker = kLogHeaderMarker;
  h.blockCount = 1;
  h.start = TimeStamp{kStart, 0, 0};
  LogBlockDescriptor& d = h.blocks[0];
  memcpy(d.prefix, "AI", 2);
  d.firstChannel = 1;
  d.lastChannel = kChannels;
  d.valueKind = 8;
  d.valueOffset = 18;
  h.recordLength = 18 + 8 * kChannels + 2;
  return h;
}

std::vector<uint8_t> Records(const LogHeader& h, int first, int count) {
  std::vector<uint8_t> all(size_t(h.recordLength) * count, 0);
  for (int i = 0; i < count; ++i) {
    uint8_t* r = all.data() + size_t(i) * h.recordLength;
    uint16_t marker = kLogRecordMarker;
    int32_t secs = kStart + first + i;
    int16_t ms = int16_t((first + i) % 1000);
    memcpy(r, &marker, 2);
    memcpy(r + 4, &secs, 4);
    memcpy(r + 8, &ms, 2);
    for (int k = 0; k < kChannels; ++k) {
      int32_t flag = (i + k) % 8 == 0 ? kLogFlagMissing : kLogFlagPresent;
      float v = float(first + i) + float(k) / 4;
      memcpy(r + 18 + 4 * k, &flag, 4);
      memcpy(r + 18 + 4 * kChannels + 4 * k, &v, 4);
    }
  }
  return all;
}

std::string NewJetFile() {
  static int n = 0;
  return "Provider=Microsoft.Jet.OLEDB.4.0; Jet OLEDB:Engine Type=5; Data Source=\"" + g_root + "/s" +
         std::to_string(++n) + ".mdb\"";
}

void BM_AdoStoreAppend(benchmark::State& state) {
  CLogDbCollection::SetSleeper(NoSleep);
  std::string location = NewJetFile();
  CLogDbCollection c;
  if (c.Open(location.c_str(), "", "BENCH", "", 0xC0000000u) != 0) {
    state.SkipWithError(c.GetErrorSummary());
    return;
  }
  LogHeader h = Header();
  std::vector<ChannelConfig> channels(kChannels);
  memset(channels.data(), 0, channels.size() * sizeof(ChannelConfig));
  ChannelConfig* per[1] = {channels.data()};
  int32_t start = kStart;
  CLogStore* s = c.CreateLog(&start, 0, 0, &h, nullptr, 0, nullptr, 0, per);
  if (!s) {
    state.SkipWithError(c.GetErrorSummary());
    return;
  }
  const int rows = int(state.range(0));
  int next = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<uint8_t> recs = Records(h, next, rows);
    state.ResumeTiming();
    if (s->AppendRecords(&h, recs.data(), rows) != 0) {
      state.SkipWithError(s->GetErrorDetail());
      break;
    }
    next += rows;
  }
  state.SetItemsProcessed(state.iterations() * rows);
  s->Destroy(1);
}

void BM_PlainMultiRowInsert(benchmark::State& state) {
  std::string location = NewJetFile();
  ado::Catalog cat;
  cat.Create(location);
  ado::Connection conn;
  conn.Open(location, "", "", -1);
  std::string create = "CREATE TABLE B_DATA (DT datetime, MS integer, TX varchar(255) NULL";
  for (int k = 1; k <= kChannels; ++k) create += ", AI" + std::to_string(k) + " REAL NULL";
  conn.Execute(create + ", TP float NULL)", ado::adCmdText);
  conn.Execute("CREATE INDEX TM ON B_DATA (DT, MS)", ado::adCmdText);
  conn.Execute("CREATE INDEX DT ON B_DATA (DT)", ado::adCmdText);
  conn.Execute("CREATE INDEX MS ON B_DATA (MS)", ado::adCmdText);
  conn.Execute("CREATE INDEX TX ON B_DATA (TX)", ado::adCmdText);
  LogHeader h = Header();
  const int rows = int(state.range(0));
  int next = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<uint8_t> recs = Records(h, next, rows);
    state.ResumeTiming();
    // The same rows as one statement of literal values.
    std::string sql = "INSERT INTO B_DATA (DT, MS";
    for (int k = 1; k <= kChannels; ++k) sql += ", AI" + std::to_string(k);
    sql += ") VALUES ";
    char buf[64];
    for (int i = 0; i < rows; ++i) {
      const uint8_t* r = recs.data() + size_t(i) * h.recordLength;
      int32_t secs;
      int16_t ms;
      memcpy(&secs, r + 4, 4);
      memcpy(&ms, r + 8, 2);
      sql += i ? ",('" : "('";
      sql += ado::OleDateToText(ado::SecondsToOleDate(secs));
      snprintf(buf, sizeof buf, "',%d", ms);
      sql += buf;
      for (int k = 0; k < kChannels; ++k) {
        int32_t flag;
        float v;
        memcpy(&flag, r + 18 + 4 * k, 4);
        memcpy(&v, r + 18 + 4 * kChannels + 4 * k, 4);
        if (flag & kLogFlagMissing) {
          sql += ",NULL";
        } else {
          snprintf(buf, sizeof buf, ",%.9g", double(v));
          sql += buf;
        }
      }
      sql += ")";
    }
    conn.Execute(sql, ado::adCmdText);
    next += rows;
  }
  state.SetItemsProcessed(state.iterations() * rows);
}

// Reading a run of 100,000 records: the first read makes the selection
// (row ids only), then 1000 records in a row from a random place.
void BM_AdoStoreReadLogs(benchmark::State& state) {
  CLogDbCollection::SetSleeper(NoSleep);
  static std::string path;
  static LogHeader h;
  const int total = 100000;
  if (path.empty()) {
    std::string location = NewJetFile();
    CLogDbCollection c;
    if (c.Open(location.c_str(), "", "READ", "", 0xC0000000u) != 0) {
      state.SkipWithError(c.GetErrorSummary());
      return;
    }
    h = Header();
    std::vector<ChannelConfig> channels(kChannels);
    memset(channels.data(), 0, channels.size() * sizeof(ChannelConfig));
    ChannelConfig* per[1] = {channels.data()};
    int32_t start = kStart;
    CLogStore* s = c.CreateLog(&start, 0, 0, &h, nullptr, 0, nullptr, 0, per);
    if (!s) {
      state.SkipWithError(c.GetErrorSummary());
      return;
    }
    for (int i = 0; i < total; i += 10000) {
      std::vector<uint8_t> recs = Records(h, i, 10000);
      s->AppendRecords(&h, recs.data(), 10000);
    }
    s->Destroy(1);
    char name[20] = "LoggerSeq=00000001";
    char buf[2048];
    c.MakeLogPath(name, buf, nullptr);
    path = buf;
  }
  CLogDbStore r;
  if (r.Open(nullptr, path.c_str(), 0x80000000u) != 0) {
    state.SkipWithError(r.GetErrorSummary());
    return;
  }
  LogHeader rh;
  r.ReadHeader(&rh);
  std::vector<uint8_t> buf(size_t(rh.recordLength) * 1000);
  uint32_t seed = 12345;
  for (auto _ : state) {
    seed = seed * 1103515245u + 12345u;
    int first = int(seed % uint32_t(total - 1000));
    if (r.ReadLogs(first, &rh, buf.data(), 1000, 0, nullptr, nullptr) != 1000) {
      state.SkipWithError(r.GetErrorSummary());
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * 1000);
}

BENCHMARK(BM_AdoStoreReadLogs)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AdoStoreAppend)->Arg(1)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainMultiRowInsert)->Arg(1)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  char templ[] = "/tmp/bench_adostore-XXXXXX";
  if (!mkdtemp(templ)) return 2;
  g_root = templ;
  setenv("CDXPLAT_ROOT", templ, 1);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ec;
  std::filesystem::remove_all(g_root, ec);
  return 0;
}
