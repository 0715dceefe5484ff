// Logger configuration files: binary -> XML -> binary round trips of the
// three logger kinds, the required-element rules, the period choices, the
// binary-only road of other names, and the failures of XML files.
#include "cdxlib/config/loggerfiles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "cdxlib/config/configfiles.h"
#include "cdxlib/config/history.h"
#include "cdxlib/config/loggertypes.h"
#include "cdxlib/config/xmlconfig.h"
#include "cdxlib/sys/registry.h"
#include "platform/error.h"
#include "platform/eventlog.h"
#include "platform/root.h"
#include "support/child.h"

#include "config_support.h"

namespace {

namespace fs = std::filesystem;

using cfgtest::ReadFile;
using cfgtest::SetSwitch;
using cfgtest::WriteFile;

template <size_t N>
void Put(char (&field)[N], const char* text) {
  memset(field, 0, N);
  memcpy(field, text, std::min(strlen(text), N));
}

CfgTime Time(uint8_t y, uint8_t mo, uint8_t d, uint8_t h, uint8_t mi) { return CfgTime{y, mo, d, h, mi, 0}; }

StandardLogger Stand() {
  StandardLogger s;
  memset(&s, 0, sizeof s);
  Put(s.Name, "stand <&> \xe9t\xe9");
  s.Autostart = 1;
  s.Storage = 1;
  s.Type = 1;
  s.PreEventLogs = 5;
  s.PeriodPreEventRate = 1000;
  s.EventLogs = 7;
  s.EventRate = 250;
  s.PostEventLogs = 9;
  s.PostEventRate = 4000000000u;
  s.StartMode = 1;
  s.StartTime = Time(255, 255, 3, 4, 5);
  s.StopTime = Time(126, 12, 31, 23, 59);
  s.Delete = 1;
  s.DeleteOlderThan = Time(0, 1, 2, 3, 4);
  s.Cycle = 2;
  s.CycleEvery = Time(0, 0, 7, 0, 0);
  s.CycleMode = 1;
  s.CycleLogFor = Time(0, 0, 0, 12, 30);
  for (int i = 0; i < kLoggerChannels; ++i) {
    LoggerLogChannel& c = s.LogChannels[i];
    Put(c.Source, ("\\\\srv\\log " + std::to_string(i) + " & <x>").c_str());
    memcpy(c.Range.Prefix, i % 2 ? "QA" : "Q\x80", 2);
    c.Range.From = uint16_t(i);
    c.Range.To = uint16_t(i * 3 + 1);
    c.Tags.From = uint16_t(1000 + i);
    c.Tags.To = 65535;
    c.Average = uint8_t(i % 2);
    c.Lag = uint16_t(i * 11);
    c.Recalc = uint8_t((i + 1) % 2);
    s.EventChannels[i].Range = c.Range;
    s.EventChannels[i].Tags = LoggerTags{uint16_t(i), uint16_t(i + 5)};
  }
  memcpy(s.RofCTriggerChannel.Prefix, "AB", 2);
  s.RofCTriggerChannel.Number = 17;
  Put(s.RofCTriggerTag, "TRIGGER-TAG-15c");
  s.RateofChangeType = 1;
  s.RateofChangeValue = 0.25f;
  s.RofCRewindValue = -12.5f;
  s.RofCRewindType = 0;
  Put(s.RofCRewindTag, "rewind");
  s.TextLogging = 1;
  s.BufferSize = 65536;
  s.WritetoDiskRate = 30;
  Put(s.Directory, "D:\\Logs\\<plant> & \"1\"");
  Put(s.Database, "PROVIDER=SQLOLEDB;Data Source=db;Initial Catalog=logs");
  s.Replicate = 1;
  Put(s.ReplicationTarget, "PROVIDER=SQLOLEDB;Data Source=other");
  s.DropMerge = 1;
  s.DropMergeCylce = 3;
  s.DiskSpaceChecking = 1;
  s.DiskSpaceThreshold = 500;
  Put(s.NamePrefix, "LOG_");
  s.DataExport = 1;
  s.ExportType = 1;
  Put(s.ExportCommand, "export.exe");
  Put(s.ExportParameters, "/q /x");
  s.ExportHeaderType = 2;
  s.ExportTimeBaseType = 2;
  s.ExportTimeBaseUnits = 1;
  s.ExportDataLogsDateDisplay = 4;
  s.ExportFileOptions = 2;
  Put(s.ExportFileName, "export.csv");
  Put(s.ExportHeaderText, "Header line with \xa7 and <tags> & \"quotes\"");
  s.ExportSkipFrequency = 10;
  s.ExportDateFormat = 11;
  s.ExportValueWidth = 12;
  s.ExportValuePrecision = 3;
  memcpy(s.ExportEOLString, "\r\n", 2);
  memcpy(s.ExportSepString, "\t", 1);
  s.ExportDataLogs = 1;
  s.ExportTextLogs = 1;
  s.ExportColumnHeaders = 1;
  s.ExportChannelHeaderTags = 1;
  s.ExportDateSkipType = 3;
  Put(s.ExportTemplateName, "template.xlt");
  s.ExportHeaderDateFormat = 8;
  s.ExportTextLogsDateDisplay = 9;
  s.UseEmail = 1;
  Put(s.EmailAddresses, "ops@example.test; <boss>@example.test");
  Put(s.EmailSubject, "Logs & more");
  Put(s.EmailText, "Attached.\r\nRegards");
  Put(s.EmailSMTPHost, "smtp.example.test");
  s.EmailSMTPPort = 587;
  s.EmailUseSMTPLogin = 1;
  Put(s.EmailSMTPPassword, "00ff7f80a5");
  Put(s.EmailNTPassword, "");
  Put(s.EmailMAPIPassword, "6162");
  Cfg_DeriveLoggerFields(kLoggerStand, &s, 1);
  return s;
}

Republisher Repub() {
  Republisher r;
  memset(&r, 0, sizeof r);
  Put(r.Name, "repub1");
  Put(r.SourceLogger, "stand1");
  r.SourceStorage = 0;
  Put(r.SourceDirectory, "C:\\Logs");
  r.SourceLogin = 1;
  Put(r.SourceLoginUserName, "reader");
  Put(r.SourceLoginPassword, "s3cret & <x>");
  Put(r.SourcePrefix, "SRC");
  r.DestinationConnectionType = 1;
  Put(r.DestinationServer, "\\\\CENTRAL");
  r.DestinationStorage = 1;
  Put(r.DestinationDatabase, "PROVIDER=SQLOLEDB;Data Source=central");
  Put(r.DestinationPrefix, "DST");
  r.Autostart = 1;
  r.UpdateRate = 60;
  r.StartTime = Time(255, 255, 255, 255, 255);
  r.StopTime = Time(150, 6, 15, 8, 0);
  r.Cycle = 1;
  r.CycleEvery = Time(0, 0, 14, 0, 0);
  r.CyclePublishFor = Time(0, 1, 0, 0, 0);
  r.DeleteSource = 1;
  r.DeleteSourceOlderThan = Time(0, 0, 0, 0, 45);
  r.DeleteDestinationOlderThan = Time(0, 0, 1, 0, 0);
  r.RenameAllocatedSubscription = 1;
  Put(r.RenameLoggerName, "renamed");
  r.BufferSize = 4096;
  Put(r.NetworkConnection, "VPN 1");
  r.ThrottleBandwidth = 1;
  r.BandwidthThrottleKbs = 128;
  r.ChannelFilter = 1;
  for (int i = 0; i < kLoggerChannels; ++i) {
    memcpy(r.FilterChannels[i].Prefix, "QA", 2);
    r.FilterChannels[i].From = uint16_t(i);
    r.FilterChannels[i].To = uint16_t(i + 1);
    Put(r.FilterChannelsName[i], ("source " + std::to_string(i)).c_str());
  }
  Cfg_SetLoggerPeriodChoices(&r);
  return r;
}

Resubscriber Resub() {
  Resubscriber r;
  memset(&r, 0, sizeof r);
  Put(r.Name, "resub_QA_1234567890123_S_T_U with a long name & <x>");
  r.Autostart = 1;
  r.ExpiryTimeEnable = 1;
  r.ExpiryTime = Time(127, 1, 1, 0, 0);
  r.OverrideDestination = 1;
  Put(r.DestinationDirectory, "E:\\Resub");
  r.DatabaseDestinationUse = 1;
  Put(r.DatabaseDestination, "PROVIDER=x");
  r.GenerateAlarmOnChannelAlarm = 1;
  r.PriorityAlarmOnChannelAlarm = 200;
  r.CommonAlarmOnChannelAlarm = 1;
  r.DelayAlarmOnChannelAlarm = 30;
  r.GenerateAlarmOnCommTimeout = 1;
  r.PriorityAlarmOnCommTimeout = 5;
  r.DelayAlarmOnCommTimeout = 65535;
  r.DestinationCanAckAlarms = 1;
  r.ArchiveEnable = 1;
  r.ArchiveDepthType = 2;
  r.ArchiveDepth = 90;
  return r;
}

class LoggerFilesTest : public ::testing::Test {
 protected:
  std::string dir;
  void SetUp() override {
    setenv("CDXPLAT_EVENTLOG", "file", 1);
    const std::string root = plat::Root() + "/logcfg/CURRENT_CONFIG";
    fs::remove_all(plat::Root() + "/logcfg");
    dir = root + "/LOGGERS";
    fs::create_directories(dir);
    SetSwitch("ReadXML", "OFF");
    SetSwitch("WriteXML", "BIN");
  }
};

TEST_F(LoggerFilesTest, EachKindRoundTripsBinaryXmlBinaryByteForByte) {
  const StandardLogger stand = Stand();
  const Republisher repub = Repub();
  const Resubscriber resub = Resub();
  struct {
    const char* name;
    const void* record;
    uint32_t size;
  } cases[] = {{"stand1", &stand, sizeof stand}, {"REPUB7", &repub, sizeof repub}, {"resub_a", &resub, sizeof resub}};
  for (const auto& c : cases) {
    SetSwitch("WriteXML", "BIN");
    ASSERT_EQ(Cfg_SaveLogger(dir.c_str(), "tester", c.name, 3, c.record, c.size), 0) << c.name;
    const std::string bin = ReadFile(dir + "/" + c.name + "_3");
    ASSERT_EQ(bin.size(), c.size) << c.name;
    std::vector<unsigned char> loaded(c.size);
    ASSERT_EQ(Cfg_LoadLogger(dir.c_str(), c.name, 3, loaded.data(), c.size), 0);

    SetSwitch("WriteXML", "XML");
    ASSERT_EQ(Cfg_SaveLogger(dir.c_str(), "tester", c.name, 4, loaded.data(), c.size), 0)
        << c.name << ": " << xml_GetErrorText();
    EXPECT_FALSE(fs::exists(dir + "/" + c.name + "_4")) << "XML only";
    EXPECT_TRUE(fs::exists(dir + "/../SCHEMA/" + c.name + ".xsd")) << c.name;
    SetSwitch("ReadXML", "ON");
    std::vector<unsigned char> back(c.size, 0xCC);
    ASSERT_EQ(Cfg_LoadLogger(dir.c_str(), c.name, 4, back.data(), c.size), 0) << c.name << ": " << xml_GetErrorText();
    SetSwitch("ReadXML", "OFF");
    size_t firstDiff = 0;
    while (firstDiff < c.size && back[firstDiff] == static_cast<unsigned char>(bin[firstDiff])) ++firstDiff;
    EXPECT_EQ(firstDiff, c.size) << c.name << ": first differing byte";
  }
  // The XML file of the standard logger: dotted element names, texts as
  // they are, booleans Off/On, hex passwords.
  const std::string xml = ReadFile(dir + "/stand1_4.xml");
  EXPECT_NE(xml.find("<Loggers xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
                     "xmlns=\"http://www.quillomatic.invalid/Coordinatrix/stand1\" "
                     "xsi:schemaLocation=\"http://www.quillomatic.invalid/Coordinatrix/stand1 ../SCHEMA/stand1.xsd\">"
                     "\n\t<Logger>\n\t\t<Name>stand &lt;&amp;&gt; été</Name>\n\t\t<Autostart>On</Autostart>\n"
                     "\t\t<Storage>DATABASE</Storage>\n\t\t<Type>PERIOD-EVENT</Type>"),
            std::string::npos)
      << xml.substr(0, 600);
  EXPECT_NE(xml.find("<LogChannels.1.Range.Prefix>QA</LogChannels.1.Range.Prefix>"), std::string::npos);
  EXPECT_NE(xml.find("<EmailSMTPPassword>00ff7f80a5</EmailSMTPPassword>"), std::string::npos);
  EXPECT_NE(xml.find("<DropMergeCylce>3</DropMergeCylce>"), std::string::npos);
  // The republisher's password is kept enciphered.
  const std::string rxml = ReadFile(dir + "/REPUB7_4.xml");
  EXPECT_EQ(rxml.find("s3cret"), std::string::npos);
  EXPECT_NE(rxml.find("<SourceLoginPassword>enc:"), std::string::npos);
}

TEST_F(LoggerFilesTest, PeriodChoices) {
  struct {
    CfgTime period;
    int choice;
  } cases[] = {{Time(0, 0, 0, 0, 30), 1},  {Time(0, 0, 0, 1, 0), 2},   {Time(0, 0, 0, 0, 120), 3},
               {Time(0, 0, 0, 12, 0), 6},  {Time(0, 0, 1, 0, 0), 7},   {Time(0, 0, 7, 0, 0), 8},
               {Time(0, 0, 14, 0, 0), 9},  {Time(0, 0, 31, 0, 0), 10}, {Time(0, 1, 0, 0, 0), 10},
               {Time(0, 2, 0, 0, 0), 11},  {Time(0, 3, 0, 0, 0), 12},  {Time(0, 0, 0, 0, 45), 0},
               {Time(0, 0, 0, 0, 0), 0}};
  for (const auto& c : cases)
    EXPECT_EQ(Cfg_PeriodChoice(c.period), c.choice)
        << int(c.period.Month) << "/" << int(c.period.Day) << " " << int(c.period.Hour) << ":" << int(c.period.Minute);
}

TEST_F(LoggerFilesTest, RequiredElements) {
  SetSwitch("ReadXML", "ON");
  SetSwitch("WriteXML", "XML");
  // A file written whole, then one element taken out.
  auto without = [&](const char* name, const void* record, uint32_t size, const std::string& element) {
    EXPECT_EQ(Cfg_SaveLogger(dir.c_str(), nullptr, name, 1, record, size), 0) << xml_GetErrorText();
    std::string text = ReadFile(dir + "/" + name + "_1.xml");
    if (!element.empty()) {
      const size_t a = text.find("<" + element + ">");
      const size_t b = text.find("</" + element + ">");
      EXPECT_NE(a, std::string::npos) << element;
      if (a != std::string::npos) text.erase(a, b + element.size() + 3 - a);
      WriteFile(dir + "/" + name + "_1.xml", text);
    }
    std::vector<unsigned char> out(size);
    errno = 0;
    const int rc = Cfg_LoadLogger(dir.c_str(), name, 1, out.data(), size);
    return rc == 0 ? std::string() : std::string(xml_GetErrorMessage());
  };
  StandardLogger s = Stand();
  EXPECT_EQ(without("stand", &s, sizeof s, ""), "");
  EXPECT_EQ(without("stand", &s, sizeof s, "Name"), "<Name> tag not found");
  EXPECT_EQ(errno, 1465);
  EXPECT_EQ(without("stand", &s, sizeof s, "EventChannels.63.Tags.To"), "<EventChannels.63.Tags.To> tag not found");
  EXPECT_EQ(without("stand", &s, sizeof s, "ExportHeaderUnits"), "<ExportHeaderUnits> tag not found");
  EXPECT_EQ(without("stand", &s, sizeof s, "EmailSMTPPassword"), "<EmailSMTPPassword> tag not found");
  // Export off, then e-mail off: their elements are not needed.
  s.UseEmail = 0;
  EXPECT_EQ(without("stand", &s, sizeof s, "EmailSMTPPassword"), "");
  s.ExportType = 0;  // RUN COMMAND: nothing after ExportParameters
  EXPECT_EQ(without("stand", &s, sizeof s, "ExportHeaderUnits"), "");
  EXPECT_EQ(without("stand", &s, sizeof s, "ExportParameters"), "<ExportParameters> tag not found");
  s.Type = 0;  // PERIOD: no event channels
  EXPECT_EQ(without("stand", &s, sizeof s, "EventChannels.63.Tags.To"), "");

  Republisher r = Repub();
  EXPECT_EQ(without("repub", &r, sizeof r, "FilterChannels.5.To"), "<FilterChannels.5.To> tag not found");
  r.ChannelFilter = 0;
  EXPECT_EQ(without("repub", &r, sizeof r, "FilterChannels.5.To"), "");
  EXPECT_EQ(without("repub", &r, sizeof r, "SourceLoginPassword"), "<SourceLoginPassword> tag not found");

  Resubscriber u = Resub();
  EXPECT_EQ(without("resub", &u, sizeof u, "DelayAlarmOnCommTimeout"), "<DelayAlarmOnCommTimeout> tag not found");
  EXPECT_EQ(without("resub", &u, sizeof u, "DelayAlarmOnChannelError"), "") << "that source's alarm is off";
}

TEST_F(LoggerFilesTest, OtherNamesAreBinaryOnlyAndBrokenFilesFail) {
  SetSwitch("WriteXML", "XML");
  SetSwitch("ReadXML", "ON");
  const unsigned char record[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  ASSERT_EQ(Cfg_SaveLogger(dir.c_str(), nullptr, "xyz", 2, record, sizeof record), 0);
  EXPECT_EQ(ReadFile(dir + "/xyz_2"), std::string(reinterpret_cast<const char*>(record), sizeof record));
  EXPECT_FALSE(fs::exists(dir + "/xyz_2.xml"));
  unsigned char back[12];
  memset(back, 0xEE, sizeof back);
  ASSERT_EQ(Cfg_LoadLogger(dir.c_str(), "xyz", 2, back, sizeof back), 0) << "a shorter file is no failure";
  EXPECT_EQ(memcmp(back, record, sizeof record), 0);
  EXPECT_EQ(back[10], 0xEE);

  // A name is a file in the logger directory, never a path.
  errno = 0;
  EXPECT_EQ(Cfg_SaveLogger(dir.c_str(), nullptr, "../stand", 1, record, sizeof record), -1);
  EXPECT_EQ(errno, 123);
  EXPECT_EQ(Cfg_LoadLogger(dir.c_str(), "resub\\x", 1, back, sizeof back), -1);
  EXPECT_EQ(errno, 123);
  EXPECT_FALSE(fs::exists(dir + "/../stand_1"));

  const Resubscriber good = Resub();
  struct {
    const char* name;
    std::string body;
    const char* message;
  } cases[] = {
      {"malformed", "<Loggers><Logger><Name>x</Name>", "Xml Load Failed ("},
      {"no Logger", "<Loggers><Other/></Loggers>", "<Logger> tag not found"},
      {"bad boolean", "<Loggers><Logger><Name>x</Name><Autostart>Sometimes</Autostart></Logger></Loggers>",
       "<Autostart> "},
      {"out of range", "<Loggers><Logger><PriorityAlarmOnChannelAlarm>256</PriorityAlarmOnChannelAlarm></Logger>"
                       "</Loggers>",
       "<PriorityAlarmOnChannelAlarm> "},
      {"bad time", "<Loggers><Logger><ExpiryTime>2020-60-01T00:00</ExpiryTime></Logger></Loggers>",
       "<ExpiryTime> invalid time value"},
  };
  for (const auto& c : cases) {
    WriteFile(dir + "/resub_9.xml", c.body);
    Resubscriber out = good;
    errno = 0;
    EXPECT_EQ(Cfg_LoadLogger(dir.c_str(), "resub", 9, &out, sizeof out), -1) << c.name;
    EXPECT_EQ(errno, 1465) << c.name;
    EXPECT_NE(std::string(xml_GetErrorText()).find(c.message), std::string::npos)
        << c.name << ": " << xml_GetErrorText();
    EXPECT_NE(std::string(xml_GetErrorText()).find("Logger resub_9"), std::string::npos) << c.name;
    EXPECT_EQ(memcmp(&out, &good, sizeof out), 0) << c.name << ": the caller's record is kept";
  }
}

// With the change history on, a save records each changed item under the
// logger's number; a stored XML file that cannot be read stops the save.
TEST_F(LoggerFilesTest, SavesWriteTheChangeHistory) {
  const std::string root = dir.substr(0, dir.rfind('/'));
  setenv("CDX_CURRENT_CONFIG", root.c_str(), 1);
  char old[4096];
  ASSERT_NE(getcwd(old, sizeof old), nullptr);
  ASSERT_EQ(chdir(root.c_str()), 0);
  Hist_SetEnabled(true);

  Resubscriber r = Resub();
  ASSERT_EQ(Cfg_SaveLogger(dir.c_str(), "bob", "resub", 9, &r, sizeof r), 0);
  r.Autostart = 0;
  r.ArchiveDepth = 91;
  r.Name[0] = 'R';  // a change of letter case only
  ASSERT_EQ(Cfg_SaveLogger(dir.c_str(), "bob", "resub", 9, &r, sizeof r), 0);
  Hist_Close();
  const std::string h = ReadFile(root + "/recent_history.txt");
  // The entity is the directory saved, wherever the process works.
  EXPECT_NE(h.find("\tbob\tLOGGERS.9.Autostart On -> Off\r\n"), std::string::npos) << h;
  EXPECT_NE(h.find("\tbob\tLOGGERS.9.ArchiveDepth 90 -> 91\r\n"), std::string::npos) << h;
  EXPECT_EQ(h.find("Name"), std::string::npos) << h;
  EXPECT_EQ(std::count(h.begin(), h.end(), '\n'), 2) << h;

  // The stored XML file is broken: nothing is written.
  SetSwitch("ReadXML", "ON");
  SetSwitch("WriteXML", "BOTH");
  WriteFile(dir + "/resub_9.xml", "<Loggers><Logger>");
  const std::string binary = ReadFile(dir + "/resub_9");
  r.ArchiveDepth = 92;
  errno = 0;
  EXPECT_EQ(Cfg_SaveLogger(dir.c_str(), "bob", "resub", 9, &r, sizeof r), -1);
  EXPECT_EQ(errno, 1465);
  EXPECT_EQ(ReadFile(dir + "/resub_9"), binary);
  EXPECT_EQ(ReadFile(dir + "/resub_9.xml"), "<Loggers><Logger>");

  Hist_Close();
  Hist_SetEnabled(false);
  ASSERT_EQ(chdir(old), 0);
  unsetenv("CDX_CURRENT_CONFIG");
}

// A time field that its reader refuses (a period of 255s, which takes no
// wildcard) is not written: the save fails with 1465 before the binary file
// is replaced, and the XML file stays as it was.
// Without the RC4 cipher (OpenSSL's legacy provider not loadable) a secret
// field cannot be written: the save fails with 1465 and the field's name in
// the error log, and writes neither file (a file without the field would
// not load again). Run in a child whose OpenSSL finds no provider modules.
TEST_F(LoggerFilesTest, ASecretFieldThatCannotBeEncipheredFailsTheSave) {
  for (const char* write : {"XML", "BOTH"}) {
    SCOPED_TRACE(write);
    SetSwitch("WriteXML", write);
    std::remove(plat::EventLogFilePath().c_str());
    const std::string d = dir;
    pid_t pid = testsupport::ForkChild([d] {
      const std::string none = d + "/no-modules";
      fs::create_directories(none);
      setenv("OPENSSL_MODULES", none.c_str(), 1);
      Republisher r = Repub();
      Put(r.DestinationServer, "https://user:pw@central.example/BIN/mod_gsoap.dll?Service");
      errno = 0;
      if (Cfg_SaveLogger(d.c_str(), "bob", "repub", 4, &r, sizeof r) != -1) return 1;
      if (errno != 1465) return 2;
      if (fs::exists(d + "/repub_4") || fs::exists(d + "/repub_4.xml")) return 3;
      return 0;
    });
    ASSERT_EQ(testsupport::WaitChild(pid, 60000), 0);
    const std::string log = ReadFile(plat::EventLogFilePath());
    EXPECT_NE(log.find("<SourceLoginPassword> cannot be written: the value cannot be enciphered"), std::string::npos)
        << log;
  }
}

TEST_F(LoggerFilesTest, ATimeFieldTheReaderRefusesIsNotWritten) {
  Republisher r = Repub();
  SetSwitch("WriteXML", "BOTH");
  ASSERT_EQ(Cfg_SaveLogger(dir.c_str(), "t", "repub", 2, &r, sizeof r), 0) << xml_GetErrorText();
  const std::string binary = ReadFile(dir + "/repub_2"), xml = ReadFile(dir + "/repub_2.xml");
  for (const char* write : {"BOTH", "XML"}) {
    SetSwitch("WriteXML", write);
    Republisher bad = r;
    bad.CycleEvery = Time(255, 255, 255, 255, 255);
    errno = 0;
    EXPECT_EQ(Cfg_SaveLogger(dir.c_str(), "t", "repub", 2, &bad, sizeof bad), -1) << write;
    EXPECT_EQ(errno, 1465) << write;
    EXPECT_NE(std::string(xml_GetErrorText()).find("<CycleEvery> cannot be written"), std::string::npos)
        << xml_GetErrorText();
    EXPECT_EQ(ReadFile(dir + "/repub_2"), binary) << write;
    EXPECT_EQ(ReadFile(dir + "/repub_2.xml"), xml) << write;
  }
  // What the wildcard types take is written and read back.
  SetSwitch("ReadXML", "ON");
  r.StopTime = Time(255, 255, 255, 255, 255);
  ASSERT_EQ(Cfg_SaveLogger(dir.c_str(), "t", "repub", 2, &r, sizeof r), 0) << xml_GetErrorText();
  Republisher back;
  ASSERT_EQ(Cfg_LoadLogger(dir.c_str(), "repub", 2, &back, sizeof back), 0) << xml_GetErrorText();
  EXPECT_EQ(memcmp(&back.StopTime, &r.StopTime, sizeof r.StopTime), 0);
}

// A logger save touches the configuration's change stamp (the root's
// "config", from the logger directory), also when the process works in
// another directory, and leaves the history switch as it was.
TEST_F(LoggerFilesTest, ASaveTouchesTheRootsConfigAndKeepsTheHistorySwitch) {
  const std::string root = dir.substr(0, dir.rfind('/'));
  const std::string elsewhere = plat::Root() + "/logcfg/elsewhere";
  fs::create_directories(elsewhere);
  char old[4096];
  ASSERT_NE(getcwd(old, sizeof old), nullptr);
  const Resubscriber r = Resub();
  struct {
    const char* cwd;
    bool history;
  } cases[] = {{"root", false}, {"root", true}, {"elsewhere", false}};
  for (const auto& c : cases) {
    ASSERT_EQ(chdir(std::string(c.cwd) == "root" ? root.c_str() : elsewhere.c_str()), 0);
    // The file's first byte says the opposite of the process's switch.
    WriteFile(root + "/config", std::string(1, c.history ? '\0' : '\1') + "rest");
    struct timespec past[2] = {{1, 0}, {1, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, (root + "/config").c_str(), past, 0), 0);
    Hist_SetEnabled(c.history);
    ASSERT_EQ(Cfg_SaveLogger(dir.c_str(), "t", "resub", 1, &r, sizeof r), 0) << c.cwd;
    struct stat st;
    ASSERT_EQ(stat((root + "/config").c_str(), &st), 0);
    EXPECT_GT(st.st_mtime, 1) << c.cwd;
    EXPECT_EQ(ReadFile(root + "/config"), std::string(1, c.history ? '\0' : '\1') + "rest") << c.cwd;
    EXPECT_EQ(Hist_IsEnabled(), c.history) << c.cwd;
    Hist_Close();
  }
  Hist_SetEnabled(false);
  ASSERT_EQ(chdir(old), 0);
}

}  // namespace
