// The MariaDB log store and collection against a private MariaDB server:
// runs created, appended, listed, read and deleted, and the failures a
// logger meets (server gone, tables missing, names and values the tables
// cannot hold), each with its result and texts and nothing half-written left
// behind as a good run.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "cdxlib/records/chanconfig.h"
#include "cdxlib/shm/drvtables.h"
#include "cdxlib/sys/logicaldirs.h"
#include "cdxlib/sys/registry.h"
#include "logdata/logkinds.h"
#include "logdata/logstore.h"
#include "logdb/mariadbcollection.h"
#include "logdb/mariadbconn.h"
#include "logdb/mariadbstore.h"
#include "platform/debugout.h"
#include "support/mariadb_server.h"
#include "tools/cdxsim/cdxsim.h"
#include "support/log_header.h"

namespace {

constexpr uint32_t kRW = kGenericRead | kGenericWrite;

// A header of blocks of (prefix, first, last, digital) and its record layout.
struct BlockSpec {
  const char* prefix;
  int first, last;
  bool digital;
};

LogHeader MakeHeader(const std::vector<BlockSpec>& blocks, bool sig = false, bool tags = false) {
  LogHeader h;
  memset(&h, 0, sizeof h);
  h.marker = kLogHeaderMarker;
  h.start.seconds = 1709640000;  // 2024-03-05 12:00:00
  for (size_t b = 0; b < blocks.size(); ++b)
    testsupport::AddLogBlock(h, blocks[b].prefix, blocks[b].first, blocks[b].last, blocks[b].digital,
                             "src" + std::to_string(b));
  h.significantChange = sig;
  h.tagColumns = tags;
  if (sig) {
    memcpy(h.triggerPrefix, "AI", 2);
    h.triggerChannel = 3;
    memcpy(h.lagPrefix, "DI", 2);
    h.lagChannel = 2;
  }
  int32_t zone = -60;
  memcpy(h.extension + 84, &zone, 4);
  return h;
}

// Channel records of a header: tags "<prefix><n>", analog with units and a
// scale, digital with state texts.
struct Channels {
  std::vector<std::vector<ChannelConfig>> recs;
  std::vector<ChannelConfig*> ptrs;
  explicit Channels(const LogHeader& h) {
    recs.resize(h.blockCount);
    for (int b = 0; b < h.blockCount; ++b) {
      const LogBlockDescriptor& d = h.blocks[b];
      for (int n = d.firstChannel; n <= d.lastChannel; ++n) {
        ChannelConfig c;
        memset(&c, 0, sizeof c);
        bool digital = d.valueKind == kLogKindDigital;
        c.Type = digital ? kKindDI : kKindAI;
        Chan_SetFlag(&c, kAiEnable, true);
        Chan_SetTag(&c, (std::string(d.prefix, 2) + std::to_string(n)).c_str());
        Chan_SetDescription(&c, ("Kanal " + std::to_string(n) + " \xE9t\xE9 \x80").c_str());
        if (digital) {
          memcpy(c.digital.LowStateText, "CLOSED", 6);
          memcpy(c.digital.HighStateText, "OPEN", 4);
        } else {
          Chan_SetUnits(&c, "m\xB3/h");
          c.analog.MinimumUnits = -5;
          c.analog.MaximumUnits = 250.5f;
        }
        recs[size_t(b)].push_back(c);
      }
    }
    for (auto& r : recs) ptrs.push_back(r.data());
  }
};

// Record i of a header: seconds from the start, ms, µs, analog values,
// digital states, every seventh analog value missing.
std::vector<uint8_t> MakeRecords(const LogHeader& h, int count, int from = 0) {
  std::vector<uint8_t> out(size_t(count) * h.recordLength, 0);
  for (int i = 0; i < count; ++i) {
    int n = from + i;
    uint8_t* r = out.data() + size_t(i) * h.recordLength;
    LogRecord lr{};
    lr.marker = kLogRecordMarker;
    lr.level = uint8_t(1 + n % 3);
    lr.seconds = h.start.seconds + n;
    lr.milliseconds = int16_t(n % 1000);
    lr.microseconds = int16_t((n * 7) % 1000);
    lr.levelValue = float(n) / 4;
    memcpy(r, &lr, sizeof lr);
    for (int b = 0; b < h.blockCount; ++b) {
      const LogBlockDescriptor& d = h.blocks[b];
      int ch = LogBlockChannels(d);
      for (int k = 0; k < ch; ++k) {
        int32_t flag;
        float v = 0;
        if (d.valueKind == kLogKindDigital) {
          flag = (n + k) & 1;
        } else if ((n + k) % 7 == 0) {
          flag = kLogFlagMissing;
        } else {
          flag = kLogFlagPresent;
          v = float(n) * 0.5f + float(k);
        }
        memcpy(r + d.valueOffset + 4 * k, &flag, 4);
        memcpy(r + d.valueOffset + 4 * (ch + k), &v, 4);
      }
    }
  }
  return out;
}

// What a record reads back as: digital states come back as present values
// 0 or 1 (the stored header reads every block as values), missing values as
// 0x20 with 0.
std::vector<uint8_t> Expected(const LogHeader& h, std::vector<uint8_t> recs, int count) {
  for (int i = 0; i < count; ++i) {
    uint8_t* r = recs.data() + size_t(i) * h.recordLength;
    for (int b = 0; b < h.blockCount; ++b) {
      const LogBlockDescriptor& d = h.blocks[b];
      int ch = LogBlockChannels(d);
      for (int k = 0; k < ch; ++k) {
        int32_t flag;
        float v;
        memcpy(&flag, r + d.valueOffset + 4 * k, 4);
        memcpy(&v, r + d.valueOffset + 4 * (ch + k), 4);
        if (flag & kLogFlagMissing) {
          flag = kLogFlagMissing;
          v = 0;
        } else if (!(flag & kLogFlagPresent)) {
          v = float(flag & 1);
          flag = kLogFlagPresent;
        }
        memcpy(r + d.valueOffset + 4 * k, &flag, 4);
        memcpy(r + d.valueOffset + 4 * (ch + k), &v, 4);
      }
    }
    if (!h.significantChange) {
      r[2] = 0;
      memset(r + 12, 0, 4);
    }
  }
  return recs;
}

// The test server started again on its data directory after it was killed
// (its directory is the one its socket is in); stopped at the end.
struct RestartedServer {
  std::string dir;
  pid_t pid = -1;
  bool ok = false;
  explicit RestartedServer(const std::string& socket) : dir(socket.substr(0, socket.rfind('/'))) {
    std::string daemon;
    for (const char* d : {"/usr/sbin/", "/usr/bin/", "/usr/local/sbin/", "/usr/local/bin/"})
      if (access((std::string(d) + "mariadbd").c_str(), X_OK) == 0) daemon = std::string(d) + "mariadbd";
    std::vector<std::string> args = {daemon, "--no-defaults", "--datadir=" + dir + "/data", "--socket=" + socket,
                                     "--skip-networking", "--pid-file=" + dir + "/pid2",
                                     "--log-error=" + dir + "/err2.log", "--skip-log-bin",
                                     "--innodb-buffer-pool-size=32M"};
    if (geteuid() == 0) args.push_back("--user=root");
    pid = fork();
    if (pid == 0) {
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(300);
    while (pid > 0 && std::chrono::steady_clock::now() < deadline) {
      int status;
      if (waitpid(pid, &status, WNOHANG) == pid) {
        pid = -1;
        break;
      }
      MYSQL* m = mysql_init(nullptr);
      if (mysql_real_connect(m, nullptr, "root", "", nullptr, 0, socket.c_str(), 0)) {
        mysql_close(m);
        ok = true;
        break;
      }
      mysql_close(m);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  ~RestartedServer() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      int status;
      waitpid(pid, &status, 0);
    }
  }
};

std::string g_lines;
void CaptureDebug(const char* text) { g_lines += text; }

class MariaDbLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A location without a host reaches the server through the connector's
    // default socket, which MYSQL_UNIX_PORT names; it is read once, when
    // the connector starts.
    //
    // The server's temporary files are named by its process id; in /tmp,
    // which other machines' containers may share, two servers of the same
    // id would meet. They go under this test's folder instead (TMPDIR).
    if (const char* root = getenv("CDXPLAT_ROOT")) {
      setenv("MYSQL_UNIX_PORT", (std::string(root) + "/mariadb/sock").c_str(), 1);
      std::string tmp = std::string(root) + "/tmp";
      mkdir(tmp.c_str(), 0700);
      setenv("TMPDIR", tmp.c_str(), 1);
    }
    NEED_MARIADB(server);
    server_ = server;
    if (const char* root = getenv("CDXPLAT_ROOT")) {
      std::string expected = std::string(root) + "/mariadb/sock";
      if (server->socket() != expected) {
        // The server runs in its second directory: the default socket
        // points there.
        mkdir((std::string(root) + "/mariadb").c_str(), 0755);
        unlink(expected.c_str());
        symlink(server->socket().c_str(), expected.c_str());
      }
    }
    db_ = server->NewDatabase();
    loc_ = "Provider=MariaDB;Socket=" + server->socket() + ";Database=" + db_ + ";User ID=root;Password=";
    RegisterMariaDbLogKind();
    // Digital columns are integers unless a test says otherwise.
    Reg_DeleteValue(plat::HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillomatic\\Coordinatrix", "DatabaseDigitalText");
    plat::SetDebugOutputHook(CaptureDebug);
    g_lines.clear();
  }
  void TearDown() override { plat::SetDebugOutputHook(nullptr); }

