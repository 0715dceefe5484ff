// qd_poll end to end with its device record in XML: a device whose
// extension library exports only Ex_DoXml (no device record type), with
// ReadXML on and a "config.xml" beside the binary files.
#include <gtest/gtest.h>

#include <cstddef>
#include <filesystem>
#include <fstream>

#include "cdxlib/config/extdll.h"

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
  void Run(const char* writeXml);
};

// The library has no record type, so no XML form carries the device
// record: it stays in the binary "config" whatever "WriteXML" says, and the
// scanner runs with the port, scan rate and node the user saved, while the
// save options come from "config.xml".
void XmlDevice::Run(const char* writeXml) {
  deviceDir_ = configDir_ + "/tstdx_1";
  std::filesystem::create_directories(deviceDir_);
  PutSz("SOFTWARE\\Quillomatic\\Coordinatrix", "ReadXML", "ON");
  PutSz("SOFTWARE\\Quillomatic\\Coordinatrix", "WriteXML", writeXml);
  setenv("CDX_BIN", (std::string(CDX_BIN_DIR) + "/../extlibs").c_str(), 1);
  ExtDll_ForgetDoXml();
  // The line is COM3 (COM1 leads nowhere).
  PutSz("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports", "COM3:", "19200,n,8,1");
  PutSz("SOFTWARE\\Quillomatic\\SerialPorts", "COM3", plc_.PortPath());
  PutSz("SOFTWARE\\Quillomatic\\SerialPorts", "COM1", root_ + "/no-such-port");

  DeviceConfig dc;
  std::memset(&dc, 0, sizeof dc);
  dc.ScanRate = 1000;
  dc.Comm.RetryCount = 2;
  dc.Comm.Node = 9;
  std::snprintf(dc.Comm.Port, sizeof dc.Comm.Port, "COM3");
  uint8_t enable = 1, saveOutputs = 0, byTag = 0;
  uint32_t saveRate = 0;
  ASSERT_EQ(Cfg_SaveDeviceEx(nullptr, deviceDir_.c_str(), &dc, sizeof dc, nullptr, 0, nullptr, &enable, &saveOutputs,
                             &byTag, &saveRate),
            0);
  EXPECT_TRUE(std::filesystem::exists(deviceDir_ + "/config.xml"));
  EXPECT_TRUE(std::filesystem::exists(deviceDir_ + "/config"));
  WriteChannels();

  // The library's own load gives the record back.
  DeviceConfig back;
  std::memset(&back, 0xEE, sizeof back);
  uint8_t e = 0;
  ASSERT_EQ(Cfg_LoadDeviceEx(deviceDir_.c_str(), &back, sizeof back, nullptr, 0, nullptr, &e, nullptr, nullptr,
                             nullptr),
            0);
  EXPECT_EQ(std::memcmp(&back, &dc, sizeof dc), 0);
  EXPECT_EQ(e, 1);

  ASSERT_GT(Start(), 0);
  ASSERT_TRUE(WaitReady()) << Text();
  const uint8_t* config = sim_->DeviceRecordPtr(1) + Layout::kConfig;
  DeviceConfig used;
  std::memcpy(&used, config, sizeof used);
  EXPECT_EQ(used.ScanRate, 1000u);
  EXPECT_EQ(used.Comm.Node, 9);
  EXPECT_STREQ(used.Comm.Port, "COM3");
  EXPECT_EQ(std::memcmp(&used, &dc, sizeof dc), 0);
  // The scanner polls on COM3: the controller answers and no status text is set.
  ASSERT_TRUE(Scan()) << Text();
  ASSERT_TRUE(Scan()) << Text();
  EXPECT_EQ(Text(), "");
  EXPECT_EQ(Status(1) & 0x20u, 0u) << std::hex << Status(1);
  PutSz("SOFTWARE\\Quillomatic\\Coordinatrix", "ReadXML", "OFF");
  PutSz("SOFTWARE\\Quillomatic\\Coordinatrix", "WriteXML", "BIN");
}

// A 302 taken while the device initialises, with a channel file in XML that
// cannot be read: the process stops with the XML error text as its status.
TEST_F(XmlDevice, UnreadableXmlChannelFileDuringInitialisationStopsWithItsText) {
  deviceDir_ = configDir_ + "/tstdx_1";
  std::filesystem::create_directories(deviceDir_);
  PutSz("SOFTWARE\\Quillomatic\\Coordinatrix", "ReadXML", "ON");
  PutSz("SOFTWARE\\Quillomatic\\Coordinatrix", "WriteXML", "BOTH");
  setenv("CDX_BIN", (std::string(CDX_BIN_DIR) + "/../extlibs").c_str(), 1);
  ExtDll_ForgetDoXml();
  WriteDevice();
  WriteChannels();
  ASSERT_TRUE(std::filesystem::exists(deviceDir_ + "/ai.xml"));
  ASSERT_GT(Start(), 0);
  ASSERT_TRUE(WaitReady()) << Text();
  plc_.Hangup();
  ASSERT_EQ(sim_->Send(pid_, 300), 0);
  ASSERT_TRUE(WaitText("CAN'T INITIALISE DEVICE -0002")) << Text();
  std::ofstream(deviceDir_ + "/ai.xml", std::ios::trunc) << "<Channels><Channel id=\"1\">";
  ASSERT_EQ(sim_->Send(pid_, 302), 0);
  EXPECT_GT(sim_->WaitExit(pid_, 20000), 0);
  pid_ = -1;
  const std::string text = Text();
  EXPECT_FALSE(text.empty());
  EXPECT_EQ(text.find("CAN'T"), std::string::npos) << text;
  EXPECT_NE(text.find("ai"), std::string::npos) << text;
  PutSz("SOFTWARE\\Quillomatic\\Coordinatrix", "ReadXML", "OFF");
  PutSz("SOFTWARE\\Quillomatic\\Coordinatrix", "WriteXML", "BIN");
}

TEST_F(XmlDevice, RecordWithoutXmlFormStaysBinaryWhenBothAreWritten) { Run("BOTH"); }

TEST_F(XmlDevice, RecordWithoutXmlFormStaysBinaryWhenOnlyXmlIsWritten) { Run("XML"); }

}  // namespace
}  // namespace qdtest
