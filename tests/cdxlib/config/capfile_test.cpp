// Capability files: the reader's line rules and state, the three entry
// parsers with their error texts, the range check and the module search.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "cdxlib/config/capfile.h"
#include "platform/error.h"

namespace fs = std::filesystem;

namespace {

class CapFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::string(getenv("CDXPLAT_ROOT")) + "/cap";
    fs::create_directories(dir_);
  }
  void TearDown() override { CapFile_Close(); }

  std::string Write(const std::string& name, const std::string& text) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }

  std::string dir_;
};

struct Split {
  std::vector<std::string> fields;
  std::vector<int> offsets;
};

// Opens one line as a file and returns its split fields (for the parsers).
int SplitOne(const std::string& path, char** fields, int* offsets) {
  EXPECT_EQ(CapFile_Open(path.c_str()), 1);
  return CapFile_Split(fields, offsets, kCapFieldsMax);
}

TEST_F(CapFileTest, CommentsBlankLinesAndLineEndsAreNotEntries) {
  const std::string path = Write("DATPROC.TXT",
                                 "* a comment\r\n"
                                 "\r\n"
                                 "   \t \n"
                                 "  * indented comment\n"
                                 "ONE,first,A-AI:10,run\r\n"
                                 "\n"
                                 "TWO,second\n"
                                 "THREE");  // last line without a line end
  ASSERT_EQ(CapFile_Open(path.c_str()), 3);
  EXPECT_EQ(CapFile_LineNumber(), 0);
  EXPECT_EQ(CapFile_NextLine(), 1);
  EXPECT_STREQ(CapFile_Line(), "ONE,first,A-AI:10,run");  // CR removed
  EXPECT_EQ(CapFile_LineNumber(), 5);
  EXPECT_EQ(CapFile_NextLine(), 1);
  EXPECT_STREQ(CapFile_Line(), "TWO,second");
  EXPECT_EQ(CapFile_LineNumber(), 7);
  EXPECT_EQ(CapFile_NextLine(), 1);
  EXPECT_STREQ(CapFile_Line(), "THREE");
  // The end rewinds: a second pass reads the same entries again.
  EXPECT_EQ(CapFile_NextLine(), 0);
  EXPECT_EQ(CapFile_LineNumber(), 0);
  char* f[4];
  int off[4];
  ASSERT_EQ(CapFile_Split(f, off, 4), 4);
  EXPECT_STREQ(f[0], "ONE");
  EXPECT_STREQ(f[2], "A-AI:10");
  EXPECT_EQ(off[0], 0);
  EXPECT_EQ(off[1], 4);
  EXPECT_EQ(off[3], 18);
  EXPECT_STREQ(f[3], "run");
  // The line itself is not cut by the split.
  EXPECT_STREQ(CapFile_Line(), "ONE,first,A-AI:10,run");
  // A maximum leaves further commas in the last field.
  ASSERT_EQ(CapFile_Split(f, off, 1), 1);
  EXPECT_STREQ(f[0], "TWO,second");
}

TEST_F(CapFileTest, EmptyFileHasNoEntries) {
  const std::string path = Write("LOGCAP.TXT", "* only a comment\n\n");
  ASSERT_EQ(CapFile_Open(path.c_str()), 0);
  EXPECT_EQ(CapFile_NextLine(), 0);
  char* f[2];
  EXPECT_EQ(CapFile_Split(f, nullptr, 2), 0);
}

TEST_F(CapFileTest, LongLineIsCutAndItsRestDropped) {
  const std::string longLine = "X" + std::string(600, 'y');
  const std::string path = Write("LOGCAP.TXT", longLine + "\nNEXT\n");
  ASSERT_EQ(CapFile_Open(path.c_str()), 2);
  ASSERT_EQ(CapFile_NextLine(), 1);
  EXPECT_EQ(strlen(CapFile_Line()), static_cast<size_t>(kCapLineMax));
  ASSERT_EQ(CapFile_NextLine(), 1);
  EXPECT_STREQ(CapFile_Line(), "NEXT");
  EXPECT_EQ(CapFile_LineNumber(), 2);
}

