// Remote file requests against the fake central server over the pipe, and
// the real-handle road.
#include "cdxlib/client/srvfile.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

#include "cdxlib/client/srvclient.h"
#include "platform/error.h"
#include "tools/fakesrv/fakesrv.h"

namespace {

class SrvFile : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(server.Start("."), 0); }
  void TearDown() override {
    server.Stop();
    Srv_CloseAll();
  }
  std::string Last() { return engine.Requests().back(); }
  fakesrv::Engine engine;
  fakesrv::PipeServer server{&engine};
};

TEST_F(SrvFile, RequestTextsByteForByte) {
  engine.script().SetDefault(fakesrv::Text("1"));
  engine.script().On("SF", fakesrv::Text("1234"));
  EXPECT_EQ(SrvFile_RequestUf(".", "CDX_CURRENT_CONFIG\\a"), 1);
  EXPECT_EQ(Last(), std::string("UF,CDX_CURRENT_CONFIG\\a\0", 24));
  EXPECT_EQ(SrvFile_RequestEf(".", "p", "t"), 1);
  EXPECT_EQ(Last(), std::string("EF,p\tt\0", 7));
  EXPECT_EQ(SrvFile_GetSize(".", "x\\y", kSrvGenericRead, kSrvShareRead | kSrvShareWrite, 0, kSrvOpenExisting,
                            kSrvAttributeNormal), 1234);
  EXPECT_EQ(Last(), std::string("SF,x\\y\t-2147483648\t3\t0\t3\t128") + '\0');
  // A tab in a path would shift the server's fields: refused, nothing sent.
  size_t before = engine.RequestCount();
  EXPECT_EQ(SrvFile_RequestNf(".", "a\tb"), -1);
  EXPECT_EQ(errno, 87);
  EXPECT_EQ(engine.RequestCount(), before);
}

TEST_F(SrvFile, MfCopiesTheTextBounded) {
  engine.script().On("MF", fakesrv::Text("1,abcdefghij"));
  char out[5];
  EXPECT_EQ(SrvFile_RequestMf(".", "p", out, sizeof out, nullptr), 1);
  EXPECT_STREQ(out, "abcd");
  EXPECT_EQ(Last(), std::string("MF,p\t\0", 6));
}

TEST_F(SrvFile, TimesNeedAllSixNumbers) {
  engine.script().Once("TF", fakesrv::Text("1,1,2,3,4,5,-1"));
  engine.script().Once("TF", fakesrv::Text("1,1,2,3,4,5"));
  uint64_t c = 0, a = 0, w = 0;
  EXPECT_EQ(SrvFile_GetTime(".", kSrvInvalidHandle, "p", &c, &a, &w), 1);
  EXPECT_EQ(c, (1ULL << 32) | 2);
  EXPECT_EQ(w, (5ULL << 32) | 0xFFFFFFFFULL);
  EXPECT_EQ(SrvFile_GetTime(".", kSrvInvalidHandle, "p", &c, &a, &w), 0);
}

TEST_F(SrvFile, ReadParsesCountAndRefusesBadCounts) {
  auto reply = [](uint32_t asked, const std::string& data, const std::string& count) {
    std::string r = "1," + data;
    r.resize(2 + asked, '\0');
    return r + "," + count + std::string(1, '\0');
  };
  engine.script().Once("RF", fakesrv::Bytes(reply(8, "abcde", "5")));
  engine.script().Once("RF", fakesrv::Bytes(reply(8, "abcde", "9")));   // more than asked
  engine.script().Once("RF", fakesrv::Bytes(reply(8, "abcde", "-3")));  // negative
  engine.script().Once("RF", fakesrv::Text("1,ab"));                    // short reply
  engine.script().Once("RF", fakesrv::Text("-1,5,denied"));
  char buf[8] = {};
  uint32_t got = 99;
  EXPECT_EQ(SrvFile_Read(".", kSrvInvalidHandle, "f", 8, 16, kSrvFileBegin, kSrvGenericRead, 1, 0, kSrvOpenExisting,
                         128, buf, &got), 1);
  EXPECT_EQ(got, 5u);
  EXPECT_EQ(std::string(buf, 5), "abcde");
  EXPECT_EQ(Last(), std::string("RF,f\t8\t16\t0\t-2147483648\t1\t0\t3\t128") + '\0');
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(SrvFile_Read(".", kSrvInvalidHandle, "f", 8, 0, 0, 0, 0, 0, 3, 128, buf, &got), 0) << i;
  EXPECT_EQ(SrvFile_Read(".", kSrvInvalidHandle, "f", 8, 0, 0, 0, 0, 0, 3, 128, buf, &got), 0);
  EXPECT_EQ(plat::GetLastError(), 5u);
  // 65512 is allowed; one more fails before sending.
  size_t before = engine.RequestCount();
  std::vector<char> big(65513);
  EXPECT_EQ(SrvFile_Read(".", kSrvInvalidHandle, "f", 65513, 0, 0, 0, 0, 0, 3, 128, big.data(), &got), 0);
  EXPECT_EQ(engine.RequestCount(), before);
  engine.script().Once("RF", fakesrv::Bytes(reply(65512, "z", "1")));
  EXPECT_EQ(SrvFile_Read(".", kSrvInvalidHandle, "f", 65512, 0, 0, 0, 0, 0, 3, 128, big.data(), &got), 1);
  EXPECT_EQ(got, 1u);
}

