// Logger status channels in the "logst" modules of a simulated central
// server.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "cdxlib/records/chanconfig.h"
#include "cdxlib/shm/drvtables.h"
#include "cdxlib/runtime/syserr.h"
#include "cdxlib/sys/timestamp.h"
#include "logdata/logstatus.h"
#include "tools/cdxsim/cdxsim.h"

namespace {

const char* kDescription =
    "errors entries=16\n"
    "driver name=LOGST prefix=LS type=1\n"
    "module prefix=LS channels=96 kind=8\n"
    "logger name=LOG1 type=repub\n"
    "logger name=LOG2 type=resub\n"
    "logger name=LOG3 type=stand enabled=0\n";

class LogStatus : public ::testing::Test {
 protected:
  void SetUp() override {
    Drv_ResetProcessState();
    SysErr_ResetProcessState();
    cdxsim::Description d;
    std::string error;
    ASSERT_TRUE(cdxsim::Description::Parse(kDescription, &d, &error)) << error;
    sim_ = std::make_unique<cdxsim::Sim>(d);
    ASSERT_EQ(sim_->Create(), 0);
    ASSERT_EQ(Drv_OpenLoggerTable(), 0);
  }
  void TearDown() override {
    LogStatus_Stop();
    sim_.reset();
  }

  ChannelConfig Conf(int channel) {
    ChannelConfig c;
    memcpy(&c, sim_->ModuleData("dm_LS_conf") + 216 * (channel - 1), sizeof c);
    return c;
  }
  std::string High(int channel) {
    ChannelConfig c = Conf(channel);
    return std::string(c.digital.HighStateText, strnlen(c.digital.HighStateText, 32));
  }
  std::string Low(int channel) {
    ChannelConfig c = Conf(channel);
    return std::string(c.digital.LowStateText, strnlen(c.digital.LowStateText, 32));
  }
  uint32_t Word(int channel) {
    uint32_t w;
    memcpy(&w, sim_->ModuleData("dm_LS") + 20 + 4 * (channel - 1), 4);
    return w;
  }
  float Value(int channel) {
    float v;
    memcpy(&v, sim_->ModuleData("dm_LS") + 20 + 4 * 96 + 4 * (channel - 1), 4);
    return v;
  }

  std::unique_ptr<cdxsim::Sim> sim_;
};

TEST_F(LogStatus, SetupMakesTheRecordsOfTheLoggersBlockByType) {
  struct Case {
    int logger;
    int records;
  } cases[] = {{2, 31}, {1, 32}, {3, 25}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.logger);
    ASSERT_EQ(LogStatus_Setup(c.logger, Drv_GetLogger(c.logger)), 0);
    int base = 32 * (c.logger - 1);
    char tag[32];
    snprintf(tag, sizeof tag, "%04d_STATUS", c.logger);
    EXPECT_STREQ(Chan_GetTag(Conf(base + 1)), tag);
    snprintf(tag, sizeof tag, "%04d_RESET CNTS", c.logger);
    EXPECT_STREQ(Chan_GetTag(Conf(base + 12)), tag);
    EXPECT_STREQ(Chan_GetDescription(Conf(base + 17)), "NO BYTES WRITTEN");
    EXPECT_STREQ(Chan_GetUnits(Conf(base + 17)), "BYTES");
    EXPECT_EQ(High(base + 9), "DATABASE");
    EXPECT_EQ(Low(base + 9), "FILE");
    EXPECT_TRUE(Chan_TestFlag(Conf(base + 1), kDiEnable));
    // The records beyond the type's count are cleared.
    EXPECT_NE(Chan_GetTag(Conf(base + c.records))[0], '\0');
    if (c.records < 32) {
      EXPECT_EQ(Chan_GetTag(Conf(base + c.records + 1))[0], '\0');
    }
    // The first flush: STATUS from the logger's enabled flag.
    EXPECT_EQ(Word(base + 1) & 1, c.logger == 3 ? 0u : 1u);
    EXPECT_EQ(High(base + 10), "Not Started");
    LogStatus_Stop();
  }
  // A logger beyond the module's channels is not set up.
  LoggerRecord r = *Drv_GetLogger(1);
  EXPECT_EQ(LogStatus_Setup(4, &r), -1);
  EXPECT_FALSE(LogStatus_IsSetUp());
}

