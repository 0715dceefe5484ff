// Pipe host folders against another user of the machine: a host folder that
// "nobody" made first (and serves a pipe of its own in) is refused by the
// service's server and client alike.
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/error.h"
#include "platform/pipe.h"
#include "platform/sync.h"
#include "support/other_user.h"

namespace {

using PipeOtherUser = testsupport::OtherUserTest;

constexpr const char* kRemote = "\\\\plant\\pipe\\svc";

std::string HostFolder(const char* pipeName) {
  const std::string path = plat::PipeSocketPath(pipeName);
  return path.substr(0, path.rfind('/'));
}

TEST_F(PipeOtherUser, HostFolderMadeFirstByAnotherUserIsRefused) {
  const std::string folder = HostFolder(kRemote);
  const std::string ready = base + "/ready";
  ASSERT_EQ(mkdir(ready.c_str(), 0777), 0);
  ASSERT_EQ(chmod(ready.c_str(), 0777), 0);
  // Nobody makes the host folder, open to all but not sticky, and serves
  // the pipe there until the test kills it.
  const pid_t server = testsupport::ForkChild([&] {
    if (setgroups(0, nullptr) != 0 || setgid(testsupport::kNobody) != 0 || setuid(testsupport::kNobody) != 0)
      return 90;
    if (mkdir(folder.c_str(), 0777) != 0 || chmod(folder.c_str(), 0777) != 0) return 1;
    const int fd = plat::PipeCreate(kRemote);
    if (fd < 0) return 2;
    if (mkdir((ready + "/up").c_str(), 0777) != 0) return 3;
    for (;;) {
      const int client = plat::PipeAccept(fd, 60000);
      if (client < 0) return 4;
      plat::PipeWriteMessage(client, "forged", 6, 1000);
      plat::PipeClose(client);
    }
  });
  ASSERT_TRUE(testsupport::WaitUntil([&] { return access((ready + "/up").c_str(), F_OK) == 0; }, 60000));

  EXPECT_EQ(plat::PipeOpen(kRemote), -1);
  EXPECT_EQ(plat::GetLastError(), 5u);
  EXPECT_EQ(plat::PipeCreate(kRemote), -1);
  EXPECT_EQ(plat::GetLastError(), 5u);
  // A link of that user standing for another host's folder: the same.
  const std::string other = HostFolder("\\\\linked\\pipe\\svc");
  ASSERT_EQ(AsNobody([&] { return symlink(folder.c_str(), other.c_str()) == 0 ? 0 : 1; }), 0);
  EXPECT_EQ(plat::PipeOpen("\\\\linked\\pipe\\svc"), -1);
  EXPECT_EQ(plat::GetLastError(), 5u);
  EXPECT_EQ(plat::PipeCreate("\\\\linked\\pipe\\svc"), -1);
  EXPECT_EQ(plat::GetLastError(), 5u);
  kill(server, SIGKILL);
  testsupport::WaitChild(server, 10000);

  // The service's own host folder serves as before, to nobody as well.
  const int fd = plat::PipeCreate("\\\\.\\pipe\\svc");
  ASSERT_GE(fd, 0);
  struct stat st;
  ASSERT_EQ(lstat(HostFolder("\\\\.\\pipe\\svc").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 01777u);
  EXPECT_EQ(AsNobody([] {
              const int c = plat::PipeOpen("\\\\.\\pipe\\svc");
              if (c < 0) return 1;
              plat::PipeClose(c);
              return 0;
            }),
            0);
  plat::PipeDestroy(fd, "\\\\.\\pipe\\svc");
}

}  // namespace
