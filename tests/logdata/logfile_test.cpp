// The binary log file, the file store and the file collection: layout at
// fixed offsets, writing and reading back, crashes, concurrent processes.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
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

#include <fstream>
#include <iterator>

#include "support/child.h"
#include "support/log_header.h"
#include "logdata/logfilecollection.h"
#include "logdata/logfilestore.h"
#include "logdata/logkinds.h"
#include "logdata/logstore.h"
#include "platform/error.h"
#include "platform/files.h"

namespace {

std::string TestDir(const char* name) {
  std::string d = std::string(getenv("CDXPLAT_ROOT")) + "/" + name;
  plat::MakeDirectories(d);
  return d;
}

template <typename T>
T At(const std::vector<uint8_t>& b, size_t off) {
  T v;
  memcpy(&v, b.data() + off, sizeof v);
  return v;
}
template <typename T>
void PutAt(std::vector<uint8_t>& b, size_t off, T v) {
  memcpy(b.data() + off, &v, sizeof v);
}

std::vector<uint8_t> ReadFile(const std::string& p) {
  std::vector<uint8_t> out;
  int fd = open(p.c_str(), O_RDONLY);
  if (fd < 0) return out;
  uint8_t buf[65536];
  ssize_t r;
  while ((r = read(fd, buf, sizeof buf)) > 0) out.insert(out.end(), buf, buf + r);
  close(fd);
  return out;
}

// A header of `blocks` blocks of `channels[i]` channels each, analog except
// where `digital` says, records of 18 + sum(8n + 2) bytes.
LogHeader MakeHeader(const std::vector<int>& channels, uint32_t extLength = 0) {
  LogHeader h{};
  h.marker = kLogHeaderMarker;
  h.start = TimeStamp{1704164645, 0, 0};
  for (size_t i = 0; i < channels.size(); ++i) {
    const char prefix[2] = {'A', static_cast<char>('A' + i)};
    testsupport::AddLogBlock(h, prefix, 1, channels[i], i == 1, "SRC" + std::to_string(i));
  }
  const uint32_t chanBytes = testsupport::LogHeaderBytes(h);
  h.extLength = extLength;
  h.extOffset = extLength ? chanBytes : 0;
  h.headerLength = chanBytes + extLength;
  return h;
}

// Record i of a log: its stamp and every value derived from i, so that any
// byte out of place shows.
std::vector<uint8_t> MakeRecord(const LogHeader& h, uint32_t i) {
  std::vector<uint8_t> r(h.recordLength, 0);
  PutAt<uint16_t>(r, 0, kLogRecordMarker);
  r[2] = 1;
  PutAt<int32_t>(r, 4, static_cast<int32_t>(1704164645 + i));
  PutAt<int16_t>(r, 8, static_cast<int16_t>(i % 1000));
  PutAt<float>(r, 12, static_cast<float>(i));
  for (int b = 0; b < h.blockCount; ++b) {
    const LogBlockDescriptor& d = h.blocks[b];
    int n = LogBlockChannels(d);
    for (int c = 0; c < n; ++c) {
      PutAt<int32_t>(r, d.valueOffset + 4 * c, kLogFlagPresent | static_cast<int32_t>(i & 1));
      PutAt<float>(r, d.valueOffset + 4 * n + 4 * c, static_cast<float>(i * 100 + c));
    }
  }
  return r;
}

std::vector<uint8_t> MakeRecords(const LogHeader& h, uint32_t first, uint32_t count) {
  std::vector<uint8_t> all;
  for (uint32_t i = first; i < first + count; ++i) {
    auto r = MakeRecord(h, i);
    all.insert(all.end(), r.begin(), r.end());
  }
  return all;
}

std::vector<ChannelConfig> Channels(int n, char tag) {
  std::vector<ChannelConfig> c(static_cast<size_t>(n));
  memset(c.data(), 0, c.size() * sizeof(ChannelConfig));
  for (int i = 0; i < n; ++i) {
    c[i].TagPart1[0] = tag;
    c[i].TagPart1[1] = static_cast<char>('0' + i % 10);
  }
  return c;
}

// A log made through a collection, with channels for every block.
struct Log {
  CLogFileCollection coll;
  CLogStore* store = nullptr;
  LogHeader header;
  std::string path;
  std::vector<std::vector<ChannelConfig>> chans;

  Log(const std::string& dir, const std::vector<int>& channels, uint32_t ext = 0) : header(MakeHeader(channels, ext)) {
    EXPECT_EQ(coll.Open(nullptr, dir.c_str(), "L1", "FAST", kGenericRead | kGenericWrite), 0);
    std::vector<ChannelConfig*> ptrs;
    for (size_t i = 0; i < channels.size(); ++i) chans.push_back(Channels(channels[i], static_cast<char>('a' + i)));
    for (auto& c : chans) ptrs.push_back(c.data());
    int32_t start = header.start.seconds;
    store = coll.CreateLog(&start, 0, 0, &header, "[HEADER]\r\nfirst\r\n", 0, nullptr, 0, ptrs.data());
    EXPECT_NE(store, nullptr);
    char name[300];
    int size = sizeof name;
    if (store) store->GetName(name, &size);
    path = name;
  }
  ~Log() {
    if (store) store->Destroy(1);
  }
};

}  // namespace

// ---- Location strings and names ---------------------------------------------

