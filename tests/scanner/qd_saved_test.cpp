// Saved values files: layout, restore by position and by tag, failures.
#include "scanner/qd_saved.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "platform/error.h"
#include "platform/root.h"

namespace {

ChannelConfig Channel(int kind, const char* tag, bool enabled = true) {
  ChannelConfig c;
  std::memset(&c, 0, sizeof c);
  c.Type = uint8_t(kind);
  Chan_SetFlag(&c, 7, enabled);
  Chan_SetTag(&c, tag);
  return c;
}

uint32_t Bits(float f) {
  uint32_t b;
  std::memcpy(&b, &f, 4);
  return b;
}

std::vector<uint8_t> Read(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

class SavedValues : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = plat::Root() + "/saved-" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::filesystem::create_directories(dir_);
    setenv("CDX_SAVED_VALUES", dir_.c_str(), 1);
  }
  std::string Bin() { return dir_ + "/plc1_ao.bin"; }
  std::string Tag() { return dir_ + "/plc1_ao.tag"; }
  std::string dir_;
};

TEST_F(SavedValues, FilesHoldTagsAndValuesPerChannel) {
  std::vector<ChannelConfig> ch = {Channel(kKindAO, "A_FIFTEEN_CHARS"), Channel(kKindAO, "OFF", false),
                                   Channel(kKindDO, "VALVE")};
  uint32_t values[3] = {Bits(1.5f), Bits(2.5f), 0x21};
  ASSERT_EQ(SavedValues_Write("plc1", 2, values, ch.data(), 3), 0);
  std::vector<uint8_t> bin = Read(Bin()), tag = Read(Tag());
  ASSERT_EQ(bin.size(), 48u);
  ASSERT_EQ(tag.size(), 45u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&bin[0]), 12), "A_FIFTEEN_CH");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&tag[0]), 15), "A_FIFTEEN_CHARS");
  EXPECT_EQ(bin[16], 0);  // disabled: empty tag
  EXPECT_EQ(tag[15], 0);
  uint32_t v;
  std::memcpy(&v, &bin[12], 4);
  EXPECT_EQ(v, Bits(1.5f));
  std::memcpy(&v, &bin[44], 4);
  EXPECT_EQ(v, 0x21u);
  for (const auto& e : std::filesystem::directory_iterator(dir_))
    EXPECT_EQ(e.path().extension() == ".tmp", false) << e.path();
}

TEST_F(SavedValues, RestoreByPositionAndByTag) {
  std::vector<ChannelConfig> saved = {Channel(kKindAO, "A_FIFTEEN_CHARS"), Channel(kKindAO, "B"),
                                      Channel(kKindDO, "C")};
  uint32_t values[3] = {Bits(1.5f), Bits(2.5f), 0x21};
  ASSERT_EQ(SavedValues_Write("plc1", 2, values, saved.data(), 3), 0);

  // The configuration was reordered since.
  std::vector<ChannelConfig> now = {Channel(kKindDO, "C"), Channel(kKindAO, "a_fifteen_chars"),
                                    Channel(kKindAO, "B")};
  uint32_t byPos[3] = {7, 7, 7};
  ASSERT_EQ(SavedValues_Restore("plc1", 2, false, byPos, now.data(), 3), 0);
  EXPECT_EQ(byPos[0], Bits(1.5f) & 1u);  // a digital channel takes bit 0 only
  EXPECT_EQ(byPos[1], Bits(2.5f));
  EXPECT_EQ(byPos[2], 0x21u);

  uint32_t byTag[3] = {7, 7, 7};
  ASSERT_EQ(SavedValues_Restore("plc1", 2, true, byTag, now.data(), 3), 0);
  EXPECT_EQ(byTag[0], 1u);  // 0x21: state 1
  EXPECT_EQ(byTag[1], Bits(1.5f));  // matched through the full tag, case ignored
  EXPECT_EQ(byTag[2], Bits(2.5f));
}

TEST_F(SavedValues, FailuresOfRestore) {
  std::vector<ChannelConfig> ch = {Channel(kKindAO, "A"), Channel(kKindAO, "B")};
  uint32_t target[2] = {9, 9};
  EXPECT_EQ(SavedValues_Restore("plc1", 2, false, target, ch.data(), 2), -1);
  EXPECT_EQ(errno, 2);
  EXPECT_EQ(target[0], 9u);  // a missing file leaves the target as it was

  uint32_t one = Bits(4.0f);
  ASSERT_EQ(SavedValues_Write("plc1", 2, &one, ch.data(), 1), 0);
  EXPECT_EQ(SavedValues_Restore("plc1", 2, false, target, ch.data(), 2), -1);
  EXPECT_EQ(target[0], Bits(4.0f));
  EXPECT_EQ(target[1], 0u);  // after the short record: 0
}

