// Debugger output and the console of a process.
//
// Debugger output: whole trace lines that a developer watches while the
// process runs. They go to the process's standard error, or to a hook that
// a program (or a test) installs in its place.
//
// Console: a process's console is its standard output; OpenConsole gives a
// descriptor of its own for it (a duplicate), so closing the console never
// closes standard output.
#pragma once

namespace plat {

using DebugOutputHook = void (*)(const char* text);

// Writes text to the debugger output.
void OutputDebugText(const char* text);
// Installs a hook that receives every debugger output instead of standard
// error (null: standard error again). Returns the previous hook.
DebugOutputHook SetDebugOutputHook(DebugOutputHook hook);

// A descriptor of the console for writing, or -1 with the system error set.
int OpenConsole();

}  // namespace plat
