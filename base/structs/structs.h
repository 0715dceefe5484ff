// Structure types: run-time descriptors of plain fixed-layout values.
//
// A StructsType describes one kind of value: how many bytes it occupies
// where it is stored, its family name, its class and eight operations
// (initialise, copy, compare, to and from text, encode to and decode from a
// portable binary form, release). Records are described by structure types
// whose field tables name each member; base/structs/structs_item.h reads and
// writes items of such records by dotted name ("Range.From", "Tags.3").
//
// Descriptors are constant objects, shared by all threads and never freed.
// Define your own as constinit objects built with the constexpr helpers at
// the end of this file, so that they are ready before any static
// constructor runs:
//
//     struct Range { float from; float to; };
//     constinit const StructsField range_fields[] = {
//         STRUCTS_FIELD(Range, from, "From", structs_type_float),
//         STRUCTS_FIELD(Range, to, "To", structs_type_float),
//         STRUCTS_FIELD_END};
//     constinit const StructsType range_type =
//         Structs_StructureType(sizeof(Range), range_fields);
//
// Errors: operations return -1 (ToText: null; Equal has no error) and leave
// the C runtime's error code in errno: EINVAL 22, EDOM 33, ERANGE 34,
// ENOENT 2, ENOMEM 12, and kStructsErrNotImplemented (40) for an operation
// that a type does not support. Structs_ErrorText() gives the text of these
// codes (strerror would call 40 something else on Linux). Operations that
// take an error buffer (ebuf, emax) also write a message there, always
// terminated and cut to emax bytes; a null ebuf or emax 0 means no message.
//
// Memory: every block an operation allocates is taken under a memory-type
// tag (base/memory/typedmem.h) and must be freed under the same tag: "TEMPORARY"
// for scratch, "structs_type_string" for string values, "structs_data" for
// data bytes, the array's own tag for element blocks.
//
// Text forms are read and written in the C locale whatever the process's
// locale is.
#pragma once
#include <cstddef>
#include <cstdint>

struct StructsType;
struct StructsField;
struct StructsIdEntry;

// The errno of an operation that a type does not support (the runtime's
// "function not implemented"; Linux's own ENOSYS is 38).
constexpr int kStructsErrNotImplemented = 40;

// The memory tag of callers' scratch values and encodings.
constexpr const char* kStructsTagTemporary = "TEMPORARY";

// Text of a runtime error code as this library reports it: 40 reads
// "Function not implemented", the others as the C library's English texts.
// Never null; the text is constant.
const char* Structs_ErrorText(int err);

