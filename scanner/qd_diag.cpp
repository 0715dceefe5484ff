#include "scanner/qd_diag.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <vector>

#include "cdxlib/shm/datamodule.h"
#include "cdxlib/shm/drvtables.h"
#include "cdxlib/runtime/valwrite.h"
#include "platform/sync.h"
#include "scanner/qd_state.h"

namespace {

struct DiagChannel {
  const char* tag;
  const char* description;
  bool digital;
  const char* high;  // high state text, or units of an analog channel
  const char* low;
};

constexpr DiagChannel kDiagTable[kDiagChannelsPerPort] = {
    {"ST", "STATUS", true, "ENABLED", "DISABLED"},
    {"RS", "RESET COUNTS", true, "RESET", "NORESET"},
    {"RB", "RECEIVE BYTES", false, "BYTES", nullptr},
    {"RP", "RECEIVE PACKETS", false, "PACKETS", nullptr},
    {"RT", "RECEIVE TIMEOUTS", false, "TIMEOUTS", nullptr},
    {"RE", "RECEIVE COMM ERRORS", false, "ERRORS", nullptr},
    {"RC", "RECEIVE CRC ERRORS", false, "ERRORS", nullptr},
    {"TB", "TRANSMIT BYTES", false, "BYTES", nullptr},
    {"TP", "TRANSMIT PACKETS", false, "PACKETS", nullptr},
    {"TE", "TRANSMIT ERRORS", false, "ERRORS", nullptr},
};

struct DiagState {
  bool active = false;
  bool published = false;  // the first publication forces its writes
  char name[3] = {};
  DataModuleHeader* module = nullptr;
  int ports = 0;
  uint32_t layout = 0;  // channels the module's arrays are laid out for
  std::vector<uint32_t> counters;  // ports x 10
  std::vector<uint32_t> status;    // ports x 10 channel words
  std::vector<float> values;       // ports x 10
  plat::CriticalSection cs;
};

DiagState& D() {
  static DiagState d;
  return d;
}

void CopyText(char* field, size_t width, const char* text) {
  std::memset(field, 0, width);
  std::strncpy(field, text, width);
}

}  // namespace

void Diag_MakeChannelNames(const char* deviceName, int deviceNumber, int port, ChannelConfig* channels) {
  char upper[13] = {};
  for (int i = 0; i < 12 && deviceName[i]; ++i) upper[i] = char(std::toupper(uint8_t(deviceName[i])));
  for (int i = 0; i < kDiagChannelsPerPort; ++i) {
    const DiagChannel& t = kDiagTable[i];
    ChannelConfig& c = channels[i];
    std::memset(&c, 0, sizeof c);
    c.Type = t.digital ? kKindDO : kKindAO;
    char tag[64], desc[96];
    auto format = [&](char* out, size_t n, const char* text) {
      if (deviceNumber && port)
        std::snprintf(out, n, "%1.5s_%d_%03d_%s", upper, deviceNumber, port, text);
      else if (deviceNumber)
        std::snprintf(out, n, "%1.9s_%d_%s", upper, deviceNumber, text);
      else if (port)
        std::snprintf(out, n, "%1.8s_%03d_%s", upper, port, text);
      else
        std::snprintf(out, n, "%1.12s_%s", upper, text);
    };
    format(tag, sizeof tag, t.tag);
    format(desc, sizeof desc, t.description);
    Chan_SetTag(&c, tag);
    Chan_SetDescription(&c, desc);
    if (t.digital) {
      Chan_SetFlag(&c, kDiEnable, true);
      CopyText(c.digital.HighStateText, sizeof c.digital.HighStateText, t.high);
      CopyText(c.digital.LowStateText, sizeof c.digital.LowStateText, t.low);
    } else {
      Chan_SetFlag(&c, kAiEnable, true);
      Chan_SetUnits(&c, t.high);
    }
  }
}

const char* Diag_NameOf(const DeviceRecord* device) {
  if (Drv_OpenDeviceTable() != 0) return nullptr;
  DataModuleHeader* table = Drv_DeviceTable();
  int count = Drv_DeviceCount();
  if (!table || count <= 0) return nullptr;
  // The names follow the records: the table must hold 4 + 790 x count bytes.
  if (uint64_t(Scan_ModuleDataSize(table)) < 4 + 790ull * uint64_t(count)) return nullptr;
  for (int i = 0; i < count; ++i) {
    if (Drv_DeviceAt(i) != device) continue;
    const char* name = Drv_DeviceDiagPrefix(i);
    return name && name[0] ? name : nullptr;
  }
  return nullptr;
}

