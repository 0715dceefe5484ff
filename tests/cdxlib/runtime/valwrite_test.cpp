// Value writes into real data modules made by the central server stand-in,
// with the alarm process and a logger reading their mailslots.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "alarm_sim.h"
#include "cdxlib/runtime/alarms.h"
#include "cdxlib/records/chanconfig.h"
#include "cdxlib/shm/datamodule.h"
#include "cdxlib/shm/drvtables.h"
#include "cdxlib/runtime/valwrite.h"
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

constexpr int32_t kPlcPid = 0x40000100;  // the owner of "PX" (no real process)

constexpr const char* kSystem = R"(
driver name=ALARM prefix=AL
driver name=PLC prefix=PX type=2 pid=1073742080
driver name=RECS prefix=RV type=0 valrec=1
module prefix=QA channels=8
module prefix=PX channels=8
module prefix=RV channels=8 records=1
module prefix=WK channels=8 kind=4
logger name=LOG1 triggers=QA:1,QA:5
)";

// Digital flag word bits.
constexpr uint32_t dE = 0x1, dADC = 0x2, dEvE = 0x4, dAE = 0x8, dES = 0x10, dAS = 0x20;
// Analog flag word bits.
constexpr uint32_t aE = 0x1, aEvE = 0x2, aHAE = 0x4, aHADE = 0x8, aHADC = 0x10, aLAE = 0x20, aLADE = 0x40,
                   aSCE = 0x100, aHWE = 0x800, aLWE = 0x1000;

ChannelConfig* Conf(const char* prefix, int n) {
  return reinterpret_cast<ChannelConfig*>(Drv_GetConfData(prefix) + kDrvChannelConfigSize * (n - 1));
}
uint32_t& Word(const char* prefix, int n) { return Drv_GetValueWords(prefix)[n - 1]; }
float& Value(const char* prefix, int n) {
  const uint8_t* data = Drv_GetData(prefix);
  uint16_t count;
  std::memcpy(&count, data + 4, 2);
  return reinterpret_cast<float*>(Drv_GetValueWords(prefix) + count)[n - 1];
}

void SetFlags(ChannelConfig* c, uint32_t flags) { std::memcpy(c->Flags, &flags, 4); }

void Digital(const char* prefix, int n, uint32_t flags, int priority = 0, int delay = 0) {
  ChannelConfig* c = Conf(prefix, n);
  std::memset(c, 0, sizeof *c);
  c->Type = kKindDO;
  SetFlags(c, flags);
  c->digital.AlarmPriority = static_cast<uint8_t>(priority);
  c->digital.AlarmDelay = static_cast<uint16_t>(delay);
}

struct Limits {
  float hal = 100, had = 95, lal = 10, lad = 15, hwl = 80, lwl = 20, hel = 50, lel = 10, sig = 0;
  int hPrio = 3, lPrio = 4, hDelay = 0, lDelay = 0;
};

void Analog(const char* prefix, int n, uint32_t flags, const Limits& l = Limits()) {
  ChannelConfig* c = Conf(prefix, n);
  std::memset(c, 0, sizeof *c);
  c->Type = kKindAO;
  SetFlags(c, flags);
  AnalogChannelPart& a = c->analog;
  a.HighAlarmLimit = l.hal;
  a.HighAlarmDeadband = l.had;
  a.LowAlarmLimit = l.lal;
  a.LowAlarmDeadband = l.lad;
  a.HighWarningLimit = l.hwl;
  a.LowWarningLimit = l.lwl;
  a.HighEventLimit = l.hel;
  a.LowEventLimit = l.lel;
  a.SigChangeValue = l.sig;
  a.HighAlarmPriority = static_cast<uint8_t>(l.hPrio);
  a.LowAlarmPriority = static_cast<uint8_t>(l.lPrio);
  a.HighAlarmDelay = static_cast<uint16_t>(l.hDelay);
  a.LowAlarmDelay = static_cast<uint16_t>(l.lDelay);
}

class ValWriteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim_ = almtest::MakeSim(kSystem);
    ASSERT_TRUE(sim_);
    Alm_ResetProcessState();
  }
  void TearDown() override { Alm_ResetProcessState(); }

  int WriteD(int ch, uint32_t state, bool force = false) {
    return Val_WriteDigitalEx(force, 1, "QA", ch, ch, &state, "OPS-PC", "mallory");
  }
  int WriteA(int ch, float v, bool force = false) {
    return Val_WriteAnalogEx(force, 1, "QA", ch, ch, &v, "OPS-PC", "mallory");
  }
  // The alarm messages of one step.
  std::vector<AlarmBytes> Step(const std::function<int()>& write) {
    const size_t from = Drain(*sim_).size();
    EXPECT_EQ(write(), 0);
    return Since(*sim_, from);
  }
  std::vector<uint32_t> Kinds(const std::vector<AlarmBytes>& msgs) {
    std::vector<uint32_t> out;
    for (const auto& m : msgs) out.push_back(U32(m, 8) & 7u);
    return out;
  }
  std::vector<uint32_t> LoggerCodes() {
    std::vector<uint32_t> out;
    for (const auto& c : sim_->LoggerCodes()) out.push_back(c.code);
    return out;
  }

  std::unique_ptr<cdxsim::Sim> sim_;
};

// ---- digital ----------------------------------------------------------------------

TEST_F(ValWriteTest, DigitalEvaluationTable) {
  struct Row {
    const char* what;
    uint32_t flags;
    int delay;
    uint32_t old;
    uint32_t state;
    bool force;
    uint32_t want;
    std::vector<uint32_t> kinds;  // messages, in order
    uint32_t msgFlags;            // flags word of the first message
  };
  const std::vector<Row> rows = {
      {"alarm on state 1, delay 0: 0x002 and 0x040", dE | dAE | dAS, 0, 0x000, 1, false, 0x847, {0}, 0 | 16},
      {"alarm with a delay: no 0x002, no 0x040", dE | dAE | dAS, 5, 0x000, 1, false, 0x805, {0}, 16},
      {"alarm on state 0", dE | dAE, 0, 0x001, 0, false, 0x842, {0}, 0},
      {"the alarm clears, with the old status", dE | dAE | dAS, 0, 0x847, 0, false, 0x044, {1}, 1 | 16},
      {"unchanged state: untouched", dE | dAE | dAS, 0, 0x847, 1, false, 0x847, {}, 0},
      {"forced, still in alarm: nothing new", dE | dAE | dAS, 0, 0x847, 1, true, 0x847, {}, 0},
      {"an evaluated write clears 0x080", dE, 0, 0x080, 1, false, 0x001, {}, 0},
      {"disabled: marked bad", 0, 0, 0x000, 0, false, 0x020, {}, 0},
      {"disabled and bad: the state only", 0, 0, 0x020, 1, false, 0x021, {}, 0},
      {"bad, not forced: the state only", dE | dAE | dAS, 0, 0x020, 1, false, 0x021, {}, 0},
      {"bad, forced: evaluated", dE | dAE | dAS, 0, 0x020, 1, true, 0x847, {0}, 16},
      {"event on state 1", dE | dEvE | dES, 0, 0x000, 1, false, 0x019, {}, 0},
      {"event on state 0", dE | dEvE, 0, 0x001, 0, false, 0x008, {}, 0},
      {"event ends", dE | dEvE | dES, 0, 0x019, 0, false, 0x010, {}, 0},
      {"alarm and drive common", dE | dAE | dAS | dADC, 0, 0x000, 1, false, 0x847, {0}, 16 | 32 | (9u << 7)},
  };
  for (const Row& r : rows) {
    Digital("QA", 2, r.flags, r.flags & dADC ? 9 : 0, r.delay);
    Word("QA", 2) = r.old;
    std::vector<AlarmBytes> msgs = Step([&] { return WriteD(2, r.state, r.force); });
    EXPECT_EQ(Word("QA", 2), r.want) << r.what;
    EXPECT_EQ(Kinds(msgs), r.kinds) << r.what;
    if (!msgs.empty()) {
      const AlarmBytes& m = msgs[0];
      EXPECT_EQ(U32(m, 8), r.msgFlags) << r.what;
      EXPECT_EQ(U16(m, 2), 2) << r.what;
      EXPECT_EQ(U16(m, 4), U32(m, 8) & 7u ? 0 : r.delay) << r.what;
      EXPECT_EQ(U32(m, 12), Bits(float(r.state))) << r.what;
      EXPECT_STREQ(reinterpret_cast<const char*>(m.data() + 16), "OPS-PC") << r.what;
      EXPECT_STREQ(reinterpret_cast<const char*>(m.data() + 32), "mallory") << r.what;
    }
  }
  // Only channels of the writable digital kind are touched.
  Digital("QA", 3, dE | dAE | dAS);
  Conf("QA", 3)->Type = kKindDI;
  EXPECT_TRUE(Step([&] { return WriteD(3, 1); }).empty());
  EXPECT_EQ(Word("QA", 3), 0u);
}

