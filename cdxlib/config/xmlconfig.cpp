#include "cdxlib/config/xmlconfig.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <strings.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

#include "base/memory/typedmem.h"
#include "base/structs/structs_item.h"
#include "cdxlib/sys/servernames.h"
#include "cdxlib/config/chantypes.h"
#include "cdxlib/sys/numformat.h"
#include "cdxlib/sys/registry.h"
#include "cdxlib/sys/textutil.h"
#include "cdxlib/xml/xmldoc.h"
#include "platform/error.h"

namespace {

using cdxtext::Join;

constexpr const char* kServerKey = "SOFTWARE\\Quillomatic\\Coordinatrix";
constexpr size_t kAnalogHardwareOffset = 188;
constexpr size_t kDigitalHardwareOffset = 192;
// Channel ids (position + 1) stay within what an id attribute is read as.
constexpr int kMaxChannelId = 1000000000;

// ---------------------------------------------------------------- switches

bool IsTarvi() { return strcasecmp(Prod_GetProductName(), "Tarvi") == 0; }

// Whether the switches of the directory's machine can be read (another
// machine's registry cannot be opened here: its defaults hold).
bool MachineReachable(const char* dir) {
  const std::string machine = XmlOpt_Machine(dir);
  return machine == "." || Srv_IsLocal(machine.c_str()) == 1;
}

// A text switch of up to 10 bytes; false when it cannot be read.
bool ReadSwitch(const char* dir, const char* name, std::string* out) {
  if (!MachineReachable(dir)) return false;
  char buf[16] = {};
  uint32_t type = 0, size = 10;
  if (Reg_AccessValue(plat::HKEY_LOCAL_MACHINE, kServerKey, plat::KEY_QUERY_VALUE, name, &type, buf, &size) != 0)
    return false;
  buf[std::min<uint32_t>(size, 10)] = 0;
  *out = buf;
  return true;
}

// ---------------------------------------------------------------- errors

// Reports a collected XML failure: error log, 1465, -1.
int Finish(XmlDocument* doc, void* lib) {
  xml_FreeDocument(doc);
  ExtDll_Free(lib);
  if (xml_GetError() < 0) return xml_ReportError();
  return 0;
}

// ---------------------------------------------------------------- items

// The leaf item names of the types used in one operation (descriptors from
// an extension library live only while it is loaded, so the names are kept
// for one call only).
class ItemNames {
 public:
  // Where an item lives in a value of its type: found once for a type whose
  // items lie at fixed places (no pointers, variable arrays or unions), so
  // a read goes straight to the item's text operation.
  struct Place {
    const StructsType* type = nullptr;  // null: look the item up by name
    size_t offset = 0;
  };

  const std::vector<std::string>& Of(const StructsType* type) { return Entry(type).names; }
  const std::vector<Place>& PlacesOf(const StructsType* type) { return Entry(type).places; }

 private:
  struct Names {
    std::vector<std::string> names;
    std::vector<Place> places;
  };
  static bool FixedLayout(const StructsType* type, int depth = 0) {
    if (!type || depth > 16) return false;
    switch (type->tclass) {
      case STRUCTS_TYPE_PRIMITIVE:
        return true;
      case STRUCTS_TYPE_FIXEDARRAY:
        return FixedLayout(type->args[0].type, depth + 1);
      case STRUCTS_TYPE_STRUCTURE:
        for (const StructsField* f = type->args[0].fields; f && f->name; ++f)
          if (!FixedLayout(f->type, depth + 1)) return false;
        return true;
      default:
        return false;
    }
  }
  Names& Entry(const StructsType* type) {
    auto it = names_.find(type);
    if (it != names_.end()) return it->second;
    Names& out = names_[type];
    std::vector<unsigned char> zero(type->size ? type->size : 1, 0);
    char** list = nullptr;
    const int n = Structs_ListItemNames(type, zero.data(), &list, kStructsTagTemporary);
    for (int i = 0; i < n; ++i) out.names.emplace_back(list[i]);
    if (n >= 0) Structs_FreeItemNames(list, n, kStructsTagTemporary);
    out.places.resize(out.names.size());
    if (FixedLayout(type)) {
      for (size_t i = 0; i < out.names.size(); ++i) {
        void* at = zero.data();
        const StructsType* item = Structs_FindItem(type, out.names[i].c_str(), &at, 0);
        const auto offset = static_cast<unsigned char*>(at) - zero.data();
        if (item && offset >= 0 && static_cast<size_t>(offset) <= zero.size())
          out.places[i] = Place{item, static_cast<size_t>(offset)};
      }
    }
    return out;
  }
  std::unordered_map<const StructsType*, Names> names_;
};

// Whether a Windows-1252 text can stand in an XML element as it is (the
// layer puts a placeholder in place of one that cannot).
bool XmlHolds(const char* text) {
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p)
    if (*p < 0x20 && *p != '\t' && *p != '\n' && *p != '\r') return false;
  return true;
}

// A value is written only when its loader takes the text back: the text is
// parsed into `scratch` (a copy of the value that the caller may throw
// away). A value it would refuse (an infinite gain, a time field of 255
// where no wildcard is allowed) or a text that XML cannot hold fails the
// write with the item's name, so no file is written that cannot be read.
bool ReadsBack(const StructsType* type, const std::string& name, const char* text, void* scratch) {
  char ebuf[256] = "";
  const char* why = nullptr;
  if (!XmlHolds(text))
    why = "characters that XML cannot hold";
  else if (Structs_SetItemText(type, name.c_str(), text, scratch, ebuf, sizeof ebuf) != 0)
    why = ebuf[0] ? ebuf : "not readable";
  if (!why) return true;
  xml_SetErrorF("<%s> cannot be written (%s): %s", name.c_str(), text, why);
  return false;
}

// Writes one item; no text form: nothing written. A secret field that
// cannot be enciphered (its text form fails with EIO) fails the write: the
// file would lack the element, and its loader refuses a file without it.
// `scratch` is a copy of the value for the read-back check; `written`
// (optional) gets the name and a comma for an item written (the list a
// loader of the file makes).
void WriteItem(XmlDocument* doc, XmlNode* parent, const StructsType* type, const std::string& name,
               const void* value, void* scratch, bool replace, std::string* written = nullptr) {
  const int savedErrno = errno;
  errno = 0;
  char* text = Structs_GetItemText(type, name.c_str(), kStructsTagTemporary, value);
  if (!text && errno == EIO) {
    xml_SetErrorF("<%s> cannot be written: the value cannot be enciphered (no RC4 cipher: OpenSSL's legacy provider "
                  "is not loadable)",
                  name.c_str());
    return;
  }
  errno = savedErrno;
  if (!text) return;
  if (!ReadsBack(type, name, text, scratch)) {
    TypedMem_Free(kStructsTagTemporary, text);
    return;
  }
  if (written) written->append(name).push_back(',');
  XmlNode* el = nullptr;
  if (replace) {
    el = xml_PutElement(doc, name.c_str(), parent);
  } else {
    el = xml_CreateElement(doc, name.c_str());
    if (el) xml_AppendChildToParent(el, parent);
  }
  if (el && text[0]) xml_CreateAndAddTextNode(doc, text, el);
  TypedMem_Free(kStructsTagTemporary, text);
}

