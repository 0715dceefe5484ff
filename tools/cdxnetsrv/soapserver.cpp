#include "tools/cdxnetsrv/soapserver.h"

#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <strings.h>

#include <cstring>
#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "cdxwsH.h"

namespace cdxnet {

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The library's header parser, wrapped to see how the request body came.
int (*g_parseHeader)(struct soap*, const char*, const char*) = nullptr;
thread_local bool t_gzipBody = false;

int ParseHeader(struct soap* soap, const char* key, const char* value) {
  if (key && value && strcasecmp(key, "Content-Encoding") == 0 && strstr(value, "gzip")) t_gzipBody = true;
  return g_parseHeader(soap, key, value);
}

}  // namespace

bool TakeGzipSeen() {
  bool seen = t_gzipBody;
  t_gzipBody = false;
  return seen;
}

SoapTestServer::SoapTestServer(SoapScript script, const CertPair* tls) : script_(std::move(script)), tls_(tls) {
  soap* m = soap_new2(SOAP_IO_KEEPALIVE, SOAP_IO_KEEPALIVE);
  master_ = m;
  m->user = this;
  if (!g_parseHeader) g_parseHeader = m->fparsehdr;
  m->fparsehdr = ParseHeader;
  m->socket_flags = MSG_NOSIGNAL;
  m->bind_flags = SO_REUSEADDR;
  m->accept_timeout = -100000;  // 100 ms, to see the stop flag
  m->recv_timeout = 10;
  m->send_timeout = 10;
  if (tls) {
    // The library wants the key and the certificate in one file.
    const std::string both = tls->key + ".both.pem";
    std::ofstream(both) << ReadFile(tls->key) << ReadFile(tls->cert);
    if (soap_ssl_server_context(m, SOAP_SSL_NO_AUTHENTICATION, both.c_str(), nullptr, nullptr, nullptr, nullptr,
                                nullptr, nullptr) != SOAP_OK)
      throw std::runtime_error("SOAP server: TLS context");
  }
  if (!soap_valid_socket(soap_bind(m, "127.0.0.2", 0, 8))) throw std::runtime_error("SOAP server: cannot bind");
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  getsockname(m->master, reinterpret_cast<sockaddr*>(&sa), &len);
  port_ = ntohs(sa.sin_port);
  thread_ = std::thread([this] { Run(); });
}

SoapTestServer::~SoapTestServer() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
  }
  stopped_.notify_all();
  int fd = current_.load();
  if (fd >= 0) shutdown(fd, SHUT_RDWR);
  thread_.join();
  soap* m = static_cast<soap*>(master_);
  soap_destroy(m);
  soap_end(m);
  soap_free(m);
}

std::string SoapTestServer::Url(const std::string& rest) const {
  return std::string(tls_ ? "https" : "http") + "://127.0.0.2:" + std::to_string(port_) + rest;
}

std::vector<SoapCall> SoapTestServer::Calls() const {
  std::lock_guard<std::mutex> lock(mu_);
  return calls_;
}

SoapAction SoapTestServer::Handle(const SoapCall& call) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    calls_.push_back(call);
  }
  return script_(call);
}

void SoapTestServer::WaitStopped(int fd) {
  // Until the client hangs up (input or end of input on the socket) or the
  // server stops.
  std::unique_lock<std::mutex> lock(mu_);
  while (!stop_) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 0) > 0) return;
    stopped_.wait_for(lock, std::chrono::milliseconds(20));
  }
}

void SoapTestServer::Run() {
  soap* m = static_cast<soap*>(master_);
  while (!stop_) {
    if (!soap_valid_socket(soap_accept(m))) continue;
    ++accepts_;
    soap* c = soap_copy(m);
    if (!c) continue;
    m->socket = SOAP_INVALID_SOCKET;  // the copy owns it
    current_ = c->socket;
    if (stop_) shutdown(c->socket, SHUT_RDWR);
    if (!tls_ || soap_ssl_accept(c) == SOAP_OK) soap_serve(c);
    current_ = -1;
    soap_destroy(c);
    soap_end(c);
    soap_free(c);
  }
}

}  // namespace cdxnet

// The service operation, called by the generated dispatcher.
int ns__SendRequest(struct soap* soap, struct SendRequest* request, struct xsd__base64Binary* result) {
  auto* server = static_cast<cdxnet::SoapTestServer*>(soap->user);
  cdxnet::SoapCall call;
  if (request) {
    call.host = request->Host ? request->Host : "";
    if (request->Request.__ptr && request->Request.__size > 0)
      call.request.assign(reinterpret_cast<const char*>(request->Request.__ptr), request->Request.__size);
    call.resultSize = request->ResultSize;
  }
  call.gzipBody = cdxnet::TakeGzipSeen();
  call.path = soap->path;
  call.user = soap->userid ? soap->userid : "";
  call.password = soap->passwd ? soap->passwd : "";
  cdxnet::SoapAction action = server->Handle(call);
  switch (action.kind) {
    case cdxnet::SoapAction::kReply: {
      auto* p = static_cast<unsigned char*>(soap_malloc(soap, action.bytes.size() + 1));
      memcpy(p, action.bytes.data(), action.bytes.size());
      result->__ptr = p;
      result->__size = static_cast<int>(action.bytes.size());
      if (action.compress) soap_set_omode(soap, SOAP_ENC_ZLIB);
      return SOAP_OK;
    }
    case cdxnet::SoapAction::kFault:
      return soap_receiver_fault(soap, action.bytes.c_str(), "<why>scripted</why>");
    case cdxnet::SoapAction::kHttpStatus:
      soap->keep_alive = 0;
      return soap_send_empty_response(soap, action.status);
    case cdxnet::SoapAction::kRaw:
      if (soap->ssl)
        SSL_write(soap->ssl, action.bytes.data(), static_cast<int>(action.bytes.size()));
      else
        (void)!send(soap->socket, action.bytes.data(), action.bytes.size(), MSG_NOSIGNAL);
      soap->keep_alive = 0;
      shutdown(soap->socket, SHUT_RDWR);
      return SOAP_STOP;
    case cdxnet::SoapAction::kStall:
      server->WaitStopped(soap->socket);
      soap->keep_alive = 0;
      return SOAP_STOP;
    case cdxnet::SoapAction::kClose:
      soap->keep_alive = 0;
      shutdown(soap->socket, SHUT_RDWR);
      return SOAP_STOP;
  }
  return SOAP_OK;
}
