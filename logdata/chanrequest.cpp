#include "logdata/chanrequest.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "cdxlib/client/requests.h"
#include "cdxlib/client/srvclient.h"
#include "cdxlib/shm/datamodule.h"
#include "cdxlib/shm/drvtables.h"
#include "cdxlib/sys/timestamp.h"
#include "platform/error.h"

int Log_RequestChannelConfigs(const char* server, const char prefix[2], int first, int count, ChannelConfig* out) {
  if (count <= 0) return 0;
  if (!out || first < 1) return -1;
  std::vector<char> reply(kReqListReply);
  const int prefixLength = int(strnlen(prefix, 2));
  for (int k = 0; k < count; ++k) {
    char list[24];
    snprintf(list, sizeof list, "%.*s,%d", prefixLength, prefix, first + k);
    uint32_t length = uint32_t(reply.size());
    if (RequestChannelConfig(server, list, reply.data(), &length) == -1) return -1;
    // A reply without the whole record (the text "0" for an unknown
    // prefix, a cut transfer) must not pass as a cleared record.
    if (length < sizeof(TimeStamp) + sizeof(ChannelConfig)) return -1;
    memcpy(&out[k], reply.data() + sizeof(TimeStamp), sizeof(ChannelConfig));
  }
  return 0;
}

int Log_ReadLocalChannelConfigs(const char prefix[2], int first, int count, ChannelConfig* out) {
  const char name[3] = {prefix[0], prefix[1], '\0'};
  DataModuleHeader* module = Drv_OpenConfModule(name);
  const uint8_t* data = Drv_GetConfData(name);
  if (!module || !data) {
    plat::SetLastError(plat::kErrFileNotFound);
    return -1;
  }
  if (count <= 0) return 0;
  memset(out, 0, size_t(count) * sizeof(ChannelConfig));
  if (DM_Lock(module) != 0) return -1;
  const uint64_t bound = DM_DataBound(module);
  for (int k = 0; k < count; ++k) {
    // Channels count from 1: there is no record of channel 0, and what lies
    // before the data (the module header, another mapping) is not one.
    const int64_t channel = int64_t(first) + k;
    if (channel < 1) continue;
    const uint64_t at = uint64_t(channel - 1) * sizeof(ChannelConfig);
    if (at + sizeof(ChannelConfig) <= bound) memcpy(&out[k], data + at, sizeof(ChannelConfig));
  }
  DM_Unlock(module);
  return 0;
}

int Log_BlockChannelConfigs(const LogBlockDescriptor& block, const ChannelConfig* given, const char* server,
                            bool askServer, std::vector<ChannelConfig>* out) {
  const int n = LogBlockChannels(block);
  out->assign(size_t(n), ChannelConfig{});
  if (given) {
    if (n) memcpy(out->data(), given, size_t(n) * sizeof(ChannelConfig));
    return 1;
  }
  if (server && *server && !Srv_IsLocal(server)) {
    if (!askServer) return 0;
    // Channel 0 has no record on the server either: it stays cleared.
    const int skip = block.firstChannel < 1 && n ? 1 : 0;
    plat::SetLastError(0);
    if (n > skip && Log_RequestChannelConfigs(server, block.prefix, block.firstChannel + skip, n - skip,
                                              out->data() + skip) != 0) {
      if (plat::GetLastError() == 0) plat::SetLastError(plat::kErrInvalidData);  // a reply without the record
      return -2;
    }
    return 1;
  }
  return Log_ReadLocalChannelConfigs(block.prefix, block.firstChannel, n, out->data()) == 0 ? 1 : -1;
}
