#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

#include "platform/error.h"
#include "platform/named_mutex.h"
#include "platform/sync.h"
#include "support/child.h"

namespace {

using plat::NamedMutex;

TEST(NamedMutexes, CreateOpenAndRecursion) {
  bool existed = true;
  auto a = NamedMutex::Create("Global\\m1", &existed);
  ASSERT_TRUE(a);
  EXPECT_FALSE(existed);
  auto b = NamedMutex::Create("Global\\m1", &existed);
  EXPECT_TRUE(existed);
  EXPECT_FALSE(NamedMutex::Open("global\\m1"));  // names are exact
  EXPECT_EQ(plat::GetLastError(), 2u);

  EXPECT_EQ(a->Lock(plat::kInfinite), NamedMutex::kAcquired);
  EXPECT_EQ(b->Lock(0), NamedMutex::kAcquired);  // same thread, other handle: recursive
  int other = -2;
  std::thread([&] { other = a->Lock(50); }).join();
  EXPECT_EQ(other, NamedMutex::kTimeout);
  EXPECT_EQ(a->Unlock(), 0);
  std::thread([&] { other = a->Lock(50); }).join();
  EXPECT_EQ(other, NamedMutex::kTimeout);  // one level still held
  EXPECT_EQ(b->Unlock(), 0);
  EXPECT_EQ(a->Unlock(), -1);
  EXPECT_EQ(plat::GetLastError(), 288u);
}

TEST(NamedMutexes, AnotherProcessHoldingItBlocksUsAndItsDeathAbandonsIt) {
  auto m = NamedMutex::Create("Global\\m2");
  ASSERT_TRUE(m);
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t child = testsupport::ForkChild([&] {
    auto own = NamedMutex::Open("Global\\m2");
    if (!own || own->Lock(plat::kInfinite) != NamedMutex::kAcquired) return 1;
    char c = 'x';
    if (write(ready[1], &c, 1) != 1) return 1;
    pause();  // holds it until killed
    return 0;
  });
  char c;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  EXPECT_EQ(m->Lock(100), NamedMutex::kTimeout);
  kill(child, SIGKILL);
  EXPECT_EQ(testsupport::WaitChild(child, 10000), 128 + SIGKILL);
  EXPECT_EQ(m->Lock(10000), NamedMutex::kAbandoned);
  EXPECT_EQ(m->Unlock(), 0);
  // Consistent again: the next lock is a plain one.
  EXPECT_EQ(m->Lock(0), NamedMutex::kAcquired);
  EXPECT_EQ(m->Unlock(), 0);
  close(ready[0]);
  close(ready[1]);
}

}  // namespace
