// The built-in descriptors and the id word tables.
#include "base/memory/typedmem.h"
#include "base/structs/structs.h"

namespace {

constexpr StructsType IntType(const char* name, uintptr_t code, uintptr_t style) {
  constexpr uint32_t widths[8] = {1, 2, 4, 4, 1, 2, 4, 8};
  return StructsType{widths[code], name, STRUCTS_TYPE_PRIMITIVE, Structs_ZeroInit, Structs_ByteCopy,
                     Structs_ByteEqual, Structs_IntToText, Structs_IntFromText, Structs_ReversedEncode,
                     Structs_ReversedDecode, Structs_NoRelease, {StructsNum(code), StructsNum(style), StructsNum(0)}};
}

constexpr StructsType BoolType(uintptr_t storage, uintptr_t pair) {
  return StructsType{storage ? 4u : 1u, "boolean", STRUCTS_TYPE_PRIMITIVE, Structs_ZeroInit, Structs_ByteCopy,
                     Structs_ByteEqual, Structs_BooleanToText, Structs_BooleanFromText, Structs_ReversedEncode,
                     Structs_ReversedDecode, Structs_NoRelease,
                     {StructsNum(storage), StructsNum(pair), StructsNum(0)}};
}

constexpr StructsType FloatType(const char* name, uint32_t size, uintptr_t isDouble) {
  return StructsType{size, name, STRUCTS_TYPE_PRIMITIVE, Structs_ZeroInit, Structs_ByteCopy, Structs_FloatEqual,
                     Structs_FloatToText, Structs_FloatFromText, Structs_ReversedEncode, Structs_ReversedDecode,
                     Structs_NoRelease, {StructsNum(isDouble), StructsNum(0), StructsNum(0)}};
}

constexpr StructsType DataType(const char* charset) {
  return StructsType{sizeof(StructsData), "data", STRUCTS_TYPE_PRIMITIVE, Structs_ZeroInit, Structs_DataCopy,
                     Structs_DataEqual, Structs_DataToText, Structs_DataFromText, Structs_DataEncode,
                     Structs_DataDecode, Structs_DataRelease,
                     {StructsText(charset), StructsText("structs_data"), StructsNum(0)}};
}

constexpr StructsType StringType(uintptr_t nullOk) {
  return StructsType{sizeof(char*), "string", STRUCTS_TYPE_PRIMITIVE, Structs_StringInit, Structs_StringCopy,
                     Structs_StringEqual, Structs_StringToText, Structs_StringFromText, Structs_StringEncode,
                     Structs_StringDecode, Structs_StringRelease,
                     {StructsText("structs_type_string"), StructsNum(nullOk), StructsNum(0)}};
}

}  // namespace

constinit const StructsType structs_type_char = IntType("int", 0, 1);
constinit const StructsType structs_type_uchar = IntType("uint", 0, 0);
constinit const StructsType structs_type_hchar = IntType("hint", 0, 2);
constinit const StructsType structs_type_short = IntType("int", 1, 1);
constinit const StructsType structs_type_ushort = IntType("uint", 1, 0);
constinit const StructsType structs_type_hshort = IntType("hint", 1, 2);
constinit const StructsType structs_type_int = IntType("int", 2, 1);
constinit const StructsType structs_type_uint = IntType("uint", 2, 0);
constinit const StructsType structs_type_hint = IntType("hint", 2, 2);
constinit const StructsType structs_type_long = IntType("int", 3, 1);
constinit const StructsType structs_type_ulong = IntType("uint", 3, 0);
constinit const StructsType structs_type_hlong = IntType("hint", 3, 2);
constinit const StructsType structs_type_int8 = IntType("int", 4, 1);
constinit const StructsType structs_type_uint8 = IntType("uint", 4, 0);
constinit const StructsType structs_type_hint8 = IntType("hint", 4, 2);
constinit const StructsType structs_type_int16 = IntType("int", 5, 1);
constinit const StructsType structs_type_uint16 = IntType("uint", 5, 0);
constinit const StructsType structs_type_hint16 = IntType("hint", 5, 2);
constinit const StructsType structs_type_int32 = IntType("int", 6, 1);
constinit const StructsType structs_type_uint32 = IntType("uint", 6, 0);
constinit const StructsType structs_type_hint32 = IntType("hint", 6, 2);
constinit const StructsType structs_type_int64 = IntType("int", 7, 1);
constinit const StructsType structs_type_uint64 = IntType("uint", 7, 0);
constinit const StructsType structs_type_hint64 = IntType("hint", 7, 2);

