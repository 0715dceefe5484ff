#include "scanner/qd_scan.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include "cdxlib/runtime/alarms.h"
#include "cdxlib/shm/datamodule.h"
#include "platform/error.h"
#include "platform/sync.h"
#include "scanner/qd_eval.h"
#include "scanner/qd_notices.h"
#include "scanner/qd_paths.h"
#include "scanner/qd_state.h"

namespace {

void SetI16(uint8_t* data, uint32_t off, int16_t v) { std::memcpy(data + off, &v, 2); }
void SetI32(uint8_t* data, uint32_t off, int32_t v) { std::memcpy(data + off, &v, 4); }

// Evaluates every channel of a path and publishes the result. For ai, di
// and ci the working arrays are local and the module holds the published
// state; for the output paths it is the other way round.
void EvaluateAndPublish(ScanState& st, int path, bool first) {
  ScanPath& p = st.paths[path];
  const bool output = Path_IsOutput(path);
  const bool analog = Path_IsAnalog(path);
  uint32_t* work = output ? p.moduleStatus : p.localStatus;
  uint32_t* prev = output ? p.localStatus : p.moduleStatus;
  float* workValues = output ? p.moduleValues : p.localValues;
  float* prevValues = output ? p.localValues : p.moduleValues;
  AlarmNotices notices(st.computer, st.user, st.outputsChanged);
  for (int m = 0; m < p.count; ++m) {
    ChannelEval ch{};
    ch.status = work[m];
    ch.oldStatus = prev[m];
    if (analog) {
      ch.raw = output ? (workValues ? workValues[m] : 0.0f) : p.raw[m];
      ch.published = prevValues ? prevValues[m] : p.localValues[m];
      ch.lastReported = p.lastReported[m];
      ch.tare = p.saved ? p.saved[m] : 0.0f;
    }
    Eval_Channel(p.channels[m], m, first, &ch, notices);
    work[m] = ch.status;
    if (analog) {
      p.lastReported[m] = ch.lastReported;
      if (workValues) workValues[m] = ch.published;
      if (!output) p.localValues[m] = ch.published;
    }
  }
  size_t n = size_t(p.count);
  if (n && prev) std::memcpy(prev, work, n * 4);
  if (analog && n && prevValues && workValues && prevValues != workValues) std::memcpy(prevValues, workValues, n * 4);
  SetI16(p.data, kPathOffErrorCode, 0);
}

}  // namespace

int Scan_ScanAll(int first) {
  ScanState& st = Scan_State();
  int total = 0;
  int last = 0;
  for (int path = kScanPathCount - 1; path >= 0 && st.running; --path) {
    int64_t t0 = plat::MonotonicMs();
    ScanPath& p = st.paths[path];
    if (!p.module) continue;
    const bool output = Path_IsOutput(path);
    if (output) DM_Lock(p.module);
    uint32_t* status = output ? p.moduleStatus : p.localStatus;
    float* values = output ? p.moduleValues : p.raw;
    last = kPathScanHandlers[path](&st.device->Config, p.count, p.channels, status, values);
    if (last == -1) {
      if (output) {
        int e = errno;
        DM_Unlock(p.module);
        plat::Fail(uint32_t(e));
      }
      return -1;
    }
    if (last == kPathScanNothingNew || !st.running) {
      // A stop request during the handler: what it did not read stays as it
      // was published; the exit marks every channel bad.
      if (output) DM_Unlock(p.module);
      continue;
    }
    if (!output) DM_Lock(p.module);
    Alm_Attach(p.data);
    EvaluateAndPublish(st, path, first != 0);
    Alm_FlushLoggerTriggers();
    DM_Notify(p.module, 0);
    // The alarm messages, logger triggers, derived notice and notifications
    // go out at this unlock, in that order: no receiver holds the module.
    DM_Unlock(p.module);
    int ms = int(plat::MonotonicMs() - t0);
    SetI32(p.data, kPathOffScanMs, ms);
    total += ms;
  }
  if (last != kPathScanNothingNew) st.device->LastScanMs = total;
  Scan_RotateStatusMessage();
  return 0;
}

int Scan_ResetChannelStates(int code) {
  ScanState& st = Scan_State();
  if (st.device) st.device->LastScanMs = 0;
  for (int path = 0; path < kScanPathCount; ++path) {
    ScanPath& p = st.paths[path];
    if (!p.module) continue;
    DM_Lock(p.module);
    Alm_Attach(p.data);
    SetI16(p.data, kPathOffErrorCode, int16_t(code));
    SetI32(p.data, kPathOffScanMs, 0);
    for (int m = 0; m < p.count; ++m) {
      p.moduleStatus[m] = (p.moduleStatus[m] & ~uint32_t(kStAlarm | kStDelay0Sent | kStAlarmAnnounced)) | kStBad;
      if (p.records) {
        uint16_t mark = 13;
        std::memcpy(p.records + size_t(m) * kPathChannelRecordSize, &mark, 2);
      }
    }
    if (p.count && p.localStatus) std::memcpy(p.localStatus, p.moduleStatus, size_t(p.count) * 4);
    Alm_FlushLoggerTriggers();
    DM_Notify(p.module, 0);
    DM_Unlock(p.module);
  }
  plat::Fail(uint32_t(code));
  return 0;
}

void Scan_RotateStatusMessage() {}