TEST_F(SavedValues, RewriteReplacesALongerFileWhole) {
  std::vector<ChannelConfig> ch(4, Channel(kKindAO, "X"));
  uint32_t four[4] = {1, 2, 3, 4};
  ASSERT_EQ(SavedValues_Write("plc1", 2, four, ch.data(), 4), 0);
  ASSERT_EQ(SavedValues_Write("plc1", 2, four, ch.data(), 2), 0);
  EXPECT_EQ(Read(Bin()).size(), 32u);
  EXPECT_EQ(Read(Tag()).size(), 30u);
}

TEST_F(SavedValues, UpdateWritesOnlyChangedEnabledChannels) {
  std::vector<ChannelConfig> ch = {Channel(kKindAO, "A"), Channel(kKindAO, "B", false), Channel(kKindDO, "C")};
  uint32_t oldv[3] = {1, 2, 0x20};
  ASSERT_EQ(SavedValues_Update("plc1", 2, oldv, oldv, ch.data(), 3), 0);  // no file: written whole
  ASSERT_EQ(Read(Bin()).size(), 48u);
  uint32_t newv[3] = {5, 6, 0x21};
  ASSERT_EQ(SavedValues_Update("plc1", 2, oldv, newv, ch.data(), 3), 0);
  uint32_t back[3];
  std::vector<ChannelConfig> all = {Channel(kKindAO, "A"), Channel(kKindAO, "B"), Channel(kKindAO, "C")};
  ASSERT_EQ(SavedValues_Restore("plc1", 2, false, back, all.data(), 3), 0);
  EXPECT_EQ(back[0], 5u);
  EXPECT_EQ(back[1], 2u);  // disabled: not rewritten
  EXPECT_EQ(back[2], 0x21u);
}

TEST_F(SavedValues, UnresolvableDirectoryFails) {
  setenv("CDX_SAVED_VALUES", (dir_ + "/missing/deeper").c_str(), 1);
  std::vector<ChannelConfig> ch = {Channel(kKindAO, "A")};
  uint32_t v = 1;
  EXPECT_EQ(SavedValues_Write("plc1", 2, &v, ch.data(), 1), -1);
  EXPECT_NE(errno, 0);
}

// A pid that no process has any more.
pid_t DeadPid() {
  const pid_t pid = fork();
  if (pid == 0) _exit(0);
  waitpid(pid, nullptr, 0);
  return pid;
}

