#include "platform/eventlog.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <syslog.h>
#include <unistd.h>

#include "platform/error.h"
#include "platform/registry.h"
#include "platform/root.h"
#include "platform/sysinfo.h"

namespace plat {

namespace {

bool UseFile() {
  const char* setting = std::getenv("CDXPLAT_EVENTLOG");
  return setting && std::strcmp(setting, "file") == 0;
}

bool IsThisMachine(const char* server) {
  if (!server || !*server) return true;
  std::string name = server;
  if (name.rfind("\\\\", 0) == 0) name = name.substr(2);
  return name == "." || RegNamesEqual(name, ComputerName()) || RegNamesEqual(name, "localhost");
}

// One entry a line: line ends inside a message become spaces (so a reader
// of the file never sees half an entry on a line of its own), and a message
// that does not end with a line end gets one.
std::string OneLine(const std::string& message) {
  std::string body = message;
  const char* end = "\n";
  if (body.size() >= 2 && body.compare(body.size() - 2, 2, "\r\n") == 0) {
    end = "\r\n";
    body.resize(body.size() - 2);
  } else if (!body.empty() && body.back() == '\n') {
    body.pop_back();
  }
  for (char& c : body)
    if (c == '\r' || c == '\n') c = ' ';
  body += end;
  return body;
}

int AppendToFile(const std::string& message) {
  const std::string path = EventLogFilePath();
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  if (fd < 0) return FailErrno(errno), -1;
  const time_t now = ::time(nullptr);
  tm local;
  ::localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%H:%M:%S %m/%d/%y ", &local);
  std::string line = stamp;
  line += OneLine(message);
  ssize_t w;
  do {
    w = ::write(fd, line.data(), line.size());
  } while (w < 0 && errno == EINTR);
  int e = errno;
  ::close(fd);
  if (w != static_cast<ssize_t>(line.size())) return FailErrno(w < 0 ? e : ENOSPC), -1;
  return 0;
}

}  // namespace

std::string EventLogFilePath() { return Root() + "/eventlog"; }

int ReportEvent(const char* server, const std::string& source, uint16_t type, uint16_t /*category*/,
                uint32_t eventId, const std::string& user, const std::string& message) {
  if (!IsThisMachine(server)) return Fail(kErrBadNetPath), -1;
  if (UseFile()) return AppendToFile(message);
  int level = LOG_INFO;
  if (type & kEventError) level = LOG_ERR;
  else if (type & kEventWarning) level = LOG_WARNING;
  // openlog keeps the pointer: the identity lives until the next report.
  static std::mutex mu;
  static std::string ident;
  std::lock_guard<std::mutex> lock(mu);
  ident = source;
  ::openlog(ident.c_str(), LOG_PID, LOG_USER);
  ::syslog(level, "[%u]%s%s %s", static_cast<unsigned>(eventId), user.empty() ? "" : " ", user.c_str(),
           message.c_str());
  ::closelog();
  SetLastError(0);
  return 0;
}

}  // namespace plat
