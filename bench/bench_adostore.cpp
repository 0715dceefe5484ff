// Appending records through the ADO log store on an SQLite (Jet) file
// against the same rows written by a prepared INSERT, bound row by row in
// one transaction, into a run's data table made by the same collection (so
// the table, its indexes and the journal mode are the same). Records of 10,
// 100 and 1000 analog channels, one missing value in eight. The store should
// reach at least 80 % of the prepared statement's rows per second.
// BM_AdoStoreAgainstPrepared runs the two in turn in one benchmark and
// prints their ratio.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/bench_main.h"
#include "logdb/ado/ado.h"
#include "logdb/dbcollection.h"
#include "logdb/dbstore.h"

namespace {

constexpr int kChannels = 16;  // the reading benchmark's runs
constexpr int32_t kStart = 1709640000;

std::string g_root;

void NoSleep(int) {}

LogHeader Header(int channels = kChannels) {
  LogHeader h{};
  h.marker = kLogHeaderMarker;
  h.blockCount = 1;
  h.start = TimeStamp{kStart, 0, 0};
  LogBlockDescriptor& d = h.blocks[0];
  memcpy(d.prefix, "AI", 2);
  d.firstChannel = 1;
  d.lastChannel = uint16_t(channels);
  d.valueKind = 8;
  d.valueOffset = 18;
  h.recordLength = 18 + 8 * channels + 2;
  return h;
}

int Channels(const LogHeader& h) { return h.blocks[0].lastChannel; }

std::vector<uint8_t> Records(const LogHeader& h, int first, int count) {
  const int n = Channels(h);
  std::vector<uint8_t> all(size_t(h.recordLength) * count, 0);
  for (int i = 0; i < count; ++i) {
    uint8_t* r = all.data() + size_t(i) * h.recordLength;
    uint16_t marker = kLogRecordMarker;
    int32_t secs = kStart + first + i;
    int16_t ms = int16_t((first + i) % 1000);
    memcpy(r, &marker, 2);
    memcpy(r + 4, &secs, 4);
    memcpy(r + 8, &ms, 2);
    for (int k = 0; k < n; ++k) {
      int32_t flag = (i + k) % 8 == 0 ? kLogFlagMissing : kLogFlagPresent;
      float v = float(first + i) + float(k) / 4;
      memcpy(r + 18 + 4 * k, &flag, 4);
      memcpy(r + 18 + 4 * n + 4 * k, &v, 4);
    }
  }
  return all;
}

std::string NewJetPath() {
  static int n = 0;
  return g_root + "/s" + std::to_string(++n) + ".mdb";
}
std::string JetLocation(const std::string& path) {
  return "Provider=Microsoft.Jet.OLEDB.4.0; Jet OLEDB:Engine Type=5; Data Source=\"" + path + "\"";
}
std::string NewJetFile() { return JetLocation(NewJetPath()); }

// A new run of `channels` channels in a new file, open for appending.
CLogStore* NewRun(CLogDbCollection* c, const std::string& location, LogHeader* h, benchmark::State& state) {
  CLogDbCollection::SetSleeper(NoSleep);
  if (c->Open(location.c_str(), "", "BENCH", "", 0xC0000000u) != 0) {
    state.SkipWithError(c->GetErrorSummary());
    return nullptr;
  }
  std::vector<ChannelConfig> channels(size_t(Channels(*h)));
  memset(channels.data(), 0, channels.size() * sizeof(ChannelConfig));
  ChannelConfig* per[1] = {channels.data()};
  int32_t start = kStart;
  CLogStore* s = c->CreateLog(&start, 0, 0, h, nullptr, 0, nullptr, 0, per);
  if (!s) state.SkipWithError(c->GetErrorSummary());
  return s;
}

// Args: rows per call, channels.
void BM_AdoStoreAppend(benchmark::State& state) {
  LogHeader h = Header(int(state.range(1)));
  CLogDbCollection c;
  CLogStore* s = NewRun(&c, NewJetFile(), &h, state);
  if (!s) return;
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

// The reference: the same rows into the same kind of table, through one
// prepared INSERT bound row by row, one transaction per call, on a
// connection set up as the store's (WAL, synchronous NORMAL).
class PreparedInsert {
 public:
  // A run's data table made by the collection in a new file; error() is
  // empty when the statement is ready.
  PreparedInsert(LogHeader* h, benchmark::State& state) : n_(Channels(*h)) {
    const std::string path = NewJetPath();
    {
      CLogDbCollection c;
      CLogStore* s = NewRun(&c, JetLocation(path), h, state);
      if (!s) {
        error_ = "cannot make the run";
        return;
      }
      s->Destroy(1);
    }
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
      error_ = "cannot open the file";
      return;
    }
    sqlite3_busy_timeout(db_, 30000);
    sqlite3_exec(db_, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
    sqlite3_exec(db_, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
    std::string table;
    {
      sqlite3_stmt* q = nullptr;
      sqlite3_prepare_v2(db_, "SELECT name FROM sqlite_master WHERE type = 'table' AND name LIKE '%DATA'", -1, &q,
                         nullptr);
      if (q && sqlite3_step(q) == SQLITE_ROW) table = reinterpret_cast<const char*>(sqlite3_column_text(q, 0));
      sqlite3_finalize(q);
    }
    std::string sql = "INSERT INTO " + table + " (DT, MS";
    for (int k = 1; k <= n_; ++k) sql += ", AI" + std::to_string(k);
    sql += ") VALUES (?, ?";
    for (int k = 1; k <= n_; ++k) sql += ", ?";
    sql += ")";
    if (table.empty() || sqlite3_prepare_v2(db_, sql.c_str(), int(sql.size()), &st_, nullptr) != SQLITE_OK)
      error_ = sqlite3_errmsg(db_);
  }
  ~PreparedInsert() {
    sqlite3_finalize(st_);
    sqlite3_close(db_);
  }
  const std::string& error() const { return error_; }
  // Inserts `rows` records in one transaction; false (error() set) on a failure.
  bool Insert(const LogHeader& h, const std::vector<uint8_t>& recs, int rows) {
    sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr);
    bool ok = true;
    for (int i = 0; i < rows && ok; ++i) {
      const uint8_t* r = recs.data() + size_t(i) * h.recordLength;
      int32_t secs;
      int16_t ms;
      memcpy(&secs, r + 4, 4);
      memcpy(&ms, r + 8, 2);
      std::string dt = ado::OleDateToText(ado::SecondsToOleDate(secs));
      sqlite3_bind_text(st_, 1, dt.c_str(), int(dt.size()), SQLITE_TRANSIENT);
      sqlite3_bind_int(st_, 2, ms);
      for (int k = 0; k < n_; ++k) {
        int32_t flag;
        float v;
        memcpy(&flag, r + 18 + 4 * k, 4);
        memcpy(&v, r + 18 + 4 * n_ + 4 * k, 4);
        if (flag & kLogFlagMissing)
          sqlite3_bind_null(st_, 3 + k);
        else
          sqlite3_bind_double(st_, 3 + k, double(v));
      }
      if (sqlite3_step(st_) != SQLITE_DONE) {
        error_ = sqlite3_errmsg(db_);
        ok = false;
      }
      sqlite3_reset(st_);
    }
    sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
    return ok;
  }

 private:
  int n_;
  sqlite3* db_ = nullptr;
  sqlite3_stmt* st_ = nullptr;
  std::string error_;
};

void BM_PreparedInsert(benchmark::State& state) {
  LogHeader h = Header(int(state.range(1)));
  PreparedInsert anchor(&h, state);
  if (!anchor.error().empty()) return state.SkipWithError(anchor.error().c_str());
  const int rows = int(state.range(0));
  int next = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<uint8_t> recs = Records(h, next, rows);
    state.ResumeTiming();
    if (!anchor.Insert(h, recs, rows)) {
      state.SkipWithError(anchor.error().c_str());
      break;
    }
    next += rows;
  }
  state.SetItemsProcessed(state.iterations() * rows);
}

// The store's append and the prepared INSERT in turn, the same records to
// each (made untimed) per round, each in a file of its own: ms per call of
// both and the ratio store / prepared. Args: rows per call, channels.
void BM_AdoStoreAgainstPrepared(benchmark::State& state) {
  LogHeader h = Header(int(state.range(1)));
  CLogDbCollection c;
  CLogStore* s = NewRun(&c, NewJetFile(), &h, state);
  if (!s) return;
  PreparedInsert anchor(&h, state);
  if (!anchor.error().empty()) {
    s->Destroy(1);
    return state.SkipWithError(anchor.error().c_str());
  }
  const int rows = int(state.range(0));
  int next = 0;
  double storeMs = 0, anchorMs = 0;
  auto since = [](std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  };
  for (auto _ : state) {
    const std::vector<uint8_t> recs = Records(h, next, rows);
    next += rows;
    auto t0 = std::chrono::steady_clock::now();
    if (s->AppendRecords(&h, recs.data(), rows) != 0) {
      state.SkipWithError(s->GetErrorDetail());
      break;
    }
    const double store = since(t0);
    t0 = std::chrono::steady_clock::now();
    if (!anchor.Insert(h, recs, rows)) {
      state.SkipWithError(anchor.error().c_str());
      break;
    }
    const double prepared = since(t0);
    storeMs += store;
    anchorMs += prepared;
    state.SetIterationTime((store + prepared) / 1000.0);
  }
  s->Destroy(1);
  if (state.iterations() == 0 || anchorMs <= 0) return;
  state.counters["store_ms"] = storeMs / double(state.iterations());
  state.counters["prepared_ms"] = anchorMs / double(state.iterations());
  state.counters["ratio"] = storeMs / anchorMs;
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
BENCHMARK(BM_AdoStoreAppend)->Args({1, 16})->Args({1000, 10})->Args({1000, 100})->Args({1000, 1000})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PreparedInsert)->Args({1, 16})->Args({1000, 10})->Args({1000, 100})->Args({1000, 1000})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AdoStoreAgainstPrepared)
    ->Args({1, 16})
    ->Args({1000, 10})
    ->Args({1000, 100})
    ->Args({1000, 1000})
    ->MinTime(2.0)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  qdbench::BenchRoot run;
  run.templ = "/tmp/bench_adostore-XXXXXX";
  run.setUp = [](const std::string& root) { g_root = root; };
  return qdbench::RunBenchmarksInRoot(argc, argv, run);
}