  CLogCollection* OpenCollection(const std::string& logger, const char* prefix = "", uint32_t access = kRW,
                                 const std::string& location = "") {
    std::string l = location.empty() ? loc_ : location;
    CLogCollection* c = CreateLogCollection(l.c_str());
    EXPECT_NE(c, nullptr);
    if (!c) return nullptr;
    EXPECT_EQ(c->Open(l.c_str(), "", logger.c_str(), prefix, access), 0) << c->GetErrorSummary() << " "
                                                                         << c->GetErrorDetail();
    return c;
  }

  // A scalar of a query on the test database ("" for NULL or no row).
  std::string Scalar(const std::string& sql) {
    mdb::Location l;
    l.socket = server_->socket();
    l.user = "root";
    l.database = db_;
    std::string error;
    MYSQL* m = mdb::Connect(l, &error);
    EXPECT_NE(m, nullptr) << error;
    if (!m) return "";
    std::string out;
    {
      mdb::Result r;
      EXPECT_EQ(r.Query(m, sql), 0u) << sql << ": " << mysql_error(m);
      MYSQL_ROW row = r.Next();
      if (row && row[0]) out = row[0];
    }
    mysql_close(m);
    return out;
  }
  int Count(const std::string& sql) { return atoi(Scalar(sql).c_str()); }
  int Tables(const std::string& like) {
    return Count("SELECT COUNT(*) FROM information_schema.tables WHERE table_schema='" + db_ +
                 "' AND table_name LIKE '" + like + "'");
  }
  long StmtExecutes() { return Status("Com_stmt_execute"); }
  long StmtPrepares() { return Status("Com_stmt_prepare"); }
  long Status(const std::string& name) {
    mdb::Location l;
    l.socket = server_->socket();
    l.user = "root";
    l.database = db_;
    std::string error;
    MYSQL* m = mdb::Connect(l, &error);
    mdb::Result r;
    r.Query(m, "SHOW GLOBAL STATUS LIKE '" + name + "'");
    MYSQL_ROW row = r.Next();
    long n = row && row[1] ? atol(row[1]) : -1;
    mysql_close(m);
    return n;
  }