// A throw-away copy of a value of `type`.
std::vector<unsigned char> Scratch(const StructsType* type, const void* value) {
  std::vector<unsigned char> copy(type->size ? type->size : 1, 0);
  if (value && type->size) memcpy(copy.data(), value, type->size);
  return copy;
}

void WriteItems(ItemNames& names, XmlDocument* doc, XmlNode* parent, const StructsType* type, const void* value,
                bool replace, const char* hwItem = nullptr, const StructsType* hwType = nullptr,
                const void* hwValue = nullptr, std::string* written = nullptr) {
  std::vector<unsigned char> scratch = Scratch(type, value);
  std::vector<unsigned char> hwScratch = hwType ? Scratch(hwType, hwValue) : std::vector<unsigned char>();
  for (const std::string& name : names.Of(type)) {
    if (xml_GetError() < 0) return;
    if (hwType && hwItem && name == hwItem) {
      for (const std::string& hw : names.Of(hwType))
        WriteItem(doc, parent, hwType, hw, hwValue, hwScratch.data(), replace, written);
      continue;
    }
    WriteItem(doc, parent, type, name, value, scratch.data(), replace, written);
  }
}

// The child elements of one element, each read at most once: what a read
// takes is passed over by later reads, as if it had been removed, and a
// read finds the first element of its name in the document's order, as a
// search of the element's children does. The items of a file come in the
// order of their type, so each is found where the search starts.
class Children {
 public:
  // `nodes` is the caller's, so that one buffer serves a whole file.
  Children(XmlNode* parent, std::vector<XmlNode*>* nodes) : nodes_(*nodes) {
    nodes_.clear();
    for (XmlNode* n = xml_FirstChild(parent); n; n = xml_NextSibling(n))
      if (xml_IsElement(n)) nodes_.push_back(n);
  }
  XmlNode* Take(const std::string& name) {
    for (size_t i = first_; i < nodes_.size(); ++i) {
      if (!nodes_[i] || !xml_IsElementNamed(nodes_[i], name.c_str())) continue;
      XmlNode* n = nodes_[i];
      nodes_[i] = nullptr;
      while (first_ < nodes_.size() && !nodes_[first_]) ++first_;
      return n;
    }
    return nullptr;
  }

 private:
  std::vector<XmlNode*>& nodes_;
  size_t first_ = 0;  // no element before it is left
};

// Reads one item when its element is there: from `children` when given
// (the element is then only marked as read), else from the parent's
// children (the element is removed).
int ReadItem(XmlNode* parent, Children* children, const StructsType* type, const std::string& name, void* value,
             std::string* list, const char* format, const ItemNames::Place* place = nullptr) {
  XmlNode* el = children ? children->Take(name) : xml_FindByName(parent, name.c_str());
  if (!el) return 0;
  const char* text = xml_TextView(el);
  if (!text) return -1;
  char ebuf[256] = "";
  // Straight to the item's place when it is known; a failure is told by the
  // lookup by name, which gives the message.
  if ((!place || !place->type ||
       place->type->from_text(place->type, text, static_cast<unsigned char*>(value) + place->offset, ebuf,
                              sizeof ebuf) != 0) &&
      Structs_SetItemText(type, name.c_str(), text, value, ebuf, sizeof ebuf) != 0) {
    xml_SetErrorF(format, name.c_str(), ebuf);
    return -1;
  }
  list->append(name);
  list->push_back(',');
  if (!children) xml_RemoveChild(parent, el);
  return 0;
}

int ReadItems(ItemNames& names, XmlNode* parent, const StructsType* type, void* value, std::string* list,
              const char* format, const char* hwItem = nullptr, const StructsType* hwType = nullptr,
              void* hwValue = nullptr, Children* children = nullptr) {
  const std::vector<std::string>& all = names.Of(type);
  const std::vector<ItemNames::Place>& places = names.PlacesOf(type);
  for (size_t k = 0; k < all.size(); ++k) {
    const std::string& name = all[k];
    if (hwType && hwItem && name == hwItem) {
      const std::vector<std::string>& hw = names.Of(hwType);
      const std::vector<ItemNames::Place>& hwPlaces = names.PlacesOf(hwType);
      for (size_t h = 0; h < hw.size(); ++h)
        if (ReadItem(parent, children, hwType, hw[h], hwValue, list, format, &hwPlaces[h]) != 0) return -1;
      continue;
    }
    if (ReadItem(parent, children, type, name, value, list, format, &places[k]) != 0) return -1;
  }
  return 0;
}

// A block handed to a decorate or undecorate entry: the caller's own
// buffer, or the entry's replacement, which is freed afterwards.
struct Block {
  ExBlock b;
  void* own;
  Block(void* data, uint32_t size) : b{size, data, 0}, own(data) {}
  ~Block() {
    if (b.owned && b.data && b.data != own) free(b.data);
  }
  Block(const Block&) = delete;
  Block& operator=(const Block&) = delete;
};

template <typename Fn>
Fn Entry(void* lib, const char* name) {
  return reinterpret_cast<Fn>(ExtDll_Entry(lib, name));
}

// The entries of one operation.
struct Entries {
  ExGetChannelHwTypeFn hwType = nullptr;
  ExDecorateChannelHwFn decorateHw = nullptr, undecorateHw = nullptr;
  ExGetChannelExtraTypeFn extraType = nullptr;
  ExGetChannelExtraSizeFn extraSize = nullptr;
  ExGetChannelExtraStructFn extraStruct = nullptr;
  ExDecorateChannelExtraFn decorateExtra = nullptr, undecorateExtra = nullptr;
  ExValidateChanFn validateChan = nullptr;
  ExValidateChanExtraFn validateChanExtra = nullptr;
  ExGetConfigTypeFn configType = nullptr;
  ExDecoratedConfigSizeFn decoratedConfigSize = nullptr;
  ExDecorateConfigFn decorateConfig = nullptr;
  ExUndecorateConfigFn undecorateConfig = nullptr;
  ExGetConfigExtraTypeFn configExtraType = nullptr;
  ExDecorateConfigExtraFn decorateConfigExtra = nullptr, undecorateConfigExtra = nullptr;
  ExValidateDeviceFn validateDevice = nullptr;
  ExValidateDeviceExtraFn validateDeviceExtra = nullptr;

