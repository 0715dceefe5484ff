// Driver tables and module sets.
//
// The central server publishes three system-wide tables as data modules:
// the driver and processor programs ("dm_datproc"), the devices
// ("dm_device") and the loggers ("dm_loggers"). Every driver (and every
// device path) owns a module set named after a two-letter prefix XX:
//   "dm_XX"        values: a 20-byte header, then one u32 status-and-value
//                  word per channel (analog modules go on with N f32 values
//                  and N value records of 264 bytes);
//   "dm_XX_conf"   the channels' ChannelConfig records (216 bytes each);
//   "dm_XX_event"  bit rows: row 0 the event channels, row 1 + i the
//                  channels that trigger logger i + 1.
//
// This module reads those tables (the central server writes them; the only
// fields written here are the started flag, the pid and the configured flag
// of a DriverRecord while starting it, and the record order in
// Drv_MoveDriverLast), finds and opens the module sets through a
// process-wide cache, and tells a module's kind and owner. Starting a
// driver program from its record is client/driverstart.h.
//
// All record layouts below are shared with peers outside this package: the
// offsets are binding and checked by static_assert. "data" is a module's
// data area, 128 bytes after its start.
//
// Threads: the views and the cache are process-wide and unguarded; a process
// opens them from one thread (start-up).
#pragma once
#include <cstddef>
#include <cstdint>

#include "cdxlib/records/devicerecord.h"
#include "cdxlib/sys/numformat.h"  // Str_UpperN
#include "cdxlib/sys/timestamp.h"

struct DataModuleHeader;

// ---------------------------------------------------------------------------
// "dm_datproc": data = i32 count, then count DriverRecord entries.
struct DriverRecord {
  char programName[9];   // 0: up to 8 characters; also its directory's name
  char printName[25];    // 9: the name it registers in the system error list
  char prefix[2];        // 34: module prefix, two letters, no NUL
  uint8_t type;          // 36: the prefix's module kind is type + 1
  uint8_t configured;    // 37: non-zero: enabled, may be started
  uint8_t reserved38;    // 38
  uint8_t valueRecords;  // 39: analog writes also fill the value records
  int32_t pid;           // 40: the running program, 0 when none
  int32_t started;       // 44: set non-zero by the program once it is up
  uint8_t reserved48[12];  // 48
};
static_assert(sizeof(DriverRecord) == 60);
static_assert(offsetof(DriverRecord, printName) == 9);
static_assert(offsetof(DriverRecord, prefix) == 34);
static_assert(offsetof(DriverRecord, type) == 36);
static_assert(offsetof(DriverRecord, configured) == 37);
static_assert(offsetof(DriverRecord, valueRecords) == 39);
static_assert(offsetof(DriverRecord, pid) == 40);
static_assert(offsetof(DriverRecord, started) == 44);
static_assert(offsetof(DriverRecord, reserved48) == 48);

// ---------------------------------------------------------------------------
// "dm_loggers": data = u32 count, then count LoggerRecord entries, then count
// LoggerExtension entries (so the data area holds at least 4 + 1700 x count
// bytes).
//
// Only the enabled flag (9), the pid (12) and the name (from 37) are placed by
// the shared format. The logger's type text is needed to form its channel
// names (Chan_ShortName); its place is not fixed by the format, and this
// package keeps it in the first 9 bytes, where the central server stand-in
// (cdxsim) writes it. The logger's activity number and its real-time log
// number, which the logger status channels show, are likewise this
// package's placement (i32 at 16 and 20). Every other byte is the central
// server's business and left as reserved bytes, zero in the tables that
// cdxsim makes.
struct LoggerRecord {
  char typeText[9];        // 0: e.g. "stand", "repub", "resub" (this package's placement)
  uint8_t enabled;         // 9: only enabled loggers receive trigger signals
  uint8_t reserved10[2];   // 10
  int32_t pid;             // 12: the logger process
  int32_t activity;        // 16: 0 not started .. 5 logging (this package's placement)
  int32_t realTimeLog;     // 20: number of the log being written (this package's placement)
  uint8_t reserved24[13];  // 24
  char name[135];          // 37: NUL-terminated, matched case-blind
};
static_assert(sizeof(LoggerRecord) == 172);
static_assert(offsetof(LoggerRecord, enabled) == 9);
static_assert(offsetof(LoggerRecord, pid) == 12);
static_assert(offsetof(LoggerRecord, activity) == 16);
static_assert(offsetof(LoggerRecord, realTimeLog) == 20);
static_assert(offsetof(LoggerRecord, name) == 37);

