// Base defaults of the log store and collection, and the functions on
// location strings and names that every kind shares.
#include "logdata/logstore.h"

#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/error.h"

// ---- CLogStore defaults ----------------------------------------------------

CLogStore::~CLogStore() = default;

CLogStore* CLogStore::Destroy(int flags) {
  if (flags & 1) {
    delete this;
    return nullptr;
  }
  this->~CLogStore();
  return this;
}
int CLogStore::Open(const char*, const char*, uint32_t) { return 0; }
int CLogStore::OpenForAppend(LogHeader*) { return 0; }
void CLogStore::GetName(char*, int*) {}
int CLogStore::Close() { return 0; }
int CLogStore::UpdateHeader(uint32_t) { return 0; }
int CLogStore::ReadHeader(LogHeader*) { return 0; }
int CLogStore::WriteHeader(LogHeader*, int) { return 0; }
int CLogStore::ReadChannels(LogHeader*, ChannelConfig*, int, int, int) { return 0; }
int CLogStore::AppendRecords(LogHeader*, const void*, int) { return 0; }
int CLogStore::SelectRecords(const TimeStamp*, const TimeStamp*, LogHeader*, void*, int, int, int, const char*, int,
                             int) {
  return 0;
}
int CLogStore::ReadLogs(int, LogHeader*, void*, int, int, const char*, void*) { return 0; }
int CLogStore::ReadLog(int, LogHeader*, void*, int, int, void*, const char*, int, int) { return 0; }
int CLogStore::RewriteRecords(int, LogHeader*, const void*, int) { return 0; }
int CLogStore::GetNoLogs(LogHeader*) { return 0; }
int CLogStore::CountValidRecords(LogHeader*) { return 0; }
int CLogStore::ReadTextW(const char*, char16_t*, int*, int32_t, int32_t) { return 0; }
int CLogStore::ReadText(const char*, char*, int*, int32_t, int32_t) { return 0; }
int CLogStore::ReadTextLinesW(const char*, char16_t**, int*, char16_t*, int*, int32_t, int32_t) { return 0; }
int CLogStore::ReadTextLines(const char*, char**, int*, char*, int*, int32_t, int32_t) { return 0; }
int CLogStore::WriteTextW(int32_t, const char16_t*, const char16_t*, const char*) { return 0; }
int CLogStore::WriteText(int32_t, const char*, const char*, const char*) { return 0; }
int CLogStore::WriteStampedTextW(const LineStamp&, const char16_t*, const char16_t*, const char*) { return 0; }
int CLogStore::WriteStampedText(const LineStamp&, const char*, const char*, const char*) { return 0; }
int CLogStore::WritePosition(int32_t, int, float) { return 0; }
int CLogStore::WriteHeaderTextW(const char16_t*) { return 0; }
int CLogStore::WriteHeaderText(const char*) { return 0; }
int CLogStore::WriteFormulae(const char*, int, const char*) { return 0; }
int CLogStore::WriteUnitCategory(const char*, const char*) { return 0; }
int CLogStore::GetLastTextTime(int32_t*) { return -1; }
const char* CLogStore::GetErrorDetail() { return ""; }
const char* CLogStore::GetErrorSummary() { return ""; }
int CLogStore::Rename(const char*) { return 0; }
void CLogStore::DeleteRecords(const TimeStamp*, const TimeStamp*) {}
void CLogStore::Truncate(LogHeader*, int) {}
int CLogStore::CountRecords(const TimeStamp*, const TimeStamp*, LogHeader* header) {
  return header ? static_cast<int>(header->recordCount) : 0;
}

// ---- CLogCollection defaults -----------------------------------------------

CLogCollection::CLogCollection() { namePrefix_[0] = '\0'; }
CLogCollection::~CLogCollection() = default;

CLogCollection* CLogCollection::Destroy(int flags) {
  if (flags & 1) {
    delete this;
    return nullptr;
  }
  this->~CLogCollection();
  return this;
}

