// Per-channel evaluation of one scan: from a channel's raw reading and its
// previous published status to its new status and published value.
//
// The rules are those every driver of this kind shares: bad and analog
// marks, scaling, tare, significant change, warnings, alarms with deadbands
// and delays, events, and the logger trigger counts. They are pure over the
// channel's configuration record and its previous state; what the rules
// announce (alarm messages, trigger counts, the changed mark of the saved
// outputs) goes to a ScanNotices sink, which the publishing step forwards to
// the alarm layer while the path's modules are locked.
//
// The published value of an analog channel is always computed from the raw
// reading that the path handler decoded, never from an earlier published
// value, so gain, offset and tare act exactly once however many scans leave
// the reading untouched.
#pragma once
#include <cstdint>

#include "cdxlib/records/chanconfig.h"

// Channel status word bits.
enum ChannelStatusBit : uint32_t {
  kStState = 0x001,          // digital state; analog: significant change this scan
  kStAlarmAnnounced = 0x002,  // kept while an alarm is active
  kStAlarmHigh = 0x004,      // high alarm (analog), alarm state 1 (digital)
  kStEvent = 0x008,
  kStEventHigh = 0x010,
  kStBad = 0x020,
  kStDelay0Sent = 0x040,
  kStAnalog = 0x080,
  kStWarnHigh = 0x200,
  kStWarning = 0x400,
  kStAlarm = 0x800,
};
// Bits carried over from the previous published status at each evaluation.
constexpr uint32_t kStCarried = 0x002 | 0x040 | 0x100 | 0x1000;

// The "not yet reported" pattern of the last reported analog value.
constexpr uint32_t kUnsetValueBits = 0x7FFFFFFFu;
float Eval_UnsetValue();
bool Eval_IsUnset(float v);

// What the rules announce. Channel indexes are 0-based; value is null when
// the reading is bad.
class ScanNotices {
 public:
  virtual ~ScanNotices() = default;
  virtual void AlarmRaised(int m, uint32_t status, int driveCommon, int priority, int delay,
                           const float* value) = 0;
  virtual void AlarmCleared(int m, uint32_t oldStatus, const float* value) = 0;
  virtual void WarningRaised(int m, uint32_t status, int priority, const float* value) = 0;
  virtual void WarningCleared(int m, uint32_t oldStatus, const float* value) = 0;
  virtual void TriggerUp(int m) = 0;
  virtual void TriggerDown(int m) = 0;
  virtual void TriggerForced(int m) = 0;
  // A channel of this sub-type had a good new reading (saved outputs).
  virtual void OutputsChanged(int subType) = 0;
};

// The state of one channel around one evaluation.
struct ChannelEval {
  uint32_t status;        // in: the handler's working word; out: the new status
  uint32_t oldStatus;     // the previous published status
  float raw;              // analog: the decoded raw reading
  float published;        // in: the previous published value; out: the new one
  float lastReported;     // analog: last value that counted as a significant change
  float tare;             // analog input with ReferenceEnable: the saved offset
};

// Evaluates channel m (0-based) of configuration cfg. first: the first scan
// after initialisation or reconfiguration, which announces the current state.
void Eval_Channel(const ChannelConfig& cfg, int m, bool first, ChannelEval* ch, ScanNotices& out);

// The published value of an analog reading before any status rule: scaled
// (not for analog outputs) and tared (analog inputs with ReferenceEnable).
float Eval_ScaledValue(const ChannelConfig& cfg, float raw, float tare);
