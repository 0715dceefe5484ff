// Typed memory in normal running (tracking off) and formatting into
// allocated text.
#include <gtest/gtest.h>
#include <malloc.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/memory/typedmem.h"
#include "base_support.h"

// Failed allocations are part of what is tested: the sanitizer's allocator
// returns null for them instead of stopping the program.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }

namespace {

int Format(char** out, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    int r = Stream_FormatAlloc(out, fmt, args);
    va_end(args);
    return r;
}

TEST(TypedMemUntracked, AnyTagFreesAnyBlock) {
    if (TypedMemTracking()) GTEST_SKIP() << "tags are checked when tracking is on";
    void* p = TypedMem_Realloc("one", nullptr, 100);
    ASSERT_NE(p, nullptr);
    p = TypedMem_Realloc("two", p, 5000);
    ASSERT_NE(p, nullptr);
    TypedMem_Free("three", p);
    TypedMem_Free(nullptr, TypedMem_Strdup("four", "x"));
    TypedMem_Free("ignored", nullptr);
    char type[kTypedMemTagSize];
    char probe;
    EXPECT_EQ(TypedMem_GetBlockType(&probe, type), -1);
    EXPECT_EQ(errno, ENXIO);
    TypedMemUsage usage{};
    EXPECT_EQ(TypedMem_GetUsage(&usage), -1);
    EXPECT_EQ(errno, ENXIO);
    EXPECT_EQ(usage.entries, nullptr);
}

TEST(TypedMemUntracked, DumpSaysNotEnabled) {
    if (TypedMemTracking()) GTEST_SKIP();
    char* text = nullptr;
    size_t len = 0;
    FILE* f = open_memstream(&text, &len);
    TypedMem_DumpUsage(f);
    fclose(f);
    EXPECT_STREQ(text, "Typed memory is not enabled.\n");
    free(text);
}

// Enable's answer depends on whether anything was allocated before it in
// the process, so each case runs in a fresh process.
TEST(TypedMemEnable, TwiceBeforeAnyAllocationThenBusyAfterIt) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            int a = TypedMem_Enable();
            int b = TypedMem_Enable();
            _exit(a == 0 && b == 0 ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
    EXPECT_EXIT(
        {
            bool on = TypedMemTracking();
            TypedMem_Free("TEMPORARY", TypedMem_Strdup("TEMPORARY", "x"));
            int r = TypedMem_Enable();
            // Already on (tracked run): 0; else the Strdup made it too late.
            _exit(on ? (r == 0 ? 0 : 1) : (r == -1 && errno == EBUSY ? 0 : 2));
        },
        testing::ExitedWithCode(0), "");
}

TEST(TypedMem, CallocStrdupAndReallocOrFree) {
    auto* z = static_cast<unsigned char*>(TypedMem_Calloc("TEMPORARY", 10, 7));
    ASSERT_NE(z, nullptr);
    for (int i = 0; i < 70; i++) EXPECT_EQ(z[i], 0);
    TypedMem_Free("TEMPORARY", z);

    errno = 0;
    EXPECT_EQ(TypedMem_Calloc("TEMPORARY", SIZE_MAX / 2, 4), nullptr);
    EXPECT_EQ(errno, ENOMEM);

    char* s = TypedMem_Strdup("TEMPORARY", "hello");
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s, "hello");
    // A failing resize frees the block (ASan/LSan see a leak otherwise).
    errno = 0;
    EXPECT_EQ(TypedMem_ReallocOrFree("TEMPORARY", s, SIZE_MAX - 4), nullptr);
    EXPECT_EQ(errno, ENOMEM);
    // Size 0 frees once, not twice.
    s = TypedMem_Strdup("TEMPORARY", "again");
    EXPECT_EQ(TypedMem_ReallocOrFree("TEMPORARY", s, 0), nullptr);
    s = static_cast<char*>(TypedMem_ReallocOrFree("TEMPORARY", TypedMem_Strdup("TEMPORARY", "ab"), 100));
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s, "ab");
    TypedMem_Free("TEMPORARY", s);
}

TEST(StreamFormatAlloc, BufferSizesAndLimit) {
    struct Case {
        size_t length;
        size_t buffer;  // 0: fails
    } cases[] = {{0, 1000}, {999, 1000}, {1000, 2000}, {1500, 2000}, {1999, 2000}, {3000, 4000},
                 {7999, 8000}, {8000, 15000}, {14999, 15000}, {15000, 0}, {40000, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        std::string want(c.length, 'q');
        char* out = reinterpret_cast<char*>(1);
        int n = Format(&out, "%s", want.c_str());
        if (c.buffer == 0) {
            EXPECT_EQ(n, -1);
            EXPECT_EQ(errno, EOVERFLOW);
            EXPECT_EQ(out, nullptr);
            continue;
        }
        ASSERT_EQ(n, static_cast<int>(c.length));
        EXPECT_EQ(want, out);
        size_t usable = malloc_usable_size(out);
        EXPECT_GE(usable, c.buffer);
        EXPECT_LT(usable, c.buffer == 15000 ? 16000 : c.buffer * 2);
        free(out);
    }
}

TEST(StreamFormatAlloc, ArgumentsSurviveRetries) {
    // The argument list is used again for the larger buffer.
    std::string pad(5000, '-');
    char* out = nullptr;
    int n = Format(&out, "%s|%d|%s|%.2f", pad.c_str(), 42, "tail", 2.5);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(out), pad + "|42|tail|2.50");
    free(out);
}

TEST(TypedMemFormat, UnderTag) {
    char* out = nullptr;
    EXPECT_EQ(TypedMem_Format("structs_data", &out, "%s.%d", "LogChannel", 7), 12);
    EXPECT_STREQ(out, "LogChannel.7");
    TypedMem_Free("structs_data", out);
    std::string big(20000, 'x');
    out = reinterpret_cast<char*>(1);
    EXPECT_EQ(TypedMem_Format("structs_data", &out, "%s", big.c_str()), -1);
    EXPECT_EQ(out, nullptr);
}

}  // namespace
