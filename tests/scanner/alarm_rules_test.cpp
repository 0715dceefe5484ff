// The alarm rules of a scan as the alarm process, the loggers and the
// derived-value processor receive them: channels evaluated with the
// scanner's own sink (AlarmNotices), attached to a real driver module set,
// with the scan's deferred delivery, and every message read back from the
// real mailslots that cdxsim listens on.
//
// Each table follows one channel through a few scans; each step names the
// messages that step must send, no more and no fewer (a marker message
// after each step closes what belongs to it).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "cdxlib/runtime/alarms.h"
#include "cdxlib/shm/signals.h"
#include "platform/sync.h"
#include "scanner/qd_eval.h"
#include "scanner/qd_notices.h"
#include "tools/cdxsim/cdxsim.h"

namespace {

constexpr const char* kDescription = R"(
driver  name=ALARM prefix=AL
driver  name=DERIVED prefix=DV
module  prefix=QA channels=8 kind=8
logger  name=LOG1 triggers=QA:1,QA:3
)";
constexpr int kEventChannels = 0xC0;  // row 0: channels 1 and 2 are event channels
constexpr uint32_t kMarkerCode = 7000000;
constexpr int kWaitMs = 10000;

// One message as a short text: kind, the flag letters a (status 0x80), h
// (high side) and c (drive-common), the priority of a raised alarm or
// warning, the value ("-" for none), and "bad" for the bad mark of the
// channel field.
std::string Describe(const cdxsim::AlarmBytes& a) {
  uint16_t channel;
  uint32_t flags, bits;
  std::memcpy(&channel, &a[2], 2);
  std::memcpy(&flags, &a[8], 4);
  std::memcpy(&bits, &a[12], 4);
  static const char* kKinds[8] = {"alarm", "clear", "text", "operator", "warn", "warnclear", "6", "7"};
  const uint32_t kind = flags & 7u;
  std::string s = kKinds[kind];
  std::string letters;
  if (flags & 0x08) letters += 'a';
  if (flags & 0x10) letters += 'h';
  if (flags & 0x20) letters += 'c';
  if (!letters.empty()) s += " " + letters;
  if (kind == 0 || kind == 4) s += " p" + std::to_string((flags >> 7) & 0xFFu);
  if (bits == 0x7FFFFFFFu) {
    s += " -";
  } else {
    float v;
    std::memcpy(&v, &bits, 4);
    char buf[32];
    std::snprintf(buf, sizeof buf, " %g", double(v));
    s += buf;
  }
  if (channel & 0x8000u) s += " bad";
  return s;
}

// A reading of one scan: a value (analog), a state (digital), or bad.
struct Reading {
  float raw;
  bool bad = false;
};
constexpr Reading Bad{0, true};

class AlarmRules : public ::testing::Test {
 public:
  void SetUp() override {
    cdxsim::Description d;
    std::string error;
    ASSERT_TRUE(cdxsim::Description::Parse(kDescription, &d, &error)) << error;
    sim_ = std::make_unique<cdxsim::Sim>(d);
    ASSERT_EQ(sim_->Create(), 0);
    values_ = sim_->ModuleData("dm_QA");
    uint8_t* event = sim_->ModuleData("dm_QA_event");
    ASSERT_TRUE(values_ && event);
    event[0] = kEventChannels;
    Alm_ResetProcessState();
  }
  void TearDown() override { Alm_ResetProcessState(); }

  // Starts following channel index m with configuration cfg (the state
  // after a reset of channel states: bad, nothing reported).
  void Follow(const ChannelConfig& cfg, int m = 0) {
    cfg_ = cfg;
    m_ = m;
    published_ = 0x20;
    value_ = 0;
    lastReported_ = Eval_UnsetValue();
    first_ = true;
  }

