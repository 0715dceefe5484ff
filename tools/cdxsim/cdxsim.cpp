#include "tools/cdxsim/cdxsim.h"

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <spawn.h>
#include <strings.h>
#include <sys/wait.h>

#include "cdxlib/records/chanconfig.h"
#include "cdxlib/config/configfiles.h"
#include "cdxlib/shm/datamodule.h"
#include "cdxlib/records/devicerecord.h"
#include "cdxlib/shm/drvtables.h"
#include "cdxlib/sys/logicaldirs.h"
#include "cdxlib/shm/signals.h"
#include "cdxlib/runtime/syserr.h"
#include "cdxlib/sys/textutil.h"
#include "platform/error.h"
#include "platform/mailslot.h"
#include "platform/process.h"
#include "platform/root.h"
#include "platform/sync.h"

extern char** environ;

namespace cdxsim {
namespace {

constexpr int kReaderAlarm = 0, kReaderDerived = 1, kReaderLogger = 2, kReaderWatch = 3;
constexpr int32_t kLoggerPidBase = 0x40000000;  // above any real pid

// ---- description parsing ------------------------------------------------------

using Words = std::map<std::string, std::string>;

bool SplitWords(std::istringstream& in, Words* words, std::string* bad) {
  std::string word;
  while (in >> word) {
    size_t eq = word.find('=');
    if (eq == std::string::npos || eq == 0) {
      *bad = word;
      return false;
    }
    (*words)[word.substr(0, eq)] = word.substr(eq + 1);
  }
  return true;
}

bool ToInt(const std::string& s, long min, long max, long* out) {
  if (s.empty()) return false;
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(s.c_str(), &end, 0);
  if (errno || *end || v < min || v > max) return false;
  *out = v;
  return true;
}

class LineParser {
 public:
  LineParser(Words words, int line, std::string* error) : words_(std::move(words)), line_(line), error_(error) {}

  std::string Text(const char* key, const std::string& def, size_t maxLen, bool required = false) {
    auto it = words_.find(key);
    if (it == words_.end()) {
      if (required) Fail(std::string("missing ") + key);
      return def;
    }
    std::string v = it->second;
    words_.erase(it);
    if (v.size() > maxLen) Fail(std::string(key) + " longer than " + std::to_string(maxLen) + " characters");
    return v;
  }

  long Number(const char* key, long def, long min, long max, bool required = false) {
    auto it = words_.find(key);
    if (it == words_.end()) {
      if (required) Fail(std::string("missing ") + key);
      return def;
    }
    long v = def;
    if (!ToInt(it->second, min, max, &v)) Fail(std::string("bad ") + key + " '" + it->second + "'");
    words_.erase(it);
    return v;
  }

  float Float(const char* key, float def, bool* given = nullptr) {
    auto it = words_.find(key);
    if (given) *given = it != words_.end();
    if (it == words_.end()) return def;
    char* end = nullptr;
    errno = 0;
    float v = std::strtof(it->second.c_str(), &end);
    if (it->second.empty() || errno || *end || !std::isfinite(v)) Fail(std::string("bad ") + key + " '" + it->second + "'");
    words_.erase(it);
    return v;
  }

  bool Has(const char* key) const { return words_.count(key) != 0; }

  std::string Prefix(const char* key, bool required = false) {
    std::string p = Text(key, "", 2, required);
    if (!p.empty() && p.size() != 2) Fail(std::string(key) + " must be two characters");
    for (char& c : p) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return p;
  }

  bool Done() {
    if (ok_ && !words_.empty()) Fail("unknown key '" + words_.begin()->first + "'");
    return ok_;
  }

  void Fail(const std::string& what) {
    if (!ok_) return;
    ok_ = false;
    *error_ = "line " + std::to_string(line_) + ": " + what;
  }

