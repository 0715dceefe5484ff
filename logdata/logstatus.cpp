// Logger status channels of the "logst" pseudo device.
#include "logdata/logstatus.h"

#include <strings.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "cdxlib/shm/datamodule.h"
#include "cdxlib/runtime/syserr.h"
#include "cdxlib/sys/timestamp.h"
#include "cdxlib/runtime/valwrite.h"
#include "logdata/logstore.h"
#include "platform/sync.h"

namespace {

struct ChannelText {
  const char* shortName;
  const char* description;
  const char* high;  // state-1 text, or the units of an analog channel
  const char* low;
};

// Channels 1..32 of a logger's block: 12 digital, then 20 analog.
const ChannelText kChannels[kLogStatusChannels] = {
    {"STATUS", "STATUS", "ENABLED", "DISABLED"},
    {"DIRECTORY1", "DIRECTORY1", "N/A", "N/A"},
    {"DIRECTORY2", "DIRECTORY2", "N/A", "N/A"},
    {"DIRECTORY3", "DIRECTORY3", "N/A", "N/A"},
    {"DIRECTORY4", "DIRECTORY4", "N/A", "N/A"},
    {"DIRECTORY5", "DIRECTORY5", "N/A", "N/A"},
    {"DIRECTORY6", "DIRECTORY6", "N/A", "N/A"},
    {"PREFIX", "FILE/TABLE PREFIX", "N/A", "N/A"},
    {"TYPE", "STORAGE TYPE", "DATABASE", "FILE"},
    {"ACTIVITY", "ACTIVITY", "Not Started", "N/A"},
    {"ERROR", "ERROR MESSAGE", "ERROR", "NONE"},
    {"RESET CNTS", "RESET COUNTS", "RESET", "NORESET"},
    {"DATE LST W", "DATE OF LAST WRITE", "", nullptr},
    {"TIME LST W", "TIME OF LAST WRITE", "", nullptr},
    {"SEC LAST W", "TIME SINCE LAST WRITE", "SECS", nullptr},
    {"NO WRITES", "NO OF WRITE REQUESTS", "", nullptr},
    {"BYTES WRIT", "NO BYTES WRITTEN", "BYTES", nullptr},
    {"NO READ", "NO OF READ REQUESTS", "", nullptr},
    {"BYTES READ", "NO BYTES READ", "BYTES", nullptr},
    {"R-T LOG NO", "REAL-TIME LOG NUMBER", "", nullptr},
    {"R-T LOG DT", "REAL-TIME LOG DATE", "YYMMDD", nullptr},
    {"R-T LOG TM", "REAL-TIME LOG TIME", "HHMNSS", nullptr},
    {"LAG LOG NO", "LAG LOG NUMBER", "", nullptr},
    {"LAG LOG DT", "LAG LOG DATE", "YYMMDD", nullptr},
    {"LAG LOG TM", "LAG LOG TIME", "HHMNSS", nullptr},
    {"HIS LOG NO", "HISTORICAL LOG NUMBER", "", nullptr},
    {"HIS LOG DT", "HISTORICAL LOG DATE", "YYMMDD", nullptr},
    {"HIS LOG TM", "HISTORICAL LOG TIME", "HHMNSS", nullptr},
    {"EXPIRY DT", "EXPIRY DATE", "YYMNDD", nullptr},
    {"EXPIRY TM", "EXPIRY TIME", "HHMNSS", nullptr},
    {"SEC TO EXP", "TIME TO EXPIRY", "HRS", nullptr},
    {"NO INCOMPL", "NO OF INCOMPLETE PUBS", "", nullptr},
};

const char* const kActivity[] = {"Not Started",      "Finished Successfully", "Finished In Error",
                                 "Preparing to Log", "Waiting to Start",      "Logging"};

void PutText(char* field, size_t size, const char* text) {
  memset(field, 0, size);
  size_t n = strnlen(text ? text : "", size);
  memcpy(field, text ? text : "", n);
}

bool SameText(const char* field, size_t size, const char* text) {
  char a[kChannelTextLen + 1] = {};
  memcpy(a, field, size < kChannelTextLen ? size : kChannelTextLen);
  return strncmp(a, text, kChannelTextLen) == 0;
}

// The process's status block.
struct StatusBlock {
  std::recursive_mutex mu;
  bool setUp = false;
  bool flushed = false;  // the first flush forces every value
  int logger = 0;
  LoggerRecord record{};
  char prefix[3] = {};
  DataModuleHeader* values = nullptr;
  DataModuleHeader* conf = nullptr;
  uint32_t digital[kLogStatusDigital] = {};
  float analog[kLogStatusAnalog] = {};
  int64_t lastWriteTick = 0;  // 0: no write yet
  int32_t expiry = 0;
};

StatusBlock& Block() {
  static StatusBlock b;
  return b;
}

float& Analog(StatusBlock& b, int channel) { return b.analog[channel - kLogStatusDigital - 1]; }

// Record of channel `index` of the block in the configuration module.
ChannelConfig* ConfRecord(StatusBlock& b, int index) {
  uint8_t* data = reinterpret_cast<uint8_t*>(b.conf) + kDmDataOffset;
  uint32_t at = static_cast<uint32_t>(kLogStatusChannels * (b.logger - 1) + index - 1) * kDrvChannelConfigSize;
  if (at + kDrvChannelConfigSize > DM_DataBound(b.conf)) return nullptr;
  return reinterpret_cast<ChannelConfig*>(data + at);
}

void StampValues(StatusBlock& b) {
  auto* h = reinterpret_cast<DriverValuesHeader*>(reinterpret_cast<uint8_t*>(b.values) + kDmDataOffset);
  TimeStamp now;
  Time_NowLocal(&now);
  memcpy(&h->stamp, &now, sizeof now);
}

// The live record of the block's logger, else the copy taken at set-up.
const LoggerRecord& LiveRecord(StatusBlock& b) {
  if (Drv_OpenLoggerTable() == 0) {
    if (LoggerRecord* r = Drv_GetLogger(b.logger)) {
      if (strncasecmp(r->name, b.record.name, sizeof r->name) == 0) b.record = *r;
    }
  }
  return b.record;
}

void SetDate(StatusBlock& b, int dateChannel, int32_t seconds) {
  Analog(b, dateChannel) = LogStatus_DateValue(seconds);
  Analog(b, dateChannel + 1) = LogStatus_TimeValue(seconds);
}

}  // namespace

