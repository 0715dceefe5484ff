#include "cdxlib/runtime/alarms.h"

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <string>
#include <memory>

#include "cdxlib/shm/datamodule.h"
#include "cdxlib/shm/drvtables.h"
#include "cdxlib/shm/signals.h"
#include "platform/error.h"
#include "platform/sync.h"
#include "platform/sysinfo.h"

namespace {

// ---- receivers' mailslots ---------------------------------------------------

// One receiver: its "dm_datproc" program, its mailslot, the open handle and
// the time of the last failed open (so a missing reader costs one attempt a
// second, not one per message).
struct Receiver {
  const char* program;
  const char* mailslot;
  SigMailslot handle = kSigNoMailslot;
  bool triedOnce = false;
  int64_t lastFailMs = 0;
};

Receiver g_alarm{kAlmAlarmProgram, kAlmAlarmMailslot};
Receiver g_derived{kAlmDerivedProgram, kAlmDerivedMailslot};

bool IsConfigured(const char* program) {
  const DriverRecord* record = Drv_FindDriver(program);
  return record && record->configured != 0;
}

void CloseReceiver(Receiver& r) {
  if (r.handle != kSigNoMailslot) Sig_CloseMailslot(r.handle);
  r.handle = kSigNoMailslot;
}

// 0 with the handle open, -1 without. Never blocks: one open attempt, at
// most once per kAlmReopenIntervalMs after a failure. errno is left as it
// was: a receiver that is away is not an error of the caller.
int OpenReceiver(Receiver& r) {
  if (r.handle != kSigNoMailslot) return 0;
  const int savedErrno = errno;
  const uint32_t savedLast = plat::GetLastError();
  int rc = -1;
  if (IsConfigured(r.program)) {
    const int64_t now = plat::MonotonicMs();
    if (!r.triedOnce || now - r.lastFailMs >= kAlmReopenIntervalMs) {
      r.triedOnce = true;
      r.handle = Sig_OpenMailslot(r.mailslot);
      if (r.handle != kSigNoMailslot) {
        rc = 0;
      } else {
        r.lastFailMs = now;
      }
    }
  }
  errno = savedErrno;
  plat::SetLastError(savedLast);
  return rc;
}

// Writes one whole message. A handle whose write fails is closed and the
// mailslot opened afresh at once (the reader may have been restarted), and
// the message written once more. 0 when written, 1 when the receiver is not
// there (nothing sent), -1 when the writes failed.
int WriteReceiver(Receiver& r, const void* data, size_t n) {
  if (OpenReceiver(r) != 0) return 1;
  if (Sig_WriteAll(r.handle, data, n) == static_cast<int>(n)) return 0;
  CloseReceiver(r);
  r.triedOnce = false;  // a failed write is not a failed open: retry now
  if (OpenReceiver(r) != 0) return -1;
  if (Sig_WriteAll(r.handle, data, n) == static_cast<int>(n)) return 0;
  CloseReceiver(r);
  return -1;
}

// ---- the attached driver ----------------------------------------------------

struct Attached {
  bool on = false;
  char prefix[2] = {0, 0};
  int channels = 0;
  int rowLength = 0;
  DataModuleHeader* eventModule = nullptr;
  int hits = 0;
};
Attached g_att;

int32_t g_triggers[kAlmMaxLoggers];
int32_t g_forced[kAlmMaxLoggers];

// Loggers counted: those of the table, at most kAlmMaxLoggers.
int LoggerCount() {
  const int n = Drv_LoggerCount();
  return n < kAlmMaxLoggers ? n : kAlmMaxLoggers;
}

int CheckIndex(int index) {
  if (!g_att.on) return plat::Fail(plat::kErrInvalidFunction), -1;
  if (index < 0 || index >= g_att.channels) return plat::Fail(plat::kErrInvalidParameter), -1;
  return 0;
}

// ---- message building -------------------------------------------------------

void CopyCut(char* field, const char* text, size_t max) {
  if (!text) return;
  std::memcpy(field, text, strnlen(text, max));
}

AlarmMessage Build(const char* prefix, uint16_t channel, uint16_t argument, uint32_t flags,
                   const float* value, const char* computer, const char* user) {
  AlarmMessage m;
  std::memset(&m, 0, sizeof m);
  if (prefix) {
    m.prefix[0] = prefix[0];
    m.prefix[1] = prefix[0] ? prefix[1] : 0;
  }
  m.channel = channel;
  m.argument = argument;
  m.flags = flags;
  if (value) {
    std::memcpy(&m.valueBits, value, 4);
  } else {
    m.valueBits = kAlmNoValueBits;
  }
  CopyCut(m.computer, computer, kAlmComputerMax);
  CopyCut(m.user, user, kAlmUserMax);
  return m;
}

uint32_t PriorityBits(int priority) {
  return (static_cast<uint32_t>(priority) & 0xFFu) << kAlmFlagPriorityShift;
}

// Channel field of kinds 0 and 1: the 1-based number, bit 15 for a bad value.
uint16_t AlarmChannel(int index, uint32_t status) {
  uint16_t channel = static_cast<uint16_t>(index + 1);
  if (status & kAlmStatusBad) channel |= kAlmChannelBad;
  return channel;
}

// Sends a message of an alarm kind on the kept handle. While this thread
// holds a module lock (an attached driver's, a values module's) the message
// waits for the release, behind those made before it.
int SendAlarmKind(const AlarmMessage& m) {
  if (DM_HoldsLock()) {
    DM_AfterUnlock([m] { WriteReceiver(g_alarm, &m, sizeof m); });
    return 0;
  }
  return WriteReceiver(g_alarm, &m, sizeof m) < 0 ? -1 : 0;
}

// Sends a message of another kind, then closes the handle, so that the next
// message opens the mailslot afresh.
int SendAndClose(const AlarmMessage& m) {
  DM_AfterUnlock([m] {
    WriteReceiver(g_alarm, &m, sizeof m);
    CloseReceiver(g_alarm);
    g_alarm.triedOnce = false;
  });
  return 0;
}

// The "derived" notice of a driver's batch: its two-letter prefix.
void SendDerivedNotice(const char* prefix) {
  const char p[2] = {prefix[0], prefix[1]};
  DM_AfterUnlock([p] {
    if (OpenReceiver(g_derived) == 0) WriteReceiver(g_derived, p, 2);
  });
}


}  // namespace

