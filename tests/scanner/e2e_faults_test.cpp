// qd_poll end to end: every line fault the controller simulator can make,
// on the second node's block, each followed by a clean scan.
#include <gtest/gtest.h>

#include "scanner/qd_fixture.h"

namespace qdtest {
namespace {

using LineFaults = Installation;

TEST_F(LineFaults, FailedBlockIsBadItsTextShownAndTheCleanScanClearsIt) {
  using df1sim::Fault;
  struct Case {
    Fault fault;
    const char* text;
  } cases[] = {
      {Fault::kNak, "QA9: NAK Response to Command"},
      {Fault::kNoAck, "QA9: Timed Out On Command"},
      {Fault::kAckLate, "QA9: Timed Out On Command"},
      {Fault::kNoReply, "QA9: Receive Timed Out"},
      {Fault::kReplyLate, "QA9: Receive Timed Out"},
      {Fault::kReplyCut, "QA9: Incomplete Response"},
      {Fault::kGaps, "QA9: Incomplete Response"},
      {Fault::kGarbage, "QA9: No DLE STX on Receive"},
      {Fault::kDleAck, "QA9: Received Bad Symbol"},
      {Fault::kDleEnq, "QA9: Received Bad Symbol"},
      {Fault::kDleOther, "QA9: Received Bad Symbol"},
      {Fault::kBadBcc, "QA9: Received Bad BCC"},
      {Fault::kTooLong, "QA9: Receive Too Long"},
      {Fault::kDropByte, "QA9: Received Bad BCC"},
      {Fault::kDropDle, "QA9: Received Bad Symbol"},
      {Fault::kWrongSrc, "QA9: Check Remote Node Error"},
      {Fault::kWrongCmd, "QA9: Check Command Error"},
      {Fault::kWrongStatus, "QA9: Resp Status Error (#10)"},
      {Fault::kWrongTns, "QA9: Check TNS Error"},
      {Fault::kShort, "QA9: Check Resp Length Error"},
      {Fault::kSilent, "QA9: Timed Out On Command"},
      {Fault::kNoise, ""},
  };
  ASSERT_EQ(std::size(cases), df1sim::AllFaults().size());
  ASSERT_GT(Start(), 0);
  ASSERT_TRUE(WaitReady());
  for (const Case& c : cases) {
    SCOPED_TRACE(df1sim::FaultName(c.fault));
    plc_.SetFault(2, c.fault, 3);
    ASSERT_TRUE(Scan());
    EXPECT_EQ(Text(), c.text);
    bool failed = c.text[0] != 0;
    for (int ch = 1; ch <= 8; ++ch) EXPECT_EQ(Status(ch) & 0x20u, ch == 7 ? 0x20u : 0u) << "channel " << ch;
    for (int ch = 9; ch <= 16; ++ch) EXPECT_EQ(Status(ch) & 0x20u, failed ? 0x20u : 0u) << "channel " << ch;
    plc_.ClearFaults();
    ASSERT_TRUE(Scan());
    EXPECT_EQ(Text(), "");
    for (int ch = 9; ch <= 16; ++ch) EXPECT_EQ(Status(ch) & 0x20u, 0u) << "channel " << ch;
    // Values survive the bad scan unchanged (nothing is scaled twice).
    EXPECT_EQ(Value(1), 285.0f);
    EXPECT_EQ(Value(11), 300.0f);
  }
}

TEST_F(LineFaults, NodeThatDropsOutAndComesBackRaisesNoValueOnIt) {
  ASSERT_GT(Start(), 0);
  ASSERT_TRUE(WaitReady());
  plc_.SetFault(2, df1sim::Fault::kSilent, df1sim::kAlways);
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(Scan());
    EXPECT_EQ(Text(), "QA9: Timed Out On Command");
    EXPECT_EQ(Status(11) & 0x20u, 0x20u);
    EXPECT_EQ(Value(11), 300.0f);  // the last good value stays published
  }
  plc_.ClearFaults();
  plc_.SetWord(2, ByteAddress(22), Bcd(301));
  ASSERT_TRUE(Scan());
  EXPECT_EQ(Text(), "");
  EXPECT_EQ(Status(11), 0x80u);
  EXPECT_EQ(Value(11), 301.0f);
}

}  // namespace
}  // namespace qdtest
