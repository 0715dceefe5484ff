// Registry access with the product "Tarvi" installed: the product-key
// substitution, its fall-backs, and the redirect to the user's hive.
#include "cdxlib/sys/registry.h"

#include <gtest/gtest.h>
#include <string>

namespace {

using namespace plat;

const char* const kServerKey = "SOFTWARE\\Quillomatic\\Coordinatrix";
const char* const kProductKey = "SOFTWARE\\Quillomatic\\Tarvi";

void Put(HKEY hive, const char* path, const char* name, const std::string& text) {
  HKEY k = nullptr;
  ASSERT_EQ(RegCreateKeyEx(hive, path, 0, KEY_ALL_ACCESS, &k, nullptr), 0u);
  ASSERT_EQ(RegSetValueEx(k, name, REG_SZ, text.c_str(), static_cast<uint32_t>(text.size() + 1)), 0u);
  RegCloseKey(k);
}

// The text of a value read straight from the platform, "" when missing.
std::string Raw(HKEY hive, const char* path, const char* name) {
  HKEY k = nullptr;
  if (RegOpenKeyEx(hive, path, KEY_QUERY_VALUE, &k) != 0) return "";
  char buf[256] = {};
  uint32_t size = sizeof buf - 1;
  uint32_t rc = RegQueryValueEx(k, name, nullptr, buf, &size);
  RegCloseKey(k);
  return rc == 0 ? buf : "";
}

class TarviInstalled : public ::testing::Environment {
 public:
  // Installs the product and reads its name once, as a process does at its
  // start, so that every test (whichever runs first) sees it.
  void SetUp() override {
    Put(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillomatic", "ProductName", "Tarvi");
    Prod_GetProductName();
  }
};
const auto* const g_env = ::testing::AddGlobalTestEnvironment(new TarviInstalled);

class RegAccess : public ::testing::Test {
 protected:
  void TearDown() override {
    Reg_EndUserHiveRedirect();
    for (HKEY hive : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
      RegDeleteTree(hive, kServerKey);
      RegDeleteTree(hive, kProductKey);
    }
  }
  static uint32_t Read(HKEY hive, const char* path, uint32_t access, const char* name, std::string* text,
                       uint32_t bufferSize = 64) {
    char buf[256] = {};
    uint32_t type = 0, size = bufferSize;
    uint32_t rc = Reg_AccessValue(hive, path, access, name, &type, buf, &size);
    text->assign(rc == 0 ? std::string(buf, size ? size - 1 : 0) : std::string());
    if (rc == 234) *text = std::to_string(size);
    return rc;
  }
};

TEST_F(RegAccess, ProductNameComesFromTheMakersKey) { EXPECT_STREQ(Prod_GetProductName(), "Tarvi"); }

// Which key a read under the server's key ends in, by what exists and the access mask.
TEST_F(RegAccess, SubstitutionFallbackMatrix) {
  struct Case {
    const char* what;
    bool productKey;        // the product key exists
    const char* inProduct;  // value there (null: none)
    const char* inServer;   // value under the server's key (null: none)
    uint32_t access;
    uint32_t bufferSize;
    uint32_t rc;
    const char* text;  // the value read, or the size needed with 234
  };
  const Case cases[] = {
      {"value in both: the product's", true, "product", "server", KEY_QUERY_VALUE, 64, 0, "product"},
      {"product value only", true, "product", nullptr, KEY_READ, 64, 0, "product"},
      {"value missing in product key: fall back", true, nullptr, "server", KEY_QUERY_VALUE, 64, 0, "server"},
      {"value missing, other mask: still falls back", true, nullptr, "server", KEY_READ, 64, 0, "server"},
      {"no product key, query mask: fall back", false, nullptr, "server", KEY_QUERY_VALUE, 64, 0, "server"},
      {"no product key, other mask: open error", false, nullptr, "server", KEY_READ, 64, 2, ""},
      {"no product key, all access: open error", false, nullptr, "server", KEY_ALL_ACCESS, 64, 2, ""},
      {"nowhere", true, nullptr, nullptr, KEY_QUERY_VALUE, 64, 2, ""},
      {"product value too big: its size, no fall-back", true, "product-value", "s", KEY_QUERY_VALUE, 4, 234, "14"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TearDown();
    if (c.productKey) {
      HKEY k = nullptr;
      ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_ALL_ACCESS, &k, nullptr), 0u);
      RegCloseKey(k);
    }
    if (c.inProduct) Put(HKEY_LOCAL_MACHINE, kProductKey, "TagSize", c.inProduct);
    if (c.inServer) Put(HKEY_LOCAL_MACHINE, kServerKey, "TagSize", c.inServer);
    std::string text;
    EXPECT_EQ(Read(HKEY_LOCAL_MACHINE, kServerKey, c.access, "TagSize", &text, c.bufferSize), c.rc);
    EXPECT_EQ(text, c.text);
  }
}

TEST_F(RegAccess, WritesGoToTheProductKeyOnlyWhateverTheLetterCase) {
  for (const char* path : {"SOFTWARE\\Quillomatic\\coordinatrix", "software\\quillomatic\\COORDINATRIX"}) {
    SCOPED_TRACE(path);
    TearDown();
    uint32_t type = REG_SZ, size = 3;
    ASSERT_EQ(Reg_AccessValue(HKEY_LOCAL_MACHINE, path, KEY_SET_VALUE, "ReadXML", &type, const_cast<char*>("ON"),
                              &size),
              0u);
    EXPECT_EQ(Raw(HKEY_LOCAL_MACHINE, kProductKey, "ReadXML"), "ON");
    EXPECT_EQ(Raw(HKEY_LOCAL_MACHINE, kServerKey, "ReadXML"), "");
  }
  // A path that only contains the name elsewhere is not substituted.
  uint32_t type = REG_SZ, size = 2;
  ASSERT_EQ(Reg_AccessValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\Coordinatrix\\Sub", KEY_SET_VALUE, "V", &type,
                            const_cast<char*>("1"), &size),
            0u);
  EXPECT_EQ(Raw(HKEY_LOCAL_MACHINE, "SOFTWARE\\Coordinatrix\\Sub", "V"), "1");
  RegDeleteTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\Coordinatrix");
}

