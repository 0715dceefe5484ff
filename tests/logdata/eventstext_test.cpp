// The events text file beside a log: sections, stamped lines in time order,
// atomic replacement, Windows-1252 text.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "logdata/eventstext.h"
#include "logdata/logfilestore.h"
#include "platform/files.h"
#include "support/child.h"

namespace {

std::string Dir(const char* name) {
  std::string d = std::string(getenv("CDXPLAT_ROOT")) + "/" + name;
  plat::MakeDirectories(d);
  return d;
}

std::string Slurp(const std::string& p) {
  std::string s;
  int fd = open(p.c_str(), O_RDONLY);
  char b[4096];
  ssize_t r;
  while (fd >= 0 && (r = read(fd, b, sizeof b)) > 0) s.append(b, static_cast<size_t>(r));
  if (fd >= 0) close(fd);
  return s;
}

void Put(const std::string& p, const std::string& s) {
  int fd = open(p.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0666);
  ASSERT_EQ(write(fd, s.data(), s.size()), static_cast<ssize_t>(s.size()));
  close(fd);
}

// 2024-06-05 10:20:30 as wall-clock seconds.
constexpr int32_t kT = 1717582830;

}  // namespace

TEST(EventsText, StampFormsReadAndWritten) {
  EXPECT_EQ(FormatLineStamp({kT, 0, 0}, false), "24/06/05 10:20:30 ");
  EXPECT_EQ(FormatLineStamp({kT, 123, 0}, false), "24/06/05 10:20:30.123 ");
  EXPECT_EQ(FormatLineStamp({kT, 123, 45}, false), "24/06/05 10:20:30.123045 ");
  EXPECT_EQ(FormatLineStamp({kT, 123, 0}, true), "10:20:30.123 05/06/24 ");
  struct {
    const char* line;
    int32_t ms, us;
  } cases[] = {{"24/06/05 10:20:30 text", 0, 0},
               {"24/06/05 10:20:30.123 text", 123, 0},
               {"24/06/05 10:20:30.123045 text", 123, 45},
               {"10:20:30.123 05/06/24 text", 123, 0},
               {"10:20:30 05/06/24 text", 0, 0}};
  for (auto& c : cases) {
    LineStamp s{};
    const char* rest = ParseLineStamp(c.line, &s);
    ASSERT_NE(rest, nullptr) << c.line;
    EXPECT_STREQ(rest, "text") << c.line;
    EXPECT_EQ(s.seconds, kT) << c.line;
    EXPECT_EQ(s.milliseconds, c.ms) << c.line;
    EXPECT_EQ(s.microseconds, c.us) << c.line;
  }
  EXPECT_EQ(ParseLineStamp("no stamp here", nullptr), nullptr);
}

TEST(EventsText, SectionsReadWithOrWithoutBrackets) {
  std::string p = Dir("sections") + "/L240605_102030.txt";
  Put(p, "[HEADER]\r\nname: x\r\n[TEXT]\r\n10:20:30.123 05/06/24 started\r\n24/06/05 11:00:00 later\r\n[OTHER]\r\nz\r\n");
  char buf[200];
  int size = sizeof buf;
  EXPECT_EQ(ReadTextSection(p, "TEXT", buf, &size), 2);
  EXPECT_STREQ(buf, "24/06/05 10:20:30.123 started\r\n24/06/05 11:00:00 later\r\n");
  int size2 = sizeof buf;
  char buf2[200];
  EXPECT_EQ(ReadTextSection(p, "[TEXT]", buf2, &size2), 2);
  EXPECT_STREQ(buf, buf2);
  EXPECT_EQ(size, static_cast<int>(strlen(buf) + 1));
  // Too small: the lines that fit, and the size gathered so far + 1.
  char small[40];
  size = sizeof small;
  EXPECT_EQ(ReadTextSection(p, "TEXT", small, &size), 1);
  EXPECT_EQ(size, 32);
  size = 0;
  EXPECT_EQ(ReadTextSection(p, "MISSING", nullptr, &size), 0);
  EXPECT_EQ(ReadTextSection(p + ".none", "TEXT", nullptr, &size), -2);
  EXPECT_EQ(ReadTextSection(p, nullptr, nullptr, &size), -1);
}

