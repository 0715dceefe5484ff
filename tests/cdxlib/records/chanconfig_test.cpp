#include "cdxlib/records/chanconfig.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "cdxlib/records/devicerecord.h"
#include "cdxlib/sys/registry.h"

namespace {

// Offsets and widths written out from the record tables, not from the
// structs: each row's field is filled through the struct and must land on
// exactly these bytes.
struct Row {
  size_t offset, width;
  const char* name;
  std::function<void(ChannelConfig&, unsigned char)> fill;
};

template <typename T>
void FillBytes(T& field, unsigned char v) {
  memset(&field, v, sizeof field);
}

void CheckLayout(const Row* rows, size_t n, uint8_t type) {
  for (size_t r = 0; r < n; ++r) {
    ChannelConfig c;
    memset(&c, 0, sizeof c);
    c.Type = type;
    rows[r].fill(c, 0xA5);
    const auto* b = reinterpret_cast<const unsigned char*>(&c);
    for (size_t i = 0; i < sizeof c; ++i) {
      const bool inside = i >= rows[r].offset && i < rows[r].offset + rows[r].width;
      const unsigned char expect = inside ? 0xA5 : (i == 24 ? type : 0);
      ASSERT_EQ(b[i], expect) << rows[r].name << " byte " << i;
    }
  }
}

TEST(ChannelRecord, AnalogLayoutMatchesTheTable) {
#define F(field) [](ChannelConfig& c, unsigned char v) { FillBytes(c.analog.field, v); }
  const Row rows[] = {
      {0, 8, "Tag1", [](ChannelConfig& c, unsigned char v) { FillBytes(c.TagPart1, v); }},
      {8, 16, "Desc1", [](ChannelConfig& c, unsigned char v) { FillBytes(c.DescriptionPart1, v); }},
      {28, 4, "Flags", [](ChannelConfig& c, unsigned char v) { FillBytes(c.Flags, v); }},
      {32, 4, "Units1", F(UnitsPart1)},         {36, 4, "Gain", F(Gain)},
      {40, 4, "Offset", F(Offset)},             {44, 4, "HighEventLimit", F(HighEventLimit)},
      {48, 4, "LowEventLimit", F(LowEventLimit)}, {52, 4, "HighAlarmLimit", F(HighAlarmLimit)},
      {56, 4, "HighAlarmDeadband", F(HighAlarmDeadband)}, {60, 4, "LowAlarmLimit", F(LowAlarmLimit)},
      {64, 4, "LowAlarmDeadband", F(LowAlarmDeadband)},   {68, 4, "SigChangeValue", F(SigChangeValue)},
      {72, 1, "HighAlarmPriority", F(HighAlarmPriority)}, {73, 1, "LowAlarmPriority", F(LowAlarmPriority)},
      {74, 32, "HighAlarmText", F(HighAlarmText)},        {106, 32, "LowAlarmText", F(LowAlarmText)},
      {138, 4, "Tag2", F(TagPart2)},                      {142, 16, "Desc2", F(DescriptionPart2)},
      {158, 3, "Tag3", F(TagPart3)},                      {161, 4, "Units2", F(UnitsPart2)},
      {165, 1, "ErrorAlarmPriority", F(ErrorAlarmPriority)}, {166, 2, "ErrorAlarmDelay", F(ErrorAlarmDelay)},
      {168, 4, "MaximumUnits", F(MaximumUnits)},          {172, 4, "MinimumUnits", F(MinimumUnits)},
      {176, 4, "HighWarningLimit", F(HighWarningLimit)},  {180, 4, "LowWarningLimit", F(LowWarningLimit)},
      {184, 2, "HighAlarmDelay", F(HighAlarmDelay)},      {186, 2, "LowAlarmDelay", F(LowAlarmDelay)},
      {188, 28, "Hardware", F(Hardware)},
  };
#undef F
  CheckLayout(rows, std::size(rows), kKindAI);
}

TEST(ChannelRecord, DigitalLayoutMatchesTheTable) {
#define F(field) [](ChannelConfig& c, unsigned char v) { FillBytes(c.digital.field, v); }
  const Row rows[] = {
      {32, 32, "HighStateText", F(HighStateText)}, {64, 32, "LowStateText", F(LowStateText)},
      {96, 1, "AlarmPriority", F(AlarmPriority)},  {97, 32, "AlarmText", F(AlarmText)},
      {138, 4, "Tag2", F(TagPart2)},               {142, 16, "Desc2", F(DescriptionPart2)},
      {158, 3, "Tag3", F(TagPart3)},               {186, 1, "ErrorAlarmPriority", F(ErrorAlarmPriority)},
      {188, 2, "ErrorAlarmDelay", F(ErrorAlarmDelay)}, {190, 2, "AlarmDelay", F(AlarmDelay)},
      {192, 24, "Hardware", F(Hardware)},
  };
#undef F
  CheckLayout(rows, std::size(rows), kKindDI);
}

TEST(ChannelRecord, DriverHardwareAndDeviceRecordOffsets) {
  ChannelConfig c{};
  c.Type = kKindAI;
  auto* hw = reinterpret_cast<Df1AnalogHardware*>(c.analog.Hardware);
  hw->Node = 0x11;
  hw->WordAddress = 0x2233;
  const auto* b = reinterpret_cast<const unsigned char*>(&c);
  EXPECT_EQ(b[188], 0x11);
  EXPECT_EQ(b[190], 0x33);
  EXPECT_EQ(b[191], 0x22);
  ChannelConfig d{};
  auto* dhw = reinterpret_cast<Df1DigitalHardware*>(d.digital.Hardware);
  dhw->Node = 1;
  dhw->WordAddress = 0x0102;
  dhw->Bit = 9;
  b = reinterpret_cast<const unsigned char*>(&d);
  EXPECT_EQ(b[192], 1);
  EXPECT_EQ(b[194], 2);
  EXPECT_EQ(b[195], 1);
  EXPECT_EQ(b[196], 9);

  DeviceConfig dev{};
  dev.ScanRate = 0x01020304;
  dev.Comm.RetryCount = 7;
  dev.Comm.Node = 200;
  memcpy(dev.Comm.Port, "COM12", 6);
  b = reinterpret_cast<const unsigned char*>(&dev);
  EXPECT_EQ(b[0], 4);
  EXPECT_EQ(b[3], 1);
  EXPECT_EQ(b[4], 7);
  EXPECT_EQ(b[5], 200);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(b + 6)), "COM12");
}

