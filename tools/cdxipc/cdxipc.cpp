// cdxipc: inspection of one instance's data modules and mailslots.
#include <atomic>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cdxlib/shm/datamodule.h"
#include "cdxlib/shm/signals.h"
#include "platform/error.h"
#include "platform/mailslot.h"
#include "platform/root.h"
#include "platform/shm.h"
#include "platform/sync.h"
#include "tools/cdxipc/ipcdump.h"
#include "tools/cdxipc/valuetable.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: cdxipc list                      data modules of the instance\n"
               "       cdxipc dump MODULE [--data]      header and tables (and data as hex)\n"
               "       cdxipc send PID CODE             send a signal code to a process\n"
               "       cdxipc listen MAILSLOT [SECONDS] print what arrives (default: until killed)\n"
               "       cdxipc hold MODULE SECONDS       hold a module's lock\n"
               "       cdxipc values DEVICE|PREFIX [--watch [--count N]]\n"
               "                                        a device's channels (by number or name) or a\n"
               "                                        module set's, as a table; --watch prints it\n"
               "                                        anew at each notification of the values module\n"
               "       cdxipc reset                     remove the instance's shared objects and registry\n"
               "                                        (configuration, logs and saved values stay)\n"
               "The instance is $CDXPLAT_ROOT (%s).\n",
               plat::Root().c_str());
  return 2;
}

bool ParseLong(const char* text, long long* out) {
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(text, &end, 0);
  if (errno || !end || *end || end == text) return false;
  *out = v;
  return true;
}

DataModule* OpenOrComplain(const char* name) {
  DataModule* m = DM_Open(name);
  if (!DM_IsView(m)) {
    if (errno == 0)
      std::fprintf(stderr, "cdxipc: no module %s\n", name);
    else
      std::fprintf(stderr, "cdxipc: cannot open %s: %s\n", name, plat::ErrorWords(errno).c_str());
    return nullptr;
  }
  return m;
}

int List() {
  const std::string prefix = "Global\\";
  for (const std::string& object : plat::Shm_List()) {
    if (object.compare(0, prefix.size(), prefix) != 0) continue;
    const std::string name = object.substr(prefix.size());
    DataModule* m = DM_Open(name.c_str());
    DMTables t{};
    if (DM_IsView(m) && DM_GetTables(m, &t) == 0)
      std::printf("%-31s data %10u  mapping %10zu  %s\n", name.c_str(), m->dataSize, t.mappingSize,
                  t.legacy ? "legacy" : "current");
    else
      std::printf("%-31s (not a data module)\n", name.c_str());
  }
  return 0;
}

int Listen(const char* name, long long seconds) {
  std::string path = (name[0] == '\\') ? name : Sig_MailslotPath(name);
  auto reader = plat::MailslotReader::Create(path, 0);
  if (!reader) {
    std::fprintf(stderr, "cdxipc: cannot create %s: %s\n", path.c_str(), plat::ErrorWords(plat::GetLastError()).c_str());
    return 1;
  }
  std::printf("listening on %s\n", path.c_str());
  std::fflush(stdout);
  const int64_t end = seconds > 0 ? plat::MonotonicMs() + seconds * 1000 : 0;
  static unsigned char buf[64 * 1024];
  for (;;) {
    int timeout = plat::kInfinite;
    if (end) {
      int64_t left = end - plat::MonotonicMs();
      if (left <= 0) break;
      timeout = static_cast<int>(left);
    }
    int n = reader->Read(buf, sizeof buf, timeout);
    if (n < 0) {
      if (plat::GetLastError() == plat::kErrSemTimeout) break;
      std::fprintf(stderr, "cdxipc: read failed: %s\n", plat::ErrorWords(plat::GetLastError()).c_str());
      return 1;
    }
    if (n == 4) {
      uint32_t code;
      std::memcpy(&code, buf, 4);
      std::printf("code %u\n", code);
    } else {
      std::printf("message of %d bytes\n", n);
      ipcdump::HexDump(stdout, buf, static_cast<size_t>(n), 0);
    }
    std::fflush(stdout);
  }
  return 0;
}

int Hold(const char* name, long long seconds) {
  DataModule* m = OpenOrComplain(name);
  if (!m) return 1;
  if (DM_Lock(m) != 0) {
    std::fprintf(stderr, "cdxipc: cannot lock %s: %s\n", name, plat::ErrorWords(errno).c_str());
    return 1;
  }
  std::printf("locked %s for %lld s\n", name, seconds);
  std::fflush(stdout);
  plat::SleepMs(static_cast<int>(seconds * 1000));
  DM_Unlock(m);
  return 0;
}