// The extension entry of a logger: a location and a name that the in-process
// log source reads; the rest is the central server's.
struct LoggerExtension {
  char location[260];  // 0
  char name[260];      // 260
  uint8_t reserved520[1008];
};
static_assert(sizeof(LoggerExtension) == 1528);
static_assert(offsetof(LoggerExtension, name) == 260);

// ---------------------------------------------------------------------------
// "dm_device": data = i32 count, then count DeviceRecord entries (788 bytes,
// cdxlib/records/devicerecord.h), then count two-character prefixes: each device's
// sixth (diagnostics) module.
constexpr int kDrvPathCount = 5;  // ai, di, ao, do, ci

// ---------------------------------------------------------------------------
// Values module "dm_" + XX: the header at the start of its data area.
struct DriverValuesHeader {
  char prefix[2];         // 0
  uint16_t valueKind;     // 2: bytes per channel of the value area: 8 (word + f32) or 4
  uint16_t channelCount;  // 4: N
  int16_t errorCode;      // 6: written by a scanner
  int32_t lastScanMs;     // 8: written by a scanner
  TimeStamp stamp;        // 12: the owner's (config stamp; status-text change time)
};
static_assert(sizeof(DriverValuesHeader) == 20);
static_assert(offsetof(DriverValuesHeader, valueKind) == 2);
static_assert(offsetof(DriverValuesHeader, channelCount) == 4);
static_assert(offsetof(DriverValuesHeader, errorCode) == 6);
static_assert(offsetof(DriverValuesHeader, lastScanMs) == 8);
static_assert(offsetof(DriverValuesHeader, stamp) == 12);

constexpr uint32_t kDmDataOffset = 128;        // data area within a module
constexpr uint32_t kDrvValueWordsOffset = 20;  // first channel word within the data
constexpr uint32_t kDrvValueRecordSize = 264;  // analog value record
constexpr uint32_t kDrvChannelConfigSize = 216;
constexpr uint32_t kDrvLoggerDataPerEntry = 172 + 1528;

// Data size of a values module for n channels: the header, one word per
// channel, and for value kind 8 one f32 per channel; with records, one
// 264-byte value record per channel behind them.
constexpr uint32_t Drv_ValuesDataSize(uint32_t channels, uint32_t valueKind, bool records) {
  return kDrvValueWordsOffset + valueKind * channels + (records ? channels * kDrvValueRecordSize : 0);
}

// ---------------------------------------------------------------------------
// System tables. Each opens its module once per process: 0 when open (now or
// before), -1 while the module does not exist (a later call tries again).
int Drv_OpenDriverTable();
int Drv_OpenDeviceTable();
int Drv_OpenLoggerTable();

// The tables' views (null while not open); the data area is view + 128.
DataModuleHeader* Drv_DriverTable();
DataModuleHeader* Drv_DeviceTable();
DataModuleHeader* Drv_LoggerTable();

// Number of records of each table that lie wholly inside its module (the
// stored count, limited by the data size); 0 when the table is not open.
int Drv_DriverCount();
int Drv_DeviceCount();
int Drv_LoggerCount();

// Record i (0-based) of "dm_datproc" / "dm_device", or null.
DriverRecord* Drv_DriverAt(int i);
DeviceRecord* Drv_DeviceAt(int i);
// The sixth (diagnostics) prefix of device i (2 bytes, no NUL), or null when
// the table has no room for it.
const char* Drv_DeviceDiagPrefix(int i);

