// The command client's transaction and connection table over the named pipe,
// against the fake central server.
#include "cdxlib/client/srvclient.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "cdxlib/client/pipeclient.h"
#include "cdxlib/xml/xmldoc.h"
#include "platform/error.h"
#include "platform/pipe.h"
#include "tools/fakesrv/fakesrv.h"

namespace {

int Send(const char* server, const char* request, std::string* reply, uint32_t capacity = 256) {
  std::vector<char> buf(capacity + 1, '\x7f');
  uint32_t length = capacity;
  int rc = Srv_SendRequest(server, request, buf.data(), &length);
  reply->assign(buf.data(), length);
  return rc;
}

TEST(SrvReply, ParseNeverReadsPastLength) {
  ReplyRecord r;
  EXPECT_TRUE(Srv_ParseReply("1,abc", 5, &r));
  EXPECT_EQ(r.result, 1);
  EXPECT_EQ(r.dataOffset, 2u);
  EXPECT_TRUE(Srv_ParseReply("-1,1465,bad xml", 15, &r));
  EXPECT_EQ(r.result, -1);
  EXPECT_EQ(r.errorCode, 1465);
  EXPECT_EQ(r.textOffset, 8u);
  EXPECT_TRUE(Srv_ParseReply("-1", 2, &r));
  EXPECT_EQ(r.errorCode, 13);  // no code: invalid data
  EXPECT_FALSE(Srv_ParseReply("x1", 2, &r));
  // "12" cut to 1 byte reads 1, not 12.
  EXPECT_TRUE(Srv_ParseReply("12", 1, &r));
  EXPECT_EQ(r.result, 1);
  EXPECT_TRUE(Srv_ParseReply("99999999999999999999", 20, &r));
  EXPECT_EQ(r.result, INT32_MAX);
}

class SrvPipe : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(server.Start("."), 0) << plat::GetLastError(); }
  void TearDown() override {
    server.Stop();
    Srv_CloseAll();
  }
  fakesrv::Engine engine;
  fakesrv::PipeServer server{&engine};
};

TEST_F(SrvPipe, RepliesSetResultErrnoAndLastError) {
  engine.script().On("A1", fakesrv::Text("1,data"));
  engine.script().On("A2", fakesrv::Text("0"));
  engine.script().On("A3", fakesrv::Text("-1,1465,bad xml here"));
  engine.script().On("A4", fakesrv::Text("-1,2,no such file"));
  engine.script().On("A5", fakesrv::Empty());
  engine.script().On("A6", fakesrv::Text("7,more"));
  std::string reply;
  plat::SetLastError(99);
  EXPECT_EQ(Send("", "A1,x", &reply), 1);
  EXPECT_EQ(reply, std::string("1,data\0", 7));
  EXPECT_EQ(plat::GetLastError(), 0u);
  EXPECT_EQ(Send(".", "A2", &reply), 0);
  EXPECT_EQ(Send("127.0.0.1", "A3", &reply), -1);
  EXPECT_EQ(errno, 1465);
  EXPECT_EQ(plat::GetLastError(), 1465u);
  EXPECT_STREQ(Srv_LastXmlErrorText(), "bad xml here");
  // The server's XML error is the XML layer's error too.
  EXPECT_EQ(xml_GetError(), 1465);
  EXPECT_STREQ(xml_GetErrorMessage(), "bad xml here");
  EXPECT_STREQ(xml_GetErrorText(), "  - bad xml here");
  EXPECT_EQ(Send("localhost", "A4", &reply), -1);
  EXPECT_EQ(errno, 2);
  EXPECT_STREQ(Srv_LastXmlErrorText(), "bad xml here");  // left alone
  EXPECT_STREQ(xml_GetErrorMessage(), "bad xml here");
  EXPECT_EQ(Send(nullptr, "A5", &reply), -1);
  EXPECT_EQ(errno, 8001);
  EXPECT_EQ(plat::GetLastError(), 8001u);
  EXPECT_EQ(Send(".", "A6", &reply), 7);
  // The request went with its NUL; all local names used one connection.
  auto requests = engine.Requests();
  ASSERT_EQ(requests.size(), 6u);
  EXPECT_EQ(requests[0], std::string("A1,x\0", 5));
  EXPECT_EQ(engine.Accepts(), 1);
}

