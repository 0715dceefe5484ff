// The replication data tree: settings, path grammar, tables and the
// "information.ini" files.
#include "logdata/replication.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "cdxlib/client/srvclient.h"
#include "cdxlib/sys/logicaldirs.h"
#include "cdxlib/sys/registry.h"
#include "cdxlib/sys/textutil.h"
#include "cdxlib/sys/timestamp.h"
#include "logdata/eventstext.h"
#include "logdata/logkinds.h"
#include "logdata/logstore.h"
#include "platform/files.h"
#include "platform/registry.h"

namespace {

const ReplRegion kRegions[] = {
    {'A', "ASIA", 39.50404f, 72.24609f},
    {'E', "EUROPE CIS", 54.36776f, 4.921875f},
    {'L', "LATIN AMERICA", -12.12526f, -76.9043f},
    {'M', "MIDDLE EAST AND NORTH AFRICA", 30.06909f, 42.40723f},
    {'N', "NORTH AMERICA", 48.80686f, -104.4141f},
    {'S', "SOUTHERN AND WEST AFRICA", 3.250209f, 17.92969f},
};

constexpr const char* kIniName = "information.ini";
constexpr size_t kMaxLoggerName = 129;

bool IsTarvi() { return strcasecmp(Prod_GetProductName(), "Tarvi") == 0; }

std::string ReplicationKey() {
  std::string key;
  for (const char* p = Prod_GetReplicationProductName(); *p && key.size() < 19; ++p)
    if (*p != ' ') key += static_cast<char>(toupper(static_cast<unsigned char>(*p)));
  return key;
}

std::string SettingsKey() {
  return std::string(kRegMakerKey) + "\\" + Prod_GetProductName() + "\\" + ReplicationKey();
}

// Another machine's registry is out of reach here.
bool RemoteServer(const char* server) { return server && *server && !Srv_IsLocal(server); }

struct Settings {
  bool read = false;
  std::string root;
  std::vector<std::string> assets, loggerDirs;
  std::string defaultServer;
};
std::mutex g_settingsMu;
Settings g_settings;

std::string ReadOr(const char* name, uint32_t size, bool* found) {
  std::vector<char> buf(size + 1, '\0');
  *found = Repl_ReadSetting(nullptr, name, buf.data(), size);
  return *found ? std::string(buf.data()) : std::string();
}

const Settings& Get() {
  std::lock_guard<std::mutex> guard(g_settingsMu);
  Settings& s = g_settings;
  if (s.read) return s;
  bool found = false;
  s.root = ReadOr("ROOT", 260, &found);
  if (!found) {
    if (IsTarvi()) {
      s.root = "D:\\LumoPaVarn";
    } else {
      const char* d = Dir_Resolve(ReplicationKey().c_str());
      s.root = d ? d : "";
    }
  }
  for (int n = 1;; ++n) {
    char name[32];
    snprintf(name, sizeof name, "ASSET_TERM_%d", n);
    std::string v = ReadOr(name, 16, &found);
    if (!found) {
      if (n == 1) v = "FIELD";
      else if (n == 2) v = "WELL";
      else break;
    }
    s.assets.push_back(v);
  }
  for (int n = 1;; ++n) {
    char name[32];
    snprintf(name, sizeof name, "LOGGER_DIR_%d", n);
    std::string v = ReadOr(name, 16, &found);
    if (!found) {
      if (IsTarvi() && n <= 2) v = n == 1 ? "SLOW_LOG" : "FAST_LOG";
      else if (!IsTarvi() && n == 1) v = "";
      else break;
    }
    s.loggerDirs.push_back(v);
  }
  s.defaultServer = ReadOr("DefaultServer", 1284, &found);
  s.read = true;
  return s;
}

bool IsSep(char c) { return c == '\\' || c == '/'; }

// The components of a path below the root, each with whether a separator
// follows it; false when the path is not below the root.
struct Part {
  std::string text;
  size_t at;  // offset in the path
  bool followed;
};
bool PartsBelowRoot(const char* root, const char* path, std::vector<Part>* parts) {
  parts->clear();
  if (!root || !path) return false;
  std::string r = root;
  while (!r.empty() && IsSep(r.back())) r.pop_back();
  size_t n = r.size();
  if (strlen(path) < n || strncasecmp(path, r.c_str(), n) != 0 || (path[n] && !IsSep(path[n]))) return false;
  std::string p = path;
  size_t i = n;
  while (i < p.size()) {
    while (i < p.size() && IsSep(p[i])) ++i;
    if (i >= p.size()) break;
    size_t e = i;
    while (e < p.size() && !IsSep(p[e])) ++e;
    parts->push_back({p.substr(i, e - i), i, e < p.size()});
    i = e;
  }
  return true;
}

std::string Parent(const std::string& dir) {
  size_t e = dir.size();
  while (e > 0 && IsSep(dir[e - 1])) --e;
  while (e > 0 && !IsSep(dir[e - 1])) --e;
  while (e > 1 && IsSep(dir[e - 1])) --e;
  return dir.substr(0, e);
}

// "information.ini" of a directory: the exact name, else a case-blind match.
std::string IniOf(const std::string& dir) {
  std::string exact = dir + "/" + kIniName;
  struct stat st;
  if (stat(exact.c_str(), &st) == 0) return exact;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      if (strcasecmp(e->d_name, kIniName) == 0) {
        std::string found = dir + "/" + e->d_name;
        closedir(d);
        return found;
      }
    }
    closedir(d);
  }
  return exact;
}