  testdb::MariaDbServer* server_ = nullptr;
  std::string db_, loc_;
};

// ---- Locations (no server needed) ----------------------------------------------

TEST(MariaDbLocation, FieldsOfBothForms) {
  struct Case {
    const char* location;
    const char* error;
    const char* host;
    const char* socket;
    const char* user;
    const char* db;
    const char* password;
    unsigned port;
  } cases[] = {
      {"PROVIDER=MYSQL;HOST=db1;PORT=3307;USER=u;DB=d;PASSWORD=cHc=", nullptr, "db1", "", "u", "d", "pw", 3307},
      {"provider=mysql;db=d;user=u", nullptr, "", "", "u", "d", "", 0},
      // Keys only at the start of a field: GHOST= and XUSER= are other fields.
      {"PROVIDER=MYSQL;GHOST=g;XUSER=x;USER=u;DB=d", nullptr, "", "", "u", "d", "", 0},
      {"PROVIDER=MYSQL;XUSER=x;DB=d", "NO USER IN CONNECTION STRING"},
      {"PROVIDER=MYSQL;USER=u;ADB=d", "NO DB IN CONNECTION STRING"},
      {"PROVIDER=MYSQL;USER=u;DB=d;PASSWORD=c$c=", "BAD PASSWORD ENCODING"},
      // The password of this form is the text itself.
      {"Provider=MariaDB;Server=h; Port=12;Database=d;User ID=u;Password=cHc=", nullptr, "h", "", "u", "d", "cHc=",
       12},
      {"Provider=MariaDB;Socket=/run/x.sock;Initial Catalog=d;uid=u;pwd=p", nullptr, "", "/run/x.sock", "u", "d",
       "p", 0},
      {"Provider=MariaDB;Socket=/s;User ID=u", "NO DB IN CONNECTION STRING"},
  };
  for (const Case& c : cases) {
    mdb::Location l;
    const char* e = mdb::ParseLocation(c.location, &l);
    if (c.error) {
      EXPECT_STREQ(e, c.error) << c.location;
      continue;
    }
    ASSERT_EQ(e, nullptr) << c.location << ": " << e;
    EXPECT_EQ(l.host, c.host) << c.location;
    EXPECT_EQ(l.socket, c.socket) << c.location;
    EXPECT_EQ(l.user, c.user) << c.location;
    EXPECT_EQ(l.database, c.db) << c.location;
    EXPECT_EQ(l.password, c.password) << c.location;
    EXPECT_EQ(l.port, c.port) << c.location;
  }
  // A value over its limit counts as missing.
  mdb::Location l;
  EXPECT_STREQ(mdb::ParseLocation(("PROVIDER=MYSQL;USER=" + std::string(101, 'u') + ";DB=d").c_str(), &l),
               "NO USER IN CONNECTION STRING");
  EXPECT_EQ(GetProviderKind("Provider=MariaDB;Socket=/s"), kProviderMariaDb);
  EXPECT_EQ(GetProviderKind("PROVIDER=MYSQL;HOST=h"), kProviderMariaDb);
}

// ---- Round trip -------------------------------------------------------------

TEST_F(MariaDbLogTest, CreateAppendListReadRoundTrip) {
  LogHeader h = MakeHeader({{"AI", 1, 8, false}, {"DI", 1, 4, true}}, /*sig=*/true);
  Channels ch(h);
  CLogCollection* c = OpenCollection("LOG1");
  ASSERT_NE(c, nullptr);
  int32_t start = h.start.seconds;
  CLogStore* s = c->CreateLog(&start, 1, 0, &h, "[HEADER]\r\nRun one\r\n[PREDEFINED]\r\n", 0, nullptr, 0,
                              ch.ptrs.data());
  ASSERT_NE(s, nullptr) << c->GetErrorSummary() << " " << c->GetErrorDetail();

  // 2500 records go in three statements of 1000, 1000 and 500 rows.
  std::vector<uint8_t> recs = MakeRecords(h, 2500);
  long before = StmtExecutes();
  ASSERT_EQ(s->AppendRecords(&h, recs.data(), 2500), 0) << s->GetErrorSummary() << " " << s->GetErrorDetail();
  EXPECT_EQ(StmtExecutes() - before, 3);
  EXPECT_NE(g_lines.find("2500 Samples took "), std::string::npos) << g_lines;
  h.stop.seconds = start + 2500;
  ASSERT_EQ(s->WriteHeader(&h, 1), 0) << s->GetErrorSummary();
  char name[400];
  int size = sizeof name;
  s->GetName(name, &size);
  EXPECT_EQ(std::string(name), loc_ + ";LoggerName=LOG1;LoggerSeq=00000001");
  EXPECT_EQ(size, int(strlen(name)) + 1);
  int32_t stop = h.stop.seconds;
  EXPECT_EQ(c->CloseLog(s, &start, &stop, 0), 0);
  s->Destroy(1);

  // Listed with its times, named by its sequence.
  int nameSize = 0;
  ASSERT_EQ(c->FindFirst(&nameSize), 1);
  EXPECT_EQ(nameSize, 20);
  TimeStamp ts, te;
  ASSERT_EQ(c->FindNext(name, &ts, &te), 1);
  EXPECT_STREQ(name, "LoggerSeq=00000001");
  EXPECT_EQ(ts.seconds, start);
  EXPECT_EQ(te.seconds, stop);
  EXPECT_EQ(c->FindNext(name, &ts, &te), 0);
  c->MakeLogPath("LoggerSeq=00000001", name, &size);
  EXPECT_EQ(std::string(name), loc_ + ";LoggerName=LOG1;LoggerSeq=00000001");
  EXPECT_EQ(size, int(loc_.size() + 4 + 18 + 14));

  // Read back through a store opened for reading.
  CLogStore* r = c->OpenLog("LoggerSeq=00000001", kGenericRead);
  ASSERT_NE(r, nullptr) << c->GetErrorSummary() << " " << c->GetErrorDetail();
  LogHeader rh;
  ASSERT_EQ(r->ReadHeader(&rh), 0) << r->GetErrorSummary() << " " << r->GetErrorDetail();
  EXPECT_EQ(rh.marker, kLogHeaderMarker);
  EXPECT_EQ(rh.recordCount, 2500u);
  EXPECT_EQ(rh.recordLength, h.recordLength);
  EXPECT_EQ(rh.blockCount, 2);
  EXPECT_EQ(rh.start.seconds, start);
  EXPECT_EQ(rh.stop.seconds, stop);
  EXPECT_EQ(rh.significantChange, 1);
  EXPECT_EQ(std::string(rh.triggerPrefix, 2), "AI");
  EXPECT_EQ(rh.triggerChannel, 3);
  EXPECT_EQ(rh.headerLength, rh.recordLength + 4404 + 4 * 2 + 216 * 12);
  EXPECT_EQ(rh.endOffset, 2500 * rh.recordLength + rh.headerLength);
  for (int b = 0; b < 2; ++b) {
    EXPECT_EQ(memcmp(rh.blocks[b].prefix, h.blocks[b].prefix, 2), 0);
    EXPECT_EQ(rh.blocks[b].firstChannel, h.blocks[b].firstChannel);
    EXPECT_EQ(rh.blocks[b].lastChannel, h.blocks[b].lastChannel);
    EXPECT_EQ(rh.blocks[b].valueOffset, h.blocks[b].valueOffset);
    EXPECT_STREQ(rh.blocks[b].sourceName, h.blocks[b].sourceName);
  }
  EXPECT_EQ(r->GetNoLogs(&rh), 2500);

  // Channel records: tag, description, type, units and scale or state texts.
  ChannelConfig got[8];
  ASSERT_EQ(r->ReadChannels(&rh, got, 0, 2, 3), 0) << r->GetErrorSummary();
  EXPECT_STREQ(Chan_GetTag(got[0]), "AI3");
  EXPECT_STREQ(Chan_GetDescription(got[0]), "Kanal 3 \xE9t\xE9 \x80");
  EXPECT_STREQ(Chan_GetUnits(got[0]), "m\xB3/h");
  EXPECT_EQ(got[0].Type, kKindAI);
  EXPECT_TRUE(Chan_TestFlag(got[0], kAiEnable));
  EXPECT_FLOAT_EQ(got[0].analog.MinimumUnits, -5);
  EXPECT_FLOAT_EQ(got[0].analog.MaximumUnits, 250.5f);
  ASSERT_EQ(r->ReadChannels(&rh, got, 1, 0, 4), 0);
  EXPECT_EQ(got[3].Type, kKindDI);
  EXPECT_STREQ(Chan_GetTag(got[3]), "DI4");
  EXPECT_EQ(std::string(got[3].digital.HighStateText), "OPEN");
  EXPECT_EQ(std::string(got[3].digital.LowStateText), "CLOSED");
  EXPECT_EQ(r->ReadChannels(&rh, got, 1, 2, 3), -1);
  EXPECT_STREQ(r->GetErrorSummary(), "CHANNEL NOT IN HEADER");
  EXPECT_EQ(r->ReadChannels(&rh, got, 2, 0, 1), -1);
  EXPECT_EQ(r->ReadChannels(&rh, got, 64, 0, 1), -1);

  // Records, one at a time and as a range; µs survive the float column.
  std::vector<uint8_t> want = Expected(h, recs, 2500);
  std::vector<uint8_t> one(rh.recordLength);
  for (int i : {0, 1, 7, 1234, 2499}) {
    ASSERT_EQ(r->ReadLog(i, &rh, one.data(), int(rh.recordLength), 0, nullptr, nullptr, 0, 0), 0)
        << r->GetErrorSummary() << " " << r->GetErrorDetail();
    EXPECT_EQ(memcmp(one.data(), want.data() + size_t(i) * rh.recordLength, rh.recordLength), 0) << "record " << i;
  }
  ASSERT_EQ(r->ReadLog(0, &rh, one.data(), int(rh.recordLength), 0, nullptr, nullptr, 0, 1), 0);
  EXPECT_EQ(memcmp(one.data(), want.data() + size_t(2499) * rh.recordLength, rh.recordLength), 0) << "descending";
  std::vector<uint8_t> all(size_t(2500) * rh.recordLength);
  EXPECT_EQ(r->ReadLogs(0, &rh, all.data(), 2500, 0, nullptr, nullptr), 2500) << r->GetErrorDetail();
  EXPECT_EQ(all, want);
  // A column-list prefix: its values follow each record in the gap.
  const size_t stride = rh.recordLength + 8;
  std::vector<uint8_t> gapped(3 * stride);
  EXPECT_EQ(r->ReadLogs(5, &rh, gapped.data(), 3, 1, "MS * 2 AS M2, ", nullptr), 3) << r->GetErrorDetail();
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(memcmp(gapped.data() + i * stride, want.data() + (5 + i) * rh.recordLength, rh.recordLength), 0);
    double m2;
    memcpy(&m2, gapped.data() + i * stride + rh.recordLength, 8);
    EXPECT_NEAR(m2, 2 * (5 + i + (5 + i) * 7 / 1000.0), 1e-4) << i;
  }
  EXPECT_EQ(r->ReadLogs(2490, &rh, all.data(), 20, 0, nullptr, nullptr), 10);
  EXPECT_STREQ(r->GetErrorSummary(), "CAN'T GET DATA");
  EXPECT_EQ(r->ReadLog(2500, &rh, one.data(), int(rh.recordLength), 0, nullptr, nullptr, 0, 0), -1);
  EXPECT_STREQ(r->GetErrorSummary(), "CAN'T GET DATA");

  // 16 bytes: only the fixed part is read, nothing beyond it written.
  std::vector<uint8_t> small(64, 0xAB);
  memset(small.data(), 0, 16);
  ASSERT_EQ(r->ReadLog(1, &rh, small.data(), 16, 0, nullptr, nullptr, 0, 0), 0);
  EXPECT_EQ(memcmp(small.data(), want.data() + rh.recordLength, 16), 0);
  EXPECT_EQ(small[16], 0xAB);

  // A store opened for reading leaves the run's header alone.
  LogHeader changed = rh;
  changed.stop.seconds = 5;
  EXPECT_EQ(r->WriteHeader(&changed, 0), 0);
  EXPECT_EQ(Scalar("SELECT bCompleted FROM LOGGERS"), "1");
  // The run has no events text.
  int tsize = 10;
  char text[10];
  EXPECT_EQ(r->ReadText("Text", text, &tsize, 0, 0), 0);
  EXPECT_EQ(r->ReadText("NOTES", text, &tsize, 0, 0), -1);
  EXPECT_EQ(r->WriteFormulae("AI", 1, "x"), -1);
  r->Destroy(1);

