// Configuration through the server: this machine's road for device and
// channel records, and a request road whose transport this program lacks (50).
#include "cdxlib/client/srvconfig.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "cdxlib/config/configfiles.h"
#include "cdxlib/config/loggerfiles.h"
#include "cdxlib/config/loggertypes.h"
#include "cdxlib/sys/registry.h"
#include "platform/registry.h"
#include "support/child.h"

namespace {

class SrvCfgLocal : public ::testing::Test {
 protected:
  void SetUp() override {
    root = std::string(getenv("CDXPLAT_ROOT")) + "/CURRENT_CONFIG";
    std::filesystem::create_directories(root + "/dev1");
    setenv("CDX_CURRENT_CONFIG", root.c_str(), 1);
  }
  std::string root;
};

TEST_F(SrvCfgLocal, ChannelsAndDeviceRoundTrip) {
  ChannelConfig ch[3];
  memset(ch, 0, sizeof ch);
  for (int i = 0; i < 3; ++i) ch[i].Type = kKindAI, memset(&ch[i], 'A' + i, 8);
  ASSERT_EQ(SrvCfg_WriteChannels(".", "dev1", kKindAI, ch, 0, 3), 0);
  ChannelConfig back[2];
  ASSERT_EQ(SrvCfg_ReadChannels("localhost", "dev1", kKindAI, back, 1, 2), 0);
  EXPECT_EQ(memcmp(back, &ch[1], sizeof back), 0);
  // The root's "config" was touched by the write into a device directory.
  EXPECT_TRUE(std::filesystem::exists(root + "/config"));

  uint8_t record[704];
  memset(record, 0x5a, sizeof record);
  uint8_t enable = 1, saveOutputs = 1, byTag = 0;
  uint32_t rate = 1234;
  ASSERT_EQ(SrvCfg_WriteDeviceAll("", "me", "dev1", record, sizeof record, nullptr, 0, nullptr, &enable,
                                  &saveOutputs, &byTag, &rate), 0);
  uint8_t got[704] = {};
  uint8_t e = 0, so = 0, bt = 9;
  uint32_t r = 0;
  ASSERT_EQ(SrvCfg_ReadDeviceAll(".", "dev1", got, sizeof got, nullptr, 0, nullptr, &e, &so, &bt, &r), 0);
  EXPECT_EQ(memcmp(got, record, sizeof got), 0);
  EXPECT_EQ(e, 1);
  EXPECT_EQ(so, 1);
  EXPECT_EQ(bt, 0);
  EXPECT_EQ(r, 1234u);
  uint8_t en = 0;
  ASSERT_EQ(SrvCfg_ReadEnable(".", "dev1", &en), 0);
  EXPECT_EQ(en, 1);
}

TEST_F(SrvCfgLocal, LoggerRecordsAndRequestOnlyServers) {
  std::filesystem::create_directories(root + "/LOGGERS");
  const char rec[] = "logger record";
  ASSERT_EQ(SrvCfg_WriteLogger(".", "LOG", 2, rec, sizeof rec, "me"), 0);
  EXPECT_TRUE(std::filesystem::exists(root + "/LOGGERS/LOG_2"));
  char back[sizeof rec] = {};
  ASSERT_EQ(SrvCfg_ReadLogger(".", "LOG", 2, back, sizeof back), 0);
  EXPECT_STREQ(back, rec);
  ChannelConfig ch{};
  EXPECT_EQ(SrvCfg_ReadChannels("https://127.0.0.2/", "dev1", 0, &ch, 0, 1), -1);
  EXPECT_EQ(errno, 50);
}

// A logger record write that fails half-way (here the file size limit stops
// it after 8 bytes) leaves the stored record as it was, never half old and
// half new.
TEST_F(SrvCfgLocal, FailedLoggerWriteKeepsTheOldRecord) {
  std::filesystem::create_directories(root + "/LOGGERS");
  const std::string path = root + "/LOGGERS/LOG_3";
  const std::string old(64, 'A');
  std::ofstream(path, std::ios::binary) << old;
  pid_t pid = testsupport::ForkChild([] {
    signal(SIGXFSZ, SIG_IGN);
    rlimit lim{8, 8};
    if (setrlimit(RLIMIT_FSIZE, &lim) != 0) return 3;
    const std::string rec(64, 'B');
    return SrvCfg_WriteLogger(".", "LOG", 3, rec.data(), static_cast<uint32_t>(rec.size()), "me") == -1 ? 0 : 1;
  });
  ASSERT_EQ(testsupport::WaitChild(pid, 60000), 0);
  std::ifstream in(path, std::ios::binary);
  std::string now((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(now, old);
}

void SetSwitch(const char* name, const char* value) {
  uint32_t type = plat::REG_SZ, size = static_cast<uint32_t>(strlen(value) + 1);
  ASSERT_EQ(Reg_AccessValue(plat::HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillomatic\\Coordinatrix", plat::KEY_SET_VALUE,
                            name, &type, const_cast<char*>(value), &size),
            0u);
}

// This machine's logger road is the logger loader and saver: with XML read
// and written instead of the binary files, what SrvCfg writes is what the
// system reads, and the other way round.
TEST_F(SrvCfgLocal, LoggerRoadFollowsTheXmlSwitches) {
  std::filesystem::create_directories(root + "/LOGGERS");
  SetSwitch("ReadXML", "ON");
  SetSwitch("WriteXML", "XML");
  StandardLogger rec;
  memset(&rec, 0, sizeof rec);
  strcpy(rec.Name, "through srvcfg");
  rec.EventRate = 250;
  ASSERT_EQ(SrvCfg_WriteLogger(".", "stand", 4, &rec, sizeof rec, "me"), 0);
  EXPECT_TRUE(std::filesystem::exists(root + "/LOGGERS/stand_4.xml"));
  EXPECT_FALSE(std::filesystem::exists(root + "/LOGGERS/stand_4"));
  StandardLogger got;
  memset(&got, 0xEE, sizeof got);
  ASSERT_EQ(Cfg_LoadLogger((root + "/LOGGERS").c_str(), "stand", 4, &got, sizeof got), 0);
  EXPECT_STREQ(got.Name, "through srvcfg");
  EXPECT_EQ(got.EventRate, 250u);

  strcpy(rec.Name, "through the saver");
  ASSERT_EQ(Cfg_SaveLogger((root + "/LOGGERS").c_str(), "me", "stand", 5, &rec, sizeof rec), 0);
  memset(&got, 0xEE, sizeof got);
  ASSERT_EQ(SrvCfg_ReadLogger(".", "stand", 5, &got, sizeof got), 0);
  EXPECT_STREQ(got.Name, "through the saver");
  SetSwitch("ReadXML", "OFF");
  SetSwitch("WriteXML", "BIN");
}

}  // namespace
