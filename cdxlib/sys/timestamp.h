// Time stamps: the system's one time value, and its calendar arithmetic.
//
// A TimeStamp holds the local wall-clock date and time counted as if it were
// UTC: whole seconds since 1970-01-01 00:00 plus milliseconds (and, in
// stamps that come from finer sources, microseconds within the millisecond).
// The calendar arithmetic here is our own, never the runtime's time-zone
// aware functions, so a stamp always reads back as the wall-clock time it
// was taken at, with no zone or daylight-saving shift.
#pragma once
#include <bit>
#include <cstddef>
#include <cstdint>
#include <ctime>

static_assert(std::endian::native == std::endian::little, "records are little-endian byte layouts");

// 8 bytes, the same in memory, files and shared memory.
struct TimeStamp {
  int32_t seconds;       // local wall-clock seconds since 1970-01-01 00:00,
                         // read as unsigned (to 2106) by the calendar,
                         // the comparison, the differences and alignment
  int16_t milliseconds;  // 0..999
  int16_t microseconds;  // 0..999 within the millisecond; 0 from the clock
};
static_assert(sizeof(TimeStamp) == 8);
static_assert(offsetof(TimeStamp, seconds) == 0);
static_assert(offsetof(TimeStamp, milliseconds) == 4);
static_assert(offsetof(TimeStamp, microseconds) == 6);

// A calendar date and time as the clock reports it (month 1..12, day 1..31).
struct SystemTime {
  uint16_t year;
  uint16_t month;
  uint16_t dayOfWeek;  // 0 = Sunday; not used by the conversions
  uint16_t day;
  uint16_t hour;
  uint16_t minute;
  uint16_t second;
  uint16_t milliseconds;
};

// A pair of seconds and microseconds (as gettimeofday gives them).
struct SecondsMicros {
  int32_t seconds;
  int32_t microseconds;
};

// A rate or period as stored in "saveconfig" records and printed: 4 bytes.
struct PackedPeriod {
  uint8_t minutes;        // at most 99
  uint8_t seconds;        // 0..59
  uint16_t milliseconds;  // 0..999
};
static_assert(sizeof(PackedPeriod) == 4);
static_assert(offsetof(PackedPeriod, minutes) == 0);
static_assert(offsetof(PackedPeriod, seconds) == 1);
static_assert(offsetof(PackedPeriod, milliseconds) == 2);

// Reads the local clock into a stamp (microseconds 0). The result goes to a
// process-wide static stamp and, when `out` is given, to *out; returns out,
// or the static stamp (overwritten by the next call) when out is null.
TimeStamp* Time_NowLocal(TimeStamp* out);

// Converts a calendar time to seconds and milliseconds. The microseconds of
// the output are set to 0 (the conversion has none to give).
void Time_FromSystemTime(const SystemTime& st, TimeStamp* out);

// Days of a month (1..12) of a year; 0 for a month out of range.
int Time_DaysOfMonth(int year, int month);

// The calendar fields of a count of seconds, taken as an unsigned 32-bit
// count, converted as UTC. Applied to a stamp's seconds it gives the local
// wall-clock fields. Returns the runtime's per-thread static result.
struct tm* Time_GmTime(int32_t seconds);

// a - b in milliseconds, 32-bit (wraps beyond about 24 days, as callers of
// this width expect).
int32_t Time_DiffMs(const TimeStamp& a, const TimeStamp& b);

// a - b in microseconds, 64-bit.
int64_t Time_DiffUs64(const TimeStamp& a, const TimeStamp& b);

// Seconds copied; microseconds split into milliseconds and microseconds.
// Microseconds of 10^6 and more (or negative) are carried into the seconds.
void Time_FromSecondsMicros(const SecondsMicros& in, TimeStamp* out);

// Adds n >= 0 milliseconds in place (a negative n subtracts, normalising
// the milliseconds back into 0..999).
void Time_AddMs(TimeStamp* t, int32_t n);

// Order of two stamps by seconds, then milliseconds (microseconds are not
// compared): negative, 0 or positive.
int32_t Time_Compare(const TimeStamp& a, const TimeStamp& b);

// The next time, one period on, aligned within its day to the period (to at
// most one minute). Period 0 returns `t` itself. Otherwise the result is a
// process-wide static stamp shared with Time_SubtractFields.
const TimeStamp* Time_AlignToPeriod(const TimeStamp* t, uint32_t periodMs);

// Calendar fields to subtract, largest unit first.
struct TimeFields {
  uint8_t years, months, days, hours, minutes, seconds;
};
static_assert(sizeof(TimeFields) == 6);

// The stamp with the calendar fields subtracted (normalised as
// Time_MakeSeconds does); milliseconds copied. Process-wide static result.
const TimeStamp* Time_SubtractFields(const TimeStamp& t, const TimeFields& f);

// Our own mktime on UTC fields that may be out of range: normalises *tm in
// place and returns its seconds since 1970 (years before 1970 count as 1970).
int64_t Time_MakeSeconds(struct tm* tm);

// Days of the month of a broken-down time (tm_mon 0-based).
int Time_DaysInMonth(const struct tm& tm);

// Milliseconds to the packed period (minutes capped at 99).
void Time_MsToPeriod(PackedPeriod* out, uint32_t ms);