// A section of an ini file: true when the file has it.
bool ReadSection(const std::string& ini, const char* name, std::string* text) {
  int size = 0;
  if (ReadTextSection(ini, name, nullptr, &size) < 0 || size == 0) return false;
  std::vector<char> buf(static_cast<size_t>(size) + 1, '\0');
  int room = static_cast<int>(buf.size());
  if (ReadTextSection(ini, name, buf.data(), &room) < 0) return false;
  *text = buf.data();
  return true;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  size_t p = 0;
  while (p < text.size()) {
    size_t e = text.find("\r\n", p);
    if (e == std::string::npos) e = text.size();
    out.push_back(text.substr(p, e - p));
    p = e + 2;
  }
  return out;
}

using cdxtext::Trim;

// LAT= and LON= lines of a [POSITION] text.
bool ParsePosition(const std::string& text, float* lat, float* lon) {
  bool haveLat = false, haveLon = false;
  for (const std::string& line : Lines(text)) {
    size_t eq = line.find('=');
    if (eq == std::string::npos || eq < 3) continue;
    float v = strtof(line.c_str() + eq + 1, nullptr);
    if (strncasecmp(line.c_str(), "LAT", 3) == 0) {
      *lat = v;
      haveLat = true;
    } else if (strncasecmp(line.c_str(), "LON", 3) == 0) {
      *lon = v;
      haveLon = true;
    }
  }
  return haveLat && haveLon;
}

}  // namespace

// ---- tables ----

const ReplRegion* Repl_RegionOf(char letter) {
  char u = static_cast<char>(toupper(static_cast<unsigned char>(letter)));
  for (const ReplRegion& r : kRegions)
    if (r.letter == u) return &r;
  return nullptr;
}

const ReplCountry* Repl_CountryAt(int row) {
  return row >= 0 && row < kReplCountryCount ? &kReplCountries[row] : nullptr;
}

const char* Repl_CountryCode(const char* name) {
  if (!name || !*name) return "--";
  for (int i = 0; i < kReplCountryCount; ++i)
    if (strcasecmp(kReplCountries[i].name, name) == 0) return kReplCountries[i].code;
  return "--";
}

const char* Repl_CountryName(const char* code) {
  if (!code || strlen(code) < 2) return "";
  for (int i = 0; i < kReplCountryCount; ++i)
    if (strncasecmp(kReplCountries[i].code, code, 2) == 0) return kReplCountries[i].name;
  return "";
}

// ---- settings ----

bool Repl_ReadSetting(const char* server, const char* name, char* value, uint32_t size) {
  if (!name || !value || size == 0 || RemoteServer(server)) return false;
  uint32_t type = 0, n = size - 1;
  std::string key = SettingsKey();
  if (Reg_AccessValue(plat::HKEY_LOCAL_MACHINE, key.c_str(), plat::KEY_QUERY_VALUE, name, &type, value, &n) != 0)
    return false;
  value[n < size ? n : size - 1] = '\0';
  return true;
}

bool Repl_WriteSetting(const char* server, const char* name, const char* value) {
  if (!name || !value || RemoteServer(server)) return false;
  uint32_t type = plat::REG_SZ, n = static_cast<uint32_t>(strlen(value) + 1);
  std::string key = SettingsKey();
  return Reg_AccessValue(plat::HKEY_LOCAL_MACHINE, key.c_str(), plat::KEY_SET_VALUE, name, &type,
                         const_cast<char*>(value), &n) == 0;
}

