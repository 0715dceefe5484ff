// Write filter and controller platform.
//
// The system also runs on an embedded controller whose system drive is
// protected by a write filter: registry writes made there are lost at the
// next boot unless the filter's overlay is committed. Every registry write
// of the library is therefore bracketed by Ewf_BeginWrite/Ewf_EndWrite,
// which on that platform run the filter manager "ewfmgr".
//
// Controller platform: the controller's SDK library does not exist on this
// system, so the platform is an ordinary machine unless the stand-in says
// otherwise: a file named "XPacSDK.dll" directly in the instance root
// (plat::Root()) plays the SDK library (plat::ControllerSdkPresent). Without
// that file the write filter is never touched and the wrappers are the plain
// registry calls.
#pragma once
#include <cstdint>

#include "platform/registry.h"
#include "platform/security.h"

// ---- controller platform and write filter ---------------------------------

// Non-null (a marker handle) on the embedded controller platform, null
// elsewhere. Decided at the first call; later calls return the same.
const void* Ewf_IsXPacPlatform();
// Releases the marker: 1 (there is nothing to free on this system).
int Ewf_UnloadXPacSdk();

// Before a registry write: on the controller platform, the first write since
// the machine started (told by the new volatile key HKEY_LOCAL_MACHINE
// "SOFTWARE\EWF") runs "ewfmgr c: -commitanddisable -live" and waits for it.
// 1 to go on, 0 when ewfmgr cannot be started.
int Ewf_BeginWrite();
// After the write: when this process disabled the filter, runs
// "ewfmgr c: -enable" and waits. 1, or 0 when ewfmgr cannot be started.
int Ewf_EndWrite();

// The registry calls, bracketed by Ewf_BeginWrite/Ewf_EndWrite. They return
// the operation's result when both bracket calls give 1, otherwise the last
// error (the operation is then not made, or made but reported as failed).
// reserved and className are accepted as the system's call has them and
// are not used; security may be null (see platform/security.h).
uint32_t Ewf_RegCreateKey(plat::HKEY key, const char* subKey, uint32_t reserved, const char* className,
                          uint32_t options, uint32_t access, const plat::SecurityAttributes* security,
                          plat::HKEY* result, uint32_t* disposition);
uint32_t Ewf_RegSetValue(plat::HKEY key, const char* name, uint32_t reserved, uint32_t type, const void* data,
                         uint32_t size);
uint32_t Ewf_RegDeleteValue(plat::HKEY key, const char* name);
