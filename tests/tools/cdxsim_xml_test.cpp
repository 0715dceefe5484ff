// The scanner reads its configuration from XML files when the settings ask
// for it: cdxsim plays the central server, df1sim the controllers, and
// qd_poll scans a device whose channel and device configuration exist only
// as config.xml and ai.xml (its extension library, tests/extlibs/tstxm,
// exports Ex_DoXml and gives the device record and hardware types).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "cdxlib/config/xmlconfig.h"
#include "cdxlib/sys/registry.h"
#include "scanner/qd_fixture.h"

namespace {

using qdtest::Layout::kCount;

constexpr const char* kXmlDescription = R"(
errors  entries=16
driver  name=ALARM prefix=AL
driver  name=DERIVED prefix=DV
device  type=qd number=1 name=tstxm_1 process=qd_dev1 ai=QA scanrate=500
module  prefix=QA channels=16 kind=8 records=1
logger  name=LOG1 triggers=QA:5
)";

void SetSwitch(const char* name, const char* value) {
  uint32_t type = plat::REG_SZ, size = static_cast<uint32_t>(strlen(value) + 1);
  ASSERT_EQ(Reg_AccessValue(plat::HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillomatic\\Coordinatrix", plat::KEY_SET_VALUE,
                            name, &type, const_cast<char*>(value), &size),
            0u);
}

class XmlInstallation : public qdtest::Installation {
 protected:
  std::string Description() override { return kXmlDescription; }
  void SetUp() override {
    setenv("CDX_BIN", (std::string(CDX_BIN_DIR) + "/../extlibs").c_str(), 1);
    ExtDll_ForgetDoXml();
    Installation::SetUp();
    if (HasFatalFailure()) return;
    // The device of the description lives in its own directory, written as
    // XML only.
    xmlDir_ = configDir_ + "/tstxm_1";
    std::filesystem::create_directories(xmlDir_);
    SetSwitch("WriteXML", "XML");
    SetSwitch("ReadXML", "ON");
    const std::string keep = deviceDir_;
    deviceDir_ = xmlDir_;
    WriteDevice();
    WriteChannels();
    deviceDir_ = keep;
  }
  std::string xmlDir_;
};

TEST_F(XmlInstallation, ScansADeviceConfiguredOnlyInXml) {
  for (const char* binary : {"ai", "config", "saveconfig"})
    ASSERT_FALSE(std::filesystem::exists(xmlDir_ + "/" + binary)) << binary;
  {
    std::ifstream in(xmlDir_ + "/ai.xml");
    std::stringstream s;
    s << in.rdbuf();
    // The channels carry this driver's hardware items, the device its port.
    ASSERT_NE(s.str().find("<Tag>FLOW1</Tag>"), std::string::npos) << s.str();
    ASSERT_NE(s.str().find("<WordAddress>10</WordAddress>"), std::string::npos) << s.str();
    std::ifstream dev(xmlDir_ + "/config.xml");
    std::stringstream d;
    d << dev.rdbuf();
    ASSERT_NE(d.str().find("<Port>COM1</Port>"), std::string::npos) << d.str();
  }
  ASSERT_GT(Start(), 0);
  ASSERT_TRUE(WaitReady()) << Text();
  ASSERT_TRUE(Scan());
  struct Expect {
    int channel;
    uint32_t status;
    float value;
  } table[] = {
      {1, 0x80, 285}, {2, 0x80, 50}, {3, 0x80, 7},  {4, 0x01, 0},    {5, 0x19, 0},   {6, 0x80, 999},
      {7, 0xA0, 0},   {8, 0x00, 0},  {9, 0x80, 10}, {11, 0x80, 300}, {12, 0x80, 45}, {13, 0x01, 0},
      {15, 0x01, 0},  {16, 0x00, 0},
  };
  for (const Expect& e : table) {
    EXPECT_EQ(Status(e.channel), e.status) << "channel " << e.channel;
    if (e.status & 0x80 && !(e.status & 0x20)) {
      EXPECT_EQ(Value(e.channel), e.value) << "channel " << e.channel;
    }
  }
  EXPECT_EQ(qdtest::Get<uint16_t>(Values(), kCount), qdtest::kChannels);
  EXPECT_EQ(Text(), "");
}

// A channel file that fails its checks keeps the scanner from loading it:
// the failure is reported, never scanned with half a configuration.
TEST_F(XmlInstallation, ABrokenChannelFileIsReportedNotScanned) {
  {
    std::ofstream out(xmlDir_ + "/ai.xml", std::ios::trunc);
    out << "<?xml version='1.0'?><Channels><Channel id=\"1\"><Enable>On</Enable></Channel></Channels>";
  }
  ASSERT_GT(Start(), 0);
  // The status text is the XML error text of the channel that failed.
  std::string text;
  const int64_t end = plat::MonotonicMs() + 20000;
  while (plat::MonotonicMs() < end && text.find("<Tag> Required") == std::string::npos) {
    text = Text();
    plat::SleepMs(10);
  }
  EXPECT_EQ(text, "tstxm_1 ai Channel #1 - <Tag> Required");
}

}  // namespace
