// Composite families: structures, fixed arrays, variable arrays, unions.
//
// Encoding of a composite: for a variable array first its count (4 bytes,
// big-endian); then a presence map of ceil(n / 8) bytes for its n members,
// where bit (1 << (j % 8)) of byte j / 8 marks member j as different from
// its initial value; then the encodings of the marked members back to back.
#include <cassert>
#include <cerrno>
#include <climits>
#include <cstring>

#include "base/memory/typedmem.h"
#include "base/structs/structs.h"
#include "base/structs/structs_internal.h"

namespace {

// The members of a composite value, seen uniformly.
struct Members {
  const StructsType* owner;
  uint32_t count;
  uint8_t* base;

  const StructsType* Type(uint32_t j) const {
    return owner->tclass == STRUCTS_TYPE_STRUCTURE ? owner->args[0].fields[j].type : owner->args[0].type;
  }
  uint8_t* At(uint32_t j) const {
    return owner->tclass == STRUCTS_TYPE_STRUCTURE ? base + owner->args[0].fields[j].offset
                                                   : base + size_t{j} * owner->args[0].type->size;
  }
};

uint32_t FieldCount(const StructsField* f) {
  uint32_t n = 0;
  while (f[n].name) ++n;
  return n;
}

void ReleaseBack(const Members& m, uint32_t upto) {
  const int err = errno;
  while (upto > 0) {
    --upto;
    m.Type(upto)->release(m.Type(upto), m.At(upto));
  }
  errno = err;
}

int InitMembers(const Members& m) {
  for (uint32_t j = 0; j < m.count; ++j) {
    if (m.owner->tclass == STRUCTS_TYPE_STRUCTURE) {
      const StructsField& f = m.owner->args[0].fields[j];
      assert(f.size == f.type->size && "field->size == field->type->size");
      if (f.size != f.type->size) {
        ReleaseBack(m, j);
        return errno = EINVAL, -1;
      }
    }
    if (m.Type(j)->init(m.Type(j), m.At(j)) != 0) {
      ReleaseBack(m, j);
      return -1;
    }
  }
  return 0;
}

int CopyMembers(const Members& from, const Members& to) {
  for (uint32_t j = 0; j < from.count; ++j) {
    if (from.Type(j)->copy(from.Type(j), from.At(j), to.At(j)) != 0) {
      ReleaseBack(to, j);
      return -1;
    }
  }
  return 0;
}

int EqualMembers(const Members& a, const Members& b) {
  for (uint32_t j = 0; j < a.count; ++j)
    if (a.Type(j)->equal(a.Type(j), a.At(j), b.At(j)) != 1) return 0;
  return 1;
}

// A growing output block under the caller's tag.
struct Out {
  const char* mtag;
  uint8_t* data = nullptr;
  size_t length = 0;
  size_t cap = 0;

  bool Append(const void* bytes, size_t n) {
    if (length + n > UINT32_MAX) return errno = ERANGE, false;
    if (length + n > cap) {
      size_t c = cap ? cap * 2 : 64;
      while (c < length + n) c *= 2;
      void* p = TypedMem_Realloc(mtag, data, c);
      if (!p) return errno = ENOMEM, false;
      data = static_cast<uint8_t*>(p);
      cap = c;
    }
    if (n) std::memcpy(data + length, bytes, n);
    length += n;
    return true;
  }
  void Drop() {
    TypedMem_Free(mtag, data);
    data = nullptr;
  }
};

// A scratch value holding a type's initial value, under "TEMPORARY".
struct Scratch {
  const StructsType* type = nullptr;
  void* value = nullptr;