TEST_F(CapFileTest, MissingFileLeavesNoState) {
  EXPECT_EQ(CapFile_Open((dir_ + "/NOPE.TXT").c_str()), -1);
  EXPECT_EQ(errno, 2);
  EXPECT_EQ(plat::GetLastError(), 2u);
  EXPECT_EQ(CapFile_NextLine(), -1);
  char* f[2];
  EXPECT_EQ(CapFile_Split(f, nullptr, 2), -1);
  EXPECT_EQ(CapFile_LineNumber(), -1);
  EXPECT_EQ(CapFile_Line(), nullptr);
  EXPECT_EQ(CapFile_Path(), nullptr);
  EXPECT_EQ(CapFile_ErrorText(), nullptr);
  CapFile_Error(1, "ignored", 0, 0);  // no state: nothing happens
}

TEST_F(CapFileTest, NameIsMatchedWithoutRegardToCase) {
  Write("devcap.txt", "DF1,1,ALLEN BRADLEY,AI:10\n");
  ASSERT_EQ(CapFile_Open((dir_ + "/DEVCAP.TXT").c_str()), 1);
  EXPECT_EQ(std::string(CapFile_Path()), dir_ + "/devcap.txt");
}

TEST_F(CapFileTest, ErrorTextMarksTheField) {
  const std::string path = Write("DATPROC.TXT", "\n* x\nCALC,calculations,X-CA:10,run\n");
  ASSERT_EQ(CapFile_Open(path.c_str()), 1);
  char* f[kCapFieldsMax];
  int off[kCapFieldsMax];
  const int n = CapFile_Split(f, off, kCapFieldsMax);
  ProcessorEntry e;
  ASSERT_EQ(Proc_ParseDatProc(f, off, n, &e, nullptr, 0), -2);
  EXPECT_EQ(std::string(CapFile_ErrorText()),
            "Can't Parse " + path +
                "\nLine 3 : **** channel type must be A or D ****\n"
                "CALC,calculations,>X-CA:10<,run\nError : 1\n");
  // Without a length the line is shown plain; code 0 adds no error number.
  CapFile_Error(0, "plain", 5, 0);
  EXPECT_EQ(std::string(CapFile_ErrorText()),
            "Can't Parse " + path + "\nLine 3 : **** plain ****\nCALC,calculations,X-CA:10,run");
  CapFile_SetErrorText("replaced");
  EXPECT_STREQ(CapFile_ErrorText(), "replaced");
}

TEST_F(CapFileTest, ErrorTextIsCutAtItsLimit) {
  const std::string path = Write(std::string(200, 'p') + ".TXT", std::string(490, 'q') + "\n");
  ASSERT_EQ(CapFile_Open(path.c_str()), 1);
  ASSERT_EQ(CapFile_NextLine(), 1);
  CapFile_Error(1, std::string(400, 'm').c_str(), 10, 400);
  EXPECT_EQ(strlen(CapFile_ErrorText()), static_cast<size_t>(kCapErrorMax));
  CapFile_SetErrorText(std::string(900, 'z').c_str());
  EXPECT_EQ(strlen(CapFile_ErrorText()), static_cast<size_t>(kCapErrorMax));
}

TEST_F(CapFileTest, RangeCheck) {
  const std::string path = Write("X.TXT", "AI:1\n");
  ASSERT_EQ(CapFile_Open(path.c_str()), 1);
  ASSERT_EQ(CapFile_NextLine(), 1);
  struct Case {
    const char* prefix;
    int count;
    int valid;
    const char* message;
  } cases[] = {
      {"AI", 1, 1, nullptr},
      {"ai", 62500, 1, nullptr},
      {"A", 5, 1, nullptr},
      {"A:", 5, 1, nullptr},
      {"AI", 62501, 0, "invalid number of channels"},
      {"AI", 0, 0, "invalid number of channels"},
      {"AI", -3, 0, "invalid number of channels"},
      {"1A", 5, 0, "invalid channel prefix"},
      {"A1", 5, 0, "invalid channel prefix"},
      {"", 5, 0, "invalid channel prefix"},
      {":", 5, 0, "invalid channel prefix"},
  };
  for (const Case& c : cases) {
    CapFile_SetErrorText("");
    EXPECT_EQ(CapFile_CheckRange(c.prefix, c.count, 0, 4), c.valid) << c.prefix << " " << c.count;
    if (c.message) {
      EXPECT_NE(std::string(CapFile_ErrorText()).find(c.message), std::string::npos) << c.prefix;
      EXPECT_NE(std::string(CapFile_ErrorText()).find(">AI:1<"), std::string::npos);
    } else {
      EXPECT_STREQ(CapFile_ErrorText(), "");
    }
  }
}

