// Message pipes: the named pipe "\\host\pipe\name" of a server.
//
// One transaction is one message written and one message read, and message
// boundaries are kept. Underneath, a pipe is an AF_UNIX SOCK_SEQPACKET
// socket under the instance root (root.h):
//   <root>/pipe/<host>/<name>
// with host and name lower-cased (pipe names are case-blind) and made
// file-system safe (EncodeObjectName; the host "." of this machine is
// written "%2E"). A name too long for a socket path is replaced by "#" and
// a hash of it. A server on this machine listens on the "." path; a relay
// (or a test) that serves another computer's pipe listens on that
// computer's path, so a host without a listener fails with 53 (bad network
// path), this machine's missing pipe with 2.
//
// A host folder is every user's (sticky, as the root's every-user folders):
// one that is a link, or that belongs to a user other than this process's
// and the superuser (made first by someone else, it could hold that user's
// server under any name), is refused with 5 by PipeCreate and PipeOpen.
//
// Writes never raise SIGPIPE (MSG_NOSIGNAL), and every wait has a deadline.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace plat {

constexpr int kPipeWaitForever = -1;

// The socket path standing for a pipe name, or "" with 123 (not a pipe
// name: "\\host\pipe\name") or 206 (the root is too long for a socket path).
std::string PipeSocketPath(const std::string& pipeName);

// ---- client

// Connects to the pipe: a descriptor, or -1 with the system error set: 2 no
// such pipe on this machine, 53 no such pipe on another host, 5 the host
// folder is refused (see above), 231 the
// server is busy (its queue of connections is full), 123/206 as above.
int PipeOpen(const std::string& pipeName);
// Sends request as one message and receives one reply message of at most
// capacity bytes, waiting at most timeoutMs for each. Returns the reply's
// length (0 for an empty reply), or -1 with the system error set: 109 the
// server closed or reset the pipe, 234 the reply is longer than capacity
// (nothing of it is kept; the pipe is out of step and must be closed),
// 10060 no reply within the time-out.
long PipeTransact(int fd, const void* request, size_t length, void* reply, size_t capacity, int timeoutMs);
void PipeClose(int fd);

// ---- server

// Creates the pipe and listens: a descriptor, or -1 with the system error
// set (231 when a live server already listens there; a stale socket file
// left by a server that ended is replaced).
int PipeCreate(const std::string& pipeName);
// Waits for a client: its descriptor, or -1 (258 on time-out).
int PipeAccept(int listenFd, int timeoutMs);
// Reads one whole message into msg: 0, or -1 with 109 when the client has
// gone, 258 on time-out.
int PipeReadMessage(int fd, std::string* msg, int timeoutMs);
// Writes one message: 0, or -1 with 109 when the client has gone (or 258
// when it does not read within the time-out).
int PipeWriteMessage(int fd, const void* data, size_t length, int timeoutMs);
// Removes the pipe's socket file and closes the listening descriptor.
void PipeDestroy(int listenFd, const std::string& pipeName);

}  // namespace plat
