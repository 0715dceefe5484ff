// Logs of another machine read through its central server: the file store's
// remote road and the collection's remote listing, against a fake server
// that answers the file requests from a folder of its own (not a path this
// side could open).
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cdxlib/client/srvclient.h"
#include "logdata/logfilecollection.h"
#include "logdata/logfilestore.h"
#include "logdata/localsource.h"
#include "logdata/logformat.h"
#include "logdata/remotelog.h"
#include "platform/error.h"
#include "platform/files.h"
#include "tools/fakesrv/filesrv.h"
#include "support/log_header.h"

namespace {

template <typename T>
void PutAt(std::vector<uint8_t>& b, size_t off, T v) {
  memcpy(b.data() + off, &v, sizeof v);
}

// One block of `channels` analog channels: records of 18 + 8n + 2 bytes
// (10 channels: 100 bytes).
LogHeader MakeHeader(int channels) {
  LogHeader h{};
  h.marker = kLogHeaderMarker;
  h.start = TimeStamp{1704164645, 0, 0};  // 2024-01-02 03:04:05
  testsupport::AddLogBlock(h, "AA", 1, channels);
  h.headerLength = testsupport::LogHeaderBytes(h);
  return h;
}

std::vector<uint8_t> MakeRecords(const LogHeader& h, uint32_t count) {
  std::vector<uint8_t> all(static_cast<size_t>(count) * h.recordLength, 0);
  int n = LogBlockChannels(h.blocks[0]);
  for (uint32_t i = 0; i < count; ++i) {
    std::vector<uint8_t> r(h.recordLength, 0);
    PutAt<uint16_t>(r, 0, kLogRecordMarker);
    r[2] = 1;
    PutAt<int32_t>(r, 4, static_cast<int32_t>(1704164645 + i));
    for (int c = 0; c < n; ++c) {
      PutAt<int32_t>(r, 18 + 4 * c, kLogFlagPresent);
      PutAt<float>(r, 18 + 4 * n + 4 * c, static_cast<float>(i * 100 + c));
    }
    memcpy(all.data() + static_cast<size_t>(i) * h.recordLength, r.data(), r.size());
  }
  return all;
}

int Field(const std::string& request, int index) {
  size_t at = 3;
  for (int i = 0; i < index; ++i) at = request.find('\t', at) + 1;
  return atoi(request.c_str() + at);
}

// The server "scada1" (reached through the pipe) with its disk in a folder
// of its own: its "\LOGGED_DATA\DEMO1" holds one log of `records` records
// with an events text.
class RemoteLog : public ::testing::Test {
 protected:
  void SetUp() override {
    // Each test's server has a disk of its own.
    disk = std::string(getenv("CDXPLAT_ROOT")) + "/" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name() + "_disk";
    dir = disk + "/LOGGED_DATA/DEMO1";
    files = fakesrv::FolderFiles(disk);
    ASSERT_EQ(plat::MakeDirectories(dir), 0);
    engine.script().SetHandler([this](const std::string& r) -> std::optional<fakesrv::Action> {
      if (failReads > 0 && r.rfind("RF,", 0) == 0) {
        --failReads;
        return fakesrv::Text("-1,59,unexpected network error");
      }
      return files(r);
    });
    ASSERT_EQ(server.Start("scada1"), 0);
  }
  void TearDown() override {
    server.Stop();
    Srv_CloseAll();  // the next test's server is a new one
  }

  // Makes the log on the server's disk (written there as the logger does).
  void MakeLog(int channels, uint32_t records) {
    header = MakeHeader(channels);
    CLogFileCollection c;
    ASSERT_EQ(c.Open(nullptr, dir.c_str(), "", "FAST", kGenericRead | kGenericWrite), 0);
    std::vector<ChannelConfig> chans(static_cast<size_t>(channels));
    memset(chans.data(), 0, chans.size() * sizeof(ChannelConfig));
    for (int i = 0; i < channels; ++i) snprintf(chans[i].TagPart1, sizeof chans[i].TagPart1, "T%d", i);
    ChannelConfig* ptrs[1] = {chans.data()};
    int32_t start = header.start.seconds;
    CLogStore* s = c.CreateLog(&start, 0, 0, &header, "[HEADER]\r\nfirst line\r\n", 0, nullptr, 0, ptrs);
    ASSERT_NE(s, nullptr);
    data = MakeRecords(header, records);
    for (uint32_t at = 0; at < records; at += 1000) {
      uint32_t n = records - at < 1000 ? records - at : 1000;
      ASSERT_EQ(s->AppendRecords(&header, data.data() + static_cast<size_t>(at) * header.recordLength, n), 0);
    }
    s->Close();
    s->Destroy(1);
    channelsWritten = chans;
    engine.ClearRequests();
  }

