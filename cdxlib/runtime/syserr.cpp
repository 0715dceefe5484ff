#include "cdxlib/runtime/syserr.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <strings.h>

#include "cdxlib/records/chanconfig.h"
#include "cdxlib/shm/datamodule.h"
#include "cdxlib/sys/debugtrace.h"
#include "cdxlib/shm/drvtables.h"
#include "cdxlib/sys/timestamp.h"
#include "cdxlib/runtime/valwrite.h"
#include "platform/error.h"
#include "cdxlib/sys/registry.h"
#include "cdxlib/sys/textutil.h"
#include "platform/sysinfo.h"

namespace {

// ---- process-wide state ------------------------------------------------------

DataModuleHeader* g_table = nullptr;
ProcessStatusEntry* g_full = nullptr;   // own entry, full layout
CompactStatusEntry* g_compact = nullptr;  // own entry, compact layout

struct SyserBinding {
  char prefix[3] = {};
  int channel = 0;  // 1-based; 0 = not bound
  DataModuleHeader* values = nullptr;
  DataModuleHeader* conf = nullptr;
  ChannelConfig* record = nullptr;
};
SyserBinding g_bind;

// Keeps the caller's errno and last error across a call.
class ErrorKeeper {
 public:
  ErrorKeeper() : errno_(errno), last_(plat::GetLastError()) {}
  ~ErrorKeeper() {
    errno = errno_;
    plat::SetLastError(last_);
  }

 private:
  int errno_;
  uint32_t last_;
};

uint8_t* DataOf(DataModuleHeader* module) { return reinterpret_cast<uint8_t*>(module) + kDmDataOffset; }

int32_t StoredCount() {
  int32_t n = 0;
  if (DM_DataBound(g_table) >= 4) std::memcpy(&n, DataOf(g_table), 4);
  return n;
}

bool IsCompact() {
  uint32_t size = DM_DataBound(g_table);
  int32_t n = StoredCount();
  return size >= 4 && n > 0 && static_cast<uint64_t>(n) * sizeof(CompactStatusEntry) == size;
}

// Entries that may be searched, never past the data area.
int CompactUsable() {
  uint32_t size = DM_DataBound(g_table);
  int32_t n = StoredCount();
  if (size < 4 || n <= 0) return 0;
  uint32_t fit = (size - 4) / sizeof(CompactStatusEntry);
  return static_cast<uint32_t>(n) < fit ? n : static_cast<int>(fit);
}

CompactStatusEntry* CompactAt(int i) {
  return reinterpret_cast<CompactStatusEntry*>(DataOf(g_table) + 4) + i;
}

int FullCapacity() {
  uint32_t size = DM_DataBound(g_table);
  return size < 4 ? 0 : static_cast<int>((size - 4) / kSysErrFullStride);
}

int FullUsable() {
  int32_t n = StoredCount();
  int c = FullCapacity();
  if (n <= 0) return 0;
  return n < c ? n : c;
}

ProcessStatusEntry* FullAt(int i) {
  uint8_t* base = DataOf(g_table) + 4 + sizeof(CompactStatusEntry) * FullCapacity();
  return reinterpret_cast<ProcessStatusEntry*>(base) + i;
}

// Copies at most n characters of src into a zero-filled field of `width`.
void PutText(char* field, size_t width, const char* src, size_t n) {
  std::memset(field, 0, width);
  size_t len = strnlen(src, n);
  if (len > width) len = width;
  std::memcpy(field, src, len);
}

// ---- SYSER binding -------------------------------------------------------------

int ChannelCount(DataModuleHeader* values, DataModuleHeader* conf) {
  uint16_t n = 0;
  std::memcpy(&n, DataOf(values) + 4, 2);
  int count = n;
  const uint32_t valuesBound = DM_DataBound(values);
  int inValues = static_cast<int>((valuesBound - std::min<uint32_t>(valuesBound, kDrvValueWordsOffset)) / 4);
  int inConf = static_cast<int>(DM_DataBound(conf) / sizeof(ChannelConfig));
  if (count > inValues) count = inValues;
  if (count > inConf) count = inConf;
  return count;
}

bool DescriptionIs(const ChannelConfig* cc, const std::string& text) {
  return strcasecmp(Chan_GetDescription(*cc), text.c_str()) == 0;
}

// The text a process's SYSER channel is named by.
std::string SyserText(int type, const char* name, bool compact) {
  if (compact) return name;
  if (type == kSysErrTypeLogger || type == kSysErrTypeLoggerExp) {
    int n = Drv_FindLogger(name);
    if (n >= 1) {
      const LoggerRecord* logger = Drv_GetLogger(n);
      char loggerType[10] = {};
      std::memcpy(loggerType, logger->typeText, sizeof(logger->typeText));
      return type == kSysErrTypeLogger ? Chan_ShortName(loggerType, name) : Chan_ExpName(loggerType, name);
    }
  }
  return cdxtext::FixedText(name, 47);
}

bool Matches(const ChannelConfig* cc, int type, const std::string& text, bool compact) {
  if (compact || type != kSysErrTypeLoggerExp || text.size() <= 15) return DescriptionIs(cc, text);
  return strcasecmp(Chan_GetTag(*cc), text.substr(0, 15).c_str()) == 0 &&
         strcasecmp(Chan_GetDescription(*cc), text.substr(15).c_str()) == 0;
}

// Binds the SYSER channel of the process; returns its high-state text when
// the channel is set (a status that survived a restart), else "".
std::string Bind(int type, const char* name, bool compact) {
  g_bind = SyserBinding{};
  DriverRecord* syser = Drv_FindDriver("SYSER");
  if (!syser || !syser->prefix[0]) return {};
  char prefix[3] = {syser->prefix[0], syser->prefix[1], '\0'};
  DataModuleHeader* values = Drv_OpenDataModule(prefix);
  DataModuleHeader* conf = Drv_OpenConfModule(prefix);
  if (!values || !conf) return {};
  std::string text = SyserText(type, name, compact);
  int count = ChannelCount(values, conf);
  auto* records = reinterpret_cast<ChannelConfig*>(DataOf(conf));
  for (int c = 1; c <= count; ++c) {
    if (!Matches(&records[c - 1], type, text, compact)) continue;
    std::memcpy(g_bind.prefix, prefix, 3);
    g_bind.channel = c;
    g_bind.values = values;
    g_bind.conf = conf;
    g_bind.record = &records[c - 1];
    uint32_t word = 0;
    std::memcpy(&word, DataOf(values) + kDrvValueWordsOffset + 4 * (c - 1), 4);
    if (word & 1) return cdxtext::FixedText(g_bind.record->digital.HighStateText, sizeof(g_bind.record->digital.HighStateText));
    return {};
  }
  return {};
}

void MirrorSet(const char* text) {
  if (!g_bind.channel) return;
  if (DM_Lock(g_bind.conf) == 0) {
    PutText(g_bind.record->digital.HighStateText, sizeof(g_bind.record->digital.HighStateText), text, 32);
    PutText(g_bind.record->digital.AlarmText, sizeof(g_bind.record->digital.AlarmText), text, 32);
    DM_Notify(g_bind.conf, 0);
    DM_Unlock(g_bind.conf);
  }
  if (DM_Lock(g_bind.values) == 0) {
    TimeStamp now{};
    Time_NowLocal(&now);
    std::memcpy(DataOf(g_bind.values) + 12, &now, sizeof(now));
    DM_Unlock(g_bind.values);
  }
  uint32_t one = 1;
  Val_WriteDigital(g_bind.prefix, g_bind.channel, g_bind.channel, &one);
}

void MirrorClear() {
  if (!g_bind.channel) return;
  uint32_t zero = 0;
  Val_WriteDigital(g_bind.prefix, g_bind.channel, g_bind.channel, &zero);
}

// Stores a text in an entry's field under the table lock and notifies.
void Publish(char* field, size_t width, const char* text, size_t n) {
  if (DM_Lock(g_table) != 0) return;
  PutText(field, width, text, n);
  DM_Notify(g_table, 0);
  DM_Unlock(g_table);
}

}  // namespace

