// Text and binary families: "string", "fixedstring", "data", "fixeddata".
#include <cerrno>
#include <climits>
#include <cstring>

#include "base/memory/typedmem.h"
#include "base/stream/base64.h"
#include "base/structs/structs.h"
#include "base/structs/structs_internal.h"

using namespace structs_detail;

// ---- string -----------------------------------------------------------------------

static const char* StringTag(const StructsType* type) { return type->args[0].text; }
static bool NullAllowed(const StructsType* type) { return type->args[1].num != 0; }

int Structs_StringInit(const StructsType* type, void* value) {
  char* s = nullptr;
  if (!NullAllowed(type) && !(s = Dup(StringTag(type), ""))) return -1;
  std::memcpy(value, &s, sizeof s);
  return 0;
}

int Structs_StringCopy(const StructsType* type, const void* from, void* to) {
  char* text = type->to_text(type, kStructsTagTemporary, from);
  if (!text) return -1;
  char* none = nullptr;
  std::memcpy(to, &none, sizeof none);
  const int r = type->from_text(type, text, to, nullptr, 0);
  TypedMem_Free(kStructsTagTemporary, text);
  return r;
}

int Structs_StringEqual(const StructsType* type, const void* a, const void* b) {
  const char *x, *y;
  std::memcpy(&x, a, sizeof x);
  std::memcpy(&y, b, sizeof y);
  if (NullAllowed(type)) {
    // A null and an empty text are the same value.
    if (!x) x = "";
    if (!y) y = "";
  } else if (!x || !y) {
    return x == y;
  }
  return std::strcmp(x, y) == 0;
}

char* Structs_StringToText(const StructsType*, const char* mtag, const void* value) {
  const char* s;
  std::memcpy(&s, value, sizeof s);
  return Dup(mtag, s ? s : "");
}

int Structs_StringFromText(const StructsType* type, const char* text, void* value, char*, size_t) {
  char* s = nullptr;
  if (!(NullAllowed(type) && !*text) && !(s = Dup(StringTag(type), text))) return -1;
  char* old;
  std::memcpy(&old, value, sizeof old);
  TypedMem_Free(StringTag(type), old);
  std::memcpy(value, &s, sizeof s);
  return 0;
}

void Structs_StringRelease(const StructsType* type, void* value) {
  char* s;
  std::memcpy(&s, value, sizeof s);
  TypedMem_Free(StringTag(type), s);
  s = nullptr;
  std::memcpy(value, &s, sizeof s);
}

int Structs_StringEncode(const StructsType* type, const char* mtag, StructsData* out, const void* value) {
  out->length = 0;
  out->data = nullptr;
  char* text = type->to_text(type, kStructsTagTemporary, value);
  if (!text) return -1;
  const size_t n = std::strlen(text) + 1;
  if (n > UINT32_MAX) {
    TypedMem_Free(kStructsTagTemporary, text);
    return errno = ERANGE, -1;
  }
  uint8_t* bytes = static_cast<uint8_t*>(TypedMem_Realloc(mtag, nullptr, n));
  if (!bytes) {
    TypedMem_Free(kStructsTagTemporary, text);
    return errno = ENOMEM, -1;
  }
  std::memcpy(bytes, text, n);
  TypedMem_Free(kStructsTagTemporary, text);
  out->length = static_cast<uint32_t>(n);
  out->data = bytes;
  return 0;
}

int Structs_StringDecode(const StructsType* type, const uint8_t* code, size_t cmax, void* value, char* ebuf,
                         size_t emax) {
  if (cmax > INT_MAX) cmax = INT_MAX;
  const void* zero = std::memchr(code, 0, cmax);
  if (!zero) {
    Structs_SetError(ebuf, emax, "encoded string is truncated");
    return errno = EINVAL, -1;
  }
  // The value is uninitialised: give it its initial value for FromText to
  // replace.
  if (type->init(type, value) != 0) return -1;
  if (type->from_text(type, reinterpret_cast<const char*>(code), value, ebuf, emax) != 0) {
    const int err = errno;
    type->release(type, value);
    errno = err;
    return -1;
  }
  return static_cast<int>(static_cast<const uint8_t*>(zero) - code) + 1;
}

// ---- fixedstring -----------------------------------------------------------------------
// Binary records may fill a text field to its last byte without a
// terminator, so the text is never read beyond the buffer.

int Structs_FixedStringEqual(const StructsType* type, const void* a, const void* b) {
  return std::strncmp(static_cast<const char*>(a), static_cast<const char*>(b), type->size) == 0;
}

