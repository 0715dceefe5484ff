// Device extension libraries: a driver's own shared object that tells the
// configuration layer what the driver-specific parts of its records look
// like. Every entry is optional; a missing library or entry leaves its step
// out.
//
// The library of a device directory is named after the device type: the
// directory's last component cut at its last '_' ("calc" or "mvtrx"
// followed by a number count as "calc" and "mvtrx"), its first five
// characters and "_ex.so". It is looked for through the dynamic loader's
// search path, then in CDX_BIN; never in the current directory (a
// configuration directory is writable by every user). Each configuration
// operation loads the library at its start and frees it before it returns.
#pragma once
#include <cstdint>
#include <string>

// The block descriptor passed to the decorate and undecorate entries: the
// caller passes its own buffer with owned 0; an entry may hand back a block
// of its own (malloc'ed) with owned 1, which the caller frees with free().
struct ExBlock {
  uint32_t size;
  void* data;
  uint32_t owned;
};

// The device type name of a configuration directory ('/' or '\' separated).
std::string ExtDll_DeviceType(const char* dir);
// The library file name for the directory ("plc5_ex.so").
std::string ExtDll_LibraryName(const char* dir);
// Loads the directory's library: a handle, or null when there is none.
void* ExtDll_Load(const char* dir);
void ExtDll_Free(void* handle);
// An entry of a loaded library ("Ex_Validate_Chan", ...), or null.
void* ExtDll_Entry(void* handle, const char* name);
// Whether the directory's library exports Ex_DoXml (the answer for the last
// directory asked about is kept; directories compare case-blind).
bool ExtDll_HasDoXml(const char* dir);
// Forgets the kept answer (after libraries were installed or removed).
void ExtDll_ForgetDoXml();

// Entry types (all arguments are plain pointers and 32-bit integers).
typedef int32_t (*ExValidateChanFn)(const char* elements, const void* record, char* error, int32_t errorSize);
typedef int32_t (*ExGetMixedChannelTypeFn)();
typedef int32_t (*ExGetConfigExtraFileOffsetFn)(const void* extra, int32_t extraLength);
typedef int32_t (*ExGetConfigPortFn)(const char* deviceType, int32_t size, int32_t* count);

// Entries that give structure types (base/structs/structs.h) of the
// driver's parts: null means the part has none (or the default form).
struct StructsType;
typedef const StructsType* (*ExGetChannelHwTypeFn)(int32_t kind, int32_t index, const void* record);
typedef const StructsType* (*ExGetChannelExtraTypeFn)(int32_t kind, int32_t index, const void* record);
typedef const StructsType* (*ExGetConfigTypeFn)(const void* record, int32_t size);
typedef const StructsType* (*ExGetConfigExtraTypeFn)(const void* record, int32_t size, const void* extra,
                                                     int32_t extraLength);
