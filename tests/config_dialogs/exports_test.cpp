// libqd_setup.so as a host loads it: dlopen, the four plain names, and the
// dialog exports called on real device and channel records. Without a
// display they fail with a clear error and touch nothing; under Xvfb a real
// GTK dialog is shown, played by a script and closed, and the records show
// what it did.
//
// The dialog runs in a child process (this program, started again with
// QD_SETUP_CHILD set, which does its work before the tests start), so that
// each run has its own GTK and the test reads what the library wrote to
// standard error.
#include <gtest/gtest.h>

#include <cairo.h>
#include <gtk/gtk.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <clocale>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "config_dialogs/advanced.h"
#include "config_dialogs/hostrecord.h"
#include "config_dialogs/qd_setup.h"
#include "dialog_fixture.h"
#include "platform/registry.h"
#include "support/child.h"
#include "support/xvfb.h"

// The host's default COM number, which the library looks up in the host
// program (this one exports it).
extern "C" __attribute__((visibility("default"))) unsigned short CDX_HostDefaultComNumber(void) { return 4; }

// Loading the library loads GTK, whose libraries keep a few blocks from
// their start-up for the life of the process: not ours to report. (The
// library is never unloaded here, as a host keeps it, so that what its
// libraries hold stays reachable.)
extern "C" const char* __lsan_default_suppressions() { return "leak:libglib-2.0.so\nleak:libgobject-2.0.so\nleak:libfontconfig.so\n"; }

namespace {

const std::string kLibrary = std::string(CDX_BIN_DIR) + "/libqd_setup.so";

std::string Hex(const void* p, size_t n) {
  std::string out;
  char two[3];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(two, sizeof two, "%02x", static_cast<const uint8_t*>(p)[i]);
    out += two;
  }
  return out;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// ---------------------------------------------------------------- child

// The records a child starts from.
dlgtest::HostRecord ChildHostRecord() { return dlgtest::HostRecord("", 7, 3); }
ChannelConfig ChildChannel() { return dlgtest::PatternChannel(0); }

// In a child that plays a GTK host with a shown window (its own hand
// cursor set): prints two channels through PrintConfig or PrintAllConfig on
// a cairo context whose every text drawing looks at the window's cursor.
// "changed" counts the drawings under the watch cursor, "errno" those under
// another, "bytes" says whether the window's own cursor came back.
struct CursorSeen {
  GdkWindow* window;
  int watch = 0;
  int other = 0;
};
void LookAtCursor(cairo_surface_t*, cairo_surface_t*, void* data) {
  auto* seen = static_cast<CursorSeen*>(data);
  GdkCursor* c = gdk_window_get_cursor(seen->window);
  if (c && gdk_cursor_get_cursor_type(c) == GDK_WATCH) ++seen->watch;
  else ++seen->other;
}
int RunPrintCursorChild(void* lib, bool all) {
  if (!gtk_init_check(nullptr, nullptr)) return 7;
  GtkWidget* win = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_default_size(GTK_WINDOW(win), 200, 100);
  gtk_widget_show(win);
  while (gtk_events_pending()) gtk_main_iteration();
  GdkWindow* gw = gtk_widget_get_window(win);
  GdkCursor* own = gdk_cursor_new_for_display(gdk_display_get_default(), GDK_HAND2);
  gdk_window_set_cursor(gw, own);
  CursorSeen seen{gw};
  cairo_surface_t* image = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 595, 842);
  cairo_surface_t* observer = cairo_surface_create_observer(image, CAIRO_SURFACE_OBSERVER_NORMAL);
  cairo_surface_observer_add_glyphs_callback(observer, LookAtCursor, &seen);
  cairo_t* cr = cairo_create(observer);
  uint8_t host[kHostRecordMinSize] = {};
  std::memcpy(host + kHostDeviceNameOffset, "Cursor plant", 12);
  std::memcpy(host + kHostPathEntryOffset, "AI", 2);
  const uint16_t count = 2;
  std::memcpy(host + kHostPathCountOffset, &count, 2);
  DeviceConfig device = {};
  device.ScanRate = 1000;
  ChannelConfig channels[2];
  std::memset(channels, 0, sizeof channels);
  for (ChannelConfig& c : channels) {
    c.Type = kKindAI;
    Chan_SetTag(&c, "LEVEL");
    Chan_SetFlag(&c, kAiEnable, true);
  }
  ChannelConfig* paths[5] = {channels, nullptr, nullptr, nullptr, nullptr};
  int rc;
  if (all)
    rc = reinterpret_cast<PrintAllConfigFn>(dlsym(lib, "PrintAllConfig"))(cr, ".", host, 1, 0, 0, 0, &device, paths);
  else
    rc = reinterpret_cast<PrintConfigFn>(dlsym(lib, "PrintConfig"))(cr, ".", host, 0, 1, 2, &device, channels);
  const bool restored = gdk_window_get_cursor(gw) == own;
  cairo_destroy(cr);
  cairo_surface_destroy(observer);
  cairo_surface_destroy(image);
  std::ofstream out(std::getenv("QD_SETUP_RESULT"));
  out << "changed " << seen.watch << "\nerrno " << seen.other << "\nbytes " << (restored ? "restored" : "kept")
      << "\nlocale rc" << rc << "\n";
  return out.good() ? 0 : 4;
}

