// cdxsim: plays the central server for a demonstration (see cdxsim.h for the
// description format).
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>

#include "cdxlib/records/devicerecord.h"
#include "platform/error.h"
#include "platform/sync.h"
#include "tools/cdxsim/cdxsim.h"

namespace {

std::atomic<bool> g_stop{false};
void OnSignal(int) { g_stop = true; }

void Usage() {
  std::fprintf(stderr,
               "usage: cdxsim DESCRIPTION [--device N] [--scans K] [--program PATH] [--replace]\n"
               "       cdxsim DESCRIPTION --reconfigure\n"
               "  Creates the system tables and module sets of DESCRIPTION in the\n"
               "  instance of CDXPLAT_ROOT, starts PATH (or the description's\n"
               "  'program') with device number N (default: the first device), sends\n"
               "  code 300 at the device's scan rate K times (0: until interrupted),\n"
               "  prints what the alarm process, the derived-value processor and the\n"
               "  loggers receive and the device's status text, then sends 31.\n"
               "  Without a program it only creates the modules and exits.\n"
               "  A device of the description whose scanner is running is refused:\n"
               "  creating its modules anew would zero its record, status and values.\n"
               "  --replace creates them all the same. --reconfigure creates nothing:\n"
               "  it writes the point lines' files and sends 302 to each running\n"
               "  scanner of the description, which then reloads its channels.\n"
               "Description statements (one per line, key=value words, '#' comments):\n"
               "  errors  entries=64 [layout=full|compact]\n"
               "  driver  name=ALARM [print=..] [prefix=XX] [type=0] [configured=1] [valrec=0] [pid=0]\n"
               "          [listen=1]\n"
               "  device  type=qd number=1 name=dev1 [process=..] [ai=XX] [di=XX] [ao=XX] [do=XX]\n"
               "          [ci=XX] [diag=XX] [scanrate=1000] [port=..] [node=1] [retries=3]\n"
               "  module  prefix=XX channels=16 [kind=8|4] [records=0|1]\n"
               "  channel prefix=XX number=1 [type=3] [enable=1] [desc=..] [tag=..] [high=..] [alarm=0|1]\n"
               "  point   device=1 number=1 [kind=ai] [tag=..] [desc=..] [enable=1] [node=1] [word=0] [bit=0]\n"
               "          analog: [units=..] [gain=G] [offset=O] [high=L] [highdb=D] [highwarn=W]\n"
               "          [highprio=P] [highdelay=S] [low=L] [lowdb=D] [lowwarn=W] [lowprio=P] [lowdelay=S]\n"
               "          [eventhigh=L] [eventlow=L] [sigchange=V] [reference=0|1]\n"
               "          digital: [alarmstate=0|1] [prio=P] [delay=S] [eventstate=0|1]\n"
               "          both: [errorprio=P] [errordelay=S] [common=high,low,error | alarm,error]\n"
               "          (writes the device's \"config\" and \"ai\" in CDX_CURRENT_CONFIG/<name>)\n"
               "          node= and word= are octal, as the controllers number them (word=10 is\n"
               "          byte address 16, node=10 is df1sim's node 8), and the word holds the\n"
               "          value as 3-digit BCD. df1sim takes byte addresses and raw words: for\n"
               "          point word=10 node=1 published as 64, \"word 1 16 100\" (0x64 = 100)\n"
               "  logger  name=LOG1 [type=stand] [enabled=1] [triggers=XX:1,XX:5]\n"
               "  env     NAME=VALUE   (for cdxsim itself and the program it starts)\n"
               "  program PATH\n");
}

void PrintAlarm(const cdxsim::AlarmBytes& a) {
  uint16_t channel, argument;
  uint32_t flags, valueBits;
  std::memcpy(&channel, &a[2], 2);
  std::memcpy(&argument, &a[4], 2);
  std::memcpy(&flags, &a[8], 4);
  std::memcpy(&valueBits, &a[12], 4);
  float value;
  std::memcpy(&value, &valueBits, 4);
  // Flag bits 3-5: the channel is analog, the alarm's or warning's high
  // side, and (raised alarms) the drive-common flag.
  std::printf("alarm: prefix=%.2s channel=%u%s kind=%u priority=%u delay=%u analog=%u high=%u common=%u value=",
              reinterpret_cast<const char*>(&a[0]), channel & 0x7FFFu, (channel & 0x8000u) ? " (bad)" : "", flags & 7u,
              (flags >> 7) & 0xFFu, argument, (flags >> 3) & 1u, (flags >> 4) & 1u, (flags >> 5) & 1u);
  if (valueBits == 0x7FFFFFFFu) {
    std::printf("none\n");
  } else {
    std::printf("%g\n", value);
  }
}


// Prints why a program ended before it was up: its status text and every
// other text in the error list.
void PrintEarlyEnd(const cdxsim::Sim& sim, const cdxsim::DeviceSpec& spec, const std::string& program, int rc) {
  std::printf("program ended with %d before it was up\n", rc);
  bool found = false;
  const std::string text = sim.StatusText(spec.process, &found);
  if (found) {
    std::printf("status %s: \"%s\"\n", spec.process.c_str(), text.c_str());
  } else {
    std::printf("status %s: (not registered in dm_errors)\n", spec.process.c_str());
  }
  for (const auto& [name, entry] : sim.ErrorEntries()) {
    if (strcasecmp(name.c_str(), spec.process.c_str()) != 0) std::printf("dm_errors %s: \"%s\"\n", name.c_str(), entry.c_str());
  }
  std::fprintf(stderr, "cdxsim: %s ended before it was up\n", program.c_str());
}

bool ReadNumber(const char* text, long min, long max, long* out) {
  if (!text || !*text) return false;
  errno = 0;
  char* end = nullptr;
  const long v = std::strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || v < min || v > max) return false;
  *out = v;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    Usage();
    return argc < 2 ? 2 : 0;
  }
  std::string descPath = argv[1], program;
  int device = -1;
  long scans = 0;
  bool replace = false, reconfigure = false;
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--replace") {
      replace = true;
      continue;
    }
    if (a == "--reconfigure") {
      reconfigure = true;
      continue;
    }
    if (i + 1 >= argc) {
      Usage();
      return 2;
    }
    long n = 0;
    if (a == "--device" && ReadNumber(argv[i + 1], 1, 65535, &n)) {
      device = static_cast<int>(n);
      ++i;
    } else if (a == "--scans" && ReadNumber(argv[i + 1], 0, 0x7FFFFFFF, &n)) {
      scans = n;
      ++i;
    } else if (a == "--program") {
      program = argv[++i];
    } else {
      Usage();
      return 2;
    }
  }

  cdxsim::Description desc;
  std::string error;
  if (!cdxsim::Description::Load(descPath, &desc, &error)) {
    std::fprintf(stderr, "cdxsim: %s\n", error.c_str());
    return 2;
  }
  cdxsim::Sim sim(desc);
  sim.ApplyEnvironment();
  const auto live = sim.LiveDevices();
  if (reconfigure) {
    // The running scanners keep their modules; they take the new files on
    // 302 (a device record's channel files are read again when they changed).
    if (sim.WriteConfigFiles() != 0) {
      std::fprintf(stderr, "cdxsim: cannot write the configuration files: %s\n",
                   plat::ErrorWords(static_cast<uint32_t>(errno)).c_str());
      return 1;
    }
    int rc = 0;
    for (const auto& [number, pid] : live) {
      if (sim.Send(pid, 302) == 0) {
        std::printf("device %d: files written, 302 sent to pid %d\n", number, static_cast<int>(pid));
      } else {
        std::fprintf(stderr, "cdxsim: device %d: cannot signal pid %d: %s\n", number, static_cast<int>(pid),
                     plat::ErrorWords(static_cast<uint32_t>(errno)).c_str());
        rc = 1;
      }
    }
    for (const auto& d : desc.devices) {
      bool running = false;
      for (const auto& l : live) running = running || l.first == d.number;
      if (!running) std::printf("device %d: files written (no scanner running)\n", d.number);
    }
    return rc;
  }
  if (!live.empty() && !replace) {
    for (const auto& [number, pid] : live)
      std::fprintf(stderr, "cdxsim: device %d is running (scanner pid %d): its modules are in use\n", number,
                   static_cast<int>(pid));
    std::fprintf(stderr,
                 "cdxsim: nothing created. To change a running device's channels use --reconfigure (writes\n"
                 "  the files and sends 302); stop it first (cdxipc send PID 31), or give --replace to\n"
                 "  create its modules anew (its record, status and values start from zero)\n");
    return 1;
  }
  if (sim.Create() != 0) {
    const int err = errno;
    std::fprintf(stderr, "cdxsim: cannot create the modules: %s\n", plat::ErrorWords(static_cast<uint32_t>(err)).c_str());
    return 1;
  }
  if (program.empty()) program = desc.program;
  if (program.empty()) {
    std::printf("modules created\n");
    return 0;
  }
  if (device < 0) {
    if (desc.devices.empty()) {
      std::fprintf(stderr, "cdxsim: the description has no device\n");
      return 2;
    }
    device = desc.devices[0].number;
  }
  const cdxsim::DeviceSpec* spec = nullptr;
  for (const auto& d : desc.devices) {
    if (d.number == device) spec = &d;
  }
  if (!spec) {
    std::fprintf(stderr, "cdxsim: no device %d in the description\n", device);
    return 2;
  }

  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  pid_t pid = sim.StartDevice(device, program);
  if (pid < 0) {
    std::fprintf(stderr, "cdxsim: cannot start %s: %s\n", program.c_str(),
                 plat::ErrorWords(static_cast<uint32_t>(errno)).c_str());
    return 1;
  }
  std::printf("started %s %d as pid %d\n", program.c_str(), device, static_cast<int>(pid));
  std::fflush(stdout);
  // As the central server does, scan requests start once the program is up:
  // its device record marked running under its own pid (it has its signal
  // receiver by then). A request sent before would find no receiver.
  const int64_t upLimit = plat::MonotonicMs() + 60000;
  for (;;) {
    std::vector<uint8_t> bytes;
    DeviceRecord record{};
    const bool read = sim.ReadDevice(device, &bytes) && bytes.size() >= sizeof record;
    if (read) std::memcpy(&record, bytes.data(), sizeof record);
    if (read && record.Running != 0 && record.ScannerPid == static_cast<uint32_t>(pid)) break;
    int rc = sim.WaitExit(pid, 0);
    if (rc >= 0) {
      PrintEarlyEnd(sim, *spec, program, rc);
      return rc != 0 ? rc : 1;
    }
    if (g_stop || plat::MonotonicMs() >= upLimit) {
      std::fprintf(stderr, "cdxsim: %s did not come up\n", program.c_str());
      sim.Send(pid, 31);
      std::printf("program ended with %d\n", sim.WaitExit(pid, 10000));
      return 1;
    }
    plat::SleepMs(5);
  }

  size_t alarms = 0, derived = 0, codes = 0;
  std::string lastText;
  // Prints whatever arrived since the last report.
  auto report = [&] {
    auto all = sim.Alarms();
    for (; alarms < all.size(); ++alarms) PrintAlarm(all[alarms]);
    auto notices = sim.DerivedNotices();
    for (; derived < notices.size(); ++derived) std::printf("derived: %s\n", notices[derived].c_str());
    auto logged = sim.LoggerCodes();
    for (; codes < logged.size(); ++codes) std::printf("logger %d: code %u\n", logged[codes].logger, logged[codes].code);
    std::string text = sim.StatusText(spec->process);
    if (text != lastText) {
      std::printf("status %s: \"%s\"\n", spec->process.c_str(), text.c_str());
      lastText = text;
    }
    std::fflush(stdout);
  };
  // One scan period before each request (the first gives the program time
  // to come up) and one after the last, so that its answer is printed too.
  for (long n = 0; !g_stop; ++n) {
    plat::SleepMs(static_cast<int>(spec->scanRate));
    report();
    int rc = sim.WaitExit(pid, 0);
    if (rc >= 0) {
      std::printf("program ended with %d\n", rc);
      return 0;
    }
    if (scans != 0 && n >= scans) break;
    sim.Send(pid, 300);
  }
  sim.Send(pid, 31);
  int rc = sim.WaitExit(pid, 10000);
  report();
  std::printf("program ended with %d\n", rc);
  return 0;
}
