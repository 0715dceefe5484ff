// Base64 encoder and decoder filters.
//
// A charset is 64 digit characters and the pad character, all different;
// null means the standard one. The encoder inserts no line breaks. The
// decoder skips the pad wherever it stands; a strict decoder refuses any
// other character outside the charset with EINVAL, a lenient one skips it.
#pragma once

#include "base/stream/filter.h"

inline constexpr const char* kBase64StandardCharset =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";

// 0, or -1 with EINVAL unless the charset has exactly 65 different
// characters.
int Base64_CheckCharset(const char* charset);
// New filters (destroy with Filter_Destroy), or null with errno.
Filter* Base64_CreateEncoder(const char* charset);
Filter* Base64_CreateDecoder(const char* charset, bool strict);
