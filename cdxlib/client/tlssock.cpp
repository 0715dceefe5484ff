#include "cdxlib/client/tlssock.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "cdxlib/sys/debugtrace.h"
#include "cdxlib/sys/registry.h"
#include "cdxlib/sys/urlcrack.h"
#include "platform/error.h"

using Clock = std::chrono::steady_clock;

struct SockSession {
  int fd = -1;
  SSL_CTX* ctx = nullptr;
  SSL* ssl = nullptr;
  // After the handshake the socket blocks on reads: a read waits in recv
  // itself, bounded by the socket's receive time-out, which follows the
  // exchange's deadline. Writes never block (MSG_DONTWAIT) and wait in poll.
  bool blockingReads = false;
  Clock::time_point deadline{};
  // The receive time-out set on the socket, in microseconds (0: none yet).
  long long armedUs = 0;
  // The server sent more than the last reply announced: the connection is
  // out of step and must not carry another exchange.
  bool surplus = false;
  // Reads take only bytes already received (Sock_SessionIdle).
  bool peeking = false;
  // An exchange has begun on the session.
  bool exchanged = false;
};

namespace {

// ---- a socket BIO without SIGPIPE ------------------------------------------

int BioFd(BIO* b) { return static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(b))); }

bool IsRetry(int e) { return e == EAGAIN || e == EWOULDBLOCK || e == EINTR; }

int SendOn(BIO* b, int fd, const char* data, int length, int flags) {
  BIO_clear_retry_flags(b);
  ssize_t n = send(fd, data, static_cast<size_t>(length), MSG_NOSIGNAL | flags);
  if (n < 0 && IsRetry(errno)) BIO_set_retry_write(b);
  return static_cast<int>(n);
}

int RecvOn(BIO* b, int fd, char* data, int length, int flags = 0) {
  BIO_clear_retry_flags(b);
  ssize_t n = recv(fd, data, static_cast<size_t>(length), flags);
  if (n < 0 && IsRetry(errno)) BIO_set_retry_read(b);
  return static_cast<int>(n);
}

int BioWrite(BIO* b, const char* data, int length) { return SendOn(b, BioFd(b), data, length, 0); }

int BioRead(BIO* b, char* data, int length) { return RecvOn(b, BioFd(b), data, length); }

int BioPuts(BIO* b, const char* text) { return BioWrite(b, text, static_cast<int>(strlen(text))); }

long BioCtrl(BIO* b, int cmd, long /*num*/, void* ptr) {
  switch (cmd) {
    case BIO_CTRL_FLUSH:
      return 1;
    case BIO_C_GET_FD:
      if (ptr) *static_cast<int*>(ptr) = BioFd(b);
      return BioFd(b);
    default:
      return 0;
  }
}

int BioCreate(BIO* b) {
  BIO_set_init(b, 1);
  return 1;
}

int BioDestroy(BIO* /*b*/) { return 1; }

// ---- the client's socket BIO ---------------------------------------------------

constexpr long long kArmSlackUs = 1000;

