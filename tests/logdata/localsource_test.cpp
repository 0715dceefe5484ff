// The in-process logged-data source, reached the way every program reaches
// it: requests sent through the command client to a logged-data location.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cdxlib/records/chanconfig.h"
#include "cdxlib/sys/registry.h"
#include "cdxlib/client/srvclient.h"
#include "cdxlib/client/requests.h"
#include "cdxlib/client/reqbuffers.h"
#include "logdata/localsource.h"
#include "logdata/logfilecollection.h"
#include "logdata/logfilestore.h"
#include "platform/error.h"
#include "platform/debugout.h"
#include "platform/files.h"
#include "platform/named_mutex.h"
#include "platform/registry.h"
#include "platform/shm.h"
#include "platform/sync.h"
#include "support/child.h"

namespace {

std::string TestDir(const std::string& name) {
  std::string d = std::string(getenv("CDXPLAT_ROOT")) + "/" + name;
  plat::MakeDirectories(d);
  return d;
}

struct Block {
  char prefix[3];
  int first, last;
  bool digital;
  const char* source;
};

// A logger directory with one log: its header, channel records and a writer.
class LogFixture {
 public:
  LogFixture(const std::string& dir, const std::vector<Block>& blocks, int32_t start = 1704164645,
             bool withZone = false)
      : blocks_(blocks) {
    header_.marker = kLogHeaderMarker;
    header_.blockCount = static_cast<uint16_t>(blocks.size());
    header_.start = TimeStamp{start, 0, 0};
    uint32_t rec = 18, chan = 900;
    for (size_t i = 0; i < blocks.size(); ++i) {
      LogBlockDescriptor& d = header_.blocks[i];
      memcpy(d.prefix, blocks[i].prefix, 2);
      d.firstChannel = static_cast<uint16_t>(blocks[i].first);
      d.lastChannel = static_cast<uint16_t>(blocks[i].last);
      d.valueKind = blocks[i].digital ? kLogKindDigital : 8;
      d.valueOffset = static_cast<uint16_t>(rec);
      if (blocks[i].source) snprintf(d.sourceName, sizeof d.sourceName, "%s", blocks[i].source);
      int n = blocks[i].last - blocks[i].first + 1;
      rec += 8 * n + 2;
      chan += 216 * n + 4;
      std::vector<ChannelConfig> cc(static_cast<size_t>(n));
      for (int k = 0; k < n; ++k) {
        ChannelConfig& c = cc[static_cast<size_t>(k)];
        memset(&c, 0, sizeof c);
        char tag[16];
        snprintf(tag, sizeof tag, "%.2s%d", blocks[i].prefix, blocks[i].first + k);
        Chan_SetTag(&c, tag);
        Chan_SetDescription(&c, "LOGGED");
        // The second channel of every block was an output.
        c.Type = blocks[i].digital ? (k == 1 ? kKindDO : kKindDI) : (k == 1 ? kKindAO : kKindAI);
      }
      channels_.push_back(cc);
    }
    header_.recordLength = rec;
    bool ext = withZone || blocks.size() > 16;
    if (ext) {
      header_.extLength = kLogExtBlockMax;
      header_.extOffset = chan;
      for (uint32_t i = 0; i < kLogExtensionSize; ++i) header_.extension[i] = static_cast<uint8_t>(i * 7 + 1);
    }
    header_.headerLength = chan + (ext ? kLogExtBlockMax : 0);
    coll_.Open(dir.c_str(), dir.c_str(), "", "", kGenericRead | kGenericWrite);
    std::vector<ChannelConfig*> ptrs;
    for (auto& c : channels_) ptrs.push_back(c.data());
    store_ = coll_.CreateLog(&start, 0, 0, &header_, "[HEADER]\r\nWell: W1\r\n[TEXT]\r\n24/01/02 03:04:05 started\r\n",
                             0, nullptr, 0, ptrs.data());
  }
  ~LogFixture() {
    if (store_) {
      store_->Close();
      store_->Destroy(1);
    }
  }
  bool ok() const { return store_ != nullptr; }
  const LogHeader& header() const { return header_; }

  // One record at `seconds`: channel c of every block gets flags and value.
  int Append(int32_t seconds, int16_t ms, const std::function<void(int block, int channel, int32_t*, float*)>& fill) {
    std::vector<uint8_t> r(header_.recordLength, 0);
    LogRecord head{};
    head.marker = kLogRecordMarker;
    head.level = 1;
    head.seconds = seconds;
    head.milliseconds = ms;
    memcpy(r.data(), &head, sizeof head);
    for (size_t b = 0; b < blocks_.size(); ++b) {
      const LogBlockDescriptor& d = header_.blocks[b];
      int n = d.lastChannel - d.firstChannel + 1;
      for (int k = 0; k < n; ++k) {
        int32_t flags = blocks_[b].digital ? 0 : kLogFlagPresent;
        float v = static_cast<float>(seconds % 1000) + static_cast<float>(k) / 10;
        fill(static_cast<int>(b), d.firstChannel + k, &flags, &v);
        memcpy(r.data() + d.valueOffset + 4 * k, &flags, 4);
        memcpy(r.data() + d.valueOffset + 4 * n + 4 * k, &v, 4);
      }
    }
    return store_->AppendRecords(&header_, r.data(), 1);
  }
  int Append(int32_t seconds) {
    return Append(seconds, 0, [](int, int, int32_t*, float*) {});
  }
  int WriteLine(int32_t seconds, const char* text) { return store_->WriteText(seconds, text, nullptr, "TEXT"); }

