// Configuration through a server reached by requests: a TLS server on
// 127.0.0.2 (and one web-service server) whose fake engine answers IF, GF,
// HF, FF, CF and the file requests over a configuration root of its own
// with the real loaders and savers. Both roads must land in the same files.
#include "cdxlib/client/srvconfig.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "cdxlib/client/nettransport.h"
#include "cdxlib/client/requests.h"
#include "cdxlib/client/srvclient.h"
#include "cdxlib/config/configfiles.h"
#include "cdxlib/sys/registry.h"
#include "platform/error.h"
#include "server_side.h"
#include "tools/cdxnetsrv/testpki.h"

namespace fs = std::filesystem;

namespace {

std::string Z(const std::string& s) { return s + std::string(1, '\0'); }
bool Starts(const std::string& s, const std::string& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<ChannelConfig> Channels(int n, char seed) {
  std::vector<ChannelConfig> ch(static_cast<size_t>(n));
  memset(ch.data(), 0, ch.size() * sizeof(ChannelConfig));
  for (int i = 0; i < n; ++i) {
    ch[i].Type = kKindAI;
    snprintf(reinterpret_cast<char*>(&ch[i]), 8, "%c%05d", seed, i);
  }
  return ch;
}

class SrvCfgRemote : public ::testing::Test {
 protected:
  void SetUp() override {
    base = getenv("CDXPLAT_ROOT");
    serverRoot = base + "/SERVER/CURRENT_CONFIG";
    clientRoot = base + "/CLIENT/CURRENT_CONFIG";
    fs::remove_all(base + "/SERVER");
    fs::create_directories(serverRoot + "/dev1");
    fs::create_directories(serverRoot + "/LOGGERS");
    fs::create_directories(clientRoot);
    setenv("CDX_CURRENT_CONFIG", clientRoot.c_str(), 1);
    pki = cdxnet::MakeTestPki(base);
    setenv("SSL_CERT_FILE", pki.caCert.c_str(), 1);
    Srv_InstallNetTransports();
    cfg = serverside::ConfigServer(serverRoot);
    engine.script().SetHandler([this](const std::string& r) { return cfg(r); });
    tls = std::make_unique<cdxnet::TlsTestServer>(pki.server.cert, pki.server.key,
                                                  [this](const std::string& r) { return serverside::ToTls(&engine, r); });
    tls->SetRequestComplete(serverside::RequestComplete);
    server = tls->Url("cdx");
    // The root's own "config" (enable byte 1) for the touch after channel writes.
    std::ofstream(serverRoot + "/config", std::ios::binary) << '\x01';
  }
  void TearDown() override {
    Srv_CloseAll();
    tls.reset();
  }
  // The requests, each cut at its first NUL (the text).
  std::vector<std::string> Texts() {
    std::vector<std::string> out;
    for (const std::string& r : engine.Requests()) out.push_back(r.substr(0, r.find('\0')));
    return out;
  }
  std::string base, serverRoot, clientRoot, server;
  cdxnet::TestPki pki;
  fakesrv::Engine engine;
  serverside::ConfigServer cfg{""};
  std::unique_ptr<cdxnet::TlsTestServer> tls;

};

TEST_F(SrvCfgRemote, RequestsRoadCarriesRecordsDeviceAndLogger) {
  auto ch = Channels(3, 'A');
  const std::string extra = "0123456789";
  ASSERT_EQ(SrvCfg_WriteChannelsEx(server.c_str(), "me", "dev1", kKindAI, ch.data(), 0, 3, extra.data(), 10,
                                   "extra.bin"), 0) << errno;
  auto requests = engine.Requests();
  ASSERT_GE(requests.size(), 3u);
  EXPECT_EQ(requests[0], Z("HF,658, ,dev1,0,3,10,extra.bin,0,1") +
                             std::string(reinterpret_cast<char*>(ch.data()), 3 * sizeof(ChannelConfig)) + extra);
  // Then the root's "config" is read and written back.
  EXPECT_EQ(requests[1], Z("RF,CDX_CURRENT_CONFIG\\config\t1\t0\t0\t-2147483648\t3\t0\t3\t128"));
  EXPECT_EQ(requests[2], std::string("WF,CDX_CURRENT_CONFIG\\config\t1\t0\t0\t-1073741824\t3\t1\t4\t128\t\x01"));
  // The server's own saver wrote the files; the client's root is untouched.
  ChannelConfig onServer[3];
  char extraOnServer[10];
  ASSERT_EQ(Cfg_LoadChannels((serverRoot + "/dev1").c_str(), kKindAI, onServer, 0, 3, extraOnServer, 10, "extra.bin"), 0);
  EXPECT_EQ(memcmp(onServer, ch.data(), sizeof onServer), 0);
  EXPECT_TRUE(fs::is_empty(clientRoot));

  engine.ClearRequests();
  ChannelConfig back[2];
  char extraBack[10] = {};
  ASSERT_EQ(SrvCfg_ReadChannelsEx(server.c_str(), "dev1", kKindAI, back, 1, 2, extraBack, 10, "extra.bin"), 0);
  EXPECT_EQ(Texts(), (std::vector<std::string>{"IF,444,dev1,1,2,10,extra.bin,0"}));
  EXPECT_EQ(memcmp(back, &ch[1], sizeof back), 0);
  // The extra data of a range comes from channel 1's block (10 / 2 bytes in).
  EXPECT_EQ(std::string(extraBack, 10), std::string("56789\0\0\0\0\0", 10));
  // The file road reads the same bytes.
  cfg.refused = {"IF"};
  ChannelConfig back2[2];
  char extraBack2[10] = {};
  ASSERT_EQ(SrvCfg_ReadChannelsEx(server.c_str(), "dev1", kKindAI, back2, 1, 2, extraBack2, 10, "extra.bin"), -1);
  EXPECT_EQ(errno, 38);  // the extra file ends before the 10 bytes: a short read on this road
  ASSERT_EQ(SrvCfg_ReadChannelsEx(server.c_str(), "dev1", kKindAI, back2, 1, 2, extraBack2, 6, "extra.bin"), 0);
  EXPECT_EQ(memcmp(back2, back, sizeof back), 0);
  EXPECT_EQ(std::string(extraBack2, 6), "345678");  // blocks of 6 / 2 = 3 bytes: channel 1's at 3
  // A length that does not split into the range's blocks is refused, as the
  // loaders refuse it.
  EXPECT_EQ(SrvCfg_ReadChannelsEx(server.c_str(), "dev1", kKindAI, back2, 1, 2, extraBack2, 5, "extra.bin"), -1);
  EXPECT_EQ(errno, 87);
  cfg.refused.clear();

  // A device without save options: " " in the last four fields, and no
  // touch of the root after a write the server's saver made.
  engine.ClearRequests();
  std::string record(704, 'r');
  ASSERT_EQ(SrvCfg_WriteDevice(server.c_str(), "dev1", record.data(), 704), 0);
  ASSERT_EQ(engine.Requests().size(), 1u);
  EXPECT_EQ(engine.Requests()[0], Z("FF,704, ,dev1,704,0, , , , , ") + record);
  uint8_t en = 1, so = 1, bt = 0;
  uint32_t rate = 1234;
  ASSERT_EQ(SrvCfg_WriteDeviceAll(server.c_str(), "me", "dev1", record.data(), 704, nullptr, 0, nullptr, &en, &so, &bt,
                                  &rate), 0);
  EXPECT_EQ(Texts().back(), "FF,704, ,dev1,704,0, ,1,1,0,1234");
  engine.ClearRequests();
  std::string got(704, '\0');
  uint8_t e2 = 0, so2 = 0, bt2 = 9;
  uint32_t rate2 = 0;
  ASSERT_EQ(SrvCfg_ReadDeviceAll(server.c_str(), "dev1", got.data(), 704, nullptr, 0, nullptr, &e2, &so2, &bt2, &rate2), 0);
  EXPECT_EQ(Texts(), (std::vector<std::string>{"GF,713,dev1,704,0, ,1,1,1,1"}));
  EXPECT_EQ(got, record);
  EXPECT_EQ(e2, 1);
  EXPECT_EQ(so2, 1);
  EXPECT_EQ(bt2, 0);
  EXPECT_EQ(rate2, 1234u);

  // Loggers: CF with the record right after the last comma.
  engine.ClearRequests();
  const std::string rec = "logger record bytes";
  ASSERT_EQ(SrvCfg_WriteLogger(server.c_str(), "trend", 2, rec.data(), static_cast<uint32_t>(rec.size()), "me"), 0);
  EXPECT_EQ(engine.Requests()[0], "CF,trend,2,19,me," + rec);
  EXPECT_EQ(ReadAll(serverRoot + "/LOGGERS/trend_2"), rec);
  std::string recBack(rec.size(), '\0');
  ASSERT_EQ(SrvCfg_ReadLogger(server.c_str(), "trend", 2, recBack.data(), static_cast<uint32_t>(recBack.size())), 0);
  EXPECT_EQ(recBack, rec);
  EXPECT_EQ(Texts().back(), "RF,CDX_CURRENT_CONFIG\\LOGGERS\\trend_2\t19\t0\t0\t-2147483648\t3\t0\t3\t128");
}

TEST_F(SrvCfgRemote, FallbackReadsWhenTheReplyHasAnotherLength) {
  auto ch = Channels(3, 'B');
  std::string extra(100, 'x');
  ASSERT_EQ(Cfg_SaveChannels(nullptr, (serverRoot + "/dev1").c_str(), kKindAI, ch.data(), 0, 3, extra.data(), 100,
                             "extra.bin"), 0);
  // 749 bytes where 750 are expected.
  cfg.refused = {"IF"};
  engine.script().Once("IF", fakesrv::Bytes("1," + std::string(747, 'z')));
  ChannelConfig back[3];
  std::string extraBack(100, '\0');
  ASSERT_EQ(SrvCfg_ReadChannelsEx(server.c_str(), "dev1", kKindAI, back, 0, 3, extraBack.data(), 100, "extra.bin"), 0);
  EXPECT_EQ(memcmp(back, ch.data(), sizeof back), 0);
  EXPECT_EQ(extraBack, extra);
  EXPECT_EQ(Texts(), (std::vector<std::string>{
                         "IF,750,dev1,0,3,100,extra.bin,0",
                         "RF,CDX_CURRENT_CONFIG\\dev1\\ai\t648\t8\t0\t-2147483648\t3\t0\t3\t128",
                         "RF,CDX_CURRENT_CONFIG\\dev1\\extra.bin\t100\t0\t0\t-2147483648\t3\t0\t4\t128"}));
  // The device and the flags asked for, on the file road.
  uint8_t en = 1, so = 0, bt = 1;
  uint32_t rate = 77;
  std::string record(704, 'd');
  ASSERT_EQ(Cfg_SaveDeviceEx(nullptr, (serverRoot + "/dev1").c_str(), record.data(), 704, nullptr, 0, nullptr, &en, &so,
                             &bt, &rate), 0);
  cfg.refused = {"GF"};
  std::string got(704, '\0');
  uint8_t e2 = 0, so2 = 9, bt2 = 0;
  uint32_t rate2 = 0;
  ASSERT_EQ(SrvCfg_ReadDeviceAll(server.c_str(), "dev1", got.data(), 704, nullptr, 0, nullptr, &e2, &so2, &bt2, &rate2), 0);
  EXPECT_EQ(got, record);
  EXPECT_EQ(e2, 1);
  EXPECT_EQ(so2, 0);
  EXPECT_EQ(bt2, 1);
  EXPECT_EQ(rate2, 77u);
}

TEST_F(SrvCfgRemote, XmlErrorGetsNoFallbackOtherFailuresDo) {
  auto ch = Channels(2, 'C');
  ASSERT_EQ(Cfg_SaveChannels(nullptr, (serverRoot + "/dev1").c_str(), kKindAI, ch.data(), 0, 2, nullptr, 0, nullptr), 0);
  cfg.refused = {"HF"};
  engine.script().Once("HF", fakesrv::Text("-1,1465,channel file does not parse"));
  auto newer = Channels(2, 'D');
  EXPECT_EQ(SrvCfg_WriteChannels(server.c_str(), "dev1", kKindAI, newer.data(), 0, 2), -1);
  EXPECT_EQ(errno, 1465);
  EXPECT_EQ(plat::GetLastError(), 1465u);
  EXPECT_STREQ(Srv_LastXmlErrorText(), "channel file does not parse");
  EXPECT_EQ(engine.RequestCount(), 1u);  // no file writes

  // Another failure: the same bytes through the file requests.
  engine.ClearRequests();
  engine.script().Once("HF", fakesrv::Text("-1,50,not supported"));
  ASSERT_EQ(SrvCfg_WriteChannels(server.c_str(), "dev1", kKindAI, newer.data(), 0, 2), 0);
  auto t = Texts();
  ASSERT_GE(t.size(), 3u);
  EXPECT_TRUE(Starts(t[1], "WF,CDX_CURRENT_CONFIG\\dev1\\ai\t432\t8\t0\t")) << t[1];
  EXPECT_TRUE(Starts(t[2], "WF,CDX_CURRENT_CONFIG\\dev1\\ai\t8\t0\t0\t")) << t[2];  // the header
  ChannelConfig onServer[2];
  ASSERT_EQ(Cfg_LoadChannels((serverRoot + "/dev1").c_str(), kKindAI, onServer, 0, 2, nullptr, 0, nullptr), 0);
  EXPECT_EQ(memcmp(onServer, newer.data(), sizeof onServer), 0);
  // The device through FF's fallback, flags included; then the root's touch.
  engine.ClearRequests();
  cfg.refused = {"FF"};
  std::string record(704, 'q');
  uint8_t en = 0, so = 1, bt = 1;
  uint32_t rate = 5000;
  ASSERT_EQ(SrvCfg_WriteDeviceAll(server.c_str(), "me", "dev1", record.data(), 704, nullptr, 0, nullptr, &en, &so, &bt,
                                  &rate), 0);
  std::string got(704, '\0');
  uint8_t e2 = 9, so2 = 0, bt2 = 0;
  uint32_t rate2 = 0;
  ASSERT_EQ(Cfg_LoadDeviceEx((serverRoot + "/dev1").c_str(), got.data(), 704, nullptr, 0, nullptr, &e2, &so2, &bt2,
                             &rate2), 0);
  EXPECT_EQ(got, record);
  EXPECT_EQ(e2, 0);
  EXPECT_EQ(so2, 1);
  EXPECT_EQ(bt2, 1);
  EXPECT_EQ(rate2, 5000u);
  EXPECT_TRUE(Starts(Texts().back(), "WF,CDX_CURRENT_CONFIG\\config\t1\t0\t")) << Texts().back();
  // CF's fallback writes the logger file from offset 0.
  engine.ClearRequests();
  cfg.refused = {"CF"};
  ASSERT_EQ(SrvCfg_WriteLogger(server.c_str(), "event", 3, "abc", 3, nullptr), 0);
  EXPECT_EQ(Texts().back(), "WF,CDX_CURRENT_CONFIG\\LOGGERS\\event_3\t3\t0\t0\t-1073741824\t3\t1\t4\t128\tabc");
  EXPECT_EQ(ReadAll(serverRoot + "/LOGGERS/event_3"), "abc");
}

// The save options travel as the 6 bytes of "saveconfig" (SaveRate
// little-endian at byte 2) on the file road, and a device write's fallback
// with only some options keeps the stored others.
TEST_F(SrvCfgRemote, SaveOptionsTravelAsTheSaveconfigBytes) {
  const std::string file = serverRoot + "/dev1/saveconfig";
  const uint8_t so = 1, bt = 0;
  const uint32_t rate = 0x0A0B0C0D;
  ASSERT_EQ(SrvCfg_WriteSaveConfig(server.c_str(), "dev1", &so, &bt, &rate), 0) << errno;
  EXPECT_EQ(ReadAll(file), std::string("\x01\x00\x0D\x0C\x0B\x0A", 6));
  // All three or none on this road: the file is written whole.
  EXPECT_EQ(SrvCfg_WriteSaveConfig(server.c_str(), "dev1", &so, nullptr, &rate), -1);
  EXPECT_EQ(errno, 87);

  std::ofstream(file, std::ios::binary) << std::string("\x00\x01\x44\x33\x22\x11", 6);
  uint8_t so2 = 9, bt2 = 9;
  uint32_t rate2 = 0;
  ASSERT_EQ(SrvCfg_ReadSaveConfig(server.c_str(), "dev1", &so2, &bt2, &rate2), 0) << errno;
  EXPECT_EQ(so2, 0);
  EXPECT_EQ(bt2, 1);
  EXPECT_EQ(rate2, 0x11223344u);
  // Outputs not asked for stay as they were.
  uint32_t rate3 = 0;
  ASSERT_EQ(SrvCfg_ReadSaveConfig(server.c_str(), "dev1", nullptr, nullptr, &rate3), 0);
  EXPECT_EQ(rate3, 0x11223344u);

  // FF refused: the rate alone goes into the stored file, the flags kept.
  cfg.refused = {"FF"};
  const uint32_t newRate = 0x01020304;
  ASSERT_EQ(SrvCfg_WriteDeviceAll(server.c_str(), "me", "dev1", nullptr, 0, nullptr, 0, nullptr, nullptr, nullptr,
                                  nullptr, &newRate), 0) << errno;
  EXPECT_EQ(ReadAll(file), std::string("\x00\x01\x04\x03\x02\x01", 6));
  // GF refused: the options asked for come from the file.
  cfg.refused = {"GF"};
  so2 = bt2 = 9;
  rate2 = 0;
  ASSERT_EQ(SrvCfg_ReadDeviceAll(server.c_str(), "dev1", nullptr, 0, nullptr, 0, nullptr, nullptr, &so2, &bt2, &rate2),
            0) << errno;
  EXPECT_EQ(so2, 0);
  EXPECT_EQ(bt2, 1);
  EXPECT_EQ(rate2, newRate);
}

TEST_F(SrvCfgRemote, FallbackChunksCarryWholeRecords) {
  // "CDX_CURRENT_CONFIG\" + 38 characters + "\ai": a remote path of 60.
  const std::string sub(38, 's');
  fs::create_directories(serverRoot + "/" + sub);
  auto ch = Channels(200, 'E');
  ASSERT_EQ(Cfg_SaveChannels(nullptr, (serverRoot + "/" + sub).c_str(), kKindAI, ch.data(), 0, 200, nullptr, 0, nullptr), 0);
  auto newer = Channels(200, 'F');
  cfg.refused = {"HF"};
  ASSERT_EQ(SrvCfg_WriteChannels(server.c_str(), sub.c_str(), kKindAI, newer.data(), 0, 200), 0);
  const std::string path = "CDX_CURRENT_CONFIG\\" + sub + "\\ai";
  ASSERT_EQ(path.size(), 60u);
  auto t = Texts();
  ASSERT_GE(t.size(), 4u);
  // 32668 - 60 = 32608 bytes: 150 records of 216.
  EXPECT_TRUE(Starts(t[1], "WF," + path + "\t32400\t8\t0\t")) << t[1];
  EXPECT_TRUE(Starts(t[2], "WF," + path + "\t10800\t32408\t0\t")) << t[2];
  ChannelConfig onServer[200];
  ASSERT_EQ(Cfg_LoadChannels((serverRoot + "/" + sub).c_str(), kKindAI, onServer, 0, 200, nullptr, 0, nullptr), 0);
  EXPECT_EQ(memcmp(onServer, newer.data(), sizeof onServer), 0);
  // A write into the root itself does not touch the root's "config".
  engine.ClearRequests();
  ASSERT_EQ(Cfg_SaveChannels(nullptr, serverRoot.c_str(), kKindAI, ch.data(), 0, 1, nullptr, 0, nullptr), 0);
  ASSERT_EQ(SrvCfg_WriteChannels(server.c_str(), "", kKindAI, newer.data(), 0, 1), 0);
  for (const std::string& r : Texts()) EXPECT_EQ(r.find("CDX_CURRENT_CONFIG\\config"), std::string::npos) << r;
}

TEST_F(SrvCfgRemote, WholeFilesCopyBothWays) {
  const std::string remote = "CDX_CURRENT_CONFIG\\dev1\\blob";
  const size_t chunk = 32668 - remote.size();
  for (size_t size : {size_t{0}, chunk, chunk + 1}) {
    SCOPED_TRACE(size);
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i * 7 + 3);
    std::string local = base + "/blob.local";
    std::ofstream(local, std::ios::binary) << data;
    engine.ClearRequests();
    ASSERT_EQ(SrvCfg_CopyToServer(server.c_str(), "dev1", "blob", local.c_str()), 0) << errno;
    EXPECT_EQ(ReadAll(serverRoot + "/dev1/blob"), data);
    auto t = Texts();
    ASSERT_EQ(t.size(), size > chunk ? 2u : 1u);
    EXPECT_NE(t[0].find("\t1\t2\t128\t"), std::string::npos);  // create always
    if (t.size() > 1) {
      EXPECT_NE(t[1].find("\t1\t3\t128\t"), std::string::npos);  // then existing
    }
    std::string back = base + "/blob.back";
    std::ofstream(back) << "old contents that must go";
    ASSERT_EQ(SrvCfg_CopyFromServer(server.c_str(), "dev1", "blob", back.c_str()), 0) << errno;
    EXPECT_EQ(ReadAll(back), data);
  }
  // A copy that fails leaves the local file as it was.
  const std::string kept = base + "/kept.local";
  std::ofstream(kept) << "keep me";
  EXPECT_EQ(SrvCfg_CopyFromServer(server.c_str(), "dev1", "missing", kept.c_str()), -1);
  EXPECT_EQ(errno, 2);
  std::ofstream(serverRoot + "/dev1/big", std::ios::binary) << std::string(70000, 'b');
  engine.script().Once("RF", fakesrv::Cut());
  cfg.refused = {"RF"};
  EXPECT_EQ(SrvCfg_CopyFromServer(server.c_str(), "dev1", "big", kept.c_str()), -1);
  cfg.refused.clear();
  EXPECT_EQ(ReadAll(kept), "keep me");
  for (const auto& entry : fs::directory_iterator(base))
    EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
}

TEST_F(SrvCfgRemote, FaultsFallBackAndTheNextRequestWorks) {
  auto ch = Channels(2, 'G');
  ASSERT_EQ(Cfg_SaveChannels(nullptr, (serverRoot + "/dev1").c_str(), kKindAI, ch.data(), 0, 2, nullptr, 0, nullptr), 0);
  cfg.refused = {"IF"};
  ChannelConfig back[2];
  // A stalled, a cut and a garbled IF: the connection closes, the file road
  // opens a new one and reads the records. The stall waits for the server's
  // deadline, which also covers the new connection and its handshake: a few
  // seconds, so a busy machine still makes them. The other faults need no
  // deadline, so theirs is never reached.
  for (fakesrv::Action fault : {fakesrv::Stall(-1), fakesrv::Cut(), fakesrv::Garbage(64)}) {
    ASSERT_EQ(Srv_SetTimeout(server.c_str(), fault.kind == fakesrv::ActionKind::Stall ? 4000 : 30000), 1);
    engine.script().Once("IF", fault);
    memset(back, 0, sizeof back);
    ASSERT_EQ(SrvCfg_ReadChannels(server.c_str(), "dev1", kKindAI, back, 0, 2), 0) << errno;
    EXPECT_EQ(memcmp(back, ch.data(), sizeof back), 0);
  }
  // The file road failing too: the call fails with the server's code.
  engine.script().Once("IF", fakesrv::Cut());
  engine.script().Once("RF", fakesrv::Text("-1,5,access denied"));
  cfg.refused = {"IF", "RF"};
  EXPECT_EQ(SrvCfg_ReadChannels(server.c_str(), "dev1", kKindAI, back, 0, 2), -1);
  EXPECT_EQ(errno, 5);
  cfg.refused.clear();
  EXPECT_EQ(SrvCfg_ReadChannels(server.c_str(), "dev1", kKindAI, back, 0, 2), 0);
  // Server down: both roads fail with the connection's error.
  std::string gone = server;
  tls.reset();
  EXPECT_EQ(SrvCfg_ReadChannels(gone.c_str(), "dev1", kKindAI, back, 0, 2), -1);
  EXPECT_EQ(errno, 10061);
}

// One family of the general requests over TLS through the connection table.
TEST_F(SrvCfgRemote, ProcessorRequestsOverTls) {
  engine.script().On("QP,", fakesrv::Text("2"));
  engine.script().On("CP,", fakesrv::Text("1"));
  engine.script().On("IP,", fakesrv::Text("1,USERAA,TANKS,AA:8,0,A;USERAB,PUMPS,AB:4,0,D;"));
  EXPECT_EQ(Proc_GetCount(server.c_str()), 2);
  ProcessorEntry p[2];
  EXPECT_EQ(Proc_GetInfo(server.c_str(), "*,2", p, 2), 2);
  EXPECT_EQ(p[1].Kind, kProcKindDigital);
  EXPECT_EQ(Proc_Command(server.c_str(), 'i', "USERAA"), 1);
  EXPECT_EQ(Texts(), (std::vector<std::string>{"QP,", "IP,*,2", "CP,USERAA,I"}));
  EXPECT_EQ(tls->Accepts(), 1);  // one kept connection
}

// Channel records and the time zone over the web service.
TEST_F(SrvCfgRemote, ChannelsAndTimeZoneOverTheWebService) {
  cdxnet::SoapTestServer soap([this](const cdxnet::SoapCall& call) { return serverside::ToSoap(&engine, call); });
  const std::string web = soap.Url("/");
  auto ch = Channels(4, 'W');
  ASSERT_EQ(SrvCfg_WriteChannels(web.c_str(), "dev1", kKindAI, ch.data(), 0, 4), 0) << errno;
  ChannelConfig back[4];
  ASSERT_EQ(SrvCfg_ReadChannels(web.c_str(), "dev1", kKindAI, back, 0, 4), 0) << errno;
  EXPECT_EQ(memcmp(back, ch.data(), sizeof back), 0);
  EXPECT_EQ(Texts()[0], "HF,864, ,dev1,0,4,0, ,0,1");

  plat::TimeZoneInformation zone{};
  zone.Bias = -120;
  engine.script().On("TS", fakesrv::Bytes(Z("1700000123,5") + std::string(reinterpret_cast<char*>(&zone), sizeof zone)));
  TimeStamp t{};
  plat::TimeZoneInformation got{};
  EXPECT_EQ(GetServerTimeZone(web.c_str(), &t, &got), 1700000123);
  EXPECT_EQ(t.milliseconds, 5);
  EXPECT_EQ(got.Bias, -120);
  EXPECT_EQ(soap.Calls().back().resultSize, 272);
}

}  // namespace
