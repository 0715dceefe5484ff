#include "platform/serial.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <memory>

#include "platform/error.h"
#include "platform/sync.h"
#include "scanner/pty_peer.h"
#include "support/child.h"

namespace {

struct ModeCase {
  const char* text;
  int baud;
  char parity;
  int data;
  int stop;
};

TEST(SerialSettings, AcceptsBothForms) {
  const ModeCase cases[] = {
      {"19200,n,8,1", 19200, 'n', 8, 1},
      {"9600,E,7,2", 9600, 'e', 7, 2},
      {" 115200 , o , 8 , 1 ", 115200, 'o', 8, 1},
      {"4800", 4800, 'n', 8, 1},
      {"1200,m", 1200, 'm', 8, 1},
      {"baud=19200 parity=n data=8 stop=1", 19200, 'n', 8, 1},
      {"BAUD=9600 PARITY=E DATA=7 STOP=2", 9600, 'e', 7, 2},
      {"stop=2 baud=38400", 38400, 'n', 8, 2},
      {"baud=2400 parity=s", 2400, 's', 8, 1},
  };
  for (const auto& c : cases) {
    plat::SerialSettings s;
    ASSERT_EQ(plat::ParseSerialSettings(c.text, &s), 0) << c.text;
    EXPECT_EQ(s.baud, c.baud) << c.text;
    EXPECT_EQ(s.parity, c.parity) << c.text;
    EXPECT_EQ(s.dataBits, c.data) << c.text;
    EXPECT_EQ(s.stopBits, c.stop) << c.text;
  }
}

TEST(SerialSettings, MalformedTextsFailWithoutGuessing) {
  const char* bad[] = {
      "",          "   ",          "fast",           "19200,x,8,1",      "19200,n,9,1",    "19200,n,8,3",
      "19200,n,8,1,1", "19200,,8,1", "12345,n,8,1",   "-9600",            "19200;n;8;1",    "19200,n,8,",
      "baud=",     "baud=19200 parity=q", "parity=n data=8", "baud=9600 baud=9600", "speed=9600",
      "baud=9600 data=8 stop=1 extra", "=9600", "19200 n 8 1", "99999999999",
  };
  for (const char* text : bad) {
    plat::SerialSettings s;
    s.baud = 777;
    errno = 0;
    EXPECT_EQ(plat::ParseSerialSettings(text, &s), -1) << "'" << text << "'";
    EXPECT_EQ(errno, 87) << text;
    EXPECT_EQ(plat::GetLastError(), 87u) << text;
    EXPECT_EQ(s.baud, 777) << "output touched for " << text;
  }
  EXPECT_EQ(plat::ParseSerialSettings(nullptr, nullptr), -1);
}

class SerialPortTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(peer_.ok()); }
  std::unique_ptr<plat::SerialPort> OpenRaw() {
    std::unique_ptr<plat::SerialPort> p(plat::SerialPort::Open(peer_.path().c_str()));
    if (p) {
      plat::SerialSettings s;
      s.baud = 19200;
      EXPECT_EQ(p->Configure(s), 0);
    }
    return p;
  }
  PtyPeer peer_;
};

TEST_F(SerialPortTest, OpenFailuresCarryTheSystemNumber) {
  errno = 0;
  EXPECT_EQ(plat::SerialPort::Open("/dev/nonexistent-tty-xyz"), nullptr);
  EXPECT_EQ(errno, 2);
  EXPECT_EQ(plat::SerialPort::Open("/dev/null"), nullptr);  // not a terminal
  EXPECT_EQ(plat::GetLastError(), static_cast<uint32_t>(plat::kErrBadDevice));
}

TEST_F(SerialPortTest, SecondOpenerIsRefusedUntilTheFirstCloses) {
  auto first = OpenRaw();
  ASSERT_TRUE(first);
  errno = 0;
  EXPECT_EQ(plat::SerialPort::Open(peer_.path().c_str()), nullptr);
  EXPECT_EQ(errno, 5);
  // Another process is refused as well.
  const std::string path = peer_.path();
  pid_t child = testsupport::ForkChild([&] {
    plat::SerialPort* p = plat::SerialPort::Open(path.c_str());
    if (p) return 1;
    return errno == 5 ? 0 : 2;
  });
  EXPECT_EQ(testsupport::WaitChild(child, 10000), 0);
  first.reset();
  auto again = OpenRaw();
  EXPECT_TRUE(again);
}

TEST_F(SerialPortTest, RawBytesPassUnchangedBothWays) {
  auto port = OpenRaw();
  ASSERT_TRUE(port);
  // Bytes a cooked line would eat or change: CR, LF, ^C, ^S, ^Q, ^D, DEL, 0xFF, NUL.
  const std::vector<uint8_t> bytes = {0x0D, 0x0A, 0x03, 0x13, 0x11, 0x04, 0x7F, 0xFF, 0x00, 0x10, 0x1A};
  ASSERT_EQ(port->Write(bytes.data(), static_cast<int>(bytes.size())), static_cast<int>(bytes.size()));
  EXPECT_EQ(peer_.Read(bytes.size()), bytes);
  peer_.Send(bytes);
  uint8_t got[32] = {};
  int n = 0;
  const int64_t until = plat::MonotonicMs() + 5000;
  while (n < static_cast<int>(bytes.size()) && plat::MonotonicMs() < until) {
    const int r = port->Read(got + n, 32 - n);
    ASSERT_GE(r, 0);
    n += r;
  }
  EXPECT_EQ(std::vector<uint8_t>(got, got + n), bytes);
}

