#include "cdxlib/config/xmlschema.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <vector>

#include "base/memory/typedmem.h"
#include "base/structs/structs_item.h"
#include "cdxlib/records/chanconfig.h"
#include "cdxlib/config/chantypes.h"
#include "cdxlib/config/extdll.h"
#include "platform/error.h"
#include "platform/files.h"

namespace {

constexpr const char* kNamesTag = "xml_schema";

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

std::string TrimmedDir(const char* dir) {
  std::string d = dir ? dir : "";
  while (d.size() > 1 && IsSeparator(d.back())) d.pop_back();
  return d;
}

std::string LastComponent(const char* dir) {
  const std::string d = TrimmedDir(dir);
  const size_t sep = d.find_last_of("/\\");
  return sep == std::string::npos ? d : d.substr(sep + 1);
}

std::string KindName(int kind) {
  const char* name = Chan_KindName(kind);
  return name ? name : "";
}

void SetAttribute(XmlDocument* doc, XmlNode* element, const char* name, const char* value) {
  xml_CreateAndAddAttributeNode(doc, name, value, element);
}

void SetAttribute(XmlDocument* doc, XmlNode* element, const char* name, int value) {
  char text[16];
  snprintf(text, sizeof text, "%d", value);
  xml_CreateAndAddAttributeNode(doc, name, text, element);
}

// <xs:restriction base="..."/> with optional facets inside.
XmlNode* OpenRestriction(XmlDocument* doc, XmlNode* simpleType, const char* base) {
  XmlNode* r = xml_OpenElement(doc, "xs:restriction", simpleType);
  SetAttribute(doc, r, "base", base);
  return r;
}

void AddFacet(XmlDocument* doc, XmlNode* restriction, const char* facet, const char* value) {
  XmlNode* f = xml_OpenElement(doc, facet, restriction);
  SetAttribute(doc, f, "value", value);
  xml_CloseElement(doc, f);
}

void AddMaxLength(XmlDocument* doc, XmlNode* restriction, uint64_t length) {
  char text[24];
  snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(length));
  AddFacet(doc, restriction, "xs:maxLength", text);
}

const char* IntegerBase(uintptr_t sizeCode, bool isUnsigned) {
  static const char* const kSigned[8] = {"xs:byte", "xs:short", "xs:int", "xs:long",
                                         "xs:byte", "xs:short", "xs:int", "xs:long"};
  static const char* const kUnsigned[8] = {"xs:unsignedByte", "xs:unsignedShort", "xs:unsignedInt",
                                           "xs:unsignedLong", "xs:unsignedByte",  "xs:unsignedShort",
                                           "xs:unsignedInt",  "xs:unsignedLong"};
  if (sizeCode > 7) return nullptr;
  return isUnsigned ? kUnsigned[sizeCode] : kSigned[sizeCode];
}

// The words of a boolean descriptor's pair (the configuration records use
// "Off"/"On").
void BooleanWords(const StructsType* type, const char** no, const char** yes) {
  static const char* const kWords[5][2] = {
      {"False", "True"}, {"No", "Yes"}, {"Off", "On"}, {"Disabled", "Enabled"}, {"0", "1"}};
  const uintptr_t pair = type->args[1].num < 5 ? type->args[1].num : 2;
  *no = kWords[pair][0];
  *yes = kWords[pair][1];
}

