// The file collection's own duties: its error texts, the configuration
// archive saved beside a new log, logical directories in the directory it
// is given, and finding a log's text file when the names drifted apart.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "logdata/eventstext.h"
#include "logdata/logfilecollection.h"
#include "logdata/logfilestore.h"
#include "platform/error.h"
#include "platform/files.h"
#include "support/tool_run.h"

namespace {

std::string Dir(const std::string& name) {
  std::string d = std::string(getenv("CDXPLAT_ROOT")) + "/" + name;
  std::error_code ec;
  std::filesystem::remove_all(d, ec);  // a test run again starts afresh
  plat::MakeDirectories(d);
  return d;
}

void Put(const std::string& p, const std::string& s) {
  int fd = open(p.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0666);
  ASSERT_GE(fd, 0) << p;
  ASSERT_EQ(write(fd, s.data(), s.size()), static_cast<ssize_t>(s.size()));
  close(fd);
}

bool Exists(const std::string& p) {
  struct stat st;
  return lstat(p.c_str(), &st) == 0;
}

std::string Shell(const std::string& command) { return testsupport::RunShell(command).out; }

std::string Cwd() {
  char b[PATH_MAX];
  return getcwd(b, sizeof b) ? b : "";
}

// A header without blocks: records of 18 bytes right after the 900 bytes.
LogHeader Header() {
  LogHeader h{};
  h.marker = kLogHeaderMarker;
  h.recordLength = 18;
  h.headerLength = 900;
  return h;
}

// 2024-01-02 03:04:05 and one hour later.
constexpr int32_t kStart = 1704164645;
constexpr int32_t kStop = kStart + 3600;

class CurrentDirectory {
 public:
  explicit CurrentDirectory(const std::string& d) : old_(Cwd()) { EXPECT_EQ(chdir(d.c_str()), 0) << d; }
  ~CurrentDirectory() { EXPECT_EQ(chdir(old_.c_str()), 0); }

 private:
  std::string old_;
};

}  // namespace

TEST(LogFileCollectionErrors, UseforLoggingSaysWhyItFailed) {
  std::string d = Dir("errors");
  CLogFileCollection c;
  ASSERT_EQ(c.Open(nullptr, d.c_str(), nullptr, "FAST", kGenericRead | kGenericWrite), 0);
  EXPECT_STREQ(c.GetErrorSummary(), "");
  EXPECT_STREQ(c.GetErrorDetail(), "");
  LogHeader h = Header();
  int32_t start = kStart;
  CLogStore* s = c.CreateLog(&start, 0, 0, &h, nullptr, 0, nullptr, 0, nullptr);
  ASSERT_NE(s, nullptr);
  ASSERT_EQ(c.CloseLog(s, &start, nullptr, 0), 0);
  s->Destroy(1);
  std::string path = d + "/FAST240102_030405.odl";

  CLogFileStore st;
  ASSERT_EQ(st.Open(nullptr, path.c_str(), kGenericRead | kGenericWrite), 0);
  EXPECT_EQ(c.UseforLogging(&st, &h, "SLOW", 0, 0), -1);
  EXPECT_STREQ(c.GetErrorSummary(), "Prefixes don't match");
  EXPECT_EQ(std::string(c.GetErrorDetail()), "Prefixes don't match, Path " + path + ", LogPrefix SLOW");

  EXPECT_EQ(c.UseforLogging(&st, &h, "fast", 1, 0), -1);  // the log has no text file
  EXPECT_STREQ(c.GetErrorSummary(), "Cant determine text file name");
  EXPECT_STREQ(c.GetErrorDetail(), "Cant determine text file name");

  LogHeader bad = h;
  bad.recordLength = 0;  // not a header a log can be taken up with
  int rc = c.UseforLogging(&st, &bad, "FAST", 0, 0);
  int e = errno;
  int code = static_cast<int>(plat::GetLastError());
  EXPECT_EQ(rc, -1);
  char want[64];
  snprintf(want, sizeof want, "UseforLogging failed %d %d", e, code);
  EXPECT_STREQ(c.GetErrorDetail(), want);
  EXPECT_EQ(std::string(c.GetErrorSummary()), std::string(want).substr(0, 31));
  EXPECT_EQ(strncmp(c.GetErrorSummary(), "UseforLogging failed ", 21), 0);

  // A success clears the texts.
  EXPECT_EQ(c.UseforLogging(&st, &h, "FAST", 0, 0), 0);
  EXPECT_STREQ(c.GetErrorSummary(), "");
  st.Close();
}