TEST_F(SerialPortTest, ReadsNeverBlockAndCountTheQueue) {
  auto port = OpenRaw();
  ASSERT_TRUE(port);
  uint8_t b[8];
  const int64_t t0 = plat::MonotonicMs();
  EXPECT_EQ(port->Read(b, 8), 0);
  EXPECT_LT(plat::MonotonicMs() - t0, 1000);
  EXPECT_EQ(port->InQueue(), 0);
  peer_.Send({1, 2, 3, 4, 5});
  plat::Waitable* h[1] = {port.get()};
  ASSERT_EQ(plat::WaitForAny(h, 1, 5000), 0);
  int q = 0;
  for (int i = 0; i < 100 && (q = port->InQueue()) < 5; ++i) plat::SleepMs(5);
  EXPECT_EQ(q, 5);
  EXPECT_EQ(port->Read(b, 2), 2);
  EXPECT_EQ(port->InQueue(), 3);
  EXPECT_EQ(port->Purge(), 0);
  EXPECT_EQ(port->InQueue(), 0);
}

TEST_F(SerialPortTest, WaitTimesOutWhenTheLineIsQuiet) {
  auto port = OpenRaw();
  ASSERT_TRUE(port);
  plat::Waitable* h[1] = {port.get()};
  EXPECT_EQ(plat::WaitForAny(h, 1, 30), plat::kWaitTimeout);
}

// The far end goes away while a waiter sits on the line: it wakes once, the
// port says HungUp(), and later waits on it time out instead of spinning.
TEST(SerialPortHangUp, WakesTheWaiterOnceThenStaysQuiet) {
  auto peer = std::make_unique<PtyPeer>();
  ASSERT_TRUE(peer->ok());
  std::unique_ptr<plat::SerialPort> port(plat::SerialPort::Open(peer->path().c_str()));
  ASSERT_TRUE(port);
  plat::SerialSettings s;
  s.baud = 300;
  ASSERT_EQ(port->Configure(s), 0);
  EXPECT_EQ(port->WireTimeUs(1), 33334);  // 10 bits at 300 baud, rounded up
  EXPECT_EQ(port->WireTimeUs(3), 100000);
  plat::Waitable* h[1] = {port.get()};
  EXPECT_EQ(plat::WaitForAny(h, 1, 30), plat::kWaitTimeout);
  EXPECT_FALSE(port->HungUp());
  peer.reset();  // master and keeper closed
  EXPECT_EQ(plat::WaitForAny(h, 1, 10000), 0);
  EXPECT_TRUE(port->HungUp());
  const int64_t t0 = plat::MonotonicMs();
  EXPECT_EQ(plat::WaitForAny(h, 1, 50), plat::kWaitTimeout);
  EXPECT_GE(plat::MonotonicMs() - t0, 50);
  EXPECT_EQ(port->Write("x", 1), -1);
}

// A ready count holds the wait until that many bytes are queued; reads
// still take what is there at once, and a hang-up still wakes the waiter.
TEST(SerialPortReadyCount, WaitHoldsForTheCountReadsDoNotAndHangUpStillWakes) {
  auto peer = std::make_unique<PtyPeer>();
  ASSERT_TRUE(peer->ok());
  std::unique_ptr<plat::SerialPort> port(plat::SerialPort::Open(peer->path().c_str()));
  ASSERT_TRUE(port);
  plat::SerialSettings s;
  s.baud = 19200;
  ASSERT_EQ(port->Configure(s), 0);
  ASSERT_EQ(port->SetReadyCount(5), 0);
  plat::Waitable* h[1] = {port.get()};
  peer->Send({1, 2, 3});
  ASSERT_TRUE(testsupport::WaitUntil([&] { return port->InQueue() == 3; }, 5000));
  EXPECT_EQ(plat::WaitForAny(h, 1, 30), plat::kWaitTimeout);  // 3 of 5
  peer->Send({4, 5});
  EXPECT_EQ(plat::WaitForAny(h, 1, 5000), 0);
  uint8_t b[8];
  EXPECT_EQ(port->Read(b, 2), 2);  // fewer than the count: at once
  EXPECT_EQ(port->Read(b, 8), 3);
  EXPECT_EQ(port->Read(b, 8), 0);
  // Back to any byte; then a held wait that the far end's going away ends.
  ASSERT_EQ(port->SetReadyCount(1), 0);
  peer->Send({6});
  EXPECT_EQ(plat::WaitForAny(h, 1, 5000), 0);
  EXPECT_EQ(port->Read(b, 8), 1);
  ASSERT_EQ(port->SetReadyCount(255), 0);
  ASSERT_EQ(port->SetReadyCount(1000), 0);  // clamped to what the line takes
  peer.reset();
  EXPECT_EQ(plat::WaitForAny(h, 1, 10000), 0);
  EXPECT_TRUE(port->HungUp());
}

}  // namespace