  int Make(const StructsType* t) {
    Drop();
    value = TypedMem_Calloc(kStructsTagTemporary, 1, t->size ? t->size : 1);
    if (!value) return errno = ENOMEM, -1;
    if (t->init(t, value) != 0) {
      const int err = errno;
      TypedMem_Free(kStructsTagTemporary, value);
      value = nullptr;
      errno = err;
      return -1;
    }
    type = t;
    return 0;
  }
  void Drop() {
    if (!value) return;
    const int err = errno;
    type->release(type, value);
    TypedMem_Free(kStructsTagTemporary, value);
    value = nullptr;
    type = nullptr;
    errno = err;
  }
  ~Scratch() { Drop(); }
};

int EncodeMembers(const Members& m, bool withCount, const char* mtag, StructsData* out) {
  out->length = 0;
  out->data = nullptr;
  Out o{mtag};
  if (withCount) {
    const uint8_t count[4] = {static_cast<uint8_t>(m.count >> 24), static_cast<uint8_t>(m.count >> 16),
                              static_cast<uint8_t>(m.count >> 8), static_cast<uint8_t>(m.count)};
    if (!o.Append(count, 4)) return o.Drop(), -1;
  }
  const size_t mapAt = o.length;
  const size_t mapBytes = (size_t{m.count} + 7) / 8;
  for (size_t i = 0; i < mapBytes; ++i) {
    static const uint8_t zero = 0;
    if (!o.Append(&zero, 1)) return o.Drop(), -1;
  }
  Scratch scratch;
  for (uint32_t j = 0; j < m.count; ++j) {
    const StructsType* t = m.Type(j);
    if (scratch.type != t && scratch.Make(t) != 0) return o.Drop(), -1;
    if (t->equal(t, m.At(j), scratch.value) == 1) continue;
    o.data[mapAt + j / 8] |= static_cast<uint8_t>(1u << (j % 8));
    StructsData piece{0, nullptr};
    if (t->encode(t, kStructsTagTemporary, &piece, m.At(j)) != 0) return o.Drop(), -1;
    const bool ok = o.Append(piece.data, piece.length);
    TypedMem_Free(kStructsTagTemporary, piece.data);
    if (!ok) return o.Drop(), -1;
  }
  out->length = static_cast<uint32_t>(o.length);
  out->data = o.data;
  return 0;
}

// Decodes the members after the map at code[0..]; returns the bytes used.
int DecodeMembers(const Members& m, const uint8_t* map, const uint8_t* code, size_t cmax, char* ebuf, size_t emax) {
  size_t pos = 0;
  for (uint32_t j = 0; j < m.count; ++j) {
    const StructsType* t = m.Type(j);
    if (map[j / 8] & (1u << (j % 8))) {
      const int r = t->decode(t, code + pos, cmax - pos, m.At(j), ebuf, emax);
      if (r < 0 || static_cast<size_t>(r) > cmax - pos) {
        if (r >= 0) {
          // A member that claims more than it was given: its own fault,
          // but never read past the input.
          t->release(t, m.At(j));
          errno = EINVAL;
        }
        ReleaseBack(m, j);
        return -1;
      }
      pos += static_cast<size_t>(r);
    } else if (t->init(t, m.At(j)) != 0) {
      ReleaseBack(m, j);
      return -1;
    }
  }
  return static_cast<int>(pos);
}

const char* ArrayTag(const StructsType* type) { return type->args[1].text; }

Members StructMembers(const StructsType* type, const void* value) {
  return {type, FieldCount(type->args[0].fields), static_cast<uint8_t*>(const_cast<void*>(value))};
}
Members FixedMembers(const StructsType* type, const void* value) {
  return {type, static_cast<uint32_t>(type->args[2].num), static_cast<uint8_t*>(const_cast<void*>(value))};
}
Members ArrayMembers(const StructsType* type, const void* value) {
  StructsArray a;
  std::memcpy(&a, value, sizeof a);
  return {type, a.length, static_cast<uint8_t*>(a.elems)};
}

// Structures and fixed arrays keep their members inside the value itself: these
// helpers do the work for both, and leave the value zeroed when a step fails so
// that no half-made value is ever handed back.
int InitInPlace(const StructsType* type, void* value, const Members& m) {
  std::memset(value, 0, type->size);
  if (InitMembers(m) != 0) {
    std::memset(value, 0, type->size);
    return -1;
  }
  return 0;
}

int CopyInPlace(const StructsType* type, const Members& from, void* to, const Members& toMembers) {
  std::memset(to, 0, type->size);
  if (CopyMembers(from, toMembers) != 0) {
    std::memset(to, 0, type->size);
    return -1;
  }
  return 0;
}

int DecodeInPlace(const StructsType* type, const uint8_t* code, size_t cmax, void* value, const Members& m,
                  const char* truncated, char* ebuf, size_t emax) {
  if (cmax > INT_MAX) cmax = INT_MAX;
  const size_t mapBytes = (size_t{m.count} + 7) / 8;
  if (cmax < mapBytes) {
    Structs_SetError(ebuf, emax, "%s", truncated);
    return errno = EINVAL, -1;
  }
  std::memset(value, 0, type->size);
  const int r = DecodeMembers(m, code, code + mapBytes, cmax - mapBytes, ebuf, emax);
  if (r < 0) {
    std::memset(value, 0, type->size);
    return -1;
  }
  return static_cast<int>(mapBytes) + r;
}

}  // namespace

