#include "cdxlib/shm/signals.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cdxlib/sys/eventlog.h"
#include "platform/error.h"
#include "platform/mailslot.h"
#include "platform/process.h"

namespace {

constexpr const char* kMailslotPrefix = "\\\\.\\mailslot\\";

// Everything an installed handler owns. It is shared with the reader
// thread, so that a removal from inside the handler (on the reader thread)
// cannot free what that thread still uses.
struct Receiver {
  std::unique_ptr<plat::MailslotReader> slot;
  plat::CriticalSection lock;          // around every handler call and delivery change
  plat::Event delivery{true, true};    // set: delivery allowed; reset: held
  plat::Event wake{true, false};       // set after every delivered code
  std::atomic<SigHandler> handler{nullptr};
  std::atomic<bool> closing{false};
  std::unique_ptr<plat::MailslotWriter> self;  // own mailslot, for codes queued to ourselves
  std::thread reader;
};

std::mutex g_state;  // guards g_receiver and the wait list
std::shared_ptr<Receiver> g_receiver;
std::atomic<bool> g_active{false};
plat::Waitable* g_waitList[kSigMaxWaitHandles];
int g_waitCount = 0;
std::atomic<int> g_lastCode{0};
std::atomic<bool> g_messagePump{false};

std::shared_ptr<Receiver> Current() {
  std::lock_guard<std::mutex> lock(g_state);
  return g_receiver;
}

std::string PathOf(const std::string& name) { return kMailslotPrefix + name; }

std::string OwnMailslotName(int32_t pid) {
  char buf[20];
  std::snprintf(buf, sizeof buf, "dm_%u.slt", static_cast<unsigned>(pid));
  return buf;
}

// Calls the handler; the caller holds rx.lock with delivery allowed.
void CallHandler(Receiver& rx, int code) {
  g_lastCode = code;
  if (SigHandler h = rx.handler.load()) h(code);
}

void DeliverOn(Receiver& rx, int code) {
  // Delivery is checked again under the lock: an owner that holds delivery
  // resets the event under that same lock, so once Sig_HoldDelivery(1) has
  // returned no handler call can still slip through.
  for (;;) {
    rx.delivery.Wait(plat::kInfinite);
    if (rx.closing) return;
    rx.lock.Enter();
    if (rx.delivery.IsSet() && !rx.closing) break;
    rx.lock.Leave();
  }
  CallHandler(rx, code);
  rx.lock.Leave();
  rx.wake.Set();
}

void RemoveFromWaitList(plat::Waitable* handle) {
  for (int i = 0; i < g_waitCount; ++i) {
    if (g_waitList[i] != handle) continue;
    for (int j = i; j + 1 < g_waitCount; ++j) g_waitList[j] = g_waitList[j + 1];
    --g_waitCount;
    return;
  }
}

// Small table of open mailslot write handles.
std::mutex g_slotsMutex;
std::vector<std::shared_ptr<plat::MailslotWriter>> g_slots;

std::shared_ptr<plat::MailslotWriter> SlotOf(SigMailslot h) {
  std::lock_guard<std::mutex> lock(g_slotsMutex);
  if (h < 0 || static_cast<size_t>(h) >= g_slots.size()) return nullptr;
  return g_slots[static_cast<size_t>(h)];
}

// Messages that a stopped reader made the sender drop are reported in the
// product's event log.
void ReportDroppedMessages(const char* text) { ReportSystemEvent(nullptr, 1, text); }

void UseProductEventLog() {
  static std::once_flag once;
  std::call_once(once, [] { plat::SetMailslotDropReporter(ReportDroppedMessages); });
}

}  // namespace

SigHandler Sig_InstallHandler(SigHandler handler) {
  std::lock_guard<std::mutex> state(g_state);
  if (g_receiver) {
    plat::CsLock lock(g_receiver->lock);
    SigHandler previous = g_receiver->handler.exchange(handler);
    errno = 0;
    return previous;
  }
  if (g_waitCount >= kSigMaxWaitHandles) return plat::Fail(plat::kErrInvalidParameter), nullptr;
  auto rx = std::make_shared<Receiver>();
  if (!rx->delivery.valid() || !rx->wake.valid()) return nullptr;  // the event's error is set
  rx->slot = plat::MailslotReader::Create(PathOf(OwnMailslotName(plat::GetPid())), 4);
  if (!rx->slot) return nullptr;
  rx->handler = handler;
  g_active = true;
  try {
    plat::MailslotReader* slot = rx->slot.get();
    rx->reader = std::thread([keep = rx, slot] { Sig_ReaderThread(slot); });
  } catch (...) {
    g_active = false;
    return plat::Fail(plat::kErrNotEnoughMemory), nullptr;
  }
  // The wake event is entry 0 of the wait list.
  for (int i = g_waitCount; i > 0; --i) g_waitList[i] = g_waitList[i - 1];
  g_waitList[0] = &rx->wake;
  ++g_waitCount;
  g_receiver = rx;
  errno = 0;
  plat::SetLastError(0);
  return nullptr;
}