// The configuration archive of a log's start: the process works in the
// configuration's "LOGGERS" directory; the archive of its parent lands
// beside the log as ".cdx", and the process is back in "LOGGERS" after.
TEST(LogFileCollectionSaveConfig, ArchiveBesideTheLog) {
  std::string root = Dir("savecfg");
  std::string config = Dir("savecfg/CURRENT_CONFIG");
  std::string loggers = Dir("savecfg/CURRENT_CONFIG/LOGGERS");
  Dir("savecfg/CURRENT_CONFIG/dev_1");
  Dir("savecfg/SAVED_CONFIG");
  Put(config + "/dev_1/config", "device configuration");
  Put(loggers + "/L1_1.xml", "<logger/>");
  setenv("CDX_SAVED_CONFIG", (root + "/SAVED_CONFIG").c_str(), 1);
  std::string logs = Dir("savecfg/LOGGED_DATA/L1");
  CurrentDirectory here(loggers);

  CLogFileCollection c;
  ASSERT_EQ(c.Open(nullptr, logs.c_str(), nullptr, "L", kGenericRead | kGenericWrite), 0);
  LogHeader h = Header();
  int32_t start = kStart;
  CLogStore* s = c.CreateLog(&start, 0, 0, &h, "[HEADER]\r\nx\r\n", 1, nullptr, 0, nullptr);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(Cwd(), loggers);
  std::string cdx = logs + "/L240102_030405.cdx";
  ASSERT_TRUE(Exists(cdx));
  std::string members = Shell("uncompress -c '" + cdx + "' | tar -tf -");
  EXPECT_NE(members.find("./dev_1/config"), std::string::npos) << members;
  EXPECT_NE(members.find("./LOGGERS/L1_1.xml"), std::string::npos) << members;
  // The archive follows the log when it is closed.
  int32_t stop = kStop;
  ASSERT_EQ(c.CloseLog(s, &start, &stop, 0), 0);
  s->Destroy(1);
  EXPECT_TRUE(Exists(logs + "/L240102_030405_240102_040405.cdx"));

  // A save that fails (no CDX_SAVED_CONFIG directory) makes no log at all.
  setenv("CDX_SAVED_CONFIG", (root + "/missing").c_str(), 1);
  start = kStart + 10;
  EXPECT_EQ(c.CreateLog(&start, 0, 0, &h, "[HEADER]\r\nx\r\n", 1, nullptr, 0, nullptr), nullptr);
  EXPECT_FALSE(Exists(logs + "/L240102_030415.odl"));
  EXPECT_FALSE(Exists(logs + "/L240102_030415.txt"));
  EXPECT_FALSE(Exists(logs + "/L240102_030415.cdx"));
  EXPECT_EQ(Cwd(), loggers);
  unsetenv("CDX_SAVED_CONFIG");
}