TEST(EventsText, StampedLinesKeepTimeOrder) {
  std::string p = Dir("stamped") + "/L.txt";
  Put(p, "[TEXT]\r\n[NEXT]\r\nkeep\r\n");
  ASSERT_EQ(WriteStampedLine(p, "TEXT", {kT + 10, 0, 0}, "b", nullptr), 0);
  ASSERT_EQ(WriteStampedLine(p, "TEXT", {kT, 0, 0}, "a", nullptr), 0);
  ASSERT_EQ(WriteStampedLine(p, "TEXT", {kT + 20, 0, 0}, "c", nullptr), 0);  // latest: before [NEXT]
  EXPECT_EQ(Slurp(p),
            "[TEXT]\r\n24/06/05 10:20:30 a\r\n24/06/05 10:20:40 b\r\n24/06/05 10:20:50 c\r\n[NEXT]\r\nkeep\r\n");
  // Same stamp, no key, the new text starts the old one: replaced.
  ASSERT_EQ(WriteStampedLine(p, "TEXT", {kT + 10, 0, 0}, "B", nullptr), 0);
  // Same stamp with a key: a different text replaces the keyed line, an
  // empty text deletes it.
  ASSERT_EQ(WriteStampedLine(p, "TEXT", {kT + 20, 0, 0}, "c2", "c"), 0);
  EXPECT_EQ(Slurp(p),
            "[TEXT]\r\n24/06/05 10:20:30 a\r\n24/06/05 10:20:40 B\r\n24/06/05 10:20:50 c2\r\n[NEXT]\r\nkeep\r\n");
  ASSERT_EQ(WriteStampedLine(p, "TEXT", {kT + 20, 0, 0}, "", "c"), 0);
  EXPECT_EQ(Slurp(p), "[TEXT]\r\n24/06/05 10:20:30 a\r\n24/06/05 10:20:40 B\r\n[NEXT]\r\nkeep\r\n");
  // A section that is missing is added at the end.
  ASSERT_EQ(WriteStampedLine(p, "[POSITIONS]", {kT, 0, 0}, "1.500000", nullptr), 0);
  EXPECT_NE(Slurp(p).find("keep\r\n[POSITIONS]\r\n24/06/05 10:20:30 1.500000\r\n"), std::string::npos);
}

TEST(EventsText, SectionReplacedWholeAndAtomically) {
  std::string d = Dir("replace");
  std::string p = d + "/L.txt";
  Put(p, "[HEADER]\r\nold1\r\nold2\r\n[TEXT]\r\nt\r\n");
  ASSERT_EQ(WriteTextSection(p, "HEADER", "new\r\n"), 1);
  EXPECT_EQ(Slurp(p), "[HEADER]\r\nnew\r\n[TEXT]\r\nt\r\n");
  ASSERT_EQ(WriteTextSection(p, "[X_1_FORMULAE]", "f=1"), 1);
  EXPECT_EQ(Slurp(p), "[HEADER]\r\nnew\r\n[TEXT]\r\nt\r\n[X_1_FORMULAE]\r\nf=1\r\n");
  // No temporary file is left beside it.
  DIR* dir = opendir(d.c_str());
  int files = 0;
  while (dirent* e = readdir(dir))
    if (e->d_name[0] != '.') ++files;
  closedir(dir);
  EXPECT_EQ(files, 1);
  // A rewrite that cannot be made leaves the file as it was.
  chmod(d.c_str(), 0555);
  if (access((d + "/probe").c_str(), F_OK) != 0 && geteuid() != 0) {
    EXPECT_EQ(WriteTextSection(p, "HEADER", "lost?"), -1);
    EXPECT_EQ(Slurp(p), "[HEADER]\r\nnew\r\n[TEXT]\r\nt\r\n[X_1_FORMULAE]\r\nf=1\r\n");
  }
  chmod(d.c_str(), 0777);
}