TEST(LogStoreFactory, ProviderKindsAndFactories) {
  struct Case {
    const char* location;
    int kind;
  } cases[] = {{nullptr, -1},
               {"", -1},
               {"/data/logs/L1", -1},
               {"D:\\LOGS", -1},
               {"file://host/logs", -1},
               {"provider=mysql;server=x", 1},
               {"PROVIDER=MYSQLX", 1},
               {"PROVIDER=SQLOLEDB;Data Source=x", 0},
               {"Provider=witsml", 2},
               {"PROVIDER=OSDU", 3},
               {"PROVIDER=OSD", 0}};
  for (const Case& c : cases) EXPECT_EQ(GetProviderKind(c.location), c.kind) << (c.location ? c.location : "null");

  CLogStore* s = CreateLogStore("/tmp/x");
  ASSERT_NE(dynamic_cast<CLogFileStore*>(s), nullptr);
  s->Destroy(1);
  CLogCollection* c = CreateLogCollection("");
  ASSERT_NE(dynamic_cast<CLogFileCollection*>(c), nullptr);
  c->Destroy(1);
  EXPECT_EQ(CreateLogStore("PROVIDER=OSDU"), nullptr);
  EXPECT_EQ(CreateLogCollection("PROVIDER=WITSML"), nullptr);
  // No database kind registered: a clear refusal, not a file store.
  plat::SetLastError(0);
  EXPECT_EQ(CreateLogStore("PROVIDER=MYSQL"), nullptr);
  EXPECT_EQ(plat::GetLastError(), plat::kErrNotSupported);
  EXPECT_EQ(CreateLogCollection("PROVIDER=SQLOLEDB"), nullptr);
}

namespace {
struct FakeDbStore : CLogStore {};
struct FakeDbCollection : CLogCollection {};
CLogStore* MakeFakeStore() { return new FakeDbStore; }
CLogCollection* MakeFakeCollection() { return new FakeDbCollection; }
}  // namespace

TEST(LogStoreFactory, RegisteredDatabaseKindIsChosen) {
  RegisterLogStoreKind(kProviderMariaDb, MakeFakeStore, MakeFakeCollection);
  CLogStore* s = CreateLogStore("provider=MySql;db=x");
  EXPECT_NE(dynamic_cast<FakeDbStore*>(s), nullptr);
  if (s) s->Destroy(1);
  CLogCollection* c = CreateLogCollection("PROVIDER=MYSQL");
  EXPECT_NE(dynamic_cast<FakeDbCollection*>(c), nullptr);
  if (c) c->Destroy(1);
  EXPECT_EQ(CreateLogStore("PROVIDER=SQLOLEDB"), nullptr);  // ADO still absent
  RegisterLogStoreKind(kProviderMariaDb, nullptr, nullptr);
  EXPECT_EQ(CreateLogStore("PROVIDER=MYSQL"), nullptr);
}

TEST(LogStoreNames, ConnectionFields) {
  char loc[200] = "PROVIDER=MYSQL;LoggerSeq=12;LoggerName=FAST";
  long n = 0;
  EXPECT_EQ(TakeLoggerSeq(loc, &n), 1);
  EXPECT_EQ(n, 12);
  EXPECT_STREQ(loc, "PROVIDER=MYSQL;LoggerName=FAST");
  char bad[] = "x;loggerseq=abc;LoggerName=F";
  EXPECT_EQ(TakeLoggerSeq(bad, &n), 0);
  EXPECT_STREQ(bad, "x;loggerseq=abc;LoggerName=F");

  char name[8];
  int size = sizeof name;
  EXPECT_EQ(TakeLoggerName(loc, &size, name), 1);
  EXPECT_STREQ(name, "FAST");
  EXPECT_STREQ(loc, "PROVIDER=MYSQL");
  char longer[] = "a;LoggerName=ABCDEFGHIJ;b";
  size = sizeof name;
  EXPECT_EQ(TakeLoggerName(longer, &size, name), 0);  // does not fit: left as it was
  EXPECT_STREQ(longer, "a;LoggerName=ABCDEFGHIJ;b");
  size = 0;
  EXPECT_EQ(TakeLoggerName(longer, &size, nullptr), 1);
  EXPECT_EQ(size, 10);
  EXPECT_STREQ(longer, "a;b");
}

TEST(LogStoreNames, SqlNamesLinesAndBoundedFormat) {
  char n[] = "a b-c(d)#e_1";
  SanitizeSqlName(n);
  EXPECT_STREQ(n, "a_b_c_d__e_1");
  EXPECT_EQ(IsReservedColumnName("dt"), 0);
  EXPECT_EQ(IsReservedColumnName("DT"), 1);
  EXPECT_EQ(IsReservedColumnName(""), 1);
  EXPECT_EQ(IsReservedColumnName("LVX"), 0);
  EXPECT_EQ(CountTextLines("a\r\nb"), 2);
  EXPECT_EQ(CountTextLines("a\r\nb\r\n"), 2);
  EXPECT_EQ(CountTextLines(""), 0);
  char buf[6];
  EXPECT_EQ(FormatBounded(buf, sizeof buf, "%s", "12345"), 5);
  EXPECT_EQ(FormatBounded(buf, sizeof buf, "%s", "123456"), -1);
  EXPECT_STREQ(buf, "");
}

TEST(LogStoreNames, CollectionPrefixLimitAndResolve) {
  std::string dir = TestDir("resolve");
  CLogFileCollection c;
  std::string p205(205, 'P');
  plat::SetLastError(5);
  EXPECT_EQ(c.Open(nullptr, dir.c_str(), "L", p205.c_str(), kGenericRead), -1);
  EXPECT_EQ(plat::GetLastError(), 0u);
  EXPECT_EQ(c.Open(nullptr, dir.c_str(), "L", std::string(204, 'P').c_str(), kGenericRead), 0);

  std::string withSeq = dir + ";LoggerSeq=3";
  EXPECT_EQ(std::string(ResolveLogName(withSeq.c_str())), withSeq);
  std::string empty = TestDir("resolve/L1") + ";LoggerName=L1";
  EXPECT_STREQ(ResolveLogName(empty.c_str()), "");  // no logs
  {
    Log log(TestDir("resolve2/L1"), {3});
    log.store->Close();
  }
  std::string loc = TestDir("resolve2") + ";LoggerName=L1";
  EXPECT_EQ(std::string(ResolveLogName(loc.c_str())),
            TestDir("resolve2") + ";LoggerName=L1;FAST240102_030405.odl");
}

