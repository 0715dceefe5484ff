// The text-file layer of the events text: encodings, the working form,
// sections as text, and the crash-safe replacement.
#include "logdata/textfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cdxlib/sys/textcodec.h"
#include "logdata/linestamp.h"
#include "platform/error.h"
#include "platform/files.h"

std::string Utf16ToCp1252(const char16_t* text) {
  std::string out;
  if (!text) return out;
  for (const char16_t* p = text; *p; ++p) {
    char16_t c = *p;
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
      out += static_cast<char>(c);
      continue;
    }
    // The Windows-1252 characters of 0x80..0x9F.
    static const char16_t k80[32] = {0x20AC, 0, 0x201A, 0x0192, 0x201E, 0x2026,
                                     0x2020, 0x2021, 0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0, 0x017D, 0,
                                     0, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                     0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0, 0x017E, 0x0178};
    char m = '?';
    for (int i = 0; i < 32; ++i)
      if (k80[i] ? k80[i] == c : c == 0x80 + i) m = static_cast<char>(0x80 + i);  // the 5 unassigned keep their byte
    out += m;
  }
  return out;
}

namespace evtext {

namespace {

void PutUtf8(std::string* out, uint32_t c) {
  if (c < 0x80) {
    *out += static_cast<char>(c);
  } else if (c < 0x800) {
    *out += static_cast<char>(0xC0 | (c >> 6));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *out += static_cast<char>(0xE0 | (c >> 12));
    *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | (c >> 18));
    *out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

// UTF-16 to UTF-8; an unpaired surrogate becomes '?'.
std::string Utf16ToUtf8Lenient(const char16_t* p, size_t n) {
  std::string out;
  out.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    uint32_t c = p[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && p[i + 1] >= 0xDC00 && p[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (p[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = '?';
    }
    PutUtf8(&out, c);
  }
  return out;
}

// UTF-8 to UTF-16; a byte that starts no valid sequence becomes '?'.
std::u16string Utf8ToUtf16Lenient(const std::string& s) {
  std::u16string out;
  out.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) {
    auto b = static_cast<unsigned char>(s[i]);
    uint32_t c = '?';
    size_t len = 1;
    if (b < 0x80) {
      c = b;
    } else {
      size_t need = b >= 0xF0 && b < 0xF5 ? 4 : b >= 0xE0 ? 3 : b >= 0xC2 && b < 0xE0 ? 2 : 0;
      if (need && i + need <= s.size()) {
        uint32_t v = b & (0x7F >> need);
        bool ok = true;
        for (size_t k = 1; k < need && ok; ++k) {
          auto cb = static_cast<unsigned char>(s[i + k]);
          ok = (cb & 0xC0) == 0x80;
          v = (v << 6) | (cb & 0x3F);
        }
        if (ok && v <= 0x10FFFF && !(v >= 0xD800 && v <= 0xDFFF) && (need < 3 || v >= 0x800) &&
            (need < 4 || v >= 0x10000)) {
          c = v;
          len = need;
        }
      }
    }
    if (c >= 0x10000) {
      out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
    i += len;
  }
  return out;
}

// Working form of a file <-> the callers' texts.
std::string NarrowOf(const std::string& line, bool wide) {
  if (!wide) return line;
  std::u16string w = Utf8ToUtf16Lenient(line);
  return Utf16ToCp1252(w.c_str());
}
std::u16string WideOf(const std::string& line, bool wide) {
  return wide ? Utf8ToUtf16Lenient(line) : Codec_Cp1252ToUtf16(line.data(), line.size());
}

namespace {

size_t Length16(const char16_t* t) {
  size_t n = 0;
  while (t && t[n]) ++n;
  return n;
}

}  // namespace

std::string TextArg::For(bool wideFile) const {
  if (narrow) {
    if (!wideFile) return narrow;
    std::u16string w = Codec_Cp1252ToUtf16(narrow, strlen(narrow));
    return Utf16ToUtf8Lenient(w.data(), w.size());
  }
  if (wide) return wideFile ? Utf16ToUtf8Lenient(wide, Length16(wide)) : Utf16ToCp1252(wide);
  return std::string();
}

// ---- Files ---------------------------------------------------------------------

namespace {

bool ReadBytes(const std::string& path, std::string* out, bool noFollow) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | (noFollow ? O_NOFOLLOW : 0));
  if (fd < 0) return false;
  out->clear();
  char buf[9999];
  for (;;) {
    ssize_t r = read(fd, buf, sizeof buf);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) {
      int e = errno;
      close(fd);
      errno = e;
      return r == 0;
    }
    out->append(buf, static_cast<size_t>(r));
  }
}

}  // namespace

void DecodeFile(const std::string& bytes, TextFile* file) {
  file->wide = bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
               static_cast<unsigned char>(bytes[1]) == 0xFE;
  if (!file->wide) {
    file->text = bytes;
    return;
  }
  std::u16string units((bytes.size() - 2) / 2, u'\0');
  for (size_t i = 0; i < units.size(); ++i)
    units[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 + 2 * i]) |
                                     (static_cast<unsigned char>(bytes[3 + 2 * i]) << 8));
  file->text = Utf16ToUtf8Lenient(units.data(), units.size());
}

