// qd_poll end to end: the requests besides scanning (302, 303, 304, 31),
// the output hold, and the saved values.
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <sys/stat.h>
#include <fcntl.h>

#include "cdxlib/runtime/valwrite.h"
#include "scanner/qd_fixture.h"

namespace qdtest {
namespace {

using Control = Installation;

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

TEST_F(Control, OperatorWriteToAnOutputIsHeldForTheRetryCount) {
  ASSERT_GT(Start(), 0);  // retry count 2
  ASSERT_TRUE(WaitReady());
  ASSERT_TRUE(Scan());
  ASSERT_EQ(Status(4) & 1u, 1u);  // PUMP1 is on in the controller
  uint32_t off = 0;
  ASSERT_EQ(Val_WriteDigital("QA", 4, 4, &off), 0);
  float setpoint = 55;
  ASSERT_EQ(Val_WriteAnalog("QA", 3, 3, &setpoint), 0);
  for (int scan = 1; scan <= 2; ++scan) {
    ASSERT_TRUE(Scan());
    EXPECT_EQ(Status(4) & 1u, 0u) << "scan " << scan;
    EXPECT_EQ(Value(3), 55.0f) << "scan " << scan;
  }
  ASSERT_TRUE(Scan());  // the controller did not follow: its state returns
  EXPECT_EQ(Status(4) & 1u, 1u);
  EXPECT_EQ(Value(3), 7.0f);
}

TEST_F(Control, ReconfigureReloadsOnlyAChangedChannelFile) {
  ASSERT_GT(Start(), 0);
  ASSERT_TRUE(WaitReady());
  ASSERT_TRUE(Scan());
  EXPECT_EQ(Value(12), 45.0f);
  std::string file = deviceDir_ + "/ai";
  struct stat before;
  ASSERT_EQ(stat(file.c_str(), &before), 0);

  // TEMP4 moves to node 1 word 16; the file keeps its old time stamp, so
  // 302 takes only the device configuration (and scans).
  channels_[11] = Chan(kKindAI, 1, 16, 0, "TEMP4");
  plc_.SetWord(1, ByteAddress(16), Bcd(777));
  WriteChannels();
  struct timespec keep[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), keep, 0), 0);
  plc_.ClearLog();
  ASSERT_TRUE(Code(302));
  EXPECT_EQ(Commands(), (std::vector<std::string>{"1:16:10", "2:32:10"}));
  EXPECT_EQ(Value(12), 45.0f);

  // A new time stamp: the ai path is reloaded and planned anew.
  struct timespec later[2] = {before.st_atim, before.st_mtim};
  later[1].tv_sec += 5;
  ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), later, 0), 0);
  plc_.ClearLog();
  ASSERT_TRUE(Code(302));
  EXPECT_EQ(Commands(), (std::vector<std::string>{"1:16:14", "2:32:10"}));
  EXPECT_EQ(Value(12), 777.0f);
  EXPECT_EQ(sim_->DeviceRecordPtr(1)[Layout::kBusy], 0);
}

TEST_F(Control, InitialiseValuesTaresReferencedInputsIntoTheSavedFile) {
  ASSERT_GT(Start(), 0);
  ASSERT_TRUE(WaitReady());
  ASSERT_TRUE(Scan());
  ASSERT_EQ(Value(10), 12.0f);
  ASSERT_TRUE(Code(304));
  EXPECT_EQ(Value(10), 0.0f);
  EXPECT_EQ(Value(11), 300.0f);  // not referenced
  std::vector<uint8_t> bin = ReadFile(savedDir_ + "/dev1_ai.bin");
  ASSERT_EQ(bin.size(), 16u * kChannels);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&bin[16 * 9]), 5), "TEMP2");
  EXPECT_EQ(Get<float>(bin.data(), 16 * 9 + 12), 12.0f);
  EXPECT_EQ(Get<float>(bin.data(), 16 * 10 + 12), 0.0f);
  std::vector<uint8_t> tag = ReadFile(savedDir_ + "/dev1_ai.tag");
  ASSERT_EQ(tag.size(), 15u * kChannels);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&tag[15 * 9])), "TEMP2");
  EXPECT_EQ(tag[15 * 6], 0);  // the disabled channel has no tag

  plc_.SetWord(2, ByteAddress(21), Bcd(20));
  ASSERT_TRUE(Scan());
  EXPECT_EQ(Value(10), 8.0f);
}

TEST_F(Control, TareSurvivesARestart) {
  ASSERT_GT(Start(), 0);
  ASSERT_TRUE(WaitReady());
  ASSERT_TRUE(Code(304));
  ASSERT_EQ(sim_->Send(pid_, 31), 0);
  ASSERT_EQ(sim_->WaitExit(pid_, 10000), 0);
  plc_.SetWord(2, ByteAddress(21), Bcd(15));
  ASSERT_GT(Start(), 0);
  ASSERT_TRUE(WaitReady());
  ASSERT_TRUE(Scan());
  EXPECT_EQ(Value(10), 3.0f);
}