// ---- The file layout ----------------------------------------------------------

TEST(LogFormat, FixtureFromOffsetsReadsBack) {
  // A header and an extended block built byte by byte from the layout.
  std::vector<uint8_t> f(900 + 3504, 0);
  PutAt<uint32_t>(f, 0, 12345);
  PutAt<uint16_t>(f, 4, 0x8001);
  PutAt<uint16_t>(f, 6, 2);
  PutAt<uint32_t>(f, 8, 77);
  PutAt<int32_t>(f, 12, 1000);
  PutAt<int16_t>(f, 16, 250);
  PutAt<int16_t>(f, 18, 7);
  PutAt<int32_t>(f, 20, 2000);
  PutAt<uint32_t>(f, 28, 4404);
  PutAt<uint32_t>(f, 32, 530);
  memcpy(&f[36], "XY", 2);
  PutAt<uint16_t>(f, 38, 5);
  PutAt<uint16_t>(f, 40, 68);
  PutAt<uint16_t>(f, 42, 4);
  PutAt<uint16_t>(f, 44, 18);
  memcpy(&f[46], "SOURCE", 6);
  f[71] = 1;  // lag flag
  f[72] = 0xAB;  // reserved, carried
  f[868] = 1;
  f[869] = 1;
  memcpy(&f[870], "TR", 2);
  PutAt<uint16_t>(f, 872, 9);
  memcpy(&f[874], "LG", 2);
  PutAt<uint16_t>(f, 876, 11);
  f[878] = 0x5A;
  PutAt<uint16_t>(f, 890, 0x1234);
  PutAt<uint32_t>(f, 892, 4000);  // more than 3504: cut to 3504
  PutAt<uint32_t>(f, 896, 900);
  PutAt<uint16_t>(f, 900, 20);
  memcpy(&f[900 + 2 + 19 * 52], "ZZ", 2);
  PutAt<uint16_t>(f, 900 + 2 + 19 * 52 + 8, 999);
  f[900 + 3332] = 0xC4;
  f[900 + 3503] = 0x3C;
  std::string path = TestDir("fixture") + "/f.odl";
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0666);
  ASSERT_EQ(write(fd, f.data(), f.size()), static_cast<ssize_t>(f.size()));
  LogHeader h;
  ASSERT_EQ(ReadLogHeader(fd, &h), 900);
  EXPECT_EQ(h.endOffset, 12345u);
  EXPECT_EQ(h.blockCount, 20);  // from the extended block
  EXPECT_EQ(h.recordCount, 77u);
  EXPECT_EQ(h.start.seconds, 1000);
  EXPECT_EQ(h.start.milliseconds, 250);
  EXPECT_EQ(h.start.microseconds, 7);
  EXPECT_EQ(h.stop.seconds, 2000);
  EXPECT_EQ(h.headerLength, 4404u);
  EXPECT_EQ(h.recordLength, 530u);
  EXPECT_EQ(h.tagColumns, 1);
  EXPECT_EQ(h.significantChange, 1);
  EXPECT_EQ(h.triggerChannel, 9);
  EXPECT_EQ(h.lagChannel, 11);
  EXPECT_EQ(h.reserved878[0], 0x5A);
  EXPECT_EQ(h.reserved890, 0x1234);
  EXPECT_EQ(h.extLength, 4000u);
  EXPECT_EQ(memcmp(h.blocks[19].prefix, "ZZ", 2), 0);
  EXPECT_EQ(h.blocks[19].valueOffset, 999);
  EXPECT_EQ(h.extension[0], 0xC4);
  EXPECT_EQ(h.extension[171], 0x3C);

  // Written back, the 900 bytes match except the block count, which the
  // header keeps at 16 at most; the descriptors the header does not carry
  // come from the extended block (zero in the fixture's block 0).
  LogHeader h2 = h;
  std::vector<uint8_t> g(900);
  ASSERT_EQ(WriteLogHeader(fd, h2, 0), 0);
  ASSERT_EQ(pread(fd, g.data(), 900, 0), 900);
  EXPECT_EQ(At<uint16_t>(g, 6), 16);
  EXPECT_EQ(At<uint32_t>(g, 892), 4000u);
  EXPECT_EQ(g[878], 0x5A);
  EXPECT_EQ(At<uint16_t>(g, 890), 0x1234);
  close(fd);

  // A short extended block fails; a short header fails.
  ASSERT_EQ(truncate(path.c_str(), 900 + 100), 0);
  fd = open(path.c_str(), O_RDONLY);
  EXPECT_EQ(ReadLogHeader(fd, &h), -1);
  close(fd);
  ASSERT_EQ(truncate(path.c_str(), 899), 0);
  fd = open(path.c_str(), O_RDONLY);
  EXPECT_EQ(ReadLogHeader(fd, &h), -1);
  close(fd);
}