 private:
  std::vector<Block> blocks_;
  LogHeader header_{};
  std::vector<std::vector<ChannelConfig>> channels_;
  CLogFileCollection coll_;
  CLogStore* store_ = nullptr;
};

// A request through the command client: the result, the reply bytes.
int Send(const std::string& server, const std::string& request, std::string* reply, uint32_t capacity = 32768) {
  std::vector<char> buf(capacity + 1);
  uint32_t n = capacity;
  int r = Srv_SendRequest(server.c_str(), request.c_str(), buf.data(), &n);
  reply->assign(buf.data(), n);
  return r;
}

template <typename T>
T At(const std::string& b, size_t off) {
  T v{};
  if (off + sizeof v <= b.size()) memcpy(&v, b.data() + off, sizeof v);
  return v;
}

class LocalSource : public ::testing::Test {
 protected:
  void SetUp() override { Local_InstallTransport(); }
  void TearDown() override { Srv_CloseAll(); }
};

const std::vector<Block> kThreeBlocks = {
    {"QA", 1, 4, false, "ANALOG INPUTS"}, {"QB", 1, 3, true, nullptr}, {"QA", 5, 6, false, nullptr}};

TEST_F(LocalSource, ProcessorsCountsAndListsAsAServerWould) {
  std::string dir = TestDir("logger1");
  LogFixture log(dir, kThreeBlocks);
  ASSERT_TRUE(log.ok());
  ASSERT_EQ(log.Append(1704164700), 0);
  std::string r;
  // Two prefixes and the status channels.
  EXPECT_EQ(Send(dir, "QP,", &r), 3);
  EXPECT_EQ(Send(dir, "QE,", &r), 0);
  EXPECT_EQ(r, std::string("0\0", 2));
  EXPECT_EQ(Send(dir, "IP,*,3", &r), 1);
  EXPECT_STREQ(r.c_str(),
               "1,USERAA,ANALOG INPUTS,QA:6,0,A;USERAB,QB CHANNELS,QB:3,0,D;logst,LOGGER STATUS CHANNELS,LS:56,0,A;");
  // The first n entries only; a number asks for one entry; names whole.
  EXPECT_EQ(Send(dir, "IP,*,1", &r), 1);
  EXPECT_STREQ(r.c_str(), "1,USERAA,ANALOG INPUTS,QA:6,0,A;");
  EXPECT_EQ(Send(dir, "IP,2", &r), 1);
  EXPECT_STREQ(r.c_str(), "1,USERAB,QB CHANNELS,QB:3,0,D;");
  EXPECT_EQ(Send(dir, "IP,userab", &r), 1);
  EXPECT_STREQ(r.c_str(), "1,USERAB,QB CHANNELS,QB:3,0,D;");
  EXPECT_EQ(Send(dir, "IP,logst", &r), 1);
  EXPECT_STREQ(r.c_str(), "1,logst,LOGGER STATUS CHANNELS,LS:56,0,A;");
  EXPECT_EQ(Send(dir, "IP,USERZZ", &r), 0);
  EXPECT_STREQ(r.c_str(), "0,");
  EXPECT_EQ(Send(dir, "TP,*,3", &r), 1);
  EXPECT_STREQ(r.c_str(), "1,1,1,;1,1,;1,1,;");
  // Codes the source does not know.
  EXPECT_EQ(Send(dir, "ZZ,1", &r), 0);
  EXPECT_STREQ(r.c_str(), "0");
}

TEST_F(LocalSource, TwentySeventhPrefixIsUserBA) {
  std::string dir = TestDir("logger27");
  std::vector<Block> blocks;
  for (int i = 0; i < 27; ++i) {
    Block b{};
    b.prefix[0] = static_cast<char>('A' + i / 26);
    b.prefix[1] = static_cast<char>('A' + i % 26);
    b.first = 1;
    b.last = 1;
    blocks.push_back(b);
  }
  LogFixture log(dir, blocks);
  ASSERT_TRUE(log.ok());
  ASSERT_EQ(log.Append(1704164700), 0);
  std::string r;
  EXPECT_EQ(Send(dir, "QP,", &r), 28);
  EXPECT_EQ(Send(dir, "IP,27", &r), 1);
  EXPECT_STREQ(r.c_str(), "1,USERBA,BA CHANNELS,BA:1,0,A;");
  EXPECT_EQ(Send(dir, "IP,26", &r), 1);
  EXPECT_STREQ(r.c_str(), "1,USERAZ,AZ CHANNELS,AZ:1,0,A;");
}

TEST_F(LocalSource, ChannelConfigurationsAndNewestValuesAreBinaryGroups) {
  std::string dir = TestDir("logger2");
  LogFixture log(dir, kThreeBlocks);
  ASSERT_TRUE(log.ok());
  ASSERT_EQ(log.Append(1704164700), 0);
  const float inf = std::numeric_limits<float>::infinity();
  ASSERT_EQ(log.Append(1704164760, 250,
                       [&](int block, int ch, int32_t* flags, float* v) {
                         if (block == 0 && ch == 2) *flags = kLogFlagMissing | kLogFlagPresent;
                         if (block == 0 && ch == 3) *v = inf;  // returned as missing
                         if (block == 0 && ch == 4) *flags |= 0x40;
                         if (block == 1 && ch == 2) *flags = 1;
                         if (block == 2 && ch == 6) *v = 42.5f;
                       }),
            0);
  std::string r;
  ASSERT_GE(Send(dir, "CV,QA,1,2,6,QB,2,9,ZZ,1", &r), 0);
  // Per prefix: the current log's stamp, then one 216-byte record per channel.
  ASSERT_EQ(r.size(), 3 * 8 + 6 * 216u);
  EXPECT_EQ(At<int32_t>(r, 0), 1704164645);
  ChannelConfig c;
  memcpy(&c, r.data() + 8, sizeof c);
  EXPECT_STREQ(Chan_GetTag(c), "QA1");
  memcpy(&c, r.data() + 8 + 216, sizeof c);
  EXPECT_STREQ(Chan_GetTag(c), "QA2");
  EXPECT_EQ(c.Type, kKindAI);  // logged output shown as an input
  memcpy(&c, r.data() + 8 + 2 * 216, sizeof c);
  EXPECT_STREQ(Chan_GetTag(c), "QA6");  // from the second QA block
  memcpy(&c, r.data() + 8 + 3 * 216 + 8, sizeof c);
  EXPECT_STREQ(Chan_GetTag(c), "QB2");
  EXPECT_EQ(c.Type, kKindDI);
  memcpy(&c, r.data() + 8 + 4 * 216 + 8, sizeof c);
  EXPECT_EQ(Chan_GetTag(c)[0], '\0');  // no such channel: zeros
  EXPECT_EQ(At<int32_t>(r, 8 + 5 * 216 + 16), 0);  // unknown prefix: stamp 0

  ASSERT_GE(Send(dir, "RV,QA,1,2,3,4,6,0,5,QB,2", &r), 0);
  size_t at = 8;
  EXPECT_EQ(At<uint32_t>(r, at), 0x80u);
  EXPECT_FLOAT_EQ(At<float>(r, at + 4), 760.0f);
  at += 8;
  EXPECT_EQ(At<uint32_t>(r, at), 0xA0u);  // missing: no value follows
  at += 4;
  EXPECT_EQ(At<uint32_t>(r, at), 0xA0u);  // infinite: missing
  at += 4;
  EXPECT_EQ(At<uint32_t>(r, at), 0x80u);  // 0x40 cleared
  EXPECT_FLOAT_EQ(At<float>(r, at + 4), 760.3f);
  at += 8;
  EXPECT_EQ(At<uint32_t>(r, at), 0x80u);
  EXPECT_FLOAT_EQ(At<float>(r, at + 4), 42.5f);
  at += 8;  // the 0 ended QA's list: 5 is not answered
  at += 8;  // QB's stamp (8 bytes)
  EXPECT_EQ(At<uint32_t>(r, at), 1u);  // digital state, no value
  EXPECT_EQ(r.size(), at + 4);

  // An empty first prefix.
  EXPECT_EQ(Send(dir, "RV,1,2", &r), 0);
  EXPECT_STREQ(r.c_str(), "0");
}

TEST_F(LocalSource, StatusChannelsWithoutAnLsBlock) {
  std::string dir = TestDir("logger3");
  LogFixture log(dir, kThreeBlocks);
  ASSERT_TRUE(log.ok());
  ASSERT_EQ(log.Append(1704164700), 0);
  ASSERT_EQ(log.Append(1704164701), 0);
  std::string r;
  ASSERT_GE(Send(dir, "CV,LS,1,10,16", &r), 0);
  ASSERT_EQ(r.size(), 8 + 3 * 216u);
  ChannelConfig c;
  memcpy(&c, r.data() + 8, sizeof c);
  EXPECT_STREQ(Chan_GetTag(c), "0001_STATUS");
  memcpy(&c, r.data() + 8 + 216, sizeof c);
  EXPECT_STREQ(Chan_GetTag(c), "0001_ACTIVITY");
  EXPECT_STREQ(std::string(c.digital.HighStateText, 32).c_str(), "Logging");
  ASSERT_GE(Send(dir, "RV,LS,1,16,17", &r), 0);
  EXPECT_EQ(At<uint32_t>(r, 8), 1u);  // STATUS: a log is open
  EXPECT_EQ(At<uint32_t>(r, 12), 0x80u);
  EXPECT_FLOAT_EQ(At<float>(r, 16), 2.0f);  // records written
  EXPECT_FLOAT_EQ(At<float>(r, 24), 2.0f * log.header().recordLength);
}

TEST_F(LocalSource, TagsTimeZoneAndCapacity) {
  std::string dir = TestDir("logger4");
  LogFixture log(dir, kThreeBlocks, 1704164645, true);
  ASSERT_TRUE(log.ok());
  ASSERT_EQ(log.Append(1704164800, 123, [](int, int, int32_t*, float*) {}), 0);
  std::string r;
  EXPECT_EQ(Send(dir, "TC,qb3,NOSUCHTAG,QA5", &r), 1);
  ASSERT_EQ(r.size(), 2 + 12u);
  EXPECT_EQ(r.substr(0, 4), "1,QB");
  EXPECT_EQ(At<uint16_t>(r, 4), 3);
  EXPECT_EQ(r.substr(6, 4), std::string(4, '\0'));
  EXPECT_EQ(r.substr(10, 2), "QA");
  EXPECT_EQ(At<uint16_t>(r, 12), 5);

  EXPECT_EQ(Send(dir, "TS", &r, 272), 1704164800);
  ASSERT_EQ(r.size(), strlen("1704164800,123") + 1 + 172);
  EXPECT_STREQ(r.c_str(), "1704164800,123");
  EXPECT_EQ(memcmp(r.data() + 15, log.header().extension, 172), 0);

  // 200 channel records do not fit a 32768-byte reply: refused, not cut.
  std::string list = "CV,QA";
  for (int i = 0; i < 200; ++i) list += ",1";
  EXPECT_EQ(Send(dir, list, &r), -1);
  EXPECT_EQ(errno, 234);
}

TEST_F(LocalSource, FastLogCompanionAndFileAddress) {
  std::string slow = TestDir("site/W1"), fast = TestDir("site/W1_FAST_LOG");
  LogFixture slowLog(slow, {{"SL", 1, 2, false, nullptr}});
  LogFixture fastLog(fast, {{"FA", 1, 2, false, nullptr}});
  ASSERT_TRUE(slowLog.ok() && fastLog.ok());
  ASSERT_EQ(fastLog.Append(1704164700), 0);
  ASSERT_EQ(slowLog.Append(1704164650), 0);
  std::string r;
  // The companion's blocks are the ones listed.
  EXPECT_EQ(Send(fast, "IP,*,5", &r), 1);
  EXPECT_STREQ(r.c_str(), "1,USERAA,SL CHANNELS,SL:2,0,A;logst,LOGGER STATUS CHANNELS,LS:56,0,A;");
  // Values come from both logs: the companion's record is within 180 s.
  ASSERT_GE(Send(fast, "RV,FA,1,SL,2", &r), 0);
  EXPECT_EQ(At<uint32_t>(r, 8), 0x80u);
  EXPECT_FLOAT_EQ(At<float>(r, 12), 700.0f);
  EXPECT_EQ(At<uint32_t>(r, 24), 0x80u);
  EXPECT_FLOAT_EQ(At<float>(r, 28), 650.1f);

  // "FAST_LOG" without the underscore pairs with "SLOW_LOG"; a file address
  // names the same directory.
  std::string a = TestDir("site2/AFAST_LOG"), b = TestDir("site2/ASLOW_LOG");
  LogFixture fa(a, {{"XA", 1, 1, false, nullptr}});
  LogFixture sb(b, {{"XB", 1, 1, false, nullptr}});
  ASSERT_EQ(fa.Append(1704164700), 0);
  ASSERT_EQ(sb.Append(1704164300), 0);  // more than 180 s before
  ASSERT_GE(Send("file://" + a, "RV,XA,1,XB,1", &r), 0);
  EXPECT_EQ(At<uint32_t>(r, 8), 0x80u);
  EXPECT_EQ(At<uint32_t>(r, 24), 0x20u);  // too old to count
  EXPECT_EQ(Send("file://" + a, "QP,", &r), 2);
}

TEST_F(LocalSource, LocationsWithoutLogData) {
  std::string r;
  std::string missing = std::string(getenv("CDXPLAT_ROOT")) + "/no/such/logger";
  EXPECT_EQ(Send(missing, "QP,", &r), -1);
  EXPECT_EQ(errno, 3);
  std::string empty = TestDir("emptylogger");
  EXPECT_EQ(Send(empty, "QP,", &r), -1);
  EXPECT_EQ(errno, 2);
  // A log without records is no log data yet.
  std::string fresh = TestDir("freshlogger");
  LogFixture log(fresh, kThreeBlocks);
  ASSERT_TRUE(log.ok());
  EXPECT_EQ(Send(fresh, "QP,", &r), -1);
  // A database location must name its logger.
  EXPECT_EQ(Send("PROVIDER=MYSQL;Server=db", "QP,", &r), -1);
}

TEST_F(LocalSource, FollowsALiveWriterInAnotherProcess) {
  std::string dir = TestDir("livelogger");
  int32_t start = 1704164000;  // values 1, 2, 3, ...
  pid_t child = testsupport::ForkChild([&] {
    LogFixture log(dir, kThreeBlocks, start);
    if (!log.ok()) return 1;
    for (int i = 0; i < 600; ++i) {
      if (log.Append(start + 1 + i) != 0) return 2;
      plat::SleepMs(20);
    }
    return 0;
  });
  std::string r;
  // Wait for the first record, then watch the value advance.
  int64_t deadline = plat::MonotonicMs() + 20000;
  float first = -1, last = -1;
  while (plat::MonotonicMs() < deadline) {
    if (Send(dir, "RV,QA,1", &r) >= 0 && r.size() == 16 && At<uint32_t>(r, 8) == 0x80u) {
      last = At<float>(r, 12);
      if (first < 0) first = last;
      if (last >= first + 5) break;
    } else {
      Srv_CloseAll();  // no record yet: the next request opens anew
    }
    plat::SleepMs(50);
  }
  kill(child, SIGKILL);
  testsupport::WaitChild(child, 10000);
  ASSERT_GE(first, 0.0f) << "no record seen";
  EXPECT_GE(last, first + 5);
}

TEST_F(LocalSource, CompanionDataAndBufferHandles) {
  std::string dir = TestDir("logger5");
  LogFixture log(dir, kThreeBlocks);
  ASSERT_TRUE(log.ok());
  for (int i = 0; i < 10; ++i) ASSERT_EQ(log.Append(1704164700 + 10 * i), 0);
  std::string r;
  EXPECT_EQ(Send(dir, "NS", &r), 1);
  EXPECT_STREQ(r.c_str(), "1,1,10");
  // Records from 1704164725 to 1704164765: 40..70 -> 4 records (730..760).
  EXPECT_EQ(Send(dir, "5S,1,1704164725,1,1704164765", &r), 1);
  EXPECT_STREQ(r.c_str(), "1,1704164700,1704164791,4,2,1");
  char buffer[64];
  memset(buffer, 'x', sizeof buffer);
  // A number that no buffer was registered under is refused.
  EXPECT_EQ(Send(dir, "6S,HEADER," + std::to_string(reinterpret_cast<intptr_t>(buffer)) + ",64", &r), -1);
  EXPECT_EQ(errno, 87);
  int64_t h = ReqBuf_Register(buffer, sizeof buffer);
  EXPECT_EQ(Send(dir, "6S,HEADER," + std::to_string(h) + ",65", &r), -1);  // beyond the buffer
  EXPECT_EQ(Send(dir, "6S,HEADER," + std::to_string(h) + ",64", &r), 1);
  EXPECT_STREQ(r.c_str(), "1,10");
  EXPECT_STREQ(buffer, "Well: W1\r\n");
  ReqBuf_Release(h);
  // The command client's request function registers the buffer itself.
  char header[64];
  memset(header, 'x', sizeof header);
  uint32_t length = 0;
  EXPECT_EQ(Req_Send6s(nullptr, dir.c_str(), "HEADER", header, sizeof header, &length), 1);
  EXPECT_EQ(length, 10u);
  EXPECT_STREQ(header, "Well: W1\r\n");
  EXPECT_EQ(Send(dir, "6S," + std::string(100, 'N') + ",1,1", &r), -1);
  // "7S" and "8S" fields that name no registered buffer are refused.
  EXPECT_EQ(Send(dir, "7S,1,12345,0,0,0,0,0,0,0,0", &r), -1);
  EXPECT_EQ(errno, 87);
  EXPECT_EQ(Send(dir, "8S,0,0,0,0,0,64,0,0,0,0,777", &r), -1);
  EXPECT_EQ(errno, 87);
  EXPECT_EQ(Send(dir, "7S,0,0,0,0,0,0,0,0,0,0", &r), 1);  // nothing asked, nothing copied
  EXPECT_EQ(std::string(r.c_str()), "1,0,0," + std::to_string(log.header().recordLength));
}

struct RecordHead {
  int32_t seconds;
  int16_t ms;
};
RecordHead HeadAt(const std::vector<uint8_t>& buf, size_t offset) {
  LogRecord r;
  memcpy(&r, buf.data() + offset, sizeof r);
  return {r.seconds, r.milliseconds};
}

TEST_F(LocalSource, ExportsRecordsRowsAndTextsOfAWindow) {
  std::string dir = TestDir("logger8");
  LogFixture a(dir, kThreeBlocks, 1704164645);
  ASSERT_TRUE(a.ok());
  for (int i = 0; i < 10; ++i) ASSERT_EQ(a.Append(1704164700 + 10 * i), 0);  // 700 .. 790
  ASSERT_EQ(a.WriteLine(1704164730, "pump on"), 0);
  ASSERT_EQ(a.WriteLine(1704164800, "pump off"), 0);
  LogFixture b(dir, kThreeBlocks, 1704170000);
  ASSERT_TRUE(b.ok());
  for (int i = 1; i <= 3; ++i) ASSERT_EQ(b.Append(1704170000 + 10 * i), 0);  // 010 .. 030
  const uint32_t recordLength = a.header().recordLength;

  // Whole records of the window while they fit; the rest from `next`.
  TimeStamp from{1704164725, 0, 0}, to{1704170015, 0, 0}, next{1, 1, 1};
  std::vector<uint8_t> records(10 * recordLength);
  char texts[256];
  uint32_t count = 0, lines = 0;
  int32_t third = 0;
  ASSERT_EQ(Req_Send7s(nullptr, dir.c_str(), 1, &from, 1, &to, nullptr, 3 * recordLength, records.data(), texts,
                       &next, sizeof texts, &count, &lines, &third),
            1);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(third, static_cast<int32_t>(recordLength));
  EXPECT_EQ(HeadAt(records, 0).seconds, 1704164730);
  EXPECT_EQ(HeadAt(records, 2 * recordLength).seconds, 1704164750);
  EXPECT_EQ(next.seconds, 1704164760);
  // The stamped lines in the window ("started" is before it).
  EXPECT_EQ(lines, 2u);
  EXPECT_NE(strstr(texts, "pump on\r\n"), nullptr);
  EXPECT_NE(strstr(texts, "pump off\r\n"), nullptr);
  EXPECT_EQ(strstr(texts, "started"), nullptr);
  // Going on: the rest of the first log, then the second log alone.
  from = next;
  ASSERT_EQ(Req_Send7s(nullptr, dir.c_str(), 1, &from, 1, &to, nullptr, 10 * recordLength, records.data(), nullptr,
                       &next, 0, &count, &lines, &third),
            1);
  EXPECT_EQ(count, 4u);
  EXPECT_EQ(HeadAt(records, 3 * recordLength).seconds, 1704164790);
  EXPECT_EQ(next.seconds, 1704170010);
  from = next;
  ASSERT_EQ(Req_Send7s(nullptr, dir.c_str(), 1, &from, 0, &to, nullptr, 10 * recordLength, records.data(), nullptr,
                       &next, 0, &count, &lines, &third),
            1);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(HeadAt(records, 2 * recordLength).seconds, 1704170030);
  EXPECT_EQ(next.seconds, 0);  // the window is complete
  EXPECT_EQ(next.milliseconds, 0);

  // Rows of listed channels across both logs: stamp, then status and value.
  const char* list = "QA,2,QB,1,ZZ,1";
  std::vector<uint8_t> rowBuf(64 * 32);
  auto row = [&](int r, int c, uint32_t* word, float* value) {
    memcpy(word, rowBuf.data() + 32 * r + 8 + 8 * c, 4);
    memcpy(value, rowBuf.data() + 32 * r + 8 + 8 * c + 4, 4);
    TimeStamp t;
    memcpy(&t, rowBuf.data() + 32 * r, sizeof t);
    return t.seconds;
  };
  int32_t maxRows = 0;
  ASSERT_EQ(Req_Send8s(nullptr, dir.c_str(), 0, nullptr, 0, nullptr, const_cast<char*>(list),
                       static_cast<int32_t>(rowBuf.size()), rowBuf.data(), nullptr, &next, 0, &maxRows, &count, &lines,
                       &third),
            1);
  EXPECT_EQ(count, 13u);
  EXPECT_EQ(third, 3);
  uint32_t word = 0;
  float value = 0;
  EXPECT_EQ(row(0, 0, &word, &value), 1704164700);
  EXPECT_EQ(word, static_cast<uint32_t>(kLogFlagPresent));
  EXPECT_FLOAT_EQ(value, 700.1f);
  row(0, 1, &word, &value);
  EXPECT_EQ(word, 0u);  // a digital channel in its low state
  row(0, 2, &word, &value);
  EXPECT_EQ(word, 0x20u);  // not in the log
  EXPECT_EQ(row(12, 0, &word, &value), 1704170030);
  EXPECT_FLOAT_EQ(value, 30.1f);
  EXPECT_EQ(next.seconds, 0);
  // At most five rows: every third record, spanning the window.
  maxRows = 5;
  ASSERT_EQ(Req_Send8s(nullptr, dir.c_str(), 0, nullptr, 0, nullptr, const_cast<char*>(list),
                       static_cast<int32_t>(rowBuf.size()), rowBuf.data(), nullptr, &next, 0, &maxRows, &count, &lines,
                       &third),
            1);
  ASSERT_EQ(count, 5u);
  const int32_t thinned[] = {1704164700, 1704164730, 1704164760, 1704164790, 1704170030};
  for (int r = 0; r < 5; ++r) EXPECT_EQ(row(r, 0, &word, &value), thinned[r]) << r;
  // A buffer of two rows: two, and where to go on.
  maxRows = 0;
  ASSERT_EQ(Req_Send8s(nullptr, dir.c_str(), 0, nullptr, 0, nullptr, const_cast<char*>(list), 2 * 32 + 31,
                       rowBuf.data(), nullptr, &next, 0, &maxRows, &count, &lines, &third),
            1);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(next.seconds, 1704164720);
}

TEST_F(LocalSource, SharedStatusBlockSurvivesADeadHolder) {
  std::string dir = TestDir("logger6");
  LogFixture log(dir, kThreeBlocks);
  ASSERT_TRUE(log.ok());
  ASSERT_EQ(log.Append(1704164700), 0);
  std::string r;
  EXPECT_EQ(Send(dir, "WS", &r), 1);
  plat::ShmMapping m;
  ASSERT_EQ(plat::Shm_OpenExisting(kLocalStatusBlockName, &m), 0);
  auto* block = static_cast<LocalStatusBlock*>(m.base);
  EXPECT_EQ(block->pid, getpid());
  EXPECT_EQ(block->flags[0], 1u);
  EXPECT_EQ(block->slots[0].mark, 1u);
  EXPECT_EQ(std::string(block->slots[0].location).find(dir + "/"), 0u);
  // A process that dies holding the block's mutex does not stop the next claim.
  pid_t child = testsupport::ForkChild([] {
    auto mu = plat::NamedMutex::Open(std::string(kLocalStatusBlockName) + ".mut");
    if (!mu || mu->Lock(5000) != 0) return 1;
    _exit(0);
  });
  ASSERT_EQ(testsupport::WaitChild(child, 10000), 0);
  block->tick = 0;
  EXPECT_EQ(Send(dir, "XS", &r), 1);
  EXPECT_NE(block->tick, 0u);
  EXPECT_EQ(Send(dir, "PS", &r), 1);
  plat::Shm_Unmap(&m);
}

// A status block of another size under the block's name (left by some other
// program) is refused; the views mapped to find that out are not kept, however
// often the source is asked.
TEST_F(LocalSource, UnusableStatusBlockLeavesNoMappingBehind) {
  std::string dir = TestDir("logger6b");
  LogFixture log(dir, kThreeBlocks);
  ASSERT_TRUE(log.ok());
  ASSERT_EQ(log.Append(1704164700), 0);
  pid_t child = testsupport::ForkChild([dir] {
    plat::Shm_Remove(kLocalStatusBlockName);
    plat::ShmMapping small;
    if (plat::Shm_CreateNew(kLocalStatusBlockName, 16, {}, &small) != 0) return 2;
    plat::Shm_Unmap(&small);
    auto maps = [] {
      FILE* f = fopen("/proc/self/maps", "re");
      int n = 0;
      char line[4096];
      while (f && fgets(line, sizeof line, f))
        if (strstr(line, "LocalLogSourceStatus")) ++n;
      if (f) fclose(f);
      return n;
    };
    std::string r;
    if (Send(dir, "PS", &r) != -1) return 4;  // this process had the block already
    int before = maps();
    for (int i = 0; i < 40; ++i) Send(dir, "PS", &r);
    return maps() - before < 5 ? 0 : 1;
  });
  int rc = testsupport::WaitChild(child, 60000);
  if (rc == 4) GTEST_SKIP() << "the status block was set up by an earlier test of this process";
  EXPECT_EQ(rc, 0);
}

// Hostile or malformed requests are answered or refused, never followed
// outside the log's data or the reply buffer.
TEST_F(LocalSource, MalformedRequestsStayInBounds) {
  std::string dir = TestDir("logger7");
  LogFixture log(dir, kThreeBlocks);
  ASSERT_TRUE(log.ok());
  ASSERT_EQ(log.Append(1704164700), 0);
  std::string manyTags = "TC";
  for (int i = 0; i < 9000; ++i) manyTags += ",QA1";
  const std::string requests[] = {
      "CV,QA,99999,0,65535,QB,1,2,3,4,5,6,7,8",
      "RV,QA,123456,QA," + std::string(300, '1'),
      "RV,Q,1",
      "CV,",
      "IP,*,-5",
      "IP,*,99999999999999999999",
      "IP,0",
      "IP,",
      "TP,*",
      manyTags,
      "5S,1,2",
      "5S,0,0,0,0",
      "6S,HEADER,-1,-1",
      "6S,HEADER,0,0",
      "6S,,1,2",
      "8S,1",
      "TS,junk",
      "Q",
      "",
  };
  for (const std::string& req : requests) {
    SCOPED_TRACE(req.substr(0, 40));
    std::string r;
    int result = Send(dir, req, &r, 4096);
    EXPECT_LE(r.size(), 4096u);
    if (req == manyTags) {
      EXPECT_EQ(result, -1);  // 36 kB of reply for a 4 kB buffer
      EXPECT_EQ(errno, 234);
    }
  }
  // Random requests of the known codes with random fields.
  std::mt19937 rng(12345);
  const char* codes[] = {"CV", "RV", "TC", "IP", "TP", "5S", "6S", "7S", "8S", "TS", "QP", "WS", "NS"};
  const char* tokens[] = {"QA", "QB", "LS", "Q", "0", "1", "65535", "99999", "-1", "*", "", "HEADER", "x"};
  for (int i = 0; i < 2000; ++i) {
    std::string req = codes[rng() % 11];
    int n = static_cast<int>(rng() % 12);
    for (int k = 0; k < n; ++k) req += std::string(",") + tokens[rng() % 13];
    std::string r;
    Send(dir, req, &r, 1 + rng() % 2048);
    ASSERT_LE(r.size(), 2048u) << req;
  }
  // The source still answers afterwards.
  std::string r;
  EXPECT_EQ(Send(dir, "QP,", &r), 3);
}

}  // namespace

