// URL splitting: "scheme://[user[:password]@]host[:port][/path][?extra]".
//
// Rules:
// - scheme: a letter, then letters, digits, "+", "-" or "."; it must be
//   followed by "://". Anything else is not a URL (a plain computer name,
//   a drive path "C:\x", a UNC path "\\host\share").
// - authority: from "://" up to the first "/", "?" or "#".
// - user information: the authority up to its LAST "@" (so a password may
//   hold "@"); user and password split at its first ":". An "@" after the
//   authority (in the path or the extra part) is never user information.
// - host: the rest of the authority; "[...]" holds an IPv6 address (the
//   brackets are not part of the host); a ":" after the host gives the port.
// - port: decimal 1..65535; empty or absent gives the scheme's default:
//   80 for http, 443 for https (letter case aside), 0 for other schemes.
// - path: from the "/" ending the authority up to "?" or "#"; extra: from
//   "?" or "#" to the end. Parts are returned as written (no decoding).
// - a host must not be empty, except for the "file" scheme.
//
//   url                                   scheme user pass   host   port path   extra
//   "http://host"                          http   ""   ""     host   80   ""     ""
//   "https://h:8443/a/b?x=1"               https  ""   ""     h      8443 "/a/b" "?x=1"
//   "http://u:p@h/"                        http   u    p      h      80   "/"    ""
//   "http://u:p@ss@h:81/x"                 http   u    "p@ss" h      81   "/x"   ""
//   "http://host:8080/a@b"                 http   ""   ""     host   8080 "/a@b" ""
//   "http://u@h"                           http   u    ""     h      80   ""     ""
//   "http://[::1]:99/"                     http   ""   ""     ::1    99   "/"    ""
//   "ssl://srv:11234"                      ssl    ""   ""     srv    11234 ""    ""
//   "HTTPS://H"                            HTTPS  ""   ""     H      443  ""     ""
//   "http://h:"                            http   ""   ""     h      80   ""     ""
//   "http://h#frag"                        http   ""   ""     h      80   ""     "#frag"
//   not URLs: "server1", "C:\dir", "\\host\share", "http:/h", "http://",
//             "http://h:x", "http://h:0", "http://h:65536", "1http://h",
//             "http://[::1", "http://u@"
#pragma once
#include <cstdint>
#include <string>

namespace plat {

struct UrlParts {
  std::string scheme;
  std::string user;
  std::string password;
  std::string host;
  uint16_t port = 0;
  std::string path;
  std::string extra;
};

// Splits url by the rules above: true, or false when it is not a URL (out
// is then unspecified).
bool SplitUrl(const std::string& url, UrlParts* out);

}  // namespace plat
