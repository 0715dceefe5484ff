// Opening the scanner's serial port from its device record.
//
// The port name comes from the device's port block ("COM1", at most 6
// characters; empty means "COM" + the device number). The line settings are
// the system's mode text for that port: HKEY_LOCAL_MACHINE
// "SOFTWARE\Microsoft\Windows NT\CurrentVersion\Ports", REG_SZ value named
// by the port name and a colon ("COM1:"); there are no default settings.
// The device path of the port name is the REG_SZ value named by the port
// name under HKEY_LOCAL_MACHINE "SOFTWARE\Quillomatic\SerialPorts"; without
// it, COMn is /dev/ttyS(n-1).
#pragma once
#include <string>

#include "cdxlib/records/devicerecord.h"
#include "scanner/df1link.h"

constexpr const char* kPortsKey = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports";
constexpr const char* kPortMapKey = "SOFTWARE\\Quillomatic\\SerialPorts";
constexpr int kModeTextSize = 102;  // the mode text with its terminator

// The port name of a device: the port block's name, or "COM%d" with the
// device number when it is empty. A built name that fits the 7-byte field
// is written into it; a longer one (device numbers of 1000 and more) is
// only returned.
std::string Com_PortName(DeviceRecord* record);
// The device path of a port name (registry map, else COMn -> /dev/ttyS(n-1)),
// or "" with 2 when there is neither.
std::string Com_DevicePath(const std::string& portName);
// The mode text of a port name into out (kModeTextSize bytes): 0, or -1
// with the system error (2 when the value is missing, 234 when it is
// longer than 101 bytes).
int Com_ModeText(const std::string& portName, char* out);

// Opens the process-wide port for the device: port, or null with the
// system error in errno and the thread's last error.
ComPort Com_Open(DeviceRecord* record);