TEST(ChannelRecord, FlagIndicesAndWordBits) {
  struct Case {
    int index;
    uint32_t mask;
  } analog[] = {{kAiEnable, 0x0001},          {kAiEventEnable, 0x0002},        {kAiHighAlarmEnable, 0x0004},
                {kAiHighAlarmDeadbandEnable, 0x0008}, {kAiHighAlarmDriveCommon, 0x0010}, {kAiLowAlarmEnable, 0x0020},
                {kAiLowAlarmDeadbandEnable, 0x0040},  {kAiLowAlarmDriveCommon, 0x0080},  {kAiSigChangeEnable, 0x0100},
                {kAiReferenceEnable, 0x0200},  {kAiScalingEnable, 0x0400},     {kAiHighWarningEnable, 0x0800},
                {kAiLowWarningEnable, 0x1000}, {kAiErrorAlarmEnable, 0x2000},  {kAiErrorAlarmDriveCommon, 0x4000}},
    digital[] = {{kDiEnable, 0x01},      {kDiAlarmDriveCommon, 0x02}, {kDiEventEnable, 0x04},
                 {kDiAlarmEnable, 0x08}, {kDiEventState, 0x10},       {kDiAlarmState, 0x20},
                 {kDiErrorAlarmEnable, 0x40}, {kDiErrorAlarmDriveCommon, 0x80}};
  for (const auto& table : {std::make_pair(analog, std::size(analog)), std::make_pair(digital, std::size(digital))}) {
    for (size_t i = 0; i < table.second; ++i) {
      ChannelConfig c{};
      Chan_SetFlagWord(&c, 0x80000000u);  // an unlisted bit is kept
      Chan_SetFlag(&c, table.first[i].index, true);
      EXPECT_EQ(Chan_GetFlagWord(c), 0x80000000u | table.first[i].mask) << table.first[i].index;
      EXPECT_TRUE(Chan_TestFlag(c, table.first[i].index));
      EXPECT_EQ(c.Flags[table.first[i].index / 8] & (0x80 >> (table.first[i].index % 8)),
                0x80 >> (table.first[i].index % 8));
      Chan_SetFlag(&c, table.first[i].index, false);
      EXPECT_EQ(Chan_GetFlagWord(c), 0x80000000u);
    }
  }
}

