// A folder of the fuzz target's own in /tmp, made at its first input and
// removed with everything in it when the target ends (libFuzzer ends by
// exit(), which runs the removal; a crash keeps it for the post-mortem).
#pragma once
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

// prefix: the folder's name before mkdtemp's six characters, e.g.
// "xml_load_fuzz_". An empty string when no folder can be made.
inline std::string FuzzTempDir(const char* prefix) {
  static std::string made;
  std::string templ = std::string("/tmp/") + prefix + "XXXXXX";
  if (!mkdtemp(templ.data())) return {};
  made = templ;
  std::atexit([] {
    std::error_code ec;
    std::filesystem::remove_all(made, ec);
  });
  return made;
}
