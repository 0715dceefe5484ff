// The binary log file (".odl") and the records every log store shares.
//
// One run of one logger is one file: a 900-byte header, the channel
// configuration of every logged channel in blocks framed by 0x8002 and
// 0x8003, an optional extended header block (at most 3504 bytes), then
// fixed-length data records from the header length on.
//
// The file is little-endian with no alignment. It is read and written field
// by field at fixed offsets (kHdr*, kExt*, kDesc*), never as a copy of the
// in-memory structs: the structs below are the in-memory forms that every
// store kind fills, packed so that their sizes are fixed across compilers.
#pragma once
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>

#include "cdxlib/sys/timestamp.h"

static_assert(std::endian::native == std::endian::little, "records are little-endian byte layouts");

// Markers.
constexpr uint16_t kLogHeaderMarker = 0x8001;
constexpr uint16_t kLogBlockStart = 0x8002;
constexpr uint16_t kLogBlockEnd = 0x8003;
constexpr uint16_t kLogRecordMarker = 0x8004;

constexpr uint32_t kLogFileHeaderSize = 900;
constexpr uint32_t kLogExtBlockMax = 3504;
constexpr int kLogFileDescriptors = 16;
constexpr int kLogMaxBlocks = 64;
constexpr uint32_t kLogChannelConfigSize = 216;
constexpr uint32_t kLogExtensionSize = 172;
constexpr uint32_t kLogRecordFixedSize = 18;

// Flag-word bits of a channel in a record.
constexpr int32_t kLogFlagPresent = 0x80;
constexpr int32_t kLogFlagMissing = 0x20;
constexpr int32_t kLogFlagState = 0x01;

// Value kind of a block of digital channels.
constexpr uint16_t kLogKindDigital = 4;

#pragma pack(push, 1)

// One channel block: 52 bytes, the same in memory and in the file.
struct LogBlockDescriptor {
  char prefix[2];        // device prefix, not terminated
  uint16_t firstChannel;
  uint16_t lastChannel;  // inclusive
  uint16_t valueKind;    // 4 = digital
  uint16_t valueOffset;  // offset of the block's flag words inside a record
  char sourceName[24];
  uint8_t reserved34;
  uint8_t lagFlag;
  uint8_t reserved36[16];
};

// The header of a log as every store kind gives it. The file keeps this
// record up to extOffset with 16 descriptors (900 bytes); the extended block
// carries the block count, all 64 descriptors and the extension bytes.
struct LogHeader {
  uint32_t endOffset;  // just past the last record
  uint16_t marker;     // 0x8001
  uint16_t blockCount;
  uint32_t recordCount;
  TimeStamp start;
  TimeStamp stop;  // seconds 0 while the log is open
  uint32_t headerLength;  // offset of record 0
  uint32_t recordLength;
  LogBlockDescriptor blocks[kLogMaxBlocks];
  uint8_t tagColumns;
  uint8_t significantChange;
  char triggerPrefix[2];
  uint16_t triggerChannel;
  char lagPrefix[2];
  uint16_t lagChannel;
  uint8_t reserved878[12];
  uint16_t reserved890;
  uint32_t extLength;  // 0: no extended block
  uint32_t extOffset;
  uint8_t extension[kLogExtensionSize];  // the writer's time-zone information
};

// The fixed start of every data record (18 bytes); the blocks' flag words
// and values follow at their descriptors' offsets.
struct LogRecord {
  uint16_t marker;  // 0x8004
  uint8_t level;    // validity level; 0 ends a significant-change log's valid part
  uint8_t reserved3;
  int32_t seconds;
  int16_t milliseconds;
  int16_t microseconds;
  float levelValue;
  uint8_t reserved16[2];
};

#pragma pack(pop)

static_assert(sizeof(LogBlockDescriptor) == 52);
static_assert(offsetof(LogBlockDescriptor, prefix) == 0);
static_assert(offsetof(LogBlockDescriptor, firstChannel) == 2);
static_assert(offsetof(LogBlockDescriptor, lastChannel) == 4);
static_assert(offsetof(LogBlockDescriptor, valueKind) == 6);
static_assert(offsetof(LogBlockDescriptor, valueOffset) == 8);
static_assert(offsetof(LogBlockDescriptor, sourceName) == 10);
static_assert(offsetof(LogBlockDescriptor, reserved34) == 34);
static_assert(offsetof(LogBlockDescriptor, lagFlag) == 35);
static_assert(offsetof(LogBlockDescriptor, reserved36) == 36);

static_assert(sizeof(LogHeader) == 3568);
static_assert(offsetof(LogHeader, endOffset) == 0);
static_assert(offsetof(LogHeader, marker) == 4);
static_assert(offsetof(LogHeader, blockCount) == 6);
static_assert(offsetof(LogHeader, recordCount) == 8);
static_assert(offsetof(LogHeader, start) == 12);
static_assert(offsetof(LogHeader, stop) == 20);
static_assert(offsetof(LogHeader, headerLength) == 28);
static_assert(offsetof(LogHeader, recordLength) == 32);
static_assert(offsetof(LogHeader, blocks) == 36);
// From here on the in-memory header carries 48 more descriptors than the
// file's: the file offsets are the memory offsets less 48 x 52.
static_assert(offsetof(LogHeader, tagColumns) == 36 + 64 * 52);
static_assert(offsetof(LogHeader, extOffset) == 3392);
static_assert(offsetof(LogHeader, extension) == 3396);

