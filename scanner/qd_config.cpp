#include "scanner/qd_config.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "cdxlib/config/extdll.h"
#include "cdxlib/config/xmlconfig.h"
#include "cdxlib/config/configfiles.h"
#include "cdxlib/shm/datamodule.h"
#include "cdxlib/shm/drvtables.h"
#include "cdxlib/shm/signals.h"
#include "cdxlib/sys/floatstate.h"
#include "cdxlib/runtime/syserr.h"
#include "cdxlib/xml/xmldoc.h"
#include "platform/error.h"
#include "platform/sysinfo.h"
#include "scanner/comport.h"
#include "scanner/linetrace.h"
#include "scanner/qd_diag.h"
#include "scanner/qd_eval.h"
#include "scanner/qd_paths.h"
#include "scanner/qd_saved.h"
#include "scanner/qd_scan.h"
#include "scanner/qd_state.h"

namespace {

uint16_t GetU16(const uint8_t* data, uint32_t off) {
  uint16_t v;
  std::memcpy(&v, data + off, 2);
  return v;
}

// Lays out one path over its values module. The module's own channel count
// fixes where its arrays lie; the count the scanner uses is clamped to the
// path's maximum and to what the module's real size holds.
void AttachPath(ScanState& st, int path, DataModuleHeader* module) {
  ScanPath& p = st.paths[path];
  p = ScanPath{};
  uint8_t* data = reinterpret_cast<uint8_t*>(module) + kDmDataOffset;
  uint32_t size = Scan_ModuleDataSize(module);
  if (size < kPathOffStatus) return;
  uint32_t bytesPerChannel = GetU16(data, kPathOffValueKind) == 8 ? 8 : 4;
  uint32_t announced = GetU16(data, kPathOffCount);
  uint32_t fits = (size - kPathOffStatus) / bytesPerChannel;
  uint32_t layout = announced < fits ? announced : fits;  // the arrays' stride
  uint32_t count = layout < kPathMaxChannels[path] ? layout : kPathMaxChannels[path];
  p.module = module;
  p.data = data;
  p.moduleCount = uint16_t(layout);
  p.count = uint16_t(count);
  p.moduleStatus = reinterpret_cast<uint32_t*>(data + kPathOffStatus);
  if (bytesPerChannel == 8) p.moduleValues = reinterpret_cast<float*>(data + kPathOffStatus + 4 * layout);
  if (uint64_t(size) >= uint64_t(bytesPerChannel + kPathChannelRecordSize) * layout + kPathOffStatus)
    p.records = data + kPathOffStatus + bytesPerChannel * layout;
}

size_t LocalShare(int path, uint32_t count) {
  size_t words = count;                         // status
  if (Path_IsAnalog(path)) words += 3 * count;  // values, raw, last reported
  if (Path_HasSavedValues(path)) words += count;
  return words * 4;
}

void LayOutLocal(ScanState& st, uint8_t* block) {
  for (int path = 0; path < kScanPathCount; ++path) {
    ScanPath& p = st.paths[path];
    if (!p.module) continue;
    size_t n = p.count;
    p.localStatus = reinterpret_cast<uint32_t*>(block);
    block += n * 4;
    if (Path_IsAnalog(path)) {
      p.localValues = reinterpret_cast<float*>(block);
      block += n * 4;
      p.raw = reinterpret_cast<float*>(block);
      block += n * 4;
      p.lastReported = reinterpret_cast<float*>(block);
      block += n * 4;
      for (size_t m = 0; m < n; ++m) p.lastReported[m] = Eval_UnsetValue();
    }
    if (Path_HasSavedValues(path)) {
      p.saved = reinterpret_cast<float*>(block);
      block += n * 4;
    }
  }
}

// The channel file's last-write time as a stamp of the same wall-clock time.
int FileStamp(const char* name, TimeStamp* out) {
  struct stat sb;
  if (::stat(name, &sb) != 0) return plat::FailErrno(errno), -1;
  struct tm tm;
  time_t secs = sb.st_mtim.tv_sec;
  if (!localtime_r(&secs, &tm)) return plat::Fail(plat::kErrInvalidData), -1;
  SystemTime s{};
  s.year = uint16_t(tm.tm_year + 1900);
  s.month = uint16_t(tm.tm_mon + 1);
  s.dayOfWeek = uint16_t(tm.tm_wday);
  s.day = uint16_t(tm.tm_mday);
  s.hour = uint16_t(tm.tm_hour);
  s.minute = uint16_t(tm.tm_min);
  s.second = uint16_t(tm.tm_sec);
  s.milliseconds = uint16_t(sb.st_mtim.tv_nsec / 1000000);
  Time_FromSystemTime(s, out);
  return 0;
}

// The configuration module holds count records only as far as its size goes.
void ClampToConfModule(ScanPath& p) {
  uint32_t fits = Scan_ModuleDataSize(p.confModule) / sizeof(ChannelConfig);
  if (p.count > fits) p.count = uint16_t(fits);
}

void ReadNames(ScanState& st) {
  std::snprintf(st.computer, sizeof st.computer, "%s", plat::ComputerName().c_str());
  std::snprintf(st.user, sizeof st.user, "%s", plat::UserName().c_str());
}

// A configuration that could not be read: the XML error text itself when
// an XML file failed, else the number.
void SetReadFailure(int number) {
  if (plat::GetLastError() == plat::kErrXmlParse)
    SysErr_SetText("%s", xml_GetErrorText());
  else
    SysErr_SetText("CAN'T READ CONFIGURATION -%04d", number);
}

// The file a path's channels are read from: "<kind>.xml" when the XML
// files are on for this device and that file exists, else "<kind>".
std::string ChannelFileName(const char* kind) {
  char cwd[4096];
  const std::string xml = std::string(kind) + ".xml";
  struct stat sb;
  if (::getcwd(cwd, sizeof cwd) && ExtDll_HasDoXml(cwd) && XmlOpt_ReadXml(cwd) == 1 &&
      ::stat(xml.c_str(), &sb) == 0)
    return xml;
  return kind;
}

}  // namespace

