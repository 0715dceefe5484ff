// The instance roots of the tests themselves: the child that a threadsafe
// death test starts afresh runs in its parent's root (it ends with _exit and
// would leave a root of its own behind in /dev/shm).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "platform/root.h"

namespace {

TEST(TestRoots, ThreadsafeDeathTestChildUsesItsParentsRoot) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string root = plat::Root();
  EXPECT_EXIT(
      {
        std::fprintf(stderr, "child root <%s>\n", plat::Root().c_str());
        std::fflush(stderr);
        _exit(3);
      },
      ::testing::ExitedWithCode(3), "child root <" + root + ">");
}

}  // namespace
