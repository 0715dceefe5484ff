#include "cdxlib/client/websvc.h"

#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cdxlib/client/tlssock.h"
#include "cdxlib/sys/debugtrace.h"
#include "cdxlib/sys/registry.h"
#include "cdxlib/sys/urlcrack.h"
#include "cdxwsH.h"
#include "platform/error.h"
// The namespace table of the service (the library's global "namespaces").
#include "WebServ.nsmap"

using Clock = std::chrono::steady_clock;

struct WebSession {
  soap* ctx = nullptr;
  char endpoint[kWebEndpointSize] = {};
  char user[kWebCredentialSize] = {};
  char password[kWebCredentialSize] = {};
  int32_t lastInetError = 0;
  bool onError = false;
  int ioTimeoutMs = 60000;
};

namespace {

std::atomic<bool> g_errorCallback{false};

// The certificate failure seen by the handshake of this thread's call.
thread_local uint32_t t_certError = 0;

constexpr const char* kPluginId = "cdx-http-1.0";

// The session's plug-in: it carries the session for the library's hooks and
// refuses to be copied with its context (a copy would share the session).
int PluginCopy(soap*, soap_plugin*, soap_plugin*) { return SOAP_FATAL_ERROR; }
void PluginDelete(soap*, soap_plugin*) {}
int PluginCreate(soap*, soap_plugin* plugin, void* arg) {
  plugin->id = kPluginId;
  plugin->data = arg;
  plugin->fcopy = PluginCopy;
  plugin->fdelete = PluginDelete;
  return SOAP_OK;
}

int VerifyCallback(int ok, X509_STORE_CTX* store) {
  if (!ok && !t_certError) {
    int e = X509_STORE_CTX_get_error(store);
    t_certError = (e == X509_V_ERR_CERT_HAS_EXPIRED || e == X509_V_ERR_CERT_NOT_YET_VALID)
                      ? plat::kErrInetCertDateInvalid
                      : plat::kErrInetInvalidCa;
  }
  return ok;
}

// Blocks SIGPIPE for this thread while the library writes to a peer that
// may be gone (its TLS writes bypass the socket flags), and drops a SIGPIPE
// raised meanwhile; the process's signal disposition is never changed.
class SigpipeGuard {
 public:
  SigpipeGuard() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    wasPending_ = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
  }
  ~SigpipeGuard() {
    if (!wasPending_) {
      sigset_t pending;
      sigpending(&pending);
      if (sigismember(&pending, SIGPIPE) == 1) {
        timespec zero{0, 0};
        sigtimedwait(&pipe_, nullptr, &zero);
      }
    }
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }
  SigpipeGuard(const SigpipeGuard&) = delete;
  SigpipeGuard& operator=(const SigpipeGuard&) = delete;

 private:
  sigset_t pipe_;
  sigset_t old_;
  bool wasPending_ = false;
};

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decodes "%XX" escapes in place.
void PercentDecode(char* text) {
  char* out = text;
  for (const char* in = text; *in; ++in) {
    int hi, lo;
    if (in[0] == '%' && (hi = HexValue(in[1])) >= 0 && (lo = HexValue(in[2])) >= 0) {
      *out++ = static_cast<char>(hi << 4 | lo);
      in += 2;
    } else {
      *out++ = *in;
    }
  }
  *out = 0;
}

bool Contains(const char* text, const char* part) { return text && strstr(text, part); }

// The error number for a failed call.
// late: the call lasted as long as the send or receive time-out, so an end
// of input without a system error is that time-out.
uint32_t CallError(soap* s, bool late) {
  const int e = s->error;
  const char* reason = *soap_faultstring(s);
  const char* detail = *soap_faultdetail(s);
  auto timedOut = [&] {
    return (late && s->errnum == 0) || Contains(reason, "Timeout") || Contains(detail, "Timeout");
  };
  if (t_certError) return t_certError;
  switch (e) {
    case SOAP_TCP_ERROR:
      if (timedOut()) return plat::kErrWsaTimedOut;
      if (Contains(reason, "host") || Contains(detail, "host")) return plat::kErrInetNameNotResolved;
      if (s->errnum == ECONNREFUSED) return plat::kErrInetCannotConnect;
      if (s->errnum == ETIMEDOUT) return plat::kErrWsaTimedOut;
      return plat::kErrInetCannotConnect;
    case SOAP_EOF:
      return timedOut() ? plat::kErrWsaTimedOut : plat::kErrInetConnectionAborted;
    case SOAP_SSL_ERROR:
      return timedOut() ? plat::kErrWsaTimedOut : plat::kErrInetConnectionAborted;
    case SOAP_CLI_FAULT:
    case SOAP_SVR_FAULT:
    case SOAP_FAULT:
      // One code for every fault the server sends (the library's client and
      // server fault numbers would read as system errors 1 and 2).
      return SOAP_FAULT;
    case SOAP_HTTP_ERROR:
      return plat::kErrInetInvalidServerResponse;
    default:
      if (e >= 300 && e < 600) return static_cast<uint32_t>(e);  // an HTTP status
      return plat::kErrInetInvalidServerResponse;
  }
}

