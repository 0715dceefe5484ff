// Small helpers shared by the configuration-file tests: whole files in and
// out, and the XML switches under HKLM "SOFTWARE\Quillomatic\Coordinatrix".
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "cdxlib/sys/registry.h"
#include "platform/registry.h"

namespace cfgtest {

// The folder of the test extension libraries (tstxm_ex.so, ...).
inline const std::string kExtDir = std::string(CDX_BIN_DIR) + "/../extlibs";

inline std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

inline void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// Sets a REG_SZ switch ("ReadXML", "WriteXML", ...).
inline void SetSwitch(const char* name, const char* value) {
  uint32_t type = plat::REG_SZ, size = static_cast<uint32_t>(strlen(value) + 1);
  ASSERT_EQ(Reg_AccessValue(plat::HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillomatic\\Coordinatrix", plat::KEY_SET_VALUE,
                            name, &type, const_cast<char*>(value), &size),
            0u);
}

}  // namespace cfgtest
