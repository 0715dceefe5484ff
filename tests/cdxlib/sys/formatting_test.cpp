#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

#include "cdxlib/sys/fileutil.h"
#include "cdxlib/sys/floatstate.h"
#include "cdxlib/sys/numformat.h"
#include "cdxlib/sys/tags.h"
#include "platform/error.h"
#include "support/tempdir_fixture.h"
#include "platform/root.h"

namespace fs = std::filesystem;

namespace {

TEST(FloatState, RecordsOnlyWhileCheckingAndNeverClears) {
  const float big = 1e30f, one = 1.0f, zero = 0.0f, two = 2.0f;
  Flt_ClearState();
  Flt_SetChecking(0);
  EXPECT_TRUE(std::isinf(Flt_Mul(&big, &big)));
  EXPECT_EQ(Flt_State(), kFltNone);
  Flt_SetChecking(1);
  Flt_Mul(&big, &big);
  EXPECT_EQ(Flt_State(), kFltInvalid);
  EXPECT_EQ(Flt_Add(&one, &two), 3.0f);  // a finite result leaves the state
  EXPECT_EQ(Flt_State(), kFltInvalid);
  Flt_ClearState();
  Flt_Div(&one, &zero);
  EXPECT_EQ(Flt_State(), kFltDivideFault);
  Flt_ClearState();
  EXPECT_EQ(Flt_Check(1e300), INFINITY);  // rounded to single precision
  EXPECT_EQ(Flt_State(), kFltInvalid);
  Flt_ClearState();
  EXPECT_EQ(Flt_Sub(&one, &two), -1.0f);
  EXPECT_EQ(Flt_Neg(&two), -2.0f);
  EXPECT_EQ(Flt_State(), kFltNone);
  Flt_SetChecking(0);
}

TEST(TagAddress, Parsing) {
  struct Case {
    const char* text;
    int rc;
    const char* prefix;
    int number;
  } cases[] = {{"AI12", 0, "AI", 12},   {"A-I-1-2", 0, "AI", 12}, {"DO1K", 0, "DO", 1000}, {"do1k", 0, "do", 1000},
               {"ABC1", -1, "", 0},     {"AI123456", -1, "", 0},  {"AI12345", 0, "AI", 12345}, {"12", -1, "", 0},
               {"AI", -1, "", 0},       {"", -1, "", 0},          {"AI2K", -1, "", 0},     {"A1B", -1, "", 0},
               {"X7", 0, "X", 7}};
  for (const auto& c : cases) {
    char prefix[2] = {'?', '?'};
    int32_t n = -5;
    ASSERT_EQ(Tag_ParseAddress(c.text, prefix, &n), c.rc) << c.text;
    if (c.rc == 0) {
      EXPECT_EQ(std::string(prefix, strnlen(prefix, 2)), c.prefix) << c.text;
      EXPECT_EQ(n, c.number) << c.text;
    }
  }
  struct NCase {
    const char* text;
    int rc, number;
  } ncases[] = {{"12", 0, 12}, {"1K", 0, 1000}, {"21k", 0, 1000}, {"2K", -1, 0}, {"123456", -1, 0},
                {"12a", -1, 0}, {"", -1, 0},    {"K", -1, 0},     {"99999", 0, 99999}};
  for (const auto& c : ncases) {
    int32_t n = -5;
    ASSERT_EQ(Tag_ParseNumber(c.text, &n), c.rc) << c.text;
    if (c.rc == 0) {
      EXPECT_EQ(n, c.number) << c.text;
    }
  }
}

TEST(NumberFormat, Examples) {
  // The test process runs in the C locale: no grouping, no thousands
  // separator of its own, '.' for decimals.
  struct Case {
    char justify, pad, sep;
    int width, precision;
    float value;
    const char* expect;
  } cases[] = {
      {' ', ' ', ',', 12, 2, 1234567.0f, "1,234,567.00"},
      {' ', ' ', ',', 14, 2, 1234567.0f, "  1,234,567.00"},
      {'-', ' ', ',', 12, 2, 1234567.0f, "1,234,567.00"},
      {'-', ' ', ',', 13, 2, 1234567.0f, "1,234,567.00 "},
      {' ', ' ', ',', 11, 2, 1234567.0f, "1234,567.00"},  // room for one separator only
      {' ', ' ', ',', 8, 2, 1234567.0f, "1.23E+06"},      // exponent fall-back
      {' ', ' ', ',', 5, 2, 1234567.0f, "1E+06"},
      {' ', ' ', ',', 3, 2, 1234567.0f, "1E+06"},          // does not fit at all: unchanged
      {' ', '0', ',', 12, 2, 1234567.0f, "001234567.00"},  // zero pad: no separators
      {' ', ' ', 0, 12, 2, 1234567.0f, "  1234567.00"},
      {' ', ' ', ',', 8, 2, 999.0f, "  999.00"},
      {' ', ' ', ',', 8, 2, -1234.0f, "-1234.00"},
      {' ', ' ', ',', 8, 3, 0.5f, "   0.500"},
      {'-', ' ', ',', 6, 1, 12.0f, "12.0  "},
  };
  for (const auto& c : cases)
    EXPECT_STREQ(Num_FormatFloat(c.justify, c.pad, c.sep, c.width, c.precision, &c.value), c.expect)
        << c.value << " width " << c.width;
  const float v = 1234567.0f;
  EXPECT_STREQ(Num_FormatFloatSep(' ', ' ', 12, 2, &v), "  1234567.00");
}

TEST(NumberFormat, LocaleFractionDigitsAreReducedForOneCallOnly) {
  const float v = 1.5f;
  const int digits = Num_LocaleNumber(kLocaleFractionDigits);
  EXPECT_EQ(digits, 2);
  EXPECT_STREQ(Num_FormatFloatLocale(' ', ' ', 4, &v), " 1.5");  // width 4 < 2 + 3: 1 digit
  EXPECT_STREQ(Num_FormatFloatLocale(' ', ' ', 2, &v), " 2");    // never below 0 digits
  EXPECT_STREQ(Num_FormatFloatLocale(' ', ' ', 8, &v), "    1.50");  // the setting itself is unchanged
  EXPECT_EQ(Num_LocaleNumber(kLocaleFractionDigits), 2);
}

TEST(NumberFormat, TitlesCaseAndLocaleItems) {
  EXPECT_STREQ(Num_ChannelGroupTitle(0), "ANALOG INPUTS");
  EXPECT_STREQ(Num_ChannelGroupTitle(3), "DIGITAL OUTPUTS");
  EXPECT_STREQ(Num_ChannelGroupTitle(6), "DIAGNOSTICS");
  EXPECT_STREQ(Num_ChannelGroupTitle(7), "");
  EXPECT_EQ(Num_LocaleChar(kLocaleDecimalSep), '.');
  EXPECT_EQ(Num_LocaleNumber(kLocaleLeadingZero), 1);
  EXPECT_EQ(Num_LocaleChar(99), 0);
  char s[] = "abcDEF\xe9";
  EXPECT_STREQ(Str_UpperN(s, 2), "ABcDEF\xe9");
  EXPECT_STREQ(Str_LowerN(s, 100), "abcdef\xe9");
}

TEST(FmtPrint, Conversions) {
  char buf[256];
  struct Case {
    std::string got, expect;
  };
  auto F = [&](auto... args) {
    Fmt_Print(buf, args...);
    return std::string(buf);
  };
  Case cases[] = {
      {F("%s\\%s", "C:", "dir"), "C:\\dir"},
      {F("%s/%s%s%s", "a", "b", "c", "d"), "a/bcd"},
      {F("[%5d|%-5d|%05d]", 42, 42, 42), "[   42|42   |00042]"},
      {F("[%*d]", 4, 7), "[   7]"},
      {F("[%.*s]", 2, "abcdef"), "[ab]"},
      {F("%f", 1.5), "1.500000"},
      {F("%.2f", 3.14159), "3.14"},
      {F("%f", 123456789.0), "123456800.000000"},  // 7 significant digits
      {F("[%5.2f]", 12345.678), "[*****]"},
      {F("%e", 1234.5), "1.234500e+03"},
      {F("%g", 0.0001), "0.0001"},
      {F("100%%"), "100%"},
      {F("a%qb"), "ab"},  // unknown conversion dropped
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.expect);
}

// Paths joined with %s can be far longer than any field width: nothing of
// them may be cut. Widths from the arguments follow printf (a negative '*'
// width left-justifies) and absurd widths are bounded instead of overflowing.
TEST(FmtPrint, LongTextsAndExtremeWidths) {
  const std::string dir(3000, 'd'), name(1500, 'n');
  std::vector<char> big(dir.size() + name.size() + 64, '#');
  const int n = Fmt_Print(big.data(), "%s/%s_", dir.c_str(), name.c_str());
  EXPECT_EQ(std::string(big.data()), dir + "/" + name + "_");
  EXPECT_EQ(n, static_cast<int>(dir.size() + name.size() + 2));

  char buf[2048];
  Fmt_Print(buf, "[%*d]", -4, 7);
  EXPECT_STREQ(buf, "[7   ]");
  Fmt_Print(buf, "[%.*s]", -1, "abc");  // a negative precision counts as none
  EXPECT_STREQ(buf, "[abc]");
  // Widths beyond any sensible field are cut, never overflow the parser.
  const int m = Fmt_Print(buf, "%99999999999999999999d|", 5);
  EXPECT_LT(m, 1024);
  EXPECT_EQ(std::string(buf).back(), '|');
  const int k = Fmt_Print(buf, "%*d|", INT_MIN, 5);
  EXPECT_LT(k, 1024);
  EXPECT_EQ(buf[0], '5');
}

using FsTest = cdxtest::TempDirFixture;

TEST_F(FsTest, DirectoryListingSizesAndMakeDir) {
  Write("a.txt", "12345");
  Write("b.txt", "");
  DirList* l = Fs_OpenDirList(dir_.c_str());
  ASSERT_NE(l, nullptr);
  std::set<std::string> names;
  while (const char* n = Fs_NextDirEntry(l)) names.insert(n);
  Fs_CloseDirList(l);
  EXPECT_TRUE(names.count("a.txt") && names.count("b.txt"));
  EXPECT_EQ(Fs_OpenDirList((dir_ / "none").c_str()), nullptr);
  EXPECT_EQ(errno, 2);
  EXPECT_EQ(Fs_GetFileSize((dir_ / "a.txt").c_str()), 5);
  EXPECT_EQ(Fs_GetFileSize((dir_ / "none").c_str()), -1);
  EXPECT_EQ(errno, 2);
  EXPECT_EQ(Fs_MakeDir((dir_ / "sub").c_str()), 0);
  EXPECT_EQ(Fs_MakeDir((dir_ / "sub").c_str()), -1);
  EXPECT_EQ(errno, 183);
  EXPECT_EQ(Fs_MakeDir((dir_ / "x" / "y").c_str()), -1);
}

std::string Head(uint32_t length, uint16_t type, bool swapped, size_t total) {
  if (swapped) {
    length = __builtin_bswap32(length);
    type = __builtin_bswap16(type);
  }
  std::string s(total, '\0');
  memcpy(s.data(), &length, 4);
  memcpy(s.data() + 4, &type, 2);
  return s;
}

TEST_F(FsTest, LogHeaderCheck) {
  struct Case {
    std::string bytes;
    int64_t result;
    int err;
  } cases[] = {
      {Head(1000, 0x8001, false, 100), 1000, 0},   // shorter than the length: the length, no stray errno
      {Head(1000, 0x8001, true, 100), 1000, 0},    // other byte order
      {Head(50, 0xE001, false, 100), 100, 5},      // the file is complete: its size and errno 5
      {Head(1000, 0x8000, false, 100), -1, 13},    // bad type
      {Head(1000, 0xE002, false, 100), -1, 13},
      {std::string("\1\2\3"), -1, 38},             // too short to read
  };
  for (const auto& c : cases) {
    Write("log", c.bytes);
    FILE* f = fopen((dir_ / "log").c_str(), "rb");
    ASSERT_NE(f, nullptr);
    errno = 77;
    EXPECT_EQ(Fs_CheckLogHeader(f), c.result);
    EXPECT_EQ(errno, c.err);
    EXPECT_EQ(ftell(f), 0);
    fclose(f);
  }
  // A read that fails (a directory opened as a file) reports the system's
  // error, not an end of file.
  FILE* d = fopen(dir_.c_str(), "rb");
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(Fs_CheckLogHeader(d), -1);
  EXPECT_EQ(static_cast<uint32_t>(errno), plat::FromErrno(EISDIR));
  EXPECT_EQ(plat::GetLastError(), plat::FromErrno(EISDIR));
  fclose(d);
}

}  // namespace
