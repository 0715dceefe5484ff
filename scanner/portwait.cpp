#include "scanner/portwait.h"

#include "cdxlib/shm/signals.h"

int Com_AttachWait(plat::SerialPort* port) { return Sig_AddWaitHandle(port); }

void Com_DetachWait(plat::SerialPort* port) { Sig_RemoveWaitHandle(port); }

void Com_WaitOnce(plat::SerialPort*, int timeoutMs) {
  // Sig_Wait(0) would wait without time-out.
  Sig_Wait(timeoutMs > 0 ? timeoutMs : 1);
}

void Com_WaitSignalsOnce(plat::SerialPort* port, int timeoutMs) {
  const bool attached = Sig_RemoveWaitHandle(port) == 0;
  Sig_Wait(timeoutMs > 0 ? timeoutMs : 1);
  if (attached) Sig_AddWaitHandle(port);
}
