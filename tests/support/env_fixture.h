// A fixture for tests of the logical directories and what stands on them:
// environment variables set by a test are put back at its end, the
// product's registry key is removed, and work folders lie in the test's own
// instance root.
#pragma once
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/registry.h"
#include "platform/root.h"

namespace cdxtest {

inline void PutRegistryText(plat::HKEY hive, const char* path, const char* name, const std::string& text) {
  plat::HKEY k = nullptr;
  ASSERT_EQ(plat::RegCreateKeyEx(hive, path, 0, plat::KEY_ALL_ACCESS, &k, nullptr), 0u);
  ASSERT_EQ(plat::RegSetValueEx(k, name, plat::REG_SZ, text.c_str(), static_cast<uint32_t>(text.size() + 1)), 0u);
  plat::RegCloseKey(k);
}

class EnvFixture : public ::testing::Test {
 protected:
  void Set(const char* name, const std::string& value) {
    const char* old = std::getenv(name);
    saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
    setenv(name, value.c_str(), 1);
  }
  void TearDown() override {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      if (it->second)
        setenv(it->first.c_str(), it->second->c_str(), 1);
      else
        unsetenv(it->first.c_str());
    }
    plat::RegDeleteTree(plat::HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillomatic");
  }
  // A folder below the instance root's "work", made when missing.
  std::string Work(const std::string& sub) {
    std::string p = plat::Root() + "/work/" + sub;
    std::filesystem::create_directories(p);
    return p;
  }
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

}  // namespace cdxtest
