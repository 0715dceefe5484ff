// Text conversions at the boundaries: record texts are single-byte
// Windows-1252, files and peers use UTF-8 or UTF-16 (char16_t).
#pragma once
#include <cstddef>
#include <string>

// Strict UTF-8 to UTF-16: false (and nothing useful in out) when the bytes
// are not valid UTF-8.
bool Codec_Utf8ToUtf16(const char* bytes, size_t length, std::u16string* out);
// Windows-1252 to UTF-16 (every byte decodes; the five unassigned ones map
// to the same code point).
std::u16string Codec_Cp1252ToUtf16(const char* bytes, size_t length);
// UTF-16 to UTF-8; false for unpaired surrogates.
bool Codec_Utf16ToUtf8(const std::u16string& text, std::string* out);
