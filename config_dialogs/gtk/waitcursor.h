// The wait cursor while the library works on the host's user-interface
// thread (printing): a watch cursor on every shown window of the host, for
// the life of the object, then each window's own cursor again.
#pragma once
#include <vector>

namespace qdgtk {

class WaitCursor {
 public:
  // Nothing happens when the process shows no GTK window (no display open).
  WaitCursor();
  ~WaitCursor();
  WaitCursor(const WaitCursor&) = delete;
  WaitCursor& operator=(const WaitCursor&) = delete;

 private:
  struct Held {
    void* window;  // GdkWindow*, referenced
    void* cursor;  // its own GdkCursor* (referenced), or null for the parent's
  };
  std::vector<Held> held_;
  void* display_ = nullptr;
};

}  // namespace qdgtk
