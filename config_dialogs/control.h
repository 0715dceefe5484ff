// The controls of a dialog and the command codes they send: what a dialog
// template (resources.h) lists and a dialog model (dialog.h) holds, apart
// from both so that each includes it rather than the other.
#pragma once
#include <string>
#include <vector>

namespace qdui {

// Command and notification codes, as the dialog templates use them.
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int kNotifyClicked = 0;       // a button pressed
constexpr int kNotifySelChange = 1;     // a combo box selection changed (CBN_SELCHANGE)

enum class ControlKind { kGroup, kStatic, kEdit, kCombo, kButton };

struct Control {
  int id = -1;  // -1 for statics and groups without an id
  ControlKind kind = ControlKind::kStatic;
  std::string text;                // caption, or the edit text / combo edit text
  bool enabled = true;
  // Combo boxes.
  bool sorted = false;
  std::vector<std::string> items;
  int selection = -1;
};

}  // namespace qdui
