// Saved output values: per-channel 4-byte values that survive a restart of
// the scanner (tare offsets of referenced analog inputs; with SaveOutputs,
// the values operators wrote into outputs).
//
// Two files per device and path in the saved-values directory
// ("CDX_SAVED_VALUES"): "<dir>/<device>_<kind>.bin", one 16-byte record per
// channel (12-byte tag field, 4-byte value: a float for analog channels, the
// status word for digital ones), and "<dir>/<device>_<kind>.tag", one 15-byte
// full tag per channel. A disabled channel's tag fields are empty (zero).
// Both files are written to a temporary file beside them and renamed into
// place, so a crash leaves the old or the new file, never a torn one. The
// ".tag" is put in place first, the ".bin" last: a restore by tag uses the
// full tags only when the ".tag" belongs to the ".bin" (not newer than it,
// and agreeing with each record's 12 characters), and otherwise the
// records' own tags, so values and tags of different saves never pair.
#pragma once
#include <cstdint>
#include <string>

#include "cdxlib/records/chanconfig.h"

struct SavedValueRecord {
  char tag[12];    // first 12 characters of the tag; not terminated at 12
  uint8_t value[4];  // float (analog) or status word (digital), little-endian
};
static_assert(sizeof(SavedValueRecord) == 16);
constexpr int kSavedTagRecordSize = 15;

// The two file names of a device's path (kind name of path 0..4).
std::string SavedValues_BinPath(const char* dir, const char* deviceName, int path);
std::string SavedValues_TagPath(const char* dir, const char* deviceName, int path);

// Writes count channels' values (4 bytes each) with their tags. >= 0, or -1
// with errno (the saved-values directory cannot be resolved, a file cannot
// be written, 123 for a device name with a path separator or one that is
// "." or ".."; every function here refuses such a name).
int SavedValues_Write(const char* deviceName, int path, const void* values, const ChannelConfig* channels,
                      int count);

// Restores into target (count x 4 bytes, zeroed first once the ".bin" file
// opens). By position: record i gives channel i. By tag: each stored record
// goes to the enabled channel of its tag (the same position first). Digital
// channels take bit 0 only. -1 with errno when ".bin" is missing or shorter
// than count records (the channels after the short one keep 0).
int SavedValues_Restore(const char* deviceName, int path, bool byTag, void* target, const ChannelConfig* channels,
                        int count);

// Rewrites only the values of enabled channels whose new value differs from
// the old one (digital: bit 0); without a ".bin" file, writes everything.
int SavedValues_Update(const char* deviceName, int path, const void* oldValues, const void* newValues,
                       const ChannelConfig* channels, int count);

// Writes the ao and do paths' files whose outputs changed since the last
// save (published values of ao, status words of do).
void Scan_SaveOutputs();
