#include "scanner/qd_eval.h"

#include <cmath>
#include <cstring>

#include "cdxlib/sys/floatstate.h"


float Eval_UnsetValue() {
  float f;
  std::memcpy(&f, &kUnsetValueBits, 4);
  return f;
}

bool Eval_IsUnset(float v) {
  uint32_t bits;
  std::memcpy(&bits, &v, 4);
  return bits == kUnsetValueBits;
}

namespace {

bool Flag(const ChannelConfig& cfg, int index) { return Chan_TestFlag(cfg, index); }

float Mul(float a, float b) { return Flt_Mul(&a, &b); }
float Add(float a, float b) { return Flt_Add(&a, &b); }
float Sub(float a, float b) { return Flt_Sub(&a, &b); }

float Scaled(const ChannelConfig& cfg, float raw, float tare) {
  float v = raw;
  if (Flag(cfg, kAiScalingEnable) && cfg.Type != kKindAO) {
    v = Add(Mul(v, cfg.analog.Gain), cfg.analog.Offset);
  }
  if (cfg.Type == kKindAI && Flag(cfg, kAiReferenceEnable)) v = Sub(v, tare);
  return v;
}

// Alarm messages and the logger trigger counts, common to both kinds.
void AnnounceAlarm(const ChannelConfig& cfg, int m, ChannelEval* ch, const float* value, ScanNotices& out) {
  uint32_t now = ch->status, old = ch->oldStatus;
  bool changed = ((now ^ old) & kStAlarm) ||
                 ((now & old & kStAlarm) && ((now ^ old) & (kStAlarmHigh | kStBad)));
  if (!changed) return;
  if (old & kStAlarm) out.AlarmCleared(m, old, value);
  if (!(now & kStAlarm)) return;
  now &= ~kStAlarmAnnounced;
  int priority, delay, driveCommon;
  bool bad = now & kStBad;
  if (Chan_IsDigital(cfg.Type)) {
    if (bad) {
      priority = cfg.digital.ErrorAlarmPriority;
      delay = cfg.digital.ErrorAlarmDelay;
      driveCommon = Flag(cfg, kDiErrorAlarmDriveCommon);
    } else {
      priority = cfg.digital.AlarmPriority;
      delay = cfg.digital.AlarmDelay;
      driveCommon = Flag(cfg, kDiAlarmDriveCommon);
    }
  } else if (bad) {
    priority = cfg.analog.ErrorAlarmPriority;
    delay = cfg.analog.ErrorAlarmDelay;
    driveCommon = Flag(cfg, kAiErrorAlarmDriveCommon);
  } else if (now & kStAlarmHigh) {
    priority = cfg.analog.HighAlarmPriority;
    delay = cfg.analog.HighAlarmDelay;
    driveCommon = Flag(cfg, kAiHighAlarmDriveCommon);
  } else {
    priority = cfg.analog.LowAlarmPriority;
    delay = cfg.analog.LowAlarmDelay;
    driveCommon = Flag(cfg, kAiLowAlarmDriveCommon);
  }
  if (delay == 0) now |= kStAlarmAnnounced;
  out.AlarmRaised(m, now, driveCommon, priority, delay, value);
  if (delay == 0) now |= kStDelay0Sent;
  ch->status = now;
}

void CountTriggers(const ChannelConfig& cfg, int m, bool first, const ChannelEval& ch, ScanNotices& out) {
  int eventEnable = Chan_IsDigital(cfg.Type) ? int(kDiEventEnable) : int(kAiEventEnable);
  if (!first && !Flag(cfg, eventEnable)) return;
  uint32_t now = ch.status, old = ch.oldStatus;
  bool changed = ((now ^ old) & kStEvent) || ((now & old & kStEvent) && ((now ^ old) & kStEventHigh));
  if (!changed) return;
  if (old & kStEvent) out.TriggerDown(m);
  if (now & kStEvent) out.TriggerUp(m);
}

void EvalDigital(const ChannelConfig& cfg, int m, bool first, ChannelEval* ch, ScanNotices& out) {
  uint32_t old = ch->oldStatus;
  uint32_t& s = ch->status;
  bool oldBad = old & kStBad, bad = s & kStBad;
  if (!first && !oldBad && !bad && ((old ^ s) & kStState) == 0) {
    s = old;
    return;
  }
  // Still bad: the old status (with its alarm) stands. Not on the first scan,
  // which announces the current state: after the reset every channel's old
  // status is bad, so a channel bad from the start would never raise its
  // error alarm.
  if (!first && oldBad && bad) {
    s = old;
    return;
  }
  if (!bad) out.OutputsChanged(cfg.Type);
  uint32_t state = s & kStState;
  if (Flag(cfg, kDiAlarmEnable) && !bad && state == (Flag(cfg, kDiAlarmState) ? 1u : 0u)) {
    s = (s | kStAlarm) & ~kStAlarmHigh;
    if (state) s |= kStAlarmHigh;
  } else if (bad && Flag(cfg, kDiEnable) && Flag(cfg, kDiErrorAlarmEnable)) {
    s = (s | kStAlarm) & ~kStAlarmHigh;
  } else {
    s &= ~(kStAlarm | kStAlarmAnnounced);
  }
  if (Flag(cfg, kDiEventEnable) && !bad && state == (Flag(cfg, kDiEventState) ? 1u : 0u)) {
    s = (s | kStEvent) & ~kStEventHigh;
    if (state) s |= kStEventHigh;
  } else {
    s &= ~kStEvent;
  }
  AnnounceAlarm(cfg, m, ch, nullptr, out);
  CountTriggers(cfg, m, first, *ch, out);
}

void EvalAnalog(const ChannelConfig& cfg, int m, bool first, ChannelEval* ch, ScanNotices& out) {
  const AnalogChannelPart& a = cfg.analog;
  uint32_t old = ch->oldStatus;
  uint32_t& s = ch->status;
  if (!(s & kStBad) && !std::isfinite(ch->raw)) s |= kStBad;
  bool bad = s & kStBad;
  bool oldBad = old & kStBad;
  // A bad reading leaves the published value as it was.
  float v = bad ? ch->published : Scaled(cfg, ch->raw, ch->tare);
  if (!bad && !std::isfinite(v)) {
    s |= kStBad;
    bad = true;
    v = ch->published;
  }

  if (!Flag(cfg, kAiSigChangeEnable) || bad || Eval_IsUnset(ch->lastReported)) {
    s &= ~kStState;
    if (!bad) ch->lastReported = v;
  } else {
    float diff = Sub(ch->lastReported, v);
    if (std::fabs(diff) >= std::fabs(a.SigChangeValue)) {
      s |= kStState;
      out.TriggerForced(m);
      ch->lastReported = v;
    } else {
      s &= ~kStState;
    }
  }

  if (!first) {
    if (oldBad && bad) return;
    if (!oldBad && !bad && v == ch->published) return;
  }
  ch->published = v;

  bool hiWarn = Flag(cfg, kAiHighWarningEnable) && Flag(cfg, kAiHighAlarmEnable);
  bool loWarn = Flag(cfg, kAiLowWarningEnable) && Flag(cfg, kAiLowAlarmEnable);
  if (bad) {
    s &= ~kStWarning;
  } else {
    out.OutputsChanged(cfg.Type);
    if (hiWarn && (v >= a.HighWarningLimit ||
                   (Flag(cfg, kAiHighAlarmDeadbandEnable) && (old & 0x600) == 0x600 &&
                    v >= a.HighWarningLimit - (a.HighAlarmLimit - a.HighAlarmDeadband)))) {
      s |= kStWarning | kStWarnHigh;
    } else {
      s &= ~kStWarning;
      if (loWarn && (v <= a.LowWarningLimit ||
                     (Flag(cfg, kAiLowAlarmDeadbandEnable) && (old & 0x600) == kStWarning &&
                      v <= a.LowWarningLimit + (a.LowAlarmDeadband - a.LowAlarmLimit)))) {
        s = (s | kStWarning) & ~kStWarnHigh;
      }
    }
  }

  const float* value = bad ? nullptr : &v;
  bool warnChanged = ((s ^ old) & kStWarning) || ((s & old & kStWarning) && ((s ^ old) & kStWarnHigh));
  if (first || ((hiWarn || loWarn) && warnChanged)) {
    if (old & kStWarning) out.WarningCleared(m, old, value);
    if (s & kStWarning)
      out.WarningRaised(m, s, (s & kStWarnHigh) ? a.HighAlarmPriority : a.LowAlarmPriority, value);
  }

  if (bad) {
    if (Flag(cfg, kAiErrorAlarmEnable) && Flag(cfg, kAiEnable))
      s = (s | kStAlarm) & ~kStAlarmHigh;
    else
      s &= ~(kStAlarm | kStAlarmAnnounced);
  } else if (Flag(cfg, kAiHighAlarmEnable) && v >= a.HighAlarmLimit) {
    s |= kStAlarm | kStAlarmHigh;
  } else if (Flag(cfg, kAiHighAlarmDeadbandEnable) && (old & 0x804) == 0x804 && v >= a.HighAlarmDeadband) {
    s |= kStAlarm | kStAlarmHigh;
  } else if (Flag(cfg, kAiLowAlarmEnable) && v <= a.LowAlarmLimit) {
    s = (s | kStAlarm) & ~kStAlarmHigh;
  } else if (Flag(cfg, kAiLowAlarmDeadbandEnable) && (old & (kStAlarm | kStAlarmHigh | kStBad)) == kStAlarm &&
             v <= a.LowAlarmDeadband) {
    // Held only after a low alarm: an error alarm (a bad old reading) is no
    // low alarm, and a value that never reached the limit raises none.
    s = (s | kStAlarm) & ~kStAlarmHigh;
  } else {
    s &= ~(kStAlarm | kStAlarmAnnounced);
  }

  s &= ~kStEvent;
  if (Flag(cfg, kAiEventEnable) && !bad) {
    if (v >= a.HighEventLimit)
      s |= kStEvent | kStEventHigh;
    else if (v <= a.LowEventLimit)
      s = (s | kStEvent) & ~kStEventHigh;
  }

  AnnounceAlarm(cfg, m, ch, value, out);
  CountTriggers(cfg, m, first, *ch, out);
}

}  // namespace

float Eval_ScaledValue(const ChannelConfig& cfg, float raw, float tare) { return Scaled(cfg, raw, tare); }

void Eval_Channel(const ChannelConfig& cfg, int m, bool first, ChannelEval* ch, ScanNotices& out) {
  ch->status = (ch->status & ~kStCarried) | (ch->oldStatus & kStCarried);
  bool digital = Chan_IsDigital(cfg.Type);
  if (!Flag(cfg, digital ? int(kDiEnable) : int(kAiEnable))) {
    ch->status |= kStBad;
    if (!first) return;
  }
  if (digital)
    ch->status &= ~kStAnalog;
  else
    ch->status |= kStAnalog;
  if (digital)
    EvalDigital(cfg, m, first, ch, out);
  else
    EvalAnalog(cfg, m, first, ch, out);
}
