// CLogDbStore: one logger run kept in a database reached through the ADO
// layer: its row of LOGGERS and its own tables "<prefix>CHANNELS",
// "<prefix>DATA" and "<prefix>TEXT" (see dbcollection.h for the schema).
// It gives the same view of a run as the file kind: a LogHeader with block
// descriptors rebuilt from the channel table, fixed-length records decoded
// from the data rows, and the text sections.
//
// Two access objects: the query accessor (the LOGGERS row, the channel and
// text tables, every query) and the append accessor (a second connection
// holding the data table open for adding rows). Failures leave a detail
// (the accessor's last-error text, at most 999 characters) and a short
// upper-case summary (at most 30 characters).
//
// Appending: the records of one AppendRecords call go into the database
// together (one transaction): a call that fails leaves none of its records.
// After a failure the store reconnects once and writes the call again.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "logdata/logstore.h"
#include "logdb/dbdataacc.h"

class CLogDbStore : public CLogStore {
 public:
  static constexpr int kMaxLocation = 1424;
  static constexpr int kMaxName = 260;

  CLogDbStore();
  ~CLogDbStore() override;

  int Open(const char* server, const char* location, uint32_t access) override;
  int OpenForAppend(LogHeader* header) override;
  void GetName(char* buffer, int* size) override;
  int Close() override;
  int UpdateHeader(uint32_t recordCount) override;
  int ReadHeader(LogHeader* header) override;
  int WriteHeader(LogHeader* header, int completed) override;
  int ReadChannels(LogHeader* header, ChannelConfig* buffer, int block, int first, int count) override;
  int AppendRecords(LogHeader* header, const void* records, int count) override;
  int SelectRecords(const TimeStamp* from, const TimeStamp* to, LogHeader* header, void* buffer, int recordLength,
                    int maxCount, int extraCount, const char* extraColumns, int descending, int timesOnly) override;
  // `gap` is the number of extra columns (8 bytes each after every record).
  int ReadLogs(int first, LogHeader* header, void* buffer, int count, int gap, const char* columns,
               void* unused) override;
  // `columns` ("A, B, ") selects extra columns before the record's own;
  // their values go after the record, 8 bytes each, as far as `bytes` allows.
  int ReadLog(int index, LogHeader* header, void* buffer, int bytes, int readText, void* unused,
              const char* columns, int rowLimit, int descending) override;
  int RewriteRecords(int first, LogHeader* header, const void* records, int bytes) override;
  int GetNoLogs(LogHeader* header) override;
  int CountValidRecords(LogHeader* header) override;
  int ReadTextW(const char* section, char16_t* buffer, int* size, int32_t from, int32_t to) override;
  int ReadText(const char* section, char* buffer, int* size, int32_t from, int32_t to) override;
  int ReadTextLinesW(const char* section, char16_t** lines, int* lineCount, char16_t* buffer, int* size,
                     int32_t from, int32_t to) override;
  int ReadTextLines(const char* section, char** lines, int* lineCount, char* buffer, int* size, int32_t from,
                    int32_t to) override;
  int WriteTextW(int32_t seconds, const char16_t* text, const char16_t* key, const char* section) override;
  int WriteText(int32_t seconds, const char* text, const char* key, const char* section) override;
  int WriteStampedTextW(const LineStamp& stamp, const char16_t* text, const char16_t* key,
                        const char* section) override;
  int WriteStampedText(const LineStamp& stamp, const char* text, const char* key, const char* section) override;
  int WritePosition(int32_t seconds, int valid, float position) override;
  int WriteHeaderTextW(const char16_t* text) override;
  int WriteHeaderText(const char* text) override;
  int WriteFormulae(const char* prefix, int processor, const char* text) override;
  int WriteUnitCategory(const char* category, const char* text) override;
  int GetLastTextTime(int32_t* seconds) override;
  const char* GetErrorDetail() override { return detail_; }
  const char* GetErrorSummary() override { return summary_; }
  int Rename(const char* newNamePart) override;
  void DeleteRecords(const TimeStamp* from, const TimeStamp* to) override;
  void Truncate(LogHeader* header, int count) override;
  int CountRecords(const TimeStamp* from, const TimeStamp* to, LogHeader* header) override;

