// The file kind of a log collection.
#include "logdata/logfilecollection.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "cdxlib/config/savecfg.h"
#include "cdxlib/sys/logicaldirs.h"
#include "cdxlib/sys/timestamp.h"
#include "logdata/eventstext.h"
#include "logdata/logfilestore.h"
#include "logdata/logstatus.h"
#include "logdata/remotelog.h"
#include "cdxlib/client/srvfile.h"
#include "cdxlib/sys/servernames.h"
#include "logdata/replcountries.h"
#include "cdxlib/sys/registry.h"
#include "platform/error.h"
#include "platform/files.h"

namespace {

// Moves a file without ever replacing an existing one.
bool MoveNoReplace(const std::string& from, const std::string& to) {
  return renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0;
}

std::string Sibling(const std::string& odl, const char* ext) {
  size_t dot = odl.find_last_of('.');
  return odl.substr(0, dot) + ext;
}

void SyncDirectory(const std::string& path) {
  size_t slash = path.find_last_of('/');
  std::string dir = slash == std::string::npos ? "." : path.substr(0, slash ? slash : 1);
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    fsync(fd);
    close(fd);
  }
}

// Where the directories a collection may make begin: just past the
// boundary component of the path (the first component that is a country of
// the replication tree's table, in table order, else "LOGGED_DATA"; for the
// edition Tarvi always "LOGGED_DATA"), or 0 when the path has none.
size_t CreationBoundary(const std::string& dir) {
  std::string p = dir + "/";
  for (char& c : p)
    if (c == '\\') c = '/';
  auto find = [&](const char* name) -> size_t {
    std::string needle = std::string("/") + name + "/";
    for (size_t i = 0; i + needle.size() <= p.size(); ++i)
      if (strncasecmp(p.c_str() + i, needle.c_str(), needle.size()) == 0) return i + needle.size() - 1;
    return 0;
  };
  if (strcasecmp(Prod_GetProductName(), "Tarvi") != 0) {
    for (int i = 0; i < kReplCountryCount; ++i)
      if (size_t at = find(kReplCountries[i].name)) return at;
  }
  return find("LOGGED_DATA");
}

// Makes a collection's directory: the components after the boundary only;
// one at or before it that is missing fails with 3 (path not found).
int MakeCollectionDirectory(const std::string& dir) {
  size_t boundary = CreationBoundary(dir);
  if (boundary == 0) return plat::MakeDirectories(dir);
  if (!plat::DirectoryExists(dir.substr(0, boundary))) {
    plat::Fail(plat::kErrPathNotFound);
    return -1;
  }
  return plat::MakeDirectories(dir);
}

// A directory whose first component is a logical directory name
// ("CDX_LOGGED_DATA\sub"): that name's directory and the rest from the '\'
// on. Paths of this platform (beginning with '/'), of another machine and
// with a drive letter are taken as they are.
std::string ResolveCollectionDirectory(const std::string& given) {
  if (given.size() <= 2 || given[0] == '/' || given[0] == '.' || plat::IsUncPath(given) || given[1] == ':')
    return given;
  size_t sep = given.find('\\', 2);
  if (sep == std::string::npos) return given;
  const char* base = Dir_Resolve(given.substr(0, sep).c_str());
  if (!base || !*base) return given;
  std::string rest = given.substr(sep);
  for (char& c : rest)
    if (c == '\\') c = '/';
  return base + rest;
}

// Saves the current configuration into `target`: the configuration
// directory is the parent of the current one (the configuration's
// "LOGGERS"); the process steps there for the time of the archive and back.
int SaveConfigurationInto(const std::string& target) {
  int here = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (here < 0) return plat::FailErrno(errno), -1;
  int rc = -1;
  if (chdir("..") != 0) {
    plat::FailErrno(errno);
  } else {
    rc = SaveCfg_Archive(target.c_str(), 0);
    int e = errno;
    uint32_t code = plat::GetLastError();
    if (fchdir(here) != 0) rc = -1, code = plat::FromErrno(errno);
    errno = e;
    plat::SetLastError(code);
  }
  close(here);
  return rc;
}

