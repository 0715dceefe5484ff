// The file requests answered from a folder (see filesrv.h).
#include "tools/fakesrv/filesrv.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace fakesrv {

namespace {

std::vector<std::string> Split(const std::string& s, char sep) {
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    size_t at = s.find(sep, start);
    out.push_back(s.substr(start, at == std::string::npos ? std::string::npos : at - start));
    if (at == std::string::npos) return out;
    start = at + 1;
  }
}

Action Fail(int code, const char* text) { return Text("-1," + std::to_string(code) + "," + text); }

// FILETIME halves as the request prints them ("%d").
std::string FileTimeFields(const struct timespec& t) {
  uint64_t ft = (static_cast<uint64_t>(t.tv_sec) + 11644473600ULL) * 10000000ULL + static_cast<uint64_t>(t.tv_nsec) / 100;
  return std::to_string(static_cast<int32_t>(ft >> 32)) + "," + std::to_string(static_cast<int32_t>(ft & 0xFFFFFFFFu));
}

}  // namespace

std::string FolderFiles::Local(const std::string& remote) const {
  std::string p = remote;
  if (p.size() >= 2 && p[1] == ':') p = p.substr(2);  // a drive of the server's machine
  std::string out = root_;
  for (const std::string& part : Split(p, '\\')) {
    if (part.empty() || part == ".") continue;
    if (part == ".." || part.find('/') != std::string::npos) return std::string();
    out += "/" + part;
  }
  return out;
}

std::optional<Action> FolderFiles::operator()(const std::string& request) const {
  std::string code = request.substr(0, 2);
  if (code != "RF" && code != "WF" && code != "SF" && code != "TF" && code != "DF") return std::nullopt;
  // WF: nine fields, each ended by a tab, then the data; the others end at
  // their NUL.
  std::vector<std::string> f;
  std::string data;
  if (code == "WF") {
    size_t at = 3;
    for (int i = 0; i < 9; ++i) {
      size_t tab = request.find('\t', at);
      if (tab == std::string::npos) return Fail(87, "bad request");
      f.push_back(request.substr(at, tab - at));
      at = tab + 1;
    }
    data = request.substr(at);
  } else {
    size_t end = request.find('\0');
    f = Split(request.substr(3, end == std::string::npos ? std::string::npos : end - 3), '\t');
  }
  std::string path = Local(f[0]);
  if (path.empty()) return Fail(123, "bad path");
  struct stat st {};
  if (code == "SF") {
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return Fail(2, "x");  // the reply holds 9 bytes
    return Text(std::to_string(st.st_size));
  }
  if (code == "TF") {
    if (stat(path.c_str(), &st) != 0) return Fail(2, "not found");
    return Text("1," + FileTimeFields(st.st_ctim) + "," + FileTimeFields(st.st_atim) + "," +
                FileTimeFields(st.st_mtim));
  }
  if (code == "DF") {
    if (f.size() < 3) return Fail(87, "bad request");
    const std::string& pattern = f[1];
    size_t first = static_cast<size_t>(atol(f[2].c_str()));
    DIR* d = opendir(path.c_str());
    if (!d) return Fail(3, "no directory");
    std::vector<std::string> names;
    while (dirent* e = readdir(d)) {
      std::string n = e->d_name;
      if (n == "." || n == "..") continue;
      if (!pattern.empty() &&
          (n.size() < pattern.size() || strcasecmp(n.c_str() + n.size() - pattern.size(), pattern.c_str()) != 0))
        continue;
      names.push_back(n);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    // One page: as many names as fit well within 64 KB.
    std::string reply = "1";
    for (size_t i = first; i < names.size() && reply.size() + names[i].size() + 1 < 65000; ++i) reply += "," + names[i];
    return Text(reply);
  }
  if (f.size() < 9) return Fail(87, "bad request");
  long bytes = atol(f[1].c_str()), distance = atol(f[2].c_str());
  int disposition = atoi(f[7].c_str());
  int flags = code == "RF" ? O_RDONLY : O_RDWR;
  if (disposition == 2) flags |= O_CREAT | O_TRUNC;
  if (disposition == 4) flags |= O_CREAT;
  if (code == "RF" && (flags & O_CREAT)) flags = (flags & ~O_RDONLY) | O_RDWR;
  int fd = open(path.c_str(), flags | O_CLOEXEC, 0666);
  if (fd < 0) return Fail(2, "cannot open");
  off_t at = distance == -1 ? 0 : distance;
  if (code == "RF") {
    std::string area(static_cast<size_t>(bytes), '\0');
    ssize_t n = pread(fd, area.data(), area.size(), at);
    close(fd);
    if (n < 0) return Fail(30, "read fault");
    return Text("1," + area + "," + std::to_string(n));
  }
  ssize_t n = pwrite(fd, data.data(), data.size(), at);
  close(fd);
  return Text(n == static_cast<ssize_t>(data.size()) ? "1" : "-1,29,short write");
}

}  // namespace fakesrv
