// The logger configuration records and their structure types.
//
// Three logger types exist, told apart by the first five characters of the
// logger's name (letter case aside): "stand" (standard logger, 32220
// bytes), "repub" (republisher, 8040 bytes) and "resub" (resubscriber, 1480
// bytes). Each record is a fixed little-endian byte layout; the structure
// type of each lists its XML-facing items, whose names are the elements of
// the logger's XML file ("LogChannels.3.Range.Prefix").
//
// Some content is kept twice. The standard record's XML-facing items (the
// LogChannels and EventChannels arrays, the eight export booleans from
// ExportDataLogs to ExportChannelHeaderTags, the three e-mail passwords as
// hex text) have a stored form beside them that the logger program reads:
// the channel entries in separate tables, the export booleans packed into
// one byte (ExportDataLogs bit 0 .. ExportChannelHeaderTags bit 7), the
// passwords as a byte count and the bytes. The republisher keeps four
// period choices derived from its periods. The stored fields are not items:
// they are filled from the items after an XML file is read, and the items
// from them before one is written (Cfg_DeriveLoggerFields).
#pragma once
#include <cstddef>
#include <cstdint>

#include "base/structs/structs.h"
#include "cdxlib/config/cfgtypes.h"

constexpr uint32_t kLoggerStandSize = 32220;
constexpr uint32_t kLoggerRepubSize = 8040;
constexpr uint32_t kLoggerResubSize = 1480;
constexpr int kLoggerChannels = 64;

enum LoggerKind : int { kLoggerUnknown = 0, kLoggerStand = 1, kLoggerRepub = 2, kLoggerResub = 3 };

#pragma pack(push, 1)
// A channel range: a group prefix and channel numbers.
struct LoggerRange {
  char Prefix[2];
  uint16_t From;
  uint16_t To;
};
struct LoggerTags {
  uint16_t From;
  uint16_t To;
};
// One channel: a group prefix and a number.
struct LoggerChannelRef {
  char Prefix[2];
  uint16_t Number;
};
struct LoggerLogChannel {
  char Source[33];
  LoggerRange Range;
  LoggerTags Tags;
  uint8_t Average;
  uint16_t Lag;
  uint8_t Recalc;
};
struct LoggerEventChannel {
  LoggerRange Range;
  LoggerTags Tags;
};
// A stored password: a byte count and the bytes.
struct LoggerStoredPassword {
  uint16_t Count;
  uint8_t Bytes[256];
};

