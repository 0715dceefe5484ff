// Log stores and collections: the two interfaces through which every user
// reaches logged data, whatever holds it (".odl" files, an ADO database, a
// MariaDB database).
//
// A log (one run of one logger) is a CLogStore; all runs of one logger form
// a CLogCollection. Each virtual operation has a base default, which is what
// a kind that does not support the operation does. The factories choose the
// kind from a location string (logkinds.h):
//   - a plain path (drive, UNC, file address, or empty): the file kind;
//   - "PROVIDER=..." (without case): a database kind (see GetProviderKind).
// ";LoggerName=" and ";LoggerSeq=" fields may be appended to any location.
//
// The database kinds live in another library and install themselves through
// RegisterLogStoreKind (logkinds.h); without a registration their locations
// give null from the factories with the last error ERROR_NOT_SUPPORTED (50).
#pragma once
#include <cstdarg>
#include <cstdint>

#include "cdxlib/records/chanconfig.h"
#include "cdxlib/sys/logicaldirs.h"  // kGenericRead, kGenericWrite
#include "cdxlib/sys/timestamp.h"
#include "logdata/linestamp.h"
#include "logdata/logformat.h"

class CLogStore {
 public:
  CLogStore() = default;
  CLogStore(const CLogStore&) = delete;
  CLogStore& operator=(const CLogStore&) = delete;
  virtual ~CLogStore();

  // 0. Flags bit 0: delete the object (the result is then null).
  virtual CLogStore* Destroy(int flags);
  // 1. Server name (null or empty: local), path or location, access mask.
  virtual int Open(const char* server, const char* location, uint32_t access);
  // 2. Reopens a finished or interrupted log for writing; the header's end
  // offset says where the data ends.
  virtual int OpenForAppend(LogHeader* header);
  // 3. Copies the name into buffer (when given, *size characters at most)
  // and/or stores the buffer size it needs in *size.
  virtual void GetName(char* buffer, int* size);
  // 4.
  virtual int Close();
  // 5. Writes the end offset into the stored header (0) or the record count.
  virtual int UpdateHeader(uint32_t recordCount);
  // 6.
  virtual int ReadHeader(LogHeader* header);
  // 7. `completed` marks a finished run (database kinds).
  virtual int WriteHeader(LogHeader* header, int completed);
  // 8. `count` ChannelConfig records of a block from channel `first` (0 = the
  // block's first channel) on.
  virtual int ReadChannels(LogHeader* header, ChannelConfig* buffer, int block, int first, int count);
  // 9. `count` records of the header's record length.
  virtual int AppendRecords(LogHeader* header, const void* records, int count);
  // 10. A query over a time range (database kinds).
  virtual int SelectRecords(const TimeStamp* from, const TimeStamp* to, LogHeader* header, void* buffer,
                            int recordLength, int maxCount, int extraCount, const char* extraColumns,
                            int descending, int timesOnly);
  // 11. Number of records read (0 on failure). `gap` is extra room after each
  // record in the buffer in 8-byte units and `columns` a column-list prefix
  // (database kinds); `unused` is read by no kind.
  virtual int ReadLogs(int first, LogHeader* header, void* buffer, int count, int gap, const char* columns,
                       void* unused);
  // 12.
  virtual int ReadLog(int index, LogHeader* header, void* buffer, int bytes, int readText, void* unused,
                      const char* columns, int rowLimit, int descending);
  // 13.
  virtual int RewriteRecords(int first, LogHeader* header, const void* records, int bytes);
  // 14. Number of records, -1 on failure.
  virtual int GetNoLogs(LogHeader* header);
  // 15. Number of leading valid records of a significant-change log.
  virtual int CountValidRecords(LogHeader* header);
  // 16-19. Text sections; sizes in characters, in/out.
  virtual int ReadTextW(const char* section, char16_t* buffer, int* size, int32_t from, int32_t to);
  virtual int ReadText(const char* section, char* buffer, int* size, int32_t from, int32_t to);
  virtual int ReadTextLinesW(const char* section, char16_t** lines, int* lineCount, char16_t* buffer, int* size,
                             int32_t from, int32_t to);
  virtual int ReadTextLines(const char* section, char** lines, int* lineCount, char* buffer, int* size,
                            int32_t from, int32_t to);
  // 20-23. Stamped lines; section null: "TEXT".
  virtual int WriteTextW(int32_t seconds, const char16_t* text, const char16_t* key, const char* section);
  virtual int WriteText(int32_t seconds, const char* text, const char* key, const char* section);
  virtual int WriteStampedTextW(const LineStamp& stamp, const char16_t* text, const char16_t* key,
                                const char* section);
  virtual int WriteStampedText(const LineStamp& stamp, const char* text, const char* key, const char* section);
  // 24-28.
  virtual int WritePosition(int32_t seconds, int valid, float position);
  virtual int WriteHeaderTextW(const char16_t* text);
  virtual int WriteHeaderText(const char* text);
  virtual int WriteFormulae(const char* prefix, int processor, const char* text);
  virtual int WriteUnitCategory(const char* category, const char* text);
  // 29. Default -1.
  virtual int GetLastTextTime(int32_t* seconds);
  // 30, 31. Never null.
  virtual const char* GetErrorDetail();
  virtual const char* GetErrorSummary();
  // 32. 1 done, 0 not done.
  virtual int Rename(const char* newNamePart);
  // 33.
  virtual void DeleteRecords(const TimeStamp* from, const TimeStamp* to);
  // 34.
  virtual void Truncate(LogHeader* header, int count);
  // 35. Default: the header's record count.
  virtual int CountRecords(const TimeStamp* from, const TimeStamp* to, LogHeader* header);
};