AlmLocalNames::AlmLocalNames() {
  const std::string c = plat::ComputerName(), u = plat::UserName();
  std::memcpy(computer, c.data(), std::min(c.size(), kAlmComputerMax));
  std::memcpy(user, u.data(), std::min(u.size(), kAlmUserMax));
}

// ---- senders of the alarm kinds ---------------------------------------------

int Alm_SendAlarmMsg(int index, uint32_t status, int driveCommon, int priority, int delay,
                     const char* computer, const char* user, const float* value) {
  if (CheckIndex(index) != 0) return -1;
  Alm_IsEventChannel(index);
  uint32_t flags = kAlmKindAlarm;
  if (status & kAlmStatus80) flags |= kAlmFlagStatus80;
  if (status & kAlmStatusHighSide) flags |= kAlmFlagHighSide;
  if (driveCommon) flags |= kAlmFlagDriveCommon;
  flags |= PriorityBits(priority);
  return SendAlarmKind(Build(g_att.prefix, AlarmChannel(index, status), static_cast<uint16_t>(delay),
                             flags, value, computer, user));
}

int Alm_SendAlarmClearMsg(int index, uint32_t status, const char* computer, const char* user,
                          const float* value) {
  if (CheckIndex(index) != 0) return -1;
  Alm_IsEventChannel(index);
  uint32_t flags = kAlmKindAlarmClear;
  if (status & kAlmStatus80) flags |= kAlmFlagStatus80;
  if (status & kAlmStatusHighSide) flags |= kAlmFlagHighSide;
  SendAlarmKind(Build(g_att.prefix, AlarmChannel(index, status), 0, flags, value, computer, user));
  return 0;
}

int Alm_SendWarningMsg(int index, uint32_t status, int priority, const char* computer,
                       const char* user, const float* value) {
  if (CheckIndex(index) != 0) return -1;
  uint32_t flags = kAlmKindWarning;
  if (status & kAlmStatus80) flags |= kAlmFlagStatus80;
  if (status & kAlmStatusWarningHigh) flags |= kAlmFlagHighSide;
  flags |= PriorityBits(priority);
  return SendAlarmKind(Build(g_att.prefix, static_cast<uint16_t>(index + 1), 0, flags, value,
                             computer, user));
}

