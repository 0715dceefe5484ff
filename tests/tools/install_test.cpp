// cmake --install into a prefix of its own: the layout a host expects, and
// the installed scanner and qdprint working from there (the installed qdprint
// finds the installed libqd_setup.so in the prefix's lib/).
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>

#include "scanner/qd_fixture.h"
#include "support/tool_run.h"

namespace qdtest {
namespace {

using Installed = Installation;

bool Exists(const std::string& path) {
  struct stat sb;
  return stat(path.c_str(), &sb) == 0;
}

TEST_F(Installed, PrefixHoldsTheProgramsLibraryHeadersAndDocsAndTheyRun) {
  const std::string bin = CDX_BIN_DIR;
  const std::string build = bin.substr(0, bin.rfind('/'));
  const std::string prefix = root_ + "/prefix";
  auto install = testsupport::RunTool({"/bin/sh", "-c", "cmake --install '" + build + "' --prefix '" + prefix + "'"},
                                      240000);
  ASSERT_EQ(install.rc, 0) << install.out;
  for (const char* file : {"bin/qd_poll", "bin/qdprint", "bin/cdxsim", "bin/df1sim", "bin/cdxipc", "bin/cdxreg",
                           "lib/libqd_setup.so", "include/cdxdriver/config_dialogs/qd_setup.h",
                           "include/cdxdriver/config_dialogs/hostrecord.h",
                           "include/cdxdriver/cdxlib/records/chanconfig.h", "share/doc/cdxdriver/README.md"})
    EXPECT_TRUE(Exists(prefix + "/" + file)) << file;
  EXPECT_FALSE(Exists(prefix + "/bin/libqd_setup.so"));

  // The installed scanner polls the device.
  ASSERT_GT(Start(prefix + "/bin/qd_poll"), 0);
  ASSERT_TRUE(WaitReady()) << Text();
  ASSERT_TRUE(Scan());
  EXPECT_EQ(Value(1), 285.0f);

  // The installed qdprint prints through the installed library.
  const std::string pdf = root_ + "/installed.pdf";
  auto print = testsupport::RunTool({prefix + "/bin/qdprint", "--demo", "3", pdf});
  EXPECT_EQ(print.rc, 0) << print.out;
  EXPECT_TRUE(Exists(pdf)) << print.out;
}

}  // namespace
}  // namespace qdtest