struct StandardLogger {
  char Name[25];
  uint8_t Autostart;
  uint8_t Storage;  // FILE, DATABASE
  uint8_t Type;     // PERIOD, PERIOD-EVENT, EVENT, RATE OF CHANGE
  uint32_t PreEventLogs;
  uint32_t PeriodPreEventRate;
  uint32_t EventLogs;
  uint32_t EventRate;
  uint32_t PostEventLogs;
  uint32_t PostEventRate;
  uint8_t StartMode;  // APPEND, CREATE
  CfgTime StartTime;
  CfgTime StopTime;
  uint8_t Delete;
  CfgTime DeleteOlderThan;
  uint8_t Cycle;  // NONE, ON TIME, ON EVENT
  CfgTime CycleEvery;
  uint8_t CycleMode;  // CREATE, APPEND
  CfgTime CycleLogFor;
  LoggerLogChannel LogChannels[kLoggerChannels];
  LoggerEventChannel EventChannels[kLoggerChannels];
  LoggerChannelRef RofCTriggerChannel;
  char RofCTriggerTag[15];
  uint8_t RateofChangeType;  // FILE, DATABASE
  float RateofChangeValue;
  LoggerChannelRef RateofChangeChannel;
  char RateofChangeTag[15];
  LoggerChannelRef RofCLaggedTriggerChannel;
  char RofCLaggedTriggerTag[15];
  uint8_t RofCRewindType;  // FILE, DATABASE
  float RofCRewindValue;
  LoggerChannelRef RofCRewindChannel;
  char RofCRewindTag[15];
  uint8_t TextLogging;
  uint32_t BufferSize;
  uint32_t WritetoDiskRate;
  uint8_t LogByTag;
  char Directory[260];
  char Database[1024];
  uint8_t Replicate;
  char ReplicationTarget[1024];
  uint8_t DropMerge;
  uint32_t DropMergeCylce;
  uint8_t DiskSpaceChecking;
  uint32_t DiskSpaceThreshold;
  uint8_t SaveConfigurationFile;
  uint8_t MarkFilesReadOnly;
  uint8_t DateAsTableSeqNo;
  char NamePrefix[200];
  uint8_t ForceDeviceScanRates;
  uint8_t WarnIfNoDeviceUpdates;
  uint8_t AutoEnableDevices;
  uint8_t DataExport;
  uint8_t ExportType;  // RUN COMMAND, DATA EXPORT
  char ExportCommand[1100];
  char ExportParameters[1100];
  uint8_t ExportHeaderType;     // NONE, TEXT FILE, USER DEFINED
  uint8_t ExportTimeBaseType;   // ELAPSED, DIFFERENTIAL, ABSOLUTE
  uint8_t ExportTimeBaseUnits;  // SECONDS, MINUTES, HOURS
  uint8_t ExportDataLogsDateDisplay;  // date format
  uint8_t ExportFileOptions;          // time base units
  char ExportFileName[256];
  char ExportHeaderText[2049];
  uint8_t ExportSplitFiles;
  uint32_t ExportSkipFrequency;
  uint8_t ExportDateFormat;
  uint8_t ExportValueWidth;
  uint8_t ExportValuePrecision;
  char ExportEOLString[3];
  char ExportSepString[3];
  uint8_t ExportDataLogs;
  uint8_t ExportStatistics;
  uint8_t ExportTextLogs;
  uint8_t ExportTextNewLine;
  uint8_t ExportColumnHeaders;
  uint8_t ExportColumnHeaderAsTags;
  uint8_t ExportLoggerInfo;
  uint8_t ExportChannelHeaderTags;
  uint8_t ExportDateTimeColumns;
  uint8_t ExportDateSkipType;  // EXPORT ALL, SKIP EVERY, ...
  uint8_t ExportMsCol;
  uint8_t ExportTextHeaderWorksheet;
  uint8_t ExportUseExcelTemplate;
  char ExportTemplateName[260];
  uint8_t ExportHeaderDateFormat;
  uint8_t ExportTextLogsDateDisplay;
  uint8_t ExportHeaderUnits;
  uint8_t UseEmail;
  char EmailAddresses[128];
  char EmailMAPIProfile[64];
  char EmailNTUser[64];
  char EmailNTDomain[64];
  char EmailSubject[256];
  char EmailText[2049];
  char EmailSMTPSender[128];
  char EmailSMTPSenderBox[128];
  char EmailSMTPHost[128];
  char EmailSMTPLogin[128];
  uint16_t EmailSMTPPort;
  uint8_t EmailSMTPEncryption;
  uint8_t EmailUseMAPI;
  uint8_t EmailLogOnAs;
  uint8_t EmailUseSMTPLogin;
  uint8_t EmailSendFile;
  uint8_t EmailAttachFile;
  uint8_t EmailZipFile;
  uint8_t EmailDeleteFile;
  char EmailMAPIPassword[514];  // hex text of the stored password bytes
  char EmailNTPassword[514];
  char EmailSMTPPassword[514];
  // The stored form (not items).
  uint8_t StoredExportFlags;  // ExportDataLogs bit 0 .. ExportChannelHeaderTags bit 7
  uint8_t StoredExportFileType;  // from the extension of ExportFileName
  LoggerStoredPassword StoredEmailMAPIPassword;
  LoggerStoredPassword StoredEmailNTPassword;
  LoggerStoredPassword StoredEmailSMTPPassword;
  char StoredLogSources[kLoggerChannels][33];
  LoggerRange StoredLogRanges[kLoggerChannels];
  LoggerTags StoredLogTags[kLoggerChannels];
  uint8_t StoredLogAverage[kLoggerChannels];
  uint16_t StoredLogLag[kLoggerChannels];
  uint8_t StoredLogRecalc[kLoggerChannels];
  LoggerRange StoredEventRanges[kLoggerChannels];
  LoggerTags StoredEventTags[kLoggerChannels];
  uint8_t Reserved[32220 - 20271];
};