// ---- DATPROC.TXT -----------------------------------------------------------

struct ProcCase {
  const char* line;
  int result;
  const char* name;
  const char* print;
  const char* prefix;
  int count;
  int flag;
  int kind;
  const char* error;  // message expected in the error text
};

TEST_F(CapFileTest, ProcessorEntries) {
  const ProcCase cases[] = {
      {"calc,calculator,a-ca:100,RUN", 1, "CALC", "CALCULATOR", "ca", 100, 1, 2, nullptr},
      {"LOGIC,,D-LG:32", 1, "LOGIC", "LOGIC", "LG", 32, 0, 3, nullptr},
      {"LOGIC", 1, "LOGIC", "LOGIC", "", 0, 0, 3, nullptr},
      {"DIG,,D-X", 1, "DIG", "DIG", "X", 0, 0, 3, nullptr},
      {"NODASH,,A", 1, "NODASH", "NODASH", "", 0, 0, 3, nullptr},
      {"modbus1,,D-MB:10,run", 1, "MODBUS1", "MODBUS1", "MB", 10, 1, 6, nullptr},
      {"MODBX,,A-MB:10", 1, "MODBX", "MODBX", "MB", 10, 0, 6, nullptr},
      {"MODB,,Q-MB:10", 1, "MODB", "MODB", "MB", 10, 0, 6, nullptr},
      {"USERA,,D-UA:8", 1, "USERA", "USERA", "UA", 8, 0, 2, nullptr},
      {"BIG,,A-BG:62500", 1, "BIG", "BIG", "BG", 62500, 0, 2, nullptr},
      {"run1,,A-RR:1,runx", 1, "RUN1", "RUN1", "RR", 1, 0, 2, nullptr},
      {"ALARM", 1, "ALARM", "ALARM", "", 256, 0, 3, nullptr},
      {"ALARM,alarms,,run", 1, "ALARM", "ALARMS", "", 256, 1, 3, nullptr},
      {"alarm,,2", 1, "ALARM", "ALARM", "", 2, 0, 3, nullptr},
      {"ALARM,,1000", 1, "ALARM", "ALARM", "", 1000, 0, 3, nullptr},
      {"ALARM,,1", -2, "", "", "", 0, 0, 0, "invalid number of alarm queue entries"},
      {"ALARM,,1001", -2, "", "", "", 0, 0, 0, "invalid number of alarm queue entries"},
      {"ALARM,,12x", -2, "", "", "", 0, 0, 0, "invalid number of alarm queue entries"},
      {",print", -2, "", "", "", 0, 0, 0, "no processor name specified"},
      {"NINECHARS", -2, "", "", "", 0, 0, 0, "processor name too long"},
      {"P,1234567890123456789012345", -2, "", "", "", 0, 0, 0,
       "processor print name too long"},
      {"BIG,,A-BG:62501", -2, "", "", "", 0, 0, 0, "invalid number of channels"},
      {"BIG,,A-BG:0", -2, "", "", "", 0, 0, 0, "invalid number of channels"},
      {"BIG,,A-1G:5", -2, "", "", "", 0, 0, 0, "invalid channel prefix"},
      {"BIG,,A-BGX:5", -2, "", "", "", 0, 0, 0, "invalid channel prefix"},
      {"BIG,,X-BG:5", -2, "", "", "", 0, 0, 0, "channel type must be A or D"},
  };
  for (const ProcCase& c : cases) {
    SCOPED_TRACE(c.line);
    char* f[kCapFieldsMax];
    int off[kCapFieldsMax];
    const int n = SplitOne(Write("DATPROC.TXT", std::string(c.line) + "\n"), f, off);
    ProcessorEntry e;
    ASSERT_EQ(Proc_ParseDatProc(f, off, n, &e, nullptr, 0), c.result);
    if (c.result == 1) {
      EXPECT_STREQ(e.Name, c.name);
      EXPECT_STREQ(e.Description, c.print);
      EXPECT_EQ(std::string(e.Prefix, strnlen(e.Prefix, 2)), c.prefix);
      EXPECT_EQ(e.Count, c.count);
      EXPECT_EQ(e.Flag, c.flag);
      EXPECT_EQ(e.Kind, c.kind);
    } else {
      EXPECT_NE(std::string(CapFile_ErrorText()).find(std::string("**** ") + c.error + " ****"), std::string::npos)
          << CapFile_ErrorText();
    }
    CapFile_Close();
  }
}

