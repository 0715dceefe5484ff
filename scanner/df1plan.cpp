#include "scanner/df1plan.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/error.h"

namespace {

Df1Plan g_plan;
const volatile int* g_running = nullptr;

template <typename T>
T HardwareOf(const ChannelConfig& c, size_t at) {
  T h;
  std::memcpy(&h, reinterpret_cast<const uint8_t*>(&c) + at, sizeof h);
  return h;
}

}  // namespace

int Df1_OctalFromDigits(int n) {
  int result = 0;
  for (int divisor = 10000; divisor >= 1; divisor /= 10) {
    result = result * 8 + n / divisor;
    n %= divisor;
  }
  return result;
}

int Df1_CompareEntries(const void* a, const void* b) {
  const auto* x = static_cast<const Df1ReadEntry*>(a);
  const auto* y = static_cast<const Df1ReadEntry*>(b);
  if (x->node != y->node) return x->node < y->node ? -1 : 1;
  if (x->byteAddress != y->byteAddress) return x->byteAddress < y->byteAddress ? -1 : 1;
  return 0;
}

int Df1_ChannelKind(const ChannelConfig& c) { return c.Type; }

bool Df1_ChannelEnabled(const ChannelConfig& c) {
  uint32_t flags;
  std::memcpy(&flags, c.Flags, sizeof flags);
  return (flags & 1u) != 0;
}

uint8_t Df1_ChannelNode(const ChannelConfig& c) {
  return Chan_IsDigital(c.Type) ? HardwareOf<Df1DigitalHardware>(c, 192).Node
                                : HardwareOf<Df1AnalogHardware>(c, 188).Node;
}

uint16_t Df1_ChannelWordAddress(const ChannelConfig& c) {
  return Chan_IsDigital(c.Type) ? HardwareOf<Df1DigitalHardware>(c, 192).WordAddress
                                : HardwareOf<Df1AnalogHardware>(c, 188).WordAddress;
}

uint8_t Df1_ChannelBit(const ChannelConfig& c) { return HardwareOf<Df1DigitalHardware>(c, 192).Bit; }

void Df1_SetRunningFlag(const volatile int* running) { g_running = running; }
bool Df1_Running() { return !g_running || *g_running != 0; }

Df1Plan& Df1_CurrentPlan() { return g_plan; }

void Df1_ClearPlan() {
  g_plan.entries.clear();
  g_plan.entries.shrink_to_fit();
  g_plan.blocks.clear();
  g_plan.blocks.shrink_to_fit();
}

int Df1_PlanBlocks(const DeviceConfig*, int count, const ChannelConfig* channels) {
  Df1_ClearPlan();
  if (count <= 0 || !channels) return plat::Fail(plat::kErrInvalidData), -1;
  int enabled = 0;
  for (int i = 0; i < count; ++i) {
    if (!Df1_Running()) return plat::Fail(plat::kErrOperationAborted), -1;
    if (Df1_ChannelEnabled(channels[i])) ++enabled;
  }
  if (enabled == 0) return plat::Fail(plat::kErrInvalidData), -1;
  try {
    Df1Plan plan;
    plan.entries.reserve(static_cast<size_t>(enabled));
    for (int i = 0; i < count; ++i) {
      const ChannelConfig& c = channels[i];
      if (!Df1_ChannelEnabled(c)) continue;
      Df1ReadEntry e{};
      e.channel = static_cast<uint16_t>(i);
      e.node = static_cast<uint8_t>(Df1_OctalFromDigits(Df1_ChannelNode(c)));
      e.byteAddress = static_cast<uint16_t>(Df1_OctalFromDigits(Df1_ChannelWordAddress(c)) * 2);
      plan.entries.push_back(e);
    }
    std::qsort(plan.entries.data(), plan.entries.size(), sizeof(Df1ReadEntry), Df1_CompareEntries);

    const Df1ReadEntry* prev = nullptr;
    for (auto& e : plan.entries) {
      const bool fresh = !prev || e.node != prev->node || e.byteAddress > prev->byteAddress + kDf1MaxGapBytes ||
                         e.byteAddress - plan.blocks.back().start + 2 > kDf1MaxBlockBytes;
      if (fresh) {
        Df1ReadBlock b{};
        b.node = e.node;
        b.start = e.byteAddress;
        plan.blocks.push_back(std::move(b));
      }
      Df1ReadBlock& b = plan.blocks.back();
      e.block = static_cast<uint32_t>(plan.blocks.size() - 1);
      e.offset = static_cast<uint32_t>(e.byteAddress - b.start);
      b.size = static_cast<uint8_t>(e.byteAddress - b.start + 2);
      prev = &e;
    }
    for (auto& b : plan.blocks) b.reply.assign(static_cast<size_t>(b.size) + kDf1ReplyHeader, 0);
    g_plan = std::move(plan);
  } catch (const std::bad_alloc&) {
    Df1_ClearPlan();
    return plat::Fail(plat::kErrNotEnoughMemory), -1;
  }
  return 0;
}
