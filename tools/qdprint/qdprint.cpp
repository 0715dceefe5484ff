// qdprint: prints a device's configuration to a PDF file, page by page as
// the configuration library prints it on a printer. It plays the host: it
// loads libqd_setup.so from its own directory (or from ../lib in an
// installed prefix) and calls its exports
// PrintAllConfig and PrintConfig with a cairo context on a PDF surface.
//
//   qdprint [options] DEVICE_DIR OUTPUT.pdf
//   qdprint [options] --demo N OUTPUT.pdf
//
// DEVICE_DIR: a device's configuration directory ("config", "saveconfig"
// and the channel files "ai", "di", "ao", "do", "ci"); every channel file
// that is there is printed as its path. --demo N: a made-up device with N
// analog input and N digital input channels (some disabled, with every
// alarm, warning and event setting), to look at the layout.
//
// Options:
//   --server NAME   the server name in the header (default: none)
//   --name NAME     the device name (default: the directory's name, "demo")
//   --number N      the device number: an empty port name prints as COM<N>
//                   (default 1)
//   --paper a4|letter, --portrait (default: A4 landscape)
//   --path P --first F --last L
//                   only path P (0..4: ai di ao do ci), channels F..L (0 0:
//                   all), as the host's print of a channel range does
// Exit: 0 printed, 1 the print failed (the system error is printed), 2 usage.
#include <cairo-pdf.h>
#include <cairo.h>

#include <cerrno>
#include <climits>
#include <sys/stat.h>
#include <dlfcn.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "cdxlib/records/chanconfig.h"
#include "cdxlib/config/configfiles.h"
#include "cdxlib/sys/fileutil.h"
#include "config_dialogs/hostrecord.h"
#include "config_dialogs/qd_setup.h"
#include "platform/error.h"
#include "platform/spawn.h"

