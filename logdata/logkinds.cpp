// The factories of the log kinds, the registry of the database kinds and
// the lookup of a logger's newest run.
#include "logdata/logkinds.h"

#include <strings.h>

#include <cstring>
#include <mutex>
#include <new>

#include "logdata/logfilecollection.h"
#include "logdata/logfilestore.h"
#include "platform/error.h"

namespace {

struct KindEntry {
  LogStoreFactory store = nullptr;
  LogCollectionFactory collection = nullptr;
};

std::mutex& KindMutex() {
  static std::mutex m;
  return m;
}
KindEntry g_kinds[2];  // ADO, MariaDB

KindEntry LookupKind(int kind) {
  std::lock_guard<std::mutex> lock(KindMutex());
  return g_kinds[kind];
}

}  // namespace

void RegisterLogStoreKind(int providerKind, LogStoreFactory store, LogCollectionFactory collection) {
  if (providerKind != kProviderAdo && providerKind != kProviderMariaDb) return;
  std::lock_guard<std::mutex> lock(KindMutex());
  g_kinds[providerKind] = KindEntry{store, collection};
}

CLogStore* CreateLogStore(const char* location) {
  int kind = GetProviderKind(location);
  if (kind == kProviderFiles) return new (std::nothrow) CLogFileStore();
  if (kind == kProviderAdo || kind == kProviderMariaDb) {
    KindEntry e = LookupKind(kind);
    if (e.store) return e.store();
  }
  plat::SetLastError(plat::kErrNotSupported);
  return nullptr;
}

CLogCollection* CreateLogCollection(const char* location) {
  int kind = GetProviderKind(location);
  if (kind == kProviderFiles) return new (std::nothrow) CLogFileCollection();
  if (kind == kProviderAdo || kind == kProviderMariaDb) {
    KindEntry e = LookupKind(kind);
    if (e.collection) return e.collection();
  }
  plat::SetLastError(plat::kErrNotSupported);
  return nullptr;
}

// ---- Newest run of a logger -----------------------------------------------

const char* ResolveLogName(const char* location) {
  static thread_local char buffer[1285];
  buffer[0] = '\0';
  if (!location || strlen(location) > 1284) return buffer;
  strcpy(buffer, location);
  if (strcasestr(buffer, ";LoggerSeq=")) return buffer;
  char logger[260];
  int size = sizeof logger;
  if (!TakeLoggerName(buffer, &size, logger)) {
    buffer[0] = '\0';
    return buffer;
  }
  CLogCollection* c = CreateLogCollection(buffer);
  if (!c) {
    buffer[0] = '\0';
    return buffer;
  }
  char name[1285];
  int nameSize = 0;
  bool ok = c->Open(buffer, "", logger, "", kGenericRead) == 0 &&
            c->FindNewest(name, &nameSize, nullptr, nullptr, 1) == 1;
  c->Destroy(1);
  if (!ok) {
    buffer[0] = '\0';
    return buffer;
  }
  size_t used = strlen(buffer);
  int n = FormatBounded(buffer + used, static_cast<int>(sizeof buffer - used), ";LoggerName=%s;%s", logger, name);
  if (n < 0) buffer[0] = '\0';
  return buffer;
}