// The xs:simpleType content of one item.
void WriteItemType(XmlDocument* doc, XmlNode* simpleType, const StructsType* item) {
  const char* family = item->name ? item->name : "";
  XmlNode* r = nullptr;
  if (strcmp(family, "id") == 0 || strcmp(family, "bitfield") == 0) {
    r = OpenRestriction(doc, simpleType, "xs:string");
    const StructsIdEntry* table = strcmp(family, "id") == 0 ? item->args[0].ids : item->args[2].ids;
    for (const StructsIdEntry* e = table; e && e->name; ++e) AddFacet(doc, r, "xs:enumeration", e->name);
  } else if (strcmp(family, "boolean") == 0) {
    const char *no, *yes;
    BooleanWords(item, &no, &yes);
    r = OpenRestriction(doc, simpleType, "xs:string");
    AddFacet(doc, r, "xs:enumeration", no);
    AddFacet(doc, r, "xs:enumeration", yes);
  } else if (strcmp(family, "chanconfignstring") == 0 || strcmp(family, "fixedstring") == 0 ||
             strcmp(family, "linktagnstring") == 0) {
    r = OpenRestriction(doc, simpleType, "xs:string");
    AddMaxLength(doc, r, item->size);
  } else if (strcmp(family, "fixeddata") == 0) {
    r = OpenRestriction(doc, simpleType, "xs:string");
    AddMaxLength(doc, r, 2ull * item->size);
  } else if (strcmp(family, "time") == 0) {
    r = OpenRestriction(doc, simpleType, "xs:string");
    AddMaxLength(doc, r, 19);
  } else if (strcmp(family, "stime") == 0) {
    r = OpenRestriction(doc, simpleType, "xs:string");
    AddMaxLength(doc, r, 9);
  } else if ((strcmp(family, "int") == 0 || strcmp(family, "uint") == 0) &&
             IntegerBase(item->args[0].num, family[0] == 'u')) {
    r = OpenRestriction(doc, simpleType, IntegerBase(item->args[0].num, family[0] == 'u'));
  } else if (strcmp(family, "float") == 0 || strcmp(family, "double") == 0) {
    const bool isDouble = strcmp(family, "double") == 0 || item->args[0].num == 1;
    r = OpenRestriction(doc, simpleType, isDouble ? "xs:double" : "xs:float");
  } else {
    // "var", and every family without a restriction of its own
    // ("string", "hint", "data", "eol", "sep", "password", "server", ...):
    // any text. (A simpleType needs a restriction to be valid XSD.)
    r = OpenRestriction(doc, simpleType, "xs:string");
  }
  xml_CloseElement(doc, r);
}

// The head of every schema: the declaration, the comment and xs:schema
// with the namespaces; returns xs:schema.
XmlNode* OpenSchema(XmlDocument* doc, const std::string& prefix, const std::string& ns) {
  xml_CreateAndAddPINode(doc, "xml", "version='1.0' encoding='UTF-8' standalone='yes'");
  xml_CreateAndAddCommentNode(doc, kCfgXmlComment);
  XmlNode* schema = xml_OpenElement(doc, "xs:schema", nullptr);
  SetAttribute(doc, schema, "xmlns:xs", kXsNamespace);
  SetAttribute(doc, schema, "xmlns:xsi", kXsiNamespace);
  SetAttribute(doc, schema, ("xmlns:" + prefix).c_str(), ns.c_str());
  SetAttribute(doc, schema, "targetNamespace", ns.c_str());
  // The files put every element in the namespace (the root's default
  // xmlns); without this the schema would expect the local ones in none.
  SetAttribute(doc, schema, "elementFormDefault", "qualified");
  return schema;
}

// xs:element name=... > xs:complexType > xs:sequence [minOccurs maxOccurs]
struct Nested {
  XmlNode* element;
  XmlNode* complexType;
  XmlNode* sequence;
};
Nested OpenComplexElement(XmlDocument* doc, XmlNode* parent, const char* name, int minOccurs, int maxOccurs) {
  Nested n{};
  n.element = xml_OpenElement(doc, "xs:element", parent);
  SetAttribute(doc, n.element, "name", name);
  n.complexType = xml_OpenElement(doc, "xs:complexType", n.element);
  n.sequence = xml_OpenElement(doc, "xs:sequence", n.complexType);
  if (maxOccurs > 0) {
    SetAttribute(doc, n.sequence, "minOccurs", minOccurs);
    SetAttribute(doc, n.sequence, "maxOccurs", maxOccurs);
  }
  return n;
}
void CloseComplexElement(XmlDocument* doc, const Nested& n) {
  xml_CloseElement(doc, n.sequence);
  xml_CloseElement(doc, n.complexType);
  xml_CloseElement(doc, n.element);
}

// The SCHEMA directory, created when missing; records "Invalid Pathname"
// for a directory without a parent.
std::string PrepareSchemaDir(const char* dir) {
  const std::string schemaDir = Cfg_SchemaDir(dir);
  if (xml_GetError() < 0) return schemaDir;
  if (schemaDir.empty()) {
    xml_SetError(kXmlErrInvalidArg, "Invalid Pathname");
    return schemaDir;
  }
  struct stat st;
  if (stat(schemaDir.c_str(), &st) != 0 && mkdir(schemaDir.c_str(), 0777) != 0 && errno != EEXIST) {
    char message[512];
    snprintf(message, sizeof message, "Cannot create the directory %s: %s", schemaDir.c_str(), strerror(errno));
    xml_SetError(kXmlErrFail, message);
  }
  return schemaDir;
}

