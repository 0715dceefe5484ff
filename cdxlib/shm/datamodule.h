// Data modules: named shared memory through which the processes of the
// system share tables and live values.
//
// A module is one mapping: a 128-byte header, the data area from byte 128,
// then a table of ten event slots and a table of 32 one-shot change
// subscriptions. Peers map the same bytes, so the layout below is binding.
// Each module has a named mutex, opened by every process under the same
// (doubled) name "Global\Global\<name>.mut".
//
// A module view is a pointer to the mapping's first byte (the header).
// Views and mutex handles stay in a process-local view table for the life of
// the process; nothing is ever unmapped.
//
// Layout of a module made here (current NT layout), for data size D:
//   128                   data area, D rounded up to even (Dr)
//   128 + Dr              event table: 10 legacy slots of 6 bytes, then
//                         10 slots of 8 bytes                  (140 bytes)
//   128 + Dr + 140        notify table: 32 legacy entries of 4 bytes, then
//                         32 entries of 8 bytes                (384 bytes)
//   size field = Dr + 544, mapping = size field + 108
// Legacy modules (made by older peers) have only the 6-byte slots and the
// 4-byte entries; they are recognised from the header alone (DMTables).
// Waiters and notification on a current module use the 8-byte slots, on a
// legacy module the 6-byte ones.
//
// Errors: functions return -1 (or null / DM_OpenFailed()) with errno 0 for a
// bad module (name too long, null view, bad magic), 67 for a slot number or
// data range out of bounds, otherwise the system error.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>

namespace plat {
class NamedMutex;
}

constexpr uint16_t kDMMagic = 0x4AFC;
constexpr uint32_t kDMHeaderSize = 128;
constexpr uint32_t kDMNameOffset = 76;
constexpr uint32_t kDMSizeBias = 108;      // mapping bytes = size field + 108; also stored at offset 32
constexpr size_t kDMMaxName = 31;          // a name of 32 characters or more is refused
constexpr int kDMEventSlots = 10;          // slots 1..10
constexpr int kDMNotifyEntries = 32;
constexpr uint32_t kDMLegacySlotSize = 6;  // {u16 pid, u16 waiting, u16 count}
constexpr uint32_t kDMSlotSize = 8;        // {i32 pid, u16 waiting, u16 count}
constexpr uint32_t kDMLegacyEntrySize = 4; // {u16 pid, i16 code}
constexpr uint32_t kDMEntrySize = 8;       // {i32 pid, i16 code, 2 reserved}
constexpr uint32_t kDMLegacySlotTable = kDMEventSlots * kDMLegacySlotSize;         // 60
constexpr uint32_t kDMEventTableSize = kDMLegacySlotTable + kDMEventSlots * kDMSlotSize;  // 140
constexpr uint32_t kDMLegacyEntryTable = kDMNotifyEntries * kDMLegacyEntrySize;   // 128
constexpr uint32_t kDMNotifyTableSize = kDMLegacyEntryTable + kDMNotifyEntries * kDMEntrySize;  // 384
constexpr uint32_t kDMOutOfBounds = 67;

// The 128-byte header at the start of every module (little-endian).
struct DataModuleHeader {
  uint16_t magic;            // 0x4AFC; every lock and unlock checks it
  uint8_t reserved0[2];
  uint32_t size;             // mapping bytes minus 108
  uint32_t nameOffset;       // 76
  uint8_t reserved1[20];
  uint32_t constant108;      // 108, for peers
  uint8_t reserved2[40];
  char name[32];             // module name, NUL-terminated
  int16_t pendingCount;      // pending-update count (DM_MarkPending)
  int16_t lockOwner;         // low 16 bits of the lock holder's pid, 0 when free
  uint32_t dataSize;         // data area bytes as requested at creation
  int32_t recursion;         // lock recursion count of the owner
  uint32_t eventOffset;      // event table, from the start of the mapping
  uint32_t notifyOffset;     // notify table, from the start of the mapping
};
static_assert(sizeof(DataModuleHeader) == 128);
static_assert(offsetof(DataModuleHeader, magic) == 0);
static_assert(offsetof(DataModuleHeader, reserved0) == 2);
static_assert(offsetof(DataModuleHeader, size) == 4);
static_assert(offsetof(DataModuleHeader, nameOffset) == 8);
static_assert(offsetof(DataModuleHeader, reserved1) == 12);
static_assert(offsetof(DataModuleHeader, constant108) == 32);
static_assert(offsetof(DataModuleHeader, reserved2) == 36);
static_assert(offsetof(DataModuleHeader, name) == 76);
static_assert(offsetof(DataModuleHeader, pendingCount) == 108);
static_assert(offsetof(DataModuleHeader, lockOwner) == 110);
static_assert(offsetof(DataModuleHeader, dataSize) == 112);
static_assert(offsetof(DataModuleHeader, recursion) == 116);
static_assert(offsetof(DataModuleHeader, eventOffset) == 120);
static_assert(offsetof(DataModuleHeader, notifyOffset) == 124);

// A module view.
using DataModule = DataModuleHeader;

// One event slot or notify entry, in either form, as read from a module.
struct EventSlot {
  int32_t pid;
  uint16_t waiting;  // 1 while the owner sleeps in DM_WaitEvent
  uint16_t count;    // notifications that arrived while it was not waiting
};
struct NotifyEntry {
  int32_t pid;       // 0: free
  int16_t code;
};

