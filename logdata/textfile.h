// The text-file layer under the events text (eventstext.h): how a text
// file's bytes become lines and back, and how a new content replaces a file.
//
// A file's lines are handled in a working form that keeps every character
// the file holds: its own bytes for a Windows-1252 file, UTF-8 for a UTF-16
// file (one that begins FF FE). Section headers, stamps and "\r\n" are ASCII
// in both, so the section and stamp logic works on either unchanged; texts
// enter and leave through NarrowOf, WideOf and TextArg.
#pragma once
#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

// UTF-16 text in Windows-1252 ('?' for what it cannot show).
std::string Utf16ToCp1252(const char16_t* text);

namespace evtext {

// A text file in its working form.
struct TextFile {
  bool wide = false;  // UTF-16 on disk
  std::string text;
};

// A caller's text, 8-bit (Windows-1252) or UTF-16; null stays null.
struct TextArg {
  const char* narrow = nullptr;
  const char16_t* wide = nullptr;

  bool IsNull() const { return !narrow && !wide; }
  // In the working form of a file of the given encoding ('?' for what an
  // 8-bit file cannot hold).
  std::string For(bool wideFile) const;
};

// Lenient conversions: an unpaired surrogate or a byte that starts no valid
// sequence becomes '?'.
std::string Utf16ToUtf8Lenient(const char16_t* p, size_t n);
std::u16string Utf8ToUtf16Lenient(const std::string& s);
// A working-form line as Windows-1252 or as UTF-16.
std::string NarrowOf(const std::string& line, bool wide);
std::u16string WideOf(const std::string& line, bool wide);

void DecodeFile(const std::string& bytes, TextFile* file);
std::string EncodeFile(const TextFile& file);
// Reads a text file; false with errno when it cannot be opened or read. A
// rewrite reads without following a link (whatever a link names must not
// be copied into the new file).
bool LoadText(const std::string& path, TextFile* file, bool noFollow);

// Lines without their "\r\n" (a last line without one counts).
std::vector<std::string> SplitLines(const std::string& text);
bool StartsWith(const std::string& s, const std::string& p);
bool EndsWith(const std::string& s, const char* p);
std::string DirectoryOf(const std::string& file);

// The lines of a section (after its header line up to the next line that
// begins with '['); none when the header is not found.
std::vector<std::string> SectionOf(const std::string& text, const std::string& header);
// The text with a section's lines replaced by body ("\r\n" added when it
// has none), or the header and body appended when the section is missing.
std::string WithSection(const std::string& text, const std::string& header, const std::string& body);
// A TEXT line stamped time first, given date first; others unchanged.
std::string DateFirst(const std::string& line);

// Gathers lines with their "\r\n" into a buffer of *size characters (or only
// measures them): the number of lines that fit; *size out = their length + 1.
template <typename Str>
int GatherLines(const std::vector<Str>& lines, typename Str::value_type* buffer, int* size) {
  using Ch = typename Str::value_type;
  int room = buffer ? *size : 0;
  if (buffer && room > 0) buffer[0] = 0;
  int count = 0;
  size_t total = 0;
  for (const Str& l : lines) {
    size_t n = l.size() + 2;
    if (buffer) {
      if (total + n + 1 > static_cast<size_t>(room)) {
        *size = static_cast<int>(total + 1);
        return count;
      }
      std::copy(l.begin(), l.end(), buffer + total);
      buffer[total + l.size()] = Ch('\r');
      buffer[total + l.size() + 1] = Ch('\n');
      buffer[total + n] = 0;
    }
    total += n;
    ++count;
  }
  *size = static_cast<int>(total + 1);
  return count;
}

// Writes the content beside the file and renames it into place. The
// temporary file ("<file>.<pid>.XXXXXX.tmp") is made new with O_EXCL
// (unpredictable, no link followed) and gets the old file's permissions, or
// those of a new file under the umask; the temporaries that processes no
// longer running left beside the file are removed first. 0, or -1 with the
// last error set (the file then is as it was and the temporary file is
// gone).
int ReplaceFile(const std::string& path, const std::string& content);

}  // namespace evtext