TEST_F(ValWriteTest, DigitalEventsCountLoggerTriggers) {
  Digital("QA", 1, dE | dEvE | dES);  // channel 1 triggers LOG1
  ASSERT_EQ(WriteD(1, 1), 0);         // event begins: up
  ASSERT_EQ(WriteD(1, 1), 0);         // unchanged: nothing
  ASSERT_EQ(WriteD(1, 0), 0);         // ends: down
  ASSERT_TRUE(sim_->WaitLoggerCodes(2, 10000));
  plat::SleepMs(50);
  EXPECT_EQ(LoggerCodes(), (std::vector<uint32_t>{200001, 199999}));
}

// ---- analog -------------------------------------------------------------------------

TEST_F(ValWriteTest, HighAlarmWithDeadbandRaisesHoldsAndClears) {
  Limits l;
  l.hal = 100;
  l.had = 95;
  Analog("QA", 2, aE | aHAE | aHADE | aHADC, l);
  struct Step_ {
    float v;
    std::vector<uint32_t> kinds;
    uint32_t alarmBits;  // 0x800 | 0x004 | 0x002 | 0x040 of the word
  };
  const std::vector<Step_> steps = {
      {50, {}, 0},
      {101, {0}, 0x846},  // raised, delay 0
      {97, {}, 0x846},    // held by the deadband
      {95, {}, 0x846},    // at the deadband: still held
      {94, {1}, 0x044},   // cleared
      {100, {0}, 0x846},  // exactly at the limit raises again
  };
  for (const auto& s : steps) {
    std::vector<AlarmBytes> msgs = Step([&] { return WriteA(2, s.v); });
    EXPECT_EQ(Kinds(msgs), s.kinds) << s.v;
    EXPECT_EQ(Word("QA", 2) & 0x846u, s.alarmBits) << s.v;
    EXPECT_EQ(Word("QA", 2) & 0x080u, 0x080u) << s.v;
    EXPECT_EQ(Value("QA", 2), s.v);
    if (!msgs.empty()) {
      EXPECT_EQ(U32(msgs[0], 12), Bits(s.v));
      EXPECT_EQ(U32(msgs[0], 8) & 0x10u, 0x10u) << "high side";
      if (s.kinds[0] == 0) {
        EXPECT_EQ(U32(msgs[0], 8), 0 | 8 | 16 | 32 | (3u << 7));
      } else {
        EXPECT_EQ(U32(msgs[0], 8), 1u | 8 | 16);
      }
    }
  }
}

