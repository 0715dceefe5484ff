#include <atomic>
#include <cerrno>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <vector>

#include "cdxlib/shm/signals.h"
#include "platform/error.h"
#include "platform/mailslot.h"
#include "platform/sync.h"
#include "support/child.h"

namespace {

std::mutex g_mutex;
std::vector<int> g_codes;
std::atomic<int> g_count{0};

int Record(int code) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_codes.push_back(code);
  ++g_count;
  return 0;
}

std::vector<int> Codes() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_codes;
}

class Signals : public ::testing::Test {
 protected:
  void SetUp() override {
    g_codes.clear();
    g_count = 0;
    Sig_ClearLastCode();
    ASSERT_EQ(Sig_InstallHandler(Record), nullptr);
    ASSERT_EQ(errno, 0);
  }
  void TearDown() override { Sig_RemoveHandler(); }

  // Waits (releasing delivery) until n codes were handled; false after 20 s.
  static bool WaitForCount(int n) {
    const int64_t limit = plat::MonotonicMs() + 20000;
    while (g_count < n) {
      if (plat::MonotonicMs() > limit) return false;
      Sig_Wait(100);
    }
    return true;
  }
};

TEST_F(Signals, CodesFromAnotherProcessAreDeliveredOnTheReaderThread) {
  EXPECT_EQ(Sig_Send(getpid() == 1 ? 2 : 1, 300), -1);  // pid 1 has no mailslot
  EXPECT_EQ(errno, 2);
  pid_t child = testsupport::SpawnProgram({testsupport::BinPath("ipcpeer"), "send", std::to_string(getpid()), "300", "3"});
  EXPECT_EQ(testsupport::WaitChild(child, 20000), 0);
  ASSERT_TRUE(WaitForCount(3));
  EXPECT_EQ(Codes(), (std::vector<int>{300, 301, 302}));
  EXPECT_EQ(Sig_LastCode(), 302);
  Sig_ClearLastCode();
  EXPECT_EQ(Sig_LastCode(), 0);
}

TEST_F(Signals, CodesFromSeveralProcessesArriveInOrderAndComplete) {
  const int senders = 4, each = 2000;
  std::vector<pid_t> children;
  for (int s = 0; s < senders; ++s)
    children.push_back(testsupport::SpawnProgram({testsupport::BinPath("ipcpeer"), "send", std::to_string(getpid()),
                                                  std::to_string(100000 * (s + 1)), std::to_string(each)}));
  for (pid_t c : children) EXPECT_EQ(testsupport::WaitChild(c, 60000), 0);
  ASSERT_TRUE(WaitForCount(senders * each));
  std::vector<int> next(senders, 0);
  for (int code : Codes()) {
    int s = code / 100000 - 1;
    ASSERT_TRUE(s >= 0 && s < senders) << code;
    ASSERT_EQ(code % 100000, next[s]) << "sender " << s;
    ++next[s];
  }
  for (int s = 0; s < senders; ++s) EXPECT_EQ(next[s], each);
}

TEST_F(Signals, TenThousandCodesSentWhileDeliveryIsHeldAllArrive) {
  ASSERT_EQ(Sig_HoldDelivery(1), 0);
  EXPECT_TRUE(Sig_IsDeliveryHeld());
  pid_t child = testsupport::SpawnProgram({testsupport::BinPath("ipcpeer"), "send", std::to_string(getpid()), "1", "10000"});
  EXPECT_EQ(testsupport::WaitChild(child, 60000), 0);  // the sender never gave up
  EXPECT_EQ(g_count.load(), 0);                       // nothing slipped through the hold
  ASSERT_TRUE(WaitForCount(10000));
  std::vector<int> codes = Codes();
  ASSERT_EQ(codes.size(), 10000u);
  for (int i = 0; i < 10000; ++i) ASSERT_EQ(codes[i], i + 1);
}