  explicit Entries(void* lib) {
    if (!lib) return;
    hwType = Entry<ExGetChannelHwTypeFn>(lib, "Ex_Get_Channel_Hw_Type");
    decorateHw = Entry<ExDecorateChannelHwFn>(lib, "Ex_Decorate_Channel_Hw");
    undecorateHw = Entry<ExDecorateChannelHwFn>(lib, "Ex_Undecorate_Channel_Hw");
    extraType = Entry<ExGetChannelExtraTypeFn>(lib, "Ex_Get_Channel_Extra_Type");
    extraSize = Entry<ExGetChannelExtraSizeFn>(lib, "Ex_Get_Channel_Extra_Size");
    extraStruct = Entry<ExGetChannelExtraStructFn>(lib, "Ex_Get_Channel_Extra_Struct");
    decorateExtra = Entry<ExDecorateChannelExtraFn>(lib, "Ex_Decorate_Channel_Extra");
    undecorateExtra = Entry<ExDecorateChannelExtraFn>(lib, "Ex_Undecorate_Channel_Extra");
    validateChan = Entry<ExValidateChanFn>(lib, "Ex_Validate_Chan");
    validateChanExtra = Entry<ExValidateChanExtraFn>(lib, "Ex_Validate_Chan_Extra");
    configType = Entry<ExGetConfigTypeFn>(lib, "Ex_Get_Config_Type");
    decoratedConfigSize = Entry<ExDecoratedConfigSizeFn>(lib, "Ex_Decorated_Config_Size");
    decorateConfig = Entry<ExDecorateConfigFn>(lib, "Ex_Decorate_Config");
    undecorateConfig = Entry<ExUndecorateConfigFn>(lib, "Ex_Undecorate_Config");
    configExtraType = Entry<ExGetConfigExtraTypeFn>(lib, "Ex_Get_Config_Extra_Type");
    decorateConfigExtra = Entry<ExDecorateConfigExtraFn>(lib, "Ex_Decorate_Config_Extra");
    undecorateConfigExtra = Entry<ExDecorateConfigExtraFn>(lib, "Ex_Undecorate_Config_Extra");
    validateDevice = Entry<ExValidateDeviceFn>(lib, "Ex_Validate_Device");
    validateDeviceExtra = Entry<ExValidateDeviceExtraFn>(lib, "Ex_Validate_Device_Extra");
  }
};

// Loads `path` into doc: 1 when the file is missing (the error cleared), 0
// loaded, -1 failed (the error set).
int LoadExisting(XmlDocument* doc, const std::string& path) {
  const int rc = xml_Load(doc, path.c_str());
  if (rc == 1) xml_ClearError();
  return rc;
}

// The root of a loaded file when it is named `name`, else null with the
// error "Root Element <name> not found".
XmlNode* RootIs(XmlNode* root, const char* name) {
  char* got = root ? xml_getName(root) : nullptr;
  // Compared without a namespace prefix, as the lookups are.
  const char* local = got ? (strchr(got, ':') ? strchr(got, ':') + 1 : got) : nullptr;
  const bool ok = local && strcmp(local, name) == 0;
  free(got);
  if (!ok) {
    xml_SetErrorF("Root Element <%s> not found", name);
    return nullptr;
  }
  return root;
}
XmlNode* RootNamed(XmlDocument* doc, const char* name) {
  if (xml_GetError() < 0) return nullptr;
  return RootIs(xml_GetRoot(doc), name);
}

// The id attribute of a "Channel" element as a number, or -1.
long ChannelId(XmlNode* node) {
  char* id = xml_getAttribute(node, "id");
  if (!id) return -1;
  char* end = nullptr;
  errno = 0;
  const double v = strtod(id, &end);
  const bool ok = end != id && *end == 0 && errno == 0 && v >= 1 && v <= 1e9 && v == static_cast<long>(v);
  free(id);
  return ok ? static_cast<long>(v) : -1;
}

bool IsNamed(XmlNode* node, const char* name) {
  if (!xml_IsElement(node)) return false;
  char* got = xml_getName(node);
  const char* local = got ? (strchr(got, ':') ? strchr(got, ':') + 1 : got) : "";
  const bool same = strcmp(local, name) == 0;
  free(got);
  return same;
}

bool Blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The number a "Channel" element's id holds, compared as
// xml_FindByAttribute compares a numeric id: blanks around it, an optional
// '-', digits with an optional fraction of zeros. False for any other text.
bool ChannelNumber(const char* s, long* out) {
  const char* p = s;
  while (Blank(*p)) ++p;
  const bool negative = *p == '-';
  if (negative) ++p;
  bool digits = false;
  long value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    if (value > kMaxChannelId) return false;  // beyond any position asked for
    value = value * 10 + (*p - '0');
    digits = true;
  }
  if (*p == '.') {
    ++p;
    for (; *p >= '0' && *p <= '9'; ++p) {
      if (*p != '0') return false;  // a fraction matches no position
      digits = true;
    }
  }
  while (Blank(*p)) ++p;
  if (!digits || *p) return false;
  *out = negative ? -value : value;
  return true;
}

const StructsType* ChannelTypeOf(const CfgChannelTypes& types, bool digital) {
  return digital ? types.digital : types.analog;
}

}  // namespace

// ---------------------------------------------------------------- switches

std::string XmlOpt_Machine(const char* dir) {
  if (!dir || dir[0] != '\\' || dir[1] != '\\') return ".";
  const char* start = dir + 2;
  const char* end = strchr(start, '\\');
  std::string machine = end ? std::string(start, end) : std::string(start);
  if (machine.size() > 259) machine.resize(259);
  return machine.empty() ? "." : machine;
}

int XmlOpt_ReadXml(const char* dir) {
  const int def = IsTarvi() ? 1 : 0;
  std::string text;
  if (!ReadSwitch(dir, "ReadXML", &text)) return def;
  if (strcasecmp(text.c_str(), "ON") == 0) return 1;
  if (strcasecmp(text.c_str(), "OFF") == 0) return 0;
  return def;
}

int XmlOpt_WriteXml(const char* dir) {
  std::string text;
  if (!ReadSwitch(dir, "WriteXML", &text)) return IsTarvi() ? kWriteXmlOnly : kWriteXmlBin;
  if (strcasecmp(text.c_str(), "BOTH") == 0) return kWriteXmlBoth;
  if (strcasecmp(text.c_str(), "XML") == 0) return kWriteXmlOnly;
  return kWriteXmlBin;
}

uint32_t XmlOpt_ExcelCompatibleXsd(const char* dir) {
  if (!MachineReachable(dir)) return 1;
  uint32_t value = 1, type = 0, size = sizeof value;
  if (Reg_AccessValue(plat::HKEY_LOCAL_MACHINE, kServerKey, plat::KEY_QUERY_VALUE, "ExcelCompatibleXSD", &type,
                      &value, &size) != 0 ||
      size != sizeof value)
    return 1;
  return value;
}

// ---------------------------------------------------------------- element lists

int Cfg_CheckRequired(const char* list, const char* name) {
  const std::string key = std::string(",") + (name ? name : "") + ",";
  if (list && strstr(list, key.c_str())) return 0;
  xml_SetErrorF("<%s> Required", name ? name : "");
  return -1;
}

