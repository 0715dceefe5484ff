// Hash table with chained buckets, grown and shrunk by rehashing.
#include "base/memory/hashtable.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/memory/basecheck.h"
#include "base/memory/typedmem.h"

namespace {

constexpr uint32_t kMinBuckets = 31;

struct Entry {
  void* item;
  Entry* next;
};

uint32_t HashAddress(void*, const void* item) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(item)); }
int SameItem(void*, const void* a, const void* b) { return a == b; }
void NoOp(void*, void*) {}

}  // namespace

struct HashTable {
  void* arg;
  HashTable_HashFn hash;
  HashTable_EqualFn equal;
  HashTable_AddFn add;
  HashTable_DeleteFn del;
  uint32_t load;
  unsigned mods;
  std::size_t size;
  std::size_t grow_at;
  std::size_t shrink_at;
  uint32_t nbuckets;
  unsigned iter_count;
  Entry** buckets;
  bool has_tag;
  char tag[kTypedMemTagSize];
  char entry_tag[kTypedMemTagSize];
  char iter_tag[kTypedMemTagSize];
  char buckets_tag[kTypedMemTagSize];
  bool locked;

  const char* Tag() const { return has_tag ? tag : nullptr; }
  const char* EntryTag() const { return has_tag ? entry_tag : nullptr; }
  const char* IterTag() const { return has_tag ? iter_tag : nullptr; }
  const char* BucketsTag() const { return has_tag ? buckets_tag : nullptr; }
};

struct HashTableIter {
  HashTable* table;
  unsigned mods;
  uint32_t bucket;
  Entry** ep;    // link to the next entry to return
  Entry** last;  // link to the entry returned last, or null
};

namespace {

class LockGuard {
 public:
  explicit LockGuard(HashTable* t) : t_(t), was_(t->locked) { t->locked = true; }
  ~LockGuard() { t_->locked = was_; }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  HashTable* t_;
  bool was_;
};

void SetLimits(HashTable* t) {
  std::size_t grow = static_cast<std::size_t>(t->nbuckets) * t->load / 100;
  t->grow_at = grow < 1 ? 1 : grow;
  t->shrink_at = t->nbuckets / 20;
}

// Moves every entry into a new bucket array; the table is left as it was
// when the array cannot be had.
void Rehash(HashTable* t, uint32_t new_nbuckets) {
  BASE_ASSERT(new_nbuckets > 0, "new_nbuckets > 0");
  auto** fresh = static_cast<Entry**>(TypedMem_Calloc(t->BucketsTag(), new_nbuckets, sizeof(Entry*)));
  if (fresh == nullptr) return;
  LockGuard lock(t);
  for (uint32_t b = 0; b < t->nbuckets; b++) {
    for (Entry* e = t->buckets[b]; e != nullptr;) {
      Entry* next = e->next;
      uint32_t nb = t->hash(t->arg, e->item) % new_nbuckets;
      e->next = fresh[nb];
      fresh[nb] = e;
      e = next;
    }
  }
  TypedMem_Free(t->BucketsTag(), t->buckets);
  t->buckets = fresh;
  t->nbuckets = new_nbuckets;
  SetLimits(t);
}

// The link that points at the entry equal to key (or at the bucket's end).
Entry** FindLink(HashTable* t, const void* key) {
  LockGuard lock(t);
  Entry** ep = &t->buckets[t->hash(t->arg, key) % t->nbuckets];
  while (*ep != nullptr && !t->equal(t->arg, key, (*ep)->item)) ep = &(*ep)->next;
  return ep;
}

// Unlinks *ep, runs the delete callback and shrinks when the table became
// sparse.
void Unlink(HashTable* t, Entry** ep) {
  Entry* e = *ep;
  *ep = e->next;
  void* item = e->item;
  TypedMem_Free(t->EntryTag(), e);
  t->size--;
  t->mods++;
  {
    LockGuard lock(t);
    t->del(t->arg, item);
  }
}

void MaybeShrink(HashTable* t) {
  if (t->size < t->shrink_at && t->nbuckets > kMinBuckets) {
    std::size_t n = t->size * t->load / 200;
    Rehash(t, n < kMinBuckets ? kMinBuckets : static_cast<uint32_t>(n));
  }
}

void CutTag(char* dst, const char* format, const char* tag) {
  char buf[64];
  snprintf(buf, sizeof buf, format, tag);
  std::size_t n = strlen(buf);
  if (n > kTypedMemTagSize - 1) n = kTypedMemTagSize - 1;
  memset(dst, 0, kTypedMemTagSize);
  memcpy(dst, buf, n);
}

}  // namespace