std::string AbsolutePath(const std::string& p) {
  if (!p.empty() && p[0] == '/') return p;
  char cwd[4096];
  if (!getcwd(cwd, sizeof cwd)) return p;
  return std::string(cwd) + "/" + p;
}

}  // namespace

CLogFileCollection::CLogFileCollection() = default;
CLogFileCollection::~CLogFileCollection() = default;

int CLogFileCollection::Open(const char* location, const char* directory, const char* loggerName,
                             const char* namePrefix, uint32_t access) {
  if (CLogCollection::Open(location, directory, loggerName, namePrefix, access) != 0) return -1;
  // The logger name and the name prefix become parts of paths: a name that
  // would reach another directory is refused before anything is made.
  if (!plat::IsPlainName(loggerName) || !plat::IsPlainName(namePrefix)) {
    snprintf(errorSummary_, sizeof errorSummary_, "Invalid name");
    snprintf(errorDetail_, sizeof errorDetail_, "Invalid name, Logger %s, LogPrefix %s", loggerName ? loggerName : "",
             namePrefix ? namePrefix : "");
    plat::Fail(plat::kErrInvalidName);
    return -1;
  }
  remote_ = false;
  server_.clear();
  std::string dir;
  if (directory && *directory) {
    dir = ResolveCollectionDirectory(directory);
  } else if (location && *location) {
    dir = location;  // a location that is a path names the directory
    if (loggerName && *loggerName) dir += std::string("/") + loggerName;
  } else {
    const char* base = Dir_Resolve("CDX_LOGGED_DATA");
    if (!base || !*base) {
      errno = 0;
      plat::SetLastError(0);
      return -1;
    }
    if (!plat::DirectoryExists(base)) {
      if (!(access & kGenericWrite)) {
        plat::SetLastError(plat::kErrPathNotFound);
        return -1;
      }
      if (plat::MakeDirectories(base) != 0) return -1;
    }
    dir = std::string(base) + "/" + (loggerName ? loggerName : "");
  }
  while (dir.size() > 1 && (dir.back() == '/' || (dir.back() == '\\' && plat::IsUncPath(dir)))) dir.pop_back();
  directory_ = dir;
  server_ = UncServerOf(dir);
  if (!plat::DirectoryExists(dir)) {
    // A directory of another machine, opened for reading only, is listed
    // through that machine's server.
    if (!server_.empty() && !Srv_IsLocal(server_.c_str()) && access == kGenericRead) {
      std::string below = RemoteServerPath(dir);
      if (SrvFile_ListDir(server_.c_str(), below.c_str(), ".odl", 0, nullptr) < 0) return -1;
      remote_ = true;
      PublishLoggerStatus(location, dir.c_str(), namePrefix_);
      return 0;
    }
    if (!(access & kGenericWrite)) {
      plat::SetLastError(plat::kErrPathNotFound);
      return -1;
    }
    if (MakeCollectionDirectory(dir) != 0) return -1;
  }
  PublishLoggerStatus(location, dir.c_str(), namePrefix_);
  return 0;
}

int CLogFileCollection::FindFirst(int* nameSize) {
  found_.clear();
  next_ = 0;
  if (remote_) {
    // The names on the server: counted first, then copied into slots.
    std::string below = RemoteServerPath(directory_);
    int count = SrvFile_ListDir(server_.c_str(), below.c_str(), "", 0, nullptr);
    if (count < 0) return 0;
    std::vector<char> slots(static_cast<size_t>(count) * kSrvDirSlotSize + 1);
    if (count > 0) count = SrvFile_ListDir(server_.c_str(), below.c_str(), "", count, slots.data());
    if (count < 0) return 0;
    for (int i = 0; i < count; ++i) {
      std::string n = slots.data() + static_cast<size_t>(i) * kSrvDirSlotSize;
      if (!n.empty()) n.back() = static_cast<char>(n.back() & 0x7F);  // the server may mark the last character
      found_.push_back(std::move(n));
    }
    if (nameSize) *nameSize = 256;
    return 1;
  }
  DIR* d = opendir(directory_.c_str());
  if (!d) {
    plat::SetLastError(plat::FromErrno(errno));
    return 0;
  }
  while (dirent* e = readdir(d)) found_.push_back(e->d_name);
  closedir(d);
  if (nameSize) *nameSize = 256;
  return 1;
}