namespace {

unsigned short g_deviceNumber = 1;

const char* const kPathNames[kHostPathCount] = {"AI", "DI", "AO", "DO", "CI"};

int Usage() {
  fprintf(stderr,
          "usage: qdprint [--server NAME] [--name NAME] [--number N] [--paper a4|letter] [--portrait]\n"
          "               [--path P [--first F] [--last L]] (DEVICE_DIR | --demo N) OUTPUT.pdf\n");
  return 2;
}

void SetText(char* field, size_t size, const std::string& text) {
  memset(field, 0, size);
  memcpy(field, text.data(), std::min(size, text.size()));
}

struct Host {
  uint8_t record[0x100] = {};
  void Set(const std::string& name, const std::string& dir) {
    SetText(reinterpret_cast<char*>(record + kHostDeviceNameOffset), kHostDeviceNameMax - 1, name);
    SetText(reinterpret_cast<char*>(record + kHostConfigDirOffset), kHostConfigDirMax - 1, dir);
  }
  void Path(int p, uint16_t count) {
    memcpy(record + kHostPathEntryOffset + kHostPathEntrySize * p, kPathNames[p], 2);
    memcpy(record + kHostPathCountOffset + kHostPathEntrySize * p, &count, 2);
  }
};

ChannelConfig DemoAnalog(int i) {
  ChannelConfig c = {};
  c.Type = kKindAI;
  Chan_SetTag(&c, ("FT" + std::to_string(100 + i)).c_str());
  Chan_SetDescription(&c, ("Flow of line " + std::to_string(i)).c_str());
  Chan_SetUnits(&c, i % 3 ? "m3/h" : "l/s");
  Chan_SetFlag(&c, kAiEnable, i % 7 != 0);
  Chan_SetFlag(&c, kAiEventEnable, i % 2 == 0);
  Chan_SetFlag(&c, kAiLowAlarmEnable, i % 3 != 2);
  Chan_SetFlag(&c, kAiLowWarningEnable, i % 4 == 1);
  Chan_SetFlag(&c, kAiLowAlarmDeadbandEnable, i % 5 == 1);
  Chan_SetFlag(&c, kAiLowAlarmDriveCommon, i % 6 == 1);
  Chan_SetFlag(&c, kAiHighAlarmEnable, i % 3 != 1);
  Chan_SetFlag(&c, kAiHighWarningEnable, i % 4 == 2);
  Chan_SetFlag(&c, kAiHighAlarmDeadbandEnable, i % 5 == 2);
  Chan_SetFlag(&c, kAiHighAlarmDriveCommon, i % 6 == 2);
  Chan_SetFlag(&c, kAiSigChangeEnable, i % 8 < 3);
  AnalogChannelPart& a = c.analog;
  a.LowEventLimit = 5.0f + i;
  a.HighEventLimit = 95.0f * i;
  a.LowAlarmLimit = 10;
  a.LowWarningLimit = 15;
  a.LowAlarmDeadband = 12.5f;
  a.HighAlarmLimit = 90.0f + i / 10.0f;
  a.HighWarningLimit = 85;
  a.HighAlarmDeadband = 87.5f;
  a.SigChangeValue = 0.5f;
  a.LowAlarmPriority = static_cast<uint8_t>(i % 100);
  a.HighAlarmPriority = static_cast<uint8_t>(i % 50);
  a.LowAlarmDelay = static_cast<uint16_t>(i % 60);
  a.HighAlarmDelay = 5;
  SetText(a.LowAlarmText, sizeof a.LowAlarmText, "FLOW LOW " + std::to_string(i));
  SetText(a.HighAlarmText, sizeof a.HighAlarmText, "FLOW HIGH " + std::to_string(i));
  auto* hw = reinterpret_cast<Df1AnalogHardware*>(a.Hardware);
  hw->Node = static_cast<uint8_t>(1 + i % 8);
  hw->WordAddress = static_cast<uint16_t>(7000 + i);
  return c;
}

ChannelConfig DemoDigital(int i) {
  ChannelConfig c = {};
  c.Type = kKindDI;
  Chan_SetTag(&c, ("XS" + std::to_string(200 + i)).c_str());
  Chan_SetDescription(&c, ("Valve " + std::to_string(i) + " open").c_str());
  Chan_SetFlag(&c, kDiEnable, i % 9 != 0);
  Chan_SetFlag(&c, kDiEventEnable, i % 2 == 1);
  Chan_SetFlag(&c, kDiEventState, i % 4 == 1);
  Chan_SetFlag(&c, kDiAlarmEnable, i % 3 == 0);
  Chan_SetFlag(&c, kDiAlarmState, i % 6 == 0);
  Chan_SetFlag(&c, kDiAlarmDriveCommon, i % 5 == 0);
  DigitalChannelPart& d = c.digital;
  SetText(d.LowStateText, sizeof d.LowStateText, "CLOSED");
  SetText(d.HighStateText, sizeof d.HighStateText, "OPEN");
  SetText(d.AlarmText, sizeof d.AlarmText, "VALVE " + std::to_string(i) + " FAULT");
  d.AlarmPriority = static_cast<uint8_t>(i % 100);
  d.AlarmDelay = static_cast<uint16_t>(i % 30);
  auto* hw = reinterpret_cast<Df1DigitalHardware*>(d.Hardware);
  hw->Node = static_cast<uint8_t>(1 + i % 8);
  hw->WordAddress = static_cast<uint16_t>(3000 + i / 16);
  hw->Bit = static_cast<uint8_t>(i % 16);
  return c;
}

std::string BaseName(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

// Under the leak checker: the toolkit libraries that libqd_setup.so pulls in
// and the font cache keep some allocations for the life of the process.
extern "C" __attribute__((visibility("default"))) const char* __lsan_default_suppressions() {
  return "leak:libglib-2.0.so\nleak:libgobject-2.0.so\nleak:libfontconfig.so\n";
}

// The host's default COM number (config_dialogs/hostrecord.h).
extern "C" __attribute__((visibility("default"))) unsigned short CDX_HostDefaultComNumber(void) {
  return g_deviceNumber;
}

namespace {

// A whole decimal number in [min, max], nothing else.
bool ReadNumber(const char* text, long min, long max, long* out) {
  if (!text || !*text) return false;
  errno = 0;
  char* end = nullptr;
  const long v = strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || v < min || v > max) return false;
  *out = v;
  return true;
}

// The PDF is written to a temporary beside the output and renamed into
// place once the print has succeeded, so that a failed print leaves nothing.
struct PdfOutput {
  std::string path, temp;
  int fd = -1;

  bool Open(const std::string& target) {
    path = target;
    const size_t slash = target.rfind('/');
    temp = (slash == std::string::npos ? std::string() : target.substr(0, slash + 1)) + ".qdprint.XXXXXX";
    std::vector<char> name(temp.begin(), temp.end());
    name.push_back('\0');
    fd = mkstemp(name.data());
    if (fd < 0) return false;
    temp = name.data();
    // mkstemp makes the file private; the PDF gets what the umask allows.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    return true;
  }
  static cairo_status_t Write(void* closure, const unsigned char* data, unsigned int length) {
    auto* self = static_cast<PdfOutput*>(closure);
    while (length > 0) {
      const ssize_t n = write(self->fd, data, length);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return CAIRO_STATUS_WRITE_ERROR;
      data += n;
      length -= static_cast<unsigned int>(n);
    }
    return CAIRO_STATUS_SUCCESS;
  }
  bool Commit() {
    const bool ok = fsync(fd) == 0 && close(fd) == 0;
    fd = -1;
    if (!ok || rename(temp.c_str(), path.c_str()) != 0) {
      unlink(temp.c_str());
      return false;
    }
    return true;
  }
  void Discard() {
    if (fd >= 0) close(fd);
    fd = -1;
    if (!temp.empty()) unlink(temp.c_str());
  }
};

}  // namespace

int main(int argc, char** argv) {
  std::string server, name, deviceDir, output, paper = "a4";
  bool portrait = false;
  long demo = -1;
  long onlyPath = -1, first = 0, last = 0, number = 1;
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    auto bad = [&](const char* what) {
      fprintf(stderr, "qdprint: %s: not a valid number\n", what);
      return Usage();
    };
    const char* v = nullptr;
    if (a == "--server" && (v = value())) server = v;
    else if (a == "--name" && (v = value())) name = v;
    else if (a == "--number") {
      if (!ReadNumber(value(), 1, 65535, &number)) return bad("--number (1..65535)");
    } else if (a == "--paper" && (v = value())) paper = v;
    else if (a == "--portrait") portrait = true;
    else if (a == "--demo") {
      if (!ReadNumber(value(), 1, 65535, &demo)) return bad("--demo (1..65535 channels)");
    } else if (a == "--path") {
      if (!ReadNumber(value(), 0, kHostPathCount - 1, &onlyPath)) return bad("--path (0..4)");
    } else if (a == "--first") {
      if (!ReadNumber(value(), 0, 65535, &first)) return bad("--first");
    } else if (a == "--last") {
      if (!ReadNumber(value(), 0, 65535, &last)) return bad("--last");
    } else if (!a.empty() && a[0] == '-') return Usage();
    else positional.push_back(a);
  }
  if ((demo >= 0 ? 1u : 2u) != positional.size() || (paper != "a4" && paper != "letter")) return Usage();
  g_deviceNumber = static_cast<unsigned short>(number);
  output = positional.back();
  if (demo < 0) deviceDir = positional[0];
  // A relative output name is taken from where qdprint was started, before
  // the print changes into the device directory.
  char cwd[PATH_MAX];
  if (output.empty() || output.back() == '/') return Usage();
  if (output[0] != '/') {
    if (!getcwd(cwd, sizeof cwd)) {
      fprintf(stderr, "qdprint: cannot read the current directory: %s\n", strerror(errno));
      return 1;
    }
    output = std::string(cwd) + "/" + output;
  }
  Host host;
  DeviceConfig device = {};
  uint8_t enable = 1, saveOutputs = 0, saveByTag = 0;
  uint32_t saveRate = 0;
  std::vector<ChannelConfig> demoChannels[2];
  ChannelConfig* pathChannels[kHostPathCount] = {};
  if (demo >= 0) {
    host.Set(name.empty() ? "demo" : name, "demo");
    for (int i = 1; i <= demo; ++i) {
      demoChannels[0].push_back(DemoAnalog(i));
      demoChannels[1].push_back(DemoDigital(i));
    }
    for (int p = 0; p < 2; ++p) {
      host.Path(p, static_cast<uint16_t>(demo));
      pathChannels[p] = demoChannels[p].data();
    }
    device.ScanRate = 2500;
    device.Comm.Node = 1;
    saveOutputs = 1;
    saveByTag = 1;
    saveRate = 90500;
  } else {
    if (Cfg_LoadDeviceEx(deviceDir.c_str(), &device, sizeof device, nullptr, 0, nullptr, &enable, nullptr, nullptr,
                         nullptr) != 0) {
      fprintf(stderr, "qdprint: cannot read the device configuration in %s: %s\n", deviceDir.c_str(),
              plat::ErrorWords(static_cast<uint32_t>(errno)).c_str());
      return 1;
    }
    // A device without "saveconfig" saves no outputs.
    if (Cfg_LoadDeviceEx(deviceDir.c_str(), nullptr, 0, nullptr, 0, nullptr, nullptr, &saveOutputs, &saveByTag,
                         &saveRate) != 0)
      saveOutputs = saveByTag = 0, saveRate = 0;
    const std::string base = BaseName(deviceDir);
    host.Set(name.empty() ? base : name, base);
    for (int p = 0; p < kHostPathCount; ++p) {
      const int64_t size = Fs_GetFileSize((deviceDir + "/" + Chan_KindName(p)).c_str());
      if (size < static_cast<int64_t>(kChannelFileHeaderSize)) continue;
      const int64_t count = (size - static_cast<int64_t>(kChannelFileHeaderSize)) / kChannelRecordSize;
      host.Path(p, static_cast<uint16_t>(std::min<int64_t>(count, 65535)));
    }
    // The library loads the channels from the current directory, as the
    // host has it when it prints.
    if (chdir(deviceDir.c_str()) != 0) {
      fprintf(stderr, "qdprint: cannot enter %s: %s\n", deviceDir.c_str(), strerror(errno));
      return 1;
    }
  }

