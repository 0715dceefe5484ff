#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "cdxlib/shm/signals.h"
#include "platform/error.h"
#include "platform/mailslot.h"
#include "support/child.h"

namespace {

using plat::MailslotReader;
using plat::MailslotWriter;

TEST(Mailslots, NamesAndExistence) {
  auto reader = MailslotReader::Create("\\\\.\\mailslot\\Alpha", 0);
  ASSERT_TRUE(reader);
  // Second reader of the same name, in another case: already exists.
  EXPECT_FALSE(MailslotReader::Create("\\\\.\\MAILSLOT\\alpha", 0));
  EXPECT_EQ(plat::GetLastError(), 183u);
  // Writers open it case-blind; a name without reader fails with 2.
  EXPECT_TRUE(MailslotWriter::Open("\\\\.\\Mailslot\\ALPHA"));
  EXPECT_FALSE(MailslotWriter::Open("\\\\.\\mailslot\\beta"));
  EXPECT_EQ(plat::GetLastError(), 2u);
  EXPECT_EQ(errno, 2);
  struct Bad {
    const char* path;
    uint32_t error;
  } bad[] = {{"\\\\host\\mailslot\\alpha", 53}, {"alpha", 123}, {"\\\\.\\mailslot\\", 123}, {"\\\\.\\pipe\\x", 123}};
  for (const auto& b : bad) {
    EXPECT_FALSE(MailslotWriter::Open(b.path)) << b.path;
    EXPECT_EQ(plat::GetLastError(), b.error) << b.path;
  }
  // When the reader goes, the name is free and writers fail with 2.
  auto writer = MailslotWriter::Open("\\\\.\\mailslot\\alpha");
  reader.reset();
  EXPECT_EQ(writer->Write("x", 1), -1);
  EXPECT_EQ(plat::GetLastError(), 2u);
  EXPECT_TRUE(MailslotReader::Create("\\\\.\\mailslot\\alpha", 0));
}

TEST(Mailslots, WholeMessagesTimeOutsAndTooLargeMessages) {
  auto reader = MailslotReader::Create("\\\\.\\mailslot\\m", 8);
  auto writer = MailslotWriter::Open("\\\\.\\mailslot\\m");
  ASSERT_TRUE(reader && writer);
  char buf[16];
  EXPECT_EQ(reader->Read(buf, sizeof buf, 0), -1);
  EXPECT_EQ(plat::GetLastError(), 121u);
  EXPECT_EQ(writer->Write("123456789", 9), 9);  // larger than the reader takes: dropped
  EXPECT_EQ(writer->Write("abc", 3), 3);
  EXPECT_EQ(writer->Write("", 0), 0);
  EXPECT_EQ(writer->Write("12345678", 8), 8);
  EXPECT_EQ(reader->Read(buf, sizeof buf, 5000), 3);
  EXPECT_EQ(std::memcmp(buf, "abc", 3), 0);
  EXPECT_EQ(reader->Read(buf, sizeof buf, 5000), 0);
  // A buffer too small leaves the message queued.
  EXPECT_EQ(reader->Read(buf, 4, 5000), -1);
  EXPECT_EQ(plat::GetLastError(), 122u);
  EXPECT_TRUE(static_cast<plat::Event&>(reader->Readable()).IsSet());
  EXPECT_EQ(reader->Read(buf, sizeof buf, 0), 8);
  EXPECT_FALSE(static_cast<plat::Event&>(reader->Readable()).IsSet());
  EXPECT_EQ(reader->Pending(), 0u);
}

TEST(Mailslots, ShutdownWakesABlockedRead) {
  auto reader = MailslotReader::Create("\\\\.\\mailslot\\s", 0);
  int result = 0;
  uint32_t error = 0;
  std::thread t([&] {
    char buf[4];
    result = reader->Read(buf, sizeof buf, plat::kMailslotWaitForever);
    error = plat::GetLastError();
  });
  plat::SleepMs(50);
  reader->Shutdown();
  t.join();
  EXPECT_EQ(result, -1);
  EXPECT_EQ(error, 995u);
  // The name is free as soon as the reader is shut down, not when it is destroyed.
  EXPECT_FALSE(MailslotWriter::Open("\\\\.\\mailslot\\s"));
  EXPECT_EQ(plat::GetLastError(), 2u);
  EXPECT_TRUE(MailslotReader::Create("\\\\.\\mailslot\\s", 0));
  reader->Shutdown();  // twice is harmless
}

// Another process bursts 10,000 messages while nobody reads: none is lost,
// none is reordered, and the writer never gives up.
TEST(Mailslots, BurstFromAnotherProcessWhileTheReaderIsBusy) {
  auto reader = MailslotReader::Create(Sig_MailslotPath(Sig_MailslotName(getpid())), 4);
  ASSERT_TRUE(reader);
  const int count = 10000;
  pid_t child = testsupport::SpawnProgram(
      {testsupport::BinPath("ipcpeer"), "send", std::to_string(getpid()), "1000", std::to_string(count)});
  ASSERT_GT(child, 0);
  EXPECT_EQ(testsupport::WaitChild(child, 60000), 0);
  for (int i = 0; i < count; ++i) {
    uint32_t code = 0;
    ASSERT_EQ(reader->Read(&code, sizeof code, 10000), 4) << i;
    ASSERT_EQ(code, 1000u + i);
  }
  EXPECT_EQ(reader->Pending(), 0u);
}

}  // namespace