TEST_F(SrvFile, WriteLimitAndBytes) {
  engine.script().On("WF", fakesrv::Text("1"));
  const std::string head = "WF,f\t";
  // The text is "WF,f\tN\t0\t0\t1073741824\t0\t0\t4\t128\t"; fill to exactly 32768.
  auto textFor = [](uint32_t n) {
    char t[128];
    snprintf(t, sizeof t, "WF,f\t%u\t0\t0\t1073741824\t0\t0\t4\t128\t", n);
    return std::string(t);
  };
  uint32_t n = 32768 - static_cast<uint32_t>(textFor(32700).size());
  std::vector<char> data(n + 1, 'd');
  uint32_t written = 0;
  EXPECT_EQ(SrvFile_Write(".", kSrvInvalidHandle, "f", n, 0, 0, kSrvGenericWrite, 0, 0, kSrvOpenAlways, 128,
                          data.data(), &written), 1);
  EXPECT_EQ(written, n);
  EXPECT_EQ(Last(), textFor(n) + std::string(n, 'd'));
  size_t before = engine.RequestCount();
  EXPECT_EQ(SrvFile_Write(".", kSrvInvalidHandle, "f", n + 1, 0, 0, kSrvGenericWrite, 0, 0, kSrvOpenAlways, 128,
                          data.data(), &written), 0);
  EXPECT_EQ(engine.RequestCount(), before);
}

TEST_F(SrvFile, DirectoryListingPages) {
  // 300 names, served in pages from the asked index; each page nearly full.
  engine.script().SetHandler([](const std::string& req) -> std::optional<fakesrv::Action> {
    if (req.compare(0, 2, "DF") != 0) return std::nullopt;
    int index = atoi(req.c_str() + req.rfind('\t') + 1);
    std::string r = "1";
    int i = index;
    for (; i < 300; ++i) {
      // The first name is 300 characters, the others 255: pages run full.
      std::string name = "," + std::to_string(1000 + i).substr(1) + "_";
      name.resize(i == 0 ? 301 : 256, 'n');
      if (r.size() + name.size() > 65535) break;
      r += name;
    }
    return fakesrv::Text(r);
  });
  std::vector<char> slots(100 * kSrvDirSlotSize);
  EXPECT_EQ(SrvFile_ListDir(".", "d", "*", 100, slots.data()), 100);
  EXPECT_EQ(strlen(slots.data()), 255u);  // cut to its slot
  EXPECT_EQ(std::string(slots.data() + 99 * kSrvDirSlotSize, 4), "099_");
  EXPECT_EQ(SrvFile_ListDir(".", "d", "*", 0, nullptr), 300);
  EXPECT_GT(engine.RequestCount(), 2u);
}

TEST_F(SrvFile, FullPageWithoutNamesEnds) {
  engine.script().On("DF", fakesrv::Text("1" + std::string(65530, 'x')));
  EXPECT_EQ(SrvFile_ListDir(".", "d", "*", 0, nullptr), 0);
}

TEST(SrvFileLocal, RealHandleRoads) {
  std::string path = std::string(getenv("CDXPLAT_ROOT")) + "/f.bin";
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  uint32_t n = 0;
  EXPECT_EQ(SrvFile_Write(nullptr, fd, nullptr, 6, kSrvNoMove, 0, 0, 0, 0, 0, 0, "abcdef", &n), 1);
  EXPECT_EQ(n, 6u);
  char buf[4] = {};
  EXPECT_EQ(SrvFile_Read(nullptr, fd, nullptr, 2, 1, kSrvFileBegin, 0, 0, 0, 0, 0, buf, &n), 1);
  EXPECT_EQ(std::string(buf, 2), "bc");
  EXPECT_EQ(SrvFile_Read(nullptr, fd, nullptr, 2, kSrvNoMove, 0, 0, 0, 0, 0, 0, buf, &n), 1);
  EXPECT_EQ(std::string(buf, 2), "de");  // from the current position
  uint64_t w = 0;
  EXPECT_EQ(SrvFile_GetTime(nullptr, fd, nullptr, nullptr, nullptr, &w), 1);
  EXPECT_GT(w, 116444736000000000ULL);
  close(fd);
}

}  // namespace
