// Logs of another machine through the server's remote file requests.
#include "logdata/remotelog.h"

#include <strings.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <vector>

#include "cdxlib/client/srvfile.h"
#include "cdxlib/sys/timestamp.h"
#include "logdata/eventstext.h"
#include "logdata/logformat.h"
#include "logdata/textfile.h"
#include "platform/error.h"
#include "platform/files.h"

using namespace evtext;

namespace {

constexpr uint32_t kShareReadWrite = kSrvShareRead | kSrvShareWrite;
// The events text file is read in pieces of this size.
constexpr uint32_t kTextPiece = 9999;

size_t LastSeparator(const std::string& p) { return p.find_last_of("\\/"); }

bool IsTextHeader(const std::string& header) { return strcasecmp(header.c_str(), "[TEXT]") == 0; }

// The whole file through the server in pieces of 9999 bytes.
bool ReadWhole(const char* server, const std::string& path, uint32_t disposition, std::string* out) {
  out->clear();
  std::string wire = RemoteServerPath(path);
  for (;;) {
    char buf[kTextPiece];
    uint32_t got = 0;
    if (out->size() > 0x7FFFFFFF) return plat::Fail(plat::kErrInvalidParameter), false;
    if (!SrvFile_Read(server, kSrvInvalidHandle, wire.c_str(), sizeof buf, static_cast<int32_t>(out->size()),
                      kSrvFileBegin, kSrvGenericRead, kShareReadWrite, 0, disposition, kSrvAttributeNormal, buf,
                      &got))
      return false;
    out->append(buf, got);
    if (got < sizeof buf) return true;
  }
}

// The lines of a section of a file on the server (TEXT lines date first);
// -1 for no name, -2 when the file cannot be read.
int RemoteSection(const char* server, const std::string& path, const char* name, std::vector<std::string>* lines) {
  std::string header = SectionHeader(name);
  if (header.empty()) return -1;
  std::string bytes;
  if (!ReadWhole(server, path, kSrvOpenExisting, &bytes)) return -2;
  TextFile file;
  DecodeFile(bytes, &file);
  lines->clear();
  for (const std::string& l : SectionOf(file.text, header))
    lines->push_back(NarrowOf(IsTextHeader(header) ? DateFirst(l) : l, file.wide));
  return static_cast<int>(lines->size());
}

}  // namespace

std::string UncServerOf(const std::string& path) {
  if (!plat::IsUncPath(path)) return std::string();
  size_t sep = path.find_first_of("\\/", 2);
  size_t colon = path.find(':', 2);
  if (colon != std::string::npos && (sep == std::string::npos || colon < sep)) sep = path.find_first_of("\\/", colon);
  return path.substr(2, sep == std::string::npos ? std::string::npos : sep - 2);
}

std::string RemoteServerPath(const std::string& path) {
  std::string p = path;
  if (plat::IsUncPath(p)) {
    size_t skip = 2 + UncServerOf(p).size();
    p = skip < p.size() ? p.substr(skip) : std::string();
  }
  for (char& c : p)
    if (c == '/') c = '\\';
  return p;
}

int RemoteReadAt(const char* server, const std::string& path, void* buffer, uint32_t bytes, uint64_t offset,
                 uint32_t* got) {
  if (got) *got = 0;
  std::string wire = RemoteServerPath(path);
  auto* p = static_cast<uint8_t*>(buffer);
  uint32_t done = 0;
  while (done < bytes) {
    uint64_t at = offset + done;
    // The request carries its distance as a signed 32-bit number.
    if (at > 0x7FFFFFFFu) return plat::Fail(plat::kErrInvalidParameter), -1;
    uint32_t ask = bytes - done < kSrvMaxReadChunk ? bytes - done : kSrvMaxReadChunk;
    uint32_t n = 0;
    if (!SrvFile_Read(server, kSrvInvalidHandle, wire.c_str(), ask, static_cast<int32_t>(at), kSrvFileBegin,
                      kSrvGenericRead, kShareReadWrite, 0, kSrvOpenExisting, kSrvAttributeNormal, p + done, &n))
      return -1;
    done += n;
    if (n < ask) break;
  }
  if (got) *got = done;
  return 0;
}

