#include "cdxlib/config/loggerfiles.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "base/memory/typedmem.h"
#include "base/structs/structs_item.h"
#include "cdxlib/config/history.h"
#include "cdxlib/config/loggertypes.h"
#include "cdxlib/config/xmlconfig.h"
#include "cdxlib/config/configfiles.h"
#include "cdxlib/shm/drvtables.h"
#include "cdxlib/xml/xmldoc.h"
#include "cdxlib/config/xmlschema.h"
#include "platform/error.h"
#include "platform/files.h"

namespace {

// A logger name names a file in the logger directory: no path separators.
// False with 87 for no name, 123 for one that is no plain name.
bool ValidName(const char* name) {
  if (!name || !*name) return plat::Fail(plat::kErrInvalidParameter), false;
  return plat::CheckPlainName(name) == 0;
}

std::string FileBase(const char* dir, const char* name, int number) {
  std::string p = dir;
  if (!p.empty() && p.back() != '/') p += '/';
  return p + name + "_" + std::to_string(number);
}

std::string Source(const char* name, int number) { return "Logger " + std::string(name) + "_" + std::to_string(number); }

bool CurrentDir(std::string* out) {
  char buf[4096];
  if (!::getcwd(buf, sizeof buf)) return plat::FailErrno(errno), false;
  *out = buf;
  return true;
}

// -1 with the system error of a failed call, keeping it across close().
int FailKeep(int fd) {
  const uint32_t code = plat::GetLastError();
  if (fd >= 0) ::close(fd);
  plat::Fail(code);
  return -1;
}

// Checks names in order; false at the first one missing.
class Required {
 public:
  explicit Required(const char* list) : list_(list) {}
  bool operator()(std::initializer_list<const char*> names) const {
    for (const char* n : names)
      if (Cfg_CheckLoggerRequired(list_, n) != 0) return false;
    return true;
  }
  bool operator()(const std::string& name) const { return Cfg_CheckLoggerRequired(list_, name.c_str()) == 0; }

