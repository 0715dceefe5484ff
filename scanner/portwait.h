// The scanner's wait for its serial line.
//
// While the port is open it is one of the handles of the scanner's wait, so
// a wait for input also delivers signals. Com_WaitOnce returns when input is
// queued, when something else woke the wait, or after at most timeoutMs; the
// caller loops against its own deadline.
#pragma once
#include "platform/serial.h"

// Adds the port to the wait. 0 or -1.
int Com_AttachWait(plat::SerialPort* port);
// Takes the port out of the wait.
void Com_DetachWait(plat::SerialPort* port);
// One wait of at most timeoutMs (> 0).
void Com_WaitOnce(plat::SerialPort* port, int timeoutMs);
// One wait of at most timeoutMs (> 0) for signals alone: the port is left
// out of it.
void Com_WaitSignalsOnce(plat::SerialPort* port, int timeoutMs);