 private:
  Words words_;
  int line_;
  std::string* error_;
  bool ok_ = true;
};

// ---- raw access ---------------------------------------------------------------------

uint8_t* DataOf(DataModuleHeader* m) { return reinterpret_cast<uint8_t*>(m) + kDmDataOffset; }
// The data size as the header says, bounded by what is really mapped: any
// user may write a module's header.
uint32_t DataSizeOf(DataModuleHeader* m) { return DM_DataBound(m); }

DataModuleHeader* OpenModule(const std::string& name) {
  DataModuleHeader* view = DM_Open(name.c_str());
  if (view == nullptr || view == reinterpret_cast<DataModuleHeader*>(-1)) return nullptr;
  return view;
}

// Creates (or reuses) a module and zeroes the part of its data area that
// the description fills.
DataModuleHeader* MakeModule(const std::string& name, uint32_t dataSize) {
  DataModuleHeader* m = DM_Create(name.c_str(), dataSize);
  if (!m) return nullptr;
  if (DataSizeOf(m) < dataSize) {
    plat::Fail(plat::kErrInsufficientBuffer);  // an older module of this name is smaller
    return nullptr;
  }
  DM_Lock(m);
  std::memset(DataOf(m), 0, DataSizeOf(m));
  DM_Unlock(m);
  return m;
}

void PutI32(uint8_t* p, int32_t v) { std::memcpy(p, &v, 4); }
void PutU32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }
void PutText(char* field, size_t width, const std::string& s) { cdxtext::PutFixed(field, width, s.c_str()); }

using cdxtext::Upper;

const ModuleSpec* FindModule(const Description& d, const std::string& prefix) {
  for (const auto& m : d.modules) {
    if (m.prefix == prefix) return &m;
  }
  return nullptr;
}

// A `point` statement: one channel record of a device's channel file.
PointSpec ParsePoint(LineParser& p) {
  PointSpec s;
  s.device = static_cast<int>(p.Number("device", 0, 1, 65535, true));
  s.number = static_cast<int>(p.Number("number", 0, 1, 1000, true));
  ChannelConfig& c = s.record;
  std::memset(&c, 0, sizeof c);
  const std::string kind = p.Text("kind", "ai", 2);
  int type = -1;
  for (int k = 0; k < kChannelKindCount; ++k) {
    const char* name = Chan_KindName(k);
    if (name && kind == name) type = k;
  }
  if (type < 0) p.Fail("bad kind '" + kind + "'");
  c.Type = static_cast<uint8_t>(type < 0 ? 0 : type);
  const bool digital = Chan_IsDigital(c.Type);
  Chan_SetTag(&c, p.Text("tag", "", 15).c_str());
  Chan_SetDescription(&c, p.Text("desc", "", 32).c_str());
  Chan_SetFlag(&c, kAiEnable, p.Number("enable", 1, 0, 1) != 0);  // index 7 in both layouts
  uint8_t* raw = reinterpret_cast<uint8_t*>(&c);
  const uint8_t node = static_cast<uint8_t>(p.Number("node", 1, 0, 255));
  const uint16_t word = static_cast<uint16_t>(p.Number("word", 0, 0, 65535));
  const std::string common = p.Text("common", "", 32);
  auto commonHas = [&](const char* side) { return ("," + common + ",").find(std::string(",") + side + ",") != std::string::npos; };
  bool given = false;
  if (digital) {
    raw[192] = node;
    std::memcpy(raw + 194, &word, 2);
    raw[196] = static_cast<uint8_t>(p.Number("bit", 0, 0, 255));
    if (p.Has("alarmstate")) {
      Chan_SetFlag(&c, kDiAlarmEnable, true);
      Chan_SetFlag(&c, kDiAlarmState, p.Number("alarmstate", 1, 0, 1) != 0);
    }
    c.digital.AlarmPriority = static_cast<uint8_t>(p.Number("prio", 0, 0, 255));
    c.digital.AlarmDelay = static_cast<uint16_t>(p.Number("delay", 0, 0, 65535));
    if (p.Has("eventstate")) {
      Chan_SetFlag(&c, kDiEventEnable, true);
      Chan_SetFlag(&c, kDiEventState, p.Number("eventstate", 1, 0, 1) != 0);
    }
    if (p.Has("errorprio")) Chan_SetFlag(&c, kDiErrorAlarmEnable, true);
    c.digital.ErrorAlarmPriority = static_cast<uint8_t>(p.Number("errorprio", 0, 0, 255));
    c.digital.ErrorAlarmDelay = static_cast<uint16_t>(p.Number("errordelay", 0, 0, 65535));
    Chan_SetFlag(&c, kDiAlarmDriveCommon, commonHas("alarm"));
    Chan_SetFlag(&c, kDiErrorAlarmDriveCommon, commonHas("error"));
    if (!common.empty() && common != "alarm" && common != "error" && common != "alarm,error" && common != "error,alarm")
      p.Fail("common takes alarm and error for a digital point");
    return s;
  }
  raw[188] = node;
  std::memcpy(raw + 190, &word, 2);
  AnalogChannelPart& a = c.analog;
  Chan_SetUnits(&c, p.Text("units", "", 8).c_str());
  bool gain = false, offset = false;
  a.Gain = p.Float("gain", 1, &gain);
  a.Offset = p.Float("offset", 0, &offset);
  Chan_SetFlag(&c, kAiScalingEnable, gain || offset);
  a.HighAlarmLimit = p.Float("high", 0, &given);
  Chan_SetFlag(&c, kAiHighAlarmEnable, given);
  a.HighAlarmDeadband = p.Float("highdb", 0, &given);
  Chan_SetFlag(&c, kAiHighAlarmDeadbandEnable, given);
  a.HighWarningLimit = p.Float("highwarn", 0, &given);
  Chan_SetFlag(&c, kAiHighWarningEnable, given);
  a.HighAlarmPriority = static_cast<uint8_t>(p.Number("highprio", 0, 0, 255));
  a.HighAlarmDelay = static_cast<uint16_t>(p.Number("highdelay", 0, 0, 65535));
  a.LowAlarmLimit = p.Float("low", 0, &given);
  Chan_SetFlag(&c, kAiLowAlarmEnable, given);
  a.LowAlarmDeadband = p.Float("lowdb", 0, &given);
  Chan_SetFlag(&c, kAiLowAlarmDeadbandEnable, given);
  a.LowWarningLimit = p.Float("lowwarn", 0, &given);
  Chan_SetFlag(&c, kAiLowWarningEnable, given);
  a.LowAlarmPriority = static_cast<uint8_t>(p.Number("lowprio", 0, 0, 255));
  a.LowAlarmDelay = static_cast<uint16_t>(p.Number("lowdelay", 0, 0, 65535));
  bool eventHigh = false, eventLow = false;
  a.HighEventLimit = p.Float("eventhigh", 3.0e38f, &eventHigh);
  a.LowEventLimit = p.Float("eventlow", -3.0e38f, &eventLow);
  Chan_SetFlag(&c, kAiEventEnable, eventHigh || eventLow);
  a.SigChangeValue = p.Float("sigchange", 0, &given);
  Chan_SetFlag(&c, kAiSigChangeEnable, given);
  Chan_SetFlag(&c, kAiReferenceEnable, p.Number("reference", 0, 0, 1) != 0);
  if (p.Has("errorprio")) Chan_SetFlag(&c, kAiErrorAlarmEnable, true);
  a.ErrorAlarmPriority = static_cast<uint8_t>(p.Number("errorprio", 0, 0, 255));
  a.ErrorAlarmDelay = static_cast<uint16_t>(p.Number("errordelay", 0, 0, 65535));
  Chan_SetFlag(&c, kAiHighAlarmDriveCommon, commonHas("high"));
  Chan_SetFlag(&c, kAiLowAlarmDriveCommon, commonHas("low"));
  Chan_SetFlag(&c, kAiErrorAlarmDriveCommon, commonHas("error"));
  std::istringstream sides(common);
  std::string side;
  while (std::getline(sides, side, ','))
    if (side != "high" && side != "low" && side != "error") p.Fail("common takes high, low and error for an analog point");
  return s;
}

}  // namespace

