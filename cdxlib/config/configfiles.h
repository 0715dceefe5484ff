// Binary configuration files of a device directory.
//
// Each device keeps, in its own directory below the configuration root:
//   "ai", "di", "ao", "do", "ci", "dc"  a ConfigFileHeader, then channel i
//                                       (0-based) at 8 + 216 * i
//   "config"                            uint8 AutoEnable at 0, DeviceConfig
//                                       from byte 1 (704 bytes)
//   "saveconfig"                        uint8 SaveOutputs, uint8 SaveByTag,
//                                       uint32 SaveRate; no header
//   an extra-data file named by the caller.
// "config" and "saveconfig" have fields at odd or unaligned offsets and are
// accessed as bytes, never through an aligned struct.
//
// Every function returns 0 or -1 with errno and the thread's last error set
// to the system error number. Saves write to a temporary file beside the
// target and rename it into place, so a crash never leaves a half-written
// file; a target that is not a regular file (a device) is written in place.
//
// Which road a call takes: when the directory's extension library exports
// Ex_DoXml, loads read "<kind>.xml" or "config.xml" (config/xmlconfig.h)
// when "ReadXML" is on and the file exists, and saves write the XML file
// beside the binary files ("WriteXML" BOTH) or instead of them ("XML").
// The device's XML file is used only below the configuration root, never
// in the root itself.
//
// With the change history on (config/history.h), a save reads the stored
// records first (a stored XML file that cannot be read stops the save with
// 1465 before anything is written) and appends one line per changed item:
// a channel's items under its number in the file (position + 1), the
// device's under 0 ("AutoEnable", "SaveOutputs", "SaveByTag" ON/OFF,
// "SaveRate", then the items of the extension library's record types).
#pragma once
#include <cstddef>
#include <cstdint>

#include "cdxlib/records/chanconfig.h"
#include "cdxlib/sys/timestamp.h"

// The 8-byte header of a channel file: when it was last saved (local wall
// clock; the last 2 bytes are zero).
struct ConfigFileHeader {
  TimeStamp Saved;
};
static_assert(sizeof(ConfigFileHeader) == 8);
static_assert(offsetof(ConfigFileHeader, Saved) == 0);

constexpr uint64_t kChannelFileHeaderSize = sizeof(ConfigFileHeader);
constexpr uint64_t kChannelRecordSize = sizeof(ChannelConfig);
constexpr uint64_t ChannelFileOffset(uint64_t index) { return kChannelFileHeaderSize + index * kChannelRecordSize; }

// Byte layout of "config".
constexpr uint64_t kConfigEnableOffset = 0;  // uint8 AutoEnable
constexpr uint64_t kConfigRecordOffset = 1;  // DeviceConfig, unaligned
constexpr uint64_t kConfigFileSize = 1 + sizeof(DeviceConfig);

// Byte layout of "saveconfig": 6 bytes, SaveRate little-endian at byte 2.
struct SaveConfigFile {
  uint8_t SaveOutputs;
  uint8_t SaveByTag;
  uint8_t SaveRate[4];
};
static_assert(sizeof(SaveConfigFile) == 6);
static_assert(offsetof(SaveConfigFile, SaveOutputs) == 0);
static_assert(offsetof(SaveConfigFile, SaveByTag) == 1);
static_assert(offsetof(SaveConfigFile, SaveRate) == 2);

// The save options as the bytes of "saveconfig" and back, for every road
// that carries the file or its fields. Unpack fills only the outputs given.
SaveConfigFile Cfg_PackSaveConfig(uint8_t saveOutputs, uint8_t saveByTag, uint32_t saveRate);
void Cfg_UnpackSaveConfig(const SaveConfigFile& file, uint8_t* saveOutputs, uint8_t* saveByTag, uint32_t* saveRate);

// ---------------------------------------------------------------- files

// Writes `length` bytes at `offset` of a file, creating it when missing and
// never cutting it short: the configuration files' own writer. A regular
// file is rebuilt in a temporary file beside it and renamed into place (a
// crash leaves the old file or the new one), and writers of one directory
// are serialised. 0, or -1 with the system error.
int Cfg_WriteFileBytes(const char* path, uint64_t offset, const void* data, size_t length);

// ---------------------------------------------------------------- channels

// Reads channels first .. first+count-1 of a kind into records (count
// entries); a file that ends before them is a failure (38). With extra, a
// length and a file name, extra is zero-filled and read from the extra file
// at the offset of channel `first` (see Cfg_SaveChannelsEx); a missing or
// short extra file is no failure. Nothing is read when records is null or
// count is 0. Never creates a file.
int Cfg_LoadChannels(const char* dir, int kind, ChannelConfig* records, int first, int count, void* extra,
                     uint32_t extraLength, const char* extraFileName);
int Cfg_LoadChannelsInCwd(int kind, ChannelConfig* records, int first, int count);