  std::vector<std::string> RequestsOf(const char* code) {
    std::vector<std::string> out;
    for (const std::string& r : engine.Requests())
      if (r.rfind(code, 0) == 0) out.push_back(r);
    return out;
  }

  static constexpr const char* kName = "FAST240102_030405.odl";
  static constexpr const char* kUnc = "\\\\scada1\\LOGGED_DATA\\DEMO1\\FAST240102_030405.odl";
  std::string disk, dir;
  fakesrv::FolderFiles files{""};
  fakesrv::Engine engine;
  fakesrv::PipeServer server{&engine};
  int failReads = 0;
  LogHeader header{};
  std::vector<uint8_t> data;
  std::vector<ChannelConfig> channelsWritten;
};

}  // namespace

TEST(RemotePaths, ServerFormOfPaths) {
  struct Case {
    const char* path;
    const char* server;
    const char* wire;
  } cases[] = {{"\\\\scada1\\LOGGED_DATA\\D\\x.odl", "scada1", "\\LOGGED_DATA\\D\\x.odl"},
               {"//scada1/LOGGED_DATA/D/x.odl", "scada1", "\\LOGGED_DATA\\D\\x.odl"},
               {"\\\\host:11234\\L\\x.odl", "host:11234", "\\L\\x.odl"},
               {"C:\\CDX\\LOGGED_DATA\\x.odl", "", "C:\\CDX\\LOGGED_DATA\\x.odl"},
               {"LOGGED_DATA/D/x.odl", "", "LOGGED_DATA\\D\\x.odl"}};
  for (const Case& c : cases) {
    EXPECT_EQ(UncServerOf(c.path), c.server) << c.path;
    EXPECT_EQ(RemoteServerPath(c.path), c.wire) << c.path;
  }
}

// Open: a missing file without a server fails; with one the store opens on
// the server and every read goes there, to the server's own disk.
TEST_F(RemoteLog, OpenAndReadsGoThroughTheServer) {
  MakeLog(4, 50);
  CLogFileStore none;
  EXPECT_EQ(none.Open(nullptr, kUnc, kGenericRead), -1);
  EXPECT_EQ(none.Open("", "/nowhere/FAST240102_030405.odl", kGenericRead), -1);
  EXPECT_TRUE(engine.Requests().empty());

  // Both the share path and the server's own relative path of the log.
  for (const char* path : {kUnc, "LOGGED_DATA\\DEMO1\\FAST240102_030405.odl"}) {
    SCOPED_TRACE(path);
    engine.ClearRequests();
    CLogFileStore s;
    ASSERT_EQ(s.Open("scada1", path, kGenericRead), 0);
    EXPECT_EQ(s.Path(), path);  // the share form is not open to this machine
    LogHeader h{};
    ASSERT_EQ(s.ReadHeader(&h), 0);
    EXPECT_EQ(h.recordLength, header.recordLength);
    EXPECT_EQ(h.headerLength, header.headerLength);
    EXPECT_EQ(h.recordCount, 50u);
    EXPECT_EQ(h.endOffset, header.headerLength + 50 * header.recordLength);
    EXPECT_EQ(s.GetNoLogs(&h), 50);
    std::vector<ChannelConfig> chans(4);
    ASSERT_EQ(s.ReadChannels(&h, chans.data(), 0, 1, 3), 0);
    EXPECT_EQ(memcmp(chans.data(), &channelsWritten[1], 3 * sizeof(ChannelConfig)), 0);
    EXPECT_EQ(s.ReadChannels(&h, chans.data(), 1, 0, 1), -1);  // block index = block count
    std::vector<uint8_t> rec(h.recordLength * 2);
    ASSERT_EQ(s.ReadLog(48, &h, rec.data(), static_cast<int>(rec.size()), 0, nullptr, nullptr, 0, 0), 0);
    EXPECT_EQ(memcmp(rec.data(), data.data() + 48 * h.recordLength, rec.size()), 0);
    // Past the last whole record: fewer bytes than asked is a failure.
    EXPECT_EQ(s.ReadLog(49, &h, rec.data(), static_cast<int>(rec.size()), 0, nullptr, nullptr, 0, 0), -1);
    h.significantChange = 1;
    EXPECT_EQ(s.CountValidRecords(&h), 50);
    std::string wire = RemoteServerPath(path);
    for (const std::string& r : engine.Requests()) {
      std::string code = r.substr(0, 2);
      EXPECT_TRUE(code == "RF" || code == "SF") << r;
      EXPECT_EQ(r.compare(3, wire.size(), wire), 0) << r;
    }
    EXPECT_FALSE(RequestsOf("SF").empty());
  }
}

