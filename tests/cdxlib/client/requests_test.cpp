// Processor, device, logger and general requests against the fake central
// server over the pipe: request texts byte for byte, replies, failures, the
// capability-file fallback, the reconfigure pair and the faults of the
// transport.
#include "cdxlib/client/requests.h"
#include "cdxlib/client/reqbuffers.h"

#include <gtest/gtest.h>
#ifdef __SANITIZE_ADDRESS__
#include <sanitizer/lsan_interface.h>
#endif

#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <locale.h>
#include <string>
#include <vector>

#include "cdxlib/client/requests_capfallback.h"
#include "cdxlib/client/srvclient.h"
#include "cdxlib/config/extdll.h"
#include "cdxlib/config/loggerfiles.h"
#include "cdxlib/config/loggertypes.h"
#include "cdxlib/sys/registry.h"
#include "platform/error.h"
#include "platform/sysinfo.h"
#include "tools/fakesrv/fakesrv.h"

namespace {

std::string Z(const std::string& s) { return s + std::string(1, '\0'); }

void SetServerValue(const char* name, const char* value) {
  uint32_t type = plat::REG_SZ, size = static_cast<uint32_t>(strlen(value) + 1);
  ASSERT_EQ(0u, Reg_AccessValue(plat::HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillomatic\\Coordinatrix", plat::KEY_SET_VALUE,
                                name, &type, const_cast<char*>(value), &size));
}

class Requests : public ::testing::Test {
 protected:
  void SetUp() override {
    config = std::string(getenv("CDXPLAT_ROOT")) + "/CURRENT_CONFIG";
    std::filesystem::remove_all(config);  // left by an earlier test of this process
    std::filesystem::create_directories(config);
    setenv("CDX_CURRENT_CONFIG", config.c_str(), 1);
    ASSERT_EQ(server.Start("."), 0) << plat::GetLastError();
    engine.script().SetDefault(fakesrv::Text("1"));
    SetServerValue("ReconfigureLoggers", "OFF");  // an earlier test may have set it
    SetServerValue("ReadXML", "OFF");
    SetServerValue("WriteXML", "BIN");
    user = plat::UserName();
    who = plat::ComputerName() + "," + user;
  }
  void TearDown() override {
    server.Stop();
    Srv_CloseAll();
    Req_SetAskHook(nullptr);
  }
  std::string Last() { return engine.Requests().empty() ? "" : engine.Requests().back(); }
  std::vector<std::string> Sent() { return engine.Requests(); }
  void WriteFile(const std::string& name, const std::string& text) {
    std::ofstream(config + "/" + name, std::ios::binary) << text;
  }