TEST(EventsText, StoreTextOperationsUseWindows1252) {
  std::string d = Dir("storetext");
  std::string odl = d + "/FAST240605_102030.odl";
  CLogFileStore s;
  LogHeader h{};
  h.marker = kLogHeaderMarker;
  h.recordLength = 18;
  h.headerLength = 900;
  ASSERT_EQ(s.CreateLogFile(odl.c_str(), &h, nullptr, nullptr), 0);
  const char16_t text[] = u"Temp 20\u00B0C \u20AC \u4E2D";
  ASSERT_EQ(s.WriteTextW(kT, text, nullptr, nullptr), 0);
  ASSERT_EQ(s.WriteHeaderText("name: well 1"), 0);
  ASSERT_EQ(s.WritePosition(kT, 1, 2.5f), 0);
  std::string f = Slurp(d + "/FAST240605_102030.txt");
  EXPECT_NE(f.find("[TEXT]\r\n24/06/05 10:20:30 Temp 20\xB0" "C \x80 ?\r\n"), std::string::npos) << f;
  EXPECT_NE(f.find("[HEADER]\r\nname: well 1\r\n"), std::string::npos);
  EXPECT_NE(f.find("[POSITIONS]\r\n24/06/05 10:20:30 2.500000\r\n"), std::string::npos);
  char16_t w[100];
  int size = 100;
  EXPECT_EQ(s.ReadTextW("TEXT", w, &size, 0, 0), 1);
  EXPECT_EQ(std::u16string(w), u"24/06/05 10:20:30 Temp 20\u00B0C \u20AC ?\r\n");
  int32_t when = 0;
  EXPECT_EQ(s.GetLastTextTime(&when), 0);
  EXPECT_GT(when, 0);
  s.Close();
}

// Two processes and a thread insert lines into one text file at the same
// time, while a fourth writer replaces another section: no line is lost.
TEST(EventsText, ConcurrentWritersLoseNoLine) {
  std::string d = Dir("concurrent");
  std::string f = d + "/LOG240605_102030.txt";
  Put(f, "[HEADER]\r\nx\r\n[TEXT]\r\n");
  constexpr int kLines = 60;
  auto writer = [&](int id) {
    for (int i = 0; i < kLines; ++i) {
      char text[64];
      snprintf(text, sizeof text, "writer %d line %d", id, i);
      if (WriteStampedLine(f, "[TEXT]", LineStamp{kT + i, id, 0}, text, nullptr) != 0) return 1;
    }
    return 0;
  };
  pid_t a = testsupport::ForkChild([&] { return writer(1); });
  pid_t b = testsupport::ForkChild([&] { return writer(2); });
  pid_t c = testsupport::ForkChild([&] {
    for (int i = 0; i < kLines; ++i) {
      std::string h = "header " + std::to_string(i) + "\r\n";
      if (WriteTextSection(f, "[HEADER]", h.c_str()) != 1) return 1;
    }
    return 0;
  });
  EXPECT_EQ(writer(3), 0);
  EXPECT_EQ(testsupport::WaitChild(a, 60000), 0);
  EXPECT_EQ(testsupport::WaitChild(b, 60000), 0);
  EXPECT_EQ(testsupport::WaitChild(c, 60000), 0);
  std::string all = Slurp(f);
  for (int id = 1; id <= 3; ++id) {
    for (int i = 0; i < kLines; ++i) {
      std::string want = "writer " + std::to_string(id) + " line " + std::to_string(i) + "\r\n";
      EXPECT_NE(all.find(want), std::string::npos) << want;
    }
  }
  EXPECT_NE(all.find("[HEADER]\r\nheader 59\r\n[TEXT]"), std::string::npos);
}
