// libFuzzer target: any bytes as a ".odl" file. Opening it, reading its
// header, channels and records must never crash or read outside a buffer,
// and every record returned must lie wholly inside the file.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_tempdir.h"
#include "logdata/logfilestore.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string dir = FuzzTempDir("logfuzz-");
  if (dir.empty()) return 0;
  static const std::string path = dir + "/F240102_030405.odl";
  int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0666);
  if (fd < 0) return 0;
  if (size && write(fd, data, size) != static_cast<ssize_t>(size)) {
    close(fd);
    return 0;
  }
  close(fd);
  CLogFileStore s;
  if (s.Open(nullptr, path.c_str(), kGenericRead) != 0) return 0;
  LogHeader h;
  if (s.ReadHeader(&h) != 0) return 0;
  if (!LogHeaderUsable(h)) return 0;
  int n = s.GetNoLogs(&h);
  if (n < 0) return 0;
  if (n > 0 && static_cast<uint64_t>(n) * h.recordLength + h.headerLength > size) __builtin_trap();
  if (h.recordLength > 1 << 20) return 0;
  std::vector<uint8_t> buf(static_cast<size_t>(h.recordLength) * 4);
  int got = s.ReadLogs(0, &h, buf.data(), 4, 0, nullptr, nullptr);
  if (got < 0 || got > 4 || got > n) __builtin_trap();
  s.ReadLog(n > 0 ? n - 1 : 0, &h, buf.data(), static_cast<int>(h.recordLength), 0, nullptr, nullptr, 0, 0);
  s.CountValidRecords(&h);
  ChannelConfig ch[4];
  for (int b = 0; b < 3; ++b) s.ReadChannels(&h, ch, b, 0, 4);
  return 0;
}
