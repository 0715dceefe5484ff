#include "cdxlib/config/configfiles.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "base/memory/typedmem.h"
#include "base/structs/structs_item.h"
#include "cdxlib/config/chantypes.h"
#include "cdxlib/config/extdll.h"
#include "cdxlib/config/history.h"
#include "cdxlib/config/xmlconfig.h"
#include "cdxlib/sys/textutil.h"
#include "platform/error.h"
#include "platform/files.h"

namespace {

using cdxtext::Join;

// Which files a call reads or writes. The XML files ("<kind>.xml" and
// "config.xml") are used only when the directory's extension library
// exports Ex_DoXml: read when "ReadXML" is on and the file exists; written
// beside the binary files when "WriteXML" is BOTH, instead of them when it
// is XML. The device's XML file is kept only in device directories, never
// in the configuration root.
struct ConfigRoad {
  bool readXml = false;
  bool writeBinary = true;
  bool writeXml = false;
};

ConfigRoad RoadFor(const char* dir, bool device) {
  ConfigRoad road;
  if (!ExtDll_HasDoXml(dir) || (device && !Cfg_IsDeviceDir(dir))) return road;
  road.readXml = XmlOpt_ReadXml(dir) == 1;
  const int write = XmlOpt_WriteXml(dir);
  road.writeBinary = write != kWriteXmlOnly;
  road.writeXml = write == kWriteXmlBoth || write == kWriteXmlOnly;
  return road;
}

bool FileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The byte offset at which the extension library places a device's extra
// data in its file (Ex_Get_Config_Extra_FileOffset), else 0.
uint64_t DeviceExtraOffset(const char* dir, const void* extra, uint32_t extraLength) {
  void* lib = ExtDll_Load(dir);
  auto fn = reinterpret_cast<ExGetConfigExtraFileOffsetFn>(ExtDll_Entry(lib, "Ex_Get_Config_Extra_FileOffset"));
  const int32_t offset = fn ? fn(extra, static_cast<int32_t>(extraLength)) : 0;
  ExtDll_Free(lib);
  return offset > 0 ? static_cast<uint64_t>(offset) : 0;
}

// What of a device's configuration its XML file can carry: the device
// record only with a record type from the extension library (the type of a
// zeroed record of that size, as the XML loader asks for it), the extra data
// only with an extra-data type. What the XML form cannot carry stays in the
// binary files on every road, so that it is never lost.
struct DeviceXmlCarries {
  bool record = false;
  bool extra = false;
};

DeviceXmlCarries XmlCarries(const char* dir, uint32_t size) {
  DeviceXmlCarries carries;
  void* lib = ExtDll_Load(dir);
  auto configType = reinterpret_cast<ExGetConfigTypeFn>(ExtDll_Entry(lib, "Ex_Get_Config_Type"));
  if (configType && size > 0) {
    std::vector<unsigned char> zeroed(std::max<size_t>(size, kDeviceConfigSize), 0);
    carries.record = configType(zeroed.data(), static_cast<int32_t>(size)) != nullptr;
  }
  carries.extra = ExtDll_Entry(lib, "Ex_Get_Config_Extra_Type") != nullptr;
  ExtDll_Free(lib);
  return carries;
}

// Closes a descriptor without disturbing the error already set.
void CloseKeepingError(int fd) {
  const int saved = errno;
  const uint32_t last = plat::GetLastError();
  ::close(fd);
  errno = saved;
  plat::SetLastError(last);
}

// -1 with the system error of a failed open: a missing directory is "path
// not found" (3), a missing file in an existing directory "file not found".
int FailOpen(int err, const std::string& path) {
  if (err == ENOENT) {
    const std::string parent = path.substr(0, path.find_last_of('/') + 1);
    struct stat st;
    if (!parent.empty() && ::stat(parent.c_str(), &st) != 0) return plat::Fail(plat::kErrPathNotFound), -1;
  }
  return plat::FailErrno(err), -1;
}

// Reads up to len bytes at offset; returns the count read or -1.
ssize_t ReadUpTo(int fd, uint64_t offset, void* data, size_t len) {
  auto* p = static_cast<unsigned char*>(data);
  size_t done = 0;
  while (done < len) {
    const ssize_t n = ::pread(fd, p + done, len - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return plat::FailErrno(errno), -1;
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

// Reads exactly len bytes at offset; a file that ends first gives 38.
int ReadExact(int fd, uint64_t offset, void* data, size_t len) {
  const ssize_t n = ReadUpTo(fd, offset, data, len);
  if (n < 0) return -1;
  if (static_cast<size_t>(n) != len) return plat::Fail(plat::kErrHandleEof), -1;
  return 0;
}

int WriteAll(int fd, uint64_t offset, const void* data, size_t len) {
  auto* p = static_cast<const unsigned char*>(data);
  size_t done = 0;
  while (done < len) {
    const ssize_t n = ::pwrite(fd, p + done, len - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return plat::FailErrno(errno), -1;
    }
    done += static_cast<size_t>(n);
  }
  return 0;
}

// One piece of a file to be written.
struct Patch {
  uint64_t offset;
  const void* data;
  size_t length;
};

// Writes the patches into a file, creating it when missing and never
// cutting it short; bytes not patched keep their values and a gap beyond the
// old end reads back as zeros. A regular file is rebuilt in a temporary file
// beside it and renamed into place, so a crash leaves the old or the new
// file, never a mix; anything else (a device) is written in place.
int PatchFileLocked(const std::string& path, const std::vector<Patch>& patches);

// Saves of one directory are serialised by an exclusive lock on the
// directory itself: each save reads the old file, rebuilds it and renames the
// new one into place, so two saves that overlapped would each rebuild from
// the same old file and the later rename would drop the other's records.
// (The target cannot carry the lock: the rename replaces it.)
int PatchFile(const std::string& path, const std::vector<Patch>& patches) {
  const std::string parent = path.substr(0, path.find_last_of('/') + 1);
  const int dirFd = ::open(parent.empty() ? "." : parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd < 0) return FailOpen(errno, path);
  while (::flock(dirFd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      plat::FailErrno(errno);
      CloseKeepingError(dirFd);
      return -1;
    }
  }
  const int rc = PatchFileLocked(path, patches);
  CloseKeepingError(dirFd);  // also releases the lock
  return rc;
}

int PatchFileLocked(const std::string& path, const std::vector<Patch>& patches) {
  struct stat st;
  const bool exists = ::stat(path.c_str(), &st) == 0;
  if (exists && !S_ISREG(st.st_mode)) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return FailOpen(errno, path);
    for (const Patch& p : patches)
      if (WriteAll(fd, p.offset, p.data, p.length) != 0) return CloseKeepingError(fd), -1;
    if (::close(fd) != 0) return plat::FailErrno(errno), -1;
    return 0;
  }

  std::vector<unsigned char> content;
  if (exists) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return FailOpen(errno, path);
    content.resize(static_cast<size_t>(st.st_size));
    const ssize_t n = ReadUpTo(fd, 0, content.data(), content.size());
    if (n < 0) return CloseKeepingError(fd), -1;
    content.resize(static_cast<size_t>(n));
    ::close(fd);
  }
  for (const Patch& p : patches) {
    if (p.offset + p.length > content.size()) content.resize(p.offset + p.length, 0);
    if (p.length) memcpy(content.data() + p.offset, p.data, p.length);
  }

  // Under the directory's lock no other writer of this file runs, but a
  // killed one may have left its temporary file: removed here.
  plat::RemoveStaleTemps(path, ".tmp");
  std::string temp;
  const int fd = plat::CreateTempBeside(path, ".tmp", exists ? (st.st_mode & 07777) : plat::NewFileMode(), &temp);
  if (fd < 0) return -1;
  int rc = WriteAll(fd, 0, content.data(), content.size());
  if (rc == 0 && ::fsync(fd) != 0) rc = (plat::FailErrno(errno), -1);
  if (rc != 0) {
    const uint32_t code = plat::GetLastError();
    ::close(fd);
    ::unlink(temp.c_str());
    plat::Fail(code);
    return -1;
  }
  if (::close(fd) != 0 || ::rename(temp.c_str(), path.c_str()) != 0) {
    plat::FailErrno(errno);
    const uint32_t code = plat::GetLastError();
    ::unlink(temp.c_str());
    plat::Fail(code);
    return -1;
  }
  return 0;
}

bool ValidKind(int kind) { return Chan_KindName(kind) != nullptr; }

bool ValidRange(int first, int count) { return first >= 0 && count >= 0; }

// The offset of channel `first`'s block in an extra-data file of count
// equal blocks; -1 when the length does not split into count blocks and the
// range does not start at 0.
int64_t ChannelExtraOffset(int first, int count, uint32_t extraLength) {
  if (first == 0 || count == 0) return 0;
  if (extraLength % static_cast<uint32_t>(count) != 0) return -1;
  return int64_t{first} * (extraLength / static_cast<uint32_t>(count));
}

bool HasExtra(const void* extra, uint32_t extraLength, const char* extraFileName) {
  return extra && extraLength > 0 && extraFileName && extraFileName[0] != 0;
}

// Reads the extra data: zero-filled first; a missing file is no failure.
int LoadExtra(const std::string& path, uint64_t offset, void* extra, uint32_t extraLength) {
  memset(extra, 0, extraLength);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return 0;
    return FailOpen(errno, path);
  }
  const ssize_t n = ReadUpTo(fd, offset, extra, extraLength);
  if (n < 0) return CloseKeepingError(fd), -1;
  ::close(fd);
  return 0;
}

bool CurrentDir(std::string* out) {
  char buf[4096];
  if (!::getcwd(buf, sizeof buf)) {
    plat::FailErrno(errno);
    return false;
  }
  *out = buf;
  return true;
}

// One history line per item whose text changed (letter case aside).
void HistoryItems(const char* user, int number, const StructsType* type, const void* before, const void* after) {
  char** names = nullptr;
  const int n = Structs_ListItemNames(type, after, &names, kStructsTagTemporary);
  if (n < 0) return;
  for (int i = 0; i < n; ++i) {
    char* a = Structs_GetItemText(type, names[i], kStructsTagTemporary, before);
    char* b = Structs_GetItemText(type, names[i], kStructsTagTemporary, after);
    if (a && b && strcasecmp(a, b) != 0) Hist_Append(user, number, names[i], a, b);
    if (a) TypedMem_Free(kStructsTagTemporary, a);
    if (b) TypedMem_Free(kStructsTagTemporary, b);
  }
  Structs_FreeItemNames(names, n, kStructsTagTemporary);
}

// The history of a channel save: for each channel whose 216 bytes changed,
// its items (by the new record's kind, with the extension library's
// hardware items) under the channel's number in its file (position + 1).
void ChannelHistory(const char* user, const char* dir, int kind, const ChannelConfig* before,
                    const ChannelConfig* after, int first, int count) {
  void* lib = ExtDll_Load(dir);
  auto hwType = reinterpret_cast<ExGetChannelHwTypeFn>(ExtDll_Entry(lib, "Ex_Get_Channel_Hw_Type"));
  if (Hist_Open(kind + 1, dir)) {
    for (int i = 0; i < count; ++i) {
      if (memcmp(&before[i], &after[i], sizeof(ChannelConfig)) == 0) continue;
      CfgChannelType type;
      Cfg_BuildChannelType(&type, after[i].Type, hwType ? hwType(kind, first + i, &after[i]) : nullptr);
      HistoryItems(user, first + i + 1, &type.type, &before[i], &after[i]);
    }
  }
  ExtDll_Free(lib);
}

bool IsCalcDir(const char* dir) {
  std::string d = dir;
  while (!d.empty() && (d.back() == '/' || d.back() == '\\')) d.pop_back();
  const std::string last = d.substr(d.find_last_of("/\\") + 1);
  return strncasecmp(last.c_str(), "CALC", 4) == 0;
}

}  // namespace

