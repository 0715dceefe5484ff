// Assertions of the structured-data library that hold in every build
// (the release builds define NDEBUG): a broken one prints the condition and
// stops the process.
#pragma once

#include <cstdio>
#include <cstdlib>

[[noreturn]] inline void Base_AssertFailed(const char* cond, const char* file, int line) {
  fprintf(stderr, "assertion \"%s\" failed: file \"%s\", line %d\n", cond, file, line);
  fflush(stderr);
  abort();
}

#define BASE_ASSERT(cond, text) ((cond) ? static_cast<void>(0) : Base_AssertFailed(text, __FILE__, __LINE__))
