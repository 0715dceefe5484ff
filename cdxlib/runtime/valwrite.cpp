#include "cdxlib/runtime/valwrite.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "cdxlib/runtime/alarms.h"
#include "cdxlib/records/chanconfig.h"
#include "cdxlib/shm/datamodule.h"
#include "cdxlib/shm/drvtables.h"
#include "cdxlib/shm/signals.h"
#include "platform/error.h"

namespace {

bool g_notifyOthersDigital = false;
bool g_notifyOthersAnalog = false;

// Channel kinds a write may touch.
constexpr uint8_t kWritableDigital = kKindDO;
constexpr uint8_t kWritableAnalog = kKindAO;

// Flag word bits (the little-endian u32 at byte 28 of a ChannelConfig).
namespace dflag {
constexpr uint32_t kEnable = 0x1, kAlarmDriveCommon = 0x2, kEventEnable = 0x4, kAlarmEnable = 0x8,
                   kEventState = 0x10, kAlarmState = 0x20;
}
namespace aflag {
constexpr uint32_t kEnable = 0x1, kEventEnable = 0x2, kHighAlarmEnable = 0x4,
                   kHighAlarmDeadbandEnable = 0x8, kHighAlarmDriveCommon = 0x10,
                   kLowAlarmEnable = 0x20, kLowAlarmDeadbandEnable = 0x40,
                   kLowAlarmDriveCommon = 0x80, kSigChangeEnable = 0x100,
                   kHighWarningEnable = 0x800, kLowWarningEnable = 0x1000;
}

uint32_t FlagWord(const ChannelConfig& c) {
  uint32_t w;
  std::memcpy(&w, c.Flags, 4);
  return w;
}

uint8_t* DataOf(DataModuleHeader* m) { return reinterpret_cast<uint8_t*>(m) + kDmDataOffset; }

// Everything one write works on, found and checked before anything changes.
struct Target {
  DataModuleHeader* values = nullptr;
  uint8_t* data = nullptr;
  int kind = 0;
  int channels = 0;
  const uint8_t* conf = nullptr;  // ChannelConfig records, channel 1 first
  bool records = false;           // value records are filled (analog)
};

// The checks of both write kinds. 0 with *t filled, or -1 with the error set.
int Prepare(const char* prefix, int first, int last, bool analog, Target* t) {
  if (!prefix || !prefix[0] || !prefix[1]) return plat::Fail(plat::kErrInvalidParameter), -1;
  t->values = Drv_OpenDataModule(prefix);
  if (!t->values) return plat::Fail(0), -1;
  t->kind = Drv_GetKind(prefix);
  if (t->kind == -1) return plat::Fail(0), -1;
  t->data = DataOf(t->values);
  const uint32_t valuesSize = DM_DataBound(t->values);
  if (valuesSize < kDrvValueWordsOffset) return plat::Fail(plat::kErrBadNetName), -1;
  const auto* head = reinterpret_cast<const DriverValuesHeader*>(t->data);
  t->channels = head->channelCount;
  if (first < 1 || last < 1 || first > t->channels || last > t->channels || first > last) {
    return plat::Fail(plat::kErrBadNetName), -1;
  }
  uint32_t valueKind = head->valueKind;
  if (analog) {
    if (valueKind != 8) return plat::Fail(plat::kErrBadNetName), -1;
    const int rec = Drv_UsesValueRecords(prefix);
    if (rec == -1) return plat::Fail(0), -1;
    t->records = rec > 0;
  } else if (valueKind != 8) {
    valueKind = 4;  // a digital write reads only the words
  }
  const uint32_t n = static_cast<uint32_t>(t->channels);
  if (valuesSize < Drv_ValuesDataSize(n, valueKind, t->records)) {
    return plat::Fail(plat::kErrBadNetName), -1;
  }
  DataModuleHeader* conf = Drv_OpenConfModule(prefix);
  if (!conf) return plat::Fail(0), -1;
  if (DM_DataBound(conf) < n * kDrvChannelConfigSize) return plat::Fail(plat::kErrBadNetName), -1;
  t->conf = DataOf(conf);
  return 0;
}

ChannelConfig ConfigOf(const Target& t, int channel) {
  ChannelConfig c;
  std::memcpy(&c, t.conf + kDrvChannelConfigSize * (channel - 1), sizeof c);
  return c;
}

uint32_t* WordOf(const Target& t, int channel) {
  return reinterpret_cast<uint32_t*>(t.data + kDrvValueWordsOffset) + (channel - 1);
}

float* ValueOf(const Target& t, int channel) {
  return reinterpret_cast<float*>(t.data + kDrvValueWordsOffset + 4u * t.channels) + (channel - 1);
}

uint8_t* RecordOf(const Target& t, int channel) {
  return t.data + kDrvValueWordsOffset + 8u * t.channels + kDrvValueRecordSize * (channel - 1);
}

struct Names {
  const char* computer;
  const char* user;
};

// The alarm messages of one channel's alarm change: when the alarm was
// active and is no more, or changed side, the clear of the old state goes
// first; then the raise of the new one. Returns the new word (0x002 and
// 0x040 set for a raise without delay).
uint32_t AnnounceAlarm(int index, uint32_t old, uint32_t w, int driveCommon, int priority, int delay,
                       const Names& names, float value) {
  const bool changed = ((w ^ old) & kValAlarm) || ((w & kValAlarm) && ((w ^ old) & kValAlarmHigh));
  if (!changed) return w;
  if (old & kValAlarm) Alm_SendAlarmClearMsg(index, old, names.computer, names.user, &value);
  if (w & kValAlarm) {
    if (delay == 0) {
      w |= kValNoDelay;
    } else {
      w &= ~kValNoDelay;
    }
    Alm_SendAlarmMsg(index, w, driveCommon, priority, delay, names.computer, names.user, &value);
    if (delay == 0) w |= kValNoDelayReported;
  }
  return w;
}

// Logger trigger counts of an event change.
void CountEventChange(int index, uint32_t old, uint32_t w) {
  const bool changed = ((w ^ old) & kValEvent) || ((w & kValEvent) && ((w ^ old) & kValEventHigh));
  if (!changed) return;
  if (old & kValEvent) Alm_CountTriggerDown(index);
  if (w & kValEvent) Alm_CountTriggerUp(index);
}

void WriteDigitalChannel(const Target& t, int channel, bool force, uint32_t given, const Names& names) {
  const ChannelConfig c = ConfigOf(t, channel);
  if (c.Type != kWritableDigital) return;
  const uint32_t flags = FlagWord(c);
  const bool enabled = flags & dflag::kEnable;
  uint32_t* word = WordOf(t, channel);
  const uint32_t old = *word;
  const uint32_t state = given & 1u;
  if (!(force || !enabled || (old & kValBad) || state != (old & kValState))) return;
  if (t.kind != 1 || (!force && (old & kValBad))) {
    *word = (old & ~kValState) | state;
    return;
  }
  const int index = channel - 1;
  uint32_t w = old & ~(kValAnalog | kValBad);
  if (!enabled) w |= kValBad;

  const uint32_t alarmState = (flags & dflag::kAlarmState) ? 1u : 0u;
  if (enabled && (flags & dflag::kAlarmEnable) && state == alarmState) {
    w |= kValAlarm;
    w = state ? (w | kValAlarmHigh) : (w & ~kValAlarmHigh);
  } else {
    w &= ~(kValAlarm | kValAnalog | kValNoDelay);
  }
  w = AnnounceAlarm(index, old, w, (flags & dflag::kAlarmDriveCommon) ? 1 : 0, c.digital.AlarmPriority,
                    c.digital.AlarmDelay, names, state ? 1.0f : 0.0f);

  const uint32_t eventState = (flags & dflag::kEventState) ? 1u : 0u;
  if (enabled && (flags & dflag::kEventEnable) && state == eventState) {
    w |= kValEvent;
    w = state ? (w | kValEventHigh) : (w & ~kValEventHigh);
  } else {
    w &= ~kValEvent;
  }
  CountEventChange(index, old, w);

  *word = (w & ~kValState) | state;
}

// Alarm, warning, event and significant-change evaluation of one analog
// write (kind 1, force or a good channel). Returns the new word.
uint32_t EvaluateAnalog(const ChannelConfig& c, int index, uint32_t old, float stored, float v,
                        const Names& names) {
  const uint32_t f = FlagWord(c);
  const AnalogChannelPart& a = c.analog;
  const bool enabled = f & aflag::kEnable;
  uint32_t w = old | kValAnalog;
  w = enabled ? (w & ~kValBad) : (w | kValBad);

  // Significant change against the stored value.
  if (enabled && !(old & kValBad) && (f & aflag::kSigChangeEnable)) {
    if (std::fabs(stored - v) >= std::fabs(a.SigChangeValue)) {
      w |= kValState;
      Alm_CountTriggerForced(index);
    } else {
      w &= ~kValState;
    }
  } else {
    w &= ~kValState;
  }

  // Warnings, held by the alarm deadbands.
  const bool highAlarm = f & aflag::kHighAlarmEnable, lowAlarm = f & aflag::kLowAlarmEnable;
  const bool highDb = f & aflag::kHighAlarmDeadbandEnable, lowDb = f & aflag::kLowAlarmDeadbandEnable;
  const bool highWarn = f & aflag::kHighWarningEnable, lowWarn = f & aflag::kLowWarningEnable;
  if (enabled && (highWarn || lowWarn)) {
    const bool wasHigh = (old & (kValWarning | kValWarningHigh)) == (kValWarning | kValWarningHigh);
    const bool wasLow = (old & (kValWarning | kValWarningHigh)) == kValWarning;
    if ((highWarn && highAlarm && v >= a.HighWarningLimit) ||
        (highDb && wasHigh && v >= a.HighWarningLimit - (a.HighAlarmLimit - a.HighAlarmDeadband))) {
      w |= kValWarning | kValWarningHigh;
    } else if ((lowWarn && lowAlarm && v <= a.LowWarningLimit) ||
               (lowDb && wasLow && v <= a.LowWarningLimit + (a.LowAlarmDeadband - a.LowAlarmLimit))) {
      w = (w | kValWarning) & ~kValWarningHigh;
    } else {
      w &= ~kValWarning;
    }
  } else {
    w &= ~kValWarning;
  }
  const bool warnChanged =
      ((w ^ old) & kValWarning) || ((w & kValWarning) && ((w ^ old) & kValWarningHigh));
  if (warnChanged) {
    if (old & kValWarning) Alm_SendWarningClearMsg(index, old, names.computer, names.user, &v);
    if (w & kValWarning) {
      const int priority = (w & kValWarningHigh) ? a.HighAlarmPriority : a.LowAlarmPriority;
      Alm_SendWarningMsg(index, w, priority, names.computer, names.user, &v);
    }
  }

  // Alarms: the high side first; a deadband holds an active alarm of its side.
  if (!enabled || !(highAlarm || lowAlarm)) {
    w &= ~(kValAlarm | kValNoDelayReported | kValNoDelay);
  } else {
    const bool wasHigh = (old & (kValAlarm | kValAlarmHigh)) == (kValAlarm | kValAlarmHigh);
    const bool wasLow = (old & (kValAlarm | kValAlarmHigh)) == kValAlarm;
    const bool inHigh = highAlarm && (v >= a.HighAlarmLimit || (highDb && wasHigh && v >= a.HighAlarmDeadband));
    if (inHigh) {
      w |= kValAlarm | kValAlarmHigh;
    } else {
      w &= ~(kValAlarm | kValNoDelay);
      if (lowAlarm && (v <= a.LowAlarmLimit || (lowDb && wasLow && v <= a.LowAlarmDeadband))) {
        w = ((w | kValAlarm) & ~kValAlarmHigh) | (old & kValNoDelay);
      }
    }
  }
  const bool high = w & kValAlarmHigh;
  w = AnnounceAlarm(index, old, w,
                    high ? ((f & aflag::kHighAlarmDriveCommon) ? 1 : 0) : ((f & aflag::kLowAlarmDriveCommon) ? 1 : 0),
                    high ? a.HighAlarmPriority : a.LowAlarmPriority, high ? a.HighAlarmDelay : a.LowAlarmDelay,
                    names, v);

  // Events.
  if (enabled && (f & aflag::kEventEnable)) {
    if (v >= a.HighEventLimit) {
      w |= kValEvent | kValEventHigh;
    } else if (v > a.LowEventLimit) {
      w &= ~kValEvent;
    } else {
      w = (w | kValEvent) & ~kValEventHigh;
    }
  } else {
    w &= ~kValEvent;
  }
  CountEventChange(index, old, w);
  return w;
}

void WriteAnalogChannel(const Target& t, int channel, bool force, float v, const Names& names) {
  const ChannelConfig c = ConfigOf(t, channel);
  if (c.Type != kWritableAnalog) return;
  const bool enabled = FlagWord(c) & aflag::kEnable;
  uint32_t* word = WordOf(t, channel);
  float* value = ValueOf(t, channel);
  const uint32_t old = *word;
  const float stored = *value;
  if (!(force || !enabled || (old & kValBad) || v != stored)) return;
  if (t.kind == 1 && (force || !(old & kValBad))) {
    *word = EvaluateAnalog(c, channel - 1, old, stored, v, names);
  }
  *value = v;
  if (t.records) {
    uint8_t* rec = RecordOf(t, channel);
    const uint16_t recordKind = 4;
    std::memcpy(rec, &recordKind, 2);
    std::memcpy(rec + 8, &v, 4);
  }
}

// The frame common to both kinds: lock, attach, the channels, flush and
// notify (kind 1) or signal the owner, unlock. Whatever the write sends to
// other processes (alarm messages, logger triggers, the derived notice, the
// notifications, code 305) goes out once the last module lock is released,
// in the order the write made it: the scanner and every other writer wait
// on this lock, and a receiver may be stopped.
template <typename Step>
int RunWrite(const char* prefix, const Target& t, int /*channels*/, bool lock, bool notifyOthers, Step step) {
  if (lock && DM_Lock(t.values) != 0) return -1;
  if (t.kind == 1) {
    // Attach before the pending mark: a refused attach leaves no pending
    // update behind that no notification would ever lower.
    if (Alm_Attach(t.data) != 0) {
      const uint32_t err = plat::GetLastError();
      if (lock) DM_Unlock(t.values);
      return plat::Fail(err), -1;
    }
    DM_MarkPending(t.values);
  }
  step();
  if (t.kind == 1) {
    Alm_FlushLoggerTriggers();
    if (notifyOthers) {
      DM_NotifyOthers(t.values, 0);
    } else {
      DM_Notify(t.values, 0);
    }
  } else {
    const int32_t owner = Drv_GetOwnerPid(prefix);
    if (owner > 0) DM_SendSignal(owner, kValWrittenSignal);
  }
  if (lock) DM_Unlock(t.values);
  plat::Fail(0);
  return 0;
}


}  // namespace

