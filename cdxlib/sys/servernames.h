// Server names: which machine a name means and which connection kind it gets.
//
// A server name is whatever the caller was given as the central server's
// location: empty or "." for this machine, a computer name, a URL (scheme,
// host, optional port and path), a drive or UNC path, a Linux path
// ("/var/cdx/logs"), or a database location beginning "PROVIDER=". These
// tests look at the name only and never connect, so the logical
// directories and the configuration files can ask them as well as the
// command client.
#pragma once
#include <cstdint>

// Connection kinds.
enum SrvKind : int32_t {
  kSrvKindClosed = 0,
  kSrvKindPipe = 1,
  kSrvKindSocket = 2,  // TCP with TLS
  kSrvKindLocal = 3,   // in-process logged-data source
  kSrvKindWeb = 4,     // SOAP web service
};
constexpr int kSrvKindCount = 5;

// The kind that a connection to this server gets (1 to 4).
int Srv_GetKind(const char* server);
// 1 when the name means this machine: absent, "", ".", "localhost",
// "127.0.0.1", this computer's name (its host name, whole or up to the
// first "."), and URLs whose host is one of them (except file URLs);
// 0 for "PROVIDER=" locations and paths.
int Srv_IsLocal(const char* server);
// 1 unless the path is a UNC path ("\\host\..." or "//host/...") whose host
// is another machine.
int Srv_IsLocalUnc(const char* path);
// 1 when the server is neither this machine nor a pipe server: its files
// can be reached only through requests, never by a share path.
int Srv_IsRequestOnly(const char* server);
