#include "config_dialogs/hostrecord.h"

#include <dlfcn.h>

#include <cstring>

#include "cdxlib/sys/textutil.h"

namespace {

std::string BoundedText(const uint8_t* p, size_t max) {
  const char* s = reinterpret_cast<const char*>(p);
  return cdxtext::FixedText(s, max);
}

}  // namespace

std::string Host_DeviceName(const uint8_t* record) {
  return BoundedText(record + kHostDeviceNameOffset, kHostDeviceNameMax);
}

std::string Host_ConfigDir(const uint8_t* record) {
  return BoundedText(record + kHostConfigDirOffset, kHostConfigDirMax);
}

bool Host_PathPresent(const uint8_t* record, int path) {
  if (path < 0 || path >= kHostPathCount) return false;
  return record[kHostPathEntryOffset + kHostPathEntrySize * path] != 0;
}

std::string Host_PathName(const uint8_t* record, int path) {
  if (!Host_PathPresent(record, path)) return {};
  return BoundedText(record + kHostPathEntryOffset + kHostPathEntrySize * path, 2);
}

uint16_t Host_PathCount(const uint8_t* record, int path) {
  if (path < 0 || path >= kHostPathCount) return 0;
  const uint8_t* p = record + kHostPathCountOffset + kHostPathEntrySize * path;
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint8_t* Host_PortBlock(uint8_t* record) { return record + kHostPortBlockOffset; }

uint16_t Host_DefaultComNumber() {
  using Fn = unsigned short (*)();
  void* sym = dlsym(RTLD_DEFAULT, kHostDefaultComSymbol);
  if (sym == nullptr) return 1;
  return reinterpret_cast<Fn>(sym)();
}
