// The MariaDB kind of a log collection: all runs of one logger kept in a
// MariaDB database, in the tables every database kind shares (LOGGERS, and
// per run <prefix>CHANNELS, <prefix>DATA and <prefix>TEXT). It connects at
// Open and keeps that connection for its life; CreateLog makes a run's
// tables and hands the run to a new CLogDbMySQLStore.
//
// A run is named "LoggerSeq=%08d"; its store location is
// "<location>;LoggerName=<logger>;LoggerSeq=%08d".
#pragma once
#include <mysql.h>

#include <cstdint>
#include <string>
#include <vector>

#include "logdata/logstore.h"

class CLogDbMySQLStore;

class CLogDbMySQLCollection : public CLogCollection {
 public:
  static constexpr int kMaxLocation = 1024;
  static constexpr int kMaxName = 259;
  // Runs numbered by their start date (YYYYMMDD) are at least this.
  static constexpr int kFirstDateSequence = 19000101;

  CLogDbMySQLCollection();
  ~CLogDbMySQLCollection() override;

  CLogCollection* Destroy(int flags) override;
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
  int CloseLog(CLogStore* store, const int32_t* start, const int32_t* stop, int readOnly) override;
  const char* GetErrorDetail() override { return detail_; }
  const char* GetErrorSummary() override { return summary_; }
  void MakeLogPath(const char* name, char* path, int* size) override;

  // The table prefix of the run FindNext gave last ("" before).
  const std::string& LastTablePrefix() const { return lastPrefix_; }

 private:
  struct Run {
    int32_t sequence;
    TimeStamp start;
    TimeStamp stop;
    std::string prefix;
  };

  void Fail(const char* summary, const std::string& detail);
  // The run's tables and LOGGERS row, each statement run whatever the one
  // before gave.
  void DropRun(const std::string& prefix);
  // Next counter number of the logger (1 when it has no numbered run); -1
  // when LOGGERS cannot be read.
  int NextSequence();

  std::string location_;
  std::string loggerName_;
  std::string namePrefix2_;
  MYSQL* conn_ = nullptr;
  std::vector<Run> runs_;
  size_t next_ = 0;
  std::string lastPrefix_;
  uint32_t access_ = 0;
  bool tablesKnown_ = false;
  char detail_[1000] = {};
  char summary_[31] = {};
};

// The factories' product for a MariaDB location.
CLogCollection* CreateMariaDbLogCollection();

// Installs the MariaDB kind in the store and collection factories
// (RegisterLogStoreKind); done once when this library is linked in, and
// harmless to repeat.
void RegisterMariaDbLogKind();
