// File-system services that the logical directories need: directory
// creation, access checks, the user's local application-data folder.
//
// Paths of other machines ("\\host\share\..." or "//host/share/...") cannot
// be reached from this platform: every operation on one fails with 53 (bad
// network path), as an unreachable share does.
#pragma once
#include <cstdint>
#include <sys/types.h>

#include <string>

namespace plat {

// True for a path of another machine ("\\" or "//" at its start).
bool IsUncPath(const std::string& path);

// Creates one directory, open to every user. 0 when created; -1 with 183
// when it exists, 53 for a path of another machine, else the system error.
int MakeDirectory(const std::string& path);

// Creates a directory and every missing parent: 0 (also when it exists) or
// -1 with the system error.
int MakeDirectories(const std::string& path);

// Whether the calling process (its effective user and groups) may read,
// write or search/execute the file or directory, by its permission bits
// (faccessat with AT_EACCESS). Writing a directory means creating entries in
// it. False with the system error set when the path cannot be checked.
bool CheckAccess(const std::string& path, bool read, bool write, bool execute);

// Opens an existing file (or directory, for reading) and closes it again:
// 0 when that works, else -1 with the system error (2, 3, 5, 53, ...).
int TryOpenExisting(const std::string& path, bool write);

// True when the path names an existing directory.
bool DirectoryExists(const std::string& path);

// The user's local application-data folder: $XDG_DATA_HOME, else
// $HOME/.local/share; "" (error 2) when neither can be had.
std::string LocalAppDataFolder();

// The process's file-creation mask, read without changing it (umask() would
// change it for every thread for a moment): the mode a new file made under a
// temporary name and renamed into place must get.
mode_t ProcessUmask();

}  // namespace plat