  // The LOGGERS row as the other database kinds read it.
  EXPECT_EQ(Scalar("SELECT sHeader FROM LOGGERS"), "Run one");
  EXPECT_EQ(Scalar("SELECT nTimeZone FROM LOGGERS"), "-60");
  EXPECT_EQ(Scalar("SELECT sTablePrefix FROM LOGGERS"), "LOG1_");
  EXPECT_EQ(Scalar("SELECT nType FROM LOG1_CHANNELS WHERE sPrefix='DI' AND nChannelNumber=2"), "1");
  EXPECT_EQ(Scalar("SELECT sColumnName FROM LOG1_CHANNELS WHERE sPrefix='AI' AND nChannelNumber=8"), "AI8");
  EXPECT_EQ(Tables("LOG1_TEXT"), 1);
  c->Destroy(1);
}

TEST_F(MariaDbLogTest, TablePrefixFormsAndSequences) {
  LogHeader h = MakeHeader({{"AI", 1, 2, false}});
  Channels ch(h);
  CLogCollection* c = OpenCollection("Tank A");
  ASSERT_NE(c, nullptr);
  int32_t start = h.start.seconds;  // 2024-03-05
  struct Step {
    int bare, date;
    const char* prefix;
    int sequence;
  } steps[] = {
      {1, 0, "Tank_A_", 1},
      {1, 0, "Tank_A_00000002_", 2},
      {0, 1, "Tank_A_20240305_", 20240305},
      {0, 1, "Tank_A_00000003_", 3},  // that day's date form is taken
      {0, 0, "Tank_A_00000004_", 4},
  };
  for (const Step& st : steps) {
    CLogStore* s = c->CreateLog(&start, st.bare, 0, &h, nullptr, 0, nullptr, st.date, ch.ptrs.data());
    ASSERT_NE(s, nullptr) << c->GetErrorSummary() << " " << c->GetErrorDetail();
    auto* ms = dynamic_cast<CLogDbMySQLStore*>(s);
    ASSERT_NE(ms, nullptr);
    EXPECT_EQ(ms->TablePrefix(), st.prefix);
    EXPECT_EQ(ms->Sequence(), st.sequence);
    EXPECT_EQ(Tables(std::string(st.prefix) + "TEXT"), 0);
    s->Destroy(1);
  }
  EXPECT_EQ(Count("SELECT COUNT(*) FROM LOGGERS WHERE sLoggerName='Tank A'"), 5);

  // A logger whose name begins with this one's is another logger.
  CLogCollection* other = OpenCollection("Tank");
  int size;
  ASSERT_EQ(other->FindFirst(&size), 1);
  char name[32];
  TimeStamp a, b;
  EXPECT_EQ(other->FindNext(name, &a, &b), 0);
  CLogStore* s = other->CreateLog(&start, 1, 0, &h, nullptr, 0, nullptr, 0, ch.ptrs.data());
  ASSERT_NE(s, nullptr) << other->GetErrorSummary() << " " << other->GetErrorDetail();
  EXPECT_EQ(dynamic_cast<CLogDbMySQLStore*>(s)->TablePrefix(), "Tank_");
  s->Destroy(1);
  other->Destroy(1);

  // The newest run; a name prefix picks the runs whose table prefix has it.
  ASSERT_EQ(c->FindNewest(name, &size, &a, &b, 1), 1);
  c->Destroy(1);
  CLogCollection* np = OpenCollection("Tank A", "North");
  EXPECT_EQ(np->FindNewest(name, &size, &a, &b, 0), 0);
  s = np->CreateLog(&start, 1, 0, &h, nullptr, 0, nullptr, 0, ch.ptrs.data());
  ASSERT_NE(s, nullptr) << np->GetErrorSummary();
  EXPECT_EQ(dynamic_cast<CLogDbMySQLStore*>(s)->TablePrefix(), "North_");
  EXPECT_EQ(dynamic_cast<CLogDbMySQLStore*>(s)->Sequence(), 5);
  s->Destroy(1);
  ASSERT_EQ(np->FindNewest(name, &size, &a, &b, 0), 1);
  EXPECT_STREQ(name, "LoggerSeq=00000005");
  EXPECT_EQ(size, 19);
  np->Destroy(1);
}

TEST_F(MariaDbLogTest, QuotesAndWindows1252TextsPassUnchanged) {
  LogHeader h = MakeHeader({{"AI", 1, 2, false}});
  Channels ch(h);
  Chan_SetDescription(&ch.recs[0][0], "O'Neil \"\\\" \x80\x84\x9F\xFF");
  const std::string logger = "Bob's \\ \"Pump\" \xC4\x80";
  CLogCollection* c = OpenCollection(logger, "Pump");
  ASSERT_NE(c, nullptr);
  std::string header = "[HEADER]\r\nIt's a \"test\" \\n \x80 \xE4\xF6\xFC \x96 end\r\n[PREDEFINED]\r\nx\r\n";
  int32_t start = h.start.seconds;
  CLogStore* s = c->CreateLog(&start, 1, 0, &h, header.c_str(), 0, nullptr, 0, ch.ptrs.data());
  ASSERT_NE(s, nullptr) << c->GetErrorSummary() << " " << c->GetErrorDetail();
  s->Destroy(1);
  EXPECT_EQ(Scalar("SELECT sHeader FROM LOGGERS"), "It's a \"test\" \\n \x80 \xE4\xF6\xFC \x96 end");
  EXPECT_EQ(Scalar("SELECT sLoggerName FROM LOGGERS"), logger);
  int size;
  ASSERT_EQ(c->FindFirst(&size), 1);
  char name[32];
  TimeStamp a, b;
  ASSERT_EQ(c->FindNext(name, &a, &b), 1);
  CLogStore* r = c->OpenLog(name, kGenericRead);
  ASSERT_NE(r, nullptr) << c->GetErrorSummary() << " " << c->GetErrorDetail();
  LogHeader rh;
  ASSERT_EQ(r->ReadHeader(&rh), 0);
  ChannelConfig got[2];
  ASSERT_EQ(r->ReadChannels(&rh, got, 0, 0, 2), 0);
  EXPECT_STREQ(Chan_GetDescription(got[0]), "O'Neil \"\\\" \x80\x84\x9F\xFF");
  r->Destroy(1);

  // A header text longer than the column is cut to its 255 characters.
  std::string longText = "[HEADER]\r\n" + std::string(300, 'h') + "\r\n[PREDEFINED]\r\n";
  s = c->CreateLog(&start, 0, 0, &h, longText.c_str(), 0, nullptr, 0, ch.ptrs.data());
  ASSERT_NE(s, nullptr) << c->GetErrorSummary() << " " << c->GetErrorDetail();
  s->Destroy(1);
  EXPECT_EQ(Scalar("SELECT sHeader FROM LOGGERS WHERE nLoggerSequence=2"), std::string(255, 'h'));
  c->Destroy(1);
}

TEST_F(MariaDbLogTest, PreparedStatementsAreKeptBySize) {
  LogHeader h = MakeHeader({{"AI", 1, 8, false}, {"DI", 1, 4, true}}, /*sig=*/true);
  Channels ch(h);
  CLogCollection* c = OpenCollection("KEPT");
  ASSERT_NE(c, nullptr);
  int32_t start = h.start.seconds;
  CLogStore* s = c->CreateLog(&start, 1, 0, &h, nullptr, 0, nullptr, 0, ch.ptrs.data());
  ASSERT_NE(s, nullptr) << c->GetErrorSummary() << " " << c->GetErrorDetail();
  std::vector<uint8_t> recs = MakeRecords(h, 1005);
  // Calls of 1001 to 1005 rows: a statement of 1000 rows each time, and one
  // of the rest. Each new size is prepared once; a fifth size sends away
  // only the size unused the longest, not the statement every call uses.
  long before = StmtPrepares();
  for (int n = 1001; n <= 1005; ++n)
    ASSERT_EQ(s->AppendRecords(&h, recs.data(), n), 0) << s->GetErrorSummary() << " " << s->GetErrorDetail();
  EXPECT_EQ(StmtPrepares() - before, 6);
  before = StmtPrepares();
  ASSERT_EQ(s->AppendRecords(&h, recs.data(), 1000), 0);
  ASSERT_EQ(s->AppendRecords(&h, recs.data(), 1005), 0);
  EXPECT_EQ(StmtPrepares() - before, 0);
  ASSERT_EQ(s->AppendRecords(&h, recs.data(), 1001), 0);  // its statement went
  EXPECT_EQ(StmtPrepares() - before, 1);
  EXPECT_EQ(Count("SELECT COUNT(*) FROM KEPT_DATA"), 5015 + 2005 + 1001);
  s->Destroy(1);
  c->Destroy(1);
}