int Val_WriteDigitalEx(int force, int lock, const char* prefix, int first, int last,
                       const uint32_t* values, const char* computer, const char* user) {
  if (!values) return plat::Fail(plat::kErrInvalidParameter), -1;
  Target t;
  if (Prepare(prefix, first, last, false, &t) != 0) return -1;
  const Names names{computer, user};
  return RunWrite(prefix, t, last - first + 1, lock != 0, g_notifyOthersDigital, [&] {
    for (int ch = first; ch <= last; ++ch) WriteDigitalChannel(t, ch, force != 0, values[ch - first], names);
  });
}

int Val_WriteAnalogEx(int force, int lock, const char* prefix, int first, int last, const float* values,
                      const char* computer, const char* user) {
  if (!values) return plat::Fail(plat::kErrInvalidParameter), -1;
  Target t;
  if (Prepare(prefix, first, last, true, &t) != 0) return -1;
  // A NaN or an infinity would compare unequal to everything for ever and
  // poison every limit test: refuse the whole write.
  for (int i = 0; i <= last - first; ++i) {
    if (!std::isfinite(values[i])) return plat::Fail(plat::kErrInvalidParameter), -1;
  }
  const Names names{computer, user};
  return RunWrite(prefix, t, last - first + 1, lock != 0, g_notifyOthersAnalog, [&] {
    for (int ch = first; ch <= last; ++ch) WriteAnalogChannel(t, ch, force != 0, values[ch - first], names);
  });
}

