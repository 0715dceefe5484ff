// Child processes for tests that need real separate processes.
#pragma once
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace testsupport {

// Forks; the child runs fn and _exits with its result. Returns the child's pid.
pid_t ForkChild(const std::function<int()>& fn);

// Starts a program (argv[0] is the path) with the current environment.
pid_t SpawnProgram(const std::vector<std::string>& argv);

// Waits up to timeoutMs for the child; returns its exit code, 128+signal when
// it was killed, or -1 on time-out (the child is then killed and reaped).
int WaitChild(pid_t pid, int timeoutMs);

// Polls done() every 2 ms until it holds (true) or timeoutMs passes (false).
bool WaitUntil(const std::function<bool()>& done, int timeoutMs);

// The state letter of a process from /proc/<pid>/stat ('R', 'S', 'T' when
// stopped, ...), '?' when it cannot be read.
char ProcessState(pid_t pid);

// Path of a program built into the build tree's bin directory.
std::string BinPath(const std::string& name);

}  // namespace testsupport
