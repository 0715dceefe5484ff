// Error texts and bounded messages of the structure types.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "base/structs/structs.h"

const char* Structs_ErrorText(int err) {
  // The runtime numbering that this library reports is the C runtime's;
  // only 40 means something else on Linux (ELOOP).
  if (err == kStructsErrNotImplemented) return "Function not implemented";
  // strerrordesc_np gives the English text whatever the locale is.
  const char* text = strerrordesc_np(err);
  return text ? text : "Unknown error";
}

void Structs_SetError(char* ebuf, size_t emax, const char* fmt, ...) {
  if (!ebuf || emax == 0) return;
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(ebuf, emax, fmt, args);
  va_end(args);
}