TEST(ChannelRecord, TextsSplitAndJoinAtThePartBoundaries) {
  struct Case {
    const char* text;
    const char* back;
  } tags[] = {{"", ""},
              {"ABCDEFGH", "ABCDEFGH"},
              {"ABCDEFGHI", "ABCDEFGHI"},
              {"ABCDEFGHIJKL", "ABCDEFGHIJKL"},
              {"ABCDEFGHIJKLM", "ABCDEFGHIJKLM"},
              {"ABCDEFGHIJKLMNO", "ABCDEFGHIJKLMNO"},
              {"ABCDEFGHIJKLMNOPQR", "ABCDEFGHIJKLMNO"}};
  for (uint8_t type : {uint8_t{kKindAI}, uint8_t{kKindDI}}) {
    for (const auto& t : tags) {
      ChannelConfig c;
      memset(&c, 'x', sizeof c);  // stale bytes everywhere
      c.Type = type;
      Chan_SetTag(&c, t.text);
      EXPECT_STREQ(Chan_GetTag(c), t.back) << t.text;
    }
  }
  // A 12-character tag fills parts 1 and 2 and zeroes part 3's first byte.
  ChannelConfig c;
  memset(&c, 'x', sizeof c);
  c.Type = kKindAI;
  Chan_SetTag(&c, "ABCDEFGHIJKL");
  EXPECT_EQ(memcmp(c.TagPart1, "ABCDEFGH", 8), 0);
  EXPECT_EQ(memcmp(c.analog.TagPart2, "IJKL", 4), 0);
  EXPECT_EQ(c.analog.TagPart3[0], 0);
  Chan_SetTag(&c, "ABC");  // zero-filled after a shorter text
  EXPECT_EQ(memcmp(c.TagPart1, "ABC\0\0\0\0\0", 8), 0);
  EXPECT_EQ(c.analog.TagPart2[0], 0);
  // A tag of up to 8 characters zeroes the first byte of parts 2 and 3.
  memset(&c, 'x', sizeof c);
  c.Type = kKindAI;
  Chan_SetTag(&c, "SHORT");
  EXPECT_EQ(c.analog.TagPart2[0], 0);
  EXPECT_EQ(c.analog.TagPart3[0], 0);
  EXPECT_EQ(c.analog.TagPart3[1], 'x');

  const std::string d16(16, 'd'), d17 = d16 + "e", d32(32, 'f');
  Chan_SetDescription(&c, d16.c_str());
  EXPECT_EQ(c.analog.DescriptionPart2[0], 0);
  EXPECT_EQ(Chan_GetDescription(c), d16);
  Chan_SetDescription(&c, d17.c_str());
  EXPECT_EQ(c.analog.DescriptionPart2[0], 'e');
  EXPECT_EQ(c.analog.DescriptionPart2[1], 0);
  EXPECT_EQ(Chan_GetDescription(c), d17);
  Chan_SetDescription(&c, (d32 + "zz").c_str());
  EXPECT_EQ(Chan_GetDescription(c), d32);

  Chan_SetUnits(&c, "degC");
  EXPECT_STREQ(Chan_GetUnits(c), "degC");
  EXPECT_EQ(c.analog.UnitsPart2[0], 0);
  Chan_SetUnits(&c, "kg/m^3/s");
  EXPECT_STREQ(Chan_GetUnits(c), "kg/m^3/s");
  EXPECT_EQ(memcmp(c.analog.UnitsPart2, "^3/s", 4), 0);

  // Windows-1252 bytes pass through unchanged.
  Chan_SetDescription(&c, "Temp\xb0 \xe9t\xe9");
  EXPECT_STREQ(Chan_GetDescription(c), "Temp\xb0 \xe9t\xe9");
}