 private:
  const char* list_;
};

constexpr uint8_t kFile = 0, kDatabase = 1;

int ValidateStand(const Required& need, const StandardLogger& s) {
  if (!need({"Name", "Autostart", "Storage", "Type"})) return -1;
  enum { kPeriod = 0, kPeriodEvent = 1, kEvent = 2, kRateOfChange = 3 };
  if (s.Type == kPeriod && !need({"PeriodPreEventRate"})) return -1;
  if (s.Type == kPeriodEvent) {
    if (!need({"PeriodPreEventRate", "EventLogs"})) return -1;
    if (s.EventLogs != 0 && !need({"EventRate"})) return -1;
  }
  if (s.Type == kEvent) {
    if (!need({"PreEventLogs", "PostEventLogs"})) return -1;
    if (s.EventLogs != 0 && !need({"EventRate"})) return -1;
  }
  if (!need({"StartMode", "StartTime", "StopTime", "Delete"})) return -1;
  if (s.Delete && !need({"DeleteOlderThan"})) return -1;
  if (!need({"Cycle"})) return -1;
  if (s.Cycle != 0 && !need({"CycleEvery", "CycleMode", "CycleLogFor"})) return -1;
  for (int i = 0; i < kLoggerChannels; ++i) {
    const std::string p = "LogChannels." + std::to_string(i) + ".";
    for (const char* item : {"Range.Prefix", "Range.From", "Range.To", "Tags.From", "Tags.To", "Average", "Lag"})
      if (!need(p + item)) return -1;
  }
  if (s.Type == kPeriodEvent || s.Type == kEvent) {
    for (int i = 0; i < kLoggerChannels; ++i) {
      const std::string p = "EventChannels." + std::to_string(i) + ".";
      for (const char* item : {"Range.Prefix", "Range.From", "Range.To", "Tags.From", "Tags.To"})
        if (!need(p + item)) return -1;
    }
  }
  if (s.Type == kRateOfChange) {
    if (!need({"RofCTriggerChannel.Prefix", "RofCTriggerChannel.Number", "RofCTriggerTag", "RateofChangeType"}))
      return -1;
    if (s.RateofChangeType == kFile &&
        !need({"RateofChangeChannel.Prefix", "RateofChangeChannel.Number", "RateofChangeTag"}))
      return -1;
    if (s.RateofChangeType == kDatabase && !need({"RateofChangeValue"})) return -1;
    if (!need({"RofCLaggedTriggerChannel.Prefix", "RofCLaggedTriggerChannel.Number", "RofCLaggedTriggerTag",
               "RofCRewindType"}))
      return -1;
    if (s.RofCRewindType == kFile && !need({"RofCRewindChannel.Prefix", "RofCRewindChannel.Number", "RofCRewindTag"}))
      return -1;
    if (s.RofCRewindType == kDatabase && !need({"RofCRewindValue"})) return -1;
  }
  if (!need({"TextLogging", "BufferSize", "WritetoDiskRate", "LogByTag", "Directory"})) return -1;
  if (s.Storage == kDatabase) {
    if (!need({"Database", "Replicate"})) return -1;
    if (s.Replicate) {
      if (!need({"ReplicationTarget", "DropMerge"})) return -1;
      if (s.DropMerge && !need({"DropMergeCylce"})) return -1;
    }
  }
  if (!need({"DiskSpaceChecking"})) return -1;
  if (s.DiskSpaceChecking && !need({"DiskSpaceThreshold"})) return -1;
  if (!need({"SaveConfigurationFile", "MarkFilesReadOnly", "DateAsTableSeqNo", "NamePrefix", "ForceDeviceScanRates",
             "WarnIfNoDeviceUpdates", "AutoEnableDevices", "DataExport"}))
    return -1;
  if (!s.DataExport) return 0;
  if (!need({"ExportType"})) return -1;
  enum { kRunCommand = 0, kDataExport = 1 };
  if (s.ExportType == kRunCommand) return need({"ExportCommand", "ExportParameters"}) ? 0 : -1;
  if (s.ExportType != kDataExport) return 0;
  // Every export item from ExportHeaderType to ExportHeaderUnits.
  bool inside = false;
  for (const StructsField* f = cfg_type_logger_stand.args[0].fields; f->name; ++f) {
    if (!strcmp(f->name, "ExportHeaderType")) inside = true;
    if (inside && !need(std::string(f->name))) return -1;
    if (!strcmp(f->name, "ExportHeaderUnits")) break;
  }
  if (!need({"UseEmail"})) return -1;
  if (!s.UseEmail) return 0;
  if (!need({"EmailUseMAPI"})) return -1;
  if (s.EmailUseMAPI) {
    if (!need({"EmailMAPIProfile", "EmailLogOnAs"})) return -1;
    if (!s.EmailLogOnAs && !need({"EmailMAPIPassword"})) return -1;
    if (s.EmailLogOnAs && !need({"EmailNTUser", "EmailNTDomain", "EmailNTPassword"})) return -1;
  } else {
    if (!need({"EmailSMTPSender", "EmailSMTPSenderBox", "EmailSMTPHost", "EmailSMTPPort", "EmailSMTPEncryption",
               "EmailUseSMTPLogin"}))
      return -1;
    if (s.EmailUseSMTPLogin && !need({"EmailSMTPLogin", "EmailSMTPPassword"})) return -1;
  }
  return need({"EmailSubject", "EmailText", "EmailSendFile", "EmailAttachFile", "EmailDeleteFile"}) ? 0 : -1;
}

int ValidateRepub(const Required& need, const Republisher& r) {
  if (!need({"Name", "SourceLogger", "SourceStorage"})) return -1;
  if (r.SourceStorage == kFile) {
    if (!need({"SourceDirectory", "SourceLogin"})) return -1;
    if (r.SourceLogin && !need({"SourceLoginUserName", "SourceLoginPassword"})) return -1;
  }
  if (r.SourceStorage == kDatabase && !need({"SourceDatabase"})) return -1;
  if (!need({"SourcePrefix", "DestinationConnectionType", "DestinationServer", "DestinationStorage"})) return -1;
  if (r.DestinationStorage == kFile) {
    if (!need({"DestinationDirectory", "DestinationLogin", "DestinationMarkFilesReadOnly"})) return -1;
    if (r.DestinationLogin && !need({"DestinationLoginUserName", "DestinationLoginPassword"})) return -1;
  }
  if (r.DestinationStorage == kDatabase && !need({"DestinationDatabase"})) return -1;
  if (!need({"DestinationPrefix", "DestinationUpdatesToTextLogs", "Autostart", "UpdateRate", "StartTime", "StopTime",
             "Cycle"}))
    return -1;
  if (r.Cycle != 0 && !need({"CycleEvery", "CyclePublishFor"})) return -1;
  if (!need({"DeleteSource"})) return -1;
  if (r.DeleteSource && !need({"DeleteSourceOlderThan"})) return -1;
  if (!need({"DeleteDestination"})) return -1;
  if (r.DeleteDestination && !need({"DeleteDestinationOlderThan"})) return -1;
  if (!need({"RenameAllocatedSubscription"})) return -1;
  if (r.RenameAllocatedSubscription && !need({"RenameLoggerName"})) return -1;
  if (!need({"BufferSize", "NetworkConnection", "ThrottleBandwidth"})) return -1;
  if (r.ThrottleBandwidth && !need({"BandwidthThrottleKbs"})) return -1;
  if (!need({"ChannelFilter"})) return -1;
  if (r.ChannelFilter) {
    for (int i = 0; i < kLoggerChannels; ++i) {
      const std::string n = std::to_string(i);
      for (const std::string& item : {"FilterChannels." + n + ".Prefix", "FilterChannels." + n + ".From",
                                      "FilterChannels." + n + ".To", "FilterChannelsName." + n})
        if (!need(item)) return -1;
    }
  }
  return 0;
}

int ValidateResub(const Required& need, const Resubscriber& r) {
  if (!need({"Name", "Autostart", "ExpiryTimeEnable"})) return -1;
  if (r.ExpiryTimeEnable && !need({"ExpiryTime"})) return -1;
  if (!need({"OverrideDestination"})) return -1;
  if (r.OverrideDestination) {
    if (!need({"DestinationDirectory", "DatabaseDestinationUse"})) return -1;
    if (r.DatabaseDestinationUse && !need({"DatabaseDestination"})) return -1;
  }
  const struct {
    const char* what;
    uint8_t on;
  } sources[] = {{"ChannelAlarm", r.GenerateAlarmOnChannelAlarm},
                 {"ChannelError", r.GenerateAlarmOnChannelError},
                 {"CommTimeout", r.GenerateAlarmOnCommTimeout}};
  for (const auto& s : sources) {
    if (!need(std::string("GenerateAlarmOn") + s.what)) return -1;
    if (s.on && (!need(std::string("PriorityAlarmOn") + s.what) || !need(std::string("CommonAlarmOn") + s.what) ||
                 !need(std::string("DelayAlarmOn") + s.what)))
      return -1;
  }
  return 0;
}

bool ReadXmlFor(const char* dir, LoggerKind kind, const std::string& xmlPath) {
  struct stat st;
  return kind != kLoggerUnknown && XmlOpt_ReadXml(dir) == 1 && ::stat(xmlPath.c_str(), &st) == 0;
}

int LoadLoggerXml(const std::string& path, const char* name, int number, LoggerKind kind, void* record,
                  uint32_t length) {
  const StructsType* type = Cfg_LoggerType(kind);
  const uint32_t size = Cfg_LoggerSize(kind);
  XmlDocument* doc = xml_CreateDocument();
  xml_SetSource(Source(name, number).c_str());
  xml_SetContext("");
  xml_Load(doc, path.c_str());
  XmlNode* root = xml_GetError() >= 0 ? xml_GetRoot(doc) : nullptr;
  XmlNode* logger = root ? xml_FindByName(root, "Logger") : nullptr;
  if (!logger && xml_GetError() >= 0) xml_SetErrorF("<Logger> tag not found");
  std::vector<unsigned char> work(size, 0);
  std::string list = ",";
  if (logger && CfgXml_ReadItems(logger, type, work.data(), &list, "<%s> %s") == 0) {
    Cfg_DeriveLoggerFields(kind, work.data(), 1);
    if (kind == kLoggerRepub) Cfg_SetLoggerPeriodChoices(reinterpret_cast<Republisher*>(work.data()));
    Cfg_ValidateLogger(list.c_str(), name, work.data());
  }
  xml_FreeDocument(doc);
  if (xml_GetError() < 0) return xml_ReportError();
  memcpy(record, work.data(), std::min<uint32_t>(length, size));
  return 0;
}

// Rewrites the enable byte of "config" in the current directory with itself
// (its change time moves), when there is one.
void TouchCwdConfig() {
  struct stat st;
  if (::stat("config", &st) != 0 || st.st_size < 1) return;
  const uint32_t last = plat::GetLastError();
  const int saved = errno;
  uint8_t enable = 0;
  if (Cfg_LoadEnableInCwd(&enable) == 0) Cfg_SaveEnableInCwd(&enable);
  plat::SetLastError(last);
  errno = saved;
}

// One history line per item whose text changed (letter case aside), the
// items of the standard record compared in their XML-facing form; a line
// whose item name and texts reach 992 characters is left out.
void AppendHistory(const char* user, const char* dir, const char* name, int number,
                   const std::vector<unsigned char>& before, const void* record, uint32_t length) {
  const LoggerKind kind = Cfg_LoggerKind(name);
  const StructsType* type = Cfg_LoggerType(kind);
  const uint32_t size = Cfg_LoggerSize(kind);
  if (!type || memcmp(before.data(), record, std::min<size_t>(length, before.size())) == 0) return;
  std::vector<unsigned char> oldRec(size, 0), newRec(size, 0);
  memcpy(oldRec.data(), before.data(), std::min<size_t>(size, before.size()));
  memcpy(newRec.data(), record, std::min<size_t>(size, length));
  Cfg_DeriveLoggerFields(kind, oldRec.data(), 0);
  Cfg_DeriveLoggerFields(kind, newRec.data(), 0);
  char** names = nullptr;
  const int n = Structs_ListItemNames(type, newRec.data(), &names, kStructsTagTemporary);
  if (n < 0) return;
  if (Hist_Open(0, dir)) {
    for (int i = 0; i < n; ++i) {
      char* a = Structs_GetItemText(type, names[i], kStructsTagTemporary, oldRec.data());
      char* b = Structs_GetItemText(type, names[i], kStructsTagTemporary, newRec.data());
      if (a && b && strcasecmp(a, b) != 0 && strlen(names[i]) + strlen(a) + strlen(b) < 992)
        Hist_Append(user, number, names[i], a, b);
      if (a) TypedMem_Free(kStructsTagTemporary, a);
      if (b) TypedMem_Free(kStructsTagTemporary, b);
    }
  }
  Structs_FreeItemNames(names, n, kStructsTagTemporary);
}

}  // namespace