HashTable* HashTable_Create(void* arg, uint32_t nbuckets, uint32_t load, const char* tag, HashTable_HashFn hash,
                            HashTable_EqualFn equal, HashTable_AddFn add, HashTable_DeleteFn del) {
  auto* t = static_cast<HashTable*>(TypedMem_Calloc(tag, 1, sizeof(HashTable)));
  if (t == nullptr) return nullptr;
  t->arg = arg;
  t->hash = hash != nullptr ? hash : HashAddress;
  t->equal = equal != nullptr ? equal : SameItem;
  t->add = add != nullptr ? add : NoOp;
  t->del = del != nullptr ? del : NoOp;
  t->load = load == 0 ? 75 : load;
  t->nbuckets = nbuckets < kMinBuckets ? kMinBuckets : nbuckets;
  if (tag != nullptr) {
    t->has_tag = true;
    CutTag(t->tag, "%s", tag);
    CutTag(t->entry_tag, "%s.gent", t->tag);
    CutTag(t->iter_tag, "%s.iter", t->tag);
    CutTag(t->buckets_tag, "%s.buckets", t->tag);
  }
  t->buckets = static_cast<Entry**>(TypedMem_Calloc(t->BucketsTag(), t->nbuckets, sizeof(Entry*)));
  if (t->buckets == nullptr) {
    int e = errno;
    TypedMem_Free(tag, t);
    errno = e;
    return nullptr;
  }
  SetLimits(t);
  return t;
}

void HashTable_Destroy(HashTable** table) {
  if (table == nullptr || *table == nullptr) return;
  HashTable* t = *table;
  BASE_ASSERT(!t->locked, "!g->locked");
  BASE_ASSERT(t->iter_count == 0, "g->iter_count == 0");
  t->locked = true;
  for (uint32_t b = 0; b < t->nbuckets; b++) {
    for (Entry* e = t->buckets[b]; e != nullptr;) {
      Entry* next = e->next;
      t->del(t->arg, e->item);
      TypedMem_Free(t->EntryTag(), e);
      e = next;
    }
  }
  TypedMem_Free(t->BucketsTag(), t->buckets);
  char tag[kTypedMemTagSize];
  memcpy(tag, t->tag, sizeof tag);
  bool has_tag = t->has_tag;
  TypedMem_Free(has_tag ? tag : nullptr, t);
  *table = nullptr;
}

int HashTable_Put(HashTable* t, void* item) {
  if (item == nullptr) {
    errno = EINVAL;
    return -1;
  }
  if (t->locked) {
    errno = EBUSY;
    return -1;
  }
  Entry** ep = FindLink(t, item);
  if (*ep != nullptr) {
    void* old = (*ep)->item;
    (*ep)->item = item;
    t->mods++;
    LockGuard lock(t);
    t->del(t->arg, old);
    t->add(t->arg, item);
    return 1;
  }
  if (t->size + 1 > t->grow_at && t->nbuckets < UINT32_MAX / 2) Rehash(t, 2 * t->nbuckets - 1);
  auto* e = static_cast<Entry*>(TypedMem_Realloc(t->EntryTag(), nullptr, sizeof(Entry)));
  if (e == nullptr) return -1;
  uint32_t b;
  {
    LockGuard lock(t);
    b = t->hash(t->arg, item) % t->nbuckets;
  }
  e->item = item;
  e->next = t->buckets[b];
  t->buckets[b] = e;
  t->size++;
  t->mods++;
  LockGuard lock(t);
  t->add(t->arg, item);
  return 0;
}

void* HashTable_Get(HashTable* t, const void* key) {
  Entry** ep = FindLink(t, key);
  return *ep != nullptr ? (*ep)->item : nullptr;
}

int HashTable_Remove(HashTable* t, const void* key) {
  if (t->locked) {
    errno = EBUSY;
    return -1;
  }
  Entry** ep = FindLink(t, key);
  if (*ep == nullptr) return 0;
  Unlink(t, ep);
  MaybeShrink(t);
  return 1;
}

