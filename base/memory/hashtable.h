// Hash table of caller-owned items, driven by callbacks.
//
// The table stores pointers. It has at least 31 buckets, grows to 2n - 1
// buckets when the count would pass buckets * load / 100, and shrinks when
// the count falls below buckets / 20. Equal items replace each other (delete
// callback on the old, add on the new). While a callback runs the table is
// locked and a put or remove from inside it fails with EBUSY. Not guarded
// against threads: the owner serialises access.
//
// Memory: the table under the caller's tag, entries under "<tag>.gent",
// iterators under "<tag>.iter", the bucket array under "<tag>.buckets"
// (each cut to 23 characters).
#pragma once

#include <cstddef>
#include <cstdint>

struct HashTable;
struct HashTableIter;

typedef uint32_t (*HashTable_HashFn)(void* arg, const void* item);
// Nonzero when a and b are equal.
typedef int (*HashTable_EqualFn)(void* arg, const void* a, const void* b);
typedef void (*HashTable_AddFn)(void* arg, void* item);
typedef void (*HashTable_DeleteFn)(void* arg, void* item);

// Walk state for HashTable_WalkInit / HashTable_WalkNext; valid while the
// table is not changed.
struct HashTableWalk {
  uint32_t bucket;
  const void* entry;
};

// nbuckets below 31 gives 31; load 0 gives 75 (percent). Null callbacks
// hash by address, compare by identity, and do nothing on add and delete.
HashTable* HashTable_Create(void* arg, uint32_t nbuckets, uint32_t load, const char* tag, HashTable_HashFn hash,
                            HashTable_EqualFn equal, HashTable_AddFn add, HashTable_DeleteFn del);
// Removes every item with the delete callback, frees the table and nulls
// *table. Asserts that it is not locked and that no iterator is open.
void HashTable_Destroy(HashTable** table);

// 0 added, 1 replaced an equal item, -1 with EINVAL (null item), EBUSY
// (locked) or ENOMEM.
int HashTable_Put(HashTable* table, void* item);
void* HashTable_Get(HashTable* table, const void* key);
// 1 removed, 0 absent, -1 with EBUSY.
int HashTable_Remove(HashTable* table, const void* key);
std::size_t HashTable_Size(const HashTable* table);
uint32_t HashTable_BucketCount(const HashTable* table);
void* HashTable_GetArg(const HashTable* table);

// The items in bucket order in a new array under tag (null when empty);
// returns the count, or -1 with errno.
int HashTable_ToArray(HashTable* table, const char* tag, void*** out);

// An iterator sees the table only while it is unchanged (except through its
// own HashTable_IterRemove): after any other change HasNext is false.
HashTableIter* HashTable_IterCreate(HashTable* table);
bool HashTable_IterHasNext(HashTableIter* iter);
void* HashTable_IterNext(HashTableIter* iter);
// Removes the item last returned by IterNext: 1, or -1 with EINVAL (none
// returned, or the table changed meanwhile) or EBUSY.
int HashTable_IterRemove(HashTableIter* iter);
void HashTable_IterDestroy(HashTableIter** iter);

void HashTable_WalkInit(HashTable* table, HashTableWalk* walk);
// The next item in *item: 0, or -1 with ENOENT at the end.
int HashTable_WalkNext(HashTable* table, HashTableWalk* walk, void** item);