TEST_F(Control, ResetCountersWithoutCounterPathLeavesTheRecordAlone) {
  ASSERT_GT(Start(), 0);
  ASSERT_TRUE(WaitReady());
  std::vector<uint8_t> before, after;
  ASSERT_TRUE(sim_->ReadDevice(1, &before));
  ASSERT_EQ(sim_->Send(pid_, 303), 0);
  ASSERT_TRUE(Scan());  // handled in order: 303 first, then the scan
  ASSERT_TRUE(sim_->ReadDevice(1, &after));
  EXPECT_EQ(Get<int32_t>(after.data(), Layout::kNextScan), Get<int32_t>(before.data(), Layout::kNextScan));
  EXPECT_EQ(Get<int16_t>(after.data(), Layout::kNextScan + 4), Get<int16_t>(before.data(), Layout::kNextScan + 4));
  EXPECT_EQ(after[Layout::kBusy], 0);
}

TEST_F(Control, StopEndsWithCodeZeroEveryChannelBad) {
  ASSERT_GT(Start(), 0);
  ASSERT_TRUE(WaitReady());
  ASSERT_TRUE(Scan());
  int64_t t0 = plat::MonotonicMs();
  ASSERT_EQ(sim_->Send(pid_, 31), 0);
  EXPECT_EQ(sim_->WaitExit(pid_, 10000), 0);
  EXPECT_LT(plat::MonotonicMs() - t0, 5000);
  pid_ = -1;
  const uint8_t* data = Values();
  for (int ch = 1; ch <= kChannels; ++ch) {
    EXPECT_EQ(Status(ch) & 0x820u, 0x20u) << "channel " << ch;
    // The channel's value record is marked with 13 in its first word.
    size_t record = Layout::kStatus + 8 * kChannels + 264 * size_t(ch - 1);
    EXPECT_EQ(Get<uint16_t>(data, record), 13) << "channel " << ch;
  }
  const uint8_t* r = sim_->DeviceRecordPtr(1);
  EXPECT_EQ(r[Layout::kRunning], 0);
  EXPECT_NE(Get<uint32_t>(r, Layout::kPid), 0u);  // the pid stays
  EXPECT_EQ(Get<int32_t>(r, Layout::kLastScan), 0);
}

// A device whose output paths have modules: the outputs are saved at exit.
class SavedOutputs : public Installation {
  std::string Description() override {
    std::string d = kDescription;
    d.replace(d.find("ai=QA"), 5, "ai=QA ao=QG do=QH");
    return d + "module prefix=QG channels=4\nmodule prefix=QH channels=4 kind=4\n";
  }
};

TEST_F(SavedOutputs, StopWritesTheOutputFilesWhenSavingIsOn) {
  WriteDevice(2, /*saveOutputs=*/1, /*saveRate=*/60000);
  // Every attached path has its channel file (the output paths' hold none).
  for (int kind : {kKindAO, kKindDO})
    ASSERT_EQ(Cfg_SaveChannels(nullptr, deviceDir_.c_str(), kind, channels_.data(), 0, 0, nullptr, 0, nullptr), 0);
  ASSERT_GT(Start(), 0);
  ASSERT_TRUE(WaitReady()) << Text();
  ASSERT_TRUE(Scan());
  ASSERT_EQ(sim_->Send(pid_, 31), 0);
  ASSERT_EQ(sim_->WaitExit(pid_, 10000), 0);
  pid_ = -1;
  // This driver keeps every channel on the ai path, so the output paths'
  // files hold no channels; they are written all the same.
  struct stat sb;
  EXPECT_EQ(stat((savedDir_ + "/dev1_ao.bin").c_str(), &sb), 0);
  EXPECT_EQ(stat((savedDir_ + "/dev1_do.bin").c_str(), &sb), 0);
}

}  // namespace
}  // namespace qdtest