// Writes channels first .. first+count-1 of a kind: the header with the
// current time, then the records; records outside the range keep their
// bytes, a gap in a new or shorter file reads back as zeros. The extra data
// (extraLength bytes, count equal blocks) goes to the extra file at the
// offset of channel `first`, first * (extraLength / count), so a range save
// never lands on channel 0's block. `user` names who changes (for the change
// history); `merge` chooses between updating and rewriting the XML form.
int Cfg_SaveChannelsEx(const char* user, const char* dir, int kind, const ChannelConfig* records, int first, int count,
                       const void* extra, uint32_t extraLength, const char* extraFileName, int merge);
int Cfg_SaveChannels(const char* user, const char* dir, int kind, const ChannelConfig* records, int first, int count,
                     const void* extra, uint32_t extraLength, const char* extraFileName);
int Cfg_RewriteChannels(const char* user, const char* dir, int kind, const ChannelConfig* records, int first,
                        int count, const void* extra, uint32_t extraLength, const char* extraFileName);
int Cfg_SaveChannelsInCwd(int kind, const ChannelConfig* records, int first, int count);

// ---------------------------------------------------------------- devices

// The history switch: read once, from the first byte of the root's device
// record ("config" from byte 1 in CDX_CURRENT_CONFIG), unless set
// (Hist_SetEnabled of history.h). dir is the configuration directory saved
// (the root or a directory below it; the current directory when null): the
// switch is read in it when it is the root, else in the directory above it.
bool Hist_IsEnabled(const char* dir = nullptr);

// Every output is optional (null = not read). In this order: enable from
// "config" byte 0 (an empty "config" is created when missing, and a file
// without that byte is a failure); the save options from "saveconfig"
// (each field read exactly); the record, size bytes from "config" byte 1 (a
// short file leaves the rest as it was); the extra data, zero-filled, then
// read from the extra file (missing is no failure). With XML read, the
// outputs come from "config.xml", except a record (or extra data) that the
// extension library gives no XML type for: that one is always kept in the
// binary files (a device without "config" then reads as zeros).
int Cfg_LoadDeviceEx(const char* dir, void* record, uint32_t size, void* extra, uint32_t extraLength,
                     const char* extraFileName, uint8_t* enable, uint8_t* saveOutputs, uint8_t* saveByTag,
                     uint32_t* saveRate);
int Cfg_LoadDevice(const char* dir, void* record, uint32_t size, void* extra, uint32_t extraLength,
                   const char* extraFileName);
int Cfg_LoadDeviceInCwd(void* record, uint32_t size);
int Cfg_LoadSaveConfigInCwd(uint8_t* saveOutputs, uint8_t* saveByTag, uint32_t* saveRate);
int Cfg_LoadEnableInCwd(uint8_t* enable);

// Every input is optional (null = not written): enable to "config" byte 0,
// each given save option to its bytes of "saveconfig", the
// record to "config" from byte 1, the extra data to the extra file.
int Cfg_SaveDeviceEx(const char* user, const char* dir, const void* record, uint32_t size, const void* extra,
                     uint32_t extraLength, const char* extraFileName, const uint8_t* enable,
                     const uint8_t* saveOutputs, const uint8_t* saveByTag, const uint32_t* saveRate);
int Cfg_SaveDevice(const char* user, const char* dir, const void* record, uint32_t size, const void* extra,
                   uint32_t extraLength, const char* extraFileName);
int Cfg_SaveDeviceInCwd(const void* record, uint32_t size);
int Cfg_SaveSaveConfigInCwd(const uint8_t* saveOutputs, const uint8_t* saveByTag, const uint32_t* saveRate);
int Cfg_SaveEnableInCwd(const uint8_t* enable);

// ---------------------------------------------------------------- other

// True unless the path ends in "/CURRENT_CONFIG" (or "\CURRENT_CONFIG"),
// letter case aside: the configuration root itself is no device directory.
// False for a null path.
bool Cfg_IsDeviceDir(const char* path);

// Blocks that cross between the library and its callers, on the library's
// own heap (cfgheap.cpp): Cfg_Free takes only what Cfg_Alloc gave (a block
// it does not know is left alone, error 87); null is nothing to free.
void* Cfg_Alloc(size_t size);
void Cfg_Free(void* block);
// Walks the library's heap to the debugger output: a line
// "%6s block at %p of size %4.4X\n" ("USED" or "FREE") for each of the
// first 10000 blocks, then "OK - end of heap %d Used\n"; or "OK - empty
// heap\n", "ERROR - bad start of heap\n" (the first block's mark is
// overwritten), "ERROR - bad node in heap\n" (a later block's),
// "ERROR - bad pointer to heap\n" (a block's link back does not name the
// block before it), after the lines of the blocks before the damage. A
// diagnostic: nothing calls it.
void Cfg_DumpHeap();