static_assert(sizeof(LogRecord) == kLogRecordFixedSize);
static_assert(offsetof(LogRecord, marker) == 0);
static_assert(offsetof(LogRecord, level) == 2);
static_assert(offsetof(LogRecord, seconds) == 4);
static_assert(offsetof(LogRecord, milliseconds) == 8);
static_assert(offsetof(LogRecord, microseconds) == 10);
static_assert(offsetof(LogRecord, levelValue) == 12);
static_assert(offsetof(LogRecord, reserved16) == 16);

// Offsets in the file's 900-byte header.
constexpr uint32_t kHdrEndOffset = 0;
constexpr uint32_t kHdrMarker = 4;
constexpr uint32_t kHdrBlockCount = 6;
constexpr uint32_t kHdrRecordCount = 8;
constexpr uint32_t kHdrStart = 12;
constexpr uint32_t kHdrStop = 20;
constexpr uint32_t kHdrHeaderLength = 28;
constexpr uint32_t kHdrRecordLength = 32;
constexpr uint32_t kHdrDescriptors = 36;
constexpr uint32_t kHdrTagColumns = 868;
constexpr uint32_t kHdrSignificant = 869;
constexpr uint32_t kHdrTriggerPrefix = 870;
constexpr uint32_t kHdrTriggerChannel = 872;
constexpr uint32_t kHdrLagPrefix = 874;
constexpr uint32_t kHdrLagChannel = 876;
constexpr uint32_t kHdrReserved878 = 878;
constexpr uint32_t kHdrReserved890 = 890;
constexpr uint32_t kHdrExtLength = 892;
constexpr uint32_t kHdrExtOffset = 896;
static_assert(kHdrDescriptors + kLogFileDescriptors * sizeof(LogBlockDescriptor) == kHdrTagColumns);
static_assert(kHdrExtOffset + 4 == kLogFileHeaderSize);

// Offsets in the extended header block.
constexpr uint32_t kExtBlockCount = 0;
constexpr uint32_t kExtDescriptors = 2;
constexpr uint32_t kExtReserved = 3330;
constexpr uint32_t kExtExtension = 3332;
static_assert(kExtDescriptors + kLogMaxBlocks * sizeof(LogBlockDescriptor) == kExtReserved);
static_assert(kExtExtension + kLogExtensionSize == kLogExtBlockMax);

// Encodes the file's 900 header bytes from `h` (block count min(count, 16),
// descriptors 0..15).
void EncodeLogHeader(const LogHeader& h, uint8_t out[kLogFileHeaderSize]);
// Decodes 900 header bytes into `h`; descriptors 16..63 and the extension
// bytes are cleared.
void DecodeLogHeader(const uint8_t in[kLogFileHeaderSize], LogHeader* h);
// Encodes the extended block: exactly min(h.extLength, 3504) bytes into out
// (which must hold 3504); returns the count.
uint32_t EncodeLogExtension(const LogHeader& h, uint8_t out[kLogExtBlockMax]);
// Decodes `len` (at most 3504) bytes of an extended block into `h`; bytes
// the block does not hold are taken as 0.
void DecodeLogExtension(const uint8_t* in, uint32_t len, LogHeader* h);

// The file routines, on an open descriptor. They read and write at explicit
// offsets (pread/pwrite) and never move the descriptor's file position.
//
// ReadLogHeader: 900 on success, -1 on a null header or a short read, -2
// when the read call fails. The extended block is read when its length is not
// 0 (a stated length above 3504 is cut to 3504; a short read is -1).
int ReadLogHeader(int fd, LogHeader* header);
// (Its form by path, which reads through the server when no descriptor is
// open, is in remotelog.h.)

// Writes all `bytes` at `offset` (pwrite, retried on interruption and
// short writes): true, or false with errno (ENOSPC when nothing more goes).
bool LogPwriteAll(int fd, const void* buffer, size_t bytes, uint64_t offset);
// Writes the 900 header bytes at `offset`: 0 / -1.
int WriteLogHeader(int fd, const LogHeader& header, uint64_t offset = 0);
// Writes the extended block (h.extLength bytes, at most 3504; 0 writes
// nothing) at `offset`: 0 / -1.
int WriteLogExtension(int fd, const LogHeader& header, uint64_t offset);

// Offset in the file of channel `k` of block `block` (blocks before it taken
// from the header's descriptors); 0 when the block or channel is out of
// range of the header.
uint64_t LogChannelOffset(const LogHeader& h, int block, int k);

// Whether the header can be trusted to locate records: marker, a record
// length of at least 18 bytes, a header length of at least 900 and every
// block inside the record. Readers check this before any record arithmetic.
bool LogHeaderUsable(const LogHeader& h);

// Channel count of a descriptor (0 for last < first).
inline int LogBlockChannels(const LogBlockDescriptor& d) {
  return d.lastChannel >= d.firstChannel ? d.lastChannel - d.firstChannel + 1 : 0;
}

// The value-fault check on `count` whole records in a buffer: a channel whose
// flag word has 0x80 set and 0x20 clear but whose value is NaN or infinite
// gets 0x20 set. Blocks that do not fit the record are skipped.
void CheckLogRecordValues(const LogHeader& h, void* records, int count);

// Name stamps: "YYMMDD_HHMMSS" (13 characters) of wall-clock seconds.
std::string LogNameStamp(int32_t seconds);
// Parses a 13-character stamp at `text`; false when it is not one.
bool ParseLogNameStamp(const char* text, int32_t* seconds);
// Splits a log file name (no directory) after `prefix`: start and stop
// seconds (stop 0 for an open log). False when the name is not a log name.
// Where the name stamp of a file name starts (before `ext`), or npos.
size_t FindLogNameStamp(const std::string& name, const char* ext = ".odl");
bool ParseLogFileName(const std::string& name, const std::string& prefix, int32_t* start, int32_t* stop);
