#include "cdxlib/records/translations.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "cdxlib/sys/logicaldirs.h"
#include "cdxlib/sys/registry.h"
#include "cdxlib/sys/eventlog.h"
#include "cdxlib/sys/textcodec.h"
#include "platform/error.h"
#include "platform/sysinfo.h"

namespace {

struct Table {
  std::u16string text;                                          // the whole file as UTF-16
  std::vector<std::pair<std::u16string, std::u16string>> pairs;  // key, value in file order
};

Table g_tables[3];
constexpr off_t kMaxTableFile = off_t{256} << 20;  // 256 MiB
bool g_loaded = false;

void Report(char* err, const std::string& msg) {
  if (err) {
    snprintf(err, 300, "%s", msg.c_str());
  } else {
    ReportSystemEvent(nullptr, 4, msg.c_str());  // 4: an information event
  }
}

std::string Msg(const char* fmt, const std::string& path, uint32_t code) {
  char buf[600];
  snprintf(buf, sizeof buf, fmt, path.c_str(), static_cast<int>(code));
  return buf;
}

char16_t Fold(char16_t c) { return c < 128 ? static_cast<char16_t>(tolower(c)) : c; }

bool EqualNoCase(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Fold(a[i]) != Fold(b[i])) return false;
  return true;
}

// Splits the text into lines and pairs; returns the count of split lines
// after the header.
size_t Parse(const std::u16string& text, Table* t) {
  size_t split = 0, pos = 0;
  while (pos < text.size()) {
    size_t end = text.find(u'\n', pos);
    if (end == std::u16string::npos) end = text.size();
    std::u16string line = text.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == u'\r') line.pop_back();
    size_t sep = line.find(u'\t');
    if (sep == std::u16string::npos) sep = line.find(u',');
    if (sep == std::u16string::npos) continue;
    if (split++ == 0) continue;  // the header
    std::u16string key = line.substr(0, sep), value = line.substr(sep + 1);
    if (!key.empty() && !value.empty()) t->pairs.emplace_back(std::move(key), std::move(value));
  }
  return split > 0 ? split - 1 : 0;
}

const char16_t* Widen(const char* text, char16_t* out, size_t size) {
  size_t n = 0;
  for (; text[n] && n + 1 < size; ++n) out[n] = static_cast<char16_t>(static_cast<unsigned char>(text[n]));
  if (size) out[n] = 0;
  return out;
}

}  // namespace

int Xlat_LoadTableFromDir(const char* dir, int row, const char* tableName, char* err) {
  if (row < 0 || row > 2 || !dir || !tableName) return plat::Fail(plat::kErrInvalidParameter), 0;
  Table& t = g_tables[row];
  t = Table{};
  std::string path = std::string(dir) + "/" + tableName + ".txt";
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 && (errno == ENOENT || errno == ENOTDIR)) {
    path = std::string(dir) + "/" + tableName + ".csv";
    fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 && (errno == ENOENT || errno == ENOTDIR)) return 1;  // no table: nothing to translate
  }
  if (fd < 0) {
    plat::FailErrno(errno);
    return Report(err, Msg("CAN'T ACCESS TRANSLATIONS FILE %s - ERROR %d", path, plat::GetLastError())), 0;
  }
  struct stat st{};
  if (fstat(fd, &st) != 0 || st.st_size == 0) {
    if (st.st_size == 0) plat::Fail(plat::kErrHandleEof);
    else plat::FailErrno(errno);
    close(fd);
    return Report(err, Msg("CAN'T GET FILE SIZE OR EMPTY TRANSLATIONS FILE %s - ERROR %d", path, plat::GetLastError())),
           0;
  }
  // The whole file is held three times over (bytes, UTF-16, pairs): a file
  // beyond any real table is refused as memory that cannot be had, rather
  // than tried and the process ended by the failed allocation.
  std::string bytes;
  try {
    if (st.st_size > kMaxTableFile) throw std::bad_alloc();
    bytes.assign(static_cast<size_t>(st.st_size), '\0');
  } catch (const std::bad_alloc&) {
    plat::Fail(plat::kErrNotEnoughMemory);
    close(fd);
    return Report(err, Msg("CAN'T ALLOCATE MEMORY FOR TRANSLATIONS FILE %s - ERROR %d", path, plat::GetLastError())), 0;
  }
  size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t n = read(fd, bytes.data() + got, bytes.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  if (got != bytes.size()) {
    plat::FailErrno(errno ? errno : EIO);
    close(fd);
    return Report(err, Msg("CAN'T READ TRANSLATIONS FILE %s - ERROR %d", path, plat::GetLastError())), 0;
  }
  close(fd);
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF && static_cast<unsigned char>(bytes[1]) == 0xFE) {
    t.text.assign(reinterpret_cast<const char16_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
  } else {
    size_t skip = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    if (!Codec_Utf8ToUtf16(bytes.data() + skip, bytes.size() - skip, &t.text))
      t.text = Codec_Cp1252ToUtf16(bytes.data() + skip, bytes.size() - skip);  // older single-byte files
  }
  if (Parse(t.text, &t) == 0) {
    t = Table{};
    plat::Fail(plat::kErrInvalidData);
    Report(err, Msg("NO TRANSLATIONS PARSED IN FILE %s - USE <tab> or <comma> as a SEPARATOR", path, 0));
    return 0;
  }
  return 1;
}