void Repl_ResetSettings() {
  std::lock_guard<std::mutex> guard(g_settingsMu);
  g_settings = Settings{};
}

const char* Repl_GetRoot() { return Get().root.c_str(); }
int Repl_AssetLevelCount() { return static_cast<int>(Get().assets.size()); }
int Repl_LoggerDirCount() { return static_cast<int>(Get().loggerDirs.size()); }

const char* Repl_AssetTerm(int n) {
  const Settings& s = Get();
  return n >= 1 && n <= static_cast<int>(s.assets.size()) ? s.assets[static_cast<size_t>(n - 1)].c_str() : "";
}

const char* Repl_LoggerDir(int n) {
  const Settings& s = Get();
  return n >= 1 && n <= static_cast<int>(s.loggerDirs.size()) ? s.loggerDirs[static_cast<size_t>(n - 1)].c_str()
                                                               : "";
}

std::string Repl_LoggerDirSuffix(int n) { return std::string("_") + Repl_LoggerDir(n); }

const char* Repl_DepthWord(const char* path, int d) {
  if (d == 0) {
    std::vector<Part> parts;
    if (!PartsBelowRoot(Repl_GetRoot(), path, &parts)) return "";
    d = static_cast<int>(parts.size());
  }
  int L = Repl_AssetLevelCount();
  if (d == 1) return "REGION";
  if (d == 2) return "COUNTRY";
  if (d == 3) return "CUSTOMER";
  if (d >= 4 && d <= L + 3) return Repl_AssetTerm(d - 3);
  if (d == L + 4) return "DATA";
  return "";
}

const char* Repl_DefaultServer() { return Get().defaultServer.c_str(); }

// ---- names ----

std::string Repl_LoggerNameFromPath(const char* path, bool complete) {
  std::vector<Part> parts;
  if (!PartsBelowRoot(Repl_GetRoot(), path, &parts)) return "";
  const size_t L = static_cast<size_t>(Repl_AssetLevelCount());
  if (!complete && (L == 0 || parts.size() < 4 + L)) return "";
  std::string name;
  if (parts.empty()) return "";
  name += parts[0].text.substr(0, 1);
  if (parts.size() > 1) name += std::string("_") + Repl_CountryCode(parts[1].text.c_str());
  if (parts.size() > 2) name += "_" + parts[2].text;
  // parts[3] is the customer's logged-data directory: not in the name.
  for (size_t i = 1; i < L && 3 + i < parts.size(); ++i) name += "_" + parts[3 + i].text;
  if (L >= 1 && 3 + L < parts.size()) name += "_" + std::string(path + parts[3 + L].at);
  if (name.size() > kMaxLoggerName) name.resize(kMaxLoggerName);
  return name;
}

int Repl_PathPartFromLoggerName(int d, const char* loggerName, std::string* word, std::string* text) {
  if (!loggerName || d < 1) return 0;
  int L = Repl_AssetLevelCount();
  if (d >= L + 4) return 0;
  std::vector<std::string> parts;
  std::string cur;
  for (const char* p = loggerName;; ++p) {
    if (*p == '_' || *p == '\0') {
      parts.push_back(cur);
      cur.clear();
      if (!*p) break;
    } else {
      cur += *p;
    }
  }
  if (static_cast<int>(parts.size()) < d) return 0;
  std::string t;
  if (d == 1) {
    const ReplRegion* r = parts[0].empty() ? nullptr : Repl_RegionOf(parts[0][0]);
    if (!r) return 0;
    t = r->name;
  } else if (d == 2) {
    t = Repl_CountryName(parts[1].c_str());
    if (t.empty()) return 0;
  } else {
    t = parts[static_cast<size_t>(d - 1)];
  }
  if (word) *word = Repl_DepthWord(nullptr, d);
  if (text) *text = t;
  return 1;
}

// ---- information.ini ----

std::string Repl_FindHeaderIni(const char* root, const char* path) {
  std::vector<Part> parts;
  if (!PartsBelowRoot(root, path, &parts)) return "";
  std::string r = root;
  std::string dir = path;
  while (!dir.empty() && IsSep(dir.back())) dir.pop_back();
  for (;;) {
    std::string text;
    if (ReadSection(IniOf(dir), "HEADER", &text)) return text;
    if (dir.size() <= r.size() || strcasecmp(dir.c_str(), r.c_str()) == 0) break;
    std::string up = Parent(dir);
    if (up.size() >= dir.size() || up.size() < r.size()) break;
    dir = up;
  }
  return "";
}

