#include "platform/mailslot.h"

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <deque>
#include <map>
#include <new>
#include <pthread.h>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/error.h"
#include "platform/eventlog.h"
#include "platform/root.h"

namespace plat {

namespace {

constexpr size_t kMaxMessage = 64 * 1024;

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

// The sending side. Writes never wait on a reader: a message goes straight
// into the reader's socket when that takes it at once, and otherwise joins
// the queue of its destination, which the process's sender thread drains in
// order as the reader takes messages. One destination per mailslot name and
// process, with its connected socket, shared by every writer of that name.
struct Destination {
  std::string name;
  sockaddr_un addr{};
  socklen_t addrLen = 0;
  int sock = -1;
  std::deque<std::vector<char>> queue;
  size_t bytes = 0;       // queued bytes, with kQueueOverhead per message
  uint64_t dropped = 0;   // dropped since the last report
  bool gone = false;      // the reader has gone: writes fail with 2
};

// Per destination, the most a stopped reader may leave queued; past it the
// oldest messages go. A message is counted with its bookkeeping.
constexpr size_t kQueueLimit = 8u << 20;
constexpr size_t kQueueOverhead = 64;
// At a normal exit, queued messages get this long to go out.
constexpr int kExitFlushMs = 2000;
// The sender thread looks again at least this often, even without news.
constexpr int kSenderPollMs = 100;

enum class SendResult { kSent, kFull, kGone };

void DefaultDropReport(const std::string& text) { ReportEvent(nullptr, "mailslot", kEventError, 0, 102, "", text); }

std::atomic<MailslotDropReporter> g_dropReporter{nullptr};

void ReportDrops(const std::vector<std::string>& reports) {
  for (const std::string& text : reports) {
    MailslotDropReporter r = g_dropReporter.load();
    if (r)
      r(text.c_str());
    else
      DefaultDropReport(text);
  }
}

std::string DropText(const Destination& d, uint64_t count, bool gone) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%llu", static_cast<unsigned long long>(count));
  return std::string("Mailslot \\\\.\\mailslot\\") + d.name + ": " + buf +
         (gone ? " message(s) not delivered, its reader has gone.\r\n"
               : " message(s) dropped, its reader took none for too long.\r\n");
}

int ConnectTo(const Destination& d) {
  int sock = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sock < 0) return -errno;
  int sndbuf = 1 << 18;
  ::setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
  if (::connect(sock, reinterpret_cast<const sockaddr*>(&d.addr), d.addrLen) != 0) {
    int err = errno;
    ::close(sock);
    return -err;
  }
  return sock;
}

class Sender {
 public:
  static Sender& Get() {
    // Never destroyed: the sender thread may still run while the process exits.
    static Sender* s = new Sender;
    return *s;
  }