TEST_F(MariaDbLogTest, AThousandChannels) {
  // 1004 columns: fewer rows per statement than 1000, so that no statement
  // passes the server's 65,535 placeholders.
  LogHeader h = MakeHeader({{"AI", 1, 600, false}, {"DI", 1, 400, true}});
  Channels ch(h);
  EXPECT_EQ(CLogDbMySQLStore::RowsPerInsert(1004), 19);  // 20,000 placeholders at most
  EXPECT_EQ(CLogDbMySQLStore::RowsPerInsert(104), 192);
  EXPECT_EQ(CLogDbMySQLStore::RowsPerInsert(20), 1000);
  EXPECT_EQ(CLogDbMySQLStore::RowsPerInsert(30000), 1);
  EXPECT_EQ(CLogDbMySQLStore::RowsPerInsert(70000), 0);
  CLogCollection* c = OpenCollection("Big");
  ASSERT_NE(c, nullptr);
  int32_t start = h.start.seconds;
  CLogStore* s = c->CreateLog(&start, 1, 0, &h, nullptr, 0, nullptr, 0, ch.ptrs.data());
  ASSERT_NE(s, nullptr) << c->GetErrorSummary() << " " << c->GetErrorDetail();
  std::vector<uint8_t> recs = MakeRecords(h, 150);
  long before = StmtExecutes();
  ASSERT_EQ(s->AppendRecords(&h, recs.data(), 150), 0) << s->GetErrorSummary() << " " << s->GetErrorDetail();
  EXPECT_EQ(StmtExecutes() - before, 8);  // 7 of 19 rows, one of 17
  s->Destroy(1);
  CLogStore* r = c->OpenLog("LoggerSeq=00000001", kGenericRead);
  ASSERT_NE(r, nullptr);
  LogHeader rh;
  ASSERT_EQ(r->ReadHeader(&rh), 0);
  EXPECT_EQ(rh.recordCount, 150u);
  EXPECT_EQ(Count("SELECT COUNT(*) FROM Big_CHANNELS"), 1000);
  std::vector<uint8_t> want = Expected(h, recs, 150), all(size_t(150) * rh.recordLength);
  EXPECT_EQ(r->ReadLogs(0, &rh, all.data(), 150, 0, nullptr, nullptr), 150);
  EXPECT_EQ(all, want);
  r->Destroy(1);
  c->Destroy(1);
}

TEST_F(MariaDbLogTest, DigitalStatesAsTextFollowTheColumnType) {
  uint32_t type = plat::REG_SZ, size = 3;
  ASSERT_EQ(Reg_AccessValue(plat::HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillomatic\\Coordinatrix", plat::KEY_SET_VALUE,
                            "DatabaseDigitalText", &type, (void*)"On", &size),
            0u);
  LogHeader h = MakeHeader({{"AI", 1, 1, false}, {"DI", 1, 2, true}});
  Channels ch(h);
  CLogCollection* c = OpenCollection("Txt");
  int32_t start = h.start.seconds;
  CLogStore* s = c->CreateLog(&start, 1, 0, &h, nullptr, 0, nullptr, 0, ch.ptrs.data());
  ASSERT_NE(s, nullptr) << c->GetErrorSummary() << " " << c->GetErrorDetail();
  std::vector<uint8_t> recs = MakeRecords(h, 2);
  ASSERT_EQ(s->AppendRecords(&h, recs.data(), 2), 0) << s->GetErrorSummary() << " " << s->GetErrorDetail();
  s->Destroy(1);
  EXPECT_EQ(Scalar("SELECT DATA_TYPE FROM information_schema.columns WHERE table_schema='" + db_ +
                   "' AND table_name='Txt_DATA' AND column_name='DI1'"),
            "char");
  EXPECT_EQ(Scalar("SELECT DI1 FROM Txt_DATA ORDER BY DT LIMIT 1"), "CLOSED");
  EXPECT_EQ(Scalar("SELECT DI2 FROM Txt_DATA ORDER BY DT LIMIT 1"), "OPEN");
  // A state text is no value: it reads back as missing.
  CLogStore* r = c->OpenLog("LoggerSeq=00000001", kGenericRead);
  LogHeader rh;
  ASSERT_EQ(r->ReadHeader(&rh), 0);
  std::vector<uint8_t> one(rh.recordLength);
  ASSERT_EQ(r->ReadLog(0, &rh, one.data(), int(one.size()), 0, nullptr, nullptr, 0, 0), 0);
  int32_t flag;
  memcpy(&flag, one.data() + rh.blocks[1].valueOffset, 4);
  EXPECT_EQ(flag, kLogFlagMissing);
  r->Destroy(1);
  c->Destroy(1);
}

// A run without the caller's channel records takes them from this
// computer's configuration modules: a block that starts at channel 0 gets a
// cleared record for it (channels count from 1), and a block that ends at
// the module's last channel gets that channel's record.
TEST_F(MariaDbLogTest, ModuleRecordsFromChannelZeroToTheModulesLast) {
  Drv_ResetProcessState();
  cdxsim::Description d;
  std::string error;
  ASSERT_TRUE(cdxsim::Description::Parse("driver name=ANALOG prefix=AI type=1\n"
                                         "module prefix=AI channels=3 kind=8\n",
                                         &d, &error))
      << error;
  cdxsim::Sim sim(d);
  ASSERT_EQ(sim.Create(), 0);
  for (int ch = 1; ch <= 3; ++ch) {
    ChannelConfig c;
    memset(&c, 0, sizeof c);
    c.Type = kKindAI;
    Chan_SetTag(&c, ("LAI" + std::to_string(ch)).c_str());
    memcpy(sim.ModuleData("dm_AI_conf") + 216 * (ch - 1), &c, sizeof c);
  }
  LogHeader h = MakeHeader({{"AI", 0, 1, false}, {"AI", 2, 3, false}}, false, /*tags=*/true);
  CLogCollection* c = OpenCollection("Zero");
  ASSERT_NE(c, nullptr);
  int32_t start = h.start.seconds;
  CLogStore* s = c->CreateLog(&start, 1, 0, &h, nullptr, 0, nullptr, 0, nullptr);
  ASSERT_NE(s, nullptr) << c->GetErrorSummary() << " " << c->GetErrorDetail();
  s->Destroy(1);
  auto tag = [&](int channel) {
    return Scalar("SELECT COALESCE(sTag, '') FROM Zero_CHANNELS WHERE nChannelNumber = " + std::to_string(channel));
  };
  EXPECT_EQ(tag(0), "");
  EXPECT_EQ(tag(1), "LAI1");
  EXPECT_EQ(tag(2), "LAI2");
  EXPECT_EQ(tag(3), "LAI3");
  EXPECT_EQ(Count("SELECT COUNT(*) FROM Zero_CHANNELS"), 4);
  c->Destroy(1);
  Drv_ResetProcessState();
}

// ---- Collection: runs dropped -------------------------------------------------

TEST_F(MariaDbLogTest, CloseWithoutStartAndDeleteBeforeDropRuns) {
  LogHeader h = MakeHeader({{"AI", 1, 2, false}});
  Channels ch(h);
  CLogCollection* c = OpenCollection("Del");
  ASSERT_NE(c, nullptr);
  // Runs 1-3 closed at start+100, +200, +300; run 4 still open; run 5 dropped.
  for (int i = 1; i <= 5; ++i) {
    int32_t start = h.start.seconds + (i - 1) * 100;
    LogHeader hh = h;
    hh.start.seconds = start;
    CLogStore* s = c->CreateLog(&start, 1, 0, &hh, "x\r\n", 0, nullptr, 0, ch.ptrs.data());
    ASSERT_NE(s, nullptr) << c->GetErrorSummary() << " " << c->GetErrorDetail();
    int32_t stop = start + 100;
    if (i <= 3) {
      hh.stop.seconds = stop;
      ASSERT_EQ(s->WriteHeader(&hh, 1), 0);
    }
    EXPECT_EQ(c->CloseLog(s, i == 5 ? nullptr : &start, &stop, 0), 0);
    s->Destroy(1);
  }
  EXPECT_EQ(Tables("Del_00000005_%"), 0);
  EXPECT_EQ(Count("SELECT COUNT(*) FROM LOGGERS WHERE nLoggerSequence=5"), 0);
  EXPECT_EQ(Tables("Del_00000004_%"), 3);
  // Before start+250: runs 1 and 2 (stopped at +100, +200) go; run 3 spans
  // the time and run 4 has no stop.
  int32_t t = h.start.seconds + 250;
  c->DeleteBefore(&t);
  EXPECT_EQ(Tables("Del_%"), 6);
  EXPECT_EQ(Count("SELECT COUNT(*) FROM LOGGERS"), 2);
  EXPECT_EQ(Scalar("SELECT MIN(nLoggerSequence) FROM LOGGERS"), "3");
  c->Destroy(1);
}

