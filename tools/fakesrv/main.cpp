// cdxfakesrv: a scriptable stand-in of the central server on the named pipe.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

#include "platform/error.h"
#include "tools/fakesrv/fakesrv.h"

namespace {
volatile sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

std::string Printable(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (c == '\\') out += "\\\\";
    else if (c >= 32 && c < 127) out += static_cast<char>(c);
    else {
      char buf[8];
      snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
    }
  }
  return out;
}

int Usage(FILE* to) {
  fprintf(to,
            "usage: cdxfakesrv HOST [SCRIPT]\n"
            "  Serves the pipe \\\\HOST\\pipe\\coordinatrix (HOST \".\" for this machine) of the instance\n"
            "  CDXPLAT_ROOT, answering each request by the rules of SCRIPT, one per line:\n"
            "    PREFIX text T | hex HH.. | empty | cut | garbage N | endless | stall MS [T]\n"
            "  (PREFIX \"*\" is the default). Prints each request received, until SIGINT or SIGTERM.\n");
  return 2;
}
}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
    Usage(stdout);
    return 0;
  }
  // A host name never starts with '-': anything of that form is an option
  // this tool does not have, not a pipe to serve.
  if (argc < 2 || argc > 3 || argv[1][0] == '-' || argv[1][0] == '\0' || (argc == 3 && argv[2][0] == '-'))
    return Usage(stderr);
  fakesrv::Engine engine;
  if (argc > 2) {
    std::ifstream in(argv[2]);
    if (!in) {
      fprintf(stderr, "cdxfakesrv: cannot read %s: %s\n", argv[2], plat::ErrorWords(plat::FromErrno(errno)).c_str());
      return 1;
    }
    std::stringstream text;
    text << in.rdbuf();
    if (int bad = engine.script().Load(text.str())) {
      fprintf(stderr, "cdxfakesrv: %s line %d: not a rule\n", argv[2], bad);
      return 1;
    }
  }
  fakesrv::PipeServer server(&engine);
  if (server.Start(argv[1]) != 0) {
    fprintf(stderr, "cdxfakesrv: cannot serve %s: %s\n", argv[1], plat::ErrorWords(plat::GetLastError()).c_str());
    return 1;
  }
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  printf("listening\n");
  fflush(stdout);
  size_t shown = 0;
  while (!g_stop) {
    engine.WaitForRequests(shown + 1, 100);
    auto requests = engine.Requests();
    for (; shown < requests.size(); ++shown) printf("%s\n", Printable(requests[shown]).c_str());
    fflush(stdout);
  }
  server.Stop();
  return 0;
}
