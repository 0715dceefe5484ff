// The instance root against other users of the machine: a real tool started
// as the superuser or as "nobody" (setpriv) on roots made by the other.
#include "platform/root.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/named_mutex.h"
#include "platform/pipe.h"
#include "platform/shm.h"
#include "support/child.h"
#include "support/tool_run.h"

namespace {

constexpr uid_t kNobody = 65534;

struct ToolRun {
  int status = -1;
  std::string output;
};

// Runs "cdxipc list" on the root, as nobody when asked, with the umask given.
ToolRun CdxIpc(const std::string& root, bool asNobody, const char* umaskText = "022") {
  std::string command = std::string("umask ") + umaskText + "; ";
  if (asNobody) command += "setpriv --reuid=65534 --regid=65534 --clear-groups -- ";
  command += "env CDXPLAT_ROOT='" + root + "' '" + testsupport::BinPath("cdxipc") + "' list 2>&1";
  const testsupport::ToolResult run = testsupport::RunShell(command);
  ToolRun r;
  r.status = run.rc;
  r.output = run.out;
  return r;
}

struct Node {
  bool exists = false;
  mode_t mode = 0;
  uid_t uid = 0;
};

Node StatOf(const std::string& path) {
  struct stat st;
  Node n;
  if (lstat(path.c_str(), &st) != 0) return n;
  return {true, st.st_mode & 07777, st.st_uid};
}

class InstanceRoot : public ::testing::Test {
 protected:
  std::string base;  // reachable by nobody; the roots are made in it
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs the superuser, to start a process as another user";
    if (std::system("setpriv --reuid=65534 --regid=65534 --clear-groups -- true") != 0)
      GTEST_SKIP() << "setpriv cannot start a process as nobody here";
    char tmpl[] = "/dev/shm/cdxroot-test-XXXXXX";
    ASSERT_TRUE(mkdtemp(tmpl));
    base = tmpl;
    ASSERT_EQ(chmod(base.c_str(), 0755), 0);
  }
  void TearDown() override {
    if (!base.empty()) std::system(("rm -rf '" + base + "'").c_str());
  }
  std::string NobodysDir(const std::string& name) {
    const std::string dir = base + "/" + name;
    EXPECT_EQ(mkdir(dir.c_str(), 0755), 0);
    EXPECT_EQ(chown(dir.c_str(), kNobody, kNobody), 0);
    return dir;
  }
};

// A root that another user made first (as anyone could make the default
// under /dev/shm) is refused with its name and its owner's; nothing is made
// in it.
TEST_F(InstanceRoot, RootOfAnotherUserIsRefusedByName) {
  const std::string foreign = NobodysDir("foreign");
  ToolRun r = CdxIpc(foreign, false);
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_NE(r.output.find("\"" + foreign + "\""), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("nobody"), std::string::npos) << r.output;
  EXPECT_FALSE(StatOf(foreign + "/shm").exists);

  // The same through a symbolic link of that user, and a superuser's root
  // that every user may write to.
  const std::string link = base + "/link", open = base + "/open";
  ASSERT_EQ(mkdir(open.c_str(), 0777), 0);
  ASSERT_EQ(chmod(open.c_str(), 0777), 0);
  ASSERT_EQ(symlink(open.c_str(), link.c_str()), 0);
  ASSERT_EQ(lchown(link.c_str(), kNobody, kNobody), 0);
  r = CdxIpc(link, false);
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_NE(r.output.find("symbolic link"), std::string::npos) << r.output;
  r = CdxIpc(open, true);
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_NE(r.output.find("other users may write"), std::string::npos) << r.output;
  EXPECT_FALSE(StatOf(open + "/shm").exists);
  // Its owner closes it to the others instead.
  r = CdxIpc(open, false);
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(StatOf(open).mode, 0755u);
}

