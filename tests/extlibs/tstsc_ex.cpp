// A test extension library for the schema writer: mixed channel files, a
// hardware type per channel kind, a channel extra-data type, and device
// record and extra-data types. Its descriptors carry only what schemas are
// made from (family, size, arguments, field tables): the library has no
// code of the structured-data library to run.
#include <cstdint>

#include "base/structs/structs.h"

namespace {

constexpr StructsType Prim(uint32_t size, const char* family, uintptr_t arg0 = 0, const void* arg0ptr = nullptr) {
  StructsType t{size, family, STRUCTS_TYPE_PRIMITIVE, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                nullptr, {StructsNum(arg0), StructsNum(0), StructsNum(0)}};
  if (arg0ptr) t.args[0].ptr = arg0ptr;
  return t;
}
constexpr StructsType Struct(uint32_t size, const StructsField* fields) {
  return StructsType{size, "structure", STRUCTS_TYPE_STRUCTURE, nullptr, nullptr, nullptr, nullptr, nullptr,
                     nullptr, nullptr, nullptr, {StructsFieldsArg(fields), StructsNum(0), StructsNum(0)}};
}

constexpr StructsIdEntry kModes[] = {{"RAW", 0, 0}, {"ENG", 1, 0}, {nullptr, 0, 0}};

constexpr StructsType u8 = Prim(1, "uint", 4);
constexpr StructsType u16 = Prim(2, "uint", 5);
constexpr StructsType u32 = Prim(4, "uint", 6);
constexpr StructsType f32 = Prim(4, "float", 0);
constexpr StructsType mode = Prim(4, "id", 0, kModes);
constexpr StructsType port = Prim(7, "fixedstring");

constexpr StructsField hwAnalogFields[] = {
    {"Node", &u8, 1, 0}, {"WordAddress", &u16, 2, 2}, {nullptr, nullptr, 0, 0}};
constexpr StructsField hwDigitalFields[] = {
    {"Node", &u8, 1, 0}, {"WordAddress", &u16, 2, 2}, {"Bit", &u8, 1, 4}, {nullptr, nullptr, 0, 0}};
constexpr StructsField extraFields[] = {{"Scale", &f32, 4, 0}, {"Mode", &mode, 4, 4}, {nullptr, nullptr, 0, 0}};
constexpr StructsField configFields[] = {{"ScanRate", &u32, 4, 0},
                                         {"Retries", &u8, 1, 4},
                                         {"Node", &u8, 1, 5},
                                         {"Port", &port, 7, 6},
                                         {nullptr, nullptr, 0, 0}};
constexpr StructsField configExtraFields[] = {{"Baud", &u32, 4, 0}, {nullptr, nullptr, 0, 0}};

constexpr StructsType hwAnalog = Struct(4, hwAnalogFields);
constexpr StructsType hwDigital = Struct(5, hwDigitalFields);
constexpr StructsType extra = Struct(8, extraFields);
constexpr StructsType config = Struct(13, configFields);
constexpr StructsType configExtra = Struct(4, configExtraFields);

}  // namespace

extern "C" int Ex_DoXml() { return 1; }
extern "C" int32_t Ex_Get_Mixed_Channel_Type() { return 1; }
extern "C" const StructsType* Ex_Get_Channel_Hw_Type(int32_t, int32_t, const void* record) {
  const uint8_t type = static_cast<const uint8_t*>(record)[24];
  return (type & 1) ? &hwDigital : &hwAnalog;
}
extern "C" const StructsType* Ex_Get_Channel_Extra_Type(int32_t, int32_t, const void*) { return &extra; }
extern "C" const StructsType* Ex_Get_Config_Type(const void*, int32_t) { return &config; }
extern "C" const StructsType* Ex_Get_Config_Extra_Type(const void*, int32_t, const void*, int32_t) {
  return &configExtra;
}
