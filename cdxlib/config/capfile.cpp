// Per-thread reader of the capability files and its error report.
#include "cdxlib/config/capfile.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <memory>
#include <string>
#include <strings.h>

#include "platform/error.h"

namespace {

struct ReaderState {
  FILE* file = nullptr;
  char line[kCapLineMax + 1] = {};
  char lineCopy[kCapLineMax + 1] = {};
  char fields[kCapLineMax + 1] = {};
  char path[kCapPathMax + 1] = {};
  int lineNumber = 0;
  char errorText[kCapErrorMax + 1] = {};

  ~ReaderState() {
    if (file) fclose(file);
  }
};

// The thread's slot: made by CapFile_Open, freed by CapFile_Close or when
// the thread ends.
thread_local std::unique_ptr<ReaderState> t_state;

// Opens an existing file; when its exact name is missing, the first entry of
// its directory whose name matches without regard to case.
FILE* OpenExisting(const std::string& path, std::string* opened) {
  *opened = path;
  FILE* f = fopen(path.c_str(), "rb");
  if (f || errno != ENOENT) return f;
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  DIR* d = opendir(dir.c_str());
  if (!d) {
    errno = ENOENT;
    return nullptr;
  }
  std::string found;
  while (dirent* e = readdir(d)) {
    if (strcasecmp(e->d_name, base.c_str()) == 0) {
      found = e->d_name;
      break;
    }
  }
  closedir(d);
  if (found.empty()) {
    errno = ENOENT;
    return nullptr;
  }
  *opened = (slash == std::string::npos ? found : path.substr(0, slash + 1) + found);
  return fopen(opened->c_str(), "rb");
}

// Reads one physical line of at most kCapLineMax characters into s.line
// (line end removed). The rest of a longer line is read and dropped. False
// at the end of the file.
bool ReadPhysicalLine(ReaderState& s) {
  int c = 0;
  int n = 0;
  bool any = false;
  while ((c = getc(s.file)) != EOF) {
    any = true;
    if (c == '\n') break;
    if (n < kCapLineMax) s.line[n++] = static_cast<char>(c);
  }
  if (!any) return false;
  s.line[n] = '\0';
  if (n > 0 && s.line[n - 1] == '\r') s.line[--n] = '\0';
  ++s.lineNumber;
  return true;
}

bool IsEntry(const char* line) {
  while (*line == ' ' || *line == '\t') ++line;
  return *line != '\0' && *line != '*';
}

void Rewind(ReaderState& s) {
  rewind(s.file);
  s.lineNumber = 0;
}

// Reads up to the next entry line: true with it in s.line, false at the end
// (after rewinding).
bool NextEntry(ReaderState& s) {
  while (ReadPhysicalLine(s)) {
    if (IsEntry(s.line)) {
      memcpy(s.lineCopy, s.line, sizeof s.line);
      return true;
    }
  }
  Rewind(s);
  return false;
}

// Appends text to the error buffer, cutting it at the buffer's end.
void Append(std::string& out, const char* text, size_t length) {
  if (out.size() >= kCapErrorMax) return;
  out.append(text, std::min(length, static_cast<size_t>(kCapErrorMax) - out.size()));
}

}  // namespace

int CapFile_Open(const char* fileName) {
  if (!fileName || !*fileName) {
    plat::Fail(plat::kErrInvalidParameter);
    return -1;
  }
  std::string path(fileName);
  for (char& c : path)
    if (c == '\\') c = '/';
  if (path.size() > static_cast<size_t>(kCapPathMax)) {
    plat::Fail(plat::kErrFilenameExcedRange);
    return -1;
  }
  t_state.reset();
  std::string opened;
  FILE* f = OpenExisting(path, &opened);
  if (!f) {
    plat::FailErrno(errno);
    return -1;
  }
  auto s = std::make_unique<ReaderState>();
  s->file = f;
  snprintf(s->path, sizeof s->path, "%s", opened.c_str());
  int count = 0;
  while (ReadPhysicalLine(*s))
    if (IsEntry(s->line)) ++count;
  if (ferror(f)) {
    const int e = errno;
    plat::FailErrno(e ? e : EIO);
    return -1;
  }
  Rewind(*s);
  s->line[0] = s->lineCopy[0] = '\0';
  t_state = std::move(s);
  return count;
}

int CapFile_NextLine() {
  if (!t_state) return -1;
  return NextEntry(*t_state) ? 1 : 0;
}

int CapFile_Split(char** fields, int* offsets, int maximum) {
  if (!t_state) return -1;
  ReaderState& s = *t_state;
  if (!NextEntry(s)) return 0;
  memcpy(s.fields, s.line, sizeof s.line);
  if (maximum <= 0) return 0;
  int n = 0;
  char* p = s.fields;
  for (;;) {
    fields[n] = p;
    if (offsets) offsets[n] = static_cast<int>(p - s.fields);
    ++n;
    if (n == maximum) break;
    char* comma = strchr(p, ',');
    if (!comma) break;
    *comma = '\0';
    p = comma + 1;
  }
  return n;
}

void CapFile_Error(int code, const char* message, int offset, int length) {
  if (!t_state) return;
  ReaderState& s = *t_state;
  char head[kCapErrorMax + 1];
  snprintf(head, sizeof head, "Can't Parse %s\nLine %d : **** %s ****\n", s.path, s.lineNumber,
           message ? message : "");
  std::string out;
  Append(out, head, strlen(head));
  const char* line = s.lineCopy;
  const int lineLength = static_cast<int>(strlen(line));
  if (length > 0 && offset >= 0 && offset <= lineLength) {
    const int fieldLength = std::min(length, lineLength - offset);
    Append(out, line, static_cast<size_t>(offset));
    Append(out, ">", 1);
    Append(out, line + offset, static_cast<size_t>(fieldLength));
    Append(out, "<", 1);
    Append(out, line + offset + fieldLength, static_cast<size_t>(lineLength - offset - fieldLength));
  } else {
    Append(out, line, static_cast<size_t>(lineLength));
  }
  if (code != 0) {
    char tail[32];
    const int n = snprintf(tail, sizeof tail, "\nError : %d\n", code);
    Append(out, tail, static_cast<size_t>(n));
  }
  memcpy(s.errorText, out.c_str(), out.size() + 1);
}

int CapFile_CheckRange(const char* prefix, int count, int offset, int length) {
  const auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
  if (!prefix || !letter(prefix[0]) || !(prefix[1] == '\0' || prefix[1] == ':' || letter(prefix[1]))) {
    CapFile_Error(1, "invalid channel prefix", offset, length);
    return 0;
  }
  if (count < 1 || count > kCapRangeCountMax) {
    CapFile_Error(1, "invalid number of channels", offset, length);
    return 0;
  }
  return 1;
}

const char* CapFile_ErrorText() { return t_state ? t_state->errorText : nullptr; }
const char* CapFile_Line() { return t_state ? t_state->line : nullptr; }
int CapFile_LineNumber() { return t_state ? t_state->lineNumber : -1; }
const char* CapFile_Path() { return t_state ? t_state->path : nullptr; }

void CapFile_SetErrorText(const char* text) {
  if (!t_state) return;
  snprintf(t_state->errorText, sizeof t_state->errorText, "%s", text ? text : "");
}

void CapFile_Close() { t_state.reset(); }
