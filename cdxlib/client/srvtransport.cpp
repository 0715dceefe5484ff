// The records a transport works on.
#include "cdxlib/client/srvtransport.h"

int32_t Srv_EntryTimeout(const ServerConnection* entry, int32_t defaultMs) {
  return entry && entry->timeout > 0 ? entry->timeout : defaultMs;
}
