// libFuzzer target: the command client's reply parsers on any bytes must not
// crash, must stay inside the reply and the caller's entries, and must never
// fill more entries than the capacity allows.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "cdxlib/client/requests.h"
#include "cdxlib/client/srvclient.h"

namespace {
// Entries with a guard after the capacity: a parser writing past it trips.
template <typename T>
void Listing(int (*parse)(const char*, uint32_t, T*, int), const char* reply, uint32_t length, int capacity) {
  std::vector<T> entries(static_cast<size_t>(capacity) + 1);
  memset(static_cast<void*>(&entries[capacity]), 0x5a, sizeof(T));
  int n = parse(reply, length, entries.data(), capacity);
  if (n < -1 || n > capacity) __builtin_trap();
  const unsigned char* guard = reinterpret_cast<const unsigned char*>(&entries[capacity]);
  for (size_t i = 0; i < sizeof(T); ++i)
    if (guard[i] != 0x5a) __builtin_trap();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // The first byte picks the capacity; the rest is the reply, in a buffer of
  // exactly its length (no NUL after it) so that any over-read is caught.
  const int capacity = data[0] % 8;
  const uint32_t length = static_cast<uint32_t>(size - 1);
  std::vector<char> reply(data + 1, data + size);
  const char* r = reply.empty() ? "" : reply.data();

  ReplyRecord parsed;
  if (Srv_ParseReply(r, length, &parsed)) {
    if (parsed.dataOffset > length || (parsed.result == -1 && parsed.textOffset > length)) __builtin_trap();
  }
  Listing(Req_ParseProcessors, r, length, capacity);
  Listing(Req_ParseDevices, r, length, capacity);
  Listing(Req_ParseLoggers, r, length, capacity);
  Listing(Req_ParseLoggerStates, r, length, capacity);
  Listing(Req_ParseTpItems, r, length, capacity);
  Listing(Req_ParseTeItems, r, length, capacity);
  std::vector<uint32_t> values(static_cast<size_t>(capacity) + 1, 0x5a5a5a5au);
  Req_ParseTcValues(r, length, capacity, values.data());
  if (values[capacity] != 0x5a5a5a5au) __builtin_trap();
  TimeStamp stamp;
  plat::TimeZoneInformation zone;
  Req_ParseTimeZone(r, length, &stamp, &zone);
  return 0;
}