TEST_F(LogStatus, PublishedLocationsFillTheDirectoryChannels) {
  // Before set-up nothing changes.
  PublishLoggerStatus("/x", "D:\\a\\b", "PRE");
  EXPECT_EQ(High(33 + 1), "");
  ASSERT_EQ(LogStatus_Setup(2, Drv_GetLogger(2)), 0);
  // A drive and eight names: the last six.
  PublishLoggerStatus("D:\\n1", "D:\\n1\\n2\\n3\\n4\\n5\\n6\\n7\\n8", "FAST");
  const char* want[] = {"n3", "n4", "n5", "n6", "n7", "n8"};
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(High(34 + i), want[i]);
    EXPECT_EQ(Low(34 + i), want[i]);
  }
  EXPECT_EQ(High(40), "FAST");
  EXPECT_EQ(Word(41) & 1, 0u);  // TYPE: file
  // A drive and two names: channels 2 to 4; 5 to 7 stay.
  PublishLoggerStatus("/data/logs", "D:\\w1\\fast", "");
  EXPECT_EQ(High(34), "D:");
  EXPECT_EQ(High(35), "w1");
  EXPECT_EQ(High(36), "fast");
  EXPECT_EQ(High(37), "n6");
  EXPECT_EQ(High(39), "n8");
  EXPECT_EQ(High(40), "FAST");  // an empty prefix leaves it
  // A database location: the logger's name and TYPE 1.
  PublishLoggerStatus("PROVIDER=MYSQL;Server=db", "", "");
  EXPECT_EQ(High(34), "LOG2");
  EXPECT_EQ(High(35), "w1");
  EXPECT_EQ(Word(41) & 1, 1u);
  // After a stop nothing changes again.
  LogStatus_Stop();
  PublishLoggerStatus("/x", "/a/b/c", "");
  EXPECT_EQ(High(34), "LOG2");
}

TEST_F(LogStatus, CountersDatesActivityAndErrorText) {
  ASSERT_EQ(LogStatus_Setup(1, Drv_GetLogger(1)), 0);
  LogStatus_AddWrite(100);
  LogStatus_AddWrite(28);
  EXPECT_FLOAT_EQ(Value(16), 2);
  EXPECT_FLOAT_EQ(Value(17), 128);
  TimeStamp now;
  Time_NowLocal(&now);
  EXPECT_FLOAT_EQ(Value(13), LogStatus_DateValue(now.seconds));
  LogStatus_AddRead(10);  // no flush
  EXPECT_FLOAT_EQ(Value(18), 0);
  LogStatus_ResetCounts();
  EXPECT_FLOAT_EQ(Value(16), 0);
  EXPECT_FLOAT_EQ(Value(18), 0);

  // 1999-12-31 23:59:58 (wall clock): both exact in a float.
  struct tm t = {};
  t.tm_year = 99;
  t.tm_mon = 11;
  t.tm_mday = 31;
  t.tm_hour = 23;
  t.tm_min = 59;
  t.tm_sec = 58;
  int32_t s = static_cast<int32_t>(Time_MakeSeconds(&t));
  EXPECT_EQ(LogStatus_DateValue(s), 991231.0f);
  EXPECT_EQ(LogStatus_TimeValue(s), 235958.0f);
  EXPECT_EQ(LogStatus_DateValue(0), 0.0f);
  LogStatus_SetRealTime(7, s);
  EXPECT_FLOAT_EQ(Value(20), 7);
  EXPECT_FLOAT_EQ(Value(21), 991231);
  EXPECT_FLOAT_EQ(Value(22), 235958);
  LogStatus_SetRealTime(0, 0);  // neither given: both kept
  EXPECT_FLOAT_EQ(Value(20), 7);
  EXPECT_FLOAT_EQ(Value(21), 991231);
  Drv_GetLogger(1)->realTimeLog = 9;  // the logger's own number wins
  LogStatus_Flush();
  EXPECT_FLOAT_EQ(Value(20), 9);

  // The activity and the error text follow the logger's live entries.
  Drv_GetLogger(1)->activity = 5;
  LogStatus_Flush();
  EXPECT_EQ(High(10), "Logging");
  Drv_GetLogger(1)->activity = 7;
  LogStatus_Flush();
  EXPECT_EQ(High(10), "Unknown");
  EXPECT_EQ(Word(11) & 1, 0u);
  SysErr_Register(kSysErrTypeLogger, "LOG1");
  SysErr_SetText("disk full");
  LogStatus_Flush();
  EXPECT_EQ(Word(11) & 1, 1u);
  EXPECT_EQ(High(11), "disk full");
  EXPECT_EQ(LogStatus_ActivityText(0), std::string("Not Started"));
  EXPECT_EQ(LogStatus_ActivityText(-1), std::string("Unknown"));
}

}  // namespace
