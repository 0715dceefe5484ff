#include "cdxlib/records/tsfile.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "cdxlib/sys/timestamp.h"
#include "platform/error.h"

namespace {

int32_t Seconds(int y, int mo, int d, int h, int mi, int s) {
  struct tm t = {};
  t.tm_year = y - 1900;
  t.tm_mon = mo - 1;
  t.tm_mday = d;
  t.tm_hour = h;
  t.tm_min = mi;
  t.tm_sec = s;
  return static_cast<int32_t>(Time_MakeSeconds(&t));
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream f(path, std::ios::binary);
  f << data;
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

TEST(TsFileStamp, FormatsAndParsesTheCalendar) {
  struct Case {
    int y, mo, d, h, mi, s;
    const char* stamp;
  };
  const Case cases[] = {
      {1999, 12, 31, 23, 59, 59, "991231_235959"}, {2000, 1, 1, 0, 0, 0, "000101_000000"},
      {2024, 2, 29, 12, 0, 1, "240229_120001"},    {1970, 1, 1, 0, 0, 0, "700101_000000"},
      {2037, 12, 31, 23, 59, 59, "371231_235959"},
  };
  for (const auto& c : cases) {
    const int32_t secs = Seconds(c.y, c.mo, c.d, c.h, c.mi, c.s);
    EXPECT_STREQ(TsFile_FormatStamp(secs), c.stamp);
    int32_t back = -1;
    ASSERT_EQ(TsFile_ParseStamp((std::string("x") + c.stamp + ".odl").c_str(), ".ODL", &back), 1) << c.stamp;
    EXPECT_EQ(back, secs) << c.stamp;
  }
  // Two-digit years: below 70 are 20xx.
  int32_t s = 0;
  ASSERT_EQ(TsFile_ParseStamp("690101_000000.odl", ".odl", &s), 1);
  EXPECT_EQ(s, Seconds(2069, 1, 1, 0, 0, 0) + 0);
  // Not a date or time, no separator, wrong suffix, too short.
  for (const char* bad : {"230229_000000.odl", "241301_000000.odl", "240100_000000.odl", "240101_240000.odl",
                          "240101_006000.odl", "240101x000000.odl", "240101_000000.txt", "40101_000000.odl"})
    EXPECT_EQ(TsFile_ParseStamp(bad, ".odl", &s), 0) << bad;
}

TEST(TsFileStamp, FindsTheStartOfOneOrTwoStamps) {
  struct Case {
    const char* name;
    const char* suffix;
    int at;  // -1: no stamp
  };
  const Case cases[] = {
      {"log240102_030405.odl", ".odl", 3},
      {"log240102_030405_240102_040000.odl", ".odl", 3},  // closed: the start, never the end
      {"log240102.030405.240102.040000.ODL", ".odl", 3},
      {"log240102030405240102040000.odl", ".odl", 3},
      {"log240102030405.odl", ".odl", 3},
      {"log240102.030405.odl", ".odl", 3},
      {"dev12_240102_030405.odl", ".odl", 6},  // a prefix ending in digits
      {"240102_030405.odl", ".odl", 0},
      {"log240102_030405.odl", ".txt", -1},
      {"log24010_030405.odl", ".odl", -1},
      {"log240102__030405.odl", ".odl", -1},
      {"log240102_03040x.odl", ".odl", -1},
      {".odl", ".odl", -1},
  };
  for (const auto& c : cases) {
    const char* p = Fs_FindNameStamp(c.name, c.suffix);
    if (c.at < 0) {
      EXPECT_EQ(p, nullptr) << c.name;
      EXPECT_FALSE(Fs_HasNameStamp(c.name, c.suffix));
    } else {
      ASSERT_NE(p, nullptr) << c.name;
      EXPECT_EQ(p - c.name, c.at) << c.name;
      EXPECT_TRUE(Fs_HasNameStamp(c.name, c.suffix));
    }
  }
  // The stamp right before the suffix of a closed name is its end.
  int32_t end = 0;
  ASSERT_EQ(TsFile_ParseStamp("log240102_030405_240102_040000.odl", ".odl", &end), 1);
  EXPECT_EQ(end, Seconds(2024, 1, 2, 4, 0, 0));
}

class TsFileDir : public ::testing::Test {
 protected:
  std::string dir;
  void SetUp() override {
    char tmpl[] = "/tmp/tsfile_test_XXXXXX";
    dir = mkdtemp(tmpl);
  }
  void TearDown() override {
    TsFile_StopWriter();
    TsFile_Close(nullptr, nullptr, 0);
    std::system(("chmod -R u+w " + dir + " 2>/dev/null; rm -rf " + dir).c_str());
  }
  std::string P(const std::string& name) { return dir + "/" + name; }
};

TEST_F(TsFileDir, NewestIsChosenByTheFirstStamp) {
  for (const char* n : {"log240101_000000.odl", "log240301_000000_251231_000000.odl", "log240201_000000.odl",
                        "log250101_000000.txt", "notes.odl", "log991231_000000.odl"})
    WriteFile(P(n), "x");
  char name[64];
  ASSERT_EQ(Fs_FindNewestStamped(dir.c_str(), name, sizeof name, ".odl"), 1);
  EXPECT_STREQ(name, "log240301_000000_251231_000000.odl");
  // A small buffer gets as much as fits.
  char small[8];
  ASSERT_EQ(Fs_FindNewestStamped(dir.c_str(), small, sizeof small, ".odl"), 1);
  EXPECT_STREQ(small, "log2403");
  EXPECT_EQ(Fs_FindNewestStamped(dir.c_str(), name, sizeof name, ".zip"), 0);
  EXPECT_EQ(Fs_FindNewestStamped((dir + "/missing").c_str(), name, sizeof name, ".odl"), -1);
}

TEST_F(TsFileDir, CurrentFileIsWrittenClosedReopenedAndDeleted) {
  ASSERT_EQ(TsFile_Open(nullptr, (dir + "/series/a").c_str(), nullptr, ".dat", "ser"), 0);
  const int32_t t0 = Seconds(2024, 5, 6, 7, 8, 9), t1 = Seconds(2024, 5, 6, 8, 0, 0);
  EXPECT_EQ(TsFile_Write("x", 1), -1);
  EXPECT_EQ(errno, 6);
  ASSERT_EQ(TsFile_CreateCurrent(t0), 0);
  const std::string open = dir + "/series/a/ser240506_070809.dat";
  EXPECT_EQ(std::string(TsFile_CurrentName()), open);
  ASSERT_EQ(TsFile_Write("hello ", 6), 6);
  ASSERT_EQ(TsFile_Close(nullptr, &t1, 1), 0);
  const std::string closed = dir + "/series/a/ser240506_070809_240506_080000.dat";
  EXPECT_FALSE(Exists(open));
  ASSERT_TRUE(Exists(closed));
  struct stat st;
  ASSERT_EQ(stat(closed.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0222, 0u) << "closed read-only";

  ASSERT_EQ(TsFile_Reopen(), 0);
  EXPECT_FALSE(Exists(closed));
  ASSERT_EQ(TsFile_Write("world", 5), 5);
  EXPECT_EQ(ReadFile(open), "hello world");

  // A closed name that exists is never replaced.
  WriteFile(closed, "older");
  EXPECT_EQ(TsFile_Close(nullptr, &t1, 0), -1);
  EXPECT_EQ(errno, 183);
  EXPECT_EQ(ReadFile(closed), "older");
  EXPECT_EQ(ReadFile(open), "hello world");

  // Without an end time the file goes.
  ASSERT_EQ(TsFile_CreateCurrent(t1), 0);
  ASSERT_EQ(TsFile_Close(nullptr, nullptr, 0), 0);
  EXPECT_FALSE(Exists(dir + "/series/a/ser240506_080000.dat"));
}

// A prefix or suffix becomes part of each file's name: one that would reach
// another directory is refused with 123 before any directory is made.
TEST_F(TsFileDir, PrefixesAndSuffixesThatAreNoPlainNamesAreRefused) {
  struct {
    const char* prefix;
    const char* suffix;
  } cases[] = {{"../../PFX", ".dat"}, {"a/b", ".dat"}, {"/tmp/x", ".dat"}, {"a\\b", ".dat"}, {"..", ".dat"},
               {"ser", "/../x.dat"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.prefix) + " " + c.suffix);
    errno = 0;
    EXPECT_EQ(TsFile_Open(nullptr, (dir + "/series").c_str(), nullptr, c.suffix, c.prefix), -1);
    EXPECT_EQ(errno, 123);
  }
  EXPECT_FALSE(Exists(dir + "/series"));
  ASSERT_EQ(TsFile_Open(nullptr, (dir + "/series").c_str(), nullptr, ".dat", "ser..x"), 0);
}

TEST_F(TsFileDir, OpenNewestChecksTheHeaderAndContinuesAtTheEnd) {
  ASSERT_EQ(TsFile_Open(nullptr, dir.c_str(), nullptr, ".odl", "log"), 0);
  auto header = [](uint32_t length, uint16_t type) {
    std::string h(6, '\0');
    memcpy(h.data(), &length, 4);
    memcpy(h.data() + 4, &type, 2);
    return h;
  };
  WriteFile(P("log240101_000000.odl"), header(100, 0x8001) + "old");
  WriteFile(P("log240102_000000.odl"), header(100, 0x8001) + "new");
  WriteFile(P("log240103_000000_240104_000000.odl"), header(100, 0x8001));  // closed: not a candidate
  chmod(P("log240102_000000.odl").c_str(), 0444);
  char name[64] = {};
  ASSERT_EQ(TsFile_OpenNewest(name, sizeof name), 0);
  EXPECT_STREQ(name, "log240102_000000.odl");
  ASSERT_EQ(TsFile_Write("+", 1), 1);
  EXPECT_EQ(ReadFile(P(name)), header(100, 0x8001) + "new+");
  struct stat st;
  ASSERT_EQ(stat(P(name).c_str(), &st), 0);
  EXPECT_NE(st.st_mode & S_IWUSR, 0u);

  WriteFile(P("log240105_000000.odl"), header(100, 0x0042));
  EXPECT_EQ(TsFile_OpenNewest(name, sizeof name), -1);
  EXPECT_EQ(errno, 13);

  ASSERT_EQ(TsFile_Open(nullptr, (dir + "/empty").c_str(), nullptr, ".odl", "log"), 0);
  EXPECT_EQ(TsFile_OpenNewest(name, sizeof name), -1);
  EXPECT_EQ(errno, 2);
}

TEST_F(TsFileDir, PurgeTakesTheStartOfOpenFilesAndTheEndOfClosedOnes) {
  ASSERT_EQ(TsFile_Open(nullptr, dir.c_str(), nullptr, ".odl", "log"), 0);
  const int32_t now = Time_NowLocal(nullptr)->seconds;
  const int32_t day = 86400;
  // The stamp is a static buffer: copy each one before taking the next.
  auto stamp = [](int32_t t) { return std::string(TsFile_FormatStamp(t)); };
  const std::string oldOpen = "log" + stamp(now - 10 * day) + ".odl";
  const std::string oldClosed = "log" + stamp(now - 10 * day) + "_" + stamp(now - 9 * day) + ".odl";
  const std::string endsRecently = "log" + stamp(now - 10 * day) + "_" + stamp(now - 60) + ".odl";
  const std::string recent = "log" + stamp(now - 60) + ".odl";
  const std::string otherSuffix = "log" + stamp(now - 10 * day) + ".txt";
  const std::string otherPrefix = "abc" + stamp(now - 10 * day) + ".odl";
  for (const auto& n : {oldOpen, oldClosed, endsRecently, recent, otherSuffix, otherPrefix}) WriteFile(P(n), "x");
  EXPECT_EQ(TsFile_PurgeOlder(day, nullptr), 2);
  EXPECT_FALSE(Exists(P(oldOpen)));
  EXPECT_FALSE(Exists(P(oldClosed)));
  for (const auto& n : {endsRecently, recent, otherSuffix, otherPrefix}) EXPECT_TRUE(Exists(P(n))) << n;
  EXPECT_EQ(TsFile_PurgeOlder(day, ".txt"), 1);
  EXPECT_FALSE(Exists(P(otherSuffix)));
}

TEST_F(TsFileDir, WriterJoinsContiguousRequestsAndKeepsEveryByte) {
  ASSERT_EQ(TsFile_Open(nullptr, dir.c_str(), nullptr, ".dat", "w"), 0);
  ASSERT_EQ(TsFile_CreateCurrent(Seconds(2024, 1, 1, 0, 0, 0)), 0);
  const std::string path = TsFile_CurrentName();
  ASSERT_EQ(TsFile_StartWriter(64, 4096, 1), 0);
  std::string expected;
  auto queue = [&](int i) {
    char rec[16];
    snprintf(rec, sizeof rec, "%07d", i);
    ASSERT_EQ(TsFile_QueueWrite(rec, 7, -1), 0);
    expected.append(rec, 7);
  };
  // Another holder of the byte at offset 0 keeps the writer at its first
  // write; what is queued meanwhile goes out joined in one write.
  const int other = open(path.c_str(), O_RDWR);
  ASSERT_GE(other, 0);
  struct flock fl = {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = 0;
  fl.l_len = 1;
  ASSERT_EQ(fcntl(other, F_OFD_SETLK, &fl), 0);
  for (int i = 0; i < 32; ++i) queue(i);
  fl.l_type = F_UNLCK;
  ASSERT_EQ(fcntl(other, F_OFD_SETLK, &fl), 0);
  close(other);
  ASSERT_EQ(TsFile_FlushWriter(), 0);
  EXPECT_GE(TsFile_WriterWriteCount(), 1u);
  EXPECT_LE(TsFile_WriterWriteCount(), 2u) << "contiguous requests are joined";
  // Many more, through a ring that fills up and wraps.
  for (int i = 32; i < 10000; ++i) queue(i);
  ASSERT_EQ(TsFile_FlushWriter(), 0);

  // Requests out of order, by explicit offsets, overwrite what was there.
  std::string block(500, 'A');
  for (int i = 9; i >= 0; --i) {
    std::string part(50, static_cast<char>('a' + i));
    ASSERT_EQ(TsFile_QueueWrite(part.data(), 50, 1000 + i * 50), 0);
    expected.replace(1000 + i * 50, 50, part);
  }
  ASSERT_EQ(TsFile_StopWriter(), 0);
  EXPECT_EQ(ReadFile(path), expected);
}

TEST_F(TsFileDir, WriterReportsTheFirstErrorOnce) {
  ASSERT_EQ(TsFile_Open(nullptr, dir.c_str(), nullptr, ".dat", "w"), 0);
  const int32_t t = Seconds(2024, 1, 1, 0, 0, 0);
  ASSERT_EQ(symlink("/dev/full", (dir + "/w" + TsFile_FormatStamp(t) + ".dat").c_str()), 0);
  ASSERT_EQ(TsFile_CreateCurrent(t), 0);
  ASSERT_EQ(TsFile_StartWriter(8, 256, 1), 0);
  ASSERT_EQ(TsFile_QueueWrite("abc", 3, -1), 0);
  // The error of "abc" comes back to the next call, whichever that is: the
  // next request (when the writer failed before it) or the flush.
  int failures = 0;
  auto count = [&](int rc) {
    if (rc == 0) return;
    ++failures;
    EXPECT_EQ(errno, 112);
  };
  count(TsFile_QueueWrite("def", 3, -1));
  count(TsFile_FlushWriter());
  count(TsFile_FlushWriter());
  EXPECT_EQ(failures, 1) << "reported once";
  ASSERT_EQ(TsFile_QueueWrite("ghi", 3, -1), 0);
  EXPECT_EQ(TsFile_StopWriter(), -1);
  EXPECT_EQ(errno, 112);
  EXPECT_EQ(TsFile_QueueWrite("x", 1, -1), -1) << "no writer";
}

}  // namespace
