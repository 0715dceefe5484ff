#include "platform/process.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace plat {

int32_t GetPid() { return static_cast<int32_t>(::getpid()); }

bool ProcessAlive(int32_t pid) {
  if (pid <= 0) return false;
  if (::kill(pid, 0) != 0 && errno != EPERM) return false;
  // kill() succeeds on a zombie: read its state from /proc.
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
  FILE* f = std::fopen(path, "r");
  if (!f) return errno == EACCES;  // gone between the two checks, or hidden
  char buf[512];
  size_t n = std::fread(buf, 1, sizeof buf - 1, f);
  std::fclose(f);
  buf[n] = 0;
  // The state follows the command name, which is in parentheses and may
  // itself contain ") ".
  const char* close = std::strrchr(buf, ')');
  if (!close || close[1] != ' ') return true;
  char state = close[2];
  return state != 'Z' && state != 'X' && state != 'x';
}

}  // namespace plat
