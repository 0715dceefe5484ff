// Channel and device configuration records.
//
// ChannelConfig (216 bytes) and DeviceConfig (704 bytes) are the records the
// whole system shares: the same bytes live in the binary configuration files,
// in the "_conf" data modules, in the dialogs and in the logged-data stores.
// Texts are single-byte Windows-1252, zero-filled and not terminated when they
// fill their field. A channel's tag (15), description (32) and units (8) are
// split over several places of the record; use the Chan_ accessors to read
// and write them whole.
#pragma once
#include <bit>
#include <cstddef>
#include <cstdint>

static_assert(std::endian::native == std::endian::little, "records are little-endian byte layouts");

// Channel kinds (the Type byte). An odd kind is digital, an even one analog.
enum ChannelKind : uint8_t {
  kKindAI = 0,
  kKindDI = 1,
  kKindAO = 2,
  kKindDO = 3,
  kKindCI = 4,
  kKindDC5 = 5,  // "dc": kept as stored
  kKindDC6 = 6,  // "dc": kept as stored
};
constexpr int kChannelKindCount = 7;

constexpr int kTagPart1Len = 8, kTagPart2Len = 4, kTagPart3Len = 3;
constexpr int kDescPart1Len = 16, kDescPart2Len = 16;
constexpr int kUnitsPart1Len = 4, kUnitsPart2Len = 4;
constexpr int kTagMax = kTagPart1Len + kTagPart2Len + kTagPart3Len;  // 15
constexpr int kDescMax = kDescPart1Len + kDescPart2Len;              // 32
constexpr int kUnitsMax = kUnitsPart1Len + kUnitsPart2Len;           // 8
constexpr int kChannelTextLen = 32;  // alarm and state texts

// Bytes 32..215 of an analog channel (Type even).
struct AnalogChannelPart {
  char UnitsPart1[4];  // 32
  float Gain;          // 36
  float Offset;
  float HighEventLimit;
  float LowEventLimit;
  float HighAlarmLimit;
  float HighAlarmDeadband;
  float LowAlarmLimit;
  float LowAlarmDeadband;
  float SigChangeValue;                // 68
  uint8_t HighAlarmPriority;           // 72
  uint8_t LowAlarmPriority;            // 73
  char HighAlarmText[kChannelTextLen];  // 74
  char LowAlarmText[kChannelTextLen];   // 106
  char TagPart2[4];                    // 138
  char DescriptionPart2[16];           // 142
  char TagPart3[3];                    // 158
  char UnitsPart2[4];                  // 161
  uint8_t ErrorAlarmPriority;          // 165
  uint16_t ErrorAlarmDelay;            // 166
  float MaximumUnits;                  // 168
  float MinimumUnits;
  float HighWarningLimit;
  float LowWarningLimit;
  uint16_t HighAlarmDelay;  // 184
  uint16_t LowAlarmDelay;   // 186
  uint8_t Hardware[28];     // 188: the driver's part
};

// Bytes 32..215 of a digital channel (Type odd).
struct DigitalChannelPart {
  char HighStateText[kChannelTextLen];  // 32
  char LowStateText[kChannelTextLen];   // 64
  uint8_t AlarmPriority;                // 96
  char AlarmText[kChannelTextLen];      // 97
  uint8_t Reserved129[9];
  char TagPart2[4];           // 138
  char DescriptionPart2[16];  // 142
  char TagPart3[3];           // 158
  uint8_t Reserved161[25];    // digital channels have no units
  uint8_t ErrorAlarmPriority;  // 186
  uint8_t Reserved187;
  uint16_t ErrorAlarmDelay;  // 188
  uint16_t AlarmDelay;       // 190
  uint8_t Hardware[24];      // 192: the driver's part
};

struct ChannelConfig {
  char TagPart1[8];           // 0
  char DescriptionPart1[16];  // 8
  uint8_t Type;               // 24: ChannelKind
  uint8_t Reserved25[3];      // kept as stored
  uint8_t Flags[4];           // 28: bit array, see the flag indices below
  union {
    AnalogChannelPart analog;
    DigitalChannelPart digital;
  };
};

