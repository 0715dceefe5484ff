// The demo runs its scenario against a real scanner and ends cleanly.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "cdxlib/client/srvclient.h"
#include "logdata/localsource.h"
#include "logdata/logformat.h"
#include "platform/timezone.h"
#include "support/child.h"
#include "support/tool_run.h"

namespace {

// The text after `key` up to the end of its line, or "".
std::string LineAfter(const std::string& out, const std::string& key) {
  size_t at = out.find(key);
  if (at == std::string::npos) return "";
  at += key.size();
  return out.substr(at, out.find('\n', at) - at);
}

}  // namespace

TEST(QdDemo, ShowsScansAndTheAlarmAndEndsCleanly) {
  std::string cmd = testsupport::BinPath("qddemo") + " --seconds 6 2>&1";
  const testsupport::ToolResult run = testsupport::RunShell(cmd);
  const std::string& out = run.out;
  EXPECT_EQ(run.rc, 0) << out;
  EXPECT_NE(out.find("scan 1 "), std::string::npos) << out;
  EXPECT_NE(out.find("ALARM      QA2 LEVEL1   high  value 100.0"), std::string::npos) << out;
  EXPECT_NE(out.find("qd_poll ended with code 0"), std::string::npos) << out;
}

// With --log each scan's values go into a binary log and come back through
// the command client's in-process source, matching what was logged.
TEST(QdDemo, LogsTheScansAndReadsThemBackThroughTheCommandClient) {
  std::string cmd = testsupport::BinPath("qddemo") + " --seconds 6 --log --keep 2>&1";
  const testsupport::ToolResult run = testsupport::RunShell(cmd);
  const std::string& out = run.out;
  EXPECT_EQ(run.rc, 0) << out;
  EXPECT_NE(out.find("log: read back through the command client: record "), std::string::npos) << out;
  EXPECT_NE(out.find(", 0 mismatches"), std::string::npos) << out;
  EXPECT_EQ(out.find("MISMATCH"), std::string::npos) << out;
  EXPECT_NE(out.find("processors of the log: 1,USERAA,DEMO1 CHANNELS,QA:16,0,A;"), std::string::npos) << out;
  EXPECT_NE(out.find("qd_poll ended with code 0"), std::string::npos) << out;

  // The log is closed as a logger closes it: the header holds the stop time
  // and the record count, and the time-zone record of the writer, which "TS"
  // answers.
  const std::string instance = LineAfter(out, "qddemo: instance ");
  const std::string dir = LineAfter(out, "qddemo: logging each scan into ");
  ASSERT_FALSE(instance.empty()) << out;
  ASSERT_FALSE(dir.empty()) << out;
  size_t counted = out.find(" records logged, ");
  ASSERT_NE(counted, std::string::npos);
  size_t lineStart = out.rfind('\n', counted) + 1;
  const uint32_t logged = uint32_t(atoi(out.c_str() + lineStart + strlen("qddemo: ")));
  EXPECT_GT(logged, 0u);
  std::string odl;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    if (e.path().extension() == ".odl") odl = e.path().string();
  ASSERT_FALSE(odl.empty());
  uint8_t head[kLogFileHeaderSize];
  int fd = open(odl.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0) << odl;
  ASSERT_EQ(pread(fd, head, sizeof head, 0), ssize_t(sizeof head));
  close(fd);
  LogHeader h{};
  DecodeLogHeader(head, &h);
  EXPECT_EQ(h.recordCount, logged);
  EXPECT_GE(h.stop.seconds, h.start.seconds);
  EXPECT_NE(h.stop.seconds, 0);
  EXPECT_EQ(h.endOffset, h.headerLength + logged * h.recordLength);
  EXPECT_EQ(std::filesystem::file_size(odl), h.endOffset);

  plat::TimeZoneInformation zone{};
  ASSERT_EQ(plat::GetTimeZoneInformation(&zone), 0);
  Local_InstallTransport();
  char reply[512];
  uint32_t length = sizeof reply;
  ASSERT_GT(Srv_SendRequest(dir.c_str(), "TS", reply, &length), 0);
  size_t text = strnlen(reply, length);
  ASSERT_EQ(length, text + 1 + sizeof zone);
  EXPECT_EQ(memcmp(reply + text + 1, &zone, sizeof zone), 0) << "TS answers another zone record";
  Srv_CloseAll();
  std::filesystem::remove_all(instance);
}
