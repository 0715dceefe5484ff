// Translation tables and the dual-encoding text field.
#include "cdxlib/records/translations.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

#include "cdxlib/records/chanconfig.h"
#include "platform/error.h"
#include "support/tempdir_fixture.h"
#include "platform/root.h"

namespace fs = std::filesystem;

namespace {

using TranslationsTest = cdxtest::TempDirFixture;

TEST_F(TranslationsTest, TranslationFiles) {
  char err[300] = "";
  // UTF-8 with CR LF, a header, TAB and comma separators, incomplete pairs.
  Write("tags.txt", "Tag\tText\r\nTI101\tTempérature\r\nPI1,Druck\r\nnovalue\t\r\nplain line\r\n");
  ASSERT_EQ(Xlat_LoadTableFromDir(dir_.c_str(), kXlatTags, "tags", err), 1) << err;
  // UTF-16LE with a byte-order mark and bare LF line ends.
  std::u16string wide = u"\xFEFFkey,value\nkg,\x043A\x0433\nm,\x043C\n";
  Write("units.txt", std::string(reinterpret_cast<const char*>(wide.data()), wide.size() * 2));
  ASSERT_EQ(Xlat_LoadTableFromDir(dir_.c_str(), kXlatUnits, "units", err), 1) << err;
  // A .csv when no .txt exists.
  Write("descriptions.csv", "a,b\nBoiler feed,Kesselspeisung\n");
  ASSERT_EQ(Xlat_LoadTableFromDir(dir_.c_str(), kXlatDescriptions, "descriptions", err), 1) << err;
  Xlat_MarkLoaded();

  char16_t out[33];
  EXPECT_EQ(Xlat_Lookup(kXlatTags, "ti101", out, kXlatTagSize), 1);
  EXPECT_EQ(std::u16string(out), u"Température");
  EXPECT_EQ(Xlat_Lookup(kXlatTags, "PI1", out, 4), 1);
  EXPECT_EQ(std::u16string(out), u"Dru");  // cut to size - 1
  EXPECT_EQ(Xlat_Lookup(kXlatTags, "novalue", out, kXlatTagSize), 0);
  EXPECT_EQ(std::u16string(out), u"novalue");
  EXPECT_EQ(Xlat_Lookup(kXlatTags, "Tag", out, kXlatTagSize), 0);  // the header is no pair
  EXPECT_EQ(Xlat_Lookup(kXlatTags, "caf\xe9", out, kXlatTagSize), 0);
  EXPECT_EQ(std::u16string(out), u"café");  // widened byte by byte

  ChannelConfig c{};
  c.Type = kKindAI;
  Chan_SetUnits(&c, "KG");
  Chan_SetDescription(&c, "Boiler feed");
  EXPECT_EQ(std::u16string(Xlat_Units(c)), u"\x043A\x0433");
  EXPECT_EQ(std::u16string(Xlat_Description(c)), u"Kesselspeisung");
  Chan_SetTag(&c, "XYZ");
  EXPECT_EQ(std::u16string(Xlat_Tag(c)), u"XYZ");

  // Failures and their messages.
  Write("hdr.txt", "only\theader\r\n");
  EXPECT_EQ(Xlat_LoadTableFromDir(dir_.c_str(), kXlatTags, "hdr", err), 0);
  EXPECT_NE(std::string(err).find("NO TRANSLATIONS PARSED IN FILE"), std::string::npos) << err;
  Write("empty.txt", "");
  EXPECT_EQ(Xlat_LoadTableFromDir(dir_.c_str(), kXlatTags, "empty", err), 0);
  EXPECT_NE(std::string(err).find("CAN'T GET FILE SIZE OR EMPTY TRANSLATIONS FILE"), std::string::npos) << err;
  fs::create_directories(dir_ / "isdir.txt");
  EXPECT_EQ(Xlat_LoadTableFromDir(dir_.c_str(), kXlatTags, "isdir", err), 0);
  EXPECT_EQ(Xlat_LoadTableFromDir(dir_.c_str(), kXlatTags, "absent", err), 1);  // neither file: empty table
  EXPECT_EQ(Xlat_Lookup(kXlatTags, "TI101", out, kXlatTagSize), 0);
  Xlat_FreeTables();
}

// A translation file far larger than any table (here a sparse one of 4 GiB)
// is refused with the allocation message instead of taking the process
// down; the table stays empty and lookups give the text untranslated.
TEST_F(TranslationsTest, HugeTranslationFileIsRefusedNotFatal) {
  const std::string path = (dir_ / "tags.txt").string();
  FILE* f = fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(ftruncate(fileno(f), off_t{4} << 30), 0);
  fclose(f);
  char err[300] = "";
  EXPECT_EQ(Xlat_LoadTableFromDir(dir_.c_str(), kXlatTags, "tags", err), 0);
  EXPECT_EQ(std::string(err), "CAN'T ALLOCATE MEMORY FOR TRANSLATIONS FILE " + path + " - ERROR 8");
  Xlat_MarkLoaded();
  char16_t out[kXlatTagSize];
  EXPECT_EQ(Xlat_Lookup(kXlatTags, "TI101", out, kXlatTagSize), 0);
  EXPECT_EQ(std::u16string(out), u"TI101");
  Xlat_FreeTables();
}

TEST_F(TranslationsTest, TranslationsLoadFromTheTranslationsDirectoryOnFirstLookup) {
  Write("tags.txt", "Tag\tText\nTI101\tOfen\n");
  Write("units.csv", "Units,Text\ndegC,Grad\n");  // no descriptions file: an empty table
  setenv("CDX_TRANSLATIONS", dir_.c_str(), 1);
  Xlat_FreeTables();
  char16_t out[33];
  EXPECT_EQ(Xlat_Lookup(kXlatTags, "TI101", out, kXlatTagSize), 1);
  EXPECT_EQ(std::u16string(out), u"Ofen");
  EXPECT_EQ(Xlat_Lookup(kXlatUnits, "degC", out, kXlatUnitsSize), 1);
  EXPECT_EQ(std::u16string(out), u"Grad");
  Xlat_FreeTables();

  char err[300] = "";
  setenv("CDX_TRANSLATIONS", (dir_ / "missing").c_str(), 1);
  EXPECT_EQ(Xlat_LoadTables(nullptr, err), 1) << err;  // no files there: empty tables
  EXPECT_EQ(Xlat_Lookup(kXlatTags, "TI101", out, kXlatTagSize), 0);
  Xlat_FreeTables();

  // Without a buffer for the error text, it goes to the error log.
  setenv("CDX_TRANSLATIONS", dir_.c_str(), 1);
  setenv("CDXPLAT_EVENTLOG", "file", 1);
  Write("tags.txt", "only\theader\n");
  EXPECT_EQ(Xlat_LoadTables(nullptr, nullptr), 0);
  std::ifstream log(plat::Root() + "/eventlog");
  std::string logged((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  EXPECT_NE(logged.find("NO TRANSLATIONS PARSED IN FILE"), std::string::npos) << logged;
  unsetenv("CDXPLAT_EVENTLOG");
  unsetenv("CDX_TRANSLATIONS");
  Xlat_FreeTables();
}

TEST(WideField, StoreAndRead) {
  unsigned char field[32] = {};
  uint32_t flags = 0;
  EXPECT_EQ(std::u16string(Xlat_ReadWideText32(field, flags)), u"");  // flag clear
  struct Case {
    std::u16string text, back;
  } cases[] = {
      {u"Pump 1", u"Pump 1"},
      {u"Température", u"Température"},
      {std::u16string(32, u'x'), std::u16string(32, u'x')},
      {std::u16string(40, u'y'), std::u16string(32, u'y')},
      {std::u16string(30, u'\xe9'), std::u16string(30, u'\xe9')},  // too long for UTF-8: single bytes
      {u"Насос номер один и два", u"Насос номер оди"},           // 15 UTF-16 characters
  };
  for (const auto& c : cases) {
    flags = 0;
    memset(field, 0x5A, sizeof field);
    Xlat_StoreWideText(field, &flags, c.text.c_str());
    EXPECT_EQ(flags & 1u, 1u);
    EXPECT_EQ(std::u16string(Xlat_ReadWideText32(field, flags)), c.back);
    Xlat_StoreWideText64(field, &flags, c.text.c_str());
    EXPECT_EQ(std::u16string(Xlat_ReadWideText64(field, flags)), c.back);
  }
  // Bytes a peer stored in Windows-1252 that are not valid UTF-8.
  memset(field, 0, sizeof field);
  memcpy(field, "\x80 5 \xe9t\xe9", 7);
  EXPECT_EQ(std::u16string(Xlat_ReadWideText32(field, 1)), u"€ 5 été");
}

}  // namespace
