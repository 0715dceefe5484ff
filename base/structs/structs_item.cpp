// Items of a typed value by dotted name.
#include "base/structs/structs_item.h"

#include <cerrno>
#include <cstring>

#include "base/memory/typedmem.h"

namespace {

bool ReadOnly(const StructsType* t) {
  return t == &structs_type_array_length || t == &structs_type_union_field_name;
}

// A component that is a whole decimal number (digits only). Numbers too
// large for any array give UINT64_MAX, which is out of range everywhere.
bool ParseIndex(const char* comp, size_t len, uint64_t* index) {
  if (len == 0) return false;
  uint64_t v = 0;
  for (size_t i = 0; i < len; ++i) {
    if (comp[i] < '0' || comp[i] > '9') return false;
    if (v > (UINT64_MAX - 9) / 10)
      v = UINT64_MAX;
    else
      v = v * 10 + static_cast<uint64_t>(comp[i] - '0');
  }
  *index = v;
  return true;
}

const StructsField* FindField(const StructsField* fields, const char* comp, size_t len) {
  for (const StructsField* f = fields; f->name; ++f)
    if (std::strncmp(f->name, comp, len) == 0 && f->name[len] == 0) return f;
  return nullptr;
}

const StructsField* ActiveField(const StructsType* type, const StructsUnion& u) {
  if (!u.field_name) return nullptr;
  for (const StructsField* f = type->args[0].fields; f->name; ++f)
    if (std::strcmp(f->name, u.field_name) == 0) return f;
  return nullptr;
}

const StructsType* FollowPointers(const StructsType* type, void** value) {
  while (type->tclass == STRUCTS_TYPE_POINTER) {
    void* next;
    std::memcpy(&next, *value, sizeof next);
    if (!next) return errno = EINVAL, nullptr;
    *value = next;
    type = type->args[0].type;
  }
  return type;
}

// A zeroed scratch block of the type's size under "TEMPORARY".
void* NewScratch(const StructsType* t) {
  void* p = TypedMem_Calloc(kStructsTagTemporary, 1, t->size ? t->size : 1);
  if (!p) errno = ENOMEM;
  return p;
}

void FreeScratch(void* p) {
  const int err = errno;
  TypedMem_Free(kStructsTagTemporary, p);
  errno = err;
}

// Replaces the item with the scratch value (its content moved, the block freed).
void MoveIn(const StructsType* t, void* item, void* scratch) {
  t->release(t, item);
  std::memcpy(item, scratch, t->size);
  FreeScratch(scratch);
}

void ErrnoMessage(char* ebuf, size_t emax) {
  if (*ebuf == 0) Structs_SetError(ebuf, emax, "%s", Structs_ErrorText(errno));
}

}  // namespace

