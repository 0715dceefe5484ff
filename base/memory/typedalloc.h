// The allocation calls of typed memory (see typedmem.h), apart so that the
// containers typed memory keeps its block index in (the tree) allocate
// through them without including the whole of typed memory.
#pragma once

#include <cstddef>

// Tags are held in 24 bytes: longer tags are cut to 23 characters.
inline constexpr std::size_t kTypedMemTagSize = 24;

// Allocates (null pointer) or resizes a block; null on failure with errno.
void* TypedMem_Realloc(const char* tag, void* ptr, std::size_t size);
// Frees a block; a null pointer is ignored. errno is kept.
void TypedMem_Free(const char* tag, void* ptr);
// count * size zero-filled bytes (overflow fails with ENOMEM).
void* TypedMem_Calloc(const char* tag, std::size_t count, std::size_t size);
// A duplicate of the text with its terminating zero.
char* TypedMem_Strdup(const char* tag, const char* text);
// As TypedMem_Realloc, but a failed resize frees the old block (errno of
// the failure kept). Size 0 frees the block and returns null.
void* TypedMem_ReallocOrFree(const char* tag, void* ptr, std::size_t size);
