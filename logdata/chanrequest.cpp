#include "logdata/chanrequest.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "cdxlib/client/requests.h"
#include "cdxlib/sys/timestamp.h"

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