char* Structs_FixedStringToText(const StructsType* type, const char* mtag, const void* value) {
  const char* s = static_cast<const char*>(value);
  const size_t n = strnlen(s, type->size);
  char* t = static_cast<char*>(TypedMem_Realloc(mtag, nullptr, n + 1));
  if (!t) return errno = ENOMEM, nullptr;
  std::memcpy(t, s, n);
  t[n] = 0;
  return t;
}

int Structs_FixedStringFromText(const StructsType* type, const char* text, void* value, char* ebuf, size_t emax) {
  const size_t n = std::strlen(text);
  if (n + 1 > type->size) {
    Structs_SetError(ebuf, emax, "string is too long for bounded length buffer");
    // errno set so that a caller reporting it does not report a stale code.
    return errno = EINVAL, -1;
  }
  std::memcpy(value, text, n + 1);
  return 0;
}

// ---- data ------------------------------------------------------------------------------------

static const char* DataTag(const StructsType* type) { return type->args[1].text; }
static bool DataIsHex(const StructsType* type) { return type->args[0].text && !*type->args[0].text; }

static int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

static char* ToHex(const char* mtag, const uint8_t* bytes, size_t n) {
  static const char digits[] = "0123456789abcdef";
  char* t = static_cast<char*>(TypedMem_Realloc(mtag, nullptr, 2 * n + 1));
  if (!t) return errno = ENOMEM, nullptr;
  for (size_t i = 0; i < n; ++i) {
    t[2 * i] = digits[bytes[i] >> 4];
    t[2 * i + 1] = digits[bytes[i] & 15];
  }
  t[2 * n] = 0;
  return t;
}

int Structs_DataCopy(const StructsType* type, const void* from, void* to) {
  StructsData d;
  std::memcpy(&d, from, sizeof d);
  StructsData c{0, nullptr};
  if (d.length) {
    c.data = static_cast<uint8_t*>(TypedMem_Realloc(DataTag(type), nullptr, d.length));
    if (!c.data) return errno = ENOMEM, -1;
    std::memcpy(c.data, d.data, d.length);
    c.length = d.length;
  }
  std::memcpy(to, &c, sizeof c);
  return 0;
}

int Structs_DataEqual(const StructsType*, const void* a, const void* b) {
  StructsData x, y;
  std::memcpy(&x, a, sizeof x);
  std::memcpy(&y, b, sizeof y);
  return x.length == y.length && (x.length == 0 || std::memcmp(x.data, y.data, x.length) == 0);
}

char* Structs_DataToText(const StructsType* type, const char* mtag, const void* value) {
  StructsData d;
  std::memcpy(&d, value, sizeof d);
  if (DataIsHex(type)) return ToHex(mtag, d.data, d.length);
  if (d.length == 0) return Dup(mtag, "");  // nothing to run through a filter
  Filter* f = Base64_CreateEncoder(type->args[0].text);
  if (!f) return nullptr;
  void* out = nullptr;
  const int r = Filter_Process(f, d.data, d.length, true, &out, mtag);
  const int err = errno;
  Filter_Destroy(&f);
  errno = err;
  return r < 0 ? nullptr : static_cast<char*>(out);
}

int Structs_DataFromText(const StructsType* type, const char* text, void* value, char* ebuf, size_t emax) {
  StructsData d{0, nullptr};
  const size_t tlen = std::strlen(text);
  if (DataIsHex(type)) {
    uint8_t* bytes = static_cast<uint8_t*>(TypedMem_Realloc(DataTag(type), nullptr, tlen / 2 + 1));
    if (!bytes) return errno = ENOMEM, -1;
    size_t n = 0;
    const char* p = text;
    for (;;) {
      while (IsBlank(*p)) ++p;
      if (!*p) break;
      const int hi = HexDigit(p[0]);
      const int lo = hi < 0 || !p[1] ? -1 : HexDigit(p[1]);
      if (hi < 0 || lo < 0) {
        Structs_SetError(ebuf, emax, hi >= 0 && !p[1] ? "odd length hex sequence" : "non-hex character seen");
        TypedMem_Free(DataTag(type), bytes);
        return errno = EINVAL, -1;
      }
      bytes[n++] = static_cast<uint8_t>(hi << 4 | lo);
      p += 2;
    }
    if (n > UINT32_MAX) {
      TypedMem_Free(DataTag(type), bytes);
      return errno = ERANGE, -1;
    }
    if (n == 0) {
      TypedMem_Free(DataTag(type), bytes);
      bytes = nullptr;
    }
    d = {static_cast<uint32_t>(n), bytes};
  } else if (tlen > 0) {
    Filter* f = Base64_CreateDecoder(type->args[0].text, true);
    if (!f) return -1;
    void* out = nullptr;
    const int r = Filter_Process(f, text, tlen, true, &out, DataTag(type));
    Filter_Destroy(&f);
    if (r < 0) {
      Structs_SetError(ebuf, emax, "invalid encoded binary data");
      return errno = EINVAL, -1;
    }
    if (r == 0) {
      // An empty value is always {0, null}.
      TypedMem_Free(DataTag(type), out);
      out = nullptr;
    }
    d = {static_cast<uint32_t>(r), static_cast<uint8_t*>(out)};
  }
  Structs_DataRelease(type, value);
  std::memcpy(value, &d, sizeof d);
  return 0;
}

