#include "cdxlib/sys/debugtrace.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "cdxlib/sys/registry.h"
#include "cdxlib/sys/textutil.h"
#include "cdxlib/sys/writefilter.h"
#include "platform/debugout.h"

namespace {

// Value-name suffixes of the counter references, receive then transmit.
const char* const kCounterValues[CDebugTrace::kCounterKinds][2] = {
    {"_DebugRxCount", "_DebugTxCount"},
    {"_DebugRxTimeoutCount", "_DebugTxTimeoutCount"},
    {"_DebugRxCommErrorCount", "_DebugTxCommErrorCount"},
    {"_DebugRxCRCErrorCount", "_DebugTxCRCErrorCount"},
    {"_DebugRxGoodPacketCount", "_DebugTxGoodPacketCount"},
};

bool StartsWithOn(const char* text) {
  return std::toupper(static_cast<unsigned char>(text[0])) == 'O' &&
         std::toupper(static_cast<unsigned char>(text[1])) == 'N';
}

bool ContainsNoCase(const char* text, const char* word) {
  const std::string t = cdxtext::Upper(text), w = word;
  return t.find(w) != std::string::npos;
}

bool WriteWhole(int fd, const char* text, size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, text, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    text += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

std::mutex g_traceMutex;
CDebugTrace* g_trace = nullptr;

}  // namespace

void CDebugTrace::Open(const char* moduleName) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  Close();
  std::snprintf(module_, sizeof module_, "%s", moduleName ? moduleName : "");
  const std::string keyPath = std::string(kRegMakerKey) + "\\" + Prod_GetProductName();
  // The trace's key is always the machine's: never redirected.
  if (Ewf_RegCreateKey(plat::HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, "", plat::REG_OPTION_NON_VOLATILE,
                       plat::KEY_ALL_ACCESS, Sys_NullDaclAttributes(), &key_, nullptr) != 0) {
    key_ = nullptr;
    return;
  }
  changed_ = new plat::Event(true, false);
  Reload();
}

bool CDebugTrace::ReadSetting(const char* suffix, char* buffer, uint32_t size) {
  char name[kMaxModuleName + 32];
  std::snprintf(name, sizeof name, "%s%s", module_, suffix);
  uint32_t got = size - 1;
  buffer[0] = 0;
  if (plat::RegQueryValueEx(key_, name, nullptr, buffer, &got) != 0) return false;
  buffer[got] = 0;
  return true;
}

void CDebugTrace::Reload() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (!key_) return;
  if (changed_) {
    changed_->Reset();
    plat::RegNotifyChangeKeyValue(key_, true,
                                  plat::REG_NOTIFY_CHANGE_NAME | plat::REG_NOTIFY_CHANGE_ATTRIBUTES |
                                      plat::REG_NOTIFY_CHANGE_LAST_SET | plat::REG_NOTIFY_CHANGE_SECURITY,
                                  changed_);
  }
  char value[512];
  const bool on = ReadSetting("_Debug", value, sizeof value) && StartsWithOn(value);
  if (on == debuggingOn_) return;
  debuggingOn_ = on;
  if (on) {
    flags_ = kDebugging;
    lineLength_ = 0;
    if (ReadSetting("_DebugType", value, sizeof value)) {
      if (ContainsNoCase(value, "CON")) flags_ |= kConsole;
      if (ContainsNoCase(value, "FILE")) flags_ |= kFile;
    }
  } else {
    flags_ = 0;
  }
  if ((flags_ & kFile) && file_ < 0) {
    if (ReadSetting("_DebugFile", value, sizeof value) && value[0]) {
      file_ = OpenTraceFile(value);
      if (file_ < 0) {
        // The value may have been set by someone who wants a file of theirs
        // destroyed: say so on the debugger output and trace without it.
        char note[700];
        std::snprintf(note, sizeof note, "%s : trace file %s not used: %s\n", module_, value, std::strerror(errno));
        plat::OutputDebugText(note);
      }
    }
  } else if (!(flags_ & kFile) && file_ >= 0) {
    ::close(file_);
    file_ = -1;
  }
  if ((flags_ & kConsole) && console_ < 0) {
    console_ = plat::OpenConsole();
  } else if (!(flags_ & kConsole) && console_ >= 0) {
    ::close(console_);
    console_ = -1;
  }
  for (int c = 0; c < kCounterKinds; ++c) {
    for (int dir = 0; dir < 2; ++dir) {
      CounterRef& ref = refs_[c][dir];
      if (on && ReadSetting(kCounterValues[c][dir], value, sizeof value))
        ParseCounterRef(value, ref.prefix, &ref.number);
      else
        ref = CounterRef{};
    }
  }
}