std::string EncodeFile(const TextFile& file) {
  if (!file.wide) return file.text;
  std::u16string w = Utf8ToUtf16Lenient(file.text);
  std::string bytes("\xFF\xFE", 2);
  bytes.reserve(2 + 2 * w.size());
  for (char16_t c : w) {
    bytes += static_cast<char>(c & 0xFF);
    bytes += static_cast<char>(c >> 8);
  }
  return bytes;
}

// Reads a text file; false with errno when it cannot be opened or read. A
// rewrite reads without following a link (whatever a link names must not
// be copied into the new file).
bool LoadText(const std::string& path, TextFile* file, bool noFollow) {
  std::string bytes;
  if (!ReadBytes(path, &bytes, noFollow)) return false;
  DecodeFile(bytes, file);
  return true;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t p = 0;
  while (p < text.size()) {
    size_t e = text.find("\r\n", p);
    if (e == std::string::npos) {
      lines.push_back(text.substr(p));
      break;
    }
    lines.push_back(text.substr(p, e - p));
    p = e + 2;
  }
  return lines;
}

std::string DirectoryOf(const std::string& file) {
  size_t slash = file.find_last_of('/');
  return slash == std::string::npos ? "." : file.substr(0, slash ? slash : 1);
}

// Writes the new content beside the file and renames it into place. The
// temporary file ("<file>.<pid>.XXXXXX.tmp") is made new with O_EXCL (no
// link followed); it keeps the old file's permissions, or those of a new
// file under the umask. What processes that no longer run left beside the
// same file is removed first.
int ReplaceFile(const std::string& path, const std::string& content) {
  plat::RemoveStaleTemps(path, ".tmp");
  struct stat st;
  mode_t mode = lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? (st.st_mode & 07777)
                                                                       : (0666 & ~plat::ProcessUmask());
  std::string tmp;
  int fd = plat::CreateTempBeside(path, ".tmp", mode, &tmp);
  if (fd < 0) return -1;  // the last error is set
  bool ok = true;
  size_t done = 0;
  while (ok && done < content.size()) {
    ssize_t w = write(fd, content.data() + done, content.size() - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      ok = false;
      break;
    }
    done += static_cast<size_t>(w);
  }
  if (ok && fsync(fd) != 0) ok = false;
  int e = errno;
  if (close(fd) != 0 && ok) ok = false, e = errno;
  if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
    if (ok) e = errno;
    unlink(tmp.c_str());
    plat::SetLastError(plat::FromErrno(e));
    return -1;
  }
  int dfd = open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    fsync(dfd);
    close(dfd);
  }
  return 0;
}

bool StartsWith(const std::string& s, const std::string& p) { return s.compare(0, p.size(), p) == 0; }
bool EndsWith(const std::string& s, const char* p) {
  size_t n = strlen(p);
  return s.size() >= n && s.compare(s.size() - n, n, p) == 0;
}

std::vector<std::string> SectionOf(const std::string& text, const std::string& header) {
  std::vector<std::string> lines = SplitLines(text), out;
  size_t i = 0;
  while (i < lines.size() && !StartsWith(lines[i], header)) ++i;
  if (i == lines.size()) return out;
  for (++i; i < lines.size() && (lines[i].empty() || lines[i][0] != '['); ++i) out.push_back(lines[i]);
  return out;
}

std::string WithSection(const std::string& text, const std::string& header, const std::string& bodyIn) {
  std::string body = bodyIn;
  if (!body.empty() && !EndsWith(body, "\r\n")) body += "\r\n";
  std::vector<std::string> lines = SplitLines(text);
  std::string out;
  bool done = false;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (!done && StartsWith(lines[i], header)) {
      out += lines[i] + "\r\n" + body;
      while (i + 1 < lines.size() && (lines[i + 1].empty() || lines[i + 1][0] != '[')) ++i;
      done = true;
      continue;
    }
    out += lines[i] + "\r\n";
  }
  if (!done) out += header + "\r\n" + body;
  return out;
}

// A TEXT line stamped time first, given date first with a fraction of the
// same width (".000" stays ".000", ".123000" stays ".123000").
std::string DateFirst(const std::string& line) {
  LineStamp st;
  int digits = 0;
  const char* rest;
  if (line.size() > 2 && line[2] == ':' && (rest = ParseLineStamp(line.c_str(), &st, &digits)) != nullptr)
    return FormatLineStamp(st, false, digits) + rest;
  return line;
}

}  // namespace evtext
