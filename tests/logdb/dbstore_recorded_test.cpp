// The ADO log store and collection against the recording provider: the
// statements they send where the choice of statement is the behaviour
// (the remote retry, the date-literal styles, the TOP fallback, the
// replication hooks of a new and of a dropped run).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "logdb/ado/recording.h"
#include "logdb/dbcollection.h"
#include "logdb/dbstore.h"
#include "support/log_header.h"

namespace {

using ado::Variant;

const std::string kDb = "Provider=SQLOLEDB;Data Source=SRV1;Initial Catalog=LOGS";

bool Has(const std::vector<std::string>& all, const std::string& text) {
  for (const auto& s : all)
    if (s == text) return true;
  return false;
}

int CountOf(const std::vector<std::string>& all, const std::string& part) {
  int n = 0;
  for (const auto& s : all) n += s.find(part) != std::string::npos;
  return n;
}

LogHeader OneChannel() {
  LogHeader h{};
  h.marker = kLogHeaderMarker;
  h.start = TimeStamp{1709640000, 0, 0};
  testsupport::AddLogBlock(h, "AI", 1, 1);
  return h;
}

TEST(DbStoreRecorded, RemoteRetryOnlyWithAServerAndNeverTwice) {
  ado::RecordingProvider rec({"SQLOLEDB", "MS REMOTE"});
  // The direct connection fails (the rule answers connects of the plain
  // string only: it is the whole string).
  auto refuseDirect = [&](int times) {
    ado::RecordingProvider::Rule r;
    r.match = "Provider=SQLOLEDB;Data Source=X";
    r.onConnect = true;
    r.times = times;
    r.fails = true;
    r.error = ado::ComError{int32_t(0x80004005), "Recording", "[DBNETLIB] SQL Server does not exist"};
    rec.AddRule(r);
  };
  refuseDirect(1);
  rec.AnswerRows("select sTablePrefix from LOGGERS where sLoggerName = 'L' AND nLoggerSequence = 7",
                 {"sTablePrefix"}, {{Variant::Text("L_00000007_ more")}});
  const char* location = "Provider=SQLOLEDB;Data Source=X;LoggerName=L;LoggerSeq=00000007";
  {
    CLogDbStore s;
    EXPECT_EQ(s.Open(nullptr, location, 0x80000000u), -1);
    EXPECT_STREQ(s.GetErrorSummary(), "CAN'T OPEN DATABASE");
    EXPECT_STREQ(s.GetErrorDetail(), "[DBNETLIB] SQL Server does not exist");
  }
  auto connects = [&] {
    std::vector<std::string> out;
    for (const auto& e : rec.Journal())
      if (e.sql.empty()) out.push_back(e.connection);
    return out;
  };
  EXPECT_EQ(connects(), std::vector<std::string>{"Provider=SQLOLEDB;Data Source=X"});
  rec.Clear();
  refuseDirect(1);
  CLogDbStore s;
  ASSERT_EQ(s.Open("WEB1", location, 0x80000000u), 0) << s.GetErrorSummary();
  const std::string remote = "PROVIDER=MS REMOTE;REMOTE SERVER=HTTP://WEB1;REMOTE Provider=SQLOLEDB;Data Source=X";
  EXPECT_EQ(connects(), (std::vector<std::string>{"Provider=SQLOLEDB;Data Source=X", remote}));
  char name[512];
  int size = sizeof name;
  s.GetName(name, &size);
  EXPECT_EQ(std::string(name), remote + ";LoggerName=L;LoggerSeq=00000007");
  EXPECT_EQ(size, int(strlen(name)) + 1);
  char prefix[CLogDbStore::kMaxName];
  s.GetTablePrefix(prefix, nullptr);
  EXPECT_STREQ(prefix, "L_00000007_");
  // A location that is remote already is not wrapped again.
  rec.Clear();
  rec.FailConnect("MS REMOTE", int32_t(0x80004005), "Internet Server error");
  CLogDbStore again;
  EXPECT_EQ(again.Open("WEB1", (remote + ";LoggerName=L;LoggerSeq=00000007").c_str(), 0x80000000u), -1);
  EXPECT_EQ(connects().size(), 1u);
}

TEST(DbStoreRecorded, DateLiteralStylesArePinned) {
  ado::RecordingProvider rec({"SQLOLEDB", "Microsoft.Jet.OLEDB.4.0"});
  // The { ts } form with dashes is refused by this server.
  rec.FailOn("{ ts '2024-", int32_t(0x80040E14), "Syntax error converting datetime");
  rec.AnswerRows("select sTablePrefix", {"sTablePrefix"}, {{Variant::Text("P_")}});
  rec.AnswerRows("SELECT COUNT(*)", {"n"}, {{Variant::Int(4)}});
  TimeStamp from{1709640000, 250, 0}, to{1709643600, 0, 0};
  {
    // Jet: the #month/day/year# form from the first statement on.
    CLogDbStore jet;
    ASSERT_EQ(jet.Open(nullptr, "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=x;LoggerName=P;LoggerSeq=1",
                       0x80000000u),
              0);
    rec.Clear();
    EXPECT_EQ(jet.CountRecords(&from, &to, nullptr), 4);
    EXPECT_EQ(rec.Statements(), std::vector<std::string>{
                                    "SELECT COUNT(*) FROM P_DATA WHERE ((DT = #03/05/2024 12:00:00# AND MS > 250) OR DT > "
                                    "#03/05/2024 12:00:00#)  AND ((DT = #03/05/2024 13:00:00# AND MS < 0) OR DT < "
                                    "#03/05/2024 13:00:00#) "});
  }
  // Another provider: { ts } with dashes first; when that fails, with
  // slashes, which then stays.
  CLogDbStore s;
  ASSERT_EQ(s.Open(nullptr, (kDb + ";LoggerName=P;LoggerSeq=1").c_str(), 0xC0000000u), 0);
  rec.Clear();
  EXPECT_EQ(s.CountRecords(&from, nullptr, nullptr), 4);
  EXPECT_EQ(s.CountRecords(nullptr, &to, nullptr), 4);
  auto st = rec.Statements();
  ASSERT_EQ(st.size(), 3u);
  EXPECT_EQ(st[0], "SELECT COUNT(*) FROM P_DATA WHERE ((DT = { ts '2024-03-05 12:00:00.000' } AND MS > 250) OR DT > "
                   "{ ts '2024-03-05 12:00:00.000' }) ");
  EXPECT_EQ(st[1], "SELECT COUNT(*) FROM P_DATA WHERE ((DT = { ts '2024/03/05 12:00:00.000' } AND MS > 250) OR DT > "
                   "{ ts '2024/03/05 12:00:00.000' }) ");
  EXPECT_NE(st[2].find("{ ts '2024/03/05 13:00:00.000' }"), std::string::npos) << st[2];
  rec.Clear();
  s.DeleteRecords(nullptr, &to);
  EXPECT_EQ(rec.Statements(), std::vector<std::string>{
                                  "DELETE FROM P_DATA WHERE ((DT = { ts '2024/03/05 13:00:00.000' } AND MS < 0) OR DT < "
                                  "{ ts '2024/03/05 13:00:00.000' }) "});
}

TEST(DbStoreRecorded, TopFallbackStaysUntilASelectionWorks) {
  ado::RecordingProvider rec({"SQLOLEDB"});
  rec.AnswerRows("select sTablePrefix", {"sTablePrefix"}, {{Variant::Text("P_")}});
  rec.FailOn("select TOP", int32_t(0x80040E14), "Incorrect syntax near '1'.");
  std::vector<std::vector<Variant>> rows;
  for (int i = 0; i < 3; ++i)
    rows.push_back({Variant::Date(ado::SecondsToOleDate(1709640000 + i)), Variant::Int(i * 10), Variant::Null(),
                    Variant::Real(float(i) + 0.5f), Variant::Null()});
  rec.AnswerRows("* from P_DATA", {"DT", "MS", "TX", "AI1", "TP"}, rows);
  rec.AnswerRows("SELECT TOP 2 * FROM P_DATA", {"DT", "MS", "TX", "AI1", "TP"}, rows);
  CLogDbStore s;
  ASSERT_EQ(s.Open(nullptr, (kDb + ";LoggerName=P;LoggerSeq=1").c_str(), 0x80000000u), 0);
  LogHeader h = OneChannel();
  uint8_t rec28[28];
  rec.Clear();
  ASSERT_EQ(s.ReadLog(0, &h, rec28, 28, 0, nullptr, nullptr, 1, 1), 0) << s.GetErrorSummary();
  ASSERT_EQ(s.ReadLog(1, &h, rec28, 28, 0, nullptr, nullptr, 1, 1), 0);
  float v;
  memcpy(&v, rec28 + 22, 4);
  EXPECT_EQ(v, 1.5f);
  EXPECT_EQ(rec.Statements(), (std::vector<std::string>{"select TOP 1 * from P_DATA ORDER BY DT DESC, MS DESC",
                                                         "select * from P_DATA ORDER BY DT DESC, MS DESC",
                                                         "select * from P_DATA ORDER BY DT DESC, MS DESC"}));
  // A selection that works allows TOP again.
  std::vector<uint8_t> two(2 * 28);
  EXPECT_EQ(s.SelectRecords(nullptr, nullptr, &h, two.data(), 28, 2, 0, nullptr, 0, 0), 2);
  rec.Clear();
  s.ReadLog(0, &h, rec28, 28, 0, nullptr, nullptr, 1, 0);
  EXPECT_EQ(CountOf(rec.Statements(), "select TOP 1"), 1);
}

// The engine's description comes back as the detail, kept to 999
// characters, with the operation's summary.
TEST(DbStoreRecorded, LongDescriptionsAreKeptTo999Characters) {
  ado::RecordingProvider rec({"SQLOLEDB"});
  rec.AnswerRows("select sTablePrefix", {"sTablePrefix"}, {{Variant::Text("P_")}});
  std::string description = "Invalid object name 'P_DATA'. " + std::string(1500, 'd');
  rec.FailOn("SELECT COUNT(*) FROM P_DATA", int32_t(0x80040E37), description);
  CLogDbStore s;
  ASSERT_EQ(s.Open(nullptr, (kDb + ";LoggerName=P;LoggerSeq=1").c_str(), 0x80000000u), 0);
  LogHeader h = OneChannel();
  EXPECT_EQ(s.GetNoLogs(&h), -1);
  EXPECT_STREQ(s.GetErrorSummary(), "CAN'T COUNT DATA ROWS");
  EXPECT_EQ(std::string(s.GetErrorDetail()), description.substr(0, 999));
}

// Schema answers for the statements of a new run on a server that runs
// nothing (only the recorded texts matter).
void AnswerSchema(ado::RecordingProvider& rec) {
  rec.AnswerRows("SELECT * FROM LOGGERS",
                 {"sLoggerName", "nLoggerSequence", "dStartTime", "dStopTime", "bCompleted", "sTablePrefix", "sHeader",
                  "bTagColumns", "bRowsPerChannel", "bDST", "nTimeZone", "bSigChange", "sTriggerPrefix",
                  "nTriggerNumber", "sLagPrefix", "nLagNumber", "dTextTime"},
                 {});
  rec.AnswerRows("CHANNELS",
                 {"nBlock", "sPrefix", "nChannelNumber", "sSource", "sTag", "sDescription", "nType", "sUnits",
                  "fMinScale", "fMaxScale", "sLowStateDesc", "sHighStateDesc", "sColumnName", "bLag"},
                 {});
  rec.AnswerRows("SELECT * FROM PLANT_00000001_TEXT", {"TX"}, {});
  rec.AnswerRows("_DATA WHERE 1=0", {"DT", "MS", "TX", "AI1", "TP"}, {});
}

TEST(DbStoreRecorded, NewAndDroppedRunsCarryTheirReplication) {
  ado::RecordingProvider rec({"SQLOLEDB"});
  AnswerSchema(rec);
  rec.AnswerRows("exec sp_helpmergepublication @publication", {"snapshot_jobid"},
                 {{Variant::Bytes(std::string(16, '\x01'))}});
  rec.AnswerRows("sp_help_job", {"last_run_outcome"}, {{Variant::Int(1)}});
  rec.AnswerRows("sp_helpmergesubscription", {"merge_jobid"}, {{Variant::Bytes(std::string(16, '\x02'))}});
  CLogDbCollection c;
  ASSERT_EQ(c.Open(kDb.c_str(), "", "PLANT", "", 0xC0000000u), 0);
  ASSERT_EQ(c.SetReplicationTarget("Provider=SQLOLEDB;Data Source=SRV2;Initial Catalog=COPY", 0, 0), 0);
  LogHeader h = OneChannel();
  ChannelConfig ch{};
  ChannelConfig* per[1] = {&ch};
  int32_t start = h.start.seconds;
  rec.Clear();
  CLogStore* s = c.CreateLog(&start, 0, 0, &h, "[HEADER]\r\nH\r\n[PREDEFINED]\r\nA\r\n", 0, nullptr, 0, per);
  ASSERT_NE(s, nullptr) << c.GetErrorSummary() << ": " << c.GetErrorDetail();
  auto st = rec.Statements();
  // The run's tables, exactly as the schema gives them.
  EXPECT_TRUE(Has(st, "CREATE TABLE PLANT_00000001_CHANNELS (nBlock int, sPrefix char(2), nChannelNumber integer, "
                      "sSource char(32), sTag char(32), sDescription char(32), nType int,sUnits char(12), fMinScale "
                      "real, fMaxScale real, sLowStateDesc char(32), sHighStateDesc char(32), sColumnName char(32), "
                      "bLag integer)"));
  EXPECT_TRUE(Has(st, "CREATE INDEX CH ON PLANT_00000001_CHANNELS (sPrefix, nChannelNumber)"));
  EXPECT_TRUE(Has(st, "CREATE TABLE PLANT_00000001_DATA (DT datetime, MS integer, TX varchar(255) NULL, AI1 REAL "
                      "NULL, TP float NULL)"));
  for (const char* index : {"CREATE INDEX TM ON PLANT_00000001_DATA (DT, MS)", "CREATE INDEX DT ON PLANT_00000001_DATA (DT)",
                            "CREATE INDEX MS ON PLANT_00000001_DATA (MS)", "CREATE INDEX TX ON PLANT_00000001_DATA (TX)"})
    EXPECT_TRUE(Has(st, index)) << index;
  EXPECT_TRUE(Has(st, "CREATE TABLE PLANT_00000001_TEXT (TX char(255))"));
  // Then the publication of its three tables.
  EXPECT_EQ(CountOf(st, "exec sp_addmergearticle @publication = N'PLANT_00000001_'"), 3);
  EXPECT_EQ(CountOf(st, "@article = N'PLANT_00000001_TEXT'"), 1);
  EXPECT_EQ(c.ReplicationSetUpInProgress(), 0) << c.GetErrorSummary();
  rec.Clear();
  c.CloseLog(s, nullptr, nullptr, 0);  // discarded: torn down, then dropped
  s->Destroy(1);
  st = rec.Statements();
  ASSERT_GE(st.size(), 7u);
  EXPECT_EQ(st[0].rfind("exec sp_dropmergesubscription @publication = N'PLANT_00000001_'", 0), 0u);
  EXPECT_EQ(st[1], "exec sp_dropmergepublication @publication = N'PLANT_00000001_'");
  EXPECT_EQ(st[3], "DROP TABLE PLANT_00000001_TEXT");
  EXPECT_EQ(st[4], "DROP TABLE PLANT_00000001_DATA");
  EXPECT_EQ(st[5], "DROP TABLE PLANT_00000001_CHANNELS");
  EXPECT_EQ(st[6], "select * from LOGGERS where sTablePrefix = 'PLANT_00000001_'");
}

// A run whose channel rows cannot be written leaves nothing: its LOGGERS
// row goes back with the rest of the run's rows, and its tables are dropped.
TEST(DbStoreRecorded, FailedRunRowsAreUndoneAndTablesDropped) {
  ado::RecordingProvider rec({"SQLOLEDB"});
  AnswerSchema(rec);
  rec.FailOn("(nBlock, sPrefix", int32_t(0x80040E2F), "Cannot insert the value NULL");
  CLogDbCollection c;
  ASSERT_EQ(c.Open(kDb.c_str(), "", "PLANT", "", 0xC0000000u), 0);
  LogHeader h = OneChannel();
  ChannelConfig ch{};
  ChannelConfig* per[1] = {&ch};
  int32_t start = h.start.seconds;
  rec.Clear();
  EXPECT_EQ(c.CreateLog(&start, 0, 0, &h, nullptr, 0, nullptr, 0, per), nullptr);
  EXPECT_STREQ(c.GetErrorSummary(), "CAN'T CONNECT TO DATABASE");
  EXPECT_STREQ(c.GetErrorDetail(), "Cannot insert the value NULL");
  auto st = rec.Statements();
  size_t begin = 0, logger = 0, rollback = 0;
  for (size_t i = 0; i < st.size(); ++i) {
    if (st[i] == "BEGIN TRANSACTION") begin = i;
    if (st[i].find("(sLoggerName, nLoggerSequence") != std::string::npos) logger = i;
    if (st[i] == "ROLLBACK TRANSACTION") rollback = i;
  }
  EXPECT_LT(begin, logger);
  EXPECT_LT(logger, rollback);
  EXPECT_EQ(CountOf(st, "COMMIT"), 0);
  ASSERT_GE(st.size(), 2u);
  EXPECT_EQ(st[st.size() - 2], "DROP TABLE PLANT_00000001_CHANNELS");
  EXPECT_EQ(st.back(), "DROP TABLE PLANT_00000001_DATA");
}

}  // namespace
