// qd_poll end to end: start-up refusals, failures of the start-up steps,
// and the device initialisation that retries until it succeeds.
#include <gtest/gtest.h>

#include <filesystem>
#include <unistd.h>

#include "scanner/qd_fixture.h"

namespace qdtest {
namespace {

using StartupRefusals = Installation;

TEST_F(StartupRefusals, BadCommandLinesExitZeroWithoutText) {
  std::string bin = testsupport::BinPath("qd_poll");
  std::string noUnderscore = root_ + "/qdpoll";
  ASSERT_EQ(symlink(bin.c_str(), noUnderscore.c_str()), 0);
  struct Case {
    const char* why;
    std::vector<std::string> argv;
  } cases[] = {
      {"no argument", {bin}},
      {"two arguments", {bin, "1", "2"}},
      {"number 0", {bin, "0"}},
      {"low 16 bits 0", {bin, "65536"}},
      {"no underscore in the name", {noUnderscore, "1"}},
      {"no such device", {bin, "7"}},
  };
  for (const Case& c : cases) {
    pid_t pid = sim_->StartProgram(c.argv);
    ASSERT_GT(pid, 0) << c.why;
    EXPECT_EQ(sim_->WaitExit(pid, 10000), 0) << c.why;
  }
  bool found = true;
  EXPECT_EQ(sim_->StatusText(kProcess, &found), "");
  EXPECT_FALSE(found);
  EXPECT_EQ(sim_->DeviceRecordPtr(1)[Layout::kRunning], 0);
}

TEST_F(StartupRefusals, PrefixIsTheBaseNameBeforeTheLastUnderscore) {
  std::filesystem::create_directories(root_ + "/bin_x");
  std::string renamed = root_ + "/bin_x/QD_dev1";
  ASSERT_EQ(symlink(testsupport::BinPath("qd_poll").c_str(), renamed.c_str()), 0);
  ASSERT_GT(Start(renamed), 0);
  EXPECT_TRUE(WaitReady());
}

TEST_F(StartupRefusals, MissingDeviceDirectoryIsReportedAndEndsTheProcess) {
  std::filesystem::remove_all(deviceDir_);
  ASSERT_GT(Start(), 0);
  EXPECT_EQ(sim_->WaitExit(pid_, 10000), 2);
  pid_ = -1;
  EXPECT_EQ(Text(), "CAN'T ACCESS CONFIG DIR -0002");
}

TEST_F(StartupRefusals, MissingConfigurationIsReported) {
  std::filesystem::remove(deviceDir_ + "/ai");
  ASSERT_GT(Start(), 0);
  EXPECT_EQ(sim_->WaitExit(pid_, 10000), 2);
  pid_ = -1;
  EXPECT_EQ(Text(), "CAN'T READ CONFIGURATION -0002");
}

// A device with a digital input path whose modules exist but which holds no
// channels (the driver's di maximum is 0) and has no channel file.
class EmptyPath : public Installation {
 protected:
  std::string Description() override {
    std::string d = kDescription;
    d.replace(d.find("ai=QA"), 5, "ai=QA di=QB");
    d += "module  prefix=QB channels=4\n";
    return d;
  }
};

// The empty path starts empty: start-up, scans and a reconfiguration go on
// without its channel file.
TEST_F(EmptyPath, PathWithoutChannelsNeedsNoChannelFile) {
  ASSERT_FALSE(std::filesystem::exists(deviceDir_ + "/di"));
  ASSERT_GT(Start(), 0);
  ASSERT_TRUE(WaitReady()) << Text();
  ASSERT_TRUE(Scan());
  EXPECT_EQ(Text(), "");
  EXPECT_EQ(Status(1) & 0x20u, 0u);
  ASSERT_EQ(sim_->Send(pid_, 302), 0);
  ASSERT_TRUE(Scan());
  EXPECT_EQ(Text(), "");
  EXPECT_EQ(sim_->WaitExit(pid_, 0), -1);
}

using Initialisation = Installation;

TEST_F(Initialisation, MissingPortSettingIsRetriedUntilItAppears) {
  WriteDevice(2, 0, 0, "COM4");
  PutSz("SOFTWARE\\Quillomatic\\SerialPorts", "COM4", plc_.PortPath());
  ASSERT_GT(Start(), 0);
  ASSERT_TRUE(WaitText("CAN'T INITIALISE DEVICE -0002"));
  EXPECT_EQ(sim_->DeviceRecordPtr(1)[Layout::kBusy], 1);
  EXPECT_EQ(Status(1) & 0x20u, 0x20u);
  PutSz("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports", "COM4:", "19200,n,8,1");
  ASSERT_TRUE(WaitReady());
  EXPECT_EQ(Text(), "");
  ASSERT_TRUE(Scan());
  EXPECT_EQ(Value(1), 285.0f);
}

TEST_F(Initialisation, StopDuringTheRetryEndsWithCodeZero) {
  WriteDevice(2, 0, 0, "COM5");
  PutSz("SOFTWARE\\Quillomatic\\SerialPorts", "COM5", plc_.PortPath());
  ASSERT_GT(Start(), 0);
  ASSERT_TRUE(WaitText("CAN'T INITIALISE DEVICE -0002"));
  ASSERT_EQ(sim_->Send(pid_, 31), 0);
  EXPECT_EQ(sim_->WaitExit(pid_, 5000), 0);
  pid_ = -1;
  EXPECT_EQ(sim_->DeviceRecordPtr(1)[Layout::kRunning], 0);
}

TEST_F(Initialisation, ReconfigureDuringTheRetryRepairsTheConfiguration) {
  // No enabled channel: the read plan, and so the initialisation, fails.
  std::vector<ChannelConfig> good = channels_;
  for (ChannelConfig& c : channels_) Chan_SetFlag(&c, 7, false);
  WriteChannels();
  ASSERT_GT(Start(), 0);
  std::string text = sim_->WaitStatusText(kProcess, "", 0);
  int64_t end = plat::MonotonicMs() + 10000;
  while (text.rfind("CAN'T INITIALISE DEVICE -", 0) != 0 && plat::MonotonicMs() < end) {
    plat::SleepMs(10);
    text = Text();
  }
  ASSERT_EQ(text.rfind("CAN'T INITIALISE DEVICE -", 0), 0u) << text;
  channels_ = good;
  plat::SleepMs(20);  // a later time stamp than the broken file's
  WriteChannels();
  ASSERT_EQ(sim_->Send(pid_, 302), 0);
  ASSERT_TRUE(WaitReady());
  ASSERT_TRUE(Scan());
  EXPECT_EQ(Value(1), 285.0f);
  EXPECT_EQ(Text(), "");
}

TEST_F(Initialisation, BlockFailureOfTheFirstScanStaysVisible) {
  plc_.SetFault(1, df1sim::Fault::kNak, 3);
  ASSERT_GT(Start(), 0);
  ASSERT_TRUE(WaitReady());
  EXPECT_EQ(Text(), "QA1: NAK Response to Command");
  EXPECT_EQ(Status(1) & 0x20u, 0x20u);
  ASSERT_TRUE(Scan());
  EXPECT_EQ(Text(), "");
}

}  // namespace
}  // namespace qdtest