// "CDX_LOGGED_DATA\sub" names a directory below the logical directory, not
// a directory of that name in the current directory.
TEST(LogFileCollectionDirectory, LogicalDirectoryAsFirstComponent) {
  std::string data = Dir("logical/DATA");
  std::string scratch = Dir("logical/cwd");
  setenv("CDX_LOGGED_DATA", data.c_str(), 1);
  CurrentDirectory here(scratch);
  CLogFileCollection c;
  ASSERT_EQ(c.Open(nullptr, "CDX_LOGGED_DATA\\sub\\L2", nullptr, "", kGenericRead | kGenericWrite), 0);
  EXPECT_EQ(c.Directory(), data + "/sub/L2");
  EXPECT_TRUE(plat::DirectoryExists(data + "/sub/L2"));
  DIR* d = opendir(scratch.c_str());
  int entries = 0;
  while (dirent* e = readdir(d))
    if (e->d_name[0] != '.') ++entries;
  closedir(d);
  EXPECT_EQ(entries, 0);
  // Paths of this platform are taken as they are.
  CLogFileCollection plain;
  std::string direct = Dir("logical/direct");
  ASSERT_EQ(plain.Open(nullptr, direct.c_str(), nullptr, "", kGenericRead), 0);
  EXPECT_EQ(plain.Directory(), direct);
  unsetenv("CDX_LOGGED_DATA");
}

// The text file of a log whose name and text name drifted apart.
TEST(LogFileCollectionText, FindLogTextFallbacks) {
  std::string d = Dir("findtext");
  const std::string start = LogNameStamp(kStart);
  // Texts of other runs that share the start stamp, which a search by the
  // start stamp alone could take instead.
  for (int i = 1; i <= 6; ++i) Put(d + "/P" + start + "_" + LogNameStamp(kStop + 100 * i) + ".txt", "[TEXT]\r\n");

  // An open log (taken up again) whose text kept the header's stop stamp.
  {
    LogHeader h = Header();
    h.stop = TimeStamp{kStop, 0, 0};
    CLogFileStore s;
    std::string odl = d + "/P" + start + ".odl";
    ASSERT_EQ(s.CreateLogFile(odl.c_str(), &h, nullptr, nullptr), 0);
    s.Close();
    std::string want = d + "/P" + start + "_" + LogNameStamp(kStop) + ".txt";
    Put(want, "[TEXT]\r\n");
    std::string got;
    ASSERT_EQ(FindLogText(odl, &got), 0);
    EXPECT_EQ(got, want);
    unlink(want.c_str());
    unlink(odl.c_str());
  }
  // The same with no stop in the header: the last record's time.
  {
    LogHeader h = Header();
    CLogFileStore s;
    std::string odl = d + "/P" + start + ".odl";
    ASSERT_EQ(s.CreateLogFile(odl.c_str(), &h, nullptr, nullptr), 0);
    uint8_t recs[36] = {};
    for (int i = 0; i < 2; ++i) {
      uint16_t marker = kLogRecordMarker;
      int32_t when = kStart + 1000 * (i + 1);
      memcpy(recs + 18 * i, &marker, 2);
      memcpy(recs + 18 * i + 4, &when, 4);
    }
    ASSERT_EQ(s.AppendRecords(&h, recs, 2), 0);
    s.Close();
    std::string want = d + "/P" + start + "_" + LogNameStamp(kStart + 2000) + ".txt";
    Put(want, "[TEXT]\r\n");
    std::string got;
    ASSERT_EQ(FindLogText(odl, &got), 0);
    EXPECT_EQ(got, want);
    unlink(want.c_str());
    unlink(odl.c_str());
  }
  // A closed log whose text kept the open log's name.
  {
    std::string closed = d + "/P" + start + "_" + LogNameStamp(kStop) + ".odl";
    std::string want = d + "/P" + start + ".txt";
    Put(want, "[TEXT]\r\n");
    std::string got;
    ASSERT_EQ(FindLogText(closed, &got), 0);
    EXPECT_EQ(got, want);
    unlink(want.c_str());
    // Without it there is none: the texts of other runs are not taken.
    errno = 0;
    EXPECT_EQ(FindLogText(closed, &got), -1);
    EXPECT_EQ(errno, ENOENT);
  }
  // A name without a stamp has none.
  std::string got;
  EXPECT_EQ(FindLogText(d + "/nostamp.odl", &got), -1);
}

namespace {

std::string Slurp(const std::string& p) {
  std::string s;
  int fd = open(p.c_str(), O_RDONLY);
  char b[4096];
  ssize_t r;
  while (fd >= 0 && (r = read(fd, b, sizeof b)) > 0) s.append(b, static_cast<size_t>(r));
  if (fd >= 0) close(fd);
  return s;
}

}  // namespace

