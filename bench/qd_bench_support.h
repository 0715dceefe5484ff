// What the scanner benchmarks share: controller register values, the
// registry's port settings, and the device record's sign that a scanner is up.
#pragma once
#include <cstdint>
#include <cstring>
#include <string>

#include "cdxlib/records/devicerecord.h"
#include "platform/registry.h"

namespace qdbench {

// Three BCD digits, as the controllers' registers hold them.
inline uint16_t Bcd(int v) { return uint16_t(((v / 100) % 10) << 8 | ((v / 10) % 10) << 4 | (v % 10)); }

// A word number written in octal digits, as data-table addresses are.
inline int OctalDigits(int w) {
  int digits = 0, mul = 1;
  for (; w > 0; w /= 8, mul *= 10) digits += (w % 8) * mul;
  return digits;
}

// A REG_SZ value under HKEY_LOCAL_MACHINE (the key made when missing).
inline void PutSz(const char* key, const std::string& name, const std::string& value) {
  plat::HKEY k = nullptr;
  plat::RegCreateKeyEx(plat::HKEY_LOCAL_MACHINE, key, plat::REG_OPTION_NON_VOLATILE, plat::KEY_SET_VALUE, &k,
                       nullptr);
  plat::RegSetValueEx(k, name.c_str(), plat::REG_SZ, value.c_str(), uint32_t(value.size() + 1));
  plat::RegCloseKey(k);
}

// True when the device record (a copy of it in the device table, or null)
// shows a scanner that runs, has its configuration and is not busy.
inline bool ScannerIsUp(const uint8_t* record) {
  if (!record) return false;
  DeviceRecord d;
  std::memcpy(&d, record, sizeof d);
  return d.Running == 1 && d.ConfigLoaded == 1 && d.Busy == 0;
}

}  // namespace qdbench