// ---------------------------------------------------------------- channels

int Cfg_WriteFileBytes(const char* path, uint64_t offset, const void* data, size_t length) {
  if (!path || (length > 0 && !data)) return plat::Fail(plat::kErrInvalidParameter), -1;
  return PatchFile(path, {{offset, data, length}});
}

int Cfg_LoadChannels(const char* dir, int kind, ChannelConfig* records, int first, int count, void* extra,
                     uint32_t extraLength, const char* extraFileName) {
  if (!dir || !ValidKind(kind) || !ValidRange(first, count)) return plat::Fail(plat::kErrInvalidParameter), -1;
  const ConfigRoad road = RoadFor(dir, false);
  if (road.readXml && FileExists(Join(dir, (std::string(Chan_KindName(kind)) + ".xml").c_str())))
    return Cfg_LoadChannelsXml(dir, kind, records, first, count, extra, extraLength);

  if (records && count > 0) {
    const std::string path = Join(dir, Chan_KindName(kind));
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return FailOpen(errno, path);
    const int rc = ReadExact(fd, ChannelFileOffset(static_cast<uint64_t>(first)), records,
                             static_cast<size_t>(count) * kChannelRecordSize);
    if (rc != 0) return CloseKeepingError(fd), -1;
    ::close(fd);
  }
  if (HasExtra(extra, extraLength, extraFileName)) {
    const int64_t offset = ChannelExtraOffset(first, count, extraLength);
    if (offset < 0) return plat::Fail(plat::kErrInvalidParameter), -1;
    if (LoadExtra(Join(dir, extraFileName), static_cast<uint64_t>(offset), extra, extraLength) != 0) return -1;
  }
  return 0;
}

