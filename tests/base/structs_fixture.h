// A record type that exercises every built-in family and every composite
// class: shared by the structure-type tests and the fuzz targets.
#pragma once
#include <cstdint>

#include "base/structs/structs.h"

namespace structs_fixture {

struct Range {
  float from;
  float to;
};

struct Entry {
  char name[16];
  Range range;
  uint8_t kind;  // "AI", "DI", ...
};

struct Record {
  char* title;           // string
  char* note;            // string, null allowed
  StructsData blob;      // data (base64)
  StructsData hex;       // data (hexadecimal)
  uint8_t key[4];        // fixeddata
  Entry entries[3];      // fixed array of structures
  StructsArray tags;     // array of strings
  StructsArray items;    // array of structures
  StructsUnion choice;   // union: "Number" (int32), "Span" (Range), "Text" (string)
  uint32_t enabled;      // boolean, 32-bit, "Off"/"On"
  uint8_t flag;          // boolean, 8-bit
  double ratio;
  int16_t small;
  uint64_t big;
  uint16_t mask;  // hint16
};

inline constinit const StructsField range_fields[] = {STRUCTS_FIELD(Range, from, "From", structs_type_float),
                                                      STRUCTS_FIELD(Range, to, "To", structs_type_float),
                                                      STRUCTS_FIELD_END};
inline constinit const StructsType range_type = Structs_StructureType(sizeof(Range), range_fields);

inline constinit const StructsType name16_type = Structs_FixedStringType(16);
inline constinit const StructsField entry_fields[] = {STRUCTS_FIELD(Entry, name, "Name", name16_type),
                                                      STRUCTS_FIELD(Entry, range, "Range", range_type),
                                                      STRUCTS_FIELD(Entry, kind, "Kind", structs_type_chan_kind8),
                                                      STRUCTS_FIELD_END};
inline constinit const StructsType entry_type = Structs_StructureType(sizeof(Entry), entry_fields);

inline constinit const StructsType key_type = Structs_FixedDataType(4);
inline constinit const StructsType entries_type = Structs_FixedArrayType(&entry_type, sizeof(Entry), 3, "entry");
inline constinit const StructsType tags_type = Structs_ArrayType(&structs_type_string, "fixture tags", "tag");
inline constinit const StructsType items_type = Structs_ArrayType(&entry_type, "fixture items", "item");

inline constinit const StructsField choice_fields[] = {
    StructsField{"Number", &structs_type_int32, 4, 0}, StructsField{"Span", &range_type, sizeof(Range), 0},
    StructsField{"Text", &structs_type_string, sizeof(char*), 0}, STRUCTS_FIELD_END};
inline constinit const StructsType choice_type = Structs_UnionType(choice_fields, "fixture choice");

inline constinit const StructsField record_fields[] = {
    STRUCTS_FIELD(Record, title, "Title", structs_type_string),
    STRUCTS_FIELD(Record, note, "Note", structs_type_string_null),
    STRUCTS_FIELD(Record, blob, "Blob", structs_type_data),
    STRUCTS_FIELD(Record, hex, "Hex", structs_type_hexdata),
    STRUCTS_FIELD(Record, key, "Key", key_type),
    STRUCTS_FIELD(Record, entries, "Entries", entries_type),
    STRUCTS_FIELD(Record, tags, "Tags", tags_type),
    STRUCTS_FIELD(Record, items, "Items", items_type),
    STRUCTS_FIELD(Record, choice, "Choice", choice_type),
    STRUCTS_FIELD(Record, enabled, "Enabled", structs_type_boolean32_onoff),
    STRUCTS_FIELD(Record, flag, "Flag", structs_type_boolean8),
    STRUCTS_FIELD(Record, ratio, "Ratio", structs_type_double),
    STRUCTS_FIELD(Record, small, "Small", structs_type_int16),
    STRUCTS_FIELD(Record, big, "Big", structs_type_uint64),
    STRUCTS_FIELD(Record, mask, "Mask", structs_type_hint16),
    STRUCTS_FIELD_END};
inline constinit const StructsType record_type = Structs_StructureType(sizeof(Record), record_fields);

}  // namespace structs_fixture
