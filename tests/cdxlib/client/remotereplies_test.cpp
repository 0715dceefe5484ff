// Failure replies longer than the caller's reply buffer over the roads of
// servers reached by URL: a TLS server and a web-service server on
// 127.0.0.2 with a fake engine behind them. The server's code and its XML
// error text reach the caller; the web service still tells the server the
// caller's own capacity.
#include "cdxlib/client/srvclient.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "cdxlib/client/nettransport.h"
#include "cdxlib/client/srvconfig.h"
#include "platform/error.h"
#include "server_side.h"
#include "tools/cdxnetsrv/testpki.h"

namespace {

class RemoteReplies : public ::testing::Test {
 protected:
  void SetUp() override {
    pki = cdxnet::MakeTestPki(getenv("CDXPLAT_ROOT"));
    setenv("SSL_CERT_FILE", pki.caCert.c_str(), 1);
    Srv_InstallNetTransports();
    tls = std::make_unique<cdxnet::TlsTestServer>(pki.server.cert, pki.server.key,
                                                  [this](const std::string& r) { return serverside::ToTls(&engine, r); });
    tls->SetRequestComplete(serverside::RequestComplete);
    soap = std::make_unique<cdxnet::SoapTestServer>(
        [this](const cdxnet::SoapCall& call) { return serverside::ToSoap(&engine, call); });
  }
  void TearDown() override {
    Srv_CloseAll();
    tls.reset();
    soap.reset();
  }
  cdxnet::TestPki pki;
  fakesrv::Engine engine;
  std::unique_ptr<cdxnet::TlsTestServer> tls;
  std::unique_ptr<cdxnet::SoapTestServer> soap;
};

// The server's own loaders refuse the device's XML files with a long text:
// the caller gets 1465 and the whole text, and the file road is not tried
// (it would write what the server refused).
TEST_F(RemoteReplies, DeviceXmlErrorLongerThanTheReplyKeepsCodeAndText) {
  const std::string text = "dev1\\config.xml: element 'Port' is not valid here; " + std::string(400, 'x');
  engine.script().On("FF,", fakesrv::Text("-1,1465," + text));
  engine.script().On("GF,", fakesrv::Text("-1,1465," + text));
  const std::string server = tls->Url("cdx");
  std::string record(64, 'r');
  EXPECT_EQ(SrvCfg_WriteDevice(server.c_str(), "dev1", record.data(), 64), -1);
  EXPECT_EQ(errno, 1465);
  EXPECT_EQ(Srv_LastXmlErrorText(), text);
  EXPECT_EQ(SrvCfg_ReadDevice(server.c_str(), "dev1", record.data(), 64), -1);
  EXPECT_EQ(errno, 1465);
  auto requests = engine.Requests();
  ASSERT_EQ(requests.size(), 2u);  // FF and GF, nothing of the file road
  EXPECT_EQ(requests[0].compare(0, 3, "FF,"), 0);
  EXPECT_EQ(requests[1].compare(0, 3, "GF,"), 0);
  EXPECT_EQ(tls->Accepts(), 1);  // the connection stayed in step
}

TEST_F(RemoteReplies, EveryRoadGivesTheServersCodeInAShortBuffer) {
  engine.script().On("CP,", fakesrv::Text("-1,2,file not found"));
  engine.script().On("QP,", fakesrv::Text("1," + std::string(40, 'p')));
  for (const std::string& server : {tls->Url("cdx"), soap->Url("/")}) {
    SCOPED_TRACE(server);
    char reply[16];
    uint32_t n = sizeof reply;
    EXPECT_EQ(Srv_SendRequest(server.c_str(), "CP,P1,I", reply, &n), -1);
    EXPECT_EQ(errno, 2);
    EXPECT_EQ(std::string(reply, n), "-1,2,file not fo");
    n = sizeof reply;
    EXPECT_EQ(Srv_SendRequest(server.c_str(), "QP,", reply, &n), -1);
    EXPECT_EQ(errno, 234);
    EXPECT_EQ(n, 0u);
  }
  // The web service announced the caller's 16 bytes, not the room behind them.
  for (const cdxnet::SoapCall& call : soap->Calls()) EXPECT_EQ(call.resultSize, 16);
  EXPECT_EQ(soap->Accepts(), 1);
}

}  // namespace
