// Data modules and their mutexes against another user of the machine: what
// "nobody" plants under a module's or a mutex's name in the every-user
// folders before the service runs is refused with 5, never followed, never
// mapped beyond what the file holds.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "cdxlib/shm/datamodule.h"
#include "platform/error.h"
#include "platform/named_mutex.h"
#include "platform/root.h"
#include "platform/shm.h"
#include "support/other_user.h"

namespace {

std::string ModulePath(const std::string& root, const char* module) {
  return root + "/shm/" + plat::EncodeObjectName(DM_MappingName(module));
}
std::string MutexPath(const std::string& root, const char* module) {
  return root + "/mutex/" + plat::EncodeObjectName(std::string("Global\\") + DM_MutexName(module));
}

using PlantedModule = testsupport::OtherUserTest;

// Links at module and mutex names, to a file of the superuser: creating and
// opening the modules fails with 5 and the file stays as it was.
TEST_F(PlantedModule, LinksAtModuleAndMutexNamesAreRefused) {
  const std::string victim = VictimFile("victim", std::string(4096, 'v'));
  const std::string before = Content(victim);
  ASSERT_EQ(AsNobody([&] {
              if (symlink(victim.c_str(), ModulePath(root, "dm_lnkmod").c_str()) != 0) return 1;
              if (symlink(victim.c_str(), MutexPath(root, "dm_lnkmut").c_str()) != 0) return 2;
              if (symlink(victim.c_str(), MutexPath(root, "dm_lnkboth").c_str()) != 0) return 3;
              if (symlink(victim.c_str(), ModulePath(root, "dm_lnkboth").c_str()) != 0) return 4;
              return 0;
            }),
            0);
  for (const char* name : {"dm_lnkmod", "dm_lnkmut", "dm_lnkboth"}) {
    errno = 0;
    EXPECT_EQ(DM_Create(name, 64), nullptr) << name;
    EXPECT_EQ(errno, 5) << name;
  }
  errno = 0;
  EXPECT_FALSE(DM_IsView(DM_Open("dm_lnkmod")));
  EXPECT_EQ(errno, 5);
  EXPECT_EQ(plat::NamedMutex::Open(std::string("Global\\") + DM_MutexName("dm_lnkmut")), nullptr);
  EXPECT_EQ(plat::GetLastError(), 5u);
  EXPECT_EQ(Content(victim), before);
  struct stat st;
  ASSERT_EQ(stat(victim.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 4096);
}

// A pipe or a folder under a module's name is no module: refused at once,
// without waiting for a writer.
TEST_F(PlantedModule, PipesAndFoldersAtModuleNamesAreRefused) {
  ASSERT_EQ(AsNobody([&] {
              if (mkfifo(ModulePath(root, "dm_fifo").c_str(), 0666) != 0) return 1;
              if (mkfifo(MutexPath(root, "dm_fifomut").c_str(), 0666) != 0) return 2;
              if (mkdir(ModulePath(root, "dm_dir").c_str(), 0777) != 0) return 3;
              return 0;
            }),
            0);
  for (const char* name : {"dm_fifo", "dm_fifomut", "dm_dir"}) {
    errno = 0;
    EXPECT_EQ(DM_Create(name, 64), nullptr) << name;
    EXPECT_EQ(errno, 5) << name;
  }
}

// A module whose header claims more than its file holds, or a header that
// is cut short, is refused before it is mapped; a sound module of that user
// is an every-user object and is used.
TEST_F(PlantedModule, ModulesOfAnotherUserAreCheckedAgainstTheirSize) {
  auto plant = [&](const char* name, uint32_t sizeField, size_t fileSize) {
    const int fd = open(ModulePath(root, name).c_str(), O_RDWR | O_CREAT | O_EXCL, 0666);
    if (fd < 0) return false;
    DataModuleHeader h{};
    h.magic = kDMMagic;
    h.size = sizeField;
    h.nameOffset = 76;
    h.constant108 = 108;
    std::snprintf(h.name, sizeof h.name, "%s", name);
    h.dataSize = 16;
    h.eventOffset = 128 + 16;
    h.notifyOffset = 128 + 16 + 140;
    const bool ok = ftruncate(fd, static_cast<off_t>(fileSize)) == 0 &&
                    pwrite(fd, &h, fileSize < sizeof h ? fileSize : sizeof h, 0) >= 0;
    close(fd);
    return ok;
  };
  const uint32_t sound = 16 + 544;
  ASSERT_EQ(AsNobody([&] {
              if (!plant("dm_big", 0x7FFFFF00u, sound + 108)) return 1;
              if (!plant("dm_short", sound, 100)) return 2;
              if (!plant("dm_sound", sound, sound + 108)) return 3;
              if (!plat::NamedMutex::Create(std::string("Global\\") + DM_MutexName("dm_sound"))) return 4;
              return 0;
            }),
            0);
  for (const char* name : {"dm_big", "dm_short"}) {
    errno = 0;
    EXPECT_FALSE(DM_IsView(DM_Open(name))) << name;
    EXPECT_EQ(errno, 5) << name;
  }
  DataModule* m = DM_Open("dm_sound");
  ASSERT_TRUE(DM_IsView(m));
  const char text[] = "shared";
  EXPECT_EQ(DM_Write(m, text, sizeof text, 0), 0);
}

}  // namespace
