#include "cdxlib/config/configfiles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <functional>
#include <signal.h>
#include <vector>

#include "cdxlib/config/xmlconfig.h"
#include "platform/debugout.h"
#include "platform/error.h"
#include "support/child.h"

namespace fs = std::filesystem;

namespace {

int OpenFdCount() {
  int n = 0;
  for (auto& e : fs::directory_iterator("/proc/self/fd")) (void)e, ++n;
  return n;
}

std::vector<unsigned char> ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::vector<unsigned char>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

ChannelConfig Channel(int i) {
  ChannelConfig c;
  memset(&c, 0, sizeof c);
  c.Type = kKindAI;
  Chan_SetTag(&c, ("TAG" + std::to_string(i)).c_str());
  c.analog.Gain = static_cast<float>(i) + 0.5f;
  memset(c.analog.Hardware, i + 1, sizeof c.analog.Hardware);
  return c;
}

class ConfigFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("cfgtest-" + std::to_string(getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    fds_ = OpenFdCount();
  }
  void TearDown() override {
    EXPECT_EQ(OpenFdCount(), fds_) << "a file handle was left open";
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  const char* Dir() { return dirStr_ = dir_.string(), dirStr_.c_str(); }
  fs::path dir_;
  std::string dirStr_;
  int fds_ = 0;
};

TEST_F(ConfigFiles, ChannelRangesRoundTripAndKeepOtherRecords) {
  std::vector<ChannelConfig> all;
  for (int i = 0; i < 5; ++i) all.push_back(Channel(i));
  ASSERT_EQ(Cfg_SaveChannels("op", Dir(), kKindAI, all.data(), 0, 5, nullptr, 0, nullptr), 0);
  EXPECT_EQ(fs::file_size(dir_ / "ai"), 8 + 5 * 216u);

  // Channels 10..14 into a file of 5: positions 5..9 read back as zeros.
  std::vector<ChannelConfig> later;
  for (int i = 10; i < 15; ++i) later.push_back(Channel(i));
  ASSERT_EQ(Cfg_SaveChannels("op", Dir(), kKindAI, later.data(), 10, 5, nullptr, 0, nullptr), 0);
  std::vector<ChannelConfig> back(15);
  ASSERT_EQ(Cfg_LoadChannels(Dir(), kKindAI, back.data(), 0, 15, nullptr, 0, nullptr), 0);
  ChannelConfig zero;
  memset(&zero, 0, sizeof zero);
  for (int i = 0; i < 15; ++i) {
    const ChannelConfig& expect = i < 5 ? all[i] : i < 10 ? zero : later[i - 10];
    EXPECT_EQ(memcmp(&back[i], &expect, sizeof expect), 0) << "channel " << i;
  }

  // A range in the middle changes only its records.
  ChannelConfig mid = Channel(77);
  ASSERT_EQ(Cfg_RewriteChannels(nullptr, Dir(), kKindAI, &mid, 2, 1, nullptr, 0, nullptr), 0);
  ASSERT_EQ(Cfg_LoadChannels(Dir(), kKindAI, back.data(), 1, 3, nullptr, 0, nullptr), 0);
  EXPECT_EQ(memcmp(&back[0], &all[1], sizeof mid), 0);
  EXPECT_EQ(memcmp(&back[1], &mid, sizeof mid), 0);
  EXPECT_EQ(memcmp(&back[2], &all[3], sizeof mid), 0);

  // The header is the save time, local wall clock, last two bytes zero.
  const auto bytes = ReadFile(dir_ / "ai");
  ConfigFileHeader h;
  memcpy(&h, bytes.data(), sizeof h);
  TimeStamp now{};
  Time_NowLocal(&now);
  EXPECT_LE(std::abs(now.seconds - h.Saved.seconds), 5);
  EXPECT_EQ(h.Saved.microseconds, 0);
}

TEST_F(ConfigFiles, SavingTheSameRecordsTwiceDiffersOnlyInTheHeader) {
  std::vector<ChannelConfig> all;
  for (int i = 0; i < 3; ++i) all.push_back(Channel(i));
  ASSERT_EQ(Cfg_SaveChannels("a", Dir(), kKindDI, all.data(), 0, 3, nullptr, 0, nullptr), 0);
  auto first = ReadFile(dir_ / "di");
  usleep(2000);
  ASSERT_EQ(Cfg_SaveChannels("b", Dir(), kKindDI, all.data(), 0, 3, nullptr, 0, nullptr), 0);
  auto second = ReadFile(dir_ / "di");
  ASSERT_EQ(first.size(), second.size());
  EXPECT_TRUE(std::equal(first.begin() + 8, first.end(), second.begin() + 8));
}

// A save touches the configuration root's "config" (the directory above
// the one saved), whatever the current directory is; its byte is kept. A
// root without "config" is no failure.
TEST_F(ConfigFiles, SavesTouchTheRootConfigBesideTheSavedDirectory) {
  const fs::path device = dir_ / "plc_1";
  fs::create_directories(device);
  const fs::path root = dir_ / "config";
  std::ofstream(root, std::ios::binary) << '\x01';
  const auto old = fs::file_time_type::clock::now() - std::chrono::hours(24);
  ASSERT_NE(fs::current_path(), dir_);

  fs::last_write_time(root, old);
  const ChannelConfig c = Channel(1);
  ASSERT_EQ(Cfg_SaveChannels(nullptr, device.c_str(), kKindAI, &c, 0, 1, nullptr, 0, nullptr), 0);
  EXPECT_GT(fs::last_write_time(root), old) << "channel save";

  fs::last_write_time(root, old);
  const uint8_t enable = 1;
  ASSERT_EQ(Cfg_SaveDeviceEx(nullptr, device.c_str(), nullptr, 0, nullptr, 0, nullptr, &enable, nullptr, nullptr,
                             nullptr),
            0);
  EXPECT_GT(fs::last_write_time(root), old) << "device save";
  EXPECT_EQ(ReadFile(root), std::vector<unsigned char>{0x01});

  fs::remove(root);
  errno = 0;
  EXPECT_EQ(Cfg_SaveChannels(nullptr, device.c_str(), kKindAI, &c, 0, 1, nullptr, 0, nullptr), 0);
  EXPECT_FALSE(fs::exists(root)) << "nothing is made";
}

TEST_F(ConfigFiles, ShortChannelFileFailsWithoutCreatingAnything) {
  std::vector<ChannelConfig> all;
  for (int i = 0; i < 12; ++i) all.push_back(Channel(i));
  ASSERT_EQ(Cfg_SaveChannels(nullptr, Dir(), kKindAO, all.data(), 0, 12, nullptr, 0, nullptr), 0);
  std::vector<ChannelConfig> back(5);
  errno = 0;
  EXPECT_EQ(Cfg_LoadChannels(Dir(), kKindAO, back.data(), 10, 5, nullptr, 0, nullptr), -1);
  EXPECT_EQ(errno, static_cast<int>(plat::kErrHandleEof));
  EXPECT_EQ(plat::GetLastError(), plat::kErrHandleEof);

  // Loads never create what they read.
  EXPECT_EQ(Cfg_LoadChannels(Dir(), kKindDO, back.data(), 0, 1, back.data(), 16, "extra"), -1);
  EXPECT_EQ(errno, static_cast<int>(plat::kErrFileNotFound));
  uint8_t so = 0, bt = 0;
  uint32_t rate = 0;
  DeviceConfig dev{};
  EXPECT_EQ(Cfg_LoadDeviceEx(Dir(), &dev, sizeof dev, nullptr, 0, nullptr, nullptr, &so, &bt, &rate), -1);
  EXPECT_EQ(errno, static_cast<int>(plat::kErrFileNotFound));
  EXPECT_EQ(Cfg_LoadDevice(Dir(), &dev, sizeof dev, nullptr, 0, nullptr), -1);
  EXPECT_FALSE(fs::exists(dir_ / "do"));
  EXPECT_FALSE(fs::exists(dir_ / "extra"));
  EXPECT_FALSE(fs::exists(dir_ / "saveconfig"));
  EXPECT_FALSE(fs::exists(dir_ / "config"));
}

TEST_F(ConfigFiles, ExtraDataOfARangeLandsAtItsChannels) {
  std::vector<ChannelConfig> recs;
  for (int i = 0; i < 4; ++i) recs.push_back(Channel(i));
  std::vector<unsigned char> extra(4 * 10);
  for (size_t i = 0; i < extra.size(); ++i) extra[i] = static_cast<unsigned char>(i / 10 + 1);
  ASSERT_EQ(Cfg_SaveChannels(nullptr, Dir(), kKindAI, recs.data(), 0, 4, extra.data(), 40, "ai.ext"), 0);

  // Channels 2..3 with new extra data: channel 0's block is untouched.
  std::vector<unsigned char> mine(2 * 10, 0xEE);
  ASSERT_EQ(Cfg_SaveChannels(nullptr, Dir(), kKindAI, recs.data() + 2, 2, 2, mine.data(), 20, "ai.ext"), 0);
  const auto file = ReadFile(dir_ / "ai.ext");
  ASSERT_EQ(file.size(), 40u);
  for (size_t i = 0; i < 20; ++i) EXPECT_EQ(file[i], extra[i]) << i;
  for (size_t i = 20; i < 40; ++i) EXPECT_EQ(file[i], 0xEE) << i;

  // The load of a range reads the same blocks; past the end stays zero.
  std::vector<unsigned char> back(3 * 10, 0x55);
  std::vector<ChannelConfig> r(3);
  ASSERT_EQ(Cfg_LoadChannels(Dir(), kKindAI, r.data(), 1, 3, back.data(), 30, "ai.ext"), 0);
  for (size_t i = 0; i < 10; ++i) EXPECT_EQ(back[i], 2) << i;
  for (size_t i = 10; i < 30; ++i) EXPECT_EQ(back[i], 0xEE) << i;

  // A range past channel 0 whose extra length does not split into its
  // count has no block to land on: 87, nothing read or written.
  errno = 0;
  EXPECT_EQ(Cfg_SaveChannels(nullptr, Dir(), kKindAI, recs.data() + 1, 1, 2, mine.data(), 15, "ai.ext"), -1);
  EXPECT_EQ(errno, 87);
  EXPECT_EQ(ReadFile(dir_ / "ai.ext"), file);
  errno = 0;
  EXPECT_EQ(Cfg_LoadChannels(Dir(), kKindAI, r.data(), 1, 2, back.data(), 15, "ai.ext"), -1);
  EXPECT_EQ(errno, 87);
}

TEST_F(ConfigFiles, ExtraDataLoadIsZeroFilledAndMissingFileIsNoFailure) {
  std::vector<ChannelConfig> recs;
  for (int i = 0; i < 4; ++i) recs.push_back(Channel(i));
  ASSERT_EQ(Cfg_SaveChannels(nullptr, Dir(), kKindAI, recs.data(), 0, 4, nullptr, 0, nullptr), 0);
  std::vector<unsigned char> back(20, 0x55);
  std::vector<ChannelConfig> r(2);
  ASSERT_EQ(Cfg_LoadChannels(Dir(), kKindAI, r.data(), 2, 2, back.data(), 20, "none"), 0);
  EXPECT_EQ(std::count(back.begin(), back.end(), 0), 20);
  std::vector<unsigned char> ext(25, 7);  // a short file: channels 2..3 of 10-byte blocks reach 40
  { std::ofstream(dir_ / "x.ext", std::ios::binary).write(reinterpret_cast<char*>(ext.data()), 25); }
  ASSERT_EQ(Cfg_LoadChannels(Dir(), kKindAI, r.data(), 2, 2, back.data(), 20, "x.ext"), 0);
  for (size_t i = 0; i < 20; ++i) EXPECT_EQ(back[i], i < 5 ? 7 : 0) << i;
  EXPECT_EQ(memcmp(&r[0], &recs[2], sizeof r[0]), 0);
  // A length that does not split into the channels of a range cannot be placed.
  EXPECT_EQ(Cfg_SaveChannels(nullptr, Dir(), kKindAI, recs.data(), 1, 3, ext.data(), 25, "x.ext"), -1);
  EXPECT_EQ(errno, static_cast<int>(plat::kErrInvalidParameter));
}

TEST_F(ConfigFiles, DeviceFilesRoundTripByteForByte) {
  DeviceConfig dev;
  for (size_t i = 0; i < sizeof dev; ++i) reinterpret_cast<unsigned char*>(&dev)[i] = static_cast<unsigned char>(i * 7);
  dev.ScanRate = 1000;
  dev.Comm.Node = 5;
  const uint8_t on = 1, so = 1, bt = 0;
  const uint32_t rate = 0x0A0B0C0D;
  std::vector<unsigned char> extra(64, 0x3C);
  ASSERT_EQ(Cfg_SaveDeviceEx("op", Dir(), &dev, sizeof dev, extra.data(), 64, "dev.ext", &on, &so, &bt, &rate), 0);

  const auto config = ReadFile(dir_ / "config");
  ASSERT_EQ(config.size(), 705u);
  EXPECT_EQ(config[0], 1);
  EXPECT_EQ(memcmp(config.data() + 1, &dev, sizeof dev), 0);  // record at the odd offset 1
  const auto save = ReadFile(dir_ / "saveconfig");
  ASSERT_EQ(save.size(), 6u);
  const unsigned char expectSave[6] = {1, 0, 0x0D, 0x0C, 0x0B, 0x0A};
  EXPECT_EQ(memcmp(save.data(), expectSave, 6), 0);

  DeviceConfig back;
  memset(&back, 0, sizeof back);
  uint8_t e = 9, o = 9, t = 9;
  uint32_t r = 0;
  std::vector<unsigned char> ex(64, 0);
  ASSERT_EQ(Cfg_LoadDeviceEx(Dir(), &back, sizeof back, ex.data(), 64, "dev.ext", &e, &o, &t, &r), 0);
  EXPECT_EQ(memcmp(&back, &dev, sizeof dev), 0);
  EXPECT_EQ(e, 1);
  EXPECT_EQ(o, 1);
  EXPECT_EQ(t, 0);
  EXPECT_EQ(r, rate);
  EXPECT_EQ(ex, extra);

  // Only the given inputs are written.
  const uint8_t off = 0;
  ASSERT_EQ(Cfg_SaveDeviceEx(nullptr, Dir(), nullptr, 0, nullptr, 0, nullptr, &off, nullptr, nullptr, nullptr), 0);
  const auto config2 = ReadFile(dir_ / "config");
  EXPECT_EQ(config2[0], 0);
  EXPECT_TRUE(std::equal(config.begin() + 1, config.end(), config2.begin() + 1));
  EXPECT_EQ(ReadFile(dir_ / "saveconfig"), save);
}

TEST(SaveConfigLayout, PackAndUnpackAreTheFileBytes) {
  const SaveConfigFile file = Cfg_PackSaveConfig(1, 0, 0x0A0B0C0D);
  const unsigned char expect[6] = {1, 0, 0x0D, 0x0C, 0x0B, 0x0A};
  EXPECT_EQ(memcmp(&file, expect, 6), 0);
  uint8_t so = 9, bt = 9;
  uint32_t rate = 0;
  Cfg_UnpackSaveConfig(file, &so, &bt, &rate);
  EXPECT_EQ(so, 1);
  EXPECT_EQ(bt, 0);
  EXPECT_EQ(rate, 0x0A0B0C0Du);
  // Only the outputs given are filled.
  uint8_t untouched = 7;
  Cfg_UnpackSaveConfig(Cfg_PackSaveConfig(0, 1, 0xFFFFFFFFu), nullptr, &untouched, nullptr);
  EXPECT_EQ(untouched, 1);
  Cfg_UnpackSaveConfig(file, nullptr, nullptr, &rate);
  EXPECT_EQ(rate, 0x0A0B0C0Du);
}

TEST_F(ConfigFiles, CurrentDirectoryForms) {
  const auto old = fs::current_path();
  fs::current_path(dir_);
  DeviceConfig dev{};
  dev.ScanRate = 250;
  const uint8_t on = 1, so = 0, bt = 1;
  const uint32_t rate = 60000;
  EXPECT_EQ(Cfg_SaveDeviceInCwd(&dev, sizeof dev), 0);
  EXPECT_EQ(Cfg_SaveEnableInCwd(&on), 0);
  EXPECT_EQ(Cfg_SaveSaveConfigInCwd(&so, &bt, &rate), 0);
  ChannelConfig c = Channel(3);
  EXPECT_EQ(Cfg_SaveChannelsInCwd(kKindCI, &c, 0, 1), 0);
  DeviceConfig back{};
  uint8_t e = 0, o = 9, t = 0;
  uint32_t r = 0;
  ChannelConfig cb{};
  EXPECT_EQ(Cfg_LoadDeviceInCwd(&back, sizeof back), 0);
  EXPECT_EQ(Cfg_LoadEnableInCwd(&e), 0);
  EXPECT_EQ(Cfg_LoadSaveConfigInCwd(&o, &t, &r), 0);
  EXPECT_EQ(Cfg_LoadChannelsInCwd(kKindCI, &cb, 0, 1), 0);
  fs::current_path(old);
  EXPECT_EQ(back.ScanRate, 250u);
  EXPECT_EQ(e, 1);
  EXPECT_EQ(o, 0);
  EXPECT_EQ(t, 1);
  EXPECT_EQ(r, 60000u);
  EXPECT_EQ(memcmp(&cb, &c, sizeof c), 0);
  EXPECT_TRUE(fs::exists(dir_ / "ci"));
}

TEST_F(ConfigFiles, EnableLoadWithoutConfigFailsAndLeavesAnEmptyConfig) {
  uint8_t e = 7;
  errno = 0;
  EXPECT_EQ(Cfg_LoadDeviceEx(Dir(), nullptr, 0, nullptr, 0, nullptr, &e, nullptr, nullptr, nullptr), -1);
  EXPECT_EQ(errno, static_cast<int>(plat::kErrHandleEof));
  ASSERT_TRUE(fs::exists(dir_ / "config"));
  EXPECT_EQ(fs::file_size(dir_ / "config"), 0u);
}

TEST_F(ConfigFiles, ShortDeviceRecordKeepsTheRest) {
  const unsigned char part[] = {1, 0xAA, 0xBB, 0xCC};
  { std::ofstream(dir_ / "config", std::ios::binary).write(reinterpret_cast<const char*>(part), 4); }
  DeviceConfig dev;
  memset(&dev, 0x11, sizeof dev);
  ASSERT_EQ(Cfg_LoadDevice(Dir(), &dev, sizeof dev, nullptr, 0, nullptr), 0);
  const auto* b = reinterpret_cast<const unsigned char*>(&dev);
  EXPECT_EQ(b[0], 0xAA);
  EXPECT_EQ(b[2], 0xCC);
  EXPECT_EQ(b[3], 0x11);
  // A save-options file shorter than 6 bytes is a failure.
  { std::ofstream(dir_ / "saveconfig", std::ios::binary).write("\1\1\1", 3); }
  uint8_t o, t;
  uint32_t r;
  EXPECT_EQ(Cfg_LoadDeviceEx(Dir(), nullptr, 0, nullptr, 0, nullptr, nullptr, &o, &t, &r), -1);
  EXPECT_EQ(errno, static_cast<int>(plat::kErrHandleEof));
}

TEST_F(ConfigFiles, FaultsGiveMinusOneWithTheErrorSet) {
  ChannelConfig c = Channel(1);
  DeviceConfig dev{};
  struct Case {
    const char* what;
    std::function<int()> call;
    uint32_t code;
  };
  fs::create_directories(dir_ / "ai");  // a channel file that is a directory
  fs::create_symlink("/dev/full", dir_ / "do");
  fs::create_symlink("/dev/full", dir_ / "full.ext");
  fs::create_directories(dir_ / "sub" / "config");
  const std::string missing = (dir_ / "no" / "such").string();
  const std::string d = dir_.string(), sub = (dir_ / "sub").string();
  Case cases[] = {
      {"save into a directory", [&] { return Cfg_SaveChannels(nullptr, d.c_str(), kKindAI, &c, 0, 1, nullptr, 0, nullptr); },
       plat::kErrAccessDenied},
      {"load from a directory", [&] { return Cfg_LoadChannels(d.c_str(), kKindAI, &c, 0, 1, nullptr, 0, nullptr); },
       plat::kErrAccessDenied},
      {"device save into a directory", [&] { return Cfg_SaveDevice(nullptr, sub.c_str(), &dev, sizeof dev, nullptr, 0, nullptr); },
       plat::kErrAccessDenied},
      {"save to a missing directory",
       [&] { return Cfg_SaveChannels(nullptr, missing.c_str(), kKindAI, &c, 0, 1, nullptr, 0, nullptr); },
       plat::kErrPathNotFound},
      {"load from a missing directory",
       [&] { return Cfg_LoadChannels(missing.c_str(), kKindAI, &c, 0, 1, nullptr, 0, nullptr); }, plat::kErrPathNotFound},
      {"device load from a missing directory",
       [&] {
         uint8_t e;
         return Cfg_LoadDeviceEx(missing.c_str(), nullptr, 0, nullptr, 0, nullptr, &e, nullptr, nullptr, nullptr);
       },
       plat::kErrPathNotFound},
      {"records to /dev/full", [&] { return Cfg_SaveChannels(nullptr, d.c_str(), kKindDO, &c, 0, 1, nullptr, 0, nullptr); },
       plat::kErrDiskFull},
      {"extra data to /dev/full",
       [&] {
         unsigned char x[16] = {};
         return Cfg_SaveChannels(nullptr, d.c_str(), kKindDI, &c, 0, 1, x, 16, "full.ext");
       },
       plat::kErrDiskFull},
      {"bad kind", [&] { return Cfg_SaveChannels(nullptr, d.c_str(), 9, &c, 0, 1, nullptr, 0, nullptr); },
       plat::kErrInvalidParameter},
      {"negative first", [&] { return Cfg_LoadChannels(d.c_str(), kKindAI, &c, -1, 1, nullptr, 0, nullptr); },
       plat::kErrInvalidParameter},
  };
  for (auto& k : cases) {
    errno = 0;
    plat::SetLastError(0);
    EXPECT_EQ(k.call(), -1) << k.what;
    EXPECT_EQ(errno, static_cast<int>(k.code)) << k.what;
    EXPECT_EQ(plat::GetLastError(), k.code) << k.what;
  }
  EXPECT_FALSE(fs::exists(dir_ / "no"));
  // No temporary file is left behind by a failed save.
  for (auto& e : fs::recursive_directory_iterator(dir_))
    EXPECT_EQ(e.path().filename().string().find(".tmp"), std::string::npos) << e.path();
}

TEST(ConfigDirs, DeviceDirectoryTest) {
  struct Case {
    const char* path;
    bool device;
  } cases[] = {{"/cdx/CURRENT_CONFIG", false}, {"/cdx/current_config", false}, {"C:\\cdx\\Current_Config", false},
               {"/cdx/CURRENT_CONFIG/dev1", true}, {"CONFIG", true},            {"/cdx/MYCURRENT_CONFIG", true},
               {"", true}};
  for (const auto& c : cases) EXPECT_EQ(Cfg_IsDeviceDir(c.path), c.device) << c.path;
  EXPECT_FALSE(Cfg_IsDeviceDir(nullptr));
  void* p = Cfg_Alloc(100);
  ASSERT_NE(p, nullptr);
  memset(p, 1, 100);
  Cfg_Free(p);
}

std::vector<std::string> g_heapLines;
void KeepHeapLine(const char* text) { g_heapLines.push_back(text); }
std::vector<std::string> DumpHeap() {
  g_heapLines.clear();
  plat::DebugOutputHook before = plat::SetDebugOutputHook(KeepHeapLine);
  Cfg_DumpHeap();
  plat::SetDebugOutputHook(before);
  return g_heapLines;
}
bool HasLine(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}
std::string BlockLine(const char* state, const void* p, unsigned size) {
  char line[96];
  snprintf(line, sizeof line, "%6s block at %p of size %4.4X\n", state, p, size);
  return line;
}

// The library's heap walk names every block with its state and size, and
// finds overwritten block headers.
TEST(ConfigHeap, DumpShowsUsedAndFreeBlocksAndFindsDamage) {
  char* a = static_cast<char*>(Cfg_Alloc(100));
  char* b = static_cast<char*>(Cfg_Alloc(200));
  ASSERT_TRUE(a && b);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 16, 0u);
  std::vector<std::string> lines = DumpHeap();
  ASSERT_FALSE(lines.empty());
  EXPECT_TRUE(HasLine(lines, BlockLine("USED", a, 100))) << lines.size();
  EXPECT_TRUE(HasLine(lines, BlockLine("USED", b, 200)));
  int used = -1;
  ASSERT_EQ(sscanf(lines.back().c_str(), "OK - end of heap %d Used", &used), 1) << lines.back();
  EXPECT_GE(used, 2);
  // A freed block is kept free and handed out again for a request it fits.
  Cfg_Free(b);
  lines = DumpHeap();
  EXPECT_TRUE(HasLine(lines, BlockLine("FREE", b, 200)));
  ASSERT_EQ(sscanf(lines.back().c_str(), "OK - end of heap %d Used", &used), 1);
  char* c = static_cast<char*>(Cfg_Alloc(150));
  EXPECT_EQ(c, b);
  memset(c, 7, 150);
  // Freeing it twice, or a block of another heap, changes nothing.
  Cfg_Free(c);
  Cfg_Free(c);
  EXPECT_EQ(plat::GetLastError(), 87u);
  c = static_cast<char*>(Cfg_Alloc(150));
  EXPECT_EQ(c, b);
  // Overwritten headers: the mark before a later block, its link back.
  uint32_t* mark = reinterpret_cast<uint32_t*>(c) - 1;
  *mark ^= 1;
  // The walk shows the blocks before the damage, then says where it stopped.
  EXPECT_EQ(DumpHeap().back(), "ERROR - bad node in heap\n");
  *mark ^= 1;
  void** back = reinterpret_cast<void**>(c - 24);
  void* saved = *back;
  *back = c;
  EXPECT_EQ(DumpHeap().back(), "ERROR - bad pointer to heap\n");
  *back = saved;
  EXPECT_EQ(DumpHeap().back().rfind("OK - end of heap ", 0), 0u);
  Cfg_Free(a);
  Cfg_Free(c);
}

// In a process of its own (as CTest runs each test) the heap starts empty,
// and a damaged first block is the start of the heap.
TEST(ConfigHeap, EmptyHeapAndBadStart) {
  if (DumpHeap() != std::vector<std::string>{"OK - empty heap\n"})
    GTEST_SKIP() << "blocks of other tests of this process are on the heap";
  char* a = static_cast<char*>(Cfg_Alloc(8));
  reinterpret_cast<uint32_t*>(a)[-1] ^= 1;
  EXPECT_EQ(DumpHeap(), std::vector<std::string>{"ERROR - bad start of heap\n"});
  reinterpret_cast<uint32_t*>(a)[-1] ^= 1;
  Cfg_Free(a);
}

}  // namespace

