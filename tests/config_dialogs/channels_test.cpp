// The "Channel Configuration" dialog: the kind a channel opens as, the
// validation of node, address and bit, and OK writing the Type byte and the
// fields of the chosen kind only.
#include <gtest/gtest.h>

#include <cstring>

#include "config_dialogs/channels.h"
#include "config_dialogs/helpfile.h"
#include "config_dialogs/resources.h"
#include "dialog_fixture.h"

using namespace qdui;
using dlgtest::PatternChannel;
using dlgtest::ScriptPresenter;

namespace {

// Every byte that differs between two records.
std::vector<size_t> Diff(const ChannelConfig& a, const ChannelConfig& b) {
  std::vector<size_t> out;
  const uint8_t* x = reinterpret_cast<const uint8_t*>(&a);
  const uint8_t* y = reinterpret_cast<const uint8_t*>(&b);
  for (size_t i = 0; i < sizeof a; ++i)
    if (x[i] != y[i]) out.push_back(i);
  return out;
}

struct Shown {
  int selection = -2;
  std::string node, address, bit;
  bool bitEnabled = false, bitLabelEnabled = false;
};

Shown Look(Dialog& d) {
  Shown s;
  s.selection = d.GetCurSel(kIdcChannelType);
  s.node = d.Find(kIdcNode)->text;
  s.address = d.Find(kIdcAddress)->text;
  s.bit = d.Find(kIdcBit)->text;
  s.bitEnabled = d.Find(kIdcBit)->enabled;
  s.bitLabelEnabled = d.Find(kIdcBitLabel)->enabled;
  return s;
}

}  // namespace

TEST(ChannelsDialog, KindShownForEachTypeAndWrittenByOk) {
  struct Case {
    uint8_t type;
    bool digital;
  } cases[] = {{0, false}, {1, true}, {2, false}, {3, true}, {4, false}, {5, true}, {6, false}, {200, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(int(c.type));
    ChannelConfig ch = PatternChannel(c.type);
    const ChannelConfig before = ch;
    int changed = -5;
    Shown shown;
    ScriptPresenter p;
    p.script = [&](Dialog& d) {
      shown = Look(d);
      d.Command(IDOK);
    };
    EXPECT_EQ(RunChannels(p, nullptr, &ch, &changed), IDOK);
    EXPECT_EQ(changed, 1) << "OK always reports a change";
    if (c.digital) {
      EXPECT_EQ(shown.selection, kTypeIndexDigital);
      EXPECT_EQ(shown.node, "21");
      EXPECT_EQ(shown.address, "16");
      EXPECT_EQ(shown.bit, "9");
      EXPECT_TRUE(shown.bitEnabled);
      EXPECT_TRUE(shown.bitLabelEnabled);
      EXPECT_EQ(ch.Type, 3);
    } else {
      EXPECT_EQ(shown.selection, kTypeIndexAnalog);
      EXPECT_EQ(shown.node, "12");
      EXPECT_EQ(shown.address, "308");
      EXPECT_EQ(shown.bit, "0");
      EXPECT_FALSE(shown.bitEnabled);
      EXPECT_FALSE(shown.bitLabelEnabled);
      EXPECT_EQ(ch.Type, 2);
    }
    // Unchanged values: only the Type byte may differ.
    std::vector<size_t> diff = Diff(before, ch);
    if (before.Type == ch.Type)
      EXPECT_TRUE(diff.empty());
    else
      EXPECT_EQ(diff, std::vector<size_t>{24});
  }
}

// A value typed into one field, and what OK makes of it.
struct FieldCase {
  uint8_t type;
  int id;
  const char* text;
  const char* prompt;  // null: accepted
  std::vector<std::pair<size_t, uint8_t>> written;  // bytes OK writes (besides Type)
};

TEST(ChannelsDialog, FieldValidationAndStorage) {
  const char* range255 = "Please enter an integer between 0 and 255.";
  const char* range15 = "Please enter an integer between 0 and 15.";
  const char* positive = "Please enter a positive integer.";
  const FieldCase cases[] = {
      // Analog node and address at 188 and 190.
      {0, kIdcNode, "0", nullptr, {{188, 0}}},
      {0, kIdcNode, "255", nullptr, {{188, 255}}},
      {0, kIdcNode, "256", range255, {}},
      {0, kIdcNode, "x", positive, {}},
      {0, kIdcNode, "-3", positive, {}},
      {0, kIdcAddress, "0", nullptr, {{190, 0}, {191, 0}}},
      {0, kIdcAddress, "65535", nullptr, {{190, 0xFF}, {191, 0xFF}}},
      {0, kIdcAddress, "65536", nullptr, {{190, 0}, {191, 0}}},
      {0, kIdcAddress, "70000", nullptr, {{190, 4464 & 0xFF}, {191, 4464 >> 8}}},
      {0, kIdcAddress, "4294967295", nullptr, {{190, 0xFF}, {191, 0xFF}}},
      {0, kIdcAddress, "4294967296", positive, {}},
      {0, kIdcAddress, "", positive, {}},
      {0, kIdcAddress, "1.5", positive, {}},
      // Digital node, address and bit at 192, 194 and 196.
      {3, kIdcNode, "173", nullptr, {{192, 173}}},
      {3, kIdcNode, "256", range255, {}},
      {3, kIdcAddress, "70000", nullptr, {{194, 4464 & 0xFF}, {195, 4464 >> 8}}},
      {3, kIdcBit, "0", nullptr, {{196, 0}}},
      {3, kIdcBit, "15", nullptr, {{196, 15}}},
      {3, kIdcBit, "16", range15, {}},
      {3, kIdcBit, "-1", positive, {}},
      {3, kIdcBit, "b", positive, {}},
  };
  for (const FieldCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.type) + " " + std::to_string(c.id) + " '" + c.text + "'");
    ChannelConfig ch = PatternChannel(c.type);
    ChannelConfig expect = ch;
    int changed = -5;
    bool open = false;
    int focus = -1;
    ScriptPresenter p;
    p.script = [&](Dialog& d) {
      d.UserType(c.id, c.text);
      d.Command(IDOK);
      open = d.IsOpen();
      focus = d.FocusId();
      if (open) d.Command(IDCANCEL);
    };
    RunChannels(p, nullptr, &ch, &changed);
    if (c.prompt != nullptr) {
      EXPECT_TRUE(open);
      EXPECT_EQ(focus, c.id);
      EXPECT_EQ(p.messages.shown, std::vector<std::string>{c.prompt});
      EXPECT_EQ(changed, -5);
      EXPECT_TRUE(Diff(expect, ch).empty());
      continue;
    }
    EXPECT_FALSE(open);
    EXPECT_TRUE(p.messages.shown.empty());
    EXPECT_EQ(changed, 1);
    uint8_t* e = reinterpret_cast<uint8_t*>(&expect);
    e[24] = Chan_IsDigital(c.type) ? 3 : 2;
    for (auto [at, value] : c.written) e[at] = value;
    EXPECT_EQ(Diff(expect, ch), std::vector<size_t>{}) << "only the Type and the edited field change";
  }
}