TEST_F(SrvPipe, ExplicitLengthBytesGoAsGiven) {
  engine.script().On("WF", fakesrv::Text("1"));
  const char req[] = {'W', 'F', ',', 'p', '\t', '\0', '\x01', '\xff'};
  char reply[24];
  uint32_t n = sizeof reply;
  EXPECT_EQ(Srv_Transact(".", req, sizeof req, reply, &n), 1);
  EXPECT_EQ(engine.Requests().at(0), std::string(req, sizeof req));
}

TEST_F(SrvPipe, FailuresCloseTheEntryAndTheNextRequestReconnects) {
  engine.script().Once("Q1", fakesrv::Cut());
  engine.script().Once("Q1", fakesrv::Garbage(100));   // longer than the capacity
  engine.script().Once("Q1", fakesrv::Garbage(5000));  // longer than any room it is received into
  engine.script().Once("Q1", fakesrv::Garbage(10));    // no leading number
  engine.script().On("Q1", fakesrv::Text("1,ok"));
  std::string reply;
  EXPECT_EQ(Send(".", "Q1", &reply, 64), -1);
  EXPECT_EQ(errno, 109);
  // Received whole, but too long for the caller: refused, the pipe stays.
  EXPECT_EQ(Send(".", "Q1", &reply, 64), -1);
  EXPECT_EQ(errno, 234);
  EXPECT_EQ(reply.size(), 0u);
  // Refused by the transport: the pipe closes.
  EXPECT_EQ(Send(".", "Q1", &reply, 64), -1);
  EXPECT_EQ(errno, 234);
  EXPECT_EQ(reply.size(), 0u);
  // A text reply without its result fails; the bytes stay for a look.
  EXPECT_EQ(Send(".", "Q1", &reply, 64), -1);
  EXPECT_EQ(errno, 13);
  EXPECT_EQ(plat::GetLastError(), 13u);
  EXPECT_EQ(reply.size(), 10u);
  EXPECT_EQ(Send(".", "Q1", &reply, 64), 1);
  EXPECT_EQ(engine.Accepts(), 3);
}

// A failure reply gives the server's code and text whatever the caller's
// buffer; only a successful reply too long for it is refused (234).
TEST_F(SrvPipe, FailureRepliesKeepTheirCodeInAShortBuffer) {
  const std::string xmlText = "dev1\\config.xml line 3: " + std::string(300, 'e');
  engine.script().On("R1", fakesrv::Text("-1,2,file not found"));
  engine.script().On("R2", fakesrv::Text("-1,1465," + xmlText));
  engine.script().On("R3", fakesrv::Text("1," + std::string(100, 'd')));
  engine.script().On("R4", fakesrv::Text("-1"));
  std::string reply;
  EXPECT_EQ(Send(".", "R1", &reply, 16), -1);
  EXPECT_EQ(errno, 2);
  EXPECT_EQ(plat::GetLastError(), 2u);
  EXPECT_EQ(reply, "-1,2,file not fo");  // the text cut to the buffer
  EXPECT_EQ(Send(".", "R2", &reply, 16), -1);
  EXPECT_EQ(errno, 1465);
  EXPECT_EQ(Srv_LastXmlErrorText(), xmlText);
  EXPECT_EQ(Send(".", "R3", &reply, 16), -1);
  EXPECT_EQ(errno, 234);
  EXPECT_EQ(reply.size(), 0u);
  EXPECT_EQ(Send(".", "R4", &reply, 2), -1);  // "-1" without a code, no room for its NUL
  EXPECT_EQ(errno, 13);
  EXPECT_EQ(engine.Accepts(), 1);
}

