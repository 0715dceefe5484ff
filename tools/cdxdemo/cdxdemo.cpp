// The package's live demonstration. Until the scanner is in place it only
// shows the instance root that the demo would use.
#include <cstdio>

#include "platform/root.h"

int main() {
  std::printf("instance root: %s\n", plat::Root().c_str());
  return 0;
}
