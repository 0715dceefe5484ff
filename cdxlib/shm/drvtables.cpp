#include "cdxlib/shm/drvtables.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "cdxlib/shm/datamodule.h"
#include "cdxlib/records/devicerecord.h"
#include "cdxlib/sys/numformat.h"
#include "cdxlib/shm/signals.h"
#include "platform/error.h"
#include "platform/sync.h"

static_assert(sizeof(DeviceRecord) == 788);

namespace {

// ---- module access -------------------------------------------------------

uint8_t* DataOf(DataModuleHeader* module) {
  return module ? reinterpret_cast<uint8_t*>(module) + kDmDataOffset : nullptr;
}

// DM_Open reports a missing module with an all-ones view.
DataModuleHeader* OpenModule(const std::string& name) {
  DataModuleHeader* view = DM_Open(name.c_str());
  if (view == nullptr || view == reinterpret_cast<DataModuleHeader*>(-1)) return nullptr;
  return view;
}

int32_t ReadI32(const uint8_t* p) {
  int32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// ---- process-wide state ----------------------------------------------------

DataModuleHeader* g_driverTable = nullptr;
DataModuleHeader* g_deviceTable = nullptr;
DataModuleHeader* g_loggerTable = nullptr;

struct CacheEntry {
  DataModuleHeader* values = nullptr;
  DataModuleHeader* conf = nullptr;
  DataModuleHeader* event = nullptr;
};
std::vector<CacheEntry> g_cache;
bool g_cacheSized = false;
int g_cacheDrivers = 0;  // D at the time the cache was sized


int OpenTable(DataModuleHeader** slot, const char* name) {
  if (*slot) return 0;
  *slot = OpenModule(name);
  return *slot ? 0 : -1;
}

// Records of a table that lie wholly in its module.
int FittingCount(DataModuleHeader* table, uint32_t recordSize) {
  if (!table) return 0;
  uint32_t size = DM_DataBound(table);
  if (size < 4) return 0;
  int32_t count = ReadI32(DataOf(table));
  if (count <= 0) return 0;
  uint32_t fit = (size - 4) / recordSize;
  return static_cast<uint32_t>(count) < fit ? count : static_cast<int>(fit);
}

std::string ModuleName(const char* prefix, const char* suffix) {
  char xx[3] = {prefix[0], prefix[0] ? prefix[1] : '\0', '\0'};
  Str_UpperN(xx, 2);
  return std::string("dm_") + xx + suffix;
}

bool PrefixEquals(const char* a, const char* b) {
  for (int i = 0; i < 2; ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
    if (x == '\0') return true;
  }
  return true;
}

const char* DevicePathPrefix(const DeviceRecord* dev, int k) {
  return dev->PathPrefix[k];
}

// Sizes the cache once, from the counts current at its first use.
bool EnsureCache() {
  if (g_cacheSized) return true;
  Drv_OpenDriverTable();
  Drv_OpenDeviceTable();
  int drivers = Drv_DriverCount();
  int devices = Drv_DeviceCount();
  try {
    g_cache.assign(static_cast<size_t>(drivers) + 6 * static_cast<size_t>(devices), CacheEntry{});
  } catch (...) {
    return false;
  }
  g_cacheDrivers = drivers;
  g_cacheSized = true;
  return true;
}

// The index of the prefix's record in the table order (not opening
// anything), or -1 when it is found nowhere or lies beyond the cache.
int FindIndex(const char* prefix) {
  if (!prefix || !prefix[0]) return -1;
  if (!EnsureCache()) return -1;
  int drivers = Drv_DriverCount();
  for (int i = 0; i < drivers; ++i) {
    // Entries 0 .. D-1 belong to the records counted when the cache was
    // sized; a record added since has none (its index would be a device's).
    if (PrefixEquals(Drv_DriverAt(i)->prefix, prefix)) return i < g_cacheDrivers ? i : -1;
  }
  int devices = Drv_DeviceCount();
  for (int i = 0; i < devices; ++i) {
    const DeviceRecord* dev = Drv_DeviceAt(i);
    for (int k = 0; k < 6; ++k) {
      const char* p = k < kDrvPathCount ? DevicePathPrefix(dev, k) : Drv_DeviceDiagPrefix(i);
      if (!p || !p[0]) continue;
      if (PrefixEquals(p, prefix)) {
        // Indices follow the counts the cache was sized with.
        int index = g_cacheDrivers + 6 * i + k;
        return index < static_cast<int>(g_cache.size()) ? index : -1;
      }
    }
  }
  return -1;
}

DataModuleHeader* OpenSetModule(const char* prefix, const char* suffix,
                                DataModuleHeader* CacheEntry::*member) {
  if (!prefix || !prefix[0]) return nullptr;
  int index = FindIndex(prefix);
  if (index >= 0 && g_cache[index].*member) return g_cache[index].*member;
  DataModuleHeader* view = OpenModule(ModuleName(prefix, suffix));
  if (index >= 0) g_cache[index].*member = view;
  return view;
}

bool IsDriverIndex(int index) { return index >= 0 && index < g_cacheDrivers; }

const DeviceRecord* DeviceOfIndex(int index) {
  return Drv_DeviceAt((index - g_cacheDrivers) / 6);
}

}  // namespace

// ---- tables ------------------------------------------------------------------

int Drv_OpenDriverTable() { return OpenTable(&g_driverTable, "dm_datproc"); }
int Drv_OpenDeviceTable() { return OpenTable(&g_deviceTable, "dm_device"); }
int Drv_OpenLoggerTable() { return OpenTable(&g_loggerTable, "dm_loggers"); }

DataModuleHeader* Drv_DriverTable() { return g_driverTable; }
DataModuleHeader* Drv_DeviceTable() { return g_deviceTable; }
DataModuleHeader* Drv_LoggerTable() { return g_loggerTable; }

int Drv_DriverCount() { return FittingCount(g_driverTable, sizeof(DriverRecord)); }
int Drv_DeviceCount() { return FittingCount(g_deviceTable, sizeof(DeviceRecord)); }
int Drv_LoggerCount() { return FittingCount(g_loggerTable, sizeof(LoggerRecord)); }

DriverRecord* Drv_DriverAt(int i) {
  if (i < 0 || i >= Drv_DriverCount()) return nullptr;
  return reinterpret_cast<DriverRecord*>(DataOf(g_driverTable) + 4 + sizeof(DriverRecord) * i);
}

DeviceRecord* Drv_DeviceAt(int i) {
  if (i < 0 || i >= Drv_DeviceCount()) return nullptr;
  return reinterpret_cast<DeviceRecord*>(DataOf(g_deviceTable) + 4 + sizeof(DeviceRecord) * i);
}

const char* Drv_DeviceDiagPrefix(int i) {
  int count = Drv_DeviceCount();
  if (i < 0 || i >= count) return nullptr;
  // The prefixes follow the stored count of records.
  int32_t stored = ReadI32(DataOf(g_deviceTable));
  uint64_t end = 4 + static_cast<uint64_t>(stored) * sizeof(DeviceRecord) + 2 * static_cast<uint64_t>(i) + 2;
  if (stored != count || end > DM_DataBound(g_deviceTable)) return nullptr;
  return reinterpret_cast<const char*>(DataOf(g_deviceTable)) + end - 2;
}

DriverRecord* Drv_FindDriver(const char* name) {
  if (!name || Drv_OpenDriverTable() != 0) return nullptr;
  char wanted[9] = {};
  std::strncpy(wanted, name, 8);
  Str_UpperN(wanted, 8);
  int count = Drv_DriverCount();
  for (int i = 0; i < count; ++i) {
    if (strncasecmp(Drv_DriverAt(i)->programName, wanted, sizeof(wanted)) == 0) return Drv_DriverAt(i);
  }
  for (int i = 0; i < count; ++i) {
    if (strncasecmp(Drv_DriverAt(i)->programName, wanted, 5) == 0) return Drv_DriverAt(i);
  }
  return nullptr;
}

LoggerRecord* Drv_GetLogger(int n) {
  if (Drv_OpenLoggerTable() != 0 || n < 1 || n > Drv_LoggerCount()) return nullptr;
  return reinterpret_cast<LoggerRecord*>(DataOf(g_loggerTable) + 4 + sizeof(LoggerRecord) * (n - 1));
}

int Drv_FindLogger(const char* name) {
  errno = 0;
  if (!name || Drv_OpenLoggerTable() != 0) return 0;
  int count = Drv_LoggerCount();
  for (int n = 1; n <= count; ++n) {
    if (strncasecmp(Drv_GetLogger(n)->name, name, sizeof(LoggerRecord::name)) == 0) return n;
  }
  errno = 0;
  return 0;
}

LoggerExtension* Drv_GetLoggerExtension(int n) {
  LoggerRecord* rec = Drv_GetLogger(n);
  if (!rec) return nullptr;
  uint32_t stored = 0;
  std::memcpy(&stored, DataOf(g_loggerTable), 4);
  uint64_t offset = 4 + static_cast<uint64_t>(stored) * sizeof(LoggerRecord) +
                    static_cast<uint64_t>(n - 1) * sizeof(LoggerExtension);
  if (offset + sizeof(LoggerExtension) > DM_DataBound(g_loggerTable)) return nullptr;
  return reinterpret_cast<LoggerExtension*>(DataOf(g_loggerTable) + offset);
}

// ---- module sets -----------------------------------------------------------------

int Drv_CacheIndex(const char* prefix) {
  if (!prefix || !prefix[0]) return -1;
  if (!EnsureCache()) return -1;
  int index = FindIndex(prefix);
  if (index < 0) return -1;
  if (!g_cache[index].values) {
    g_cache[index].values = OpenModule(ModuleName(prefix, ""));
    if (!g_cache[index].values) return -1;
  }
  return index;
}

DataModuleHeader* Drv_OpenDataModule(const char* prefix) { return OpenSetModule(prefix, "", &CacheEntry::values); }
DataModuleHeader* Drv_OpenConfModule(const char* prefix) { return OpenSetModule(prefix, "_conf", &CacheEntry::conf); }
DataModuleHeader* Drv_OpenEventModule(const char* prefix) { return OpenSetModule(prefix, "_event", &CacheEntry::event); }

uint8_t* Drv_GetData(const char* prefix) { return DataOf(Drv_OpenDataModule(prefix)); }
uint8_t* Drv_GetConfData(const char* prefix) { return DataOf(Drv_OpenConfModule(prefix)); }

uint32_t* Drv_GetValueWords(const char* prefix) {
  uint8_t* data = Drv_GetData(prefix);
  return data ? reinterpret_cast<uint32_t*>(data + kDrvValueWordsOffset) : nullptr;
}

int Drv_GetKind(const char* prefix) {
  if (!Drv_OpenDataModule(prefix)) return -1;
  int index = FindIndex(prefix);
  if (index < 0) return 1;
  if (IsDriverIndex(index)) {
    const DriverRecord* rec = Drv_DriverAt(index);
    if (strncasecmp(rec->programName, "modb", 4) == 0) return 1;
    return rec->type + 1;
  }
  return (index - g_cacheDrivers) % 6 == 5 ? 1 : 0;
}

int32_t Drv_GetOwnerPid(const char* prefix) {
  if (!Drv_OpenDataModule(prefix)) return -1;
  int index = FindIndex(prefix);
  if (index < 0) return 0;
  if (IsDriverIndex(index)) return Drv_DriverAt(index)->pid;
  const DeviceRecord* dev = DeviceOfIndex(index);
  return dev ? static_cast<int32_t>(dev->ScannerPid) : 0;
}

const char* Drv_GetOwnerName(const char* prefix) {
  static char name[26];
  if (!Drv_OpenDataModule(prefix)) return nullptr;
  name[0] = '\0';
  int index = FindIndex(prefix);
  if (index < 0) return name;
  const char* source = nullptr;
  if (IsDriverIndex(index)) {
    source = Drv_DriverAt(index)->printName;
  } else if (const DeviceRecord* dev = DeviceOfIndex(index)) {
    source = dev->ProcessName;
  }
  if (source) {
    std::memcpy(name, source, 25);
    name[25] = '\0';
  }
  return name;
}

int Drv_UsesValueRecords(const char* prefix) {
  if (!Drv_OpenDataModule(prefix)) return -1;
  int index = FindIndex(prefix);
  if (!IsDriverIndex(index)) return 0;
  return Drv_DriverAt(index)->valueRecords;
}

int Drv_MoveDriverLast(const char* name) {
  DriverRecord* rec = Drv_FindDriver(name);
  if (!rec) return 0;
  DM_Lock(g_driverTable);
  // Found again under the lock: the table may have changed meanwhile.
  rec = Drv_FindDriver(name);
  int count = Drv_DriverCount();
  int i = rec ? static_cast<int>(rec - Drv_DriverAt(0)) : -1;
  if (i >= 0 && i < count - 1) {
    DriverRecord moved = *rec;
    std::memmove(rec, rec + 1, sizeof(DriverRecord) * (count - 1 - i));
    *Drv_DriverAt(count - 1) = moved;
    // The cache entries of the records move with them. When the table has
    // grown since the cache was sized, the moved record now lies beyond the
    // cache (no entry) and the record that took the last cached place had
    // none either.
    int cached = g_cacheSized ? g_cacheDrivers : 0;
    if (i < cached) {
      int last = cached - 1;
      CacheEntry entry = g_cache[i];
      for (int k = i; k < last; ++k) g_cache[k] = g_cache[k + 1];
      g_cache[last] = count == cached ? entry : CacheEntry{};
    }
  }
  DM_Unlock(g_driverTable);
  return 0;
}

// ---- event bits ----------------------------------------------------------------

int Drv_EventBitTest(DataModuleHeader* eventModule, int rowLength, int row, int n) {
  if (!eventModule || rowLength < 0 || row < 0 || n < 0) return 0;
  uint64_t byte = static_cast<uint64_t>(row) * rowLength + n / 8;
  if (byte >= DM_DataBound(eventModule)) return 0;
  return (DataOf(eventModule)[byte] & (0x80 >> (n % 8))) ? 1 : 0;
}

int Drv_EventBitSet(DataModuleHeader* eventModule, int rowLength, int row, int n, bool on) {
  if (!eventModule || rowLength < 0 || row < 0 || n < 0) return plat::Fail(plat::kErrBadNetName), -1;
  uint64_t byte = static_cast<uint64_t>(row) * rowLength + n / 8;
  if (byte >= DM_DataBound(eventModule)) return plat::Fail(plat::kErrBadNetName), -1;
  if (on) {
    Bit_Set(DataOf(eventModule), static_cast<int>(byte * 8 + n % 8));
  } else {
    Bit_Clear(DataOf(eventModule), static_cast<int>(byte * 8 + n % 8));
  }
  return 0;
}

void Drv_ResetProcessState() {
  g_driverTable = g_deviceTable = g_loggerTable = nullptr;
  g_cache.clear();
  g_cacheSized = false;
  g_cacheDrivers = 0;
}

void Bit_Set(uint8_t* bytes, int n) { bytes[n / 8] |= static_cast<uint8_t>(0x80 >> (n % 8)); }
void Bit_Clear(uint8_t* bytes, int n) { bytes[n / 8] &= static_cast<uint8_t>(~(0x80 >> (n % 8))); }
int Bit_Test(const uint8_t* bytes, int n) { return (bytes[n / 8] & (0x80 >> (n % 8))) ? 1 : 0; }