// "CV" and "RV" replies are binary data without a leading number: they pass
// to their builders, which check them; every other reply needs its number.
TEST_F(SrvPipe, BinaryRepliesNeedNoLeadingNumber) {
  const std::string binary("\x10\x20\x30\x40\x00\x00QA", 8);
  for (const char* code : {"CV", "RV", "QP"}) {
    SCOPED_TRACE(code);
    engine.script().On(code, fakesrv::Bytes(binary));
    std::string reply;
    const bool isBinary = code[0] != 'Q';
    EXPECT_EQ(Send(".", (std::string(code) + ",QA,1").c_str(), &reply, 64), isBinary ? 0 : -1);
    EXPECT_EQ(plat::GetLastError(), isBinary ? 0u : 13u);
    EXPECT_EQ(reply, binary);
  }
  // A binary reply that merely begins "-1" is not let past the buffer's end.
  engine.script().On("RV", fakesrv::Bytes("-1\x7f" + std::string(100, 'v')));
  std::string reply;
  EXPECT_EQ(Send(".", "RV,QA,1", &reply, 64), -1);
  EXPECT_EQ(errno, 234);
}

TEST_F(SrvPipe, ReplyFillingTheCapacityExactlyIsParsedWithoutOverrun) {
  engine.script().On("IF", fakesrv::Bytes("1,abcdef"));
  std::vector<char> buf(8);  // exactly the reply, no room for a NUL
  uint32_t n = 8;
  EXPECT_EQ(Srv_SendRequest(".", "IF", buf.data(), &n), 1);
  EXPECT_EQ(n, 8u);
  EXPECT_EQ(std::string(buf.data(), 8), "1,abcdef");
}

TEST_F(SrvPipe, StallingServerTimesOutAndTheNextRequestWorks) {
  ASSERT_EQ(Srv_SetTimeout(".", 200), 1);
  engine.script().Once("ST", fakesrv::Stall(-1));
  engine.script().On("ST", fakesrv::Text("1,back"));
  std::string reply;
  EXPECT_EQ(Send(".", "ST", &reply), -1);
  EXPECT_EQ(errno, 10060);
  engine.Release();
  // The next request's own deadline is one a busy machine never reaches.
  ASSERT_EQ(Srv_SetTimeout(".", 30000), 1);
  EXPECT_EQ(Send(".", "ST", &reply), 1);
  EXPECT_EQ(reply, std::string("1,back\0", 7));
}

TEST_F(SrvPipe, ServerDownThenBack) {
  server.Stop();
  std::string reply;
  EXPECT_EQ(Send(".", "QP,", &reply), -1);
  EXPECT_EQ(errno, 2);
  fakesrv::Engine second;
  second.script().On("QP", fakesrv::Text("1,5"));
  fakesrv::PipeServer again(&second);
  ASSERT_EQ(again.Start("."), 0);
  EXPECT_EQ(Send(".", "QP,", &reply), 1);
  again.Stop();
  // The open connection now finds the pipe broken; the entry closes and reopens.
  EXPECT_EQ(Send(".", "QP,", &reply), -1);
  EXPECT_EQ(errno, 109);
}

TEST_F(SrvPipe, RemoteComputerNamesUseTheirOwnPipe) {
  std::string reply;
  EXPECT_EQ(Send("plc-srv", "QP,", &reply), -1);
  EXPECT_EQ(errno, 53);
  fakesrv::Engine remote;
  remote.script().On("QP", fakesrv::Text("1,2"));
  fakesrv::PipeServer rs(&remote);
  ASSERT_EQ(rs.Start("PLC-SRV"), 0);
  EXPECT_EQ(Send("plc-srv", "QP,", &reply), 1);
  EXPECT_EQ(remote.RequestCount(), 1u);
  EXPECT_EQ(engine.RequestCount(), 0u);
  rs.Stop();
}

TEST_F(SrvPipe, KindsWithoutTransportFailClearly) {
  std::string reply;
  EXPECT_EQ(Send("tls://127.0.0.2:11234", "QP,", &reply), -1);
  EXPECT_EQ(errno, 50);
  EXPECT_EQ(Send("https://127.0.0.2/", "QP,", &reply), -1);
  EXPECT_EQ(errno, 50);
  EXPECT_EQ(Send("PROVIDER=x", "QP,", &reply), -1);
  EXPECT_EQ(errno, 50);
}

// An installed transport serves its kind; the in-process kind stays open
// after a failed transaction and records its opener thread.
std::atomic<int> g_opens{0};
int FakeOpen(ServerConnection* e) {
  ++g_opens;
  e->handle = e;
  return 1;
}
int FakeTransact(ServerConnection*, const void* req, uint32_t, char* reply, uint32_t* n) {
  if (static_cast<const char*>(req)[0] == 'X') return plat::Fail(5), 0;
  memcpy(reply, "1,local", 8);
  *n = 8;
  return 1;
}
void FakeClose(ServerConnection* e) { e->handle = nullptr; }
const SrvTransport kFake = {"local", FakeOpen, FakeTransact, FakeClose};

