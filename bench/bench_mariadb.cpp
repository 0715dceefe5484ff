// Appending samples through the MariaDB log store against a plain multi-row
// INSERT of the same rows into a table of the same shape, on one private
// MariaDB server. Rows: a time, milliseconds and 16 analog channels; calls
// (and statements) of 1000 rows, each committed on its own.
//   StoreAppend:      CLogDbMySQLStore::AppendRecords, one call per 1000 rows
//   PlainInsert:      one text INSERT ... VALUES (...),(...) per 1000 rows,
//                     its text made beforehand (the server's cost alone)
//   PlainInsertBuilt: the same, the text made for each statement
//   StoreFirstAppend100, StoreSteadyAppend100: the first call of 1000
//                     records of 100 channels to a new run, and the calls
//                     after it
//   StoreAgainstPlain: the store's append and the plain INSERT (text made
//                     for each statement, and made beforehand) in turn, one
//                     call each per round, with the ratios
//   StoreFirstAgainstSteady100: per round a new run of 100 channels, its
//                     first call of 1000 records and the call after it,
//                     with the ratio first / steady
// and reading 10,000 records back (StoreReadLogs, StoreReadLogEach,
// StoreReadLogEachDescending).
#define LOGDB_NO_GTEST
// g++ 12 at -O2 warns falsely (-Wrestrict) on string concatenations.
#pragma GCC diagnostic ignored "-Wrestrict"
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_main.h"
#include "bench/bench_anchor.h"
#include "cdxlib/sys/logicaldirs.h"
#include "logdb/mariadbcollection.h"
#include "logdb/mariadbconn.h"
#include "logdb/mariadbstore.h"
#include "platform/debugout.h"
#include "tests/logdb/mariadb_server.h"

