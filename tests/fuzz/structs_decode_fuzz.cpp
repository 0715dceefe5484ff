// libFuzzer target: decoding any bytes into the structure types must never
// read past the input, leak, or crash; what decodes must encode again to a
// form that decodes back to the same encoding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "base/memory/typedmem.h"
#include "base/structs/structs.h"
#include "base/structs/structs_item.h"
#include "tests/base/structs_fixture.h"

using namespace structs_fixture;

namespace {

const StructsType* const kTypes[] = {&record_type,        &entry_type,        &entries_type,
                                     &items_type,         &tags_type,         &choice_type,
                                     &structs_type_data,  &structs_type_string, &structs_type_string_null,
                                     &name16_type,        &key_type,          &structs_type_double,
                                     &structs_type_int64, &structs_type_typed_mem_stats};

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const StructsType* type = kTypes[data[0] % (sizeof kTypes / sizeof kTypes[0])];
  const size_t n = size - 1;
  // An exact-size copy, so that ASan sees any read beyond the input.
  uint8_t* code = static_cast<uint8_t*>(std::malloc(n ? n : 1));
  if (n) std::memcpy(code, data + 1, n);
  void* value = std::calloc(1, type->size);
  char msg[64];
  const int r = type->decode(type, code, n, value, msg, sizeof msg);
  std::free(code);
  if (r < 0) {
    // A failed decode leaves nothing owned and a terminated message.
    Check(std::memchr(msg, 0, sizeof msg) != nullptr);
    std::free(value);
    return 0;
  }
  Check(static_cast<size_t>(r) <= n);
  StructsData once{0, nullptr};
  Check(type->encode(type, kStructsTagTemporary, &once, value) == 0);
  void* again = std::calloc(1, type->size);
  const int r2 = type->decode(type, once.data, once.length, again, msg, sizeof msg);
  Check(r2 == static_cast<int>(once.length));
  StructsData twice{0, nullptr};
  Check(type->encode(type, kStructsTagTemporary, &twice, again) == 0);
  Check(twice.length == once.length && (once.length == 0 || std::memcmp(once.data, twice.data, once.length) == 0));
  // Item names of what was decoded all resolve.
  char** names = nullptr;
  const int count = Structs_ListItemNames(type, value, &names, "fuzz names");
  Check(count >= 0);
  for (int i = 0; i < count; ++i) {
    void* item = value;
    Check(Structs_FindItem(type, names[i], &item, 0) != nullptr);
  }
  Structs_FreeItemNames(names, count, "fuzz names");
  TypedMem_Free(kStructsTagTemporary, once.data);
  TypedMem_Free(kStructsTagTemporary, twice.data);
  type->release(type, again);
  type->release(type, value);
  std::free(again);
  std::free(value);
  return 0;
}
