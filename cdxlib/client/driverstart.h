// Starting a driver program from its "dm_datproc" record.
//
// What runs on this machine after the server was told that a session ends:
// the processors started from its desktop are started again here. Starting
// one reads its configuration files (the enable flag), so this sits above
// the configuration files and the driver tables both.
//
// Drv_StartDriver changes the current directory for its duration.
#pragma once

#include "cdxlib/shm/drvtables.h"

// Starts a driver program from its "dm_datproc" record: registers this
// process in the system error list (type 3, the print name), changes into
// the program's directory, loads its configured flag, starts "<name>_run 0"
// when it is configured and typed, and waits until the program sets the
// started flag, ends, or the start time-out passes. The current directory is
// restored afterwards (through a saved directory handle). 0, or -1 when any
// step failed; a program that ends before it is up fails at once, and one
// that is still not up when the time-out passes fails with 258.
int Drv_StartDriver(DriverRecord* record);
// Time-out of Drv_StartDriver's wait in ms (default 60000; <= 0 restores it).
void Drv_SetStartTimeout(int ms);