TEST(LogFormat, FileWrittenByStoreReadAtOffsets) {
  // Blocks of 10, 5 and 3 channels; channel k of block 2 at 4150 + k*216.
  std::string dir = TestDir("layout");
  Log log(dir, {10, 5, 3}, 3504);
  ASSERT_NE(log.store, nullptr);
  auto recs = MakeRecords(log.header, 0, 3);
  ASSERT_EQ(log.store->AppendRecords(&log.header, recs.data(), 3), 0);
  log.store->Close();
  EXPECT_EQ(log.path, dir + "/FAST240102_030405.odl");
  auto f = ReadFile(log.path);
  const LogHeader& h = log.header;
  ASSERT_EQ(f.size(), h.headerLength + 3 * h.recordLength);
  EXPECT_EQ(At<uint32_t>(f, 0), h.headerLength + 3 * h.recordLength);  // end offset written at close
  EXPECT_EQ(At<uint16_t>(f, 4), 0x8001);
  EXPECT_EQ(At<uint16_t>(f, 6), 3);
  EXPECT_EQ(At<int32_t>(f, 12), 1704164645);
  EXPECT_EQ(At<uint32_t>(f, 28), h.headerLength);
  EXPECT_EQ(At<uint32_t>(f, 32), h.recordLength);
  EXPECT_EQ(At<uint16_t>(f, 36 + 52 + 6), kLogKindDigital);
  EXPECT_EQ(At<uint16_t>(f, 36 + 2 * 52 + 8), h.blocks[2].valueOffset);
  EXPECT_EQ(memcmp(&f[36 + 2 * 52 + 10], "SRC2", 4), 0);
  EXPECT_EQ(At<uint32_t>(f, 892), 3504u);
  EXPECT_EQ(At<uint32_t>(f, 896), h.extOffset);
  // Blocks framed at their offsets.
  EXPECT_EQ(At<uint16_t>(f, 900), 0x8002);
  EXPECT_EQ(At<uint16_t>(f, 900 + 2 + 10 * 216), 0x8003);
  EXPECT_EQ(At<uint16_t>(f, 900 + 10 * 216 + 4), 0x8002);
  EXPECT_EQ(f[4150 + 2 * 216], 'c');
  EXPECT_EQ(f[4150 + 2 * 216 + 1], '2');
  EXPECT_EQ(At<uint16_t>(f, 4150 + 3 * 216), 0x8003);
  EXPECT_EQ(LogChannelOffset(h, 2, 2), 4150u + 2 * 216);
  // Extended block: count and descriptors.
  EXPECT_EQ(At<uint16_t>(f, h.extOffset), 3);
  EXPECT_EQ(At<uint16_t>(f, h.extOffset + 2 + 2 * 52 + 4), 3);
  // Records at header length + n * record length.
  for (uint32_t n = 0; n < 3; ++n) {
    size_t r = h.headerLength + n * h.recordLength;
    EXPECT_EQ(At<uint16_t>(f, r), 0x8004);
    EXPECT_EQ(At<int32_t>(f, r + 4), static_cast<int32_t>(1704164645 + n));
    EXPECT_EQ(At<float>(f, r + h.blocks[2].valueOffset + 12 + 4), static_cast<float>(n * 100 + 1));
  }
}

TEST(LogFormat, ValueFaultCheckOnReadCopyOnly) {
  std::string dir = TestDir("fault");
  Log log(dir, {2});
  auto rec = MakeRecord(log.header, 0);
  uint16_t off = log.header.blocks[0].valueOffset;
  PutAt<float>(rec, off + 8, std::numeric_limits<float>::infinity());
  PutAt<float>(rec, off + 12, std::numeric_limits<float>::quiet_NaN());
  ASSERT_EQ(log.store->AppendRecords(&log.header, rec.data(), 1), 0);
  std::vector<uint8_t> back(log.header.recordLength);
  ASSERT_EQ(log.store->ReadLogs(0, &log.header, back.data(), 1, 0, nullptr, nullptr), 1);
  EXPECT_EQ(At<int32_t>(back, off), 0xA0);
  EXPECT_EQ(At<int32_t>(back, off + 4), 0xA0);
  log.store->Close();
  auto f = ReadFile(log.path);
  EXPECT_EQ(At<int32_t>(f, log.header.headerLength + off), 0x80);  // the file is not changed
}

TEST(LogFormat, CorruptHeadersNeverCrashReaders) {
  std::string dir = TestDir("corrupt");
  Log log(dir, {4});
  auto recs = MakeRecords(log.header, 0, 2);
  ASSERT_EQ(log.store->AppendRecords(&log.header, recs.data(), 2), 0);
  log.store->Close();
  CLogFileStore s;
  ASSERT_EQ(s.Open(nullptr, log.path.c_str(), kGenericRead), 0);
  LogHeader h;
  ASSERT_EQ(s.ReadHeader(&h), 0);
  EXPECT_EQ(h.recordCount, 2u);
  std::vector<uint8_t> buf(4096);
  LogHeader bad = h;
  bad.recordLength = 0;
  EXPECT_EQ(s.GetNoLogs(&bad), -1);
  EXPECT_EQ(s.ReadLogs(0, &bad, buf.data(), 1, 0, nullptr, nullptr), 0);
  bad = h;
  bad.blocks[0].valueOffset = 60000;  // block beyond the record: skipped
  EXPECT_EQ(s.ReadLogs(0, &bad, buf.data(), 1, 0, nullptr, nullptr), 1);
  EXPECT_EQ(s.ReadChannels(&h, reinterpret_cast<ChannelConfig*>(buf.data()), 1, 0, 1), -1);
  EXPECT_EQ(s.ReadChannels(&h, reinterpret_cast<ChannelConfig*>(buf.data()), 0, 3, 2), -1);
}

// ---- Writing, listing, reading back ---------------------------------------

