// Base64 encoder and decoder filters. Each holds its own mutex over its
// buffers, so that input and output may come from different threads.
#include "base/stream/base64.h"

#include <pthread.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "base/memory/typedmem.h"

namespace {

constexpr const char* kEncoderTag = "base64_encoder";
constexpr const char* kDecoderTag = "base64_decoder";
constexpr unsigned char kNotInCharset = 255;
constexpr unsigned char kPad = 254;

// Pending output: bytes [pos, len) of data; grows to 2n + 31 bytes.
struct OutBuffer {
  unsigned char* data;
  std::size_t cap;
  std::size_t pos;
  std::size_t len;
};

bool Reserve(OutBuffer* b, std::size_t need, const char* tag) {
  if (b->pos > 0 && b->len > b->pos) {
    memmove(b->data, b->data + b->pos, b->len - b->pos);
    b->len -= b->pos;
    b->pos = 0;
  } else if (b->pos > 0) {
    b->len = b->pos = 0;
  }
  if (b->cap - b->len >= need) return true;
  std::size_t cap = b->cap;
  while (cap - b->len < need) {
    if (cap > (SIZE_MAX - 31) / 2) {
      errno = ENOMEM;
      return false;
    }
    cap = 2 * cap + 31;
  }
  auto* grown = static_cast<unsigned char*>(TypedMem_Realloc(tag, b->data, cap));
  if (grown == nullptr) return false;
  b->data = grown;
  b->cap = cap;
  return true;
}

std::size_t Take(OutBuffer* b, void* dst, std::size_t n) {
  std::size_t k = b->len - b->pos;
  if (k > n) k = n;
  if (k == 0) return 0;
  memcpy(dst, b->data + b->pos, k);
  b->pos += k;
  if (b->pos == b->len) b->pos = b->len = 0;
  return k;
}

class Lock {
 public:
  explicit Lock(pthread_mutex_t* m) : m_(m) { pthread_mutex_lock(m_); }
  ~Lock() { pthread_mutex_unlock(m_); }
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