// Indents, saves and frees; the writers' common end.
int Finish(XmlDocument* doc, XmlNode* root, const std::string& path) {
  if (xml_GetError() >= 0) {
    xml_Indent(doc, root, 0);
    xml_Save(doc, path.c_str());
  }
  const bool failed = xml_GetError() < 0;
  xml_FreeDocument(doc);
  return failed ? xml_ReportError() : 0;
}

}  // namespace

// ---------------------------------------------------------------- names

std::string Cfg_XmlDeviceType(const char* dir) {
  std::string name = LastComponent(dir);
  const size_t us = name.find_last_of('_');
  if (us != std::string::npos) name.resize(us);
  return name.substr(0, 5);
}

std::string Cfg_ChannelsNamespace(const char* dir, int kind) {
  return std::string(kCfgXmlNamespaceBase) + "/" + Cfg_XmlDeviceType(dir) + "_" + KindName(kind);
}

std::string Cfg_ChannelsSchemaLocation(const char* dir, int kind) {
  return Cfg_ChannelsNamespace(dir, kind) + " ../SCHEMA/" + Cfg_XmlDeviceType(dir) + "_" + KindName(kind) + ".xsd";
}

std::string Cfg_DeviceNamespace(const char* dir) {
  return std::string(kCfgXmlNamespaceBase) + "/" + Cfg_XmlDeviceType(dir);
}

std::string Cfg_DeviceSchemaLocation(const char* dir) {
  return Cfg_DeviceNamespace(dir) + " ../SCHEMA/" + Cfg_XmlDeviceType(dir) + ".xsd";
}

std::string Cfg_LoggerNamespace(const char* loggerName) {
  return std::string(kCfgXmlNamespaceBase) + "/" + (loggerName ? loggerName : "");
}

std::string Cfg_LoggerSchemaLocation(const char* loggerName) {
  return Cfg_LoggerNamespace(loggerName) + " ../SCHEMA/" + (loggerName ? loggerName : "") + ".xsd";
}

std::string Cfg_SchemaDir(const char* dir) {
  const std::string d = TrimmedDir(dir);
  const size_t sep = d.find_last_of("/\\");
  if (sep == std::string::npos || sep + 1 >= d.size()) return std::string();
  const std::string parent = sep == 0 ? std::string("/") : d.substr(0, sep);
  return parent + (IsSeparator(parent.back()) ? "" : "/") + "SCHEMA";
}

// ---------------------------------------------------------------- simple types

namespace {

// xml_WriteSimpleTypes; with optional, every element gets minOccurs "0".
int WriteSimpleTypes(XmlDocument* doc, XmlNode* parent, const StructsType* type, int first, int maxCount,
                     bool optional) {
  if (xml_GetError() < 0) return -1;
  if (!type) {
    xml_SetError(kXmlErrInvalidArg, "xml_WriteSimpleTypes() without a structure type");
    return -1;
  }
  // The names of a zeroed value: every leaf the files can hold.
  std::vector<uint8_t> zero(type->size ? type->size : 1, 0);
  char** names = nullptr;
  const int count = Structs_ListItemNames(type, zero.data(), &names, kNamesTag);
  if (count < 0) {
    char message[256];
    snprintf(message, sizeof message, "listing the items failed: %s", Structs_ErrorText(errno));
    xml_SetError(kXmlErrFail, message);
    return -1;
  }
  int written = 0;
  for (int i = first < 0 ? 0 : first; i < count && (maxCount <= 0 || written < maxCount); ++i, ++written) {
    void* at = zero.data();
    const StructsType* item = Structs_FindItem(type, names[i], &at, 0);
    if (item) {
      XmlNode* element = xml_OpenElement(doc, "xs:element", parent);
      SetAttribute(doc, element, "name", names[i]);
      if (optional) SetAttribute(doc, element, "minOccurs", "0");
      XmlNode* simpleType = xml_OpenElement(doc, "xs:simpleType", element);
      WriteItemType(doc, simpleType, item);
      xml_CloseElement(doc, simpleType);
      xml_CloseElement(doc, element);
    } else {
      xml_SetError(kXmlErrFail, Structs_ErrorText(errno));
    }
    if (xml_GetError() < 0) {
      char message[512];
      snprintf(message, sizeof message, "<%s> %s", names[i], xml_GetErrorMessage());
      xml_SetError(xml_GetError(), message);
      break;
    }
  }
  Structs_FreeItemNames(names, count, kNamesTag);
  return xml_GetError() < 0 ? -1 : 0;
}

}  // namespace

