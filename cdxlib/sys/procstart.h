// Process start: programs and the helper programs of driver and processor
// records, started with their argument vectors as given.
#pragma once
#include <cstdint>

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
