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
#include <cstring>
#include <vector>

#include "cdxlib/timestamp.h"
#include "logdata/logfilecollection.h"
#include "platform/error.h"

namespace {

bool ReadWhole(const std::string& path, std::string* out) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  out->clear();
  char buf[9999];
  for (;;) {
    ssize_t r = read(fd, buf, sizeof buf);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) {
      close(fd);
      return r == 0;
    }
    out->append(buf, static_cast<size_t>(r));
  }
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

// Writes the new content beside the file and renames it into place.
int ReplaceFile(const std::string& path, const std::string& content) {
  std::string tmp;
  size_t ext = path.rfind(".txt");
  char pid[32];
  snprintf(pid, sizeof pid, " %d.tmp", static_cast<int>(getpid()));
  if (ext != std::string::npos) {
    tmp = path.substr(0, ext) + pid;
  } else {
    size_t slash = path.find_last_of('/');
    tmp = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + "logger" + pid;
  }
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) {
    plat::SetLastError(plat::FromErrno(errno));
    return -1;
  }
  size_t done = 0;
  bool ok = true;
  while (done < content.size()) {
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
  close(fd);
  if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
    if (ok) e = errno;
    unlink(tmp.c_str());
    plat::SetLastError(plat::FromErrno(e));
    return -1;
  }
  size_t slash = path.find_last_of('/');
  std::string dir = slash == std::string::npos ? "." : path.substr(0, slash ? slash : 1);
  int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    fsync(dfd);
    close(dfd);
  }
  return 0;
}

bool StartsWith(const std::string& s, const std::string& p) { return s.compare(0, p.size(), p) == 0; }

