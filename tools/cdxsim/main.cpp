// cdxsim: plays the central server for a demonstration (see cdxsim.h for the
// description format).
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cdxlib/records/devicerecord.h"
#include "platform/error.h"
#include "platform/sync.h"
#include "tools/cdxsim/cdxsim.h"

namespace {

std::atomic<bool> g_stop{false};
void OnSignal(int) { g_stop = true; }

void Usage() {
  std::fprintf(stderr,
               "usage: cdxsim DESCRIPTION [--device N] [--scans K] [--program PATH]\n"
               "  Creates the system tables and module sets of DESCRIPTION in the\n"
               "  instance of CDXPLAT_ROOT, starts PATH (or the description's\n"
               "  'program') with device number N (default: the first device), sends\n"
               "  code 300 at the device's scan rate K times (0: until interrupted),\n"
               "  prints what the alarm process, the derived-value processor and the\n"
               "  loggers receive and the device's status text, then sends 31.\n"
               "  Without a program it only creates the modules and exits.\n"
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
               "  logger  name=LOG1 [type=stand] [enabled=1] [triggers=XX:1,XX:5]\n"
               "  env     NAME=VALUE\n"
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

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0) {
    Usage();
    return argc < 2 ? 2 : 0;
  }
  std::string descPath = argv[1], program;
  int device = -1;
  long scans = 0;
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    if (i + 1 >= argc) {
      Usage();
      return 2;
    }
    if (a == "--device") {
      device = std::atoi(argv[++i]);
    } else if (a == "--scans") {
      scans = std::atol(argv[++i]);
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
  if (sim.Create() != 0) {
    const int err = errno;
    std::fprintf(stderr, "cdxsim: cannot create the modules: %s (error %d)\n",
                 plat::ErrorText(static_cast<uint32_t>(err)), err);
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
    std::fprintf(stderr, "cdxsim: cannot start %s\n", program.c_str());
    return 1;
  }
  std::printf("started %s %d as pid %d\n", program.c_str(), device, static_cast<int>(pid));
  std::fflush(stdout);
  // As the central server does, scan requests start once the program is up:
  // its device record marked running under its own pid (it has its signal
  // receiver by then). A request sent before would find no receiver.
  const int64_t upLimit = plat::MonotonicMs() + 60000;
  for (;;) {
    std::vector<uint8_t> record;
    uint32_t owner = 0;
    if (sim.ReadDevice(device, &record)) std::memcpy(&owner, record.data() + 780, sizeof owner);
    if (!record.empty() && record[58] != 0 && owner == static_cast<uint32_t>(pid)) break;
    int rc = sim.WaitExit(pid, 0);
    if (rc >= 0) {
      std::printf("program ended with %d\n", rc);
      return 0;
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