int SysErr_OpenTable() {
  if (g_table) return 0;
  DataModuleHeader* view = DM_Open("dm_errors");
  if (view == nullptr || view == reinterpret_cast<DataModuleHeader*>(-1)) return -1;
  g_table = view;
  return 0;
}

int SysErr_FindStatusText(int type, const char* name, char* text, size_t size) {
  ErrorKeeper keep;
  if (text && size) text[0] = '\0';
  if (!name || SysErr_OpenTable() != 0 || DM_Lock(g_table) != 0) return 0;
  int found = 0;
  auto copy = [&](const char* status, size_t field) {
    found = 1;
    if (!text || !size) return;
    size_t n = strnlen(status, field);
    if (n >= size) n = size - 1;
    memcpy(text, status, n);
    text[n] = '\0';
  };
  if (IsCompact()) {
    for (int i = 0, n = CompactUsable(); i < n && !found; ++i) {
      CompactStatusEntry* e = CompactAt(i);
      if (e->type == type && e->name[0] && strncasecmp(e->name, name, 24) == 0) copy(e->status, sizeof e->status);
    }
  } else {
    for (int i = 0, n = FullUsable(); i < n && !found; ++i) {
      ProcessStatusEntry* e = FullAt(i);
      if (e->type == type && e->name[0] && strncasecmp(e->name, name, 129) == 0) copy(e->status, sizeof e->status);
    }
  }
  DM_Unlock(g_table);
  return found;
}

