// Configuration through the server. This machine and pipe servers are
// reached through the file system with the loaders and savers of
// configfiles.h; the other servers through one request (IF, GF, HF, FF,
// CF), and when that fails for another reason than an XML error, through
// the remote file requests on the same files.
#include "cdxlib/client/srvconfig.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <string>
#include <unistd.h>

#include "cdxlib/client/srvclient.h"
#include "cdxlib/config/configfiles.h"
#include "cdxlib/config/loggerfiles.h"
#include "cdxlib/sys/logicaldirs.h"
#include "platform/error.h"
#include "platform/files.h"

#include <cstring>
#include <vector>

#include "cdxlib/client/srvfile.h"
#include "cdxlib/sys/timestamp.h"
#include "platform/sysinfo.h"

namespace {

constexpr uint32_t kRecord = sizeof(ChannelConfig);
constexpr uint32_t kMinReply = 250;
// A remote write or read moves at most this many bytes less the length of
// the remote path per request (room for the request's own fields).
constexpr uint32_t kChunkBase = 32668;
constexpr uint32_t kCopyReadChunk = 32744;
constexpr uint32_t kLoggerReadChunk = 65512;
constexpr size_t kMaxUser = 32;
// Requests and replies of the table stay well inside 32-bit lengths.
constexpr uint64_t kReqReplyMax = 0x7FFF0000u;

bool HasSubdir(const char* subdir) { return subdir && *subdir && !(subdir[0] == ' ' && subdir[1] == '\0'); }

// Which road an operation takes: this machine or a pipe server through the
// file system, any other server through requests.
enum class Road { kFail, kLocal, kRemote };

Road RoadOf(const char* server) {
  int kind = Srv_GetKind(server);
  if (kind < 0) return plat::Fail(plat::kErrInvalidParameter), Road::kFail;
  return Srv_IsLocal(server) || kind == kSrvKindPipe ? Road::kLocal : Road::kRemote;
}

// The device directory on this machine or a pipe server's share.
bool LocalDir(const char* server, const char* subdir, std::string* dir) {
  const char* root = Srv_IsLocal(server) ? Dir_Resolve("CDX_CURRENT_CONFIG")
                                         : Srv_GetDirectory(server, "CDX_CURRENT_CONFIG");
  if (!root) return false;
  *dir = root;
  if (HasSubdir(subdir)) *dir += std::string("/") + subdir;
  return true;
}

// "CDX_CURRENT_CONFIG[\<subdir>]\<file>": the server resolves the logical
// name at its head.
std::string RemotePath(const char* subdir, const char* file) {
  std::string path = "CDX_CURRENT_CONFIG";
  if (HasSubdir(subdir)) path += std::string("\\") + subdir;
  return path + "\\" + file;
}

const char* Blank(const char* s) { return s && *s ? s : " "; }

// A text field of a request must not shift the server's fields.
bool FieldOk(const char* s) { return !s || !strpbrk(s, ",\r\n\t"); }

uint32_t ChunkFor(const std::string& path) {
  return path.size() < kChunkBase ? kChunkBase - static_cast<uint32_t>(path.size()) : 0;
}

int Refuse() {
  plat::Fail(plat::kErrInvalidParameter);
  errno = plat::kErrInvalidParameter;
  return -1;
}

// errno follows the last error of a failed step.
int FailedStep() {
  uint32_t code = plat::GetLastError();
  if (code == 0) code = plat::kErrGenFailure, plat::SetLastError(code);
  errno = static_cast<int>(code);
  return -1;
}

// Open parameters of the remote reads and writes.
struct Open {
  uint32_t access;
  uint32_t share;
  int security;  // 1: every user may open a file it creates
  uint32_t disposition;
};
constexpr uint32_t kShareRW = kSrvShareRead | kSrvShareWrite;
constexpr Open kReadExisting{kSrvGenericRead, kShareRW, 0, kSrvOpenExisting};
constexpr Open kReadAlways{kSrvGenericRead, kShareRW, 0, kSrvOpenAlways};
constexpr Open kWriteExisting{kSrvGenericRead | kSrvGenericWrite, kShareRW, 1, kSrvOpenExisting};
constexpr Open kWriteAlways{kSrvGenericRead | kSrvGenericWrite, kShareRW, 1, kSrvOpenAlways};

// Reads length bytes of the remote file from offset, in chunks of at most
// chunk bytes; every chunk must come whole.
bool RemoteRead(const char* server, const std::string& path, uint64_t offset, void* data, uint64_t length,
                uint32_t chunk, const Open& open) {
  if (chunk == 0) return plat::Fail(plat::kErrFilenameExcedRange), false;
  uint64_t done = 0;
  while (done < length) {
    uint32_t n = static_cast<uint32_t>(length - done < chunk ? length - done : chunk);
    if (offset + done > INT32_MAX) return plat::Fail(plat::kErrInvalidParameter), false;
    uint32_t got = 0;
    if (!SrvFile_Read(server, kSrvInvalidHandle, path.c_str(), n, static_cast<int32_t>(offset + done), kSrvFileBegin,
                      open.access, open.share, open.security, open.disposition, kSrvAttributeNormal,
                      static_cast<char*>(data) + done, &got))
      return false;
    if (got != n) return plat::Fail(plat::kErrHandleEof), false;
    done += n;
  }
  return true;
}

bool RemoteWrite(const char* server, const std::string& path, uint64_t offset, const void* data, uint64_t length,
                 uint32_t chunk, const Open& open) {
  if (chunk == 0) return plat::Fail(plat::kErrFilenameExcedRange), false;
  uint64_t done = 0;
  while (done < length) {
    uint32_t n = static_cast<uint32_t>(length - done < chunk ? length - done : chunk);
    if (offset + done > INT32_MAX) return plat::Fail(plat::kErrInvalidParameter), false;
    uint32_t put = 0;
    if (!SrvFile_Write(server, kSrvInvalidHandle, path.c_str(), n, static_cast<int32_t>(offset + done), kSrvFileBegin,
                       open.access, open.share, open.security, open.disposition, kSrvAttributeNormal,
                       static_cast<const char*>(data) + done, &put))
      return false;
    if (put != n) return plat::Fail(plat::kErrWriteFault), false;
    done += n;
  }
  return true;
}

// Channel records move whole: as many records per chunk as fit.
uint32_t RecordChunk(const std::string& path) { return ChunkFor(path) / kRecord * kRecord; }

// The extra data of a channel range sits in the extra file at the block of
// channel `first` (count equal blocks), where the server's own loader and
// saver put it; so a range moved on the file road never lands on channel
// 0's block. A length that does not split into count blocks fits only a
// range from channel 0: -1 otherwise.
int64_t ExtraOffset(int first, int count, uint32_t extraLength) {
  if (first == 0 || count <= 0) return 0;
  if (extraLength % static_cast<uint32_t>(count) != 0) return -1;
  return int64_t{first} * (extraLength / static_cast<uint32_t>(count));
}

// One request of the table. The reply's bytes go to *reply. True when the
// server answered; false with *noFallback set when it reported an XML
// error (its own loaders refused the files).
bool Ask(const char* server, const RequestRecord& request, uint32_t capacity, std::string* reply, int* rc) {
  std::vector<char> buf(capacity + 1, '\0');
  uint32_t length = capacity;
  *rc = Srv_Transact(server, request.Data(), request.Length(), buf.data(), &length);
  reply->assign(buf.data(), length);
  return *rc != -1;
}

// After a failed request: true when the fallback may run (anything but an
// XML error of the server).
bool MayFallBack() { return plat::GetLastError() != plat::kErrXmlParse; }

// After a channel write into a device directory the root's "config" is
// read and written back, so that the root's change time moves. A failure
// here does not undo the write that succeeded.
void TouchRoot(const char* server) {
  int keepErrno = errno;
  uint32_t keepLast = plat::GetLastError();
  uint8_t enable = 0;
  if (SrvCfg_ReadEnable(server, nullptr, &enable) == 0) SrvCfg_WriteEnable(server, nullptr, &enable);
  errno = keepErrno;
  plat::SetLastError(keepLast);
}

std::string LoggerFile(const char* name, int number) {
  char file[300];
  snprintf(file, sizeof file, "%s_%d", name, number);
  return file;
}

// ---------------------------------------------------------------- remote roads

int RemoteReadChannels(const char* server, const char* subdir, int kind, ChannelConfig* records, int first,
                       int count, void* extra, uint32_t extraLength, const char* extraFileName) {
  if (!FieldOk(subdir) || !FieldOk(extraFileName) || first < 0 || count < 0 || (count && !records) ||
      (extraLength && (!extra || !extraFileName || !*extraFileName)))
    return Refuse();
  const uint64_t expected = static_cast<uint64_t>(count) * kRecord + extraLength + 2;
  if (expected > kReqReplyMax) return Refuse();
  RequestRecord r;
  r.Printf("IF,%u,%s,%d,%d,%u,%s,%d", static_cast<unsigned>(expected), Blank(subdir), first, count, extraLength,
           Blank(extraFileName), kind);
  r.AppendNul();
  std::string reply;
  int rc = 0;
  const uint32_t capacity = expected < kMinReply ? kMinReply : static_cast<uint32_t>(expected);
  if (Ask(server, r, capacity, &reply, &rc) && reply.size() == expected && reply[0] == '1' && reply[1] == ',') {
    if (count) memcpy(records, reply.data() + 2, static_cast<size_t>(count) * kRecord);
    if (extraLength) memcpy(extra, reply.data() + 2 + static_cast<size_t>(count) * kRecord, extraLength);
    plat::SetLastError(0);
    return 0;
  }
  if (rc == -1 && !MayFallBack()) return FailedStep();
  const int64_t extraOffset = extraLength ? ExtraOffset(first, count, extraLength) : 0;
  if (extraOffset < 0) return Refuse();
  const std::string path = RemotePath(subdir, Chan_KindName(kind));
  if (count && !RemoteRead(server, path, ChannelFileOffset(static_cast<uint64_t>(first)), records,
                           static_cast<uint64_t>(count) * kRecord, RecordChunk(path), kReadExisting))
    return FailedStep();
  if (extraLength) {
    const std::string extraPath = RemotePath(subdir, extraFileName);
    if (!RemoteRead(server, extraPath, static_cast<uint64_t>(extraOffset), extra, extraLength, ChunkFor(extraPath),
                    kReadAlways))
      return FailedStep();
  }
  return 0;
}

int RemoteWriteChannels(const char* server, const char* subdir, int kind, const ChannelConfig* records, int first,
                        int count, const void* extra, uint32_t extraLength, const char* extraFileName, int merge) {
  if (!FieldOk(subdir) || !FieldOk(extraFileName) || first < 0 || count < 0 || (count && !records) ||
      (extraLength && (!extra || !extraFileName || !*extraFileName)))
    return Refuse();
  const uint64_t dataLength = static_cast<uint64_t>(count) * kRecord + extraLength;
  if (dataLength > kReqReplyMax) return Refuse();
  RequestRecord r;
  r.Printf("HF,%u,%s,%s,%d,%d,%u,%s,%d,%d", static_cast<unsigned>(dataLength), " ", Blank(subdir), first, count,
           extraLength, Blank(extraFileName), kind, merge ? 1 : 0);
  r.AppendNul();
  if (count) r.Append(records, static_cast<size_t>(count) * kRecord);
  if (extraLength) r.Append(extra, extraLength);
  std::string reply;
  int rc = 0;
  if (Ask(server, r, kMinReply, &reply, &rc)) return 0;
  if (!MayFallBack()) return FailedStep();
  const int64_t extraOffset = extraLength ? ExtraOffset(first, count, extraLength) : 0;
  if (extraOffset < 0) return Refuse();
  const std::string path = RemotePath(subdir, Chan_KindName(kind));
  if (count && !RemoteWrite(server, path, ChannelFileOffset(static_cast<uint64_t>(first)), records,
                            static_cast<uint64_t>(count) * kRecord, RecordChunk(path), kWriteExisting))
    return FailedStep();
  ConfigFileHeader header{};
  Time_NowLocal(&header.Saved);
  header.Saved.microseconds = 0;
  if (!RemoteWrite(server, path, 0, &header, sizeof header, ChunkFor(path), kWriteExisting)) return FailedStep();
  if (extraLength) {
    const std::string extraPath = RemotePath(subdir, extraFileName);
    if (!RemoteWrite(server, extraPath, static_cast<uint64_t>(extraOffset), extra, extraLength,
                     ChunkFor(extraPath), kWriteAlways))
      return FailedStep();
  }
  return 0;
}

int RemoteReadSmall(const char* server, const char* subdir, const char* file, void* data, uint32_t length) {
  if (!FieldOk(subdir)) return Refuse();
  const std::string path = RemotePath(subdir, file);
  return RemoteRead(server, path, 0, data, length, ChunkFor(path), kReadExisting) ? 0 : FailedStep();
}

int RemoteWriteSmall(const char* server, const char* subdir, const char* file, const void* data, uint32_t length) {
  if (!FieldOk(subdir)) return Refuse();
  const std::string path = RemotePath(subdir, file);
  return RemoteWrite(server, path, 0, data, length, ChunkFor(path), kWriteAlways) ? 0 : FailedStep();
}

int RemoteReadDevice(const char* server, const char* subdir, void* record, uint32_t size, void* extra,
                     uint32_t extraLength, const char* extraFileName, uint8_t* enable, uint8_t* saveOutputs,
                     uint8_t* saveByTag, uint32_t* saveRate) {
  if (!FieldOk(subdir) || !FieldOk(extraFileName) || (size && !record) ||
      (extraLength && (!extra || !extraFileName || !*extraFileName)))
    return Refuse();
  const uint64_t expected = static_cast<uint64_t>(size) + extraLength + 9;
  if (expected > kReqReplyMax) return Refuse();
  RequestRecord r;
  r.Printf("GF,%u,%s,%u,%u,%s,%d,%d,%d,%d", static_cast<unsigned>(expected), Blank(subdir), size, extraLength,
           Blank(extraFileName), enable ? 1 : 0, saveOutputs ? 1 : 0, saveByTag ? 1 : 0, saveRate ? 1 : 0);
  r.AppendNul();
  std::string reply;
  int rc = 0;
  const uint32_t capacity = expected < kMinReply ? kMinReply : static_cast<uint32_t>(expected);
  if (Ask(server, r, capacity, &reply, &rc) && reply.size() == expected && reply[0] == '1' && reply[1] == ',') {
    const auto* p = reinterpret_cast<const uint8_t*>(reply.data() + 2);
    if (enable) *enable = p[0];
    // The save options follow as the bytes of "saveconfig".
    SaveConfigFile options;
    memcpy(&options, p + 1, sizeof options);
    Cfg_UnpackSaveConfig(options, saveOutputs, saveByTag, saveRate);
    if (size) memcpy(record, p + 7, size);
    if (extraLength) memcpy(extra, p + 7 + size, extraLength);
    plat::SetLastError(0);
    return 0;
  }
  if (rc == -1 && !MayFallBack()) return FailedStep();
  const std::string path = RemotePath(subdir, "config");
  if (size && !RemoteRead(server, path, kConfigRecordOffset, record, size, ChunkFor(path), kReadExisting))
    return FailedStep();
  if (extraLength) {
    const std::string extraPath = RemotePath(subdir, extraFileName);
    if (!RemoteRead(server, extraPath, 0, extra, extraLength, ChunkFor(extraPath), kReadAlways)) return FailedStep();
  }
  // The flags asked for come from their own files, so that no output is
  // left unset on this road.
  if (enable && RemoteReadSmall(server, subdir, "config", enable, 1) != 0) return -1;
  if (saveOutputs || saveByTag || saveRate) {
    SaveConfigFile file;
    if (RemoteReadSmall(server, subdir, "saveconfig", &file, sizeof file) != 0) return -1;
    Cfg_UnpackSaveConfig(file, saveOutputs, saveByTag, saveRate);
  }
  return 0;
}

// Returns 0 through the request, 1 through the fallback, -1.
int RemoteWriteDevice(const char* server, const char* subdir, const void* record, uint32_t size, const void* extra,
                      uint32_t extraLength, const char* extraFileName, const uint8_t* enable,
                      const uint8_t* saveOutputs, const uint8_t* saveByTag, const uint32_t* saveRate) {
  if (!FieldOk(subdir) || !FieldOk(extraFileName) || (size && !record) ||
      (extraLength && (!extra || !extraFileName || !*extraFileName)))
    return Refuse();
  const uint64_t dataLength = static_cast<uint64_t>(size) + extraLength;
  if (dataLength > kReqReplyMax) return Refuse();
  auto flag = [](const uint8_t* v) { return v ? std::to_string(*v) : std::string(" "); };
  const std::string rate = saveRate ? std::to_string(*saveRate) : std::string(" ");
  RequestRecord r;
  r.Printf("FF,%u,%s,%s,%u,%u,%s,%s,%s,%s,%s", static_cast<unsigned>(dataLength), " ", Blank(subdir), size,
           extraLength, Blank(extraFileName), flag(enable).c_str(), flag(saveOutputs).c_str(), flag(saveByTag).c_str(),
           rate.c_str());
  r.AppendNul();
  if (size) r.Append(record, size);
  if (extraLength) r.Append(extra, extraLength);
  std::string reply;
  int rc = 0;
  if (Ask(server, r, kMinReply, &reply, &rc)) return 0;
  if (!MayFallBack()) return FailedStep();
  const std::string path = RemotePath(subdir, "config");
  if (size && !RemoteWrite(server, path, kConfigRecordOffset, record, size, ChunkFor(path), kWriteAlways))
    return FailedStep();
  if (extraLength) {
    const std::string extraPath = RemotePath(subdir, extraFileName);
    if (!RemoteWrite(server, extraPath, 0, extra, extraLength, ChunkFor(extraPath), kWriteAlways)) return FailedStep();
  }
  // The flags given go to their own files, so that none is dropped on this
  // road.
  if (enable && RemoteWriteSmall(server, subdir, "config", enable, 1) != 0) return -1;
  if (saveOutputs || saveByTag || saveRate) {
    SaveConfigFile file{};
    if ((!saveOutputs || !saveByTag || !saveRate) &&
        RemoteReadSmall(server, subdir, "saveconfig", &file, sizeof file) != 0)
      file = SaveConfigFile{};
    uint8_t oldOutputs = 0, oldByTag = 0;
    uint32_t oldRate = 0;
    Cfg_UnpackSaveConfig(file, &oldOutputs, &oldByTag, &oldRate);
    file = Cfg_PackSaveConfig(saveOutputs ? *saveOutputs : oldOutputs, saveByTag ? *saveByTag : oldByTag,
                              saveRate ? *saveRate : oldRate);
    if (RemoteWriteSmall(server, subdir, "saveconfig", &file, sizeof file) != 0) return -1;
  }
  return 1;
}

}  // namespace

