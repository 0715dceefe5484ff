// Helpers shared by the structure-type sources (not part of the interface).
#pragma once
#include <cstddef>
#include <locale.h>

namespace structs_detail {

// The C locale, made once.
locale_t CLocale();
bool IsBlank(char c);
bool EqualNoCase(const char* a, const char* b);
// snprintf in the C locale.
int FormatC(char* buf, size_t size, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
// TypedMem_Strdup with errno ENOMEM on failure.
char* Dup(const char* mtag, const char* text);

}  // namespace structs_detail