TEST_F(ValWriteTest, AlarmDelayGoesInTheMessageAndKeepsTheNoDelayBitsClear) {
  Limits l;
  l.hDelay = 12;
  l.lDelay = 7;
  Analog("QA", 2, aE | aHAE | aLAE, l);
  std::vector<AlarmBytes> msgs = Step([&] { return WriteA(2, 150); });
  ASSERT_EQ(Kinds(msgs), (std::vector<uint32_t>{0}));
  EXPECT_EQ(U16(msgs[0], 4), 12);
  EXPECT_EQ(Word("QA", 2) & 0x846u, 0x804u);
  msgs = Step([&] { return WriteA(2, 5); });
  ASSERT_EQ(Kinds(msgs), (std::vector<uint32_t>{1, 0}));
  EXPECT_EQ(U16(msgs[1], 4), 7);
  EXPECT_EQ(U32(msgs[1], 8) & 0x10u, 0u);
}

// An alarm that changes side in one write is announced as the scanner does:
// the clear of the old side, then the raise of the new one.
TEST_F(ValWriteTest, AlarmChangingSideSendsClearThenRaise) {
  Analog("QA", 2, aE | aHAE | aLAE);
  ASSERT_EQ(Kinds(Step([&] { return WriteA(2, 150); })), (std::vector<uint32_t>{0}));
  std::vector<AlarmBytes> msgs = Step([&] { return WriteA(2, 5); });
  ASSERT_EQ(Kinds(msgs), (std::vector<uint32_t>{1, 0}));
  EXPECT_EQ(U32(msgs[0], 8) & 0x10u, 0x10u);  // the clear names the high side
  EXPECT_EQ(U32(msgs[1], 8) & 0x10u, 0u);     // the raise the low side
  EXPECT_EQ(U32(msgs[1], 8) >> 7 & 0xFFu, 4u);
  EXPECT_EQ(Word("QA", 2) & 0x804u, 0x800u);
  msgs = Step([&] { return WriteA(2, 150); });
  ASSERT_EQ(Kinds(msgs), (std::vector<uint32_t>{1, 0}));
  EXPECT_EQ(U32(msgs[1], 8) & 0x10u, 0x10u);
}

TEST_F(ValWriteTest, WarningsRaiseClearHoldAndChangeSide) {
  Limits l;  // warnings 80 / 20 inside the alarms 100 / 10
  Analog("QA", 2, aE | aHAE | aHWE | aLAE | aLWE | aHADE, l);
  struct Step_ {
    float v;
    std::vector<uint32_t> kinds;
    uint32_t warnBits;  // 0x400 | 0x200
  };
  const std::vector<Step_> steps = {
      {50, {}, 0},
      {85, {4}, 0x600},       // high warning
      {90, {}, 0x600},        // unchanged
      {76, {}, 0x600},        // held: 80 - (100 - 95) = 75
      {74, {5}, 0x200},       // cleared (the side bit stays as it was)
      {15, {4}, 0x400},       // low warning (no low deadband: no hold)
      {85, {5, 4}, 0x600},    // changes side: clear, then raise
      {105, {0}, 0x600},      // the high alarm comes on top
  };
  for (const auto& s : steps) {
    std::vector<AlarmBytes> msgs = Step([&] { return WriteA(2, s.v); });
    EXPECT_EQ(Kinds(msgs), s.kinds) << s.v;
    EXPECT_EQ(Word("QA", 2) & 0x600u, s.warnBits) << s.v;
    for (const auto& m : msgs) {
      const uint32_t kind = U32(m, 8) & 7u;
      if (kind == 4) {
        const bool high = U32(m, 8) & 0x10u;
        EXPECT_EQ(U32(m, 8) >> 7 & 0xFFu, high ? 3u : 4u) << s.v;
        EXPECT_EQ(U32(m, 8) & 0x08u, 0x08u) << "status 0x080 of an evaluated write";
      }
    }
  }
}

