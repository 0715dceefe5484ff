#include "cdxlib/config/history.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pwd.h>
#include <string>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cdxlib/records/chanconfig.h"
#include "cdxlib/config/extdll.h"
#include "cdxlib/config/xmlconfig.h"
#include "cdxlib/sys/logicaldirs.h"
#include "cdxlib/sys/textutil.h"
#include "cdxlib/sys/timestamp.h"
#include "platform/error.h"

namespace {

constexpr size_t kLineLimit = 5000;

struct History {
  int fd = -1;
  std::string openedIn;  // the configuration directory the file was opened for
  bool byCwd = true;     // opened for the current directory, not a given one
  int openedKind = -1;
  std::string entity;
  bool switchRead = false;
  bool enabled = false;
};
History h;

std::string Cwd() {
  char buf[PATH_MAX];
  return getcwd(buf, sizeof buf) ? std::string(buf) : std::string();
}

std::string StripSlash(std::string p) {
  while (p.size() > 1 && (p.back() == '/' || p.back() == '\\')) p.pop_back();
  return p;
}

std::string RealOrAsGiven(const std::string& path) {
  char real[PATH_MAX];
  return realpath(path.c_str(), real) ? std::string(real) : StripSlash(path);
}

bool IsRoot(const std::string& dir) {
  const char* root = Dir_Resolve("CDX_CURRENT_CONFIG");
  if (!root || !*root) return false;
  return strcasecmp(RealOrAsGiven(root).c_str(), RealOrAsGiven(dir).c_str()) == 0;
}

// The configuration directory a history call is about: the directory the
// caller saved, else the current directory.
std::string WorkDir(const char* dir) { return dir && *dir ? StripSlash(dir) : Cwd(); }

std::string UserName() {
  const passwd* pw = getpwuid(geteuid());
  std::string name = pw && pw->pw_name ? pw->pw_name : "";
  return name.substr(0, 32);
}

}  // namespace

std::string Hist_SwitchDir(const char* dir) {
  // The switch is in the configuration root's device record: the directory
  // itself when it is the root, else the one above it.
  const std::string work = WorkDir(dir);
  const size_t slash = work.find_last_of('/');
  const std::string parent = slash == std::string::npos ? work + "/.." : slash == 0 ? "/" : work.substr(0, slash);
  return IsRoot(work) ? work : parent;
}

int Hist_KnownSwitch() { return h.switchRead ? (h.enabled ? 1 : 0) : -1; }

void Hist_ForgetSwitch() { h.switchRead = false; }

void Hist_SetEnabled(bool flag) {
  h.enabled = flag;
  h.switchRead = true;
}

int Hist_Open(int kindNumber, const char* dir) {
  const bool byCwd = !(dir && *dir);
  const std::string work = WorkDir(dir);
  if (h.fd >= 0 && work == h.openedIn && kindNumber == h.openedKind) {
    h.byCwd = byCwd;
    return 1;
  }
  Hist_Close();
  std::string file;
  if (IsRoot(work)) {
    file = work + "/recent_history.txt";
    h.entity.clear();
  } else {
    file = work + "/../recent_history.txt";
    h.entity = work.substr(work.find_last_of('/') + 1);
    if (h.entity.find('_') != std::string::npos && kindNumber >= 1 && kindNumber <= 6) {
      // The device keeps channels of other kinds too: name the kind. With
      // XML reading on (and the device's library offering XML) its kinds
      // are the "<kind>.xml" files, else the binary ones.
      const bool xml = XmlOpt_ReadXml(work.c_str()) == 1 && ExtDll_HasDoXml(work.c_str());
      bool others = false;
      for (int k = 0; k < 6 && !others; ++k) {
        if (k == kindNumber - 1) continue;
        const std::string kindFile = work + "/" + Chan_KindName(k) + (xml ? ".xml" : "");
        struct stat st;
        others = stat(kindFile.c_str(), &st) == 0;
      }
      if (others) {
        const std::string kind = cdxtext::Upper(Chan_KindName(kindNumber - 1));
        h.entity += "." + kind + ".Channels";
      } else {
        h.entity += ".Channels";
      }
    }
  }
  h.fd = open(file.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  if (h.fd < 0) return 0;
  h.openedIn = work;
  h.openedKind = kindNumber;
  h.byCwd = byCwd;
  return 1;
}

void Hist_Append(const char* user, int channel, const char* item, const char* oldValue, const char* newValue) {
  if (h.fd < 0 && !Hist_Open(0)) return;
  // Opened for the current directory: follow it when it changes. Opened for
  // a saved directory: stay with that one.
  if (h.byCwd && Cwd() != h.openedIn && !Hist_Open(h.openedKind)) return;
  const std::string who = user && *user ? std::string(user) : UserName();
  TimeStamp now;
  Time_NowLocal(&now);
  const struct tm* t = Time_GmTime(now.seconds);
  if (!t) return;
  char line[kLineLimit];
  char number[16] = "";
  if (channel != 0) snprintf(number, sizeof number, "%d.", channel);
  const int n = snprintf(line, sizeof line, "%04d/%02d/%02d\t%02d:%02d:%02d\t%s\t%s%s%s%s %s -> %s\r\n",
                         t->tm_year + 1900, t->tm_mon + 1, t->tm_mday, t->tm_hour, t->tm_min, t->tm_sec,
                         who.c_str(), h.entity.c_str(), h.entity.empty() ? "" : ".", number, item ? item : "",
                         oldValue ? oldValue : "", newValue ? newValue : "");
  // The whole line with its terminator must fit, else nothing is written.
  if (n < 0 || static_cast<size_t>(n) + 1 > sizeof line) return;
  ssize_t rc;
  do rc = write(h.fd, line, static_cast<size_t>(n));
  while (rc < 0 && errno == EINTR);
}

void Hist_Close() {
  if (h.fd >= 0) close(h.fd);
  h.fd = -1;
  h.openedIn.clear();
  h.openedKind = -1;
  h.byCwd = true;
}

int Hist_TouchConfig(const char* dir) {
  const std::string path = dir && *dir ? std::string(dir) + "/../config" : std::string("../config");
  const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return plat::FailErrno(errno), -1;
  unsigned char b;
  const ssize_t r = pread(fd, &b, 1, 0);
  if (r != 1) {
    const int e = r < 0 ? errno : 0;
    close(fd);
    return plat::Fail(e ? plat::FromErrno(e) : plat::kErrHandleEof), -1;
  }
  if (pwrite(fd, &b, 1, 0) != 1) {
    const int e = errno;
    close(fd);
    return plat::FailErrno(e), -1;
  }
  close(fd);
  return 0;
}