TEST_F(RemoteLog, MissingOnTheServerToo) {
  CLogFileStore s;
  ASSERT_EQ(s.Open("scada1", "\\\\scada1\\LOGGED_DATA\\DEMO1\\FAST990101_000000.odl", kGenericRead), 0);
  LogHeader h = MakeHeader(4);
  EXPECT_EQ(s.ReadHeader(&h), -1);
  EXPECT_EQ(s.GetNoLogs(&h), -1);
  EXPECT_EQ(plat::GetLastError(), plat::kErrFileNotFound);
  char buf[64];
  EXPECT_EQ(s.ReadLogs(0, &h, buf, 1, 0, nullptr, nullptr), 0);
  EXPECT_FALSE(RequestsOf("RF").empty());
}

// 10000 records of 100 bytes: each request asks for the 655 whole records
// that fit in 65512 bytes; a request the server fails is halved.
TEST_F(RemoteLog, ReadLogsAsksWholeRecordsThatFitARequest) {
  MakeLog(10, 10000);
  ASSERT_EQ(header.recordLength, 100u);
  CLogFileStore s;
  ASSERT_EQ(s.Open("scada1", kUnc, kGenericRead), 0);
  LogHeader h{};
  ASSERT_EQ(s.ReadHeader(&h), 0);
  engine.ClearRequests();
  std::vector<uint8_t> got(data.size());
  int first = 0;
  while (first < 10000) {
    int n = s.ReadLogs(first, &h, got.data() + static_cast<size_t>(first) * 100, 10000 - first, 0, nullptr, nullptr);
    ASSERT_GT(n, 0) << first;
    EXPECT_LE(n, 655);
    first += n;
  }
  EXPECT_EQ(got, data);
  std::vector<std::string> reads = RequestsOf("RF");
  ASSERT_EQ(reads.size(), 16u);  // 15 x 655 + 175
  for (size_t i = 0; i < reads.size(); ++i) {
    EXPECT_EQ(Field(reads[i], 1), i < 15 ? 65500 : 17500) << i;
    EXPECT_EQ(Field(reads[i], 2), static_cast<int>(h.headerLength + i * 65500)) << i;
  }
  EXPECT_EQ(engine.RequestCount(), 16u);  // nothing but the reads

  engine.ClearRequests();
  failReads = 2;
  EXPECT_EQ(s.ReadLogs(0, &h, got.data(), 10000, 0, nullptr, nullptr), 163);
  reads = RequestsOf("RF");
  ASSERT_EQ(reads.size(), 3u);
  EXPECT_EQ(Field(reads[0], 1), 65500);
  EXPECT_EQ(Field(reads[1], 1), 32700);
  EXPECT_EQ(Field(reads[2], 1), 16300);
  failReads = 100;
  EXPECT_EQ(s.ReadLogs(0, &h, got.data(), 10000, 0, nullptr, nullptr), 0);
  failReads = 0;
  // The last records: fewer than asked come back as what the file holds.
  EXPECT_EQ(s.ReadLogs(9990, &h, got.data(), 100, 0, nullptr, nullptr), 10);
}

