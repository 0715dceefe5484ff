// Processor, device and logger listings read from DATPROC.TXT, DEVCAP.TXT
// and LOGCAP.TXT.
#include "cdxlib/client/requests_capfallback.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>
#include <vector>

#include "platform/error.h"

namespace {

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
// entry, earlier entries) and keeps the selected ones.
template <typename Entry, typename Parse, typename NameOf>
int List(const char* dir, const char* file, const char* selectorText, Entry* entries, int capacity, Parse parse,
         NameOf nameOf) {
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
    if (take) entries[filled++] = e;
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
              [](const ProcessorEntry& e) { return e.Name; });
}

int CapList_Devices(const char* configDir, const char* selector, DeviceEntry* entries, int capacity) {
  return List(configDir, "DEVCAP.TXT", selector, entries, capacity, Dev_ParseDevCap,
              [](const DeviceEntry& e) { return e.Name; });
}

int CapList_Loggers(const char* configDir, const char* selector, LoggerEntry* entries, int capacity) {
  return List(
      configDir, "LOGCAP.TXT", selector, entries, capacity,
      [](char** f, const int* o, int n, LoggerEntry* e, const LoggerEntry*, int) {
        return Logger_ParseLogCap(f, o, n, e);
      },
      [](const LoggerEntry& e) { return e.Name; });
}
