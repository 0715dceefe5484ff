#include <atomic>
#include <gtest/gtest.h>
#include <thread>

#include <unistd.h>

#include "platform/error.h"
#include "platform/sync.h"

namespace {

using plat::Event;
using plat::Waitable;

TEST(Events, ManualResetReleasesEveryWaiterUntilReset) {
  Event e(true, false);
  Waitable* list[] = {&e};
  EXPECT_EQ(plat::WaitForAny(list, 1, 0), plat::kWaitTimeout);
  e.Set();
  EXPECT_EQ(plat::WaitForAny(list, 1, 0), 0);
  EXPECT_EQ(plat::WaitForAny(list, 1, 0), 0);  // still set
  e.Reset();
  EXPECT_FALSE(e.IsSet());
  EXPECT_EQ(e.Wait(0), plat::kWaitTimeout);
}

TEST(Events, AutoResetReleasesOneWaiterPerSetEvenWhenSetSeveralTimes) {
  Event e(false, false);
  e.Set();
  e.Set();
  e.Set();
  EXPECT_EQ(e.Wait(0), 0);
  EXPECT_EQ(e.Wait(0), plat::kWaitTimeout);

  // Two threads wait; one Set releases exactly one of them (whether or not
  // both are already waiting when it comes: the event stays set until taken).
  std::atomic<int> released{0};
  auto waiter = [&] {
    if (e.Wait(30000) == 0) ++released;
  };
  std::thread a(waiter), b(waiter);
  plat::SleepMs(100);
  e.Set();
  const int64_t limit = plat::MonotonicMs() + 20000;
  while (released == 0 && plat::MonotonicMs() < limit) plat::SleepMs(5);
  plat::SleepMs(200);  // room for a wrong second release to show
  EXPECT_EQ(released.load(), 1);
  e.Set();
  a.join();
  b.join();
  EXPECT_EQ(released.load(), 2);
}

TEST(Events, WaitForAnyReturnsTheIndexOfTheSignalledHandle) {
  Event a(true, false), b(false, false), c(true, false);
  Waitable* list[] = {&a, &b, &c};
  c.Set();
  EXPECT_EQ(plat::WaitForAny(list, 3, 1000), 2);
  std::thread setter([&] {
    plat::SleepMs(50);
    b.Set();
  });
  c.Reset();
  EXPECT_EQ(plat::WaitForAny(list, 3, 5000), 1);
  setter.join();
  EXPECT_FALSE(b.IsSet());  // the auto-reset event was consumed by the wait
}

TEST(Events, TimeOutsAreDeadlines) {
  Event e(true, false);
  Waitable* list[] = {&e};
  for (int ms : {0, 1, 30, 120}) {
    int64_t start = plat::MonotonicMs();
    EXPECT_EQ(plat::WaitForAny(list, 1, ms), plat::kWaitTimeout);
    int64_t took = plat::MonotonicMs() - start;
    EXPECT_GE(took, ms) << ms;
    EXPECT_LT(took, ms + 5000) << ms;  // no hang
  }
}

TEST(Events, WaitForAnyRejectsBadArguments) {
  Event e(true, false);
  Waitable* list[] = {&e, nullptr};
  EXPECT_EQ(plat::WaitForAny(list, 2, 0), -1);
  EXPECT_EQ(plat::WaitForAny(list, 0, plat::kInfinite), -1);
  EXPECT_EQ(plat::WaitForAny(list, 0, 10), plat::kWaitTimeout);  // a plain sleep
}

// A handle whose descriptor is closed (a port closed under a waiter) makes
// the wait fail with 6 at once, instead of spinning until the time-out, or
// for ever without one.
TEST(Events, WaitForAnyFailsOnAClosedHandle) {
  struct ClosedPipe final : Waitable {
    int fd = -1;
    int PollFd() const override { return fd; }
    bool Acquire() override { return true; }
  } closed;
  Event e(true, false);  // made first, so it cannot take the closed number
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  closed.fd = fds[0];
  close(fds[0]);
  close(fds[1]);
  Waitable* list[] = {&e, &closed};
  const int64_t start = plat::MonotonicMs();
  EXPECT_EQ(plat::WaitForAny(list, 2, 3000), -1);
  EXPECT_EQ(plat::GetLastError(), 6u);
  EXPECT_LT(plat::MonotonicMs() - start, 2000);
}

TEST(CriticalSections, AreRecursive) {
  plat::CriticalSection cs;
  cs.Enter();
  EXPECT_TRUE(cs.TryEnter());
  std::atomic<bool> other{true};
  std::thread([&] { other = cs.TryEnter(); }).join();
  EXPECT_FALSE(other.load());
  cs.Leave();
  cs.Leave();
}

}  // namespace
