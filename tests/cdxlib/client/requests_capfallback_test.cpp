// Listings from the capability files: counts, selectors, capacity and the
// parse error that ends a listing.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "cdxlib/client/requests_capfallback.h"

namespace {

class CapListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::string(getenv("CDXPLAT_ROOT")) + "/config";
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { CapFile_Close(); }
  void Write(const std::string& name, const std::string& text) {
    std::ofstream(dir_ + "/" + name, std::ios::binary) << text;
  }
  std::string dir_;
};

TEST_F(CapListTest, TwelveProcessorsAreCountedAndSelected) {
  std::string text = "* processors\r\n\r\n";
  for (int i = 1; i <= 12; ++i) text += "PROC" + std::to_string(i) + ",print " + std::to_string(i) + ",A-P" +
                                       static_cast<char>('A' + i) + ":" + std::to_string(i) + "\r\n";
  Write("DATPROC.TXT", text);
  EXPECT_EQ(CapList_CountProcessors(dir_.c_str()), 12);

  ProcessorEntry e[20];
  struct Case {
    const char* selector;
    int capacity;
    int result;
    const char* first;
  } cases[] = {
      {"*,12", 20, 12, "PROC1"}, {"*,5", 20, 5, "PROC1"},  {"*,50", 20, 12, "PROC1"},
      {"*,12", 3, 3, "PROC1"},   {"*,0", 20, 0, nullptr},  {"7", 20, 1, "PROC7"},
      {"13", 20, 0, nullptr},    {"proc1", 20, 1, "PROC1"}, {"PROC12", 20, 1, "PROC1"},
      {"procx", 20, 0, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.selector);
    ASSERT_EQ(CapList_Processors(dir_.c_str(), c.selector, e, c.capacity), c.result);
    if (c.first) {
      EXPECT_STREQ(e[0].Name, c.first);
    }
  }
  ASSERT_EQ(CapList_Processors(dir_.c_str(), "*,12", e, 20), 12);
  EXPECT_STREQ(e[11].Description, "PRINT 12");
  EXPECT_EQ(e[11].Count, 12);
  EXPECT_EQ(e[11].Kind, kProcKindAnalog);

  for (const char* bad : {"", "*,", "*,x", "0"}) {
    EXPECT_EQ(CapList_Processors(dir_.c_str(), bad, e, 20), -1) << bad;
    EXPECT_EQ(errno, 87);
  }
}

TEST_F(CapListTest, ParseErrorEndsTheListing) {
  Write("DEVCAP.TXT", "DF1,1,AB,AI:10\nDF1,2,CD,AI:10\nDF1,3,AB,AI:10\nDF1,4,EF,AI:10\n");
  DeviceEntry e[8];
  EXPECT_EQ(CapList_CountDevices(dir_.c_str()), 4);
  EXPECT_EQ(CapList_Devices(dir_.c_str(), "*,2", e, 8), 2);
  EXPECT_STREQ(e[1].Name, "DF1_2");
  EXPECT_EQ(CapList_Devices(dir_.c_str(), "*,4", e, 8), -2);
  EXPECT_NE(std::string(CapFile_ErrorText()).find("Line 3 : **** duplicate print name ****"), std::string::npos)
      << CapFile_ErrorText();
  EXPECT_EQ(CapList_Devices(dir_.c_str(), "DF1_4", e, 8), -2);
}

TEST_F(CapListTest, LoggersAndMissingFiles) {
  Write("LOGCAP.TXT", "STAND\nREPUB\nresub\n");
  LoggerEntry e[4];
  EXPECT_EQ(CapList_CountLoggers(dir_.c_str()), 3);
  ASSERT_EQ(CapList_Loggers(dir_.c_str(), "*,219", e, 4), 3);
  EXPECT_STREQ(e[0].Name, "stand");
  EXPECT_STREQ(e[2].Name, "resub");
  ASSERT_EQ(CapList_Loggers(dir_.c_str(), "REPUB", e, 4), 1);
  EXPECT_STREQ(e[0].Name, "repub");
  const std::string none = dir_ + "/none";
  EXPECT_EQ(CapList_CountDevices(none.c_str()), -1);
  EXPECT_EQ(errno, 2);
  EXPECT_EQ(CapList_Loggers(none.c_str(), "*,1", e, 4), -1);
}

}  // namespace
