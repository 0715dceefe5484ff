// Printing of a device's configuration on the host's printer device context.
//
// The exports PrintConfig and PrintAllConfig (main/qd_setup.cpp) pass their
// arguments on unchanged in one QdPrintRequest; this module does the work.
// The printer device context is a cairo context (cairo_t*) on the printer's
// surface: the host creates the surface and ends the document, the library
// draws the text lines and ends the pages it fills (printengine.h gives the
// page geometry). A print that ends in the middle of a page leaves it open
// for the host, and the next print on the same context continues it.
//
// What is printed: a device header (server name, device name, status, save
// options), the scan rate and the port line, then per present path its
// analog table and its digital table: every enabled channel of the table's
// kind as two lines under two head lines that each page repeats, a form feed
// after each page, and "CHANNELS <first> - <last> DISABLED" for a table that
// printed no channel.
#pragma once
#include <cstdint>
#include <string>

#include "cdxlib/records/chanconfig.h"

enum class QdPrintKind {
  kPath,  // PrintConfig: one path with a range of channels
  kAll,   // PrintAllConfig: the device header and every present path
};

struct QdPrintRequest {
  QdPrintKind kind = QdPrintKind::kPath;
  void* dc = nullptr;              // the printer device context: a cairo_t*
  const char* server = nullptr;    // server name
  uint8_t* hostRecord = nullptr;   // the host device record (config_dialogs/hostrecord.h)
  DeviceConfig* device = nullptr;  // the device's configuration, or null

  // kPath
  int path = 0;                       // 0..4
  int first = 0;                      // 1-based channel number; 0 = 1
  int last = 0;                       // 0 = the path's channel count
  ChannelConfig* channels = nullptr;  // the path's records, or null: loaded from the current directory

  // kAll (status .. saveRateMs are used only when device is given)
  int status = 0;
  int autosave = 0;
  int byTag = 0;
  int saveRateMs = 0;
  ChannelConfig** pathChannels = nullptr;  // five arrays (one per path, each may be null), or null
};

// 0, or -1 with the system error in errno and the thread's last error:
// 87 for a bad range (first < 0, last < first, last beyond the path's
// count), no context or a context without a usable page; 31 when the
// context refuses a page; the loader's or the server's error when channel
// or device records cannot be read. After a failure the next print starts
// on a new page.
int QdPrint_Configuration(const QdPrintRequest& request);

// The device's print hooks.
// " %-1d    %-3d  %-5d ": the sub-type, node and word address (the digital
// fields for an odd sub-type, the analog ones else).
std::string QdPrint_AddressColumns(const ChannelConfig& channel);
// " %-2d" and 14 blanks with the bit number of a digital channel; 17 blanks
// for an analog one.
std::string QdPrint_BitColumn(const ChannelConfig& channel);
// The port and node line and two empty lines. An empty port name becomes
// "COM<device number>", written into the configuration when it fits its 6
// characters. 1, or -1 when a page is refused.
int QdPrint_PortLine(DeviceConfig* device, unsigned deviceNumber);
// Per channel after its lines: this driver prints nothing (0).
int QdPrint_DeviceHook(const ChannelConfig& channel);
int QdPrint_ChannelHook(const ChannelConfig& channel);
