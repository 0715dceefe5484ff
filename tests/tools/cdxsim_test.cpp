// cdxsim: the description parser, the layouts it builds (checked byte by
// byte against the shared formats' offsets, not through the structs), the
// compact error-list layout, and a device program driven end to end.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "cdxlib/runtime/syserr.h"
#include "tools/cdxsim/cdxsim.h"

namespace {

template <typename T>
T At(const uint8_t* p, size_t offset) {
  T v;
  std::memcpy(&v, p + offset, sizeof(T));
  return v;
}

TEST(CdxsimParse, RejectsBadLinesWithTheirNumber) {
  struct Case {
    const char* text;
    const char* error;
  } cases[] = {
      {"bogus x=1", "line 1: unknown statement 'bogus'"},
      {"\n\ndriver prefix=AB", "line 3: missing name"},
      {"driver name=A prefix=ABC", "line 1: prefix longer than 2 characters"},
      {"module prefix=QA channels=x", "line 1: bad channels 'x'"},
      {"module prefix=QA channels=2 colour=red", "line 1: unknown key 'colour'"},
      {"device type=qd number=1 name=d oops", "line 1: expected key=value, got 'oops'"},
      {"channel prefix=QA number=1", "channel QA:1 lies in no declared module"},
  };
  for (const auto& c : cases) {
    cdxsim::Description d;
    std::string error;
    EXPECT_FALSE(cdxsim::Description::Parse(c.text, &d, &error)) << c.text;
    EXPECT_EQ(error, c.error) << c.text;
  }
  cdxsim::Description d;
  std::string error;
  EXPECT_TRUE(cdxsim::Description::Parse("# only a comment\nenv CDX_X=1 CDX_Y=2\nprogram /bin/true\n", &d, &error))
      << error;
  EXPECT_EQ(d.env.size(), 2u);
  EXPECT_EQ(d.program, "/bin/true");
}

const char* kLayout = R"(
errors  entries=5 layout=compact
driver  name=ALARM print=Alarms prefix=al type=4 valrec=1 pid=77
device  type=qd number=513 name=devA process=qd_devA ai=QA di=QB diag=QX scanrate=250 port=ttyQ node=9 retries=2
device  type=qd number=2 name=devB
module  prefix=QA channels=20 kind=8 records=1
module  prefix=QB channels=9 kind=4
logger  name=Logger-One type=resub triggers=QB:9
)";

class CdxsimLayout : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    cdxsim::Description d;
    std::string error;
    ASSERT_TRUE(cdxsim::Description::Parse(kLayout, &d, &error)) << error;
    sim_ = new cdxsim::Sim(d);
    ASSERT_EQ(sim_->Create(), 0);
  }
  static void TearDownTestSuite() {
    delete sim_;
    sim_ = nullptr;
  }
  static cdxsim::Sim* sim_;
};
cdxsim::Sim* CdxsimLayout::sim_ = nullptr;

TEST_F(CdxsimLayout, DriverTable) {
  uint32_t size = 0;
  const uint8_t* d = sim_->ModuleData("dm_datproc", &size);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(size, 4u + 60u);
  EXPECT_EQ(At<int32_t>(d, 0), 1);
  const uint8_t* r = d + 4;
  EXPECT_STREQ(reinterpret_cast<const char*>(r + 0), "ALARM");
  EXPECT_STREQ(reinterpret_cast<const char*>(r + 9), "Alarms");
  EXPECT_EQ(std::memcmp(r + 34, "AL", 2), 0);
  EXPECT_EQ(r[36], 4);
  EXPECT_EQ(r[37], 1);
  EXPECT_EQ(r[39], 1);
  EXPECT_EQ(At<int32_t>(r, 40), 77);
  EXPECT_EQ(At<int32_t>(r, 44), 0);
}

