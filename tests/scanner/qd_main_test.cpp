// Pieces of the process frame: program names, the save schedule, period
// boundaries and the zone text.
#include "scanner/qd_main.h"

#include <gtest/gtest.h>

namespace {

TEST(ProgramName, PrefixIsTheBaseNameBeforeTheLastUnderscore) {
  struct Case {
    const char* argv0;
    bool ok;
    const char* prefix;
  } cases[] = {
      {"C:\\bin\\qd_dev1.exe", true, "qd"},
      {"/opt/cdx/bin/qd_poll", true, "qd"},
      {"/opt/my_tools/qd_poll", true, "qd"},  // an underscore in the directory does not count
      {"qd_a_b", true, "qd_a"},
      {"/opt/my_tools/qdpoll", true, "my"},  // the last underscore decides
      {"qdpoll", false, ""},
  };
  for (const auto& c : cases) {
    std::string prefix;
    EXPECT_EQ(Scan_PrefixFromProgram(c.argv0, &prefix), c.ok) << c.argv0;
    if (c.ok) {
      EXPECT_EQ(prefix, c.prefix) << c.argv0;
    }
  }
}

TimeStamp At(int32_t s, int16_t ms = 0) { return TimeStamp{s, ms, 0}; }

TEST(SaveSchedule, WaitsUntilDueThenMovesByPeriodsOrRestartsAfterAClockJump) {
  const int32_t period = 60000;
  const TimeStamp now = At(1000000);
  struct Case {
    const char* what;
    TimeStamp next;
    bool due;
    TimeStamp after;
  } cases[] = {
      {"not yet due", At(1000030), false, At(1000030)},
      {"due now", At(1000000), false, At(1000000)},
      {"just past", At(999999), true, At(1000059)},
      {"two periods late", At(1000000 - 100), true, At(1000020)},
      {"clock set back 10 minutes", At(1000000 + 600), true, At(1000060)},
      {"more than two periods late", At(1000000 - 180), true, At(1000060)},
  };
  for (const auto& c : cases) {
    TimeStamp next = c.next;
    EXPECT_EQ(Scan_SaveDue(now, &next, period), c.due) << c.what;
    EXPECT_EQ(next.seconds, c.after.seconds) << c.what;
    EXPECT_EQ(next.milliseconds, c.after.milliseconds) << c.what;
  }
}

TEST(PeriodBoundary, NextWholePeriodAfterTheBase) {
  TimeStamp base = At(100, 0);
  struct Case {
    TimeStamp t;
    int period;
    TimeStamp want;
  } cases[] = {
      {At(100, 0), 1000, At(101, 0)},   {At(100, 999), 1000, At(101, 0)}, {At(103, 500), 250, At(103, 750)},
      {At(99, 100), 1000, At(100, 0)},  {At(98, 0), 1000, At(99, 0)},
  };
  for (const auto& c : cases) {
    const TimeStamp* r = Time_NextPeriodBoundary(&c.t, &base, c.period);
    EXPECT_EQ(r->seconds, c.want.seconds);
    EXPECT_EQ(r->milliseconds, c.want.milliseconds);
  }
  TimeStamp t = At(5, 5);
  EXPECT_EQ(Time_NextPeriodBoundary(&t, &base, 0), &t);
}

TEST(ZoneText, StandardNameBiasAndDaylightName) {
  EXPECT_EQ(Scan_TimeZoneText("GMT", 0, nullptr), "TZ=GMT");
  EXPECT_EQ(Scan_TimeZoneText("EST", 300, "EDT"), "TZ=EST5:0:0EDT");
  EXPECT_EQ(Scan_TimeZoneText("IST", -330, nullptr), "TZ=IST-5:30:0");
}

}  // namespace
