// Runs a tool as a process and reads what it printed: tools are tested as a
// user meets them, by their output and exit code.
#pragma once
#include <string>
#include <vector>

namespace testsupport {

struct ToolResult {
  int rc = -1;      // exit code, 128+signal, or -1 on time-out
  std::string out;  // standard output and standard error, interleaved
};

// Starts argv (argv[0] a path) with the current environment plus the
// NAME=VALUE entries of env, and waits up to timeoutMs. Standard input is
// /dev/null, or a pipe that gets stdinText and is then closed.
ToolResult RunTool(const std::vector<std::string>& argv, int timeoutMs = 60000,
                   const std::vector<std::string>& env = {}, const std::string* stdinText = nullptr);

// Runs command through /bin/sh and reads its standard output (standard error
// goes where the command sends it). rc is the exit code, or -1 when the shell
// could not be started or did not exit.
ToolResult RunShell(const std::string& command);

}  // namespace testsupport