int ReadLogHeader(const char* server, int fd, const char* path, LogHeader* header) {
  if (!header) return 0;
  if (fd >= 0) return ReadLogHeader(fd, header);
  if (!path) return -1;
  uint8_t raw[kLogFileHeaderSize];
  uint32_t got = 0;
  if (RemoteReadAt(server, path, raw, sizeof raw, 0, &got) != 0) return -2;
  if (got != sizeof raw) return -1;
  DecodeLogHeader(raw, header);
  if (header->extLength != 0) {
    uint32_t len = header->extLength > kLogExtBlockMax ? kLogExtBlockMax : header->extLength;
    uint8_t ext[kLogExtBlockMax];
    if (RemoteReadAt(server, path, ext, len, header->extOffset, &got) != 0 || got != len) return -1;
    DecodeLogExtension(ext, len, header);
  }
  return static_cast<int>(kLogFileHeaderSize);
}

int64_t RemoteFileSize(const char* server, const std::string& path) {
  std::string wire = RemoteServerPath(path);
  int size = SrvFile_GetSize(server, wire.c_str(), kSrvGenericRead, kShareReadWrite, 0, kSrvOpenExisting,
                             kSrvAttributeNormal);
  if (size < 0) {
    if (plat::GetLastError() == 0) plat::SetLastError(plat::kErrFileNotFound);
    return -1;
  }
  return size;
}

bool RemoteFileExists(const char* server, const std::string& path) { return RemoteFileSize(server, path) >= 0; }

int RemoteLastWriteTime(const char* server, const std::string& path, int64_t* seconds) {
  uint64_t lastWrite = 0;
  std::string wire = RemoteServerPath(path);
  if (!SrvFile_GetTime(server, kSrvInvalidHandle, wire.c_str(), nullptr, nullptr, &lastWrite)) return -1;
  // FILETIME: 100 ns ticks since 1601-01-01 (UTC).
  constexpr uint64_t kEpochTicks = 116444736000000000ULL;
  if (lastWrite < kEpochTicks) return plat::Fail(plat::kErrInvalidData), -1;
  *seconds = static_cast<int64_t>((lastWrite - kEpochTicks) / 10000000ULL);
  return 0;
}

