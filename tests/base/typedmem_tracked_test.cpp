// Typed memory with tracking on: guard words, tag checks and per-tag
// statistics. Every test switches tracking on first; each runs in a
// process where nothing was allocated through typed memory before.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "base/memory/typedmem.h"

namespace {

class Tracked : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(TypedMem_Enable(), 0) << strerror(errno); }
};

std::map<std::string, std::pair<uint32_t, uint32_t>> Usage() {
    TypedMemUsage u{};
    EXPECT_EQ(TypedMem_GetUsage(&u), 0);
    std::map<std::string, std::pair<uint32_t, uint32_t>> m;
    for (uint32_t i = 0; i < u.count; i++) m[u.entries[i].type] = {u.entries[i].allocs, u.entries[i].bytes};
    TypedMem_Free("typed_mem_stats", u.entries);
    return m;
}

TEST_F(Tracked, StatisticsAddUpThroughRandomAllocations) {
    const char* tags[] = {"alpha", "beta", "gamma"};
    struct Block {
        int tag;
        size_t size;
        unsigned char* p;
    };
    std::vector<Block> live;
    std::mt19937 rng(7);
    for (int step = 0; step < 2000; step++) {
        int op = static_cast<int>(rng() % 3);
        if (op == 0 || live.empty()) {
            int t = static_cast<int>(rng() % 3);
            size_t size = rng() % 300;
            auto* p = static_cast<unsigned char*>(TypedMem_Realloc(tags[t], nullptr, size));
            ASSERT_NE(p, nullptr);
            memset(p, t, size);
            live.push_back({t, size, p});
        } else if (op == 1) {
            Block& b = live[rng() % live.size()];
            size_t size = rng() % 4000;
            auto* p = static_cast<unsigned char*>(TypedMem_Realloc(tags[b.tag], b.p, size));
            ASSERT_NE(p, nullptr);
            for (size_t i = 0; i < std::min(size, b.size); i++) ASSERT_EQ(p[i], b.tag);
            memset(p, b.tag, size);
            b.p = p;
            b.size = size;
        } else {
            size_t i = rng() % live.size();
            TypedMem_Free(tags[live[i].tag], live[i].p);
            live.erase(live.begin() + static_cast<long>(i));
        }
        if (step % 100 == 0) {
            std::map<std::string, std::pair<uint32_t, uint32_t>> want;
            for (const Block& b : live) {
                auto& w = want[tags[b.tag]];
                w.first++;
                w.second += static_cast<uint32_t>(b.size);
            }
            auto got = Usage();
            got.erase("typed_mem_stats");
            ASSERT_EQ(got, want) << "step " << step;
        }
    }
    for (const Block& b : live) {
        char type[kTypedMemTagSize];
        ASSERT_EQ(TypedMem_GetBlockType(b.p, type), 0);
        EXPECT_STREQ(type, tags[b.tag]);
        TypedMem_Free(tags[b.tag], b.p);
    }
    auto rest = Usage();
    rest.erase("typed_mem_stats");
    EXPECT_TRUE(rest.empty());
}

TEST_F(Tracked, LongTagAccountedUnderFirst23Characters) {
    const char* tag30 = "abcdefghijklmnopqrstuvwxyz0123";
    void* p = TypedMem_Realloc(tag30, nullptr, 10);
    ASSERT_NE(p, nullptr);
    auto usage = Usage();
    ASSERT_EQ(usage.count("abcdefghijklmnopqrstuvw"), 1u);
    EXPECT_EQ(usage["abcdefghijklmnopqrstuvw"], std::make_pair(1u, 10u));
    char type[kTypedMemTagSize];
    ASSERT_EQ(TypedMem_GetBlockType(p, type), 0);
    EXPECT_STREQ(type, "abcdefghijklmnopqrstuvw");
    // Freed under a tag that agrees in the first 23 characters.
    TypedMem_Free("abcdefghijklmnopqrstuvwXYZ", p);
    EXPECT_EQ(Usage().count("abcdefghijklmnopqrstuvw"), 0u);
}

