// The events text file of a log.
#include "logdata/eventstext.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cdxlib/sys/registry.h"
#include "cdxlib/sys/timestamp.h"
#include "logdata/logformat.h"
#include "logdata/textfile.h"
#include "platform/error.h"
#include "platform/files.h"

using namespace evtext;

namespace {

constexpr char kEventsTextName[] = "events.txt";

// Every read-modify-replace of a text file holds an exclusive lock on its
// directory, so two writers (processes, or threads with their own
// descriptors) never both read the old text and lose each other's change.
class DirectoryLock {
 public:
  explicit DirectoryLock(const std::string& file) {
    fd_ = open(DirectoryOf(file).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0) return;
    while (flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  ~DirectoryLock() {
    if (fd_ >= 0) close(fd_);  // releases the lock
  }
  DirectoryLock(const DirectoryLock&) = delete;
  DirectoryLock& operator=(const DirectoryLock&) = delete;

 private:
  int fd_ = -1;
};

int64_t StampKey(const LineStamp& s) {
  return (static_cast<int64_t>(static_cast<uint32_t>(s.seconds)) * 1000 + s.milliseconds) * 1000 + s.microseconds;
}

bool IsTextHeader(const std::string& header) { return strcasecmp(header.c_str(), "[TEXT]") == 0; }

// The lines of a section in the file's working form: the number of lines,
// -1 (no name) or -2 (the file cannot be opened). With the events switch on,
// TEXT is the whole of the directory's "events.txt" when that can be read.
int SectionLines(const std::string& path, const char* name, std::vector<std::string>* out, bool* wide) {
  std::string header = SectionHeader(name);
  if (header.empty()) return -1;
  out->clear();
  TextFile file;
  bool isText = IsTextHeader(header);
  if (isText && EventsTextEnabled() && LoadText(EventsTextPathFor(path), &file, false)) {
    *wide = file.wide;
    for (const std::string& l : SplitLines(file.text)) out->push_back(DateFirst(l));
    return static_cast<int>(out->size());
  }
  if (!LoadText(path, &file, false)) return -2;
  *wide = file.wide;
  for (const std::string& l : SectionOf(file.text, header)) out->push_back(isText ? DateFirst(l) : l);
  return static_cast<int>(out->size());
}

// Sets line pointers into a gathered buffer, "\r\n" replaced by terminators.
template <typename Ch>
int PointLines(int gathered, Ch** lines, int* lineCount, Ch* buffer) {
  int set = 0;
  Ch* p = buffer;
  while (set < *lineCount && set < gathered && *p) {
    lines[set++] = p;
    Ch* e = p;
    while (*e && !(e[0] == Ch('\r') && e[1] == Ch('\n'))) ++e;
    if (!*e) break;
    *e = 0;
    p = e + 2;
  }
  *lineCount = set;
  return 0;
}

// Whether a ".txt" of the directory (events.txt aside) has a TEXT section
// with at least one line.
bool DirectoryHasTextSection(const std::string& dir) {
  DIR* d = opendir(dir.c_str());
  if (!d) return false;
  bool found = false;
  while (!found) {
    dirent* e = readdir(d);
    if (!e) break;
    std::string n = e->d_name;
    if (n.size() <= 4 || strcasecmp(n.c_str() + n.size() - 4, ".txt") != 0 ||
        strcasecmp(n.c_str(), kEventsTextName) == 0)
      continue;
    TextFile f;
    found = LoadText(dir + "/" + n, &f, true) && !SectionOf(f.text, "[TEXT]").empty();
  }
  closedir(d);
  return found;
}

int ReplaceSection(const std::string& path, const std::string& headerIn, const TextArg& text) {
  std::string header = SectionHeader(headerIn.c_str());
  if (header.empty()) return -1;
  DirectoryLock lock(path);
  TextFile file;
  if (!LoadText(path, &file, true)) {
    if (errno != ENOENT) {
      plat::SetLastError(plat::FromErrno(errno));
      return -2;
    }
    file = TextFile{};
  }
  file.text = WithSection(file.text, header, text.For(file.wide));
  return ReplaceFile(path, EncodeFile(file)) == 0 ? 1 : -1;
}

int InsertStampedLine(const std::string& pathIn, const std::string& headerIn, const LineStamp& stamp,
                      const TextArg& text, const TextArg& keyArg) {
  std::string header = SectionHeader(headerIn.c_str());
  if (header.empty()) return -1;
  // The directory-wide events text takes every TEXT line while the switch
  // holds, unless the directory's logs already keep their own.
  std::string path = pathIn;
  bool wholeFile = false;
  if (IsTextHeader(header) && EventsTextEnabled()) {
    std::string events = EventsTextPathFor(pathIn);
    if (access(events.c_str(), R_OK | W_OK) == 0 || !DirectoryHasTextSection(DirectoryOf(pathIn))) {
      path = events;
      wholeFile = true;
    }
  }
  DirectoryLock lock(path);
  TextFile file;
  if (!LoadText(path, &file, true)) {
    if (errno != ENOENT) {
      plat::SetLastError(plat::FromErrno(errno));
      return -2;
    }
    file = TextFile{};
  }
  std::string t = text.For(file.wide);
  std::string newLine;
  if (!t.empty()) {
    newLine = FormatLineStamp(stamp, wholeFile) + t;
    if (!EndsWith(newLine, "\r\n")) newLine += "\r\n";
  }
  std::string plain = t;
  while (!plain.empty() && (plain.back() == '\n' || plain.back() == '\r')) plain.pop_back();
  std::string key = keyArg.For(file.wide);
  int64_t want = StampKey(stamp);
  std::vector<std::string> lines = SplitLines(file.text);
  std::string out;
  size_t i = 0;
  if (!wholeFile)
    while (i < lines.size() && !StartsWith(lines[i], header)) out += lines[i++] + "\r\n";
  if (!wholeFile && i == lines.size()) {
    if (!newLine.empty()) out += header + "\r\n" + newLine;
  } else {
    if (!wholeFile) out += lines[i++] + "\r\n";
    bool placed = false;
    for (; i < lines.size() && (wholeFile || lines[i].empty() || lines[i][0] != '['); ++i) {
      LineStamp ls;
      const char* rest = ParseLineStamp(lines[i].c_str(), &ls);
      if (!placed && rest) {
        int64_t k = StampKey(ls);
        if (k > want) {
          out += newLine;
          placed = true;
        } else if (k == want) {
          if (keyArg.IsNull()) {
            if (!plain.empty() && strncasecmp(rest, plain.c_str(), plain.size()) == 0) continue;
          } else if (strncmp(rest, key.c_str(), key.size()) == 0) {
            if (plain.empty() || plain != rest) continue;
            newLine.clear();  // the same line is there already
          }
        }
      }
      out += lines[i] + "\r\n";
    }
    if (!placed) out += newLine;
    for (; i < lines.size(); ++i) out += lines[i] + "\r\n";
  }
  file.text = out;
  return ReplaceFile(path, EncodeFile(file));
}

}  // namespace

std::string SectionHeader(const char* name) {
  if (!name || !*name) return std::string();
  if (name[0] == '[') return name;
  return std::string("[") + name + "]";
}

std::string LogTextPathFor(const std::string& logPath) {
  size_t dot = logPath.find_last_of('.');
  size_t slash = logPath.find_last_of('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return logPath + ".txt";
  return logPath.substr(0, dot) + ".txt";
}

std::string EventsTextPathFor(const std::string& path) { return DirectoryOf(path) + "/" + kEventsTextName; }

bool EventsTextEnabled() {
  if (strcasecmp(Prod_GetProductName(), "Tarvi") == 0) return true;
  char value[64];
  uint32_t type = 0, size = sizeof value - 1;
  if (Reg_AccessValue(plat::HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillomatic\\Coordinatrix", plat::KEY_QUERY_VALUE,
                      "EventsTextFile", &type, value, &size) != 0)
    return false;
  value[size < sizeof value ? size : sizeof value - 1] = '\0';
  return strncasecmp(value, "ON", 2) == 0;
}

namespace {

bool IsFile(const std::string& p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The stop time of a log's header and the time of its last record (0 when
// the log has none or cannot be read).
void LogEndTimes(const std::string& logPath, int32_t* stop, int32_t* last) {
  *stop = *last = 0;
  int fd = open(logPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  LogHeader h;
  struct stat st;
  if (ReadLogHeader(fd, &h) == 900 && LogHeaderUsable(h) && fstat(fd, &st) == 0) {
    *stop = h.stop.seconds;
    if (st.st_size >= static_cast<off_t>(h.headerLength) + static_cast<off_t>(h.recordLength)) {
      uint64_t n = (static_cast<uint64_t>(st.st_size) - h.headerLength) / h.recordLength;
      uint8_t rec[16];
      off_t at = static_cast<off_t>(h.headerLength + (n - 1) * h.recordLength);
      if (pread(fd, rec, sizeof rec, at) == static_cast<ssize_t>(sizeof rec)) memcpy(last, rec + 4, 4);
    }
  }
  close(fd);
}

// Whether a text file found by the fallbacks belongs to another log: one
// whose ".odl" (the text's name with the log's extension) is there and is
// not the log asked about. Two runs of a logger that began in the same second
// share a start stamp, and the text of the one must never become the other's.
bool OwnedByAnotherLog(const std::string& text, const std::string& logPath, const std::string& ext) {
  std::string owner = text.substr(0, text.size() - 4) + ext;
  struct stat o, self;
  if (stat(owner.c_str(), &o) != 0) return false;
  return stat(logPath.c_str(), &self) != 0 || o.st_dev != self.st_dev || o.st_ino != self.st_ino;
}

}  // namespace

int FindLogText(const std::string& logPath, std::string* textPath) {
  std::string t = LogTextPathFor(logPath);
  if (IsFile(t)) {
    *textPath = t;
    return 0;
  }
  size_t slash = logPath.find_last_of('/');
  std::string dir = slash == std::string::npos ? "." : logPath.substr(0, slash);
  std::string name = slash == std::string::npos ? logPath : logPath.substr(slash + 1);
  size_t dot = name.find_last_of('.');
  std::string ext = dot == std::string::npos ? std::string(".odl") : name.substr(dot);
  std::string stem = t.substr(0, t.size() - 4);  // the log path up to its extension
  size_t stamp = FindLogNameStamp(name, ext.c_str());
  int underscores = 0;
  if (stamp != std::string::npos)
    for (size_t i = stamp; i < name.size(); ++i) underscores += name[i] == '_';
  if (underscores == 1 || underscores == 2) {
    // The text may carry the stop stamp the log lost when it was taken up
    // again: that of its header, or of its last record.
    int32_t stop = 0, last = 0;
    LogEndTimes(logPath, &stop, &last);
    for (int32_t when : {stop, last}) {
      if (when == 0) continue;
      std::string c = stem + "_" + LogNameStamp(when) + ".txt";
      if (IsFile(c) && !OwnedByAnotherLog(c, logPath, ext)) {
        *textPath = c;
        return 0;
      }
    }
    // Any text of the same prefix and start stamp that no other log owns.
    std::string head = name.substr(0, stamp + 13);
    if (DIR* d = opendir(dir.c_str())) {
      while (dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n.size() > 4 && StartsWith(n, head) && strcasecmp(n.c_str() + n.size() - 4, ".txt") == 0 &&
            !OwnedByAnotherLog(dir + "/" + n, logPath, ext)) {
          *textPath = dir + "/" + n;
          closedir(d);
          return 0;
        }
      }
      closedir(d);
    }
  } else if (underscores == 3) {
    // A closed log whose text kept the open log's name.
    size_t cut = stem.find_last_of('_');
    if (cut != std::string::npos && cut > 0) cut = stem.find_last_of('_', cut - 1);
    if (cut != std::string::npos) {
      std::string c = stem.substr(0, cut) + ".txt";
      if (IsFile(c) && !OwnedByAnotherLog(c, logPath, ext)) {
        *textPath = c;
        return 0;
      }
    }
  }
  errno = ENOENT;
  plat::SetLastError(plat::kErrFileNotFound);
  return -1;
}

namespace {

// A path of another machine cannot be opened here: -2, as a missing share.
bool RefuseUnc(const std::string& path) {
  if (!plat::IsUncPath(path)) return false;
  plat::SetLastError(plat::kErrBadNetPath);
  errno = EHOSTUNREACH;
  return true;
}

int ReadSection(const std::string& path, const char* name, std::vector<std::string>* lines, bool* wide) {
  if (!name || !*name) return -1;
  if (RefuseUnc(path)) return -2;
  return SectionLines(path, name, lines, wide);
}

}  // namespace

int ReadTextSection(const std::string& path, const char* name, char* buffer, int* size) {
  if (!size) return -1;
  std::vector<std::string> lines;
  bool wide = false;
  int n = ReadSection(path, name, &lines, &wide);
  if (n < 0) return n;
  for (std::string& l : lines) l = NarrowOf(l, wide);
  return GatherLines(lines, buffer, size);
}

int ReadTextSectionW(const std::string& path, const char* name, char16_t* buffer, int* size) {
  if (!size) return -1;
  std::vector<std::string> lines;
  bool wide = false;
  int n = ReadSection(path, name, &lines, &wide);
  if (n < 0) return n;
  std::vector<std::u16string> out;
  out.reserve(lines.size());
  for (const std::string& l : lines) out.push_back(WideOf(l, wide));
  return GatherLines(out, buffer, size);
}

namespace {
// A section's lines as pointers into the buffer, for either width: without
// a buffer, only the count.
template <typename Ch>
int SectionLines(int (*read)(const std::string&, const char*, Ch*, int*), const std::string& path, const char* name,
                 Ch** lines, int* lineCount, Ch* buffer, int* size) {
  if (!lineCount) return -1;
  if (!lines || !buffer || !size) {
    int sz = 0;
    int n = read(path, name, nullptr, &sz);
    *lineCount = n < 0 ? 0 : n;
    return n < 0 ? -1 : 0;
  }
  int n = read(path, name, buffer, size);
  if (n < 0) {
    *lineCount = 0;
    return -1;
  }
  return PointLines(n, lines, lineCount, buffer);
}
}  // namespace

int ReadTextSectionLines(const std::string& path, const char* name, char** lines, int* lineCount, char* buffer,
                         int* size) {
  return SectionLines<char>(ReadTextSection, path, name, lines, lineCount, buffer, size);
}

int ReadTextSectionLinesW(const std::string& path, const char* name, char16_t** lines, int* lineCount,
                          char16_t* buffer, int* size) {
  return SectionLines<char16_t>(ReadTextSectionW, path, name, lines, lineCount, buffer, size);
}

int WriteTextSection(const std::string& path, const std::string& header, const char* text) {
  if (RefuseUnc(path)) return -2;
  return ReplaceSection(path, header, TextArg{text ? text : "", nullptr});
}

int WriteTextSectionW(const std::string& path, const std::string& header, const char16_t* text) {
  if (RefuseUnc(path)) return -2;
  return ReplaceSection(path, header, TextArg{text ? nullptr : "", text});
}

int WriteStampedLine(const std::string& path, const std::string& header, const LineStamp& stamp, const char* text,
                     const char* key) {
  if (RefuseUnc(path)) return -2;
  return InsertStampedLine(path, header, stamp, TextArg{text ? text : "", nullptr}, TextArg{key, nullptr});
}

int WriteStampedLineW(const std::string& path, const std::string& header, const LineStamp& stamp,
                      const char16_t* text, const char16_t* key) {
  if (RefuseUnc(path)) return -2;
  return InsertStampedLine(path, header, stamp, TextArg{text ? nullptr : "", text}, TextArg{nullptr, key});
}

int WriteWholeTextFile(const std::string& path, const std::string& bytes) {
  if (RefuseUnc(path)) return -1;
  return ReplaceFile(path, bytes);
}
