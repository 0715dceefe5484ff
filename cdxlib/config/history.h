// The change history: one line per changed configuration item, appended to
// "recent_history.txt" of the configuration root (CDX_CURRENT_CONFIG).
//
// Line: "yyyy/mm/dd\thh:mm:ss\tuser\tentity.[channel.]item old -> new\r\n"
// (the entity and its "." only when the entity is not empty, the channel
// number only when it is not 0). The file and the entity follow the
// configuration directory saved (given to Hist_Open), or without one the
// current directory: for the root the file is its "recent_history.txt" and
// the entity is empty; for a device directory below it the file is the
// root's "recent_history.txt" and the entity the directory's name (with
// ".KIND.Channels" or ".Channels" for channel changes). Without a directory
// they are worked out again whenever the current directory changes, so a
// process that edits several devices records each under its own name.
//
// Every line goes out in one write on a file opened for appending, so lines
// of several processes never mix. Failures to open or write are silent.
#pragma once

#include <string>

// The history switch (read by Hist_IsEnabled of configfiles.h, which owns
// the device record it is in): set, or read once and then kept.
void Hist_SetEnabled(bool flag);
// The switch as known: 1 on, 0 off, -1 not read since the start or the last
// Hist_ForgetSwitch.
int Hist_KnownSwitch();
// The directory whose device record holds the switch for the configuration
// directory dir (the current directory when null): dir itself when it is
// the root, else the directory above it.
std::string Hist_SwitchDir(const char* dir);
// The next Hist_IsEnabled reads the switch again.
void Hist_ForgetSwitch();
// Opens the file for the configuration directory dir (the current
// directory when null; kindNumber: the channel kind + 1, 0 for none): 1
// when open, 0 when it cannot be opened.
int Hist_Open(int kindNumber, const char* dir = nullptr);
// Appends one line; user null or empty: the logged-on user (up to 32
// characters). A line longer than 5000 bytes with its CR LF is not
// written.
void Hist_Append(const char* user, int channel, const char* item, const char* oldValue, const char* newValue);
void Hist_Close();
// Rewrites the first byte of "../config" with itself (its modification
// time changes): 0, or -1 with errno and the last error set. With a
// directory, "../config" is taken from it (the saves pass the directory they
// wrote, so that a program whose current directory is elsewhere still
// touches the configuration root's "config").
int Hist_TouchConfig(const char* dir = nullptr);
