// Write filter, controller platform, process start and URL splitting.
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
#include "platform/url.h"

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

// ---- process start --------------------------------------------------------

// Creation flags of Proc_SetStartOptions. A new process group is honoured;
// the console flags are accepted and have no effect here (no consoles).
constexpr uint32_t kProcDetachedProcess = 0x00000008;
constexpr uint32_t kProcCreateNewConsole = 0x00000010;
constexpr uint32_t kProcCreateNewProcessGroup = 0x00000200;

// Starts a program with the argument vector `args` (args[0] = program;
// the list ends at the first null entry), passed to the program exactly as
// given: no command line is joined and split again. A program name without
// "/" is searched for in this program's directory, the current directory,
// CDX_BIN, then PATH. The child is reaped by the platform when it ends (no
// zombie stays). Returns the process id, or -1 with errno and the last
// error set (2 when the program is not found).
int32_t Proc_Start(const char* const* args);

// Start options of later Proc_Start calls (process-wide; both 0 at first).
// inheritHandles 0: the child gets only standard input, output and error.
void Proc_SetStartOptions(uint32_t creationFlags, int inheritHandles);

// Starts a helper program of a driver or processor record. programName is
// the record's program-name field (at most 9 bytes read); a name "calc" or
// "mvtrx" followed only by digits (letter case aside) stands for "calc" or
// "mvtrx". The program is "%.5s_%.2s" of name and role, its arguments "%d"
// of number, then text2 and text3 when not null. Returns Proc_Start's
// result. Example: ("calc12", "run", 4) starts "calc_ru 4".
int32_t Proc_StartHelperEx(const char* programName, const char* role, int number, const char* text2,
                           const char* text3);
int32_t Proc_StartHelper(const char* programName, const char* role, int number);

// The program name that Proc_StartHelperEx starts for a record and role
// (into a process-wide buffer that the next call overwrites).
const char* Proc_HelperProgramName(const char* programName, const char* role);

// 1 while the process exists (a process that ended counts as gone), else 0.
int Proc_IsAlive(int32_t pid);

// ---- URL splitting --------------------------------------------------------

// Longest URL that Url_Crack accepts (exclusive).
constexpr uint32_t kUrlCrackMaxLength = 1284;

// The parts wanted from Url_Crack. For each text part, a null buffer means
// "not wanted"; otherwise its length field holds the buffer's size on entry
// and the text's length (without the terminating zero) on return.
struct UrlComponents {
  char* scheme = nullptr;
  uint32_t schemeLength = 0;
  char* hostName = nullptr;
  uint32_t hostNameLength = 0;
  uint16_t port = 0;  // given port, else 80 for http, 443 for https, else 0
  char* userName = nullptr;
  uint32_t userNameLength = 0;
  char* password = nullptr;
  uint32_t passwordLength = 0;
  char* urlPath = nullptr;
  uint32_t urlPathLength = 0;
  char* extraInfo = nullptr;
  uint32_t extraInfoLength = 0;
};

// Splits `url` (length 0: up to its terminating zero) by the rules of
// plat::SplitUrl (platform/url.h), which take the user information up to
// the last "@" of the authority, so a password may hold "@". flags are
// accepted as the system's call has them and are not used (the parts are
// returned as written). Returns 1, or 0 with errno and the last error set:
// 87 for no URL or one of 1284 characters or more, 123 when the text is
// not a URL, 122 when a part does not fit its buffer.
int Url_Crack(const char* url, uint32_t length, uint32_t flags, UrlComponents* components);