// The channel rules: every element named must have been read. A disabled
// channel needs only Enable. The error-alarm elements are required when the
// channel's own ErrorAlarmEnable flag is on (analog and digital channels keep
// it at different bits).
int Cfg_ValidateChannel(const char* list, const ChannelConfig* record) {
  if (!record) return -1;
  const ChannelConfig& c = *record;
  auto need = [list](std::initializer_list<const char*> names) {
    for (const char* n : names)
      if (Cfg_CheckRequired(list, n) != 0) return false;
    return true;
  };
  const bool digital = Chan_IsDigital(c.Type);
  if (!need({"Enable"})) return -1;
  if (!Chan_TestFlag(c, digital ? int(kDiEnable) : int(kAiEnable))) return 0;
  if (!need({"Tag", "Description", "Type", "ErrorAlarmEnable"})) return -1;
  if (Chan_TestFlag(c, digital ? int(kDiErrorAlarmEnable) : int(kAiErrorAlarmEnable)) &&
      !need({"ErrorAlarmDriveCommon", "ErrorAlarmPriority", "ErrorAlarmDelay"}))
    return -1;
  if (digital) {
    if (!need({"EventEnable"})) return -1;
    if (Chan_TestFlag(c, kDiEventEnable) && !need({"EventState"})) return -1;
    if (!need({"LowStateText", "HighStateText", "AlarmEnable"})) return -1;
    if (Chan_TestFlag(c, kDiAlarmEnable) &&
        !need({"AlarmDriveCommon", "AlarmState", "AlarmPriority", "AlarmDelay", "AlarmText"}))
      return -1;
    return 0;
  }
  if (!need({"EventEnable"})) return -1;
  if (Chan_TestFlag(c, kAiEventEnable)) {
    if (!need({"LowEventLimit", "HighEventLimit"})) return -1;
    if (c.analog.LowEventLimit > c.analog.HighEventLimit) {
      xml_SetError(kXmlErrFail, "LowEventLimiit > HighEventLimit");
      return -1;
    }
  }
  if (!need({"Units", "MaximumUnits", "MinimumUnits", "ReferenceEnable", "SigChangeEnable"})) return -1;
  if (Chan_TestFlag(c, kAiSigChangeEnable) && !need({"SigChangeValue"})) return -1;
  if (!need({"ScalingEnable"})) return -1;
  if (Chan_TestFlag(c, kAiScalingEnable) && !need({"Gain", "Offset"})) return -1;
  if (!need({"LowAlarmEnable"})) return -1;
  if (Chan_TestFlag(c, kAiLowAlarmEnable)) {
    if (!need({"LowAlarmDriveCommon", "LowAlarmLimit", "LowWarningEnable"})) return -1;
    if (Chan_TestFlag(c, kAiLowWarningEnable) && !need({"LowWarningLimit"})) return -1;
    if (!need({"LowAlarmDeadbandEnable"})) return -1;
    if (Chan_TestFlag(c, kAiLowAlarmDeadbandEnable) && !need({"LowAlarmDeadband"})) return -1;
    if (!need({"LowAlarmPriority", "LowAlarmDelay", "LowAlarmText"})) return -1;
  }
  if (!need({"HighAlarmEnable"})) return -1;
  if (Chan_TestFlag(c, kAiHighAlarmEnable)) {
    if (!need({"HighAlarmDriveCommon", "HighAlarmLimit", "HighWarningEnable"})) return -1;
    if (Chan_TestFlag(c, kAiHighWarningEnable) && !need({"HighWarningLimit"})) return -1;
    if (!need({"HighAlarmDeadbandEnable"})) return -1;
    if (Chan_TestFlag(c, kAiHighAlarmDeadbandEnable) && !need({"HighAlarmDeadband"})) return -1;
    if (!need({"HighAlarmPriority", "HighAlarmDelay", "HighAlarmText"})) return -1;
  }
  return 0;
}

int Cfg_ValidateChannelWithConfig(const void* a1, const void* a2, const void* a3, const void* a4, const void* a5,
                                  const void* a6, const void* a7) {
  char cwd[4096];
  if (!getcwd(cwd, sizeof cwd)) return 0;
  void* lib = ExtDll_Load(cwd);
  auto fn = Entry<ExValidateChanWithConfigFn>(lib, "Ex_ValidateChanWithConfig");
  int rc = 0;
  if (fn) {
    char error[256] = "";
    if (fn(a1, a2, a3, a4, a5, a6, a7, error, sizeof error) == -1) {
      error[sizeof error - 1] = 0;
      xml_SetError(kXmlErrFail, error);
      rc = xml_ReportError();
    }
  }
  ExtDll_Free(lib);
  return rc;
}

// ---------------------------------------------------------------- record items

int CfgXml_WriteItems(XmlDocument* doc, XmlNode* parent, const StructsType* type, const void* value, bool replace) {
  if (!type || !value) return -1;
  ItemNames names;
  WriteItems(names, doc, parent, type, value, replace);
  return xml_GetError() < 0 ? -1 : 0;
}

int CfgXml_ReadItems(XmlNode* parent, const StructsType* type, void* value, std::string* list, const char* format) {
  if (!type || !value || !list) return -1;
  ItemNames names;
  return ReadItems(names, parent, type, value, list, format ? format : "<%s> %s");
}

// ---------------------------------------------------------------- shared pieces

std::string CfgXml_LastComponent(const char* dir) {
  std::string d = dir ? dir : "";
  while (!d.empty() && (d.back() == '/' || d.back() == '\\')) d.pop_back();
  const size_t slash = d.find_last_of("/\\");
  return slash == std::string::npos ? d : d.substr(slash + 1);
}

XmlNode* CfgXml_NewFile(XmlDocument* doc, const char* rootName, const std::string& ns,
                        const std::string& schemaLocation) {
  xml_CreateAndAddPINode(doc, "xml", "version='1.0' encoding='UTF-8'");
  xml_CreateAndAddCommentNode(doc, kCfgXmlComment);
  XmlNode* root = xml_OpenElement(doc, rootName, nullptr);
  xml_CreateAndAddAttributeNode(doc, "xmlns:xsi", kXsiNamespace, root);
  xml_CreateAndAddAttributeNode(doc, "xmlns", ns.c_str(), root);
  xml_CreateAndAddAttributeNode(doc, "xsi:schemaLocation", schemaLocation.c_str(), root);
  return xml_GetError() < 0 ? nullptr : root;
}

// ---------------------------------------------------------------- channels

namespace {
// The arguments a channel load or write needs: a directory, a known kind, a
// range of channel numbers, records for a non-empty range, both types.
bool ChannelCallValid(const CfgChannelTypes& types, const char* dir, int kind, const ChannelConfig* records, int first,
                      int count) {
  return dir && Chan_KindName(kind) && first >= 0 && count >= 0 && first <= kMaxChannelId - count &&
         (count == 0 || records) && types.analog && types.digital;
}
}  // namespace

