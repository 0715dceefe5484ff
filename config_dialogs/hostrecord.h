// The host device record: the configuration program's own record of one
// device, passed to the exports by pointer. Only the fields below belong to
// this library; the rest of the record is the host's.
//
//   +12          device name (text)
//   +37          the device's configuration subdirectory (text)
//   +50 + 4 * p  path p (0..4): a non-zero first byte means the path exists
//                (its two-letter name); u16 channel count at +52 + 4 * p
//   +0xE0        the 9-byte port block of the device configuration
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "cdxlib/records/chanconfig.h"

constexpr size_t kHostDeviceNameOffset = 12;
constexpr size_t kHostConfigDirOffset = 37;
constexpr size_t kHostPathEntryOffset = 50;
constexpr size_t kHostPathCountOffset = 52;
constexpr size_t kHostPathEntrySize = 4;
constexpr size_t kHostPortBlockOffset = 0xE0;
constexpr int kHostPathCount = 5;
// Longest texts the fields can hold (up to the next field).
constexpr size_t kHostDeviceNameMax = kHostConfigDirOffset - kHostDeviceNameOffset;
constexpr size_t kHostConfigDirMax = kHostPathEntryOffset - kHostConfigDirOffset;
// The record reaches at least to the end of the port block.
constexpr size_t kHostRecordMinSize = kHostPortBlockOffset + sizeof(CommBlock);

std::string Host_DeviceName(const uint8_t* record);
std::string Host_ConfigDir(const uint8_t* record);
// Path p's entry: present (non-zero first byte), its two-letter name and its
// channel count. p outside 0..4: not present.
bool Host_PathPresent(const uint8_t* record, int path);
std::string Host_PathName(const uint8_t* record, int path);
uint16_t Host_PathCount(const uint8_t* record, int path);
// The port block inside the record (unaligned bytes: copy, never cast).
uint8_t* Host_PortBlock(uint8_t* record);

// The default COM number: the 16-bit value that the host supplies, the
// device number for a device whose port name is empty ("COM%d"). The host
// supplies it by defining, in its own program or in a library it has loaded
// globally, the function
//   extern "C" unsigned short CDX_HostDefaultComNumber(void);
// which is looked up at each call. Without it the number is 1.
constexpr const char* kHostDefaultComSymbol = "CDX_HostDefaultComNumber";
uint16_t Host_DefaultComNumber();
