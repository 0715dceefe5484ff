// The extension library of a user-defined processor: a device type without
// a library of its own that DATPROC.TXT beside its directory names as a
// "USER" processor gets the user analog or user digital library of CDX_BIN.
#include "cdxlib/config/extdll.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/root.h"

namespace {

namespace fs = std::filesystem;

TEST(ExtDllDatProc, UserProcessorsGetTheUserLibraries) {
  const std::string ext = std::string(CDX_BIN_DIR) + "/../extlibs";
  const std::string bin = plat::Root() + "/datproc/bin", root = plat::Root() + "/datproc/CURRENT_CONFIG";
  fs::create_directories(bin);
  fs::create_directories(root);
  // Stand-ins told apart by their entries: the analog one exports only
  // Ex_DoXml, the digital one also Ex_Get_Mixed_Channel_Type.
  fs::copy_file(ext + "/tstdx_ex.so", bin + "/" + kExtUserAnalogLibrary, fs::copy_options::overwrite_existing);
  fs::copy_file(ext + "/tstfu_ex.so", bin + "/" + kExtUserDigitalLibrary, fs::copy_options::overwrite_existing);
  setenv("CDX_BIN", bin.c_str(), 1);
  std::ofstream(root + "/DATPROC.TXT") << "* processors\n"
                                          "CALC,calculations,A-CA:10,run\n"
                                          "USER1,user one,A-UA:10\n"
                                          "USERD2,user two,D-UB:5,run\n"
                                          "USERA,forced analog,D-UC\n"
                                          "USERBAD,bad,X-UD\n"
                                          "OTHER,not user,A-OT\n";
  struct {
    const char* device;
    int library;  // 0 none, 1 analog, 2 digital
  } cases[] = {
      {"USER1_1", 1}, {"userd_2", 2}, {"USERA_3", 1},  // "USERA" is analog whatever its letter
      {"USERB_4", 0},                                   // the entry does not parse
      {"OTHER_5", 0},                                   // not a user-defined processor
      {"NOPROC_6", 0},                                  // no entry
  };
  for (const auto& c : cases) {
    void* h = ExtDll_Load((root + "/" + c.device).c_str());
    const int got = !h ? 0 : ExtDll_Entry(h, "Ex_Get_Mixed_Channel_Type") ? 2 : 1;
    EXPECT_EQ(got, c.library) << c.device;
    ExtDll_Free(h);
  }
  // No processor list beside the directory: no library, no failure.
  fs::remove(root + "/DATPROC.TXT");
  EXPECT_EQ(ExtDll_Load((root + "/USER1_1").c_str()), nullptr);
}

}  // namespace
