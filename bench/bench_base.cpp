// The structured-data library's containers: puts and lookups of n integer
// keys in the red-black tree and in the hash table.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "base/memory/hashtable.h"
#include "base/memory/tree.h"

namespace {

void* Box(uint32_t v) { return reinterpret_cast<void*>(static_cast<uintptr_t>(v) + 1); }

int CompareKeys(void*, const void* a, const void* b) {
    auto x = reinterpret_cast<uintptr_t>(a), y = reinterpret_cast<uintptr_t>(b);
    return x < y ? -1 : x > y ? 1 : 0;
}
uint32_t HashKey(void*, const void* a) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(a)) * 2654435761u;
}

std::vector<uint32_t> Keys(size_t n) {
    std::mt19937 rng(42);
    std::vector<uint32_t> keys(n);
    for (auto& k : keys) k = rng();
    return keys;
}

void BM_TreePutGetRemove(benchmark::State& state) {
    auto keys = Keys(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        Tree* t = Tree_Create(nullptr, "bench_tree", CompareKeys, nullptr, nullptr, nullptr);
        for (uint32_t k : keys) Tree_Put(t, Box(k));
        for (uint32_t k : keys) benchmark::DoNotOptimize(Tree_Get(t, Box(k)));
        for (uint32_t k : keys) Tree_Remove(t, Box(k));
        Tree_Destroy(&t);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0) * 3);
}
BENCHMARK(BM_TreePutGetRemove)->Arg(1000)->Arg(100000);

void BM_HashTablePutGetRemove(benchmark::State& state) {
    auto keys = Keys(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        HashTable* t = HashTable_Create(nullptr, 0, 0, "bench_table", HashKey, nullptr, nullptr, nullptr);
        for (uint32_t k : keys) HashTable_Put(t, Box(k));
        for (uint32_t k : keys) benchmark::DoNotOptimize(HashTable_Get(t, Box(k)));
        for (uint32_t k : keys) HashTable_Remove(t, Box(k));
        HashTable_Destroy(&t);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0) * 3);
}
BENCHMARK(BM_HashTablePutGetRemove)->Arg(1000)->Arg(100000);

}  // namespace

BENCHMARK_MAIN();
