#include "scanner/aipath.h"

#include "platform/error.h"
#include "scanner/df1link.h"
#include "scanner/df1plan.h"
#include "scanner/df1read.h"

namespace {

AiPathBinding g_bind;
std::vector<AiHeldOutput> g_digital;
std::vector<AiHeldOutput> g_analog;
bool g_firstInit = true;
int g_rearm = 1;  // retry count + 1

bool ModuleState(uint16_t ch) { return g_bind.moduleStatus && (g_bind.moduleStatus[ch] & kStatusState) != 0; }
float ModuleValue(uint16_t ch) { return g_bind.moduleValues ? g_bind.moduleValues[ch] : 0.0f; }

}  // namespace

void Ai_Bind(const AiPathBinding& binding) { g_bind = binding; }
const std::vector<AiHeldOutput>& Ai_DigitalOutputs() { return g_digital; }
const std::vector<AiHeldOutput>& Ai_AnalogOutputs() { return g_analog; }
void Ai_ResetFirstInit() { g_firstInit = true; }

int Path_InitAi(DeviceConfig* device, uint16_t count, ChannelConfig* channels) {
  g_rearm = (device ? device->Comm.RetryCount : 0) + 1;
  g_digital.clear();
  g_analog.clear();
  for (uint16_t i = 0; i < count; ++i) {
    if (!Df1_ChannelEnabled(channels[i])) continue;
    const int kind = Df1_ChannelKind(channels[i]);
    if (kind == kKindDO) g_digital.push_back({i, g_rearm});
    if (kind == kKindAO) g_analog.push_back({i, g_rearm});
  }
  if (g_firstInit && g_bind.savedValues) {
    for (const auto& o : g_digital) g_bind.savedValues[o.channel] = ModuleState(o.channel) ? 1.0f : 0.0f;
    for (const auto& o : g_analog) g_bind.savedValues[o.channel] = ModuleValue(o.channel);
  }
  if (Df1_PlanBlocks(device, count, channels) != 0) return -1;
  g_firstInit = false;
  return 0;
}

int Path_ScanAi(DeviceConfig* device, uint16_t count, ChannelConfig* channels, uint32_t* status, float* values) {
  float* last = g_bind.savedValues;
  ComPort port = Com_Port();
  if (last) {
    for (auto& o : g_digital) {
      const bool wanted = ModuleState(o.channel);
      if (wanted != (last[o.channel] != 0.0f)) {
        if (Df1_WriteDigitalOutput(port, o.channel, &channels[o.channel], wanted) == -1)
          o.hold = o.hold > 0 ? o.hold - 1 : 0;
        else
          o.hold = 0;
      }
    }
    for (auto& o : g_analog) {
      const float wanted = ModuleValue(o.channel);
      if (wanted != last[o.channel]) {
        if (Df1_WriteAnalogOutput(port, o.channel, &channels[o.channel], &wanted) == -1)
          o.hold = o.hold > 0 ? o.hold - 1 : 0;
        else
          o.hold = 0;
      }
    }
  }
  if (Df1_ReadBlocks(port, device, count, channels, status, values) != 0) return -1;
  if (last) {
    for (auto& o : g_digital) {
      const bool wanted = ModuleState(o.channel);
      if (wanted != (last[o.channel] != 0.0f) && o.hold != 0) {
        status[o.channel] = (status[o.channel] & ~kStatusState) | (wanted ? kStatusState : 0);
      } else {
        last[o.channel] = (status[o.channel] & kStatusState) ? 1.0f : 0.0f;
        o.hold = g_rearm;
      }
    }
    for (auto& o : g_analog) {
      const float wanted = ModuleValue(o.channel);
      if (wanted != last[o.channel] && o.hold != 0) {
        values[o.channel] = wanted;
      } else {
        last[o.channel] = values[o.channel];
        o.hold = g_rearm;
      }
    }
  }
  return 0;
}