// The 8-bit text operations find and use the log's text file on the server;
// the UTF-16 ones refuse a remote store.
TEST_F(RemoteLog, EventsTextThroughTheServer) {
  MakeLog(2, 5);
  CLogFileStore s;
  ASSERT_EQ(s.Open("scada1", kUnc, kGenericRead), 0);
  char buf[200];
  int size = sizeof buf;
  EXPECT_EQ(s.ReadText("HEADER", buf, &size, 0, 0), 1);
  EXPECT_STREQ(buf, "first line\r\n");
  EXPECT_EQ(s.WriteText(1704164700, "pump on", nullptr, nullptr), 0);
  EXPECT_EQ(s.WriteText(1704164650, "valve open", nullptr, nullptr), 0);
  EXPECT_EQ(s.WriteHeaderText("new header"), 0);
  EXPECT_EQ(s.WriteFormulae("AA", 3, "x=1"), 0);
  std::string text = dir + "/FAST240102_030405.txt";
  FILE* f = fopen(text.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  char all[1000] = "";
  size_t n = fread(all, 1, sizeof all - 1, f);
  fclose(f);
  all[n] = 0;
  EXPECT_STREQ(all,
               "[HEADER]\r\nnew header\r\n[TEXT]\r\n24/01/02 03:04:10 valve open\r\n"
               "24/01/02 03:05:00 pump on\r\n[AA_3_FORMULAE]\r\nx=1\r\n");
  char* lines[4];
  int count = 4;
  size = sizeof buf;
  EXPECT_EQ(s.ReadTextLines("TEXT", lines, &count, buf, &size, 0, 0), 0);
  ASSERT_EQ(count, 2);
  EXPECT_STREQ(lines[1], "24/01/02 03:05:00 pump on");
  // The text file's last write on the server's disk.
  struct stat st;
  ASSERT_EQ(stat(text.c_str(), &st), 0);
  int32_t when = 0;
  EXPECT_EQ(s.GetLastTextTime(&when), 0);
  EXPECT_EQ(when, static_cast<int32_t>(st.st_mtime));
  char16_t wbuf[50];
  size = 50;
  EXPECT_EQ(s.ReadTextW("HEADER", wbuf, &size, 0, 0), -1);
  EXPECT_EQ(s.WriteTextW(1704164700, u"x", nullptr, nullptr), -1);
  EXPECT_EQ(s.WriteHeaderTextW(u"x"), -1);
  EXPECT_EQ(plat::GetLastError(), plat::kErrNotSupported);
  // No move through the server: the log keeps its name.
  EXPECT_EQ(s.Rename("SLOW"), 0);
  EXPECT_EQ(plat::GetLastError(), plat::kErrNotSupported);
  EXPECT_EQ(access((dir + "/" + kName).c_str(), F_OK), 0);

  // A closed log whose text kept the open log's name is found there too.
  ASSERT_EQ(rename((dir + "/" + kName).c_str(), (dir + "/FAST240102_030405_240102_040000.odl").c_str()), 0);
  CLogFileStore closed;
  ASSERT_EQ(closed.Open("scada1", "\\\\scada1\\LOGGED_DATA\\DEMO1\\FAST240102_030405_240102_040000.odl", kGenericRead),
            0);
  size = sizeof buf;
  EXPECT_EQ(closed.ReadText("HEADER", buf, &size, 0, 0), 1);
  EXPECT_STREQ(buf, "new header\r\n");
  // No text file anywhere: -1.
  ASSERT_EQ(unlink(text.c_str()), 0);
  size = sizeof buf;
  EXPECT_EQ(closed.ReadText("HEADER", buf, &size, 0, 0), -1);
}

// A collection of another machine is listed through its server, and the logs
// it opens are read there.
TEST_F(RemoteLog, CollectionListsAndOpensThroughTheServer) {
  MakeLog(3, 20);
  // A closed log, a text file and a stray name beside the open log.
  ASSERT_EQ(link((dir + "/" + kName).c_str(), (dir + "/FAST240101_000000_240101_010000.odl").c_str()), 0);
  FILE* f = fopen((dir + "/notes.txt").c_str(), "w");
  ASSERT_NE(f, nullptr);
  fclose(f);

  CLogFileCollection c;
  ASSERT_EQ(c.Open(nullptr, "\\\\scada1\\LOGGED_DATA\\DEMO1", "", "FAST", kGenericRead), 0);
  EXPECT_TRUE(c.ListsRemotely());
  std::vector<std::string> dfs = RequestsOf("DF");
  ASSERT_EQ(dfs.size(), 1u);
  EXPECT_EQ(dfs[0], std::string("DF,\\LOGGED_DATA\\DEMO1\t.odl\t0") + '\0');

  int size = 0;
  ASSERT_EQ(c.FindFirst(&size), 1);
  EXPECT_EQ(size, 256);
  std::vector<std::string> names;
  char name[256];
  TimeStamp start{}, stop{};
  while (c.FindNext(name, &start, &stop) == 1) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"FAST240101_000000_240101_010000.odl", kName}));
  ASSERT_EQ(c.FindNewest(name, &size, &start, &stop, 0), 1);
  EXPECT_STREQ(name, kName);
  EXPECT_EQ(start.seconds, 1704164645);
  EXPECT_EQ(stop.seconds, 0);

  CLogStore* s = c.OpenLog(name, kGenericRead);
  ASSERT_NE(s, nullptr);
  LogHeader h{};
  ASSERT_EQ(s->ReadHeader(&h), 0);
  EXPECT_EQ(h.recordCount, 20u);
  std::vector<uint8_t> got(data.size());
  EXPECT_EQ(s->ReadLogs(0, &h, got.data(), 20, 0, nullptr, nullptr), 20);
  EXPECT_EQ(got, data);
  s->Destroy(1);
  // Nothing of a remote collection is deleted from here.
  int32_t later = 2000000000;
  c.DeleteBefore(&later);
  EXPECT_EQ(access((dir + "/FAST240101_000000_240101_010000.odl").c_str(), F_OK), 0);

  // Write access, a directory missing on the server, or no server at all.
  CLogFileCollection w, missing;
  EXPECT_EQ(w.Open(nullptr, "\\\\scada1\\LOGGED_DATA\\DEMO1", "", "FAST", kGenericRead | kGenericWrite), -1);
  EXPECT_EQ(missing.Open(nullptr, "\\\\scada1\\LOGGED_DATA\\NONE", "", "FAST", kGenericRead), -1);
  EXPECT_EQ(missing.Open(nullptr, "\\\\nosuchhost\\LOGGED_DATA\\DEMO1", "", "FAST", kGenericRead), -1);
}

