// The dialog templates of the library: title, size in dialog units, font and
// controls in their order (a label comes right before the control it names),
// with the initial items of combo boxes.
#pragma once
#include <string>
#include <vector>

#include "config_dialogs/control.h"

namespace qdui {

constexpr int kTemplateAdvanced = 129;
constexpr int kTemplateChannels = 130;

// Control ids.
constexpr int kIdcPort = 1000;         // Advanced: the port combo box
constexpr int kIdcNode = 1001;         // both: the node number
constexpr int kIdcAddress = 1002;      // Channel Configuration
constexpr int kIdcBit = 1003;          // Channel Configuration
constexpr int kIdcBitLabel = 1005;     // Channel Configuration: "Bit Number:"
constexpr int kIdcChannelType = 1006;  // Channel Configuration: the type combo box

struct DialogTemplate {
  int id;
  const char* title;
  int width, height;  // dialog units
  const char* font;
  int fontPoints;
  std::vector<Control> controls;
};

// The template of that id, or null.
const DialogTemplate* FindTemplate(int id);

}  // namespace qdui
