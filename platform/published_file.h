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

// Opens dir/file and maps all of it (size from fstat). -1 with 2 when missing.
int OpenPublished(const std::string& dir, const std::string& file, MappedFile* out);

// Prefix of the hidden temporary names ('%' followed by a non-hex letter is
// never produced by EncodeObjectName).
constexpr const char* kTempPrefix = "%tmp.";

}  // namespace plat::detail
