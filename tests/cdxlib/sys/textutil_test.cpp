#include "cdxlib/sys/textutil.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(TextUtil, CopyCutsTerminatesAndLeavesTheRestOfTheBuffer) {
  struct Case {
    const char* from;
    size_t room;
    const char* expected;
  } cases[] = {
      {"abc", 8, "abc"}, {"abcdefgh", 4, "abc"}, {"abc", 4, "abc"}, {"abc", 1, ""}, {nullptr, 8, ""}, {"", 8, ""},
  };
  for (const Case& c : cases) {
    char buf[9];
    std::memset(buf, '#', sizeof buf);
    cdxtext::Copy(buf, c.room, c.from);
    EXPECT_STREQ(buf, c.expected) << "room " << c.room;
    // Nothing is written past the room it was given.
    for (size_t i = c.room; i < sizeof buf; ++i) EXPECT_EQ(buf[i], '#') << "room " << c.room << " byte " << i;
  }
  char untouched = '#';
  cdxtext::Copy(&untouched, 0, "abc");
  EXPECT_EQ(untouched, '#');
  cdxtext::Copy(nullptr, 4, "abc");  // no buffer: nothing to do, no crash
}

TEST(TextUtil, StartsNoCaseComparesAsciiLettersWithoutCase) {
  EXPECT_TRUE(cdxtext::StartsNoCase("Provider=MSDASQL", "provider="));
  EXPECT_TRUE(cdxtext::StartsNoCase("SQLOLEDB", "sqloledb"));
  EXPECT_TRUE(cdxtext::StartsNoCase("anything", ""));
  EXPECT_FALSE(cdxtext::StartsNoCase("SQL", "sqloledb"));
  EXPECT_FALSE(cdxtext::StartsNoCase("xprovider", "provider"));
}

TEST(TextUtil, JoinPutsOneSlashBetween) {
  EXPECT_EQ(cdxtext::Join("/a/b", "config"), "/a/b/config");
  EXPECT_EQ(cdxtext::Join("/a/b/", "config"), "/a/b/config");
  EXPECT_EQ(cdxtext::Join("", "config"), "config");
  EXPECT_EQ(cdxtext::Join("/", "config"), "/config");
}

TEST(TextUtil, FixedFieldsAreReadToTheirWidthAndWrittenPadded) {
  // A full field has no terminator: the read stops at its width.
  const char full[4] = {'A', 'B', 'C', 'D'};
  EXPECT_EQ(cdxtext::FixedText(full, sizeof full), "ABCD");
  const char shortField[4] = {'A', 'B', '\0', 'X'};
  EXPECT_EQ(cdxtext::FixedText(shortField, sizeof shortField), "AB");

  struct Case {
    const char* text;
    const char expected[5];
  } cases[] = {
      {"AB", {'A', 'B', 0, 0, '#'}},
      {"ABCDEF", {'A', 'B', 'C', 'D', '#'}},
      {"ABCD", {'A', 'B', 'C', 'D', '#'}},
      {nullptr, {0, 0, 0, 0, '#'}},
  };
  for (const Case& c : cases) {
    char field[5];
    std::memset(field, '#', sizeof field);
    cdxtext::PutFixed(field, 4, c.text);
    EXPECT_EQ(std::memcmp(field, c.expected, sizeof field), 0) << (c.text ? c.text : "(null)");
    EXPECT_EQ(cdxtext::FixedText(field, 4), std::string(c.text ? c.text : "").substr(0, 4));
  }
}

}  // namespace
