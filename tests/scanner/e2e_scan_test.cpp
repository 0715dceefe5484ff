// qd_poll end to end: start-up, a scan published as the controller image
// and the channel rules give, alarms, events and logger triggers.
#include <gtest/gtest.h>

#include "scanner/qd_fixture.h"

namespace qdtest {
namespace {

using Startup = Installation;

TEST_F(Startup, MarksTheDeviceRunningAndReadsEveryPlannedBlockOnce) {
  ASSERT_GT(Start(), 0);
  ASSERT_TRUE(WaitReady());
  const uint8_t* r = sim_->DeviceRecordPtr(1);
  EXPECT_EQ(Get<uint32_t>(r, Layout::kPid), uint32_t(pid_));
  EXPECT_EQ(r[Layout::kRunning], 1);
  EXPECT_EQ(r[Layout::kLoaded], 1);
  EXPECT_EQ(r[Layout::kBusy], 0);
  // The next scan is due on a whole 500 ms boundary.
  EXPECT_EQ(Get<int16_t>(r, Layout::kNextScan + 4) % 500, 0);
  // The scanner copied the "config" file into the record.
  EXPECT_EQ(Get<uint32_t>(r, Layout::kConfig), 500u);
  bool found = false;
  EXPECT_EQ(sim_->StatusText(kProcess, &found), "");
  EXPECT_TRUE(found);
  // Two blocks: node 1 from byte 16, node 2 from byte 32, 10 bytes each.
  // The scanner's ACK of the last reply may still be on its way to the
  // simulator when the record shows ready.
  int64_t end = plat::MonotonicMs() + 5000;
  while (plc_.GetStats().acksReceived < 2 && plat::MonotonicMs() < end) plat::SleepMs(1);
  df1sim::Stats s = plc_.GetStats();
  EXPECT_EQ(s.commands, 2);
  EXPECT_EQ(s.acksReceived, 2);
  EXPECT_EQ(Commands(), (std::vector<std::string>{"1:16:10", "2:32:10"}));
}

TEST_F(Startup, ScanPublishesValuesStatusAndScanTimes) {
  ASSERT_GT(Start(), 0);
  ASSERT_TRUE(WaitReady());
  plc_.ResetStats();
  ASSERT_TRUE(Scan());
  EXPECT_EQ(plc_.GetStats().commands, 2);

  struct Expect {
    int channel;
    uint32_t status;
    float value;  // analog channels only
  } table[] = {
      {1, 0x80, 285}, {2, 0x80, 50},  {3, 0x80, 7},   {4, 0x01, 0},   {5, 0x19, 0},  {6, 0x80, 999},
      {7, 0xA0, 0},   {8, 0x00, 0},   {9, 0x80, 10},  {10, 0x80, 12}, {11, 0x80, 300}, {12, 0x80, 45},
      {13, 0x01, 0},  {14, 0x00, 0},  {15, 0x01, 0},  {16, 0x00, 0},
  };
  for (const Expect& e : table) {
    EXPECT_EQ(Status(e.channel), e.status) << "channel " << e.channel;
    if (e.status & 0x80 && !(e.status & 0x20)) {
      EXPECT_EQ(Value(e.channel), e.value) << "channel " << e.channel;
    }
  }
  EXPECT_EQ(Get<uint16_t>(Values(), Layout::kCount), kChannels);
  EXPECT_EQ(Get<int16_t>(Values(), Layout::kError), 0);
  EXPECT_GE(Get<int32_t>(Values(), Layout::kScanMs), 0);
  EXPECT_GE(Get<int32_t>(sim_->DeviceRecordPtr(1), Layout::kLastScan), 0);
  // The published records carry no mark of the reset any more than needed:
  // a plain scan leaves busy alone.
  EXPECT_EQ(sim_->DeviceRecordPtr(1)[Layout::kBusy], 0);
}

TEST_F(Startup, AlarmIsRaisedOnceAndClearedPastTheDeadband) {
  ASSERT_GT(Start(), 0);
  ASSERT_TRUE(WaitReady());
  ASSERT_TRUE(Scan());
  size_t before = sim_->Alarms().size();
  plc_.SetWord(1, ByteAddress(11), Bcd(101));
  ASSERT_TRUE(Scan());
  ASSERT_TRUE(sim_->WaitAlarms(before + 1, 5000));
  plc_.SetWord(1, ByteAddress(11), Bcd(95));  // inside the deadband: held
  ASSERT_TRUE(Scan());
  plc_.SetWord(1, ByteAddress(11), Bcd(89));
  ASSERT_TRUE(Scan());
  ASSERT_TRUE(sim_->WaitAlarms(before + 2, 5000));
  ASSERT_TRUE(Scan());
  plat::SleepMs(100);
  auto alarms = sim_->Alarms();
  ASSERT_EQ(alarms.size(), before + 2);
  const auto& raise = alarms[before];
  const auto& clear = alarms[before + 1];
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(raise.data()), 2), "QA");
  EXPECT_EQ(Get<uint16_t>(raise.data(), 2), 2);  // channel 2
  uint32_t flags = Get<uint32_t>(raise.data(), 8);
  EXPECT_EQ(flags & 7u, 0u);                 // raised
  EXPECT_EQ(flags & 0x10u, 0x10u);           // high side
  EXPECT_EQ((flags >> 7) & 0xFFu, 5u);       // priority
  EXPECT_EQ(Get<float>(raise.data(), 12), 101.0f);
  EXPECT_EQ(Get<uint32_t>(clear.data(), 8) & 7u, 1u);
  EXPECT_EQ(Get<float>(clear.data(), 12), 89.0f);
  EXPECT_EQ(Status(2) & 0x800u, 0u);
}

