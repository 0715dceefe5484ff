// Channel evaluation: the rules that turn raw readings into published
// status words and values, and what they announce.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "scanner/qd_eval.h"

namespace {

struct Notice {
  std::string what;
  int m;
  uint32_t status;
  int priority;
  int delay;
  bool hasValue;
  float value;
};

class Recorder : public ScanNotices {
 public:
  std::vector<Notice> n;
  bool outputs[8] = {};
  void AlarmRaised(int m, uint32_t s, int, int p, int d, const float* v) override { Add("alarm", m, s, p, d, v); }
  void AlarmCleared(int m, uint32_t s, const float* v) override { Add("clear", m, s, 0, 0, v); }
  void WarningRaised(int m, uint32_t s, int p, const float* v) override { Add("warn", m, s, p, 0, v); }
  void WarningCleared(int m, uint32_t s, const float* v) override { Add("warnclear", m, s, 0, 0, v); }
  void TriggerUp(int m) override { Add("up", m, 0, 0, 0, nullptr); }
  void TriggerDown(int m) override { Add("down", m, 0, 0, 0, nullptr); }
  void TriggerForced(int m) override { Add("forced", m, 0, 0, 0, nullptr); }
  void OutputsChanged(int t) override { outputs[t] = true; }
  std::string Kinds() const {
    std::string s;
    for (auto& x : n) s += (s.empty() ? "" : ",") + x.what;
    return s;
  }

 private:
  void Add(const char* w, int m, uint32_t s, int p, int d, const float* v) {
    n.push_back({w, m, s, p, d, v != nullptr, v ? *v : 0.0f});
  }
};

ChannelConfig Analog(uint8_t type = kKindAI) {
  ChannelConfig c;
  std::memset(&c, 0, sizeof c);
  c.Type = type;
  Chan_SetFlag(&c, kAiEnable, true);
  c.analog.Gain = 1;
  c.analog.HighAlarmLimit = c.analog.HighWarningLimit = c.analog.HighEventLimit = 1e30f;
  c.analog.LowAlarmLimit = c.analog.LowWarningLimit = c.analog.LowEventLimit = -1e30f;
  return c;
}

ChannelConfig Digital(uint8_t type = kKindDI) {
  ChannelConfig c;
  std::memset(&c, 0, sizeof c);
  c.Type = type;
  Chan_SetFlag(&c, kDiEnable, true);
  return c;
}

// One channel followed across scans as the scanner does it: the working
// word keeps the previous result plus the handler's raw bits.
struct Channel {
  explicit Channel(const ChannelConfig& c) : cfg(c) {}
  ChannelConfig cfg;
  uint32_t published = 0x20;  // after the reset of channel states
  float value = 0;
  float lastReported = Eval_UnsetValue();
  float tare = 0;
  bool first = true;
  Recorder rec;

