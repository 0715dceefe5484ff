// Channel and device XML files: the switches, the generic item writer and
// reader over structure types of the test's own, the two file layouts,
// merge, the element list and its checks, the extension-library entries
// (tests/extlibs/tstxm_ex.cpp) and the failure reports.
#include "cdxlib/config/xmlconfig.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <csignal>
#include <random>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "base/structs/structs.h"
#include "cdxlib/sys/registry.h"
#include "platform/error.h"
#include "platform/eventlog.h"
#include "platform/root.h"
#include "support/child.h"

#include "config_support.h"

namespace {

namespace fs = std::filesystem;
using cfgtest::kExtDir;

using cfgtest::ReadFile;
using cfgtest::SetSwitch;
using cfgtest::WriteFile;
void ClearSwitch(const char* name) {
  Reg_DeleteValue(plat::HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillomatic\\Coordinatrix", name);
}

// ---- channel types of the test's own: a few items of each family over
// the real record layout.
constinit const StructsType tag_type = Structs_FixedStringType(8);
constinit const StructsType desc_type = Structs_FixedStringType(16);
constinit const StructsType text_type = Structs_FixedStringType(32);
constinit const StructsType hw16_type = Structs_FixedDataType(16);
constinit const StructsType hw24_type = Structs_FixedDataType(24);

struct A {
  char Tag[8];
  char Desc[16];
  uint8_t Type;
  uint8_t r[3];
  uint8_t Enable;  // byte 28: index 7 is its bit 0
  uint8_t f[3];
  char Units[4];
  float Gain;
  uint8_t pad[32];
  uint8_t HighAlarmPriority;
  uint8_t LowAlarmPriority;
  char HighAlarmText[32];
  uint8_t rest[216 - 106];
};
static_assert(offsetof(A, Gain) == 36 && offsetof(A, HighAlarmPriority) == 72 && offsetof(A, HighAlarmText) == 74);
constinit const StructsField analog_fields[] = {
    {"Tag", &tag_type, 8, 0},
    {"Description", &desc_type, 16, 8},
    {"Type", &structs_type_chan_kind8, 1, 24},
    {"Enable", &structs_type_boolean8_onoff, 1, 28},
    {"Gain", &structs_type_float, 4, 36},
    {"HighAlarmPriority", &structs_type_uint8, 1, 72},
    {"HighAlarmText", &text_type, 32, 74},
    {"Analogue", &hw16_type, 16, 188},
    STRUCTS_FIELD_END};
constinit const StructsField digital_fields[] = {
    {"Tag", &tag_type, 8, 0},
    {"Description", &desc_type, 16, 8},
    {"Type", &structs_type_chan_kind8, 1, 24},
    {"Enable", &structs_type_boolean8_onoff, 1, 28},
    {"HighStateText", &text_type, 32, 32},
    {"Digital", &hw24_type, 24, 192},
    STRUCTS_FIELD_END};
constinit const StructsType analog_type = Structs_StructureType(216, analog_fields);
constinit const StructsType digital_type = Structs_StructureType(216, digital_fields);
const CfgChannelTypes kTypes{&analog_type, &digital_type, "Analogue", "Digital"};

constinit const StructsField save_fields[] = {
    {"AutoEnable", &structs_type_boolean32_onoff, 4, 0},
    {"SaveOutputs", &structs_type_boolean32_onoff, 4, 4},
    {"SaveByTag", &structs_type_boolean32_onoff, 4, 8},
    {"SaveRate", &structs_type_uint32, 4, 12},
    STRUCTS_FIELD_END};
constinit const StructsType save_type = Structs_StructureType(16, save_fields);

ChannelConfig Analog(const char* tag, float gain, uint8_t node, uint16_t address) {
  ChannelConfig c;
  memset(&c, 0, sizeof c);
  memcpy(c.TagPart1, tag, std::min<size_t>(strlen(tag), 7));
  c.Type = kKindAI;
  c.Flags[0] = 0;  // disabled: only Enable is required
  c.analog.Gain = gain;
  c.analog.Hardware[0] = node;
  memcpy(&c.analog.Hardware[2], &address, 2);
  return c;
}

class XmlConfigTest : public ::testing::Test {
 protected:
  std::string configRoot, dir;
  void SetUp() override {
    setenv("CDX_BIN", kExtDir.c_str(), 1);
    setenv("CDXPLAT_EVENTLOG", "file", 1);
    ExtDll_ForgetDoXml();
    configRoot = plat::Root() + "/xmlcfg/CURRENT_CONFIG";
    dir = configRoot + "/tstxm_1";
    fs::remove_all(plat::Root() + "/xmlcfg");
    fs::create_directories(dir);
    fs::remove(plat::EventLogFilePath());
  }
  std::string Path(const std::string& name) const { return dir + "/" + name; }
};

// ---------------------------------------------------------------- switches

TEST_F(XmlConfigTest, SwitchWordsInAnyCaseAndTheirDefaults) {
  ClearSwitch("ReadXML");
  ClearSwitch("WriteXML");
  EXPECT_EQ(XmlOpt_ReadXml(dir.c_str()), 0);
  EXPECT_EQ(XmlOpt_WriteXml(dir.c_str()), kWriteXmlBin);
  EXPECT_EQ(XmlOpt_ExcelCompatibleXsd(dir.c_str()), 1u);
  struct {
    const char* read;
    int readXml;
    const char* write;
    int writeXml;
  } cases[] = {
      {"ON", 1, "XML", 2}, {"on", 1, "xMl", 2}, {"OFF", 0, "BOTH", 1}, {"Off", 0, "both", 1},
      {"maybe", 0, "BIN", 0}, {"", 0, "binary", 0}, {"oN", 1, "", 0},
  };
  for (const auto& c : cases) {
    SetSwitch("ReadXML", c.read);
    SetSwitch("WriteXML", c.write);
    EXPECT_EQ(XmlOpt_ReadXml(dir.c_str()), c.readXml) << c.read;
    EXPECT_EQ(XmlOpt_WriteXml(dir.c_str()), c.writeXml) << c.write;
  }
  // Another machine's switches cannot be read here: its defaults hold.
  SetSwitch("ReadXML", "ON");
  SetSwitch("WriteXML", "XML");
  EXPECT_EQ(XmlOpt_ReadXml("\\\\FARAWAY\\Product\\CURRENT_CONFIG\\plc_1"), 0);
  EXPECT_EQ(XmlOpt_WriteXml("\\\\FARAWAY\\Product\\CURRENT_CONFIG\\plc_1"), 0);
  EXPECT_EQ(XmlOpt_Machine("\\\\FARAWAY\\Product\\CURRENT_CONFIG\\plc_1"), "FARAWAY");
  EXPECT_EQ(XmlOpt_Machine("\\\\localhost\\Product"), "localhost");
  EXPECT_EQ(XmlOpt_ReadXml("\\\\localhost\\Product\\CURRENT_CONFIG\\plc_1"), 1);
  EXPECT_EQ(XmlOpt_Machine(dir.c_str()), ".");
  ClearSwitch("ReadXML");
  ClearSwitch("WriteXML");
}

// ---------------------------------------------------------------- lists and checks

TEST_F(XmlConfigTest, RequiredElementsAreLookedUpWithCommasOnBothSides) {
  xml_FreeDocument(xml_CreateDocument());
  EXPECT_EQ(Cfg_CheckRequired(",Enable,Tag,", "Tag"), 0);
  EXPECT_EQ(Cfg_CheckRequired(",Enable,Tag,", "Enable"), 0);
  EXPECT_EQ(xml_GetError(), 0);
  EXPECT_EQ(Cfg_CheckRequired(",Enable,TagX,", "Tag"), -1);
  EXPECT_LT(xml_GetError(), 0);
  EXPECT_STREQ(xml_GetErrorMessage(), "<Tag> Required");
}

// ---------------------------------------------------------------- channel files

TEST_F(XmlConfigTest, ChannelFileLayoutEscapingAndCp1252RoundTrip) {
  std::vector<ChannelConfig> in = {Analog("A<&>\"'", 2.5f, 3, 0x1234), Analog("\x80\xe9\x81", -1e-3f, 0, 0)};
  // Texts that need escaping and Windows-1252 characters (euro sign, e
  // acute, an unassigned byte).
  strcpy(in[0].analog.HighAlarmText, "a < b & c > d \"q\" 'x' \xa3\x9f");
  memcpy(in[1].DescriptionPart1, "caf\xe9 \x80\x85\x9c", 9);
  in[1].analog.HighAlarmPriority = 255;
  ASSERT_EQ(CfgXml_WriteChannels(kTypes, nullptr, dir.c_str(), kKindAI, in.data(), 0, 2, nullptr, 0, 0), 0)
      << xml_GetErrorText();
  const std::string text = ReadFile(Path("ai.xml"));
  EXPECT_EQ(text.rfind("<?xml version='1.0' encoding='UTF-8'?>\n<!--Created Automatically by Hexaplan.-->\n", 0), 0u)
      << text;
  EXPECT_NE(text.find("<Channels xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
                      "xmlns=\"http://www.quillomatic.invalid/Coordinatrix/tstxm_ai\" "
                      "xsi:schemaLocation=\"http://www.quillomatic.invalid/Coordinatrix/tstxm_ai ../SCHEMA/tstxm_ai.xsd\">"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("\n\t<Channel id=\"1\">\n\t\t<Tag>A&lt;&amp;&gt;\"'</Tag>\n"), std::string::npos) << text;
  EXPECT_NE(text.find("<Description>café €…œ</Description>"), std::string::npos) << text;
  // The extension library's hardware type stands where "Analogue" would.
  EXPECT_NE(text.find("<Node>3</Node>\n\t\t<WordAddress>4660</WordAddress>"), std::string::npos) << text;
  EXPECT_EQ(text.find("<Analogue>"), std::string::npos) << text;

  std::vector<ChannelConfig> out(2);
  ASSERT_EQ(CfgXml_LoadChannels(kTypes, dir.c_str(), kKindAI, out.data(), 0, 2, nullptr, 0), 0) << xml_GetErrorText();
  for (int i = 0; i < 2; ++i) {
    // Bytes that the items cover come back; the rest reads as zeros.
    EXPECT_EQ(memcmp(out[i].TagPart1, in[i].TagPart1, 8), 0) << i;
    EXPECT_EQ(memcmp(out[i].DescriptionPart1, in[i].DescriptionPart1, 16), 0) << i;
    EXPECT_EQ(out[i].analog.Gain, in[i].analog.Gain) << i;
    EXPECT_EQ(out[i].analog.HighAlarmPriority, in[i].analog.HighAlarmPriority) << i;
    EXPECT_STREQ(out[i].analog.HighAlarmText, in[i].analog.HighAlarmText) << i;
    EXPECT_EQ(memcmp(out[i].analog.Hardware, in[i].analog.Hardware, 4), 0) << i;
  }
}

// A library's hardware type wider than the record's hardware part (the
// counter inputs' of tests/extlibs/tstxm): what lies past the record is
// written as zeros, never read from beyond it, and the part's own bytes
// round-trip.
TEST_F(XmlConfigTest, AHardwareTypeWiderThanTheRecordIsWrittenFromTheRecordAlone) {
  std::vector<ChannelConfig> in = {Analog("W1", 1.5f, 9, 0x0102), Analog("W2", 2.5f, 10, 0x0304)};
  for (auto& c : in) c.Type = kKindCI;
  ASSERT_EQ(CfgXml_WriteChannels(kTypes, nullptr, dir.c_str(), kKindCI, in.data(), 0, 2, nullptr, 0, 0), 0)
      << xml_GetErrorText();
  const std::string text = ReadFile(Path("ci.xml"));
  EXPECT_NE(text.find("<Node>9</Node>\n\t\t<WordAddress>258</WordAddress>\n\t\t<Scale>0</Scale>"),
            std::string::npos)
      << text;
  std::vector<ChannelConfig> out(2);
  ASSERT_EQ(CfgXml_LoadChannels(kTypes, dir.c_str(), kKindCI, out.data(), 0, 2, nullptr, 0), 0)
      << xml_GetErrorText();
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(memcmp(out[i].analog.Hardware, in[i].analog.Hardware, sizeof in[i].analog.Hardware), 0) << i;
    EXPECT_EQ(out[i].analog.Gain, in[i].analog.Gain) << i;
  }
}

TEST_F(XmlConfigTest, MergeKeepsOtherChannelsAndForeignElementsRewriteDoesNot) {
  std::vector<ChannelConfig> five;
  for (int i = 0; i < 5; ++i) five.push_back(Analog(("CH" + std::to_string(i)).c_str(), float(i), 1, uint16_t(i)));
  ASSERT_EQ(CfgXml_WriteChannels(kTypes, nullptr, dir.c_str(), kKindAI, five.data(), 0, 5, nullptr, 0, 0), 0);
  // A hand-added element in channel 2 and a comment-free foreign element.
  std::string text = ReadFile(Path("ai.xml"));
  const size_t at = text.find("<Channel id=\"2\">") + strlen("<Channel id=\"2\">");
  text.insert(at, "<Remark>kept</Remark>");
  WriteFile(Path("ai.xml"), text);

  ChannelConfig third = Analog("NEW", 9.5f, 2, 77);
  ASSERT_EQ(CfgXml_WriteChannels(kTypes, nullptr, dir.c_str(), kKindAI, &third, 2, 1, nullptr, 0, 1), 0)
      << xml_GetErrorText();
  std::vector<ChannelConfig> out(5);
  ASSERT_EQ(CfgXml_LoadChannels(kTypes, dir.c_str(), kKindAI, out.data(), 0, 5, nullptr, 0), 0) << xml_GetErrorText();
  for (int i = 0; i < 5; ++i) {
    const ChannelConfig& want = i == 2 ? third : five[size_t(i)];
    EXPECT_STREQ(out[i].TagPart1, want.TagPart1) << i;
    EXPECT_EQ(out[i].analog.Gain, want.analog.Gain) << i;
  }
  text = ReadFile(Path("ai.xml"));
  EXPECT_NE(text.find("<Remark>kept</Remark>"), std::string::npos) << text;
  // Saved again unchanged: the same bytes (no blank lines pile up).
  ASSERT_EQ(CfgXml_WriteChannels(kTypes, nullptr, dir.c_str(), kKindAI, &third, 2, 1, nullptr, 0, 1), 0);
  EXPECT_EQ(ReadFile(Path("ai.xml")), text);

  // Rewrite: only what was given.
  ASSERT_EQ(CfgXml_WriteChannels(kTypes, nullptr, dir.c_str(), kKindAI, five.data(), 0, 2, nullptr, 0, 0), 0);
  text = ReadFile(Path("ai.xml"));
  EXPECT_EQ(text.find("<Remark>"), std::string::npos);
  EXPECT_EQ(text.find("id=\"3\""), std::string::npos);
}

TEST_F(XmlConfigTest, MissingChannelsFirstFailsLaterReadAsZeros) {
  std::vector<ChannelConfig> two = {Analog("ONE", 1, 1, 1), Analog("TWO", 2, 1, 2)};
  ASSERT_EQ(CfgXml_WriteChannels(kTypes, nullptr, dir.c_str(), kKindAI, two.data(), 0, 2, nullptr, 0, 0), 0);
  std::vector<ChannelConfig> out(4);
  memset(out.data(), 0xAB, out.size() * sizeof out[0]);
  ASSERT_EQ(CfgXml_LoadChannels(kTypes, dir.c_str(), kKindAI, out.data(), 0, 4, nullptr, 0), 0) << xml_GetErrorText();
  ChannelConfig zero;
  memset(&zero, 0, sizeof zero);
  EXPECT_EQ(memcmp(&out[2], &zero, sizeof zero), 0);
  EXPECT_EQ(memcmp(&out[3], &zero, sizeof zero), 0);

  errno = 0;
  EXPECT_EQ(CfgXml_LoadChannels(kTypes, dir.c_str(), kKindAI, out.data(), 2147483647, 1, nullptr, 0), -1);
  EXPECT_EQ(errno, 87) << "a range past the last id";
  errno = 0;
  EXPECT_EQ(CfgXml_LoadChannels(kTypes, dir.c_str(), kKindAI, out.data(), 2, 1, nullptr, 0), -1);
  EXPECT_EQ(errno, 1465);
  EXPECT_EQ(plat::GetLastError(), 1465u);
  EXPECT_STREQ(xml_GetErrorMessage(), "Channel id=3 Not Found");
  const std::string log = ReadFile(plat::EventLogFilePath());
  EXPECT_NE(log.find("tstxm_1  - Channel id=3 Not Found"), std::string::npos) << log;
}

// Each broken file gives its error, 1465, an error-log entry, and the
// caller's records stay as they were for the channel that failed.
TEST_F(XmlConfigTest, BrokenFilesGiveTheirErrors) {
  const std::string head = "<?xml version='1.0' encoding='UTF-8'?><Channels>";
  struct {
    const char* name;
    std::string body;
    const char* message;
  } cases[] = {
      {"malformed", "<?xml version='1.0'?><Channels><Channel id=\"1\"><Tag>x</Channel>", "Xml Load Failed ("},
      {"no root", "<?xml version='1.0'?><Other/>", "Root Element <Channels> not found"},
      {"not found", head + "<Channel id=\"2\"/></Channels>", "Channel id=1 Not Found"},
      {"out of range", head + "<Channel id=\"1\"><Enable>On</Enable><HighAlarmPriority>300</HighAlarmPriority>"
                              "</Channel></Channels>",
       " <HighAlarmPriority> "},
      {"bad kind", head + "<Channel id=\"1\"><Enable>Off</Enable><Type>XX</Type></Channel></Channels>", " <Type> "},
      {"not a number", head + "<Channel id=\"1\"><Enable>Off</Enable><Gain>1.5x</Gain></Channel></Channels>",
       " <Gain> "},
      {"missing Enable", head + "<Channel id=\"1\"><Tag>T</Tag></Channel></Channels>", "<Enable> Required"},
      {"text too long", head + "<Channel id=\"1\"><Enable>Off</Enable><Tag>12345678</Tag></Channel></Channels>",
       " <Tag> "},
      {"library rejects", head + "<Channel id=\"1\"><Enable>Off</Enable><Node>255</Node></Channel></Channels>",
       "node 255 is the broadcast address"},
  };
  for (const auto& c : cases) {
    WriteFile(Path("ai.xml"), c.body);
    fs::remove(plat::EventLogFilePath());
    ChannelConfig out;
    memset(&out, 0x5A, sizeof out);
    errno = 0;
    EXPECT_EQ(CfgXml_LoadChannels(kTypes, dir.c_str(), kKindAI, &out, 0, 1, nullptr, 0), -1) << c.name;
    EXPECT_EQ(errno, 1465) << c.name;
    EXPECT_EQ(plat::GetLastError(), 1465u) << c.name;
    EXPECT_NE(std::string(xml_GetErrorText()).find(c.message), std::string::npos)
        << c.name << ": " << xml_GetErrorText();
    EXPECT_NE(ReadFile(plat::EventLogFilePath()).find(c.message), std::string::npos) << c.name;
    EXPECT_EQ(out.TagPart1[0], 0x5A) << c.name;
  }
  // Unknown elements are left alone.
  WriteFile(Path("ai.xml"), head + "<Channel id=\"1\"><Enable>Off</Enable><Colour>red</Colour></Channel></Channels>");
  ChannelConfig out;
  EXPECT_EQ(CfgXml_LoadChannels(kTypes, dir.c_str(), kKindAI, &out, 0, 1, nullptr, 0), 0) << xml_GetErrorText();
}

// Channels are read while the file is parsed: a file that breaks after
// channels were read (or kept for later, when they came out of order)
// fails as a whole, with the parser's error even where a channel failed
// first, and the caller gets no record and zeroed extra data.
TEST_F(XmlConfigTest, AFileThatBreaksAfterItsFirstChannelsGivesNoRecord) {
  struct Extra {
    float Setpoint;
    uint32_t Mode;
  };
  std::vector<ChannelConfig> in = {Analog("C1", 1, 1, 1), Analog("C2", 2, 1, 2), Analog("C3", 3, 1, 3)};
  Extra extra[3] = {{1.5f, 8}, {-2.25f, 6}, {4.0f, 2}};
  ASSERT_EQ(CfgXml_WriteChannels(kTypes, nullptr, dir.c_str(), kKindAI, in.data(), 0, 3, extra, sizeof extra, 0), 0)
      << xml_GetErrorText();
  const std::string good = ReadFile(Path("ai.xml"));
  const size_t third = good.find("<Channel id=\"3\">");
  const size_t second = good.find("<Channel id=\"2\">");
  ASSERT_NE(third, std::string::npos);
  ASSERT_NE(second, std::string::npos);
  std::string reordered = good;  // channel 2 before channel 1, to be kept
  {
    const size_t firstAt = good.find("<Channel id=\"1\">");
    const std::string one = good.substr(firstAt, second - firstAt), two = good.substr(second, third - second);
    reordered.replace(firstAt, third - firstAt, two + one);
  }
  std::string badFirst = good;  // channel 1 fails on its own, the file later
  badFirst.replace(badFirst.find("<Enable>Off</Enable>"), 20, "<Enable>Maybe</Enable>");
  struct {
    const char* name;
    std::string body;
  } cases[] = {
      {"cut in the third channel", good.substr(0, third + 30)},
      {"tags crossed in the third channel", good.substr(0, third) + "<Channel id=\"3\"><Tag>x</Channel></Channels>"},
      {"kept channel, then cut", reordered.substr(0, reordered.size() - 5)},
      {"failed channel, then cut", badFirst.substr(0, third + 30)},
  };
  for (const auto& c : cases) {
    WriteFile(Path("ai.xml"), c.body);
    std::vector<ChannelConfig> out(3);
    memset(out.data(), 0x5A, out.size() * sizeof out[0]);
    Extra back[3];
    memset(back, 0xFF, sizeof back);
    errno = 0;
    EXPECT_EQ(CfgXml_LoadChannels(kTypes, dir.c_str(), kKindAI, out.data(), 0, 3, back, sizeof back), -1) << c.name;
    EXPECT_EQ(errno, 1465) << c.name;
    // The file is to blame, not a channel.
    EXPECT_EQ(std::string(xml_GetErrorText()).find("tstxm_1  - Xml Load Failed ("), 0u)
        << c.name << ": " << xml_GetErrorText();
    for (const ChannelConfig& r : out) EXPECT_EQ(r.TagPart1[0], 0x5A) << c.name;
    const Extra zero[3] = {};
    EXPECT_EQ(memcmp(back, zero, sizeof back), 0) << c.name;
  }
  // Whole again, the reordered file reads as the original.
  WriteFile(Path("ai.xml"), reordered);
  std::vector<ChannelConfig> out(3);
  Extra back[3];
  ASSERT_EQ(CfgXml_LoadChannels(kTypes, dir.c_str(), kKindAI, out.data(), 0, 3, back, sizeof back), 0)
      << xml_GetErrorText();
  for (int i = 0; i < 3; ++i) EXPECT_STREQ(out[size_t(i)].TagPart1, in[size_t(i)].TagPart1) << i;
  EXPECT_EQ(back[1].Mode, 6u);
  EXPECT_EQ(back[2].Setpoint, 4.0f);
}

// A channel file above the XML size limit fails the load as any file that
// does not read: 1465, with the reason in the error log.
TEST_F(XmlConfigTest, AChannelFileAboveTheSizeLimitFailsTheLoadWith1465) {
  WriteFile(Path("ai.xml"), "<?xml version='1.0'?><Channels>");
  ASSERT_EQ(truncate(Path("ai.xml").c_str(), (64 << 20) + 1), 0);
  ChannelConfig out;
  errno = 0;
  EXPECT_EQ(CfgXml_LoadChannels(kTypes, dir.c_str(), kKindAI, &out, 0, 1, nullptr, 0), -1);
  EXPECT_EQ(errno, 1465);
  EXPECT_EQ(plat::GetLastError(), 1465u);
  EXPECT_NE(std::string(xml_GetErrorText()).find("File Too Large"), std::string::npos) << xml_GetErrorText();
  EXPECT_NE(ReadFile(plat::EventLogFilePath()).find("File Too Large"), std::string::npos);
}

TEST_F(XmlConfigTest, AMergeIntoAFileThatCannotBeReadWritesNothing) {
  const std::string broken = "<?xml version='1.0'?><Channels><Channel id=\"1\">";
  WriteFile(Path("ai.xml"), broken);
  ChannelConfig c = Analog("X", 1, 1, 1);
  errno = 0;
  EXPECT_EQ(CfgXml_WriteChannels(kTypes, nullptr, dir.c_str(), kKindAI, &c, 0, 1, nullptr, 0, 1), -1);
  EXPECT_EQ(errno, 1465);
  EXPECT_EQ(ReadFile(Path("ai.xml")), broken);
  WriteFile(Path("config.xml"), "<Configs><Config>");
  uint8_t enable = 1;
  EXPECT_EQ(CfgXml_WriteDevice(&save_type, nullptr, dir.c_str(), nullptr, 0, nullptr, 0, &enable, nullptr, nullptr,
                               nullptr),
            -1);
  EXPECT_EQ(ReadFile(Path("config.xml")), "<Configs><Config>");
  // No temporary file is left behind.
  for (const auto& e : fs::directory_iterator(dir))
    EXPECT_TRUE(e.path().filename() == "ai.xml" || e.path().filename() == "config.xml") << e.path();
}

TEST_F(XmlConfigTest, ChannelExtraDataGoesThroughTheLibraryOnACopy) {
  struct Extra {
    float Setpoint;
    uint32_t Mode;
  };
  std::vector<ChannelConfig> in = {Analog("E1", 1, 1, 1), Analog("E2", 2, 1, 2)};
  Extra extra[2] = {{1.5f, 8}, {-2.25f, 6}};
  Extra before[2];
  memcpy(before, extra, sizeof extra);
  ASSERT_EQ(CfgXml_WriteChannels(kTypes, nullptr, dir.c_str(), kKindAI, in.data(), 0, 2, extra, sizeof extra, 0), 0)
      << xml_GetErrorText();
  EXPECT_EQ(memcmp(extra, before, sizeof extra), 0) << "the caller's extra data is not changed by a save";
  const std::string text = ReadFile(Path("ai.xml"));
  EXPECT_NE(text.find("<Setpoint>1.5</Setpoint>\n\t\t<Mode>4</Mode>"), std::string::npos) << text;
  Extra back[2];
  memset(back, 0xFF, sizeof back);
  std::vector<ChannelConfig> out(2);
  ASSERT_EQ(CfgXml_LoadChannels(kTypes, dir.c_str(), kKindAI, out.data(), 0, 2, back, sizeof back), 0)
      << xml_GetErrorText();
  EXPECT_EQ(memcmp(back, before, sizeof back), 0);
}

// ---------------------------------------------------------------- device file

TEST_F(XmlConfigTest, DeviceFileRoundTripAndMerge) {
  DeviceConfig dc;
  memset(&dc, 0, sizeof dc);
  dc.ScanRate = 750;
  dc.Comm.RetryCount = 3;
  dc.Comm.Node = 9;
  strcpy(dc.Comm.Port, "COM&2");
  char site[16] = "Hall \x80 5";
  uint8_t enable = 1, saveOutputs = 0, byTag = 1;
  uint32_t rate = 60000;
  ASSERT_EQ(CfgXml_WriteDevice(&save_type, nullptr, dir.c_str(), &dc, sizeof dc, site, sizeof site, &enable,
                               &saveOutputs, &byTag, &rate),
            0)
      << xml_GetErrorText();
  const std::string text = ReadFile(Path("config.xml"));
  EXPECT_NE(text.find("<Configs xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
                      "xmlns=\"http://www.quillomatic.invalid/Coordinatrix/tstxm\" "
                      "xsi:schemaLocation=\"http://www.quillomatic.invalid/Coordinatrix/tstxm ../SCHEMA/tstxm.xsd\">\n"
                      "\t<Config>\n\t\t<AutoEnable>On</AutoEnable>\n\t\t<SaveOutputs>Off</SaveOutputs>\n"
                      "\t\t<SaveByTag>On</SaveByTag>\n\t\t<SaveRate>60000</SaveRate>\n\t\t<ScanRate>750</ScanRate>\n"
                      "\t\t<RetryCount>3</RetryCount>\n\t\t<Node>9</Node>\n\t\t<Port>COM&amp;2</Port>\n"
                      "\t\t<Site>Hall € 5</Site>\n\t</Config>\n</Configs>"),
            std::string::npos)
      << text;

  // Only the enable flag changes: everything else stays in the file.
  enable = 0;
  ASSERT_EQ(CfgXml_WriteDevice(&save_type, nullptr, dir.c_str(), nullptr, 0, nullptr, 0, &enable, nullptr, nullptr,
                               nullptr),
            0);
  DeviceConfig back;
  memset(&back, 0xEE, sizeof back);
  char siteBack[16];
  uint8_t e = 9, so = 9, bt = 9;
  uint32_t r = 9;
  ASSERT_EQ(CfgXml_LoadDevice(&save_type, dir.c_str(), &back, sizeof back, siteBack, sizeof siteBack, &e, &so, &bt,
                              &r),
            0)
      << xml_GetErrorText();
  EXPECT_EQ(memcmp(&back, &dc, sizeof dc), 0);
  EXPECT_EQ(memcmp(siteBack, site, sizeof site), 0);
  EXPECT_EQ(e, 0);
  EXPECT_EQ(so, 0);
  EXPECT_EQ(bt, 1);
  EXPECT_EQ(r, 60000u);
}

TEST_F(XmlConfigTest, DeviceFileErrors) {
  const std::string head = "<?xml version='1.0'?><Configs><Config>";
  struct {
    const char* name;
    std::string body;
    bool withSaveOptions;
    const char* message;
  } cases[] = {
      {"no root", "<Config/>", false, "Root Element <Configs> not found"},
      {"no Config", "<Configs><Other/></Configs>", false, "<Config> tag not found"},
      {"no SaveRate", head + "<AutoEnable>On</AutoEnable><SaveOutputs>Off</SaveOutputs><SaveByTag>Off</SaveByTag>"
                             "</Config></Configs>",
       true, "<SaveRate> tag not found"},
      {"bad boolean", head + "<AutoEnable>Maybe</AutoEnable></Config></Configs>", true, "<AutoEnable> "},
      {"rate too big", head + "<ScanRate>4294967296</ScanRate><Port>C</Port></Config></Configs>", false,
       "<ScanRate> "},
      {"library rejects", head + "<ScanRate>0</ScanRate><Port>C</Port></Config></Configs>", false,
       "a scan period of 0 ms"},
      {"library requires", head + "<ScanRate>10</ScanRate></Config></Configs>", false, "<Port> Required"},
  };
  for (const auto& c : cases) {
    WriteFile(Path("config.xml"), c.body);
    DeviceConfig dc;
    uint8_t e, so, bt;
    uint32_t r;
    errno = 0;
    const int rc = c.withSaveOptions
                       ? CfgXml_LoadDevice(&save_type, dir.c_str(), nullptr, 0, nullptr, 0, &e, &so, &bt, &r)
                       : CfgXml_LoadDevice(&save_type, dir.c_str(), &dc, sizeof dc, nullptr, 0, nullptr, nullptr,
                                           nullptr, nullptr);
    EXPECT_EQ(rc, -1) << c.name;
    EXPECT_EQ(errno, 1465) << c.name;
    EXPECT_NE(std::string(xml_GetErrorText()).find(c.message), std::string::npos)
        << c.name << ": " << xml_GetErrorText();
    EXPECT_NE(std::string(xml_GetErrorText()).find("tstxm_1 Dev/Proc Config - "), std::string::npos) << c.name;
  }
}

// Without a library that has the entries, the device record is not in the
// file and the hardware part is the default hex field.
TEST_F(XmlConfigTest, WithoutLibraryTypesTheDefaultsHold) {
  const std::string plain = configRoot + "/tstdx_2";
  fs::create_directories(plain);
  ChannelConfig c = Analog("H", 1, 0xAB, 0x0102);
  ASSERT_EQ(CfgXml_WriteChannels(kTypes, nullptr, plain.c_str(), kKindAI, &c, 0, 1, nullptr, 0, 1), 0);
  const std::string text = ReadFile(plain + "/ai.xml");
  EXPECT_NE(text.find("<Analogue>ab000201000000000000000000000000</Analogue>"), std::string::npos) << text;
  DeviceConfig dc{};
  dc.ScanRate = 5;
  uint8_t enable = 1;
  ASSERT_EQ(CfgXml_WriteDevice(&save_type, nullptr, plain.c_str(), &dc, sizeof dc, nullptr, 0, &enable, nullptr,
                               nullptr, nullptr),
            0);
  EXPECT_EQ(ReadFile(plain + "/config.xml").find("ScanRate"), std::string::npos);
  // Read back, the record comes out zeroed: what the caller's buffer held
  // before (a stack record, say) never passes for a loaded record.
  DeviceConfig back;
  std::memset(&back, 0xAB, sizeof back);
  ASSERT_EQ(CfgXml_LoadDevice(&save_type, plain.c_str(), &back, sizeof back, nullptr, 0, nullptr, nullptr, nullptr,
                              nullptr),
            0);
  const DeviceConfig zero{};
  EXPECT_EQ(std::memcmp(&back, &zero, sizeof back), 0);
}

// A save killed at any moment leaves the old file or the new one: a child
// rewrites the file over and over with two generations of 100 channels,
// and is killed with SIGKILL at a random point of a save, 100 times.
TEST_F(XmlConfigTest, KillDuringSaveLeavesTheOldOrTheNewFile) {
  constexpr int kChannels = 100;
  auto generation = [](int g) {
    std::vector<ChannelConfig> v;
    for (int i = 0; i < kChannels; ++i) v.push_back(Analog(("G" + std::to_string(g)).c_str(), float(g), 1, 1));
    return v;
  };
  const std::vector<ChannelConfig> gens[2] = {generation(1), generation(2)};
  ASSERT_EQ(CfgXml_WriteChannels(kTypes, nullptr, dir.c_str(), kKindAI, gens[0].data(), 0, kChannels, nullptr, 0, 0),
            0);
  std::mt19937 rng(12345);
  for (int round = 0; round < 100; ++round) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t pid = testsupport::ForkChild([&] {
      close(fds[0]);
      for (int n = 0;; ++n) {
        const auto& g = gens[n % 2];
        if (CfgXml_WriteChannels(kTypes, nullptr, dir.c_str(), kKindAI, g.data(), 0, kChannels, nullptr, 0, 0) != 0)
          return 1;
        if (write(fds[1], "s", 1) != 1) return 2;
      }
    });
    close(fds[1]);
    // Wait for a few completed saves, then kill somewhere inside a later one.
    const int saves = 1 + int(rng() % 3);
    for (int k = 0; k < saves; ++k) {
      char c;
      ASSERT_EQ(read(fds[0], &c, 1), 1) << "the saving child ended early";
    }
    usleep(rng() % 3000);
    kill(pid, SIGKILL);
    EXPECT_EQ(testsupport::WaitChild(pid, 30000), 128 + SIGKILL);
    close(fds[0]);

    std::vector<ChannelConfig> out(kChannels);
    ASSERT_EQ(CfgXml_LoadChannels(kTypes, dir.c_str(), kKindAI, out.data(), 0, kChannels, nullptr, 0), 0)
        << "round " << round << ": " << xml_GetErrorText();
    const float g = out[0].analog.Gain;
    EXPECT_TRUE(g == 1.0f || g == 2.0f) << round;
    for (int i = 1; i < kChannels; ++i) ASSERT_EQ(out[i].analog.Gain, g) << "round " << round << " channel " << i;
  }
}

}  // namespace
