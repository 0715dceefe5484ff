#include "cdxlib/sys/registry.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "cdxlib/sys/writefilter.h"
#include "platform/error.h"
#include "platform/sysinfo.h"

namespace {

bool g_redirect = false;

bool g_productNameRead = false;
char g_productName[kProductNameSize];
bool g_replicationNameRead = false;
char g_replicationName[kProductNameSize];

plat::HKEY Redirected(plat::HKEY hive) {
  return (g_redirect && hive == plat::HKEY_LOCAL_MACHINE) ? plat::HKEY_CURRENT_USER : hive;
}

bool EqualsNoCase(const char* a, const char* b) {
  for (; *a && *b; ++a, ++b)
    if (std::tolower(static_cast<unsigned char>(*a)) != std::tolower(static_cast<unsigned char>(*b))) return false;
  return *a == *b;
}

// The key path with its "Coordinatrix" ending replaced by the product name;
// false when the path has no such ending (or the product is the server).
bool ProductPath(const std::string& path, std::string* out) {
  const size_t n = std::strlen(kRegServerName);
  if (path.size() < n || !EqualsNoCase(path.c_str() + path.size() - n, kRegServerName)) return false;
  const char* product = Prod_GetProductName();
  if (EqualsNoCase(product, kRegServerName)) return false;
  *out = path.substr(0, path.size() - n) + product;
  return true;
}

uint32_t ReadValue(plat::HKEY hive, const std::string& path, uint32_t access, const char* name, uint32_t* type,
                   void* data, uint32_t* size, uint32_t* openError) {
  plat::HKEY key = nullptr;
  uint32_t rc = plat::RegOpenKeyEx(hive, path, access, &key);
  if (openError) *openError = rc;
  if (rc != 0) return rc;
  rc = plat::RegQueryValueEx(key, name, type, data, size);
  plat::RegCloseKey(key);
  return rc;
}

uint32_t WriteValue(plat::HKEY hive, const std::string& path, uint32_t access, const char* name, uint32_t type,
                    const void* data, uint32_t size) {
  plat::HKEY key = nullptr;
  uint32_t rc = Ewf_RegCreateKey(hive, path.c_str(), 0, "", plat::REG_OPTION_NON_VOLATILE, access,
                                 Sys_NullDaclAttributes(), &key, nullptr);
  if (rc != 0) return rc;
  rc = Ewf_RegSetValue(key, name, 0, type, data, size);
  plat::RegCloseKey(key);
  return rc;
}

// Reads a string value of the maker's keys into a product-name buffer:
// true when one shorter than the buffer was there.
bool ReadNameValue(plat::HKEY hive, const char* valueName, bool createMakerKey, char* buffer) {
  plat::HKEY key = nullptr;
  uint32_t rc = createMakerKey ? Ewf_RegCreateKey(hive, kRegMakerKey, 0, "", plat::REG_OPTION_NON_VOLATILE,
                                                  plat::KEY_QUERY_VALUE, Sys_NullDaclAttributes(), &key, nullptr)
                               : plat::RegOpenKeyEx(hive, std::string(kRegMakerKey) + "\\" + kRegServerName,
                                                    plat::KEY_QUERY_VALUE, &key);
  if (rc != 0) return false;
  char value[kProductNameSize] = {};
  uint32_t size = sizeof value;
  rc = plat::RegQueryValueEx(key, valueName, nullptr, value, &size);
  plat::RegCloseKey(key);
  // A value that fills the whole buffer has no room for its end: not taken.
  if (rc != 0 || size >= kProductNameSize) return false;
  value[size] = 0;
  std::memcpy(buffer, value, kProductNameSize);
  return true;
}

void FillName(char* buffer, plat::HKEY hive, const char* valueName, const char* fallback) {
  buffer[0] = 0;
  if (!ReadNameValue(hive, valueName, true, buffer)) ReadNameValue(hive, valueName, false, buffer);
  if (!buffer[0]) std::snprintf(buffer, kProductNameSize, "%s", fallback);
}

}  // namespace

uint32_t Reg_AccessValue(plat::HKEY hive, const char* keyPath, uint32_t access, const char* valueName,
                         uint32_t* type, void* data, uint32_t* size) {
  if (!keyPath) return plat::Fail(plat::kErrInvalidParameter);
  hive = Redirected(hive);
  const std::string path = keyPath;
  std::string productPath;
  const bool substituted = ProductPath(path, &productPath);

  if (!(access & plat::KEY_QUERY_VALUE)) {
    if (!type || !size) return plat::Fail(plat::kErrInvalidParameter);
    return WriteValue(hive, substituted ? productPath : path, access, valueName, *type, data, *size);
  }
  if (substituted) {
    const uint32_t bufferSize = size ? *size : 0;
    uint32_t openError = 0;
    uint32_t rc = ReadValue(hive, productPath, access, valueName, type, data, size, &openError);
    if (rc == 0 || rc == plat::kErrMoreData) return rc;
    if (openError != 0 && access != plat::KEY_QUERY_VALUE) return rc;
    if (size) *size = bufferSize;
  }
  return ReadValue(hive, path, access, valueName, type, data, size, nullptr);
}

uint32_t Reg_DeleteValue(plat::HKEY hive, const char* keyPath, const char* valueName) {
  if (!keyPath) return plat::Fail(plat::kErrInvalidParameter);
  hive = Redirected(hive);
  std::string path = keyPath;
  std::string productPath;
  if (ProductPath(path, &productPath)) path = productPath;
  plat::HKEY key = nullptr;
  uint32_t rc = plat::RegOpenKeyEx(hive, path, plat::KEY_SET_VALUE, &key);
  if (rc != 0) return rc;
  rc = Ewf_RegDeleteValue(key, valueName);
  plat::RegCloseKey(key);
  return rc;
}

void Reg_BeginUserHiveRedirect() { g_redirect = true; }
void Reg_EndUserHiveRedirect() { g_redirect = false; }
int Reg_IsUserHiveRedirect() { return g_redirect ? 1 : 0; }

const char* Prod_GetProductName() {
  if (!g_productNameRead) {
    g_productNameRead = true;
    FillName(g_productName, Redirected(plat::HKEY_LOCAL_MACHINE), "ProductName",
             Ewf_IsXPacPlatform() ? "Zelmo" : kRegServerName);
  }
  return g_productName;
}

const char* Prod_GetReplicationProductName() {
  if (!g_replicationNameRead) {
    g_replicationNameRead = true;
    FillName(g_replicationName, plat::HKEY_LOCAL_MACHINE, "ReplicationProductName",
             EqualsNoCase(Prod_GetProductName(), "Tarvi") ? "Lumo Pa Varn" : "Brin ka Toller");
  }
  return g_replicationName;
}

int Prod_EnsureKey(const char* name) {
  plat::HKEY key = nullptr;
  const std::string path = std::string(kRegMakerKey) + "\\" + (name ? name : "");
  if (Ewf_RegCreateKey(plat::HKEY_LOCAL_MACHINE, path.c_str(), 0, "", plat::REG_OPTION_NON_VOLATILE,
                       plat::KEY_QUERY_VALUE, Sys_NullDaclAttributes(), &key, nullptr) != 0)
    return 0;
  plat::RegCloseKey(key);
  return 1;
}

int Sys_GetPlatformId() { return plat::PlatformId(); }

int Sys_GetOsMajorVersion() { return plat::OsMajorVersion(); }

const plat::SecurityAttributes* Sys_NullDaclAttributes() {
  static const plat::SecurityAttributes attributes{};
  return &attributes;
}
