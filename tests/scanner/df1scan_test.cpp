// Block reads over a real pty pair against the controller simulator.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "scanner/aipath.h"
#include "scanner/channels.h"
#include "scanner/df1link.h"
#include "scanner/df1plan.h"
#include "scanner/df1read.h"
#include "tools/df1sim/df1sim.h"

namespace {

std::string g_text;
int g_sets = 0;
int g_clears = 0;
void SetText(const char* t) {
  g_text = t;
  ++g_sets;
}
void ClearText() {
  g_text.clear();
  ++g_clears;
}

// Channels (1-based numbers in the texts):
//   1, 2: analog, node 1, words 10 and 11     -> block 0 (node 1 @16, 4 bytes)
//   3:    digital, node 2, word 0, bit 3       -> block 1 (node 2 @0)
//   4:    analog, node 3, word 20              -> block 2 (node 3 @32), the faulty node
class Df1ScanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(sim_.Start(), 0);
    sim_.SetWord(1, 16, 0x0123);
    sim_.SetWord(1, 18, 0x0456);
    sim_.SetWord(2, 0, 0x0008);
    // The low byte 0x10 is stuffed on the wire (value 110).
    sim_.SetWord(3, 32, 0x0110);
    Df1_ResetLink();
    Df1_SetTimeouts({});
    ASSERT_NE(Com_OpenPath(sim_.PortPath().c_str(), "19200,n,8,1"), nullptr);
    channels_ = {MakeChannel(0, 1, 10), MakeChannel(0, 1, 11), MakeChannel(1, 2, 0, 3), MakeChannel(0, 3, 20)};
    Df1_SetStatusSink({SetText, ClearText});
    Df1_SetModuleName("ai");
    ASSERT_EQ(Df1_PlanBlocks(&device_, 4, channels_.data()), 0);
    ASSERT_EQ(Df1_CurrentPlan().blocks.size(), 3u);
    g_text.clear();
    g_sets = g_clears = 0;
  }
  void TearDown() override {
    Com_Close();
    sim_.Stop();
  }
  void Scan() {
    for (auto& s : status_) s = 0;
    for (auto& v : values_) v = -1;
    Df1_ReadBlocks(Com_Port(), &device_, 4, channels_.data(), status_, values_);
  }
  // The simulator's counters once the line has gone quiet (its thread may
  // still be taking the last ACK when a scan returns).
  df1sim::Stats Settled(int node) {
    df1sim::Stats last = sim_.GetStats(node);
    for (int same = 0, i = 0; same < 5 && i < 500; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      const df1sim::Stats now = sim_.GetStats(node);
      same = (now.commands == last.commands && now.acksReceived == last.acksReceived) ? same + 1 : 0;
      last = now;
    }
    return last;
  }
  void ExpectClean() {
    EXPECT_EQ(g_text, "");
    EXPECT_EQ(values_[0], 123);
    EXPECT_EQ(values_[1], 456);
    EXPECT_EQ(status_[0] & kStatusBad, 0u);
    EXPECT_EQ(status_[1] & kStatusBad, 0u);
    EXPECT_EQ(status_[2], kStatusState);  // bit 3 of 0x0008
    EXPECT_EQ(values_[3], 110);
    EXPECT_EQ(status_[3] & kStatusBad, 0u);
  }
  df1sim::Simulator sim_;
  DeviceConfig device_ = MakeDevice();
  std::vector<ChannelConfig> channels_;
  uint32_t status_[4] = {};
  float values_[4] = {};
};

TEST_F(Df1ScanTest, CleanScanReadsEveryBlock) {
  Scan();
  ExpectClean();
  EXPECT_EQ(g_clears, 1);
  EXPECT_EQ(g_sets, 0);
  const auto s = Settled(-1);
  EXPECT_EQ(s.commands, 3);
  EXPECT_EQ(s.acksReceived, 3);
  EXPECT_EQ(s.badFrames, 0);
}

TEST_F(Df1ScanTest, BlockFailingTwiceThenSucceedingIsGood) {
  sim_.SetFault(3, df1sim::Fault::kBadBcc, 2);
  Scan();
  ExpectClean();
  EXPECT_EQ(g_sets, 0);
  const auto s = Settled(3);
  EXPECT_EQ(s.commands, 3);
  EXPECT_EQ(s.acksReceived, 3);
}