int Scan_LoadPathDescs(void*) { return 0; }
int Scan_AfterInitHook() { return 1; }

void Scan_FreeLocal() {
  ScanState& st = Scan_State();
  std::free(st.localBlock);
  st.localBlock = nullptr;
  for (ScanPath& p : st.paths) p.localStatus = nullptr, p.localValues = nullptr, p.raw = nullptr,
                                p.lastReported = nullptr, p.saved = nullptr;
}

int Scan_ReloadDeviceConfig() {
  ScanState& st = Scan_State();
  DeviceConfig dc{};  // a loader that fills nothing leaves zeros, not stack bytes
  const bool trace = LineTrace_Check();
  if (Cfg_LoadDeviceInCwd(&dc, sizeof dc) != 0) {
    if (trace) LineTrace_Printf("reload device configuration failed (system error %u)", plat::GetLastError());
    return -1;
  }
  if (trace) LineTrace_Printf("reload device configuration: scan rate %d ms, port %.6s", int(dc.ScanRate), dc.Comm.Port);
  st.device->Config = dc;
  return 0;
}

namespace {
// An output channel's saved value is its last written value, not a tare.
bool IsOutputChannel(const ChannelConfig& c) { return c.Type == kKindAO || c.Type == kKindDO; }
}  // namespace

void Scan_ClearUnkeptOffsets(int path) {
  ScanPath& p = Scan_State().paths[path];
  if (!p.saved) return;
  for (int m = 0; m < p.count; ++m) {
    const ChannelConfig& c = p.channels[m];
    if (IsOutputChannel(c)) {
      // The channels may have changed: the last written value starts again
      // as what is published, so that no request seems to be pending.
      if (c.Type == kKindDO)
        p.saved[m] = p.moduleStatus && (p.moduleStatus[m] & kStState) ? 1.0f : 0.0f;
      else
        p.saved[m] = p.moduleValues ? p.moduleValues[m] : 0.0f;
      continue;
    }
    bool keeps = (c.Type == kKindAI || c.Type == kKindCI) && Chan_TestFlag(c, kAiEnable) &&
                 Chan_TestFlag(c, kAiReferenceEnable);
    if (!keeps) p.saved[m] = 0.0f;
  }
}

