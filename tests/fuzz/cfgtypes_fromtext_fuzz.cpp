// libFuzzer target: any text set into any of the configuration records' own
// field types (and into every item of the channel types) must never crash
// or leak; once a text is accepted, showing and reading it back settles
// after one cycle (what is read back from its own text form is the same
// value again).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "base/memory/typedmem.h"
#include "base/structs/structs_item.h"
#include "cdxlib/records/chanconfig.h"
#include "cdxlib/config/cfgtypes.h"
#include "cdxlib/config/chantypes.h"

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

const StructsType* const kTypes[] = {&cfg_type_time,        &cfg_type_period,      &cfg_type_eol,
                                     &cfg_type_sep,         &cfg_type_password,    &cfg_type_server,
                                     &cfg_type_fixedtext2,  &cfg_type_fixedtext15, &cfg_type_fixedtext32};

// FromText then ToText; false when the text is refused. A failed ToText
// (the cipher unavailable) is a failure of the target.
bool Cycle(const StructsType* type, const char* name, const std::string& text, void* rec, std::string* shown) {
  char ebuf[128];
  if (Structs_SetItemText(type, name, text.c_str(), rec, ebuf, sizeof ebuf) != 0) {
    Check(strlen(ebuf) < sizeof ebuf);
    return false;
  }
  char* t = Structs_GetItemText(type, name, kStructsTagTemporary, rec);
  Check(t != nullptr);
  *shown = t;
  TypedMem_Free(kStructsTagTemporary, t);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const std::string text(reinterpret_cast<const char*>(data) + 1, strnlen(reinterpret_cast<const char*>(data) + 1, size - 1));
  const unsigned pick = data[0];
  constexpr unsigned kOwn = sizeof kTypes / sizeof kTypes[0];
  const StructsType* type;
  std::string name;
  std::vector<uint8_t> value;
  if (pick % 2 == 0) {
    // A field of its own, in a block of exactly its size.
    type = kTypes[(pick / 2) % kOwn];
    value.assign(type->size, 0);
  } else {
    // An item of a channel record.
    type = (pick & 2) ? &cfg_type_digital_channel : &cfg_type_analog_channel;
    value.assign(sizeof(ChannelConfig), 0);
    value[24] = (pick & 2) ? 1 : 0;
    char** names = nullptr;
    const int n = Structs_ListItemNames(type, value.data(), &names, "fuzz names");
    Check(n > 0);
    name = names[(pick / 4) % static_cast<unsigned>(n)];
    Structs_FreeItemNames(names, n, "fuzz names");
  }
  std::string shown1, shown2, shown3;
  if (!Cycle(type, name.c_str(), text, value.data(), &shown1)) return 0;
  Check(Cycle(type, name.c_str(), shown1, value.data(), &shown2));
  const std::vector<uint8_t> settled = value;
  Check(Cycle(type, name.c_str(), shown2, value.data(), &shown3));
  Check(shown3 == shown2);
  Check(value == settled);
  return 0;
}
