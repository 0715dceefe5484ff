// Time-zone information from the zone data installed on the system.
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "logdata/timezone.h"

namespace {
std::u16string Name(const char16_t* n) { return std::u16string(n); }
}  // namespace

TEST(TimeZone, RulesOfKnownZones) {
  struct Case {
    const char* tz;
    int bias, dstBias, dstMonth, dstWeek, dstHour, stdMonth, stdHour, stdMinute;
    const char16_t* stdName;
  } cases[] = {{"Europe/Oslo", -60, -60, 3, 5, 2, 10, 3, 0, u"CET"},
               {"America/New_York", 300, -60, 3, 2, 2, 11, 2, 0, u"EST"},
               {"UTC", 0, 0, 0, 0, 0, 0, 0, 0, u"UTC"},
               {"Asia/Kolkata", -330, 0, 0, 0, 0, 0, 0, 0, u"IST"},
               {"Australia/Lord_Howe", -630, -30, 10, 1, 2, 4, 2, 0, u"+1030"}};
  const char* old = getenv("TZ");
  std::string saved = old ? old : "";
  for (const Case& c : cases) {
    setenv("TZ", c.tz, 1);
    TimeZoneInformation z;
    ASSERT_TRUE(GetLocalTimeZoneInformation(&z)) << c.tz << " " << LocalZoneRule();
    EXPECT_EQ(z.bias, c.bias) << c.tz;
    EXPECT_EQ(z.daylightBias, c.dstBias) << c.tz;
    EXPECT_EQ(z.daylightDate.month, c.dstMonth) << c.tz;
    EXPECT_EQ(z.daylightDate.day, c.dstWeek) << c.tz;
    EXPECT_EQ(z.daylightDate.hour, c.dstHour) << c.tz;
    EXPECT_EQ(z.standardDate.month, c.stdMonth) << c.tz;
    EXPECT_EQ(z.standardDate.hour, c.stdHour) << c.tz;
    EXPECT_EQ(Name(z.standardName), c.stdName) << c.tz;
  }
  if (old) setenv("TZ", saved.c_str(), 1);
  else unsetenv("TZ");
}

TEST(TimeZone, RuleTexts) {
  TimeZoneInformation z;
  ASSERT_TRUE(TimeZoneFromRule("<+0530>-5:30", &z));
  EXPECT_EQ(z.bias, -330);
  EXPECT_EQ(Name(z.standardName), u"+0530");
  ASSERT_TRUE(TimeZoneFromRule("CET-1CEST,M3.5.0,M10.5.0/3", &z));
  EXPECT_EQ(z.daylightDate.dayOfWeek, 0);
  EXPECT_EQ(z.standardDate.hour, 3);
  EXPECT_FALSE(TimeZoneFromRule("", &z));
  EXPECT_FALSE(TimeZoneFromRule("CET-1CEST,M3.5", &z));
  EXPECT_EQ(z.bias, 0);
}