int CLogFileCollection::FindNext(char* name, TimeStamp* start, TimeStamp* stop) {
  while (next_ < found_.size()) {
    const std::string& n = found_[next_++];
    if (n.empty() || n[0] == '.' || n.size() > 255) continue;
    int32_t s = 0, e = 0;
    if (!ParseLogFileName(n, "", &s, &e) || s == 0) continue;
    if (name) memcpy(name, n.c_str(), n.size() + 1);
    if (start) *start = TimeStamp{s, 0, 0};
    if (stop) *stop = TimeStamp{e, 0, 0};
    return 1;
  }
  found_.clear();
  next_ = 0;
  plat::SetLastError(0);
  return 0;
}

int CLogFileCollection::FindNewest(char* name, int* nameSize, TimeStamp* start, TimeStamp* stop, int anyPrefix) {
  if (!FindFirst(nameSize)) return 0;
  char n[256];
  TimeStamp s, e;
  bool have = false;
  std::string best;
  TimeStamp bs{}, be{};
  std::string prefix = namePrefix_;
  while (FindNext(n, &s, &e)) {
    if (!anyPrefix) {
      std::string nm = n;
      size_t at = FindLogNameStamp(nm);
      if (at != prefix.size() || strncasecmp(n, prefix.c_str(), prefix.size()) != 0) continue;
    }
    if (!have || static_cast<uint32_t>(s.seconds) > static_cast<uint32_t>(bs.seconds)) {
      have = true;
      best = n;
      bs = s;
      be = e;
    }
  }
  if (!have) return 0;
  if (name) memcpy(name, best.c_str(), best.size() + 1);
  if (start) *start = bs;
  if (stop) *stop = be;
  return 1;
}

void CLogFileCollection::DeleteBefore(const int32_t* seconds) {
  // Logs listed through a server are only read: nothing of them is deleted.
  if (!seconds || remote_) return;
  uint32_t limit = static_cast<uint32_t>(*seconds);
  for (const char* ext : {".odl", ".txt", ".cdx", ".zip"}) {
    if (!FindFirst(nullptr)) return;
    for (const std::string& n : found_) {
      size_t at = FindLogNameStamp(n, ext);
      if (at == std::string::npos || n.size() - at != 27 + strlen(ext)) continue;  // open logs stay
      int32_t s, e;
      if (!ParseLogNameStamp(n.c_str() + at, &s) || !ParseLogNameStamp(n.c_str() + at + 14, &e)) continue;
      if (static_cast<uint32_t>(s) < limit && static_cast<uint32_t>(e) < limit) {
        // Removing a name needs write access to the folder only, so a
        // read-only log goes as it stands. Nothing is done to the file
        // itself: a link under a log's name is removed, never followed.
        std::string p = directory_ + "/" + n;
        unlink(p.c_str());
      }
    }
    found_.clear();
  }
}