int Cfg_CheckLoggerRequired(const char* list, const char* name) {
  const std::string key = std::string(",") + (name ? name : "") + ",";
  if (list && strstr(list, key.c_str())) return 0;
  xml_SetErrorF("<%s> tag not found", name ? name : "");
  return -1;
}

int Cfg_ValidateLogger(const char* list, const char* name, const void* record) {
  if (!record) return -1;
  const Required need(list ? list : "");
  switch (Cfg_LoggerKind(name)) {
    case kLoggerStand: return ValidateStand(need, *static_cast<const StandardLogger*>(record));
    case kLoggerRepub: return ValidateRepub(need, *static_cast<const Republisher*>(record));
    case kLoggerResub: return ValidateResub(need, *static_cast<const Resubscriber*>(record));
    default: return 0;
  }
}

int Cfg_LoadLogger(const char* dir, const char* name, int number, void* record, uint32_t length) {
  if (!dir || !record) return plat::Fail(plat::kErrInvalidParameter), -1;
  if (!ValidName(name)) return -1;
  const LoggerKind kind = Cfg_LoggerKind(name);
  const std::string base = FileBase(dir, name, number);
  if (ReadXmlFor(dir, kind, base + ".xml")) return LoadLoggerXml(base + ".xml", name, number, kind, record, length);
  const int fd = ::open(base.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return plat::FailErrno(errno), -1;
  auto* p = static_cast<unsigned char*>(record);
  size_t done = 0;
  while (done < length) {
    const ssize_t n = ::read(fd, p + done, length - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return plat::FailErrno(errno), FailKeep(fd);
    if (n == 0) break;  // a shorter file is no failure
    done += static_cast<size_t>(n);
  }
  ::close(fd);
  return 0;
}

int Cfg_LoadLoggerInCwd(const char* name, int number, void* record, uint32_t length) {
  std::string cwd;
  if (!CurrentDir(&cwd)) return -1;
  return Cfg_LoadLogger(cwd.c_str(), name, number, record, length);
}

int Cfg_LoadLoggerByNumber(int number, void* record, uint32_t length) {
  const LoggerRecord* l = Drv_GetLogger(number);
  if (!l) {
    if (plat::GetLastError() == 0) plat::Fail(plat::kErrFileNotFound);
    return -1;
  }
  char name[sizeof l->name + 1] = {};
  memcpy(name, l->name, sizeof l->name);
  return Cfg_LoadLoggerInCwd(name, number, record, length);
}

namespace {

// Builds the logger's XML file; with save false nothing is written (the
// check a save makes before it replaces the binary file).
int WriteLoggerXml(const char* dir, const char* name, int number, const void* record, uint32_t length, bool save) {
  if (!dir || !record) return plat::Fail(plat::kErrInvalidParameter), -1;
  if (!ValidName(name)) return -1;
  const LoggerKind kind = Cfg_LoggerKind(name);
  const StructsType* type = Cfg_LoggerType(kind);
  if (!type) return plat::Fail(plat::kErrInvalidParameter), -1;
  std::vector<unsigned char> work(Cfg_LoggerSize(kind), 0);
  memcpy(work.data(), record, std::min<size_t>(length, work.size()));
  Cfg_DeriveLoggerFields(kind, work.data(), 0);

  XmlDocument* doc = xml_CreateDocument();
  xml_SetSource(Source(name, number).c_str());
  xml_SetContext("");
  XmlNode* root = CfgXml_NewFile(doc, "Loggers", Cfg_LoggerNamespace(name), Cfg_LoggerSchemaLocation(name));
  XmlNode* logger = root ? xml_OpenElement(doc, "Logger", root) : nullptr;
  if (logger) CfgXml_WriteItems(doc, logger, type, work.data(), false);
  xml_CloseElement(doc, logger);
  if (root && xml_GetError() >= 0 && save) {
    xml_Indent(doc, root, 0);
    xml_Save(doc, (FileBase(dir, name, number) + ".xml").c_str());
  }
  xml_FreeDocument(doc);
  if (xml_GetError() < 0) return xml_ReportError();
  return save ? Cfg_WriteLoggerSchema(dir, name, type) : 0;
}

}  // namespace

int Cfg_WriteLoggerXml(const char* dir, const char* /*user*/, const char* name, int number, const void* record,
                       uint32_t length) {
  return WriteLoggerXml(dir, name, number, record, length, true);
}


int Cfg_SaveLogger(const char* dir, const char* user, const char* name, int number, const void* record,
                   uint32_t length) {
  if (!dir || !record) return plat::Fail(plat::kErrInvalidParameter), -1;
  if (!ValidName(name)) return -1;
  const LoggerKind kind = Cfg_LoggerKind(name);
  const int write = XmlOpt_WriteXml(dir);
  const bool binary = kind == kLoggerUnknown || write == kWriteXmlBin || write == kWriteXmlBoth;
  const bool xml = kind != kLoggerUnknown && (write == kWriteXmlBoth || write == kWriteXmlOnly);
  // With the change history on, the stored record is read first; one that
  // cannot be read as XML stops the save before anything is written.
  const bool history = Hist_IsEnabled(dir);
  std::vector<unsigned char> before;
  if (history) {
    before.assign(std::max<size_t>(size_t{length}, Cfg_LoggerSize(kind)) * 2, 0);
    const uint32_t last = plat::GetLastError();
    if (Cfg_LoadLogger(dir, name, number, before.data(), static_cast<uint32_t>(before.size())) != 0) {
      if (plat::GetLastError() == plat::kErrXmlParse) return -1;
      before.clear();
      plat::SetLastError(last);
    }
  }
  // A record the XML file cannot hold stops the save before the binary file
  // is replaced.
  if (binary && xml && WriteLoggerXml(dir, name, number, record, length, false) != 0) return -1;
  if (binary && Cfg_WriteFileBytes(FileBase(dir, name, number).c_str(), 0, record, length) != 0) return -1;
  {
    // The change stamp is the "config" above the logger directory (the
    // root's), wherever the process works.
    const uint32_t last = plat::GetLastError();
    Hist_TouchConfig(dir);
    plat::SetLastError(last);
  }
  if (xml && Cfg_WriteLoggerXml(dir, user, name, number, record, length) != 0) return -1;
  if (history && !before.empty()) AppendHistory(user, dir, name, number, before, record, length);
  // Rewriting the root's "config" must not change the history switch that
  // its first byte holds for this process.
  TouchCwdConfig();
  Hist_SetEnabled(history);
  return 0;
}

int Cfg_SaveLoggerInCwd(const char* user, const char* name, int number, const void* record, uint32_t length) {
  std::string cwd;
  if (!CurrentDir(&cwd)) return -1;
  return Cfg_SaveLogger(cwd.c_str(), user, name, number, record, length);
}

int Cfg_SaveLoggerByNumber(const char* user, int number, const void* record, uint32_t length) {
  const LoggerRecord* l = Drv_GetLogger(number);
  if (!l) {
    if (plat::GetLastError() == 0) plat::Fail(plat::kErrFileNotFound);
    return -1;
  }
  char name[sizeof l->name + 1] = {};
  memcpy(name, l->name, sizeof l->name);
  return Cfg_SaveLoggerInCwd(user, name, number, record, length);
}