// Sets the socket's receive time-out to what is left of the exchange's
// deadline, unless the time-out set already lies within a millisecond of it
// (the usual case: exchange after exchange with the same time-out, so no
// system call). False when the deadline has passed.
bool ArmReceive(SockSession* s) {
  const long long left = std::chrono::duration_cast<std::chrono::microseconds>(s->deadline - Clock::now()).count();
  if (left <= 0) return false;
  if (s->armedUs == 0 || s->armedUs > left + kArmSlackUs || s->armedUs < left - kArmSlackUs) {
    timeval tv{static_cast<time_t>(left / 1000000), static_cast<suseconds_t>(left % 1000000)};
    if (setsockopt(s->fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) return true;  // recv reports it
    s->armedUs = left;
  }
  return true;
}

SockSession* BioSession(BIO* b) { return static_cast<SockSession*>(BIO_get_data(b)); }

// Writes never wait in the kernel: a full socket is a retry, and the caller
// waits for room in poll against the deadline.
int ClientBioWrite(BIO* b, const char* data, int length) {
  return SendOn(b, BioSession(b)->fd, data, length, MSG_DONTWAIT);
}

// With blocking reads the wait for the reply is the recv itself (one system
// call per record, none for poll); the receive time-out ends it at the
// deadline, and a passed deadline is a retry, which the caller's wait then
// reports as the time-out.
int ClientBioRead(BIO* b, char* data, int length) {
  SockSession* s = BioSession(b);
  // The check between exchanges takes only what is there already.
  if (s->peeking) return RecvOn(b, s->fd, data, length, MSG_DONTWAIT);
  if (s->blockingReads && !ArmReceive(s)) {
    BIO_clear_retry_flags(b);
    BIO_set_retry_read(b);
    errno = EAGAIN;
    return -1;
  }
  return RecvOn(b, s->fd, data, length);
}

long ClientBioCtrl(BIO* b, int cmd, long /*num*/, void* ptr) {
  switch (cmd) {
    case BIO_CTRL_FLUSH:
      return 1;
    case BIO_C_GET_FD:
      if (ptr) *static_cast<int*>(ptr) = BioSession(b)->fd;
      return BioSession(b)->fd;
    default:
      return 0;
  }
}

int ClientBioPuts(BIO* b, const char* text) { return ClientBioWrite(b, text, static_cast<int>(strlen(text))); }

BIO_METHOD* ClientMethod() {
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR, "cdx client socket");
    BIO_meth_set_write(m, ClientBioWrite);
    BIO_meth_set_read(m, ClientBioRead);
    BIO_meth_set_puts(m, ClientBioPuts);
    BIO_meth_set_ctrl(m, ClientBioCtrl);
    BIO_meth_set_create(m, BioCreate);
    BIO_meth_set_destroy(m, BioDestroy);
    return m;
  }();
  return method;
}

BIO_METHOD* NoSigpipeMethod() {
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR, "cdx socket");
    BIO_meth_set_write(m, BioWrite);
    BIO_meth_set_read(m, BioRead);
    BIO_meth_set_puts(m, BioPuts);
    BIO_meth_set_ctrl(m, BioCtrl);
    BIO_meth_set_create(m, BioCreate);
    BIO_meth_set_destroy(m, BioDestroy);
    return m;
  }();
  return method;
}

// ---- deadlines ---------------------------------------------------------------

Clock::time_point DeadlineAfter(int timeoutMs) {
  return Clock::now() + std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : kSockDefaultTimeoutMs);
}

// Waits until fd is ready for events or the deadline passes: true when
// ready (or when poll itself fails, so that the next operation reports it).
bool WaitFd(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count() + 1;
    if (Clock::now() >= deadline) return false;
    pollfd p{fd, events, 0};
    int r = poll(&p, 1, static_cast<int>(left > INT_MAX ? INT_MAX : left));
    if (r > 0) return true;
    if (r < 0 && errno != EINTR) return true;
  }
}

void TraceOpenSslErrors(const char* what) {
  unsigned long e;
  while ((e = ERR_get_error()) != 0) {
    char text[256];
    ERR_error_string_n(e, text, sizeof text);
    char line[400];
    snprintf(line, sizeof line, ">>TLS %s: %s\r\n", what, text);
    Dbg_Log(line);
  }
}

// The error for a refused certificate, or 0 when verification passed.
uint32_t CertificateError(SSL* ssl) {
  long v = SSL_get_verify_result(ssl);
  switch (v) {
    case X509_V_OK:
      return 0;
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
      return plat::kErrInetCertDateInvalid;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      return plat::kErrInetCertCnInvalid;
    default:
      return plat::kErrInetInvalidCa;
  }
}

