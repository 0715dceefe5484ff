// The ai path's handlers: every channel of the device is read through the
// ai path (block reads), and output channels are held.
//
// This driver cannot write outputs to the controller. A value that an
// operator writes into an output channel is published as requested for the
// device's output write retry count of scans, then replaced by what the
// controller reports.
#pragma once
#include <cstdint>
#include <vector>

#include "cdxlib/records/chanconfig.h"

// The ai module's arrays that the handlers read besides their own
// arguments: the published status words and values (operators write output
// requests there) and the per-channel saved values, which keep each output's
// last written value (0.0 or 1.0 for a digital output).
struct AiPathBinding {
  const uint32_t* moduleStatus = nullptr;
  const float* moduleValues = nullptr;
  float* savedValues = nullptr;
};
void Ai_Bind(const AiPathBinding& binding);

// One output channel of the write-back lists.
struct AiHeldOutput {
  uint16_t channel;
  int hold;  // scans left to publish a request the controller does not follow
};
const std::vector<AiHeldOutput>& Ai_DigitalOutputs();
const std::vector<AiHeldOutput>& Ai_AnalogOutputs();
// Makes the next Path_InitAi the process's first again (tests).
void Ai_ResetFirstInit();

// 0, or -1 when the read plan fails (no channel, none enabled, no memory).
int Path_InitAi(DeviceConfig* device, uint16_t count, ChannelConfig* channels);
// Reads all blocks into status/values and applies the output hold. 0.
int Path_ScanAi(DeviceConfig* device, uint16_t count, ChannelConfig* channels, uint32_t* status, float* values);
