#include "cdxlib/config/loggertypes.h"

#include <algorithm>
#include <cstring>
#include <strings.h>

#include "cdxlib/config/cipher.h"

namespace {

constexpr StructsType Id(const StructsIdEntry* table) { return Structs_IdType(table, 1); }

constinit const StructsType text15 = CfgType_FixedTextType(15);
constinit const StructsType text25 = CfgType_FixedTextType(25);
constinit const StructsType text33 = CfgType_FixedTextType(33);
constinit const StructsType text64 = CfgType_FixedTextType(64);
constinit const StructsType text101 = CfgType_FixedTextType(101);
constinit const StructsType text128 = CfgType_FixedTextType(128);
constinit const StructsType text130 = CfgType_FixedTextType(130);
constinit const StructsType text200 = CfgType_FixedTextType(200);
constinit const StructsType text256 = CfgType_FixedTextType(256);
constinit const StructsType text257 = CfgType_FixedTextType(257);
constinit const StructsType text260 = CfgType_FixedTextType(260);
constinit const StructsType text514 = CfgType_FixedTextType(514);
constinit const StructsType text1024 = CfgType_FixedTextType(1024);
constinit const StructsType text1100 = CfgType_FixedTextType(1100);
constinit const StructsType text2049 = CfgType_FixedTextType(2049);

constinit const StructsType storage = Id(structs_ids_store_kind);
constinit const StructsType log_mode = Id(structs_ids_log_mode);
constinit const StructsType start_mode = Id(structs_ids_append_create);
constinit const StructsType cycle = Id(structs_ids_export_when);
constinit const StructsType cycle_mode = Id(structs_ids_create_append);
constinit const StructsType export_type = Id(structs_ids_export_action);
constinit const StructsType header_type = Id(structs_ids_export_format);
constinit const StructsType time_base = Id(structs_ids_time_mode);
constinit const StructsType time_units = Id(structs_ids_time_unit);
constinit const StructsType date_format = Id(structs_ids_date_format);
constinit const StructsType skip_type = Id(structs_ids_export_filter);
constinit const StructsType connection = Id(structs_ids_server_kind);

#define B(Rec, m) STRUCTS_FIELD(Rec, m, #m, structs_type_boolean8_onoff)
#define N8(Rec, m) STRUCTS_FIELD(Rec, m, #m, structs_type_uint8)
#define N16(Rec, m) STRUCTS_FIELD(Rec, m, #m, structs_type_uint16)
#define N32(Rec, m) STRUCTS_FIELD(Rec, m, #m, structs_type_uint32)
#define T(Rec, m, type) STRUCTS_FIELD(Rec, m, #m, type)

constinit const StructsField range_fields[] = {T(LoggerRange, Prefix, cfg_type_fixedtext2), N16(LoggerRange, From),
                                               N16(LoggerRange, To), STRUCTS_FIELD_END};
constinit const StructsType range_type = Structs_StructureType(sizeof(LoggerRange), range_fields);
constinit const StructsField tags_fields[] = {N16(LoggerTags, From), N16(LoggerTags, To), STRUCTS_FIELD_END};
constinit const StructsType tags_type = Structs_StructureType(sizeof(LoggerTags), tags_fields);
constinit const StructsField ref_fields[] = {T(LoggerChannelRef, Prefix, cfg_type_fixedtext2),
                                             N16(LoggerChannelRef, Number), STRUCTS_FIELD_END};
constinit const StructsType ref_type = Structs_StructureType(sizeof(LoggerChannelRef), ref_fields);
constinit const StructsField log_channel_fields[] = {
    T(LoggerLogChannel, Source, text33), T(LoggerLogChannel, Range, range_type), T(LoggerLogChannel, Tags, tags_type),
    B(LoggerLogChannel, Average),        N16(LoggerLogChannel, Lag),            B(LoggerLogChannel, Recalc),
    STRUCTS_FIELD_END};
constinit const StructsType log_channel_type = Structs_StructureType(sizeof(LoggerLogChannel), log_channel_fields);
constinit const StructsField event_channel_fields[] = {T(LoggerEventChannel, Range, range_type),
                                                       T(LoggerEventChannel, Tags, tags_type), STRUCTS_FIELD_END};
constinit const StructsType event_channel_type =
    Structs_StructureType(sizeof(LoggerEventChannel), event_channel_fields);
constinit const StructsType log_channels =
    Structs_FixedArrayType(&log_channel_type, sizeof(LoggerLogChannel), kLoggerChannels, "LogChannel");
constinit const StructsType event_channels =
    Structs_FixedArrayType(&event_channel_type, sizeof(LoggerEventChannel), kLoggerChannels, "EventChannel");
constinit const StructsType filter_channels =
    Structs_FixedArrayType(&range_type, sizeof(LoggerRange), kLoggerChannels, "ChannelRange");
constinit const StructsType filter_names = Structs_FixedArrayType(&text33, 33, kLoggerChannels, "Source");

using S = StandardLogger;
constinit const StructsField stand_fields[] = {
    T(S, Name, text25), B(S, Autostart), T(S, Storage, storage), T(S, Type, log_mode), N32(S, PreEventLogs),
    N32(S, PeriodPreEventRate), N32(S, EventLogs), N32(S, EventRate), N32(S, PostEventLogs), N32(S, PostEventRate),
    T(S, StartMode, start_mode), T(S, StartTime, cfg_type_time), T(S, StopTime, cfg_type_time), B(S, Delete),
    T(S, DeleteOlderThan, cfg_type_period), T(S, Cycle, cycle), T(S, CycleEvery, cfg_type_period),
    T(S, CycleMode, cycle_mode), T(S, CycleLogFor, cfg_type_period), T(S, LogChannels, log_channels),
    T(S, EventChannels, event_channels), T(S, RofCTriggerChannel, ref_type), T(S, RofCTriggerTag, text15),
    T(S, RateofChangeType, storage), STRUCTS_FIELD(S, RateofChangeValue, "RateofChangeValue", structs_type_float),
    T(S, RateofChangeChannel, ref_type), T(S, RateofChangeTag, text15), T(S, RofCLaggedTriggerChannel, ref_type),
    T(S, RofCLaggedTriggerTag, text15), T(S, RofCRewindType, storage),
    STRUCTS_FIELD(S, RofCRewindValue, "RofCRewindValue", structs_type_float), T(S, RofCRewindChannel, ref_type),
    T(S, RofCRewindTag, text15), B(S, TextLogging), N32(S, BufferSize), N32(S, WritetoDiskRate), B(S, LogByTag),
    T(S, Directory, text260), T(S, Database, text1024), B(S, Replicate), T(S, ReplicationTarget, text1024),
    B(S, DropMerge), N32(S, DropMergeCylce), B(S, DiskSpaceChecking), N32(S, DiskSpaceThreshold),
    B(S, SaveConfigurationFile), B(S, MarkFilesReadOnly), B(S, DateAsTableSeqNo), T(S, NamePrefix, text200),
    B(S, ForceDeviceScanRates), B(S, WarnIfNoDeviceUpdates), B(S, AutoEnableDevices), B(S, DataExport),
    T(S, ExportType, export_type), T(S, ExportCommand, text1100), T(S, ExportParameters, text1100),
    T(S, ExportHeaderType, header_type), T(S, ExportTimeBaseType, time_base), T(S, ExportTimeBaseUnits, time_units),
    T(S, ExportDataLogsDateDisplay, date_format), T(S, ExportFileOptions, time_units),
    T(S, ExportFileName, text256), T(S, ExportHeaderText, text2049), B(S, ExportSplitFiles),
    N32(S, ExportSkipFrequency), T(S, ExportDateFormat, date_format), N8(S, ExportValueWidth),
    N8(S, ExportValuePrecision), T(S, ExportEOLString, cfg_type_eol), T(S, ExportSepString, cfg_type_sep),
    B(S, ExportDataLogs), B(S, ExportStatistics), B(S, ExportTextLogs), B(S, ExportTextNewLine),
    B(S, ExportColumnHeaders), B(S, ExportColumnHeaderAsTags), B(S, ExportLoggerInfo), B(S, ExportChannelHeaderTags),
    B(S, ExportDateTimeColumns), T(S, ExportDateSkipType, skip_type), B(S, ExportMsCol),
    B(S, ExportTextHeaderWorksheet), B(S, ExportUseExcelTemplate), T(S, ExportTemplateName, text260),
    T(S, ExportHeaderDateFormat, date_format), T(S, ExportTextLogsDateDisplay, date_format), B(S, ExportHeaderUnits),
    B(S, UseEmail), T(S, EmailAddresses, text128), T(S, EmailMAPIProfile, text64), T(S, EmailNTUser, text64),
    T(S, EmailNTDomain, text64), T(S, EmailSubject, text256), T(S, EmailText, text2049),
    T(S, EmailSMTPSender, text128), T(S, EmailSMTPSenderBox, text128), T(S, EmailSMTPHost, text128),
    T(S, EmailSMTPLogin, text128), N16(S, EmailSMTPPort), B(S, EmailSMTPEncryption), B(S, EmailUseMAPI),
    B(S, EmailLogOnAs), B(S, EmailUseSMTPLogin), B(S, EmailSendFile), B(S, EmailAttachFile), B(S, EmailZipFile),
    B(S, EmailDeleteFile), T(S, EmailMAPIPassword, text514), T(S, EmailNTPassword, text514),
    T(S, EmailSMTPPassword, text514), STRUCTS_FIELD_END};

using P = Republisher;
constinit const StructsField repub_fields[] = {
    T(P, Name, text25), T(P, SourceLogger, text25), T(P, SourceStorage, storage), T(P, SourceDirectory, text260),
    B(P, SourceLogin), T(P, SourceLoginUserName, text257), T(P, SourceLoginPassword, cfg_type_password),
    T(P, SourceDatabase, text1024), T(P, SourcePrefix, text200), T(P, DestinationConnectionType, connection),
    T(P, DestinationServer, cfg_type_server), T(P, DestinationStorage, storage), T(P, DestinationDirectory, text260),
    B(P, DestinationLogin), T(P, DestinationLoginUserName, text257),
    T(P, DestinationLoginPassword, cfg_type_password), T(P, DestinationDatabase, text1024),
    T(P, DestinationPrefix, text200), B(P, DestinationMarkFilesReadOnly), B(P, DestinationUpdatesToTextLogs),
    B(P, Autostart), N32(P, UpdateRate), T(P, StartTime, cfg_type_time), T(P, StopTime, cfg_type_time),
    T(P, Cycle, cycle), T(P, CycleEvery, cfg_type_period), T(P, CyclePublishFor, cfg_type_period),
    B(P, DeleteSource), T(P, DeleteSourceOlderThan, cfg_type_period), B(P, DeleteDestination),
    T(P, DeleteDestinationOlderThan, cfg_type_period), B(P, RenameAllocatedSubscription),
    T(P, RenameLoggerName, text25), N32(P, BufferSize), T(P, NetworkConnection, text101), B(P, ThrottleBandwidth),
    N32(P, BandwidthThrottleKbs), B(P, ChannelFilter), T(P, FilterChannels, filter_channels),
    T(P, FilterChannelsName, filter_names), STRUCTS_FIELD_END};

using R = Resubscriber;
constinit const StructsField resub_fields[] = {
    T(R, Name, text130), B(R, Autostart), B(R, ExpiryTimeEnable), T(R, ExpiryTime, cfg_type_time),
    B(R, OverrideDestination), T(R, DestinationDirectory, text260), B(R, DatabaseDestinationUse),
    T(R, DatabaseDestination, text1024), B(R, GenerateAlarmOnChannelAlarm), N8(R, PriorityAlarmOnChannelAlarm),
    B(R, CommonAlarmOnChannelAlarm), N16(R, DelayAlarmOnChannelAlarm), B(R, GenerateAlarmOnChannelError),
    N8(R, PriorityAlarmOnChannelError), B(R, CommonAlarmOnChannelError), N16(R, DelayAlarmOnChannelError),
    B(R, GenerateAlarmOnCommTimeout), N8(R, PriorityAlarmOnCommTimeout), B(R, CommonAlarmOnCommTimeout),
    N16(R, DelayAlarmOnCommTimeout), B(R, DestinationCanUpdateText), B(R, DestinationCanUpdateChannels),
    B(R, DestinationCanAckAlarms), B(R, ArchiveEnable), T(R, ArchiveDepthType, time_units), N32(R, ArchiveDepth),
    STRUCTS_FIELD_END};

#undef B
#undef N8
#undef N16
#undef N32
#undef T

// The export file type stored for an export file name.
uint8_t ExportFileType(const char* name, size_t size) {
  const size_t n = strnlen(name, size);
  if (n <= 4) return 1;
  const char* ext = name + n - 4;
  if (strncasecmp(ext, ".csv", 4) == 0) return 0;
  if (strncasecmp(ext, ".dif", 4) == 0) return 2;
  if (strncasecmp(ext, ".txt", 4) == 0) return 4;
  return 1;  // ".xls" and anything else
}

void PasswordToStored(const char* hex, size_t size, LoggerStoredPassword* out) {
  const size_t digits = strnlen(hex, size);
  const size_t count = std::min<size_t>(digits / 2, sizeof out->Bytes);
  memset(out, 0, sizeof *out);
  out->Count = static_cast<uint16_t>(Hex_Decode(out->Bytes, hex, count));
}

void PasswordFromStored(const LoggerStoredPassword& in, char* hex, size_t size) {
  memset(hex, 0, size);
  const size_t count = std::min<size_t>({in.Count, sizeof in.Bytes, (size - 1) / 2});
  Hex_Encode(hex, in.Bytes, count);
}

}  // namespace

