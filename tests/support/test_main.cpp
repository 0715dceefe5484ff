// main() for every test program: each test process gets an instance root of
// its own (CDXPLAT_ROOT), so that tests run side by side without sharing
// registry, shared memory, mutexes or mailslots. The root is removed at exit
// unless CDX_KEEP_ROOT is set. The child that a threadsafe death test starts
// afresh runs in its parent's root: it ends with _exit, so a root of its own
// would be left behind.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

constexpr const char* kParentRoot = "CDXTEST_PARENT_ROOT";

bool IsDeathTestChild(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (std::strncmp(argv[i], "--gtest_internal_run_death_test", 31) == 0) return true;
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  const bool deathTestChild = IsDeathTestChild(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  const char* parentRoot = std::getenv(kParentRoot);
  if (deathTestChild && parentRoot && *parentRoot) {
    setenv("CDXPLAT_ROOT", parentRoot, 1);
    return RUN_ALL_TESTS();
  }
  std::string base = std::filesystem::exists("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path().string();
  std::string templ = base + "/cdxtest-XXXXXX";
  char* made = mkdtemp(templ.data());
  if (!made) {
    perror("mkdtemp");
    return 2;
  }
  setenv("CDXPLAT_ROOT", made, 1);
  setenv(kParentRoot, made, 1);
  const pid_t self = getpid();
  int rc = RUN_ALL_TESTS();
  if (getpid() == self && !getenv("CDX_KEEP_ROOT")) {
    std::error_code ec;
    std::filesystem::remove_all(made, ec);
  }
  return rc;
}
