// Communication diagnostics: channel names, ports, STATUS, RESET COUNTS.
#include "scanner/qd_diag.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "cdxlib/shm/drvtables.h"
#include "cdxlib/runtime/valwrite.h"
#include "tools/cdxsim/cdxsim.h"

namespace {

template <typename T>
T Get(const uint8_t* p, size_t off) {
  T v;
  std::memcpy(&v, p + off, sizeof v);
  return v;
}

class Diagnostics : public ::testing::Test {
 protected:
  void SetUp() override {
    cdxsim::Description d;
    std::string error;
    ASSERT_TRUE(cdxsim::Description::Parse("device type=qd number=3 name=plc1 process=qd_plc1 ai=QA diag=QX\n"
                                           "module prefix=QA channels=4\n"
                                           "module prefix=QX channels=35\n",
                                           &d, &error))
        << error;
    sim_ = std::make_unique<cdxsim::Sim>(d);
    ASSERT_EQ(sim_->Create(), 0);
    record_ = reinterpret_cast<DeviceRecord*>(sim_->DeviceRecordPtr(3));
    ASSERT_NE(record_, nullptr);
  }
  void TearDown() override { Diag_Close(); }

  const ChannelConfig& Conf(int channel) {
    return reinterpret_cast<const ChannelConfig*>(sim_->ModuleData("dm_QX_conf"))[channel - 1];
  }
  uint32_t Status(int channel) { return Get<uint32_t>(sim_->ModuleData("dm_QX"), 20 + 4 * (channel - 1)); }
  float Value(int channel) { return Get<float>(sim_->ModuleData("dm_QX"), 20 + 4 * 35 + 4 * (channel - 1)); }

  std::unique_ptr<cdxsim::Sim> sim_;
  DeviceRecord* record_ = nullptr;
};

TEST_F(Diagnostics, PortsChannelNamesAndKinds) {
  ASSERT_STREQ(Diag_NameOf(record_), "QX");
  record_->Running = 1;
  Diag_Open(record_, "QX");
  EXPECT_EQ(Diag_PortCount(), 3);  // 35 channels: three whole ports
  struct Case {
    int channel;
    const char* tag;
    const char* description;
    int type;
  } cases[] = {
      {1, "PLC1_3_ST", "PLC1_3_STATUS", kKindDO},
      {2, "PLC1_3_RS", "PLC1_3_RESET COUNTS", kKindDO},
      {3, "PLC1_3_RB", "PLC1_3_RECEIVE BYTES", kKindAO},
      {10, "PLC1_3_TE", "PLC1_3_TRANSMIT ERRORS", kKindAO},
      {21, "PLC1_3_002_ST", "PLC1_3_002_STATUS", kKindDO},
      {27, "PLC1_3_002_RC", "PLC1_3_002_RECEIVE CRC ERRORS", kKindAO},
  };
  for (const Case& c : cases) {
    EXPECT_STREQ(Chan_GetTag(Conf(c.channel)), c.tag) << c.channel;
    EXPECT_STREQ(Chan_GetDescription(Conf(c.channel)), c.description) << c.channel;
    EXPECT_EQ(Conf(c.channel).Type, c.type) << c.channel;
    EXPECT_TRUE(Chan_TestFlag(Conf(c.channel), 7)) << c.channel;
  }
  EXPECT_STREQ(Conf(1).digital.HighStateText, "ENABLED");
  EXPECT_STREQ(Conf(2).digital.LowStateText, "NORESET");
  EXPECT_STREQ(Chan_GetUnits(Conf(5)), "TIMEOUTS");
  EXPECT_EQ(Status(1) & 1u, 1u);   // port 0 active: the scanner runs
  EXPECT_EQ(Status(11) & 1u, 0u);  // port 1 not yet
  Diag_Close();
  EXPECT_EQ(Status(1) & 1u, 0u);
}

TEST_F(Diagnostics, NamesWithoutNumberOrPort) {
  ChannelConfig ch[10];
  Diag_MakeChannelNames("averylongname", 0, 0, ch);
  EXPECT_STREQ(Chan_GetTag(ch[0]), "AVERYLONGNAM_ST");  // the name field holds 12
  Diag_MakeChannelNames("abc", 0, 4, ch);
  EXPECT_STREQ(Chan_GetTag(ch[0]), "ABC_004_ST");
}

TEST_F(Diagnostics, CountersAddToPortZeroAndResetFromOutsideZeroesOnePort) {
  record_->Running = 1;
  Diag_Open(record_, "QX");
  Diag_AddRxBytes(1, 10);
  Diag_AddTxPackets(2, 3);
  EXPECT_EQ(Value(13), 10.0f);  // port 1 RECEIVE BYTES
  EXPECT_EQ(Value(3), 10.0f);   // port 0 total
  EXPECT_EQ(Value(9), 3.0f);
  EXPECT_EQ(Status(11) & 1u, 1u);  // port 1 now active
  uint32_t reset = 1;
  ASSERT_EQ(Val_WriteDigital("QX", 12, 12, &reset), 0);
  Diag_Publish();
  EXPECT_EQ(Value(13), 0.0f);
  EXPECT_EQ(Value(3), 10.0f);
  EXPECT_EQ(Status(12) & 1u, 0u);  // the switch goes back
  EXPECT_EQ(Status(11) & 1u, 1u);  // and the port stays active
}

TEST_F(Diagnostics, UnusableModuleGivesNoDiagnostics) {
  Diag_Open(record_, "QA");  // 4 channels, fewer than one port
  EXPECT_EQ(Diag_PortCount(), 0);
  Diag_AddRxBytes(0, 1);  // harmless
}

}  // namespace