constinit const StructsType cfg_type_logger_stand = Structs_StructureType(sizeof(StandardLogger), stand_fields);
constinit const StructsType cfg_type_logger_repub = Structs_StructureType(sizeof(Republisher), repub_fields);
constinit const StructsType cfg_type_logger_resub = Structs_StructureType(sizeof(Resubscriber), resub_fields);

LoggerKind Cfg_LoggerKind(const char* name) {
  if (!name) return kLoggerUnknown;
  if (strncasecmp(name, "stand", 5) == 0) return kLoggerStand;
  if (strncasecmp(name, "repub", 5) == 0) return kLoggerRepub;
  if (strncasecmp(name, "resub", 5) == 0) return kLoggerResub;
  return kLoggerUnknown;
}

const StructsType* Cfg_LoggerType(LoggerKind kind) {
  switch (kind) {
    case kLoggerStand: return &cfg_type_logger_stand;
    case kLoggerRepub: return &cfg_type_logger_repub;
    case kLoggerResub: return &cfg_type_logger_resub;
    default: return nullptr;
  }
}

uint32_t Cfg_LoggerSize(LoggerKind kind) {
  switch (kind) {
    case kLoggerStand: return kLoggerStandSize;
    case kLoggerRepub: return kLoggerRepubSize;
    case kLoggerResub: return kLoggerResubSize;
    default: return 0;
  }
}