int Scan_ReloadPathConfig(int path, uint8_t* pathData) {
  ScanPath& p = Scan_State().paths[path];
  const char* kind = Chan_KindName(path);
  const std::string file = ChannelFileName(kind);
  const bool trace = LineTrace_Check();
  TimeStamp stamp;
  if (FileStamp(file.c_str(), &stamp) != 0) {
    if (trace) LineTrace_Printf("reload %s: %s not readable (system error %u)", kind, file.c_str(), plat::GetLastError());
    // A path without channels reads nothing from its file: it starts (and
    // reconfigures) empty whether the file is there or not.
    if (p.count == 0) return 0;
    return -1;
  }
  TimeStamp held;
  std::memcpy(&held, pathData + kPathOffConfigStamp, sizeof held);
  if (std::memcmp(&held, &stamp, sizeof stamp) == 0) {
    if (trace) LineTrace_Printf("reload %s: %s unchanged", kind, file.c_str());
    return 0;
  }
  if (!p.confModule) return plat::Fail(plat::kErrFileNotFound), -1;
  DM_Lock(p.confModule);
  int rc = p.count ? Cfg_LoadChannelsInCwd(path, p.channels, 0, p.count) : 0;
  int e = errno;
  DM_Unlock(p.confModule);
  if (rc != 0) {
    if (trace) LineTrace_Printf("reload %s: %s failed (system error %d)", kind, file.c_str(), e);
    return plat::Fail(uint32_t(e)), -1;
  }
  if (trace) LineTrace_Printf("reload %s: %d channels from %s", kind, int(p.count), file.c_str());
  std::memcpy(pathData + kPathOffConfigStamp, &stamp, sizeof stamp);
  DM_Notify(p.confModule, 0);
  return int(p.count) * int(sizeof(ChannelConfig));
}

namespace {
// The channel file of a path in a named directory: "<dir>/<kind>.xml" under
// the same rule as ChannelFileName, else "<dir>/<kind>".
std::string ChannelFileIn(const std::string& dir, const char* kind) {
  const std::string xml = dir + "/" + kind + ".xml";
  struct stat sb;
  if (ExtDll_HasDoXml(dir.c_str()) && XmlOpt_ReadXml(dir.c_str()) == 1 && ::stat(xml.c_str(), &sb) == 0) return xml;
  return dir + "/" + kind;
}
}  // namespace

int Scan_ReloadPathConfigRange(int path, uint8_t* pathData, int first, int count, const char* name) {
  if (path < 0 || path >= kScanPathCount || !pathData) return plat::Fail(plat::kErrInvalidParameter), -1;
  ScanPath& p = Scan_State().paths[path];
  const char* kind = Chan_KindName(path);
  const bool named = name && name[0];
  // Every argument given asks for this range from this directory, loaded
  // even when the file has not changed since the last load.
  const bool allGiven = first >= 0 && count > 0 && named;
  if (count <= 0) {
    first = 0;
    count = p.count;
  } else if (first < 0 || first > int(p.count) - count) {
    return plat::Fail(plat::kErrInvalidParameter), -1;
  }
  const std::string file = named ? ChannelFileIn(name, kind) : ChannelFileName(kind);
  const bool trace = LineTrace_Check();
  TimeStamp stamp;
  if (FileStamp(file.c_str(), &stamp) != 0) {
    if (trace) LineTrace_Printf("reload %s: %s not readable (system error %u)", kind, file.c_str(), plat::GetLastError());
    return -1;
  }
  TimeStamp held;
  std::memcpy(&held, pathData + kPathOffConfigStamp, sizeof held);
  if (!allGiven && std::memcmp(&held, &stamp, sizeof stamp) == 0) {
    if (trace) LineTrace_Printf("reload %s: %s unchanged", kind, file.c_str());
    return 0;
  }
  if (!p.confModule || (count > 0 && !p.channels)) return plat::Fail(plat::kErrFileNotFound), -1;
  DM_Lock(p.confModule);
  int rc = 0;
  if (count > 0)
    rc = named ? Cfg_LoadChannels(name, path, p.channels + first, first, count, nullptr, 0, nullptr)
               : Cfg_LoadChannelsInCwd(path, p.channels + first, first, count);
  int e = errno;
  DM_Unlock(p.confModule);
  if (rc != 0) {
    if (trace) LineTrace_Printf("reload %s: %s failed (system error %d)", kind, file.c_str(), e);
    return plat::Fail(uint32_t(e)), -1;
  }
  if (trace) LineTrace_Printf("reload %s: channels %d..%d from %s", kind, first + 1, first + count, file.c_str());
  std::memcpy(pathData + kPathOffConfigStamp, &stamp, sizeof stamp);
  DM_Notify(p.confModule, 0);
  return count * int(sizeof(ChannelConfig));
}

