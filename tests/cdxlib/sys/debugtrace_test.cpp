#include "cdxlib/sys/debugtrace.h"

#include <cstring>
#include <filesystem>
#include <functional>
#include <sys/stat.h>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "cdxlib/sys/registry.h"
#include "platform/debugout.h"
#include "platform/root.h"
#include "support/child.h"

namespace {

using namespace plat;

std::mutex g_linesMutex;
std::vector<std::string> g_lines;

void Capture(const char* text) {
  std::lock_guard<std::mutex> lock(g_linesMutex);
  g_lines.push_back(text);
}

std::vector<std::string> TakeLines() {
  std::lock_guard<std::mutex> lock(g_linesMutex);
  return std::exchange(g_lines, {});
}

const char* const kKey = "SOFTWARE\\Quillomatic\\Coordinatrix";

void SetValue(const char* name, const char* text) {
  HKEY k = nullptr;
  ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, kKey, 0, KEY_ALL_ACCESS, &k, nullptr), 0u);
  ASSERT_EQ(RegSetValueEx(k, name, REG_SZ, text, static_cast<uint32_t>(std::strlen(text) + 1)), 0u);
  RegCloseKey(k);
}

// Sets a value from another process, as an administrator's tool would.
void SetValueElsewhere(const char* name, const char* text) {
  pid_t p = testsupport::ForkChild([&] {
    HKEY k = nullptr;
    if (RegCreateKeyEx(HKEY_LOCAL_MACHINE, kKey, 0, KEY_SET_VALUE, &k, nullptr) != 0) return 1;
    uint32_t rc = RegSetValueEx(k, name, REG_SZ, text, static_cast<uint32_t>(std::strlen(text) + 1));
    RegCloseKey(k);
    return rc == 0 ? 0 : 2;
  });
  ASSERT_EQ(testsupport::WaitChild(p, 10000), 0);
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class DebugTrace : public ::testing::Test {
 protected:
  void SetUp() override {
    SetDebugOutputHook(Capture);
    RegDeleteTree(HKEY_LOCAL_MACHINE, kKey);
    TakeLines();
  }
  void TearDown() override {
    Dbg_DestroyTrace();
    SetDebugOutputHook(nullptr);
  }
};

TEST_F(DebugTrace, SwitchingOnAndOffWhileRunningTakesEffectAtTheNextWrite) {
  SetValue("qd_Debug", "OFF");
  Dbg_CreateTrace("qd");
  EXPECT_EQ(Dbg_Log("silent\n"), 0);
  EXPECT_FALSE(Dbg_Trace()->IsActive());

  SetValueElsewhere("qd_Debug", "on please");
  EXPECT_EQ(Dbg_Log("heard\n"), 1);
  EXPECT_EQ(TakeLines(), std::vector<std::string>{"qd : heard\n"});

  SetValueElsewhere("qd_Debug", "OFF");
  EXPECT_EQ(Dbg_Log("silent again\n"), 0);
  EXPECT_TRUE(TakeLines().empty());

  // Another module's switch is not this trace's.
  SetValueElsewhere("other_Debug", "ON");
  EXPECT_EQ(Dbg_Log("still silent\n"), 0);
}

TEST_F(DebugTrace, LinesAreAssembledWithTheModulePrefix) {
  SetValue("qd_Debug", "ON");
  Dbg_CreateTrace("qd");
  Dbg_Log("abc");
  EXPECT_TRUE(TakeLines().empty());
  Dbg_Log("def\n");
  EXPECT_EQ(TakeLines(), std::vector<std::string>{"qd : abcdef\n"});
  const unsigned char bytes[] = {0x01, 0xAB};
  Dbg_HexDump(bytes, 2);
  Dbg_Log("\n");
  EXPECT_EQ(TakeLines(), std::vector<std::string>{"qd : 0x01 0xab \n"});

  // A line too long for the buffer keeps its beginning and the end of the
  // last text, and stops at 4999 characters.
  Dbg_Log(std::string(3000, 'a').c_str());
  Dbg_Log((std::string(3000, 'b') + "\n").c_str());
  auto lines = TakeLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].size(), 4999u);
  EXPECT_EQ(lines[0].substr(0, 8), "qd : aaa");
  EXPECT_EQ(lines[0].back(), '\n');
  EXPECT_EQ(lines[0][lines[0].size() - 2], 'b');
}

