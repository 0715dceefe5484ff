// The scanner's process frame: start-up, the signal handler, the main loop
// with its order of requests, the device initialisation loop, the marks in
// the device record that tell the central server when the next scan is due,
// and the orderly exit.
#pragma once
#include <cstdint>
#include <string>

#include "cdxlib/sys/timestamp.h"

// The program: argv[0] names the device-type prefix (the base name before
// its last '_'), argv[1] the device number. Returns (or exits with) the
// process exit code.
int Scan_Main(int argc, char** argv);

// The signal handler: 31 stop, 300 scan, 302 reconfigure, 303 reset
// counters, 304 initialise values; other codes are ignored.
int Scan_OnSignal(int code);

// Opens the device and runs a first scan, retrying every second (on a
// deadline) while that fails; a pending reconfigure is taken before each
// retry. Returns 1.
int Scan_InitDevice(int code);

// The device-type prefix of a program path: the text after the last '/' or
// '\' up to the last '_'. False when the name has no '_'.
bool Scan_PrefixFromProgram(const char* argv0, std::string* prefix);

// Sets the runtime's time zone from the system's (see the definition).
void SetTimeZoneFromSystem();
// The zone text SetTimeZoneFromSystem builds: "TZ=" + standard name +
// bias "%d:%d:%d" ("-" before it east of Greenwich, nothing for bias 0) +
// daylight name.
std::string Scan_TimeZoneText(const char* standardName, int32_t biasMinutes, const char* daylightName);

// The save schedule at `now`: false while the next save is not yet due
// (within one period ahead); true when a save is due, with *next moved on:
// by whole periods past now, or to now + period when the clock jumped (next
// more than a period ahead, or more than two periods behind).
bool Scan_SaveDue(const TimeStamp& now, TimeStamp* next, int32_t periodMs);

// The next time after t that is a whole number of periods after base
// (static result); period 0 returns t.
const TimeStamp* Time_NextPeriodBoundary(const TimeStamp* t, const TimeStamp* base, int periodMs);
