// Archiving of finished runs: the statements of the Jet and SQL Server
// paths through the recording provider (neither engine runs here), and the
// portable part (run selection, delete, purge) for real on SQLite and on a
// private MariaDB server, on a database of the saved-configuration schema.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "logdb/ado/recording.h"
#include "logdb/archive.h"
#include "logdb/dbdataacc.h"
#include "support/mariadb_server.h"

using ado::Variant;

namespace {

const double kCut = [] {
  double d;
  ado::TextToOleDate("2024-02-01 00:00:00", &d);
  return d;
}();

const char* const kSelect =
    "SELECT IDLogger, IDLoggerConfig, sMainTableName FROM   Loggers WHERE  (dStartTime < ?) AND (sLogName = ?)";

TEST(ArchiveRecorded, JetPathStatementsInOrder) {
  ado::RecordingProvider rec({"Microsoft.Jet.OLEDB.4.0"});
  rec.FailOn("SELECT * FROM Loggers_Arc WHERE 1=0", ado::kNoSuchTable, "no such table", 1);
  rec.AnswerRows(kSelect, {"IDLogger", "IDLoggerConfig", "sMainTableName"}, {{Variant::Int(5), Variant::Int(2), Variant::Text("RUN1")}});
  CLogITDbDataAcc acc;
  int rc = acc.ArchiveLogs(u"Provider=Microsoft.Jet.OLEDB.4.0;Data Source='C:\\log.mdb';User ID=admin;Password=pw",
                           u"Provider=Microsoft.Jet.OLEDB.4.0;Data Source=arc.mdb", u"LOG\u00e91", kCut);
  ASSERT_EQ(rc, 0) << acc.GetLastErrorText();
  const std::string ref = "'C:\\log.mdb'";
  const std::vector<std::string> expected = {
      "SELECT * FROM Loggers_Arc WHERE 1=0",
      "SELECT * INTO Loggers_Arc FROM Loggers IN " + ref + " WHERE 1=0",
      "SELECT * FROM SavedLoggerConfig_Arc WHERE 1=0",
      "SELECT * FROM SavedLoggerTags_Arc WHERE 1=0",
      "SELECT * FROM SavedOPCServers_Arc WHERE 1=0",
      kSelect,
      "SELECT * FROM RUN1_Arc WHERE 1=0",
      "INSERT INTO RUN1_Arc SELECT * FROM RUN1 IN " + ref + " WHERE LoggerID = ? AND TS < ? AND NOT EXISTS (SELECT * FROM RUN1_Arc WHERE RUN1_Arc.LoggerID = RUN1.LoggerID AND RUN1_Arc.TS = RUN1.TS)",
      "INSERT INTO Loggers_Arc (IDLogger, IDLoggerConfig, sLogName, sComments, dStartTime, dStopTime, bCompleted, nStopReason, sMainTableName, nLogRate, nParameters) SELECT * FROM Loggers IN " + ref + " WHERE IDLogger = ? AND IDLogger NOT IN (SELECT DISTINCT IDLogger FROM Loggers_Arc)",
      "INSERT INTO SavedLoggerConfig_Arc (IDLoggerConfig, sName, sDescription) SELECT * FROM SavedLoggerConfig IN " + ref + " WHERE IDLoggerConfig = ? AND NOT EXISTS (SELECT * FROM SavedLoggerConfig_Arc WHERE IDLoggerConfig = ?)",
      "INSERT INTO SavedLoggerTags_Arc SELECT * FROM SavedLoggerTags IN " + ref + " WHERE IDLoggerConfig = ? AND NOT EXISTS (SELECT * FROM SavedLoggerTags_Arc WHERE IDLoggerConfig = ?)",
      "INSERT INTO SavedOPCServers_Arc (IDOPCServer, sOPCNode, sOPCServer) SELECT * FROM SavedOPCServers IN " + ref + " WHERE IDOPCServer IN (SELECT DISTINCT IDOPCServer FROM SavedLoggerTags WHERE IDLoggerConfig = ?) AND IDOPCServer NOT IN (SELECT IDOPCServer FROM SavedOPCServers_Arc)",
      "DELETE FROM RUN1 WHERE LoggerID = ? AND TS < ?",
      "DELETE FROM Loggers WHERE IDLogger = ? AND bCompleted <> 0 AND NOT EXISTS (SELECT * FROM RUN1 WHERE LoggerID = ?) AND dStopTime < ?",
      "DELETE FROM SavedLoggerConfig WHERE IDLoggerConfig NOT IN (SELECT DISTINCT IDLoggerConfig FROM Loggers)",
      "DELETE FROM SavedLoggerTags WHERE IDLoggerConfig NOT IN (SELECT DISTINCT IDLoggerConfig FROM SavedLoggerConfig)",
      "DELETE FROM SavedOPCServers WHERE IDOPCServer NOT IN (SELECT DISTINCT IDOPCServer FROM SavedLoggerTags)",
  };
  EXPECT_EQ(rec.Statements(), expected);
  auto journal = rec.Journal();
  // One connection, on the first string with the logon keys renamed.
  ASSERT_FALSE(journal.empty());
  EXPECT_EQ(journal[0].connection, "Provider=Microsoft.Jet.OLEDB.4.0;Data Source='C:\\log.mdb';uid=admin;pwd=pw");
  int connects = 0;
  for (const auto& e : journal) connects += e.sql.empty();
  EXPECT_EQ(connects, 1);
  // Parameters in order: the selection gets the cut time and the log name
  // (UTF-16 made Windows-1252); the run delete gets id, id, cut.
  for (const auto& e : journal) {
    if (e.sql == kSelect) {
      ASSERT_EQ(e.params.size(), 2u);
      EXPECT_EQ(e.params[0].vt, ado::VT_DATE);
      EXPECT_EQ(e.params[1].s, "LOG\xE9" "1");
    }
    if (e.sql.rfind("DELETE FROM Loggers", 0) == 0) {
      ASSERT_EQ(e.params.size(), 3u);
      EXPECT_EQ(e.params[0].i, 5);
      EXPECT_EQ(e.params[1].i, 5);
      EXPECT_EQ(e.params[2].d, kCut);
    }
    if (e.sql.rfind("INSERT INTO SavedLoggerConfig_Arc", 0) == 0) {
      ASSERT_EQ(e.params.size(), 2u);
      EXPECT_EQ(e.params[0].i, 2);
    }
  }
}

TEST(ArchiveRecorded, PathChoiceAndSqlServerForms) {
  ado::RecordingProvider rec({"SQLOLEDB"});
  rec.AnswerRows(kSelect, {"IDLogger", "IDLoggerConfig", "sMainTableName"}, {{Variant::Int(7), Variant::Int(3), Variant::Text("D")}});
  struct Case {
    std::u16string archive;
    bool jet;
  } cases[] = {
      {u"Provider=SQLOLEDB;Data Source=srv;Initial Catalog=Arc", false},
      {u"Provider=Microsoft.jet.OLEDB.4.0;Data Source=a.mdb", true},
      {u"Provider=Microsoft.JET.OLEDB.4.0;Data Source=a.mdb", false},  // the test is "Jet" or "jet" only
  };
  for (const auto& c : cases) {
    rec.Clear();
    CLogITDbDataAcc acc;
    ASSERT_EQ(acc.ArchiveLogs(u"Provider=SQLOLEDB;Data Source=srv;Initial Catalog=Log", c.archive, u"L", kCut), 0);
    bool sawIn = false, sawDbo = false;
    for (const auto& s : rec.Statements()) {
      sawIn |= s.find(" IN srv ") != std::string::npos;
      sawDbo |= s.find(".dbo.") != std::string::npos;
    }
    EXPECT_EQ(sawIn, c.jet);
    EXPECT_EQ(sawDbo, !c.jet);
  }
  // Same server: identity wrappers and the batches.
  auto s = rec.Statements();
  auto has = [&](const std::string& text) { return std::find(s.begin(), s.end(), text) != s.end(); };
  (void)has;
  rec.Clear();
  CLogITDbDataAcc acc;
  ASSERT_EQ(acc.ArchiveLogs(u"Provider=SQLOLEDB;Data Source=srv;Initial Catalog=Log",
                            u"Provider=SQLOLEDB;Data Source=srv;Initial Catalog=Arc", u"L", kCut), 0);
  s = rec.Statements();
  EXPECT_TRUE(has("SET IDENTITY_INSERT Arc.dbo.Loggers_Arc ON INSERT INTO Arc.dbo.Loggers_Arc (IDLogger, IDLoggerConfig, sLogName, sComments, dStartTime, dStopTime, bCompleted, nStopReason, sMainTableName, nLogRate, nParameters) SELECT * FROM Loggers WHERE IDLogger = ? AND IDLogger NOT IN (SELECT DISTINCT IDLogger FROM Arc.dbo.Loggers_Arc) SET IDENTITY_INSERT Arc.dbo.Loggers_Arc OFF"));
  EXPECT_TRUE(has("INSERT INTO Arc.dbo.D_Arc SELECT * FROM D AS S WHERE LoggerID = ? AND TS < ? AND NOT EXISTS (SELECT * FROM Arc.dbo.D_Arc AS A WHERE A.LoggerID = S.LoggerID AND A.TS = S.TS)"));
  EXPECT_TRUE(has("DELETE FROM D WHERE LoggerID = ? AND TS < ? DELETE FROM Loggers WHERE IDLogger = ? AND dStopTime < ? AND bCompleted <> 0 AND NOT EXISTS (SELECT * FROM D WHERE LoggerID = ?)"));
  EXPECT_TRUE(has("DELETE FROM SavedLoggerConfig WHERE IDLoggerConfig NOT IN (SELECT DISTINCT IDLoggerConfig FROM Loggers) DELETE FROM SavedLoggerTags WHERE IDLoggerConfig NOT IN (SELECT DISTINCT IDLoggerConfig FROM SavedLoggerConfig) DELETE FROM SavedOPCServers WHERE IDOPCServer NOT IN (SELECT DISTINCT IDOPCServer FROM SavedLoggerTags)"));
  // Another server: sources through OPENROWSET, plain forms.
  rec.Clear();
  ASSERT_EQ(acc.ArchiveLogs(u"Provider=SQLOLEDB;Data Source=srv;Initial Catalog=Log",
                            u"Provider=SQLOLEDB;Data Source=other;Initial Catalog=Arc", u"L", kCut), 0);
  s = rec.Statements();
  EXPECT_TRUE(has("INSERT INTO Arc.dbo.Loggers_Arc (IDLogger, IDLoggerConfig, sLogName, sComments, dStartTime, dStopTime, bCompleted, nStopReason, sMainTableName, nLogRate, nParameters) SELECT * FROM OPENROWSET ('SQLOLEDB', 'Provider=SQLOLEDB;Data Source=srv;Initial Catalog=Log', Log.dbo.Loggers) WHERE IDLogger = ? AND IDLogger NOT IN (SELECT DISTINCT IDLogger FROM Arc.dbo.Loggers_Arc)"));
}

TEST(ArchiveRecorded, AFailedStepEndsTheArchivingBeforeAnyDelete) {
  ado::RecordingProvider rec({"SQLOLEDB"});
  rec.AnswerRows(kSelect, {"IDLogger", "IDLoggerConfig", "sMainTableName"},
                 {{Variant::Int(1), Variant::Int(1), Variant::Text("A")}, {Variant::Int(2), Variant::Int(1), Variant::Text("B")}});
  rec.FailOn("INSERT INTO Arc.dbo.SavedLoggerTags_Arc", ado::kErrorsInCommand, "copy refused", 1);
  CLogITDbDataAcc acc;
  EXPECT_EQ(acc.ArchiveLogs(u"Provider=SQLOLEDB;Data Source=srv;Initial Catalog=Log",
                            u"Provider=SQLOLEDB;Data Source=srv;Initial Catalog=Arc", u"L", kCut),
            int(0x80004005));
  for (const auto& s : rec.Statements()) {
    EXPECT_EQ(s.find("DELETE"), std::string::npos) << s;
    EXPECT_EQ(s.find("FROM B "), std::string::npos) << "second run touched: " << s;
  }
  // A connection that cannot open is reported through the object.
  rec.FailConnect("Initial Catalog=Down", ado::kEFail, "server does not exist");
  EXPECT_EQ(acc.ArchiveLogs(u"Provider=SQLOLEDB;Initial Catalog=Down", u"x", u"L", kCut), int(0x80004005));
  EXPECT_STREQ(acc.GetLastErrorText(), "server does not exist");
}

// ---- the portable part, for real ------------------------------------------

// A logging database of the saved-configuration schema: runs 1 (finished
// before the cut), 2 (still open), 3 (stopped after the cut) of "LOG1" and 4
// of another log; configurations 10-12 used, 13 not; tags and servers.
void MakeSchema(ado::Connection* c) {
  for (const char* ddl : {
           "CREATE TABLE Loggers (IDLogger integer, IDLoggerConfig integer, sLogName varchar(100), sComments varchar(100), "
           "dStartTime datetime, dStopTime datetime, bCompleted integer, nStopReason integer, sMainTableName varchar(100), "
           "nLogRate integer, nParameters integer)",
           "CREATE TABLE SavedLoggerConfig (IDLoggerConfig integer, sName varchar(50), sDescription varchar(50))",
           "CREATE TABLE SavedLoggerTags (IDLoggerConfig integer, IDOPCServer integer, sTag varchar(50))",
           "CREATE TABLE SavedOPCServers (IDOPCServer integer, sOPCNode varchar(50), sOPCServer varchar(50))",
           "CREATE TABLE RUN1 (LoggerID integer, TS datetime, V float)",
           "CREATE TABLE RUN2 (LoggerID integer, TS datetime, V float)",
           // 1: finished before the cut; 2: still open; 3: stopped after the
           // cut; 4: another log name.
           "INSERT INTO Loggers VALUES (1, 10, 'LOG1', '', '2024-01-01 00:00:00', '2024-01-02 00:00:00', 1, 0, 'RUN1', 1, 0)",
           "INSERT INTO Loggers VALUES (2, 10, 'LOG1', '', '2024-01-05 00:00:00', NULL, 0, 0, 'RUN1', 1, 0)",
           "INSERT INTO Loggers VALUES (3, 11, 'LOG1', '', '2024-01-03 00:00:00', '2024-03-01 00:00:00', 1, 0, 'RUN2', 1, 0)",
           "INSERT INTO Loggers VALUES (4, 12, 'OTHER', '', '2024-01-01 00:00:00', '2024-01-02 00:00:00', 1, 0, 'RUN2', 1, 0)",
           "INSERT INTO SavedLoggerConfig VALUES (10, 'a', ''), (11, 'b', ''), (12, 'c', ''), (13, 'orphan', '')",
           "INSERT INTO SavedLoggerTags VALUES (10, 100, 't'), (11, 101, 't'), (13, 102, 't'), (99, 103, 't')",
           "INSERT INTO SavedOPCServers VALUES (100, 'n', 's'), (101, 'n', 's'), (102, 'n', 's'), (103, 'n', 's'), (104, 'n', 's')",
           "INSERT INTO RUN1 VALUES (1, '2024-01-01 10:00:00', 1), (1, '2024-01-02 00:00:00', 2), "
           "(2, '2024-01-06 00:00:00', 3), (2, '2024-02-05 00:00:00', 4)",
           "INSERT INTO RUN2 VALUES (3, '2024-01-04 00:00:00', 5), (3, '2024-02-10 00:00:00', 6), (4, '2024-01-01 00:00:00', 7)",
       })
    c->Execute(ddl, 1);
}


enum class Engine { kSqlite, kMariaDb };

class ArchiveReal : public ::testing::TestWithParam<Engine> {};

TEST_P(ArchiveReal, SelectionDeleteAndPurgeKeepWhatIsStillUsed) {
  std::string conn;
  if (GetParam() == Engine::kSqlite) {
    std::string dir = std::string(std::getenv("CDXPLAT_ROOT")) + "/arc";
    std::filesystem::create_directories(dir);
    std::string path = dir + "/log.mdb";
    std::filesystem::remove(path);
    conn = "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + path;
    ado::Catalog cat;
    cat.Create(conn);
  } else {
    NEED_MARIADB(server);
    conn = server->AdoConnection(server->NewDatabase());
  }
  ado::Connection c;
  c.Open(conn, "", "", -1);
  MakeSchema(&c);

  ado::ResultSet runs;
  ASSERT_EQ(arc::SelectRuns(&c, "LOG1", kCut, &runs), 0);
  std::vector<long> ids;
  for (auto& row : runs.rows) {
    ids.push_back(long(row[0].AsInt()));
    ASSERT_EQ(arc::ArcDeleteJet(&c, long(row[0].AsInt()), row[2].AsText(), kCut), 0);
  }
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(ids, (std::vector<long>{1, 2, 3}));
  ASSERT_EQ(arc::ArcPurgeJet(&c), 0);

  auto column = [&](const std::string& sql) {
    ado::ResultSet r;
    c.Execute(sql, 1, &r);
    std::vector<int64_t> out;
    for (auto& row : r.rows) out.push_back(row[0].AsInt());
    return out;
  };
  // Only the finished run stopped before the cut lost its row; the open run
  // and the one stopped later keep theirs, with their later samples.
  EXPECT_EQ(column("SELECT IDLogger FROM Loggers ORDER BY IDLogger"), (std::vector<int64_t>{2, 3, 4}));
  EXPECT_EQ(column("SELECT V FROM RUN1 ORDER BY V"), (std::vector<int64_t>{4}));
  EXPECT_EQ(column("SELECT V FROM RUN2 ORDER BY V"), (std::vector<int64_t>{6, 7}));
  // The configuration no run uses went, then its tags and the orphan tag,
  // then every server no tag uses.
  EXPECT_EQ(column("SELECT IDLoggerConfig FROM SavedLoggerConfig ORDER BY 1"), (std::vector<int64_t>{10, 11, 12}));
  EXPECT_EQ(column("SELECT IDOPCServer FROM SavedLoggerTags ORDER BY 1"), (std::vector<int64_t>{100, 101}));
  EXPECT_EQ(column("SELECT IDOPCServer FROM SavedOPCServers ORDER BY 1"), (std::vector<int64_t>{100, 101}));
}

INSTANTIATE_TEST_SUITE_P(Engines, ArchiveReal, ::testing::Values(Engine::kSqlite, Engine::kMariaDb),
                         [](const ::testing::TestParamInfo<Engine>& p) { return p.param == Engine::kSqlite ? "SQLite" : "MariaDB"; });

// ---- Jet archiving on the SQLite stand-in, end to end ----------------------

class ArchiveJet : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::string(std::getenv("CDXPLAT_ROOT")) + "/jet-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::filesystem::create_directories(dir_);
    path_ = dir_ + "/log.mdb";
    conn_ = "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=\"" + path_ + "\"";
    ado::Catalog cat;
    cat.Create(conn_);
    c_.Open(conn_, "", "", -1);
    MakeSchema(&c_);
  }
  std::vector<std::string> Column(const std::string& sql) {
    ado::ResultSet r;
    c_.Execute(sql, 1, &r);
    std::vector<std::string> out;
    for (auto& row : r.rows) out.push_back(row[0].AsText());
    return out;
  }
  using Texts = std::vector<std::string>;
  std::string dir_, path_, conn_;
  ado::Connection c_;
};

