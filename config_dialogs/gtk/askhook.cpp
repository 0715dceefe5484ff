// The command client's question before it disables loggers for a
// reconfiguration ("Do you wish to disable and re-enable loggers") is asked
// with the library's GTK message box: installed when the library is loaded,
// as its transports are.
#include "cdxlib/client/requests.h"
#include "config_dialogs/gtk/gtkpresenter.h"

namespace {

__attribute__((constructor)) void InstallLoggerQuestion() { Req_SetAskHook(&qdgtk::AskYesNo); }

}  // namespace