// ---- Description ----------------------------------------------------------------------

bool Description::Parse(const std::string& text, Description* out, std::string* error) {
  Description d;
  std::istringstream lines(text);
  std::string line;
  int number = 0;
  std::string dummy;
  if (!error) error = &dummy;
  while (std::getline(lines, line)) {
    ++number;
    size_t hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    std::istringstream in(line);
    std::string keyword;
    if (!(in >> keyword)) continue;
    if (keyword == "program") {
      std::string path, extra;
      in >> path;
      if (path.empty() || (in >> extra)) {
        *error = "line " + std::to_string(number) + ": program takes one path";
        return false;
      }
      d.program = path;
      continue;
    }
    Words words;
    std::string bad;
    if (!SplitWords(in, &words, &bad)) {
      *error = "line " + std::to_string(number) + ": expected key=value, got '" + bad + "'";
      return false;
    }
    if (keyword == "env") {
      for (auto& [k, v] : words) d.env.emplace_back(k, v);
      continue;
    }
    LineParser p(std::move(words), number, error);
    if (keyword == "errors") {
      d.errorEntries = static_cast<int>(p.Number("entries", 64, 1, 100000));
      std::string layout = p.Text("layout", "full", 16);
      if (layout != "full" && layout != "compact") p.Fail("layout must be full or compact");
      d.compactErrors = layout == "compact";
    } else if (keyword == "driver") {
      DriverSpec s;
      // Kept as given: it is also the name of the program's directory and the
      // start of its file name, and file names are case-sensitive here.
      s.name = p.Text("name", "", 8, true);
      s.print = p.Text("print", s.name, 24);
      s.prefix = p.Prefix("prefix");
      s.type = static_cast<int>(p.Number("type", 0, 0, 255));
      s.configured = p.Number("configured", 1, 0, 1) != 0;
      s.valueRecords = p.Number("valrec", 0, 0, 1) != 0;
      s.pid = static_cast<int32_t>(p.Number("pid", 0, 0, 0x7FFFFFFF));
      s.listen = p.Number("listen", 1, 0, 1) != 0;
      d.drivers.push_back(s);
    } else if (keyword == "device") {
      DeviceSpec s;
      s.type = p.Text("type", "", 8, true);
      s.number = static_cast<int>(p.Number("number", 0, 1, 65535, true));
      s.name = p.Text("name", "", 11, true);
      s.process = p.Text("process", s.name, 24);
      static const char* kPaths[5] = {"ai", "di", "ao", "do", "ci"};
      for (int k = 0; k < 5; ++k) s.paths[k] = p.Prefix(kPaths[k]);
      s.diag = p.Prefix("diag");
      s.scanRate = static_cast<uint32_t>(p.Number("scanrate", 1000, 1, 86400000));
      s.port = p.Text("port", "", 6);
      s.node = static_cast<int>(p.Number("node", 1, 0, 255));
      s.retries = static_cast<int>(p.Number("retries", 3, 0, 255));
      d.devices.push_back(s);
    } else if (keyword == "module") {
      ModuleSpec s;
      s.prefix = p.Prefix("prefix", true);
      s.channels = static_cast<int>(p.Number("channels", 0, 0, 65535, true));
      s.valueKind = static_cast<int>(p.Number("kind", 8, 4, 8));
      if (s.valueKind != 4 && s.valueKind != 8) p.Fail("kind must be 4 or 8");
      s.records = p.Number("records", 0, 0, 1) != 0;
      d.modules.push_back(s);
    } else if (keyword == "channel") {
      ChannelSpec s;
      s.prefix = p.Prefix("prefix", true);
      s.number = static_cast<int>(p.Number("number", 0, 1, 65535, true));
      s.type = static_cast<int>(p.Number("type", 3, 0, 255));
      s.enable = p.Number("enable", 1, 0, 1) != 0;
      s.desc = p.Text("desc", "", 32);
      s.tag = p.Text("tag", "", 15);
      s.high = p.Text("high", "", 32);
      s.alarm = p.Number("alarm", 0, 0, 1) != 0;
      d.channels.push_back(s);
    } else if (keyword == "point") {
      d.points.push_back(ParsePoint(p));
    } else if (keyword == "logger") {
      LoggerSpec s;
      s.name = p.Text("name", "", 134, true);
      s.type = p.Text("type", "stand", 8);
      s.enabled = p.Number("enabled", 1, 0, 1) != 0;
      std::string triggers = p.Text("triggers", "", 4096);
      std::istringstream list(triggers);
      std::string item;
      while (std::getline(list, item, ',')) {
        size_t colon = item.find(':');
        long ch = 0;
        if (colon != 2 || !ToInt(item.substr(3), 1, 65535, &ch)) {
          p.Fail("bad trigger '" + item + "' (want XX:channel)");
          break;
        }
        s.triggers.emplace_back(Upper(item.substr(0, 2)), static_cast<int>(ch));
      }
      d.loggers.push_back(s);
    } else {
      *error = "line " + std::to_string(number) + ": unknown statement '" + keyword + "'";
      return false;
    }
    if (!p.Done()) return false;
  }
  // Cross-checks: channels and triggers name declared modules.
  for (const auto& c : d.channels) {
    const ModuleSpec* m = FindModule(d, c.prefix);
    if (!m || c.number > m->channels) {
      *error = "channel " + c.prefix + ":" + std::to_string(c.number) + " lies in no declared module";
      return false;
    }
  }
  for (size_t i = 0; i < d.points.size(); ++i) {
    const PointSpec& pt = d.points[i];
    for (size_t k = 0; k < i; ++k) {
      if (d.points[k].device == pt.device && d.points[k].number == pt.number) {
        *error = "point " + std::to_string(pt.number) + " of device " + std::to_string(pt.device) + " given twice";
        return false;
      }
    }
    bool found = false;
    for (const auto& dev : d.devices) found = found || dev.number == pt.device;
    if (!found) {
      *error = "point " + std::to_string(pt.number) + " names no described device " + std::to_string(pt.device);
      return false;
    }
  }
  for (const auto& l : d.loggers) {
    for (const auto& [prefix, ch] : l.triggers) {
      const ModuleSpec* m = FindModule(d, prefix);
      if (!m || ch > m->channels) {
        *error = "trigger " + prefix + ":" + std::to_string(ch) + " lies in no declared module";
        return false;
      }
    }
  }
  *out = std::move(d);
  return true;
}

