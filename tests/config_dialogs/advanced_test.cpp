// The "Advanced" dialog: the port list from the system's serial ports, the
// node number's validation, and the port block written back only by OK and
// only when it differs.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "config_dialogs/advanced.h"
#include "config_dialogs/helpfile.h"
#include "config_dialogs/resources.h"
#include "dialog_fixture.h"
#include "platform/registry.h"
#include "platform/root.h"

using namespace qdui;
using dlgtest::HostRecord;
using dlgtest::ScriptPresenter;

namespace {

void SetSerialPorts(const std::vector<std::pair<std::string, std::string>>& ports) {
  plat::RegDeleteTree(plat::HKEY_LOCAL_MACHINE, kSerialCommKey);
  plat::HKEY key = nullptr;
  ASSERT_EQ(plat::RegCreateKeyEx(plat::HKEY_LOCAL_MACHINE, kSerialCommKey, 0, plat::KEY_ALL_ACCESS, &key, nullptr), 0u);
  for (const auto& [name, data] : ports)
    ASSERT_EQ(plat::RegSetValueEx(key, name.c_str(), plat::REG_SZ, data.c_str(), uint32_t(data.size() + 1)), 0u);
  plat::RegCloseKey(key);
}

void SetValue(const char* name, uint32_t type, const void* data, uint32_t size) {
  plat::HKEY key = nullptr;
  ASSERT_EQ(plat::RegCreateKeyEx(plat::HKEY_LOCAL_MACHINE, kSerialCommKey, 0, plat::KEY_ALL_ACCESS, &key, nullptr), 0u);
  ASSERT_EQ(plat::RegSetValueEx(key, name, type, data, size), 0u);
  plat::RegCloseKey(key);
}

class AdvancedTest : public ::testing::Test {
 protected:
  void SetUp() override { SetSerialPorts({}); }

  // Runs the dialog on the record with the script; returns the result.
  int Run(HostRecord& rec, uint16_t defaultCom, int* changed, std::function<void(Dialog&)> script) {
    presenter.script = std::move(script);
    return RunAdvanced(presenter, nullptr, rec.bytes, defaultCom, changed);
  }

  ScriptPresenter presenter;
};

std::vector<std::string> Items(Dialog& d) { return d.Find(kIdcPort)->items; }
std::string Selected(Dialog& d) { return d.GetItemText(kIdcPort, d.GetCurSel(kIdcPort)); }

}  // namespace

TEST_F(AdvancedTest, EmptyNameOpensWithTheDefaultPortAndAnUntouchedOkChangesNothing) {
  HostRecord rec("", 7, 3);
  HostRecord before = rec;
  int changed = -5;
  std::vector<std::string> items;
  std::string selected, node;
  EXPECT_EQ(Run(rec, 4, &changed,
                [&](Dialog& d) {
                  items = Items(d);
                  selected = Selected(d);
                  node = d.Find(kIdcNode)->text;
                  d.Command(IDOK);
                }),
            IDOK);
  EXPECT_EQ(items, std::vector<std::string>{"COM4"});
  EXPECT_EQ(selected, "COM4");
  EXPECT_EQ(node, "7");
  EXPECT_EQ(changed, 0);
  EXPECT_EQ(std::memcmp(rec.bytes, before.bytes, sizeof rec.bytes), 0);
}

