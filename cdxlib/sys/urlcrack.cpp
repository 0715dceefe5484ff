#include "cdxlib/sys/urlcrack.h"

#include <cstring>
#include <string>

#include "platform/error.h"

namespace {

// Copies text into a component buffer (when wanted).
bool PutPart(const std::string& text, char* buffer, uint32_t* length) {
  if (!buffer) return true;
  if (text.size() + 1 > *length) return false;
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  *length = static_cast<uint32_t>(text.size());
  return true;
}

}  // namespace

int Url_Crack(const char* url, uint32_t length, uint32_t /*flags*/, UrlComponents* components) {
  if (!url || !components) return plat::Fail(plat::kErrInvalidParameter), 0;
  const size_t n = length ? strnlen(url, length) : strnlen(url, kUrlCrackMaxLength);
  if (n >= kUrlCrackMaxLength) return plat::Fail(plat::kErrInvalidParameter), 0;
  plat::UrlParts parts;
  if (!plat::SplitUrl(std::string(url, n), &parts)) return plat::Fail(plat::kErrInvalidName), 0;
  UrlComponents& c = *components;
  if (!PutPart(parts.scheme, c.scheme, &c.schemeLength) || !PutPart(parts.host, c.hostName, &c.hostNameLength) ||
      !PutPart(parts.user, c.userName, &c.userNameLength) ||
      !PutPart(parts.password, c.password, &c.passwordLength) || !PutPart(parts.path, c.urlPath, &c.urlPathLength) ||
      !PutPart(parts.extra, c.extraInfo, &c.extraInfoLength))
    return plat::Fail(plat::kErrInsufficientBuffer), 0;
  c.port = parts.port;
  plat::SetLastError(0);
  return 1;
}
