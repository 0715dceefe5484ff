// The configuration files' XML road with the system's channel and device
// types: binary -> XML -> binary round trips byte for byte, the choice of
// files by Ex_DoXml, ReadXML and WriteXML, the channel rules, and the
// schemas the saves write.
#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <libxml/xmlschemas.h>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

#include "base/memory/typedmem.h"
#include "base/structs/structs_item.h"
#include "cdxlib/config/chantypes.h"
#include "cdxlib/config/history.h"
#include "cdxlib/config/xmlconfig.h"
#include "cdxlib/config/configfiles.h"
#include "cdxlib/sys/registry.h"
#include "platform/error.h"
#include "platform/eventlog.h"
#include "platform/root.h"

#include "config_support.h"

namespace {

namespace fs = std::filesystem;
using cfgtest::kExtDir;

using cfgtest::ReadFile;
using cfgtest::SetSwitch;
using cfgtest::WriteFile;

// An analog channel with every item set to a value of its own; the bytes
// that no item covers (reserved bytes, unlisted flag bits, hardware bytes
// past the hex field) stay zero.
ChannelConfig FullAnalog(int seed) {
  ChannelConfig c;
  memset(&c, 0, sizeof c);
  c.Type = seed % 2 ? kKindAO : kKindAI;
  Chan_SetTag(&c, seed % 2 ? "T<&>\"'\x80\xe9-1234567" : "SHORT");
  Chan_SetDescription(&c, "Level & <flow> \"in\" caf\xe9 \x80\x81\x8d\x9f\xff tank");
  Chan_SetUnits(&c, seed % 2 ? "m\xb3/h&<>" : "%");
  const int flags[] = {kAiEnable, kAiEventEnable, kAiHighAlarmEnable, kAiLowAlarmDriveCommon, kAiSigChangeEnable,
                       kAiScalingEnable, kAiLowWarningEnable, kAiErrorAlarmEnable, kAiErrorAlarmDriveCommon};
  for (int f : flags) Chan_SetFlag(&c, f, true);
  AnalogChannelPart& a = c.analog;
  a.Gain = 1.0f / 3.0f;
  a.Offset = -273.15f;
  a.HighEventLimit = 3.4e38f;
  a.LowEventLimit = -1e-30f;
  a.HighAlarmLimit = 99.5f;
  a.HighAlarmDeadband = 0.125f;
  a.LowAlarmLimit = -0.0f;
  a.LowAlarmDeadband = 1.17549435e-38f;  // the smallest normal float
  a.SigChangeValue = 16777217.0f;
  a.HighAlarmPriority = 255;
  a.LowAlarmPriority = static_cast<uint8_t>(seed);
  strcpy(a.HighAlarmText, "HIGH <alarm> & \"stop\" \x80");
  memset(a.LowAlarmText, 'L', sizeof a.LowAlarmText);  // fills the field: no terminator
  a.ErrorAlarmPriority = 7;
  a.ErrorAlarmDelay = 65535;
  a.MaximumUnits = 1000.0f;
  a.MinimumUnits = -1000.0f;
  a.HighWarningLimit = 90.0f;
  a.LowWarningLimit = 10.0f;
  a.HighAlarmDelay = 1234;
  a.LowAlarmDelay = static_cast<uint16_t>(seed * 7);
  for (int i = 0; i < 16; ++i) a.Hardware[i] = static_cast<uint8_t>(0x11 * i + seed);
  return c;
}

ChannelConfig FullDigital(int seed) {
  ChannelConfig c;
  memset(&c, 0, sizeof c);
  c.Type = seed % 2 ? kKindDO : kKindDI;
  Chan_SetTag(&c, "VALVE&<7>\xe4");
  Chan_SetDescription(&c, "Valve \"open\" <limit> \x80 12345678901");
  const int flags[] = {kDiEnable, kDiEventEnable, kDiAlarmEnable, kDiAlarmState, kDiErrorAlarmEnable};
  for (int f : flags) Chan_SetFlag(&c, f, true);
  if (seed % 2) Chan_SetFlag(&c, kDiEventState, true);
  DigitalChannelPart& d = c.digital;
  strcpy(d.HighStateText, "OPEN & <on>");
  memset(d.LowStateText, 'c', sizeof d.LowStateText);
  d.AlarmPriority = 200;
  strcpy(d.AlarmText, "Valve \xab stuck \xbb");
  d.ErrorAlarmPriority = 3;
  d.ErrorAlarmDelay = 500;
  d.AlarmDelay = static_cast<uint16_t>(seed);
  for (int i = 0; i < 24; ++i) d.Hardware[i] = static_cast<uint8_t>(0xF0 - i * 3 + seed);
  return c;
}

class XmlRoadTest : public ::testing::Test {
 protected:
  std::string root;
  void SetUp() override {
    setenv("CDX_BIN", kExtDir.c_str(), 1);
    setenv("CDXPLAT_EVENTLOG", "file", 1);
    ExtDll_ForgetDoXml();
    root = plat::Root() + "/road/CURRENT_CONFIG";
    fs::remove_all(plat::Root() + "/road");
    fs::create_directories(root);
    SetSwitch("ReadXML", "OFF");
    SetSwitch("WriteXML", "BIN");
    Hist_Close();
    Hist_SetEnabled(false);
  }
  std::string Dir(const std::string& name) {
    fs::create_directories(root + "/" + name);
    return root + "/" + name;
  }
};

// ---------------------------------------------------------------- round trips

TEST_F(XmlRoadTest, ChannelsRoundTripBinaryXmlBinaryByteForByte) {
  struct Case {
    int kind;
    std::vector<ChannelConfig> records;
  };
  std::vector<Case> cases = {{kKindAI, {FullAnalog(0), FullAnalog(1), FullAnalog(2)}},
                             {kKindDI, {FullDigital(0), FullDigital(1)}},
                             {kKindDO, {FullDigital(1)}}};
  for (const Case& c : cases) {
    const int n = static_cast<int>(c.records.size());
    const std::string bin1 = Dir("tstdx_1"), xml = Dir("tstdx_2"), bin2 = Dir("tstdx_3");
    SetSwitch("WriteXML", "BIN");
    ASSERT_EQ(Cfg_SaveChannels(nullptr, bin1.c_str(), c.kind, c.records.data(), 0, n, nullptr, 0, nullptr), 0);
    std::vector<ChannelConfig> loaded(c.records.size());
    ASSERT_EQ(Cfg_LoadChannels(bin1.c_str(), c.kind, loaded.data(), 0, n, nullptr, 0, nullptr), 0);

    SetSwitch("WriteXML", "XML");
    ASSERT_EQ(Cfg_SaveChannels(nullptr, xml.c_str(), c.kind, loaded.data(), 0, n, nullptr, 0, nullptr), 0)
        << xml_GetErrorText();
    const std::string kindName = Chan_KindName(c.kind);
    EXPECT_FALSE(fs::exists(xml + "/" + kindName)) << "WriteXML XML writes no binary file";
    ASSERT_TRUE(fs::exists(xml + "/" + kindName + ".xml"));

    SetSwitch("ReadXML", "ON");
    std::vector<ChannelConfig> back(c.records.size());
    memset(back.data(), 0x77, back.size() * sizeof back[0]);
    ASSERT_EQ(Cfg_LoadChannels(xml.c_str(), c.kind, back.data(), 0, n, nullptr, 0, nullptr), 0) << xml_GetErrorText();
    SetSwitch("ReadXML", "OFF");
    for (int i = 0; i < n; ++i)
      EXPECT_EQ(memcmp(&back[size_t(i)], &c.records[size_t(i)], sizeof(ChannelConfig)), 0)
          << kindName << " channel " << i;

    SetSwitch("WriteXML", "BIN");
    ASSERT_EQ(Cfg_SaveChannels(nullptr, bin2.c_str(), c.kind, back.data(), 0, n, nullptr, 0, nullptr), 0);
    const std::string a = ReadFile(bin1 + "/" + kindName), b = ReadFile(bin2 + "/" + kindName);
    ASSERT_EQ(a.size(), b.size());
    EXPECT_EQ(a.substr(8), b.substr(8)) << "only the save time in the header differs";
    fs::remove_all(bin1), fs::remove_all(xml), fs::remove_all(bin2);
  }
}

TEST_F(XmlRoadTest, DeviceRoundTripsThroughTheExtensionLibrarysTypes) {
  DeviceConfig dc;
  memset(&dc, 0, sizeof dc);
  dc.ScanRate = 2500;
  dc.Comm.RetryCount = 4;
  dc.Comm.Node = 255;
  strcpy(dc.Comm.Port, "CO<&>\xe9");
  uint8_t enable = 1, saveOutputs = 1, byTag = 0;
  uint32_t rate = 4000000000u;
  const std::string bin1 = Dir("tstxm_1"), xml = Dir("tstxm_2"), bin2 = Dir("tstxm_3");
  ASSERT_EQ(Cfg_SaveDeviceEx(nullptr, bin1.c_str(), &dc, sizeof dc, nullptr, 0, nullptr, &enable, &saveOutputs,
                             &byTag, &rate),
            0);
  DeviceConfig loaded;
  uint8_t e, so, bt;
  uint32_t r;
  ASSERT_EQ(Cfg_LoadDeviceEx(bin1.c_str(), &loaded, sizeof loaded, nullptr, 0, nullptr, &e, &so, &bt, &r), 0);
  SetSwitch("WriteXML", "XML");
  ASSERT_EQ(Cfg_SaveDeviceEx(nullptr, xml.c_str(), &loaded, sizeof loaded, nullptr, 0, nullptr, &e, &so, &bt, &r), 0)
      << xml_GetErrorText();
  EXPECT_FALSE(fs::exists(xml + "/config"));
  EXPECT_FALSE(fs::exists(xml + "/saveconfig"));
  EXPECT_TRUE(fs::exists(root + "/SCHEMA/tstxm.xsd")) << "a saved record writes the device schema";
  SetSwitch("ReadXML", "ON");
  DeviceConfig back;
  memset(&back, 0x55, sizeof back);
  uint8_t e2 = 9, so2 = 9, bt2 = 9;
  uint32_t r2 = 9;
  ASSERT_EQ(Cfg_LoadDeviceEx(xml.c_str(), &back, sizeof back, nullptr, 0, nullptr, &e2, &so2, &bt2, &r2), 0)
      << xml_GetErrorText();
  EXPECT_EQ(memcmp(&back, &dc, sizeof dc), 0);
  EXPECT_EQ(e2, 1);
  EXPECT_EQ(so2, 1);
  EXPECT_EQ(bt2, 0);
  EXPECT_EQ(r2, rate);
  SetSwitch("WriteXML", "BIN");
  ASSERT_EQ(Cfg_SaveDeviceEx(nullptr, bin2.c_str(), &back, sizeof back, nullptr, 0, nullptr, &e2, &so2, &bt2, &r2),
            0);
  EXPECT_EQ(ReadFile(bin1 + "/config"), ReadFile(bin2 + "/config"));
  EXPECT_EQ(ReadFile(bin1 + "/saveconfig"), ReadFile(bin2 + "/saveconfig"));
}

// ---------------------------------------------------------------- the choice of files

TEST_F(XmlRoadTest, ExDoXmlReadXmlAndWriteXmlChooseTheFiles) {
  const ChannelConfig ch = FullAnalog(0);
  struct {
    const char* device;  // directory name: tstdx has Ex_DoXml, nolib no library at all
    const char* write;
    bool binary, xml;
  } cases[] = {
      {"nolib_1", "XML", true, false}, {"nolib_2", "BOTH", true, false}, {"tstdx_1", "BIN", true, false},
      {"tstdx_2", "BOTH", true, true}, {"tstdx_3", "xml", false, true},  {"tstdx_4", "junk", true, false},
      {"tstfu_1", "XML", false, true},
  };
  for (const auto& c : cases) {
    const std::string d = Dir(c.device);
    SetSwitch("WriteXML", c.write);
    ASSERT_EQ(Cfg_SaveChannels(nullptr, d.c_str(), kKindAI, &ch, 0, 1, nullptr, 0, nullptr), 0) << c.device;
    EXPECT_EQ(fs::exists(d + "/ai"), c.binary) << c.device;
    EXPECT_EQ(fs::exists(d + "/ai.xml"), c.xml) << c.device;
    uint8_t enable = 1;
    ASSERT_EQ(Cfg_SaveDeviceEx(nullptr, d.c_str(), nullptr, 0, nullptr, 0, nullptr, &enable, nullptr, nullptr, nullptr),
              0);
    EXPECT_EQ(fs::exists(d + "/config"), c.binary) << c.device;
    EXPECT_EQ(fs::exists(d + "/config.xml"), c.xml) << c.device;
  }
  // The configuration root keeps no device XML file.
  SetSwitch("WriteXML", "XML");
  uint8_t enable = 1;
  const std::string tstRoot = plat::Root() + "/road/tstdx_9/CURRENT_CONFIG";
  fs::create_directories(tstRoot);
  ASSERT_EQ(Cfg_SaveDeviceEx(nullptr, tstRoot.c_str(), nullptr, 0, nullptr, 0, nullptr, &enable, nullptr, nullptr,
                             nullptr),
            0);
  EXPECT_TRUE(fs::exists(tstRoot + "/config"));
  EXPECT_FALSE(fs::exists(tstRoot + "/config.xml"));

  // Reading: the XML file only with ReadXML on and the file there.
  const std::string both = root + "/tstdx_2";
  ChannelConfig xmlOnly = FullAnalog(1);
  ASSERT_EQ(Cfg_SaveChannels(nullptr, both.c_str(), kKindAI, &xmlOnly, 0, 1, nullptr, 0, nullptr), 0);
  ChannelConfig got;
  SetSwitch("ReadXML", "OFF");
  ASSERT_EQ(Cfg_LoadChannels(both.c_str(), kKindAI, &got, 0, 1, nullptr, 0, nullptr), 0);
  EXPECT_EQ(memcmp(&got, &ch, sizeof ch), 0) << "ReadXML OFF: the binary file";
  SetSwitch("ReadXML", "On");
  ASSERT_EQ(Cfg_LoadChannels(both.c_str(), kKindAI, &got, 0, 1, nullptr, 0, nullptr), 0) << xml_GetErrorText();
  EXPECT_EQ(memcmp(&got, &xmlOnly, sizeof got), 0) << "ReadXML ON: the XML file";
  fs::remove(both + "/ai.xml");
  ASSERT_EQ(Cfg_LoadChannels(both.c_str(), kKindAI, &got, 0, 1, nullptr, 0, nullptr), 0);
  EXPECT_EQ(memcmp(&got, &ch, sizeof ch), 0) << "no XML file: the binary one";
}

// Channels are found by the number their id holds whatever the file's
// order (the first of an id wins), and in a channel the first element of
// a name counts.
TEST_F(XmlRoadTest, ChannelsAreFoundByIdInAnyOrder) {
  const std::string d = Dir("tstdx_1");
  SetSwitch("ReadXML", "ON");
  auto channel = [](const char* id, const char* tag) {
    return std::string("<Channel id=\"") + id + "\"><Enable>Off</Enable><Tag>" + tag + "</Tag><Gain>" + tag +
           "</Gain></Channel>";
  };
  WriteFile(d + "/ai.xml", "<?xml version='1.0' encoding='UTF-8'?>\n<Channels><Other id=\"2\"/>" +
                               channel("4", "4") + channel("3.0", "3") + channel(" 2 ", "2") + channel("1", "1") +
                               channel("1", "9") + channel("2.5", "7") +
                               "<Channel id=\"5\"><Enable>Off</Enable><Gain>5</Gain><Gain>8</Gain></Channel>"
                               "</Channels>\n");
  ChannelConfig out[5];
  ASSERT_EQ(Cfg_LoadChannels(d.c_str(), kKindAI, out, 0, 5, nullptr, 0, nullptr), 0) << xml_GetErrorText();
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(std::string(Chan_GetTag(out[i])), std::to_string(i + 1)) << i;
    EXPECT_EQ(out[i].analog.Gain, float(i + 1)) << i;
  }
  EXPECT_EQ(out[4].analog.Gain, 5.0f);
  ChannelConfig three[2];
  ASSERT_EQ(Cfg_LoadChannels(d.c_str(), kKindAI, three, 2, 2, nullptr, 0, nullptr), 0) << xml_GetErrorText();
  EXPECT_EQ(std::string(Chan_GetTag(three[0])), "3");
  EXPECT_EQ(std::string(Chan_GetTag(three[1])), "4");
}

