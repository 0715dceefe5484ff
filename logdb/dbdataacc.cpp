#include "logdb/dbdataacc.h"

#include <cstdio>
#include <cstring>

#include "cdxlib/sys/debugtrace.h"
#include "platform/error.h"

namespace {

void TraceComError(const ado::ComError& e, const char* description) {
  std::string line = "\nCOM Exeption: " + e.source + " \t : " + description + "\r\n";
  Dbg_Log(line.c_str());
}

}  // namespace

void ReportComErrorTo(const ado::ComError& e, char* buffer) {
  size_t n = std::min<size_t>(e.description.size(), 999);
  std::memcpy(buffer, e.description.data(), n);
  buffer[n] = '\0';
  uint32_t hr = uint32_t(e.hresult);
  plat::SetLastError(hr >= 0x80040200u && hr <= 0x8004FFFFu ? (hr - 0x200u) & 0xFFFFu : 0u);
  TraceComError(e, buffer);
}

void LogComError(const ado::ComError& e) {
  TraceComError(e, e.description.empty() ? "NONE" : e.description.c_str());
}

void CLogITDbDataAcc::ReportComError(const ado::ComError& e) { ReportComErrorTo(e, lastError_); }

template <class F>
int CLogITDbDataAcc::Guarded(int code, F&& f) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  try {
    return f();
  } catch (const ado::ComError& e) {
    ReportComError(e);
    return code;
  } catch (...) {
    return code;
  }
}

void CLogITDbDataAcc::NeedRecordset() const {
  if (!recordset_) ado::Raise(ado::kEPointer, "CLogITDbDataAcc", "Invalid pointer");
}

int CLogITDbDataAcc::Open(const char* source, long cursorType, long lockType, long options) {
  return Guarded(kOpenFailed, [&] {
    std::string line = std::string(source ? source : "") + "\r\n";
    Dbg_Log(line.c_str());
    if (recordset_) {
      // A failing close of the previous record set is tolerated.
      if (recordsetOpen_) {
        try {
          recordset_->Close();
        } catch (const ado::ComError&) {
        }
      }
      recordsetOpen_ = false;
      recordset_.reset();
    }
    recordset_ = std::make_unique<ado::Recordset>();
    if (!connection_) ado::Raise(ado::kEPointer, "CLogITDbDataAcc", "Invalid pointer");
    recordset_->Open(source ? source : "", connection_.get(), cursorType, lockType, options);
    recordsetOpen_ = true;
    return 0;
  });
}

int CLogITDbDataAcc::OpenUpdatable(const char* source) {
  return Guarded(kOpenFailed, [&] {
    int rc = Open(source, ado::adOpenStatic, ado::adLockOptimistic, ado::adCmdUnknown);
    if (rc != 0) return rc;
    if (recordset_->IsOpen()) recordset_->MoveFirst();
    return 0;
  });
}

int CLogITDbDataAcc::CloseRecordset() {
  return Guarded(kOpenFailed, [&] {
    if (recordset_) {
      if (recordsetOpen_) {
        recordsetOpen_ = false;
        if (recordset_->IsOpen()) recordset_->Close();
      }
      recordset_.reset();
    }
    return 0;
  });
}

int CLogITDbDataAcc::CancelUpdate() {
  return Guarded(kDeleteFailed, [&] {
    NeedRecordset();
    return int(recordset_->CancelUpdate());
  });
}

int CLogITDbDataAcc::IsBOF(short* flag) {
  return Guarded(kBofEofFailed, [&] {
    NeedRecordset();
    *flag = recordset_->BOF() ? -1 : 0;
    return 0;
  });
}

int CLogITDbDataAcc::IsEOF(short* flag) {
  return Guarded(kBofEofFailed, [&] {
    NeedRecordset();
    *flag = recordset_->EOF_() ? -1 : 0;
    return 0;
  });
}

int CLogITDbDataAcc::GetRecordCount(long* count) {
  return Guarded(kEFail, [&] {
    NeedRecordset();
    *count = recordset_->RecordCount();
    return 0;
  });
}

int CLogITDbDataAcc::UpdateFieldByName(const char* name, const ado::Variant& value) {
  return Guarded(kUpdateByNameFailed, [&] {
    NeedRecordset();
    recordset_->Update(name, value);
    return 0;
  });
}

