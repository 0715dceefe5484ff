#include "scanner/comport.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "cdxlib/sys/registry.h"
#include "platform/error.h"
#include "platform/registry.h"
#include "scanner/linetrace.h"

std::string Com_PortName(DeviceRecord* record) {
  char* field = record->Config.Comm.Port;
  const size_t fieldSize = sizeof record->Config.Comm.Port;
  if (field[0] != 0) return std::string(field, strnlen(field, fieldSize));
  char name[16];
  std::snprintf(name, sizeof name, "COM%d", record->DeviceNumber);
  if (std::strlen(name) < fieldSize) std::memcpy(field, name, std::strlen(name) + 1);
  return name;
}

std::string Com_DevicePath(const std::string& portName) {
  char path[256];
  uint32_t type = 0, size = sizeof path - 1;
  if (Reg_AccessValue(plat::HKEY_LOCAL_MACHINE, kPortMapKey, plat::KEY_QUERY_VALUE, portName.c_str(), &type, path,
                      &size) == 0 &&
      type == plat::REG_SZ) {
    path[size] = 0;
    if (path[0]) return path;
  }
  // COMn -> /dev/ttyS(n-1).
  if (portName.size() > 3 && strncasecmp(portName.c_str(), "COM", 3) == 0) {
    char* end = nullptr;
    const long n = std::strtol(portName.c_str() + 3, &end, 10);
    if (*end == 0 && n >= 1) return "/dev/ttyS" + std::to_string(n - 1);
  }
  plat::Fail(plat::kErrFileNotFound);
  return "";
}

int Com_ModeText(const std::string& portName, char* out) {
  plat::HKEY key = nullptr;
  uint32_t rc = plat::RegCreateKeyEx(plat::HKEY_LOCAL_MACHINE, kPortsKey, plat::REG_OPTION_NON_VOLATILE,
                                     plat::KEY_QUERY_VALUE, &key, nullptr);
  if (rc != 0) return plat::Fail(rc), -1;
  const std::string valueName = portName + ":";
  uint32_t type = 0, size = kModeTextSize - 1;
  rc = plat::RegQueryValueEx(key, valueName.c_str(), &type, out, &size);
  plat::RegCloseKey(key);
  if (rc != 0) return plat::Fail(rc), -1;
  if (type != plat::REG_SZ) return plat::Fail(plat::kErrInvalidData), -1;
  out[size < kModeTextSize ? size : kModeTextSize - 1] = 0;
  return 0;
}

ComPort Com_Open(DeviceRecord* record) {
  Com_Close();
  if (!record) return plat::Fail(plat::kErrInvalidParameter), nullptr;
  const bool trace = LineTrace_Check();
  const std::string name = Com_PortName(record);
  char mode[kModeTextSize];
  if (Com_ModeText(name, mode) != 0) {
    if (trace) LineTrace_Printf("port %s: no line settings (system error %u)", name.c_str(), plat::GetLastError());
    return nullptr;
  }
  const std::string path = Com_DevicePath(name);
  if (path.empty()) return nullptr;
  ComPort port = Com_OpenPath(path.c_str(), mode);
  if (trace) {
    if (port)
      LineTrace_Printf("port %s (%s) opened at %s", name.c_str(), path.c_str(), mode);
    else
      LineTrace_Printf("port %s (%s) not opened: system error %u", name.c_str(), path.c_str(), plat::GetLastError());
  }
  return port;
}
