// Long runs, under the CTest label "soak" (excluded from the usual runs with
// --label-exclude soak): what a few cycles in the regular tests cannot show,
// a lost wake-up once in a hundred thousand.
#include <gtest/gtest.h>

#include <string>
#include <unistd.h>

#include "cdxlib/shm/datamodule.h"
#include "cdxlib/shm/signals.h"
#include "platform/sync.h"
#include "support/child.h"

namespace {

int Ignore(int) { return 0; }

TEST(DataModuleWaitSoak, HundredThousandWaitNotifyCyclesBetweenTwoProcesses) {
  ASSERT_EQ(Sig_InstallHandler(Ignore), nullptr);
  DataModule* m = DM_Create("dm_pingpong", 4);
  ASSERT_TRUE(DM_IsView(m));
  ASSERT_EQ(DM_ClaimEventSlot(m, 1), 0);
  const int cycles = 100000;
  pid_t peer = testsupport::SpawnProgram({testsupport::BinPath("ipcpeer"), "pingpong", "dm_pingpong", std::to_string(cycles)});
  EventSlot s{};
  const int64_t limit = plat::MonotonicMs() + 120000;
  while (plat::MonotonicMs() < limit && !(DM_ReadEventSlot(m, false, 2, &s) == 0 && s.pid == peer)) plat::SleepMs(5);
  ASSERT_EQ(s.pid, peer);
  for (int i = 0; i < cycles; ++i) {
    ASSERT_EQ(DM_Notify(m, 2), 0);
    ASSERT_EQ(DM_WaitEvent(m, 1), 0);
  }
  EXPECT_EQ(testsupport::WaitChild(peer, 120000), 0);
  Sig_RemoveHandler();
}

}  // namespace