bool Description::Load(const std::string& path, Description* out, std::string* error) {
  std::ifstream in(path);
  if (!in) {
    if (error) *error = "cannot read " + path;
    return false;
  }
  std::stringstream all;
  all << in.rdbuf();
  return Parse(all.str(), out, error);
}

// ---- Sim ----------------------------------------------------------------------------------

Sim::Sim(Description description) : desc_(std::move(description)) {}

Sim::~Sim() {
  StopReaders();
  KillAll();
}

void Sim::ApplyEnvironment() const {
  for (const auto& [k, v] : desc_.env) setenv(k.c_str(), v.c_str(), 1);
}

std::vector<std::pair<int, int32_t>> Sim::LiveDevices() const {
  std::vector<std::pair<int, int32_t>> live;
  for (const auto& dev : desc_.devices) {
    std::vector<uint8_t> record;
    if (!ReadDevice(dev.number, &record)) continue;
    DeviceRecord r;
    std::memcpy(&r, record.data(), sizeof r);
    const auto pid = static_cast<int32_t>(r.ScannerPid);
    if (r.Running != 0 && pid > 0 && plat::ProcessAlive(pid)) live.emplace_back(dev.number, pid);
  }
  return live;
}

std::vector<std::pair<std::string, std::string>> Sim::ErrorEntries() const {
  std::vector<std::pair<std::string, std::string>> out;
  uint32_t size = 0;
  uint8_t* data = ModuleData("dm_errors", &size);
  if (!data || size < 4) return out;
  int32_t n;
  std::memcpy(&n, data, 4);
  if (n <= 0) return out;
  auto add = [&](const char* name, size_t nameSize, const char* text, size_t textSize) {
    if (!name[0] || !text[0]) return;
    out.emplace_back(cdxtext::FixedText(name, nameSize), cdxtext::FixedText(text, textSize));
  };
  if (static_cast<uint64_t>(n) * sizeof(CompactStatusEntry) == size) {
    uint32_t usable = std::min<uint32_t>(n, (size - 4) / sizeof(CompactStatusEntry));
    for (uint32_t i = 0; i < usable; ++i) {
      CompactStatusEntry e;
      std::memcpy(&e, data + 4 + sizeof e * i, sizeof e);
      add(e.name, sizeof e.name, e.status, sizeof e.status);
    }
    return out;
  }
  uint32_t c = (size - 4) / kSysErrFullStride;
  uint32_t usable = std::min<uint32_t>(n, c);
  const uint8_t* full = data + 4 + sizeof(CompactStatusEntry) * c;
  for (uint32_t i = 0; i < usable; ++i) {
    ProcessStatusEntry e;
    std::memcpy(&e, full + sizeof e * i, sizeof e);
    add(e.name, sizeof e.name, e.status, sizeof e.status);
  }
  return out;
}

