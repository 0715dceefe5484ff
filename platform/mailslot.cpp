#include "platform/mailslot.h"

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/error.h"
#include "platform/root.h"

namespace plat {

namespace {

constexpr size_t kMaxMessage = 64 * 1024;
// A full socket queue means the reader's drain thread has not run for a
// while; the message waits for it rather than being lost (a Windows mailslot
// takes the message at once). 200 ms proved too short on a loaded machine.
constexpr int kWriteRetryMs = 5000;

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool StartsWithNoCase(const std::string& s, const char* prefix) {
  size_t n = std::strlen(prefix);
  if (s.size() < n) return false;
  for (size_t i = 0; i < n; ++i)
    if (Lower(s[i]) != Lower(prefix[i])) return false;
  return true;
}

// Parses a mailslot path into its lower-cased name; 0 or a system error.
uint32_t ParsePath(const std::string& path, std::string* name) {
  static const char* kLocal = "\\\\.\\mailslot\\";
  if (StartsWithNoCase(path, kLocal)) {
    std::string rest = path.substr(std::strlen(kLocal));
    if (rest.empty()) return kErrInvalidName;
    name->clear();
    for (char c : rest) *name += Lower(c);
    return 0;
  }
  // "\\host\mailslot\x": another machine, which this platform cannot reach.
  if (path.size() > 2 && path[0] == '\\' && path[1] == '\\') {
    size_t slash = path.find('\\', 2);
    if (slash != std::string::npos && StartsWithNoCase(path.substr(slash), "\\mailslot\\")) return kErrBadNetPath;
  }
  return kErrInvalidName;
}

// The abstract socket address of a mailslot of this instance.
socklen_t MakeAddress(const std::string& name, sockaddr_un* addr) {
  std::memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  std::string text = "cdxplat." + RootTag() + ".ms." + name;
  if (text.size() + 1 > sizeof addr->sun_path) {
    // Too long for an address: the name's hash stands in for it.
    uint64_t h = 1469598103934665603ull;
    for (unsigned char c : name) {
      h ^= c;
      h *= 1099511628211ull;
    }
    char hex[20];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(h));
    text = "cdxplat." + RootTag() + ".msh." + hex;
  }
  std::memcpy(addr->sun_path + 1, text.data(), text.size());
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + text.size());
}

class SocketReader final : public MailslotReader {
 public:
  SocketReader(int sock, int stopFd, uint32_t maxMessage)
      : sock_(sock), stopFd_(stopFd), maxMessage_(maxMessage ? maxMessage : kMaxMessage) {
    drain_ = std::thread([this] { Drain(); });
  }

  ~SocketReader() override {
    Shutdown();
    ::close(stopFd_);
  }

  int Read(void* buf, size_t capacity, int timeoutMs) override {
    std::unique_lock<std::mutex> lock(mutex_);
    auto ready = [this] { return !queue_.empty() || shutdown_; };
    if (timeoutMs == kMailslotWaitForever) {
      cv_.wait(lock, ready);
    } else if (timeoutMs > 0) {
      cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
    }
    if (shutdown_) return Fail(kErrOperationAborted), -1;
    if (queue_.empty()) return Fail(kErrSemTimeout), -1;
    std::vector<char>& front = queue_.front();
    if (front.size() > capacity) return Fail(kErrInsufficientBuffer), -1;
    int n = static_cast<int>(front.size());
    if (n) std::memcpy(buf, front.data(), front.size());
    queue_.pop_front();
    if (queue_.empty()) readable_.Reset();
    return n;
  }

