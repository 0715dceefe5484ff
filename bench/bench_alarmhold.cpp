// How long the scanner holds its values module per scan when every channel
// changes alarm state and the alarm process drains its mailslot slowly.
//
// A real qd_poll scans 1,000 analog inputs (node 1, words 0..999, nine read
// blocks at 115200 baud) whose values cross their high alarm limit at every
// scan, so each scan sends 1,000 alarm messages (raised and cleared in
// turn). The alarm process is `cdxipc listen xalarms`, kept stopped most of
// the time (SIGSTOP 20 ms, SIGCONT 2 ms), so its mailslot queue is full and
// every write waits for it. A probe thread of this process takes and
// releases the values module's lock over and over; the hold of a scan is
// the longest the probe waited for the lock during that scan, which is what
// any reader of the values would have waited.
//
// Reported: the median and the largest hold over the scans (counters
// hold_p50_us and hold_max_us), and the scan's own time from code 300 to
// the module's notification.
#include <benchmark/benchmark.h>

#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/qd_bench_support.h"
#include "cdxlib/config/configfiles.h"
#include "cdxlib/shm/datamodule.h"
#include "cdxlib/shm/signals.h"
#include "platform/registry.h"
#include "platform/root.h"
#include "platform/sync.h"
#include "tools/cdxsim/cdxsim.h"
#include "tools/df1sim/df1sim.h"

