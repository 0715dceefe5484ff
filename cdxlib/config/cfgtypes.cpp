#include "cdxlib/config/cfgtypes.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <strings.h>

#include "base/memory/typedmem.h"
#include "base/structs/structs_item.h"
#include "cdxlib/records/chanconfig.h"
#include "cdxlib/config/cipher.h"
#include "cdxlib/sys/registry.h"
#include "cdxlib/sys/textutil.h"
#include "platform/url.h"

namespace {

constexpr const char* kTooLong = "string is too long for bounded length buffer";

char* Dup(const char* mtag, const char* text, size_t n) {
  char* t = static_cast<char*>(TypedMem_Realloc(mtag, nullptr, n + 1));
  if (!t) return errno = ENOMEM, nullptr;
  memcpy(t, text, n);
  t[n] = 0;
  return t;
}
char* Dup(const char* mtag, const char* text) { return Dup(mtag, text, strlen(text)); }
char* Dup(const char* mtag, const std::string& text) { return Dup(mtag, text.data(), text.size()); }

int Fail(char* ebuf, size_t emax, const char* message) {
  Structs_SetError(ebuf, emax, "%s", message);
  return errno = EINVAL, -1;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// True for a non-empty, even run of hex digits: the only text taken for
// ciphertext (a plain password may well begin with "enc").
bool IsCipherHex(const char* s) {
  const size_t n = strlen(s);
  if (n == 0 || n % 2) return false;
  for (size_t i = 0; i < n; ++i)
    if (HexValue(s[i]) < 0) return false;
  return true;
}

// Stores text into a text field of size bytes, zero-filled after it.
int StoreText(const StructsType* type, const char* text, void* value, char* ebuf, size_t emax) {
  const size_t n = strlen(text);
  if (n + 1 > type->size) return Fail(ebuf, emax, kTooLong);
  memcpy(value, text, n);
  memset(static_cast<char*>(value) + n, 0, type->size - n);
  return 0;
}

std::string FieldText(const StructsType* type, const void* value) {
  const char* s = static_cast<const char*>(value);
  return cdxtext::FixedText(s, type->size);
}

}  // namespace

// ---------------------------------------------------------------- bitfield

constinit const StructsIdEntry cfg_ids_off_on[] = {{"Off", 0, 0}, {"On", 1, 0}, {nullptr, 0, 0}};
constinit const StructsIdEntry cfg_ids_low_high[] = {{"Low", 0, 0}, {"High", 1, 0}, {nullptr, 0, 0}};

namespace {
uint8_t* FlagByte(const StructsType* type, const void* value) {
  const uintptr_t index = type->args[1].num;
  return const_cast<uint8_t*>(static_cast<const uint8_t*>(value)) - type->args[0].num + index / 8;
}
uint8_t FlagMask(const StructsType* type) { return static_cast<uint8_t>(0x80u >> (type->args[1].num % 8)); }
}  // namespace

char* CfgType_BitToText(const StructsType* type, const char* mtag, const void* value) {
  const uint32_t bit = (*FlagByte(type, value) & FlagMask(type)) ? 1 : 0;
  for (const StructsIdEntry* e = type->args[2].ids; e && e->name; ++e)
    if (e->value == bit) return Dup(mtag, e->name);
  return Dup(mtag, "INVALID");
}

int CfgType_BitFromText(const StructsType* type, const char* text, void* value, char* ebuf, size_t emax) {
  for (const StructsIdEntry* e = type->args[2].ids; e && e->name; ++e) {
    if (!(e->nocase ? strcasecmp(text, e->name) == 0 : strcmp(text, e->name) == 0)) continue;
    uint8_t* byte = FlagByte(type, value);
    if (e->value)
      *byte = static_cast<uint8_t>(*byte | FlagMask(type));
    else
      *byte = static_cast<uint8_t>(*byte & ~FlagMask(type));
    return 0;
  }
  Structs_SetError(ebuf, emax, "invalid value \"%s\"", text);
  return errno = EINVAL, -1;
}

// ---------------------------------------------------------------- channel texts

namespace {
constexpr uintptr_t kChanTagAt = 0, kChanDescriptionAt = 8, kChanUnitsAt = 32;

ChannelConfig* RecordOf(const StructsType* type, const void* value) {
  return reinterpret_cast<ChannelConfig*>(const_cast<char*>(static_cast<const char*>(value)) - type->args[0].num);
}
}  // namespace

char* CfgType_ChanTextToText(const StructsType* type, const char* mtag, const void* value) {
  const char* text;
  switch (type->args[0].num) {
    case kChanTagAt:
      text = Chan_GetTag(*RecordOf(type, value));
      break;
    case kChanDescriptionAt:
      text = Chan_GetDescription(*RecordOf(type, value));
      break;
    case kChanUnitsAt:
      text = Chan_GetUnits(*RecordOf(type, value));
      break;
    default:
      return Dup(mtag, "INVALID");
  }
  return Dup(mtag, text, strnlen(text, type->size));
}

int CfgType_ChanTextFromText(const StructsType* type, const char* text, void* value, char* ebuf, size_t emax) {
  switch (type->args[0].num) {
    case kChanTagAt:
      Chan_SetTag(RecordOf(type, value), text);
      return 0;
    case kChanDescriptionAt:
      Chan_SetDescription(RecordOf(type, value), text);
      return 0;
    case kChanUnitsAt:
      Chan_SetUnits(RecordOf(type, value), text);
      return 0;
    default:
      Structs_SetError(ebuf, emax, "invalid value \"%s\"", text);
      return errno = EINVAL, -1;
  }
}

// ---------------------------------------------------------------- time

namespace {
bool TimeHasYear(const StructsType* type) { return type->args[0].num != 0; }
bool TimeWildcards(const StructsType* type) { return type->args[1].num != 0; }

void SkipBlanks(const char*& p) {
  while (IsBlank(*p)) ++p;
}

// One part: a run of '*' (wildcards allowed) or one or two digits 0..59.
bool ParsePart(const char*& p, bool wildcards, uint8_t* out) {
  SkipBlanks(p);
  if (*p == '*') {
    if (!wildcards) return false;
    while (*p == '*') ++p;
    *out = kCfgTimeAny;
    return true;
  }
  if (*p < '0' || *p > '9') return false;
  int v = *p++ - '0';
  if (*p >= '0' && *p <= '9') v = v * 10 + (*p++ - '0');
  if (v > 59) return false;
  *out = static_cast<uint8_t>(v);
  return true;
}
}  // namespace

char* CfgType_TimeToText(const StructsType* type, const char* mtag, const void* value) {
  const uint8_t* b = static_cast<const uint8_t*>(value);
  const bool wild = TimeWildcards(type);
  char part[4][8];
  for (int i = 0; i < 4; ++i) {
    if (wild && b[1 + i] == kCfgTimeAny)
      snprintf(part[i], sizeof part[i], "**");
    else
      snprintf(part[i], sizeof part[i], "%02d", b[1 + i]);
  }
  char text[64];
  if (TimeHasYear(type)) {
    char year[8];
    if (wild && b[0] == kCfgTimeAny)
      snprintf(year, sizeof year, "****");
    else
      snprintf(year, sizeof year, "%04d", b[0] + 1900);
    snprintf(text, sizeof text, "%s-%s-%sT%s:%s", year, part[0], part[1], part[2], part[3]);
  } else {
    snprintf(text, sizeof text, "%s-%sT%s:%s", part[0], part[1], part[2], part[3]);
  }
  return Dup(mtag, text);
}

int CfgType_TimeFromText(const StructsType* type, const char* text, void* value, char* ebuf, size_t emax) {
  const bool wild = TimeWildcards(type);
  uint8_t t[kCfgTimeSize] = {};
  const char* p = text;
  SkipBlanks(p);
  if (TimeHasYear(type)) {
    bool ok = false;
    if (*p == '*') {
      if (wild) {
        while (*p == '*') ++p;
        t[0] = kCfgTimeAny;
        ok = true;
      }
    } else {
      int year = 0, digits = 0;
      while (*p >= '0' && *p <= '9' && digits < 4) year = year * 10 + (*p++ - '0'), ++digits;
      if (digits > 0 && year >= 1900 && year <= 2154) {
        t[0] = static_cast<uint8_t>(year - 1900);
        ok = true;
      }
    }
    SkipBlanks(p);
    if (!ok || *p != '-') return Fail(ebuf, emax, "invalid year value");
    ++p;
  }
  // Month, day, hour, minute, each after its separator.
  static const char kSeparatorBefore[4] = {0, '-', 'T', ':'};
  for (int i = 0; i < 4; ++i) {
    if (kSeparatorBefore[i]) {
      SkipBlanks(p);
      if (*p != kSeparatorBefore[i]) return Fail(ebuf, emax, "invalid time value");
      ++p;
    }
    if (!ParsePart(p, wild, &t[1 + i])) return Fail(ebuf, emax, "invalid time value");
  }
  // Seconds may follow; they are not kept.
  SkipBlanks(p);
  if (*p == ':') {
    ++p;
    int digits = 0;
    while (*p >= '0' && *p <= '9' && digits < 2) ++p, ++digits;
    if (digits == 0) return Fail(ebuf, emax, "invalid time value");
    SkipBlanks(p);
  }
  if (*p) return Fail(ebuf, emax, "invalid time value");
  memcpy(value, t, kCfgTimeSize);
  return 0;
}

// ---------------------------------------------------------------- eol and sep

char* CfgType_EolToText(const StructsType* type, const char* mtag, const void* value) {
  const std::string s = FieldText(type, value);
  if (s == "\r\n") return Dup(mtag, "CR/LF");
  if (s == "\r") return Dup(mtag, "CR");
  if (s == "\n") return Dup(mtag, "LF");
  return Dup(mtag, s);
}

int CfgType_EolFromText(const StructsType* type, const char* text, void* value, char* ebuf, size_t emax) {
  if (!*text || strcasecmp(text, "CR/LF") == 0) return StoreText(type, "\r\n", value, ebuf, emax);
  if (strcasecmp(text, "LF") == 0) return StoreText(type, "\n", value, ebuf, emax);
  if (strcasecmp(text, "CR") == 0) return StoreText(type, "\r", value, ebuf, emax);
  return StoreText(type, text, value, ebuf, emax);
}

char* CfgType_SepToText(const StructsType* type, const char* mtag, const void* value) {
  const std::string s = FieldText(type, value);
  if (s == "\t") return Dup(mtag, "TAB");
  if (s == ",") return Dup(mtag, "COMMA");
  if (s == " ") return Dup(mtag, "SPACE");
  return Dup(mtag, s);
}

int CfgType_SepFromText(const StructsType* type, const char* text, void* value, char* ebuf, size_t emax) {
  if (!*text || strcasecmp(text, "COMMA") == 0) return StoreText(type, ",", value, ebuf, emax);
  if (strcasecmp(text, "TAB") == 0) return StoreText(type, "\t", value, ebuf, emax);
  if (strcasecmp(text, "SPACE") == 0) return StoreText(type, " ", value, ebuf, emax);
  return StoreText(type, text, value, ebuf, emax);
}

// ---------------------------------------------------------------- bounded text

int CfgType_FixedTextEqual(const StructsType* type, const void* a, const void* b) {
  return strncmp(static_cast<const char*>(a), static_cast<const char*>(b), type->size) == 0;
}

int CfgType_TextEqual(const StructsType* type, const void* a, const void* b) {
  return strncmp(static_cast<const char*>(a), static_cast<const char*>(b), type->size) == 0;
}

char* CfgType_FixedTextToText(const StructsType* type, const char* mtag, const void* value) {
  const char* s = static_cast<const char*>(value);
  return Dup(mtag, s, strnlen(s, type->size));
}

int CfgType_FixedTextFromText(const StructsType* type, const char* text, void* value, char*, size_t) {
  // strncpy: the characters that fit, and zeros after them, so no stale
  // bytes of a former text stay behind the new one.
  strncpy(static_cast<char*>(value), text, type->size);
  return 0;
}

// ---------------------------------------------------------------- password

char* CfgType_PasswordToText(const StructsType* type, const char* mtag, const void* value) {
  const std::string plain = FieldText(type, value);
  if (plain.empty()) return Dup(mtag, "");
  char* text = Cipher_PasswordToText(plain.c_str());
  if (!text) return errno = EIO, nullptr;
  char* out = Dup(mtag, text);
  free(text);
  return out;
}

int CfgType_PasswordFromText(const StructsType* type, const char* text, void* value, char* ebuf, size_t emax) {
  if (type->size != kCfgPasswordSize) return StoreText(type, text, value, ebuf, emax);
  if (Cipher_PasswordFromText(text, static_cast<char*>(value), ebuf, emax) != 0) return errno = EINVAL, -1;
  return 0;
}

// ---------------------------------------------------------------- server

constinit const CfgEditionAccount cfg_edition_accounts[2] = {
    {"Tarvi", "TarviLogger", "tarvi"},
    {"Hexaplan", "HexaplanLogger", "hexap"},
};

const char* Cfg_EditionPassword(const CfgEditionAccount& edition) {
  // Kept apart in two pieces so the whole password stands nowhere in the
  // program's data.
  static char password[9];
  const bool tarvi = strcmp(edition.product, "Tarvi") == 0;
  snprintf(password, sizeof password, "%s%s", tarvi ? "Tv7q" : "Hx9w", tarvi ? "Lz4m" : "Rk2d");
  return password;
}

namespace {

bool IsWebScheme(const std::string& scheme) {
  return strcasecmp(scheme.c_str(), "http") == 0 || strcasecmp(scheme.c_str(), "https") == 0;
}

// A web address with a user and a password, split.
bool SplitCredentialAddress(const std::string& text, plat::UrlParts* parts) {
  return plat::SplitUrl(text, parts) && IsWebScheme(parts->scheme) && !parts->user.empty() &&
         !parts->password.empty();
}

// The stored password's %XX sequences back to bytes (a %00, which no text
// can hold, and a '%' without two hex digits stay as they are).
std::string PercentDecode(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && HexValue(s[i + 1]) >= 0 && HexValue(s[i + 2]) >= 0) {
      const char c = static_cast<char>(HexValue(s[i + 1]) * 16 + HexValue(s[i + 2]));
      if (c != 0) {
        out += c;
        i += 2;
        continue;
      }
    }
    out += s[i];
  }
  return out;
}

