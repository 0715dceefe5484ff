#include "scanner/df1read.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

TEST(Df1Command, ReadCommandLayout) {
  Df1ReadBlock b{};
  b.node = 7;
  b.start = 0x0110;
  b.size = 243;
  uint8_t cmd[kDf1CommandBytes];
  Df1_BuildReadCommand(b, 0xABCD, cmd);
  EXPECT_EQ(Bytes(cmd, cmd + 9), (Bytes{7, 0, 0x01, 0, 0xCD, 0xAB, 0x10, 0x01, 243}));
}

TEST(Df1Command, TnsCountsUpAndWraps) {
  Df1_SetTns(0xFFFE);
  EXPECT_EQ(Df1_NextTns(), 0xFFFF);
  EXPECT_EQ(Df1_NextTns(), 0x0000);
  EXPECT_EQ(Df1_NextTns(), 0x0001);
}

TEST(Df1CheckReply, Codes) {
  const Bytes cmd = {5, 0, 0x01, 0, 0x34, 0x12, 0x10, 0x00, 4};
  struct Case {
    const char* name;
    Bytes reply;
    int result;
  };
  const Case cases[] = {
      {"good", {0, 5, 0x41, 0, 0x34, 0x12, 1, 2, 3, 4}, 0},
      {"wrong node", {0, 6, 0x41, 0, 0x34, 0x12, 1, 2, 3, 4}, kDf1RemoteNodeError},
      {"wrong command", {0, 5, 0x01, 0, 0x34, 0x12, 1, 2, 3, 4}, kDf1CommandError},
      {"status", {0, 5, 0x41, 0x10, 0x34, 0x12, 1, 2, 3, 4}, kDf1StatusError},
      {"tns low", {0, 5, 0x41, 0, 0x35, 0x12, 1, 2, 3, 4}, kDf1TnsError},
      {"tns high", {0, 5, 0x41, 0, 0x34, 0x13, 1, 2, 3, 4}, kDf1TnsError},
      {"one short", {0, 5, 0x41, 0, 0x34, 0x12, 1, 2, 3}, kDf1LengthError},
      {"one long", {0, 5, 0x41, 0, 0x34, 0x12, 1, 2, 3, 4, 5}, kDf1LengthError},
      {"header only", {0, 5, 0x41, 0, 0x34, 0x12}, kDf1LengthError},
      // Shorter than the header: a length error before any field is read,
      // even when the stale bytes would pass (the sanitizer catches a read).
      {"five bytes", {0, 5, 0x41, 0, 0x34}, kDf1LengthError},
      {"empty", {}, kDf1LengthError},
  };
  for (const auto& c : cases) {
    // Exactly sized copy, so an out-of-range read is caught.
    std::vector<uint8_t> exact(c.reply);
    const uint8_t* p = exact.empty() ? nullptr : exact.data();
    errno = 0;
    EXPECT_EQ(Df1_CheckReply(cmd.data(), p, static_cast<int>(exact.size())), c.result) << c.name;
    if (c.result == kDf1StatusError) {
      EXPECT_EQ(errno, 0x10);
    }
  }
}

TEST(Df1Decode, BcdWords) {
  struct Case {
    uint8_t lo, hi;
    float value;
  };
  const Case cases[] = {
      {0x42, 0x01, 142}, {0x42, 0x0A, 42},  {0x00, 0x00, 0},   {0x99, 0x09, 999},
      {0x42, 0xF1, 142},  // the high nibble of hi is ignored
      {0x4F, 0x00, 55},   // a low nibble above 9 is taken as it is: 4*10 + 15
      {0xA0, 0x00, 100},  // so is a high one: 10*10
      {0x05, 0x0F, 5},
  };
  for (const auto& c : cases) EXPECT_EQ(Df1_DecodeBcd(c.lo, c.hi), c.value) << int(c.lo) << "," << int(c.hi);
}

TEST(Df1ErrorTexts, EveryCode) {
  const char* want[] = {
      "",
      "ai3: Bit Error",
      "ai3: Command Too Long",
      "ai3: Timed Out On Command",
      "ai3: NAK Response to Command",
      "ai3: Unrecognised Response",
      "ai3: Receive Timed Out",
      "ai3: Incomplete Response",
      "ai3: No DLE STX on Receive",
      "ai3: Received Bad Symbol",
      "ai3: Received Bad BCC",
      "ai3: Receive Too Long",
      "ai3: Check Remote Node Error",
      "ai3: Check Command Error",
      "ai3: Check TNS Error",
      "ai3: Check Resp Length Error",
      "ai3: Resp Status Error (#10)",
      "", "", "", "", "",
  };
  for (int code = 0; code < 22; ++code) {
    char buf[128];
    Df1_FormatError(buf, sizeof buf, code, "aixx", 3, 0x10);
    EXPECT_EQ(std::string(buf), want[code]) << code;
  }
  EXPECT_STREQ(Df1_ErrorFormat(16), "%.2s%d: Resp Status Error (#%02x)");
  EXPECT_STREQ(Df1_ErrorFormat(99), "");
  char small[8];
  Df1_FormatError(small, sizeof small, 3, "ai", 12345, 0);
  EXPECT_EQ(std::string(small), "ai12345");
}

}  // namespace