int CfgXml_WriteChannels(const CfgChannelTypes& types, const char* /*user*/, const char* dir, int kind,
                         const ChannelConfig* records, int first, int count, const void* extra, uint32_t extraLength,
                         int merge, int* fileChannels, bool save) {
  if (!ChannelCallValid(types, dir, kind, records, first, count)) return plat::Fail(plat::kErrInvalidParameter), -1;
  const std::string kindName = Chan_KindName(kind);
  const std::string path = Join(dir, kindName + ".xml");
  void* lib = ExtDll_Load(dir);
  const Entries ex(lib);
  ItemNames names;

  XmlDocument* doc = xml_CreateDocument();
  xml_SetSource(CfgXml_LastComponent(dir).c_str());
  xml_SetContext("");
  XmlNode* root = nullptr;
  if (merge) {
    const int rc = LoadExisting(doc, path);
    if (rc == 0) root = RootNamed(doc, "Channels");
    if (rc == 1) xml_FreeDocument(doc), doc = xml_CreateDocument();
  }
  if (!root && xml_GetError() >= 0) root = CfgXml_NewFile(doc, "Channels", Cfg_ChannelsNamespace(dir, kind), Cfg_ChannelsSchemaLocation(dir, kind));

  // The channels already in the file, by id (merge mode).
  std::map<long, XmlNode*> byId;
  if (merge && root)
    for (XmlNode* n = xml_FirstChild(root); n; n = xml_NextSibling(n))
      if (IsNamed(n, "Channel")) byId.emplace(ChannelId(n), n);

  const auto* extraBytes = static_cast<const unsigned char*>(extra);
  uint32_t extraLeft = extra ? extraLength : 0;
  for (int i = 0; i < count && root && xml_GetError() >= 0; ++i) {
    const int pos = first + i;
    const ChannelConfig& rec = records[i];
    char context[96];
    snprintf(context, sizeof context, "%s Channel #%d", Num_ChannelGroupTitle(kind), i + 1);
    xml_SetContext(context);
    const bool digital = Chan_IsDigital(rec.Type);
    const StructsType* type = ChannelTypeOf(types, digital);
    const StructsType* hwType = ex.hwType ? ex.hwType(kind, pos, &rec) : nullptr;
    ChannelConfig copy = rec;
    Block hw(&copy, sizeof copy);
    if (hwType && ex.undecorateHw) ex.undecorateHw(kind, pos, &hw.b);
    const void* src = hw.b.data && hw.b.size >= sizeof copy ? hw.b.data : &copy;

    XmlNode* channel = nullptr;
    if (merge) {
      auto it = byId.find(pos + 1);
      if (it != byId.end()) channel = it->second;
    }
    if (!channel) {
      channel = xml_CreateElement(doc, "Channel");
      xml_AppendChildToParent(channel, root);
      xml_CreateAndAddAttributeNode(doc, "id", std::to_string(pos + 1).c_str(), channel);
      if (merge) byId[pos + 1] = channel;
    }
    const char* hwItem = digital ? types.digitalHardwareItem : types.analogHardwareItem;
    const size_t hwOffset = digital ? kDigitalHardwareOffset : kAnalogHardwareOffset;
    // A hardware type larger than the record's hardware part is written
    // from a buffer of its own size: the part's bytes, zeros after them.
    std::vector<unsigned char> hwBuf(hwType ? std::max<size_t>(hwType->size, sizeof copy - hwOffset) : 0, 0);
    if (hwType) memcpy(hwBuf.data(), static_cast<const unsigned char*>(src) + hwOffset, sizeof copy - hwOffset);
    std::string written = ",";
    WriteItems(names, doc, channel, type, src, merge != 0, hwItem, hwType, hwBuf.data(), &written);
    // The channel must pass the checks its loader makes, or the file would
    // not load again.
    if (xml_GetError() >= 0 && Cfg_ValidateChannel(written.c_str(), &rec) == 0 && ex.validateChan) {
      char error[256] = "";
      if (ex.validateChan(written.c_str(), &rec, error, sizeof error) == -1) {
        error[sizeof error - 1] = 0;
        xml_SetError(kXmlErrFail, error);
      }
    }

    if (extra && ex.extraSize && ex.extraType && xml_GetError() >= 0) {
      const int32_t size = ex.extraSize(kind, pos, &rec, extraBytes);
      const StructsType* extraType = ex.extraType(kind, pos, &rec);
      if (extraType && size >= 0) {
        // The library sees a copy of the channel's extra data, never the
        // caller's bytes, and the copy is at least as large as its type.
        std::vector<unsigned char> data(std::max<size_t>(static_cast<size_t>(size), extraType->size), 0);
        memcpy(data.data(), extraBytes, std::min<size_t>(static_cast<size_t>(size), extraLeft));
        Block block(data.data(), static_cast<uint32_t>(size));
        if (ex.undecorateExtra) ex.undecorateExtra(kind, pos, &rec, &block.b);
        const void* from = block.b.data && block.b.size >= extraType->size ? block.b.data : data.data();
        WriteItems(names, doc, channel, extraType, from, merge != 0);
      }
      const uint32_t step = size > 0 ? std::min<uint32_t>(static_cast<uint32_t>(size), extraLeft) : 0;
      extraBytes += step;
      extraLeft -= step;
    }
  }
  if (root && xml_GetError() >= 0) {
    xml_Indent(doc, root, 0);
    if (save) xml_Save(doc, path.c_str());
    if (fileChannels) {
      *fileChannels = 0;
      for (XmlNode* n = xml_FirstChild(root); n; n = xml_NextSibling(n))
        if (IsNamed(n, "Channel")) ++*fileChannels;
    }
  }
  return Finish(doc, lib);
}

namespace {

// The channels of a file read as the parser hands them over, each in the
// order of its position: a channel that comes before one ahead of it in the
// range is kept until that one was read (or the file ended), so records,
// errors and the extension library's calls come as from a lookup by id,
// whatever the order of the file. Of each id the first channel counts.
// Records and extra data are collected here and go to the caller only
// from a file that parsed whole (Publish).
class ChannelLoad {
 public:
  ChannelLoad(const CfgChannelTypes& types, const Entries& ex, ItemNames& names, int kind, int first, int count,
              bool extra, uint32_t extraLength)
      : types_(types),
        ex_(ex),
        names_(names),
        kind_(kind),
        kindName_(Chan_KindName(kind)),
        first_(first),
        count_(count),
        withExtra_(extra),
        extra_(extra ? extraLength : 0, 0),
        extraPos_(extra_.data()),
        extraLeft_(extra ? extraLength : 0) {}

  // The handler of xml_LoadStreaming.
  static bool OnElement(void* self, XmlNode* root, XmlNode* element) {
    return static_cast<ChannelLoad*>(self)->Take(root, element);
  }

  // After the whole file parsed: the positions it did not reach.
  void Finish() {
    while (next_ < count_ && xml_GetError() >= 0) {
      const auto it = held_.find(next_);
      if (it != held_.end()) {
        XmlNode* channel = it->second;
        held_.erase(it);
        Read(channel);
      } else {
        Missing();
      }
    }
  }

  // The records set (as far as the load went) and the extra data.
  void Publish(ChannelConfig* records, void* extra) const {
    if (!records_.empty()) memcpy(records, records_.data(), records_.size() * sizeof records_[0]);
    if (written_ > records_.size()) memset(records + records_.size(), 0, (written_ - records_.size()) * sizeof *records);
    if (extra && !extra_.empty()) memcpy(extra, extra_.data(), extra_.size());
  }

