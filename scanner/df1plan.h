// Read planning: the enabled channels of the device grouped into as few DF1
// block reads as the protocol allows.
//
// Each channel names a controller node and a word address (entered as
// decimal digits meant as octal). The entries are sorted by node and byte
// address; a block covers one node and a run of addresses with gaps of at
// most 50 bytes, and never spans more than 243 bytes. The plan is made at
// initialisation and kept until the next; a scan only reads it.
#pragma once
#include <cstdint>
#include <vector>

#include "cdxlib/records/chanconfig.h"

constexpr int kDf1MaxBlockBytes = 243;  // span of one read block
constexpr int kDf1MaxGapBytes = 50;     // larger gaps start a new block
constexpr int kDf1ReplyHeader = 6;      // DST SRC CMD STS TNS(2)

// One enabled channel.
struct Df1ReadEntry {
  uint16_t channel;      // index into the channel array
  uint8_t node;          // controller node (octal digits converted)
  uint16_t byteAddress;  // octal word address x 2
  uint32_t block;        // index of its block
  uint32_t offset;       // of the channel's word in the block's data
};

// One block read.
struct Df1ReadBlock {
  uint8_t node;
  uint16_t start;              // byte address
  uint8_t size;                // bytes, at most 243
  uint8_t bad;                 // kept from scan to scan
  std::vector<uint8_t> reply;  // size + 6 bytes, zeroed at planning
};

struct Df1Plan {
  std::vector<Df1ReadEntry> entries;  // sorted
  std::vector<Df1ReadBlock> blocks;
};

// Digits meant as octal: 17 gives 15. Digits 8 and 9 are not rejected
// (controller entry convention): 8 counts as 8.
int Df1_OctalFromDigits(int n);
// qsort order: node, then byte address, ascending.
int Df1_CompareEntries(const void* a, const void* b);

// The channel's sub-type (Type byte), enable bit and DF1 hardware fields.
int Df1_ChannelKind(const ChannelConfig& c);
bool Df1_ChannelEnabled(const ChannelConfig& c);
uint8_t Df1_ChannelNode(const ChannelConfig& c);
uint16_t Df1_ChannelWordAddress(const ChannelConfig& c);
uint8_t Df1_ChannelBit(const ChannelConfig& c);  // digital channels

// Replaces the process-wide plan. 0, or -1: no channel, no enabled channel
// (13), a stop request meanwhile, or no memory (8).
int Df1_PlanBlocks(const DeviceConfig* device, int count, const ChannelConfig* channels);
// The current plan (the block bad flags and reply buffers are the scan's).
Df1Plan& Df1_CurrentPlan();
void Df1_ClearPlan();

// The scanner's running flag (null: always running). Every loop over
// channels or blocks tests it.
void Df1_SetRunningFlag(const volatile int* running);
bool Df1_Running();
