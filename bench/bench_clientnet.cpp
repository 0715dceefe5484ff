// Round trips of a small request over the command client's network
// transports against their test servers on 127.0.0.2, each over a kept
// connection: a raw TCP round trip (the reference), a TLS socket exchange
// (on the caller's thread) and a web-service call; and the same request
// through the connection table (Srv_SendRequest) over the pipe against the
// fake central server, over TLS and over the web service. Counters:
// requests per second and the 99th percentile latency in microseconds.
// Side by side in one run, rounds of each in turn (ns per round trip and the
// ratio project / anchor): TLS against raw TCP with both ends of both pinned
// to one CPU (BM_TlsAgainstRawTcpPinned), and the pipe road through the
// connection table against a raw SEQPACKET round trip between two threads
// (BM_PipeAgainstSeqpacket).
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_anchor.h"
#include "bench/bench_tempdir.h"
#include "cdxlib/client/nettransport.h"
#include "cdxlib/client/srvclient.h"
#include "cdxlib/client/tlssock.h"
#include "cdxlib/client/websvc.h"
#include "tools/cdxnetsrv/soapserver.h"
#include "tools/cdxnetsrv/testpki.h"
#include "tools/fakesrv/fakesrv.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::string kRequest("QP,\0", 4);

const cdxnet::TestPki& Pki() {
  static const cdxnet::TestPki pki = [] {
    const std::string dir =
        RemoveAtExit(std::filesystem::temp_directory_path() / ("cdxbench-" + std::to_string(getpid())));
    std::filesystem::create_directories(dir);
    // The pipe and the registry live under the instance root.
    setenv("CDXPLAT_ROOT", dir.c_str(), 0);
    cdxnet::TestPki made = cdxnet::MakeTestPki(dir);
    setenv("SSL_CERT_FILE", made.caCert.c_str(), 1);
    return made;
  }();
  return pki;
}

void Report(benchmark::State& state, std::vector<double>& micros) {
  if (micros.empty()) return;
  std::sort(micros.begin(), micros.end());
  state.counters["p99_us"] = micros[micros.size() * 99 / 100];
  state.counters["req_per_s"] = benchmark::Counter(static_cast<double>(micros.size()), benchmark::Counter::kIsRate);
}

// A listening socket on 127.0.0.2 at a port of the system's choice.
int Listen(sockaddr_in* sa) {
  int lfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  *sa = sockaddr_in{};
  sa->sin_family = AF_INET;
  inet_pton(AF_INET, "127.0.0.2", &sa->sin_addr);
  socklen_t len = sizeof *sa;
  bind(lfd, reinterpret_cast<sockaddr*>(sa), sizeof *sa);
  listen(lfd, 1);
  getsockname(lfd, reinterpret_cast<sockaddr*>(sa), &len);
  return lfd;
}

int AcceptNoDelay(int lfd) {
  int c = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
  int one = 1;
  setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return c;
}

// Binds the calling thread to one CPU; the mask it had before.
cpu_set_t PinThisThread(int cpu) {
  cpu_set_t before, only;
  CPU_ZERO(&before);
  sched_getaffinity(0, sizeof before, &before);
  CPU_ZERO(&only);
  CPU_SET(cpu, &only);
  sched_setaffinity(0, sizeof only, &only);
  return before;
}

// A raw TCP echo on 127.0.0.2 on a thread of its own: accept one client,
// send back what it sends until it goes.
class RawTcpEcho {
 public:
  explicit RawTcpEcho(int cpu = -1) {
    lfd_ = Listen(&sa_);
    thread_ = std::thread([this, cpu] {
      if (cpu >= 0) PinThisThread(cpu);
      int c = AcceptNoDelay(lfd_);
      if (c < 0) return;
      char buf[64];
      ssize_t n;
      while ((n = recv(c, buf, sizeof buf, 0)) > 0) send(c, buf, static_cast<size_t>(n), MSG_NOSIGNAL);
      close(c);
    });
  }
  ~RawTcpEcho() {
    shutdown(lfd_, SHUT_RDWR);
    thread_.join();
    close(lfd_);
  }
  // A connected client socket (TCP_NODELAY), or -1.
  int Connect() const {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&sa_), sizeof sa_) != 0) {
      close(fd);
      return -1;
    }
    return fd;
  }

 private:
  sockaddr_in sa_{};
  int lfd_ = -1;
  std::thread thread_;
};

