#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>

#include "platform/error.h"
#include "platform/root.h"
#include "platform/shm.h"

namespace {

TEST(SharedMemory, CreateNewRunsTheInitialiserAndRefusesASecondCreate) {
  plat::ShmMapping m;
  ASSERT_EQ(plat::Shm_CreateNew("Global\\obj", 1000, [](void* base, size_t size) {
              EXPECT_EQ(size, 1000u);
              for (size_t i = 0; i < size; ++i) ASSERT_EQ(static_cast<char*>(base)[i], 0);  // zero-filled
              std::memcpy(base, "made", 4);
            }, &m), 0);
  EXPECT_EQ(m.size, 1000u);
  plat::ShmMapping again;
  EXPECT_EQ(plat::Shm_CreateNew("Global\\obj", 50, nullptr, &again), -1);
  EXPECT_EQ(plat::GetLastError(), 183u);
  EXPECT_EQ(again.base, nullptr);

  // Opens map the whole object whatever size they ask for.
  plat::ShmMapping opened;
  bool existed = false;
  ASSERT_EQ(plat::Shm_CreateOrOpen("Global\\obj", 76, nullptr, &opened, &existed), 0);
  EXPECT_TRUE(existed);
  EXPECT_EQ(opened.size, 1000u);
  EXPECT_EQ(std::memcmp(opened.base, "made", 4), 0);
  // Both views see the same memory.
  static_cast<char*>(m.base)[999] = 7;
  EXPECT_EQ(static_cast<char*>(opened.base)[999], 7);
  plat::Shm_Unmap(&opened);
  plat::Shm_Unmap(&m);
}

TEST(SharedMemory, MissingObjectsListAndRemove) {
  plat::ShmMapping m;
  EXPECT_EQ(plat::Shm_OpenExisting("Global\\none", &m), -1);
  EXPECT_EQ(plat::GetLastError(), 2u);
  // Names keep their case and odd bytes; the list gives them back decoded.
  for (const char* name : {"Global\\B", "Global\\b", "odd %name./x"}) {
    ASSERT_EQ(plat::Shm_CreateNew(name, 8, nullptr, &m), 0) << name;
    plat::Shm_Unmap(&m);
  }
  std::vector<std::string> names = plat::Shm_List();
  std::vector<std::string> expected = {"Global\\B", "Global\\b", "odd %name./x"};
  for (const auto& e : expected) EXPECT_NE(std::find(names.begin(), names.end(), e), names.end()) << e;
  EXPECT_EQ(plat::Shm_Remove("Global\\b"), 0);
  EXPECT_EQ(plat::Shm_Remove("Global\\b"), -1);
  EXPECT_EQ(plat::GetLastError(), 2u);
  EXPECT_EQ(plat::Shm_OpenExisting("Global\\B", &m), 0);
  plat::Shm_Unmap(&m);
  EXPECT_EQ(plat::ResetInstance(), 0);
  EXPECT_TRUE(plat::Shm_List().empty());
}

}  // namespace
