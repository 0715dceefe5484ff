// Appending rows through the database access layer: a record set's
// AddNew/Update per row (what the database stores do) against one plain
// multi-row INSERT of the same rows, on an SQLite file and on a private
// MariaDB server. Rows: a time, a millisecond count and 16 real channels.
#define LOGDB_NO_GTEST
// g++ 12 at -O2 warns falsely (-Wrestrict) on string concatenations.
#pragma GCC diagnostic ignored "-Wrestrict"
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "bench/bench_main.h"
#include "logdb/ado/ado.h"
#include "tests/logdb/mariadb_server.h"

namespace {

constexpr int kChannels = 16;

std::string g_root;
std::unique_ptr<testdb::MariaDbServer> g_server;

std::string CreateTable(ado::Connection& c) {
  std::string sql = "CREATE TABLE B (DT datetime, MS integer";
  for (int i = 1; i <= kChannels; ++i) sql += ", AI" + std::to_string(i) + " real";
  c.Execute(sql + ")", 1);
  return "B";
}

std::string Connection(bool maria) {
  static int n = 0;
  if (maria) {
    if (!g_server) {
      g_server = std::make_unique<testdb::MariaDbServer>();
      g_server->Start();
    }
    if (!g_server->ok()) return "";
    return g_server->AdoConnection(g_server->NewDatabase());
  }
  std::string path = g_root + "/b" + std::to_string(++n) + ".mdb";
  ado::Catalog cat;
  cat.Create("Provider=SQLite;Data Source=" + path);
  return "Provider=SQLite;Data Source=" + path;
}

void AddNewRows(benchmark::State& state, bool maria) {
  std::string cs = Connection(maria);
  if (cs.empty()) {
    state.SkipWithError("no MariaDB server here");
    return;
  }
  ado::Connection c;
  c.Open(cs, "", "", -1);
  CreateTable(c);
  ado::Recordset rs;
  rs.Open("B", &c, ado::adOpenStatic, ado::adLockOptimistic, ado::adCmdTable);
  const int rows = int(state.range(0));
  int64_t t = 1700000000;
  for (auto _ : state) {
    for (int r = 0; r < rows; ++r) {
      rs.AddNew();
      rs.SetField(size_t(0), ado::Variant::Date(ado::SecondsToOleDate(t++)));
      rs.SetField(size_t(1), ado::Variant::Int(r % 1000));
      for (int i = 0; i < kChannels; ++i) rs.SetField(size_t(2 + i), ado::Variant::Real(float(r + i)));
    }
    rs.Update();
  }
  state.SetItemsProcessed(state.iterations() * rows);
}

void PlainInsert(benchmark::State& state, bool maria) {
  std::string cs = Connection(maria);
  if (cs.empty()) {
    state.SkipWithError("no MariaDB server here");
    return;
  }
  ado::Connection c;
  c.Open(cs, "", "", -1);
  CreateTable(c);
  const int rows = int(state.range(0));
  int64_t t = 1700000000;
  for (auto _ : state) {
    std::string sql = "INSERT INTO B VALUES ";
    for (int r = 0; r < rows; ++r) {
      sql += r ? ",('" : "('";
      sql += ado::OleDateToText(ado::SecondsToOleDate(t++)) + "'," + std::to_string(r % 1000);
      for (int i = 0; i < kChannels; ++i) sql += "," + std::to_string(r + i);
      sql += ")";
    }
    c.Execute(sql, 1);
  }
  state.SetItemsProcessed(state.iterations() * rows);
}

void BM_SqliteAddNew(benchmark::State& s) { AddNewRows(s, false); }
void BM_SqlitePlainInsert(benchmark::State& s) { PlainInsert(s, false); }
void BM_MariaDbAddNew(benchmark::State& s) { AddNewRows(s, true); }
void BM_MariaDbPlainInsert(benchmark::State& s) { PlainInsert(s, true); }
BENCHMARK(BM_SqliteAddNew)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SqlitePlainInsert)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MariaDbAddNew)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MariaDbPlainInsert)->Arg(1000)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  qdbench::BenchRoot run;
  run.templ = "/tmp/bench_logdb-XXXXXX";
  run.setUp = [](const std::string& root) { g_root = root; };
  run.tearDown = [] { g_server.reset(); };
  return qdbench::RunBenchmarksInRoot(argc, argv, run);
}
