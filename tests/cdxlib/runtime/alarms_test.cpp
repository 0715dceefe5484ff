// Alarm messages, mailslot delivery and logger trigger bookkeeping, against
// the central server stand-in: its alarm process, derived-value processor
// and loggers read real mailslots in this process's instance.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "alarm_sim.h"
#include "cdxlib/runtime/alarms.h"
#include "cdxlib/shm/datamodule.h"
#include "cdxlib/shm/drvtables.h"
#include "cdxlib/shm/signals.h"
#include "platform/error.h"
#include "platform/mailslot.h"
#include "platform/sync.h"
#include "support/child.h"

using almtest::Bits;
using almtest::Drain;
using almtest::Since;
using almtest::U16;
using almtest::U32;
using cdxsim::AlarmBytes;

namespace {

constexpr const char* kSystem = R"(
driver name=ALARM prefix=AL
driver name=DERIVED prefix=DV
module prefix=QA channels=16
logger name=LOG1 triggers=QA:1,QA:3
logger name=LOG2 triggers=QA:3,QA:9
logger name=LOG3 enabled=0 triggers=QA:1
)";

class AlarmsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim_ = almtest::MakeSim(kSystem);
    ASSERT_TRUE(sim_);
    Alm_ResetProcessState();
    // Channel 3 is an event channel.
    DataModuleHeader* ev = Drv_OpenEventModule("QA");
    ASSERT_NE(ev, nullptr);
    ASSERT_EQ(Drv_EventBitSet(ev, Drv_EventRowLength(16), 0, 2, true), 0);
  }
  void TearDown() override { Alm_ResetProcessState(); }

  int Attach() { return Alm_Attach(Drv_GetData("QA")); }

  std::unique_ptr<cdxsim::Sim> sim_;
};

// A message as the layout table has it, built field by field.
struct Expected {
  std::array<uint8_t, 296> b{};
  Expected& Put(size_t at, const void* p, size_t n) {
    std::memcpy(b.data() + at, p, n);
    return *this;
  }
  Expected& Prefix(const char* p) { return Put(0, p, 2); }
  Expected& Channel(uint16_t v) { return Put(2, &v, 2); }
  Expected& Arg(uint16_t v) { return Put(4, &v, 2); }
  Expected& Flags(uint32_t v) { return Put(8, &v, 4); }
  Expected& Value(uint32_t bits) { return Put(12, &bits, 4); }
  Expected& Computer(const char* s) { return Put(16, s, strlen(s)); }
  Expected& User(const char* s) { return Put(32, s, strlen(s)); }
  Expected& Text(const std::string& s) { return Put(65, s.data(), s.size()); }
  Expected& Marked() {
    uint32_t one = 1;
    return Put(292, &one, 4);
  }
};

std::string Diff(const AlarmBytes& got, const std::array<uint8_t, 296>& want) {
  std::string out;
  for (size_t i = 0; i < 296; ++i) {
    if (got[i] != want[i]) {
      out += " @" + std::to_string(i) + " got " + std::to_string(got[i]) + " want " + std::to_string(want[i]);
      if (out.size() > 300) break;
    }
  }
  return out;
}

