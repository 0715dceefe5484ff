// A small database access layer in the shape of ADO: connections opened on
// connection strings, record sets with cursors, AddNew/Update and moves,
// commands with "?" parameters, and a catalog of tables.
//
// The database behind a connection is reached through a provider, chosen by
// the connection string's "Provider" keyword:
//   Microsoft.Jet.OLEDB.4.0, SQLite   an SQLite file named by "Data Source"
//   MariaDB, MYSQL                    a MariaDB server (Server/Data Source,
//                                     Port, Socket, Database/Initial Catalog,
//                                     User ID/uid, Password/pwd)
//   MSDASQL with a MariaDB or MySQL   the same, as ADO reaches MariaDB through
//   "Driver"                          ODBC
//   anything else                     "provider not found", unless a provider
//                                     has been registered for the keyword
//                                     (the recording provider in tests).
//
// Failures raise ComError {HRESULT, source, description}, caught by the
// access objects exactly where a COM error would be caught.
//
// Texts crossing the layer are single-byte Windows-1252; providers convert
// where their database stores another encoding.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace ado {

// HRESULT values the layer raises (kept as plain ints).
constexpr int32_t kEFail = int32_t(0x80004005);
constexpr int32_t kEPointer = int32_t(0x80004003);
constexpr int32_t kEInvalidArg = int32_t(0x80070057);
constexpr int32_t kTypeMismatch = int32_t(0x80020005);
constexpr int32_t kErrorsInCommand = int32_t(0x80040E14);   // syntax or statement error
constexpr int32_t kNoSuchTable = int32_t(0x80040E37);
constexpr int32_t kIntegrityViolation = int32_t(0x80040E2F);
constexpr int32_t kBofOrEof = int32_t(0x800A0BCD);          // no current record
constexpr int32_t kProviderNotFound = int32_t(0x800A0E7A);
constexpr int32_t kObjectClosed = int32_t(0x800A0E78);
constexpr int32_t kNotSupported = int32_t(0x800A0CB3);
constexpr int32_t kItemNotFound = int32_t(0x800A0CC1);

struct ComError {
  int32_t hresult;
  std::string source;
  std::string description;
};
[[noreturn]] void Raise(int32_t hresult, const std::string& source, const std::string& description);

enum VarType : uint16_t {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_DATE = 7,
  VT_BSTR = 8,
  VT_BOOL = 11,
  VT_I8 = 20,
  VT_BYTES = 0x2011,  // an array of bytes
};

// A value of a field or parameter. Dates are OLE dates: days since
// 1899-12-30 00:00 as a double.
struct Variant {
  VarType vt = VT_EMPTY;
  int64_t i = 0;   // VT_I2, VT_I4, VT_I8, VT_BOOL (-1 true)
  double d = 0;    // VT_R4, VT_R8, VT_DATE
  std::string s;   // VT_BSTR, VT_BYTES

  static Variant Null() { Variant v; v.vt = VT_NULL; return v; }
  static Variant Int(int64_t x) { Variant v; v.vt = (x >= INT32_MIN && x <= INT32_MAX) ? VT_I4 : VT_I8; v.i = x; return v; }
  static Variant Real(float x) { Variant v; v.vt = VT_R4; v.d = x; return v; }
  static Variant Double(double x) { Variant v; v.vt = VT_R8; v.d = x; return v; }
  static Variant Date(double x) { Variant v; v.vt = VT_DATE; v.d = x; return v; }
  static Variant Text(std::string x) { Variant v; v.vt = VT_BSTR; v.s = std::move(x); return v; }
  static Variant Bool(bool x) { Variant v; v.vt = VT_BOOL; v.i = x ? -1 : 0; return v; }
  static Variant Bytes(std::string x) { Variant v; v.vt = VT_BYTES; v.s = std::move(x); return v; }

  bool IsNull() const { return vt == VT_NULL || vt == VT_EMPTY; }
  bool IsNumber() const { return vt == VT_I2 || vt == VT_I4 || vt == VT_I8 || vt == VT_R4 || vt == VT_R8 || vt == VT_BOOL || vt == VT_DATE; }
  // Conversions in the "C" locale; a value that does not convert raises
  // kTypeMismatch.
  double AsDouble() const;
  int64_t AsInt() const;
  std::string AsText() const;
  // Equality as a field comparison makes it: numbers by value, texts by
  // their bytes, a number against a text by converting the text.
  bool Equals(const Variant& other) const;
};

// OLE dates and seconds since 1970 (whole seconds, rounded to the nearest).
double SecondsToOleDate(int64_t seconds);
int64_t OleDateToSeconds(double date);
// "YYYY-MM-DD HH:MM:SS" for an OLE date; and back (also takes '/' or 'T',
// and ignores a fraction).
std::string OleDateToText(double date);
bool TextToOleDate(const std::string& text, double* date);

