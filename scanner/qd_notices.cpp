#include "scanner/qd_notices.h"

void AlarmNotices::AlarmRaised(int m, uint32_t status, int driveCommon, int priority, int delay,
                               const float* value) {
  Alm_SendAlarmMsg(m, status, driveCommon, priority, delay, computer_, user_, value);
}

void AlarmNotices::AlarmCleared(int m, uint32_t oldStatus, const float* value) {
  Alm_SendAlarmClearMsg(m, oldStatus, computer_, user_, value);
}

void AlarmNotices::WarningRaised(int m, uint32_t status, int priority, const float* value) {
  Alm_SendWarningMsg(m, status, priority, computer_, user_, value);
}

void AlarmNotices::WarningCleared(int m, uint32_t oldStatus, const float* value) {
  Alm_SendWarningClearMsg(m, oldStatus, computer_, user_, value);
}

void AlarmNotices::TriggerUp(int m) { Alm_CountTriggerUp(m); }
void AlarmNotices::TriggerDown(int m) { Alm_CountTriggerDown(m); }
void AlarmNotices::TriggerForced(int m) { Alm_CountTriggerForced(m); }

void AlarmNotices::OutputsChanged(int subType) {
  if (outputsChanged_ && subType >= 0 && subType < kChannelKindCount) outputsChanged_[subType] = true;
}
