// The scanner's serial port: the process-wide port and its byte level (a
// small polled receive buffer in front of the driver, defined with the link
// layer in df1link.cpp), and opening it from the device record.
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
#include <cstdint>
#include <string>

#include "cdxlib/records/devicerecord.h"
#include "platform/serial.h"

using ComPort = plat::SerialPort*;

// Size of the receive buffer (bytes taken from the driver at once).
constexpr int kComRxBufferSize = 100;

// Opens the process-wide port on a device path with a mode text
// ("19200,n,8,1" or "baud=19200 parity=n data=8 stop=1"), closing one left
// open. Returns the port, or null with the system error set (87 for a
// malformed mode text, 5 for a port in use).
ComPort Com_OpenPath(const char* devicePath, const char* modeText);
// Closes the process-wide port when one is open.
void Com_Close();
// The system error that lost the line (a failed write or read, a hang-up,
// a vanished device: 31 when the line only hung up), 0 while it works. Set
// by the calls below, cleared by opening the port again; a lost line is
// never read again, the port must be reopened.
uint32_t Com_LineError();
// The process-wide port, or null.
ComPort Com_Port();

int Com_InQueueCount(ComPort port);
// Waits up to timeoutMs (deadline) for queued input: bytes waiting (> 0),
// 0 on time-out, -1 on error.
int Com_WaitInput(ComPort port, int timeoutMs);
// Refills the receive buffer with what is queued (at most 100 bytes),
// waiting up to timeoutMs: 0, or -1 on time-out or read error.
int Com_FillBuffer(ComPort port, int timeoutMs);
// Next byte 0..255, or -1.
int Com_ReadByte(ComPort port, int timeoutMs);
// Empties the receive buffer and reads away every byte waiting in the driver.
void Com_Purge(ComPort port);
// Copies through the receive buffer until count bytes or a failed refill;
// returns the count copied.
int Com_ReadBytes(ComPort port, uint8_t* buffer, int count, int timeoutMs);
// Clears buffer (capacity bytes), then copies until and including the
// terminator or until full; returns the count.
int Com_ReadUntil(ComPort port, uint8_t* buffer, uint8_t terminator, int capacity, int timeoutMs);

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
