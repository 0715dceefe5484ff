// qd_poll end to end on a line that misbehaves as lines in the field do: the
// port lost and plugged back, a reconfiguration that the channel handler
// refuses, slow baud rates, and the debug trace of all of it.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <fcntl.h>

#include "scanner/qd_fixture.h"

namespace qdtest {
namespace {

constexpr const char* kTraceKey = "SOFTWARE\\Quillomatic\\Coordinatrix";

class Line : public Installation {
 protected:
  void SetUp() override {
    Installation::SetUp();
    TraceOff();  // whatever an earlier test of this process switched on
    std::remove(TracePath().c_str());
  }
  std::string TracePath() const { return root_ + "/dev1-trace.txt"; }

  void TraceOn() {
    PutSz(kTraceKey, "dev1_DebugType", "FILE");
    PutSz(kTraceKey, "dev1_DebugFile", TracePath());
    PutSz(kTraceKey, "dev1_Debug", "ON");
  }
  void TraceOff() { PutSz(kTraceKey, "dev1_Debug", "OFF"); }

  std::string Trace() const {
    std::ifstream f(TracePath(), std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  }
  bool WaitTrace(const std::string& part, int timeoutMs = 20000) const {
    int64_t end = plat::MonotonicMs() + timeoutMs;
    while (Trace().find(part) == std::string::npos) {
      if (plat::MonotonicMs() > end) return false;
      plat::SleepMs(10);
    }
    return true;
  }
  bool Alive() const { return pid_ > 0 && sim_->WaitExit(pid_, 0) == -1; }
  bool Busy() { return sim_->DeviceRecordPtr(1)[Layout::kBusy] != 0; }

  // A good scan of every channel that reads.
  void ExpectGoodScan() {
    ASSERT_TRUE(Scan());
    EXPECT_EQ(Text(), "");
    EXPECT_EQ(Status(1) & 0x20u, 0u);
    EXPECT_EQ(Value(1), 285.0f);
    EXPECT_EQ(Status(11) & 0x20u, 0u);
    EXPECT_EQ(Value(11), 300.0f);
  }
};

using LostPort = Line;

// The far end closes and a new one opens at the same path at once (an
// adapter replugged quickly): the scan fails with the system error, the
// initialisation opens the new line, and scanning goes on.
TEST_F(LostPort, HangUpFailsTheScanAndTheLineIsOpenedAgain) {
  TraceOn();
  ASSERT_GT(Start(), 0);
  ASSERT_TRUE(WaitReady());
  ExpectGoodScan();
  ASSERT_EQ(plc_.Reopen(), 0);
  ASSERT_EQ(sim_->Send(pid_, 300), 0);
  EXPECT_TRUE(WaitTrace("status text: CAN'T SCAN DEVICE -0031\n")) << Trace();
  ASSERT_TRUE(WaitReady());
  ExpectGoodScan();
  EXPECT_EQ(Trace().find("Timed Out On Command"), std::string::npos) << "a lost line is no missing ACK";
}

// The device path goes away: the initialisation retries (and says why)
// until it is back, then the first good scan clears the texts.
TEST_F(LostPort, VanishedDeviceIsReopenedUntilItComesBack) {
  TraceOn();
  ASSERT_GT(Start(), 0);
  ASSERT_TRUE(WaitReady());
  ExpectGoodScan();
  plc_.Hangup();
  ASSERT_EQ(sim_->Send(pid_, 300), 0);
  ASSERT_TRUE(WaitText("CAN'T INITIALISE DEVICE -0002"));
  EXPECT_NE(Trace().find("status text: CAN'T SCAN DEVICE -0031\n"), std::string::npos) << Trace();
  EXPECT_TRUE(Busy());
  for (int ch : {1, 2, 9, 16}) EXPECT_EQ(Status(ch) & 0x20u, 0x20u) << "channel " << ch;
  // At least one more attempt while the device is away.
  const size_t first = Trace().find("not opened: system error 2");
  ASSERT_NE(first, std::string::npos);
  int64_t end = plat::MonotonicMs() + 20000;
  while (Trace().find("not opened: system error 2", first + 1) == std::string::npos && plat::MonotonicMs() < end)
    plat::SleepMs(20);
  EXPECT_NE(Trace().find("not opened: system error 2", first + 1), std::string::npos);
  EXPECT_TRUE(Alive());

  ASSERT_EQ(plc_.Start(root_ + "/ttyPLC"), 0);
  ASSERT_TRUE(WaitReady());
  EXPECT_TRUE(WaitText(""));
  ExpectGoodScan();
}

using Reconfigure = Line;

// Channels the handler refuses (none enabled) fail the reconfiguration, not
// the process; a later good configuration scans again.
TEST_F(Reconfigure, RefusedChannelsKeepTheScannerAndAGoodOneScansAgain) {
  TraceOn();
  ASSERT_GT(Start(), 0);
  ASSERT_TRUE(WaitReady());
  ExpectGoodScan();
  std::vector<ChannelConfig> good = channels_;
  for (auto& c : channels_) Chan_SetFlag(&c, 7, false);
  WriteChannels();
  ASSERT_EQ(sim_->Send(pid_, 302), 0);
  ASSERT_TRUE(WaitText("CAN'T INITIALISE DEVICE -0013"));
  EXPECT_NE(Trace().find("status text: CAN'T RECONFIGURE DEVICE -0013\n"), std::string::npos) << Trace();
  EXPECT_EQ(Trace().find("CAN'T READ CONFIGURATION"), std::string::npos);
  EXPECT_TRUE(Alive());
  EXPECT_TRUE(Busy());

  channels_ = good;
  WriteChannels();
  ASSERT_EQ(sim_->Send(pid_, 302), 0);
  ASSERT_TRUE(WaitReady());
  EXPECT_TRUE(WaitText(""));
  ExpectGoodScan();
}

// A channel file that cannot be read still stops the process.
TEST_F(Reconfigure, UnreadableChannelFileStillStops) {
  ASSERT_GT(Start(), 0);
  ASSERT_TRUE(WaitReady());
  std::ofstream(deviceDir_ + "/ai", std::ios::binary | std::ios::trunc) << "not a channel file";
  ASSERT_EQ(sim_->Send(pid_, 302), 0);
  EXPECT_GT(sim_->WaitExit(pid_, 20000), 0);
  pid_ = -1;
  EXPECT_EQ(Text().rfind("CAN'T READ CONFIGURATION -", 0), 0u) << Text();
}

// A 302 taken while the device initialises (its line gone) with a channel
// file that cannot be read stops the process as in the main loop, and the
// read failure stays the status text (not overwritten by the retry's).
TEST_F(Reconfigure, UnreadableChannelFileDuringInitialisationStops) {
  ASSERT_GT(Start(), 0);
  ASSERT_TRUE(WaitReady());
  plc_.Hangup();
  ASSERT_EQ(sim_->Send(pid_, 300), 0);
  ASSERT_TRUE(WaitText("CAN'T INITIALISE DEVICE -0002"));
  std::ofstream(deviceDir_ + "/ai", std::ios::binary | std::ios::trunc) << "not a channel file";
  ASSERT_EQ(sim_->Send(pid_, 302), 0);
  EXPECT_GT(sim_->WaitExit(pid_, 20000), 0);
  pid_ = -1;
  EXPECT_EQ(Text(), "CAN'T READ CONFIGURATION -0038");
}

// Slow lines: the controller (paced at the rate) acknowledges after the
// command's own time on the wire, longer than the acknowledgement wait.
class SlowLine : public Line, public ::testing::WithParamInterface<int> {};

TEST_P(SlowLine, ScansCleanAtTheRate) {
  const int baud = GetParam();
  PutSz("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports", "COM1:", std::to_string(baud) + ",n,8,1");
  plc_.SetBaud(baud);
  ASSERT_GT(Start(), 0);
  ASSERT_TRUE(WaitReady(60000));
  ASSERT_TRUE(Code(300, 60000));
  EXPECT_EQ(Text(), "");
  EXPECT_EQ(Value(1), 285.0f);
  EXPECT_EQ(Value(11), 300.0f);
  EXPECT_EQ(Status(16) & 0x20u, 0u);
  df1sim::Stats s = plc_.GetStats();
  EXPECT_EQ(s.naksSent, 0);
  EXPECT_EQ(s.commands, s.repliesSent);
}

INSTANTIATE_TEST_SUITE_P(Baud, SlowLine, ::testing::Values(300, 600, 1200));

using DebugTraceOfTheLine = Line;

// Switched on while running, the trace shows the line: frames with node and
// TNS, ACK/NAK/ENQ, time-outs and retries, each failure text, reloads.
TEST_F(DebugTraceOfTheLine, SwitchedOnWhileRunningShowsTheLine) {
  ASSERT_GT(Start(), 0);
  ASSERT_TRUE(WaitReady());
  ExpectGoodScan();
  struct stat sb;
  ASSERT_NE(::stat(TracePath().c_str(), &sb), 0) << "off: no file";

  TraceOn();
  plc_.SetFault(2, df1sim::Fault::kNak, 1);
  plc_.SetFault(1, df1sim::Fault::kNoAck, 1);
  ASSERT_TRUE(Scan());
  plc_.SetFault(2, df1sim::Fault::kDleEnq, 3);
  ASSERT_TRUE(Scan());
  ASSERT_EQ(Text(), "QA9: Received Bad Symbol");
  // 302 with a changed channel file: a reload.
  std::string file = deviceDir_ + "/ai";
  struct timespec later[2];
  ASSERT_EQ(::stat(file.c_str(), &sb), 0);
  later[0] = sb.st_atim;
  later[1] = sb.st_mtim;
  later[1].tv_sec += 5;
  ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), later, 0), 0);
  ASSERT_TRUE(Code(302));
  const std::string t = Trace();
  // Node 1's block: byte address 16 (0x10, sent doubled is the link's
  // business: the trace shows the data), 10 bytes.
  EXPECT_NE(t.find("tx read node 1 TNS "), std::string::npos) << t;
  EXPECT_NE(t.find("(9 bytes): 01 00 01 00 "), std::string::npos) << t;
  EXPECT_NE(t.find(" 10 00 0a\n"), std::string::npos) << t;
  EXPECT_NE(t.find("rx reply node 2 TNS "), std::string::npos) << t;  // the replying node
  EXPECT_NE(t.find("time-out: no ACK within"), std::string::npos) << t;
  EXPECT_NE(t.find("rx NAK\n"), std::string::npos) << t;
  EXPECT_NE(t.find("rx ACK\n"), std::string::npos) << t;
  EXPECT_NE(t.find("tx ACK\n"), std::string::npos) << t;
  EXPECT_NE(t.find("rx ENQ, tx ACK (repeated)"), std::string::npos) << t;
  EXPECT_NE(t.find("retry 1 of block 1"), std::string::npos) << t;
  EXPECT_NE(t.find("retry 2 of block 2"), std::string::npos) << t;
  EXPECT_NE(t.find("block 2 failed after 3 attempts"), std::string::npos) << t;
  EXPECT_NE(t.find("receive failed: code 9 (Received Bad Symbol)"), std::string::npos) << t;
  EXPECT_NE(t.find("status text: QA9: Received Bad Symbol\n"), std::string::npos) << t;
  EXPECT_NE(t.find("reload device configuration: scan rate 500 ms, port COM1"), std::string::npos) << t;
  EXPECT_NE(t.find("reload ai: 16 channels from ai\n"), std::string::npos) << t;
  EXPECT_NE(t.find("status text cleared"), std::string::npos) << t;

  // Off again: the next scans add nothing.
  TraceOff();
  ASSERT_TRUE(Scan());
  const size_t size = Trace().size();
  plc_.SetFault(2, df1sim::Fault::kNak, 3);
  ASSERT_TRUE(Scan());
  EXPECT_EQ(Trace().size(), size);
}

}  // namespace
}  // namespace qdtest
