// A raw pseudo-terminal pair for tests: the test holds the master and plays
// the far end byte by byte; the code under test opens the slave path.
#pragma once
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

class PtyPeer {
 public:
  PtyPeer() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return;
    char name[128];
    if (::ptsname_r(master_, name, sizeof name) != 0) return;
    path_ = name;
    // Keep a raw slave descriptor so nothing is echoed before the port is
    // configured and the master never sees a hang-up.
    keeper_ = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios t;
    if (keeper_ >= 0 && ::tcgetattr(keeper_, &t) == 0) {
      ::cfmakeraw(&t);
      ::tcsetattr(keeper_, TCSANOW, &t);
    }
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
  }
  ~PtyPeer() {
    if (keeper_ >= 0) ::close(keeper_);
    if (master_ >= 0) ::close(master_);
  }
  bool ok() const { return master_ >= 0 && keeper_ >= 0; }
  const std::string& path() const { return path_; }

  void Send(const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t w = ::write(master_, bytes.data() + done, bytes.size() - done);
      if (w > 0) done += static_cast<size_t>(w);
      else std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  // Everything that arrives until the line has been quiet for quietMs.
  std::vector<uint8_t> Drain(int quietMs = 30) {
    std::vector<uint8_t> got;
    for (;;) {
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, quietMs) <= 0) break;
      uint8_t buf[512];
      const ssize_t n = ::read(master_, buf, sizeof buf);
      if (n <= 0) break;
      got.insert(got.end(), buf, buf + n);
    }
    return got;
  }
  // Exactly n bytes, or fewer when none comes for timeoutMs.
  std::vector<uint8_t> Read(size_t n, int timeoutMs = 2000) {
    std::vector<uint8_t> got;
    while (got.size() < n) {
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, timeoutMs) <= 0) break;
      uint8_t buf[512];
      const ssize_t r = ::read(master_, buf, n - got.size() < sizeof buf ? n - got.size() : sizeof buf);
      if (r <= 0) break;
      got.insert(got.end(), buf, buf + r);
    }
    return got;
  }

 private:
  int master_ = -1;
  int keeper_ = -1;
  std::string path_;
};