TEST(SrvSeam, InstalledInProcessTransport) {
  g_opens = 0;
  const SrvTransport* before = Srv_SetTransport(kSrvKindLocal, &kFake);
  std::string reply;
  EXPECT_EQ(Send("/var/cdx/logs", "QP,", &reply), 1);
  EXPECT_EQ(Send("/var/cdx/logs", "XX", &reply), -1);
  EXPECT_EQ(errno, 5);
  EXPECT_EQ(Send("/var/cdx/logs", "QP,", &reply), 1);
  EXPECT_EQ(g_opens.load(), 1);  // stayed open
  ServerConnection* e = Srv_GetConnection("/var/cdx/logs");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->kind, kSrvKindLocal);
  EXPECT_EQ(e->openerThread, static_cast<uint32_t>(gettid()));
  Srv_ReleaseConnection(e);
  Srv_CloseAll();
  Srv_SetTransport(kSrvKindLocal, before);
}

// Closing all connections while an in-process transaction is under way
// that makes a nested request: the close waits for the transaction, and the
// nested request must not wait for the close. Runs in a process of its own
// with an alarm, so a deadlock fails the test instead of hanging it.
std::atomic<int> g_closerTid{0};
std::atomic<bool> g_nestingInside{false};

std::string ReadTaskFile(int tid, const char* name) {
  char path[64];
  snprintf(path, sizeof path, "/proc/self/task/%d/%s", tid, name);
  FILE* f = fopen(path, "r");
  if (!f) return "";
  char text[128] = {};
  size_t n = fread(text, 1, sizeof text - 1, f);
  fclose(f);
  return std::string(text, n);
}

// True when the thread sleeps on a lock: a futex wait in the kernel, by its
// wait channel or, where that is hidden, by the system call it is in.
bool BlockedOnLock(int tid) {
  if (ReadTaskFile(tid, "wchan").find("futex") != std::string::npos) return true;
  const std::string call = ReadTaskFile(tid, "syscall");
  const std::string futex = std::to_string(SYS_futex) + " ";
  return call.compare(0, futex.size(), futex) == 0;
}

int NestingTransact(ServerConnection*, const void* req, uint32_t, char* reply, uint32_t* n) {
  if (memcmp(req, "NS", 2) == 0) {
    g_nestingInside = true;
    // Wait until the closer is blocked: on this entry's lock, and with the
    // old order while it holds the table lock.
    while (g_closerTid.load() == 0 || !BlockedOnLock(g_closerTid.load())) std::this_thread::yield();
    char inner[32];
    uint32_t len = sizeof inner;
    if (Srv_SendRequest("/var/cdx/inner", "QP,", inner, &len) != 1) return plat::Fail(5), 0;
  }
  memcpy(reply, "1,local", 8);
  *n = 8;
  return 1;
}
const SrvTransport kNesting = {"local", FakeOpen, NestingTransact, FakeClose};

void CloseAllDuringNestedRequest() {
  alarm(60);
  Srv_SetTransport(kSrvKindLocal, &kNesting);
  std::string reply;
  if (Send("/var/cdx/outer", "QP,", &reply) != 1) _exit(2);  // both entries exist and are open
  if (Send("/var/cdx/inner", "QP,", &reply) != 1) _exit(2);
  std::thread outer([] {
    std::string r;
    if (Send("/var/cdx/outer", "NS", &r) != 1) _exit(3);
  });
  while (!g_nestingInside.load()) std::this_thread::yield();
  std::thread closer([] {
    g_closerTid = static_cast<int>(gettid());
    Srv_CloseAll();
  });
  outer.join();
  closer.join();
  // Everything was closed and opens again on the next request.
  ServerConnection* e = Srv_GetConnection("/var/cdx/outer");
  if (!e || e->kind != kSrvKindLocal) _exit(4);
  Srv_ReleaseConnection(e);
  _exit(0);
}

