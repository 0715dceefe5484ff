// The events text file beside a log: sections, stamped lines in time order,
// atomic replacement, Windows-1252 text.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "cdxlib/client/srvclient.h"
#include "cdxlib/sys/registry.h"
#include "cdxlib/sys/timestamp.h"
#include "logdata/eventstext.h"
#include "logdata/logfilecollection.h"
#include "logdata/logfilestore.h"
#include "logdata/loggertext.h"
#include "platform/error.h"
#include "platform/files.h"
#include "support/child.h"
#include "tools/fakesrv/fakesrv.h"

namespace {

std::string Dir(const char* name) {
  std::string d = std::string(getenv("CDXPLAT_ROOT")) + "/" + name;
  std::error_code ec;
  std::filesystem::remove_all(d, ec);  // a test run again starts afresh
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

// A TEXT line stamped time first reads back date first with a fraction of
// the width it was written with: three digits, six digits or none, zeros
// included.
TEST(EventsText, TimeFirstLinesKeepTheirFractionWidth) {
  std::string p = Dir("fractions") + "/F240605_102030.txt";
  Put(p,
      "[TEXT]\r\n10:20:30.000 05/06/24 a\r\n10:20:30.123000 05/06/24 b\r\n10:20:30.000045 05/06/24 c\r\n"
      "10:20:30.123 05/06/24 d\r\n10:20:30 05/06/24 e\r\n");
  char buf[400];
  int size = sizeof buf;
  EXPECT_EQ(ReadTextSection(p, "TEXT", buf, &size), 5);
  EXPECT_STREQ(buf,
               "24/06/05 10:20:30.000 a\r\n24/06/05 10:20:30.123000 b\r\n24/06/05 10:20:30.000045 c\r\n"
               "24/06/05 10:20:30.123 d\r\n24/06/05 10:20:30 e\r\n");
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

namespace {

// The text of a UTF-16 file after its byte-order mark ("" when it has none).
std::u16string Utf16File(const std::string& p) {
  std::string b = Slurp(p);
  if (b.size() < 2 || b.compare(0, 2, "\xFF\xFE") != 0) return u"";
  std::u16string w;
  for (size_t i = 2; i + 1 < b.size(); i += 2)
    w += static_cast<char16_t>(static_cast<unsigned char>(b[i]) | (static_cast<unsigned char>(b[i + 1]) << 8));
  return w;
}

LogHeader TextLogHeader() {
  LogHeader h{};
  h.marker = kLogHeaderMarker;
  h.recordLength = 18;
  h.headerLength = 900;
  return h;
}

void SetEventsSwitch(const char* value) {
  uint32_t type = plat::REG_SZ, size = static_cast<uint32_t>(strlen(value) + 1);
  ASSERT_EQ(Reg_AccessValue(plat::HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillomatic\\Coordinatrix", plat::KEY_SET_VALUE,
                            "EventsTextFile", &type, const_cast<char*>(value), &size),
            0u);
}

struct EventsSwitchOn {
  EventsSwitchOn() { SetEventsSwitch("On"); }
  ~EventsSwitchOn() {
    Reg_DeleteValue(plat::HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillomatic\\Coordinatrix", "EventsTextFile");
  }
};

bool Exists(const std::string& p) {
  struct stat st;
  return lstat(p.c_str(), &st) == 0;
}

}  // namespace

// A log made with a UTF-16 initial text keeps a UTF-16 text file: sections
// are found in it, 8-bit and UTF-16 writes land in its own TEXT section in
// time order, and both kinds of read give the lines.
TEST(EventsText, Utf16TextStaysUtf16ThroughReadsAndWrites) {
  std::string d = Dir("utf16");
  CLogFileCollection c;
  ASSERT_EQ(c.Open(nullptr, d.c_str(), nullptr, "W", kGenericRead | kGenericWrite), 0);
  LogHeader h = TextLogHeader();
  int32_t start = kT;
  const char16_t* initial = u"[HEADER]\r\nWell \u00E9\r\n[TEXT]\r\n24/06/05 10:20:30 Start \u00FC\r\n";
  CLogStore* s = c.CreateLogW(&start, 0, 0, &h, initial, 0, nullptr, 0, nullptr);
  ASSERT_NE(s, nullptr);
  std::string txt = d + "/W240605_102030.txt";
  // Read both ways before any write.
  char buf[300];
  int size = sizeof buf;
  EXPECT_EQ(s->ReadText("HEADER", buf, &size, 0, 0), 1);
  EXPECT_STREQ(buf, "Well \xE9\r\n");
  char16_t w[300];
  size = 300;
  EXPECT_EQ(s->ReadTextW("[TEXT]", w, &size, 0, 0), 1);
  EXPECT_EQ(std::u16string(w), u"24/06/05 10:20:30 Start \u00FC\r\n");
  EXPECT_EQ(size, static_cast<int>(std::u16string(w).size() + 1));
  // An 8-bit write (Windows-1252 é ü €) and a UTF-16 write with a character
  // Windows-1252 cannot hold: both in the UTF-16 TEXT section, in time order.
  ASSERT_EQ(s->WriteText(kT + 20, "narrow \xE9\xFC\x80", nullptr, nullptr), 0);
  ASSERT_EQ(s->WriteTextW(kT + 10, u"wide \u20AC \u4E2D", nullptr, nullptr), 0);
  ASSERT_EQ(s->WriteStampedTextW(LineStamp{kT + 30, 123, 0}, u"ms \u00FC", nullptr, nullptr), 0);
  EXPECT_EQ(Utf16File(txt),
            u"[HEADER]\r\nWell \u00E9\r\n[TEXT]\r\n24/06/05 10:20:30 Start \u00FC\r\n"
            u"24/06/05 10:20:40 wide \u20AC \u4E2D\r\n24/06/05 10:20:50 narrow \u00E9\u00FC\u20AC\r\n"
            u"24/06/05 10:21:00.123 ms \u00FC\r\n");
  EXPECT_EQ(Slurp(txt).find("[TEXT]"), std::string::npos);  // no 8-bit section appended
  size = sizeof buf;
  EXPECT_EQ(s->ReadText("TEXT", buf, &size, 0, 0), 4);
  EXPECT_STREQ(buf,
               "24/06/05 10:20:30 Start \xFC\r\n24/06/05 10:20:40 wide \x80 ?\r\n"
               "24/06/05 10:20:50 narrow \xE9\xFC\x80\r\n24/06/05 10:21:00.123 ms \xFC\r\n");
  // The UTF-16 lines.
  char16_t* lines[8];
  int count = 8;
  size = 300;
  ASSERT_EQ(s->ReadTextLinesW("TEXT", lines, &count, w, &size, 0, 0), 0);
  ASSERT_EQ(count, 4);
  EXPECT_EQ(std::u16string(lines[1]), u"24/06/05 10:20:40 wide \u20AC \u4E2D");
  EXPECT_EQ(std::u16string(lines[3]), u"24/06/05 10:21:00.123 ms \u00FC");
  // A whole section replaced with UTF-16 text, and a keyed deletion.
  ASSERT_EQ(s->WriteHeaderTextW(u"Br\u00FCcke \u20AC"), 0);
  ASSERT_EQ(s->WriteTextW(kT + 10, u"", u"wide", nullptr), 0);
  EXPECT_EQ(Utf16File(txt),
            u"[HEADER]\r\nBr\u00FCcke \u20AC\r\n[TEXT]\r\n24/06/05 10:20:30 Start \u00FC\r\n"
            u"24/06/05 10:20:50 narrow \u00E9\u00FC\u20AC\r\n24/06/05 10:21:00.123 ms \u00FC\r\n");
  s->Destroy(1);
}

// An 8-bit text file stays 8-bit: UTF-16 writes are stored in
// Windows-1252 and the UTF-16 reads give them back.
TEST(EventsText, EightBitTextTakesWideWritesAndReads) {
  std::string d = Dir("eightbit");
  std::string odl = d + "/N240605_102030.odl";
  CLogFileStore s;
  LogHeader h = TextLogHeader();
  ASSERT_EQ(s.CreateLogFile(odl.c_str(), &h, nullptr, nullptr), 0);
  ASSERT_EQ(s.WriteTextW(kT, u"\u00E9 \u00FC \u20AC", nullptr, nullptr), 0);
  ASSERT_EQ(s.WriteText(kT + 1, "\xE9\xFC\x80 2", nullptr, nullptr), 0);
  EXPECT_EQ(Slurp(d + "/N240605_102030.txt"),
            "[TEXT]\r\n24/06/05 10:20:30 \xE9 \xFC \x80\r\n24/06/05 10:20:31 \xE9\xFC\x80 2\r\n");
  char16_t w[200], *lines[4];
  int count = 4, size = 200;
  ASSERT_EQ(s.ReadTextLinesW("TEXT", lines, &count, w, &size, 0, 0), 0);
  ASSERT_EQ(count, 2);
  EXPECT_EQ(std::u16string(lines[0]), u"24/06/05 10:20:30 \u00E9 \u00FC \u20AC");
  EXPECT_EQ(std::u16string(lines[1]), u"24/06/05 10:20:31 \u00E9\u00FC\u20AC 2");
  // Counting only, and a section that is not there.
  count = 0;
  EXPECT_EQ(s.ReadTextLinesW("TEXT", nullptr, &count, nullptr, nullptr, 0, 0), 0);
  EXPECT_EQ(count, 2);
  // Sizes are in characters: room for the first line and its "\r\n" only.
  size = 26 + 1;
  EXPECT_EQ(ReadTextSectionW(d + "/N240605_102030.txt", "TEXT", w, &size), 1);
  EXPECT_EQ(size, 26);
  EXPECT_EQ(std::u16string(w), u"24/06/05 10:20:30 \u00E9 \u00FC \u20AC\r\n");
  size = 200;
  EXPECT_EQ(ReadTextSectionW(d + "/N240605_102030.txt", "NONE", w, &size), 0);
  EXPECT_EQ(ReadTextSectionW(d + "/none.txt", "TEXT", w, &size), -2);
  s.Close();
}

// With the events switch on, a directory whose logs keep no TEXT of their
// own gets every TEXT line in "events.txt", stamped time first; reads and
// the last text time of each log take that file.
TEST(EventsText, DirectoryWideEventsText) {
  EventsSwitchOn on;
  std::string d = Dir("eventsdir");
  CLogFileStore a, b;
  LogHeader h = TextLogHeader();
  ASSERT_EQ(a.CreateLogFile((d + "/A240605_102030.odl").c_str(), &h, nullptr, nullptr), 0);
  ASSERT_EQ(b.CreateLogFile((d + "/B240605_102030.odl").c_str(), &h, nullptr, nullptr), 0);
  int32_t none = 0;
  EXPECT_EQ(a.GetLastTextTime(&none), -1);
  ASSERT_EQ(a.WriteText(kT + 10, "from a", nullptr, nullptr), 0);
  ASSERT_EQ(b.WriteStampedText(LineStamp{kT, 123, 0}, "from b", nullptr, "[TEXT]"), 0);
  ASSERT_EQ(a.WriteHeaderText("own header"), 0);  // other sections stay the log's own
  EXPECT_EQ(Slurp(d + "/events.txt"), "10:20:30.123 05/06/24 from b\r\n10:20:40 05/06/24 from a\r\n");
  EXPECT_EQ(Slurp(d + "/A240605_102030.txt"), "[HEADER]\r\nown header\r\n");
  EXPECT_FALSE(Exists(d + "/B240605_102030.txt"));
  char buf[200];
  int size = sizeof buf;
  EXPECT_EQ(b.ReadText("TEXT", buf, &size, 0, 0), 2);
  EXPECT_STREQ(buf, "24/06/05 10:20:30.123 from b\r\n24/06/05 10:20:40 from a\r\n");
  int32_t when = 0;
  EXPECT_EQ(b.GetLastTextTime(&when), 0);
  struct stat st;
  ASSERT_EQ(stat((d + "/events.txt").c_str(), &st), 0);
  struct tm tmv;
  time_t m = st.st_mtime;
  gmtime_r(&m, &tmv);
  EXPECT_EQ(when, static_cast<int32_t>(Time_MakeSeconds(&tmv)));

  // A directory where a log already keeps a TEXT section of its own: no
  // events.txt is made, each log writes its own file.
  std::string d2 = Dir("eventsown");
  Put(d2 + "/OLD240101_000000.txt", "[TEXT]\r\n24/01/01 00:00:00 old\r\n");
  CLogFileStore c;
  ASSERT_EQ(c.CreateLogFile((d2 + "/C240605_102030.odl").c_str(), &h, nullptr, nullptr), 0);
  ASSERT_EQ(c.WriteText(kT, "own", nullptr, nullptr), 0);
  EXPECT_FALSE(Exists(d2 + "/events.txt"));
  EXPECT_EQ(Slurp(d2 + "/C240605_102030.txt"), "[TEXT]\r\n24/06/05 10:20:30 own\r\n");
  // An events.txt that is there is used even so.
  Put(d2 + "/events.txt", "");
  ASSERT_EQ(c.WriteText(kT + 1, "shared", nullptr, nullptr), 0);
  EXPECT_EQ(Slurp(d2 + "/events.txt"), "10:20:31 05/06/24 shared\r\n");
  a.Close();
  b.Close();
  c.Close();
}

TEST(EventsText, EventsSwitchValue) {
  Reg_DeleteValue(plat::HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillomatic\\Coordinatrix", "EventsTextFile");
  EXPECT_FALSE(EventsTextEnabled());
  for (auto [value, on] : {std::pair{"ON", true}, {"on please", true}, {"OFF", false}, {"", false}}) {
    SetEventsSwitch(value);
    EXPECT_EQ(EventsTextEnabled(), on) << value;
  }
  Reg_DeleteValue(plat::HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillomatic\\Coordinatrix", "EventsTextFile");
  // Off: a TEXT write goes to the log's own file even in an empty directory.
  std::string d = Dir("eventsoff");
  std::string p = d + "/X240605_102030.txt";
  ASSERT_EQ(WriteStampedLine(p, "TEXT", {kT, 0, 0}, "x", nullptr), 0);
  EXPECT_FALSE(Exists(d + "/events.txt"));
}

// A logger's configuration text beside its configuration file.
TEST(EventsText, LoggerTextReadAndWrite) {
  std::string d = Dir("LOGGERS");
  char old[4096];
  ASSERT_NE(getcwd(old, sizeof old), nullptr);
  ASSERT_EQ(chdir(d.c_str()), 0);
  EXPECT_EQ(LoggerText_Write(nullptr, "PUMPS", 3, "NOTES", "check \xE9"), 1);
  EXPECT_EQ(LoggerText_Write(".", "PUMPS", 3, "[OTHER]", "o"), 1);
  EXPECT_EQ(Slurp(d + "/PUMPS_3.txt"), "[NOTES]\r\ncheck \xE9\r\n[OTHER]\r\no\r\n");
  char buf[100];
  int size = sizeof buf;
  EXPECT_EQ(LoggerText_Read("", "PUMPS", 3, "NOTES", buf, &size), 1);
  EXPECT_STREQ(buf, "check \xE9\r\n");
  size = sizeof buf;
  EXPECT_EQ(LoggerText_Read(nullptr, "PUMPS", 4, "NOTES", buf, &size), -2);
  // Names that would leave the directory are refused before any file is made.
  for (const char* bad : {"../ESC", "a/b", "a\\b", "..", ""}) {
    plat::SetLastError(0);
    EXPECT_EQ(LoggerText_Write(nullptr, bad, 1, "NOTES", "x"), -1) << bad;
    EXPECT_EQ(plat::GetLastError(), plat::kErrInvalidName) << bad;
    size = sizeof buf;
    EXPECT_EQ(LoggerText_Read(nullptr, bad, 1, "NOTES", buf, &size), -1) << bad;
  }
  EXPECT_FALSE(Exists(d + "/../ESC_1.txt"));
  ASSERT_EQ(chdir(old), 0);
}

// Links planted at the text file's names never make a write land in
// another file: the old predictable temporary name, the ".txt" of a new
// log, and the ".txt" of a log being rewritten.
TEST(EventsText, PlantedLinksAreNeverFollowed) {
  std::string d = Dir("links");
  std::string victim = d + "/victim";
  Put(victim, "precious");
  std::string txt = d + "/L240605_102030.txt";
  Put(txt, "[TEXT]\r\n");
  std::string oldTemp = d + "/L240605_102030 " + std::to_string(getpid()) + ".tmp";
  ASSERT_EQ(symlink(victim.c_str(), oldTemp.c_str()), 0);
  ASSERT_EQ(WriteStampedLine(txt, "TEXT", {kT, 0, 0}, "line", nullptr), 0);
  ASSERT_EQ(WriteTextSection(txt, "HEADER", "h"), 1);
  EXPECT_EQ(Slurp(victim), "precious");
  EXPECT_EQ(Slurp(txt), "[TEXT]\r\n24/06/05 10:20:30 line\r\n[HEADER]\r\nh\r\n");

  // A new log's initial text (8-bit and UTF-16) replaces a link at its
  // ".txt" by a file of its own.
  CLogFileCollection c;
  ASSERT_EQ(c.Open(nullptr, d.c_str(), nullptr, "N", kGenericRead | kGenericWrite), 0);
  LogHeader h = TextLogHeader();
  int32_t start = kT;
  ASSERT_EQ(symlink(victim.c_str(), (d + "/N240605_102030.txt").c_str()), 0);
  CLogStore* s = c.CreateLog(&start, 0, 0, &h, "[HEADER]\r\nnew\r\n", 0, nullptr, 0, nullptr);
  ASSERT_NE(s, nullptr);
  s->Destroy(1);
  start = kT + 1;
  ASSERT_EQ(symlink(victim.c_str(), (d + "/N240605_102031.txt").c_str()), 0);
  s = c.CreateLogW(&start, 0, 0, &h, u"[HEADER]\r\nwide\r\n", 0, nullptr, 0, nullptr);
  ASSERT_NE(s, nullptr);
  s->Destroy(1);
  EXPECT_EQ(Slurp(victim), "precious");
  struct stat st;
  ASSERT_EQ(lstat((d + "/N240605_102030.txt").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(Slurp(d + "/N240605_102030.txt"), "[HEADER]\r\nnew\r\n");
  EXPECT_EQ(Utf16File(d + "/N240605_102031.txt"), u"[HEADER]\r\nwide\r\n");

  // A link at the text file being rewritten: the write fails and neither
  // the link's target nor the link changes.
  std::string linked = d + "/K240605_102030.txt";
  ASSERT_EQ(symlink(victim.c_str(), linked.c_str()), 0);
  EXPECT_EQ(WriteStampedLine(linked, "TEXT", {kT, 0, 0}, "x", nullptr), -2);
  EXPECT_EQ(WriteTextSection(linked, "TEXT", "x"), -2);
  EXPECT_EQ(Slurp(victim), "precious");
  ASSERT_EQ(lstat(linked.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
}

// A rewritten text file keeps its permissions; a new one gets those of the
// umask; no temporary file is left.
TEST(EventsText, RewriteKeepsModeAndLeavesNoTemporary) {
  std::string d = Dir("modes");
  std::string p = d + "/M240605_102030.txt";
  Put(p, "[TEXT]\r\n");
  chmod(p.c_str(), 0640);
  ASSERT_EQ(WriteStampedLine(p, "TEXT", {kT, 0, 0}, "x", nullptr), 0);
  struct stat st;
  ASSERT_EQ(stat(p.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  std::string q = d + "/M240605_102031.txt";
  ASSERT_EQ(WriteTextSection(q, "HEADER", "x"), 1);
  ASSERT_EQ(stat(q.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666u & ~plat::ProcessUmask());
  DIR* dir = opendir(d.c_str());
  int files = 0;
  while (dirent* e = readdir(dir))
    if (e->d_name[0] != '.') ++files;
  closedir(dir);
  EXPECT_EQ(files, 2);
}

// Temporaries of a rewrite are "<file>.<pid>.XXXXXX.tmp", as every other
// save makes them: the next write of the file removes those of processes
// that no longer run and keeps those of running ones and of other files.
TEST(EventsText, RewriteSweepsTheTemporariesOfDeadProcesses) {
  std::string d = Dir("sweep");
  std::string p = d + "/S240605_102030.txt";
  Put(p, "[TEXT]\r\n");
  const pid_t dead = fork();
  if (dead == 0) _exit(0);
  ASSERT_GT(dead, 0);
  waitpid(dead, nullptr, 0);
  const std::string stale = p + "." + std::to_string(dead) + ".k3J9aQ.tmp";
  const std::string running = p + ".1.k3J9aQ.tmp";  // init never ends
  const std::string other = d + "/T240605_102030.txt." + std::to_string(dead) + ".k3J9aQ.tmp";
  for (const std::string& f : {stale, running, other}) Put(f, "left over");
  ASSERT_EQ(WriteStampedLine(p, "TEXT", {kT, 0, 0}, "x", nullptr), 0);
  EXPECT_FALSE(Exists(stale));
  EXPECT_TRUE(Exists(running));
  EXPECT_TRUE(Exists(other));
  Put(stale, "left over");
  ASSERT_EQ(WriteTextSection(p, "HEADER", "h"), 1);
  EXPECT_FALSE(Exists(stale));
  EXPECT_EQ(Slurp(p), "[TEXT]\r\n24/06/05 10:20:30 x\r\n[HEADER]\r\nh\r\n");
  // Nothing of this process is left beside the file.
  DIR* dir = opendir(d.c_str());
  std::string mine = "." + std::to_string(getpid()) + ".";
  while (dirent* e = readdir(dir)) EXPECT_EQ(std::string(e->d_name).find(mine), std::string::npos) << e->d_name;
  closedir(dir);
}

// A section of a file of another machine, read and replaced through the
// server's file requests.
TEST(EventsText, RemoteSectionReadAndWriteThroughTheServer) {
  fakesrv::Engine engine;
  fakesrv::PipeServer server{&engine};
  ASSERT_EQ(server.Start("."), 0);
  const std::string file = "[A]\r\nold\r\n[NOTES]\r\nremote \xE9\r\n";
  auto reply = [](const std::string& data) {
    std::string r = "1," + data;
    r.resize(2 + 9999, '\0');
    return r + "," + std::to_string(data.size()) + std::string(1, '\0');
  };
  engine.script().On("RF", fakesrv::Bytes(reply(file)));
  engine.script().On("WF", fakesrv::Text("1"));
  const std::string path = "\\\\far\\CDX_CURRENT_CONFIG\\LOGGERS\\P_1.txt";
  char buf[100];
  int size = sizeof buf;
  EXPECT_EQ(ReadTextSectionFrom(".", path, "NOTES", buf, &size), 1);
  EXPECT_STREQ(buf, "remote \xE9\r\n");
  const std::string rf = engine.Requests().back();
  EXPECT_EQ(rf.rfind("RF,\\CDX_CURRENT_CONFIG\\LOGGERS\\P_1.txt\t9999\t0\t", 0), 0u) << rf;
  // Without a server the file of another machine cannot be opened.
  size = sizeof buf;
  EXPECT_EQ(ReadTextSectionFrom(nullptr, path, "NOTES", buf, &size), -2);

  EXPECT_EQ(WriteTextSectionTo(".", path, "[NOTES]", "new"), 1);
  const std::string wf = engine.Requests().back();
  ASSERT_EQ(wf.compare(0, 3, "WF,"), 0);
  const std::string want = "[A]\r\nold\r\n[NOTES]\r\nnew\r\n";
  EXPECT_EQ(wf.substr(wf.size() - want.size()), want);
  EXPECT_NE(wf.find("\t2\t128\t"), std::string::npos) << wf;  // created anew
  server.Stop();
  Srv_CloseAll();
}
