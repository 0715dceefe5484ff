// The TLS socket transport against a real TLS server on 127.0.0.2 with
// certificates made for the test.
#include "cdxlib/client/tlssock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cdxlib/client/nettransport.h"
#include "cdxlib/client/srvclient.h"
#include "cdxlib/sys/registry.h"
#include "platform/error.h"
#include "tools/cdxnetsrv/testpki.h"
#include "tools/cdxnetsrv/tlsserver.h"

using cdxnet::ServerAction;
using cdxnet::TlsTestServer;

namespace {

void SetTlsVerify(const char* value) {
  uint32_t type = plat::REG_SZ, size = static_cast<uint32_t>(strlen(value) + 1);
  ASSERT_EQ(0u, Reg_AccessValue(plat::HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillomatic\\Coordinatrix", plat::KEY_SET_VALUE,
                                kRegTlsVerify, &type, const_cast<char*>(value), &size));
}

class TlsSockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pki_ = cdxnet::MakeTestPki(getenv("CDXPLAT_ROOT"));
    setenv("SSL_CERT_FILE", pki_.caCert.c_str(), 1);
    SetTlsVerify("ON");
  }

  // Echoes "1," and the request (without its NUL).
  static ServerAction Echo(const std::string& request) {
    return ServerAction::Reply("1," + std::string(request.c_str()) + std::string(1, '\0'));
  }

  // One exchange on a fresh session; returns the result, last error in *error.
  // The connection and its handshake get the default time (ample on a busy
  // machine); timeoutMs bounds the exchange alone.
  int OneExchange(const std::string& url, const std::string& request, std::string* reply, uint32_t* error,
                  uint32_t capacity = 65536, int timeoutMs = 0) {
    SockSession* s = Sock_Connect(url.c_str(), 0);
    if (!s) {
      *error = plat::GetLastError();
      return -1;
    }
    std::vector<char> buf(capacity);
    uint32_t len = capacity;
    int r = Sock_SessionTransact(s, request.data(), static_cast<uint32_t>(request.size()), buf.data(), &len, timeoutMs);
    *error = plat::GetLastError();
    reply->assign(buf.data(), len);
    Sock_CloseSession(s);
    return r;
  }

  cdxnet::TestPki pki_;
};

const std::string kQp("QP,\0", 4);

TEST_F(TlsSockTest, RequestGoesOutAsIsAndRepliesOfEverySizeArriveWhole) {
  // Sizes around the 4093-byte read pieces: 4089 fits the first piece
  // beside the length, 4090 needs a second read.
  for (size_t size : {size_t{0}, size_t{1}, size_t{4088}, size_t{4089}, size_t{4090}, size_t{8182}, size_t{65536}}) {
    SCOPED_TRACE(size);
    std::string body(size, 'x');
    for (size_t i = 0; i < size; ++i) body[i] = static_cast<char>('a' + i % 26);
    TlsTestServer server(pki_.server.cert, pki_.server.key, [&](const std::string&) { return ServerAction::Reply(body); });
    std::string reply;
    uint32_t error = 99;
    EXPECT_EQ(1, OneExchange(server.Url(), kQp, &reply, &error));
    EXPECT_EQ(0u, error);
    EXPECT_EQ(body, reply);
    ASSERT_EQ(1u, server.Requests().size());
    EXPECT_EQ(kQp, server.Requests()[0]);  // the NUL included, no framing
  }
}

TEST_F(TlsSockTest, OneConnectionCarriesManyExchanges) {
  TlsTestServer server(pki_.server.cert, pki_.server.key, Echo);
  SockSession* s = Sock_Connect(server.Url().c_str(), 0);
  ASSERT_NE(nullptr, s);
  for (int i = 0; i < 5; ++i) {
    std::string req = "RF,file" + std::to_string(i) + std::string(1, '\0');
    char buf[256];
    uint32_t len = sizeof buf;
    ASSERT_EQ(1, Sock_SessionTransact(s, req.data(), static_cast<uint32_t>(req.size()), buf, &len, 0));
    EXPECT_EQ("1,RF,file" + std::to_string(i), std::string(buf));
  }
  Sock_CloseSession(s);
  EXPECT_EQ(1, server.Accepts());
}