// The library's fault text, and where in the received message it failed.
void TraceFault(soap* s) {
  soap_set_fault(s);
  const char* code = *soap_faultcode(s);
  const char* subcode = *soap_faultsubcode(s);
  const char* reason = *soap_faultstring(s);
  const char* detail = *soap_faultdetail(s);
  std::string text;
  {
    char* buf = nullptr;
    size_t size = 0;
    if (FILE* f = open_memstream(&buf, &size)) {
      fprintf(f, "%s%d fault: %s [%s]\n\"%s\"\nDetail: %s\n", s->version ? "SOAP 1." : "Error ",
              s->version ? static_cast<int>(s->version) : s->error, code ? code : "",
              subcode ? subcode : "no subcode", reason ? reason : "[no reason]", detail ? detail : "[no detail]");
      soap_print_fault_location(s, f);
      fclose(f);
      text.assign(buf, size);
    }
    free(buf);
  }
  Dbg_Log(text.c_str());
}

}  // namespace

int Web_FormEndpoint(const char* url, char* endpoint, size_t endpointSize, char* user, char* password) {
  char scheme[32] = {}, host[256] = {}, name[kWebCredentialSize] = {}, pass[kWebCredentialSize] = {};
  char path[2048] = {}, extra[kWebEndpointSize] = {};
  UrlComponents parts;
  parts.scheme = scheme;
  parts.schemeLength = sizeof scheme;
  parts.hostName = host;
  parts.hostNameLength = sizeof host;
  parts.userName = name;
  parts.userNameLength = sizeof name;
  parts.password = pass;
  parts.passwordLength = sizeof pass;
  parts.urlPath = path;
  parts.urlPathLength = sizeof path;
  parts.extraInfo = extra;
  parts.extraInfoLength = sizeof extra;
  if (!url || !Url_Crack(url, 0, 0, &parts)) return 0;

  std::string out;
  out.append(scheme).append("://").append(host);
  const uint16_t own = strcasecmp(scheme, "https") == 0 ? 443 : strcasecmp(scheme, "http") == 0 ? 80 : 0;
  if (parts.port && parts.port != own) out.append(":").append(std::to_string(parts.port));
  std::string p;
  if (path[0] == 0 || strcmp(path, "/") == 0)
    p.append("/").append(Prod_GetProductName()).append("/");
  else
    p.append(path);
  // The tail: from the path's second '/' on.
  const size_t second = p.find('/', 1);
  if (second == std::string::npos || p.compare(second, std::string::npos, "/") == 0) {
    p.resize(second == std::string::npos ? p.size() : second);
    p.append("/BIN/mod_gsoap.dll");
  }
  out.append(p);
  out.append(extra[0] ? extra : "?Service");
  if (out.size() >= endpointSize) return plat::Fail(plat::kErrInsufficientBuffer), 0;
  memcpy(endpoint, out.c_str(), out.size() + 1);
  PercentDecode(name);
  PercentDecode(pass);
  if (user) memcpy(user, name, sizeof name);
  if (password) memcpy(password, pass, sizeof pass);
  return 1;
}