CLogStore* CLogFileCollection::CreateLog(const int32_t* start, int, int, LogHeader* header, const char* text,
                                         int saveConfig, const char* server, int, ChannelConfig** channels) {
  if (!start || !header) {
    plat::SetLastError(plat::kErrInvalidParameter);
    return nullptr;
  }
  auto* store = new (std::nothrow) CLogFileStore();
  if (!store) return nullptr;
  std::string path = directory_ + "/" + namePrefix_ + LogNameStamp(*start) + ".odl";
  // The log comes first: a same-named log that holds data is refused before
  // anything of it (its text file included) is touched.
  if (store->CreateLogFile(path.c_str(), header, server, channels) != 0) {
    uint32_t code = plat::GetLastError();
    delete store;
    plat::SetLastError(code);
    return nullptr;
  }
  // The initial text is the whole of the ".txt" sibling, written through a
  // temporary file (a link planted at the name is replaced, not followed).
  if (text && WriteWholeTextFile(Sibling(path, ".txt"), text) != 0) {
    uint32_t code = plat::GetLastError();
    store->Close();
    unlink(path.c_str());
    delete store;
    plat::SetLastError(code);
    return nullptr;
  }
  // The configuration at the log's start, saved into its ".cdx" sibling.
  if (saveConfig && SaveConfigurationInto(AbsolutePath(Sibling(path, ".cdx"))) != 0) {
    uint32_t code = plat::GetLastError();
    int e = errno;
    store->Close();
    unlink(path.c_str());
    if (text) unlink(Sibling(path, ".txt").c_str());
    delete store;
    errno = e;
    plat::SetLastError(code);
    return nullptr;
  }
  SyncDirectory(path);
  return store;
}

CLogStore* CLogFileCollection::CreateLogW(const int32_t* start, int barePrefix, int unused, LogHeader* header,
                                          const char16_t* text, int saveConfig, const char* server, int datePrefix,
                                          ChannelConfig** channels) {
  CLogStore* s = CreateLog(start, barePrefix, unused, header, nullptr, saveConfig, server, datePrefix, channels);
  if (!s || !text) return s;
  char path[1300];
  int size = sizeof path;
  s->GetName(path, &size);
  // A UTF-16 text file: the byte-order mark FF FE, then the text.
  size_t n = 0;
  while (text[n]) ++n;
  std::string bytes("\xFF\xFE", 2);
  for (size_t i = 0; i < n; ++i) {
    bytes += static_cast<char>(text[i] & 0xFF);
    bytes += static_cast<char>(text[i] >> 8);
  }
  if (WriteWholeTextFile(Sibling(path, ".txt"), bytes) != 0) {
    uint32_t code = plat::GetLastError();
    s->Close();
    unlink(path);
    s->Destroy(1);
    plat::SetLastError(code);
    return nullptr;
  }
  return s;
}

CLogStore* CLogFileCollection::OpenLog(const char* name, uint32_t access) {
  if (!name || plat::CheckPlainName(name) != 0) return nullptr;
  auto* store = new (std::nothrow) CLogFileStore();
  if (!store) return nullptr;
  std::string path = directory_ + "/" + name;
  // A log of a listing through the server is read through the server too.
  if (store->Open(remote_ ? server_.c_str() : nullptr, path.c_str(), access) != 0) {
    uint32_t code = plat::GetLastError();
    delete store;
    plat::SetLastError(code);
    return nullptr;
  }
  return store;
}