  // One scan of the channel as the scanner publishes a path; returns the
  // alarm messages it sent, joined by "; ".
  std::string Scan(Reading r) {
    uint32_t work = published_;
    if (r.bad) {
      work |= 0x20;
    } else {
      work &= ~0x20u;
      if (Chan_IsDigital(cfg_.Type)) work = (work & ~1u) | (r.raw != 0 ? 1u : 0u);
    }
    ChannelEval ch{};
    ch.status = work;
    ch.oldStatus = published_;
    ch.raw = r.bad ? raw_ : r.raw;
    raw_ = ch.raw;
    ch.published = value_;
    ch.lastReported = lastReported_;
    bool outputs[kChannelKindCount] = {};
    AlarmNotices notices("PC1", "operator", outputs);
    EXPECT_EQ(Alm_Attach(values_), 0);
    Eval_Channel(cfg_, m_, first_, &ch, notices);
    Alm_FlushLoggerTriggers();  // the messages go out at its unlock
    first_ = false;
    published_ = ch.status;
    value_ = ch.published;
    lastReported_ = ch.lastReported;
    return Messages();
  }

  // The alarm messages since the last marker, then a new marker.
  std::string Messages() {
    const int n = ++markers_;
    Alm_SendTextMsg("ZZ", n, "", "", "");
    std::string out;
    EXPECT_TRUE(WaitFor([&] {
      auto all = sim_->Alarms();
      for (size_t i = seenAlarms_; i < all.size(); ++i) {
        uint16_t number;
        std::memcpy(&number, &all[i][2], 2);
        if (all[i][0] == 'Z' && (all[i][8] & 7) == 2 && number == n) {
          for (size_t k = seenAlarms_; k < i; ++k) out += (out.empty() ? "" : "; ") + Describe(all[k]);
          seenAlarms_ = i + 1;
          return true;
        }
      }
      return false;
    })) << "marker " << n;
    return out;
  }

  // The logger codes and derived notices since the last marker, as
  // "codes | notices".
  std::string Triggers() {
    const uint32_t marker = kMarkerCode + uint32_t(++markers_);
    EXPECT_EQ(Sig_Send(sim_->LoggerPid(1), marker), 0);
    SigMailslot derived = Sig_OpenMailslot("derived");
    EXPECT_NE(derived, kSigNoMailslot);
    Sig_WriteAll(derived, "ZZ", 2);
    Sig_CloseMailslot(derived);
    std::string codes, notices;
    EXPECT_TRUE(WaitFor([&] {
      auto all = sim_->LoggerCodes();
      for (size_t i = seenCodes_; i < all.size(); ++i) {
        if (all[i].code != marker) continue;
        for (size_t k = seenCodes_; k < i; ++k) codes += (codes.empty() ? "" : " ") + std::to_string(all[k].code);
        seenCodes_ = i + 1;
        return true;
      }
      return false;
    }));
    EXPECT_TRUE(WaitFor([&] {
      auto all = sim_->DerivedNotices();
      for (size_t i = seenDerived_; i < all.size(); ++i) {
        if (all[i] != "ZZ") continue;
        for (size_t k = seenDerived_; k < i; ++k) notices += (notices.empty() ? "" : " ") + all[k];
        seenDerived_ = i + 1;
        return true;
      }
      return false;
    }));
    return codes + " | " + notices;
  }

  static bool WaitFor(const std::function<bool()>& done) {
    const int64_t end = plat::MonotonicMs() + kWaitMs;
    while (!done()) {
      if (plat::MonotonicMs() > end) return false;
      plat::SleepMs(1);
    }
    return true;
  }

  std::unique_ptr<cdxsim::Sim> sim_;
  uint8_t* values_ = nullptr;
  ChannelConfig cfg_{};
  int m_ = 0;
  uint32_t published_ = 0x20;
  float value_ = 0, raw_ = 0, lastReported_ = 0;
  bool first_ = true;
  int markers_ = 0;
  size_t seenAlarms_ = 0, seenCodes_ = 0, seenDerived_ = 0;
};

ChannelConfig Analog() {
  ChannelConfig c;
  std::memset(&c, 0, sizeof c);
  c.Type = kKindAI;
  Chan_SetFlag(&c, kAiEnable, true);
  c.analog.Gain = 1;
  c.analog.HighAlarmLimit = c.analog.HighWarningLimit = c.analog.HighEventLimit = 1e30f;
  c.analog.LowAlarmLimit = c.analog.LowWarningLimit = c.analog.LowEventLimit = -1e30f;
  c.analog.HighAlarmPriority = 5;
  c.analog.LowAlarmPriority = 3;
  c.analog.ErrorAlarmPriority = 7;
  return c;
}

