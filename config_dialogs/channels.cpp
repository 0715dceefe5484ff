#include "config_dialogs/channels.h"

#include <cstring>

#include "config_dialogs/resources.h"

namespace qdui {

namespace {

// The hardware fields by byte offset in the 216-byte record.
constexpr size_t kAnalogNode = 188, kAnalogAddress = 190;
constexpr size_t kDigitalNode = 192, kDigitalAddress = 194, kDigitalBit = 196;

uint8_t* Bytes(ChannelConfig* c) { return reinterpret_cast<uint8_t*>(c); }

unsigned Get16(const uint8_t* p) { return static_cast<unsigned>(p[0] | (p[1] << 8)); }

void Put16(uint8_t* p, unsigned v) {
  p[0] = static_cast<uint8_t>(v & 0xFF);
  p[1] = static_cast<uint8_t>((v >> 8) & 0xFF);
}

}  // namespace

CChannels::CChannels(ChannelConfig* channel, int* changed, MessageSink* messages, HelpSink* help)
    : Dialog(kTemplateChannels, messages, help), channel_(channel), changed_(changed) {}

void CChannels::OnInitDialog() {
  const uint8_t* b = Bytes(channel_);
  kind_ = Chan_IsDigital(channel_->Type) ? kKindDO : kKindAO;
  SetCurSel(kIdcChannelType, kind_ == kKindDO ? kTypeIndexDigital : kTypeIndexAnalog);
  if (kind_ == kKindDO) {
    node_ = b[kDigitalNode];
    address_ = Get16(b + kDigitalAddress);
    bit_ = b[kDigitalBit];
  } else {
    node_ = b[kAnalogNode];
    address_ = Get16(b + kAnalogAddress);
    bit_ = 0;
  }
  EnableBit();
  UpdateData(false);
}

void CChannels::EnableBit() {
  EnableControl(kIdcBitLabel, kind_ == kKindDO);
  EnableControl(kIdcBit, kind_ == kKindDO);
}

void CChannels::DoDataExchange(DataExchange& dx) {
  // An analog channel has no bit: its (disabled) bit field is not checked.
  if (!dx.Saving() || kind_ == kKindDO) {
    dx.Text(kIdcBit, bit_);
    dx.MinMax(kIdcBit, bit_, 0, 15);
  }
  dx.Text(kIdcAddress, address_);
  dx.Text(kIdcNode, node_);
  dx.MinMax(kIdcNode, node_, 0, 255);
}

void CChannels::OnNotify(int id, int notification) {
  if (id != kIdcChannelType || notification != kNotifySelChange) return;
  // A value that fails validation is prompted for; the new type still
  // applies, and OK asks again.
  UpdateData(true);
  const int sel = GetCurSel(kIdcChannelType);
  kind_ = sel == -1 || sel == kTypeIndexAnalog ? kKindAO : kKindDO;
  EnableBit();
}

void CChannels::OnOK() {
  if (!UpdateData(true)) return;
  uint8_t* b = Bytes(channel_);
  channel_->Type = static_cast<uint8_t>(kind_);
  if (kind_ == kKindDO) {
    b[kDigitalNode] = static_cast<uint8_t>(node_);
    Put16(b + kDigitalAddress, address_);
    b[kDigitalBit] = static_cast<uint8_t>(bit_);
  } else {
    b[kAnalogNode] = static_cast<uint8_t>(node_);
    Put16(b + kAnalogAddress, address_);
  }
  if (changed_ != nullptr) *changed_ = 1;
  EndDialog(IDOK);
}

}  // namespace qdui
