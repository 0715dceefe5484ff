// main() for every test program: each test process gets an instance root of
// its own (CDXPLAT_ROOT), so that tests run side by side without sharing
// registry, shared memory, mutexes or mailslots. The root is removed at exit
// unless CDX_KEEP_ROOT is set.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  std::string base = std::filesystem::exists("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path().string();
  std::string templ = base + "/cdxtest-XXXXXX";
  char* made = mkdtemp(templ.data());
  if (!made) {
    perror("mkdtemp");
    return 2;
  }
  setenv("CDXPLAT_ROOT", made, 1);
  const pid_t self = getpid();
  int rc = RUN_ALL_TESTS();
  if (getpid() == self && !getenv("CDX_KEEP_ROOT")) {
    std::error_code ec;
    std::filesystem::remove_all(made, ec);
  }
  return rc;
}
