// Structure types of the channel record and the device's save options.
//
// They map ChannelConfig (cdxlib/records/chanconfig.h) and DeviceSaveOptions to the
// element names and texts of the XML files and schemas, and give the change
// history its per-item texts. Both channel types begin with the nine items
// that analog and digital channels share, in this order:
//   Tag, Description, Type, Enable, EventEnable, ErrorAlarmEnable,
//   ErrorAlarmDriveCommon, ErrorAlarmPriority, ErrorAlarmDelay
// so a file may hold channels of both kinds under one Channel element. Then
// come the kind's own flags (in flag-index table order), its own fields (in
// byte order), and last the hardware part: "Analogue" (bytes 188..203 as 32
// hex digits) or "Digital" (bytes 192..215 as 48 hex digits), or the items
// of the type that the device's extension library gives for it.
//
// The channel types are reached item by item (names from
// Structs_ListItemNames, texts through Structs_Get/SetItemText); their flag
// and split-text items have no Init, Copy, Equal or binary coding, so the
// whole-record operations of these types fail with errno 40.
#pragma once
#include <cstddef>
#include <cstdint>

#include "base/structs/structs.h"
#include "cdxlib/records/chanconfig.h"

// Analog channel: 41 leaf items; digital channel: 19.
extern const StructsType cfg_type_analog_channel;
extern const StructsType cfg_type_digital_channel;
constexpr int kCfgAnalogChannelItems = 41;
constexpr int kCfgDigitalChannelItems = 19;
// The items at the head of both channel types.
constexpr int kCfgChannelSharedItems = 9;

// DeviceSaveOptions: "AutoEnable", "SaveOutputs", "SaveByTag" (32-bit
// booleans, "Off"/"On") and "SaveRate" (unsigned 32-bit).
extern const StructsType cfg_type_save_options;

// The channel type of a record's Type (even analog, odd digital).
const StructsType* Cfg_ChannelType(int type);

// The hardware part of a channel kind: where it starts, how many bytes it
// has, the element and bytes of its default hex field.
constexpr size_t kCfgAnalogHardwareOffset = 188;
constexpr size_t kCfgAnalogHardwareSize = 28;
constexpr size_t kCfgAnalogHardwareHexSize = 16;
constexpr size_t kCfgDigitalHardwareOffset = 192;
constexpr size_t kCfgDigitalHardwareSize = 24;
constexpr size_t kCfgDigitalHardwareHexSize = 24;
const char* Cfg_HardwareElementName(int type);  // "Analogue" or "Digital"

// A channel type whose hardware part has the extension library's type: a
// structure type's fields become items of the channel (their offsets
// counted from the hardware part's start), any other type one item named
// "Analogue" or "Digital". Build it in place; it points into itself, so it
// is neither copied nor moved. Valid while hwType is (the library loaded).
struct CfgChannelType {
  static constexpr int kMaxFields = 96;
  StructsField fields[kMaxFields];
  StructsType type;

  CfgChannelType() = default;
  CfgChannelType(const CfgChannelType&) = delete;
  CfgChannelType& operator=(const CfgChannelType&) = delete;
};
// Fills out for a record's Type with hwType (null: the default hex field):
// 0, or -1 with errno EINVAL when the hardware type does not fit the
// hardware part or has too many fields (out then holds the default type).
int Cfg_BuildChannelType(CfgChannelType* out, int type, const StructsType* hwType);
