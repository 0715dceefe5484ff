#include "cdxlib/sys/numformat.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <langinfo.h>
#include <locale.h>
#include <string>

namespace {

constexpr int kMaxField = 400;  // widths beyond this are cut

struct LocaleCache {
  bool loaded = false;
  locale_t loc = nullptr;
  char thousand = 0, decimal = '.', grouping = 0;
  int digits = 2, leadingZero = 1;
};
LocaleCache g_locale;

const LocaleCache& Locale() {
  if (g_locale.loaded) return g_locale;
  g_locale.loaded = true;
  g_locale.loc = newlocale(LC_ALL_MASK, "", nullptr);
  if (!g_locale.loc) g_locale.loc = newlocale(LC_ALL_MASK, "C", nullptr);
  if (g_locale.loc) {
    const char* t = nl_langinfo_l(THOUSEP, g_locale.loc);
    const char* d = nl_langinfo_l(RADIXCHAR, g_locale.loc);
    const char* g = nl_langinfo_l(GROUPING, g_locale.loc);
    g_locale.thousand = t ? t[0] : 0;
    g_locale.decimal = d && d[0] ? d[0] : '.';
    // The grouping comes as byte counts ("\3\3"); shown as its first digit.
    g_locale.grouping = g && g[0] > 0 && g[0] < 10 ? static_cast<char>('0' + g[0]) : 0;
    // POSIX locales give fraction digits for money only; numbers use the
    // same count when the locale has one, else 2. The leading-zero setting
    // has no POSIX counterpart: numbers keep their leading zero.
    const char* f = nl_langinfo_l(FRAC_DIGITS, g_locale.loc);
    if (f && f[0] >= 0 && f[0] <= 9) g_locale.digits = f[0];
  }
  return g_locale;
}

char g_num[kMaxField + 64];

// snprintf under the user's locale for this thread only, so the decimal
// separator is the locale's.
void FormatLocal(char* out, size_t size, const char* fmt, double v) {
  locale_t loc = Locale().loc;
  locale_t old = loc ? uselocale(loc) : nullptr;
  snprintf(out, size, fmt, v);
  if (loc) uselocale(old);
}

void InsertSeparators(char* s, char justify, char sep) {
  const int len = static_cast<int>(strlen(s));
  const bool left = justify == '-';
  int room = 0;
  if (left) {
    while (room < len && s[len - 1 - room] == ' ') ++room;
  } else {
    while (room < len && s[room] == ' ') ++room;
  }
  if (room == 0) return;
  int start = 0;
  while (start < len && s[start] == ' ') ++start;
  int p = start;
  while (p < len && s[p] != ' ' && s[p] != Locale().decimal) ++p;
  if (left) {
    for (int pos = p - 3; pos > 0 && room > 0 && s[pos] != ' '; pos -= 3, --room) {
      memmove(s + pos + 1, s + pos, static_cast<size_t>(len - pos - 1));
      s[pos] = sep;
    }
  } else {
    for (int pos = p - 4; pos > 0 && room > 0 && s[pos] != ' '; pos -= 4, --room) {
      memmove(s, s + 1, static_cast<size_t>(pos));
      s[pos] = sep;
    }
  }
}

void DropLeadingZero(char* s, char justify) {
  const int len = static_cast<int>(strlen(s));
  int i = 0;
  while (i < len && s[i] == ' ') ++i;
  if (i + 1 >= len || s[i] != '0' || s[i + 1] != Locale().decimal) return;
  s[i] = ' ';
  if (justify == '-') {
    memmove(s, s + i + 1, static_cast<size_t>(len - i - 1));
    memset(s + len - i - 1, ' ', static_cast<size_t>(i + 1));
    s[len] = 0;
  }
}

const char* FormatFloat(char justify, char pad, char sep, int width, int precision, float value) {
  width = std::clamp(width, 0, kMaxField);
  precision = std::clamp(precision, 0, 60);
  const char* j = justify == '-' ? "-" : "";
  const char* z = pad == '0' ? "0" : "";
  char fmt[32];
  snprintf(fmt, sizeof fmt, "%%%s%s%d.%df", j, z, width, precision);
  FormatLocal(g_num, sizeof g_num, fmt, value);
  if (static_cast<int>(strlen(g_num)) > width) {
    for (int p = precision; p >= 0; --p) {
      snprintf(fmt, sizeof fmt, "%%%s%s%d.%dE", j, z, width, p);
      FormatLocal(g_num, sizeof g_num, fmt, value);
      if (static_cast<int>(strlen(g_num)) <= width) break;
    }
    return g_num;
  }
  if (pad != '0' && value > 999 && sep != 0 && Locale().grouping != '0') InsertSeparators(g_num, justify, sep);
  if (value < 1 && Locale().leadingZero == 0) DropLeadingZero(g_num, justify);
  return g_num;
}

}  // namespace

const char* Num_ChannelGroupTitle(int kind) {
  static const char kTitles[7][16] = {"ANALOG INPUTS",  "DIGITAL INPUTS", "ANALOG OUTPUTS", "DIGITAL OUTPUTS",
                                      "COUNTER INPUTS", "DIAGNOSTICS",    "DIAGNOSTICS"};
  return kind >= 0 && kind < 7 ? kTitles[kind] : "";
}

