// The named-pipe transport (connection kind 1): the central server on this
// machine, or on another computer, through its pipe
// "\\<server>\pipe\coordinatrix" (platform/pipe.h). One transaction is one
// message written and one message read.
//
// Every reply wait has a deadline: the entry's time-out, else
// kPipeDefaultTimeoutMs; a server that does not answer in time fails the
// transaction with 10060 and the connection is closed.
#pragma once
#include <cstdint>
#include <string>

#include "cdxlib/client/srvtransport.h"

constexpr int32_t kPipeDefaultTimeoutMs = 60000;

// The pipe name of a connection entry's server: "\\" name "\pipe\coordinatrix".
std::string Pipe_Name(const char* server);
// Opens the pipe: 1 with the handle stored, or 0 with the last error set.
int Pipe_Open(ServerConnection* entry);
// One exchange: 1, or 0 with the last error set (109, 234, 10060, ...).
int Pipe_Transact(ServerConnection* entry, const void* request, uint32_t length, char* reply,
                  uint32_t* replyLength);
// Closes the pipe handle (handle null).
void Pipe_Close(ServerConnection* entry);

// The transport record of kind 1 (installed by default).
extern const SrvTransport kPipeTransport;