std::size_t HashTable_Size(const HashTable* t) { return t->size; }
uint32_t HashTable_BucketCount(const HashTable* t) { return t->nbuckets; }
void* HashTable_GetArg(const HashTable* t) { return t->arg; }

int HashTable_ToArray(HashTable* t, const char* tag, void*** out) {
  *out = nullptr;
  if (t->size == 0) return 0;
  if (t->size > static_cast<std::size_t>(INT32_MAX)) {
    errno = EOVERFLOW;
    return -1;
  }
  auto** items = static_cast<void**>(TypedMem_Realloc(tag, nullptr, t->size * sizeof(void*)));
  if (items == nullptr) return -1;
  std::size_t num = 0;
  for (uint32_t b = 0; b < t->nbuckets; b++)
    for (Entry* e = t->buckets[b]; e != nullptr; e = e->next) items[num++] = e->item;
  BASE_ASSERT(num == t->size, "num == g->size");
  *out = items;
  return static_cast<int>(num);
}

namespace {

// Moves the iterator's link to the next entry, across empty buckets.
void SkipEmpty(HashTableIter* it) {
  HashTable* t = it->table;
  while (*it->ep == nullptr && it->bucket + 1 < t->nbuckets) {
    it->bucket++;
    it->ep = &t->buckets[it->bucket];
  }
}

}  // namespace

HashTableIter* HashTable_IterCreate(HashTable* t) {
  auto* it = static_cast<HashTableIter*>(TypedMem_Calloc(t->IterTag(), 1, sizeof(HashTableIter)));
  if (it == nullptr) return nullptr;
  it->table = t;
  it->mods = t->mods;
  it->bucket = 0;
  it->ep = &t->buckets[0];
  it->last = nullptr;
  SkipEmpty(it);
  t->iter_count++;
  return it;
}

bool HashTable_IterHasNext(HashTableIter* it) {
  if (it->mods != it->table->mods) return false;
  return *it->ep != nullptr;
}

void* HashTable_IterNext(HashTableIter* it) {
  HashTable* t = it->table;
  if (it->mods != t->mods) {
    errno = EINVAL;
    return nullptr;
  }
  BASE_ASSERT(*it->ep != nullptr, "*iter->ep != NULL");
  BASE_ASSERT(it->bucket < t->nbuckets, "iter->bucket < g->nbuckets");
  Entry* e = *it->ep;
  it->last = it->ep;
  it->ep = &e->next;
  SkipEmpty(it);
  return e->item;
}

int HashTable_IterRemove(HashTableIter* it) {
  HashTable* t = it->table;
  if (it->last == nullptr || it->mods != t->mods) {
    errno = EINVAL;
    return -1;
  }
  if (t->locked) {
    errno = EBUSY;
    return -1;
  }
  // The next entry follows the removed one: when both are in one bucket
  // the link to it becomes the removed entry's link. The table is not
  // shrunk under an open iterator.
  Entry** last = it->last;
  bool same_bucket = it->ep == &(*last)->next;
  Unlink(t, last);
  if (same_bucket) it->ep = last;
  SkipEmpty(it);
  it->last = nullptr;
  it->mods = t->mods;
  return 1;
}

void HashTable_IterDestroy(HashTableIter** iter) {
  if (iter == nullptr || *iter == nullptr) return;
  HashTable* t = (*iter)->table;
  t->iter_count--;
  TypedMem_Free(t->IterTag(), *iter);
  *iter = nullptr;
}

void HashTable_WalkInit(HashTable*, HashTableWalk* walk) {
  walk->bucket = 0;
  walk->entry = nullptr;
}

int HashTable_WalkNext(HashTable* t, HashTableWalk* walk, void** item) {
  const Entry* e = walk->entry != nullptr ? static_cast<const Entry*>(walk->entry)->next : nullptr;
  if (walk->entry == nullptr && walk->bucket < t->nbuckets) e = t->buckets[walk->bucket];
  while (e == nullptr) {
    if (walk->bucket + 1 >= t->nbuckets) {
      walk->bucket = t->nbuckets;
      walk->entry = nullptr;
      errno = ENOENT;
      return -1;
    }
    walk->bucket++;
    e = t->buckets[walk->bucket];
  }
  walk->entry = e;
  *item = e->item;
  return 0;
}