int CLogCollection::Open(const char*, const char*, const char*, const char* namePrefix, uint32_t) {
  const char* p = namePrefix ? namePrefix : "";
  size_t n = strlen(p);
  if (n > static_cast<size_t>(kMaxNamePrefix)) {
    plat::SetLastError(0);
    return -1;
  }
  memcpy(namePrefix_, p, n + 1);
  return 0;
}
void CLogCollection::DoNothing(void*) {}
void CLogCollection::DeleteBefore(const int32_t*) {}
int CLogCollection::FindFirst(int*) { return 0; }
int CLogCollection::FindNext(char*, TimeStamp*, TimeStamp*) { return 0; }
int CLogCollection::FindNewest(char*, int*, TimeStamp*, TimeStamp*, int) { return 0; }
CLogStore* CLogCollection::CreateLogW(const int32_t*, int, int, LogHeader*, const char16_t*, int, const char*, int,
                                      ChannelConfig**) {
  return nullptr;
}
CLogStore* CLogCollection::CreateLog(const int32_t*, int, int, LogHeader*, const char*, int, const char*, int,
                                     ChannelConfig**) {
  return nullptr;
}
CLogStore* CLogCollection::OpenLog(const char*, uint32_t) { return nullptr; }
int CLogCollection::UseforLogging(CLogStore*, LogHeader*, const char*, int, int) { return 0; }
int CLogCollection::CloseLog(CLogStore*, const int32_t*, const int32_t*, int) { return 0; }
const char* CLogCollection::GetErrorDetail() { return ""; }
const char* CLogCollection::GetErrorSummary() { return ""; }
void CLogCollection::MakeLogPath(const char*, char*, int*) {}

// ---- Provider kinds --------------------------------------------------------

int GetProviderKind(const char* location) {
  if (!location || strncasecmp(location, "PROVIDER=", 9) != 0) return kProviderFiles;
  const char* p = location + 9;
  if (strncasecmp(p, "MYSQL", 5) == 0 || strncasecmp(p, "MARIADB", 7) == 0) return kProviderMariaDb;
  if (strncasecmp(p, "WITSML", 6) == 0) return kProviderWitsml;
  if (strncasecmp(p, "OSDU", 4) == 0) return kProviderOsdu;
  return kProviderAdo;
}

// ---- Location fields -------------------------------------------------------

namespace {

char* FindKey(char* location, const char* key) {
  size_t kl = strlen(key);
  if (kl == 0) return nullptr;
  for (char* p = location; *p; ++p)
    if (strncasecmp(p, key, kl) == 0) return p;
  return nullptr;
}

}  // namespace

int TakeConnectionField(const char* key, char* location, int* size, char* value) {
  if (!key || !location || !size) return 0;
  char* at = FindKey(location, key);
  if (!at) return 0;
  char* v = at + strlen(key);
  char* end = strchr(v, ';');
  if (!end) end = v + strlen(v);
  int len = static_cast<int>(end - v);
  if (value) {
    // The value and its terminator must fit in *size characters.
    if (len >= *size) return 0;
    memcpy(value, v, len);
    value[len] = '\0';
  } else {
    *size = len;
  }
  memmove(at, end, strlen(end) + 1);
  return 1;
}

int TakeLoggerName(char* location, int* size, char* value) {
  return TakeConnectionField(";LoggerName=", location, size, value);
}

int TakeLoggerSeq(char* location, long* number) {
  if (!location) return 0;
  const char* key = ";LoggerSeq=";
  char* at = FindKey(location, key);
  if (!at) return 0;
  char* v = at + strlen(key);
  char* end = strchr(v, ';');
  if (!end) end = v + strlen(v);
  if (end == v) return 0;
  char text[32];
  size_t len = static_cast<size_t>(end - v);
  if (len >= sizeof text) return 0;
  memcpy(text, v, len);
  text[len] = '\0';
  char* stop = nullptr;
  errno = 0;
  long n = strtol(text, &stop, 10);
  if (errno != 0 || stop == text || *stop != '\0') return 0;
  if (number) *number = n;
  memmove(at, end, strlen(end) + 1);
  return 1;
}


// ---- Names -----------------------------------------------------------------

void SanitizeSqlName(char* name) {
  if (!name) return;
  static const char kBad[] = " #&*=+?!^(){}~<>:-";
  for (char* p = name; *p; ++p)
    if (strchr(kBad, *p)) *p = '_';
}

int IsReservedColumnName(const char* name) {
  if (!name || !*name) return 1;
  static const char* const kNames[] = {"END", "DT", "MS", "TX", "TP", "LL", "LV"};
  for (const char* n : kNames)
    if (strcmp(name, n) == 0) return 1;
  return 0;
}

int CountTextLines(const char* text) {
  if (!text) return 0;
  int lines = 0;
  const char* p = text;
  while (*p) {
    const char* e = strstr(p, "\r\n");
    ++lines;
    if (!e) break;
    p = e + 2;
  }
  return lines;
}

int FormatBoundedV(char* buffer, int size, const char* format, va_list args) {
  if (!buffer || size <= 0) return -1;
  if (!format) {
    buffer[0] = '\0';
    return -1;
  }
  int n = vsnprintf(buffer, static_cast<size_t>(size), format, args);
  if (n < 0 || n >= size) {
    buffer[0] = '\0';
    return -1;
  }
  return n;
}

int FormatBounded(char* buffer, int size, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  int n = FormatBoundedV(buffer, size, format, ap);
  va_end(ap);
  return n;
}
