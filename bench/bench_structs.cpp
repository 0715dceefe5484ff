// Structure types: the cost of item access by dotted name over a wide
// record (every leaf set and read by name, as the XML layer does), and of
// encoding and decoding the whole record.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "base/memory/typedmem.h"
#include "base/structs/structs.h"
#include "base/structs/structs_item.h"

namespace {

struct Channel {
  char tag[16];
  float from;
  float to;
  uint32_t on;
  char* units;
  int32_t count;
};
constinit const StructsType tag_type = Structs_FixedStringType(16);
constinit const StructsField channel_fields[] = {
    STRUCTS_FIELD(Channel, tag, "Tag", tag_type),     STRUCTS_FIELD(Channel, from, "From", structs_type_float),
    STRUCTS_FIELD(Channel, to, "To", structs_type_float), STRUCTS_FIELD(Channel, on, "On", structs_type_boolean32_onoff),
    STRUCTS_FIELD(Channel, units, "Units", structs_type_string),
    STRUCTS_FIELD(Channel, count, "Count", structs_type_int32), STRUCTS_FIELD_END};
constinit const StructsType channel_type = Structs_StructureType(sizeof(Channel), channel_fields);
struct Wide {
  Channel channels[150];  // 900 leaves
};
constinit const StructsType channels_type = Structs_FixedArrayType(&channel_type, sizeof(Channel), 150, "channel");
constinit const StructsField wide_fields[] = {STRUCTS_FIELD(Wide, channels, "Channels", channels_type),
                                              STRUCTS_FIELD_END};
constinit const StructsType wide_type = Structs_StructureType(sizeof(Wide), wide_fields);

std::vector<std::string> LeafNames(const void* value) {
  char** list = nullptr;
  const int n = Structs_ListItemNames(&wide_type, value, &list, "bench");
  std::vector<std::string> names(list, list + n);
  Structs_FreeItemNames(list, n, "bench");
  return names;
}

void BM_SetAndGetEveryLeaf(benchmark::State& state) {
  auto* w = new Wide;
  wide_type.init(&wide_type, w);
  const std::vector<std::string> names = LeafNames(w);
  for (auto _ : state) {
    for (const std::string& n : names) {
      char* t = Structs_GetItemText(&wide_type, n.c_str(), kStructsTagTemporary, w);
      Structs_SetItemText(&wide_type, n.c_str(), t, w, nullptr, 0);
      TypedMem_Free(kStructsTagTemporary, t);
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(names.size()));
  wide_type.release(&wide_type, w);
  delete w;
}
BENCHMARK(BM_SetAndGetEveryLeaf);

void BM_EncodeDecode(benchmark::State& state) {
  auto* w = new Wide;
  wide_type.init(&wide_type, w);
  for (int i = 0; i < 150; i += 2) {
    const std::string p = "Channels." + std::to_string(i);
    Structs_SetItemText(&wide_type, (p + ".Units").c_str(), "m3/h", w, nullptr, 0);
    Structs_SetItemText(&wide_type, (p + ".To").c_str(), "100", w, nullptr, 0);
  }
  auto* d = new Wide;
  for (auto _ : state) {
    StructsData code{0, nullptr};
    wide_type.encode(&wide_type, kStructsTagTemporary, &code, w);
    wide_type.decode(&wide_type, code.data, code.length, d, nullptr, 0);
    wide_type.release(&wide_type, d);
    TypedMem_Free(kStructsTagTemporary, code.data);
  }
  wide_type.release(&wide_type, w);
  delete w;
  delete d;
}
BENCHMARK(BM_EncodeDecode);

}  // namespace

BENCHMARK_MAIN();