void Sig_RemoveHandler() {
  std::shared_ptr<Receiver> rx;
  {
    std::lock_guard<std::mutex> state(g_state);
    rx = std::move(g_receiver);
    if (!rx) return;
    g_active = false;
    // The wake event goes with the receiver; extra handles stay.
    RemoveFromWaitList(&rx->wake);
  }
  rx->closing = true;
  rx->slot->Shutdown();  // the reader's blocking read returns
  rx->delivery.Set();    // a reader waiting for delivery sees the closing flag
  if (rx->reader.get_id() == std::this_thread::get_id()) {
    // Called from the handler: the thread ends when the handler returns and
    // frees the receiver then (it keeps its own reference).
    rx->reader.detach();
  } else {
    rx->reader.join();
  }
  // No code can be delivered any more: a wait of another thread on the wake
  // event (which keeps the receiver alive) ends now instead of never.
  rx->wake.Set();
}

void Sig_Deliver(int code) {
  std::shared_ptr<Receiver> rx = Current();
  if (!rx || !g_active) return;
  DeliverOn(*rx, code);
}

int Sig_HoldDelivery(int hold) {
  std::shared_ptr<Receiver> rx = Current();
  if (!rx) return -1;
  plat::CsLock lock(rx->lock);
  if (hold)
    rx->delivery.Reset();
  else
    rx->delivery.Set();
  return 0;
}

bool Sig_IsDeliveryHeld() {
  std::shared_ptr<Receiver> rx = Current();
  return rx && !rx->delivery.IsSet();
}

void Sig_BlockDelivery() {
  if (std::shared_ptr<Receiver> rx = Current()) rx->delivery.Reset();
}

int Sig_Wait(int ms) {
  const int timeout = ms <= 0 ? plat::kInfinite : ms;
  std::shared_ptr<Receiver> rx;
  plat::Waitable* list[kSigMaxWaitHandles];
  int count;
  {
    std::lock_guard<std::mutex> state(g_state);
    rx = g_receiver;
    count = g_waitCount;
    for (int i = 0; i < count; ++i) list[i] = g_waitList[i];
  }
  if (rx) {
    // Reset before release: a code handled after the release wakes us.
    rx->wake.Reset();
    // A removal that finished before the reset set the wake event too early
    // for us; its closing flag tells us not to wait for a code that cannot come.
    if (rx->closing) return 0;
    plat::CsLock lock(rx->lock);
    rx->delivery.Set();
  } else if (count == 0) {
    if (timeout == plat::kInfinite) return plat::Fail(plat::kErrInvalidParameter), -1;
    plat::SleepMs(timeout);
    return 0;
  }
  // The message-pump flag is not looked at: there are no window messages here.
  plat::WaitForAny(list, count, timeout);
  if (rx) rx->wake.Reset();
  return 0;
}

int Sig_WaitTicks(int n) {
  if (n <= 0) return Sig_Wait(0);
  int64_t ms = int64_t{n} * 10;
  return Sig_Wait(ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(ms));
}

int Sig_AddWaitHandle(plat::Waitable* handle) {
  std::lock_guard<std::mutex> state(g_state);
  if (!handle || g_waitCount >= kSigMaxWaitHandles) return plat::Fail(plat::kErrInvalidParameter), -1;
  g_waitList[g_waitCount++] = handle;
  return 0;
}

int Sig_RemoveWaitHandle(plat::Waitable* handle) {
  std::lock_guard<std::mutex> state(g_state);
  for (int i = 0; i < g_waitCount; ++i) {
    if (g_waitList[i] == handle) {
      RemoveFromWaitList(handle);
      return 0;
    }
  }
  return plat::Fail(plat::kErrInvalidParameter), -1;
}

