// Small text helpers that several parts of the library and the tools need:
// one home so that they agree (ASCII case, C-locale white space).
#pragma once
#include <cctype>
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

}  // namespace cdxtext
