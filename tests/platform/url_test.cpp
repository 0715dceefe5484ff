#include "platform/url.h"

#include <gtest/gtest.h>
#include <string>

#include "cdxlib/sys/urlcrack.h"
#include "tests/support/url_buffers.h"
#include "platform/error.h"

namespace {

struct Case {
  const char* url;
  const char* scheme;
  const char* user;
  const char* password;
  const char* host;
  int port;
  const char* path;
  const char* extra;
};

// The table of the contract in url.h.
const Case kUrls[] = {
    {"http://host", "http", "", "", "host", 80, "", ""},
    {"https://h:8443/a/b?x=1", "https", "", "", "h", 8443, "/a/b", "?x=1"},
    {"http://u:p@h/", "http", "u", "p", "h", 80, "/", ""},
    {"http://u:p@ss@h:81/x", "http", "u", "p@ss", "h", 81, "/x", ""},
    {"http://host:8080/a@b", "http", "", "", "host", 8080, "/a@b", ""},
    {"http://u:p@h/a@b?c@d", "http", "u", "p", "h", 80, "/a@b", "?c@d"},
    {"http://u@h", "http", "u", "", "h", 80, "", ""},
    {"http://:pw@h", "http", "", "pw", "h", 80, "", ""},
    {"http://u:a:b@h", "http", "u", "a:b", "h", 80, "", ""},
    {"http://[::1]:99/", "http", "", "", "::1", 99, "/", ""},
    {"ssl://srv:11234", "ssl", "", "", "srv", 11234, "", ""},
    {"HTTPS://H", "HTTPS", "", "", "H", 443, "", ""},
    {"http://h:", "http", "", "", "h", 80, "", ""},
    {"http://h#frag", "http", "", "", "h", 80, "", "#frag"},
    {"http://h?q", "http", "", "", "h", 80, "", "?q"},
    {"file:///c/x", "file", "", "", "", 0, "/c/x", ""},
    {"web+x.y-z://h", "web+x.y-z", "", "", "h", 0, "", ""},
};

const char* const kNotUrls[] = {
    "server1",       "C:\\dir",      "\\\\host\\share", "http:/h",      "http://",    "http://h:x",
    "http://h:0",    "http://h:65536", "1http://h",     "http://[::1",  "http://u@",  "",
    "://h",          "ht tp://h",    "http://[::1]x",   "http://h:123456",
};

TEST(SplitUrl, ContractTable) {
  for (const auto& c : kUrls) {
    plat::UrlParts p;
    ASSERT_TRUE(plat::SplitUrl(c.url, &p)) << c.url;
    EXPECT_EQ(p.scheme, c.scheme) << c.url;
    EXPECT_EQ(p.user, c.user) << c.url;
    EXPECT_EQ(p.password, c.password) << c.url;
    EXPECT_EQ(p.host, c.host) << c.url;
    EXPECT_EQ(p.port, c.port) << c.url;
    EXPECT_EQ(p.path, c.path) << c.url;
    EXPECT_EQ(p.extra, c.extra) << c.url;
  }
  for (const char* url : kNotUrls) {
    plat::UrlParts p;
    EXPECT_FALSE(plat::SplitUrl(url, &p)) << url;
  }
}

using Buffers = testsupport::UrlBuffers;

TEST(UrlCrack, FillsTheWantedPartsWithTheirLengths) {
  Buffers b;
  ASSERT_EQ(Url_Crack("https://admin:p@ss:w@rd@server:8443/BIN/mod_gsoap.dll?Service", 0, 0, &b.c), 1);
  EXPECT_STREQ(b.scheme, "https");
  EXPECT_EQ(b.c.schemeLength, 5u);
  EXPECT_STREQ(b.user, "admin");
  EXPECT_STREQ(b.password, "p@ss:w@rd");
  EXPECT_EQ(b.c.passwordLength, 9u);
  EXPECT_STREQ(b.host, "server");
  EXPECT_EQ(b.c.port, 8443);
  EXPECT_STREQ(b.path, "/BIN/mod_gsoap.dll");
  EXPECT_STREQ(b.extra, "?Service");

  // Only the host wanted; the length argument bounds the text.
  UrlComponents only;
  char host[16];
  only.hostName = host;
  only.hostNameLength = sizeof host;
  ASSERT_EQ(Url_Crack("http://abc/def-and-more", 10, 0, &only), 1);
  EXPECT_STREQ(host, "abc");
  EXPECT_EQ(only.port, 80);
}

TEST(UrlCrack, Failures) {
  Buffers b;
  EXPECT_EQ(Url_Crack("machine2", 0, 0, &b.c), 0);
  EXPECT_EQ(plat::GetLastError(), plat::kErrInvalidName);
  const std::string longest = "http://h/" + std::string(1274, 'p');  // 1283 characters
  EXPECT_EQ(Url_Crack(longest.c_str(), 0, 0, &b.c), 1);
  const std::string tooLong = longest + "p";
  EXPECT_EQ(Url_Crack(tooLong.c_str(), 0, 0, &b.c), 0);
  EXPECT_EQ(plat::GetLastError(), plat::kErrInvalidParameter);
  EXPECT_EQ(Url_Crack(nullptr, 0, 0, &b.c), 0);

  UrlComponents small;
  char scheme[4];
  small.scheme = scheme;
  small.schemeLength = sizeof scheme;
  EXPECT_EQ(Url_Crack("https://h", 0, 0, &small), 0);  // "https" and its zero need 6
  EXPECT_EQ(plat::GetLastError(), plat::kErrInsufficientBuffer);
  small.schemeLength = sizeof scheme;
  EXPECT_EQ(Url_Crack("ssl://h", 0, 0, &small), 1);
  EXPECT_STREQ(scheme, "ssl");
}

}  // namespace
