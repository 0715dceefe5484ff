// A stream that passes its data through a filter to or from another stream.
#include <cerrno>

#include "base/memory/typedmem.h"
#include "base/stream/filter.h"
#include "base/stream/stream.h"

namespace {

constexpr const char* kTag = "filter_stream";
constexpr std::size_t kChunk = 1024;

struct FilterStream {
  FILE* under;
  Filter* filter;
  int flags;
  bool writing;
  bool ended;
};

// Writes all pending filter output on; false on failure.
bool DrainTo(FilterStream* s) {
  char buf[kChunk];
  for (;;) {
    int k = Filter_Read(s->filter, buf, sizeof buf);
    if (k < 0) return false;
    if (k == 0) return true;
    if (fwrite(buf, 1, static_cast<std::size_t>(k), s->under) != static_cast<std::size_t>(k)) return false;
  }
}

// Gives all of data to the filter; false on failure.
bool Feed(FilterStream* s, const char* data, std::size_t n) {
  while (n > 0) {
    int w = Filter_Write(s->filter, data, n);
    if (w <= 0) {
      if (w == 0) errno = EIO;
      return false;
    }
    data += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

int StreamRead(void* cookie, char* buf, int n) {
  auto* s = static_cast<FilterStream*>(cookie);
  for (;;) {
    int k = Filter_Read(s->filter, buf, static_cast<std::size_t>(n));
    if (k != 0) return k;
    if (s->ended) return 0;
    char in[kChunk];
    std::size_t got = fread(in, 1, sizeof in, s->under);
    if (got == 0) {
      if (ferror(s->under)) {
        errno = EIO;
        return -1;
      }
      if (Filter_End(s->filter) < 0) return -1;
      s->ended = true;
      continue;
    }
    if (!Feed(s, in, got)) return -1;
  }
}

int StreamWrite(void* cookie, const char* buf, int n) {
  auto* s = static_cast<FilterStream*>(cookie);
  for (int off = 0; off < n;) {
    std::size_t chunk = static_cast<std::size_t>(n - off) < kChunk ? static_cast<std::size_t>(n - off) : kChunk;
    if (!Feed(s, buf + off, chunk) || !DrainTo(s)) return -1;
    off += static_cast<int>(chunk);
  }
  return n;
}

int StreamClose(void* cookie) {
  auto* s = static_cast<FilterStream*>(cookie);
  int r = 0;
  if (s->writing && (Filter_End(s->filter) < 0 || !DrainTo(s))) r = -1;
  int e = errno;
  if (s->flags & kFilterStreamKeepStream) {
    if (fflush(s->under) != 0) r = -1;
  } else if (fclose(s->under) != 0) {
    r = -1;
  }
  if (!(s->flags & kFilterStreamKeepFilter)) Filter_Destroy(&s->filter);
  TypedMem_Free(kTag, s);
  if (r < 0) errno = e;
  return r;
}

}  // namespace

FILE* Filter_OpenStream(FILE* stream, Filter* f, int flags, const char* mode) {
  if (stream == nullptr || f == nullptr || mode == nullptr || (mode[0] != 'r' && mode[0] != 'w') || mode[1] != '\0') {
    errno = EINVAL;
    return nullptr;
  }
  auto* s = static_cast<FilterStream*>(TypedMem_Calloc(kTag, 1, sizeof(FilterStream)));
  if (s == nullptr) return nullptr;
  *s = FilterStream{stream, f, flags, mode[0] == 'w', false};
  FILE* out = s->writing ? Stream_OpenFunctions(s, nullptr, StreamWrite, nullptr, StreamClose)
                         : Stream_OpenFunctions(s, StreamRead, nullptr, nullptr, StreamClose);
  if (out == nullptr) {
    int e = errno;
    TypedMem_Free(kTag, s);
    errno = e;
  }
  return out;
}
