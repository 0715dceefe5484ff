// The scanner's configuration: loading the device and channel configuration
// into the device record and the paths' modules, laying out the local
// working memory, and the three requests that change it while running:
// reconfigure (302), initialise values (304) and reset counters (303).
//
// A path is attached when its module prefix in the device record is set and
// its values module exists. Every count taken from a shared module is
// clamped to what the module's real size holds before anything is written.
#pragma once
#include <cstdint>

#include "cdxlib/records/chanconfig.h"

int Scan_LoadConfiguration();
int Scan_Reconfigure();
int Scan_InitialiseValues();
int Scan_ResetCounters();

// Tare: every good, analog channel with ReferenceEnable takes saved + value
// as its new offset, every other channel 0, except output channels, whose
// saved value is their last written value and stays; the path's
// saved-values file is rewritten when an offset changed.
int Scan_ResetValueOffsets(int count, const ChannelConfig* channels, float* saved, const float* values,
                           const uint32_t* status, int path);

// Loads the path's channel file into its configuration module when the
// file's time stamp differs from the one the path module holds: the bytes
// loaded (count x 216), 0 when unchanged, -1 with errno.
int Scan_ReloadPathConfig(int path, uint8_t* pathData);
// The same for channels first .. first+count-1 of the path (0-based; count
// 0 or less: the whole path), loaded from the channel file of the
// directory `name` (null or "": the current directory) into the same places
// of the configuration module. When first, count and name are all given it
// loads even when the file's stamp is the one the path module holds.
// count x 216, 0 when unchanged, -1 with errno (87 for a range beyond the
// path). The scanner itself never calls it.
int Scan_ReloadPathConfigRange(int path, uint8_t* pathData, int first, int count, const char* name);

// The device hooks of this driver (they do nothing).
int Scan_LoadPathDescs(void* deviceRecord);
int Scan_AfterInitHook();

// Zeroes every saved value whose channel keeps none: only enabled analog and
// counter inputs (sub-types 0 and 4) with ReferenceEnable keep a tare offset.
// An output channel's saved value (its last written value) becomes its
// published state, as at the first initialisation.
void Scan_ClearUnkeptOffsets(int path);

// Loads the device configuration ("config") into the device record: 0, or
// -1 with errno.
int Scan_ReloadDeviceConfig();
// Reloads the channels of every attached path whose channel file changed,
// clearing the offsets those channels do not keep; with runInitHandlers the
// path's init handler runs after its reload. Returns 0, or -1 with errno
// when a file could not be read; the handlers' summed results go to
// *handlerSum (0 when all succeeded; errno then holds the first failure's
// error). A handler that rejects what it was given is not a failed read.
// Used by reconfiguration and by the retried device initialisation.
int Scan_ReloadChannels(bool runInitHandlers, int* handlerSum = nullptr);
// Reloads the device configuration and the changed channel files (no init
// handlers) for a 302 taken while the device initialises. A configuration
// that cannot be read stops the process as a reconfiguration does: the
// status text is the XML error text, or "CAN'T READ CONFIGURATION -%04d",
// then Scan_Exit with the error.
void Scan_ReloadOrExit();

// Frees the local working memory.
void Scan_FreeLocal();

// Marks every channel bad, closes the port, clears the running flag and
// exits with code.
[[noreturn]] void Scan_Exit(int code);