TEST_F(Signals, HoldingDeliveryStopsTheHandlerUntilTheNextWait) {
  // Many codes race against hold/release cycles: while held, the count the
  // owner sees never changes.
  pid_t child = testsupport::SpawnProgram({testsupport::BinPath("ipcpeer"), "send", std::to_string(getpid()), "1", "3000"});
  int heldRounds = 0;
  while (g_count < 3000 && heldRounds < 100000) {
    Sig_HoldDelivery(1);
    int before = g_count;
    for (int i = 0; i < 50; ++i) ASSERT_EQ(g_count.load(), before);
    ++heldRounds;
    Sig_Wait(5);
  }
  EXPECT_EQ(testsupport::WaitChild(child, 60000), 0);
  EXPECT_TRUE(WaitForCount(3000));
}

TEST_F(Signals, SelfSignalIsDeliveredInlineOrQueuedWhileHeld) {
  ASSERT_EQ(Sig_Send(getpid(), 304), 0);
  EXPECT_EQ(Codes(), std::vector<int>{304});  // handled in this thread, at once
  ASSERT_EQ(Sig_HoldDelivery(1), 0);
  ASSERT_EQ(Sig_Send(getpid(), 305), 0);  // must not hang
  EXPECT_EQ(g_count.load(), 1);
  ASSERT_TRUE(WaitForCount(2));
  EXPECT_EQ(Codes(), (std::vector<int>{304, 305}));
}

TEST_F(Signals, WaitReturnsAfterTheNextCodeAndTicksTimeOut) {
  // Held, so that a code sent before this thread reaches the wait is queued
  // for it rather than handled (and its wake-up spent) before the wait.
  ASSERT_EQ(Sig_HoldDelivery(1), 0);
  std::thread sender([] {
    plat::SleepMs(100);
    Sig_Send(getpid(), 300);
  });
  int64_t start = plat::MonotonicMs();
  Sig_Wait(0);  // no time-out: the code ends it
  sender.join();
  EXPECT_EQ(g_count.load(), 1);
  EXPECT_LT(plat::MonotonicMs() - start, 10000);
  start = plat::MonotonicMs();
  EXPECT_EQ(Sig_WaitTicks(5), 0);
  int64_t took = plat::MonotonicMs() - start;
  EXPECT_GE(took, 50);
  EXPECT_LT(took, 5000);
}

