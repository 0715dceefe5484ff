// Items of a typed value by dotted name.
//
// An item name is a list of components separated by ".": a structure's
// field name, an array's decimal index (no sign, no blanks), the word
// "length" of an array (its read-only element count), a union's field name
// or its word "field_name" (the read-only name of the active field). The
// empty or null name is the whole value. Examples: "Range.From",
// "LogChannel.3.Source", "Tags.length".
//
// Every function takes the value's descriptor, the item name and a pointer
// to the value, and fails with -1 (or null) and errno: ENOENT for an unknown
// component or a name that goes on below a primitive, EDOM for an index out
// of range, EINVAL for editing an item that is not a variable array or for a
// broken union, ENOMEM, or the error of the type operation; 40 for writing a
// read-only item ("length", "field_name").
//
// A failed set (text, copy, decode, reset) leaves the old item in place.
#pragma once
#include <cstddef>
#include <cstdint>

#include "base/structs/structs.h"

// Resolves `name` inside the value at *value: returns the item's descriptor
// and moves *value to the item. With allowSwitch, a union component naming
// a field other than the active one switches the union to a new initialised
// value of that field (only when the rest of the name resolves inside it).
const StructsType* Structs_FindItem(const StructsType* type, const char* name, void** value, int allowSwitch);

// Init of the item (its old content is not released).
int Structs_InitItem(const StructsType* type, const char* name, void* value);
// Release of the item; errno is kept.
void Structs_FreeItem(const StructsType* type, const char* name, void* value);
// Copies the item into `out` (uninitialised memory of the item's size).
int Structs_GetItem(const StructsType* type, const char* name, const void* value, void* out);
// Replaces the item with a copy of `item`.
int Structs_SetItem(const StructsType* type, const char* name, void* value, const void* item);
// Replaces the item with its initial value.
int Structs_ResetItem(const StructsType* type, const char* name, void* value);

// ToText of the item, allocated under mtag; null on failure.
char* Structs_GetItemText(const StructsType* type, const char* name, const char* mtag, const void* value);
// FromText of the item (union switching allowed); a null text counts as
// empty. The error buffer is cleared first; when the call fails without a
// message, the text of errno (Structs_ErrorText) is written there.
int Structs_SetItemText(const StructsType* type, const char* name, const char* text, void* value, char* ebuf,
                        size_t emax);

// Encode of the item under mtag; on failure *out is {0, null}.
int Structs_EncodeItem(const StructsType* type, const char* name, const char* mtag, StructsData* out,
                       const void* value);
// Decodes `code` into the item (replacing it); returns the bytes consumed
// (never more than code->length), or -1 with a message as SetItemText.
int Structs_DecodeItem(const StructsType* type, const char* name, const StructsData* code, void* value, char* ebuf,
                       size_t emax);

// The names of all leaf items of the value, depth first in table and index
// order ("Name", "LogChannel.0.Range.From"); a primitive value alone gives
// one empty name. The texts and the array are allocated under mtag; free
// them with Structs_FreeItemNames. Returns the count, or -1.
int Structs_ListItemNames(const StructsType* type, const void* value, char*** list, const char* mtag);
void Structs_FreeItemNames(char** list, int count, const char* mtag);

// ---- variable-array editing (the item must be a variable array, else EINVAL) ----
int Structs_ArrayLength(const StructsType* type, const char* name, const void* value);
// Resizes to `length` elements: dropped elements are released, new ones
// zero-filled and, with `doInit`, initialised.
int Structs_ArraySetLength(const StructsType* type, const char* name, void* value, uint32_t length, int doInit);
// Inserts an initialised element at `index` (0 to length).
int Structs_ArrayInsert(const StructsType* type, const char* name, void* value, uint32_t index);
// Releases and removes the element at `index`.
int Structs_ArrayDelete(const StructsType* type, const char* name, void* value, uint32_t index);
// Releases every element and frees the block: {0, null}.
int Structs_ArrayReset(const StructsType* type, const char* name, void* value);
// Makes `name` settable: walks it and, where a component is an index equal
// to its array's length, appends one initialised element.
int Structs_ArrayPrepare(const StructsType* type, const char* name, void* value);
