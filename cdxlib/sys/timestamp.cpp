#include "cdxlib/sys/timestamp.h"

#include <algorithm>
#include <climits>
#include <sys/time.h>

namespace {

// Floor division and the matching non-negative remainder, so that negative
// field values borrow exactly as the carry loops they replace would.
constexpr int64_t FloorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }
constexpr int64_t FloorMod(int64_t a, int64_t b) { return a - FloorDiv(a, b) * b; }

constexpr bool IsLeap(int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

constexpr int kMonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

int MonthDays(int64_t year, int month0) { return month0 == 1 && IsLeap(year) ? 29 : kMonthDays[month0]; }

// Days from 1970-01-01 to the first day of a Gregorian month (month0 0..11);
// negative before 1970.
int64_t DaysFromCivil(int64_t year, int month0) {
  const int64_t y = month0 < 2 ? year - 1 : year;
  const int64_t m = month0 + 1;
  const int64_t era = FloorDiv(y, 400);
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

// The date of a day count from 1970-01-01.
void CivilFromDays(int64_t days, int64_t* year, int* month0, int* mday) {
  days += 719468;
  const int64_t era = FloorDiv(days, 146097);
  const int64_t doe = days - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  *mday = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  const int64_t m = mp < 10 ? mp + 3 : mp - 9;
  *month0 = static_cast<int>(m - 1);
  *year = yoe + era * 400 + (m <= 2);
}

// Days of the whole years 1970 .. year-1 and of the whole months before
// month0; years before 1970 contribute no days (no negative counts).
int64_t DaysBeforeMonth(int64_t year, int month0) {
  const int64_t yearDays = year > 1970 ? DaysFromCivil(year, 0) : 0;
  return yearDays + (DaysFromCivil(year, month0) - DaysFromCivil(year, 0));
}

// A stamp's seconds as the calendar reads them: an unsigned 32-bit count,
// so that stamps after 2038-01-19 03:14:07 (negative as i32) order, subtract
// and align as the later times they are.
constexpr int64_t Secs(int32_t s) { return int64_t{static_cast<uint32_t>(s)}; }

TimeStamp g_now;      // Time_NowLocal without an output
TimeStamp g_shared;   // Time_AlignToPeriod and Time_SubtractFields

}  // namespace

TimeStamp* Time_NowLocal(TimeStamp* out) {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  struct tm local;
  time_t secs = tv.tv_sec;
  localtime_r(&secs, &local);
  SystemTime st{};
  st.year = static_cast<uint16_t>(local.tm_year + 1900);
  st.month = static_cast<uint16_t>(local.tm_mon + 1);
  st.dayOfWeek = static_cast<uint16_t>(local.tm_wday);
  st.day = static_cast<uint16_t>(local.tm_mday);
  st.hour = static_cast<uint16_t>(local.tm_hour);
  st.minute = static_cast<uint16_t>(local.tm_min);
  st.second = static_cast<uint16_t>(local.tm_sec);
  st.milliseconds = static_cast<uint16_t>(tv.tv_usec / 1000);
  Time_FromSystemTime(st, &g_now);
  if (!out) return &g_now;
  *out = g_now;
  return out;
}

void Time_FromSystemTime(const SystemTime& st, TimeStamp* out) {
  const int month0 = std::clamp<int>(st.month, 1, 12) - 1;
  const int64_t days = DaysBeforeMonth(st.year, month0) + st.day - 1;
  const int64_t secs = 86400 * days + 3600 * int64_t{st.hour} + 60 * int64_t{st.minute} + st.second;
  out->seconds = static_cast<int32_t>(secs);
  out->milliseconds = static_cast<int16_t>(st.milliseconds);
  out->microseconds = 0;
}

int Time_DaysOfMonth(int year, int month) {
  if (month < 1 || month > 12) return 0;
  return MonthDays(year, month - 1);
}

struct tm* Time_GmTime(int32_t seconds) {
  thread_local struct tm result;
  const time_t t = static_cast<time_t>(static_cast<uint32_t>(seconds));
  return gmtime_r(&t, &result);
}

int32_t Time_DiffMs(const TimeStamp& a, const TimeStamp& b) {
  const int64_t d = (int64_t{a.seconds} - b.seconds) * 1000 + (a.milliseconds - b.milliseconds);
  return static_cast<int32_t>(d);  // wraps modulo 2^32 beyond about 24 days
}

int64_t Time_DiffUs64(const TimeStamp& a, const TimeStamp& b) {
  return (Secs(a.seconds) - Secs(b.seconds)) * 1000000 + int64_t{a.milliseconds - b.milliseconds} * 1000 +
         (a.microseconds - b.microseconds);
}

void Time_FromSecondsMicros(const SecondsMicros& in, TimeStamp* out) {
  const int64_t us = FloorMod(in.microseconds, 1000000);
  out->seconds = static_cast<int32_t>(int64_t{in.seconds} + FloorDiv(in.microseconds, 1000000));
  out->milliseconds = static_cast<int16_t>(us / 1000);
  out->microseconds = static_cast<int16_t>(us % 1000);
}

void Time_AddMs(TimeStamp* t, int32_t n) {
  const int64_t sum = int64_t{t->milliseconds} + n;
  if (sum >= 0 && sum < 1000) {
    t->milliseconds = static_cast<int16_t>(sum);
    return;
  }
  t->seconds = static_cast<int32_t>(t->seconds + FloorDiv(sum, 1000));
  t->milliseconds = static_cast<int16_t>(FloorMod(sum, 1000));
}

int32_t Time_Compare(const TimeStamp& a, const TimeStamp& b) {
  if (a.seconds != b.seconds) {
    const int64_t d = Secs(a.seconds) - Secs(b.seconds);
    return static_cast<int32_t>(std::clamp<int64_t>(d, INT32_MIN, INT32_MAX));
  }
  return a.milliseconds - b.milliseconds;
}

const TimeStamp* Time_AlignToPeriod(const TimeStamp* t, uint32_t periodMs) {
  if (periodMs == 0) return t;
  const int64_t secOfDay = Secs(t->seconds) % 86400;
  int64_t ms = int64_t{periodMs} + t->milliseconds + 1000 * secOfDay;
  const int64_t m = periodMs <= 60000 ? periodMs : 60000;
  ms -= ms % m;
  g_shared.seconds = static_cast<int32_t>(Secs(t->seconds) - secOfDay + ms / 1000);
  g_shared.milliseconds = static_cast<int16_t>(ms % 1000);
  g_shared.microseconds = 0;
  return &g_shared;
}

const TimeStamp* Time_SubtractFields(const TimeStamp& t, const TimeFields& f) {
  struct tm tm = *Time_GmTime(t.seconds);
  tm.tm_year -= f.years;
  tm.tm_mon -= f.months;
  tm.tm_mday -= f.days;
  tm.tm_hour -= f.hours;
  tm.tm_min -= f.minutes;
  tm.tm_sec -= f.seconds;
  g_shared.seconds = static_cast<int32_t>(Time_MakeSeconds(&tm));
  g_shared.milliseconds = t.milliseconds;
  g_shared.microseconds = 0;
  return &g_shared;
}

int64_t Time_MakeSeconds(struct tm* tm) {
  // Carry each field into the next larger one (borrowing when negative).
  int64_t sec = tm->tm_sec;
  int64_t min = int64_t{tm->tm_min} + FloorDiv(sec, 60);
  sec = FloorMod(sec, 60);
  int64_t hour = int64_t{tm->tm_hour} + FloorDiv(min, 60);
  min = FloorMod(min, 60);
  int64_t mday = int64_t{tm->tm_mday} + FloorDiv(hour, 24);
  hour = FloorMod(hour, 24);
  int64_t year = int64_t{tm->tm_year} + 1900 + FloorDiv(tm->tm_mon, 12);
  int month0 = static_cast<int>(FloorMod(tm->tm_mon, 12));

  // A day of month out of range moves through the months: the date is the
  // first of the month plus mday - 1 days.
  if (mday <= 0 || mday > MonthDays(year, month0)) {
    int md = 0;
    CivilFromDays(DaysFromCivil(year, month0) + mday - 1, &year, &month0, &md);
    mday = md;
  }

  tm->tm_sec = static_cast<int>(sec);
  tm->tm_min = static_cast<int>(min);
  tm->tm_hour = static_cast<int>(hour);
  tm->tm_mday = static_cast<int>(mday);
  tm->tm_mon = month0;
  tm->tm_year = static_cast<int>(year - 1900);

  const int64_t days = DaysBeforeMonth(year, month0) + mday - 1;
  return 86400 * days + 3600 * hour + 60 * min + sec;
}

int Time_DaysInMonth(const struct tm& tm) {
  return MonthDays(int64_t{tm.tm_year} + 1900, static_cast<int>(FloorMod(tm.tm_mon, 12)));
}

void Time_MsToPeriod(PackedPeriod* out, uint32_t ms) {
  out->milliseconds = static_cast<uint16_t>(ms % 1000);
  out->seconds = static_cast<uint8_t>((ms % 60000) / 1000);
  const uint32_t minutes = ms / 60000;
  out->minutes = static_cast<uint8_t>(minutes >= 99 ? 99 : minutes);
}
