// cdxsim's `point` statements: the device's configuration files written
// from the description, read back with the configuration loaders.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "cdxlib/config/configfiles.h"
#include "platform/root.h"
#include "tools/cdxsim/cdxsim.h"

namespace {

constexpr const char* kDevice =
    "device type=qd number=1 name=dev1 process=qd_dev1 ai=QA scanrate=250 port=COM2 node=3 retries=1\n"
    "module prefix=QA channels=4\n";

TEST(CdxsimPoints, WritesTheDeviceAndChannelFiles) {
  const std::string config = plat::Root() + "/config";
  setenv("CDX_CURRENT_CONFIG", config.c_str(), 1);
  const std::string text = std::string(kDevice) +
                           "point device=1 number=1 tag=LEVEL1 node=1 word=11 units=BAR gain=2 offset=1 high=100 "
                           "highdb=90 highwarn=80 highprio=5 highdelay=3 low=10 lowdb=15 lowprio=4 errorprio=7 "
                           "common=high,error\n"
                           "point device=1 number=3 kind=di tag=DOOR1 node=2 word=13 bit=1 alarmstate=0 prio=2 "
                           "eventstate=1 common=alarm\n";
  cdxsim::Description d;
  std::string error;
  ASSERT_TRUE(cdxsim::Description::Parse(text, &d, &error)) << error;
  cdxsim::Sim sim(d);
  ASSERT_EQ(sim.Create(), 0);

  const std::string dir = config + "/dev1";
  DeviceConfig dc{};
  uint8_t enable = 0;
  ASSERT_EQ(Cfg_LoadDeviceEx(dir.c_str(), &dc, sizeof dc, nullptr, 0, nullptr, &enable, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(enable, 1);
  EXPECT_EQ(dc.ScanRate, 250u);
  EXPECT_STREQ(dc.Comm.Port, "COM2");
  EXPECT_EQ(dc.Comm.Node, 3);
  EXPECT_EQ(dc.Comm.RetryCount, 1);

  ChannelConfig c[3];
  ASSERT_EQ(Cfg_LoadChannels(dir.c_str(), kKindAI, c, 0, 3, nullptr, 0, nullptr), 0);
  const ChannelConfig& a = c[0];
  EXPECT_EQ(a.Type, kKindAI);
  EXPECT_STREQ(Chan_GetTag(a), "LEVEL1");
  EXPECT_STREQ(Chan_GetUnits(a), "BAR");
  const uint8_t* raw = reinterpret_cast<const uint8_t*>(&a);
  EXPECT_EQ(raw[188], 1);
  EXPECT_EQ(raw[190] | raw[191] << 8, 11);
  EXPECT_EQ(a.analog.Gain, 2.0f);
  EXPECT_EQ(a.analog.Offset, 1.0f);
  EXPECT_EQ(a.analog.HighAlarmLimit, 100.0f);
  EXPECT_EQ(a.analog.HighAlarmDeadband, 90.0f);
  EXPECT_EQ(a.analog.HighWarningLimit, 80.0f);
  EXPECT_EQ(a.analog.HighAlarmPriority, 5);
  EXPECT_EQ(a.analog.HighAlarmDelay, 3);
  EXPECT_EQ(a.analog.LowAlarmLimit, 10.0f);
  EXPECT_EQ(a.analog.LowAlarmDeadband, 15.0f);
  EXPECT_EQ(a.analog.LowAlarmPriority, 4);
  EXPECT_EQ(a.analog.ErrorAlarmPriority, 7);
  const struct {
    int flag;
    bool on;
  } analogFlags[] = {
      {kAiEnable, true},         {kAiScalingEnable, true},         {kAiHighAlarmEnable, true},
      {kAiHighAlarmDeadbandEnable, true}, {kAiHighWarningEnable, true}, {kAiHighAlarmDriveCommon, true},
      {kAiLowAlarmEnable, true}, {kAiLowAlarmDeadbandEnable, true}, {kAiLowWarningEnable, false},
      {kAiLowAlarmDriveCommon, false}, {kAiErrorAlarmEnable, true}, {kAiErrorAlarmDriveCommon, true},
      {kAiEventEnable, false},   {kAiSigChangeEnable, false},      {kAiReferenceEnable, false},
  };
  for (const auto& f : analogFlags) EXPECT_EQ(Chan_TestFlag(a, f.flag), f.on) << "analog flag " << f.flag;

  EXPECT_FALSE(Chan_TestFlag(c[1], kAiEnable));  // no point: a disabled channel

  const ChannelConfig& b = c[2];
  EXPECT_EQ(b.Type, kKindDI);
  EXPECT_STREQ(Chan_GetTag(b), "DOOR1");
  raw = reinterpret_cast<const uint8_t*>(&b);
  EXPECT_EQ(raw[192], 2);
  EXPECT_EQ(raw[194] | raw[195] << 8, 13);
  EXPECT_EQ(raw[196], 1);
  EXPECT_EQ(b.digital.AlarmPriority, 2);
  const struct {
    int flag;
    bool on;
  } digitalFlags[] = {
      {kDiEnable, true},      {kDiAlarmEnable, true},  {kDiAlarmState, false},       {kDiAlarmDriveCommon, true},
      {kDiEventEnable, true}, {kDiEventState, true},   {kDiErrorAlarmEnable, false}, {kDiErrorAlarmDriveCommon, false},
  };
  for (const auto& f : digitalFlags) EXPECT_EQ(Chan_TestFlag(b, f.flag), f.on) << "digital flag " << f.flag;
}

TEST(CdxsimPoints, BadPointsAreRefusedWithTheirLine) {
  const struct {
    const char* point;
    const char* message;
  } cases[] = {
      {"point device=2 number=1", "names no described device 2"},
      {"point device=1 number=1 kind=xx", "bad kind 'xx'"},
      {"point device=1 number=1 high=ten", "bad high 'ten'"},
      {"point device=1 number=1 common=middle", "common takes high, low and error"},
      {"point device=1 number=1 kind=di common=high", "common takes alarm and error"},
      {"point device=1 number=1\npoint device=1 number=1", "given twice"},
      {"point device=1", "missing number"},
      {"point device=1 number=1 colour=red", "unknown key 'colour'"},
  };
  for (const auto& c : cases) {
    cdxsim::Description d;
    std::string error;
    EXPECT_FALSE(cdxsim::Description::Parse(std::string(kDevice) + c.point + "\n", &d, &error)) << c.point;
    EXPECT_NE(error.find(c.message), std::string::npos) << c.point << ": " << error;
  }
}

}  // namespace