namespace {
std::vector<std::string> g_debug;
void KeepDebug(const char* text) { g_debug.push_back(text); }
bool Debugged(const std::string& line) {
  return std::find(g_debug.begin(), g_debug.end(), line) != g_debug.end();
}
void WriteFileText(const std::string& path, const std::string& text) {
  FILE* f = fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr) << path;
  fwrite(text.data(), 1, text.size(), f);
  fclose(f);
}
}  // namespace

// A site with its logged data under LOGGED_DATA and the web HMI beside it:
// the menu's dashboards give the channels that "8S" rows carry without a list.
TEST_F(LocalSource, WebHmiChannelsOfAMenuAndTwoDashboards) {
  std::string site = TestDir("site1");
  std::string dir = site + "/LOGGED_DATA/LOGGER1";
  plat::MakeDirectories(dir);
  plat::MakeDirectories(site + "/WEBHMI/DASHBOARDS");
  WriteFileText(site + "/WEBHMI/menu.xml",
                "<?xml version=\"1.0\"?>\n<menu>\n  <Item>pumps.xml</Item>\n  <Item name=\"t\"> tanks.xml </Item>\n"
                "  <Item>missing.xml</Item>\n  <Item>../menu.xml</Item>\n  <Items>ignored.xml</Items>\n</menu>\n");
  WriteFileText(site + "/WEBHMI/DASHBOARDS/pumps.xml",
                "<dashboard>\n"
                "  <channel><prefix>QB</prefix><no>2</no></channel>\n"
                "  <channel id=\"x\"><prefix>qa</prefix><no>3</no></channel>\n"
                "  <channel><prefix></prefix><no>4</no></channel>\n"
                "  <channel><prefix>QA</prefix><no>0</no></channel>\n"
                "  <channels><prefix>QA</prefix><no>6</no></channels>\n"
                "</dashboard>\n");
  WriteFileText(site + "/WEBHMI/DASHBOARDS/tanks.xml",
                "<dashboard>\n"
                "  <XChannel><prefix>QA</prefix><no>1</no></XChannel>\n"
                "  <channel><prefix>QB</prefix><no>2</no></channel>\n"
                "</dashboard>\n");
  LogFixture log(dir, kThreeBlocks);
  ASSERT_TRUE(log.ok());
  for (int i = 0; i < 3; ++i) ASSERT_EQ(log.Append(1704164700 + 10 * i), 0);
  g_debug.clear();
  plat::DebugOutputHook before = plat::SetDebugOutputHook(KeepDebug);
  std::vector<uint8_t> rows(16 * 64);
  TimeStamp next{};
  uint32_t count = 0, lines = 0;
  int32_t channels = 0;
  auto send8s = [&](const char* list) {
    return Req_Send8s(nullptr, dir.c_str(), 0, nullptr, 0, nullptr, const_cast<char*>(list),
                      static_cast<int32_t>(rows.size()), rows.data(), nullptr, &next, 0, nullptr, &count, &lines,
                      &channels);
  };
  EXPECT_EQ(send8s(nullptr), 1);
  // QA1, qa3, QB2: sorted by prefix without case, then number; each once.
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(channels, 3);
  EXPECT_TRUE(Debugged("3 WebHMIChannels for " + dir + "\r\n"));
  // A dashboard that is not there is looked for in CDX_WEBHMI at last.
  EXPECT_TRUE(std::any_of(g_debug.begin(), g_debug.end(), [](const std::string& l) {
    return l.rfind("Can't read dashboard ", 0) == 0 &&
           l.find("/DASHBOARDS/missing.xml to determine number of WebHMIChannels\r\n") != std::string::npos;
  }));
  EXPECT_TRUE(Debugged("Can't read dashboard ../menu.xml to determine number of WebHMIChannels\r\n"));
  uint32_t word = 0;
  float value = 0;
  const int stride = 8 + 8 * 3;
  memcpy(&word, rows.data() + 8, 4);
  memcpy(&value, rows.data() + 12, 4);
  EXPECT_EQ(word, static_cast<uint32_t>(kLogFlagPresent));
  EXPECT_FLOAT_EQ(value, 700.0f);  // QA1
  memcpy(&value, rows.data() + 8 + 8 + 4, 4);
  EXPECT_FLOAT_EQ(value, 700.2f);  // qa3
  memcpy(&word, rows.data() + 8 + 16, 4);
  EXPECT_EQ(word, 0u);  // QB2, digital
  memcpy(&value, rows.data() + 2 * stride + 12, 4);
  EXPECT_FLOAT_EQ(value, 720.0f);
  // A list's channels that the log holds join the web HMI channels.
  EXPECT_EQ(send8s("QA,5,ZZ,9,QB,2"), 1);
  EXPECT_EQ(channels, 3);
  EXPECT_EQ(send8s(""), 1);
  EXPECT_EQ(channels, 4);
  plat::SetDebugOutputHook(before);
}

