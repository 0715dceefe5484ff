// Named mutexes, shared by every process of one instance.
//
// A mutex is a robust, recursive, process-shared pthread mutex in a small
// shared object of its own under Root()/mutex, built under a temporary name
// and published whole (as shm.h does), so an opener never sees it
// uninitialised.
// - Recursive per thread: the owning thread may lock again; each Lock needs
//   its Unlock.
// - Robust: when the owner dies while holding it, the next locker gets it
//   with kAbandoned, which counts as acquired (the state the dead owner
//   guarded may need repair: the data-module layer repairs its header).
// - Names are exact (case-sensitive), as the system's object names are.
#pragma once
#include <memory>
#include <string>

namespace plat {

class NamedMutex {
 public:
  static constexpr int kAcquired = 0;
  static constexpr int kAbandoned = 0x80;  // acquired; the previous owner died holding it
  static constexpr int kTimeout = 258;

  // Creates the mutex, not owned, or opens it when it exists (*existed, when
  // given, tells which). Null with the system error set on failure.
  static std::unique_ptr<NamedMutex> Create(const std::string& name, bool* existed = nullptr);
  // Opens an existing mutex; null with 2 when there is none.
  static std::unique_ptr<NamedMutex> Open(const std::string& name);
  // Removes the name (tests and instance reset).
  static int Remove(const std::string& name);

  virtual ~NamedMutex() = default;
  // kAcquired, kAbandoned, kTimeout, or -1 with the system error set.
  // timeoutMs: kInfinite (sync.h) or a limit in milliseconds.
  virtual int Lock(int timeoutMs) = 0;
  // 0, or -1 with 288 when the calling thread does not own it.
  virtual int Unlock() = 0;
  virtual const std::string& Name() const = 0;
};

}  // namespace plat
