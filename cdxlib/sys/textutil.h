// Small text helpers that several parts of the library and the tools need:
// one home so that they agree (ASCII case, C-locale white space).
#pragma once
#include <strings.h>

#include <cctype>
#include <cstring>
#include <string>

namespace cdxtext {

// s with its ASCII letters in upper case.
inline std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// s without the white space (isspace) at either end.
inline std::string Trim(const std::string& s) {
  size_t a = 0, b = s.size();
  while (a < b && std::isspace(static_cast<unsigned char>(s[a]))) ++a;
  while (b > a && std::isspace(static_cast<unsigned char>(s[b - 1]))) --b;
  return s.substr(a, b - a);
}

// Copies `from` (null reads as "") into the buffer `to` of `room` bytes, cut
// to room - 1 characters and always terminated. Nothing is written when the
// buffer has no room at all.
inline void Copy(char* to, size_t room, const char* from) {
  if (!to || room == 0) return;
  if (!from) from = "";
  size_t n = strnlen(from, room - 1);
  std::memcpy(to, from, n);
  to[n] = '\0';
}

// Whether `text` begins with `head`, ASCII letters compared without case.
inline bool StartsNoCase(const char* text, const char* head) { return strncasecmp(text, head, strlen(head)) == 0; }

// `dir` and `name` joined with one '/' between them (none is added after an
// empty dir or one that already ends in '/').
inline std::string Join(const char* dir, const std::string& name) {
  std::string p = dir;
  if (!p.empty() && p.back() != '/') p += '/';
  return p + name;
}

// The text of a fixed-width record field: up to its first '\0', or all
// `width` characters when the field is full and so not terminated.
inline std::string FixedText(const char* field, size_t width) { return std::string(field, strnlen(field, width)); }

// Writes `text` (null reads as "") into a fixed-width field, cut to `width`
// and padded with '\0': a full field is not terminated.
inline void PutFixed(char* field, size_t width, const char* text) {
  std::memset(field, 0, width);
  if (!text) return;
  std::memcpy(field, text, strnlen(text, width));
}

}  // namespace cdxtext
