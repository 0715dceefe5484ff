// Named shared memory.
//
// An object is a file under Root()/shm named by EncodeObjectName(name), mapped
// MAP_SHARED. Semantics kept from the system:
// - Create-or-open by name, with "already existed" reported.
// - A new object is zero-filled and open to every user (mode 0666).
// - It is never visible half-made: it is built under a temporary name, the
//   creator's initialiser runs on the zero-filled view, and only then is it
//   published under its name with linkat(), which fails if another process
//   published first (then that one's object is opened instead).
// - An open maps the whole object (its size comes from fstat()), or what a
//   check of its header allows (Shm_OpenChecked).
// - Objects outlive their processes (as files under the root);
//   ResetInstance() (root.h) removes them.
#pragma once
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace plat {

struct ShmMapping {
  void* base = nullptr;
  size_t size = 0;
};

using ShmInit = std::function<void(void* base, size_t size)>;

// Creates a new object of `size` bytes (size > 0). `init` (may be empty)
// runs on the zero-filled view before the object is published. Returns 0;
// -1 with 183 when an object of that name exists already (nothing changed,
// *out untouched); -1 with another system error on failure.
int Shm_CreateNew(const std::string& name, size_t size, const ShmInit& init, ShmMapping* out);

// Opens an existing object and maps all of it. -1 with 2 when missing.
// The shm folder is every user's: only a regular file with one name is
// opened; a symbolic link under the name (never followed), a pipe, a device
// or a hard link to another file gives -1 with 5.
int Shm_OpenExisting(const std::string& name, ShmMapping* out);

// Reads the first bytes of an object and returns how many bytes of it to
// map (at most fileSize), or 0 when they disagree with the file's size.
using ShmHeaderCheck = std::function<size_t(const void* header, size_t fileSize)>;

// As Shm_OpenExisting, but `check` sees the first headerSize bytes before
// anything is mapped and decides how much is; an object shorter than
// headerSize or refused by `check` gives -1 with 5.
int Shm_OpenChecked(const std::string& name, size_t headerSize, const ShmHeaderCheck& check, ShmMapping* out);

// Opens the object when it exists (*existed = true, the existing object is
// mapped whole whatever its size), otherwise creates it as Shm_CreateNew
// (*existed = false). Returns 0 or -1 with the system error set.
int Shm_CreateOrOpen(const std::string& name, size_t size, const ShmInit& init, ShmMapping* out,
                     bool* existed);

// Unmaps a view (the object stays).
void Shm_Unmap(ShmMapping* mapping);

// Removes the object's name (mapped views stay valid). 0 or -1 with 2.
int Shm_Remove(const std::string& name);

// Names of the objects of this instance (decoded), sorted.
std::vector<std::string> Shm_List();

}  // namespace plat