int Alm_SendWarningClearMsg(int index, uint32_t status, const char* computer, const char* user,
                            const float* value) {
  if (CheckIndex(index) != 0) return -1;
  uint32_t flags = kAlmKindWarningClear;
  if (status & kAlmStatus80) flags |= kAlmFlagStatus80;
  if (status & kAlmStatusWarningHigh) flags |= kAlmFlagHighSide;
  SendAlarmKind(Build(g_att.prefix, static_cast<uint16_t>(index + 1), 0, flags, value, computer, user));
  return 0;
}

int Alm_SendAlarmMsgLocal(int index, uint32_t status, int driveCommon, int priority, int delay) {
  AlmLocalNames names;
  return Alm_SendAlarmMsg(index, status, driveCommon, priority, delay, names.computer, names.user,
                          nullptr);
}

int Alm_SendAlarmMsgLocalNoDelay(int index, uint32_t status, int driveCommon, int priority) {
  return Alm_SendAlarmMsgLocal(index, status, driveCommon, priority, 0);
}

int Alm_SendAlarmClearMsgLocal(int index, uint32_t status) {
  AlmLocalNames names;
  return Alm_SendAlarmClearMsg(index, status, names.computer, names.user, nullptr);
}

int Alm_SendWarningMsgLocal(int index, uint32_t status, int priority) {
  AlmLocalNames names;
  return Alm_SendWarningMsg(index, status, priority, names.computer, names.user, nullptr);
}

int Alm_SendWarningClearMsgLocal(int index, uint32_t status) {
  AlmLocalNames names;
  return Alm_SendWarningClearMsg(index, status, names.computer, names.user, nullptr);
}

// ---- other kinds --------------------------------------------------------------

int Alm_SendTextMsg(const char* prefix, int number, const char* computer, const char* user,
                    const char* text) {
  if (!prefix) return plat::Fail(plat::kErrInvalidParameter), -1;
  AlarmMessage m = Build(prefix, static_cast<uint16_t>(number), 0, kAlmKindText, nullptr, computer, user);
  CopyCut(m.text, text, kAlmTextMax);
  return SendAndClose(m);
}

int Alm_SendTextMsgLocal(const char* prefix, int number) {
  AlmLocalNames names;
  return Alm_SendTextMsg(prefix, number, names.computer, names.user, "");
}

int Alm_SendOperatorMsg(const char* computer, const char* user) {
  return SendAndClose(Build("  ", 0, 0, kAlmKindOperator, nullptr, computer, user));
}

int Alm_SendOperatorMsgLocal() {
  AlmLocalNames names;
  return Alm_SendOperatorMsg(names.computer, names.user);
}

int Alm_SendKind6Msg(const char* prefix, int number, const char* computer, const char* user) {
  if (!prefix) return plat::Fail(plat::kErrInvalidParameter), -1;
  return SendAndClose(Build(prefix, static_cast<uint16_t>(number), 0, kAlmKind6, nullptr, computer, user));
}

int Alm_SendKind7Msg(const char* prefix, int number, const char* computer, const char* user) {
  if (!prefix) return plat::Fail(plat::kErrInvalidParameter), -1;
  return SendAndClose(Build(prefix, static_cast<uint16_t>(number), 0, kAlmKind7, nullptr, computer, user));
}

int Alm_SendKind6MsgLocal(const char* prefix, int number) {
  AlmLocalNames names;
  return Alm_SendKind6Msg(prefix, number, names.computer, names.user);
}

int Alm_SendKind7MsgLocal(const char* prefix, int number) {
  AlmLocalNames names;
  return Alm_SendKind7Msg(prefix, number, names.computer, names.user);
}

int Alm_SendMarkedAlarmMsg(int number, uint32_t status, const char* computer, const char* user,
                           const float* value) {
  if (!g_att.on) return plat::Fail(plat::kErrInvalidFunction), -1;
  uint32_t flags = kAlmKindAlarm;
  if (status & kAlmStatus80) flags |= kAlmFlagStatus80;
  AlarmMessage m = Build(g_att.prefix, static_cast<uint16_t>(number), 0, flags, value, computer, user);
  m.marked = kAlmMarked;
  SendAlarmKind(m);
  return 0;
}

// ---- mailslots ---------------------------------------------------------------

int Alm_OpenAlarmMailslot() { return OpenReceiver(g_alarm); }
int Alm_OpenDerivedMailslot() { return OpenReceiver(g_derived); }

int Alm_CloseAlarmMailslot() {
  CloseReceiver(g_alarm);
  g_alarm.triedOnce = false;
  return 0;
}

