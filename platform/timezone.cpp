// The time-zone record built from the zone data.
#include "platform/timezone.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "platform/error.h"

namespace plat {

namespace {

struct RuleReader {
  const std::string& s;
  size_t i = 0;
  bool AtEnd() const { return i >= s.size(); }
  char Peek() const { return AtEnd() ? '\0' : s[i]; }

  bool Name(std::string* out) {
    out->clear();
    if (Peek() == '<') {
      const size_t end = s.find('>', i);
      if (end == std::string::npos) return false;
      *out = s.substr(i + 1, end - i - 1);
      i = end + 1;
    } else {
      while (!AtEnd() && ((s[i] >= 'A' && s[i] <= 'Z') || (s[i] >= 'a' && s[i] <= 'z'))) *out += s[i++];
    }
    return out->size() >= 3 || (!out->empty() && s[0] == '<');
  }

  bool Number(int* out, int maxDigits) {
    int n = 0, digits = 0;
    while (!AtEnd() && s[i] >= '0' && s[i] <= '9' && digits < maxDigits) {
      n = n * 10 + (s[i++] - '0');
      ++digits;
    }
    *out = n;
    return digits > 0;
  }

  // [+-]hh[:mm[:ss]] as seconds.
  bool Offset(int* seconds) {
    int sign = 1;
    if (Peek() == '+' || Peek() == '-') sign = s[i++] == '-' ? -1 : 1;
    int h = 0, m = 0, sec = 0;
    if (!Number(&h, 3)) return false;
    if (Peek() == ':') {
      ++i;
      if (!Number(&m, 2)) return false;
      if (Peek() == ':') {
        ++i;
        if (!Number(&sec, 2)) return false;
      }
    }
    *seconds = sign * (h * 3600 + m * 60 + sec);
    return true;
  }

  // Mm.w.d[/time]: true with the date; a day-number form gives false in
  // *monthForm and is skipped.
  bool Date(SystemTime* out, bool* monthForm) {
    *out = SystemTime{};
    *monthForm = false;
    int time = 2 * 3600;
    if (Peek() == 'M') {
      ++i;
      int m = 0, w = 0, d = 0;
      if (!Number(&m, 2) || Peek() != '.') return false;
      ++i;
      if (!Number(&w, 1) || Peek() != '.') return false;
      ++i;
      if (!Number(&d, 1)) return false;
      if (m < 1 || m > 12 || w < 1 || w > 5 || d > 6) return false;
      if (Peek() == '/') {
        ++i;
        if (!Offset(&time)) return false;
      }
      *monthForm = true;
      // Times outside the day (allowed by the rule syntax) cannot be shown
      // in the record; they are cut to the day.
      if (time < 0) time = 0;
      if (time > 23 * 3600 + 59 * 60 + 59) time = 23 * 3600 + 59 * 60 + 59;
      out->Month = static_cast<uint16_t>(m);
      out->Day = static_cast<uint16_t>(w);
      out->DayOfWeek = static_cast<uint16_t>(d);
      out->Hour = static_cast<uint16_t>(time / 3600);
      out->Minute = static_cast<uint16_t>(time / 60 % 60);
      out->Second = static_cast<uint16_t>(time % 60);
      return true;
    }
    if (Peek() == 'J') ++i;
    int day = 0;
    if (!Number(&day, 3)) return false;
    if (Peek() == '/') {
      ++i;
      if (!Offset(&time)) return false;
    }
    return true;
  }
};

void PutName(char16_t* out, const std::string& name) {
  memset(out, 0, 32 * sizeof(char16_t));
  for (size_t k = 0; k < name.size() && k < 31; ++k) out[k] = static_cast<unsigned char>(name[k]);
}

}  // namespace

int TimeZoneFromRule(const std::string& rule, TimeZoneInformation* out) {
  TimeZoneInformation z{};
  RuleReader r{rule};
  std::string stdName, dstName;
  int stdOffset = 0;
  if (!r.Name(&stdName) || !r.Offset(&stdOffset)) return Fail(kErrInvalidData), -1;
  // POSIX offsets are west of Greenwich positive, as the record's bias.
  z.Bias = stdOffset / 60;
  PutName(z.StandardName, stdName);
  if (!r.AtEnd()) {
    if (!r.Name(&dstName)) return Fail(kErrInvalidData), -1;
    int dstOffset = stdOffset - 3600;
    if (r.Peek() != ',' && !r.AtEnd() && !r.Offset(&dstOffset)) return Fail(kErrInvalidData), -1;
    PutName(z.DaylightName, dstName);
    z.DaylightBias = (dstOffset - stdOffset) / 60;
    if (r.Peek() == ',') {
      ++r.i;
      bool startMonth = false, endMonth = false;
      SystemTime start{}, end{};
      if (!r.Date(&start, &startMonth) || r.Peek() != ',') return Fail(kErrInvalidData), -1;
      ++r.i;
      if (!r.Date(&end, &endMonth)) return Fail(kErrInvalidData), -1;
      if (startMonth && endMonth) {
        z.DaylightDate = start;
        z.StandardDate = end;
      }
    }
    if (!r.AtEnd()) return Fail(kErrInvalidData), -1;
  }
  *out = z;
  return 0;
}

std::string TimeZoneRuleOfFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    FailErrno(errno ? errno : ENOENT);
    return "";
  }
  const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (data.size() < 6 || data.compare(0, 4, "TZif") != 0 || data[4] < '2' || data.back() != '\n') {
    Fail(kErrInvalidData);
    return "";
  }
  const size_t start = data.rfind('\n', data.size() - 2);
  if (start == std::string::npos) {
    Fail(kErrInvalidData);
    return "";
  }
  return data.substr(start + 1, data.size() - start - 2);
}

int GetTimeZoneInformation(TimeZoneInformation* out) {
  const char* tz = getenv("TZ");
  std::string rule;
  if (tz && *tz) {
    std::string name = tz[0] == ':' ? tz + 1 : tz;
    if (!name.empty() && name[0] == '/') {
      rule = TimeZoneRuleOfFile(name);
    } else {
      rule = TimeZoneRuleOfFile("/usr/share/zoneinfo/" + name);
      if (rule.empty() && tz[0] != ':') rule = name;  // a POSIX rule itself
    }
  } else {
    rule = TimeZoneRuleOfFile("/etc/localtime");
    if (rule.empty()) rule = "UTC0";
  }
  if (rule.empty()) return -1;
  return TimeZoneFromRule(rule, out);
}

}  // namespace plat