  bool RootChecked() const { return rootChecked_; }

 private:
  bool Take(XmlNode* root, XmlNode* element) {
    if (!rootChecked_) {
      rootChecked_ = true;
      if (!RootIs(root, "Channels")) return false;
    }
    if (next_ >= count_ || !IsNamed(element, "Channel")) return false;
    char* id = xml_getAttribute(element, "id");
    long number = 0;
    const bool numbered = id && ChannelNumber(id, &number);
    free(id);
    if (!numbered || number <= first_ || number > static_cast<long>(first_) + count_) return false;
    const int at = static_cast<int>(number - 1 - first_);
    if (at < next_ || held_.count(at)) return false;  // not the first of its id
    if (at > next_) {
      held_.emplace(at, element);
      return true;
    }
    Read(element);
    // The channels kept for the positions that follow.
    for (auto it = held_.find(next_); it != held_.end() && xml_GetError() >= 0; it = held_.find(next_)) {
      XmlNode* channel = it->second;
      held_.erase(it);
      Read(channel);
    }
    return false;
  }

  // Position next_ is not in the file: the first one asked for must be,
  // a later one reads as zeros.
  void Missing() {
    const int i = next_;
    if (i == 0) {
      xml_SetErrorF("Channel id=%d Not Found", first_ + 1);
      return;
    }
    ChannelConfig rec;
    memset(&rec, 0, sizeof rec);
    // Zeros: a later record read fills the gap, Publish the end.
    written_ = static_cast<size_t>(i) + 1;
    if (withExtra_ && ex_.extraSize && ex_.extraType) {
      const int pos = first_ + i;
      ex_.extraType(kind_, pos, &rec);
      Step(ex_.extraSize(kind_, pos, &rec, extraPos_));
    }
    ++next_;
  }

  void Step(int32_t size) {
    const uint32_t step = size > 0 ? std::min<uint32_t>(static_cast<uint32_t>(size), extraLeft_) : 0;
    extraPos_ += step;
    extraLeft_ -= step;
  }

  // Reads channel position next_.
  void Read(XmlNode* channel) {
    const int i = next_++;
    const int pos = first_ + i;
    xml_SetContext("");
    ChannelConfig rec;
    memset(&rec, 0, sizeof rec);
    list_.assign(1, ',');
    // The kind: the channel's own Type element, else the file's kind, which
    // the record then keeps (a disabled channel of "di.xml" that holds only
    // its Enable element is a digital input). The record handed to the
    // library for its hardware type carries the kind already, so a file of
    // mixed kinds gets each channel's own type.
    bool digital = Chan_IsDigital(static_cast<uint8_t>(kind_));
    rec.Type = static_cast<uint8_t>(kind_);
    if (XmlNode* t = xml_FindByName(channel, "Type")) {
      const char* text = xml_TextView(t);
      digital = !(text && (!strcmp(text, "AI") || !strcmp(text, "AO") || !strcmp(text, "CI")));
      static const char* const kWords[] = {"AI", "DI", "AO", "DO", "CI"};
      rec.Type = digital ? kKindDO : kKindAI;
      for (uint8_t k = 0; k < 5; ++k)
        if (text && !strcmp(text, kWords[k])) rec.Type = k;
    }
    char context[96];
    snprintf(context, sizeof context, "%s Channel #%d", kindName_, pos + 1);
    xml_SetContext(context);
    const StructsType* type = ChannelTypeOf(types_, digital);
    const StructsType* hwType = ex_.hwType ? ex_.hwType(kind_, pos, &rec) : nullptr;
    const char* hwItem = digital ? types_.digitalHardwareItem : types_.analogHardwareItem;
    const size_t hwOffset = digital ? kDigitalHardwareOffset : kAnalogHardwareOffset;
    // A hardware type larger than the record's hardware part is parsed into
    // a buffer of its own size, of which the part's bytes are kept.
    std::vector<unsigned char> hwBuf(hwType ? std::max<size_t>(hwType->size, sizeof rec - hwOffset) : 0, 0);
    Children children(channel, &childBuffer_);
    if (ReadItems(names_, channel, type, &rec, &list_, " <%s> %s", hwItem, hwType, hwBuf.data(), &children) == 0 &&
        hwType)
      memcpy(reinterpret_cast<unsigned char*>(&rec) + hwOffset, hwBuf.data(), sizeof rec - hwOffset);
    if (xml_GetError() >= 0) {
      Block block(&rec, sizeof rec);
      if (ex_.decorateHw) ex_.decorateHw(kind_, pos, &block.b);
      if (block.b.data != &rec && block.b.data) memcpy(&rec, block.b.data, std::min<size_t>(block.b.size, sizeof rec));
      if (Cfg_ValidateChannel(list_.c_str(), &rec) == 0 && ex_.validateChan) {
        char error[256] = "";
        if (ex_.validateChan(list_.c_str(), &rec, error, sizeof error) == -1) {
          error[sizeof error - 1] = 0;
          xml_SetError(kXmlErrFail, error);
        }
      }
      if (xml_GetError() >= 0) {
        records_.resize(static_cast<size_t>(i) + 1);
        records_[static_cast<size_t>(i)] = rec;
        written_ = static_cast<size_t>(i) + 1;
      }
    }
    if (xml_GetError() >= 0 && withExtra_ && ex_.extraSize && ex_.extraType) {
      const StructsType* extraType = ex_.extraType(kind_, pos, &rec);
      if (extraType) {
        void* target = ex_.extraStruct ? ex_.extraStruct(kind_) : nullptr;
        // Into the extra data only when the type fits what is left.
        std::vector<unsigned char> temp;
        if (!target) {
          if (extraType->size <= extraLeft_) {
            target = extraPos_;
          } else {
            temp.assign(extraType->size, 0);
            memcpy(temp.data(), extraPos_, extraLeft_);
            target = temp.data();
          }
        }
        if (ReadItems(names_, channel, extraType, target, &list_, "<%s>  %s", nullptr, nullptr, nullptr,
                      &children) == 0) {
          if (!temp.empty()) memcpy(extraPos_, temp.data(), extraLeft_);
          Block block(extraPos_, extraLeft_);
          if (ex_.decorateExtra) ex_.decorateExtra(kind_, pos, &rec, &block.b);
          if (ex_.validateChanExtra) {
            char error[256] = "";
            ex_.validateChanExtra(list_.c_str(), &rec, extraPos_, static_cast<int32_t>(extraLeft_), error,
                                  sizeof error);
          }
        }
      }
      Step(ex_.extraSize(kind_, pos, &rec, extraPos_));
    }
  }

