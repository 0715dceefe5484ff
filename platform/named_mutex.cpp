#include "platform/named_mutex.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include "platform/error.h"
#include "platform/published_file.h"
#include "platform/root.h"
#include "platform/sync.h"

namespace plat {

namespace {

constexpr uint32_t kMutexMagic = 0x584D4443;  // "CDMX"

// The shared object of one mutex.
struct SharedMutex {
  uint32_t magic;
  uint32_t reserved;
  pthread_mutex_t mutex;
};

std::string MutexDir() { return RootFolder("mutex"); }

void InitShared(void* base, size_t) {
  auto* s = static_cast<SharedMutex*>(base);
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(&s->mutex, &attr);
  pthread_mutexattr_destroy(&attr);
  s->magic = kMutexMagic;
}

class PosixNamedMutex final : public NamedMutex {
 public:
  PosixNamedMutex(std::string name, detail::MappedFile file) : name_(std::move(name)), file_(file) {}
  ~PosixNamedMutex() override { ::munmap(file_.base, file_.size); }

  int Lock(int timeoutMs) override {
    int rc;
    if (timeoutMs == kInfinite) {
      rc = pthread_mutex_lock(&shared()->mutex);
    } else {
      timespec deadline;
      clock_gettime(CLOCK_MONOTONIC, &deadline);
      int64_t ns = deadline.tv_nsec + int64_t{timeoutMs < 0 ? 0 : timeoutMs} * 1000000;
      deadline.tv_sec += static_cast<time_t>(ns / 1000000000);
      deadline.tv_nsec = static_cast<long>(ns % 1000000000);
      rc = pthread_mutex_clocklock(&shared()->mutex, CLOCK_MONOTONIC, &deadline);
    }
    switch (rc) {
      case 0:
        return kAcquired;
      case EOWNERDEAD:
        // The owner died holding it: it is ours now, and usable again.
        pthread_mutex_consistent(&shared()->mutex);
        return kAbandoned;
      case ETIMEDOUT:
        return kTimeout;
      default:
        return FailErrno(rc), -1;
    }
  }

  int Unlock() override {
    int rc = pthread_mutex_unlock(&shared()->mutex);
    if (rc == EPERM) return Fail(kErrNotOwner), -1;
    if (rc != 0) return FailErrno(rc), -1;
    return 0;
  }

  const std::string& Name() const override { return name_; }

 private:
  SharedMutex* shared() { return static_cast<SharedMutex*>(file_.base); }
  std::string name_;
  detail::MappedFile file_;
};

// Opens the mutex file of an existing mutex: one that is too short or
// lacks the mark is refused before it is mapped (5).
int OpenMutexFile(const std::string& dir, const std::string& file, detail::MappedFile* out) {
  auto check = [](const void* header, size_t) -> size_t {
    uint32_t magic;
    std::memcpy(&magic, header, sizeof magic);
    return magic == kMutexMagic ? sizeof(SharedMutex) : 0;
  };
  return detail::OpenPublished(dir, file, out, sizeof(SharedMutex), check);
}

std::unique_ptr<NamedMutex> FromFile(const std::string& name, detail::MappedFile file) {
  if (file.size < sizeof(SharedMutex) || static_cast<SharedMutex*>(file.base)->magic != kMutexMagic) {
    ::munmap(file.base, file.size);
    Fail(kErrInvalidData);
    return nullptr;
  }
  return std::make_unique<PosixNamedMutex>(name, file);
}

}  // namespace

std::unique_ptr<NamedMutex> NamedMutex::Create(const std::string& name, bool* existed) {
  const std::string dir = MutexDir();
  const std::string file = EncodeObjectName(name);
  for (int round = 0; round < 8; ++round) {
    detail::MappedFile mapped;
    if (OpenMutexFile(dir, file, &mapped) == 0) {
      if (existed) *existed = true;
      return FromFile(name, mapped);
    }
    if (GetLastError() != kErrFileNotFound) return nullptr;
    if (detail::CreatePublished(dir, file, sizeof(SharedMutex), InitShared, &mapped) == 0) {
      if (existed) *existed = false;
      return FromFile(name, mapped);
    }
    if (GetLastError() != kErrAlreadyExists) return nullptr;
  }
  Fail(kErrBusy);
  return nullptr;
}

std::unique_ptr<NamedMutex> NamedMutex::Open(const std::string& name) {
  detail::MappedFile mapped;
  if (OpenMutexFile(MutexDir(), EncodeObjectName(name), &mapped) != 0) return nullptr;
  return FromFile(name, mapped);
}

int NamedMutex::Remove(const std::string& name) {
  const std::string path = MutexDir() + "/" + EncodeObjectName(name);
  if (::unlink(path.c_str()) != 0) return FailErrno(errno), -1;
  return 0;
}

}  // namespace plat