// ---------------------------------------------------------------- rules

TEST_F(XmlRoadTest, ChannelRulesWithTheSystemTypes) {
  const std::string d = Dir("tstdx_1");
  SetSwitch("ReadXML", "ON");
  const std::string head =
      "<?xml version='1.0' encoding='UTF-8'?>\n<Channels xmlns=\"urn:x\">\n<Channel id=\"1\">";
  const std::string tail = "</Channel>\n</Channels>\n";
  // An enabled analog channel with every element but one.
  auto analogWithout = [](const std::string& skip, const std::string& extra = "") {
    const char* items[][2] = {
        {"Tag", "T"}, {"Description", "D"}, {"Type", "AI"}, {"Enable", "On"}, {"EventEnable", "Off"},
        {"ErrorAlarmEnable", "Off"}, {"Units", "m"}, {"MaximumUnits", "1"}, {"MinimumUnits", "0"},
        {"ReferenceEnable", "Off"}, {"SigChangeEnable", "Off"}, {"ScalingEnable", "On"}, {"Gain", "1"},
        {"Offset", "0"}, {"LowAlarmEnable", "Off"}, {"HighAlarmEnable", "Off"}};
    std::string s;
    for (auto& it : items)
      if (skip != it[0]) s += std::string("<") + it[0] + ">" + it[1] + "</" + it[0] + ">";
    return s + extra;
  };
  struct {
    const char* name;
    std::string body;
    const char* message;  // null: accepted
  } cases[] = {
      {"complete", analogWithout(""), nullptr},
      {"disabled needs only Enable", "<Enable>Off</Enable>", nullptr},
      {"no Enable", "<Tag>T</Tag>", "<Enable> Required"},
      {"scaling on needs Offset", analogWithout("Offset"), "<Offset> Required"},
      {"no Units", analogWithout("Units"), "<Units> Required"},
      {"events on", analogWithout("EventEnable", "<EventEnable>On</EventEnable><LowEventLimit>5</LowEventLimit>"
                                                 "<HighEventLimit>3</HighEventLimit>"),
       "LowEventLimiit > HighEventLimit"},
      {"error alarm on", analogWithout("ErrorAlarmEnable", "<ErrorAlarmEnable>On</ErrorAlarmEnable>"),
       "<ErrorAlarmDriveCommon> Required"},
      {"words are exact", "<Enable>on</Enable>", "<Enable> invalid value \"on\""},
      {"digital alarm on", "<Type>DI</Type><Enable>On</Enable><Tag>T</Tag><Description>D</Description>"
                           "<ErrorAlarmEnable>Off</ErrorAlarmEnable><EventEnable>Off</EventEnable>"
                           "<LowStateText>L</LowStateText><HighStateText>H</HighStateText>"
                           "<AlarmEnable>On</AlarmEnable>",
       "<AlarmDriveCommon> Required"},
      {"digital error alarm", "<Type>DI</Type><Enable>On</Enable><Tag>T</Tag><Description>D</Description>"
                              "<ErrorAlarmEnable>On</ErrorAlarmEnable>",
       "<ErrorAlarmDriveCommon> Required"},
      {"Type XX reads as digital", "<Type>XX</Type><Enable>Off</Enable>", "<Type> "},
      {"priority out of range", "<Enable>Off</Enable><HighAlarmPriority>256</HighAlarmPriority>",
       "<HighAlarmPriority> "},
      {"delay not a number", "<Enable>Off</Enable><HighAlarmDelay>-1</HighAlarmDelay>", "<HighAlarmDelay> "},
  };
  for (const auto& c : cases) {
    WriteFile(d + "/ai.xml", head + c.body + tail);
    ChannelConfig got;
    errno = 0;
    const int rc = Cfg_LoadChannels(d.c_str(), kKindAI, &got, 0, 1, nullptr, 0, nullptr);
    if (!c.message) {
      EXPECT_EQ(rc, 0) << c.name << ": " << xml_GetErrorText();
      continue;
    }
    EXPECT_EQ(rc, -1) << c.name;
    EXPECT_EQ(errno, 1465) << c.name;
    EXPECT_NE(std::string(xml_GetErrorText()).find(c.message), std::string::npos)
        << c.name << ": " << xml_GetErrorText();
  }
}

