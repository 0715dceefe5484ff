#include "cdxlib/shm/datamodule.h"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <pthread.h>
#include <string>

#include "cdxlib/shm/signals.h"
#include "platform/error.h"
#include "platform/named_mutex.h"
#include "platform/process.h"
#include "platform/shm.h"
#include "platform/sync.h"

namespace {

// ---- the calling process's pid (cached; a forked child reads it again) ----

std::atomic<int32_t> g_pid{0};

void ForgetPid() { g_pid = 0; }

int32_t MyPid() {
  int32_t pid = g_pid.load(std::memory_order_relaxed);
  if (pid == 0) {
    static std::once_flag once;
    std::call_once(once, [] { pthread_atfork(nullptr, nullptr, ForgetPid); });
    pid = plat::GetPid();
    g_pid = pid;
  }
  return pid;
}

int16_t MyPid16() { return static_cast<int16_t>(MyPid() & 0xFFFF); }

// ---- the view table ----
//
// Every lock and unlock finds the view's mutex here, so lookups take no lock:
// entries sit in chunks that are never freed or moved, an entry is filled
// before its view is published (release), and an entry's view and mutex
// never change to another module once set. Writers (adding a view, storing
// a mutex) serialise on g_viewsMutex. A small cache indexed by the view's
// address remembers the entry found, which makes the common lookup one
// compare.

struct ViewEntry {
  char name[32];
  std::atomic<DataModule*> view{nullptr};      // null: unused or emptied
  std::atomic<plat::NamedMutex*> mutex{nullptr};  // kept for the life of the process
  size_t mappingSize = 0;                      // 0 when unknown (a view added from outside)
};

constexpr size_t kViewGrowth = 20;

struct ViewChunk {
  ViewEntry entries[kViewGrowth];
  std::atomic<ViewChunk*> next{nullptr};
};

// Never destroyed: views and handles live as long as the process.
std::recursive_mutex& g_viewsMutex = *new std::recursive_mutex;
ViewChunk& g_firstChunk = *new ViewChunk;
std::atomic<size_t> g_viewCount{0};  // entries ever used (emptied ones included)
constexpr size_t kViewCacheSize = 64;
std::atomic<ViewEntry*> g_viewCache[kViewCacheSize];

size_t CacheIndex(const DataModule* view) {
  // Mappings start on page boundaries.
  return (reinterpret_cast<uintptr_t>(view) >> 12) % kViewCacheSize;
}

template <typename Match>
ViewEntry* FindEntry(Match match) {
  const size_t count = g_viewCount.load(std::memory_order_acquire);
  ViewChunk* chunk = &g_firstChunk;
  for (size_t i = 0; i < count && chunk; ++i) {
    ViewEntry& e = chunk->entries[i % kViewGrowth];
    if (match(e)) return &e;
    if (i % kViewGrowth == kViewGrowth - 1) chunk = chunk->next.load(std::memory_order_acquire);
  }
  return nullptr;
}

// Writers only (under g_viewsMutex).
ViewEntry* FindByName(const char* name) {
  return FindEntry([name](const ViewEntry& e) {
    return e.view.load(std::memory_order_relaxed) && std::strncmp(e.name, name, sizeof e.name) == 0;
  });
}

[[gnu::noinline]] ViewEntry* FindByViewInTable(const DataModule* view) {
  ViewEntry* e = FindEntry([view](const ViewEntry& x) { return x.view.load(std::memory_order_acquire) == view; });
  if (e) g_viewCache[CacheIndex(view)].store(e, std::memory_order_release);
  return e;
}

inline ViewEntry* FindByView(const DataModule* view) {
  ViewEntry* last = g_viewCache[CacheIndex(view)].load(std::memory_order_acquire);
  if (last && last->view.load(std::memory_order_acquire) == view) [[likely]]
    return last;
  return FindByViewInTable(view);
}

int AddView(const char* name, DataModule* view, size_t mappingSize) {
  std::lock_guard<std::recursive_mutex> lock(g_viewsMutex);
  if (FindByName(name)) return 0;
  const size_t count = g_viewCount.load(std::memory_order_relaxed);
  ViewChunk* chunk = &g_firstChunk;
  for (size_t i = kViewGrowth; i <= count; i += kViewGrowth) {
    ViewChunk* next = chunk->next.load(std::memory_order_relaxed);
    if (!next) {
      next = new (std::nothrow) ViewChunk;
      if (!next) {
        // The table is emptied; the modules already mapped stay mapped.
        // Entries are not reused, so a lookup under way still reads the
        // mutex of the module it matched.
        FindEntry([](ViewEntry& e) {
          e.view.store(nullptr, std::memory_order_release);
          return false;
        });
        return plat::Fail(plat::kErrNotEnoughMemory), -1;
      }
      chunk->next.store(next, std::memory_order_release);
    }
    chunk = next;
  }
  ViewEntry& e = chunk->entries[count % kViewGrowth];
  std::snprintf(e.name, sizeof e.name, "%s", name);
  e.mappingSize = mappingSize;
  e.view.store(view, std::memory_order_release);
  g_viewCount.store(count + 1, std::memory_order_release);
  return 0;
}

// ---- validation and table access ----

int BadModule() {
  errno = 0;
  plat::SetLastError(0);
  return -1;
}

int OutOfBounds() { return plat::Fail(kDMOutOfBounds), -1; }

bool Usable(const DataModule* m) { return DM_IsView(m) && m->magic == kDMMagic; }

size_t MappingSizeOf(const DataModule* m) {
  const ViewEntry* e = FindByView(m);
  if (e && e->mappingSize) return e->mappingSize;
  return size_t{m->size} + kDMSizeBias;  // not mapped here: trust the header
}

DMTables Resolve(const DataModule* m) {
  DMTables t{};
  t.mappingSize = MappingSizeOf(m);
  const uint64_t mapSize = t.mappingSize;
  const uint64_t dataEnd = uint64_t{kDMHeaderSize} + m->dataSize;
  t.dataBound = dataEnd <= mapSize ? m->dataSize
                                   : static_cast<uint32_t>(mapSize > kDMHeaderSize ? mapSize - kDMHeaderSize : 0);
  t.eventOffset = m->eventOffset;
  t.notifyOffset = m->notifyOffset;
  // Counts of 8-byte slots and entries follow from the header alone
  // (unsigned, truncating), then are clamped to what the mapping holds.
  uint32_t s = (m->notifyOffset - m->eventOffset - kDMLegacySlotTable) / kDMSlotSize;
  uint32_t e = (m->size - kDMSlotSize * s - (m->dataSize & 1u) - m->dataSize - 208u) / kDMEntrySize;
  const bool eventOk = t.eventOffset >= kDMHeaderSize;
  const bool notifyOk = t.notifyOffset >= kDMHeaderSize;
  t.legacySlots = eventOk && uint64_t{t.eventOffset} + kDMLegacySlotTable <= mapSize ? kDMEventSlots : 0;
  t.legacyEntries = notifyOk && uint64_t{t.notifyOffset} + kDMLegacyEntryTable <= mapSize ? kDMNotifyEntries : 0;
  int slots = s > static_cast<uint32_t>(kDMEventSlots) ? kDMEventSlots : static_cast<int>(s);
  while (slots > 0 && (!eventOk || uint64_t{t.eventOffset} + kDMLegacySlotTable + uint64_t{kDMSlotSize} * slots > mapSize))
    --slots;
  int entries = e > static_cast<uint32_t>(kDMNotifyEntries) ? kDMNotifyEntries : static_cast<int>(e);
  while (entries > 0 &&
         (!notifyOk || uint64_t{t.notifyOffset} + kDMLegacyEntryTable + uint64_t{kDMEntrySize} * entries > mapSize))
    --entries;
  t.slots = slots;
  t.entries = entries;
  t.legacy = slots == 0;
  return t;
}

uint8_t* Bytes(DataModule* m) { return reinterpret_cast<uint8_t*>(m); }

// Slots and entries are read and written through memcpy: the tables follow
// a data area of any even size, so their fields need not be aligned.
template <typename T>
T Load(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
template <typename T>
void Store(uint8_t* p, T v) {
  std::memcpy(p, &v, sizeof v);
}

// A view of one slot in either form.
class SlotRef {
 public:
  SlotRef(DataModule* m, const DMTables& t, bool legacy, int n)
      : legacy_(legacy),
        p_(Bytes(m) + t.eventOffset + (legacy ? kDMLegacySlotSize * (n - 1) : kDMLegacySlotTable + kDMSlotSize * (n - 1))) {}
  int32_t pid() const { return legacy_ ? Load<uint16_t>(p_) : Load<int32_t>(p_); }
  uint16_t waiting() const { return Load<uint16_t>(p_ + (legacy_ ? 2 : 4)); }
  uint16_t count() const { return Load<uint16_t>(p_ + (legacy_ ? 4 : 6)); }
  void set_pid(int32_t pid) {
    if (legacy_)
      Store<uint16_t>(p_, static_cast<uint16_t>(pid & 0xFFFF));
    else
      Store<int32_t>(p_, pid);
  }
  void set_waiting(uint16_t v) { Store<uint16_t>(p_ + (legacy_ ? 2 : 4), v); }
  void set_count(uint16_t v) { Store<uint16_t>(p_ + (legacy_ ? 4 : 6), v); }
  void clear() { std::memset(p_, 0, legacy_ ? kDMLegacySlotSize : kDMSlotSize); }
  // Whether pid is the caller (legacy slots hold 16 bits of it).
  bool is_mine() const { return legacy_ ? pid() == (MyPid() & 0xFFFF) : pid() == MyPid(); }

 private:
  bool legacy_;
  uint8_t* p_;
};

class EntryRef {
 public:
  EntryRef(DataModule* m, const DMTables& t, bool legacy, int n)
      : legacy_(legacy),
        p_(Bytes(m) + t.notifyOffset +
           (legacy ? kDMLegacyEntrySize * (n - 1) : kDMLegacyEntryTable + kDMEntrySize * (n - 1))) {}
  int32_t pid() const { return legacy_ ? Load<uint16_t>(p_) : Load<int32_t>(p_); }
  int16_t code() const { return Load<int16_t>(p_ + (legacy_ ? 2 : 4)); }
  void set(int32_t pid, int16_t code) {
    if (legacy_)
      Store<uint16_t>(p_, static_cast<uint16_t>(pid & 0xFFFF));
    else
      Store<int32_t>(p_, pid);
    Store<int16_t>(p_ + (legacy_ ? 2 : 4), code);
  }
  void set_code(int16_t code) { Store<int16_t>(p_ + (legacy_ ? 2 : 4), code); }
  void clear() { std::memset(p_, 0, legacy_ ? kDMLegacyEntrySize : kDMEntrySize); }
  bool is_mine() const { return legacy_ ? pid() == (MyPid() & 0xFFFF) : pid() == MyPid(); }

 private:
  bool legacy_;
  uint8_t* p_;
};

// The slot that waiters and notifiers of slot n use: the 8-byte one on a
// current module, the 6-byte one on a legacy module. False when absent.
bool WaitSlot(DataModule* m, const DMTables& t, int n, SlotRef* out) {
  if (!t.legacy && n <= t.slots) return *out = SlotRef(m, t, false, n), true;
  if (t.legacy && t.legacySlots) return *out = SlotRef(m, t, true, n), true;
  return false;
}

void LowerPending(DataModule* m) {
  if (m->pendingCount > 0) --m->pendingCount;
}

// Serves one slot: a waiting owner gets code 32, else the count goes up.
void ServeSlot(SlotRef slot, bool skipMine) {
  if (skipMine && (slot.pid() == 0 || slot.is_mine())) return;
  if (slot.waiting() && slot.pid() != 0) {
    DM_SendSignal(slot.pid(), kSigModuleEvent);
  } else if (slot.count() < 0xFFFF) {
    slot.set_count(static_cast<uint16_t>(slot.count() + 1));
  }
}

int NotifyLocked(DataModule* m, int n, bool skipMine) {
  const DMTables t = Resolve(m);
  if (n > 0) {
    SlotRef slot(m, t, false, 1);
    if (WaitSlot(m, t, n, &slot)) ServeSlot(slot, skipMine);
    return 0;
  }
  for (int i = 1; i <= kDMEventSlots; ++i) {
    SlotRef slot(m, t, false, 1);
    if (WaitSlot(m, t, i, &slot)) ServeSlot(slot, skipMine);
  }
  // Subscriptions are one-shot: each is sent its code and freed. On a
  // current module the 8-byte entries are served; the 4-byte ones then stay.
  const bool legacyEntries = t.entries == 0;
  const int count = legacyEntries ? t.legacyEntries : t.entries;
  for (int i = 1; i <= count; ++i) {
    EntryRef e(m, t, legacyEntries, i);
    if (e.pid() == 0) continue;
    if (skipMine && e.is_mine()) continue;
    DM_SendSignal(e.pid(), static_cast<SignalCode>(static_cast<int32_t>(e.code())));
    e.clear();
  }
  return 0;
}

int Notify(DataModule* m, int n, bool skipMine) {
  if (n < 0 || n > kDMEventSlots) return OutOfBounds();
  if (DM_Lock(m) != 0) return -1;
  NotifyLocked(m, n, skipMine);
  LowerPending(m);
  return DM_Unlock(m);
}

bool ValidName(const char* name) { return name && *name && std::strlen(name) <= kDMMaxName; }

// Creates and publishes a module mapping; init completes the header before
// anyone can see it.
DataModule* CreateMapping(const char* name, uint32_t sizeField, uint32_t dataSize, uint32_t eventOffset,
                          uint32_t notifyOffset) {
  const uint64_t total = uint64_t{sizeField} + kDMSizeBias;
  if (total > 0xFFFFFFFFu) return plat::Fail(plat::kErrInvalidParameter), DM_OpenFailed();
  plat::ShmMapping mapping;
  auto init = [&](void* base, size_t) {
    auto* h = static_cast<DataModuleHeader*>(base);
    h->magic = kDMMagic;
    h->size = sizeField;
    h->nameOffset = kDMNameOffset;
    h->constant108 = kDMSizeBias;
    std::snprintf(h->name, sizeof h->name, "%s", name);
    h->dataSize = dataSize;
    h->eventOffset = eventOffset;
    h->notifyOffset = notifyOffset;
  };
  if (plat::Shm_CreateNew(DM_MappingName(name), static_cast<size_t>(total), init, &mapping) != 0)
    return DM_OpenFailed();
  auto* view = static_cast<DataModule*>(mapping.base);
  AddView(name, view, mapping.size);
  return view;
}

}  // namespace

const char* DM_MutexName(const char* name) {
  // One buffer per thread: the lock path builds names on whatever thread
  // locks, and a shared buffer let one thread open another's mutex name.
  static thread_local char buf[50];
  std::snprintf(buf, sizeof buf, "Global\\%s.mut", name ? name : "");
  return buf;
}

const char* DM_MappingName(const char* name) {
  static thread_local char buf[48];
  std::snprintf(buf, sizeof buf, "Global\\%s", name ? name : "");
  return buf;
}

DataModule* DM_Open(const char* name) {
  if (!ValidName(name)) return BadModule(), DM_OpenFailed();
  // Find, map and enter under one hold of the table lock: two threads that
  // open a module together get the same view, the one whose mutex handle
  // the table keeps (a second view would have none and could not be locked).
  std::lock_guard<std::recursive_mutex> lock(g_viewsMutex);
  if (ViewEntry* e = FindByName(name)) return e->view.load(std::memory_order_relaxed);
  plat::ShmMapping mapping;
  // Mapped as far as the header's size field says, and only when the object
  // really holds that much: the shm folder is every user's, so what lies
  // under the name may be anything.
  auto check = [](const void* header, size_t fileSize) -> size_t {
    uint32_t sizeField;
    std::memcpy(&sizeField, static_cast<const char*>(header) + offsetof(DataModuleHeader, size), sizeof sizeField);
    const uint64_t total = uint64_t{sizeField} + kDMSizeBias;
    return total >= kDMHeaderSize && total <= fileSize ? static_cast<size_t>(total) : 0;
  };
  if (plat::Shm_OpenChecked(DM_MappingName(name), kDMHeaderSize, check, &mapping) != 0) {
    if (plat::GetLastError() == plat::kErrFileNotFound) BadModule();
    return DM_OpenFailed();
  }
  if (mapping.size < kDMHeaderSize) {
    plat::Shm_Unmap(&mapping);  // too small to be a module
    return BadModule(), DM_OpenFailed();
  }
  auto* view = static_cast<DataModule*>(mapping.base);
  AddView(name, view, mapping.size);  // a table that cannot grow still leaves the view usable
  return view;
}

DataModule* DM_CreateMapping(const char* name, uint32_t sizeField) {
  if (!ValidName(name)) return BadModule(), DM_OpenFailed();
  return CreateMapping(name, sizeField, 0, 0, 0);
}

DataModule* DM_Create(const char* name, uint32_t dataSize) {
  if (!ValidName(name)) return BadModule(), nullptr;
  std::lock_guard<std::recursive_mutex> lock(g_viewsMutex);  // as DM_Open
  DataModule* existing = DM_Open(name);
  if (DM_IsView(existing)) return existing;
  if (errno != 0) return nullptr;
  const std::string mutexName = std::string("Global\\") + DM_MutexName(name);
  std::unique_ptr<plat::NamedMutex> mutex = plat::NamedMutex::Create(mutexName);
  if (!mutex) return nullptr;
  const uint64_t rounded = uint64_t{dataSize} + (dataSize & 1u);
  // The size field counts the mapping minus 108: Dr + 544.
  const uint64_t sizeField = kDMHeaderSize + rounded + kDMEventTableSize + kDMNotifyTableSize - kDMSizeBias;
  if (sizeField + kDMSizeBias > 0xFFFFFFFFu) return plat::Fail(plat::kErrInvalidParameter), nullptr;
  const uint32_t eventOffset = static_cast<uint32_t>(kDMHeaderSize + rounded);
  DataModule* view = CreateMapping(name, static_cast<uint32_t>(sizeField), dataSize, eventOffset,
                                   eventOffset + kDMEventTableSize);
  if (!DM_IsView(view)) {
    // Another process published the module first: use its module.
    if (plat::GetLastError() == plat::kErrAlreadyExists) {
      DataModule* other = DM_Open(name);
      if (DM_IsView(other)) return other;
    }
    return nullptr;
  }
  DM_SetViewMutex(view, mutex.release());
  return view;
}

namespace {

inline plat::NamedMutex* ViewMutex(const DataModule* m) {
  ViewEntry* e = FindByView(m);
  return e ? e->mutex.load(std::memory_order_acquire) : nullptr;
}

// DM_AcquireMutex on a view already checked.
inline int AcquireMutex(DataModule* m) {
  plat::NamedMutex* mutex = ViewMutex(m);
  if (!mutex) {
    // Open it by the name the header carries (bounded: the header may be foreign).
    if (m->nameOffset > kDMHeaderSize - 1) return BadModule();
    char name[33] = {};
    const size_t room = kDMHeaderSize - m->nameOffset;
    std::memcpy(name, Bytes(m) + m->nameOffset, room < 32 ? room : 32);
    std::unique_ptr<plat::NamedMutex> opened =
        plat::NamedMutex::Open(std::string("Global\\") + DM_MutexName(name));
    if (!opened) return -1;
    DM_SetViewMutex(m, opened.get());
    if (DM_GetViewMutex(m) == opened.get())
      mutex = opened.release();
    else
      mutex = DM_GetViewMutex(m);
    if (!mutex) return plat::Fail(plat::kErrInvalidHandle), -1;
  }
  int r = mutex->Lock(plat::kInfinite);
  if (r == plat::NamedMutex::kAcquired || r == plat::NamedMutex::kAbandoned) return r;
  if (r == plat::NamedMutex::kTimeout) plat::Fail(plat::kErrWaitTimeout);
  return -1;
}

}  // namespace

int DM_AcquireMutex(DataModule* m) {
  if (!Usable(m)) return BadModule();
  return AcquireMutex(m);
}

int DM_ReleaseMutex(DataModule* m) {
  plat::NamedMutex* mutex = DM_IsView(m) ? DM_GetViewMutex(m) : nullptr;
  if (!mutex) return plat::Fail(plat::kErrInvalidHandle), -1;
  return mutex->Unlock();
}

namespace {

// The module locks the calling thread holds, and the sends kept for when it
// holds none.
thread_local int t_locksHeld = 0;
thread_local std::vector<std::function<void()>> t_afterUnlock;

void RunAfterUnlock() {
  if (t_afterUnlock.empty()) return;
  const int savedErrno = errno;
  const uint32_t savedLast = plat::GetLastError();
  std::vector<std::function<void()>> batch;
  batch.swap(t_afterUnlock);
  // A send that locks a module itself keeps its own sends until it unlocks
  // it: they go out then, inside this batch.
  for (auto& send : batch) send();
  batch.clear();
  if (t_afterUnlock.empty() && batch.capacity() <= 4096) t_afterUnlock.swap(batch);  // keeps a small buffer
  errno = savedErrno;
  plat::SetLastError(savedLast);
}

}  // namespace

void DM_AfterUnlock(std::function<void()> send) {
  if (!send) return;
  if (t_locksHeld > 0) {
    t_afterUnlock.push_back(std::move(send));
  } else {
    send();
  }
}

int DM_SendSignal(int32_t pid, uint32_t code) {
  if (t_locksHeld > 0) {
    t_afterUnlock.push_back([pid, code] { Sig_Send(pid, code); });
    return 0;
  }
  return Sig_Send(pid, code);
}

bool DM_HoldsLock() { return t_locksHeld > 0; }

int DM_Lock(DataModule* m) {
  if (!Usable(m)) return BadModule();
  int r = AcquireMutex(m);
  if (r < 0) return -1;
  ++t_locksHeld;
  const int16_t me = MyPid16();
  if (r == plat::NamedMutex::kAbandoned) {
    // The holder died: its owner and recursion fields are stale.
    m->lockOwner = me;
    m->recursion = 1;
  } else if (m->lockOwner == me) {
    ++m->recursion;
  } else {
    m->lockOwner = me;
    m->recursion = 1;
  }
  return 0;
}

int DM_Unlock(DataModule* m) {
  if (!Usable(m)) return BadModule();
  if (m->lockOwner == MyPid16()) {
    if (--m->recursion <= 0) {
      m->recursion = 0;
      m->lockOwner = 0;
    }
  }
  plat::NamedMutex* mutex = ViewMutex(m);
  if (!mutex) return plat::Fail(plat::kErrInvalidHandle), -1;
  if (mutex->Unlock() != 0) return -1;
  if (t_locksHeld > 0 && --t_locksHeld == 0) RunAfterUnlock();
  return 0;
}

int DM_Read(DataModule* m, void* destination, uint32_t length, uint32_t offset) {
  if (DM_Lock(m) != 0) return -1;
  const DMTables t = Resolve(m);
  if (uint64_t{offset} + length > m->dataSize || uint64_t{offset} + length > t.dataBound) {
    DM_Unlock(m);
    return OutOfBounds();
  }
  if (length) std::memcpy(destination, Bytes(m) + kDMHeaderSize + offset, length);
  return DM_Unlock(m);
}

int DM_Write(DataModule* m, const void* source, uint32_t length, uint32_t offset) {
  if (DM_Lock(m) != 0) return -1;
  const DMTables t = Resolve(m);
  if (uint64_t{offset} + length > m->dataSize || uint64_t{offset} + length > t.dataBound) {
    DM_Unlock(m);
    return OutOfBounds();
  }
  if (length) std::memcpy(Bytes(m) + kDMHeaderSize + offset, source, length);
  return DM_Unlock(m);
}

int DM_MarkPending(DataModule* m) {
  if (DM_Lock(m) != 0) return -1;
  if (m->pendingCount < 0x7FFF) ++m->pendingCount;
  return DM_Unlock(m);
}

int DM_ClaimEventSlot(DataModule* m, int slot) {
  if (slot < 0 || slot > kDMEventSlots) return OutOfBounds();
  if (DM_Lock(m) != 0) return -1;
  const DMTables t = Resolve(m);
  int result;
  if (slot == 0) {
    for (int i = 1; i <= t.legacySlots; ++i) SlotRef(m, t, true, i).clear();
    for (int i = 1; i <= t.slots; ++i) SlotRef(m, t, false, i).clear();
    result = kDMEventSlots;
  } else {
    SlotRef s(m, t, false, 1);
    if (!WaitSlot(m, t, slot, &s)) {
      DM_Unlock(m);
      return OutOfBounds();
    }
    result = s.pid();
    s.set_pid(MyPid());
    s.set_waiting(0);
    s.set_count(0);
    // On a current module the 6-byte twin is kept free, so that no legacy
    // reader takes it for a live claim.
    if (!t.legacy && t.legacySlots) SlotRef(m, t, true, slot).clear();
  }
  LowerPending(m);
  if (DM_Unlock(m) != 0) return -1;
  return result;
}

int DM_WaitEvent(DataModule* m, int slot) {
  if (slot < 1 || slot > kDMEventSlots) return BadModule();
  // Delivery is held from before the check until the wait releases it, so a
  // code 32 sent between the check and the wait is not lost: it waits in
  // the mailslot and wakes the wait.
  const bool wasHeld = Sig_IsDeliveryHeld();
  if (Sig_HoldDelivery(1) != 0) return plat::Fail(plat::kErrInvalidParameter), -1;  // no handler: would sleep for ever
  auto restore = [&] {
    if (!wasHeld) Sig_HoldDelivery(0);
  };
  if (DM_Lock(m) != 0) {
    int err = errno;
    restore();
    errno = err;
    return -1;
  }
  const DMTables t = Resolve(m);
  SlotRef s(m, t, false, 1);
  if (!WaitSlot(m, t, slot, &s)) {
    DM_Unlock(m);
    restore();
    return OutOfBounds();
  }
  if (s.pid() != 0 && !s.is_mine()) {
    DM_Unlock(m);
    restore();
    return OutOfBounds();
  }
  if (s.pid() == 0) {
    s.set_pid(MyPid());
    s.set_waiting(0);
  }
  if (s.count() > 0) {
    s.set_count(static_cast<uint16_t>(s.count() - 1));
    DM_Unlock(m);
    restore();
    return 0;
  }
  s.set_waiting(1);
  DM_Unlock(m);
  Sig_WaitTicks(0);
  if (DM_Lock(m) == 0) {
    const DMTables after = Resolve(m);
    SlotRef again(m, after, false, 1);
    if (WaitSlot(m, after, slot, &again) && again.is_mine()) again.set_waiting(0);
    DM_Unlock(m);
  }
  return 0;
}

int DM_WaitIfPending(DataModule* m, int slot) {
  if (slot < 1 || slot > kDMEventSlots) return OutOfBounds();
  if (DM_Lock(m) != 0) return -1;
  const int16_t pending = m->pendingCount;
  if (DM_Unlock(m) != 0) return -1;
  if (pending == 0) return 0;
  return DM_WaitEvent(m, slot);
}

int DM_Notify(DataModule* m, int slot) { return Notify(m, slot, false); }

int DM_NotifyOthers(DataModule* m, int slot) { return Notify(m, slot, true); }

int DM_Subscribe(DataModule* m, int code) {
  if (code < -32768 || code > 32767) return plat::Fail(plat::kErrInvalidParameter), -1;
  if (DM_Lock(m) != 0) return -1;
  const DMTables t = Resolve(m);
  const int16_t c = static_cast<int16_t>(code);
  // The 4-byte entries, which legacy peers read.
  bool found = false;
  for (int i = 1; i <= t.legacyEntries && !found; ++i) {
    EntryRef e(m, t, true, i);
    if (e.pid() != 0 && e.is_mine()) e.set_code(c), found = true;
  }
  for (int i = 1; i <= t.legacyEntries && !found; ++i) {
    EntryRef e(m, t, true, i);
    if (e.pid() == 0) e.set(MyPid(), c), found = true;
  }
  if (t.entries == 0) {
    DM_Unlock(m);
    return found ? 0 : (plat::Fail(plat::kErrNoMoreItems), -1);
  }
  for (int i = 1; i <= t.entries; ++i) {
    EntryRef e(m, t, false, i);
    if (e.is_mine()) {
      e.set_code(c);
      return DM_Unlock(m);
    }
  }
  for (int i = 1; i <= t.entries; ++i) {
    EntryRef e(m, t, false, i);
    if (e.pid() == 0) {
      e.set(MyPid(), c);
      return DM_Unlock(m);
    }
  }
  DM_Unlock(m);
  return plat::Fail(plat::kErrNoMoreItems), -1;
}

int DM_Unsubscribe(DataModule* m) {
  if (DM_Lock(m) != 0) return -1;
  const DMTables t = Resolve(m);
  bool freed = false;
  for (int i = 1; i <= t.legacyEntries; ++i) {
    EntryRef e(m, t, true, i);
    if (e.pid() != 0 && e.is_mine()) {
      e.clear();
      freed = true;
      break;
    }
  }
  for (int i = 1; i <= t.entries; ++i) {
    EntryRef e(m, t, false, i);
    if (e.pid() != 0 && e.is_mine()) {
      e.clear();
      freed = true;
      break;
    }
  }
  if (DM_Unlock(m) != 0) return -1;
  return freed ? 0 : (plat::Fail(plat::kErrNoMoreItems), -1);
}

int DM_AddView(const char* name, DataModule* view) {
  if (!ValidName(name)) return BadModule();
  return AddView(name, view, 0);
}

DataModule* DM_FindView(const char* name) {
  if (!name) return nullptr;
  std::lock_guard<std::recursive_mutex> lock(g_viewsMutex);
  ViewEntry* e = FindByName(name);
  return e ? e->view.load(std::memory_order_relaxed) : nullptr;
}

int DM_SetViewMutex(DataModule* view, plat::NamedMutex* handle) {
  std::lock_guard<std::recursive_mutex> lock(g_viewsMutex);
  ViewEntry* e = FindByView(view);
  if (!e) return plat::Fail(plat::kErrInvalidHandle), -1;
  plat::NamedMutex* none = nullptr;
  e->mutex.compare_exchange_strong(none, handle, std::memory_order_acq_rel);  // the first one stays
  return 0;
}

plat::NamedMutex* DM_GetViewMutex(DataModule* view) {
  ViewEntry* e = FindByView(view);
  return e ? e->mutex.load(std::memory_order_acquire) : nullptr;
}

int DM_GetTables(const DataModule* m, DMTables* out) {
  if (!Usable(m) || !out) return BadModule();
  *out = Resolve(m);
  return 0;
}

uint32_t DM_DataBound(const DataModule* m) {
  if (!Usable(m)) return 0;
  return Resolve(m).dataBound;
}

int DM_ReadEventSlot(const DataModule* m, bool legacyForm, int n, EventSlot* out) {
  if (!Usable(m)) return BadModule();
  const DMTables t = Resolve(m);
  if (n < 1 || n > (legacyForm ? t.legacySlots : t.slots)) return OutOfBounds();
  SlotRef s(const_cast<DataModule*>(m), t, legacyForm, n);
  *out = EventSlot{s.pid(), s.waiting(), s.count()};
  return 0;
}

int DM_ReadNotifyEntry(const DataModule* m, bool legacyForm, int n, NotifyEntry* out) {
  if (!Usable(m)) return BadModule();
  const DMTables t = Resolve(m);
  if (n < 1 || n > (legacyForm ? t.legacyEntries : t.entries)) return OutOfBounds();
  EntryRef e(const_cast<DataModule*>(m), t, legacyForm, n);
  *out = NotifyEntry{e.pid(), e.code()};
  return 0;
}
