#include "cdxlib/sys/fileutil.h"

#include <cerrno>
#include <dirent.h>
#include <algorithm>
#include <cstring>
#include <string>
#include <sys/stat.h>

#include "platform/error.h"

struct DirList {
  DIR* dir = nullptr;
  dirent* pending = nullptr;  // the first entry, read at open
  bool firstPending = true;
  std::string name;
};

DirList* Fs_OpenDirList(const char* directory) {
  DIR* d = directory ? opendir(directory) : nullptr;
  if (!d) {
    plat::FailErrno(directory ? errno : EINVAL);
    return nullptr;
  }
  errno = 0;
  dirent* first = readdir(d);
  if (!first) {
    closedir(d);
    plat::Fail(plat::kErrNoMoreFiles);
    return nullptr;
  }
  auto* list = new DirList;
  list->dir = d;
  list->pending = first;
  return list;
}

const char* Fs_NextDirEntry(DirList* list) {
  if (!list) return nullptr;
  dirent* e = list->firstPending ? list->pending : readdir(list->dir);
  list->firstPending = false;
  if (!e) return nullptr;
  list->name.assign(e->d_name, std::min<size_t>(strlen(e->d_name), 260));
  return list->name.c_str();
}

void Fs_CloseDirList(DirList* list) {
  if (!list) return;
  closedir(list->dir);
  delete list;
}

int64_t Fs_GetFileSize(const char* file) {
  struct stat st;
  if (!file || stat(file, &st) != 0) return plat::FailErrno(file ? errno : EINVAL), -1;
  return st.st_size;
}

int Fs_MakeDir(const char* path) {
  if (!path || mkdir(path, 0777) != 0) return plat::FailErrno(path ? errno : EINVAL), -1;
  return 0;
}

int64_t Fs_CheckLogHeader(FILE* file) {
  if (!file) return plat::Fail(plat::kErrInvalidParameter), -1;
  unsigned char head[6];
  errno = 0;
  const size_t n = fread(head, 1, sizeof head, file);
  const int readErr = ferror(file) ? errno : 0;  // before rewind clears the error flag
  rewind(file);
  if (n != sizeof head) {
    if (readErr != 0) return plat::FailErrno(readErr), -1;
    return plat::Fail(plat::kErrHandleEof), -1;
  }
  uint32_t length = uint32_t{head[0]} | uint32_t{head[1]} << 8 | uint32_t{head[2]} << 16 | uint32_t{head[3]} << 24;
  uint16_t type = static_cast<uint16_t>(head[4] | head[5] << 8);
  if (type >= 384 && type <= 480) {  // written with the other byte order
    length = __builtin_bswap32(length);
    type = __builtin_bswap16(type);
  }
  if (type < 0x8001 || type > 0xE001) return plat::Fail(plat::kErrInvalidData), -1;
  struct stat st;
  if (fstat(fileno(file), &st) != 0) return plat::FailErrno(errno), -1;
  if (st.st_size < static_cast<off_t>(length)) {
    rewind(file);
    plat::Fail(plat::kErrSuccess);  // no stray error from the reads above
    return length;
  }
  plat::Fail(plat::kErrAccessDenied);
  return st.st_size;
}