// Writes a message into (ebuf, emax) with printf formatting, terminated and
// cut to emax bytes; does nothing when ebuf is null or emax is 0. For type
// operations of other families.
void Structs_SetError(char* ebuf, size_t emax, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

// ---- value layouts ----------------------------------------------------------

// A "data" value, and the output of every Encode: length bytes at data.
struct StructsData {
  uint32_t length;
  uint8_t* data;
};

// A variable array value: length elements back to back in one block.
struct StructsArray {
  uint32_t length;
  void* elems;
};

// A union value: the active field's name (a pointer into the union's field
// table) and a pointer to its value (allocated under the union's tag).
struct StructsUnion {
  const char* field_name;
  void* un;
};

// ---- descriptors --------------------------------------------------------------

enum StructsClass : uint32_t {
  STRUCTS_TYPE_PRIMITIVE = 0,
  STRUCTS_TYPE_POINTER = 1,  // value is a pointer to a value of args[0].type
  STRUCTS_TYPE_ARRAY = 2,    // StructsArray of args[0].type
  STRUCTS_TYPE_FIXEDARRAY = 3,
  STRUCTS_TYPE_STRUCTURE = 4,
  STRUCTS_TYPE_UNION = 5,
};

// The eight operations; each receives the descriptor first.
// Init: writes the initial value into uninitialised memory; 0 or -1.
using StructsInitFunc = int(const StructsType* type, void* value);
// Copy: destination is uninitialised memory; 0 or -1.
using StructsCopyFunc = int(const StructsType* type, const void* from, void* to);
// Equal: 1 when equal, 0 when not.
using StructsEqualFunc = int(const StructsType* type, const void* a, const void* b);
// ToText: a new zero-terminated text allocated under mtag, or null.
using StructsToTextFunc = char*(const StructsType* type, const char* mtag, const void* value);
// FromText: replaces an initialised value; 0 or -1.
using StructsFromTextFunc = int(const StructsType* type, const char* text, void* value, char* ebuf, size_t emax);
// Encode: fills *out (bytes allocated under mtag); 0 or -1 (out {0, null}).
using StructsEncodeFunc = int(const StructsType* type, const char* mtag, StructsData* out, const void* value);
// Decode: writes a value into uninitialised memory from at most cmax bytes
// and returns the number of bytes consumed, or -1.
using StructsDecodeFunc = int(const StructsType* type, const uint8_t* code, size_t cmax, void* value, char* ebuf,
                              size_t emax);
// Release: frees what the value owns.
using StructsReleaseFunc = void(const StructsType* type, void* value);

// One argument word. Each family reads the member it defines (see below).
union StructsArg {
  uintptr_t num;
  const char* text;
  const void* ptr;
  const StructsType* type;
  const StructsField* fields;
  const StructsIdEntry* ids;
};

struct StructsType {
  uint32_t size;        // bytes one value occupies where it is stored
  const char* name;     // family name: "int", "string", "structure", ...
  StructsClass tclass;  // STRUCTS_TYPE_*
  StructsInitFunc* init;
  StructsCopyFunc* copy;
  StructsEqualFunc* equal;
  StructsToTextFunc* to_text;
  StructsFromTextFunc* from_text;
  StructsEncodeFunc* encode;
  StructsDecodeFunc* decode;
  StructsReleaseFunc* release;
  StructsArg args[3];
};

// A member of a structure (or an alternative of a union). A table ends at
// an entry whose name is null. size must equal type->size.
struct StructsField {
  const char* name;
  const StructsType* type;
  uint16_t size;
  uint16_t offset;
};

// A word of an "id" table. A table ends at an entry whose name is null.
struct StructsIdEntry {
  const char* name;
  uint32_t value;
  uint32_t nocase;  // 1: the name matches without regard to case
};

// A field named `name` for member `member` of record type `Rec`.
#define STRUCTS_FIELD(Rec, member, name, type) \
  StructsField { (name), &(type), static_cast<uint16_t>(sizeof(Rec::member)), static_cast<uint16_t>(offsetof(Rec, member)) }
#define STRUCTS_FIELD_END \
  StructsField { nullptr, nullptr, 0, 0 }

// ---- generic operation slots ------------------------------------------------------

int Structs_ZeroInit(const StructsType* type, void* value);                       // size zero bytes
int Structs_ByteCopy(const StructsType* type, const void* from, void* to);        // size bytes
int Structs_ByteEqual(const StructsType* type, const void* a, const void* b);     // size bytes
// Big-endian encoding of a little-endian value (Decode: size at most 16,
// else ERANGE).
int Structs_ReversedEncode(const StructsType* type, const char* mtag, StructsData* out, const void* value);
int Structs_ReversedDecode(const StructsType* type, const uint8_t* code, size_t cmax, void* value, char* ebuf,
                           size_t emax);
// The value's bytes as they are.
int Structs_PlainEncode(const StructsType* type, const char* mtag, StructsData* out, const void* value);
int Structs_PlainDecode(const StructsType* type, const uint8_t* code, size_t cmax, void* value, char* ebuf,
                        size_t emax);
void Structs_NoRelease(const StructsType* type, void* value);
// errno 40 and -1 (null); FromText and Decode also write their message.
int Structs_UnsupportedInit(const StructsType* type, void* value);
int Structs_UnsupportedCopy(const StructsType* type, const void* from, void* to);
int Structs_UnsupportedEqual(const StructsType* type, const void* a, const void* b);
char* Structs_UnsupportedToText(const StructsType* type, const char* mtag, const void* value);
int Structs_UnsupportedFromText(const StructsType* type, const char* text, void* value, char* ebuf, size_t emax);
int Structs_UnsupportedEncode(const StructsType* type, const char* mtag, StructsData* out, const void* value);
int Structs_UnsupportedDecode(const StructsType* type, const uint8_t* code, size_t cmax, void* value, char* ebuf,
                              size_t emax);

// ---- family operations --------------------------------------------------------------
// Integers: args[0].num size code (0-7), args[1].num 0 unsigned, 1 signed,
// 2 hexadecimal.
char* Structs_IntToText(const StructsType* type, const char* mtag, const void* value);
int Structs_IntFromText(const StructsType* type, const char* text, void* value, char* ebuf, size_t emax);
// Booleans: args[0].num 0 = 8-bit, 1 = 32-bit storage; args[1].num word pair.
char* Structs_BooleanToText(const StructsType* type, const char* mtag, const void* value);
int Structs_BooleanFromText(const StructsType* type, const char* text, void* value, char* ebuf, size_t emax);
// Floats: args[0].num 0 float, 1 double.
int Structs_FloatEqual(const StructsType* type, const void* a, const void* b);
char* Structs_FloatToText(const StructsType* type, const char* mtag, const void* value);
int Structs_FloatFromText(const StructsType* type, const char* text, void* value, char* ebuf, size_t emax);
// Ids: args[0].ids the table; size 1, 2 or 4.
int Structs_IdInit(const StructsType* type, void* value);
char* Structs_IdToText(const StructsType* type, const char* mtag, const void* value);
int Structs_IdFromText(const StructsType* type, const char* text, void* value, char* ebuf, size_t emax);
// Strings (value char*): args[0].text memory tag, args[1].num 1 = null allowed.
int Structs_StringInit(const StructsType* type, void* value);
int Structs_StringCopy(const StructsType* type, const void* from, void* to);
int Structs_StringEqual(const StructsType* type, const void* a, const void* b);
char* Structs_StringToText(const StructsType* type, const char* mtag, const void* value);
int Structs_StringFromText(const StructsType* type, const char* text, void* value, char* ebuf, size_t emax);
void Structs_StringRelease(const StructsType* type, void* value);
// The encoding of every text family: the type's ToText with its zero;
// Decode hands the text to the type's FromText.
int Structs_StringEncode(const StructsType* type, const char* mtag, StructsData* out, const void* value);
int Structs_StringDecode(const StructsType* type, const uint8_t* code, size_t cmax, void* value, char* ebuf,
                         size_t emax);
// Fixed strings: a text buffer of size bytes inline.
int Structs_FixedStringEqual(const StructsType* type, const void* a, const void* b);
char* Structs_FixedStringToText(const StructsType* type, const char* mtag, const void* value);
int Structs_FixedStringFromText(const StructsType* type, const char* text, void* value, char* ebuf, size_t emax);
// Data (StructsData): args[0].text charset (null: standard base64, "":
// hexadecimal), args[1].text memory tag of the bytes.
int Structs_DataCopy(const StructsType* type, const void* from, void* to);
int Structs_DataEqual(const StructsType* type, const void* a, const void* b);
char* Structs_DataToText(const StructsType* type, const char* mtag, const void* value);
int Structs_DataFromText(const StructsType* type, const char* text, void* value, char* ebuf, size_t emax);
int Structs_DataEncode(const StructsType* type, const char* mtag, StructsData* out, const void* value);
int Structs_DataDecode(const StructsType* type, const uint8_t* code, size_t cmax, void* value, char* ebuf,
                       size_t emax);
void Structs_DataRelease(const StructsType* type, void* value);
// Fixed data: size bytes inline, as lower-case hexadecimal text.
char* Structs_FixedDataToText(const StructsType* type, const char* mtag, const void* value);
int Structs_FixedDataFromText(const StructsType* type, const char* text, void* value, char* ebuf, size_t emax);
// Variable arrays (StructsArray): args[0].type element type, args[1].text
// memory tag of the element block, args[2].text element name.
int Structs_ArrayInit(const StructsType* type, void* value);
int Structs_ArrayCopy(const StructsType* type, const void* from, void* to);
int Structs_ArrayEqual(const StructsType* type, const void* a, const void* b);
int Structs_ArrayEncode(const StructsType* type, const char* mtag, StructsData* out, const void* value);
int Structs_ArrayDecode(const StructsType* type, const uint8_t* code, size_t cmax, void* value, char* ebuf,
                        size_t emax);
void Structs_ArrayRelease(const StructsType* type, void* value);
// Fixed arrays: args[0].type element type, args[1].text element name,
// args[2].num element count; size = count x element size.
int Structs_FixedArrayInit(const StructsType* type, void* value);
int Structs_FixedArrayCopy(const StructsType* type, const void* from, void* to);
int Structs_FixedArrayEqual(const StructsType* type, const void* a, const void* b);
int Structs_FixedArrayEncode(const StructsType* type, const char* mtag, StructsData* out, const void* value);
int Structs_FixedArrayDecode(const StructsType* type, const uint8_t* code, size_t cmax, void* value, char* ebuf,
                             size_t emax);
void Structs_FixedArrayRelease(const StructsType* type, void* value);
// Structures: args[0].fields the field table.
int Structs_StructureInit(const StructsType* type, void* value);
int Structs_StructureCopy(const StructsType* type, const void* from, void* to);
int Structs_StructureEqual(const StructsType* type, const void* a, const void* b);
int Structs_StructureEncode(const StructsType* type, const char* mtag, StructsData* out, const void* value);
int Structs_StructureDecode(const StructsType* type, const uint8_t* code, size_t cmax, void* value, char* ebuf,
                            size_t emax);
void Structs_StructureRelease(const StructsType* type, void* value);
// Unions (StructsUnion): args[0].fields the alternatives (offsets unused),
// args[1].text memory tag of the active value. Init selects the first
// alternative; the encoding is the active field's name with its zero, then
// the field's encoding.
int Structs_UnionInit(const StructsType* type, void* value);
int Structs_UnionCopy(const StructsType* type, const void* from, void* to);
int Structs_UnionEqual(const StructsType* type, const void* a, const void* b);
int Structs_UnionEncode(const StructsType* type, const char* mtag, StructsData* out, const void* value);
int Structs_UnionDecode(const StructsType* type, const uint8_t* code, size_t cmax, void* value, char* ebuf,
                        size_t emax);
void Structs_UnionRelease(const StructsType* type, void* value);

// ---- built-in descriptors -----------------------------------------------------------

// Integers, one "int" (signed), "uint" (unsigned) and "hint" (hexadecimal)
// per size code: 0 char (1 byte), 1 short (2), 2 int (4), 3 long (4),
// 4 8-bit, 5 16-bit, 6 32-bit, 7 64-bit.
extern const StructsType structs_type_char, structs_type_uchar, structs_type_hchar;
extern const StructsType structs_type_short, structs_type_ushort, structs_type_hshort;
extern const StructsType structs_type_int, structs_type_uint, structs_type_hint;
extern const StructsType structs_type_long, structs_type_ulong, structs_type_hlong;
extern const StructsType structs_type_int8, structs_type_uint8, structs_type_hint8;
extern const StructsType structs_type_int16, structs_type_uint16, structs_type_hint16;
extern const StructsType structs_type_int32, structs_type_uint32, structs_type_hint32;
extern const StructsType structs_type_int64, structs_type_uint64, structs_type_hint64;
// The integer descriptor of a size code and style (0 unsigned, 1 signed,
// 2 hexadecimal); null when either is out of range.
const StructsType* Structs_IntegerType(unsigned sizeCode, unsigned style);

// Booleans: 8-bit and 32-bit storage with the word pairs "False"/"True",
// "Off"/"On" and "0"/"1". Every boolean reads all ten words of the five
// pairs ("False"/"True", "No"/"Yes", "Off"/"On", "Disabled"/"Enabled",
// "0"/"1") without regard to case.
extern const StructsType structs_type_boolean8, structs_type_boolean8_onoff, structs_type_boolean8_01;
extern const StructsType structs_type_boolean32, structs_type_boolean32_onoff, structs_type_boolean32_01;

extern const StructsType structs_type_float;   // 4 bytes
extern const StructsType structs_type_double;  // 8 bytes
extern const StructsType structs_type_data;      // base64 text, bytes under "structs_data"
extern const StructsType structs_type_hexdata;   // hexadecimal text, bytes under "structs_data"
extern const StructsType structs_type_string;       // never null; texts under "structs_type_string"
extern const StructsType structs_type_string_null;  // null allowed (the empty text reads as null)

// The read-only item "length" of an array (a "uint" of size code 2 whose
// FromText and Decode are unsupported), and the read-only item
// "field_name" of a union (a "string" under "union field_name" that
// supports only Equal, ToText and Release).
extern const StructsType structs_type_array_length;
extern const StructsType structs_type_union_field_name;

// The usage list of typed memory (TypedMemUsage: a variable array of
// structures with the fields "type", "allocs" and "bytes"; element block
// under "typed_mem_stats").
extern const StructsType structs_type_typed_mem_stats;

// ---- id word tables ------------------------------------------------------------------
// The words of the configuration records' enumerations; all case-sensitive,
// values 0, 1, ... in table order. With their descriptors (value width in
// the name).
extern const StructsIdEntry structs_ids_chan_kind[];       // "AI" "DI" "AO" "DO" "CI"
extern const StructsIdEntry structs_ids_store_kind[];      // "FILE" "DATABASE"
extern const StructsIdEntry structs_ids_log_mode[];        // "PERIOD" "PERIOD-EVENT" "EVENT" "RATE OF CHANGE"
extern const StructsIdEntry structs_ids_date_format[];     // "SHORT" "LONG" "dd/MM/yyyy" ... "dd-MMM-yy"
extern const StructsIdEntry structs_ids_export_when[];     // "NONE" "ON TIME" "ON EVENT"
extern const StructsIdEntry structs_ids_append_create[];   // "APPEND" "CREATE"
extern const StructsIdEntry structs_ids_create_append[];   // "CREATE" "APPEND"
extern const StructsIdEntry structs_ids_export_action[];   // "RUN COMMAND" "DATA EXPORT"
extern const StructsIdEntry structs_ids_export_format[];   // "NONE" "TEXT FILE" "USER DEFINED"
extern const StructsIdEntry structs_ids_time_mode[];       // "ELAPSED" "DIFFERENTIAL" "ABSOLUTE"
extern const StructsIdEntry structs_ids_time_unit[];       // "SECONDS" "MINUTES" "HOURS"
extern const StructsIdEntry structs_ids_export_filter[];   // "EXPORT ALL" "SKIP EVERY" "SKIP TIME FREQUENCY" "SKIP DUPLICATES"
extern const StructsIdEntry structs_ids_server_kind[];     // "WebService" "Directory"

extern const StructsType structs_type_chan_kind8;
extern const StructsType structs_type_store_kind32;
extern const StructsType structs_type_log_mode8;
extern const StructsType structs_type_date_format32, structs_type_date_format8;
extern const StructsType structs_type_export_when8;
extern const StructsType structs_type_append_create8;
extern const StructsType structs_type_create_append32;
extern const StructsType structs_type_export_action32;
extern const StructsType structs_type_export_format8;
extern const StructsType structs_type_time_mode8;
extern const StructsType structs_type_time_unit8;
extern const StructsType structs_type_export_filter8;
extern const StructsType structs_type_server_kind32;

// ---- descriptor builders (constexpr: use them for constinit descriptors) -------------

constexpr StructsArg StructsNum(uintptr_t n) { return StructsArg{.num = n}; }
constexpr StructsArg StructsText(const char* t) { return StructsArg{.text = t}; }
constexpr StructsArg StructsTypeArg(const StructsType* t) { return StructsArg{.type = t}; }
constexpr StructsArg StructsFieldsArg(const StructsField* f) { return StructsArg{.fields = f}; }
constexpr StructsArg StructsIdsArg(const StructsIdEntry* e) { return StructsArg{.ids = e}; }

// An "id" of 1, 2 or 4 bytes over a table.
constexpr StructsType Structs_IdType(const StructsIdEntry* table, uint32_t width) {
  return StructsType{width, "id", STRUCTS_TYPE_PRIMITIVE, Structs_IdInit, Structs_ByteCopy, Structs_ByteEqual,
                     Structs_IdToText, Structs_IdFromText, Structs_ReversedEncode, Structs_ReversedDecode,
                     Structs_NoRelease, {StructsIdsArg(table), StructsNum(0), StructsNum(0)}};
}

// A text buffer of `size` bytes (at most size - 1 characters).
constexpr StructsType Structs_FixedStringType(uint32_t size) {
  return StructsType{size, "fixedstring", STRUCTS_TYPE_PRIMITIVE, Structs_ZeroInit, Structs_ByteCopy,
                     Structs_FixedStringEqual, Structs_FixedStringToText, Structs_FixedStringFromText,
                     Structs_StringEncode, Structs_StringDecode, Structs_NoRelease,
                     {StructsNum(0), StructsNum(0), StructsNum(0)}};
}

// `size` bytes shown as hexadecimal.
constexpr StructsType Structs_FixedDataType(uint32_t size) {
  return StructsType{size, "fixeddata", STRUCTS_TYPE_PRIMITIVE, Structs_ZeroInit, Structs_ByteCopy,
                     Structs_ByteEqual, Structs_FixedDataToText, Structs_FixedDataFromText, Structs_PlainEncode,
                     Structs_PlainDecode, Structs_NoRelease, {StructsNum(0), StructsNum(0), StructsNum(0)}};
}

// A record of `size` bytes with a field table.
constexpr StructsType Structs_StructureType(uint32_t size, const StructsField* fields) {
  return StructsType{size, "structure", STRUCTS_TYPE_STRUCTURE, Structs_StructureInit, Structs_StructureCopy,
                     Structs_StructureEqual, Structs_UnsupportedToText, Structs_UnsupportedFromText,
                     Structs_StructureEncode, Structs_StructureDecode, Structs_StructureRelease,
                     {StructsFieldsArg(fields), StructsNum(0), StructsNum(0)}};
}

// `count` elements of `elemSize` bytes inline (elemSize must equal
// elem->size; it is given here so that the size is known at compile time).
constexpr StructsType Structs_FixedArrayType(const StructsType* elem, uint32_t elemSize, uint32_t count,
                                             const char* elemName) {
  return StructsType{elemSize * count, "fixedarray", STRUCTS_TYPE_FIXEDARRAY, Structs_FixedArrayInit,
                     Structs_FixedArrayCopy, Structs_FixedArrayEqual, Structs_UnsupportedToText,
                     Structs_UnsupportedFromText, Structs_FixedArrayEncode, Structs_FixedArrayDecode,
                     Structs_FixedArrayRelease, {StructsTypeArg(elem), StructsText(elemName), StructsNum(count)}};
}

// A variable array whose element block is allocated under mtag.
constexpr StructsType Structs_ArrayType(const StructsType* elem, const char* mtag, const char* elemName) {
  return StructsType{sizeof(StructsArray), "array", STRUCTS_TYPE_ARRAY, Structs_ArrayInit, Structs_ArrayCopy,
                     Structs_ArrayEqual, Structs_UnsupportedToText, Structs_UnsupportedFromText,
                     Structs_ArrayEncode, Structs_ArrayDecode, Structs_ArrayRelease,
                     {StructsTypeArg(elem), StructsText(mtag), StructsText(elemName)}};
}

// A union of the alternatives in `fields`; the active value lives under mtag.
constexpr StructsType Structs_UnionType(const StructsField* fields, const char* mtag) {
  return StructsType{sizeof(StructsUnion), "union", STRUCTS_TYPE_UNION, Structs_UnionInit, Structs_UnionCopy,
                     Structs_UnionEqual, Structs_UnsupportedToText, Structs_UnsupportedFromText,
                     Structs_UnionEncode, Structs_UnionDecode, Structs_UnionRelease,
                     {StructsFieldsArg(fields), StructsText(mtag), StructsNum(0)}};
}
