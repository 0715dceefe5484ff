// The writer's time-zone information as logs carry it in the 172 extension
// bytes of their extended header block: the layout of the Windows
// TIME_ZONE_INFORMATION record, built from the system's zone data (the
// POSIX rule of the TZ setting, or the rule at the end of the zone file).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#pragma pack(push, 1)
struct ZoneSystemTime {
  uint16_t year, month, dayOfWeek, day, hour, minute, second, milliseconds;
};
struct TimeZoneInformation {
  int32_t bias;  // minutes, UTC - local standard time
  char16_t standardName[32];
  ZoneSystemTime standardDate;  // month 0: no daylight saving
  int32_t standardBias;
  char16_t daylightName[32];
  ZoneSystemTime daylightDate;
  int32_t daylightBias;
};
#pragma pack(pop)
static_assert(sizeof(ZoneSystemTime) == 16);
static_assert(sizeof(TimeZoneInformation) == 172);
static_assert(offsetof(TimeZoneInformation, standardName) == 4);
static_assert(offsetof(TimeZoneInformation, standardDate) == 68);
static_assert(offsetof(TimeZoneInformation, standardBias) == 84);
static_assert(offsetof(TimeZoneInformation, daylightName) == 88);
static_assert(offsetof(TimeZoneInformation, daylightDate) == 152);
static_assert(offsetof(TimeZoneInformation, daylightBias) == 168);

// From a POSIX rule such as "CET-1CEST,M3.5.0,M10.5.0/3"; false when the
// rule cannot be read (the record is then zeros). Day-of-year rules (Jn, n)
// have no form in the record: their dates stay zero.
bool TimeZoneFromRule(const std::string& rule, TimeZoneInformation* out);
// The rule in force here: $TZ (a rule, or a zone name looked up in
// /usr/share/zoneinfo), else the footer of /etc/localtime; "UTC0" when none.
std::string LocalZoneRule();
// TimeZoneFromRule(LocalZoneRule()).
bool GetLocalTimeZoneInformation(TimeZoneInformation* out);