std::string HostPortPathExtra(const plat::UrlParts& p) {
  std::string s = p.host.find(':') != std::string::npos ? "[" + p.host + "]" : p.host;
  const bool secure = strcasecmp(p.scheme.c_str(), "https") == 0;
  if (p.port != (secure ? 443 : 80)) s += ":" + std::to_string(p.port);
  // The path and query select the web service's endpoint: they are kept.
  s += p.path.empty() ? "/" : p.path;
  s += p.extra;
  return s;
}

}  // namespace

int Cfg_RewriteEditionAccount(const char* product, std::string* user, std::string* password) {
  if (!product) return 0;
  for (const CfgEditionAccount& e : cfg_edition_accounts) {
    if (strcasecmp(product, e.product) != 0) continue;
    const size_t n = strlen(e.account);
    if (user->size() < n || strcasecmp(user->c_str() + user->size() - n, e.account) != 0) return 0;
    if (*password != e.defaultPassword) return 0;
    *user += "2";
    *password = Cfg_EditionPassword(e);
    return 1;
  }
  return 0;
}

char* CfgType_ServerToText(const StructsType* type, const char* mtag, const void* value) {
  const std::string text = FieldText(type, value);
  plat::UrlParts parts;
  if (!SplitCredentialAddress(text, &parts)) return Dup(mtag, text);
  const std::string password = PercentDecode(parts.password);
  std::string cipher(password.size(), '\0');
  if (EncryptWithPassphrase(password.c_str(), reinterpret_cast<uint8_t*>(cipher.data()), kServerPassphrase) !=
      static_cast<int>(password.size()))
    return errno = EIO, nullptr;  // never the password in plain text
  std::string hex(2 * cipher.size() + 1, '\0');
  Hex_Encode(hex.data(), reinterpret_cast<const uint8_t*>(cipher.data()), cipher.size());
  hex.resize(2 * cipher.size());
  const bool secure = strcasecmp(parts.scheme.c_str(), "https") == 0;
  const std::string out = std::string(secure ? "https" : "http") + "://" + parts.user + ":enc" + hex + "@" +
                          HostPortPathExtra(parts);
  return Dup(mtag, out);
}