TEST_F(Signals, NonFourByteMessagesAreDropped) {
  SigMailslot slot = Sig_OpenMailslot(Sig_MailslotName(getpid()));
  ASSERT_NE(slot, kSigNoMailslot);
  const char junk[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(Sig_WriteAll(slot, junk, 8), 8);
  EXPECT_EQ(Sig_WriteAll(slot, junk, 2), 2);
  int32_t code = 31;
  EXPECT_EQ(Sig_WriteAll(slot, &code, 4), 4);
  ASSERT_TRUE(WaitForCount(1));
  Sig_WaitTicks(5);
  EXPECT_EQ(Codes(), std::vector<int>{31});
  EXPECT_EQ(Sig_CloseMailslot(slot), 0);
  EXPECT_EQ(Sig_CloseMailslot(slot), -1);
  EXPECT_EQ(Sig_WriteAll(slot, &code, 4), -1);
}

TEST_F(Signals, WaitListHoldsTenHandlesWithTheWakeEventFirst) {
  std::vector<std::unique_ptr<plat::Event>> events;
  for (int i = 0; i < 10; ++i) events.push_back(std::make_unique<plat::Event>(true, false));
  for (int i = 0; i < 9; ++i) ASSERT_EQ(Sig_AddWaitHandle(events[i].get()), 0) << i;
  EXPECT_EQ(Sig_AddWaitHandle(events[9].get()), -1);  // nine besides the wake event
  // A set handle ends the wait.
  events[4]->Set();
  int64_t start = plat::MonotonicMs();
  Sig_Wait(10000);
  EXPECT_LT(plat::MonotonicMs() - start, 5000);
  EXPECT_EQ(Sig_RemoveWaitHandle(events[4].get()), 0);
  EXPECT_EQ(Sig_RemoveWaitHandle(events[4].get()), -1);
  EXPECT_EQ(Sig_AddWaitHandle(events[9].get()), 0);
  // After removal of the handler its wake event leaves the list; the rest stay.
  Sig_RemoveHandler();
  EXPECT_EQ(Sig_AddWaitHandle(events[4].get()), 0);  // ten without a handler
  EXPECT_EQ(Sig_AddWaitHandle(events[4].get()), -1);
  for (auto& e : events) Sig_RemoveWaitHandle(e.get());
  Sig_RemoveWaitHandle(events[4].get());
  // Without handler and handles: a plain sleep, and no wait for ever.
  EXPECT_EQ(Sig_Wait(10), 0);
  EXPECT_EQ(Sig_Wait(0), -1);
  EXPECT_EQ(errno, 87);
}

std::atomic<int> g_removeFromHandler{0};
int RemovingHandler(int code) {
  Sig_RemoveHandler();
  g_removeFromHandler = code;  // after the removal has returned
  return 0;
}

TEST_F(Signals, RemovalJoinsTheReaderAndWorksFromInsideTheHandler) {
  Sig_RemoveHandler();
  EXPECT_EQ(Sig_HoldDelivery(1), -1);
  EXPECT_EQ(Sig_Send(getpid(), 300), 0);  // no handler: nothing happens
  EXPECT_EQ(g_count.load(), 0);
  // Install again; the handler removes itself on the reader thread.
  ASSERT_EQ(Sig_InstallHandler(RemovingHandler), nullptr);
  EXPECT_EQ(Sig_InstallHandler(Record), RemovingHandler);  // later installs swap
  EXPECT_EQ(Sig_InstallHandler(RemovingHandler), Record);
  pid_t child = testsupport::SpawnProgram({testsupport::BinPath("ipcpeer"), "send", std::to_string(getpid()), "303", "1"});
  EXPECT_EQ(testsupport::WaitChild(child, 20000), 0);
  const int64_t limit = plat::MonotonicMs() + 20000;
  while (g_removeFromHandler == 0 && plat::MonotonicMs() < limit) plat::SleepMs(5);
  EXPECT_EQ(g_removeFromHandler.load(), 303);
  EXPECT_EQ(Sig_HoldDelivery(0), -1);
  // The mailslot is gone with the handler.
  EXPECT_EQ(Sig_OpenMailslot(Sig_MailslotName(getpid())), kSigNoMailslot);
  ASSERT_EQ(Sig_InstallHandler(Record), nullptr);  // for TearDown
}

std::atomic<int> g_slowRemoverRemoved{0};
std::atomic<int> g_slowRemoverChecked{0};
std::atomic<int> g_slowRemoverDone{0};
int SlowRemovingHandler(int) {
  Sig_RemoveHandler();
  g_slowRemoverRemoved = 1;
  // The handler goes on working after the removal, until the test has looked.
  const int64_t limit = plat::MonotonicMs() + 20000;
  while (!g_slowRemoverChecked && plat::MonotonicMs() < limit) plat::SleepMs(1);
  g_slowRemoverDone = 1;
  return 0;
}

// A removal from inside the handler gives up the mailslot at once, not when
// the handler returns: senders learn that nobody listens, and the process
// may install a handler again straight away.
TEST(SignalRemoval, FromInsideTheHandlerReleasesTheMailslotAtOnce) {
  g_slowRemoverRemoved = 0;
  g_slowRemoverChecked = 0;
  g_slowRemoverDone = 0;
  ASSERT_EQ(Sig_InstallHandler(SlowRemovingHandler), nullptr);
  pid_t child = testsupport::SpawnProgram({testsupport::BinPath("ipcpeer"), "send", std::to_string(getpid()), "300", "1"});
  EXPECT_EQ(testsupport::WaitChild(child, 20000), 0);
  const int64_t limit = plat::MonotonicMs() + 20000;
  while (!g_slowRemoverRemoved && plat::MonotonicMs() < limit) plat::SleepMs(1);
  EXPECT_EQ(Sig_HoldDelivery(0), -1);  // removed
  EXPECT_EQ(g_slowRemoverDone.load(), 0);  // while the handler still runs:
  errno = 0;
  EXPECT_EQ(Sig_OpenMailslot(Sig_MailslotName(getpid())), kSigNoMailslot);
  EXPECT_EQ(errno, 2);
  EXPECT_EQ(Sig_InstallHandler(Record), nullptr);
  EXPECT_EQ(errno, 0);
  g_slowRemoverChecked = 1;
  while (!g_slowRemoverDone && plat::MonotonicMs() < limit) plat::SleepMs(5);
  Sig_RemoveHandler();
}

// A wait without time-out in one thread while another removes the handler:
// no code can come any more, so the wait must end rather than sleep for ever.
TEST(SignalRemoval, EndsAWaitWithoutTimeOutInAnotherThread) {
  ASSERT_EQ(Sig_InstallHandler(Record), nullptr);
  plat::Event rescue(true, false);  // only to end the wait when the test fails
  ASSERT_EQ(Sig_AddWaitHandle(&rescue), 0);
  std::atomic<int> waited{0};
  std::thread waiter([&] {
    Sig_Wait(0);
    waited = 1;
  });
  plat::SleepMs(100);  // let it reach the wait (a removal before it is covered too)
  Sig_RemoveHandler();
  const int64_t limit = plat::MonotonicMs() + 10000;
  while (!waited && plat::MonotonicMs() < limit) plat::SleepMs(5);
  const bool ended = waited;
  if (!ended) rescue.Set();
  waiter.join();
  EXPECT_TRUE(ended);
  EXPECT_EQ(Sig_RemoveWaitHandle(&rescue), 0);
}

TEST(SignalNames, MailslotPathsAndOpens) {
  EXPECT_STREQ(Sig_MailslotPath("xalarms"), "\\\\.\\mailslot\\xalarms");
  EXPECT_STREQ(Sig_MailslotName(1234), "dm_1234.slt");
  EXPECT_EQ(Sig_OpenMailslot("xalarms"), kSigNoMailslot);
  EXPECT_EQ(errno, 2);
  auto reader = plat::MailslotReader::Create(Sig_MailslotPath("xalarms"), 0);
  SigMailslot byName = Sig_OpenMailslot("XALARMS");
  SigMailslot byPath = Sig_OpenMailslot("\\\\.\\mailslot\\xalarms");
  ASSERT_NE(byName, kSigNoMailslot);
  ASSERT_NE(byPath, kSigNoMailslot);
  EXPECT_NE(byName, byPath);
  char record[296] = {'A', 'B'};
  EXPECT_EQ(Sig_WriteAll(byName, record, sizeof record), 296);
  char got[400];
  EXPECT_EQ(reader->Read(got, sizeof got, 5000), 296);
  Sig_CloseMailslot(byName);
  Sig_CloseMailslot(byPath);
}

TEST(SignalStop, StopEndsAReceiverPromptly) {
  pid_t child = testsupport::SpawnProgram({testsupport::BinPath("ipcpeer"), "until-stop"});
  ASSERT_GT(child, 0);
  // Wait until its mailslot exists, then stop it.
  const int64_t limit = plat::MonotonicMs() + 20000;
  while (Sig_Send(child, kSigScan) != 0 && plat::MonotonicMs() < limit) plat::SleepMs(10);
  ASSERT_EQ(Sig_Send(child, kSigStop), 0);
  EXPECT_EQ(testsupport::WaitChild(child, 10000), 0);
}

}  // namespace