// ---- structure --------------------------------------------------------------------------

int Structs_StructureInit(const StructsType* type, void* value) {
  if (type->tclass != STRUCTS_TYPE_STRUCTURE) return errno = EINVAL, -1;
  return InitInPlace(type, value, StructMembers(type, value));
}

int Structs_StructureCopy(const StructsType* type, const void* from, void* to) {
  if (type->tclass != STRUCTS_TYPE_STRUCTURE) return errno = EINVAL, -1;
  return CopyInPlace(type, StructMembers(type, from), to, StructMembers(type, to));
}

int Structs_StructureEqual(const StructsType* type, const void* a, const void* b) {
  if (type->tclass != STRUCTS_TYPE_STRUCTURE) return 0;
  return EqualMembers(StructMembers(type, a), StructMembers(type, b));
}

int Structs_StructureEncode(const StructsType* type, const char* mtag, StructsData* out, const void* value) {
  if (type->tclass != STRUCTS_TYPE_STRUCTURE) return out->length = 0, out->data = nullptr, errno = EINVAL, -1;
  return EncodeMembers(StructMembers(type, value), false, mtag, out);
}

int Structs_StructureDecode(const StructsType* type, const uint8_t* code, size_t cmax, void* value, char* ebuf,
                            size_t emax) {
  if (type->tclass != STRUCTS_TYPE_STRUCTURE) return errno = EINVAL, -1;
  return DecodeInPlace(type, code, cmax, value, StructMembers(type, value), "encoded structure is truncated", ebuf,
                       emax);
}

void Structs_StructureRelease(const StructsType* type, void* value) {
  if (type->tclass != STRUCTS_TYPE_STRUCTURE) return;
  const Members m = StructMembers(type, value);
  ReleaseBack(m, m.count);
  std::memset(value, 0, type->size);
}

// ---- fixed array ---------------------------------------------------------------------------

int Structs_FixedArrayInit(const StructsType* type, void* value) {
  if (type->tclass != STRUCTS_TYPE_FIXEDARRAY) return errno = EINVAL, -1;
  assert(type->size == type->args[0].type->size * type->args[2].num);
  return InitInPlace(type, value, FixedMembers(type, value));
}

int Structs_FixedArrayCopy(const StructsType* type, const void* from, void* to) {
  if (type->tclass != STRUCTS_TYPE_FIXEDARRAY) return errno = EINVAL, -1;
  return CopyInPlace(type, FixedMembers(type, from), to, FixedMembers(type, to));
}

int Structs_FixedArrayEqual(const StructsType* type, const void* a, const void* b) {
  if (type->tclass != STRUCTS_TYPE_FIXEDARRAY) return 0;
  return EqualMembers(FixedMembers(type, a), FixedMembers(type, b));
}

int Structs_FixedArrayEncode(const StructsType* type, const char* mtag, StructsData* out, const void* value) {
  if (type->tclass != STRUCTS_TYPE_FIXEDARRAY) return out->length = 0, out->data = nullptr, errno = EINVAL, -1;
  return EncodeMembers(FixedMembers(type, value), false, mtag, out);
}

int Structs_FixedArrayDecode(const StructsType* type, const uint8_t* code, size_t cmax, void* value, char* ebuf,
                             size_t emax) {
  if (type->tclass != STRUCTS_TYPE_FIXEDARRAY) return errno = EINVAL, -1;
  return DecodeInPlace(type, code, cmax, value, FixedMembers(type, value), "encoded array is truncated", ebuf, emax);
}

void Structs_FixedArrayRelease(const StructsType* type, void* value) {
  if (type->tclass != STRUCTS_TYPE_FIXEDARRAY) return;
  const Members m = FixedMembers(type, value);
  ReleaseBack(m, m.count);
}

// ---- variable array ------------------------------------------------------------------------

int Structs_ArrayInit(const StructsType* type, void* value) {
  if (type->tclass != STRUCTS_TYPE_ARRAY) return errno = EINVAL, -1;
  const StructsArray a{0, nullptr};
  std::memcpy(value, &a, sizeof a);
  return 0;
}