int Xlat_LoadTable(const char* server, int row, const char* tableName, char* err) {
  const char* dir = Srv_GetDirectory(server, "CDX_TRANSLATIONS");
  if (!dir) {
    if (plat::GetLastError() == 0) plat::Fail(plat::kErrPathNotFound);
    char buf[100];
    snprintf(buf, sizeof buf, "CAN'T ACCESS TRANSLATIONS DIRECTORY - ERROR %d", static_cast<int>(plat::GetLastError()));
    Report(err, buf);
    return 0;
  }
  const std::string copy = dir;  // the directory lives in a buffer the next lookup overwrites
  return Xlat_LoadTableFromDir(copy.c_str(), row, tableName, err);
}

int Xlat_LoadTables(const char* server, char* err) {
  g_loaded = true;
  static const char* const kNames[3] = {"tags", "descriptions", "units"};
  for (int row = 0; row < 3; ++row)
    if (!Xlat_LoadTable(server, row, kNames[row], err)) return 0;
  return 1;
}

void Xlat_FreeTables() {
  for (Table& t : g_tables) t = Table{};
  g_loaded = false;
}

const char* Xlat_ServerName() {
  static char name[1285];
  uint32_t type = 0, size = sizeof name - 1;
  if (Reg_AccessValue(plat::HKEY_CURRENT_USER, "SOFTWARE\\Quillomatic\\Coordinatrix", plat::KEY_QUERY_VALUE,
                      "ServerName", &type, name, &size) == 0) {
    name[std::min<uint32_t>(size, sizeof name - 1)] = 0;
    if (name[0]) return name;
  }
  snprintf(name, sizeof name, "%s", plat::ComputerName().c_str());
  return name;
}

int Xlat_Lookup(int row, const char* text, char16_t* result, size_t size) {
  if (!text || !result || size == 0) return 0;
  Widen(text, result, size);
  if (row < 0 || row > 2) return 0;
  if (!g_loaded) Xlat_LoadTables(Xlat_ServerName(), nullptr);
  std::u16string key(result);
  for (const auto& [k, v] : g_tables[row].pairs) {
    if (!EqualNoCase(k, key)) continue;
    const size_t n = std::min(v.size(), size - 1);
    memcpy(result, v.data(), n * sizeof(char16_t));
    result[n] = 0;
    return 1;
  }
  return 0;
}

// For tests and tools that load the tables from a known directory: marks
// them loaded so that a lookup does not try the server's directory.
void Xlat_MarkLoaded() { g_loaded = true; }

const char16_t* Xlat_Tag(const ChannelConfig& c) {
  static char16_t buf[kXlatTagSize];
  Xlat_Lookup(kXlatTags, Chan_GetTag(c), buf, kXlatTagSize);
  return buf;
}

const char16_t* Xlat_Description(const ChannelConfig& c) {
  static char16_t buf[kXlatDescSize];
  Xlat_Lookup(kXlatDescriptions, Chan_GetDescription(c), buf, kXlatDescSize);
  return buf;
}

const char16_t* Xlat_Units(const ChannelConfig& c) {
  static char16_t buf[kXlatUnitsSize];
  Xlat_Lookup(kXlatUnits, Chan_GetUnits(c), buf, kXlatUnitsSize);
  return buf;
}

// ---------------------------------------------------------------- wide field

namespace {

void StoreWide(unsigned char* field, uint32_t* flags, const char16_t* text) {
  size_t n = 0;
  bool wide = false;
  while (text && text[n] && n < kWideFieldSize) wide |= text[n++] >= 256;
  memset(field, 0, kWideFieldSize);
  if (wide) {
    field[0] = 0x00;
    field[1] = 0xFF;
    const size_t m = std::min<size_t>(n, (kWideFieldSize - 2) / 2);
    memcpy(field + 2, text, m * 2);
  } else {
    std::string utf8;
    const std::u16string s(text ? text : u"", n);
    if (Codec_Utf16ToUtf8(s, &utf8) && utf8.size() <= kWideFieldSize) {
      memcpy(field, utf8.data(), utf8.size());
    } else {
      for (size_t i = 0; i < n; ++i) field[i] = static_cast<unsigned char>(s[i]);
    }
  }
  if (flags) *flags |= 1u;
}

const char16_t* ReadWide(const unsigned char* field, uint32_t flags, char16_t* out) {
  out[0] = 0;
  if (!(flags & 1u)) return out;
  if (field[0] == 0x00 && field[1] == 0xFF) {
    size_t i = 0;
    for (; i < (kWideFieldSize - 2) / 2; ++i) {
      char16_t c;
      memcpy(&c, field + 2 + 2 * i, 2);
      if (!c) break;
      out[i] = c;
    }
    out[i] = 0;
    return out;
  }
  size_t len = 0;
  while (len < kWideFieldSize && field[len]) ++len;
  std::u16string s;
  if (!Codec_Utf8ToUtf16(reinterpret_cast<const char*>(field), len, &s))
    s = Codec_Cp1252ToUtf16(reinterpret_cast<const char*>(field), len);
  const size_t n = std::min<size_t>(s.size(), kWideFieldSize);
  memcpy(out, s.data(), n * 2);
  out[n] = 0;
  return out;
}

}  // namespace

void Xlat_StoreWideText(unsigned char field[kWideFieldSize], uint32_t* flags, const char16_t* text) {
  StoreWide(field, flags, text);
}
void Xlat_StoreWideText64(unsigned char field[kWideFieldSize], uint32_t* flags, const char16_t* text) {
  StoreWide(field, flags, text);
}
const char16_t* Xlat_ReadWideText32(const unsigned char field[kWideFieldSize], uint32_t flags) {
  static char16_t buf[kWideFieldSize + 1];
  return ReadWide(field, flags, buf);
}
const char16_t* Xlat_ReadWideText64(const unsigned char field[kWideFieldSize], uint32_t flags) {
  static char16_t buf[kWideFieldSize + 1];
  return ReadWide(field, flags, buf);
}