void LogStatus_MakeChannel(int loggerNumber, int index, ChannelConfig* out) {
  memset(out, 0, sizeof *out);
  if (index < 1 || index > kLogStatusChannels) return;
  const ChannelText& t = kChannels[index - 1];
  char tag[32];
  snprintf(tag, sizeof tag, "%04d_%s", loggerNumber, t.shortName);
  Chan_SetTag(out, tag);
  Chan_SetDescription(out, t.description);
  // Output kinds: the values are written into the channels by the value
  // writes, which take outputs only.
  if (index <= kLogStatusDigital) {
    out->Type = kKindDO;
    Chan_SetFlag(out, kDiEnable, true);
    PutText(out->digital.HighStateText, kChannelTextLen, t.high);
    PutText(out->digital.LowStateText, kChannelTextLen, t.low);
  } else {
    out->Type = kKindAO;
    Chan_SetFlag(out, kAiEnable, true);
    Chan_SetUnits(out, t.high);
  }
}

int LogStatus_RecordCount(const char* typeText) {
  if (typeText && strncasecmp(typeText, "repub", 5) == 0) return 32;
  if (typeText && strncasecmp(typeText, "resub", 5) == 0) return 31;
  return 25;
}

const char* LogStatus_ActivityText(int activity) {
  return activity >= 0 && activity <= 5 ? kActivity[activity] : "Unknown";
}

float LogStatus_DateValue(int32_t seconds) {
  if (seconds == 0) return 0;
  struct tm* t = Time_GmTime(seconds);
  return static_cast<float>((t->tm_year % 100) * 10000 + (t->tm_mon + 1) * 100 + t->tm_mday);
}

float LogStatus_TimeValue(int32_t seconds) {
  if (seconds == 0) return 0;
  struct tm* t = Time_GmTime(seconds);
  return static_cast<float>(t->tm_hour * 10000 + t->tm_min * 100 + t->tm_sec);
}

bool LogStatus_IsSetUp() {
  StatusBlock& b = Block();
  std::lock_guard<std::recursive_mutex> guard(b.mu);
  return b.setUp;
}

