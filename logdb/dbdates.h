// The dates the database kinds store: local wall-clock time as it is, or UTC
// when the registry value DatabaseUTC is "On" and the time zone keeps
// daylight saving time.
#pragma once
#include <cstdint>

// Stored dates: TimeStamp seconds (local wall clock) to the database's date
// value and back, shifted between local time and UTC in UTC mode. `valid`
// is false for a local time that does not exist (the hour skipped when
// daylight saving time begins); the date given is then the time one hour on.
double SecondsToDbDate(int64_t seconds, bool* valid = nullptr);
int64_t DbDateToSeconds(double date);
// UTC mode is read once per process; tests read it again after changing
// the registry or the zone.
void LogDb_ResetDateMode();
