// Files that are never visible half-made (internal to platform/).
//
// A new object is built in an unnamed temporary file beside its final name
// (O_TMPFILE; where the file system lacks it, a hidden temporary name that
// no object name can take), sized, zero-filled, given mode 0666 and
// initialised through its mapping, and only then linked under its name.
// linkat() fails when another process published first, so exactly one
// creator wins and nobody sees a half-made object; a creator killed before
// the link leaves nothing under the name.
#pragma once
#include <cstddef>
#include <functional>
#include <string>

namespace plat::detail {

struct MappedFile {
  void* base = nullptr;
  size_t size = 0;
};

// Creates dir/file of size bytes, runs init on the zero-filled mapping and
// publishes it. 0; -1 with 183 when the name exists (nothing changed); -1
// with another system error.
int CreatePublished(const std::string& dir, const std::string& file, size_t size,
                    const std::function<void(void*, size_t)>& init, MappedFile* out);

// Checks the first bytes of an existing object against the size of its
// file before it is mapped; returns the number of bytes to map (at most
// fileSize), or 0 to refuse the object.
using HeaderCheck = std::function<size_t(const void* header, size_t fileSize)>;

// Opens dir/file and maps it: all of it (size from fstat), or what `check`
// allows after reading `headerSize` bytes. The folder is every user's, so
// only a regular file with one name is accepted: a symbolic link (never
// followed), a pipe, a device, a hard link to some other file, a file
// shorter than headerSize or one that `check` refuses gives -1 with 5
// (nothing is mapped). -1 with 2 when missing, 13 when empty.
int OpenPublished(const std::string& dir, const std::string& file, MappedFile* out, size_t headerSize = 0,
                  const HeaderCheck& check = {});

// Prefix of the hidden temporary names ('%' followed by a non-hex letter is
// never produced by EncodeObjectName).
constexpr const char* kTempPrefix = "%tmp.";

}  // namespace plat::detail
