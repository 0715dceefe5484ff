// Channel and device configuration as XML files.
//
// A driver whose extension library exports Ex_DoXml keeps its channel and
// device configuration as XML files beside, or instead of, the binary
// files of configfiles.h. Each leaf item of a record's structure type
// becomes one element named after the item and holding the item's text.
//
// Channel file <dir>/<kind name>.xml ("ai.xml", ...):
//   <?xml version='1.0' encoding='UTF-8'?>
//   <!--Created Automatically by Hexaplan.-->
//   <Channels xmlns:xsi="..." xmlns="<ns>/<type>_<kind>"
//             xsi:schemaLocation="<ns>/<type>_<kind> ../SCHEMA/<type>_<kind>.xsd">
//     <Channel id="1"> <Tag>..</Tag> ... </Channel>  (id = position + 1)
//   </Channels>
// Device file <dir>/config.xml: root "Configs" (namespace "<ns>/<type>"),
// one "Config" with AutoEnable, SaveOutputs, SaveByTag, SaveRate, the items
// of the device record's type and of its extra data (both from the
// extension library). <type> is the device type's first five characters.
//
// Failures are collected in the XML layer's error state (xmldoc.h) and
// reported once: the error text goes to the error log, errno and the last
// error become 1465, the call returns -1. Elements that a loader does not
// know are left alone (a merge save keeps them too). Files are written to
// a temporary file and renamed into place, so a crash leaves the old or
// the new file; a write that fails, or whose existing file cannot be read
// back, leaves the file as it was.
//
// The XML error state is process-wide: one load or save at a time.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/structs/structs.h"
#include "cdxlib/records/chanconfig.h"
#include "cdxlib/config/extdll.h"
#include "cdxlib/xml/xmldoc.h"
#include "cdxlib/config/xmlschema.h"


// ---------------------------------------------------------------- switches
// Read from HKEY_LOCAL_MACHINE "SOFTWARE\Quillomatic\Coordinatrix" of the
// machine that holds the configuration: a directory "\\machine\..." names
// another machine, whose registry this platform cannot open, so the
// defaults hold there.
//   "ReadXML"  "ON"/"OFF" (any case): read XML files when present; any other
//              text or none: on for the product "Tarvi", else off.
//   "WriteXML" "BIN" 0, "BOTH" 1, "XML" 2 (any case); none: 2 for "Tarvi",
//              else 0; any other text: 0.
//   "ExcelCompatibleXSD" DWORD, default 1.
int XmlOpt_ReadXml(const char* dir);
int XmlOpt_WriteXml(const char* dir);
uint32_t XmlOpt_ExcelCompatibleXsd(const char* dir);
constexpr int kWriteXmlBin = 0, kWriteXmlBoth = 1, kWriteXmlOnly = 2;
// The machine that holds a configuration directory: the name between the
// leading two backslashes and the next one, or "." for this machine.
std::string XmlOpt_Machine(const char* dir);

// ---------------------------------------------------------------- element lists
// The list of elements read: "," followed by "name," for every element
// that was read and accepted.
//
// 0 when ",name," occurs in the list, else -1 with the XML error
// "<name> Required".
int Cfg_CheckRequired(const char* list, const char* name);
// The required elements of a channel (the first one missing ends the check;
// see xmlconfig.cpp for the rules): 0, or -1 with the XML error set.
int Cfg_ValidateChannel(const char* list, const ChannelConfig* record);
// Hands seven arguments to Ex_ValidateChanWithConfig of the current
// directory's extension library; its -1 is reported as an XML error (1465).
// No library or entry: 0.
int Cfg_ValidateChannelWithConfig(const void* a1, const void* a2, const void* a3, const void* a4, const void* a5,
                                  const void* a6, const void* a7);

// ---------------------------------------------------------------- record items
// Writes every leaf item of `type` (value at `value`) that has a text form
// as a child element of `parent`. With replace, an existing child of the
// same name is replaced, else the element is appended. An item whose text
// its reader would refuse (an infinite or not-a-number float, a time field
// out of range) or that XML cannot hold (control characters) is not
// written: the XML error "<item> cannot be written (text): why" is set, so
// a save never writes a file that its loader refuses.
int CfgXml_WriteItems(XmlDocument* doc, XmlNode* parent, const StructsType* type, const void* value, bool replace);
// Reads every leaf item of `type` whose element is a child of `parent` into
// `value`, appends its name to *list and removes the element; a parse
// failure sets the XML error `format` (with "%s" for the element name and
// "%s" for the parser's message) and stops. 0, or -1.
int CfgXml_ReadItems(XmlNode* parent, const StructsType* type, void* value, std::string* list, const char* format);

// ---------------------------------------------------------------- channels
// The structure types a channel file is written and read with: the channel
// types by kind parity, and the name of the leaf item that stands for the
// hardware part (replaced by the items of the extension library's
// hardware type when it gives one).
struct CfgChannelTypes {
  const StructsType* analog;
  const StructsType* digital;
  const char* analogHardwareItem;   // "Analogue", bytes 188..
  const char* digitalHardwareItem;  // "Digital", bytes 192..
};
// The system's channel types.
const CfgChannelTypes& Cfg_SystemChannelTypes();

// Writes channels first .. first+count-1 of a kind to <dir>/<kind>.xml:
// merge 1 updates the file (keeping other channels and elements), merge 0
// writes it anew. Extra data (extraLength bytes) goes through the extension
// library's extra type. The channel schema (SCHEMA/<type>_<kind>.xsd) is
// written when more than one channel was written; a schema that cannot be
// written fails the call after the file was written. A channel that its
// loader would refuse (an item it cannot read back, or one that fails
// Cfg_ValidateChannel or the library's Ex_Validate_Chan) fails the call
// and leaves the file as it was. 0 or -1.
int Cfg_WriteChannelsXml(const char* user, const char* dir, int kind, const ChannelConfig* records, int first,
                         int count, const void* extra, uint32_t extraLength, int merge);