// ---------------------------------------------------------------- schemas

TEST_F(XmlRoadTest, SavingSeveralChannelsWritesTheSchemaOneDoesNot) {
  const std::string d = Dir("tstdx_1");
  SetSwitch("WriteXML", "XML");
  std::vector<ChannelConfig> two = {FullAnalog(0), FullAnalog(2)};
  ASSERT_EQ(Cfg_SaveChannels(nullptr, d.c_str(), kKindAI, two.data(), 0, 2, nullptr, 0, nullptr), 0)
      << xml_GetErrorText();
  const std::string schema = root + "/SCHEMA/tstdx_ai.xsd";
  ASSERT_TRUE(fs::exists(schema));
  const std::string before = ReadFile(schema);
  fs::remove(schema);
  ASSERT_EQ(Cfg_SaveChannels(nullptr, d.c_str(), kKindAI, &two[1], 1, 1, nullptr, 0, nullptr), 0);
  EXPECT_FALSE(fs::exists(schema)) << "one channel saved: the schema is not written";
  ASSERT_EQ(Cfg_SaveChannels(nullptr, d.c_str(), kKindAI, two.data(), 0, 2, nullptr, 0, nullptr), 0);
  EXPECT_EQ(ReadFile(schema), before);
}

// Whether a file validates against a schema (libxml2's validator).
bool Validates(const std::string& schema, const std::string& file, std::string* why) {
  xmlSchemaParserCtxtPtr pc = xmlSchemaNewParserCtxt(schema.c_str());
  xmlSchemaPtr s = pc ? xmlSchemaParse(pc) : nullptr;
  xmlSchemaValidCtxtPtr vc = s ? xmlSchemaNewValidCtxt(s) : nullptr;
  const int rc = vc ? xmlSchemaValidateFile(vc, file.c_str(), 0) : -1;
  if (rc != 0) *why = s ? "does not validate" : "schema does not compile";
  if (vc) xmlSchemaFreeValidCtxt(vc);
  if (s) xmlSchemaFree(s);
  if (pc) xmlSchemaFreeParserCtxt(pc);
  return rc == 0;
}