// In a child: loads the library, calls the export named by QD_SETUP_CHILD
// on the records above and writes "changed", "errno" and the record's
// bytes to QD_SETUP_RESULT.
int RunChild(const char* which) {
  void* lib = dlopen(kLibrary.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) {
    std::fprintf(stderr, "dlopen: %s\n", dlerror());
    return 3;
  }
  if (std::strcmp(which, "printcursor") == 0 || std::strcmp(which, "printallcursor") == 0)
    return RunPrintCursorChild(lib, std::strcmp(which, "printallcursor") == 0);
  int changed = -5;
  std::string bytes;
  errno = 0;
  if (std::strcmp(which, "advanced") == 0) {
    auto fn = reinterpret_cast<DLL_ConfigAdvanDevSpecificFn>(dlsym(lib, "DLL_ConfigAdvanDevSpecific"));
    dlgtest::HostRecord rec = ChildHostRecord();
    fn(nullptr, rec.bytes, &changed);
    bytes = Hex(rec.bytes, sizeof rec.bytes);
  } else {
    auto fn = reinterpret_cast<DLL_ConfigChanDevSpecificFn>(dlsym(lib, "DLL_ConfigChanDevSpecific"));
    ChannelConfig ch = ChildChannel();
    fn(nullptr, 1, 2, 3, &ch, &changed);
    bytes = Hex(&ch, sizeof ch);
  }
  const int err = errno;
  std::ofstream out(std::getenv("QD_SETUP_RESULT"));
  out << "changed " << changed << "\nerrno " << err << "\nbytes " << bytes << "\nlocale "
      << setlocale(LC_ALL, nullptr) << "\n";
  return out.good() ? 0 : 4;
}

const int g_child = [] {
  const char* which = std::getenv("QD_SETUP_CHILD");
  if (which == nullptr) return 0;
  std::fflush(stdout);
  _exit(RunChild(which));
}();

struct ChildResult {
  int exitCode = -1;
  int changed = 0;
  int err = 0;
  std::string bytes;
  std::string locale;      // the child's locale after the export
  std::string transcript;  // what the library wrote to standard error
};

