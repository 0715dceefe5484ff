// The demo's installation and its scenario: a device "demo1" of 16
// channels on two controller nodes, and what happens to the controllers
// from scan to scan.
#pragma once
#include <string>
#include <vector>

#include "cdxlib/records/chanconfig.h"
#include "tools/df1sim/df1sim.h"

namespace qddemo {

constexpr int kScanRateMs = 500;
constexpr int kChannels = 16;
constexpr int kBlocks = 2;  // one read block per node

// The cdxsim description of the installation.
std::string Description();
// The channel records of the device (index = channel - 1).
std::vector<ChannelConfig> Channels();
// The controllers' image before the first scan.
void LoadImage(df1sim::Simulator& plc);

// What the scenario does before scan n (0-based). It repeats every
// kScenarioScans scans: LEVEL1 rises through its high alarm limit and falls
// back past the deadband; node 2 drops out for a few scans and comes back.
constexpr int kScenarioScans = 40;
// A line of text when the step does something worth telling, else "".
std::string Step(df1sim::Simulator& plc, int n);

// Byte address of a word address entered as octal digits.
int ByteAddress(int wordDigits);
// A value as a three-digit BCD word.
uint16_t Bcd(int v);

}  // namespace qddemo
