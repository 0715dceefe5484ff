// The ADO-shaped layer against real databases: one set of cases run on the
// SQLite provider (the Jet stand-in) and on a private MariaDB server.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "logdb/ado/ado.h"
#include "support/mariadb_server.h"

using ado::Variant;

namespace {

std::string TempDir() {
  const char* root = std::getenv("CDXPLAT_ROOT");
  std::string d = std::string(root) + "/ado";
  std::filesystem::create_directories(d);
  return d;
}

enum class Engine { kSqlite, kMariaDb };

class AdoEngineTest : public ::testing::TestWithParam<Engine> {
 protected:
  void SetUp() override {
    if (GetParam() == Engine::kSqlite) {
      std::string path = TempDir() + "/t.mdb";
      std::filesystem::remove(path);
      ado::Catalog cat;
      cat.Create("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=\"" + path + "\"");
      conn_ = "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=\"" + path + "\"";
    } else {
      NEED_MARIADB(server);
      conn_ = server->AdoConnection(server->NewDatabase());
    }
    c_.Open(conn_, "", "", -1);
  }
  void Exec(const std::string& sql) { c_.Execute(sql, ado::adCmdText); }

  std::string conn_;
  ado::Connection c_;
};

TEST_P(AdoEngineTest, AddNewUpdateReadDeleteRoundTrip) {
  Exec("CREATE TABLE T (DT datetime, N integer, R real, F float, S char(255))");
  ado::Recordset rs;
  rs.Open("T", &c_, ado::adOpenStatic, ado::adLockOptimistic, ado::adCmdTable);
  ASSERT_TRUE(rs.Supports(ado::adAddNew));
  EXPECT_TRUE(rs.BOF());
  EXPECT_TRUE(rs.EOF_());
  // Texts with quotes, backslash, "?" and Windows-1252 letters (e acute,
  // euro sign) survive both engines.
  const std::string texts[3] = {"it's \"quoted\" \\ ?", "caf\xE9 \x80 5", ""};
  const double date = ado::SecondsToOleDate(1709640000);  // 2024-03-05 12:00:00 UTC
  for (int i = 0; i < 3; ++i) {
    // AddNew while a row is pending saves the pending row first.
    rs.AddNew();
    rs.SetField("DT", Variant::Date(date + i / 86400.0));
    rs.SetField("N", Variant::Int(i));
    rs.SetField("R", Variant::Real(1.5f * i));
    rs.SetField("F", Variant::Double(0.1 * i));
    if (!texts[i].empty()) rs.SetField("S", Variant::Text(texts[i]));
  }
  rs.Update();
  rs.Close();

  rs.Open("SELECT * FROM T ORDER BY N", &c_, ado::adOpenStatic, ado::adLockOptimistic, ado::adCmdText);
  ASSERT_EQ(rs.RecordCount(), 3);
  for (int i = 0; i < 3; ++i, rs.MoveNext()) {
    ASSERT_FALSE(rs.EOF_());
    Variant dt = rs.GetField("DT");
    ASSERT_EQ(dt.vt, ado::VT_DATE);
    EXPECT_EQ(ado::OleDateToSeconds(dt.d), 1709640000 + i);
    EXPECT_EQ(rs.GetField(1).AsInt(), i);
    // real and float keep at least single precision (which of them is
    // 4 bytes differs between engines).
    EXPECT_FLOAT_EQ(float(rs.GetField("R").AsDouble()), 1.5f * i);
    EXPECT_FLOAT_EQ(float(rs.GetField("F").AsDouble()), float(0.1 * i));
    if (texts[i].empty())
      EXPECT_TRUE(rs.GetField("S").IsNull());
    else
      EXPECT_EQ(rs.GetField("S").AsText(), texts[i]);
  }
  EXPECT_TRUE(rs.EOF_());
  // Reading at EOF is the "no current record" error.
  try {
    rs.GetField(0);
    FAIL() << "read at EOF";
  } catch (const ado::ComError& e) {
    EXPECT_EQ(e.hresult, ado::kBofOrEof);
  }

  // A positional update changes only the row it stands on, even when
  // another row holds the same values in the columns the update does not
  // change (N and S of rows 0 and 1 made equal first).
  Exec("UPDATE T SET N = 7, S = 'same' WHERE N < 2");
  rs.Close();
  rs.Open("SELECT * FROM T WHERE N = 7 ORDER BY DT", &c_, ado::adOpenStatic, ado::adLockOptimistic, ado::adCmdText);
  ASSERT_EQ(rs.RecordCount(), 2);
  rs.MoveFirst();
  rs.SetField("S", Variant::Text("first"));
  rs.Update();
  rs.MoveNext();
  rs.Delete();
  rs.Close();
  rs.Open("SELECT N, S FROM T ORDER BY DT", &c_, ado::adOpenStatic, ado::adLockReadOnly, ado::adCmdText);
  ASSERT_EQ(rs.RecordCount(), 2);
  EXPECT_EQ(rs.GetField("S").AsText(), "first");
  rs.MoveNext();
  EXPECT_EQ(rs.GetField("N").AsInt(), 2);
  // A read-only set cannot add.
  EXPECT_FALSE(rs.Supports(ado::adAddNew));
}

TEST_P(AdoEngineTest, MovesAndCountsFollowTheCursor) {
  Exec("CREATE TABLE M (N integer)");
  for (int i = 0; i < 5; ++i) Exec("INSERT INTO M (N) VALUES (" + std::to_string(i) + ")");
  ado::Recordset rs;
  rs.Open("SELECT N FROM M ORDER BY N", &c_, ado::adOpenForwardOnly, ado::adLockReadOnly, ado::adCmdText);
  EXPECT_EQ(rs.RecordCount(), -1);  // forward-only cursors do not count
  rs.Close();
  rs.Open("SELECT N FROM M ORDER BY N", &c_, ado::adOpenStatic, ado::adLockReadOnly, ado::adCmdText);
  EXPECT_EQ(rs.RecordCount(), 5);
  rs.Move(3);
  EXPECT_EQ(rs.GetField(0).AsInt(), 3);
  rs.MoveLast();
  EXPECT_EQ(rs.GetField(0).AsInt(), 4);
  rs.MovePrevious();
  EXPECT_EQ(rs.GetField(0).AsInt(), 3);
  rs.MoveFirst();
  rs.Move(10);  // past the end: EOF, no error
  EXPECT_TRUE(rs.EOF_());
  // A statement without rows opened as a record set leaves it closed.
  ado::Recordset del;
  del.Open("DELETE FROM M WHERE N > 2", &c_, ado::adOpenStatic, ado::adLockOptimistic, ado::adCmdText);
  EXPECT_FALSE(del.IsOpen());
  rs.Close();
  rs.Open("SELECT COUNT(*) FROM M", &c_, ado::adOpenStatic, ado::adLockReadOnly, ado::adCmdText);
  EXPECT_EQ(rs.GetField(0).AsInt(), 3);
}

TEST_P(AdoEngineTest, CommandParametersAndErrors) {
  Exec("CREATE TABLE P (N integer, S varchar(255), D datetime)");
  ado::Command cmd;
  cmd.CommandText = "INSERT INTO P (N, S, D) VALUES (?, ?, ?)";
  cmd.AddParameter("Param1", Variant::Int(1));
  cmd.AddParameter("Param2", Variant::Text("a ? in 'text'"));
  cmd.AddParameter("Param3", Variant::Date(ado::SecondsToOleDate(86400 * 365)));
  cmd.Execute(&c_);
  ado::Command q;
  q.CommandText = "SELECT S FROM P WHERE D < ? AND S = ?";
  q.AddParameter("Param1", Variant::Date(ado::SecondsToOleDate(86400 * 366)));
  q.AddParameter("Param2", Variant::Text("a ? in 'text'"));
  ado::ResultSet r = q.Execute(&c_);
  ASSERT_EQ(r.rows.size(), 1u);
  EXPECT_EQ(r.rows[0][0].AsText(), "a ? in 'text'");

  struct Case {
    const char* sql;
    int32_t hresult;
  } cases[] = {
      {"SELECT * FROM Missing", ado::kNoSuchTable},
      {"SELEKT nothing", ado::kErrorsInCommand},
  };
  for (const auto& c : cases) {
    try {
      Exec(c.sql);
      ADD_FAILURE() << c.sql;
    } catch (const ado::ComError& e) {
      EXPECT_EQ(e.hresult, c.hresult) << c.sql;
      EXPECT_FALSE(e.description.empty()) << c.sql;
    }
  }
}

TEST_P(AdoEngineTest, CatalogListsAndMakesTables) {
  ado::Catalog cat;
  cat.SetActiveConnection(conn_);
  long before = cat.TableCount();
  cat.AppendTable("Made", {{"ID", "integer", 0, true}, {"Name", "varchar", 50, false}});
  EXPECT_EQ(cat.TableCount(), before + 1);
  EXPECT_TRUE(cat.HasTable("made"));
  // The AutoIncrement column numbers the rows.
  Exec("INSERT INTO Made (Name) VALUES ('a')");
  Exec("INSERT INTO Made (Name) VALUES ('b')");
  ado::Recordset rs;
  rs.Open("SELECT ID FROM Made ORDER BY ID", &c_, ado::adOpenStatic, ado::adLockReadOnly, ado::adCmdText);
  ASSERT_EQ(rs.RecordCount(), 2);
  EXPECT_EQ(rs.GetField(0).AsInt(), 1);
  rs.MoveNext();
  EXPECT_EQ(rs.GetField(0).AsInt(), 2);
}

INSTANTIATE_TEST_SUITE_P(Engines, AdoEngineTest, ::testing::Values(Engine::kSqlite, Engine::kMariaDb),
                         [](const ::testing::TestParamInfo<Engine>& p) { return p.param == Engine::kSqlite ? "SQLite" : "MariaDB"; });

// ---- SQLite specifics ----------------------------------------------------

TEST(AdoSqlite, OpeningAMissingFileFailsAndCreatesNothing) {
  std::string path = TempDir() + "/missing.mdb";
  std::filesystem::remove(path);
  ado::Connection c;
  try {
    c.Open("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + path, "", "", -1);
    FAIL();
  } catch (const ado::ComError& e) {
    EXPECT_EQ(e.hresult, ado::kEFail);
    EXPECT_NE(e.description.find(path), std::string::npos);
  }
  EXPECT_FALSE(std::filesystem::exists(path));
  try {
    c.Open("Provider=MS REMOTE;Remote Server=http://x", "", "", -1);
    FAIL();
  } catch (const ado::ComError& e) {
    EXPECT_EQ(e.hresult, ado::kProviderNotFound);
  }
}

TEST(AdoSqlite, JetAndSqlServerStatementsAreRewritten) {
  std::string path = TempDir() + "/dialect.mdb";
  std::filesystem::remove(path);
  ado::Catalog cat;
  cat.Create("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + path);
  ado::Connection c;
  c.Open("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + path, "", "", -1);
  // Index names belong to their table: the same name on two tables works.
  for (const char* t : {"ADATA", "BDATA"}) {
    c.Execute(std::string("CREATE TABLE ") + t + " (DT datetime, MS integer)", 1);
    c.Execute(std::string("CREATE INDEX DT ON ") + t + " (DT)", 1);
    c.Execute(std::string("ALTER TABLE ") + t + " ADD CONSTRAINT PK PRIMARY KEY (DT, MS)", 1);
  }
  c.Execute("INSERT INTO ADATA (DT, MS) VALUES ('2024-03-05 12:00:00', 1)", 1);
  c.Execute("INSERT INTO ADATA (DT, MS) VALUES ('2024-03-05 12:00:01', 2)", 1);
  // The key made from the constraint refuses a duplicate.
  try {
    c.Execute("INSERT INTO ADATA (DT, MS) VALUES ('2024-03-05 12:00:01', 2)", 1);
    FAIL();
  } catch (const ado::ComError& e) {
    EXPECT_EQ(e.hresult, ado::kIntegrityViolation);
  }
  struct Case {
    const char* sql;
    long rows;
  } cases[] = {
      {"SELECT TOP 1 * FROM ADATA WHERE DT > { ts '2024-03-05 11:59:59.000' } ORDER BY DT DESC", 1},
      {"SELECT * FROM ADATA WHERE DT >= { ts '2024-03-05 12:00:00.000' }", 2},
      {"SELECT * FROM ADATA WHERE DT > #03/05/2024 12:00:00#", 1},
      {"SELECT * FROM ADATA WHERE DT < '{ ts ''x'' }'", 2},  // literals inside texts stay
  };
  for (const auto& k : cases) {
    ado::Recordset rs;
    rs.Open(k.sql, &c, ado::adOpenStatic, ado::adLockReadOnly, ado::adCmdText);
    EXPECT_EQ(rs.RecordCount(), k.rows) << k.sql;
  }
  ado::Recordset top;
  top.Open("SELECT TOP 1 MS FROM ADATA ORDER BY DT DESC", &c, ado::adOpenStatic, ado::adLockReadOnly, 1);
  EXPECT_EQ(top.GetField(0).AsInt(), 2);
  // The slash form of { ts } is refused; so is TOP when switched off.
  EXPECT_THROW(c.Execute("SELECT * FROM ADATA WHERE DT > { ts '2024/03/05 12:00:00.000' }", 1), ado::ComError);
  ado::Connection noTop;
  noTop.Open("Provider=SQLite;Data Source=" + path + ";Top=No", "", "", -1);
  EXPECT_THROW(noTop.Execute("SELECT TOP 1 * FROM ADATA", 1), ado::ComError);
  // One statement per command.
  EXPECT_THROW(c.Execute("DELETE FROM ADATA; DELETE FROM BDATA", 1), ado::ComError);
}

TEST(AdoVariant, DatesRoundToWholeSecondsAndConvertBack) {
  for (int64_t s : {int64_t(0), int64_t(1), int64_t(43200), int64_t(1709640000), int64_t(-86400 * 30 - 3600),
                    int64_t(4102444799)}) {
    double d = ado::SecondsToOleDate(s);
    EXPECT_EQ(ado::OleDateToSeconds(d), s);
    double back;
    ASSERT_TRUE(ado::TextToOleDate(ado::OleDateToText(d), &back));
    EXPECT_EQ(ado::OleDateToSeconds(back), s) << ado::OleDateToText(d);
  }
  // 12:00:00 stored a hair below does not read as 11:59:59.
  EXPECT_EQ(ado::OleDateToSeconds(ado::SecondsToOleDate(1709640000) - 1e-9), 1709640000);
  EXPECT_EQ(ado::OleDateToText(2.25), "1900-01-01 06:00:00");
  EXPECT_EQ(ado::OleDateToText(-1.25), "1899-12-29 06:00:00");
  EXPECT_THROW(Variant::Text("abc").AsDouble(), ado::ComError);
  EXPECT_EQ(Variant::Text(" 2.5").AsDouble(), 2.5);
}

}  // namespace

namespace {

TEST(AdoMariaDb, ServerGoneAndKilledConnectionAreReportedNotHidden) {
  NEED_MARIADB(server);
  // No server behind the socket: a connect failure with the client's text.
  try {
    ado::Connection c;
    c.Open("Provider=MariaDB;Socket=" + server->socket() + ".none;Database=x;User ID=root", "", "", -1);
    FAIL();
  } catch (const ado::ComError& e) {
    EXPECT_EQ(e.hresult, ado::kEFail);
    EXPECT_NE(e.description.find("connect"), std::string::npos) << e.description;
  }
  std::string db = server->NewDatabase();
  ado::Connection c;
  c.Open(server->AdoConnection(db), "", "", -1);
  c.Execute("CREATE TABLE K (N integer)", 1);
  ado::Recordset rs;
  rs.Open("SELECT * FROM K", &c, ado::adOpenStatic, ado::adLockOptimistic, ado::adCmdText);
  ado::ResultSet id;
  c.Execute("SELECT CONNECTION_ID()", 1, &id);
  ASSERT_TRUE(server->Admin("KILL " + id.rows[0][0].AsText()));
  // The pending row cannot be saved: the failure comes back, and nothing is
  // in the table.
  rs.AddNew();
  rs.SetField("N", Variant::Int(1));
  try {
    rs.Update();
    FAIL() << "update on a killed connection";
  } catch (const ado::ComError& e) {
    EXPECT_EQ(e.hresult, ado::kEFail);
    EXPECT_FALSE(e.description.empty());
  }
  // A new connection works; the table holds no half-written row.
  ado::Connection again;
  again.Open(server->AdoConnection(db), "", "", -1);
  ado::ResultSet n;
  again.Execute("SELECT COUNT(*) FROM K", 1, &n);
  EXPECT_EQ(n.rows[0][0].AsInt(), 0);
}

}  // namespace
