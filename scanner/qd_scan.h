// One scan of the device, and the reset of every channel to bad.
//
// A scan takes the paths from the last (ci) to the first (ai). Each path's
// scan handler fills the working status words and raw values; then, with the
// path's values module locked (output paths lock before their handler, so an
// operator's write cannot slip in between), every channel is evaluated
// (qd_eval.h), the result is copied into the module, the logger triggers are
// flushed, the module's readers are notified and the lock is released.
// Readers see the previous scan or the new one, never a mix. The alarm
// messages and the derived notice of the path are kept until then and sent
// after the unlock, in the order the rules made them: a slow alarm reader
// delays the scan, never a reader of the values.
#pragma once

// first: 1 after device initialisation and reconfiguration (the scan
// announces the current state), else 0. 0, or -1 with errno when a path
// handler failed.
int Scan_ScanAll(int first);

// Every channel of every attached path bad (no alarm, event or trigger is
// announced), the code stored as each path module's error code; errno :=
// code.
int Scan_ResetChannelStates(int code);

// Shows the next text of the status message list every 10 s; the list is
// empty in this driver.
void Scan_RotateStatusMessage();
