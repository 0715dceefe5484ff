#include "platform/registry.h"

#include <csignal>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "platform/root.h"
#include "platform/sync.h"
#include "support/child.h"

namespace {

using namespace plat;

// A key under HKEY_LOCAL_MACHINE, created fresh for each test and closed
// at its end.
class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Test", 0, KEY_ALL_ACCESS, &key_, nullptr), 0u);
  }
  void TearDown() override {
    RegCloseKey(key_);
    RegDeleteTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\Test");
  }

  static uint32_t SetString(HKEY key, const char* name, const std::string& text) {
    return RegSetValueEx(key, name, REG_SZ, text.c_str(), static_cast<uint32_t>(text.size() + 1));
  }
  static std::string GetString(HKEY key, const char* name, uint32_t* rc = nullptr) {
    char buf[512] = {};
    uint32_t size = sizeof buf - 1, type = 0;
    uint32_t r = RegQueryValueEx(key, name, &type, buf, &size);
    if (rc) *rc = r;
    return r == 0 ? std::string(buf) : std::string();
  }

  HKEY key_ = nullptr;
};

TEST_F(RegistryTest, NamesAreCaseBlindAndCasePreserving) {
  HKEY sub = nullptr;
  uint32_t disposition = 0;
  ASSERT_EQ(RegCreateKeyEx(key_, "Windows NT\\CurrentVersion", 0, KEY_ALL_ACCESS, &sub, &disposition), 0u);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  ASSERT_EQ(SetString(sub, "TagSize", "12"), 0u);
  RegCloseKey(sub);

  HKEY again = nullptr;
  ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "software\\TEST\\windows nt\\currentVERSION", KEY_ALL_ACCESS, &again),
            0u);
  EXPECT_EQ(GetString(again, "TAGSIZE"), "12");
  // Another spelling writes the same value (it takes the spelling of its last write).
  ASSERT_EQ(SetString(again, "tagsize", "14"), 0u);
  std::vector<std::string> values;
  ASSERT_EQ(RegListValues(again, &values), 0u);
  ASSERT_EQ(values.size(), 1u);
  EXPECT_EQ(GetString(again, "TagSize"), "14");
  RegCloseKey(again);

  std::vector<std::string> subkeys;
  ASSERT_EQ(RegListSubKeys(key_, &subkeys), 0u);
  EXPECT_EQ(subkeys, std::vector<std::string>{"Windows NT"});
  // Windows-1252 letters fold too.
  EXPECT_TRUE(RegNamesEqual("\xC4rger", "\xE4RGER"));
}

TEST_F(RegistryTest, CreateReportsNewOrExistingAndOpenOfMissingKeyFails) {
  HKEY k = nullptr;
  uint32_t disposition = 0;
  ASSERT_EQ(RegCreateKeyEx(key_, "A\\B", 0, KEY_READ, &k, &disposition), 0u);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  RegCloseKey(k);
  ASSERT_EQ(RegCreateKeyEx(key_, "a\\b", 0, KEY_READ, &k, &disposition), 0u);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  RegCloseKey(k);
  EXPECT_EQ(RegOpenKeyEx(key_, "A\\C", KEY_READ, &k), 2u);
  EXPECT_EQ(errno, 2);
}