TEST_F(ValWriteTest, AnalogEventsAndSignificantChangeCountTriggers) {
  Limits l;
  l.hel = 50;
  l.lel = 10;
  Analog("QA", 1, aE | aEvE, l);  // channel 1 triggers LOG1
  ASSERT_EQ(WriteA(1, 60), 0);
  EXPECT_EQ(Word("QA", 1) & 0x18u, 0x18u);
  ASSERT_EQ(WriteA(1, 30), 0);
  EXPECT_EQ(Word("QA", 1) & 0x08u, 0u);
  ASSERT_EQ(WriteA(1, 10), 0);  // at the low limit: low event
  EXPECT_EQ(Word("QA", 1) & 0x18u, 0x08u);
  ASSERT_TRUE(sim_->WaitLoggerCodes(3, 10000));
  EXPECT_EQ(LoggerCodes(), (std::vector<uint32_t>{200001, 199999, 200001}));

  l.sig = -5;  // its absolute value counts
  Analog("QA", 5, aE | aSCE, l);  // channel 5 triggers LOG1
  Value("QA", 5) = 10;
  ASSERT_EQ(WriteA(5, 14), 0);
  EXPECT_EQ(Word("QA", 5) & 1u, 0u);
  ASSERT_EQ(WriteA(5, 19), 0);
  EXPECT_EQ(Word("QA", 5) & 1u, 1u);
  ASSERT_TRUE(sim_->WaitLoggerCodes(4, 10000));
  plat::SleepMs(50);
  EXPECT_EQ(LoggerCodes().back(), 0x80000000u + 200000);
  EXPECT_EQ(LoggerCodes().size(), 4u);
}

TEST_F(ValWriteTest, ASecondEqualWriteChangesNothing) {
  Analog("QA", 5, aE | aHAE | aEvE | aSCE);
  Digital("QA", 1, dE | dAE | dAS | dEvE | dES);
  ASSERT_EQ(WriteA(5, 120), 0);
  ASSERT_EQ(WriteD(1, 1), 0);
  ASSERT_TRUE(sim_->WaitLoggerCodes(2, 10000));
  const uint32_t wa = Word("QA", 5), wd = Word("QA", 1);
  const size_t codes = LoggerCodes().size();
  std::vector<AlarmBytes> msgs = Step([&] { return WriteA(5, 120) | WriteD(1, 1); });
  EXPECT_TRUE(msgs.empty());
  EXPECT_EQ(Word("QA", 5), wa);
  EXPECT_EQ(Word("QA", 1), wd);
  plat::SleepMs(50);
  EXPECT_EQ(LoggerCodes().size(), codes);
  // The module's pending count is back at 0 after each write.
  EXPECT_EQ(Drv_OpenDataModule("QA")->pendingCount, 0);
}

TEST_F(ValWriteTest, DisabledAnalogChannelIsMarkedBadAndOnlyStored) {
  Analog("QA", 3, aHAE);  // not enabled
  EXPECT_TRUE(Step([&] { return WriteA(3, 500); }).empty());
  EXPECT_EQ(Word("QA", 3), 0x0A0u);
  EXPECT_EQ(Value("QA", 3), 500);
  EXPECT_TRUE(Step([&] { return WriteA(3, 600); }).empty());
  EXPECT_EQ(Word("QA", 3), 0x0A0u);
  EXPECT_EQ(Value("QA", 3), 600);
}

// ---- other kinds, records, refusals -----------------------------------------------------