// A server that sends more than a reply announced: the surplus (in the
// reply's record, in a record of its own, after a reply longer than the
// first read, or looking like a length) is never taken as the next
// request's reply. Each request gets its own answer; a connection left with
// surplus is closed and the next request connects again.
TEST_F(TlsSockTest, SurplusPastAReplyNeverAnswersTheNextRequest) {
  Srv_InstallNetTransports();
  const std::string bogus = cdxnet::FrameReply(std::string("1,BOGUS-1") + '\0');
  struct Case {
    const char* name;
    std::string tail;  // in the reply's own record
    std::string after;  // in a record of its own
    size_t padding;     // reply length beyond the first read piece
  } cases[] = {
      {"own record, a length", "", bogus, 0},
      {"own record, one byte", "", "z", 0},
      {"same record", bogus, "", 0},
      {"own record after a long reply", "", bogus, 9000},
      {"same record after a long reply", "zz", "", 9000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::atomic<int> n{0};
    TlsTestServer server(pki_.server.cert, pki_.server.key, [&](const std::string&) {
      const int k = ++n;
      std::string body = "1,REPLY" + std::to_string(k) + std::string(1, '\0') + std::string(c.padding, 'p');
      ServerAction a = ServerAction::Raw(cdxnet::FrameReply(body) + c.tail);
      // Only the first reply is followed by surplus.
      if (k == 1) {
        a.after = c.after;
      } else {
        a = ServerAction::Reply(body);
      }
      return a;
    });
    const std::string url = server.Url();
    for (int i = 1; i <= 3; ++i) {
      std::vector<char> reply(20000);
      uint32_t len = static_cast<uint32_t>(reply.size());
      ASSERT_EQ(1, Srv_SendRequest(url.c_str(), "QP,", reply.data(), &len)) << "request " << i;
      EXPECT_EQ("1,REPLY" + std::to_string(i), std::string(reply.data())) << "request " << i;
      EXPECT_EQ(len, 9 + c.padding);
    }
    // The connection with the surplus was replaced once, then kept.
    EXPECT_EQ(2, server.Accepts());
    Srv_CloseAll();
  }
}

// Without surplus the connection stays: the check for unread bytes does not
// close a connection in step.
TEST_F(TlsSockTest, AConnectionInStepIsKept) {
  Srv_InstallNetTransports();
  TlsTestServer server(pki_.server.cert, pki_.server.key, Echo);
  for (int i = 0; i < 4; ++i) {
    char reply[64];
    uint32_t len = sizeof reply;
    ASSERT_EQ(1, Srv_SendRequest(server.Url().c_str(), "QP,", reply, &len));
    EXPECT_STREQ("1,QP,", reply);
  }
  EXPECT_EQ(1, server.Accepts());
  Srv_CloseAll();
}

TEST_F(TlsSockTest, CertificatesAreVerifiedUnlessTurnedOff) {
  struct Case {
    const char* name;
    cdxnet::CertPair pair;
    uint32_t errorVerified;  // 0: accepted
  } cases[] = {
      {"good", pki_.server, 0},
      {"self-signed", pki_.selfSigned, plat::kErrInetInvalidCa},
      {"unknown CA", pki_.otherCa, plat::kErrInetInvalidCa},
      {"expired", pki_.expired, plat::kErrInetCertDateInvalid},
      {"other host name", pki_.wrongName, plat::kErrInetCertCnInvalid},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TlsTestServer server(c.pair.cert, c.pair.key, Echo);
    std::string reply;
    uint32_t error = 0;
    SetTlsVerify("ON");
    EXPECT_EQ(c.errorVerified ? -1 : 1, OneExchange(server.Url(), kQp, &reply, &error));
    EXPECT_EQ(c.errorVerified, error);
    if (c.errorVerified) {
      EXPECT_EQ(static_cast<int>(c.errorVerified), errno);
      EXPECT_TRUE(server.Requests().empty()) << "nothing may reach an unverified server";
    }
    SetTlsVerify("off");
    EXPECT_EQ(1, OneExchange(server.Url(), kQp, &reply, &error));
    EXPECT_EQ("1,QP,", std::string(reply.c_str()));
  }
}

TEST_F(TlsSockTest, HostNameIsCheckedByName) {
  // The certificate names DNS "cdx-test"; reaching the same server as
  // "localhost" must fail the name check.
  TlsTestServer server(pki_.server.cert, pki_.server.key, Echo, false, "127.0.0.1");
  std::string reply;
  uint32_t error = 0;
  EXPECT_EQ(-1, OneExchange("cdx://localhost:" + std::to_string(server.Port()), kQp, &reply, &error));
  EXPECT_EQ(plat::kErrInetCertCnInvalid, error);
}

TEST_F(TlsSockTest, FaultsGiveErrorsAndNeverHang) {
  // Only a stall waits for the deadline: the other faults get one that a
  // busy machine never reaches, so they show their own error.
  struct Case {
    const char* name;
    ServerAction action;
    uint32_t capacity;
    uint32_t error;
  } cases[] = {
      {"stall", ServerAction::Stall(), 1024, plat::kErrWsaTimedOut},
      {"closed before the reply", ServerAction::Close(), 1024, plat::kErrWsaConnReset},
      {"cut inside the length", [] { auto a = ServerAction::Reply("1,abc"); a.cutAfter = 2; return a; }(), 1024,
       plat::kErrWsaConnReset},
      {"cut mid-reply", [] { auto a = ServerAction::Reply(std::string(10000, 'r')); a.cutAfter = 6000; return a; }(),
       20000, plat::kErrWsaConnReset},
      {"stall mid-reply", [] { auto a = ServerAction::Raw(cdxnet::FrameReply("1,abcdef").substr(0, 7)); return a; }(),
       1024, plat::kErrWsaTimedOut},
      {"reply beyond the buffer", ServerAction::Reply(std::string(1025, 'r')), 1024, plat::kErrMoreData},
      {"endless total", ServerAction::Raw(std::string("\xff\xff\xff\xff", 4) + "1,"), 1024, plat::kErrMoreData},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TlsTestServer server(pki_.server.cert, pki_.server.key, [&](const std::string&) { return c.action; });
    std::string reply;
    uint32_t error = 0;
    const int timeoutMs = c.error == plat::kErrWsaTimedOut ? 300 : 30000;
    EXPECT_EQ(0, OneExchange(server.Url(), kQp, &reply, &error, c.capacity, timeoutMs));
    EXPECT_EQ(c.error, error);
    EXPECT_EQ(static_cast<int>(c.error), errno);
    EXPECT_EQ(0u, reply.size());
  }
}

TEST_F(TlsSockTest, GarbageInsteadOfTlsFailsTheOpen) {
  TlsTestServer server("", "", [](const std::string&) { return ServerAction::Raw("HTTP/1.0 400 nonsense\r\n\r\n"); },
                       true);
  // The plain server only answers after a request: its first read takes
  // the client hello.
  std::string reply;
  uint32_t error = 0;
  EXPECT_EQ(-1, OneExchange(server.Url(), kQp, &reply, &error, 1024, 2000));
  EXPECT_EQ(plat::kErrWsaConnAborted, error);
}

TEST_F(TlsSockTest, WritesToAClosedPeerNeitherKillNorHang) {
  // A write after the server went away raises no SIGPIPE (the process would
  // die here otherwise) and fails with an error.
  TlsTestServer server(pki_.server.cert, pki_.server.key, [](const std::string&) { return ServerAction::Close(); });
  SockSession* s = Sock_Connect(server.Url().c_str(), 2000);
  ASSERT_NE(nullptr, s);
  char buf[64];
  uint32_t len = sizeof buf;
  EXPECT_EQ(0, Sock_SessionTransact(s, kQp.data(), 4, buf, &len, 2000));
  std::string big(200000, 'w');
  len = sizeof buf;
  EXPECT_EQ(0, Sock_SessionTransact(s, big.data(), static_cast<uint32_t>(big.size()), buf, &len, 2000));
  EXPECT_NE(0u, plat::GetLastError());
  Sock_CloseSession(s);
}

TEST_F(TlsSockTest, RefusedAndUnknownServers) {
  uint16_t port;
  {
    TlsTestServer gone(pki_.server.cert, pki_.server.key, Echo);
    port = gone.Port();
  }
  EXPECT_EQ(nullptr, Sock_Connect(("cdx://127.0.0.2:" + std::to_string(port)).c_str(), 2000));
  EXPECT_EQ(plat::kErrWsaConnRefused, plat::GetLastError());
  EXPECT_EQ(nullptr, Sock_Connect("cdx://no-such-host.invalid:1", 2000));
  EXPECT_EQ(plat::kErrWsaHostNotFound, plat::GetLastError());
  EXPECT_EQ(nullptr, Sock_Connect("not a url", 2000));
}

TEST(TlsSockPort, PortFromUrlThenServiceTableThenDefault) {
  EXPECT_EQ(4242, Sock_PortFor("ftp", 4242));
  EXPECT_EQ(21, Sock_PortFor("ftp", 0));
  EXPECT_EQ(5432, Sock_PortFor("postgresql", 0));
  EXPECT_EQ(kSockDefaultPort, Sock_PortFor("coordinatrix-tls", 0));
  EXPECT_EQ(kSockDefaultPort, Sock_PortFor("", 0));
}

}  // namespace
