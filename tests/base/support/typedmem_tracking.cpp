// Linked into every test program of the structured-data library: with
// CDX_TYPEDMEM_TRACK set (and not "0"), typed-memory tracking is switched on
// before main, so that the whole suite also runs with guard words and tag
// checks on every block.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/memory/typedmem.h"

namespace {

struct EnableTracking {
    EnableTracking() {
        const char* v = getenv("CDX_TYPEDMEM_TRACK");
        if (v == nullptr || *v == '\0' || strcmp(v, "0") == 0) return;
        if (TypedMem_Enable() != 0) {
            perror("TypedMem_Enable");
            abort();
        }
    }
};

__attribute__((init_priority(101))) EnableTracking g_enable_tracking;

}  // namespace