TEST_F(Tracked, UnknownBlockAndErrnoKeptByFree) {
    char type[kTypedMemTagSize];
    int local = 0;
    EXPECT_EQ(TypedMem_GetBlockType(&local, type), -1);
    EXPECT_EQ(errno, ENOENT);
    void* p = TypedMem_Strdup("TEMPORARY", "x");
    errno = 1234;
    TypedMem_Free("TEMPORARY", p);
    EXPECT_EQ(errno, 1234);
    // A failing tracked resize leaves the old block valid and accounted.
    char* s = TypedMem_Strdup("TEMPORARY", "keep");
    EXPECT_EQ(TypedMem_Realloc("TEMPORARY", s, SIZE_MAX - 4), nullptr);
    EXPECT_STREQ(s, "keep");
    EXPECT_EQ(Usage()["TEMPORARY"], std::make_pair(1u, 5u));
    TypedMem_Free("TEMPORARY", s);
}

TEST_F(Tracked, FormatMovesTextUnderTag) {
    char* out = nullptr;
    ASSERT_EQ(TypedMem_Format("names", &out, "%s%s%d", "Log", ".", 12), 6);
    char type[kTypedMemTagSize];
    ASSERT_EQ(TypedMem_GetBlockType(out, type), 0);
    EXPECT_STREQ(type, "names");
    EXPECT_EQ(Usage()["names"], std::make_pair(1u, 7u));
    TypedMem_Free("names", out);
}

TEST_F(Tracked, DumpUsageTable) {
    void* a = TypedMem_Realloc("beta", nullptr, 100);
    void* b = TypedMem_Realloc("alpha", nullptr, 20);
    void* c = TypedMem_Realloc("alpha", nullptr, 5);
    char* text = nullptr;
    size_t len = 0;
    FILE* f = open_memstream(&text, &len);
    TypedMem_DumpUsage(f);
    fclose(f);
    char want[1024];
    snprintf(want, sizeof want,
             "   %-28s %10s %10s\n   %-28s %10s %10s\n   %-28s %10u %10lu\n   %-28s %10u %10lu\n"
             "   %-28s %10s %10s\n   %-28s %10lu %10lu\n",
             "Type", "Count", "Total", "----", "-----", "-----", "alpha", 2u, 25ul, "beta", 1u, 100ul, "",
             "-----", "-----", "Totals", 3ul, 125ul);
    EXPECT_STREQ(text, want);
    free(text);
    TypedMem_Free("beta", a);
    TypedMem_Free("alpha", b);
    TypedMem_Free("alpha", c);
}

TEST_F(Tracked, PlainBlocksUnderNullTag) {
    void* p = TypedMem_Realloc(nullptr, nullptr, 32);
    char type[kTypedMemTagSize];
    EXPECT_EQ(TypedMem_GetBlockType(p, type), -1);
    EXPECT_EQ(errno, ENOENT);
    TypedMem_Free(nullptr, p);
}

// Misuse stops the process with a message naming the operation.
TEST_F(Tracked, MisuseStopsTheProcess) {
    struct Case {
        const char* name;
        void (*misuse)();
        const char* message;
    } cases[] = {
        {"tail overrun",
         [] {
             auto* p = static_cast<char*>(TypedMem_Realloc("buf", nullptr, 16));
             p[16] = 'x';
             TypedMem_Free("buf", p);
         },
         "FREE\\(\\): tail guard violated ptr=0x[0-9a-f]+ type=\"buf\""},
        {"head underrun",
         [] {
             auto* p = static_cast<char*>(TypedMem_Realloc("buf", nullptr, 16));
             p[-1] = 'x';
             p = static_cast<char*>(TypedMem_Realloc("buf", p, 32));
         },
         "REALLOC\\(\\): head guard violated ptr=0x[0-9a-f]+ type=\"buf\""},
        {"double free",
         [] {
             void* p = TypedMem_Realloc("buf", nullptr, 16);
             TypedMem_Free("buf", p);
             TypedMem_Free("buf", p);
         },
         "FREE\\(\\) of unallocated block: ptr=0x[0-9a-f]+ type=\"buf\""},
        {"wrong tag",
         [] {
             void* p = TypedMem_Strdup("structs_data", "abc");
             TypedMem_Free("TEMPORARY", p);
         },
         "FREE\\(\\) with wrong type: ptr=0x[0-9a-f]+ \"structs_data\" != \"TEMPORARY\""},
        {"foreign block",
         [] {
             void* p = malloc(64);
             TypedMem_Free("buf", static_cast<char*>(p) + 8);
         },
         "FREE\\(\\) of unallocated block"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_DEATH(c.misuse(), c.message);
    }
}

}  // namespace