const StructsType* Structs_FindItem(const StructsType* type, const char* name, void** valuep, int allowSwitch) {
  if (!name || !*name) return type;
  void* value = *valuep;
  const char* p = name;
  for (;;) {
    if (!(type = FollowPointers(type, &value))) return nullptr;
    const char* dot = std::strchr(p, '.');
    const size_t len = dot ? static_cast<size_t>(dot - p) : std::strlen(p);
    const char* rest = dot ? dot + 1 : nullptr;
    switch (type->tclass) {
      case STRUCTS_TYPE_ARRAY:
      case STRUCTS_TYPE_FIXEDARRAY: {
        uint64_t count;
        uint8_t* elems;
        if (type->tclass == STRUCTS_TYPE_ARRAY) {
          StructsArray* a = static_cast<StructsArray*>(value);
          if (std::strcmp(p, "length") == 0) {
            *valuep = &a->length;
            return &structs_type_array_length;
          }
          count = a->length;
          elems = static_cast<uint8_t*>(a->elems);
        } else {
          if (std::strcmp(p, "length") == 0) {
            // The count lives in the descriptor; the item is read-only, so
            // it is only ever read (its low 4 bytes, little-endian).
            *valuep = const_cast<uintptr_t*>(&type->args[2].num);
            return &structs_type_array_length;
          }
          count = type->args[2].num;
          elems = static_cast<uint8_t*>(value);
        }
        uint64_t index;
        if (!ParseIndex(p, len, &index)) return errno = ENOENT, nullptr;
        if (index >= count) return errno = EDOM, nullptr;
        value = elems + index * type->args[0].type->size;
        type = type->args[0].type;
        break;
      }
      case STRUCTS_TYPE_STRUCTURE: {
        const StructsField* f = FindField(type->args[0].fields, p, len);
        if (!f) return errno = ENOENT, nullptr;
        value = static_cast<uint8_t*>(value) + f->offset;
        type = f->type;
        break;
      }
      case STRUCTS_TYPE_UNION: {
        StructsUnion* u = static_cast<StructsUnion*>(value);
        if (std::strcmp(p, "field_name") == 0) {
          *valuep = &u->field_name;
          return &structs_type_union_field_name;
        }
        const StructsField* active = ActiveField(type, *u);
        if (!active) return errno = EINVAL, nullptr;
        if (std::strncmp(active->name, p, len) == 0 && active->name[len] == 0) {
          value = u->un;
          type = active->type;
          break;
        }
        if (!allowSwitch) return errno = ENOENT, nullptr;
        const StructsField* f = FindField(type->args[0].fields, p, len);
        if (!f) return errno = ENOENT, nullptr;
        const char* mtag = type->args[1].text;
        void* fresh = TypedMem_Calloc(mtag, 1, f->type->size ? f->type->size : 1);
        if (!fresh) return errno = ENOMEM, nullptr;
        if (f->type->init(f->type, fresh) != 0) {
          const int err = errno;
          TypedMem_Free(mtag, fresh);
          errno = err;
          return nullptr;
        }
        // The rest must resolve inside the new value before the union is
        // changed; otherwise the old field and value stay.
        void* item = fresh;
        const StructsType* itemType = f->type;
        if (rest && !(itemType = Structs_FindItem(f->type, rest, &item, 1))) {
          const int err = errno;
          f->type->release(f->type, fresh);
          TypedMem_Free(mtag, fresh);
          errno = err;
          return nullptr;
        }
        active->type->release(active->type, u->un);
        TypedMem_Free(mtag, u->un);
        u->field_name = f->name;
        u->un = fresh;
        *valuep = item;
        return itemType;
      }
      default:  // a primitive has no items
        return errno = ENOENT, nullptr;
    }
    if (!rest) break;
    p = rest;
  }
  *valuep = value;
  return type;
}

int Structs_InitItem(const StructsType* type, const char* name, void* value) {
  if (!(type = Structs_FindItem(type, name, &value, 0))) return -1;
  if (ReadOnly(type)) return errno = kStructsErrNotImplemented, -1;
  return type->init(type, value);
}

void Structs_FreeItem(const StructsType* type, const char* name, void* value) {
  const int err = errno;
  if ((type = Structs_FindItem(type, name, &value, 0))) type->release(type, value);
  errno = err;
}

int Structs_GetItem(const StructsType* type, const char* name, const void* value, void* out) {
  void* v = const_cast<void*>(value);
  if (!(type = Structs_FindItem(type, name, &v, 0))) return -1;
  return type->copy(type, v, out);
}

int Structs_SetItem(const StructsType* type, const char* name, void* value, const void* item) {
  if (!(type = Structs_FindItem(type, name, &value, 0))) return -1;
  if (ReadOnly(type)) return errno = kStructsErrNotImplemented, -1;
  void* scratch = NewScratch(type);
  if (!scratch) return -1;
  if (type->copy(type, item, scratch) != 0) return FreeScratch(scratch), -1;
  MoveIn(type, value, scratch);
  return 0;
}

int Structs_ResetItem(const StructsType* type, const char* name, void* value) {
  if (!(type = Structs_FindItem(type, name, &value, 0))) return -1;
  if (ReadOnly(type)) return errno = kStructsErrNotImplemented, -1;
  void* scratch = NewScratch(type);
  if (!scratch) return -1;
  if (type->init(type, scratch) != 0) return FreeScratch(scratch), -1;
  MoveIn(type, value, scratch);
  return 0;
}