std::string Repl_HeaderTextForPath(const char* root, const char* path) {
  std::vector<std::string> drop = {"Region", "Country", "Customer", "Client"};
  for (int n = 1; n <= Repl_AssetLevelCount(); ++n) drop.push_back(Repl_AssetTerm(n));
  if (IsTarvi()) drop.push_back("WellNo");
  std::string out;
  for (const std::string& line : Lines(Repl_FindHeaderIni(root, path))) {
    size_t colon = line.find(':');
    std::string name = Trim(colon == std::string::npos ? line : line.substr(0, colon));
    bool supplied = std::any_of(drop.begin(), drop.end(),
                                [&](const std::string& d) { return !d.empty() && strcasecmp(d.c_str(), name.c_str()) == 0; });
    if (!supplied) out += line + "\r\n";
  }
  return out;
}

int Repl_HeaderFieldsFromPath(const char* root, const char* path, LogHeader* header, std::string* text) {
  std::vector<Part> parts;
  if (!PartsBelowRoot(root, path, &parts)) return -1;
  if (header) {
    header->marker = kLogHeaderMarker;
    Time_NowLocal(&header->start);
    plat::TimeZoneInformation z{};
    if (plat::GetTimeZoneInformation(&z) == 0) memcpy(header->extension, &z, sizeof z);
  }
  std::string out;
  auto field = [&](size_t i, const char* name) {
    if (i < parts.size() && parts[i].followed) out += std::string(name) + ": " + parts[i].text + "\r\n";
  };
  field(0, "Region");
  field(1, "Country");
  field(2, "Customer");
  field(2, "Client");
  const int L = Repl_AssetLevelCount();
  for (int n = 1; n <= L; ++n) field(static_cast<size_t>(3 + n), Repl_AssetTerm(n));
  if (IsTarvi()) field(5, "WellNo");
  out += Repl_HeaderTextForPath(root, path);
  if (text) *text = out;
  return 0;
}

int Repl_ApplyHeaderToLogs(const char* root, const char* path, const char* provider) {
  std::string text;
  if (!path || Repl_HeaderFieldsFromPath(root, path, nullptr, &text) != 0) return -1;
  const bool db = provider && *provider;
  CLogCollection* c = CreateLogCollection(db ? provider : path);
  if (!c) return -1;
  if (c->Open(db ? provider : path, db ? "" : path, "", "", kGenericRead | kGenericWrite) != 0 || !c->FindFirst(nullptr)) {
    c->Destroy(1);
    return -1;
  }
  std::vector<std::string> names;
  char n[1300];
  TimeStamp st{}, sp{};
  while (c->FindNext(n, &st, &sp)) names.push_back(n);
  int written = 0;
  for (const std::string& name : names) {
    CLogStore* s = c->OpenLog(name.c_str(), kGenericRead);
    if (!s) continue;
    if (s->WriteHeaderText(text.c_str()) == 0) ++written;
    s->Close();
    s->Destroy(1);
  }
  c->Destroy(1);
  return written;
}

int Repl_ReadPosition(const char* path, float* latitude, float* longitude, float* customerLatitude,
                      float* customerLongitude) {
  std::vector<Part> parts;
  const std::string root = Repl_GetRoot();
  if (!latitude || !longitude || !PartsBelowRoot(root.c_str(), path, &parts) || parts.empty()) return 0;
  bool found = false;
  float lat = 0, lon = 0;
  if (const ReplRegion* r = Repl_RegionOf(parts[0].text[0])) {
    lat = r->latitude;
    lon = r->longitude;
    found = true;
  }
  if (parts.size() > 1) {
    const std::string& dir = parts[1].text;
    for (int i = 0; i < kReplCountryCount; ++i) {
      if (strncasecmp(kReplCountries[i].name, dir.c_str(), dir.size()) == 0) {
        lat = kReplCountries[i].latitude;
        lon = kReplCountries[i].longitude;
        found = true;
        break;
      }
    }
  }
  std::string text;
  std::string customerDir = parts.size() > 2 ? std::string(path, parts[2].at + parts[2].text.size()) : "";
  if (customerLatitude && customerLongitude && !customerDir.empty() &&
      ReadSection(IniOf(customerDir), "POSITION", &text))
    ParsePosition(text, customerLatitude, customerLongitude);
  if (!customerDir.empty()) {
    std::string dir = path;
    while (!dir.empty() && IsSep(dir.back())) dir.pop_back();
    while (dir.size() >= customerDir.size()) {
      float a = 0, b = 0;
      if (ReadSection(IniOf(dir), "POSITION", &text) && ParsePosition(text, &a, &b)) {
        lat = a;
        lon = b;
        found = true;
        break;
      }
      std::string up = Parent(dir);
      if (up.size() >= dir.size()) break;
      dir = up;
    }
  }
  *latitude = lat;
  *longitude = lon;
  return found ? 1 : 0;
}

