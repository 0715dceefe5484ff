// qd_poll end to end with an alarm process that stops reading: the scan's
// alarm messages wait for the reader, the values module does not.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <fstream>
#include <functional>
#include <thread>

#include "cdxlib/shm/datamodule.h"
#include "cdxlib/shm/signals.h"
#include "scanner/qd_fixture.h"

namespace qdtest {
namespace {

using testsupport::ProcessState;
using testsupport::WaitUntil;

// The alarm mailslot is read by a program of its own (`cdxipc listen`),
// which the test can stop.
class StalledAlarmReader : public Installation {
 protected:
  std::string Description() override {
    std::string d = kDescription;
    d.replace(d.find("name=ALARM prefix=AL"), 20, "name=ALARM prefix=AL listen=0");
    return d;
  }
  void TearDown() override {
    if (reader_ > 0) ::kill(reader_, SIGCONT);
    Installation::TearDown();
  }

  // Every analog channel's words, below (100) or above (900) the limits.
  void SetAnalogWords(int v) {
    for (int w : {10, 11, 12, 14}) plc_.SetWord(1, ByteAddress(w), Bcd(v));
    for (int w : {20, 21, 22, 23}) plc_.SetWord(2, ByteAddress(w), Bcd(v));
  }

  pid_t reader_ = -1;
};

TEST_F(StalledAlarmReader, DoesNotHoldTheValuesModule) {
  // Every analog channel raises a high warning and a high alarm at once:
  // more messages than the stopped reader's mailslot queue takes.
  int analog = 0;
  for (ChannelConfig& c : channels_) {
    if (Chan_IsDigital(c.Type) || !Chan_TestFlag(c, kAiEnable)) continue;
    ++analog;
    Chan_SetFlag(&c, kAiHighAlarmEnable, true);
    Chan_SetFlag(&c, kAiHighAlarmDeadbandEnable, false);
    Chan_SetFlag(&c, kAiHighWarningEnable, true);
    c.analog.HighAlarmLimit = 500;
    c.analog.HighWarningLimit = 400;
  }
  ASSERT_GE(analog, 8);
  WriteChannels();
  SetAnalogWords(100);

  reader_ = sim_->StartProgram({testsupport::BinPath("cdxipc"), "listen", "xalarms"});
  ASSERT_GT(reader_, 0);
  ASSERT_TRUE(WaitUntil(
      [] {
        SigMailslot h = Sig_OpenMailslot("xalarms");
        if (h == kSigNoMailslot) return false;
        Sig_CloseMailslot(h);
        return true;
      },
      20000));
  ASSERT_GT(Start(), 0);
  ASSERT_TRUE(WaitReady());
  ASSERT_TRUE(Scan());

  ASSERT_EQ(::kill(reader_, SIGSTOP), 0);
  ASSERT_TRUE(WaitUntil([&] { return ProcessState(reader_) == 'T'; }, 20000));
  SetAnalogWords(900);
  // The scan publishes and notifies although its messages cannot go out.
  ASSERT_TRUE(Code(300, 15000));
  EXPECT_EQ(Status(2) & 0xE00u, 0xE00u);  // LEVEL1: alarm and high warning

  // Another process takes the values module's lock while the scanner still
  // waits on the stopped reader.
  DataModule* values = DM_Open("dm_QA");
  ASSERT_TRUE(DM_IsView(values));
  std::atomic<bool> locked{false};
  std::thread taker([&] {
    DM_Lock(values);
    locked = true;
    DM_Unlock(values);
  });
  const bool gotIt = WaitUntil([&] { return locked.load(); }, 15000);
  EXPECT_EQ(ProcessState(reader_), 'T');
  ::kill(reader_, SIGCONT);
  taker.join();
  EXPECT_TRUE(gotIt) << "the values module was held while the alarm reader was stopped";

  // Once the reader drains again, the scanner goes on scanning.
  SetAnalogWords(100);
  ASSERT_TRUE(Code(300, 60000));
  EXPECT_EQ(Status(2) & 0xC00u, 0u);
}

}  // namespace
}  // namespace qdtest
