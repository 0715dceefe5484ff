#include "platform/serial.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include "platform/error.h"

namespace plat {
namespace {

bool ParseInt(const std::string& s, int* out) {
  if (s.empty() || s.size() > 9) return false;
  int v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  *out = v;
  return true;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

bool ParseParity(const std::string& s, char* out) {
  if (s.size() != 1) return false;
  char c = static_cast<char>(std::tolower(static_cast<unsigned char>(s[0])));
  if (!std::strchr("neoms", c)) return false;
  *out = c;
  return true;
}

bool Valid(const SerialSettings& s) {
  return s.baud > 0 && s.dataBits >= 5 && s.dataBits <= 8 && (s.stopBits == 1 || s.stopBits == 2);
}

speed_t SpeedOf(int baud) {
  switch (baud) {
    case 110: return B110;
    case 300: return B300;
    case 600: return B600;
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    default: return B0;
  }
}

}  // namespace

int ParseSerialSettings(const char* text, SerialSettings* out) {
  if (!text || !out) return Fail(kErrInvalidParameter), -1;
  SerialSettings s;
  const std::string all = Trim(text);
  if (all.empty()) return Fail(kErrInvalidParameter), -1;
  if (all.find('=') != std::string::npos) {
    // Keyword form: "baud=19200 parity=n data=8 stop=1".
    bool seen[4] = {false, false, false, false};
    size_t i = 0;
    while (i < all.size()) {
      while (i < all.size() && std::isspace(static_cast<unsigned char>(all[i]))) ++i;
      if (i >= all.size()) break;
      size_t e = i;
      while (e < all.size() && !std::isspace(static_cast<unsigned char>(all[e]))) ++e;
      const std::string word = all.substr(i, e - i);
      i = e;
      const size_t eq = word.find('=');
      if (eq == std::string::npos || eq == 0) return Fail(kErrInvalidParameter), -1;
      const std::string key = Lower(word.substr(0, eq));
      const std::string value = word.substr(eq + 1);
      int slot;
      bool ok;
      if (key == "baud") {
        slot = 0;
        ok = ParseInt(value, &s.baud);
      } else if (key == "parity") {
        slot = 1;
        ok = ParseParity(value, &s.parity);
      } else if (key == "data") {
        slot = 2;
        ok = ParseInt(value, &s.dataBits);
      } else if (key == "stop") {
        slot = 3;
        ok = ParseInt(value, &s.stopBits);
      } else {
        return Fail(kErrInvalidParameter), -1;
      }
      if (!ok || seen[slot]) return Fail(kErrInvalidParameter), -1;
      seen[slot] = true;
    }
    if (!seen[0]) return Fail(kErrInvalidParameter), -1;
  } else {
    // Short form: "19200,n,8,1", trailing fields optional.
    std::string fields[4];
    int n = 0;
    size_t start = 0;
    for (;;) {
      const size_t comma = all.find(',', start);
      if (n == 4) return Fail(kErrInvalidParameter), -1;
      fields[n++] = Trim(all.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
    if (!ParseInt(fields[0], &s.baud)) return Fail(kErrInvalidParameter), -1;
    if (n > 1 && !ParseParity(fields[1], &s.parity)) return Fail(kErrInvalidParameter), -1;
    if (n > 2 && !ParseInt(fields[2], &s.dataBits)) return Fail(kErrInvalidParameter), -1;
    if (n > 3 && !ParseInt(fields[3], &s.stopBits)) return Fail(kErrInvalidParameter), -1;
  }
  if (!Valid(s) || SpeedOf(s.baud) == B0) return Fail(kErrInvalidParameter), -1;
  *out = s;
  return 0;
}

SerialPort* SerialPort::Open(const char* devicePath) {
  if (!devicePath || !*devicePath) return Fail(kErrInvalidParameter), nullptr;
  // Non-blocking so that neither the open (modem lines) nor a read waits.
  const int fd = ::open(devicePath, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno == EBUSY) return Fail(kErrAccessDenied), nullptr;  // TIOCEXCL of another opener
    return FailErrno(errno), nullptr;
  }
  if (!::isatty(fd)) {
    ::close(fd);
    return Fail(kErrBadDevice), nullptr;
  }
  // TIOCEXCL keeps other users out; the lock also holds against a
  // privileged second opener, whom TIOCEXCL lets through.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int e = errno;
    ::close(fd);
    return (e == EWOULDBLOCK ? Fail(kErrAccessDenied) : FailErrno(e)), nullptr;
  }
  ::ioctl(fd, TIOCEXCL);
  const int quiet = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (quiet < 0) {
    const int e = errno;
    ::close(fd);
    return FailErrno(e), nullptr;
  }
  return new SerialPort(fd, quiet, devicePath);
}

SerialPort::~SerialPort() {
  if (fd_ >= 0) {
    ::ioctl(fd_, TIOCNXCL);
    ::close(fd_);  // also releases the lock
  }
  if (quiet_ >= 0) ::close(quiet_);
}

int SerialPort::Configure(const SerialSettings& settings) {
  if (!Valid(settings) || SpeedOf(settings.baud) == B0) return Fail(kErrInvalidParameter), -1;
  termios t;
  if (::tcgetattr(fd_, &t) != 0) return FailErrno(errno), -1;
  ::cfmakeraw(&t);
  t.c_cflag |= CREAD | CLOCAL;
  t.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CMSPAR | CRTSCTS);
  static const tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};

