// URL splitting into caller buffers, in the shape of the system's call.
#pragma once
#include <cstdint>

#include "platform/url.h"

// Longest URL that Url_Crack accepts (exclusive).
constexpr uint32_t kUrlCrackMaxLength = 1284;

// The parts wanted from Url_Crack. For each text part, a null buffer means
// "not wanted"; otherwise its length field holds the buffer's size on entry
// and the text's length (without the terminating zero) on return.
struct UrlComponents {
  char* scheme = nullptr;
  uint32_t schemeLength = 0;
  char* hostName = nullptr;
  uint32_t hostNameLength = 0;
  uint16_t port = 0;  // given port, else 80 for http, 443 for https, else 0
  char* userName = nullptr;
  uint32_t userNameLength = 0;
  char* password = nullptr;
  uint32_t passwordLength = 0;
  char* urlPath = nullptr;
  uint32_t urlPathLength = 0;
  char* extraInfo = nullptr;
  uint32_t extraInfoLength = 0;
};

// Splits `url` (length 0: up to its terminating zero) by the rules of
// plat::SplitUrl (platform/url.h), which take the user information up to
// the last "@" of the authority, so a password may hold "@". flags are
// accepted as the system's call has them and are not used (the parts are
// returned as written). Returns 1, or 0 with errno and the last error set:
// 87 for no URL or one of 1284 characters or more, 123 when the text is
// not a URL, 122 when a part does not fit its buffer.
int Url_Crack(const char* url, uint32_t length, uint32_t flags, UrlComponents* components);