WebSession* Web_OpenSession(const char* url, int timeoutMs) {
  auto* ws = new (std::nothrow) WebSession;
  if (!ws) return plat::Fail(plat::kErrNotEnoughMemory), nullptr;
  if (!Web_FormEndpoint(url, ws->endpoint, sizeof ws->endpoint, ws->user, ws->password)) {
    const uint32_t e = plat::GetLastError();
    Dbg_Log("InternetCrackUrl failed\r\n");
    delete ws;
    return plat::Fail(e ? e : plat::kErrInvalidName), nullptr;
  }
  soap_ssl_init();
  soap* s = soap_new2(SOAP_IO_KEEPALIVE, SOAP_IO_KEEPALIVE | SOAP_ENC_ZLIB);
  if (!s) {
    delete ws;
    return plat::Fail(plat::kErrNotEnoughMemory), nullptr;
  }
  ws->ctx = s;
  soap_set_namespaces(s, namespaces);
  s->z_level = 9;
  s->socket_flags = MSG_NOSIGNAL;
  if (timeoutMs > 0) {
    // Negative values are microseconds.
    s->connect_timeout = s->send_timeout = s->recv_timeout = -timeoutMs * 1000;
    ws->ioTimeoutMs = timeoutMs;
  } else {
    s->connect_timeout = 30;
    s->send_timeout = s->recv_timeout = 60;
  }
  if (ws->user[0]) {
    s->userid = ws->user;
    s->passwd = ws->password;
  }
  if (soap_register_plugin_arg(s, PluginCreate, ws) != SOAP_OK) {
    Dbg_Log("soap_register_plugin_arg failed\r\n");
    Web_CloseSession(ws);
    return plat::Fail(plat::kErrNotEnoughMemory), nullptr;
  }
  if (strncasecmp(ws->endpoint, "https:", 6) == 0) {
    const unsigned short flags =
        Sock_VerifyEnabled() ? (SOAP_SSL_REQUIRE_SERVER_AUTHENTICATION | SOAP_SSL_SKIP_HOST_CHECK) : SOAP_SSL_NO_AUTHENTICATION;
    s->fsslverify = VerifyCallback;
    if (soap_ssl_client_context(s, flags, nullptr, nullptr, nullptr, nullptr, nullptr) != SOAP_OK) {
      TraceFault(s);
      Web_CloseSession(ws);
      return plat::Fail(plat::kErrInetConnectionAborted), nullptr;
    }
  }
  ws->onError = g_errorCallback.load();
  return ws;
}

int Web_SessionTransact(WebSession* ws, const void* request, uint32_t length, void* reply, uint32_t* replyLength,
                        uint32_t resultSize) {
  const uint32_t capacity = *replyLength;
  const uint32_t announced = resultSize && resultSize < capacity ? resultSize : capacity;
  *replyLength = 0;
  if (!ws || !ws->ctx) return plat::Fail(plat::kErrInvalidHandle), 0;
  if (!request || length > INT32_MAX) {
    Dbg_Log("no request\r\n");
    return plat::Fail(plat::kErrInvalidParameter), 0;
  }
  if (strlen(ws->endpoint) >= kUrlCrackMaxLength) return plat::Fail(plat::kErrInvalidParameter), 0;
  soap* s = ws->ctx;
  SendRequest param{};
  param.Host = const_cast<char*>(".");
  param.Request.__ptr = static_cast<unsigned char*>(const_cast<void*>(request));
  param.Request.__size = static_cast<int>(length);
  param.ResultSize = static_cast<int>(announced > INT32_MAX ? INT32_MAX : announced);
  xsd__base64Binary result{};
  ws->lastInetError = 0;
  t_certError = 0;
  int rc;
  const Clock::time_point started = Clock::now();
  {
    SigpipeGuard guard;
    rc = soap_call_ns__SendRequest(s, ws->endpoint, "", &param, &result);
  }
  int ok = 0;
  if (rc == SOAP_OK) {
    const uint32_t size = result.__size > 0 ? static_cast<uint32_t>(result.__size) : 0;
    if (size > capacity) {
      char line[160];
      snprintf(line, sizeof line, ">>web reply of %u bytes refused: the buffer holds %u\r\n", size, capacity);
      Dbg_Log(line);
      ws->lastInetError = static_cast<int32_t>(plat::kErrMoreData);
      plat::Fail(plat::kErrMoreData);
      // The exchange is complete; the connection stays in step.
    } else {
      if (size) memcpy(reply, result.__ptr, size);
      *replyLength = size;
      plat::SetLastError(0);
      ok = 1;
    }
  } else {
    const bool late = Clock::now() - started >= std::chrono::milliseconds(ws->ioTimeoutMs) - std::chrono::milliseconds(50);
    const uint32_t code = CallError(s, late);
    if (ws->onError)
      Web_OnError(ws, code);
    else
      ws->lastInetError = static_cast<int32_t>(code);
    if (ws->lastInetError == 0) ws->lastInetError = s->error;
    TraceFault(s);
    plat::Fail(static_cast<uint32_t>(ws->lastInetError));
  }
  soap_destroy(s);
  soap_end(s);
  return ok;
}

void Web_CloseSession(WebSession* ws) {
  if (!ws) return;
  if (ws->ctx) {
    soap_destroy(ws->ctx);
    soap_end(ws->ctx);
    soap_free(ws->ctx);
  }
  delete ws;
}

const char* Web_SessionEndpoint(const WebSession* ws) { return ws ? ws->endpoint : ""; }

void Web_EnableErrorCallback() { g_errorCallback = true; }

int Web_OnError(void* requestHandle, uint32_t code) {
  // The session is the call's own: no table lock is needed (the caller
  // already holds its entry's lock).
  if (auto* ws = static_cast<WebSession*>(requestHandle)) ws->lastInetError = static_cast<int32_t>(code);
  return 0;
}