const StructsType* Structs_IntegerType(unsigned sizeCode, unsigned style) {
  static const StructsType* const table[8][3] = {
      {&structs_type_uchar, &structs_type_char, &structs_type_hchar},
      {&structs_type_ushort, &structs_type_short, &structs_type_hshort},
      {&structs_type_uint, &structs_type_int, &structs_type_hint},
      {&structs_type_ulong, &structs_type_long, &structs_type_hlong},
      {&structs_type_uint8, &structs_type_int8, &structs_type_hint8},
      {&structs_type_uint16, &structs_type_int16, &structs_type_hint16},
      {&structs_type_uint32, &structs_type_int32, &structs_type_hint32},
      {&structs_type_uint64, &structs_type_int64, &structs_type_hint64}};
  if (sizeCode > 7 || style > 2) return nullptr;
  return table[sizeCode][style];
}

constinit const StructsType structs_type_boolean8 = BoolType(0, 0);
constinit const StructsType structs_type_boolean8_onoff = BoolType(0, 2);
constinit const StructsType structs_type_boolean8_01 = BoolType(0, 4);
constinit const StructsType structs_type_boolean32 = BoolType(1, 0);
constinit const StructsType structs_type_boolean32_onoff = BoolType(1, 2);
constinit const StructsType structs_type_boolean32_01 = BoolType(1, 4);

constinit const StructsType structs_type_float = FloatType("float", 4, 0);
constinit const StructsType structs_type_double = FloatType("double", 8, 1);

constinit const StructsType structs_type_data = DataType(nullptr);
constinit const StructsType structs_type_hexdata = DataType("");
constinit const StructsType structs_type_string = StringType(0);
constinit const StructsType structs_type_string_null = StringType(1);

// Read-only: writing an array's count would not resize its block.
constinit const StructsType structs_type_array_length = {
    4, "uint", STRUCTS_TYPE_PRIMITIVE, Structs_ZeroInit, Structs_ByteCopy, Structs_ByteEqual, Structs_IntToText,
    Structs_UnsupportedFromText, Structs_ReversedEncode, Structs_UnsupportedDecode, Structs_NoRelease,
    {StructsNum(2), StructsNum(0), StructsNum(0)}};

// Read-only, and its value points into the union's field table, so
// releasing it frees nothing.
constinit const StructsType structs_type_union_field_name = {
    sizeof(char*), "string", STRUCTS_TYPE_PRIMITIVE, Structs_UnsupportedInit, Structs_UnsupportedCopy,
    Structs_StringEqual, Structs_StringToText, Structs_UnsupportedFromText, Structs_UnsupportedEncode,
    Structs_UnsupportedDecode, Structs_NoRelease,
    {StructsText("union field_name"), StructsNum(0), StructsNum(0)}};

namespace {
constinit const StructsType usage_tag_type = Structs_FixedStringType(kTypedMemTagSize);
constinit const StructsField usage_fields[] = {
    STRUCTS_FIELD(TypedMemUsageEntry, type, "type", usage_tag_type),
    STRUCTS_FIELD(TypedMemUsageEntry, allocs, "allocs", structs_type_uint32),
    STRUCTS_FIELD(TypedMemUsageEntry, bytes, "bytes", structs_type_uint32), STRUCTS_FIELD_END};
constinit const StructsType usage_entry_type = Structs_StructureType(sizeof(TypedMemUsageEntry), usage_fields);
}  // namespace
constinit const StructsType structs_type_typed_mem_stats =
    Structs_ArrayType(&usage_entry_type, "typed_mem_stats", "entry");

// ---- id word tables ----------------------------------------------------------------------

#define ID(name, value) StructsIdEntry{name, value, 0}
#define ID_END StructsIdEntry{nullptr, 0, 0}