  size_t Pending() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.size();
  }

  Waitable& Readable() override { return readable_; }

  void Shutdown() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      shutdown_ = true;
      cv_.notify_all();
    }
    // The name goes with the socket, at once: writers' opens fail with 2
    // from now on, and a new reader may take the name, even while the
    // thread that owned this reader is still busy.
    std::lock_guard<std::mutex> closing(closeMutex_);
    if (sock_ < 0) return;
    uint64_t one = 1;
    ssize_t r = ::write(stopFd_, &one, sizeof one);
    (void)r;
    drain_.join();
    ::close(sock_);
    sock_ = -1;
  }

 private:
  // Takes every datagram off the socket as soon as it arrives, so that the
  // socket's own small queue never holds writers up.
  void Drain() {
    std::vector<char> buf(kMaxMessage + 1);
    pollfd fds[2] = {{sock_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
    for (;;) {
      int r = ::poll(fds, 2, -1);
      if (r < 0) {
        if (errno == EINTR) continue;
        ::usleep(1000);  // nothing sensible to do but try again
        continue;
      }
      if (fds[1].revents) return;
      if (!(fds[0].revents & POLLIN)) continue;
      std::deque<std::vector<char>> batch;
      for (;;) {
        ssize_t n = ::recv(sock_, buf.data(), buf.size(), MSG_DONTWAIT | MSG_TRUNC);
        if (n < 0) break;
        if (static_cast<size_t>(n) > maxMessage_) continue;  // too large: dropped
        batch.emplace_back(buf.data(), buf.data() + n);
      }
      if (batch.empty()) continue;
      std::lock_guard<std::mutex> lock(mutex_);
      for (auto& m : batch) queue_.push_back(std::move(m));
      readable_.Set();
      cv_.notify_all();
    }
  }

  std::mutex closeMutex_;  // one Shutdown closes the socket
  int sock_;
  int stopFd_;
  size_t maxMessage_;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::vector<char>> queue_;
  bool shutdown_ = false;
  Event readable_{true, false};
  std::thread drain_;
};

class SocketWriter final : public MailslotWriter {
 public:
  explicit SocketWriter(int sock) : sock_(sock) {}
  ~SocketWriter() override { ::close(sock_); }

  int Write(const void* data, size_t n) override {
    if (n > kMaxMessage) return Fail(kErrInvalidParameter), -1;
    const int64_t deadline = MonotonicMs() + kWriteRetryMs;
    for (;;) {
      ssize_t r = ::send(sock_, data, n, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (r >= 0) return static_cast<int>(n);
      if (errno == EINTR) continue;
      if (errno == ECONNREFUSED || errno == ENOTCONN || errno == ECONNRESET) return Fail(kErrFileNotFound), -1;
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOBUFS) return FailErrno(errno), -1;
      int64_t left = deadline - MonotonicMs();
      if (left <= 0) return Fail(kErrSemTimeout), -1;
      pollfd p{sock_, POLLOUT, 0};
      ::poll(&p, 1, static_cast<int>(left < 5 ? left : 5));
    }
  }

 private:
  int sock_;
};

}  // namespace

std::unique_ptr<MailslotReader> MailslotReader::Create(const std::string& path, uint32_t maxMessage) {
  std::string name;
  if (uint32_t err = ParsePath(path, &name)) return Fail(err), nullptr;
  int sock = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (sock < 0) return FailErrno(errno), nullptr;
  int rcvbuf = 1 << 20;
  ::setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  sockaddr_un addr;
  socklen_t len = MakeAddress(name, &addr);
  if (::bind(sock, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
    int err = errno;
    ::close(sock);
    return Fail(err == EADDRINUSE ? kErrAlreadyExists : FromErrno(err)), nullptr;
  }
  int stopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (stopFd < 0) {
    int err = errno;
    ::close(sock);
    return FailErrno(err), nullptr;
  }
  return std::make_unique<SocketReader>(sock, stopFd, maxMessage);
}

std::unique_ptr<MailslotWriter> MailslotWriter::Open(const std::string& path) {
  std::string name;
  if (uint32_t err = ParsePath(path, &name)) return Fail(err), nullptr;
  int sock = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sock < 0) return FailErrno(errno), nullptr;
  int sndbuf = 1 << 18;
  ::setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
  sockaddr_un addr;
  socklen_t len = MakeAddress(name, &addr);
  if (::connect(sock, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
    int err = errno;
    ::close(sock);
    return Fail(err == ECONNREFUSED || err == ENOENT ? kErrFileNotFound : FromErrno(err)), nullptr;
  }
  return std::make_unique<SocketWriter>(sock);
}

}  // namespace plat
