// The time-zone record built from the zone data.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/error.h"
#include "platform/timezone.h"

namespace {

std::u16string Name(const char16_t* n) { return std::u16string(n); }

TEST(TimeZone, ZoneWithDaylightSavingFromZoneData) {
  setenv("TZ", "Europe/Berlin", 1);
  plat::TimeZoneInformation z;
  ASSERT_EQ(plat::GetTimeZoneInformation(&z), 0);
  EXPECT_EQ(z.Bias, -60);
  EXPECT_EQ(z.StandardBias, 0);
  EXPECT_EQ(z.DaylightBias, -60);
  EXPECT_EQ(Name(z.StandardName), u"CET");
  EXPECT_EQ(Name(z.DaylightName), u"CEST");
  // Daylight saving from the last Sunday of March at 02:00 to the last
  // Sunday of October at 03:00.
  EXPECT_EQ(z.DaylightDate.Year, 0);
  EXPECT_EQ(z.DaylightDate.Month, 3);
  EXPECT_EQ(z.DaylightDate.Day, 5);
  EXPECT_EQ(z.DaylightDate.DayOfWeek, 0);
  EXPECT_EQ(z.DaylightDate.Hour, 2);
  EXPECT_EQ(z.StandardDate.Month, 10);
  EXPECT_EQ(z.StandardDate.Day, 5);
  EXPECT_EQ(z.StandardDate.DayOfWeek, 0);
  EXPECT_EQ(z.StandardDate.Hour, 3);
  unsetenv("TZ");
}

TEST(TimeZone, ZoneWithoutDaylightSaving) {
  setenv("TZ", ":Asia/Tokyo", 1);
  plat::TimeZoneInformation z;
  ASSERT_EQ(plat::GetTimeZoneInformation(&z), 0);
  EXPECT_EQ(z.Bias, -540);
  EXPECT_EQ(Name(z.StandardName), u"JST");
  EXPECT_EQ(Name(z.DaylightName), u"");
  EXPECT_EQ(z.DaylightBias, 0);
  EXPECT_EQ(z.DaylightDate.Month, 0);
  EXPECT_EQ(z.StandardDate.Month, 0);
  unsetenv("TZ");
}

TEST(TimeZone, Rules) {
  struct Case {
    const char* rule;
    int result;
    int bias;
    int dstBias;
    int dstMonth, dstWeek, dstHour, dstMinute;
    int stdMonth, stdWeek, stdHour;
  } cases[] = {
      {"EST5EDT,M3.2.0,M11.1.0", 0, 300, -60, 3, 2, 2, 0, 11, 1, 2},
      {"<+0330>-3:30", 0, -210, 0, 0, 0, 0, 0, 0, 0, 0},
      {"NZST-12NZDT,M9.5.0,M4.1.0/3", 0, -720, -60, 9, 5, 2, 0, 4, 1, 3},
      {"LHST-10:30LHDT-11,M10.1.0,M4.1.0", 0, -630, -30, 10, 1, 2, 0, 4, 1, 2},
      {"AAA3BBB,M3.2.0/1:30,M11.1.0", 0, 180, -60, 3, 2, 1, 30, 11, 1, 2},
      {"XXX3YYY,J60,J300", 0, 180, -60, 0, 0, 0, 0, 0, 0, 0},
      {"UTC0", 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
      {"", -1, 0, 0, 0, 0, 0, 0, 0, 0, 0},
      {"CET", -1, 0, 0, 0, 0, 0, 0, 0, 0, 0},
      {"CET-1CEST,M13.5.0,M10.5.0", -1, 0, 0, 0, 0, 0, 0, 0, 0, 0},
      {"CET-1CEST,M3.5.0", -1, 0, 0, 0, 0, 0, 0, 0, 0, 0},
      {"<CET-1", -1, 0, 0, 0, 0, 0, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rule);
    plat::TimeZoneInformation z{};
    ASSERT_EQ(plat::TimeZoneFromRule(c.rule, &z), c.result);
    if (c.result != 0) {
      EXPECT_EQ(errno, 13);
      continue;
    }
    EXPECT_EQ(z.Bias, c.bias);
    EXPECT_EQ(z.DaylightBias, c.dstBias);
    EXPECT_EQ(z.DaylightDate.Month, c.dstMonth);
    EXPECT_EQ(z.DaylightDate.Day, c.dstWeek);
    EXPECT_EQ(z.DaylightDate.Hour, c.dstHour);
    EXPECT_EQ(z.DaylightDate.Minute, c.dstMinute);
    EXPECT_EQ(z.StandardDate.Month, c.stdMonth);
    EXPECT_EQ(z.StandardDate.Day, c.stdWeek);
    EXPECT_EQ(z.StandardDate.Hour, c.stdHour);
  }
}

TEST(TimeZone, FileThatIsNotZoneData) {
  EXPECT_EQ(plat::TimeZoneRuleOfFile("/etc/hostname-does-not-exist"), "");
  EXPECT_EQ(errno, 2);
  EXPECT_EQ(plat::TimeZoneRuleOfFile("/etc/passwd"), "");
  EXPECT_EQ(errno, 13);
}

// Zones as the logs' writers meet them: with and without daylight saving,
// west and east of Greenwich, half-hour offsets and a 30-minute shift.
TEST(TimeZone, KnownZones) {
  struct Case {
    const char* tz;
    int bias, dstBias, dstMonth, dstWeek, dstHour, stdMonth, stdHour;
    const char16_t* stdName;
  } cases[] = {{"Europe/Oslo", -60, -60, 3, 5, 2, 10, 3, u"CET"},
               {"America/New_York", 300, -60, 3, 2, 2, 11, 2, u"EST"},
               {"UTC", 0, 0, 0, 0, 0, 0, 0, u"UTC"},
               {"Asia/Kolkata", -330, 0, 0, 0, 0, 0, 0, u"IST"},
               {"Australia/Lord_Howe", -630, -30, 10, 1, 2, 4, 2, u"+1030"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tz);
    setenv("TZ", c.tz, 1);
    plat::TimeZoneInformation z;
    ASSERT_EQ(plat::GetTimeZoneInformation(&z), 0);
    EXPECT_EQ(z.Bias, c.bias);
    EXPECT_EQ(z.DaylightBias, c.dstBias);
    EXPECT_EQ(z.DaylightDate.Month, c.dstMonth);
    EXPECT_EQ(z.DaylightDate.Day, c.dstWeek);
    EXPECT_EQ(z.DaylightDate.Hour, c.dstHour);
    EXPECT_EQ(z.StandardDate.Month, c.stdMonth);
    EXPECT_EQ(z.StandardDate.Hour, c.stdHour);
    EXPECT_EQ(Name(z.StandardName), c.stdName);
  }
  unsetenv("TZ");
}

TEST(TimeZone, BracketedNameAndFailedRuleLeavesRecord) {
  plat::TimeZoneInformation z{};
  ASSERT_EQ(plat::TimeZoneFromRule("<+0530>-5:30", &z), 0);
  EXPECT_EQ(z.Bias, -330);
  EXPECT_EQ(Name(z.StandardName), u"+0530");
  ASSERT_EQ(plat::TimeZoneFromRule("CET-1CEST,M3.5.0,M10.5.0/3", &z), 0);
  EXPECT_EQ(z.DaylightDate.DayOfWeek, 0);
  EXPECT_EQ(z.StandardDate.Hour, 3);
  // A rule that cannot be read leaves the record as it was.
  EXPECT_EQ(plat::TimeZoneFromRule("CET-1CEST,M3.5", &z), -1);
  EXPECT_EQ(z.Bias, -60);
}

}  // namespace