// ---------------------------------------------------------------- what a save may write

// Every item of a channel as text, by the channel's own kind.
std::vector<std::string> ItemTexts(const ChannelConfig& c) {
  const StructsType* type = Chan_IsDigital(c.Type) ? &cfg_type_digital_channel : &cfg_type_analog_channel;
  std::vector<std::string> out;
  char** names = nullptr;
  const int n = Structs_ListItemNames(type, &c, &names, kStructsTagTemporary);
  for (int i = 0; i < n; ++i) {
    char* t = Structs_GetItemText(type, names[i], kStructsTagTemporary, &c);
    out.push_back(std::string(names[i]) + "=" + (t ? t : "(none)"));
    if (t) TypedMem_Free(kStructsTagTemporary, t);
  }
  if (n >= 0) Structs_FreeItemNames(names, n, kStructsTagTemporary);
  return out;
}

// A channel of random bytes. Plain ones keep their texts printable; the
// others are left as they come, and some get a value no XML reader takes
// back (an infinite gain, an offset that is not a number, a control
// character in a text).
ChannelConfig RandomChannel(std::mt19937& rng, bool plain) {
  ChannelConfig c;
  auto* b = reinterpret_cast<unsigned char*>(&c);
  for (size_t i = 0; i < sizeof c; ++i) b[i] = static_cast<unsigned char>(rng());
  c.Type = static_cast<uint8_t>(rng() % 5);
  if (plain) {
    auto printable = [&](char* field, size_t n) {
      for (size_t i = 0; i < n; ++i)
        if (static_cast<unsigned char>(field[i]) < 0x20) field[i] = static_cast<char>(0x20 + rng() % 0x5F);
    };
    printable(c.TagPart1, sizeof c.TagPart1), printable(c.DescriptionPart1, sizeof c.DescriptionPart1);
    printable(c.analog.TagPart2, sizeof c.analog.TagPart2);
    printable(c.analog.DescriptionPart2, sizeof c.analog.DescriptionPart2);
    printable(c.analog.TagPart3, sizeof c.analog.TagPart3);
    if (Chan_IsDigital(c.Type)) {
      printable(c.digital.HighStateText, sizeof c.digital.HighStateText);
      printable(c.digital.LowStateText, sizeof c.digital.LowStateText);
      printable(c.digital.AlarmText, sizeof c.digital.AlarmText);
    } else {
      printable(c.analog.UnitsPart1, sizeof c.analog.UnitsPart1);
      printable(c.analog.UnitsPart2, sizeof c.analog.UnitsPart2);
      printable(c.analog.HighAlarmText, sizeof c.analog.HighAlarmText);
      printable(c.analog.LowAlarmText, sizeof c.analog.LowAlarmText);
      float* floats[] = {&c.analog.Gain, &c.analog.Offset, &c.analog.HighEventLimit, &c.analog.LowEventLimit,
                         &c.analog.HighAlarmLimit, &c.analog.HighAlarmDeadband, &c.analog.LowAlarmLimit,
                         &c.analog.LowAlarmDeadband, &c.analog.SigChangeValue, &c.analog.MaximumUnits,
                         &c.analog.MinimumUnits, &c.analog.HighWarningLimit, &c.analog.LowWarningLimit};
      for (float* f : floats)
        if (!std::isfinite(*f)) *f = static_cast<float>(rng() % 1000) / 7.0f;
      switch (rng() % 8) {
        case 0: c.analog.Gain = INFINITY; break;
        case 1: c.analog.Offset = NAN; break;
        case 2: c.analog.HighAlarmText[0] = '\x01'; break;
        default: break;
      }
    }
  }
  return c;
}

