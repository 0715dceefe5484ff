// Reloading a channel range of a path from a named configuration directory.
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cdxlib/config/configfiles.h"
#include "cdxlib/records/chanconfig.h"
#include "cdxlib/shm/datamodule.h"
#include "platform/files.h"
#include "scanner/qd_config.h"
#include "scanner/qd_state.h"

namespace {

std::vector<ChannelConfig> Tagged(const char* stem, int n) {
  std::vector<ChannelConfig> c(static_cast<size_t>(n));
  std::memset(c.data(), 0, c.size() * sizeof(ChannelConfig));
  for (int i = 0; i < n; ++i) {
    c[i].Type = kKindAI;
    Chan_SetTag(&c[i], (std::string(stem) + std::to_string(i + 1)).c_str());
  }
  return c;
}

// Moves the file's last-write time, so that its stamp differs.
void Touch(const std::string& path, int seconds) {
  struct timeval t[2] = {{seconds, 0}, {seconds, 0}};
  ASSERT_EQ(utimes(path.c_str(), t), 0) << path;
}

class ReloadRange : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::string(std::getenv("CDXPLAT_ROOT")) + "/reload_dev";
    plat::MakeDirectories(dir_);
    std::vector<ChannelConfig> file = Tagged("F", 4);
    ASSERT_EQ(Cfg_SaveChannels("test", dir_.c_str(), kKindAI, file.data(), 0, 4, nullptr, 0, nullptr), 0);
    Touch(dir_ + "/ai", 1700000000);
    module_ = DM_Create("QA_conf_reload", 4 * sizeof(ChannelConfig));
    ASSERT_NE(module_, nullptr);
    records_ = Tagged("M", 4);
    ScanPath& p = Scan_State().paths[0];
    p = ScanPath{};
    p.confModule = module_;
    p.channels = records_.data();
    p.count = 4;
    std::memset(pathData_, 0, sizeof pathData_);
  }
  void TearDown() override { Scan_State().paths[0] = ScanPath{}; }

  std::string Tag(int i) const { return Chan_GetTag(records_[static_cast<size_t>(i)]); }

  std::string dir_;
  DataModuleHeader* module_ = nullptr;
  std::vector<ChannelConfig> records_;
  uint8_t pathData_[64];
};

TEST_F(ReloadRange, LoadsTheRangeFromTheNamedDirectoryOnly) {
  EXPECT_EQ(Scan_ReloadPathConfigRange(0, pathData_, 1, 2, dir_.c_str()), 2 * 216);
  EXPECT_EQ(Tag(0), "M1");
  EXPECT_EQ(Tag(1), "F2");
  EXPECT_EQ(Tag(2), "F3");
  EXPECT_EQ(Tag(3), "M4");
  // Every argument given: loaded again although the file is unchanged.
  Chan_SetTag(&records_[1], "X");
  EXPECT_EQ(Scan_ReloadPathConfigRange(0, pathData_, 1, 2, dir_.c_str()), 2 * 216);
  EXPECT_EQ(Tag(1), "F2");
  // Without a range the stamps decide, as for the whole path.
  Chan_SetTag(&records_[1], "X");
  EXPECT_EQ(Scan_ReloadPathConfigRange(0, pathData_, -1, 0, dir_.c_str()), 0);
  EXPECT_EQ(Tag(1), "X");
  Touch(dir_ + "/ai", 1700000100);
  EXPECT_EQ(Scan_ReloadPathConfigRange(0, pathData_, -1, 0, dir_.c_str()), 4 * 216);
  EXPECT_EQ(Tag(0), "F1");
  EXPECT_EQ(Tag(1), "F2");
  EXPECT_EQ(Tag(3), "F4");
}

TEST_F(ReloadRange, CurrentDirectoryWithoutANameAndBadArguments) {
  char old[4096];
  ASSERT_NE(getcwd(old, sizeof old), nullptr);
  ASSERT_EQ(chdir(dir_.c_str()), 0);
  EXPECT_EQ(Scan_ReloadPathConfigRange(0, pathData_, 3, 1, nullptr), 216);
  EXPECT_EQ(Tag(2), "M3");
  EXPECT_EQ(Tag(3), "F4");
  // No name: not every argument is given, so an unchanged file is not read.
  EXPECT_EQ(Scan_ReloadPathConfigRange(0, pathData_, 3, 1, ""), 0);
  ASSERT_EQ(chdir(old), 0);
  // Ranges beyond the path, and a directory without the file.
  errno = 0;
  EXPECT_EQ(Scan_ReloadPathConfigRange(0, pathData_, 3, 2, dir_.c_str()), -1);
  EXPECT_EQ(errno, 87);
  EXPECT_EQ(Scan_ReloadPathConfigRange(0, pathData_, -2, 1, dir_.c_str()), -1);
  EXPECT_EQ(Scan_ReloadPathConfigRange(7, pathData_, 0, 1, dir_.c_str()), -1);
  const std::string empty = dir_ + "_empty";
  plat::MakeDirectories(empty);
  EXPECT_EQ(Scan_ReloadPathConfigRange(0, pathData_, 0, 1, empty.c_str()), -1);
  EXPECT_EQ(errno, 2);
  EXPECT_EQ(Tag(0), "M1");
}

}  // namespace
