// Small helpers of the structure-type tests.
#pragma once
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "base/memory/typedmem.h"
#include "base/structs/structs.h"

namespace structs_test {

// An initialised value of a type, released and freed at the end.
class Value {
 public:
  explicit Value(const StructsType* type, bool init = true) : type_(type), bytes_(type->size + 16, 0xA5) {
    if (init) ok_ = type_->init(type_, ptr()) == 0;
    else std::memset(ptr(), 0, type_->size);
  }
  ~Value() {
    if (ok_) type_->release(type_, ptr());
  }
  Value(const Value&) = delete;
  Value& operator=(const Value&) = delete;
  void* ptr() { return bytes_.data(); }
  template <class T>
  T& as() {
    return *reinterpret_cast<T*>(bytes_.data());
  }
  bool ok() const { return ok_; }
  // After a decode or copy into the memory: it now holds a value.
  void set_ok(bool ok) { ok_ = ok; }

 private:
  const StructsType* type_;
  std::vector<uint8_t> bytes_;
  bool ok_ = false;
};

// ToText under "TEMPORARY"; "<null>" for a failure.
inline std::string Text(const StructsType* type, const void* value) {
  char* t = type->to_text(type, kStructsTagTemporary, value);
  if (!t) return "<null>";
  std::string s(t);
  TypedMem_Free(kStructsTagTemporary, t);
  return s;
}

struct FromTextResult {
  int rc;
  int err;
  std::string message;
};

inline FromTextResult FromText(const StructsType* type, const char* text, void* value) {
  char msg[128] = "";
  errno = 0;
  const int rc = type->from_text(type, text, value, msg, sizeof msg);
  return {rc, errno, msg};
}

// Encode under "TEMPORARY" into a vector.
inline std::vector<uint8_t> Encode(const StructsType* type, const void* value, int* rc = nullptr) {
  StructsData out{0, nullptr};
  const int r = type->encode(type, kStructsTagTemporary, &out, value);
  if (rc) *rc = r;
  std::vector<uint8_t> v(out.data, out.data + out.length);
  TypedMem_Free(kStructsTagTemporary, out.data);
  return v;
}

// Decode from an exact-size heap copy, so that any over-read is caught.
inline int Decode(const StructsType* type, const std::vector<uint8_t>& code, size_t n, void* value,
                  std::string* message = nullptr) {
  uint8_t* copy = static_cast<uint8_t*>(std::malloc(n ? n : 1));
  if (n) std::memcpy(copy, code.data(), n);
  char msg[128] = "";
  const int r = type->decode(type, copy, n, value, msg, sizeof msg);
  std::free(copy);
  if (message) *message = msg;
  return r;
}

}  // namespace structs_test
