// Channel references such as "AI12", "DO1K".
#pragma once
#include <cstdint>

// Letters, then digits; at most 2 letters and 5 digits; characters that are
// neither are skipped; a K or k straight after a final digit 1 makes the
// number 1000. At least one letter and one digit. prefix receives the two
// letters (a single letter and a zero). 0 or -1.
int Tag_ParseAddress(const char* text, char prefix[2], int32_t* number);

// Digits only (at most 5), or digits ending "1K"/"1k" for 1000. 0 or -1.
int Tag_ParseNumber(const char* text, int32_t* number);
