#include "logdb/dbcollection.h"

#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <thread>

#include "cdxlib/client/srvclient.h"
#include "cdxlib/shm/datamodule.h"
#include "cdxlib/shm/drvtables.h"
#include "cdxlib/sys/logicaldirs.h"
#include "cdxlib/sys/textcodec.h"
#include "cdxlib/sys/textutil.h"
#include "cdxlib/sys/timestamp.h"
#include "logdata/logkinds.h"
#include "logdata/logstatus.h"
#include "logdata/chanrequest.h"
#include "logdb/dbdates.h"
#include "logdb/dbnames.h"
#include "logdb/dbstore.h"
#include "platform/error.h"

namespace {

constexpr uint32_t kWrite = 0x40000000u;

using cdxtext::Copy;
using cdxtext::StartsNoCase;

std::string TextOf(const ado::Variant& v) {
  try {
    return v.IsNull() ? "" : v.AsText();
  } catch (const ado::ComError&) {
    return "";
  }
}

std::string FirstWord(const std::string& s, size_t max) {
  size_t b = s.find_first_not_of(' ');
  if (b == std::string::npos) return "";
  size_t e = s.find(' ', b);
  std::string w = s.substr(b, e == std::string::npos ? std::string::npos : e - b);
  if (w.size() > max) w.resize(max);
  return w;
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void RealSleep(int milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }
CLogDbCollection::Sleeper g_sleeper = RealSleep;

}  // namespace

// ---- the factory --------------------------------------------------------------

namespace {
CLogStore* MakeStore() { return new (std::nothrow) CLogDbStore(); }
CLogCollection* MakeCollection() { return new (std::nothrow) CLogDbCollection(); }
struct AutoRegister {
  AutoRegister() { LogDb_RegisterAdoKind(); }
} g_autoRegister;
}  // namespace

void LogDb_RegisterAdoKind() { RegisterLogStoreKind(kProviderAdo, MakeStore, MakeCollection); }

// ---- the collection -----------------------------------------------------------

CLogDbCollection::Sleeper CLogDbCollection::SetSleeper(Sleeper sleeper) {
  Sleeper old = g_sleeper;
  g_sleeper = sleeper ? sleeper : RealSleep;
  return old;
}

void CLogDbCollection::Sleep(int milliseconds) { g_sleeper(milliseconds); }

CLogDbCollection::CLogDbCollection() = default;

CLogDbCollection::~CLogDbCollection() {
  catalog_.Close();
  rows_.Close();
}

void CLogDbCollection::SetError(const char* detail, const char* summary) {
  Copy(detail_, sizeof detail_, detail);
  Copy(summary_, sizeof summary_, summary);
}

std::string CLogDbCollection::Quote(const char* text) const { return LogDb_QuoteText(text, backslashEscapes_); }

int CLogDbCollection::ExecuteSql(const char* sql) { return catalog_.ExecuteSql(sql) == 0 ? 0 : -1; }

int CLogDbCollection::Open(const char* location, const char* directory, const char* loggerName,
                           const char* namePrefix, uint32_t access) {
  int rc = CLogCollection::Open(location, directory, loggerName, namePrefix, access);
  if (rc != 0) return rc;
  access_ = access;
  const char* name = loggerName ? loggerName : "";
  const char* prefix = namePrefix ? namePrefix : "";
  if (strlen(name) > size_t(kMaxName) || strlen(prefix) > size_t(kMaxName)) {
    plat::SetLastError(0);
    return -1;
  }
  Copy(loggerName_, sizeof loggerName_, name);
  Copy(namePrefix2_, sizeof namePrefix2_, prefix);
  if (location && *location) {
    if (strlen(location) > size_t(kMaxConnection)) {
      SetError("", "CONNECTION STRING TOO LONG");
      plat::SetLastError(0);
      return -1;
    }
    Copy(connection_, sizeof connection_, location);
  } else {
    // A Jet file of the logger's own.
    std::string dir;
    if (directory && *directory) {
      dir = directory;
    } else {
      const char* logged = Dir_Resolve("CDX_LOGGED_DATA");
      if (!logged) return -1;
      dir = logged;
      if (!IsDirectory(dir)) {
        if (!(access & kWrite)) {
          SetError("", "CAN'T ACCESS LOGGED_DATA DIR");
          return -1;
        }
        if (mkdir(dir.c_str(), 0775) != 0 && !IsDirectory(dir)) {
          SetError(strerror(errno), "CAN'T CREATE LOGGED_DATA DIR");
          return -1;
        }
      }
      dir += "/";
      dir += name;
      if (!IsDirectory(dir)) {
        if (!(access & kWrite)) {
          SetError("", "CAN'T ACCESS LOGGER DIRECTORY");
          return -1;
        }
        if (mkdir(dir.c_str(), 0775) != 0 && !IsDirectory(dir)) {
          SetError(strerror(errno), "CAN'T CREATE LOGGER DIR");
          return -1;
        }
      }
    }
    std::string cs = "Provider=Microsoft.Jet.OLEDB.4.0; Jet OLEDB:Engine Type=5; Data Source=\"" + dir + "/" + name +
                     ".mdb\"";
    if (cs.size() > size_t(kMaxConnection)) {
      SetError("", "CONNECTION STRING TOO LONG");
      plat::SetLastError(0);
      return -1;
    }
    Copy(connection_, sizeof connection_, cs.c_str());
  }
  backslashEscapes_ = LogDb_BackslashEscapes(connection_);
  PublishLoggerStatus(connection_, directory ? directory : "", namePrefix_);
  if (catalog_.OpenDatabase(connection_, "") != 0) {
    SetError(catalog_.GetLastErrorText(), "CAN'T OPEN DATABASE");
    if (!(access & kWrite)) return -1;
    if (catalog_.CreateDatabase(connection_, "") != 0) {
      SetError(catalog_.GetLastErrorText(), "CAN'T OPEN DATABASE");
      return -1;
    }
  }
  catalog_.SetReady("", "");
  if (rows_.Connect(connection_, "", -1) != 0) {
    SetError(rows_.GetLastErrorText(), "CAN'T OPEN DATABASE");
    return -1;
  }
  if (rows_.DoNothing("", "") != 0) {
    SetError(rows_.GetLastErrorText(), "CAN'T LOG IN TO DATABASE");
    return -1;
  }
  if (rows_.Open("LOGGERS", ado::adOpenStatic, ado::adLockReadOnly, ado::adCmdUnknown) == 0) {
    rows_.CloseRecordset();
    return 0;
  }
  if (!(access & kWrite)) {
    SetError(catalog_.GetLastErrorText(), "CAN'T OPEN LOGGERS TABLE");
    return 0;
  }
  bool made = catalog_.ExecuteSql(
                  "CREATE TABLE LOGGERS (sLoggerName char(255), nLoggerSequence integer, dStartTime datetime,dStopTime "
                  "datetime, bCompleted integer, sTablePrefix char(255), sHeader char(255), bTagColumns integer, "
                  "bRowsPerChannel integer, bDST integer, nTimeZone integer,bSigChange integer, sTriggerPrefix "
                  "char(2), nTriggerNumber integer,sLagPrefix char(2), nLagNumber integer, dTextTime datetime)") == 0 ||
              catalog_.ExecuteSql(
                  "CREATE TABLE LOGGERS (sLoggerName char(255), nLoggerSequence integer, dStartTime date,dStopTime "
                  "date, bCompleted integer, sTablePrefix char(255), sHeader char(255), bTagColumns integer, "
                  "bRowsPerChannel integer, bDST integer, nTimeZone integer,bSigChange integer, sTriggerPrefix "
                  "char(2), nTriggerNumber integer,sLagPrefix char(2), nLagNumber integer, dTextTime date)") == 0;
  if (!made) {
    if (rows_.Open("LOGGERS", ado::adOpenStatic, ado::adLockReadOnly, ado::adCmdUnknown) != 0) {
      SetError(catalog_.GetLastErrorText(), "CAN'T CREATE LOGGERS TABLE");
      return -1;
    }
    rows_.CloseRecordset();
    return 0;
  }
  catalog_.ExecuteSql("ALTER TABLE LOGGERS ADD CONSTRAINT PK PRIMARY KEY (sLoggerName, nLoggerSequence)");
  if (StartsNoCase(connection_, "PROVIDER=MICROSOFT.JET.OLEDB")) Sleep(5000);
  loggersCreated_ = true;
  return 0;
}

bool CLogDbCollection::TryIndex(const std::string& sql) {
  if (!makeIndexes_) return false;
  if (catalog_.ExecuteSql(sql.c_str()) != 0) makeIndexes_ = false;
  return makeIndexes_;
}

void CLogDbCollection::DropTable(const char* prefix, const char* table) {
  std::string sql = std::string("DROP TABLE ") + prefix + table;
  catalog_.ExecuteSql(sql.c_str());
}

int CLogDbCollection::RowNamesPrefix(const std::string& prefix) {
  std::string sql = "select nLoggerSequence from LOGGERS where sTablePrefix = '" + Quote(prefix.c_str()) + "'";
  if (rows_.Open(sql.c_str(), ado::adOpenStatic, ado::adLockReadOnly, ado::adCmdUnknown) != 0) return -1;
  short eof = -1;
  int rc = rows_.IsEOF(&eof) == 0 ? (eof ? 0 : 1) : -1;
  rows_.CloseRecordset();
  return rc;
}

bool CLogDbCollection::MakeChannelsTable(const std::string& prefix, const std::string& sql) {
  if (catalog_.ExecuteSql(sql.c_str()) == 0) return true;
  if (RowNamesPrefix(prefix) != 0) return false;  // a run's table, or nothing known
  const char* p = prefix.c_str();
  DropTable(p, "TEXT");
  DropTable(p, "DATA");
  DropTable(p, "CHANNELS");
  return catalog_.ExecuteSql(sql.c_str()) == 0;
}

CLogStore* CLogDbCollection::CreateLogW(const int32_t* start, int barePrefix, int unused, LogHeader* header,
                                        const char16_t*, int saveConfig, const char* server, int datePrefix,
                                        ChannelConfig** channels) {
  return CreateLog(start, barePrefix, unused, header, nullptr, saveConfig, server, datePrefix, channels);
}

// Chooses a new run's table prefix and makes its CHANNELS table: the bare
// prefix when asked (and free), else the start date when asked, else the
// next free counter. False (the error set) when no form can be made.
bool CLogDbCollection::MakeRunChannelsTable(const LogHeader* header, const int32_t* start, int barePrefix,
                                            int datePrefix, int32_t counter, std::string* prefixOut,
                                            int32_t* sequenceOut) {
  std::string base = std::string(namePrefix2_[0] ? namePrefix2_ : loggerName_) + "_";
  LogDb_MakeSqlName(&base);
  int32_t startSeconds = start ? *start : header->start.seconds;
  std::string& prefix = *prefixOut;
  int32_t& sequence = *sequenceOut;
  sequence = counter;
  auto channelsSql = [](const std::string& p) {
    return "CREATE TABLE " + p +
           "CHANNELS (nBlock int, sPrefix char(2), nChannelNumber integer, sSource char(32), sTag char(32), "
           "sDescription char(32), nType int,sUnits char(12), fMinScale real, fMaxScale real, sLowStateDesc char(32), "
           "sHighStateDesc char(32), sColumnName char(32), bLag integer)";
  };
  bool made = false;
  if (barePrefix && (namePrefix2_[0] || counter == 1)) {
    prefix = base;
    made = MakeChannelsTable(prefix, channelsSql(prefix));
  }
  if (!made && datePrefix) {
    const struct tm* f = Time_GmTime(startSeconds);
    char date[40];
    snprintf(date, sizeof date, "%04d%02d%02d_", f ? f->tm_year + 1900 : 1970, f ? f->tm_mon + 1 : 1,
             f ? f->tm_mday : 1);
    prefix = base + date;
    made = MakeChannelsTable(prefix, channelsSql(prefix));
    if (made) sequence = int32_t(f ? (f->tm_year + 1900) * 10000 + (f->tm_mon + 1) * 100 + f->tm_mday : 19700101);
  }
  // The counter form. A number whose tables are left and cannot be
  // removed is passed over: a crash never stops the logger's next run.
  constexpr int kNumbersTried = 10;
  for (int tried = 0; !made && tried < kNumbersTried; ++tried, ++counter) {
    char number[24];
    snprintf(number, sizeof number, "%08d_", counter);
    prefix = base + number;
    sequence = counter;
    made = MakeChannelsTable(prefix, channelsSql(prefix));
  }
  if (!made) {
    SetError(catalog_.GetLastErrorText(), "CAN'T CREATE CHANNELS TABLE");
    return false;
  }
  return true;
}

// The channel columns of a run's data table, each ", <name> <type> NULL"
// (LL and LV first for a significant-change run). False (the error set)
// when a block's records cannot be had or two columns share a name.
bool CLogDbCollection::DataColumns(const LogHeader* header, ChannelConfig** channels, const char* server,
                                   const std::string& digitalType, std::string* columnsOut) {
  std::string& columns = *columnsOut;
  columns = header->significantChange ? ",LL integer, LV float NULL" : "";
  std::vector<std::string> names;
  int blocks = std::min<int>(header->blockCount, kLogMaxBlocks);
  for (int b = 0; b < blocks; ++b) {
    const LogBlockDescriptor& d = header->blocks[b];
    int n = d.lastChannel >= d.firstChannel && d.firstChannel > 0 ? d.lastChannel - d.firstChannel + 1 : 0;
    if (n == 0) continue;
    // Another computer's channels have their records (and so their tags)
    // asked of its central server only when the run keeps tag columns;
    // otherwise every column is REAL.
    std::vector<ChannelConfig> records;
    int got = Log_BlockChannelConfigs(d, channels ? channels[b] : nullptr, server, header->tagColumns != 0, &records);
    if (got == -1) {
      SetError("", "CAN'T FIND CHANNELS");
      return false;
    }
    if (got == -2) {
      SetError(catalog_.GetLastErrorText(), "CAN'T CREATE DATA TABLE");
      return false;
    }
    const bool haveRecords = got == 1;
    for (int k = 0; k < n; ++k) {
      const ChannelConfig* c = haveRecords ? &records[k] : nullptr;
      std::string name = LogDb_ChannelColumnName(d, d.firstChannel + k, c, header->tagColumns != 0);
      // Database engines compare column names without case.
      for (const std::string& other : names) {
        if (strcasecmp(other.c_str(), name.c_str()) == 0) {
          std::string summary = "DUPLICATE COLUMN " + name;
          SetError("", summary.c_str());
          return false;
        }
      }
      names.push_back(name);
      std::string type = c && Chan_IsDigital(c->Type) ? digitalType : "REAL";
      columns += ", " + name + " " + type + " NULL";
    }
  }
  return true;
}

CLogStore* CLogDbCollection::CreateLog(const int32_t* start, int barePrefix, int, LogHeader* header,
                                       const char* text, int, const char* server, int datePrefix,
                                       ChannelConfig** channels) {
  if (!header) return nullptr;
  // The run's location carries the logger name as a ';' field: a name
  // holding ';' would make a run that OpenLog never finds again.
  if (std::strchr(loggerName_, ';')) {
    SetError((std::string("Invalid name, Logger ") + loggerName_ + ": ';' ends a field of the log's location").c_str(),
             "Invalid name");
    plat::Fail(plat::kErrInvalidName);
    return nullptr;
  }
  std::string digitalType;
  LogDb_DigitalColumnType(&digitalType);
  // The next counter (date runs, 19000101 and on, never count).
  std::string sql = "select nLoggerSequence from LOGGERS where sLoggerName = '" + Quote(loggerName_) +
                    "' AND nLoggerSequence < 19000101 order by nLoggerSequence Desc";
  if (rows_.Open(sql.c_str(), ado::adOpenStatic, ado::adLockReadOnly, ado::adCmdUnknown) != 0) {
    SetError(rows_.GetLastErrorText(), "CAN'T FIND LOGGER");
    return nullptr;
  }
  int32_t counter = 1;
  ado::Variant v;
  if (rows_.GetFieldValue(0, &v) == 0 && !v.IsNull()) {
    try {
      counter = int32_t(v.AsInt()) + 1;
    } catch (const ado::ComError&) {
    }
  }
  rows_.CloseRecordset();

  std::string prefix;
  int32_t sequence = 0;
  if (!MakeRunChannelsTable(header, start, barePrefix, datePrefix, counter, &prefix, &sequence)) return nullptr;
  const char* p = prefix.c_str();
  TryIndex("CREATE INDEX CH ON " + prefix + "CHANNELS (sPrefix, nChannelNumber)");

  std::string columns;
  if (!DataColumns(header, channels, server, digitalType, &columns)) {
    DropTable(p, "CHANNELS");
    return nullptr;
  }
  static const char* const heads[] = {
      "CREATE TABLE %sDATA (DT datetime, MS integer, TX varchar(255) NULL",
      "CREATE TABLE %sDATA (DT datetime, MS integer, TX char(255) NULL",
      "CREATE TABLE %sDATA (DT date, MS integer, TX char(255) NULL",
  };
  bool data = false;
  for (const char* head : heads) {
    std::string h = head;
    h.replace(h.find("%s"), 2, prefix);
    if (catalog_.ExecuteSql((h + columns + ", TP float NULL)").c_str()) == 0) {
      data = true;
      break;
    }
  }
  if (!data) {
    SetError(catalog_.GetLastErrorText(), "CAN'T CREATE DATA TABLE");
    DropTable(p, "CHANNELS");
    return nullptr;
  }
  TryIndex("CREATE INDEX TM ON " + prefix + "DATA (DT, MS)");
  TryIndex("CREATE INDEX DT ON " + prefix + "DATA (DT)");
  TryIndex("CREATE INDEX MS ON " + prefix + "DATA (MS)");
  TryIndex("CREATE INDEX TX ON " + prefix + "DATA (TX)");
  bool hasText = text != nullptr;
  if (hasText && catalog_.ExecuteSql(("CREATE TABLE " + prefix + "TEXT (TX char(255))").c_str()) != 0) {
    SetError(catalog_.GetLastErrorText(), "CAN'T CREATE TEXT TABLE");
    DropTable(p, "CHANNELS");
    DropTable(p, "DATA");
    return nullptr;
  }
  CLogDbStore* store = new (std::nothrow) CLogDbStore();
  if (!store || store->CreateInDatabase(connection_, p, loggerName_, sequence, header, text, server, channels) != 0) {
    if (store)
      SetError(store->GetErrorDetail(), "CAN'T CONNECT TO DATABASE");
    else
      SetError("", "CAN'T ALLOCATE MEMORY");
    delete store;
    if (hasText) DropTable(p, "TEXT");
    DropTable(p, "CHANNELS");
    DropTable(p, "DATA");
    return nullptr;
  }
  if (replicate_) SetUpReplication(p, sequence, hasText ? 1 : 0, 0);
  return store;
}

void CLogDbCollection::DropRun(const char* tablePrefix) {
  if (!tablePrefix) return;
  if (replicate_) TearDownReplication(tablePrefix);
  std::string p = tablePrefix;
  catalog_.ExecuteSql(("DROP TABLE " + p + "TEXT").c_str());
  bool dataDropped = catalog_.ExecuteSql(("DROP TABLE " + p + "DATA").c_str()) == 0;
  catalog_.ExecuteSql(("DROP TABLE " + p + "CHANNELS").c_str());
  // The row goes with the data table, whether or not the run had a text
  // table: a row without its tables would be listed as a run.
  if (!dataDropped) return;
  std::string sql = "select * from LOGGERS where sTablePrefix = '" + Quote(tablePrefix) + "'";
  if (rows_.Open(sql.c_str(), ado::adOpenStatic, ado::adLockOptimistic, ado::adCmdUnknown) == 0) {
    short eof = -1;
    if (rows_.IsEOF(&eof) == 0 && !eof) rows_.Delete();
    rows_.CloseRecordset();
  }
}

int CLogDbCollection::HasRunWithPrefix(int first, const char* tablePrefix) const {
  if (!tablePrefix) return 0;
  for (size_t i = size_t(std::max(first, 0)); i < runs_.size(); ++i)
    if (strcmp(runs_[i].tablePrefix, tablePrefix) == 0) return 1;
  return 0;
}

void CLogDbCollection::DeleteBefore(const int32_t* seconds) {
  if (!seconds) return;
  int32_t cut = *seconds;
  if (!FindFirst(nullptr)) return;
  std::vector<RunEntry> runs = runs_;
  runs_.clear();
  cursor_ = 0;
  for (const RunEntry& r : runs) {
    if (r.stop.seconds == 0) continue;
    if (r.start.seconds < cut && r.stop.seconds < cut) {
      DropRun(r.tablePrefix);
      continue;
    }
    if (!(r.start.seconds <= cut && r.stop.seconds >= cut)) continue;
    char name[32];
    snprintf(name, sizeof name, "LoggerSeq=%08d", r.sequence);
    CLogStore* store = OpenLog(name, 0xC0000000u);
    if (!store) continue;
    TimeStamp to{cut, 0, 0};
    store->DeleteRecords(nullptr, &to);
    LogHeader h;
    if (store->ReadHeader(&h) != 0 || h.marker != kLogHeaderMarker || h.start.seconds == 0 || h.stop.seconds == 0) {
      store->Close();
      store->Destroy(1);
      continue;
    }
    if (h.recordCount > 0) {
      std::vector<uint8_t> rec(std::max<uint32_t>(h.recordLength, 18));
      if (store->ReadLog(0, &h, rec.data(), int(rec.size()), 0, nullptr, nullptr, 1, 0) == 0) {
        int32_t first;
        memcpy(&first, rec.data() + 4, 4);
        h.start.seconds = first;
        // The trimmed run is still a finished one.
        store->WriteHeader(&h, 1);
      }
      int32_t start = h.start.seconds, stop = h.stop.seconds;
      CloseLog(store, &start, &stop, 0);
      store->Destroy(1);
    } else {
      store->Close();
      store->Destroy(1);
      DropRun(r.tablePrefix);
    }
  }
}

int CLogDbCollection::FindFirst(int* nameSize) {
  runs_.clear();
  cursor_ = 0;
  if (nameSize) *nameSize = 20;
  std::string sql =
      "select nLoggerSequence, dStartTime, dStopTime, bCompleted, sTablePrefix from LOGGERS where sLoggerName = '" +
      Quote(loggerName_) + "' order by dStartTime Desc";
  if (rows_.Open(sql.c_str(), ado::adOpenStatic, ado::adLockReadOnly, ado::adCmdUnknown) != 0) return 0;
  long count = 0;
  if (rows_.GetRecordCount(&count) != 0) return 0;
  if (count < 0) {
    count = 0;
    short eof = 0;
    if (rows_.MoveFirst() == 0) {
      while (rows_.IsEOF(&eof) == 0 && !eof) {
        ++count;
        if (rows_.MoveNext() != 0) break;
      }
    }
  }
  if (count == 0) {
    rows_.CloseRecordset();
    return 0;
  }
  if (rows_.MoveFirst() == 0) {
    for (long i = 0; i < count; ++i) {
      RunEntry e{};
      ado::Variant v;
      if (rows_.GetFieldValue(0, &v) != 0) break;
      try {
        e.sequence = int32_t(v.AsInt());
      } catch (const ado::ComError&) {
      }
      if (rows_.GetFieldValue(1, &v) == 0 && v.vt == ado::VT_DATE) e.start.seconds = int32_t(DbDateToSeconds(v.d));
      if (rows_.GetFieldValue(2, &v) == 0 && v.vt == ado::VT_DATE) e.stop.seconds = int32_t(DbDateToSeconds(v.d));
      if (rows_.GetFieldValue(3, &v) == 0) {
        int64_t completed = 0;
        try {
          completed = v.IsNull() ? 0 : v.AsInt();
        } catch (const ado::ComError&) {
        }
        if (completed == 0) e.stop.seconds = 0;
      }
      if (rows_.GetFieldValue(4, &v) == 0) Copy(e.tablePrefix, sizeof e.tablePrefix, FirstWord(TextOf(v), 255).c_str());
      runs_.push_back(e);
      if (rows_.MoveNext() != 0) break;
    }
  }
  rows_.CloseRecordset();
  return 1;
}

int CLogDbCollection::FindNext(char* name, TimeStamp* start, TimeStamp* stop) {
  if (cursor_ >= runs_.size()) {
    runs_.clear();
    cursor_ = 0;
    plat::SetLastError(0);
    return 0;
  }
  const RunEntry& e = runs_[cursor_++];
  if (name) snprintf(name, 20, "LoggerSeq=%08d", e.sequence);
  if (start) *start = e.start;
  if (stop) *stop = e.stop;
  return 1;
}

int CLogDbCollection::FindNewest(char* name, int* nameSize, TimeStamp* start, TimeStamp* stop, int anyPrefix) {
  if (nameSize) *nameSize = 20;
  if (!FindFirst(nullptr)) {
    runs_.clear();
    return 0;
  }
  // A run of this name prefix has the table prefix "<name prefix>_..." made
  // an SQL name: name prefix "A" is not a prefix of the runs of "AB".
  std::string want = namePrefix2_;
  if (!want.empty()) want += "_";
  LogDb_MakeSqlName(&want);
  for (const RunEntry& e : runs_) {
    if (!anyPrefix && !want.empty() && strncasecmp(e.tablePrefix, want.c_str(), want.size()) != 0) continue;
    if (name) snprintf(name, 20, "LoggerSeq=%08d", e.sequence);
    if (start) *start = e.start;
    if (stop) *stop = e.stop;
    runs_.clear();
    cursor_ = 0;
    return 1;
  }
  runs_.clear();
  cursor_ = 0;
  return 0;
}

CLogStore* CLogDbCollection::OpenLog(const char* name, uint32_t access) {
  CLogDbStore* store = new (std::nothrow) CLogDbStore();
  if (!store) {
    SetError("", "CAN'T ALLOCATE MEMORY");
    return nullptr;
  }
  std::string location = std::string(connection_) + ";LoggerName=" + loggerName_ + ";" + (name ? name : "");
  if (store->Open(nullptr, location.c_str(), access) != 0) {
    SetError(store->GetErrorDetail(), store->GetErrorSummary());
    delete store;
    return nullptr;
  }
  return store;
}

int CLogDbCollection::UseforLogging(CLogStore* store, LogHeader* header, const char*, int, int) {
  return store ? store->OpenForAppend(header) : -1;
}

int CLogDbCollection::CloseLog(CLogStore* store, const int32_t* start, const int32_t*, int) {
  CLogDbStore* db = dynamic_cast<CLogDbStore*>(store);
  if (!db) return store ? store->Close() : 0;
  char prefix[CLogDbStore::kMaxName];
  db->GetTablePrefix(prefix, nullptr);
  db->Close();
  // A run is discarded when it has no start; a run without a stop is an
  // unfinished one and keeps its data.
  if (!start && prefix[0]) DropRun(prefix);
  return 0;
}

void CLogDbCollection::MakeLogPath(const char* name, char* path, int* size) {
  std::string p = std::string(connection_) + ";LoggerName=" + loggerName_ + ";" + (name ? name : "");
  if (path) memcpy(path, p.c_str(), p.size() + 1);
  if (size) *size = int(strlen(connection_) + strlen(loggerName_) + strlen(name ? name : "") + 14);
}

const char* CLogDbCollection::ResolveDbLogName(const char* location) {
  static char buffer[1288];
  buffer[0] = '\0';
  if (!location || strlen(location) > 1284) return buffer;
  char copy[1289];
  Copy(copy, sizeof copy, location);
  long seq;
  {
    char probe[1289];
    Copy(probe, sizeof probe, location);
    if (TakeLoggerSeq(probe, &seq) || strcasestr(location, ";LoggerSeq=")) {
      Copy(buffer, sizeof buffer, location);
      return buffer;
    }
  }
  char name[kMaxName + 1];
  int size = kMaxName + 1;
  if (!TakeLoggerName(copy, &size, name)) return buffer;
  CLogDbCollection c;
  char log[32];
  if (c.Open(copy, "", name, "", 0x80000000u) != 0 || !c.FindNewest(log, nullptr, nullptr, nullptr, 1)) return buffer;
  // The result must fit: a location near the limit gives "".
  if (FormatBounded(buffer, sizeof buffer, "%s;LoggerName=%s;%s", copy, name, log) < 0) buffer[0] = '\0';
  return buffer;
}
