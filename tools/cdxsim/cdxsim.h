// cdxsim: the stand-in for the central server and its peers.
//
// From a small text description it builds the system tables "dm_datproc",
// "dm_device", "dm_loggers", "dm_errors" and each module set ("dm_XX",
// "dm_XX_conf", "dm_XX_event") in the instance named by CDXPLAT_ROOT, starts
// driver programs for devices, sends them signal codes, reads back device
// records and status texts, and plays the alarm process (mailslot
// "xalarms"), the derived-value processor ("derived") and the loggers (each
// a signal mailslot "dm_<pid>.slt" for a pid of its own), recording what
// arrives.
//
// Description format: one statement per line, a keyword followed by
// key=value words; '#' starts a comment; values have no blanks.
//
//   errors  entries=64 [layout=full|compact]
//   driver  name=ALARM [print=ALARM] [prefix=AL] [type=0] [configured=1]
//           [valrec=0] [pid=0] [listen=1]  (listen=0: ALARM's or DERIVED's
//                                        mailslot is left to a reader of
//                                        its own, such as `cdxipc listen`)
//   device  type=qd number=1 name=dev1 process=qd_dev1
//           [ai=QA] [di=QB] [ao=QC] [do=QD] [ci=QE] [diag=QX]
//           [scanrate=1000] [port=ttyS0] [node=1] [retries=3]
//   module  prefix=QA channels=16 [kind=8|4] [records=0|1]
//   channel prefix=SY number=1 [type=3] [enable=1] [desc=QD_DEV1] [tag=T1]
//           [high=TEXT] [alarm=0|1]      (a ChannelConfig in "dm_SY_conf";
//                                        alarm=1: a digital channel raises an
//                                        alarm on its high state)
//   logger  name=LOG1 [type=stand] [enabled=1] [triggers=QA:1,QA:5]
//   point   device=1 number=1 [kind=ai] [tag=..] [desc=..] [enable=1]
//           [node=1] [word=0] [bit=0]    (one channel of the device's
//                                        channel file "ai", position
//                                        `number`; word digits as entered,
//                                        octal)
//           analog:  [units=..] [gain=G] [offset=O] (scaling on)
//                    [high=L] [highdb=D] [highwarn=W] [highprio=P] [highdelay=S]
//                    [low=L] [lowdb=D] [lowwarn=W] [lowprio=P] [lowdelay=S]
//                    [eventhigh=L] [eventlow=L] [sigchange=V] [reference=0|1]
//           digital: [alarmstate=0|1] [prio=P] [delay=S] [eventstate=0|1]
//           both:    [errorprio=P] [errordelay=S]
//                    [common=high,low,error|alarm,error] (drive-common flags)
//           (a limit, deadband, warning, event or error priority given turns
//           its enable flag on)
//   env     NAME=VALUE                   (set for cdxsim and the programs it starts)
//   program PATH                         (the program `start` runs)
//
// A device with `point` lines gets its configuration files in
// CDX_CURRENT_CONFIG/<device name>: "config" (enabled; scan rate, port, node
// and retries of the device line) and the channel file "ai" with every
// point in its position (positions without a point hold disabled channels).
//
// Device paths and the diagnostics prefix name modules declared by `module`
// lines; a path prefix without one gets a module of 0 channels. `triggers`
// marks channels (prefix:number) in the logger's row of the event module.
//
// The command `cdxsim DESCRIPTION [--device N] [--scans K] [--program PATH]`
// creates the instance, starts the device's program, sends code 300 at the
// device's scan rate K times (0: until interrupted), prints every alarm,
// derived notice and logger code that arrives and the device's status text,
// and finally sends 31.
#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <utility>
#include <vector>

#include "cdxlib/records/chanconfig.h"

namespace plat {
class MailslotReader;
}

namespace cdxsim {

struct DriverSpec {
  std::string name, print, prefix;
  int type = 0;
  bool configured = true;
  bool valueRecords = false;
  int32_t pid = 0;
  bool listen = true;  // ALARM, DERIVED: cdxsim reads the peer's mailslot
};

struct DeviceSpec {
  std::string type;
  int number = 0;
  std::string name, process;
  std::array<std::string, 5> paths;  // ai, di, ao, do, ci
  std::string diag;
  uint32_t scanRate = 1000;
  std::string port;
  int node = 1;
  int retries = 3;
};

struct ModuleSpec {
  std::string prefix;
  int channels = 0;
  int valueKind = 8;
  bool records = false;
};

struct ChannelSpec {
  std::string prefix;
  int number = 0;
  int type = 3;
  bool enable = true;
  bool alarm = false;
  std::string desc, tag, high;
};

struct PointSpec {
  int device = 0;
  int number = 0;  // 1-based position in the channel file
  ChannelConfig record{};
};

struct LoggerSpec {
  std::string name;
  std::string type = "stand";
  bool enabled = true;
  std::vector<std::pair<std::string, int>> triggers;
};

struct Description {
  int errorEntries = 64;
  bool compactErrors = false;
  std::vector<DriverSpec> drivers;
  std::vector<DeviceSpec> devices;
  std::vector<ModuleSpec> modules;
  std::vector<ChannelSpec> channels;
  std::vector<PointSpec> points;
  std::vector<LoggerSpec> loggers;
  std::vector<std::pair<std::string, std::string>> env;
  std::string program;