int CLogITDbDataAcc::CompareFieldValue(const ado::Variant& value, const char* name, ado::Variant* result) {
  return Guarded(kCompareFailed, [&] {
    NeedRecordset();
    *result = ado::Variant::Bool(recordset_->GetField(std::string(name)).Equals(value));
    return 0;
  });
}

int CLogITDbDataAcc::GetFieldValueByName(const char* name, ado::Variant* value) {
  return Guarded(kGetByNameFailed, [&] {
    NeedRecordset();
    *value = recordset_->GetField(std::string(name));
    return 0;
  });
}

int CLogITDbDataAcc::AddNewWithValues(const std::vector<std::string>& names, const std::vector<ado::Variant>& values) {
  return Guarded(kAddNewValuesFailed, [&] {
    NeedRecordset();
    recordset_->AddNew(names, values);
    return 0;
  });
}

int CLogITDbDataAcc::FindRowWithValue(const ado::Variant& value, const char* name, ado::Variant* result) {
  return Guarded(kFindFailed, [&] {
    NeedRecordset();
    int rc = MoveFirst();
    if (rc != 0) return rc;
    for (;;) {
      if (recordset_->EOF_()) {
        *result = ado::Variant::Bool(false);
        return 0;
      }
      if (recordset_->GetField(std::string(name)).Equals(value)) {
        *result = ado::Variant::Bool(true);
        return 0;
      }
      rc = MoveNext();
      if (rc != 0) return rc;
    }
  });
}

int CLogITDbDataAcc::GetValuesByName(int count, const char* const* names, ado::Variant* values) {
  return Guarded(kGetValuesFailed, [&] {
    NeedRecordset();
    for (int i = 0; i < count; ++i) values[i] = recordset_->GetField(std::string(names[i]));
    return 0;
  });
}

int CLogITDbDataAcc::SetFieldDoubles(int first, int count, const double* values) {
  return Guarded(kSetDoublesFailed, [&] {
    NeedRecordset();
    if (first < 0 || count < 0 || !values) ado::Raise(ado::kEInvalidArg, "CLogITDbDataAcc", "Invalid argument");
    for (int i = 0; i < count; ++i) recordset_->SetField(size_t(first + i), ado::Variant::Double(values[i]));
    return 0;
  });
}

int CLogITDbDataAcc::GetFieldDoubles(int first, int count, double* values) {
  return Guarded(kGetDoublesFailed, [&] {
    NeedRecordset();
    if (first < 0 || count < 0 || !values) return int(ado::kEInvalidArg);
    for (int i = 0; i < count; ++i) values[i] = recordset_->GetField(size_t(first + i)).AsDouble();
    return 0;
  });
}

int CLogITDbDataAcc::Update() {
  return Guarded(kUpdateFailed, [&] {
    NeedRecordset();
    recordset_->Update();
    return 0;
  });
}

int CLogITDbDataAcc::UpdateRecord() { return Update(); }

int CLogITDbDataAcc::Delete() {
  return Guarded(kDeleteFailed, [&] {
    NeedRecordset();
    recordset_->Delete();
    return 0;
  });
}

int CLogITDbDataAcc::AddNew() {
  return Guarded(kAddNewFailed, [&] {
    NeedRecordset();
    if (!recordset_->Supports(ado::adAddNew)) return kAddNewFailed;
    recordset_->AddNew();
    return 0;
  });
}

int CLogITDbDataAcc::SetFieldValue(int index, const ado::Variant& value) {
  return Guarded(kSetFieldFailed, [&] {
    NeedRecordset();
    if (index < 0) ado::Raise(ado::kItemNotFound, "ADODB.Fields", "Item cannot be found in the collection.");
    recordset_->SetField(size_t(index), value);
    return 0;
  });
}

ado::Variant* CLogITDbDataAcc::FieldValuesToSet(int first, int count) {
  ado::Variant* fields = nullptr;
  int rc = Guarded(kSetFieldFailed, [&] {
    NeedRecordset();
    if (first < 0 || count < 0) ado::Raise(ado::kItemNotFound, "ADODB.Fields", "Item cannot be found in the collection.");
    fields = recordset_->FieldsToSet(size_t(first), size_t(count));
    return 0;
  });
  return rc == 0 ? fields : nullptr;
}