  double width = paper == "a4" ? 842 : 792, height = paper == "a4" ? 595 : 612;
  if (portrait) std::swap(width, height);
  PdfOutput out;
  if (!out.Open(output)) {
    fprintf(stderr, "qdprint: cannot write %s: %s\n", output.c_str(), plat::ErrorWords(plat::FromErrno(errno)).c_str());
    return 1;
  }
  cairo_surface_t* surface = cairo_pdf_surface_create_for_stream(PdfOutput::Write, &out, width, height);
  cairo_t* cr = cairo_create(surface);

  // Beside the program in the build tree; in an installed prefix the
  // library lives in lib/ beside bin/.
  std::string library = plat::OwnProgramDirectory() + "/libqd_setup.so";
  if (access(library.c_str(), F_OK) != 0) library = plat::OwnProgramDirectory() + "/../lib/libqd_setup.so";
  void* lib = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  auto printAll = lib ? reinterpret_cast<PrintAllConfigFn>(dlsym(lib, "PrintAllConfig")) : nullptr;
  auto printPath = lib ? reinterpret_cast<PrintConfigFn>(dlsym(lib, "PrintConfig")) : nullptr;
  if (!printAll || !printPath) {
    fprintf(stderr, "qdprint: cannot load %s: %s\n", library.c_str(), dlerror());
    cairo_destroy(cr);
    cairo_surface_destroy(surface);
    out.Discard();
    return 1;
  }
  int rc;
  if (onlyPath >= 0) {
    rc = printPath(cr, server.c_str(), host.record, onlyPath, first, last, &device, pathChannels[onlyPath]);
  } else {
    rc = printAll(cr, server.c_str(), host.record, enable, saveOutputs, saveByTag, static_cast<int>(saveRate), &device,
                  demo >= 0 ? pathChannels : nullptr);
  }
  const int err = errno;
  cairo_destroy(cr);
  cairo_surface_finish(surface);
  const cairo_status_t status = cairo_surface_status(surface);
  cairo_surface_destroy(surface);
  if (rc != 0) {
    out.Discard();
    fprintf(stderr, "qdprint: the print failed: %s\n", plat::ErrorWords(static_cast<uint32_t>(err)).c_str());
    return 1;
  }
  if (status != CAIRO_STATUS_SUCCESS) {
    out.Discard();
    fprintf(stderr, "qdprint: cannot write %s: %s\n", output.c_str(), cairo_status_to_string(status));
    return 1;
  }
  if (!out.Commit()) {
    fprintf(stderr, "qdprint: cannot write %s: %s\n", output.c_str(), plat::ErrorWords(plat::FromErrno(errno)).c_str());
    return 1;
  }
  printf("qdprint: %s written\n", output.c_str());
  return 0;
}
