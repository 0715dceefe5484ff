// Generic operation slots shared by many descriptors, and the numeric,
// boolean and id families.
#include <cassert>
#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <locale.h>

#include "base/memory/typedmem.h"
#include "base/structs/structs.h"
#include "base/structs/structs_internal.h"

namespace structs_detail {

locale_t CLocale() {
  static locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  return loc;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

int LowerAscii(int c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }

bool EqualNoCase(const char* a, const char* b) {
  for (; *a && *b; ++a, ++b)
    if (LowerAscii(static_cast<unsigned char>(*a)) != LowerAscii(static_cast<unsigned char>(*b))) return false;
  return *a == *b;
}

int FormatC(char* buf, size_t size, const char* fmt, ...) {
  // The process may run in a user locale (decimal comma); the text forms
  // are always those of the C locale.
  locale_t old = uselocale(CLocale());
  va_list args;
  va_start(args, fmt);
  int n = std::vsnprintf(buf, size, fmt, args);
  va_end(args);
  uselocale(old);
  return n;
}

char* Dup(const char* mtag, const char* text) {
  char* s = TypedMem_Strdup(mtag, text);
  if (!s) errno = ENOMEM;
  return s;
}

}  // namespace structs_detail

using namespace structs_detail;

// ---- generic slots ----------------------------------------------------------------

int Structs_ZeroInit(const StructsType* type, void* value) {
  std::memset(value, 0, type->size);
  return 0;
}

int Structs_ByteCopy(const StructsType* type, const void* from, void* to) {
  std::memmove(to, from, type->size);
  return 0;
}

int Structs_ByteEqual(const StructsType* type, const void* a, const void* b) {
  return std::memcmp(a, b, type->size) == 0;
}

static int EncodeBytes(const StructsType* type, const char* mtag, StructsData* out, const void* value, bool reverse) {
  out->length = 0;
  out->data = nullptr;
  const uint32_t n = type->size;
  uint8_t* bytes = static_cast<uint8_t*>(TypedMem_Realloc(mtag, nullptr, n ? n : 1));
  if (!bytes) return errno = ENOMEM, -1;
  const uint8_t* v = static_cast<const uint8_t*>(value);
  for (uint32_t i = 0; i < n; ++i) bytes[i] = reverse ? v[n - 1 - i] : v[i];
  out->length = n;
  out->data = bytes;
  return 0;
}

static int DecodeBytes(const StructsType* type, const uint8_t* code, size_t cmax, void* value, char* ebuf,
                       size_t emax, bool reverse) {
  const uint32_t n = type->size;
  if (reverse && n > 16) return errno = ERANGE, -1;
  if (cmax < n) {
    // The value is left as it was: a partial value is of no use.
    Structs_SetError(ebuf, emax, "encoded data is truncated");
    return errno = EINVAL, -1;
  }
  uint8_t* v = static_cast<uint8_t*>(value);
  for (uint32_t i = 0; i < n; ++i) v[i] = reverse ? code[n - 1 - i] : code[i];
  return static_cast<int>(n);
}

int Structs_ReversedEncode(const StructsType* type, const char* mtag, StructsData* out, const void* value) {
  return EncodeBytes(type, mtag, out, value, true);
}

int Structs_ReversedDecode(const StructsType* type, const uint8_t* code, size_t cmax, void* value, char* ebuf,
                           size_t emax) {
  return DecodeBytes(type, code, cmax, value, ebuf, emax, true);
}

int Structs_PlainEncode(const StructsType* type, const char* mtag, StructsData* out, const void* value) {
  return EncodeBytes(type, mtag, out, value, false);
}

int Structs_PlainDecode(const StructsType* type, const uint8_t* code, size_t cmax, void* value, char* ebuf,
                        size_t emax) {
  // No size limit: plain bytes need no reversal buffer, and fixed data of
  // any size must read back what it encoded.
  return DecodeBytes(type, code, cmax, value, ebuf, emax, false);
}

void Structs_NoRelease(const StructsType*, void*) {}

int Structs_UnsupportedInit(const StructsType*, void*) { return errno = kStructsErrNotImplemented, -1; }
int Structs_UnsupportedCopy(const StructsType*, const void*, void*) {
  return errno = kStructsErrNotImplemented, -1;
}
int Structs_UnsupportedEqual(const StructsType*, const void*, const void*) {
  errno = kStructsErrNotImplemented;
  return -1;
}
char* Structs_UnsupportedToText(const StructsType*, const char*, const void*) {
  errno = kStructsErrNotImplemented;
  return nullptr;
}
int Structs_UnsupportedFromText(const StructsType*, const char*, void*, char* ebuf, size_t emax) {
  Structs_SetError(ebuf, emax, "parsing from ASCII is not supported by this structs type");
  return errno = kStructsErrNotImplemented, -1;
}
int Structs_UnsupportedEncode(const StructsType*, const char*, StructsData* out, const void*) {
  out->length = 0;
  out->data = nullptr;
  return errno = kStructsErrNotImplemented, -1;
}
int Structs_UnsupportedDecode(const StructsType*, const uint8_t*, size_t, void*, char* ebuf, size_t emax) {
  Structs_SetError(ebuf, emax, "binary decoding is not supported by this structs type");
  return errno = kStructsErrNotImplemented, -1;
}

// ---- integers -------------------------------------------------------------------------

static const uint32_t kIntWidth[8] = {1, 2, 4, 4, 1, 2, 4, 8};

char* Structs_IntToText(const StructsType* type, const char* mtag, const void* value) {
  const uintptr_t code = type->args[0].num, style = type->args[1].num;
  if (code > 7) return errno = EDOM, nullptr;
  char buf[32];
  const uint32_t width = kIntWidth[code];
  if (width == 8) {
    uint64_t v;
    std::memcpy(&v, value, 8);
    if (style == 1)
      FormatC(buf, sizeof buf, "%lld", static_cast<long long>(v));
    else if (style == 2)
      FormatC(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
    else
      FormatC(buf, sizeof buf, "%llu", static_cast<unsigned long long>(v));
  } else {
    // Read in the value's own width; sign-extended only for the signed style.
    uint32_t u = 0;
    int32_t s = 0;
    if (width == 1) {
      uint8_t b;
      std::memcpy(&b, value, 1);
      u = b;
      s = static_cast<int8_t>(b);
    } else if (width == 2) {
      uint16_t h;
      std::memcpy(&h, value, 2);
      u = h;
      s = static_cast<int16_t>(h);
    } else {
      std::memcpy(&u, value, 4);
      s = static_cast<int32_t>(u);
    }
    if (style == 1)
      FormatC(buf, sizeof buf, "%d", s);
    else if (style == 2)
      FormatC(buf, sizeof buf, width == 1 ? "0x%02x" : "0x%x", u);
    else
      FormatC(buf, sizeof buf, "%u", u);
  }
  return Dup(mtag, buf);
}

int Structs_IntFromText(const StructsType* type, const char* text, void* value, char* ebuf, size_t emax) {
  const uintptr_t code = type->args[0].num, style = type->args[1].num;
  if (code > 7) return errno = EDOM, -1;
  char* end = nullptr;
  errno = 0;
  const long long v = strtoll_l(text, &end, 0, CLocale());
  const bool overflow = errno == ERANGE;
  if (end == text) {
    Structs_SetError(ebuf, emax, "invalid integer value");
    return errno = EINVAL, -1;
  }
  while (IsBlank(*end)) ++end;
  if (*end) return errno = EINVAL, -1;
  const uint32_t width = kIntWidth[code];
  bool bad = overflow || (style == 0 && v < 0);
  if (width == 1)
    bad = bad || v < -128 || v > 255;
  else if (width == 2)
    bad = bad || v < -32768 || v > 65535;
  else if (width == 4)
    bad = bad || v < -2147483648LL || v > 4294967295LL;
  if (bad) {
    Structs_SetError(ebuf, emax, "integer value is out of range");
    return errno = EINVAL, -1;
  }
  // The low bytes of the value in the field's width (little-endian).
  const uint64_t u = static_cast<uint64_t>(v);
  uint8_t bytes[8];
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(u >> (8 * i));
  std::memcpy(value, bytes, width);
  return 0;
}

// ---- booleans ---------------------------------------------------------------------------

static const char* const kBoolWords[5][2] = {
    {"False", "True"}, {"No", "Yes"}, {"Off", "On"}, {"Disabled", "Enabled"}, {"0", "1"}};

char* Structs_BooleanToText(const StructsType* type, const char* mtag, const void* value) {
  bool on;
  if (type->args[0].num == 0) {
    uint8_t b;
    std::memcpy(&b, value, 1);
    on = b != 0;
  } else {
    uint32_t w;
    std::memcpy(&w, value, 4);
    on = w != 0;
  }
  const uintptr_t pair = type->args[1].num;
  assert(pair < 5);
  return Dup(mtag, kBoolWords[pair < 5 ? pair : 0][on ? 1 : 0]);
}

int Structs_BooleanFromText(const StructsType* type, const char* text, void* value, char* ebuf, size_t emax) {
  while (IsBlank(*text)) ++text;
  size_t n = std::strlen(text);
  while (n && IsBlank(text[n - 1])) --n;
  if (n > 63) n = 63;
  char word[64];
  std::memcpy(word, text, n);
  word[n] = 0;
  for (const auto& pair : kBoolWords) {
    for (int on = 0; on < 2; ++on) {
      if (!EqualNoCase(word, pair[on])) continue;
      if (type->args[0].num == 0) {
        const uint8_t b = static_cast<uint8_t>(on);
        std::memcpy(value, &b, 1);
      } else {
        const uint32_t w = static_cast<uint32_t>(on);
        std::memcpy(value, &w, 4);
      }
      return 0;
    }
  }
  Structs_SetError(ebuf, emax, "invalid Boolean value");
  return errno = EINVAL, -1;
}

// ---- floats --------------------------------------------------------------------------------

static bool IsDouble(const StructsType* type) {
  assert(type->args[0].num <= 1);
  return type->args[0].num == 1;
}

int Structs_FloatEqual(const StructsType* type, const void* a, const void* b) {
  if (IsDouble(type)) {
    double x, y;
    std::memcpy(&x, a, 8);
    std::memcpy(&y, b, 8);
    return x == y;
  }
  float x, y;
  std::memcpy(&x, a, 4);
  std::memcpy(&y, b, 4);
  return x == y;
}

char* Structs_FloatToText(const StructsType* type, const char* mtag, const void* value) {
  double d;
  if (IsDouble(type)) {
    std::memcpy(&d, value, 8);
  } else {
    float f;
    std::memcpy(&f, value, 4);
    d = f;
  }
  char buf[40];
  FormatC(buf, sizeof buf, "%.16g", d);
  return Dup(mtag, buf);
}

int Structs_FloatFromText(const StructsType* type, const char* text, void* value, char* ebuf, size_t emax) {
  // A decimal number only: the C library would also take "inf", "nan" and
  // hexadecimal floats.
  const char* p = text;
  while (IsBlank(*p)) ++p;
  if (*p == '+' || *p == '-') ++p;
  const bool decimal = (*p >= '0' && *p <= '9' && !(p[0] == '0' && (p[1] == 'x' || p[1] == 'X'))) ||
                       (*p == '.' && p[1] >= '0' && p[1] <= '9');
  char* end = const_cast<char*>(text);
  double d = 0;
  errno = 0;
  if (decimal) d = strtod_l(text, &end, CLocale());
  const bool range = errno == ERANGE;
  if (end != text)
    while (IsBlank(*end)) ++end;
  if (end == text || *end) {
    Structs_SetError(ebuf, emax, "invalid floating point value");
    return errno = EINVAL, -1;
  }
  if (range && d == 0) {
    Structs_SetError(ebuf, emax, "floating point value underflow");
    return errno = EINVAL, -1;
  }
  if (range && std::isinf(d)) {
    Structs_SetError(ebuf, emax, "floating point value overflow");
    return errno = EINVAL, -1;
  }
  if (IsDouble(type)) {
    std::memcpy(value, &d, 8);
    return 0;
  }
  if (d != 0) {
    const double mag = std::fabs(d);
    if (mag < 5.877473155409902e-39) {
      Structs_SetError(ebuf, emax, "floating point value underflow");
      return errno = EINVAL, -1;
    }
    // Overflow only where the value would round to infinity: the largest
    // float printed with 16 digits reads back a little above FLT_MAX and
    // must still give FLT_MAX. The midpoint between FLT_MAX and the next
    // power of two rounds (to even) up to infinity.
    if (mag >= 0x1.ffffffp127) {
      Structs_SetError(ebuf, emax, "floating point value overflow");
      return errno = EINVAL, -1;
    }
  }
  const float f = static_cast<float>(d);
  std::memcpy(value, &f, 4);
  return 0;
}

// ---- ids -----------------------------------------------------------------------------------------

static void StoreId(const StructsType* type, void* value, uint32_t v) {
  switch (type->size) {
    case 1: {
      const uint8_t b = static_cast<uint8_t>(v);
      std::memcpy(value, &b, 1);
      break;
    }
    case 2: {
      const uint16_t h = static_cast<uint16_t>(v);
      std::memcpy(value, &h, 2);
      break;
    }
    case 4:
      std::memcpy(value, &v, 4);
      break;
    default:
      assert(!"id width must be 1, 2 or 4");
  }
}

int Structs_IdInit(const StructsType* type, void* value) {
  const StructsIdEntry* table = type->args[0].ids;
  std::memset(value, 0, type->size);
  if (table && table[0].name) StoreId(type, value, table[0].value);
  return 0;
}

char* Structs_IdToText(const StructsType* type, const char* mtag, const void* value) {
  uint32_t v = 0;
  switch (type->size) {
    case 1: {
      uint8_t b;
      std::memcpy(&b, value, 1);
      v = b;
      break;
    }
    case 2: {
      uint16_t h;
      std::memcpy(&h, value, 2);
      v = h;
      break;
    }
    case 4:
      std::memcpy(&v, value, 4);
      break;
    default:
      assert(!"id width must be 1, 2 or 4");
  }
  for (const StructsIdEntry* e = type->args[0].ids; e && e->name; ++e)
    if (e->value == v) return Dup(mtag, e->name);
  return Dup(mtag, "INVALID");
}

int Structs_IdFromText(const StructsType* type, const char* text, void* value, char* ebuf, size_t emax) {
  for (const StructsIdEntry* e = type->args[0].ids; e && e->name; ++e) {
    if (e->nocase ? EqualNoCase(text, e->name) : std::strcmp(text, e->name) == 0) {
      StoreId(type, value, e->value);
      return 0;
    }
  }
  Structs_SetError(ebuf, emax, "invalid value \"%s\"", text);
  return errno = EINVAL, -1;
}
