// cdxsim end to end: a device program (tools/testprogs/tdevice) started
// for a device of a description, sent scan and stop codes, and read back
// through its device record, its status text and the alarms that reach the
// alarm process; then the same through the cdxsim command.
#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "platform/root.h"
#include "support/child.h"
#include "tools/cdxsim/cdxsim.h"

namespace {

template <typename T>
T At(const uint8_t* p, size_t offset) {
  T v;
  std::memcpy(&v, p + offset, sizeof(T));
  return v;
}

const char* kDevice = R"(
errors  entries=8
driver  name=ALARM
device  type=qd number=7 name=dev7 process=qd_dev7 ai=QA di=QB diag=QX scanrate=100
module  prefix=QA channels=4
module  prefix=QB channels=4 kind=4
module  prefix=QX channels=8
channel prefix=QX number=1 type=3 desc=LINK alarm=1
env     CDX_GREETING=hello
)";

TEST(CdxsimEndToEnd, DeviceProgramAnswersScansWithRecordStatusAndAlarms) {
  cdxsim::Description d;
  std::string error;
  ASSERT_TRUE(cdxsim::Description::Parse(kDevice, &d, &error)) << error;
  d.program = std::string(CDX_BIN_DIR) + "/tdevice";
  cdxsim::Sim sim(d);
  ASSERT_EQ(sim.Create(), 0);

  const pid_t pid = sim.StartDevice(7);
  ASSERT_GT(pid, 0);
  // Up: registered under the record's process name, with the environment
  // of the description.
  ASSERT_EQ(sim.WaitStatusText("qd_dev7", "UP hello", 10000), "UP hello");
  std::vector<uint8_t> record;
  ASSERT_TRUE(sim.ReadDevice(7, &record));
  ASSERT_EQ(record.size(), 788u);
  EXPECT_EQ(At<uint16_t>(record.data(), 34), 7);
  EXPECT_EQ(At<uint8_t>(record.data(), 58), 1);                         // running
  EXPECT_EQ(At<uint32_t>(record.data(), 780), static_cast<uint32_t>(pid));  // scanner pid

  // Three scan requests: three scans counted, and channel 1 of the
  // diagnostics module raised, cleared and raised again.
  for (int i = 0; i < 3; ++i) ASSERT_EQ(sim.Send(pid, 300), 0);
  EXPECT_EQ(sim.WaitStatusText("qd_dev7", "SCAN 3", 10000), "SCAN 3");
  ASSERT_TRUE(sim.ReadDevice(7, &record));
  EXPECT_EQ(At<int32_t>(record.data(), 764), 3);
  ASSERT_TRUE(sim.WaitAlarms(3, 10000));
  const std::vector<cdxsim::AlarmBytes> alarms = sim.Alarms();
  ASSERT_EQ(alarms.size(), 3u);
  const uint32_t kinds[] = {0, 1, 0};  // raised, cleared, raised
  for (size_t i = 0; i < alarms.size(); ++i) {
    EXPECT_EQ(std::memcmp(alarms[i].data(), "QX", 2), 0) << i;
    EXPECT_EQ(At<uint16_t>(alarms[i].data(), 2), 1) << i;
    EXPECT_EQ(At<uint32_t>(alarms[i].data(), 8) & 7u, kinds[i]) << i;
  }

  // Stop: the text is cleared, the record marked stopped, the program ends.
  ASSERT_EQ(sim.Send(pid, 31), 0);
  EXPECT_EQ(sim.WaitExit(pid, 10000), 0);
  bool found = false;
  EXPECT_EQ(sim.StatusText("QD_DEV7", &found), "");
  EXPECT_TRUE(found);
  ASSERT_TRUE(sim.ReadDevice(7, &record));
  EXPECT_EQ(At<uint8_t>(record.data(), 58), 0);
}

// The command: the same device through cdxsim's scan pacing loop.
TEST(CdxsimCommand, PacesScansAndPrintsWhatArrives) {
  const std::string root = plat::Root();
  {
    std::ofstream desc(root + "/device.desc");
    desc << kDevice << "program " << testsupport::BinPath("tdevice") << "\n";
  }
  const std::string outPath = root + "/cdxsim.out";
  pid_t p = testsupport::ForkChild([&] {
    int fd = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    ::dup2(fd, 1);
    std::vector<std::string> all{testsupport::BinPath("cdxsim"), root + "/device.desc", "--scans", "2"};
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    return 127;
  });
  ASSERT_EQ(testsupport::WaitChild(p, 30000), 0);
  std::ifstream in(outPath);
  std::stringstream ss;
  ss << in.rdbuf();
  const std::string out = ss.str();
  // Each line appears once the program has done it; the order is the
  // program's. Alarms are queued and all printed; the status text is read
  // once a scan period, so on a loaded machine a "SCAN n" text can be
  // replaced before it is read and is not asked for.
  const char* expected[] = {
      "status qd_dev7: \"UP hello\"",
      "alarm: prefix=QX channel=1 kind=0 priority=0 delay=0 analog=0 high=1 common=0 value=1",
      "alarm: prefix=QX channel=1 kind=1 priority=0 delay=0 analog=0 high=1 common=0 value=0",
      "status qd_dev7: \"\"",
      "program ended with 0",
  };
  size_t at = 0;
  for (const char* line : expected) {
    size_t found = out.find(line, at);
    ASSERT_NE(found, std::string::npos) << line << "\n--- output:\n" << out;
    at = found;
  }
}

}  // namespace
