// XML schemas of the configuration files, and the names they share with
// the files.
//
// Every XML configuration file names a schema in the directory SCHEMA beside
// its own directory; the schemas are written from the same structure types
// that produce the files, so configuration documents can be validated and
// edited with ordinary XML tools:
//   channels of one kind  SCHEMA/<type>_<kind>.xsd  namespace <base>/<type>_<kind>
//   device                SCHEMA/<type>.xsd         namespace <base>/<type>
//   logger                SCHEMA/<logger name>.xsd  namespace <base>/<logger name>
// where <type> is the device type cut to 5 characters (Cfg_XmlDeviceType)
// and <base> is kCfgXmlNamespaceBase. Every element of a file is in its
// namespace (the root's default xmlns), and the schemas say so
// (elementFormDefault "qualified").
//
// One xs:element per leaf item, its xs:simpleType chosen by the item's
// family (xml_WriteSimpleTypes). A family without its own restriction gets
// a plain xs:string restriction.
//
// The writers end as the XML file writers do: a failure is logged with the
// XML error text, errno and the last error become 1465 and the result is -1.
#pragma once
#include <cstdint>
#include <string>

#include "base/structs/structs.h"
#include "cdxlib/xml/xmldoc.h"

// The maker's web address that begins every namespace of the files.
constexpr const char* kCfgXmlNamespaceBase = "http://www.quillomatic.invalid/Coordinatrix";
constexpr const char* kXsNamespace = "http://www.w3.org/2001/XMLSchema";
constexpr const char* kXsiNamespace = "http://www.w3.org/2001/XMLSchema-instance";
// The comment at the head of every file and schema.
constexpr const char* kCfgXmlComment = "Created Automatically by Hexaplan.";

// The device type of a configuration directory ('/' or '\' separated): its
// last component cut at its last '_', then its first 5 characters.
std::string Cfg_XmlDeviceType(const char* dir);
// The namespaces and the schema locations ("<namespace> ../SCHEMA/<file>")
// of the channel file of a kind (0..6), the device file and a logger file.
std::string Cfg_ChannelsNamespace(const char* dir, int kind);
std::string Cfg_ChannelsSchemaLocation(const char* dir, int kind);
std::string Cfg_DeviceNamespace(const char* dir);
std::string Cfg_DeviceSchemaLocation(const char* dir);
std::string Cfg_LoggerNamespace(const char* loggerName);
std::string Cfg_LoggerSchemaLocation(const char* loggerName);
// The SCHEMA directory beside a configuration directory (its parent and
// "SCHEMA"); "" when the directory has no parent.
std::string Cfg_SchemaDir(const char* dir);

// One xs:element per leaf item of the type (names from Structs_ListItemNames
// of a zeroed value), from item `first` on, at most maxCount items (0 =
// all), appended to parent. 0, or -1 with the XML error message "<item>
// message" (writing stops at the first failure).
int xml_WriteSimpleTypes(XmlDocument* doc, XmlNode* parent, const StructsType* type, int first, int maxCount);

// The channel schema of a directory's kind. Covers the kind alone, or for
// "ai" with an extension library whose Ex_Get_Mixed_Channel_Type gives 1
// the kinds "ai" and "di": one xs:group "Channel_<first letter>" per kind
// with its items from the tenth on. "Channels" holds 1..channelCount
// "Channel" elements (pass the number of channels the file holds): the
// nine shared items, the kind groups, the extra-data items, attribute "id".
// excelCompatible (the "ExcelCompatibleXSD" setting): with several kinds,
// 1 lists the groups in a sequence, each optional (spreadsheet XML maps
// take no xs:choice), 0 makes them an xs:choice (a channel holds exactly one
// kind's group). With one kind both give the same schema.
int Cfg_WriteChannelsSchema(const char* dir, int kind, int channelCount, int excelCompatible);

// The device schema: "Configs" holds 1..2 "Config" with the save options,
// the items of Ex_Get_Config_Type (record, size) and of
// Ex_Get_Config_Extra_Type (record, size, extra, extraLength) when the
// directory's extension library has them, in any order (xs:all) and the
// save options optional, as separate saves of the options and the record
// leave them in the file. record and extra may be null.
int Cfg_WriteDeviceSchema(const char* dir, const void* record, uint32_t size, const void* extra,
                          uint32_t extraLength);

// The logger schema: "Loggers" holds 1..2 "Logger" with the items of the
// logger's structure type. dir is the logger directory (LOGGERS); the
// schema goes to the SCHEMA directory beside it. A logger name with a path
// separator, or "." or "..", is refused (last error 123) and writes nothing.
int Cfg_WriteLoggerSchema(const char* dir, const char* loggerName, const StructsType* loggerType);
