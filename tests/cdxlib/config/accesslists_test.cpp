// Access lists: the environment's lists and the rights on the files that
// hold a device's, logger's or processor's configuration.
#include "cdxlib/config/accesslists.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/env_fixture.h"
#include "platform/registry.h"
#include "platform/root.h"

namespace {

using namespace plat;
namespace fs = std::filesystem;

void Put(HKEY hive, const char* path, const char* name, const std::string& text) {
  cdxtest::PutRegistryText(hive, path, name, text);
}

using AccessLists = cdxtest::EnvFixture;

TEST_F(AccessLists, EnvironmentLists) {
  EXPECT_EQ(Cfg_InEnvList("CDX_DEVICES", "A"), 1);  // unset: everything allowed
  Set("CDX_DEVICES", "A;B;" + std::string(25, 'L'));
  EXPECT_EQ(Cfg_InEnvList("CDX_DEVICES", "A"), 1);
  EXPECT_EQ(Cfg_InEnvList("CDX_DEVICES", "b"), 1);
  EXPECT_EQ(Cfg_InEnvList("CDX_DEVICES", "C"), 0);
  EXPECT_EQ(Cfg_InEnvList("CDX_DEVICES", std::string(25, 'L').c_str()), 0);
  EXPECT_EQ(Cfg_InEnvList("CDX_DEVICES", ""), 0);
  EXPECT_EQ(Cfg_InEnvList("", "A"), 0);
}

TEST_F(AccessLists, FileDeviceAndFilterAccess) {
  const std::string config = Work("config");
  Set("CDX_CURRENT_CONFIG", config);
  Work("config/A");
  std::ofstream(config + "/A/config") << "x";
  EXPECT_EQ(Cfg_CanAccessFile((config + "/A/config").c_str(), kGenericRead), 1);
  EXPECT_EQ(Cfg_CanAccessFile((config + "/A/config").c_str(), kGenericWrite), 1);
  EXPECT_EQ(Cfg_CanAccessFile((config + "/A/config").c_str(), kGenericAll), 0);
  EXPECT_EQ(Cfg_CanAccessFile((config + "/missing").c_str(), kGenericRead), 1);
  EXPECT_EQ(Cfg_CanAccessFile((config + "/nodir/x").c_str(), kGenericRead), 1);
  EXPECT_EQ(Cfg_CanAccessFile("\\\\faraway\\config\\A\\config", kGenericRead), 1);
  // A file that exists but cannot be opened for writing (a directory).
  EXPECT_EQ(Cfg_CanAccessFile((config + "/A").c_str(), kGenericWrite), 0);

  Set("CDX_DEVICES", "A;C");
  EXPECT_EQ(Cfg_CanAccessDevice(nullptr, "a", kGenericRead), 1);
  EXPECT_EQ(Cfg_CanAccessDevice(nullptr, "B", kGenericRead), 0);

  struct Entry {
    char pad[4];
    char name[12];
  };
  Entry entries[6] = {};
  std::strcpy(entries[0].name, "A");
  std::strcpy(entries[1].name, "B");
  std::strcpy(entries[2].name, "C");
  EXPECT_EQ(Cfg_FilterDevices(nullptr, 3, entries, sizeof(Entry), offsetof(Entry, name), kGenericRead), 2);
  EXPECT_STREQ(entries[3].name, "A");
  EXPECT_STREQ(entries[4].name, "C");
  EXPECT_STREQ(entries[1].name, "B");  // the input list stays

  Set("CDX_LOGGERS", "Hist");
  EXPECT_EQ(Cfg_CanAccessLogger(nullptr, "Hist", 2, kGenericRead), 1);
  EXPECT_EQ(Cfg_CanAccessLogger(nullptr, "Other", 2, kGenericRead), 0);
  Set("CDX_PROCESSORS", "calc1");
  EXPECT_EQ(Cfg_CanAccessProcessor(nullptr, "CALC1", kGenericRead), 1);
}

// In XML mode a device's or processor's access is judged by its "config.xml"
// when its extension library offers XML and the file is there, a logger's by
// "LOGGERS/<name>_<n>.xml"; else by the binary files. The binary files here
// are directories, which open for reading but not for writing, so the
// answer to a write tells which file was judged.
TEST_F(AccessLists, XmlModeJudgesTheXmlFiles) {
  const std::string config = Work("config");
  Set("CDX_CURRENT_CONFIG", config);
  Set("CDX_BIN", std::string(CDX_BIN_DIR) + "/../extlibs");  // tstdx_ex.so exports Ex_DoXml
  Work("config/tstdx_1/config");
  Work("config/CALC/config");
  Work("config/LOGGERS/Hist_2");
  std::ofstream(config + "/tstdx_1/config.xml") << "<Configs/>";
  std::ofstream(config + "/CALC/config.xml") << "<Configs/>";  // no library offers XML for CALC
  std::ofstream(config + "/LOGGERS/Hist_2.xml") << "<Loggers/>";
  struct Case {
    const char* readXml;
    int device, processor, logger;  // write access
  } cases[] = {{"OFF", 0, 0, 0}, {"ON", 1, 0, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.readXml);
    Put(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillomatic\\Coordinatrix", "ReadXML", c.readXml);
    EXPECT_EQ(Cfg_CanAccessDevice(nullptr, "tstdx_1", kGenericWrite), c.device);
    EXPECT_EQ(Cfg_CanAccessProcessor(nullptr, "CALC", kGenericWrite), c.processor);
    EXPECT_EQ(Cfg_CanAccessLogger(nullptr, "Hist", 2, kGenericWrite), c.logger);
    EXPECT_EQ(Cfg_CanAccessDevice(nullptr, "tstdx_1", kGenericRead), 1);
  }
  // A logger file that is missing counts as accessible; one that cannot be
  // written does not (it used to be looked for beside LOGGERS, where no
  // logger file is, so every logger passed).
  Put(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillomatic\\Coordinatrix", "ReadXML", "OFF");
  EXPECT_EQ(Cfg_CanAccessLogger(nullptr, "Hist", 3, kGenericWrite), 1);
  EXPECT_EQ(Cfg_CanAccessLogger(nullptr, "Hist", 2, kGenericWrite), 0);
  // A server reached only through requests judges its files itself.
  Set("CDX_DEVICES", "A");
  EXPECT_EQ(Cfg_CanAccessDevice("https://faraway.example/cdx", "tstdx_1", kGenericWrite), 1);
}

}  // namespace