// ---------------------------------------------------------------- channels

int SrvCfg_ReadChannelsEx(const char* server, const char* subdir, int kind, ChannelConfig* records, int first,
                          int count, void* extra, uint32_t extraLength, const char* extraFileName) {
  switch (RoadOf(server)) {
    case Road::kFail: return FailedStep();
    case Road::kRemote:
      return RemoteReadChannels(server, subdir, kind, records, first, count, extra, extraLength, extraFileName);
    case Road::kLocal: break;
  }
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
  int rc = -1;
  switch (RoadOf(server)) {
    case Road::kFail: return FailedStep();
    case Road::kRemote:
      rc = RemoteWriteChannels(server, subdir, kind, records, first, count, extra, extraLength, extraFileName, merge);
      break;
    case Road::kLocal: {
      std::string dir;
      if (!LocalDir(server, subdir, &dir)) return -1;
      rc = merge ? Cfg_SaveChannels(user, dir.c_str(), kind, records, first, count, extra, extraLength, extraFileName)
                 : Cfg_RewriteChannels(user, dir.c_str(), kind, records, first, count, extra, extraLength,
                                       extraFileName);
      break;
    }
  }
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

// ---------------------------------------------------------------- devices

int SrvCfg_ReadDeviceAll(const char* server, const char* subdir, void* record, uint32_t size, void* extra,
                         uint32_t extraLength, const char* extraFileName, uint8_t* enable, uint8_t* saveOutputs,
                         uint8_t* saveByTag, uint32_t* saveRate) {
  switch (RoadOf(server)) {
    case Road::kFail: return FailedStep();
    case Road::kRemote:
      return RemoteReadDevice(server, subdir, record, size, extra, extraLength, extraFileName, enable, saveOutputs,
                              saveByTag, saveRate);
    case Road::kLocal: break;
  }
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
  switch (RoadOf(server)) {
    case Road::kFail: return FailedStep();
    case Road::kRemote: {
      int rc = RemoteWriteDevice(server, subdir, record, size, extra, extraLength, extraFileName, enable, saveOutputs,
                                 saveByTag, saveRate);
      if (rc < 0) return -1;
      // Only a write through the file requests touches the root: the
      // server's own saver does that itself.
      if (rc == 1 && HasSubdir(subdir)) TouchRoot(server);
      return 0;
    }
    case Road::kLocal: break;
  }
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
  switch (RoadOf(server)) {
    case Road::kFail: return FailedStep();
    case Road::kRemote: return enable ? RemoteReadSmall(server, subdir, "config", enable, 1) : Refuse();
    case Road::kLocal: break;
  }
  std::string dir;
  if (!LocalDir(server, subdir, &dir)) return -1;
  return Cfg_LoadDeviceEx(dir.c_str(), nullptr, 0, nullptr, 0, nullptr, enable, nullptr, nullptr, nullptr);
}

int SrvCfg_WriteEnable(const char* server, const char* subdir, const uint8_t* enable) {
  switch (RoadOf(server)) {
    case Road::kFail: return FailedStep();
    case Road::kRemote: return enable ? RemoteWriteSmall(server, subdir, "config", enable, 1) : Refuse();
    case Road::kLocal: break;
  }
  std::string dir;
  if (!LocalDir(server, subdir, &dir)) return -1;
  return Cfg_SaveDeviceEx(nullptr, dir.c_str(), nullptr, 0, nullptr, 0, nullptr, enable, nullptr, nullptr, nullptr);
}

int SrvCfg_ReadSaveConfig(const char* server, const char* subdir, uint8_t* saveOutputs, uint8_t* saveByTag,
                          uint32_t* saveRate) {
  switch (RoadOf(server)) {
    case Road::kFail: return FailedStep();
    case Road::kRemote: {
      SaveConfigFile file;
      if (RemoteReadSmall(server, subdir, "saveconfig", &file, sizeof file) != 0) return -1;
      Cfg_UnpackSaveConfig(file, saveOutputs, saveByTag, saveRate);
      return 0;
    }
    case Road::kLocal: break;
  }
  std::string dir;
  if (!LocalDir(server, subdir, &dir)) return -1;
  return Cfg_LoadDeviceEx(dir.c_str(), nullptr, 0, nullptr, 0, nullptr, nullptr, saveOutputs, saveByTag, saveRate);
}

int SrvCfg_WriteSaveConfig(const char* server, const char* subdir, const uint8_t* saveOutputs,
                           const uint8_t* saveByTag, const uint32_t* saveRate) {
  switch (RoadOf(server)) {
    case Road::kFail: return FailedStep();
    case Road::kRemote: {
      if (!saveOutputs || !saveByTag || !saveRate) return Refuse();
      const SaveConfigFile file = Cfg_PackSaveConfig(*saveOutputs, *saveByTag, *saveRate);
      return RemoteWriteSmall(server, subdir, "saveconfig", &file, sizeof file);
    }
    case Road::kLocal: break;
  }
  std::string dir;
  if (!LocalDir(server, subdir, &dir)) return -1;
  return Cfg_SaveDeviceEx(nullptr, dir.c_str(), nullptr, 0, nullptr, 0, nullptr, nullptr, saveOutputs, saveByTag,
                          saveRate);
}

// ---------------------------------------------------------------- loggers

int SrvCfg_ReadLogger(const char* server, const char* loggerName, int loggerNumber, void* record,
                      uint32_t length) {
  if (!loggerName || !*loggerName || !FieldOk(loggerName) || (length && !record)) return Refuse();
  switch (RoadOf(server)) {
    case Road::kFail: return FailedStep();
    case Road::kRemote: {
      const std::string path = RemotePath("LOGGERS", LoggerFile(loggerName, loggerNumber).c_str());
      return RemoteRead(server, path, 0, record, length, kLoggerReadChunk, kReadExisting) ? 0 : FailedStep();
    }
    case Road::kLocal: break;
  }
  std::string dir;
  if (!LocalDir(server, "LOGGERS", &dir)) return -1;
  // The logger loader: the XML file when "ReadXML" says so, as the system
  // itself reads the logger.
  return Cfg_LoadLogger(dir.c_str(), loggerName, loggerNumber, record, length);
}

int SrvCfg_WriteLogger(const char* server, const char* loggerName, int loggerNumber, const void* record,
                       uint32_t length, const char* user) {
  if (!loggerName || !*loggerName || !FieldOk(loggerName) || !FieldOk(user) || (length && !record)) return Refuse();
  switch (RoadOf(server)) {
    case Road::kFail: return FailedStep();
    case Road::kRemote: {
      std::string who = user && *user ? user : plat::UserName();
      if (who.size() > kMaxUser) who.resize(kMaxUser);
      RequestRecord r;
      r.Printf("CF,%s,%d,%u,%s,", loggerName, loggerNumber, length, who.c_str());
      // A record that does not fit one request goes through the file
      // requests at once.
      if (static_cast<uint64_t>(r.Length()) + length <= kSrvMaxRequest) {
        r.Append(record, length);
        std::string reply;
        int rc = 0;
        if (Ask(server, r, kMinReply, &reply, &rc)) return 0;
        if (!MayFallBack()) return FailedStep();
      }
      const std::string path = RemotePath("LOGGERS", LoggerFile(loggerName, loggerNumber).c_str());
      return RemoteWrite(server, path, 0, record, length, ChunkFor(path), kWriteAlways) ? 0 : FailedStep();
    }
    case Road::kLocal: break;
  }
  std::string dir;
  if (!LocalDir(server, "LOGGERS", &dir)) return -1;
  // The logger saver: the files "WriteXML" chooses, with the change history.
  return Cfg_SaveLogger(dir.c_str(), user, loggerName, loggerNumber, record, length);
}

// ---------------------------------------------------------------- whole files

int SrvCfg_CopyFromServer(const char* server, const char* subdir, const char* fileName, const char* localPath) {
  if (!fileName || !*fileName || !localPath || !*localPath || !FieldOk(subdir) || !FieldOk(fileName)) return Refuse();
  if (RoadOf(server) == Road::kFail) return FailedStep();
  const std::string path = RemotePath(subdir, fileName);
  int size = SrvFile_GetSize(server, path.c_str(), kSrvGenericRead, kShareRW, 0, kSrvOpenExisting, kSrvAttributeNormal);
  if (size < 0) return FailedStep();
  // The copy is made beside the local file and renamed into place: a copy
  // that fails half-way leaves the old file as it was.
  std::string temp = std::string(localPath) + ".tmpXXXXXX";
  int fd = mkstemp(temp.data());
  if (fd < 0) return plat::FailErrno(errno), FailedStep();
  fchmod(fd, 0666 & ~plat::ProcessUmask());
  auto fail = [&]() {
    uint32_t code = plat::GetLastError();
    close(fd);
    unlink(temp.c_str());
    plat::Fail(code ? code : plat::kErrGenFailure);
    return FailedStep();
  };
  std::vector<char> buf(kCopyReadChunk);
  uint32_t done = 0;
  while (done < static_cast<uint32_t>(size)) {
    uint32_t n = static_cast<uint32_t>(size) - done < kCopyReadChunk ? static_cast<uint32_t>(size) - done : kCopyReadChunk;
    if (!RemoteRead(server, path, done, buf.data(), n, n, kReadExisting)) return fail();
    size_t put = 0;
    while (put < n) {
      ssize_t w = write(fd, buf.data() + put, n - put);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return plat::FailErrno(w < 0 ? errno : ENOSPC), fail();
      put += static_cast<size_t>(w);
    }
    done += n;
  }
  if (fsync(fd) != 0) return plat::FailErrno(errno), fail();
  if (close(fd) != 0) {
    fd = -1;
    plat::FailErrno(errno);
    unlink(temp.c_str());
    return FailedStep();
  }
  if (rename(temp.c_str(), localPath) != 0) {
    plat::FailErrno(errno);
    unlink(temp.c_str());
    return FailedStep();
  }
  return 0;
}

int SrvCfg_CopyToServer(const char* server, const char* subdir, const char* fileName, const char* localPath) {
  if (!fileName || !*fileName || !localPath || !FieldOk(subdir) || !FieldOk(fileName)) return Refuse();
  if (RoadOf(server) == Road::kFail) return FailedStep();
  const std::string path = RemotePath(subdir, fileName);
  const uint32_t chunk = ChunkFor(path);
  if (chunk == 0) return plat::Fail(plat::kErrFilenameExcedRange), FailedStep();
  int fd = open(localPath, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return plat::FailErrno(errno), FailedStep();
  std::vector<char> buf(chunk);
  uint64_t offset = 0;
  bool first = true;
  for (;;) {
    size_t got = 0;
    while (got < chunk) {
      ssize_t n = read(fd, buf.data() + got, chunk - got);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        plat::FailErrno(errno);
        close(fd);
        return FailedStep();
      }
      if (n == 0) break;
      got += static_cast<size_t>(n);
    }
    // The first chunk (also of an empty file) creates the remote file anew.
    if (got == 0 && !first) break;
    const Open open = {kSrvGenericWrite, 0, 1, first ? kSrvCreateAlways : kSrvOpenExisting};
    if (!RemoteWrite(server, path, offset, buf.data(), got, chunk, open) && got > 0) {
      close(fd);
      return FailedStep();
    }
    if (got == 0) {
      // An empty file: one write of no bytes made it.
      uint32_t put = 0;
      if (!SrvFile_Write(server, kSrvInvalidHandle, path.c_str(), 0, 0, kSrvFileBegin, open.access, open.share,
                         open.security, open.disposition, kSrvAttributeNormal, buf.data(), &put)) {
        close(fd);
        return FailedStep();
      }
    }
    first = false;
    offset += got;
    if (got < chunk) break;
  }
  close(fd);
  return 0;
}
