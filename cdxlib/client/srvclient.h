// The command client of the central server: request and reply records, the
// table of server connections, the choice of transport, and the one
// transaction call that every request builder uses.
//
// A server name is whatever the caller was given as the central server's
// location: empty or "." for this machine, a computer name, a URL (scheme,
// host, optional port and path), a drive or UNC path, a Linux path
// ("/var/cdx/logs"), or a database location beginning "PROVIDER=".
//
// Transports (the connection kinds):
//   1 named pipe      built in (pipeclient.h)
//   2 TLS socket      installed with Srv_SetTransport
//   3 in-process      installed with Srv_SetTransport (the logged-data source)
//   4 web service     installed with Srv_SetTransport
// Each works on the connection entry and the transport record of
// srvtransport.h.
// A kind with no transport installed fails at lookup with 50 (not
// supported), so a program that carries the pipe only (the scanner) refuses
// every other server name there.
//
// Replies: the leading decimal number is the result. "1," and data (or
// another number >= 0 and data) is success; "-1,code,text" is failure with
// code in errno and the thread's last error (1465: the text is the server's
// XML error text); an empty reply is failure 8001; a text reply without a
// leading number is failure 13 (the binary replies of "CV" and "RV" have
// none and are checked by their builders). A reply is never read beyond the
// bytes received. A successful reply longer than the caller's capacity is
// refused (234); a failure reply of up to kSrvFailureRoom bytes gives the
// server's code even when its text does not fit (the caller gets the text
// cut to its buffer).
//
// Locks: the table lock guards the entries' names; each entry has its own
// recursive lock, held by the caller from the lookup to the end of the
// transaction, so one server sees one transaction at a time while
// transactions with different servers run side by side. The lookup never
// waits for an entry's lock while it holds the table lock, and an entry is
// opened under its own lock, so a slow or stalled server holds up only its
// own callers (and a transport may make nested requests to other servers).
#pragma once
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>

#include "cdxlib/client/srvtransport.h"
#include "cdxlib/sys/servernames.h"

// ---------------------------------------------------------------- records

constexpr int kSrvTableSize = 100;              // entries of the connection table
constexpr uint32_t kSrvMaxRequest = 32768;      // largest request sent with data
// A reply is received into at least this many bytes, whatever the caller's
// capacity: room for a failure reply ("-1,code,text") and its text.
constexpr uint32_t kSrvFailureRoom = 4096;

// A request record under construction: two upper-case code letters, then
// the fields, each after a comma (tabs after the path of the file requests),
// then, for text requests, the terminating NUL; some requests append raw
// bytes after the text. Numbers are printed in the C locale.
class RequestRecord {
 public:
  RequestRecord() = default;
  // Appends formatted text (printf rules; no NUL).
  void Printf(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void VPrintf(const char* format, va_list args);
  // Appends raw bytes (or one NUL: AppendNul()).
  void Append(const void* data, size_t length);
  void AppendNul() { bytes_.push_back('\0'); }
  const char* Data() const { return bytes_.data(); }
  uint32_t Length() const { return static_cast<uint32_t>(bytes_.size()); }
  const std::string& Bytes() const { return bytes_; }

 private:
  std::string bytes_;
};

// A parsed reply record.
struct ReplyRecord {
  bool hasNumber = false;  // the reply begins with a decimal number
  int result = 0;          // that number (saturated to the int range)
  uint32_t dataOffset = 0;  // first byte after the number and its comma (or the length)
  int errorCode = 0;        // result -1: the code after "-1,", 13 when there is none
  uint32_t textOffset = 0;  // result -1: first byte of the text after the code's comma
};

// Parses the leading number of a reply of `length` bytes (never reads
// beyond them; a NUL ends the text early). Returns out->hasNumber.
bool Srv_ParseReply(const char* reply, uint32_t length, ReplyRecord* out);

// ---------------------------------------------------------------- requests

// One request and its reply. On entry *replyLength holds the capacity of
// reply in bytes; on return the number of reply bytes in reply (when fewer
// than the capacity, a NUL follows them). Result: the reply's leading number, or
// -1 with errno and the last error set (see above).
int Srv_Transact(const char* server, const void* request, uint32_t length, char* reply, uint32_t* replyLength);
// Srv_Transact of the text request with its NUL.
int Srv_SendRequest(const char* server, const char* request, char* reply, uint32_t* replyLength);

// The XML error text of the last "-1,1465,text" reply on this thread ("" when none).
// The same reply also becomes the XML layer's error (xml/xmldoc.h): source
// and context empty, the code 1465 and the text as its message, so a caller
// shows a server's XML error as it shows its own.
const char* Srv_LastXmlErrorText();

// ---------------------------------------------------------------- connections

// The entry for the server, opened if need be, with its lock held (release
// it with Srv_ReleaseConnection); or null with errno and the last error set
// (the transport's open error; 4 for a full table; 87 for a name longer
// than 1283 characters; 50 for a kind without a transport).
ServerConnection* Srv_GetConnection(const char* server);
void Srv_ReleaseConnection(ServerConnection* entry);
// 1 when the connection is open (the entry lock is released again), 0 otherwise.
int Srv_Connect(const char* server);
// One transaction on an open entry whose lock the caller holds, by kind:
// 1, or 0 with the last error set and the connection closed (kind 0), except
// for kind 3, which stays open.
int Srv_Dispatch(ServerConnection* entry, const void* request, uint32_t length, char* reply, uint32_t* replyLength);
// Closes every open connection (names are kept), each under its own lock:
// it waits for a transaction under way on that connection, which may make
// nested requests meanwhile.
void Srv_CloseAll();
// Part of the interface but disabled: returns 0 and closes nothing.
int Srv_Disconnect(const char* server);
// Makes the table of count entries (called with 100 on first use); 1 or 0.
// A second call keeps the table there is and returns 1.
int Srv_InitTable(int count);
// Sets the time-out of the server's entry (milliseconds, 0 = default),
// taking an entry for the name when it has none. For tools and tests: no
// part of the system sets it. 1, or 0 with the last error set.
int Srv_SetTimeout(const char* server, int32_t milliseconds);

// ---------------------------------------------------------------- transports

// Installs the transport of kind 2, 3 or 4 (kind 1 may be replaced too);
// null removes it. Returns the previous one. Connections already open keep
// the transport they were opened with until they close, so install before
// use. Thread-safe.
const SrvTransport* Srv_SetTransport(int kind, const SrvTransport* transport);
const SrvTransport* Srv_GetTransport(int kind);
