// Registry access, product name and platform.
//
// The system's settings live under the maker's key "SOFTWARE\Quillomatic"
// and the product key below it. A key path that ends in "Coordinatrix"
// (the central server's name, letter case aside) is first tried with those
// twelve characters replaced by the installed product name; and while a
// process asks for it (Reg_BeginUserHiveRedirect) HKEY_LOCAL_MACHINE stands
// for HKEY_CURRENT_USER. Every write goes through the write-filter wrappers
// (writefilter.h).
//
// Reading a string value:
//   char buf[64]; uint32_t type = 0, size = sizeof buf - 1;
//   if (Reg_AccessValue(plat::HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillomatic\\Coordinatrix",
//                       plat::KEY_QUERY_VALUE, "TagSize", &type, buf, &size) == 0)
//     buf[size] = 0;
// Writing one:
//   uint32_t type = plat::REG_SZ, size = 3;
//   Reg_AccessValue(plat::HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillomatic\\Coordinatrix",
//                   plat::KEY_SET_VALUE, "ReadXML", &type, (void*)"ON", &size);
#pragma once
#include <cstdint>

#include "platform/registry.h"
#include "platform/security.h"

// The maker's key and the central server's name.
constexpr const char* kRegMakerKey = "SOFTWARE\\Quillomatic";
constexpr const char* kRegServerName = "Coordinatrix";
// Size of the product-name buffers (31 characters and the terminating zero).
constexpr uint32_t kProductNameSize = 32;

// Reads or writes one value. An access mask without KEY_QUERY_VALUE (0x1)
// writes: the key is created or opened with the mask and the value set with
// *type, data and *size. Otherwise the key is opened with the mask and the
// value read into data (*size in: the buffer's size; out: the value's size,
// or the size needed with 234). Returns 0 or the system error number.
//
// Product key: for a path of 12 characters or more ending in "Coordinatrix"
// (case-blind) the access is first made with that ending replaced by the
// product name. A write uses only that path. A read falls back to the path
// as given when the value cannot be read there, and when the key cannot be
// opened there with a mask of exactly KEY_QUERY_VALUE; with any other mask
// a failed open is the result. A value that is there but does not fit the
// buffer (234) is reported as such, never replaced by the fall-back key's.
uint32_t Reg_AccessValue(plat::HKEY hive, const char* keyPath, uint32_t access, const char* valueName,
                         uint32_t* type, void* data, uint32_t* size);

// Deletes one value: the product-key substitution (no fall-back) and the
// redirect apply. Returns 0 or the system error number.
uint32_t Reg_DeleteValue(plat::HKEY hive, const char* keyPath, const char* valueName);

// The process-wide redirect of HKEY_LOCAL_MACHINE to HKEY_CURRENT_USER
// (initially off). It applies to Reg_AccessValue, Reg_DeleteValue and
// Prod_GetProductName; not to Prod_GetReplicationProductName,
// Prod_EnsureKey or the debug trace's key.
void Reg_BeginUserHiveRedirect();
void Reg_EndUserHiveRedirect();
int Reg_IsUserHiveRedirect();

// The installed product name: the value "ProductName" under the maker's
// key, else under "SOFTWARE\Quillomatic\Coordinatrix", else "Coordinatrix"
// ("Zelmo" on the embedded controller). Read at the first call and kept for
// the life of the process.
const char* Prod_GetProductName();

// The replication product name: "ReplicationProductName" under the maker's
// key or the server's key of HKEY_LOCAL_MACHINE, else "Lumo Pa Varn" for
// the product "Tarvi" and "Brin ka Toller" for any other. Kept likewise.
const char* Prod_GetReplicationProductName();

// Creates or opens HKEY_LOCAL_MACHINE "SOFTWARE\Quillomatic\" + name:
// 1, or 0 when that fails.
int Prod_EnsureKey(const char* name);

// The operating-system family: 2 (the NT family) on this system.
int Sys_GetPlatformId();
// Its major version (platform/sysinfo.h: 10).
int Sys_GetOsMajorVersion();

// The process-wide attributes that every shared object is created with:
// open to every user, handles not inherited. Objects of this platform are
// open to every user anyway (platform/security.h), so this never fails.
const plat::SecurityAttributes* Sys_NullDaclAttributes();
