#include "scanner/df1plan.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <tuple>
#include <vector>

#include "scanner/channels.h"

namespace {

TEST(Df1Octal, DigitsMeantAsOctal) {
  const std::pair<int, int> cases[] = {
      {0, 0}, {7, 7}, {10, 8}, {17, 15}, {100, 64}, {377, 255}, {8, 8}, {9, 9}, {18, 16}, {99, 81}, {77777, 32767},
      {12345, 5349},
  };
  for (auto [in, out] : cases) EXPECT_EQ(Df1_OctalFromDigits(in), out) << in;
}

struct BlockWant {
  int node;
  int start;
  int size;
};

// Plans channels of analog kind 0 at the given (node digits, word digits).
std::vector<BlockWant> Plan(const std::vector<std::pair<int, int>>& at) {
  std::vector<ChannelConfig> ch;
  for (auto [node, word] : at) ch.push_back(MakeChannel(0, node, word));
  EXPECT_EQ(Df1_PlanBlocks(nullptr, static_cast<int>(ch.size()), ch.data()), 0);
  std::vector<BlockWant> got;
  for (const auto& b : Df1_CurrentPlan().blocks) got.push_back({b.node, b.start, b.size});
  return got;
}

bool operator==(const BlockWant& a, const BlockWant& b) {
  return std::tie(a.node, a.start, a.size) == std::tie(b.node, b.start, b.size);
}
void PrintTo(const BlockWant& b, std::ostream* os) { *os << "{" << b.node << "," << b.start << "," << b.size << "}"; }

// Word digits for a byte address (byte / 2 written in octal digits).
int Digits(int byteAddress) {
  int w = byteAddress / 2, d = 0, m = 1;
  while (w) {
    d += (w % 8) * m;
    w /= 8;
    m *= 10;
  }
  return d;
}

TEST(Df1Plan, BlockGrouping) {
  struct Case {
    const char* name;
    std::vector<std::pair<int, int>> at;
    std::vector<BlockWant> blocks;
  };
  const Case cases[] = {
      {"gap of 110", {{1, 10}, {1, 11}, {1, 100}}, {{1, 16, 4}, {1, 128, 2}}},
      {"gap of exactly 50 joins", {{1, Digits(0)}, {1, Digits(50)}}, {{1, 0, 52}}},
      // Byte addresses are even, so the first gap above 50 is 52.
      {"gap of 52 splits", {{1, Digits(0)}, {1, Digits(52)}}, {{1, 0, 2}, {1, 52, 2}}},
      {"243-byte span",
       {{1, Digits(0)}, {1, Digits(50)}, {1, Digits(100)}, {1, Digits(150)}, {1, Digits(200)}, {1, Digits(242)}},
       {{1, 0, 202}, {1, 242, 2}}},
      {"span of 242 bytes fits", {{1, Digits(0)}, {1, Digits(40)}, {1, Digits(90)}, {1, Digits(140)}, {1, Digits(190)}, {1, Digits(240)}},
       {{1, 0, 242}}},
      {"same word, two nodes, ordered by node", {{3, 10}, {2, 10}}, {{2, 16, 2}, {3, 16, 2}}},
      {"node digits are octal", {{17, 0}}, {{15, 0, 2}}},
      {"unsorted input, duplicates", {{1, 12}, {1, 10}, {1, 12}}, {{1, 16, 6}}},
  };
  for (const auto& c : cases) EXPECT_EQ(Plan(c.at), c.blocks) << c.name;
}

TEST(Df1Plan, EntriesKnowTheirBlockAndOffset) {
  std::vector<ChannelConfig> ch = {MakeChannel(0, 1, 100), MakeChannel(1, 1, 10, 3), MakeChannel(0, 1, 12),
                                   MakeChannel(0, 1, 11, 0, false), MakeChannel(3, 2, 0, 15)};
  ASSERT_EQ(Df1_PlanBlocks(nullptr, 5, ch.data()), 0);
  const auto& p = Df1_CurrentPlan();
  ASSERT_EQ(p.entries.size(), 4u);  // the disabled channel is left out
  ASSERT_EQ(p.blocks.size(), 3u);
  // Sorted: node 1 @16 (ch 1), @20 (ch 2), @128 (ch 0); node 2 @0 (ch 4).
  const int wantChannel[] = {1, 2, 0, 4};
  const int wantBlock[] = {0, 0, 1, 2};
  const int wantOffset[] = {0, 4, 0, 0};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(p.entries[i].channel, wantChannel[i]) << i;
    EXPECT_EQ(p.entries[i].block, static_cast<uint32_t>(wantBlock[i])) << i;
    EXPECT_EQ(p.entries[i].offset, static_cast<uint32_t>(wantOffset[i])) << i;
  }
  EXPECT_EQ(p.blocks[0].size, 6);
  for (const auto& b : p.blocks) {
    EXPECT_EQ(b.reply.size(), b.size + 6u);
    EXPECT_EQ(b.bad, 0);
    for (uint8_t x : b.reply) EXPECT_EQ(x, 0);
  }
}

TEST(Df1Plan, NothingToPlanFails) {
  std::vector<ChannelConfig> off = {MakeChannel(0, 1, 10, 0, false), MakeChannel(1, 1, 10, 0, false)};
  errno = 0;
  EXPECT_EQ(Df1_PlanBlocks(nullptr, 2, off.data()), -1);
  EXPECT_NE(errno, 0);
  EXPECT_TRUE(Df1_CurrentPlan().blocks.empty());
  EXPECT_EQ(Df1_PlanBlocks(nullptr, 0, off.data()), -1);
  // A stop request while planning.
  volatile int running = 0;
  Df1_SetRunningFlag(&running);
  std::vector<ChannelConfig> on = {MakeChannel(0, 1, 10)};
  EXPECT_EQ(Df1_PlanBlocks(nullptr, 1, on.data()), -1);
  Df1_SetRunningFlag(nullptr);
  EXPECT_EQ(Df1_PlanBlocks(nullptr, 1, on.data()), 0);
}

}  // namespace