namespace {

constexpr int kChannels = 1000;
constexpr int kNotifyCode = 0x5152;
std::atomic<int> g_notifications{0};

int OnCode(int code) {
  if (code == kNotifyCode) g_notifications.fetch_add(1);
  return 0;
}

using qdbench::Bcd;
using qdbench::OctalDigits;
using qdbench::PutSz;

void BM_ValuesHoldWithSlowAlarmReader(benchmark::State& state) {
  Sig_InstallHandler(OnCode);
  const std::string root = plat::Root() + "/alarmhold";
  const std::string dev = root + "/config/h1";
  std::filesystem::create_directories(dev);
  std::filesystem::create_directories(root + "/saved");
  setenv("CDX_CURRENT_CONFIG", (root + "/config").c_str(), 1);
  setenv("CDX_SAVED_VALUES", (root + "/saved").c_str(), 1);

  df1sim::Simulator plc;
  if (plc.Start(root + "/ttyPLC") != 0) return state.SkipWithError("df1sim did not start");
  plc.SetBaud(115200);
  PutSz("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports", "COM1:", "115200,n,8,1");
  PutSz("SOFTWARE\\Quillomatic\\SerialPorts", "COM1", plc.PortPath());

  std::vector<ChannelConfig> ch(kChannels);
  for (int i = 0; i < kChannels; ++i) {
    ChannelConfig& c = ch[size_t(i)];
    std::memset(&c, 0, sizeof c);
    c.Type = kKindAI;
    Chan_SetFlag(&c, kAiEnable, true);
    Chan_SetFlag(&c, kAiHighAlarmEnable, true);
    c.analog.Gain = 1;
    c.analog.HighAlarmLimit = 500;
    c.analog.HighAlarmPriority = 5;
    uint8_t* raw = reinterpret_cast<uint8_t*>(&c);
    raw[188] = 1;
    uint16_t w = uint16_t(OctalDigits(i));
    std::memcpy(raw + 190, &w, 2);
  }
  DeviceConfig dc;
  std::memset(&dc, 0, sizeof dc);
  dc.ScanRate = 1000;
  std::strcpy(dc.Comm.Port, "COM1");
  uint8_t enable = 1;
  Cfg_SaveDeviceEx(nullptr, dev.c_str(), &dc, sizeof dc, nullptr, 0, nullptr, &enable, nullptr, nullptr, nullptr);
  Cfg_SaveChannels(nullptr, dev.c_str(), kKindAI, ch.data(), 0, kChannels, nullptr, 0, nullptr);
  auto image = [&](int v) {
    for (int i = 0; i < kChannels; ++i) plc.SetWord(1, 2 * i, Bcd(v));
  };
  image(100);

  cdxsim::Description d;
  std::string error;
  cdxsim::Description::Parse("driver name=ALARM prefix=AL listen=0\n"
                             "device type=qd number=1 name=h1 process=qd_h1 ai=QH\n"
                             "module prefix=QH channels=1000 kind=8\n",
                             &d, &error);
  cdxsim::Sim sim(d);
  if (sim.Create() != 0) return state.SkipWithError("cdxsim could not create the modules");
  const pid_t reader = sim.StartProgram({CDX_BIN_DIR "/cdxipc", "listen", "xalarms"});
  int64_t until = plat::MonotonicMs() + 30000;
  for (;;) {
    SigMailslot h = Sig_OpenMailslot("xalarms");
    if (h != kSigNoMailslot) {
      Sig_CloseMailslot(h);
      break;
    }
    if (plat::MonotonicMs() > until) return state.SkipWithError("the alarm reader did not come up");
    plat::SleepMs(5);
  }
  const pid_t scanner = sim.StartDevice(1, CDX_BIN_DIR "/qd_poll");
  until = plat::MonotonicMs() + 60000;
  for (;;) {
    const uint8_t* r = sim.DeviceRecordPtr(1);
    if (r && r[58] == 1 && r[784] == 1 && r[776] == 0) break;
    if (plat::MonotonicMs() > until) return state.SkipWithError("qd_poll did not come up");
    plat::SleepMs(5);
  }
  DataModule* values = DM_Open("dm_QH");

  // The slow reader: stopped most of the time.
  std::atomic<bool> stop{false};
  std::thread throttle([&] {
    while (!stop) {
      ::kill(reader, SIGSTOP);
      plat::SleepMs(20);
      ::kill(reader, SIGCONT);
      plat::SleepMs(2);
    }
    ::kill(reader, SIGCONT);
  });
  // The probe: the longest wait for the values module's lock.
  std::atomic<int64_t> maxWaitUs{0};
  std::thread probe([&] {
    while (!stop) {
      const int64_t t0 = plat::MonotonicUs();
      DM_Lock(values);
      const int64_t waited = plat::MonotonicUs() - t0;
      DM_Unlock(values);
      int64_t seen = maxWaitUs.load();
      while (waited > seen && !maxWaitUs.compare_exchange_weak(seen, waited)) {
      }
      std::this_thread::yield();
    }
  });

  std::vector<double> holds;
  int64_t scanUsTotal = 0;
  int v = 900;
  for (auto _ : state) {
    image(v);
    v = v == 900 ? 100 : 900;
    const int before = g_notifications.load();
    DM_Subscribe(values, kNotifyCode);
    maxWaitUs = 0;
    const int64_t t0 = plat::MonotonicUs();
    sim.Send(scanner, 300);
    while (g_notifications.load() == before) Sig_Wait(100);
    const int64_t scanUs = plat::MonotonicUs() - t0;
    // The lock is released right after the notification: one more probe
    // round sees the end of the hold.
    plat::SleepMs(5);
    holds.push_back(double(maxWaitUs.load()));
    scanUsTotal += scanUs;
    state.SetIterationTime(double(scanUs) / 1e6);
  }
  stop = true;
  throttle.join();
  probe.join();
  sim.Send(scanner, 31);
  sim.WaitExit(scanner, 120000);
  sim.KillAll();
  plc.Stop();

  std::sort(holds.begin(), holds.end());
  if (!holds.empty()) {
    state.counters["hold_p50_us"] = holds[holds.size() / 2];
    state.counters["hold_max_us"] = holds.back();
    state.counters["scans"] = double(holds.size());
  }
}
BENCHMARK(BM_ValuesHoldWithSlowAlarmReader)->UseManualTime()->Iterations(20)->Unit(benchmark::kMillisecond);

}  // namespace

// Each run gets an instance of its own (the modules, mailslots and files of
// the rig live there).
int main(int argc, char** argv) {
  char templ[] = "/dev/shm/qdhold-XXXXXX";
  if (!mkdtemp(templ)) return 1;
  setenv("CDXPLAT_ROOT", templ, 1);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ec;
  std::filesystem::remove_all(templ, ec);
  return 0;
}
