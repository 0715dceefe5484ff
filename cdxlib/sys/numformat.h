// Fixed-width number formatting with the user's locale, channel group
// titles, and the small own formatter used to join paths.
//
// The locale values are read once per process from the user's default
// locale (the environment's LANG/LC_*), through a locale object of our own:
// the process's C locale is never changed, so every other decimal point in
// the process stays '.'.
#pragma once
#include <cstddef>

// The title of a channel kind 0..6 ("ANALOG INPUTS" ...); "" for another.
const char* Num_ChannelGroupTitle(int kind);

enum LocaleItem : int {
  kLocaleThousandSep = 0,  // first character
  kLocaleDecimalSep = 1,   // first character
  kLocaleGrouping = 2,     // first character, as a digit ("3")
  kLocaleFractionDigits = 3,
  kLocaleLeadingZero = 4,  // 1: "0.5", 0: ".5"
};

// First character of a locale value, 0 when the locale has none.
char Num_LocaleChar(int item);
// The decimal digits of a locale value as a number.
int Num_LocaleNumber(int item);

// Formats *value in a field of `width`: justify '-' left-justifies, pad '0'
// zero-pads; precision fraction digits. Falls back to the exponent form,
// with fewer digits, when the fixed form is too wide. Inserts the thousands
// separator `sep` (0: none) where the field has blanks to spare. The result
// is in a static buffer, overwritten by the next call.
const char* Num_FormatFloat(char justify, char pad, char sep, int width, int precision, const float* value);
// As above with the locale's thousands separator.
const char* Num_FormatFloatSep(char justify, char pad, int width, int precision, const float* value);
// As above with the locale's fraction digits, reduced for this call to fit
// a narrow width (width - 3, never below 0).
const char* Num_FormatFloatLocale(char justify, char pad, int width, const float* value);

// Writes the formatted text and its zero into buf: %d, %s, %e, %f, %g, %%;
// flags '-' and '0'; width and precision as digits or '*'. Floating-point
// values work in single precision (at most 7 significant digits); a %f wider
// than a given width becomes that many '*'. An unknown conversion is
// dropped. Returns the length written. Process-wide state: one thread.
int Fmt_Print(char* buf, const char* format, ...);

// Changes the case of count characters in place (stopping at a zero);
// returns text.
char* Str_LowerN(char* text, size_t count);
char* Str_UpperN(char* text, size_t count);
