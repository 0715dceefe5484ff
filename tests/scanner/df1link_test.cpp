#include "scanner/df1link.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <thread>
#include <vector>

#include "platform/error.h"
#include "platform/sync.h"
#include "scanner/pty_peer.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Short windows keep the tests that wait for nothing quick; the logic is the same.
// Tests in which the far end answers use wide ones.
constexpr Df1Timeouts kShort{40, 100, 40};
constexpr Df1Timeouts kWide{10000, 10000, 10000};

class Df1LinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(peer_.ok());
    Df1_ResetLink();
    Df1_SetTimeouts(kShort);
    port_ = Com_OpenPath(peer_.path().c_str(), "19200,n,8,1");
    ASSERT_NE(port_, nullptr);
  }
  void TearDown() override {
    Com_Close();
    Df1_SetTimeouts({});
  }
  // Sends a frame with nobody answering and returns what went on the wire.
  Bytes WireOf(const Bytes& data, int* result) {
    *result = Df1_SendFrame(port_, data.data(), static_cast<int>(data.size()));
    return peer_.Drain();
  }
  PtyPeer peer_;
  ComPort port_ = nullptr;
};

TEST(Df1Checks, BccLrcCrc) {
  const Bytes d = {0x10, 0x01};
  EXPECT_EQ(Df1_Bcc(d.data(), 2), 0xEF);
  EXPECT_EQ(Df1_Bcc(nullptr, 0), 0x00);
  const Bytes sum0x10 = {0xF0};  // BCC of 0xF0 is 0x10
  EXPECT_EQ(Df1_Bcc(sum0x10.data(), 1), 0x10);
  const Bytes x = {0x12, 0x34, 0x56};
  EXPECT_EQ(Df1_Lrc(x.data(), 3), 0x12 ^ 0x34 ^ 0x56);
  const char* check = "123456789";
  EXPECT_EQ(Df1_Crc16(reinterpret_cast<const uint8_t*>(check), 9), 0x31C3);
  EXPECT_EQ(Df1_Crc16(nullptr, 0), 0);
}

TEST(Df1Open, BadModeTextOrDeviceFails) {
  PtyPeer peer;
  ASSERT_TRUE(peer.ok());
  errno = 0;
  EXPECT_EQ(Com_OpenPath(peer.path().c_str(), "fast"), nullptr);
  EXPECT_EQ(errno, 87);
  EXPECT_EQ(Com_Port(), nullptr);
  EXPECT_EQ(Com_OpenPath("/dev/no-such-tty", "9600"), nullptr);
  EXPECT_EQ(errno, 2);
}

TEST_F(Df1LinkTest, GoldenFrames) {
  int r = -1;
  // The DLE in the data is doubled; the BCC is over the plain data.
  EXPECT_EQ(WireOf({0x10, 0x01}, &r), (Bytes{0x10, 0x02, 0x10, 0x10, 0x01, 0x10, 0x03, 0xEF}));
  EXPECT_EQ(r, kDf1CommandTimeout);
  // A read command whose start address low byte is 0x10 (word 10 octal = byte 16).
  const Bytes cmd = {0x01, 0x00, 0x01, 0x00, 0x34, 0x12, 0x10, 0x00, 0x04};
  uint8_t bcc = Df1_Bcc(cmd.data(), 9);
  EXPECT_EQ(WireOf(cmd, &r), (Bytes{0x10, 0x02, 0x01, 0x00, 0x01, 0x00, 0x34, 0x12, 0x10, 0x10, 0x00, 0x04, 0x10,
                                    0x03, bcc}));
  // A BCC of 0x10 goes out single.
  EXPECT_EQ(WireOf({0xF0}, &r), (Bytes{0x10, 0x02, 0xF0, 0x10, 0x03, 0x10}));
}

TEST_F(Df1LinkTest, SendBufferLimits) {
  struct Case {
    size_t n;
    uint8_t fill;
    int result;
  };
  const Case cases[] = {{250, 0x55, kDf1CommandTimeout}, {251, 0x55, kDf1CommandTooLong},
                        {125, 0x10, kDf1CommandTimeout}, {126, 0x10, kDf1CommandTooLong}};
  for (const auto& c : cases) {
    int r = -1;
    const Bytes wire = WireOf(Bytes(c.n, c.fill), &r);
    EXPECT_EQ(r, c.result) << c.n;
    if (c.result == kDf1CommandTooLong) {
      EXPECT_TRUE(wire.empty()) << "nothing is sent for " << c.n;
    } else {
      EXPECT_EQ(wire.size(), c.fill == 0x10 ? 2 * c.n + 5 : c.n + 5);
    }
  }
}