TEST_F(CdxsimLayout, DeviceTableWithDiagnosticsPrefixes) {
  uint32_t size = 0;
  const uint8_t* d = sim_->ModuleData("dm_device", &size);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(size, 4u + 2 * 790u);
  EXPECT_EQ(At<int32_t>(d, 0), 2);
  const uint8_t* r = d + 4;
  EXPECT_STREQ(reinterpret_cast<const char*>(r + 0), "qd");
  EXPECT_STREQ(reinterpret_cast<const char*>(r + 9), "qd_devA");
  EXPECT_EQ(At<uint16_t>(r, 34), 513);
  EXPECT_STREQ(reinterpret_cast<const char*>(r + 36), "devA");
  EXPECT_EQ(std::memcmp(r + 48, "QAQB", 4), 0);
  EXPECT_EQ(r[52], 0);
  EXPECT_EQ(At<uint32_t>(r, 60), 250u);  // DeviceConfig scan rate
  EXPECT_EQ(r[60 + 4], 2);               // retry count
  EXPECT_EQ(r[60 + 5], 9);               // node
  EXPECT_STREQ(reinterpret_cast<const char*>(r + 60 + 6), "ttyQ");
  EXPECT_EQ(std::memcmp(d + 4 + 2 * 788, "QX", 2), 0);
  EXPECT_EQ(At<uint16_t>(d + 4 + 788, 34), 2);
  std::vector<uint8_t> copy;
  ASSERT_TRUE(sim_->ReadDevice(513, &copy));
  EXPECT_EQ(copy.size(), 788u);
  EXPECT_FALSE(sim_->ReadDevice(7, &copy));
}

TEST_F(CdxsimLayout, LoggerTableAndModuleSets) {
  uint32_t size = 0;
  const uint8_t* d = sim_->ModuleData("dm_loggers", &size);
  ASSERT_NE(d, nullptr);
  EXPECT_GE(size, 4u + 1700u);
  EXPECT_EQ(At<uint32_t>(d, 0), 1u);
  EXPECT_EQ(d[4 + 9], 1);
  EXPECT_EQ(At<int32_t>(d + 4, 12), sim_->LoggerPid(1));
  EXPECT_STREQ(reinterpret_cast<const char*>(d + 4 + 37), "Logger-One");

  // Values module: prefix, value kind, count, words from 20, then values and records.
  const uint8_t* qa = sim_->ModuleData("dm_QA", &size);
  ASSERT_NE(qa, nullptr);
  EXPECT_EQ(std::memcmp(qa, "QA", 2), 0);
  EXPECT_EQ(At<uint16_t>(qa, 2), 8);
  EXPECT_EQ(At<uint16_t>(qa, 4), 20);
  EXPECT_EQ(size, 20u + 20 * 8 + 20 * 264);
  ASSERT_NE(sim_->ModuleData("dm_QA_conf", &size), nullptr);
  EXPECT_EQ(size, 20u * 216);
  // The diagnostics prefix got a module set of its own.
  EXPECT_NE(sim_->ModuleData("dm_QX"), nullptr);

  // Event module of 9 channels: rows of 1 byte; channel 9 (bit 8) of
  // logger 1's row lies in the byte after it.
  const uint8_t* ev = sim_->ModuleData("dm_QB_event", &size);
  ASSERT_NE(ev, nullptr);
  EXPECT_EQ(ev[1 * 1 + 1], 0x80);
}

TEST_F(CdxsimLayout, CompactErrorListUsesOnlyTheEntriesThatFit) {
  uint32_t size = 0;
  uint8_t* d = sim_->ModuleData("dm_errors", &size);
  ASSERT_NE(d, nullptr);
  ASSERT_EQ(size, 5u * 57);  // N x 57 == D: the compact layout
  // Only (D - 4) / 57 = 4 entries fit; the last free one is taken.
  SysErr_Register(3, "a-process-with-a-long-name-of-30");
  EXPECT_EQ(d[4 + 57 * 3], 3);
  EXPECT_STREQ(reinterpret_cast<char*>(d + 4 + 57 * 3 + 1), "a-process-with-a-long-na");
  SysErr_SetText("%s", "0123456789012345678901234567890123456789");
  EXPECT_STREQ(reinterpret_cast<char*>(d + 4 + 57 * 3 + 26), "012345678901234567890123456789");
  EXPECT_EQ(sim_->StatusText("a-process-with-a-long-na"), "012345678901234567890123456789");
  SysErr_ClearText();
  EXPECT_EQ(sim_->StatusText("a-process-with-a-long-na"), "");
  // Nothing was written past the data area's last whole entry.
  for (uint32_t i = 4 + 57 * 4; i < size; ++i) EXPECT_EQ(d[i], 0) << i;
}

}  // namespace