int Structs_ArrayCopy(const StructsType* type, const void* from, void* to) {
  if (type->tclass != STRUCTS_TYPE_ARRAY) return errno = EINVAL, -1;
  StructsArray src, dst{0, nullptr};
  std::memcpy(&src, from, sizeof src);
  std::memcpy(to, &dst, sizeof dst);
  if (src.length == 0) return 0;
  const size_t esize = type->args[0].type->size;
  dst.elems = TypedMem_Calloc(ArrayTag(type), src.length, esize ? esize : 1);
  if (!dst.elems) return errno = ENOMEM, -1;
  dst.length = src.length;
  if (CopyMembers(ArrayMembers(type, &src), Members{type, dst.length, static_cast<uint8_t*>(dst.elems)}) != 0) {
    const int err = errno;
    TypedMem_Free(ArrayTag(type), dst.elems);
    errno = err;
    return -1;
  }
  std::memcpy(to, &dst, sizeof dst);
  return 0;
}

int Structs_ArrayEqual(const StructsType* type, const void* a, const void* b) {
  if (type->tclass != STRUCTS_TYPE_ARRAY) return 0;
  const Members x = ArrayMembers(type, a), y = ArrayMembers(type, b);
  return x.count == y.count && EqualMembers(x, y);
}

int Structs_ArrayEncode(const StructsType* type, const char* mtag, StructsData* out, const void* value) {
  if (type->tclass != STRUCTS_TYPE_ARRAY) return out->length = 0, out->data = nullptr, errno = EINVAL, -1;
  return EncodeMembers(ArrayMembers(type, value), true, mtag, out);
}

int Structs_ArrayDecode(const StructsType* type, const uint8_t* code, size_t cmax, void* value, char* ebuf,
                        size_t emax) {
  if (type->tclass != STRUCTS_TYPE_ARRAY) return errno = EINVAL, -1;
  if (cmax > INT_MAX) cmax = INT_MAX;
  if (cmax < 4) {
    Structs_SetError(ebuf, emax, "encoded array is truncated");
    return errno = EINVAL, -1;
  }
  const uint32_t count = uint32_t{code[0]} << 24 | uint32_t{code[1]} << 16 | uint32_t{code[2]} << 8 | code[3];
  const size_t mapBytes = (size_t{count} + 7) / 8;
  // The map must be there before any element block is allocated: this
  // bounds the count by the input's size.
  if (mapBytes > cmax - 4) {
    Structs_SetError(ebuf, emax, "encoded array is truncated");
    return errno = EINVAL, -1;
  }
  StructsArray a{0, nullptr};
  if (count) {
    const size_t esize = type->args[0].type->size;
    a.elems = TypedMem_Calloc(ArrayTag(type), count, esize ? esize : 1);
    if (!a.elems) return errno = ENOMEM, -1;
  }
  const Members m{type, count, static_cast<uint8_t*>(a.elems)};
  const int r = DecodeMembers(m, code + 4, code + 4 + mapBytes, cmax - 4 - mapBytes, ebuf, emax);
  if (r < 0) {
    const int err = errno;
    TypedMem_Free(ArrayTag(type), a.elems);
    errno = err;
    return -1;
  }
  a.length = count;
  std::memcpy(value, &a, sizeof a);
  return static_cast<int>(4 + mapBytes) + r;
}

void Structs_ArrayRelease(const StructsType* type, void* value) {
  if (type->tclass != STRUCTS_TYPE_ARRAY) return;
  const Members m = ArrayMembers(type, value);
  ReleaseBack(m, m.count);
  TypedMem_Free(ArrayTag(type), m.base);
  const StructsArray a{0, nullptr};
  std::memcpy(value, &a, sizeof a);
}

// ---- union -------------------------------------------------------------------------------------

static const StructsField* UnionField(const StructsType* type, const char* name) {
  if (!name) return nullptr;
  for (const StructsField* f = type->args[0].fields; f->name; ++f)
    if (std::strcmp(f->name, name) == 0) return f;
  return nullptr;
}

// A new value of the field's type under the union's tag, initialised
// (copy null) or copied from `from`.
static void* UnionNewValue(const StructsType* type, const StructsField* f, const void* from) {
  void* v = TypedMem_Calloc(type->args[1].text, 1, f->type->size ? f->type->size : 1);
  if (!v) return errno = ENOMEM, nullptr;
  if ((from ? f->type->copy(f->type, from, v) : f->type->init(f->type, v)) != 0) {
    const int err = errno;
    TypedMem_Free(type->args[1].text, v);
    errno = err;
    return nullptr;
  }
  return v;
}

