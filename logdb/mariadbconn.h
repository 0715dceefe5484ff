// What the MariaDB log store and collection share: the fields of a MariaDB
// location, the connection through Connector/C, statements with their
// parameter and result buffers, and the conversion between stored dates and
// the system's seconds.
//
// Two forms of location pick the MariaDB kind:
//   PROVIDER=MYSQL;HOST=h;PORT=n;USER=u;DB=d;PASSWORD=<base64 of the password>
//   Provider=MariaDB;Server=h|Socket=path;Port=n;Database=d;User ID=u;Password=p
// Keys are matched without case and only at the start of a field (after ';').
// Without a host the connector's local connection is used (its Unix socket,
// or the one MYSQL_UNIX_PORT names).
//
// Texts travel as latin1, which MariaDB defines as Windows-1252, so record
// texts pass unchanged. Dates are stored as the calendar fields of the
// system's seconds (no zone shift: the seconds are already wall-clock time).
#pragma once
#include <errmsg.h>
#include <mysql.h>

#include <cstdint>
#include <string>
#include <vector>

#include "cdxlib/records/chanconfig.h"
#include "logdata/logformat.h"

namespace mdb {

// The connection fields of a location.
struct Location {
  std::string host;      // empty: the local machine
  std::string socket;    // empty: the connector's default
  std::string user;
  std::string database;
  std::string password;  // decoded
  unsigned port = 0;     // 0: the connector's default
};

// Takes the fields out of a copy of `location`. Returns null, or the error
// summary ("NO USER IN CONNECTION STRING", "NO DB IN CONNECTION STRING",
// "BAD PASSWORD ENCODING").
const char* ParseLocation(const char* location, Location* out);

// The value of field `key` ("HOST=") of a location, matched without case at
// the start of a field; false when the field is missing or its value has more
// than `limit` characters.
bool TakeField(const std::string& location, const char* key, size_t limit, std::string* value);

// Connector/C library set-up, once per process, before any connection.
void LibraryInit();

// A new connection, or null with the connector's text in *error. The
// connection speaks latin1 and times out connecting after 30 s.
MYSQL* Connect(const Location& loc, std::string* error);

// The text of a string literal's contents (quotes not included).
std::string Escape(MYSQL* m, const std::string& text);

// Stored dates.
void ToMysqlTime(int32_t seconds, MYSQL_TIME* out);
int32_t FromMysqlTime(const MYSQL_TIME& t);
// "YYYY-MM-DD HH:MM:SS" (text protocol) to seconds; false when it is none.
bool ParseDateTime(const char* text, int32_t* seconds);

// Runs a statement that gives no rows; 0 or the server's error number.
unsigned Execute(MYSQL* m, const std::string& sql);

// The rows of a query, all read (text protocol). Null fields are null
// pointers.
class Result {
 public:
  Result() = default;
  Result(const Result&) = delete;
  Result& operator=(const Result&) = delete;
  ~Result() { Free(); }
  // 0 or the server's error number.
  unsigned Query(MYSQL* m, const std::string& sql);
  // The next row, or null at the end.
  MYSQL_ROW Next();
  // Row i of the result (0-based), or null past the end.
  MYSQL_ROW Row(uint64_t i) {
    if (!res_ || i >= mysql_num_rows(res_)) return nullptr;
    mysql_data_seek(res_, i);
    return mysql_fetch_row(res_);
  }
  unsigned long* Lengths() { return res_ ? mysql_fetch_lengths(res_) : nullptr; }
  unsigned Fields() const { return res_ ? mysql_num_fields(res_) : 0; }
  uint64_t Rows() const { return res_ ? mysql_num_rows(res_) : 0; }

 private:
  void Free() {
    if (res_) mysql_free_result(res_);
    res_ = nullptr;
  }
  MYSQL_RES* res_ = nullptr;
};

// A prepared statement with its parameter buffers. Parameters are set by
// index; every placeholder gets a bind (null unless set otherwise).
class Statement {
 public:
  Statement() = default;
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  ~Statement() { Close(); }

  // false with the connector's text in *error.
  bool Prepare(MYSQL* m, const std::string& sql, std::string* error);
  bool Prepared() const { return stmt_ != nullptr; }
  unsigned long ParamCount() const { return params_.size(); }
  // Closes the statement; false when the connector reports a failure.
  bool Close();

  void SetNull(size_t i);
  void SetInt(size_t i, const int32_t* value);
  void SetFloat(size_t i, const float* value);
  void SetDouble(size_t i, const double* value);
  void SetTime(size_t i, const MYSQL_TIME* value);
  // `length` bytes of text (not copied: the buffer must live until Execute).
  void SetText(size_t i, const char* text, unsigned long* length);

  // Bind and execute; 0, or 1 when binding fails, 2 when execution fails,
  // with the connector's text in *error.
  int Execute(std::string* error);
  unsigned Errno() const { return stmt_ ? mysql_stmt_errno(stmt_) : 0; }

 private:
  MYSQL_STMT* stmt_ = nullptr;
  std::vector<MYSQL_BIND> params_;
  my_bool isNull_ = 1;
};

// ---- What both the store and the collection need of a run ----------------

// The SQL type of digital channel columns from the registry value
// "DatabaseDigitalText": "INTEGER" when it cannot be read (or reads "Off"),
// "char(32)" for "On", any other text as the type itself. *asText tells
// whether that type holds text, so that digital values are written as their
// state texts.
std::string DigitalColumnType(bool* asText);

// The DATA column name of a channel: "%1.2s%d" of the block's prefix and the
// channel number, or with tag columns the channel's tag made an SQL name
// (and "%1.2s%d" again for a reserved name).
// A table prefix or column name the server takes unquoted: SanitizeSqlName,
// and every other character a name cannot hold ("." "/" "'" "%" ...) made
// "_".
void MakeSqlName(std::string* name);
std::string ChannelColumnName(const LogHeader& h, int block, int channel, const ChannelConfig& c);

// The channel records of every block of a header, each as
// Log_BlockChannelConfigs gives them: the caller's per-block arrays; else
// a request to a remote server (only with tag columns; without, the records
// stay cleared with the Type taken from the block's value kind); else the
// driver's configuration module of the block's prefix (a channel it holds
// no record of is cleared). Returns 0, -1 when a configuration module is
// missing, -2 when a request to the remote server fails.
int GatherChannels(const LogHeader& h, ChannelConfig** given, const char* server,
                   std::vector<std::vector<ChannelConfig>>* out);

// Bounded copy into a fixed text buffer of `size` bytes (terminated).
void CopyText(char* dest, size_t size, const char* text);

}  // namespace mdb
