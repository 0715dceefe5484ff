// Process-local synchronisation: critical sections, events and the wait on
// several handles.
//
// Waitable objects expose a file descriptor that polls readable while the
// object is signalled, so one poll() waits on events, serial ports and
// mailslots together (WaitForAny). Time-outs are measured against the
// monotonic clock as deadlines: an interrupted or spurious wake-up never
// lengthens or shortens the wait.
#pragma once
#include <cstdint>
#include <mutex>

namespace plat {

constexpr int kInfinite = -1;
constexpr int kWaitTimeout = 258;  // returned by the waits on time-out

// Milliseconds of the monotonic clock (for deadlines).
int64_t MonotonicMs();
// Microseconds of the monotonic clock.
int64_t MonotonicUs();
// Sleeps ms milliseconds (resumes after signals until the time is over).
void SleepMs(int ms);

// A recursive, process-local lock: the owning thread may enter again.
class CriticalSection {
 public:
  void Enter() { mutex_.lock(); }
  bool TryEnter() { return mutex_.try_lock(); }
  void Leave() { mutex_.unlock(); }

 private:
  std::recursive_mutex mutex_;
};

// RAII guard of a CriticalSection.
class CsLock {
 public:
  explicit CsLock(CriticalSection& cs) : cs_(cs) { cs_.Enter(); }
  ~CsLock() { cs_.Leave(); }
  CsLock(const CsLock&) = delete;
  CsLock& operator=(const CsLock&) = delete;

 private:
  CriticalSection& cs_;
};

// Something a thread can wait for.
class Waitable {
 public:
  virtual ~Waitable() = default;
  // A descriptor that polls readable (POLLIN) while the object is signalled.
  virtual int PollFd() const = 0;
  // Called after poll() reported the descriptor readable: takes the object
  // for the waiter. An auto-reset event is consumed here; a manual-reset
  // event or a port stays as it is. Returns false when another waiter took
  // it first, and the wait goes on.
  virtual bool Acquire() = 0;
};

// A Windows-style event on an eventfd. A manual-reset event stays signalled
// until Reset(); an auto-reset event releases exactly one waiter per Set()
// (several Set() calls with no waiter release one waiter, as on Windows).
class Event final : public Waitable {
 public:
  Event(bool manualReset, bool initiallySet);
  ~Event() override;
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  bool valid() const { return fd_ >= 0; }
  void Set();
  void Reset();
  bool IsSet() const;  // without consuming it
  // Waits for this event alone: 0, kWaitTimeout, or -1 on failure.
  int Wait(int timeoutMs);

  int PollFd() const override { return fd_; }
  bool Acquire() override;

 private:
  int fd_ = -1;
  bool manual_;
};

// Waits until one of the handles is signalled and acquired, or until
// timeoutMs (kInfinite: no limit) has passed. Returns the index of the
// handle, kWaitTimeout on time-out, or -1 with the system error set (6 when
// a handle's descriptor is not open).
// count is 1..64; with count 0 it only sleeps (kInfinite then fails with 87).
int WaitForAny(Waitable* const* handles, int count, int timeoutMs);

}  // namespace plat
