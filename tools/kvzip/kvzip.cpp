// kvzip: the system's archiver, as the saved configuration archives use it.
//
//   kvzip -a -r ARCHIVE PATH...
//
// Writes ARCHIVE as a zip file (deflate, as unzip and every zip reader read
// it) holding each PATH under its own name: a directory with everything
// below it (-r), as "NAME/...". The archive itself is never packed, even
// when it lies inside a PATH. ARCHIVE is written to a temporary file beside
// it and renamed into place when complete.
//
// Exit: 0 written; 1 a path cannot be read or the archive cannot be written
// (the reason on standard error); 2 usage; 3 a PATH does not exist.
// Limits of the plain zip format: files below 4 GiB, fewer than 65535
// entries.
#include <zlib.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

struct Entry {
  std::string name;
  uint32_t crc = 0, compressed = 0, size = 0;
  uint16_t method = 0, time = 0, date = 0;
  uint32_t mode = 0;
  uint32_t offset = 0;
};

struct Archive {
  FILE* f = nullptr;
  std::vector<Entry> entries;
  dev_t selfDev = 0;
  ino_t selfIno = 0;
  std::string error;
};

void Put16(std::string& b, uint32_t v) {
  b += static_cast<char>(v & 0xFF);
  b += static_cast<char>((v >> 8) & 0xFF);
}
void Put32(std::string& b, uint32_t v) {
  Put16(b, v & 0xFFFF);
  Put16(b, v >> 16);
}

void DosTime(time_t t, uint16_t* time, uint16_t* date) {
  struct tm tmv;
  localtime_r(&t, &tmv);
  if (tmv.tm_year < 80) {
    *time = 0;
    *date = (1 << 5) | 1;
    return;
  }
  *time = static_cast<uint16_t>((tmv.tm_hour << 11) | (tmv.tm_min << 5) | (tmv.tm_sec / 2));
  *date = static_cast<uint16_t>(((tmv.tm_year - 80) << 9) | ((tmv.tm_mon + 1) << 5) | tmv.tm_mday);
}

std::string LocalHeader(const Entry& e) {
  std::string h;
  Put32(h, 0x04034b50);
  Put16(h, 20);
  Put16(h, 0);
  Put16(h, e.method);
  Put16(h, e.time);
  Put16(h, e.date);
  Put32(h, e.crc);
  Put32(h, e.compressed);
  Put32(h, e.size);
  Put16(h, static_cast<uint32_t>(e.name.size()));
  Put16(h, 0);
  return h + e.name;
}

bool Write(Archive& a, const void* data, size_t n) {
  if (fwrite(data, 1, n, a.f) != n) {
    a.error = std::string("cannot write the archive: ") + strerror(errno);
    return false;
  }
  return true;
}

bool AddFile(Archive& a, const std::string& path, const std::string& name, const struct stat& st) {
  if (st.st_size >= 0xFFFFFFFFLL || a.entries.size() >= 65534) {
    a.error = "too large for a zip archive: " + path;
    return false;
  }
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    a.error = "cannot read " + path + ": " + strerror(errno);
    return false;
  }
  Entry e;
  e.name = name;
  e.method = 8;
  e.mode = st.st_mode;
  DosTime(st.st_mtime, &e.time, &e.date);
  const long start = ftell(a.f);
  e.offset = static_cast<uint32_t>(start);
  const std::string placeholder = LocalHeader(e);
  bool ok = Write(a, placeholder.data(), placeholder.size());
  z_stream z = {};
  deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  unsigned char in[65536], out[65536];
  uLong crc = crc32(0, nullptr, 0);
  uint64_t size = 0, compressed = 0;
  int flush = Z_NO_FLUSH;
  while (ok && flush != Z_FINISH) {
    const ssize_t n = read(fd, in, sizeof in);
    if (n < 0) {
      if (errno == EINTR) continue;
      a.error = "cannot read " + path + ": " + strerror(errno);
      ok = false;
      break;
    }
    flush = n == 0 ? Z_FINISH : Z_NO_FLUSH;
    crc = crc32(crc, in, static_cast<uInt>(n));
    size += static_cast<uint64_t>(n);
    z.next_in = in;
    z.avail_in = static_cast<uInt>(n);
    do {
      z.next_out = out;
      z.avail_out = sizeof out;
      deflate(&z, flush);
      const size_t have = sizeof out - z.avail_out;
      compressed += have;
      ok = ok && Write(a, out, have);
    } while (ok && z.avail_out == 0);
  }
  deflateEnd(&z);
  close(fd);
  if (!ok) return false;
  if (size >= 0xFFFFFFFFULL || compressed >= 0xFFFFFFFFULL) {
    a.error = "too large for a zip archive: " + path;
    return false;
  }
  e.crc = static_cast<uint32_t>(crc);
  e.size = static_cast<uint32_t>(size);
  e.compressed = static_cast<uint32_t>(compressed);
  const long end = ftell(a.f);
  const std::string header = LocalHeader(e);
  if (fseek(a.f, start, SEEK_SET) != 0 || !Write(a, header.data(), header.size()) || fseek(a.f, end, SEEK_SET) != 0) {
    if (a.error.empty()) a.error = "cannot write the archive";
    return false;
  }
  a.entries.push_back(e);
  return true;
}

