#include "cdxlib/sys/textcodec.h"

#include <cerrno>
#include <iconv.h>
#include <cstring>
#include <vector>

namespace {

// Converts with iconv; false on an invalid or incomplete sequence.
bool Convert(const char* to, const char* from, const char* in, size_t inLen, std::string* out) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  std::vector<char> buf(inLen * 4 + 16);
  char* src = const_cast<char*>(in);
  char* dst = buf.data();
  size_t left = inLen, room = buf.size();
  const size_t rc = iconv(cd, &src, &left, &dst, &room);
  iconv_close(cd);
  if (rc == static_cast<size_t>(-1) || left != 0) return false;
  out->assign(buf.data(), buf.size() - room);
  return true;
}

}  // namespace

bool Codec_Utf8ToUtf16(const char* bytes, size_t length, std::u16string* out) {
  std::string raw;
  if (!Convert("UTF-16LE", "UTF-8", bytes, length, &raw)) return false;
  out->assign(reinterpret_cast<const char16_t*>(raw.data()), raw.size() / 2);
  return true;
}

std::u16string Codec_Cp1252ToUtf16(const char* bytes, size_t length) {
  std::u16string out;
  out.reserve(length);
  for (size_t i = 0; i < length; ++i) {
    const unsigned char b = static_cast<unsigned char>(bytes[i]);
    std::string one;
    char c = static_cast<char>(b);
    if (b >= 0x80 && b < 0xA0 && Convert("UTF-16LE", "WINDOWS-1252", &c, 1, &one) && one.size() == 2) {
      char16_t u;
      memcpy(&u, one.data(), 2);
      out += u;
    } else {
      out += static_cast<char16_t>(b);  // identical to Latin-1 outside 0x80..0x9F
    }
  }
  return out;
}

bool Codec_Utf16ToUtf8(const std::u16string& text, std::string* out) {
  return Convert("UTF-8", "UTF-16LE", reinterpret_cast<const char*>(text.data()), text.size() * 2, out);
}
