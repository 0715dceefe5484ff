// Printing a device's configuration into real cairo PDF surfaces; the pages
// are read back with pdftotext (the words and where they stand) and checked
// with qpdf.
#include "config_dialogs/print/qdprint.h"

#include <gtest/gtest.h>

#include <cairo-pdf.h>
#include <cairo.h>

#include <climits>
#include <dlfcn.h>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

#include "cdxlib/config/configfiles.h"
#include "config_dialogs/hostrecord.h"
#include "config_dialogs/print/printengine.h"
#include "support/tool_run.h"

namespace {

constexpr double kWidth = 842, kHeight = 595;  // A4 landscape, points

std::string RunCommand(const std::string& command, int* status = nullptr) {
  const testsupport::ToolResult r = testsupport::RunShell(command);
  if (status) *status = r.rc;
  return r.out;
}

std::string Unescape(std::string s) {
  const std::pair<const char*, const char*> entities[] = {
      {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&apos;", "'"}, {"&#39;", "'"}, {"&amp;", "&"}};
  for (const auto& [from, to] : entities)
    for (size_t at; (at = s.find(from)) != std::string::npos;) s.replace(at, strlen(from), to);
  return s;
}

std::string Rtrim(std::string s) {
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

// The pages of a PDF as text lines: every word is put back at its column
// (the font is monospaced: 160 columns from x = 36 to width - 36), lines in
// order from the top; blank lines between them are not kept.
std::vector<std::vector<std::string>> PdfPages(const std::string& pdf) {
  const std::string html = RunCommand("pdftotext -bbox '" + pdf + "' - 2>/dev/null");
  std::vector<std::vector<std::string>> pages;
  size_t at = 0;
  while ((at = html.find("<page ", at)) != std::string::npos) {
    const size_t end = html.find("</page>", at);
    double width = 0;
    sscanf(html.c_str() + html.find("width=\"", at) + 7, "%lf", &width);
    const double advance = (width - 72) / 160;
    std::map<long, std::string> lines;  // by yMin in 1/100 points
    for (size_t w = html.find("<word ", at); w != std::string::npos && w < end; w = html.find("<word ", w + 1)) {
      double xMin = 0, yMin = 0;
      sscanf(html.c_str() + html.find("xMin=\"", w) + 6, "%lf", &xMin);
      sscanf(html.c_str() + html.find("yMin=\"", w) + 6, "%lf", &yMin);
      const size_t t0 = html.find('>', w) + 1, t1 = html.find("</word>", t0);
      const std::string text = Unescape(html.substr(t0, t1 - t0));
      std::string& line = lines[std::lround(yMin * 100)];
      const size_t column = static_cast<size_t>(std::lround((xMin - 36) / advance));
      if (line.size() < column) line.resize(column, ' ');
      line.replace(column, text.size(), text);
    }
    std::vector<std::string> page;
    for (auto& [y, line] : lines) page.push_back(Rtrim(line));
    pages.push_back(page);
    at = end;
  }
  return pages;
}

int PageCount(const std::string& pdf) {
  int status = -1;
  const std::string out = RunCommand("qpdf --show-npages '" + pdf + "' 2>&1", &status);
  return status == 0 ? atoi(out.c_str()) : -1;
}

// A PDF that the test prints into, finished (the document ended) by Finish.
struct Pdf {
  std::string path;
  cairo_surface_t* surface = nullptr;
  cairo_t* cr = nullptr;
  explicit Pdf(const std::string& p, double w = kWidth, double h = kHeight) : path(p) {
    surface = cairo_pdf_surface_create(path.c_str(), w, h);
    cr = cairo_create(surface);
  }
  void Finish() {
    if (!cr) return;
    cairo_destroy(cr);
    cr = nullptr;
    cairo_surface_finish(surface);
    cairo_surface_destroy(surface);
  }
  ~Pdf() { Finish(); }
};

struct Host {
  uint8_t record[0x100] = {};
  Host(const char* name, const char* dir) {
    memcpy(record + kHostDeviceNameOffset, name, strlen(name));
    memcpy(record + kHostConfigDirOffset, dir, strlen(dir));
  }
  void Path(int p, const char* name, uint16_t count) {
    memcpy(record + kHostPathEntryOffset + 4 * p, name, 2);
    memcpy(record + kHostPathCountOffset + 4 * p, &count, 2);
  }
};

void SetText(char* field, size_t size, const char* text) {
  memset(field, 0, size);
  memcpy(field, text, std::min(size, strlen(text)));
}

ChannelConfig TankLevel() {
  ChannelConfig c = {};
  c.Type = kKindAI;
  Chan_SetTag(&c, "TANK_LEVEL");
  Chan_SetDescription(&c, "Level of tank 1");
  Chan_SetUnits(&c, "m");
  for (int f : {kAiEnable, kAiEventEnable, kAiLowAlarmEnable, kAiLowWarningEnable, kAiLowAlarmDeadbandEnable,
                kAiHighAlarmEnable, kAiHighAlarmDriveCommon, kAiSigChangeEnable})
    Chan_SetFlag(&c, f, true);
  AnalogChannelPart& a = c.analog;
  a.LowEventLimit = 1.5f;
  a.HighEventLimit = 123456.789f;
  a.LowAlarmLimit = 2;
  a.LowWarningLimit = 3;
  a.LowAlarmDeadband = 2.5f;
  a.LowAlarmPriority = 5;
  a.LowAlarmDelay = 10;
  SetText(a.LowAlarmText, sizeof a.LowAlarmText, "LOW LEVEL");
  a.HighAlarmLimit = 90;
  a.HighAlarmPriority = 7;
  SetText(a.HighAlarmText, sizeof a.HighAlarmText, "HIGH LEVEL");
  a.SigChangeValue = 0.25f;
  auto* hw = reinterpret_cast<Df1AnalogHardware*>(a.Hardware);
  hw->Node = 7;
  hw->WordAddress = 100;
  return c;
}

ChannelConfig Pump(int i, bool enabled = true) {
  ChannelConfig c = {};
  c.Type = kKindDI;
  Chan_SetTag(&c, ("PUMP_" + std::to_string(i)).c_str());
  Chan_SetDescription(&c, "Pump running");
  Chan_SetFlag(&c, kDiEnable, enabled);
  Chan_SetFlag(&c, kDiEventEnable, true);
  Chan_SetFlag(&c, kDiEventState, true);
  Chan_SetFlag(&c, kDiAlarmEnable, i % 2 == 0);
  SetText(c.digital.LowStateText, sizeof c.digital.LowStateText, "STOPPED");
  SetText(c.digital.HighStateText, sizeof c.digital.HighStateText, "RUNNING");
  SetText(c.digital.AlarmText, sizeof c.digital.AlarmText, "PUMP TRIP");
  c.digital.AlarmPriority = 3;
  c.digital.AlarmDelay = 20;
  auto* hw = reinterpret_cast<Df1DigitalHardware*>(c.digital.Hardware);
  hw->Node = 2;
  hw->WordAddress = 40;
  hw->Bit = static_cast<uint8_t>(i % 16);
  return c;
}

DeviceConfig Device(const char* port, uint8_t node) {
  DeviceConfig d = {};
  d.ScanRate = 1000;
  d.Comm.Node = node;
  SetText(d.Comm.Port, sizeof d.Comm.Port, port);
  return d;
}

class PrintTest : public ::testing::Test {
 protected:
  std::string dir;
  std::string oldCwd;
  void SetUp() override {
    char tmpl[] = "/tmp/qdprint_test_XXXXXX";
    dir = mkdtemp(tmpl);
    char buf[PATH_MAX];
    oldCwd = getcwd(buf, sizeof buf);
    Print_Reset();
  }
  void TearDown() override {
    if (chdir(oldCwd.c_str()) != 0) ADD_FAILURE();
    std::system(("rm -rf " + dir).c_str());
  }
  std::string P(const std::string& name) { return dir + "/" + name; }
};

TEST(PrintFormat, FloatsFitEightCharactersAndAreNeverCut) {
  const std::pair<float, const char*> cases[] = {
      {123456.789f, "123456.8"}, {1.5f, "1.500000"}, {-0.5f, "-0.50000"}, {0.0f, "0.000000"},
      {12345678.0f, "12345678"}, {1e9f, "1.00e+09"}, {-1e9f, "-1.0e+09"}, {-1234567.0f, "-1234567"},
      {-12345678.0f, "-1.2e+07"},
  };
  for (const auto& [x, text] : cases) EXPECT_EQ(Print_FormatFloat(x), text) << x;
  EXPECT_EQ(Print_FormatFloat(NAN).size(), 8u);
}

TEST(PrintFormat, HooksGiveTheAddressAndBitColumns) {
  ChannelConfig a = TankLevel();
  EXPECT_EQ(QdPrint_AddressColumns(a), " 0    7    100   ");
  EXPECT_EQ(QdPrint_BitColumn(a), std::string(17, ' '));
  ChannelConfig d = Pump(13);
  EXPECT_EQ(QdPrint_AddressColumns(d), " 1    2    40    ");
  EXPECT_EQ(QdPrint_BitColumn(d), " 13              ");
}

TEST_F(PrintTest, OneChannelDeviceHeaderAndTablesAsLaidOut) {
  Host host("plc_1", "plc_1");
  host.Path(0, "AI", 1);
  ChannelConfig ai[1] = {TankLevel()};
  ChannelConfig* paths[5] = {ai, nullptr, nullptr, nullptr, nullptr};
  DeviceConfig device = Device("", 12);
  Pdf pdf(P("one.pdf"));
  QdPrintRequest q;
  q.kind = QdPrintKind::kAll;
  q.dc = pdf.cr;
  q.server = "scada1";
  q.hostRecord = host.record;
  q.device = &device;
  q.status = 1;
  q.autosave = 1;
  q.byTag = 0;
  q.saveRateMs = 90500;
  q.pathChannels = paths;
  ASSERT_EQ(QdPrint_Configuration(q), 0);
  // The port name was empty: the default COM number (1 without a host
  // function) is written into the configuration.
  EXPECT_STREQ(device.Comm.Port, "COM1");
  // The analog table ended its page; the digital table had no channel of
  // its kind and printed nothing.
  EXPECT_TRUE(Print_PagePending());
  pdf.Finish();
  ASSERT_EQ(PageCount(pdf.path), 1);
  const auto pages = PdfPages(pdf.path);
  ASSERT_EQ(pages.size(), 1u);
  const std::string bits(17, ' ');
  const std::vector<std::string> page1 = {
      "        SERVER NAME    [scada1]",
      "        DEVICE NAME    [plc_1]",
      "        STATUS         [ENABLED ]",
      "        AUTOSAVE       [Y]                    BY TAG  [N]       SAVE RATE 01(min) 30(sec) 500(ms)",
      "        SCAN RATE 00(min) 01(sec) 000(ms)",
      "        PORT           [COM1  ]            NODE [12    ]",
      Rtrim("CHAN    ENB TAG                  UNITS      " + std::string(" TYP/ NODE ADDR  ") +
            " EVENT CHCK ALARM CHECKING LOW/HIGH" + std::string(53, ' ') + " SIG CHNG"),
      Rtrim("            DESCRIPTION                     " + std::string(" BIT             ") +
            " ON LOW/HIG O C LIMIT    W LIMIT    H LIMIT    PRI DLY  MESSAGE" + std::string(25, ' ') + " ON/VALUE"),
      "AI1     [Y] TANK_LEVEL           m           0    7    100    Y 1.500000 Y N 2.000000 Y 3.000000 Y "
      "0.500000 5   10   LOW LEVEL                        [Y]",
      "            Level of tank 1                 " + bits + "   123456.8 Y Y 90.00000 N          N          7   0 "
      "   HIGH LEVEL" + std::string(23, ' ') + "0.250000",
  };
  EXPECT_EQ(pages[0], page1);
}

TEST_F(PrintTest, ThousandChannelPathBreaksPagesAndPrintsEveryEnabledRowOnce) {
  Host host("big", "big");
  host.Path(0, "AI", 1000);
  host.Path(1, "DI", 1000);
  std::vector<ChannelConfig> ai(1000), di(1000);
  for (int i = 0; i < 1000; ++i) {
    ai[i] = TankLevel();
    Chan_SetTag(&ai[i], ("T" + std::to_string(i + 1)).c_str());
    Chan_SetFlag(&ai[i], kAiEnable, (i + 1) % 10 != 0);  // every tenth disabled
    di[i] = Pump(i + 1, (i + 1) % 4 != 0);                // every fourth disabled
  }
  ChannelConfig* paths[5] = {ai.data(), di.data(), nullptr, nullptr, nullptr};
  DeviceConfig device = Device("COM2", 1);
  Pdf pdf(P("big.pdf"));
  Print_SetDc(pdf.cr);
  const int perPage = Print_LinesPerPage();
  ASSERT_GT(perPage, 20);
  QdPrintRequest q;
  q.kind = QdPrintKind::kAll;
  q.dc = pdf.cr;
  q.server = "";
  q.hostRecord = host.record;
  q.device = &device;
  q.pathChannels = paths;
  ASSERT_EQ(QdPrint_Configuration(q), 0);
  EXPECT_TRUE(Print_PagePending()) << "the digital table ended its last page";
  pdf.Finish();
  int status = -1;
  RunCommand("qpdf --check '" + pdf.path + "' >/dev/null 2>&1", &status);
  EXPECT_EQ(status, 0);
  const auto pages = PdfPages(pdf.path);
  ASSERT_EQ(static_cast<int>(pages.size()), PageCount(pdf.path));

  std::vector<std::string> rows;  // channel names in print order
  int analogPages = 0, digitalPages = 0;
  std::vector<bool> kinds;  // per page: a digital table's page
  for (size_t p = 0; p < pages.size(); ++p) {
    const auto& page = pages[p];
    // Text lines on a page (blank ones are not seen) never pass the page.
    EXPECT_LE(static_cast<int>(page.size()), perPage + 1) << "page " << p + 1;
    size_t head = 0;
    while (head < page.size() && page[head].rfind("CHAN    ENB TAG", 0) != 0) ++head;
    ASSERT_LT(head + 1, page.size()) << "page " << p + 1 << " has its head lines";
    EXPECT_EQ(page[head + 1].rfind("            DESCRIPTION", 0), 0u);
    const bool digital = page[head].find("LOW STAT") != std::string::npos;
    (digital ? digitalPages : analogPages)++;
    for (size_t l = head + 2; l < page.size(); ++l) {
      const std::string& line = page[l];
      if (line.rfind("AI", 0) == 0 || line.rfind("DI", 0) == 0) rows.push_back(line.substr(0, line.find(' ')));
      else EXPECT_EQ(line.rfind("            ", 0), 0u) << line;  // a channel's second line
    }
    kinds.push_back(digital);
  }
  // Every page but the last of each table is full: the next page of the
  // same table starts only when this one has no room (blank lines, such as
  // the header's, are not counted).
  for (size_t p = 0; p + 1 < pages.size(); ++p)
    if (kinds[p] == kinds[p + 1]) {
      EXPECT_GE(static_cast<int>(pages[p].size()), perPage - 8) << "page " << p + 1;
    }
  std::vector<std::string> expected;
  for (int i = 1; i <= 1000; ++i)
    if (i % 10 != 0) expected.push_back("AI" + std::to_string(i));
  for (int i = 1; i <= 1000; ++i)
    if (i % 4 != 0) expected.push_back("DI" + std::to_string(i));
  EXPECT_EQ(rows, expected);
  EXPECT_GT(analogPages, 10);
  EXPECT_GT(digitalPages, 10);
  // Text of one digital row as laid out.
  bool seen = false;
  for (const auto& page : pages)
    for (size_t l = 0; l + 1 < page.size(); ++l)
      if (page[l].rfind("DI2 ", 0) == 0) {
        seen = true;
        // Tag (15 and a blank), 17 blanks, low state text (a blank and 32),
        // address columns and a blank, event, alarm.
        EXPECT_EQ(page[l], "DI2     [Y] PUMP_2" + std::string(9 + 1 + 17 + 1, ' ') + "STOPPED" +
                               std::string(25, ' ') + " 1    2    40     [HIGH] [LOW ] [N] 3   20   PUMP TRIP");
        EXPECT_EQ(page[l + 1], "            Pump running                      RUNNING                          2");
        // Every value stands under its head word.
        size_t head = 0;
        while (page[head].rfind("CHAN    ENB TAG", 0) != 0) ++head;
        const std::string& h1 = page[head];
        const std::string& h2 = page[head + 1];
        const std::pair<const char*, const char*> line1[] = {
            {"ENB", "[Y]"},  {"TAG", "PUMP_2"}, {"LOW STAT", "STOPPED"}, {"TYP/", "1    2"}, {"EVENT", "[HIGH]"},
            {"ALARM  COM", "[LOW ]"}, {"COM", "[N]"}, {"ALM ALM", "3   20"}, {"ALM  ALARM", "20   PUMP"}};
        for (const auto& [word, value] : line1)
          EXPECT_EQ(page[l].find(value), h1.find(word)) << word << "\n" << h1 << "\n" << page[l];
        EXPECT_EQ(page[l].find("PUMP TRIP"), h1.rfind("ALARM"));
        const std::pair<const char*, const char*> line2[] = {
            {"DESCRIPTION", "Pump running"}, {"HIG STAT", "RUNNING"}, {"BIT", "2"}};
        for (const auto& [word, value] : line2)
          EXPECT_EQ(page[l + 1].find(value, 13), h2.find(word, 13)) << word;
      }
  EXPECT_TRUE(seen);
}

TEST_F(PrintTest, RangesAndDisabledPaths) {
  Host host("plc_2", "plc_2");
  host.Path(1, "DI", 5);
  std::vector<ChannelConfig> di;
  for (int i = 1; i <= 5; ++i) di.push_back(Pump(i, false));
  Pdf pdf(P("ranges.pdf"));
  QdPrintRequest q;
  q.kind = QdPrintKind::kPath;
  q.dc = pdf.cr;
  q.hostRecord = host.record;
  q.path = 1;
  q.channels = di.data();
  for (auto [first, last] : {std::pair{3, 2}, {-1, 2}, {1, 6}}) {
    q.first = first;
    q.last = last;
    EXPECT_EQ(QdPrint_Configuration(q), -1) << first << ".." << last;
    EXPECT_EQ(errno, 87);
  }
  // All disabled: one line from the digital table, no form feed (the page
  // stays open); the analog table has no channel of its kind and prints
  // nothing.
  q.first = 0;
  q.last = 0;
  ASSERT_EQ(QdPrint_Configuration(q), 0);
  EXPECT_FALSE(Print_PagePending());
  // A sub-range of enabled channels, on the page left open.
  di[2] = Pump(3);
  di[3] = Pump(4);
  q.first = 2;
  q.last = 4;
  ASSERT_EQ(QdPrint_Configuration(q), 0);
  pdf.Finish();
  const auto pages = PdfPages(pdf.path);
  ASSERT_EQ(pages.size(), 1u);
  ASSERT_EQ(pages[0].size(), 7u);
  EXPECT_EQ(pages[0][0], "CHANNELS DI1 - DI5 DISABLED");
  EXPECT_EQ(pages[0][1].rfind("CHAN    ENB TAG", 0), 0u);
  EXPECT_EQ(pages[0][3].rfind("DI3 ", 0), 0u);
  EXPECT_EQ(pages[0][5].rfind("DI4 ", 0), 0u);
  for (size_t l = 1; l < pages[0].size(); ++l) EXPECT_EQ(pages[0][l].find("DISABLED"), std::string::npos) << l;
}

TEST_F(PrintTest, ChannelsAndDeviceAreReadWhenNotGiven) {
  const std::string root = P("CURRENT_CONFIG");
  const std::string devdir = root + "/plc_3";
  ASSERT_EQ(system(("mkdir -p " + devdir).c_str()), 0);
  setenv("CDX_CURRENT_CONFIG", root.c_str(), 1);
  std::vector<ChannelConfig> ai = {TankLevel(), TankLevel()};
  Chan_SetTag(&ai[1], "SECOND");
  ASSERT_EQ(Cfg_SaveChannels("test", devdir.c_str(), kKindAI, ai.data(), 0, 2, nullptr, 0, nullptr), 0);
  DeviceConfig device = Device("COM3", 4);
  device.ScanRate = 61250;
  const uint8_t enable = 0, saveOutputs = 0, byTag = 1;
  const uint32_t rate = 5000;
  ASSERT_EQ(Cfg_SaveDeviceEx("test", devdir.c_str(), &device, sizeof device, nullptr, 0, nullptr, &enable,
                             &saveOutputs, &byTag, &rate),
            0);
  ASSERT_EQ(chdir(devdir.c_str()), 0);
  Host host("Plant 3", "plc_3");
  host.Path(0, "AI", 2);
  Pdf pdf(P("read.pdf"));
  QdPrintRequest q;
  q.kind = QdPrintKind::kAll;
  q.dc = pdf.cr;
  q.server = "";
  q.hostRecord = host.record;
  q.status = 1;  // not used: the device is read
  q.autosave = 1;
  ASSERT_EQ(QdPrint_Configuration(q), 0);
  pdf.Finish();
  const auto pages = PdfPages(pdf.path);
  ASSERT_GE(pages.size(), 1u);
  ASSERT_GE(pages[0].size(), 10u);
  EXPECT_EQ(pages[0][1], "        DEVICE NAME    [Plant 3]");
  EXPECT_EQ(pages[0][2], "        STATUS         [DISABLED]");
  EXPECT_EQ(pages[0][3], "        AUTOSAVE       [N]");
  EXPECT_EQ(pages[0][4], "        SCAN RATE 01(min) 01(sec) 250(ms)");
  EXPECT_EQ(pages[0][5], "        PORT           [COM3  ]            NODE [4     ]");
  EXPECT_EQ(pages[0][8].rfind("AI1     [Y] TANK_LEVEL", 0), 0u);
  EXPECT_EQ(pages[0][10].rfind("AI2     [Y] SECOND", 0), 0u);

  // A path present with no channels (and no channel file) prints nothing:
  // the same pages, and the print succeeds.
  host.Path(1, "DI", 0);
  Pdf empty(P("empty.pdf"));
  q.dc = empty.cr;
  ASSERT_EQ(QdPrint_Configuration(q), 0);
  empty.Finish();
  EXPECT_EQ(PdfPages(empty.path), pages);
  // So does that path alone.
  Pdf alone(P("alone.pdf"));
  QdPrintRequest one = q;
  one.kind = QdPrintKind::kPath;
  one.dc = alone.cr;
  one.path = 1;
  one.first = 0;
  one.last = 0;
  EXPECT_EQ(QdPrint_Configuration(one), 0);

  // A path whose channel file is missing: the load's error.
  host.Path(2, "AO", 3);
  Pdf again(P("again.pdf"));
  q.dc = again.cr;
  EXPECT_EQ(QdPrint_Configuration(q), -1);
  EXPECT_EQ(errno, 2);
}

// A PDF stream that accepts a number of bytes and then fails, as a printer
// that runs out of room does.
struct FailingSink {
  size_t room;
  static cairo_status_t Write(void* closure, const unsigned char*, unsigned int length) {
    auto* s = static_cast<FailingSink*>(closure);
    if (length > s->room) return CAIRO_STATUS_WRITE_ERROR;
    s->room -= length;
    return CAIRO_STATUS_SUCCESS;
  }
};

TEST_F(PrintTest, RefusedPageFailsAndTheNextPrintStartsOnANewPage) {
  Host host("plc_4", "plc_4");
  host.Path(0, "AI", 200);
  std::vector<ChannelConfig> ai(200, TankLevel());
  FailingSink sink{2000};
  cairo_surface_t* s = cairo_pdf_surface_create_for_stream(FailingSink::Write, &sink, kWidth, kHeight);
  cairo_t* cr = cairo_create(s);
  QdPrintRequest q;
  q.kind = QdPrintKind::kPath;
  q.dc = cr;
  q.hostRecord = host.record;
  q.channels = ai.data();
  EXPECT_EQ(QdPrint_Configuration(q), -1);
  EXPECT_EQ(errno, 31);
  EXPECT_EQ(Print_LineCounter(), 1);
  EXPECT_TRUE(Print_PagePending());
  EXPECT_EQ(QdPrint_Configuration(q), -1) << "a context in error refuses every page";
  cairo_destroy(cr);
  cairo_surface_destroy(s);

  // A context without a page to fill, and no context.
  cairo_surface_t* unbounded = cairo_recording_surface_create(CAIRO_CONTENT_COLOR_ALPHA, nullptr);
  cairo_t* rc = cairo_create(unbounded);
  q.dc = rc;
  EXPECT_EQ(QdPrint_Configuration(q), -1);
  EXPECT_EQ(errno, 87);
  cairo_destroy(rc);
  cairo_surface_destroy(unbounded);
  q.dc = nullptr;
  EXPECT_EQ(QdPrint_Configuration(q), -1);

  Pdf pdf(P("after.pdf"));
  q.dc = pdf.cr;
  q.first = 1;
  q.last = 1;
  ASSERT_EQ(QdPrint_Configuration(q), 0);
  pdf.Finish();
  const auto pages = PdfPages(pdf.path);
  ASSERT_EQ(pages.size(), 1u);
  EXPECT_EQ(pages[0][0].rfind("CHAN    ENB TAG", 0), 0u);
}

TEST_F(PrintTest, TinyPageStillMovesOnOneChannelPerPage) {
  Host host("plc_5", "plc_5");
  host.Path(0, "AI", 3);
  std::vector<ChannelConfig> ai(3, TankLevel());
  // A page with room for a few lines only: fewer than the head lines and
  // one channel need.
  Pdf pdf(P("tiny.pdf"), 400, 118);
  Print_SetDc(pdf.cr);
  ASSERT_GT(Print_LinesPerPage(), 0);
  ASSERT_LT(Print_LinesPerPage(), 5);
  QdPrintRequest q;
  q.kind = QdPrintKind::kPath;
  q.dc = pdf.cr;
  q.hostRecord = host.record;
  q.channels = ai.data();
  ASSERT_EQ(QdPrint_Configuration(q), 0);
  pdf.Finish();
  const auto pages = PdfPages(pdf.path);
  ASSERT_EQ(pages.size(), 3u);
  for (int p = 0; p < 3; ++p) {
    ASSERT_EQ(pages[p].size(), 4u) << "page " << p + 1;
    EXPECT_EQ(pages[p][2].rfind("AI" + std::to_string(p + 1) + " ", 0), 0u);
  }
}

// The "DISABLED" line speaks of the table's own kind: a range whose analog
// channels are all disabled gets it from the analog table, while its
// digital table prints its enabled channel; a range without channels of a
// kind gets no line from that kind's table.
TEST_F(PrintTest, TheDisabledLineSpeaksOnlyOfTheTablesKind) {
  Host host("plc_6", "plc_6");
  host.Path(0, "AI", 3);
  std::vector<ChannelConfig> mixed = {TankLevel(), TankLevel(), Pump(3)};
  Chan_SetFlag(&mixed[0], kAiEnable, false);
  Chan_SetFlag(&mixed[1], kAiEnable, false);
  QdPrintRequest q;
  q.kind = QdPrintKind::kPath;
  q.hostRecord = host.record;
  q.channels = mixed.data();
  {
    Pdf pdf(P("mixed.pdf"));
    q.dc = pdf.cr;
    ASSERT_EQ(QdPrint_Configuration(q), 0);
    pdf.Finish();
    const auto pages = PdfPages(pdf.path);
    ASSERT_EQ(pages.size(), 1u);
    ASSERT_EQ(pages[0].size(), 5u);
    EXPECT_EQ(pages[0][0], "CHANNELS AI1 - AI3 DISABLED");
    EXPECT_NE(pages[0][1].find("LOW STAT"), std::string::npos);
    EXPECT_EQ(pages[0][3].rfind("AI3     [Y] PUMP_3", 0), 0u);
  }
  // Only the digital channel in range: the analog table is silent.
  Print_Reset();
  Pdf pdf(P("digital.pdf"));
  q.dc = pdf.cr;
  q.first = 3;
  q.last = 3;
  ASSERT_EQ(QdPrint_Configuration(q), 0);
  pdf.Finish();
  const auto pages = PdfPages(pdf.path);
  ASSERT_EQ(pages.size(), 1u);
  ASSERT_EQ(pages[0].size(), 4u);
  EXPECT_EQ(pages[0][0].rfind("CHAN    ENB TAG", 0), 0u);
  EXPECT_EQ(pages[0][2].rfind("AI3 ", 0), 0u);
}

// Fonts are cached for the life of the process; let them go at the end so
// that the leak check sees only leaks of ours.
class FontCacheCleanup : public ::testing::Environment {
 public:
  void TearDown() override {
    cairo_debug_reset_static_data();
    if (auto fini = reinterpret_cast<void (*)()>(dlsym(RTLD_DEFAULT, "FcFini"))) fini();
  }
};
const auto* const kCleanup = ::testing::AddGlobalTestEnvironment(new FontCacheCleanup);

}  // namespace
