// The structure-type and item tests again, with typed-memory tracking on:
// every block must be freed under the tag it was allocated with (tracking
// stops the process otherwise), and no block is left at the end.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "base/memory/typedmem.h"

namespace {
// Before any allocation of this process goes through typed memory (the
// descriptors are constant data and allocate nothing).
const int tracking = TypedMem_Enable();

class NoBlockLeft : public ::testing::Environment {
 public:
  void TearDown() override {
    ASSERT_EQ(tracking, 0);
    TypedMemUsage usage{0, nullptr};
    ASSERT_EQ(TypedMem_GetUsage(&usage), 0);
    std::string left;
    for (uint32_t i = 0; i < usage.count; ++i)
      if (std::strcmp(usage.entries[i].type, "typed_mem_stats") != 0 && usage.entries[i].allocs != 0)
        left += std::string(usage.entries[i].type) + " ";
    TypedMem_Free("typed_mem_stats", usage.entries);
    EXPECT_EQ(left, "") << "blocks left under these tags";
  }
};
::testing::Environment* const no_block_left = ::testing::AddGlobalTestEnvironment(new NoBlockLeft);
}  // namespace

#include "tests/base/structs_item_test.cpp"
#include "tests/base/structs_types_test.cpp"