// binary -> XML -> load gives the same record, or the save fails with 1465
// and replaces neither the binary nor the XML file.
TEST_F(XmlRoadTest, RandomRecordsReadBackOrTheSaveFailsAndNothingIsReplaced) {
  SetSwitch("ReadXML", "ON");
  std::mt19937 rng(20261211);
  int saved = 0, refused = 0;
  for (const char* write : {"BOTH", "XML"}) {
    SetSwitch("WriteXML", write);
    for (int kind : {kKindAI, kKindDI}) {
      const std::string d = Dir(std::string("tstdx_") + write + std::to_string(kind));
      const std::string kindName = Chan_KindName(kind);
      std::vector<ChannelConfig> good = {FullAnalog(0), FullDigital(1)};
      ASSERT_EQ(Cfg_SaveChannels(nullptr, d.c_str(), kind, good.data(), 0, 2, nullptr, 0, nullptr), 0)
          << xml_GetErrorText();
      for (int round = 0; round < 150; ++round) {
        const ChannelConfig c = RandomChannel(rng, round % 3 != 0);
        const std::string binBefore = ReadFile(d + "/" + kindName), xmlBefore = ReadFile(d + "/" + kindName + ".xml");
        errno = 0;
        if (Cfg_SaveChannels(nullptr, d.c_str(), kind, &c, 1, 1, nullptr, 0, nullptr) != 0) {
          ++refused;
          EXPECT_EQ(errno, 1465) << write << " round " << round;
          EXPECT_EQ(ReadFile(d + "/" + kindName), binBefore) << write << " round " << round;
          EXPECT_EQ(ReadFile(d + "/" + kindName + ".xml"), xmlBefore) << write << " round " << round;
          continue;
        }
        ++saved;
        ChannelConfig back[2];
        ASSERT_EQ(Cfg_LoadChannels(d.c_str(), kind, back, 0, 2, nullptr, 0, nullptr), 0)
            << write << " round " << round << ": " << xml_GetErrorText();
        EXPECT_EQ(ItemTexts(back[1]), ItemTexts(c)) << write << " round " << round;
        EXPECT_EQ(memcmp(&back[0], &good[0], sizeof back[0]), 0) << "the other channel stays";
      }
    }
  }
  EXPECT_GT(saved, 100);
  EXPECT_GT(refused, 100);
}

