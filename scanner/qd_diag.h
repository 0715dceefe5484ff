// Communication diagnostics of a device: a data module of ten channels per
// port (port 0 is the total of all ports) that shows whether the scanner
// runs, offers a reset switch and carries the serial line's counters.
//
// Per port, channels 10p+1 .. 10p+10: STATUS and RESET COUNTS (digital
// outputs), then RECEIVE BYTES, RECEIVE PACKETS, RECEIVE TIMEOUTS, RECEIVE
// COMM ERRORS, RECEIVE CRC ERRORS, TRANSMIT BYTES, TRANSMIT PACKETS and
// TRANSMIT ERRORS (analog outputs). The values are published through the
// ordinary value writes, so readers see them as any other channels.
//
// The link layer of this driver does not count, so the counters stay 0;
// STATUS and RESET COUNTS work. Counting and publishing are serialised by a
// critical section; the module lock is held only around the copy.
#pragma once
#include <cstdint>

#include "cdxlib/records/chanconfig.h"
#include "cdxlib/records/devicerecord.h"

constexpr int kDiagChannelsPerPort = 10;

// Counter indexes of a port (channels 1..10 less one).
enum DiagCounter : int {
  kDiagActive = 0,
  kDiagReset = 1,
  kDiagRxBytes = 2,
  kDiagRxPackets = 3,
  kDiagRxTimeouts = 4,
  kDiagRxCommErrors = 5,
  kDiagRxCrcErrors = 6,
  kDiagTxBytes = 7,
  kDiagTxPackets = 8,
  kDiagTxErrors = 9,
};

// Sets up the diagnostics of the module named by the 2-character name:
// channel configurations, the STATUS of port 0 from the record's running
// flag, and a first (forced) publication. Without a usable module (missing,
// not 8 bytes per channel, fewer than 10 channels) there are no diagnostics.
void Diag_Open(DeviceRecord* device, const char* name);
// STATUS of every port 0, published; then no diagnostics.
void Diag_Close();
// Closes and opens again when the device table names a diagnostics module
// for this device (its name entry is within the table and not empty).
void Diag_ReopenIfNamed(DeviceRecord* device);
// The 2-character diagnostics name of the device, or null.
const char* Diag_NameOf(const DeviceRecord* device);

// Adds to a counter (channel 3..10 of the port) and, for a port other than
// 0, to port 0's; marks the port active; publishes.
void Diag_AddToCounter(int port, uint32_t amount, int channel);
void Diag_AddRxBytes(int port, uint32_t n);
void Diag_AddRxPackets(int port, uint32_t n);
void Diag_AddRxTimeouts(int port, uint32_t n);
void Diag_AddRxCommErrors(int port, uint32_t n);
void Diag_AddRxCrcErrors(int port, uint32_t n);
void Diag_AddTxBytes(int port, uint32_t n);
void Diag_AddTxPackets(int port, uint32_t n);
void Diag_AddTxErrors(int port, uint32_t n);

// Copies the counters into the module (RESET COUNTS set from outside zeroes
// the port's counters first).
void Diag_Publish();

// Tags and descriptions of a port's ten channels, from the upper-cased
// device name, the device number and the port.
void Diag_MakeChannelNames(const char* deviceName, int deviceNumber, int port, ChannelConfig* channels);

// Ports in use (0 without diagnostics).
int Diag_PortCount();
