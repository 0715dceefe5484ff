// Processor, device and logger listings read from DATPROC.TXT, DEVCAP.TXT
// and LOGCAP.TXT.
#include "cdxlib/client/requests_capfallback.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>
#include <vector>

#include "cdxlib/config/loggerfiles.h"
#include "cdxlib/config/loggertypes.h"
#include "platform/error.h"

namespace {

constexpr size_t kLoggerTypeTextMax = 24;

struct Selector {
  enum Kind { kFirst, kIndex, kName } kind = kFirst;
  long number = 0;
  std::string name;
};

bool AllDigits(const char* s) {
  if (!*s) return false;
  for (; *s; ++s)
    if (*s < '0' || *s > '9') return false;
  return true;
}

bool ParseSelector(const char* text, Selector* out) {
  if (!text || !*text) return false;
  if (text[0] == '*' && text[1] == ',') {
    if (!AllDigits(text + 2)) return false;
    out->kind = Selector::kFirst;
    out->number = strtol(text + 2, nullptr, 10);
    return true;
  }
  if (AllDigits(text)) {
    out->kind = Selector::kIndex;
    out->number = strtol(text, nullptr, 10);
    return out->number >= 1;
  }
  out->kind = Selector::kName;
  out->name = text;
  return true;
}

std::string Join(const char* dir, const char* file) {
  std::string path = dir && *dir ? dir : ".";
  if (path.back() != '/') path += '/';
  return path + file;
}

// Reads the file's entries with `parse` (index, fields, offsets, count,
// entry, earlier entries) and keeps the selected ones; `complete` (entry,
// its position in the file from 1) finishes each kept entry.
template <typename Entry, typename Parse, typename NameOf, typename Complete>
int List(const char* dir, const char* file, const char* selectorText, Entry* entries, int capacity, Parse parse,
         NameOf nameOf, Complete complete) {
  Selector sel;
  if (!ParseSelector(selectorText, &sel) || capacity < 0 || (capacity > 0 && !entries)) {
    plat::Fail(plat::kErrInvalidParameter);
    return -1;
  }
  const int total = CapFile_Open(Join(dir, file).c_str());
  if (total < 0) return -1;
  std::vector<Entry> parsed;
  parsed.reserve(static_cast<size_t>(total));
  int filled = 0;
  char* fields[kCapFieldsMax];
  int offsets[kCapFieldsMax];
  int n = 0;
  while (filled < capacity && (n = CapFile_Split(fields, offsets, kCapFieldsMax)) > 0) {
    Entry e;
    if (parse(fields, offsets, n, &e, parsed.data(), static_cast<int>(parsed.size())) != 1) return -2;
    parsed.push_back(e);
    const long position = static_cast<long>(parsed.size());
    bool take = false;
    switch (sel.kind) {
      case Selector::kFirst: take = position <= sel.number; break;
      case Selector::kIndex: take = position == sel.number; break;
      case Selector::kName: take = strncasecmp(nameOf(e), sel.name.c_str(), 5) == 0; break;
    }
    if (take) {
      entries[filled] = e;
      complete(&entries[filled], static_cast<int>(position));
      ++filled;
    }
    if ((sel.kind == Selector::kFirst && position >= sel.number) || (sel.kind != Selector::kFirst && filled > 0))
      break;
  }
  CapFile_Close();
  return filled;
}

int Count(const char* dir, const char* file) {
  const int n = CapFile_Open(Join(dir, file).c_str());
  CapFile_Close();
  return n;
}

}  // namespace

int CapList_CountProcessors(const char* configDir) { return Count(configDir, "DATPROC.TXT"); }
int CapList_CountDevices(const char* configDir) { return Count(configDir, "DEVCAP.TXT"); }
int CapList_CountLoggers(const char* configDir) { return Count(configDir, "LOGCAP.TXT"); }

int CapList_Processors(const char* configDir, const char* selector, ProcessorEntry* entries, int capacity) {
  return List(configDir, "DATPROC.TXT", selector, entries, capacity, Proc_ParseDatProc,
              [](const ProcessorEntry& e) { return e.Name; }, [](ProcessorEntry*, int) {});
}

int CapList_Devices(const char* configDir, const char* selector, DeviceEntry* entries, int capacity) {
  return List(configDir, "DEVCAP.TXT", selector, entries, capacity, Dev_ParseDevCap,
              [](const DeviceEntry& e) { return e.Name; }, [](DeviceEntry*, int) {});
}

int CapList_Loggers(const char* configDir, const char* selector, LoggerEntry* entries, int capacity) {
  return List(
      configDir, "LOGCAP.TXT", selector, entries, capacity,
      [](char** f, const int* o, int n, LoggerEntry* e, const LoggerEntry*, int) {
        return Logger_ParseLogCap(f, o, n, e);
      },
      [](const LoggerEntry& e) { return e.Name; },
      [&](LoggerEntry* e, int position) { Logger_ReadLocalInfo(configDir, position, e); });
}

int Logger_ReadLocalInfo(const char* configDir, int number, LoggerEntry* entry) {
  if (!entry) return 0;
  entry->Number = 0;
  memset(entry->Type, 0, sizeof entry->Type);
  if (number < 1) return 0;
  const std::string dir = Join(configDir, "LOGGERS");
  const LoggerKind kind = Cfg_LoggerKind(entry->Name);
  // Every known record begins with the logger's name; a logger of another
  // kind has a record this library cannot read, so only its presence is
  // learnt.
  std::vector<unsigned char> record(kind == kLoggerUnknown ? 1 : Cfg_LoggerSize(kind), 0);
  const int keepErrno = errno;
  const uint32_t keepLast = plat::GetLastError();
  const int rc = Cfg_LoadLogger(dir.c_str(), entry->Name, number, record.data(),
                                kind == kLoggerUnknown ? 0 : static_cast<uint32_t>(record.size()));
  errno = keepErrno;
  plat::SetLastError(keepLast);
  if (rc != 0) return 0;
  entry->Number = number;
  if (kind != kLoggerUnknown) {
    const char* name = reinterpret_cast<const char*>(record.data());
    const size_t n = strnlen(name, std::min(record.size(), kLoggerTypeTextMax));
    memcpy(entry->Type, name, n);
  }
  return 1;
}
