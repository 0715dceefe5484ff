// The package's live demonstration. Until the scanner is in place it makes
// a fresh data module "dm_demo" in the current instance, writes a few values
// into it and shows the module as cdxipc dumps it.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cdxlib/datamodule.h"
#include "platform/root.h"
#include "platform/shm.h"
#include "tools/cdxipc/ipcdump.h"

int main() {
  std::printf("instance root: %s\n", plat::Root().c_str());
  // Fresh: a module left from an earlier run is replaced.
  plat::Shm_Remove(DM_MappingName("dm_demo"));
  DataModule* m = DM_Create("dm_demo", 32);
  if (!DM_IsView(m)) {
    std::fprintf(stderr, "cdxdemo: cannot create dm_demo: error %d\n", errno);
    return 1;
  }
  const float values[4] = {1.5f, -20.25f, 100.0f, 3.14159f};
  const char text[] = "demo values";
  if (DM_Write(m, values, sizeof values, 0) != 0 || DM_Write(m, text, sizeof text, 16) != 0) {
    std::fprintf(stderr, "cdxdemo: write failed: error %d\n", errno);
    return 1;
  }
  DM_MarkPending(m);
  ipcdump::DumpModule(stdout, m, true);
  return 0;
}
