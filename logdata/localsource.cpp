// The in-process logged-data source (kind 3 of the command client).
#include "logdata/localsource.h"

#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "cdxlib/client/srvclient.h"
#include "cdxlib/sys/debugtrace.h"
#include "cdxlib/client/reqbuffers.h"
#include "cdxlib/sys/eventlog.h"
#include "cdxlib/sys/timestamp.h"
#include "logdata/logformat.h"
#include "logdata/logstatus.h"
#include "logdata/eventstext.h"
#include "logdata/logkinds.h"
#include "logdata/logstore.h"
#include "logdata/remotelog.h"
#include "logdata/webhmi.h"
#include "platform/debugout.h"
#include "platform/error.h"
#include "platform/eventlog.h"
#include "platform/named_mutex.h"
#include "platform/shm.h"
#include "platform/sync.h"

namespace {

constexpr int kStatusChannels = 56;      // "LS" 1..32 slot 0's logger, 33..56 its companion's
constexpr int kRefreshMs = 500;           // newest records looked at no more often
constexpr int kNewerLogMs = 30000;        // newer logs looked for no more often
constexpr int kCompanionMs = 1000;        // companion data loaded no more often
constexpr int32_t kCompanionWindowMs = 180000;  // slot 1's values count within this of slot 0's
constexpr int kMaxToken = 99;

std::atomic<int> g_closeAfterRequest{0};

bool EndsWithCase(const std::string& s, const char* tail) {
  size_t n = strlen(tail);
  return s.size() >= n && strcasecmp(s.c_str() + s.size() - n, tail) == 0;
}

// The server of a log of another machine (a UNC path), through which the
// log is read; null for a log of this machine.
const char* ServerOfLog(const std::string& path) {
  static thread_local std::string server;
  server = UncServerOf(path);
  return server.empty() ? nullptr : server.c_str();
}

// A file location as a directory of this machine: a file address loses its
// scheme (and an empty or local host), backslashes become '/', trailing
// separators go.
std::string FileDirectory(const char* location) {
  std::string s = location ? location : "";
  if (strncasecmp(s.c_str(), "file:", 5) == 0) {
    s = s.substr(5);
    if (s.compare(0, 2, "//") == 0) {
      size_t slash = s.find('/', 2);
      std::string host = s.substr(2, slash == std::string::npos ? std::string::npos : slash - 2);
      if (host.empty() || strcasecmp(host.c_str(), "localhost") == 0)
        s = slash == std::string::npos ? "/" : s.substr(slash);
    }
  }
  for (char& c : s)
    if (c == '\\') c = '/';
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

// The companion of a logger: "X_FAST_LOG" -> "X", "XFAST_LOG" -> "XSLOW_LOG".
bool CompanionOf(const std::string& name, std::string* out) {
  if (EndsWithCase(name, "_FAST_LOG")) {
    *out = name.substr(0, name.size() - 9);
    return !out->empty();
  }
  if (EndsWithCase(name, "FAST_LOG")) {
    *out = name.substr(0, name.size() - 8) + "SLOW_LOG";
    return true;
  }
  return false;
}

template <typename T>
void Append(std::string* out, T v) {
  out->append(reinterpret_cast<const char*>(&v), sizeof v);
}

void Debug(const char* format, const char* text) {
  char line[1400];
  snprintf(line, sizeof line, format, text);
  plat::OutputDebugText(line);
}

std::string Fmt(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Fmt(const char* format, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, format);
  vsnprintf(buf, sizeof buf, format, ap);
  va_end(ap);
  return buf;
}

std::string BlockPrefix(const LogBlockDescriptor& d) { return std::string(d.prefix, 2); }

bool PrefixEquals(const char p[2], const std::string& token) {
  char a[2] = {static_cast<char>(toupper(static_cast<unsigned char>(p[0]))),
               static_cast<char>(toupper(static_cast<unsigned char>(p[1])))};
  char b[2] = {static_cast<char>(toupper(static_cast<unsigned char>(token[0]))),
               static_cast<char>(token.size() > 1 ? toupper(static_cast<unsigned char>(token[1])) : ' ')};
  if (token.size() == 1) return a[0] == b[0] && (p[1] == ' ' || p[1] == '\0');
  return a[0] == b[0] && a[1] == b[1];
}

// The tokens of a channel list: prefixes (one or two letters) and channel
// numbers (one to five digits); anything else ends the list.
struct ListToken {
  bool prefix;
  std::string text;
  int number;
};
std::vector<ListToken> ParseChannelList(const char* list) {
  std::vector<ListToken> out;
  const char* p = list;
  while (p && *p) {
    const char* e = strchr(p, ',');
    size_t n = e ? static_cast<size_t>(e - p) : strlen(p);
    if (n > kMaxToken) break;
    std::string t(p, n);
    bool letters = (n == 1 || n == 2) && std::all_of(t.begin(), t.end(), [](char c) { return isalpha(static_cast<unsigned char>(c)); });
    bool digits = n >= 1 && n <= 5 && std::all_of(t.begin(), t.end(), [](char c) { return isdigit(static_cast<unsigned char>(c)); });
    if (letters) out.push_back({true, t, 0});
    else if (digits) out.push_back({false, t, atoi(t.c_str())});
    else break;
    if (!e) break;
    p = e + 1;
  }
  return out;
}

// ---- the shared status block ----

struct SharedStatus {
  std::unique_ptr<plat::NamedMutex> mutex;
  plat::ShmMapping map;
  LocalStatusBlock* Block() const { return static_cast<LocalStatusBlock*>(map.base); }
};

std::mutex g_sharedMu;
SharedStatus* g_shared = nullptr;

SharedStatus* Shared() {
  std::lock_guard<std::mutex> guard(g_sharedMu);
  if (g_shared) return g_shared;
  auto s = std::make_unique<SharedStatus>();
  std::string mutexName = std::string(kLocalStatusBlockName) + ".mut";
  s->mutex = plat::NamedMutex::Create(mutexName);
  bool existed = false;
  if (!s->mutex ||
      plat::Shm_CreateOrOpen(kLocalStatusBlockName, sizeof(LocalStatusBlock), {}, &s->map, &existed) != 0)
    return nullptr;
  if (s->map.size < sizeof(LocalStatusBlock)) {
    // An object of another size under the name: refused, and its view goes.
    plat::Shm_Unmap(&s->map);
    plat::SetLastError(plat::kErrInvalidData);
    return nullptr;
  }
  g_shared = s.release();
  return g_shared;
}

// Runs `change` on the block under its mutex (a holder that died counts as
// released: the robust mutex hands it over).
template <typename F>
bool WithShared(F change) {
  SharedStatus* s = Shared();
  if (!s) return false;
  int r = s->mutex->Lock(plat::kInfinite);
  if (r != plat::NamedMutex::kAcquired && r != plat::NamedMutex::kAbandoned) return false;
  change(s->Block());
  s->mutex->Unlock();
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------

class CLocalLogSource {
 public:
  CLocalLogSource() = default;
  ~CLocalLogSource() { Close(); }
  CLocalLogSource(const CLocalLogSource&) = delete;
  CLocalLogSource& operator=(const CLocalLogSource&) = delete;

  int Init();
  int Open(const char* location);
  void Close();
  void Destroy() {
    try {
      Close();
    } catch (...) {
    }
  }
  // 1 answered, 0 no log data, -1 out of memory; *replyLength the bytes.
  int readmrf(const char* request, uint32_t length, char* reply, uint32_t capacity, uint32_t* replyLength);

 private:
  struct Slot {
    CLogCollection* collection = nullptr;
    CLogStore* store = nullptr;
    LogHeader header{};
    std::string logger;    // logger name (database locations)
    std::string location;  // directory (files) or connection text (databases)
    std::string logName;
    TimeStamp logTime{};
    TimeStamp logStop{};
    int logNumber = 0;
    int newest = -1;       // -1 no store, -2 the count could not be read
    int lastCount = -1;
    std::vector<uint8_t> record;
    TimeStamp recordTime{};
    std::vector<std::vector<ChannelConfig>> channels;  // per block
  };
  struct StatusChannel {
    ChannelConfig config;
    uint32_t flags;  // digital: the state in bit 0; analog: 0x80 with a value
    float value;
  };
  struct Section {
    std::string location;
    TimeStamp first{}, last{};
    int records = 0;
    std::string header, text, scanUpdates, backfills;
  };

  std::string StoreLocation(const Slot& s, const std::string& name) const;
  int LoadSlot(Slot& s);
  int Load();
  void ReleaseStore(Slot& s);
  void Refresh();
  void FindNewestRecord(Slot& s);
  void RefreshStatusChannels();
  int ListSlot() const { return slots_[1].store ? 1 : 0; }
  bool HasLsBlock() const;
  // The block of slot `si` that holds the channel (-1 when none).
  int FindBlock(int si, const std::string& prefix, int channel) const;
  int LoadCompanion();
  // The record at t, else the last one before it (the first when all are
  // later), with its stamp; -1 when a record cannot be read.
  int FindRecordByTime(CLogStore* store, LogHeader* h, int count, const TimeStamp& t, TimeStamp* found);

  // Replies: true when answered into out.
  void ReplyProcessors(const char* args, bool tp, std::string* out);
  bool ReplyChannels(const char* list, bool values, std::string* out);
  void ReplyTags(const char* list, std::string* out);
  void ReplyCompanion(const std::string& code, const char* args, std::string* out);
  void ReplyShared(const std::string& code, const char* args, std::string* out);
  // "7S" and "8S": records (or rows of listed channels) and texts of a
  // window into the caller's buffers.
  void ReplyExport(bool rows, const char* args, std::string* out);
  // Gathers the web HMI channel list once; adds the channels of a "7S"/"8S"
  // list that the log holds (true when one was added).
  void GatherWebHmi();
  bool AddListedChannels(const char* list);
  // The (prefix, number) pairs of a channel list, as "CV" reads it.
  static std::vector<WebHmiChannel> ListedChannels(const char* list);

  Slot slots_[2];
  CLogCollection* second_ = nullptr;
  int provider_ = 0;  // 1 database, 0 files
  std::string connection_;
  StatusChannel status_[kStatusChannels]{};
  TimeStamp statusTime_{};
  bool statusRecord_ = false;
  uint32_t statusFlags_[2] = {};
  uint32_t statusWord_ = 0;
  std::string requestOnlyServer_;
  int64_t lastRefresh_ = 0;
  int64_t lastNewerCheck_ = 0;
  int64_t lastCompanion_ = 0;
  std::vector<Section> sections_;
  std::vector<WebHmiChannel> webHmi_;
  bool webHmiGathered_ = false;
  std::string openLocation_;
  uint32_t requests_ = 0;
  uint64_t replyBytes_ = 0;
};

int CLocalLogSource::Init() {
  for (Slot& s : slots_) s = Slot{};
  second_ = nullptr;
  provider_ = 0;
  for (int i = 0; i < kStatusChannels; ++i) {
    StatusChannel& c = status_[i];
    int logger = i < kLogStatusChannels ? 1 : 2;
    LogStatus_MakeChannel(logger, i < kLogStatusChannels ? i + 1 : i - kLogStatusChannels + 1, &c.config);
    c.flags = Chan_IsDigital(c.config.Type) ? 0 : 0x80;
    c.value = 0;
  }
  Time_NowLocal(&statusTime_);
  return 0;
}

std::string CLocalLogSource::StoreLocation(const Slot& s, const std::string& name) const {
  if (provider_) return s.location + ";LoggerName=" + s.logger + ";" + name;
  return s.location + "/" + name;
}

void CLocalLogSource::ReleaseStore(Slot& s) {
  if (s.store) {
    s.store->Close();
    s.store->Destroy(1);
  }
  s.store = nullptr;
  s.newest = -1;
  s.lastCount = -1;
  s.logName.clear();
}

int CLocalLogSource::LoadSlot(Slot& s) {
  if (!s.collection) return -1;
  char name[1300] = "";
  int size = sizeof name;
  TimeStamp start{}, stop{};
  if (s.collection->FindNewest(name, &size, &start, &stop, 1) != 1) return -1;
  if (s.store && s.logName == name) return 0;
  std::string loc = StoreLocation(s, name);
  CLogStore* store = CreateLogStore(loc.c_str());
  if (!store) return -1;
  LogHeader h{};
  std::vector<std::vector<ChannelConfig>> channels;
  bool ok = store->Open(ServerOfLog(loc), loc.c_str(), kGenericRead) == 0 && store->ReadHeader(&h) == 0 &&
            LogHeaderUsable(h) && store->GetNoLogs(&h) > 0;
  int blocks = h.blockCount > kLogMaxBlocks ? kLogMaxBlocks : h.blockCount;
  for (int b = 0; ok && b < blocks; ++b) {
    std::vector<ChannelConfig> c(static_cast<size_t>(LogBlockChannels(h.blocks[b])));
    if (!c.empty() && store->ReadChannels(&h, c.data(), b, 0, static_cast<int>(c.size())) != 0) ok = false;
    channels.push_back(std::move(c));
  }
  if (!ok) {
    uint32_t code = plat::GetLastError();
    store->Close();
    store->Destroy(1);
    plat::SetLastError(code);
    return -1;
  }
  // The log's number: its place among the logs of the collection by start.
  int number = 0;
  if (s.collection->FindFirst(nullptr)) {
    char n[1300];
    TimeStamp st{}, sp{};
    while (s.collection->FindNext(n, &st, &sp))
      if (static_cast<uint32_t>(st.seconds) <= static_cast<uint32_t>(start.seconds)) ++number;
  }
  ReleaseStore(s);
  s.store = store;
  s.header = h;
  s.channels = std::move(channels);
  s.record.assign(h.recordLength, 0);
  s.logName = name;
  s.logTime = start;
  s.logStop = stop;
  s.logNumber = number;
  s.newest = -1;
  s.lastCount = -1;
  return 0;
}

int CLocalLogSource::Load() {
  int r0 = LoadSlot(slots_[0]);
  if (slots_[1].collection) LoadSlot(slots_[1]);
  return slots_[0].store ? 0 : r0;
}

int CLocalLogSource::Open(const char* location) {
  if (!location) {
    plat::SetLastError(plat::kErrInvalidParameter);
    return -1;
  }
  std::string loggerName, companion;
  openLocation_ = location;
  if (GetProviderKind(location) == kProviderFiles) {
    provider_ = 0;
    slots_[0].location = FileDirectory(location);
    std::string comp;
    if (CompanionOf(slots_[0].location, &comp)) slots_[1].location = comp;
  } else {
    std::vector<char> text(strlen(location) + 1);
    memcpy(text.data(), location, text.size());
    char name[1300] = "";
    int size = sizeof name;
    if (!TakeLoggerName(text.data(), &size, name) || !name[0]) {
      errno = 0;
      plat::SetLastError(0);
      return -1;
    }
    provider_ = 1;
    connection_ = text.data();
    slots_[0].location = connection_;
    slots_[0].logger = name;
    std::string comp;
    if (CompanionOf(name, &comp)) {
      slots_[1].location = connection_;
      slots_[1].logger = comp;
    }
  }
  for (int i = 0; i < 2; ++i) {
    Slot& s = slots_[i];
    if (s.location.empty()) continue;
    s.collection = CreateLogCollection(location);
    const char* dir = provider_ ? "" : s.location.c_str();
    const char* conn = provider_ ? connection_.c_str() : s.location.c_str();
    if (!s.collection || s.collection->Open(conn, dir, s.logger.c_str(), "", kGenericRead) != 0) {
      uint32_t code = plat::GetLastError();
      if (s.collection) s.collection->Destroy(1);
      s.collection = nullptr;
      if (i == 1) {
        s = Slot{};
        continue;
      }
      plat::SetLastError(code);
      return -1;
    }
    if (i == 0) {
      second_ = CreateLogCollection(location);
      if (second_ && second_->Open(conn, dir, s.logger.c_str(), "", kGenericRead) != 0) {
        second_->Destroy(1);
        second_ = nullptr;
      }
    }
  }
  if (Load() != 0) {
    uint32_t code = plat::GetLastError();
    Close();
    plat::SetLastError(code ? code : plat::kErrFileNotFound);
    return -1;
  }
  lastNewerCheck_ = plat::MonotonicMs();
  if (!provider_ && strncmp(location, "\\\\", 2) == 0) {
    std::string host(location + 2);
    host = host.substr(0, host.find('\\'));
    if (Srv_IsRequestOnly(host.c_str())) requestOnlyServer_ = host;
  }
  Dbg_CreateTrace("Store");
  return 0;
}

void CLocalLogSource::Close() {
  for (Slot& s : slots_) {
    ReleaseStore(s);
    if (s.collection) s.collection->Destroy(1);
    s.collection = nullptr;
    s.record.clear();
    s.channels.clear();
  }
  if (second_) second_->Destroy(1);
  second_ = nullptr;
  sections_.clear();
}

void CLocalLogSource::FindNewestRecord(Slot& s) {
  if (!s.store) {
    s.newest = -1;
    return;
  }
  int n = s.store->GetNoLogs(&s.header);
  if (n < 0) {
    s.newest = -2;
    return;
  }
  if (n == s.lastCount) return;
  s.lastCount = n;
  s.newest = -1;
  const uint32_t rl = s.header.recordLength;
  for (int i = n - 1; i >= 0; --i) {
    if (s.store->ReadLog(i, &s.header, s.record.data(), static_cast<int>(rl), 0, nullptr, nullptr, 0, 0) != 0)
      continue;
    LogRecord r;
    memcpy(&r, s.record.data(), sizeof r);
    if (r.marker != kLogRecordMarker || (s.header.significantChange && r.level == 0)) continue;
    s.newest = i;
    s.recordTime = TimeStamp{r.seconds, r.milliseconds, r.microseconds};
    return;
  }
}

bool CLocalLogSource::HasLsBlock() const {
  const Slot& s = slots_[ListSlot()];
  if (!s.store) return false;
  for (int b = 0; b < s.header.blockCount && b < kLogMaxBlocks; ++b)
    if (s.header.blocks[b].prefix[0] == 'L' && s.header.blocks[b].prefix[1] == 'S') return true;
  return false;
}

void CLocalLogSource::RefreshStatusChannels() {
  TimeStamp now;
  Time_NowLocal(&now);
  for (int si = 0; si < 2; ++si) {
    const Slot& s = slots_[si];
    int base = si * kLogStatusChannels;
    int count = si == 0 ? kLogStatusChannels : kStatusChannels - kLogStatusChannels;
    auto digital = [&](int ch, uint32_t state) {
      if (ch <= count) status_[base + ch - 1].flags = state & 1;
    };
    auto analog = [&](int ch, float v) {
      if (ch <= count) {
        status_[base + ch - 1].flags = 0x80;
        status_[base + ch - 1].value = v;
      }
    };
    auto texts = [&](int ch, const std::string& high, const std::string* low) {
      if (ch > count) return;
      ChannelConfig& c = status_[base + ch - 1].config;
      memset(c.digital.HighStateText, 0, kChannelTextLen);
      memcpy(c.digital.HighStateText, high.data(), std::min<size_t>(high.size(), kChannelTextLen));
      if (low) {
        memset(c.digital.LowStateText, 0, kChannelTextLen);
        memcpy(c.digital.LowStateText, low->data(), std::min<size_t>(low->size(), kChannelTextLen));
      }
    };
    digital(kLsStatus, s.store ? 1 : 0);
    // The location's last six components (the logger's name for a database).
    std::vector<std::string> parts;
    if (provider_) {
      parts.push_back(s.logger);
    } else {
      std::string part;
      for (char c : s.location + "/") {
        if (c == '/') {
          if (!part.empty()) parts.push_back(part);
          part.clear();
        } else {
          part += c;
        }
      }
      if (parts.size() > 6) parts.erase(parts.begin(), parts.end() - 6);
    }
    for (size_t i = 0; i < parts.size(); ++i) texts(kLsDirectory1 + static_cast<int>(i), parts[i], &parts[i]);
    size_t stamp = FindLogNameStamp(s.logName);
    std::string prefix = stamp == std::string::npos ? std::string() : s.logName.substr(0, stamp);
    texts(kLsPrefix, prefix, &prefix);
    digital(kLsType, provider_ ? 1 : 0);
    digital(kLsActivity, 1);
    texts(kLsActivity, !s.store ? "Not Started" : s.logStop.seconds == 0 ? "Logging" : "Finished", nullptr);
    digital(kLsError, 0);
    digital(kLsResetCounts, 0);
    bool rec = s.store && s.newest >= 0;
    analog(kLsDateLastWrite, rec ? LogStatus_DateValue(s.recordTime.seconds) : 0);
    analog(kLsTimeLastWrite, rec ? LogStatus_TimeValue(s.recordTime.seconds) : 0);
    analog(kLsSecondsSinceWrite, rec ? static_cast<float>(now.seconds - s.recordTime.seconds) : 0);
    int n = s.lastCount > 0 ? s.lastCount : 0;
    analog(kLsWrites, static_cast<float>(n));
    analog(kLsBytesWritten, static_cast<float>(static_cast<double>(n) * s.header.recordLength));
    analog(kLsReads, si == 0 ? static_cast<float>(requests_) : 0);
    analog(kLsBytesRead, si == 0 ? static_cast<float>(replyBytes_) : 0);
    analog(kLsRealTimeLog, static_cast<float>(s.logNumber));
    analog(kLsRealTimeDate, s.store ? LogStatus_DateValue(s.logTime.seconds) : 0);
    analog(kLsRealTimeTime, s.store ? LogStatus_TimeValue(s.logTime.seconds) : 0);
    for (int ch = kLsLagLog; ch <= kLsIncomplete; ++ch) analog(ch, 0);
  }
  statusTime_ = now;
}

void CLocalLogSource::Refresh() {
  int64_t now = plat::MonotonicMs();
  bool closing = g_closeAfterRequest.load() != 0;
  if (!closing && lastRefresh_ != 0 && now - lastRefresh_ < kRefreshMs) return;
  lastRefresh_ = now;
  if (!slots_[0].store) {
    Load();
    lastNewerCheck_ = now;
  } else if (now - lastNewerCheck_ >= kNewerLogMs) {
    lastNewerCheck_ = now;
    for (Slot& s : slots_) {
      if (!s.collection) continue;
      char name[1300] = "";  // left as it is when no log is found
      int size = sizeof name;
      TimeStamp start{}, stop{};
      if (!s.store || (s.collection->FindNewest(name, &size, &start, &stop, 1) == 1 &&
                       Time_DiffMs(start, s.logTime) > 0))
        LoadSlot(s);
      else if (s.logName == name)
        s.logStop = stop;
    }
  }
  for (Slot& s : slots_) FindNewestRecord(s);
  RefreshStatusChannels();
}

int CLocalLogSource::FindBlock(int si, const std::string& prefix, int channel) const {
  const Slot& s = slots_[si];
  if (!s.store) return -1;
  for (int b = 0; b < s.header.blockCount && b < kLogMaxBlocks; ++b) {
    const LogBlockDescriptor& d = s.header.blocks[b];
    if (PrefixEquals(d.prefix, prefix) && d.firstChannel != 0 && channel >= d.firstChannel &&
        channel <= d.lastChannel)
      return b;
  }
  return -1;
}

void CLocalLogSource::ReplyProcessors(const char* args, bool tp, std::string* out) {
  const Slot& s = slots_[ListSlot()];
  struct Proc {
    std::string prefix, description;
    int highest;
    char type;
  };
  std::vector<Proc> procs;
  for (int b = 0; s.store && b < s.header.blockCount && b < kLogMaxBlocks; ++b) {
    const LogBlockDescriptor& d = s.header.blocks[b];
    if (d.firstChannel == 0) continue;
    std::string p = BlockPrefix(d);
    auto it = std::find_if(procs.begin(), procs.end(), [&](const Proc& x) { return x.prefix == p; });
    if (it != procs.end()) {
      it->highest = std::max<int>(it->highest, d.lastChannel);
      continue;
    }
    std::string desc(d.sourceName, strnlen(d.sourceName, sizeof d.sourceName));
    if (desc.empty()) desc = Fmt("%1.2s CHANNELS", d.prefix);
    procs.push_back({p, desc, d.lastChannel, d.valueKind == kLogKindDigital ? 'D' : 'A'});
  }
  auto name = [](size_t k) {
    char n[8];
    if (k < 26) snprintf(n, sizeof n, "USERA%c", static_cast<char>('A' + k));
    else if (k < 52) snprintf(n, sizeof n, "USERB%c", static_cast<char>('A' + k - 26));
    else snprintf(n, sizeof n, "USERC%c", static_cast<char>('A' + k - 52));
    return std::string(n);
  };
  auto entry = [&](size_t k) {
    if (tp) return std::string("1,1,;");
    const Proc& p = procs[k];
    return Fmt("%s,%s,%1.2s:%d,0,%c;", name(k).c_str(), p.description.c_str(), p.prefix.c_str(), p.highest, p.type);
  };
  const std::string logst = tp ? "1,1,;" : "logst,LOGGER STATUS CHANNELS,LS:56,0,A;";
  bool ls = HasLsBlock();
  *out = "0,";
  std::string a = args ? args : "";
  if (a.compare(0, 2, "*,") == 0) {
    // "*," and n: the first n entries.
    long n = strtol(a.c_str() + 2, nullptr, 10);
    size_t listed = 0;
    for (size_t k = 0; k < procs.size() && static_cast<long>(listed) < n; ++k, ++listed) *out += entry(k);
    if (!ls && static_cast<long>(listed) < n) {
      *out += logst;
      ++listed;
    }
    if (listed) (*out)[0] = '1';
    return;
  }
  if (!a.empty() && std::all_of(a.begin(), a.end(), [](char c) { return isdigit(static_cast<unsigned char>(c)); })) {
    // A number k: the k-th entry.
    long k = strtol(a.c_str(), nullptr, 10);
    if (k >= 1 && static_cast<size_t>(k) <= procs.size()) *out += entry(static_cast<size_t>(k - 1));
    else if (!ls && static_cast<size_t>(k) == procs.size() + 1) *out += logst;
    if (out->size() > 2) (*out)[0] = '1';
    return;
  }
  for (size_t k = 0; k < procs.size(); ++k) {
    if (strcasecmp(name(k).c_str(), a.c_str()) == 0) {
      *out += entry(k);
      (*out)[0] = '1';
      return;
    }
  }
  if (!ls && strcasecmp(a.c_str(), "logst") == 0) {
    *out += logst;
    (*out)[0] = '1';
  }
}

bool CLocalLogSource::ReplyChannels(const char* list, bool values, std::string* out) {
  std::vector<ListToken> tokens = ParseChannelList(list);
  if (tokens.empty() || !tokens[0].prefix) {
    *out = "0";
    out->push_back('\0');
    return true;
  }
  const bool ls = HasLsBlock();
  const int first = ListSlot(), other = 1 - first;
  out->clear();
  size_t i = 0;
  while (i < tokens.size()) {
    const std::string prefix = tokens[i++].text;
    bool status = !ls && prefix.size() == 2 && strcasecmp(prefix.c_str(), "LS") == 0;
    // The group's stamp: the current log of the slot that holds the prefix.
    TimeStamp stamp{};
    if (status) {
      stamp = statusTime_;
    } else {
      for (int si : {first, other}) {
        const Slot& s = slots_[si];
        bool holds = false;
        for (int b = 0; s.store && b < s.header.blockCount && b < kLogMaxBlocks; ++b)
          holds = holds || PrefixEquals(s.header.blocks[b].prefix, prefix);
        if (holds) {
          stamp = s.logTime;
          break;
        }
      }
    }
    Append(out, stamp);
    bool ended = false;
    for (; i < tokens.size() && !tokens[i].prefix; ++i) {
      int ch = tokens[i].number;
      if (ch == 0) ended = true;
      if (ended) continue;
      if (!values) {
        ChannelConfig c{};
        if (status) {
          if (ch >= 1 && ch <= kStatusChannels) c = status_[ch - 1].config;
        } else {
          for (int si : {first, other}) {
            int b = FindBlock(si, prefix, ch);
            if (b < 0) continue;
            const auto& recs = slots_[si].channels[static_cast<size_t>(b)];
            size_t k = static_cast<size_t>(ch - slots_[si].header.blocks[b].firstChannel);
            if (k < recs.size()) c = recs[k];
            break;
          }
        }
        // Outputs are shown as the inputs they were logged as.
        if (c.Type == kKindDO) c.Type = kKindDI;
        else if (c.Type == kKindAO) c.Type = kKindAI;
        out->append(reinterpret_cast<const char*>(&c), sizeof c);
        continue;
      }
      uint32_t word = 0x20;
      float value = 0;
      if (status) {
        if (ch >= 1 && ch <= kStatusChannels) {
          word = status_[ch - 1].flags;
          value = status_[ch - 1].value;
        }
      } else {
        for (int si = 0; si < 2; ++si) {
          const Slot& s = slots_[si];
          if (!s.store || s.newest < 0) continue;
          if (si == 1 && (slots_[0].newest < 0 ||
                          std::llabs(static_cast<long long>(Time_DiffMs(s.recordTime, slots_[0].recordTime))) >
                              kCompanionWindowMs))
            continue;
          int b = FindBlock(si, prefix, ch);
          if (b < 0) continue;
          const LogBlockDescriptor& d = s.header.blocks[b];
          uint32_t n = static_cast<uint32_t>(LogBlockChannels(d));
          uint32_t k = static_cast<uint32_t>(ch - d.firstChannel);
          if (d.valueOffset + 8ull * n > s.record.size()) continue;
          memcpy(&word, s.record.data() + d.valueOffset + 4 * k, 4);
          memcpy(&value, s.record.data() + d.valueOffset + 4 * n + 4 * k, 4);
          word &= ~0x40u;
          break;
        }
      }
      Append(out, word);
      if ((word & 0x80) && !(word & 0x20)) Append(out, value);
    }
  }
  return true;
}

void CLocalLogSource::ReplyTags(const char* list, std::string* out) {
  *out = "1,";
  const char* p = list ? list : "";
  while (*p) {
    const char* e = strchr(p, ',');
    std::string tag(p, e ? static_cast<size_t>(e - p) : strlen(p));
    if (tag.size() > static_cast<size_t>(kTagMax)) tag.resize(kTagMax);
    char found[4] = {0, 0, 0, 0};
    bool done = false;
    for (int si = 0; si < 2 && !done; ++si) {
      const Slot& s = slots_[si];
      for (size_t b = 0; s.store && b < s.channels.size() && !done; ++b) {
        for (size_t k = 0; k < s.channels[b].size(); ++k) {
          if (strcasecmp(Chan_GetTag(s.channels[b][k]), tag.c_str()) != 0) continue;
          const LogBlockDescriptor& d = s.header.blocks[b];
          uint16_t ch = static_cast<uint16_t>(d.firstChannel + k);
          found[0] = d.prefix[0];
          found[1] = d.prefix[1];
          memcpy(found + 2, &ch, 2);
          done = true;
          break;
        }
      }
    }
    out->append(found, 4);
    if (!e) break;
    p = e + 1;
  }
}

int CLocalLogSource::FindRecordByTime(CLogStore* store, LogHeader* h, int count, const TimeStamp& t,
                                      TimeStamp* found) {
  std::vector<uint8_t> rec(h->recordLength);
  auto stampAt = [&](int i, TimeStamp* out) {
    if (store->ReadLog(i, h, rec.data(), static_cast<int>(h->recordLength), 0, nullptr, nullptr, 0, 0) != 0)
      return false;
    LogRecord r;
    memcpy(&r, rec.data(), sizeof r);
    *out = TimeStamp{r.seconds, r.milliseconds, 0};
    return true;
  };
  if (count <= 0) return -1;
  int lo = 0, hi = count - 1, best = 0;
  TimeStamp bestStamp{};
  if (!stampAt(0, &bestStamp)) return -1;
  while (lo <= hi) {
    int mid = lo + (hi - lo) / 2;
    TimeStamp m{};
    if (!stampAt(mid, &m)) return -1;
    int32_t c = Time_Compare(m, TimeStamp{t.seconds, t.milliseconds, 0});
    if (c == 0) {
      *found = m;
      return mid;
    }
    if (c < 0) {
      best = mid;
      bestStamp = m;
      lo = mid + 1;
    } else {
      hi = mid - 1;
    }
  }
  *found = bestStamp;
  return best;
}

int CLocalLogSource::LoadCompanion() {
  int64_t now = plat::MonotonicMs();
  if (lastCompanion_ != 0 && now - lastCompanion_ < kCompanionMs) return static_cast<int>(sections_.size());
  lastCompanion_ = now;
  sections_.clear();
  statusRecord_ = true;
  GatherWebHmi();
  Slot& s = slots_[0];
  CLogCollection* c = second_ ? second_ : s.collection;
  if (!c || !c->FindFirst(nullptr)) return 0;
  std::vector<std::string> names;
  char n[1300];
  TimeStamp st{}, sp{};
  while (c->FindNext(n, &st, &sp)) names.push_back(n);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    std::string loc = StoreLocation(s, name);
    CLogStore* store = CreateLogStore(loc.c_str());
    if (!store) continue;
    LogHeader h{};
    Section sec;
    sec.location = loc;
    bool ok = store->Open(ServerOfLog(loc), loc.c_str(), kGenericRead) == 0 && store->ReadHeader(&h) == 0 && LogHeaderUsable(h);
    int count = ok ? store->GetNoLogs(&h) : -1;
    if (!ok || count < 0) {
      Debug(ok ? "Can't get size of GraphFiltered %s\r\n" : "Corrupt file GraphFiltered %s\r\n", loc.c_str());
      store->Close();
      store->Destroy(1);
      continue;
    }
    sec.records = count;
    std::vector<uint8_t> rec(h.recordLength);
    LogRecord r;
    if (count > 0 && store->ReadLog(0, &h, rec.data(), static_cast<int>(h.recordLength), 0, nullptr, nullptr, 0, 0) == 0) {
      memcpy(&r, rec.data(), sizeof r);
      sec.first = TimeStamp{r.seconds, r.milliseconds, r.microseconds};
    }
    if (count > 0 &&
        store->ReadLog(count - 1, &h, rec.data(), static_cast<int>(h.recordLength), 0, nullptr, nullptr, 0, 0) == 0) {
      memcpy(&r, rec.data(), sizeof r);
      sec.last = TimeStamp{r.seconds, r.milliseconds, r.microseconds};
    }
    auto text = [&](const char* section) {
      int size = 0;
      if (store->ReadText(section, nullptr, &size, 0, 0) < 0 || size <= 1) return std::string();
      std::vector<char> buf(static_cast<size_t>(size) + 1);
      int room = static_cast<int>(buf.size());
      if (store->ReadText(section, buf.data(), &room, 0, 0) < 0) return std::string();
      return std::string(buf.data());
    };
    sec.header = text("HEADER");
    sec.text = text("TEXT");
    sec.scanUpdates = text("SCAN UPDATES");
    sec.backfills = text("BACKFILLS");
    store->Close();
    store->Destroy(1);
    sections_.push_back(std::move(sec));
  }
  return static_cast<int>(sections_.size());
}

void CLocalLogSource::ReplyCompanion(const std::string& code, const char* args, std::string* out) {
  auto fail = [&](uint32_t e) { *out = Fmt("-1,%u", e); };
  if (code == "IS") {
    *out = Fmt("1,%u", static_cast<unsigned>(sections_.size()));
    return;
  }
  if (code == "NS") {
    long long total = 0;
    for (const Section& s : sections_) total += s.records;
    *out = Fmt("1,%u,%d", static_cast<unsigned>(sections_.size()), static_cast<int>(std::min<long long>(total, INT32_MAX)));
    return;
  }
  if (code == "5S") {
    int hasFrom = 0, hasTo = 0;
    unsigned from = 0, to = 0;
    if (sscanf(args ? args : "", "%d,%u,%d,%u", &hasFrom, &from, &hasTo, &to) != 4) return fail(plat::kErrInvalidParameter);
    uint32_t earliest = 0, latest = 0, records = 0, texts = 0;
    int overlapping = 0;
    for (const Section& s : sections_) {
      uint32_t a = static_cast<uint32_t>(s.first.seconds), b = static_cast<uint32_t>(s.last.seconds);
      if (s.records == 0 || (hasFrom && b < from) || (hasTo && a > to)) continue;
      if (!overlapping || a < earliest) earliest = a;
      if (!overlapping || b + 1 > latest) latest = b + 1;
      ++overlapping;
      // Records inside the window, found by time.
      CLogStore* store = CreateLogStore(s.location.c_str());
      LogHeader h{};
      if (store && store->Open(ServerOfLog(s.location), s.location.c_str(), kGenericRead) == 0 && store->ReadHeader(&h) == 0) {
        int n = store->GetNoLogs(&h);
        // The first record at or after the start, the last at or before the end.
        int lo = 0, hi = n - 1;
        if (hasFrom && from > a) {
          TimeStamp t{static_cast<int32_t>(from), 0, 0}, at{};
          lo = FindRecordByTime(store, &h, n, t, &at);
          if (lo >= 0 && Time_Compare(at, t) < 0) ++lo;
        }
        if (hasTo && to < b) {
          TimeStamp t{static_cast<int32_t>(to), 0, 0}, at{};
          hi = FindRecordByTime(store, &h, n, t, &at);
          if (hi >= 0 && Time_Compare(at, t) > 0) hi = -1;
        }
        if (lo >= 0 && hi >= lo) records += static_cast<uint32_t>(hi - lo + 1);
      }
      if (store) {
        store->Close();
        store->Destroy(1);
      }
      texts += static_cast<uint32_t>(CountTextLines(s.text.c_str()));
    }
    if (texts) ++texts;
    *out = Fmt("1,%u,%u,%u,%u,%d", earliest, latest, records, texts, overlapping);
    return;
  }
  if (code == "6S") {
    const char* a = args ? args : "";
    const char* comma = strchr(a, ',');
    if (!comma || comma - a > kMaxToken) {
      *out = "-1,0";
      return;
    }
    std::string name(a, static_cast<size_t>(comma - a));
    long long handle = 0;
    int size = 0;
    if (sscanf(comma + 1, "%lld,%d", &handle, &size) != 2) return fail(plat::kErrInvalidParameter);
    void* at = nullptr;
    size_t room = 0;
    if (!ReqBuf_Lookup(handle, &at, &room) || size < 0 || static_cast<size_t>(size) > room)
      return fail(plat::kErrInvalidParameter);
    std::string text;
    if (strcasecmp(name.c_str(), "HEADER") == 0) {
      if (!sections_.empty()) text = sections_.back().header;
    } else {
      for (const Section& s : sections_) {
        const std::string& t = strcasecmp(name.c_str(), "SCAN UPDATES") == 0 ? s.scanUpdates
                               : strcasecmp(name.c_str(), "BACKFILLS") == 0  ? s.backfills
                                                                              : s.text;
        if (text.size() + t.size() + 1 > static_cast<size_t>(size)) break;
        text += t;
      }
    }
    if (size > 0) {
      size_t n = std::min(text.size(), static_cast<size_t>(size) - 1);
      memcpy(at, text.data(), n);
      static_cast<char*>(at)[n] = '\0';
    }
    *out = Fmt("1,%u", static_cast<unsigned>(text.size()));
    return;
  }
  ReplyExport(code == "8S", args, out);
}

// ---- the web HMI channels and the "7S"/"8S" exports ----

namespace {

// A caller's buffer named by a request field: 0 names none (true, null);
// a live handle of at least `need` bytes gives it; anything else is refused.
bool CallerBuffer(long long handle, size_t need, void** at, size_t* room) {
  *at = nullptr;
  *room = 0;
  if (handle == 0) return true;
  void* p = nullptr;
  size_t n = 0;
  if (!ReqBuf_Lookup(handle, &p, &n) || n < need) return false;
  *at = p;
  *room = n;
  return true;
}

// The caller's channel list (the fifth field of "7S"/"8S"): "" when none.
bool CallerList(long long handle, std::string* list) {
  void* at = nullptr;
  size_t room = 0;
  list->clear();
  if (!CallerBuffer(handle, 0, &at, &room)) return false;
  if (at) list->assign(static_cast<const char*>(at), strnlen(static_cast<const char*>(at), room));
  return true;
}

bool InWindow(const TimeStamp& t, bool hasFrom, const TimeStamp& from, bool hasTo, const TimeStamp& to) {
  return (!hasFrom || Time_Compare(t, from) >= 0) && (!hasTo || Time_Compare(t, to) <= 0);
}

}  // namespace

std::vector<WebHmiChannel> CLocalLogSource::ListedChannels(const char* list) {
  std::vector<WebHmiChannel> out;
  std::vector<ListToken> tokens = ParseChannelList(list);
  std::string prefix;
  bool ended = true;
  for (const ListToken& t : tokens) {
    if (t.prefix) {
      prefix = t.text;
      ended = false;
    } else if (t.number == 0) {
      ended = true;
    } else if (!ended) {
      out.push_back({prefix, t.number});
    }
  }
  return out;
}

void CLocalLogSource::GatherWebHmi() {
  if (webHmiGathered_) return;
  webHmiGathered_ = true;
  webHmi_ = WebHmi_GatherChannels(provider_ ? std::string() : slots_[0].location, openLocation_);
}

bool CLocalLogSource::AddListedChannels(const char* args) {
  int hasFrom = 0, hasTo = 0;
  long long from = 0, to = 0, list = 0;
  if (sscanf(args ? args : "", "%d,%lld,%d,%lld,%lld", &hasFrom, &from, &hasTo, &to, &list) != 5) return false;
  std::string text;
  if (!CallerList(list, &text) || text.empty()) return false;
  GatherWebHmi();
  bool added = false;
  for (const WebHmiChannel& c : ListedChannels(text.c_str())) {
    if (FindBlock(0, c.prefix, c.number) < 0 && FindBlock(1, c.prefix, c.number) < 0) continue;
    if (WebHmi_AddChannel(&webHmi_, c.prefix, c.number)) added = true;
  }
  return added;
}

void CLocalLogSource::ReplyExport(bool rows, const char* args, std::string* out) {
  auto fail = [&](uint32_t e) { *out = Fmt("-1,%u", e); };
  int hasFrom = 0, hasTo = 0, textSize = 0, size = 0;
  long long hFrom = 0, hTo = 0, hList = 0, hRecords = 0, hTexts = 0, hNext = 0, hMaxRows = 0;
  unsigned usize = 0;
  const char* a = args ? args : "";
  int n = rows ? sscanf(a, "%d,%lld,%d,%lld,%lld,%d,%lld,%lld,%lld,%d,%lld", &hasFrom, &hFrom, &hasTo, &hTo, &hList,
                        &size, &hRecords, &hTexts, &hNext, &textSize, &hMaxRows)
               : sscanf(a, "%d,%lld,%d,%lld,%lld,%u,%lld,%lld,%lld,%d", &hasFrom, &hFrom, &hasTo, &hTo, &hList, &usize,
                        &hRecords, &hTexts, &hNext, &textSize);
  if (n != (rows ? 11 : 10)) return fail(plat::kErrInvalidParameter);
  if (rows && size < 0) return fail(plat::kErrInvalidParameter);
  const size_t recordRoom = rows ? static_cast<size_t>(size) : usize;
  if (textSize < 0) return fail(plat::kErrInvalidParameter);
  void *pFrom, *pTo, *pRecords, *pTexts, *pNext, *pMaxRows;
  size_t room;
  std::string listText;
  if (!CallerBuffer(hFrom, sizeof(TimeStamp), &pFrom, &room) || !CallerBuffer(hTo, sizeof(TimeStamp), &pTo, &room) ||
      !CallerList(hList, &listText) || !CallerBuffer(hRecords, recordRoom, &pRecords, &room) ||
      !CallerBuffer(hTexts, static_cast<size_t>(textSize), &pTexts, &room) ||
      !CallerBuffer(hNext, sizeof(TimeStamp), &pNext, &room) ||
      (rows && !CallerBuffer(hMaxRows, sizeof(int32_t), &pMaxRows, &room)))
    return fail(plat::kErrInvalidParameter);
  if (!rows) pMaxRows = nullptr;
  TimeStamp from{}, to{};
  if (hasFrom && pFrom) memcpy(&from, pFrom, sizeof from);
  if (hasTo && pTo) memcpy(&to, pTo, sizeof to);
  const bool withFrom = hasFrom && pFrom, withTo = hasTo && pTo;
  int32_t maxRows = 0;
  if (pMaxRows) memcpy(&maxRows, pMaxRows, sizeof maxRows);
  const size_t recordCapacity = pRecords ? recordRoom : 0;
  // Rows carry the listed channels, or the web HMI channels for no list.
  std::vector<WebHmiChannel> channels = rows ? ListedChannels(listText.c_str()) : std::vector<WebHmiChannel>();
  if (rows && channels.empty()) channels = webHmi_;
  const size_t rowLength = sizeof(TimeStamp) + 8 * channels.size();

  // The window's records, section by section: [lo, hi] of each.
  struct Span {
    const Section* section;
    int lo, hi;
  };
  std::vector<Span> spans;
  long long total = 0;
  for (const Section& s : sections_) {
    if (s.records <= 0) continue;
    if ((withFrom && Time_Compare(s.last, from) < 0) || (withTo && Time_Compare(s.first, to) > 0)) continue;
    spans.push_back({&s, 0, s.records - 1});
  }
  TimeStamp next{};
  bool haveNext = false;
  uint32_t delivered = 0;
  int32_t third = 0;
  for (size_t si = 0; si < spans.size(); ++si) {
    Span& sp = spans[si];
    CLogStore* store = CreateLogStore(sp.section->location.c_str());
    LogHeader h{};
    if (!store || store->Open(nullptr, sp.section->location.c_str(), kGenericRead) != 0 || store->ReadHeader(&h) != 0 ||
        !LogHeaderUsable(h)) {
      if (store) store->Destroy(1);
      sp.hi = -1;
      continue;
    }
    int count = store->GetNoLogs(&h);
    sp.hi = std::min(sp.hi, count - 1);
    TimeStamp at{};
    if (withFrom) {
      sp.lo = FindRecordByTime(store, &h, count, from, &at);
      if (sp.lo >= 0 && Time_Compare(at, from) < 0) ++sp.lo;
    }
    if (withTo && sp.lo >= 0) {
      sp.hi = FindRecordByTime(store, &h, count, to, &at);
      if (sp.hi >= 0 && Time_Compare(at, to) > 0) sp.hi = -1;
    }
    if (sp.lo < 0) sp.hi = -1;
    store->Close();
    store->Destroy(1);
    if (sp.hi >= sp.lo) total += sp.hi - sp.lo + 1;
  }
  // Thinning for a graph of at most maxRows points.
  const long long step = rows && maxRows > 0 && total > maxRows ? (total + maxRows - 1) / maxRows : 1;
  long long ordinal = 0;
  bool full = false;
  for (const Span& sp : spans) {
    if (sp.hi < sp.lo || haveNext) continue;
    const Section& sec = *sp.section;
    CLogStore* store = CreateLogStore(sec.location.c_str());
    LogHeader h{};
    if (!store || store->Open(nullptr, sec.location.c_str(), kGenericRead) != 0 || store->ReadHeader(&h) != 0) {
      if (store) store->Destroy(1);
      continue;
    }
    // Records keep the layout of their log: one log per "7S" reply, the
    // next log's first record is where the caller goes on.
    if (!rows && delivered > 0) full = true;
    if (!rows && !full) third = static_cast<int32_t>(h.recordLength);
    std::vector<uint8_t> rec(h.recordLength);
    // Where each listed channel is in this log's records.
    struct Where {
      int block;
      uint32_t k, n;
    };
    std::vector<Where> where;
    for (const WebHmiChannel& c : channels) {
      Where w{-1, 0, 0};
      for (int b = 0; b < h.blockCount && b < kLogMaxBlocks; ++b) {
        const LogBlockDescriptor& d = h.blocks[b];
        if (d.firstChannel != 0 && PrefixEquals(d.prefix, c.prefix) && c.number >= d.firstChannel &&
            c.number <= d.lastChannel) {
          uint32_t nn = static_cast<uint32_t>(LogBlockChannels(d));
          if (d.valueOffset + 8ull * nn <= h.recordLength)
            w = {b, static_cast<uint32_t>(c.number - d.firstChannel), nn};
          break;
        }
      }
      where.push_back(w);
    }
    for (int i = sp.lo; i <= sp.hi; ++i, ++ordinal) {
      if (ordinal % step != 0) continue;
      if (store->ReadLog(i, &h, rec.data(), static_cast<int>(h.recordLength), 0, nullptr, nullptr, 0, 0) != 0) continue;
      LogRecord r;
      memcpy(&r, rec.data(), sizeof r);
      TimeStamp t{r.seconds, r.milliseconds, r.microseconds};
      const size_t length = rows ? rowLength : h.recordLength;
      if (full || (delivered + 1ull) * length > recordCapacity) {
        full = true;
        haveNext = true;
        next = t;
        break;
      }
      uint8_t* dst = static_cast<uint8_t*>(pRecords) + static_cast<size_t>(delivered) * length;
      if (!rows) {
        memcpy(dst, rec.data(), length);
      } else {
        memcpy(dst, &t, sizeof t);
        for (size_t c = 0; c < where.size(); ++c) {
          uint32_t word = 0x20;
          float value = 0;
          const Where& w = where[c];
          if (w.block >= 0) {
            const LogBlockDescriptor& d = h.blocks[w.block];
            memcpy(&word, rec.data() + d.valueOffset + 4 * w.k, 4);
            memcpy(&value, rec.data() + d.valueOffset + 4 * w.n + 4 * w.k, 4);
            word &= ~0x40u;
          }
          memcpy(dst + sizeof t + 8 * c, &word, 4);
          memcpy(dst + sizeof t + 8 * c + 4, &value, 4);
        }
      }
      ++delivered;
    }
    store->Close();
    store->Destroy(1);
  }
  if (rows) third = static_cast<int32_t>(channels.size());
  if (pNext) memcpy(pNext, &next, sizeof next);  // zero: the window is complete

  // The texts of the window: the stamped lines of the logs' TEXT sections
  // whose stamp lies in it, whole lines while they fit, then a NUL.
  uint32_t lines = 0;
  std::string texts;
  const size_t textRoom = pTexts && textSize > 0 ? static_cast<size_t>(textSize) - 1 : 0;
  for (const Span& sp : spans) {
    const std::string& body = sp.section->text;
    size_t at = 0;
    while (at < body.size()) {
      size_t end = body.find('\n', at);
      std::string line = body.substr(at, end == std::string::npos ? std::string::npos : end - at);
      at = end == std::string::npos ? body.size() : end + 1;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      LineStamp ls{};
      if (line.empty() || !ParseLineStamp(line.c_str(), &ls)) continue;
      TimeStamp t{ls.seconds, static_cast<int16_t>(ls.milliseconds), static_cast<int16_t>(ls.microseconds)};
      if (!InWindow(t, withFrom, from, withTo, to)) continue;
      if (texts.size() + line.size() + 2 > textRoom) break;
      texts += line + "\r\n";
      ++lines;
    }
  }
  if (pTexts && textSize > 0) {
    memcpy(pTexts, texts.data(), texts.size());
    static_cast<char*>(pTexts)[texts.size()] = '\0';
  }
  *out = Fmt("1,%u,%u,%d", delivered, lines, third);
}

void CLocalLogSource::ReplyShared(const std::string& code, const char*, std::string* out) {
  auto claim = [this](LocalStatusBlock* b) {
    b->pid = static_cast<int32_t>(getpid());
    b->source = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(this));
    b->flags[0] = 1;
    b->flags[1] = 0;
  };
  if (code == "RS" || code == "BS") {
    *out = statusRecord_ ? (statusFlags_[0] ? "0" : "1") : Fmt("%1d", static_cast<int>(statusWord_ & 1));
  } else if (code == "DS") {
    if (!statusRecord_) {
      *out = "0";
      return;
    }
    if (!WithShared(claim)) {
      *out = Fmt("-1,%u", plat::GetLastError());
      return;
    }
    statusFlags_[0] = 1;
    *out = "1";
  } else if (code == "ES") {
    if (!statusRecord_) {
      *out = "0";
      return;
    }
    if (!WithShared([&](LocalStatusBlock* b) {
          claim(b);
          b->flags[1] = 0;
        })) {
      *out = Fmt("-1,%u", plat::GetLastError());
      return;
    }
    statusFlags_[1] = 0;
    *out = "1";
  } else if (code == "WS") {
    // Slot 0: its earliest log; slot 1: a log that spans it.
    std::string loc[2];
    TimeStamp first{}, firstStop{};
    for (int si = 0; si < 2; ++si) {
      Slot& s = slots_[si];
      if (!s.collection || !s.collection->FindFirst(nullptr)) continue;
      char n[1300];
      TimeStamp st{}, sp{};
      while (s.collection->FindNext(n, &st, &sp)) {
        if (si == 0 && (loc[0].empty() || static_cast<uint32_t>(st.seconds) < static_cast<uint32_t>(first.seconds))) {
          loc[0] = StoreLocation(s, n);
          first = st;
          firstStop = sp;
        } else if (si == 1 && loc[1].empty() && st.seconds <= first.seconds &&
                   (sp.seconds == 0 || (firstStop.seconds != 0 && sp.seconds >= firstStop.seconds))) {
          loc[1] = StoreLocation(s, n);
        }
      }
    }
    if (!WithShared([&](LocalStatusBlock* b) {
          for (int si = 0; si < 2; ++si) {
            memset(b->slots[si].location, 0, sizeof b->slots[si].location);
            snprintf(b->slots[si].location, sizeof b->slots[si].location, "%s", loc[si].c_str());
            b->slots[si].mark = loc[si].empty() ? 0 : 1;
          }
          claim(b);
        })) {
      *out = Fmt("-1,%u", plat::GetLastError());
      return;
    }
    *out = "1";
  } else if (code == "PS" || code == "FS") {
    *out = WithShared(claim) ? "1" : Fmt("-1,%u", plat::GetLastError());
  } else {  // "XS", "MS"
    uint32_t tick = static_cast<uint32_t>(plat::MonotonicMs());
    *out = WithShared([&](LocalStatusBlock* b) { b->tick = tick; }) ? "1" : Fmt("-1,%u", plat::GetLastError());
  }
}

int CLocalLogSource::readmrf(const char* request, uint32_t length, char* reply, uint32_t capacity,
                             uint32_t* replyLength) {
  *replyLength = 0;
  std::string req(request, strnlen(request, length));
  std::string code = req.substr(0, 2);
  for (char& c : code) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  const char* args = req.size() > 3 && req[2] == ',' ? req.c_str() + 3 : "";
  const bool companion = code == "5S" || code == "6S" || code == "7S" || code == "8S";
  std::string out;
  try {
    if (!companion) {
      try {
        Refresh();
      } catch (...) {
        ReportSystemEvent(".", 1, "readmrf exception\r\n");
      }
      if (slots_[0].newest < 0) {
        char line[128];
        snprintf(line, sizeof line, "No RT Records GraphFiltered for %d:d\r\n", slots_[0].newest);
        plat::OutputDebugText(line);
        plat::SetLastError(plat::kErrNoData);
        return 0;
      }
    } else {
      // "7S" and "8S" first add the channels of their list to the web HMI
      // channels; new ones drop the companion data so that it loads anew.
      if ((code == "7S" || code == "8S") && AddListedChannels(args)) lastCompanion_ = 0;
      if (LoadCompanion() == 0) {
        plat::OutputDebugText("No RT Records GraphFiltered for -1:d\r\n");
        plat::SetLastError(plat::kErrNoData);
        return 0;
      }
    }
    bool withNul = true;
    if (code == "TS") {
      const Slot& s = slots_[0];
      if (s.record.empty()) {
        out = "-1,0";
      } else {
        out = Fmt("%d,%d", s.recordTime.seconds, s.recordTime.milliseconds);
        out.push_back('\0');
        out.append(reinterpret_cast<const char*>(s.header.extension), kLogExtensionSize);
        withNul = false;
      }
    } else if (code == "QE") {
      out = "0";
    } else if (code == "QP") {
      const Slot& s = slots_[ListSlot()];
      std::vector<std::string> seen;
      for (int b = 0; b < s.header.blockCount && b < kLogMaxBlocks; ++b) {
        if (s.header.blocks[b].firstChannel == 0) continue;
        std::string p = BlockPrefix(s.header.blocks[b]);
        if (std::find(seen.begin(), seen.end(), p) == seen.end()) seen.push_back(p);
      }
      out = Fmt("%d", static_cast<int>(seen.size()) + (HasLsBlock() ? 0 : 1));
    } else if (code == "IP" || code == "TP") {
      ReplyProcessors(args, code == "TP", &out);
    } else if (code == "CV" || code == "RV") {
      ReplyChannels(args, code == "RV", &out);
      withNul = false;
    } else if (code == "TC") {
      ReplyTags(args, &out);
      withNul = false;
    } else if (code == "RS" || code == "BS" || code == "DS" || code == "ES" || code == "WS" || code == "PS" ||
               code == "FS" || code == "XS" || code == "MS") {
      ReplyShared(code, args, &out);
    } else if (code == "IS" || code == "NS" || companion) {
      if (!companion) LoadCompanion();
      ReplyCompanion(code, args, &out);
    } else {
      out = "0";
    }
    if (withNul) out.push_back('\0');
  } catch (const std::bad_alloc&) {
    plat::SetLastError(plat::kErrNotEnoughMemory);
    return -1;
  }
  if (g_closeAfterRequest.load() && !companion) {
    for (Slot& s : slots_) ReleaseStore(s);
    sections_.clear();
    lastCompanion_ = 0;
  }
  if (out.size() > capacity) {
    plat::SetLastError(plat::kErrMoreData);
    return 0;
  }
  memcpy(reply, out.data(), out.size());
  *replyLength = static_cast<uint32_t>(out.size());
  ++requests_;
  replyBytes_ += out.size();
  return 1;
}

// ---------------------------------------------------------------------------

int Local_Open(ServerConnection* entry) {
  if (!entry) return plat::Fail(plat::kErrInvalidParameter), 0;
  auto* source = new (std::nothrow) CLocalLogSource();
  if (!source) return plat::Fail(plat::kErrNotEnoughMemory), 0;
  source->Init();
  if (source->Open(entry->name) != 0) {
    uint32_t code = plat::GetLastError();
    source->Destroy();
    delete source;
    plat::SetLastError(code);
    return 0;
  }
  entry->handle = source;
  entry->openerThread = static_cast<uint32_t>(gettid());
  return 1;
}

int Local_Transact(ServerConnection* entry, const void* request, uint32_t length, char* reply,
                   uint32_t* replyLength) {
  if (!entry || !entry->handle || !request || !reply || !replyLength) {
    plat::SetLastError(plat::kErrInvalidHandle);
    return 0;
  }
  auto* source = static_cast<CLocalLogSource*>(entry->handle);
  uint32_t capacity = *replyLength;
  int r = source->readmrf(static_cast<const char*>(request), length, reply, capacity, replyLength);
  if (r == 1) return 1;
  *replyLength = 0;
  return 0;
}

void Local_Close(ServerConnection* entry) {
  if (!entry || !entry->handle) return;
  auto* source = static_cast<CLocalLogSource*>(entry->handle);
  uint32_t code = plat::GetLastError();
  source->Close();
  // A closed source is freed a second later.
  plat::SleepMs(1000);
  source->Destroy();
  delete source;
  entry->handle = nullptr;
  plat::SetLastError(code);
}

const SrvTransport* Local_Transport() {
  static const SrvTransport transport{"local", Local_Open, Local_Transact, Local_Close};
  return &transport;
}

void Local_InstallTransport() { Srv_SetTransport(kSrvKindLocal, Local_Transport()); }

void Local_SetCloseAfterRequest(int on) { g_closeAfterRequest.store(on ? 1 : 0); }

int SendOsRequest(const char* server) {
  char reply[16];
  uint32_t n = sizeof reply;
  return Srv_SendRequest(server, "OS", reply, &n);
}