TEST_F(DebugTrace, TypeChangesWhileOnWaitForTheNextSwitchOn) {
  const std::string file = Root() + "/trace.txt";
  SetValue("qd_DebugFile", file.c_str());
  SetValue("qd_Debug", "ON");
  Dbg_CreateTrace("qd");
  EXPECT_EQ(Dbg_Trace()->Flags(), CDebugTrace::kDebugging);
  SetValueElsewhere("qd_DebugType", "FILE");
  Dbg_Log("one\n");
  EXPECT_EQ(Dbg_Trace()->Flags(), CDebugTrace::kDebugging);
  SetValueElsewhere("qd_Debug", "OFF");
  Dbg_Log("x");
  SetValueElsewhere("qd_Debug", "ON");
  Dbg_Log("two\n");
  EXPECT_EQ(Dbg_Trace()->Flags(), CDebugTrace::kDebugging | CDebugTrace::kFile);
  EXPECT_EQ(ReadAll(file), "two\n");
}

// Console and file together, in a child whose standard output is a file.
TEST_F(DebugTrace, ConsoleAndFileOutputs) {
  const std::string file = Root() + "/trace-file.txt";
  const std::string console = Root() + "/console.txt";
  SetValue("dev_Debug", "ON");
  SetValue("dev_DebugType", "CON+FILE");
  SetValue("dev_DebugFile", file.c_str());
  {
    std::ofstream old(file);
    old << "from an earlier run\n";
  }
  pid_t p = testsupport::ForkChild([&] {
    int fd = ::open(console.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    ::dup2(fd, 1);
    ::close(fd);
    Dbg_CreateTrace("dev");
    Dbg_Log("hello ");
    Dbg_Log("world\n");
    Dbg_DestroyTrace();
    return 0;
  });
  ASSERT_EQ(testsupport::WaitChild(p, 10000), 0);
  EXPECT_EQ(ReadAll(file), "hello world\n");
  EXPECT_EQ(ReadAll(console), "hello world\n");
}

TEST_F(DebugTrace, ConcurrentWritersNeverTearALine) {
  const std::string file = Root() + "/threads.txt";
  SetValue("mt_Debug", "ON");
  SetValue("mt_DebugType", "FILE");
  SetValue("mt_DebugFile", file.c_str());
  Dbg_CreateTrace("mt");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      const std::string line = std::string(40, static_cast<char>('a' + t)) + "\n";
      for (int i = 0; i < 200; ++i) Dbg_Log(line.c_str());
    });
  }
  for (auto& th : threads) th.join();
  Dbg_DestroyTrace();
  std::istringstream in(ReadAll(file));
  std::string line;
  int count = 0;
  while (std::getline(in, line)) {
    ++count;
    ASSERT_EQ(line.size(), 40u);
    ASSERT_EQ(line.find_first_not_of(line[0]), std::string::npos) << line;
  }
  EXPECT_EQ(count, 800);
  auto lines = TakeLines();
  ASSERT_EQ(lines.size(), 800u);
  for (const auto& l : lines) ASSERT_EQ(l.size(), 5u + 41u) << l;
}

TEST_F(DebugTrace, TheTraceKeyIsNeverRedirected) {
  SetValue("rd_Debug", "ON");
  Reg_BeginUserHiveRedirect();
  Dbg_CreateTrace("rd");
  Reg_EndUserHiveRedirect();
  EXPECT_EQ(Dbg_Log("machine\n"), 1);
}

TEST_F(DebugTrace, CounterReferences) {
  struct Case {
    const char* text;
    int ok;
    const char* prefix;
    int number;
  };
  const Case cases[] = {
      {"AB12", 1, "AB", 12}, {"x7", 1, "X", 7},  {"A10000", 1, "A", 10000}, {"ai0001", 1, "AI", 1},
      {"ABC1", 0, "", 0},    {"12", 0, "", 0},   {"A0", 0, "", 0},          {"A10001", 0, "", 0},
      {"AB", 0, "", 0},      {"A1B", 0, "", 0},  {"AB123456", 0, "", 0},    {"", 0, "", 0},
      {"A 1", 0, "", 0},
  };
  for (const auto& c : cases) {
    char prefix[3] = {'z', 'z', 'z'};
    int number = 99;
    EXPECT_EQ(CDebugTrace::ParseCounterRef(c.text, prefix, &number), c.ok) << c.text;
    EXPECT_STREQ(prefix, c.prefix) << c.text;
    EXPECT_EQ(number, c.number) << c.text;
  }
  // Read when debugging switches on, cleared when it switches off.
  SetValue("cr_Debug", "ON");
  SetValue("cr_DebugRxCount", "ai5");
  SetValue("cr_DebugTxCRCErrorCount", "bad!");
  Dbg_CreateTrace("cr");
  EXPECT_STREQ(Dbg_Trace()->RxRef(CDebugTrace::kCount).prefix, "AI");
  EXPECT_EQ(Dbg_Trace()->RxRef(CDebugTrace::kCount).number, 5);
  EXPECT_EQ(Dbg_Trace()->TxRef(CDebugTrace::kCrcErrorCount).number, 0);
  Dbg_RxCount(3);  // counted into nothing
  SetValueElsewhere("cr_Debug", "OFF");
  Dbg_Log("x");
  EXPECT_EQ(Dbg_Trace()->RxRef(CDebugTrace::kCount).number, 0);
}