int Structs_DataEncode(const StructsType*, const char* mtag, StructsData* out, const void* value) {
  out->length = 0;
  out->data = nullptr;
  StructsData d;
  std::memcpy(&d, value, sizeof d);
  const uint64_t n = 4 + static_cast<uint64_t>(d.length);
  if (n > UINT32_MAX) return errno = ERANGE, -1;
  uint8_t* bytes = static_cast<uint8_t*>(TypedMem_Realloc(mtag, nullptr, n));
  if (!bytes) return errno = ENOMEM, -1;
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(d.length >> (24 - 8 * i));
  if (d.length) std::memcpy(bytes + 4, d.data, d.length);
  out->length = static_cast<uint32_t>(n);
  out->data = bytes;
  return 0;
}

int Structs_DataDecode(const StructsType* type, const uint8_t* code, size_t cmax, void* value, char* ebuf,
                       size_t emax) {
  if (cmax > INT_MAX) cmax = INT_MAX;
  uint32_t len = 0;
  if (cmax >= 4) len = uint32_t{code[0]} << 24 | uint32_t{code[1]} << 16 | uint32_t{code[2]} << 8 | code[3];
  // Compared without forming 4 + len, which wraps in 32 bits for lengths
  // near 4 GiB.
  if (cmax < 4 || len > cmax - 4) {
    Structs_SetError(ebuf, emax, "encoded data is corrupted");
    return errno = EINVAL, -1;
  }
  StructsData d{0, nullptr};
  if (len) {
    d.data = static_cast<uint8_t*>(TypedMem_Realloc(DataTag(type), nullptr, len));
    if (!d.data) return errno = ENOMEM, -1;
    std::memcpy(d.data, code + 4, len);
    d.length = len;
  }
  std::memcpy(value, &d, sizeof d);
  return static_cast<int>(4 + len);
}

void Structs_DataRelease(const StructsType* type, void* value) {
  StructsData d;
  std::memcpy(&d, value, sizeof d);
  TypedMem_Free(DataTag(type), d.data);
  d = {0, nullptr};
  std::memcpy(value, &d, sizeof d);
}

// ---- fixeddata ----------------------------------------------------------------------------

char* Structs_FixedDataToText(const StructsType* type, const char* mtag, const void* value) {
  return ToHex(mtag, static_cast<const uint8_t*>(value), type->size);
}

int Structs_FixedDataFromText(const StructsType* type, const char* text, void* value, char* ebuf, size_t emax) {
  // Checked whole before the value is touched.
  const char* p = text;
  for (int pass = 0; pass < 2; ++pass) {
    p = text;
    for (uint32_t i = 0; i < type->size; ++i) {
      int digit[2];
      for (int k = 0; k < 2; ++k) {
        while (IsBlank(*p)) ++p;
        if (!*p) {
          Structs_SetError(ebuf, emax, "hex string is too short");
          return errno = EINVAL, -1;
        }
        if ((digit[k] = HexDigit(*p)) < 0) {
          Structs_SetError(ebuf, emax, "non-hex character seen");
          return errno = EINVAL, -1;
        }
        ++p;
      }
      if (pass == 1) static_cast<uint8_t*>(value)[i] = static_cast<uint8_t>(digit[0] << 4 | digit[1]);
    }
    while (IsBlank(*p)) ++p;
    if (*p) {
      Structs_SetError(ebuf, emax, "hex string is too long");
      return errno = EINVAL, -1;
    }
  }
  return 0;
}
