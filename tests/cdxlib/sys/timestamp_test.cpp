#include "cdxlib/sys/timestamp.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <random>

namespace {

SystemTime St(int y, int mo, int d, int h, int mi, int s, int ms) {
  SystemTime st{};
  st.year = static_cast<uint16_t>(y);
  st.month = static_cast<uint16_t>(mo);
  st.day = static_cast<uint16_t>(d);
  st.hour = static_cast<uint16_t>(h);
  st.minute = static_cast<uint16_t>(mi);
  st.second = static_cast<uint16_t>(s);
  st.milliseconds = static_cast<uint16_t>(ms);
  return st;
}

int64_t Utc(int y, int mo, int d, int h, int mi, int s) {
  struct tm tm{};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = s;
  return timegm(&tm);
}

TimeStamp Ts(int32_t s, int16_t ms, int16_t us = 0) { return TimeStamp{s, ms, us}; }

TEST(TimeStamp, ConversionFromCalendarLeavesNoStaleMicroseconds) {
  TimeStamp t{};
  t.microseconds = 777;  // must not survive
  Time_FromSystemTime(St(2000, 2, 29, 12, 0, 0, 250), &t);
  EXPECT_EQ(t.seconds, Utc(2000, 2, 29, 12, 0, 0));
  EXPECT_EQ(t.milliseconds, 250);
  EXPECT_EQ(t.microseconds, 0);
}

TEST(TimeStamp, LeapYearRule) {
  struct Case {
    int year, month, days;
  } cases[] = {{1900, 2, 28}, {2000, 2, 29}, {2004, 2, 29}, {2100, 2, 28}, {2023, 2, 28},
               {2023, 4, 30}, {2023, 12, 31}, {2023, 0, 0},  {2023, 13, 0}};
  for (const auto& c : cases) EXPECT_EQ(Time_DaysOfMonth(c.year, c.month), c.days) << c.year << "-" << c.month;
  struct tm tm{};
  tm.tm_year = 100;
  tm.tm_mon = 1;
  EXPECT_EQ(Time_DaysInMonth(tm), 29);
  tm.tm_year = 0;
  EXPECT_EQ(Time_DaysInMonth(tm), 28);
}

TEST(TimeStamp, ArithmeticExamples) {
  const int32_t ten = static_cast<int32_t>(Utc(2021, 6, 1, 10, 0, 7));
  const int32_t day = static_cast<int32_t>(Utc(2021, 6, 1, 0, 0, 0));
  struct AlignCase {
    uint32_t period;
    int32_t seconds;
    int16_t ms;
  } aligns[] = {
      {10000, day + 36010, 0},   // 10:00:07.500 -> 10:00:10.000
      {3600000, day + 39600, 0},  // one hour on, aligned to the minute: 11:00:00
      {1000, day + 36008, 0},
      {250, day + 36007, 750},
      {90000, day + 36060, 0},  // 10:01:37.500 aligned down to the minute
  };
  TimeStamp start = Ts(ten, 500, 123);
  for (const auto& c : aligns) {
    const TimeStamp* r = Time_AlignToPeriod(&start, c.period);
    EXPECT_EQ(r->seconds, c.seconds) << c.period;
    EXPECT_EQ(r->milliseconds, c.ms) << c.period;
    EXPECT_EQ(r->microseconds, 0) << c.period;
  }
  EXPECT_EQ(Time_AlignToPeriod(&start, 0), &start);

  TimeStamp t = Ts(12, 700);
  Time_AddMs(&t, 1500);
  EXPECT_EQ(t.seconds, 14);
  EXPECT_EQ(t.milliseconds, 200);
  Time_AddMs(&t, 799);
  EXPECT_EQ(t.seconds, 14);
  EXPECT_EQ(t.milliseconds, 999);
  Time_AddMs(&t, 2000000001);  // a sum beyond 16 bits of milliseconds and 2^31
  EXPECT_EQ(t.seconds, 14 + 2000001);
  EXPECT_EQ(t.milliseconds, 0);
  Time_AddMs(&t, -1);  // negative amounts borrow
  EXPECT_EQ(t.seconds, 14 + 2000000);
  EXPECT_EQ(t.milliseconds, 999);

  EXPECT_LT(Time_Compare(Ts(5, 100), Ts(5, 200)), 0);
  EXPECT_GT(Time_Compare(Ts(5, 200), Ts(5, 100)), 0);
  EXPECT_EQ(Time_Compare(Ts(5, 100, 1), Ts(5, 100, 999)), 0);
  EXPECT_EQ(Time_Compare(Ts(7, 0), Ts(5, 999)), 2);
  // The widest differences (1970 against 2106, seconds read unsigned) keep
  // their sign: no overflow of the difference.
  EXPECT_GT(Time_Compare(Ts(-1, 0), Ts(0, 0)), 0);
  EXPECT_LT(Time_Compare(Ts(0, 0), Ts(-1, 0)), 0);

  EXPECT_EQ(Time_DiffMs(Ts(10, 5), Ts(8, 900)), 1105);
  EXPECT_EQ(Time_DiffMs(Ts(8, 900), Ts(10, 5)), -1105);
  EXPECT_EQ(Time_DiffUs64(Ts(10, 5, 3), Ts(8, 900, 10)), 1104993);
  EXPECT_EQ(Time_DiffUs64(Ts(-1, 0), Ts(0, 0)), int64_t{UINT32_MAX} * 1000000);
}

TEST(TimeStamp, SecondsMicrosSplitAndCarry) {
  struct Case {
    int32_t s, us;
    int32_t seconds;
    int16_t ms, micro;
  } cases[] = {
      {100, 0, 100, 0, 0},           {100, 999999, 100, 999, 999},  {100, 1000000, 101, 0, 0},
      {100, 2500123, 102, 500, 123}, {100, -1, 99, 999, 999},
  };
  for (const auto& c : cases) {
    TimeStamp t{};
    Time_FromSecondsMicros({c.s, c.us}, &t);
    EXPECT_EQ(t.seconds, c.seconds) << c.us;
    EXPECT_EQ(t.milliseconds, c.ms) << c.us;
    EXPECT_EQ(t.microseconds, c.micro) << c.us;
  }
}

TEST(TimeStamp, MakeSecondsNormalisesOutOfRangeFields) {
  struct Case {
    int year, mon0, mday, hour, min, sec;
    int eyear, emon0, emday;
  } cases[] = {
      {2001, 1, 31, 0, 0, 0, 2001, 2, 3},     // 31 February, non-leap: 3 March
      {2000, 1, 31, 0, 0, 0, 2000, 2, 2},     // leap year: 2 March
      {2001, 0, 0, 0, 0, 0, 2000, 11, 31},    // day 0 borrows from December
      {2001, -1, 15, 0, 0, 0, 2000, 11, 15},  // month -1
      {2001, 12, 1, 0, 0, 0, 2002, 0, 1},     // month 12
      {2001, 0, 1, 0, 0, -1, 2000, 11, 31},   // second -1 at new year
      {2001, 0, 1, 48, 0, 0, 2001, 0, 3},
      {2001, 0, -400, 0, 0, 0, 1999, 10, 27},
  };
  for (const auto& c : cases) {
    struct tm tm{};
    tm.tm_year = c.year - 1900;
    tm.tm_mon = c.mon0;
    tm.tm_mday = c.mday;
    tm.tm_hour = c.hour;
    tm.tm_min = c.min;
    tm.tm_sec = c.sec;
    struct tm ref = tm;
    const int64_t expect = timegm(&ref);
    EXPECT_EQ(Time_MakeSeconds(&tm), expect) << c.year << "/" << c.mon0 << "/" << c.mday;
    EXPECT_EQ(tm.tm_year + 1900, c.eyear);
    EXPECT_EQ(tm.tm_mon, c.emon0);
    EXPECT_EQ(tm.tm_mday, c.emday);
    EXPECT_EQ(tm.tm_sec, ref.tm_sec);
  }
  struct tm early{};
  early.tm_year = 60;  // 1960: whole years before 1970 count no days
  early.tm_mon = 1;
  early.tm_mday = 2;
  EXPECT_EQ(Time_MakeSeconds(&early), (31 + 1) * 86400);
}

TEST(TimeStamp, SubtractFields) {
  const TimeStamp t = Ts(static_cast<int32_t>(Utc(2020, 3, 31, 1, 0, 0)), 321, 55);
  const TimeStamp* r = Time_SubtractFields(t, TimeFields{0, 1, 0, 2, 0, 0});
  // 31 February 2020 at -1 hour: 1 March 2020 23:00 of the day before 2 March.
  EXPECT_EQ(r->seconds, Utc(2020, 3, 1, 23, 0, 0));
  EXPECT_EQ(r->milliseconds, 321);
  EXPECT_EQ(r->microseconds, 0);
  r = Time_SubtractFields(t, TimeFields{1, 0, 0, 0, 0, 1});
  EXPECT_EQ(r->seconds, Utc(2019, 3, 31, 0, 59, 59));
}

TEST(TimeStamp, PackedPeriod) {
  struct Case {
    uint32_t ms;
    int minutes, seconds, millis;
  } cases[] = {{20000000, 99, 20, 0}, {61001, 1, 1, 1}, {0, 0, 0, 0}, {5939999, 98, 59, 999}, {UINT32_MAX, 99, 47, 295}};
  for (const auto& c : cases) {
    PackedPeriod p{};
    Time_MsToPeriod(&p, c.ms);
    EXPECT_EQ(p.minutes, c.minutes) << c.ms;
    EXPECT_EQ(p.seconds, c.seconds) << c.ms;
    EXPECT_EQ(p.milliseconds, c.millis) << c.ms;
  }
}

TEST(TimeStamp, NowReadsTheLocalWallClock) {
  TimeStamp a{};
  a.microseconds = 9;
  TimeStamp* r = Time_NowLocal(&a);
  EXPECT_EQ(r, &a);
  EXPECT_EQ(a.microseconds, 0);
  EXPECT_GE(a.milliseconds, 0);
  EXPECT_LT(a.milliseconds, 1000);
  time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  const int64_t wall = timegm(&local);
  EXPECT_LE(std::llabs(a.seconds - wall), 5);
  TimeStamp* st = Time_NowLocal(nullptr);
  EXPECT_NE(st, nullptr);
  EXPECT_LE(std::llabs(st->seconds - wall), 5);
}

// The day arithmetic against the runtime's UTC conversion over the range
// a 32-bit stamp covers.
TEST(TimeStamp, DayArithmeticMatchesTimegmOver1970To2037) {
  std::mt19937 rng(20240229);
  const int32_t lo = 0, hi = static_cast<int32_t>(Utc(2037, 12, 31, 23, 59, 59));
  std::uniform_int_distribution<int32_t> pick(lo, hi);
  for (int i = 0; i < 20000; ++i) {
    const int32_t s = i < 2 ? (i == 0 ? lo : hi) : pick(rng);
    struct tm tm = *Time_GmTime(s);
    TimeStamp t{};
    Time_FromSystemTime(St(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, 0), &t);
    ASSERT_EQ(t.seconds, s) << "round trip of " << s;
    struct tm copy = tm;
    ASSERT_EQ(Time_MakeSeconds(&copy), s);
    // Shift the day by an arbitrary amount and compare normalisation.
    struct tm shifted = tm;
    shifted.tm_mday += static_cast<int>(pick(rng) % 800) - 400;
    shifted.tm_mon += static_cast<int>(pick(rng) % 30) - 15;
    struct tm ref = shifted;
    const int64_t expect = timegm(&ref);
    if (ref.tm_year < 70) continue;  // before 1970 the own conversion stops at 1970
    ASSERT_EQ(Time_MakeSeconds(&shifted), expect);
    ASSERT_EQ(shifted.tm_mday, ref.tm_mday);
    ASSERT_EQ(shifted.tm_mon, ref.tm_mon);
    ASSERT_EQ(Time_DaysInMonth(shifted), Time_DaysOfMonth(ref.tm_year + 1900, ref.tm_mon + 1));
  }
}

// Stamps after 2038-01-19 03:14:07 wrap to negative seconds; the calendar
// reads them as an unsigned count (to 2106), so ordering, differences and
// alignment must read them the same way: the scanner's schedule crosses
// that second like any other.
TEST(TimeStamp, StampsPast2038ReadAsTheUnsignedCount) {
  TimeStamp before{}, after{};
  Time_FromSystemTime(St(2038, 1, 19, 3, 14, 7, 900), &before);
  Time_FromSystemTime(St(2038, 1, 19, 3, 14, 8, 100), &after);
  ASSERT_EQ(before.seconds, INT32_MAX);
  ASSERT_LT(after.seconds, 0);
  EXPECT_GT(Time_Compare(after, before), 0);
  EXPECT_LT(Time_Compare(before, after), 0);
  EXPECT_EQ(Time_DiffMs(after, before), 200);
  EXPECT_EQ(Time_DiffUs64(after, before), 200000);
  TimeStamp t = before;
  Time_AddMs(&t, 200);
  EXPECT_EQ(Time_Compare(t, after), 0);

  // 2040-03-01 10:00:07.500 aligns to 10:00:10.000 and, for an hour, to
  // 11:00:00.000 of the same wall-clock day.
  TimeStamp late{};
  Time_FromSystemTime(St(2040, 3, 1, 10, 0, 7, 500), &late);
  ASSERT_LT(late.seconds, 0);
  const struct {
    uint32_t period;
    int hour, minute, second;
  } cases[] = {{10000, 10, 0, 10}, {3600000, 11, 0, 0}, {60000, 10, 1, 0}};
  for (const auto& c : cases) {
    const TimeStamp a = *Time_AlignToPeriod(&late, c.period);
    const struct tm tm = *Time_GmTime(a.seconds);
    EXPECT_EQ(tm.tm_year + 1900, 2040) << c.period;
    EXPECT_EQ(tm.tm_mon, 2) << c.period;
    EXPECT_EQ(tm.tm_mday, 1) << c.period;
    EXPECT_EQ(tm.tm_hour, c.hour) << c.period;
    EXPECT_EQ(tm.tm_min, c.minute) << c.period;
    EXPECT_EQ(tm.tm_sec, c.second) << c.period;
    EXPECT_EQ(a.milliseconds, 0) << c.period;
  }
}

}  // namespace