constinit const StructsIdEntry structs_ids_chan_kind[] = {ID("AI", 0), ID("DI", 1), ID("AO", 2), ID("DO", 3),
                                                          ID("CI", 4), ID_END};
constinit const StructsIdEntry structs_ids_store_kind[] = {ID("FILE", 0), ID("DATABASE", 1), ID_END};
constinit const StructsIdEntry structs_ids_log_mode[] = {ID("PERIOD", 0), ID("PERIOD-EVENT", 1), ID("EVENT", 2),
                                                         ID("RATE OF CHANGE", 3), ID_END};
constinit const StructsIdEntry structs_ids_date_format[] = {
    ID("SHORT", 0),      ID("LONG", 1),       ID("dd/MM/yyyy", 2), ID("dd/MM/yy", 3),
    ID("MM/dd/yyyy", 4), ID("MM/dd/yy", 5),   ID("yy/MM/dd", 6),   ID("yyyy/MM/dd", 7),
    ID("yyyy-MM-dd", 8), ID("yy-MM-dd", 9),   ID("dd-MMM-yyyy", 10), ID("dd-MMM-yy", 11),
    ID_END};
constinit const StructsIdEntry structs_ids_export_when[] = {ID("NONE", 0), ID("ON TIME", 1), ID("ON EVENT", 2),
                                                            ID_END};
constinit const StructsIdEntry structs_ids_append_create[] = {ID("APPEND", 0), ID("CREATE", 1), ID_END};
constinit const StructsIdEntry structs_ids_create_append[] = {ID("CREATE", 0), ID("APPEND", 1), ID_END};
constinit const StructsIdEntry structs_ids_export_action[] = {ID("RUN COMMAND", 0), ID("DATA EXPORT", 1), ID_END};
constinit const StructsIdEntry structs_ids_export_format[] = {ID("NONE", 0), ID("TEXT FILE", 1),
                                                              ID("USER DEFINED", 2), ID_END};
constinit const StructsIdEntry structs_ids_time_mode[] = {ID("ELAPSED", 0), ID("DIFFERENTIAL", 1),
                                                          ID("ABSOLUTE", 2), ID_END};
constinit const StructsIdEntry structs_ids_time_unit[] = {ID("SECONDS", 0), ID("MINUTES", 1), ID("HOURS", 2),
                                                          ID_END};
constinit const StructsIdEntry structs_ids_export_filter[] = {ID("EXPORT ALL", 0), ID("SKIP EVERY", 1),
                                                              ID("SKIP TIME FREQUENCY", 2),
                                                              ID("SKIP DUPLICATES", 3), ID_END};
constinit const StructsIdEntry structs_ids_server_kind[] = {ID("WebService", 0), ID("Directory", 1), ID_END};

constinit const StructsType structs_type_chan_kind8 = Structs_IdType(structs_ids_chan_kind, 1);
constinit const StructsType structs_type_store_kind32 = Structs_IdType(structs_ids_store_kind, 4);
constinit const StructsType structs_type_log_mode8 = Structs_IdType(structs_ids_log_mode, 1);
constinit const StructsType structs_type_date_format32 = Structs_IdType(structs_ids_date_format, 4);
constinit const StructsType structs_type_date_format8 = Structs_IdType(structs_ids_date_format, 1);
constinit const StructsType structs_type_export_when8 = Structs_IdType(structs_ids_export_when, 1);
constinit const StructsType structs_type_append_create8 = Structs_IdType(structs_ids_append_create, 1);
constinit const StructsType structs_type_create_append32 = Structs_IdType(structs_ids_create_append, 4);
constinit const StructsType structs_type_export_action32 = Structs_IdType(structs_ids_export_action, 4);
constinit const StructsType structs_type_export_format8 = Structs_IdType(structs_ids_export_format, 1);
constinit const StructsType structs_type_time_mode8 = Structs_IdType(structs_ids_time_mode, 1);
constinit const StructsType structs_type_time_unit8 = Structs_IdType(structs_ids_time_unit, 1);
constinit const StructsType structs_type_export_filter8 = Structs_IdType(structs_ids_export_filter, 1);
constinit const StructsType structs_type_server_kind32 = Structs_IdType(structs_ids_server_kind, 4);