ChannelConfig Digital() {
  ChannelConfig c;
  std::memset(&c, 0, sizeof c);
  c.Type = kKindDI;
  Chan_SetFlag(&c, kDiEnable, true);
  c.digital.AlarmPriority = 2;
  c.digital.ErrorAlarmPriority = 4;
  return c;
}

struct Step {
  Reading reading;
  std::string expect;
};
struct Row {
  const char* name;
  std::function<void(ChannelConfig&)> setup;
  std::vector<Step> steps;
  bool digital = false;
};

void RunTable(AlarmRules& t, const std::vector<Row>& rows, const std::function<std::string(Reading)>& scan) {
  for (const Row& row : rows) {
    ChannelConfig c = row.digital ? Digital() : Analog();
    row.setup(c);
    t.Follow(c);
    for (size_t i = 0; i < row.steps.size(); ++i)
      EXPECT_EQ(scan(row.steps[i].reading), row.steps[i].expect) << row.name << ", step " << i + 1;
  }
}

void On(ChannelConfig& c, std::initializer_list<int> flags) {
  for (int f : flags) Chan_SetFlag(&c, f, true);
}

// Each side's drive-common flag is that side's own, sent in flag bit 5 of
// the raised alarm only.
TEST_F(AlarmRules, DriveCommonFlagOfEachSide) {
  const std::vector<Row> rows = {
      {"high with its flag",
       [](ChannelConfig& c) {
         On(c, {kAiHighAlarmEnable, kAiHighAlarmDriveCommon, kAiLowAlarmEnable});
         c.analog.HighAlarmLimit = 100, c.analog.LowAlarmLimit = 10;
       },
       {{{50}, ""}, {{150}, "alarm ahc p5 150"}, {{50}, "clear ah 50"}, {{5}, "alarm a p3 5"}}},
      {"low with its flag",
       [](ChannelConfig& c) {
         On(c, {kAiHighAlarmEnable, kAiLowAlarmEnable, kAiLowAlarmDriveCommon});
         c.analog.HighAlarmLimit = 100, c.analog.LowAlarmLimit = 10;
       },
       {{{50}, ""}, {{5}, "alarm ac p3 5"}, {{150}, "clear a 150; alarm ah p5 150"}}},
      {"error alarm with its flag",
       [](ChannelConfig& c) {
         On(c, {kAiErrorAlarmEnable, kAiErrorAlarmDriveCommon, kAiHighAlarmEnable, kAiHighAlarmDriveCommon});
         c.analog.HighAlarmLimit = 100;
       },
       {{{50}, ""}, {Bad, "alarm ac p7 - bad"}, {{50}, "clear a 50 bad"}}},
      {"error alarm without its flag",
       [](ChannelConfig& c) { On(c, {kAiErrorAlarmEnable, kAiHighAlarmDriveCommon, kAiLowAlarmDriveCommon}); },
       {{{50}, ""}, {Bad, "alarm a p7 - bad"}}},
      {"digital alarm with its flag",
       [](ChannelConfig& c) { On(c, {kDiAlarmEnable, kDiAlarmState, kDiAlarmDriveCommon, kDiErrorAlarmEnable}); },
       {{{0}, ""}, {{1}, "alarm hc p2 -"}, {Bad, "clear h -; alarm p4 - bad"}},
       true},
      {"digital error alarm with its flag",
       [](ChannelConfig& c) { On(c, {kDiAlarmEnable, kDiErrorAlarmEnable, kDiErrorAlarmDriveCommon}); },
       {{{1}, ""}, {Bad, "alarm c p4 - bad"}, {{0}, "clear - bad; alarm p2 -"}},
       true},
  };
  RunTable(*this, rows, [this](Reading r) { return Scan(r); });
}

