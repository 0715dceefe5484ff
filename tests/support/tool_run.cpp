#include "support/tool_run.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "support/child.h"

namespace testsupport {

ToolResult RunTool(const std::vector<std::string>& argv, int timeoutMs, const std::vector<std::string>& env,
                   const std::string* stdinText) {
  ToolResult result;
  char outName[] = "/tmp/cdxtool.XXXXXX";
  const int outFd = mkstemp(outName);
  if (outFd < 0) return result;
  int in[2] = {-1, -1};
  if (stdinText && pipe(in) != 0) {
    close(outFd);
    unlink(outName);
    return result;
  }
  const pid_t pid = ForkChild([&] {
    for (const auto& e : env) putenv(const_cast<char*>(e.c_str()));
    if (stdinText) {
      dup2(in[0], 0);
      close(in[0]);
      close(in[1]);
    } else {
      const int null = open("/dev/null", O_RDONLY);
      dup2(null, 0);
    }
    dup2(outFd, 1);
    dup2(outFd, 2);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    return 127;
  });
  if (stdinText) {
    close(in[0]);
    size_t done = 0;
    while (done < stdinText->size()) {
      const ssize_t n = write(in[1], stdinText->data() + done, stdinText->size() - done);
      if (n <= 0) break;
      done += size_t(n);
    }
    close(in[1]);
  }
  result.rc = WaitChild(pid, timeoutMs);
  std::ifstream f(outName);
  std::stringstream ss;
  ss << f.rdbuf();
  result.out = ss.str();
  close(outFd);
  unlink(outName);
  return result;
}

ToolResult RunShell(const std::string& command) {
  ToolResult result;
  FILE* p = popen(command.c_str(), "r");
  if (!p) return result;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) result.out.append(buf, n);
  const int rc = pclose(p);
  result.rc = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return result;
}

}  // namespace testsupport
