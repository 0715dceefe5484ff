// The entry points of libqd_setup.so, the driver's configuration library.
//
// The system's configuration program loads the library with dlopen and calls
// these on its user-interface thread, by their plain names (dlsym). The
// dialog exports edit the host's records in place when the user presses OK
// and report through *changed whether anything changed; saving is the
// host's. They show their dialogs with GTK 3 on the display that DISPLAY or
// WAYLAND_DISPLAY names; with no display they show nothing, leave the
// records and *changed untouched, write the reason to standard error and set
// errno and the thread's last error to 1459 (an interactive desktop is
// needed). Help (F1) opens the help file "libqd_setup.chm" beside the library
// when it is there, else does nothing.
#pragma once
#include <cstdint>

#include "cdxlib/records/chanconfig.h"

extern "C" {

// The serial port and node number of a device: the port block at +0xE0 of
// the host device record (config_dialogs/hostrecord.h).
void DLL_ConfigAdvanDevSpecific(void* parent, void* hostDeviceRecord, int* changed);

// The type, node, address and bit of a channel. The three ints are not used.
void DLL_ConfigChanDevSpecific(void* parent, int, int, int, ChannelConfig* channel, int* changed);

// Prints one path's channels first..last (0, 0: all) on the printer device
// context dc. channels: the path's records, or null to load them from the
// configuration in the current directory. 0, or -1 with errno.
int PrintConfig(void* dc, const char* server, void* hostDeviceRecord, int path, int first, int last,
                DeviceConfig* device, ChannelConfig* channels);

// Prints the device header and every present path. device null: the status,
// device configuration and save options are read through the server, and
// status .. saveRateMs are not used. channels: five per-path arrays (each may
// be null) or null. 0, or -1 with errno.
int PrintAllConfig(void* dc, const char* server, void* hostDeviceRecord, int status, int autosave, int byTag,
                   int saveRateMs, DeviceConfig* device, ChannelConfig** channels);

}  // extern "C"

// The signatures, for hosts that look the entries up with dlsym.
using DLL_ConfigAdvanDevSpecificFn = void (*)(void*, void*, int*);
using DLL_ConfigChanDevSpecificFn = void (*)(void*, int, int, int, ChannelConfig*, int*);
using PrintConfigFn = int (*)(void*, const char*, void*, int, int, int, DeviceConfig*, ChannelConfig*);
using PrintAllConfigFn = int (*)(void*, const char*, void*, int, int, int, int, DeviceConfig*, ChannelConfig**);