TEST_F(RegistryTest, ConcurrentCreatesByProcessesReportExactlyOneNewKey) {
  constexpr int kChildren = 6;
  std::vector<pid_t> pids;
  for (int i = 0; i < kChildren; ++i) {
    pids.push_back(testsupport::ForkChild([] {
      HKEY k = nullptr;
      uint32_t disposition = 0;
      if (RegCreateKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Test\\Race\\Deep", 0, KEY_READ, &k, &disposition) != 0)
        return 3;
      RegCloseKey(k);
      return disposition == REG_CREATED_NEW_KEY ? 1 : 0;
    }));
  }
  int created = 0;
  for (pid_t p : pids) {
    int rc = testsupport::WaitChild(p, 10000);
    ASSERT_TRUE(rc == 0 || rc == 1) << rc;
    created += rc;
  }
  EXPECT_EQ(created, 1);
}

TEST_F(RegistryTest, SmallBufferGivesMoreDataAndTheSizeNeeded) {
  ASSERT_EQ(SetString(key_, "Port", "9600,n,8,1"), 0u);
  char buf[4] = {'x', 'x', 'x', 'x'};
  uint32_t size = sizeof buf, type = 0;
  EXPECT_EQ(RegQueryValueEx(key_, "Port", &type, buf, &size), 234u);
  EXPECT_EQ(size, 11u);
  EXPECT_EQ(buf[0], 'x');  // untouched
  size = 0;
  EXPECT_EQ(RegQueryValueEx(key_, "Port", &type, nullptr, &size), 0u);
  EXPECT_EQ(size, 11u);
  EXPECT_EQ(type, REG_SZ);
  // Binary data and the default (unnamed) value.
  const uint32_t dword = 0x12345678;
  ASSERT_EQ(RegSetValueEx(key_, nullptr, REG_DWORD, &dword, 4), 0u);
  uint32_t read = 0;
  size = 4;
  ASSERT_EQ(RegQueryValueEx(key_, "", &type, &read, &size), 0u);
  EXPECT_EQ(read, dword);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(RegDeleteValue(key_, "Port"), 0u);
  EXPECT_EQ(RegDeleteValue(key_, "Port"), 2u);
  size = sizeof buf;
  EXPECT_EQ(RegQueryValueEx(key_, "Port", &type, buf, &size), 2u);
}

TEST_F(RegistryTest, AccessRightsOfTheOpenedKeyAreChecked) {
  HKEY readOnly = nullptr, writeOnly = nullptr;
  ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Test", KEY_QUERY_VALUE, &readOnly), 0u);
  ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Test", KEY_SET_VALUE, &writeOnly), 0u);
  EXPECT_EQ(SetString(readOnly, "X", "1"), 5u);
  EXPECT_EQ(SetString(writeOnly, "X", "1"), 0u);
  uint32_t rc = 0;
  GetString(writeOnly, "X", &rc);
  EXPECT_EQ(rc, 5u);
  EXPECT_EQ(GetString(readOnly, "X"), "1");
  HKEY sub = nullptr;
  EXPECT_EQ(RegCreateKeyEx(readOnly, "Sub", 0, KEY_READ, &sub, nullptr), 5u);
  Event ev(true, false);
  EXPECT_EQ(RegNotifyChangeKeyValue(readOnly, false, REG_NOTIFY_CHANGE_LAST_SET, &ev), 5u);
  RegCloseKey(readOnly);
  RegCloseKey(writeOnly);
}

TEST_F(RegistryTest, NameLengthLimitsAndLongEncodedNames) {
  HKEY k = nullptr;
  const std::string longest(255, '#');  // encodes to 765 bytes: stored under a hashed file name
  ASSERT_EQ(RegCreateKeyEx(key_, longest, 0, KEY_ALL_ACCESS, &k, nullptr), 0u);
  ASSERT_EQ(SetString(k, longest.c_str(), "v"), 0u);
  EXPECT_EQ(GetString(k, longest.c_str()), "v");
  // A name that differs only near its end is another key.
  std::string other = longest;
  other[254] = '$';
  HKEY k2 = nullptr;
  uint32_t disposition = 0;
  ASSERT_EQ(RegCreateKeyEx(key_, other, 0, KEY_ALL_ACCESS, &k2, &disposition), 0u);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  RegCloseKey(k);
  RegCloseKey(k2);
  EXPECT_EQ(RegCreateKeyEx(key_, std::string(256, 'a'), 0, KEY_ALL_ACCESS, &k, nullptr), 87u);
}

TEST_F(RegistryTest, DeleteKeyRefusesSubkeysDeleteTreeRemovesAll) {
  HKEY k = nullptr;
  ASSERT_EQ(RegCreateKeyEx(key_, "P\\Q\\R", 0, KEY_ALL_ACCESS, &k, nullptr), 0u);
  RegCloseKey(k);
  EXPECT_EQ(RegDeleteKey(key_, "P"), 5u);
  EXPECT_EQ(RegDeleteKey(key_, "p\\q\\r"), 0u);
  EXPECT_EQ(RegDeleteTree(key_, "P"), 0u);
  EXPECT_EQ(RegOpenKeyEx(key_, "P", KEY_READ, &k), 2u);
  EXPECT_EQ(RegDeleteTree(key_, "P"), 2u);
}

TEST_F(RegistryTest, VolatileKeyLivesOnTmpfsAndIsGoneAfterARestart) {
  HKEY k = nullptr;
  uint32_t disposition = 0;
  ASSERT_EQ(RegCreateKeyEx(key_, "EWF", REG_OPTION_VOLATILE, KEY_ALL_ACCESS, &k, &disposition), 0u);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  ASSERT_EQ(SetString(k, "V", "1"), 0u);
  RegCloseKey(k);
  ASSERT_EQ(RegCreateKeyEx(key_, "ewf", REG_OPTION_VOLATILE, KEY_ALL_ACCESS, &k, &disposition), 0u);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  RegCloseKey(k);

  // The key's folder is a link into tmpfs; a restart empties tmpfs, which
  // is what removing the link's target plays here.
  const std::string link =
      RootFolder("registry") + "/HKEY_LOCAL_MACHINE/k_software/k_test/k_ewf";
  std::error_code ec;
  ASSERT_TRUE(std::filesystem::is_symlink(link, ec));
  std::filesystem::remove_all(std::filesystem::read_symlink(link, ec), ec);
  EXPECT_EQ(RegOpenKeyEx(key_, "EWF", KEY_READ, &k), 2u);
  ASSERT_EQ(RegCreateKeyEx(key_, "EWF", REG_OPTION_VOLATILE, KEY_ALL_ACCESS, &k, &disposition), 0u);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  RegCloseKey(k);
  EXPECT_EQ(RegDeleteTree(key_, "EWF"), 0u);
}

// Notification: armed here, changed by another process.
TEST_F(RegistryTest, NotificationFiresAfterAChangeByAnotherProcessAndOnlyOncePerArming) {
  HKEY sub = nullptr;
  ASSERT_EQ(RegCreateKeyEx(key_, "Watched\\Child", 0, KEY_ALL_ACCESS, &sub, nullptr), 0u);
  RegCloseKey(sub);
  HKEY watched = nullptr;
  ASSERT_EQ(RegOpenKeyEx(key_, "Watched", KEY_NOTIFY | KEY_QUERY_VALUE, &watched), 0u);
  Event ev(true, false);
  auto changeBy = [](const char* subKey, const char* value) {
    pid_t p = testsupport::ForkChild([&] {
      HKEY k = nullptr;
      if (RegCreateKeyEx(HKEY_LOCAL_MACHINE, subKey, 0, KEY_SET_VALUE, &k, nullptr) != 0) return 1;
      uint32_t rc = RegSetValueEx(k, value, REG_SZ, "x", 2);
      RegCloseKey(k);
      return rc == 0 ? 0 : 2;
    });
    return testsupport::WaitChild(p, 10000);
  };

  // A change before arming is not reported.
  ASSERT_EQ(changeBy("SOFTWARE\\Test\\Watched", "Before"), 0);
  ASSERT_EQ(RegNotifyChangeKeyValue(watched, true, REG_NOTIFY_CHANGE_LAST_SET | REG_NOTIFY_CHANGE_NAME, &ev), 0u);
  EXPECT_EQ(ev.Wait(100), kWaitTimeout);

  // A change in a subkey fires the subtree notification.
  ASSERT_EQ(changeBy("SOFTWARE\\Test\\Watched\\Child", "V"), 0);
  EXPECT_EQ(ev.Wait(10000), 0);

  // Not re-armed: the next change leaves the reset event alone.
  ev.Reset();
  ASSERT_EQ(changeBy("SOFTWARE\\Test\\Watched", "Again"), 0);
  EXPECT_EQ(ev.Wait(300), kWaitTimeout);

  // Re-armed: fires again.
  ASSERT_EQ(RegNotifyChangeKeyValue(watched, true, REG_NOTIFY_CHANGE_LAST_SET, &ev), 0u);
  ASSERT_EQ(changeBy("SOFTWARE\\Test\\Watched", "Third"), 0);
  EXPECT_EQ(ev.Wait(10000), 0);
  RegCloseKey(watched);
}

TEST_F(RegistryTest, NotificationHonoursItsFilterAndSubtreeFlag) {
  HKEY sub = nullptr;
  ASSERT_EQ(RegCreateKeyEx(key_, "W\\Child", 0, KEY_ALL_ACCESS, &sub, nullptr), 0u);
  HKEY watched = nullptr;
  ASSERT_EQ(RegOpenKeyEx(key_, "W", KEY_ALL_ACCESS, &watched), 0u);
  Event names(true, false), flat(true, false);
  ASSERT_EQ(RegNotifyChangeKeyValue(watched, false, REG_NOTIFY_CHANGE_NAME, &names), 0u);
  ASSERT_EQ(RegNotifyChangeKeyValue(watched, false, REG_NOTIFY_CHANGE_LAST_SET, &flat), 0u);
  // A value in the subkey: neither a name change nor (without subtree) a change here.
  ASSERT_EQ(SetString(sub, "V", "1"), 0u);
  // A value of the key itself: the value watch fires, the name watch does not.
  ASSERT_EQ(SetString(watched, "V", "1"), 0u);
  EXPECT_EQ(flat.Wait(10000), 0);
  EXPECT_EQ(names.Wait(200), kWaitTimeout);
  // A new subkey is a name change.
  HKEY added = nullptr;
  ASSERT_EQ(RegCreateKeyEx(watched, "Added", 0, KEY_READ, &added, nullptr), 0u);
  EXPECT_EQ(names.Wait(10000), 0);
  RegCloseKey(added);
  RegCloseKey(sub);

  // Closing the key cancels its notification.
  Event cancelled(true, false);
  ASSERT_EQ(RegNotifyChangeKeyValue(watched, true, REG_NOTIFY_CHANGE_LAST_SET, &cancelled), 0u);
  RegCloseKey(watched);
  HKEY again = nullptr;
  ASSERT_EQ(RegOpenKeyEx(key_, "W", KEY_ALL_ACCESS, &again), 0u);
  ASSERT_EQ(SetString(again, "V", "2"), 0u);
  EXPECT_EQ(cancelled.Wait(200), kWaitTimeout);
  RegCloseKey(again);
}

// A subtree watch covers keys made after it was armed: a value set in a
// key that another process creates below the watched one (the creation
// itself is not of the watched kind) still fires it.
TEST_F(RegistryTest, SubtreeNotificationCoversKeysCreatedAfterArming) {
  HKEY watched = nullptr;
  ASSERT_EQ(RegCreateKeyEx(key_, "Tree", 0, KEY_ALL_ACCESS, &watched, nullptr), 0u);
  for (const char* subKey : {"SOFTWARE\\Test\\Tree\\New", "SOFTWARE\\Test\\Tree\\New\\Deeper\\Deepest"}) {
    Event ev(true, false);
    ASSERT_EQ(RegNotifyChangeKeyValue(watched, true, REG_NOTIFY_CHANGE_LAST_SET, &ev), 0u);
    pid_t p = testsupport::ForkChild([&] {
      HKEY k = nullptr;
      if (RegCreateKeyEx(HKEY_LOCAL_MACHINE, subKey, 0, KEY_SET_VALUE, &k, nullptr) != 0) return 1;
      uint32_t rc = RegSetValueEx(k, "V", REG_SZ, "x", 2);
      RegCloseKey(k);
      return rc == 0 ? 0 : 2;
    });
    ASSERT_EQ(testsupport::WaitChild(p, 10000), 0);
    RegDeliverPendingNotifications();
    EXPECT_EQ(ev.Wait(10000), 0) << subKey;
    RegDeleteTree(watched, "New");
  }
  RegCloseKey(watched);
}

// A writer killed at any moment leaves the old or the new value whole.
TEST_F(RegistryTest, KillDuringAValueWriteLeavesTheOldOrTheNewValue) {
  constexpr uint32_t kSize = 256 * 1024;
  {
    std::string a(kSize, 'A');
    ASSERT_EQ(RegSetValueEx(key_, "Big", REG_BINARY, a.data(), kSize), 0u);
  }
  auto check = [&](const char* when) {
    std::string buf(kSize, '\0');
    uint32_t size = kSize, type = 0;
    ASSERT_EQ(RegQueryValueEx(key_, "Big", &type, buf.data(), &size), 0u) << when;
    ASSERT_EQ(size, kSize) << when;
    const char first = buf[0];
    ASSERT_TRUE(first >= 'A' && first <= 'Z') << when;
    ASSERT_EQ(buf.find_first_not_of(first), std::string::npos) << when;
  };
  for (int round = 0; round < 8; ++round) {
    pid_t p = testsupport::ForkChild([] {
      HKEY k = nullptr;
      if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Test", KEY_SET_VALUE, &k) != 0) return 1;
      std::string data(kSize, 'A');
      for (int i = 0;; ++i) {
        std::fill(data.begin(), data.end(), static_cast<char>('A' + i % 26));
        RegSetValueEx(k, "Big", REG_BINARY, data.data(), kSize);
      }
    });
    for (int i = 0; i < 5; ++i) check("while writing");
    plat::SleepMs(1 + round * 3);
    ::kill(p, SIGKILL);
    EXPECT_EQ(testsupport::WaitChild(p, 10000), 128 + SIGKILL);
    check("after the kill");
  }
  // The next write removes what the killed writers left behind.
  ASSERT_EQ(SetString(key_, "Small", "x"), 0u);
  for (const auto& e : std::filesystem::directory_iterator(RootFolder("registry") +
                                                            "/HKEY_LOCAL_MACHINE/k_software/k_test"))
    EXPECT_NE(e.path().filename().string().rfind(".tmp", 0), 0u) << e.path();
}

TEST(RegistryRemote, ConnectingToAnotherMachineFailsWith53) {
  HKEY hive = nullptr;
  EXPECT_EQ(RegConnectRegistry("\\\\faraway", HKEY_LOCAL_MACHINE, &hive), 53u);
  EXPECT_EQ(errno, 53);
  for (const char* local : {static_cast<const char*>(nullptr), "", ".", "\\\\."}) {
    hive = nullptr;
    EXPECT_EQ(RegConnectRegistry(local, HKEY_LOCAL_MACHINE, &hive), 0u);
    EXPECT_EQ(hive, HKEY_LOCAL_MACHINE);
  }
}

TEST(RegistryHives, MachineAndUserHivesAreSeparate) {
  HKEY m = nullptr, u = nullptr;
  ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Sep", 0, KEY_ALL_ACCESS, &m, nullptr), 0u);
  ASSERT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, "SOFTWARE\\Sep", 0, KEY_ALL_ACCESS, &u, nullptr), 0u);
  ASSERT_EQ(RegSetValueEx(m, "X", REG_SZ, "m", 2), 0u);
  char buf[8];
  uint32_t size = sizeof buf;
  EXPECT_EQ(RegQueryValueEx(u, "X", nullptr, buf, &size), 2u);
  RegCloseKey(m);
  RegCloseKey(u);
}

