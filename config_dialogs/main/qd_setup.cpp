// The exported entry points of libqd_setup.so.
#include "config_dialogs/qd_setup.h"

#include "config_dialogs/print/qdprint.h"
#include "platform/error.h"

extern "C" {

__attribute__((visibility("default"))) void DLL_ConfigAdvanDevSpecific(void*, void*, int*) {
  plat::Fail(plat::kErrNotSupported);
}

__attribute__((visibility("default"))) void DLL_ConfigChanDevSpecific(void*, int, int, int, ChannelConfig*, int*) {
  plat::Fail(plat::kErrNotSupported);
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
  return QdPrint_Configuration(request);
}

}  // extern "C"