int xml_WriteSimpleTypes(XmlDocument* doc, XmlNode* parent, const StructsType* type, int first, int maxCount) {
  return WriteSimpleTypes(doc, parent, type, first, maxCount, false);
}

// ---------------------------------------------------------------- channels

int Cfg_WriteChannelsSchema(const char* dir, int kind, int channelCount, int excelCompatible) {
  const std::string kindName = KindName(kind);
  XmlDocument* doc = xml_CreateDocument();
  if (!doc) return xml_ReportError();
  xml_SetSource(LastComponent(dir).c_str());
  xml_SetContext("Creating Schema");
  if (kindName.empty()) xml_SetError(kXmlErrInvalidArg, "Invalid channel kind");
  const std::string schemaDir = PrepareSchemaDir(dir);
  const std::string prefix = Cfg_XmlDeviceType(dir) + "_" + kindName;

  void* lib = ExtDll_Load(dir);
  auto mixedFn = reinterpret_cast<ExGetMixedChannelTypeFn>(ExtDll_Entry(lib, "Ex_Get_Mixed_Channel_Type"));
  auto hwFn = reinterpret_cast<ExGetChannelHwTypeFn>(ExtDll_Entry(lib, "Ex_Get_Channel_Hw_Type"));
  auto extraFn = reinterpret_cast<ExGetChannelExtraTypeFn>(ExtDll_Entry(lib, "Ex_Get_Channel_Extra_Type"));
  std::vector<int> kinds{kind};
  if (kind == kKindAI && mixedFn && mixedFn() == 1) kinds.push_back(kKindDI);

  XmlNode* schema = OpenSchema(doc, prefix, Cfg_ChannelsNamespace(dir, kind));
  // One group per kind covered: its items from the tenth on.
  for (int k : kinds) {
    ChannelConfig record{};
    record.Type = static_cast<uint8_t>(k);
    CfgChannelType type;
    if (Cfg_BuildChannelType(&type, k, hwFn ? hwFn(kind, 0, &record) : nullptr) != 0)
      xml_SetError(kXmlErrInvalidArg, "The hardware part's type does not fit the channel record");
    XmlNode* group = xml_OpenElement(doc, "xs:group", schema);
    SetAttribute(doc, group, "name", ("Channel_" + KindName(k).substr(0, 1)).c_str());
    XmlNode* sequence = xml_OpenElement(doc, "xs:sequence", group);
    xml_WriteSimpleTypes(doc, sequence, &type.type, kCfgChannelSharedItems, 0);
    xml_CloseElement(doc, sequence);
    xml_CloseElement(doc, group);
  }

  const Nested channels = OpenComplexElement(doc, schema, "Channels", 1, channelCount > 0 ? channelCount : 1);
  const Nested channel = OpenComplexElement(doc, channels.sequence, "Channel", 0, 0);
  ChannelConfig record{};
  record.Type = static_cast<uint8_t>(kind);
  xml_WriteSimpleTypes(doc, channel.sequence, Cfg_ChannelType(kind), 0, kCfgChannelSharedItems);
  const bool several = kinds.size() > 1;
  XmlNode* groups = xml_OpenElement(doc, several && !excelCompatible ? "xs:choice" : "xs:sequence", channel.sequence);
  for (int k : kinds) {
    XmlNode* ref = xml_OpenElement(doc, "xs:group", groups);
    SetAttribute(doc, ref, "ref", (prefix + ":Channel_" + KindName(k).substr(0, 1)).c_str());
    if (several && excelCompatible) SetAttribute(doc, ref, "minOccurs", "0");
    xml_CloseElement(doc, ref);
  }
  xml_CloseElement(doc, groups);
  if (const StructsType* extra = extraFn ? extraFn(kind, 0, &record) : nullptr)
    xml_WriteSimpleTypes(doc, channel.sequence, extra, 0, 0);
  xml_CloseElement(doc, channel.sequence);
  XmlNode* id = xml_OpenElement(doc, "xs:attribute", channel.complexType);
  SetAttribute(doc, id, "name", "id");
  SetAttribute(doc, id, "type", "xs:integer");
  SetAttribute(doc, id, "use", "required");
  xml_CloseElement(doc, id);
  xml_CloseElement(doc, channel.complexType);
  xml_CloseElement(doc, channel.element);
  CloseComplexElement(doc, channels);
  xml_CloseElement(doc, schema);

  const int r = Finish(doc, schema, schemaDir + "/" + prefix + ".xsd");
  ExtDll_Free(lib);
  return r;
}

