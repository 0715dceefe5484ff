// The replication data tree: settings, names, positions and the
// "information.ini" files of a tree under the test's own root.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "logdata/logfilecollection.h"
#include "logdata/replication.h"
#include "platform/files.h"

namespace {

void WriteFile(const std::string& path, const std::string& content) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
  close(fd);
}

std::string ReadFileText(const std::string& path) {
  std::string out;
  int fd = open(path.c_str(), O_RDONLY);
  char buf[4096];
  ssize_t r;
  while (fd >= 0 && (r = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(r));
  if (fd >= 0) close(fd);
  return out;
}

class Replication : public ::testing::Test {
 protected:
  void SetUp() override {
    // A tree of its own: the settings and ".ini" files an earlier test left
    // (when the program runs whole) must not be read.
    root_ = std::string(getenv("CDXPLAT_ROOT")) + "/tree-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name();
    plat::MakeDirectories(root_);
    Repl_ResetSettings();
    ASSERT_TRUE(Repl_WriteSetting(nullptr, "ROOT", root_.c_str()));
    Repl_ResetSettings();
    well_ = root_ + "/EUROPE CIS/NORWAY/Dudo/LOGGED_DATA/North/W1";
    plat::MakeDirectories(well_ + "/FAST");
  }
  std::string root_, well_;
};

TEST_F(Replication, DefaultsDepthWordsAndLoggerNames) {
  EXPECT_EQ(Repl_GetRoot(), root_);
  EXPECT_EQ(Repl_AssetLevelCount(), 2);
  EXPECT_STREQ(Repl_AssetTerm(1), "FIELD");
  EXPECT_STREQ(Repl_AssetTerm(2), "WELL");
  EXPECT_STREQ(Repl_AssetTerm(3), "");
  EXPECT_EQ(Repl_LoggerDirCount(), 1);
  EXPECT_EQ(Repl_LoggerDirSuffix(1), "_");
  EXPECT_STREQ(Repl_DefaultServer(), "");  // no built-in mailbox
  const char* words[] = {"REGION", "COUNTRY", "CUSTOMER", "FIELD", "WELL", "DATA", ""};
  for (int d = 1; d <= 7; ++d) EXPECT_STREQ(Repl_DepthWord(nullptr, d), words[d - 1]) << d;
  EXPECT_STREQ(Repl_DepthWord((root_ + "/EUROPE CIS/NORWAY").c_str(), 0), "COUNTRY");

  EXPECT_EQ(Repl_LoggerNameFromPath(well_.c_str(), false), "E_NO_Dudo_North_W1");
  // Backslashes separate as well; a country not in the table is "--".
  std::string w = root_ + "\\ASIA\\ATLANTIS\\Acme\\LOGGED_DATA\\East\\A7";
  EXPECT_EQ(Repl_LoggerNameFromPath(w.c_str(), false), "A_--_Acme_East_A7");
  // Parts missing: none, unless partial names are asked for.
  std::string partial = root_ + "/EUROPE CIS/NORWAY/Dudo";
  EXPECT_EQ(Repl_LoggerNameFromPath(partial.c_str(), false), "");
  EXPECT_EQ(Repl_LoggerNameFromPath(partial.c_str(), true), "E_NO_Dudo");
  EXPECT_EQ(Repl_LoggerNameFromPath("/elsewhere/E/NO/x/y/z/w", true), "");
  // A long rest is cut to 129 characters.
  std::string deep = well_ + std::string(200, 'x');
  EXPECT_EQ(Repl_LoggerNameFromPath(deep.c_str(), false).size(), 129u);

  std::string word, text;
  EXPECT_EQ(Repl_PathPartFromLoggerName(1, "E_NO_Dudo_North_W1", &word, &text), 1);
  EXPECT_EQ(word, "REGION");
  EXPECT_EQ(text, "EUROPE CIS");
  EXPECT_EQ(Repl_PathPartFromLoggerName(2, "E_NO_Dudo_North_W1", &word, &text), 1);
  EXPECT_EQ(text, "NORWAY");
  EXPECT_EQ(Repl_PathPartFromLoggerName(4, "E_NO_Dudo_North_W1", &word, &text), 1);
  EXPECT_EQ(word, "FIELD");
  EXPECT_EQ(text, "North");
  EXPECT_EQ(Repl_PathPartFromLoggerName(6, "E_NO_Dudo_North_W1", &word, &text), 0);  // the last depth
  EXPECT_EQ(Repl_PathPartFromLoggerName(5, "E_NO_Dudo", &word, &text), 0);           // too few parts
}

TEST_F(Replication, SettingsOverrideTheDefaults) {
  ASSERT_TRUE(Repl_WriteSetting(nullptr, "ASSET_TERM_3", "STRING"));
  ASSERT_TRUE(Repl_WriteSetting(nullptr, "LOGGER_DIR_2", "FAST"));
  ASSERT_TRUE(Repl_WriteSetting(nullptr, "DefaultServer", "user@mail.example"));
  Repl_ResetSettings();
  EXPECT_EQ(Repl_AssetLevelCount(), 3);
  EXPECT_STREQ(Repl_DepthWord(nullptr, 6), "STRING");
  EXPECT_STREQ(Repl_DepthWord(nullptr, 7), "DATA");
  EXPECT_EQ(Repl_LoggerDirCount(), 2);
  EXPECT_STREQ(Repl_LoggerDir(2), "FAST");
  EXPECT_STREQ(Repl_DefaultServer(), "user@mail.example");
  char v[32];
  EXPECT_FALSE(Repl_ReadSetting("otherhost", "ROOT", v, sizeof v));  // another machine's registry
}

TEST_F(Replication, CountryAndRegionTables) {
  EXPECT_STREQ(Repl_CountryAt(0)->name, "AFGHANISTAN");
  EXPECT_STREQ(Repl_CountryAt(0)->code, "AF");
  EXPECT_FLOAT_EQ(Repl_CountryAt(0)->latitude, 33);
  EXPECT_FLOAT_EQ(Repl_CountryAt(0)->longitude, 65);
  EXPECT_EQ(Repl_CountryAt(kReplCountryCount), nullptr);
  EXPECT_STREQ(kReplCountries[kReplCountryCount].name, "");
  EXPECT_STREQ(Repl_CountryCode("zambia"), "ZM");
  EXPECT_STREQ(Repl_CountryCode("NOWHERE"), "--");
  EXPECT_STREQ(Repl_CountryName("no-such"), "NORWAY");
  EXPECT_STREQ(Repl_CountryName("QQ"), "");
  for (int i = 1; i < kReplCountryCount; ++i)
    EXPECT_LT(strcmp(kReplCountries[i - 1].name, kReplCountries[i].name), 0) << kReplCountries[i].name;
  ASSERT_NE(Repl_RegionOf('m'), nullptr);
  EXPECT_STREQ(Repl_RegionOf('M')->name, "MIDDLE EAST AND NORTH AFRICA");
  EXPECT_EQ(Repl_RegionOf('X'), nullptr);
}

TEST_F(Replication, HeaderFieldsFromThePathAndTheNearestIni) {
  WriteFile(root_ + "/EUROPE CIS/NORWAY/Dudo/information.ini",
            "[HEADER]\r\nOperator: A. N. Other\r\nClient: someone else\r\nWELL: W9\r\n[POSITION]\r\nLAT=60.5\r\n"
            "LON=5.25\r\n");
  std::string logDir = well_ + "/FAST";
  LogHeader h{};
  std::string text;
  ASSERT_EQ(Repl_HeaderFieldsFromPath(root_.c_str(), logDir.c_str(), &h, &text), 0);
  EXPECT_EQ(h.marker, kLogHeaderMarker);
  EXPECT_GT(h.start.seconds, 0);
  EXPECT_EQ(text,
            "Region: EUROPE CIS\r\nCountry: NORWAY\r\nCustomer: Dudo\r\nClient: Dudo\r\nFIELD: North\r\nWELL: W1\r\n"
            "Operator: A. N. Other\r\n");
  // Without the further directory, WELL is not taken from the path.
  ASSERT_EQ(Repl_HeaderFieldsFromPath(root_.c_str(), well_.c_str(), nullptr, &text), 0);
  EXPECT_EQ(text.find("WELL"), std::string::npos);
  EXPECT_EQ(Repl_HeaderFieldsFromPath(root_.c_str(), "/elsewhere", nullptr, &text), -1);
  // A nearer file wins.
  WriteFile(well_ + "/INFORMATION.INI", "[HEADER]\r\nRig: 7\r\n");
  EXPECT_EQ(Repl_FindHeaderIni(root_.c_str(), logDir.c_str()), "Rig: 7\r\n");

  // Applied to every log of the directory.
  CLogFileCollection coll;
  ASSERT_EQ(coll.Open(logDir.c_str(), logDir.c_str(), "", "", kGenericRead | kGenericWrite), 0);
  LogHeader lh{};
  lh.marker = kLogHeaderMarker;
  lh.headerLength = 904;
  lh.recordLength = 18;
  for (int32_t start : {1704164645, 1704168245}) {
    CLogStore* s = coll.CreateLog(&start, 0, 0, &lh, "[TEXT]\r\n", 0, nullptr, 0, nullptr);
    ASSERT_NE(s, nullptr);
    int32_t stop = start + 60;
    coll.CloseLog(s, &start, &stop, 0);
    s->Destroy(1);
  }
  EXPECT_EQ(Repl_ApplyHeaderToLogs(root_.c_str(), logDir.c_str(), nullptr), 2);
  std::string txt = ReadFileText(logDir + "/240102_030405_240102_030505.txt");
  EXPECT_NE(txt.find("[HEADER]\r\nRegion: EUROPE CIS\r\n"), std::string::npos) << txt;
  EXPECT_NE(txt.find("Rig: 7\r\n"), std::string::npos) << txt;
  EXPECT_NE(txt.find("[TEXT]"), std::string::npos) << txt;

  int complete = -1;
  plat::SystemTime t{};
  ASSERT_EQ(Repl_LastLogInfo(root_.c_str(), logDir.c_str(), nullptr, &complete, &t), 1);
  EXPECT_EQ(complete, 1);
  EXPECT_EQ(t.Year, 2024);
  EXPECT_EQ(t.Hour, 4);
  EXPECT_EQ(t.Minute, 5);
  EXPECT_EQ(t.Second, 5);
}

TEST_F(Replication, PositionsByPrecedence) {
  float lat = 0, lon = 0, clat = -1, clon = -1;
  // Region only, then the country's position.
  std::string region = root_ + "/MIDDLE EAST/ATLANTIS/Acme/LOGGED_DATA/F/W";
  ASSERT_EQ(Repl_ReadPosition(region.c_str(), &lat, &lon), 1);
  EXPECT_FLOAT_EQ(lat, 30.06909f);
  EXPECT_FLOAT_EQ(lon, 42.40723f);
  ASSERT_EQ(Repl_ReadPosition(well_.c_str(), &lat, &lon), 1);
  EXPECT_FLOAT_EQ(lat, 62);
  EXPECT_FLOAT_EQ(lon, 10);
  // The nearest [POSITION] walking up, and the customer's own.
  std::string customer = root_ + "/EUROPE CIS/NORWAY/Dudo";
  ASSERT_EQ(Repl_WritePosition(customer.c_str(), 60.5f, 5.25f), 1);
  ASSERT_EQ(Repl_WritePosition((well_ + "/..").c_str(), 61.0f, 2.0f), 1);  // North
  ASSERT_EQ(Repl_ReadPosition(well_.c_str(), &lat, &lon, &clat, &clon), 1);
  EXPECT_FLOAT_EQ(lat, 61);
  EXPECT_FLOAT_EQ(lon, 2);
  EXPECT_FLOAT_EQ(clat, 60.5f);
  EXPECT_FLOAT_EQ(clon, 5.25f);
  EXPECT_EQ(ReadFileText(customer + "/information.ini"), "[POSITION]\r\nLATITUDE=60.500000\r\nLONGITUDE=5.250000\r\n");
  EXPECT_EQ(Repl_ReadPosition("/elsewhere/x", &lat, &lon), 0);
  EXPECT_EQ(Repl_ReadPosition((root_ + "/XYZ").c_str(), &lat, &lon), 0);
}

TEST_F(Replication, UserLimits) {
  EXPECT_EQ(Repl_ReadUserLimit(well_.c_str()), -1);  // no file
  WriteFile(well_ + "/information.ini", "[HEADER]\r\nRig: 7\r\n");
  EXPECT_EQ(Repl_ReadUserLimit(well_.c_str()), -1);  // no section
  WriteFile(well_ + "/information.ini", "[USERLIMIT]\r\nLIMIT=\r\n");
  EXPECT_EQ(Repl_ReadUserLimit(well_.c_str()), -2);
  ASSERT_EQ(Repl_WriteUserLimit(well_.c_str(), 12), 1);
  EXPECT_EQ(Repl_ReadUserLimit(well_.c_str()), 12);
  EXPECT_EQ(ReadFileText(well_ + "/information.ini"), "[USERLIMIT]\r\nLIMIT=12\r\n");
  EXPECT_EQ(Repl_ReadUserLimit(well_.c_str(), "otherhost"), 1);
  // A damaged file (binary garbage, no sections) reads as absent, and a
  // write leaves a readable file.
  WriteFile(well_ + "/information.ini", std::string("\x00\xff[USERLIM", 10));
  EXPECT_EQ(Repl_ReadUserLimit(well_.c_str()), -1);
}

// A collection opened for writing makes its directories only below the
// tree's boundary: the country (or LOGGED_DATA) directory must exist.
TEST_F(Replication, CollectionsMakeDirectoriesOnlyBelowTheBoundary) {
  CLogFileCollection c;
  std::string ok = root_ + "/EUROPE CIS/NORWAY/Dudo/LOGGED_DATA/South/W2";
  EXPECT_EQ(c.Open(ok.c_str(), ok.c_str(), "", "", kGenericRead | kGenericWrite), 0);
  EXPECT_TRUE(plat::DirectoryExists(ok));
  std::string noCountry = root_ + "/EUROPE CIS/DENMARK/Acme/LOGGED_DATA/F/W";
  EXPECT_EQ(c.Open(noCountry.c_str(), noCountry.c_str(), "", "", kGenericRead | kGenericWrite), -1);
  EXPECT_EQ(errno, 3);
  EXPECT_FALSE(plat::DirectoryExists(root_ + "/EUROPE CIS/DENMARK"));
  std::string noData = root_ + "/EUROPE CIS/ATLANTIS/Acme/LOGGED_DATA/F";
  EXPECT_EQ(c.Open(noData.c_str(), noData.c_str(), "", "", kGenericRead | kGenericWrite), -1);
  EXPECT_FALSE(plat::DirectoryExists(root_ + "/EUROPE CIS/ATLANTIS"));
  // Outside any tree every missing directory is made.
  std::string plain = root_ + "/../plain/a/b";
  EXPECT_EQ(c.Open(plain.c_str(), plain.c_str(), "", "", kGenericRead | kGenericWrite), 0);
}

}  // namespace
