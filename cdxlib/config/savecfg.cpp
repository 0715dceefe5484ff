#include "cdxlib/config/savecfg.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cdxlib/sys/logicaldirs.h"
#include "cdxlib/sys/registry.h"
#include "platform/error.h"
#include "platform/files.h"
#include "platform/spawn.h"
#include "platform/sync.h"

namespace {

std::string Unquoted(const char* target) {
  std::string t = target ? target : "";
  if (!t.empty() && t.front() == '"') t.erase(0, 1);
  if (!t.empty() && t.back() == '"') t.pop_back();
  return t;
}

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

std::string Cwd() {
  char buf[PATH_MAX];
  return getcwd(buf, sizeof buf) ? std::string(buf) : std::string();
}

// The file name of a path (after its last '\' or '/').
std::string FileName(const std::string& path) {
  const size_t at = path.find_last_of("\\/");
  return at == std::string::npos ? path : path.substr(at + 1);
}

// The temporary file a save writes before it renames it over `target`:
// made new with O_EXCL under a name of this process, after the temporaries
// that killed saves left beside the target are removed. -1 with the error.
int CreatePart(const std::string& target, std::string* part) {
  plat::RemoveStaleTemps(target, ".part");
  return plat::CreateTempBeside(target, ".part", plat::NewFileMode(), part);
}

// The archive's file name must be one (not "", "." or ".."): it also names
// the temporary files and, compressed, the tar file in CDX_SAVED_CONFIG.
bool NamesAFile(const std::string& target) {
  const std::string name = FileName(target);
  return !name.empty() && plat::IsPlainName(name.c_str());
}

// Writes the file's data to the disk and renames it over the target.
int Publish(const std::string& temp, const std::string& target) {
  const int fd = open(temp.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return plat::FailErrno(errno), -1;
  const int rc = fsync(fd);
  const int syncErr = errno;
  close(fd);
  if (rc != 0) return plat::FailErrno(syncErr), -1;
  if (rename(temp.c_str(), target.c_str()) != 0) return plat::FailErrno(errno), -1;
  // The new name itself must survive a crash too.
  const size_t slash = target.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : (slash ? target.substr(0, slash) : "/");
  const int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    fsync(dfd);
    close(dfd);
  }
  return 0;
}

// What a child did.
struct ChildResult {
  bool started = false;
  int exitCode = -1;
  std::string errorOutput;  // everything it wrote to its error output
};

// Runs the program in the current directory with its error output read
// through a pipe (all of it, so that a talkative child never blocks on a
// full pipe) and, when stdoutFd is given, its output going there; waits for
// its end.
ChildResult RunChild(const std::vector<std::string>& argv, int stdoutFd) {
  ChildResult r;
  int err[2];
  if (pipe2(err, O_CLOEXEC) != 0) {
    plat::FailErrno(errno);
    return r;
  }
  plat::SpawnOptions options;
  options.stderrFd = err[1];
  options.stdoutFd = stdoutFd;
  const int32_t pid = plat::SpawnProcess(argv, options);
  const uint32_t spawnError = plat::GetLastError();
  close(err[1]);
  if (pid < 0) {
    close(err[0]);
    plat::Fail(spawnError);
    return r;
  }
  r.started = true;
  char buf[4096];
  for (;;) {
    const ssize_t n = read(err[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (r.errorOutput.size() < 65536) r.errorOutput.append(buf, static_cast<size_t>(n));
  }
  close(err[0]);
  plat::WaitProcess(pid, plat::kInfinite, &r.exitCode);
  return r;
}

// Siblings of the current directory from the list that exist: as "../X"
// (relative) or as full paths.
std::vector<std::string> ExistingSiblings(const std::vector<std::string>& names, bool fullPaths) {
  const std::string parent = Cwd() + "/..";
  std::vector<std::string> out;
  for (const auto& n : names) {
    if (n.empty() || !Exists(parent + "/" + n)) continue;
    const std::string entry = fullPaths ? parent + "/" + n : "../" + n;
    bool seen = false;
    for (const auto& o : out) seen = seen || o == entry;
    if (!seen) out.push_back(entry);
  }
  return out;
}

bool Starts(const char* product, const char* edition, size_t n) {
  return product && strncasecmp(product, edition, n) == 0;
}

int Failed(uint32_t code) {
  plat::Fail(code);
  return -1;
}

// True when the target's directory is one of the packed directories or lies
// below one: the archive would pack itself (the previous archive, or its own
// growing temporary file) into each new one.
bool InsidePacked(const std::string& target, const std::vector<std::string>& packed) {
  const size_t slash = target.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : (slash ? target.substr(0, slash) : "/");
  char real[PATH_MAX];
  if (!realpath(dir.c_str(), real)) return false;  // the save itself reports the missing directory
  const std::string where = std::string(real) + "/";
  for (const auto& p : packed) {
    char packedReal[PATH_MAX];
    if (!realpath(p.c_str(), packedReal)) continue;
    const std::string base = std::string(packedReal) + (std::strcmp(packedReal, "/") ? "/" : "");
    if (where.compare(0, base.size(), base) == 0) return true;
  }
  return false;
}

}  // namespace

SaveCfgKind SaveCfg_KindOf(const char* target) {
  const std::string t = Unquoted(target);
  if (t.size() <= 4) return SaveCfgKind::kZip;
  const char* ext = t.c_str() + t.size() - 4;
  if (strcasecmp(ext, ".cdx") == 0) return SaveCfgKind::kCompressedTar;
  if (strcasecmp(ext, ".tar") == 0) return SaveCfgKind::kTar;
  return SaveCfgKind::kZip;
}

int SaveCfg_Archive(const char* target, int extraDirs) {
  switch (SaveCfg_KindOf(target)) {
    case SaveCfgKind::kCompressedTar: return SaveCfg_TarArchive(target, 1, extraDirs);
    case SaveCfgKind::kTar: return SaveCfg_TarArchive(target, 0, extraDirs);
    case SaveCfgKind::kZip: break;
  }
  return SaveCfg_ZipArchive(target, extraDirs);
}

std::vector<std::string> SaveCfg_EditionExtraDirs(const char* product, bool forTar) {
  std::vector<std::string> list;
  if (forTar) list.push_back("REPLAY_OPTIONS");
  const bool vorn = Starts(product, "VORN", 4), kelpo = Starts(product, "KELPO", 5),
             tarvi = Starts(product, "TARVI", 5);
  if (vorn || kelpo || tarvi) list.insert(list.end(), {"CMONITORS", "TRENDS"});
  if (tarvi) list.insert(list.end(), {"MONITORS", "AMONITORS"});
  if (vorn || kelpo) list.insert(list.end(), {"MONPICLIB", "DATA_IMP"});
  if (tarvi) list.push_back("WEBHMI");
  return list;
}

std::vector<std::string> SaveCfg_ExtraDirs(bool forTar) {
  char buf[261] = {};
  uint32_t type = 0, size = 260;
  if (Reg_AccessValue(plat::HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillomatic\\Coordinatrix", plat::KEY_QUERY_VALUE,
                      "ExtraSaveDirs", &type, buf, &size) == 0 &&
      (type == plat::REG_SZ || type == plat::REG_EXPAND_SZ)) {
    buf[std::min<uint32_t>(size, 260)] = 0;
    std::vector<std::string> list;
    std::string entry;
    for (const char* p = buf;; ++p) {
      if (*p == ';' || *p == 0) {
        if (!entry.empty()) list.push_back(entry);
        entry.clear();
        if (*p == 0) break;
      } else {
        entry += *p;
      }
    }
    return list;
  }
  return SaveCfg_EditionExtraDirs(Prod_GetProductName(), forTar);
}

int SaveCfg_TarArchive(const char* targetIn, int compress, int extraDirs) {
  const std::string target = Unquoted(targetIn);
  if (target.empty()) return Failed(plat::kErrInvalidParameter);
  if (!NamesAFile(target)) return Failed(plat::kErrInvalidName);
  std::string tarFile;
  int tarFd = -1;
  if (compress) {
    const char* saved = Dir_Resolve("CDX_SAVED_CONFIG");
    if (!saved || !*saved || !plat::DirectoryExists(saved)) return Failed(plat::kErrPathNotFound);
    std::string name = FileName(target);
    const size_t dot = name.rfind('.');
    if (dot != std::string::npos) name.erase(dot);
    // A name of this process's own: an archive saved there before as
    // <name>.tar is neither overwritten nor deleted.
    tarFd = CreatePart(std::string(saved) + "/" + name + ".tar", &tarFile);
  } else {
    tarFd = CreatePart(target, &tarFile);
  }
  if (tarFd < 0) return -1;

  // tar writes to the file made above (its output), never opening a name
  // itself. "-P" keeps the member names "../SAVED_VALUES/..." as given (tar
  // would otherwise strip the "../" with a warning, which fails the save).
  std::vector<std::string> argv = {"tar", "-P", "-cf", "-", "."};
  std::vector<std::string> names = {"SAVED_VALUES"};
  if (extraDirs)
    for (const auto& n : SaveCfg_ExtraDirs(true)) names.push_back(n);
  std::vector<std::string> packed = {"."};
  for (const auto& s : ExistingSiblings(names, false)) argv.push_back(s), packed.push_back(s);
  if (InsidePacked(target, packed)) {
    close(tarFd);
    unlink(tarFile.c_str());
    return Failed(plat::kErrInvalidParameter);
  }
  const ChildResult tar = RunChild(argv, tarFd);
  close(tarFd);
  if (!tar.started) {
    const uint32_t e = plat::GetLastError();
    unlink(tarFile.c_str());
    return Failed(e);
  }
  if (!tar.errorOutput.empty() || tar.exitCode != 0) {
    unlink(tarFile.c_str());
    return Failed(tar.exitCode > 0 ? static_cast<uint32_t>(tar.exitCode) : plat::kErrGenFailure);
  }
  if (!compress) {
    if (Publish(tarFile, target) == 0) return 0;
    const uint32_t e = plat::GetLastError();
    unlink(tarFile.c_str());
    return Failed(e);
  }

  std::string part;
  const int out = CreatePart(target, &part);
  if (out < 0) {
    const uint32_t e = plat::GetLastError();
    unlink(tarFile.c_str());
    return Failed(e);
  }
  const ChildResult z = RunChild({"compress", "-c", tarFile}, out);
  const uint32_t startError = plat::GetLastError();
  close(out);
  unlink(tarFile.c_str());
  const bool ok = z.started && (z.exitCode == 0 || z.errorOutput.find("compressed") != std::string::npos);
  if (!ok) {
    unlink(part.c_str());
    return Failed(!z.started ? startError : z.exitCode > 0 ? static_cast<uint32_t>(z.exitCode) : plat::kErrGenFailure);
  }
  if (Publish(part, target) != 0) {
    const uint32_t e = plat::GetLastError();
    unlink(part.c_str());
    return Failed(e);
  }
  return 0;
}

int SaveCfg_ZipArchive(const char* targetIn, int extraDirs) {
  const std::string target = Unquoted(targetIn);
  if (target.empty()) return Failed(plat::kErrInvalidParameter);
  if (!NamesAFile(target)) return Failed(plat::kErrInvalidName);
  const char* bin = Dir_Resolve("CDX_BIN");
  if (!bin || !*bin) return Failed(plat::kErrPathNotFound);
  // The name is taken here (O_EXCL); kvzip writes its own temporary file
  // and renames it onto this one.
  std::string part;
  const int fd = CreatePart(target, &part);
  if (fd < 0) return -1;
  close(fd);
  std::vector<std::string> argv = {std::string(bin) + "/kvzip", "-a", "-r", part, Cwd()};
  std::vector<std::string> names = {"SAVED_VALUES", "REPLAY_OPTIONS"};
  if (extraDirs)
    for (const auto& n : SaveCfg_ExtraDirs(false)) names.push_back(n);
  std::vector<std::string> packed = {"."};
  for (const auto& s : ExistingSiblings(names, true)) argv.push_back(s), packed.push_back(s);
  if (InsidePacked(target, packed)) {
    unlink(part.c_str());
    return Failed(plat::kErrInvalidParameter);
  }
  const ChildResult z = RunChild(argv, -1);
  if (!z.started || z.exitCode != 0) {
    const uint32_t e = !z.started ? plat::GetLastError() : static_cast<uint32_t>(z.exitCode);
    unlink(part.c_str());
    return Failed(e ? e : plat::kErrGenFailure);
  }
  // The archiver's messages are not a failure: only its exit code counts.
  if (Publish(part, target) != 0) {
    const uint32_t e = plat::GetLastError();
    unlink(part.c_str());
    return Failed(e);
  }
  return 0;
}

int SaveCfg_Unquote(char* path) {
  if (!path) return Failed(plat::kErrInvalidParameter);
  const std::string p = Unquoted(path);
  memcpy(path, p.c_str(), p.size() + 1);
  if (unlink(path) != 0) return plat::FailErrno(errno), -1;
  return 0;
}