  fakesrv::Engine engine;
  fakesrv::PipeServer server{&engine};
  std::string config, user, who;
};

TEST_F(Requests, RequestTextsByteForByte) {
  struct Case {
    const char* what;
    std::function<int()> call;
    std::string text;
  } cases[] = {
      {"Proc_Disable", [] { return Proc_Disable(".", "P1"); }, "DP,P1"},
      {"Proc_Enable", [] { return Proc_Enable(".", "P1"); }, "EP,P1"},
      {"Proc_GetCount", [] { return Proc_GetCount("."); }, "QP,"},
      {"Dev_Disable", [] { return Dev_Disable(".", "D1"); }, "DE,D1"},
      {"Dev_Enable", [] { return Dev_Enable(".", "D1"); }, "EE,D1"},
      {"Dev_GetCount", [] { return Dev_GetCount("."); }, "QE,"},
      {"Logger_GetCount", [] { return Logger_GetCount("."); }, "QL"},
      {"Logger_RequestRl", [] { return Logger_RequestRl(".", "trend_2"); }, "RL,trend_2"},
      {"Logger_Rename", [] { return Logger_Rename(".", "old", "new"); }, "ML,old,new"},
      {"Logger_RequestYl", [] { return Logger_RequestYl(".", "a", "b"); }, "YL,a,b"},
      {"Logger_RequestXl", [] { return Logger_RequestXl(".", "a", "b"); }, "XL,a,b"},
      {"Logger_GetName", [] { char n[kLoggerNameSize]; return Logger_GetName(".", 7, n); }, "NL,7"},
      {"SendRsRequest", [] { return SendRsRequest("."); }, "RS"},
      {"SendAsRequest", [] { return SendAsRequest(".", "alarm text"); }, "AS,alarm text"},
      {"SendBsRequest", [] { return SendBsRequest(".", nullptr, nullptr, 0, nullptr, 0); }, "BS"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.call(), 1);
    EXPECT_EQ(Last(), Z(c.text));
  }
  EXPECT_EQ(Logger_Disable(".", "trend_2"), 1);
  EXPECT_EQ(Last(), Z("DL,trend_2," + user));
  EXPECT_EQ(Logger_Enable(".", "trend_2"), 1);
  EXPECT_EQ(Last(), Z("EL,trend_2," + user));
  EXPECT_EQ(SendDsRequest("."), 1);
  EXPECT_EQ(Last(), Z("DS," + user));
  EXPECT_EQ(SendFvRequest(".", "TANK1", 12.5), 1);
  EXPECT_EQ(Last(), Z("FV,TANK1,12.5," + who));
  EXPECT_STREQ(Logger_ConfigPath("trend", 3), "LOGGERS\\trend_3");
  // A name that would shift the server's fields is refused before sending.
  size_t before = engine.RequestCount();
  EXPECT_EQ(Logger_Rename(".", "a,b", "c"), -1);
  EXPECT_EQ(errno, 87);
  EXPECT_EQ(Proc_Enable(".", "P1\r\nQP"), -1);
  EXPECT_EQ(engine.RequestCount(), before);
}

TEST_F(Requests, CommandsLettersNumbersAndRefusedLetters) {
  struct Case {
    int (*fn)(const char*, int, const char*);
    int command;
    const char* name;
    const char* text;  // null: nothing sent, -1 with errno 0
  } cases[] = {
      {Proc_Command, 'c', "P1", "CP,P1,C"}, {Proc_Command, 300, "P1", "CP,P1,300"}, {Proc_Command, 'r', "P1", "CP,P1,R"},
      {Proc_Command, 'x', "P1", nullptr},   {Proc_Command, 255, "P1", nullptr},      {Dev_Command, 'i', "D1", "CE,D1,I"},
      {Dev_Command, 'T', "D1", nullptr},    {Dev_Command, 256, "D1", "CE,D1,256"},   {Logger_Command, 'f', "L1", "CL,L1,F"},
      {Logger_Command, 'S', "L1", "CL,L1,S"}, {Logger_Command, 'C', "L1", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    size_t before = engine.RequestCount();
    errno = 99;
    int rc = c.fn(".", c.command, c.name);
    if (c.text) {
      EXPECT_EQ(rc, 1);
      EXPECT_EQ(Last(), Z(c.text));
    } else {
      EXPECT_EQ(rc, -1);
      EXPECT_EQ(errno, 0);
      EXPECT_EQ(engine.RequestCount(), before);
    }
  }
}

TEST_F(Requests, ListingRepliesAreParsedWithinCapacityAndSelector) {
  engine.script().On("IP,", fakesrv::Text("1,USERAA,TANK FARM,AA:12,0,A;modbus1,MB,MB:4,1,D;CALC,C,CC:3,run,;"));
  ProcessorEntry p[4] = {};
  ASSERT_EQ(Proc_GetInfo(".", "*,3", p, 4), 3);
  EXPECT_EQ(Last(), Z("IP,*,3"));
  EXPECT_STREQ(p[0].Name, "USERAA");
  EXPECT_STREQ(p[0].Description, "TANK FARM");
  EXPECT_EQ(std::string(p[0].Prefix, 2), "AA");
  EXPECT_EQ(p[0].Count, 12);
  EXPECT_EQ(p[0].Kind, kProcKindAnalog);
  EXPECT_EQ(p[1].Kind, kProcKindModbus);  // "modb..." whatever the letter
  EXPECT_EQ(p[1].Flag, 1);
  EXPECT_EQ(p[2].Kind, kProcKindModbus);  // empty type field
  EXPECT_EQ(p[2].Flag, 1);                // "run"
  // More entries than the selector or the capacity asks for are dropped.
  EXPECT_EQ(Proc_GetInfo(".", "*,2", p, 4), 2);
  EXPECT_EQ(Proc_GetInfo(".", "*,3", p, 1), 1);
  EXPECT_EQ(Proc_GetInfo(".", "USERAA", p, 4), 1);

  engine.script().On("IE,", fakesrv::Text("1,QD_1,LINE ONE,QD,QA:16,QB:8;"));
  DeviceEntry d[2] = {};
  ASSERT_EQ(Dev_GetInfo(".", "1", d, 2), 1);
  EXPECT_STREQ(d[0].Name, "QD_1");
  EXPECT_STREQ(d[0].PrintName, "LINE ONE");
  EXPECT_EQ(d[0].Ranges[1].Count, 8);
  EXPECT_EQ(std::string(d[0].Ranges[1].Prefix, 2), "QB");

  engine.script().On("IL,", fakesrv::Text("1,trend,2,TREND LOGGER;event,5,EVENTS;"));
  LoggerEntry l[3] = {};
  ASSERT_EQ(Logger_GetInfo(".", "*,2", l, 3), 2);
  EXPECT_EQ(l[1].Number, 5);
  EXPECT_STREQ(l[1].Type, "EVENTS");

  const std::string longText(40, 'x');
  engine.script().On("TL,", fakesrv::Text("1,trend_2,1,0,3,77,running;event_5,0,1,1,9," + longText + ";x_1,1,2,3,4,old,new;"));
  LoggerStateEntry s[3] = {};
  ASSERT_EQ(Logger_GetList(".", "*,3", s, 3), 3);
  EXPECT_STREQ(s[0].Name, "trend_2");
  EXPECT_EQ(s[0].Enabled, 1);
  EXPECT_EQ(s[0].Value, 77u);
  EXPECT_STREQ(s[0].Text, "running");
  EXPECT_EQ(strlen(s[1].Text), 30u);  // the first text is cut to 30 characters
  EXPECT_STREQ(s[2].Text, "new");     // the last text replaces it

  engine.script().On("TP,", fakesrv::Text("1,1,1;2,3,abc,;4,5,abc,replaced;"));
  TpItem tp[3] = {};
  ASSERT_EQ(Proc_RequestTp(".", "USERAA", tp, 3), 3);
  EXPECT_EQ(tp[1].B, 3);
  EXPECT_STREQ(tp[1].Text, "abc");
  EXPECT_STREQ(tp[2].Text, "replaced");
  engine.script().On("TE,", fakesrv::Text("1,1,2,70000,port open;"));
  TeItem te[1] = {};
  ASSERT_EQ(Dev_RequestTe(".", "QD_1", te, 1), 1);
  EXPECT_EQ(te[0].Value, 70000);
  EXPECT_STREQ(te[0].Text, "port open");

  engine.script().On("NL,", fakesrv::Text("1,abcdefghijklmnopqrstuvwxy"));
  char name[kLoggerNameSize];
  EXPECT_EQ(Logger_GetName(".", 3, name), 1);
  EXPECT_STREQ(name, "abcdefghijklmnopqrstuvwx");  // 24 of the 25 characters that fit the reply
  engine.script().On("NL,", fakesrv::Text("0"));
  EXPECT_EQ(Logger_GetName(".", 3, name), 0);
  EXPECT_STREQ(name, "");
}

TEST_F(Requests, RepliesThatDoNotParseFail) {
  struct Case {
    const char* reply;
  } cases[] = {{"1"}, {"1,USERAA,TANK,AA:1,0;"}, {"1;x"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply);
    engine.script().On("IP,", fakesrv::Text(c.reply));
    ProcessorEntry p[2];
    EXPECT_EQ(Proc_GetInfo(".", "*,2", p, 2), -1);
    EXPECT_EQ(errno, 13);
  }
  engine.script().On("TL,", fakesrv::Text("1,a,1,2,3;"));  // four fields
  LoggerStateEntry s[1];
  EXPECT_EQ(Logger_GetList(".", "*,1", s, 1), -1);
  // A failure reply passes its code on.
  engine.script().On("TE,", fakesrv::Text("-1,5,access denied"));
  TeItem te[1];
  EXPECT_EQ(Dev_RequestTe(".", "QD_1", te, 1), -1);
  EXPECT_EQ(errno, 5);
  EXPECT_EQ(plat::GetLastError(), 5u);
}

TEST_F(Requests, CountsAndListingsFallBackToTheCapabilityFiles) {
  std::string datproc;
  for (int i = 1; i <= 12; ++i) datproc += "PROC" + std::to_string(i) + ",PRINT " + std::to_string(i) + ",A-P" +
                                          static_cast<char>('A' + i) + ":4\r\n";
  WriteFile("DATPROC.TXT", datproc);
  WriteFile("LOGCAP.TXT", "trend\r\nevent\r\n");
  WriteFile("DEVCAP.TXT", "QD,1,LINE ONE,QA:16\r\n");
  engine.script().On("QP,", fakesrv::Text("-1,2,not here"));
  EXPECT_EQ(Proc_GetCount("."), 12);
  server.Stop();  // no server at all
  EXPECT_EQ(Proc_GetCount("."), 12);
  ProcessorEntry p[20];
  EXPECT_EQ(Proc_GetInfo(".", "*,20", p, 20), 12);
  EXPECT_STREQ(p[11].Name, "PROC12");
  EXPECT_EQ(Logger_GetCount("."), 2);
  EXPECT_EQ(Dev_GetCount("."), 1);
  WriteFile("DATPROC.TXT", "PROC1,A,A-PA:4\r\nPROC1,B,A-PB:4\r\n");
  EXPECT_EQ(Proc_GetInfo(".", "*,2", p, 20), -2);  // a duplicate ends the listing
}

TEST_F(Requests, LongLoggerListsComeFromTheCapabilityFileWithoutAsking) {
  WriteFile("LOGCAP.TXT", "trend\r\nevent\r\n");
  engine.script().On("IL,", fakesrv::Text("1,srvlog,1,T;"));
  LoggerEntry l[300];
  EXPECT_EQ(Logger_GetInfo(".", "*,219", l, 300), 2);
  EXPECT_EQ(engine.RequestCount(), 0u);
  EXPECT_STREQ(l[0].Name, "trend");
  EXPECT_EQ(Logger_GetInfo(".", "*,218", l, 300), 1);
  EXPECT_EQ(Last(), Z("IL,*,218"));
  EXPECT_STREQ(l[0].Name, "srvlog");
}

// Loggers listed from LOGCAP.TXT: entry k is logger k, and its number and
// type text (the record's name) come from LOGGERS/<name>_<k>, binary or XML.
TEST_F(Requests, LoggersFromTheCapabilityFileReadTheirConfiguration) {
  setenv("CDXPLAT_EVENTLOG", "file", 1);
  WriteFile("LOGCAP.TXT", "stand\r\nrepub\r\nresub\r\nother\r\nstand\r\nresub\r\n");
  const std::string loggers = config + "/LOGGERS";
  std::filesystem::create_directories(loggers);
  StandardLogger stand{};
  strcpy(stand.Name, "BOILER HOUSE");
  ASSERT_EQ(Cfg_SaveLogger(loggers.c_str(), "tester", "stand", 1, &stand, sizeof stand), 0);
  SetServerValue("ReadXML", "ON");
  SetServerValue("WriteXML", "XML");
  Republisher repub{};
  strcpy(repub.Name, "TO HEAD OFFICE");
  ASSERT_EQ(Cfg_SaveLogger(loggers.c_str(), "tester", "repub", 2, &repub, sizeof repub), 0);
  ASSERT_TRUE(std::filesystem::exists(loggers + "/repub_2.xml"));
  ASSERT_FALSE(std::filesystem::exists(loggers + "/repub_2"));
  Resubscriber resub{};
  memset(resub.Name, 'N', 40);  // longer than the entry's 24 characters
  ASSERT_EQ(Cfg_SaveLogger(loggers.c_str(), "tester", "resub", 3, &resub, sizeof resub), 0);
  std::ofstream(loggers + "/other_4", std::ios::binary) << "a record of another kind";
  // stand_5 is missing; resub_6 is an XML file that does not read.
  std::ofstream(loggers + "/resub_6.xml", std::ios::binary) << "<Loggers><Logger>";
  server.Stop();  // no server: the capability file answers

  LoggerEntry l[8];
  memset(l, 0x55, sizeof l);
  ASSERT_EQ(Logger_GetInfo(".", "*,6", l, 8), 6);
  struct Want {
    const char* name;
    int number;
    std::string type;
  } want[] = {{"stand", 1, "BOILER HOUSE"}, {"repub", 2, "TO HEAD OFFICE"}, {"resub", 3, std::string(24, 'N')},
              {"other", 4, ""},             {"stand", 0, ""},               {"resub", 0, ""}};
  for (int i = 0; i < 6; ++i) {
    SCOPED_TRACE(i);
    EXPECT_STREQ(l[i].Name, want[i].name);
    EXPECT_EQ(l[i].Number, want[i].number);
    EXPECT_EQ(std::string(l[i].Type, strnlen(l[i].Type, sizeof l[i].Type)), want[i].type);
    EXPECT_EQ(l[i].Type[sizeof l[i].Type - 1], '\0');
  }
  // The missing and unreadable files leave no error behind a listing that
  // worked.
  errno = 0;
  plat::SetLastError(0);
  ASSERT_EQ(CapList_Loggers(config.c_str(), "*,6", l, 8), 6);
  EXPECT_EQ(errno, 0);
  EXPECT_EQ(plat::GetLastError(), 0u);

  // A single entry, by position or by name, is logger <position> as well.
  ASSERT_EQ(Logger_GetInfo(".", "3", l, 1), 1);
  EXPECT_EQ(l[0].Number, 3);
  ASSERT_EQ(Logger_GetInfo(".", "REPUB", l, 1), 1);
  EXPECT_EQ(l[0].Number, 2);
  EXPECT_STREQ(l[0].Type, "TO HEAD OFFICE");
  // With "ReadXML" off the XML-only republisher has no configuration.
  SetServerValue("ReadXML", "OFF");
  ASSERT_EQ(Logger_GetInfo(".", "*,2", l, 8), 2);
  EXPECT_EQ(l[0].Number, 1);
  EXPECT_STREQ(l[0].Type, "BOILER HOUSE");
  EXPECT_EQ(l[1].Number, 0);
  EXPECT_STREQ(l[1].Type, "");
}

TEST_F(Requests, ReconfigureHoldsTheEnabledLoggers) {
  engine.script().On("QL", fakesrv::Text("3"));
  engine.script().On("TL,", fakesrv::Text("1,trend_1,1,0,0,0,;event_2,0,0,0,0,;trend_3,1,0,0,0,;"));
  auto codes = [&] {
    std::vector<std::string> out;
    for (const std::string& r : Sent()) out.push_back(r.substr(0, r.find('\0')));
    engine.ClearRequests();
    return out;
  };
  const std::string dl = ",", u = "," + user;
  // Not allowed: only the command.
  SetServerValue("ReconfigureLoggers", "OFF");
  EXPECT_EQ(Proc_Command(".", 'c', "P1"), 1);
  EXPECT_EQ(codes(), (std::vector<std::string>{"CP,P1,C"}));
  // Allowed, Yes: disabled around the command and enabled again.
  SetServerValue("ReconfigureLoggers", "on please");
  Req_SetAskHook([](const char* text, const char* title) {
    EXPECT_STREQ(text, "Do you wish to disable and re-enable loggers");
    EXPECT_STREQ(title, "Reconfigure Loggers");
    return 1;
  });
  EXPECT_EQ(Proc_Command(".", 't', "P1"), 1);
  EXPECT_EQ(codes(), (std::vector<std::string>{"QL", "TL,*,3", "DL,trend_1" + u, "DL,trend_3" + u, "CP,P1,T",
                                               "EL,trend_1" + u, "EL,trend_3" + u}));
  // No: the command is still sent and nothing is disabled; the kept table
  // still sends the enables afterwards.
  Req_SetAskHook([](const char*, const char*) { return 0; });
  EXPECT_EQ(Dev_Command(".", 'c', "D1"), 1);
  EXPECT_EQ(codes(), (std::vector<std::string>{"QL", "TL,*,3", "CE,D1,C", "EL,trend_1" + u, "EL,trend_3" + u}));
  // Letters that do not reconfigure never list the loggers.
  EXPECT_EQ(Dev_Command(".", 'r', "D1"), 1);
  EXPECT_EQ(codes(), (std::vector<std::string>{"CE,D1,R"}));
  // No loggers: nothing to hold, the command goes.
  engine.script().On("QL", fakesrv::Text("0"));
  EXPECT_EQ(Proc_Command(".", 'C', "P1"), 1);
  EXPECT_EQ(codes(), (std::vector<std::string>{"QL", "CP,P1,C"}));
  // A disable that fails: nothing is sent, the loggers already disabled are
  // enabled again.
  engine.script().On("QL", fakesrv::Text("3"));
  Req_SetAskHook(nullptr);
  engine.script().On("DL,trend_3", fakesrv::Text("-1,5,denied"));
  EXPECT_EQ(Proc_Command(".", 'C', "P1"), -1);
  EXPECT_EQ(errno, 5);
  EXPECT_EQ(codes(), (std::vector<std::string>{"QL", "TL,*,3", "DL,trend_1" + u, "DL,trend_3" + u, "EL,trend_1" + u}));
  // An enable that fails after the command: the others are still enabled,
  // and the failure is the result.
  engine.script().On("DL,trend_3", fakesrv::Text("1"));
  engine.script().On("EL,trend_1", fakesrv::Text("-1,5,denied"));
  EXPECT_EQ(Proc_Command(".", 'C', "P1"), -1);
  EXPECT_EQ(errno, 5);
  EXPECT_EQ(codes(), (std::vector<std::string>{"QL", "TL,*,3", "DL,trend_1" + u, "DL,trend_3" + u, "CP,P1,C",
                                               "EL,trend_1" + u, "EL,trend_3" + u}));
}

TEST_F(Requests, GeneralRequestsCarryTheirData) {
  // SV: the text after the fields in UTF-16LE with its terminating 0.
  EXPECT_EQ(SendSvRequest(".", "TANK1", u"Ab\u00e9"), 1);
  std::string expect = "SV,TANK1," + who + ",";
  expect += std::string("A\0b\0\xe9\0\0\0", 8);
  EXPECT_EQ(Last(), expect);
  size_t before = engine.RequestCount();
  EXPECT_EQ(SendSvRequest(".", "EIGHTCHR", u"x"), 0);
  EXPECT_EQ(SendFvRequest(".", "EIGHTCHR", 1.0), 0);
  EXPECT_EQ(engine.RequestCount(), before);

  // TC: n values straight after "1,".
  const uint32_t values[2] = {0x01024141u, 0};
  engine.script().On("TC,", fakesrv::Bytes("1," + std::string(reinterpret_cast<const char*>(values), 8)));
  uint32_t got[2] = {9, 9};
  EXPECT_EQ(SendTcRequest(".", "TAG1,NOSUCH", 2, got), 1);
  EXPECT_EQ(Last(), Z("TC,TAG1,NOSUCH"));
  EXPECT_EQ(got[0], values[0]);
  EXPECT_EQ(got[1], 0u);
  EXPECT_EQ(SendTcRequest(".", "TAG1,NOSUCH,MORE", 3, got), -1);  // too short for three
  EXPECT_EQ(errno, 13);

  // SE: the reply may be 3 bytes longer than the caller's buffer; it is cut.
  engine.script().On("SE,", fakesrv::Bytes("1,0123456789A"));
  char se[10];
  uint32_t n = 0;
  EXPECT_EQ(Dev_RequestSe(".", "D1", se, sizeof se, &n), 1);
  EXPECT_EQ(Last(), Z("SE,D1,10"));
  EXPECT_EQ(n, 10u);
  EXPECT_EQ(std::string(se, 10), "1,01234567");
  before = engine.RequestCount();
  std::vector<char> big(40000);
  EXPECT_EQ(Dev_RequestSe(".", "D1", big.data(), 32766, &n), -1);
  EXPECT_EQ(engine.RequestCount(), before);

  // CV and RV pass the binary reply through.
  const std::string binary("\x10\x20\x30\x40\x00\x00QA", 8);
  engine.script().On("CV,", fakesrv::Bytes(binary));
  char reply[64];
  uint32_t length = sizeof reply;
  RequestChannelConfig(".", "QA,1,2", reply, &length);
  EXPECT_EQ(Last(), Z("CV,QA,1,2"));
  EXPECT_EQ(std::string(reply, length), binary);
  // A time stamp whose first bytes read "-1" is data, not a failure; a
  // failure text is one.
  const std::string minusOne("-1\x7f\x30\x00\x00QA", 8);
  engine.script().On("RV,", fakesrv::Bytes(minusOne));
  length = sizeof reply;
  EXPECT_EQ(SendRvRequest(".", "QA,1", reply, &length), 0);
  EXPECT_EQ(std::string(reply, length), minusOne);
  engine.script().On("RV,", fakesrv::Text("-1,2,no such channel"));
  length = sizeof reply;
  EXPECT_EQ(SendRvRequest(".", "QA,1", reply, &length), -1);
  EXPECT_EQ(errno, 2);

  // BS: a number and two texts.
  engine.script().On("BS", fakesrv::Text("1,4,first,second"));
  int number = 0;
  char t1[4], t2[16];
  EXPECT_EQ(SendBsRequest(".", &number, t1, sizeof t1, t2, sizeof t2), 1);
  EXPECT_EQ(number, 4);
  EXPECT_STREQ(t1, "fir");
  EXPECT_STREQ(t2, "second");
}

TEST_F(Requests, EsIsHeldBackWhileADesktopProcessorIsUnknownHere) {
  engine.script().On("QP,", fakesrv::Text("2"));
  engine.script().On("IP,", fakesrv::Text("1,CALC,CALCULATIONS,CC:5,1,A;TREND,TRENDS,TT:5,0,A;"));
  // Not started from the desktop: the session request goes.
  SetServerValue("CALC From Desktop", "OFF");
  EXPECT_EQ(SendEsRequest("."), 1);
  EXPECT_EQ(Last(), Z("ES," + user));
  // Marked, started from the desktop, and not known to this machine's
  // processor table: nothing is sent.
  SetServerValue("CALC From Desktop", "ON");
  engine.ClearRequests();
  errno = 99;
  EXPECT_EQ(SendEsRequest("."), -1);
  EXPECT_EQ(errno, 0);
  for (const std::string& r : Sent()) EXPECT_NE(r.substr(0, 2), "ES");
  // Another computer's registry is not read: its processors never hold it back.
  EXPECT_EQ(Proc_IsFromDesktop("plc-srv", "CALC"), 0);
  EXPECT_EQ(Proc_IsFromDesktop(".", "CALC"), 1);
  SetServerValue("CALC From Desktop", "OFF");
}

TEST_F(Requests, FvSendsADecimalPointInAnyLocale) {
  locale_t de = newlocale(LC_ALL_MASK, "de_DE.UTF-8", static_cast<locale_t>(0));
  if (!de) {
    // Built from the locale sources into this test's root when the system
    // has none compiled.
    const std::string dir = std::string(getenv("CDXPLAT_ROOT")) + "/locale";
    std::filesystem::create_directories(dir);
    const std::string cmd = "localedef -i de_DE -f UTF-8 " + dir + "/de_DE.UTF-8 >/dev/null 2>&1";
    if (system(cmd.c_str()) == 0) {
      setenv("LOCPATH", dir.c_str(), 1);
      // The C library keeps the search path it built for a loaded locale.
#ifdef __SANITIZE_ADDRESS__
      __lsan_disable();
#endif
      de = newlocale(LC_ALL_MASK, "de_DE.UTF-8", static_cast<locale_t>(0));
#ifdef __SANITIZE_ADDRESS__
      __lsan_enable();
#endif
      unsetenv("LOCPATH");
    }
  }
  if (!de) GTEST_SKIP() << "no de_DE locale on this machine";
  char probe[16];
  locale_t was = uselocale(de);
  snprintf(probe, sizeof probe, "%g", 0.25);
  uselocale(was);
  EXPECT_STREQ(probe, "0,25");  // the locale does use a decimal comma
  locale_t before = uselocale(de);
  EXPECT_EQ(SendFvRequest(".", "T", 0.25), 1);
  uselocale(before);
  freelocale(de);
  EXPECT_EQ(Last(), Z("FV,T,0.25," + who));
}

TEST_F(Requests, TimeZoneOfThisMachineIsAnsweredHere) {
  TimeStamp t{};
  plat::TimeZoneInformation zone{}, mine{};
  EXPECT_EQ(GetServerTimeZone(".", &t, &zone), 1);
  EXPECT_EQ(engine.RequestCount(), 0u);
  ASSERT_EQ(plat::GetTimeZoneInformation(&mine), 0);
  EXPECT_EQ(memcmp(&zone, &mine, sizeof zone), 0);
  EXPECT_GT(t.seconds, 1600000000);
}

TEST_F(Requests, TimeZoneReplyParsing) {
  plat::TimeZoneInformation zone{};
  zone.Bias = -60;
  zone.StandardName[0] = u'W';
  std::string full = Z("1700000000,250") + std::string(reinterpret_cast<const char*>(&zone), sizeof zone);
  TimeStamp t{};
  plat::TimeZoneInformation got{};
  ASSERT_EQ(Req_ParseTimeZone(full.data(), static_cast<uint32_t>(full.size()), &t, &got), 0);
  EXPECT_EQ(t.seconds, 1700000000);
  EXPECT_EQ(t.milliseconds, 250);
  EXPECT_EQ(got.Bias, -60);
  // A record that did not come whole is not copied.
  ASSERT_EQ(Req_ParseTimeZone(full.data(), static_cast<uint32_t>(full.size() - 1), &t, &got), 0);
  EXPECT_EQ(got.Bias, 0);
  EXPECT_EQ(Req_ParseTimeZone("garbage", 7, &t, &got), -1);
}

TEST_F(Requests, AccessListOfDevicesAndProcessors) {
  engine.script().On("QE,", fakesrv::Text("1"));
  engine.script().On("IE,", fakesrv::Text("1,QD_1,LINE ONE,QD,QA:16,QB:8;"));
  engine.script().On("QP,", fakesrv::Text("2"));
  engine.script().On("IP,", fakesrv::Text("1,CALC,CALCULATIONS,CC:5,0,A;ALARM,ALARMS,,0,;"));
  setenv("CDX_PROCESSORS", "CALC", 1);
  char list[512];
  EXPECT_EQ(BuildAccessList(".", list, sizeof list), 3);
  unsetenv("CDX_PROCESSORS");
  EXPECT_STREQ(list, "3,LINE ONE ANALOG INPUTS,QA,16,1;LINE ONE DIGITAL INPUTS,QB,8,1;CALCULATIONS ANALOG INPUTS,CC,5,1;");
}

// A count is at most what its listing reply can hold (a confused or hostile
// server's count is refused, never taken as the room to make); a reply that
// is no number is refused too, and the capability files do not answer for
// a server that did answer.
TEST_F(Requests, CountsThatNoListingCouldHoldAreRefused) {
  WriteFile("DATPROC.TXT", "PROC1,ONE,A-PA:4\r\n");
  WriteFile("DEVCAP.TXT", "QD,1,LINE ONE,QA:16\r\n");
  WriteFile("LOGCAP.TXT", "trend\r\n");
  struct Case {
    const char* code;
    int (*count)(const char*);
    std::string reply;
    int result;  // -1: refused with 13
  } cases[] = {
      {"QE,", Dev_GetCount, std::to_string(Req_ListingMax(kReqDeviceFields)), Req_ListingMax(kReqDeviceFields)},
      {"QE,", Dev_GetCount, std::to_string(Req_ListingMax(kReqDeviceFields) + 1), -1},
      {"QE,", Dev_GetCount, "2000000000", -1},
      {"QE,", Dev_GetCount, "-5", -1},
      {"QE,", Dev_GetCount, "lots of devices", -1},
      {"QP,", Proc_GetCount, std::to_string(Req_ListingMax(kReqProcessorFields)), Req_ListingMax(kReqProcessorFields)},
      {"QP,", Proc_GetCount, std::to_string(Req_ListingMax(kReqProcessorFields) + 1), -1},
      {"QP,", Proc_GetCount, "2147483647", -1},
      {"QL", Logger_GetCount, "2000000000", -1},
      {"QL", Logger_GetCount, "0", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.code) + " " + c.reply);
    engine.script().On(c.code, fakesrv::Text(c.reply));
    errno = 0;
    EXPECT_EQ(c.count("."), c.result);
    if (c.result == -1) {
      EXPECT_EQ(errno, 13);
    }
  }
  // Listings answered with no number do not fall back either.
  engine.script().On("IE,", fakesrv::Garbage(12));
  DeviceEntry d[2];
  EXPECT_EQ(Dev_GetInfo(".", "*,2", d, 2), -1);
  EXPECT_EQ(errno, 13);
  // With the counts refused, the access list and the ES checks list nothing.
  engine.script().On("QE,", fakesrv::Text("2147483647"));
  engine.script().On("QP,", fakesrv::Text("2147483647"));
  char list[512];
  EXPECT_EQ(BuildAccessList(".", list, sizeof list), 0);
  EXPECT_STREQ(list, "0,");
  EXPECT_EQ(SendEsRequest("."), 1);
  EXPECT_EQ(Last(), Z("ES," + user));
}

// A failure reply longer than a command's 16-byte reply still gives the
// server's code.
TEST_F(Requests, FailureRepliesLongerThanTheReplyGiveTheServersCode) {
  engine.script().On("CP,", fakesrv::Text("-1,2,file not found"));
  EXPECT_EQ(Proc_Command(".", 'I', "P1"), -1);
  EXPECT_EQ(errno, 2);
  EXPECT_EQ(plat::GetLastError(), 2u);
  engine.script().On("DL,", fakesrv::Text("-1,5,access is denied to this user"));
  EXPECT_EQ(Logger_Disable(".", "trend_2"), -1);
  EXPECT_EQ(errno, 5);
  // A successful reply too long for it is refused.
  engine.script().On("CE,", fakesrv::Text("1,device command queued for later"));
  EXPECT_EQ(Dev_Command(".", 'I', "D1"), -1);
  EXPECT_EQ(errno, 234);
}

// With "ReadXML" on, the groups of an entity whose extension library offers
// XML are tried in their ".xml" files; other entities keep the binary ones.
// The files' kind decides the access here (this runs as root): a directory
// opens for reading only.
TEST_F(Requests, AccessListTriesTheXmlFilesWhenTheyAreInUse) {
  setenv("CDX_BIN", (std::string(CDX_BIN_DIR) + "/../extlibs").c_str(), 1);  // tstdx_ex.so exports Ex_DoXml
  ExtDll_ForgetDoXml();
  engine.script().On("QE,", fakesrv::Text("1"));
  engine.script().On("IE,", fakesrv::Text("1,tstdx_1,LINE TWO,QD,QA:16,QB:8;"));
  engine.script().On("QP,", fakesrv::Text("1"));
  engine.script().On("IP,", fakesrv::Text("1,CALC,CALCULATIONS,CC:5,0,A;"));
  namespace fs = std::filesystem;
  const std::string dev = config + "/tstdx_1", proc = config + "/CALC";
  fs::create_directories(dev + "/ai.xml");
  fs::create_directories(dev + "/di");
  fs::create_directories(proc + "/ai");
  WriteFile("tstdx_1/ai", "binary");
  WriteFile("tstdx_1/di.xml", "<Channels/>");
  WriteFile("CALC/ai.xml", "<Channels/>");
  struct Case {
    const char* readXml;
    const char* writeXml;
    const char* list;
  } cases[] = {
      {"OFF", "BIN", "3,LINE TWO ANALOG INPUTS,QA,16,1;LINE TWO DIGITAL INPUTS,QB,8,0;CALCULATIONS ANALOG INPUTS,CC,5,0;"},
      {"ON", "XML", "3,LINE TWO ANALOG INPUTS,QA,16,0;LINE TWO DIGITAL INPUTS,QB,8,1;CALCULATIONS ANALOG INPUTS,CC,5,0;"},
      {"on", "BOTH", "3,LINE TWO ANALOG INPUTS,QA,16,0;LINE TWO DIGITAL INPUTS,QB,8,1;CALCULATIONS ANALOG INPUTS,CC,5,0;"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.readXml);
    SetServerValue("ReadXML", c.readXml);
    SetServerValue("WriteXML", c.writeXml);
    char list[512];
    EXPECT_EQ(BuildAccessList(".", list, sizeof list), 3);
    EXPECT_STREQ(list, c.list);
  }
  unsetenv("CDX_BIN");
  ExtDll_ForgetDoXml();
}

TEST_F(Requests, TransportFaultsGiveTheirErrorsAndTheNextRequestWorks) {
  engine.script().Once("QE,", fakesrv::Cut());
  engine.script().Once("QE,", fakesrv::Empty());
  engine.script().Once("QE,", fakesrv::Garbage(40000));  // longer than the reply area
  engine.script().Once("QE,", fakesrv::Stall(-1));
  engine.script().On("QE,", fakesrv::Text("4"));
  ASSERT_EQ(Srv_SetTimeout(".", 300), 1);
  // Dev_GetCount falls back to DEVCAP.TXT, which is missing: the listing
  // fails with the file's error, so these use Dev_Enable's shape instead.
  auto count = [] {
    char reply[64];
    uint32_t n = sizeof reply;
    return Srv_SendRequest(".", "QE,", reply, &n);
  };
  EXPECT_EQ(count(), -1);
  EXPECT_EQ(errno, 109);
  EXPECT_EQ(Dev_GetCount("."), -1);  // empty reply, then no DEVCAP.TXT
  EXPECT_EQ(count(), -1);
  EXPECT_EQ(errno, 234);
  EXPECT_EQ(count(), -1);
  EXPECT_EQ(errno, 10060);
  engine.Release();
  EXPECT_EQ(Dev_GetCount("."), 4);
  Srv_SetTimeout(".", 0);
}

// The browser entry points reach only an in-process source: a stand-in
// installed on the in-process seam answers them here.
std::vector<std::string> g_local;
int LocalOpen(ServerConnection* e) {
  e->handle = e;
  return 1;
}
int LocalTransact(ServerConnection*, const void* req, uint32_t length, char* reply, uint32_t* n) {
  std::string r(static_cast<const char*>(req), length);
  g_local.push_back(r);
  std::string out = r.compare(0, 2, "5S") == 0 ? "1,1,2,3,4,-5" : r.compare(0, 2, "NS") == 0 ? "1,42,7"
                    : r.compare(0, 2, "IS") == 0 ? "1,99" : r.compare(0, 2, "MS") == 0 ? "-1,6,bad" : "1,10,20,-30";
  memcpy(reply, out.c_str(), out.size() + 1);
  *n = static_cast<uint32_t>(out.size() + 1);
  return 1;
}
void LocalClose(ServerConnection* e) { e->handle = nullptr; }
const SrvTransport kLocalStandIn = {"local", LocalOpen, LocalTransact, LocalClose};

TEST_F(Requests, BrowserEntryPointsNeedAnInProcessSource) {
  const SrvTransport* before = Srv_SetTransport(kSrvKindLocal, &kLocalStandIn);
  const char* logs = "/var/cdx/logs";
  EXPECT_EQ(Req_TestServer(nullptr, logs), 0);
  EXPECT_EQ(Req_TestServer(nullptr, "."), -1);
  uint32_t is = 0;
  EXPECT_EQ(Req_SendIs(nullptr, ".", &is), -1);  // a live server never gets these
  EXPECT_EQ(engine.RequestCount(), 0u);
  EXPECT_EQ(Req_SendIs(nullptr, logs, &is), 1);
  EXPECT_EQ(is, 99u);
  uint32_t first = 0;
  int32_t second = 0;
  EXPECT_EQ(Req_SendNs(nullptr, logs, &first, &second), 1);
  EXPECT_EQ(first, 42u);
  EXPECT_EQ(second, 7);
  uint32_t o[4];
  int32_t last = 0;
  EXPECT_EQ(Req_Send5s(nullptr, logs, 1, 2, -3, 4, o, &last), 1);
  EXPECT_EQ(g_local.back(), Z("5S,1,2,-3,4"));
  EXPECT_EQ(o[3], 4u);
  EXPECT_EQ(last, -5);
  char buf[16];
  uint32_t six = 0;
  EXPECT_EQ(Req_Send6s(nullptr, logs, "HEADER", buf, 16, &six), 1);
  // The buffer goes by a handle, never by its address.
  EXPECT_EQ(g_local.back().rfind("6S,HEADER,", 0), 0u);
  EXPECT_EQ(g_local.back().find(std::to_string(reinterpret_cast<intptr_t>(buf))), std::string::npos);
  EXPECT_EQ(g_local.back().substr(g_local.back().size() - 4), Z(",16"));
  EXPECT_EQ(six, 10u);
  uint32_t o1 = 0, o2 = 0;
  int32_t o3 = 0;
  EXPECT_EQ(Req_Send7s(nullptr, logs, 1, buf, 2, nullptr, nullptr, 3, nullptr, nullptr, nullptr, 4, &o1, &o2, &o3), 1);
  // Buffers go by handles too (0 for none), never by their addresses.
  {
    long long from = 0;
    unsigned size = 0;
    int textSize = 0;
    ASSERT_EQ(sscanf(g_local.back().c_str(), "7S,1,%lld,2,0,0,%u,0,0,0,%d", &from, &size, &textSize), 3);
    EXPECT_NE(from, 0);
    EXPECT_NE(from, static_cast<long long>(reinterpret_cast<intptr_t>(buf)));
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(textSize, 4);
    void* at = nullptr;
    size_t room = 0;
    EXPECT_FALSE(ReqBuf_Lookup(from, &at, &room));  // released after the request
  }
  EXPECT_EQ(o1, 10u);
  EXPECT_EQ(o3, -30);
  int32_t rows = 5;
  EXPECT_EQ(Req_Send8s(nullptr, logs, 0, nullptr, 0, nullptr, const_cast<char*>("QA,1"), 0, nullptr, nullptr, nullptr,
                       0, &rows, &o1, &o2, &o3),
            1);
  EXPECT_EQ(g_local.back().rfind("8S,0,0,0,0,", 0), 0u);
  EXPECT_EQ(Req_Send8s(nullptr, logs, 0, nullptr, 0, nullptr, nullptr, -1, nullptr, nullptr, nullptr, 0, nullptr, &o1,
                       &o2, &o3),
            -1);  // a negative size is refused before anything is sent
  EXPECT_EQ(g_local.back().rfind("8S,0,0,0,0,", 0), 0u);
  // A failed request: 0, nothing read.
  EXPECT_EQ(Req_SendMs(nullptr, logs, 5), 0);
  EXPECT_EQ(g_local.back(), Z("MS,5"));
  // "5S" goes to any server.
  engine.script().On("5S", fakesrv::Text("1,5,6,7,8,9"));
  EXPECT_EQ(Req_Send5s(nullptr, ".", 0, 0, 0, 0, o, &last), 1);
  EXPECT_EQ(o[0], 5u);
  Srv_CloseAll();
  Srv_SetTransport(kSrvKindLocal, before);
}

}  // namespace