int CDebugTrace::Write(const char* text) {
  if (!text) return 0;
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (changed_) {
    plat::RegDeliverPendingNotifications();
    if (changed_->IsSet()) Reload();
  }
  if (flags_ == 0) return 0;
  const size_t n = std::strlen(text);
  bool written = false;
  if ((flags_ & kConsole) && console_ >= 0) written |= WriteWhole(console_, text, n);
  if ((flags_ & kFile) && file_ >= 0) written |= WriteWhole(file_, text, n);
  if (flags_ & kDebugging) {
    if (lineLength_ == 0) {
      int w = std::snprintf(line_, sizeof line_, "%s : ", module_);
      lineLength_ = w > 0 ? static_cast<size_t>(w) : 0;
    }
    constexpr size_t kLimit = kLineBufferSize - 2;  // 4998
    if (lineLength_ + n > kLimit) {
      // Keep the end of the text, which holds the line end, and cut the line at 4999.
      const size_t room = kLineBufferSize - 1 - lineLength_;
      std::memcpy(line_ + lineLength_, text + n - std::min(room, n), std::min(room, n));
      lineLength_ += std::min(room, n);
    } else {
      std::memcpy(line_ + lineLength_, text, n);
      lineLength_ += n;
    }
    line_[lineLength_] = 0;
    if (n > 0 && text[n - 1] == '\n') {
      plat::OutputDebugText(line_);
      lineLength_ = 0;
    }
    written = true;
  }
  return written ? 1 : 0;
}

void CDebugTrace::Print(const char* text) { Write(text); }

void CDebugTrace::Close() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (file_ >= 0) ::close(file_);
  if (console_ >= 0) ::close(console_);
  file_ = console_ = -1;
  // The key first: closing it cancels the notification that sets the event.
  plat::RegCloseKey(key_);
  key_ = nullptr;
  delete changed_;
  changed_ = nullptr;
  flags_ = 0;
  debuggingOn_ = false;
  lineLength_ = 0;
}

int CDebugTrace::IsActive() const { return flags_ != 0; }

int CDebugTrace::Refresh() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (changed_) {
    plat::RegDeliverPendingNotifications();
    if (changed_->IsSet()) Reload();
  }
  return IsActive();
}