// Where a module's tables are, derived from its header and clamped to the
// real size of the mapping (a peer-written header is not trusted).
struct DMTables {
  size_t mappingSize;     // real bytes mapped
  uint32_t dataBound;     // usable data bytes: data size, clamped to the mapping
  bool legacy;            // no 8-byte slots: 6-byte slots and 4-byte entries only
  uint32_t eventOffset;
  uint32_t notifyOffset;
  int legacySlots;        // 6-byte slots present (10 or 0)
  int slots;              // 8-byte slots present (S: 10 current, 0 legacy)
  int legacyEntries;      // 4-byte entries present (32 or 0)
  int entries;            // 8-byte entries present (E: 32 current, 0 legacy)
};

// The value DM_Open returns on failure (all ones).
inline DataModule* DM_OpenFailed() { return reinterpret_cast<DataModule*>(~uintptr_t{0}); }
// True for a usable view (neither null nor DM_OpenFailed()).
inline bool DM_IsView(const DataModule* m) { return m && m != DM_OpenFailed(); }

// Opens the module or creates it with dataSize bytes of data. An existing
// module is returned unchanged. NULL on failure.
DataModule* DM_Create(const char* name, uint32_t dataSize);
// Opens an existing module: its view, or DM_OpenFailed() with errno (0 when
// the module does not exist or the name is too long).
DataModule* DM_Open(const char* name);
// Creates a new zero-filled mapping of sizeField + 108 bytes with the base
// header written (magic, size, name offset, 108, name), published whole.
// DM_OpenFailed() with errno (183 when the module exists).
DataModule* DM_CreateMapping(const char* name, uint32_t sizeField);

// The module lock (recursive, cross-process). A lock that finds the previous
// holder dead repairs the header's owner and recursion fields.
int DM_Lock(DataModule* module);
int DM_Unlock(DataModule* module);

// Sends to other processes wait until the module locks are free: no module
// lock is held across a send, so a stopped receiver never holds a module.
// While the calling thread holds a module lock (DM_Lock), DM_AfterUnlock
// keeps send for when that thread's last module lock is released, in the
// order of the calls; without a lock held it runs send at once. Memory grows
// with what one holding makes, and is given back at the release.
void DM_AfterUnlock(std::function<void()> send);
// Sig_Send(pid, code) at once or, while a module lock is held, after the
// release (then 0).
int DM_SendSignal(int32_t pid, uint32_t code);
// True while the calling thread holds a module lock.
bool DM_HoldsLock();
// The bare mutex, without the header fields: DM_AcquireMutex returns 0, or
// 0x80 when the previous holder died holding it, or -1.
int DM_AcquireMutex(DataModule* module);
int DM_ReleaseMutex(DataModule* module);

// Copies between a buffer and the data area at offset, under the lock.
// offset + length beyond the data size: errno 67, -1.
int DM_Read(DataModule* module, void* destination, uint32_t length, uint32_t offset);
int DM_Write(DataModule* module, const void* source, uint32_t length, uint32_t offset);

// Raises the pending-update count.
int DM_MarkPending(DataModule* module);
// Takes event slot 1..10 for the calling process and returns the pid that
// held it; slot 0 clears all slots and returns 10. Lowers the pending count.
int DM_ClaimEventSlot(DataModule* module, int slot);
// Waits on event slot 1..10 until it is notified (returns at once when a
// notification is counted). Needs a signal handler (-1, errno 87, without).
// A slot owned by another process: errno 67, -1.
int DM_WaitEvent(DataModule* module, int slot);
// DM_WaitEvent when the pending count is non-zero, else returns at once.
int DM_WaitIfPending(DataModule* module, int slot);
// Notifies slot 1..10, or with 0 every slot and every subscriber (each
// subscription is sent its code once and freed). Lowers the pending count.
int DM_Notify(DataModule* module, int slot);
// As DM_Notify, but serves no slot or entry of the calling process.
int DM_NotifyOthers(DataModule* module, int slot);
// Registers the calling process for code (-32768..32767) on the next full
// notification. -1 when no entry is free (errno 259) or the code does not
// fit (errno 87).
int DM_Subscribe(DataModule* module, int code);
// Frees the calling process's subscription (both entry forms); -1 when there is none.
int DM_Unsubscribe(DataModule* module);

// "Global\" + name + ".mut", in a per-thread buffer that the next call on the same thread overwrites.
const char* DM_MutexName(const char* name);
// The name of the mapping object of a module ("Global\" + name).
const char* DM_MappingName(const char* name);

// The process-local view table.
int DM_AddView(const char* name, DataModule* view);
DataModule* DM_FindView(const char* name);
int DM_SetViewMutex(DataModule* view, plat::NamedMutex* handle);
plat::NamedMutex* DM_GetViewMutex(DataModule* view);  // null when none is stored

// Where the tables of a module are (for inspection); 0, or -1 (errno 0) for a bad module.
int DM_GetTables(const DataModule* module, DMTables* out);
// The data bytes a caller may use: the header's data size, clamped to what
// is really mapped (other processes write the header). 0 for a bad module;
// errno is left as it was.
uint32_t DM_DataBound(const DataModule* module);
// Reads event slot n (1..10) or notify entry n (1..32), in the legacy or the
// current form. 0, or -1 (errno 67) when that slot is not in the module.
int DM_ReadEventSlot(const DataModule* module, bool legacyForm, int n, EventSlot* out);
int DM_ReadNotifyEntry(const DataModule* module, bool legacyForm, int n, NotifyEntry* out);
