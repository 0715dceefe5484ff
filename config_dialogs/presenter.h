// Showing a dialog, and the two dialog exports' work.
//
// A presenter runs a dialog modally: it starts it, shows its controls, hands
// the user's input and commands to it and returns when it has ended. The
// library's presenter is the GTK one; tests use their own.
#pragma once
#include <cstdint>

#include "cdxlib/records/chanconfig.h"
#include "config_dialogs/dialog.h"

namespace qdui {

class Presenter {
 public:
  virtual ~Presenter() = default;
  // Where the dialogs' prompts and help requests go while this presenter
  // shows them.
  virtual MessageSink* Messages() = 0;
  virtual HelpSink* Help() = 0;
  // Starts the dialog and runs it until it has ended: IDOK or IDCANCEL, or
  // -1 with the system error set when it cannot be shown (the dialog then
  // never started, so nothing was written).
  virtual int RunModal(Dialog& dialog, void* parent) = 0;
};

// The work of DLL_ConfigAdvanDevSpecific and DLL_ConfigChanDevSpecific: the
// dialog on the host's record, shown by the presenter. The records and
// *changed are written only by OK. Returns IDOK, IDCANCEL, or -1 with the
// system error set (87 for a missing record, else the presenter's).
int RunAdvanced(Presenter& presenter, void* parent, uint8_t* hostRecord, uint16_t defaultComNumber, int* changed);
int RunChannels(Presenter& presenter, void* parent, ChannelConfig* channel, int* changed);

}  // namespace qdui