int CLogITDbDataAcc::GetFieldValue(int index, ado::Variant* value) {
  return Guarded(kGetFieldFailed, [&] {
    NeedRecordset();
    if (index < 0) ado::Raise(ado::kItemNotFound, "ADODB.Fields", "Item cannot be found in the collection.");
    *value = recordset_->GetField(size_t(index));
    return 0;
  });
}

// MoveTo and MoveLast take the lock like every other operation: holding it
// costs nothing and keeps a second thread off a half-made move.
int CLogITDbDataAcc::MoveLast() {
  return Guarded(kMoveLastFailed, [&] {
    NeedRecordset();
    recordset_->MoveLast();
    return 0;
  });
}

int CLogITDbDataAcc::MovePrevious() {
  return Guarded(kMovePreviousFailed, [&] {
    NeedRecordset();
    recordset_->MovePrevious();
    return 0;
  });
}

int CLogITDbDataAcc::MoveNext() {
  return Guarded(kMoveNextFailed, [&] {
    NeedRecordset();
    recordset_->MoveNext();
    return 0;
  });
}

int CLogITDbDataAcc::MoveFirst() {
  return Guarded(kMoveFirstFailed, [&] {
    NeedRecordset();
    recordset_->MoveFirst();
    return 0;
  });
}

int CLogITDbDataAcc::MoveTo(long index) {
  return Guarded(kMoveLastFailed, [&] {
    NeedRecordset();
    recordset_->MoveFirst();
    if (index != 0) recordset_->Move(index);
    return 0;
  });
}

int CLogITDbDataAcc::OpenTable(const char* table) {
  return Open(table, ado::adOpenStatic, ado::adLockOptimistic, ado::adCmdTable);
}

int CLogITDbDataAcc::GetConnectionState() {
  return Guarded(kStateFailed, [&] {
    if (!connection_) ado::Raise(ado::kEPointer, "CLogITDbDataAcc", "Invalid pointer");
    return int(connection_->State());
  });
}

int CLogITDbDataAcc::Close() {
  std::lock_guard<std::recursive_mutex> g(lock_);
  try {
    CloseRecordset();
    if (connection_) {
      std::unique_ptr<ado::Connection> c = std::move(connection_);
      if (c->State()) c->Close();
    }
    return 0;
  } catch (const ado::ComError& e) {
    ReportComError(e);
    return 0;
  } catch (...) {
    return kCloseFailed;
  }
}

int CLogITDbDataAcc::DoNothing(const char*, const char*) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  return 0;
}

int CLogITDbDataAcc::Connect(const char* connectionString, const char* appended, long options) {
  return Guarded(kConnectFailed, [&] {
    // A connected object drops its old connection (and record set) first.
    recordset_.reset();
    recordsetOpen_ = false;
    connection_ = std::make_unique<ado::Connection>();
    connection_->ConnectionTimeout = 300;
    connection_->CommandTimeout = 300;
    std::string text = std::string(connectionString ? connectionString : "") + (appended ? appended : "");
    try {
      connection_->Open(text, "", "", options);
    } catch (...) {
      connection_.reset();
      throw;
    }
    return 0;
  });
}

int CLogITDbDataAcc::BeginTrans() {
  return Guarded(kTransactionFailed, [&] {
    if (!connection_) ado::Raise(ado::kEPointer, "CLogITDbDataAcc", "Invalid pointer");
    connection_->BeginTrans();
    return 0;
  });
}

int CLogITDbDataAcc::CommitTrans() {
  return Guarded(kTransactionFailed, [&] {
    if (!connection_) ado::Raise(ado::kEPointer, "CLogITDbDataAcc", "Invalid pointer");
    connection_->CommitTrans();
    return 0;
  });
}

int CLogITDbDataAcc::RollbackTrans() {
  return Guarded(kTransactionFailed, [&] {
    if (!connection_) ado::Raise(ado::kEPointer, "CLogITDbDataAcc", "Invalid pointer");
    if (connection_->InTransaction()) connection_->RollbackTrans();
    return 0;
  });
}
