// Saved configuration archives with the real tar, compress and kvzip, with
// stand-in programs that misbehave, and with the saving process killed at
// random moments.
#include "cdxlib/config/savecfg.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "cdxlib/sys/registry.h"
#include "platform/registry.h"
#include "support/child.h"
#include "support/tool_run.h"

namespace {

int Shell(const std::string& command, std::string* out = nullptr) {
  const testsupport::ToolResult r = testsupport::RunShell(command);
  if (out) *out = r.out;
  return r.rc;
}

void WriteFile(const std::string& path, const std::string& data, mode_t mode = 0644) {
  {
    std::ofstream f(path, std::ios::binary);
    f << data;
  }
  chmod(path.c_str(), mode);
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// Files of a directory (names only).
std::vector<std::string> List(const std::string& dir) {
  std::string out;
  Shell("ls -A '" + dir + "' 2>/dev/null", &out);
  std::vector<std::string> names;
  std::stringstream s(out);
  for (std::string line; std::getline(s, line);) names.push_back(line);
  return names;
}

void SetExtraSaveDirs(const char* value) {
  uint32_t type = plat::REG_SZ, size = static_cast<uint32_t>(strlen(value) + 1);
  ASSERT_EQ(Reg_AccessValue(plat::HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillomatic\\Coordinatrix", plat::KEY_SET_VALUE,
                            "ExtraSaveDirs", &type, const_cast<char*>(value), &size),
            0u);
}

class SaveCfgTest : public ::testing::Test {
 protected:
  std::string root, config, out, fakeBin, oldCwd, oldPath;
  void SetUp() override {
    char tmpl[] = "/tmp/savecfg_test_XXXXXX";
    root = mkdtemp(tmpl);
    config = root + "/CURRENT_CONFIG";
    out = root + "/out";
    fakeBin = root + "/fakebin";
    for (const auto& d : {config, config + "/dev_1", root + "/SAVED_VALUES", root + "/REPLAY_OPTIONS",
                          root + "/TRENDS", root + "/SAVED_CONFIG", out, fakeBin})
      ASSERT_EQ(mkdir(d.c_str(), 0777), 0) << d;
    WriteFile(config + "/dev_1/config", std::string(705, 'c'));
    WriteFile(config + "/recent_history.txt", "history\r\n");
    WriteFile(root + "/SAVED_VALUES/plc.bin", "saved");
    WriteFile(root + "/REPLAY_OPTIONS/replay.ini", "replay");
    WriteFile(root + "/TRENDS/t1.trn", "trend");
    setenv("CDX_SAVED_CONFIG", (root + "/SAVED_CONFIG").c_str(), 1);
    setenv("CDX_BIN", CDX_BIN_DIR, 1);
    char buf[PATH_MAX];
    oldCwd = getcwd(buf, sizeof buf);
    oldPath = getenv("PATH") ? getenv("PATH") : "";
    ASSERT_EQ(chdir(config.c_str()), 0);
  }
  void TearDown() override {
    setenv("PATH", oldPath.c_str(), 1);
    Reg_DeleteValue(plat::HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillomatic\\Coordinatrix", "ExtraSaveDirs");
    if (chdir(oldCwd.c_str()) != 0) ADD_FAILURE();
    std::system(("rm -rf " + root).c_str());
  }
  // A stand-in program, found before the real one on PATH.
  void Fake(const std::string& name, const std::string& script) {
    WriteFile(fakeBin + "/" + name, "#!/bin/sh\n" + script + "\n", 0755);
    setenv("PATH", (fakeBin + ":" + oldPath).c_str(), 1);
  }
  std::vector<std::string> TarMembers(const std::string& command) {
    std::string text;
    EXPECT_EQ(Shell(command + " 2>&1", &text), 0) << text;
    std::vector<std::string> members;
    std::stringstream s(text);
    for (std::string line; std::getline(s, line);)
      if (line.back() != '/') members.push_back(line);
    return members;
  }
};

TEST(SaveCfgKind, TheTargetsEndingChoosesTheArchive) {
  const std::pair<const char*, SaveCfgKind> cases[] = {
      {"\"/data/saves/PLANT.CDX\"", SaveCfgKind::kCompressedTar},
      {"/data/saves/plant.cdx", SaveCfgKind::kCompressedTar},
      {"C:\\saves\\plant.Tar", SaveCfgKind::kTar},
      {"\"plant.tar\"", SaveCfgKind::kTar},
      {"plant.tarx", SaveCfgKind::kZip},
      {"plant.zip", SaveCfgKind::kZip},
      {".tar", SaveCfgKind::kZip},  // 4 characters or fewer
      {"\".cdx\"", SaveCfgKind::kZip},
      {"", SaveCfgKind::kZip},
  };
  for (const auto& [target, kind] : cases) EXPECT_EQ(SaveCfg_KindOf(target), kind) << target;
}

TEST(SaveCfgKind, EditionsHaveTheirExtraDirectories) {
  using V = std::vector<std::string>;
  EXPECT_EQ(SaveCfg_EditionExtraDirs("Vorn", true),
            (V{"REPLAY_OPTIONS", "CMONITORS", "TRENDS", "MONPICLIB", "DATA_IMP"}));
  EXPECT_EQ(SaveCfg_EditionExtraDirs("KELPO 7", false), (V{"CMONITORS", "TRENDS", "MONPICLIB", "DATA_IMP"}));
  EXPECT_EQ(SaveCfg_EditionExtraDirs("tarvi", false),
            (V{"CMONITORS", "TRENDS", "MONITORS", "AMONITORS", "WEBHMI"}));
  EXPECT_EQ(SaveCfg_EditionExtraDirs("Coordinatrix", true), (V{"REPLAY_OPTIONS"}));
  EXPECT_EQ(SaveCfg_EditionExtraDirs("Kelp", false), V{});
}

TEST_F(SaveCfgTest, TarHoldsTheConfigurationAndSavedValues) {
  const std::string target = out + "/plant.tar";
  ASSERT_EQ(SaveCfg_Archive(target.c_str(), 0), 0) << errno;
  auto members = TarMembers("tar -tPf " + target);
  EXPECT_EQ(members, (std::vector<std::string>{"./dev_1/config", "./recent_history.txt", "../SAVED_VALUES/plc.bin"}));
  EXPECT_EQ(List(out), std::vector<std::string>{"plant.tar"});

  // With the extra directories: REPLAY_OPTIONS (the edition adds nothing).
  ASSERT_EQ(SaveCfg_Archive(target.c_str(), 1), 0);
  members = TarMembers("tar -tPf " + target);
  EXPECT_EQ(members.size(), 4u);
  EXPECT_EQ(members.back(), "../REPLAY_OPTIONS/replay.ini");

  // The registry's list replaces it; a name that is missing is left out.
  SetExtraSaveDirs("NOT_THERE;TRENDS");
  ASSERT_EQ(SaveCfg_Archive(target.c_str(), 1), 0);
  members = TarMembers("tar -tPf " + target);
  EXPECT_EQ(members.back(), "../TRENDS/t1.trn");
  EXPECT_EQ(std::count(members.begin(), members.end(), "../REPLAY_OPTIONS/replay.ini"), 0);
  // A list that names the saved values again packs them once.
  SetExtraSaveDirs("SAVED_VALUES;TRENDS");
  ASSERT_EQ(SaveCfg_Archive(target.c_str(), 1), 0);
  members = TarMembers("tar -tPf " + target);
  EXPECT_EQ(std::count(members.begin(), members.end(), "../SAVED_VALUES/plc.bin"), 1);
}

TEST_F(SaveCfgTest, CompressedTarInQuotesIsRecognisedAndItsTarFileRemoved) {
  const std::string target = out + "/Plant.CDX";
  ASSERT_EQ(SaveCfg_Archive(("\"" + target + "\"").c_str(), 0), 0) << errno;
  const auto members = TarMembers("uncompress -c " + target + " | tar -tPf -");
  EXPECT_EQ(members.size(), 3u);
  EXPECT_TRUE(List(root + "/SAVED_CONFIG").empty()) << "the intermediate tar file is deleted";
  EXPECT_EQ(List(out), std::vector<std::string>{"Plant.CDX"});

  unsetenv("CDX_SAVED_CONFIG");
  setenv("CDX_SAVED_CONFIG", (root + "/missing").c_str(), 1);
  EXPECT_EQ(SaveCfg_Archive(target.c_str(), 0), -1);
  EXPECT_EQ(errno, 3);
}

// The compressed archive's intermediate tar file lies in the saved
// configurations' directory: an archive saved there before under the same
// name (plant.tar beside plant.cdx) is not overwritten nor deleted by it.
TEST_F(SaveCfgTest, CompressedSaveKeepsATarArchiveOfTheSameName) {
  const std::string saved = root + "/SAVED_CONFIG";
  ASSERT_EQ(SaveCfg_Archive((saved + "/plant.tar").c_str(), 0), 0) << errno;
  const std::string before = ReadFile(saved + "/plant.tar");
  ASSERT_FALSE(before.empty());
  for (const std::string& target : {out + "/plant.cdx", saved + "/plant.cdx"}) {
    ASSERT_EQ(SaveCfg_Archive(target.c_str(), 0), 0) << target << " " << errno;
    EXPECT_TRUE(Exists(saved + "/plant.tar")) << target;
    EXPECT_TRUE(ReadFile(saved + "/plant.tar") == before) << target;
    EXPECT_EQ(TarMembers("uncompress -c " + target + " | tar -tPf -").size(), 3u);
  }
  EXPECT_EQ(List(saved), (std::vector<std::string>{"plant.cdx", "plant.tar"})) << "no temporary file is left";
}

TEST_F(SaveCfgTest, KvzipArchiveAlwaysHoldsReplayOptions) {
  const std::string target = out + "/plant.zip";
  ASSERT_EQ(SaveCfg_Archive(target.c_str(), 0), 0) << errno;
  std::string text;
  ASSERT_EQ(Shell("unzip -Z1 " + target, &text), 0);
  for (const char* m : {"CURRENT_CONFIG/dev_1/config", "SAVED_VALUES/plc.bin", "REPLAY_OPTIONS/replay.ini"})
    EXPECT_NE(text.find(m), std::string::npos) << m;
  EXPECT_EQ(text.find("TRENDS"), std::string::npos);
  EXPECT_EQ(Shell("unzip -tq " + target + " >/dev/null"), 0);
  SetExtraSaveDirs("TRENDS");
  ASSERT_EQ(SaveCfg_Archive(target.c_str(), 1), 0);
  ASSERT_EQ(Shell("unzip -Z1 " + target, &text), 0);
  EXPECT_NE(text.find("TRENDS/t1.trn"), std::string::npos);
  EXPECT_EQ(List(out), std::vector<std::string>{"plant.zip"});
}

TEST_F(SaveCfgTest, MisbehavingProgramsFailTheSaveAndKeepTheOldArchive) {
  const std::string tar = out + "/old.tar", cdx = out + "/old.cdx", zip = out + "/old.zip";
  WriteFile(tar, "previous tar");
  WriteFile(cdx, "previous cdx");
  WriteFile(zip, "previous zip");

  // A warning on the error output fails the save even with exit code 0,
  // and the tar file it wrote is removed.
  // (tar writes the archive to its output, "-f -".)
  Fake("tar", "echo data; echo 'tar: something odd' >&2; exit 0");
  EXPECT_EQ(SaveCfg_Archive(tar.c_str(), 0), -1);
  EXPECT_EQ(errno, 31);
  EXPECT_EQ(SaveCfg_Archive(cdx.c_str(), 0), -1);
  EXPECT_TRUE(List(root + "/SAVED_CONFIG").empty());
  // A tar that fails: its exit code.
  Fake("tar", "exit 2");
  EXPECT_EQ(SaveCfg_Archive(tar.c_str(), 0), -1);
  EXPECT_EQ(errno, 2);
  // compress: exit 1 with the word "compressed" is a success, a silent
  // exit 1 a failure; the tar file goes either way.
  Fake("tar", "echo data");
  Fake("compress", "cat \"$2\"; echo 'file compressed' >&2; exit 1");
  ASSERT_EQ(SaveCfg_Archive(cdx.c_str(), 0), 0);
  EXPECT_EQ(ReadFile(cdx), "data\n");
  EXPECT_TRUE(List(root + "/SAVED_CONFIG").empty());
  WriteFile(cdx, "previous cdx");
  Fake("compress", "cat \"$2\"; exit 1");
  EXPECT_EQ(SaveCfg_Archive(cdx.c_str(), 0), -1);
  EXPECT_EQ(errno, 1);
  EXPECT_TRUE(List(root + "/SAVED_CONFIG").empty());
  // kvzip from CDX_BIN: its exit code.
  Fake("kvzip", "echo partial > \"$3\"; exit 3");
  setenv("CDX_BIN", fakeBin.c_str(), 1);
  EXPECT_EQ(SaveCfg_Archive(zip.c_str(), 0), -1);
  EXPECT_EQ(errno, 3);

  EXPECT_EQ(ReadFile(tar), "previous tar");
  EXPECT_EQ(ReadFile(cdx), "previous cdx");
  EXPECT_EQ(ReadFile(zip), "previous zip");
  EXPECT_EQ(List(out), (std::vector<std::string>{"old.cdx", "old.tar", "old.zip"})) << "no temporary file is left";

}

// A target inside a directory the archive packs would pack the previous
// archive into each new one: every kind refuses it before writing anything.
TEST_F(SaveCfgTest, TargetInsideAPackedDirectoryIsRefusedForEveryKind) {
  ASSERT_EQ(symlink(config.c_str(), (out + "/toconfig").c_str()), 0);
  SetExtraSaveDirs("TRENDS");
  struct Case {
    std::string target;
    int extraDirs;
  };
  const std::vector<Case> cases = {
      {config + "/inside.cdx", 0},        {config + "/dev_1/inside.tar", 0}, {config + "/inside.zip", 0},
      {"inside.cdx", 0},                  {"\"" + config + "/inside.CDX\"", 0}, {out + "/toconfig/inside.zip", 0},
      {root + "/SAVED_VALUES/x.cdx", 0},  {root + "/SAVED_VALUES/x.zip", 0},   {root + "/TRENDS/x.tar", 1},
      {root + "/REPLAY_OPTIONS/x.zip", 0},
  };
  for (const auto& c : cases) {
    errno = 0;
    EXPECT_EQ(SaveCfg_Archive(c.target.c_str(), c.extraDirs), -1) << c.target;
    EXPECT_EQ(errno, 87) << c.target;
  }
  for (const auto& dir : {config, config + "/dev_1", root + "/SAVED_VALUES", root + "/TRENDS",
                          root + "/REPLAY_OPTIONS", root + "/SAVED_CONFIG"})
    for (const auto& name : List(dir))
      EXPECT_TRUE(name == "dev_1" || name == "config" || name == "recent_history.txt" || name == "plc.bin" ||
                  name == "t1.trn" || name == "replay.ini")
          << dir << "/" << name << " was written";
  // Beside the packed directories, and in an extra directory that is not
  // packed this time, a save is made.
  EXPECT_EQ(SaveCfg_Archive((root + "/beside.cdx").c_str(), 0), 0);
  EXPECT_EQ(SaveCfg_Archive((root + "/TRENDS/notpacked.tar").c_str(), 0), 0);
}

TEST_F(SaveCfgTest, UnquoteRemovesTheQuotesAndTheFile) {
  const std::string file = out + "/x.cdx";
  WriteFile(file, "x");
  std::string quoted = "\"" + file + "\"";
  std::vector<char> buf(quoted.begin(), quoted.end());
  buf.push_back(0);
  EXPECT_EQ(SaveCfg_Unquote(buf.data()), 0);
  EXPECT_STREQ(buf.data(), file.c_str());
  EXPECT_FALSE(Exists(file));
  EXPECT_EQ(SaveCfg_Unquote(buf.data()), -1);
  EXPECT_EQ(errno, 2);
}

// The saving process is killed (with its children) at random moments while
// it saves again and again: the target is then the previous complete
// archive or missing, never a torn one.
TEST_F(SaveCfgTest, KillDuringSaveNeverLeavesATornArchive) {
  // Enough data that a save takes a while.
  std::mt19937 rng(12345);
  for (int i = 0; i < 40; ++i) {
    std::string data(64 * 1024, '\0');
    for (auto& c : data) c = static_cast<char>(rng());
    WriteFile(config + "/dev_1/blob" + std::to_string(i), data);
  }
  struct Kind {
    const char* name;
    const char* check;  // a command that succeeds only on a complete archive
  };
  const Kind kinds[] = {{"k.tar", "tar -tPf %1$s"},
                        {"k.cdx", "uncompress -c %1$s | tar -tPf -"},
                        {"k.zip", "unzip -tq %1$s >/dev/null && unzip -Z1 %1$s"}};
  std::uniform_int_distribution<int> delayMs(0, 250);
  for (const auto& kind : kinds) {
    const std::string target = out + "/" + kind.name;
    for (int round = 0; round < 12; ++round) {
      // The first rounds start without an archive (a kill leaves none or a
      // complete one); the later ones with one (a kill leaves the old or a
      // new one).
      if (round < 6) unlink(target.c_str());
      if (round == 6) {
        ASSERT_EQ(SaveCfg_Archive(target.c_str(), 0), 0);
      }
      const pid_t child = testsupport::ForkChild([&] {
        setpgid(0, 0);
        for (;;)
          if (SaveCfg_Archive(target.c_str(), 0) != 0) return 1;
      });
      setpgid(child, child);
      std::this_thread::sleep_for(std::chrono::milliseconds(delayMs(rng)));
      kill(-child, SIGKILL);
      kill(child, SIGKILL);
      ASSERT_EQ(testsupport::WaitChild(child, 60000), 128 + SIGKILL);
      if (!Exists(target)) {
        EXPECT_LT(round, 6) << kind.name << ": the old archive is gone";
        continue;
      }
      char command[512];
      snprintf(command, sizeof command, kind.check, target.c_str());
      std::string text;
      ASSERT_EQ(Shell(std::string(command) + " 2>&1", &text), 0) << kind.name << " round " << round << ": " << text;
      EXPECT_NE(text.find("blob39"), std::string::npos) << kind.name;
    }
  }
}

// Temporary files of archives: in the target's folder and, for a compressed
// archive, its tar file in CDX_SAVED_CONFIG.
std::vector<std::string> ArchiveTemporaries(const std::vector<std::string>& dirs) {
  std::vector<std::string> found;
  for (const auto& d : dirs)
    for (const auto& n : List(d))
      if (n.find(".part") != std::string::npos || n.find(".kvzip") != std::string::npos) found.push_back(d + "/" + n);
  return found;
}

// A link planted under the temporary names a save used to take (the target
// with the pid and ".part", the tar file of a compressed archive) is never
// followed: the file it points to keeps its content, and the save succeeds.
TEST_F(SaveCfgTest, LinksPlantedAtTemporaryNamesAreNeverFollowed) {
  const std::string victim = root + "/victim";
  WriteFile(victim, "precious");
  const std::string pid = std::to_string(getpid());
  for (const char* name : {"k.tar", "k.cdx", "k.zip"}) {
    SCOPED_TRACE(name);
    const std::string target = out + "/" + name;
    for (const std::string& planted : {target + "." + pid + ".part", root + "/SAVED_CONFIG/k.tar." + pid + ".part"})
      if (symlink(victim.c_str(), planted.c_str()) != 0 && errno != EEXIST) ADD_FAILURE() << planted;
    ASSERT_EQ(SaveCfg_Archive(target.c_str(), 0), 0);
    EXPECT_EQ(ReadFile(victim), "precious");
    EXPECT_GT(ReadFile(target).size(), 100u);
  }
}

// The file name of a target names the temporary files too: an empty one,
// "." or ".." is refused with 123.
TEST_F(SaveCfgTest, TargetsWithoutAFileNameAreRefused) {
  for (const std::string& target : {out + "/", out + "/..", out + "/."}) {
    SCOPED_TRACE(target);
    errno = 0;
    EXPECT_EQ(SaveCfg_TarArchive(target.c_str(), 1, 0), -1);
    EXPECT_EQ(errno, 123);
    EXPECT_EQ(SaveCfg_ZipArchive(target.c_str(), 0), -1);
    EXPECT_EQ(errno, 123);
  }
  EXPECT_TRUE(List(root + "/SAVED_CONFIG").empty());
}

// Saves killed while their temporary files exist (with the tar, compress or
// kvzip they started) leave them behind; the next save to the same target
// removes those of processes that no longer run, so a kill loop followed by
// one clean save leaves none.
TEST_F(SaveCfgTest, TheNextSaveRemovesTemporariesOfKilledSaves) {
  std::mt19937 rng(777);
  for (int i = 0; i < 20; ++i) {
    std::string data(64 * 1024, '\0');
    for (auto& c : data) c = static_cast<char>(rng());
    WriteFile(config + "/dev_1/blob" + std::to_string(i), data);
  }
  const std::vector<std::string> dirs = {out, root + "/SAVED_CONFIG"};
  for (const char* name : {"k.tar", "k.cdx", "k.zip"}) {
    SCOPED_TRACE(name);
    const std::string target = out + "/" + name;
    // Each save removes the temporaries of the saves killed before it, so
    // only the last kill's are left; a kill that came just after a save was
    // renamed into place left none, and another round is run.
    for (int round = 0; round < 6 || (ArchiveTemporaries(dirs).empty() && round < 200); ++round) {
      const pid_t child = testsupport::ForkChild([&] {
        setpgid(0, 0);
        for (;;)
          if (SaveCfg_Archive(target.c_str(), 0) != 0) return 1;
      });
      setpgid(child, child);
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
      while (ArchiveTemporaries(dirs).empty() && std::chrono::steady_clock::now() < deadline) {
      }
      kill(-child, SIGKILL);
      kill(child, SIGKILL);
      ASSERT_EQ(testsupport::WaitChild(child, 60000), 128 + SIGKILL);
    }
    EXPECT_FALSE(ArchiveTemporaries(dirs).empty()) << "the kills left no temporary file to remove";
    ASSERT_EQ(SaveCfg_Archive(target.c_str(), 0), 0);
    EXPECT_EQ(ArchiveTemporaries(dirs), std::vector<std::string>{});
  }
}

}  // namespace