// A root is made only where its parent exists; a new one is 0755 whatever
// the umask, with sticky every-user folders, and belongs to its maker.
TEST_F(InstanceRoot, NewRootIsMadeOnlyInAnExistingParentWithEveryUserFolders) {
  const std::string parent = NobodysDir("parent");
  ToolRun r = CdxIpc(parent + "/missing/x", true);
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_NE(r.output.find("\"" + parent + "/missing/x\""), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("\"" + parent + "/missing\" does not exist"), std::string::npos) << r.output;
  EXPECT_FALSE(StatOf(parent + "/missing").exists);

  const std::string made = parent + "/made";
  r = CdxIpc(made, true, "077");
  EXPECT_EQ(r.status, 0) << r.output;
  const Node root = StatOf(made);
  EXPECT_EQ(root.mode, 0755u);
  EXPECT_EQ(root.uid, kNobody);
  for (const char* kind : {"shm", "mutex", "pipe"}) {
    const Node folder = StatOf(made + "/" + kind);
    EXPECT_EQ(folder.mode, 01777u) << kind;
    EXPECT_EQ(folder.uid, kNobody) << kind;
  }
  // That user's root is another user's to the superuser.
  r = CdxIpc(made, false);
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_NE(r.output.find("nobody"), std::string::npos) << r.output;
}

// In the superuser's root another user makes data modules, mutexes and pipes
// of its own but cannot write the rest of the instance.
TEST_F(InstanceRoot, OtherUsersMakeEveryUserObjectsInTheServicesRoot) {
  const std::string service = base + "/service";
  ToolRun r = CdxIpc(service, false);
  ASSERT_EQ(r.status, 0) << r.output;
  const pid_t child = testsupport::ForkChild([&] {
    if (setgid(kNobody) != 0 || setuid(kNobody) != 0) return 10;
    setenv("CDXPLAT_ROOT", service.c_str(), 1);
    plat::ShmMapping m;
    if (plat::Shm_CreateNew("Global\\dm_nobody", 4096, nullptr, &m) != 0) return 11;
    if (!plat::NamedMutex::Create("Global\\mx_nobody")) return 12;
    const int pipe = plat::PipeCreate("\\\\.\\pipe\\nobody");
    if (pipe < 0) return 13;
    plat::PipeDestroy(pipe, "\\\\.\\pipe\\nobody");
    // Folders outside the every-user ones are the owner's.
    if (mkdir((service + "/registry").c_str(), 0777) == 0) return 14;
    return 0;
  });
  EXPECT_EQ(testsupport::WaitChild(child, 60000), 0);
}

}  // namespace

namespace {

// The tag names a root by its real path, and follows a change of the root
// setting within one process (it is cached per setting).
TEST(RootTag, SameForOneRootUnderTwoSpellingsAndFollowsTheSetting) {
  char tmpl[] = "/tmp/cdxroottag-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string base = tmpl;
  const std::string a = base + "/a", b = base + "/b", link = base + "/link";
  ASSERT_EQ(mkdir(a.c_str(), 0700), 0);
  ASSERT_EQ(mkdir(b.c_str(), 0700), 0);
  ASSERT_EQ(symlink(a.c_str(), link.c_str()), 0);
  const char* was = std::getenv("CDXPLAT_ROOT");
  const std::string saved = was ? was : "";
  auto tagOf = [](const std::string& root) {
    setenv("CDXPLAT_ROOT", root.c_str(), 1);
    return plat::RootTag();
  };
  const std::string tagA = tagOf(a);
  EXPECT_EQ(tagOf(a), tagA);
  EXPECT_EQ(tagOf(a + "/"), tagA);
  EXPECT_EQ(tagOf(link), tagA);
  const std::string tagB = tagOf(b);
  EXPECT_NE(tagB, tagA);
  EXPECT_EQ(tagOf(a), tagA);
  EXPECT_EQ(tagB.size(), 16u);
  if (was)
    setenv("CDXPLAT_ROOT", saved.c_str(), 1);
  else
    unsetenv("CDXPLAT_ROOT");
  std::filesystem::remove_all(base);
}

}  // namespace
