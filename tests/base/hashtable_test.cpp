// Hash table against std::unordered_map, its growth and shrink points,
// re-entry from callbacks and iterators.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <random>
#include <set>
#include <unordered_map>
#include <vector>

#include "base/memory/hashtable.h"
#include "base/memory/typedmem.h"

namespace {

struct Item {
    uint32_t key;
    int value;
};

uint32_t HashKey(void*, const void* item) { return static_cast<const Item*>(item)->key * 2654435761u; }
int SameKey(void*, const void* a, const void* b) {
    return static_cast<const Item*>(a)->key == static_cast<const Item*>(b)->key;
}
void DeleteItem(void*, void* item) { delete static_cast<Item*>(item); }

HashTable* NewTable(uint32_t nbuckets = 0, void* arg = nullptr, HashTable_DeleteFn del = DeleteItem) {
    return HashTable_Create(arg, nbuckets, 0, "test_table", HashKey, SameKey, nullptr, del);
}

TEST(HashTable, AgainstUnorderedMap) {
    HashTable* t = NewTable();
    ASSERT_NE(t, nullptr);
    std::unordered_map<uint32_t, int> model;
    std::mt19937 rng(99);
    for (int step = 0; step < 20000; step++) {
        // Phases of mostly puts, then mostly removes, so the table grows
        // and shrinks several times.
        bool growing = (step / 5000) % 2 == 0;
        uint32_t key = rng() % 3000;
        Item probe{key, 0};
        if ((rng() % 10 < 7) == growing) {
            int value = static_cast<int>(rng());
            int r = HashTable_Put(t, new Item{key, value});
            ASSERT_EQ(r, model.count(key) ? 1 : 0);
            model[key] = value;
        } else {
            ASSERT_EQ(HashTable_Remove(t, &probe), model.erase(key) ? 1 : 0);
        }
        auto* got = static_cast<Item*>(HashTable_Get(t, &probe));
        auto it = model.find(key);
        ASSERT_EQ(got != nullptr, it != model.end());
        if (got != nullptr) { ASSERT_EQ(got->value, it->second); }
        ASSERT_EQ(HashTable_Size(t), model.size());
        // Never above its grow limit; never sparse beyond the shrink point.
        uint32_t nb = HashTable_BucketCount(t);
        ASSERT_LE(model.size(), nb * 75 / 100) << step;
    }
    void** items = nullptr;
    int n = HashTable_ToArray(t, "TEMPORARY", &items);
    ASSERT_EQ(n, static_cast<int>(model.size()));
    std::unordered_map<uint32_t, int> seen;
    for (int i = 0; i < n; i++) seen[static_cast<Item*>(items[i])->key] = static_cast<Item*>(items[i])->value;
    EXPECT_EQ(seen, model);
    TypedMem_Free("TEMPORARY", items);
    HashTable_Destroy(&t);
    EXPECT_EQ(t, nullptr);
}

TEST(HashTable, BucketCountsAtGrowAndShrinkPoints) {
    HashTable* t = NewTable(10);
    EXPECT_EQ(HashTable_BucketCount(t), 31u);
    std::vector<Item*> items;
    for (uint32_t k = 0; k < 24; k++) {
        ASSERT_EQ(HashTable_Put(t, new Item{k, 0}), 0);
        EXPECT_EQ(HashTable_BucketCount(t), k < 23 ? 31u : 61u) << "item " << k + 1;
    }
    HashTable_Destroy(&t);

    // A large table shrinks once the count falls below buckets / 20.
    t = NewTable(2000);
    ASSERT_EQ(HashTable_BucketCount(t), 2000u);
    for (uint32_t k = 0; k < 200; k++) HashTable_Put(t, new Item{k, 0});
    for (uint32_t k = 0; k < 200; k++) {
        Item probe{k, 0};
        HashTable_Remove(t, &probe);
        size_t count = 199 - k;
        if (count >= 100) { ASSERT_EQ(HashTable_BucketCount(t), 2000u) << count; }
    }
    EXPECT_EQ(HashTable_BucketCount(t), 31u);
    HashTable_Destroy(&t);
}

struct Reentry {
    HashTable* table = nullptr;
    int put = 0, put_errno = 0, removed = 0, remove_errno = 0;
};
void ReenterOnDelete(void* arg, void* item) {
    auto* r = static_cast<Reentry*>(arg);
    if (r->table != nullptr) {
        static Item extra{777, 0};
        r->put = HashTable_Put(r->table, &extra);
        r->put_errno = errno;
        Item probe{2, 0};
        r->removed = HashTable_Remove(r->table, &probe);
        r->remove_errno = errno;
    }
    delete static_cast<Item*>(item);
}

TEST(HashTable, ReentryFromCallbackIsRefused) {
    Reentry r;
    HashTable* t = NewTable(0, &r, ReenterOnDelete);
    for (uint32_t k = 1; k <= 3; k++) HashTable_Put(t, new Item{k, 0});
    r.table = t;
    Item one{1, 0};
    EXPECT_EQ(HashTable_Remove(t, &one), 1);
    EXPECT_EQ(r.put, -1);
    EXPECT_EQ(r.put_errno, EBUSY);
    EXPECT_EQ(r.removed, -1);
    EXPECT_EQ(r.remove_errno, EBUSY);
    EXPECT_EQ(HashTable_Size(t), 2u);
    Item extra{777, 0}, two{2, 0};
    EXPECT_EQ(HashTable_Get(t, &extra), nullptr);
    EXPECT_NE(HashTable_Get(t, &two), nullptr);
    // The replace path runs the delete callback too.
    EXPECT_EQ(HashTable_Put(t, new Item{3, 5}), 1);
    EXPECT_EQ(r.put_errno, EBUSY);
    EXPECT_EQ(HashTable_Size(t), 2u);
    r.table = nullptr;
    EXPECT_EQ(HashTable_Put(t, nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
    HashTable_Destroy(&t);
}

TEST(HashTable, IteratorsAndWalk) {
    HashTable* t = NewTable();
    std::set<uint32_t> keys;
    for (uint32_t k = 0; k < 100; k++) {
        HashTable_Put(t, new Item{k, 0});
        keys.insert(k);
    }
    // Removing every odd item through the iterator visits each item once.
    HashTableIter* it = HashTable_IterCreate(t);
    std::set<uint32_t> seen;
    while (HashTable_IterHasNext(it)) {
        auto* item = static_cast<Item*>(HashTable_IterNext(it));
        ASSERT_TRUE(seen.insert(item->key).second);
        if (item->key % 2 == 1) { ASSERT_EQ(HashTable_IterRemove(it), 1); }
    }
    EXPECT_EQ(seen, keys);
    EXPECT_EQ(HashTable_IterRemove(it), -1);
    EXPECT_EQ(errno, EINVAL);
    HashTable_IterDestroy(&it);
    EXPECT_EQ(HashTable_Size(t), 50u);

    // Any other change ends an open iterator.
    it = HashTable_IterCreate(t);
    ASSERT_TRUE(HashTable_IterHasNext(it));
    HashTable_Put(t, new Item{1000, 0});
    EXPECT_FALSE(HashTable_IterHasNext(it));
    HashTable_IterDestroy(&it);

    HashTableWalk walk;
    HashTable_WalkInit(t, &walk);
    void* item = nullptr;
    std::set<uint32_t> walked;
    while (HashTable_WalkNext(t, &walk, &item) == 0) walked.insert(static_cast<Item*>(item)->key);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(walked.size(), 51u);
    EXPECT_EQ(walked.count(1000), 1u);
    EXPECT_EQ(walked.count(1), 0u);
    HashTable_Destroy(&t);
}

TEST(HashTable, DefaultCallbacksUseIdentity) {
    HashTable* t = HashTable_Create(nullptr, 0, 0, "test_table", nullptr, nullptr, nullptr, nullptr);
    int a = 1, b = 1;
    EXPECT_EQ(HashTable_Put(t, &a), 0);
    EXPECT_EQ(HashTable_Put(t, &b), 0);
    EXPECT_EQ(HashTable_Put(t, &a), 1);
    EXPECT_EQ(HashTable_Size(t), 2u);
    EXPECT_EQ(HashTable_Get(t, &b), &b);
    HashTable_Destroy(&t);
}

TEST(HashTableDeath, DestroyWithOpenIterator) {
    EXPECT_DEATH(
        {
            HashTable* t = NewTable();
            HashTable_IterCreate(t);
            HashTable_Destroy(&t);
        },
        "g->iter_count == 0");
}

}  // namespace
