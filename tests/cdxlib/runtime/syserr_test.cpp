// The system error list and driver start, on tables that cdxsim builds in
// this test process's own instance.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>

#include "cdxlib/records/chanconfig.h"
#include "cdxlib/client/driverstart.h"
#include "cdxlib/shm/datamodule.h"
#include "cdxlib/shm/signals.h"
#include "cdxlib/shm/drvtables.h"
#include "cdxlib/runtime/syserr.h"
#include "platform/error.h"
#include "platform/eventlog.h"
#include "platform/sync.h"
#include "support/child.h"
#include "tools/cdxsim/cdxsim.h"

namespace {

const char* kSystem = R"(
errors  entries=3
driver  name=SYSER prefix=SY type=0
driver  name=tstup print=Up-Driver type=1
driver  name=tquit print=Quit-Driver type=1
driver  name=tnone print=None-Driver type=1
driver  name=ALARM
module  prefix=SY channels=4 kind=4
channel prefix=SY number=1 type=3 desc=proc-a alarm=1
channel prefix=SY number=2 type=3 desc=proc-restart high=STILL_BROKEN
channel prefix=SY number=4 type=3 desc=Beta
logger  name=Alpha
logger  name=Beta
)";

class SysErrTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    cdxsim::Description d;
    std::string error;
    ASSERT_TRUE(cdxsim::Description::Parse(kSystem, &d, &error)) << error;
    sim_ = new cdxsim::Sim(d);
  }
  static void TearDownTestSuite() {
    delete sim_;
    sim_ = nullptr;
  }
  void SetUp() override {
    ASSERT_EQ(sim_->Create(), 0);
    Drv_ResetProcessState();
    SysErr_ResetProcessState();
  }
  static uint32_t Word(int channel) {
    return reinterpret_cast<uint32_t*>(sim_->ModuleData("dm_SY") + 20)[channel - 1];
  }
  static ChannelConfig* Channel(int channel) {
    return reinterpret_cast<ChannelConfig*>(sim_->ModuleData("dm_SY_conf")) + (channel - 1);
  }
  static ProcessStatusEntry* Entry(int i) {
    // Full layout of 3 entries: 3 compact entries first.
    return reinterpret_cast<ProcessStatusEntry*>(sim_->ModuleData("dm_errors") + 4 + 57 * 3) + i;
  }
  static cdxsim::Sim* sim_;
};
cdxsim::Sim* SysErrTest::sim_ = nullptr;

TEST_F(SysErrTest, RegisterReusesSameTypeAndNameOnly) {
  SysErr_Register(7, "proc-x");
  SysErr_SetText("BROKEN %d", 1);
  SysErr_Register(7, "PROC-X");  // same entry, text cleared
  EXPECT_EQ(Entry(0)->type, 7);
  EXPECT_STREQ(Entry(0)->status, "");
  EXPECT_EQ(Entry(1)->name[0], '\0');
  SysErr_Register(8, "proc-x");  // another type: a new entry
  EXPECT_EQ(Entry(1)->type, 8);
  EXPECT_STREQ(Entry(1)->name, "proc-x");
}

TEST_F(SysErrTest, FullTableIgnoresSetAndClear) {
  SysErr_Register(1, "one");
  SysErr_Register(1, "two");
  SysErr_Register(1, "three");
  SysErr_SetText("MINE");
  SysErr_Register(1, "four");  // no free entry left
  SysErr_SetText("LOST");
  SysErr_ClearText();
  EXPECT_STREQ(Entry(2)->status, "MINE");
  EXPECT_STREQ(SysErr_OwnText(), "");
  bool found = true;
  sim_->StatusText("four", &found);
  EXPECT_FALSE(found);
}