// ---------------------------------------------------------------- device

int Cfg_WriteDeviceSchema(const char* dir, const void* record, uint32_t size, const void* extra,
                          uint32_t extraLength) {
  XmlDocument* doc = xml_CreateDocument();
  if (!doc) return xml_ReportError();
  xml_SetSource(LastComponent(dir).c_str());
  xml_SetContext("Creating Schema");
  const std::string schemaDir = PrepareSchemaDir(dir);
  const std::string prefix = Cfg_XmlDeviceType(dir);

  void* lib = ExtDll_Load(dir);
  auto configFn = reinterpret_cast<ExGetConfigTypeFn>(ExtDll_Entry(lib, "Ex_Get_Config_Type"));
  auto extraFn = reinterpret_cast<ExGetConfigExtraTypeFn>(ExtDll_Entry(lib, "Ex_Get_Config_Extra_Type"));
  // The entries get a record to look at even when the caller has none.
  std::vector<uint8_t> zeroRecord;
  if (!record) {
    zeroRecord.assign(size > kDeviceConfigSize ? size : kDeviceConfigSize, 0);
    record = zeroRecord.data();
  }

  XmlNode* schema = OpenSchema(doc, prefix, Cfg_DeviceNamespace(dir));
  const Nested configs = OpenComplexElement(doc, schema, "Configs", 1, 2);
  // Config's elements in any order (xs:all), the save options optional: the
  // device file gets the save options and the record in separate saves
  // (each replaces its elements or appends them), so a file may lack the
  // save options or hold them after the record's items.
  XmlNode* config = xml_OpenElement(doc, "xs:element", configs.sequence);
  SetAttribute(doc, config, "name", "Config");
  XmlNode* configType = xml_OpenElement(doc, "xs:complexType", config);
  XmlNode* all = xml_OpenElement(doc, "xs:all", configType);
  WriteSimpleTypes(doc, all, &cfg_type_save_options, 0, 0, true);
  if (const StructsType* type = configFn ? configFn(record, static_cast<int32_t>(size)) : nullptr)
    xml_WriteSimpleTypes(doc, all, type, 0, 0);
  if (const StructsType* type =
          extraFn ? extraFn(record, static_cast<int32_t>(size), extra, static_cast<int32_t>(extraLength)) : nullptr)
    xml_WriteSimpleTypes(doc, all, type, 0, 0);
  xml_CloseElement(doc, all);
  xml_CloseElement(doc, configType);
  xml_CloseElement(doc, config);
  CloseComplexElement(doc, configs);
  xml_CloseElement(doc, schema);

  const int r = Finish(doc, schema, schemaDir + "/" + prefix + ".xsd");
  ExtDll_Free(lib);
  return r;
}

// ---------------------------------------------------------------- logger

int Cfg_WriteLoggerSchema(const char* dir, const char* loggerName, const StructsType* loggerType) {
  XmlDocument* doc = xml_CreateDocument();
  if (!doc) return xml_ReportError();
  const std::string name = loggerName ? loggerName : "";
  xml_SetSource(("Logger " + name).c_str());
  xml_SetContext("Creating Schema - Logger Type");
  if (name.empty()) xml_SetError(kXmlErrInvalidArg, "No logger name");
  // The name becomes the schema's file name: never a path.
  const bool plain = plat::IsPlainName(name.c_str());
  if (!plain) xml_SetError(kXmlErrInvalidArg, "Invalid logger name");
  const std::string schemaDir = PrepareSchemaDir(dir);

  XmlNode* schema = OpenSchema(doc, name, Cfg_LoggerNamespace(loggerName));
  const Nested loggers = OpenComplexElement(doc, schema, "Loggers", 1, 2);
  const Nested logger = OpenComplexElement(doc, loggers.sequence, "Logger", 0, 0);
  xml_WriteSimpleTypes(doc, logger.sequence, loggerType, 0, 0);
  CloseComplexElement(doc, logger);
  CloseComplexElement(doc, loggers);
  xml_CloseElement(doc, schema);
  const int r = Finish(doc, schema, schemaDir + "/" + name + ".xsd");
  if (!plain) plat::Fail(plat::kErrInvalidName);
  return r;
}
