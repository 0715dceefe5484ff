#include "cdxlib/config/chantypes.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "base/memory/typedmem.h"
#include "base/structs/structs_item.h"
#include "cdxlib/config/cfgtypes.h"

namespace {

std::vector<std::string> Leaves(const StructsType* type, const void* value) {
  char** names = nullptr;
  const int n = Structs_ListItemNames(type, value, &names, "test");
  std::vector<std::string> out;
  for (int i = 0; i < n; ++i) out.push_back(names[i]);
  if (n >= 0) Structs_FreeItemNames(names, n, "test");
  return out;
}

std::string Text(const StructsType* type, const char* item, const void* value) {
  char* t = Structs_GetItemText(type, item, kStructsTagTemporary, value);
  if (!t) return "(null)";
  std::string s = t;
  TypedMem_Free(kStructsTagTemporary, t);
  return s;
}

template <typename T>
void Put(ChannelConfig* rec, size_t offset, T v) {
  memcpy(reinterpret_cast<uint8_t*>(rec) + offset, &v, sizeof v);
}
void PutText(ChannelConfig* rec, size_t offset, const char* text, size_t width) {
  memset(reinterpret_cast<uint8_t*>(rec) + offset, 0, width);
  memcpy(reinterpret_cast<uint8_t*>(rec) + offset, text, strnlen(text, width));
}

const std::vector<std::string> kShared = {"Tag",
                                          "Description",
                                          "Type",
                                          "Enable",
                                          "EventEnable",
                                          "ErrorAlarmEnable",
                                          "ErrorAlarmDriveCommon",
                                          "ErrorAlarmPriority",
                                          "ErrorAlarmDelay"};

TEST(ChannelTypes, LeafNamesAndOrder) {
  ChannelConfig rec{};
  const std::vector<std::string> analog = Leaves(&cfg_type_analog_channel, &rec);
  const std::vector<std::string> digital = Leaves(&cfg_type_digital_channel, &rec);
  ASSERT_EQ(analog.size(), static_cast<size_t>(kCfgAnalogChannelItems));
  ASSERT_EQ(digital.size(), static_cast<size_t>(kCfgDigitalChannelItems));
  EXPECT_EQ(std::vector<std::string>(analog.begin(), analog.begin() + kCfgChannelSharedItems), kShared);
  EXPECT_EQ(std::vector<std::string>(digital.begin(), digital.begin() + kCfgChannelSharedItems), kShared);
  const std::vector<std::string> analogOwn = {
      "HighAlarmEnable", "HighAlarmDeadbandEnable", "HighAlarmDriveCommon", "LowAlarmEnable",
      "LowAlarmDeadbandEnable", "LowAlarmDriveCommon", "SigChangeEnable", "ReferenceEnable", "ScalingEnable",
      "HighWarningEnable", "LowWarningEnable", "Units", "Gain", "Offset", "HighEventLimit", "LowEventLimit",
      "HighAlarmLimit", "HighAlarmDeadband", "LowAlarmLimit", "LowAlarmDeadband", "SigChangeValue",
      "HighAlarmPriority", "LowAlarmPriority", "HighAlarmText", "LowAlarmText", "MaximumUnits", "MinimumUnits",
      "HighWarningLimit", "LowWarningLimit", "HighAlarmDelay", "LowAlarmDelay", "Analogue"};
  EXPECT_EQ(std::vector<std::string>(analog.begin() + kCfgChannelSharedItems, analog.end()), analogOwn);
  const std::vector<std::string> digitalOwn = {"AlarmDriveCommon", "AlarmEnable", "EventState", "AlarmState",
                                               "HighStateText",    "LowStateText", "AlarmPriority", "AlarmText",
                                               "AlarmDelay",       "Digital"};
  EXPECT_EQ(std::vector<std::string>(digital.begin() + kCfgChannelSharedItems, digital.end()), digitalOwn);
  EXPECT_EQ(Cfg_ChannelType(kKindAO), &cfg_type_analog_channel);
  EXPECT_EQ(Cfg_ChannelType(kKindDO), &cfg_type_digital_channel);
  EXPECT_STREQ(Cfg_HardwareElementName(kKindCI), "Analogue");
  EXPECT_STREQ(Cfg_HardwareElementName(kKindDI), "Digital");
}

// Every leaf of a hand-made record read at its byte offset, then written
// back into a zero record through its text: the same bytes come out.
void CheckGolden(const StructsType* type, const ChannelConfig& rec,
                 const std::vector<std::pair<std::string, std::string>>& expect, size_t coveredEnd) {
  const std::vector<std::string> names = Leaves(type, &rec);
  ASSERT_EQ(names.size(), expect.size());
  ChannelConfig back{};
  back.Type = rec.Type;
  for (size_t i = 0; i < names.size(); ++i) {
    SCOPED_TRACE(names[i]);
    EXPECT_EQ(names[i], expect[i].first);
    const std::string text = Text(type, names[i].c_str(), &rec);
    EXPECT_EQ(text, expect[i].second);
    char ebuf[128] = "";
    EXPECT_EQ(Structs_SetItemText(type, names[i].c_str(), text.c_str(), &back, ebuf, sizeof ebuf), 0) << ebuf;
  }
  // Reserved bytes are not items; everything else is rebuilt.
  ChannelConfig want = rec;
  memset(want.Reserved25, 0, sizeof want.Reserved25);
  if (Chan_IsDigital(rec.Type)) {
    memset(want.digital.Reserved129, 0, sizeof want.digital.Reserved129);
    memset(want.digital.Reserved161, 0, sizeof want.digital.Reserved161);
    want.digital.Reserved187 = 0;
  }
  const auto* a = reinterpret_cast<const uint8_t*>(&want);
  const auto* b = reinterpret_cast<const uint8_t*>(&back);
  for (size_t i = 0; i < coveredEnd; ++i) EXPECT_EQ(a[i], b[i]) << "byte " << i;
}

TEST(ChannelTypes, AnalogItemsSitAtTheirOffsets) {
  ChannelConfig rec{};
  Chan_SetTag(&rec, "TAG12345ABCDXYZ");
  Chan_SetDescription(&rec, "Boiler feed pump discharge press");
  Put<uint8_t>(&rec, 24, kKindAO);
  Put<uint32_t>(&rec, 28, 0x2001 | 0x0100 | 0x0020);  // Enable, ErrorAlarmEnable, SigChangeEnable, LowAlarmEnable
  Put<uint8_t>(&rec, 165, 7);
  Put<uint16_t>(&rec, 166, 300);
  Chan_SetUnits(&rec, "kPa/min!");
  const float floats[9] = {1.5f, -2.25f, 100, 0, 90, 0.5f, 10, 0.25f, 0.125f};
  for (int i = 0; i < 9; ++i) Put<float>(&rec, 36 + 4 * i, floats[i]);
  Put<uint8_t>(&rec, 72, 3);
  Put<uint8_t>(&rec, 73, 4);
  PutText(&rec, 74, "Too high", 32);
  PutText(&rec, 106, std::string(32, 'L').c_str(), 32);  // fills its field, no terminator
  Put<float>(&rec, 168, 1000);
  Put<float>(&rec, 172, -1000);
  Put<float>(&rec, 176, 80);
  Put<float>(&rec, 180, 20);
  Put<uint16_t>(&rec, 184, 5);
  Put<uint16_t>(&rec, 186, 65535);
  for (int i = 0; i < 16; ++i) Put<uint8_t>(&rec, 188 + i, static_cast<uint8_t>(i + 1));
  rec.Reserved25[0] = 0xEE;
  CheckGolden(&cfg_type_analog_channel, rec,
              {{"Tag", "TAG12345ABCDXYZ"},
               {"Description", "Boiler feed pump discharge press"},
               {"Type", "AO"},
               {"Enable", "On"},
               {"EventEnable", "Off"},
               {"ErrorAlarmEnable", "On"},
               {"ErrorAlarmDriveCommon", "Off"},
               {"ErrorAlarmPriority", "7"},
               {"ErrorAlarmDelay", "300"},
               {"HighAlarmEnable", "Off"},
               {"HighAlarmDeadbandEnable", "Off"},
               {"HighAlarmDriveCommon", "Off"},
               {"LowAlarmEnable", "On"},
               {"LowAlarmDeadbandEnable", "Off"},
               {"LowAlarmDriveCommon", "Off"},
               {"SigChangeEnable", "On"},
               {"ReferenceEnable", "Off"},
               {"ScalingEnable", "Off"},
               {"HighWarningEnable", "Off"},
               {"LowWarningEnable", "Off"},
               {"Units", "kPa/min!"},
               {"Gain", "1.5"},
               {"Offset", "-2.25"},
               {"HighEventLimit", "100"},
               {"LowEventLimit", "0"},
               {"HighAlarmLimit", "90"},
               {"HighAlarmDeadband", "0.5"},
               {"LowAlarmLimit", "10"},
               {"LowAlarmDeadband", "0.25"},
               {"SigChangeValue", "0.125"},
               {"HighAlarmPriority", "3"},
               {"LowAlarmPriority", "4"},
               {"HighAlarmText", "Too high"},
               {"LowAlarmText", std::string(32, 'L')},
               {"MaximumUnits", "1000"},
               {"MinimumUnits", "-1000"},
               {"HighWarningLimit", "80"},
               {"LowWarningLimit", "20"},
               {"HighAlarmDelay", "5"},
               {"LowAlarmDelay", "65535"},
               {"Analogue", "0102030405060708090a0b0c0d0e0f10"}},
              204);  // bytes 204..215 of the hardware part have no item
}

TEST(ChannelTypes, DigitalItemsSitAtTheirOffsets) {
  ChannelConfig rec{};
  Chan_SetTag(&rec, "PUMP1_RUN");
  Chan_SetDescription(&rec, "Pump 1 running");
  Put<uint8_t>(&rec, 24, kKindDO);
  Put<uint32_t>(&rec, 28, 0x01 | 0x08 | 0x20 | 0x80);  // Enable, AlarmEnable, AlarmState High, ErrorAlarmDriveCommon
  PutText(&rec, 32, "RUNNING", 32);
  PutText(&rec, 64, "STOPPED", 32);
  Put<uint8_t>(&rec, 96, 2);
  PutText(&rec, 97, "Pump tripped", 32);
  Put<uint8_t>(&rec, 186, 9);
  Put<uint16_t>(&rec, 188, 12);
  Put<uint16_t>(&rec, 190, 34);
  for (int i = 0; i < 24; ++i) Put<uint8_t>(&rec, 192 + i, static_cast<uint8_t>(0xA0 + i));
  rec.digital.Reserved161[3] = 0x77;
  CheckGolden(&cfg_type_digital_channel, rec,
              {{"Tag", "PUMP1_RUN"},
               {"Description", "Pump 1 running"},
               {"Type", "DO"},
               {"Enable", "On"},
               {"EventEnable", "Off"},
               {"ErrorAlarmEnable", "Off"},
               {"ErrorAlarmDriveCommon", "On"},
               {"ErrorAlarmPriority", "9"},
               {"ErrorAlarmDelay", "12"},
               {"AlarmDriveCommon", "Off"},
               {"AlarmEnable", "On"},
               {"EventState", "Low"},
               {"AlarmState", "High"},
               {"HighStateText", "RUNNING"},
               {"LowStateText", "STOPPED"},
               {"AlarmPriority", "2"},
               {"AlarmText", "Pump tripped"},
               {"AlarmDelay", "34"},
               {"Digital", "a0a1a2a3a4a5a6a7a8a9aaabacadaeafb0b1b2b3b4b5b6b7"}},
              216);
}

TEST(ChannelTypes, ExtensionHardwareTypes) {
  // A driver's hardware part: node at +0, word address at +2, bit at +4.
  struct Hw {
    uint8_t Node;
    uint8_t pad;
    uint16_t WordAddress;
    uint8_t Bit;
  };
  static constinit const StructsField hwFields[] = {STRUCTS_FIELD(Hw, Node, "Node", structs_type_uint8),
                                                    STRUCTS_FIELD(Hw, WordAddress, "WordAddress", structs_type_uint16),
                                                    STRUCTS_FIELD(Hw, Bit, "Bit", structs_type_uint8),
                                                    STRUCTS_FIELD_END};
  static constinit const StructsType hwType = Structs_StructureType(sizeof(Hw), hwFields);
  for (uint8_t kind : {kKindAI, kKindDI}) {
    SCOPED_TRACE(kind);
    CfgChannelType ct;
    ASSERT_EQ(Cfg_BuildChannelType(&ct, kind, &hwType), 0);
    ChannelConfig rec{};
    rec.Type = kind;
    std::vector<std::string> names = Leaves(&ct.type, &rec);
    const size_t own = (kind == kKindAI ? kCfgAnalogChannelItems : kCfgDigitalChannelItems) - 1;
    ASSERT_EQ(names.size(), own + 3);
    EXPECT_EQ(std::vector<std::string>(names.end() - 3, names.end()),
              (std::vector<std::string>{"Node", "WordAddress", "Bit"}));
    ASSERT_EQ(Structs_SetItemText(&ct.type, "Node", "17", &rec, nullptr, 0), 0);
    ASSERT_EQ(Structs_SetItemText(&ct.type, "WordAddress", "4097", &rec, nullptr, 0), 0);
    ASSERT_EQ(Structs_SetItemText(&ct.type, "Bit", "5", &rec, nullptr, 0), 0);
    const size_t at = kind == kKindAI ? 188 : 192;
    const auto* b = reinterpret_cast<const uint8_t*>(&rec);
    EXPECT_EQ(b[at], 17);
    EXPECT_EQ(b[at + 2] | b[at + 3] << 8, 4097);
    EXPECT_EQ(b[at + 4], 5);
    EXPECT_EQ(Text(&ct.type, "Tag", &rec), "");  // the shared head is still there
  }
  // A primitive hardware type is one item under the kind's name.
  static constinit const StructsType all28 = Structs_FixedDataType(28);
  CfgChannelType ct;
  ASSERT_EQ(Cfg_BuildChannelType(&ct, kKindAI, &all28), 0);
  ChannelConfig rec{};
  EXPECT_EQ(Leaves(&ct.type, &rec).back(), "Analogue");
  EXPECT_EQ(Text(&ct.type, "Analogue", &rec), std::string(56, '0'));
  // Too large for the digital part (24 bytes): refused, default type kept.
  errno = 0;
  EXPECT_EQ(Cfg_BuildChannelType(&ct, kKindDI, &all28), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(Leaves(&ct.type, &rec).back(), "Digital");
  EXPECT_EQ(Leaves(&ct.type, &rec).size(), static_cast<size_t>(kCfgDigitalChannelItems));
  // Without a hardware type: the default one.
  ASSERT_EQ(Cfg_BuildChannelType(&ct, kKindAI, nullptr), 0);
  EXPECT_EQ(Leaves(&ct.type, &rec), Leaves(&cfg_type_analog_channel, &rec));
}

TEST(ChannelTypes, WholeRecordOperationsAreNotSupported) {
  ChannelConfig a{}, b{};
  errno = 0;
  EXPECT_EQ(cfg_type_analog_channel.init(&cfg_type_analog_channel, &a), -1);
  EXPECT_EQ(errno, kStructsErrNotImplemented);
  StructsData out{};
  EXPECT_EQ(cfg_type_digital_channel.encode(&cfg_type_digital_channel, kStructsTagTemporary, &out, &b), -1);
  EXPECT_EQ(out.data, nullptr);
}

TEST(SaveOptionsType, ItemsAndTexts) {
  DeviceSaveOptions o{1, 0, 1, 60000};
  ASSERT_EQ(Leaves(&cfg_type_save_options, &o),
            (std::vector<std::string>{"AutoEnable", "SaveOutputs", "SaveByTag", "SaveRate"}));
  EXPECT_EQ(Text(&cfg_type_save_options, "AutoEnable", &o), "On");
  EXPECT_EQ(Text(&cfg_type_save_options, "SaveOutputs", &o), "Off");
  EXPECT_EQ(Text(&cfg_type_save_options, "SaveRate", &o), "60000");
  DeviceSaveOptions r{};
  ASSERT_EQ(Structs_SetItemText(&cfg_type_save_options, "SaveOutputs", "On", &r, nullptr, 0), 0);
  ASSERT_EQ(Structs_SetItemText(&cfg_type_save_options, "SaveRate", "4294967295", &r, nullptr, 0), 0);
  EXPECT_EQ(r.SaveOutputs, 1u);
  EXPECT_EQ(r.SaveRate, 4294967295u);
  char ebuf[64];
  EXPECT_EQ(Structs_SetItemText(&cfg_type_save_options, "SaveRate", "-1", &r, ebuf, sizeof ebuf), -1);
  EXPECT_STREQ(ebuf, "integer value is out of range");
  // The whole record works too (all fields are library types).
  DeviceSaveOptions c;
  ASSERT_EQ(cfg_type_save_options.copy(&cfg_type_save_options, &o, &c), 0);
  EXPECT_EQ(cfg_type_save_options.equal(&cfg_type_save_options, &o, &c), 1);
}

}  // namespace