static_assert(sizeof(ChannelConfig) == 216);
static_assert(offsetof(ChannelConfig, TagPart1) == 0);
static_assert(offsetof(ChannelConfig, DescriptionPart1) == 8);
static_assert(offsetof(ChannelConfig, Type) == 24);
static_assert(offsetof(ChannelConfig, Reserved25) == 25);
static_assert(offsetof(ChannelConfig, Flags) == 28);
static_assert(offsetof(ChannelConfig, analog) == 32);
static_assert(offsetof(ChannelConfig, digital) == 32);
#define CDX_AOFF(f) (32 + offsetof(AnalogChannelPart, f))
static_assert(CDX_AOFF(UnitsPart1) == 32);
static_assert(CDX_AOFF(Gain) == 36);
static_assert(CDX_AOFF(Offset) == 40);
static_assert(CDX_AOFF(HighEventLimit) == 44);
static_assert(CDX_AOFF(LowEventLimit) == 48);
static_assert(CDX_AOFF(HighAlarmLimit) == 52);
static_assert(CDX_AOFF(HighAlarmDeadband) == 56);
static_assert(CDX_AOFF(LowAlarmLimit) == 60);
static_assert(CDX_AOFF(LowAlarmDeadband) == 64);
static_assert(CDX_AOFF(SigChangeValue) == 68);
static_assert(CDX_AOFF(HighAlarmPriority) == 72);
static_assert(CDX_AOFF(LowAlarmPriority) == 73);
static_assert(CDX_AOFF(HighAlarmText) == 74);
static_assert(CDX_AOFF(LowAlarmText) == 106);
static_assert(CDX_AOFF(TagPart2) == 138);
static_assert(CDX_AOFF(DescriptionPart2) == 142);
static_assert(CDX_AOFF(TagPart3) == 158);
static_assert(CDX_AOFF(UnitsPart2) == 161);
static_assert(CDX_AOFF(ErrorAlarmPriority) == 165);
static_assert(CDX_AOFF(ErrorAlarmDelay) == 166);
static_assert(CDX_AOFF(MaximumUnits) == 168);
static_assert(CDX_AOFF(MinimumUnits) == 172);
static_assert(CDX_AOFF(HighWarningLimit) == 176);
static_assert(CDX_AOFF(LowWarningLimit) == 180);
static_assert(CDX_AOFF(HighAlarmDelay) == 184);
static_assert(CDX_AOFF(LowAlarmDelay) == 186);
static_assert(CDX_AOFF(Hardware) == 188);
static_assert(sizeof(AnalogChannelPart) == 216 - 32);
#undef CDX_AOFF
#define CDX_DOFF(f) (32 + offsetof(DigitalChannelPart, f))
static_assert(CDX_DOFF(HighStateText) == 32);
static_assert(CDX_DOFF(LowStateText) == 64);
static_assert(CDX_DOFF(AlarmPriority) == 96);
static_assert(CDX_DOFF(AlarmText) == 97);
static_assert(CDX_DOFF(Reserved129) == 129);
static_assert(CDX_DOFF(TagPart2) == 138);
static_assert(CDX_DOFF(DescriptionPart2) == 142);
static_assert(CDX_DOFF(TagPart3) == 158);
static_assert(CDX_DOFF(Reserved161) == 161);
static_assert(CDX_DOFF(ErrorAlarmPriority) == 186);
static_assert(CDX_DOFF(ErrorAlarmDelay) == 188);
static_assert(CDX_DOFF(AlarmDelay) == 190);
static_assert(CDX_DOFF(Hardware) == 192);
static_assert(sizeof(DigitalChannelPart) == 216 - 32);
#undef CDX_DOFF

// Byte offsets of the channel texts that both layouts share.
constexpr size_t kTagPart2Offset = 138;
constexpr size_t kDescriptionPart2Offset = 142;
constexpr size_t kTagPart3Offset = 158;

// This driver's hardware part (DF1): node and word address, entered as
// decimal digits meant as octal; a digital channel adds the bit number.
struct Df1AnalogHardware {  // at byte 188
  uint8_t Node;
  uint8_t Reserved189;
  uint16_t WordAddress;  // 190
};
struct Df1DigitalHardware {  // at byte 192
  uint8_t Node;
  uint8_t Reserved193;
  uint16_t WordAddress;  // 194
  uint8_t Bit;           // 196
};
static_assert(offsetof(Df1AnalogHardware, WordAddress) == 190 - 188);
static_assert(offsetof(Df1DigitalHardware, WordAddress) == 194 - 192);
static_assert(offsetof(Df1DigitalHardware, Bit) == 196 - 192);

// Flag indices. Index i lives in byte 28 + i/8 under the mask 0x80 >> (i%8),
// so read as the little-endian uint32 at byte 28 index 7 is bit 0, index 0
// bit 7, index 15 bit 8 and so on (Chan_FlagMask).
enum AnalogFlag : int {
  kAiEnable = 7,
  kAiEventEnable = 6,
  kAiHighAlarmEnable = 5,
  kAiHighAlarmDeadbandEnable = 4,
  kAiHighAlarmDriveCommon = 3,
  kAiLowAlarmEnable = 2,
  kAiLowAlarmDeadbandEnable = 1,
  kAiLowAlarmDriveCommon = 0,
  kAiSigChangeEnable = 15,
  kAiReferenceEnable = 14,
  kAiScalingEnable = 13,
  kAiHighWarningEnable = 12,
  kAiLowWarningEnable = 11,
  kAiErrorAlarmEnable = 10,
  kAiErrorAlarmDriveCommon = 9,
};
enum DigitalFlag : int {
  kDiEnable = 7,
  kDiAlarmDriveCommon = 6,
  kDiEventEnable = 5,
  kDiAlarmEnable = 4,
  kDiEventState = 3,  // Low/High
  kDiAlarmState = 2,  // Low/High
  kDiErrorAlarmEnable = 1,
  kDiErrorAlarmDriveCommon = 0,
};

