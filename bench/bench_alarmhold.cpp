// How long the scanner holds its values module per scan when every channel
// changes alarm state and the alarm process runs, is stopped, or drains its
// mailslot slowly; and how long a large value write holds its module while
// one receiver of its sends is stopped.
//
// A real qd_poll scans 1,000 analog inputs (node 1, words 0..999, nine read
// blocks at 115200 baud) whose values cross their high alarm limit at every
// scan, so each scan sends 1,000 alarm messages (raised and cleared in
// turn). The alarm process is `cdxipc listen xalarms`, kept stopped most of
// the time (SIGSTOP 20 ms, SIGCONT 2 ms) or stopped for the whole run, so
// its mailslot queue is full. A probe thread of this process takes and
// releases the values module's lock over and over; the hold of a scan is
// the longest the probe waited for the lock during that scan, which is what
// any reader of the values would have waited.
//
// Reported: the median and the largest hold over the scans (counters
// hold_p50_us and hold_max_us), and the scan's own time from code 300 to
// the module's notification.
#include <benchmark/benchmark.h>

#include <signal.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_main.h"
#include "bench/qd_bench_support.h"
#include "cdxlib/config/configfiles.h"
#include "cdxlib/runtime/alarms.h"
#include "cdxlib/runtime/valwrite.h"
#include "cdxlib/shm/datamodule.h"
#include "cdxlib/shm/drvtables.h"
#include "cdxlib/shm/signals.h"
#include "platform/mailslot.h"
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
    if (qdbench::ScannerIsUp(r)) break;
    if (plat::MonotonicMs() > until) return state.SkipWithError("qd_poll did not come up");
    plat::SleepMs(5);
  }
  DataModule* values = DM_Open("dm_QH");

  // The alarm reader: running (0, the anchor), stopped for the whole run
  // (1), or stopped most of the time (2).
  const int mode = int(state.range(0));
  state.SetLabel(mode == 0 ? "alarm reader running" : mode == 1 ? "alarm reader stopped" : "alarm reader throttled");
  std::atomic<bool> stop{false};
  if (mode == 1) ::kill(reader, SIGSTOP);
  std::thread throttle([&] {
    while (!stop && mode == 2) {
      ::kill(reader, SIGSTOP);
      plat::SleepMs(20);
      ::kill(reader, SIGCONT);
      plat::SleepMs(2);
    }
    while (!stop) plat::SleepMs(5);
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
BENCHMARK(BM_ValuesHoldWithSlowAlarmReader)
    ->DenseRange(0, 2)
    ->UseManualTime()
    ->Iterations(20)
    ->Unit(benchmark::kMillisecond);

// A 5,000-channel value write with one receiver stopped by SIGSTOP for the
// whole run (argument: 0 none, the anchor; 1 the alarm process; 2 a logger;
// 3 the derived-value process; 4 the module's owner; 5 a subscriber). Each
// write moves every channel across its high alarm, warning and event limits
// and back, so it sends 10,000 alarm messages, logger triggers, the derived
// notice and the notifications (kind 1), or code 305 to the owner (kind 3).
// Reported: the write's time, the longest hold of the values module (the
// write's own lock time) and the longest wait of another process for it.
constexpr int kWriteChannels = 5000;
const char* const kReceiverNames[] = {"none", "alarm", "logger", "derived", "owner", "subscriber"};

int WaitForMailslot(const std::string& name) {
  const int64_t until = plat::MonotonicMs() + 30000;
  while (plat::MonotonicMs() < until) {
    SigMailslot h = Sig_OpenMailslot(name.c_str());
    if (h != kSigNoMailslot) return Sig_CloseMailslot(h), 0;
    plat::SleepMs(5);
  }
  return -1;
}

// The modules and receivers of the value-write runs, made once: the
// driver tables stay cached in this process.
struct WriteRig {
  std::unique_ptr<cdxsim::Sim> sim;
  pid_t alarm = 0, derived = 0, peer = 0;
  std::string error;
};

pid_t StartSubscriber(cdxsim::Sim& sim) {
  // Waits for its code, then stays (ten minutes) with its mailslot open.
  const pid_t p = sim.StartProgram({CDX_BIN_DIR "/ipcpeer", "subscribe", "dm_QW", "4242", "600000"});
  DataModule* m = DM_Open("dm_QW");
  const int64_t until = plat::MonotonicMs() + 30000;
  for (;;) {
    bool found = false;
    for (int i = 1; i <= 32 && !found; ++i) {
      NotifyEntry e{};
      found = DM_ReadNotifyEntry(m, false, i, &e) == 0 && e.pid == p;
    }
    if (found) return p;
    if (plat::MonotonicMs() > until) return -1;
    plat::SleepMs(5);
  }
}

WriteRig& Rig() {
  static WriteRig* rig = [] {
    auto* r = new WriteRig;
    cdxsim::Description d;
    if (!cdxsim::Description::Parse("driver name=ALARM prefix=AL listen=0\n"
                                    "driver name=DERIVED prefix=DV listen=0\n"
                                    "driver name=PLC prefix=PX type=2\n"
                                    "module prefix=QW channels=5000\n"
                                    "module prefix=PX channels=5000\n"
                                    "logger name=LOG1 triggers=QW:1,QW:2500,QW:5000\n",
                                    &d, &r->error))
      return r;
    r->sim = std::make_unique<cdxsim::Sim>(d);
    if (r->sim->Create() != 0) return r->error = "cdxsim could not create the modules", r;
    for (const char* prefix : {"QW", "PX"}) {
      for (int ch = 1; ch <= kWriteChannels; ++ch) {
        auto* c = reinterpret_cast<ChannelConfig*>(Drv_GetConfData(prefix) + kDrvChannelConfigSize * (ch - 1));
        std::memset(c, 0, sizeof *c);
        c->Type = kKindAO;
        const uint32_t flags = 0x1 | 0x2 | 0x4 | 0x800;  // enabled, event, high alarm, high warning
        std::memcpy(c->Flags, &flags, 4);
        c->analog.HighAlarmLimit = 100;
        c->analog.HighWarningLimit = 80;
        c->analog.HighEventLimit = 50;
        c->analog.LowEventLimit = -1000;  // 0 lies between: the event clears
      }
    }
    // Every channel of QW is a derived-value channel (event row 0).
    if (DataModuleHeader* ev = Drv_OpenEventModule("QW"))
      for (int i = 0; i < kWriteChannels; ++i) Drv_EventBitSet(ev, Drv_EventRowLength(kWriteChannels), 0, i, true);
    r->alarm = r->sim->StartProgram({CDX_BIN_DIR "/cdxipc", "listen", "xalarms"});
    r->derived = r->sim->StartProgram({CDX_BIN_DIR "/cdxipc", "listen", "derived"});
    r->peer = StartSubscriber(*r->sim);
    if (r->peer <= 0 || WaitForMailslot("xalarms") || WaitForMailslot("derived"))
      return r->error = "a receiver did not come up", r;
    // The peer is the logger and the owner of PX as well.
    if (LoggerRecord* l = Drv_GetLogger(1)) l->pid = r->peer;
    if (DriverRecord* o = Drv_FindDriver("PLC")) o->pid = r->peer;
    return r;
  }();
  return *rig;
}

void BM_ValueWriteWithAStoppedReceiver(benchmark::State& state) {
  const int which = int(state.range(0));
  state.SetLabel(kReceiverNames[which]);
  WriteRig& rig = Rig();
  if (!rig.error.empty()) return state.SkipWithError(rig.error.c_str());
  Alm_ResetProcessState();
  const char* prefix = which == 4 ? "PX" : "QW";
  pid_t stopped = which == 1 ? rig.alarm : which == 3 ? rig.derived : which == 2 || which == 4 ? rig.peer : 0;
  if (which == 5) {
    // A subscription is one-shot: a fresh subscriber, stopped once it is in.
    stopped = StartSubscriber(*rig.sim);
    if (stopped <= 0) return state.SkipWithError("the subscriber did not come up");
  }
  if (stopped > 0) ::kill(stopped, SIGSTOP);

  // Another process waits for the lock over and over: the longest wait.
  int pipeFd[2];
  if (::pipe(pipeFd) != 0) return state.SkipWithError("no pipe");
  const pid_t prober = ::fork();
  if (prober == 0) {
    ::close(pipeFd[0]);
    DataModule* m = DM_Open(which == 4 ? "dm_PX" : "dm_QW");
    int64_t longest = 0;
    const int64_t end = plat::MonotonicMs() + 120000;
    while (::getppid() != 1 && plat::MonotonicMs() < end) {
      const int64_t t0 = plat::MonotonicUs();
      DM_Lock(m);
      const int64_t waited = plat::MonotonicUs() - t0;
      DM_Unlock(m);
      if (waited > longest) {
        longest = waited;
        if (::write(pipeFd[1], &longest, sizeof longest) != sizeof longest) break;
      }
      ::usleep(50);
    }
    ::_exit(0);
  }
  ::close(pipeFd[1]);
  ::fcntl(pipeFd[0], F_SETFL, O_NONBLOCK);
  std::atomic<bool> stop{false};
  std::atomic<int64_t> maxWaitUs{0};
  std::atomic<bool> measuring{false};
  std::thread reader([&] {
    int64_t v;
    while (!stop) {
      while (::read(pipeFd[0], &v, sizeof v) == sizeof v)
        if (measuring) maxWaitUs = std::max(maxWaitUs.load(), v);
      plat::SleepMs(1);
    }
  });
  plat::SleepMs(200);  // the prober is up and has its first waits behind it
  measuring = true;

  std::vector<float> high(kWriteChannels, 150), low(kWriteChannels, 0);
  bool up = true;
  std::vector<double> times;
  for (auto _ : state) {
    const int64_t t0 = plat::MonotonicUs();
    Val_WriteAnalogEx(0, 1, prefix, 1, kWriteChannels, (up ? high : low).data(), "PC", "op");
    const int64_t us = plat::MonotonicUs() - t0;
    up = !up;
    times.push_back(double(us));
    state.SetIterationTime(double(us) / 1e6);
  }
  plat::SleepMs(20);
  stop = true;
  reader.join();
  ::kill(prober, SIGKILL);
  ::waitpid(prober, nullptr, 0);
  ::close(pipeFd[0]);
  state.counters["queued_msgs"] = double(plat::QueuedMailslotMessages());
  if (stopped > 0) ::kill(stopped, SIGCONT);
  if (which == 5) ::kill(stopped, SIGTERM);
  std::sort(times.begin(), times.end());
  state.counters["write_max_us"] = times.empty() ? 0 : times.back();
  state.counters["other_wait_max_us"] = double(maxWaitUs.load());
  plat::FlushMailslots(10000);
  Alm_ResetProcessState();
}
BENCHMARK(BM_ValueWriteWithAStoppedReceiver)
    ->DenseRange(0, 5)
    ->UseManualTime()
    ->Iterations(20)
    ->Unit(benchmark::kMillisecond);

}  // namespace

// Each family runs in a process and an instance of its own (the modules,
// mailslots and files of a rig live there, and this process keeps the driver
// tables it opened): without a filter, the scans run in a child first.
// One family of benchmarks in an instance of its own (null: as the
// arguments say).
int RunFamily(int argc, char** argv, const char* filter) {
  qdbench::BenchRoot run;
  run.templ = "/dev/shm/qdhold-XXXXXX";
  run.filter = filter;
  return qdbench::RunBenchmarksInRoot(argc, argv, run);
}

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (std::strncmp(argv[i], "--benchmark_filter", 18) == 0) return RunFamily(argc, argv, nullptr);
  const pid_t scans = ::fork();
  if (scans == 0) ::_exit(RunFamily(argc, argv, "BM_ValuesHoldWithSlowAlarmReader"));
  int status = 0;
  ::waitpid(scans, &status, 0);
  std::fflush(stdout);
  const int writes = RunFamily(argc, argv, "BM_ValueWriteWithAStoppedReceiver");
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? writes : 1;
}
