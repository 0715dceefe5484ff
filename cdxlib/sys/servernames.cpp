// Server names: this machine or another, and the connection kind.
#include "cdxlib/sys/servernames.h"

#include <cstring>
#include <string>
#include <strings.h>
#include <unistd.h>

#include "platform/sysinfo.h"
#include "platform/url.h"

namespace {

bool IEquals(const char* a, const char* b) { return strcasecmp(a, b) == 0; }

bool IsLocalHostName(const std::string& host) {
  if (host.empty() || host == "." || IEquals(host.c_str(), "localhost") || host == "127.0.0.1") return true;
  static const std::string computer = plat::ComputerName();
  static const std::string hostName = [] {
    char buf[256] = {};
    gethostname(buf, sizeof buf - 1);
    return std::string(buf);
  }();
  if (IEquals(host.c_str(), computer.c_str())) return true;
  if (!hostName.empty()) {
    if (IEquals(host.c_str(), hostName.c_str())) return true;
    std::string label = hostName.substr(0, hostName.find('.'));
    if (IEquals(host.c_str(), label.c_str())) return true;
  }
  return false;
}

bool IsPathLike(const char* s) {
  size_t n = strlen(s);
  if (strncasecmp(s, "PROVIDER=", 9) == 0) return true;
  if (n >= 2 && (s[1] == ':' || s[0] == '\\')) return true;
  return n >= 1 && s[0] == '/';
}

}  // namespace

int Srv_IsLocal(const char* server) {
  if (!server || !*server) return 1;
  if (IsPathLike(server)) return 0;
  if (IsLocalHostName(server)) return 1;
  plat::UrlParts parts;
  if (!plat::SplitUrl(server, &parts)) return 0;
  // A file URL names a logged-data location, never this machine's server.
  if (IEquals(parts.scheme.c_str(), "file")) return 0;
  return IsLocalHostName(parts.host) ? 1 : 0;
}

int Srv_GetKind(const char* server) {
  const char* s = server ? server : "";
  if (IsPathLike(s)) return kSrvKindLocal;
  if (Srv_IsLocal(s)) return kSrvKindPipe;
  plat::UrlParts parts;
  if (!plat::SplitUrl(s, &parts)) return kSrvKindPipe;
  if (IEquals(parts.scheme.c_str(), "http") || IEquals(parts.scheme.c_str(), "https")) return kSrvKindWeb;
  if (IEquals(parts.scheme.c_str(), "file")) return kSrvKindLocal;
  return parts.scheme.empty() ? kSrvKindPipe : kSrvKindSocket;
}

int Srv_IsLocalUnc(const char* path) {
  if (!path) return 1;
  auto sep = [](char c) { return c == '\\' || c == '/'; };
  if (!(sep(path[0]) && sep(path[1]))) return 1;
  const char* host = path + 2;
  const char* end = host;
  while (*end && !sep(*end)) ++end;
  if (!*end) return 1;
  std::string h(host, static_cast<size_t>(end - host) > 259 ? 259 : static_cast<size_t>(end - host));
  return Srv_IsLocal(h.c_str());
}

int Srv_IsRequestOnly(const char* server) {
  return !Srv_IsLocal(server) && Srv_GetKind(server) != kSrvKindPipe ? 1 : 0;
}