char Num_LocaleChar(int item) {
  const LocaleCache& l = Locale();
  switch (item) {
    case kLocaleThousandSep: return l.thousand;
    case kLocaleDecimalSep: return l.decimal;
    case kLocaleGrouping: return l.grouping;
    case kLocaleFractionDigits: return static_cast<char>('0' + l.digits);
    case kLocaleLeadingZero: return static_cast<char>('0' + l.leadingZero);
    default: return 0;
  }
}

int Num_LocaleNumber(int item) {
  const char c = Num_LocaleChar(item);
  return c >= '0' && c <= '9' ? c - '0' : 0;
}

const char* Num_FormatFloat(char justify, char pad, char sep, int width, int precision, const float* value) {
  return FormatFloat(justify, pad, sep, width, precision, *value);
}

const char* Num_FormatFloatSep(char justify, char pad, int width, int precision, const float* value) {
  return FormatFloat(justify, pad, Num_LocaleChar(kLocaleThousandSep), width, precision, *value);
}

const char* Num_FormatFloatLocale(char justify, char pad, int width, const float* value) {
  int digits = Num_LocaleNumber(kLocaleFractionDigits);
  if (width < digits + 3) digits = std::max(0, width - 3);  // this call only
  return FormatFloat(justify, pad, Num_LocaleChar(kLocaleThousandSep), width, digits, *value);
}

// ---------------------------------------------------------------- Fmt_Print

namespace {

// A value cut to single precision and to 7 significant digits.
double Single7(double v) {
  const float f = static_cast<float>(v);
  if (!std::isfinite(f) || f == 0.0f) return f;
  char tmp[64];
  snprintf(tmp, sizeof tmp, "%.6e", static_cast<double>(f));
  return strtod(tmp, nullptr);
}

}  // namespace

int Fmt_Print(char* buf, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  std::string out;
  for (const char* p = format; *p; ++p) {
    if (*p != '%') {
      out += *p;
      continue;
    }
    ++p;
    bool left = false, zero = false;
    for (;; ++p) {
      if (*p == '-') left = true;
      else if (*p == '0') zero = true;
      else break;
    }
    // Digits saturate instead of overflowing; the bounds below cut them.
    auto digits = [&p] {
      int v = 0;
      while (isdigit(static_cast<unsigned char>(*p))) v = std::min(v * 10 + (*p++ - '0'), kMaxField + 1);
      return v;
    };
    int width = -1, precision = -1;
    if (*p == '*') {
      const int w = va_arg(ap, int);
      ++p;
      if (w < 0) {  // as printf: a negative width left-justifies
        left = true;
        width = w == INT_MIN ? kMaxField : std::min(-w, kMaxField);
      } else {
        width = w;
      }
    } else if (isdigit(static_cast<unsigned char>(*p))) {
      width = digits();
    }
    if (*p == '.') {
      ++p;
      precision = 0;
      if (*p == '*') {
        precision = va_arg(ap, int);  // negative: as if none was given
        ++p;
      } else {
        precision = digits();
      }
    }
    if (!*p) break;
    width = std::min(width, kMaxField);
    precision = precision < 0 ? -1 : std::min(precision, 60);
    std::string conv = "%";
    if (left) conv += '-';
    if (zero && !left) conv += '0';
    if (width >= 0) conv += std::to_string(width);
    if (precision >= 0) {
      conv += '.';
      conv += std::to_string(precision);
    }
    char piece[kMaxField + 128];
    switch (*p) {
      case '%': out += '%'; break;
      case 'd': snprintf(piece, sizeof piece, (conv + "d").c_str(), va_arg(ap, int)); out += piece; break;
      case 's': {
        // Appended directly: texts (whole paths) may be longer than any
        // field, and none of them may be cut.
        const char* s = va_arg(ap, const char*);
        if (!s) s = "";
        const size_t len = precision >= 0 ? strnlen(s, static_cast<size_t>(precision)) : strlen(s);
        const size_t fill = width > 0 && static_cast<size_t>(width) > len ? static_cast<size_t>(width) - len : 0;
        if (!left) out.append(fill, ' ');
        out.append(s, len);
        if (left) out.append(fill, ' ');
        break;
      }
      case 'e':
      case 'f':
      case 'g': {
        const double v = Single7(va_arg(ap, double));
        if (precision < 0) conv += ".6";
        snprintf(piece, sizeof piece, (conv + *p).c_str(), v);
        if (*p == 'f' && width >= 0 && static_cast<int>(strlen(piece)) > width) {
          out.append(static_cast<size_t>(width), '*');
        } else {
          out += piece;
        }
        break;
      }
      default: break;  // unknown conversion: dropped
    }
  }
  va_end(ap);
  memcpy(buf, out.c_str(), out.size() + 1);
  return static_cast<int>(out.size());
}

char* Str_LowerN(char* text, size_t count) {
  for (size_t i = 0; i < count && text[i]; ++i) text[i] = static_cast<char>(tolower(static_cast<unsigned char>(text[i])));
  return text;
}

char* Str_UpperN(char* text, size_t count) {
  for (size_t i = 0; i < count && text[i]; ++i) text[i] = static_cast<char>(toupper(static_cast<unsigned char>(text[i])));
  return text;
}
