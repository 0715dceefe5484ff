// CAdvanced: the "Advanced" dialog (template 129), the serial port and the
// node number of a device, kept in the 9-byte port block of its device
// configuration: [0] output write retries (carried along, never edited),
// [1] node number, [2..8] port name (at most 6 characters and a zero; empty
// means "COM" and the default COM number).
//
// The port list offers the system's serial ports: the REG_SZ values of
// HKEY_LOCAL_MACHINE "HARDWARE\DEVICEMAP\SERIALCOMM" whose data (the port
// name) has at most 6 characters, and the current name when none of them is
// it. OK takes the node (0..255) and the selected port (a typed name that is
// not in the list is not taken), and writes the block back only when it
// differs; Cancel writes nothing.
#pragma once
#include <cstdint>
#include <string>

#include "config_dialogs/dialog.h"

namespace qdui {

constexpr const char* kSerialCommKey = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
constexpr const char* kAdvancedHelpTopic = "::/html/qd_c8ir7.htm";
constexpr int kPortBlockSize = 9;
constexpr int kPortNameSize = 7;  // 6 characters and a zero

class CAdvanced : public Dialog {
 public:
  // block: the caller's 9 bytes (any alignment), changed: the caller's flag.
  CAdvanced(uint8_t* block, uint16_t defaultComNumber, int* changed, MessageSink* messages, HelpSink* help);

  // The port name the dialog started with ("COM%d" for an empty one).
  const std::string& CurrentName() const { return currentName_; }

 protected:
  void OnInitDialog() override;
  void DoDataExchange(DataExchange& dx) override;
  void OnOK() override;
  std::string HelpTopic() const override { return kAdvancedHelpTopic; }

 private:
  void FillPortList();

  uint8_t* block_;
  uint8_t work_[kPortBlockSize];
  uint16_t defaultCom_;
  int* changed_;
  unsigned node_ = 0;
  std::string defaultName_;
  std::string currentName_;
};

}  // namespace qdui
