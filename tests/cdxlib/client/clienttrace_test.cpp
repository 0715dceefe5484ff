// What the command client writes for a developer: the debug trace lines of
// failed transactions and of the socket open, the debugger output of the
// pipe open, the server certificate on standard output and the web
// service's fault text. The trace is switched on and its lines (and the
// debugger output) are captured through the debugger-output hook.
#include "cdxlib/client/srvclient.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cdxlib/client/nettransport.h"
#include "cdxlib/sys/debugtrace.h"
#include "platform/debugout.h"
#include "platform/error.h"
#include "platform/registry.h"
#include "tools/cdxnetsrv/soapserver.h"
#include "tools/cdxnetsrv/testpki.h"
#include "tools/cdxnetsrv/tlsserver.h"
#include "tools/fakesrv/fakesrv.h"

namespace {

std::mutex g_mu;
std::vector<std::string> g_out;

void Capture(const char* text) {
  std::lock_guard<std::mutex> lock(g_mu);
  g_out.push_back(text);
}

std::vector<std::string> Take() {
  std::lock_guard<std::mutex> lock(g_mu);
  return std::exchange(g_out, {});
}

// The trace's lines come prefixed with the module name.
std::string Traced(const std::string& line) { return "ct : " + line; }

size_t Count(const std::vector<std::string>& out, const std::string& text) {
  size_t n = 0;
  for (const std::string& s : out) n += s == text ? 1 : 0;
  return n;
}

std::string Joined(const std::vector<std::string>& out) {
  std::string all;
  for (const std::string& s : out) all += s;
  return all;
}

class ClientTrace : public ::testing::Test {
 protected:
  void SetUp() override {
    plat::HKEY k = nullptr;
    ASSERT_EQ(plat::RegCreateKeyEx(plat::HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillomatic\\Coordinatrix", 0,
                                   plat::KEY_ALL_ACCESS, &k, nullptr), 0u);
    ASSERT_EQ(plat::RegSetValueEx(k, "ct_Debug", plat::REG_SZ, "ON", 3), 0u);
    plat::RegCloseKey(k);
    plat::SetDebugOutputHook(Capture);
    Dbg_CreateTrace("ct");
    Take();
  }
  void TearDown() override {
    Srv_CloseAll();
    Dbg_DestroyTrace();
    plat::SetDebugOutputHook(nullptr);
  }
  static int Send(const std::string& server, const char* request, uint32_t capacity = 64) {
    std::vector<char> reply(capacity);
    uint32_t n = capacity;
    return Srv_SendRequest(server.c_str(), request, reply.data(), &n);
  }
};

TEST_F(ClientTrace, PipeOpenFailuresAndEmptyReplies) {
  fakesrv::Engine engine;
  fakesrv::PipeServer server(&engine);
  ASSERT_EQ(server.Start("."), 0);
  engine.script().On("Q1", fakesrv::Text("1,ok"));
  engine.script().On("Q2", fakesrv::Cut());
  engine.script().On("Q3", fakesrv::Empty());
  engine.script().On("Q4", fakesrv::Text("-1,2,no such file"));

  // The open goes to the debugger output, not to the trace; a success and
  // a "-1" reply write nothing.
  EXPECT_EQ(Send(".", "Q1"), 1);
  EXPECT_EQ(Send(".", "Q4"), -1);
  EXPECT_EQ(Take(), std::vector<std::string>{">>. Opening pipe connection\r\n"});

  EXPECT_EQ(Send("", "Q2"), -1);
  EXPECT_EQ(errno, 109);
  auto out = Take();
  EXPECT_EQ(Count(out, Traced("<<. Error 109 to Q2\r\n")), 1u) << Joined(out);
  EXPECT_EQ(out.size(), 1u) << Joined(out);

  // The next request opens the pipe again, then finds an empty reply.
  EXPECT_EQ(Send("localhost", "Q3"), -1);
  EXPECT_EQ(errno, 8001);
  out = Take();
  EXPECT_EQ(out, (std::vector<std::string>{">>. Opening pipe connection\r\n", Traced("<<. No Result to Q3\r\n")}))
      << Joined(out);
  server.Stop();
}

// A request of one byte prints a blank for the missing code letter.
TEST_F(ClientTrace, ErrorLineOfAOneLetterRequest) {
  fakesrv::Engine engine;
  fakesrv::PipeServer server(&engine);
  ASSERT_EQ(server.Start("."), 0);
  engine.script().On("Z", fakesrv::Empty());
  char reply[16];
  uint32_t n = sizeof reply;
  EXPECT_EQ(Srv_Transact(".", "Z", 1, reply, &n), -1);
  EXPECT_EQ(Count(Take(), Traced("<<. No Result to Z \r\n")), 1u);
  server.Stop();
}

class ClientTraceNet : public ClientTrace {
 protected:
  void SetUp() override {
    ClientTrace::SetUp();
    pki = cdxnet::MakeTestPki(getenv("CDXPLAT_ROOT"));
    setenv("SSL_CERT_FILE", pki.caCert.c_str(), 1);
    Srv_InstallNetTransports();
  }
  cdxnet::TestPki pki;
};

TEST_F(ClientTraceNet, SocketOpenLineAndTheServerCertificate) {
  cdxnet::TlsTestServer tls(pki.server.cert, pki.server.key, [](const std::string& r) {
    return r.compare(0, 2, "QP") == 0 ? cdxnet::ServerAction::Reply(std::string("1,ok\0", 5))
                                      : cdxnet::ServerAction::Close();
  });
  const std::string url = tls.Url("cdx");
  testing::internal::CaptureStdout();
  EXPECT_EQ(Send(url, "QP,"), 1);
  const std::string printed = testing::internal::GetCapturedStdout();
  EXPECT_EQ(printed, "Server certificate:\n\t subject: /CN=server\n\t issuer: /CN=cdx test CA\n");
  auto out = Take();
  EXPECT_EQ(out, std::vector<std::string>{Traced(">>" + url + " Opening socket connection\r\n")}) << Joined(out);

  // The server closes on the next request: the error line names the URL.
  EXPECT_EQ(Send(url, "XX"), -1);
  out = Take();
  EXPECT_EQ(Count(out, Traced("<<" + url + " Error 10054 to XX\r\n")), 1u) << Joined(out);
}

TEST_F(ClientTraceNet, WebServiceFaultText) {
  cdxnet::SoapTestServer soap([](const cdxnet::SoapCall&) { return cdxnet::SoapAction::Fault("no such request"); });
  const std::string url = soap.Url("/");
  EXPECT_EQ(Send(url, "QP,"), -1);
  EXPECT_EQ(errno, 12);
  const std::string all = Joined(Take());
  // SOAP 1.1 has no subcodes: the library gives the fault code in their
  // place. Then the received message up to the point of failure.
  EXPECT_NE(all.find(Traced("SOAP 1.1 fault: SOAP-ENV:Server [SOAP-ENV:Server]\n\"no such request\"\n"
                            "Detail: <why>scripted</why>\n")),
            std::string::npos)
      << all;
  EXPECT_NE(all.find("<faultstring xsi:type=\"xsd:string\">no such request</faultstring>"), std::string::npos) << all;
  EXPECT_NE(all.find("\n<!-- ** HERE ** -->\n"), std::string::npos) << all;
  EXPECT_NE(all.find(Traced("<<" + url + " Error 12 to QP\r\n")), std::string::npos) << all;
}

}  // namespace
