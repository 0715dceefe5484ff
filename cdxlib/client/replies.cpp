// Parsers of the listing, value and time-zone replies of the command
// client's requests, over the bytes received.
#include <cstring>
#include <strings.h>

#include "cdxlib/client/replyfields.h"
#include "cdxlib/client/requests.h"

using namespace reqfields;

namespace {

// Every listing reply has the same frame: entries of fields, of which each
// kind needs a least number. An entry with fewer makes the whole reply
// invalid; entries past the capacity are not read.
template <typename Entry, typename Fill>
int ParseList(const char* reply, uint32_t length, Entry* out, int capacity, size_t minFields, Fill fill) {
  std::vector<std::vector<std::string>> list;
  if (!Entries(reply, length, &list)) return Invalid();
  int n = 0;
  for (const auto& f : list) {
    if (n >= capacity) break;
    if (f.size() < minFields) return Invalid();
    Entry e{};
    fill(f, &e);
    out[n++] = e;
  }
  return n;
}

// A "prefix:count" field: the two-letter prefix and the count, held to 0..0xFFFF.
void PrefixCount(const std::string& field, char prefix[2], uint16_t* count) {
  const size_t colon = field.find(':');
  const std::string head = field.substr(0, colon);
  memcpy(prefix, head.data(), head.size() < 2 ? head.size() : 2);
  const long long n = colon == std::string::npos ? 0 : NumberOr(field.substr(colon + 1), 0);
  *count = static_cast<uint16_t>(n < 0 ? 0 : n > 0xFFFF ? 0xFFFF : n);
}

}  // namespace

int Req_ParseProcessors(const char* reply, uint32_t length, ProcessorEntry* entries, int capacity) {
  return ParseList(reply, length, entries, capacity, 5, [](const auto& f, ProcessorEntry* e) {
    CopyText(e->Name, sizeof e->Name, f[0]);
    CopyText(e->Description, sizeof e->Description, f[1]);
    PrefixCount(f[2], e->Prefix, &e->Count);
    e->Flag = strcasecmp(f[3].c_str(), "run") == 0 ? 1 : static_cast<uint8_t>(NumberOr(f[3], 0));
    const std::string& type = f[4];
    if (type.empty() || strncasecmp(e->Name, "modb", 4) == 0) e->Kind = kProcKindModbus;
    else e->Kind = toupper(static_cast<unsigned char>(type[0])) == 'A' ? kProcKindAnalog : kProcKindDigital;
  });
}

int Req_ParseDevices(const char* reply, uint32_t length, DeviceEntry* entries, int capacity) {
  return ParseList(reply, length, entries, capacity, 3, [](const auto& f, DeviceEntry* e) {
    CopyText(e->Name, sizeof e->Name, f[0]);
    CopyText(e->PrintName, sizeof e->PrintName, f[1]);
    CopyText(e->Text, sizeof e->Text, f[2]);
    for (size_t i = 3; i < f.size() && i - 3 < static_cast<size_t>(kDevRangesMax); ++i)
      PrefixCount(f[i], e->Ranges[i - 3].Prefix, &e->Ranges[i - 3].Count);
  });
}

int Req_ParseLoggers(const char* reply, uint32_t length, LoggerEntry* entries, int capacity) {
  return ParseList(reply, length, entries, capacity, 3, [](const auto& f, LoggerEntry* e) {
    CopyText(e->Name, sizeof e->Name, f[0]);
    e->Number = static_cast<int32_t>(NumberOr(f[1], 0));
    CopyText(e->Type, 25, f[2]);
  });
}

int Req_ParseLoggerStates(const char* reply, uint32_t length, LoggerStateEntry* entries, int capacity) {
  return ParseList(reply, length, entries, capacity, 5, [](const auto& f, LoggerStateEntry* e) {
    CopyText(e->Name, sizeof e->Name, f[0]);
    e->Enabled = static_cast<uint8_t>(NumberOr(f[1], 0));
    e->A = static_cast<uint8_t>(NumberOr(f[2], 0));
    e->B = static_cast<uint8_t>(NumberOr(f[3], 0));
    e->Value = static_cast<uint32_t>(NumberOr(f[4], 0));
    ItemText(e->Text, sizeof e->Text, f, 5);
  });
}

int Req_ParseTpItems(const char* reply, uint32_t length, TpItem* items, int capacity) {
  return ParseList(reply, length, items, capacity, 2, [](const auto& f, TpItem* it) {
    it->A = static_cast<uint8_t>(NumberOr(f[0], 0));
    it->B = static_cast<uint8_t>(NumberOr(f[1], 0));
    ItemText(it->Text, sizeof it->Text, f, 2);
  });
}

int Req_ParseTeItems(const char* reply, uint32_t length, TeItem* items, int capacity) {
  return ParseList(reply, length, items, capacity, 3, [](const auto& f, TeItem* it) {
    it->A = static_cast<uint8_t>(NumberOr(f[0], 0));
    it->B = static_cast<uint8_t>(NumberOr(f[1], 0));
    it->Value = static_cast<int32_t>(NumberOr(f[2], 0));
    ItemText(it->Text, sizeof it->Text, f, 3);
  });
}

int Req_ParseTcValues(const char* reply, uint32_t length, int n, uint32_t* values) {
  if (!reply || n < 0 || length < 2 || reply[0] != '1' || reply[1] != ',') return Invalid();
  if (static_cast<uint64_t>(length) < 2 + 4ull * static_cast<uint64_t>(n)) return Invalid();
  if (n > 0) memcpy(values, reply + 2, 4 * static_cast<size_t>(n));
  return 0;
}

int Req_ParseTimeZone(const char* reply, uint32_t length, TimeStamp* stamp, plat::TimeZoneInformation* zone) {
  if (!reply) return Invalid();
  uint32_t textEnd = 0;
  while (textEnd < length && reply[textEnd] != '\0') ++textEnd;
  std::string text(reply, textEnd);
  long long seconds = 0, ms = 0;
  size_t comma = text.find(',');
  if (comma == std::string::npos || !Number(text.substr(0, comma), &seconds) || !Number(text.substr(comma + 1), &ms))
    return Invalid();
  if (stamp) {
    *stamp = TimeStamp{};
    stamp->seconds = static_cast<int32_t>(seconds);
    stamp->milliseconds = static_cast<int16_t>(ms);
  }
  if (zone) {
    memset(zone, 0, sizeof *zone);
    // The record only when all of it came.
    if (textEnd < length && length - textEnd - 1 >= sizeof *zone) memcpy(zone, reply + textEnd + 1, sizeof *zone);
  }
  return 0;
}