TEST(LogFileStore, CreateAppendCloseListReopen) {
  std::string dir = TestDir("cycle");
  for (auto layout : {std::vector<int>{1}, std::vector<int>{64}, std::vector<int>{8, 3, 12}}) {
    SCOPED_TRACE(layout.size());
    std::string d = dir + "/" + std::to_string(layout.size()) + "_" + std::to_string(layout[0]);
    plat::MakeDirectories(d);
    Log log(d, layout);
    ASSERT_NE(log.store, nullptr);
    for (uint32_t b = 0; b < 10; ++b) {
      auto r = MakeRecords(log.header, b * 7, 7);
      ASSERT_EQ(log.store->AppendRecords(&log.header, r.data(), 7), 0);
    }
    int32_t start = log.header.start.seconds, stop = start + 3600;
    ASSERT_EQ(log.coll.CloseLog(log.store, &start, &stop, 0), 0);
    char name[256];
    TimeStamp s, e;
    ASSERT_EQ(log.coll.FindNewest(name, nullptr, &s, &e, 0), 1);
    EXPECT_STREQ(name, "FAST240102_030405_240102_040405.odl");
    EXPECT_EQ(s.seconds, start);
    EXPECT_EQ(e.seconds, stop);
    struct stat st;
    EXPECT_EQ(stat((d + "/FAST240102_030405_240102_040405.txt").c_str(), &st), 0);  // text followed

    CLogStore* r = log.coll.OpenLog(name, kGenericRead);
    ASSERT_NE(r, nullptr);
    LogHeader h;
    ASSERT_EQ(r->ReadHeader(&h), 0);
    EXPECT_EQ(h.recordCount, 70u);
    std::vector<uint8_t> all(70 * h.recordLength);
    EXPECT_EQ(r->ReadLogs(0, &h, all.data(), 100, 0, nullptr, nullptr), 70);
    EXPECT_EQ(all, MakeRecords(h, 0, 70));
    std::vector<ChannelConfig> ch(static_cast<size_t>(layout.back()));
    ASSERT_EQ(r->ReadChannels(&h, ch.data(), static_cast<int>(layout.size()) - 1, 0, layout.back()), 0);
    EXPECT_EQ(memcmp(ch.data(), log.chans.back().data(), ch.size() * 216), 0);
    r->Destroy(1);
  }
}

TEST(LogFileStore, BadRecordsAndCountsAreRefused) {
  std::string dir = TestDir("refuse");
  Log log(dir, {2});
  auto r = MakeRecords(log.header, 0, 3);
  PutAt<uint16_t>(r, 2 * log.header.recordLength, 0x8005);
  plat::SetLastError(0);
  EXPECT_EQ(log.store->AppendRecords(&log.header, r.data(), 3), -1);
  EXPECT_EQ(plat::GetLastError(), plat::kErrInvalidParameter);
  EXPECT_EQ(log.store->GetNoLogs(&log.header), 0);  // nothing written
  ASSERT_EQ(log.store->AppendRecords(&log.header, r.data(), 2), 0);
  // Cutting more records than the log holds would cut into the channels.
  log.store->Truncate(&log.header, 3);
  EXPECT_EQ(log.store->GetNoLogs(&log.header), 2);
  log.store->Truncate(&log.header, 1);
  EXPECT_EQ(log.store->GetNoLogs(&log.header), 1);
  // A header read in between never moves where the next records go.
  LogHeader h;
  ASSERT_EQ(log.store->ReadHeader(&h), 0);
  auto more = MakeRecords(log.header, 1, 1);
  ASSERT_EQ(log.store->AppendRecords(&log.header, more.data(), 1), 0);
  std::vector<uint8_t> back(2 * log.header.recordLength);
  EXPECT_EQ(log.store->ReadLogs(0, &log.header, back.data(), 2, 0, nullptr, nullptr), 2);
  EXPECT_EQ(back, MakeRecords(log.header, 0, 2));
  // A rewrite stays within the records written.
  EXPECT_EQ(log.store->RewriteRecords(2, &log.header, more.data(), static_cast<int>(more.size())), -1);
  EXPECT_EQ(log.store->RewriteRecords(1, &log.header, more.data(), static_cast<int>(more.size())), 0);
}

TEST(LogFileStore, ExistingLogOfTheSameNameIsNeverOverwritten) {
  std::string dir = TestDir("samename");
  Log first(dir, {2});
  auto r = MakeRecords(first.header, 0, 2);
  ASSERT_EQ(first.store->AppendRecords(&first.header, r.data(), 2), 0);
  first.store->Close();
  auto before = ReadFile(first.path);
  int32_t start = first.header.start.seconds;
  std::vector<ChannelConfig> c = Channels(2, 'x');
  ChannelConfig* ptrs[] = {c.data()};
  CLogStore* again = first.coll.CreateLog(&start, 0, 0, &first.header, nullptr, 0, nullptr, 0, ptrs);
  EXPECT_EQ(again, nullptr);
  EXPECT_EQ(plat::GetLastError(), plat::kErrAlreadyExists);
  EXPECT_EQ(ReadFile(first.path), before);
}

TEST(LogFileStore, SecondWriterIsRefusedWithoutTouchingTheLog) {
  std::string dir = TestDir("twowriters");
  Log log(dir, {4});
  auto r = MakeRecords(log.header, 0, 5);
  ASSERT_EQ(log.store->AppendRecords(&log.header, r.data(), 5), 0);
  // Another process reopens the log for appending with a stale header whose
  // end lies before the data: it must be refused before it cuts anything.
  int pipefd[2];
  ASSERT_EQ(pipe(pipefd), 0);
  std::string path = log.path;
  LogHeader stale = log.header;
  stale.endOffset = stale.headerLength;
  pid_t pid = testsupport::ForkChild([&]() {
    CLogFileStore s;
    if (s.Open(nullptr, path.c_str(), kGenericRead | kGenericWrite) != 0) return 10;
    int rc = s.OpenForAppend(&stale);
    uint32_t err = plat::GetLastError();
    if (write(pipefd[1], &err, sizeof err) != sizeof err) return 11;
    return rc == -1 ? 0 : 12;
  });
  EXPECT_EQ(testsupport::WaitChild(pid, 30000), 0);
  uint32_t err = 0;
  ASSERT_EQ(read(pipefd[0], &err, sizeof err), static_cast<ssize_t>(sizeof err));
  EXPECT_EQ(err, plat::kErrLockViolation);
  close(pipefd[0]);
  close(pipefd[1]);
  EXPECT_EQ(log.store->GetNoLogs(&log.header), 5);
  // The first writer goes on.
  auto more = MakeRecords(log.header, 5, 1);
  EXPECT_EQ(log.store->AppendRecords(&log.header, more.data(), 1), 0);
  EXPECT_EQ(log.store->GetNoLogs(&log.header), 6);
}

