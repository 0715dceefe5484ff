// libFuzzer target: setting any text into any leaf of a record (and any
// dotted name at all) must never crash or leak; a text that is accepted
// gives a text form that is accepted again.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "base/memory/typedmem.h"
#include "base/structs/structs.h"
#include "base/structs/structs_item.h"
#include "tests/base/structs_fixture.h"

using namespace structs_fixture;

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

void Prepare(void* rec) {
  for (const char* n : {"Tags.0", "Tags.1", "Items.0", "Choice.Span"})
    Check(Structs_ArrayPrepare(&record_type, n, rec) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  alignas(16) uint8_t rec[sizeof(Record)];
  alignas(16) uint8_t copy[sizeof(Record)];
  Check(record_type.init(&record_type, rec) == 0);
  Check(record_type.init(&record_type, copy) == 0);
  Prepare(rec);
  Prepare(copy);
  char** names = nullptr;
  const int count = Structs_ListItemNames(&record_type, rec, &names, "fuzz names");
  Check(count > 0);
  // First byte: a leaf by number, or (high bit) a name taken from the input.
  std::string name, text;
  const char* body = reinterpret_cast<const char*>(data + 1);
  if (data[0] & 0x80) {
    const char* sep = static_cast<const char*>(std::memchr(body, '=', size - 1));
    const size_t cut = sep ? static_cast<size_t>(sep - body) : size - 1;
    name.assign(body, cut);
    text.assign(sep ? sep + 1 : body + cut, sep ? size - 1 - cut - 1 : 0);
  } else {
    name = names[data[0] % count];
    text.assign(body, size - 1);
  }
  name = name.c_str();  // the functions read up to a zero byte
  text = text.c_str();
  char msg[80];
  const int r = Structs_SetItemText(&record_type, name.c_str(), text.c_str(), rec, msg, sizeof msg);
  Check(std::memchr(msg, 0, sizeof msg) != nullptr);
  if (r == 0) {
    char* shown = Structs_GetItemText(&record_type, name.c_str(), kStructsTagTemporary, rec);
    if (shown) {
      Check(Structs_SetItemText(&record_type, name.c_str(), shown, copy, msg, sizeof msg) == 0);
      char* again = Structs_GetItemText(&record_type, name.c_str(), kStructsTagTemporary, copy);
      Check(again != nullptr);
      void* item = rec;
      const StructsType* t = Structs_FindItem(&record_type, name.c_str(), &item, 0);
      Check(t != nullptr);
      // "%.16g" need not print the nearest double twice the same way.
      if (std::strcmp(t->name, "float") != 0 && std::strcmp(t->name, "double") != 0)
        Check(std::strcmp(shown, again) == 0);
      TypedMem_Free(kStructsTagTemporary, again);
      TypedMem_Free(kStructsTagTemporary, shown);
    }
  }
  Structs_FreeItemNames(names, count, "fuzz names");
  record_type.release(&record_type, rec);
  record_type.release(&record_type, copy);
  return 0;
}
