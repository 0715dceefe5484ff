#include "cdxlib/sys/logicaldirs.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <optional>
#include <utility>
#include <vector>
#include <string>

#include "cdxlib/sys/registry.h"
#include "support/env_fixture.h"
#include "platform/error.h"
#include "platform/root.h"
#include "platform/sysinfo.h"

namespace {

using namespace plat;
namespace fs = std::filesystem;

void Put(HKEY hive, const char* path, const char* name, const std::string& text) {
  cdxtest::PutRegistryText(hive, path, name, text);
}

class LogicalDirs : public cdxtest::EnvFixture {
 protected:
  // Never the real user's folders.
  void SetUp() override { Set("XDG_DATA_HOME", Root() + "/appdata-default"); }
};

TEST_F(LogicalDirs, EnvironmentTable) {
  Put(HKEY_LOCAL_MACHINE, "SOFTWARE\\X", "Dir", "/from/registry");
  const std::string root = Root() + "/Coordinatrix";
  struct Case {
    const char* variable;  // set before the lookup (null: none)
    const char* value;
    const char* name;
    std::string expected;
  };
  const Case cases[] = {
      {nullptr, nullptr, "CDX_CURRENT_CONFIG", root + "/CURRENT_CONFIG"},
      {nullptr, nullptr, "cdx_current_config", root + "/CURRENT_CONFIG"},
      {nullptr, nullptr, "RO2_LOGGED_DATA", root + "/LOGGED_DATA"},
      {nullptr, nullptr, "OTHER", root + "/OTHER"},
      {"CDX_BIN", "/opt/Bin", "RO2_BIN", "/opt/Bin"},
      {"CDX_BIN", "/opt/Bin", "ro2_bin", "/opt/Bin"},
      {"CDX_BIN", "/opt/Bin", "Cdx_Bin", "/opt/Bin"},
      {"CDX_D", "%\\LocalMachine\\SOFTWARE\\X\\Dir%", "CDX_D", "/from/registry"},
      {"CDX_D", "%\\localmachine\\software\\x\\dir%", "CDX_D", "/from/registry"},
      {"CDX_D", "%\\Nowhere\\SOFTWARE\\X\\Dir%", "CDX_D", "%\\Nowhere\\SOFTWARE\\X\\Dir%"},
      {"CDX_D", "%\\LocalMachine\\SOFTWARE\\X\\Missing%", "CDX_D", "%\\LocalMachine\\SOFTWARE\\X\\Missing%"},
      {"CDX_D", "%\\LocalMachine%", "CDX_D", "%\\LocalMachine%"},
      {"CDX_D", "%LocalMachine\\SOFTWARE\\X\\Dir%", "CDX_D", "%LocalMachine\\SOFTWARE\\X\\Dir%"},
      {"CDX_D", "%", "CDX_D", "%"},
      {"CDX_D", "%%", "CDX_D", "%%"},
      {"CDX_D", "/plain/Dir", "CDX_D", "/plain/Dir"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name + std::string(" = ") + (c.value ? c.value : "(unset)"));
    if (c.variable) setenv(c.variable, c.value, 1);
    const char* dir = Dir_LookupVariable(c.name);
    ASSERT_NE(dir, nullptr);
    EXPECT_EQ(dir, c.expected);
    if (c.variable) unsetenv(c.variable);
  }
}

TEST_F(LogicalDirs, NamesTooLongAreRefused) {
  EXPECT_NE(Dir_LookupVariable(("CDX_" + std::string(245, 'A')).c_str()), nullptr);  // 249 characters
  EXPECT_EQ(Dir_LookupVariable(("CDX_" + std::string(246, 'A')).c_str()), nullptr);
  EXPECT_EQ(errno, static_cast<int>(kErrInvalidParameter));
  EXPECT_EQ(Dir_Resolve(std::string(300, 'A').c_str()), nullptr);
}

TEST_F(LogicalDirs, RootFromTheRegistryKeepsItsLetterCase) {
  Put(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillomatic\\Coordinatrix", "Root:", "/Srv/Mixed Case");
  EXPECT_STREQ(Dir_GetProductRoot(), "/Srv/Mixed Case");
  EXPECT_STREQ(Dir_LookupVariable("cdx_current_config"), "/Srv/Mixed Case/CURRENT_CONFIG");
  // A value that does not fit 259 characters and the end is not taken.
  Put(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillomatic\\Coordinatrix", "Root:", "/" + std::string(259, 'r'));
  EXPECT_EQ(std::string(Dir_GetProductRoot()), Root() + "/Coordinatrix");
  EXPECT_EQ(std::string(Dir_RootFor("Tarvi")), Root() + "/Tarvi");
  EXPECT_EQ(Dir_SystemDrive(), 'C');
}

TEST_F(LogicalDirs, ExportDirectoriesAreCreatedOrFallBackToApplicationData) {
  const std::string exports = Work("exports") + "/Data";
  Set("CDX_EXPORTED_DATA", exports);
  EXPECT_EQ(Dir_Resolve("Cdx_Exported_Data"), exports);
  EXPECT_TRUE(fs::is_directory(exports));

  // A directory that cannot be made (its parent is a file).
  const std::string blocker = Work("blocked") + "/file";
  std::ofstream(blocker) << "x";
  Set("CDX_REPLAY_OPTIONS", blocker + "/Replay");
  const std::string appData = Root() + "/work/appdata";  // made when needed
  Set("XDG_DATA_HOME", appData);
  const std::string fallback = appData + "/Quillomatic/Coordinatrix/REPLAY_OPTIONS";
  EXPECT_EQ(Dir_Resolve("cdx_replay_options"), fallback);
  EXPECT_TRUE(fs::is_directory(fallback));

  // A share of another machine cannot be reached: application data as well.
  Set("CDX_EXPORTED_IMAGES", "\\\\faraway\\images");
  EXPECT_EQ(Dir_Resolve("CDX_EXPORTED_IMAGES"), appData + "/Quillomatic/Coordinatrix/EXPORTED_IMAGES");

  // Without an application-data folder the unwritable directory is returned after all.
  Set("XDG_DATA_HOME", "");
  Set("HOME", "");
  EXPECT_STREQ(Dir_Resolve("CDX_EXPORTED_IMAGES"), "\\\\faraway\\images");

  // Other names are never created.
  Set("CDX_CURRENT_CONFIG", Root() + "/work/notmade");
  EXPECT_EQ(Dir_Resolve("CDX_CURRENT_CONFIG"), Root() + "/work/notmade");
  EXPECT_FALSE(fs::exists(Root() + "/work/notmade"));
}

TEST_F(LogicalDirs, CheckAccess) {
  const std::string dir = Work("access");
  EXPECT_TRUE(Dir_CheckAccess(dir.c_str(), kGenericWrite));
  EXPECT_TRUE(Dir_CheckAccess(dir.c_str(), kGenericRead | kGenericExecute));
  EXPECT_FALSE(Dir_CheckAccess((dir + "/missing").c_str(), kGenericRead));
  EXPECT_EQ(GetLastError(), kErrFileNotFound);
  EXPECT_FALSE(Dir_CheckAccess("\\\\faraway\\share", kGenericRead));
  EXPECT_EQ(GetLastError(), kErrBadNetPath);
  const std::string file = dir + "/plain";
  std::ofstream(file) << "x";
  fs::permissions(file, fs::perms::owner_read);
  EXPECT_FALSE(Dir_CheckAccess(file.c_str(), kGenericExecute));
}

TEST_F(LogicalDirs, ServerViewOfDirectories) {
  const std::string local = Dir_Resolve("CDX_BIN");
  EXPECT_EQ(std::string(Srv_GetDirectory(nullptr, "CDX_BIN")), local);
  EXPECT_EQ(std::string(Srv_GetDirectory(".", "CDX_BIN")), local);
  EXPECT_EQ(std::string(Srv_GetDirectory(ComputerName().c_str(), "CDX_BIN")), local);

  // Another computer: its shares, or the environment's directory.
  EXPECT_STREQ(Srv_GetDirectory("host2", "CDX_CURRENT_CONFIG"), "\\\\host2\\Coordinatrix\\CURRENT_CONFIG");
  EXPECT_STREQ(Srv_GetDirectory("host2", "SHARED"), "\\\\host2\\SHARED");
  Set("CDX_CURRENT_CONFIG", "/mnt/config");
  EXPECT_STREQ(Srv_GetDirectory("host2", "CDX_CURRENT_CONFIG"), "/mnt/config");
  const std::string exports = Work("srv-exports");
  Set("CDX_EXPORTED_DATA", exports);
  EXPECT_EQ(Srv_GetDirectory("host2", "CDX_EXPORTED_DATA"), exports);

  // A logged-data location read in process.
  const std::string logged = Work("site/LOGGED_DATA/logger1");
  const std::string translations = Work("site/TRANSLATIONS");
  Work("site/LOGGED_DATA/EMPTYDIR/TRANSLATIONS");  // holds no file: passed over
  std::ofstream(translations + "/tags.txt") << "x";
  EXPECT_EQ(Srv_GetDirectory(logged.c_str(), "CDX_LOGGED_DATA"), logged);
  EXPECT_EQ(Srv_GetDirectory(logged.c_str(), "CDX_TRANSLATIONS"), translations);
  EXPECT_EQ(std::string(Srv_GetDirectory(logged.c_str(), "CDX_CURRENT_CONFIG")), "/mnt/config");
  EXPECT_STREQ(Srv_GetDirectory("PROVIDER=SQLOLEDB;Data Source=x", "CDX_LOGGED_DATA"),
               "PROVIDER=SQLOLEDB;Data Source=x");

  // Server addresses of the command client are not known here yet.
  EXPECT_EQ(Srv_GetDirectory("ssl://host2:11234", "CDX_BIN"), nullptr);
  EXPECT_EQ(GetLastError(), kErrNotSupported);
}

TEST(Formatting, BoundedFormat) {
  auto format = [](char* buf, size_t size, const char* f, ...) {
    va_list args;
    va_start(args, f);
    int n = Sys_VFormat(buf, size, f, args);
    va_end(args);
    return n;
  };
  char buf[8];
  EXPECT_EQ(format(buf, sizeof buf, "%s-%d", "ab", 42), 5);
  EXPECT_STREQ(buf, "ab-42");
  EXPECT_EQ(format(buf, sizeof buf, "%s", "far too long"), -1);
  EXPECT_STREQ(buf, "far too");
}

}  // namespace
