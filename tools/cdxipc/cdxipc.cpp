// cdxipc: inspection of one instance's data modules and mailslots.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "cdxlib/shm/datamodule.h"
#include "cdxlib/shm/signals.h"
#include "platform/error.h"
#include "platform/mailslot.h"
#include "platform/root.h"
#include "platform/shm.h"
#include "platform/sync.h"
#include "tools/cdxipc/ipcdump.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: cdxipc list                      data modules of the instance\n"
               "       cdxipc dump MODULE [--data]      header and tables (and data as hex)\n"
               "       cdxipc send PID CODE             send a signal code to a process\n"
               "       cdxipc listen MAILSLOT [SECONDS] print what arrives (default: until killed)\n"
               "       cdxipc hold MODULE SECONDS       hold a module's lock\n"
               "       cdxipc reset                     remove every object of the instance\n"
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
      std::fprintf(stderr, "cdxipc: cannot open %s: error %d (%s)\n", name, errno, plat::ErrorText(errno));
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
    std::fprintf(stderr, "cdxipc: cannot create %s: error %u (%s)\n", path.c_str(), plat::GetLastError(),
                 plat::ErrorText(plat::GetLastError()));
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
      std::fprintf(stderr, "cdxipc: read failed: error %u\n", plat::GetLastError());
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
    std::fprintf(stderr, "cdxipc: cannot lock %s: error %d\n", name, errno);
    return 1;
  }
  std::printf("locked %s for %lld s\n", name, seconds);
  std::fflush(stdout);
  plat::SleepMs(static_cast<int>(seconds * 1000));
  DM_Unlock(m);
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
      std::fprintf(stderr, "cdxipc: cannot signal %lld: error %d (%s)\n", a, errno, plat::ErrorText(errno));
      return 1;
    }
    return 0;
  }
  if (cmd == "listen" && (argc == 3 || (argc == 4 && ParseLong(argv[3], &a) && a >= 0))) return Listen(argv[2], a);
  if (cmd == "hold" && argc == 4 && ParseLong(argv[3], &a) && a >= 0 && a < 86400) return Hold(argv[2], a);
  if (cmd == "reset" && argc == 2) {
    if (plat::ResetInstance() != 0) {
      std::fprintf(stderr, "cdxipc: reset failed: error %u\n", plat::GetLastError());
      return 1;
    }
    std::printf("instance %s reset\n", plat::Root().c_str());
    return 0;
  }
  return Usage();
}
