#include "tools/cdxipc/valuetable.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "cdxlib/records/chanconfig.h"
#include "cdxlib/records/devicerecord.h"
#include "cdxlib/runtime/syserr.h"
#include "cdxlib/shm/datamodule.h"
#include "cdxlib/shm/drvtables.h"
#include "cdxlib/sys/textutil.h"

namespace valuetable {

namespace {

constexpr int kSysErrTypeScanner = 2;  // the type a scanner registers under

const uint8_t* DataOf(const DataModule* m) { return reinterpret_cast<const uint8_t*>(m) + kDmDataOffset; }

template <typename T>
T At(const uint8_t* p, size_t offset) {
  T v;
  std::memcpy(&v, p + offset, sizeof v);
  return v;
}

const DeviceRecord* FindDevice(int number) {
  if (Drv_OpenDeviceTable() != 0) return nullptr;
  for (int i = 0; i < Drv_DeviceCount(); ++i) {
    const DeviceRecord* r = Drv_DeviceAt(i);
    if (r && r->DeviceNumber == number) return r;
  }
  return nullptr;
}

// A local wall-clock stamp as "YYYY-MM-DD HH:MM:SS.mmm" (the seconds count
// local time, so they are split without a zone).
std::string StampText(const TimeStamp& t) {
  if (t.seconds == 0) return "none";
  const time_t secs = static_cast<time_t>(static_cast<uint32_t>(t.seconds));
  struct tm tm;
  gmtime_r(&secs, &tm);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec, t.milliseconds);
  return buf;
}

std::string FormatValue(float v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", static_cast<double>(v));
  return buf;
}

void RenderModule(const std::string& prefix, std::string* out) {
  const std::string valuesName = "dm_" + prefix;
  DataModule* m = DM_Open(valuesName.c_str());
  char line[512];
  if (!DM_IsView(m)) {
    *out += "module " + prefix + ": no module " + valuesName + "\n";
    return;
  }
  const uint32_t size = m->dataSize;
  const uint8_t* data = DataOf(m);
  if (size < kDrvValueWordsOffset) {
    *out += "module " + prefix + ": too small for a values module\n";
    return;
  }
  DriverValuesHeader head;
  std::memcpy(&head, data, sizeof head);
  const uint32_t kind = head.valueKind == 4 ? 4 : 8;
  // Channels whose status word (and value) lie inside the module.
  uint32_t count = head.channelCount;
  const uint32_t room = (size - kDrvValueWordsOffset) / kind;
  if (count > room) count = room;
  std::snprintf(line, sizeof line, "module %s: %u channels, error code %d, last scan %d ms\n", prefix.c_str(),
                count, static_cast<int>(head.errorCode), static_cast<int>(head.lastScanMs));
  *out += line;

  const std::string confName = valuesName + "_conf";
  DataModule* conf = DM_Open(confName.c_str());
  const bool haveConf = DM_IsView(conf);
  std::snprintf(line, sizeof line, "  %-4s %-12s %14s %-8s %s\n", "no", "tag", "value", "units", "status");
  *out += line;
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t status = At<uint32_t>(data, kDrvValueWordsOffset + 4 * i);
    ChannelConfig c;
    std::memset(&c, 0, sizeof c);
    bool configured = false;
    if (haveConf && kDrvChannelConfigSize * (i + 1) <= conf->dataSize) {
      std::memcpy(&c, DataOf(conf) + kDrvChannelConfigSize * i, sizeof c < kDrvChannelConfigSize ? sizeof c : kDrvChannelConfigSize);
      configured = c.Type != 0 || Chan_GetTag(c)[0] != '\0';
    }
    // The record's sub-type tells digital from analog; without a record the
    // status word's analog mark does.
    const bool digital = configured ? Chan_IsDigital(c.Type) : (status & 0x80u) == 0;
    const bool enabled = !configured || Chan_TestFlag(c, kAiEnable);
    std::string value;
    if (digital) {
      value.assign(1, (status & 1u) ? '1' : '0');
      const char* text = (status & 1u) ? c.digital.HighStateText : c.digital.LowStateText;
      std::string t;
      if (configured) t = cdxtext::FixedText(text, sizeof c.digital.HighStateText);
      if (!t.empty()) value = t + " (" + value + ")";
    } else if (kind == 8) {
      value = FormatValue(At<float>(data, kDrvValueWordsOffset + 4 * count + 4 * i));
    }
    const std::string units = configured && !digital ? Chan_GetUnits(c) : "";
    std::snprintf(line, sizeof line, "  %-4u %-12s %14s %-8s %s\n", i + 1, configured ? Chan_GetTag(c) : "",
                  value.c_str(), units.c_str(), StatusWords(status, digital, enabled).c_str());
    *out += line;
  }
}

}  // namespace

