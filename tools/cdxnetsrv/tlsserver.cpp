#include "tools/cdxnetsrv/tlsserver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "cdxlib/client/tlssock.h"

namespace cdxnet {

std::string FrameReply(const std::string& bytes) {
  const uint32_t n = static_cast<uint32_t>(bytes.size());
  std::string out;
  out.push_back(static_cast<char>(n & 0xFF));
  out.push_back(static_cast<char>(n >> 8 & 0xFF));
  out.push_back(static_cast<char>(n >> 16 & 0xFF));
  out.push_back(static_cast<char>(n >> 24 & 0xFF));
  return out + bytes;
}

TlsTestServer::TlsTestServer(const std::string& certFile, const std::string& keyFile, ServerScript script, bool plain,
                             const char* address)
    : script_(std::move(script)), plain_(plain) {
  if (!plain_) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (!ctx || SSL_CTX_use_certificate_chain_file(ctx, certFile.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx, keyFile.c_str(), SSL_FILETYPE_PEM) != 1)
      throw std::runtime_error("TLS server: cannot load " + certFile);
    ctx_ = ctx;
  }
  listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  inet_pton(AF_INET, address, &sa.sin_addr);
  socklen_t len = sizeof sa;
  if (listen_ < 0 || bind(listen_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(listen_, 8) != 0 ||
      getsockname(listen_, reinterpret_cast<sockaddr*>(&sa), &len) != 0)
    throw std::runtime_error("TLS server: cannot listen");
  port_ = ntohs(sa.sin_port);
  stop_ = eventfd(0, EFD_CLOEXEC);
  thread_ = std::thread([this] { Run(); });
}

TlsTestServer::~TlsTestServer() {
  uint64_t one = 1;
  (void)!write(stop_, &one, sizeof one);
  thread_.join();
  close(listen_);
  close(stop_);
  if (ctx_) SSL_CTX_free(static_cast<SSL_CTX*>(ctx_));
}

std::string TlsTestServer::Url(const char* scheme) const {
  return std::string(scheme) + "://127.0.0.2:" + std::to_string(port_);
}

std::vector<std::string> TlsTestServer::Requests() const {
  std::lock_guard<std::mutex> lock(mu_);
  return requests_;
}

// Waits until fd has input (or EOF): false when the server is stopping.
bool TlsTestServer::WaitReadable(int fd) {
  pollfd p[2] = {{fd, POLLIN, 0}, {stop_, POLLIN, 0}};
  for (;;) {
    int r = poll(p, 2, -1);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 || (p[1].revents & POLLIN)) return false;
    if (p[0].revents) return true;
  }
}

void TlsTestServer::Run() {
  for (;;) {
    if (!WaitReadable(listen_)) return;
    int fd = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    const int noDelay = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
    ++accepts_;
    Serve(fd);
    close(fd);
  }
}

void TlsTestServer::Serve(int fd) {
  SSL* ssl = nullptr;
  if (!plain_) {
    ssl = SSL_new(static_cast<SSL_CTX*>(ctx_));
    BIO* bio = Sock_NewBio(fd);
    SSL_set_bio(ssl, bio, bio);
    if (!WaitReadable(fd) || SSL_accept(ssl) != 1) {
      ERR_clear_error();
      SSL_free(ssl);
      return;
    }
    ++handshakes_;
  }
  auto send = [&](const std::string& bytes) {
    if (bytes.empty()) return true;
    if (ssl) return SSL_write(ssl, bytes.data(), static_cast<int>(bytes.size())) > 0;
    return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  };
  std::function<bool(const std::string&)> complete;
  {
    std::lock_guard<std::mutex> lock(mu_);
    complete = complete_;
  }
  for (;;) {
    if (!WaitReadable(fd)) break;
    char buf[65536];
    int n = ssl ? SSL_read(ssl, buf, sizeof buf) : static_cast<int>(recv(fd, buf, sizeof buf, 0));
    if (n <= 0) break;
    std::string request(buf, static_cast<size_t>(n));
    while (complete && !complete(request)) {
      if (!(ssl && SSL_pending(ssl) > 0) && !WaitReadable(fd)) break;
      n = ssl ? SSL_read(ssl, buf, sizeof buf) : static_cast<int>(recv(fd, buf, sizeof buf, 0));
      if (n <= 0) break;
      request.append(buf, static_cast<size_t>(n));
    }
    if (n <= 0) break;
    {
      std::lock_guard<std::mutex> lock(mu_);
      requests_.push_back(request);
    }
    ServerAction action = script_(request);
    if (action.kind == ServerAction::kClose) break;
    if (action.kind == ServerAction::kStall) {
      // Until the client gives up (EOF or reset) or the server stops.
      while (WaitReadable(fd)) {
        char drop[4096];
        int m = ssl ? SSL_read(ssl, drop, sizeof drop) : static_cast<int>(recv(fd, drop, sizeof drop, 0));
        if (m <= 0) break;
      }
      break;
    }
    std::string out = action.kind == ServerAction::kReply ? FrameReply(action.bytes) : action.bytes;
    if (action.cutAfter < out.size()) {
      send(out.substr(0, action.cutAfter));
      break;
    }
    // The records leave together (corked), so a client sees the bytes
    // after the reply as soon as it has the reply.
    const int cork = action.after.empty() ? 0 : 1;
    if (cork) setsockopt(fd, IPPROTO_TCP, TCP_CORK, &cork, sizeof cork);
    const bool sent = send(out) && send(action.after);
    if (cork) {
      const int uncork = 0;
      setsockopt(fd, IPPROTO_TCP, TCP_CORK, &uncork, sizeof uncork);
    }
    if (!sent) break;
  }
  if (ssl) {
    ERR_clear_error();
    SSL_set_quiet_shutdown(ssl, 1);
    SSL_free(ssl);
  }
}

}  // namespace cdxnet