int CfgType_ServerFromText(const StructsType* type, const char* text, void* value, char* ebuf, size_t emax) {
  plat::UrlParts parts;
  if (!SplitCredentialAddress(text, &parts)) return StoreText(type, text, value, ebuf, emax);
  std::string password = parts.password;
  if (strncasecmp(password.c_str(), "enc", 3) == 0 && IsCipherHex(password.c_str() + 3)) {
    const std::string hex = password.substr(3);
    std::string bytes(hex.size() / 2, '\0');
    const size_t n = Hex_Decode(reinterpret_cast<uint8_t*>(bytes.data()), hex.c_str(), bytes.size());
    std::string plain(n + 1, '\0');
    // A deciphered text must be a text: a zero byte inside means the
    // digits were not made with this key.
    if (!DecryptWithPassphrase(reinterpret_cast<const uint8_t*>(bytes.data()), n, plain.data(), plain.size(),
                               kServerPassphrase) ||
        strlen(plain.c_str()) != n)
      return Fail(ebuf, emax, "cannot decode sever password");
    plain.resize(n);
    password = plain;
  }
  std::string user = parts.user;
  Cfg_RewriteEditionAccount(Prod_GetProductName(), &user, &password);
  std::string stored = parts.scheme + "://" + user + ":";
  char pct[4];
  for (unsigned char c : password) {
    snprintf(pct, sizeof pct, "%%%02X", c);
    stored += pct;
  }
  stored += "@" + HostPortPathExtra(parts);
  return StoreText(type, stored.c_str(), value, ebuf, emax);
}