int FindLogTextRemote(const char* server, const std::string& logPath, std::string* textPath) {
  std::string t = LogTextPathFor(logPath);
  if (RemoteFileExists(server, t)) {
    *textPath = t;
    return 0;
  }
  size_t sep = LastSeparator(logPath);
  std::string dir = sep == std::string::npos ? std::string() : logPath.substr(0, sep);
  std::string dirSep = sep == std::string::npos ? std::string() : logPath.substr(sep, 1);
  std::string name = sep == std::string::npos ? logPath : logPath.substr(sep + 1);
  size_t dot = name.find_last_of('.');
  std::string ext = dot == std::string::npos ? std::string(".odl") : name.substr(dot);
  std::string stem = t.substr(0, t.size() - 4);
  size_t stamp = FindLogNameStamp(name, ext.c_str());
  int underscores = 0;
  if (stamp != std::string::npos)
    for (size_t i = stamp; i < name.size(); ++i) underscores += name[i] == '_';
  if (underscores == 1 || underscores == 2) {
    // The stop stamp the log's header gives, then that of its last record.
    int32_t stop = 0, last = 0;
    LogHeader h;
    if (ReadLogHeader(server, -1, logPath.c_str(), &h) == 900 && LogHeaderUsable(h)) {
      stop = h.stop.seconds;
      int64_t size = RemoteFileSize(server, logPath);
      if (size >= static_cast<int64_t>(h.headerLength) + static_cast<int64_t>(h.recordLength)) {
        uint64_t n = (static_cast<uint64_t>(size) - h.headerLength) / h.recordLength;
        uint8_t rec[16];
        uint32_t got = 0;
        if (RemoteReadAt(server, logPath, rec, sizeof rec, h.headerLength + (n - 1) * h.recordLength, &got) == 0 &&
            got == sizeof rec)
          memcpy(&last, rec + 4, 4);
      }
    }
    for (int32_t when : {stop, last}) {
      if (when == 0) continue;
      std::string c = stem + "_" + LogNameStamp(when) + ".txt";
      if (RemoteFileExists(server, c)) {
        *textPath = c;
        return 0;
      }
    }
    // A text of the same prefix and start stamp, unless it belongs to
    // another log of the directory (one with an ".odl" of its own).
    std::string head = name.substr(0, stamp + 13);
    std::string wireDir = RemoteServerPath(dir);
    int count = SrvFile_ListDir(server, wireDir.c_str(), "", 0, nullptr);
    if (count > 0) {
      std::vector<char> slots(static_cast<size_t>(count) * kSrvDirSlotSize);
      count = SrvFile_ListDir(server, wireDir.c_str(), "", count, slots.data());
      std::vector<std::string> names;
      for (int i = 0; i < count; ++i) names.emplace_back(slots.data() + static_cast<size_t>(i) * kSrvDirSlotSize);
      auto hasLog = [&](const std::string& textName) {
        std::string odl = textName.substr(0, textName.size() - 4) + ".odl";
        if (strcasecmp(odl.c_str(), name.c_str()) == 0) return false;
        for (const std::string& n : names)
          if (strcasecmp(n.c_str(), odl.c_str()) == 0) return true;
        return false;
      };
      for (const std::string& n : names) {
        if (n.size() > 4 && StartsWith(n, head) && strcasecmp(n.c_str() + n.size() - 4, ".txt") == 0 && !hasLog(n)) {
          *textPath = dir + dirSep + n;
          return 0;
        }
      }
    }
  } else if (underscores == 3) {
    size_t cut = stem.find_last_of('_');
    if (cut != std::string::npos && cut > 0) cut = stem.find_last_of('_', cut - 1);
    if (cut != std::string::npos) {
      std::string c = stem.substr(0, cut) + ".txt";
      if (RemoteFileExists(server, c)) {
        *textPath = c;
        return 0;
      }
    }
  }
  errno = ENOENT;
  plat::SetLastError(plat::kErrFileNotFound);
  return -1;
}

int RemoteReadTextSection(const char* server, const std::string& path, const char* name, char* buffer, int* size) {
  if (!size) return -1;
  std::vector<std::string> lines;
  int n = RemoteSection(server, path, name, &lines);
  if (n < 0) return n;
  return GatherLines(lines, buffer, size);
}

int RemoteReadTextLines(const char* server, const std::string& path, const char* name, char** lines,
                        int* lineCount, char* buffer, int* size) {
  if (!lineCount) return -1;
  if (!lines || !buffer || !size) {
    int sz = 0;
    int n = RemoteReadTextSection(server, path, name, nullptr, &sz);
    *lineCount = n < 0 ? 0 : n;
    return n < 0 ? -1 : 0;
  }
  int n = RemoteReadTextSection(server, path, name, buffer, size);
  if (n < 0) {
    *lineCount = 0;
    return -1;
  }
  // Pointers to the gathered lines, each "\r\n" replaced by a terminator.
  int set = 0;
  char* p = buffer;
  while (set < *lineCount && set < n && *p) {
    lines[set++] = p;
    char* e = p;
    while (*e && !(e[0] == '\r' && e[1] == '\n')) ++e;
    if (!*e) break;
    *e = 0;
    p = e + 2;
  }
  *lineCount = set;
  return 0;
}

