// The channel paths' handler tables, in path order ai, di, ao, do, ci.
//
// Init handlers run at device initialisation and after a path's channels
// were reloaded; scan handlers fill a path's working status words and raw
// values once per scan. Only the ai entries (the DF1 block reads) do work in
// this driver; every other path holds no channels and its handlers return 0.
#pragma once
#include <cstdint>

#include "cdxlib/records/chanconfig.h"

using PathInitHandler = int (*)(DeviceConfig* device, uint16_t count, ChannelConfig* channels);
// 0 done, 2 nothing new (the path is left as it is), -1 error.
using PathScanHandler = int (*)(DeviceConfig* device, uint16_t count, ChannelConfig* channels, uint32_t* status,
                                float* values);
constexpr int kPathScanNothingNew = 2;

int Path_InitDi(DeviceConfig* device, uint16_t count, ChannelConfig* channels);
int Path_InitAo(DeviceConfig* device, uint16_t count, ChannelConfig* channels);
int Path_InitDo(DeviceConfig* device, uint16_t count, ChannelConfig* channels);
int Path_InitCi(DeviceConfig* device, uint16_t count, ChannelConfig* channels);
int Path_ScanDi(DeviceConfig* device, uint16_t count, ChannelConfig* channels, uint32_t* status, float* values);
int Path_ScanAo(DeviceConfig* device, uint16_t count, ChannelConfig* channels, uint32_t* status, float* values);
int Path_ScanDo(DeviceConfig* device, uint16_t count, ChannelConfig* channels, uint32_t* status, float* values);
int Path_ScanCi(DeviceConfig* device, uint16_t count, ChannelConfig* channels, uint32_t* status, float* values);
// The ci path's counter reset (303).
int Path_ResetCountersCi(DeviceConfig* device, uint16_t count, ChannelConfig* channels);

// The tables (index = path), the ai entries included.
extern const PathInitHandler kPathInitHandlers[5];
extern const PathScanHandler kPathScanHandlers[5];
