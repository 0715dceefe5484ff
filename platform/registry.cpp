#include "platform/registry.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "platform/error.h"
#include "platform/process.h"
#include "platform/root.h"
#include "platform/sysinfo.h"

namespace plat {

struct RegKeyObject {
  const char* hiveFolder = nullptr;  // set for the predefined hives only
  std::string folder;                // folder of an opened key
  uint32_t access = 0;
};

namespace {

RegKeyObject g_hives[] = {
    {"HKEY_CLASSES_ROOT", {}, KEY_ALL_ACCESS},   {"HKEY_CURRENT_USER", {}, KEY_ALL_ACCESS},
    {"HKEY_LOCAL_MACHINE", {}, KEY_ALL_ACCESS},  {"HKEY_USERS", {}, KEY_ALL_ACCESS},
    {"HKEY_PERFORMANCE_DATA", {}, KEY_ALL_ACCESS}, {"HKEY_CURRENT_CONFIG", {}, KEY_ALL_ACCESS},
    {"HKEY_DYN_DATA", {}, KEY_ALL_ACCESS},
};

// Value files are written as the machine holds the header: little-endian.
static_assert(std::endian::native == std::endian::little);

constexpr size_t kMaxValueNameLength = 16383;
constexpr int kCreateAttempts = 16;

uint32_t Failed(uint32_t code) { return Fail(code); }
uint32_t FailedErrno(int e) { return FailErrno(e); }
uint32_t Ok() {
  SetLastError(0);
  return 0;
}

bool IsPredefined(HKEY key) {
  for (auto& h : g_hives)
    if (key == &h) return true;
  return false;
}

// The folder of a key; empty for a null handle.
std::string KeyFolder(HKEY key) {
  if (!key) return {};
  if (key->hiveFolder) {
    std::string folder = RootFolder("registry") + "/" + key->hiveFolder;
    ::mkdir(folder.c_str(), 0777);  // the umask decides who else may write
    return folder;
  }
  return key->folder;
}

uint64_t Fnv1a(const std::string& s) {
  uint64_t h = 1469598103934665603ull;
  for (unsigned char c : s) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return h;
}

// The entry name of a key ('k') or a value ('v') in its key's folder.
std::string EntryName(char kind, const std::string& name) {
  const std::string folded = RegFoldName(name);
  std::string encoded = EncodeObjectName(folded);
  if (encoded.size() > 180) {
    char tail[24];
    std::snprintf(tail, sizeof tail, "~%016llx", static_cast<unsigned long long>(Fnv1a(folded)));
    encoded = encoded.substr(0, 160) + tail;
  }
  return std::string(1, kind) + "_" + encoded;
}

// A name no other process uses at the same time, for temporary entries.
std::string UniqueTag() {
  static std::atomic<uint64_t> counter{0};
  char buf[64];
  std::snprintf(buf, sizeof buf, "%d-%llx-%llx", static_cast<int>(::getpid()),
                static_cast<unsigned long long>(MonotonicUs()), static_cast<unsigned long long>(++counter));
  return buf;
}

// Splits a key path at "\", skipping empty names. False when a name is too long.
bool SplitPath(const std::string& path, std::vector<std::string>* parts) {
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('\\', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) {
      if (end - start > kRegMaxNameLength) return false;
      parts->push_back(path.substr(start, end - start));
    }
    start = end + 1;
  }
  return true;
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool WriteAll(int fd, const void* data, size_t n) {
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

bool ReadFile(const std::string& path, std::string* out) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  out->clear();
  char buf[8192];
  for (;;) {
    ssize_t r = ::read(fd, buf, sizeof buf);
    if (r < 0) {
      if (errno == EINTR) continue;
      int e = errno;
      ::close(fd);
      errno = e;
      return false;
    }
    if (r == 0) break;
    out->append(buf, static_cast<size_t>(r));
  }
  ::close(fd);
  return true;
}

// Writes a new file with `content` under a temporary name in `folder`, then
// renames it to `target`. Returns 0 or the errno of the failure.
int ReplaceFile(const std::string& folder, const std::string& target, const std::string& content) {
  const std::string tmp = folder + "/.tmpv-" + UniqueTag();
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return errno;
  if (!WriteAll(fd, content.data(), content.size()) || ::fsync(fd) != 0) {
    int e = errno;
    ::close(fd);
    ::unlink(tmp.c_str());
    return e;
  }
  ::close(fd);
  if (::rename(tmp.c_str(), target.c_str()) != 0) {
    int e = errno;
    ::unlink(tmp.c_str());
    return e;
  }
  return 0;
}

void RemoveKeyFolder(const std::string& path);

// An id of the current boot of the machine: volatile keys of another boot
// are gone.
std::string BootId() {
  static const std::string id = [] {
    std::string text;
    if (ReadFile("/proc/sys/kernel/random/boot_id", &text)) {
      std::string out;
      for (char c : text)
        if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || c == '-') out += c;
      if (!out.empty()) return out;
    }
    // Without a boot id, the boot time (seconds since 1970) tells boots apart.
    if (ReadFile("/proc/stat", &text)) {
      const size_t at = text.find("\nbtime ");
      if (at != std::string::npos) {
        const size_t start = at + 7, end = text.find('\n', start);
        return "btime-" + text.substr(start, end == std::string::npos ? std::string::npos : end - start);
      }
    }
    return std::string("boot");
  }();
  return id;
}

// Removes the volatile folders of earlier boots (and those of earlier
// versions, which kept no boot folder), once per process and root.
void SweepEarlierBoots(const std::string& folder, const std::string& current) {
  static std::mutex mu;
  static std::vector<std::string> swept;
  {
    std::lock_guard<std::mutex> lock(mu);
    if (std::find(swept.begin(), swept.end(), folder) != swept.end()) return;
    swept.push_back(folder);
  }
  DIR* d = ::opendir(folder.c_str());
  if (!d) return;
  std::vector<std::string> stale;
  while (dirent* e = ::readdir(d)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0 || current == e->d_name) continue;
    stale.push_back(folder + "/" + e->d_name);
  }
  ::closedir(d);
  for (const auto& path : stale) RemoveKeyFolder(path);
}