namespace {

// Writes a whole file back to the server in pieces that fit one write
// request with the path and its fields: the first piece creates the file
// anew, the others go at their offsets. 1 / -1.
int WriteWhole(const char* server, const std::string& path, const std::string& data) {
  std::string wire = RemoteServerPath(path);
  // Pieces that fit one write request with the path and its fields.
  size_t piece = kSrvMaxWriteRequest > wire.size() + 256 ? kSrvMaxWriteRequest - wire.size() - 256 : 0;
  if (piece == 0) return plat::Fail(plat::kErrFilenameExcedRange), -1;
  size_t at = 0;
  do {
    uint32_t n = static_cast<uint32_t>(data.size() - at < piece ? data.size() - at : piece), wrote = 0;
    uint32_t disposition = at == 0 ? kSrvCreateAlways : kSrvOpenExisting;
    if (!SrvFile_Write(server, kSrvInvalidHandle, wire.c_str(), n, static_cast<int32_t>(at), kSrvFileBegin,
                       kSrvGenericWrite, kShareReadWrite, 0, disposition, kSrvAttributeNormal, data.data() + at,
                       &wrote) ||
        wrote != n)
      return -1;
    at += n;
  } while (at < data.size());
  return 1;
}

int64_t StampKey(const LineStamp& s) {
  return (static_cast<int64_t>(static_cast<uint32_t>(s.seconds)) * 1000 + s.milliseconds) * 1000 + s.microseconds;
}

}  // namespace

int RemoteWriteTextSection(const char* server, const std::string& path, const std::string& headerIn,
                           const char* text) {
  std::string header = SectionHeader(headerIn.c_str());
  if (header.empty()) return -1;
  std::string bytes;
  if (!ReadWhole(server, path, kSrvOpenAlways, &bytes)) return -2;
  TextFile file;
  DecodeFile(bytes, &file);
  file.text = WithSection(file.text, header, TextArg{text ? text : "", nullptr}.For(file.wide));
  return WriteWhole(server, path, EncodeFile(file));
}

int RemoteWriteStampedLine(const char* server, const std::string& path, const std::string& headerIn,
                           const LineStamp& stamp, const char* textIn, const char* keyIn) {
  std::string header = SectionHeader(headerIn.c_str());
  if (header.empty()) return -1;
  std::string bytes;
  if (!ReadWhole(server, path, kSrvOpenAlways, &bytes)) return -2;
  TextFile file;
  DecodeFile(bytes, &file);
  std::string t = TextArg{textIn ? textIn : "", nullptr}.For(file.wide);
  std::string newLine;
  if (!t.empty()) {
    newLine = FormatLineStamp(stamp, false) + t;
    if (!EndsWith(newLine, "\r\n")) newLine += "\r\n";
  }
  std::string plain = t;
  while (!plain.empty() && (plain.back() == '\n' || plain.back() == '\r')) plain.pop_back();
  const bool keyed = keyIn != nullptr;
  std::string key = keyed ? TextArg{keyIn, nullptr}.For(file.wide) : std::string();
  int64_t want = StampKey(stamp);
  std::vector<std::string> lines = SplitLines(file.text);
  std::string out;
  size_t i = 0;
  while (i < lines.size() && !StartsWith(lines[i], header)) out += lines[i++] + "\r\n";
  if (i == lines.size()) {
    if (newLine.empty()) return 0;
    out += header + "\r\n" + newLine;
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
          // The same stamp: a line the new one repeats, or the keyed line,
          // gives way to it (an empty text deletes the keyed line).
          if (!keyed) {
            if (!plain.empty() && strncasecmp(rest, plain.c_str(), plain.size()) == 0) continue;
          } else if (strncmp(rest, key.c_str(), key.size()) == 0) {
            if (plain.empty() || plain != rest) continue;
            newLine.clear();
          }
        }
      }
      out += lines[i] + "\r\n";
    }
    if (!placed) out += newLine;
    for (; i < lines.size(); ++i) out += lines[i] + "\r\n";
  }
  file.text = out;
  return WriteWhole(server, path, EncodeFile(file)) == 1 ? 0 : -1;
}