// Windows-1252 text to UTF-8 and back (characters outside 1252 become '?').
std::string Cp1252ToUtf8(const std::string& text);
std::string Utf8ToCp1252(const std::string& text);

// The key=value fields of a connection string; keys compare without case,
// a value in double quotes loses them.
class ConnectionString {
 public:
  explicit ConnectionString(const std::string& text);
  // The value of the first of the given keys present, or "".
  std::string Get(std::initializer_list<const char*> keys) const;
  bool Has(const char* key) const;
  const std::string& text() const { return text_; }

 private:
  std::string text_;
  std::vector<std::pair<std::string, std::string>> fields_;  // upper-case key, value
};

// Cursor, lock and option values as ADO numbers them.
enum CursorType { adOpenForwardOnly = 0, adOpenKeyset = 1, adOpenDynamic = 2, adOpenStatic = 3 };
enum LockType { adLockReadOnly = 1, adLockPessimistic = 2, adLockOptimistic = 3, adLockBatchOptimistic = 4 };
enum CommandType { adCmdText = 1, adCmdTable = 2, adCmdStoredProc = 4, adCmdUnknown = 8 };
constexpr long adAddNew = 0x1000400;

// The rows of a large read-only selection, fetched one at a time when they
// are visited (the provider keeps only their keys).
class RowSource {
 public:
  virtual ~RowSource() = default;
  virtual size_t Count() const = 0;
  // Raises kBofOrEof when the row is no longer there.
  virtual std::vector<Variant> Fetch(size_t index) = 0;
};

// What a statement gave.
struct ResultSet {
  bool hasRows = false;
  std::vector<std::string> names;
  std::vector<std::vector<Variant>> rows;
  // Row keys for positional updates (SQLite row ids); empty when the set
  // can be changed only by its values, or not at all.
  std::vector<int64_t> keys;
  std::string table;      // the single table the rows come from, or ""
  bool updatable = false;
  int64_t affected = 0;
  // When set, the rows are fetched from here and `rows` stays empty.
  std::shared_ptr<RowSource> lazy;
  // Reads every row of a lazy set into `rows`.
  void Materialize();
};

struct ColumnDef {
  std::string name;
  std::string type;   // an SQL type name: "integer", "char", "varchar", "real", "float", "datetime"
  int size = 0;
  bool autoIncrement = false;
};

// One open session with a database.
class Provider {
 public:
  virtual ~Provider() = default;
  // A number no other provider session of the process has had.
  uint64_t serial() const { return serial_; }
  virtual const char* Source() const = 0;  // the source named in errors
  // Runs one statement with its "?" parameters. wantKeys asks for an
  // updatable set when the statement reads a single table.
  virtual ResultSet Run(const std::string& sql, const std::vector<Variant>& params, bool wantKeys) = 0;
  // Row changes of an updatable set: the key (or, without keys, the row's
  // original values) names the row.
  virtual int64_t InsertRow(const std::string& table, const std::vector<std::string>& names,
                            const std::vector<Variant>& values) = 0;
  virtual void UpdateRow(const std::string& table, int64_t key, const std::vector<std::string>& names,
                         const std::vector<Variant>& original, const std::vector<int>& changed,
                         const std::vector<Variant>& values) = 0;
  virtual void DeleteRow(const std::string& table, int64_t key, const std::vector<std::string>& names,
                         const std::vector<Variant>& original) = 0;
  // Rows of one shape added again and again (a log's records): the insert
  // of the named columns made once, then run per row with the values
  // row[columns[0]], row[columns[1]], ... . By default each row goes
  // through InsertRow.
  class PreparedInsert {
   public:
    virtual ~PreparedInsert() = default;
    virtual int64_t Run(const std::vector<Variant>& row, const std::vector<int>& columns) = 0;
  };
  virtual std::unique_ptr<PreparedInsert> PrepareInsert(const std::string& table, const std::vector<std::string>& names);
  virtual std::vector<std::string> Tables() = 0;
  virtual void CreateTable(const std::string& name, const std::vector<ColumnDef>& columns) = 0;
  // Transactions of the session (ADO's BeginTrans, CommitTrans,
  // RollbackTrans); by default the T-SQL statements.
  virtual void Begin() { Run("BEGIN TRANSACTION", {}, false); }
  virtual void Commit() { Run("COMMIT TRANSACTION", {}, false); }
  virtual void Rollback() { Run("ROLLBACK TRANSACTION", {}, false); }

 private:
  static uint64_t NewSerial();
  const uint64_t serial_ = NewSerial();
};

// Makes a provider session for a connection string; create asks for a new
// database (Catalog Create) where the provider can make one.
using ProviderFactory = std::function<std::unique_ptr<Provider>(const ConnectionString& cs, bool create)>;
// Installs (or, with an empty factory, removes) the provider of a keyword
// (compared without case). Returns the previous factory.
ProviderFactory RegisterProvider(const std::string& keyword, ProviderFactory factory);
std::unique_ptr<Provider> OpenProvider(const std::string& connectionString, bool create);