char* Structs_GetItemText(const StructsType* type, const char* name, const char* mtag, const void* value) {
  void* v = const_cast<void*>(value);
  if (!(type = Structs_FindItem(type, name, &v, 0))) return nullptr;
  return type->to_text(type, mtag, v);
}

int Structs_SetItemText(const StructsType* type, const char* name, const char* text, void* value, char* ebuf,
                        size_t emax) {
  char local[1];
  if (!ebuf || emax == 0) {
    ebuf = local;
    emax = sizeof local;
  }
  *ebuf = 0;
  if (!(type = Structs_FindItem(type, name, &value, 1)) ||
      type->from_text(type, text ? text : "", value, ebuf, emax) != 0) {
    ErrnoMessage(ebuf, emax);
    return -1;
  }
  return 0;
}

int Structs_EncodeItem(const StructsType* type, const char* name, const char* mtag, StructsData* out,
                       const void* value) {
  out->length = 0;
  out->data = nullptr;
  void* v = const_cast<void*>(value);
  if (!(type = Structs_FindItem(type, name, &v, 0))) return -1;
  if (type->encode(type, mtag, out, v) != 0) {
    out->length = 0;
    out->data = nullptr;
    return -1;
  }
  return 0;
}

int Structs_DecodeItem(const StructsType* type, const char* name, const StructsData* code, void* value, char* ebuf,
                       size_t emax) {
  char local[1];
  if (!ebuf || emax == 0) {
    ebuf = local;
    emax = sizeof local;
  }
  *ebuf = 0;
  if (!(type = Structs_FindItem(type, name, &value, 0))) return ErrnoMessage(ebuf, emax), -1;
  if (ReadOnly(type)) {
    Structs_SetError(ebuf, emax, "binary decoding is not supported by this structs type");
    return errno = kStructsErrNotImplemented, -1;
  }
  void* scratch = NewScratch(type);
  if (!scratch) return ErrnoMessage(ebuf, emax), -1;
  static const uint8_t none = 0;
  const int r = type->decode(type, code->length ? code->data : &none, code->length, scratch, ebuf, emax);
  if (r < 0 || static_cast<uint64_t>(r) > code->length) {
    if (r >= 0) type->release(type, scratch), errno = EINVAL;
    FreeScratch(scratch);
    ErrnoMessage(ebuf, emax);
    return -1;
  }
  MoveIn(type, value, scratch);
  return r;
}

// ---- leaf names ------------------------------------------------------------------------------

namespace {

struct NameList {
  const char* mtag;
  char** names = nullptr;
  int count = 0;
  int cap = 0;