// Runs one TLS operation (connect, read or write) until it completes or the
// deadline passes. Returns its positive result, or 0 with *error set.
template <class Op>
int Drive(SockSession* s, Op op, Clock::time_point deadline, const char* what, uint32_t* error) {
  s->deadline = deadline;
  // A retry leaves nothing in the error queue: one clearing serves them all.
  ERR_clear_error();
  for (;;) {
    errno = 0;
    int r = op();
    if (r > 0) return r;
    int saved = errno;
    switch (SSL_get_error(s->ssl, r)) {
      case SSL_ERROR_WANT_READ:
        if (!WaitFd(s->fd, POLLIN, deadline)) return *error = plat::kErrWsaTimedOut, 0;
        continue;
      case SSL_ERROR_WANT_WRITE:
        if (!WaitFd(s->fd, POLLOUT, deadline)) return *error = plat::kErrWsaTimedOut, 0;
        continue;
      case SSL_ERROR_ZERO_RETURN:
        *error = plat::kErrWsaConnReset;
        return 0;
      case SSL_ERROR_SYSCALL:
        *error = saved ? plat::FromErrno(saved) : plat::kErrWsaConnReset;
        TraceOpenSslErrors(what);
        return 0;
      default: {
        uint32_t cert = CertificateError(s->ssl);
        *error = cert ? cert : plat::kErrWsaConnAborted;
        TraceOpenSslErrors(what);
        return 0;
      }
    }
  }
}

// Resolves host (IPv4): "." is this machine, by the loopback name, then by
// this computer's name. 0 or an error number.
uint32_t Resolve(const char* host, in_addr* out) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  char computer[256] = {};
  const char* names[2] = {host, nullptr};
  if (strcmp(host, ".") == 0) {
    names[0] = "localhost";
    if (gethostname(computer, sizeof computer - 1) == 0) names[1] = computer;
  }
  for (const char* name : names) {
    if (!name) continue;
    addrinfo* res = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &res) == 0 && res) {
      *out = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr;
      freeaddrinfo(res);
      return 0;
    }
  }
  return plat::kErrWsaHostNotFound;
}

// Connects fd to addr:port within the deadline. 0 or an error number.
uint32_t ConnectBy(int fd, in_addr addr, uint16_t port, Clock::time_point deadline) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr = addr;
  if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) return 0;
  if (errno != EINPROGRESS) return plat::FromErrno(errno);
  if (!WaitFd(fd, POLLOUT, deadline)) return plat::kErrWsaTimedOut;
  int soError = 0;
  socklen_t len = sizeof soError;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) != 0) return plat::FromErrno(errno);
  return soError ? plat::FromErrno(soError) : 0;
}

void PrintCertificate(SSL* ssl) {
  X509* cert = SSL_get1_peer_certificate(ssl);
  if (!cert) return;
  char subject[512], issuer[512];
  X509_NAME_oneline(X509_get_subject_name(cert), subject, sizeof subject);
  X509_NAME_oneline(X509_get_issuer_name(cert), issuer, sizeof issuer);
  printf("Server certificate:\n");
  printf("\t subject: %s\n", subject);
  printf("\t issuer: %s\n", issuer);
  fflush(stdout);
  X509_free(cert);
}

int NothingUnread(SockSession* session, bool partialCounts);

// The exchange itself, within the deadline: 1, or 0 with *error set.
int Exchange(SockSession* s, const void* request, uint32_t length, void* reply, uint32_t* replyLength,
             Clock::time_point deadline, uint32_t* error) {
  const uint32_t capacity = *replyLength;
  *replyLength = 0;
  if (!s || !s->ssl) return *error = plat::kErrInvalidHandle, 0;
  if (!request || length == 0 || length > INT_MAX) return *error = plat::kErrInvalidParameter, 0;
  s->exchanged = true;
  if (!Drive(s, [&] { return SSL_write(s->ssl, request, static_cast<int>(length)); }, deadline, "write", error))
    return 0;

  // The reply's length and its first bytes in one read: a small reply is
  // one record, read whole by one SSL_read (with read-ahead, one recv).
  unsigned char piece[kSockChunkSize];
  const uint32_t firstWant = 4 + (capacity < kSockChunkSize - 4 ? capacity : kSockChunkSize - 4);
  uint32_t got = 0;
  while (got < 4) {
    int n = Drive(s, [&] { return SSL_read(s->ssl, piece + got, static_cast<int>(firstWant - got)); }, deadline,
                  "read", error);
    if (n <= 0) return 0;
    got += static_cast<uint32_t>(n);
  }
  const uint32_t total =
      uint32_t(piece[0]) | uint32_t(piece[1]) << 8 | uint32_t(piece[2]) << 16 | uint32_t(piece[3]) << 24;
  if (total > capacity) {
    char line[160];
    snprintf(line, sizeof line, ">>TLS reply of %u bytes refused: the buffer holds %u\r\n", total, capacity);
    Dbg_Log(line);
    return *error = plat::kErrMoreData, 0;
  }
  auto* out = static_cast<unsigned char*>(reply);
  // Bytes past the announced length belong to no reply; the reply itself
  // is whole, but the session is out of step (see Sock_SessionIdle).
  if (got - 4 > total) s->surplus = true;
  uint32_t have = got - 4 < total ? got - 4 : total;
  if (have) memcpy(out, piece + 4, have);
  while (have < total) {
    uint32_t want = total - have;
    if (want > kSockChunkSize) want = kSockChunkSize;
    int n = Drive(s, [&] { return SSL_read(s->ssl, out + have, static_cast<int>(want)); }, deadline, "read", error);
    if (n <= 0) return 0;
    have += static_cast<uint32_t>(n);
  }
  // Anything already here past the reply (in its record, in a record of its
  // own, or still on the socket) is surplus too.
  if (!NothingUnread(s, false)) s->surplus = true;
  *replyLength = total;
  *error = 0;
  return 1;
}

}  // namespace