// Runs the export in a child with the environment given (and DISPLAY and
// WAYLAND_DISPLAY only as given there).
ChildResult RunExportInChild(const char* which, const std::map<std::string, std::string>& env) {
  const std::string root = std::getenv("CDXPLAT_ROOT");
  static int serial = 0;
  const std::string tag = root + "/child" + std::to_string(++serial);
  const std::string resultFile = tag + ".result", errFile = tag + ".stderr";
  pid_t pid = testsupport::ForkChild([&] {
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    for (const auto& [k, v] : env) setenv(k.c_str(), v.c_str(), 1);
    setenv("QD_SETUP_CHILD", which, 1);
    setenv("QD_SETUP_RESULT", resultFile.c_str(), 1);
    // GTK's own leaks are not ours; no accessibility bus or settings daemon.
    setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
    setenv("NO_AT_BRIDGE", "1", 1);
    setenv("GSETTINGS_BACKEND", "memory", 1);
    int fd = open(errFile.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
    if (fd < 0) return 5;
    dup2(fd, 2);
    close(fd);
    char exe[] = "/proc/self/exe";
    char* argv[] = {exe, nullptr};
    execv(exe, argv);
    return 6;
  });
  ChildResult r;
  r.exitCode = testsupport::WaitChild(pid, 120000);
  r.transcript = ReadFile(errFile);
  std::stringstream in(ReadFile(resultFile));
  std::string key;
  while (in >> key) {
    if (key == "changed") in >> r.changed;
    else if (key == "errno") in >> r.err;
    else if (key == "bytes") in >> r.bytes;
    else if (key == "locale") in >> r.locale;
  }
  return r;
}

void SetSerialPorts(const std::vector<std::string>& ports) {
  plat::RegDeleteTree(plat::HKEY_LOCAL_MACHINE, qdui::kSerialCommKey);
  plat::HKEY key = nullptr;
  ASSERT_EQ(plat::RegCreateKeyEx(plat::HKEY_LOCAL_MACHINE, qdui::kSerialCommKey, 0, plat::KEY_ALL_ACCESS, &key, nullptr),
            0u);
  int n = 0;
  for (const std::string& p : ports) {
    const std::string name = "\\Device\\Serial" + std::to_string(n++);
    ASSERT_EQ(plat::RegSetValueEx(key, name.c_str(), plat::REG_SZ, p.c_str(), uint32_t(p.size() + 1)), 0u);
  }
  plat::RegCloseKey(key);
}

// The host record after the Advanced dialog, from the child's result.
std::string ExpectedHostBytes(const char* port, uint8_t node) {
  dlgtest::HostRecord rec = ChildHostRecord();
  rec.block()[1] = node;
  std::memset(rec.block() + 2, 0, 7);
  std::memcpy(rec.block() + 2, port, std::strlen(port));
  return Hex(rec.bytes, sizeof rec.bytes);
}

}  // namespace

// ---------------------------------------------------------------- the library

TEST(QdSetupLibrary, ExportsItsFourEntryPointsByPlainName) {
  FILE* nm = popen(("nm -D --defined-only " + kLibrary + " 2>&1").c_str(), "r");
  ASSERT_NE(nm, nullptr);
  std::vector<std::string> names;
  char line[512];
  while (std::fgets(line, sizeof line, nm) != nullptr) {
    std::stringstream in(line);
    std::string address, kind, name;
    if (in >> address >> kind >> name) names.push_back(name);
  }
  ASSERT_EQ(pclose(nm), 0) << "nm failed on " << kLibrary;
  // Besides the entry points, only the serializer callbacks that gSOAP's
  // shared library (the web-service transport) looks up are exported.
  const auto isSoapCallback = [](const std::string& n) {
    return n == "namespaces" || n.rfind("soap_", 0) == 0 || (n.rfind("_Z", 0) == 0 && n.find("soap_") != std::string::npos &&
                                                             n.find("P4soap") == n.size() - 6);
  };
  const size_t callbacks = static_cast<size_t>(std::count_if(names.begin(), names.end(), isSoapCallback));
  EXPECT_EQ(callbacks, 19u);
  names.erase(std::remove_if(names.begin(), names.end(), isSoapCallback), names.end());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"DLL_ConfigAdvanDevSpecific", "DLL_ConfigChanDevSpecific",
                                             "PrintAllConfig", "PrintConfig"}));

  void* lib = dlopen(kLibrary.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  for (const char* name : {"DLL_ConfigAdvanDevSpecific", "DLL_ConfigChanDevSpecific", "PrintConfig", "PrintAllConfig"})
    EXPECT_NE(dlsym(lib, name), nullptr) << name;
  EXPECT_EQ(dlsym(lib, "Host_DefaultComNumber"), nullptr);
  EXPECT_EQ(dlsym(lib, "_Z21Host_DefaultComNumberv"), nullptr) << "internal code stays inside the library";
}

// Without a display: nothing shown, nothing written, 1459 and the reason.
TEST(QdSetupLibrary, DialogExportsWithoutADisplayFailClearlyAndTouchNothing) {
  SetSerialPorts({"COM1"});
  const std::map<std::string, std::string> noDisplay;
  const std::map<std::string, std::string> badDisplay{{"DISPLAY", ":59999"}};
  struct Case {
    const char* which;
    const std::map<std::string, std::string>* env;
    const char* reason;
  } cases[] = {
      {"advanced", &noDisplay, "cannot show the dialog \"Advanced\": there is no display"},
      {"channel", &noDisplay, "cannot show the dialog \"Channel Configuration\": there is no display"},
      {"advanced", &badDisplay, "cannot show the dialog \"Advanced\": the display \":59999\" cannot be opened"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.which + std::string(" ") + c.reason);
    ChildResult r = RunExportInChild(c.which, *c.env);
    ASSERT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_EQ(r.err, 1459);
    EXPECT_EQ(r.changed, -5);
    if (std::strcmp(c.which, "advanced") == 0) {
      dlgtest::HostRecord rec = ChildHostRecord();
      EXPECT_EQ(r.bytes, Hex(rec.bytes, sizeof rec.bytes));
    } else {
      ChannelConfig ch = ChildChannel();
      EXPECT_EQ(r.bytes, Hex(&ch, sizeof ch));
    }
    EXPECT_NE(r.transcript.find(std::string("qd_setup: ") + c.reason), std::string::npos) << r.transcript;
  }
}