TEST_F(AdvancedTest, PortListHoldsTheSystemPortsOfAtMostSixCharactersAndTheCurrentNameOnce) {
  SetSerialPorts({{"\\Device\\Serial0", "COM1"},
                  {"\\Device\\Serial9", "COM10"},
                  {"\\Device\\Serial1", "COM2"},
                  {"\\Device\\Serial77", "COM1234"},   // 7 characters: not offered
                  {"\\Device\\Serial3", "com4"},       // the current COM4, case aside
                  {"\\Device\\Serial4", "COM10"},      // the same port twice
                  {"\\Device\\Serial5", ""}});         // no name
  const uint32_t dword = 5;
  SetValue("\\Device\\Odd", plat::REG_DWORD, &dword, sizeof dword);     // not a text
  SetValue(std::string(101, 'N').c_str(), plat::REG_SZ, "COM8", 5);     // name over 100 characters
  std::string big(70, 'C');
  SetValue("\\Device\\Big", plat::REG_SZ, big.c_str(), uint32_t(big.size() + 1));  // data over 64 bytes
  SetValue("\\Device\\Serial6", plat::REG_SZ, "COM3", 5);              // after the skipped ones
  HostRecord rec("COM4", 1, 0);
  HostRecord before = rec;
  std::vector<std::string> items;
  std::string selected;
  int changed = -5;
  Run(rec, 4, &changed, [&](Dialog& d) {
    items = Items(d);
    selected = Selected(d);
    d.Command(IDOK);
  });
  EXPECT_EQ(items, (std::vector<std::string>{"COM1", "COM10", "COM2", "COM3", "com4"}));
  EXPECT_EQ(selected, "com4");
  // The system's spelling of the same port is no change.
  EXPECT_EQ(changed, 0);
  EXPECT_EQ(std::memcmp(rec.bytes, before.bytes, sizeof rec.bytes), 0);
}

TEST_F(AdvancedTest, CurrentNameMissingFromTheSystemPortsIsAddedInOrder) {
  SetSerialPorts({{"a", "COM1"}, {"b", "COM3"}});
  HostRecord rec("COM2", 1, 0);
  std::vector<std::string> items;
  std::string selected;
  Run(rec, 9, nullptr, [&](Dialog& d) {
    items = Items(d);
    selected = Selected(d);
    d.Command(IDCANCEL);
  });
  EXPECT_EQ(items, (std::vector<std::string>{"COM1", "COM2", "COM3"}));
  EXPECT_EQ(selected, "COM2");
}