class CLogCollection {
 public:
  static constexpr int kMaxNamePrefix = 204;

  CLogCollection();
  CLogCollection(const CLogCollection&) = delete;
  CLogCollection& operator=(const CLogCollection&) = delete;
  virtual ~CLogCollection();

  // 0.
  virtual CLogCollection* Destroy(int flags);
  // 1. The base stores the name prefix (at most 204 characters; longer:
  // last error 0, -1). Every kind calls it first.
  virtual int Open(const char* location, const char* directory, const char* loggerName, const char* namePrefix,
                   uint32_t access);
  // 2.
  virtual void DoNothing(void* arg);
  // 3. Deletes the finished logs that stopped before *seconds.
  virtual void DeleteBefore(const int32_t* seconds);
  // 4. 1 when a search is open; *nameSize the size of a log name.
  virtual int FindFirst(int* nameSize);
  // 5. 1 found / 0 no more; stop seconds 0 when the log has none.
  virtual int FindNext(char* name, TimeStamp* start, TimeStamp* stop);
  // 6.
  virtual int FindNewest(char* name, int* nameSize, TimeStamp* start, TimeStamp* stop, int anyPrefix);
  // 7, 8. A new store open for writing, or null. `channels`: one buffer of
  // ChannelConfig records per block, or null.
  virtual CLogStore* CreateLogW(const int32_t* start, int barePrefix, int unused, LogHeader* header,
                                const char16_t* text, int saveConfig, const char* server, int datePrefix,
                                ChannelConfig** channels);
  virtual CLogStore* CreateLog(const int32_t* start, int barePrefix, int unused, LogHeader* header,
                               const char* text, int saveConfig, const char* server, int datePrefix,
                               ChannelConfig** channels);
  // 9.
  virtual CLogStore* OpenLog(const char* name, uint32_t access);
  // 10. Takes up a store for logging (OpenForAppend with `header`).
  virtual int UseforLogging(CLogStore* store, LogHeader* header, const char* namePrefix, int moveText,
                            int moveArchive);
  // 11. start null: discard the log.
  virtual int CloseLog(CLogStore* store, const int32_t* start, const int32_t* stop, int readOnly);
  // 12, 13.
  virtual const char* GetErrorDetail();
  virtual const char* GetErrorSummary();
  // 14.
  virtual void MakeLogPath(const char* name, char* path, int* size);

  const char* NamePrefix() const { return namePrefix_; }

 protected:
  char namePrefix_[kMaxNamePrefix + 1];
};

// Provider kinds of a location.
constexpr int kProviderFiles = -1;
constexpr int kProviderAdo = 0;
constexpr int kProviderMariaDb = 1;
constexpr int kProviderWitsml = 2;
constexpr int kProviderOsdu = 3;

int GetProviderKind(const char* location);

// Location fields.
int TakeConnectionField(const char* key, char* location, int* size, char* value);
int TakeLoggerName(char* location, int* size, char* value);
int TakeLoggerSeq(char* location, long* number);

// Names.
void SanitizeSqlName(char* name);
int IsReservedColumnName(const char* name);
int CountTextLines(const char* text);
// snprintf that never writes past `size`: the number of characters written,
// or -1 (buffer emptied) when the output does not fit or the format fails.
int FormatBounded(char* buffer, int size, const char* format, ...) __attribute__((format(printf, 3, 4)));
int FormatBoundedV(char* buffer, int size, const char* format, va_list args);
