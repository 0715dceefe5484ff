// Starting programs and waiting for them.
//
// - A program is started with an argument vector (posix_spawn): the
//   arguments reach it exactly as given, never joined into a command line.
// - A name without "/" is searched for in this program's own directory,
//   the current directory, the directory named by CDX_BIN, then each
//   directory of PATH; the first regular executable file found is started.
// - Every child started here is reaped by the platform when it ends (a
//   thread per child waits for it), so none stays a zombie, whether or not
//   anyone waits for it. WaitProcess then reports the exit code it kept.
// - Priority is best effort: a priority the system refuses is never a
//   reason to fail.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace plat {

struct SpawnOptions {
  // false: the child gets only standard input, output and error; true: it
  // also inherits every descriptor not marked close-on-exec.
  bool inheritHandles = false;
  // Start the child in a process group of its own.
  bool newProcessGroup = false;
  // Descriptors of this process that become the child's standard output
  // and standard error (-1: the child shares this process's own).
  int stdoutFd = -1;
  int stderrFd = -1;
};

// The path of the program `name` would start, or "" when none is found.
std::string FindProgram(const std::string& name);

// The directory of the running program's executable.
std::string OwnProgramDirectory();

// Starts argv[0] (searched as above) with argv. Returns the pid, or -1 with
// the system error set (2 when the program is not found, 87 for an empty
// argv).
int32_t SpawnProcess(const std::vector<std::string>& argv, const SpawnOptions& options = {});

// Waits up to timeoutMs (kInfinite from sync.h: no limit) for a child
// started by SpawnProcess to end. Returns 0 with *exitCode set (the exit
// status, or 128 + signal for a child killed by a signal), kWaitTimeout
// (258) while it still runs, or -1 with 87 for a pid that SpawnProcess did
// not start (or whose end was already reported once).
int WaitProcess(int32_t pid, int timeoutMs, int* exitCode);

// Priority classes of a process.
enum class PriorityClass { kIdle, kBelowNormal, kNormal, kAboveNormal, kHigh, kRealtime };

// Sets the priority of a process (0: this one), best effort: returns 0 when
// it was applied or when the system does not permit it (the process then
// runs at the priority it has); -1 with the system error only for a process
// that does not exist.
int SetPriority(int32_t pid, PriorityClass priority);

}  // namespace plat
