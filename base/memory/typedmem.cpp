// Typed memory: tagged heap blocks, with optional tracking by guard words
// and per-tag accounting.
#include "base/memory/typedmem.h"

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/memory/basecheck.h"
#include "base/memory/tree.h"

namespace {

constexpr uint32_t kGuard = 0x9f718e34;
constexpr std::size_t kGuardBytes = 8;  // two guard words on each side

struct TagRecord {
  char type[kTypedMemTagSize];
  uint32_t count;
  uint32_t total;
};

struct BlockRecord {
  unsigned char* start;
  std::size_t size;
  TagRecord* tag;
};

std::atomic<bool> g_tracking{false};
std::atomic<bool> g_used{false};
pthread_mutex_t g_mutex;
Tree* g_blocks = nullptr;
Tree* g_tags = nullptr;
std::size_t g_node_size = 0;

int CompareBlocks(void*, const void* a, const void* b) {
  auto x = static_cast<const BlockRecord*>(a)->start;
  auto y = static_cast<const BlockRecord*>(b)->start;
  return x < y ? -1 : x > y ? 1 : 0;
}

int CompareTags(void*, const void* a, const void* b) {
  return strcmp(static_cast<const TagRecord*>(a)->type, static_cast<const TagRecord*>(b)->type);
}

class MutexLock {
 public:
  MutexLock() { BASE_ASSERT(pthread_mutex_lock(&g_mutex) == 0, "pthread_mutex_lock"); }
  ~MutexLock() { BASE_ASSERT(pthread_mutex_unlock(&g_mutex) == 0, "pthread_mutex_unlock"); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;
};

// The tag cut to 23 characters, as a lookup key.
TagRecord TagKey(const char* tag) {
  TagRecord key{};
  strncpy(key.type, tag, sizeof key.type - 1);
  return key;
}

void WriteGuards(unsigned char* start, std::size_t size) {
  const uint32_t guards[2] = {kGuard, kGuard};
  memcpy(start, guards, kGuardBytes);
  memcpy(start + kGuardBytes + size, guards, kGuardBytes);
}

bool GuardHolds(const unsigned char* at) {
  uint32_t words[2];
  memcpy(words, at, sizeof words);
  return words[0] == kGuard && words[1] == kGuard;
}

bool EnsureTrees() {
  if (g_blocks != nullptr) return true;
  g_blocks = Tree_Create(nullptr, nullptr, CompareBlocks, nullptr, nullptr, nullptr);
  if (g_blocks == nullptr) return false;
  g_tags = Tree_Create(nullptr, nullptr, CompareTags, nullptr, nullptr, nullptr);
  if (g_tags == nullptr) {
    int e = errno;
    Tree_Destroy(&g_blocks);
    errno = e;
    return false;
  }
  g_node_size = Tree_NodeSize();
  return true;
}

[[noreturn]] void Misuse() {
  fflush(stderr);
  BASE_ASSERT(false, "typed memory misuse");
}

// Finds and checks the tracked block behind a caller's pointer; reports
// misuse and stops the process.
BlockRecord* CheckBlock(const char* op, const char* tag, void* ptr) {
  BlockRecord key{static_cast<unsigned char*>(ptr) - kGuardBytes, 0, nullptr};
  auto* rec = g_blocks != nullptr ? static_cast<BlockRecord*>(Tree_Get(g_blocks, &key)) : nullptr;
  if (rec == nullptr) {
    fprintf(stderr, "%s() of unallocated block: ptr=%p type=\"%s\"\n", op, ptr, tag);
    Misuse();
  }
  if (strncmp(rec->tag->type, tag, kTypedMemTagSize - 1) != 0) {
    fprintf(stderr, "%s() with wrong type: ptr=%p \"%s\" != \"%s\"\n", op, ptr, rec->tag->type, tag);
    Misuse();
  }
  BASE_ASSERT(rec->tag->count > 0, "tag count > 0");
  if (!GuardHolds(rec->start)) {
    fprintf(stderr, "%s(): %s guard violated ptr=%p type=\"%s\"\n", op, "head", ptr, tag);
    Misuse();
  }
  if (!GuardHolds(rec->start + kGuardBytes + rec->size)) {
    fprintf(stderr, "%s(): %s guard violated ptr=%p type=\"%s\"\n", op, "tail", ptr, tag);
    Misuse();
  }
  return rec;
}

void* TrackedAlloc(const char* tag, std::size_t size) {
  if (size > SIZE_MAX - 2 * kGuardBytes) {
    errno = ENOMEM;
    return nullptr;
  }
  MutexLock lock;
  if (!EnsureTrees()) return nullptr;
  auto* rec = static_cast<BlockRecord*>(malloc(sizeof(BlockRecord)));
  if (rec == nullptr) return nullptr;
  auto* start = static_cast<unsigned char*>(malloc(size + 2 * kGuardBytes));
  if (start == nullptr) {
    int e = errno;
    free(rec);
    errno = e;
    return nullptr;
  }
  TagRecord key = TagKey(tag);
  auto* trec = static_cast<TagRecord*>(Tree_Get(g_tags, &key));
  bool new_tag = false;
  if (trec == nullptr) {
    trec = static_cast<TagRecord*>(malloc(sizeof(TagRecord)));
    if (trec != nullptr) *trec = key;
    if (trec == nullptr || Tree_Put(g_tags, trec) < 0) {
      int e = errno;
      free(trec);
      free(start);
      free(rec);
      errno = e;
      return nullptr;
    }
    new_tag = true;
  }
  *rec = BlockRecord{start, size, trec};
  if (Tree_Put(g_blocks, rec) < 0) {
    int e = errno;
    if (new_tag) {
      Tree_Remove(g_tags, trec);
      free(trec);
    }
    free(start);
    free(rec);
    errno = e;
    return nullptr;
  }
  trec->count++;
  trec->total += static_cast<uint32_t>(size);
  WriteGuards(start, size);
  return start + kGuardBytes;
}

void* TrackedResize(const char* tag, void* ptr, std::size_t size) {
  if (size > SIZE_MAX - 2 * kGuardBytes) {
    errno = ENOMEM;
    return nullptr;
  }
  MutexLock lock;
  BlockRecord* rec = CheckBlock("REALLOC", tag, ptr);
  // The spare node makes re-keying a moved block unable to fail.
  void* spare = malloc(g_node_size);
  if (spare == nullptr) return nullptr;
  auto* start = static_cast<unsigned char*>(realloc(rec->start, size + 2 * kGuardBytes));
  if (start == nullptr) {
    int e = errno;
    free(spare);
    errno = e;
    return nullptr;
  }
  TagRecord* trec = rec->tag;
  trec->count--;
  trec->total -= static_cast<uint32_t>(rec->size);
  rec->size = size;
  if (start != rec->start) {
    Tree_Remove(g_blocks, rec);
    rec->start = start;
    BASE_ASSERT(Tree_PutWithNode(g_blocks, rec, spare) == 0, "re-insert of a moved block");
  } else {
    free(spare);
  }
  trec->count++;
  trec->total += static_cast<uint32_t>(size);
  WriteGuards(start, size);
  return start + kGuardBytes;
}

void TrackedFree(const char* tag, void* ptr) {
  MutexLock lock;
  BlockRecord* rec = CheckBlock("FREE", tag, ptr);
  TagRecord* trec = rec->tag;
  trec->count--;
  trec->total -= static_cast<uint32_t>(rec->size);
  if (trec->count == 0) {
    BASE_ASSERT(trec->total == 0, "tag total == 0");
    Tree_Remove(g_tags, trec);
    free(trec);
  }
  Tree_Remove(g_blocks, rec);
  free(rec->start);
  free(rec);
}

bool Tracked(const char* tag) {
  g_used.store(true, std::memory_order_relaxed);
  return tag != nullptr && g_tracking.load(std::memory_order_acquire);
}

}  // namespace

void* TypedMem_Realloc(const char* tag, void* ptr, std::size_t size) {
  if (!Tracked(tag)) return realloc(ptr, size);
  return ptr == nullptr ? TrackedAlloc(tag, size) : TrackedResize(tag, ptr, size);
}

void TypedMem_Free(const char* tag, void* ptr) {
  if (ptr == nullptr) return;
  int e = errno;
  if (!Tracked(tag))
    free(ptr);
  else
    TrackedFree(tag, ptr);
  errno = e;
}

void* TypedMem_Calloc(const char* tag, std::size_t count, std::size_t size) {
  std::size_t total;
  if (__builtin_mul_overflow(count, size, &total)) {
    errno = ENOMEM;
    return nullptr;
  }
  void* p = TypedMem_Realloc(tag, nullptr, total);
  if (p != nullptr) memset(p, 0, total);
  return p;
}

char* TypedMem_Strdup(const char* tag, const char* text) {
  if (text == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  std::size_t n = strlen(text) + 1;
  auto* copy = static_cast<char*>(TypedMem_Realloc(tag, nullptr, n));
  if (copy != nullptr) memcpy(copy, text, n);
  return copy;
}

void* TypedMem_ReallocOrFree(const char* tag, void* ptr, std::size_t size) {
  // realloc(p, 0) frees p on this runtime: treating its null as a failure
  // would free the block twice.
  if (size == 0 && ptr != nullptr) {
    TypedMem_Free(tag, ptr);
    return nullptr;
  }
  void* q = TypedMem_Realloc(tag, ptr, size);
  if (q == nullptr && ptr != nullptr) {
    int e = errno;
    TypedMem_Free(tag, ptr);
    errno = e;
  }
  return q;
}

int TypedMem_FormatV(const char* tag, char** out, const char* format, va_list args) {
  Tracked(tag);
  char* text = nullptr;
  int len = Stream_FormatAlloc(&text, format, args);
  if (len < 0) {
    *out = nullptr;
    return -1;
  }
  if (tag != nullptr && g_tracking.load(std::memory_order_acquire)) {
    char* block = static_cast<char*>(TypedMem_Realloc(tag, nullptr, static_cast<std::size_t>(len) + 1));
    if (block == nullptr) {
      int e = errno;
      free(text);
      errno = e;
      *out = nullptr;
      return -1;
    }
    memcpy(block, text, static_cast<std::size_t>(len) + 1);
    free(text);
    text = block;
  }
  *out = text;
  return len;
}

int TypedMem_Format(const char* tag, char** out, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int r = TypedMem_FormatV(tag, out, format, args);
  va_end(args);
  return r;
}

int TypedMem_Enable() {
  if (g_tracking.load(std::memory_order_acquire)) return 0;
  if (g_used.load(std::memory_order_relaxed)) {
    errno = EBUSY;
    return -1;
  }
  pthread_mutexattr_t attr;
  BASE_ASSERT(pthread_mutexattr_init(&attr) == 0, "pthread_mutexattr_init");
  BASE_ASSERT(pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE) == 0, "pthread_mutexattr_settype");
  BASE_ASSERT(pthread_mutex_init(&g_mutex, &attr) == 0, "pthread_mutex_init");
  pthread_mutexattr_destroy(&attr);
  g_tracking.store(true, std::memory_order_release);
  return 0;
}

int TypedMem_GetBlockType(const void* ptr, char* type) {
  if (!g_tracking.load(std::memory_order_acquire)) {
    errno = ENXIO;
    return -1;
  }
  MutexLock lock;
  BlockRecord key{const_cast<unsigned char*>(static_cast<const unsigned char*>(ptr)) - kGuardBytes, 0, nullptr};
  auto* rec = g_blocks != nullptr ? static_cast<BlockRecord*>(Tree_Get(g_blocks, &key)) : nullptr;
  if (rec == nullptr) {
    errno = ENOENT;
    return -1;
  }
  memcpy(type, rec->tag->type, kTypedMemTagSize);
  return 0;
}

int TypedMem_GetUsage(TypedMemUsage* out) {
  out->count = 0;
  out->entries = nullptr;
  if (!g_tracking.load(std::memory_order_acquire)) {
    errno = ENXIO;
    return -1;
  }
  MutexLock lock;
  // The list itself is a tracked block: allocate it before the walk (its
  // tag record may be new) and fill it from a fresh count afterwards.
  std::size_t room = (g_tags != nullptr ? Tree_Size(g_tags) : 0) + 1;
  auto* entries =
      static_cast<TypedMemUsageEntry*>(TypedMem_Calloc("typed_mem_stats", room, sizeof(TypedMemUsageEntry)));
  if (entries == nullptr) return -1;
  BASE_ASSERT(Tree_Size(g_tags) <= room, "usage list room");
  struct Fill {
    TypedMemUsageEntry* entries;
    uint32_t n;
  } fill{entries, 0};
  Tree_Walk(
      g_tags,
      [](void* ctx, void* item) {
        auto* f = static_cast<Fill*>(ctx);
        auto* t = static_cast<TagRecord*>(item);
        TypedMemUsageEntry& e = f->entries[f->n++];
        memcpy(e.type, t->type, sizeof e.type);
        e.allocs = t->count;
        e.bytes = t->total;
        return 0;
      },
      &fill);
  out->count = fill.n;
  out->entries = entries;
  return 0;
}

void TypedMem_DumpUsage(FILE* stream) {
  if (!g_tracking.load(std::memory_order_acquire)) {
    fprintf(stream, "Typed memory is not enabled.\n");
    return;
  }
  MutexLock lock;
  fprintf(stream, "   %-28s %10s %10s\n", "Type", "Count", "Total");
  fprintf(stream, "   %-28s %10s %10s\n", "----", "-----", "-----");
  struct Sums {
    FILE* out;
    unsigned long count;
    unsigned long total;
  } sums{stream, 0, 0};
  if (g_tags != nullptr) {
    Tree_Walk(
        g_tags,
        [](void* ctx, void* item) {
          auto* s = static_cast<Sums*>(ctx);
          auto* t = static_cast<TagRecord*>(item);
          fprintf(s->out, "   %-28s %10u %10lu\n", t->type, t->count, static_cast<unsigned long>(t->total));
          s->count += t->count;
          s->total += t->total;
          return 0;
        },
        &sums);
  }
  fprintf(stream, "   %-28s %10s %10s\n", "", "-----", "-----");
  fprintf(stream, "   %-28s %10lu %10lu\n", "Totals", sums.count, sums.total);
}

int Stream_FormatAlloc(char** out, const char* format, va_list args) {
  static constexpr std::size_t kSizes[] = {1000, 2000, 4000, 8000, kStreamFormatMax};
  constexpr std::size_t kCount = sizeof kSizes / sizeof kSizes[0];
  *out = nullptr;
  char* buf = nullptr;
  std::size_t i = 0;
  while (i < kCount) {
    std::size_t size = kSizes[i];
    char* grown = static_cast<char*>(realloc(buf, size));
    if (grown == nullptr) {
      free(buf);
      errno = ENOMEM;
      return -1;
    }
    buf = grown;
    va_list copy;
    va_copy(copy, args);
    int n = vsnprintf(buf, size, format, copy);
    va_end(copy);
    if (n < 0) {
      int e = errno;
      free(buf);
      errno = e != 0 ? e : EILSEQ;
      return -1;
    }
    if (static_cast<std::size_t>(n) < size) {
      *out = buf;
      return n;
    }
    // The length is known now: go straight to the first size that holds
    // the text and its zero.
    while (i < kCount && kSizes[i] <= static_cast<std::size_t>(n)) i++;
  }
  free(buf);
  errno = EOVERFLOW;
  return -1;
}
