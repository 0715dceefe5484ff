// The registry's volatile keys and key deletion against another user of the
// machine: a volatile folder that "nobody" made first is never used, the
// standard keys stay persistent, and deleting a key never follows a link.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/registry.h"
#include "platform/root.h"
#include "support/other_user.h"

namespace {

using namespace plat;

bool IsFolder(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
bool IsLink(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}
bool Empty(const std::string& dir) {
  std::error_code ec;
  return std::filesystem::is_empty(dir, ec);
}

// A root on a disk (not tmpfs), as on the hosts where the service keeps its
// instance in a folder of its own.
class RegistryOtherUser : public testsupport::OtherUserTest {
 protected:
  void SetUp() override { MakeBase("/tmp"); }
  void TearDown() override {
    if (!foreign.empty()) std::system(("rm -rf '" + foreign + "'").c_str());
    OtherUserTest::TearDown();
  }
  std::string Hklm() const { return root + "/registry/HKEY_LOCAL_MACHINE"; }
  std::string foreign;
};

// Nobody makes the volatile folder that earlier versions used for this root
// (its name is computable); the write filter's volatile key then lands under
// the root, and HKLM\SOFTWARE stays a persistent key.
TEST_F(RegistryOtherUser, VolatileFolderMadeFirstByAnotherUserIsNeverUsed) {
  foreign = "/dev/shm/cdxplat-volatile-" + RootTag();
  ASSERT_EQ(AsNobody([&] {
              if (mkdir(foreign.c_str(), 0777) != 0) return 1;
              return chmod(foreign.c_str(), 0777) == 0 ? 0 : 2;
            }),
            0);
  HKEY k = nullptr;
  uint32_t disposition = 0;
  ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\EWF", REG_OPTION_VOLATILE, KEY_SET_VALUE, &k, &disposition),
            0u);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  ASSERT_EQ(RegSetValueEx(k, "V", REG_SZ, "1", 2), 0u);
  RegCloseKey(k);
  EXPECT_TRUE(Empty(foreign));
  EXPECT_TRUE(IsFolder(Hklm() + "/k_software"));
  const std::string link = Hklm() + "/k_software/k_ewf";
  ASSERT_TRUE(IsLink(link));
  std::error_code ec;
  const std::string target = std::filesystem::read_symlink(link, ec).string();
  EXPECT_EQ(target.rfind(root + "/registry-volatile/", 0), 0u) << target;

  // Product settings written afterwards are persistent keys.
  ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillomatic\\Coordinatrix", 0, KEY_SET_VALUE, &k, nullptr),
            0u);
  RegCloseKey(k);
  EXPECT_TRUE(IsFolder(Hklm() + "/k_software/k_quillomatic"));
  EXPECT_TRUE(Empty(foreign));
}

// A link where a key's name stands (in a key or inside a volatile key's
// folder) is no key: opening it fails with 2, and deleting the tree that
// holds it removes the link, never what it points to.
TEST_F(RegistryOtherUser, DeletingAKeyNeverFollowsALink) {
  const std::string victimDir = base + "/victim";
  ASSERT_EQ(mkdir(victimDir.c_str(), 0755), 0);
  const std::string victim = victimDir + "/precious";
  VictimFile("victim/precious", "keep");

  HKEY k = nullptr;
  ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Doomed\\Vol", REG_OPTION_VOLATILE, KEY_ALL_ACCESS, &k,
                           nullptr),
            0u);
  RegCloseKey(k);
  const std::string persistent = Hklm() + "/k_software/k_doomed";
  std::error_code ec;
  const std::string volatileFolder = std::filesystem::read_symlink(persistent + "/k_vol", ec).string();
  ASSERT_FALSE(volatileFolder.empty());
  ASSERT_EQ(symlink(victimDir.c_str(), (persistent + "/k_planted").c_str()), 0);
  ASSERT_EQ(symlink(victimDir.c_str(), (volatileFolder + "/k_inner").c_str()), 0);

  EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Doomed\\Planted", KEY_READ, &k), 2u);
  EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Doomed\\Vol\\Inner", KEY_READ, &k), 2u);
  EXPECT_EQ(RegDeleteTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\Doomed\\Planted"), 2u);
  EXPECT_EQ(RegDeleteTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\Doomed"), 0u);
  EXPECT_FALSE(IsFolder(persistent));
  EXPECT_FALSE(IsFolder(volatileFolder));
  EXPECT_EQ(Content(victim), "keep");
}

}  // namespace
