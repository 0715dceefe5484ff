// The kinds of log stores and collections: the factories that create the
// kind a location string names (see logstore.h), the seam through which the
// database kinds install themselves, and the lookup of a logger's newest
// run, which opens a collection of the location's kind.
//
// Apart from logstore.h because the factories create the file kinds
// (logfilestore.h, logfilecollection.h), which are built on its interfaces.
#pragma once
#include "logdata/logstore.h"

// A new, unopened store or collection of the location's kind, or null (the
// kind has no store, none is registered, or allocation failed). The caller
// destroys it with Destroy(1).
CLogStore* CreateLogStore(const char* location);
CLogCollection* CreateLogCollection(const char* location);

// The seam through which the database kinds install themselves (ADO and
// MariaDB). Registering null factories removes a kind.
using LogStoreFactory = CLogStore* (*)();
using LogCollectionFactory = CLogCollection* (*)();
void RegisterLogStoreKind(int providerKind, LogStoreFactory store, LogCollectionFactory collection);

// The newest run of the logger a location names (";LoggerName=%s;%s"
// appended); "" on failure. One static buffer, overwritten by the next call.
const char* ResolveLogName(const char* location);
