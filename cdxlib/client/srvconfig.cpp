// Configuration through the server. This machine and pipe servers are
// reached through the file system with the loaders and savers of
// configfiles.h; the request road (IF, GF, HF, FF, CF and the remote file
// fallback) for the other kinds is not built yet and fails with 50.
#include "cdxlib/client/srvconfig.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "cdxlib/client/srvclient.h"
#include "cdxlib/configfiles.h"
#include "cdxlib/logicaldirs.h"
#include "platform/error.h"

namespace {

// The device directory on this machine or a pipe server's share, or false
// with the error set (50 for a server reached only through requests).
bool LocalDir(const char* server, const char* subdir, std::string* dir) {
  if (!Srv_IsLocal(server) && Srv_GetKind(server) != kSrvKindPipe) {
    plat::Fail(plat::kErrNotSupported);
    return false;
  }
  const char* root = Srv_IsLocal(server) ? Dir_Resolve("CDX_CURRENT_CONFIG")
                                         : Srv_GetDirectory(server, "CDX_CURRENT_CONFIG");
  if (!root) return false;
  *dir = root;
  if (subdir && *subdir && !(subdir[0] == ' ' && subdir[1] == '\0')) *dir += std::string("/") + subdir;
  return true;
}

bool HasSubdir(const char* subdir) { return subdir && *subdir && !(subdir[0] == ' ' && subdir[1] == '\0'); }

// After a channel write into a device directory the root's "config" is
// read and written back, so that the root's change time moves.
void TouchRoot(const char* server) {
  uint8_t enable = 0;
  if (SrvCfg_ReadEnable(server, nullptr, &enable) == 0) SrvCfg_WriteEnable(server, nullptr, &enable);
}

int RawFile(const std::string& path, void* data, uint32_t length, bool write) {
  int fd = write ? open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666) : open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return plat::FailErrno(errno), -1;
  size_t done = 0;
  while (done < length) {
    ssize_t n = write ? ::write(fd, static_cast<char*>(data) + done, length - done)
                      : ::read(fd, static_cast<char*>(data) + done, length - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int e = n < 0 ? errno : 0;
      close(fd);
      if (e) return plat::FailErrno(e), -1;
      return plat::Fail(plat::kErrHandleEof), -1;
    }
    done += static_cast<size_t>(n);
  }
  if (close(fd) != 0) return plat::FailErrno(errno), -1;
  return 0;
}

}  // namespace

int SrvCfg_ReadChannelsEx(const char* server, const char* subdir, int kind, ChannelConfig* records, int first,
                          int count, void* extra, uint32_t extraLength, const char* extraFileName) {
  std::string dir;
  if (!LocalDir(server, subdir, &dir)) return -1;
  return Cfg_LoadChannels(dir.c_str(), kind, records, first, count, extra, extraLength, extraFileName);
}

int SrvCfg_ReadChannels(const char* server, const char* subdir, int kind, ChannelConfig* records, int first,
                        int count) {
  return SrvCfg_ReadChannelsEx(server, subdir, kind, records, first, count, nullptr, 0, nullptr);
}

int SrvCfg_WriteChannelsAll(const char* server, const char* user, const char* subdir, int kind,
                            const ChannelConfig* records, int first, int count, const void* extra,
                            uint32_t extraLength, const char* extraFileName, int merge) {
  std::string dir;
  if (!LocalDir(server, subdir, &dir)) return -1;
  int rc = merge ? Cfg_SaveChannels(user, dir.c_str(), kind, records, first, count, extra, extraLength, extraFileName)
                 : Cfg_RewriteChannels(user, dir.c_str(), kind, records, first, count, extra, extraLength,
                                       extraFileName);
  if (rc == 0 && HasSubdir(subdir)) TouchRoot(server);
  return rc;
}

int SrvCfg_WriteChannelsEx(const char* server, const char* user, const char* subdir, int kind,
                           const ChannelConfig* records, int first, int count, const void* extra,
                           uint32_t extraLength, const char* extraFileName) {
  return SrvCfg_WriteChannelsAll(server, user, subdir, kind, records, first, count, extra, extraLength,
                                 extraFileName, 1);
}

int SrvCfg_RewriteChannelsEx(const char* server, const char* user, const char* subdir, int kind,
                             const ChannelConfig* records, int first, int count, const void* extra,
                             uint32_t extraLength, const char* extraFileName) {
  return SrvCfg_WriteChannelsAll(server, user, subdir, kind, records, first, count, extra, extraLength,
                                 extraFileName, 0);
}

int SrvCfg_WriteChannels(const char* server, const char* subdir, int kind, const ChannelConfig* records, int first,
                         int count) {
  return SrvCfg_WriteChannelsEx(server, nullptr, subdir, kind, records, first, count, nullptr, 0, nullptr);
}

