// The system's error log.
//
// Reports go to one of two places, chosen by the setting CDXPLAT_EVENTLOG
// (an environment variable, read at each report):
// - unset or "syslog": the system log (syslog(3), facility LOG_USER), the
//   source as the message's identity, the event type as its level;
// - "file": the text-file log of platforms without an event log, the file
//   Root()/eventlog (root.h). Each report appends the time and the date
//   ("HH:MM:SS MM/DD/YY ") and then the message as it is (no line end is
//   added). Tests use this form.
// Reports from several processes never interleave within one report (one
// append per report).
#pragma once
#include <cstdint>
#include <string>

namespace plat {

constexpr uint16_t kEventError = 0x0001;
constexpr uint16_t kEventWarning = 0x0002;
constexpr uint16_t kEventInformation = 0x0004;

// Path of the text-file log.
std::string EventLogFilePath();

// Reports one event. server: null, "", "." or this computer's name for this
// machine; any other server fails with 53 (its log cannot be reached).
// source: the reporting product; user: the reporting user's name ("" when
// unknown). Returns 0, or -1 with the system error set.
int ReportEvent(const char* server, const std::string& source, uint16_t type, uint16_t category, uint32_t eventId,
                const std::string& user, const std::string& message);

}  // namespace plat
