#include "cdxlib/config/extdll.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <dlfcn.h>
#include <string>

namespace {

const std::string kExtDir = std::string(CDX_BIN_DIR) + "/../extlibs";

TEST(ExtDll, DeviceTypeAndLibraryNames) {
  struct {
    const char* dir;
    const char* type;
    const char* library;
  } cases[] = {
      {"/cfg/CURRENT_CONFIG/calc12_1", "calc", "calc_ex.so"},
      {"/cfg/CURRENT_CONFIG/calc_1", "calc", "calc_ex.so"},
      {"/cfg/CURRENT_CONFIG/calcx_1", "calcx", "calcx_ex.so"},
      {"/cfg/CURRENT_CONFIG/MVTRX3_2/", "mvtrx", "mvtrx_ex.so"},
      {"C:\\Product\\CURRENT_CONFIG\\abplc5_1", "abplc5", "abplc_ex.so"},
      {"/cfg/CURRENT_CONFIG/my_dev_7", "my_dev", "my_de_ex.so"},
      {"/cfg/CURRENT_CONFIG", "CURRENT", "CURRE_ex.so"},
      {"plain", "plain", "plain_ex.so"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ExtDll_DeviceType(c.dir), c.type) << c.dir;
    EXPECT_EQ(ExtDll_LibraryName(c.dir), c.library) << c.dir;
  }
}

TEST(ExtDll, LibrariesAreFoundInCdxBinAndFreedAfterUse) {
  setenv("CDX_BIN", kExtDir.c_str(), 1);
  ExtDll_ForgetDoXml();
  // No library anywhere: binary only, no entries.
  EXPECT_EQ(ExtDll_Load("/cfg/CURRENT_CONFIG/nolib_1"), nullptr);
  EXPECT_FALSE(ExtDll_HasDoXml("/cfg/CURRENT_CONFIG/nolib_1"));

  EXPECT_TRUE(ExtDll_HasDoXml("/cfg/CURRENT_CONFIG/tstdx_1"));
  EXPECT_TRUE(ExtDll_HasDoXml("/cfg/current_config/TSTDX_1")) << "kept answer, case-blind";

  void* h = ExtDll_Load("/cfg/CURRENT_CONFIG/tstfu_3");
  ASSERT_NE(h, nullptr);
  EXPECT_NE(ExtDll_Entry(h, "Ex_DoXml"), nullptr);
  EXPECT_EQ(ExtDll_Entry(h, "Ex_Get_Channel_Hw_Type"), nullptr) << "an entry the library lacks";
  EXPECT_EQ(ExtDll_Entry(h, "Ex_Get_Config_Type"), nullptr);
  auto mixed = reinterpret_cast<ExGetMixedChannelTypeFn>(ExtDll_Entry(h, "Ex_Get_Mixed_Channel_Type"));
  ASSERT_NE(mixed, nullptr);
  EXPECT_EQ(mixed(), 1);
  auto validate = reinterpret_cast<ExValidateChanFn>(ExtDll_Entry(h, "Ex_Validate_Chan"));
  ASSERT_NE(validate, nullptr);
  char error[256] = "";
  unsigned char record[216] = {'B', 'A', 'D'};
  EXPECT_EQ(validate(",Tag,", record, error, sizeof error), -1);
  EXPECT_STREQ(error, "tag rejected by tstfu");
  record[0] = 'O';
  EXPECT_EQ(validate(",Tag,", record, error, sizeof error), 0);
  ExtDll_Free(h);
  // Freed: the loader no longer has it mapped.
  const std::string path = kExtDir + "/tstfu_ex.so";
  EXPECT_EQ(dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr);
}

TEST(ExtDll, TheCurrentDirectoryIsNotSearched) {
  setenv("CDX_BIN", "/nonexistent", 1);
  char buf[4096];
  const std::string old = getcwd(buf, sizeof buf);
  ASSERT_EQ(chdir(kExtDir.c_str()), 0);
  EXPECT_EQ(ExtDll_Load("/cfg/CURRENT_CONFIG/tstdx_1"), nullptr);
  ASSERT_EQ(chdir(old.c_str()), 0);
}

}  // namespace