TEST(ChannelsDialog, AnalogChannelIgnoresTheDisabledBitField) {
  ChannelConfig ch = PatternChannel(0);
  int changed = -5;
  ScriptPresenter p;
  p.script = [&](Dialog& d) {
    // Typed while Digital, then back to Analog: the bit is not the
    // channel's any more and is not checked.
    d.UserSelect(kIdcChannelType, kTypeIndexDigital);
    d.UserType(kIdcBit, "99");
    d.UserSelect(kIdcChannelType, kTypeIndexAnalog);
    d.Command(IDOK);
  };
  EXPECT_EQ(RunChannels(p, nullptr, &ch, &changed), IDOK);
  EXPECT_EQ(ch.Type, 2);
  EXPECT_EQ(reinterpret_cast<uint8_t*>(&ch)[196], 9);
}

TEST(ChannelsDialog, TypeSwitchMovesTheValuesToTheOtherKindsFields) {
  ChannelConfig ch = PatternChannel(0);
  ChannelConfig expect = ch;
  int changed = -5;
  Shown afterSwitch, afterBack;
  ScriptPresenter p;
  p.script = [&](Dialog& d) {
    d.UserSelect(kIdcChannelType, kTypeIndexDigital);
    afterSwitch = Look(d);
    d.UserSelect(kIdcChannelType, kTypeIndexAnalog);
    afterBack = Look(d);
    d.UserSelect(kIdcChannelType, kTypeIndexDigital);
    d.UserType(kIdcBit, "7");
    d.UserType(kIdcAddress, "70000");
    d.Command(IDOK);
  };
  EXPECT_EQ(RunChannels(p, nullptr, &ch, &changed), IDOK);
  EXPECT_TRUE(afterSwitch.bitEnabled);
  EXPECT_TRUE(afterSwitch.bitLabelEnabled);
  EXPECT_EQ(afterSwitch.node, "12") << "the values shown stay as they were";
  EXPECT_FALSE(afterBack.bitEnabled);
  EXPECT_FALSE(afterBack.bitLabelEnabled);
  uint8_t* e = reinterpret_cast<uint8_t*>(&expect);
  e[24] = 3;
  e[192] = 12;
  e[194] = 4464 & 0xFF;
  e[195] = 4464 >> 8;
  e[196] = 7;
  EXPECT_EQ(Diff(expect, ch), std::vector<size_t>{}) << "the analog fields at 188..191 are untouched";
  EXPECT_EQ(changed, 1);
}