bool AddDirectoryEntry(Archive& a, const std::string& name, const struct stat& st) {
  Entry e;
  e.name = name + "/";
  e.mode = st.st_mode;
  DosTime(st.st_mtime, &e.time, &e.date);
  e.offset = static_cast<uint32_t>(ftell(a.f));
  const std::string header = LocalHeader(e);
  if (!Write(a, header.data(), header.size())) return false;
  a.entries.push_back(e);
  return true;
}

bool AddPath(Archive& a, const std::string& path, const std::string& name) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    a.error = "cannot read " + path + ": " + strerror(errno);
    return false;
  }
  if (st.st_dev == a.selfDev && st.st_ino == a.selfIno) return true;  // the archive being written
  if (S_ISREG(st.st_mode)) return AddFile(a, path, name, st);
  if (!S_ISDIR(st.st_mode)) return true;  // devices, sockets: nothing to keep
  if (!AddDirectoryEntry(a, name, st)) return false;
  DIR* d = opendir(path.c_str());
  if (!d) {
    a.error = "cannot read " + path + ": " + strerror(errno);
    return false;
  }
  std::vector<std::string> children;
  while (dirent* de = readdir(d))
    if (strcmp(de->d_name, ".") != 0 && strcmp(de->d_name, "..") != 0) children.push_back(de->d_name);
  closedir(d);
  for (const auto& c : children)
    if (!AddPath(a, path + "/" + c, name + "/" + c)) return false;
  return true;
}

bool Finish(Archive& a) {
  const long cdStart = ftell(a.f);
  std::string cd;
  for (const auto& e : a.entries) {
    Put32(cd, 0x02014b50);
    Put16(cd, (3 << 8) | 20);  // made on a Unix system
    Put16(cd, 20);
    Put16(cd, 0);
    Put16(cd, e.method);
    Put16(cd, e.time);
    Put16(cd, e.date);
    Put32(cd, e.crc);
    Put32(cd, e.compressed);
    Put32(cd, e.size);
    Put16(cd, static_cast<uint32_t>(e.name.size()));
    Put16(cd, 0);
    Put16(cd, 0);
    Put16(cd, 0);
    Put16(cd, 0);
    Put32(cd, e.mode << 16);
    Put32(cd, e.offset);
    cd += e.name;
  }
  Put32(cd, 0x06054b50);
  Put16(cd, 0);
  Put16(cd, 0);
  Put16(cd, static_cast<uint32_t>(a.entries.size()));
  Put16(cd, static_cast<uint32_t>(a.entries.size()));
  Put32(cd, static_cast<uint32_t>(cd.size()));
  Put32(cd, static_cast<uint32_t>(cdStart));
  Put16(cd, 0);
  if (cdStart < 0 || static_cast<uint64_t>(cdStart) + cd.size() >= 0xFFFFFFFFULL) {
    a.error = "the archive would pass 4 GiB";
    return false;
  }
  // The size of the central directory is that of its entries only.
  const uint32_t entriesSize = static_cast<uint32_t>(cd.size() - 22);
  memcpy(&cd[cd.size() - 22 + 12], &entriesSize, 4);
  return Write(a, cd.data(), cd.size()) && fflush(a.f) == 0 && fsync(fileno(a.f)) == 0;
}

std::string BaseName(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

int Usage() {
  fprintf(stderr, "usage: kvzip -a -r ARCHIVE PATH...\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  bool add = false, recurse = false;
  int i = 1;
  for (; i < argc && argv[i][0] == '-' && argv[i][1]; ++i) {
    if (strcmp(argv[i], "-a") == 0) add = true;
    else if (strcmp(argv[i], "-r") == 0) recurse = true;
    else return Usage();
  }
  if (!add || !recurse || argc - i < 2) return Usage();
  const std::string archive = argv[i++];
  std::vector<std::string> paths(argv + i, argv + argc);
  for (const auto& p : paths) {
    struct stat st;
    if (stat(p.c_str(), &st) != 0) {
      fprintf(stderr, "kvzip: %s: %s\n", p.c_str(), strerror(errno));
      return 3;
    }
  }
  // A new file under a name of this process, made with O_EXCL: a link
  // planted beside the archive is never followed.
  std::string temp = archive + "." + std::to_string(getpid()) + ".XXXXXX.kvzip";
  const int fd = mkostemps(temp.data(), 6, O_CLOEXEC);
  const mode_t mask = umask(0);
  umask(mask);
  Archive a;
  if (fd >= 0 && fchmod(fd, 0666 & ~mask) == 0) a.f = fdopen(fd, "wb");
  if (!a.f) {
    fprintf(stderr, "kvzip: cannot create %s: %s\n", temp.c_str(), strerror(errno));
    if (fd >= 0) {
      close(fd);
      unlink(temp.c_str());
    }
    return 1;
  }
  struct stat self;
  fstat(fileno(a.f), &self);
  a.selfDev = self.st_dev;
  a.selfIno = self.st_ino;
  bool ok = true;
  for (const auto& p : paths) ok = ok && AddPath(a, p, BaseName(p));
  ok = ok && Finish(a);
  if (fclose(a.f) != 0 && ok) {
    ok = false;
    a.error = std::string("cannot write the archive: ") + strerror(errno);
  }
  if (!ok || rename(temp.c_str(), archive.c_str()) != 0) {
    if (ok) a.error = std::string("cannot rename the archive: ") + strerror(errno);
    fprintf(stderr, "kvzip: %s\n", a.error.c_str());
    unlink(temp.c_str());
    return 1;
  }
  return 0;
}