 private:
  pthread_mutex_t* m_;
};

std::size_t EncodedLength(std::size_t n) { return (4 * n + 2) / 3; }
std::size_t DecodedLength(std::size_t n) { return (3 * n + 3) / 4; }

// ---- encoder

struct Encoder {
  Filter base;
  char charset[66];
  unsigned char pending[3];
  int npending;
  OutBuffer out;
  bool ended;
  pthread_mutex_t mutex;
};

void EncodeGroup(const Encoder* e, const unsigned char* in, unsigned char* out) {
  uint32_t bits = (uint32_t{in[0]} << 16) | (uint32_t{in[1]} << 8) | in[2];
  out[0] = static_cast<unsigned char>(e->charset[(bits >> 18) & 63]);
  out[1] = static_cast<unsigned char>(e->charset[(bits >> 12) & 63]);
  out[2] = static_cast<unsigned char>(e->charset[(bits >> 6) & 63]);
  out[3] = static_cast<unsigned char>(e->charset[bits & 63]);
}

int EncoderRead(Filter* f, void* buf, std::size_t n) {
  auto* e = reinterpret_cast<Encoder*>(f);
  Lock lock(&e->mutex);
  return static_cast<int>(Take(&e->out, buf, n > INT32_MAX ? INT32_MAX : n));
}

int EncoderWrite(Filter* f, const void* data, std::size_t n) {
  auto* e = reinterpret_cast<Encoder*>(f);
  Lock lock(&e->mutex);
  if (e->ended) {
    errno = EPIPE;
    return -1;
  }
  if (n > INT32_MAX) n = INT32_MAX;
  if (!Reserve(&e->out, (e->npending + n) / 3 * 4, kEncoderTag)) return -1;
  const auto* in = static_cast<const unsigned char*>(data);
  for (std::size_t i = 0; i < n; i++) {
    e->pending[e->npending++] = in[i];
    if (e->npending == 3) {
      EncodeGroup(e, e->pending, e->out.data + e->out.len);
      e->out.len += 4;
      e->npending = 0;
    }
  }
  return static_cast<int>(n);
}

int EncoderEnd(Filter* f) {
  auto* e = reinterpret_cast<Encoder*>(f);
  Lock lock(&e->mutex);
  if (e->ended) return 0;
  if (e->npending > 0) {
    if (!Reserve(&e->out, 4, kEncoderTag)) return -1;
    unsigned char group[3] = {0, 0, 0};
    memcpy(group, e->pending, static_cast<std::size_t>(e->npending));
    unsigned char* o = e->out.data + e->out.len;
    EncodeGroup(e, group, o);
    // 1 byte gives 2 digits, 2 bytes 3 digits; the rest is padding.
    for (int i = e->npending + 1; i < 4; i++) o[i] = static_cast<unsigned char>(e->charset[64]);
    e->out.len += 4;
    e->npending = 0;
  }
  e->ended = true;
  return 0;
}

std::size_t EncoderConvert(Filter*, std::size_t length, bool forward) {
  return forward ? EncodedLength(length) : DecodedLength(length);
}

void EncoderDestroy(Filter** f) {
  auto* e = reinterpret_cast<Encoder*>(*f);
  pthread_mutex_destroy(&e->mutex);
  TypedMem_Free(kEncoderTag, e->out.data);
  TypedMem_Free(kEncoderTag, e);
  *f = nullptr;
}

const FilterOps kEncoderOps = {EncoderRead, EncoderWrite, EncoderEnd, EncoderConvert, EncoderDestroy};

// ---- decoder

struct Decoder {
  Filter base;
  unsigned char table[256];
  char pad;
  bool strict;
  unsigned char pending[4];
  int npending;
  OutBuffer out;
  bool ended;
  pthread_mutex_t mutex;
};

int DecoderRead(Filter* f, void* buf, std::size_t n) {
  auto* d = reinterpret_cast<Decoder*>(f);
  Lock lock(&d->mutex);
  return static_cast<int>(Take(&d->out, buf, n > INT32_MAX ? INT32_MAX : n));
}

int DecoderWrite(Filter* f, const void* data, std::size_t n) {
  auto* d = reinterpret_cast<Decoder*>(f);
  Lock lock(&d->mutex);
  if (d->ended) {
    errno = EPIPE;
    return -1;
  }
  if (n > INT32_MAX) n = INT32_MAX;
  if (!Reserve(&d->out, (d->npending + n) / 4 * 3, kDecoderTag)) return -1;
  const auto* in = static_cast<const unsigned char*>(data);
  for (std::size_t i = 0; i < n; i++) {
    unsigned char v = d->table[in[i]];
    if (v == kPad) continue;
    if (v == kNotInCharset) {
      if (!d->strict) continue;
      errno = EINVAL;
      return i > 0 ? static_cast<int>(i) : -1;
    }
    d->pending[d->npending++] = v;
    if (d->npending == 4) {
      uint32_t bits = (uint32_t{d->pending[0]} << 18) | (uint32_t{d->pending[1]} << 12) |
                      (uint32_t{d->pending[2]} << 6) | d->pending[3];
      unsigned char* o = d->out.data + d->out.len;
      o[0] = static_cast<unsigned char>(bits >> 16);
      o[1] = static_cast<unsigned char>(bits >> 8);
      o[2] = static_cast<unsigned char>(bits);
      d->out.len += 3;
      d->npending = 0;
    }
  }
  return static_cast<int>(n);
}

int DecoderEnd(Filter* f) {
  auto* d = reinterpret_cast<Decoder*>(f);
  Lock lock(&d->mutex);
  if (d->ended) return 0;
  if (d->npending > 0) {
    if (!Reserve(&d->out, 2, kDecoderTag)) return -1;
    uint32_t bits = 0;
    for (int i = 0; i < d->npending; i++) bits |= uint32_t{d->pending[i]} << (18 - 6 * i);
    unsigned char* o = d->out.data + d->out.len;
    o[0] = static_cast<unsigned char>(bits >> 16);
    std::size_t k = 1;
    if (d->npending == 3) o[k++] = static_cast<unsigned char>(bits >> 8);
    d->out.len += k;
    d->npending = 0;
  }
  d->ended = true;
  return 0;
}

std::size_t DecoderConvert(Filter*, std::size_t length, bool forward) {
  return forward ? DecodedLength(length) : EncodedLength(length);
}

void DecoderDestroy(Filter** f) {
  auto* d = reinterpret_cast<Decoder*>(*f);
  pthread_mutex_destroy(&d->mutex);
  TypedMem_Free(kDecoderTag, d->out.data);
  TypedMem_Free(kDecoderTag, d);
  *f = nullptr;
}

const FilterOps kDecoderOps = {DecoderRead, DecoderWrite, DecoderEnd, DecoderConvert, DecoderDestroy};

}  // namespace

int Base64_CheckCharset(const char* charset) {
  if (charset == nullptr || strlen(charset) != 65) {
    errno = EINVAL;
    return -1;
  }
  bool seen[256] = {};
  for (int i = 0; i < 65; i++) {
    auto c = static_cast<unsigned char>(charset[i]);
    if (seen[c]) {
      errno = EINVAL;
      return -1;
    }
    seen[c] = true;
  }
  return 0;
}

Filter* Base64_CreateEncoder(const char* charset) {
  if (charset == nullptr) charset = kBase64StandardCharset;
  if (Base64_CheckCharset(charset) < 0) return nullptr;
  auto* e = static_cast<Encoder*>(TypedMem_Calloc(kEncoderTag, 1, sizeof(Encoder)));
  if (e == nullptr) return nullptr;
  e->base.ops = &kEncoderOps;
  memcpy(e->charset, charset, 65);
  pthread_mutex_init(&e->mutex, nullptr);
  return &e->base;
}

Filter* Base64_CreateDecoder(const char* charset, bool strict) {
  if (charset == nullptr) charset = kBase64StandardCharset;
  if (Base64_CheckCharset(charset) < 0) return nullptr;
  auto* d = static_cast<Decoder*>(TypedMem_Calloc(kDecoderTag, 1, sizeof(Decoder)));
  if (d == nullptr) return nullptr;
  d->base.ops = &kDecoderOps;
  memset(d->table, kNotInCharset, sizeof d->table);
  for (int i = 0; i < 64; i++) d->table[static_cast<unsigned char>(charset[i])] = static_cast<unsigned char>(i);
  d->pad = charset[64];
  d->table[static_cast<unsigned char>(d->pad)] = kPad;
  d->strict = strict;
  pthread_mutex_init(&d->mutex, nullptr);
  return &d->base;
}