int Sim::Create() {
  ApplyEnvironment();
  if (CreateModuleSets() != 0 || CreateTables() != 0 || WriteConfigFiles() != 0) return -1;
  StartReaders();
  return 0;
}

int Sim::WriteConfigFiles() {
  for (const auto& dev : desc_.devices) {
    std::vector<ChannelConfig> records;
    for (const auto& pt : desc_.points) {
      if (pt.device != dev.number) continue;
      if (records.size() < static_cast<size_t>(pt.number)) {
        ChannelConfig off;
        std::memset(&off, 0, sizeof off);
        records.resize(static_cast<size_t>(pt.number), off);
      }
      records[static_cast<size_t>(pt.number - 1)] = pt.record;
    }
    if (records.empty()) continue;
    const char* configDir = Dir_Resolve("CDX_CURRENT_CONFIG");
    if (!configDir) return -1;
    const std::string dir = std::string(configDir) + "/" + dev.name;
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) return plat::FailErrno(ec.value()), -1;
    DeviceConfig config;
    std::memset(&config, 0, sizeof config);
    config.ScanRate = dev.scanRate;
    config.Comm.Node = static_cast<uint8_t>(dev.node);
    config.Comm.RetryCount = static_cast<uint8_t>(dev.retries);
    PutText(config.Comm.Port, sizeof config.Comm.Port - 1, dev.port);
    uint8_t enable = 1;
    if (Cfg_SaveDeviceEx(nullptr, dir.c_str(), &config, sizeof config, nullptr, 0, nullptr, &enable, nullptr, nullptr,
                         nullptr) != 0)
      return -1;
    if (Cfg_SaveChannels(nullptr, dir.c_str(), kKindAI, records.data(), 0, static_cast<int>(records.size()), nullptr,
                         0, nullptr) != 0)
      return -1;
  }
  return 0;
}

int Sim::CreateModuleSets() {
  // Every prefix that a device names gets a module set, declared or not.
  std::vector<ModuleSpec> sets = desc_.modules;
  for (const auto& dev : desc_.devices) {
    std::vector<std::string> named(dev.paths.begin(), dev.paths.end());
    named.push_back(dev.diag);
    for (const auto& p : named) {
      if (p.empty() || FindModule(desc_, p)) continue;
      bool have = false;
      for (const auto& s : sets) have = have || s.prefix == p;
      if (!have) sets.push_back(ModuleSpec{p, 0, 8, false});
    }
  }
  int loggers = static_cast<int>(desc_.loggers.size());
  for (const auto& s : sets) {
    uint32_t n = static_cast<uint32_t>(s.channels);
    // Each stops at its failure, so that errno tells why.
    DataModuleHeader* values = MakeModule("dm_" + s.prefix, Drv_ValuesDataSize(n, s.valueKind, s.records));
    if (!values) return -1;
    // Rows are n / 8 bytes (rounded down, as the peers read them); the module
    // has room for whole bytes so that the last channels stay inside it.
    uint32_t eventSize = static_cast<uint32_t>(1 + loggers) * ((n + 7) / 8);
    DataModuleHeader* conf = MakeModule("dm_" + s.prefix + "_conf", n ? n * kDrvChannelConfigSize : 1);
    if (!conf) return -1;
    DataModuleHeader* event = MakeModule("dm_" + s.prefix + "_event", eventSize ? eventSize : 1);
    if (!event) return -1;
    DM_Lock(values);
    auto* head = reinterpret_cast<DriverValuesHeader*>(DataOf(values));
    std::memcpy(head->prefix, s.prefix.data(), 2);
    head->valueKind = static_cast<uint16_t>(s.valueKind);
    head->channelCount = static_cast<uint16_t>(n);
    DM_Unlock(values);
    // Channel records.
    DM_Lock(conf);
    for (const auto& c : desc_.channels) {
      if (c.prefix != s.prefix) continue;
      auto* cc = reinterpret_cast<ChannelConfig*>(DataOf(conf) + kDrvChannelConfigSize * (c.number - 1));
      cc->Type = static_cast<uint8_t>(c.type);
      if (c.enable) Chan_SetFlagWord(cc, Chan_GetFlagWord(*cc) | Chan_FlagMask(kDiEnable));
      // A digital alarm raised on the high state.
      if (c.alarm && (c.type & 1)) {
        Chan_SetFlagWord(cc, Chan_GetFlagWord(*cc) | Chan_FlagMask(kDiAlarmEnable) | Chan_FlagMask(kDiAlarmState));
      }
      Chan_SetDescription(cc, c.desc.c_str());
      Chan_SetTag(cc, c.tag.c_str());
      if (c.type & 1) PutText(cc->digital.HighStateText, sizeof(cc->digital.HighStateText), c.high);
    }
    DM_Unlock(conf);
    // Logger trigger rows.
    int rowLength = Drv_EventRowLength(static_cast<int>(n));
    DM_Lock(event);
    for (int i = 0; i < loggers; ++i) {
      for (const auto& [prefix, ch] : desc_.loggers[i].triggers) {
        if (prefix == s.prefix) Drv_EventBitSet(event, rowLength, 1 + i, ch - 1, true);
      }
    }
    DM_Unlock(event);
  }
  return 0;
}

