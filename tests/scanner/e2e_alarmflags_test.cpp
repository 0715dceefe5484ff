// qd_poll end to end: the drive-common flag of each alarm side reaches the
// alarm process in flag bit 5 of the raised alarm, beside the analog and
// high-side bits.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scanner/qd_fixture.h"

namespace qdtest {
namespace {

using AlarmFlags = Installation;

TEST_F(AlarmFlags, EachSideSendsItsOwnDriveCommonFlag) {
  // LEVEL1 (2): high alarm with its flag. TEMP3 (11): low alarm with its
  // flag. TEMP4 (12): low alarm without (only the high side's is set).
  // VALVE1 (13): digital alarm on state 0 with its flag.
  Chan_SetFlag(&channels_[1], kAiHighAlarmDriveCommon, true);
  for (int i : {10, 11}) {
    Chan_SetFlag(&channels_[size_t(i)], kAiLowAlarmEnable, true);
    channels_[size_t(i)].analog.LowAlarmLimit = 200;
    channels_[size_t(i)].analog.LowAlarmPriority = 3;
  }
  Chan_SetFlag(&channels_[10], kAiLowAlarmDriveCommon, true);
  Chan_SetFlag(&channels_[11], kAiHighAlarmDriveCommon, true);
  Chan_SetFlag(&channels_[12], kDiAlarmEnable, true);
  Chan_SetFlag(&channels_[12], kDiAlarmDriveCommon, true);
  channels_[12].digital.AlarmPriority = 2;
  WriteChannels();
  plc_.SetWord(2, ByteAddress(23), Bcd(450));
  ASSERT_GT(Start(), 0);
  ASSERT_TRUE(WaitReady());
  ASSERT_TRUE(Scan());
  const size_t before = sim_->Alarms().size();

  plc_.SetWord(1, ByteAddress(11), Bcd(150));
  plc_.SetWord(2, ByteAddress(22), Bcd(150));
  plc_.SetWord(2, ByteAddress(23), Bcd(150));
  plc_.SetWord(2, ByteAddress(24), 0x0004);  // VALVE1 closes
  ASSERT_TRUE(Scan());
  ASSERT_TRUE(sim_->WaitAlarms(before + 4, 10000));
  std::vector<std::string> got;
  const auto alarms = sim_->Alarms();
  for (size_t i = before; i < alarms.size(); ++i) {
    const uint32_t flags = Get<uint32_t>(alarms[i].data(), 8);
    got.push_back(std::to_string(Get<uint16_t>(alarms[i].data(), 2)) + " kind " + std::to_string(flags & 7u) +
                  " bits " + std::to_string((flags >> 3) & 7u) + " p" + std::to_string((flags >> 7) & 0xFFu));
  }
  // Bits: 1 analog, 2 high side, 4 drive-common.
  EXPECT_EQ(got, (std::vector<std::string>{"2 kind 0 bits 7 p5", "11 kind 0 bits 5 p3", "12 kind 0 bits 1 p3",
                                           "13 kind 0 bits 4 p2"}));
}

}  // namespace
}  // namespace qdtest