int LogStatus_Setup(int loggerNumber, const LoggerRecord* logger) {
  StatusBlock& b = Block();
  std::lock_guard<std::recursive_mutex> guard(b.mu);
  if (loggerNumber < 1 || !logger) return -1;
  DriverRecord* d = Drv_FindDriver("logst");
  if (!d) return -1;
  char prefix[3] = {d->prefix[0], d->prefix[1], 0};
  DataModuleHeader* values = Drv_OpenDataModule(prefix);
  if (!values) return -1;
  auto* vh = reinterpret_cast<const DriverValuesHeader*>(reinterpret_cast<uint8_t*>(values) + kDmDataOffset);
  uint32_t need = static_cast<uint32_t>(kLogStatusChannels) * static_cast<uint32_t>(loggerNumber);
  if (DM_DataBound(values) < sizeof(DriverValuesHeader) || vh->valueKind != 8 || vh->channelCount < need ||
      DM_DataBound(values) < Drv_ValuesDataSize(need, 8, false))
    return -1;
  DataModuleHeader* conf = Drv_OpenConfModule(prefix);
  if (!conf || DM_DataBound(conf) < need * kDrvChannelConfigSize) return -1;

  b.flushed = false;
  memset(b.digital, 0, sizeof b.digital);
  memset(b.analog, 0, sizeof b.analog);
  b.lastWriteTick = 0;
  b.expiry = 0;
  b.logger = loggerNumber;
  b.record = *logger;
  memcpy(b.prefix, prefix, 3);
  b.values = values;
  b.conf = conf;
  if (DM_Lock(conf) != 0) return -1;
  int made = LogStatus_RecordCount(logger->typeText);
  for (int i = 1; i <= kLogStatusChannels; ++i) {
    ChannelConfig* rec = ConfRecord(b, i);
    if (!rec) continue;
    if (i <= made) LogStatus_MakeChannel(loggerNumber, i, rec);
    else memset(rec, 0, sizeof *rec);
  }
  StampValues(b);
  DM_Notify(conf, 0);
  DM_Unlock(conf);
  b.setUp = true;
  LogStatus_Flush();
  return 0;
}

void PublishLoggerStatus(const char* location, const char* directory, const char* namePrefix) {
  StatusBlock& b = Block();
  std::lock_guard<std::recursive_mutex> guard(b.mu);
  if (!b.setUp || DM_Lock(b.conf) != 0) return;
  bool database = GetProviderKind(location) != kProviderFiles;
  auto setTexts = [&](int channel, const char* text) {
    if (ChannelConfig* rec = ConfRecord(b, channel)) {
      PutText(rec->digital.HighStateText, kChannelTextLen, text);
      PutText(rec->digital.LowStateText, kChannelTextLen, text);
    }
  };
  if (database) {
    setTexts(kLsDirectory1, LiveRecord(b).name);
  } else {
    std::vector<std::string> parts;
    std::string part;
    for (const char* p = directory ? directory : ""; ; ++p) {
      if (*p == '\\' || *p == '/' || *p == '\0') {
        if (!part.empty()) parts.push_back(part);
        part.clear();
        if (!*p) break;
      } else {
        part += *p;
      }
    }
    size_t from = parts.size() > 6 ? parts.size() - 6 : 0;
    for (size_t i = from; i < parts.size(); ++i) setTexts(kLsDirectory1 + static_cast<int>(i - from), parts[i].c_str());
  }
  if (namePrefix && *namePrefix) setTexts(kLsPrefix, namePrefix);
  b.digital[kLsType - 1] = database ? 1 : 0;
  StampValues(b);
  DM_Notify(b.conf, 0);
  DM_Unlock(b.conf);
  LogStatus_Flush();
}

void LogStatus_Flush() {
  StatusBlock& b = Block();
  std::lock_guard<std::recursive_mutex> guard(b.mu);
  if (!b.setUp || DM_Lock(b.conf) != 0) return;
  const LoggerRecord& r = LiveRecord(b);
  bool changed = false;
  b.digital[kLsStatus - 1] = r.enabled ? 1 : 0;
  char status[256] = "";
  bool hasText = SysErr_FindStatusText(kSysErrTypeLogger, r.name, status, sizeof status) && status[0];
  b.digital[kLsError - 1] = hasText ? 1 : 0;
  if (hasText) {
    ChannelConfig* rec = ConfRecord(b, kLsError);
    if (rec && !SameText(rec->digital.HighStateText, kChannelTextLen, status)) {
      PutText(rec->digital.HighStateText, kChannelTextLen, status);
      changed = true;
    }
  }
  // The logger record's real-time log number; 0 there (a table that does
  // not keep it) leaves the number LogStatus_SetRealTime gave.
  if (r.realTimeLog != 0) Analog(b, kLsRealTimeLog) = static_cast<float>(r.realTimeLog);
  b.digital[kLsActivity - 1] = 1;
  const char* activity = LogStatus_ActivityText(r.activity);
  ChannelConfig* act = ConfRecord(b, kLsActivity);
  if (act && !SameText(act->digital.HighStateText, kChannelTextLen, activity)) {
    PutText(act->digital.HighStateText, kChannelTextLen, activity);
    changed = true;
  }
  if (changed) {
    StampValues(b);
    DM_Notify(b.conf, 0);
  }
  Analog(b, kLsSecondsSinceWrite) =
      b.lastWriteTick ? static_cast<float>((plat::MonotonicMs() - b.lastWriteTick) / 1000) : 0.0f;
  TimeStamp now;
  Time_NowLocal(&now);
  Analog(b, kLsHoursToExpiry) =
      b.expiry ? static_cast<float>(static_cast<double>(b.expiry - now.seconds) / 3600.0) : 0.0f;
  DM_Unlock(b.conf);

  b.digital[kLsResetCounts - 1] = 0;
  int first = kLogStatusChannels * (b.logger - 1) + 1;
  if (!b.flushed) {
    Val_ForceDigital(b.prefix, first, first + kLogStatusDigital - 1, b.digital);
    Val_ForceAnalog(b.prefix, first + kLogStatusDigital, first + kLogStatusChannels - 1, b.analog);
    b.flushed = true;
  } else {
    Val_WriteDigital(b.prefix, first, first + kLogStatusDigital - 1, b.digital);
    Val_WriteAnalog(b.prefix, first + kLogStatusDigital, first + kLogStatusChannels - 1, b.analog);
  }
}