int Sim::CreateTables() {
  // "dm_datproc"
  uint32_t drivers = static_cast<uint32_t>(desc_.drivers.size());
  DataModuleHeader* datproc = MakeModule("dm_datproc", 4 + sizeof(DriverRecord) * std::max(drivers, 1u));
  if (!datproc) return -1;
  DM_Lock(datproc);
  PutI32(DataOf(datproc), static_cast<int32_t>(drivers));
  for (uint32_t i = 0; i < drivers; ++i) {
    const DriverSpec& s = desc_.drivers[i];
    auto* r = reinterpret_cast<DriverRecord*>(DataOf(datproc) + 4 + sizeof(DriverRecord) * i);
    PutText(r->programName, sizeof(r->programName), s.name);
    PutText(r->printName, sizeof(r->printName), s.print);
    std::memcpy(r->prefix, s.prefix.data(), s.prefix.size());
    r->type = static_cast<uint8_t>(s.type);
    r->configured = s.configured ? 1 : 0;
    r->valueRecords = s.valueRecords ? 1 : 0;
    r->pid = s.pid;
  }
  DM_Unlock(datproc);

  // "dm_device": records, then one diagnostics prefix per device.
  uint32_t devices = static_cast<uint32_t>(desc_.devices.size());
  DataModuleHeader* device = MakeModule("dm_device", 4 + (sizeof(DeviceRecord) + 2) * std::max(devices, 1u));
  if (!device) return -1;
  DM_Lock(device);
  PutI32(DataOf(device), static_cast<int32_t>(devices));
  for (uint32_t i = 0; i < devices; ++i) {
    const DeviceSpec& s = desc_.devices[i];
    auto* r = reinterpret_cast<DeviceRecord*>(DataOf(device) + 4 + sizeof(DeviceRecord) * i);
    PutText(r->DeviceType, sizeof(r->DeviceType), s.type);
    PutText(r->ProcessName, sizeof(r->ProcessName), s.process);
    r->DeviceNumber = static_cast<uint16_t>(s.number);
    PutText(r->DeviceName, sizeof(r->DeviceName), s.name);
    for (int k = 0; k < 5; ++k) std::memcpy(r->PathPrefix[k], s.paths[k].data(), s.paths[k].size());
    r->Config.ScanRate = s.scanRate;
    r->Config.Comm.RetryCount = static_cast<uint8_t>(s.retries);
    r->Config.Comm.Node = static_cast<uint8_t>(s.node);
    PutText(r->Config.Comm.Port, sizeof(r->Config.Comm.Port), s.port);
    char* diag = reinterpret_cast<char*>(DataOf(device) + 4 + sizeof(DeviceRecord) * devices + 2 * i);
    std::memcpy(diag, s.diag.data(), s.diag.size());
  }
  DM_Unlock(device);

  // "dm_loggers": records, then extension entries.
  uint32_t loggers = static_cast<uint32_t>(desc_.loggers.size());
  DataModuleHeader* logtab = MakeModule("dm_loggers", 4 + kDrvLoggerDataPerEntry * std::max(loggers, 1u));
  if (!logtab) return -1;
  DM_Lock(logtab);
  PutU32(DataOf(logtab), loggers);
  for (uint32_t i = 0; i < loggers; ++i) {
    const LoggerSpec& s = desc_.loggers[i];
    auto* r = reinterpret_cast<LoggerRecord*>(DataOf(logtab) + 4 + sizeof(LoggerRecord) * i);
    PutText(r->typeText, sizeof(r->typeText), s.type);
    r->enabled = s.enabled ? 1 : 0;
    r->pid = LoggerPid(static_cast<int>(i) + 1);
    PutText(r->name, sizeof(r->name), s.name);
  }
  DM_Unlock(logtab);

  // "dm_errors": full layout 4 + 443 C bytes with N = C; compact N x 57.
  uint32_t n = static_cast<uint32_t>(desc_.errorEntries);
  uint32_t size = desc_.compactErrors ? n * sizeof(CompactStatusEntry) : 4 + kSysErrFullStride * n;
  DataModuleHeader* errors = MakeModule("dm_errors", size);
  if (!errors) return -1;
  DM_Lock(errors);
  PutI32(DataOf(errors), static_cast<int32_t>(n));
  DM_Unlock(errors);
  return 0;
}

int32_t Sim::LoggerPid(int n) const { return kLoggerPidBase + n; }

void Sim::StartReaders() {
  StopReaders();
  auto add = [this](const std::string& name, uint32_t maxMessage, int kind, int logger) {
    auto r = std::make_unique<Reader>();
    r->slot = plat::MailslotReader::Create("\\\\.\\mailslot\\" + name, maxMessage);
    if (!r->slot) return;
    r->thread = std::thread(&Sim::ReaderLoop, this, r->slot.get(), kind, logger);
    readers_.push_back(std::move(r));
  };
  for (const auto& d : desc_.drivers) {
    if (!d.listen) continue;
    if (Upper(d.name) == "ALARM") add("xalarms", 0, kReaderAlarm, 0);
    if (Upper(d.name) == "DERIVED") add("derived", 0, kReaderDerived, 0);
  }
  add("dm_" + std::to_string(static_cast<uint32_t>(LoggerPid(0))) + ".slt", 4, kReaderWatch, 0);
  for (size_t i = 0; i < desc_.loggers.size(); ++i) {
    add("dm_" + std::to_string(static_cast<uint32_t>(LoggerPid(static_cast<int>(i) + 1))) + ".slt", 4,
        kReaderLogger, static_cast<int>(i) + 1);
  }
}

