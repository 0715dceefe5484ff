// Channel records for scanner tests.
#pragma once
#include <cstring>
#include <vector>

#include "cdxlib/records/chanconfig.h"

inline ChannelConfig MakeChannel(int kind, int node, int wordDigits, int bit = 0, bool enabled = true) {
  ChannelConfig c;
  std::memset(&c, 0, sizeof c);
  c.Type = static_cast<uint8_t>(kind);
  c.Flags[0] = enabled ? 1 : 0;  // flag word bit 0: Enable
  uint8_t* raw = reinterpret_cast<uint8_t*>(&c);
  const uint16_t w = static_cast<uint16_t>(wordDigits);
  if (kind & 1) {
    raw[192] = static_cast<uint8_t>(node);
    std::memcpy(raw + 194, &w, 2);
    raw[196] = static_cast<uint8_t>(bit);
  } else {
    raw[188] = static_cast<uint8_t>(node);
    std::memcpy(raw + 190, &w, 2);
  }
  return c;
}

inline DeviceConfig MakeDevice(int retryCount = 0) {
  DeviceConfig d;
  std::memset(&d, 0, sizeof d);
  d.ScanRate = 1000;
  d.Comm.RetryCount = static_cast<uint8_t>(retryCount);
  d.Comm.Node = 1;
  return d;
}
