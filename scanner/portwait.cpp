#include "scanner/portwait.h"

#include "platform/sync.h"

int Com_AttachWait(plat::SerialPort*) { return 0; }

void Com_DetachWait(plat::SerialPort*) {}

void Com_WaitOnce(plat::SerialPort* port, int timeoutMs) {
  plat::Waitable* handles[1] = {port};
  plat::WaitForAny(handles, 1, timeoutMs > 0 ? timeoutMs : 1);
}
