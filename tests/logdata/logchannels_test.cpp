// Where a new log file takes its channel records when the caller gives
// none: from another computer's central server (a fake one answering "CV"
// over its pipe), or from this computer's channel configuration modules.
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "cdxlib/records/chanconfig.h"
#include "cdxlib/client/srvclient.h"
#include "cdxlib/shm/drvtables.h"
#include "cdxlib/sys/timestamp.h"
#include "logdata/chanrequest.h"
#include "logdata/logfilecollection.h"
#include "logdata/logfilestore.h"
#include "platform/error.h"
#include "platform/files.h"
#include "tools/cdxsim/cdxsim.h"
#include "tools/fakesrv/fakesrv.h"
#include "support/log_header.h"

namespace {

constexpr int32_t kStart = 1709640000;
constexpr uint32_t kReadWrite = 0xC0000000u;

// Block 0 analog "AI" 2..4, block 1 digital "DI" 1..2.
LogHeader MakeHeader() {
  LogHeader h{};
  h.marker = kLogHeaderMarker;
  h.start = TimeStamp{kStart, 0, 0};
  testsupport::AddLogBlock(h, "AI", 2, 4);
  testsupport::AddLogBlock(h, "DI", 1, 2, true);
  h.headerLength = testsupport::LogHeaderBytes(h);
  return h;
}

ChannelConfig Record(const std::string& where, const std::string& prefix, int channel) {
  ChannelConfig c;
  memset(&c, 0, sizeof c);
  c.Type = prefix == "DI" ? kKindDI : kKindAI;
  Chan_SetTag(&c, (where + prefix + std::to_string(channel)).c_str());
  return c;
}

std::string TagOf(const ChannelConfig& c) { return Chan_GetTag(c); }

class LogChannelsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::string(getenv("CDXPLAT_ROOT")) + "/logs" + std::to_string(++n_);
    plat::MakeDirectories(dir_);
    ASSERT_EQ(coll_.Open(nullptr, dir_.c_str(), "L1", "", kReadWrite), 0);
    remote_.script().SetHandler([this](const std::string& request) -> std::optional<fakesrv::Action> {
      std::string r = request;
      while (!r.empty() && r.back() == '\0') r.pop_back();
      if (r.compare(0, 3, "CV,") != 0) return std::nullopt;
      std::lock_guard<std::mutex> g(mutex_);
      if (r == failAt_) return failure_;
      size_t comma = r.find(',', 3);
      TimeStamp stamp{kStart - 60, 0, 0};
      ChannelConfig c = Record("R", r.substr(3, comma - 3), atoi(r.c_str() + comma + 1));
      std::string out(reinterpret_cast<const char*>(&stamp), sizeof stamp);
      out.append(reinterpret_cast<const char*>(&c), sizeof c);
      return fakesrv::Bytes(out);
    });
    ASSERT_EQ(server_.Start("PLC-SRV"), 0);
  }
  void TearDown() override {
    server_.Stop();
    Srv_CloseAll();
  }

  // The channel records of block b as the log file holds them.
  std::vector<ChannelConfig> Channels(CLogStore* s, int b) {
    LogHeader h{};
    EXPECT_EQ(s->ReadHeader(&h), 0);
    int n = LogBlockChannels(h.blocks[b]);
    std::vector<ChannelConfig> out(static_cast<size_t>(n));
    EXPECT_EQ(s->ReadChannels(&h, out.data(), b, 0, n), 0);
    return out;
  }
  std::vector<std::string> CvRequests() {
    std::vector<std::string> out;
    for (std::string r : remote_.Requests()) {
      while (!r.empty() && r.back() == '\0') r.pop_back();
      if (r.compare(0, 3, "CV,") == 0) out.push_back(r);
    }
    return out;
  }

  static inline int n_ = 0;
  std::string dir_;
  CLogFileCollection coll_;
  fakesrv::Engine remote_;
  fakesrv::PipeServer server_{&remote_};
  std::mutex mutex_;
  std::string failAt_;
  fakesrv::Action failure_;
};