class Connection {
 public:
  long ConnectionTimeout = 15;
  long CommandTimeout = 30;

  void Open(const std::string& connectionString, const std::string& user, const std::string& password, long options);
  void Close();
  long State() const { return provider_ ? 1 : 0; }
  // Runs a command text; returns its record set (closed when the statement
  // gives no rows).
  void Execute(const std::string& text, long options, ResultSet* out = nullptr);
  // Rows changed between BeginTrans and CommitTrans are kept together:
  // RollbackTrans (or a connection lost before the commit) drops them all.
  void BeginTrans();
  void CommitTrans();
  void RollbackTrans();
  bool InTransaction() const { return inTransaction_; }
  Provider* provider() const { return provider_.get(); }
  void Adopt(std::unique_ptr<Provider> provider) { provider_ = std::move(provider); }

 private:
  std::unique_ptr<Provider> provider_;
  bool inTransaction_ = false;
};

class Recordset {
 public:
  // Opens source (a statement, or with adCmdTable / adCmdUnknown a bare
  // table name) on the connection. A statement that gives no rows leaves
  // the record set closed. A table opened with a forward-only cursor and a
  // lock that allows changes is opened for adding rows: it stands at EOF
  // with no rows read, and keeps only the row last added (a log's data
  // table is appended to for hours without being read).
  void Open(const std::string& source, Connection* connection, long cursorType, long lockType, long options);
  void Close();
  bool IsOpen() const { return open_; }
  bool BOF() const;
  bool EOF_() const;
  long RecordCount() const;
  bool Supports(long option) const;

  void MoveFirst();
  void MoveLast();
  void MoveNext();
  void MovePrevious();
  void Move(long n);

  size_t FieldCount() const;
  int FieldIndex(const std::string& name) const;  // -1 when absent
  const std::string& FieldName(size_t index) const;
  Variant GetField(size_t index) const;
  Variant GetField(const std::string& name) const;
  void SetField(size_t index, const Variant& value);
  void SetField(const std::string& name, const Variant& value);
  // Fields first to first + count - 1 of the row being added or edited,
  // marked as set, to be written in place (a record's channels); the
  // pointer holds until the next call on the record set.
  Variant* FieldsToSet(size_t first, size_t count);

  // AddNew saves a pending edit first, then starts a new row whose fields
  // are null until set. With names, the given fields are set and the row is
  // saved at once.
  void AddNew();
  void AddNew(const std::vector<std::string>& names, const std::vector<Variant>& values);
  void Update();
  void Update(const std::string& name, const Variant& value);
  long CancelUpdate();
  void Delete();

 private:
  void Need() const;
  void NeedRow() const;
  void SavePending();
  size_t Rows() const { return set_.lazy ? set_.lazy->Count() : set_.rows.size(); }
  const std::vector<Variant>& RowAt(long index) const;

  Connection* connection_ = nullptr;
  bool open_ = false;
  long cursor_ = adOpenForwardOnly;
  long lock_ = adLockReadOnly;
  ResultSet set_;
  long pos_ = 0;  // -1 BOF, rows.size() EOF
  enum Edit { kNone, kEditing, kAdding } edit_ = kNone;
  std::vector<Variant> editRow_;
  void MarkChanged(size_t index);
  void ClearChanged();
  std::vector<int> changed_;          // fields set since the edit began, in order
  std::vector<uint8_t> changedMask_;  // the same, one flag per field
  // The insert of the last added row's shape (its changed fields), kept for
  // the next row of the same shape.
  std::unique_ptr<Provider::PreparedInsert> insert_;
  uint64_t insertProvider_ = 0;  // the serial of the provider it was made by
  std::vector<int> insertShape_;
  mutable std::vector<Variant> fetched_;  // the lazily fetched row
  mutable long fetchedIndex_ = -1;
};

// A command of text type with "?" parameters bound in order.
class Command {
 public:
  std::string CommandText;
  long CommandType = adCmdText;
  long CommandTimeout = 30;
  struct Parameter {
    std::string name;
    Variant value;
  };
  std::vector<Parameter> Parameters;

  void AddParameter(const std::string& name, const Variant& value) { Parameters.push_back({name, value}); }
  // Runs the command on the connection.
  ResultSet Execute(Connection* connection);
};

// Tables of a database.
class Catalog {
 public:
  // Attaches the catalog to a database (without creating it).
  void SetActiveConnection(const std::string& connectionString);
  // Creates a new database and attaches to it.
  void Create(const std::string& connectionString);
  bool Attached() const { return connection_.State() == 1; }
  long TableCount();
  bool HasTable(const std::string& name);
  void AppendTable(const std::string& name, const std::vector<ColumnDef>& columns);
  Connection& connection() { return connection_; }

 private:
  void Need();
  Connection connection_;
};

}  // namespace ado
