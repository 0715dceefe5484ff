// libFuzzer target of the channel and device XML readers: any bytes as a
// channel file ("ai.xml" or "di.xml", by the first byte) and as a device
// file ("config.xml"), read with the system's channel and save-options
// types into records that must stay within their bounds.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "cdxlib/config/xmlconfig.h"
#include "fuzz_tempdir.h"

// The error log and the command client are not part of this harness.
void ReportSystemEvent(const char*, int, const char*) {}
int Srv_IsLocal(const char*) { return 1; }
int Srv_IsRequestOnly(const char*) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string dir = [] {
    const std::string top = FuzzTempDir("config_xml_fuzz_");
    if (top.empty()) return top;
    const std::string d = top + "/fuzz_1";
    mkdir(d.c_str(), 0700);
    setenv("CDX_BIN", "/nonexistent", 1);
    return d;
  }();
  if (dir.empty() || size < 1) return 0;
  const int kind = data[0] & 1;
  const int count = 1 + (data[0] >> 1) % 8;
  const std::string body(reinterpret_cast<const char*>(data) + 1, size - 1);
  for (const char* name : {"ai.xml", "di.xml", "config.xml"}) {
    FILE* f = fopen((dir + "/" + name).c_str(), "wb");
    if (!f) return 0;
    fwrite(body.data(), 1, body.size(), f);
    fclose(f);
  }
  std::vector<ChannelConfig> records(static_cast<size_t>(count));
  const int loaded = Cfg_LoadChannelsXml(dir.c_str(), kind, records.data(), 0, count, nullptr, 0);
  Cfg_LoadChannelsXml(dir.c_str(), kind, records.data(), 1, count, nullptr, 0);
  DeviceConfig dc;
  uint8_t enable, saveOutputs, byTag;
  uint32_t rate;
  Cfg_LoadDeviceXml(dir.c_str(), &dc, sizeof dc, nullptr, 0, &enable, &saveOutputs, &byTag, &rate);
  // What was read writes back (merged into the same file).
  if (loaded == 0) Cfg_WriteChannelsXml(nullptr, dir.c_str(), kind, records.data(), 0, 1, nullptr, 0, 1);
  return 0;
}