namespace {

// Several processes save different channels of one file at the same time
// (the configuration program and a server request, say): every channel
// saved must be there afterwards, none lost to another's rewrite.
TEST_F(ConfigFiles, ConcurrentSavesOfOtherChannelsLoseNothing) {
  constexpr int kWriters = 6, kRounds = 15;
  std::vector<pid_t> children;
  for (int w = 0; w < kWriters; ++w) {
    children.push_back(testsupport::ForkChild([&, w] {
      const ChannelConfig c = Channel(w);
      for (int r = 0; r < kRounds; ++r)
        if (Cfg_SaveChannels("op", Dir(), kKindDI, &c, w, 1, nullptr, 0, nullptr) != 0) return 1;
      return 0;
    }));
  }
  for (pid_t pid : children) EXPECT_EQ(testsupport::WaitChild(pid, 60000), 0);
  std::vector<ChannelConfig> back(kWriters);
  ASSERT_EQ(Cfg_LoadChannels(Dir(), kKindDI, back.data(), 0, kWriters, nullptr, 0, nullptr), 0);
  for (int w = 0; w < kWriters; ++w) EXPECT_STREQ(Chan_GetTag(back[w]), ("TAG" + std::to_string(w)).c_str()) << w;
  // No temporary file is left beside the target.
  int entries = 0;
  for (auto& e : fs::directory_iterator(dir_)) (void)e, ++entries;
  EXPECT_EQ(entries, 1);
}

// Temporary files anywhere below dir (names with ".tmp").
std::vector<std::string> Temporaries(const fs::path& dir) {
  std::vector<std::string> found;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec))
    if (it->path().filename().string().find(".tmp") != std::string::npos) found.push_back(it->path().string());
  return found;
}

