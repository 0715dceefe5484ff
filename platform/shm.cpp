#include "platform/shm.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <sys/mman.h>
#include <unistd.h>

#include "platform/error.h"
#include "platform/published_file.h"
#include "platform/root.h"

namespace plat {

namespace {

std::string ShmDir() { return RootFolder("shm"); }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Inverse of EncodeObjectName; false for names it cannot have made.
bool DecodeObjectName(const std::string& file, std::string* name) {
  name->clear();
  for (size_t i = 0; i < file.size(); ++i) {
    if (file[i] != '%') {
      *name += file[i];
      continue;
    }
    int hi = i + 1 < file.size() ? HexValue(file[i + 1]) : -1;
    int lo = i + 2 < file.size() ? HexValue(file[i + 2]) : -1;
    if (hi < 0 || lo < 0) return false;
    *name += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  return true;
}

}  // namespace

int Shm_CreateNew(const std::string& name, size_t size, const ShmInit& init, ShmMapping* out) {
  detail::MappedFile made;
  if (detail::CreatePublished(ShmDir(), EncodeObjectName(name), size, init, &made) != 0) return -1;
  out->base = made.base;
  out->size = made.size;
  return 0;
}

int Shm_OpenExisting(const std::string& name, ShmMapping* out) {
  detail::MappedFile opened;
  if (detail::OpenPublished(ShmDir(), EncodeObjectName(name), &opened) != 0) return -1;
  out->base = opened.base;
  out->size = opened.size;
  return 0;
}

int Shm_OpenChecked(const std::string& name, size_t headerSize, const ShmHeaderCheck& check, ShmMapping* out) {
  detail::MappedFile opened;
  if (detail::OpenPublished(ShmDir(), EncodeObjectName(name), &opened, headerSize, check) != 0) return -1;
  out->base = opened.base;
  out->size = opened.size;
  return 0;
}

int Shm_CreateOrOpen(const std::string& name, size_t size, const ShmInit& init, ShmMapping* out,
                     bool* existed) {
  // A racing creator may publish between our open and our create, and a
  // reset may remove it between our create and our open: a few rounds settle it.
  for (int round = 0; round < 8; ++round) {
    if (Shm_OpenExisting(name, out) == 0) {
      if (existed) *existed = true;
      return 0;
    }
    if (GetLastError() != kErrFileNotFound) return -1;
    if (Shm_CreateNew(name, size, init, out) == 0) {
      if (existed) *existed = false;
      return 0;
    }
    if (GetLastError() != kErrAlreadyExists) return -1;
  }
  return Fail(kErrBusy), -1;
}

void Shm_Unmap(ShmMapping* mapping) {
  if (mapping && mapping->base) {
    ::munmap(mapping->base, mapping->size);
    mapping->base = nullptr;
    mapping->size = 0;
  }
}

int Shm_Remove(const std::string& name) {
  const std::string path = ShmDir() + "/" + EncodeObjectName(name);
  if (::unlink(path.c_str()) != 0) return FailErrno(errno), -1;
  return 0;
}

std::vector<std::string> Shm_List() {
  std::vector<std::string> names;
  DIR* dir = ::opendir(ShmDir().c_str());
  if (!dir) return names;
  while (dirent* e = ::readdir(dir)) {
    std::string file = e->d_name;
    if (file == "." || file == "..") continue;
    std::string name;
    if (DecodeObjectName(file, &name)) names.push_back(name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace plat