int CLogFileCollection::UseforLogging(CLogStore* store, LogHeader* header, const char* namePrefix, int moveText,
                                      int moveArchive) {
  SetError("", "");
  if (!store) return -1;
  char path[1300];
  int size = sizeof path;
  store->GetName(path, &size);
  std::string p = path;
  std::string name = p.substr(p.find_last_of('/') + 1);
  const char* prefix = namePrefix ? namePrefix : "";
  char detail[2000];
  if (strncasecmp(name.c_str(), prefix, strlen(prefix)) != 0) {
    snprintf(detail, sizeof detail, "Prefixes don't match, Path %s, LogPrefix %s", p.c_str(), prefix);
    SetError("Prefixes don't match", detail);
    return -1;
  }
  std::string oldText, oldCdx = Sibling(p, ".cdx");
  struct stat st;
  if (moveText) {
    if (FindLogText(p, &oldText) != 0) {
      SetError("Cant determine text file name", "Cant determine text file name");
      return -1;
    }
    if (stat(oldText.c_str(), &st) != 0) {
      int e = errno;
      char summary[64];
      snprintf(summary, sizeof summary, "Cant access text file %d", e);
      snprintf(detail, sizeof detail, "Cant access text file %d %s", e, oldText.c_str());
      SetError(summary, detail);
      return -1;
    }
  }
  if (moveArchive && stat(oldCdx.c_str(), &st) != 0) return -1;
  if (store->OpenForAppend(header) != 0) {
    int e = errno;
    snprintf(detail, sizeof detail, "UseforLogging failed %d %d", e, static_cast<int>(plat::GetLastError()));
    SetError(detail, detail);
    return -1;
  }
  size = sizeof path;
  store->GetName(path, &size);
  std::string np = path;
  if (moveText && strcasecmp(oldText.c_str(), Sibling(np, ".txt").c_str()) != 0)
    MoveNoReplace(oldText, Sibling(np, ".txt"));
  if (moveArchive && oldCdx != Sibling(np, ".cdx")) MoveNoReplace(oldCdx, Sibling(np, ".cdx"));
  return 0;
}

int CLogFileCollection::CloseLog(CLogStore* store, const int32_t* start, const int32_t* stop, int readOnly) {
  if (!store) return -1;
  char path[1300];
  int size = sizeof path;
  store->GetName(path, &size);
  store->Close();
  std::string p = path;
  // A log of another machine is neither moved nor deleted from here.
  if (plat::IsUncPath(p)) {
    plat::SetLastError(plat::kErrBadNetPath);
    return -1;
  }
  std::string text;
  bool hasText = FindLogText(p, &text) == 0;
  if (!start) {
    if (unlink(p.c_str()) != 0) return -1;
    if (hasText) unlink(text.c_str());
    unlink(Sibling(p, ".cdx").c_str());
    unlink(Sibling(p, ".zip").c_str());
    return 0;
  }
  size_t slash = p.find_last_of('/');
  std::string name = p.substr(slash + 1);
  size_t at = FindLogNameStamp(name);
  if (at == std::string::npos) return -1;
  std::string np = p.substr(0, slash + 1) + name.substr(0, at) + LogNameStamp(*start);
  if (stop) np += "_" + LogNameStamp(*stop);
  np += ".odl";
  mode_t mode = (readOnly ? 0444 : 0666) & ~plat::ProcessUmask();
  if (np != p) {
    // A closed log of the same name is never replaced.
    if (!MoveNoReplace(p, np)) return 0;
    if (auto* fs = dynamic_cast<CLogFileStore*>(store)) fs->Open(nullptr, np.c_str(), kGenericRead), fs->Close();
  }
  chmod(np.c_str(), mode);
  if (hasText && text != Sibling(np, ".txt") && MoveNoReplace(text, Sibling(np, ".txt")))
    chmod(Sibling(np, ".txt").c_str(), mode);
  for (const char* ext : {".cdx", ".zip"})
    if (Sibling(p, ext) != Sibling(np, ext) && MoveNoReplace(Sibling(p, ext), Sibling(np, ext)))
      chmod(Sibling(np, ext).c_str(), mode);
  SyncDirectory(np);
  return 0;
}

void CLogFileCollection::SetError(const char* summary, const char* detail) {
  snprintf(errorSummary_, sizeof errorSummary_, "%s", summary);
  snprintf(errorDetail_, sizeof errorDetail_, "%s", detail);
}

const char* CLogFileCollection::GetErrorDetail() { return errorDetail_; }
const char* CLogFileCollection::GetErrorSummary() { return errorSummary_; }

void CLogFileCollection::MakeLogPath(const char* name, char* path, int* size) {
  std::string p = directory_ + "/" + (name ? name : "");
  if (path) memcpy(path, p.c_str(), p.size() + 1);
  if (size) *size = static_cast<int>(p.size() + 1);
}
