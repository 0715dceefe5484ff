// The qdprint program: a device's configuration printed to a PDF file that
// opens and holds the device's texts.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "cdxlib/records/chanconfig.h"
#include "cdxlib/config/configfiles.h"
#include "platform/root.h"
#include "support/child.h"
#include "support/tool_run.h"

namespace {

int Shell(const std::string& command, std::string* out = nullptr) {
  const testsupport::ToolResult r = testsupport::RunShell(command);
  if (out) *out = r.out;
  return r.rc;
}

std::string Qdprint() { return testsupport::BinPath("qdprint"); }

TEST(QdprintTool, DemoDevicePrintsToAPdfThatOpens) {
  const std::string pdf = plat::Root() + "/demo.pdf";
  ASSERT_EQ(Shell(Qdprint() + " --server scada1 --number 4 --demo 60 " + pdf + " >/dev/null"), 0);
  EXPECT_EQ(Shell("qpdf --check " + pdf + " >/dev/null 2>&1"), 0);
  std::string pages;
  ASSERT_EQ(Shell("qpdf --show-npages " + pdf, &pages), 0);
  EXPECT_GE(atoi(pages.c_str()), 4);
  std::string text;
  ASSERT_EQ(Shell("pdftotext -layout " + pdf + " -", &text), 0);
  for (const char* s : {"[scada1]", "[COM4", "FT101", "AI60", "DI59", "LOW STAT", "XS260"})
    EXPECT_NE(text.find(s), std::string::npos) << s;
  EXPECT_EQ(text.find("AI7 "), std::string::npos) << "disabled channels are skipped";
}

TEST(QdprintTool, DeviceDirectoryAndChannelRange) {
  const std::string dir = plat::Root() + "/CURRENT_CONFIG/plc_9";
  ASSERT_EQ(Shell("mkdir -p " + dir), 0);
  std::vector<ChannelConfig> ai(3);
  for (int i = 0; i < 3; ++i) {
    ai[i].Type = kKindAI;
    Chan_SetTag(&ai[i], ("PT" + std::to_string(i + 1)).c_str());
    Chan_SetFlag(&ai[i], kAiEnable, true);
  }
  ASSERT_EQ(Cfg_SaveChannels("test", dir.c_str(), kKindAI, ai.data(), 0, 3, nullptr, 0, nullptr), 0);
  DeviceConfig device = {};
  device.ScanRate = 500;
  memcpy(device.Comm.Port, "COM7", 5);
  const uint8_t enable = 1;
  ASSERT_EQ(Cfg_SaveDeviceEx("test", dir.c_str(), &device, sizeof device, nullptr, 0, nullptr, &enable, nullptr,
                             nullptr, nullptr),
            0);
  const std::string all = plat::Root() + "/all.pdf", range = plat::Root() + "/range.pdf";
  ASSERT_EQ(Shell(Qdprint() + " " + dir + " " + all + " >/dev/null"), 0);
  std::string text;
  ASSERT_EQ(Shell("pdftotext -layout " + all + " -", &text), 0);
  for (const char* s : {"[plc_9]", "[ENABLED", "[COM7", "PT1", "PT3"}) EXPECT_NE(text.find(s), std::string::npos) << s;
  EXPECT_EQ(text.find("CHANNELS AI1 - AI3 DISABLED"), std::string::npos)
      << "the digital table of an analog path says nothing of its channels";
  ASSERT_EQ(Shell(Qdprint() + " --path 0 --first 2 --last 2 " + dir + " " + range + " >/dev/null"), 0);
  ASSERT_EQ(Shell("pdftotext -layout " + range + " -", &text), 0);
  EXPECT_EQ(text.find("PT1"), std::string::npos);
  EXPECT_NE(text.find("PT2"), std::string::npos);
  EXPECT_EQ(text.find("DEVICE NAME"), std::string::npos);
  // A bad range, a missing directory, bad usage.
  EXPECT_EQ(Shell(Qdprint() + " --path 0 --first 3 --last 2 " + dir + " " + range + " 2>/dev/null"), 1);
  EXPECT_EQ(Shell(Qdprint() + " " + dir + "/missing " + range + " 2>/dev/null"), 1);
  EXPECT_EQ(Shell(Qdprint() + " --demo 2 2>/dev/null"), 2);
}

}  // namespace

