// std::regex of g++ 12 trips a false -Wmaybe-uninitialized inside its own headers.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include "cdxlib/config/history.h"

#include <gtest/gtest.h>

#include <climits>
#include <fcntl.h>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "cdxlib/config/configfiles.h"
#include "cdxlib/config/extdll.h"
#include "cdxlib/records/chanconfig.h"
#include "support/child.h"

#include "config_support.h"

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

class HistoryTest : public ::testing::Test {
 protected:
  std::string root;
  std::string oldCwd;
  void SetUp() override {
    char tmpl[] = "/tmp/history_test_XXXXXX";
    root = std::string(mkdtemp(tmpl)) + "/CURRENT_CONFIG";
    mkdir(root.c_str(), 0777);
    mkdir((root + "/plc_1").c_str(), 0777);
    mkdir((root + "/plc_2").c_str(), 0777);
    setenv("CDX_CURRENT_CONFIG", root.c_str(), 1);
    char buf[PATH_MAX];
    oldCwd = getcwd(buf, sizeof buf);
    Hist_SetEnabled(true);
  }
  void TearDown() override {
    Hist_Close();
    if (chdir(oldCwd.c_str()) != 0) ADD_FAILURE();
    std::system(("rm -rf " + root.substr(0, root.rfind('/'))).c_str());
  }
  std::string History() { return ReadFile(root + "/recent_history.txt"); }
};

TEST_F(HistoryTest, LinesGoToTheRootFileWithTheDeviceAsEntity) {
  ASSERT_EQ(chdir((root + "/plc_1").c_str()), 0);
  ASSERT_EQ(Hist_Open(0), 1);
  Hist_Append("alice", 3, "Gain", "1", "2.5");
  Hist_Append("alice", 0, "ScanRate", "500", "1000");
  Hist_Append("", 0, "Port", "COM1", "COM2");
  const std::string h = History();
  const std::regex line(
      "\\d{4}/\\d{2}/\\d{2}\t\\d{2}:\\d{2}:\\d{2}\talice\tplc_1\\.3\\.Gain 1 -> 2\\.5\r\n"
      "\\d{4}/\\d{2}/\\d{2}\t\\d{2}:\\d{2}:\\d{2}\talice\tplc_1\\.ScanRate 500 -> 1000\r\n"
      "\\d{4}/\\d{2}/\\d{2}\t\\d{2}:\\d{2}:\\d{2}\t[^\t]+\tplc_1\\.Port COM1 -> COM2\r\n");
  EXPECT_TRUE(std::regex_match(h, line)) << h;
}

TEST_F(HistoryTest, RootChangesHaveNoEntityAndChannelKindsAreNamed) {
  ASSERT_EQ(chdir(root.c_str()), 0);
  Hist_Append("bob", 0, "History", "Off", "On");
  EXPECT_NE(History().find("\tbob\tHistory Off -> On\r\n"), std::string::npos) << History();
  // A device with channel files of another kind: the kind is named.
  ASSERT_EQ(chdir((root + "/plc_1").c_str()), 0);
  std::ofstream(root + "/plc_1/di") << "x";
  ASSERT_EQ(Hist_Open(1), 1);
  Hist_Append("bob", 1, "Tag", "A", "B");
  EXPECT_NE(History().find("\tplc_1.AI.Channels.1.Tag A -> B\r\n"), std::string::npos) << History();
  // The next device is recorded under its own name, not the first one's.
  ASSERT_EQ(chdir((root + "/plc_2").c_str()), 0);
  ASSERT_EQ(Hist_Open(1), 1);
  Hist_Append("bob", 2, "Tag", "C", "D");
  EXPECT_NE(History().find("\tplc_2.Channels.2.Tag C -> D\r\n"), std::string::npos) << History();
}

TEST_F(HistoryTest, ALineBeyondTheLimitIsNotWritten) {
  ASSERT_EQ(chdir((root + "/plc_1").c_str()), 0);
  Hist_Append("u", 0, "Small", "a", "b");
  const std::string before = History();
  Hist_Append("u", 0, "Big", std::string(3000, 'o').c_str(), std::string(3000, 'n').c_str());
  EXPECT_EQ(History(), before);
  Hist_Append("u", 0, "Fits", std::string(2000, 'o').c_str(), std::string(2000, 'n').c_str());
  EXPECT_GT(History().size(), before.size() + 4000);
}

TEST_F(HistoryTest, TwoProcessesAppendingNeverTearALine) {
  ASSERT_EQ(chdir((root + "/plc_1").c_str()), 0);
  constexpr int kLines = 2000;
  auto writer = [](char mark) {
    return [mark] {
      Hist_Close();
      const std::string value(1500, mark);
      for (int i = 0; i < kLines; ++i) Hist_Append("w", i + 1, "Item", value.c_str(), value.c_str());
      return 0;
    };
  };
  const pid_t a = testsupport::ForkChild(writer('a'));
  const pid_t b = testsupport::ForkChild(writer('b'));
  ASSERT_EQ(testsupport::WaitChild(a, 120000), 0);
  ASSERT_EQ(testsupport::WaitChild(b, 120000), 0);
  std::istringstream in(History());
  std::string l;
  int count[2] = {0, 0};
  const std::regex whole("\\S+\t\\S+\tw\tplc_1\\.\\d+\\.Item (a{1500}|b{1500}) -> (a{1500}|b{1500})\r");
  while (std::getline(in, l)) {
    ASSERT_TRUE(std::regex_match(l, whole)) << l.substr(0, 80);
    ASSERT_EQ(l[l.size() - 2], l[l.find(" -> ") - 1]);
    ++count[l.back() == '\r' && l[l.size() - 2] == 'a' ? 0 : 1];
  }
  EXPECT_EQ(count[0], kLines);
  EXPECT_EQ(count[1], kLines);
}