TEST(LogFileStore, ReopenForAppendAfterClose) {
  std::string dir = TestDir("reopen");
  Log log(dir, {3});
  auto r = MakeRecords(log.header, 0, 4);
  ASSERT_EQ(log.store->AppendRecords(&log.header, r.data(), 4), 0);
  int32_t start = log.header.start.seconds, stop = start + 10;
  ASSERT_EQ(log.coll.CloseLog(log.store, &start, &stop, 0), 0);
  CLogStore* s = log.coll.OpenLog("FAST240102_030405_240102_030415.odl", kGenericRead | kGenericWrite);
  ASSERT_NE(s, nullptr);
  LogHeader h;
  ASSERT_EQ(s->ReadHeader(&h), 0);
  ASSERT_EQ(log.coll.UseforLogging(s, &h, "FAST", 1, 0), 0);
  char name[300];
  int size = sizeof name;
  s->GetName(name, &size);
  EXPECT_EQ(std::string(name), dir + "/FAST240102_030405.odl");
  auto more = MakeRecords(h, 4, 2);
  ASSERT_EQ(s->AppendRecords(&h, more.data(), 2), 0);
  EXPECT_EQ(s->GetNoLogs(&h), 6);
  s->Destroy(1);
  // Wrong prefix.
  CLogStore* t = log.coll.OpenLog("FAST240102_030405.odl", kGenericRead);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(log.coll.UseforLogging(t, &h, "SLOW", 0, 0), -1);
  t->Destroy(1);
}

TEST(LogFileCollection, StampsNamesAndDeletion) {
  EXPECT_EQ(LogNameStamp(1704164645), "240102_030405");
  int32_t s;
  ASSERT_TRUE(ParseLogNameStamp("690101_000000", &s));
  EXPECT_EQ(s, static_cast<int32_t>(3124224000u));  // 2069, read as unsigned seconds
  ASSERT_TRUE(ParseLogNameStamp("700101_000000", &s));
  EXPECT_EQ(s, 0);
  EXPECT_FALSE(ParseLogNameStamp("701301_000000", &s));

  std::string dir = TestDir("delete");
  for (const char* n : {"FAST000101_000000_000101_010000.odl", "FAST000101_000000_000101_010000.txt",
                        "FAST000101_000000_000101_010000.cdx", "FAST000101_000000_000101_010000.zip",
                        "FAST000101_000000.odl", "FASTX240101_000000.odl", "FAST240101_000000.odl"}) {
    int fd = open((dir + "/" + n).c_str(), O_CREAT | O_WRONLY, 0444);
    close(fd);
  }
  // A link under the name of an old log, to a file of somebody outside the
  // folder: the link goes, its target keeps its mode and bytes.
  const std::string outside = TestDir("delete-outside") + "/target";
  std::ofstream(outside) << "keep";
  ASSERT_EQ(chmod(outside.c_str(), 0444), 0);
  ASSERT_EQ(symlink(outside.c_str(), (dir + "/FAST000102_000000_000102_010000.odl").c_str()), 0);
  CLogFileCollection c;
  ASSERT_EQ(c.Open(nullptr, dir.c_str(), "L", "FAST", kGenericRead), 0);
  char name[256];
  ASSERT_EQ(c.FindNewest(name, nullptr, nullptr, nullptr, 0), 1);
  EXPECT_STREQ(name, "FAST240101_000000.odl");  // FASTX... skipped: text before the stamp
  int32_t limit = 1700000000;
  c.DeleteBefore(&limit);
  struct stat st;
  EXPECT_NE(stat((dir + "/FAST000101_000000_000101_010000.odl").c_str(), &st), 0);
  EXPECT_NE(stat((dir + "/FAST000101_000000_000101_010000.zip").c_str(), &st), 0);
  EXPECT_EQ(stat((dir + "/FAST000101_000000.odl").c_str(), &st), 0);  // open logs stay
  EXPECT_NE(lstat((dir + "/FAST000102_000000_000102_010000.odl").c_str(), &st), 0);
  ASSERT_EQ(stat(outside.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0444u);
  std::ifstream in(outside);
  EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()), "keep");

  CLogFileCollection ro;
  EXPECT_EQ(ro.Open(nullptr, (dir + "/missing/deeper").c_str(), "L", "", kGenericRead), -1);
  EXPECT_FALSE(plat::DirectoryExists(dir + "/missing"));
}

TEST(LogFileCollection, CloseWithoutStartDiscardsTheLogAndSiblings) {
  std::string dir = TestDir("discard");
  Log log(dir, {1});
  for (const char* ext : {".cdx", ".zip"}) close(open((dir + "/FAST240102_030405" + ext).c_str(), O_CREAT | O_WRONLY, 0666));
  ASSERT_EQ(log.coll.CloseLog(log.store, nullptr, nullptr, 0), 0);
  for (const char* ext : {".odl", ".txt", ".cdx", ".zip"}) {
    struct stat st;
    EXPECT_NE(stat((dir + "/FAST240102_030405" + ext).c_str(), &st), 0) << ext;
  }
}

