// Logger status channels: every logger publishes its own state as 32
// channels of the pseudo device "logst", so that operators and clients see,
// like any other channel, whether it is enabled, where it writes, how much
// it has written and the dates of its last runs.
//
// Logger n (from 1) owns channels 32(n-1)+1 .. 32n of the "logst" driver:
// 12 digital channels (STATUS, DIRECTORY1-6, PREFIX, TYPE, ACTIVITY, ERROR,
// RESET CNTS), then 20 analog ones (dates, times, counters). Their
// configuration records live in the driver's "_conf" module, their values in
// its values module (value kind 8).
//
// One status block per process, set up once by a logger process for its own
// logger number; until then, and after LogStatus_Stop, every call here does
// nothing. Dates are floats YYMMDD and times HHMMSS of the local calendar.
#pragma once
#include <cstdint>

#include "cdxlib/records/chanconfig.h"
#include "cdxlib/shm/drvtables.h"

constexpr int kLogStatusChannels = 32;
constexpr int kLogStatusDigital = 12;
constexpr int kLogStatusAnalog = 20;

// Channel positions within a logger's block (1-based).
enum LogStatusChannel : int {
  kLsStatus = 1,
  kLsDirectory1 = 2,  // .. 7
  kLsPrefix = 8,
  kLsType = 9,
  kLsActivity = 10,
  kLsError = 11,
  kLsResetCounts = 12,
  kLsDateLastWrite = 13,
  kLsTimeLastWrite = 14,
  kLsSecondsSinceWrite = 15,
  kLsWrites = 16,
  kLsBytesWritten = 17,
  kLsReads = 18,
  kLsBytesRead = 19,
  kLsRealTimeLog = 20,
  kLsRealTimeDate = 21,
  kLsRealTimeTime = 22,
  kLsLagLog = 23,
  kLsLagDate = 24,
  kLsLagTime = 25,
  kLsHistoricalLog = 26,
  kLsHistoricalDate = 27,
  kLsHistoricalTime = 28,
  kLsExpiryDate = 29,
  kLsExpiryTime = 30,
  kLsHoursToExpiry = 31,
  kLsIncomplete = 32,
};

// The configuration record of channel `index` (1..32) of logger n: enabled,
// tag "%04d_<short name>", description, state texts or units; digital and
// analog outputs (the kinds that value writes change).
void LogStatus_MakeChannel(int loggerNumber, int index, ChannelConfig* out);
// How many of the 32 records a logger of this type text gets: "repub" 32,
// "resub" 31, any other 25 (first five characters, case-blind).
int LogStatus_RecordCount(const char* typeText);
// The activity text of an activity number ("Unknown" beyond 0..5).
const char* LogStatus_ActivityText(int activity);
// (year % 100) x 10000 + month x 100 + day and hour x 10000 + minute x 100 +
// second of wall-clock seconds; 0 for 0.
float LogStatus_DateValue(int32_t seconds);
float LogStatus_TimeValue(int32_t seconds);

// Sets the block up for logger n. The record is copied; at each flush the
// live record of logger n in "dm_loggers" is read when the table holds one
// of the same name. 0, or -1 with nothing set up when the "logst" driver,
// its values module (value kind 8, at least 32n channels) or its
// configuration module is missing.
int LogStatus_Setup(int loggerNumber, const LoggerRecord* logger);
// Records the log location a collection has just opened: the last six
// components of a file directory (split at '\' or '/') in DIRECTORY1-6, or
// the logger's name for a database location; the name prefix; the storage
// type.
void PublishLoggerStatus(const char* location, const char* directory, const char* namePrefix);
// Writes all states and values: the first flush after set-up forces every
// value, later ones write only what changed.
void LogStatus_Flush();
void LogStatus_AddWrite(uint32_t bytes);
void LogStatus_AddRead(uint32_t bytes);  // no flush
void LogStatus_ResetCounts();
void LogStatus_SetRealTime(int logNumber, int32_t start);
void LogStatus_SetLag(int logNumber, int32_t seconds);
void LogStatus_SetHistorical(int logNumber, int32_t seconds);
void LogStatus_SetExpiry(int32_t seconds);
void LogStatus_SetIncomplete(int count);
// Seconds since the last write to 0, a last flush; then not set up.
void LogStatus_Stop();
// Whether the block is set up.
bool LogStatus_IsSetUp();
