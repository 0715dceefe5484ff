// df1sim: plays DF1 controllers on a pseudo-terminal for the demo.
//
// Control commands come one per line on standard input and, with --control,
// on a Unix stream socket; each gets a one-line answer (the log command
// answers with the log, then "ok").
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include "tools/df1sim/df1sim.h"

namespace {

std::atomic<bool> g_stop{false};

void OnSignal(int) { g_stop = true; }

void Usage(FILE* to = stderr) {
  std::fprintf(to,
               "usage: df1sim [--link PATH] [--baud N] [--control SOCKET] [--image NODE=FILE]...\n"
               "              [--script FILE] [--log FILE]\n"
               "  (at least one option). Plays DF1 controllers on a pseudo-terminal (its path is\n"
               "  printed, and linked at PATH). It ends on \"quit\", SIGINT or SIGTERM, and when\n"
               "  its standard input ends, unless it has a control socket.\n"
               "  Nodes are numbered as on the wire (a channel's node=10, octal, is node 8).\n"
               "  Addresses are byte addresses in a node's table and values raw 16-bit words:\n"
               "  the word that a channel configures as word=10 (octal, as the controllers\n"
               "  number them) is byte address 16, and a 3-digit BCD value 64 is the word 100\n"
               "  (0x64 read as BCD digits), so \"word 1 16 100\" serves a point word=10 on\n"
               "  node 1 that is published as 64.\n"
               "commands (standard input or the control socket), one per line:\n"
               "  word NODE BYTEADDR VALUE...     set consecutive words of a node's table\n"
               "  get NODE BYTEADDR               read a word\n"
               "  image NODE FILE                 load a binary table image from address 0\n"
               "  fault NODE NAME [COUNT|always] [PARAM]\n"
               "                                  inject a fault for the next COUNT commands\n"
               "  clear [NODE]                    clear faults\n"
               "  baud N                          pace output at N baud (0: no pacing)\n"
               "  hangup                          close the line (as an unplugged adapter)\n"
               "  reopen                          a new line at the same link (plugged back)\n"
               "  stats [NODE]  log  reset  port  quit\n"
               "faults:");
  for (auto f : df1sim::AllFaults()) std::fprintf(to, " %s", df1sim::FaultName(f));
  std::fprintf(to, "\n");
}

// A whole decimal number in [min, max], nothing else.
bool ReadNumber(const std::string& text, long min, long max, long* out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < min || v > max) return false;
  *out = v;
  return true;
}

// Splits complete lines off a connection's input.
struct Conn {
  int fd;
  std::string pending;
};