TEST(SrvCloseAll, WaitsForANestingTransactionWithoutDeadlock) {
  ::testing::GTEST_FLAG(death_test_style) = "threadsafe";
  EXPECT_EXIT(CloseAllDuringNestedRequest(), ::testing::ExitedWithCode(0), "");
}

// The table keeps every name it was given for the life of the process, so
// filling it runs in a process of its own (a fresh run of this program):
// other tests of this process have taken entries already, and a full table
// would fail every test after it.
void FillTheTable() {
  int bad = 0;
  auto check = [&bad](bool ok, const std::string& what) {
    if (!ok) fprintf(stderr, "failed: %s (errno %d)\n", what.c_str(), errno), ++bad;
  };
  // Names whose pipes do not exist still take an entry.
  std::string reply;
  for (int i = 0; i < kSrvTableSize; ++i) {
    std::string name = "host" + std::to_string(i);
    check(Send(name.c_str(), "QP,", &reply) == -1 && errno == 53, name);
  }
  check(Send("host0", "QP,", &reply) == -1 && errno == 53, "host0 reuses its entry");
  check(Send("host100", "QP,", &reply) == -1 && errno == 4, "the 101st name finds the table full");
  std::string longName(kSrvNameSize, 'a');
  check(Send(longName.c_str(), "QP,", &reply) == -1 && errno == 87, "a name of 1284 characters");
  _exit(bad == 0 ? 0 : 1);
}

TEST(SrvTable, HundredNamesThenFullAndNameLimit) {
  ::testing::GTEST_FLAG(death_test_style) = "threadsafe";
  EXPECT_EXIT(FillTheTable(), ::testing::ExitedWithCode(0), "");
}

TEST(SrvConcurrency, OneTransactionPerServerServersSideBySide) {
  constexpr int kServers = 4, kThreads = 8, kRounds = 40;
  std::vector<std::unique_ptr<fakesrv::Engine>> engines;
  std::vector<std::unique_ptr<fakesrv::PipeServer>> servers;
  for (int s = 0; s < kServers; ++s) {
    engines.push_back(std::make_unique<fakesrv::Engine>());
    engines.back()->script().On("QP", fakesrv::Text("1," + std::to_string(s)));
    servers.push_back(std::make_unique<fakesrv::PipeServer>(engines.back().get()));
    ASSERT_EQ(servers.back()->Start("node" + std::to_string(s)), 0);
  }
  // Server 0 holds each request until released: the others keep answering.
  engines[0]->script().Once("QP", fakesrv::Stall(-1, "1,0"));
  std::thread stalled([] {
    std::string r;
    EXPECT_EQ(Send("node0", "QP,", &r), 1);
  });
  ASSERT_TRUE(engines[0]->WaitForStalled(10000));
  std::atomic<int> bad{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &bad] {
      for (int i = 0; i < kRounds; ++i) {
        int s = 1 + (t + i) % (kServers - 1);
        std::string r;
        std::string name = "NODE" + std::to_string(s);
        if (Send(name.c_str(), "QP,", &r) != 1 || r != "1," + std::to_string(s) + std::string(1, '\0')) ++bad;
      }
    });
  }
  for (auto& th : threads) th.join();
  engines[0]->Release();
  stalled.join();
  EXPECT_EQ(bad.load(), 0);
  for (int s = 0; s < kServers; ++s) {
    EXPECT_LE(engines[s]->MaxOverlap(), 1) << s;
    EXPECT_EQ(engines[s]->Accepts(), 1) << s;
  }
  for (auto& sv : servers) sv->Stop();
  Srv_CloseAll();
}

TEST(SrvPipeNames, SocketPaths) {
  EXPECT_EQ(plat::PipeSocketPath("\\\\.\\pipe\\coordinatrix"), plat::PipeSocketPath("\\\\.\\PIPE\\Coordinatrix"));
  EXPECT_EQ(plat::PipeSocketPath("not a pipe"), "");
  EXPECT_EQ(plat::GetLastError(), 123u);
  std::string longHost(1200, 'h');
  std::string p = plat::PipeSocketPath("\\\\" + longHost + "\\pipe\\coordinatrix");
  EXPECT_FALSE(p.empty());
  EXPECT_LT(p.size(), 108u);
}

}  // namespace