TEST_F(AdvancedTest, UnreadablePortListLeavesOnlyTheCurrentName) {
  // A plain file where the HARDWARE key's folder would be: the key cannot
  // be created or opened.
  plat::RegDeleteTree(plat::HKEY_LOCAL_MACHINE, "HARDWARE");
  const std::string blocker = plat::RootFolder("registry") + "/HKEY_LOCAL_MACHINE/k_hardware";
  std::filesystem::create_directories(std::filesystem::path(blocker).parent_path());
  int fd = open(blocker.c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  close(fd);
  plat::HKEY key = nullptr;
  ASSERT_NE(plat::RegCreateKeyEx(plat::HKEY_LOCAL_MACHINE, kSerialCommKey, 0, plat::KEY_QUERY_VALUE, &key, nullptr), 0u)
      << "the registry no longer fails on a file in place of a key; find another way to make it fail";
  HostRecord rec("COM6", 1, 0);
  std::vector<std::string> items;
  Run(rec, 4, nullptr, [&](Dialog& d) {
    items = Items(d);
    d.Command(IDCANCEL);
  });
  std::filesystem::remove(blocker);
  EXPECT_EQ(items, std::vector<std::string>{"COM6"});
}

// Node texts and what OK makes of them.
struct NodeCase {
  const char* text;
  const char* prompt;  // null: accepted
  uint8_t stored;
};

TEST_F(AdvancedTest, NodeNumberValidation) {
  const NodeCase cases[] = {
      {"0", nullptr, 0},
      {"255", nullptr, 255},
      {" 17 ", nullptr, 17},
      {"007", nullptr, 7},
      {"256", "Please enter an integer between 0 and 255.", 0},
      {"4294967295", "Please enter an integer between 0 and 255.", 0},
      {"4294967296", "Please enter a positive integer.", 0},
      {"99999999999999999999", "Please enter a positive integer.", 0},
      {"-1", "Please enter a positive integer.", 0},
      {"+1", "Please enter a positive integer.", 0},
      {"abc", "Please enter a positive integer.", 0},
      {"12a", "Please enter a positive integer.", 0},
      {"1 2", "Please enter a positive integer.", 0},
      {"", "Please enter a positive integer.", 0},
      {"0x10", "Please enter a positive integer.", 0},
  };
  for (const NodeCase& c : cases) {
    SCOPED_TRACE(c.text);
    HostRecord rec("COM1", 99, 5);
    HostRecord before = rec;
    int changed = -5;
    bool open = false;
    int focus = -1;
    ScriptPresenter p;
    p.script = [&](Dialog& d) {
      d.UserType(kIdcNode, c.text);
      d.Command(IDOK);
      open = d.IsOpen();
      focus = d.FocusId();
      if (open) d.Command(IDCANCEL);
    };
    RunAdvanced(p, nullptr, rec.bytes, 1, &changed);
    if (c.prompt != nullptr) {
      EXPECT_TRUE(open);
      EXPECT_EQ(focus, kIdcNode);
      EXPECT_EQ(p.messages.shown, std::vector<std::string>{c.prompt});
      EXPECT_EQ(changed, -5);
      EXPECT_EQ(std::memcmp(rec.bytes, before.bytes, sizeof rec.bytes), 0);
    } else {
      EXPECT_FALSE(open);
      EXPECT_TRUE(p.messages.shown.empty());
      EXPECT_EQ(rec.block()[1], c.stored);
      EXPECT_EQ(rec.block()[0], 5) << "the retry count is never edited";
      EXPECT_EQ(changed, c.stored == 99 ? 0 : 1);
    }
  }
}

TEST_F(AdvancedTest, FailedValidationKeepsTheDialogOpenUntilTheValueIsMended) {
  HostRecord rec("COM1", 1, 2);
  int changed = -5;
  int prompts = 0;
  ScriptPresenter p;
  p.script = [&](Dialog& d) {
    d.UserType(kIdcNode, "300");
    d.Command(IDOK);
    ASSERT_TRUE(d.IsOpen());
    prompts = static_cast<int>(p.messages.shown.size());
    d.UserType(kIdcNode, "30");
    d.Command(IDOK);
  };
  EXPECT_EQ(RunAdvanced(p, nullptr, rec.bytes, 1, &changed), IDOK);
  EXPECT_EQ(prompts, 1);
  EXPECT_EQ(rec.block()[1], 30);
  EXPECT_EQ(changed, 1);
}

TEST_F(AdvancedTest, PickedPortIsWrittenZeroFilledWithTheRetryCountKept) {
  SetSerialPorts({{"a", "COM1"}, {"b", "COM12"}, {"c", "COM2"}});
  HostRecord rec("COM12", 4, 9);
  int changed = -5;
  Run(rec, 1, &changed, [&](Dialog& d) {
    d.UserSelect(kIdcPort, d.FindStringExact(kIdcPort, "COM2"));
    d.Command(IDOK);
  });
  EXPECT_EQ(changed, 1);
  const uint8_t expect[9] = {9, 4, 'C', 'O', 'M', '2', 0, 0, 0};
  EXPECT_EQ(std::memcmp(rec.block(), expect, 9), 0);
}

TEST_F(AdvancedTest, TypedPortNameIsTakenOnlyWhenItIsInTheList) {
  SetSerialPorts({{"a", "COM1"}, {"b", "COM2"}});
  {
    HostRecord rec("COM1", 4, 0);
    int changed = -5;
    Run(rec, 1, &changed, [&](Dialog& d) {
      d.UserType(kIdcPort, "/dev/ttyUSB0");
      d.Command(IDOK);
    });
    EXPECT_EQ(rec.port(), "COM1");
    EXPECT_EQ(changed, 0);
  }
  {
    HostRecord rec("COM1", 4, 0);
    int changed = -5;
    Run(rec, 1, &changed, [&](Dialog& d) {
      d.UserType(kIdcPort, "com2");  // the listed COM2, case aside
      d.Command(IDOK);
    });
    EXPECT_EQ(rec.port(), "COM2");
    EXPECT_EQ(changed, 1);
  }
}

TEST_F(AdvancedTest, CancelWritesNothing) {
  SetSerialPorts({{"a", "COM1"}, {"b", "COM2"}});
  HostRecord rec("", 4, 1);
  HostRecord before = rec;
  int changed = -5;
  EXPECT_EQ(Run(rec, 3, &changed,
                [&](Dialog& d) {
                  d.UserSelect(kIdcPort, d.FindStringExact(kIdcPort, "COM2"));
                  d.UserType(kIdcNode, "200");
                  d.Command(IDCANCEL);
                }),
            IDCANCEL);
  EXPECT_EQ(changed, -5);
  EXPECT_EQ(std::memcmp(rec.bytes, before.bytes, sizeof rec.bytes), 0);
}

TEST_F(AdvancedTest, EmptyNameGetsAPortOnlyWhenAnotherIsPicked) {
  SetSerialPorts({{"a", "COM1"}, {"b", "COM4"}});
  HostRecord rec("", 4, 1);
  int changed = -5;
  Run(rec, 4, &changed, [&](Dialog& d) {
    EXPECT_EQ(Items(d), (std::vector<std::string>{"COM1", "COM4"}));
    d.UserSelect(kIdcPort, d.FindStringExact(kIdcPort, "COM1"));
    d.Command(IDOK);
  });
  EXPECT_EQ(rec.port(), "COM1");
  EXPECT_EQ(changed, 1);
}

TEST_F(AdvancedTest, LongDefaultNameIsOfferedButNeverWrittenIntoTheSixCharacterField) {
  HostRecord rec("", 4, 1);
  HostRecord before = rec;
  int changed = -5;
  std::string selected;
  Run(rec, 65535, &changed, [&](Dialog& d) {
    selected = Selected(d);
    d.Command(IDOK);
  });
  EXPECT_EQ(selected, "COM65535");
  EXPECT_EQ(changed, 0);
  EXPECT_EQ(std::memcmp(rec.bytes, before.bytes, sizeof rec.bytes), 0);
}

TEST_F(AdvancedTest, UnterminatedSevenCharacterNameIsReadWithinItsField) {
  HostRecord rec("", 4, 1);
  std::memcpy(rec.block() + 2, "COM1234", 7);  // no terminating zero
  HostRecord before = rec;
  int changed = -5;
  std::string selected;
  Run(rec, 4, &changed, [&](Dialog& d) {
    selected = Selected(d);
    d.Command(IDOK);
  });
  EXPECT_EQ(selected, "COM1234");
  EXPECT_EQ(changed, 0);
  EXPECT_EQ(std::memcmp(rec.bytes, before.bytes, sizeof rec.bytes), 0);
}

TEST_F(AdvancedTest, HelpShowsTheAdvancedTopicOfTheHelpFileBesideTheLibrary) {
  HostRecord rec("COM1", 4, 1);
  Run(rec, 4, nullptr, [&](Dialog& d) {
    d.Help();
    d.Command(IDCANCEL);
  });
  ASSERT_EQ(presenter.help.requests.size(), 1u);
  EXPECT_EQ(presenter.help.requests[0].first, QdSetup_HelpFilePath());
  EXPECT_EQ(presenter.help.requests[0].second, "::/html/qd_c8ir7.htm");
}

TEST_F(AdvancedTest, TemplateIsTheAdvancedDialog) {
  HostRecord rec("COM1", 4, 1);
  Run(rec, 4, nullptr, [&](Dialog& d) {
    EXPECT_EQ(d.TemplateId(), 129);
    EXPECT_EQ(d.Title(), "Advanced");
    EXPECT_EQ(d.Width(), 164);
    EXPECT_EQ(d.Height(), 90);
    ASSERT_NE(d.Find(kIdcPort), nullptr);
    EXPECT_TRUE(d.Find(kIdcPort)->sorted);
    d.Command(IDCANCEL);
  });
}

TEST(AdvancedRecord, MissingRecordIsRefusedWithoutADialog) {
  ScriptPresenter p;
  bool ran = false;
  p.script = [&](Dialog&) { ran = true; };
  errno = 0;
  EXPECT_EQ(RunAdvanced(p, nullptr, nullptr, 1, nullptr), -1);
  EXPECT_EQ(errno, 87);
  EXPECT_FALSE(ran);
}