// One request out and its echo back in full; false when the peer went.
bool RawRoundTrip(int fd) {
  if (send(fd, kRequest.data(), kRequest.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(kRequest.size())) return false;
  char buf[64];
  size_t got = 0;
  while (got < kRequest.size()) {
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

void BM_RawTcpRoundTrip(benchmark::State& state) {
  sockaddr_in sa;
  int lfd = Listen(&sa);
  std::thread echo([lfd] {
    int c = AcceptNoDelay(lfd);
    char buf[64];
    ssize_t n;
    while ((n = recv(c, buf, sizeof buf, 0)) > 0) send(c, buf, static_cast<size_t>(n), MSG_NOSIGNAL);
    close(c);
  });
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  std::vector<double> micros;
  for (auto _ : state) {
    auto t0 = Clock::now();
    send(fd, kRequest.data(), kRequest.size(), MSG_NOSIGNAL);
    char buf[64];
    size_t got = 0;
    while (got < kRequest.size()) got += static_cast<size_t>(recv(fd, buf, sizeof buf, 0));
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  close(fd);
  echo.join();
  close(lfd);
  Report(state, micros);
}
BENCHMARK(BM_RawTcpRoundTrip)->UseRealTime();

// The TLS counterpart of the raw echo above, the same loop shape: one
// connection, a blocking read of a request, the framed reply in one write,
// until the client goes away. Nothing is recorded, so that the figure shows
// the transport and not the test server's bookkeeping.
class TlsEchoServer {
 public:
  // cpu >= 0: the serving thread runs on that CPU only.
  explicit TlsEchoServer(int cpu = -1) : cpu_(cpu) {
    ctx_ = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate_chain_file(ctx_, Pki().server.cert.c_str());
    SSL_CTX_use_PrivateKey_file(ctx_, Pki().server.key.c_str(), SSL_FILETYPE_PEM);
    lfd_ = Listen(&sa_);
    thread_ = std::thread([this] { Serve(); });
  }
  ~TlsEchoServer() {
    // Wakes an accept that never got its client.
    shutdown(lfd_, SHUT_RDWR);
    thread_.join();
    close(lfd_);
    SSL_CTX_free(ctx_);
  }
  std::string Url() const { return "cdx://127.0.0.2:" + std::to_string(ntohs(sa_.sin_port)); }

 private:
  void Serve() {
    if (cpu_ >= 0) PinThisThread(cpu_);
    int c = AcceptNoDelay(lfd_);
    if (c < 0) return;
    SSL* ssl = SSL_new(ctx_);
    BIO* bio = Sock_NewBio(c);
    SSL_set_bio(ssl, bio, bio);
    SSL_set_read_ahead(ssl, 1);
    const std::string reply = std::string("\5\0\0\0" "1,ok\0", 9);
    if (SSL_accept(ssl) == 1) {
      char buf[64];
      while (SSL_read(ssl, buf, sizeof buf) > 0)
        if (SSL_write(ssl, reply.data(), static_cast<int>(reply.size())) <= 0) break;
    }
    SSL_set_quiet_shutdown(ssl, 1);
    SSL_free(ssl);
    close(c);
  }

  int cpu_ = -1;
  SSL_CTX* ctx_ = nullptr;
  sockaddr_in sa_{};
  int lfd_ = -1;
  std::thread thread_;
};

void BM_TlsExchange(benchmark::State& state) {
  TlsEchoServer server;
  SockSession* s = Sock_Connect(server.Url().c_str(), 5000);
  if (!s) {
    state.SkipWithError("no TLS connection");
    return;
  }
  std::vector<double> micros;
  for (auto _ : state) {
    auto t0 = Clock::now();
    char reply[64];
    uint32_t len = sizeof reply;
    if (!Sock_SessionTransact(s, kRequest.data(), static_cast<uint32_t>(kRequest.size()), reply, &len, 5000)) {
      state.SkipWithError("exchange failed");
      break;
    }
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  Sock_CloseSession(s);
  Report(state, micros);
}
BENCHMARK(BM_TlsExchange)->UseRealTime();

void BM_SoapCall(benchmark::State& state) {
  cdxnet::SoapTestServer server(
      [](const cdxnet::SoapCall&) { return cdxnet::SoapAction::Reply(std::string("1,ok\0", 5)); });
  WebSession* ws = Web_OpenSession(server.Url().c_str(), 5000);
  std::vector<double> micros;
  for (auto _ : state) {
    auto t0 = Clock::now();
    char reply[64];
    uint32_t len = sizeof reply;
    if (!ws || !Web_SessionTransact(ws, kRequest.data(), static_cast<uint32_t>(kRequest.size()), reply, &len)) {
      state.SkipWithError("call failed");
      break;
    }
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  Web_CloseSession(ws);
  Report(state, micros);
}
BENCHMARK(BM_SoapCall)->UseRealTime();

// TLS against raw TCP, rounds of 100 exchanges of each in turn, with this
// thread and both servers' threads on one CPU (the one this thread was on):
// the figure is then the transports' work, not where the scheduler put the
// two ends.
void BM_TlsAgainstRawTcpPinned(benchmark::State& state) {
  const int cpu = sched_getcpu();
  const cpu_set_t before = PinThisThread(cpu);
  {
    TlsEchoServer tls(cpu);
    RawTcpEcho raw(cpu);
    SockSession* s = Sock_Connect(tls.Url().c_str(), 5000);
    const int fd = raw.Connect();
    bool failed = !s || fd < 0;
    if (failed) state.SkipWithError("no connection");
    auto fail = [&](const char* why) {
      if (!failed) state.SkipWithError(why);
      failed = true;
    };
    const std::vector<qdbench::Road> roads = {
        {"tls", [&](int n) {
           char reply[64];
           for (int i = 0; i < n && !failed; ++i) {
             uint32_t len = sizeof reply;
             if (!Sock_SessionTransact(s, kRequest.data(), static_cast<uint32_t>(kRequest.size()), reply, &len, 5000))
               fail("TLS exchange failed");
           }
         }},
        {"raw_tcp", [&](int n) {
           for (int i = 0; i < n && !failed; ++i)
             if (!RawRoundTrip(fd)) fail("raw round trip failed");
         }},
    };
    if (!failed) qdbench::RunInterleaved(state, roads, 100);
    state.counters["cpu"] = cpu;
    if (fd >= 0) close(fd);
    if (s) Sock_CloseSession(s);
  }
  sched_setaffinity(0, sizeof before, &before);
}
BENCHMARK(BM_TlsAgainstRawTcpPinned)->UseRealTime()->MinTime(2.0);

void PipeAgainstSeqpacket(benchmark::State& state);

// A request through the connection table over the pipe to the fake central
// server, against the bare transport under it: one SEQPACKET datagram to an
// answering thread and its reply of the same size back. Rounds of 100 of
// each in turn. Argument 1: this thread pinned to one CPU before the
// servers start, so that their threads (which inherit the mask) and the
// answering thread share it; 0: where the scheduler puts them (then a
// round trip mostly waits for idle CPUs to wake).
void BM_PipeAgainstSeqpacket(benchmark::State& state) {
  const bool pinned = state.range(0) != 0;
  cpu_set_t before;
  CPU_ZERO(&before);
  sched_getaffinity(0, sizeof before, &before);
  if (pinned) {
    PinThisThread(sched_getcpu());
    state.counters["cpu"] = sched_getcpu();
  }
  PipeAgainstSeqpacket(state);
  sched_setaffinity(0, sizeof before, &before);
}

void PipeAgainstSeqpacket(benchmark::State& state) {
  Pki();
  fakesrv::Engine engine;
  engine.script().On("QP,", fakesrv::Text("1,ok"));
  fakesrv::PipeServer pipe(&engine);
  if (pipe.Start(".") != 0) return state.SkipWithError("no pipe server");
  int sp[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sp) != 0) {
    pipe.Stop();
    return state.SkipWithError("no SEQPACKET pair");
  }
  std::thread answer([fd = sp[1]] {
    const std::string reply = std::string("\5\0\0\0" "1,ok\0", 9);
    char buf[256];
    while (recv(fd, buf, sizeof buf, 0) > 0)
      if (send(fd, reply.data(), reply.size(), MSG_NOSIGNAL) < 0) break;
  });
  bool failed = false;
  auto fail = [&](const char* why) {
    if (!failed) state.SkipWithError(why);
    failed = true;
  };
  size_t served = 0;
  const std::vector<qdbench::Road> roads = {
      {"pipe", [&](int n) {
         char reply[64];
         for (int i = 0; i < n && !failed; ++i) {
           uint32_t len = sizeof reply;
           if (Srv_SendRequest(".", "QP,", reply, &len) != 1) fail("request failed");
         }
         // The fake server records every request: its log is emptied now
         // and then (a few microseconds per 4096 requests).
         served += size_t(n);
         if (served >= 4096) engine.ClearRequests(), served = 0;
       }},
      {"seqpacket", [&](int n) {
         char reply[64];
         for (int i = 0; i < n && !failed; ++i)
           if (send(sp[0], kRequest.data(), kRequest.size(), MSG_NOSIGNAL) < 0 || recv(sp[0], reply, sizeof reply, 0) <= 0)
             fail("SEQPACKET round trip failed");
       }},
  };
  // The first request opens the table's connection.
  {
    char reply[64];
    uint32_t len = sizeof reply;
    if (Srv_SendRequest(".", "QP,", reply, &len) != 1) fail("no pipe connection");
  }
  if (!failed) qdbench::RunInterleaved(state, roads, 100);
  shutdown(sp[0], SHUT_RDWR);
  answer.join();
  close(sp[0]);
  close(sp[1]);
  Srv_CloseAll();
  pipe.Stop();
}
BENCHMARK(BM_PipeAgainstSeqpacket)->ArgName("pinned")->Arg(0)->Arg(1)->UseRealTime()->MinTime(2.0);

// A small request through the connection table: one kept connection.
void TableLoop(benchmark::State& state, const char* server, fakesrv::Engine* engine = nullptr) {
  std::vector<double> micros;
  char reply[64];
  size_t n = 0;
  for (auto _ : state) {
    auto t0 = Clock::now();
    uint32_t len = sizeof reply;
    if (Srv_SendRequest(server, "QP,", reply, &len) != 1) {
      state.SkipWithError("request failed");
      break;
    }
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    if (engine && ++n % 4096 == 0) {
      state.PauseTiming();
      engine->ClearRequests();
      state.ResumeTiming();
    }
  }
  Report(state, micros);
}

void BM_TablePipeRequest(benchmark::State& state) {
  Pki();
  fakesrv::Engine engine;
  engine.script().On("QP,", fakesrv::Text("1,ok"));
  fakesrv::PipeServer pipe(&engine);
  if (pipe.Start(".") != 0) {
    state.SkipWithError("no pipe server");
    return;
  }
  TableLoop(state, ".", &engine);
  Srv_CloseAll();
  pipe.Stop();
}
BENCHMARK(BM_TablePipeRequest)->UseRealTime();

void BM_TableTlsRequest(benchmark::State& state) {
  Srv_InstallNetTransports();
  TlsEchoServer server;
  const std::string url = server.Url();
  TableLoop(state, url.c_str());
  Srv_CloseAll();
}
BENCHMARK(BM_TableTlsRequest)->UseRealTime();

void BM_TableSoapRequest(benchmark::State& state) {
  Srv_InstallNetTransports();
  Pki();
  cdxnet::SoapTestServer server(
      [](const cdxnet::SoapCall&) { return cdxnet::SoapAction::Reply(std::string("1,ok\0", 5)); });
  const std::string url = server.Url("/");
  TableLoop(state, url.c_str());
  Srv_CloseAll();
}
BENCHMARK(BM_TableSoapRequest)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