// ---------------------------------------------------------------- Cfg_ItemEqual

int Cfg_ItemEqual(const StructsType* type, const char* name, const void* a, const void* b) {
  void* pa = const_cast<void*>(a);
  void* pb = const_cast<void*>(b);
  const StructsType* ta = Structs_FindItem(type, name, &pa, 0);
  const StructsType* tb = Structs_FindItem(type, name, &pb, 0);
  if (!ta || !tb) return -1;
  return ta->equal(ta, pa, pb);
}

// ---------------------------------------------------------------- descriptors

namespace {

constexpr StructsType ChanTextType(uint32_t size, uintptr_t at) {
  return StructsType{size, "chanconfignstring", STRUCTS_TYPE_PRIMITIVE, Structs_UnsupportedInit,
                     Structs_UnsupportedCopy, Structs_UnsupportedEqual, CfgType_ChanTextToText,
                     CfgType_ChanTextFromText, Structs_UnsupportedEncode, Structs_UnsupportedDecode,
                     Structs_NoRelease, {StructsNum(at), StructsNum(0), StructsNum(0)}};
}

constexpr StructsType TimeType(uintptr_t withYear, uintptr_t wildcards) {
  return StructsType{kCfgTimeSize, "time", STRUCTS_TYPE_PRIMITIVE, Structs_ZeroInit, Structs_ByteCopy,
                     Structs_ByteEqual, CfgType_TimeToText, CfgType_TimeFromText, Structs_ReversedEncode,
                     Structs_ReversedDecode, Structs_NoRelease,
                     {StructsNum(withYear), StructsNum(wildcards), StructsNum(0)}};
}

constexpr StructsType TextType(uint32_t size, const char* name, StructsToTextFunc* toText,
                               StructsFromTextFunc* fromText) {
  return StructsType{size, name, STRUCTS_TYPE_PRIMITIVE, Structs_ZeroInit, Structs_ByteCopy, CfgType_TextEqual,
                     toText, fromText, Structs_StringEncode, Structs_StringDecode, Structs_NoRelease,
                     {StructsNum(0), StructsNum(0), StructsNum(0)}};
}

}  // namespace