int Cfg_LoadChannelsInCwd(int kind, ChannelConfig* records, int first, int count) {
  std::string cwd;
  if (!CurrentDir(&cwd)) return -1;
  return Cfg_LoadChannels(cwd.c_str(), kind, records, first, count, nullptr, 0, nullptr);
}

int Cfg_SaveChannelsEx(const char* user, const char* dir, int kind, const ChannelConfig* records, int first,
                       int count, const void* extra, uint32_t extraLength, const char* extraFileName, int merge) {
  if (!dir || !ValidKind(kind) || !ValidRange(first, count) || (count > 0 && !records))
    return plat::Fail(plat::kErrInvalidParameter), -1;
  const bool withExtra = HasExtra(extra, extraLength, extraFileName);
  const int64_t extraOffset = withExtra ? ChannelExtraOffset(first, count, extraLength) : 0;
  if (extraOffset < 0) return plat::Fail(plat::kErrInvalidParameter), -1;

  // With the change history on, the stored channels are read first; a
  // stored XML file that cannot be read stops the save before anything is
  // written, any other failure only drops the comparison.
  const bool history = Hist_IsEnabled(dir) && count > 0;
  std::vector<ChannelConfig> before;
  if (history) {
    before.resize(static_cast<size_t>(count));
    std::vector<unsigned char> oldExtra(withExtra ? (IsCalcDir(dir) ? size_t(count) * 2048 : extraLength) : 0);
    const uint32_t last = plat::GetLastError();
    if (Cfg_LoadChannels(dir, kind, before.data(), first, count, withExtra ? oldExtra.data() : nullptr,
                         static_cast<uint32_t>(oldExtra.size()), withExtra ? extraFileName : nullptr) != 0) {
      if (plat::GetLastError() == plat::kErrXmlParse) return -1;
      before.clear();
      plat::SetLastError(last);
    }
  }
  const ConfigRoad road = RoadFor(dir, false);
  // Records that the XML file cannot hold stop the save before the binary
  // files are replaced (written alone, the XML writer refuses them itself).
  if (road.writeBinary && road.writeXml &&
      Cfg_CheckChannelsXml(dir, kind, records, first, count, extra, extra ? extraLength : 0, merge) != 0)
    return -1;
  if (road.writeBinary) {
    ConfigFileHeader header{};
    Time_NowLocal(&header.Saved);
    header.Saved.microseconds = 0;
    std::vector<Patch> patches = {{0, &header, sizeof header}};
    if (count > 0)
      patches.push_back({ChannelFileOffset(static_cast<uint64_t>(first)), records,
                         static_cast<size_t>(count) * kChannelRecordSize});
    if (PatchFile(Join(dir, Chan_KindName(kind)), patches) != 0) return -1;
    if (withExtra && PatchFile(Join(dir, extraFileName), {{static_cast<uint64_t>(extraOffset), extra, extraLength}}) != 0)
      return -1;
    // The configuration's change stamp: silent when the root has no "config".
    const uint32_t last = plat::GetLastError();
    if (Hist_TouchConfig(dir) != 0) plat::SetLastError(last);
  }
  if (road.writeXml &&
      Cfg_WriteChannelsXml(user, dir, kind, records, first, count, extra, extra ? extraLength : 0, merge) != 0)
    return -1;
  if (!before.empty()) ChannelHistory(user, dir, kind, before.data(), records, first, count);
  return 0;
}

