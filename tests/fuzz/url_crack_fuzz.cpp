// libFuzzer target: Url_Crack on any bytes must not crash, must stay inside
// its buffers, and what it returns must be consistent with the input.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "cdxlib/sys/urlcrack.h"
#include "tests/support/url_buffers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string url(reinterpret_cast<const char*>(data), size);
  testsupport::UrlBuffers b;
  UrlComponents& c = b.c;
  const char *scheme = b.scheme, *host = b.host, *user = b.user, *password = b.password, *path = b.path,
             *extra = b.extra;
  if (Url_Crack(url.c_str(), static_cast<uint32_t>(size), 0, &c) != 1) return 0;
  // Each part is a piece of the input, and they are in order.
  const char* parts[] = {scheme, user, password, host, path, extra};
  const uint32_t lengths[] = {c.schemeLength, c.userNameLength, c.passwordLength,
                              c.hostNameLength, c.urlPathLength, c.extraInfoLength};
  for (int i = 0; i < 6; ++i) {
    if (std::strlen(parts[i]) != lengths[i]) __builtin_trap();
    if (lengths[i] && url.find(parts[i]) == std::string::npos) __builtin_trap();
  }
  if (std::strchr(host, '/') || std::strchr(scheme, ':')) __builtin_trap();
  // The URL is the scheme and "://", the user information, the host and
  // port, then exactly the path and the extra part.
  const std::string view(url.c_str());  // Url_Crack reads up to a zero byte
  if (view.compare(0, c.schemeLength + 3, std::string(scheme) + "://") != 0) __builtin_trap();
  const std::string tail = std::string(path) + extra;
  if (view.size() < tail.size() || view.compare(view.size() - tail.size(), tail.size(), tail) != 0) __builtin_trap();
  if (c.passwordLength) {
    const std::string info = std::string(user) + ":" + password + "@";
    if (view.compare(c.schemeLength + 3, info.size(), info) != 0) __builtin_trap();
  }
  return 0;
}
