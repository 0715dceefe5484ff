// The instance root.
//
// All shared state of one machine (registry tree, shared memory, mutexes,
// mailslots, event log file, port map) lives under one root directory named
// by the environment variable CDXPLAT_ROOT, so that several instances (tests
// running side by side) never collide. Without the variable the root is
// "/dev/shm/cdxplat" (tmpfs, so that shared memory is memory).
//
// Layout under the root, each kind in its own folder:
//   shm/      named shared memory objects        (shm.h)
//   mutex/    named mutexes                      (named_mutex.h)
//   pipe/     named pipe sockets                 (pipe.h)
//   registry/ registry tree, HKLM and HKCU       (registry.h)
//   registry-volatile/<boot id>/  volatile keys (registry.h)
//   eventlog  the text-file event log            (eventlog.h)
// Mailslots are abstract AF_UNIX sockets whose names carry a hash of the
// root's real path (mailslot.h), so they need no folder.
//
// Who may do what: data modules, mutexes and pipes are objects for every
// user of the machine, so their folders (shm, mutex, pipe) are writable by
// every user and sticky, as /tmp: each user may add objects, none may remove
// or replace another's. Everything else (the root itself, the registry, the
// event log) belongs to the root's owner and honours the umask.
//
// The root is trusted only when it belongs to this process's user or to the
// superuser and no other user may write to it; a root of another user could
// hold a registry or objects of that user's choosing. A root that is missing
// is made only where its parent exists, mode 0755, with the every-user
// folders in it.
#pragma once
#include <string>

namespace plat {

// The root directory (made when missing, see above). The value is read from
// the environment at each call, so a test may set CDXPLAT_ROOT before it
// starts using the platform. A root that cannot be trusted or made ends the
// process: the reason, naming the root, goes to the standard error and the
// system log, and the exit status is 1. An own root that other users may
// write to (as earlier versions made them) is closed to them instead.
std::string Root();

// Root() + "/" + kind, created when missing (an every-user folder sticky and
// writable by every user, any other with the umask's mode).
std::string RootFolder(const char* kind);

// A short stable tag of the root (hex of a hash of its real path), used to
// scope names that do not live in the file system.
std::string RootTag();

// File-system-safe form of an object name: every byte outside
// [A-Za-z0-9._-] becomes %XX. Object names such as "Global\dm_x" keep their
// exact case and so stay distinct from "global\dm_x".
std::string EncodeObjectName(const std::string& name);

// Removes every object of this instance (shared memory, mutexes, registry,
// event log). Processes that still map an object keep their mapping.
// Returns 0, or -1 with the system error set.
int ResetInstance();

}  // namespace plat