int Cfg_SaveChannels(const char* user, const char* dir, int kind, const ChannelConfig* records, int first, int count,
                     const void* extra, uint32_t extraLength, const char* extraFileName) {
  return Cfg_SaveChannelsEx(user, dir, kind, records, first, count, extra, extraLength, extraFileName, 1);
}

int Cfg_RewriteChannels(const char* user, const char* dir, int kind, const ChannelConfig* records, int first,
                        int count, const void* extra, uint32_t extraLength, const char* extraFileName) {
  return Cfg_SaveChannelsEx(user, dir, kind, records, first, count, extra, extraLength, extraFileName, 0);
}

int Cfg_SaveChannelsInCwd(int kind, const ChannelConfig* records, int first, int count) {
  std::string cwd;
  if (!CurrentDir(&cwd)) return -1;
  return Cfg_SaveChannelsEx(nullptr, cwd.c_str(), kind, records, first, count, nullptr, 0, nullptr, 1);
}

// ---------------------------------------------------------------- devices

SaveConfigFile Cfg_PackSaveConfig(uint8_t saveOutputs, uint8_t saveByTag, uint32_t saveRate) {
  SaveConfigFile file{};
  file.SaveOutputs = saveOutputs;
  file.SaveByTag = saveByTag;
  for (int i = 0; i < 4; ++i) file.SaveRate[i] = static_cast<uint8_t>(saveRate >> (8 * i));
  return file;
}

