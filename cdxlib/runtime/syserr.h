// The system error list and the error log.
//
// Every process registers itself in "dm_errors", a data module kept by the
// central server, and keeps one status text there: empty while all is well,
// a short message when not. When a status driver is configured (the
// "dm_datproc" record "SYSER"), each process's status is also mirrored into
// the digital channel of that driver whose description names the process:
// the text becomes the channel's high-state and alarm text and the channel
// goes to 1 while a text is set.
//
// Layouts of the data area of "dm_errors" (N = the i32 count at its start,
// D = the module's data size):
//   compact, when N x 57 == D: from data + 4, CompactStatusEntry records;
//            only the entries that fit, min(N, (D - 4) / 57), are used;
//   full,    otherwise: C = (D - 4) / 443 compact entries (unused) from
//            data + 4, then C ProcessStatusEntry records; the first
//            min(N, C) of them are searched.
//
// The process's own entry and its SYSER binding are process-wide, without a
// lock: a process registers from one thread. The table is updated under the
// module lock of "dm_errors"; the SYSER modules are locked one at a time,
// never together with "dm_errors".
//
// Messages for the event log: ReportSystemEvent (eventlog.h).
#pragma once
#include <cstddef>
#include <cstdint>

#include "cdxlib/sys/eventlog.h"

struct ProcessStatusEntry {
  uint8_t type;      // 0: 3 = driver started by Drv_StartDriver, 4 and 5 = loggers
  char name[130];    // 1: NUL-terminated, at most 129 characters; empty = free
  char status[255];  // 131: NUL-terminated; empty = no error
};
static_assert(sizeof(ProcessStatusEntry) == 386);
static_assert(offsetof(ProcessStatusEntry, name) == 1);
static_assert(offsetof(ProcessStatusEntry, status) == 131);

struct CompactStatusEntry {
  uint8_t type;     // 0
  char name[25];    // 1: at most 24 characters
  char status[31];  // 26: at most 30 characters
};
static_assert(sizeof(CompactStatusEntry) == 57);
static_assert(offsetof(CompactStatusEntry, name) == 1);
static_assert(offsetof(CompactStatusEntry, status) == 26);

constexpr int kSysErrTypeDriver = 3;
constexpr int kSysErrTypeLogger = 4;
constexpr int kSysErrTypeLoggerExp = 5;
constexpr int kSysErrFullStride = 57 + 386;   // one compact plus one full entry
constexpr int kSysErrTextMax = 120;           // formatted text bound (full layout)
constexpr int kSysErrStoredText = 80;         // bytes of it that are stored and compared
constexpr int kSysErrCompactText = 30;

// Opens "dm_errors" once per process: 0, or -1 while it does not exist.
int SysErr_OpenTable();

// Finds or takes this process's entry (same type and name, case-blind; else
// the first free one), clears its text, and binds the SYSER channel. A status
// set before a restart comes back from the bound channel's high-state text.
void SysErr_Register(int type, const char* name);
// Formats the status text (at most 120 characters; 80 are stored) and
// publishes it when it changed (case-blind on the stored part); an empty
// text clears. errno is preserved.
void SysErr_SetText(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Clears the status text and sets the bound SYSER channel to 0.
void SysErr_ClearText();

// The same on the compact layout (the full-layout calls use them when the
// table has that layout).
void SysErr_RegisterCompact(int type, const char* name);
void SysErr_SetTextCompact(const char* format, ...) __attribute__((format(printf, 1, 2)));
void SysErr_ClearTextCompact();

// This process's status text as stored ("" without an entry), and whether it
// is bound to a SYSER channel (its 1-based number, 0 when not).
const char* SysErr_OwnText();
int SysErr_BoundChannel();

// The status text of the entry of `type` whose name equals `name`
// (case-blind), copied into text (size bytes, terminated): 1 when the entry
// exists, 0 when not or the table cannot be opened.
int SysErr_FindStatusText(int type, const char* name, char* text, size_t size);

// Forgets the process's entry and binding (tests that register anew).
void SysErr_ResetProcessState();