// The acknowledgement that the far end gives a frame, and what SendFrame makes of it.
TEST_F(Df1LinkTest, AcknowledgementResults) {
  struct Case {
    Bytes answer;
    int result;
  };
  const Case cases[] = {
      {{0x10, 0x06}, kDf1Ok},          {{0x10, 0x15}, kDf1CommandNak},   {{}, kDf1CommandTimeout},
      {{0x42}, kDf1Unrecognised},      {{0x10, 0x02}, kDf1Unrecognised}, {{0x10, 0x05}, kDf1Unrecognised},
      {{0x10, 0x99}, kDf1Unrecognised}, {{0x10}, kDf1CommandTimeout},  // the pair never completes
  };
  for (const auto& c : cases) {
    // An answer that comes is read in a wide window, so that a far end slowed by a
    // busy machine still answers in time; the short window is kept for the cases
    // that must time out.
    Df1_SetTimeouts(c.result == kDf1CommandTimeout ? kShort : kWide);
    std::thread far([&] {
      peer_.Read(7, 2000);  // the frame of two data bytes
      if (!c.answer.empty()) peer_.Send(c.answer);
    });
    const Bytes d = {0x42, 0x43};
    const int r = Df1_SendFrame(port_, d.data(), 2);
    far.join();
    EXPECT_EQ(r, c.result) << ::testing::PrintToString(c.answer);
    peer_.Drain(20);
  }
}

TEST_F(Df1LinkTest, EnquiryIsAnsweredWithTheLastResponse) {
  // Before any response the answer is DLE NAK; the send reports 5.
  Df1_SetTimeouts(kWide);
  std::thread far([&] {
    peer_.Read(6, 2000);
    peer_.Send({0x10, 0x05});
  });
  const Bytes d = {0x42};
  EXPECT_EQ(Df1_SendFrame(port_, d.data(), 1), kDf1Unrecognised);
  far.join();
  EXPECT_EQ(peer_.Read(2, 1000), (Bytes{0x10, 0x15}));
  Df1_SendAck(port_);
  EXPECT_EQ(peer_.Read(2, 1000), (Bytes{0x10, 0x06}));
  Df1_RepeatResponse(port_);
  EXPECT_EQ(peer_.Read(2, 1000), (Bytes{0x10, 0x06}));
  Df1_SendNak(port_);
  EXPECT_EQ(peer_.Read(2, 1000), (Bytes{0x10, 0x15}));
  EXPECT_EQ(Df1_LastResponse(), kDf1Nak);
}

struct RxCase {
  const char* name;
  Bytes wire;
  int capacity;
  int result;
  Bytes data;
};