// An alarm holds inside its deadband and ends past it; a low deadband holds
// a low alarm only, never an error alarm.
TEST_F(AlarmRules, AlarmDeadbands) {
  const std::vector<Row> rows = {
      {"high deadband",
       [](ChannelConfig& c) {
         On(c, {kAiHighAlarmEnable, kAiHighAlarmDeadbandEnable});
         c.analog.HighAlarmLimit = 100, c.analog.HighAlarmDeadband = 90;
       },
       {{{50}, ""}, {{101}, "alarm ah p5 101"}, {{95}, ""}, {{90}, ""}, {{89}, "clear ah 89"}, {{95}, ""}}},
      {"low deadband",
       [](ChannelConfig& c) {
         On(c, {kAiLowAlarmEnable, kAiLowAlarmDeadbandEnable});
         c.analog.LowAlarmLimit = 20, c.analog.LowAlarmDeadband = 30;
       },
       {{{50}, ""}, {{15}, "alarm a p3 15"}, {{25}, ""}, {{30}, ""}, {{31}, "clear a 31"}, {{25}, ""}}},
      {"low without deadband",
       [](ChannelConfig& c) {
         On(c, {kAiLowAlarmEnable});
         c.analog.LowAlarmLimit = 20, c.analog.LowAlarmDeadband = 30;
       },
       {{{50}, ""}, {{15}, "alarm a p3 15"}, {{25}, "clear a 25"}}},
      {"error alarm then a value inside the low deadband",
       [](ChannelConfig& c) {
         On(c, {kAiLowAlarmEnable, kAiLowAlarmDeadbandEnable, kAiErrorAlarmEnable});
         c.analog.LowAlarmLimit = 20, c.analog.LowAlarmDeadband = 30;
       },
       {{{50}, ""}, {Bad, "alarm a p7 - bad"}, {{25}, "clear a 25 bad"}, {{15}, "alarm a p3 15"}}},
  };
  RunTable(*this, rows, [this](Reading r) { return Scan(r); });
}

// Warnings: a warning needs its alarm enabled, holds within the alarm's
// deadband width of its limit when the deadband is on, and carries the
// priority of its side.
TEST_F(AlarmRules, WarningDeadbands) {
  const std::vector<Row> rows = {
      {"high warning with deadband",
       [](ChannelConfig& c) {
         On(c, {kAiHighAlarmEnable, kAiHighWarningEnable, kAiHighAlarmDeadbandEnable});
         c.analog.HighAlarmLimit = 100, c.analog.HighAlarmDeadband = 90, c.analog.HighWarningLimit = 80;
       },
       {{{50}, ""}, {{85}, "warn ah p5 85"}, {{75}, ""}, {{70}, ""}, {{69}, "warnclear ah 69"}, {{75}, ""}}},
      {"high warning without deadband",
       [](ChannelConfig& c) {
         On(c, {kAiHighAlarmEnable, kAiHighWarningEnable});
         c.analog.HighAlarmLimit = 100, c.analog.HighAlarmDeadband = 90, c.analog.HighWarningLimit = 80;
       },
       {{{50}, ""}, {{85}, "warn ah p5 85"}, {{75}, "warnclear ah 75"}}},
      {"low warning with deadband",
       [](ChannelConfig& c) {
         On(c, {kAiLowAlarmEnable, kAiLowWarningEnable, kAiLowAlarmDeadbandEnable});
         c.analog.LowAlarmLimit = 20, c.analog.LowAlarmDeadband = 30, c.analog.LowWarningLimit = 40;
       },
       {{{60}, ""}, {{35}, "warn a p3 35"}, {{45}, ""}, {{50}, ""}, {{51}, "warnclear a 51"}, {{45}, ""}}},
      {"low warning without deadband",
       [](ChannelConfig& c) {
         On(c, {kAiLowAlarmEnable, kAiLowWarningEnable});
         c.analog.LowAlarmLimit = 20, c.analog.LowAlarmDeadband = 30, c.analog.LowWarningLimit = 40;
       },
       {{{60}, ""}, {{35}, "warn a p3 35"}, {{45}, "warnclear a 45"}}},
      {"warning without its alarm",
       [](ChannelConfig& c) {
         On(c, {kAiHighWarningEnable, kAiLowWarningEnable});
         c.analog.HighWarningLimit = 80, c.analog.LowWarningLimit = 40;
       },
       {{{50}, ""}, {{85}, ""}, {{35}, ""}}},
      {"high warning to low warning",
       [](ChannelConfig& c) {
         On(c, {kAiHighAlarmEnable, kAiHighWarningEnable, kAiLowAlarmEnable, kAiLowWarningEnable});
         c.analog.HighAlarmLimit = 100, c.analog.HighWarningLimit = 80;
         c.analog.LowAlarmLimit = 20, c.analog.LowWarningLimit = 40;
       },
       {{{50}, ""}, {{85}, "warn ah p5 85"}, {{35}, "warnclear ah 35; warn a p3 35"}}},
  };
  RunTable(*this, rows, [this](Reading r) { return Scan(r); });
}