std::atomic<bool> g_stop{false};
std::atomic<int> g_notified{0};
void OnStop(int) { g_stop = true; }
int OnCode(int code) {
  if (code == static_cast<int>(kSigModuleEvent)) ++g_notified;
  return 0;
}

std::string Now() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  struct tm tm;
  localtime_r(&ts.tv_sec, &tm);
  char buf[40];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03ld", tm.tm_hour, tm.tm_min, tm.tm_sec, ts.tv_nsec / 1000000);
  return buf;
}

int Values(const std::string& name, bool watch, long long count) {
  std::vector<std::string> prefixes;
  int device = 0;
  if (!valuetable::ResolvePrefixes(name, &prefixes, &device)) {
    std::fprintf(stderr, "cdxipc: no device or module set %s in this instance\n", name.c_str());
    return 1;
  }
  if (!watch) {
    std::fputs(valuetable::Render(device, prefixes).c_str(), stdout);
    return 0;
  }
  if (prefixes.empty()) {
    std::fprintf(stderr, "cdxipc: device %s has no module to watch\n", name.c_str());
    return 1;
  }
  DataModule* m = OpenOrComplain(("dm_" + prefixes[0]).c_str());
  if (!m) return 1;
  errno = 0;
  Sig_InstallHandler(OnCode);
  if (errno != 0) {
    std::fprintf(stderr, "cdxipc: cannot receive notifications: %s\n", plat::ErrorWords(errno).c_str());
    return 1;
  }
  std::signal(SIGINT, OnStop);
  std::signal(SIGTERM, OnStop);
  // Each subscription serves one notification: it is renewed before each
  // table is printed, so that no scan between two tables is missed.
  int seen = 0;
  for (long long shown = 0; !g_stop && (count <= 0 || shown < count); ++shown) {
    if (DM_Subscribe(m, static_cast<int>(kSigModuleEvent)) != 0) {
      std::fprintf(stderr, "cdxipc: cannot subscribe to dm_%s: %s\n", prefixes[0].c_str(),
                   plat::ErrorWords(errno).c_str());
      Sig_RemoveHandler();
      return 1;
    }
    std::printf("--- %s\n%s", Now().c_str(), valuetable::Render(device, prefixes).c_str());
    std::fflush(stdout);
    if (count > 0 && shown + 1 >= count) break;
    while (!g_stop && g_notified.load() == seen) Sig_Wait(500);
    seen = g_notified.load();
  }
  DM_Unsubscribe(m);
  Sig_RemoveHandler();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  const std::string cmd = argv[1];
  long long a = 0, b = 0;
  if (cmd == "list" && argc == 2) return List();
  if (cmd == "dump" && (argc == 3 || (argc == 4 && std::strcmp(argv[3], "--data") == 0))) {
    DataModule* m = OpenOrComplain(argv[2]);
    if (!m) return 1;
    ipcdump::DumpModule(stdout, m, argc == 4);
    return 0;
  }
  if (cmd == "send" && argc == 4 && ParseLong(argv[2], &a) && ParseLong(argv[3], &b)) {
    if (Sig_Send(static_cast<int32_t>(a), static_cast<SignalCode>(b)) != 0) {
      std::fprintf(stderr, "cdxipc: cannot signal %lld: %s\n", a, plat::ErrorWords(errno).c_str());
      return 1;
    }
    return 0;
  }
  if (cmd == "listen" && (argc == 3 || (argc == 4 && ParseLong(argv[3], &a) && a >= 0))) return Listen(argv[2], a);
  if (cmd == "hold" && argc == 4 && ParseLong(argv[3], &a) && a >= 0 && a < 86400) return Hold(argv[2], a);
  if (cmd == "values" && argc >= 3) {
    bool watch = false;
    long long count = 0;
    bool ok = true;
    for (int i = 3; i < argc && ok; ++i) {
      if (std::strcmp(argv[i], "--watch") == 0) watch = true;
      else if (std::strcmp(argv[i], "--count") == 0 && i + 1 < argc && ParseLong(argv[i + 1], &count) && count > 0) ++i;
      else ok = false;
    }
    if (ok && (watch || count == 0)) return Values(argv[2], watch, count);
  }
  if (cmd == "reset" && argc == 2) {
    if (plat::ResetInstance() != 0) {
      std::fprintf(stderr, "cdxipc: reset failed: %s\n", plat::ErrorWords(plat::GetLastError()).c_str());
      return 1;
    }
    std::printf("instance %s reset\n", plat::Root().c_str());
    return 0;
  }
  return Usage();
}
