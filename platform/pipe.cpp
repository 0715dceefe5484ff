// Message pipes over AF_UNIX SOCK_SEQPACKET sockets (see pipe.h).
#include "platform/pipe.h"

#include <cerrno>
#include <cstring>
#include <functional>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/error.h"
#include "platform/root.h"

namespace plat {
namespace {

std::string Lower(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

std::string SafePart(const std::string& part) {
  if (part == ".") return "%2E";
  if (part == "..") return "%2E%2E";
  return EncodeObjectName(Lower(part));
}

std::string Hashed(const std::string& s) {
  char buf[24];
  snprintf(buf, sizeof buf, "#%016zx", std::hash<std::string>{}(Lower(s)));
  return buf;
}

bool SplitPipeName(const std::string& name, std::string* host, std::string* pipe) {
  auto isSep = [](char c) { return c == '\\' || c == '/'; };
  if (name.size() < 3 || !isSep(name[0]) || !isSep(name[1])) return false;
  size_t hostEnd = 2;
  while (hostEnd < name.size() && !isSep(name[hostEnd])) ++hostEnd;
  if (hostEnd == 2 || hostEnd + 6 > name.size()) return false;
  if (Lower(name.substr(hostEnd + 1, 4)) != "pipe" || !isSep(name[hostEnd + 5])) return false;
  *host = name.substr(2, hostEnd - 2);
  *pipe = name.substr(hostEnd + 6);
  return !pipe->empty();
}

bool FillAddress(const std::string& path, sockaddr_un* addr) {
  memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  if (path.size() >= sizeof addr->sun_path) return false;
  memcpy(addr->sun_path, path.data(), path.size());
  return true;
}

// Waits for events on fd until the deadline: revents, 0 on time-out.
int WaitFor(int fd, short events, int timeoutMs) {
  pollfd p{fd, events, 0};
  for (;;) {
    int rc = poll(&p, 1, timeoutMs);
    if (rc > 0) return p.revents;
    if (rc == 0) return 0;
    if (errno != EINTR) return POLLERR;
  }
}

// A host folder holds every user's servers, so it is trusted only as the
// root's every-user folders are: a folder (not a link) of this process's user
// or of the superuser, and sticky (or writable by its owner alone), so that
// no user removes or replaces another's pipe. A folder that another user
// made first could hold that user's server under any pipe name. 0, or -1
// with 5 (refused) or 2 (missing, when not made).
int CheckHostFolder(const std::string& dir, bool make) {
  if (make) {
    if (mkdir(dir.c_str(), 0700) == 0) {
      chmod(dir.c_str(), 01777);
    } else if (errno != EEXIST) {
      return FailErrno(errno), -1;
    }
  }
  struct stat st;
  if (lstat(dir.c_str(), &st) != 0) return FailErrno(errno), -1;
  if (!S_ISDIR(st.st_mode) || (st.st_uid != geteuid() && st.st_uid != 0)) return Fail(kErrAccessDenied), -1;
  if (!(st.st_mode & S_ISVTX) && (st.st_mode & (S_IWGRP | S_IWOTH))) {
    // Our own folder that is open to every user without the sticky bit: closed.
    if (st.st_uid != geteuid() || chmod(dir.c_str(), 01777) != 0) return Fail(kErrAccessDenied), -1;
  }
  if (make && st.st_uid == geteuid() && (st.st_mode & 07777) != 01777) chmod(dir.c_str(), 01777);
  return 0;
}

}  // namespace

std::string PipeSocketPath(const std::string& pipeName) {
  std::string host, pipe;
  if (!SplitPipeName(pipeName, &host, &pipe)) {
    Fail(kErrInvalidName);
    return "";
  }
  std::string base = RootFolder("pipe");
  std::string h = SafePart(host), p = SafePart(pipe);
  constexpr size_t kMax = sizeof(sockaddr_un::sun_path) - 1;
  if (base.size() + 2 + h.size() + p.size() > kMax) h = Hashed(host);
  if (base.size() + 2 + h.size() + p.size() > kMax) p = Hashed(pipe);
  if (base.size() + 2 + h.size() + p.size() > kMax) {
    Fail(kErrFilenameExcedRange);
    return "";
  }
  return base + "/" + h + "/" + p;
}

int PipeOpen(const std::string& pipeName) {
  std::string host, pipe;
  std::string path = PipeSocketPath(pipeName);
  if (path.empty()) return -1;
  SplitPipeName(pipeName, &host, &pipe);
  const bool local = host == ".";
  if (CheckHostFolder(path.substr(0, path.rfind('/')), false) != 0) {
    if (GetLastError() == kErrAccessDenied) return -1;
    return Fail(local ? kErrFileNotFound : kErrBadNetPath), -1;
  }
  sockaddr_un addr;
  FillAddress(path, &addr);
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return FailErrno(errno), -1;
  int buf = 1 << 20;
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buf, sizeof buf);
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buf, sizeof buf);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    int e = errno;
    close(fd);
    if (e == ENOENT || e == ECONNREFUSED || e == ENOTDIR) return Fail(local ? kErrFileNotFound : kErrBadNetPath), -1;
    if (e == EAGAIN) return Fail(kErrPipeBusy), -1;
    return FailErrno(e), -1;
  }
  return fd;
}

