#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "cdxlib/sys/procstart.h"
#include "platform/error.h"
#include "platform/root.h"
#include "platform/spawn.h"
#include "platform/sync.h"

namespace {

namespace fs = std::filesystem;
using plat::Root;

// Writes an executable shell script.
void Script(const std::string& path, const std::string& body) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
  ::chmod(path.c_str(), 0755);
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Waits (up to 10 s) until the process no longer exists, not even as a zombie.
bool GoneWithoutZombie(int32_t pid) {
  const std::string proc = "/proc/" + std::to_string(pid);
  for (int i = 0; i < 1000; ++i) {
    if (!fs::exists(proc)) return true;
    plat::SleepMs(10);
  }
  return false;
}

class ProcessStart : public ::testing::Test {
 protected:
  void SetUp() override {
    bin_ = Root() + "/bin";
    setenv("CDX_BIN", bin_.c_str(), 1);
    // Writes its argument count and each argument on a line of its own.
    Script(bin_ + "/args", "out=\"$CDXPLAT_ROOT/args.out\"; echo \"$#\" > \"$out\"; "
                           "for a in \"$@\"; do printf '%s\\n' \"$a\" >> \"$out\"; done");
  }
  void TearDown() override {
    unsetenv("CDX_BIN");
    Proc_SetStartOptions(0, 0);
  }
  static int RunAndWait(const std::vector<const char*>& args) {
    std::vector<const char*> argv = args;
    argv.push_back(nullptr);
    int32_t pid = Proc_Start(argv.data());
    if (pid < 0) return -100;
    int code = -1;
    if (plat::WaitProcess(pid, 10000, &code) != 0) return -101;
    return code;
  }
  std::string bin_;
};

TEST_F(ProcessStart, ArgumentsArriveExactlyAsGiven) {
  ASSERT_EQ(RunAndWait({"args", "two words", "", "quote\"d", "back\\slash", "*"}), 0);
  EXPECT_EQ(ReadAll(Root() + "/args.out"), "5\ntwo words\n\nquote\"d\nback\\slash\n*\n");
}

TEST_F(ProcessStart, AChildBeforeAndAfterItExitsAndNoZombieStays) {
  const std::string fifo = Root() + "/hold";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0666), 0);
  const char* args[] = {"sh", "-c", "read x < \"$0\"; exit 7", fifo.c_str(), nullptr};
  int32_t pid = Proc_Start(args);
  ASSERT_GT(pid, 0);
  EXPECT_EQ(Proc_IsAlive(pid), 1);
  int code = 0;
  EXPECT_EQ(plat::WaitProcess(pid, 50, &code), plat::kWaitTimeout);
  {
    std::ofstream release(fifo);
    release << "go\n";
  }
  ASSERT_EQ(plat::WaitProcess(pid, 10000, &code), 0);
  EXPECT_EQ(code, 7);
  EXPECT_EQ(Proc_IsAlive(pid), 0);
  EXPECT_TRUE(GoneWithoutZombie(pid));
  EXPECT_EQ(plat::WaitProcess(pid, 0, &code), -1);  // reported once

  // A child nobody waits for is reaped too.
  const char* quick[] = {"true", nullptr};
  int32_t forgotten = Proc_Start(quick);
  ASSERT_GT(forgotten, 0);
  EXPECT_TRUE(GoneWithoutZombie(forgotten));
}

