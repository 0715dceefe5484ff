// Stored dates: the shift between local wall-clock time and UTC, with the
// mode read once from the registry and the zone.
#include "logdb/dbdates.h"

#include <strings.h>

#include <algorithm>
#include <ctime>
#include <mutex>

#include "cdxlib/sys/registry.h"
#include "cdxlib/sys/timestamp.h"
#include "logdb/ado/ado.h"
#include "platform/timezone.h"

namespace {

constexpr const char* kSettingsKey = "SOFTWARE\\Quillomatic\\Coordinatrix";

std::mutex g_dateLock;
int g_utcToDb = -1;    // the mode of SecondsToDbDate, -1 not yet read
int g_utcFromDb = -1;  // the mode of DbDateToSeconds

int ReadUtcMode() {
  char buf[11] = {};
  uint32_t type = 0, size = 10;
  if (Reg_AccessValue(plat::HKEY_LOCAL_MACHINE, kSettingsKey, plat::KEY_QUERY_VALUE, "DatabaseUTC", &type, buf,
                      &size) != 0)
    return 0;
  buf[std::min<uint32_t>(size, 10)] = '\0';
  if (strcasecmp(buf, "On") != 0) return 0;
  // A zone without daylight saving time keeps local time; so does one with
  // it only when the zone query works and says so.
  plat::TimeZoneInformation tz;
  if (plat::GetTimeZoneInformation(&tz) != 0) return 1;
  return tz.DaylightDate.Month != 0 ? 1 : 0;
}

bool UtcMode(int* cache) {
  std::lock_guard<std::mutex> g(g_dateLock);
  if (*cache < 0) *cache = ReadUtcMode();
  return *cache == 1;
}

}  // namespace

double SecondsToDbDate(int64_t seconds, bool* valid) {
  if (valid) *valid = true;
  if (!UtcMode(&g_utcToDb)) return ado::SecondsToOleDate(seconds);
  // The stamp's fields are local wall-clock time: the instant they name.
  time_t t = time_t(seconds);
  struct tm f;
  gmtime_r(&t, &f);
  struct tm local = f;
  local.tm_isdst = -1;
  time_t instant = mktime(&local);
  if (valid) {
    struct tm back;
    localtime_r(&instant, &back);
    *valid = back.tm_year == f.tm_year && back.tm_mon == f.tm_mon && back.tm_mday == f.tm_mday &&
             back.tm_hour == f.tm_hour && back.tm_min == f.tm_min && back.tm_sec == f.tm_sec;
  }
  return ado::SecondsToOleDate(int64_t(instant));
}

int64_t DbDateToSeconds(double date) {
  int64_t stored = ado::OleDateToSeconds(date);
  if (!UtcMode(&g_utcFromDb)) return stored;
  time_t t = time_t(stored);
  struct tm local;
  if (!localtime_r(&t, &local)) return -1;
  return Time_MakeSeconds(&local);
}

void LogDb_ResetDateMode() {
  std::lock_guard<std::mutex> g(g_dateLock);
  g_utcToDb = g_utcFromDb = -1;
}