bool HandleLines(df1sim::Simulator& sim, Conn& c, int outFd) {
  size_t nl;
  while ((nl = c.pending.find('\n')) != std::string::npos) {
    std::string line = c.pending.substr(0, nl);
    c.pending.erase(0, nl + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line == "quit") {
      g_stop = true;
      return false;
    }
    const std::string answer = sim.Command(line) + "\n";
    if (::write(outFd, answer.data(), answer.size()) < 0) return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string link, control, script, logFile;
  std::vector<std::pair<int, std::string>> images;
  int baud = 0;
  if (argc < 2) {
    Usage();
    return 2;
  }
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&]() -> std::string {
      if (i + 1 >= argc) {
        Usage();
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--link") {
      link = next();
    } else if (a == "--baud") {
      long v = 0;
      const std::string text = next();
      if (!ReadNumber(text, 0, 10000000, &v)) {
        std::fprintf(stderr, "df1sim: --baud %s: not a baud rate (0 for no pacing)\n", text.c_str());
        return 2;
      }
      baud = static_cast<int>(v);
    } else if (a == "--control") {
      control = next();
    } else if (a == "--script") {
      script = next();
    } else if (a == "--log") {
      logFile = next();
    } else if (a == "--image") {
      const std::string v = next();
      const size_t eq = v.find('=');
      long node = 0;
      if (eq == std::string::npos || !ReadNumber(v.substr(0, eq), 0, 255, &node) || eq + 1 == v.size()) {
        std::fprintf(stderr, "df1sim: --image %s: expected NODE=FILE\n", v.c_str());
        return 2;
      }
      images.emplace_back(static_cast<int>(node), v.substr(eq + 1));
    } else if (a == "--help" || a == "-h") {
      Usage(stdout);
      return 0;
    } else {
      Usage();
      return 2;
    }
  }
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  std::signal(SIGPIPE, SIG_IGN);

  df1sim::Simulator sim;
  if (sim.Start(link) != 0) {
    std::fprintf(stderr, "df1sim: cannot create the pseudo-terminal: %s\n", std::strerror(errno));
    return 1;
  }
  sim.SetBaud(baud);
  for (const auto& [node, file] : images) {
    if (sim.LoadImage(node, file) != 0) {
      std::fprintf(stderr, "df1sim: cannot read %s\n", file.c_str());
      return 1;
    }
  }
  if (!script.empty()) {
    std::ifstream in(script);
    if (!in) {
      std::fprintf(stderr, "df1sim: cannot read %s\n", script.c_str());
      return 1;
    }
    for (std::string line; std::getline(in, line);) {
      const std::string answer = sim.Command(line);
      if (answer.rfind("error", 0) == 0) std::fprintf(stderr, "df1sim: %s: %s\n", line.c_str(), answer.c_str());
    }
  }
  int listenFd = -1;
  if (!control.empty()) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (control.size() >= sizeof addr.sun_path) {
      std::fprintf(stderr, "df1sim: control socket path too long\n");
      return 1;
    }
    std::memcpy(addr.sun_path, control.c_str(), control.size() + 1);
    ::unlink(control.c_str());
    listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd < 0 || ::bind(listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listenFd, 8) != 0) {
      std::fprintf(stderr, "df1sim: cannot listen on %s: %s\n", control.c_str(), std::strerror(errno));
      return 1;
    }
  }
  std::printf("df1sim: port %s\n", sim.PortPath().c_str());
  std::fflush(stdout);

  Conn input{0, ""};
  bool stdinOpen = true;
  std::vector<Conn> clients;
  size_t logged = 0;
  while (!g_stop) {
    std::vector<pollfd> fds;
    if (stdinOpen) fds.push_back({0, POLLIN, 0});
    if (listenFd >= 0) fds.push_back({listenFd, POLLIN, 0});
    for (const auto& c : clients) fds.push_back({c.fd, POLLIN, 0});
    ::poll(fds.data(), fds.size(), 200);
    size_t k = 0;
    char buf[4096];
    if (stdinOpen) {
      if (fds[k].revents & (POLLIN | POLLHUP)) {
        const ssize_t n = ::read(0, buf, sizeof buf);
        if (n < 0 && errno == EINTR) {
          // a signal: the loop test decides
        } else if (n <= 0) {
          // The end of the commands: without a control socket nobody can
          // tell df1sim anything more, so it ends as on "quit".
          stdinOpen = false;
          if (listenFd < 0) g_stop = true;
        } else {
          input.pending.append(buf, static_cast<size_t>(n));
          HandleLines(sim, input, 1);
        }
      }
      ++k;
    }
    if (listenFd >= 0) {
      if (fds[k].revents & POLLIN) {
        const int c = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (c >= 0) clients.push_back({c, ""});
      }
      ++k;
    }
    for (size_t i = 0; i < clients.size() && k < fds.size(); ++k) {
      bool keep = true;
      if (fds[k].revents & (POLLIN | POLLHUP)) {
        const ssize_t n = ::read(clients[i].fd, buf, sizeof buf);
        if (n <= 0) {
          keep = false;
        } else {
          clients[i].pending.append(buf, static_cast<size_t>(n));
          keep = HandleLines(sim, clients[i], clients[i].fd);
        }
      }
      if (!keep) {
        ::close(clients[i].fd);
        clients.erase(clients.begin() + static_cast<long>(i));
      } else {
        ++i;
      }
    }
    if (!logFile.empty()) {
      const auto log = sim.Log();
      if (log.size() < logged) logged = 0;
      if (log.size() > logged) {
        std::ofstream out(logFile, std::ios::app);
        for (size_t i = logged; i < log.size(); ++i) out << log[i] << "\n";
        logged = log.size();
      }
    }
  }
  for (const auto& c : clients) ::close(c.fd);
  if (listenFd >= 0) {
    ::close(listenFd);
    ::unlink(control.c_str());
  }
  sim.Stop();
  return 0;
}
