#include "platform/sync.h"

#include <cerrno>
#include <ctime>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "platform/error.h"

namespace plat {

int64_t MonotonicUs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

int64_t MonotonicMs() { return MonotonicUs() / 1000; }

void SleepMs(int ms) {
  if (ms <= 0) return;
  timespec req{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&req, &req) != 0 && errno == EINTR) {
  }
}

Event::Event(bool manualReset, bool initiallySet) : manual_(manualReset) {
  fd_ = ::eventfd(initiallySet ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd_ < 0) FailErrno(errno);
}

Event::~Event() {
  if (fd_ >= 0) ::close(fd_);
}

void Event::Set() {
  if (fd_ < 0) return;
  // Keep the counter at 1 at most: a set event set again stays set once.
  if (IsSet()) return;
  uint64_t one = 1;
  ssize_t r = ::write(fd_, &one, sizeof one);
  (void)r;
}

void Event::Reset() {
  if (fd_ < 0) return;
  uint64_t value;
  ssize_t r = ::read(fd_, &value, sizeof value);  // non-blocking: drains to 0
  (void)r;
}

bool Event::IsSet() const {
  if (fd_ < 0) return false;
  pollfd p{fd_, POLLIN, 0};
  return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

bool Event::Acquire() {
  if (manual_) return IsSet();
  uint64_t value;
  return ::read(fd_, &value, sizeof value) == static_cast<ssize_t>(sizeof value);
}

int Event::Wait(int timeoutMs) {
  Waitable* self = this;
  int r = WaitForAny(&self, 1, timeoutMs);
  return r == 0 ? 0 : r;
}

int WaitForAny(Waitable* const* handles, int count, int timeoutMs) {
  if (count < 0 || count > 64) return Fail(kErrInvalidParameter), -1;
  if (count == 0) {
    if (timeoutMs == kInfinite) return Fail(kErrInvalidParameter), -1;
    SleepMs(timeoutMs);
    return kWaitTimeout;
  }
  pollfd fds[64];
  for (int i = 0; i < count; ++i) {
    if (!handles[i] || handles[i]->PollFd() < 0) return Fail(kErrInvalidHandle), -1;
    fds[i] = pollfd{handles[i]->PollFd(), POLLIN, 0};
  }
  const int64_t deadline = timeoutMs == kInfinite ? 0 : MonotonicUs() + int64_t{timeoutMs} * 1000;
  for (;;) {
    timespec wait{};
    timespec* waitp = nullptr;
    if (timeoutMs != kInfinite) {
      int64_t left = deadline - MonotonicUs();
      if (left < 0) left = 0;
      wait.tv_sec = static_cast<time_t>(left / 1000000);
      wait.tv_nsec = static_cast<long>(left % 1000000) * 1000L;
      waitp = &wait;
    }
    int r = ::ppoll(fds, static_cast<nfds_t>(count), waitp, nullptr);
    if (r < 0) {
      if (errno == EINTR) continue;
      return FailErrno(errno), -1;
    }
    if (r > 0) {
      // A descriptor that is not open stays "ready" for ever: fail as a wait
      // on an invalid handle does, rather than spin.
      for (int i = 0; i < count; ++i)
        if (fds[i].revents & POLLNVAL) return Fail(kErrInvalidHandle), -1;
      for (int i = 0; i < count; ++i) {
        if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) && handles[i]->Acquire()) return i;
        fds[i].revents = 0;
      }
    }
    if (timeoutMs != kInfinite && MonotonicUs() >= deadline) return kWaitTimeout;
  }
}

}  // namespace plat