TEST(ChannelRecord, DigitalChannelsHaveNoUnits) {
  ChannelConfig c{};
  c.Type = kKindDO;
  memcpy(c.digital.HighStateText, "OPEN", 5);
  EXPECT_STREQ(Chan_GetUnits(c), "");
  Chan_SetUnits(&c, "mm");
  EXPECT_STREQ(c.digital.HighStateText, "OPEN");
}

TEST(ChannelRecord, KindNames) {
  const char* names[] = {"ai", "di", "ao", "do", "ci", "dc", "dc"};
  for (int k = 0; k < 7; ++k) EXPECT_STREQ(Chan_KindName(k), names[k]);
  EXPECT_EQ(Chan_KindName(7), nullptr);
  EXPECT_EQ(Chan_KindName(-1), nullptr);
}

void SetDword(plat::HKEY hive, const char* name, uint32_t v, uint32_t size = 4) {
  uint32_t type = plat::REG_DWORD;
  uint64_t data = v;
  ASSERT_EQ(Reg_AccessValue(hive, "SOFTWARE\\Quillomatic\\Coordinatrix", plat::KEY_SET_VALUE, name, &type, &data,
                            &size),
            0u);
}

TEST(ChannelRecord, EditorSizesFromTheRegistry) {
  EXPECT_EQ(Chan_TagSize(), 15);
  EXPECT_EQ(Chan_DescSize(), 32);
  EXPECT_EQ(Chan_UnitsSize(), 8);
  struct Case {
    const char* name;
    uint32_t value, size;
    int expect;
    int (*get)();
  } cases[] = {
      {"TagSize", 0, 4, 15, Chan_TagSize},    {"TagSize", 16, 4, 15, Chan_TagSize}, {"TagSize", 1, 4, 1, Chan_TagSize},
      {"TagSize", 15, 4, 15, Chan_TagSize},   {"TagSize", 10, 2, 15, Chan_TagSize}, {"DescSize", 20, 4, 20, Chan_DescSize},
      {"DescSize", 33, 4, 32, Chan_DescSize}, {"UnitsSize", 4, 4, 4, Chan_UnitsSize}, {"UnitsSize", 9, 4, 8, Chan_UnitsSize},
  };
  for (const auto& c : cases) {
    SetDword(plat::HKEY_LOCAL_MACHINE, c.name, c.value, c.size);
    EXPECT_EQ(c.get(), c.expect) << c.name << "=" << c.value << " size " << c.size;
  }
  // The current user's value comes first.
  SetDword(plat::HKEY_LOCAL_MACHINE, "TagSize", 10);
  SetDword(plat::HKEY_CURRENT_USER, "TagSize", 12);
  EXPECT_EQ(Chan_TagSize(), 12);
}

TEST(ChannelRecord, LoggerShortNames) {
  struct Case {
    const char* type;
    const char* name;
    const char* expect;
  } cases[] = {
      {"resub", "SHORTNAME", "SHORTNAME"},
      {"RESUBX", "P_QR_ABCDEFGHIJKLM_S_T_U", "QR_ABCDEFGHIJKL_S_T_U"},
      {"resub", "P_QR_ABCDEFGHIJKLM_S_T", "QR_ABCDEFGHIJKL_S_T"},
      {"resub", "P_Q_C_DDDD_EEEEEEEEE", "Q_C            _DDDD_EEEEEEEEE"},
      {"resub", "P_QRS_CCCCCCCC_D_E_", "QR_CCCCCCCC    _D_E_"},
      {"other", "P_QR_ABCDEFGHIJKLM_S_T_U", "P_QR_ABCDEFGHIJKLM_S_T_U"},
      {"resub", "NO_SEPARATORS_ENOUGH", "NO_SEPARATORS_ENOUGH"},
  };
  for (const auto& c : cases) EXPECT_STREQ(Chan_ShortName(c.type, c.name), c.expect) << c.name;
  const std::string longName(200, 'n');
  EXPECT_EQ(std::string(Chan_ShortName("x", longName.c_str())), std::string(47, 'n'));
  EXPECT_EQ(std::string(Chan_ExpName("x", longName.c_str())), "EXP " + std::string(43, 'n'));
  EXPECT_STREQ(Chan_ExpName("x", "AB"), "EXP AB");
}

}  // namespace