void Sim::StopReaders() {
  for (auto& r : readers_) r->slot->Shutdown();
  for (auto& r : readers_) {
    if (r->thread.joinable()) r->thread.join();
  }
  readers_.clear();
}

void Sim::ReaderLoop(plat::MailslotReader* reader, int kind, int logger) {
  uint8_t buf[65536];
  for (;;) {
    int n = reader->Read(buf, sizeof(buf), plat::kMailslotWaitForever);
    if (n < 0) {
      if (plat::GetLastError() == plat::kErrOperationAborted) return;
      continue;
    }
    std::lock_guard<std::mutex> lock(mu_);
    if (kind == kReaderAlarm) {
      AlarmBytes a{};
      std::memcpy(a.data(), buf, std::min<size_t>(a.size(), static_cast<size_t>(n)));
      if (n == static_cast<int>(a.size())) alarms_.push_back(a);
    } else if (kind == kReaderDerived) {
      derived_.emplace_back(reinterpret_cast<char*>(buf), static_cast<size_t>(n));
    } else if (kind == kReaderWatch && n == 4) {
      uint32_t code;
      std::memcpy(&code, buf, 4);
      watchCodes_.push_back(code);
    } else if (n == 4) {
      uint32_t code;
      std::memcpy(&code, buf, 4);
      loggerCodes_.push_back(LoggerCode{logger, code});
    }
  }
}

pid_t Sim::StartDevice(int number, const std::string& program) {
  std::string path = program.empty() ? desc_.program : program;
  if (path.empty()) return plat::Fail(plat::kErrFileNotFound), -1;
  return StartProgram({path, std::to_string(number)});
}

pid_t Sim::StartProgram(const std::vector<std::string>& argv) {
  if (argv.empty()) return plat::Fail(plat::kErrInvalidParameter), -1;
  std::map<std::string, std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string s(*e);
    size_t eq = s.find('=');
    if (eq != std::string::npos) env[s.substr(0, eq)] = s.substr(eq + 1);
  }
  env["CDXPLAT_ROOT"] = plat::Root();
  for (const auto& [k, v] : desc_.env) env[k] = v;
  std::vector<std::string> envText;
  for (const auto& [k, v] : env) envText.push_back(k + "=" + v);
  std::vector<char*> args, envp;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (auto& e : envText) envp.push_back(e.data());
  envp.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, args[0], nullptr, nullptr, args.data(), envp.data());
  if (rc != 0) return plat::FailErrno(rc), -1;
  std::lock_guard<std::mutex> lock(mu_);
  children_.push_back(pid);
  return pid;
}

int Sim::WaitExit(pid_t pid, int timeoutMs) {
  int64_t deadline = plat::MonotonicMs() + timeoutMs;
  for (;;) {
    int status = 0;
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) {
      std::lock_guard<std::mutex> lock(mu_);
      std::erase(children_, pid);
      if (WIFEXITED(status)) return WEXITSTATUS(status);
      return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
    }
    if (r < 0 && errno != EINTR) return -1;
    if (plat::MonotonicMs() >= deadline) return -1;
    plat::SleepMs(5);
  }
}

void Sim::KillAll() {
  std::vector<pid_t> left;
  {
    std::lock_guard<std::mutex> lock(mu_);
    left.swap(children_);
  }
  for (pid_t pid : left) {
    kill(pid, SIGKILL);
    int status;
    waitpid(pid, &status, 0);
  }
}

int Sim::Send(int32_t pid, uint32_t code) { return Sig_Send(pid, code); }

uint8_t* Sim::ModuleData(const std::string& name, uint32_t* size) const {
  DataModuleHeader* m = OpenModule(name);
  if (!m) return nullptr;
  if (size) *size = DataSizeOf(m);
  return DataOf(m);
}

uint8_t* Sim::DeviceRecordPtr(int number) const {
  uint32_t size = 0;
  uint8_t* data = ModuleData("dm_device", &size);
  if (!data || size < 4) return nullptr;
  int32_t count;
  std::memcpy(&count, data, 4);
  for (int32_t i = 0; i < count && 4 + sizeof(DeviceRecord) * (i + 1) <= size; ++i) {
    auto* r = reinterpret_cast<DeviceRecord*>(data + 4 + sizeof(DeviceRecord) * i);
    if (r->DeviceNumber == number) return reinterpret_cast<uint8_t*>(r);
  }
  return nullptr;
}

bool Sim::ReadDevice(int number, std::vector<uint8_t>* record) const {
  uint8_t* r = DeviceRecordPtr(number);
  if (!r) return false;
  record->assign(r, r + sizeof(DeviceRecord));
  return true;
}

