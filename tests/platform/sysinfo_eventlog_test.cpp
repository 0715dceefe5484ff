#include <cctype>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>

#include "platform/error.h"
#include "platform/eventlog.h"
#include "platform/sysinfo.h"
#include "support/child.h"

namespace {

TEST(SystemInformation, NamesAndPlatform) {
  const std::string computer = plat::ComputerName();
  EXPECT_FALSE(computer.empty());
  EXPECT_LE(computer.size(), plat::kMaxComputerName);
  for (char c : computer) {
    EXPECT_NE(c, '.');
    EXPECT_EQ(c, std::toupper(static_cast<unsigned char>(c)));
  }
  const std::string user = plat::UserName();
  EXPECT_FALSE(user.empty());
  EXPECT_LE(user.size(), plat::kMaxUserName);
  EXPECT_EQ(plat::PlatformId(), 2);
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

TEST(EventLog, TextFileFormAppendsTimeDateAndMessage) {
  setenv("CDXPLAT_EVENTLOG", "file", 1);
  std::remove(plat::EventLogFilePath().c_str());
  ASSERT_EQ(plat::ReportEvent(nullptr, "Coordinatrix", plat::kEventError, 0, 102, "user", "first"), 0);
  // Reports of another process go after the earlier ones.
  pid_t p = testsupport::ForkChild(
      [] { return plat::ReportEvent(".", "Coordinatrix", plat::kEventWarning, 0, 102, "", "second\r\n"); });
  ASSERT_EQ(testsupport::WaitChild(p, 10000), 0);
  // Digits of the time and date shown as 'd'.
  std::string text = ReadAll(plat::EventLogFilePath());
  for (char& c : text)
    if (std::isdigit(static_cast<unsigned char>(c))) c = 'd';
  EXPECT_EQ(text, "dd:dd:dd dd/dd/dd firstdd:dd:dd dd/dd/dd second\r\n");
  unsetenv("CDXPLAT_EVENTLOG");
}

TEST(EventLog, SystemLogByDefaultAndNoRemoteLog) {
  unsetenv("CDXPLAT_EVENTLOG");
  std::remove(plat::EventLogFilePath().c_str());
  EXPECT_EQ(plat::ReportEvent(nullptr, "Coordinatrix", plat::kEventInformation, 0, 102, "", "to syslog"), 0);
  EXPECT_EQ(ReadAll(plat::EventLogFilePath()), "");
  EXPECT_EQ(plat::ReportEvent("\\\\faraway", "Coordinatrix", plat::kEventError, 0, 102, "", "x"), -1);
  EXPECT_EQ(plat::GetLastError(), plat::kErrBadNetPath);
}

}  // namespace