TEST(DebugTraceAbsent, FunctionsWithoutATraceDoNothing) {
  EXPECT_EQ(Dbg_Log("nothing\n"), 0);
  Dbg_HexDump("ab", 2);
  Dbg_TxGoodPacketCount(1);
  EXPECT_EQ(Dbg_Trace(), nullptr);
}

}  // namespace

// The trace file's name comes from the registry, which a local user may
// have written: what is at that name is never followed, and only a regular
// file of this process's user is truncated.
class TraceFile : public DebugTrace {
 protected:
  // Switches the trace to FILE at path and writes one line.
  void TraceTo(const std::string& path) {
    SetValue("tf_Debug", "ON");
    SetValue("tf_DebugType", "FILE");
    SetValue("tf_DebugFile", path.c_str());
    Dbg_CreateTrace("tf");
    Dbg_Log("traced\n");
    Dbg_DestroyTrace();
  }
  void Plant(const std::string& path, const std::string& text) {
    std::ofstream f(path, std::ios::binary);
    f << text;
  }
};

TEST_F(TraceFile, ANewFileHonoursTheUmaskAndAnOwnFileStartsAnew) {
  const std::string path = Root() + "/own.txt";
  const mode_t old = ::umask(027);
  TraceTo(path);
  ::umask(old);
  struct stat sb;
  ASSERT_EQ(::stat(path.c_str(), &sb), 0);
  EXPECT_EQ(sb.st_mode & 0777, 0640u);
  Plant(path, "an earlier run's trace, longer than the new one\n");
  TraceTo(path);
  EXPECT_EQ(ReadAll(path), "traced\n");
}

TEST_F(TraceFile, WhatIsNotThisUsersOwnRegularFileIsLeftAlone) {
  const std::string victim = Root() + "/victim.txt";
  const std::string content = "someone else's data\n";
  struct Case {
    const char* name;
    std::function<std::string()> plant;  // returns the trace path
  } cases[] = {
      {"symbolic link", [&] {
         const std::string link = Root() + "/link.txt";
         EXPECT_EQ(::symlink(victim.c_str(), link.c_str()), 0);
         return link;
       }},
      {"dangling symbolic link", [&] {
         const std::string link = Root() + "/dangling.txt";
         EXPECT_EQ(::symlink((Root() + "/made-through-the-link").c_str(), link.c_str()), 0);
         return link;
       }},
      {"second hard link", [&] {
         const std::string link = Root() + "/hardlink.txt";
         EXPECT_EQ(::link(victim.c_str(), link.c_str()), 0);
         return link;
       }},
      {"named pipe", [&] {
         const std::string fifo = Root() + "/fifo";
         EXPECT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
         return fifo;
       }},
      {"directory", [&] {
         const std::string dir = Root() + "/adir";
         EXPECT_EQ(::mkdir(dir.c_str(), 0700), 0);
         return dir;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Plant(victim, content);
    const std::string path = c.plant();
    TraceTo(path);  // must neither hang nor write
    EXPECT_EQ(ReadAll(victim), content);
    struct stat sb;
    EXPECT_NE(::stat((Root() + "/made-through-the-link").c_str(), &sb), 0);
    std::vector<std::string> lines = TakeLines();
    bool noted = false;
    for (const auto& l : lines) noted |= l.find("not used") != std::string::npos;
    EXPECT_TRUE(noted) << "the refusal is told on the debugger output";
    std::filesystem::remove_all(path);
  }
}

TEST_F(TraceFile, AFileOfAnotherUserIsNotTruncated) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a file to another user";
  const std::string path = Root() + "/foreign.txt";
  Plant(path, "nobody's file\n");
  ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
  TraceTo(path);
  EXPECT_EQ(ReadAll(path), "nobody's file\n");
}
