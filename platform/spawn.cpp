#include "platform/spawn.h"

#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <mutex>
#include <pthread.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <csignal>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "platform/error.h"
#include "platform/sync.h"

extern char** environ;

namespace plat {

namespace {

// Exit codes of the children started here, kept by their reaper threads
// until WaitProcess reports them.
struct ChildTable {
  std::mutex mu;
  std::condition_variable ended;
  std::map<int32_t, bool> running;  // pid -> still running
  std::map<int32_t, int> exitCodes;
};

ChildTable& Children() {
  static ChildTable* table = [] {
    auto* t = new ChildTable;  // reaper threads may outlive main()
    pthread_atfork([] { Children().mu.lock(); }, [] { Children().mu.unlock(); },
                   [] {
                     // A forked child has no children of its own yet, and
                     // none of its parent's reaper threads.
                     ChildTable& c = Children();
                     c.running.clear();
                     c.exitCodes.clear();
                     c.mu.unlock();
                   });
    return t;
  }();
  return *table;
}

constexpr size_t kMaxKeptExitCodes = 1024;

void Reap(int32_t pid) {
  // Wait for the end without freeing the pid, then free it under the table's
  // lock: a child spawned meanwhile (SpawnProcess holds the lock) cannot get
  // the same pid and have its entry taken by this one's end.
  siginfo_t info{};
  int r;
  do {
    r = ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
  } while (r < 0 && errno == EINTR);
  int code = -1;
  if (r == 0) {
    if (info.si_code == CLD_EXITED) code = info.si_status;
    else if (info.si_code == CLD_KILLED || info.si_code == CLD_DUMPED) code = 128 + info.si_status;
  }
  ChildTable& t = Children();
  std::lock_guard<std::mutex> lock(t.mu);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  t.running.erase(pid);
  // Nobody may ever ask for the exit code: keep a bounded number of them.
  if (t.exitCodes.size() >= kMaxKeptExitCodes) t.exitCodes.erase(t.exitCodes.begin());
  t.exitCodes[pid] = code;
  t.ended.notify_all();
}

bool IsExecutableFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

std::string OwnProgramDirectory() {
  char buf[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  std::string path(buf, static_cast<size_t>(n));
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash ? slash : 1);
}

std::string FindProgram(const std::string& name) {
  if (name.empty()) return {};
  if (name.find('/') != std::string::npos) return IsExecutableFile(name) ? name : std::string();
  std::vector<std::string> dirs;
  dirs.push_back(OwnProgramDirectory());
  char cwd[PATH_MAX];
  if (::getcwd(cwd, sizeof cwd)) dirs.push_back(cwd);
  if (const char* bin = std::getenv("CDX_BIN"); bin && *bin) dirs.push_back(bin);
  if (const char* path = std::getenv("PATH")) {
    std::string list = path;
    size_t start = 0;
    while (start <= list.size()) {
      size_t end = list.find(':', start);
      if (end == std::string::npos) end = list.size();
      dirs.push_back(end > start ? list.substr(start, end - start) : ".");
      start = end + 1;
    }
  }
  for (const auto& d : dirs) {
    if (d.empty()) continue;
    std::string candidate = d + "/" + name;
    if (IsExecutableFile(candidate)) return candidate;
  }
  return {};
}

int32_t SpawnProcess(const std::vector<std::string>& argv, const SpawnOptions& options) {
  if (argv.empty() || argv[0].empty()) return Fail(kErrInvalidParameter), -1;
  const std::string path = FindProgram(argv[0]);
  if (path.empty()) return Fail(kErrFileNotFound), -1;

  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  if (options.stdoutFd >= 0) posix_spawn_file_actions_adddup2(&actions, options.stdoutFd, 1);
  if (options.stderrFd >= 0) posix_spawn_file_actions_adddup2(&actions, options.stderrFd, 2);
  if (!options.inheritHandles) posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  short flags = 0;
  if (options.newProcessGroup) {
    flags |= POSIX_SPAWN_SETPGROUP;
    posix_spawnattr_setpgroup(&attr, 0);
  }
  posix_spawnattr_setflags(&attr, flags);

  ChildTable& t = Children();
  pid_t pid = -1;
  int rc;
  {
    // Registered before the reaper can report it.
    std::lock_guard<std::mutex> lock(t.mu);
    rc = ::posix_spawn(&pid, path.c_str(), &actions, &attr, args.data(), environ);
    if (rc == 0) {
      t.exitCodes.erase(pid);
      t.running[pid] = true;
    }
  }
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) return FailErrno(rc), -1;
  std::thread(Reap, static_cast<int32_t>(pid)).detach();
  SetLastError(0);
  return pid;
}

int WaitProcess(int32_t pid, int timeoutMs, int* exitCode) {
  ChildTable& t = Children();
  std::unique_lock<std::mutex> lock(t.mu);
  auto done = [&] { return t.exitCodes.count(pid) != 0; };
  if (!done() && !t.running.count(pid)) return Fail(kErrInvalidParameter), -1;
  if (timeoutMs == kInfinite) {
    t.ended.wait(lock, done);
  } else if (!t.ended.wait_for(lock, std::chrono::milliseconds(timeoutMs), done)) {
    return kWaitTimeout;
  }
  if (exitCode) *exitCode = t.exitCodes[pid];
  t.exitCodes.erase(pid);
  return 0;
}

int SetPriority(int32_t pid, PriorityClass priority) {
  int nice = 0;
  switch (priority) {
    case PriorityClass::kIdle: nice = 19; break;
    case PriorityClass::kBelowNormal: nice = 5; break;
    case PriorityClass::kNormal: nice = 0; break;
    case PriorityClass::kAboveNormal: nice = -5; break;
    case PriorityClass::kHigh: nice = -10; break;
    case PriorityClass::kRealtime: nice = -20; break;
  }
  if (::setpriority(PRIO_PROCESS, static_cast<id_t>(pid), nice) == 0) return 0;
  if (errno == ESRCH) return FailErrno(errno), -1;
  // Not permitted (an unprivileged user raising its priority): the process
  // keeps the priority it has.
  SetLastError(0);
  return 0;
}

}  // namespace plat