  bool Add(char* name) {
    if (count == cap) {
      const int c = cap == 0 ? 64 : 2 * cap + 64;
      void* p = TypedMem_Realloc(mtag, names, sizeof(char*) * static_cast<size_t>(c));
      if (!p) return errno = ENOMEM, false;
      names = static_cast<char**>(p);
      cap = c;
    }
    names[count++] = name;
    return true;
  }
};

bool ListBelow(const StructsType* type, void* value, const char* prefix, NameList& list);

// The names below a member named "<prefix>.<member>" (no "." at the top).
bool ListMember(const StructsType* type, void* value, const char* prefix, const char* member, uint32_t index,
                NameList& list) {
  char* name = nullptr;
  const char* sep = *prefix ? "." : "";
  const int n = member ? TypedMem_Format(list.mtag, &name, "%s%s%s", prefix, sep, member)
                       : TypedMem_Format(list.mtag, &name, "%s%s%u", prefix, sep, index);
  if (n < 0) return false;
  const bool ok = ListBelow(type, value, name, list);
  const int err = errno;
  TypedMem_Free(list.mtag, name);
  errno = err;
  return ok;
}

bool ListBelow(const StructsType* type, void* value, const char* prefix, NameList& list) {
  if (!(type = FollowPointers(type, &value))) return false;
  switch (type->tclass) {
    case STRUCTS_TYPE_ARRAY: {
      const StructsArray* a = static_cast<const StructsArray*>(value);
      const StructsType* et = type->args[0].type;
      for (uint32_t i = 0; i < a->length; ++i)
        if (!ListMember(et, static_cast<uint8_t*>(a->elems) + size_t{i} * et->size, prefix, nullptr, i, list))
          return false;
      return true;
    }
    case STRUCTS_TYPE_FIXEDARRAY: {
      const StructsType* et = type->args[0].type;
      for (uint32_t i = 0; i < type->args[2].num; ++i)
        if (!ListMember(et, static_cast<uint8_t*>(value) + size_t{i} * et->size, prefix, nullptr, i, list))
          return false;
      return true;
    }
    case STRUCTS_TYPE_STRUCTURE:
      for (const StructsField* f = type->args[0].fields; f->name; ++f)
        if (!ListMember(f->type, static_cast<uint8_t*>(value) + f->offset, prefix, f->name, 0, list)) return false;
      return true;
    case STRUCTS_TYPE_UNION: {
      const StructsUnion* u = static_cast<const StructsUnion*>(value);
      const StructsField* f = ActiveField(type, *u);
      if (!f) return errno = EINVAL, false;
      return ListMember(f->type, u->un, prefix, f->name, 0, list);
    }
    default: {
      char* name = TypedMem_Strdup(list.mtag, prefix);
      if (!name) return errno = ENOMEM, false;
      if (!list.Add(name)) {
        TypedMem_Free(list.mtag, name);
        return false;
      }
      return true;
    }
  }
}

}  // namespace

int Structs_ListItemNames(const StructsType* type, const void* value, char*** listp, const char* mtag) {
  NameList list{mtag};
  *listp = nullptr;
  if (!ListBelow(type, const_cast<void*>(value), "", list)) {
    const int err = errno;
    Structs_FreeItemNames(list.names, list.count, mtag);
    errno = err;
    return -1;
  }
  *listp = list.names;
  return list.count;
}

void Structs_FreeItemNames(char** list, int count, const char* mtag) {
  if (!list) return;
  for (int i = 0; i < count; ++i) TypedMem_Free(mtag, list[i]);
  TypedMem_Free(mtag, list);
}

// ---- variable-array editing ----------------------------------------------------------------------

namespace {

StructsArray* FindArray(const StructsType** type, const char* name, void* value, int allowSwitch) {
  const StructsType* t = Structs_FindItem(*type, name, &value, allowSwitch);
  if (!t) return nullptr;
  if (t->tclass != STRUCTS_TYPE_ARRAY) return errno = EINVAL, nullptr;
  *type = t;
  return static_cast<StructsArray*>(value);
}

uint8_t* Elem(const StructsType* type, const StructsArray* a, uint32_t i) {
  return static_cast<uint8_t*>(a->elems) + size_t{i} * type->args[0].type->size;
}

int Insert(const StructsType* type, StructsArray* a, uint32_t index) {
  const StructsType* et = type->args[0].type;
  const size_t esize = et->size;
  if (index > a->length) return errno = EDOM, -1;
  if (a->length > UINT32_MAX - 2) return errno = ENOMEM, -1;
  // Room for one more element and a spare slot, initialised first, that is
  // then moved (not copied) into place.
  void* p = TypedMem_Realloc(type->args[1].text, a->elems, (size_t{a->length} + 2) * (esize ? esize : 1));
  if (!p) return errno = ENOMEM, -1;
  a->elems = p;
  uint8_t* spare = Elem(type, a, a->length + 1);
  std::memset(spare, 0, esize);
  if (et->init(et, spare) != 0) return -1;
  uint8_t* at = Elem(type, a, index);
  std::memmove(at + esize, at, (a->length - index) * esize);
  std::memcpy(at, Elem(type, a, a->length + 1), esize);
  ++a->length;
  return 0;
}

}  // namespace