TEST_F(AlarmsTest, EveryMessageKindHasTheRecordLayout) {
  const float v = 12.5f;
  const std::string longComputer = "COMPUTER-NAME-OF-20C";   // 20: cut to 15
  const std::string longUser(40, 'u');                      // cut to 32
  const std::string longText(300, 't');                     // cut to 226
  struct Case {
    const char* what;
    std::function<int()> send;
    Expected want;
  };
  const uint32_t noValue = 0x7FFFFFFF;
  std::vector<Case> cases = {
      {"alarm raised, bad value, high side, drive common, priority 200, delay 7",
       [&] { return Alm_SendAlarmMsg(4, 0x800 | 0x004 | 0x080 | 0x020, 1, 200, 7, "PC1", "alice", &v); },
       Expected().Prefix("QA").Channel(0x8005).Arg(7).Flags(0 | 8 | 16 | 32 | (200u << 7)).Value(Bits(v))
           .Computer("PC1").User("alice")},
      {"alarm raised without a value",
       [&] { return Alm_SendAlarmMsg(0, 0x800, 0, 5, 0, "PC1", "alice", nullptr); },
       Expected().Prefix("QA").Channel(1).Flags(5u << 7).Value(noValue).Computer("PC1").User("alice")},
      {"priority keeps to its 8 bits",
       [&] { return Alm_SendAlarmMsg(0, 0x800, 0, 0x1FF, 0, nullptr, nullptr, nullptr); },
       Expected().Prefix("QA").Channel(1).Flags(0xFFu << 7).Value(noValue)},
      {"alarm cleared: no drive common, no priority, no delay",
       [&] { return Alm_SendAlarmClearMsg(15, 0x800 | 0x004 | 0x020, "PC1", "alice", &v); },
       Expected().Prefix("QA").Channel(0x8010).Flags(1 | 16).Value(Bits(v)).Computer("PC1").User("alice")},
      {"high warning, priority 3, status 0x080 clear",
       [&] { return Alm_SendWarningMsg(1, 0x600, 3, "PC1", "bob", &v); },
       Expected().Prefix("QA").Channel(2).Flags(404).Value(Bits(v)).Computer("PC1").User("bob")},
      {"warning: the bad bit does not mark the channel",
       [&] { return Alm_SendWarningMsg(1, 0x400 | 0x020 | 0x080, 9, nullptr, nullptr, nullptr); },
       Expected().Prefix("QA").Channel(2).Flags(4 | 8 | (9u << 7)).Value(noValue)},
      {"warning cleared",
       [&] { return Alm_SendWarningClearMsg(2, 0x600 | 0x080, "PC1", "bob", nullptr); },
       Expected().Prefix("QA").Channel(3).Flags(5 | 8 | 16).Value(noValue).Computer("PC1").User("bob")},
      {"text message, names and text cut to their fields",
       [&] { return Alm_SendTextMsg("XY", 4321, longComputer.c_str(), longUser.c_str(), longText.c_str()); },
       Expected().Prefix("XY").Channel(4321).Flags(2).Value(noValue).Computer(longComputer.substr(0, 15).c_str())
           .User(std::string(32, 'u').c_str()).Text(std::string(226, 't'))},
      {"operator message",
       [&] { return Alm_SendOperatorMsg("PC2", "carol"); },
       Expected().Prefix("  ").Flags(3).Value(noValue).Computer("PC2").User("carol")},
      {"kind 6", [&] { return Alm_SendKind6Msg("K6", 66, "PC2", "dave"); },
       Expected().Prefix("K6").Channel(66).Flags(6).Value(noValue).Computer("PC2").User("dave")},
      {"kind 7", [&] { return Alm_SendKind7Msg("K7", 77, "PC2", "dave"); },
       Expected().Prefix("K7").Channel(77).Flags(7).Value(noValue).Computer("PC2").User("dave")},
      {"marked alarm: the caller's number unchanged, only bit 3 from the status",
       [&] { return Alm_SendMarkedAlarmMsg(0x9234, 0x800 | 0x080 | 0x004 | 0x020, "PC3", "erin", &v); },
       Expected().Prefix("QA").Channel(0x9234).Flags(8).Value(Bits(v)).Computer("PC3").User("erin").Marked()},
  };
  size_t from = Drain(*sim_).size();
  ASSERT_EQ(Attach(), 0);
  for (auto& c : cases) ASSERT_EQ(c.send(), 0) << c.what;
  Alm_FlushLoggerTriggers();  // the messages go out at its unlock
  std::vector<AlarmBytes> got = Since(*sim_, from);
  // Operator messages are the fences of Drain: the one of the table is the
  // only one not from "FENCE", and Since() keeps it.
  ASSERT_EQ(got.size(), cases.size());
  for (size_t i = 0; i < cases.size(); ++i) {
    EXPECT_TRUE(std::equal(got[i].begin(), got[i].end(), cases[i].want.b.begin()))
        << cases[i].what << ":" << Diff(got[i], cases[i].want.b);
  }
}

