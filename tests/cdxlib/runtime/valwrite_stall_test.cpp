// Value writes with an alarm process that stops reading: neither the write
// nor the values module waits for the reader; the messages wait in the
// writer's sending queue.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "alarm_sim.h"
#include "cdxlib/records/chanconfig.h"
#include "cdxlib/runtime/alarms.h"
#include "cdxlib/runtime/valwrite.h"
#include "cdxlib/shm/datamodule.h"
#include "cdxlib/shm/drvtables.h"
#include "cdxlib/shm/signals.h"
#include "platform/mailslot.h"
#include "platform/sync.h"
#include "support/child.h"

namespace {

// The alarm mailslot is left to a reader of its own (`cdxipc listen`),
// which the test can stop.
constexpr const char* kSystem = R"(
driver name=ALARM prefix=AL listen=0
module prefix=QA channels=32
)";
constexpr int kChannels = 32;

// Analog flag word bits: enabled, high alarm, high warning.
constexpr uint32_t kFlags = 0x1 | 0x4 | 0x800;

using testsupport::ProcessState;
using testsupport::WaitUntil;

class StalledAlarmReader : public ::testing::Test {
 protected:
  void SetUp() override {
    sim_ = almtest::MakeSim(kSystem);
    ASSERT_TRUE(sim_);
    Alm_ResetProcessState();
    for (int ch = 1; ch <= kChannels; ++ch) {
      auto* c = reinterpret_cast<ChannelConfig*>(Drv_GetConfData("QA") + kDrvChannelConfigSize * (ch - 1));
      std::memset(c, 0, sizeof *c);
      c->Type = kKindAO;
      std::memcpy(c->Flags, &kFlags, 4);
      c->analog.HighAlarmLimit = 100;
      c->analog.HighWarningLimit = 80;
    }
  }
  void TearDown() override {
    if (reader_ > 0) ::kill(reader_, SIGCONT);
    if (writer_.joinable()) writer_.join();
    Alm_ResetProcessState();
  }

  std::unique_ptr<cdxsim::Sim> sim_;
  pid_t reader_ = -1;
  std::thread writer_;
};

TEST_F(StalledAlarmReader, DoesNotHoldTheValuesModule) {
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
  ASSERT_EQ(::kill(reader_, SIGSTOP), 0);
  ASSERT_TRUE(WaitUntil([&] { return ProcessState(reader_) == 'T'; }, 20000));

  // Every channel raises a high warning and a high alarm at once: more
  // messages than the stopped reader's mailslot queue takes.
  const std::vector<float> values(kChannels, 150);
  std::atomic<int> rc{-2};
  writer_ = std::thread([&] {
    rc = Val_WriteAnalogEx(0, 1, "QA", 1, kChannels, values.data(), "OPS-PC", "mallory");
  });
  // The write ends while the reader is still stopped.
  writer_.join();
  EXPECT_EQ(rc.load(), 0);
  EXPECT_GT(plat::QueuedMailslotMessages(), 0u);

  // Another process takes the values module's lock while the reader is
  // still stopped.
  pid_t taker = testsupport::ForkChild([] {
    DataModule* m = DM_Open("dm_QA");
    return DM_IsView(m) && DM_Lock(m) == 0 && DM_Unlock(m) == 0 ? 0 : 1;
  });
  ASSERT_GT(taker, 0);
  const int took = testsupport::WaitChild(taker, 15000);
  EXPECT_EQ(ProcessState(reader_), 'T');
  ::kill(reader_, SIGCONT);
  EXPECT_EQ(took, 0) << "the values module was held while the alarm reader was stopped";
  EXPECT_TRUE(plat::FlushMailslots(20000));
  for (int ch = 1; ch <= kChannels; ++ch) {
    EXPECT_EQ(Drv_GetValueWords("QA")[ch - 1] & (kValAlarm | kValWarning), kValAlarm | kValWarning) << ch;
  }
}

// A write over 5,000 channels: every alarm message goes out after the
// unlock, all of them, in the order the write made them (channel by
// channel, the warning before the alarm).
TEST(LargeValueWrite, AlarmMessagesArriveCompleteAndInOrder) {
  constexpr int kMany = 5000;
  auto sim = almtest::MakeSim("driver name=ALARM prefix=AL listen=0\nmodule prefix=QB channels=5000\n");
  ASSERT_TRUE(sim);
  Alm_ResetProcessState();
  for (int ch = 1; ch <= kMany; ++ch) {
    auto* c = reinterpret_cast<ChannelConfig*>(Drv_GetConfData("QB") + kDrvChannelConfigSize * (ch - 1));
    std::memset(c, 0, sizeof *c);
    c->Type = kKindAO;
    std::memcpy(c->Flags, &kFlags, 4);
    c->analog.HighAlarmLimit = 100;
    c->analog.HighWarningLimit = 80;
  }
  auto reader = plat::MailslotReader::Create("\\\\.\\mailslot\\xalarms", 0);
  ASSERT_TRUE(reader);
  const std::vector<float> values(kMany, 150);
  ASSERT_EQ(Val_WriteAnalogEx(0, 1, "QB", 1, kMany, values.data(), "OPS-PC", "mallory"), 0);
  int last = 0;
  int count = 0;
  for (;;) {
    AlarmMessage m{};
    int n = reader->Read(&m, sizeof m, count < 2 * kMany ? 20000 : 300);
    if (n < 0) break;
    ASSERT_EQ(n, static_cast<int>(sizeof m));
    const int channel = m.channel & 0x7FFF;
    ASSERT_GE(channel, last) << "message " << count << " out of order";
    last = channel;
    ++count;
  }
  EXPECT_EQ(count, 2 * kMany);  // a warning and an alarm per channel
  EXPECT_EQ(last, kMany);
  reader->Shutdown();
  Alm_ResetProcessState();
}

}  // namespace
