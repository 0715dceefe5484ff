// The filter operations and the whole-buffer runner.
#include "base/stream/filter.h"

#include <cerrno>

#include "base/memory/basecheck.h"
#include "base/memory/typedmem.h"

int Filter_Read(Filter* f, void* buf, std::size_t n) { return f->ops->read(f, buf, n); }

int Filter_Write(Filter* f, const void* data, std::size_t n) { return f->ops->write(f, data, n); }

int Filter_End(Filter* f) { return f->ops->end(f); }

std::size_t Filter_ConvertLength(Filter* f, std::size_t length, bool forward) {
  return f->ops->convert_length(f, length, forward);
}

void Filter_Destroy(Filter** f) {
  if (f == nullptr || *f == nullptr) return;
  (*f)->ops->destroy(f);
  *f = nullptr;
}

namespace {

constexpr std::size_t kChunk = 1024;

// Reads all pending output into the buffer; false with errno on failure.
bool Drain(Filter* f, unsigned char* buf, std::size_t size, std::size_t* used) {
  for (;;) {
    int k = Filter_Read(f, buf + *used, size - *used);
    if (k < 0) return false;
    if (k == 0) return true;
    *used += static_cast<std::size_t>(k);
    BASE_ASSERT(*used < size, "r < olen");
  }
}

}  // namespace

int Filter_Process(Filter* f, const void* input, std::size_t length, bool end, void** out, const char* tag) {
  *out = nullptr;
  std::size_t size = Filter_ConvertLength(f, length, true) + 10;
  if (size > static_cast<std::size_t>(INT32_MAX)) {
    errno = EOVERFLOW;
    return -1;
  }
  auto* buf = static_cast<unsigned char*>(TypedMem_Realloc(tag, nullptr, size));
  if (buf == nullptr) return -1;
  auto fail = [&]() {
    int e = errno;
    TypedMem_Free(tag, buf);
    errno = e;
    return -1;
  };
  const auto* in = static_cast<const unsigned char*>(input);
  std::size_t used = 0;
  std::size_t off = 0;
  while (off < length) {
    std::size_t chunk = length - off < kChunk ? length - off : kChunk;
    int w = Filter_Write(f, in + off, chunk);
    if (w < 0) return fail();
    if (w == 0) {
      // A filter that takes nothing would never finish.
      errno = EIO;
      return fail();
    }
    off += static_cast<std::size_t>(w);
    if (!Drain(f, buf, size, &used)) return fail();
  }
  if (end) {
    if (Filter_End(f) < 0) return fail();
    if (!Drain(f, buf, size, &used)) return fail();
  }
  buf[used] = 0;
  *out = buf;
  return static_cast<int>(used);
}
