#include "cdxlib/records/chanconfig.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <string>
#include <vector>

#include "cdxlib/sys/registry.h"

namespace {

unsigned char* Bytes(ChannelConfig* c) { return reinterpret_cast<unsigned char*>(c); }
const unsigned char* Bytes(const ChannelConfig& c) { return reinterpret_cast<const unsigned char*>(&c); }

struct TextPart {
  size_t offset;
  size_t width;
};

constexpr TextPart kTagParts[] = {{0, kTagPart1Len}, {kTagPart2Offset, kTagPart2Len}, {kTagPart3Offset, kTagPart3Len}};
constexpr TextPart kDescParts[] = {{8, kDescPart1Len}, {kDescriptionPart2Offset, kDescPart2Len}};
constexpr TextPart kUnitsParts[] = {{32, kUnitsPart1Len}, {161, kUnitsPart2Len}};

// Joins the parts into out (room for the sum of the widths and a zero). A
// part that starts with a zero ends the text.
template <size_t N>
const char* JoinParts(const ChannelConfig& c, const TextPart (&parts)[N], char* out) {
  size_t n = 0;
  for (const TextPart& p : parts) {
    const unsigned char* src = Bytes(c) + p.offset;
    if (src[0] == 0) break;
    for (size_t i = 0; i < p.width && src[i] != 0; ++i) out[n++] = static_cast<char>(src[i]);
  }
  out[n] = 0;
  return out;
}

// Splits text over the parts: each part that the text reaches gets its
// characters, zero-filled; every later part the text does not reach gets a
// zero in its first byte (the rest of its bytes are kept).
template <size_t N>
void SplitParts(ChannelConfig* c, const TextPart (&parts)[N], const char* text) {
  if (!text) text = "";
  const size_t len = strlen(text);
  size_t start = 0;
  for (size_t k = 0; k < N; ++k) {
    unsigned char* dst = Bytes(c) + parts[k].offset;
    if (k > 0 && len <= start) {
      dst[0] = 0;
      start += parts[k].width;
      continue;
    }
    const size_t take = len > start ? std::min(parts[k].width, len - start) : 0;
    memcpy(dst, text + start, take);
    memset(dst + take, 0, parts[k].width - take);
    start += parts[k].width;
  }
}

}  // namespace

uint32_t Chan_GetFlagWord(const ChannelConfig& c) {
  uint32_t w;
  memcpy(&w, c.Flags, sizeof w);
  return w;
}

void Chan_SetFlagWord(ChannelConfig* c, uint32_t word) { memcpy(c->Flags, &word, sizeof word); }

bool Chan_TestFlag(const ChannelConfig& c, int index) {
  if (index < 0 || index >= 32) return false;
  return (c.Flags[index / 8] & (0x80u >> (index % 8))) != 0;
}

void Chan_SetFlag(ChannelConfig* c, int index, bool on) {
  if (index < 0 || index >= 32) return;
  const uint8_t mask = static_cast<uint8_t>(0x80u >> (index % 8));
  if (on)
    c->Flags[index / 8] |= mask;
  else
    c->Flags[index / 8] &= static_cast<uint8_t>(~mask);
}

const char* Chan_GetTag(const ChannelConfig& c) {
  static char buf[kTagMax + 1];
  return JoinParts(c, kTagParts, buf);
}

const char* Chan_GetDescription(const ChannelConfig& c) {
  static char buf[kDescMax + 1];
  return JoinParts(c, kDescParts, buf);
}

const char* Chan_GetUnits(const ChannelConfig& c) {
  static char buf[kUnitsMax + 1];
  // The units places of a digital record hold its state text and reserved
  // bytes: a digital channel has no units.
  if (Chan_IsDigital(c.Type)) {
    buf[0] = 0;
    return buf;
  }
  return JoinParts(c, kUnitsParts, buf);
}

void Chan_SetTag(ChannelConfig* c, const char* text) { SplitParts(c, kTagParts, text); }
void Chan_SetDescription(ChannelConfig* c, const char* text) { SplitParts(c, kDescParts, text); }
void Chan_SetUnits(ChannelConfig* c, const char* text) {
  if (Chan_IsDigital(c->Type)) return;  // would overwrite the high-state text
  SplitParts(c, kUnitsParts, text);
}

namespace {

// An editor length from the registry: the first hive that has the value
// decides; a value that is not 4 bytes or lies outside 1..maximum gives the
// maximum.
int SizeSetting(const char* valueName, int maximum) {
  for (plat::HKEY hive : {plat::HKEY_CURRENT_USER, plat::HKEY_LOCAL_MACHINE}) {
    unsigned char data[8] = {};
    uint32_t type = 0, size = sizeof data;
    if (Reg_AccessValue(hive, "SOFTWARE\\Quillomatic\\Coordinatrix", plat::KEY_QUERY_VALUE, valueName, &type, data,
                        &size) != 0)
      continue;
    if (size != 4) return maximum;
    uint32_t v;
    memcpy(&v, data, 4);
    return v >= 1 && v <= static_cast<uint32_t>(maximum) ? static_cast<int>(v) : maximum;
  }
  return maximum;
}

}  // namespace

int Chan_TagSize() { return SizeSetting("TagSize", kTagMax); }
int Chan_DescSize() { return SizeSetting("DescSize", kDescMax); }
int Chan_UnitsSize() { return SizeSetting("UnitsSize", kUnitsMax); }

const char* Chan_KindName(int kind) {
  static const char* const kNames[kChannelKindCount] = {"ai", "di", "ao", "do", "ci", "dc", "dc"};
  return kind >= 0 && kind < kChannelKindCount ? kNames[kind] : nullptr;
}

const char* Chan_ShortName(const char* loggerType, const char* name) {
  static char result[48];
  if (!name) name = "";
  if (strlen(name) <= 15) {
    snprintf(result, sizeof result, "%s", name);
    return result;
  }
  char copy[130];
  snprintf(copy, sizeof copy, "%s", name);

  const bool resub = loggerType && strncasecmp(loggerType, "resub", 5) == 0;
  std::vector<size_t> seps;  // positions of '_'
  for (size_t i = 0; copy[i]; ++i)
    if (copy[i] == '_') seps.push_back(i);
  if (!resub || seps.size() < 4) {
    snprintf(result, sizeof result, "%.47s", copy);
    return result;
  }
  auto part = [&](size_t k) {  // text between separator k-1 and k (k 1..)
    const size_t from = seps[k - 1] + 1;
    const size_t to = k < seps.size() ? seps[k] : strlen(copy);
    return std::string(copy + from, to - from);
  };
  const std::string b = part(1), c = part(2), d = part(3), e = part(4);
  char head[64];
  snprintf(head, sizeof head, "%-1.2s_%1.12s", b.c_str(), c.c_str());
  char tail[64];
  const char* sixth = seps.size() >= 5 ? copy + seps[4] + 1 : nullptr;
  if (sixth && sixth[0] != 0) {
    snprintf(tail, sizeof tail, "_%-1.14s_%-1.14s_%c", d.c_str(), e.c_str(), sixth[0]);
  } else {
    const char* rest = copy + seps[3] + 1;
    snprintf(tail, sizeof tail, "_%-1.15s_%-1.15s", d.c_str(), rest);
  }
  std::string joined = head;
  joined.resize(std::max<size_t>(joined.size(), 15), ' ');
  joined += tail;
  snprintf(result, sizeof result, "%.47s", joined.c_str());
  return result;
}

const char* Chan_ExpName(const char* loggerType, const char* name) {
  static char result[48];
  snprintf(result, sizeof result, "EXP %s", Chan_ShortName(loggerType, name));
  return result;
}
