// Process signals: four-byte codes on each process's own mailslot.
//
// A process that installs a handler owns the mailslot "dm_<pid>.slt"; a
// reader thread takes codes from it and calls the handler on that thread,
// under the handler lock, and only while the owner lets delivery through.
// The owner holds delivery (Sig_HoldDelivery(1)) while it reads what the
// handler writes, and releases it by waiting (Sig_Wait).
//
// Sig_Wait is the one wait of the library: it lets signals through and
// waits for the next delivered code or for any handle of the wait list
// (serial ports, events, ... as plat::Waitable*), with a time-out.
//
// Mailslots for writing (alarm and derived-value messages, signals to other
// processes) are small integer handles: Sig_OpenMailslot returns one (or
// kSigNoMailslot), Sig_WriteAll writes whole messages to it and
// Sig_CloseMailslot closes it.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/sync.h"

namespace plat {
class MailslotReader;
}

// The codes processes of the system send each other.
using SignalCode = uint32_t;
constexpr SignalCode kSigStop = 31;                 // stop
constexpr SignalCode kSigModuleEvent = 32;          // data-module event (DM_Notify to a waiting slot owner)
constexpr SignalCode kSigScan = 300;                // scan request
constexpr SignalCode kSigReconfigure = 302;         // channel or device configuration changed
constexpr SignalCode kSigResetCounters = 303;       // reset the diagnostic counters
constexpr SignalCode kSigInitValues = 304;          // initialise the values
constexpr SignalCode kSigValuesWritten = 305;       // values written by another process
constexpr SignalCode kSigLoggerTriggers = 200000;   // + n: n pending logger triggers
constexpr SignalCode kSigForcedTriggers = 0x80000000u;  // bit 31 with kSigLoggerTriggers + n: forced ones pending

// A signal handler: takes the code, returns anything (ignored).
using SigHandler = int (*)(int code);

// Most handles in the wait list, the wake event of an installed handler
// included.
constexpr int kSigMaxWaitHandles = 10;

// Installs the handler. The first call creates the own mailslot, the events
// and the lock, and starts the reader thread; later calls only swap the
// handler. Returns the previous handler (null on the first call) with errno
// 0; on failure null with errno = the system error, nothing left behind.
SigHandler Sig_InstallHandler(SigHandler handler);

// Stops delivery: the reader thread is woken and joined (when called on the
// reader thread itself, from inside the handler, the thread ends on its own
// as soon as the handler returns), then the mailslot, events and lock go.
// Extra handles stay in the wait list.
void Sig_RemoveHandler();

// Delivers one code in the calling thread: waits until delivery is allowed,
// then calls the handler under the handler lock and sets the wake event.
// Without a handler, nothing.
void Sig_Deliver(int code);

// hold 1: hold delivery; 0: release it. 0, or -1 without a handler.
int Sig_HoldDelivery(int hold);
// True while delivery is held (false without a handler).
bool Sig_IsDeliveryHeld();
// Holds delivery without the handler lock.
void Sig_BlockDelivery();

// Releases delivery and waits up to ms milliseconds (0: no time-out) for the
// next delivered code or a handle of the wait list. Delivery stays released.
// Returns 0; -1 with errno 87 for a wait that could never end (no time-out,
// no handler and an empty wait list).
int Sig_Wait(int ms);
// Sig_Wait(n * 10 ms); n = 0 waits without time-out.
int Sig_WaitTicks(int n);

// The wait list. Add: 0, or -1 (errno 87) when it already holds
// kSigMaxWaitHandles. Remove: 0, or -1 (errno 87) when the handle is not in
// it; later entries move down one place.
int Sig_AddWaitHandle(plat::Waitable* handle);
int Sig_RemoveWaitHandle(plat::Waitable* handle);

// Sets the message-pump flag for good. There are no window messages on
// this platform: the flag is kept for callers that read it, and the wait
// does not look at it.
void Sig_EnableMessagePump();
bool Sig_MessagePumpEnabled();

// The last code delivered in this process; Sig_ClearLastCode sets it to 0.
int Sig_LastCode();
void Sig_ClearLastCode();

// Sends code to process pid: 0, or -1 with errno = the system error (2 when
// the process has no mailslot). To the own process the code is delivered in
// the calling thread; while delivery is held it is queued on the own
// mailslot instead (and handled when delivery is released).
int Sig_Send(int32_t pid, SignalCode code);

// "\\.\mailslot\" + name, in a static buffer that the next call overwrites.
const char* Sig_MailslotPath(const char* name);
// The own-process mailslot name of pid: "dm_<pid>.slt".
const char* Sig_MailslotName(int32_t pid);

// Write handles of mailslots.
using SigMailslot = int;
constexpr SigMailslot kSigNoMailslot = -1;

// Opens an existing mailslot for writing. name is a mailslot path
// ("\\.\mailslot\xalarms") or a bare mailslot name ("xalarms"), which gets
// the mailslot prefix. kSigNoMailslot with errno = the system error (2 when
// nobody reads that mailslot).
SigMailslot Sig_OpenMailslot(const char* name);
// Writes n bytes as one message: n, or -1 with errno unless all were written.
int Sig_WriteAll(SigMailslot handle, const void* buffer, size_t n);
// Closes the handle: 0, or -1 with errno 6 for a handle that is not open.
int Sig_CloseMailslot(SigMailslot handle);

// The reader thread's loop on the own mailslot: reads 4-byte codes and
// delivers them while a handler is installed; other message sizes are
// dropped; read failures are retried with a short back-off. Returns 1.
int Sig_ReaderThread(plat::MailslotReader* mailslot);
