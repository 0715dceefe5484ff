// DeviceRecord: one entry of the shared device table "dm_device".
//
// The central server fills the table; a scanner finds its own entry at start
// and writes its running, busy and loaded flags, its pid and the scan times.
#pragma once
#include <cstddef>
#include <cstdint>

#include "cdxlib/records/chanconfig.h"
#include "cdxlib/sys/timestamp.h"

constexpr int kDevicePathCount = 5;  // channel groups ai, di, ao, do, ci

struct DeviceRecord {
  char DeviceType[9];                      // 0: matched on its first 5 characters
  char ProcessName[25];                    // 9: the scanner's process name
  uint16_t DeviceNumber;                   // 34
  char DeviceName[12];                     // 36: configuration subdirectory
  char PathPrefix[kDevicePathCount][2];    // 48: module prefixes, ai di ao do ci
  uint8_t Running;                         // 58
  uint8_t Reserved59;
  DeviceConfig Config;                     // 60: copy of the device's record
  int32_t LastScanMs;                      // 764: duration of the last scan
  TimeStamp NextScan;                      // 768: when the next scan is due
  uint8_t Busy;                            // 776
  uint8_t Reserved777[3];
  uint32_t ScannerPid;                     // 780
  uint8_t ConfigLoaded;                    // 784
  uint8_t Reserved785[3];
};
static_assert(sizeof(DeviceRecord) == 788);
static_assert(offsetof(DeviceRecord, DeviceType) == 0);
static_assert(offsetof(DeviceRecord, ProcessName) == 9);
static_assert(offsetof(DeviceRecord, DeviceNumber) == 34);
static_assert(offsetof(DeviceRecord, DeviceName) == 36);
static_assert(offsetof(DeviceRecord, PathPrefix) == 48);
static_assert(offsetof(DeviceRecord, Running) == 58);
static_assert(offsetof(DeviceRecord, Reserved59) == 59);
static_assert(offsetof(DeviceRecord, Config) == 60);
static_assert(offsetof(DeviceRecord, LastScanMs) == 764);
static_assert(offsetof(DeviceRecord, NextScan) == 768);
static_assert(offsetof(DeviceRecord, Busy) == 776);
static_assert(offsetof(DeviceRecord, ScannerPid) == 780);
static_assert(offsetof(DeviceRecord, ConfigLoaded) == 784);
