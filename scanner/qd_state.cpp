#include "scanner/qd_state.h"

#include <cstdlib>
#include <new>

#include "cdxlib/shm/datamodule.h"
#include "cdxlib/shm/drvtables.h"
#include "cdxlib/shm/signals.h"
#include "cdxlib/sys/timestamp.h"

namespace {
ScanState g_state;
}

ScanState& Scan_State() { return g_state; }

void Scan_ResetState() {
  std::free(g_state.localBlock);
  g_state.~ScanState();
  new (&g_state) ScanState();
}

int Scan_MarkBusy() {
  ScanState& st = Scan_State();
  DataModuleHeader* table = Drv_DeviceTable();
  DM_Lock(table);
  st.device->Busy = 1;
  DM_Unlock(table);
  return 0;
}

int Scan_MarkReady() {
  ScanState& st = Scan_State();
  DataModuleHeader* table = Drv_DeviceTable();
  DM_Lock(table);
  // Requests that arrived during the work are dropped: the server plans
  // the next scan from the time set here.
  Sig_HoldDelivery(1);
  st.scanCount = 0;
  Sig_HoldDelivery(0);
  TimeStamp now;
  Time_NowLocal(&now);
  st.device->NextScan = *Time_AlignToPeriod(&now, st.device->Config.ScanRate);
  st.device->Busy = 0;
  DM_Unlock(table);
  return 0;
}

uint32_t Scan_ModuleDataSize(const void* module) {
  DMTables t;
  if (!module || DM_GetTables(static_cast<const DataModule*>(module), &t) != 0) return 0;
  return t.dataBound;
}