TEST_F(Df1ScanTest, BadBitNumberIsReportedOncePerScan) {
  channels_.push_back(MakeChannel(1, 2, 0, 16));
  channels_.push_back(MakeChannel(3, 2, 0, 17));
  ASSERT_EQ(Df1_PlanBlocks(&device_, 6, channels_.data()), 0);
  uint32_t st[6] = {};
  float v[6] = {};
  Df1_ReadBlocks(Com_Port(), &device_, 6, channels_.data(), st, v);
  EXPECT_EQ(g_sets, 1);
  EXPECT_EQ(g_text, "ai5: Bit Error");
  EXPECT_NE(st[4] & kStatusBad, 0u);
  EXPECT_NE(st[5] & kStatusBad, 0u);
  EXPECT_EQ(st[2], kStatusState);
}

TEST_F(Df1ScanTest, StopRequestEndsTheBlockLoop) {
  volatile int running = 0;
  Df1_SetRunningFlag(&running);
  status_[0] = 0x1234;
  Df1_ReadBlocks(Com_Port(), &device_, 4, channels_.data(), status_, values_);
  Df1_SetRunningFlag(nullptr);
  EXPECT_EQ(sim_.GetStats().commands, 0);
  EXPECT_EQ(status_[0], 0x1234u);  // not decoded
}

struct FaultCase {
  df1sim::Fault fault;
  int code;  // 0: the block stays good
  const char* text;
};

class Df1FaultTest : public Df1ScanTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(Df1FaultTest, FaultGivesItsCodeAndOnlyThatBlockIsBad) {
  const FaultCase& c = GetParam();
  sim_.SetFault(3, c.fault, df1sim::kAlways);
  Scan();
  const auto s = Settled(3);
  if (c.code == 0) {
    ExpectClean();
    EXPECT_EQ(s.commands, 1);
  } else {
    EXPECT_EQ(g_text, c.text);
    EXPECT_EQ(g_sets, 1);
    EXPECT_EQ(g_clears, 0);
    EXPECT_NE(status_[3] & kStatusBad, 0u);
    EXPECT_EQ(values_[3], -1);  // untouched
    EXPECT_EQ(s.commands, 3);
    // An enquiry inside the reply is answered with the last response (an
    // ACK) as well.
    EXPECT_EQ(s.acksReceived, c.fault == df1sim::Fault::kDleEnq ? 6 : 3);
    EXPECT_EQ(Df1_CurrentPlan().blocks[2].bad, 1);
    // The other blocks stay good.
    EXPECT_EQ(values_[0], 123);
    EXPECT_EQ(values_[1], 456);
    EXPECT_EQ(status_[0] & kStatusBad, 0u);
    EXPECT_EQ(status_[2], kStatusState);
    EXPECT_EQ(sim_.GetStats(1).commands, 1);
    EXPECT_EQ(sim_.GetStats(2).commands, 1);
  }
  // The next clean scan reads correctly and clears the text.
  sim_.ClearFaults();
  Scan();
  ExpectClean();
  EXPECT_EQ(Df1_CurrentPlan().blocks[2].bad, 0);
}

using df1sim::Fault;
INSTANTIATE_TEST_SUITE_P(
    AllFaults, Df1FaultTest,
    ::testing::Values(FaultCase{Fault::kNak, 4, "ai4: NAK Response to Command"},
                      FaultCase{Fault::kNoAck, 3, "ai4: Timed Out On Command"},
                      FaultCase{Fault::kAckLate, 3, "ai4: Timed Out On Command"},
                      FaultCase{Fault::kNoReply, 6, "ai4: Receive Timed Out"},
                      FaultCase{Fault::kReplyLate, 6, "ai4: Receive Timed Out"},
                      FaultCase{Fault::kReplyCut, 7, "ai4: Incomplete Response"},
                      FaultCase{Fault::kGaps, 7, "ai4: Incomplete Response"},
                      FaultCase{Fault::kGarbage, 8, "ai4: No DLE STX on Receive"},
                      FaultCase{Fault::kDleAck, 9, "ai4: Received Bad Symbol"},
                      FaultCase{Fault::kDleEnq, 9, "ai4: Received Bad Symbol"},
                      FaultCase{Fault::kDleOther, 9, "ai4: Received Bad Symbol"},
                      FaultCase{Fault::kBadBcc, 10, "ai4: Received Bad BCC"},
                      FaultCase{Fault::kTooLong, 11, "ai4: Receive Too Long"},
                      FaultCase{Fault::kDropByte, 10, "ai4: Received Bad BCC"},
                      FaultCase{Fault::kDropDle, 9, "ai4: Received Bad Symbol"},
                      FaultCase{Fault::kWrongSrc, 12, "ai4: Check Remote Node Error"},
                      FaultCase{Fault::kWrongCmd, 13, "ai4: Check Command Error"},
                      FaultCase{Fault::kWrongStatus, 16, "ai4: Resp Status Error (#10)"},
                      FaultCase{Fault::kWrongTns, 14, "ai4: Check TNS Error"},
                      FaultCase{Fault::kShort, 15, "ai4: Check Resp Length Error"},
                      FaultCase{Fault::kSilent, 3, "ai4: Timed Out On Command"},
                      FaultCase{Fault::kNoise, 0, ""}),
    [](const ::testing::TestParamInfo<FaultCase>& i) { return std::string(df1sim::FaultName(i.param.fault)); });

