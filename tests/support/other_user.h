// A fixture for tests that play a second, hostile user of the machine: an
// instance root of the superuser that "nobody" can reach (in a folder of its
// own, removed after the test), and a way to run a step as nobody in a
// child process. Skipped where the test does not run as the superuser.
#pragma once
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstdio>
#include <functional>
#include <grp.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/root.h"
#include "support/child.h"

namespace testsupport {

constexpr uid_t kNobody = 65534;

class OtherUserTest : public ::testing::Test {
 protected:
  // parentDir: where the folder of the test is made ("/dev/shm" is tmpfs;
  // "/tmp" here is a disk).
  void MakeBase(const char* parentDir) {
    if (geteuid() != 0) GTEST_SKIP() << "needs the superuser, to act as another user";
    std::string tmpl = std::string(parentDir) + "/cdxother-XXXXXX";
    ASSERT_TRUE(mkdtemp(tmpl.data()));
    base = tmpl;
    ASSERT_EQ(chmod(base.c_str(), 0755), 0);
    const char* old = std::getenv("CDXPLAT_ROOT");
    savedRoot_ = old ? old : "";
    root = base + "/root";
    setenv("CDXPLAT_ROOT", root.c_str(), 1);
    plat::Root();  // made now, by the superuser
  }
  void SetUp() override { MakeBase("/dev/shm"); }
  void TearDown() override {
    if (!savedRoot_.empty()) setenv("CDXPLAT_ROOT", savedRoot_.c_str(), 1);
    if (!base.empty()) std::system(("rm -rf '" + base + "'").c_str());
  }

  // Runs fn as nobody in a child process; its result (0 for success).
  static int AsNobody(const std::function<int()>& fn) {
    const pid_t child = ForkChild([&] {
      if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) return 90;
      return fn();
    });
    return WaitChild(child, 60000);
  }

  // A file of the superuser, mode 0644, that no other user may change.
  std::string VictimFile(const std::string& name, const std::string& content) {
    const std::string path = base + "/" + name;
    FILE* f = std::fopen(path.c_str(), "w");
    if (f) {
      std::fputs(content.c_str(), f);
      std::fclose(f);
    }
    chmod(path.c_str(), 0644);
    return path;
  }
  static std::string Content(const std::string& path) {
    std::string out;
    if (FILE* f = std::fopen(path.c_str(), "r")) {
      char buf[4096];
      size_t n;
      while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
      std::fclose(f);
    }
    return out;
  }

  std::string base;  // reachable by nobody
  std::string root;  // the superuser's instance root in it

 private:
  std::string savedRoot_;
};

}  // namespace testsupport
