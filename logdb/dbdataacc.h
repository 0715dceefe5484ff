// CLogITDbDataAcc: one connection and one record set behind plain
// operations that never throw. Each operation takes the object's lock, makes
// its calls into the access layer and turns a failure into the operation's
// result code, a last-error text (the provider's description, at most 999
// characters), the thread's last error and a line in the debug trace.
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "logdb/ado/ado.h"

class CLogITDbDataAcc {
 public:
  // Result codes of the operations.
  static constexpr int kConnectFailed = int(0x80040207);
  static constexpr int kCloseFailed = int(0x80040208);
  static constexpr int kStateFailed = int(0x80040209);
  static constexpr int kOpenFailed = int(0x8004020A);
  static constexpr int kMoveFirstFailed = int(0x8004020B);
  static constexpr int kMoveNextFailed = int(0x8004020C);
  static constexpr int kMovePreviousFailed = int(0x8004020D);
  static constexpr int kMoveLastFailed = int(0x8004020E);
  static constexpr int kGetFieldFailed = int(0x8004020F);
  static constexpr int kSetFieldFailed = int(0x80040210);
  static constexpr int kDeleteFailed = int(0x80040211);
  static constexpr int kUpdateFailed = int(0x80040212);
  static constexpr int kAddNewFailed = int(0x80040213);
  static constexpr int kGetDoublesFailed = int(0x80040214);
  static constexpr int kSetDoublesFailed = int(0x80040215);
  static constexpr int kGetValuesFailed = int(0x80040216);
  static constexpr int kFindFailed = int(0x80040217);
  static constexpr int kAddNewValuesFailed = int(0x80040218);
  static constexpr int kBofEofFailed = int(0x80040219);
  static constexpr int kGetByNameFailed = int(0x8004021A);
  static constexpr int kCompareFailed = int(0x8004021B);
  static constexpr int kUpdateByNameFailed = int(0x8004021C);
  static constexpr int kEFail = int(0x80004005);

  CLogITDbDataAcc() = default;
  virtual ~CLogITDbDataAcc() = default;
  CLogITDbDataAcc(const CLogITDbDataAcc&) = delete;
  CLogITDbDataAcc& operator=(const CLogITDbDataAcc&) = delete;

  virtual int Open(const char* source, long cursorType, long lockType, long options);
  virtual int OpenUpdatable(const char* source);
  virtual int CloseRecordset();
  virtual int CancelUpdate();
  // Moves finished runs of logName that started before cutTime (an OLE
  // date) into the archive tables; see archive.cpp.
  virtual int ArchiveLogs(const std::u16string& connection, const std::u16string& archiveConnection,
                          const std::u16string& logName, double cutTime);
  virtual int IsBOF(short* flag);
  virtual int GetRecordCount(long* count);
  virtual int UpdateFieldByName(const char* name, const ado::Variant& value);
  virtual int CompareFieldValue(const ado::Variant& value, const char* name, ado::Variant* result);
  virtual int GetFieldValueByName(const char* name, ado::Variant* value);
  virtual int IsEOF(short* flag);
  virtual int AddNewWithValues(const std::vector<std::string>& names, const std::vector<ado::Variant>& values);
  virtual int FindRowWithValue(const ado::Variant& value, const char* name, ado::Variant* result);
  // Reads the named fields of the current row into values (count entries).
  virtual int GetValuesByName(int count, const char* const* names, ado::Variant* values);
  virtual int SetFieldDoubles(int first, int count, const double* values);
  virtual int GetFieldDoubles(int first, int count, double* values);
  // Fields first to first + count - 1 of the row being added or edited,
  // to be written in place (a record's channels in one call); null when
  // they cannot be set (the error is reported as by SetFieldValue).
  ado::Variant* FieldValuesToSet(int first, int count);
  virtual int Update();
  virtual int UpdateRecord();
  virtual int Delete();
  virtual int AddNew();
  virtual int SetFieldValue(int index, const ado::Variant& value);
  virtual int GetFieldValue(int index, ado::Variant* value);
  virtual int MoveLast();
  virtual int MovePrevious();
  virtual int MoveNext();
  virtual int MoveFirst();
  virtual int MoveTo(long index);
  virtual int OpenTable(const char* table);
  virtual int GetConnectionState();
  virtual int Close();
  virtual int DoNothing(const char* a, const char* b);
  virtual int Connect(const char* connectionString, const char* appended, long options);

  const char* GetLastErrorText() const { return lastError_; }
  void ReportComError(const ado::ComError& e);

  // The connection's transaction (ADO BeginTrans, CommitTrans,
  // RollbackTrans): 0, or kTransactionFailed with the error kept as for
  // every other operation. The stores append a call's rows in one.
  static constexpr int kTransactionFailed = int(0x8004021D);
  int BeginTrans();
  int CommitTrans();
  int RollbackTrans();

  // The record set, for callers that read many fields at once.
  ado::Recordset* recordset() { return recordset_.get(); }

 private:
  template <class F>
  int Guarded(int code, F&& f);
  void NeedRecordset() const;

  std::unique_ptr<ado::Connection> connection_;
  std::unique_ptr<ado::Recordset> recordset_;
  std::recursive_mutex lock_;
  char lastError_[1000] = {};
  bool recordsetOpen_ = false;
};

// The trace line of a COM error, for code without an access object at hand
// (keeps no text; "NONE" for an error without a description).
void LogComError(const ado::ComError& e);
// The common handling of the access objects: the text (at most 999
// characters) into buffer, the thread's last error, the trace line.
void ReportComErrorTo(const ado::ComError& e, char* buffer);
