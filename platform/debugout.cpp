#include "platform/debugout.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "platform/error.h"

namespace plat {

namespace {
std::atomic<DebugOutputHook> g_hook{nullptr};
}

void OutputDebugText(const char* text) {
  if (!text) return;
  if (DebugOutputHook hook = g_hook.load()) {
    hook(text);
    return;
  }
  const size_t n = std::strlen(text);
  ssize_t w = ::write(STDERR_FILENO, text, n);
  (void)w;
}

DebugOutputHook SetDebugOutputHook(DebugOutputHook hook) { return g_hook.exchange(hook); }

int OpenConsole() {
  int fd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  if (fd < 0) FailErrno(errno);
  return fd;
}

}  // namespace plat
