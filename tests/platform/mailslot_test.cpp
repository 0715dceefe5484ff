#include <cerrno>
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
