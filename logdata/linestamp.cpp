// Reading and writing the stamps of text lines.
#include "logdata/linestamp.h"

#include <cstdio>
#include <ctime>

#include "cdxlib/sys/timestamp.h"

std::string FormatLineStamp(const LineStamp& s, bool timeFirst) {
  return FormatLineStamp(s, timeFirst, s.microseconds ? 6 : s.milliseconds ? 3 : 0);
}

std::string FormatLineStamp(const LineStamp& s, bool timeFirst, int fractionDigits) {
  struct tm* t = Time_GmTime(s.seconds);
  char frac[16] = "";
  if (fractionDigits > 3) snprintf(frac, sizeof frac, ".%03d%03d", s.milliseconds % 1000, s.microseconds % 1000);
  else if (fractionDigits > 0) snprintf(frac, sizeof frac, ".%03d", s.milliseconds % 1000);
  char out[64];
  if (timeFirst)
    snprintf(out, sizeof out, "%02d:%02d:%02d%s %02d/%02d/%02d ", t->tm_hour, t->tm_min, t->tm_sec, frac, t->tm_mday,
             t->tm_mon + 1, t->tm_year % 100);
  else
    snprintf(out, sizeof out, "%02d/%02d/%02d %02d:%02d:%02d%s ", t->tm_year % 100, t->tm_mon + 1, t->tm_mday,
             t->tm_hour, t->tm_min, t->tm_sec, frac);
  return out;
}

const char* ParseLineStamp(const char* line, LineStamp* stamp) { return ParseLineStamp(line, stamp, nullptr); }

const char* ParseLineStamp(const char* line, LineStamp* stamp, int* fractionDigits) {
  if (!line) return nullptr;
  int a, b, c, d, e, f, n = 0;
  unsigned frac = 0;
  int y, mo, da, h, mi, se;
  bool ok = false;
  int fracDigits = 0;
  // Date first, then time first; with and without a fraction.
  int p1 = 0, p2 = 0;
  if (sscanf(line, "%2d/%2d/%2d %2d:%2d:%2d.%n%u%n", &a, &b, &c, &d, &e, &f, &p1, &frac, &p2) == 7 && line[p2] == ' ') {
    y = a, mo = b, da = c, h = d, mi = e, se = f, fracDigits = p2 - p1, n = p2, ok = true;
  } else if (sscanf(line, "%2d:%2d:%2d.%n%u%n %2d/%2d/%2d", &a, &b, &c, &p1, &frac, &p2, &d, &e, &f) == 7) {
    h = a, mi = b, se = c, da = d, mo = e, y = f, fracDigits = p2 - p1, ok = true;
    sscanf(line + p2, " %*d/%*d/%*d%n", &n);
    n += p2;
  } else if (sscanf(line, "%2d/%2d/%2d %2d:%2d:%2d%n", &a, &b, &c, &d, &e, &f, &n) == 6 && line[n] == ' ') {
    y = a, mo = b, da = c, h = d, mi = e, se = f, frac = 0, ok = true;
  } else if (sscanf(line, "%2d:%2d:%2d %2d/%2d/%2d%n", &a, &b, &c, &d, &e, &f, &n) == 6) {
    h = a, mi = b, se = c, da = d, mo = e, y = f, frac = 0, ok = true;
  }
  if (!ok || line[n] != ' ') return nullptr;
  struct tm tmv = {};
  tmv.tm_year = (y < 70 ? 2000 + y : 1900 + y) - 1900;
  tmv.tm_mon = mo - 1;
  tmv.tm_mday = da;
  tmv.tm_hour = h;
  tmv.tm_min = mi;
  tmv.tm_sec = se;
  LineStamp s{static_cast<int32_t>(Time_MakeSeconds(&tmv)), 0, 0};
  if (fracDigits > 3) {
    s.milliseconds = static_cast<int32_t>(frac / 1000);
    s.microseconds = static_cast<int32_t>(frac % 1000);
  } else if (fracDigits > 0) {
    s.milliseconds = static_cast<int32_t>(frac);
  }
  if (stamp) *stamp = s;
  if (fractionDigits) *fractionDigits = fracDigits;
  return line + n + 1;
}
