// Logical directories.
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

// Access masks of Dir_CheckAccess (and of the access lists, config/accesslists.h).
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
