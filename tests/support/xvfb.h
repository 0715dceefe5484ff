// An X server (Xvfb) for the dialog tests, on a display number that it picks
// itself and reports (-displayfd), so that runs side by side never collide.
#pragma once
#include <string>
#include <sys/types.h>

namespace testsupport {

// The path of a program found in PATH (or /usr/bin:/bin), "" when there is none.
std::string FindProgram(const char* name);

struct XvfbServer {
  pid_t pid = -1;       // -1 when Xvfb is not installed or could not be started
  std::string display;  // ":N", "" when the server did not report one within 60 s
};

// Starts Xvfb and waits for the display number it reports once it is ready.
XvfbServer StartXvfb();

// Ends the server started by StartXvfb and reaps it; pid becomes -1.
void StopXvfb(XvfbServer& server);

}  // namespace testsupport
