// Process identity and liveness.
#pragma once
#include <cstdint>

namespace plat {

// The calling process's id (as the system's 32-bit pid).
int32_t GetPid();

// True while the process exists and has not ended: a zombie (ended, not yet
// reaped) counts as dead; a process we may not signal (EPERM) counts as alive.
bool ProcessAlive(int32_t pid);

}  // namespace plat