  // good reading raw (analog), state (digital), or a bad block.
  void Scan(float raw, bool bad = false) {
    ChannelEval ch{};
    uint32_t work = published;
    if (bad) {
      work |= 0x20;
    } else {
      work &= ~0x20u;
      if (Chan_IsDigital(cfg.Type)) work = (work & ~1u) | (raw != 0 ? 1u : 0u);
    }
    ch.status = work;
    ch.oldStatus = published;
    ch.raw = rawKept = bad ? rawKept : raw;
    ch.published = value;
    ch.lastReported = lastReported;
    ch.tare = tare;
    Eval_Channel(cfg, 4, first, &ch, rec);
    first = false;
    published = ch.status;
    value = ch.published;
    lastReported = ch.lastReported;
  }
  float rawKept = 0;
};

TEST(ChannelEval, ScalingAppliesToInputsNotToAnalogOutputs) {
  struct Case {
    uint8_t type;
    bool scaling;
    float want;
  } cases[] = {{kKindAI, true, 101}, {kKindAO, true, 50}, {kKindCI, true, 101}, {kKindAI, false, 50}};
  for (const Case& k : cases) {
    Channel c{Analog(k.type)};
    c.cfg.analog.Gain = 2;
    c.cfg.analog.Offset = 1;
    Chan_SetFlag(&c.cfg, kAiScalingEnable, k.scaling);
    c.Scan(50);
    EXPECT_EQ(c.value, k.want) << "type " << int(k.type);
    EXPECT_EQ(c.published & 0xA0u, 0x80u);
  }
}

TEST(ChannelEval, ScalingActsOnTheRawReadingOnlyOnce) {
  Channel c{Analog()};
  c.cfg.analog.Gain = 2;
  c.cfg.analog.Offset = 1;
  Chan_SetFlag(&c.cfg, kAiScalingEnable, true);
  c.Scan(50);
  EXPECT_EQ(c.value, 101);
  c.Scan(0, /*bad=*/true);  // the block failed: the reading is untouched
  EXPECT_EQ(c.value, 101);
  EXPECT_TRUE(c.published & 0x20);
  c.Scan(50);
  EXPECT_EQ(c.value, 101);
  EXPECT_FALSE(c.published & 0x20);
  c.Scan(50);
  EXPECT_EQ(c.value, 101);
}

TEST(ChannelEval, TareIsSubtractedFromReferencedAnalogInputs) {
  Channel c{Analog()};
  Chan_SetFlag(&c.cfg, kAiReferenceEnable, true);
  c.tare = 12.5f;
  c.Scan(12.5f);
  EXPECT_EQ(c.value, 0);
  c.Scan(20);
  EXPECT_EQ(c.value, 7.5f);
  Channel counter{Analog(kKindCI)};  // only sub-type 0 is tared here
  Chan_SetFlag(&counter.cfg, kAiReferenceEnable, true);
  counter.tare = 12.5f;
  counter.Scan(20);
  EXPECT_EQ(counter.value, 20);
}

TEST(ChannelEval, HighAlarmWithDeadbandRaisesHoldsAndClearsOnce) {
  Channel c{Analog()};
  Chan_SetFlag(&c.cfg, kAiHighAlarmEnable, true);
  Chan_SetFlag(&c.cfg, kAiHighAlarmDeadbandEnable, true);
  c.cfg.analog.HighAlarmLimit = 100;
  c.cfg.analog.HighAlarmDeadband = 90;
  c.cfg.analog.HighAlarmPriority = 7;
  c.cfg.analog.HighAlarmDelay = 5;
  c.Scan(50);
  EXPECT_EQ(c.rec.Kinds(), "");
  c.Scan(101);
  ASSERT_EQ(c.rec.Kinds(), "alarm");
  EXPECT_EQ(c.rec.n[0].priority, 7);
  EXPECT_EQ(c.rec.n[0].delay, 5);
  EXPECT_TRUE(c.rec.n[0].hasValue);
  EXPECT_EQ(c.rec.n[0].value, 101);
  EXPECT_EQ(c.rec.n[0].m, 4);
  EXPECT_EQ(c.published & 0x806u, 0x804u);  // delay 5: no 0x02
  c.Scan(95);
  EXPECT_EQ(c.rec.Kinds(), "alarm");
  EXPECT_EQ(c.published & 0x804u, 0x804u);
  c.Scan(89);
  EXPECT_EQ(c.rec.Kinds(), "alarm,clear");
  EXPECT_EQ(c.rec.n[1].status & 0x804u, 0x804u);  // the clear carries the old status
  EXPECT_FALSE(c.published & 0x800);
  c.Scan(88);
  EXPECT_EQ(c.rec.Kinds(), "alarm,clear");
}

TEST(ChannelEval, LowAlarmAndSideChangeSendClearThenRaise) {
  Channel c{Analog()};
  Chan_SetFlag(&c.cfg, kAiHighAlarmEnable, true);
  Chan_SetFlag(&c.cfg, kAiLowAlarmEnable, true);
  c.cfg.analog.HighAlarmLimit = 100;
  c.cfg.analog.LowAlarmLimit = 10;
  c.cfg.analog.LowAlarmPriority = 3;
  c.Scan(5);
  ASSERT_EQ(c.rec.Kinds(), "alarm");
  EXPECT_EQ(c.rec.n[0].priority, 3);
  EXPECT_EQ(c.published & 0x804u, 0x800u);
  // Delay 0: 0x02 is set before the message, 0x40 after it.
  EXPECT_TRUE(c.rec.n[0].status & 0x02);
  EXPECT_FALSE(c.rec.n[0].status & 0x40);
  EXPECT_EQ(c.published & 0x42u, 0x42u);
  c.Scan(150);
  EXPECT_EQ(c.rec.Kinds(), "alarm,clear,alarm");
  EXPECT_EQ(c.published & 0x804u, 0x804u);
}

TEST(ChannelEval, SignificantChangeSetsBitAndForcesTrigger) {
  Channel c{Analog()};
  Chan_SetFlag(&c.cfg, kAiSigChangeEnable, true);
  c.cfg.analog.SigChangeValue = -5;  // the magnitude counts
  c.Scan(10);  // the first good value is the first reported one
  EXPECT_EQ(c.lastReported, 10);
  EXPECT_FALSE(c.published & 1);
  c.Scan(14);
  EXPECT_FALSE(c.published & 1);
  EXPECT_EQ(c.rec.Kinds(), "");
  c.Scan(15);
  EXPECT_TRUE(c.published & 1);
  EXPECT_EQ(c.rec.Kinds(), "forced");
  EXPECT_EQ(c.lastReported, 15);
  c.Scan(0, true);  // bad: the bit goes, the reference stays
  EXPECT_FALSE(c.published & 1);
  EXPECT_EQ(c.lastReported, 15);
}

TEST(ChannelEval, WarningsNeedTheirAlarmAndAnnounceChanges) {
  Channel c{Analog()};
  Chan_SetFlag(&c.cfg, kAiHighAlarmEnable, true);
  Chan_SetFlag(&c.cfg, kAiHighWarningEnable, true);
  c.cfg.analog.HighAlarmLimit = 100;
  c.cfg.analog.HighWarningLimit = 80;
  c.cfg.analog.HighAlarmPriority = 9;
  c.Scan(50);
  c.Scan(85);
  ASSERT_EQ(c.rec.Kinds(), "warn");
  EXPECT_EQ(c.rec.n[0].priority, 9);
  EXPECT_EQ(c.published & 0x600u, 0x600u);
  c.Scan(86);
  EXPECT_EQ(c.rec.Kinds(), "warn");
  c.Scan(70);
  EXPECT_EQ(c.rec.Kinds(), "warn,warnclear");
  EXPECT_FALSE(c.published & 0x400);

  Channel noAlarm{Analog()};  // a warning without its alarm enabled stays quiet
  Chan_SetFlag(&noAlarm.cfg, kAiHighWarningEnable, true);
  noAlarm.cfg.analog.HighWarningLimit = 80;
  noAlarm.Scan(85);
  EXPECT_FALSE(noAlarm.published & 0x400);
}

TEST(ChannelEval, EventsCountLoggerTriggersUpAndDown) {
  Channel c{Analog()};
  Chan_SetFlag(&c.cfg, kAiEventEnable, true);
  c.cfg.analog.HighEventLimit = 60;
  c.cfg.analog.LowEventLimit = 20;
  c.Scan(40);
  EXPECT_EQ(c.rec.Kinds(), "");
  c.Scan(70);
  EXPECT_EQ(c.rec.Kinds(), "up");
  EXPECT_EQ(c.published & 0x18u, 0x18u);
  c.Scan(10);  // from high to low: down, then up
  EXPECT_EQ(c.rec.Kinds(), "up,down,up");
  EXPECT_EQ(c.published & 0x18u, 0x08u);
  c.Scan(40);
  EXPECT_EQ(c.rec.Kinds(), "up,down,up,down");
}

TEST(ChannelEval, BadAnalogWithErrorAlarmRaisesWithoutValue) {
  Channel c{Analog()};
  Chan_SetFlag(&c.cfg, kAiErrorAlarmEnable, true);
  c.cfg.analog.ErrorAlarmPriority = 11;
  c.cfg.analog.ErrorAlarmDelay = 2;
  c.Scan(50);
  c.Scan(0, true);
  ASSERT_EQ(c.rec.Kinds(), "alarm");
  EXPECT_EQ(c.rec.n[0].priority, 11);
  EXPECT_EQ(c.rec.n[0].delay, 2);
  EXPECT_FALSE(c.rec.n[0].hasValue);
  EXPECT_EQ(c.published & 0x824u, 0x820u);
  c.Scan(0, true);  // still bad: nothing new
  EXPECT_EQ(c.rec.Kinds(), "alarm");
  c.Scan(50);
  EXPECT_EQ(c.rec.Kinds(), "alarm,clear");
}

TEST(ChannelEval, NonFiniteReadingsAreBad) {
  for (float raw : {std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN()}) {
    Channel c{Analog()};
    c.Scan(3);
    c.Scan(raw);
    EXPECT_TRUE(c.published & 0x20);
    EXPECT_EQ(c.value, 3);
  }
  Channel overflow{Analog()};  // scaling that overflows float is bad, not inf
  Chan_SetFlag(&overflow.cfg, kAiScalingEnable, true);
  overflow.cfg.analog.Gain = 1e38f;
  overflow.Scan(999);
  EXPECT_TRUE(overflow.published & 0x20);
  EXPECT_TRUE(std::isfinite(overflow.value));
}

TEST(ChannelEval, DisabledChannelIsBadAndQuietAfterTheFirstScan) {
  Channel c{Analog()};
  Chan_SetFlag(&c.cfg, kAiEnable, false);
  Chan_SetFlag(&c.cfg, kAiHighAlarmEnable, true);
  c.cfg.analog.HighAlarmLimit = 10;
  c.published = 0;  // a good old state, so the first scan evaluates it
  c.Scan(50);
  EXPECT_TRUE(c.published & 0x20);
  size_t afterFirst = c.rec.n.size();
  for (int i = 0; i < 3; ++i) {
    c.Scan(60 + i);
    EXPECT_TRUE(c.published & 0x20);
  }
  EXPECT_EQ(c.rec.n.size(), afterFirst);
}

TEST(ChannelEval, DigitalAlarmEventAndStateFollowTheReading) {
  Channel c{Digital()};
  Chan_SetFlag(&c.cfg, kDiAlarmEnable, true);
  Chan_SetFlag(&c.cfg, kDiAlarmState, true);
  Chan_SetFlag(&c.cfg, kDiEventEnable, true);
  Chan_SetFlag(&c.cfg, kDiEventState, true);
  c.cfg.digital.AlarmPriority = 4;
  c.cfg.digital.AlarmDelay = 1;
  c.published = 0;
  c.Scan(0);
  EXPECT_EQ(c.published & 0x8A1u, 0u);
  EXPECT_EQ(c.rec.Kinds(), "");
  c.Scan(1);
  EXPECT_EQ(c.rec.Kinds(), "alarm,up");
  EXPECT_EQ(c.rec.n[0].priority, 4);
  EXPECT_FALSE(c.rec.n[0].hasValue);
  EXPECT_EQ(c.published & 0x81Du, 0x81Du);
  EXPECT_TRUE(c.rec.outputs[kKindDI]);
  c.Scan(1);  // unchanged: the old status stands
  EXPECT_EQ(c.rec.Kinds(), "alarm,up");
  c.Scan(0);
  EXPECT_EQ(c.rec.Kinds(), "alarm,up,clear,down");
  EXPECT_EQ(c.published & 0x809u, 0u);
}

TEST(ChannelEval, DigitalErrorAlarmFollowsItsOwnEnable) {
  for (bool enabled : {false, true}) {
    Channel c{Digital()};
    Chan_SetFlag(&c.cfg, kDiErrorAlarmEnable, enabled);
    c.cfg.digital.ErrorAlarmPriority = 6;
    c.published = 0;
    c.Scan(1);
    c.Scan(0, true);
    EXPECT_EQ(c.rec.Kinds(), enabled ? "alarm" : "") << enabled;
    if (enabled) {
      EXPECT_EQ(c.rec.n[0].priority, 6);
    }
  }
}

TEST(ChannelEval, FirstScanAnnouncesTheCurrentState) {
  Channel c{Analog()};
  Chan_SetFlag(&c.cfg, kAiHighAlarmEnable, true);
  Chan_SetFlag(&c.cfg, kAiEventEnable, true);
  c.cfg.analog.HighAlarmLimit = 10;
  c.cfg.analog.HighEventLimit = 10;
  c.published = 0;
  c.value = 50;  // same value as before: the first scan does not skip it
  c.Scan(50);
  EXPECT_EQ(c.rec.Kinds(), "alarm,up");
}

// After start-up every published status is bad (the reset), so a channel
// whose node is silent is "old bad, new bad" at the first scan: it still
// raises its error alarm, digital as analog, and stays quiet afterwards.
TEST(ChannelEval, FirstScanRaisesTheErrorAlarmOfAChannelBadFromTheStart) {
  for (bool digital : {false, true}) {
    Channel c{digital ? Digital() : Analog()};
    if (digital) {
      Chan_SetFlag(&c.cfg, kDiErrorAlarmEnable, true);
      c.cfg.digital.ErrorAlarmPriority = 7;
    } else {
      Chan_SetFlag(&c.cfg, kAiErrorAlarmEnable, true);
      c.cfg.analog.ErrorAlarmPriority = 7;
    }
    c.Scan(0, true);
    ASSERT_EQ(c.rec.Kinds(), "alarm") << "digital " << digital;
    EXPECT_EQ(c.rec.n[0].priority, 7);
    EXPECT_FALSE(c.rec.n[0].hasValue);
    EXPECT_EQ(c.published & 0x820u, 0x820u);
    c.Scan(0, true);
    EXPECT_EQ(c.rec.Kinds(), "alarm") << "digital " << digital;
    c.Scan(1);
    EXPECT_EQ(c.rec.Kinds(), "alarm,clear") << "digital " << digital;
  }
}

TEST(ChannelEval, CarriedBitsComeFromThePreviousPublishedStatus) {
  Channel c{Analog()};
  c.Scan(5);
  c.published |= 0x1100;  // set by a reader in the module
  c.Scan(6);
  EXPECT_EQ(c.published & 0x1100u, 0x1100u);
}

}  // namespace