TEST(ChannelsDialog, TypeSwitchWithAnInvalidValuePromptsAndStillSwitches) {
  ChannelConfig ch = PatternChannel(0);
  ScriptPresenter p;
  Shown shown;
  p.script = [&](Dialog& d) {
    d.UserType(kIdcNode, "999");
    d.UserSelect(kIdcChannelType, kTypeIndexDigital);
    shown = Look(d);
    d.Command(IDCANCEL);
  };
  RunChannels(p, nullptr, &ch, nullptr);
  EXPECT_EQ(p.messages.shown, std::vector<std::string>{"Please enter an integer between 0 and 255."});
  EXPECT_TRUE(shown.bitEnabled);
  EXPECT_EQ(shown.selection, kTypeIndexDigital);
}

TEST(ChannelsDialog, CancelWritesNothing) {
  ChannelConfig ch = PatternChannel(1);
  const ChannelConfig before = ch;
  int changed = -5;
  ScriptPresenter p;
  p.script = [&](Dialog& d) {
    d.UserSelect(kIdcChannelType, kTypeIndexAnalog);
    d.UserType(kIdcNode, "1");
    d.UserType(kIdcAddress, "2");
    d.Command(IDCANCEL);
  };
  EXPECT_EQ(RunChannels(p, nullptr, &ch, &changed), IDCANCEL);
  EXPECT_EQ(changed, -5);
  EXPECT_TRUE(Diff(before, ch).empty());
}

TEST(ChannelsDialog, TemplateHelpAndTypeList) {
  ChannelConfig ch = PatternChannel(0);
  ScriptPresenter p;
  p.script = [&](Dialog& d) {
    EXPECT_EQ(d.TemplateId(), 130);
    EXPECT_EQ(d.Title(), "Channel Configuration");
    EXPECT_EQ(d.Width(), 146);
    EXPECT_EQ(d.Height(), 119);
    EXPECT_EQ(d.Find(kIdcChannelType)->items, (std::vector<std::string>{"Analog", "Digital"}));
    d.Help();
    d.Command(IDCANCEL);
  };
  RunChannels(p, nullptr, &ch, nullptr);
  ASSERT_EQ(p.help.requests.size(), 1u);
  EXPECT_EQ(p.help.requests[0].first, QdSetup_HelpFilePath());
  EXPECT_EQ(p.help.requests[0].second, "::/html/qd_c00mc.htm");
}

TEST(ChannelsDialog, MissingRecordIsRefusedWithoutADialog) {
  ScriptPresenter p;
  bool ran = false;
  p.script = [&](Dialog&) { ran = true; };
  EXPECT_EQ(RunChannels(p, nullptr, nullptr, nullptr), -1);
  EXPECT_EQ(errno, 87);
  EXPECT_FALSE(ran);
}

TEST(ChannelsDialog, TypingATypeNameSelectsItAndTypingAnythingElseMeansAnalog) {
  struct Case {
    uint8_t type;
    const char* typed;
    int written;
    bool bitEnabled;
  } cases[] = {{0, "digital", 3, true}, {3, "ANALOG", 2, false}, {3, "Relay", 2, false}, {0, "Analog", 2, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.typed);
    ChannelConfig ch = PatternChannel(c.type);
    Shown shown;
    ScriptPresenter p;
    p.script = [&](Dialog& d) {
      d.UserType(kIdcChannelType, c.typed);
      shown = Look(d);
      d.Command(IDOK);
    };
    EXPECT_EQ(RunChannels(p, nullptr, &ch, nullptr), IDOK);
    EXPECT_EQ(ch.Type, c.written);
    EXPECT_EQ(shown.bitEnabled, c.bitEnabled);
  }
}
