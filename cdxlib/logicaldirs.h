// Logical directories and access lists.
//
// Every place of the system is a logical name ("CDX_CURRENT_CONFIG",
// "CDX_LOGGED_DATA", "CDX_BIN", "CDX_EXPORTED_DATA", ...), resolved at run
// time: the environment variable of that name (names are upper-cased before
// the lookup, and an old "RO2_" name reads as "CDX_"), whose value is the
// directory or names a registry value "%\Hive\key path\value%" holding it;
// without the variable, the name without "CDX_" under the product's root
// directory. Only the appended name is upper-cased, never the root.
//
// Paths here join with "/". The product root is the registry value "Root:"
// under HKEY_LOCAL_MACHINE "SOFTWARE\Quillomatic\Coordinatrix" (product key
// first), else the product's folder on the system drive, which on this
// platform is the instance root: plat::Root() + "/" + product name.
//
// Results live in process-wide buffers (one per operation) that the next
// call of the same operation overwrites; callers copy them.
#pragma once
#include <cstdarg>
#include <cstddef>
#include <cstdint>

// Access masks of Dir_CheckAccess and Cfg_CanAccessFile.
constexpr uint32_t kGenericRead = 0x80000000u;
constexpr uint32_t kGenericWrite = 0x40000000u;
constexpr uint32_t kGenericExecute = 0x20000000u;
constexpr uint32_t kGenericAll = 0x10000000u;
// The file rights that the generic rights stand for.
constexpr uint32_t kFileGenericRead = 0x120089u;
constexpr uint32_t kFileGenericWrite = 0x120116u;
constexpr uint32_t kFileGenericExecute = 0x1200A0u;
constexpr uint32_t kFileAllAccess = 0x1F01FFu;

// Longest logical name: name length + 7 must not exceed 256.
constexpr size_t kMaxLogicalName = 249;

// The directory of a logical name from the environment (with its registry
// indirection) or the default under the product root. Null with errno 87
// (EINVAL's system number) for a name too long.
const char* Dir_LookupVariable(const char* name);

// Dir_LookupVariable, then, for the export directories (REPLAY_OPTIONS,
// EXPORTED_DATA, EXPORTED_IMAGES, with or without "CDX_"): the directory is
// created when missing and returned when the user may write to it; else
// the local application-data folder + "/Quillomatic/<product>/<name>"
// (created level by level); when that folder cannot be had, the unwritable
// directory after all.
const char* Dir_Resolve(const char* name);

// The product's root directory: Dir_RootFor(Prod_GetProductName()).
const char* Dir_GetProductRoot();
// The root directory of a product (above). A "Root:" value of 260 bytes or
// more is not taken.
const char* Dir_RootFor(const char* productName);

// The system drive's letter: 'D' on the embedded controller, else 'C' (this
// platform has no drive letters; the letter is kept for callers that show it).
char Dir_SystemDrive();

// True when the calling process has the access (generic or file rights,
// as above) to the file or directory, by its permission bits for the
// process's effective user and groups (platform/files.h). False when the
// path cannot be checked (53 for a path of another machine).
bool Dir_CheckAccess(const char* path, uint32_t access);

// Bounded formatting: the length written, or -1 when the text does not fit
// (the buffer then holds as much as fits, terminated).
int Sys_VFormat(char* buffer, size_t size, const char* format, va_list args);

// The directory of a logical name as a server sees it:
// - no server, "", ".", "localhost" or this computer's name: Dir_Resolve;
// - a logged-data location read in process (a "PROVIDER=" text or a path
//   beginning with "/"): "CDX_LOGGED_DATA" is the location itself; for a
//   path and any name but "CDX_CURRENT_CONFIG", the first directory found
//   walking up the path with its last component replaced by the name
//   without "CDX_" that holds at least one file; otherwise Dir_Resolve;
// - another computer (a plain name): the environment variable of the name
//   when set (longer than one character), else its share
//   "\\server\<name>" ("\\server\<product>\<name without CDX_>" for a
//   CDX_ name); for the export names the share is used only when it can be
//   created and written, which from this platform it never can (53), so
//   Dir_Resolve is used;
// - a server address with a scheme ("ssl://...", "http://..."): such a
//   server has no share this platform can reach and no request names its
//   directories, so null with error 50.
const char* Srv_GetDirectory(const char* server, const char* name);

// Access lists.
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
// in "CDX_DEVICES". The XML configuration road ("config.xml" when XML mode
// is on and the device's extension library offers it) is not available here
// yet: it needs the XML options and the extension libraries.
int Cfg_CanAccessDevice(const char* server, const char* deviceName, uint32_t access);
// Loggers: "<CDX_CURRENT_CONFIG>/<name>_<number>" and the list "CDX_LOGGERS"
// (the ".xml" road likewise not yet).
int Cfg_CanAccessLogger(const char* server, const char* loggerName, int loggerNumber, uint32_t access);
// Processors: "<CDX_CURRENT_CONFIG>/<name>/config" and "CDX_PROCESSORS".
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