TEST_F(ArchiveJet, RunsMoveIntoTheArchiveTablesOnce) {
  std::u16string conn(conn_.begin(), conn_.end());
  // "jet" in lower case in the second string selects the Jet path.
  const std::u16string second = u"provider=microsoft.jet.oledb.4.0;data source=arc";
  CLogITDbDataAcc acc;
  ASSERT_EQ(acc.ArchiveLogs(conn, second, u"LOG1", kCut), 0) << acc.GetLastErrorText();

  // Every run of LOG1 that started before the cut is copied with its
  // samples before the cut, its configuration, tags and servers.
  EXPECT_EQ(Column("SELECT IDLogger FROM Loggers_Arc ORDER BY 1"), (Texts{"1", "2", "3"}));
  EXPECT_EQ(Column("SELECT V FROM RUN1_Arc ORDER BY V"), (Texts{"1", "2", "3"}));
  EXPECT_EQ(Column("SELECT V FROM RUN2_Arc ORDER BY V"), (Texts{"5"}));
  EXPECT_EQ(Column("SELECT IDLoggerConfig FROM SavedLoggerConfig_Arc ORDER BY 1"), (Texts{"10", "11"}));
  EXPECT_EQ(Column("SELECT IDOPCServer FROM SavedLoggerTags_Arc ORDER BY 1"), (Texts{"100", "101"}));
  EXPECT_EQ(Column("SELECT IDOPCServer FROM SavedOPCServers_Arc ORDER BY 1"), (Texts{"100", "101"}));
  // The archive tables keep the sources' column types: dates read as dates.
  ado::ResultSet r;
  c_.Execute("SELECT dStartTime, TS FROM Loggers_Arc, RUN1_Arc WHERE IDLogger = 1 AND LoggerID = 1", 1, &r);
  ASSERT_FALSE(r.rows.empty());
  EXPECT_EQ(r.rows[0][0].vt, ado::VT_DATE);
  EXPECT_EQ(r.rows[0][1].vt, ado::VT_DATE);

  // The source keeps the open run and the one stopped after the cut, with
  // their later samples; the purge took the configuration no run uses, its
  // tags and the servers no tag uses.
  EXPECT_EQ(Column("SELECT IDLogger FROM Loggers ORDER BY 1"), (Texts{"2", "3", "4"}));
  EXPECT_EQ(Column("SELECT V FROM RUN1 ORDER BY V"), (Texts{"4"}));
  EXPECT_EQ(Column("SELECT V FROM RUN2 ORDER BY V"), (Texts{"6", "7"}));
  EXPECT_EQ(Column("SELECT IDLoggerConfig FROM SavedLoggerConfig ORDER BY 1"), (Texts{"10", "11", "12"}));
  EXPECT_EQ(Column("SELECT IDOPCServer FROM SavedOPCServers ORDER BY 1"), (Texts{"100", "101"}));

  // Archiving again copies nothing twice: the runs already archived are
  // passed over and their rows stay single.
  ASSERT_EQ(acc.ArchiveLogs(conn, second, u"LOG1", kCut), 0) << acc.GetLastErrorText();
  EXPECT_EQ(Column("SELECT IDLogger FROM Loggers_Arc ORDER BY 1"), (Texts{"1", "2", "3"}));
  EXPECT_EQ(Column("SELECT V FROM RUN1_Arc ORDER BY V"), (Texts{"1", "2", "3"}));
  EXPECT_EQ(Column("SELECT IDLoggerConfig FROM SavedLoggerConfig_Arc ORDER BY 1"), (Texts{"10", "11"}));
  EXPECT_EQ(Column("SELECT IDOPCServer FROM SavedOPCServers_Arc ORDER BY 1"), (Texts{"100", "101"}));

  // "JET" in upper case is not the Jet path: the SQL Server statements
  // fail here, and nothing is archived or deleted.
  EXPECT_EQ(acc.ArchiveLogs(conn, u"Provider=JET", u"LOG1", kCut), int(0x80004005));
  EXPECT_EQ(Column("SELECT IDLogger FROM Loggers ORDER BY 1"), (Texts{"2", "3", "4"}));

  // A later cut: the samples the runs logged since are copied too before
  // they leave the source (a run already in the archive is not passed over
  // whole), and the run stopped before the new cut goes.
  double later;
  ado::TextToOleDate("2024-03-15 00:00:00", &later);
  ASSERT_EQ(acc.ArchiveLogs(conn, second, u"LOG1", later), 0) << acc.GetLastErrorText();
  EXPECT_EQ(Column("SELECT V FROM RUN1_Arc ORDER BY V"), (Texts{"1", "2", "3", "4"}));
  EXPECT_EQ(Column("SELECT V FROM RUN2_Arc ORDER BY V"), (Texts{"5", "6"}));
  EXPECT_TRUE(Column("SELECT V FROM RUN1").empty());
  EXPECT_EQ(Column("SELECT V FROM RUN2 ORDER BY V"), (Texts{"7"}));
  EXPECT_EQ(Column("SELECT IDLogger FROM Loggers ORDER BY 1"), (Texts{"2", "4"}));
  EXPECT_EQ(Column("SELECT IDLogger FROM Loggers_Arc ORDER BY 1"), (Texts{"1", "2", "3"}));
}

