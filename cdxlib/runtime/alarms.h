// Alarm and derived-value messages, and logger trigger bookkeeping.
//
// Three parties hear of channel changes that a value write or a scan makes:
// - the alarm process ("dm_datproc" record "ALARM") receives one 296-byte
//   AlarmMessage per alarm or warning raised or cleared, on its mailslot
//   "xalarms";
// - the derived-value processor (record "DERIVED") receives the two-letter
//   prefix of a driver whose event channels changed, on its mailslot
//   "derived", once per batch;
// - every logger process whose row in the driver's event module marks a
//   changed channel receives the signal code 200000 + count (bit 31 set when
//   forced triggers are pending) at the end of the batch.
//
// A batch is bracketed by Alm_Attach (which locks the driver's event module)
// and Alm_FlushLoggerTriggers (which sends the triggers and unlocks it). The
// senders of the alarm kinds and the trigger counters need an attached
// driver; channel indexes are 0-based and go out as index + 1.
//
// Delivery: when the alarm process is configured but its mailslot cannot be
// opened, the senders return 0 without sending, and the next message tries
// the open again (at most once a second). A handle whose write fails is
// closed and opened afresh, and the message written once more. "derived"
// gets one non-blocking open attempt per flush, rate-limited the same way.
//
// Texts are single-byte (Windows-1252). Computer names are cut to 15
// characters, user names to 32, message texts to 226, so every field keeps
// its terminating zero.
//
// Threads: all state here is process-wide and unguarded; one thread of a
// process runs an attach-to-flush batch at a time. Processes are serialised
// on a driver by the event module's lock.
#pragma once
#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------------------
// The message record (written whole as one mailslot message; little-endian;
// every byte not named is 0).
struct AlarmMessage {
  char prefix[2];          // 0: driver prefix, no NUL; two blanks for operator messages
  uint16_t channel;        // 2: see Alm_* senders (bit 15: bad value, kinds 0 and 1)
  uint16_t argument;       // 4: the alarm delay for kind 0, else 0
  uint8_t reserved6[2];    // 6
  uint32_t flags;          // 8: kAlmFlag* below
  uint32_t valueBits;      // 12: the f32 value's bits, or kAlmNoValueBits
  char computer[16];       // 16: at most 15 characters
  char user[33];           // 32: at most 32 characters
  char text[227];          // 65: NUL-terminated (kind 2; empty otherwise)
  uint32_t marked;         // 292: bit 0: marked alarm
};
static_assert(sizeof(AlarmMessage) == 296);
static_assert(offsetof(AlarmMessage, prefix) == 0);
static_assert(offsetof(AlarmMessage, channel) == 2);
static_assert(offsetof(AlarmMessage, argument) == 4);
static_assert(offsetof(AlarmMessage, flags) == 8);
static_assert(offsetof(AlarmMessage, valueBits) == 12);
static_assert(offsetof(AlarmMessage, computer) == 16);
static_assert(offsetof(AlarmMessage, user) == 32);
static_assert(offsetof(AlarmMessage, text) == 65);
static_assert(offsetof(AlarmMessage, marked) == 292);

// Message kinds (flags bits 0-2).
enum AlarmKind : uint32_t {
  kAlmKindAlarm = 0,         // alarm raised (digital alarm, analog high or low alarm)
  kAlmKindAlarmClear = 1,    // alarm cleared
  kAlmKindText = 2,          // text message
  kAlmKindOperator = 3,      // operator message
  kAlmKindWarning = 4,       // analog warning raised
  kAlmKindWarningClear = 5,  // analog warning cleared
  kAlmKind6 = 6,             // further kinds, known by number only
  kAlmKind7 = 7,
};

// Flags word.
constexpr uint32_t kAlmFlagKindMask = 0x7;
constexpr uint32_t kAlmFlagStatus80 = 0x8;       // copy of status bit 0x080
constexpr uint32_t kAlmFlagHighSide = 0x10;      // status 0x004 (kinds 0, 1) / 0x200 (kinds 4, 5)
constexpr uint32_t kAlmFlagDriveCommon = 0x20;   // kind 0: the caller's drive-common flag
constexpr int kAlmFlagPriorityShift = 7;         // bits 7-14: priority (kinds 0, 4)
constexpr uint32_t kAlmFlagPriorityMask = 0xFFu << kAlmFlagPriorityShift;

constexpr uint16_t kAlmChannelBad = 0x8000;      // channel field: the value is bad
constexpr uint32_t kAlmNoValueBits = 0x7FFFFFFF; // value field when no value is given
constexpr uint32_t kAlmMarked = 0x1;             // field at 292

// Field limits (characters, without the terminating zero).
constexpr size_t kAlmComputerMax = 15;
constexpr size_t kAlmUserMax = 32;
constexpr size_t kAlmTextMax = 226;

// Value status bits read here (the channel's status-and-value word).
constexpr uint32_t kAlmStatusHighSide = 0x004;
constexpr uint32_t kAlmStatusBad = 0x020;
constexpr uint32_t kAlmStatus80 = 0x080;
constexpr uint32_t kAlmStatusWarningHigh = 0x200;

// Mailslot names of the two receivers, and their "dm_datproc" records.
constexpr const char* kAlmAlarmMailslot = "xalarms";
constexpr const char* kAlmDerivedMailslot = "derived";
constexpr const char* kAlmAlarmProgram = "ALARM";
constexpr const char* kAlmDerivedProgram = "DERIVED";

// Logger trigger codes.
constexpr uint32_t kAlmTriggerBase = 200000;
constexpr uint32_t kAlmTriggerForced = 0x80000000u;
constexpr int kAlmMaxLoggers = 2000;  // loggers beyond are not counted