int CDebugTrace::OpenTraceFile(const char* path) {
  // A new file: ours, made here, nothing to check.
  int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd >= 0 || errno != EEXIST) return fd;
  // An existing name: look at what it is without opening it (no device or
  // pipe is opened, no link followed), then open that same file.
  const int probe = ::open(path, O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (probe < 0) return -1;
  struct stat before;
  const int rc = ::fstat(probe, &before);
  ::close(probe);
  if (rc != 0) return -1;
  if (S_ISLNK(before.st_mode)) return errno = ELOOP, -1;
  if (!S_ISREG(before.st_mode) || before.st_uid != ::geteuid() || before.st_nlink != 1) return errno = EPERM, -1;
  fd = ::open(path, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return -1;
  struct stat now;
  if (::fstat(fd, &now) != 0 || now.st_dev != before.st_dev || now.st_ino != before.st_ino || !S_ISREG(now.st_mode) ||
      now.st_uid != ::geteuid() || now.st_nlink != 1) {
    ::close(fd);
    return errno = EPERM, -1;  // replaced meanwhile: left alone
  }
  if (::ftruncate(fd, 0) != 0 || ::fcntl(fd, F_SETFL, 0) != 0) {
    const int e = errno;
    ::close(fd);
    return errno = e, -1;
  }
  return fd;
}

int CDebugTrace::ParseCounterRef(const char* text, char* prefix, int* number) {
  prefix[0] = prefix[1] = prefix[2] = 0;
  *number = 0;
  if (!text) return 0;
  const size_t n = std::strlen(text);
  if (n == 0 || n > 7 || !std::isalpha(static_cast<unsigned char>(text[0]))) return 0;
  size_t letters = 0;
  while (letters < n && std::isalpha(static_cast<unsigned char>(text[letters]))) ++letters;
  if (letters > 2 || letters == n) return 0;
  int value = 0;
  for (size_t i = letters; i < n; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return 0;
    value = value * 10 + (text[i] - '0');
  }
  if (value < 1 || value > 10000) return 0;
  for (size_t i = 0; i < letters; ++i) prefix[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[i])));
  *number = value;
  return 1;
}

void Dbg_CreateTrace(const char* moduleName) {
  auto* trace = new CDebugTrace;
  trace->Open(moduleName);
  CDebugTrace* old;
  {
    std::lock_guard<std::mutex> lock(g_traceMutex);
    old = g_trace;
    g_trace = trace;
  }
  delete old;
}

void Dbg_DestroyTrace() {
  CDebugTrace* old;
  {
    std::lock_guard<std::mutex> lock(g_traceMutex);
    old = g_trace;
    g_trace = nullptr;
  }
  delete old;
}

CDebugTrace* Dbg_Trace() {
  std::lock_guard<std::mutex> lock(g_traceMutex);
  return g_trace;
}

int Dbg_Log(const char* text) {
  std::lock_guard<std::mutex> lock(g_traceMutex);
  return g_trace ? g_trace->Write(text) : 0;
}

int Dbg_Active() {
  std::lock_guard<std::mutex> lock(g_traceMutex);
  return g_trace ? g_trace->Refresh() : 0;
}

void Dbg_HexDump(const void* bytes, size_t n) {
  std::lock_guard<std::mutex> lock(g_traceMutex);
  if (!g_trace || !bytes) return;
  const auto* p = static_cast<const unsigned char*>(bytes);
  char item[8];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(item, sizeof item, "0x%02x ", p[i]);
    g_trace->Write(item);
  }
}

namespace {
void Forward(CDebugTrace::Counter which, bool transmit, int count) {
  std::lock_guard<std::mutex> lock(g_traceMutex);
  if (g_trace) g_trace->Count(which, transmit, count);
}
}  // namespace

void Dbg_RxCount(int count) { Forward(CDebugTrace::kCount, false, count); }
void Dbg_TxCount(int count) { Forward(CDebugTrace::kCount, true, count); }
void Dbg_RxTimeoutCount(int count) { Forward(CDebugTrace::kTimeoutCount, false, count); }
void Dbg_TxTimeoutCount(int count) { Forward(CDebugTrace::kTimeoutCount, true, count); }
void Dbg_RxCommErrorCount(int count) { Forward(CDebugTrace::kCommErrorCount, false, count); }
void Dbg_TxCommErrorCount(int count) { Forward(CDebugTrace::kCommErrorCount, true, count); }
void Dbg_RxCRCErrorCount(int count) { Forward(CDebugTrace::kCrcErrorCount, false, count); }
void Dbg_TxCRCErrorCount(int count) { Forward(CDebugTrace::kCrcErrorCount, true, count); }
void Dbg_RxGoodPacketCount(int count) { Forward(CDebugTrace::kGoodPacketCount, false, count); }
void Dbg_TxGoodPacketCount(int count) { Forward(CDebugTrace::kGoodPacketCount, true, count); }