  // The destination of name, connected; null with the system error set.
  std::shared_ptr<Destination> Open(const std::string& name) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = dests_.find(name);
    if (it != dests_.end() && !it->second->gone) return it->second;
    std::shared_ptr<Destination> d;
    if (it != dests_.end()) {
      d = it->second;
    } else {
      d = std::make_shared<Destination>();
      d->name = name;
      d->addrLen = MakeAddress(name, &d->addr);
    }
    int sock = ConnectTo(*d);
    if (sock < 0) {
      int err = -sock;
      return Fail(err == ECONNREFUSED || err == ENOENT ? kErrFileNotFound : FromErrno(err)), nullptr;
    }
    d->sock = sock;
    d->gone = false;
    dests_[name] = d;
    return d;
  }

  int Write(const std::shared_ptr<Destination>& d, const void* data, size_t n) {
    std::vector<std::string> reports;
    int result;
    {
      std::lock_guard<std::mutex> lock(mu_);
      result = WriteLocked(*d, data, n, &reports);
    }
    ReportDrops(reports);
    return result;
  }

  // Waits up to timeoutMs for every queue to empty; true when they have.
  bool Flush(int timeoutMs) {
    std::unique_lock<std::mutex> lock(mu_);
    return drained_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return queued_ == 0; });
  }

  size_t Queued() {
    std::lock_guard<std::mutex> lock(mu_);
    return queued_;
  }

 private:
  Sender() {
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    std::atexit([] { Get().AtExit(); });
    ::pthread_atfork([] { Get().mu_.lock(); }, [] { Get().mu_.unlock(); }, [] { Get().InChild(); });
  }

  int WriteLocked(Destination& d, const void* data, size_t n, std::vector<std::string>* reports) {
    if (n > kMaxMessage) return Fail(kErrInvalidParameter), -1;
    if (d.gone) return Fail(kErrFileNotFound), -1;
    if (d.queue.empty()) {
      switch (SendOne(d, data, n)) {
        case SendResult::kSent:
          return static_cast<int>(n);
        case SendResult::kGone:
          MarkGone(d, reports);
          return Fail(kErrFileNotFound), -1;
        case SendResult::kFull:
          break;
      }
    }
    const char* p = static_cast<const char*>(data);
    try {
      d.queue.emplace_back(p, p + n);
    } catch (const std::bad_alloc&) {
      return Fail(kErrNotEnoughMemory), -1;
    }
    d.bytes += n + kQueueOverhead;
    ++queued_;
    while (d.bytes > kQueueLimit && d.queue.size() > 1) {
      d.bytes -= d.queue.front().size() + kQueueOverhead;
      d.queue.pop_front();
      --queued_;
      ++d.dropped;
    }
    StartOrWake();
    return static_cast<int>(n);
  }

  // One non-blocking send on the destination's socket.
  SendResult SendOne(Destination& d, const void* data, size_t n) {
    for (;;) {
      ssize_t r = ::send(d.sock, data, n, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (r >= 0) return SendResult::kSent;
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS) return SendResult::kFull;
      return SendResult::kGone;  // refused, reset, not connected, or worse
    }
  }

  // The reader has gone: what is queued cannot be delivered.
  void MarkGone(Destination& d, std::vector<std::string>* reports) {
    uint64_t lost = d.dropped + d.queue.size();
    if (lost) reports->push_back(DropText(d, lost, true));
    queued_ -= d.queue.size();
    d.queue.clear();
    d.bytes = 0;
    d.dropped = 0;
    d.gone = true;
    if (d.sock >= 0) ::close(d.sock);
    d.sock = -1;
    auto it = dests_.find(d.name);
    if (it != dests_.end() && it->second.get() == &d) dests_.erase(it);
    if (queued_ == 0) drained_.notify_all();
  }

  void StartOrWake() {
    if (!running_) {
      try {
        std::thread([this] { Run(); }).detach();
        running_ = true;
      } catch (...) {
        return;  // tried again at the next queued message
      }
    }
    work_.notify_one();
    if (polling_) {
      uint64_t one = 1;
      ssize_t r = ::write(wakeFd_, &one, sizeof one);
      (void)r;
    }
  }

  // The sender thread: sends what the readers take, retries what they do
  // not yet take, and reconnects to a reader that came back under the same
  // name.
  void Run() {
    std::vector<pollfd> fds;
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
      work_.wait(lock, [this] { return queued_ > 0; });
      std::vector<std::string> reports;
      fds.clear();
      std::vector<std::shared_ptr<Destination>> busy;
      for (auto& [name, dp] : dests_)
        if (!dp->queue.empty()) busy.push_back(dp);
      for (auto& dp : busy) {
        Destination& d = *dp;
        bool blocked = false;
        while (!d.queue.empty() && !blocked) {
          std::vector<char>& m = d.queue.front();
          SendResult r = SendOne(d, m.data(), m.size());
          if (r == SendResult::kGone) {
            // The reader may have been made again under its name.
            ::close(d.sock);
            d.sock = ConnectTo(d);
            if (d.sock >= 0) r = SendOne(d, m.data(), m.size());
          }
          if (r == SendResult::kSent) {
            d.bytes -= m.size() + kQueueOverhead;
            d.queue.pop_front();
            --queued_;
          } else if (r == SendResult::kFull) {
            blocked = true;
          } else {
            MarkGone(d, &reports);
          }
        }
        if (blocked) {
          fds.push_back({d.sock, POLLOUT, 0});
        } else if (d.dropped) {
          reports.push_back(DropText(d, d.dropped, false));
          d.dropped = 0;
        }
      }
      if (queued_ == 0) drained_.notify_all();
      if (!reports.empty()) {
        lock.unlock();
        ReportDrops(reports);
        lock.lock();
      }
      if (fds.empty()) continue;
      // Wait until a blocked reader takes more, new work comes, or a while.
      fds.push_back({wakeFd_, POLLIN, 0});
      polling_ = true;
      lock.unlock();
      int r = ::poll(fds.data(), fds.size(), kSenderPollMs);
      if (r > 0 && fds.back().revents) {
        uint64_t v;
        ssize_t n = ::read(wakeFd_, &v, sizeof v);
        (void)n;
      }
      lock.lock();
      polling_ = false;
    }
  }

  void AtExit() {
    if (!Flush(kExitFlushMs)) {
      std::vector<std::string> reports;
      {
        std::lock_guard<std::mutex> lock(mu_);
        for (auto& [name, dp] : dests_) {
          uint64_t lost = dp->dropped + dp->queue.size();
          if (lost) reports.push_back(DropText(*dp, lost, false));
          dp->dropped = 0;
        }
      }
      ReportDrops(reports);
    }
  }

  // A child of fork has no sender thread, and the messages queued are the
  // parent's to send: the child starts with empty queues.
  void InChild() {
    new (&mu_) std::mutex;
    new (&work_) std::condition_variable;
    new (&drained_) std::condition_variable;
    for (auto& [name, dp] : dests_) {
      dp->queue.clear();
      dp->bytes = 0;
      dp->dropped = 0;
    }
    queued_ = 0;
    running_ = false;
    polling_ = false;
  }

  std::mutex mu_;
  std::condition_variable work_;
  std::condition_variable drained_;
  std::map<std::string, std::shared_ptr<Destination>> dests_;
  size_t queued_ = 0;
  bool running_ = false;
  bool polling_ = false;
  int wakeFd_ = -1;
};

class SocketWriter final : public MailslotWriter {
 public:
  explicit SocketWriter(std::shared_ptr<Destination> d) : dest_(std::move(d)) {}

  int Write(const void* data, size_t n) override { return Sender::Get().Write(dest_, data, n); }

 private:
  std::shared_ptr<Destination> dest_;
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
  std::shared_ptr<Destination> d = Sender::Get().Open(name);
  if (!d) return nullptr;
  return std::make_unique<SocketWriter>(std::move(d));
}

bool FlushMailslots(int timeoutMs) { return Sender::Get().Flush(timeoutMs); }

size_t QueuedMailslotMessages() { return Sender::Get().Queued(); }

void SetMailslotDropReporter(MailslotDropReporter reporter) { g_dropReporter = reporter; }

}  // namespace plat