// ---- Errors -------------------------------------------------------------------

TEST_F(MariaDbLogTest, LocationErrors) {
  // The logger programs' form: no HOST= (the local machine), password in
  // base64 ("pw").
  ASSERT_TRUE(server_->Admin("CREATE USER 'lg'@'localhost' IDENTIFIED BY 'pw'"));
  ASSERT_TRUE(server_->Admin("GRANT ALL ON " + db_ + ".* TO 'lg'@'localhost'"));
  std::string mysql = "PROVIDER=MYSQL;USER=lg;DB=" + db_ + ";PASSWORD=cHc=";
  ASSERT_EQ(GetProviderKind(mysql.c_str()), kProviderMariaDb);
  CLogCollection* c = OpenCollection("L", "", kRW, mysql);
  ASSERT_NE(c, nullptr);
  c->Destroy(1);
  c = OpenCollection("L", "", kRW, mysql);  // LOGGERS exists: no failure
  c->Destroy(1);

  struct Case {
    std::string location;
    const char* summary;
    bool detail;
  } cases[] = {
      {"PROVIDER=MYSQL;USER=lg;PASSWORD=cHc=", "NO DB IN CONNECTION STRING", false},
      {"PROVIDER=MYSQL;DB=" + db_ + ";PASSWORD=cHc=", "NO USER IN CONNECTION STRING", false},
      {"PROVIDER=MYSQL;USER=lg;DB=" + db_ + ";PASSWORD=cHg=", "CAN'T CONNECT TO DATABASE", true},
      {"PROVIDER=MYSQL;USER=lg;DB=" + db_ + ";PASSWORD=pw", "CAN'T CONNECT TO DATABASE", true},
      {"PROVIDER=MYSQL;USER=lg;DB=" + db_ + ";PASSWORD=*?", "BAD PASSWORD ENCODING", false},
      // GHOST= is no HOST= field.
      {"PROVIDER=MYSQL;GHOST=nowhere.invalid;USER=lg;DB=" + db_ + ";PASSWORD=cHc=", nullptr, false},
      {"Provider=MariaDB;Socket=" + server_->socket() + "x;Database=" + db_ + ";User ID=root",
       "CAN'T CONNECT TO DATABASE", true},
      {"Provider=MariaDB;Socket=" + server_->socket() + ";Database=nodb;User ID=root", "CAN'T CONNECT TO DATABASE",
       true},
  };
  for (const Case& k : cases) {
    CLogCollection* x = CreateLogCollection(k.location.c_str());
    ASSERT_NE(x, nullptr) << k.location;
    int rc = x->Open(k.location.c_str(), "", "L", "", kRW);
    if (!k.summary) {
      EXPECT_EQ(rc, 0) << k.location << ": " << x->GetErrorSummary() << " " << x->GetErrorDetail();
    } else {
      EXPECT_EQ(rc, -1) << k.location;
      EXPECT_STREQ(x->GetErrorSummary(), k.summary) << k.location;
      EXPECT_EQ(*x->GetErrorDetail() != '\0', k.detail) << k.location << ": " << x->GetErrorDetail();
    }
    x->Destroy(1);
  }
  CLogCollection* x = CreateLogCollection(loc_.c_str());
  EXPECT_EQ(x->Open("", "", "L", "", kRW), -1);
  EXPECT_STREQ(x->GetErrorSummary(), "NO CONNECTION STRING");
  std::string longLoc = loc_ + ";" + std::string(1100, 'x');
  EXPECT_EQ(x->Open(longLoc.c_str(), "", "L", "", kRW), -1);
  EXPECT_STREQ(x->GetErrorSummary(), "CONNECTION STRING TOO LONG");
  EXPECT_EQ(x->Open(loc_.c_str(), "", std::string(260, 'n').c_str(), "", kRW), -1);
  x->Destroy(1);

  // A store location needs both run fields.
  CLogStore* s = CreateLogStore(loc_.c_str());
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->Open(nullptr, (loc_ + ";LoggerName=L").c_str(), kGenericRead), -1);
  EXPECT_STREQ(s->GetErrorSummary(), "BADLY FORMED PATH NAME");
  EXPECT_EQ(s->Open(nullptr, (loc_ + ";LoggerName=L;LoggerSeq=00000009").c_str(), kGenericRead), -1);
  EXPECT_STREQ(s->GetErrorSummary(), "CAN'T FIND LOGGER NAME AND SEQ");
  s->Destroy(1);
}

TEST_F(MariaDbLogTest, MissingTables) {
  // Read-only on a database without LOGGERS: listing fails, nothing made.
  CLogCollection* ro = OpenCollection("M", "", kGenericRead);
  ASSERT_NE(ro, nullptr);
  int size;
  EXPECT_EQ(ro->FindFirst(&size), 0);
  EXPECT_STREQ(ro->GetErrorSummary(), "SELECT failed");
  EXPECT_NE(std::string(ro->GetErrorDetail()).find("LOGGERS"), std::string::npos) << ro->GetErrorDetail();
  EXPECT_EQ(Tables("LOGGERS"), 0);
  LogHeader h = MakeHeader({{"AI", 1, 2, false}});
  Channels ch(h);
  int32_t start = h.start.seconds;
  EXPECT_EQ(ro->CreateLog(&start, 1, 0, &h, nullptr, 0, nullptr, 0, ch.ptrs.data()), nullptr);
  EXPECT_STREQ(ro->GetErrorSummary(), "SELECT failed");
  ro->Destroy(1);

  CLogCollection* c = OpenCollection("M");
  CLogStore* s = c->CreateLog(&start, 1, 0, &h, nullptr, 0, nullptr, 0, ch.ptrs.data());
  ASSERT_NE(s, nullptr) << c->GetErrorSummary();
  std::vector<uint8_t> recs = MakeRecords(h, 3);
  ASSERT_EQ(s->AppendRecords(&h, recs.data(), 3), 0);
  // The DATA table goes away under an appending store, and under a new one.
  ASSERT_TRUE(server_->Admin("DROP TABLE " + db_ + ".M_DATA"));
  EXPECT_EQ(s->AppendRecords(&h, recs.data(), 3), -1);
  EXPECT_STREQ(s->GetErrorSummary(), "mysql_stmt_execute(), failed");
  EXPECT_NE(std::string(s->GetErrorDetail()).find("M_DATA"), std::string::npos) << s->GetErrorDetail();
  s->Destroy(1);
  CLogStore* r = c->OpenLog("LoggerSeq=00000001", kRW);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->AppendRecords(&h, recs.data(), 3), -1);
  EXPECT_STREQ(r->GetErrorSummary(), "INSERT failed");
  LogHeader rh;
  EXPECT_EQ(r->ReadHeader(&rh), -1);
  EXPECT_STREQ(r->GetErrorSummary(), "SELECT COUNT failed");
  std::vector<uint8_t> one(h.recordLength);
  EXPECT_EQ(r->ReadLog(0, &h, one.data(), int(one.size()), 0, nullptr, nullptr, 0, 0), -1);
  EXPECT_STREQ(r->GetErrorSummary(), "CAN'T GET DATA");
  r->Destroy(1);
  c->Destroy(1);
}