// Without LOGGED_DATA above the logs the menu is CDX_WEBHMI's; a missing one
// leaves the list empty.
TEST_F(LocalSource, WebHmiMenuOfTheLogicalDirectory) {
  std::string dir = TestDir("logger9");
  std::string web = TestDir("webhmi9");
  plat::MakeDirectories(web + "/DASHBOARDS");
  LogFixture log(dir, kThreeBlocks);
  ASSERT_TRUE(log.ok());
  ASSERT_EQ(log.Append(1704164700), 0);
  g_debug.clear();
  plat::DebugOutputHook before = plat::SetDebugOutputHook(KeepDebug);
  setenv("CDX_WEBHMI", web.c_str(), 1);
  std::vector<uint8_t> rows(64);
  uint32_t count = 0, lines = 0;
  int32_t channels = -1;
  auto send8s = [&]() {
    return Req_Send8s(nullptr, dir.c_str(), 0, nullptr, 0, nullptr, nullptr, static_cast<int32_t>(rows.size()),
                      rows.data(), nullptr, nullptr, 0, nullptr, &count, &lines, &channels);
  };
  EXPECT_EQ(send8s(), 1);
  EXPECT_EQ(channels, 0);
  EXPECT_TRUE(Debugged("Can't read menu file " + web + "/menu.xml to determine number of WebHMIChannels\r\n"));
  Srv_CloseAll();
  WriteFileText(web + "/menu.xml", "<menu><Item>one.xml</Item></menu>");
  WriteFileText(web + "/DASHBOARDS/one.xml", "<d><channel><prefix>QB</prefix><no>3</no></channel></d>");
  EXPECT_EQ(send8s(), 1);
  EXPECT_EQ(channels, 1);
  EXPECT_TRUE(Debugged("1 WebHMIChannels for " + dir + "\r\n"));
  Srv_CloseAll();
  WriteFileText(web + "/DASHBOARDS/one.xml", "<d><channel><prefix>QB</prefix></channel></d>");
  EXPECT_EQ(send8s(), 1);
  EXPECT_TRUE(Debugged("No WebHMIChannels for " + dir + "\r\n"));
  unsetenv("CDX_WEBHMI");
  plat::SetDebugOutputHook(before);
}

