// Printing is not built yet: every print request fails with 50 (not supported).
#include "config_dialogs/print/qdprint.h"

#include "platform/error.h"

int QdPrint_Configuration(const QdPrintRequest&) {
  plat::Fail(plat::kErrNotSupported);
  return -1;
}
