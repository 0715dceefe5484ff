// File-system services: directory creation, access checks, the user's local
// application-data folder, the check of names that become paths, and the
// temporary files of crash-safe saves.
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

// Creates one directory (mode 0777 less the umask). 0 when created; -1 with
// 183 when it exists, 53 for a path of another machine, else the system
// error.
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

// The mode of a new file that is not an every-user object: 0666 less the
// umask.
mode_t NewFileMode();

// ---- names that become paths
//
// A name that the caller puts into a path as one component (a logger name,
// a name prefix, a device name) must stay that one component: it holds no
// "/" or "\" (so no absolute path either) and is not "." or "..". An empty
// name passes; callers that need one say so themselves.
bool IsPlainName(const char* name);
// 0 for a plain name, else 123 (invalid name), which is also the last error.
uint32_t CheckPlainName(const char* name);

// ---- temporary files beside a target
//
// A file that must survive a crash is written under a temporary name beside
// it and renamed into place. The temporary name is
// "<target>.<pid>.XXXXXX<suffix>": made with O_EXCL (mkstemps), so a link or
// file planted under a name is never followed or reused, and carrying the
// pid, so that a later save can tell the leftovers of a killed process from
// the temporaries of one still writing.

// Creates the temporary file with `mode` set exactly (fchmod: the umask does
// not narrow it, so a replaced file's mode can be kept). Returns the
// descriptor (close-on-exec), with *temp its path; -1 with the system error
// (3 when the target's directory is missing).
int CreateTempBeside(const std::string& target, const char* suffix, mode_t mode, std::string* temp);

// Removes the temporaries of `target` (names as above, and what a program
// writing one made of its name: anything after the suffix) whose process no
// longer runs. Those of this process and of running ones stay.
void RemoveStaleTemps(const std::string& target, const char* suffix);

}  // namespace plat
