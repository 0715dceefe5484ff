// Red-black tree: invariants under random puts and removes, replacement,
// re-entry from callbacks, ordered lookups and the printed listing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "base/memory/tree.h"
#include "base/memory/typedmem.h"

namespace {

// Items are small integers boxed in the pointer value (never null: +1).
void* Box(int v) { return reinterpret_cast<void*>(static_cast<intptr_t>(v) + 1); }
int Unbox(const void* p) { return static_cast<int>(reinterpret_cast<intptr_t>(p) - 1); }

int CompareInts(void*, const void* a, const void* b) {
    int x = Unbox(a), y = Unbox(b);
    return x < y ? -1 : x > y ? 1 : 0;
}

struct Counts {
    int added = 0;
    int deleted = 0;
};
void CountAdd(void* arg, void*) { static_cast<Counts*>(arg)->added++; }
void CountDelete(void* arg, void*) { static_cast<Counts*>(arg)->deleted++; }

// Checks the red-black properties through Tree_Print's listing (the only
// view of the shape): root black, no red child of a red node, the same
// number of black nodes on every path, and in-order keys sorted.
struct Shape {
    bool ok = true;
    std::string why;
};

struct ParsedNode {
    int depth;
    std::string side;
    bool nil;
    int key;
    bool red;
};

std::vector<ParsedNode> Parse(Tree* t) {
    char* text = nullptr;
    size_t len = 0;
    FILE* f = open_memstream(&text, &len);
    Tree_Print(t, f);
    fclose(f);
    std::vector<ParsedNode> nodes;
    for (char* line = strtok(text, "\n"); line != nullptr; line = strtok(nullptr, "\n")) {
        ParsedNode n{};
        int spaces = 0;
        while (line[spaces] == ' ') spaces++;
        n.depth = spaces / 2;
        char* colon = strchr(line, ':');
        n.side.assign(line + spaces, colon);
        const char* rest = colon + 2;
        n.nil = strcmp(rest, "NIL") == 0;
        if (!n.nil) {
            n.key = atoi(rest);
            n.red = strstr(rest, " RED") != nullptr;
        }
        nodes.push_back(n);
    }
    free(text);
    return nodes;
}

// Returns the black height of the subtree at nodes[*i], or -1.
int Check(const std::vector<ParsedNode>& nodes, size_t* i, bool parent_red, std::vector<int>* keys,
          std::string* why) {
    const ParsedNode& n = nodes.at((*i)++);
    if (n.nil) return 1;
    if (parent_red && n.red) {
        *why = "red node " + std::to_string(n.key) + " under a red one";
        return -1;
    }
    int left = Check(nodes, i, n.red, keys, why);
    if (left < 0) return -1;
    keys->push_back(n.key);
    int right = Check(nodes, i, n.red, keys, why);
    if (right < 0) return -1;
    if (left != right) {
        *why = "black heights differ below " + std::to_string(n.key);
        return -1;
    }
    return left + (n.red ? 0 : 1);
}

void ExpectValid(Tree* t, const std::set<int>& model) {
    auto nodes = Parse(t);
    ASSERT_FALSE(nodes.empty());
    if (!nodes[0].nil) { ASSERT_FALSE(nodes[0].red) << "red root"; }
    size_t i = 0;
    std::vector<int> keys;
    std::string why;
    ASSERT_GE(Check(nodes, &i, false, &keys, &why), 0) << why;
    ASSERT_EQ(i, nodes.size());
    ASSERT_EQ(keys, std::vector<int>(model.begin(), model.end()));
    ASSERT_EQ(Tree_Size(t), model.size());
    // In-order walk through First/Next and backwards through Last/Prev.
    std::vector<int> fwd, back;
    for (void* p = Tree_First(t); p != nullptr; p = Tree_Next(t, p)) fwd.push_back(Unbox(p));
    for (void* p = Tree_Last(t); p != nullptr; p = Tree_Prev(t, p)) back.insert(back.begin(), Unbox(p));
    ASSERT_EQ(fwd, keys);
    ASSERT_EQ(back, keys);
}

void PrintInt(void*, const void* item, char* buf, size_t size) { snprintf(buf, size, "%d", Unbox(item)); }

TEST(Tree, RandomPutsAndRemovesKeepInvariants) {
    Counts counts;
    Tree* t = Tree_Create(&counts, "test_tree", CompareInts, CountAdd, CountDelete, PrintInt);
    ASSERT_NE(t, nullptr);
    std::set<int> model;
    std::mt19937 rng(12345);
    for (int step = 0; step < 3000; step++) {
        int key = static_cast<int>(rng() % 400);
        if (rng() % 3 != 0) {
            int r = Tree_Put(t, Box(key));
            ASSERT_EQ(r, model.count(key) ? 1 : 0);
            model.insert(key);
        } else {
            int r = Tree_Remove(t, Box(key));
            ASSERT_EQ(r, model.erase(key) ? 1 : 0);
        }
        ASSERT_NO_FATAL_FAILURE(ExpectValid(t, model)) << "step " << step;
        ASSERT_EQ(Tree_Get(t, Box(key)) != nullptr, model.count(key) == 1);
    }
    EXPECT_EQ(counts.added - counts.deleted, static_cast<int>(model.size()));
    void** items = nullptr;
    int n = Tree_ToArray(t, "TEMPORARY", &items);
    ASSERT_EQ(n, static_cast<int>(model.size()));
    int i = 0;
    for (int k : model) EXPECT_EQ(Unbox(items[i++]), k);
    TypedMem_Free("TEMPORARY", items);
    Tree_Destroy(&t);
    EXPECT_EQ(t, nullptr);
    EXPECT_EQ(counts.added, counts.deleted);
}

TEST(Tree, NextAndPrevOfAbsentKeys) {
    Tree* t = Tree_Create(nullptr, "test_tree", CompareInts, nullptr, nullptr, nullptr);
    for (int k : {10, 20, 30}) ASSERT_EQ(Tree_Put(t, Box(k)), 0);
    struct {
        int key;
        int next;  // -1: none
        int prev;
    } cases[] = {{5, 10, -1}, {10, 20, -1}, {15, 20, 10}, {30, -1, 20}, {35, -1, 30}};
    for (auto& c : cases) {
        void* n = Tree_Next(t, Box(c.key));
        void* p = Tree_Prev(t, Box(c.key));
        EXPECT_EQ(n ? Unbox(n) : -1, c.next) << c.key;
        EXPECT_EQ(p ? Unbox(p) : -1, c.prev) << c.key;
    }
    EXPECT_EQ(Tree_Get(t, Box(15)), nullptr);
    Tree_Destroy(&t);
}

struct Item {
    int key;
    int version;
};
int CompareItems(void*, const void* a, const void* b) {
    return static_cast<const Item*>(a)->key - static_cast<const Item*>(b)->key;
}

TEST(Tree, EqualItemReplacesAndKeepsCount) {
    std::vector<int> deleted;
    Tree* t = Tree_Create(&deleted, "test_tree", CompareItems, nullptr,
                          [](void* arg, void* item) {
                              static_cast<std::vector<int>*>(arg)->push_back(static_cast<Item*>(item)->version);
                          },
                          nullptr);
    Item a{1, 1}, b{1, 2};
    EXPECT_EQ(Tree_Put(t, &a), 0);
    EXPECT_EQ(Tree_Put(t, &b), 1);
    EXPECT_EQ(Tree_Size(t), 1u);
    EXPECT_EQ(Tree_Get(t, &a), &b);
    EXPECT_EQ(deleted, std::vector<int>{1});
    errno = 0;
    EXPECT_EQ(Tree_Put(t, nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
    // A caller's node on the replace path is taken (and freed) too.
    Item c{1, 3};
    void* node = TypedMem_Realloc("test_tree", nullptr, Tree_NodeSize());
    EXPECT_EQ(Tree_PutWithNode(t, &c, node), 1);
    Item d{2, 1};
    node = TypedMem_Realloc("test_tree", nullptr, Tree_NodeSize());
    EXPECT_EQ(Tree_PutWithNode(t, &d, node), 0);
    EXPECT_EQ(Tree_Size(t), 2u);
    Tree_Destroy(&t);
    std::sort(deleted.begin() + 2, deleted.end());
    EXPECT_EQ(deleted, (std::vector<int>{1, 2, 1, 3}));
}

// A put or remove from inside a callback fails with EBUSY and changes
// nothing.
struct Reentry {
    Tree* tree = nullptr;
    int put = 0, put_errno = 0, removed = 0, remove_errno = 0, walk = 0, walk_errno = 0;
};
void ReenterOnDelete(void* arg, void*) {
    auto* r = static_cast<Reentry*>(arg);
    if (r->tree == nullptr) return;
    r->put = Tree_Put(r->tree, Box(99));
    r->put_errno = errno;
    r->removed = Tree_Remove(r->tree, Box(2));
    r->remove_errno = errno;
    r->walk = Tree_Walk(r->tree, [](void*, void*) { return 0; }, nullptr);
    r->walk_errno = errno;
}

TEST(Tree, ReentryFromCallbackIsRefused) {
    Reentry r;
    Tree* t = Tree_Create(&r, "test_tree", CompareInts, nullptr, ReenterOnDelete, nullptr);
    for (int k : {1, 2, 3}) Tree_Put(t, Box(k));
    r.tree = t;
    EXPECT_EQ(Tree_Remove(t, Box(1)), 1);
    EXPECT_EQ(r.put, -1);
    EXPECT_EQ(r.put_errno, EBUSY);
    EXPECT_EQ(r.removed, -1);
    EXPECT_EQ(r.remove_errno, EBUSY);
    EXPECT_EQ(r.walk, -1);
    EXPECT_EQ(r.walk_errno, EBUSY);
    EXPECT_EQ(Tree_Size(t), 2u);
    EXPECT_EQ(Tree_Get(t, Box(99)), nullptr);
    EXPECT_NE(Tree_Get(t, Box(2)), nullptr);
    // Not locked afterwards.
    EXPECT_EQ(Tree_Put(t, Box(4)), 0);
    r.tree = nullptr;
    Tree_Destroy(&t);
}

TEST(Tree, WalkStopsAtMinusOne) {
    Tree* t = Tree_Create(nullptr, "test_tree", CompareInts, nullptr, nullptr, nullptr);
    for (int k : {5, 1, 4, 2, 3}) Tree_Put(t, Box(k));
    std::vector<int> seen;
    EXPECT_EQ(Tree_Walk(t,
                        [](void* ctx, void* item) {
                            auto* v = static_cast<std::vector<int>*>(ctx);
                            v->push_back(Unbox(item));
                            return v->size() == 3 ? -1 : 0;
                        },
                        &seen),
              -1);
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 3}));
    seen.clear();
    EXPECT_EQ(Tree_Walk(t, [](void* ctx, void* item) { static_cast<std::vector<int>*>(ctx)->push_back(Unbox(item)); return 0; }, &seen), 0);
    EXPECT_EQ(seen.size(), 5u);
    Tree_Destroy(&t);
}