int Structs_ArrayLength(const StructsType* type, const char* name, const void* value) {
  const StructsArray* a = FindArray(&type, name, const_cast<void*>(value), 0);
  return a ? static_cast<int>(a->length) : -1;
}

int Structs_ArraySetLength(const StructsType* type, const char* name, void* value, uint32_t length, int doInit) {
  StructsArray* a = FindArray(&type, name, value, 0);
  if (!a) return -1;
  const StructsType* et = type->args[0].type;
  const char* mtag = type->args[1].text;
  // Dropped elements are released: they may own memory.
  while (a->length > length) {
    --a->length;
    et->release(et, Elem(type, a, a->length));
  }
  if (length == 0) {
    TypedMem_Free(mtag, a->elems);
    a->elems = nullptr;
    return 0;
  }
  const size_t esize = et->size ? et->size : 1;
  void* p = TypedMem_Realloc(mtag, a->elems, size_t{length} * esize);
  if (!p) return errno = ENOMEM, -1;
  a->elems = p;
  const uint32_t old = a->length;
  std::memset(Elem(type, a, old), 0, size_t{length - old} * et->size);
  if (doInit) {
    for (uint32_t i = old; i < length; ++i) {
      if (et->init(et, Elem(type, a, i)) != 0) {
        const int err = errno;
        while (i > old) et->release(et, Elem(type, a, --i));
        errno = err;
        return -1;
      }
    }
  }
  a->length = length;
  return 0;
}

int Structs_ArrayInsert(const StructsType* type, const char* name, void* value, uint32_t index) {
  StructsArray* a = FindArray(&type, name, value, 0);
  return a ? Insert(type, a, index) : -1;
}

int Structs_ArrayDelete(const StructsType* type, const char* name, void* value, uint32_t index) {
  StructsArray* a = FindArray(&type, name, value, 0);
  if (!a) return -1;
  if (index >= a->length) return errno = EDOM, -1;
  const StructsType* et = type->args[0].type;
  uint8_t* at = Elem(type, a, index);
  et->release(et, at);
  std::memmove(at, at + et->size, (a->length - index - 1) * size_t{et->size});
  if (--a->length == 0) {
    TypedMem_Free(type->args[1].text, a->elems);
    a->elems = nullptr;
  }
  return 0;
}

int Structs_ArrayReset(const StructsType* type, const char* name, void* value) {
  StructsArray* a = FindArray(&type, name, value, 0);
  if (!a) return -1;
  type->release(type, a);
  return 0;
}

int Structs_ArrayPrepare(const StructsType* type, const char* name, void* value) {
  if (!name) return 0;
  const size_t n = std::strlen(name);
  char* prefix = static_cast<char*>(TypedMem_Realloc(kStructsTagTemporary, nullptr, n + 1));
  if (!prefix) return errno = ENOMEM, -1;
  // Each prefix (the empty one first) is resolved; where it is a variable
  // array and the next component indexes one past its end, an element is
  // appended.
  size_t at = 0;
  int result = 0;
  for (;;) {
    std::memcpy(prefix, name, at);
    prefix[at > 0 ? at - 1 : 0] = 0;
    void* item = value;
    const StructsType* t = Structs_FindItem(type, at > 0 ? prefix : "", &item, 1);
    if (!t || !(t = FollowPointers(t, &item))) {
      result = -1;
      break;
    }
    const char* comp = name + at;
    const char* dot = std::strchr(comp, '.');
    const size_t len = dot ? static_cast<size_t>(dot - comp) : std::strlen(comp);
    if (t->tclass == STRUCTS_TYPE_ARRAY && std::strcmp(comp, "length") != 0) {
      StructsArray* a = static_cast<StructsArray*>(item);
      uint64_t index;
      if (!ParseIndex(comp, len, &index) || index > a->length) {
        errno = ENOENT;
        result = -1;
        break;
      }
      if (index == a->length && Insert(t, a, a->length) != 0) {
        result = -1;
        break;
      }
    }
    if (!dot) break;
    at = static_cast<size_t>(dot - name) + 1;
  }
  FreeScratch(prefix);
  return result;
}