struct Republisher {
  char Name[25];
  char SourceLogger[25];
  uint8_t SourceStorage;  // FILE, DATABASE
  char SourceDirectory[260];
  uint8_t SourceLogin;
  char SourceLoginUserName[257];
  char SourceLoginPassword[257];  // "password"
  char SourceDatabase[1024];
  char SourcePrefix[200];
  uint8_t DestinationConnectionType;  // WebService, Directory
  char DestinationServer[1284];       // "server"
  uint8_t DestinationStorage;
  char DestinationDirectory[260];
  uint8_t DestinationLogin;
  char DestinationLoginUserName[257];
  char DestinationLoginPassword[257];
  char DestinationDatabase[1024];
  char DestinationPrefix[200];
  uint8_t DestinationMarkFilesReadOnly;
  uint8_t DestinationUpdatesToTextLogs;
  uint8_t Autostart;
  uint32_t UpdateRate;
  CfgTime StartTime;
  CfgTime StopTime;
  uint8_t Cycle;
  CfgTime CycleEvery;
  CfgTime CyclePublishFor;
  uint8_t DeleteSource;
  CfgTime DeleteSourceOlderThan;
  uint8_t DeleteDestination;
  CfgTime DeleteDestinationOlderThan;
  uint8_t RenameAllocatedSubscription;
  char RenameLoggerName[25];
  uint32_t BufferSize;
  char NetworkConnection[101];
  uint8_t ThrottleBandwidth;
  uint32_t BandwidthThrottleKbs;
  uint8_t ChannelFilter;
  LoggerRange FilterChannels[kLoggerChannels];
  char FilterChannelsName[kLoggerChannels][33];
  // Derived (not items): the period choices (Cfg_PeriodChoice).
  uint8_t DeleteSourceOlderThanChoice;
  uint8_t DeleteDestinationOlderThanChoice;
  uint8_t CyclePublishForChoice;
  uint8_t CycleEveryChoice;
  uint8_t Reserved[8040 - 8018];
};

struct Resubscriber {
  char Name[130];
  uint8_t Autostart;
  uint8_t ExpiryTimeEnable;
  CfgTime ExpiryTime;
  uint8_t OverrideDestination;
  char DestinationDirectory[260];
  uint8_t DatabaseDestinationUse;
  char DatabaseDestination[1024];
  uint8_t GenerateAlarmOnChannelAlarm;
  uint8_t PriorityAlarmOnChannelAlarm;
  uint8_t CommonAlarmOnChannelAlarm;
  uint16_t DelayAlarmOnChannelAlarm;
  uint8_t GenerateAlarmOnChannelError;
  uint8_t PriorityAlarmOnChannelError;
  uint8_t CommonAlarmOnChannelError;
  uint16_t DelayAlarmOnChannelError;
  uint8_t GenerateAlarmOnCommTimeout;
  uint8_t PriorityAlarmOnCommTimeout;
  uint8_t CommonAlarmOnCommTimeout;
  uint16_t DelayAlarmOnCommTimeout;
  uint8_t DestinationCanUpdateText;
  uint8_t DestinationCanUpdateChannels;
  uint8_t DestinationCanAckAlarms;
  uint8_t ArchiveEnable;
  uint8_t ArchiveDepthType;  // SECONDS, MINUTES, HOURS
  uint32_t ArchiveDepth;
  uint8_t Reserved[1480 - 1448];
};
#pragma pack(pop)

static_assert(sizeof(StandardLogger) == kLoggerStandSize);
static_assert(sizeof(Republisher) == kLoggerRepubSize);
static_assert(sizeof(Resubscriber) == kLoggerResubSize);
static_assert(offsetof(StandardLogger, Name) == 0);
static_assert(offsetof(Republisher, Name) == 0);
static_assert(offsetof(Resubscriber, Name) == 0);

extern const StructsType cfg_type_logger_stand;
extern const StructsType cfg_type_logger_repub;
extern const StructsType cfg_type_logger_resub;

// The kind of a logger from its name's first five characters.
LoggerKind Cfg_LoggerKind(const char* name);
// Its structure type and record size (null and 0 for an unknown kind).
const StructsType* Cfg_LoggerType(LoggerKind kind);
uint32_t Cfg_LoggerSize(LoggerKind kind);

// The choice of a period (month x 44640 + day x 1440 + hour x 60 + minute
// minutes): 30 -> 1, 60 -> 2, 120 -> 3, 240 -> 4, 480 -> 5, 720 -> 6,
// 1440 -> 7, 10080 -> 8, 20160 -> 9, 44640 -> 10, 89280 -> 11,
// 133920 -> 12, anything else 0.
int Cfg_PeriodChoice(const CfgTime& period);
// The republisher's four choices from its periods.
void Cfg_SetLoggerPeriodChoices(Republisher* record);
// toStored 1: the stored form from the XML-facing items (after reading
// XML); 0: the items from the stored form (before writing or comparing).
// Standard loggers only; other kinds are left alone.
void Cfg_DeriveLoggerFields(LoggerKind kind, void* record, int toStored);