TEST_F(AlarmsTest, AlarmSendersNeedAnAttachedDriverAndAChannelInRange) {
  EXPECT_EQ(Alm_SendAlarmMsg(0, 0x800, 0, 1, 0, nullptr, nullptr, nullptr), -1);
  EXPECT_EQ(Alm_SendMarkedAlarmMsg(1, 0, nullptr, nullptr, nullptr), -1);
  EXPECT_EQ(Alm_CountTriggerUp(0), -1);
  EXPECT_EQ(Alm_FlushLoggerTriggers(), -1);
  ASSERT_EQ(Attach(), 0);
  for (int bad : {-1, 16, 40000}) {
    EXPECT_EQ(Alm_SendAlarmMsg(bad, 0x800, 0, 1, 0, nullptr, nullptr, nullptr), -1) << bad;
    EXPECT_EQ(errno, 87);
    EXPECT_EQ(Alm_SendAlarmClearMsg(bad, 0, nullptr, nullptr, nullptr), -1) << bad;
    EXPECT_EQ(Alm_SendWarningMsg(bad, 0, 1, nullptr, nullptr, nullptr), -1) << bad;
    EXPECT_EQ(Alm_SendWarningClearMsg(bad, 0, nullptr, nullptr, nullptr), -1) << bad;
    EXPECT_EQ(Alm_CountTriggerUp(bad), -1) << bad;
    EXPECT_EQ(Alm_CountTriggerDown(bad), -1) << bad;
    EXPECT_EQ(Alm_CountTriggerForced(bad), -1) << bad;
  }
  EXPECT_EQ(Alm_SendAlarmMsg(15, 0x800, 0, 1, 0, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(Alm_FlushLoggerTriggers(), 0);
  EXPECT_FALSE(Alm_IsAttached());
}

TEST_F(AlarmsTest, LocalSendersCarryThisMachinesNamesAndNoValue) {
  size_t from = Drain(*sim_).size();
  ASSERT_EQ(Attach(), 0);
  ASSERT_EQ(Alm_SendAlarmMsgLocal(2, 0x800, 1, 7, 30), 0);
  ASSERT_EQ(Alm_SendAlarmMsgLocalNoDelay(2, 0x800, 0, 7), 0);
  ASSERT_EQ(Alm_SendWarningClearMsgLocal(2, 0x400), 0);
  Alm_FlushLoggerTriggers();
  std::vector<AlarmBytes> got = Since(*sim_, from);
  ASSERT_EQ(got.size(), 3u);
  AlmLocalNames names;
  EXPECT_GT(strlen(names.computer), 0u);
  EXPECT_GT(strlen(names.user), 0u);
  for (const auto& a : got) {
    EXPECT_EQ(U32(a, 12), kAlmNoValueBits);
    EXPECT_STREQ(reinterpret_cast<const char*>(a.data() + 16), names.computer);
    EXPECT_STREQ(reinterpret_cast<const char*>(a.data() + 32), names.user);
  }
  EXPECT_EQ(U16(got[0], 4), 30);
  EXPECT_EQ(U16(got[1], 4), 0);
}

TEST_F(AlarmsTest, NothingIsSentWhenTheAlarmProcessIsNotConfigured) {
  DriverRecord* alarm = Drv_FindDriver("ALARM");
  ASSERT_NE(alarm, nullptr);
  size_t from = Drain(*sim_).size();
  ASSERT_EQ(Attach(), 0);
  alarm->configured = 0;
  Alm_CloseAlarmMailslot();
  EXPECT_EQ(Alm_SendAlarmMsg(0, 0x800, 0, 1, 0, nullptr, nullptr, nullptr), 0);
  Alm_FlushLoggerTriggers();
  EXPECT_EQ(Alm_OpenAlarmMailslot(), -1);
  alarm->configured = 1;
  EXPECT_EQ(Since(*sim_, from).size(), 0u);
}

// The alarm process starts after the scanner, and later restarts: no alarm
// sent while it runs is lost.
TEST_F(AlarmsTest, SenderStartedBeforeTheAlarmProcessDeliversOnceItAppears) {
  sim_.reset();  // tables stay; the stand-in's readers go
  const float first = 1, second = 2, third = 3;
  // No reader: nothing to send to, and no error for the caller.
  ASSERT_EQ(Attach(), 0);
  EXPECT_EQ(Alm_SendAlarmMsg(0, 0x800, 0, 1, 0, nullptr, nullptr, &first), 0);
  Alm_FlushLoggerTriggers();
  auto reader = plat::MailslotReader::Create("\\\\.\\mailslot\\xalarms", 0);
  ASSERT_TRUE(reader);
  // The next open is tried at most once a second after a failure.
  plat::SleepMs(kAlmReopenIntervalMs + 100);
  ASSERT_EQ(Attach(), 0);
  EXPECT_EQ(Alm_SendAlarmMsg(1, 0x800, 0, 1, 0, nullptr, nullptr, &second), 0);
  Alm_FlushLoggerTriggers();
  AlarmMessage m{};
  ASSERT_EQ(reader->Read(&m, sizeof m, 10000), 296);
  EXPECT_EQ(m.channel, 2);
  EXPECT_EQ(m.valueBits, Bits(second));

  // The alarm process restarts: the kept handle's write fails, and the
  // message goes out on a fresh one.
  reader->Shutdown();
  reader.reset();
  reader = plat::MailslotReader::Create("\\\\.\\mailslot\\xalarms", 0);
  ASSERT_TRUE(reader);
  ASSERT_EQ(Attach(), 0);
  EXPECT_EQ(Alm_SendAlarmMsg(2, 0x800, 0, 1, 0, nullptr, nullptr, &third), 0);
  Alm_FlushLoggerTriggers();
  ASSERT_EQ(reader->Read(&m, sizeof m, 10000), 296);
  EXPECT_EQ(m.channel, 3);
  EXPECT_EQ(m.valueBits, Bits(third));
  EXPECT_EQ(reader->Read(&m, sizeof m, 0), -1);  // nothing else
}

TEST_F(AlarmsTest, ThousandAlarmsOfOneBatchReachASlowReaderComplete) {
  sim_.reset();
  auto reader = plat::MailslotReader::Create("\\\\.\\mailslot\\xalarms", 0);
  ASSERT_TRUE(reader);
  ASSERT_EQ(Attach(), 0);
  constexpr int kCount = 1000;
  for (int i = 0; i < kCount; ++i) {
    const float v = static_cast<float>(i);
    ASSERT_EQ(Alm_SendAlarmMsg(i % 16, 0x800, 0, 1, 0, "PC", "op", &v), 0) << i;
  }
  ASSERT_EQ(Alm_FlushLoggerTriggers(), 0);
  // The reader only now starts, and takes its time.
  for (int i = 0; i < kCount; ++i) {
    AlarmMessage m{};
    ASSERT_EQ(reader->Read(&m, sizeof m, 10000), 296) << "message " << i;
    float v;
    std::memcpy(&v, &m.valueBits, 4);
    ASSERT_EQ(v, static_cast<float>(i));
    ASSERT_EQ(m.channel, i % 16 + 1);
    if (i % 100 == 0) plat::SleepMs(2);
  }
}

// While a module lock is held nothing goes out; at the last unlock the
// messages go in the order they were made, however many, and then the
// batch's derived notice. Without a lock held a message goes out at once.
TEST_F(AlarmsTest, SendsWaitForTheLastUnlockAndKeepTheirOrder) {
  sim_.reset();
  auto alarms = plat::MailslotReader::Create("\\\\.\\mailslot\\xalarms", 0);
  auto derived = plat::MailslotReader::Create("\\\\.\\mailslot\\derived", 0);
  ASSERT_TRUE(alarms && derived);
  DataModule* outer = DM_Create("dm_outer", 16);
  ASSERT_TRUE(DM_IsView(outer));
  ASSERT_EQ(DM_Lock(outer), 0);
  ASSERT_EQ(Attach(), 0);
  const int count = 5000;  // more than any fixed outbox held
  for (int i = 1; i <= count; ++i) {
    const float v = static_cast<float>(i);
    ASSERT_EQ(Alm_SendAlarmMsg(2, 0x800, 0, 1, 0, "PC", "op", &v), 0) << i;  // channel 3: an event channel
  }
  ASSERT_EQ(Alm_FlushLoggerTriggers(), 0);
  EXPECT_EQ(alarms->Pending(), 0u);
  EXPECT_EQ(derived->Pending(), 0u);
  ASSERT_EQ(DM_Unlock(outer), 0);
  for (int i = 1; i <= count; ++i) {
    AlarmMessage m{};
    ASSERT_EQ(alarms->Read(&m, sizeof m, 10000), 296) << i;
    float v;
    std::memcpy(&v, &m.valueBits, 4);
    ASSERT_EQ(v, static_cast<float>(i));
  }
  char prefix[2];
  ASSERT_EQ(derived->Read(prefix, sizeof prefix, 10000), 2);
  EXPECT_EQ(std::string(prefix, 2), "QA");
  // No lock held: the message goes out at once.
  ASSERT_EQ(Alm_SendTextMsg("ZZ", 7, "", "", ""), 0);
  AlarmMessage m{};
  ASSERT_EQ(alarms->Read(&m, sizeof m, 10000), 296);
  EXPECT_EQ(m.channel, 7);
}

// ---- logger triggers ---------------------------------------------------------

std::vector<uint32_t> CodesOf(cdxsim::Sim& sim, int logger) {
  std::vector<uint32_t> out;
  for (const auto& c : sim.LoggerCodes()) {
    if (c.logger == logger) out.push_back(c.code);
  }
  return out;
}

TEST_F(AlarmsTest, TriggersAreCountedPerLoggerAndResetAfterTheFlush) {
  ASSERT_EQ(Attach(), 0);
  // Channel 1: LOG1 (and LOG3, disabled); channel 3: LOG1 and LOG2; 9: LOG2.
  EXPECT_EQ(Alm_CountTriggerUp(0), 0);
  EXPECT_EQ(Alm_CountTriggerUp(2), 0);
  EXPECT_EQ(Alm_CountTriggerUp(2), 0);
  EXPECT_EQ(Alm_CountTriggerUp(8), 0);
  EXPECT_EQ(Alm_CountTriggerDown(8), 0);   // LOG2: 2 + 1 - 1
  EXPECT_EQ(Alm_CountTriggerUp(5), 0);     // no logger's channel
  ASSERT_EQ(Alm_FlushLoggerTriggers(), 0);
  ASSERT_TRUE(sim_->WaitLoggerCodes(2, 10000));

  // Second batch: LOG1 forced once and counted 3 times; LOG2 up and down (0)
  // and nothing forced: no code.
  ASSERT_EQ(Attach(), 0);
  for (int i = 0; i < 3; ++i) Alm_CountTriggerUp(0);
  Alm_CountTriggerForced(0);
  Alm_CountTriggerUp(8);
  Alm_CountTriggerDown(8);
  ASSERT_EQ(Alm_FlushLoggerTriggers(), 0);
  ASSERT_TRUE(sim_->WaitLoggerCodes(3, 10000));

  // Third batch: LOG2 only forced (count 0), LOG1 down once.
  ASSERT_EQ(Attach(), 0);
  Alm_CountTriggerForced(8);
  Alm_CountTriggerDown(0);
  ASSERT_EQ(Alm_FlushLoggerTriggers(), 0);
  ASSERT_TRUE(sim_->WaitLoggerCodes(5, 10000));
  plat::SleepMs(50);  // room for a stray code to show

  EXPECT_EQ(CodesOf(*sim_, 1), (std::vector<uint32_t>{200003, 0x80000000u + 200003, 200000u - 1}));
  EXPECT_EQ(CodesOf(*sim_, 2), (std::vector<uint32_t>{200002, 0x80000000u + 200000}));
  EXPECT_TRUE(CodesOf(*sim_, 3).empty());  // disabled: nothing, and its counts reset
}

TEST_F(AlarmsTest, LoggersWithoutAProcessGetNoCode) {
  // pid 0 would be the central server's own mailslot "dm_0.slt" on a real
  // system: nothing may go there.
  auto zero = plat::MailslotReader::Create("\\\\.\\mailslot\\dm_0.slt", 4);
  ASSERT_TRUE(zero);
  LoggerRecord* log1 = Drv_GetLogger(1);
  LoggerRecord* log2 = Drv_GetLogger(2);
  ASSERT_TRUE(log1 && log2);
  log1->pid = 0;
  log2->pid = -5;
  ASSERT_EQ(Attach(), 0);
  Alm_CountTriggerUp(2);
  ASSERT_EQ(Alm_FlushLoggerTriggers(), 0);
  uint32_t code;
  EXPECT_EQ(zero->Read(&code, sizeof code, 200), -1);
  EXPECT_TRUE(sim_->LoggerCodes().empty());
}

TEST_F(AlarmsTest, DerivedReceivesThePrefixOncePerBatchWithHits) {
  // Batch with three hits on event channel 3 (alarm, clear, trigger).
  ASSERT_EQ(Attach(), 0);
  Alm_SendAlarmMsg(2, 0x800, 0, 1, 0, nullptr, nullptr, nullptr);
  Alm_SendAlarmClearMsg(2, 0x800, nullptr, nullptr, nullptr);
  Alm_CountTriggerUp(2);
  EXPECT_EQ(Alm_IsEventChannel(2), 1);
  EXPECT_EQ(Alm_IsEventChannel(3), 0);
  ASSERT_EQ(Alm_FlushLoggerTriggers(), 0);
  // Batch without hits: forced triggers and warnings do not count.
  ASSERT_EQ(Attach(), 0);
  Alm_CountTriggerForced(2);
  Alm_SendWarningMsg(2, 0x400, 1, nullptr, nullptr, nullptr);
  Alm_SendAlarmMsg(4, 0x800, 0, 1, 0, nullptr, nullptr, nullptr);  // not an event channel
  ASSERT_EQ(Alm_FlushLoggerTriggers(), 0);
  // Another batch with a hit.
  ASSERT_EQ(Attach(), 0);
  Alm_CountTriggerDown(2);
  ASSERT_EQ(Alm_FlushLoggerTriggers(), 0);
  ASSERT_TRUE(sim_->WaitDerived(2, 10000));
  plat::SleepMs(50);
  EXPECT_EQ(sim_->DerivedNotices(), (std::vector<std::string>{"QA", "QA"}));
}

TEST_F(AlarmsTest, DerivedStartingLateGetsLaterBatches) {
  // "derived" without a reader: the flush stays quick and quiet.
  sim_.reset();
  ASSERT_EQ(Attach(), 0);
  Alm_CountTriggerUp(2);
  const int64_t t0 = plat::MonotonicMs();
  ASSERT_EQ(Alm_FlushLoggerTriggers(), 0);
  EXPECT_LT(plat::MonotonicMs() - t0, 10000);  // no hang (it takes no waits at all)
  auto reader = plat::MailslotReader::Create("\\\\.\\mailslot\\derived", 0);
  ASSERT_TRUE(reader);
  plat::SleepMs(kAlmReopenIntervalMs + 100);
  ASSERT_EQ(Attach(), 0);
  Alm_CountTriggerUp(2);
  ASSERT_EQ(Alm_FlushLoggerTriggers(), 0);
  char got[8] = {};
  ASSERT_EQ(reader->Read(got, sizeof got, 10000), 2);
  EXPECT_EQ(std::string(got, 2), "QA");
}

TEST_F(AlarmsTest, AttachCannotBeNestedAndTheFlushReleasesTheEventModule) {
  ASSERT_EQ(Attach(), 0);
  EXPECT_EQ(Attach(), -1);
  EXPECT_EQ(errno, 170);
  EXPECT_TRUE(Alm_IsAttached());
  ASSERT_EQ(Alm_FlushLoggerTriggers(), 0);
  EXPECT_EQ(Alm_FlushLoggerTriggers(), -1);
  // Another process can now take the event module's lock: no lock leaked.
  pid_t child = testsupport::ForkChild([] {
    DataModuleHeader* ev = DM_Open("dm_QA_event");
    if (ev == nullptr || ev == reinterpret_cast<DataModuleHeader*>(-1)) return 2;
    if (DM_Lock(ev) != 0) return 3;
    DM_Unlock(ev);
    return 0;
  });
  EXPECT_EQ(testsupport::WaitChild(child, 10000), 0);
}

TEST_F(AlarmsTest, AttachHoldsTheEventModuleAgainstOtherProcesses) {
  ASSERT_EQ(Attach(), 0);
  // Another process's batch on the same driver (its attach takes this
  // lock) waits until this batch is flushed.
  auto lockEvents = [] {
    DataModuleHeader* ev = DM_Open("dm_QA_event");
    if (ev == nullptr || ev == reinterpret_cast<DataModuleHeader*>(-1)) return 2;
    if (DM_Lock(ev) != 0) return 3;
    DM_Unlock(ev);
    return 0;
  };
  pid_t child = testsupport::ForkChild(lockEvents);
  EXPECT_EQ(testsupport::WaitChild(child, 300), -1);  // still waiting (then killed)
  ASSERT_EQ(Alm_FlushLoggerTriggers(), 0);
  child = testsupport::ForkChild(lockEvents);
  EXPECT_EQ(testsupport::WaitChild(child, 10000), 0);
}

TEST_F(AlarmsTest, AttachWithoutAnEventModuleFails) {
  uint8_t data[20] = {'Z', 'Z', 8, 0, 4, 0};
  EXPECT_EQ(Alm_Attach(data), -1);
  EXPECT_FALSE(Alm_IsAttached());
  EXPECT_EQ(Alm_Attach(nullptr), -1);
  EXPECT_EQ(Attach(), 0);
  Alm_FlushLoggerTriggers();
}

}  // namespace