TEST(QdSetupLibrary, DialogExportsRefuseAMissingRecord) {
  void* lib = dlopen(kLibrary.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  auto advanced = reinterpret_cast<DLL_ConfigAdvanDevSpecificFn>(dlsym(lib, "DLL_ConfigAdvanDevSpecific"));
  auto channel = reinterpret_cast<DLL_ConfigChanDevSpecificFn>(dlsym(lib, "DLL_ConfigChanDevSpecific"));
  int changed = -5;
  errno = 0;
  advanced(nullptr, nullptr, &changed);
  EXPECT_EQ(errno, 87);
  errno = 0;
  channel(nullptr, 0, 0, 0, nullptr, &changed);
  EXPECT_EQ(errno, 87);
  EXPECT_EQ(changed, -5);
}

// The library reaches servers named by URL or by a logged-data location: a print that reads the device
// through "https://..." goes to the web service (here a port where nobody
// listens: cannot connect, 12029), not to "not supported" (50), which is
// all a program without the network transports can say.
TEST(QdSetupLibrary, ServersNamedByUrlOrLogLocationAreReached) {
  void* lib = dlopen(kLibrary.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  auto print = reinterpret_cast<PrintAllConfigFn>(dlsym(lib, "PrintAllConfig"));
  ASSERT_NE(print, nullptr);
  dlgtest::HostRecord host = ChildHostRecord();
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 842, 595);
  cairo_t* cr = cairo_create(surface);
  errno = 0;
  EXPECT_EQ(print(cr, "https://127.0.0.2:1/cdx", host.bytes, 0, 0, 0, 0, nullptr, nullptr), -1);
  const int error = errno;
  cairo_destroy(cr);
  EXPECT_NE(error, 50);
  EXPECT_EQ(error, 12029);

  // A logged-data location goes to the in-process source, which finds no
  // logs at a path that does not exist (3), where a program without it can
  // only say "not supported" (50).
  cr = cairo_create(surface);
  errno = 0;
  EXPECT_EQ(print(cr, "/no/such/logged/data", host.bytes, 0, 0, 0, 0, nullptr, nullptr), -1);
  EXPECT_EQ(errno, 3);
  cairo_destroy(cr);
  cairo_surface_destroy(surface);
}

// ---------------------------------------------------------------- under Xvfb

namespace {

// One X server (Xvfb) for the tests below, on a display number that it
// picks itself and reports (-displayfd), so that runs side by side never
// collide.
class XvfbTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const testsupport::XvfbServer started = testsupport::StartXvfb();
    pid_ = started.pid;
    display_ = started.display;
    if (pid_ > 0 && display_.empty()) failure_ = "Xvfb did not report a display within 60 s";
  }

  static void TearDownTestSuite() {
    testsupport::XvfbServer server{pid_, display_};
    testsupport::StopXvfb(server);
    pid_ = server.pid;
  }

  void SetUp() override {
    if (pid_ <= 0) GTEST_SKIP() << "Xvfb is not installed: the GTK dialogs cannot be shown here";
    ASSERT_TRUE(failure_.empty()) << failure_;
  }

  ChildResult Play(const char* which, const std::string& script) {
    // A locale in the environment that GTK would switch the process to.
    return RunExportInChild(which, {{"DISPLAY", display_}, {"CDX_DIALOG_SCRIPT", script}, {"LC_ALL", "C.UTF-8"}});
  }

  static inline pid_t pid_ = -1;
  static inline std::string display_;
  static inline std::string failure_;
};

}  // namespace

