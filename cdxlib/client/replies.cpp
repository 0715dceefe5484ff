// Parsers of the listing, value and time-zone replies of the command
// client's requests, over the bytes received.
#include <cstring>
#include <strings.h>

#include "cdxlib/client/replyfields.h"
#include "cdxlib/client/requests.h"

using namespace reqfields;

int Req_ParseProcessors(const char* reply, uint32_t length, ProcessorEntry* entries, int capacity) {
  std::vector<std::vector<std::string>> list;
  if (!Entries(reply, length, &list)) return Invalid();
  int n = 0;
  for (const auto& f : list) {
    if (n >= capacity) break;
    if (f.size() < 5) return Invalid();
    ProcessorEntry e{};
    CopyText(e.Name, sizeof e.Name, f[0]);
    CopyText(e.Description, sizeof e.Description, f[1]);
    size_t colon = f[2].find(':');
    std::string prefix = f[2].substr(0, colon);
    memcpy(e.Prefix, prefix.data(), prefix.size() < 2 ? prefix.size() : 2);
    long long count = colon == std::string::npos ? 0 : NumberOr(f[2].substr(colon + 1), 0);
    e.Count = static_cast<uint16_t>(count < 0 ? 0 : count > 0xFFFF ? 0xFFFF : count);
    e.Flag = strcasecmp(f[3].c_str(), "run") == 0 ? 1 : static_cast<uint8_t>(NumberOr(f[3], 0));
    const std::string& type = f[4];
    if (type.empty() || strncasecmp(e.Name, "modb", 4) == 0) e.Kind = kProcKindModbus;
    else e.Kind = toupper(static_cast<unsigned char>(type[0])) == 'A' ? kProcKindAnalog : kProcKindDigital;
    entries[n++] = e;
  }
  return n;
}

int Req_ParseDevices(const char* reply, uint32_t length, DeviceEntry* entries, int capacity) {
  std::vector<std::vector<std::string>> list;
  if (!Entries(reply, length, &list)) return Invalid();
  int n = 0;
  for (const auto& f : list) {
    if (n >= capacity) break;
    if (f.size() < 3) return Invalid();
    DeviceEntry e{};
    CopyText(e.Name, sizeof e.Name, f[0]);
    CopyText(e.PrintName, sizeof e.PrintName, f[1]);
    CopyText(e.Text, sizeof e.Text, f[2]);
    for (size_t i = 3; i < f.size() && i - 3 < static_cast<size_t>(kDevRangesMax); ++i) {
      size_t colon = f[i].find(':');
      std::string prefix = f[i].substr(0, colon);
      ChannelRange& r = e.Ranges[i - 3];
      memcpy(r.Prefix, prefix.data(), prefix.size() < 2 ? prefix.size() : 2);
      long long count = colon == std::string::npos ? 0 : NumberOr(f[i].substr(colon + 1), 0);
      r.Count = static_cast<uint16_t>(count < 0 ? 0 : count > 0xFFFF ? 0xFFFF : count);
    }
    entries[n++] = e;
  }
  return n;
}

int Req_ParseLoggers(const char* reply, uint32_t length, LoggerEntry* entries, int capacity) {
  std::vector<std::vector<std::string>> list;
  if (!Entries(reply, length, &list)) return Invalid();
  int n = 0;
  for (const auto& f : list) {
    if (n >= capacity) break;
    if (f.size() < 3) return Invalid();
    LoggerEntry e{};
    CopyText(e.Name, sizeof e.Name, f[0]);
    e.Number = static_cast<int32_t>(NumberOr(f[1], 0));
    CopyText(e.Type, 25, f[2]);
    entries[n++] = e;
  }
  return n;
}

int Req_ParseLoggerStates(const char* reply, uint32_t length, LoggerStateEntry* entries, int capacity) {
  std::vector<std::vector<std::string>> list;
  if (!Entries(reply, length, &list)) return Invalid();
  int n = 0;
  for (const auto& f : list) {
    if (n >= capacity) break;
    if (f.size() < 5) return Invalid();
    LoggerStateEntry e{};
    CopyText(e.Name, sizeof e.Name, f[0]);
    e.Enabled = static_cast<uint8_t>(NumberOr(f[1], 0));
    e.A = static_cast<uint8_t>(NumberOr(f[2], 0));
    e.B = static_cast<uint8_t>(NumberOr(f[3], 0));
    e.Value = static_cast<uint32_t>(NumberOr(f[4], 0));
    ItemText(e.Text, sizeof e.Text, f, 5);
    entries[n++] = e;
  }
  return n;
}

int Req_ParseTpItems(const char* reply, uint32_t length, TpItem* items, int capacity) {
  std::vector<std::vector<std::string>> list;
  if (!Entries(reply, length, &list)) return Invalid();
  int n = 0;
  for (const auto& f : list) {
    if (n >= capacity) break;
    if (f.size() < 2) return Invalid();
    TpItem it{};
    it.A = static_cast<uint8_t>(NumberOr(f[0], 0));
    it.B = static_cast<uint8_t>(NumberOr(f[1], 0));
    ItemText(it.Text, sizeof it.Text, f, 2);
    items[n++] = it;
  }
  return n;
}

int Req_ParseTeItems(const char* reply, uint32_t length, TeItem* items, int capacity) {
  std::vector<std::vector<std::string>> list;
  if (!Entries(reply, length, &list)) return Invalid();
  int n = 0;
  for (const auto& f : list) {
    if (n >= capacity) break;
    if (f.size() < 3) return Invalid();
    TeItem it{};
    it.A = static_cast<uint8_t>(NumberOr(f[0], 0));
    it.B = static_cast<uint8_t>(NumberOr(f[1], 0));
    it.Value = static_cast<int32_t>(NumberOr(f[2], 0));
    ItemText(it.Text, sizeof it.Text, f, 3);
    items[n++] = it;
  }
  return n;
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