TEST_F(RegAccess, DeleteUsesTheProductKeyWithoutFallback) {
  Put(HKEY_LOCAL_MACHINE, kServerKey, "V", "server");
  Put(HKEY_LOCAL_MACHINE, kProductKey, "V", "product");
  EXPECT_EQ(Reg_DeleteValue(HKEY_LOCAL_MACHINE, kServerKey, "V"), 0u);
  EXPECT_EQ(Raw(HKEY_LOCAL_MACHINE, kProductKey, "V"), "");
  EXPECT_EQ(Raw(HKEY_LOCAL_MACHINE, kServerKey, "V"), "server");
  EXPECT_EQ(Reg_DeleteValue(HKEY_LOCAL_MACHINE, kServerKey, "V"), 2u);
}

TEST_F(RegAccess, RedirectSendsMachineAccessesToTheUserHive) {
  Put(HKEY_LOCAL_MACHINE, kProductKey, "V", "machine");
  Put(HKEY_CURRENT_USER, kProductKey, "V", "user");
  EXPECT_EQ(Reg_IsUserHiveRedirect(), 0);
  Reg_BeginUserHiveRedirect();
  EXPECT_EQ(Reg_IsUserHiveRedirect(), 1);
  std::string text;
  EXPECT_EQ(Read(HKEY_LOCAL_MACHINE, kServerKey, KEY_QUERY_VALUE, "V", &text), 0u);
  EXPECT_EQ(text, "user");
  uint32_t type = REG_SZ, size = 4;
  ASSERT_EQ(Reg_AccessValue(HKEY_LOCAL_MACHINE, kServerKey, KEY_SET_VALUE, "W", &type, const_cast<char*>("new"),
                            &size),
            0u);
  EXPECT_EQ(Raw(HKEY_CURRENT_USER, kProductKey, "W"), "new");
  EXPECT_EQ(Raw(HKEY_LOCAL_MACHINE, kProductKey, "W"), "");
  EXPECT_EQ(Reg_DeleteValue(HKEY_LOCAL_MACHINE, kServerKey, "V"), 0u);
  EXPECT_EQ(Raw(HKEY_LOCAL_MACHINE, kProductKey, "V"), "machine");
  // Prod_EnsureKey is one of the exceptions: it always works on the machine hive.
  EXPECT_EQ(Prod_EnsureKey("Ensured"), 1);
  HKEY k = nullptr;
  EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillomatic\\Ensured", KEY_READ, &k), 0u);
  RegCloseKey(k);
  EXPECT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "SOFTWARE\\Quillomatic\\Ensured", KEY_READ, &k), 2u);
  Reg_EndUserHiveRedirect();
  EXPECT_EQ(Read(HKEY_LOCAL_MACHINE, kServerKey, KEY_QUERY_VALUE, "V", &text), 0u);
  EXPECT_EQ(text, "machine");
}

TEST(Platform, IdVersionAndAttributes) {
  EXPECT_EQ(Sys_GetPlatformId(), 2);
  EXPECT_GE(Sys_GetOsMajorVersion(), 6);
  const SecurityAttributes* sa = Sys_NullDaclAttributes();
  ASSERT_NE(sa, nullptr);
  EXPECT_TRUE(sa->everyoneHasAccess);
  EXPECT_FALSE(sa->inheritHandle);
  EXPECT_EQ(sa, Sys_NullDaclAttributes());
}

}  // namespace