// Least time between two open attempts of a receiver's mailslot.
constexpr int kAlmReopenIntervalMs = 1000;

// This machine's computer name and the process user's name, cut to the
// message fields (the names the local senders and the value writes use).
struct AlmLocalNames {
  char computer[kAlmComputerMax + 1] = {};
  char user[kAlmUserMax + 1] = {};
  AlmLocalNames();
};

// ---------------------------------------------------------------------------
// Senders of the alarm kinds. index: 0-based channel of the attached driver
// (below its channel count, else -1 with 87; -1 with 1 when nothing is
// attached). status: the channel's status word. computer and user may be
// null (empty). value: null for "no value".
//
// Kind 0: counts an event-channel hit first; 0 when the whole record was
// written (or the alarm process is not configured or not listening), -1 when
// a write failed twice (on a fresh handle the second time).
int Alm_SendAlarmMsg(int index, uint32_t status, int driveCommon, int priority, int delay,
                     const char* computer, const char* user, const float* value);
// Kind 1: counts an event-channel hit first; 0 whatever the write gives.
int Alm_SendAlarmClearMsg(int index, uint32_t status, const char* computer, const char* user,
                          const float* value);
// Kind 4: 0 or -1 as kind 0.
int Alm_SendWarningMsg(int index, uint32_t status, int priority, const char* computer,
                       const char* user, const float* value);
// Kind 5: 0 whatever the write gives.
int Alm_SendWarningClearMsg(int index, uint32_t status, const char* computer, const char* user,
                            const float* value);

// Local variants: this machine's computer and user names, no value.
int Alm_SendAlarmMsgLocal(int index, uint32_t status, int driveCommon, int priority, int delay);
int Alm_SendAlarmMsgLocalNoDelay(int index, uint32_t status, int driveCommon, int priority);
int Alm_SendAlarmClearMsgLocal(int index, uint32_t status);
int Alm_SendWarningMsgLocal(int index, uint32_t status, int priority);
int Alm_SendWarningClearMsgLocal(int index, uint32_t status);

// Other kinds. They need no attached driver, and close the alarm mailslot
// after sending, so the next message opens it afresh. All return 0, or -1
// for a null prefix.
// Kind 2: the text at 65, cut to 226 characters.
int Alm_SendTextMsg(const char* prefix, int number, const char* computer, const char* user,
                    const char* text);
int Alm_SendTextMsgLocal(const char* prefix, int number);  // empty text
// Kind 3: prefix two blanks, channel 0.
int Alm_SendOperatorMsg(const char* computer, const char* user);
int Alm_SendOperatorMsgLocal();
// Kinds 6 and 7.
int Alm_SendKind6Msg(const char* prefix, int number, const char* computer, const char* user);
int Alm_SendKind7Msg(const char* prefix, int number, const char* computer, const char* user);
int Alm_SendKind6MsgLocal(const char* prefix, int number);
int Alm_SendKind7MsgLocal(const char* prefix, int number);

// The marked alarm: kind 0 for the attached driver's prefix, the channel
// field = number unchanged, flags bit 3 from the status, the value, bit 0 at
// 292 set. 0, or -1 with 1 when nothing is attached (no prefix to send).
int Alm_SendMarkedAlarmMsg(int number, uint32_t status, const char* computer, const char* user,
                           const float* value);

// ---------------------------------------------------------------------------
// Mailslots of the two receivers.
// 0 when the handle is open (now or before); -1 when the receiver is not
// configured ("dm_datproc" record missing or its configured flag clear), or
// its mailslot does not open, or the last failed attempt is less than
// kAlmReopenIntervalMs ago.
int Alm_OpenAlarmMailslot();
int Alm_OpenDerivedMailslot();
// Close the handle and allow a new open at once. 0.
int Alm_CloseAlarmMailslot();
int Alm_CloseDerivedMailslot();

// ---------------------------------------------------------------------------
// Trigger bookkeeping.

// Attaches a driver: valuesData is the data area of its values module (the
// prefix at +0, the channel count as u16 at +4). Opens the driver's event
// module and takes its lock, held until Alm_FlushLoggerTriggers; opens the
// logger table. -1 with 0 when the event module does not exist, -1 with 170
// when a driver is attached already (attach cannot be nested), -1 with 87
// for a null pointer, -1 when the lock fails.
int Alm_Attach(const uint8_t* valuesData);
// 1 when the channel's bit of row 0 is set (and counts an event-channel
// hit), else 0.
int Alm_IsEventChannel(int index);
// For every logger whose row marks the channel, trigger count + 1 / - 1;
// counts an event-channel hit. -1 when nothing is attached or the index is
// out of range.
int Alm_CountTriggerUp(int index);
int Alm_CountTriggerDown(int index);
// For every logger whose row marks the channel, forced count + 1 (no hit).
int Alm_CountTriggerForced(int index);
// Sends each enabled logger (pid above 0) with a non-zero count its code,
// resets every count, unlocks the event module, writes the prefix to
// "derived" when a hit was counted, and detaches. 0, or -1 with 1 when
// nothing is attached.
int Alm_FlushLoggerTriggers();

// True while a driver is attached.
bool Alm_IsAttached();

// ---------------------------------------------------------------------------
// Delivery never happens under a module lock: while the calling thread holds
// one (the attached driver's event module, a values module), the senders
// check and build their messages and count their event-channel hits as
// always, but their messages, the logger trigger codes and the "derived"
// notice wait until the thread's last module lock is released, and then go
// out in the order they were made (DM_AfterUnlock). A sender then returns 0.

// Forgets the process-wide state: closes both mailslots, clears the retry
// times and counts (tests that rebuild the system tables). Unlocks and
// detaches an attached driver.
void Alm_ResetProcessState();
