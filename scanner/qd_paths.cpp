#include "scanner/qd_paths.h"

#include "scanner/aipath.h"

int Path_InitDi(DeviceConfig*, uint16_t, ChannelConfig*) { return 0; }
int Path_InitAo(DeviceConfig*, uint16_t, ChannelConfig*) { return 0; }
int Path_InitDo(DeviceConfig*, uint16_t, ChannelConfig*) { return 0; }
int Path_InitCi(DeviceConfig*, uint16_t, ChannelConfig*) { return 0; }
int Path_ScanDi(DeviceConfig*, uint16_t, ChannelConfig*, uint32_t*, float*) { return 0; }
int Path_ScanAo(DeviceConfig*, uint16_t, ChannelConfig*, uint32_t*, float*) { return 0; }
int Path_ScanDo(DeviceConfig*, uint16_t, ChannelConfig*, uint32_t*, float*) { return 0; }
int Path_ScanCi(DeviceConfig*, uint16_t, ChannelConfig*, uint32_t*, float*) { return 0; }
int Path_ResetCountersCi(DeviceConfig*, uint16_t, ChannelConfig*) { return 0; }

const PathInitHandler kPathInitHandlers[5] = {Path_InitAi, Path_InitDi, Path_InitAo, Path_InitDo, Path_InitCi};
const PathScanHandler kPathScanHandlers[5] = {Path_ScanAi, Path_ScanDi, Path_ScanAo, Path_ScanDo, Path_ScanCi};
