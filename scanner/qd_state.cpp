#include "scanner/qd_state.h"

#include <cstdlib>
#include <new>

namespace {
ScanState g_state;
}

ScanState& Scan_State() { return g_state; }

void Scan_ResetState() {
  std::free(g_state.localBlock);
  g_state.~ScanState();
  new (&g_state) ScanState();
}