  const CfgChannelTypes& types_;
  const Entries& ex_;
  ItemNames& names_;
  const int kind_;
  const char* const kindName_;
  const int first_, count_;
  const bool withExtra_;
  int next_ = 0;  // the position read next
  bool rootChecked_ = false;
  std::unordered_map<int, XmlNode*> held_;  // channels ahead of next_, by position
  std::vector<ChannelConfig> records_;      // positions up to the last one read
  size_t written_ = 0;                      // positions set, the rest of them zeros
  std::vector<unsigned char> extra_;
  unsigned char* extraPos_;
  uint32_t extraLeft_;
  std::string list_;  // the elements read, one channel at a time
  std::vector<XmlNode*> childBuffer_;
};

}  // namespace

int CfgXml_LoadChannels(const CfgChannelTypes& types, const char* dir, int kind, ChannelConfig* records, int first,
                        int count, void* extra, uint32_t extraLength) {
  if (!ChannelCallValid(types, dir, kind, records, first, count)) return plat::Fail(plat::kErrInvalidParameter), -1;
  const std::string path = Join(dir, std::string(Chan_KindName(kind)) + ".xml");
  void* lib = ExtDll_Load(dir);
  const Entries ex(lib);
  ItemNames names;

  XmlDocument* doc = xml_CreateDocument();
  xml_SetSource(CfgXml_LastComponent(dir).c_str());
  xml_SetContext("");
  // The channels are read while the file is parsed: the file is never held
  // whole, however many channels it has.
  ChannelLoad load(types, ex, names, kind, first, count, extra != nullptr, extraLength);
  const int rc = xml_LoadStreaming(doc, path.c_str(), ChannelLoad::OnElement, &load);
  if (rc != 0) xml_SetContext("");  // an unreadable file: no channel is to blame
  if (rc == 0 && xml_GetError() >= 0 && (load.RootChecked() || RootNamed(doc, "Channels"))) load.Finish();
  if (extra) memset(extra, 0, extraLength);
  if (rc == 0) load.Publish(records, extra);
  return Finish(doc, lib);
}

// ---------------------------------------------------------------- devices

namespace {

struct SaveItem {
  const char* name;
  size_t offset;  // in DeviceSaveOptions
};
constexpr SaveItem kSaveItems[4] = {{"AutoEnable", offsetof(DeviceSaveOptions, AutoEnable)},
                                    {"SaveOutputs", offsetof(DeviceSaveOptions, SaveOutputs)},
                                    {"SaveByTag", offsetof(DeviceSaveOptions, SaveByTag)},
                                    {"SaveRate", offsetof(DeviceSaveOptions, SaveRate)}};

}  // namespace

int CfgXml_WriteDevice(const StructsType* saveOptionsType, const char* /*user*/, const char* dir, const void* record,
                       uint32_t size, const void* extra, uint32_t extraLength, const uint8_t* enable,
                       const uint8_t* saveOutputs, const uint8_t* saveByTag, const uint32_t* saveRate, bool save) {
  if (!dir || !saveOptionsType) return plat::Fail(plat::kErrInvalidParameter), -1;
  const std::string path = Join(dir, "config.xml");
  void* lib = ExtDll_Load(dir);
  const Entries ex(lib);
  ItemNames names;

  XmlDocument* doc = xml_CreateDocument();
  xml_SetSource(CfgXml_LastComponent(dir).c_str());
  xml_SetContext("Dev/Proc Config");
  XmlNode* root = nullptr;
  const int loaded = LoadExisting(doc, path);
  if (loaded == 0) root = RootNamed(doc, "Configs");
  if (loaded == 1) {
    xml_FreeDocument(doc);
    doc = xml_CreateDocument();
    xml_SetContext("Dev/Proc Config");
    root = CfgXml_NewFile(doc, "Configs", Cfg_DeviceNamespace(dir), Cfg_DeviceSchemaLocation(dir));
  }
  XmlNode* config = root ? xml_FindByName(root, "Config") : nullptr;
  if (root && !config && xml_GetError() >= 0) {
    config = xml_CreateElement(doc, "Config");
    xml_AppendChildToParent(config, root);
  }
  if (config) {
    DeviceSaveOptions opts{};
    const void* given[4] = {enable, saveOutputs, saveByTag, saveRate};
    if (enable) opts.AutoEnable = *enable;
    if (saveOutputs) opts.SaveOutputs = *saveOutputs;
    if (saveByTag) opts.SaveByTag = *saveByTag;
    if (saveRate) opts.SaveRate = *saveRate;
    std::vector<unsigned char> scratch = Scratch(saveOptionsType, &opts);
    for (int k = 0; k < 4; ++k)
      if (given[k]) WriteItem(doc, config, saveOptionsType, kSaveItems[k].name, &opts, scratch.data(), true);

    if (record && size > 0 && ex.configType && xml_GetError() >= 0) {
      if (const StructsType* type = ex.configType(record, static_cast<int32_t>(size))) {
        std::vector<unsigned char> copy(std::max<size_t>(size, type->size), 0);
        memcpy(copy.data(), record, size);
        Block block(copy.data(), size);
        if (ex.undecorateConfig) ex.undecorateConfig(&block.b);
        const void* from = block.b.data && block.b.size >= type->size ? block.b.data : copy.data();
        WriteItems(names, doc, config, type, from, true);
      }
    }
    if (extra && extraLength > 0 && ex.configExtraType && xml_GetError() >= 0) {
      if (const StructsType* type = ex.configExtraType(record, static_cast<int32_t>(size), extra,
                                                       static_cast<int32_t>(extraLength))) {
        std::vector<unsigned char> copy(std::max<size_t>(extraLength, type->size), 0);
        memcpy(copy.data(), extra, extraLength);
        Block block(copy.data(), extraLength);
        if (ex.undecorateConfigExtra) ex.undecorateConfigExtra(record, static_cast<int32_t>(size), &block.b);
        const void* from = block.b.data && block.b.size >= type->size ? block.b.data : copy.data();
        WriteItems(names, doc, config, type, from, true);
      }
    }
  }
  if (root && xml_GetError() >= 0 && save) {
    xml_Indent(doc, root, 0);
    xml_Save(doc, path.c_str());
  }
  return Finish(doc, lib);
}