TEST_F(CapFileTest, ProcessorDuplicatesInTwoPasses) {
  const std::string path = Write("DATPROC.TXT",
                                 "CALC,calculator,A-CA:10\n"
                                 "LOGIC,logic,D-LG:10\n"
                                 "calc,other,A-CB:10\n"
                                 "MATH,CALCULATOR,A-MA:10\n");
  const int count = CapFile_Open(path.c_str());
  ASSERT_EQ(count, 4);
  std::vector<ProcessorEntry> entries(static_cast<size_t>(count));
  char* f[kCapFieldsMax];
  int off[kCapFieldsMax];
  int n = CapFile_Split(f, off, kCapFieldsMax);
  ASSERT_EQ(Proc_ParseDatProc(f, off, n, &entries[0], entries.data(), 0), 1);
  n = CapFile_Split(f, off, kCapFieldsMax);
  ASSERT_EQ(Proc_ParseDatProc(f, off, n, &entries[1], entries.data(), 1), 1);
  n = CapFile_Split(f, off, kCapFieldsMax);
  ASSERT_EQ(Proc_ParseDatProc(f, off, n, &entries[2], entries.data(), 2), -2);
  EXPECT_NE(std::string(CapFile_ErrorText()).find("Line 3 : **** duplicate processor name ****\n>calc<,other"),
            std::string::npos)
      << CapFile_ErrorText();
  n = CapFile_Split(f, off, kCapFieldsMax);
  ASSERT_EQ(Proc_ParseDatProc(f, off, n, &entries[2], entries.data(), 2), -2);
  EXPECT_NE(std::string(CapFile_ErrorText()).find("duplicate processor print name ****\nMATH,>CALCULATOR<"),
            std::string::npos)
      << CapFile_ErrorText();
}

// ---- DEVCAP.TXT ------------------------------------------------------------