int Val_WriteDigital(const char* prefix, int first, int last, const uint32_t* values) {
  AlmLocalNames n;
  return Val_WriteDigitalEx(0, 1, prefix, first, last, values, n.computer, n.user);
}
int Val_WriteDigitalAs(const char* prefix, int first, int last, const uint32_t* values,
                       const char* computer, const char* user) {
  return Val_WriteDigitalEx(0, 1, prefix, first, last, values, computer, user);
}
int Val_ForceDigital(const char* prefix, int first, int last, const uint32_t* values) {
  AlmLocalNames n;
  return Val_WriteDigitalEx(1, 1, prefix, first, last, values, n.computer, n.user);
}
int Val_WriteDigitalLocked(const char* prefix, int first, int last, const uint32_t* values) {
  AlmLocalNames n;
  return Val_WriteDigitalEx(0, 0, prefix, first, last, values, n.computer, n.user);
}
int Val_WriteAnalog(const char* prefix, int first, int last, const float* values) {
  AlmLocalNames n;
  return Val_WriteAnalogEx(0, 1, prefix, first, last, values, n.computer, n.user);
}
int Val_WriteAnalogAs(const char* prefix, int first, int last, const float* values,
                      const char* computer, const char* user) {
  return Val_WriteAnalogEx(0, 1, prefix, first, last, values, computer, user);
}
int Val_ForceAnalog(const char* prefix, int first, int last, const float* values) {
  AlmLocalNames n;
  return Val_WriteAnalogEx(1, 1, prefix, first, last, values, n.computer, n.user);
}
int Val_WriteAnalogLocked(const char* prefix, int first, int last, const float* values) {
  AlmLocalNames n;
  return Val_WriteAnalogEx(0, 0, prefix, first, last, values, n.computer, n.user);
}

void Val_SetNotifyOthersOnly(int on) { g_notifyOthersDigital = on != 0; }
void Val_SetNotifyOthersOnlyAnalog(int on) { g_notifyOthersAnalog = on != 0; }