// A logger name or a name prefix becomes part of the collection's paths: one
// that would reach another directory is refused with 123 and the
// collection's error texts, and nothing is made anywhere.
TEST(LogFileCollection, NamesThatAreNoPlainNamesAreRefused) {
  const std::string base = TestDir("names/LOGGED_DATA");
  setenv("CDX_LOGGED_DATA", base.c_str(), 1);
  struct {
    const char* directory;
    const char* logger;
    const char* prefix;
  } cases[] = {
      {nullptr, "../../ESC7", ""},       {nullptr, "..", ""},         {nullptr, "/tmp/ESC7", ""},
      {nullptr, "a\\b", ""},             {"given", "L", "../../PFX"}, {"given", "L", "a/PFX"},
      {"given", "L", ".."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.logger) + " " + c.prefix);
    const std::string dir = c.directory ? base + "/" + c.directory : "";
    CLogFileCollection coll;
    EXPECT_EQ(coll.Open(nullptr, c.directory ? dir.c_str() : nullptr, c.logger, c.prefix,
                        kGenericRead | kGenericWrite),
              -1);
    EXPECT_EQ(plat::GetLastError(), 123u);
    EXPECT_STREQ(coll.GetErrorSummary(), "Invalid name");
    EXPECT_NE(std::string(coll.GetErrorDetail()).find(c.logger), std::string::npos);
  }
  struct stat st;
  EXPECT_NE(stat((base + "/../../ESC7").c_str(), &st), 0);
  EXPECT_NE(stat((base + "/given").c_str(), &st), 0);
  std::vector<std::string> made;
  for (const std::string& d : {base + "/..", base + "/../.."})
    if (DIR* dd = opendir(d.c_str())) {
      while (dirent* e = readdir(dd))
        if (strstr(e->d_name, "ESC7") || strstr(e->d_name, "PFX")) made.push_back(e->d_name);
      closedir(dd);
    }
  EXPECT_TRUE(made.empty());

  // A plain name still works, and a log name given to OpenLog is one too.
  CLogFileCollection good;
  ASSERT_EQ(good.Open(nullptr, nullptr, "L..1", "P", kGenericRead | kGenericWrite), 0);
  EXPECT_EQ(good.OpenLog("../../etc/passwd", kGenericRead), nullptr);
  EXPECT_EQ(plat::GetLastError(), 123u);
  unsetenv("CDX_LOGGED_DATA");
}