// The driver record of a program: the name is cut to 8 characters and
// upper-cased; first the first record whose program name equals it
// (case-blind), then the first that agrees on 5 characters. Null when the
// table cannot be opened, is empty or has no such record.
DriverRecord* Drv_FindDriver(const char* name);

// Logger n (1-based), or null for 0 or above the count.
LoggerRecord* Drv_GetLogger(int n);
// 1-based number of the first logger of that name (case-blind); 0 with
// errno 0 when there is none or the table cannot be opened.
int Drv_FindLogger(const char* name);
// The extension entry of logger n (1-based), or null.
LoggerExtension* Drv_GetLoggerExtension(int n);

// ---------------------------------------------------------------------------
// Module sets.

// Index of the prefix's module-cache entry, or -1 (empty prefix, unknown
// prefix, values module that does not open, cache not allocated). Entries
// 0 .. D-1 are the "dm_datproc" records, D + 6i + k (k = 0..4) device i's
// path modules, D + 6i + 5 its sixth module; the first match wins.
int Drv_CacheIndex(const char* prefix);

// The views of "dm_" + XX, "dm_" + XX + "_conf", "dm_" + XX + "_event" (XX =
// the prefix's first two characters, upper-cased), or null.
DataModuleHeader* Drv_OpenDataModule(const char* prefix);
DataModuleHeader* Drv_OpenConfModule(const char* prefix);
DataModuleHeader* Drv_OpenEventModule(const char* prefix);
// Data area of the values / configuration module, or null.
uint8_t* Drv_GetData(const char* prefix);
uint8_t* Drv_GetConfData(const char* prefix);
// Data area + 20 of the values module (channel 1's word), or null.
uint32_t* Drv_GetValueWords(const char* prefix);

// -1 when the values module cannot be opened; 1 without a cache entry; for a
// "dm_datproc" prefix 1 when the program name begins with "modb", else
// type + 1; for a device: 1 for its sixth module, 0 for its path modules.
int Drv_GetKind(const char* prefix);
// Pid of the module's owner; 0 without a cache entry; -1 when the values
// module cannot be opened.
int32_t Drv_GetOwnerPid(const char* prefix);
// The owner's print name or scanner process name; "" without a cache entry;
// null when the values module cannot be opened.
const char* Drv_GetOwnerName(const char* prefix);
// The value-record flag of a "dm_datproc" prefix; 0 for device modules and
// prefixes without a record; -1 when the values module cannot be opened.
int Drv_UsesValueRecords(const char* prefix);

// Moves the named record (found as Drv_FindDriver finds it) to the end of
// "dm_datproc", the records behind it one place forward, and its cache entry
// with it; under the table's module lock. 0, also when the name is not found.
int Drv_MoveDriverLast(const char* name);

// ---------------------------------------------------------------------------
// Event-module bits. Rows are (channel count / 8) bytes, rounded down as the
// peers do, so the last channels of a count that is not a multiple of 8 fall
// into the next row's first byte. Every access is checked against the
// module's data size: bits outside it read as 0 and are not written.
constexpr int Drv_EventRowLength(int channelCount) { return channelCount / 8; }
// Bit n (0-based channel) of row `row`: 0 or 1; 0 outside the module.
int Drv_EventBitTest(DataModuleHeader* eventModule, int rowLength, int row, int n);
// Sets or clears it; -1 with 67 outside the module.
int Drv_EventBitSet(DataModuleHeader* eventModule, int rowLength, int row, int n, bool on);

// Bit n of a byte array, numbered from the top of each byte:
// bit (0x80 >> (n mod 8)) of byte n / 8.
void Bit_Set(uint8_t* bytes, int n);
void Bit_Clear(uint8_t* bytes, int n);
int Bit_Test(const uint8_t* bytes, int n);

// Forgets the process-wide views' cache (tests that rebuild tables).
void Drv_ResetProcessState();