TEST_F(ValWriteTest, OtherKindsStoreOnlyAndSignalTheOwner) {
  auto owner = plat::MailslotReader::Create(std::string("\\\\.\\mailslot\\dm_") + std::to_string(kPlcPid) + ".slt", 4);
  ASSERT_TRUE(owner);
  ASSERT_EQ(Drv_GetKind("PX"), 3);
  Digital("PX", 1, dE | dAE | dAS | dEvE | dES);
  Analog("PX", 2, aE | aHAE);
  Word("PX", 1) = 0x800;
  const uint32_t on = 1;
  const float big = 1000;
  const size_t from = Drain(*sim_).size();
  ASSERT_EQ(Val_WriteDigital("px", 1, 1, &on), 0);
  ASSERT_EQ(Val_WriteAnalog("PX", 2, 2, &big), 0);
  EXPECT_EQ(Word("PX", 1), 0x801u);
  EXPECT_EQ(Word("PX", 2), 0u);
  EXPECT_EQ(Value("PX", 2), 1000);
  for (int i = 0; i < 2; ++i) {
    uint32_t code = 0;
    ASSERT_EQ(owner->Read(&code, sizeof code, 10000), 4);
    EXPECT_EQ(code, 305u);
  }
  EXPECT_TRUE(Since(*sim_, from).empty());
  EXPECT_TRUE(LoggerCodes().empty());
}

TEST_F(ValWriteTest, AnalogWritesFillTheValueRecordsWhenTheDriverUsesThem) {
  Analog("RV", 4, aE);
  const float v = 42.25f;
  ASSERT_EQ(Val_WriteAnalog("RV", 4, 4, &v), 0);
  const uint8_t* rec = Drv_GetData("RV") + 20 + 8 * 8 + 264 * 3;
  uint16_t kind;
  uint32_t bits;
  std::memcpy(&kind, rec, 2);
  std::memcpy(&bits, rec + 8, 4);
  EXPECT_EQ(kind, 4);
  EXPECT_EQ(bits, Bits(v));
  // A driver without the flag keeps them untouched (QA has no records).
  ASSERT_EQ(Drv_UsesValueRecords("QA"), 0);
}

TEST_F(ValWriteTest, RefusedWritesChangeNothing) {
  for (int ch = 1; ch <= 8; ++ch) {
    Digital("QA", ch, dE);
    Word("QA", ch) = 0;
  }
  const uint32_t states[4] = {1, 1, 1, 1};
  const float values[4] = {1, 2, 3, 4};
  struct Case {
    const char* what;
    int first, last;
    uint32_t err;
  };
  const Case cases[] = {
      {"past the channel count", 7, 9, 67}, {"first 0", 0, 2, 67},   {"last 0", 1, 0, 67},
      {"first above last", 4, 3, 67},       {"far past", 9, 9, 67},
  };
  for (const Case& c : cases) {
    errno = 0;
    EXPECT_EQ(Val_WriteDigital("QA", c.first, c.last, states), -1) << c.what;
    EXPECT_EQ(static_cast<uint32_t>(errno), c.err) << c.what;
    EXPECT_EQ(plat::GetLastError(), c.err) << c.what;
    EXPECT_EQ(Val_WriteAnalog("QA", c.first, c.last, values), -1) << c.what;
  }
  for (int ch = 1; ch <= 8; ++ch) EXPECT_EQ(Word("QA", ch), 0u) << ch;

  // No such module; null values.
  EXPECT_EQ(Val_WriteDigital("ZZ", 1, 1, states), -1);
  EXPECT_EQ(Val_WriteDigital("QA", 1, 1, nullptr), -1);
  EXPECT_EQ(errno, 87);
  // Analog writes need value kind 8.
  Analog("WK", 1, aE);
  EXPECT_EQ(Val_WriteAnalog("WK", 1, 1, values), -1);
  EXPECT_EQ(errno, 67);
  Digital("WK", 1, dE);
  EXPECT_EQ(Val_WriteDigital("WK", 1, 1, states), 0);  // digital ones do not
  EXPECT_EQ(Word("WK", 1), 1u);
}

TEST_F(ValWriteTest, NonFiniteAnalogValuesAreRefusedWhole) {
  for (int ch = 1; ch <= 3; ++ch) {
    Analog("QA", ch, aE | aHAE);
    Value("QA", ch) = 7;
  }
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  for (float bad : {nan, inf, -inf}) {
    const float values[3] = {1, bad, 2};
    errno = 0;
    EXPECT_EQ(Val_WriteAnalog("QA", 1, 3, values), -1);
    EXPECT_EQ(errno, 87);
    EXPECT_EQ(Val_ForceAnalog("QA", 1, 3, values), -1);
  }
  for (int ch = 1; ch <= 3; ++ch) {
    EXPECT_EQ(Value("QA", ch), 7) << ch;
    EXPECT_EQ(Word("QA", ch), 0u) << ch;
  }
}

