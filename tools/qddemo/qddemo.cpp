// qddemo: the scanner live. It builds a fresh instance, lets cdxsim create
// a device of 16 channels on two controller nodes, starts df1sim as the
// controllers on a pseudo-terminal, starts qd_poll for the device, sends it
// code 300 at the device's scan rate and shows a live table of the channels
// (tag, value, units, status), the alarm messages as they arrive and one
// line per scan. A short scenario runs meanwhile: a level rises through its
// alarm limit and falls back, and a node drops out for a few scans.
//
//   qddemo [--seconds N] [--keep] [--log]
//
// It ends after N seconds (default: until Ctrl-C), sends code 31 and waits
// for the scanner to end. --keep leaves the instance directory in place.
// --log also writes every scan's values into a binary log and reads the
// newest logged values back through the command client (the log's
// directory as the server name), saying which logged record they match.
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "cdxlib/config/configfiles.h"
#include "cdxlib/records/devicerecord.h"
#include "platform/error.h"
#include "platform/registry.h"
#include "platform/root.h"
#include "platform/sync.h"
#include "tools/cdxipc/valuetable.h"
#include "tools/cdxsim/cdxsim.h"
#include "tools/df1sim/df1sim.h"
#include "tools/qddemo/demolog.h"
#include "tools/qddemo/scenario.h"
#include "cdxlib/client/srvclient.h"

namespace {

std::atomic<bool> g_stop{false};
void OnSignal(int) { g_stop = true; }

template <typename T>
T Get(const uint8_t* p, size_t off) {
  T v;
  std::memcpy(&v, p + off, sizeof v);
  return v;
}

int Usage() {
  std::fprintf(stderr, "usage: qddemo [--seconds N] [--keep] [--log]\n");
  return 2;
}

bool PutSz(const char* key, const std::string& name, const std::string& value) {
  plat::HKEY k = nullptr;
  if (plat::RegCreateKeyEx(plat::HKEY_LOCAL_MACHINE, key, plat::REG_OPTION_NON_VOLATILE, plat::KEY_SET_VALUE, &k,
                           nullptr) != 0)
    return false;
  bool ok = plat::RegSetValueEx(k, name.c_str(), plat::REG_SZ, value.c_str(), uint32_t(value.size() + 1)) == 0;
  plat::RegCloseKey(k);
  return ok;
}

std::string Clock() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  struct tm tm;
  localtime_r(&ts.tv_sec, &tm);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03ld", tm.tm_hour, tm.tm_min, tm.tm_sec, ts.tv_nsec / 1000000);
  return buf;
}

// The status words of the screen are those of `cdxipc values`.
std::string StatusWords(uint32_t s, bool digital) { return valuetable::StatusWords(s, digital); }

// Describes one alarm message as the alarm process would show it.
std::string AlarmLine(const cdxsim::AlarmBytes& a, const std::vector<ChannelConfig>& channels) {
  static const char* kinds[] = {"ALARM", "CLEAR", "TEXT", "OPERATOR", "WARNING", "WARN CLEAR", "KIND 6", "KIND 7"};
  uint16_t channel = Get<uint16_t>(a.data(), 2);
  uint32_t flags = Get<uint32_t>(a.data(), 8);
  uint32_t valueBits = Get<uint32_t>(a.data(), 12);
  int number = channel & 0x7FFF;
  const char* tag = number >= 1 && number <= int(channels.size()) ? Chan_GetTag(channels[number - 1]) : "?";
  char buf[200];
  char value[32] = "no value";
  if (valueBits != 0x7FFFFFFFu) std::snprintf(value, sizeof value, "%.1f", Get<float>(a.data(), 12));
  std::snprintf(buf, sizeof buf, "%s  %-10s %.2s%d %-8s %s%s  value %s  priority %u", Clock().c_str(),
                kinds[flags & 7], reinterpret_cast<const char*>(a.data()), number, tag,
                (flags & 0x10) ? "high" : "low", (channel & 0x8000) ? " (bad)" : "", value, (flags >> 7) & 0xFF);
  return buf;
}