namespace qdtest {
namespace {

// A device with a diagnostics module.
class Diagnosed : public Installation {
  std::string Description() override {
    std::string d = kDescription;
    d.replace(d.find("ai=QA"), 5, "ai=QA diag=QX");
    return d + "module prefix=QX channels=10\n";
  }
};

TEST_F(Diagnosed, StatusShowsTheRunningScannerAndItsEnd) {
  ASSERT_GT(Start(), 0);
  ASSERT_TRUE(WaitReady());
  const uint8_t* diag = sim_->ModuleData("dm_QX");
  EXPECT_EQ(Get<uint32_t>(diag, Layout::kStatus) & 1u, 1u);  // STATUS: ENABLED
  const auto* conf = reinterpret_cast<const ChannelConfig*>(sim_->ModuleData("dm_QX_conf"));
  EXPECT_STREQ(Chan_GetTag(conf[0]), "DEV1_1_ST");
  ASSERT_EQ(sim_->Send(pid_, 31), 0);
  ASSERT_EQ(sim_->WaitExit(pid_, 10000), 0);
  pid_ = -1;
  EXPECT_EQ(Get<uint32_t>(diag, Layout::kStatus) & 1u, 0u);  // DISABLED
}

}  // namespace
}  // namespace qdtest

namespace qdtest {
namespace {

// A values module announcing more channels than the ai path may hold, and
// one whose header claims more than its size holds.
class Oversized : public Installation {
 protected:
  std::string Description() override {
    std::string d = kDescription;
    d.replace(d.find("channels=16"), 11, "channels=1200");
    return d;
  }
};

TEST_F(Oversized, AiPathUsesAtMostOneThousandChannels) {
  channels_.resize(1200, Chan(kKindAI, 1, 15, 0, "SPARE"));
  for (size_t i = 16; i < channels_.size(); ++i) Chan_SetFlag(&channels_[i], kAiEnable, false);
  WriteChannels();
  ASSERT_GT(Start(), 0);
  ASSERT_TRUE(WaitReady()) << Text();
  const uint8_t* data = Values();
  EXPECT_EQ(Get<uint32_t>(data, Layout::kStatus + 4 * 999) & 0x20u, 0x20u);  // channel 1000: used (disabled)
  EXPECT_EQ(Get<uint32_t>(data, Layout::kStatus + 4 * 1000), 0u);           // channel 1001: never touched
  EXPECT_EQ(Get<float>(data, Layout::kStatus + 4 * 1200), 285.0f);           // values follow all 1200 words
}

TEST_F(Installation, HeaderClaimingMoreChannelsThanTheModuleHoldsIsClamped) {
  uint8_t* data = sim_->ModuleData("dm_QA");
  uint16_t lie = 60000;
  std::memcpy(data + Layout::kCount, &lie, 2);
  ASSERT_GT(Start(), 0);
  ASSERT_TRUE(WaitReady()) << Text();
  ASSERT_TRUE(Scan());
  EXPECT_EQ(Status(1) & 0x20u, 0u);
}

}  // namespace
}  // namespace qdtest

namespace qdtest {
namespace {

TEST_F(Control, StopDuringAScanPublishesNothingNewForWhatItDidNotRead) {
  ASSERT_GT(Start(), 0);
  ASSERT_TRUE(WaitReady());
  ASSERT_TRUE(Scan());
  plc_.SetFault(2, df1sim::Fault::kSilent, df1sim::kAlways);
  plc_.SetWord(2, ByteAddress(22), Bcd(999));
  int before = plc_.GetStats().commands;
  ASSERT_EQ(sim_->Send(pid_, 300), 0);
  int64_t end = plat::MonotonicMs() + 5000;
  while (plc_.GetStats().commands < before + 2 && plat::MonotonicMs() < end) plat::SleepMs(1);
  ASSERT_EQ(sim_->Send(pid_, 31), 0);  // while node 2's block is being tried
  EXPECT_EQ(sim_->WaitExit(pid_, 5000), 0);
  pid_ = -1;
  EXPECT_EQ(Value(11), 300.0f);
  EXPECT_EQ(Status(11) & 0x20u, 0x20u);  // marked bad by the exit
}

}  // namespace
}  // namespace qdtest

namespace qdtest {
namespace {

TEST_F(Control, ScanRequestsDuringAReconfigureAreDropped) {
  ASSERT_GT(Start(), 0);
  ASSERT_TRUE(WaitReady());
  plc_.SetFault(2, df1sim::Fault::kSilent, df1sim::kAlways);  // the reconfigure's scan takes its time
  ASSERT_EQ(sim_->Send(pid_, 302), 0);
  const uint8_t* r = sim_->DeviceRecordPtr(1);
  int64_t end = plat::MonotonicMs() + 5000;
  while (r[Layout::kBusy] == 0 && plat::MonotonicMs() < end) plat::SleepMs(1);
  ASSERT_EQ(r[Layout::kBusy], 1);
  ASSERT_EQ(sim_->Send(pid_, 300), 0);
  ASSERT_EQ(sim_->Send(pid_, 300), 0);
  end = plat::MonotonicMs() + 5000;
  while (r[Layout::kBusy] == 1 && plat::MonotonicMs() < end) plat::SleepMs(1);
  ASSERT_EQ(r[Layout::kBusy], 0);
  int after = plc_.GetStats().commands;
  plat::SleepMs(1500);  // two queued scans would have sent commands by now
  EXPECT_EQ(plc_.GetStats().commands, after);
  ASSERT_TRUE(Scan());  // the next request is served as usual
  EXPECT_GT(plc_.GetStats().commands, after);
}

}  // namespace
}  // namespace qdtest

