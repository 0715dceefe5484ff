#include "cdxlib/config/chantypes.h"

#include <cerrno>
#include <cstring>

#include "cdxlib/config/cfgtypes.h"

namespace {

// Every flag item is declared at the flag bytes (byte 28), so its distance
// back to them is 0.
constexpr uint16_t kFlagsAt = 28;
constexpr StructsType Flag(int index) { return CfgType_BitFieldType(0, static_cast<uint32_t>(index), cfg_ids_off_on); }
constexpr StructsType LowHigh(int index) {
  return CfgType_BitFieldType(0, static_cast<uint32_t>(index), cfg_ids_low_high);
}

constexpr StructsType ai_enable = Flag(kAiEnable);
constexpr StructsType ai_event_enable = Flag(kAiEventEnable);
constexpr StructsType ai_high_alarm_enable = Flag(kAiHighAlarmEnable);
constexpr StructsType ai_high_alarm_deadband_enable = Flag(kAiHighAlarmDeadbandEnable);
constexpr StructsType ai_high_alarm_drive_common = Flag(kAiHighAlarmDriveCommon);
constexpr StructsType ai_low_alarm_enable = Flag(kAiLowAlarmEnable);
constexpr StructsType ai_low_alarm_deadband_enable = Flag(kAiLowAlarmDeadbandEnable);
constexpr StructsType ai_low_alarm_drive_common = Flag(kAiLowAlarmDriveCommon);
constexpr StructsType ai_sig_change_enable = Flag(kAiSigChangeEnable);
constexpr StructsType ai_reference_enable = Flag(kAiReferenceEnable);
constexpr StructsType ai_scaling_enable = Flag(kAiScalingEnable);
constexpr StructsType ai_high_warning_enable = Flag(kAiHighWarningEnable);
constexpr StructsType ai_low_warning_enable = Flag(kAiLowWarningEnable);
constexpr StructsType ai_error_alarm_enable = Flag(kAiErrorAlarmEnable);
constexpr StructsType ai_error_alarm_drive_common = Flag(kAiErrorAlarmDriveCommon);

constexpr StructsType di_enable = Flag(kDiEnable);
constexpr StructsType di_alarm_drive_common = Flag(kDiAlarmDriveCommon);
constexpr StructsType di_event_enable = Flag(kDiEventEnable);
constexpr StructsType di_alarm_enable = Flag(kDiAlarmEnable);
constexpr StructsType di_event_state = LowHigh(kDiEventState);
constexpr StructsType di_alarm_state = LowHigh(kDiAlarmState);
constexpr StructsType di_error_alarm_enable = Flag(kDiErrorAlarmEnable);
constexpr StructsType di_error_alarm_drive_common = Flag(kDiErrorAlarmDriveCommon);

constexpr StructsType analog_hardware_hex = Structs_FixedDataType(kCfgAnalogHardwareHexSize);
constexpr StructsType digital_hardware_hex = Structs_FixedDataType(kCfgDigitalHardwareHexSize);

constexpr StructsField F(const char* name, const StructsType& type, size_t offset) {
  return StructsField{name, &type, static_cast<uint16_t>(type.size), static_cast<uint16_t>(offset)};
}
// A field of a descriptor defined elsewhere (its size given here).
constexpr StructsField F(const char* name, const StructsType& type, size_t size, size_t offset) {
  return StructsField{name, &type, static_cast<uint16_t>(size), static_cast<uint16_t>(offset)};
}

#define CDX_SHARED_HEAD(prefix, errPrioAt, errDelayAt)                                       \
  F("Tag", cfg_type_chan_tag, kTagMax, 0), F("Description", cfg_type_chan_description, kDescMax, 8),            \
      F("Type", structs_type_chan_kind8, 1, 24), F("Enable", prefix##_enable, kFlagsAt),          \
      F("EventEnable", prefix##_event_enable, kFlagsAt),                                     \
      F("ErrorAlarmEnable", prefix##_error_alarm_enable, kFlagsAt),                          \
      F("ErrorAlarmDriveCommon", prefix##_error_alarm_drive_common, kFlagsAt),               \
      F("ErrorAlarmPriority", structs_type_uint8, 1, errPrioAt), F("ErrorAlarmDelay", structs_type_uint16, 2, errDelayAt)

constexpr StructsField analog_fields[] = {
    CDX_SHARED_HEAD(ai, 165, 166),
    F("HighAlarmEnable", ai_high_alarm_enable, kFlagsAt),
    F("HighAlarmDeadbandEnable", ai_high_alarm_deadband_enable, kFlagsAt),
    F("HighAlarmDriveCommon", ai_high_alarm_drive_common, kFlagsAt),
    F("LowAlarmEnable", ai_low_alarm_enable, kFlagsAt),
    F("LowAlarmDeadbandEnable", ai_low_alarm_deadband_enable, kFlagsAt),
    F("LowAlarmDriveCommon", ai_low_alarm_drive_common, kFlagsAt),
    F("SigChangeEnable", ai_sig_change_enable, kFlagsAt),
    F("ReferenceEnable", ai_reference_enable, kFlagsAt),
    F("ScalingEnable", ai_scaling_enable, kFlagsAt),
    F("HighWarningEnable", ai_high_warning_enable, kFlagsAt),
    F("LowWarningEnable", ai_low_warning_enable, kFlagsAt),
    F("Units", cfg_type_chan_units, kUnitsMax, 32),
    F("Gain", structs_type_float, 4, 36),
    F("Offset", structs_type_float, 4, 40),
    F("HighEventLimit", structs_type_float, 4, 44),
    F("LowEventLimit", structs_type_float, 4, 48),
    F("HighAlarmLimit", structs_type_float, 4, 52),
    F("HighAlarmDeadband", structs_type_float, 4, 56),
    F("LowAlarmLimit", structs_type_float, 4, 60),
    F("LowAlarmDeadband", structs_type_float, 4, 64),
    F("SigChangeValue", structs_type_float, 4, 68),
    F("HighAlarmPriority", structs_type_uint8, 1, 72),
    F("LowAlarmPriority", structs_type_uint8, 1, 73),
    F("HighAlarmText", cfg_type_fixedtext32, 32, 74),
    F("LowAlarmText", cfg_type_fixedtext32, 32, 106),
    F("MaximumUnits", structs_type_float, 4, 168),
    F("MinimumUnits", structs_type_float, 4, 172),
    F("HighWarningLimit", structs_type_float, 4, 176),
    F("LowWarningLimit", structs_type_float, 4, 180),
    F("HighAlarmDelay", structs_type_uint16, 2, 184),
    F("LowAlarmDelay", structs_type_uint16, 2, 186),
    F("Analogue", analog_hardware_hex, kCfgAnalogHardwareOffset),
    STRUCTS_FIELD_END};

constexpr StructsField digital_fields[] = {
    CDX_SHARED_HEAD(di, 186, 188),
    F("AlarmDriveCommon", di_alarm_drive_common, kFlagsAt),
    F("AlarmEnable", di_alarm_enable, kFlagsAt),
    F("EventState", di_event_state, kFlagsAt),
    F("AlarmState", di_alarm_state, kFlagsAt),
    F("HighStateText", cfg_type_fixedtext32, 32, 32),
    F("LowStateText", cfg_type_fixedtext32, 32, 64),
    F("AlarmPriority", structs_type_uint8, 1, 96),
    F("AlarmText", cfg_type_fixedtext32, 32, 97),
    F("AlarmDelay", structs_type_uint16, 2, 190),
    F("Digital", digital_hardware_hex, kCfgDigitalHardwareOffset),
    STRUCTS_FIELD_END};

#undef CDX_SHARED_HEAD

constexpr int CountFields(const StructsField* f) {
  int n = 0;
  while (f[n].name) ++n;
  return n;
}
static_assert(CountFields(analog_fields) == kCfgAnalogChannelItems);
static_assert(CountFields(digital_fields) == kCfgDigitalChannelItems);

constinit const StructsField save_option_fields[] = {
    STRUCTS_FIELD(DeviceSaveOptions, AutoEnable, "AutoEnable", structs_type_boolean32_onoff),
    STRUCTS_FIELD(DeviceSaveOptions, SaveOutputs, "SaveOutputs", structs_type_boolean32_onoff),
    STRUCTS_FIELD(DeviceSaveOptions, SaveByTag, "SaveByTag", structs_type_boolean32_onoff),
    STRUCTS_FIELD(DeviceSaveOptions, SaveRate, "SaveRate", structs_type_uint32), STRUCTS_FIELD_END};

}  // namespace

constinit const StructsType cfg_type_analog_channel = Structs_StructureType(sizeof(ChannelConfig), analog_fields);
constinit const StructsType cfg_type_digital_channel = Structs_StructureType(sizeof(ChannelConfig), digital_fields);
constinit const StructsType cfg_type_save_options = Structs_StructureType(sizeof(DeviceSaveOptions), save_option_fields);

const StructsType* Cfg_ChannelType(int type) {
  return Chan_IsDigital(static_cast<uint8_t>(type)) ? &cfg_type_digital_channel : &cfg_type_analog_channel;
}

const char* Cfg_HardwareElementName(int type) {
  return Chan_IsDigital(static_cast<uint8_t>(type)) ? "Digital" : "Analogue";
}

int Cfg_BuildChannelType(CfgChannelType* out, int type, const StructsType* hwType) {
  const bool digital = Chan_IsDigital(static_cast<uint8_t>(type));
  const StructsField* base = digital ? digital_fields : analog_fields;
  const int head = (digital ? kCfgDigitalChannelItems : kCfgAnalogChannelItems) - 1;  // all but the hex field
  const size_t hwAt = digital ? kCfgDigitalHardwareOffset : kCfgAnalogHardwareOffset;
  const size_t hwSize = digital ? kCfgDigitalHardwareSize : kCfgAnalogHardwareSize;

  auto finish = [&](int n) {
    out->fields[n] = STRUCTS_FIELD_END;
    out->type = Structs_StructureType(sizeof(ChannelConfig), out->fields);
  };
  auto useDefault = [&] {
    memcpy(out->fields, base, sizeof(StructsField) * static_cast<size_t>(head + 1));
    finish(head + 1);
  };

  if (!hwType) return useDefault(), 0;
  memcpy(out->fields, base, sizeof(StructsField) * static_cast<size_t>(head));
  int n = head;
  if (hwType->tclass == STRUCTS_TYPE_STRUCTURE) {
    for (const StructsField* f = hwType->args[0].fields; f && f->name; ++f) {
      if (n >= CfgChannelType::kMaxFields - 1 || f->offset + static_cast<size_t>(f->size) > hwSize)
        return useDefault(), errno = EINVAL, -1;
      out->fields[n++] = StructsField{f->name, f->type, f->size, static_cast<uint16_t>(hwAt + f->offset)};
    }
  } else {
    if (hwType->size > hwSize) return useDefault(), errno = EINVAL, -1;
    out->fields[n++] = StructsField{Cfg_HardwareElementName(type), hwType, static_cast<uint16_t>(hwType->size),
                                    static_cast<uint16_t>(hwAt)};
  }
  finish(n);
  return 0;
}