TEST_F(HistoryTest, TouchConfigRewritesTheParentsFirstByte) {
  ASSERT_EQ(chdir((root + "/plc_1").c_str()), 0);
  EXPECT_EQ(Hist_TouchConfig(), -1) << "no ../config";
  std::ofstream(root + "/config", std::ios::binary) << "\x01rest";
  struct stat st;
  ASSERT_EQ(stat((root + "/config").c_str(), &st), 0);
  struct timespec old[2] = {{1, 0}, {1, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, (root + "/config").c_str(), old, 0), 0);
  EXPECT_EQ(Hist_TouchConfig(), 0);
  ASSERT_EQ(stat((root + "/config").c_str(), &st), 0);
  EXPECT_GT(st.st_mtime, 1);
  EXPECT_EQ(ReadFile(root + "/config"), "\x01rest");
}

// With XML reading on, a device whose library offers XML keeps its channel
// kinds as "<kind>.xml" files: those name the kind in the entity.
TEST_F(HistoryTest, XmlKindFilesNameTheKindWhenXmlIsRead) {
  setenv("CDX_BIN", cfgtest::kExtDir.c_str(), 1);
  const std::string dev = root + "/tstdx_1";
  mkdir(dev.c_str(), 0777);
  std::ofstream(dev + "/di.xml") << "<Channels/>";
  ASSERT_EQ(chdir(dev.c_str()), 0);
  struct {
    const char* readXml;
    const char* entity;
  } cases[] = {{"ON", "\ttstdx_1.AI.Channels.1.Tag A -> B\r\n"}, {"OFF", "\ttstdx_1.Channels.1.Tag A -> B\r\n"}};
  for (const auto& c : cases) {
    cfgtest::SetSwitch("ReadXML", c.readXml);
    ExtDll_ForgetDoXml();
    Hist_Close();
    ASSERT_EQ(Hist_Open(1), 1);
    Hist_Append("bob", 1, "Tag", "A", "B");
    EXPECT_NE(History().find(c.entity), std::string::npos) << c.readXml << "\n" << History();
  }
  // A binary kind file counts only while XML is not read.
  std::ofstream(dev + "/do") << "x";
  std::remove((dev + "/di.xml").c_str());
  cfgtest::SetSwitch("ReadXML", "ON");
  Hist_Close();
  ASSERT_EQ(Hist_Open(1), 1);
  Hist_Append("bob", 2, "Tag", "C", "D");
  EXPECT_NE(History().find("\ttstdx_1.Channels.2.Tag C -> D\r\n"), std::string::npos) << History();
  unsetenv("CDX_BIN");
}

// The saves name the directory they write: the history file, the entity and
// the switch come from it, wherever the process works (outside the tree, or
// in another device's directory).
TEST_F(HistoryTest, SavesRecordTheSavedDirectoryNotTheCurrentOne) {
  // The switch: the first byte of the root's device record ("config" byte 1).
  cfgtest::WriteFile(root + "/config", std::string("\x01\x01\x00\x00\x00", 5));
  const std::string dev = root + "/plc_1";
  ChannelConfig c[1];
  memset(c, 0, sizeof c);
  c[0].Type = kKindAI;
  Chan_SetTag(&c[0], "OLD");
  ASSERT_EQ(Cfg_SaveChannels("ann", dev.c_str(), kKindAI, c, 0, 1, nullptr, 0, nullptr), 0);
  const struct {
    std::string cwd;
    const char* tag;
  } cases[] = {{oldCwd, "NEW"}, {root + "/plc_2", "NEWER"}, {"/", "LAST"}};
  std::string before = "OLD";
  for (const auto& k : cases) {
    SCOPED_TRACE(k.cwd);
    ASSERT_EQ(chdir(k.cwd.c_str()), 0);
    Hist_ForgetSwitch();
    Chan_SetTag(&c[0], k.tag);
    ASSERT_EQ(Cfg_SaveChannels("ann", dev.c_str(), kKindAI, c, 0, 1, nullptr, 0, nullptr), 0);
    EXPECT_TRUE(Hist_IsEnabled());
    const std::string want = "\tann\tplc_1.Channels.1.Tag " + before + " -> " + k.tag + "\r\n";
    EXPECT_NE(History().find(want), std::string::npos) << History();
    before = k.tag;
  }
  EXPECT_EQ(History().find("plc_2"), std::string::npos) << History();
  // A root whose switch is off writes nothing, from anywhere.
  cfgtest::WriteFile(root + "/config", std::string("\x01\x00\x00\x00\x00", 5));
  Hist_ForgetSwitch();
  const std::string lines = History();
  Chan_SetTag(&c[0], "QUIET");
  ASSERT_EQ(Cfg_SaveChannels("ann", dev.c_str(), kKindAI, c, 0, 1, nullptr, 0, nullptr), 0);
  EXPECT_EQ(History(), lines);
  Hist_SetEnabled(true);
}

}  // namespace
