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
  EXPECT_EQ(text, "dd:dd:dd dd/dd/dd first\ndd:dd:dd dd/dd/dd second\r\n");
  unsetenv("CDXPLAT_EVENTLOG");
}

// One entry a line: a message without a line end gets one, a message that
// carries its own keeps it, and line ends inside a message do not split it.
TEST(EventLog, TextFileHoldsOneEntryALine) {
  setenv("CDXPLAT_EVENTLOG", "file", 1);
  std::remove(plat::EventLogFilePath().c_str());
  const char* messages[] = {"dev1 ai Channel #3 - bad value", "ends with lf\n", "\nCOM Exeption: a \t : b\r\n",
                            "two\r\nlines", ""};
  for (const char* m : messages)
    ASSERT_EQ(plat::ReportEvent(nullptr, "Coordinatrix", plat::kEventError, 0, 102, "", m), 0);
  std::string text = ReadAll(plat::EventLogFilePath());
  for (char& c : text)
    if (std::isdigit(static_cast<unsigned char>(c))) c = 'd';
  EXPECT_EQ(text,
            "dd:dd:dd dd/dd/dd devd ai Channel #d - bad value\n"
            "dd:dd:dd dd/dd/dd ends with lf\n"
            "dd:dd:dd dd/dd/dd  COM Exeption: a \t : b\r\n"
            "dd:dd:dd dd/dd/dd two  lines\n"
            "dd:dd:dd dd/dd/dd \n");
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
