// Stored dates of the database kinds: local wall-clock time as it is, or
// UTC when DatabaseUTC is "On" and the zone keeps daylight saving time.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>

#include "cdxlib/sys/registry.h"
#include "logdb/ado/ado.h"
#include "logdb/dbcollection.h"
#include "logdb/dbdates.h"
#include "logdb/dbstore.h"
#include "support/log_header.h"

namespace {

void SetUtc(const char* value, const char* zone) {
  if (value) {
    uint32_t type = plat::REG_SZ, size = uint32_t(strlen(value) + 1);
    Reg_AccessValue(plat::HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillomatic\\Coordinatrix", plat::KEY_SET_VALUE,
                    "DatabaseUTC", &type, (void*)value, &size);
  } else {
    Reg_DeleteValue(plat::HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillomatic\\Coordinatrix", "DatabaseUTC");
  }
  if (zone)
    setenv("TZ", zone, 1);
  else
    unsetenv("TZ");
  tzset();
  LogDb_ResetDateMode();
}

// Seconds of wall-clock fields (taken as UTC, as the stamps count them).
int64_t Wall(int y, int mo, int d, int h, int mi, int s) {
  struct tm f {};
  f.tm_year = y - 1900;
  f.tm_mon = mo - 1;
  f.tm_mday = d;
  f.tm_hour = h;
  f.tm_min = mi;
  f.tm_sec = s;
  return int64_t(timegm(&f));
}

class DbDatesTest : public ::testing::Test {
 protected:
  void TearDown() override { SetUtc(nullptr, nullptr); }
};

TEST_F(DbDatesTest, UtcModeFollowsTheSettingAndTheZone) {
  struct Case {
    const char* setting;
    const char* zone;
    int64_t local;
    int64_t stored;  // the fields the database keeps
  } cases[] = {
      {nullptr, "Europe/Berlin", Wall(2024, 1, 10, 12, 0, 0), Wall(2024, 1, 10, 12, 0, 0)},
      {"Off", "Europe/Berlin", Wall(2024, 1, 10, 12, 0, 0), Wall(2024, 1, 10, 12, 0, 0)},
      {"on", "Europe/Berlin", Wall(2024, 1, 10, 12, 0, 0), Wall(2024, 1, 10, 11, 0, 0)},
      {"On", "Europe/Berlin", Wall(2024, 7, 10, 12, 0, 0), Wall(2024, 7, 10, 10, 0, 0)},
      // A zone without daylight saving time keeps local time.
      {"On", "Asia/Kolkata", Wall(2024, 7, 10, 12, 0, 0), Wall(2024, 7, 10, 12, 0, 0)},
  };
  for (const Case& k : cases) {
    SetUtc(k.setting, k.zone);
    double date = SecondsToDbDate(k.local);
    EXPECT_EQ(ado::OleDateToSeconds(date), k.stored) << (k.setting ? k.setting : "none") << " " << k.zone;
    EXPECT_EQ(DbDateToSeconds(date), k.local);
  }
}

TEST_F(DbDatesTest, RoundTripsAndTheHoursDaylightSavingMoves) {
  SetUtc("On", "Europe/Berlin");
  // Every 7 hours and 13 seconds over two years comes back as it went.
  for (int64_t s = Wall(2023, 1, 1, 0, 0, 0); s < Wall(2025, 1, 1, 0, 0, 0); s += 7 * 3600 + 13) {
    bool valid = true;
    double date = SecondsToDbDate(s, &valid);
    if (!valid) continue;
    ASSERT_EQ(DbDateToSeconds(date), s) << s;
  }
  // 02:30 on 31 March 2024 does not exist in Berlin: marked, and stored as
  // the time one hour on (03:30 CEST, 01:30 UTC).
  bool valid = true;
  double gap = SecondsToDbDate(Wall(2024, 3, 31, 2, 30, 0), &valid);
  EXPECT_FALSE(valid);
  EXPECT_EQ(ado::OleDateToSeconds(gap), Wall(2024, 3, 31, 1, 30, 0));
  // 02:30 on 27 October 2024 happens twice; the first (summer) one is
  // stored, and reads back as the same wall-clock time.
  valid = false;
  double twice = SecondsToDbDate(Wall(2024, 10, 27, 2, 30, 0), &valid);
  EXPECT_TRUE(valid);
  EXPECT_EQ(DbDateToSeconds(twice), Wall(2024, 10, 27, 2, 30, 0));
}

// A run written in UTC mode keeps UTC in its rows and gives local time back.
TEST_F(DbDatesTest, RunsStoreUtcAndReadLocal) {
  SetUtc("On", "Europe/Berlin");
  CLogDbCollection::SetSleeper([](int) {});
  std::string dir = std::string(std::getenv("CDXPLAT_ROOT")) + "/dates";
  std::filesystem::create_directories(dir);
  std::string location = "Provider=SQLite;Data Source=" + dir + "/d.mdb";
  CLogDbCollection c;
  ASSERT_EQ(c.Open(location.c_str(), "", "TZ", "", 0xC0000000u), 0) << c.GetErrorDetail();
  LogHeader h{};
  h.marker = kLogHeaderMarker;
  int64_t start = Wall(2024, 7, 10, 12, 0, 0);
  h.start.seconds = int32_t(start);
  testsupport::AddLogBlock(h, "AI", 1, 1);
  ChannelConfig ch{};
  ChannelConfig* per[1] = {&ch};
  int32_t s32 = int32_t(start);
  CLogStore* s = c.CreateLog(&s32, 0, 0, &h, nullptr, 0, nullptr, 0, per);
  ASSERT_NE(s, nullptr) << c.GetErrorDetail();
  uint8_t rec[28] = {};
  uint16_t marker = kLogRecordMarker;
  memcpy(rec, &marker, 2);
  int32_t t = int32_t(start + 5);
  memcpy(rec + 4, &t, 4);
  ASSERT_EQ(s->AppendRecords(&h, rec, 1), 0);
  ado::Connection raw;
  raw.Open(location, "", "", -1);
  ado::ResultSet r;
  raw.Execute("SELECT DT FROM TZ_00000001_DATA", ado::adCmdText, &r);
  ASSERT_EQ(r.rows.size(), 1u);
  EXPECT_EQ(ado::OleDateToText(r.rows[0][0].d), "2024-07-10 10:00:05");
  // Conditions name the stored (UTC) values: the record is found.
  TimeStamp from{int32_t(start), 0, 0};
  EXPECT_EQ(s->CountRecords(&from, nullptr, &h), 1);
  uint8_t back[28];
  ASSERT_EQ(s->ReadLog(0, &h, back, 28, 0, nullptr, nullptr, 0, 0), 0);
  int32_t got;
  memcpy(&got, back + 4, 4);
  EXPECT_EQ(got, t);
  int32_t stop = t;
  c.CloseLog(s, &s32, &stop, 0);
  s->Destroy(1);
  ASSERT_EQ(c.FindFirst(nullptr), 1);
  char name[20];
  TimeStamp a, b;
  ASSERT_EQ(c.FindNext(name, &a, &b), 1);
  EXPECT_EQ(a.seconds, int32_t(start));
}

}  // namespace