TEST_F(MariaDbLogTest, DuplicateColumnsAreWholeNamesOnly) {
  LogHeader h = MakeHeader({{"AI", 1, 6, false}}, false, /*tags=*/true);
  Channels ch(h);
  // Names that are part of other names or of the statement's words ("A",
  // "REA", "NUL") are all different columns; "DT" is reserved and falls back.
  const char* tags[] = {"AI1", "AI12", "A", "REA", "NUL", "DT"};
  for (int i = 0; i < 6; ++i) Chan_SetTag(&ch.recs[0][size_t(i)], tags[i]);
  CLogCollection* c = OpenCollection("Dup");
  int32_t start = h.start.seconds;
  CLogStore* s = c->CreateLog(&start, 1, 0, &h, nullptr, 0, nullptr, 0, ch.ptrs.data());
  ASSERT_NE(s, nullptr) << c->GetErrorSummary() << " " << c->GetErrorDetail();
  s->Destroy(1);
  EXPECT_EQ(Scalar("SELECT sColumnName FROM Dup_CHANNELS WHERE nChannelNumber=6"), "AI6");
  EXPECT_EQ(Scalar("SELECT sColumnName FROM Dup_CHANNELS WHERE nChannelNumber=4"), "REA");

  // Two tags that the server takes for one column name: refused, nothing
  // left of the run.
  Chan_SetTag(&ch.recs[0][1], "Flow");
  Chan_SetTag(&ch.recs[0][2], "FLOW");
  EXPECT_EQ(c->CreateLog(&start, 1, 0, &h, nullptr, 0, nullptr, 0, ch.ptrs.data()), nullptr);
  EXPECT_STREQ(c->GetErrorSummary(), "DUPLICATE COLUMN FLOW");
  EXPECT_EQ(Tables("Dup_00000002_%"), 0);
  EXPECT_EQ(Count("SELECT COUNT(*) FROM LOGGERS"), 1);
  c->Destroy(1);
}

// Logger names and tags with characters that cannot stand in an unquoted
// name (".", "/", "'", "%"): the tables and columns get names the server
// takes, and the run logs, lists and reads back like any other.
TEST_F(MariaDbLogTest, NamesWithPunctuationStillMakeRuns) {
  LogHeader h = MakeHeader({{"AI", 1, 3, false}}, false, /*tags=*/true);
  Channels ch(h);
  const char* tags[] = {"Tank.Level", "Flow/In", "O'Neil %"};
  for (int i = 0; i < 3; ++i) Chan_SetTag(&ch.recs[0][size_t(i)], tags[i]);
  const std::string logger = "Plant.Line/1";
  CLogCollection* c = OpenCollection(logger);
  ASSERT_NE(c, nullptr);
  int32_t start = h.start.seconds;
  CLogStore* s = c->CreateLog(&start, 1, 0, &h, nullptr, 0, nullptr, 0, ch.ptrs.data());
  ASSERT_NE(s, nullptr) << c->GetErrorSummary() << " " << c->GetErrorDetail();
  std::vector<uint8_t> recs = MakeRecords(h, 3);
  ASSERT_EQ(s->AppendRecords(&h, recs.data(), 3), 0) << s->GetErrorSummary() << " " << s->GetErrorDetail();
  s->Destroy(1);
  EXPECT_EQ(Scalar("SELECT sTablePrefix FROM LOGGERS"), "Plant_Line_1_");
  EXPECT_EQ(Scalar("SELECT sColumnName FROM Plant_Line_1_CHANNELS WHERE nChannelNumber=1"), "Tank_Level");
  EXPECT_EQ(Scalar("SELECT COUNT(*) FROM Plant_Line_1_DATA WHERE Flow_In IS NOT NULL"), "3");
  char name[32];
  TimeStamp a, b;
  int size = 0;
  ASSERT_EQ(c->FindNewest(name, &size, &a, &b, 0), 1);
  CLogStore* r = c->OpenLog(name, kGenericRead);
  ASSERT_NE(r, nullptr) << c->GetErrorSummary() << " " << c->GetErrorDetail();
  LogHeader rh;
  ASSERT_EQ(r->ReadHeader(&rh), 0) << r->GetErrorSummary();
  EXPECT_EQ(rh.recordCount, 3u);
  r->Destroy(1);
  c->Destroy(1);

  // A name prefix of such characters: its runs are still its newest.
  CLogCollection* p = OpenCollection(logger, "Line.2");
  ASSERT_NE(p, nullptr);
  s = p->CreateLog(&start, 1, 0, &h, nullptr, 0, nullptr, 0, ch.ptrs.data());
  ASSERT_NE(s, nullptr) << p->GetErrorSummary() << " " << p->GetErrorDetail();
  s->Destroy(1);
  ASSERT_EQ(p->FindNewest(name, &size, &a, &b, 0), 1);
  EXPECT_STREQ(name, "LoggerSeq=00000002");

  // A tag that is one of the run's own columns in another case ("dt" is
  // DT to the server) falls back to the channel's plain name.
  Chan_SetTag(&ch.recs[0][2], "dt");
  s = p->CreateLog(&start, 1, 0, &h, nullptr, 0, nullptr, 0, ch.ptrs.data());
  ASSERT_NE(s, nullptr) << p->GetErrorSummary() << " " << p->GetErrorDetail();
  s->Destroy(1);
  EXPECT_EQ(Scalar("SELECT sColumnName FROM Line_2_00000003_CHANNELS WHERE nChannelNumber=3"), "AI3");
  p->Destroy(1);
}

// A logger name that fills its LOGGERS column with characters the server
// needs escaped (twice as long in a statement): its run opens, reads and
// closes like any other.
TEST_F(MariaDbLogTest, LongEscapedLoggerNameOpensItsRun) {
  LogHeader h = MakeHeader({{"AI", 1, 2, false}});
  Channels ch(h);
  const std::string logger = std::string(200, '\'') + std::string(55, 'n');
  CLogCollection* c = OpenCollection(logger, "P");
  ASSERT_NE(c, nullptr);
  int32_t start = h.start.seconds;
  CLogStore* s = c->CreateLog(&start, 1, 0, &h, nullptr, 0, nullptr, 0, ch.ptrs.data());
  ASSERT_NE(s, nullptr) << c->GetErrorSummary() << " " << c->GetErrorDetail();
  std::vector<uint8_t> recs = MakeRecords(h, 2);
  ASSERT_EQ(s->AppendRecords(&h, recs.data(), 2), 0) << s->GetErrorSummary() << " " << s->GetErrorDetail();
  h.stop.seconds = h.start.seconds + 10;
  EXPECT_EQ(s->WriteHeader(&h, 1), 0) << s->GetErrorSummary() << " " << s->GetErrorDetail();
  s->Destroy(1);
  EXPECT_EQ(Scalar("SELECT bCompleted FROM LOGGERS"), "1");
  CLogStore* r = c->OpenLog("LoggerSeq=00000001", kGenericRead);
  ASSERT_NE(r, nullptr) << c->GetErrorSummary() << " " << c->GetErrorDetail();
  LogHeader rh;
  ASSERT_EQ(r->ReadHeader(&rh), 0) << r->GetErrorSummary() << " " << r->GetErrorDetail();
  EXPECT_EQ(rh.recordCount, 2u);
  EXPECT_EQ(rh.stop.seconds, h.stop.seconds);
  r->Destroy(1);
  c->Destroy(1);
}