// Printing shows the watch cursor on the host's window for its whole length
// and gives the window its own cursor back after.
TEST_F(XvfbTest, PrintingShowsTheWaitCursorOnTheHostsWindow) {
  for (const char* which : {"printcursor", "printallcursor"}) {
    SCOPED_TRACE(which);
    const ChildResult r = RunExportInChild(which, {{"DISPLAY", display_}, {"LC_ALL", "C.UTF-8"}});
    ASSERT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_EQ(r.locale, "rc0");
    EXPECT_GT(r.changed, 0);  // text drawn under the watch cursor
    EXPECT_EQ(r.err, 0);      // and none under another
    EXPECT_EQ(r.bytes, "restored");
  }
}

TEST_F(XvfbTest, AdvancedDialogPromptsForABadNodeThenWritesThePickedPort) {
  SetSerialPorts({"COM1", "COM4", "COM12"});
  ChildResult r = Play("advanced", "text 1001 300; press 1; answer; text 1001 12; select 1000 COM12; press 1");
  ASSERT_EQ(r.exitCode, 0) << r.transcript;
  EXPECT_NE(r.transcript.find("qd_setup: shown: 129 \"Advanced\""), std::string::npos) << r.transcript;
  EXPECT_NE(r.transcript.find("qd_setup: message: Please enter an integer between 0 and 255."), std::string::npos)
      << r.transcript;
  EXPECT_NE(r.transcript.find("qd_setup: ended: 1"), std::string::npos) << r.transcript;
  EXPECT_EQ(r.changed, 1);
  EXPECT_EQ(r.bytes, ExpectedHostBytes("COM12", 12)) << "the retry count and the rest of the record are kept";
  EXPECT_EQ(r.locale, "C") << "showing a dialog must not switch the host's locale";
}

TEST_F(XvfbTest, AdvancedDialogOpensOnTheHostsDefaultPortAndAnUntouchedOkChangesNothing) {
  SetSerialPorts({"COM1", "COM4"});
  // The host's default COM number is 4: the empty name shows as COM4.
  ChildResult r = Play("advanced", "help; press 1");
  ASSERT_EQ(r.exitCode, 0) << r.transcript;
  EXPECT_EQ(r.changed, 0);
  dlgtest::HostRecord rec = ChildHostRecord();
  EXPECT_EQ(r.bytes, Hex(rec.bytes, sizeof rec.bytes));
  EXPECT_NE(r.transcript.find("libqd_setup.chm::/html/qd_c8ir7.htm"), std::string::npos) << r.transcript;
}

TEST_F(XvfbTest, ChannelDialogSwitchedToDigitalWritesTheDigitalFields) {
  // Picked from the list, or typed into the combo box's field.
  for (const char* how : {"select 1006 Digital", "text 1006 digital"}) {
    SCOPED_TRACE(how);
    ChildResult r = Play("channel", std::string(how) + "; text 1003 5; text 1002 70000; text 1001 173; press 1");
    ASSERT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_EQ(r.changed, 1);
    ChannelConfig expect = ChildChannel();
    uint8_t* e = reinterpret_cast<uint8_t*>(&expect);
    e[24] = 3;
    e[192] = 173;
    e[194] = 4464 & 0xFF;
    e[195] = 4464 >> 8;
    e[196] = 5;
    EXPECT_EQ(r.bytes, Hex(&expect, sizeof expect)) << r.transcript;
  }
}

TEST_F(XvfbTest, CancelAndAnEndedScriptLeaveTheRecordsUntouched) {
  struct Case {
    const char* which;
    const char* script;
    const char* note;
  } cases[] = {
      {"advanced", "text 1001 9; press 2", nullptr},
      {"channel", "select 1006 Digital; text 1003 5; press 2", nullptr},
      {"channel", "text 1001 999", "the script has ended with the dialog open: it is cancelled"},
      {"channel", "text 1001 999; press 1", "the script has ended: the message box is closed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    ChildResult r = Play(c.which, c.script);
    ASSERT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_EQ(r.changed, -5);
    if (std::strcmp(c.which, "advanced") == 0) {
      dlgtest::HostRecord rec = ChildHostRecord();
      EXPECT_EQ(r.bytes, Hex(rec.bytes, sizeof rec.bytes));
    } else {
      ChannelConfig ch = ChildChannel();
      EXPECT_EQ(r.bytes, Hex(&ch, sizeof ch));
    }
    EXPECT_NE(r.transcript.find("qd_setup: ended: 2"), std::string::npos) << r.transcript;
    if (c.note != nullptr) {
      EXPECT_NE(r.transcript.find(c.note), std::string::npos) << r.transcript;
    }
  }
}
