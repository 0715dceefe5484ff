// The exported entry points of libqd_setup.so.
#include "config_dialogs/qd_setup.h"

#include <cerrno>
#include <string>

#include "config_dialogs/gtk/gtkpresenter.h"
#include "config_dialogs/gtk/waitcursor.h"
#include "config_dialogs/hostrecord.h"
#include "config_dialogs/presenter.h"
#include "config_dialogs/print/qdprint.h"
#include "cdxlib/client/nettransport.h"
#include "logdata/localsource.h"
#include "logdb/dbcollection.h"
#include "logdb/mariadbcollection.h"
#include "platform/debugout.h"
#include "platform/error.h"

namespace {

// The configuration program names servers by computer name, by URL or by a
// logged-data location: the library carries the TLS socket, web-service and
// in-process transports besides the pipe, installed when it is loaded (the
// scanner carries the pipe only), and the database log kinds, which a
// location "PROVIDER=..." picks.
__attribute__((constructor)) void InstallServerTransports() {
  Srv_InstallNetTransports();
  Local_InstallTransport();
  LogDb_RegisterAdoKind();
  RegisterMariaDbLogKind();
}

void ReportMissingRecord(int result, const char* what) {
  if (result == -1 && errno == plat::kErrInvalidParameter) {
    plat::OutputDebugText((std::string("qd_setup: no ") + what + " record was given\n").c_str());
    plat::Fail(plat::kErrInvalidParameter);
  }
}

}  // namespace

extern "C" {

// Both dialogs run modally on the calling (the host's user-interface)
// thread and edit the host's record only when the user presses OK.

__attribute__((visibility("default"))) void DLL_ConfigAdvanDevSpecific(void* parent, void* hostDeviceRecord,
                                                                      int* changed) {
  qdgtk::GtkPresenter presenter;
  const int result = qdui::RunAdvanced(presenter, parent, static_cast<uint8_t*>(hostDeviceRecord),
                                       Host_DefaultComNumber(), changed);
  ReportMissingRecord(result, "device");
}

__attribute__((visibility("default"))) void DLL_ConfigChanDevSpecific(void* parent, int, int, int,
                                                                      ChannelConfig* channel, int* changed) {
  qdgtk::GtkPresenter presenter;
  const int result = qdui::RunChannels(presenter, parent, channel, changed);
  ReportMissingRecord(result, "channel");
}

__attribute__((visibility("default"))) int PrintConfig(void* dc, const char* server, void* hostDeviceRecord,
                                                       int path, int first, int last, DeviceConfig* device,
                                                       ChannelConfig* channels) {
  QdPrintRequest request;
  request.kind = QdPrintKind::kPath;
  request.dc = dc;
  request.server = server;
  request.hostRecord = static_cast<uint8_t*>(hostDeviceRecord);
  request.path = path;
  request.first = first;
  request.last = last;
  request.device = device;
  request.channels = channels;
  qdgtk::WaitCursor wait;
  return QdPrint_Configuration(request);
}

__attribute__((visibility("default"))) int PrintAllConfig(void* dc, const char* server, void* hostDeviceRecord,
                                                          int status, int autosave, int byTag, int saveRateMs,
                                                          DeviceConfig* device, ChannelConfig** channels) {
  QdPrintRequest request;
  request.kind = QdPrintKind::kAll;
  request.dc = dc;
  request.server = server;
  request.hostRecord = static_cast<uint8_t*>(hostDeviceRecord);
  request.status = status;
  request.autosave = autosave;
  request.byTag = byTag;
  request.saveRateMs = saveRateMs;
  request.device = device;
  request.pathChannels = channels;
  qdgtk::WaitCursor wait;
  return QdPrint_Configuration(request);
}

}  // extern "C"