int Repl_WritePosition(const char* directory, float latitude, float longitude) {
  if (!directory) return 0;
  char text[128];
  snprintf(text, sizeof text, "LATITUDE=%f\r\nLONGITUDE=%f\r\n", static_cast<double>(latitude),
           static_cast<double>(longitude));
  return WriteTextSection(IniOf(directory), "[POSITION]", text) == 1 ? 1 : 0;
}

int Repl_ReadPositionFrom(const char* server, const char* path, const char* text, float* latitude,
                          float* longitude) {
  if (!path || !latitude || !longitude) return 0;
  std::string request = std::string("LF,") + path + "," + (text ? text : "");
  std::vector<char> reply(32768, '\0');
  uint32_t n = static_cast<uint32_t>(reply.size()) - 1;
  if (Srv_SendRequest(server, request.c_str(), reply.data(), &n) < 0 || n == 0) return 0;
  reply[n] = '\0';
  const char* p = strchr(reply.data(), ',');
  float a = 0, b = 0;
  if (!p || sscanf(p + 1, "%f,%f", &a, &b) != 2) return 0;
  *latitude = a;
  *longitude = b;
  return 1;
}

int Repl_ReadUserLimit(const char* path, const char* server) {
  if (RemoteServer(server)) return 1;
  if (!path) return -1;
  std::string text;
  if (!ReadSection(IniOf(path), "USERLIMIT", &text)) return -1;
  for (const std::string& line : Lines(text)) {
    size_t eq = line.find('=');
    if (eq == std::string::npos || strcasecmp(Trim(line.substr(0, eq)).c_str(), "LIMIT") != 0) continue;
    std::string v = Trim(line.substr(eq + 1));
    if (v.empty()) return -2;
    return atoi(v.c_str());
  }
  return -1;
}

int Repl_WriteUserLimit(const char* path, int limit) {
  if (!path) return 0;
  char text[64];
  snprintf(text, sizeof text, "LIMIT=%d\r\n", limit);
  return WriteTextSection(IniOf(path), "[USERLIMIT]", text) == 1 ? 1 : 0;
}

int Repl_LastLogInfo(const char*, const char* path, const char* provider, int* complete, plat::SystemTime* time) {
  if (!path) return 0;
  const bool db = provider && *provider;
  CLogCollection* c = CreateLogCollection(db ? provider : path);
  if (!c) return 0;
  struct Log {
    TimeStamp start, stop;
  };
  std::vector<Log> logs;
  if (c->Open(db ? provider : path, db ? "" : path, "", "", kGenericRead) == 0 && c->FindFirst(nullptr)) {
    char n[1300];
    TimeStamp st{}, sp{};
    while (c->FindNext(n, &st, &sp)) logs.push_back({st, sp});
  }
  c->Destroy(1);
  if (logs.empty()) return 0;
  std::sort(logs.begin(), logs.end(), [](const Log& a, const Log& b) {
    return static_cast<uint32_t>(a.start.seconds) < static_cast<uint32_t>(b.start.seconds);
  });
  const Log& last = logs.back().stop.seconds == 0 && logs.size() > 1 ? logs[logs.size() - 2] : logs.back();
  if (complete) *complete = last.stop.seconds != 0 ? 1 : 0;
  if (time) {
    const TimeStamp& t = last.stop.seconds != 0 ? last.stop : last.start;
    struct tm* g = Time_GmTime(t.seconds);
    time->Year = static_cast<uint16_t>(g->tm_year + 1900);
    time->Month = static_cast<uint16_t>(g->tm_mon + 1);
    time->DayOfWeek = static_cast<uint16_t>(g->tm_wday);
    time->Day = static_cast<uint16_t>(g->tm_mday);
    time->Hour = static_cast<uint16_t>(g->tm_hour);
    time->Minute = static_cast<uint16_t>(g->tm_min);
    time->Second = static_cast<uint16_t>(g->tm_sec);
    time->Milliseconds = static_cast<uint16_t>(t.milliseconds);
  }
  return 1;
}