void SysErr_Register(int type, const char* name) {
  ErrorKeeper keep;
  if (!name || SysErr_OpenTable() != 0) return;
  if (IsCompact()) {
    SysErr_RegisterCompact(type, name);
    return;
  }
  if (DM_Lock(g_table) != 0) return;
  int usable = FullUsable();
  ProcessStatusEntry* found = nullptr;
  for (int i = 0; i < usable && !found; ++i) {
    ProcessStatusEntry* e = FullAt(i);
    if (e->type == type && e->name[0] && strncasecmp(e->name, name, 129) == 0) found = e;
  }
  for (int i = 0; i < usable && !found; ++i) {
    if (FullAt(i)->name[0] == '\0') found = FullAt(i);
  }
  g_full = found;
  g_compact = nullptr;
  if (found) {
    found->type = static_cast<uint8_t>(type);
    PutText(found->name, sizeof(found->name), name, 129);
    std::memset(found->status, 0, sizeof(found->status));
  }
  DM_Unlock(g_table);
  if (!found) {
    g_bind = SyserBinding{};
    return;
  }
  std::string kept = Bind(type, name, false);
  if (!kept.empty()) Publish(found->status, sizeof(found->status), kept.c_str(), 254);
}

void SysErr_RegisterCompact(int type, const char* name) {
  ErrorKeeper keep;
  if (!name || SysErr_OpenTable() != 0) return;
  if (DM_Lock(g_table) != 0) return;
  int usable = CompactUsable();
  CompactStatusEntry* found = nullptr;
  for (int i = 0; i < usable && !found; ++i) {
    CompactStatusEntry* e = CompactAt(i);
    if (e->type == type && e->name[0] && strncasecmp(e->name, name, 24) == 0) found = e;
  }
  for (int i = usable - 1; i >= 0 && !found; --i) {
    if (CompactAt(i)->name[0] == '\0') found = CompactAt(i);
  }
  if (!found && g_compact) {
    // Table full: the entry this process registered before, if it is ours.
    for (int i = 0; i < usable; ++i) {
      if (CompactAt(i) == g_compact) found = g_compact;
    }
  }
  g_compact = found;
  g_full = nullptr;
  if (found) {
    found->type = static_cast<uint8_t>(type);
    PutText(found->name, sizeof(found->name), name, 24);
    std::memset(found->status, 0, sizeof(found->status));
  }
  DM_Unlock(g_table);
  if (!found) {
    g_bind = SyserBinding{};
    return;
  }
  std::string kept = Bind(type, name, true);
  if (!kept.empty()) Publish(found->status, sizeof(found->status), kept.c_str(), kSysErrCompactText);
}

namespace {
// Every status text set and cleared also goes to the debug trace, so that a
// trace shows the failures in their order, also those a later text replaced
// at once.
void TraceText(const char* text) {
  char line[kSysErrTextMax + 40];
  std::snprintf(line, sizeof line, text[0] ? "status text: %s\n" : "status text cleared\n", text);
  Dbg_Log(line);
}
}  // namespace

void SysErr_SetText(const char* format, ...) {
  ErrorKeeper keep;
  if (g_compact) {
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    SysErr_SetTextCompact("%s", text);
    return;
  }
  if (!g_full) return;
  char text[kSysErrTextMax + 1];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  TraceText(text);
  // Only the first 80 characters are stored, so only they are compared: a
  // longer text would otherwise count as changed at every call.
  if (strncasecmp(text, g_full->status, kSysErrStoredText) == 0) return;
  if (text[0] == '\0') {
    SysErr_ClearText();
    return;
  }
  Publish(g_full->status, sizeof(g_full->status), text, kSysErrStoredText);
  MirrorSet(text);
}

void SysErr_SetTextCompact(const char* format, ...) {
  ErrorKeeper keep;
  if (!g_compact) return;
  char text[1024];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  TraceText(text);
  if (strncasecmp(text, g_compact->status, kSysErrCompactText) == 0) return;
  if (text[0] == '\0') {
    SysErr_ClearTextCompact();
    return;
  }
  Publish(g_compact->status, sizeof(g_compact->status), text, kSysErrCompactText);
  MirrorSet(text);
}

void SysErr_ClearText() {
  ErrorKeeper keep;
  if (g_compact) {
    SysErr_ClearTextCompact();
    return;
  }
  if (!g_full || g_full->status[0] == '\0') return;
  TraceText("");
  Publish(g_full->status, sizeof(g_full->status), "", 0);
  MirrorClear();
}

void SysErr_ClearTextCompact() {
  ErrorKeeper keep;
  if (!g_compact || g_compact->status[0] == '\0') return;
  TraceText("");
  Publish(g_compact->status, sizeof(g_compact->status), "", 0);
  MirrorClear();
}

const char* SysErr_OwnText() {
  static char text[256];
  text[0] = '\0';
  if (g_full) std::memcpy(text, g_full->status, sizeof(g_full->status));
  if (g_compact) std::memcpy(text, g_compact->status, sizeof(g_compact->status));
  text[255] = '\0';
  return text;
}

int SysErr_BoundChannel() { return g_bind.channel; }

void SysErr_ResetProcessState() {
  g_table = nullptr;
  g_full = nullptr;
  g_compact = nullptr;
  g_bind = SyserBinding{};
}