TEST_F(SysErrTest, SameTextNotifiesOnceAndLongTextsCompareOnTheStoredPart) {
  SysErr_Register(1, "notifier");
  ASSERT_EQ(sim_->Watch("dm_errors"), 0);
  SysErr_SetText("CAN'T SCAN DEVICE -%04d", 12);
  ASSERT_TRUE(sim_->WaitWatchCodes(1, 10000));
  ASSERT_EQ(sim_->Watch("dm_errors"), 0);
  SysErr_SetText("can't scan device -%04d", 12);  // differs only in case
  std::string longText(100, 'L');
  SysErr_SetText("%s", longText.c_str());
  ASSERT_TRUE(sim_->WaitWatchCodes(2, 10000));
  ASSERT_EQ(sim_->Watch("dm_errors"), 0);
  SysErr_SetText("%s", longText.c_str());  // the same 80 stored characters
  SysErr_SetText("%sX", longText.c_str());
  plat::SleepMs(300);
  EXPECT_EQ(sim_->WatchCodes().size(), 2u);
  EXPECT_EQ(sim_->StatusText("notifier"), std::string(80, 'L'));
}

TEST_F(SysErrTest, SetTextKeepsErrnoAndEmptyTextClearsWholeField) {
  SysErr_Register(1, "clearer");
  errno = 42;
  SysErr_SetText("%s", std::string(100, 'Z').c_str());
  EXPECT_EQ(errno, 42);
  SysErr_SetText("%s", "");
  EXPECT_EQ(sim_->StatusText("clearer"), "");
  ProcessStatusEntry* e = Entry(0);
  for (size_t i = 0; i < sizeof(e->status); ++i) ASSERT_EQ(e->status[i], 0) << i;
}

TEST_F(SysErrTest, SyserChannelMirrorsTextAndState) {
  SysErr_Register(1, "PROC-A");
  ASSERT_EQ(SysErr_BoundChannel(), 1);
  SysErr_SetText("PORT GONE");
  EXPECT_STREQ(Channel(1)->digital.HighStateText, "PORT GONE");
  EXPECT_STREQ(Channel(1)->digital.AlarmText, "PORT GONE");
  EXPECT_EQ(Word(1) & 1u, 1u);
  SysErr_ClearText();
  EXPECT_EQ(Word(1) & 1u, 0u);
  EXPECT_STREQ(Channel(1)->digital.HighStateText, "PORT GONE");  // texts stay
}

TEST_F(SysErrTest, SyserMirrorRaisesAndClearsTheChannelAlarm) {
  const size_t before = sim_->Alarms().size();
  SysErr_Register(1, "PROC-A");
  SysErr_SetText("PORT GONE");
  ASSERT_TRUE(sim_->WaitAlarms(before + 1, 10000));
  SysErr_SetText("port gone");  // the same text: nothing written
  SysErr_ClearText();
  ASSERT_TRUE(sim_->WaitAlarms(before + 2, 10000));
  const std::vector<cdxsim::AlarmBytes> alarms = sim_->Alarms();
  ASSERT_EQ(alarms.size(), before + 2);
  const uint32_t kinds[] = {0, 1};  // raised, then cleared
  for (size_t i = 0; i < 2; ++i) {
    const cdxsim::AlarmBytes& a = alarms[before + i];
    uint16_t channel;
    uint32_t flags;
    std::memcpy(&channel, a.data() + 2, 2);
    std::memcpy(&flags, a.data() + 8, 4);
    EXPECT_EQ(std::memcmp(a.data(), "SY", 2), 0) << i;
    EXPECT_EQ(channel, 1) << i;
    EXPECT_EQ(flags & 7u, kinds[i]) << i;
  }
}

TEST_F(SysErrTest, StatusSurvivesRestartThroughSetChannel) {
  reinterpret_cast<uint32_t*>(sim_->ModuleData("dm_SY") + 20)[1] = 1;  // channel 2 is set
  SysErr_Register(1, "proc-restart");
  EXPECT_EQ(SysErr_BoundChannel(), 2);
  EXPECT_STREQ(SysErr_OwnText(), "STILL_BROKEN");
  EXPECT_EQ(sim_->StatusText("proc-restart"), "STILL_BROKEN");
}

TEST_F(SysErrTest, LastLoggerIsMatchedByItsChannelName) {
  SysErr_Register(kSysErrTypeLogger, "beta");
  EXPECT_EQ(SysErr_BoundChannel(), 4);
  SysErr_Register(1, "nobody");
  EXPECT_EQ(SysErr_BoundChannel(), 0);
}

// ---- Drv_StartDriver ----------------------------------------------------------