// Every read-modify-replace of a text file holds an exclusive lock on its
// directory, so two writers (processes, or threads with their own
// descriptors) never both read the old text and lose each other's change,
// and never share a temporary file.
class DirectoryLock {
 public:
  explicit DirectoryLock(const std::string& file) {
    size_t slash = file.find_last_of('/');
    std::string dir = slash == std::string::npos ? "." : file.substr(0, slash ? slash : 1);
    fd_ = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
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

int FindLogText(const std::string& logPath, std::string* textPath) {
  std::string t = LogTextPathFor(logPath);
  struct stat st;
  if (stat(t.c_str(), &st) == 0) {
    *textPath = t;
    return 0;
  }
  // A text file that kept another stamp part: same prefix and start stamp.
  size_t slash = logPath.find_last_of('/');
  std::string dir = slash == std::string::npos ? "." : logPath.substr(0, slash);
  std::string name = slash == std::string::npos ? logPath : logPath.substr(slash + 1);
  size_t stamp = FindLogNameStamp(name);
  if (stamp != std::string::npos) {
    std::string head = name.substr(0, stamp + 13);
    DIR* d = opendir(dir.c_str());
    if (d) {
      while (dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n.size() > 4 && StartsWith(n, head) && strcasecmp(n.c_str() + n.size() - 4, ".txt") == 0) {
          *textPath = dir + "/" + n;
          closedir(d);
          return 0;
        }
      }
      closedir(d);
    }
  }
  errno = ENOENT;
  plat::SetLastError(plat::kErrFileNotFound);
  return -1;
}

std::string FormatLineStamp(const LineStamp& s, bool timeFirst) {
  struct tm* t = Time_GmTime(s.seconds);
  char frac[16] = "";
  if (s.microseconds) snprintf(frac, sizeof frac, ".%03d%03d", s.milliseconds % 1000, s.microseconds % 1000);
  else if (s.milliseconds) snprintf(frac, sizeof frac, ".%03d", s.milliseconds % 1000);
  char out[64];
  if (timeFirst)
    snprintf(out, sizeof out, "%02d:%02d:%02d%s %02d/%02d/%02d ", t->tm_hour, t->tm_min, t->tm_sec, frac, t->tm_mday,
             t->tm_mon + 1, t->tm_year % 100);
  else
    snprintf(out, sizeof out, "%02d/%02d/%02d %02d:%02d:%02d%s ", t->tm_year % 100, t->tm_mon + 1, t->tm_mday,
             t->tm_hour, t->tm_min, t->tm_sec, frac);
  return out;
}

const char* ParseLineStamp(const char* line, LineStamp* stamp) {
  if (!line) return nullptr;
  int a, b, c, d, e, f, n = 0;
  unsigned frac = 0;
  int y, mo, da, h, mi, se;
  bool ok = false;
  int fracDigits = 0;
  // Date first, then time first; with and without a fraction.
  int p1 = 0, p2 = 0;
  if (sscanf(line, "%2d/%2d/%2d %2d:%2d:%2d.%n%u%n", &a, &b, &c, &d, &e, &f, &p1, &frac, &p2) == 7 && line[p2] == ' ') {
    y = a, mo = b, da = c, h = d, mi = e, se = f, fracDigits = p2 - p1, n = p2, ok = true;
  } else if (sscanf(line, "%2d:%2d:%2d.%n%u%n %2d/%2d/%2d", &a, &b, &c, &p1, &frac, &p2, &d, &e, &f) == 7) {
    h = a, mi = b, se = c, da = d, mo = e, y = f, fracDigits = p2 - p1, ok = true;
    sscanf(line + p2, " %*d/%*d/%*d%n", &n);
    n += p2;
  } else if (sscanf(line, "%2d/%2d/%2d %2d:%2d:%2d%n", &a, &b, &c, &d, &e, &f, &n) == 6 && line[n] == ' ') {
    y = a, mo = b, da = c, h = d, mi = e, se = f, frac = 0, ok = true;
  } else if (sscanf(line, "%2d:%2d:%2d %2d/%2d/%2d%n", &a, &b, &c, &d, &e, &f, &n) == 6) {
    h = a, mi = b, se = c, da = d, mo = e, y = f, frac = 0, ok = true;
  }
  if (!ok || line[n] != ' ') return nullptr;
  struct tm tmv = {};
  tmv.tm_year = (y < 70 ? 2000 + y : 1900 + y) - 1900;
  tmv.tm_mon = mo - 1;
  tmv.tm_mday = da;
  tmv.tm_hour = h;
  tmv.tm_min = mi;
  tmv.tm_sec = se;
  LineStamp s{static_cast<int32_t>(Time_MakeSeconds(&tmv)), 0, 0};
  if (fracDigits > 3) {
    s.milliseconds = static_cast<int32_t>(frac / 1000);
    s.microseconds = static_cast<int32_t>(frac % 1000);
  } else if (fracDigits > 0) {
    s.milliseconds = static_cast<int32_t>(frac);
  }
  if (stamp) *stamp = s;
  return line + n + 1;
}

int ReadTextSection(const std::string& path, const char* name, char* buffer, int* size) {
  std::string header = SectionHeader(name);
  if (header.empty() || !size) return -1;
  std::string content;
  if (!ReadWhole(path, &content)) return -2;
  bool isText = strcasecmp(header.c_str(), "[TEXT]") == 0;
  std::vector<std::string> lines = SplitLines(content);
  size_t i = 0;
  while (i < lines.size() && !StartsWith(lines[i], header)) ++i;
  int room = buffer ? *size : 0;
  if (buffer && room > 0) buffer[0] = '\0';
  if (i == lines.size()) {
    *size = 0;
    return 0;
  }
  int count = 0;
  size_t total = 0;
  for (++i; i < lines.size() && (lines[i].empty() || lines[i][0] != '['); ++i) {
    std::string line = lines[i];
    LineStamp st;
    const char* rest;
    if (isText && line.size() > 2 && line[2] == ':' && (rest = ParseLineStamp(line.c_str(), &st)) != nullptr)
      line = FormatLineStamp(st, false) + rest;
    line += "\r\n";
    if (buffer) {
      if (total + line.size() + 1 > static_cast<size_t>(room)) {
        *size = static_cast<int>(total + 1);
        return count;
      }
      memcpy(buffer + total, line.data(), line.size() + 1);
    }
    total += line.size();
    ++count;
  }
  *size = static_cast<int>(total + 1);
  return count;
}

int ReadTextSectionLines(const std::string& path, const char* name, char** lines, int* lineCount, char* buffer,
                         int* size) {
  if (!lineCount) return -1;
  if (!lines || !buffer || !size) {
    int sz = 0;
    int n = ReadTextSection(path, name, nullptr, &sz);
    *lineCount = n < 0 ? 0 : n;
    return n < 0 ? -1 : 0;
  }
  int n = ReadTextSection(path, name, buffer, size);
  if (n < 0) {
    *lineCount = 0;
    return -1;
  }
  int set = 0;
  char* p = buffer;
  while (set < *lineCount && set < n && *p) {
    char* e = strstr(p, "\r\n");
    lines[set++] = p;
    if (!e) break;
    *e = '\0';
    p = e + 2;
  }
  *lineCount = set;
  return 0;
}

int WriteTextSection(const std::string& path, const std::string& headerIn, const char* text) {
  if (headerIn.empty()) return -1;
  DirectoryLock lock(path);
  std::string header = SectionHeader(headerIn.c_str());
  std::string content;
  if (!ReadWhole(path, &content)) {
    if (errno != ENOENT) return -2;
    content.clear();
  }
  std::string body = text ? text : "";
  if (!body.empty() && body.size() >= 2 && body.compare(body.size() - 2, 2, "\r\n") != 0) body += "\r\n";
  if (body.size() == 1) body += "\r\n";
  std::vector<std::string> lines = SplitLines(content);
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
  return ReplaceFile(path, out) == 0 ? 1 : -1;
}

int WriteStampedLine(const std::string& path, const std::string& headerIn, const LineStamp& stamp, const char* text,
                     const char* key) {
  std::string header = SectionHeader(headerIn.c_str());
  if (header.empty()) return -1;
  DirectoryLock lock(path);
  std::string content;
  if (!ReadWhole(path, &content)) {
    if (errno != ENOENT) return -2;
    content.clear();
  }
  std::string t = text ? text : "";
  std::string newLine;
  if (!t.empty()) {
    newLine = FormatLineStamp(stamp, false) + t;
    if (newLine.size() < 2 || newLine.compare(newLine.size() - 2, 2, "\r\n") != 0) newLine += "\r\n";
  }
  std::string plain = t;
  while (!plain.empty() && (plain.back() == '\n' || plain.back() == '\r')) plain.pop_back();
  int64_t want = StampKey(stamp);
  std::vector<std::string> lines = SplitLines(content);
  std::string out;
  size_t i = 0;
  while (i < lines.size() && !StartsWith(lines[i], header)) out += lines[i++] + "\r\n";
  if (i == lines.size()) {
    if (!newLine.empty()) out += header + "\r\n" + newLine;
  } else {
    out += lines[i++] + "\r\n";
    bool placed = false;
    for (; i < lines.size() && (lines[i].empty() || lines[i][0] != '['); ++i) {
      LineStamp ls;
      const char* rest = ParseLineStamp(lines[i].c_str(), &ls);
      if (!placed && rest) {
        int64_t k = StampKey(ls);
        if (k > want) {
          out += newLine;
          placed = true;
        } else if (k == want) {
          if (!key) {
            if (!plain.empty() && strncasecmp(rest, plain.c_str(), plain.size()) == 0) continue;
          } else if (strncmp(rest, key, strlen(key)) == 0) {
            if (plain.empty() || plain != rest) continue;
          }
        }
      }
      out += lines[i] + "\r\n";
    }
    if (!placed) out += newLine;
    for (; i < lines.size(); ++i) out += lines[i] + "\r\n";
  }
  return ReplaceFile(path, out);
}

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
      if (k80[i] && k80[i] == c) m = static_cast<char>(0x80 + i);
    out += m;
  }
  return out;
}