int SrvCfg_ReadDeviceAll(const char* server, const char* subdir, void* record, uint32_t size, void* extra,
                         uint32_t extraLength, const char* extraFileName, uint8_t* enable, uint8_t* saveOutputs,
                         uint8_t* saveByTag, uint32_t* saveRate) {
  std::string dir;
  if (!LocalDir(server, subdir, &dir)) return -1;
  return Cfg_LoadDeviceEx(dir.c_str(), record, size, extra, extraLength, extraFileName, enable, saveOutputs,
                          saveByTag, saveRate);
}

int SrvCfg_ReadDeviceEx(const char* server, const char* subdir, void* record, uint32_t size, void* extra,
                        uint32_t extraLength, const char* extraFileName) {
  return SrvCfg_ReadDeviceAll(server, subdir, record, size, extra, extraLength, extraFileName, nullptr, nullptr,
                              nullptr, nullptr);
}

int SrvCfg_ReadDevice(const char* server, const char* subdir, void* record, uint32_t size) {
  return SrvCfg_ReadDeviceEx(server, subdir, record, size, nullptr, 0, nullptr);
}

int SrvCfg_WriteDeviceAll(const char* server, const char* user, const char* subdir, const void* record,
                          uint32_t size, const void* extra, uint32_t extraLength, const char* extraFileName,
                          const uint8_t* enable, const uint8_t* saveOutputs, const uint8_t* saveByTag,
                          const uint32_t* saveRate) {
  std::string dir;
  if (!LocalDir(server, subdir, &dir)) return -1;
  return Cfg_SaveDeviceEx(user, dir.c_str(), record, size, extra, extraLength, extraFileName, enable, saveOutputs,
                          saveByTag, saveRate);
}

int SrvCfg_WriteDeviceEx(const char* server, const char* user, const char* subdir, const void* record,
                         uint32_t size, const void* extra, uint32_t extraLength, const char* extraFileName) {
  return SrvCfg_WriteDeviceAll(server, user, subdir, record, size, extra, extraLength, extraFileName, nullptr,
                               nullptr, nullptr, nullptr);
}

int SrvCfg_WriteDevice(const char* server, const char* subdir, const void* record, uint32_t size) {
  return SrvCfg_WriteDeviceEx(server, nullptr, subdir, record, size, nullptr, 0, nullptr);
}

// The small files are read and written through the directory-taking
// loaders, so the process's current directory never changes.
int SrvCfg_ReadEnable(const char* server, const char* subdir, uint8_t* enable) {
  std::string dir;
  if (!LocalDir(server, subdir, &dir)) return -1;
  return Cfg_LoadDeviceEx(dir.c_str(), nullptr, 0, nullptr, 0, nullptr, enable, nullptr, nullptr, nullptr);
}

int SrvCfg_WriteEnable(const char* server, const char* subdir, const uint8_t* enable) {
  std::string dir;
  if (!LocalDir(server, subdir, &dir)) return -1;
  return Cfg_SaveDeviceEx(nullptr, dir.c_str(), nullptr, 0, nullptr, 0, nullptr, enable, nullptr, nullptr, nullptr);
}

int SrvCfg_ReadSaveConfig(const char* server, const char* subdir, uint8_t* saveOutputs, uint8_t* saveByTag,
                          uint32_t* saveRate) {
  std::string dir;
  if (!LocalDir(server, subdir, &dir)) return -1;
  return Cfg_LoadDeviceEx(dir.c_str(), nullptr, 0, nullptr, 0, nullptr, nullptr, saveOutputs, saveByTag, saveRate);
}

int SrvCfg_WriteSaveConfig(const char* server, const char* subdir, const uint8_t* saveOutputs,
                           const uint8_t* saveByTag, const uint32_t* saveRate) {
  std::string dir;
  if (!LocalDir(server, subdir, &dir)) return -1;
  return Cfg_SaveDeviceEx(nullptr, dir.c_str(), nullptr, 0, nullptr, 0, nullptr, nullptr, saveOutputs, saveByTag,
                          saveRate);
}

int SrvCfg_ReadLogger(const char* server, const char* loggerName, int loggerNumber, void* record,
                      uint32_t length) {
  std::string dir;
  if (!loggerName || !LocalDir(server, "LOGGERS", &dir)) return loggerName ? -1 : (plat::Fail(87), -1);
  char file[300];
  snprintf(file, sizeof file, "/%s_%d", loggerName, loggerNumber);
  return RawFile(dir + file, record, length, false);
}

int SrvCfg_WriteLogger(const char* server, const char* loggerName, int loggerNumber, const void* record,
                       uint32_t length, const char*) {
  std::string dir;
  if (!loggerName || !LocalDir(server, "LOGGERS", &dir)) return loggerName ? -1 : (plat::Fail(87), -1);
  char file[300];
  snprintf(file, sizeof file, "/%s_%d", loggerName, loggerNumber);
  return RawFile(dir + file, const_cast<void*>(record), length, true);
}

int SrvCfg_CopyFromServer(const char*, const char*, const char*, const char*) {
  plat::Fail(plat::kErrNotSupported);
  return -1;
}

int SrvCfg_CopyToServer(const char*, const char*, const char*, const char*) {
  plat::Fail(plat::kErrNotSupported);
  return -1;
}
