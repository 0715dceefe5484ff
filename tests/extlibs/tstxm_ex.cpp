// A test extension library for the XML configuration files: this driver's
// hardware part as items (node, word address, bit), a device record type
// (scan rate and the communication block), a fixed extra-data type per
// channel, and checks that reject what a driver would reject.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "base/structs/structs.h"
#include "cdxlib/records/chanconfig.h"
#include "cdxlib/config/extdll.h"

namespace {

struct AnalogHw {  // bytes 188..215
  uint8_t Node;
  uint8_t Reserved;
  uint16_t WordAddress;
  uint8_t Rest[24];
};
struct DigitalHw {  // bytes 192..215
  uint8_t Node;
  uint8_t Reserved;
  uint16_t WordAddress;
  uint8_t Bit;
  uint8_t Rest[19];
};
static_assert(sizeof(AnalogHw) == 28 && sizeof(DigitalHw) == 24);

constinit const StructsField analog_hw_fields[] = {
    STRUCTS_FIELD(AnalogHw, Node, "Node", structs_type_uint8),
    STRUCTS_FIELD(AnalogHw, WordAddress, "WordAddress", structs_type_uint16), STRUCTS_FIELD_END};
constinit const StructsType analog_hw_type = Structs_StructureType(sizeof(AnalogHw), analog_hw_fields);
constinit const StructsField digital_hw_fields[] = {
    STRUCTS_FIELD(DigitalHw, Node, "Node", structs_type_uint8),
    STRUCTS_FIELD(DigitalHw, WordAddress, "WordAddress", structs_type_uint16),
    STRUCTS_FIELD(DigitalHw, Bit, "Bit", structs_type_uint8), STRUCTS_FIELD_END};
constinit const StructsType digital_hw_type = Structs_StructureType(sizeof(DigitalHw), digital_hw_fields);

// The counter inputs' hardware type is wider than the record's hardware
// part: its Scale lies past the record's end.
struct WideHw {
  uint8_t Node;
  uint8_t Reserved;
  uint16_t WordAddress;
  uint8_t Rest[28];
  float Scale;
};
static_assert(offsetof(WideHw, Scale) == 32);
constinit const StructsField wide_hw_fields[] = {
    STRUCTS_FIELD(WideHw, Node, "Node", structs_type_uint8),
    STRUCTS_FIELD(WideHw, WordAddress, "WordAddress", structs_type_uint16),
    STRUCTS_FIELD(WideHw, Scale, "Scale", structs_type_float), STRUCTS_FIELD_END};
constinit const StructsType wide_hw_type = Structs_StructureType(sizeof(WideHw), wide_hw_fields);

struct Device {  // the first 13 bytes of DeviceConfig
  uint32_t ScanRate;
  uint8_t RetryCount;
  uint8_t Node;
  char Port[7];
};
constinit const StructsType port_type = Structs_FixedStringType(7);
constinit const StructsField device_fields[] = {
    STRUCTS_FIELD(Device, ScanRate, "ScanRate", structs_type_uint32),
    STRUCTS_FIELD(Device, RetryCount, "RetryCount", structs_type_uint8),
    STRUCTS_FIELD(Device, Node, "Node", structs_type_uint8), STRUCTS_FIELD(Device, Port, "Port", port_type),
    STRUCTS_FIELD_END};
constinit const StructsType device_type = Structs_StructureType(16, device_fields);

struct Extra {  // 8 bytes per channel
  float Setpoint;
  uint32_t Mode;
};
constinit const StructsField extra_fields[] = {STRUCTS_FIELD(Extra, Setpoint, "Setpoint", structs_type_float),
                                               STRUCTS_FIELD(Extra, Mode, "Mode", structs_type_uint32),
                                               STRUCTS_FIELD_END};
constinit const StructsType extra_type = Structs_StructureType(sizeof(Extra), extra_fields);

struct DeviceExtra {
  char Site[16];
};
constinit const StructsType site_type = Structs_FixedStringType(16);
constinit const StructsField device_extra_fields[] = {STRUCTS_FIELD(DeviceExtra, Site, "Site", site_type),
                                                      STRUCTS_FIELD_END};
constinit const StructsType device_extra_type = Structs_StructureType(sizeof(DeviceExtra), device_extra_fields);

}  // namespace

extern "C" {
int Ex_DoXml() { return 1; }

// By the channel's own kind: a file may hold channels of several kinds.
const StructsType* Ex_Get_Channel_Hw_Type(int32_t kind, int32_t, const void* record) {
  const bool digital = record ? Chan_IsDigital(static_cast<const ChannelConfig*>(record)->Type) : (kind & 1);
  if (kind == kKindCI && !digital) return &wide_hw_type;
  return digital ? &digital_hw_type : &analog_hw_type;
}
const StructsType* Ex_Get_Channel_Extra_Type(int32_t kind, int32_t, const void*) {
  return kind == 0 ? &extra_type : nullptr;
}
int32_t Ex_Get_Channel_Extra_Size(int32_t kind, int32_t, const void*, const void*) {
  return kind == 0 ? static_cast<int32_t>(sizeof(Extra)) : 0;
}
// Hands back a block of its own for the undecorated extra data (the caller
// frees it): Mode is stored doubled and written as it was entered.
int32_t Ex_Undecorate_Channel_Extra(int32_t, int32_t, const void*, ExBlock* block) {
  auto* own = static_cast<Extra*>(malloc(sizeof(Extra)));
  memcpy(own, block->data, sizeof(Extra));
  own->Mode /= 2;
  block->data = own;
  block->size = sizeof(Extra);
  block->owned = 1;
  return 0;
}
int32_t Ex_Decorate_Channel_Extra(int32_t, int32_t, const void*, ExBlock* block) {
  static_cast<Extra*>(block->data)->Mode *= 2;
  return 0;
}
// A channel on node 255 is rejected.
int32_t Ex_Validate_Chan(const char*, const void* record, char* error, int32_t errorSize) {
  const auto* c = static_cast<const ChannelConfig*>(record);
  const uint8_t node = Chan_IsDigital(c->Type) ? c->digital.Hardware[0] : c->analog.Hardware[0];
  if (node == 255) {
    snprintf(error, static_cast<size_t>(errorSize), "node 255 is the broadcast address");
    return -1;
  }
  return 0;
}

// Rejects a channel whose first argument (a record) has the tag "CLASH".
int32_t Ex_ValidateChanWithConfig(const void* a1, const void*, const void*, const void*, const void*, const void*,
                                  const void* a7, char* error, int32_t errorSize) {
  if (a1 && memcmp(a1, "CLASH", 5) == 0) {
    snprintf(error, static_cast<size_t>(errorSize), "clashes with %s", static_cast<const char*>(a7));
    return -1;
  }
  return 0;
}

const StructsType* Ex_Get_Config_Type(const void*, int32_t) { return &device_type; }
const StructsType* Ex_Get_Config_Extra_Type(const void*, int32_t, const void*, int32_t) {
  return &device_extra_type;
}
// A device must have a scan period and needs its Port element.
int32_t Ex_Validate_Device(const char* elements, const void* record, char* error, int32_t errorSize) {
  uint32_t rate;
  memcpy(&rate, record, 4);
  if (rate == 0) {
    snprintf(error, static_cast<size_t>(errorSize), "a scan period of 0 ms");
    return -1;
  }
  if (!strstr(elements, ",Port,")) {
    snprintf(error, static_cast<size_t>(errorSize), "<Port> Required");
    return -1;
  }
  return 0;
}
}