BIO* Sock_NewBio(int fd) {
  BIO* b = BIO_new(NoSigpipeMethod());
  if (b) BIO_set_data(b, reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
  return b;
}

int Sock_VerifyEnabled() {
  char value[16] = {};
  uint32_t type = 0, size = sizeof value - 1;
  if (Reg_AccessValue(plat::HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillomatic\\Coordinatrix", plat::KEY_QUERY_VALUE,
                      kRegTlsVerify, &type, value, &size) != 0)
    return 1;
  value[size < sizeof value ? size : sizeof value - 1] = 0;
  return strcasecmp(value, "OFF") == 0 ? 0 : 1;
}

uint16_t Sock_PortFor(const char* scheme, uint16_t urlPort) {
  if (urlPort) return urlPort;
  if (scheme && *scheme) {
    servent entry{};
    servent* found = nullptr;
    char buf[1024];
    if (getservbyname_r(scheme, "tcp", &entry, buf, sizeof buf, &found) == 0 && found)
      return ntohs(static_cast<uint16_t>(found->s_port));
  }
  return kSockDefaultPort;
}

SockSession* Sock_Connect(const char* url, int timeoutMs) {
  OPENSSL_init_ssl(0, nullptr);
  OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
  const Clock::time_point deadline = DeadlineAfter(timeoutMs);
  {
    char line[1400];
    snprintf(line, sizeof line, ">>%s Opening socket connection\r\n", url ? url : "");
    Dbg_Log(line);
  }
  char scheme[32] = {}, host[256] = {};
  UrlComponents parts;
  parts.scheme = scheme;
  parts.schemeLength = sizeof scheme;
  parts.hostName = host;
  parts.hostNameLength = sizeof host;
  if (!url || !Url_Crack(url, 0, 0, &parts)) return nullptr;
  const uint16_t port = Sock_PortFor(scheme, parts.port);

  in_addr addr{};
  if (uint32_t e = Resolve(host, &addr)) return plat::Fail(e), nullptr;
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return plat::FailErrno(errno), nullptr;
  // One request, one reply: nothing is gained by holding small segments back.
  const int noDelay = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
  if (uint32_t e = ConnectBy(fd, addr, port, deadline)) {
    close(fd);
    return plat::Fail(e), nullptr;
  }

  auto* s = new SockSession;
  s->fd = fd;
  s->ctx = SSL_CTX_new(TLS_client_method());
  s->ssl = s->ctx ? SSL_new(s->ctx) : nullptr;
  BIO* bio = s->ssl ? BIO_new(ClientMethod()) : nullptr;
  if (bio) BIO_set_data(bio, s);
  if (!bio) {
    TraceOpenSslErrors("setup");
    Sock_CloseSession(s);
    return plat::Fail(plat::kErrNotEnoughMemory), nullptr;
  }
  SSL_set_bio(s->ssl, bio, bio);
  SSL_set_options(s->ssl, SSL_OP_IGNORE_UNEXPECTED_EOF);
  // A record's header and body in one read instead of two.
  SSL_set_read_ahead(s->ssl, 1);
  in_addr literal{};
  const bool isAddress = inet_pton(AF_INET, host, &literal) == 1;
  if (!isAddress) SSL_set_tlsext_host_name(s->ssl, host);
  if (Sock_VerifyEnabled()) {
    SSL_CTX_set_default_verify_paths(s->ctx);
    SSL_set_verify(s->ssl, SSL_VERIFY_PEER, nullptr);
    X509_VERIFY_PARAM* param = SSL_get0_param(s->ssl);
    if (isAddress)
      X509_VERIFY_PARAM_set1_ip_asc(param, host);
    else
      X509_VERIFY_PARAM_set1_host(param, host, 0);
  } else {
    SSL_set_verify(s->ssl, SSL_VERIFY_NONE, nullptr);
  }
  uint32_t error = 0;
  if (!Drive(s, [&] { return SSL_connect(s->ssl); }, deadline, "handshake", &error)) {
    char line[1400];
    snprintf(line, sizeof line, ">>%s TLS handshake failed (%u %s)\r\n", url, error, plat::ErrorText(error));
    Dbg_Log(line);
    Sock_CloseSession(s);
    return plat::Fail(error), nullptr;
  }
  // From here on reads wait in recv under the socket's receive time-out
  // (see ClientBioRead); writes stay non-blocking by their flag.
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0) s->blockingReads = true;
  PrintCertificate(s->ssl);
  return s;
}

