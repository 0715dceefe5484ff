// Folders a benchmark program makes for itself (instance roots, files to
// work on) are removed with everything in them when the program ends.
#pragma once
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

// Registers `path` for removal at exit and returns it.
inline std::string RemoveAtExit(const std::string& path) {
  static std::vector<std::string>* paths = new std::vector<std::string>;
  static std::once_flag once;
  std::call_once(once, [] {
    std::atexit([] {
      std::error_code ec;
      for (const auto& p : *paths) std::filesystem::remove_all(p, ec);
    });
  });
  paths->push_back(path);
  return path;
}
