// cdxipc values: a running scanner's channels as a table, read by a user
// from the tool's output.
#include <gtest/gtest.h>

#include <atomic>
#include <sstream>
#include <vector>
#include <thread>

#include "scanner/qd_fixture.h"
#include "support/tool_run.h"
#include "tools/cdxipc/valuetable.h"

namespace qdtest {
namespace {

using ValueView = Installation;

// True when a line of out starts with the words given (split at blanks);
// a word "*" stands for any one word.
bool HasRow(const std::string& out, const std::vector<std::string>& words, bool whole = false) {
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream in(line);
    std::vector<std::string> got;
    for (std::string w; in >> w;) got.push_back(w);
    if (got.size() < words.size() || (whole && got.size() != words.size())) continue;
    bool same = true;
    for (size_t i = 0; i < words.size() && same; ++i) same = words[i] == "*" || words[i] == got[i];
    if (same) return true;
  }
  return false;
}

TEST_F(ValueView, TableShowsTheDevicesChannelsAsPublished) {
  ASSERT_GT(Start(), 0);
  ASSERT_TRUE(WaitReady());
  plc_.SetWord(1, ByteAddress(11), Bcd(120));  // LEVEL1 over its high alarm limit
  ASSERT_TRUE(Scan());
  const std::string cdxipc = testsupport::BinPath("cdxipc");
  for (const char* name : {"1", "dev1"}) {
    auto r = testsupport::RunTool({cdxipc, "values", name});
    ASSERT_EQ(r.rc, 0) << r.out;
    EXPECT_NE(r.out.find("device 1 dev1 (qd_dev1): running, scanner pid " + std::to_string(pid_)), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("status: \"\""), std::string::npos) << r.out;
    EXPECT_TRUE(HasRow(r.out, {"last", "scan", "*", "ms,", "next", "scan", "due"})) << r.out;
    EXPECT_EQ(r.out.find("next scan due none"), std::string::npos) << r.out;
    EXPECT_TRUE(HasRow(r.out, {"module", "QA:", "16", "channels,", "error", "code", "0,"})) << r.out;
    EXPECT_TRUE(HasRow(r.out, {"1", "FLOW1", "285", "BAR", "ok"}, true)) << r.out;  // scaled x2 + 1
    EXPECT_TRUE(HasRow(r.out, {"2", "LEVEL1", "120", "BAR", "ALARM", "HIGH"})) << r.out;
    EXPECT_TRUE(HasRow(r.out, {"7", "SPARE", "*", "BAR", "DISABLED,", "BAD"})) << r.out;
    EXPECT_TRUE(HasRow(r.out, {"13", "VALVE1", "1", "ok"}, true)) << r.out;  // digital: its state
    EXPECT_TRUE(HasRow(r.out, {"14", "VALVE2", "0", "ok"}, true)) << r.out;
  }
  // A bare module prefix: the table without the device lines.
  auto bare = testsupport::RunTool({cdxipc, "values", "QA"});
  ASSERT_EQ(bare.rc, 0) << bare.out;
  EXPECT_EQ(bare.out.find("device "), std::string::npos) << bare.out;
  EXPECT_TRUE(HasRow(bare.out, {"1", "FLOW1", "285"})) << bare.out;

  // Node 2 silent: its channels show BAD, the device its status text.
  plc_.SetFault(2, df1sim::Fault::kSilent, df1sim::kAlways);
  ASSERT_TRUE(Scan());
  ASSERT_TRUE(Scan());
  auto bad = testsupport::RunTool({cdxipc, "values", "dev1"});
  EXPECT_NE(bad.out.find("BAD"), std::string::npos) << bad.out;
  EXPECT_TRUE(HasRow(bad.out, {"9", "TEMP1"})) << bad.out;
  EXPECT_EQ(bad.out.find("status: \"\""), std::string::npos) << bad.out;

  auto none = testsupport::RunTool({cdxipc, "values", "nosuch"});
  EXPECT_EQ(none.rc, 1) << none.out;
  EXPECT_NE(none.out.find("no device or module set nosuch"), std::string::npos) << none.out;
}

TEST_F(ValueView, WatchPrintsTheTableAtEachNotification) {
  ASSERT_GT(Start(), 0);
  ASSERT_TRUE(WaitReady());
  std::atomic<bool> done{false};
  testsupport::ToolResult r;
  std::thread watcher([&] {
    r = testsupport::RunTool({testsupport::BinPath("cdxipc"), "values", "1", "--watch", "--count", "3"}, 60000);
    done = true;
  });
  // Scans until the watcher has seen enough notifications.
  int64_t end = plat::MonotonicMs() + 50000;
  while (!done && plat::MonotonicMs() < end) {
    Code(300, 2000);
    plat::SleepMs(20);
  }
  watcher.join();
  EXPECT_EQ(r.rc, 0) << r.out;
  size_t tables = 0;
  for (size_t at = 0; (at = r.out.find("--- ", at)) != std::string::npos; ++at) ++tables;
  EXPECT_EQ(tables, 3u) << r.out;
  EXPECT_TRUE(HasRow(r.out, {"1", "FLOW1", "285"})) << r.out;
}

TEST(ValueTableWords, StatusWordsInWords) {
  struct Case {
    uint32_t status;
    bool digital, enabled;
    const char* words;
  } cases[] = {
      {0x80, false, true, "ok"},
      {0xA0, false, true, "BAD"},
      {0x8A0, false, true, "BAD, ERROR ALARM"},
      {0x884, false, true, "ALARM HIGH"},
      {0x880, false, true, "ALARM LOW"},
      {0x804, true, true, "ALARM"},
      {0x680, false, true, "WARNING HIGH"},
      {0x480, false, true, "WARNING LOW"},
      {0x098, false, true, "EVENT HIGH"},
      {0x081, false, true, "CHANGED"},
      {0x001, true, true, "ok"},
      {0x0A0, false, false, "DISABLED, BAD"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(valuetable::StatusWords(c.status, c.digital, c.enabled), c.words) << std::hex << c.status;
}

}  // namespace
}  // namespace qdtest