int Alm_CloseDerivedMailslot() {
  CloseReceiver(g_derived);
  g_derived.triedOnce = false;
  return 0;
}

// ---- trigger bookkeeping -------------------------------------------------------

int Alm_Attach(const uint8_t* valuesData) {
  if (!valuesData) return plat::Fail(plat::kErrInvalidParameter), -1;
  if (g_att.on) return plat::Fail(plat::kErrBusy), -1;
  char prefix[3] = {static_cast<char>(valuesData[0]), static_cast<char>(valuesData[1]), 0};
  DataModuleHeader* eventModule = Drv_OpenEventModule(prefix);
  if (!eventModule) return plat::Fail(0), -1;
  if (DM_Lock(eventModule) != 0) return -1;
  uint16_t channels;
  std::memcpy(&channels, valuesData + 4, 2);
  g_att.on = true;
  g_att.prefix[0] = prefix[0];
  g_att.prefix[1] = prefix[1];
  g_att.channels = channels;
  g_att.rowLength = Drv_EventRowLength(channels);
  g_att.eventModule = eventModule;
  g_att.hits = 0;
  Drv_OpenLoggerTable();
  return 0;
}

int Alm_IsEventChannel(int index) {
  if (!g_att.on || index < 0 || index >= g_att.channels) return 0;
  if (!Drv_EventBitTest(g_att.eventModule, g_att.rowLength, 0, index)) return 0;
  ++g_att.hits;
  return 1;
}

namespace {
// Adds delta to the chosen count of every logger whose row marks the channel.
void CountForLoggers(int index, int32_t* counts, int delta) {
  const int loggers = LoggerCount();
  for (int i = 0; i < loggers; ++i) {
    if (Drv_EventBitTest(g_att.eventModule, g_att.rowLength, 1 + i, index)) counts[i] += delta;
  }
}
}  // namespace

int Alm_CountTriggerUp(int index) {
  if (CheckIndex(index) != 0) return -1;
  Alm_IsEventChannel(index);
  CountForLoggers(index, g_triggers, 1);
  return 0;
}

int Alm_CountTriggerDown(int index) {
  if (CheckIndex(index) != 0) return -1;
  Alm_IsEventChannel(index);
  CountForLoggers(index, g_triggers, -1);
  return 0;
}

int Alm_CountTriggerForced(int index) {
  if (CheckIndex(index) != 0) return -1;
  CountForLoggers(index, g_forced, 1);
  return 0;
}

int Alm_FlushLoggerTriggers() {
  if (!g_att.on) return plat::Fail(plat::kErrInvalidFunction), -1;
  const int savedErrno = errno;
  const uint32_t savedLast = plat::GetLastError();
  const int loggers = LoggerCount();
  for (int i = 0; i < loggers; ++i) {
    if (g_triggers[i] == 0 && g_forced[i] == 0) continue;
    const LoggerRecord* logger = Drv_GetLogger(i + 1);
    // A pid of 0 or less names no process: a signal there would reach the
    // sender itself or nobody.
    if (logger && logger->enabled && logger->pid > 0) {
      uint32_t code = kAlmTriggerBase + static_cast<uint32_t>(g_triggers[i]);
      if (g_forced[i] != 0) code += kAlmTriggerForced;
      DM_SendSignal(logger->pid, code);  // after the unlock below
    }
  }
  // Every count goes back to 0, also those of loggers beyond the table now
  // (the table may have shrunk since they were counted).
  std::memset(g_triggers, 0, sizeof g_triggers);
  std::memset(g_forced, 0, sizeof g_forced);
  // The notice is kept behind the triggers; both go out when this thread's
  // last module lock is released (this one, or the caller's values module).
  if (g_att.hits > 0) SendDerivedNotice(g_att.prefix);
  DM_Unlock(g_att.eventModule);
  g_att = Attached{};
  errno = savedErrno;
  plat::SetLastError(savedLast);
  return 0;
}

bool Alm_IsAttached() { return g_att.on; }

void Alm_ResetProcessState() {
  if (g_att.on) DM_Unlock(g_att.eventModule);
  g_att = Attached{};
  std::memset(g_triggers, 0, sizeof g_triggers);
  std::memset(g_forced, 0, sizeof g_forced);
  Alm_CloseAlarmMailslot();
  Alm_CloseDerivedMailslot();
  g_alarm.lastFailMs = 0;
  g_derived.lastFailMs = 0;
}