TEST_F(LogChannelsTest, ARemoteChannelSourceIsAskedForEveryChannel) {
  LogHeader h = MakeHeader();
  int32_t start = kStart;
  CLogStore* s = coll_.CreateLog(&start, 0, 0, &h, nullptr, 0, "plc-srv", 0, nullptr);
  ASSERT_NE(s, nullptr) << plat::GetLastError();
  EXPECT_EQ(CvRequests(), (std::vector<std::string>{"CV,AI,2", "CV,AI,3", "CV,AI,4", "CV,DI,1", "CV,DI,2"}));
  EXPECT_EQ(remote_.MaxOverlap(), 1);
  std::vector<ChannelConfig> ai = Channels(s, 0), di = Channels(s, 1);
  ASSERT_EQ(ai.size(), 3u);
  ASSERT_EQ(di.size(), 2u);
  EXPECT_EQ(TagOf(ai[0]), "RAI2");
  EXPECT_EQ(TagOf(ai[2]), "RAI4");
  EXPECT_EQ(TagOf(di[1]), "RDI2");
  EXPECT_EQ(di[1].Type, kKindDI);
  s->Destroy(1);

  // The caller's records win: nothing is asked.
  std::vector<ChannelConfig> mine = {Record("C", "AI", 2), Record("C", "AI", 3), Record("C", "AI", 4)};
  std::vector<ChannelConfig> mineDi = {Record("C", "DI", 1), Record("C", "DI", 2)};
  ChannelConfig* given[2] = {mine.data(), mineDi.data()};
  start = kStart + 100;
  h = MakeHeader();
  s = coll_.CreateLog(&start, 0, 0, &h, nullptr, 0, "plc-srv", 0, given);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(CvRequests().size(), 5u);
  EXPECT_EQ(TagOf(Channels(s, 0)[1]), "CAI3");
  s->Destroy(1);
}

TEST_F(LogChannelsTest, AServerThatFailsLeavesNoLog) {
  struct Case {
    const char* what;
    fakesrv::Action failure;
  } cases[] = {
      {"refused", fakesrv::Text("-1,2,no such channel")},
      {"reply without a record", fakesrv::Text("0")},
      {"short reply", fakesrv::Bytes(std::string(100, 'x'))},
      {"connection cut", fakesrv::Cut()},
  };
  int32_t start = kStart;
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    {
      std::lock_guard<std::mutex> g(mutex_);
      failAt_ = "CV,DI,1";
      failure_ = k.failure;
    }
    LogHeader h = MakeHeader();
    CLogStore* s = coll_.CreateLog(&start, 0, 0, &h, nullptr, 0, "plc-srv", 0, nullptr);
    EXPECT_EQ(s, nullptr);
    if (s) s->Destroy(1);
    EXPECT_NE(plat::GetLastError(), 0u);
    int size = 0;
    ASSERT_EQ(coll_.FindFirst(&size), 1);
    char name[256];
    EXPECT_EQ(coll_.FindNext(name, nullptr, nullptr), 0) << "left behind: " << name;
  }
  // The server back in order: the same log is made.
  {
    std::lock_guard<std::mutex> g(mutex_);
    failAt_.clear();
  }
  LogHeader h = MakeHeader();
  CLogStore* s = coll_.CreateLog(&start, 0, 0, &h, nullptr, 0, "plc-srv", 0, nullptr);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(TagOf(Channels(s, 1)[0]), "RDI1");
  s->Destroy(1);
}

TEST_F(LogChannelsTest, ThisComputersRecordsComeFromItsConfigurationModules) {
  Drv_ResetProcessState();
  cdxsim::Description d;
  std::string error;
  ASSERT_TRUE(cdxsim::Description::Parse("driver name=ANALOG prefix=AI type=1\n"
                                         "module prefix=AI channels=8 kind=8\n",
                                         &d, &error))
      << error;
  cdxsim::Sim sim(d);
  ASSERT_EQ(sim.Create(), 0);
  for (int ch = 1; ch <= 8; ++ch) {
    ChannelConfig c = Record("L", "AI", ch);
    memcpy(sim.ModuleData("dm_AI_conf") + 216 * (ch - 1), &c, sizeof c);
  }
  // Only the analog block's module exists: the digital block has nowhere to
  // take its records from.
  for (const char* server : {"", "."}) {
    SCOPED_TRACE(server);
    LogHeader h = MakeHeader();
    int32_t start = kStart;
    EXPECT_EQ(coll_.CreateLog(&start, 0, 0, &h, nullptr, 0, server, 0, nullptr), nullptr);
    EXPECT_EQ(plat::GetLastError(), plat::kErrFileNotFound);
  }
  LogHeader h = MakeHeader();
  h.blockCount = 1;
  h.headerLength = 900 + 3 * 216 + 4;
  h.recordLength = kLogRecordFixedSize + 3 * 8 + 2;
  int32_t start = kStart;
  CLogStore* s = coll_.CreateLog(&start, 0, 0, &h, nullptr, 0, nullptr, 0, nullptr);
  ASSERT_NE(s, nullptr) << plat::GetLastError();
  std::vector<ChannelConfig> ai = Channels(s, 0);
  ASSERT_EQ(ai.size(), 3u);
  EXPECT_EQ(TagOf(ai[0]), "LAI2");
  EXPECT_EQ(TagOf(ai[2]), "LAI4");
  EXPECT_TRUE(CvRequests().empty());
  s->Destroy(1);
  Drv_ResetProcessState();
}

