// The network transports of the command client, as the connection table
// sees them: the TLS socket (kind 2) and the web service (kind 4). A
// program that talks to servers by URL installs them once with
// Srv_InstallNetTransports; the scanner carries the pipe only and does not.
#pragma once
#include <cstdint>

struct ServerConnection;
struct SrvTransport;

// Kind 2: the entry's handle is the TLS session (SockSession, tlssock.h);
// every exchange runs on the caller's thread and ends at the entry's
// time-out (0: 15000 ms).
int Sock_Open(ServerConnection* entry);
int Sock_Transact(ServerConnection* entry, const void* request, uint32_t length, char* reply, uint32_t* replyLength);
void Sock_Close(ServerConnection* entry);
const SrvTransport* Sock_Transport();

// Kind 4: the entry's handle is the web session (WebSession, websvc.h);
// the entry's time-out, when set, bounds connect, send and receive.
int Web_Open(ServerConnection* entry);
int Web_Transact(ServerConnection* entry, const void* request, uint32_t length, char* reply, uint32_t* replyLength);
void Web_Close(ServerConnection* entry);
const SrvTransport* Web_Transport();

// Installs both with Srv_SetTransport.
void Srv_InstallNetTransports();