constinit const StructsType cfg_type_chan_tag = ChanTextType(kTagMax, kChanTagAt);
constinit const StructsType cfg_type_chan_description = ChanTextType(kDescMax, kChanDescriptionAt);
constinit const StructsType cfg_type_chan_units = ChanTextType(kUnitsMax, kChanUnitsAt);

constinit const StructsType cfg_type_time = TimeType(1, 1);
constinit const StructsType cfg_type_period = TimeType(0, 0);

constinit const StructsType cfg_type_eol = TextType(kCfgEolSize, "eol", CfgType_EolToText, CfgType_EolFromText);
constinit const StructsType cfg_type_sep = TextType(kCfgSepSize, "sep", CfgType_SepToText, CfgType_SepFromText);
constinit const StructsType cfg_type_password =
    TextType(kCfgPasswordSize, "password", CfgType_PasswordToText, CfgType_PasswordFromText);
constinit const StructsType cfg_type_server =
    TextType(kCfgServerSize, "server", CfgType_ServerToText, CfgType_ServerFromText);

constinit const StructsType cfg_type_fixedtext2 = CfgType_FixedTextType(2);
constinit const StructsType cfg_type_fixedtext15 = CfgType_FixedTextType(15);
constinit const StructsType cfg_type_fixedtext32 = CfgType_FixedTextType(32);