int CfgXml_LoadDevice(const StructsType* saveOptionsType, const char* dir, void* record, uint32_t size, void* extra,
                      uint32_t extraLength, uint8_t* enable, uint8_t* saveOutputs, uint8_t* saveByTag,
                      uint32_t* saveRate) {
  if (!dir || !saveOptionsType) return plat::Fail(plat::kErrInvalidParameter), -1;
  const std::string path = Join(dir, "config.xml");
  void* lib = ExtDll_Load(dir);
  const Entries ex(lib);
  ItemNames names;

  XmlDocument* doc = xml_CreateDocument();
  xml_SetSource(CfgXml_LastComponent(dir).c_str());
  xml_SetContext("Dev/Proc Config");
  xml_Load(doc, path.c_str());
  XmlNode* root = RootNamed(doc, "Configs");
  XmlNode* config = root ? xml_FindByName(root, "Config") : nullptr;
  if (root && !config && xml_GetError() >= 0) xml_SetErrorF("<Config> tag not found");
  std::string list = ",";
  if (config) {
    DeviceSaveOptions opts{};
    const bool asked[4] = {enable != nullptr, saveOutputs != nullptr, saveByTag != nullptr, saveRate != nullptr};
    for (int k = 0; k < 4 && xml_GetError() >= 0; ++k) {
      if (!asked[k]) continue;
      if (!xml_FindByName(config, kSaveItems[k].name)) {
        if (xml_GetError() >= 0) xml_SetErrorF("<%s> tag not found", kSaveItems[k].name);
        break;
      }
      ReadItem(config, nullptr, saveOptionsType, kSaveItems[k].name, &opts, &list, "<%s> %s");
    }
    if (xml_GetError() >= 0) {
      if (enable) *enable = static_cast<uint8_t>(opts.AutoEnable);
      if (saveOutputs) *saveOutputs = static_cast<uint8_t>(opts.SaveOutputs);
      if (saveByTag) *saveByTag = static_cast<uint8_t>(opts.SaveByTag);
      if (saveRate) *saveRate = opts.SaveRate;
    }

    std::vector<unsigned char> work;
    // Without a record type from the library the file holds no device
    // record: the caller gets a zeroed one, never what its buffer held.
    if (record && size > 0 && xml_GetError() >= 0) memset(record, 0, size);
    if (record && size > 0 && ex.configType && xml_GetError() >= 0) {
      work.assign(std::max<size_t>(size, kDeviceConfigSize), 0);
      if (const StructsType* type = ex.configType(work.data(), static_cast<int32_t>(size))) {
        const int32_t decorated = ex.decoratedConfigSize ? ex.decoratedConfigSize(static_cast<int32_t>(size)) : -1;
        std::vector<unsigned char> parsed;
        void* target = work.data();
        if (decorated >= 0 || work.size() < type->size) {
          parsed.assign(std::max<size_t>(std::max<int32_t>(decorated, 0), type->size), 0);
          target = parsed.data();
        }
        if (ReadItems(names, config, type, target, &list, "<%s> %s") == 0) {
          if (target != work.data()) {
            Block block(target, static_cast<uint32_t>(decorated >= 0 ? decorated : static_cast<int32_t>(size)));
            if (ex.decorateConfig)
              ex.decorateConfig(&block.b, work.data());
            else
              memcpy(work.data(), parsed.data(), std::min(parsed.size(), work.size()));
          } else if (ex.decorateConfig) {
            Block block(work.data(), size);
            ex.decorateConfig(&block.b, work.data());
          }
          memcpy(record, work.data(), size);
          if (ex.validateDevice) {
            char error[256] = "";
            if (ex.validateDevice(list.c_str(), record, error, sizeof error) == -1) {
              error[sizeof error - 1] = 0;
              xml_SetError(kXmlErrFail, error);
            }
          }
        }
      }
    }
    if (extra && extraLength > 0 && ex.configExtraType && xml_GetError() >= 0) {
      const void* rec = record ? record : (work.empty() ? nullptr : work.data());
      if (const StructsType* type = ex.configExtraType(rec, static_cast<int32_t>(size), extra,
                                                       static_cast<int32_t>(extraLength))) {
        memset(extra, 0, extraLength);
        std::vector<unsigned char> temp;
        void* target = extra;
        if (type->size > extraLength) {
          temp.assign(type->size, 0);
          target = temp.data();
        }
        if (ReadItems(names, config, type, target, &list, "<%s> %s") == 0) {
          if (!temp.empty()) memcpy(extra, temp.data(), extraLength);
          Block block(extra, extraLength);
          if (ex.decorateConfigExtra) ex.decorateConfigExtra(rec, static_cast<int32_t>(size), &block.b);
          if (ex.validateDeviceExtra) {
            char error[256] = "";
            if (ex.validateDeviceExtra(list.c_str(), rec, extra, static_cast<int32_t>(extraLength), error,
                                       sizeof error) == -1) {
              error[sizeof error - 1] = 0;
              xml_SetError(kXmlErrFail, error);
            }
          }
        }
      }
    }
  }
  return Finish(doc, lib);
}

// ---------------------------------------------------------------- the system's records

int Cfg_WriteChannelsXml(const char* user, const char* dir, int kind, const ChannelConfig* records, int first,
                         int count, const void* extra, uint32_t extraLength, int merge) {
  int fileChannels = 0;
  if (CfgXml_WriteChannels(Cfg_SystemChannelTypes(), user, dir, kind, records, first, count, extra, extraLength,
                           merge, &fileChannels) != 0)
    return -1;
  if (count > 1)
    return Cfg_WriteChannelsSchema(dir, kind, fileChannels, static_cast<int>(XmlOpt_ExcelCompatibleXsd(dir)));
  return 0;
}

int Cfg_CheckChannelsXml(const char* dir, int kind, const ChannelConfig* records, int first, int count,
                         const void* extra, uint32_t extraLength, int merge) {
  return CfgXml_WriteChannels(Cfg_SystemChannelTypes(), nullptr, dir, kind, records, first, count, extra, extraLength,
                              merge, nullptr, false);
}

int Cfg_CheckDeviceXml(const char* dir, const void* record, uint32_t size, const void* extra, uint32_t extraLength,
                       const uint8_t* enable, const uint8_t* saveOutputs, const uint8_t* saveByTag,
                       const uint32_t* saveRate) {
  return CfgXml_WriteDevice(Cfg_SystemSaveOptionsType(), nullptr, dir, record, size, extra, extraLength, enable,
                            saveOutputs, saveByTag, saveRate, false);
}

int Cfg_LoadChannelsXml(const char* dir, int kind, ChannelConfig* records, int first, int count, void* extra,
                        uint32_t extraLength) {
  return CfgXml_LoadChannels(Cfg_SystemChannelTypes(), dir, kind, records, first, count, extra, extraLength);
}

int Cfg_WriteDeviceXml(const char* user, const char* dir, const void* record, uint32_t size, const void* extra,
                       uint32_t extraLength, const uint8_t* enable, const uint8_t* saveOutputs,
                       const uint8_t* saveByTag, const uint32_t* saveRate) {
  if (CfgXml_WriteDevice(Cfg_SystemSaveOptionsType(), user, dir, record, size, extra, extraLength, enable,
                         saveOutputs, saveByTag, saveRate) != 0)
    return -1;
  if (record && size > 0) return Cfg_WriteDeviceSchema(dir, record, size, extra, extraLength);
  return 0;
}

int Cfg_LoadDeviceXml(const char* dir, void* record, uint32_t size, void* extra, uint32_t extraLength,
                      uint8_t* enable, uint8_t* saveOutputs, uint8_t* saveByTag, uint32_t* saveRate) {
  return CfgXml_LoadDevice(Cfg_SystemSaveOptionsType(), dir, record, size, extra, extraLength, enable, saveOutputs,
                           saveByTag, saveRate);
}

const CfgChannelTypes& Cfg_SystemChannelTypes() {
  static const CfgChannelTypes types{&cfg_type_analog_channel, &cfg_type_digital_channel, "Analogue", "Digital"};
  return types;
}

const StructsType* Cfg_SystemSaveOptionsType() { return &cfg_type_save_options; }