// A change of the bad bit under an active alarm clears the alarm and raises
// it again with the other triple (error or the channel's own).
TEST_F(AlarmRules, BadBitChangeUnderAnActiveAlarm) {
  const std::vector<Row> rows = {
      {"analog low alarm goes bad and comes back",
       [](ChannelConfig& c) {
         On(c, {kAiLowAlarmEnable, kAiErrorAlarmEnable});
         c.analog.LowAlarmLimit = 20;
       },
       {{{50}, ""}, {{10}, "alarm a p3 10"}, {Bad, "clear a -; alarm a p7 - bad"}, {Bad, ""},
        {{10}, "clear a 10 bad; alarm a p3 10"}}},
      {"analog without error alarm",
       [](ChannelConfig& c) {
         On(c, {kAiHighAlarmEnable});
         c.analog.HighAlarmLimit = 100;
       },
       {{{50}, ""}, {{150}, "alarm ah p5 150"}, {Bad, "clear ah -"}, {{150}, "alarm ah p5 150"}}},
      {"digital alarm goes bad and comes back",
       [](ChannelConfig& c) { On(c, {kDiAlarmEnable, kDiAlarmState, kDiErrorAlarmEnable}); },
       {{{0}, ""}, {{1}, "alarm h p2 -"}, {Bad, "clear h -; alarm p4 - bad"}, {Bad, ""},
        {{1}, "clear - bad; alarm h p2 -"}},
       true},
      {"digital without error alarm",
       [](ChannelConfig& c) { On(c, {kDiAlarmEnable, kDiAlarmState}); },
       {{{0}, ""}, {{1}, "alarm h p2 -"}, {Bad, "clear h -"}, {{1}, "alarm h p2 -"}},
       true},
  };
  RunTable(*this, rows, [this](Reading r) { return Scan(r); });
}

// Event changes count the triggers of the loggers whose rows mark the
// channel (one code per batch), significant changes force them, and a batch
// that touched an event channel (row 0) notifies the derived-value
// processor once.
TEST_F(AlarmRules, EventRowsToTheLoggerAndDerived) {
  struct EventRow {
    const char* name;
    int channel;  // index; 0: logger and row 0, 1: row 0 only, 2: logger only
    std::function<void(ChannelConfig&)> setup;
    std::vector<Step> steps;
  };
  auto events = [](ChannelConfig& c) {
    On(c, {kAiEventEnable});
    c.analog.HighEventLimit = 100, c.analog.LowEventLimit = 10;
  };
  const std::vector<EventRow> rows = {
      {"event channel of the logger", 0, events,
       {{{50}, " | "}, {{150}, "200001 | QA"}, {{5}, " | QA"}, {{50}, "199999 | QA"}, {{60}, " | "}}},
      {"event channel of no logger", 1, events, {{{50}, " | "}, {{150}, " | QA"}, {{50}, " | QA"}}},
      {"logger channel outside row 0", 2, events, {{{50}, " | "}, {{150}, "200001 | "}, {{50}, "199999 | "}}},
      {"alarm on an event channel", 1,
       [](ChannelConfig& c) {
         On(c, {kAiHighAlarmEnable});
         c.analog.HighAlarmLimit = 100;
       },
       {{{50}, " | "}, {{150}, " | QA"}, {{140}, " | "}, {{50}, " | QA"}}},
      {"significant change forces the logger", 0,
       [](ChannelConfig& c) {
         On(c, {kAiSigChangeEnable});
         c.analog.SigChangeValue = 5;
       },
       {{{10}, " | "}, {{14}, " | "}, {{15}, std::to_string(0x80000000u + 200000u) + " | "}}},
      {"first scan announces an active event", 0, events, {{{150}, "200001 | QA"}, {{150}, " | "}}},
  };
  for (const EventRow& row : rows) {
    ChannelConfig c = Analog();
    row.setup(c);
    Follow(c, row.channel);
    for (size_t i = 0; i < row.steps.size(); ++i) {
      Scan(row.steps[i].reading);
      EXPECT_EQ(Triggers(), row.steps[i].expect) << row.name << ", step " << i + 1;
    }
  }
}

}  // namespace
