// DF1 block reads: one unprotected read (command 0x01) per planned block,
// up to three attempts each, the reply check, and the decoding of each
// channel's value from its block (3-digit BCD words for analog channels,
// one bit of a word for digital ones).
//
// The first failure of a scan becomes the process status text; a scan
// without failures clears it. A failing block marks only its own channels
// bad.
#pragma once
#include <cstdint>

#include "cdxlib/records/chanconfig.h"
#include "scanner/df1link.h"
#include "scanner/df1plan.h"

// Check result codes (after the link codes 2..11).
enum Df1CheckResult : int {
  kDf1BitError = 1,
  kDf1RemoteNodeError = 12,
  kDf1CommandError = 13,
  kDf1TnsError = 14,
  kDf1LengthError = 15,
  kDf1StatusError = 16,  // errno = the reply's status byte
};

constexpr int kDf1Attempts = 3;
constexpr int kDf1CommandBytes = 9;
constexpr uint8_t kDf1CmdUnprotectedRead = 0x01;

// Channel status bits this layer sets.
constexpr uint32_t kStatusState = 0x01;  // digital state
constexpr uint32_t kStatusBad = 0x20;

// The printf format of a code's scan error text ("%.2s%d: ..." with the
// module's name, the 1-based channel number and errno); "" for a code
// without text.
const char* Df1_ErrorFormat(int code);
// Formats the text of code into out (at most outSize bytes with the zero).
void Df1_FormatError(char* out, int outSize, int code, const char* moduleName, int channelNumber, int err);

// The transaction number: process-wide, starting at a random value, one up
// before every attempt (it wraps).
uint16_t Df1_NextTns();
void Df1_SetTns(uint16_t last);  // the next attempt uses last + 1

void Df1_BuildReadCommand(const Df1ReadBlock& block, uint16_t tns, uint8_t out[kDf1CommandBytes]);
// 0 or 12..16; a reply shorter than its header is a length error before any
// field is looked at.
int Df1_CheckReply(const uint8_t* command, const uint8_t* reply, int length);
// The value of a 3-digit BCD word: low byte tens and units, low nibble of
// the high byte hundreds (0 when above 9); other nibbles are not checked.
float Df1_DecodeBcd(uint8_t lo, uint8_t hi);

// Where a scan reports (the process status text of the system error list).
struct Df1StatusSink {
  void (*setText)(const char* text) = nullptr;
  void (*clearText)() = nullptr;
};
void Df1_SetStatusSink(const Df1StatusSink& sink);
// The 2-character name of the ai path's module, used in the error texts.
void Df1_SetModuleName(const char* name2);
// The text this scan reported, "" when none (for traces and tests).
const char* Df1_LastScanText();

// Reads every block of the current plan and decodes into the path's
// status words and values (indexed by channel): 0. A lost line (a failed
// write or read, a hang-up: Com_LineError) ends the scan at once with -1
// and that system error; its channels are left as they were.
int Df1_ReadBlocks(ComPort port, const DeviceConfig* device, int count, const ChannelConfig* channels,
                    uint32_t* status, float* values);

// Outputs cannot be written by this driver: always -1.
int Df1_WriteAnalogOutput(ComPort port, int channel, const ChannelConfig* config, const float* value);
int Df1_WriteDigitalOutput(ComPort port, int channel, const ChannelConfig* config, int state);
