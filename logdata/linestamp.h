// The time stamps at the start of the lines of a log's text: the stamp
// itself and its two written forms, date first ("YY/MM/DD hh:mm:ss") and
// time first ("hh:mm:ss DD/MM/YY"), each with an optional fraction. Both the
// events text and the text-file layer under it read and write them.
#pragma once
#include <cstdint>
#include <string>

// The stamp of a text line: seconds since 1970 (wall clock, no zone shift),
// milliseconds and microseconds.
struct LineStamp {
  int32_t seconds;
  int32_t milliseconds;
  int32_t microseconds;
};

// The stamp at the start of a line: the text after it, or null. The second
// form also gives the number of digits of the stamp's fraction (0 for none).
const char* ParseLineStamp(const char* line, LineStamp* stamp);
const char* ParseLineStamp(const char* line, LineStamp* stamp, int* fractionDigits);
// "YY/MM/DD hh:mm:ss[.fff[uuu]] " of a stamp, or the time-first form: the
// fraction as the stamp needs it (none, milliseconds, or milliseconds and
// microseconds), or in the second form of a given width (0 none, 1 to 3
// milliseconds, more milliseconds and microseconds), so that a line moved
// from one form to the other keeps its fraction as it was written.
std::string FormatLineStamp(const LineStamp& stamp, bool timeFirst);
std::string FormatLineStamp(const LineStamp& stamp, bool timeFirst, int fractionDigits);
