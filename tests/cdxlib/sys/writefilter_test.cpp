// The write filter brackets registry writes. Whether the machine is the
// embedded controller is decided once per process, so each case runs in a
// child process of its own; this process never asks.
#include "cdxlib/sys/writefilter.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <sys/stat.h>

#include "cdxlib/sys/logicaldirs.h"
#include "cdxlib/sys/registry.h"
#include "platform/error.h"
#include "platform/root.h"
#include "support/child.h"

namespace {

namespace fs = std::filesystem;
using namespace plat;

class WriteFilter : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string bin = Root() + "/bin";
    fs::create_directories(bin);
    // A stand-in filter manager that records each run.
    const std::string ewfmgr = bin + "/ewfmgr";
    std::ofstream(ewfmgr) << "#!/bin/sh\necho \"$*\" >> \"$CDXPLAT_ROOT/ewfmgr.log\"\n";
    ::chmod(ewfmgr.c_str(), 0755);
    setenv("CDX_BIN", bin.c_str(), 1);
    std::remove(Log().c_str());
    std::remove(Marker().c_str());
    RegDeleteTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\EWF");
    RegDeleteTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillomatic");
  }
  void TearDown() override {
    std::remove(Marker().c_str());
    unsetenv("CDX_BIN");
  }
  static std::string Log() { return Root() + "/ewfmgr.log"; }
  static std::string Marker() { return Root() + "/XPacSDK.dll"; }
  static std::string Runs() {
    std::ifstream in(Log());
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  // Two writes and a delete through the wrappers, in a fresh process.
  static int WriteTwiceInAChild() {
    pid_t p = testsupport::ForkChild([] {
      uint32_t type = REG_SZ, size = 2;
      for (const char* name : {"First", "Second"}) {
        if (Reg_AccessValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillomatic\\Coordinatrix", KEY_SET_VALUE, name, &type,
                            const_cast<char*>("1"), &size) != 0)
          return 1;
      }
      return Reg_DeleteValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillomatic\\Coordinatrix", "First") == 0 ? 0 : 2;
    });
    return testsupport::WaitChild(p, 20000);
  }
};

TEST_F(WriteFilter, OnAnOrdinaryMachineTheWrappersArePlainRegistryCalls) {
  ASSERT_EQ(WriteTwiceInAChild(), 0);
  EXPECT_EQ(Runs(), "");
  pid_t p = testsupport::ForkChild([] {
    if (Ewf_IsXPacPlatform() != nullptr) return 1;
    if (Ewf_BeginWrite() != 1 || Ewf_EndWrite() != 1 || Ewf_UnloadXPacSdk() != 1) return 2;
    if (Dir_SystemDrive() != 'C') return 3;
    return 0;
  });
  EXPECT_EQ(testsupport::WaitChild(p, 10000), 0);
}

TEST_F(WriteFilter, OnTheControllerOnlyTheFirstWriteAfterBootCommits) {
  std::ofstream(Marker()) << "";
  ASSERT_EQ(WriteTwiceInAChild(), 0);
  EXPECT_EQ(Runs(), "c: -commitanddisable -live\nc: -enable\n");
  pid_t p = testsupport::ForkChild([] { return Dir_SystemDrive() == 'D' && Ewf_IsXPacPlatform() ? 0 : 1; });
  EXPECT_EQ(testsupport::WaitChild(p, 10000), 0);
  // A later process of the same boot finds the volatile key: no run.
  ASSERT_EQ(WriteTwiceInAChild(), 0);
  EXPECT_EQ(Runs(), "c: -commitanddisable -live\nc: -enable\n");
  // After a restart (the volatile key gone) the first write commits again.
  RegDeleteTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\EWF");
  ASSERT_EQ(WriteTwiceInAChild(), 0);
  EXPECT_EQ(Runs(), "c: -commitanddisable -live\nc: -enable\nc: -commitanddisable -live\nc: -enable\n");
}

TEST_F(WriteFilter, AFilterManagerThatCannotStartFailsTheWriteAndEveryLaterOne) {
  std::ofstream(Marker()) << "";
  std::remove((Root() + "/bin/ewfmgr").c_str());
  pid_t p = testsupport::ForkChild([] {
    HKEY k = nullptr;
    for (int attempt = 0; attempt < 2; ++attempt) {
      // Nothing could be committed, so nothing may be written: a write now
      // would be lost at the next boot.
      if (Ewf_RegCreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillomatic", 0, "", REG_OPTION_NON_VOLATILE,
                           KEY_ALL_ACCESS, nullptr, &k, nullptr) != kErrFileNotFound)
        return 1 + attempt;
    }
    return 0;
  });
  EXPECT_EQ(testsupport::WaitChild(p, 10000), 0);
  HKEY k = nullptr;
  EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillomatic", KEY_READ, &k), 2u);
  EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\EWF", KEY_READ, &k), 2u);
}

}  // namespace
