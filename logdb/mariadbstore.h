// The MariaDB kind of a log store: one run of one logger held in a MariaDB
// database, in the tables every database kind shares (its LOGGERS row and
// the run's <prefix>CHANNELS and <prefix>DATA tables), reached through
// Connector/C.
//
// The run is presented as the header, channel records and records of a log
// file, so that readers need not know the kind. Samples are appended in
// multi-row INSERT statements (1000 rows each, fewer when a row has so many
// columns that a statement would hold more than 20,000 placeholders: the
// server prepares a statement in time growing with its placeholders, and
// refuses more than 65,535);
// one call's rows are stored all or none. Records read one at a time in
// ascending order are fetched 256 rows at a time (a run only grows at its
// end, so rows already read keep their places); descending reads fetch one
// row each, as the newest rows change while a run is logged. The run has no
// events text: the text operations do nothing.
#pragma once
#include <mysql.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "logdata/logstore.h"
#include "logdb/mariadbconn.h"

class CLogDbMySQLStore : public CLogStore {
 public:
  static constexpr int kMaxLocation = 1424;
  static constexpr int kMaxLoggerName = 259;
  static constexpr int kMaxRowsPerInsert = 1000;
  static constexpr int kMaxPlaceholders = 65535;       // the server's limit
  static constexpr int kPlaceholdersPerInsert = 20000;  // what one statement holds at most
  static constexpr size_t kKeptInserts = 4;              // prepared statements kept

  CLogDbMySQLStore();
  ~CLogDbMySQLStore() override;

  int Open(const char* server, const char* location, uint32_t access) override;
  int OpenForAppend(LogHeader* header) override;
  void GetName(char* buffer, int* size) override;
  int Close() override;
  int ReadHeader(LogHeader* header) override;
  int WriteHeader(LogHeader* header, int completed) override;
  int ReadChannels(LogHeader* header, ChannelConfig* buffer, int block, int first, int count) override;
  int AppendRecords(LogHeader* header, const void* records, int count) override;
  int ReadLogs(int first, LogHeader* header, void* buffer, int count, int gap, const char* columns,
               void* unused) override;
  int ReadLog(int index, LogHeader* header, void* buffer, int bytes, int readText, void* unused,
              const char* columns, int rowLimit, int descending) override;
  int GetNoLogs(LogHeader* header) override;
  int ReadText(const char* section, char* buffer, int* size, int32_t from, int32_t to) override;
  int WriteFormulae(const char* prefix, int processor, const char* text) override;
  int WriteUnitCategory(const char* category, const char* text) override;
  int GetLastTextTime(int32_t* seconds) override;
  int CountRecords(const TimeStamp* from, const TimeStamp* to, LogHeader* header) override;
  const char* GetErrorDetail() override { return detail_; }
  const char* GetErrorSummary() override { return summary_; }

  // Sets a new run up (called by the collection once the run's tables
  // exist): its LOGGERS row and its CHANNELS rows, then the store is open
  // for appending. `location` is the collection's, without run fields.
  // 0 / -1.
  int CreateRun(const char* location, const char* tablePrefix, const char* loggerName, int sequence,
                LogHeader* header, const char* text, const char* server, ChannelConfig** channels);

  const std::string& TablePrefix() const { return prefix_; }
  int Sequence() const { return sequence_; }
  // Rows per INSERT statement for rows of `columns` columns.
  static int RowsPerInsert(int columns);

 private:
  int Fail(const char* summary, const std::string& detail);
  int Connect(const char* location);
  // Fills one record from a row of DATA; false when DT is NULL.
  bool FillRecord(MYSQL_ROW row, unsigned fields, const LogHeader& h, uint8_t* out, int bytes, bool allColumns);
  // The state text of a digital channel for appending: from the driver's
  // configuration module, else from the run's CHANNELS rows.
  void LoadStateTexts(const LogHeader& h);
  // "*" of the DATA table after a column-list prefix.
  std::string AllColumns(const char* columns) const;
  int AppendBatch(const LogHeader& h, const uint8_t* records, int count, int columns);

  MYSQL* conn_ = nullptr;
  std::string location_;
  std::string loggerName_;
  int sequence_ = 0;
  std::string prefix_;
  uint32_t access_ = 0;
  bool appending_ = false;
  bool digitalText_ = false;
  int lastOffset_ = -1;
  char detail_[1000] = {};
  char summary_[31] = {};

  // Rows read ahead by ReadLog in ascending order: the query (without its
  // LIMIT), the index of its first row and the rows.
  static constexpr int kReadAhead = 256;
  std::string windowQuery_;
  int windowFirst_ = 0;
  std::unique_ptr<mdb::Result> window_;

  // Prepared INSERT statements by rows per statement, with the append call
  // that last used each (the least recently used goes when a new one is
  // needed and kKeptInserts are kept).
  struct KeptInsert {
    std::unique_ptr<mdb::Statement> statement;
    uint64_t lastUse = 0;
  };
  std::map<int, KeptInsert> inserts_;
  uint64_t appendCalls_ = 0;
  // The state texts of the channels, [block][channel].
  struct StateTexts {
    bool digital = false;
    std::string text[2];  // state 0, state 1
  };
  std::vector<std::vector<StateTexts>> stateTexts_;
};

// The factories' products for a MariaDB location.
CLogStore* CreateMariaDbLogStore();
