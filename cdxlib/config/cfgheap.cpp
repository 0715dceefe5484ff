// The configuration library's own heap: blocks that cross between the
// library and its callers (a caller frees what the library allocated and
// the other way round), and a diagnostic walk of them.
//
// Each block carries a header that links it into one list in allocation
// order. A freed block stays in the list marked free, to be handed out again
// for a request it fits; past kKeptFree free blocks the oldest goes back to
// the system.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "cdxlib/config/configfiles.h"
#include "platform/debugout.h"
#include "platform/error.h"

namespace {

constexpr uint32_t kMark = 0x48474643;  // "CFGH"
constexpr uint32_t kUsed = 1, kFree = 2;
constexpr int kKeptFree = 32;
constexpr int kDumpedBlocks = 10000;

// 32 bytes, so that the block after it keeps malloc's 16-byte alignment.
struct alignas(16) HeapNode {
  HeapNode* next;
  HeapNode* prev;
  uint64_t size;
  uint32_t state;
  uint32_t mark;  // last, right before the block: the first thing an overrun from below hits
};
static_assert(sizeof(HeapNode) == 32);

std::mutex g_heapMu;
HeapNode* g_head = nullptr;
HeapNode* g_tail = nullptr;
int g_freeCount = 0;

void Unlink(HeapNode* n) {
  (n->prev ? n->prev->next : g_head) = n->next;
  (n->next ? n->next->prev : g_tail) = n->prev;
}

void Append(HeapNode* n) {
  n->next = nullptr;
  n->prev = g_tail;
  (g_tail ? g_tail->next : g_head) = n;
  g_tail = n;
}

void Line(const char* text) { plat::OutputDebugText(text); }

}  // namespace

void* Cfg_Alloc(size_t size) {
  const size_t want = size ? size : 1;
  {
    std::lock_guard<std::mutex> lock(g_heapMu);
    // A kept free block that fits without wasting more than it gives.
    for (HeapNode* n = g_head; n && g_freeCount > 0; n = n->next) {
      if (n->state != kFree || n->size < want || n->size > 2 * want + 64) continue;
      n->state = kUsed;
      --g_freeCount;
      return n + 1;
    }
  }
  if (want > SIZE_MAX - sizeof(HeapNode)) return plat::Fail(plat::kErrNotEnoughMemory), nullptr;
  auto* n = static_cast<HeapNode*>(std::malloc(sizeof(HeapNode) + want));
  if (!n) return plat::Fail(plat::kErrNotEnoughMemory), nullptr;
  n->size = want;
  n->state = kUsed;
  n->mark = kMark;
  std::lock_guard<std::mutex> lock(g_heapMu);
  Append(n);
  return n + 1;
}

void Cfg_Free(void* block) {
  if (!block) return;
  HeapNode* n = static_cast<HeapNode*>(block) - 1;
  HeapNode* release = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_heapMu);
    if (n->mark != kMark || n->state != kUsed) {
      // Not a live block of this heap (or freed twice): left alone.
      plat::SetLastError(plat::kErrInvalidParameter);
      return;
    }
    n->state = kFree;
    if (++g_freeCount > kKeptFree) {
      for (HeapNode* m = g_head; m; m = m->next) {
        if (m->state != kFree) continue;
        Unlink(m);
        m->mark = 0;
        --g_freeCount;
        release = m;
        break;
      }
    }
  }
  std::free(release);
}

void Cfg_DumpHeap() {
  std::lock_guard<std::mutex> lock(g_heapMu);
  if (!g_head) {
    Line("OK - empty heap\n");
    return;
  }
  if (g_head->mark != kMark || g_head->prev != nullptr) {
    Line("ERROR - bad start of heap\n");
    return;
  }
  int used = 0, shown = 0;
  const HeapNode* before = nullptr;
  for (const HeapNode* n = g_head; n; before = n, n = n->next) {
    if (n->mark != kMark || (n->state != kUsed && n->state != kFree)) {
      Line("ERROR - bad node in heap\n");
      return;
    }
    if (n->prev != before) {
      Line("ERROR - bad pointer to heap\n");
      return;
    }
    if (n->state == kUsed) ++used;
    if (shown++ < kDumpedBlocks) {
      char line[96];
      snprintf(line, sizeof line, "%6s block at %p of size %4.4X\n", n->state == kUsed ? "USED" : "FREE",
               static_cast<const void*>(n + 1), static_cast<unsigned>(n->size));
      Line(line);
    }
  }
  char line[64];
  snprintf(line, sizeof line, "OK - end of heap %d Used\n", used);
  Line(line);
}
