// Field helpers of the reply parsers of the command client's requests
// (requests.cpp, replies.cpp). Every helper stays within the bytes it is
// given.
#pragma once
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cdxlib/client/srvclient.h"
#include "platform/error.h"

namespace reqfields {

inline int Invalid() {
  plat::Fail(plat::kErrInvalidData);
  errno = plat::kErrInvalidData;
  return -1;
}

// The reply's text after the result's comma, up to its NUL or its end; false
// when there is no number or no comma after it.
inline bool DataAfterComma(const std::string& reply, std::string* data) {
  ReplyRecord parsed;
  if (!Srv_ParseReply(reply.data(), static_cast<uint32_t>(reply.size()), &parsed)) return false;
  uint32_t at = parsed.dataOffset;
  if (at == 0 || at > reply.size() || reply[at - 1] != ',') return false;
  size_t end = reply.find('\0', at);
  *data = reply.substr(at, end == std::string::npos ? std::string::npos : end - at);
  return true;
}

inline std::vector<std::string> Split(const std::string& s, char sep) {
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    size_t at = s.find(sep, start);
    out.push_back(s.substr(start, at == std::string::npos ? std::string::npos : at - start));
    if (at == std::string::npos) break;
    start = at + 1;
  }
  return out;
}

// The entries of a listing reply ("<n>,<entry>;<entry>;..."), empty ones
// dropped; false when the reply does not parse.
inline bool Entries(const char* reply, uint32_t length, std::vector<std::vector<std::string>>* entries) {
  if (!reply) return false;
  std::string data;
  if (!DataAfterComma(std::string(reply, length), &data)) return false;
  entries->clear();
  for (const std::string& e : Split(data, ';')) {
    if (e.empty()) continue;
    entries->push_back(Split(e, ','));
  }
  return true;
}

// A decimal number of a field (blanks aside); false for none.
inline bool Number(const std::string& field, long long* out) {
  const char* s = field.c_str();
  while (*s == ' ') ++s;
  char* end = nullptr;
  errno = 0;
  long long v = strtoll(s, &end, 10);
  if (end == s) return false;
  *out = v;
  return true;
}

inline long long NumberOr(const std::string& field, long long otherwise) {
  long long v = 0;
  return Number(field, &v) ? v : otherwise;
}

inline void CopyText(char* dst, size_t size, const std::string& src) {
  if (size == 0) return;
  size_t n = src.size() < size - 1 ? src.size() : size - 1;
  memcpy(dst, src.data(), n);
  dst[n] = '\0';
}

// The text of an item: the first text cut to 30 characters, replaced by
// the second when that is not empty.
inline void ItemText(char* dst, size_t size, const std::vector<std::string>& f, size_t first) {
  std::string text = f.size() > first ? f[first].substr(0, 30) : std::string();
  if (f.size() > first + 1 && !f[first + 1].empty()) text = f[first + 1];
  CopyText(dst, size, text);
}

}  // namespace reqfields
