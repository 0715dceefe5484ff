#include "platform/url.h"

#include <cctype>

namespace plat {

namespace {

bool IsSchemeChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
}

bool EqualsNoCase(const std::string& a, const char* b) {
  size_t i = 0;
  for (; i < a.size() && b[i]; ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return i == a.size() && !b[i];
}

}  // namespace

bool SplitUrl(const std::string& url, UrlParts* out) {
  *out = UrlParts{};
  const size_t colon = url.find(':');
  if (colon == std::string::npos || colon == 0 || !std::isalpha(static_cast<unsigned char>(url[0]))) return false;
  for (size_t i = 0; i < colon; ++i)
    if (!IsSchemeChar(url[i])) return false;
  if (url.compare(colon, 3, "://") != 0) return false;
  out->scheme = url.substr(0, colon);

  const size_t authStart = colon + 3;
  size_t authEnd = url.find_first_of("/?#", authStart);
  if (authEnd == std::string::npos) authEnd = url.size();
  std::string authority = url.substr(authStart, authEnd - authStart);

  const size_t at = authority.rfind('@');
  if (at != std::string::npos) {
    const std::string info = authority.substr(0, at);
    const size_t sep = info.find(':');
    out->user = info.substr(0, sep);
    if (sep != std::string::npos) out->password = info.substr(sep + 1);
    authority.erase(0, at + 1);
  }

  std::string portText;
  bool hasPort = false;
  if (!authority.empty() && authority[0] == '[') {
    const size_t close = authority.find(']');
    if (close == std::string::npos) return false;
    out->host = authority.substr(1, close - 1);
    const std::string rest = authority.substr(close + 1);
    if (!rest.empty()) {
      if (rest[0] != ':') return false;
      hasPort = true;
      portText = rest.substr(1);
    }
  } else {
    const size_t p = authority.rfind(':');
    out->host = authority.substr(0, p);
    if (p != std::string::npos) {
      hasPort = true;
      portText = authority.substr(p + 1);
    }
  }
  if (out->host.empty() && !EqualsNoCase(out->scheme, "file")) return false;

  if (hasPort && !portText.empty()) {
    if (portText.size() > 5) return false;
    unsigned value = 0;
    for (char c : portText) {
      if (!std::isdigit(static_cast<unsigned char>(c))) return false;
      value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value == 0 || value > 65535) return false;
    out->port = static_cast<uint16_t>(value);
  } else if (EqualsNoCase(out->scheme, "http")) {
    out->port = 80;
  } else if (EqualsNoCase(out->scheme, "https")) {
    out->port = 443;
  }

  const size_t extraStart = url.find_first_of("?#", authEnd);
  if (extraStart == std::string::npos) {
    out->path = url.substr(authEnd);
  } else {
    out->path = url.substr(authEnd, extraStart - authEnd);
    out->extra = url.substr(extraStart);
  }
  return true;
}

}  // namespace plat