void Sig_EnableMessagePump() { g_messagePump = true; }
bool Sig_MessagePumpEnabled() { return g_messagePump; }

int Sig_LastCode() { return g_lastCode; }
void Sig_ClearLastCode() { g_lastCode = 0; }

int Sig_Send(int32_t pid, SignalCode code) {
  UseProductEventLog();
  if (pid == plat::GetPid()) {
    std::shared_ptr<Receiver> rx = Current();
    if (!rx || !g_active) return 0;
    plat::CsLock lock(rx->lock);
    if (rx->delivery.IsSet()) {
      CallHandler(*rx, static_cast<int>(code));
      rx->wake.Set();
      return 0;
    }
    // Delivery is held (perhaps by this very thread): waiting for it here
    // could wait for ever, so the code goes to the own mailslot and is
    // handled when delivery is released.
    if (!rx->self) rx->self = plat::MailslotWriter::Open(PathOf(OwnMailslotName(pid)));
    if (!rx->self) return -1;
    return rx->self->Write(&code, sizeof code) == static_cast<int>(sizeof code) ? 0 : -1;
  }
  std::unique_ptr<plat::MailslotWriter> w = plat::MailslotWriter::Open(PathOf(OwnMailslotName(pid)));
  if (!w) return -1;
  if (w->Write(&code, sizeof code) != static_cast<int>(sizeof code)) return -1;
  return 0;
}

const char* Sig_MailslotPath(const char* name) {
  static thread_local char buf[300];
  std::snprintf(buf, sizeof buf, "%s%s", kMailslotPrefix, name ? name : "");
  return buf;
}

const char* Sig_MailslotName(int32_t pid) {
  static thread_local char buf[20];
  std::snprintf(buf, sizeof buf, "%s", OwnMailslotName(pid).c_str());
  return buf;
}

SigMailslot Sig_OpenMailslot(const char* name) {
  if (!name || !*name) return plat::Fail(plat::kErrInvalidName), kSigNoMailslot;
  UseProductEventLog();
  std::string path = (name[0] == '\\' && name[1] == '\\') ? std::string(name) : PathOf(name);
  std::shared_ptr<plat::MailslotWriter> w = plat::MailslotWriter::Open(path);
  if (!w) return kSigNoMailslot;
  std::lock_guard<std::mutex> lock(g_slotsMutex);
  for (size_t i = 0; i < g_slots.size(); ++i) {
    if (!g_slots[i]) {
      g_slots[i] = std::move(w);
      return static_cast<SigMailslot>(i);
    }
  }
  g_slots.push_back(std::move(w));
  return static_cast<SigMailslot>(g_slots.size() - 1);
}

int Sig_WriteAll(SigMailslot handle, const void* buffer, size_t n) {
  std::shared_ptr<plat::MailslotWriter> w = SlotOf(handle);
  if (!w) return plat::Fail(plat::kErrInvalidHandle), -1;
  if (w->Write(buffer, n) != static_cast<int>(n)) return -1;
  return static_cast<int>(n);
}

int Sig_CloseMailslot(SigMailslot handle) {
  std::lock_guard<std::mutex> lock(g_slotsMutex);
  if (handle < 0 || static_cast<size_t>(handle) >= g_slots.size() || !g_slots[static_cast<size_t>(handle)])
    return plat::Fail(plat::kErrInvalidHandle), -1;
  g_slots[static_cast<size_t>(handle)].reset();
  return 0;
}

int Sig_ReaderThread(plat::MailslotReader* mailslot) {
  int backoffMs = 0;
  while (g_active) {
    unsigned char buf[64];
    int n = mailslot->Read(buf, sizeof buf, plat::kMailslotWaitForever);
    if (n < 0) {
      if (plat::GetLastError() == plat::kErrOperationAborted) break;  // shut down
      // A persistent failure must not spin: back off, up to 100 ms.
      backoffMs = backoffMs ? (backoffMs * 2 > 100 ? 100 : backoffMs * 2) : 1;
      plat::SleepMs(backoffMs);
      continue;
    }
    backoffMs = 0;
    if (!g_active) break;
    if (n != 4) continue;  // not a signal code: dropped
    int32_t code;
    std::memcpy(&code, buf, sizeof code);
    Sig_Deliver(code);
  }
  return 1;
}