TEST_F(MariaDbLogTest, ValuesAndNamesTheTablesCannotHold) {
  LogHeader h = MakeHeader({{"AI", 1, 3, false}}, /*sig=*/true);
  Channels ch(h);
  CLogCollection* c = OpenCollection("V");
  int32_t start = h.start.seconds;
  CLogStore* s = c->CreateLog(&start, 1, 0, &h, nullptr, 0, nullptr, 0, ch.ptrs.data());
  ASSERT_NE(s, nullptr) << c->GetErrorSummary() << " " << c->GetErrorDetail();
  // Infinite and NaN values are faults of the sample: stored as missing.
  std::vector<uint8_t> recs = MakeRecords(h, 1, 1);
  const float bad[3] = {std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN(),
                        -std::numeric_limits<float>::infinity()};
  const int32_t present = kLogFlagPresent;
  for (int k = 0; k < 3; ++k) {
    memcpy(recs.data() + h.blocks[0].valueOffset + 4 * k, &present, 4);
    memcpy(recs.data() + h.blocks[0].valueOffset + 12 + 4 * k, &bad[k], 4);
  }
  float inf = std::numeric_limits<float>::infinity();
  memcpy(recs.data() + 12, &inf, 4);  // LV
  ASSERT_EQ(s->AppendRecords(&h, recs.data(), 1), 0) << s->GetErrorSummary() << " " << s->GetErrorDetail();
  s->Destroy(1);
  EXPECT_EQ(Count("SELECT COUNT(*) FROM V_DATA WHERE AI1 IS NULL AND AI2 IS NULL AND AI3 IS NULL AND LV IS NULL"),
            1);

  // A logger name longer than its LOGGERS column: the run is refused and
  // none of its tables or rows stay.
  CLogCollection* longName = OpenCollection(std::string(258, 'n'), "P");
  ASSERT_NE(longName, nullptr);
  EXPECT_EQ(longName->CreateLog(&start, 1, 0, &h, "t\r\n", 0, nullptr, 0, ch.ptrs.data()), nullptr);
  EXPECT_STREQ(longName->GetErrorSummary(), "CAN'T CONNECT TO DATABASE");
  EXPECT_NE(std::string(longName->GetErrorDetail()).find("CAN'T ADD TO LOGGERS TABLE"), std::string::npos)
      << longName->GetErrorDetail();
  EXPECT_EQ(Tables("P_%"), 0);
  longName->Destroy(1);
  // A name prefix that makes table names longer than the server allows.
  CLogCollection* longPrefix = OpenCollection("W", std::string(70, 'p').c_str());
  EXPECT_EQ(longPrefix->CreateLog(&start, 1, 0, &h, nullptr, 0, nullptr, 0, ch.ptrs.data()), nullptr);
  EXPECT_STREQ(longPrefix->GetErrorSummary(), "CAN'T CREATE CHANNELS TABLE");
  EXPECT_NE(std::string(longPrefix->GetErrorDetail()).find("ppp_00000001_CHANNELS"), std::string::npos)
      << longPrefix->GetErrorDetail();
  longPrefix->Destroy(1);
  EXPECT_EQ(Count("SELECT COUNT(*) FROM LOGGERS"), 1);
  c->Destroy(1);
}

TEST_F(MariaDbLogTest, ConnectionKilledBetweenAppends) {
  LogHeader h = MakeHeader({{"AI", 1, 2, false}});
  Channels ch(h);
  CLogCollection* c = OpenCollection("K");
  int32_t start = h.start.seconds;
  CLogStore* s = c->CreateLog(&start, 1, 0, &h, nullptr, 0, nullptr, 0, ch.ptrs.data());
  ASSERT_NE(s, nullptr);
  std::vector<uint8_t> recs = MakeRecords(h, 10);
  ASSERT_EQ(s->AppendRecords(&h, recs.data(), 10), 0);
  // The server ends the store's connection.
  std::string ids = Scalar("SELECT GROUP_CONCAT(ID) FROM information_schema.processlist WHERE DB='" + db_ +
                           "' AND ID <> CONNECTION_ID()");
  ASSERT_FALSE(ids.empty());
  size_t at = 0;
  while (at < ids.size()) {
    size_t e = ids.find(',', at);
    if (e == std::string::npos) e = ids.size();
    server_->Admin("KILL CONNECTION " + ids.substr(at, e - at));
    at = e + 1;
  }
  EXPECT_EQ(s->AppendRecords(&h, recs.data(), 10), -1);
  EXPECT_STREQ(s->GetErrorSummary(), "mysql_stmt_execute(), failed");
  EXPECT_NE(*s->GetErrorDetail(), '\0');
  s->Destroy(1);
  // Reopening works; the run holds what was acknowledged.
  CLogCollection* again = OpenCollection("K");
  CLogStore* r = again->OpenLog("LoggerSeq=00000001", kRW);
  ASSERT_NE(r, nullptr) << again->GetErrorSummary();
  EXPECT_EQ(r->GetNoLogs(&h), 10);
  // A reader that has read the run so far sees what is appended after.
  CLogStore* rd = again->OpenLog("LoggerSeq=00000001", kGenericRead);
  ASSERT_NE(rd, nullptr);
  LogHeader rh;
  ASSERT_EQ(rd->ReadHeader(&rh), 0);
  std::vector<uint8_t> one(rh.recordLength);
  ASSERT_EQ(rd->ReadLog(9, &rh, one.data(), int(one.size()), 0, nullptr, nullptr, 0, 0), 0);
  EXPECT_EQ(rd->ReadLog(10, &rh, one.data(), int(one.size()), 0, nullptr, nullptr, 0, 0), -1);
  std::vector<uint8_t> later = MakeRecords(h, 10, 10);
  EXPECT_EQ(r->AppendRecords(&h, later.data(), 10), 0);
  EXPECT_EQ(r->GetNoLogs(&h), 20);
  std::vector<uint8_t> want = Expected(h, later, 10);
  ASSERT_EQ(rd->ReadLog(15, &rh, one.data(), int(one.size()), 0, nullptr, nullptr, 0, 0), 0);
  EXPECT_EQ(memcmp(one.data(), want.data() + 5 * h.recordLength, h.recordLength), 0);
  ASSERT_EQ(rd->ReadLog(0, &rh, one.data(), int(one.size()), 0, nullptr, nullptr, 0, 1), 0);
  EXPECT_EQ(memcmp(one.data(), want.data() + 9 * h.recordLength, h.recordLength), 0) << "newest first";
  rd->Destroy(1);
  r->Destroy(1);
  again->Destroy(1);
  c->Destroy(1);
}

TEST_F(MariaDbLogTest, ServerStoppedMidAppendKeepsWholeCallsOnly) {
  LogHeader h = MakeHeader({{"AI", 1, 16, false}});
  Channels ch(h);
  CLogCollection* c = OpenCollection("Stop");
  int32_t start = h.start.seconds;
  CLogStore* s = c->CreateLog(&start, 1, 0, &h, nullptr, 0, nullptr, 0, ch.ptrs.data());
  ASSERT_NE(s, nullptr);
  c->Destroy(1);
  // Calls of 2500 rows (three statements each) until the server dies under
  // them.
  std::vector<uint8_t> recs = MakeRecords(h, 2500);
  std::atomic<int> acknowledged{0};
  std::atomic<bool> failed{false};
  std::thread writer([&] {
    for (int i = 0; i < 1000 && !failed; ++i) {
      if (s->AppendRecords(&h, recs.data(), 2500) != 0)
        failed = true;
      else
        ++acknowledged;
    }
  });
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (acknowledged < 2 && !failed && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  kill(server_->pid(), SIGKILL);
  writer.join();
  ASSERT_TRUE(failed) << "appends did not fail after the server was killed";
  // The text of the step the server died under: a statement, or the
  // transaction around them.
  std::string summary = s->GetErrorSummary();
  EXPECT_TRUE(summary == "mysql_stmt_execute(), failed" || summary == "INSERT failed") << summary;
  EXPECT_NE(*s->GetErrorDetail(), '\0');
  EXPECT_EQ(s->AppendRecords(&h, recs.data(), 1), -1);  // still down: no crash, a failure
  s->Destroy(1);

  // Down: the collection cannot open.
  CLogCollection* down = CreateLogCollection(loc_.c_str());
  EXPECT_EQ(down->Open(loc_.c_str(), "", "Stop", "", kRW), -1);
  EXPECT_STREQ(down->GetErrorSummary(), "CAN'T CONNECT TO DATABASE");
  EXPECT_NE(*down->GetErrorDetail(), '\0');
  down->Destroy(1);

  // Up again on the same data: every acknowledged call is there whole, the
  // interrupted one not at all.
  server_->Stop();  // reaps the killed server
  {
    RestartedServer again(server_->socket());
    ASSERT_TRUE(again.ok) << "the server did not start again on its data (see " << again.dir << "/err2.log)";
    CLogCollection* up = OpenCollection("Stop");
    CLogStore* r = up->OpenLog("LoggerSeq=00000001", kGenericRead);
    ASSERT_NE(r, nullptr) << up->GetErrorSummary() << " " << up->GetErrorDetail();
    int rows = r->GetNoLogs(&h);
    EXPECT_EQ(rows % 2500, 0) << rows;
    EXPECT_GE(rows, 2500 * acknowledged.load());
    EXPECT_LE(rows, 2500 * (acknowledged.load() + 1));
    r->Destroy(1);
    up->Destroy(1);
  }
  // The tests that run after this one in the same process get a server.
  server_->Start();
}

}  // namespace