// The refusal names the item; a mended channel saves again, also with the
// change history on (the file left in place still reads).
TEST_F(XmlRoadTest, AnInfiniteGainIsRefusedByNameAndTheMendedChannelSaves) {
  SetSwitch("WriteXML", "BOTH");
  SetSwitch("ReadXML", "ON");
  const std::string d = Dir("tstdx_1");
  ChannelConfig c = FullAnalog(0);
  ASSERT_EQ(Cfg_SaveChannels(nullptr, d.c_str(), kKindAI, &c, 0, 1, nullptr, 0, nullptr), 0);
  Hist_SetEnabled(true);
  c.analog.Gain = INFINITY;
  fs::remove(plat::EventLogFilePath());
  errno = 0;
  EXPECT_EQ(Cfg_SaveChannels(nullptr, d.c_str(), kKindAI, &c, 0, 1, nullptr, 0, nullptr), -1);
  EXPECT_EQ(errno, 1465);
  EXPECT_NE(ReadFile(plat::EventLogFilePath()).find("Channel #1 - <Gain> cannot be written (inf)"),
            std::string::npos)
      << ReadFile(plat::EventLogFilePath());
  c.analog.Gain = 2.5f;
  EXPECT_EQ(Cfg_SaveChannels(nullptr, d.c_str(), kKindAI, &c, 0, 1, nullptr, 0, nullptr), 0) << xml_GetErrorText();
  ChannelConfig back;
  ASSERT_EQ(Cfg_LoadChannels(d.c_str(), kKindAI, &back, 0, 1, nullptr, 0, nullptr), 0);
  EXPECT_EQ(back.analog.Gain, 2.5f);
  Hist_Close();
  Hist_SetEnabled(false);
}

// A disabled channel of "di.xml" that holds only its Enable element is a
// digital input, and is saved back as one: the file still validates.
TEST_F(XmlRoadTest, AChannelWithoutTypeTakesTheFilesKind) {
  const std::string d = Dir("tstdx_1");
  SetSwitch("ReadXML", "ON");
  SetSwitch("WriteXML", "XML");
  struct {
    int kind;
    uint8_t type;
  } cases[] = {{kKindDI, kKindDI}, {kKindDO, kKindDO}, {kKindAO, kKindAO}};
  for (const auto& k : cases) {
    const std::string kindName = Chan_KindName(k.kind);
    WriteFile(d + "/" + kindName + ".xml",
              "<?xml version='1.0' encoding='UTF-8'?>\n<Channels xmlns=\"" + Cfg_ChannelsNamespace(d.c_str(), k.kind) +
                  "\">\n<Channel id=\"1\"><Enable>Off</Enable></Channel>\n</Channels>\n");
    ChannelConfig two[2];
    ASSERT_EQ(Cfg_LoadChannels(d.c_str(), k.kind, two, 0, 1, nullptr, 0, nullptr), 0) << xml_GetErrorText();
    EXPECT_EQ(two[0].Type, k.type) << kindName;
    two[1] = Chan_IsDigital(k.type) ? FullDigital(k.type == kKindDO) : FullAnalog(1);
    ASSERT_EQ(Cfg_RewriteChannels(nullptr, d.c_str(), k.kind, two, 0, 2, nullptr, 0, nullptr), 0)
        << xml_GetErrorText();
    std::string why;
    EXPECT_TRUE(Validates(root + "/SCHEMA/tstdx_" + kindName + ".xsd", d + "/" + kindName + ".xml", &why))
        << kindName << ": " << why << "\n" << ReadFile(d + "/" + kindName + ".xml");
  }
}

