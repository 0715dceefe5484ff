// CLogDbCollection: all runs of one logger in one database reached through
// the ADO layer (a Jet ".mdb" file, which is an SQLite file here; SQL
// Server through "SQLOLEDB"; MariaDB through the layer's MariaDB provider).
//
// The schema every database kind shares:
//   LOGGERS            one row per run (17 columns, see kLoggersTable)
//   <prefix>CHANNELS   one row per logged channel
//   <prefix>DATA       one row per record: DT, MS, TX, [LL, LV,] one
//                      nullable column per channel, TP
//   <prefix>TEXT       the run's predefined text lines (runs made with a text)
// The table prefix of a run is the name prefix (or the logger name) with
// "_" and made a valid SQL name, optionally followed by the start date
// ("YYYYMMDD_", the run's sequence is then that date) or by the run's
// counter ("%08d_").
//
// Dates are stored as local wall-clock time, or as UTC when the registry
// value DatabaseUTC is "On" and the time zone keeps daylight saving time.
//
// Merge replication of the runs to a second SQL Server database
// (SetReplicationTarget) is in replication.cpp.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "logdata/logstore.h"
#include "logdb/dbacc.h"
#include "logdb/dbdataacc.h"

class CLogDbStore;

class CLogDbCollection : public CLogCollection {
 public:
  static constexpr int kMaxConnection = 1024;
  static constexpr int kMaxName = 259;

  struct RunEntry {
    int32_t sequence;
    TimeStamp start;
    TimeStamp stop;  // seconds 0 when the run is not completed
    char tablePrefix[256];
  };

  CLogDbCollection();
  ~CLogDbCollection() override;

  int Open(const char* location, const char* directory, const char* loggerName, const char* namePrefix,
           uint32_t access) override;
  void DeleteBefore(const int32_t* seconds) override;
  int FindFirst(int* nameSize) override;
  int FindNext(char* name, TimeStamp* start, TimeStamp* stop) override;
  int FindNewest(char* name, int* nameSize, TimeStamp* start, TimeStamp* stop, int anyPrefix) override;
  CLogStore* CreateLogW(const int32_t* start, int barePrefix, int unused, LogHeader* header, const char16_t* text,
                        int saveConfig, const char* server, int datePrefix, ChannelConfig** channels) override;
  CLogStore* CreateLog(const int32_t* start, int barePrefix, int unused, LogHeader* header, const char* text,
                       int saveConfig, const char* server, int datePrefix, ChannelConfig** channels) override;
  CLogStore* OpenLog(const char* name, uint32_t access) override;
  int UseforLogging(CLogStore* store, LogHeader* header, const char* namePrefix, int moveText,
                    int moveArchive) override;
  // A null start discards the run (its tables and its LOGGERS row).
  int CloseLog(CLogStore* store, const int32_t* start, const int32_t* stop, int readOnly) override;
  const char* GetErrorDetail() override { return detail_; }
  const char* GetErrorSummary() override { return summary_; }
  void MakeLogPath(const char* name, char* path, int* size) override;

  // Drops one run: its tables, then its LOGGERS row.
  void DropRun(const char* tablePrefix);
  // 1 when a run-list entry at or after `first` has exactly this prefix.
  int HasRunWithPrefix(int first, const char* tablePrefix) const;
  // One statement through the catalog accessor: 0 or -1.
  int ExecuteSql(const char* sql);
  const char* ConnectionString() const { return connection_; }

  // Merge replication (SQL Server only), replication.cpp.
  int SetReplicationTarget(const char* target, int purge, int keepCount);
  void SetUpReplication(const char* publication, int32_t sequence, int hasText, int loggers);
  void TearDownReplication(const char* publication);
  int ReplicationSetUpInProgress() const { return setUpInProgress_; }
  int ReplicationOn() const { return replicate_; }

  // The location of the newest run of the logger a location names
  // (";LoggerName=%s;LoggerSeq=%08d" appended), or "". One static buffer.
  static const char* ResolveDbLogName(const char* location);

  // The wait after creating LOGGERS in a Jet file (5000 ms); tests put in a
  // sleeper that only counts.
  using Sleeper = void (*)(int milliseconds);
  static Sleeper SetSleeper(Sleeper sleeper);
  static void Sleep(int milliseconds);

 private:
  void SetError(const char* detail, const char* summary);
  // The steps of SetUpReplication (replication.cpp); each false when it
  // failed, its error set.
  void TearDownOlderPublications(const std::string& publication);
  bool AddPublication(const std::string& publication);
  bool AddPublicationArticles(const std::string& publication, int hasText, int loggers);
  bool RunPublicationSnapshot(const std::string& publication);
  bool AddPushSubscription(const std::string& publication);
  std::string Quote(const char* text) const;
  void DropTable(const char* prefix, const char* table);
  // Makes a run's CHANNELS table (sql) under prefix. Tables of a prefix that
  // no LOGGERS row names were left by a run killed before its row: they are
  // dropped and the table made again.
  bool MakeChannelsTable(const std::string& prefix, const std::string& sql);
  // 1 when a LOGGERS row names the table prefix, 0 when none does, -1 when
  // the table cannot be read.
  int RowNamesPrefix(const std::string& prefix);
  bool TryIndex(const std::string& sql);
  // The parts of CreateLog: the run's table prefix with its CHANNELS table,
  // and the channel columns of its DATA table.
  bool MakeRunChannelsTable(const LogHeader* header, const int32_t* start, int barePrefix, int datePrefix,
                            int32_t counter, std::string* prefix, int32_t* sequence);
  bool DataColumns(const LogHeader* header, ChannelConfig** channels, const char* server,
                   const std::string& digitalType, std::string* columns);

  CLogITDbAcc catalog_;
  CLogITDbDataAcc rows_;
  char connection_[kMaxConnection + 1] = {};
  char target_[kMaxConnection + 1] = {};
  char loggerName_[kMaxName + 1] = {};
  char namePrefix2_[kMaxName + 1] = {};
  uint32_t access_ = 0;
  char detail_[1000] = {};
  char summary_[31] = {};
  bool makeIndexes_ = true;
  bool loggersCreated_ = false;
  bool backslashEscapes_ = false;
  std::vector<RunEntry> runs_;
  size_t cursor_ = 0;
  // Replication.
  int replicate_ = 0;
  int purge_ = 0;
  int keepCount_ = 0;
  int setUpInProgress_ = 0;
  char targetSource_[101] = {};
  char targetCatalog_[101] = {};
  char databaseSource_[101] = {};
  char databaseCatalog_[101] = {};
};

// Registers the ADO kind with the log store factories (done at start-up;
// calling it again does no harm).
void LogDb_RegisterAdoKind();
