// A readable view of a driver's published channels: one line per channel
// with its number, tag, value as published, units and status word in
// words, headed by the device's record and status text.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct ChannelConfig;

namespace valuetable {

// The status word of a channel in words: "BAD", "ALARM HIGH", "ALARM LOW",
// "ALARM" (digital), "WARNING HIGH", "WARNING LOW", "EVENT", "CHANGED"
// (analog significant change), "DISABLED" (the configuration's enable flag
// is off); "ok" when none applies.
std::string StatusWords(uint32_t status, bool digital, bool enabled = true);

// The module prefixes a name stands for: a device number or device name
// of "dm_device" gives the prefixes of its record (ai, di, ao, do, ci, in
// that order, the empty ones left out), a 2-character name is a module
// prefix. Fills *device with the device's number (0 for a bare prefix).
// False when the name matches nothing.
bool ResolvePrefixes(const std::string& name, std::vector<std::string>* prefixes, int* device);

// The table text of the device (0: none) and its module sets, read from the
// shared modules as they are now (without their locks: the view may mix two
// scans, it never waits for a stopped scanner).
std::string Render(int device, const std::vector<std::string>& prefixes);

}  // namespace valuetable
