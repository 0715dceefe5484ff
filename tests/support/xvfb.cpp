#include "support/xvfb.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>

#include "support/child.h"

namespace testsupport {

std::string FindProgram(const char* name) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    const std::string p = dir + "/" + name;
    if (access(p.c_str(), X_OK) == 0) return p;
  }
  return {};
}

XvfbServer StartXvfb() {
  XvfbServer server;
  const std::string xvfb = FindProgram("Xvfb");
  if (xvfb.empty()) return server;
  int fds[2];
  if (pipe(fds) != 0) return server;
  server.pid = ForkChild([&] {
    close(fds[0]);
    int devnull = open("/dev/null", O_RDWR);
    dup2(devnull, 1);
    dup2(devnull, 2);
    const std::string fd = std::to_string(fds[1]);
    execl(xvfb.c_str(), "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1024x768x24", "-nolisten", "tcp",
          "-noreset", static_cast<char*>(nullptr));
    return 127;
  });
  close(fds[1]);
  // The display number arrives as a line once the server is ready.
  std::string number;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < deadline && number.find('\n') == std::string::npos) {
    pollfd p{fds[0], POLLIN, 0};
    if (poll(&p, 1, 500) <= 0) continue;
    char buf[32];
    const ssize_t n = read(fds[0], buf, sizeof buf);
    if (n <= 0) break;
    number.append(buf, static_cast<size_t>(n));
  }
  close(fds[0]);
  if (number.find('\n') != std::string::npos) server.display = ":" + number.substr(0, number.find('\n'));
  return server;
}

void StopXvfb(XvfbServer& server) {
  if (server.pid > 0) {
    kill(server.pid, SIGTERM);
    WaitChild(server.pid, 60000);
    server.pid = -1;
  }
}

}  // namespace testsupport
