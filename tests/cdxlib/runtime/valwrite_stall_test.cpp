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

// Each other receiver of a value write's sends stopped in turn: a logger
// (trigger codes), the derived-value process (its notice), the module's
// owner (code 305). Forty writes end while it is stopped, and another
// process takes the values module's lock meanwhile.
TEST(StalledReceivers, NoneHoldsTheWritesOrTheValuesModule) {
  auto sim = almtest::MakeSim(
      "driver name=ALARM prefix=AL listen=0\n"
      "driver name=DERIVED prefix=DV listen=0\n"
      "driver name=PLC prefix=PX type=2\n"
      "module prefix=QA channels=8\n"
      "module prefix=PX channels=8\n"
      "logger name=LOG1 triggers=QA:1,QA:2\n");
  ASSERT_TRUE(sim);
  Alm_ResetProcessState();
  for (const char* prefix : {"QA", "PX"}) {
    for (int ch = 1; ch <= 8; ++ch) {
      auto* c = reinterpret_cast<ChannelConfig*>(Drv_GetConfData(prefix) + kDrvChannelConfigSize * (ch - 1));
      std::memset(c, 0, sizeof *c);
      c->Type = kKindAO;
      const uint32_t flags = 0x1 | 0x2;  // enabled, event
      std::memcpy(c->Flags, &flags, 4);
      c->analog.HighEventLimit = 50;
      c->analog.LowEventLimit = -1000;  // 0 lies between: the event clears
    }
  }
  DataModuleHeader* events = Drv_OpenEventModule("QA");
  ASSERT_NE(events, nullptr);
  for (int i = 0; i < 8; ++i) Drv_EventBitSet(events, Drv_EventRowLength(8), 0, i, true);  // derived channels
  const pid_t derived = sim->StartProgram({testsupport::BinPath("cdxipc"), "listen", "derived"});
  const pid_t peer =
      sim->StartProgram({testsupport::BinPath("ipcpeer"), "subscribe", "dm_QA", "4242", "600000"});
  ASSERT_GT(derived, 0);
  ASSERT_GT(peer, 0);
  auto there = [](const std::string& name) {
    return WaitUntil(
        [&] {
          SigMailslot h = Sig_OpenMailslot(name.c_str());
          if (h == kSigNoMailslot) return false;
          Sig_CloseMailslot(h);
          return true;
        },
        20000);
  };
  ASSERT_TRUE(there("derived"));
  ASSERT_TRUE(there(Sig_MailslotName(peer)));
  Drv_GetLogger(1)->pid = peer;
  Drv_FindDriver("PLC")->pid = peer;
  struct Case {
    const char* what;
    pid_t receiver;
    const char* prefix;
  } cases[] = {{"logger", peer, "QA"}, {"derived-value process", derived, "QA"}, {"module owner", peer, "PX"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(::kill(c.receiver, SIGSTOP), 0);
    ASSERT_TRUE(WaitUntil([&] { return ProcessState(c.receiver) == 'T'; }, 20000));
    std::atomic<bool> done{false};
    std::atomic<int> failed{0};
    std::thread writer([&] {
      for (int i = 0; i < 40; ++i) {
        const float v = i % 2 ? 0.0f : 150.0f;
        const std::vector<float> values(8, v);
        if (Val_WriteAnalogEx(0, 1, c.prefix, 1, 8, values.data(), "OPS-PC", "mallory") != 0) ++failed;
      }
      done = true;
    });
    const bool ended = WaitUntil([&] { return done.load(); }, 30000);
    pid_t taker = testsupport::ForkChild([&] {
      DataModule* m = DM_Open(std::string("dm_").append(c.prefix).c_str());
      return DM_IsView(m) && DM_Lock(m) == 0 && DM_Unlock(m) == 0 ? 0 : 1;
    });
    const int took = testsupport::WaitChild(taker, 15000);
    EXPECT_EQ(ProcessState(c.receiver), 'T');
    // More was sent to it than its mailslot's socket holds: the rest waits here.
    EXPECT_GT(plat::QueuedMailslotMessages(), 0u);
    ::kill(c.receiver, SIGCONT);
    writer.join();
    EXPECT_TRUE(ended) << "the writes waited on the stopped receiver";
    EXPECT_EQ(took, 0) << "the values module was held while the receiver was stopped";
    EXPECT_EQ(failed.load(), 0);
    EXPECT_TRUE(plat::FlushMailslots(20000));
  }
  Alm_ResetProcessState();
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