// Saves killed while their temporary file exists leave it behind; the next
// save of the same file removes the temporaries of processes that no longer
// run, so a kill loop followed by one clean save leaves none. Both roads:
// the binary channel file, and the XML file with its schema.
TEST_F(ConfigFiles, TheNextSaveRemovesTemporariesOfKilledSaves) {
  const fs::path dev = dir_ / "CURRENT_CONFIG" / "dev_1";
  fs::create_directories(dev);
  const std::string devDir = dev.string();
  std::vector<ChannelConfig> all;
  for (int i = 0; i < 1000; ++i) all.push_back(Channel(i % 200));
  const int n = static_cast<int>(all.size());
  struct Road {
    const char* name;
    std::function<int()> save;
  } roads[] = {
      {"binary", [&] { return Cfg_SaveChannels("op", devDir.c_str(), kKindAI, all.data(), 0, n, nullptr, 0, nullptr); }},
      {"xml", [&] { return Cfg_WriteChannelsXml(nullptr, devDir.c_str(), kKindAI, all.data(), 0, n, nullptr, 0, 0); }},
  };
  for (const Road& road : roads) {
    SCOPED_TRACE(road.name);
    // Each save removes the temporaries of the saves killed before it, so
    // only the last kill's are left; a kill that came just after a save was
    // renamed into place left none, and another round is run.
    for (int round = 0; round < 8 || (Temporaries(dir_).empty() && round < 200); ++round) {
      const pid_t child = testsupport::ForkChild([&] {
        for (;;)
          if (road.save() != 0) return 1;
      });
      // Killed while a temporary file of it exists.
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
      while (Temporaries(dir_).empty() && std::chrono::steady_clock::now() < deadline) {
      }
      kill(child, SIGKILL);
      ASSERT_EQ(testsupport::WaitChild(child, 60000), 128 + SIGKILL);
    }
    EXPECT_FALSE(Temporaries(dir_).empty()) << "the kills left no temporary file to remove";
    ASSERT_EQ(road.save(), 0);
    EXPECT_EQ(Temporaries(dir_), std::vector<std::string>{});
  }
}

}  // namespace
