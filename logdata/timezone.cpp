// Time-zone information from the system's zone data.
#include "logdata/timezone.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool ReadName(const char*& p, std::string* name) {
  name->clear();
  if (*p == '<') {
    const char* e = strchr(p, '>');
    if (!e) return false;
    name->assign(p + 1, e);
    p = e + 1;
    return !name->empty();
  }
  while (isalpha(static_cast<unsigned char>(*p))) *name += *p++;
  return name->size() >= 3;
}

// [+-]hh[:mm[:ss]] in seconds.
bool ReadOffset(const char*& p, long* seconds) {
  int sign = 1;
  if (*p == '+' || *p == '-') sign = *p++ == '-' ? -1 : 1;
  if (!isdigit(static_cast<unsigned char>(*p))) return false;
  long h = strtol(p, const_cast<char**>(&p), 10), m = 0, s = 0;
  if (*p == ':') {
    ++p;
    m = strtol(p, const_cast<char**>(&p), 10);
    if (*p == ':') {
      ++p;
      s = strtol(p, const_cast<char**>(&p), 10);
    }
  }
  *seconds = sign * (h * 3600 + m * 60 + s);
  return true;
}

// ",Mm.w.d[/time]"
bool ReadDate(const char*& p, ZoneSystemTime* t) {
  *t = ZoneSystemTime{};
  long at = 7200;  // 02:00 by default
  if (*p == 'M') {
    int m, w, d, n = 0;
    if (sscanf(p, "M%d.%d.%d%n", &m, &w, &d, &n) != 3) return false;
    p += n;
    t->month = static_cast<uint16_t>(m);
    t->day = static_cast<uint16_t>(w);
    t->dayOfWeek = static_cast<uint16_t>(d);
  } else {
    if (*p == 'J') ++p;
    if (!isdigit(static_cast<unsigned char>(*p))) return false;
    strtol(p, const_cast<char**>(&p), 10);
  }
  if (*p == '/' && !ReadOffset(++p, &at)) return false;
  if (t->month) {
    t->hour = static_cast<uint16_t>(at / 3600);
    t->minute = static_cast<uint16_t>(at % 3600 / 60);
    t->second = static_cast<uint16_t>(at % 60);
  }
  return true;
}

void PutName(char16_t* dst, const std::string& name) {
  size_t n = name.size() < 31 ? name.size() : 31;
  for (size_t i = 0; i < n; ++i) dst[i] = static_cast<unsigned char>(name[i]);
}

std::string FileFooter(const std::string& path) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return std::string();
  std::string data;
  char buf[8192];
  size_t r;
  while ((r = fread(buf, 1, sizeof buf, f)) > 0) data.append(buf, r);
  fclose(f);
  if (data.compare(0, 4, "TZif") != 0 || data.size() < 2 || data.back() != '\n') return std::string();
  size_t start = data.rfind('\n', data.size() - 2);
  if (start == std::string::npos) return std::string();
  return data.substr(start + 1, data.size() - start - 2);
}

}  // namespace

bool TimeZoneFromRule(const std::string& rule, TimeZoneInformation* out) {
  *out = TimeZoneInformation{};
  const char* p = rule.c_str();
  std::string stdName, dstName;
  long stdOff = 0;
  if (!ReadName(p, &stdName) || !ReadOffset(p, &stdOff)) return false;
  out->bias = static_cast<int32_t>(stdOff / 60);
  PutName(out->standardName, stdName);
  if (!*p) return true;
  if (!ReadName(p, &dstName)) {
    *out = TimeZoneInformation{};
    return false;
  }
  long dstOff = stdOff - 3600;
  if (*p && *p != ',' && !ReadOffset(p, &dstOff)) {
    *out = TimeZoneInformation{};
    return false;
  }
  PutName(out->daylightName, dstName);
  out->daylightBias = static_cast<int32_t>(dstOff / 60 - out->bias);
  if (*p == ',') {
    ++p;
    if (!ReadDate(p, &out->daylightDate) || *p++ != ',' || !ReadDate(p, &out->standardDate)) {
      *out = TimeZoneInformation{};
      return false;
    }
  }
  return true;
}

std::string LocalZoneRule() {
  const char* tz = getenv("TZ");
  if (tz && *tz) {
    std::string t = tz[0] == ':' ? tz + 1 : tz;
    if (t.find('/') != std::string::npos || t == "UTC" || t == "GMT") {
      std::string footer = FileFooter(t[0] == '/' ? t : "/usr/share/zoneinfo/" + t);
      if (!footer.empty()) return footer;
    }
    TimeZoneInformation probe;
    if (TimeZoneFromRule(t, &probe)) return t;
  }
  std::string footer = FileFooter("/etc/localtime");
  return footer.empty() ? "UTC0" : footer;
}

bool GetLocalTimeZoneInformation(TimeZoneInformation* out) { return TimeZoneFromRule(LocalZoneRule(), out); }
