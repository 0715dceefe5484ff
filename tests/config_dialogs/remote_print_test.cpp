// libqd_setup.so reaching a server named by URL, as a host loads it: the
// print of a whole device whose device records are read through a real web-service
// server (on 127.0.0.2) that answers the configuration requests from a
// configuration root of its own, with the real loaders.
#include <gtest/gtest.h>

#include <cairo-pdf.h>
#include <cairo.h>
#include <dlfcn.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "cdxlib/records/chanconfig.h"
#include "cdxlib/config/configfiles.h"
#include "config_dialogs/hostrecord.h"
#include "config_dialogs/qd_setup.h"
#include "cdxlib/client/server_side.h"
#include "support/tool_run.h"

// GTK and fontconfig, loaded with the library, keep blocks for the life of
// the process: not ours to report.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libglib-2.0.so\nleak:libgobject-2.0.so\nleak:libfontconfig.so\n";
}

namespace {

namespace fs = std::filesystem;

const std::string kLibrary = std::string(CDX_BIN_DIR) + "/libqd_setup.so";

std::string PdfText(const std::string& pdf) {
  return testsupport::RunShell("pdftotext -layout '" + pdf + "' - 2>/dev/null").out;
}

TEST(QdSetupRemote, PrintReadsTheDeviceThroughAWebServiceServer) {
  const std::string base = std::getenv("CDXPLAT_ROOT");
  const std::string serverRoot = base + "/SERVER/CURRENT_CONFIG";
  const std::string devdir = serverRoot + "/plc_9";
  fs::create_directories(devdir);

  // The server's records: a device on COM3 node 4 and two analog channels.
  std::vector<ChannelConfig> ai(2);
  std::memset(ai.data(), 0, ai.size() * sizeof(ChannelConfig));
  for (int i = 0; i < 2; ++i) {
    ai[i].Type = kKindAI;
    Chan_SetTag(&ai[i], i == 0 ? "REMOTE_LEVEL" : "REMOTE_FLOW");
    Chan_SetFlag(&ai[i], kAiEnable, true);
  }
  ASSERT_EQ(Cfg_SaveChannels("test", devdir.c_str(), kKindAI, ai.data(), 0, 2, nullptr, 0, nullptr), 0);
  DeviceConfig device = {};
  device.ScanRate = 2000;
  device.Comm.Node = 4;
  std::memcpy(device.Comm.Port, "COM3", 4);
  const uint8_t enable = 1, saveOutputs = 0, byTag = 0;
  const uint32_t rate = 5000;
  ASSERT_EQ(Cfg_SaveDeviceEx("test", devdir.c_str(), &device, sizeof device, nullptr, 0, nullptr, &enable,
                             &saveOutputs, &byTag, &rate),
            0);

  serverside::ConfigServer config(serverRoot);
  fakesrv::Engine engine;
  engine.script().SetHandler([&](const std::string& r) { return config(r); });
  cdxnet::SoapTestServer soap([&](const cdxnet::SoapCall& call) { return serverside::ToSoap(&engine, call); });
  const std::string server = soap.Url("/");

  uint8_t host[kHostRecordMinSize] = {};
  std::memcpy(host + kHostDeviceNameOffset, "Remote plant", 12);
  std::memcpy(host + kHostConfigDirOffset, "plc_9", 5);
  std::memcpy(host + kHostPathEntryOffset, "AI", 2);
  const uint16_t count = 2;
  std::memcpy(host + kHostPathCountOffset, &count, 2);

  void* lib = dlopen(kLibrary.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  auto print = reinterpret_cast<PrintAllConfigFn>(dlsym(lib, "PrintAllConfig"));
  ASSERT_NE(print, nullptr);

  // The channel records come from the current directory (the configuration
  // program works in the device's directory); the device through the server.
  const fs::path oldCwd = fs::current_path();
  fs::current_path(devdir);
  const std::string pdf = base + "/remote.pdf";
  cairo_surface_t* surface = cairo_pdf_surface_create(pdf.c_str(), 842, 595);
  cairo_t* cr = cairo_create(surface);
  errno = 0;
  const int rc = print(cr, server.c_str(), host, 0, 0, 0, 0, nullptr, nullptr);
  const int error = errno;
  cairo_destroy(cr);
  cairo_surface_finish(surface);
  cairo_surface_destroy(surface);
  fs::current_path(oldCwd);
  ASSERT_EQ(rc, 0) << "errno " << error;

  // The enable byte, the device record and the save options came over the
  // web service.
  std::vector<std::string> requests;
  for (const std::string& r : engine.Requests()) requests.push_back(r.substr(0, 2));
  EXPECT_EQ(requests, (std::vector<std::string>{"RF", "GF", "RF"}));
  EXPECT_EQ(soap.Calls().size(), 3u);
  const std::string text = PdfText(pdf);
  EXPECT_NE(text.find("[Remote plant]"), std::string::npos) << text;
  EXPECT_NE(text.find("[ENABLED ]"), std::string::npos) << text;
  EXPECT_NE(text.find("SCAN RATE 00(min) 02(sec) 000(ms)"), std::string::npos) << text;
  EXPECT_NE(text.find("COM3"), std::string::npos) << text;
  EXPECT_NE(text.find("REMOTE_LEVEL"), std::string::npos) << text;
  EXPECT_NE(text.find("REMOTE_FLOW"), std::string::npos) << text;
}

}  // namespace
