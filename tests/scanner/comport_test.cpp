// Opening the port from the device record, settings and path from the registry.
#include "scanner/comport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <atomic>
#include <thread>
#include "platform/process.h"

#include "cdxlib/shm/signals.h"
#include "platform/registry.h"
#include "platform/sync.h"
#include "tools/df1sim/df1sim.h"

namespace {

void PutSz(const char* key, const std::string& name, const std::string& value) {
  plat::HKEY k = nullptr;
  ASSERT_EQ(plat::RegCreateKeyEx(plat::HKEY_LOCAL_MACHINE, key, plat::REG_OPTION_NON_VOLATILE, plat::KEY_SET_VALUE,
                                 &k, nullptr),
            0u);
  ASSERT_EQ(plat::RegSetValueEx(k, name.c_str(), plat::REG_SZ, value.c_str(), static_cast<uint32_t>(value.size() + 1)),
            0u);
  plat::RegCloseKey(k);
}

DeviceRecord Record(int number, const char* port) {
  DeviceRecord r;
  std::memset(&r, 0, sizeof r);
  r.DeviceNumber = static_cast<uint16_t>(number);
  std::strncpy(r.Config.Comm.Port, port, sizeof r.Config.Comm.Port - 1);
  return r;
}

class ComOpenTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(sim_.Start(), 0); }
  void TearDown() override {
    Com_Close();
    sim_.Stop();
  }
  df1sim::Simulator sim_;
};

TEST_F(ComOpenTest, NamedPortOpensWithItsSettings) {
  PutSz(kPortsKey, "COM2:", "baud=9600 parity=e data=7 stop=1");
  PutSz(kPortMapKey, "COM2", sim_.SlavePath());
  DeviceRecord r = Record(5, "COM2");
  ComPort p = Com_Open(&r);
  ASSERT_NE(p, nullptr) << errno;
  EXPECT_EQ(p->path(), sim_.SlavePath());
  EXPECT_EQ(Com_Port(), p);
  EXPECT_STREQ(r.Config.Comm.Port, "COM2");
  // A second open closes the first and opens again.
  EXPECT_NE(Com_Open(&r), nullptr) << errno;
}

TEST_F(ComOpenTest, EmptyNameIsBuiltFromTheDeviceNumber) {
  PutSz(kPortsKey, "COM7:", "19200,n,8,1");
  PutSz(kPortMapKey, "COM7", sim_.SlavePath());
  DeviceRecord r = Record(7, "");
  ASSERT_NE(Com_Open(&r), nullptr);
  EXPECT_STREQ(r.Config.Comm.Port, "COM7");
}

TEST_F(ComOpenTest, LongBuiltNameNeverOverrunsTheRecordField) {
  PutSz(kPortsKey, "COM12345:", "19200,n,8,1");
  PutSz(kPortMapKey, "COM12345", sim_.SlavePath());
  DeviceRecord r = Record(12345, "");
  std::memset(r.Config.DriverPart, 0xAB, sizeof r.Config.DriverPart);
  ASSERT_NE(Com_Open(&r), nullptr);
  EXPECT_EQ(r.Config.Comm.Port[0], 0);  // left empty: "COM12345" does not fit
  EXPECT_EQ(r.Config.DriverPart[0], 0xAB);
  DeviceRecord r2 = Record(123456 & 0xFFFF, "");
  EXPECT_EQ(Com_PortName(&r2), "COM57920");
}

TEST_F(ComOpenTest, MissingOrBadSettingsFail) {
  PutSz(kPortMapKey, "COM3", sim_.SlavePath());
  DeviceRecord r = Record(3, "COM3");
  errno = 0;
  EXPECT_EQ(Com_Open(&r), nullptr);
  EXPECT_EQ(errno, 2);  // no settings value: there are no defaults
  PutSz(kPortsKey, "COM3:", "19200,n,8,1,extra");
  EXPECT_EQ(Com_Open(&r), nullptr);
  EXPECT_EQ(errno, 87);
  PutSz(kPortsKey, "COM3:", std::string(120, '9'));
  EXPECT_EQ(Com_Open(&r), nullptr);
  EXPECT_EQ(errno, 234);  // longer than the 101-byte mode text
  EXPECT_EQ(Com_Port(), nullptr);
}

TEST_F(ComOpenTest, DefaultDevicePaths) {
  EXPECT_EQ(Com_DevicePath("COM1"), "/dev/ttyS0");
  EXPECT_EQ(Com_DevicePath("com4"), "/dev/ttyS3");
  EXPECT_EQ(Com_DevicePath("COM0"), "");
  EXPECT_EQ(Com_DevicePath("LPT1"), "");
  EXPECT_EQ(errno, 2);
}

TEST_F(ComOpenTest, WaitForInputTakesItsFullTimeWhileSignalsArrive) {
  PutSz(kPortsKey, "COM1:", "19200,n,8,1");
  PutSz(kPortMapKey, "COM1", sim_.SlavePath());
  DeviceRecord r = Record(1, "COM1");
  ComPort p = Com_Open(&r);
  ASSERT_NE(p, nullptr);
  static int handled = 0;
  Sig_InstallHandler([](int) { return ++handled; });
  const int32_t self = plat::GetPid();
  std::atomic<bool> stop{false};
  std::thread flood([&] {
    while (!stop) {
      Sig_Send(self, 999);
      plat::SleepMs(1);
    }
  });
  const int64_t t0 = plat::MonotonicMs();
  EXPECT_EQ(Com_WaitInput(p, 300), 0);
  const int64_t took = plat::MonotonicMs() - t0;
  stop = true;
  flood.join();
  Sig_RemoveHandler();
  EXPECT_GE(took, 300);  // a flood of signals does not shorten the time-out
  EXPECT_LT(took, 10000);
  EXPECT_GT(handled, 0);  // and they were delivered meanwhile
}

}  // namespace