namespace {

// A reader in a child process that can be stopped: it reads count messages
// whose first four bytes number them, and exits 0 when they came in rising
// order and the last one was count - 1.
pid_t StartNumberedReader(const std::string& path, int count) {
  return testsupport::ForkChild([path, count] {
    auto reader = MailslotReader::Create(path, 0);
    if (!reader) return 10;
    std::vector<char> buf(64 * 1024);
    int64_t last = -1;
    while (last != count - 1) {
      int n = reader->Read(buf.data(), buf.size(), 60000);
      if (n < 4) return 11;
      int32_t seq;
      std::memcpy(&seq, buf.data(), sizeof seq);
      if (seq <= last) return 12;
      last = seq;
    }
    return 0;
  });
}

std::unique_ptr<MailslotWriter> OpenWhenThere(const std::string& path) {
  std::unique_ptr<MailslotWriter> w;
  testsupport::WaitUntil([&] { return (w = MailslotWriter::Open(path)) != nullptr; }, 30000);
  return w;
}

std::vector<std::string> g_reports;
void CollectReport(const char* text) { g_reports.push_back(text); }

}  // namespace

// A stopped reader never holds a writer up: every write returns at once,
// the messages wait in the writer's process and arrive in order once the
// reader goes on.
TEST(Mailslots, WritesToAStoppedReaderReturnAtOnceAndArriveInOrder) {
  const std::string path = "\\\\.\\mailslot\\stopped_reader";
  const int count = 300;
  pid_t child = StartNumberedReader(path, count);
  auto writer = OpenWhenThere(path);
  ASSERT_TRUE(writer);
  ASSERT_EQ(::kill(child, SIGSTOP), 0);
  ASSERT_TRUE(testsupport::WaitUntil([&] { return testsupport::ProcessState(child) == 'T'; }, 10000));
  std::vector<char> msg(1000, 'x');
  for (int i = 0; i < count; ++i) {
    std::memcpy(msg.data(), &i, sizeof i);
    ASSERT_EQ(writer->Write(msg.data(), msg.size()), static_cast<int>(msg.size())) << i;
  }
  EXPECT_GT(plat::QueuedMailslotMessages(), 0u);
  ASSERT_EQ(::kill(child, SIGCONT), 0);
  EXPECT_EQ(testsupport::WaitChild(child, 60000), 0);
  EXPECT_TRUE(plat::FlushMailslots(10000));
}

// A reader stopped for long: the queue keeps its newest 8 MiB, drops the
// oldest, and the error log says once how many went.
TEST(Mailslots, AFullQueueDropsTheOldestAndSaysSoOnce) {
  const std::string path = "\\\\.\\mailslot\\full_queue";
  const int count = 200;  // 12 MB of 60 KB messages
  pid_t child = StartNumberedReader(path, count);
  auto writer = OpenWhenThere(path);
  ASSERT_TRUE(writer);
  ASSERT_EQ(::kill(child, SIGSTOP), 0);
  ASSERT_TRUE(testsupport::WaitUntil([&] { return testsupport::ProcessState(child) == 'T'; }, 10000));
  g_reports.clear();
  plat::SetMailslotDropReporter(CollectReport);
  std::vector<char> msg(60 * 1024, 'y');
  for (int i = 0; i < count; ++i) {
    std::memcpy(msg.data(), &i, sizeof i);
    ASSERT_EQ(writer->Write(msg.data(), msg.size()), static_cast<int>(msg.size())) << i;
  }
  EXPECT_LT(plat::QueuedMailslotMessages(), static_cast<size_t>(count));
  ASSERT_EQ(::kill(child, SIGCONT), 0);
  EXPECT_EQ(testsupport::WaitChild(child, 60000), 0);  // the newest came, in order
  EXPECT_TRUE(plat::FlushMailslots(10000));
  plat::SetMailslotDropReporter(nullptr);
  ASSERT_EQ(g_reports.size(), 1u);
  EXPECT_NE(g_reports[0].find("full_queue: "), std::string::npos) << g_reports[0];
  EXPECT_NE(g_reports[0].find(" message(s) dropped"), std::string::npos) << g_reports[0];
  EXPECT_GT(std::atoi(g_reports[0].c_str() + g_reports[0].find("full_queue: ") + 12), 0);
}

// Messages still queued when a process exits normally go out before it ends.
TEST(Mailslots, QueuedMessagesGoOutAtANormalExit) {
  const std::string path = "\\\\.\\mailslot\\exit_flush";
  const int count = 100;
  pid_t reader = StartNumberedReader(path, count);
  ASSERT_TRUE(OpenWhenThere(path));
  ASSERT_EQ(::kill(reader, SIGSTOP), 0);
  ASSERT_TRUE(testsupport::WaitUntil([&] { return testsupport::ProcessState(reader) == 'T'; }, 10000));
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  pid_t writer = testsupport::ForkChild([&] {
    ::close(ready[0]);
    auto w = MailslotWriter::Open(path);
    if (!w) return 20;
    std::vector<char> msg(1000, 'z');
    for (int i = 0; i < count; ++i) {
      std::memcpy(msg.data(), &i, sizeof i);
      if (w->Write(msg.data(), msg.size()) != static_cast<int>(msg.size())) return 21;
    }
    char c = 1;
    if (::write(ready[1], &c, 1) != 1) return 22;
    std::exit(0);  // a normal exit, with its exit handlers
  });
  ::close(ready[1]);
  char c = 0;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  ::close(ready[0]);
  ASSERT_EQ(::kill(reader, SIGCONT), 0);
  EXPECT_EQ(testsupport::WaitChild(writer, 30000), 0);
  EXPECT_EQ(testsupport::WaitChild(reader, 30000), 0);
}