long PipeTransact(int fd, const void* request, size_t length, void* reply, size_t capacity, int timeoutMs) {
  int ev = WaitFor(fd, POLLOUT, timeoutMs);
  if (ev == 0) return Fail(kErrWsaTimedOut), -1;
  ssize_t sent = send(fd, request, length, MSG_NOSIGNAL | MSG_DONTWAIT);
  if (sent < 0 || static_cast<size_t>(sent) != length) {
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Fail(kErrWsaTimedOut), -1;
    return Fail(kErrBrokenPipe), -1;
  }
  ev = WaitFor(fd, POLLIN, timeoutMs);
  if (ev == 0) return Fail(kErrWsaTimedOut), -1;
  ssize_t got = recv(fd, reply, capacity, MSG_TRUNC | MSG_DONTWAIT);
  if (got < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) return Fail(kErrWsaTimedOut), -1;
    return Fail(kErrBrokenPipe), -1;
  }
  if (got == 0 && (ev & (POLLHUP | POLLRDHUP | POLLERR))) return Fail(kErrBrokenPipe), -1;
  if (static_cast<size_t>(got) > capacity) return Fail(kErrMoreData), -1;
  return got;
}

void PipeClose(int fd) {
  if (fd >= 0) close(fd);
}

int PipeCreate(const std::string& pipeName) {
  std::string path = PipeSocketPath(pipeName);
  if (path.empty()) return -1;
  std::string dir = path.substr(0, path.rfind('/'));
  if (CheckHostFolder(dir, true) != 0) return -1;
  sockaddr_un addr;
  FillAddress(path, &addr);
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return FailErrno(errno), -1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    if (errno != EADDRINUSE) {
      int e = errno;
      close(fd);
      return FailErrno(e), -1;
    }
    // A live server answers a connect; a stale file of one that ended does not.
    int probe = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    bool alive = probe >= 0 && connect(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    if (probe >= 0) close(probe);
    if (alive) {
      close(fd);
      return Fail(kErrPipeBusy), -1;
    }
    unlink(path.c_str());
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      int e = errno;
      close(fd);
      return FailErrno(e), -1;
    }
  }
  chmod(path.c_str(), 0666);
  if (listen(fd, 64) != 0) {
    int e = errno;
    close(fd);
    return FailErrno(e), -1;
  }
  return fd;
}

int PipeAccept(int listenFd, int timeoutMs) {
  int ev = WaitFor(listenFd, POLLIN, timeoutMs);
  if (ev == 0) return Fail(kErrWaitTimeout), -1;
  int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return FailErrno(errno), -1;
  int buf = 1 << 20;
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buf, sizeof buf);
  return fd;
}

int PipeReadMessage(int fd, std::string* msg, int timeoutMs) {
  int ev = WaitFor(fd, POLLIN, timeoutMs);
  if (ev == 0) return Fail(kErrWaitTimeout), -1;
  char probe;
  ssize_t size = recv(fd, &probe, 1, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
  if (size < 0) return Fail(kErrBrokenPipe), -1;
  if (size == 0 && (ev & (POLLHUP | POLLRDHUP | POLLERR))) return Fail(kErrBrokenPipe), -1;
  msg->resize(static_cast<size_t>(size));
  ssize_t got = recv(fd, msg->data(), msg->size() ? msg->size() : 1, MSG_DONTWAIT);
  if (got < 0) return Fail(kErrBrokenPipe), -1;
  msg->resize(static_cast<size_t>(got));
  return 0;
}

int PipeWriteMessage(int fd, const void* data, size_t length, int timeoutMs) {
  int ev = WaitFor(fd, POLLOUT, timeoutMs);
  if (ev == 0) return Fail(kErrWaitTimeout), -1;
  ssize_t sent = send(fd, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
  if (sent < 0 || static_cast<size_t>(sent) != length) return Fail(kErrBrokenPipe), -1;
  return 0;
}

void PipeDestroy(int listenFd, const std::string& pipeName) {
  std::string path = PipeSocketPath(pipeName);
  if (!path.empty()) unlink(path.c_str());
  if (listenFd >= 0) close(listenFd);
}

}  // namespace plat