// Volatile key folders live under the instance root, in a folder of the
// current boot, and the tree links to them: after a restart the links lead
// to another boot's folder and their keys no longer exist. The instance root
// is the service's own (checked by Root()), so no other user can make or
// change these folders.
std::string VolatileBase() {
  const std::string folder = RootFolder("registry-volatile");
  const std::string boot = BootId();
  const std::string base = folder + "/" + boot;
  ::mkdir(base.c_str(), 0777);  // the umask decides who else may write
  SweepEarlierBoots(folder, boot);
  return base;
}

// True when `path` is the link of a live volatile key: it leads to a
// folder directly in this boot's volatile folder. Any other link (of an
// earlier boot or version, or planted) is no key and is never followed.
bool IsVolatileLink(const std::string& path, std::string* target = nullptr) {
  char buf[4096];
  const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf - 1);
  if (n <= 0) return false;
  buf[n] = 0;
  const std::string base = VolatileBase() + "/";
  const std::string to = buf;
  if (to.compare(0, base.size(), base) != 0) return false;
  const std::string leaf = to.substr(base.size());
  if (leaf.empty() || leaf == "." || leaf == ".." || leaf.find('/') != std::string::npos) return false;
  struct stat st;
  if (::lstat(to.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  if (target) *target = to;
  return true;
}

// True when `path` is a key: a folder, or the link of a live volatile key.
bool IsKeyEntry(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return false;
  if (S_ISDIR(st.st_mode)) return true;
  return S_ISLNK(st.st_mode) && IsVolatileLink(path);
}

// Removes a key folder with everything below it. The links of live
// volatile keys are followed into their folders; no other link is: it is
// removed itself, never what it points to.
void RemoveKeyFolder(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return;
  if (S_ISLNK(st.st_mode)) {
    std::string target;
    if (IsVolatileLink(path, &target)) RemoveKeyFolder(target);
    ::unlink(path.c_str());
    return;
  }
  if (!S_ISDIR(st.st_mode)) {
    ::unlink(path.c_str());
    return;
  }
  if (DIR* d = ::opendir(path.c_str())) {
    std::vector<std::string> names;
    while (dirent* e = ::readdir(d)) {
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    }
    ::closedir(d);
    for (const auto& n : names) RemoveKeyFolder(path + "/" + n);
  }
  ::rmdir(path.c_str());
}

// Makes one key folder `target` (entry of `parent`) holding ".name".
// Returns 0 when this call created it, EEXIST when it exists, or an errno.
int MakeKeyFolder(const std::string& parent, const std::string& target, const std::string& name, bool isVolatile) {
  struct stat st;
  if (::lstat(target.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && !IsVolatileLink(target)) {
    // The link of a volatile key from before a restart: the key is gone.
    ::unlink(target.c_str());
  }
  const std::string folder = isVolatile ? VolatileBase() + "/" + UniqueTag() : parent + "/.tmpk-" + UniqueTag();
  if (::mkdir(folder.c_str(), 0777) != 0) return errno;
  if (int e = ReplaceFile(folder, folder + "/.name", name)) {
    RemoveKeyFolder(folder);
    return e;
  }
  int rc = isVolatile ? ::symlink(folder.c_str(), target.c_str()) : ::rename(folder.c_str(), target.c_str());
  if (rc == 0) return 0;
  int e = errno;
  RemoveKeyFolder(folder);
  // A key folder always holds ".name", so renaming onto an existing one fails.
  if (e == EEXIST || e == ENOTEMPTY || e == ENOTDIR || e == EISDIR) return EEXIST;
  return e;
}

// Removes what writers killed in the middle left in a key folder: the
// temporary files, key folders and deleted keys of processes that no longer
// exist (the pid follows the entry's prefix).
void SweepLeftovers(const std::string& folder) {
  DIR* d = ::opendir(folder.c_str());
  if (!d) return;
  std::vector<std::string> dead;
  while (dirent* e = ::readdir(d)) {
    const char* name = e->d_name;
    const char* pid = nullptr;
    for (const char* prefix : {".tmpv-", ".tmpk-", ".del-"})
      if (std::strncmp(name, prefix, std::strlen(prefix)) == 0) pid = name + std::strlen(prefix);
    if (!pid) continue;
    const int32_t owner = std::atoi(pid);
    if (owner > 0 && owner != ::getpid() && !ProcessAlive(owner)) dead.push_back(folder + "/" + name);
  }
  ::closedir(d);
  for (const auto& path : dead) RemoveKeyFolder(path);
}

// The keys every machine has: they always exist as persistent keys, so a
// volatile key created below them (the write filter's "SOFTWARE\EWF") never
// makes them volatile.
void MakeStandardKeys(HKEY hive, const std::string& hiveFolder) {
  static const char* const kMachine[] = {"SOFTWARE", "SYSTEM", "HARDWARE"};
  static const char* const kUser[] = {"SOFTWARE"};
  const bool machine = hive == &g_hives[2], user = hive == &g_hives[1];
  if (!machine && !user) return;
  for (const char* name : machine ? std::vector<const char*>(std::begin(kMachine), std::end(kMachine))
                                  : std::vector<const char*>(std::begin(kUser), std::end(kUser))) {
    const std::string target = hiveFolder + "/" + EntryName('k', name);
    struct stat st;
    if (::lstat(target.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
    // Missing, or the link of a volatile one that earlier versions made:
    // made persistent (what a volatile one held is gone as at a restart).
    if (::lstat(target.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
      const std::string doomed = hiveFolder + "/.del-" + UniqueTag();
      if (::rename(target.c_str(), doomed.c_str()) == 0) RemoveKeyFolder(doomed);
    }
    MakeKeyFolder(hiveFolder, target, name, false);
  }
}

HKEY NewKey(const std::string& folder, uint32_t access) {
  auto* key = new RegKeyObject;
  key->folder = folder;
  key->access = access;
  return key;
}

bool HasAccess(HKEY key, uint32_t right) { return (key->access & right) == right; }

std::string KeyNameOf(const std::string& folder, const std::string& entry) {
  std::string name;
  if (ReadFile(folder + "/" + entry + "/.name", &name)) return name;
  return entry.substr(2);
}

bool ParseValueFile(const std::string& content, RegValueFileHeader* head, std::string* name, const char** data) {
  if (content.size() < sizeof(RegValueFileHeader)) return false;
  std::memcpy(head, content.data(), sizeof *head);
  if (std::memcmp(head->magic, "CDXV", 4) != 0) return false;
  if (uint64_t{head->nameLength} + head->dataLength + sizeof *head != content.size()) return false;
  if (name) name->assign(content.data() + sizeof *head, head->nameLength);
  if (data) *data = content.data() + sizeof *head + head->nameLength;
  return true;
}

void SortCaseBlind(std::vector<std::string>* names) {
  std::sort(names->begin(), names->end(),
            [](const std::string& a, const std::string& b) { return RegFoldName(a) < RegFoldName(b); });
}

// ---- change notification ----------------------------------------------

// One armed notification: an inotify instance watching the key's folder
// (and its subfolders). The watcher thread sets the event at the first
// matching change and drops the watch.
struct Watch {
  int fd = -1;
  HKEY key = nullptr;
  Event* event = nullptr;
  uint32_t filter = 0;
  bool subtree = false;
  bool cancelled = false;
  std::map<int, std::string> folders;  // inotify watch descriptor -> key folder
};

class Watcher {
 public:
  static Watcher& Get() {
    static Watcher* w = new Watcher;  // lives as long as the process
    return *w;
  }

  uint32_t Arm(HKEY key, const std::string& folder, bool subtree, uint32_t filter, Event* event) {
    int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) return FailedErrno(errno);
    auto w = std::make_unique<Watch>();
    w->fd = fd;
    w->key = key;
    w->event = event;
    w->filter = filter;
    w->subtree = subtree;
    if (!AddWatches(w.get(), folder, subtree, nullptr)) {
      int e = errno;
      ::close(fd);
      return FailedErrno(e);
    }
    std::lock_guard<std::mutex> lock(mu_);
    StartLocked();
    watches_.push_back(std::move(w));
    Wake();
    return Ok();
  }

  void DeliverPending() {
    std::lock_guard<std::mutex> lock(mu_);
    bool fired = false;
    for (auto& w : watches_) {
      if (w->cancelled) continue;
      if (Matches(w.get())) {
        w->event->Set();
        w->cancelled = fired = true;
      }
    }
    if (fired) Wake();  // the thread drops the watches that fired
  }

  // No event of this key is set once this returns.
  void Cancel(HKEY key) {
    std::lock_guard<std::mutex> lock(mu_);
    bool any = false;
    for (auto& w : watches_)
      if (w->key == key) w->cancelled = any = true;
    if (any) Wake();
  }

 private:
  Watcher() {
    pthread_atfork([] { Get().mu_.lock(); }, [] { Get().mu_.unlock(); },
                   [] {
                     // The child has no watcher thread and owns none of the
                     // parent's notifications.
                     Watcher& w = Get();
                     for (auto& x : w.watches_) ::close(x->fd);
                     w.watches_.clear();
                     if (w.wakeFd_ >= 0) ::close(w.wakeFd_);
                     w.wakeFd_ = -1;
                     w.running_ = false;
                     w.mu_.unlock();
                   });
  }

  // Watches `folder` and, with subtree, every key folder below it. When
  // sawValue is given it is set when any of those folders holds a value.
  static bool AddWatches(Watch* w, const std::string& folder, bool subtree, bool* sawValue) {
    constexpr uint32_t mask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF;
    const int wd = ::inotify_add_watch(w->fd, folder.c_str(), mask);
    if (wd < 0) return false;
    w->folders[wd] = folder;
    if (!subtree && !sawValue) return true;
    DIR* d = ::opendir(folder.c_str());
    if (!d) return true;
    std::vector<std::string> subkeys;
    while (dirent* e = ::readdir(d)) {
      if (std::strncmp(e->d_name, "k_", 2) == 0) subkeys.push_back(folder + "/" + e->d_name);
      if (sawValue && std::strncmp(e->d_name, "v_", 2) == 0) *sawValue = true;
    }
    ::closedir(d);
    if (!subtree) return true;
    for (const auto& s : subkeys)
      if (IsDirectory(s)) AddWatches(w, s, true, sawValue);  // a key removed meanwhile is no error
    return true;
  }

  void StartLocked() {
    if (running_) return;
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    running_ = true;
    std::thread([this, wakeFd = wakeFd_] { Run(wakeFd); }).detach();
  }

  void Wake() {
    uint64_t one = 1;
    ssize_t r = ::write(wakeFd_, &one, sizeof one);
    (void)r;
  }

  // True when the events read from the watch hold a change of its filter's
  // kinds. A key that appears below a subtree watch is watched from then
  // on; values already in it were set after the watch was armed (the key
  // is newer), so they count as changes.
  static bool Matches(Watch* w) {
    const uint32_t filter = w->filter;
    alignas(inotify_event) char buf[8192];
    bool hit = false;
    for (;;) {
      ssize_t n = ::read(w->fd, buf, sizeof buf);
      if (n <= 0) break;
      for (char* p = buf; p < buf + n;) {
        auto* ev = reinterpret_cast<inotify_event*>(p);
        p += sizeof(inotify_event) + ev->len;
        if (ev->mask & (IN_Q_OVERFLOW | IN_DELETE_SELF | IN_MOVE_SELF)) {
          hit = true;
          continue;
        }
        if (!ev->len) continue;
        if (std::strncmp(ev->name, "k_", 2) == 0 && (filter & REG_NOTIFY_CHANGE_NAME)) hit = true;
        if (w->subtree && !hit && (ev->mask & (IN_CREATE | IN_MOVED_TO)) && std::strncmp(ev->name, "k_", 2) == 0) {
          auto it = w->folders.find(ev->wd);
          const std::string added = it == w->folders.end() ? std::string() : it->second + "/" + ev->name;
          bool sawValue = false;
          if (!added.empty() && IsDirectory(added)) AddWatches(w, added, true, &sawValue);
          if (sawValue && (filter & REG_NOTIFY_CHANGE_LAST_SET)) hit = true;
        }
        if (std::strncmp(ev->name, "v_", 2) == 0 && (filter & REG_NOTIFY_CHANGE_LAST_SET)) hit = true;
      }
    }
    return hit;
  }

  void Run(int wakeFd) {
    std::vector<pollfd> fds;
    for (;;) {
      {
        std::lock_guard<std::mutex> lock(mu_);
        if (wakeFd != wakeFd_) return;  // the process forked: this is a stale copy
        for (auto it = watches_.begin(); it != watches_.end();) {
          if ((*it)->cancelled) {
            ::close((*it)->fd);
            it = watches_.erase(it);
          } else {
            ++it;
          }
        }
        fds.assign(1, pollfd{wakeFd, POLLIN, 0});
        for (auto& w : watches_) fds.push_back(pollfd{w->fd, POLLIN, 0});
      }
      int r = ::poll(fds.data(), fds.size(), -1);
      if (r < 0) continue;
      std::lock_guard<std::mutex> lock(mu_);
      if (fds[0].revents & POLLIN) {
        uint64_t v;
        ssize_t n = ::read(wakeFd, &v, sizeof v);
        (void)n;
      }
      for (size_t i = 1; i < fds.size(); ++i) {
        if (!(fds[i].revents & POLLIN)) continue;
        for (auto& w : watches_) {
          if (w->fd != fds[i].fd || w->cancelled) continue;
          if (Matches(w.get())) {
            w->event->Set();
            w->cancelled = true;  // one-shot: dropped at the next round
          }
        }
      }
    }
  }

  std::mutex mu_;
  std::vector<std::unique_ptr<Watch>> watches_;
  int wakeFd_ = -1;
  bool running_ = false;
};

}  // namespace

const HKEY HKEY_CLASSES_ROOT = &g_hives[0];
const HKEY HKEY_CURRENT_USER = &g_hives[1];
const HKEY HKEY_LOCAL_MACHINE = &g_hives[2];
const HKEY HKEY_USERS = &g_hives[3];
const HKEY HKEY_PERFORMANCE_DATA = &g_hives[4];
const HKEY HKEY_CURRENT_CONFIG = &g_hives[5];
const HKEY HKEY_DYN_DATA = &g_hives[6];

std::string RegFoldName(const std::string& name) {
  std::string out = name;
  for (char& ch : out) {
    unsigned char c = static_cast<unsigned char>(ch);
    if ((c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7))
      c = static_cast<unsigned char>(c + 0x20);
    else if (c == 0x8A || c == 0x8C || c == 0x8E)
      c = static_cast<unsigned char>(c + 0x10);
    else if (c == 0x9F)
      c = 0xFF;
    ch = static_cast<char>(c);
  }
  return out;
}

bool RegNamesEqual(const std::string& a, const std::string& b) { return RegFoldName(a) == RegFoldName(b); }

uint32_t RegCreateKeyEx(HKEY parent, const std::string& subKey, uint32_t options, uint32_t access, HKEY* result,
                        uint32_t* disposition) {
  if (!parent || !result) return Failed(kErrInvalidHandle);
  std::vector<std::string> parts;
  if (!SplitPath(subKey, &parts)) return Failed(kErrInvalidParameter);
  std::string folder = KeyFolder(parent);
  if (!IsDirectory(folder)) return Failed(kErrFileNotFound);
  if (IsPredefined(parent)) MakeStandardKeys(parent, folder);
  bool createdLast = false;
  for (const auto& part : parts) {
    const std::string target = folder + "/" + EntryName('k', part);
    createdLast = false;
    for (int attempt = 0;; ++attempt) {
      if (IsKeyEntry(target)) break;
      if (!IsPredefined(parent) && !HasAccess(parent, KEY_CREATE_SUB_KEY)) return Failed(kErrAccessDenied);
      int e = MakeKeyFolder(folder, target, part, options & REG_OPTION_VOLATILE);
      if (e == 0) {
        createdLast = true;
        break;
      }
      if (e != EEXIST || attempt >= kCreateAttempts) return FailedErrno(e);
    }
    folder = target;
  }
  *result = NewKey(folder, access);
  if (disposition) *disposition = createdLast ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return Ok();
}

uint32_t RegOpenKeyEx(HKEY parent, const std::string& subKey, uint32_t access, HKEY* result) {
  if (!parent || !result) return Failed(kErrInvalidHandle);
  std::vector<std::string> parts;
  if (!SplitPath(subKey, &parts)) return Failed(kErrInvalidParameter);
  std::string folder = KeyFolder(parent);
  if (!IsDirectory(folder)) return Failed(kErrFileNotFound);
  for (const auto& part : parts) {
    folder += '/';
    folder += EntryName('k', part);
    if (!IsKeyEntry(folder)) return Failed(kErrFileNotFound);
  }
  *result = NewKey(folder, access);
  return Ok();
}

uint32_t RegCloseKey(HKEY key) {
  if (!key || IsPredefined(key)) return Ok();
  Watcher::Get().Cancel(key);
  delete key;
  return Ok();
}

uint32_t RegQueryValueEx(HKEY key, const char* name, uint32_t* type, void* data, uint32_t* size) {
  if (!key) return Failed(kErrInvalidHandle);
  if (!HasAccess(key, KEY_QUERY_VALUE)) return Failed(kErrAccessDenied);
  if (data && !size) return Failed(kErrInvalidParameter);
  const std::string folder = KeyFolder(key);
  std::string content;
  if (!ReadFile(folder + "/" + EntryName('v', name ? name : ""), &content)) {
    if (errno == ENOENT || errno == ENOTDIR) return Failed(kErrFileNotFound);
    return FailedErrno(errno);
  }
  RegValueFileHeader head;
  const char* bytes = nullptr;
  if (!ParseValueFile(content, &head, nullptr, &bytes)) return Failed(kErrInvalidData);
  if (type) *type = head.type;
  if (!data) {
    if (size) *size = head.dataLength;
    return Ok();
  }
  if (*size < head.dataLength) {
    *size = head.dataLength;
    return Failed(kErrMoreData);
  }
  if (head.dataLength) std::memcpy(data, bytes, head.dataLength);
  *size = head.dataLength;
  return Ok();
}

uint32_t RegSetValueEx(HKEY key, const char* name, uint32_t type, const void* data, uint32_t size) {
  if (!key) return Failed(kErrInvalidHandle);
  if (!HasAccess(key, KEY_SET_VALUE)) return Failed(kErrAccessDenied);
  const std::string valueName = name ? name : "";
  if (valueName.size() > kMaxValueNameLength || (size && !data)) return Failed(kErrInvalidParameter);
  RegValueFileHeader head;
  std::memcpy(head.magic, "CDXV", 4);
  head.type = type;
  head.nameLength = static_cast<uint32_t>(valueName.size());
  head.dataLength = size;
  std::string content(reinterpret_cast<const char*>(&head), sizeof head);
  content += valueName;
  if (size) content.append(static_cast<const char*>(data), size);
  const std::string folder = KeyFolder(key);
  if (int e = ReplaceFile(folder, folder + "/" + EntryName('v', valueName), content)) return FailedErrno(e);
  SweepLeftovers(folder);
  return Ok();
}

uint32_t RegDeleteValue(HKEY key, const char* name) {
  if (!key) return Failed(kErrInvalidHandle);
  if (!HasAccess(key, KEY_SET_VALUE)) return Failed(kErrAccessDenied);
  const std::string path = KeyFolder(key) + "/" + EntryName('v', name ? name : "");
  if (::unlink(path.c_str()) != 0) return errno == ENOTDIR ? Failed(kErrFileNotFound) : FailedErrno(errno);
  return Ok();
}

namespace {

uint32_t DeleteKey(HKEY parent, const std::string& subKey, bool tree) {
  if (!parent) return Failed(kErrInvalidHandle);
  std::vector<std::string> parts;
  if (!SplitPath(subKey, &parts)) return Failed(kErrInvalidParameter);
  if (parts.empty()) return Failed(kErrAccessDenied);  // a key cannot delete itself here
  std::string folder = KeyFolder(parent);
  if (!IsDirectory(folder)) return Failed(kErrFileNotFound);
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    folder += '/';
    folder += EntryName('k', parts[i]);
    if (!IsKeyEntry(folder)) return Failed(kErrFileNotFound);
  }
  const std::string target = folder + "/" + EntryName('k', parts.back());
  if (!IsKeyEntry(target)) return Failed(kErrFileNotFound);
  if (!tree) {
    if (DIR* d = ::opendir(target.c_str())) {
      bool hasSubkeys = false;
      while (dirent* e = ::readdir(d))
        if (std::strncmp(e->d_name, "k_", 2) == 0) hasSubkeys = true;
      ::closedir(d);
      if (hasSubkeys) return Failed(kErrAccessDenied);
    }
  }
  // Take the key out of the tree in one step, then remove what it held.
  const std::string doomed = folder + "/.del-" + UniqueTag();
  if (::rename(target.c_str(), doomed.c_str()) != 0) return FailedErrno(errno);
  RemoveKeyFolder(doomed);
  return Ok();
}

uint32_t ListEntries(HKEY key, char kind, uint32_t right, std::vector<std::string>* names) {
  if (!key || !names) return Failed(kErrInvalidHandle);
  if (!HasAccess(key, right)) return Failed(kErrAccessDenied);
  const std::string folder = KeyFolder(key);
  DIR* d = ::opendir(folder.c_str());
  if (!d) return FailedErrno(errno);
  std::vector<std::string> entries;
  while (dirent* e = ::readdir(d))
    if (e->d_name[0] == kind && e->d_name[1] == '_') entries.push_back(e->d_name);
  ::closedir(d);
  names->clear();
  for (const auto& entry : entries) {
    if (kind == 'k') {
      if (IsKeyEntry(folder + "/" + entry)) names->push_back(KeyNameOf(folder, entry));
      continue;
    }
    std::string content, name;
    RegValueFileHeader head;
    if (ReadFile(folder + "/" + entry, &content) && ParseValueFile(content, &head, &name, nullptr))
      names->push_back(name);
  }
  SortCaseBlind(names);
  return Ok();
}

}  // namespace

uint32_t RegDeleteKey(HKEY parent, const std::string& subKey) { return DeleteKey(parent, subKey, false); }

uint32_t RegDeleteTree(HKEY parent, const std::string& subKey) { return DeleteKey(parent, subKey, true); }

uint32_t RegListSubKeys(HKEY key, std::vector<std::string>* names) {
  return ListEntries(key, 'k', KEY_ENUMERATE_SUB_KEYS, names);
}

uint32_t RegListValues(HKEY key, std::vector<std::string>* names) {
  return ListEntries(key, 'v', KEY_QUERY_VALUE, names);
}

uint32_t RegNotifyChangeKeyValue(HKEY key, bool watchSubtree, uint32_t filter, Event* event) {
  if (!key || !event || !event->valid()) return Failed(kErrInvalidHandle);
  if (!HasAccess(key, KEY_NOTIFY)) return Failed(kErrAccessDenied);
  if (filter == 0 || (filter & ~0xFu)) return Failed(kErrInvalidParameter);
  const std::string folder = KeyFolder(key);
  if (!IsDirectory(folder)) return Failed(kErrFileNotFound);
  return Watcher::Get().Arm(key, folder, watchSubtree, filter, event);
}

void RegDeliverPendingNotifications() { Watcher::Get().DeliverPending(); }

uint32_t RegConnectRegistry(const char* machineName, HKEY hive, HKEY* result) {
  if (!result || !IsPredefined(hive)) return Failed(kErrInvalidHandle);
  std::string machine = machineName ? machineName : "";
  if (machine.rfind("\\\\", 0) == 0) machine = machine.substr(2);
  if (!machine.empty() && machine != "." && !RegNamesEqual(machine, ComputerName()) &&
      !RegNamesEqual(machine, "localhost"))
    return Failed(kErrBadNetPath);
  *result = hive;
  return Ok();
}

}  // namespace plat