int Scan_LoadConfiguration() {
  ScanState& st = Scan_State();
  DeviceRecord* dev = st.device;
  if (Scan_ReloadDeviceConfig() != 0) {
    SetReadFailure(errno);
    return -1;
  }
  uint8_t saveOutputs = 0, byTag = 0;
  uint32_t rate = 0;
  if (Cfg_LoadSaveConfigInCwd(&saveOutputs, &byTag, &rate) == 0) {
    st.saveOn = saveOutputs != 0;
    st.saveByTag = byTag != 0;
    st.saveRateMs = int32_t(rate);
  } else {
    st.saveOn = false;
  }
  if (st.saveOn) {
    Time_NowLocal(&st.nextSave);
    Time_AddMs(&st.nextSave, st.saveRateMs);
  }

  size_t local = 0;
  for (int path = 0; path < kScanPathCount; ++path) {
    st.paths[path] = ScanPath{};
    if (!dev->PathPrefix[path][0]) continue;
    char prefix[3] = {dev->PathPrefix[path][0], dev->PathPrefix[path][1], 0};
    DataModuleHeader* module = Drv_OpenDataModule(prefix);
    if (!module) continue;
    AttachPath(st, path, module);
    local += LocalShare(path, st.paths[path].count);
  }

  if (Scan_LoadPathDescs(dev) == -1) {
    SysErr_SetText("CAN'T LOAD PATH DESCS -%04d", errno & 0xfff);
    Scan_Exit(errno);
  }

  Scan_FreeLocal();
  st.localBlock = std::calloc(1, local ? local : 1);
  if (!st.localBlock) {
    plat::Fail(plat::kErrNotEnoughMemory);
    SysErr_SetText("CAN'T GET MEMORY -%04d", errno & 0xfff);
    return -1;
  }
  LayOutLocal(st, static_cast<uint8_t*>(st.localBlock));

  for (int path = 0; path < kScanPathCount; ++path) {
    ScanPath& p = st.paths[path];
    if (!p.module) continue;
    char prefix[3] = {dev->PathPrefix[path][0], dev->PathPrefix[path][1], 0};
    p.confModule = Drv_OpenConfModule(prefix);
    if (!p.confModule) {
      p.count = 0;  // no channel records: the path holds no channels
      continue;
    }
    p.channels = reinterpret_cast<ChannelConfig*>(reinterpret_cast<uint8_t*>(p.confModule) + kDmDataOffset);
    ClampToConfModule(p);
    if (Scan_ReloadPathConfig(path, p.data) == -1) {
      SetReadFailure(errno);
      return -1;
    }
    if (Path_IsOutput(path)) {
      if (st.saveOn) {
        void* target = path == kPathAo ? static_cast<void*>(p.moduleValues) : p.moduleStatus;
        if (target) SavedValues_Restore(dev->DeviceName, path, st.saveByTag, target, p.channels, p.count);
      }
      if (p.count) std::memcpy(p.localStatus, p.moduleStatus, size_t(p.count) * 4);
      if (p.count && p.moduleValues && p.localValues)
        std::memcpy(p.localValues, p.moduleValues, size_t(p.count) * 4);
    }
    if (Path_HasSavedValues(path)) {
      SavedValues_Restore(dev->DeviceName, path, false, p.saved, p.channels, p.count);
      Scan_ClearUnkeptOffsets(path);
    }
  }
  ReadNames(st);
  return 0;
}

