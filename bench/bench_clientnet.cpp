// Round trips of a small request over the command client's network
// transports against their test servers on 127.0.0.2, each over a kept
// connection: a raw TCP round trip (the reference), a TLS socket exchange
// (on the caller's thread) and a web-service call; and the same request
// through the connection table (Srv_SendRequest) over the pipe against the
// fake central server, over TLS and over the web service. Counters:
// requests per second and the 99th percentile latency in microseconds.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_tempdir.h"
#include "cdxlib/client/nettransport.h"
#include "cdxlib/client/srvclient.h"
#include "cdxlib/client/tlssock.h"
#include "cdxlib/client/websvc.h"
#include "tools/cdxnetsrv/soapserver.h"
#include "tools/cdxnetsrv/testpki.h"
#include "tools/cdxnetsrv/tlsserver.h"
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

void BM_RawTcpRoundTrip(benchmark::State& state) {
  int lfd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  inet_pton(AF_INET, "127.0.0.2", &sa.sin_addr);
  socklen_t len = sizeof sa;
  bind(lfd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  listen(lfd, 1);
  getsockname(lfd, reinterpret_cast<sockaddr*>(&sa), &len);
  std::thread echo([lfd] {
    int c = accept(lfd, nullptr, nullptr);
    int one = 1;
    setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
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

void BM_TlsExchange(benchmark::State& state) {
  cdxnet::TlsTestServer server(Pki().server.cert, Pki().server.key,
                               [](const std::string&) { return cdxnet::ServerAction::Reply(std::string("1,ok\0", 5)); });
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
  cdxnet::TlsTestServer server(Pki().server.cert, Pki().server.key,
                               [](const std::string&) { return cdxnet::ServerAction::Reply(std::string("1,ok\0", 5)); });
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