std::string StatusWords(uint32_t s, bool digital, bool enabled) {
  std::string out;
  auto add = [&](const char* t) {
    if (!out.empty()) out += ", ";
    out += t;
  };
  if (!enabled) add("DISABLED");
  if (s & 0x20u) add("BAD");
  if (s & 0x800u) {
    if (s & 0x20u) add("ERROR ALARM");
    else if (digital) add("ALARM");
    else add((s & 0x04u) ? "ALARM HIGH" : "ALARM LOW");
  }
  if (s & 0x400u) add((s & 0x200u) ? "WARNING HIGH" : "WARNING LOW");
  if (s & 0x08u) add((s & 0x10u) ? "EVENT HIGH" : "EVENT LOW");
  if (!digital && (s & 0x01u)) add("CHANGED");
  return out.empty() ? "ok" : out;
}

bool ResolvePrefixes(const std::string& name, std::vector<std::string>* prefixes, int* device) {
  prefixes->clear();
  *device = 0;
  char* end = nullptr;
  const long number = std::strtol(name.c_str(), &end, 10);
  const bool numeric = !name.empty() && *end == '\0';
  if (Drv_OpenDeviceTable() == 0) {
    for (int i = 0; i < Drv_DeviceCount(); ++i) {
      const DeviceRecord* r = Drv_DeviceAt(i);
      if (!r) continue;
      const bool match = numeric ? r->DeviceNumber == number
                                 : strcasecmp(cdxtext::FixedText(r->DeviceName, sizeof r->DeviceName).c_str(), name.c_str()) == 0;
      if (!match) continue;
      *device = r->DeviceNumber;
      for (const auto& p : r->PathPrefix) {
        const std::string prefix = cdxtext::FixedText(p, 2);
        if (!prefix.empty()) prefixes->push_back(prefix);
      }
      return true;
    }
  }
  if (numeric || name.size() != 2) return false;
  DataModule* m = DM_Open(("dm_" + name).c_str());
  if (!DM_IsView(m)) return false;
  prefixes->push_back(name);
  return true;
}

std::string Render(int device, const std::vector<std::string>& prefixes) {
  std::string out;
  char line[512];
  if (device != 0) {
    if (const DeviceRecord* r = FindDevice(device)) {
      DeviceRecord d;
      std::memcpy(&d, r, sizeof d);
      const std::string process = cdxtext::FixedText(d.ProcessName, sizeof d.ProcessName);
      std::snprintf(line, sizeof line, "device %u %s (%s): %s, scanner pid %u%s\n", d.DeviceNumber,
                    cdxtext::FixedText(d.DeviceName, sizeof d.DeviceName).c_str(), process.c_str(),
                    d.Running ? "running" : "not running", d.ScannerPid, d.Busy ? ", busy" : "");
      out += line;
      char text[256] = {};
      const bool registered = SysErr_FindStatusText(kSysErrTypeScanner, process.c_str(), text, sizeof text) == 1;
      if (registered)
        std::snprintf(line, sizeof line, "status: \"%s\"\n", text);
      else
        std::snprintf(line, sizeof line, "status: (not registered in dm_errors)\n");
      out += line;
      std::snprintf(line, sizeof line, "last scan %d ms, next scan due %s\n", static_cast<int>(d.LastScanMs),
                    StampText(d.NextScan).c_str());
      out += line;
    }
  }
  for (const auto& p : prefixes) RenderModule(p, &out);
  return out;
}

}  // namespace valuetable
