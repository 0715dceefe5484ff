#include "config_dialogs/resources.h"

namespace qdui {

namespace {

Control Make(ControlKind kind, int id, const char* text) {
  Control c;
  c.kind = kind;
  c.id = id;
  c.text = text;
  return c;
}

Control Combo(int id, bool sorted, std::vector<std::string> items) {
  Control c = Make(ControlKind::kCombo, id, "");
  c.sorted = sorted;
  c.items = std::move(items);
  return c;
}

const std::vector<DialogTemplate>& Templates() {
  static const std::vector<DialogTemplate> templates = {
      {kTemplateAdvanced,
       "Advanced",
       164,
       90,
       "MS Sans Serif",
       8,
       {Make(ControlKind::kGroup, -1, ""), Make(ControlKind::kStatic, -1, "Node Number:"),
        Make(ControlKind::kEdit, kIdcNode, ""), Make(ControlKind::kStatic, -1, "Comm Port:"),
        Combo(kIdcPort, true, {}), Make(ControlKind::kButton, IDOK, "OK"),
        Make(ControlKind::kButton, IDCANCEL, "Cancel")}},
      {kTemplateChannels,
       "Channel Configuration",
       146,
       119,
       "MS Sans Serif",
       8,
       {Make(ControlKind::kGroup, -1, ""), Make(ControlKind::kStatic, -1, "Channel Type:"),
        // Filled from the template's initialisation data: sorted, Analog is
        // item 0 and Digital item 1.
        Combo(kIdcChannelType, true, {"Analog", "Digital"}), Make(ControlKind::kStatic, -1, "Node Number:"),
        Make(ControlKind::kEdit, kIdcNode, ""), Make(ControlKind::kStatic, -1, "Address:"),
        Make(ControlKind::kEdit, kIdcAddress, ""), Make(ControlKind::kStatic, kIdcBitLabel, "Bit Number:"),
        Make(ControlKind::kEdit, kIdcBit, ""), Make(ControlKind::kButton, IDOK, "OK"),
        Make(ControlKind::kButton, IDCANCEL, "Cancel")}},
  };
  return templates;
}

}  // namespace

const DialogTemplate* FindTemplate(int id) {
  for (const DialogTemplate& t : Templates())
    if (t.id == id) return &t;
  return nullptr;
}

}  // namespace qdui
