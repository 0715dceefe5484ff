// Access lists: whether this user may see or change a device, logger or
// processor of a server.
//
// Two tests together: the name is in the environment's list for its kind
// ("CDX_DEVICES", "CDX_LOGGERS", "CDX_PROCESSORS"; no variable allows all),
// and the user has the asked right on the file that holds its
// configuration. A server reached only through requests judges its own
// files, so everything passes here for it.
#pragma once
#include <cstddef>
#include <cstdint>

#include "cdxlib/sys/logicaldirs.h"

// 1 when name is in the ";"-separated list of the environment variable
// (case-blind; entries longer than 24 characters ignored), or when the
// variable is not set; 0 for an empty name or variable.
int Cfg_InEnvList(const char* variable, const char* name);
// 1 when the file may be opened for generic read or write (access must be
// one of them, else 0); a missing file or path, or a path of another
// machine that cannot be reached (53), counts as accessible.
int Cfg_CanAccessFile(const char* path, uint32_t access);
// 1 when the device's configuration file ("<CDX_CURRENT_CONFIG of the
// server>/<device name>/config") allows the access and the device name is
// in "CDX_DEVICES". In XML mode, when the device's extension library offers
// XML and "config.xml" exists, that file is judged instead of "config".
int Cfg_CanAccessDevice(const char* server, const char* deviceName, uint32_t access);
// Loggers: "<CDX_CURRENT_CONFIG>/LOGGERS/<name>_<number>" (its ".xml" in XML
// mode when that file exists) and the list "CDX_LOGGERS".
int Cfg_CanAccessLogger(const char* server, const char* loggerName, int loggerNumber, uint32_t access);
// Processors: "<CDX_CURRENT_CONFIG>/<name>/config" (or "config.xml", as for
// devices) and "CDX_PROCESSORS".
int Cfg_CanAccessProcessor(const char* server, const char* processorName, uint32_t access);

// Filters: `entries` holds room for 2 x count entries of entrySize bytes;
// the accessible ones among the first count are copied, in order, from
// position count on. The name is the NUL-terminated text at nameOffset of
// an entry (and for loggers the little-endian i32 number at numberOffset).
// Return the number kept.
int Cfg_FilterDevices(const char* server, int count, void* entries, size_t entrySize, size_t nameOffset,
                      uint32_t access);
int Cfg_FilterLoggers(const char* server, int count, void* entries, size_t entrySize, size_t nameOffset,
                      size_t numberOffset, uint32_t access);
int Cfg_FilterProcessors(const char* server, int count, void* entries, size_t entrySize, size_t nameOffset,
                         uint32_t access);
