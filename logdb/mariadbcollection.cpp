// The MariaDB log collection: the runs of one logger in a MariaDB database.
// g++ 12 at -O2 warns falsely (-Wrestrict) on string concatenations.
#pragma GCC diagnostic ignored "-Wrestrict"
#include "logdb/mariadbcollection.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <set>

#include "cdxlib/records/chanconfig.h"
#include "cdxlib/sys/logicaldirs.h"
#include "cdxlib/sys/timestamp.h"
#include "logdata/logkinds.h"
#include "logdata/logstatus.h"
#include "logdb/mariadbconn.h"
#include "logdb/mariadbstore.h"
#include "platform/error.h"

namespace {

constexpr const char* kCreateLoggers =
    "CREATE TABLE LOGGERS (sLoggerName char(255), nLoggerSequence integer, dStartTime datetime,dStopTime datetime, "
    "bCompleted integer, sTablePrefix char(255), sHeader char(255), bTagColumns integer, bRowsPerChannel integer, "
    "bDST integer, nTimeZone integer,bSigChange integer, sTriggerPrefix char(2), nTriggerNumber integer,sLagPrefix "
    "char(2), nLagNumber integer, dTextTime datetime)";

constexpr const char* kCreateChannels =
    "CREATE TABLE %sCHANNELS (nBlock int, sPrefix char(2), nChannelNumber integer, sSource char(32), sTag char(32), "
    "sDescription char(32), nType int,sUnits char(12), fMinScale real, fMaxScale real, sLowStateDesc char(32), "
    "sHighStateDesc char(32), sColumnName char(32), bLag integer)";

constexpr unsigned kErrTableExists = 1050;

std::string Format(const char* format, const std::string& a) {
  std::vector<char> out(strlen(format) + a.size() + 1);
  snprintf(out.data(), out.size(), format, a.c_str());
  return out.data();
}

std::string Trimmed(const char* text) {
  std::string s = text ? text : "";
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

struct Registrar {
  Registrar() { RegisterMariaDbLogKind(); }
} g_registrar;

}  // namespace

CLogCollection* CreateMariaDbLogCollection() { return new (std::nothrow) CLogDbMySQLCollection(); }

void RegisterMariaDbLogKind() {
  RegisterLogStoreKind(kProviderMariaDb, CreateMariaDbLogStore, CreateMariaDbLogCollection);
}

CLogDbMySQLCollection::CLogDbMySQLCollection() = default;

CLogDbMySQLCollection::~CLogDbMySQLCollection() {
  if (conn_) mysql_close(conn_);
}

CLogCollection* CLogDbMySQLCollection::Destroy(int flags) {
  if (conn_) mysql_close(conn_);
  conn_ = nullptr;
  return CLogCollection::Destroy(flags);
}

void CLogDbMySQLCollection::Fail(const char* summary, const std::string& detail) {
  mdb::CopyText(summary_, sizeof summary_, summary);
  mdb::CopyText(detail_, sizeof detail_, detail.c_str());
}

int CLogDbMySQLCollection::Open(const char* location, const char* directory, const char* loggerName,
                                const char* namePrefix, uint32_t access) {
  if (CLogCollection::Open(location, directory, loggerName, namePrefix, access) != 0) return -1;
  access_ = access;
  if ((loggerName && strlen(loggerName) > size_t(kMaxName)) || (namePrefix && strlen(namePrefix) > size_t(kMaxName))) {
    plat::SetLastError(0);
    return -1;
  }
  if (!location || !*location) {
    Fail("NO CONNECTION STRING", "");
    return -1;
  }
  if (strlen(location) > size_t(kMaxLocation)) {
    Fail("CONNECTION STRING TOO LONG", "");
    plat::SetLastError(0);
    return -1;
  }
  location_ = location;
  loggerName_ = loggerName ? loggerName : "";
  namePrefix2_ = namePrefix ? namePrefix : "";
  PublishLoggerStatus(location, "", NamePrefix());
  if (conn_) mysql_close(conn_);
  conn_ = nullptr;
  tablesKnown_ = false;
  mdb::Location loc;
  if (const char* bad = mdb::ParseLocation(location, &loc)) {
    Fail(bad, "");
    return -1;
  }
  std::string error;
  conn_ = mdb::Connect(loc, &error);
  if (!conn_) {
    Fail("CAN'T CONNECT TO DATABASE", error);
    return -1;
  }
  if (!(access & kGenericWrite)) return 0;
  unsigned rc = mdb::Execute(conn_, kCreateLoggers);
  if (rc != 0 && rc != kErrTableExists) {
    Fail("CAN'T CREATE LOGGERS TABLE", mysql_error(conn_));
    mysql_close(conn_);
    conn_ = nullptr;
    return -1;
  }
  tablesKnown_ = true;
  return 0;
}

int CLogDbMySQLCollection::FindFirst(int* nameSize) {
  if (nameSize) *nameSize = 20;
  runs_.clear();
  next_ = 0;
  if (!conn_) {
    Fail("SELECT failed", "the collection is not open");
    return 0;
  }
  std::string sql = Format(
      "select nLoggerSequence, dStartTime, dStopTime, bCompleted, sTablePrefix from LOGGERS where sLoggerName = '%s' "
      "order by dStartTime Desc",
      mdb::Escape(conn_, loggerName_));
  mdb::Result r;
  if (r.Query(conn_, sql) != 0) {
    Fail("SELECT failed", mysql_error(conn_));
    return 0;
  }
  while (MYSQL_ROW row = r.Next()) {
    Run run{};
    run.sequence = row[0] ? atoi(row[0]) : 0;
    mdb::ParseDateTime(row[1], &run.start.seconds);
    bool completed = row[3] && atoi(row[3]) != 0;
    if (completed) mdb::ParseDateTime(row[2], &run.stop.seconds);
    run.prefix = Trimmed(row[4]);
    runs_.push_back(run);
  }
  return 1;
}

int CLogDbMySQLCollection::FindNext(char* name, TimeStamp* start, TimeStamp* stop) {
  if (next_ >= runs_.size()) {
    runs_.clear();
    next_ = 0;
    plat::SetLastError(0);
    return 0;
  }
  const Run& run = runs_[next_++];
  if (name) snprintf(name, 20, "LoggerSeq=%08d", run.sequence);
  if (start) *start = run.start;
  if (stop) *stop = run.stop;
  lastPrefix_ = run.prefix;
  return 1;
}

int CLogDbMySQLCollection::FindNewest(char* name, int* nameSize, TimeStamp* start, TimeStamp* stop, int anyPrefix) {
  int size = 0;
  if (!FindFirst(&size)) return 0;
  std::string sanitized = namePrefix2_;
  mdb::MakeSqlName(&sanitized);
  int found = 0;
  for (const Run& run : runs_) {
    bool ok = anyPrefix || namePrefix2_.empty() ||
              strncasecmp(run.prefix.c_str(), namePrefix2_.c_str(), namePrefix2_.size()) == 0 ||
              strncasecmp(run.prefix.c_str(), sanitized.c_str(), sanitized.size()) == 0;
    if (!ok) continue;
    char n[24];
    snprintf(n, sizeof n, "LoggerSeq=%08d", run.sequence);
    if (name) memcpy(name, n, strlen(n) + 1);
    if (nameSize) *nameSize = int(strlen(n) + 1);
    if (start) *start = run.start;
    if (stop) *stop = run.stop;
    lastPrefix_ = run.prefix;
    found = 1;
    break;
  }
  runs_.clear();
  next_ = 0;
  return found;
}

void CLogDbMySQLCollection::DropRun(const std::string& prefix) {
  if (!conn_ || prefix.empty()) return;
  mdb::Execute(conn_, "DROP TABLE " + prefix + "TEXT");
  mdb::Execute(conn_, "DROP TABLE " + prefix + "DATA");
  mdb::Execute(conn_, "DROP TABLE " + prefix + "CHANNELS");
  mdb::Execute(conn_, Format("DELETE from LOGGERS where sTablePrefix = '%s'", mdb::Escape(conn_, prefix)));
}

void CLogDbMySQLCollection::DeleteBefore(const int32_t* seconds) {
  if (!seconds) return;
  int size = 0;
  if (!FindFirst(&size)) return;
  std::vector<Run> runs = runs_;
  runs_.clear();
  for (const Run& run : runs)
    if (run.start.seconds < *seconds && run.stop.seconds != 0 && run.stop.seconds < *seconds) DropRun(run.prefix);
}

int CLogDbMySQLCollection::NextSequence() {
  std::string sql = Format(
      "select nLoggerSequence from LOGGERS where sLoggerName = '%s' AND nLoggerSequence < 19000101 order by "
      "nLoggerSequence Desc",
      mdb::Escape(conn_, loggerName_));
  mdb::Result r;
  if (r.Query(conn_, sql) != 0) return -1;
  MYSQL_ROW row = r.Next();
  return row && row[0] ? atoi(row[0]) + 1 : 1;
}

CLogStore* CLogDbMySQLCollection::CreateLogW(const int32_t* start, int barePrefix, int unused, LogHeader* header,
                                             const char16_t*, int saveConfig, const char* server, int datePrefix,
                                             ChannelConfig** channels) {
  return CreateLog(start, barePrefix, unused, header, nullptr, saveConfig, server, datePrefix, channels);
}

CLogStore* CLogDbMySQLCollection::CreateLog(const int32_t* start, int barePrefix, int, LogHeader* header,
                                            const char* text, int, const char* server, int datePrefix,
                                            ChannelConfig** channels) {
  if (!conn_) {
    Fail("CAN'T CONNECT TO DATABASE", "the collection is not open");
    return nullptr;
  }
  if (!header) {
    Fail("CAN'T CREATE CHANNELS TABLE", "no header");
    return nullptr;
  }
  // The run's location carries the logger name as a ';' field: a name
  // holding ';' would make a run that OpenLog never finds again.
  if (loggerName_.find(';') != std::string::npos) {
    Fail("Invalid name", "Invalid name, Logger " + loggerName_ + ": ';' ends a field of the log's location");
    plat::Fail(plat::kErrInvalidName);
    return nullptr;
  }
  bool digitalText = false;
  const std::string digitalType = mdb::DigitalColumnType(&digitalText);

  // 1. The run's number and table prefix: the first form whose CHANNELS
  // table can be made.
  int sequence = NextSequence();
  if (sequence < 0) {
    Fail("SELECT failed", mysql_error(conn_));
    return nullptr;
  }
  std::string base = (namePrefix_[0] ? std::string(namePrefix_) : loggerName_) + "_";
  mdb::MakeSqlName(&base);
  struct Candidate {
    std::string prefix;
    int sequence;
  };
  std::vector<Candidate> candidates;
  if (barePrefix && (namePrefix_[0] || sequence == 1)) candidates.push_back({base, sequence});
  if (datePrefix) {
    const struct tm* tm = Time_GmTime(start ? *start : header->start.seconds);
    char d[40];
    snprintf(d, sizeof d, "%04d%02d%02d_", tm->tm_year + 1900, tm->tm_mon + 1, tm->tm_mday);
    candidates.push_back(
        {base + d, (tm->tm_year + 1900) * 10000 + (tm->tm_mon + 1) * 100 + tm->tm_mday});
  }
  char counter[24];
  snprintf(counter, sizeof counter, "%08d_", sequence);
  candidates.push_back({base + counter, sequence});
  std::string prefix, lastError;
  for (const Candidate& c : candidates) {
    if (mdb::Execute(conn_, Format(kCreateChannels, c.prefix)) == 0) {
      prefix = c.prefix;
      sequence = c.sequence;
      break;
    }
    lastError = mysql_error(conn_);
  }
  if (prefix.empty()) {
    Fail("CAN'T CREATE CHANNELS TABLE", lastError);
    return nullptr;
  }
  mdb::Execute(conn_, "CREATE INDEX CH ON " + prefix + "CHANNELS (sPrefix, nChannelNumber)");
  auto fail = [&](const std::string& summary, const std::string& detail) -> CLogStore* {
    Fail(summary.c_str(), detail);
    DropRun(prefix);
    return nullptr;
  };

  // 2. The channels and their DATA columns.
  std::vector<std::vector<ChannelConfig>> recs;
  int got = mdb::GatherChannels(*header, channels, server, &recs);
  if (got == -1) return fail("CAN'T FIND CHANNELS", "");
  if (got == -2) return fail("CAN'T CREATE DATA TABLE", "CAN'T GET CHANNEL CONFIGURATION");
  std::string columns;
  std::set<std::string> names = {"DT", "MS", "TX", "TP"};
  if (header->significantChange) {
    columns = ",LL integer, LV float NULL";
    names.insert({"LL", "LV"});
  }
  int blocks = header->blockCount > kLogMaxBlocks ? kLogMaxBlocks : header->blockCount;
  for (int b = 0; b < blocks; ++b) {
    const LogBlockDescriptor& d = header->blocks[b];
    int n = LogBlockChannels(d);
    for (int k = 0; k < n; ++k) {
      const ChannelConfig& c = recs[size_t(b)][size_t(k)];
      std::string name = mdb::ChannelColumnName(*header, b, d.firstChannel + k, c);
      // Column names are compared whole and without case, as the server
      // compares them.
      std::string upper = name;
      for (char& ch : upper) ch = char(toupper(static_cast<unsigned char>(ch)));
      if (!names.insert(upper).second) return fail("DUPLICATE COLUMN " + name, "");
      columns += ", " + name + " " + (Chan_IsDigital(c.Type) ? digitalType : std::string("REAL")) + " NULL";
    }
  }

  // 3. DATA, and TEXT when the run has a text.
  std::string data = "CREATE TABLE " + prefix + "DATA (DT datetime, MS float, TX varchar(255) NULL" + columns +
                     ", TP float NULL)";
  if (mdb::Execute(conn_, data) != 0) return fail("CAN'T CREATE DATA TABLE", mysql_error(conn_));
  mdb::Execute(conn_, "CREATE INDEX TM ON " + prefix + "DATA (DT, MS)");
  if (text && mdb::Execute(conn_, "CREATE TABLE " + prefix + "TEXT (TX char(255))") != 0)
    return fail("CAN'T CREATE TEXT TABLE", mysql_error(conn_));

  // 4. The store writes the run's rows and is then open for appending.
  auto* store = new (std::nothrow) CLogDbMySQLStore();
  if (!store) return fail("CAN'T ALLOCATE MEMORY", "");
  std::vector<ChannelConfig*> ptrs(static_cast<size_t>(blocks));
  for (int b = 0; b < blocks; ++b) ptrs[size_t(b)] = recs[size_t(b)].data();
  if (store->CreateRun(location_.c_str(), prefix.c_str(), loggerName_.c_str(), sequence, header, text, server,
                       ptrs.data()) != 0) {
    std::string detail = std::string(store->GetErrorSummary()) + ": " + store->GetErrorDetail();
    store->Destroy(1);
    return fail("CAN'T CONNECT TO DATABASE", detail);
  }
  return store;
}

CLogStore* CLogDbMySQLCollection::OpenLog(const char* name, uint32_t access) {
  if (!name) return nullptr;
  auto* store = new (std::nothrow) CLogDbMySQLStore();
  if (!store) return nullptr;
  std::string path = location_ + ";LoggerName=" + loggerName_ + ";" + name;
  if (store->Open(nullptr, path.c_str(), access) != 0) {
    uint32_t code = plat::GetLastError();
    Fail(store->GetErrorSummary(), store->GetErrorDetail());
    store->Destroy(1);
    plat::SetLastError(code);
    return nullptr;
  }
  return store;
}

int CLogDbMySQLCollection::UseforLogging(CLogStore* store, LogHeader* header, const char*, int, int) {
  return store ? store->OpenForAppend(header) : -1;
}

int CLogDbMySQLCollection::CloseLog(CLogStore* store, const int32_t* start, const int32_t*, int) {
  if (!store) return -1;
  std::string prefix;
  if (auto* s = dynamic_cast<CLogDbMySQLStore*>(store)) prefix = s->TablePrefix();
  store->Close();
  if (!start) DropRun(prefix);
  return 0;
}

void CLogDbMySQLCollection::MakeLogPath(const char* name, char* path, int* size) {
  std::string n = name ? name : "";
  std::string p = location_ + ";LoggerName=" + loggerName_ + ";" + n;
  if (path) memcpy(path, p.c_str(), p.size() + 1);
  if (size) *size = int(location_.size() + loggerName_.size() + n.size() + 14);
}