// Reads channels first .. first+count-1 of <dir>/<kind>.xml. The first one
// asked for must be there ("Channel id=N Not Found"); a later missing one
// reads as zeros. Every channel passes Cfg_ValidateChannel and the
// extension library's checks.
int Cfg_LoadChannelsXml(const char* dir, int kind, ChannelConfig* records, int first, int count, void* extra,
                        uint32_t extraLength);
// Builds what Cfg_WriteChannelsXml would write without writing anything:
// 0 when the write would succeed, else -1 with the XML error reported
// (1465). A save that writes the binary files beside the XML file asks
// first, so that a value the XML file cannot hold stops it before any file
// is replaced.
int Cfg_CheckChannelsXml(const char* dir, int kind, const ChannelConfig* records, int first, int count,
                         const void* extra, uint32_t extraLength, int merge);
// The same with given channel types (tests, other record families).
// fileChannels (optional): the number of channels the file holds after the
// save. save false: everything but the file's write.
int CfgXml_WriteChannels(const CfgChannelTypes& types, const char* user, const char* dir, int kind,
                         const ChannelConfig* records, int first, int count, const void* extra, uint32_t extraLength,
                         int merge, int* fileChannels = nullptr, bool save = true);
int CfgXml_LoadChannels(const CfgChannelTypes& types, const char* dir, int kind, ChannelConfig* records, int first,
                        int count, void* extra, uint32_t extraLength);

// ---------------------------------------------------------------- devices
// The structure type of the save options (AutoEnable, SaveOutputs,
// SaveByTag as Off/On, SaveRate) over a DeviceSaveOptions.
const StructsType* Cfg_SystemSaveOptionsType();

// Writes <dir>/config.xml, merged into the existing file; every input is
// optional. The device schema is written when a record is given.
int Cfg_WriteDeviceXml(const char* user, const char* dir, const void* record, uint32_t size, const void* extra,
                       uint32_t extraLength, const uint8_t* enable, const uint8_t* saveOutputs,
                       const uint8_t* saveByTag, const uint32_t* saveRate);
// Reads <dir>/config.xml; every output is optional. Asked-for save options
// must be present ("<%s> tag not found").
int Cfg_LoadDeviceXml(const char* dir, void* record, uint32_t size, void* extra, uint32_t extraLength,
                      uint8_t* enable, uint8_t* saveOutputs, uint8_t* saveByTag, uint32_t* saveRate);
// As Cfg_CheckChannelsXml, for the device file.
int Cfg_CheckDeviceXml(const char* dir, const void* record, uint32_t size, const void* extra, uint32_t extraLength,
                       const uint8_t* enable, const uint8_t* saveOutputs, const uint8_t* saveByTag,
                       const uint32_t* saveRate);
int CfgXml_WriteDevice(const StructsType* saveOptionsType, const char* user, const char* dir, const void* record,
                       uint32_t size, const void* extra, uint32_t extraLength, const uint8_t* enable,
                       const uint8_t* saveOutputs, const uint8_t* saveByTag, const uint32_t* saveRate,
                       bool save = true);
int CfgXml_LoadDevice(const StructsType* saveOptionsType, const char* dir, void* record, uint32_t size, void* extra,
                      uint32_t extraLength, uint8_t* enable, uint8_t* saveOutputs, uint8_t* saveByTag,
                      uint32_t* saveRate);

// ---------------------------------------------------------------- shared pieces
// A new document with the processing instruction, the comment and a root
// `rootName` carrying the namespace and its schema location (xmlschema.h).
// Null with the XML error set.
XmlNode* CfgXml_NewFile(XmlDocument* doc, const char* rootName, const std::string& ns,
                        const std::string& schemaLocation);
// The directory's last component (the error source of its files).
std::string CfgXml_LastComponent(const char* dir);

// Extension-library entries used by the XML files.
typedef int32_t (*ExDecorateChannelHwFn)(int32_t kind, int32_t index, ExBlock* block);
typedef int32_t (*ExGetChannelExtraSizeFn)(int32_t kind, int32_t index, const void* record, const void* extra);
typedef void* (*ExGetChannelExtraStructFn)(int32_t kind);
typedef int32_t (*ExDecorateChannelExtraFn)(int32_t kind, int32_t index, const void* record, ExBlock* block);
typedef int32_t (*ExValidateChanExtraFn)(const char* elements, const void* record, const void* extra,
                                         int32_t extraLength, char* error, int32_t errorSize);
typedef int32_t (*ExValidateChanWithConfigFn)(const void* a1, const void* a2, const void* a3, const void* a4,
                                              const void* a5, const void* a6, const void* a7, char* error,
                                              int32_t errorSize);
typedef int32_t (*ExDecoratedConfigSizeFn)(int32_t size);
typedef int32_t (*ExDecorateConfigFn)(ExBlock* block, void* work);
typedef int32_t (*ExUndecorateConfigFn)(ExBlock* block);
typedef int32_t (*ExDecorateConfigExtraFn)(const void* record, int32_t size, ExBlock* block);
typedef int32_t (*ExValidateDeviceFn)(const char* elements, const void* record, char* error, int32_t errorSize);
typedef int32_t (*ExValidateDeviceExtraFn)(const char* elements, const void* record, const void* extra,
                                           int32_t extraLength, char* error, int32_t errorSize);