void LogStatus_AddWrite(uint32_t bytes) {
  StatusBlock& b = Block();
  std::lock_guard<std::recursive_mutex> guard(b.mu);
  if (!b.setUp) return;
  Analog(b, kLsWrites) += 1;
  Analog(b, kLsBytesWritten) += static_cast<float>(bytes);
  TimeStamp now;
  Time_NowLocal(&now);
  SetDate(b, kLsDateLastWrite, now.seconds);
  b.lastWriteTick = plat::MonotonicMs();
  if (b.lastWriteTick == 0) b.lastWriteTick = 1;
  LogStatus_Flush();
}

void LogStatus_AddRead(uint32_t bytes) {
  StatusBlock& b = Block();
  std::lock_guard<std::recursive_mutex> guard(b.mu);
  if (!b.setUp) return;
  Analog(b, kLsReads) += 1;
  Analog(b, kLsBytesRead) += static_cast<float>(bytes);
}

void LogStatus_ResetCounts() {
  StatusBlock& b = Block();
  std::lock_guard<std::recursive_mutex> guard(b.mu);
  if (!b.setUp) return;
  Analog(b, kLsWrites) = Analog(b, kLsBytesWritten) = Analog(b, kLsReads) = Analog(b, kLsBytesRead) = 0;
  LogStatus_Flush();
}

void LogStatus_SetRealTime(int logNumber, int32_t start) {
  StatusBlock& b = Block();
  std::lock_guard<std::recursive_mutex> guard(b.mu);
  if (!b.setUp) return;
  if (logNumber != 0) Analog(b, kLsRealTimeLog) = static_cast<float>(logNumber);
  if (start != 0) SetDate(b, kLsRealTimeDate, start);
  LogStatus_Flush();
}

void LogStatus_SetLag(int logNumber, int32_t seconds) {
  StatusBlock& b = Block();
  std::lock_guard<std::recursive_mutex> guard(b.mu);
  if (!b.setUp) return;
  Analog(b, kLsLagLog) = static_cast<float>(logNumber);
  SetDate(b, kLsLagDate, seconds);
  LogStatus_Flush();
}

void LogStatus_SetHistorical(int logNumber, int32_t seconds) {
  StatusBlock& b = Block();
  std::lock_guard<std::recursive_mutex> guard(b.mu);
  if (!b.setUp) return;
  Analog(b, kLsHistoricalLog) = static_cast<float>(logNumber);
  SetDate(b, kLsHistoricalDate, seconds);
  LogStatus_Flush();
}

void LogStatus_SetExpiry(int32_t seconds) {
  StatusBlock& b = Block();
  std::lock_guard<std::recursive_mutex> guard(b.mu);
  if (!b.setUp) return;
  b.expiry = seconds;
  SetDate(b, kLsExpiryDate, seconds);
  LogStatus_Flush();
}

void LogStatus_SetIncomplete(int count) {
  StatusBlock& b = Block();
  std::lock_guard<std::recursive_mutex> guard(b.mu);
  if (!b.setUp) return;
  Analog(b, kLsIncomplete) = static_cast<float>(count);
  LogStatus_Flush();
}

void LogStatus_Stop() {
  StatusBlock& b = Block();
  std::lock_guard<std::recursive_mutex> guard(b.mu);
  if (!b.setUp) return;
  b.lastWriteTick = 0;
  LogStatus_Flush();
  b.setUp = false;
}