// A link planted under a temporary name is never followed (the file it
// points to keeps its content), and what a killed writer left beside the
// files is removed by the next save, while a running writer's stays.
TEST_F(SavedValues, TemporariesFollowNoLinkAndStaleOnesAreRemoved) {
  const std::string victim = dir_ + "/victim";
  { std::ofstream(victim) << "precious"; }
  for (const std::string& f : {Bin(), Tag()})
    std::filesystem::create_symlink(victim, f + ".tmp");
  const std::string stale = Bin() + "." + std::to_string(DeadPid()) + ".k3J9aQ.tmp";
  const std::string running = Bin() + ".1.k3J9aQ.tmp";  // init never ends
  { std::ofstream(stale) << "left"; }
  { std::ofstream(running) << "busy"; }

  std::vector<ChannelConfig> ch = {Channel(kKindAO, "A")};
  uint32_t v = Bits(3.0f);
  ASSERT_EQ(SavedValues_Write("plc1", 2, &v, ch.data(), 1), 0);
  std::ifstream in(victim);
  std::string content((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(content, "precious");
  EXPECT_EQ(Read(Bin()).size(), 16u);
  EXPECT_FALSE(std::filesystem::exists(stale));
  EXPECT_TRUE(std::filesystem::exists(running));
  std::vector<std::string> left;
  for (const auto& e : std::filesystem::directory_iterator(dir_)) left.push_back(e.path().filename());
  EXPECT_EQ(left.size(), 6u) << "victim, two links, the running writer's temporary, .bin, .tag";
}

// A device name becomes part of the file names: one that would reach
// another directory is refused with 123 and writes nothing anywhere.
TEST_F(SavedValues, DeviceNamesThatAreNoPlainNamesAreRefused) {
  std::vector<ChannelConfig> ch = {Channel(kKindAO, "A")};
  uint32_t v = 1;
  for (const char* name : {"../ESC7", "a/b", "..", "/etc/x", "a\\b"}) {
    SCOPED_TRACE(name);
    errno = 0;
    EXPECT_EQ(SavedValues_Write(name, 2, &v, ch.data(), 1), -1);
    EXPECT_EQ(plat::GetLastError(), 123u);
    EXPECT_EQ(SavedValues_Update(name, 2, &v, &v, ch.data(), 1), -1);
    EXPECT_EQ(plat::GetLastError(), 123u);
    EXPECT_EQ(SavedValues_Restore(name, 2, false, &v, ch.data(), 1), -1);
    EXPECT_EQ(plat::GetLastError(), 123u);
  }
  EXPECT_FALSE(std::filesystem::exists(plat::Root() + "/ESC7_ao.bin"));
  EXPECT_TRUE(std::filesystem::is_empty(dir_));
}

// A writer killed at any moment of its saves: a restore by tag gets the
// values of one save with that save's tags, never a mix. The two saves
// alternated put the same tags on channels shifted by one, and the tags
// agree in their first 12 characters, so only the full tags tell them apart.
TEST_F(SavedValues, KillsDuringSavesNeverMixValuesAndTagsOfTwoSaves) {
  constexpr int kN = 8;
  auto tagOf = [](int i) {
    char t[16];
    std::snprintf(t, sizeof t, "ABCDEFGHIJKL%03d", i);
    return std::string(t);
  };
  std::vector<std::string> names;
  for (int i = 0; i < kN; ++i) names.push_back(tagOf(i));
  std::vector<ChannelConfig> first, second, now;
  uint32_t firstValues[kN], secondValues[kN];
  for (int i = 0; i < kN; ++i) {
    first.push_back(Channel(kKindAO, names[i].c_str()));
    firstValues[i] = 1000 + i;
    second.push_back(Channel(kKindAO, names[(i + 1) % kN].c_str()));
    secondValues[i] = 2000 + (i + 1) % kN;
    now.push_back(Channel(kKindAO, names[i].c_str()));
  }
  ASSERT_EQ(SavedValues_Write("plc1", 2, firstValues, first.data(), kN), 0);
  unsigned seed = 29;
  int seenFirst = 0, seenSecond = 0;
  for (int round = 0; round < 150; ++round) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (int i = 0;; ++i) {
        if (i % 2 == 0)
          SavedValues_Write("plc1", 2, secondValues, second.data(), kN);
        else
          SavedValues_Write("plc1", 2, firstValues, first.data(), kN);
      }
    }
    ::usleep(200 + rand_r(&seed) % 3000);
    ::kill(child, SIGKILL);
    int status;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    uint32_t got[kN];
    ASSERT_EQ(SavedValues_Restore("plc1", 2, true, got, now.data(), kN), 0);
    // Each channel has its own value of one save, or (when the full tags of
    // the surviving ".bin" were overwritten by the next save's) nothing:
    // its cut tag fits every channel.
    uint32_t base = 0;
    for (int k = 0; k < kN; ++k) {
      if (got[k] == 0) continue;
      const uint32_t b = got[k] >= 2000 ? 2000 : 1000;
      if (!base) base = b;
      ASSERT_EQ(b, base) << "round " << round << ": values of two saves, channel " << k;
      ASSERT_EQ(got[k], base + k) << "round " << round << ": a value on another channel, channel " << k;
    }
    if (base == 1000) ++seenFirst;
    if (base == 2000) ++seenSecond;
  }
  EXPECT_GT(seenFirst + seenSecond, 0);
}

// Without a ".tag" of the same save, tags cut to 12 characters still find
// their channel when only one channel starts with them.
TEST_F(SavedValues, RestoreByCutTagsWhenTheTagFileIsAnotherSaves) {
  std::vector<ChannelConfig> saved = {Channel(kKindAO, "PUMP_STATION_1"), Channel(kKindAO, "VALVE_A")};
  uint32_t values[2] = {11, 22};
  ASSERT_EQ(SavedValues_Write("plc1", 2, values, saved.data(), 2), 0);
  // A newer ".tag" of another configuration, as a kill between the renames leaves it.
  {
    std::ofstream t(Tag(), std::ios::binary | std::ios::trunc);
    t.write("OTHER_TAG_XXXXVALVE_A\0\0\0\0\0\0\0\0\0", 30);
  }
  std::vector<ChannelConfig> now = {Channel(kKindAO, "VALVE_A"), Channel(kKindAO, "PUMP_STATION_1")};
  uint32_t got[2] = {7, 7};
  ASSERT_EQ(SavedValues_Restore("plc1", 2, true, got, now.data(), 2), 0);
  EXPECT_EQ(got[0], 22u);
  EXPECT_EQ(got[1], 11u);
}

}  // namespace
