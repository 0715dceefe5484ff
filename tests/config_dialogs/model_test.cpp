// Pieces under the dialogs: sorted combo boxes, the help file's name and
// the host device record's fields.
#include <gtest/gtest.h>

#include <cstring>

#include "config_dialogs/dialog.h"
#include "config_dialogs/helpfile.h"
#include "config_dialogs/hostrecord.h"
#include "config_dialogs/resources.h"
#include "dialog_fixture.h"

using namespace qdui;

TEST(DialogModel, SortedComboInsertsCaseBlindAndKeepsTheSelectionOnItsItem) {
  Dialog d(kTemplateAdvanced, nullptr, nullptr);
  d.Start();
  EXPECT_EQ(d.AddString(kIdcPort, "COM2"), 0);
  d.SetCurSel(kIdcPort, 0);
  EXPECT_EQ(d.AddString(kIdcPort, "com10"), 0);
  EXPECT_EQ(d.AddString(kIdcPort, "Com1"), 0);
  EXPECT_EQ(d.AddString(kIdcPort, "COM3"), 3);
  EXPECT_EQ(d.Find(kIdcPort)->items, (std::vector<std::string>{"Com1", "com10", "COM2", "COM3"}));
  EXPECT_EQ(d.GetItemText(kIdcPort, d.GetCurSel(kIdcPort)), "COM2");
  EXPECT_EQ(d.FindStringExact(kIdcPort, "COM10"), 1);
  EXPECT_EQ(d.FindStringExact(kIdcPort, "COM"), -1);
  d.SetCurSel(kIdcPort, 9);
  EXPECT_EQ(d.GetCurSel(kIdcPort), -1);
}

TEST(DialogModel, EndedDialogTakesNoMoreInput) {
  Dialog d(kTemplateChannels, nullptr, nullptr);
  d.Start();
  d.Command(IDCANCEL);
  EXPECT_FALSE(d.IsOpen());
  d.Command(IDOK);
  EXPECT_EQ(d.Result(), IDCANCEL);
}

TEST(DialogModel, DisabledControlTakesNoTyping) {
  Dialog d(kTemplateChannels, nullptr, nullptr);
  d.Start();
  d.EnableControl(kIdcBit, false);
  d.UserType(kIdcBit, "5");
  EXPECT_EQ(d.Find(kIdcBit)->text, "");
}

TEST(HelpFile, NameIsTheLibrarysWithTheExtensionReplaced) {
  const std::pair<const char*, const char*> cases[] = {
      {"/opt/cdx/bin/libqd_setup.so", "/opt/cdx/bin/libqd_setup.chm"},
      {"qd_setup.dll", "qd_setup.chm"},
      {"/opt/a.b/qd_setup", "/opt/a.b/qd_setup.chm"},
      {"/opt/.hidden", "/opt/.hidden.chm"},
      {"plain", "plain.chm"},
  };
  for (auto [lib, help] : cases) EXPECT_EQ(QdSetup_HelpFileFor(lib), help) << lib;
  EXPECT_EQ(QdSetup_HelpTopicUrl("x.chm", "::/html/qd_c8ir7.htm"), "x.chm::/html/qd_c8ir7.htm");
  EXPECT_FALSE(QdSetup_HelpFilePath().empty());
}

TEST(HostRecord, FieldsAtTheirOffsets) {
  dlgtest::HostRecord rec("COM3", 8, 2);
  std::memcpy(rec.bytes + kHostPathEntryOffset + 4 * 2, "ao", 2);
  rec.bytes[kHostPathCountOffset + 4 * 2] = 5;
  rec.bytes[kHostPathCountOffset + 4 * 2 + 1] = 0;
  EXPECT_EQ(Host_DeviceName(rec.bytes), "PLC4");
  EXPECT_EQ(Host_ConfigDir(rec.bytes), "PLC4");
  EXPECT_TRUE(Host_PathPresent(rec.bytes, 0));
  EXPECT_FALSE(Host_PathPresent(rec.bytes, 1));
  EXPECT_TRUE(Host_PathPresent(rec.bytes, 2));
  EXPECT_FALSE(Host_PathPresent(rec.bytes, 5));
  EXPECT_FALSE(Host_PathPresent(rec.bytes, -1));
  EXPECT_EQ(Host_PathName(rec.bytes, 0), "ai");
  EXPECT_EQ(Host_PathName(rec.bytes, 2), "ao");
  EXPECT_EQ(Host_PathCount(rec.bytes, 0), 266);
  EXPECT_EQ(Host_PathCount(rec.bytes, 2), 5);
  EXPECT_EQ(Host_PortBlock(rec.bytes)[1], 8);
  // Texts that fill their field are read within it.
  std::memset(rec.bytes + kHostDeviceNameOffset, 'N', kHostDeviceNameMax);
  EXPECT_EQ(Host_DeviceName(rec.bytes), std::string(kHostDeviceNameMax, 'N'));
}

// Without the host's function the default COM number is 1 (this test
// program does not define it).
TEST(HostRecord, DefaultComNumberWithoutTheHostsFunction) { EXPECT_EQ(Host_DefaultComNumber(), 1); }