// The mask of flag index i (0..31) in the uint32 read at byte 28.
constexpr uint32_t Chan_FlagMask(int index) {
  return uint32_t{0x80u >> (index % 8)} << (8 * (index / 8));
}
static_assert(Chan_FlagMask(kAiEnable) == 0x0001);
static_assert(Chan_FlagMask(kAiLowAlarmDriveCommon) == 0x0080);
static_assert(Chan_FlagMask(kAiSigChangeEnable) == 0x0100);
static_assert(Chan_FlagMask(kAiErrorAlarmDriveCommon) == 0x4000);

// True for a digital kind (odd Type).
constexpr bool Chan_IsDigital(uint8_t type) { return (type & 1) != 0; }

// The flag bits as the little-endian uint32 at byte 28, and back.
uint32_t Chan_GetFlagWord(const ChannelConfig& c);
void Chan_SetFlagWord(ChannelConfig* c, uint32_t word);
bool Chan_TestFlag(const ChannelConfig& c, int index);
void Chan_SetFlag(ChannelConfig* c, int index, bool on);

// The joined texts, terminated, in a static buffer per accessor (the next
// call of the same accessor overwrites it). Units of a digital channel are
// empty.
const char* Chan_GetTag(const ChannelConfig& c);
const char* Chan_GetDescription(const ChannelConfig& c);
const char* Chan_GetUnits(const ChannelConfig& c);
// Splits a text over its parts; characters beyond the maximum are dropped.
// Chan_SetUnits leaves a digital record unchanged (it has no units).
void Chan_SetTag(ChannelConfig* c, const char* text);
void Chan_SetDescription(ChannelConfig* c, const char* text);
void Chan_SetUnits(ChannelConfig* c, const char* text);

// The lengths editors offer, from the registry values "TagSize", "DescSize"
// and "UnitsSize" (current user first, then the machine); the maximum (15,
// 32, 8) when both are missing or out of 1..maximum.
int Chan_TagSize();
int Chan_DescSize();
int Chan_UnitsSize();

// The file name of a kind 0..6 ("ai", "di", "ao", "do", "ci", "dc", "dc");
// null for another kind.
const char* Chan_KindName(int kind);

// Short forms of logger channel names (at most 47 characters, static).
const char* Chan_ShortName(const char* loggerType, const char* name);
const char* Chan_ExpName(const char* loggerType, const char* name);

// ---------------------------------------------------------------- devices

// Communication settings inside DeviceConfig, at byte 4.
struct CommBlock {
  uint8_t RetryCount;  // output write retries
  uint8_t Node;        // 0..255
  char Port[7];        // up to 6 characters and a zero; empty = "COM<device>"
};
static_assert(sizeof(CommBlock) == 9);

struct DeviceConfig {
  uint32_t ScanRate;  // scan period in ms
  CommBlock Comm;     // 4..12
  uint8_t DriverPart[704 - 13];  // 13..703: the driver's
};
static_assert(sizeof(DeviceConfig) == 704);
static_assert(offsetof(DeviceConfig, ScanRate) == 0);
static_assert(offsetof(DeviceConfig, Comm) == 4);
static_assert(offsetof(DeviceConfig, Comm) + offsetof(CommBlock, RetryCount) == 4);
static_assert(offsetof(DeviceConfig, Comm) + offsetof(CommBlock, Node) == 5);
static_assert(offsetof(DeviceConfig, Comm) + offsetof(CommBlock, Port) == 6);
static_assert(offsetof(DeviceConfig, DriverPart) == 13);
constexpr size_t kDeviceConfigSize = sizeof(DeviceConfig);

// A device's save options. In the binary files AutoEnable is the first byte
// of "config" and the others are "saveconfig" (see configfiles.h).
struct DeviceSaveOptions {
  uint32_t AutoEnable;   // start the device automatically (0/1)
  uint32_t SaveOutputs;  // keep output values across restarts (0/1)
  uint32_t SaveByTag;    // restore saved values by tag, not position (0/1)
  uint32_t SaveRate;     // save period in ms
};
static_assert(sizeof(DeviceSaveOptions) == 16);
