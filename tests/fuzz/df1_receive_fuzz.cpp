// Fuzz target: the frame receiver and the reply check on bytes from a real
// pseudo-terminal. Every frame must end, never store past the capacity and
// never read past the reply.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "scanner/df1link.h"
#include "scanner/df1read.h"

namespace {

int g_master = -1;

bool Setup() {
  g_master = ::posix_openpt(O_RDWR | O_NOCTTY);
  if (g_master < 0 || ::grantpt(g_master) || ::unlockpt(g_master)) return false;
  char name[128];
  if (::ptsname_r(g_master, name, sizeof name)) return false;
  Df1_SetTimeouts({2, 2, 2});
  return Com_OpenPath(name, "19200,n,8,1") != nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = Setup();
  if (!ready || size < 1) return 0;
  // First byte: the capacity (a block of 0..243 bytes + 6).
  const int capacity = data[0] % (kDf1MaxBlockBytes + 1) + kDf1ReplyHeader;
  ++data;
  --size;
  if (size > 2048) size = 2048;
  Com_Purge(Com_Port());
  if (size && ::write(g_master, data, size) < 0) return 0;
  std::vector<uint8_t> reply(static_cast<size_t>(capacity));
  const uint8_t cmd[kDf1CommandBytes] = {1, 0, 1, 0, 0x34, 0x12, 0, 0, static_cast<uint8_t>(capacity - 6)};
  for (int frames = 0; frames < 64; ++frames) {
    int n = -1;
    const int r = Df1_ReceiveFrame(Com_Port(), reply.data(), &n, capacity);
    if (r == kDf1ReceiveTimeout) break;
    if (n < 0 || n > capacity) std::abort();
    if (r == kDf1Ok) Df1_CheckReply(cmd, reply.data(), n);
  }
  // Drain what the receiver wrote back (answers to enquiries).
  uint8_t sink[256];
  ::fcntl(g_master, F_SETFL, O_NONBLOCK);
  while (::read(g_master, sink, sizeof sink) > 0) {
  }
  return 0;
}