// Channels count from 1: a block that starts at channel 0 holds a cleared
// record for it (not what lies before the module's data), a block that ends
// at the module's last channel holds that channel's record, and a channel
// past the module's data is cleared. The same records come to every kind of
// log through Log_BlockChannelConfigs.
TEST_F(LogChannelsTest, ChannelZeroAndTheLastChannelOfAModule) {
  Drv_ResetProcessState();
  cdxsim::Description d;
  std::string error;
  ASSERT_TRUE(cdxsim::Description::Parse("driver name=ANALOG prefix=AI type=1\n"
                                         "module prefix=AI channels=8 kind=8\n",
                                         &d, &error))
      << error;
  cdxsim::Sim sim(d);
  ASSERT_EQ(sim.Create(), 0);
  for (int ch = 1; ch <= 8; ++ch) {
    ChannelConfig c = Record("L", "AI", ch);
    memcpy(sim.ModuleData("dm_AI_conf") + 216 * (ch - 1), &c, sizeof c);
  }
  const ChannelConfig cleared{};
  auto isCleared = [&](const ChannelConfig& c) { return memcmp(&c, &cleared, sizeof c) == 0; };

  // One block of channels 0..2, one of 7..8 (the module's last), one of 8..9.
  LogHeader h{};
  h.marker = kLogHeaderMarker;
  h.start = TimeStamp{kStart, 0, 0};
  testsupport::AddLogBlock(h, "AI", 0, 2);
  testsupport::AddLogBlock(h, "AI", 7, 8);
  testsupport::AddLogBlock(h, "AI", 8, 9);
  h.headerLength = testsupport::LogHeaderBytes(h);
  int32_t start = kStart;
  CLogStore* s = coll_.CreateLog(&start, 0, 0, &h, nullptr, 0, nullptr, 0, nullptr);
  ASSERT_NE(s, nullptr) << plat::GetLastError();
  std::vector<ChannelConfig> low = Channels(s, 0), top = Channels(s, 1), past = Channels(s, 2);
  ASSERT_EQ(low.size(), 3u);
  EXPECT_TRUE(isCleared(low[0]));
  EXPECT_EQ(TagOf(low[1]), "LAI1");
  EXPECT_EQ(TagOf(low[2]), "LAI2");
  ASSERT_EQ(top.size(), 2u);
  EXPECT_EQ(TagOf(top[0]), "LAI7");
  EXPECT_EQ(TagOf(top[1]), "LAI8");
  ASSERT_EQ(past.size(), 2u);
  EXPECT_EQ(TagOf(past[0]), "LAI8");
  EXPECT_TRUE(isCleared(past[1]));
  s->Destroy(1);

  // The helper itself, on its three roads.
  std::vector<ChannelConfig> recs;
  EXPECT_EQ(Log_BlockChannelConfigs(h.blocks[0], nullptr, nullptr, true, &recs), 1);
  ASSERT_EQ(recs.size(), 3u);
  EXPECT_TRUE(isCleared(recs[0]));
  EXPECT_EQ(TagOf(recs[2]), "LAI2");
  const ChannelConfig given[3] = {Record("G", "AI", 0), Record("G", "AI", 1), Record("G", "AI", 2)};
  EXPECT_EQ(Log_BlockChannelConfigs(h.blocks[0], given, nullptr, true, &recs), 1);
  EXPECT_EQ(TagOf(recs[0]), "GAI0");
  // Another computer's: channel 0 is not asked for and stays cleared.
  EXPECT_EQ(Log_BlockChannelConfigs(h.blocks[0], nullptr, "PLC-SRV", true, &recs), 1) << plat::GetLastError();
  EXPECT_TRUE(isCleared(recs[0]));
  EXPECT_EQ(TagOf(recs[1]), "RAI1");
  EXPECT_EQ(CvRequests(), (std::vector<std::string>{"CV,AI,1", "CV,AI,2"}));
  EXPECT_EQ(Log_BlockChannelConfigs(h.blocks[0], nullptr, "PLC-SRV", false, &recs), 0);
  ASSERT_EQ(recs.size(), 3u);
  EXPECT_TRUE(isCleared(recs[1]));
  LogBlockDescriptor none = h.blocks[0];
  memcpy(none.prefix, "ZZ", 2);
  EXPECT_EQ(Log_BlockChannelConfigs(none, nullptr, ".", true, &recs), -1);
  EXPECT_EQ(plat::GetLastError(), plat::kErrFileNotFound);
  Drv_ResetProcessState();
}

}  // namespace
