// A whole scanner installation for end-to-end tests: cdxsim plays the
// central server and its peers, df1sim the controllers on a pseudo-terminal,
// and qd_poll runs as a real child process between them.
//
// The device "dev1" (type qd, number 1) has 16 channels on two nodes in its
// ai module "QA"; the layout and the expected values are read through the
// offsets of the shared formats (Layout below), not through the structs the
// scanner uses.
#pragma once
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "cdxlib/records/chanconfig.h"
#include "cdxlib/config/configfiles.h"
#include "platform/registry.h"
#include "platform/root.h"
#include "platform/sync.h"
#include "support/child.h"
#include "tools/cdxsim/cdxsim.h"
#include "tools/df1sim/df1sim.h"

namespace qdtest {

// Offsets of the shared formats.
namespace Layout {
// Values module data area.
constexpr size_t kCount = 4, kError = 6, kScanMs = 8, kStatus = 20;
// Device record.
constexpr size_t kRunning = 58, kConfig = 60, kLastScan = 764, kNextScan = 768, kBusy = 776, kPid = 780,
                 kLoaded = 784;
}  // namespace Layout

template <typename T>
inline T Get(const uint8_t* p, size_t off) {
  T v;
  std::memcpy(&v, p + off, sizeof v);
  return v;
}

constexpr int kChannels = 16;
constexpr const char* kProcess = "qd_dev1";

// Byte addresses in the controllers (word digits are octal).
inline int ByteAddress(int wordDigits) {
  int octal = 0, mul = 1;
  for (int n = wordDigits; n > 0; n /= 10, mul *= 8) octal += (n % 10) * mul;
  return octal * 2;
}
inline uint16_t Bcd(int v) { return uint16_t(((v / 100) % 10) << 8 | ((v / 10) % 10) << 4 | (v % 10)); }

inline ChannelConfig Chan(int kind, int node, int word, int bit, const char* tag) {
  ChannelConfig c;
  std::memset(&c, 0, sizeof c);
  c.Type = uint8_t(kind);
  Chan_SetFlag(&c, 7, true);  // Enable (index 7 in both layouts)
  Chan_SetTag(&c, tag);
  uint8_t* raw = reinterpret_cast<uint8_t*>(&c);
  uint16_t w = uint16_t(word);
  if (kind & 1) {
    raw[192] = uint8_t(node);
    std::memcpy(raw + 194, &w, 2);
    raw[196] = uint8_t(bit);
  } else {
    raw[188] = uint8_t(node);
    std::memcpy(raw + 190, &w, 2);
    c.analog.Gain = 1;
    Chan_SetUnits(&c, "BAR");
  }
  return c;
}

// The channel set (index = channel - 1):
//  0 AI node 1 word 10, scaled x2 + 1          8 AI node 2 word 20 (value 10: a 0x10 byte)
//  1 AI node 1 word 11, high alarm 100/db 90   9 AI node 2 word 21, referenced (tare)
//  2 AO node 1 word 12 (scaling ignored)      10 AI node 2 word 22
//  3 DO node 1 word 13 bit 0                  11 AI node 2 word 23
//  4 DI node 1 word 13 bit 3, event on 1      12..15 DI node 2 word 24 bits 0..3
//  5 CI node 1 word 14
//  6 AI node 1 word 15, disabled
//  7 DI node 1 word 13 bit 1
inline std::vector<ChannelConfig> Channels() {
  std::vector<ChannelConfig> c;
  c.push_back(Chan(kKindAI, 1, 10, 0, "FLOW1"));
  Chan_SetFlag(&c[0], kAiScalingEnable, true);
  c[0].analog.Gain = 2;
  c[0].analog.Offset = 1;
  c.push_back(Chan(kKindAI, 1, 11, 0, "LEVEL1"));
  Chan_SetFlag(&c[1], kAiHighAlarmEnable, true);
  Chan_SetFlag(&c[1], kAiHighAlarmDeadbandEnable, true);
  c[1].analog.HighAlarmLimit = 100;
  c[1].analog.HighAlarmDeadband = 90;
  c[1].analog.HighAlarmPriority = 5;
  c.push_back(Chan(kKindAO, 1, 12, 0, "SETPT1"));
  Chan_SetFlag(&c[2], kAiScalingEnable, true);
  c[2].analog.Gain = 10;
  c.push_back(Chan(kKindDO, 1, 13, 0, "PUMP1"));
  c.push_back(Chan(kKindDI, 1, 13, 3, "ALARMBELL"));
  Chan_SetFlag(&c[4], kDiEventEnable, true);
  Chan_SetFlag(&c[4], kDiEventState, true);
  c.push_back(Chan(kKindCI, 1, 14, 0, "COUNT1"));
  c.push_back(Chan(kKindAI, 1, 15, 0, "SPARE"));
  Chan_SetFlag(&c[6], kAiEnable, false);
  c.push_back(Chan(kKindDI, 1, 13, 1, "DOOR1"));
  for (int i = 0; i < 4; ++i) c.push_back(Chan(kKindAI, 2, 20 + i, 0, ("TEMP" + std::to_string(i + 1)).c_str()));
  Chan_SetFlag(&c[9], kAiReferenceEnable, true);
  for (int i = 0; i < 4; ++i) c.push_back(Chan(kKindDI, 2, 24, i, ("VALVE" + std::to_string(i + 1)).c_str()));
  return c;
}

inline void PutSz(const char* key, const std::string& name, const std::string& value) {
  plat::HKEY k = nullptr;
  ASSERT_EQ(plat::RegCreateKeyEx(plat::HKEY_LOCAL_MACHINE, key, plat::REG_OPTION_NON_VOLATILE, plat::KEY_SET_VALUE,
                                 &k, nullptr),
            0u);
  ASSERT_EQ(plat::RegSetValueEx(k, name.c_str(), plat::REG_SZ, value.c_str(), uint32_t(value.size() + 1)), 0u);
  plat::RegCloseKey(k);
}

inline const char* kDescription = R"(
errors  entries=16
driver  name=ALARM prefix=AL
driver  name=DERIVED prefix=DV
device  type=qd number=1 name=dev1 process=qd_dev1 ai=QA scanrate=500
module  prefix=QA channels=16 kind=8 records=1
logger  name=LOG1 triggers=QA:5
)";

