// Helpers shared by the tests of the structured-data library.
#pragma once

#include <cerrno>

#include "base/memory/typedmem.h"

// True when typed-memory tracking is on in this process (the "tracked."
// run of the suite switches it on before main).
inline bool TypedMemTracking() {
    char probe = 0;
    char type[kTypedMemTagSize];
    return TypedMem_GetBlockType(&probe, type) == 0 || errno != ENXIO;
}
