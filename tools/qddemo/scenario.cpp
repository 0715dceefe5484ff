#include "tools/qddemo/scenario.h"

#include <cstring>

namespace qddemo {

int ByteAddress(int wordDigits) {
  int octal = 0, mul = 1;
  for (int n = wordDigits; n > 0; n /= 10, mul *= 8) octal += (n % 10) * mul;
  return octal * 2;
}

uint16_t Bcd(int v) { return uint16_t(((v / 100) % 10) << 8 | ((v / 10) % 10) << 4 | (v % 10)); }

std::string Description() {
  return "errors  entries=16\n"
         "driver  name=ALARM prefix=AL\n"
         "driver  name=DERIVED prefix=DV\n"
         "device  type=qd number=1 name=demo1 process=qd_demo1 ai=QA scanrate=500\n"
         "module  prefix=QA channels=16 kind=8 records=1\n"
         "logger  name=LOG1 triggers=QA:5\n";
}

namespace {

ChannelConfig Chan(int kind, int node, int word, int bit, const char* tag, const char* desc, const char* units) {
  ChannelConfig c;
  std::memset(&c, 0, sizeof c);
  c.Type = uint8_t(kind);
  Chan_SetFlag(&c, 7, true);  // Enable
  Chan_SetTag(&c, tag);
  Chan_SetDescription(&c, desc);
  uint8_t* raw = reinterpret_cast<uint8_t*>(&c);
  uint16_t w = uint16_t(word);
  if (kind & 1) {
    raw[192] = uint8_t(node);
    std::memcpy(raw + 194, &w, 2);
    raw[196] = uint8_t(bit);
    std::strncpy(c.digital.HighStateText, units, sizeof c.digital.HighStateText);
  } else {
    raw[188] = uint8_t(node);
    std::memcpy(raw + 190, &w, 2);
    c.analog.Gain = 1;
    Chan_SetUnits(&c, units);
  }
  return c;
}

}  // namespace

std::vector<ChannelConfig> Channels() {
  std::vector<ChannelConfig> c;
  // Node 1: a tank and its pump.
  c.push_back(Chan(kKindAI, 1, 10, 0, "FLOW1", "Inlet flow", "m3/h"));
  Chan_SetFlag(&c.back(), kAiScalingEnable, true);
  c.back().analog.Gain = 0.5f;
  c.push_back(Chan(kKindAI, 1, 11, 0, "LEVEL1", "Tank level", "%"));
  Chan_SetFlag(&c.back(), kAiHighAlarmEnable, true);
  Chan_SetFlag(&c.back(), kAiHighAlarmDeadbandEnable, true);
  Chan_SetFlag(&c.back(), kAiHighWarningEnable, true);
  c.back().analog.HighAlarmLimit = 100;
  c.back().analog.HighAlarmDeadband = 90;
  c.back().analog.HighWarningLimit = 85;
  c.back().analog.HighAlarmPriority = 5;
  c.push_back(Chan(kKindAO, 1, 12, 0, "SETPT1", "Level set point", "%"));
  c.push_back(Chan(kKindDO, 1, 13, 0, "PUMP1", "Inlet pump", "RUN"));
  std::strncpy(c.back().digital.LowStateText, "STOP", 32);
  c.push_back(Chan(kKindDI, 1, 13, 3, "HILEVEL", "High level switch", "HIGH"));
  Chan_SetFlag(&c.back(), kDiEventEnable, true);
  Chan_SetFlag(&c.back(), kDiEventState, true);
  std::strncpy(c.back().digital.LowStateText, "NORMAL", 32);
  c.push_back(Chan(kKindCI, 1, 14, 0, "STARTS1", "Pump starts", "count"));
  c.push_back(Chan(kKindAI, 1, 15, 0, "PRESS1", "Outlet pressure", "bar"));
  Chan_SetFlag(&c.back(), kAiScalingEnable, true);
  c.back().analog.Gain = 0.01f;
  c.push_back(Chan(kKindDI, 1, 13, 1, "DOOR1", "Panel door", "OPEN"));
  std::strncpy(c.back().digital.LowStateText, "CLOSED", 32);
  // Node 2: a heat exchanger.
  const char* temps[] = {"TEMP1", "TEMP2", "TEMP3", "TEMP4"};
  for (int i = 0; i < 4; ++i) c.push_back(Chan(kKindAI, 2, 20 + i, 0, temps[i], "Exchanger temperature", "degC"));
  const char* valves[] = {"VALVE1", "VALVE2", "VALVE3", "VALVE4"};
  for (int i = 0; i < 4; ++i) {
    c.push_back(Chan(kKindDI, 2, 24, i, valves[i], "Bypass valve", "OPEN"));
    std::strncpy(c.back().digital.LowStateText, "SHUT", 32);
  }
  return c;
}

void LoadImage(df1sim::Simulator& plc) {
  plc.SetWord(1, ByteAddress(10), Bcd(240));
  plc.SetWord(1, ByteAddress(11), Bcd(60));
  plc.SetWord(1, ByteAddress(12), Bcd(80));
  plc.SetWord(1, ByteAddress(13), 0x0001);
  plc.SetWord(1, ByteAddress(14), Bcd(17));
  plc.SetWord(1, ByteAddress(15), Bcd(350));
  for (int i = 0; i < 4; ++i) plc.SetWord(2, ByteAddress(20 + i), Bcd(40 + 7 * i));
  plc.SetWord(2, ByteAddress(24), 0x0005);
}

std::string Step(df1sim::Simulator& plc, int n) {
  int k = n % kScenarioScans;
  // LEVEL1: 60 up to 110 in steps of 5, then back down to 60.
  int level = k <= 10 ? 60 + 5 * k : (k <= 20 ? 110 - 5 * (k - 10) : 60);
  plc.SetWord(1, ByteAddress(11), Bcd(level));
  plc.SetWord(1, ByteAddress(13), level >= 100 ? 0x0009 : 0x0001);  // the high-level switch follows
  for (int i = 0; i < 4; ++i) plc.SetWord(2, ByteAddress(20 + i), Bcd(40 + 7 * i + (n % 5)));
  if (k == 24) {
    plc.SetFault(2, df1sim::Fault::kSilent, df1sim::kAlways);
    return "scenario: node 2 stops answering";
  }
  if (k == 29) {
    plc.ClearFaults(2);
    return "scenario: node 2 is back";
  }
  if (k == 1) return "scenario: LEVEL1 starts rising towards its high alarm (100 %)";
  return "";
}

}  // namespace qddemo