namespace {

// An error alarm is no low alarm: a good value inside the low deadband that
// never reached the limit ends the error alarm and raises nothing; after a
// real low alarm the same value holds it.
TEST(ChannelEval, LowDeadbandHoldsOnlyALowAlarm) {
  Channel c{Analog()};
  Chan_SetFlag(&c.cfg, kAiLowAlarmEnable, true);
  Chan_SetFlag(&c.cfg, kAiLowAlarmDeadbandEnable, true);
  Chan_SetFlag(&c.cfg, kAiErrorAlarmEnable, true);
  c.cfg.analog.LowAlarmLimit = 20;
  c.cfg.analog.LowAlarmDeadband = 30;
  c.Scan(50);
  c.Scan(0, true);
  ASSERT_EQ(c.rec.Kinds(), "alarm");
  EXPECT_EQ(c.published & 0x824u, 0x820u);  // the error alarm
  c.Scan(25);
  EXPECT_EQ(c.rec.Kinds(), "alarm,clear");
  EXPECT_EQ(c.published & 0x800u, 0u);
  c.Scan(15);
  c.Scan(25);
  EXPECT_EQ(c.rec.Kinds(), "alarm,clear,alarm");
  EXPECT_EQ(c.published & 0x804u, 0x800u);  // the low alarm, held
}

}  // namespace
