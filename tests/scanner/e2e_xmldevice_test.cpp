// qd_poll end to end with its device record in XML: a device whose
// extension library exports only Ex_DoXml (no device record type), with
// ReadXML on and a "config.xml" beside the binary files.
#include <gtest/gtest.h>

#include <cstddef>
#include <filesystem>
#include <fstream>

#include "scanner/qd_fixture.h"

namespace qdtest {
namespace {

// The device directory is named after the test library "tstdx_ex.so".
class XmlDevice : public Installation {
 protected:
  std::string Description() override {
    std::string d = kDescription;
    d.replace(d.find("name=dev1"), 9, "name=tstdx_1");
    return d;
  }
};

TEST_F(XmlDevice, LibraryWithoutRecordTypePublishesAZeroedRecord) {
  deviceDir_ = configDir_ + "/tstdx_1";
  std::filesystem::create_directories(deviceDir_);
  WriteDevice();  // the binary record (scan rate 500, COM1): not the one read
  WriteChannels();
  std::ofstream(deviceDir_ + "/config.xml")
      << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Configs><Config><AutoEnable>On</AutoEnable>"
         "<SaveOutputs>Off</SaveOutputs><SaveByTag>Off</SaveByTag><SaveRate>0</SaveRate></Config></Configs>\n";
  PutSz("SOFTWARE\\Quillomatic\\Coordinatrix", "ReadXML", "ON");
  setenv("CDX_BIN", (std::string(CDX_BIN_DIR) + "/../extlibs").c_str(), 1);

  ASSERT_GT(Start(), 0);
  const uint8_t* r = sim_->DeviceRecordPtr(1);
  const int64_t end = plat::MonotonicMs() + 20000;
  while (r[Layout::kLoaded] != 1 && plat::MonotonicMs() < end) plat::SleepMs(5);
  ASSERT_EQ(r[Layout::kLoaded], 1) << Text();
  // The file holds no device record: the published one is all zeros (a
  // scan period of 0), never bytes of the loader's stack; only the empty
  // port field gets the scanner's default port, "COM" and the device number.
  const uint8_t* config = r + Layout::kConfig;
  const std::string port(reinterpret_cast<const char*>(config + offsetof(DeviceConfig, Comm.Port)));
  EXPECT_TRUE(port.empty() || port == "COM1") << port;
  for (size_t i = 0; i < kDeviceConfigSize; ++i) {
    if (i >= offsetof(DeviceConfig, Comm.Port) && i < offsetof(DeviceConfig, Comm.Port) + sizeof(CommBlock::Port))
      continue;
    ASSERT_EQ(config[i], 0) << "device record byte " << i;
  }
}

}  // namespace
}  // namespace qdtest