class Installation : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = plat::Root();
    configDir_ = root_ + "/config";
    deviceDir_ = configDir_ + "/dev1";
    savedDir_ = root_ + "/saved";
    std::filesystem::create_directories(deviceDir_);
    std::filesystem::create_directories(savedDir_);
    setenv("CDX_CURRENT_CONFIG", configDir_.c_str(), 1);
    setenv("CDX_SAVED_VALUES", savedDir_.c_str(), 1);

    ASSERT_EQ(plc_.Start(root_ + "/ttyPLC"), 0);
    SetImage();
    PutSz("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports", "COM1:", "19200,n,8,1");
    PutSz("SOFTWARE\\Quillomatic\\SerialPorts", "COM1", plc_.PortPath());

    channels_ = Channels();
    WriteDevice();
    WriteChannels();

    cdxsim::Description d;
    std::string error;
    ASSERT_TRUE(cdxsim::Description::Parse(Description(), &d, &error)) << error;
    sim_ = std::make_unique<cdxsim::Sim>(d);
    ASSERT_EQ(sim_->Create(), 0);
    // Row 0 of the event module: channel 5 is an event channel.
    uint8_t* event = sim_->ModuleData("dm_QA_event");
    ASSERT_NE(event, nullptr);
    event[0] |= 0x80 >> 4;
  }

  void TearDown() override {
    if (pid_ > 0) {
      sim_->Send(pid_, 31);
      sim_->WaitExit(pid_, 10000);
    }
    if (sim_) sim_->KillAll();
    plc_.Stop();
  }

  virtual std::string Description() { return kDescription; }

  void SetImage() {
    plc_.SetWord(1, ByteAddress(10), Bcd(142));
    plc_.SetWord(1, ByteAddress(11), Bcd(50));
    plc_.SetWord(1, ByteAddress(12), Bcd(7));
    plc_.SetWord(1, ByteAddress(13), 0x0009);  // bit 0 (PUMP1) and bit 3 (ALARMBELL)
    plc_.SetWord(1, ByteAddress(14), Bcd(999));
    plc_.SetWord(1, ByteAddress(15), Bcd(1));
    plc_.SetWord(2, ByteAddress(20), Bcd(10));
    plc_.SetWord(2, ByteAddress(21), Bcd(12));
    plc_.SetWord(2, ByteAddress(22), Bcd(300));
    plc_.SetWord(2, ByteAddress(23), Bcd(45));
    plc_.SetWord(2, ByteAddress(24), 0x0005);  // VALVE1 and VALVE3 open
  }

  void WriteDevice(int retries = 2, uint8_t saveOutputs = 0, uint32_t saveRate = 0, const char* port = "COM1") {
    DeviceConfig dc;
    std::memset(&dc, 0, sizeof dc);
    dc.ScanRate = 500;
    dc.Comm.RetryCount = uint8_t(retries);
    dc.Comm.Node = 1;
    std::snprintf(dc.Comm.Port, sizeof dc.Comm.Port, "%s", port);
    uint8_t enable = 1, byTag = 0;
    ASSERT_EQ(Cfg_SaveDeviceEx(nullptr, deviceDir_.c_str(), &dc, sizeof dc, nullptr, 0, nullptr, &enable,
                               &saveOutputs, &byTag, &saveRate),
              0);
  }

  void WriteChannels() {
    ASSERT_EQ(Cfg_SaveChannels(nullptr, deviceDir_.c_str(), kKindAI, channels_.data(), 0, int(channels_.size()),
                               nullptr, 0, nullptr),
              0);
  }

  // Starts qd_poll under the program name given (default: the built one).
  // A record left by an earlier run still shows that run's marks (loaded,
  // not busy, a next scan time) until the new scanner reaches them, so they
  // are cleared first: WaitReady then waits for the new run's own.
  pid_t Start(const std::string& program = "") {
    if (uint8_t* r = sim_->DeviceRecordPtr(1)) {
      r[Layout::kLoaded] = 0;
      std::memset(r + Layout::kNextScan, 0, 8);
    }
    pid_ = sim_->StartDevice(1, program.empty() ? testsupport::BinPath("qd_poll") : program);
    return pid_;
  }

  // Waits until the device record shows a finished initialisation.
  bool WaitReady(int timeoutMs = 20000) {
    int64_t end = plat::MonotonicMs() + timeoutMs;
    while (plat::MonotonicMs() < end) {
      const uint8_t* r = sim_->DeviceRecordPtr(1);
      if (r && r[Layout::kRunning] == 1 && r[Layout::kLoaded] == 1 && r[Layout::kBusy] == 0 &&
          Get<int32_t>(r, Layout::kNextScan) != 0)
        return true;
      plat::SleepMs(5);
    }
    return false;
  }

  // Sends one code and waits for the next notification of the values module.
  bool Code(uint32_t code, int timeoutMs = 20000) {
    size_t seen = sim_->WatchCodes().size();
    if (sim_->Watch("dm_QA") != 0) return false;
    if (sim_->Send(pid_, code) != 0) return false;
    return sim_->WaitWatchCodes(seen + 1, timeoutMs);
  }
  bool Scan() { return Code(300); }

  const uint8_t* Values() { return sim_->ModuleData("dm_QA"); }
  uint32_t Status(int channel) { return Get<uint32_t>(Values(), Layout::kStatus + 4 * (channel - 1)); }
  float Value(int channel) {
    return Get<float>(Values(), Layout::kStatus + 4 * kChannels + 4 * (channel - 1));
  }
  std::string Text() { return sim_->StatusText(kProcess); }

  // The read commands in df1sim's log since it was last cleared, as
  // "node:address:size".
  std::vector<std::string> Commands() {
    std::vector<std::string> out;
    for (const std::string& line : plc_.Log()) {
      unsigned b[9];
      if (std::sscanf(line.c_str(), "rx %x %x %x %x %x %x %x %x %x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5], &b[6],
                      &b[7], &b[8]) != 9 || b[2] != 0x01)
        continue;
      out.push_back(std::to_string(b[0]) + ":" + std::to_string(b[6] | b[7] << 8) + ":" + std::to_string(b[8]));
    }
    return out;
  }

  // Waits for the status text to become `want`.
  bool WaitText(const std::string& want, int timeoutMs = 10000) {
    return sim_->WaitStatusText(kProcess, want, timeoutMs) == want;
  }

  std::string root_, configDir_, deviceDir_, savedDir_;
  df1sim::Simulator plc_;
  std::unique_ptr<cdxsim::Sim> sim_;
  std::vector<ChannelConfig> channels_;
  pid_t pid_ = -1;
};

}  // namespace qdtest
