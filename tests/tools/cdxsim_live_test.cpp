// The cdxsim command as an integrator meets it: a program that ends before
// it is up is explained, the description's env reaches the files cdxsim
// writes itself, and a live device is not re-created unless asked for.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "cdxlib/records/devicerecord.h"
#include "cdxlib/shm/signals.h"
#include "platform/root.h"
#include "support/child.h"
#include "support/tool_run.h"
#include "tools/cdxsim/cdxsim.h"

namespace {

std::string WriteDesc(const std::string& text) {
  const std::string path = plat::Root() + "/live.desc";
  std::ofstream(path) << text;
  return path;
}

bool Exists(const std::string& path) {
  struct stat sb;
  return stat(path.c_str(), &sb) == 0;
}

// qd_poll under a device whose configuration directory does not exist: it
// ends with 2 before it is up, and only the error list says why.
TEST(CdxsimLive, ProgramEndingBeforeItIsUpIsExplained) {
  const std::string desc = WriteDesc("errors entries=8\n"
                                     "device type=qd number=1 name=dev1 process=qd_dev1 ai=QA port=COM1\n"
                                     "module prefix=QA channels=2\n"
                                     "env CDX_CURRENT_CONFIG=" + plat::Root() + "/nowhere\n"
                                     "program " + testsupport::BinPath("qd_poll") + "\n");
  auto r = testsupport::RunTool({testsupport::BinPath("cdxsim"), desc, "--scans", "1"});
  EXPECT_EQ(r.rc, 2) << r.out;
  EXPECT_NE(r.out.find("program ended with 2 before it was up"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("status qd_dev1: \"CAN'T ACCESS CONFIG DIR -0002\""), std::string::npos) << r.out;
}

// The env line names the configuration directory: the point files go
// there, and the scanner started with the same environment finds them (it
// is up, retrying a port that is not there, instead of ending with 2).
TEST(CdxsimLive, EnvLineReachesThePointFilesAndTheProgram) {
  const std::string config = plat::Root() + "/elsewhere";
  const std::string desc = WriteDesc("errors entries=8\n"
                                     "device type=qd number=1 name=dev1 process=qd_dev1 ai=QA port=COM9 scanrate=200\n"
                                     "module prefix=QA channels=2\n"
                                     "point device=1 number=1 tag=LEVEL1 word=10\n"
                                     "point device=1 number=2 tag=LEVEL2 word=11\n"
                                     "env CDX_CURRENT_CONFIG=" + config + "\n"
                                     "program " + testsupport::BinPath("qd_poll") + "\n");
  auto r = testsupport::RunTool({testsupport::BinPath("cdxsim"), desc, "--scans", "1"});
  EXPECT_EQ(r.rc, 0) << r.out;
  EXPECT_TRUE(Exists(config + "/dev1/ai")) << r.out;
  EXPECT_EQ(r.out.find("before it was up"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("program ended with 0"), std::string::npos) << r.out;
}

std::atomic<int> g_reconfigures{0};
int CountReconfigure(int code) {
  if (code == 302) ++g_reconfigures;
  return 0;
}

// A device whose scanner runs (here: this test process, with a signal
// receiver, in the record) is neither zeroed nor re-created without
// --replace; --reconfigure writes its files and sends it 302.
TEST(CdxsimLive, RunningDeviceIsRefusedReplacedOnlyOnRequestAndReconfigured) {
  const std::string config = plat::Root() + "/cfg";
  const std::string text = "errors entries=8\n"
                           "device type=qd number=3 name=dev3 process=qd_dev3 ai=QA\n"
                           "module prefix=QA channels=2\n"
                           "point device=3 number=1 tag=LEVEL1 word=10\n"
                           "env CDX_CURRENT_CONFIG=" + config + "\n";
  const std::string desc = WriteDesc(text);
  cdxsim::Description d;
  std::string error;
  ASSERT_TRUE(cdxsim::Description::Parse(text, &d, &error)) << error;
  cdxsim::Sim sim(d);
  ASSERT_EQ(sim.Create(), 0);
  errno = 0;
  Sig_InstallHandler(CountReconfigure);
  ASSERT_EQ(errno, 0);
  auto* record = reinterpret_cast<DeviceRecord*>(sim.DeviceRecordPtr(3));
  ASSERT_NE(record, nullptr);
  record->Running = 1;
  record->ScannerPid = uint32_t(getpid());
  uint8_t* values = sim.ModuleData("dm_QA");
  values[20] = 0x5A;  // a status word the running scanner published
  std::remove((config + "/dev3/ai").c_str());

  const std::string cdxsim = testsupport::BinPath("cdxsim");
  auto refused = testsupport::RunTool({cdxsim, desc});
  EXPECT_EQ(refused.rc, 1) << refused.out;
  EXPECT_NE(refused.out.find("device 3 is running (scanner pid " + std::to_string(getpid()) + ")"), std::string::npos)
      << refused.out;
  EXPECT_NE(refused.out.find("--reconfigure"), std::string::npos) << refused.out;
  EXPECT_EQ(record->Running, 1);
  EXPECT_EQ(values[20], 0x5A);
  EXPECT_FALSE(Exists(config + "/dev3/ai"));

  auto reconf = testsupport::RunTool({cdxsim, desc, "--reconfigure"});
  EXPECT_EQ(reconf.rc, 0) << reconf.out;
  EXPECT_NE(reconf.out.find("device 3: files written, 302 sent to pid"), std::string::npos) << reconf.out;
  EXPECT_TRUE(Exists(config + "/dev3/ai"));
  EXPECT_TRUE(testsupport::WaitUntil([] { return g_reconfigures.load() == 1; }, 10000));
  EXPECT_EQ(record->Running, 1);
  EXPECT_EQ(values[20], 0x5A);

  auto replaced = testsupport::RunTool({cdxsim, desc, "--replace"});
  EXPECT_EQ(replaced.rc, 0) << replaced.out;
  EXPECT_NE(replaced.out.find("modules created"), std::string::npos) << replaced.out;
  EXPECT_EQ(record->Running, 0);
  EXPECT_EQ(values[20], 0);
  Sig_RemoveHandler();
}

TEST(CdxsimLive, BadNumbersAreRefused) {
  const std::string desc = WriteDesc("device type=qd number=1 name=dev1\n");
  for (const char* arg : {"--device", "--scans"}) {
    for (const char* v : {"abc", "-1", "5x"}) {
      auto r = testsupport::RunTool({testsupport::BinPath("cdxsim"), desc, arg, v});
      EXPECT_EQ(r.rc, 2) << arg << " " << v << ": " << r.out;
    }
  }
}

}  // namespace