namespace {

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// The device directory of DeviceDirectoryAndChannelRange, with one channel.
std::string MakeDevice(const std::string& name) {
  const std::string dir = plat::Root() + "/CURRENT_CONFIG/" + name;
  if (Shell("mkdir -p " + dir) != 0) return {};
  ChannelConfig ai = {};
  ai.Type = kKindAI;
  Chan_SetTag(&ai, "PT1");
  Chan_SetFlag(&ai, kAiEnable, true);
  DeviceConfig device = {};
  device.ScanRate = 500;
  const uint8_t enable = 1;
  if (Cfg_SaveChannels("test", dir.c_str(), kKindAI, &ai, 0, 1, nullptr, 0, nullptr) != 0 ||
      Cfg_SaveDeviceEx("test", dir.c_str(), &device, sizeof device, nullptr, 0, nullptr, &enable, nullptr, nullptr,
                       nullptr) != 0)
    return {};
  return dir;
}

TEST(QdprintTool, RelativeOutputNameIsTakenFromWhereItWasStarted) {
  const std::string dir = MakeDevice("plc_rel");
  ASSERT_FALSE(dir.empty());
  const std::string work = plat::Root() + "/work";
  ASSERT_EQ(Shell("mkdir -p " + work), 0);
  std::string said;
  ASSERT_EQ(Shell("cd " + work + " && " + Qdprint() + " " + dir + " out.pdf", &said), 0);
  EXPECT_TRUE(Exists(work + "/out.pdf")) << said;
  EXPECT_FALSE(Exists(dir + "/out.pdf"));
  EXPECT_NE(said.find(work + "/out.pdf written"), std::string::npos) << said;
  EXPECT_EQ(Shell("qpdf --check " + work + "/out.pdf >/dev/null 2>&1"), 0);
  // Nothing but the PDF is left beside it.
  std::string listing;
  ASSERT_EQ(Shell("ls -A " + work, &listing), 0);
  EXPECT_EQ(listing, "out.pdf\n");
}

TEST(QdprintTool, BadNumbersAndFailedPrintsLeaveNoFile) {
  const std::string dir = MakeDevice("plc_bad");
  ASSERT_FALSE(dir.empty());
  const std::string pdf = plat::Root() + "/bad.pdf";
  struct Case {
    std::string args;
    int rc;
  };
  const Case cases[] = {
      {"--demo 0 " + pdf, 2},
      {"--demo abc " + pdf, 2},
      {"--demo 5x " + pdf, 2},
      {"--demo -3 " + pdf, 2},
      {"--number abc --demo 2 " + pdf, 2},
      {"--number 0 --demo 2 " + pdf, 2},
      {"--path 7 " + dir + " " + pdf, 2},
      {"--first x " + dir + " " + pdf, 2},
      {"--path 0 --first 3 --last 2 " + dir + " " + pdf, 1},  // the library refuses the range
      {dir + "/missing " + pdf, 1},
  };
  for (const Case& c : cases) {
    std::string err;
    EXPECT_EQ(Shell(Qdprint() + " " + c.args + " 2>&1", &err), c.rc) << c.args;
    EXPECT_FALSE(Exists(pdf)) << c.args;
    if (c.rc == 1) {
      EXPECT_NE(err.find("error "), std::string::npos) << err;
      EXPECT_NE(err.find(" ("), std::string::npos) << "the number comes with its text: " << err;
    }
  }
  std::string listing;
  ASSERT_EQ(Shell("ls -A " + plat::Root() + " | grep qdprint || true", &listing), 0);
  EXPECT_EQ(listing, "");
}

}  // namespace