namespace {

constexpr int kChannels = 16;
constexpr int kRowsPerCall = 1000;

std::unique_ptr<testdb::MariaDbServer> g_server;

LogHeader Header(int channels = kChannels) {
  LogHeader h;
  memset(&h, 0, sizeof h);
  h.marker = kLogHeaderMarker;
  h.start.seconds = 1709640000;
  h.blockCount = 1;
  memcpy(h.blocks[0].prefix, "AI", 2);
  h.blocks[0].firstChannel = 1;
  h.blocks[0].lastChannel = uint16_t(channels);
  h.blocks[0].valueKind = 8;
  h.blocks[0].valueOffset = kLogRecordFixedSize;
  h.recordLength = kLogRecordFixedSize + channels * 8 + 2;
  return h;
}

std::vector<uint8_t> Records(const LogHeader& h, int first, int count) {
  const int channels = h.blocks[0].lastChannel;
  std::vector<uint8_t> out(size_t(count) * h.recordLength, 0);
  for (int i = 0; i < count; ++i) {
    uint8_t* r = out.data() + size_t(i) * h.recordLength;
    LogRecord lr{};
    lr.marker = kLogRecordMarker;
    lr.seconds = h.start.seconds + (first + i) / 10;
    lr.milliseconds = int16_t(((first + i) % 10) * 100);
    memcpy(r, &lr, sizeof lr);
    for (int k = 0; k < channels; ++k) {
      int32_t flag = kLogFlagPresent;
      float v = float(first + i) * 0.25f + float(k);
      memcpy(r + kLogRecordFixedSize + 4 * k, &flag, 4);
      memcpy(r + kLogRecordFixedSize + 4 * (channels + k), &v, 4);
    }
  }
  return out;
}

std::string Location(const std::string& db) {
  return "Provider=MariaDB;Socket=" + g_server->socket() + ";Database=" + db + ";User ID=root;Password=";
}

void Discard(const char*) {}

// The text of one plain INSERT of the records, as any client would write it.
std::string InsertText(const std::string& table, const LogHeader& h, const std::vector<uint8_t>& recs, int count) {
  std::string sql = "INSERT INTO " + table + " VALUES ";
  sql.reserve(size_t(count) * 260);
  char cell[64];
  for (int i = 0; i < count; ++i) {
    const uint8_t* r = recs.data() + size_t(i) * h.recordLength;
    LogRecord lr;
    memcpy(&lr, r, sizeof lr);
    MYSQL_TIME t;
    mdb::ToMysqlTime(lr.seconds, &t);
    snprintf(cell, sizeof cell, "%s('%04u-%02u-%02u %02u:%02u:%02u',%d,NULL", i ? "," : "", t.year, t.month, t.day,
             t.hour, t.minute, t.second, lr.milliseconds);
    sql += cell;
    for (int k = 0; k < kChannels; ++k) {
      float v;
      memcpy(&v, r + kLogRecordFixedSize + 4 * (kChannels + k), 4);
      snprintf(cell, sizeof cell, ",%.9g", double(v));
      sql += cell;
    }
    sql += ",NULL)";
  }
  return sql;
}

void StoreAppend(benchmark::State& state) {
  if (!g_server || !g_server->ok()) {
    state.SkipWithError(g_server ? g_server->why().c_str() : "no MariaDB server");
    return;
  }
  std::string loc = Location(g_server->NewDatabase());
  CLogDbMySQLCollection c;
  if (c.Open(loc.c_str(), "", "BENCH", "", kGenericRead | kGenericWrite) != 0) {
    state.SkipWithError(c.GetErrorDetail());
    return;
  }
  LogHeader h = Header();
  std::vector<ChannelConfig> chans(kChannels);
  memset(chans.data(), 0, chans.size() * sizeof(ChannelConfig));
  ChannelConfig* blocks[1] = {chans.data()};
  int32_t start = h.start.seconds;
  CLogStore* s = c.CreateLog(&start, 1, 0, &h, nullptr, 0, nullptr, 0, blocks);
  if (!s) {
    state.SkipWithError(c.GetErrorDetail());
    return;
  }
  std::vector<uint8_t> recs = Records(h, 0, kRowsPerCall);
  for (auto _ : state) {
    if (s->AppendRecords(&h, recs.data(), kRowsPerCall) != 0) {
      state.SkipWithError(s->GetErrorDetail());
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * kRowsPerCall);
  s->Destroy(1);
}

// A new run of `channels` channels, open for appending.
CLogStore* NewRun(CLogDbMySQLCollection* c, LogHeader* h, benchmark::State& state) {
  std::string loc = Location(g_server->NewDatabase());
  if (c->Open(loc.c_str(), "", "BENCH", "", kGenericRead | kGenericWrite) != 0) {
    state.SkipWithError(c->GetErrorDetail());
    return nullptr;
  }
  std::vector<ChannelConfig> chans(h->blocks[0].lastChannel);
  memset(chans.data(), 0, chans.size() * sizeof(ChannelConfig));
  ChannelConfig* blocks[1] = {chans.data()};
  int32_t start = h->start.seconds;
  CLogStore* s = c->CreateLog(&start, 1, 0, h, nullptr, 0, nullptr, 0, blocks);
  if (!s) state.SkipWithError(c->GetErrorDetail());
  return s;
}

// The first call of 1000 records of 100 channels to a new run (which
// prepares its statement), against the calls after it.
void StoreFirstAppend100(benchmark::State& state) {
  if (!g_server || !g_server->ok()) {
    state.SkipWithError(g_server ? g_server->why().c_str() : "no MariaDB server");
    return;
  }
  LogHeader h = Header(100);
  std::vector<uint8_t> recs = Records(h, 0, kRowsPerCall);
  for (auto _ : state) {
    state.PauseTiming();
    CLogDbMySQLCollection c;
    CLogStore* s = NewRun(&c, &h, state);
    if (!s) break;
    state.ResumeTiming();
    int rc = s->AppendRecords(&h, recs.data(), kRowsPerCall);
    state.PauseTiming();
    if (rc != 0) state.SkipWithError(s->GetErrorDetail());
    s->Destroy(1);
    state.ResumeTiming();
    if (rc != 0) break;
  }
  state.SetItemsProcessed(state.iterations() * kRowsPerCall);
}

void StoreSteadyAppend100(benchmark::State& state) {
  if (!g_server || !g_server->ok()) {
    state.SkipWithError(g_server ? g_server->why().c_str() : "no MariaDB server");
    return;
  }
  LogHeader h = Header(100);
  CLogDbMySQLCollection c;
  CLogStore* s = NewRun(&c, &h, state);
  if (!s) return;
  std::vector<uint8_t> recs = Records(h, 0, kRowsPerCall);
  if (s->AppendRecords(&h, recs.data(), kRowsPerCall) != 0) state.SkipWithError(s->GetErrorDetail());
  for (auto _ : state) {
    if (s->AppendRecords(&h, recs.data(), kRowsPerCall) != 0) {
      state.SkipWithError(s->GetErrorDetail());
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * kRowsPerCall);
  s->Destroy(1);
}

void PlainInsert(benchmark::State& state, bool buildEachTime) {
  if (!g_server || !g_server->ok()) {
    state.SkipWithError(g_server ? g_server->why().c_str() : "no MariaDB server");
    return;
  }
  std::string db = g_server->NewDatabase();
  mdb::Location l;
  l.socket = g_server->socket();
  l.user = "root";
  l.database = db;
  std::string error;
  MYSQL* m = mdb::Connect(l, &error);
  if (!m) {
    state.SkipWithError(error.c_str());
    return;
  }
  // The same table as a run's DATA table.
  std::string create = "CREATE TABLE B_DATA (DT datetime, MS float, TX varchar(255) NULL";
  for (int k = 1; k <= kChannels; ++k) create += ", AI" + std::to_string(k) + " REAL NULL";
  create += ", TP float NULL)";
  mdb::Execute(m, create);
  mdb::Execute(m, "CREATE INDEX TM ON B_DATA (DT, MS)");
  LogHeader h = Header();
  std::vector<uint8_t> recs = Records(h, 0, kRowsPerCall);
  std::string sql = InsertText("B_DATA", h, recs, kRowsPerCall);
  for (auto _ : state) {
    if (buildEachTime) sql = InsertText("B_DATA", h, recs, kRowsPerCall);
    if (mdb::Execute(m, sql) != 0) {
      state.SkipWithError(mysql_error(m));
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * kRowsPerCall);
  mysql_close(m);
}

// A plain DATA table of kChannels channels in a database of its own, for
// the anchor: the connection, or null with the error set on state.
MYSQL* PlainTable(benchmark::State& state) {
  mdb::Location l;
  l.socket = g_server->socket();
  l.user = "root";
  l.database = g_server->NewDatabase();
  std::string error;
  MYSQL* m = mdb::Connect(l, &error);
  if (!m) {
    state.SkipWithError(error.c_str());
    return nullptr;
  }
  std::string create = "CREATE TABLE B_DATA (DT datetime, MS float, TX varchar(255) NULL";
  for (int k = 1; k <= kChannels; ++k) create += ", AI" + std::to_string(k) + " REAL NULL";
  create += ", TP float NULL)";
  mdb::Execute(m, create);
  mdb::Execute(m, "CREATE INDEX TM ON B_DATA (DT, MS)");
  return m;
}

// The store's append against the plain INSERT, one call of each in turn
// per round, so that the server's and the machine's load fall on both.
void StoreAgainstPlain(benchmark::State& state) {
  if (!g_server || !g_server->ok()) {
    state.SkipWithError(g_server ? g_server->why().c_str() : "no MariaDB server");
    return;
  }
  LogHeader h = Header();
  CLogDbMySQLCollection c;
  CLogStore* s = NewRun(&c, &h, state);
  if (!s) return;
  MYSQL* m = PlainTable(state);
  if (!m) {
    s->Destroy(1);
    return;
  }
  const std::vector<uint8_t> recs = Records(h, 0, kRowsPerCall);
  const std::string prebuilt = InsertText("B_DATA", h, recs, kRowsPerCall);
  // The first call of each prepares or warms what the later ones reuse.
  bool failed = s->AppendRecords(&h, recs.data(), kRowsPerCall) != 0 || mdb::Execute(m, prebuilt) != 0;
  auto fail = [&](const char* why) {
    if (!failed) state.SkipWithError(why);
    failed = true;
  };
  const std::vector<qdbench::Road> roads = {
      {"store", [&](int n) {
         for (int i = 0; i < n && !failed; ++i)
           if (s->AppendRecords(&h, recs.data(), kRowsPerCall) != 0) fail("the store's append failed");
       }},
      {"plain_built", [&](int n) {
         for (int i = 0; i < n && !failed; ++i)
           if (mdb::Execute(m, InsertText("B_DATA", h, recs, kRowsPerCall)) != 0) fail(mysql_error(m));
       }},
      {"plain_prebuilt", [&](int n) {
         for (int i = 0; i < n && !failed; ++i)
           if (mdb::Execute(m, prebuilt) != 0) fail(mysql_error(m));
       }},
  };
  if (failed) state.SkipWithError("the first calls failed");
  else qdbench::RunInterleaved(state, roads, 1);
  state.SetItemsProcessed(state.iterations() * kRowsPerCall);
  mysql_close(m);
  s->Destroy(1);
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Per round a new run of 100 channels (made untimed), its first call of
// 1000 records and then the next call on it: first / steady.
void StoreFirstAgainstSteady100(benchmark::State& state) {
  if (!g_server || !g_server->ok()) {
    state.SkipWithError(g_server ? g_server->why().c_str() : "no MariaDB server");
    return;
  }
  LogHeader h = Header(100);
  const std::vector<uint8_t> recs = Records(h, 0, kRowsPerCall);
  std::vector<double> first, steady;
  auto timed = [&](CLogStore* s) {
    const auto t0 = std::chrono::steady_clock::now();
    const int rc = s->AppendRecords(&h, recs.data(), kRowsPerCall);
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    return rc == 0 ? ms : -1.0;
  };
  for (auto _ : state) {
    CLogDbMySQLCollection c;
    CLogStore* s = NewRun(&c, &h, state);
    if (!s) break;
    const double f = timed(s), st = f < 0 ? -1.0 : timed(s);
    if (f < 0 || st < 0) {
      state.SkipWithError(s->GetErrorDetail());
      s->Destroy(1);
      break;
    }
    s->Destroy(1);
    first.push_back(f);
    steady.push_back(st);
    state.SetIterationTime((f + st) / 1000.0);
  }
  if (first.empty()) return;
  state.counters["first_ms_p50"] = Median(first);
  state.counters["steady_ms_p50"] = Median(steady);
  state.counters["ratio_first_steady"] = Median(first) / Median(steady);
}

// Reading a run of 10,000 records back: one ReadLogs call (one range
// query) against a ReadLog per record in order (rows read ahead 256 at a
// time), and against a ReadLog per record newest first (one "LIMIT 1 OFFSET
// i" query each; every 20th record only). Items: records read.
void StoreRead(benchmark::State& state, int mode) {  // 0 range, 1 each, 2 each descending
  constexpr int kRows = 10000;
  if (!g_server || !g_server->ok()) {
    state.SkipWithError(g_server ? g_server->why().c_str() : "no MariaDB server");
    return;
  }
  std::string loc = Location(g_server->NewDatabase());
  CLogDbMySQLCollection c;
  if (c.Open(loc.c_str(), "", "READ", "", kGenericRead | kGenericWrite) != 0) {
    state.SkipWithError(c.GetErrorDetail());
    return;
  }
  LogHeader h = Header();
  std::vector<ChannelConfig> chans(kChannels);
  memset(chans.data(), 0, chans.size() * sizeof(ChannelConfig));
  ChannelConfig* blocks[1] = {chans.data()};
  int32_t start = h.start.seconds;
  CLogStore* s = c.CreateLog(&start, 1, 0, &h, nullptr, 0, nullptr, 0, blocks);
  std::vector<uint8_t> recs = Records(h, 0, kRows);
  if (!s || s->AppendRecords(&h, recs.data(), kRows) != 0) {
    state.SkipWithError("cannot make the run");
    return;
  }
  LogHeader rh;
  s->ReadHeader(&rh);
  std::vector<uint8_t> out(recs.size());
  for (auto _ : state) {
    const int step = mode == 2 ? 20 : 1;
    int n = 0, want = kRows / step;
    if (mode) {
      for (int i = 0; i < kRows; i += step)
        n += s->ReadLog(i, &rh, out.data() + size_t(i) * rh.recordLength, int(rh.recordLength), 0, nullptr,
                        nullptr, 0, mode == 2) == 0;
    } else {
      n = s->ReadLogs(0, &rh, out.data(), kRows, 0, nullptr, nullptr);
    }
    if (n != want) {
      state.SkipWithError(s->GetErrorDetail());
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * (mode == 2 ? kRows / 20 : kRows));
  s->Destroy(1);
}

BENCHMARK_CAPTURE(StoreRead, range, 0)->Name("StoreReadLogs")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(StoreRead, each, 1)->Name("StoreReadLogEach")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(StoreRead, descending, 2)->Name("StoreReadLogEachDescending")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);
BENCHMARK(StoreAppend)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(StoreFirstAppend100)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(StoreSteadyAppend100)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(StoreAgainstPlain)->Unit(benchmark::kMillisecond)->MinTime(3.0)->UseRealTime();
BENCHMARK(StoreFirstAgainstSteady100)->Unit(benchmark::kMillisecond)->Iterations(9)->UseManualTime();
BENCHMARK_CAPTURE(PlainInsert, prebuilt, false)->Name("PlainInsert")->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK_CAPTURE(PlainInsert, built, true)->Name("PlainInsertBuilt")->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  // The server lives in the root, a folder of its own, removed at the end.
  qdbench::BenchRoot run;
  run.templ = "/tmp/bench_mariadb_XXXXXX";
  run.setUp = [](const std::string& root) {
    setenv("TMPDIR", root.c_str(), 1);
    plat::SetDebugOutputHook(Discard);  // the store's line per append
    g_server = std::make_unique<testdb::MariaDbServer>();
    g_server->Start();
    if (!g_server->ok()) fprintf(stderr, "no MariaDB server: %s\n", g_server->why().c_str());
  };
  run.tearDown = [] {
    g_server->Stop();
    g_server.reset();
  };
  return qdbench::RunBenchmarksInRoot(argc, argv, run);
}
