#include <cerrno>
#include <gtest/gtest.h>
#include <thread>

#include "platform/error.h"

namespace {

TEST(SystemErrors, LinuxErrnoMapsToSystemNumbers) {
  struct Case {
    int linuxErrno;
    uint32_t code;
  };
  const Case cases[] = {
      {ENOENT, 2}, {ENOTDIR, 3}, {EACCES, 5}, {EPERM, 5}, {EEXIST, 183}, {EINVAL, 87}, {ENOSPC, 112}, {0, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(plat::FromErrno(c.linuxErrno), c.code) << c.linuxErrno;
}

TEST(SystemErrors, UnmappedErrnoKeepsADistinctRecoverableForm) {
  uint32_t code = plat::FromErrno(EXDEV);
  EXPECT_EQ(code & plat::kUnmappedErrnoBase, plat::kUnmappedErrnoBase);
  EXPECT_EQ(plat::UnmappedErrno(code), EXDEV);
  EXPECT_EQ(plat::UnmappedErrno(5), 0);
}

TEST(SystemErrors, FailSetsErrnoAndTheThreadsLastError) {
  plat::FailErrno(ENOENT);
  EXPECT_EQ(errno, 2);
  EXPECT_EQ(plat::GetLastError(), 2u);
  // The last error is per thread.
  uint32_t seenByOther = 1;
  std::thread([&] { seenByOther = plat::GetLastError(); }).join();
  EXPECT_EQ(seenByOther, 0u);
}

// What the tools print: the number with its text, one table for all.
TEST(ErrorWords, NumberWithItsText) {
  EXPECT_EQ(plat::ErrorWords(3), "error 3 (path not found)");
  EXPECT_EQ(plat::ErrorWords(31), "error 31 (device failure)");
  EXPECT_EQ(plat::ErrorWords(33), "error 33 (lock violation)");
  EXPECT_EQ(plat::ErrorWords(1465), "error 1465 (XML parse error)");
  EXPECT_EQ(plat::ErrorWords(4242), "error 4242 (system error)");
  // An errno without a system number shows the errno's own text.
  const uint32_t unmapped = plat::kUnmappedErrnoBase | uint32_t(EDOM);
  EXPECT_EQ(plat::ErrorWords(unmapped), "error " + std::to_string(unmapped) + " (Numerical argument out of domain)");
}

}  // namespace