// Output hold: an operator's write into an output that the controller does
// not follow is published as requested for retry count scans.
class Df1HoldTest : public Df1ScanTest {
 protected:
  void Init(int retry) {
    device_ = MakeDevice(retry);
    // 1: digital output node 2 word 0 bit 3 (controller: 1); 2: analog output node 1 word 10 (123).
    channels_ = {MakeChannel(0, 1, 11), MakeChannel(3, 2, 0, 3), MakeChannel(2, 1, 10)};
    for (auto& s : module_) s = 0;
    for (auto& v : moduleValues_) v = 0;
    module_[1] = 1;          // published state
    moduleValues_[2] = 123;  // published value
    Ai_ResetFirstInit();
    Ai_Bind({module_, moduleValues_, saved_});
    ASSERT_EQ(Path_InitAi(&device_, 3, channels_.data()), 0);
    EXPECT_EQ(saved_[1], 1.0f);
    EXPECT_EQ(saved_[2], 123.0f);
  }
  // One scan; the result is published into the module as the scanner does.
  void ScanAi() {
    uint32_t st[3] = {};
    float v[3] = {};
    ASSERT_EQ(Path_ScanAi(&device_, 3, channels_.data(), st, v), 0);
    for (int i = 0; i < 3; ++i) {
      module_[i] = st[i];
      moduleValues_[i] = v[i];
    }
  }
  uint32_t module_[3];
  float moduleValues_[3];
  float saved_[3] = {};
};

TEST_F(Df1HoldTest, RetryCountZeroPublishesTheControllerAtOnce) {
  Init(0);
  module_[1] = 0;          // operator writes 0
  moduleValues_[2] = 500;  // and 500
  ScanAi();
  EXPECT_EQ(module_[1] & 1, 1u);
  EXPECT_EQ(moduleValues_[2], 123);
  EXPECT_EQ(saved_[1], 1.0f);
  EXPECT_EQ(saved_[2], 123.0f);
}

TEST_F(Df1HoldTest, RetryCountTwoHoldsTheRequestForTwoScans) {
  Init(2);
  module_[1] = 0;
  moduleValues_[2] = 500;
  for (int scan = 1; scan <= 2; ++scan) {
    ScanAi();
    EXPECT_EQ(module_[1] & 1, 0u) << scan;
    EXPECT_EQ(moduleValues_[2], 500) << scan;
  }
  ScanAi();
  EXPECT_EQ(module_[1] & 1, 1u);
  EXPECT_EQ(moduleValues_[2], 123);
  // Re-armed: the next request is held for two scans again.
  EXPECT_EQ(Ai_DigitalOutputs()[0].hold, 3);
  moduleValues_[2] = 7;
  ScanAi();
  EXPECT_EQ(moduleValues_[2], 7);
  ScanAi();
  EXPECT_EQ(moduleValues_[2], 7);
  ScanAi();
  EXPECT_EQ(moduleValues_[2], 123);
}

TEST_F(Df1HoldTest, OutputFollowingTheControllerIsNotHeld) {
  Init(2);
  sim_.SetWord(1, 16, 0x0321);  // the controller changes its output itself
  ScanAi();
  EXPECT_EQ(moduleValues_[2], 321);
  EXPECT_EQ(saved_[2], 321.0f);
}

}  // namespace
