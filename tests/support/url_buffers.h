// Buffers for every part Url_Crack can return, wired into one
// UrlComponents (for the URL tests and the fuzz target).
#pragma once
#include "cdxlib/sys/urlcrack.h"

namespace testsupport {

struct UrlBuffers {
  char scheme[32], host[256], user[128], password[128], path[2048], extra[2084];
  UrlComponents c;
  UrlBuffers() {
    c.scheme = scheme;
    c.schemeLength = sizeof scheme;
    c.hostName = host;
    c.hostNameLength = sizeof host;
    c.userName = user;
    c.userNameLength = sizeof user;
    c.password = password;
    c.passwordLength = sizeof password;
    c.urlPath = path;
    c.urlPathLength = sizeof path;
    c.extraInfo = extra;
    c.extraInfoLength = sizeof extra;
  }
};

}  // namespace testsupport