int Structs_UnionInit(const StructsType* type, void* value) {
  if (type->tclass != STRUCTS_TYPE_UNION) return errno = EINVAL, -1;
  const StructsField* f = type->args[0].fields;
  StructsUnion u{nullptr, nullptr};
  if (!f->name) return errno = EINVAL, -1;
  if (!(u.un = UnionNewValue(type, f, nullptr))) return -1;
  u.field_name = f->name;
  std::memcpy(value, &u, sizeof u);
  return 0;
}

int Structs_UnionCopy(const StructsType* type, const void* from, void* to) {
  if (type->tclass != STRUCTS_TYPE_UNION) return errno = EINVAL, -1;
  StructsUnion src, dst{nullptr, nullptr};
  std::memcpy(&src, from, sizeof src);
  std::memcpy(to, &dst, sizeof dst);
  const StructsField* f = UnionField(type, src.field_name);
  if (!f) return errno = EINVAL, -1;
  if (!(dst.un = UnionNewValue(type, f, src.un))) return -1;
  dst.field_name = f->name;
  std::memcpy(to, &dst, sizeof dst);
  return 0;
}

int Structs_UnionEqual(const StructsType* type, const void* a, const void* b) {
  if (type->tclass != STRUCTS_TYPE_UNION) return 0;
  StructsUnion x, y;
  std::memcpy(&x, a, sizeof x);
  std::memcpy(&y, b, sizeof y);
  const StructsField* f = UnionField(type, x.field_name);
  if (!f || !y.field_name || std::strcmp(x.field_name, y.field_name) != 0) return 0;
  return f->type->equal(f->type, x.un, y.un) == 1;
}

int Structs_UnionEncode(const StructsType* type, const char* mtag, StructsData* out, const void* value) {
  out->length = 0;
  out->data = nullptr;
  if (type->tclass != STRUCTS_TYPE_UNION) return errno = EINVAL, -1;
  StructsUnion u;
  std::memcpy(&u, value, sizeof u);
  const StructsField* f = UnionField(type, u.field_name);
  if (!f) return errno = EINVAL, -1;
  Out o{mtag};
  StructsData piece{0, nullptr};
  if (!o.Append(f->name, std::strlen(f->name) + 1)) return o.Drop(), -1;
  if (f->type->encode(f->type, kStructsTagTemporary, &piece, u.un) != 0) return o.Drop(), -1;
  const bool ok = o.Append(piece.data, piece.length);
  TypedMem_Free(kStructsTagTemporary, piece.data);
  if (!ok) return o.Drop(), -1;
  out->length = static_cast<uint32_t>(o.length);
  out->data = o.data;
  return 0;
}

int Structs_UnionDecode(const StructsType* type, const uint8_t* code, size_t cmax, void* value, char* ebuf,
                        size_t emax) {
  if (type->tclass != STRUCTS_TYPE_UNION) return errno = EINVAL, -1;
  if (cmax > INT_MAX) cmax = INT_MAX;
  const uint8_t* zero = static_cast<const uint8_t*>(std::memchr(code, 0, cmax));
  if (!zero) {
    Structs_SetError(ebuf, emax, "encoded union is truncated");
    return errno = EINVAL, -1;
  }
  const StructsField* f = UnionField(type, reinterpret_cast<const char*>(code));
  if (!f) {
    Structs_SetError(ebuf, emax, "invalid union field \"%s\"", reinterpret_cast<const char*>(code));
    return errno = EINVAL, -1;
  }
  const size_t used = static_cast<size_t>(zero - code) + 1;
  void* v = TypedMem_Calloc(type->args[1].text, 1, f->type->size ? f->type->size : 1);
  if (!v) return errno = ENOMEM, -1;
  const int r = f->type->decode(f->type, code + used, cmax - used, v, ebuf, emax);
  if (r < 0 || static_cast<size_t>(r) > cmax - used) {
    if (r >= 0) f->type->release(f->type, v), errno = EINVAL;
    const int err = errno;
    TypedMem_Free(type->args[1].text, v);
    errno = err;
    return -1;
  }
  const StructsUnion u{f->name, v};
  std::memcpy(value, &u, sizeof u);
  return static_cast<int>(used) + r;
}

void Structs_UnionRelease(const StructsType* type, void* value) {
  if (type->tclass != STRUCTS_TYPE_UNION) return;
  StructsUnion u;
  std::memcpy(&u, value, sizeof u);
  const StructsField* f = UnionField(type, u.field_name);
  if (f && u.un) f->type->release(f->type, u.un);
  TypedMem_Free(type->args[1].text, u.un);
  u = {nullptr, nullptr};
  std::memcpy(value, &u, sizeof u);
}
