// Printing of a device's configuration on the host's printer device context.
//
// The exports PrintConfig and PrintAllConfig (main/qd_setup.cpp) pass their
// arguments on unchanged in one QdPrintRequest; this module does the work.
#pragma once
#include <cstdint>

#include "cdxlib/chanconfig.h"

enum class QdPrintKind {
  kPath,  // PrintConfig: one path with a range of channels
  kAll,   // PrintAllConfig: the device header and every present path
};

struct QdPrintRequest {
  QdPrintKind kind = QdPrintKind::kPath;
  void* dc = nullptr;              // the printer device context the host passed
  const char* server = nullptr;    // server name
  uint8_t* hostRecord = nullptr;   // the host device record (config_dialogs/hostrecord.h)
  DeviceConfig* device = nullptr;  // the device's configuration, or null

  // kPath
  int path = 0;                       // 0..4
  int first = 0;                      // 1-based channel number; 0 = 1
  int last = 0;                       // 0 = the path's channel count
  ChannelConfig* channels = nullptr;  // the path's records, or null: loaded from the current directory

  // kAll (status .. saveRateMs are used only when device is given)
  int status = 0;
  int autosave = 0;
  int byTag = 0;
  int saveRateMs = 0;
  ChannelConfig** pathChannels = nullptr;  // five arrays (one per path, each may be null), or null
};

// 0, or -1 with the system error in errno and the thread's last error.
int QdPrint_Configuration(const QdPrintRequest& request);
