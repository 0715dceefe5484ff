// Messages for the event log, here its text-file form.
#include "cdxlib/sys/eventlog.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/error.h"
#include "platform/eventlog.h"

namespace {

TEST(ReportSystemEventTest, AppendsTimeDateAndMessageToTheFileLogAndNeverFails) {
  setenv("CDXPLAT_EVENTLOG", "file", 1);
  std::filesystem::remove(plat::EventLogFilePath());
  errno = 5;
  plat::SetLastError(5);
  ReportSystemEvent(nullptr, plat::kEventError, "first");
  ReportSystemEvent("\\\\FARAWAY", plat::kEventError, "lost");  // another machine: dropped silently
  ReportSystemEvent("", plat::kEventInformation, "second");
  EXPECT_EQ(errno, 5);
  EXPECT_EQ(plat::GetLastError(), 5u);
  unsetenv("CDXPLAT_EVENTLOG");
  std::ifstream in(plat::EventLogFilePath(), std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // "HH:MM:SS MM/DD/YY " before each message, one entry a line.
  auto stampAt = [&](size_t at) {
    const char* form = "00:00:00 00/00/00 ";
    if (text.size() < at + 18) return false;
    for (size_t i = 0; i < 18; ++i) {
      const char c = text[at + i];
      if (form[i] == '0' ? !(c >= '0' && c <= '9') : c != form[i]) return false;
    }
    return true;
  };
  ASSERT_EQ(text.size(), 18 + 6 + 18 + 7u) << text;
  EXPECT_TRUE(stampAt(0)) << text;
  EXPECT_EQ(text.substr(18, 6), "first\n");
  EXPECT_TRUE(stampAt(24)) << text;
  EXPECT_EQ(text.substr(42), "second\n");
}

}  // namespace