TEST_F(Df1LinkTest, ReceiveFrameCases) {
  const RxCase cases[] = {
      {"good", {0x10, 0x02, 0x01, 0x02, 0x10, 0x03, 0xFD}, 8, kDf1Ok, {0x01, 0x02}},
      {"bcc is 0x10", {0x10, 0x02, 0xF0, 0x10, 0x03, 0x10}, 8, kDf1Ok, {0xF0}},
      {"stuffed dle", {0x10, 0x02, 0x10, 0x10, 0x01, 0x10, 0x03, 0xEF}, 8, kDf1Ok, {0x10, 0x01}},
      {"exactly capacity", {0x10, 0x02, 0x01, 0x02, 0x03, 0x10, 0x03, 0xFA}, 3, kDf1Ok, {0x01, 0x02, 0x03}},
      {"one over capacity", {0x10, 0x02, 0x01, 0x02, 0x03, 0x04, 0x10, 0x03, 0xF6}, 3, kDf1TooLong, {}},
      {"stuffed dle over capacity", {0x10, 0x02, 0x01, 0x10, 0x10, 0x10, 0x03, 0xEF}, 1, kDf1TooLong, {}},
      {"nothing", {}, 8, kDf1ReceiveTimeout, {}},
      {"data first", {0x55, 0x10, 0x02, 0x10, 0x03, 0x00}, 8, kDf1NoStx, {}},
      {"cut short", {0x10, 0x02, 0x01, 0x02}, 8, kDf1Incomplete, {}},
      {"no bcc", {0x10, 0x02, 0x01, 0x10, 0x03}, 8, kDf1BadBcc, {}},
      {"wrong bcc", {0x10, 0x02, 0x01, 0x10, 0x03, 0x00}, 8, kDf1BadBcc, {}},
      {"dle ack inside", {0x10, 0x02, 0x01, 0x10, 0x06, 0x10, 0x03, 0xFF}, 8, kDf1BadSymbol, {}},
      {"dle stx inside", {0x10, 0x02, 0x01, 0x10, 0x02}, 8, kDf1BadSymbol, {}},
      {"dle other inside", {0x10, 0x02, 0x01, 0x10, 0x41}, 8, kDf1BadSymbol, {}},
      {"dle alone at the end", {0x10, 0x02, 0x01, 0x10}, 8, kDf1Incomplete, {}},
  };
  for (const auto& c : cases) {
    Com_Purge(port_);
    peer_.Send(c.wire);
    uint8_t buf[16] = {};
    int n = -1;
    const int r = Df1_ReceiveFrame(port_, buf, &n, c.capacity);
    EXPECT_EQ(r, c.result) << c.name;
    if (c.result == kDf1Ok) {
      EXPECT_EQ(Bytes(buf, buf + n), c.data) << c.name;
    } else {
      EXPECT_EQ(n, 0) << c.name;
    }
    if (c.result == kDf1NoStx) {
      EXPECT_EQ(errno, 0x55) << c.name;
    }
    plat::SleepMs(50);  // let what is left of the case arrive before the purge
  }
}

TEST_F(Df1LinkTest, EnquiryInsideAFrameIsAnsweredAndReportedBad) {
  Df1_SendAck(port_);
  peer_.Drain(20);
  peer_.Send({0x10, 0x02, 0x01, 0x10, 0x05, 0x02, 0x10, 0x03, 0xFD});
  uint8_t buf[8];
  int n = -1;
  EXPECT_EQ(Df1_ReceiveFrame(port_, buf, &n, 8), kDf1BadSymbol);
  EXPECT_EQ(peer_.Read(2, 1000), (Bytes{0x10, 0x06}));
}

TEST_F(Df1LinkTest, SymbolsAndByteReads) {
  peer_.Send({0x10, 0x02, 0x10, 0x03, 0x10, 0x06, 0x10, 0x15, 0x10, 0x10, 0x10, 0x77, 0x33});
  const int expect[] = {kSymStx, kSymEtx, kSymAck, kSymNak, kSymDle, kSymOther, 0x33, kSymTimeout};
  for (int e : expect) EXPECT_EQ(Df1_ReadSymbol(port_, 200), e);
  peer_.Send({1, 2, 3, 4, 5, '\n', 7});
  uint8_t buf[8];
  EXPECT_EQ(Com_ReadBytes(port_, buf, 3, 200), 3);
  EXPECT_EQ(buf[2], 3);
  EXPECT_EQ(Com_ReadUntil(port_, buf, '\n', 8, 200), 3);
  EXPECT_EQ(buf[2], '\n');
  EXPECT_EQ(buf[3], 0);
  EXPECT_EQ(Com_ReadBytes(port_, buf, 4, 50), 1);  // only 7 was left
}

TEST_F(Df1LinkTest, WaitInputHonoursItsDeadline) {
  const int64_t t0 = plat::MonotonicMs();
  EXPECT_EQ(Com_WaitInput(port_, 60), 0);
  const int64_t took = plat::MonotonicMs() - t0;
  EXPECT_GE(took, 60);
  EXPECT_LT(took, 10000);
  peer_.Send({9});
  EXPECT_GT(Com_WaitInput(port_, 5000), 0);
  EXPECT_EQ(Com_ReadByte(port_, 10), 9);
  EXPECT_EQ(Com_ReadByte(port_, 10), -1);
}

TEST_F(Df1LinkTest, PurgeDropsBufferedAndQueuedInput) {
  peer_.Send({1, 2, 3});
  EXPECT_EQ(Com_ReadByte(port_, 1000), 1);  // 2 and 3 now sit in the receive buffer
  peer_.Send({4, 5});
  plat::SleepMs(30);
  Com_Purge(port_);
  EXPECT_EQ(Com_ReadByte(port_, 30), -1);
}

}  // namespace