int Scan_ReloadChannels(bool runInitHandlers, int* handlerSum) {
  ScanState& st = Scan_State();
  int sum = 0;
  int firstError = 0;
  if (handlerSum) *handlerSum = 0;
  for (int path = 0; path < kScanPathCount && st.running; ++path) {
    ScanPath& p = st.paths[path];
    if (!p.module || !p.confModule) continue;
    int rc = Scan_ReloadPathConfig(path, p.data);
    if (rc == -1) return -1;
    if (rc > 0) {
      Scan_ClearUnkeptOffsets(path);
      if (runInitHandlers) {
        int r = kPathInitHandlers[path](&st.device->Config, p.count, p.channels);
        if (r != 0 && firstError == 0) firstError = errno ? errno : int(plat::kErrInvalidData);
        sum += r;
      }
    }
  }
  if (handlerSum) *handlerSum = sum;
  if (sum != 0) plat::Fail(uint32_t(firstError));
  return 0;
}

void Scan_ReloadOrExit() {
  if (Scan_ReloadDeviceConfig() != 0 || Scan_ReloadChannels(false) == -1) {
    SetReadFailure(errno & 0xfff);
    Scan_Exit(errno);
  }
}

int Scan_Reconfigure() {
  ScanState& st = Scan_State();
  Scan_MarkBusy();
  if (Scan_ReloadDeviceConfig() != 0) {
    SetReadFailure(errno & 0xfff);
    Scan_Exit(errno);
  }
  Diag_ReopenIfNamed(st.device);
  // Only a configuration that cannot be read stops the process; channels
  // that a handler rejects (none enabled, say) fail the reconfiguration,
  // and the device is initialised again until a good one comes.
  int handlers = 0;
  if (Scan_ReloadChannels(true, &handlers) == -1) {
    SetReadFailure(errno & 0xfff);
    Scan_Exit(errno);
  }
  if (handlers != 0) {
    if (LineTrace_On()) LineTrace_Printf("reconfigure: the channel handlers refused the channels (system error %d)", errno);
    return -1;
  }
  Scan_AfterInitHook();
  if (Scan_ScanAll(1) == -1) return -1;
  Scan_MarkReady();
  return 0;
}

int Scan_ResetValueOffsets(int count, const ChannelConfig* channels, float* saved, const float* values,
                           const uint32_t* status, int path) {
  bool changed = false;
  for (int m = 0; m < count; ++m) {
    float next = 0.0f;
    if (IsOutputChannel(channels[m])) {
      next = saved[m];  // its last written value stays
    } else if (!(status[m] & kStBad) && (status[m] & kStAnalog) &&
               Chan_TestFlag(channels[m], kAiReferenceEnable)) {
      float s = saved[m], v = values[m];
      next = Flt_Add(&s, &v);
    }
    if (std::memcmp(&next, &saved[m], 4) != 0) changed = true;
    saved[m] = next;
  }
  if (changed) SavedValues_Write(Scan_State().device->DeviceName, path, saved, channels, count);
  return 0;
}

int Scan_InitialiseValues() {
  ScanState& st = Scan_State();
  Scan_MarkBusy();
  for (int path : {kPathAi, kPathCi}) {
    ScanPath& p = st.paths[path];
    if (!p.module || !p.saved) continue;
    Scan_ResetValueOffsets(p.count, p.channels, p.saved, p.localValues, p.localStatus, path);
  }
  if (Scan_ScanAll(0) == -1) return -1;
  Scan_MarkReady();
  return 0;
}

int Scan_ResetCounters() {
  ScanState& st = Scan_State();
  ScanPath& ci = st.paths[kPathCi];
  if (!ci.module) return 0;
  Scan_MarkBusy();
  if (Path_ResetCountersCi(&st.device->Config, ci.count, ci.channels) == -1) return -1;
  if (Scan_ScanAll(0) == -1) return -1;
  Scan_MarkReady();
  return 0;
}

void Scan_Exit(int code) {
  ScanState& st = Scan_State();
  Scan_ResetChannelStates(code);
  Com_Close();
  if (st.device) st.device->Running = 0;
  Sig_RemoveHandler();
  Scan_FreeLocal();
  Diag_Close();
  std::exit(code);
}
