// Messages for the event log, under the product's name.
#include "cdxlib/sys/eventlog.h"

#include <cerrno>
#include <cstdint>

#include "cdxlib/sys/registry.h"
#include "platform/error.h"
#include "platform/eventlog.h"
#include "platform/sysinfo.h"

void ReportSystemEvent(const char* server, int eventType, const char* message) {
  const int savedErrno = errno;
  const uint32_t savedLast = plat::GetLastError();
  plat::ReportEvent(server, Prod_GetProductName(), static_cast<uint16_t>(eventType), 0, 102, plat::UserName(),
                    message ? message : "");
  errno = savedErrno;
  plat::SetLastError(savedLast);
}
