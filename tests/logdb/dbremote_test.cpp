// Database runs whose channel records come from another computer's central
// server (a fake one answering "CV" over its pipe), and the logger status
// channels the database collections publish when they open a location. Each
// case runs on the three database roads: the ADO kind on an SQLite file
// opened as Jet, the ADO kind on a private MariaDB server through ODBC, and
// the MariaDB kind on that server.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "cdxlib/records/chanconfig.h"
#include "cdxlib/client/srvclient.h"
#include "cdxlib/shm/drvtables.h"
#include "cdxlib/sys/registry.h"
#include "cdxlib/runtime/syserr.h"
#include "cdxlib/sys/timestamp.h"
#include "logdata/logstatus.h"
#include "logdata/logkinds.h"
#include "logdata/logstore.h"
#include "logdb/ado/ado.h"
#include "logdb/dbcollection.h"
#include "logdb/mariadbcollection.h"
#include "logdb/mariadbstore.h"
#include "support/mariadb_server.h"
#include "tools/cdxsim/cdxsim.h"
#include "tools/fakesrv/fakesrv.h"
#include "support/log_header.h"

namespace {

enum class Road { kAdoJet, kAdoMariaDb, kMariaDb };
constexpr uint32_t kReadWrite = 0xC0000000u;
constexpr int32_t kStart = 1709640000;  // 2024-03-05 12:00:00
constexpr const char* kRemote = "plc-srv";

void NoSleep(int) {}

// Block 0 analog "AI" 1..3, block 1 digital "DI" 1..2.
LogHeader MakeHeader(bool tags) {
  LogHeader h{};
  h.marker = kLogHeaderMarker;
  h.start = TimeStamp{kStart, 0, 0};
  h.tagColumns = tags;
  testsupport::AddLogBlock(h, "AI", 1, 3, false, "PLC0");
  testsupport::AddLogBlock(h, "DI", 1, 2, true, "PLC1");
  return h;
}

// The records the remote server holds: analog tags FLOWn, digital PUMPn.
ChannelConfig RemoteRecord(const std::string& prefix, int channel) {
  ChannelConfig c;
  memset(&c, 0, sizeof c);
  bool digital = prefix == "DI";
  c.Type = digital ? kKindDI : kKindAI;
  Chan_SetFlag(&c, kAiEnable, true);
  Chan_SetTag(&c, ((digital ? "PUMP" : "FLOW") + std::to_string(channel)).c_str());
  Chan_SetDescription(&c, ("remote " + prefix + std::to_string(channel)).c_str());
  if (digital) {
    memcpy(c.digital.LowStateText, "STOPPED", 7);
    memcpy(c.digital.HighStateText, "RUNNING", 7);
  } else {
    Chan_SetUnits(&c, "m3/h");
    c.analog.MinimumUnits = -1.5f;
    c.analog.MaximumUnits = 99.5f;
  }
  return c;
}

// A "CV,<prefix>,<channel>" reply: the group's time stamp, then the record.
std::string CvReply(const std::string& prefix, int channel) {
  TimeStamp stamp{kStart - 60, 250, 0};
  ChannelConfig c = RemoteRecord(prefix, channel);
  std::string out(reinterpret_cast<const char*>(&stamp), sizeof stamp);
  out.append(reinterpret_cast<const char*>(&c), sizeof c);
  return out;
}

class DbRemoteTest : public ::testing::TestWithParam<Road> {
 protected:
  void SetUp() override {
    CLogDbCollection::SetSleeper(NoSleep);
    LogDb_RegisterAdoKind();
    RegisterMariaDbLogKind();
    Reg_DeleteValue(plat::HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillomatic\\Coordinatrix", "DatabaseDigitalText");
    if (GetParam() == Road::kAdoJet) {
      static int n = 0;
      std::string dir = std::string(getenv("CDXPLAT_ROOT")) + "/jet" + std::to_string(++n);
      std::filesystem::create_directories(dir);
      location_ = "Provider=Microsoft.Jet.OLEDB.4.0; Jet OLEDB:Engine Type=5; Data Source=\"" + dir + "/runs.mdb\"";
      check_ = location_;
    } else {
      // The server's temporary files go under this test's folder.
      std::string tmp = std::string(getenv("CDXPLAT_ROOT")) + "/tmp";
      std::filesystem::create_directories(tmp);
      setenv("TMPDIR", tmp.c_str(), 1);
      NEED_MARIADB(s);
      std::string db = s->NewDatabase();
      check_ = "Provider=MSDASQL;Driver={MariaDB};Socket=" + s->socket() + ";Database=" + db +
               ";User ID=root;Password=";
      location_ = GetParam() == Road::kAdoMariaDb
                      ? check_
                      : "Provider=MariaDB;Socket=" + s->socket() + ";Database=" + db + ";User ID=root;Password=";
    }
    remote_.script().SetHandler([this](const std::string& request) { return Answer(request); });
    ASSERT_EQ(server_.Start("PLC-SRV"), 0);
  }
  void TearDown() override {
    server_.Stop();
    Srv_CloseAll();
  }

  // Answers "CV,<prefix>,<channel>" from the remote records, except the
  // request named in failAt_ on its failOn_-th arrival, which gets failure_.
  std::optional<fakesrv::Action> Answer(std::string request) {
    while (!request.empty() && request.back() == '\0') request.pop_back();
    if (request.compare(0, 3, "CV,") != 0) return std::nullopt;
    std::lock_guard<std::mutex> g(mutex_);
    size_t comma = request.find(',', 3);
    std::string prefix = request.substr(3, comma - 3);
    int channel = atoi(request.c_str() + comma + 1);
    if (request == failAt_ && ++seen_ == failOn_) return failure_;
    return fakesrv::Bytes(CvReply(prefix, channel));
  }

  std::unique_ptr<CLogCollection, void (*)(CLogCollection*)> Open(const char* logger = "PLANT",
                                                                  const char* prefix = "") {
    CLogCollection* c = CreateLogCollection(location_.c_str());
    std::unique_ptr<CLogCollection, void (*)(CLogCollection*)> p(c, [](CLogCollection* x) {
      if (x) x->Destroy(1);
    });
    EXPECT_NE(c, nullptr);
    if (c) {
      EXPECT_EQ(c->Open(location_.c_str(), "", logger, prefix, kReadWrite), 0) << c->GetErrorSummary() << ": "
                                                                              << c->GetErrorDetail();
    }
    return p;
  }

  // Rows of a query on the test's database, past the stores; nullopt when
  // the statement fails.
  std::optional<ado::ResultSet> Query(const std::string& sql) {
    try {
      ado::Connection c;
      c.Open(check_, "", "", -1);
      ado::ResultSet r;
      c.Execute(sql, ado::adCmdText, &r);
      return r;
    } catch (const ado::ComError&) {
      return std::nullopt;
    }
  }
  long Count(const std::string& sql) {
    auto r = Query(sql);
    return r && !r->rows.empty() ? long(r->rows[0][0].AsInt()) : -1;
  }
  std::vector<std::string> CvRequests() {
    std::vector<std::string> out;
    for (std::string r : remote_.Requests()) {
      while (!r.empty() && r.back() == '\0') r.pop_back();
      if (r.compare(0, 3, "CV,") == 0) out.push_back(r);
    }
    return out;
  }

  std::string location_, check_;
  fakesrv::Engine remote_;
  fakesrv::PipeServer server_{&remote_};
  std::mutex mutex_;
  std::string failAt_;
  int failOn_ = 0, seen_ = 0;
  fakesrv::Action failure_;
};

TEST_P(DbRemoteTest, TagColumnsFromTheRemoteServersChannelRecords) {
  auto c = Open();
  LogHeader h = MakeHeader(true);
  int32_t start = kStart;
  CLogStore* s = c->CreateLog(&start, 1, 0, &h, nullptr, 0, kRemote, 0, nullptr);
  ASSERT_NE(s, nullptr) << c->GetErrorSummary() << ": " << c->GetErrorDetail();

  // One request per channel, "%1.2s,%d"; the collection names the columns
  // and the store writes the channel rows, each from the server.
  std::vector<std::string> want;
  for (const char* p : {"AI,1", "AI,2", "AI,3", "DI,1", "DI,2"}) want.push_back(std::string("CV,") + p);
  std::vector<std::string> got = CvRequests();
  ASSERT_GE(got.size(), want.size());
  EXPECT_EQ(std::vector<std::string>(got.begin(), got.begin() + long(want.size())), want);
  for (const std::string& w : want) EXPECT_GE(std::count(got.begin(), got.end(), w), 1) << w;
  EXPECT_EQ(remote_.MaxOverlap(), 1);

  // The DATA columns carry the remote tags; the records go in and read back.
  std::vector<uint8_t> rec(h.recordLength, 0);
  LogRecord lr{};
  lr.marker = kLogRecordMarker;
  lr.seconds = kStart + 1;
  memcpy(rec.data(), &lr, sizeof lr);
  float flow2 = 12.25f;
  int32_t present = kLogFlagPresent, state = 1;
  memcpy(rec.data() + h.blocks[0].valueOffset + 4, &present, 4);
  memcpy(rec.data() + h.blocks[0].valueOffset + 4 * 3 + 4, &flow2, 4);
  memcpy(rec.data() + h.blocks[1].valueOffset + 4, &state, 4);
  ASSERT_EQ(s->AppendRecords(&h, rec.data(), 1), 0) << s->GetErrorSummary() << ": " << s->GetErrorDetail();
  int32_t stop = kStart + 2;
  ASSERT_EQ(c->CloseLog(s, &start, &stop, 0), 0);
  s->Destroy(1);
  auto rows = Query("SELECT FLOW1, FLOW2, FLOW3, PUMP1, PUMP2 FROM PLANT_DATA");
  ASSERT_TRUE(rows);
  ASSERT_EQ(rows->rows.size(), 1u);
  EXPECT_FLOAT_EQ(float(rows->rows[0][1].AsDouble()), flow2);
  EXPECT_EQ(rows->rows[0][4].AsInt(), 1);

  // The channel rows: the remote records' tags, texts, units and scales.
  int size = 0;
  ASSERT_EQ(c->FindFirst(&size), 1);
  char name[64];
  TimeStamp ts{}, te{};
  ASSERT_EQ(c->FindNext(name, &ts, &te), 1);
  CLogStore* r = c->OpenLog(name, 0x80000000u);
  ASSERT_NE(r, nullptr) << c->GetErrorSummary() << ": " << c->GetErrorDetail();
  LogHeader rh{};
  ASSERT_EQ(r->ReadHeader(&rh), 0) << r->GetErrorSummary();
  for (int b = 0; b < 2; ++b) {
    std::string prefix = b ? "DI" : "AI";
    ChannelConfig read[3];
    memset(read, 0, sizeof read);
    int n = b ? 2 : 3;
    ASSERT_EQ(r->ReadChannels(&rh, read, b, 0, n), 0) << r->GetErrorSummary() << ": " << r->GetErrorDetail();
    for (int k = 0; k < n; ++k) {
      SCOPED_TRACE(prefix + std::to_string(k + 1));
      ChannelConfig want1 = RemoteRecord(prefix, k + 1);
      EXPECT_STREQ(Chan_GetTag(read[k]), Chan_GetTag(want1));
      EXPECT_STREQ(Chan_GetDescription(read[k]), Chan_GetDescription(want1));
      if (b) {
        EXPECT_EQ(std::string(read[k].digital.HighStateText, 7), "RUNNING");
      } else {
        EXPECT_STREQ(Chan_GetUnits(read[k]), "m3/h");
        EXPECT_FLOAT_EQ(read[k].analog.MaximumUnits, 99.5f);
      }
    }
  }
  r->Destroy(1);
}

TEST_P(DbRemoteTest, TheServerFailingLeavesNoRun) {
  // Which request fails, on which of its arrivals (the first comes from
  // the collection naming the columns, the second from the store writing
  // the channel rows), and how.
  struct Case {
    const char* what;
    const char* request;
    int arrival;
    fakesrv::Action failure;
    const char* summary;
    const char* detail;  // contained in the detail; null: not checked
  } cases[] = {
      {"refused while naming columns", "CV,DI,2", 1, fakesrv::Text("-1,2,no such channel"), "CAN'T CREATE DATA TABLE",
       nullptr},
      {"reply without a record", "CV,AI,1", 1, fakesrv::Text("0"), "CAN'T CREATE DATA TABLE", nullptr},
      {"connection cut while naming columns", "CV,AI,3", 1, fakesrv::Cut(), "CAN'T CREATE DATA TABLE", nullptr},
      {"refused while writing channel rows", "CV,DI,1", 2, fakesrv::Text("-1,5,denied"),
       "CAN'T CONNECT TO DATABASE", "CAN'T GET CHANNEL CONFIGURATION"},
      {"short reply while writing channel rows", "CV,AI,2", 2, fakesrv::Bytes(std::string(100, 'x')),
       "CAN'T CONNECT TO DATABASE", "CAN'T GET CHANNEL CONFIGURATION"},
  };
  auto c = Open();
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    // The MariaDB collection hands the records it gathered to the store,
    // which asks again only when called by itself.
    bool storeAlone = k.arrival == 2 && GetParam() == Road::kMariaDb;
    {
      std::lock_guard<std::mutex> g(mutex_);
      failAt_ = k.request;
      failOn_ = storeAlone ? 1 : k.arrival;
      seen_ = 0;
      failure_ = k.failure;
    }
    LogHeader h = MakeHeader(true);
    int32_t start = kStart;
    if (storeAlone) {
      CLogDbMySQLStore store;
      EXPECT_EQ(store.CreateRun(location_.c_str(), "PLANT_", "PLANT", 1, &h, "[HEADER]\r\nremote\r\n", kRemote,
                                nullptr),
                -1);
      EXPECT_STREQ(store.GetErrorSummary(), "CAN'T GET CHANNEL CONFIGS");
      EXPECT_STREQ(store.GetErrorDetail(), "CAN'T GET CHANNEL CONFIGURATION");
    } else {
      CLogStore* s = c->CreateLog(&start, 1, 0, &h, "[HEADER]\r\nremote\r\n", 0, kRemote, 0, nullptr);
      EXPECT_EQ(s, nullptr);
      if (s) s->Destroy(1);
      EXPECT_STREQ(c->GetErrorSummary(), k.summary);
      if (k.detail) {
        EXPECT_NE(strstr(c->GetErrorDetail(), k.detail), nullptr) << c->GetErrorDetail();
      }
    }
    // Nothing of the run stays: no LOGGERS row and none of its tables.
    EXPECT_EQ(Count("SELECT COUNT(*) FROM LOGGERS"), 0);
    for (const char* t : {"CHANNELS", "DATA", "TEXT"}) EXPECT_FALSE(Query(std::string("SELECT * FROM PLANT_") + t)) << t;
    int size = 0;
    c->FindFirst(&size);
    char name[64];
    TimeStamp ts{}, te{};
    EXPECT_EQ(c->FindNext(name, &ts, &te), 0);
  }
  // The server gone: the same, and afterwards a run is made again.
  server_.Stop();
  Srv_CloseAll();
  {
    std::lock_guard<std::mutex> g(mutex_);
    failAt_.clear();
  }
  LogHeader h = MakeHeader(true);
  int32_t start = kStart;
  EXPECT_EQ(c->CreateLog(&start, 1, 0, &h, nullptr, 0, kRemote, 0, nullptr), nullptr);
  EXPECT_STREQ(c->GetErrorSummary(), "CAN'T CREATE DATA TABLE");
  EXPECT_EQ(Count("SELECT COUNT(*) FROM LOGGERS"), 0);
  ASSERT_EQ(server_.Start("PLC-SRV"), 0);
  CLogStore* s = c->CreateLog(&start, 1, 0, &h, nullptr, 0, kRemote, 0, nullptr);
  ASSERT_NE(s, nullptr) << c->GetErrorSummary() << ": " << c->GetErrorDetail();
  int32_t stop = kStart + 1;
  EXPECT_EQ(c->CloseLog(s, &start, &stop, 0), 0);
  s->Destroy(1);
  EXPECT_EQ(Count("SELECT COUNT(*) FROM LOGGERS"), 1);
}

TEST_P(DbRemoteTest, WithoutTagColumnsNothingIsAsked) {
  auto c = Open();
  LogHeader h = MakeHeader(false);
  int32_t start = kStart;
  CLogStore* s = c->CreateLog(&start, 1, 0, &h, nullptr, 0, kRemote, 0, nullptr);
  ASSERT_NE(s, nullptr) << c->GetErrorSummary() << ": " << c->GetErrorDetail();
  int32_t stop = kStart + 1;
  EXPECT_EQ(c->CloseLog(s, &start, &stop, 0), 0);
  s->Destroy(1);
  EXPECT_TRUE(CvRequests().empty());
  EXPECT_TRUE(Query("SELECT AI1, AI2, AI3, DI1, DI2 FROM PLANT_DATA"));
}

// The logger status block of this process, in a simulated "logst" driver.
const char* kStatusSim =
    "errors entries=16\n"
    "driver name=LOGST prefix=LS type=1\n"
    "module prefix=LS channels=64 kind=8\n"
    "logger name=LOG1 type=repub\n"
    "logger name=LOG2 type=repub\n";

TEST_P(DbRemoteTest, OpeningPublishesTheLoggerStatus) {
  Drv_ResetProcessState();
  SysErr_ResetProcessState();
  cdxsim::Description d;
  std::string error;
  ASSERT_TRUE(cdxsim::Description::Parse(kStatusSim, &d, &error)) << error;
  cdxsim::Sim sim(d);
  ASSERT_EQ(sim.Create(), 0);
  ASSERT_EQ(Drv_OpenLoggerTable(), 0);
  auto high = [&](int channel) {
    ChannelConfig c;
    memcpy(&c, sim.ModuleData("dm_LS_conf") + 216 * (channel - 1), sizeof c);
    return std::string(c.digital.HighStateText, strnlen(c.digital.HighStateText, 32));
  };
  auto type = [&] {
    uint32_t w;
    memcpy(&w, sim.ModuleData("dm_LS") + 20 + 4 * (32 + kLsType - 1), 4);
    return w & 1;
  };
  ASSERT_EQ(LogStatus_Setup(2, Drv_GetLogger(2)), 0);
  // A file location first: TYPE 0 and its directories.
  PublishLoggerStatus("/data/logs", "/data/logs/LOG2", "");
  EXPECT_EQ(type(), 0u);
  EXPECT_EQ(high(32 + kLsDirectory1), "data");

  // The database collection's open: the logger's own name in DIRECTORY1,
  // the name prefix, TYPE 1 (DATABASE).
  {
    auto c = Open("PLANT", "FAST");
    EXPECT_EQ(high(32 + kLsDirectory1), "LOG2");
    EXPECT_EQ(high(32 + kLsDirectory1 + 1), "logs");  // left as it was
    EXPECT_EQ(high(32 + kLsPrefix), "FAST");
    EXPECT_EQ(type(), 1u);
  }
  LogStatus_Stop();
  Drv_ResetProcessState();
}

INSTANTIATE_TEST_SUITE_P(Roads, DbRemoteTest, ::testing::Values(Road::kAdoJet, Road::kAdoMariaDb, Road::kMariaDb),
                         [](const ::testing::TestParamInfo<Road>& i) {
                           return i.param == Road::kAdoJet ? std::string("AdoJet")
                                  : i.param == Road::kAdoMariaDb ? std::string("AdoMariaDb")
                                                                 : std::string("MariaDb");
                         });

// The Jet file a collection makes of its own when given no location is a
// database location too.
TEST(DbRemoteStatus, JetDefaultFilePublishesADatabaseLocation) {
  CLogDbCollection::SetSleeper(NoSleep);
  Drv_ResetProcessState();
  SysErr_ResetProcessState();
  cdxsim::Description d;
  std::string error;
  ASSERT_TRUE(cdxsim::Description::Parse(kStatusSim, &d, &error)) << error;
  cdxsim::Sim sim(d);
  ASSERT_EQ(sim.Create(), 0);
  ASSERT_EQ(Drv_OpenLoggerTable(), 0);
  ASSERT_EQ(LogStatus_Setup(1, Drv_GetLogger(1)), 0);
  std::string dir = std::string(getenv("CDXPLAT_ROOT")) + "/jetdefault";
  std::filesystem::create_directories(dir);
  CLogDbCollection c;
  ASSERT_EQ(c.Open("", dir.c_str(), "PLANT", "SLOW", kReadWrite), 0) << c.GetErrorSummary();
  ChannelConfig rec;
  memcpy(&rec, sim.ModuleData("dm_LS_conf") + 216 * (kLsDirectory1 - 1), sizeof rec);
  EXPECT_EQ(std::string(rec.digital.HighStateText, strnlen(rec.digital.HighStateText, 32)), "LOG1");
  memcpy(&rec, sim.ModuleData("dm_LS_conf") + 216 * (kLsPrefix - 1), sizeof rec);
  EXPECT_EQ(std::string(rec.digital.HighStateText, strnlen(rec.digital.HighStateText, 32)), "SLOW");
  uint32_t w;
  memcpy(&w, sim.ModuleData("dm_LS") + 20 + 4 * (kLsType - 1), 4);
  EXPECT_EQ(w & 1, 1u);
  LogStatus_Stop();
  Drv_ResetProcessState();
}

}  // namespace