int Sock_SessionTransact(SockSession* session, const void* request, uint32_t length, void* reply,
                         uint32_t* replyLength, int timeoutMs) {
  // The socket is non-blocking and every wait of the exchange ends at one
  // deadline, so the exchange runs on the caller's thread: nothing outlives
  // the call, and no thread is started per request.
  uint32_t error = 0;
  const int result = Exchange(session, request, length, reply, replyLength, DeadlineAfter(timeoutMs), &error);
  if (!result) {
    *replyLength = 0;
    plat::Fail(error ? error : plat::kErrGenFailure);
    return 0;
  }
  plat::SetLastError(0);
  return 1;
}

namespace {
// 1 when nothing unread is on the connection. A part of a record already
// here counts as unread only with partialCounts: right after a reply it may
// still be the rest of a session ticket, and the check before the next
// request decides.
int NothingUnread(SockSession* session, bool partialCounts) {
  if (!session || !session->ssl || session->surplus) return 0;
  // Decrypted bytes, or raw bytes the read-ahead took in.
  if (SSL_pending(session->ssl) > 0 || SSL_has_pending(session->ssl)) return 0;
  pollfd p{session->fd, POLLIN, 0};
  int r;
  do r = poll(&p, 1, 0);
  while (r < 0 && errno == EINTR);
  if (r == 0) return 1;
  if (r < 0) return 0;
  // Something arrived: TLS messages of the session itself (the server's
  // session tickets, a key update) are taken and leave the connection in
  // step; application bytes, the server's close or an error do not.
  const int savedErrno = errno;
  session->peeking = true;
  ERR_clear_error();
  char byte;
  const int n = SSL_peek(session->ssl, &byte, 1);
  const int e = SSL_get_error(session->ssl, n);
  session->peeking = false;
  ERR_clear_error();
  errno = savedErrno;
  if (n > 0 || e != SSL_ERROR_WANT_READ) return 0;
  return partialCounts && SSL_has_pending(session->ssl) ? 0 : 1;
}
}  // namespace

int Sock_SessionIdle(SockSession* session) {
  // Before the first exchange there is no reply to have surplus: what the
  // server sent after the handshake is its own (session tickets), taken
  // with the first reply.
  if (session && session->ssl && !session->exchanged && !session->surplus) return 1;
  return NothingUnread(session, true);
}

void Sock_CloseSession(SockSession* session) {
  if (!session) return;
  if (session->ssl) {
    // A short, non-blocking close_notify: the peer may be gone already.
    SSL_set_quiet_shutdown(session->ssl, 1);
    SSL_free(session->ssl);
  }
  if (session->ctx) SSL_CTX_free(session->ctx);
  if (session->fd >= 0) close(session->fd);
  delete session;
}