// For the product Tarvi the dashboards' "<XChannel>" elements are not web
// HMI channels. The product name is read once per process: a child whose
// first read finds Tarvi.
TEST_F(LocalSource, WebHmiOfTarviTakesNoXChannels) {
  std::string site = TestDir("site2");
  std::string dir = site + "/LOGGED_DATA/LOGGER2";
  plat::MakeDirectories(dir);
  plat::MakeDirectories(site + "/WEBHMI/DASHBOARDS");
  WriteFileText(site + "/WEBHMI/menu.xml", "<menu><Item>d.xml</Item></menu>");
  WriteFileText(site + "/WEBHMI/DASHBOARDS/d.xml",
                "<d><XChannel><prefix>QA</prefix><no>1</no></XChannel>"
                "<channel><prefix>QA</prefix><no>2</no></channel></d>");
  LogFixture log(dir, kThreeBlocks);
  ASSERT_TRUE(log.ok());
  ASSERT_EQ(log.Append(1704164700), 0);
  const char* key = "SOFTWARE\\Quillomatic";
  plat::HKEY k = nullptr;
  ASSERT_EQ(plat::RegCreateKeyEx(plat::HKEY_LOCAL_MACHINE, key, 0, plat::KEY_ALL_ACCESS, &k, nullptr), 0u);
  ASSERT_EQ(plat::RegSetValueEx(k, "ProductName", plat::REG_SZ, "Tarvi", 6), 0u);
  plat::RegCloseKey(k);
  pid_t pid = testsupport::ForkChild([&] {
    if (strcmp(Prod_GetProductName(), "Tarvi") != 0) return 77;  // this process read it before
    std::vector<uint8_t> rows(64);
    uint32_t count = 0, lines = 0;
    int32_t channels = -1;
    if (Req_Send8s(nullptr, dir.c_str(), 0, nullptr, 0, nullptr, nullptr, static_cast<int32_t>(rows.size()),
                   rows.data(), nullptr, nullptr, 0, nullptr, &count, &lines, &channels) != 1)
      return 1;
    return channels == 1 ? 0 : 2;
  });
  int rc = testsupport::WaitChild(pid, 30000);
  plat::RegDeleteTree(plat::HKEY_LOCAL_MACHINE, key);
  if (rc == 77) GTEST_SKIP() << "the product name was read before the child was made";
  EXPECT_EQ(rc, 0);
}