TEST_F(CapFileTest, DeviceEntries) {
  struct Case {
    const char* line;
    int result;
    const char* key;
    const char* print;
    const char* error;
  } cases[] = {
      {"df1,1,allen bradley,AI:100,DI:2000,X:5", 1, "DF1_1", "ALLEN BRADLEY", nullptr},
      {"DF1,99,AB,AI:62500", 1, "DF1_99", "AB", nullptr},
      {"DF1,07,AB,nocolon,AI:1", 1, "DF1_7", "AB", nullptr},
      {"DF1,5,AB,", 1, "DF1_5", "AB", nullptr},
      {"DF1,5,123456789012345678901234,AI:1", 1, "DF1_5", "123456789012345678901234", nullptr},
      {",1,AB,AI:1", -2, nullptr, nullptr, "no device name specified"},
      {"DEVICE123,1,AB,AI:1", -2, nullptr, nullptr, "device name too long"},
      {"DF1,,AB,AI:1", -2, nullptr, nullptr, "no device number specified"},
      {"DF1", -2, nullptr, nullptr, "no device number specified"},
      {"DF1,0,AB,AI:1", -2, nullptr, nullptr, "invalid device number"},
      {"DF1,100,AB,AI:1", -2, nullptr, nullptr, "invalid device number"},
      {"DF1,1000,AB,AI:1", -2, nullptr, nullptr, "invalid device number"},
      {"DF1,x,AB,AI:1", -2, nullptr, nullptr, "invalid device number"},
      {"DF1,1,,AI:1", -2, nullptr, nullptr, "no print name specified"},
      {"DF1,1", -2, nullptr, nullptr, "no print name specified"},
      {"DF1,1,1234567890123456789012345,AI:1", -2, nullptr, nullptr, "print name too long"},
      {"DF1,1,AB", -2, nullptr, nullptr, "no channel range(s) defined"},
      {"DF1,1,AB,AI:62501", -2, nullptr, nullptr, "invalid number of channels"},
      {"DF1,1,AB,AI:", -2, nullptr, nullptr, "invalid number of channels"},
      {"DF1,1,AB,9I:4", -2, nullptr, nullptr, "invalid channel prefix"},
      {"DF1,1,AB,AIX:4", -2, nullptr, nullptr, "invalid channel prefix"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    char* f[kCapFieldsMax];
    int off[kCapFieldsMax];
    const int n = SplitOne(Write("DEVCAP.TXT", std::string(c.line) + "\r\n"), f, off);
    DeviceEntry e;
    ASSERT_EQ(Dev_ParseDevCap(f, off, n, &e, nullptr, 0), c.result);
    if (c.result == 1) {
      EXPECT_STREQ(e.Name, c.key);
      EXPECT_STREQ(e.PrintName, c.print);
    } else {
      EXPECT_NE(std::string(CapFile_ErrorText()).find(std::string("**** ") + c.error + " ****"), std::string::npos)
          << CapFile_ErrorText();
    }
    CapFile_Close();
  }
}

TEST_F(CapFileTest, DeviceRangesAndDuplicates) {
  const std::string path = Write("DEVCAP.TXT",
                                 "df1,1,Allen Bradley,AI:100,DI:2000,A:1,B:2,C:3,D:4,E:5\n"
                                 "DF1,1,other,AI:1\n"
                                 "DF1,2,ALLEN BRADLEY,AI:1\n"
                                 "DF1,2,two,xx,AI:7\n");
  ASSERT_EQ(CapFile_Open(path.c_str()), 4);
  DeviceEntry e[2];
  char* f[kCapFieldsMax];
  int off[kCapFieldsMax];
  int n = CapFile_Split(f, off, kCapFieldsMax);
  ASSERT_EQ(Dev_ParseDevCap(f, off, n, &e[0], e, 0), 1);
  EXPECT_STREQ(e[0].Text, "df1");
  EXPECT_EQ(std::string(e[0].Ranges[0].Prefix, 2), "AI");
  EXPECT_EQ(e[0].Ranges[0].Count, 100);
  EXPECT_EQ(e[0].Ranges[1].Count, 2000);
  EXPECT_EQ(e[0].Ranges[2].Prefix[0], 'A');
  EXPECT_EQ(e[0].Ranges[2].Prefix[1], '\0');
  EXPECT_EQ(e[0].Ranges[5].Count, 4);  // the seventh range is not read
  n = CapFile_Split(f, off, kCapFieldsMax);
  EXPECT_EQ(Dev_ParseDevCap(f, off, n, &e[1], e, 1), -2);
  EXPECT_NE(std::string(CapFile_ErrorText()).find("duplicate device name and number"), std::string::npos);
  n = CapFile_Split(f, off, kCapFieldsMax);
  EXPECT_EQ(Dev_ParseDevCap(f, off, n, &e[1], e, 1), -2);
  EXPECT_NE(std::string(CapFile_ErrorText()).find("duplicate print name ****\nDF1,2,>ALLEN BRADLEY<,AI:1"),
            std::string::npos)
      << CapFile_ErrorText();
  n = CapFile_Split(f, off, kCapFieldsMax);
  ASSERT_EQ(Dev_ParseDevCap(f, off, n, &e[1], e, 1), 1);
  EXPECT_EQ(e[1].Ranges[0].Count, 0);  // no ':': the range is empty
  EXPECT_EQ(e[1].Ranges[1].Count, 7);
  EXPECT_EQ(e[1].Ranges[2].Count, 0);  // slots beyond the fields are cleared
}

// ---- LOGCAP.TXT ------------------------------------------------------------

TEST_F(CapFileTest, LoggerEntries) {
  struct Case {
    const char* line;
    int result;
    const char* name;
    const char* error;
  } cases[] = {
      {"STAND", 1, "stand", nullptr},
      {"Resub,ignored", 1, "resub", nullptr},
      {"abcdefgh", 1, "abcdefgh", nullptr},
      {"abcdefghi", -2, nullptr, "logger type name too long"},
      {",x", -2, nullptr, "no logger name specified"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    char* f[kCapFieldsMax];
    int off[kCapFieldsMax];
    const int n = SplitOne(Write("LOGCAP.TXT", std::string(c.line) + "\n"), f, off);
    LoggerEntry e;
    ASSERT_EQ(Logger_ParseLogCap(f, off, n, &e), c.result);
    if (c.result == 1) {
      EXPECT_STREQ(e.Name, c.name);
    } else {
      EXPECT_NE(std::string(CapFile_ErrorText()).find(c.error), std::string::npos);
    }
    CapFile_Close();
  }
}

// ---- state per thread ------------------------------------------------------

TEST_F(CapFileTest, TwoThreadsReadTwoFilesAtOnce) {
  std::string a, b;
  for (int i = 0; i < 2000; ++i) a += "A" + std::to_string(i) + ",x\n";
  for (int i = 0; i < 1500; ++i) b += "* comment\nB" + std::to_string(i) + "\n";
  const std::string pa = Write("A.TXT", a);
  const std::string pb = Write("B.TXT", b);
  auto reader = [](std::string path, char letter, int expected, int* good) {
    *good = 0;
    for (int pass = 0; pass < 3; ++pass) {
      if (CapFile_Open(path.c_str()) != expected) return;
      int i = 0;
      char* f[4];
      int n;
      while ((n = CapFile_Split(f, nullptr, 4)) > 0) {
        if (f[0] != std::string(1, letter) + std::to_string(i)) return;
        ++i;
      }
      if (i != expected || !strstr(CapFile_Path(), path.c_str())) return;
      CapFile_Close();
      *good += 1;
    }
  };
  int goodA = 0, goodB = 0;
  std::thread ta(reader, pa, 'A', 2000, &goodA);
  std::thread tb(reader, pb, 'B', 1500, &goodB);
  ta.join();
  tb.join();
  EXPECT_EQ(goodA, 3);
  EXPECT_EQ(goodB, 3);
  // This thread never opened anything.
  EXPECT_EQ(CapFile_NextLine(), -1);
}

TEST_F(CapFileTest, StateOfOneThreadIsNotSeenByAnother) {
  ASSERT_EQ(CapFile_Open(Write("A.TXT", "ONE\n").c_str()), 1);
  int other = 0;
  std::thread t([&] { other = CapFile_NextLine(); });
  t.join();
  EXPECT_EQ(other, -1);
  EXPECT_EQ(CapFile_NextLine(), 1);
}

// ---- module search ---------------------------------------------------------

TEST_F(CapFileTest, ModuleSearch) {
  const std::string bin = dir_ + "/bin";
  fs::create_directories(bin);
  setenv("CDX_BIN", bin.c_str(), 1);
  Write("bin/calc_ex.dll", "x");
  Write("bin/mvtrx", "#!/bin/sh\n");
  fs::permissions(bin + "/mvtrx", fs::perms::owner_all);
  Write("bin/plain.so", "x");

  const char* dll = Mod_FindDll(".", "calc12", "ex");
  ASSERT_NE(dll, nullptr);
  EXPECT_EQ(std::string(dll), bin + "/calc_ex.dll");
  EXPECT_EQ(std::string(Mod_FindDll(nullptr, "plain", nullptr)), bin + "/plain.so");
  const char* exe = Mod_FindExe(".", "mvtrx7", nullptr);
  ASSERT_NE(exe, nullptr);
  EXPECT_EQ(std::string(exe), "\"" + bin + "/mvtrx\"");
  // "calculus" is not calc followed by a number.
  EXPECT_EQ(Mod_FindDll(".", "calculus", "ex"), nullptr);
  EXPECT_EQ(errno, 2);
  // A program is also found on PATH.
  const char* sh = Mod_FindExe(".", "sh", nullptr);
  ASSERT_NE(sh, nullptr);
  EXPECT_EQ(sh[0], '"');
  unsetenv("CDX_BIN");
}

}  // namespace
