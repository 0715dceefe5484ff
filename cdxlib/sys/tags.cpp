#include "cdxlib/sys/tags.h"

#include <cctype>

int Tag_ParseAddress(const char* text, char prefix[2], int32_t* number) {
  if (!text || !*text) return -1;
  char letters[2] = {0, 0};
  int nLetters = 0, nDigits = 0;
  int32_t value = 0;
  char lastDigit = 0;
  bool kilo = false;
  for (const char* p = text; *p; ++p) {
    const unsigned char ch = static_cast<unsigned char>(*p);
    if (std::isalpha(ch)) {
      if (nDigits > 0) {
        if ((ch == 'K' || ch == 'k') && lastDigit == '1' && !kilo) {
          kilo = true;
          continue;
        }
        return -1;
      }
      if (nLetters == 2) return -1;
      letters[nLetters++] = static_cast<char>(ch);
    } else if (std::isdigit(ch)) {
      if (kilo || ++nDigits > 5) return -1;
      value = value * 10 + (ch - '0');
      lastDigit = static_cast<char>(ch);
    }
  }
  if (nLetters == 0 || nDigits == 0) return -1;
  prefix[0] = letters[0];
  prefix[1] = letters[1];
  *number = kilo ? 1000 : value;
  return 0;
}

int Tag_ParseNumber(const char* text, int32_t* number) {
  if (!text || !*text) return -1;
  int nDigits = 0;
  int32_t value = 0;
  for (const char* p = text; *p; ++p) {
    const unsigned char ch = static_cast<unsigned char>(*p);
    if (std::isdigit(ch)) {
      if (++nDigits > 5) return -1;
      value = value * 10 + (ch - '0');
    } else if ((ch == 'K' || ch == 'k') && p > text && p[-1] == '1' && p[1] == 0) {
      *number = 1000;
      return 0;
    } else {
      return -1;
    }
  }
  *number = value;
  return 0;
}
