// The machine's time-zone record, as the system's peers exchange it (the
// 172-byte TIME_ZONE_INFORMATION layout: biases in minutes, UTC = local +
// bias; the change dates in the "month, week of the month (5 = last),
// weekday, hour" form; the names in UTF-16LE).
//
// It is built from the zone data: the zone named by TZ (":Area/City" or
// "Area/City" under /usr/share/zoneinfo, or a POSIX rule itself), else
// /etc/localtime. The POSIX rule at the end of a zone file
// ("CET-1CEST,M3.5.0,M10.5.0/3") maps one to one onto the record; a zone
// without daylight saving leaves both dates and the daylight bias zero.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace plat {

struct SystemTime {
  uint16_t Year, Month, DayOfWeek, Day, Hour, Minute, Second, Milliseconds;
};
static_assert(sizeof(SystemTime) == 16);

struct TimeZoneInformation {
  int32_t Bias;
  char16_t StandardName[32];
  SystemTime StandardDate;
  int32_t StandardBias;
  char16_t DaylightName[32];
  SystemTime DaylightDate;
  int32_t DaylightBias;
};
static_assert(sizeof(TimeZoneInformation) == 172);
static_assert(offsetof(TimeZoneInformation, StandardName) == 4);
static_assert(offsetof(TimeZoneInformation, StandardDate) == 68);
static_assert(offsetof(TimeZoneInformation, StandardBias) == 84);
static_assert(offsetof(TimeZoneInformation, DaylightName) == 88);
static_assert(offsetof(TimeZoneInformation, DaylightDate) == 152);
static_assert(offsetof(TimeZoneInformation, DaylightBias) == 168);

// Fills the record from a POSIX rule. 0, or -1 with 13 (invalid data) for a
// rule that cannot be read; rules whose dates are day numbers ("J60",
// "300") keep the biases and names with zero dates.
int TimeZoneFromRule(const std::string& rule, TimeZoneInformation* out);

// The rule at the end of a zone file (version 2 or later), or "" (errno set).
std::string TimeZoneRuleOfFile(const std::string& path);

// The record of this machine's zone (above). 0 or -1 with the error.
int GetTimeZoneInformation(TimeZoneInformation* out);

}  // namespace plat