  t.c_cflag |= kSizes[settings.dataBits - 5];
  if (settings.stopBits == 2) t.c_cflag |= CSTOPB;
  // A pseudo-terminal (the simulators' line) carries bytes, not framed
  // characters: the kernel holds it at 8 bits without parity and refuses
  // other framing. The settings were checked above; only the framing the
  // device cannot have is left out.
  struct stat st;
  const bool pty = ::fstat(fd_, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143;
  if (pty) {
    t.c_cflag = (t.c_cflag & ~CSIZE) | CS8;
  } else switch (settings.parity) {
    case 'e': t.c_cflag |= PARENB; break;
    case 'o': t.c_cflag |= PARENB | PARODD; break;
    case 'm': t.c_cflag |= PARENB | PARODD | CMSPAR; break;
    case 's': t.c_cflag |= PARENB | CMSPAR; break;
    default: break;
  }
  t.c_iflag &= ~(IXON | IXOFF | IXANY);
  // Zero time-outs: a read returns what is queued.
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  const speed_t sp = SpeedOf(settings.baud);
  if (::cfsetispeed(&t, sp) != 0 || ::cfsetospeed(&t, sp) != 0) return FailErrno(errno), -1;
  if (::tcsetattr(fd_, TCSANOW, &t) != 0) return FailErrno(errno), -1;
  baud_ = settings.baud;
  readyCount_ = 1;
  mode_ = t;
  bitsPerChar_ = 1 + settings.dataBits + (settings.parity == 'n' ? 0 : 1) + settings.stopBits;
  return 0;
}

int SerialPort::SetReadyCount(int n) {
  n = n < 1 ? 1 : n > 255 ? 255 : n;
  if (n == readyCount_) return 0;
  // In raw mode the line discipline polls readable once VMIN bytes are
  // queued (with VTIME 0); the descriptor is non-blocking, so a read still
  // returns at once with whatever is there.
  termios t = mode_;
  t.c_cc[VMIN] = static_cast<cc_t>(n == 1 ? 0 : n);
  t.c_cc[VTIME] = 0;
  // One ioctl: tcsetattr reads the settings back twice to check them, three
  // calls for every frame the scanner waits for.
  if (::ioctl(fd_, TCSETS, &t) != 0) return FailErrno(errno), -1;
  mode_ = t;
  readyCount_ = n;
  return 0;
}

int64_t SerialPort::WireTimeUs(int n) const {
  if (baud_ <= 0 || n <= 0) return 0;
  return (int64_t{n} * bitsPerChar_ * 1000000 + baud_ - 1) / baud_;
}

int SerialPort::InQueue() const {
  int n = 0;
  if (::ioctl(fd_, FIONREAD, &n) != 0) return FailErrno(errno), -1;
  return n;
}

int SerialPort::Read(void* buffer, int n) {
  if (n <= 0) return 0;
  for (;;) {
    const ssize_t r = ::read(fd_, buffer, static_cast<size_t>(n));
    if (r >= 0) return static_cast<int>(r);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    return FailErrno(errno), -1;
  }
}

int SerialPort::Write(const void* data, int n) {
  const auto* p = static_cast<const unsigned char*>(data);
  int done = 0;
  while (done < n) {
    const ssize_t w = ::write(fd_, p + done, static_cast<size_t>(n - done));
    if (w > 0) {
      done += static_cast<int>(w);
      continue;
    }
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // Output queue full: wait until it takes more (bounded, the line moves).
      pollfd pfd{fd_, POLLOUT, 0};
      if (::poll(&pfd, 1, 1000) <= 0) return Fail(kErrWriteFault), -1;
      if (pfd.revents & (POLLHUP | POLLERR)) return Fail(kErrWriteFault), -1;
      continue;
    }
    return FailErrno(errno), -1;
  }
  while (::tcdrain(fd_) != 0) {
    if (errno != EINTR) return FailErrno(errno), -1;
  }
  return n;
}

int SerialPort::Purge() {
  if (::tcflush(fd_, TCIOFLUSH) != 0) return FailErrno(errno), -1;
  return 0;
}

bool SerialPort::Acquire() {
  if (hungUp_) return false;
  const int n = InQueue();
  if (n > 0) return true;
  if (n == 0) {
    // Readable without queued input: a hang-up when the line says so.
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0 || !(p.revents & (POLLHUP | POLLERR))) return false;
  }
  hungUp_ = true;
  return true;
}

}  // namespace plat
