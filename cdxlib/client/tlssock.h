// TLS socket transport of the command client (connection kind 2).
//
// A central server named by a URL of any scheme other than http, https and
// file is reached over TCP with a TLS client session (OpenSSL). A request
// goes out as the request record's bytes in one TLS write, without framing;
// the reply comes back as a u32 little-endian byte count followed by that
// many reply bytes.
//
// Port: the URL's port, else the port that the service table gives for the
// scheme name, else 11234.
//
// The server's certificate chain and its host name (or IP address) are
// verified against the system's trusted certificates (SSL_CERT_FILE and
// SSL_CERT_DIR are honoured). The REG_SZ value "TlsVerify" = "OFF" under
// HKLM "SOFTWARE\Quillomatic\Coordinatrix" turns verification off, for
// sites whose server has a self-signed certificate.
//
// Deadlines: the connect, the handshake and every exchange end at the
// connection's time-out (0 means 15000 ms). The connect and the handshake
// poll a non-blocking socket against that one deadline; an exchange waits
// for its reply in recv itself, under a receive time-out that follows the
// exchange's deadline (set again only when it drifts), and its writes never
// block. So an exchange runs on the caller's thread, never outlives the
// call, and costs the same system calls as a plain socket round trip. A
// time-out gives error 10060 (the caller then closes the session).
//
// Errors (the thread's last error and errno): 10060 time-out, 10061 refused,
// 10054 connection cut (also mid-reply), 10053 TLS failure, 11001 host not
// found, 12045 untrusted certificate, 12037 expired certificate, 12038
// certificate name mismatch, 234 reply larger than the caller's buffer,
// 87 a bad request (no bytes).
#pragma once
#include <cstdint>

typedef struct bio_st BIO;

constexpr uint16_t kSockDefaultPort = 11234;
constexpr int kSockDefaultTimeoutMs = 15000;
// The largest piece read from the session at once.
constexpr uint32_t kSockChunkSize = 4093;
// The registry value that turns certificate verification off ("OFF").
constexpr const char* kRegTlsVerify = "TlsVerify";

// 1 unless "TlsVerify" is "OFF" (letter case aside); read at every call.
int Sock_VerifyEnabled();

// The port a connection uses: urlPort when non-zero, else the service
// table's TCP port for scheme, else 11234.
uint16_t Sock_PortFor(const char* scheme, uint16_t urlPort);

// One open TLS connection: the session and the TCP socket it owns.
struct SockSession;

// Connects to the server named by url and runs the handshake, all within
// timeoutMs (0: 15000). Writes ">>URL Opening socket connection" to the
// debug trace and the server's certificate names to standard output.
// Returns the session, or null with the last error set.
SockSession* Sock_Connect(const char* url, int timeoutMs);

// One exchange on the caller's thread, ending within timeoutMs (0: 15000).
// *replyLength holds the reply buffer's capacity on entry and the number of
// reply bytes on return. Returns 1, or 0 with the last error set; after 0
// the session is out of step and must be closed.
int Sock_SessionTransact(SockSession* session, const void* request, uint32_t length, void* reply,
                         uint32_t* replyLength, int timeoutMs);

// 1 when the session holds nothing unread: no surplus past a reply was seen
// and nothing waits on the connection (bytes or the server's close). A
// session that is not idle is out of step: close it and connect again
// before the next exchange, so that no request gets bytes meant for
// another.
int Sock_SessionIdle(SockSession* session);

// Ends the TLS session and closes its socket; null is ignored.
void Sock_CloseSession(SockSession* session);

// A socket BIO over fd whose writes never raise SIGPIPE (send with
// MSG_NOSIGNAL); reads and writes report EAGAIN as a retry. The BIO does not
// close fd. For the TLS servers of tests and tools as well.
BIO* Sock_NewBio(int fd);