int Cfg_PeriodChoice(const CfgTime& p) {
  const long minutes = long{p.Month} * 44640 + long{p.Day} * 1440 + long{p.Hour} * 60 + long{p.Minute};
  static const long kChoices[] = {30, 60, 120, 240, 480, 720, 1440, 10080, 20160, 44640, 89280, 133920};
  for (int i = 0; i < 12; ++i)
    if (minutes == kChoices[i]) return i + 1;
  return 0;
}

void Cfg_SetLoggerPeriodChoices(Republisher* r) {
  r->DeleteSourceOlderThanChoice = static_cast<uint8_t>(Cfg_PeriodChoice(r->DeleteSourceOlderThan));
  r->DeleteDestinationOlderThanChoice = static_cast<uint8_t>(Cfg_PeriodChoice(r->DeleteDestinationOlderThan));
  r->CyclePublishForChoice = static_cast<uint8_t>(Cfg_PeriodChoice(r->CyclePublishFor));
  r->CycleEveryChoice = static_cast<uint8_t>(Cfg_PeriodChoice(r->CycleEvery));
}

void Cfg_DeriveLoggerFields(LoggerKind kind, void* record, int toStored) {
  if (kind != kLoggerStand || !record) return;
  auto* s = static_cast<StandardLogger*>(record);
  uint8_t* flags[8] = {&s->ExportDataLogs,      &s->ExportStatistics,         &s->ExportTextLogs,
                       &s->ExportTextNewLine,   &s->ExportColumnHeaders,      &s->ExportColumnHeaderAsTags,
                       &s->ExportLoggerInfo,    &s->ExportChannelHeaderTags};
  struct {
    char* hex;
    size_t size;
    LoggerStoredPassword* stored;
  } passwords[3] = {{s->EmailMAPIPassword, sizeof s->EmailMAPIPassword, &s->StoredEmailMAPIPassword},
                    {s->EmailNTPassword, sizeof s->EmailNTPassword, &s->StoredEmailNTPassword},
                    {s->EmailSMTPPassword, sizeof s->EmailSMTPPassword, &s->StoredEmailSMTPPassword}};
  if (toStored) {
    s->StoredExportFlags = 0;
    for (int b = 0; b < 8; ++b)
      if (*flags[b]) s->StoredExportFlags |= static_cast<uint8_t>(1u << b);
    s->StoredExportFileType = ExportFileType(s->ExportFileName, sizeof s->ExportFileName);
    for (auto& p : passwords) PasswordToStored(p.hex, p.size, p.stored);
    for (int i = 0; i < kLoggerChannels; ++i) {
      const LoggerLogChannel& c = s->LogChannels[i];
      memcpy(s->StoredLogSources[i], c.Source, sizeof c.Source);
      s->StoredLogRanges[i] = c.Range;
      s->StoredLogTags[i] = c.Tags;
      s->StoredLogAverage[i] = c.Average;
      s->StoredLogLag[i] = c.Lag;
      s->StoredLogRecalc[i] = c.Recalc;
      s->StoredEventRanges[i] = s->EventChannels[i].Range;
      s->StoredEventTags[i] = s->EventChannels[i].Tags;
    }
    return;
  }
  for (int b = 0; b < 8; ++b) *flags[b] = (s->StoredExportFlags >> b) & 1u;
  for (auto& p : passwords) PasswordFromStored(*p.stored, p.hex, p.size);
  for (int i = 0; i < kLoggerChannels; ++i) {
    LoggerLogChannel& c = s->LogChannels[i];
    memcpy(c.Source, s->StoredLogSources[i], sizeof c.Source);
    c.Range = s->StoredLogRanges[i];
    c.Tags = s->StoredLogTags[i];
    c.Average = s->StoredLogAverage[i];
    c.Lag = s->StoredLogLag[i];
    c.Recalc = s->StoredLogRecalc[i];
    s->EventChannels[i].Range = s->StoredEventRanges[i];
    s->EventChannels[i].Tags = s->StoredEventTags[i];
  }
}
