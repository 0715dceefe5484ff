// The ADO log store and collection on real databases: one table of cases
// run on an SQLite file opened as Jet and on a private MariaDB server
// through the access layer's MariaDB provider.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "cdxlib/shm/drvtables.h"
#include "cdxlib/sys/registry.h"
#include "logdata/logkinds.h"
#include "logdata/logstore.h"
#include "logdb/ado/ado.h"
#include "logdb/dbcollection.h"
#include "logdb/dbstore.h"
#include "platform/error.h"
#include "support/child.h"
#include "support/log_header.h"
#include "support/mariadb_server.h"
#include "tools/cdxsim/cdxsim.h"

namespace {

enum class Engine { kJet, kMariaDb };

// MariaDB as ADO reaches it: through ODBC by driver name ("PROVIDER=MARIADB"
// and "PROVIDER=MYSQL" are the MariaDB log kind's own locations).
std::string AdoMariaDb(testdb::MariaDbServer* s, const std::string& db) {
  return "Provider=MSDASQL;Driver={MariaDB};Socket=" + s->socket() + ";Database=" + db + ";User ID=root;Password=";
}

constexpr uint32_t kReadWrite = 0xC0000000u;
constexpr int32_t kStart = 1709640000;  // 2024-03-05 12:00:00

int g_sleeps = 0;
void CountSleep(int) { ++g_sleeps; }

void SetRegistry(const char* name, const char* value) {
  if (!value) {
    Reg_DeleteValue(plat::HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillomatic\\Coordinatrix", name);
    return;
  }
  uint32_t type = plat::REG_SZ, size = uint32_t(strlen(value) + 1);
  Reg_AccessValue(plat::HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillomatic\\Coordinatrix", plat::KEY_SET_VALUE, name, &type,
                  (void*)value, &size);
}

// A run's header: block 0 analog "AI" 1..analog, block 1 digital "DI"
// 1..digital (when any), records of 18 + sum(8n + 2) bytes.
LogHeader MakeHeader(int analog, int digital, bool sigChange = false, bool tags = false) {
  LogHeader h{};
  h.marker = kLogHeaderMarker;
  h.start = TimeStamp{kStart, 0, 0};
  h.significantChange = sigChange;
  h.tagColumns = tags;
  if (sigChange) {
    memcpy(h.triggerPrefix, "DI", 2);
    h.triggerChannel = 1;
    memcpy(h.lagPrefix, "AI", 2);
    h.lagChannel = 2;
  }
  int32_t zone = -60;
  memcpy(h.extension + 84, &zone, 4);
  if (analog) testsupport::AddLogBlock(h, "AI", 1, analog, false, "PLC0");
  if (digital) testsupport::AddLogBlock(h, "DI", 1, digital, true, "PLC1");
  h.recordLength = h.recordLength ? h.recordLength : kLogRecordFixedSize;
  return h;
}

std::vector<ChannelConfig> MakeChannels(const LogBlockDescriptor& d, bool digital, const char* tagBase) {
  std::vector<ChannelConfig> v(size_t(d.lastChannel - d.firstChannel + 1));
  for (size_t k = 0; k < v.size(); ++k) {
    ChannelConfig& c = v[k];
    memset(&c, 0, sizeof c);
    c.Type = digital ? kKindDI : kKindAI;
    Chan_SetFlag(&c, kAiEnable, true);
    char tag[40];
    snprintf(tag, sizeof tag, "%.8s%d", tagBase, int(k + 1));
    Chan_SetTag(&c, tag);
    Chan_SetDescription(&c, digital ? "Pump \"run\" state" : "caf\xE9 flow \x80");
    if (digital) {
      memcpy(c.digital.LowStateText, "STOPPED", 7);
      memcpy(c.digital.HighStateText, "RUNNING", 7);
    } else {
      Chan_SetUnits(&c, "m3/h");
      c.analog.MinimumUnits = -10.5f;
      c.analog.MaximumUnits = 250.25f;
    }
  }
  return v;
}

// Record i: every value derived from i; analog channel 2 of every third
// record is missing; digital states alternate.
std::vector<uint8_t> MakeRecord(const LogHeader& h, int i) {
  std::vector<uint8_t> r(h.recordLength, 0);
  uint16_t marker = kLogRecordMarker;
  memcpy(r.data(), &marker, 2);
  r[2] = uint8_t(1 + i % 3);
  int32_t secs = kStart + i;
  int16_t ms = int16_t((i * 7) % 1000);
  float lv = float(i) * 0.5f;
  memcpy(r.data() + 4, &secs, 4);
  memcpy(r.data() + 8, &ms, 2);
  memcpy(r.data() + 12, &lv, 4);
  for (int b = 0; b < h.blockCount; ++b) {
    const LogBlockDescriptor& d = h.blocks[b];
    int n = d.lastChannel - d.firstChannel + 1;
    for (int k = 0; k < n; ++k) {
      int32_t flag;
      float value = 0;
      if (d.valueKind == kLogKindDigital) {
        flag = (i + k) % 2;
      } else if (k == 1 && i % 3 == 0) {
        flag = kLogFlagMissing;
      } else {
        flag = kLogFlagPresent;
        value = float(i) + float(k) / 8.0f;
      }
      memcpy(r.data() + d.valueOffset + 4 * k, &flag, 4);
      memcpy(r.data() + d.valueOffset + 4 * n + 4 * k, &value, 4);
    }
  }
  return r;
}

std::vector<uint8_t> MakeRecords(const LogHeader& h, int first, int count) {
  std::vector<uint8_t> all;
  for (int i = first; i < first + count; ++i) {
    auto r = MakeRecord(h, i);
    all.insert(all.end(), r.begin(), r.end());
  }
  return all;
}

// What a record reads back as: analog values as written, missing ones
// 0x20, digital states as present values 0 or 1.
void ExpectRecord(const LogHeader& h, const uint8_t* got, int i) {
  int32_t secs;
  int16_t ms;
  memcpy(&secs, got + 4, 4);
  memcpy(&ms, got + 8, 2);
  EXPECT_EQ(secs, kStart + i) << "record " << i;
  EXPECT_EQ(ms, int16_t((i * 7) % 1000)) << "record " << i;
  uint16_t marker;
  memcpy(&marker, got, 2);
  EXPECT_EQ(marker, kLogRecordMarker);
  if (h.significantChange) {
    EXPECT_EQ(got[2], uint8_t(1 + i % 3));
    float lv;
    memcpy(&lv, got + 12, 4);
    EXPECT_FLOAT_EQ(lv, float(i) * 0.5f);
  }
  for (int b = 0; b < h.blockCount; ++b) {
    const LogBlockDescriptor& d = h.blocks[b];
    int n = d.lastChannel - d.firstChannel + 1;
    bool digital = b == 1;
    for (int k = 0; k < n; ++k) {
      int32_t flag;
      float value;
      memcpy(&flag, got + d.valueOffset + 4 * k, 4);
      memcpy(&value, got + d.valueOffset + 4 * n + 4 * k, 4);
      if (digital) {
        EXPECT_EQ(flag, kLogFlagPresent) << "record " << i << " DI" << k + 1;
        EXPECT_EQ(value, float((i + k) % 2)) << "record " << i << " DI" << k + 1;
      } else if (k == 1 && i % 3 == 0) {
        EXPECT_EQ(flag, kLogFlagMissing) << "record " << i << " AI" << k + 1;
      } else {
        EXPECT_EQ(flag, kLogFlagPresent) << "record " << i << " AI" << k + 1;
        EXPECT_FLOAT_EQ(value, float(i) + float(k) / 8.0f) << "record " << i << " AI" << k + 1;
      }
    }
  }
}

class DbStoreTest : public ::testing::TestWithParam<Engine> {
 protected:
  void SetUp() override {
    CLogDbCollection::SetSleeper(CountSleep);
    LogDb_RegisterAdoKind();
    if (GetParam() == Engine::kJet) {
      static int n = 0;
      dir_ = std::string(std::getenv("CDXPLAT_ROOT")) + "/jet" + std::to_string(++n);
      std::filesystem::create_directories(dir_);
      location_ = "Provider=Microsoft.Jet.OLEDB.4.0; Jet OLEDB:Engine Type=5; Data Source=\"" + dir_ + "/runs.mdb\"";
    } else {
      NEED_MARIADB(s);
      server_ = s;
      database_ = s->NewDatabase();
      location_ = AdoMariaDb(s, database_);
    }
  }
  void TearDown() override { SetRegistry("DatabaseDigitalText", nullptr); }

  std::unique_ptr<CLogCollection, void (*)(CLogCollection*)> OpenCollection(const char* logger = "PLANT",
                                                                           const char* prefix = "",
                                                                           uint32_t access = kReadWrite) {
    CLogCollection* c = CreateLogCollection(location_.c_str());
    EXPECT_NE(dynamic_cast<CLogDbCollection*>(c), nullptr) << "an ADO location must give the ADO collection";
    std::unique_ptr<CLogCollection, void (*)(CLogCollection*)> p(c, [](CLogCollection* x) {
      if (x) x->Destroy(1);
    });
    if (c) {
      EXPECT_EQ(c->Open(location_.c_str(), "", logger, prefix, access), 0) << c->GetErrorSummary() << ": "
                                                                          << c->GetErrorDetail();
    }
    return p;
  }

  // A run with its channel records from the caller, analog tags FLOW1...,
  // digital tags PUMP1....
  CLogStore* Create(CLogCollection* c, LogHeader* h, const char* text = nullptr, int bare = 0, int date = 0) {
    std::vector<ChannelConfig> a = MakeChannels(h->blocks[0], false, "FLOW");
    std::vector<ChannelConfig> d;
    if (h->blockCount > 1) d = MakeChannels(h->blocks[1], true, "PUMP");
    ChannelConfig* per[2] = {a.data(), d.empty() ? nullptr : d.data()};
    int32_t start = h->start.seconds;
    return c->CreateLog(&start, bare, 0, h, text, 0, nullptr, date, per);
  }

  // Runs a statement in the test's database, past the stores.
  void AdminIn(const std::string& sql) {
    if (GetParam() == Engine::kMariaDb) {
      MYSQL* m = server_->Connect();
      ASSERT_NE(m, nullptr);
      ASSERT_EQ(mysql_select_db(m, database_.c_str()), 0);
      ASSERT_EQ(mysql_real_query(m, sql.data(), sql.size()), 0) << mysql_error(m);
      mysql_close(m);
    } else {
      ado::Connection c;
      c.Open(location_, "", "", -1);
      c.Execute(sql, ado::adCmdText);
    }
  }
  long Count(const std::string& sql) {
    ado::Connection c;
    c.Open(location_, "", "", -1);
    ado::ResultSet r;
    c.Execute(sql, ado::adCmdText, &r);
    return r.rows.empty() ? -1 : long(r.rows[0][0].AsInt());
  }

  std::string dir_, location_, database_;
  testdb::MariaDbServer* server_ = nullptr;
};

TEST_P(DbStoreTest, CreateAppendListAndReadBack) {
  auto c = OpenCollection();
  ASSERT_TRUE(c);
  LogHeader h = MakeHeader(8, 4, true);
  const char* text = "[HEADER]\r\nit's a \"header\" caf\xE9 \x80 5\r\nsecond line\r\n[PREDEFINED]\r\nline one\r\n\r\nlast";
  CLogStore* s = Create(c.get(), &h, text);
  ASSERT_NE(s, nullptr) << c->GetErrorSummary() << ": " << c->GetErrorDetail();
  // 1, 2 and 1000 records in three calls.
  int written = 0;
  for (int n : {1, 2, 1000}) {
    auto recs = MakeRecords(h, written, n);
    ASSERT_EQ(s->AppendRecords(&h, recs.data(), n), 0) << s->GetErrorSummary() << ": " << s->GetErrorDetail();
    written += n;
  }
  h.stop = TimeStamp{kStart + written, 0, 0};
  ASSERT_EQ(s->WriteHeader(&h, 1), 0);
  int32_t start = kStart, stop = kStart + written;
  ASSERT_EQ(c->CloseLog(s, &start, &stop, 0), 0);
  s->Destroy(1);

  int size = 0;
  ASSERT_EQ(c->FindFirst(&size), 1);
  EXPECT_EQ(size, 20);
  char name[20];
  TimeStamp ts{}, te{};
  ASSERT_EQ(c->FindNext(name, &ts, &te), 1);
  EXPECT_STREQ(name, "LoggerSeq=00000001");
  EXPECT_EQ(ts.seconds, kStart);
  EXPECT_EQ(te.seconds, kStart + written);
  EXPECT_EQ(c->FindNext(name, &ts, &te), 0);

  char path[2048];
  int len = 0;
  c->MakeLogPath(name, path, &len);
  EXPECT_EQ(std::string(path), location_ + ";LoggerName=PLANT;LoggerSeq=00000001");
  EXPECT_EQ(len, int(strlen(path)) + 1);

  // Opened by its location through the store factory.
  CLogStore* r = CreateLogStore(path);
  ASSERT_NE(dynamic_cast<CLogDbStore*>(r), nullptr);
  ASSERT_EQ(r->Open(nullptr, path, 0x80000000u), 0) << r->GetErrorSummary() << ": " << r->GetErrorDetail();
  char got[2048];
  int gotLen = sizeof got;
  r->GetName(got, &gotLen);
  EXPECT_STREQ(got, path);
  LogHeader rh;
  memset(&rh, 0x5A, sizeof rh);  // nothing of the old buffer may stay
  ASSERT_EQ(r->ReadHeader(&rh), 0) << r->GetErrorSummary();
  EXPECT_EQ(rh.marker, kLogHeaderMarker);
  EXPECT_EQ(rh.blockCount, 2);
  EXPECT_EQ(rh.recordCount, uint32_t(written));
  EXPECT_EQ(rh.recordLength, h.recordLength);
  EXPECT_EQ(rh.headerLength, h.recordLength + 4404 + 4 * 2 + 216 * 12);
  EXPECT_EQ(rh.start.seconds, kStart);
  EXPECT_EQ(rh.stop.seconds, kStart + written);
  EXPECT_EQ(rh.significantChange, 1);
  EXPECT_EQ(std::string(rh.triggerPrefix, 2), "DI");
  EXPECT_EQ(rh.lagChannel, 2);
  EXPECT_EQ(rh.extension[0], 0);
  EXPECT_EQ(std::string(rh.blocks[0].sourceName), "PLC0");
  EXPECT_EQ(rh.blocks[1].firstChannel, 1);
  EXPECT_EQ(rh.blocks[1].lastChannel, 4);
  EXPECT_EQ(r->GetNoLogs(&rh), written);
  EXPECT_EQ(r->CountValidRecords(&rh), written);

  // Records one by one, then in one go.
  std::vector<uint8_t> rec(rh.recordLength);
  for (int i : {0, 1, 2, 500, written - 1}) {
    ASSERT_EQ(r->ReadLog(i, &rh, rec.data(), int(rec.size()), 0, nullptr, nullptr, 0, 0), 0) << r->GetErrorSummary();
    ExpectRecord(rh, rec.data(), i);
  }
  EXPECT_EQ(r->ReadLog(written, &rh, rec.data(), int(rec.size()), 0, nullptr, nullptr, 0, 0), -1);
  EXPECT_STREQ(r->GetErrorSummary(), "CAN'T MOVE FIRST DATA");
  std::vector<uint8_t> all(size_t(rh.recordLength) * written);
  ASSERT_EQ(r->ReadLogs(0, &rh, all.data(), written, 0, nullptr, nullptr), written);
  for (int i = 0; i < written; i += 97) ExpectRecord(rh, all.data() + size_t(i) * rh.recordLength, i);
  // The newest first.
  ASSERT_EQ(r->ReadLog(0, &rh, rec.data(), int(rec.size()), 0, nullptr, nullptr, 1, 1), 0);
  ExpectRecord(rh, rec.data(), written - 1);

  // Bounds are exclusive; equal bounds count nothing.
  TimeStamp a{kStart + 10, 70, 0}, b{kStart + 20, 140, 0};
  EXPECT_EQ(r->CountRecords(&a, &b, &rh), 9);
  EXPECT_EQ(r->CountRecords(&a, &a, &rh), 0);
  EXPECT_EQ(r->CountRecords(nullptr, nullptr, &rh), written);

  // Channels.
  std::vector<ChannelConfig> ch(4);
  ASSERT_EQ(r->ReadChannels(&rh, ch.data(), 1, 1, 3), 0) << r->GetErrorSummary();
  EXPECT_STREQ(Chan_GetTag(ch[0]), "PUMP2");
  EXPECT_EQ(ch[0].Type, kKindDI);
  EXPECT_TRUE(Chan_TestFlag(ch[0], kAiEnable));
  EXPECT_EQ(std::string(ch[0].digital.HighStateText), "RUNNING");
  EXPECT_STREQ(Chan_GetDescription(ch[2]), "Pump \"run\" state");
  ASSERT_EQ(r->ReadChannels(&rh, ch.data(), 0, 0, 1), 0);
  EXPECT_STREQ(Chan_GetDescription(ch[0]), "caf\xE9 flow \x80");
  EXPECT_STREQ(Chan_GetUnits(ch[0]), "m3/h");
  EXPECT_FLOAT_EQ(ch[0].analog.MaximumUnits, 250.25f);

  // Text sections.
  char buf[512];
  int bs = sizeof buf;
  EXPECT_EQ(r->ReadText("HEADER", buf, &bs, 0, 0), 2);
  EXPECT_STREQ(buf, "it's a \"header\" caf\xE9 \x80 5\r\nsecond line");
  bs = 0;
  EXPECT_EQ(r->ReadText("PREDEFINED", nullptr, &bs, 0, 0), 1);
  EXPECT_EQ(bs, int(strlen("line one\r\n")) + 1);
  bs = sizeof buf;
  EXPECT_EQ(r->ReadText("PREDEFINED", buf, &bs, 0, 0), 1);
  EXPECT_STREQ(buf, "line one\r\n");
  EXPECT_EQ(r->ReadText("TARGETS", buf, &bs, 0, 0), 0);
  EXPECT_EQ(r->ReadText("NOSUCH", buf, &bs, 0, 0), -1);
  r->Close();
  r->Destroy(1);

  // The run's location found from the logger's name alone.
  std::string resolved = CLogDbCollection::ResolveDbLogName((location_ + ";LoggerName=PLANT").c_str());
  EXPECT_EQ(resolved, location_ + ";LoggerName=PLANT;LoggerSeq=00000001");
}

// A store that appends and reads: a read after an append sees the records
// just written, not the selection of an earlier read.
TEST_P(DbStoreTest, ReadAfterAppendSeesTheNewRecords) {
  auto c = OpenCollection();
  ASSERT_TRUE(c);
  LogHeader h = MakeHeader(2, 0, false);
  CLogStore* s = Create(c.get(), &h);
  ASSERT_NE(s, nullptr) << c->GetErrorSummary() << ": " << c->GetErrorDetail();
  std::vector<uint8_t> rec(h.recordLength);
  for (int round = 0; round < 2; ++round) {
    auto recs = MakeRecords(h, 2 * round, 2);
    ASSERT_EQ(s->AppendRecords(&h, recs.data(), 2), 0) << s->GetErrorSummary() << ": " << s->GetErrorDetail();
    int last = 2 * round + 1;
    ASSERT_EQ(s->ReadLog(last, &h, rec.data(), int(rec.size()), 0, nullptr, nullptr, 0, 0), 0)
        << "record " << last << ": " << s->GetErrorSummary();
    int32_t seconds;
    memcpy(&seconds, rec.data() + 4, 4);
    EXPECT_EQ(seconds, kStart + last);
  }
  s->Destroy(1);
}

TEST_P(DbStoreTest, HeaderSelectRewriteAndTrim) {
  auto c = OpenCollection();
  LogHeader h = MakeHeader(8, 0);
  CLogStore* s = Create(c.get(), &h);
  ASSERT_NE(s, nullptr) << c->GetErrorSummary() << ": " << c->GetErrorDetail();
  auto recs = MakeRecords(h, 0, 20);
  ASSERT_EQ(s->AppendRecords(&h, recs.data(), 20), 0);
  // Eight channels of one prefix: 18 + 8 x 8 + 2 and 84 + 4404 + 4 + 8 x 216.
  LogHeader rh;
  ASSERT_EQ(s->ReadHeader(&rh), 0);
  EXPECT_EQ(rh.blockCount, 1);
  EXPECT_EQ(rh.blocks[0].valueOffset, 18);
  EXPECT_EQ(rh.recordLength, 84u);
  EXPECT_EQ(rh.headerLength, 6220u);
  EXPECT_EQ(rh.endOffset, 6220u + 20u * 84u);

  // A time range, newest first, times only, with an extra column before.
  std::vector<uint8_t> buf(10 * (84 + 8));
  TimeStamp from{kStart + 4, 28, 0}, to{kStart + 9, 0, 0};
  int n = s->SelectRecords(&from, &to, &rh, buf.data(), 84, 10, 1, "MS, ", 1, 1);
  if (GetParam() == Engine::kMariaDb) {
    EXPECT_EQ(n, 0);  // MariaDB has no TOP: the selection never opens there
  } else {
    ASSERT_EQ(n, 4);  // records 8, 7, 6, 5
    for (int i = 0; i < 4; ++i) {
      const uint8_t* r = buf.data() + size_t(i) * (84 + 8);
      int32_t secs;
      memcpy(&secs, r + 4, 4);
      EXPECT_EQ(secs, kStart + 8 - i);
      int32_t flag;
      float extra;
      memcpy(&flag, r + 84, 4);
      memcpy(&extra, r + 88, 4);
      EXPECT_EQ(flag, kLogFlagPresent);
      EXPECT_EQ(extra, float(((8 - i) * 7) % 1000));
    }
  }

  // A record rewritten in place keeps its row.
  auto changed = MakeRecord(h, 3);
  float v = -42.5f;
  memcpy(changed.data() + 18 + 4 * 8, &v, 4);
  ASSERT_EQ(s->RewriteRecords(0, &h, changed.data(), int(changed.size())), 0) << s->GetErrorDetail();
  std::vector<uint8_t> back(84);
  ASSERT_EQ(s->ReadLog(3, &rh, back.data(), 84, 0, nullptr, nullptr, 0, 0), 0);
  float got;
  memcpy(&got, back.data() + 18 + 4 * 8, 4);
  EXPECT_EQ(got, -42.5f);
  EXPECT_EQ(s->GetNoLogs(&rh), 20);

  // A start moved on drops the rows before it.
  h.start.seconds = kStart + 5;
  ASSERT_EQ(s->WriteHeader(&h, 0), 0);
  EXPECT_EQ(s->GetNoLogs(&rh), 15);
  ASSERT_EQ(s->ReadHeader(&rh), 0);
  EXPECT_EQ(rh.start.seconds, kStart + 5);

  // Channel rows out of order give the block's range.
  AdminIn("INSERT INTO PLANT_00000001_CHANNELS (nBlock, sPrefix, nChannelNumber, sSource, bLag) VALUES (3, 'XY', 5, "
          "'S', 1)");
  AdminIn("INSERT INTO PLANT_00000001_CHANNELS (nBlock, sPrefix, nChannelNumber, sSource, bLag) VALUES (3, 'XY', 3, "
          "'S', 1)");
  ASSERT_EQ(s->ReadHeader(&rh), 0);
  EXPECT_EQ(rh.blockCount, 4);
  EXPECT_EQ(rh.blocks[3].firstChannel, 3);
  EXPECT_EQ(rh.blocks[3].lastChannel, 5);
  EXPECT_EQ(rh.blocks[3].lagFlag, 1);
  int32_t start = kStart;
  c->CloseLog(s, &start, &start, 0);
  s->Destroy(1);
}

TEST_P(DbStoreTest, TextsAndPositionsOnSamples) {
  auto c = OpenCollection();
  LogHeader h = MakeHeader(2, 0);
  // A header text longer than its char(255) column is cut, on every engine.
  std::string text = "[HEADER]\r\n" + std::string(400, 'H');
  CLogStore* s = Create(c.get(), &h, text.c_str());
  ASSERT_NE(s, nullptr) << c->GetErrorSummary() << ": " << c->GetErrorDetail();
  {
    char hb[512];
    int hs = sizeof hb;
    ASSERT_EQ(s->ReadText("HEADER", hb, &hs, 0, 0), 1);
    EXPECT_EQ(std::string(hb), std::string(255, 'H'));
  }
  auto recs = MakeRecords(h, 0, 5);
  ASSERT_EQ(s->AppendRecords(&h, recs.data(), 5), 0);
  EXPECT_EQ(s->WriteText(kStart + 2, "valve 'A' opened \x80", nullptr, nullptr), 0) << s->GetErrorSummary() << ": "
                                                                                   << s->GetErrorDetail();
  EXPECT_EQ(s->WriteText(kStart + 3, std::string(300, 'x').c_str(), nullptr, "TEXT"), 0);
  // No sample at that second, or a section that takes no lines.
  EXPECT_EQ(s->WriteText(kStart + 100, "lost", nullptr, nullptr), -1);
  EXPECT_EQ(s->WriteText(kStart + 2, "x", nullptr, "POSITIONS"), -1);
  EXPECT_EQ(s->WritePosition(kStart + 4, 1, 2.5f), 0) << s->GetErrorSummary() << ": " << s->GetErrorDetail();
  char buf[1024];
  int size = sizeof buf;
  ASSERT_EQ(s->ReadText("TEXT", buf, &size, 0, 0), 2) << s->GetErrorSummary();
  EXPECT_EQ(std::string(buf), "24/03/05 12:00:02 valve 'A' opened \x80\r\n24/03/05 12:00:03 " + std::string(255, 'x') +
                                  "\r\n");
  size = sizeof buf;
  ASSERT_EQ(s->ReadText("POSITIONS", buf, &size, 0, 0), 1);
  EXPECT_STREQ(buf, "24/03/05 12:00:04 2.500000\r\n");
  // Lines into an array with room for one.
  char* lines[1];
  int count = 1;
  size = sizeof buf;
  ASSERT_EQ(s->ReadTextLines("TEXT", lines, &count, buf, &size, 0, 0), 0);
  EXPECT_EQ(count, 1);
  EXPECT_STREQ(lines[0], "24/03/05 12:00:02 valve 'A' opened \x80");
  int32_t when = 0;
  EXPECT_EQ(s->GetLastTextTime(&when), 0);
  EXPECT_GT(when, 0);
  EXPECT_EQ(s->WriteHeaderText(std::string(400, 'h').c_str()), 0) << s->GetErrorDetail();
  size = sizeof buf;
  EXPECT_EQ(s->ReadText("HEADER", buf, &size, 0, 0), 1);
  EXPECT_EQ(strlen(buf), 255u);
  int32_t start = kStart, stop = kStart + 5;
  c->CloseLog(s, &start, &stop, 0);
  s->Destroy(1);
}

TEST_P(DbStoreTest, PrefixesSequencesAndColumnNames) {
  auto c = OpenCollection("UNIT 1");
  LogHeader h = MakeHeader(3, 2, false, true);
  // First run: bare prefix and sequence 1; second: the counter form of 2.
  CLogStore* s1 = Create(c.get(), &h, nullptr, 1);
  ASSERT_NE(s1, nullptr) << c->GetErrorSummary() << ": " << c->GetErrorDetail();
  char prefix[CLogDbStore::kMaxName];
  static_cast<CLogDbStore*>(s1)->GetTablePrefix(prefix, nullptr);
  EXPECT_STREQ(prefix, "UNIT_1_");
  CLogStore* s2 = Create(c.get(), &h, nullptr, 1);
  ASSERT_NE(s2, nullptr) << c->GetErrorSummary() << ": " << c->GetErrorDetail();
  static_cast<CLogDbStore*>(s2)->GetTablePrefix(prefix, nullptr);
  EXPECT_STREQ(prefix, "UNIT_1_00000002_");
  // A date run, a second one the same day falling back to the counter,
  // and counting that ignores date runs.
  CLogStore* s3 = Create(c.get(), &h, nullptr, 0, 1);
  ASSERT_NE(s3, nullptr) << c->GetErrorSummary();
  static_cast<CLogDbStore*>(s3)->GetTablePrefix(prefix, nullptr);
  EXPECT_STREQ(prefix, "UNIT_1_20240305_");
  EXPECT_EQ(static_cast<CLogDbStore*>(s3)->GetSequence(), 20240305);
  CLogStore* s4 = Create(c.get(), &h, nullptr, 0, 1);
  ASSERT_NE(s4, nullptr) << c->GetErrorSummary();
  EXPECT_EQ(static_cast<CLogDbStore*>(s4)->GetSequence(), 3);
  for (CLogStore* s : {s1, s2, s3, s4}) {
    int32_t start = kStart;
    c->CloseLog(s, &start, nullptr, 0);  // no stop: kept, unfinished
    s->Destroy(1);
  }
  ASSERT_EQ(c->FindFirst(nullptr), 1);
  int runs = 0;
  char name[20];
  TimeStamp a, b;
  while (c->FindNext(name, &a, &b)) {
    ++runs;
    EXPECT_EQ(b.seconds, 0) << "a run closed without a stop is not completed";
  }
  EXPECT_EQ(runs, 4);

  // Tag columns: a reserved tag falls back to AI2; tags that only begin
  // alike (FLOW1, FLOW12) are different columns; the same tag twice, in
  // any case, is a duplicate.
  LogHeader t = MakeHeader(12, 0, false, true);
  auto a12 = MakeChannels(t.blocks[0], false, "FLOW");
  Chan_SetTag(&a12[1], "TX");
  Chan_SetTag(&a12[2], "ms");  // the engines' MS, whatever the case
  ChannelConfig* per[1] = {a12.data()};
  int32_t start = kStart;
  CLogStore* s = c->CreateLog(&start, 0, 0, &t, nullptr, 0, nullptr, 0, per);
  ASSERT_NE(s, nullptr) << c->GetErrorSummary() << ": " << c->GetErrorDetail();
  LogHeader rh;
  ASSERT_EQ(s->ReadHeader(&rh), 0);
  auto recs = MakeRecords(t, 0, 3);
  ASSERT_EQ(s->AppendRecords(&t, recs.data(), 3), 0) << s->GetErrorDetail();
  EXPECT_EQ(Count("SELECT COUNT(AI2) + COUNT(AI3) + COUNT(FLOW1) + COUNT(FLOW12) FROM UNIT_1_00000004_DATA"), 11);
  c->CloseLog(s, &start, &start, 0);
  s->Destroy(1);
  Chan_SetTag(&a12[1], "flow1");
  EXPECT_EQ(c->CreateLog(&start, 0, 0, &t, nullptr, 0, nullptr, 0, per), nullptr);
  EXPECT_STREQ(c->GetErrorSummary(), "DUPLICATE COLUMN flow1");
  EXPECT_STREQ(c->GetErrorDetail(), "");
  // The failed run left no tables and no row.
  ASSERT_EQ(c->FindFirst(nullptr), 1);
  runs = 0;
  while (c->FindNext(name, &a, &b)) ++runs;
  EXPECT_EQ(runs, 5);
}

// A logger killed inside CreateLog, after its run's tables and before the
// run's LOGGERS row, leaves tables that no row names. The next run is made
// all the same, under the number the killed one had, in place of the left
// tables; so is every run after it. Bare and date prefixes alike.
TEST_P(DbStoreTest, TablesLeftByARunKilledBeforeItsRowDoNotStopTheNextRun) {
  auto c = OpenCollection("KILLED");
  ASSERT_TRUE(c);
  LogHeader h = MakeHeader(3, 0);
  CLogStore* first = Create(c.get(), &h);
  ASSERT_NE(first, nullptr) << c->GetErrorSummary() << ": " << c->GetErrorDetail();
  int32_t start = kStart, stop = kStart + 1;
  ASSERT_EQ(c->CloseLog(first, &start, &stop, 0), 0);
  first->Destroy(1);
  // What the killed second run left: its tables, with a record, and no row.
  for (const char* p : {"KILLED_00000002_", "KILLED_20240305_"}) {
    AdminIn(std::string("CREATE TABLE ") + p + "CHANNELS (nBlock int, sPrefix char(2))");
    AdminIn(std::string("CREATE TABLE ") + p + "DATA (DT datetime, MS integer, TX char(255) NULL, AI1 REAL NULL)");
    AdminIn(std::string("INSERT INTO ") + p + "DATA (MS) VALUES (7)");
    AdminIn(std::string("CREATE TABLE ") + p + "TEXT (TX char(255))");
  }
  CLogStore* second = Create(c.get(), &h);
  ASSERT_NE(second, nullptr) << c->GetErrorSummary() << ": " << c->GetErrorDetail();
  char prefix[CLogDbStore::kMaxName];
  static_cast<CLogDbStore*>(second)->GetTablePrefix(prefix, nullptr);
  EXPECT_STREQ(prefix, "KILLED_00000002_");
  EXPECT_EQ(Count("SELECT COUNT(*) FROM KILLED_00000002_DATA"), 0) << "the left tables were not removed";
  c->CloseLog(second, &start, &stop, 0);
  second->Destroy(1);
  CLogStore* dated = Create(c.get(), &h, nullptr, 0, 1);
  ASSERT_NE(dated, nullptr) << c->GetErrorSummary() << ": " << c->GetErrorDetail();
  EXPECT_EQ(static_cast<CLogDbStore*>(dated)->GetSequence(), 20240305);
  EXPECT_EQ(Count("SELECT COUNT(*) FROM KILLED_20240305_DATA"), 0);
  c->CloseLog(dated, &start, &stop, 0);
  dated->Destroy(1);
  CLogStore* third = Create(c.get(), &h);
  ASSERT_NE(third, nullptr) << c->GetErrorSummary() << ": " << c->GetErrorDetail();
  EXPECT_EQ(static_cast<CLogDbStore*>(third)->GetSequence(), 3);
  c->CloseLog(third, &start, &stop, 0);
  third->Destroy(1);
  ASSERT_EQ(c->FindFirst(nullptr), 1);
  int runs = 0;
  char name[20];
  TimeStamp a, b;
  while (c->FindNext(name, &a, &b)) ++runs;
  EXPECT_EQ(runs, 4);
}

TEST_P(DbStoreTest, LoggersAreApartAndCloseWithoutStartDiscards) {
  auto c1 = OpenCollection("L");
  auto c2 = OpenCollection("L2");
  LogHeader h = MakeHeader(2, 0);
  CLogStore* s1 = Create(c1.get(), &h);
  ASSERT_NE(s1, nullptr) << c1->GetErrorDetail();
  CLogStore* s2 = Create(c2.get(), &h, "[HEADER]\r\nx");
  ASSERT_NE(s2, nullptr) << c2->GetErrorDetail();
  int32_t start = kStart, stop = kStart + 1;
  c1->CloseLog(s1, &start, &stop, 0);
  s1->Destroy(1);
  // "L" sees its own run only, never the runs of "L2".
  ASSERT_EQ(c1->FindFirst(nullptr), 1);
  char name[20];
  TimeStamp a, b;
  int n = 0;
  while (c1->FindNext(name, &a, &b)) ++n;
  EXPECT_EQ(n, 1);
  // A run given back without a start is dropped, row and tables.
  c2->CloseLog(s2, nullptr, &stop, 0);
  s2->Destroy(1);
  EXPECT_EQ(c2->FindFirst(nullptr), 0);
  EXPECT_EQ(Count("SELECT COUNT(*) FROM LOGGERS"), 1);

  // Name prefixes of one logger: the newest run of "A" is its own, never
  // a later run of "AB".
  auto ca = OpenCollection("M", "A");
  auto cab = OpenCollection("M", "AB");
  LogHeader ha = MakeHeader(1, 0), hab = MakeHeader(1, 0);
  hab.start.seconds = kStart + 100;
  for (auto [col, hdr] : {std::pair{ca.get(), &ha}, std::pair{cab.get(), &hab}}) {
    CLogStore* s = Create(col, hdr);
    ASSERT_NE(s, nullptr) << col->GetErrorDetail();
    col->CloseLog(s, &hdr->start.seconds, &hdr->start.seconds, 0);
    s->Destroy(1);
  }
  char newest[20];
  ASSERT_EQ(ca->FindNewest(newest, nullptr, &a, &b, 0), 1);
  EXPECT_STREQ(newest, "LoggerSeq=00000001");
  ASSERT_EQ(ca->FindNewest(newest, nullptr, &a, &b, 1), 1);
  EXPECT_STREQ(newest, "LoggerSeq=00000002");
  ASSERT_EQ(cab->FindNewest(newest, nullptr, &a, &b, 0), 1);
  EXPECT_STREQ(newest, "LoggerSeq=00000002");
}

// Quotes and backslashes in a logger's name reach every statement whole.
TEST_P(DbStoreTest, LoggerNameWithQuoteAndBackslash) {
  const char* name = "O'Brien\\1 \xE9";
  auto c = OpenCollection(name);
  LogHeader h = MakeHeader(2, 0);
  CLogStore* s = Create(c.get(), &h, "[HEADER]\r\nit's here");
  ASSERT_NE(s, nullptr) << c->GetErrorSummary() << ": " << c->GetErrorDetail();
  char prefix[CLogDbStore::kMaxName];
  static_cast<CLogDbStore*>(s)->GetTablePrefix(prefix, nullptr);
  EXPECT_STREQ(prefix, "O_Brien_1_\xE9_00000001_");
  auto recs = MakeRecords(h, 0, 3);
  ASSERT_EQ(s->AppendRecords(&h, recs.data(), 3), 0);
  ASSERT_EQ(s->WriteText(kStart + 1, "x", nullptr, nullptr), 0) << s->GetErrorDetail();
  int32_t start = kStart, stop = kStart + 3;
  c->CloseLog(s, &start, &stop, 0);
  s->Destroy(1);
  ASSERT_EQ(c->FindFirst(nullptr), 1);
  char log[20];
  TimeStamp a, b;
  ASSERT_EQ(c->FindNext(log, &a, &b), 1);
  CLogStore* r = c->OpenLog(log, 0x80000000u);
  ASSERT_NE(r, nullptr) << c->GetErrorSummary() << ": " << c->GetErrorDetail();
  LogHeader rh;
  ASSERT_EQ(r->ReadHeader(&rh), 0) << r->GetErrorSummary();
  EXPECT_EQ(rh.recordCount, 3u);
  char buf[64];
  int size = sizeof buf;
  EXPECT_EQ(r->ReadText("HEADER", buf, &size, 0, 0), 1);
  EXPECT_STREQ(buf, "it's here");
  r->Destroy(1);
  // No other logger's name matches by a backslash read as an escape.
  auto other = OpenCollection("O'Brien1 \xE9");
  EXPECT_EQ(other->FindFirst(nullptr), 0);
}

// A run's location carries the logger name as a field that ';' ends: a
// name holding ';' is refused (123) when the run would be made, so no run
// exists that OpenLog could never find again.
TEST_P(DbStoreTest, LoggerNameWithSemicolonIsRefusedWhenTheRunIsMade) {
  auto c = OpenCollection("PLANT;LoggerSeq=1");
  LogHeader h = MakeHeader(2, 0);
  plat::SetLastError(0);
  EXPECT_EQ(Create(c.get(), &h), nullptr);
  EXPECT_EQ(plat::GetLastError(), 123u);
  EXPECT_STREQ(c->GetErrorSummary(), "Invalid name") << c->GetErrorDetail();
  EXPECT_EQ(c->FindFirst(nullptr), 0);
  // The same logger without the ';' part is untouched by it.
  auto plain = OpenCollection("PLANT");
  EXPECT_EQ(plain->FindFirst(nullptr), 0);
}

TEST_P(DbStoreTest, DeleteBeforeDropsAndTrims) {
  auto c = OpenCollection();
  LogHeader h = MakeHeader(2, 0);
  // Run 1: wholly before the cut; run 2: spanning it; run 3: after it.
  int32_t bounds[3][2] = {{kStart, kStart + 10}, {kStart + 100, kStart + 200}, {kStart + 300, kStart + 310}};
  for (auto& bnd : bounds) {
    LogHeader rh = h;
    rh.start.seconds = bnd[0];
    CLogStore* s = Create(c.get(), &rh);
    ASSERT_NE(s, nullptr) << c->GetErrorDetail();
    std::vector<uint8_t> recs;
    for (int i = 0; i < bnd[1] - bnd[0]; ++i) {
      auto r = MakeRecord(rh, bnd[0] - kStart + i);
      recs.insert(recs.end(), r.begin(), r.end());
    }
    ASSERT_EQ(s->AppendRecords(&rh, recs.data(), bnd[1] - bnd[0]), 0);
    rh.stop.seconds = bnd[1];
    ASSERT_EQ(s->WriteHeader(&rh, 1), 0);
    c->CloseLog(s, &bnd[0], &bnd[1], 0);
    s->Destroy(1);
  }
  int32_t cut = kStart + 150;
  c->DeleteBefore(&cut);
  ASSERT_EQ(c->FindFirst(nullptr), 1);
  std::vector<std::pair<int32_t, int32_t>> left;
  char name[20];
  TimeStamp a, b;
  while (c->FindNext(name, &a, &b)) left.push_back({a.seconds, b.seconds});
  ASSERT_EQ(left.size(), 2u);
  EXPECT_EQ(left[0], (std::pair<int32_t, int32_t>{kStart + 300, kStart + 310}));
  // The spanning run starts at its first remaining record and is still finished.
  EXPECT_EQ(left[1], (std::pair<int32_t, int32_t>{kStart + 150, kStart + 200}));
}

// Wide runs, far past the 65 columns that one prepared multi-row insert of
// 1000 rows can carry on MariaDB. An InnoDB row cannot hold 1000 REAL
// (8-byte) columns: there the run is refused whole, and 900 channels work.
TEST_P(DbStoreTest, ThousandChannels) {
  auto c = OpenCollection();
  int channels = 1000;
  if (GetParam() == Engine::kMariaDb) {
    LogHeader wide = MakeHeader(1000, 0);
    EXPECT_EQ(Create(c.get(), &wide), nullptr);
    EXPECT_STREQ(c->GetErrorSummary(), "CAN'T CREATE DATA TABLE");
    EXPECT_NE(std::string(c->GetErrorDetail()).find("Row size too large"), std::string::npos) << c->GetErrorDetail();
    EXPECT_EQ(c->FindFirst(nullptr), 0);
    channels = 900;
  }
  LogHeader h = MakeHeader(channels, 0);
  CLogStore* s = Create(c.get(), &h);
  ASSERT_NE(s, nullptr) << c->GetErrorSummary() << ": " << c->GetErrorDetail();
  auto recs = MakeRecords(h, 0, 30);
  ASSERT_EQ(s->AppendRecords(&h, recs.data(), 30), 0) << s->GetErrorSummary() << ": " << s->GetErrorDetail();
  LogHeader rh;
  ASSERT_EQ(s->ReadHeader(&rh), 0);
  EXPECT_EQ(rh.recordLength, 18u + 8u * channels + 2u);
  std::vector<uint8_t> rec(rh.recordLength);
  ASSERT_EQ(s->ReadLog(29, &rh, rec.data(), int(rec.size()), 0, nullptr, nullptr, 0, 0), 0);
  ExpectRecord(rh, rec.data(), 29);
  int32_t start = kStart;
  c->CloseLog(s, &start, &start, 0);
  s->Destroy(1);
}

TEST_P(DbStoreTest, DigitalStatesAsTexts) {
  SetRegistry("DatabaseDigitalText", "On");
  auto c = OpenCollection();
  // A digital prefix of each case's own: a process keeps the modules it
  // has seen mapped, and the other cases must not meet this one's.
  const std::string di = GetParam() == Engine::kJet ? "DX" : "DY";
  LogHeader h = MakeHeader(1, 2);
  memcpy(h.blocks[1].prefix, di.data(), 2);
  CLogStore* s = Create(c.get(), &h);
  ASSERT_NE(s, nullptr) << c->GetErrorSummary() << ": " << c->GetErrorDetail();
  // This machine has no configuration module of the digital prefix: the
  // state texts are those the run was created with (its channel rows).
  // Digital channel k of record i is in state (i + k) % 2.
  auto recs = MakeRecords(h, 0, 2);
  ASSERT_EQ(s->AppendRecords(&h, recs.data(), 2), 0) << s->GetErrorDetail();
  const std::string table = "SELECT COUNT(*) FROM PLANT_00000001_DATA WHERE ";
  EXPECT_EQ(Count(table + di + "1 = 'STOPPED' AND " + di + "2 = 'RUNNING' AND MS = 0"), 1);
  EXPECT_EQ(Count(table + di + "1 = 'RUNNING' AND " + di + "2 = 'STOPPED' AND MS = 7"), 1);

  // With the driver's module present its texts are taken (they may have
  // changed since the run began).
  Drv_ResetProcessState();
  cdxsim::Description d;
  std::string error;
  ASSERT_TRUE(cdxsim::Description::Parse("driver name=DIGITAL prefix=" + di + " type=1\n" +
                                         "module prefix=" + di + " channels=4 kind=4\n",
                                         &d, &error))
      << error;
  cdxsim::Sim sim(d);
  ASSERT_EQ(sim.Create(), 0);
  for (int ch = 1; ch <= 4; ++ch) {
    ChannelConfig cc;
    memset(&cc, 0, sizeof cc);
    cc.Type = kKindDI;
    memcpy(cc.digital.LowStateText, "SHUT", 4);
    memcpy(cc.digital.HighStateText, "OPEN", 4);
    memcpy(sim.ModuleData("dm_" + di + "_conf") + 216 * (ch - 1), &cc, sizeof cc);
  }
  recs = MakeRecords(h, 2, 1);
  ASSERT_EQ(s->AppendRecords(&h, recs.data(), 1), 0) << s->GetErrorDetail();
  EXPECT_EQ(Count(table + di + "1 = 'SHUT' AND " + di + "2 = 'OPEN'"), 1);
  int32_t start = kStart;
  c->CloseLog(s, &start, &start, 0);
  s->Destroy(1);
  Drv_ResetProcessState();
}

TEST_P(DbStoreTest, ErrorsGiveTheirSummariesAndDetails) {
  {
    CLogDbCollection ro;
    if (GetParam() == Engine::kJet) {
      // A read-only open of a missing file fails and creates nothing.
      EXPECT_EQ(ro.Open(location_.c_str(), "", "PLANT", "", 0x80000000u), -1);
      EXPECT_STREQ(ro.GetErrorSummary(), "CAN'T OPEN DATABASE");
      EXPECT_FALSE(std::filesystem::exists(dir_ + "/runs.mdb"));
    } else {
      // No LOGGERS table and no write access: Open still answers 0.
      EXPECT_EQ(ro.Open(location_.c_str(), "", "PLANT", "", 0x80000000u), 0);
      EXPECT_STREQ(ro.GetErrorSummary(), "CAN'T OPEN LOGGERS TABLE");
    }
  }
  auto c = OpenCollection();
  LogHeader h = MakeHeader(3, 0);
  CLogStore* s = Create(c.get(), &h);
  ASSERT_NE(s, nullptr);
  LogHeader rh;
  ASSERT_EQ(s->ReadHeader(&rh), 0);
  std::vector<ChannelConfig> ch(4);
  // Block and channel ranges.
  EXPECT_EQ(s->ReadChannels(&rh, ch.data(), 64, 0, 1), -1);
  EXPECT_STREQ(s->GetErrorSummary(), "CHANNEL NOT IN HEADER");
  EXPECT_EQ(s->ReadChannels(&rh, ch.data(), 1, 0, 1), -1);
  EXPECT_EQ(s->ReadChannels(&rh, ch.data(), 0, 1, 3), -1);
  EXPECT_EQ(s->ReadChannels(&rh, ch.data(), 0, 1, 2), 0);
  // A location without its run number.
  CLogDbStore bad;
  EXPECT_EQ(bad.Open(nullptr, (location_ + ";LoggerName=PLANT").c_str(), 0x80000000u), -1);
  EXPECT_STREQ(bad.GetErrorSummary(), "BADLY FORMED PATH NAME");
  CLogDbStore missing;
  EXPECT_EQ(missing.Open(nullptr, (location_ + ";LoggerName=PLANT;LoggerSeq=00000009").c_str(), 0x80000000u), -1);
  EXPECT_STREQ(missing.GetErrorSummary(), "CAN'T FIND LOGGER NAME AND SEQ");

  // A table missing: the engine's own text comes back as the detail.
  auto recs = MakeRecords(h, 0, 3);
  ASSERT_EQ(s->AppendRecords(&h, recs.data(), 3), 0);
  s->Close();
  EXPECT_EQ(s->AppendRecords(&h, recs.data(), 3), -1);  // closed: no new message
  EXPECT_STREQ(s->GetErrorSummary(), "CHANNEL NOT IN HEADER");
  CLogStore* r = c->OpenLog("LoggerSeq=00000001", kReadWrite);
  ASSERT_NE(r, nullptr) << c->GetErrorSummary();
  AdminIn("DROP TABLE PLANT_00000001_DATA");
  EXPECT_EQ(r->GetNoLogs(&rh), -1);
  EXPECT_STREQ(r->GetErrorSummary(), "CAN'T COUNT DATA ROWS");
  EXPECT_NE(std::string(r->GetErrorDetail()).find("PLANT_00000001_DATA"), std::string::npos) << r->GetErrorDetail();
  std::vector<uint8_t> rec(rh.recordLength);
  EXPECT_EQ(r->ReadLog(0, &rh, rec.data(), int(rec.size()), 0, nullptr, nullptr, 0, 0), -1);
  EXPECT_STREQ(r->GetErrorSummary(), "CAN'T SELECT FROM DATA");
  EXPECT_EQ(r->OpenForAppend(&rh), -1);
  EXPECT_STREQ(r->GetErrorSummary(), "CAN'T OPEN DATA TABLE");
  r->Destroy(1);
  s->Destroy(1);
  // A run whose data table cannot be made leaves nothing behind: once the
  // stray table is gone, the same run is made.
  AdminIn("CREATE TABLE PLANT_00000002_DATA (X integer)");
  EXPECT_EQ(Create(c.get(), &h), nullptr);
  EXPECT_STREQ(c->GetErrorSummary(), "CAN'T CREATE DATA TABLE");
  EXPECT_STRNE(c->GetErrorDetail(), "");
  AdminIn("DROP TABLE PLANT_00000002_DATA");
  CLogStore* s2 = Create(c.get(), &h);
  ASSERT_NE(s2, nullptr) << c->GetErrorSummary() << ": " << c->GetErrorDetail();
  EXPECT_EQ(static_cast<CLogDbStore*>(s2)->GetSequence(), 2);
  s2->Destroy(1);
}

TEST_P(DbStoreTest, FailingInsertMidCallLeavesNothingOfTheCall) {
  auto c = OpenCollection();
  LogHeader h = MakeHeader(4, 0);
  CLogStore* s = Create(c.get(), &h);
  ASSERT_NE(s, nullptr);
  auto first = MakeRecords(h, 0, 10);
  ASSERT_EQ(s->AppendRecords(&h, first.data(), 10), 0);
  // The engine refuses the 500th record of the next call, every time.
  // (Record 510, the only one of the call with MS 570.)
  if (GetParam() == Engine::kJet)
    AdminIn("CREATE TRIGGER refuse BEFORE INSERT ON PLANT_00000001_DATA WHEN NEW.MS = 570 BEGIN SELECT RAISE(ABORT, "
            "'disk gone'); END");
  else
    AdminIn("CREATE TRIGGER refuse BEFORE INSERT ON PLANT_00000001_DATA FOR EACH ROW IF NEW.MS = 570 THEN "
            "SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'disk gone'; END IF");
  auto more = MakeRecords(h, 10, 1000);
  EXPECT_EQ(s->AppendRecords(&h, more.data(), 1000), -1);
  EXPECT_STREQ(s->GetErrorSummary(), "CAN'T ADD LOG");
  EXPECT_NE(std::string(s->GetErrorDetail()).find("disk gone"), std::string::npos) << s->GetErrorDetail();
  EXPECT_EQ(Count("SELECT COUNT(*) FROM PLANT_00000001_DATA"), 10);
  // The store goes on once the engine takes rows again.
  AdminIn("DROP TRIGGER refuse");
  EXPECT_EQ(s->AppendRecords(&h, more.data(), 1000), 0) << s->GetErrorDetail();
  EXPECT_EQ(Count("SELECT COUNT(*) FROM PLANT_00000001_DATA"), 1010);
  int32_t start = kStart;
  c->CloseLog(s, &start, &start, 0);
  s->Destroy(1);
}

INSTANTIATE_TEST_SUITE_P(Engines, DbStoreTest, ::testing::Values(Engine::kJet, Engine::kMariaDb),
                         [](const ::testing::TestParamInfo<Engine>& i) {
                           return i.param == Engine::kJet ? std::string("Jet") : std::string("MariaDB");
                         });

// A connection lost between calls (the server ended it): the next append
// reconnects once and writes every record of the call exactly once.
TEST(DbStoreServer, LostConnectionIsRecoveredOnce) {
  NEED_MARIADB(server);
  CLogDbCollection::SetSleeper(CountSleep);
  std::string db = server->NewDatabase();
  std::string location = AdoMariaDb(server, db);
  CLogDbCollection c;
  ASSERT_EQ(c.Open(location.c_str(), "", "PLANT", "", kReadWrite), 0) << c.GetErrorDetail();
  LogHeader h = MakeHeader(4, 1);
  auto a = MakeChannels(h.blocks[0], false, "F");
  auto d = MakeChannels(h.blocks[1], true, "P");
  ChannelConfig* per[2] = {a.data(), d.data()};
  int32_t start = kStart;
  CLogStore* s = c.CreateLog(&start, 0, 0, &h, nullptr, 0, nullptr, 0, per);
  ASSERT_NE(s, nullptr) << c.GetErrorDetail();
  auto recs = MakeRecords(h, 0, 100);
  ASSERT_EQ(s->AppendRecords(&h, recs.data(), 50), 0);
  // End every session of the database.
  MYSQL* m = server->Connect();
  ASSERT_NE(m, nullptr);
  std::string q = "SELECT ID FROM information_schema.PROCESSLIST WHERE DB = '" + db + "'";
  ASSERT_EQ(mysql_real_query(m, q.data(), q.size()), 0);
  MYSQL_RES* res = mysql_store_result(m);
  int killed = 0;
  while (MYSQL_ROW row = mysql_fetch_row(res)) {
    std::string k = std::string("KILL ") + row[0];
    if (mysql_real_query(m, k.data(), k.size()) == 0) ++killed;
  }
  mysql_free_result(res);
  EXPECT_GT(killed, 0);
  ASSERT_EQ(s->AppendRecords(&h, recs.data() + 50 * h.recordLength, 50), 0) << s->GetErrorDetail();
  std::string count = "SELECT COUNT(*), COUNT(DISTINCT DT) FROM " + db + ".PLANT_00000001_DATA";
  ASSERT_EQ(mysql_real_query(m, count.data(), count.size()), 0);
  res = mysql_store_result(m);
  MYSQL_ROW row = mysql_fetch_row(res);
  EXPECT_STREQ(row[0], "100");
  EXPECT_STREQ(row[1], "100");
  mysql_free_result(res);
  mysql_close(m);
  s->Destroy(1);
}

// The server killed while a call's rows go in: the call fails, and after
// the server's restart the run holds exactly the calls that succeeded.
TEST(DbStoreServer, ServerKilledMidAppendLeavesOnlyWholeCalls) {
  NEED_MARIADB(server);
  CLogDbCollection::SetSleeper(CountSleep);
  std::string db = server->NewDatabase();
  std::string location = AdoMariaDb(server, db);
  LogHeader h = MakeHeader(4, 0);
  CLogStore* s = nullptr;
  {
    CLogDbCollection c;
    ASSERT_EQ(c.Open(location.c_str(), "", "PLANT", "", kReadWrite), 0) << c.GetErrorDetail();
    auto a = MakeChannels(h.blocks[0], false, "F");
    ChannelConfig* per[1] = {a.data()};
    int32_t start = kStart;
    s = c.CreateLog(&start, 0, 0, &h, nullptr, 0, nullptr, 0, per);
    ASSERT_NE(s, nullptr) << c.GetErrorDetail();
  }
  std::unique_ptr<CLogStore, void (*)(CLogStore*)> owner(s, [](CLogStore* x) { x->Destroy(1); });
  auto first = MakeRecords(h, 0, 50);
  ASSERT_EQ(s->AppendRecords(&h, first.data(), 50), 0);
  const int big = 100000;
  auto many = MakeRecords(h, 50, big);
  // Killed once a thousand rows of the call are in (read uncommitted).
  MYSQL* m = server->Connect();
  ASSERT_NE(m, nullptr);
  const char* iso = "SET SESSION TRANSACTION ISOLATION LEVEL READ UNCOMMITTED";
  ASSERT_EQ(mysql_real_query(m, iso, strlen(iso)), 0);
  std::atomic<int> rc{1};
  std::thread writer([&] { rc = s->AppendRecords(&h, many.data(), big); });
  std::string uncommitted = "SELECT COUNT(*) - 50 FROM " + db + ".PLANT_00000001_DATA";
  const char* q = uncommitted.c_str();
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(240);
  bool seen = false;
  std::string last;
  while (!seen && rc == 1 && std::chrono::steady_clock::now() < deadline) {
    if (mysql_real_query(m, q, strlen(q)) == 0) {
      if (MYSQL_RES* res = mysql_store_result(m)) {
        MYSQL_ROW row = mysql_fetch_row(res);
        seen = row && row[0] && std::atoll(row[0]) >= 1000;
        last = row && row[0] ? row[0] : "NULL";
        mysql_free_result(res);
      }
    } else {
      last = mysql_error(m);
    }
    if (!seen) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  mysql_close(m);
  if (seen) server->Kill();
  writer.join();
  ASSERT_TRUE(seen) << "the call's rows were never seen going in; the call gave " << rc.load() << " " << last << " "
                    << s->GetErrorDetail();
  EXPECT_EQ(rc.load(), -1);
  EXPECT_STREQ(s->GetErrorSummary(), "CAN'T OPEN DATABASE");  // the reconnection found no server
  EXPECT_STRNE(s->GetErrorDetail(), "");
  ASSERT_TRUE(server->Restart());
  MYSQL* after = server->Connect();
  ASSERT_NE(after, nullptr);
  std::string count = "SELECT COUNT(*) FROM " + db + ".PLANT_00000001_DATA";
  ASSERT_EQ(mysql_real_query(after, count.data(), count.size()), 0) << mysql_error(after);
  MYSQL_RES* res = mysql_store_result(after);
  MYSQL_ROW row = mysql_fetch_row(res);
  EXPECT_STREQ(row[0], "50");
  mysql_free_result(res);
  mysql_close(after);
  // The run reads back whole, and takes rows again.
  ASSERT_EQ(s->Close(), 0);
  char path[2048];
  int size = sizeof path;
  s->GetName(path, &size);
  ASSERT_EQ(s->Open(nullptr, path, kReadWrite), 0) << s->GetErrorDetail();
  ASSERT_EQ(s->OpenForAppend(&h), 0) << s->GetErrorDetail();
  ASSERT_EQ(s->AppendRecords(&h, many.data(), 10), 0) << s->GetErrorDetail();
  EXPECT_EQ(s->GetNoLogs(&h), 60);
}

// The store and collection are what the factories give for ADO locations.
TEST(DbStoreFactory, AdoLocationsGiveTheAdoKind) {
  LogDb_RegisterAdoKind();
  for (const char* loc : {"Provider=Microsoft.Jet.OLEDB.4.0; Data Source=\"x.mdb\"", "PROVIDER=SQLOLEDB;Data Source=.",
                          "Provider=MSDASQL;Driver={MariaDB};Socket=/x"}) {
    CLogStore* s = CreateLogStore(loc);
    EXPECT_NE(dynamic_cast<CLogDbStore*>(s), nullptr) << loc;
    if (s) s->Destroy(1);
    CLogCollection* c = CreateLogCollection(loc);
    EXPECT_NE(dynamic_cast<CLogDbCollection*>(c), nullptr) << loc;
    if (c) c->Destroy(1);
  }
  // MYSQL and MARIADB are the MariaDB kind, not this one.
  for (const char* loc : {"PROVIDER=MYSQL;HOST=x", "Provider=MariaDB;Socket=/x"}) {
    CLogStore* s = CreateLogStore(loc);
    EXPECT_EQ(dynamic_cast<CLogDbStore*>(s), nullptr) << loc;
    if (s) s->Destroy(1);
  }
}

// The Jet file of a logger without a location: its directory under the
// logged-data directory, made only with write access.
TEST(DbStoreJet, DefaultFileAndDirectories) {
  CLogDbCollection::SetSleeper(CountSleep);
  std::string logged = std::string(std::getenv("CDXPLAT_ROOT")) + "/logged";
  setenv("CDX_LOGGED_DATA", logged.c_str(), 1);
  std::filesystem::create_directories(logged);
  {
    CLogDbCollection ro;
    EXPECT_EQ(ro.Open("", "", "BOILER", "", 0x80000000u), -1);
    EXPECT_STREQ(ro.GetErrorSummary(), "CAN'T ACCESS LOGGER DIRECTORY");
  }
  g_sleeps = 0;
  CLogDbCollection c;
  ASSERT_EQ(c.Open("", "", "BOILER", "", kReadWrite), 0) << c.GetErrorSummary() << c.GetErrorDetail();
  EXPECT_EQ(std::string(c.ConnectionString()),
            "Provider=Microsoft.Jet.OLEDB.4.0; Jet OLEDB:Engine Type=5; Data Source=\"" + logged +
                "/BOILER/BOILER.mdb\"");
  EXPECT_TRUE(std::filesystem::exists(logged + "/BOILER/BOILER.mdb"));
  EXPECT_EQ(g_sleeps, 1);  // the wait after making LOGGERS in a Jet file
  char path[1200];
  int size = 0;
  c.MakeLogPath("LoggerSeq=00000001", path, &size);
  EXPECT_EQ(size, int(strlen(c.ConnectionString())) + 6 + 18 + 14);
  EXPECT_EQ(c.FindFirst(nullptr), 0);
  char name[20];
  EXPECT_EQ(c.FindNext(name, nullptr, nullptr), 0);
  unsetenv("CDX_LOGGED_DATA");
}

// A writer process appends while this process reads the same Jet file:
// the reader never meets a locked database and sees the run grow by whole
// calls.
TEST(DbStoreJet, WriterAndReaderProcessesShareTheFile) {
  CLogDbCollection::SetSleeper(CountSleep);
  std::string dir = std::string(std::getenv("CDXPLAT_ROOT")) + "/shared";
  std::filesystem::create_directories(dir);
  std::string location = "Provider=Microsoft.Jet.OLEDB.4.0; Data Source=\"" + dir + "/runs.mdb\"";
  const int calls = 200, per = 10;
  pid_t writer = testsupport::ForkChild([&] {
    CLogDbCollection::SetSleeper(CountSleep);
    CLogDbCollection c;
    if (c.Open(location.c_str(), "", "PLANT", "", kReadWrite) != 0) return 10;
    LogHeader h = MakeHeader(8, 2);
    auto a = MakeChannels(h.blocks[0], false, "F");
    auto d = MakeChannels(h.blocks[1], true, "P");
    ChannelConfig* chans[2] = {a.data(), d.data()};
    int32_t start = kStart;
    CLogStore* s = c.CreateLog(&start, 0, 0, &h, nullptr, 0, nullptr, 0, chans);
    if (!s) return 11;
    for (int i = 0; i < calls; ++i) {
      auto recs = MakeRecords(h, i * per, per);
      if (s->AppendRecords(&h, recs.data(), per) != 0) return 12;
    }
    s->Destroy(1);
    return 0;
  });
  ASSERT_GT(writer, 0);
  int last = 0, reads = 0;
  std::string failure;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(240);
  int status = 0;
  bool done = false;
  while (std::chrono::steady_clock::now() < deadline) {
    done = waitpid(writer, &status, WNOHANG) == writer;
    CLogDbCollection c;
    if (c.Open(location.c_str(), "", "PLANT", "", 0x80000000u) == 0) {
      char name[20];
      TimeStamp a, b;
      if (c.FindNewest(name, nullptr, &a, &b, 1)) {
        CLogStore* r = c.OpenLog(name, 0x80000000u);
        LogHeader h;
        if (!r) {
          failure = std::string(c.GetErrorSummary()) + ": " + c.GetErrorDetail();
        } else if (r->ReadHeader(&h) != 0) {
          failure = std::string(r->GetErrorSummary()) + ": " + r->GetErrorDetail();
        } else {
          int n = int(h.recordCount);
          EXPECT_EQ(n % per, 0) << "a call seen half written";
          EXPECT_GE(n, last);
          last = n;
          std::vector<uint8_t> rec(h.recordLength);
          if (n > 0) {
            if (r->ReadLog(n - 1, &h, rec.data(), int(rec.size()), 0, nullptr, nullptr, 0, 0) != 0)
              failure = std::string(r->GetErrorSummary()) + ": " + r->GetErrorDetail();
            else
              ExpectRecord(h, rec.data(), n - 1);
          }
          ++reads;
        }
        if (r) r->Destroy(1);
      }
    }
    EXPECT_EQ(failure, "");
    if (!failure.empty() || done) break;
  }
  if (done)
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  else
    EXPECT_EQ(testsupport::WaitChild(writer, 240000), 0);
  EXPECT_EQ(last, calls * per);
  EXPECT_GT(reads, 0);
}

}  // namespace
