// Filters: small codec objects that take input bytes, produce output bytes
// and can be told that the input has ended.
#pragma once

#include <cstddef>
#include <cstdio>

struct Filter;

// The operations of a filter, in this order.
struct FilterOps {
  // Takes up to n output bytes into buf; returns the count (0 when none
  // is pending), or -1 with errno.
  int (*read)(Filter* f, void* buf, std::size_t n);
  // Gives n input bytes; returns how many were taken, or -1 with errno
  // (EPIPE after end).
  int (*write)(Filter* f, const void* data, std::size_t n);
  // No more input: the pending input is flushed to the output. 0 or -1.
  int (*end)(Filter* f);
  // Estimated output length for an input of length bytes (forward), or
  // the input length for an output of length bytes (reverse).
  std::size_t (*convert_length)(Filter* f, std::size_t length, bool forward);
  // Frees the filter and nulls *f.
  void (*destroy)(Filter** f);
};

// Every filter begins with its operations.
struct Filter {
  const FilterOps* ops;
};

int Filter_Read(Filter* f, void* buf, std::size_t n);
int Filter_Write(Filter* f, const void* data, std::size_t n);
int Filter_End(Filter* f);
std::size_t Filter_ConvertLength(Filter* f, std::size_t length, bool forward);
// Destroys *f (a null *f is ignored) and nulls it.
void Filter_Destroy(Filter** f);

// Runs a whole buffer through the filter: input written in chunks of at most
// 1024 bytes with the output read after each; with end set, end is signalled
// and the rest read. *out is allocated under tag and zero-terminated (the
// zero not counted). Returns the output length, or -1 with errno and *out
// null.
int Filter_Process(Filter* f, const void* input, std::size_t length, bool end, void** out, const char* tag);

// Flags of Filter_OpenStream.
inline constexpr int kFilterStreamKeepStream = 0x1;  // closing leaves the underlying stream open
inline constexpr int kFilterStreamKeepFilter = 0x2;  // closing leaves the filter alive

// A stream that passes data through the filter: mode "r" reads the
// underlying stream and returns the filter's output, mode "w" filters what
// is written and writes the output on. Closing a "w" stream signals end and
// writes the rest. Closing closes the underlying stream and destroys the
// filter unless the flags say otherwise. Null with errno on failure (EINVAL
// for a bad mode).
FILE* Filter_OpenStream(FILE* stream, Filter* f, int flags, const char* mode);