class StartDriverTest : public SysErrTest {
 protected:
  void SetUp() override {
    SysErrTest::SetUp();
    setenv("CDX_BIN", CDX_BIN_DIR, 1);
    base_ = std::filesystem::path(RootDir()) / "start";
    std::filesystem::create_directories(base_);
    for (const char* name : {"tstup", "tquit"}) {
      std::filesystem::create_directories(base_ / name);
      std::ofstream(base_ / name / "config", std::ios::binary) << '\1';
    }
    old_ = std::filesystem::current_path();
    std::filesystem::current_path(base_);
  }
  void TearDown() override {
    std::filesystem::current_path(old_);
    sim_->KillAll();
  }
  static std::string RootDir() { return std::getenv("CDXPLAT_ROOT"); }
  std::filesystem::path base_, old_;
};

TEST_F(StartDriverTest, ProgramThatComesUpIsRecorded) {
  DriverRecord* rec = Drv_FindDriver("tstup");
  ASSERT_NE(rec, nullptr);
  ASSERT_EQ(Drv_StartDriver(rec), 0) << errno;
  EXPECT_GT(rec->pid, 0);
  EXPECT_NE(rec->started, 0);
  EXPECT_EQ(rec->configured, 1);
  EXPECT_EQ(std::filesystem::current_path(), base_);
  bool found = false;
  EXPECT_EQ(sim_->StatusText("Up-Driver", &found), "");
  EXPECT_TRUE(found);
  Sig_Send(rec->pid, 31);
}

TEST_F(StartDriverTest, ProgramThatEndsAtOnceFailsPromptly) {
  DriverRecord* rec = Drv_FindDriver("tquit");
  ASSERT_NE(rec, nullptr);
  Drv_SetStartTimeout(60000);
  int64_t t0 = plat::MonotonicMs();
  EXPECT_EQ(Drv_StartDriver(rec), -1);
  EXPECT_LT(plat::MonotonicMs() - t0, 20000);  // no hang until the time-out
  EXPECT_EQ(rec->started, 0);
  EXPECT_EQ(std::filesystem::current_path(), base_);
}

TEST_F(StartDriverTest, ProgramThatNeverComesUpFailsAtTheTimeOut) {
  DriverRecord* rec = Drv_FindDriver("tstup");
  ASSERT_NE(rec, nullptr);
  setenv("CDX_TSTUP_SILENT", "1", 1);
  Drv_SetStartTimeout(300);
  EXPECT_EQ(Drv_StartDriver(rec), -1);
  EXPECT_EQ(errno, 258);
  unsetenv("CDX_TSTUP_SILENT");
  Drv_SetStartTimeout(0);
  EXPECT_GT(rec->pid, 0);
  EXPECT_EQ(rec->started, 0);
  EXPECT_EQ(std::filesystem::current_path(), base_);
  Sig_Send(rec->pid, 31);
}

TEST_F(StartDriverTest, MissingDirectorySetsStatusText) {
  DriverRecord* rec = Drv_FindDriver("tnone");
  ASSERT_NE(rec, nullptr);
  EXPECT_EQ(Drv_StartDriver(rec), -1);
  EXPECT_EQ(errno, 2);
  EXPECT_EQ(sim_->StatusText("None-Driver"), "CAN'T RUN - 0002");
  EXPECT_EQ(std::filesystem::current_path(), base_);
}

}  // namespace

namespace {

// The data size in the header of "dm_errors" is the server's word; the
// entries searched and written stay inside what is really mapped.
TEST_F(SysErrTest, HeaderClaimingMoreThanTheMappingIsNotFollowed) {
  uint8_t* data = sim_->ModuleData("dm_errors");
  ASSERT_NE(data, nullptr);
  auto* header = reinterpret_cast<DataModuleHeader*>(data - 128);
  ASSERT_EQ(SysErr_OpenTable(), 0);
  const uint32_t real = header->dataSize;
  int32_t count = 0;
  std::memcpy(&count, data, 4);
  const int32_t claimed = 1'000'000;
  header->dataSize = 0x7FFFFF00u;
  std::memcpy(data, &claimed, 4);
  SysErr_Register(7, "proc-huge");
  SysErr_SetText("TEXT");
  SysErr_ClearText();
  std::memcpy(data, &count, 4);
  header->dataSize = real;
}

}  // namespace
