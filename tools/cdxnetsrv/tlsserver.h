// A scriptable TLS server that speaks the command client's socket framing:
// it reads one request per TLS read and answers as the script says (a
// reply framed with its u32 little-endian length, raw bytes, a stall, a cut
// connection). It listens on 127.0.0.2 at a port of the system's choice and
// serves one connection at a time on a thread of its own.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace cdxnet {

struct ServerAction {
  enum Kind {
    kReply,  // bytes framed with their length
    kRaw,    // bytes as they are
    kStall,  // nothing, until the client goes away or the server stops
    kClose,  // the connection is closed at once
  };
  Kind kind = kReply;
  std::string bytes;
  // kReply and kRaw: close the connection after this many bytes of the
  // framed or raw output.
  size_t cutAfter = static_cast<size_t>(-1);
  // kReply and kRaw: bytes sent after the output in a write (a TLS record)
  // of their own, as a server out of step would.
  std::string after;

  static ServerAction Reply(std::string b) { return {kReply, std::move(b), static_cast<size_t>(-1), {}}; }
  static ServerAction Raw(std::string b) { return {kRaw, std::move(b), static_cast<size_t>(-1), {}}; }
  static ServerAction Stall() { return {kStall, {}, static_cast<size_t>(-1), {}}; }
  static ServerAction Close() { return {kClose, {}, static_cast<size_t>(-1), {}}; }
};

using ServerScript = std::function<ServerAction(const std::string& request)>;

// Frames a reply: its length as u32 little-endian, then the bytes.
std::string FrameReply(const std::string& bytes);

class TlsTestServer {
 public:
  // plain: no TLS at all (the script's bytes go out on the bare socket, for
  // a peer that talks garbage). Throws std::runtime_error.
  TlsTestServer(const std::string& certFile, const std::string& keyFile, ServerScript script, bool plain = false,
                const char* address = "127.0.0.2");
  ~TlsTestServer();
  TlsTestServer(const TlsTestServer&) = delete;
  TlsTestServer& operator=(const TlsTestServer&) = delete;

  uint16_t Port() const { return port_; }
  // "scheme://127.0.0.2:port"
  std::string Url(const char* scheme = "cdx") const;
  std::vector<std::string> Requests() const;
  int Accepts() const { return accepts_; }
  // A request longer than one TLS record arrives in several reads: with a
  // rule that tells a whole request (the bytes so far), reads go on until
  // it holds. Without one, each read is one request. Set before the first
  // connection.
  void SetRequestComplete(std::function<bool(const std::string&)> complete) {
    std::lock_guard<std::mutex> lock(mu_);
    complete_ = std::move(complete);
  }
  int Handshakes() const { return handshakes_; }

 private:
  void Run();
  void Serve(int fd);
  bool WaitReadable(int fd);

  ServerScript script_;
  std::function<bool(const std::string&)> complete_;
  bool plain_;
  void* ctx_ = nullptr;  // SSL_CTX
  int listen_ = -1;
  int stop_ = -1;  // eventfd
  uint16_t port_ = 0;
  std::atomic<int> accepts_{0};
  std::atomic<int> handshakes_{0};
  mutable std::mutex mu_;
  std::vector<std::string> requests_;
  std::thread thread_;
};

}  // namespace cdxnet
