// CChannels: the "Channel Configuration" dialog (template 130), the type,
// node, word address and bit number of a channel of this driver.
//
// An analog channel keeps node and address at bytes 188 and 190 of its
// record, a digital one node, address and bit at 192, 194 and 196. A
// digital kind (odd Type) opens as Digital, any other as Analog. OK writes
// the Type byte (2 analog, 3 digital) and the fields of that kind only; the
// other kind's bytes are not touched. The node is 0..255, the bit 0..15; the
// address is stored as its low 16 bits. Node and address are entered as
// plain numbers whose decimal digits the scanner reads as octal.
#pragma once
#include <cstdint>

#include "cdxlib/records/chanconfig.h"
#include "config_dialogs/dialog.h"

namespace qdui {

constexpr const char* kChannelsHelpTopic = "::/html/qd_c00mc.htm";
constexpr int kTypeIndexAnalog = 0;
constexpr int kTypeIndexDigital = 1;

class CChannels : public Dialog {
 public:
  CChannels(ChannelConfig* channel, int* changed, MessageSink* messages, HelpSink* help);

  // The kind OK would write: 2 (analog) or 3 (digital).
  int Kind() const { return kind_; }

 protected:
  void OnInitDialog() override;
  void DoDataExchange(DataExchange& dx) override;
  void OnOK() override;
  void OnNotify(int id, int notification) override;
  std::string HelpTopic() const override { return kChannelsHelpTopic; }

 private:
  void EnableBit();

  ChannelConfig* channel_;
  int* changed_;
  unsigned bit_ = 0;
  unsigned address_ = 0;
  unsigned node_ = 0;
  int kind_ = kKindAO;
};

}  // namespace qdui