// A program of another computer browses a logger's logs: the command
// client's in-process source on the share path of the logger's directory
// lists and reads the log through the logger's server.
TEST_F(RemoteLog, InProcessSourceOnAShareReadsThroughTheServer) {
  MakeLog(3, 20);
  Local_InstallTransport();
  const char* location = "\\\\scada1\\LOGGED_DATA\\DEMO1";
  std::vector<char> reply(32769);
  uint32_t n = 32768;
  EXPECT_EQ(Srv_SendRequest(location, "QP,", reply.data(), &n), 2);  // the log's prefix and the status channels
  n = 32768;
  ASSERT_EQ(Srv_SendRequest(location, "IP,*,3", reply.data(), &n), 1);
  EXPECT_NE(std::string(reply.data()).find("AA:3"), std::string::npos) << reply.data();
  EXPECT_FALSE(RequestsOf("DF,\\LOGGED_DATA\\DEMO1").empty());
  EXPECT_FALSE(RequestsOf("RF,\\LOGGED_DATA\\DEMO1\\FAST240102_030405.odl").empty());
  Srv_CloseAll();
}

// The search for a text by start stamp never takes the text of another log
// that has its own ".odl"; a text left without its log is found.
TEST_F(RemoteLog, TextSearchSkipsTheTextOfAnotherLog) {
  MakeLog(2, 3);
  const std::string other = dir + "/FAST240102_030405_240102_040000";
  ASSERT_EQ(link((dir + "/" + kName).c_str(), (other + ".odl").c_str()), 0);
  ASSERT_EQ(rename((dir + "/FAST240102_030405.txt").c_str(), (other + ".txt").c_str()), 0);
  CLogFileStore s;
  ASSERT_EQ(s.Open("scada1", kUnc, kGenericRead), 0);
  char buf[100];
  int size = sizeof buf;
  EXPECT_EQ(s.ReadText("HEADER", buf, &size, 0, 0), -1);
  // Without the other log, the text (say of a stop stamp this log lost) is its own.
  ASSERT_EQ(unlink((other + ".odl").c_str()), 0);
  size = sizeof buf;
  EXPECT_EQ(s.ReadText("HEADER", buf, &size, 0, 0), 1);
  EXPECT_STREQ(buf, "first line\r\n");
}
