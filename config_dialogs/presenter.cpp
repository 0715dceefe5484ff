#include "config_dialogs/presenter.h"

#include "config_dialogs/advanced.h"
#include "config_dialogs/channels.h"
#include "config_dialogs/hostrecord.h"
#include "platform/error.h"

namespace qdui {

int RunAdvanced(Presenter& presenter, void* parent, uint8_t* hostRecord, uint16_t defaultComNumber, int* changed) {
  if (hostRecord == nullptr) return plat::Fail(plat::kErrInvalidParameter), -1;
  CAdvanced dialog(Host_PortBlock(hostRecord), defaultComNumber, changed, presenter.Messages(), presenter.Help());
  return presenter.RunModal(dialog, parent);
}

int RunChannels(Presenter& presenter, void* parent, ChannelConfig* channel, int* changed) {
  if (channel == nullptr) return plat::Fail(plat::kErrInvalidParameter), -1;
  CChannels dialog(channel, changed, presenter.Messages(), presenter.Help());
  return presenter.RunModal(dialog, parent);
}

}  // namespace qdui