  // Parses a description; false with a message naming the line on error.
  static bool Parse(const std::string& text, Description* out, std::string* error);
  static bool Load(const std::string& path, Description* out, std::string* error);
};

// One 296-byte alarm message as it arrived on "xalarms".
using AlarmBytes = std::array<uint8_t, 296>;

struct LoggerCode {
  int logger;  // 1-based
  uint32_t code;
};

class Sim {
 public:
  explicit Sim(Description description);
  ~Sim();
  Sim(const Sim&) = delete;
  Sim& operator=(const Sim&) = delete;

  const Description& description() const { return desc_; }

  // Creates every module of the description (an existing module is reused
  // and its contents rewritten) and starts the peers' readers: "xalarms"
  // when an ALARM driver is described, "derived" for DERIVED, and one signal
  // mailslot per logger. 0, or -1 with the system error set.
  int Create();

  // Sets the description's env lines in this process's environment, so that
  // what cdxsim writes itself (the point files under CDX_CURRENT_CONFIG) and
  // what the started program reads are found in the same places. Create
  // calls it first.
  void ApplyEnvironment() const;

  // Writes the device and channel files of the point lines (done by Create).
  // 0, or -1 with the system error set.
  int WriteConfigFiles();

  // The devices of the description whose record in an existing "dm_device"
  // is marked running by a scanner that is still alive: {number, pid}.
  // Read before Create, which would zero their records and modules.
  std::vector<std::pair<int, int32_t>> LiveDevices() const;

  // Every entry of "dm_errors" that holds a text: {name, text}.
  std::vector<std::pair<std::string, std::string>> ErrorEntries() const;

  // Starts `program` (default: the description's) for device `number`:
  // argv {program, number}, environment = ours + CDXPLAT_ROOT + the env
  // lines. Returns the pid or -1.
  pid_t StartDevice(int number, const std::string& program = "");
  // Starts a program with the given arguments (argv[0] the path).
  pid_t StartProgram(const std::vector<std::string>& argv);
  // Waits up to timeoutMs for a started child to end: its exit code,
  // 128 + signal, or -1 on time-out (the child is left running).
  int WaitExit(pid_t pid, int timeoutMs);
  // Kills and reaps every child still running.
  void KillAll();

  // Sends a signal code to a process (Sig_Send). 0 or -1.
  int Send(int32_t pid, uint32_t code);

  // The device record of device `number` (copied), false when absent.
  bool ReadDevice(int number, std::vector<uint8_t>* record788) const;
  // Raw pointer to it in the shared table (for tests), or null.
  uint8_t* DeviceRecordPtr(int number) const;
  uint8_t* DriverRecordPtr(const std::string& name) const;
  uint8_t* LoggerRecordPtr(int n) const;
  // The data area of a module, and its data size.
  uint8_t* ModuleData(const std::string& name, uint32_t* size = nullptr) const;

  // The status text of the process registered under `name` in "dm_errors"
  // (any type; case-blind), or "" when none; *found tells whether it is there.
  std::string StatusText(const std::string& name, bool* found = nullptr) const;
  // Waits until the status text of `name` satisfies `want` (exact) or the
  // time-out passes; returns the last text seen.
  std::string WaitStatusText(const std::string& name, const std::string& want, int timeoutMs) const;

  // What the peers received so far.
  std::vector<AlarmBytes> Alarms() const;
  std::vector<std::string> DerivedNotices() const;
  std::vector<LoggerCode> LoggerCodes() const;
  // Waits until at least n alarms have arrived (true) or the time-out passed.
  bool WaitAlarms(size_t n, int timeoutMs) const;
  bool WaitLoggerCodes(size_t n, int timeoutMs) const;
  bool WaitDerived(size_t n, int timeoutMs) const;

  // Subscribes the watcher (a signal mailslot of a pid of its own) to the
  // next full notification of a module, as a subscriber process would; the
  // subscription is one-shot, as every subscription is. 0 or -1.
  int Watch(const std::string& moduleName);
  std::vector<uint32_t> WatchCodes() const;
  bool WaitWatchCodes(size_t n, int timeoutMs) const;
  static constexpr uint32_t kWatchCode = 0x7A5A;

  // Pid given to simulated logger n (1-based); n = 0 is the watcher.
  int32_t LoggerPid(int n) const;

 private:
  int CreateTables();
  int CreateModuleSets();
  void StartReaders();
  void StopReaders();
  void ReaderLoop(plat::MailslotReader* reader, int kind, int logger);

  Description desc_;
  struct Reader {
    std::unique_ptr<plat::MailslotReader> slot;
    std::thread thread;
  };
  std::vector<std::unique_ptr<Reader>> readers_;
  mutable std::mutex mu_;
  std::vector<AlarmBytes> alarms_;
  std::vector<std::string> derived_;
  std::vector<LoggerCode> loggerCodes_;
  std::vector<uint32_t> watchCodes_;
  std::vector<pid_t> children_;
};

}  // namespace cdxsim