void Cfg_UnpackSaveConfig(const SaveConfigFile& file, uint8_t* saveOutputs, uint8_t* saveByTag, uint32_t* saveRate) {
  if (saveOutputs) *saveOutputs = file.SaveOutputs;
  if (saveByTag) *saveByTag = file.SaveByTag;
  if (saveRate)
    *saveRate = static_cast<uint32_t>(file.SaveRate[0] | file.SaveRate[1] << 8 | file.SaveRate[2] << 16 |
                                      static_cast<uint32_t>(file.SaveRate[3]) << 24);
}

int Cfg_LoadDeviceEx(const char* dir, void* record, uint32_t size, void* extra, uint32_t extraLength,
                     const char* extraFileName, uint8_t* enable, uint8_t* saveOutputs, uint8_t* saveByTag,
                     uint32_t* saveRate) {
  if (!dir) return plat::Fail(plat::kErrInvalidParameter), -1;
  const ConfigRoad road = RoadFor(dir, true);
  bool recordMayBeMissing = false;
  if (road.readXml && FileExists(Join(dir, "config.xml"))) {
    const DeviceXmlCarries carries = XmlCarries(dir, size);
    const bool recordInXml = !record || size == 0 || carries.record;
    const bool extraInXml = !HasExtra(extra, extraLength, extraFileName) || carries.extra;
    if (Cfg_LoadDeviceXml(dir, recordInXml ? record : nullptr, recordInXml ? size : 0, extraInXml ? extra : nullptr,
                          extra && extraInXml ? extraLength : 0, enable, saveOutputs, saveByTag, saveRate) != 0)
      return -1;
    if (recordInXml && extraInXml) return 0;
    // The rest comes from the binary files. A device written as XML alone
    // before its record was kept there has no "config": its record reads as
    // zeros, as the XML file gave it.
    enable = saveOutputs = saveByTag = nullptr;
    saveRate = nullptr;
    if (recordInXml) record = nullptr, size = 0;
    if (extraInXml) extra = nullptr, extraLength = 0;
    recordMayBeMissing = true;
  }

  const std::string config = Join(dir, "config");
  if (enable) {
    // The one load that creates its file: an empty "config" is left behind,
    // and the read of its missing byte fails.
    const int fd = ::open(config.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return FailOpen(errno, config);
    if (ReadExact(fd, kConfigEnableOffset, enable, 1) != 0) return CloseKeepingError(fd), -1;
    ::close(fd);
  }
  if (saveOutputs || saveByTag || saveRate) {
    const std::string path = Join(dir, "saveconfig");
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return FailOpen(errno, path);
    SaveConfigFile file{};
    int rc = 0;
    if (rc == 0 && saveOutputs) rc = ReadExact(fd, offsetof(SaveConfigFile, SaveOutputs), &file.SaveOutputs, 1);
    if (rc == 0 && saveByTag) rc = ReadExact(fd, offsetof(SaveConfigFile, SaveByTag), &file.SaveByTag, 1);
    if (rc == 0 && saveRate) rc = ReadExact(fd, offsetof(SaveConfigFile, SaveRate), file.SaveRate, 4);
    if (rc != 0) return CloseKeepingError(fd), -1;
    ::close(fd);
    Cfg_UnpackSaveConfig(file, saveOutputs, saveByTag, saveRate);
  }
  if (record && size > 0 && recordMayBeMissing && !FileExists(config)) {
    memset(record, 0, size);
    record = nullptr;
  }
  if (record && size > 0) {
    const int fd = ::open(config.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return FailOpen(errno, config);
    if (ReadUpTo(fd, kConfigRecordOffset, record, size) < 0) return CloseKeepingError(fd), -1;
    ::close(fd);
  }
  if (HasExtra(extra, extraLength, extraFileName) &&
      LoadExtra(Join(dir, extraFileName), DeviceExtraOffset(dir, extra, extraLength), extra, extraLength) != 0)
    return -1;
  return 0;
}

int Cfg_LoadDevice(const char* dir, void* record, uint32_t size, void* extra, uint32_t extraLength,
                   const char* extraFileName) {
  return Cfg_LoadDeviceEx(dir, record, size, extra, extraLength, extraFileName, nullptr, nullptr, nullptr, nullptr);
}

bool Hist_IsEnabled(const char* dir) {
  const int known = Hist_KnownSwitch();
  if (known >= 0) return known != 0;
  const std::string root = Hist_SwitchDir(dir);
  uint8_t record[4] = {};
  const bool enabled = Cfg_LoadDeviceEx(root.c_str(), record, sizeof record, nullptr, 0, nullptr, nullptr, nullptr,
                                        nullptr, nullptr) == 0 &&
                       (record[0] & 0xFF) != 0;
  Hist_SetEnabled(enabled);
  return enabled;
}

int Cfg_LoadDeviceInCwd(void* record, uint32_t size) {
  std::string cwd;
  if (!CurrentDir(&cwd)) return -1;
  return Cfg_LoadDeviceEx(cwd.c_str(), record, size, nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr);
}

int Cfg_LoadSaveConfigInCwd(uint8_t* saveOutputs, uint8_t* saveByTag, uint32_t* saveRate) {
  std::string cwd;
  if (!CurrentDir(&cwd)) return -1;
  return Cfg_LoadDeviceEx(cwd.c_str(), nullptr, 0, nullptr, 0, nullptr, nullptr, saveOutputs, saveByTag, saveRate);
}

int Cfg_LoadEnableInCwd(uint8_t* enable) {
  std::string cwd;
  if (!CurrentDir(&cwd)) return -1;
  return Cfg_LoadDeviceEx(cwd.c_str(), nullptr, 0, nullptr, 0, nullptr, enable, nullptr, nullptr, nullptr);
}

namespace {
int SaveDeviceBinary(const char* dir, const void* record, uint32_t size, const void* extra, uint32_t extraLength,
                     const char* extraFileName, const uint8_t* enable, const uint8_t* saveOutputs,
                     const uint8_t* saveByTag, const uint32_t* saveRate);
}  // namespace

int Cfg_SaveDeviceEx(const char* user, const char* dir, const void* record, uint32_t size, const void* extra,
                     uint32_t extraLength, const char* extraFileName, const uint8_t* enable,
                     const uint8_t* saveOutputs, const uint8_t* saveByTag, const uint32_t* saveRate) {
  if (!dir) return plat::Fail(plat::kErrInvalidParameter), -1;
  // With the change history on, the stored state is read first (as for
  // channels: an unreadable XML file stops the save).
  const bool history = Hist_IsEnabled(dir);
  bool haveBefore = false;
  std::vector<unsigned char> oldRecord, oldExtra;
  uint8_t oldEnable = 0, oldSaveOutputs = 0, oldByTag = 0;
  uint32_t oldRate = 0;
  if (history) {
    oldRecord.assign(record ? size_t(size) * 2 : 0, 0);
    oldExtra.assign(extra ? extraLength : 0, 0);
    const uint32_t last = plat::GetLastError();
    haveBefore = Cfg_LoadDeviceEx(dir, record ? oldRecord.data() : nullptr, record ? size : 0,
                                  extra ? oldExtra.data() : nullptr, extra ? extraLength : 0, extraFileName,
                                  enable ? &oldEnable : nullptr, saveOutputs ? &oldSaveOutputs : nullptr,
                                  saveByTag ? &oldByTag : nullptr, saveRate ? &oldRate : nullptr) == 0;
    if (!haveBefore && plat::GetLastError() == plat::kErrXmlParse) return -1;
    if (!haveBefore) plat::SetLastError(last);
  }
  const ConfigRoad road = RoadFor(dir, true);
  if (road.writeBinary && road.writeXml &&
      Cfg_CheckDeviceXml(dir, record, size, extra, extra ? extraLength : 0, enable, saveOutputs, saveByTag,
                         saveRate) != 0)
    return -1;
  if (road.writeBinary && SaveDeviceBinary(dir, record, size, extra, extraLength, extraFileName, enable, saveOutputs,
                                           saveByTag, saveRate) != 0)
    return -1;
  if (!road.writeBinary) {
    // XML instead of the binary files: what the XML form cannot carry still
    // goes to the binary files (read from there by every load).
    const DeviceXmlCarries carries = XmlCarries(dir, size);
    const bool keepRecord = record && size > 0 && !carries.record;
    const bool keepExtra = HasExtra(extra, extraLength, extraFileName) && !carries.extra;
    if ((keepRecord || keepExtra) &&
        SaveDeviceBinary(dir, keepRecord ? record : nullptr, keepRecord ? size : 0, keepExtra ? extra : nullptr,
                         keepExtra ? extraLength : 0, extraFileName, nullptr, nullptr, nullptr, nullptr) != 0)
      return -1;
  }
  // The configuration's change stamp, also when only XML is written; silent
  // when the root has no "config".
  const uint32_t last = plat::GetLastError();
  if (Hist_TouchConfig(dir) != 0) plat::SetLastError(last);
  if (road.writeXml && Cfg_WriteDeviceXml(user, dir, record, size, extra, extra ? extraLength : 0, enable,
                                          saveOutputs, saveByTag, saveRate) != 0)
    return -1;
  if (haveBefore && Hist_Open(0, dir)) {
    auto onOff = [](uint8_t v) { return v ? "ON" : "OFF"; };
    if (enable && *enable != oldEnable) Hist_Append(user, 0, "AutoEnable", onOff(oldEnable), onOff(*enable));
    if (saveOutputs && *saveOutputs != oldSaveOutputs)
      Hist_Append(user, 0, "SaveOutputs", onOff(oldSaveOutputs), onOff(*saveOutputs));
    if (saveByTag && *saveByTag != oldByTag) Hist_Append(user, 0, "SaveByTag", onOff(oldByTag), onOff(*saveByTag));
    if (saveRate && *saveRate != oldRate)
      Hist_Append(user, 0, "SaveRate", std::to_string(oldRate).c_str(), std::to_string(*saveRate).c_str());
    void* lib = ExtDll_Load(dir);
    auto configType = reinterpret_cast<ExGetConfigTypeFn>(ExtDll_Entry(lib, "Ex_Get_Config_Type"));
    auto extraType = reinterpret_cast<ExGetConfigExtraTypeFn>(ExtDll_Entry(lib, "Ex_Get_Config_Extra_Type"));
    if (record && size > 0 && configType && memcmp(oldRecord.data(), record, size) != 0) {
      if (const StructsType* type = configType(record, static_cast<int32_t>(size))) {
        // Both records in buffers at least as large as the type.
        std::vector<unsigned char> a(std::max<size_t>(size, type->size), 0), b(a.size(), 0);
        memcpy(a.data(), oldRecord.data(), size);
        memcpy(b.data(), record, size);
        HistoryItems(user, 0, type, a.data(), b.data());
      }
    }
    if (extra && extraLength > 0 && extraType && memcmp(oldExtra.data(), extra, extraLength) != 0) {
      if (const StructsType* type = extraType(record, static_cast<int32_t>(size), extra,
                                              static_cast<int32_t>(extraLength))) {
        std::vector<unsigned char> a(std::max<size_t>(extraLength, type->size), 0), b(a.size(), 0);
        memcpy(a.data(), oldExtra.data(), extraLength);
        memcpy(b.data(), extra, extraLength);
        HistoryItems(user, 0, type, a.data(), b.data());
      }
    }
    ExtDll_Free(lib);
  }
  return 0;
}

namespace {

int SaveDeviceBinary(const char* dir, const void* record, uint32_t size, const void* extra, uint32_t extraLength,
                     const char* extraFileName, const uint8_t* enable, const uint8_t* saveOutputs,
                     const uint8_t* saveByTag, const uint32_t* saveRate) {
  std::vector<Patch> config;
  if (enable) config.push_back({kConfigEnableOffset, enable, 1});
  if (record && size > 0) config.push_back({kConfigRecordOffset, record, size});
  // Enable and record go to "config" in one replacement of the file.
  if (!config.empty() && PatchFile(Join(dir, "config"), config) != 0) return -1;

  const SaveConfigFile file =
      Cfg_PackSaveConfig(saveOutputs ? *saveOutputs : 0, saveByTag ? *saveByTag : 0, saveRate ? *saveRate : 0);
  std::vector<Patch> saveconfig;
  if (saveOutputs) saveconfig.push_back({offsetof(SaveConfigFile, SaveOutputs), &file.SaveOutputs, 1});
  if (saveByTag) saveconfig.push_back({offsetof(SaveConfigFile, SaveByTag), &file.SaveByTag, 1});
  if (saveRate) saveconfig.push_back({offsetof(SaveConfigFile, SaveRate), file.SaveRate, 4});
  if (!saveconfig.empty() && PatchFile(Join(dir, "saveconfig"), saveconfig) != 0) return -1;

  if (HasExtra(extra, extraLength, extraFileName) &&
      PatchFile(Join(dir, extraFileName), {{DeviceExtraOffset(dir, extra, extraLength), extra, extraLength}}) != 0)
    return -1;
  return 0;
}

}  // namespace

int Cfg_SaveDevice(const char* user, const char* dir, const void* record, uint32_t size, const void* extra,
                   uint32_t extraLength, const char* extraFileName) {
  return Cfg_SaveDeviceEx(user, dir, record, size, extra, extraLength, extraFileName, nullptr, nullptr, nullptr,
                          nullptr);
}

int Cfg_SaveDeviceInCwd(const void* record, uint32_t size) {
  std::string cwd;
  if (!CurrentDir(&cwd)) return -1;
  return Cfg_SaveDeviceEx(nullptr, cwd.c_str(), record, size, nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr);
}

int Cfg_SaveSaveConfigInCwd(const uint8_t* saveOutputs, const uint8_t* saveByTag, const uint32_t* saveRate) {
  std::string cwd;
  if (!CurrentDir(&cwd)) return -1;
  return Cfg_SaveDeviceEx(nullptr, cwd.c_str(), nullptr, 0, nullptr, 0, nullptr, nullptr, saveOutputs, saveByTag,
                          saveRate);
}

int Cfg_SaveEnableInCwd(const uint8_t* enable) {
  std::string cwd;
  if (!CurrentDir(&cwd)) return -1;
  return Cfg_SaveDeviceEx(nullptr, cwd.c_str(), nullptr, 0, nullptr, 0, nullptr, enable, nullptr, nullptr, nullptr);
}

// ---------------------------------------------------------------- other

bool Cfg_IsDeviceDir(const char* path) {
  if (!path) return false;
  static const char kSuffix[] = "CURRENT_CONFIG";
  const size_t n = strlen(path), k = sizeof kSuffix - 1;
  if (n < k + 1) return true;
  const char sep = path[n - k - 1];
  if (sep != '/' && sep != '\\') return true;
  return strncasecmp(path + n - k, kSuffix, k) != 0;
}