namespace qdtest {
namespace {

// The outputs' last written values live beside the tare offsets: neither a
// tare (304) nor a reload of the channels (302) may make the scanner take
// the published output state for an operator's request that the controller
// did not follow.
TEST_F(Control, OutputsFollowTheControllerAfterATareOrAReload) {
  ASSERT_GT(Start(), 0);  // retry count 2: a real request would be held for two scans
  ASSERT_TRUE(WaitReady());
  ASSERT_TRUE(Scan());
  ASSERT_EQ(Status(4) & 1u, 1u);
  ASSERT_EQ(Value(3), 7.0f);
  std::string file = deviceDir_ + "/ai";
  struct Step {
    const char* what;
    uint16_t pumpWord;  // node 1 word 13: PUMP1 at bit 0, ALARMBELL at bit 3
    int setpoint;
  } steps[] = {{"tare", 0x0008, 8}, {"reload", 0x0009, 9}};
  for (const Step& s : steps) {
    SCOPED_TRACE(s.what);
    if (std::string(s.what) == "tare") {
      ASSERT_TRUE(Code(304));
    } else {
      struct stat sb;
      ASSERT_EQ(stat(file.c_str(), &sb), 0);
      struct timespec later[2] = {sb.st_atim, sb.st_mtim};
      later[1].tv_sec += 5;
      ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), later, 0), 0);
      ASSERT_TRUE(Code(302));
    }
    plc_.SetWord(1, ByteAddress(13), s.pumpWord);
    plc_.SetWord(1, ByteAddress(12), Bcd(s.setpoint));
    ASSERT_TRUE(Scan());
    EXPECT_EQ(Status(4) & 1u, s.pumpWord & 1u);
    EXPECT_EQ(Value(3), float(s.setpoint));
  }
}

}  // namespace
}  // namespace qdtest

namespace qdtest {
namespace {

// SIGTERM (a service manager's stop) and SIGINT (Ctrl-C) end the scanner as
// the stop request does: exit code 0, every channel bad, the record no
// longer running, the saved values written.
TEST_F(SavedOutputs, TerminationSignalsTakeTheStopRoad) {
  WriteDevice(2, /*saveOutputs=*/1, /*saveRate=*/60000);
  for (int kind : {kKindAO, kKindDO})
    ASSERT_EQ(Cfg_SaveChannels(nullptr, deviceDir_.c_str(), kind, channels_.data(), 0, 0, nullptr, 0, nullptr), 0);
  for (int signo : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signo);
    ASSERT_GT(Start(), 0);
    ASSERT_TRUE(WaitReady());
    ASSERT_TRUE(Scan());
    ASSERT_EQ(Status(1) & 0x20u, 0u);
    std::remove((savedDir_ + "/dev1_ao.bin").c_str());
    ASSERT_GT(pid_, 0);
    ASSERT_EQ(::kill(pid_, signo), 0);
    EXPECT_EQ(sim_->WaitExit(pid_, 10000), 0);
    pid_ = -1;
    for (int ch = 1; ch <= kChannels; ++ch) EXPECT_EQ(Status(ch) & 0x820u, 0x20u) << "channel " << ch;
    const uint8_t* r = sim_->DeviceRecordPtr(1);
    EXPECT_EQ(r[Layout::kRunning], 0);
    struct stat sb;
    EXPECT_EQ(stat((savedDir_ + "/dev1_ao.bin").c_str(), &sb), 0);
  }
}

// A signal during the retry of a device that cannot be opened ends it too.
TEST_F(Control, TerminationSignalEndsTheInitialisationRetry) {
  PutSz("SOFTWARE\\Quillomatic\\SerialPorts", "COM1", "/nonexistent/tty");
  ASSERT_GT(Start(), 0);
  int64_t end = plat::MonotonicMs() + 10000;
  while (Text().find("CAN'T INITIALISE DEVICE") == std::string::npos && plat::MonotonicMs() < end) plat::SleepMs(5);
  ASSERT_NE(Text().find("CAN'T INITIALISE DEVICE"), std::string::npos) << Text();
  ASSERT_GT(pid_, 0);
  ASSERT_EQ(::kill(pid_, SIGTERM), 0);
  EXPECT_EQ(sim_->WaitExit(pid_, 10000), 0);
  pid_ = -1;
  EXPECT_EQ(sim_->DeviceRecordPtr(1)[Layout::kRunning], 0);
}

}  // namespace
}  // namespace qdtest
