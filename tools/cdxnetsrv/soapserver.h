// A scriptable server of the web service "WebServ": it answers each
// SendRequest as the script says (a result, a SOAP fault, a bare HTTP
// status, raw bytes, a stall, a cut connection) and records what it saw
// (host, request bytes, ResultSize, whether the body came compressed, the
// request path, HTTP credentials). http or https (with a certificate) on
// 127.0.0.2, one connection at a time, HTTP keep-alive honoured.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/cdxnetsrv/testpki.h"

namespace cdxnet {

struct SoapAction {
  enum Kind { kReply, kFault, kHttpStatus, kRaw, kStall, kClose };
  Kind kind = kReply;
  std::string bytes;  // kReply: the result; kFault: the fault string; kRaw: sent as is
  int status = 0;     // kHttpStatus
  bool compress = false;  // kReply: a compressed response body

  static SoapAction Reply(std::string b) { return {kReply, std::move(b)}; }
  static SoapAction Fault(std::string text) { return {kFault, std::move(text)}; }
  static SoapAction Status(int s) { return {kHttpStatus, {}, s}; }
  static SoapAction Raw(std::string b) { return {kRaw, std::move(b)}; }
  static SoapAction Stall() { return {kStall, {}}; }
  static SoapAction Close() { return {kClose, {}}; }
};

struct SoapCall {
  std::string host;
  std::string request;
  int resultSize = 0;
  bool gzipBody = false;
  std::string path;
  std::string user;
  std::string password;
};

// Whether the request whose headers this thread parsed last came with a
// gzip body (cleared by the call).
bool TakeGzipSeen();

using SoapScript = std::function<SoapAction(const SoapCall& call)>;

class SoapTestServer {
 public:
  // tls null: plain http. Throws std::runtime_error.
  explicit SoapTestServer(SoapScript script, const CertPair* tls = nullptr);
  ~SoapTestServer();
  SoapTestServer(const SoapTestServer&) = delete;
  SoapTestServer& operator=(const SoapTestServer&) = delete;

  uint16_t Port() const { return port_; }
  // "http[s]://127.0.0.2:port" followed by rest.
  std::string Url(const std::string& rest = "") const;
  std::vector<SoapCall> Calls() const;
  int Accepts() const { return accepts_; }

  // For the service function.
  SoapAction Handle(const SoapCall& call);
  void WaitStopped(int fd);

 private:
  void Run();

  SoapScript script_;
  bool tls_;
  void* master_ = nullptr;  // struct soap
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> current_{-1};
  std::atomic<int> accepts_{0};
  mutable std::mutex mu_;
  std::condition_variable stopped_;
  std::vector<SoapCall> calls_;
  std::thread thread_;
};

}  // namespace cdxnet