// Two runs of one logger that began in the same second: the closed one keeps
// its events text while the new one, which has none of its own, writes,
// reads and is closed; a text that another log owns (its ".odl" is there) is
// never taken by the fallback search.
TEST(LogFileCollectionText, TwoRunsOfOneStartSecondKeepTheirOwnTexts) {
  std::string d = Dir("sharedtext");
  const std::string start = LogNameStamp(kStart);
  CLogFileCollection c;
  ASSERT_EQ(c.Open(nullptr, d.c_str(), nullptr, "P", kGenericRead | kGenericWrite), 0);
  LogHeader h = Header();
  int32_t begin = kStart, stopA = kStop, stopB = kStop + 60;

  CLogStore* a = c.CreateLog(&begin, 0, 0, &h, nullptr, 0, nullptr, 0, nullptr);
  ASSERT_NE(a, nullptr);
  ASSERT_EQ(a->WriteText(kStart + 1, "from a", nullptr, nullptr), 0);
  ASSERT_EQ(c.CloseLog(a, &begin, &stopA, 0), 0);
  a->Destroy(1);
  const std::string aOdl = d + "/P" + start + "_" + LogNameStamp(kStop) + ".odl";
  const std::string aText = d + "/P" + start + "_" + LogNameStamp(kStop) + ".txt";
  ASSERT_TRUE(Exists(aOdl));
  const std::string aBody = Slurp(aText);
  ASSERT_NE(aBody.find("from a"), std::string::npos);

  CLogStore* b = c.CreateLog(&begin, 0, 0, &h, nullptr, 0, nullptr, 0, nullptr);
  ASSERT_NE(b, nullptr);
  const std::string bOdl = d + "/P" + start + ".odl";
  std::string got;
  EXPECT_EQ(FindLogText(bOdl, &got), -1) << got;
  char buf[200];
  int size = sizeof buf;
  EXPECT_EQ(b->ReadText("TEXT", buf, &size, 0, 0), -1);
  ASSERT_EQ(b->WriteText(kStart + 2, "from b", nullptr, nullptr), 0);
  EXPECT_EQ(Slurp(aText), aBody);
  EXPECT_NE(Slurp(d + "/P" + start + ".txt").find("from b"), std::string::npos);

  // While B is open, the closed A finds its own text, and without it none:
  // B's text (under the open name A's text could have kept) is B's.
  ASSERT_EQ(FindLogText(aOdl, &got), 0);
  EXPECT_EQ(got, aText);
  ASSERT_EQ(rename(aText.c_str(), (aText + ".away").c_str()), 0);
  EXPECT_EQ(FindLogText(aOdl, &got), -1) << got;
  ASSERT_EQ(rename((aText + ".away").c_str(), aText.c_str()), 0);

  ASSERT_EQ(c.CloseLog(b, &begin, &stopB, 0), 0);
  b->Destroy(1);
  EXPECT_EQ(Slurp(aText), aBody);
  const std::string bText = d + "/P" + start + "_" + LogNameStamp(kStop + 60) + ".txt";
  EXPECT_NE(Slurp(bText).find("from b"), std::string::npos);
  EXPECT_EQ(Slurp(bText).find("from a"), std::string::npos);

  // A run taken up again whose text kept its closed name is still found:
  // no log owns that text.
  const std::string orphan = d + "/P" + start + "_" + LogNameStamp(kStop + 120) + ".txt";
  Put(orphan, "[TEXT]\r\n");
  CLogFileStore again;
  const std::string againOdl = d + "/P" + start + ".odl";
  ASSERT_EQ(again.CreateLogFile(againOdl.c_str(), &h, nullptr, nullptr), 0);
  again.Close();
  ASSERT_EQ(FindLogText(againOdl, &got), 0);
  EXPECT_EQ(got, orphan);
}