// "--seconds N", "--keep" and "--log"; false for anything else.
bool ParseArguments(int argc, char** argv, int* seconds, bool* keep, bool* log) {
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc) {
      char* end = nullptr;
      long v = std::strtol(argv[++i], &end, 10);
      if (!end || *end || v < 0) return false;
      *seconds = int(v);
    } else if (!std::strcmp(argv[i], "--keep")) {
      *keep = true;
    } else if (!std::strcmp(argv[i], "--log")) {
      *log = true;
    } else {
      return false;
    }
  }
  return true;
}

// The device's configuration files: device 1 on COM1 at the demo's scan
// rate, and its channels. 0, or -1 (errno from the save that failed).
int WriteConfiguration(const std::string& deviceDir, const std::vector<ChannelConfig>& channels) {
  DeviceConfig dc;
  std::memset(&dc, 0, sizeof dc);
  dc.ScanRate = qddemo::kScanRateMs;
  dc.Comm.RetryCount = 2;
  dc.Comm.Node = 1;
  std::strcpy(dc.Comm.Port, "COM1");
  uint8_t enable = 1, saveOutputs = 0, byTag = 0;
  uint32_t saveRate = 0;
  if (Cfg_SaveDeviceEx(nullptr, deviceDir.c_str(), &dc, sizeof dc, nullptr, 0, nullptr, &enable, &saveOutputs, &byTag,
                       &saveRate) != 0 ||
      Cfg_SaveChannels(nullptr, deviceDir.c_str(), kKindAI, channels.data(), 0, int(channels.size()), nullptr, 0,
                       nullptr) != 0)
    return -1;
  return 0;
}

// A terminal gets the whole screen drawn again each scan: the channel
// table, the scan line and the last lines of what happened.
void DrawScreen(int pid, const std::vector<ChannelConfig>& channels, const uint8_t* data, const char* line,
                const std::vector<std::string>& recent) {
  std::printf("\033[H\033[2J");
  std::printf("qddemo: device demo1, qd_poll pid %d, scan every %d ms  (Ctrl-C ends)\n\n", pid,
              qddemo::kScanRateMs);
  std::printf("  %-3s %-8s %-22s %12s %-7s %s\n", "ch", "tag", "description", "value", "units", "status");
  for (int ch = 0; ch < qddemo::kChannels; ++ch) {
    const ChannelConfig& c = channels[size_t(ch)];
    uint32_t s = Get<uint32_t>(data, 20 + 4 * size_t(ch));
    float v = Get<float>(data, 20 + 4 * qddemo::kChannels + 4 * size_t(ch));
    bool digital = Chan_IsDigital(c.Type);
    char value[32];
    if (digital)
      std::snprintf(value, sizeof value, "%s", (s & 1) ? c.digital.HighStateText : c.digital.LowStateText);
    else
      std::snprintf(value, sizeof value, "%.2f", double(v));
    std::printf("  %-3d %-8s %-22s %12s %-7s %s\n", ch + 1, Chan_GetTag(c), Chan_GetDescription(c), value,
                digital ? "" : Chan_GetUnits(c), StatusWords(s, digital).c_str());
  }
  std::printf("\n%s\n\n", line);
  size_t from = recent.size() > 12 ? recent.size() - 12 : 0;
  for (size_t i = from; i < recent.size(); ++i) std::printf("%s\n", recent[i].c_str());
}