void Diag_Open(DeviceRecord* device, const char* name) {
  DiagState& d = D();
  if (d.active) Diag_Close();
  // The port name would come from the device's extension library
  // (Ex_Get_Config_Port); without one, the STATUS texts carry none.
  char prefix[3] = {name[0], name[1], 0};
  DataModuleHeader* module = Drv_OpenDataModule(prefix);
  DataModuleHeader* conf = Drv_OpenConfModule(prefix);
  if (!module || !conf) return;
  const uint8_t* data = reinterpret_cast<const uint8_t*>(module) + kDmDataOffset;
  uint16_t kind, count;
  std::memcpy(&kind, data + kPathOffValueKind, 2);
  std::memcpy(&count, data + kPathOffCount, 2);
  uint32_t size = Scan_ModuleDataSize(module);
  uint32_t fits = size > kPathOffStatus ? (size - kPathOffStatus) / 8 : 0;
  uint32_t confFits = Scan_ModuleDataSize(conf) / sizeof(ChannelConfig);
  uint32_t usable = count;
  if (usable > fits) usable = fits;
  if (usable > confFits) usable = confFits;
  if (kind != 8 || usable < kDiagChannelsPerPort) return;

  plat::CsLock lock(d.cs);
  d.module = module;
  std::memcpy(d.name, prefix, 3);
  d.ports = int(usable / kDiagChannelsPerPort);
  d.layout = count < fits ? count : fits;
  size_t n = size_t(d.ports) * kDiagChannelsPerPort;
  d.counters.assign(n, 0);
  d.status.assign(n, 0);
  d.values.assign(n, 0.0f);
  d.published = false;

  auto* channels = reinterpret_cast<ChannelConfig*>(reinterpret_cast<uint8_t*>(conf) + kDmDataOffset);
  DM_Lock(conf);
  d.counters[kDiagActive] = device->Running;
  for (int port = 0; port < d.ports; ++port) {
    Diag_MakeChannelNames(device->DeviceName, device->DeviceNumber, port,
                          channels + size_t(port) * kDiagChannelsPerPort);
    d.status[size_t(port) * kDiagChannelsPerPort] |= 0x80;
  }
  TimeStamp now;
  Time_NowLocal(&now);
  std::memcpy(reinterpret_cast<uint8_t*>(module) + kDmDataOffset + kPathOffConfigStamp, &now, sizeof now);
  DM_Notify(conf, 0);
  DM_Unlock(conf);
  d.active = true;
  Diag_Publish();
}

void Diag_Publish() {
  DiagState& d = D();
  plat::CsLock lock(d.cs);
  if (!d.active || !d.module) return;
  uint8_t* data = reinterpret_cast<uint8_t*>(d.module) + kDmDataOffset;
  auto* words = reinterpret_cast<uint32_t*>(data + kPathOffStatus);
  auto* values = reinterpret_cast<float*>(data + kPathOffStatus + 4u * d.layout);
  const size_t n = size_t(d.ports) * kDiagChannelsPerPort;
  bool changed = !d.published;
  DM_Lock(d.module);
  for (int port = 0; port < d.ports; ++port) {
    size_t base = size_t(port) * kDiagChannelsPerPort;
    uint32_t* c = &d.counters[base];
    d.status[base] = (d.status[base] & ~1u) | (c[kDiagActive] != 0 ? 1u : 0u);
    if (words[base + 1] & 1u) {
      // Reset from outside: the counts start again; the port stays active.
      for (int k = kDiagReset; k < kDiagChannelsPerPort; ++k) c[k] = 0;
      d.status[base + 1] &= ~1u;
    }
    for (int k = 0; k < kDiagChannelsPerPort; ++k) d.values[base + k] = float(c[k]);
  }
  for (size_t i = 0; i < n && !changed; ++i) {
    bool digital = kDiagTable[i % kDiagChannelsPerPort].digital;
    if (digital ? ((words[i] ^ d.status[i]) & 1u) != 0 : values[i] != d.values[i]) changed = true;
  }
  DM_Unlock(d.module);
  if (!changed) return;
  int force = d.published ? 0 : 1;
  Val_WriteDigitalEx(force, 1, d.name, 1, int(n), d.status.data(), nullptr, nullptr);
  Val_WriteAnalogEx(force, 1, d.name, 1, int(n), d.values.data(), nullptr, nullptr);
  d.published = true;
}

void Diag_Close() {
  DiagState& d = D();
  {
    plat::CsLock lock(d.cs);
    if (!d.active) return;
    for (int port = 0; port < d.ports; ++port) d.counters[size_t(port) * kDiagChannelsPerPort] = 0;
  }
  Diag_Publish();
  plat::CsLock lock(d.cs);
  d.active = false;
  d.module = nullptr;
  d.ports = 0;
  d.counters.clear();
  d.status.clear();
  d.values.clear();
}

void Diag_ReopenIfNamed(DeviceRecord* device) {
  const char* name = Diag_NameOf(device);
  if (!name) return;
  char copy[2] = {name[0], name[1]};
  Diag_Close();
  Diag_Open(device, copy);
}

void Diag_AddToCounter(int port, uint32_t amount, int channel) {
  DiagState& d = D();
  {
    plat::CsLock lock(d.cs);
    if (!d.active || port < 0 || port >= d.ports || channel < 3 || channel > kDiagChannelsPerPort) return;
    int k = channel - 1;
    d.counters[size_t(port) * kDiagChannelsPerPort + k] += amount;
    if (port != 0) d.counters[size_t(k)] += amount;
    d.counters[size_t(port) * kDiagChannelsPerPort + kDiagActive] = 1;
  }
  Diag_Publish();
}

void Diag_AddRxBytes(int port, uint32_t n) { Diag_AddToCounter(port, n, 3); }
void Diag_AddRxPackets(int port, uint32_t n) { Diag_AddToCounter(port, n, 4); }
void Diag_AddRxTimeouts(int port, uint32_t n) { Diag_AddToCounter(port, n, 5); }
void Diag_AddRxCommErrors(int port, uint32_t n) { Diag_AddToCounter(port, n, 6); }
void Diag_AddRxCrcErrors(int port, uint32_t n) { Diag_AddToCounter(port, n, 7); }
void Diag_AddTxBytes(int port, uint32_t n) { Diag_AddToCounter(port, n, 8); }
void Diag_AddTxPackets(int port, uint32_t n) { Diag_AddToCounter(port, n, 9); }
void Diag_AddTxErrors(int port, uint32_t n) { Diag_AddToCounter(port, n, 10); }

int Diag_PortCount() { return D().ports; }
