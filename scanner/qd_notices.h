// What the channel rules announce, forwarded to the alarm layer.
//
// The publishing step of a scan evaluates a path's channels with an
// AlarmNotices as the sink: alarm and warning messages go to the alarm
// layer's senders (stamped with this process's computer and user names),
// trigger counts to its bookkeeping, and the changed mark of the saved
// outputs into the scanner's own flags. The path's driver must be attached
// (Alm_Attach) while it is in use.
//
// Delivery is the alarm layer's: while the path's modules are locked the
// messages wait, and go out when they are unlocked (DM_AfterUnlock), so a
// slow or stopped alarm reader never holds a values module.
#pragma once
#include "cdxlib/runtime/alarms.h"
#include "scanner/qd_eval.h"

class AlarmNotices final : public ScanNotices {
 public:
  // outputsChanged: one flag per channel sub-type (kChannelKindCount).
  AlarmNotices(const char* computer, const char* user, bool* outputsChanged)
      : computer_(computer), user_(user), outputsChanged_(outputsChanged) {}
  void AlarmRaised(int m, uint32_t status, int driveCommon, int priority, int delay, const float* value) override;
  void AlarmCleared(int m, uint32_t oldStatus, const float* value) override;
  void WarningRaised(int m, uint32_t status, int priority, const float* value) override;
  void WarningCleared(int m, uint32_t oldStatus, const float* value) override;
  void TriggerUp(int m) override;
  void TriggerDown(int m) override;
  void TriggerForced(int m) override;
  void OutputsChanged(int subType) override;

 private:
  const char* computer_;
  const char* user_;
  bool* outputsChanged_;
};

// Room for every message one scan of a path of `channels` channels can make:
// a warning cleared and raised and an alarm cleared and raised per channel.
constexpr int kMessagesPerChannel = 4;
