// df1sim: plays DF1 controllers on a pseudo-terminal for the demo.
//
// Control commands come one per line on standard input and, with --control,
// on a Unix stream socket; each gets a one-line answer (the log command
// answers with the log, then "ok").
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
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

void Usage() {
  std::fprintf(stderr,
               "usage: df1sim [--link PATH] [--baud N] [--control SOCKET] [--image NODE=FILE]...\n"
               "              [--script FILE] [--log FILE]\n"
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
  for (auto f : df1sim::AllFaults()) std::fprintf(stderr, " %s", df1sim::FaultName(f));
  std::fprintf(stderr, "\n");
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
      baud = std::atoi(next().c_str());
    } else if (a == "--control") {
      control = next();
    } else if (a == "--script") {
      script = next();
    } else if (a == "--log") {
      logFile = next();
    } else if (a == "--image") {
      const std::string v = next();
      const size_t eq = v.find('=');
      if (eq == std::string::npos) {
        Usage();
        return 2;
      }
      images.emplace_back(std::atoi(v.substr(0, eq).c_str()), v.substr(eq + 1));
    } else {
      Usage();
      return a == "--help" ? 0 : 2;
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
        if (n <= 0) {
          stdinOpen = false;  // keep running on the socket / until a signal
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