// Keys and values are the service's own: made under the process's umask, so
// that with 022 another user of the machine (here "nobody", given a way
// into the instance root) can read a value but neither change it nor add
// one. A forced 0777/0666 let any user switch a setting the service trusts.
TEST_F(RegistryTest, ValuesHonourTheUmaskAndAnotherUserCannotSetThem) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  const mode_t old = ::umask(022);
  HKEY sub = nullptr;
  ASSERT_EQ(RegCreateKeyEx(key_, "Security", 0, KEY_ALL_ACCESS, &sub, nullptr), 0u);
  ASSERT_EQ(SetString(sub, "TlsVerify", "ON"), 0u);
  ::umask(old);

  // The key made above: its folder, its ".name" and the value's file.
  const std::string folder = RootFolder("registry") + "/HKEY_LOCAL_MACHINE/k_software/k_test/k_security";
  std::vector<std::string> made = {folder};
  for (const auto& e : std::filesystem::directory_iterator(folder)) made.push_back(e.path());
  ASSERT_EQ(made.size(), 3u);
  for (const std::string& path : made) {
    struct stat st;
    ASSERT_EQ(::lstat(path.c_str(), &st), 0) << path;
    EXPECT_EQ(st.st_mode & (S_IWGRP | S_IWOTH), 0u) << path;
  }

  // The instance root of a test is private (mkdtemp): open the way to it as
  // an instance shared by the users of a machine is.
  ASSERT_EQ(::chmod(Root().c_str(), 0755), 0);
  const pid_t child = testsupport::ForkChild([&] {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) return 10;
    HKEY k = nullptr;
    if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Test\\Security", KEY_ALL_ACCESS, &k) != 0) return 11;
    if (GetString(k, "TlsVerify") != "ON") return 12;               // reading stays open to all
    if (SetString(k, "TlsVerify", "OFF") == 0) return 13;           // replacing the value
    if (SetString(k, "NAME_DebugFile", "/etc/passwd") == 0) return 14;  // adding one
    HKEY planted = nullptr;
    if (RegCreateKeyEx(k, "Planted", 0, KEY_ALL_ACCESS, &planted, nullptr) == 0) return 15;
    RegCloseKey(k);
    return 0;
  });
  EXPECT_EQ(testsupport::WaitChild(child, 60000), 0);
  ::chmod(Root().c_str(), 0700);
  EXPECT_EQ(GetString(sub, "TlsVerify"), "ON");
  RegCloseKey(sub);
}

}  // namespace
