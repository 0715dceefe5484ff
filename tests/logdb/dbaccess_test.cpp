// The data access object and the catalog access object: result codes,
// last-error texts and thread errors, on real SQLite files and, where a
// database cannot run here, through the recording provider.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>

#include "logdb/ado/recording.h"
#include "logdb/dbacc.h"
#include "logdb/dbdataacc.h"
#include "cdxlib/sys/debugtrace.h"
#include "platform/debugout.h"
#include "platform/error.h"
#include "platform/registry.h"

using ado::Variant;

namespace {

std::string Dir() {
  std::string d = std::string(std::getenv("CDXPLAT_ROOT")) + "/dbacc";
  std::filesystem::create_directories(d);
  return d;
}

std::string NewJetFile(const char* name) {
  std::string path = Dir() + "/" + name;
  std::filesystem::remove(path);
  ado::Catalog cat;
  cat.Create("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + path);
  return "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + path;
}

TEST(DataAcc, ComErrorsGiveTheSlotCodeTextAndThreadError) {
  ado::RecordingProvider rec({"SQLOLEDB"});
  struct Case {
    int32_t hresult;
    std::string description;
    uint32_t lastError;
    size_t textLength;
  } cases[] = {
      {int32_t(0x80040E14), "Incorrect syntax near 'x'.", 0x0C14, 26},
      {int32_t(0x80040200), "lowest", 0, 6},
      {int32_t(0x8004FFFF), "highest", 0xFDFF, 7},
      {int32_t(0x800A0BCD), "BOF or EOF", 0, 10},
      {int32_t(0x80004005), std::string(1500, 'x'), 0, 999},  // cut to 999 characters
      {int32_t(0x80040E37), "", 0x0C37, 0},
  };
  for (const auto& c : cases) {
    rec.FailOn("SELECT", c.hresult, c.description, 1);
    CLogITDbDataAcc acc;
    ASSERT_EQ(acc.Connect("Provider=SQLOLEDB;Data Source=srv;", "Initial Catalog=db", -1), 0);
    plat::SetLastError(12345);
    EXPECT_EQ(acc.Open("SELECT * FROM LOGGERS", 3, 3, 1), CLogITDbDataAcc::kOpenFailed);
    EXPECT_EQ(plat::GetLastError(), c.lastError) << std::hex << c.hresult;
    EXPECT_EQ(std::string(acc.GetLastErrorText()), c.description.substr(0, 999));
    EXPECT_EQ(std::strlen(acc.GetLastErrorText()), c.textLength);
  }
  // The connection string and the appended text were given together.
  EXPECT_EQ(rec.Journal().front().connection, "Provider=SQLOLEDB;Data Source=srv;Initial Catalog=db");
}

TEST(DataAcc, ConnectFailureKeepsTheProviderTextAndCreatesNoFile) {
  std::string path = Dir() + "/absent.mdb";
  CLogITDbDataAcc acc;
  EXPECT_EQ(acc.Connect(("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + path).c_str(), "", -1),
            CLogITDbDataAcc::kConnectFailed);
  EXPECT_NE(std::string(acc.GetLastErrorText()).find("absent.mdb"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(path));
  // Without a connection every record-set operation answers its code.
  EXPECT_EQ(acc.Open("SELECT 1", 3, 3, 1), CLogITDbDataAcc::kOpenFailed);
  EXPECT_EQ(acc.CancelUpdate(), CLogITDbDataAcc::kDeleteFailed);
  EXPECT_EQ(acc.MoveNext(), CLogITDbDataAcc::kMoveNextFailed);
  EXPECT_EQ(acc.DoNothing(nullptr, "x"), 0);
  EXPECT_EQ(acc.Close(), 0);
}

TEST(DataAcc, RecordSetOperationsOnARealFile) {
  std::string conn = NewJetFile("rows.mdb");
  CLogITDbDataAcc acc;
  ASSERT_EQ(acc.Connect(conn.c_str(), "", -1), 0);
  EXPECT_EQ(acc.GetConnectionState(), 1);
  ado::Connection ddl;
  ddl.Open(conn, "", "", -1);
  ddl.Execute("CREATE TABLE T (N integer, S char(20), V real)", 1);

  ASSERT_EQ(acc.OpenTable("T"), 0);
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(acc.AddNew(), 0);
    ASSERT_EQ(acc.SetFieldValue(0, Variant::Int(i)), 0);
    ASSERT_EQ(acc.SetFieldValue(1, Variant::Text("row" + std::to_string(i))), 0);
  }
  // Update and UpdateRecord are one behaviour.
  EXPECT_EQ(acc.UpdateRecord(), 0);
  EXPECT_EQ(acc.Update(), 0);

  ASSERT_EQ(acc.OpenUpdatable("SELECT * FROM T ORDER BY N"), 0);
  long count = 0;
  ASSERT_EQ(acc.GetRecordCount(&count), 0);
  EXPECT_EQ(count, 4);
  Variant v;
  ASSERT_EQ(acc.MoveTo(0), 0);
  ASSERT_EQ(acc.GetFieldValue(0, &v), 0);
  EXPECT_EQ(v.AsInt(), 0);
  ASSERT_EQ(acc.MoveTo(2), 0);
  ASSERT_EQ(acc.GetFieldValueByName("S", &v), 0);
  EXPECT_EQ(v.AsText(), "row2");
  // Past the end: EOF, and a field read there fails with 0 as thread error.
  ASSERT_EQ(acc.MoveTo(9), 0);
  short eof = 0;
  ASSERT_EQ(acc.IsEOF(&eof), 0);
  EXPECT_EQ(eof, -1);
  EXPECT_EQ(acc.GetFieldValue(0, &v), CLogITDbDataAcc::kGetFieldFailed);
  EXPECT_EQ(plat::GetLastError(), 0u);

  Variant found;
  ASSERT_EQ(acc.FindRowWithValue(Variant::Text("row3"), "S", &found), 0);
  EXPECT_EQ(found.vt, ado::VT_BOOL);
  EXPECT_EQ(found.i, -1);
  const double doubles[1] = {2.5};
  ASSERT_EQ(acc.SetFieldDoubles(2, 1, doubles), 0);
  ASSERT_EQ(acc.Update(), 0);
  double out[2] = {};
  ASSERT_EQ(acc.GetFieldDoubles(0, 1, out), 0);
  EXPECT_EQ(out[0], 3);
  EXPECT_EQ(acc.GetFieldDoubles(-1, 1, out), int(ado::kEInvalidArg));
  const char* names[2] = {"S", "N"};
  Variant values[2];
  ASSERT_EQ(acc.GetValuesByName(2, names, values), 0);
  EXPECT_EQ(values[0].AsText(), "row3");
  ASSERT_EQ(acc.CompareFieldValue(Variant::Int(3), "N", &found), 0);
  EXPECT_EQ(found.i, -1);
  ASSERT_EQ(acc.FindRowWithValue(Variant::Text("none"), "S", &found), 0);
  EXPECT_EQ(found.i, 0);

  ASSERT_EQ(acc.MoveFirst(), 0);
  ASSERT_EQ(acc.Delete(), 0);
  ASSERT_EQ(acc.AddNewWithValues({"N", "S"}, {Variant::Int(9), Variant::Text("nine")}), 0);
  // A second open replaces the first record set.
  ASSERT_EQ(acc.Open("SELECT N, V FROM T ORDER BY N", 3, 1, 1), 0);
  ASSERT_EQ(acc.GetRecordCount(&count), 0);
  EXPECT_EQ(count, 4);
  ASSERT_EQ(acc.GetFieldValue(0, &v), 0);
  EXPECT_EQ(v.AsInt(), 1);  // row 0 was deleted
  ASSERT_EQ(acc.MoveLast(), 0);
  ASSERT_EQ(acc.GetFieldValue(0, &v), 0);
  EXPECT_EQ(v.AsInt(), 9);
  ASSERT_EQ(acc.MovePrevious(), 0);
  ASSERT_EQ(acc.GetFieldValue(1, &v), 0);
  EXPECT_FLOAT_EQ(float(v.AsDouble()), 2.5f);
  // A read-only record set cannot add: the code at once, no COM error text.
  std::string before = acc.GetLastErrorText();
  EXPECT_EQ(acc.AddNew(), CLogITDbDataAcc::kAddNewFailed);
  EXPECT_EQ(std::string(acc.GetLastErrorText()), before);
  // A statement without rows leaves a closed record set.
  EXPECT_EQ(acc.OpenUpdatable("DELETE FROM T WHERE N = 9"), 0);
  EXPECT_EQ(acc.CloseRecordset(), 0);
  EXPECT_EQ(acc.CancelUpdate(), CLogITDbDataAcc::kDeleteFailed);  // no record set
  EXPECT_EQ(acc.Close(), 0);
  EXPECT_EQ(acc.GetConnectionState(), CLogITDbDataAcc::kStateFailed);
}

TEST(CatalogAcc, UseBeforeOpenOrReadyDoesNothing) {
  std::string path = Dir() + "/never.mdb";
  std::filesystem::remove(path);
  std::string conn = "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + path;
  {
    CLogITDbAcc acc;
    EXPECT_EQ(acc.ExecuteSql("CREATE TABLE X (A integer)"), 1);  // before OpenDatabase
    EXPECT_EQ(acc.IsNotReady(), 1);
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_EQ(acc.OpenDatabase(conn.c_str(), ""), 1);  // a missing file is not made by opening
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_NE(std::string(acc.GetLastErrorText()), "");
    ASSERT_EQ(acc.CreateDatabase(conn.c_str(), ""), 0);
    EXPECT_EQ(acc.TableExists("X"), 1);                       // open, not ready
    EXPECT_EQ(acc.NewTable("X", "ID", "integer", 0), 0);      // open, not ready: nothing made
    EXPECT_EQ(acc.SetReady("any", nullptr), 0);
    EXPECT_EQ(acc.IsNotReady(), 0);
    EXPECT_EQ(acc.TableExists("X"), 1);
    long n = -1;
    ASSERT_EQ(acc.GetTableCount(&n), 0);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(acc.Close(), 0);
    EXPECT_EQ(acc.TableExists("X"), 1);
    EXPECT_EQ(acc.ExecuteSql("SELECT 1"), 1);
  }
}

TEST(CatalogAcc, StatementsAndTablesOnARealFile) {
  std::string conn = NewJetFile("cat.mdb");
  CLogITDbAcc acc;
  ASSERT_EQ(acc.OpenDatabase(conn.c_str(), ""), 0);
  ASSERT_EQ(acc.SetReady(nullptr, nullptr), 0);
  EXPECT_EQ(acc.ExecuteSql("CREATE TABLE LOGGERS (sLoggerName char(100))"), 0);
  // A failed statement reports and leaves the catalog usable.
  EXPECT_EQ(acc.ExecuteSql("CREATE TABLE LOGGERS (sLoggerName char(100))"), 1);
  EXPECT_NE(std::string(acc.GetLastErrorText()).find("already exists"), std::string::npos);
  EXPECT_EQ(acc.ExecuteSql("INSERT INTO LOGGERS VALUES ('a')"), 0);
  EXPECT_EQ(acc.TableExists("loggers"), 0);

  const char* names[3] = {"ID", "Name", "Value"};
  const char* types[3] = {"integer", "varchar", "float"};
  const int sizes[3] = {0, 50, 0};
  ASSERT_EQ(acc.CreateTable("Made", names, types, sizes, 3, 0), 0);
  ASSERT_EQ(acc.NewTable("Built", "ID", "integer", 0), 0);
  ASSERT_EQ(acc.AppendColumn("Text", "varchar", 40), 0);
  EXPECT_EQ(acc.SetColumnProperty("ID", "AutoIncrement", Variant::Bool(true)), 0);
  EXPECT_EQ(acc.SetColumnProperty("Nope", "AutoIncrement", Variant::Bool(true)), 1);
  long n = 0;
  ASSERT_EQ(acc.GetTableCount(&n), 0);
  EXPECT_EQ(n, 3);
  // Both AutoIncrement columns number their rows.
  EXPECT_EQ(acc.ExecuteSql("INSERT INTO Made (Name) VALUES ('x')"), 0);
  EXPECT_EQ(acc.ExecuteSql("INSERT INTO Built (Text) VALUES ('y')"), 0);
  ado::Connection c;
  c.Open(conn, "", "", -1);
  ado::Recordset rs;
  rs.Open("SELECT ID FROM Built", &c, 3, 1, 1);
  EXPECT_EQ(rs.GetField(0).AsInt(), 1);
  EXPECT_EQ(acc.CreateTable("Made", names, types, sizes, 3, -1), CLogITDbAcc::kCreateFailed);
}

}  // namespace

namespace {

std::mutex g_traceLock;
std::string g_trace;
void CaptureTrace(const char* text) {
  std::lock_guard<std::mutex> g(g_traceLock);
  g_trace += text;
  g_trace += '\n';
}
size_t Count(const std::string& hay, const std::string& needle) {
  size_t n = 0;
  for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1)) ++n;
  return n;
}

TEST(DataAccTrace, OneTraceLinePerFailureAndNoneForARefusedAddNew) {
  plat::HKEY k = nullptr;
  ASSERT_EQ(plat::RegCreateKeyEx(plat::HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillomatic\\Coordinatrix", 0,
                                 plat::KEY_ALL_ACCESS, &k, nullptr), 0u);
  ASSERT_EQ(plat::RegSetValueEx(k, "lg_Debug", plat::REG_SZ, "ON", 3), 0u);
  plat::RegCloseKey(k);
  plat::SetDebugOutputHook(CaptureTrace);
  Dbg_CreateTrace("lg");

  ado::RecordingProvider rec({"SQLOLEDB"});
  rec.FailOn("BROKEN", int32_t(0x80040E14), "Incorrect syntax near 'BROKEN'.", 1);
  rec.AnswerRows("SELECT", {"A"}, {{Variant::Int(1)}});
  CLogITDbDataAcc acc;
  ASSERT_EQ(acc.Connect("Provider=SQLOLEDB;", "", -1), 0);
  EXPECT_EQ(acc.Open("BROKEN", 3, 3, 1), CLogITDbDataAcc::kOpenFailed);
  ASSERT_EQ(acc.Open("SELECT A FROM T", 3, 1, 1), 0);
  EXPECT_EQ(acc.AddNew(), CLogITDbDataAcc::kAddNewFailed);
  std::string trace;
  {
    std::lock_guard<std::mutex> g(g_traceLock);
    trace = g_trace;
  }
  Dbg_DestroyTrace();
  plat::SetDebugOutputHook(nullptr);
  EXPECT_EQ(Count(trace, "COM Exeption: Recording \t : Incorrect syntax near 'BROKEN'."), 1u) << trace;
  EXPECT_EQ(Count(trace, "COM Exeption"), 1u) << trace;
  // Open writes its source text first.
  EXPECT_EQ(Count(trace, "SELECT A FROM T"), 1u) << trace;
}

}  // namespace
