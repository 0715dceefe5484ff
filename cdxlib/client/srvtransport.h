// What a transport of the command client works on: the entry of a server
// connection and the record of a transport's functions. The named pipe
// (pipeclient.h) needs these alone, and the table of connections
// (srvclient.h) installs it by default, so both include this header rather
// than each other's.
#pragma once
#include <cstddef>
#include <cstdint>
#include <mutex>

constexpr size_t kSrvNameSize = 1284;           // a server name is at most 1283 characters
constexpr int32_t kSrvDefaultTimeoutMs = 15000;  // an entry's time-out of 0 means this

// One entry of the connection table.
struct ServerConnection {
  char name[kSrvNameSize];  // as given (local names: "."), compared case-blind; "" = free
  int32_t kind;             // SrvKind; 0 closed (the name is kept and reused)
  void* handle;             // the transport's own object
  int32_t timeout;          // milliseconds; 0 means kSrvDefaultTimeoutMs
  uint32_t openerThread;    // thread that opened a kind-3 entry (recorded only)
  std::recursive_mutex lock;  // held by the entry's user for a whole transaction
  const struct SrvTransport* transport;  // the transport it was opened with (while open)
  // The caller's reply capacity during a transaction (0 otherwise); the
  // buffer a transport fills may be larger (kSrvFailureRoom). The web
  // service tells the server this capacity.
  uint32_t replyCapacity;
};

// The transport of a kind. Each function runs with the entry's lock held.
// - open: connects for entry->name; stores its object in entry->handle and
//   returns 1, or returns 0 with the last error set (the table then leaves
//   the entry closed). The table sets entry->kind.
// - transact: one request and reply; *replyLength is the capacity on entry
//   and the bytes received on return; 1, or 0 with the last error set. A
//   reply longer than the capacity is refused with 234. Every wait has a
//   deadline (Srv_EntryTimeout); a peer that stalls fails with 10060.
// - close: ends the session and frees entry->handle (sets it null).
struct SrvTransport {
  const char* name;  // for traces: "pipe", "socket", "local", "web"
  int (*open)(ServerConnection* entry);
  int (*transact)(ServerConnection* entry, const void* request, uint32_t length, char* reply,
                  uint32_t* replyLength);
  void (*close)(ServerConnection* entry);
};

// The entry's time-out in milliseconds: its own, else defaultMs.
int32_t Srv_EntryTimeout(const ServerConnection* entry, int32_t defaultMs);
