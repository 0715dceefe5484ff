// The scanner's debug trace of its line.
//
// What a technician needs to follow the link: each frame sent and received
// (hex, node, transaction number), the ACK, NAK and ENQ symbols, time-outs
// and retries, a lost line, the port opened, and the reloads. The lines go
// to the process's debug trace (cdxlib/sys/debugtrace.h), each stamped with the
// local time to the millisecond.
//
// Cost while the trace is off: LineTrace_Check() takes a change of the
// trace settings as every trace write does (one check, made at each block
// transaction, each port open and each reload); the trace points between
// two checks only test a flag, so nothing is formatted.
#pragma once
#include <cstdint>

// Takes a change of the trace settings; true while the trace writes.
bool LineTrace_Check();
// The state found by the last check.
bool LineTrace_On();

// One trace line (a line feed is added).
void LineTrace_Printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
// "<what> node N TNS xxxx (n bytes): hex bytes" of a frame's data bytes
// (before stuffing: DST SRC CMD STS TNS ...); node is the station the frame
// goes to or comes from.
void LineTrace_Frame(const char* what, int node, const uint8_t* data, int n);
