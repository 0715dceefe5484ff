#include <algorithm>
#include <atomic>
#include <memory>
#include "platform/named_mutex.h"
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>
#include <unistd.h>

#include "cdxlib/shm/datamodule.h"
#include "cdxlib/shm/signals.h"
#include "platform/error.h"
#include "platform/root.h"
#include "platform/shm.h"
#include "platform/sync.h"
#include "support/child.h"

namespace {

std::atomic<int> g_received{0};
std::atomic<int> g_lastReceived{0};
int Count(int code) {
  g_lastReceived = code;
  ++g_received;
  return 0;
}

// Little-endian reads at a byte offset of a module.
uint32_t U32(const DataModule* m, size_t off) {
  uint32_t v;
  std::memcpy(&v, reinterpret_cast<const char*>(m) + off, 4);
  return v;
}

std::string Unique(const char* stem) {
  static int n = 0;
  return std::string(stem) + std::to_string(++n);
}

// Offsets written out by hand from the layout rules: data from 128, D
// rounded up to even, event table of 140 bytes, notify table of 384 bytes,
// size field = Dr + 544, mapping = size + 108.
TEST(DataModuleLayout, TablesForSeveralDataSizes) {
  struct Case {
    uint32_t data, event, notify, size, mapping;
  } cases[] = {
      {0, 128, 268, 544, 652},        {1, 130, 270, 546, 654},   {5, 134, 274, 550, 658},
      {6, 134, 274, 550, 658},        {1000, 1128, 1268, 1544, 1652}, {65535, 65664, 65804, 66080, 66188},
  };
  for (const auto& c : cases) {
    std::string name = Unique("dm_lay");
    DataModule* m = DM_Create(name.c_str(), c.data);
    ASSERT_TRUE(DM_IsView(m)) << c.data;
    EXPECT_EQ(U32(m, 0) & 0xFFFF, 0x4AFCu);
    EXPECT_EQ(U32(m, 4), c.size) << c.data;
    EXPECT_EQ(U32(m, 8), 76u);
    EXPECT_EQ(U32(m, 32), 108u);
    EXPECT_STREQ(reinterpret_cast<const char*>(m) + 76, name.c_str());
    EXPECT_EQ(U32(m, 112), c.data);
    EXPECT_EQ(U32(m, 120), c.event) << c.data;
    EXPECT_EQ(U32(m, 124), c.notify) << c.data;
    DMTables t{};
    ASSERT_EQ(DM_GetTables(m, &t), 0);
    EXPECT_EQ(t.mappingSize, c.mapping) << c.data;
    EXPECT_FALSE(t.legacy);
    EXPECT_EQ(t.slots, 10);
    EXPECT_EQ(t.entries, 32);
  }
}

TEST(DataModuleNames, LengthsMutexNameAndExistingModules) {
  const std::string n31(31, 'a'), n32(32, 'a');
  EXPECT_TRUE(DM_IsView(DM_Create(n31.c_str(), 4)));
  errno = 5;
  EXPECT_EQ(DM_Create(n32.c_str(), 4), nullptr);
  EXPECT_EQ(errno, 0);
  errno = 5;
  EXPECT_EQ(DM_Open(n32.c_str()), DM_OpenFailed());
  EXPECT_EQ(errno, 0);
  errno = 5;
  EXPECT_EQ(DM_Open("dm_absent"), DM_OpenFailed());
  EXPECT_EQ(errno, 0);
  const std::vector<std::string> objects = plat::Shm_List();  // the probe left nothing behind
  EXPECT_EQ(std::find(objects.begin(), objects.end(), "Global\\dm_absent"), objects.end());

  EXPECT_STREQ(DM_MutexName("dm_errors"), "Global\\dm_errors.mut");
  DataModule* m = DM_Create("dm_errors", 10);
  ASSERT_TRUE(DM_IsView(m));
  std::unique_ptr<plat::NamedMutex> mutex = plat::NamedMutex::Open("Global\\Global\\dm_errors.mut");
  EXPECT_TRUE(mutex);
  // A second create returns the same module, the data size argument ignored.
  EXPECT_EQ(DM_Create("dm_errors", 5000), m);
  EXPECT_EQ(m->dataSize, 10u);
  EXPECT_EQ(DM_FindView("dm_errors"), m);
  EXPECT_EQ(DM_FindView("DM_ERRORS"), nullptr);  // exact names
  EXPECT_NE(DM_GetViewMutex(m), nullptr);
}

TEST(DataModuleLock, RecursionCountsAndCorruptMagic) {
  DataModule* m = DM_Create("dm_lock", 8);
  ASSERT_TRUE(DM_IsView(m));
  const int16_t me = static_cast<int16_t>(getpid() & 0xFFFF);
  ASSERT_EQ(DM_Lock(m), 0);
  ASSERT_EQ(DM_Lock(m), 0);
  EXPECT_EQ(m->recursion, 2);
  EXPECT_EQ(m->lockOwner, me);
  EXPECT_EQ(DM_Unlock(m), 0);
  EXPECT_EQ(m->lockOwner, me);
  EXPECT_EQ(DM_Unlock(m), 0);
  EXPECT_EQ(m->lockOwner, 0);
  EXPECT_EQ(m->recursion, 0);

  m->magic = 0x1234;
  char buf[4];
  for (int r : {DM_Lock(m), DM_Unlock(m), DM_Read(m, buf, 1, 0), DM_Notify(m, 0), DM_Subscribe(m, 5)}) {
    EXPECT_EQ(r, -1);
  }
  errno = 7;
  EXPECT_EQ(DM_Lock(m), -1);
  EXPECT_EQ(errno, 0);
  EXPECT_EQ(DM_Lock(nullptr), -1);
  EXPECT_EQ(DM_Lock(DM_OpenFailed()), -1);
  m->magic = kDMMagic;
}

TEST(DataModuleData, ReadAndWriteBounds) {
  DataModule* m = DM_Create("dm_rw", 67);
  ASSERT_TRUE(DM_IsView(m));
  char buf[80] = {};
  struct Case {
    uint32_t length, offset;
    int result;
  } cases[] = {
      {67, 0, 0}, {1, 66, 0}, {0, 67, 0}, {68, 0, -1}, {1, 67, -1}, {2, 0xFFFFFFFFu, -1}, {0xFFFFFFFFu, 2, -1},
  };
  for (const auto& c : cases) {
    errno = 0;
    EXPECT_EQ(DM_Write(m, buf, c.length, c.offset), c.result) << c.length << "@" << c.offset;
    EXPECT_EQ(DM_Read(m, buf, c.length, c.offset), c.result) << c.length << "@" << c.offset;
    if (c.result) {
      EXPECT_EQ(errno, 67);
    }
    EXPECT_EQ(m->lockOwner, 0) << "lock released";
  }
  const char text[] = "values";
  ASSERT_EQ(DM_Write(m, text, sizeof text, 60), 0);
  // Another mapping of the same module sees the bytes.
  plat::ShmMapping other;
  ASSERT_EQ(plat::Shm_OpenExisting("Global\\dm_rw", &other), 0);
  EXPECT_STREQ(static_cast<char*>(other.base) + 128 + 60, "values");
  plat::Shm_Unmap(&other);
}

// A module whose header claims more than its mapping holds (written by a
// broken peer) is used only within what is really mapped.
TEST(DataModuleData, PeerHeaderIsClampedToTheRealSize) {
  DataModule* m = DM_Create("dm_lies", 16);
  ASSERT_TRUE(DM_IsView(m));
  ASSERT_EQ(DM_Lock(m), 0);
  m->dataSize = 1u << 30;
  m->size = 0xFFFFFF00u;
  m->notifyOffset = 0xFFFFFFF0u;
  ASSERT_EQ(DM_Unlock(m), 0);
  char buf[64] = {};
  EXPECT_EQ(DM_Write(m, buf, 64, 1 << 20), -1);
  EXPECT_EQ(errno, 67);
  DMTables t{};
  ASSERT_EQ(DM_GetTables(m, &t), 0);
  EXPECT_EQ(t.slots, 10);
  EXPECT_EQ(t.entries, 0);
  EXPECT_EQ(t.legacyEntries, 0);
  EXPECT_EQ(DM_Subscribe(m, 300), -1);
  EXPECT_EQ(DM_Notify(m, 0), 0);  // touches nothing outside the mapping
}

// A module in the legacy layout: only 6-byte slots and 4-byte entries.
DataModule* MakeLegacy(const char* name, uint32_t data) {
  const uint32_t rounded = data + (data & 1);
  DataModule* m = DM_CreateMapping(name, rounded + 60 + 128 + 128 - 108);
  if (!DM_IsView(m)) return m;
  m->dataSize = data;
  m->eventOffset = 128 + rounded;
  m->notifyOffset = 128 + rounded + 60;
  return m;
}

TEST(DataModuleLegacy, RecognisedAndServedThroughTheOldTables) {
  ASSERT_EQ(Sig_InstallHandler(Count), nullptr);
  ASSERT_NE(plat::NamedMutex::Create(std::string("Global\\") + DM_MutexName("dm_old")), nullptr);
  DataModule* m = MakeLegacy("dm_old", 5);
  ASSERT_TRUE(DM_IsView(m));
  DMTables t{};
  ASSERT_EQ(DM_GetTables(m, &t), 0);
  EXPECT_TRUE(t.legacy);
  EXPECT_EQ(t.slots, 0);
  EXPECT_EQ(t.entries, 0);
  EXPECT_EQ(t.legacySlots, 10);
  EXPECT_EQ(t.legacyEntries, 32);
  ASSERT_EQ(DM_ClaimEventSlot(m, 3), 0);
  EventSlot s{};
  ASSERT_EQ(DM_ReadEventSlot(m, true, 3, &s), 0);
  EXPECT_EQ(s.pid, getpid() & 0xFFFF);
  ASSERT_EQ(DM_Notify(m, 3), 0);
  ASSERT_EQ(DM_ReadEventSlot(m, true, 3, &s), 0);
  EXPECT_EQ(s.count, 1);
  EXPECT_EQ(DM_WaitEvent(m, 3), 0);  // counted: returns at once
  ASSERT_EQ(DM_Subscribe(m, 1234), 0);
  NotifyEntry e{};
  ASSERT_EQ(DM_ReadNotifyEntry(m, true, 1, &e), 0);
  EXPECT_EQ(e.code, 1234);
  EXPECT_EQ(DM_Unsubscribe(m), 0);
  EXPECT_EQ(DM_Unsubscribe(m), -1);
  Sig_RemoveHandler();
}

TEST(DataModuleSlots, ClaimWaitAndNotifyOnTheCurrentSlots) {
  ASSERT_EQ(Sig_InstallHandler(Count), nullptr);
  DataModule* m = DM_Create("dm_slots", 5);
  ASSERT_TRUE(DM_IsView(m));
  EXPECT_EQ(DM_ClaimEventSlot(m, 11), -1);
  EXPECT_EQ(errno, 67);
  EXPECT_EQ(DM_WaitEvent(m, 0), -1);
  EXPECT_EQ(DM_WaitIfPending(m, 11), -1);
  EXPECT_EQ(errno, 67);
  EXPECT_EQ(DM_Notify(m, 11), -1);
  EXPECT_EQ(errno, 67);

  EXPECT_EQ(DM_ClaimEventSlot(m, 4), 0);
  EXPECT_EQ(DM_ClaimEventSlot(m, 4), getpid());  // previous owner
  EventSlot s{};
  ASSERT_EQ(DM_ReadEventSlot(m, false, 4, &s), 0);
  EXPECT_EQ(s.pid, getpid());
  // Two notifications before the wait: two waits return at once.
  ASSERT_EQ(DM_MarkPending(m), 0);
  ASSERT_EQ(DM_MarkPending(m), 0);
  EXPECT_EQ(m->pendingCount, 2);
  ASSERT_EQ(DM_Notify(m, 4), 0);
  ASSERT_EQ(DM_Notify(m, 4), 0);
  EXPECT_EQ(m->pendingCount, 0);
  EXPECT_EQ(DM_WaitEvent(m, 4), 0);
  EXPECT_EQ(DM_WaitEvent(m, 4), 0);
  EXPECT_EQ(DM_WaitIfPending(m, 4), 0);  // nothing pending: at once
  // A slot of another process is refused.
  ASSERT_EQ(DM_Lock(m), 0);
  int32_t other = getpid() + 1;
  std::memcpy(reinterpret_cast<char*>(m) + m->eventOffset + 60 + 8 * 6, &other, 4);
  ASSERT_EQ(DM_Unlock(m), 0);
  EXPECT_EQ(DM_WaitEvent(m, 7), -1);
  EXPECT_EQ(errno, 67);
  EXPECT_EQ(DM_ClaimEventSlot(m, 0), 10);
  ASSERT_EQ(DM_ReadEventSlot(m, false, 7, &s), 0);
  EXPECT_EQ(s.pid, 0);
  Sig_RemoveHandler();
  // Without a handler the wait would sleep for ever: refused.
  EXPECT_EQ(DM_WaitEvent(m, 4), -1);
}

TEST(DataModuleSubscriptions, OneShotAcrossProcessesAndNotifyOthersSkipsTheCaller) {
  ASSERT_EQ(Sig_InstallHandler(Count), nullptr);
  DataModule* m = DM_Create("dm_subs", 100);
  ASSERT_TRUE(DM_IsView(m));
  EXPECT_EQ(DM_Subscribe(m, 70000), -1);  // does not fit the entry
  EXPECT_EQ(errno, 87);
  pid_t peer = testsupport::SpawnProgram({testsupport::BinPath("ipcpeer"), "subscribe", "dm_subs", "777", "500"});
  ASSERT_GT(peer, 0);
  // Wait until the peer's subscription is there.
  const int64_t limit = plat::MonotonicMs() + 20000;
  NotifyEntry e{};
  while (plat::MonotonicMs() < limit && !(DM_ReadNotifyEntry(m, false, 1, &e) == 0 && e.pid == peer)) plat::SleepMs(5);
  ASSERT_EQ(e.pid, peer);
  EXPECT_EQ(e.code, 777);
  // Our own subscription stays when we notify the others.
  ASSERT_EQ(DM_Subscribe(m, 555), 0);
  ASSERT_EQ(DM_Subscribe(m, 556), 0);  // same process: code replaced, no new entry
  ASSERT_EQ(DM_NotifyOthers(m, 0), 0);
  EXPECT_EQ(g_received.load(), 0);
  ASSERT_EQ(DM_ReadNotifyEntry(m, false, 1, &e), 0);
  EXPECT_EQ(e.pid, 0);  // the peer's entry was served and freed
  ASSERT_EQ(DM_ReadNotifyEntry(m, false, 2, &e), 0);
  EXPECT_EQ(e.pid, getpid());
  EXPECT_EQ(e.code, 556);
  ASSERT_EQ(DM_NotifyOthers(m, 0), 0);  // the peer did not subscribe again: nothing for it
  EXPECT_EQ(testsupport::WaitChild(peer, 30000), 1);  // exactly one code arrived
  // Unsubscribe frees both forms of our entry.
  ASSERT_EQ(DM_Unsubscribe(m), 0);
  ASSERT_EQ(DM_ReadNotifyEntry(m, false, 2, &e), 0);
  EXPECT_EQ(e.pid, 0);
  for (int i = 1; i <= 32; ++i) {
    ASSERT_EQ(DM_ReadNotifyEntry(m, true, i, &e), 0);
    EXPECT_NE(e.pid, getpid() & 0xFFFF) << i;
  }
  EXPECT_EQ(DM_Unsubscribe(m), -1);
  // A full notification sends our own subscription to us, once.
  ASSERT_EQ(DM_Subscribe(m, 600), 0);
  ASSERT_EQ(DM_Notify(m, 0), 0);
  ASSERT_EQ(DM_Notify(m, 0), 0);
  EXPECT_EQ(g_received.load(), 1);
  EXPECT_EQ(g_lastReceived.load(), 600);
  Sig_RemoveHandler();
}

// A notification made under a held lock sends nothing until the last lock
// of the thread is released: a stopped subscriber then never holds the
// module, and the codes still go out, in order.
TEST(DataModuleSubscriptions, CodesGoOutOnlyAfterTheLastUnlock) {
  ASSERT_EQ(Sig_InstallHandler(Count), nullptr);
  g_received = 0;
  DataModule* m = DM_Create("dm_held", 100);
  DataModule* other = DM_Create("dm_held2", 16);
  ASSERT_TRUE(DM_IsView(m) && DM_IsView(other));
  pid_t peer = testsupport::SpawnProgram({testsupport::BinPath("ipcpeer"), "subscribe", "dm_held", "888", "0"});
  ASSERT_GT(peer, 0);
  NotifyEntry e{};
  ASSERT_TRUE(testsupport::WaitUntil([&] { return DM_ReadNotifyEntry(m, false, 1, &e) == 0 && e.pid == peer; }, 20000));
  ASSERT_EQ(::kill(peer, SIGSTOP), 0);
  ASSERT_TRUE(testsupport::WaitUntil([&] { return testsupport::ProcessState(peer) == 'T'; }, 20000));
  ASSERT_EQ(DM_Subscribe(m, 601), 0);
  ASSERT_EQ(DM_Lock(other), 0);
  ASSERT_EQ(DM_Lock(m), 0);
  EXPECT_TRUE(DM_HoldsLock());
  ASSERT_EQ(DM_Notify(m, 0), 0);
  EXPECT_EQ(g_received.load(), 0) << "a code went out under the lock";
  ASSERT_EQ(DM_Unlock(m), 0);
  EXPECT_EQ(g_received.load(), 0) << "a code went out while another module was still locked";
  ASSERT_EQ(DM_Unlock(other), 0);
  EXPECT_FALSE(DM_HoldsLock());
  EXPECT_EQ(g_received.load(), 1);
  EXPECT_EQ(g_lastReceived.load(), 601);
  // Another process takes the lock while the subscriber is still stopped.
  pid_t taker = testsupport::ForkChild([] {
    DataModule* t = DM_Open("dm_held");
    return DM_IsView(t) && DM_Lock(t) == 0 && DM_Unlock(t) == 0 ? 0 : 1;
  });
  EXPECT_EQ(testsupport::WaitChild(taker, 20000), 0);
  ASSERT_EQ(::kill(peer, SIGCONT), 0);
  EXPECT_EQ(testsupport::WaitChild(peer, 30000), 1);  // its code came once it went on
  Sig_RemoveHandler();
}

TEST(DataModuleCrash, KilledLockHolderLeavesTheLockUsableAndTheHeaderRepaired) {
  DataModule* m = DM_Create("dm_crash", 16);
  ASSERT_TRUE(DM_IsView(m));
  pid_t holder = testsupport::SpawnProgram({testsupport::BinPath("cdxipc"), "hold", "dm_crash", "60"});
  ASSERT_GT(holder, 0);
  const int64_t limit = plat::MonotonicMs() + 20000;
  while (m->lockOwner != static_cast<int16_t>(holder & 0xFFFF) && plat::MonotonicMs() < limit) plat::SleepMs(5);
  ASSERT_EQ(m->lockOwner, static_cast<int16_t>(holder & 0xFFFF));
  kill(holder, SIGKILL);
  EXPECT_EQ(testsupport::WaitChild(holder, 10000), 128 + SIGKILL);
  int64_t start = plat::MonotonicMs();
  ASSERT_EQ(DM_Lock(m), 0);
  EXPECT_LT(plat::MonotonicMs() - start, 5000);
  EXPECT_EQ(m->lockOwner, static_cast<int16_t>(getpid() & 0xFFFF));
  EXPECT_EQ(m->recursion, 1);
  EXPECT_EQ(DM_Unlock(m), 0);
  EXPECT_EQ(m->lockOwner, 0);
}

bool IsCreatedModule(const std::string& object) {
  return object.rfind("Global\\dm_c", 0) == 0 && object.size() > 11 && std::isdigit(object[11]);
}

bool AnyCreatedModule() {
  for (const std::string& object : plat::Shm_List())
    if (IsCreatedModule(object)) return true;
  return false;
}

TEST(DataModuleCrash, KilledCreatorNeverLeavesAHalfMadeModule) {
  size_t seen = 0;
  for (int round = 0; round < 5; ++round) {
    pid_t creator = testsupport::SpawnProgram({testsupport::BinPath("ipcpeer"), "create-loop", "100000", "200000"});
    ASSERT_GT(creator, 0);  // kill(-1) would reach every process of the user
    // Kill it while it is making modules: once its first module is there
    // (however slowly a loaded machine started it), and a little later in
    // each round, so the kill lands at different steps of a creation.
    const int64_t limit = plat::MonotonicMs() + 30000;
    while (plat::MonotonicMs() < limit && !AnyCreatedModule()) plat::SleepMs(1);
    plat::SleepMs(3 * round);
    kill(creator, SIGKILL);
    testsupport::WaitChild(creator, 10000);
    // Each object is mapped afresh (DM_Open would hand back the view of an
    // earlier round's module of the same name).
    for (const std::string& object : plat::Shm_List()) {
      if (!IsCreatedModule(object)) continue;  // another test's module
      plat::ShmMapping mapping;
      ASSERT_EQ(plat::Shm_OpenExisting(object, &mapping), 0) << object;
      const auto* m = static_cast<const DataModule*>(mapping.base);
      EXPECT_EQ(mapping.size, 200000u + 544u + 108u) << object;
      EXPECT_EQ(m->magic, kDMMagic) << object;
      EXPECT_EQ(m->size, 200000u + 544u) << object;
      EXPECT_STREQ(m->name, object.c_str() + 7) << object;
      EXPECT_EQ(m->dataSize, 200000u) << object;
      EXPECT_EQ(m->eventOffset, 128u + 200000u) << object;
      EXPECT_EQ(m->notifyOffset, 128u + 200000u + 140u) << object;
      plat::Shm_Unmap(&mapping);
      ++seen;
      ASSERT_EQ(plat::Shm_Remove(object), 0);
    }
  }
  EXPECT_GT(seen, 0u);  // the creator was killed while it was making modules
}

// A few thousand cycles here; the soak label runs a hundred thousand
// (tests/soak), and bench_datamodule measures the hand-off.
TEST(DataModuleWait, WaitNotifyCyclesBetweenTwoProcesses) {
  ASSERT_EQ(Sig_InstallHandler(Count), nullptr);
  DataModule* m = DM_Create("dm_pingpong", 4);
  ASSERT_TRUE(DM_IsView(m));
  ASSERT_EQ(DM_ClaimEventSlot(m, 1), 0);
  const int cycles = 2000;
  pid_t peer = testsupport::SpawnProgram({testsupport::BinPath("ipcpeer"), "pingpong", "dm_pingpong", std::to_string(cycles)});
  EventSlot s{};
  // The peer's start (a sanitizer's too) is waited for, never timed.
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

namespace {

// Threads of one process that open the same module at the same moment all
// get a view that they can lock (one view per module and process).
TEST(DataModuleViews, MutexNamesBuiltOnTwoThreadsAtOnceStayTheirOwn) {
  std::atomic<int> wrong{0};
  auto build = [&](const char* module, const char* expected) {
    for (int i = 0; i < 20000; ++i)
      if (std::string(DM_MutexName(module)) != expected) ++wrong;
  };
  std::thread a(build, "dm_alpha", "Global\\dm_alpha.mut");
  std::thread b(build, "dm_b", "Global\\dm_b.mut");
  a.join();
  b.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST(DataModuleViews, ThreadsOpeningOneModuleTogetherGetOneLockableView) {
  const int modules = 20, threads = 8;
  pid_t creator = testsupport::ForkChild([&] {
    for (int i = 0; i < modules; ++i)
      if (!DM_IsView(DM_Create(("dm_race" + std::to_string(i)).c_str(), 64))) return 1;
    return 0;
  });
  ASSERT_EQ(testsupport::WaitChild(creator, 20000), 0);
  for (int i = 0; i < modules; ++i) {
    const std::string name = "dm_race" + std::to_string(i);
    std::atomic<int> ready{0};
    std::vector<DataModule*> views(threads, nullptr);
    std::vector<int> locks(threads, -2), errors(threads, 0);
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
      pool.emplace_back([&, t] {
        ++ready;
        while (ready < threads) {
        }
        views[t] = DM_Open(name.c_str());
        locks[t] = DM_Lock(views[t]);
        errors[t] = errno;
        if (locks[t] == 0) DM_Unlock(views[t]);
      });
    }
    for (auto& th : pool) th.join();
    for (int t = 0; t < threads; ++t) {
      EXPECT_EQ(locks[t], 0) << name << " thread " << t << " error " << errors[t];
      EXPECT_EQ(views[t], views[0]) << name << " thread " << t;
    }
  }
}

// Locks find their view without taking the table's lock: views added on one
// thread while others lock and unlock stay with their own mutex, across
// more views than one growth step and more than the lookup cache holds.
TEST(DataModuleViews, LocksWhileViewsAreAddedUseEachViewsOwnMutex) {
  const int modules = 90, lockers = 3;
  std::vector<DataModule*> views(modules, nullptr);
  std::atomic<int> made{0};
  std::atomic<bool> stop{false};
  std::atomic<int> failures{0};
  std::vector<std::thread> pool;
  for (int t = 0; t < lockers; ++t) {
    pool.emplace_back([&] {
      while (!stop) {
        const int n = made.load();
        for (int i = 0; i < n; ++i) {
          if (DM_Lock(views[i]) != 0) ++failures;
          else if (DM_Unlock(views[i]) != 0) ++failures;
        }
      }
    });
  }
  for (int i = 0; i < modules; ++i) {
    views[i] = DM_Create(("dm_many" + std::to_string(i)).c_str(), 16);
    ASSERT_TRUE(DM_IsView(views[i]));
    made = i + 1;
  }
  stop = true;
  for (auto& th : pool) th.join();
  EXPECT_EQ(failures.load(), 0);
  for (int i = 0; i < modules; ++i) {
    const std::string name = "dm_many" + std::to_string(i);
    ASSERT_NE(DM_GetViewMutex(views[i]), nullptr) << name;
    EXPECT_EQ(DM_GetViewMutex(views[i])->Name(), "Global\\Global\\" + name + ".mut");
    EXPECT_EQ(DM_FindView(name.c_str()), views[i]);
  }
}

}  // namespace
