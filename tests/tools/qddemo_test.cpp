// The demo runs its scenario against a real scanner and ends cleanly.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "support/child.h"

TEST(QdDemo, ShowsScansAndTheAlarmAndEndsCleanly) {
  std::string cmd = testsupport::BinPath("qddemo") + " --seconds 6 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int status = pclose(p);
  EXPECT_EQ(status, 0) << out;
  EXPECT_NE(out.find("scan 1 "), std::string::npos) << out;
  EXPECT_NE(out.find("ALARM      QA2 LEVEL1   high  value 100.0"), std::string::npos) << out;
  EXPECT_NE(out.find("qd_poll ended with code 0"), std::string::npos) << out;
}

// With --log each scan's values go into a binary log and come back through
// the command client's in-process source, matching what was logged.
TEST(QdDemo, LogsTheScansAndReadsThemBackThroughTheCommandClient) {
  std::string cmd = testsupport::BinPath("qddemo") + " --seconds 6 --log 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int status = pclose(p);
  EXPECT_EQ(status, 0) << out;
  EXPECT_NE(out.find("log: read back through the command client: record "), std::string::npos) << out;
  EXPECT_NE(out.find(", 0 mismatches"), std::string::npos) << out;
  EXPECT_EQ(out.find("MISMATCH"), std::string::npos) << out;
  EXPECT_NE(out.find("processors of the log: 1,USERAA,DEMO1 CHANNELS,QA:16,0,A;"), std::string::npos) << out;
  EXPECT_NE(out.find("qd_poll ended with code 0"), std::string::npos) << out;
}
