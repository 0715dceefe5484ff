// Typed memory: every block of the structured-data library is allocated and
// freed under a memory-type tag, a short text naming what the block is for
// ("TEMPORARY" for callers' scratch, "structs_data", ...). A block must be
// freed under the tag it was allocated with.
//
// Normally the tag is ignored and the calls are the runtime's heap
// functions. TypedMem_Enable, called before the first allocation, switches
// tracking on for the life of the process: every block then carries guard
// words before and after it and is accounted per tag, and misuse (a block
// not allocated here, a wrong tag, a broken guard) is reported on stderr and
// stops the process. Blocks allocated with a null tag are always plain heap
// blocks. Tracked blocks are 8-byte aligned.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "base/memory/typedalloc.h"

// One row of the usage list: tag, live blocks, live bytes.
struct TypedMemUsageEntry {
  char type[kTypedMemTagSize];
  uint32_t allocs;
  uint32_t bytes;
};
static_assert(sizeof(TypedMemUsageEntry) == 32);

// The usage list as handed out: a variable array {count, element block};
// the element block is allocated under "typed_mem_stats".
struct TypedMemUsage {
  uint32_t count;
  TypedMemUsageEntry* entries;
};

// Formats into a new text allocated under the tag (see Stream_FormatAlloc
// for the size limit); returns the length, or -1 with *out null.
int TypedMem_Format(const char* tag, char** out, const char* format, ...) __attribute__((format(printf, 3, 4)));
int TypedMem_FormatV(const char* tag, char** out, const char* format, va_list args)
    __attribute__((format(printf, 3, 0)));

// Switches tracking on: 0, or -1 with EBUSY once any allocation or free has
// gone through this module. Calling it again when on gives 0.
int TypedMem_Enable();
// Copies the block's tag into a 24-byte buffer: 0, or -1 with ENXIO when
// tracking is off, ENOENT for a block not allocated here.
int TypedMem_GetBlockType(const void* ptr, char* type);
// The usage entries in tag order; free *out->entries under
// "typed_mem_stats". 0, or -1 with ENXIO when tracking is off.
int TypedMem_GetUsage(TypedMemUsage* out);
// Prints the usage table (or "Typed memory is not enabled.").
void TypedMem_DumpUsage(FILE* stream);

// Formats into a new plain-heap text (free with free or TypedMem_Free and a
// null tag). The buffer starts at 1000 bytes and doubles (2000, 4000, 8000),
// the last try being 15000 bytes; the first size that holds the whole text
// and its zero is used. Returns the length; a longer text fails with
// EOVERFLOW, an allocation failure with ENOMEM: -1 and *out null.
int Stream_FormatAlloc(char** out, const char* format, va_list args) __attribute__((format(printf, 2, 0)));
// The largest buffer Stream_FormatAlloc tries.
inline constexpr std::size_t kStreamFormatMax = 15000;