TEST_F(Startup, EventChannelChangeTriggersTheLoggerAndDerived) {
  ASSERT_GT(Start(), 0);
  ASSERT_TRUE(WaitReady());
  // The first scan of the initialisation starts ALARMBELL's event: its
  // trigger and notice travel through mailslots, so wait for them before
  // counting what the next scans add.
  ASSERT_TRUE(sim_->WaitLoggerCodes(1, 5000));
  ASSERT_TRUE(sim_->WaitDerived(1, 5000));
  size_t codes = sim_->LoggerCodes().size();
  size_t derived = sim_->DerivedNotices().size();
  plc_.SetWord(1, ByteAddress(13), 0x0001);  // ALARMBELL goes to 0: its event ends
  ASSERT_TRUE(Scan());
  ASSERT_TRUE(sim_->WaitLoggerCodes(codes + 1, 5000));
  ASSERT_TRUE(sim_->WaitDerived(derived + 1, 5000));
  auto lc = sim_->LoggerCodes();
  EXPECT_EQ(lc[codes].logger, 1);
  EXPECT_EQ(lc[codes].code, 200000u - 1u);  // one trigger down
  EXPECT_EQ(sim_->DerivedNotices()[derived], "QA");
  plc_.SetWord(1, ByteAddress(13), 0x0009);
  ASSERT_TRUE(Scan());
  ASSERT_TRUE(sim_->WaitLoggerCodes(codes + 2, 5000));
  EXPECT_EQ(sim_->LoggerCodes()[codes + 1].code, 200001u);
  EXPECT_EQ(Status(5), 0x19u);
}

}  // namespace
}  // namespace qdtest

namespace qdtest {
namespace {

TEST_F(Startup, DigitalChannelWithBitSixteenIsBadWithABitErrorEachScan) {
  channels_[7] = Chan(kKindDI, 1, 13, 16, "DOOR1");
  WriteChannels();
  ASSERT_GT(Start(), 0);
  ASSERT_TRUE(WaitReady());
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(Scan());
    EXPECT_EQ(Text(), "QA8: Bit Error");
    EXPECT_EQ(Status(8) & 0x20u, 0x20u);
    EXPECT_EQ(Status(5) & 0x20u, 0u);  // the word itself was read
  }
}

}  // namespace
}  // namespace qdtest