// Output that is not a terminal (a file, a pipe) scrolls instead: what
// happened since the last scan, the scan line, and every tenth scan the
// channels' values.
void PrintLines(int scan, const std::vector<ChannelConfig>& channels, const uint8_t* data, const char* line,
                std::vector<std::string>* recent) {
  for (const std::string& r : *recent) std::printf("%s\n", r.c_str());
  recent->clear();
  std::printf("%s\n", line);
  if (scan % 10 == 0) {
    for (int ch = 0; ch < qddemo::kChannels; ++ch) {
      const ChannelConfig& c = channels[size_t(ch)];
      uint32_t s = Get<uint32_t>(data, 20 + 4 * size_t(ch));
      float v = Get<float>(data, 20 + 4 * qddemo::kChannels + 4 * size_t(ch));
      bool digital = Chan_IsDigital(c.Type);
      std::printf("    %-8s %12s %-6s %s\n", Chan_GetTag(c),
                  digital ? ((s & 1) ? c.digital.HighStateText : c.digital.LowStateText) : std::to_string(v).c_str(),
                  digital ? "" : Chan_GetUnits(c), StatusWords(s, digital).c_str());
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 0;
  bool keep = false, log = false;
  if (!ParseArguments(argc, argv, &seconds, &keep, &log)) return Usage();
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);

  // A fresh instance of our own, so the demo never meets other state.
  std::string base = std::filesystem::exists("/dev/shm") ? "/dev/shm" : "/tmp";
  std::string templ = base + "/qddemo-XXXXXX";
  if (!mkdtemp(templ.data())) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string root = templ;
  setenv("CDXPLAT_ROOT", root.c_str(), 1);
  const std::string configDir = root + "/config", deviceDir = configDir + "/demo1", savedDir = root + "/saved";
  std::filesystem::create_directories(deviceDir);
  std::filesystem::create_directories(savedDir);
  setenv("CDX_CURRENT_CONFIG", configDir.c_str(), 1);
  setenv("CDX_SAVED_VALUES", savedDir.c_str(), 1);

  int rc = 0;
  {
    df1sim::Simulator plc;
    if (plc.Start(root + "/ttyPLC") != 0) {
      std::perror("df1sim");
      return 1;
    }
    plc.SetBaud(19200);
    qddemo::LoadImage(plc);
    PutSz("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports", "COM1:", "19200,n,8,1");
    PutSz("SOFTWARE\\Quillomatic\\SerialPorts", "COM1", plc.PortPath());

    std::vector<ChannelConfig> channels = qddemo::Channels();
    if (WriteConfiguration(deviceDir, channels) != 0) {
      std::fprintf(stderr, "qddemo: cannot write the configuration files (%s)\n", plat::ErrorWords(errno).c_str());
      return 1;
    }

    cdxsim::Description d;
    std::string error;
    if (!cdxsim::Description::Parse(qddemo::Description(), &d, &error)) {
      std::fprintf(stderr, "qddemo: %s\n", error.c_str());
      return 1;
    }
    cdxsim::Sim sim(d);
    if (sim.Create() != 0) {
      std::fprintf(stderr, "qddemo: cannot create the data modules (%s)\n", plat::ErrorWords(errno).c_str());
      return 1;
    }
    // Row 0 of the event module: HILEVEL is an event channel.
    if (uint8_t* event = sim.ModuleData("dm_QA_event")) event[0] |= 0x80 >> 4;

    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string program = n > 0 ? (std::filesystem::path(std::string(self, size_t(n))).parent_path() / "qd_poll").string()
                                : std::string("qd_poll");
    pid_t pid = sim.StartDevice(1, program);
    if (pid <= 0) {
      std::fprintf(stderr, "qddemo: cannot start %s (%s)\n", program.c_str(), plat::ErrorWords(errno).c_str());
      return 1;
    }
    std::printf("qddemo: instance %s\nqddemo: df1sim on %s at 19200 baud, qd_poll pid %d for device demo1 (%d channels)\n",
                root.c_str(), plc.SlavePath().c_str(), int(pid), qddemo::kChannels);

    // Wait for the scanner's first scan (its device record ready).
    int64_t startDeadline = plat::MonotonicMs() + 15000;
    for (;;) {
      const uint8_t* r = sim.DeviceRecordPtr(1);
      DeviceRecord device;
      if (r) std::memcpy(&device, r, sizeof device);
      if (r && device.Running == 1 && device.ConfigLoaded == 1 && device.Busy == 0 && device.NextScan.seconds != 0)
        break;
      if (plat::MonotonicMs() > startDeadline || g_stop) {
        std::fprintf(stderr, "qddemo: the scanner did not come up; status \"%s\"\n",
                     sim.StatusText("qd_demo1").c_str());
        sim.KillAll();
        return 1;
      }
      plat::SleepMs(10);
    }

    qddemo::DemoLog demoLog;
    if (log) {
      if (demoLog.Open(root + "/logged/DEMO1", "QA", channels) != 0) {
        std::fprintf(stderr, "qddemo: cannot make the log (%s)\n", plat::ErrorWords(errno).c_str());
        sim.KillAll();
        return 1;
      }
      std::printf("qddemo: logging each scan into %s\n", demoLog.directory().c_str());
    }

    const bool tty = isatty(STDOUT_FILENO);
    const int64_t end = seconds > 0 ? plat::MonotonicMs() + int64_t(seconds) * 1000 : INT64_MAX;
    size_t alarmsSeen = 0;
    std::vector<std::string> recent;  // what scrolls below the table
    int64_t next = plat::MonotonicMs();
    int commandsBefore = plc.GetStats().commands;
    for (int scan = 0; !g_stop && plat::MonotonicMs() < end; ++scan) {
      std::string step = qddemo::Step(plc, scan);
      if (!step.empty()) recent.push_back(Clock() + "  " + step);
      size_t seen = sim.WatchCodes().size();
      sim.Watch("dm_QA");
      sim.Send(pid, 300);
      sim.WaitWatchCodes(seen + 1, 5000);

      const uint8_t* data = sim.ModuleData("dm_QA");
      int commands = plc.GetStats().commands;
      int failures = 0;
      for (int node = 0; node < qddemo::kBlocks; ++node)
        if (Get<uint32_t>(data, 20 + 4 * (node == 0 ? 0 : 8)) & 0x20) ++failures;
      std::string text = sim.StatusText("qd_demo1");
      char line[200];
      std::snprintf(line, sizeof line, "%s  scan %-4d blocks %d  commands %d  failures %d  %s", Clock().c_str(),
                    scan + 1, qddemo::kBlocks, commands - commandsBefore, failures, text.c_str());
      commandsBefore = commands;
      if (log) {
        std::string readBack;
        if (demoLog.Append(data) != 0) readBack = "log: the record of this scan could not be written";
        else demoLog.ReadBack(&readBack);
        recent.push_back(Clock() + "  " + readBack);
      }
      std::vector<cdxsim::AlarmBytes> alarms = sim.Alarms();
      for (; alarmsSeen < alarms.size(); ++alarmsSeen) recent.push_back(AlarmLine(alarms[alarmsSeen], channels));

      if (tty)
        DrawScreen(int(pid), channels, data, line, recent);
      else
        PrintLines(scan, channels, data, line, &recent);
      std::fflush(stdout);
      next += qddemo::kScanRateMs;
      int64_t wait = next - plat::MonotonicMs();
      while (wait > 0 && !g_stop) {
        plat::SleepMs(int(wait > 50 ? 50 : wait));
        wait = next - plat::MonotonicMs();
      }
    }

    if (log) {
      std::printf("qddemo: processors of the log: %s\n", demoLog.Processors().c_str());
      std::printf("qddemo: %d records logged, %d read back, %d mismatches\n", demoLog.written(), demoLog.readBack(),
                  demoLog.mismatches());
      if (demoLog.mismatches() != 0) rc = 1;
      Srv_CloseAll();
      demoLog.Close();
    }
    std::printf("qddemo: stopping the scanner (code 31)\n");
    sim.Send(pid, 31);
    int exitCode = sim.WaitExit(pid, 10000);
    if (exitCode < 0) {
      std::fprintf(stderr, "qddemo: the scanner did not end in time\n");
      rc = 1;
    } else {
      std::printf("qddemo: qd_poll ended with code %d\n", exitCode);
      if (exitCode != 0) rc = 1;
    }
    sim.KillAll();
    plc.Stop();
  }
  if (!keep) {
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
  }
  return rc;
}