  // Writes a new run's LOGGERS row, its predefined text and its channel
  // rows (all or none), then opens it for appending. The run's tables must
  // exist. `channels`: one array of ChannelConfig records per block, or null
  // (then the driver's configuration module of each block's prefix).
  int CreateInDatabase(const char* connection, const char* tablePrefix, const char* loggerName, int32_t sequence,
                       LogHeader* header, const char* text, const char* channelServer, ChannelConfig** channels);
  void GetTablePrefix(char* buffer, int* size);
  int32_t GetSequence() const { return sequence_; }

  // A digital channel's texts for state 0 and state 1 ("" for a channel
  // that is not digital).
  struct StateTexts {
    std::string text[2];
  };

 private:
  void SetError(const char* detail, const char* summary);
  int OpenConnection(const char* connection);
  void SetConnectionString(const char* connection);
  std::string Quote(const char* text) const;
  std::string LoggerWhere() const;
  std::string DateLiteral(int32_t seconds, int style) const;
  std::string TimeCondition(const TimeStamp* from, const TimeStamp* to, int style) const;
  // Opens a statement built for each date-literal style in turn (first to
  // `last`); the style that opens is kept. 0, or -1 when none opens.
  template <class Build>
  int OpenWithStyles(CLogITDbDataAcc& acc, Build build, long lock, int last);
  int WriteRecordFields(CLogITDbDataAcc& acc, const LogHeader* header, const uint8_t* record, int bytes);
  int WriteChannelFields(CLogITDbDataAcc& acc, const LogHeader* header, const uint8_t* record, int bytes,
                         int column);
  int AppendOnce(LogHeader* header, const uint8_t* records, int count);
  void LoadStateTexts(const LogHeader& h);
  int ReadLogExtra(int index, LogHeader* header, uint8_t* record, int bytes, int extraCount, const char* columns,
                   int top, int descending);
  int DecodeRow(CLogITDbDataAcc& acc, LogHeader* header, uint8_t* record, int bytes, int recordLength,
                int extraCount, int timesOnly);
  int ReadSection(int which, char* buffer, int* size, int32_t from, int32_t to);
  int WriteRowText(int32_t seconds, const char* column, const ado::Variant& value, bool tarviException);
  int TouchTextTime();
  int SetRowValues(const ado::Variant* values, int count, const char* summary);
  int InsertLoggerRow(const LogHeader* header, const char* headerText);
  int InsertPredefinedText(const char* text);
  int InsertChannelRows(const LogHeader* header, const char* channelServer, ChannelConfig** channels);

  CLogITDbDataAcc query_;
  CLogITDbDataAcc append_;
  char connection_[kMaxLocation + 1] = {};
  char loggerName_[kMaxName] = {};
  char tablePrefix_[kMaxName] = {};
  int32_t sequence_ = 0;
  int32_t readPosition_ = -1;
  uint32_t access_ = 0;
  int appendOpen_ = 0;
  int firstStyle_ = 0;
  int lastStyle_ = 2;
  int topAllowed_ = 1;
  int digitalText_ = 0;
  bool backslashEscapes_ = false;  // MariaDB: '\' escapes inside quoted texts
  // The selection ReadLog keeps open, and what it was made for.
  int selectionDescending_ = 0;
  std::string selectionColumns_;
  // Per block and channel, the state texts digital values are stored as.
  std::vector<std::vector<StateTexts>> stateTexts_;
  char detail_[1000] = {};
  char summary_[31] = {};
};

// The digital-as-text choice of the registry value "DatabaseDigitalText":
// true when it reads "On" or names a character type (the digital columns
// then hold state texts). `type` gets the SQL type of digital columns:
// "INTEGER" when the value cannot be read, "char(32)" for "On", else the
// value itself.
bool LogDb_DigitalColumnType(std::string* type);