// A module set the central server left incomplete or too small for its
// channel count is never written.
TEST_F(ValWriteTest, ModulesMissingOrTooSmallAreRefused) {
  auto makeValues = [](const char* name, uint32_t dataSize, uint16_t channels) {
    DataModuleHeader* m = DM_Create(name, dataSize);
    ASSERT_NE(m, nullptr);
    uint8_t* data = reinterpret_cast<uint8_t*>(m) + 128;
    data[0] = name[3];
    data[1] = name[4];
    const uint16_t kind = 8;
    std::memcpy(data + 2, &kind, 2);
    std::memcpy(data + 4, &channels, 2);
  };
  const uint32_t on = 1;
  const float v = 1;
  // No "_conf" module.
  makeValues("dm_NC", Drv_ValuesDataSize(4, 8, false), 4);
  EXPECT_EQ(Val_WriteDigital("NC", 1, 1, &on), -1);
  EXPECT_EQ(errno, 0);
  EXPECT_EQ(Val_WriteAnalog("NC", 4, 4, &v), -1);
  // The values module claims 64 channels but holds 4.
  makeValues("dm_SM", Drv_ValuesDataSize(4, 8, false), 64);
  ASSERT_NE(DM_Create("dm_SM_conf", 64 * kDrvChannelConfigSize), nullptr);
  ASSERT_NE(DM_Create("dm_SM_event", 64), nullptr);
  EXPECT_EQ(Val_WriteDigital("SM", 60, 60, &on), -1);
  EXPECT_EQ(errno, 67);
  // The "_conf" module holds fewer records than the channel count.
  makeValues("dm_SC", Drv_ValuesDataSize(8, 8, false), 8);
  ASSERT_NE(DM_Create("dm_SC_conf", 2 * kDrvChannelConfigSize), nullptr);
  ASSERT_NE(DM_Create("dm_SC_event", 8), nullptr);
  EXPECT_EQ(Val_WriteAnalog("SC", 1, 1, &v), -1);
  EXPECT_EQ(errno, 67);
  // The header of the values module claims more data than is mapped: the
  // claim is not followed.
  makeValues("dm_LH", Drv_ValuesDataSize(4, 8, false), 2000);
  DataModuleHeader* lying = DM_Open("dm_LH");
  ASSERT_TRUE(DM_IsView(lying));
  lying->dataSize = Drv_ValuesDataSize(2000, 8, false);
  ASSERT_NE(DM_Create("dm_LH_conf", 2000 * kDrvChannelConfigSize), nullptr);
  ASSERT_NE(DM_Create("dm_LH_event", 2000), nullptr);
  EXPECT_EQ(Val_WriteDigital("LH", 2000, 2000, &on), -1);
  EXPECT_EQ(errno, 67);
}

TEST_F(ValWriteTest, LockedWriteInsideTheCallersLock) {
  Digital("QA", 1, dE | dAE | dAS);
  DataModuleHeader* values = Drv_OpenDataModule("QA");
  ASSERT_EQ(DM_Lock(values), 0);
  const uint32_t on = 1;
  ASSERT_EQ(Val_WriteDigitalLocked("QA", 1, 1, &on), 0);
  ASSERT_EQ(DM_Unlock(values), 0);
  EXPECT_EQ(Word("QA", 1) & 0x801u, 0x801u);
  // The lock is free again: another process takes it.
  pid_t child = testsupport::ForkChild([] { return DM_Lock(Drv_OpenDataModule("QA")) == 0 ? 0 : 1; });
  EXPECT_EQ(testsupport::WaitChild(child, 10000), 0);
}

}  // namespace