TEST_F(ProcessStart, SearchOrderAndMissingPrograms) {
  // CDX_BIN before PATH.
  const std::string pathDir = Root() + "/pathdir";
  Script(pathDir + "/which", "echo path > \"$CDXPLAT_ROOT/which.out\"");
  Script(bin_ + "/which", "echo bin > \"$CDXPLAT_ROOT/which.out\"");
  const std::string oldPath = getenv("PATH");
  setenv("PATH", (pathDir + ":" + oldPath).c_str(), 1);
  ASSERT_EQ(RunAndWait({"which"}), 0);
  EXPECT_EQ(ReadAll(Root() + "/which.out"), "bin\n");
  // The current directory before CDX_BIN.
  const std::string cwdDir = Root() + "/cwd";
  Script(cwdDir + "/which", "echo cwd > \"$CDXPLAT_ROOT/which.out\"");
  const fs::path oldCwd = fs::current_path();
  fs::current_path(cwdDir);
  ASSERT_EQ(RunAndWait({"which"}), 0);
  fs::current_path(oldCwd);
  EXPECT_EQ(ReadAll(Root() + "/which.out"), "cwd\n");
  setenv("PATH", oldPath.c_str(), 1);

  const char* missing[] = {"no-such-program-here", nullptr};
  EXPECT_EQ(Proc_Start(missing), -1);
  EXPECT_EQ(errno, 2);
  EXPECT_EQ(plat::GetLastError(), 2u);
  const char* none[] = {nullptr};
  EXPECT_EQ(Proc_Start(none), -1);
  EXPECT_EQ(Proc_Start(nullptr), -1);
}

TEST_F(ProcessStart, HandlesAreInheritedOnlyWhenAsked) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);  // not close-on-exec
  ASSERT_EQ(::dup2(fds[1], 9), 9);
  EXPECT_NE(RunAndWait({"sh", "-c", "exec 2>/dev/null; echo x >&9"}), 0);
  Proc_SetStartOptions(kProcCreateNewProcessGroup, 1);
  EXPECT_EQ(RunAndWait({"sh", "-c", "echo x >&9"}), 0);
  ::close(9);
  ::close(fds[0]);
  ::close(fds[1]);
}

TEST_F(ProcessStart, HelperNameTable) {
  struct Case {
    const char* record;
    const char* role;
    const char* program;
  };
  const Case cases[] = {
      {"calc12", "run", "calc_ru"},   {"CALC12", "run", "CALC_ru"},    {"calc", "run", "calc_ru"},
      {"calcX", "run", "calcX_ru"},   {"calc12x", "run", "calc1_ru"},  {"mvtrx3", "run", "mvtrx_ru"},
      {"MvTrx77", "st", "MvTrx_st"},  {"mvtrxa", "run", "mvtrx_ru"},   {"qd", "run", "qd_ru"},
      {"abcdefgh", "setup", "abcde_se"}, {"ab1234567890", "run", "ab123_ru"}, {"", "run", "_ru"},
  };
  for (const auto& c : cases) EXPECT_STREQ(Proc_HelperProgramName(c.record, c.role), c.program) << c.record;

  // The helper starts with its number and the extra texts.
  Script(bin_ + "/calc_ru", "exec \"$CDX_BIN/args\" \"$@\"");
  int32_t pid = Proc_StartHelperEx("calc12", "run", 4, "second", "third one");
  ASSERT_GT(pid, 0);
  int code = -1;
  ASSERT_EQ(plat::WaitProcess(pid, 10000, &code), 0);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(ReadAll(Root() + "/args.out"), "3\n4\nsecond\nthird one\n");
  pid = Proc_StartHelper("CALC7", "run", 0);
  ASSERT_EQ(pid, -1);  // CALC_ru does not exist: names are exact on this system
  EXPECT_EQ(errno, 2);
}

TEST_F(ProcessStart, PriorityIsBestEffort) {
  const char* args[] = {"sleep", "5", nullptr};
  int32_t pid = Proc_Start(args);
  ASSERT_GT(pid, 0);
  EXPECT_EQ(plat::SetPriority(pid, plat::PriorityClass::kIdle), 0);
  EXPECT_EQ(plat::SetPriority(pid, plat::PriorityClass::kHigh), 0);
  ::kill(pid, SIGKILL);
  int code = 0;
  ASSERT_EQ(plat::WaitProcess(pid, 10000, &code), 0);
  EXPECT_EQ(code, 128 + SIGKILL);
  EXPECT_EQ(plat::SetPriority(pid, plat::PriorityClass::kNormal), -1);
}

}  // namespace