// Logger folders and closed logs are the service's own: they honour the
// umask (a forced 0777/0666 let every user of the machine change them).
TEST(LogFileCollection, FoldersAndClosedLogsHonourTheUmask) {
  const std::string base = TestDir("umask/LOGGED_DATA");
  const mode_t old = umask(022);
  setenv("CDX_LOGGED_DATA", (base + "/made").c_str(), 1);
  {
    Log log("", {1});
    ASSERT_NE(log.store, nullptr);
    int32_t start = log.header.start.seconds, stop = start + 60;
    ASSERT_EQ(log.coll.CloseLog(log.store, &start, &stop, 0), 0);
    for (const auto& d : {base + "/made", base + "/made/L1"}) {
      struct stat st;
      ASSERT_EQ(stat(d.c_str(), &st), 0) << d;
      EXPECT_EQ(st.st_mode & 0777, 0755u) << d;
    }
    DIR* dd = opendir((base + "/made/L1").c_str());
    ASSERT_NE(dd, nullptr);
    int files = 0;
    while (dirent* e = readdir(dd)) {
      if (e->d_name[0] == '.') continue;
      struct stat st;
      ASSERT_EQ(stat((base + "/made/L1/" + e->d_name).c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 0777, 0644u) << e->d_name;
      ++files;
    }
    closedir(dd);
    EXPECT_EQ(files, 2);  // the closed log and its text
  }
  umask(old);
  unsetenv("CDX_LOGGED_DATA");
}

// ---- Crashes -----------------------------------------------------------------

TEST(LogFileCrash, TruncatedAtEveryByteOfTheLastRecord) {
  std::string dir = TestDir("torn");
  Log log(dir, {3});
  const uint32_t n = 20;
  auto r = MakeRecords(log.header, 0, n);
  ASSERT_EQ(log.store->AppendRecords(&log.header, r.data(), n), 0);
  log.store->Close();
  const LogHeader h = log.header;
  uint64_t full = h.headerLength + static_cast<uint64_t>(n) * h.recordLength;
  std::mt19937 rng(7);
  std::vector<uint64_t> cuts;
  for (uint64_t c = full - h.recordLength; c <= full; ++c) cuts.push_back(c);
  for (int i = 0; i < 40; ++i) cuts.push_back(h.headerLength + rng() % (full - h.headerLength));
  auto orig = ReadFile(log.path);
  std::string copy = dir + "/FAST240102_030406.odl";
  for (uint64_t cut : cuts) {
    int fd = open(copy.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0666);
    ASSERT_EQ(write(fd, orig.data(), cut), static_cast<ssize_t>(cut));
    close(fd);
    uint32_t whole = static_cast<uint32_t>((cut - h.headerLength) / h.recordLength);
    CLogFileStore s;
    ASSERT_EQ(s.Open(nullptr, copy.c_str(), kGenericRead), 0);
    LogHeader rh;
    ASSERT_EQ(s.ReadHeader(&rh), 0);
    ASSERT_EQ(rh.recordCount, whole) << cut;
    std::vector<uint8_t> buf(n * h.recordLength);
    ASSERT_EQ(s.ReadLogs(0, &rh, buf.data(), static_cast<int>(n), 0, nullptr, nullptr), static_cast<int>(whole));
    buf.resize(whole * h.recordLength);
    ASSERT_EQ(buf, MakeRecords(h, 0, whole));
    // The torn record itself is not readable.
    std::vector<uint8_t> one(h.recordLength);
    EXPECT_EQ(s.ReadLog(static_cast<int>(whole), &rh, one.data(), static_cast<int>(h.recordLength), 0, nullptr,
                        nullptr, 0, 0),
              -1);
    s.Close();
    // Reopened for appending, the torn tail is cut and the records go on.
    CLogFileStore w;
    ASSERT_EQ(w.Open(nullptr, copy.c_str(), kGenericRead | kGenericWrite), 0);
    ASSERT_EQ(w.OpenForAppend(&rh), 0);
    auto next = MakeRecords(h, whole, 1);
    ASSERT_EQ(w.AppendRecords(&rh, next.data(), 1), 0);
    ASSERT_EQ(w.GetNoLogs(&rh), static_cast<int>(whole + 1));
    std::vector<uint8_t> all((whole + 1) * h.recordLength);
    ASSERT_EQ(w.ReadLogs(0, &rh, all.data(), static_cast<int>(whole + 1), 0, nullptr, nullptr),
              static_cast<int>(whole + 1));
    ASSERT_EQ(all, MakeRecords(h, 0, whole + 1));
    w.Close();
  }
}

TEST(LogFileCrash, KilledWriterLosesNothingReported) {
  std::string dir = TestDir("kill");
  Log log(dir, {16});
  log.store->Close();
  const LogHeader h0 = log.header;
  std::string path = log.path;
  std::mt19937 rng(11);
  uint32_t confirmed = 0;
  for (int round = 0; round < 100; ++round) {
    int pipefd[2];
    ASSERT_EQ(pipe(pipefd), 0);
    uint32_t from = confirmed;
    pid_t pid = testsupport::ForkChild([&]() {
      close(pipefd[0]);
      CLogFileStore s;
      if (s.Open(nullptr, path.c_str(), kGenericRead | kGenericWrite) != 0) return 20;
      LogHeader h;
      if (s.ReadHeader(&h) != 0 || s.OpenForAppend(&h) != 0) return 21;
      if (h.recordCount < from) return 22;  // something reported was lost
      for (uint32_t i = h.recordCount;; i += 3) {
        auto r = MakeRecords(h0, i, 3);
        if (s.AppendRecords(&h, r.data(), 3) != 0) return 23;
        uint32_t done = i + 3;
        if (write(pipefd[1], &done, sizeof done) != sizeof done) return 24;
      }
    });
    close(pipefd[1]);
    // Let it report a few appends, then kill it at a random moment.
    int want = 1 + static_cast<int>(rng() % 5);
    uint32_t v;
    for (int i = 0; i < want; ++i) {
      ssize_t got = read(pipefd[0], &v, sizeof v);
      if (got != sizeof v) break;
      confirmed = v;
    }
    usleep(rng() % 2000);  // a random point of the next write, not a wait for the child
    kill(pid, SIGKILL);
    EXPECT_EQ(testsupport::WaitChild(pid, 30000), 128 + SIGKILL) << round;
    while (read(pipefd[0], &v, sizeof v) == sizeof v) confirmed = v;
    close(pipefd[0]);
    CLogFileStore s;
    ASSERT_EQ(s.Open(nullptr, path.c_str(), kGenericRead), 0);
    LogHeader h;
    ASSERT_EQ(s.ReadHeader(&h), 0);
    ASSERT_GE(h.recordCount, confirmed) << round;
    std::vector<uint8_t> buf(h.recordCount * h.recordLength);
    ASSERT_EQ(s.ReadLogs(0, &h, buf.data(), static_cast<int>(h.recordCount), 0, nullptr, nullptr),
              static_cast<int>(h.recordCount));
    ASSERT_EQ(buf, MakeRecords(h0, 0, h.recordCount)) << round;
  }
}

TEST(LogFileConcurrency, ReaderInAnotherProcessSeesOnlyWholeRecords) {
  std::string dir = TestDir("concurrent");
  Log log(dir, {64});
  const LogHeader h0 = log.header;
  std::string path = log.path;
  const uint32_t total = 3000;
  pid_t reader = testsupport::ForkChild([&]() {
    CLogFileStore s;
    if (s.Open(nullptr, path.c_str(), kGenericRead) != 0) return 30;
    LogHeader h;
    if (s.ReadHeader(&h) != 0) return 31;
    uint32_t seen = 0;
    std::vector<uint8_t> buf(100 * h.recordLength);
    while (seen < total) {
      int got = s.ReadLogs(static_cast<int>(seen), &h, buf.data(), 100, 0, nullptr, nullptr);
      if (got < 0) return 32;
      std::vector<uint8_t> part(buf.begin(), buf.begin() + got * h.recordLength);
      if (part != MakeRecords(h0, seen, static_cast<uint32_t>(got))) return 33;
      seen += static_cast<uint32_t>(got);
    }
    return 0;
  });
  for (uint32_t i = 0; i < total; i += 10) {
    auto r = MakeRecords(h0, i, 10);
    ASSERT_EQ(log.store->AppendRecords(&log.header, r.data(), 10), 0);
  }
  EXPECT_EQ(testsupport::WaitChild(reader, 120000), 0);
}

// A new name part becomes part of the log's file name: one that would move
// the log (and its text file) out of its logger folder is refused with 123
// and nothing moves; a plain one renames both.
TEST(LogFileRename, NamePartThatLeavesTheFolderIsRefused) {
  std::string dir = TestDir("rename/L1");
  Log log(dir, {2});
  ASSERT_NE(log.store, nullptr);
  ASSERT_EQ(log.store->WriteHeaderText("[HEADER]\r\nsecond\r\n"), 0);
  const std::string name = log.path.substr(log.path.rfind('/') + 1);
  auto entries = [](const std::string& d) {
    std::vector<std::string> names;
    if (DIR* h = opendir(d.c_str())) {
      while (dirent* e = readdir(h))
        if (e->d_name[0] != '.') names.push_back(e->d_name);
      closedir(h);
    }
    std::sort(names.begin(), names.end());
    return names;
  };
  const auto before = entries(dir);
  const auto parentBefore = entries(dir + "/..");
  for (const char* part : {"../ESCAPED_", "..", "/tmp/ESCAPED_", "sub/X", "..\\ESCAPED_", "."}) {
    plat::SetLastError(0);
    EXPECT_EQ(log.store->Rename(part), 0) << part;
    EXPECT_EQ(plat::GetLastError(), 123u) << part;
  }
  EXPECT_EQ(entries(dir), before);
  EXPECT_EQ(entries(dir + "/.."), parentBefore);
  EXPECT_EQ(log.store->Rename("SLOW"), 1);
  EXPECT_EQ(access((dir + "/SLOW" + name.substr(4)).c_str(), F_OK), 0) << name;
}
