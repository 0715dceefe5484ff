// The scanner's process-wide state: the request flags that the signal
// handler sets, the device's record in the shared device table, the save
// schedule and the five channel paths.
//
// Threads: the handler (signal reader thread) writes the request flags and
// the scan count under the signal lock; the main thread reads and clears
// them only while it holds delivery (Sig_HoldDelivery), so they need no lock
// of their own. Everything else belongs to the main thread.
#pragma once
#include <cstdint>

#include "cdxlib/records/chanconfig.h"
#include "cdxlib/records/devicerecord.h"
#include "cdxlib/sys/timestamp.h"

struct DataModuleHeader;

// Channel paths, in the order of the device record's module prefixes.
enum ScanPathIndex : int { kPathAi = 0, kPathDi = 1, kPathAo = 2, kPathDo = 3, kPathCi = 4 };
constexpr int kScanPathCount = 5;

// Channels each path may hold: only the ai path carries channels in this
// driver (all sub-types live there).
constexpr uint16_t kPathMaxChannels[kScanPathCount] = {1000, 0, 0, 0, 0};

// Bytes of one channel's record in a path module's per-channel record area.
constexpr uint32_t kPathChannelRecordSize = 264;

// Layout of a path module's data area (after the 128-byte module header).
constexpr uint32_t kPathOffPrefix = 0;       // char[2]
constexpr uint32_t kPathOffValueKind = 2;    // u16: 4 (status only) or 8 (status and value)
constexpr uint32_t kPathOffCount = 4;        // u16
constexpr uint32_t kPathOffErrorCode = 6;    // i16
constexpr uint32_t kPathOffScanMs = 8;       // i32
constexpr uint32_t kPathOffConfigStamp = 12;  // TimeStamp of the loaded channel file
constexpr uint32_t kPathOffStatus = 20;      // u32 per channel, then f32 per channel

inline bool Path_IsAnalog(int path) { return path == kPathAi || path == kPathAo || path == kPathCi; }
inline bool Path_IsOutput(int path) { return path == kPathAo || path == kPathDo; }
inline bool Path_HasSavedValues(int path) { return path == kPathAi || path == kPathCi; }

struct ScanPath {
  DataModuleHeader* module = nullptr;      // values module, null: not attached
  uint8_t* data = nullptr;                 // its data area
  DataModuleHeader* confModule = nullptr;  // "_conf" module
  ChannelConfig* channels = nullptr;       // the conf module's records
  uint16_t count = 0;                      // channels in use
  uint16_t moduleCount = 0;                // channels the module announces
  uint32_t* moduleStatus = nullptr;        // the module's status words
  float* moduleValues = nullptr;           // the module's values (analog paths)
  uint8_t* records = nullptr;              // per-channel record area, or null

  // Local working memory (one block for all paths, Scan_LoadConfiguration).
  uint32_t* localStatus = nullptr;  // ai, di, ci: working; ao, do: previous state
  float* localValues = nullptr;     // analog paths: evaluated values (as localStatus)
  float* raw = nullptr;             // analog paths: the handler's raw readings
  float* lastReported = nullptr;    // analog paths: significant-change reference
  float* saved = nullptr;           // ai, ci: tare offsets, last written outputs
};

struct ScanState {
  // Request flags (see the header comment).
  volatile int running = 1;
  volatile int scanCount = 0;
  volatile int reconfigure = 0;
  volatile int resetCounters = 0;
  volatile int initValues = 0;

  DeviceRecord* device = nullptr;  // in "dm_device", for the whole run
  char prefix[9] = {};             // device-type prefix from the program name
  int deviceNumber = 0;

  // Save schedule.
  bool saveOn = false;
  bool saveByTag = false;
  int32_t saveRateMs = 0;
  TimeStamp nextSave = {};
  bool outputsChanged[kChannelKindCount] = {};  // per sub-type, since the last save

  ScanPath paths[kScanPathCount];
  void* localBlock = nullptr;

  char computer[16] = {};
  char user[257] = {};
};

ScanState& Scan_State();

// Resets the state to a fresh process's (tests that run several scanners in
// one process one after another).
void Scan_ResetState();

// Busy mark, and ready mark (drops pending scan requests, sets the next
// scan time aligned to the scan rate, clears busy).
int Scan_MarkBusy();
int Scan_MarkReady();

// The data size of a module (its real mapped size, not what a peer wrote).
uint32_t Scan_ModuleDataSize(const void* module);
