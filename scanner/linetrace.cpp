#include "scanner/linetrace.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <string>

#include "cdxlib/sys/debugtrace.h"
#include "platform/error.h"

namespace {

bool g_on = false;

// The trace never changes the error the traced code reports.
class KeepErrors {
 public:
  KeepErrors() : errno_(errno), last_(plat::GetLastError()) {}
  ~KeepErrors() {
    errno = errno_;
    plat::SetLastError(last_);
  }

 private:
  int errno_;
  uint32_t last_;
};

// "HH:MM:SS.mmm " of the local clock.
int Stamp(char* out, size_t size) {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  tm t;
  localtime_r(&ts.tv_sec, &t);
  return std::snprintf(out, size, "%02d:%02d:%02d.%03ld ", t.tm_hour, t.tm_min, t.tm_sec, ts.tv_nsec / 1000000);
}

}  // namespace

bool LineTrace_Check() {
  KeepErrors keep;
  return g_on = Dbg_Active() != 0;
}

bool LineTrace_On() { return g_on; }

void LineTrace_Printf(const char* format, ...) {
  if (!g_on) return;
  KeepErrors keep;
  char line[600];
  int n = Stamp(line, sizeof line);
  va_list ap;
  va_start(ap, format);
  int m = std::vsnprintf(line + n, sizeof line - size_t(n) - 1, format, ap);
  va_end(ap);
  if (m < 0) m = 0;
  size_t end = size_t(n) + (size_t(m) < sizeof line - size_t(n) - 2 ? size_t(m) : sizeof line - size_t(n) - 2);
  line[end] = '\n';
  line[end + 1] = 0;
  Dbg_Log(line);
}

void LineTrace_Frame(const char* what, int node, const uint8_t* data, int n) {
  if (!g_on) return;
  KeepErrors keep;
  std::string hex;
  hex.reserve(size_t(n) * 3);
  char b[4];
  for (int i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, i ? " %02x" : "%02x", data[i]);
    hex += b;
  }
  const int tns = n >= 6 ? (data[4] | data[5] << 8) : 0;
  char head[128];
  int k = Stamp(head, sizeof head);
  std::snprintf(head + k, sizeof head - size_t(k), "%s node %d TNS %04x (%d bytes): ", what, node, tns, n);
  Dbg_Log((head + hex + "\n").c_str());
}
