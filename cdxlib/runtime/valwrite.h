// Value writes: processes other than a channel's owner change channel
// values through these operations.
//
// A write puts a range of digital states or analog values into the driver's
// values module "dm_" + prefix. For modules of kind 1 (Drv_GetKind, the
// alarm-evaluating kind) the write evaluates each channel's alarms,
// warnings, events and significant changes against its ChannelConfig
// record, sends the alarm messages, counts the logger triggers and notifies
// the module's waiters; for other kinds it stores the values and sends the
// owning driver signal 305, so that the driver acts on them itself.
//
// Channels are 1-based, first..last inclusive. Before anything is touched a
// write checks: the values and "_conf" modules open (and, for kind 1, the
// event module); 1 <= first <= last <= channel count; every module is large
// enough for the channel count; for analog writes the value kind is 8, the
// value-record flag is readable and every value is finite. Any failing check
// gives -1 with errno (and the thread's last error) set and nothing changed:
// 0 for a missing module, 67 for a range or a module too small, 87 for a
// bad argument or a non-finite value.
//
// Lock order: the values module, then (kind 1) the event module from
// Alm_Attach to Alm_FlushLoggerTriggers.
//
// A write that takes the values module's lock itself (lock != 0) sends its
// alarm messages and the derived notice once the module is unlocked, in the
// order they were made, so that an alarm process that drains its mailslot
// slowly delays this write only. A write inside the caller's lock (lock ==
// 0) sends them at once, while the caller still holds the module.
#pragma once
#include <cstdint>

// Status-and-value word bits written here.
constexpr uint32_t kValState = 0x001;          // digital state / analog significant change
constexpr uint32_t kValNoDelay = 0x002;        // the alarm just raised has no delay
constexpr uint32_t kValAlarmHigh = 0x004;      // analog high side / digital alarm state
constexpr uint32_t kValEvent = 0x008;          // event active
constexpr uint32_t kValEventHigh = 0x010;      // analog high side / digital event state
constexpr uint32_t kValBad = 0x020;            // not enabled
constexpr uint32_t kValNoDelayReported = 0x040;
constexpr uint32_t kValAnalog = 0x080;         // analog: every evaluated write sets it
constexpr uint32_t kValWarningHigh = 0x200;
constexpr uint32_t kValWarning = 0x400;
constexpr uint32_t kValAlarm = 0x800;

// Signal sent to the owner of a module of another kind.
constexpr uint32_t kValWrittenSignal = 305;

// The general forms. force: evaluate and write every channel of the range,
// changed or not. lock: take the values module's lock for the whole write (0
// when the caller holds it). values: one per channel of the range (digital:
// bit 0 = the state). computer, user: the names the alarm messages carry
// (cut to 15 and 32 characters; null = empty). 0 or -1.
int Val_WriteDigitalEx(int force, int lock, const char* prefix, int first, int last,
                       const uint32_t* values, const char* computer, const char* user);
int Val_WriteAnalogEx(int force, int lock, const char* prefix, int first, int last,
                      const float* values, const char* computer, const char* user);

// Wrappers. Without computer and user, this machine's and user's names.
int Val_WriteDigital(const char* prefix, int first, int last, const uint32_t* values);
int Val_WriteDigitalAs(const char* prefix, int first, int last, const uint32_t* values,
                       const char* computer, const char* user);
int Val_ForceDigital(const char* prefix, int first, int last, const uint32_t* values);
int Val_WriteDigitalLocked(const char* prefix, int first, int last, const uint32_t* values);
int Val_WriteAnalog(const char* prefix, int first, int last, const float* values);
int Val_WriteAnalogAs(const char* prefix, int first, int last, const float* values,
                      const char* computer, const char* user);
int Val_ForceAnalog(const char* prefix, int first, int last, const float* values);
int Val_WriteAnalogLocked(const char* prefix, int first, int last, const float* values);

// Process-wide switches (both start off): when on, the notification at the
// end of a kind-1 write skips the writing process (DM_NotifyOthers) instead
// of serving every waiter (DM_Notify). One for digital, one for analog writes.
void Val_SetNotifyOthersOnly(int on);
void Val_SetNotifyOthersOnlyAnalog(int on);