// A device save touches the configuration's change stamp (the root's
// "config") also when it writes only XML.
TEST_F(XmlRoadTest, AnXmlOnlyDeviceSaveTouchesTheRootsConfig) {
  SetSwitch("WriteXML", "XML");
  const std::string d = Dir("tstdx_1");
  WriteFile(root + "/config", std::string("\x01rest", 5));
  struct timespec old[2] = {{1, 0}, {1, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, (root + "/config").c_str(), old, 0), 0);
  uint8_t enable = 1;
  ASSERT_EQ(Cfg_SaveDeviceEx(nullptr, d.c_str(), nullptr, 0, nullptr, 0, nullptr, &enable, nullptr, nullptr, nullptr),
            0)
      << xml_GetErrorText();
  EXPECT_FALSE(fs::exists(d + "/config"));
  EXPECT_TRUE(fs::exists(d + "/config.xml"));
  struct stat st;
  ASSERT_EQ(stat((root + "/config").c_str(), &st), 0);
  EXPECT_GT(st.st_mtime, 1);
  EXPECT_EQ(ReadFile(root + "/config"), std::string("\x01rest", 5));
}

// The files the saves write validate against the schemas written with them.
TEST_F(XmlRoadTest, SavedFilesValidateAgainstTheirSchemas) {
  SetSwitch("WriteXML", "XML");
  const std::string plain = Dir("tstdx_1"), typed = Dir("tstxm_1");
  std::vector<ChannelConfig> analog = {FullAnalog(0), FullAnalog(1), FullAnalog(2)};
  std::vector<ChannelConfig> digital = {FullDigital(0), FullDigital(1)};
  // The extension library's extra-data items are in its schemas, so its
  // files are saved with extra data.
  uint8_t extra[3 * 8] = {};
  char site[16] = "North";
  for (const std::string& d : {plain, typed}) {
    const bool withExtra = d == typed;
    ASSERT_EQ(Cfg_SaveChannels(nullptr, d.c_str(), kKindAI, analog.data(), 0, 3, withExtra ? extra : nullptr,
                               withExtra ? sizeof extra : 0, withExtra ? "extra" : nullptr),
              0)
        << xml_GetErrorText();
    ASSERT_EQ(Cfg_SaveChannels(nullptr, d.c_str(), kKindDI, digital.data(), 0, 2, nullptr, 0, nullptr), 0)
        << xml_GetErrorText();
  }
  DeviceConfig dc{};
  dc.ScanRate = 100;
  strcpy(dc.Comm.Port, "COM2");
  uint8_t enable = 1, so = 0, bt = 0;
  uint32_t rate = 1000;
  ASSERT_EQ(Cfg_SaveDeviceEx(nullptr, typed.c_str(), &dc, sizeof dc, site, sizeof site, "site", &enable, &so, &bt,
                             &rate),
            0)
      << xml_GetErrorText();
  std::string why;
  const std::string schemas = root + "/SCHEMA/";
  EXPECT_TRUE(Validates(schemas + "tstdx_ai.xsd", plain + "/ai.xml", &why)) << why;
  EXPECT_TRUE(Validates(schemas + "tstdx_di.xsd", plain + "/di.xml", &why)) << why;
  EXPECT_TRUE(Validates(schemas + "tstxm_ai.xsd", typed + "/ai.xml", &why)) << why;
  EXPECT_TRUE(Validates(schemas + "tstxm_di.xsd", typed + "/di.xml", &why)) << why;
  EXPECT_TRUE(Validates(schemas + "tstxm.xsd", typed + "/config.xml", &why)) << why;
}

// Channel extra data through the extension library's extra type: written
// into the channel elements and read back, with no extra-data file.
TEST_F(XmlRoadTest, ChannelExtraDataLivesInTheXmlFile) {
  SetSwitch("WriteXML", "XML");
  SetSwitch("ReadXML", "ON");
  const std::string d = Dir("tstxm_1");
  struct Extra {
    float Setpoint;
    uint32_t Mode;
  } extra[2] = {{12.5f, 4}, {-1.0f, 10}}, back[2];
  std::vector<ChannelConfig> two = {FullAnalog(0), FullAnalog(2)};
  ASSERT_EQ(Cfg_SaveChannels(nullptr, d.c_str(), kKindAI, two.data(), 0, 2, extra, sizeof extra, "extra"), 0)
      << xml_GetErrorText();
  EXPECT_FALSE(fs::exists(d + "/extra"));
  std::vector<ChannelConfig> out(2);
  memset(back, 0xFF, sizeof back);
  ASSERT_EQ(Cfg_LoadChannels(d.c_str(), kKindAI, out.data(), 0, 2, back, sizeof back, "extra"), 0)
      << xml_GetErrorText();
  EXPECT_EQ(memcmp(back, extra, sizeof back), 0);
}