uint8_t* Sim::DriverRecordPtr(const std::string& name) const {
  uint32_t size = 0;
  uint8_t* data = ModuleData("dm_datproc", &size);
  if (!data || size < 4) return nullptr;
  int32_t count;
  std::memcpy(&count, data, 4);
  for (int32_t i = 0; i < count && 4 + sizeof(DriverRecord) * (i + 1) <= size; ++i) {
    auto* r = reinterpret_cast<DriverRecord*>(data + 4 + sizeof(DriverRecord) * i);
    if (strncasecmp(r->programName, name.c_str(), sizeof(r->programName)) == 0) return reinterpret_cast<uint8_t*>(r);
  }
  return nullptr;
}

uint8_t* Sim::LoggerRecordPtr(int n) const {
  uint32_t size = 0;
  uint8_t* data = ModuleData("dm_loggers", &size);
  if (!data || n < 1 || 4 + sizeof(LoggerRecord) * n > size) return nullptr;
  return data + 4 + sizeof(LoggerRecord) * (n - 1);
}

std::string Sim::StatusText(const std::string& name, bool* found) const {
  if (found) *found = false;
  uint32_t size = 0;
  uint8_t* data = ModuleData("dm_errors", &size);
  if (!data || size < 4) return {};
  int32_t n;
  std::memcpy(&n, data, 4);
  if (n <= 0) return {};
  if (static_cast<uint64_t>(n) * sizeof(CompactStatusEntry) == size) {
    uint32_t usable = std::min<uint32_t>(n, (size - 4) / sizeof(CompactStatusEntry));
    for (uint32_t i = 0; i < usable; ++i) {
      auto* e = reinterpret_cast<CompactStatusEntry*>(data + 4) + i;
      if (e->name[0] && strncasecmp(e->name, name.c_str(), sizeof(e->name)) == 0) {
        if (found) *found = true;
        return cdxtext::FixedText(e->status, sizeof(e->status));
      }
    }
    return {};
  }
  uint32_t c = (size - 4) / kSysErrFullStride;
  uint32_t usable = std::min<uint32_t>(n, c);
  auto* full = reinterpret_cast<ProcessStatusEntry*>(data + 4 + sizeof(CompactStatusEntry) * c);
  for (uint32_t i = 0; i < usable; ++i) {
    if (full[i].name[0] && strncasecmp(full[i].name, name.c_str(), sizeof(full[i].name)) == 0) {
      if (found) *found = true;
      return cdxtext::FixedText(full[i].status, sizeof(full[i].status));
    }
  }
  return {};
}

std::string Sim::WaitStatusText(const std::string& name, const std::string& want, int timeoutMs) const {
  int64_t deadline = plat::MonotonicMs() + timeoutMs;
  std::string text = StatusText(name);
  while (text != want && plat::MonotonicMs() < deadline) {
    plat::SleepMs(10);
    text = StatusText(name);
  }
  return text;
}

int Sim::Watch(const std::string& moduleName) {
  DataModuleHeader* m = OpenModule(moduleName);
  if (!m) return -1;
  uint8_t* base = reinterpret_cast<uint8_t*>(m);
  // The current layout's 8-byte entries {i32 pid, i16 code, 2 reserved}
  // follow 32 legacy entries of 4 bytes; only those the mapping holds are
  // touched (the header's offsets are any user's to write).
  int rc = -1;
  DM_Lock(m);
  DMTables t{};
  const int entries = DM_GetTables(m, &t) == 0 ? t.entries : 0;
  for (int i = 0; i < entries && rc != 0; ++i) {
    uint8_t* e = base + t.notifyOffset + 128 + 8 * i;
    int32_t pid;
    std::memcpy(&pid, e, 4);
    if (pid == 0 || pid == LoggerPid(0)) {
      PutI32(e, LoggerPid(0));
      int16_t code = static_cast<int16_t>(kWatchCode);
      std::memcpy(e + 4, &code, 2);
      rc = 0;
    }
  }
  DM_Unlock(m);
  return rc;
}

std::vector<uint32_t> Sim::WatchCodes() const {
  std::lock_guard<std::mutex> lock(mu_);
  return watchCodes_;
}

std::vector<AlarmBytes> Sim::Alarms() const {
  std::lock_guard<std::mutex> lock(mu_);
  return alarms_;
}

std::vector<std::string> Sim::DerivedNotices() const {
  std::lock_guard<std::mutex> lock(mu_);
  return derived_;
}

std::vector<LoggerCode> Sim::LoggerCodes() const {
  std::lock_guard<std::mutex> lock(mu_);
  return loggerCodes_;
}

namespace {
template <typename F>
bool WaitFor(F ready, int timeoutMs) {
  int64_t deadline = plat::MonotonicMs() + timeoutMs;
  while (!ready()) {
    if (plat::MonotonicMs() >= deadline) return false;
    plat::SleepMs(5);
  }
  return true;
}
}  // namespace

bool Sim::WaitAlarms(size_t n, int timeoutMs) const {
  return WaitFor([&] { return Alarms().size() >= n; }, timeoutMs);
}
bool Sim::WaitLoggerCodes(size_t n, int timeoutMs) const {
  return WaitFor([&] { return LoggerCodes().size() >= n; }, timeoutMs);
}
bool Sim::WaitWatchCodes(size_t n, int timeoutMs) const {
  return WaitFor([&] { return WatchCodes().size() >= n; }, timeoutMs);
}
bool Sim::WaitDerived(size_t n, int timeoutMs) const {
  return WaitFor([&] { return DerivedNotices().size() >= n; }, timeoutMs);
}

}  // namespace cdxsim
