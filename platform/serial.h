// Serial ports.
//
// A port is opened by its device path (a tty or a pseudo-terminal), for
// reading and writing, exclusively: a second opener of the same device fails
// with 5 (access denied) until the first closes it. The port runs in raw
// mode with zero time-outs: Read() only takes bytes already queued and never
// blocks. Write() returns once the last byte has left (tcdrain), so a reply
// window measured after it starts when the line is quiet.
//
// The port is a Waitable: it polls readable while input is queued, so a
// thread can wait on the line and on its events in one WaitForAny(). A
// hang-up (the far end of a pseudo-terminal closed, a USB adapter pulled
// out) wakes the waiter once and makes the port HungUp(); from then on it
// never polls readable, so an idle waiter does not spin on the dead line.
#pragma once
#include <cstdint>
#include <string>
#include <termios.h>

#include "platform/sync.h"

namespace plat {

// Line settings in the system's mode-text form.
struct SerialSettings {
  int baud = 0;        // bits per second
  char parity = 'n';   // 'n' none, 'e' even, 'o' odd, 'm' mark, 's' space
  int dataBits = 8;    // 5..8
  int stopBits = 1;    // 1 or 2
};

// Parses a mode text: the short form "19200,n,8,1" (parity, data and stop
// bits may be left off from the right: "9600" or "9600,e") or the keyword
// form "baud=19200 parity=n data=8 stop=1" (keywords in any order, case
// ignored, each at most once, baud required). Fields not given keep the
// defaults of SerialSettings. A text that does not parse exactly, or a value
// the line cannot take, fails with 87 (invalid parameter): nothing is
// guessed. Returns 0 or -1.
int ParseSerialSettings(const char* text, SerialSettings* out);

class SerialPort final : public Waitable {
 public:
  // Opens the device exclusively. Returns the port, or null with the system
  // error set (2 no such device, 5 already open elsewhere, ...).
  static SerialPort* Open(const char* devicePath);
  ~SerialPort() override;
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  // Raw mode with the given line settings and zero time-outs. 0 or -1.
  int Configure(const SerialSettings& settings);

  // Bytes waiting in the input queue, or -1.
  int InQueue() const;
  // Reads up to n queued bytes without waiting: the count read (0 when none
  // is queued), or -1 on a read error (a hung-up line is an error).
  int Read(void* buffer, int n);
  // Writes all n bytes and waits until they have been sent: n, or -1.
  int Write(const void* data, int n);
  // Discards queued input and unsent output. 0 or -1.
  int Purge();

  const std::string& path() const { return path_; }

  // How many queued bytes make the port poll readable (1..255; a hang-up
  // always does). A waiter that knows how much is coming sleeps through the
  // bytes of a frame instead of waking for each. Reads are not affected:
  // they still take what is queued. 0 or -1.
  int SetReadyCount(int n);

  // Time in microseconds that n characters take on the line at the
  // configured rate (start bit, data bits, parity, stop bits), rounded up;
  // 0 before Configure().
  int64_t WireTimeUs(int n) const;

  // True once the line was seen hung up or failing; the port is then of
  // no further use and must be opened again.
  bool HungUp() const { return hungUp_; }

  int PollFd() const override { return hungUp_ ? quiet_ : fd_; }
  // Readable means input is queued. Readable without input is a hang-up:
  // taken once, to wake the waiter, which then finds HungUp().
  bool Acquire() override;

 private:
  SerialPort(int fd, int quiet, std::string path) : fd_(fd), quiet_(quiet), path_(std::move(path)) {}
  int fd_;
  int quiet_;  // never readable: polled in place of a hung-up line
  bool hungUp_ = false;
  int baud_ = 0;
  int bitsPerChar_ = 10;
  int readyCount_ = 1;   // VMIN as last set (0 and 1 poll alike)
  termios mode_{};       // the line's settings as last set
  std::string path_;
};

}  // namespace plat