TEST(Tree, PrintListing) {
    Tree* t = Tree_Create(nullptr, "test_tree", CompareInts, nullptr, nullptr, PrintInt);
    for (int k : {2, 1, 3}) Tree_Put(t, Box(k));
    char* text = nullptr;
    size_t len = 0;
    FILE* f = open_memstream(&text, &len);
    Tree_Print(t, f);
    fclose(f);
    EXPECT_STREQ(text,
                 "ROOT: 2 BLACK\n"
                 "  LEFT: 1 RED\n"
                 "    LEFT: NIL\n"
                 "    RIGHT: NIL\n"
                 "  RIGHT: 3 RED\n"
                 "    LEFT: NIL\n"
                 "    RIGHT: NIL\n");
    free(text);
    Tree_Destroy(&t);
    Tree* empty = Tree_Create(nullptr, "test_tree", nullptr, nullptr, nullptr, nullptr);
    f = open_memstream(&text, &len);
    Tree_Print(empty, f);
    fclose(f);
    EXPECT_STREQ(text, "ROOT: NIL\n");
    free(text);
    void** items = reinterpret_cast<void**>(1);
    EXPECT_EQ(Tree_ToArray(empty, "TEMPORARY", &items), 0);
    EXPECT_EQ(items, nullptr);
    Tree_Destroy(&empty);
}

}  // namespace
