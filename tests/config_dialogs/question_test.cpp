// The question before a reconfiguration disables loggers, as libqd_setup.so
// installs it (the same sources are built into this program): under Xvfb a
// GTK message box that a script answers Yes or No, without a display the
// answer Yes. The question is asked in a forked child that sends its
// requests to a fake server in this process, so what the answer did is seen
// in the requests that arrived.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cdxlib/client/requests.h"
#include "cdxlib/client/srvclient.h"
#include "cdxlib/sys/registry.h"
#include "config_dialogs/gtk/gtkpresenter.h"
#include "platform/error.h"
#include "platform/registry.h"
#include "support/child.h"
#include "support/xvfb.h"
#include "tools/fakesrv/fakesrv.h"

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

void SetServerValue(const char* name, const char* value) {
  uint32_t type = plat::REG_SZ, size = static_cast<uint32_t>(strlen(value) + 1);
  ASSERT_EQ(0u, Reg_AccessValue(plat::HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillomatic\\Coordinatrix", plat::KEY_SET_VALUE,
                                name, &type, const_cast<char*>(value), &size));
}

class LoggerQuestion : public ::testing::Test {
 protected:
  // One X server for the suite, on a display number it picks and reports.
  static void SetUpTestSuite() {
    const testsupport::XvfbServer started = testsupport::StartXvfb();
    xvfb_ = started.pid;
    display_ = started.display;
  }
  static void TearDownTestSuite() {
    testsupport::XvfbServer server{xvfb_, display_};
    testsupport::StopXvfb(server);
    xvfb_ = server.pid;
  }

  void SetUp() override {
    ASSERT_EQ(server.Start("."), 0) << plat::GetLastError();
    engine.script().SetDefault(fakesrv::Text("1"));
    engine.script().On("QL", fakesrv::Text("2"));
    engine.script().On("TL,", fakesrv::Text("1,trend_1,1,0,0,0,;event_2,0,0,0,0,;"));
    SetServerValue("ReconfigureLoggers", "ON");
  }
  void TearDown() override {
    server.Stop();
    SetServerValue("ReconfigureLoggers", "OFF");
  }

  // Runs the child with DISPLAY (none when empty) and the script; returns
  // the request codes that arrived and the child's debugger output.
  std::vector<std::string> Ask(const std::string& display, const std::string& script, std::string* transcript) {
    engine.ClearRequests();
    const std::string errFile = std::string(std::getenv("CDXPLAT_ROOT")) + "/question.stderr";
    // A forked child: the hook was installed in this process at its start.
    const pid_t pid = testsupport::ForkChild([&] {
      unsetenv("DISPLAY");
      unsetenv("WAYLAND_DISPLAY");
      if (!display.empty()) setenv("DISPLAY", display.c_str(), 1);
      setenv("CDX_DIALOG_SCRIPT", script.c_str(), 1);
      // No accessibility bus or settings daemon.
      setenv("NO_AT_BRIDGE", "1", 1);
      setenv("GSETTINGS_BACKEND", "memory", 1);
      const int fd = open(errFile.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
      if (fd < 0) return 5;
      dup2(fd, 2);
      close(fd);
      // A reconfiguring command to processor P1.
      const int rc = Proc_Command(".", 'c', "P1");
      Srv_CloseAll();
      return rc == 1 ? 0 : 3;
    });
    EXPECT_EQ(testsupport::WaitChild(pid, 120000), 0);
    *transcript = ReadFile(errFile);
    std::vector<std::string> codes;
    for (const std::string& r : engine.Requests()) codes.push_back(r.substr(0, r.find_first_of(std::string(",\0", 2))));
    return codes;
  }

  fakesrv::Engine engine;
  fakesrv::PipeServer server{&engine};
  static inline pid_t xvfb_ = -1;
  static inline std::string display_;
};

TEST_F(LoggerQuestion, WithoutADisplayTheAnswerIsYes) {
  std::string transcript;
  EXPECT_EQ(Ask("", "no", &transcript), (std::vector<std::string>{"QL", "TL", "DL", "CP", "EL"})) << transcript;
  EXPECT_NE(transcript.find("question \"Do you wish to disable and re-enable loggers\" not shown"), std::string::npos)
      << transcript;
  // In this process too, without showing anything.
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");
  EXPECT_EQ(qdgtk::AskYesNo("Do you wish to disable and re-enable loggers", "Reconfigure Loggers"), 1);
}

TEST_F(LoggerQuestion, UnderADisplayTheUsersAnswerCounts) {
  if (xvfb_ <= 0) GTEST_SKIP() << "Xvfb is not installed: the question cannot be shown here";
  ASSERT_FALSE(display_.empty()) << "Xvfb did not report a display within 60 s";
  std::string transcript;
  // Yes: the enabled logger is disabled around the command and enabled again.
  EXPECT_EQ(Ask(display_, "yes", &transcript), (std::vector<std::string>{"QL", "TL", "DL", "CP", "EL"}))
      << transcript;
  EXPECT_NE(transcript.find("qd_setup: question: Do you wish to disable and re-enable loggers"), std::string::npos)
      << transcript;
  EXPECT_NE(transcript.find("qd_setup: answered: Yes"), std::string::npos) << transcript;
  // No: nothing is disabled; the command still goes.
  EXPECT_EQ(Ask(display_, "no", &transcript), (std::vector<std::string>{"QL", "TL", "CP", "EL"})) << transcript;
  EXPECT_NE(transcript.find("qd_setup: answered: No"), std::string::npos) << transcript;
  // The box closed without an answer is No.
  EXPECT_EQ(Ask(display_, "help", &transcript), (std::vector<std::string>{"QL", "TL", "CP", "EL"})) << transcript;
  EXPECT_NE(transcript.find("closed"), std::string::npos) << transcript;
}

}  // namespace