TEST_F(ArchiveJet, TableCopiesInTheDatabaseAndIntoAnother) {
  // Straight copies: into a new table, then more rows into it.
  ASSERT_EQ(arc::JetCopyRows(&c_, "RUN1", "COPY1", "", "LoggerID = 1", nullptr, "", ""), 0);
  EXPECT_EQ(Column("SELECT V FROM COPY1 ORDER BY V"), (Texts{"1", "2"}));
  ASSERT_EQ(arc::JetCopyRows(&c_, "RUN1", "COPY1", "", "LoggerID = 2", nullptr, "", ""), 0);
  EXPECT_EQ(Column("SELECT V FROM COPY1 ORDER BY V"), (Texts{"1", "2", "3", "4"}));

  // Through the staging table: rows whose key the target holds are not
  // copied again; a selection of no row ends the copy with 0.
  ASSERT_EQ(arc::JetCopyRows(&c_, "SavedOPCServers", "SERVERS", "", "IDOPCServer < 102", "stage", "IDOPCServer",
                             "IDOPCServer, sOPCNode, sOPCServer"),
            0);
  EXPECT_EQ(Column("SELECT IDOPCServer FROM SERVERS ORDER BY 1"), (Texts{"100", "101"}));
  ASSERT_EQ(arc::JetCopyRows(&c_, "SavedOPCServers", "SERVERS", "", "IDOPCServer < 104", "stage", "IDOPCServer",
                             "IDOPCServer, sOPCNode, sOPCServer"),
            0);
  EXPECT_EQ(Column("SELECT IDOPCServer FROM SERVERS ORDER BY 1"), (Texts{"100", "101", "102", "103"}));
  ASSERT_EQ(arc::JetCopyRows(&c_, "SavedOPCServers", "SERVERS", "", "IDOPCServer < 104", "stage", "IDOPCServer",
                             "IDOPCServer, sOPCNode, sOPCServer"),
            0);
  EXPECT_EQ(Column("SELECT IDOPCServer FROM SERVERS ORDER BY 1"), (Texts{"100", "101", "102", "103"}));
  EXPECT_TRUE(Column("SELECT name FROM sqlite_master WHERE name = 'SERVERS_Tmp'").empty());

  // Into another database file, by path: staged, straight, and whole.
  const std::string other = dir_ + "/other.mdb";
  ado::Catalog cat;
  cat.Create("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + other);
  ASSERT_EQ(arc::JetCopyRows(&c_, "SavedOPCServers", "SERVERS", other, "IDOPCServer > 102", "stage", "IDOPCServer",
                             "IDOPCServer, sOPCNode, sOPCServer"),
            0);
  ASSERT_EQ(arc::JetCopyRows(&c_, "SavedOPCServers", "SERVERS", other, "IDOPCServer > 101", "stage", "IDOPCServer",
                             "IDOPCServer, sOPCNode, sOPCServer"),
            0);
  ASSERT_EQ(arc::JetCopyRows(&c_, "RUN2", "RUN2", other, "", nullptr, "", ""), 0);
  ASSERT_EQ(arc::JetCopyRows(&c_, "RUN2", "RUN2", other, "", nullptr, "", ""), 0);  // replaced, not doubled
  ado::Connection o;
  o.Open("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + other, "", "", -1);
  auto column = [&](const std::string& sql) {
    ado::ResultSet r;
    o.Execute(sql, 1, &r);
    Texts out;
    for (auto& row : r.rows) out.push_back(row[0].AsText());
    return out;
  };
  EXPECT_EQ(column("SELECT IDOPCServer FROM SERVERS ORDER BY IDOPCServer"), (Texts{"102", "103", "104"}));
  EXPECT_EQ(column("SELECT V FROM RUN2 ORDER BY V"), (Texts{"5", "6", "7"}));
  // The source table of the same name is untouched.
  EXPECT_EQ(Column("SELECT V FROM RUN2 ORDER BY V"), (Texts{"5", "6", "7"}));

  // A database file that does not exist is not made.
  EXPECT_EQ(arc::JetCopyRows(&c_, "RUN2", "RUN2", dir_ + "/missing.mdb", "V > 5", nullptr, "", ""), int(0x80004005));
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/missing.mdb"));

  ASSERT_EQ(arc::JetDeleteRows(&c_, "COPY1", "V > 2"), 0);
  EXPECT_EQ(Column("SELECT V FROM COPY1 ORDER BY V"), (Texts{"1", "2"}));
  EXPECT_EQ(arc::JetDeleteRows(&c_, "NOSUCHTABLE", "1=1"), int(0x80004005));
}

TEST(ArchiveFields, ConnectionFieldsAndLogonKeys) {
  EXPECT_EQ(arc::ConnDataSource("Provider=X;Data Source=\"C:\\a.mdb\";Server=s"), "\"C:\\a.mdb\"");
  EXPECT_EQ(arc::ConnDataSource("Provider=X;Server=s1"), "s1");
  EXPECT_EQ(arc::ConnDataSource("Provider=X;GServer=s1"), "");  // a key ending in the name is another key
  EXPECT_EQ(arc::ConnCatalog("Initial Catalog=c;Database=d"), "c");
  EXPECT_EQ(arc::ConnCatalog("Database=d"), "d");
  EXPECT_EQ(arc::RenameLogonKeys("User ID=a;Password=b;user id=c"), "uid=a;pwd=b;user id=c");
}

}  // namespace