// The check against the device's configuration goes to the library of the
// current directory's device type; its rejection is an XML error.
TEST_F(XmlRoadTest, ValidateChannelWithConfigAsksTheCurrentDirectorysLibrary) {
  const std::string d = Dir("tstxm_1");
  char old[4096];
  ASSERT_NE(getcwd(old, sizeof old), nullptr);
  ASSERT_EQ(chdir(d.c_str()), 0);
  fs::remove(plat::EventLogFilePath());
  const char* other = "PUMP2";
  EXPECT_EQ(Cfg_ValidateChannelWithConfig("FINE", nullptr, nullptr, nullptr, nullptr, nullptr, other), 0);
  errno = 0;
  EXPECT_EQ(Cfg_ValidateChannelWithConfig("CLASH", nullptr, nullptr, nullptr, nullptr, nullptr, other), -1);
  EXPECT_EQ(errno, 1465);
  EXPECT_NE(ReadFile(plat::EventLogFilePath()).find("clashes with PUMP2"), std::string::npos);
  ASSERT_EQ(chdir((root + "/tstdx_2").c_str()), -1);  // no such directory: stays
  fs::create_directories(root + "/tstdx_2");
  ASSERT_EQ(chdir((root + "/tstdx_2").c_str()), 0);
  EXPECT_EQ(Cfg_ValidateChannelWithConfig("CLASH", nullptr, nullptr, nullptr, nullptr, nullptr, other), 0)
      << "a library without the entry accepts";
  ASSERT_EQ(chdir(old), 0);
}

// With the change history on, channel and device saves record each changed
// item; a stored XML file that cannot be read stops the save.
TEST_F(XmlRoadTest, SavesWriteTheChangeHistory) {
  const std::string d = Dir("tstxm_1");
  setenv("CDX_CURRENT_CONFIG", root.c_str(), 1);
  char old[4096];
  ASSERT_NE(getcwd(old, sizeof old), nullptr);
  ASSERT_EQ(chdir(d.c_str()), 0);
  Hist_SetEnabled(true);

  std::vector<ChannelConfig> two = {FullAnalog(0), FullAnalog(2)};
  ASSERT_EQ(Cfg_SaveChannels("ann", d.c_str(), kKindAI, two.data(), 0, 2, nullptr, 0, nullptr), 0);
  ChannelConfig second = two[1];
  second.analog.Gain = 5;
  second.analog.Hardware[0] = 9;  // the library's Node item
  Chan_SetTag(&second, "short");  // letter case only
  ASSERT_EQ(Cfg_SaveChannels("ann", d.c_str(), kKindAI, &second, 1, 1, nullptr, 0, nullptr), 0);

  DeviceConfig dc{};
  dc.ScanRate = 100;
  strcpy(dc.Comm.Port, "COM1");
  uint8_t enable = 1;
  uint32_t rate = 1000;
  ASSERT_EQ(Cfg_SaveDeviceEx("ann", d.c_str(), &dc, sizeof dc, nullptr, 0, nullptr, &enable, nullptr, nullptr, &rate),
            0);
  enable = 0;
  rate = 2000;
  dc.ScanRate = 250;
  ASSERT_EQ(Cfg_SaveDeviceEx("ann", d.c_str(), &dc, sizeof dc, nullptr, 0, nullptr, &enable, nullptr, nullptr, &rate),
            0);
  Hist_Close();
  const std::string h = ReadFile(root + "/recent_history.txt");
  for (const char* line : {"\tann\ttstxm_1.Channels.2.Gain 0.3333333432674408 -> 5\r\n",
                           "\tann\ttstxm_1.Channels.2.Node 2 -> 9\r\n", "\tann\ttstxm_1.AutoEnable ON -> OFF\r\n",
                           "\tann\ttstxm_1.SaveRate 1000 -> 2000\r\n", "\tann\ttstxm_1.ScanRate 100 -> 250\r\n"})
    EXPECT_NE(h.find(line), std::string::npos) << line << " in\n" << h;
  EXPECT_EQ(h.find("Tag"), std::string::npos) << h;

  // The stored XML file is broken: nothing is written.
  SetSwitch("ReadXML", "ON");
  SetSwitch("WriteXML", "BOTH");
  WriteFile(d + "/ai.xml", "<Channels><Channel id=\"1\">");
  const std::string binary = ReadFile(d + "/ai");
  errno = 0;
  EXPECT_EQ(Cfg_SaveChannels("ann", d.c_str(), kKindAI, two.data(), 0, 2, nullptr, 0, nullptr), -1);
  EXPECT_EQ(errno, 1465);
  EXPECT_EQ(ReadFile(d + "/ai"), binary);
  EXPECT_EQ(ReadFile(d + "/ai.xml"), "<Channels><Channel id=\"1\">");

  Hist_Close();
  Hist_SetEnabled(false);
  ASSERT_EQ(chdir(old), 0);
  unsetenv("CDX_CURRENT_CONFIG");
}

}  // namespace
