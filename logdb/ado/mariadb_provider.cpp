// The MariaDB provider: a connection to a MariaDB server through
// Connector/C. Keys: Server or Data Source (host; "localhost" or none uses
// the Unix socket), Port, Socket, Database or Initial Catalog, User ID or
// uid, Password or pwd. Texts travel as latin1, which MariaDB defines as
// Windows-1252, so record texts pass unchanged. "?" parameters are filled in
// on the client as escaped literals. Record sets are read whole; a changed
// or deleted row is found by its original values (LIMIT 1).
// g++ 12 at -O2 warns falsely (-Wrestrict) on string concatenations.
#pragma GCC diagnostic ignored "-Wrestrict"
#include <mysql.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "logdb/ado/ado.h"
#include "cdxlib/sys/textutil.h"

namespace ado {

void MariaDbLibraryInit() {
  static std::once_flag once;
  std::call_once(once, [] { mysql_library_init(0, nullptr, nullptr); });
}

namespace {

constexpr const char* kSource = "MariaDB";

int32_t HresultOf(unsigned err) {
  switch (err) {
    case 1146: return kNoSuchTable;               // table doesn't exist
    case 1062: case 1048: case 1451: case 1452: return kIntegrityViolation;
    case 2002: case 2003: case 2005: case 2006: case 2013: case 2055: case 1045: case 1049: case 1927:
      return kEFail;                              // connection or access
    default: return kErrorsInCommand;
  }
}

class MariaDbProvider final : public Provider {
 public:
  MariaDbProvider(const ConnectionString& cs, bool create) {
    MariaDbLibraryInit();
    db_ = mysql_init(nullptr);
    if (!db_) Raise(kEFail, kSource, "out of memory");
    mysql_options(db_, MYSQL_SET_CHARSET_NAME, "latin1");
    unsigned timeout = 30;
    mysql_options(db_, MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
    std::string host = cs.Get({"Server", "Data Source", "Host"});
    std::string port = cs.Get({"Port"});
    std::string socket = cs.Get({"Socket"});
    std::string database = cs.Get({"Database", "Initial Catalog", "DB"});
    std::string user = cs.Get({"User ID", "uid", "User"});
    std::string password = cs.Get({"Password", "pwd"});
    if (!mysql_real_connect(db_, host.empty() ? nullptr : host.c_str(), user.c_str(), password.c_str(),
                            create ? nullptr : (database.empty() ? nullptr : database.c_str()),
                            unsigned(std::atoi(port.c_str())), socket.empty() ? nullptr : socket.c_str(), 0))
      FailAndClose();
    if (create && !database.empty()) {
      std::string sql = "CREATE DATABASE `" + database + "`";
      if (mysql_real_query(db_, sql.data(), (unsigned long)sql.size()) || mysql_select_db(db_, database.c_str()))
        FailAndClose();
    }
  }
  ~MariaDbProvider() override { mysql_close(db_); }

  const char* Source() const override { return kSource; }

  ResultSet Run(const std::string& sql, const std::vector<Variant>& params, bool wantKeys) override {
    std::string text = Fill(sql, params);
    Query(text);
    ResultSet r;
    MYSQL_RES* res = mysql_store_result(db_);
    if (!res) {
      if (mysql_field_count(db_) != 0) Fail();
      r.affected = int64_t(mysql_affected_rows(db_));
      return r;
    }
    r.hasRows = true;
    unsigned n = mysql_num_fields(res);
    MYSQL_FIELD* fields = mysql_fetch_fields(res);
    std::string table;
    bool oneTable = n > 0;
    for (unsigned i = 0; i < n; ++i) {
      r.names.emplace_back(fields[i].name);
      if (i == 0)
        table = fields[i].org_table ? fields[i].org_table : "";
      else if (table != (fields[i].org_table ? fields[i].org_table : ""))
        oneTable = false;
    }
    if (oneTable && !table.empty() && wantKeys) {
      // The set's own condition goes with its table name: a row changed or
      // deleted later is looked for among the rows the statement chose,
      // not among all rows with the same values in the columns it read.
      r.table = table + '\n' + Condition(sql);
      r.updatable = true;
    }
    while (MYSQL_ROW row = mysql_fetch_row(res)) {
      unsigned long* lengths = mysql_fetch_lengths(res);
      std::vector<Variant> values;
      values.reserve(n);
      for (unsigned i = 0; i < n; ++i) values.push_back(Value(fields[i], row[i], lengths[i]));
      r.rows.push_back(std::move(values));
    }
    mysql_free_result(res);
    return r;
  }

  int64_t InsertRow(const std::string& handle, const std::vector<std::string>& names,
                    const std::vector<Variant>& values) override {
    std::string table = handle.substr(0, handle.find('\n'));
    std::string sql = "INSERT INTO " + table + " (";
    for (size_t i = 0; i < names.size(); ++i) sql += (i ? ", `" : "`") + names[i] + "`";
    sql += ") VALUES (";
    for (size_t i = 0; i < values.size(); ++i) sql += (i ? ", " : "") + Literal(values[i]);
    sql += ")";
    Query(sql);
    return int64_t(mysql_insert_id(db_));
  }

  void UpdateRow(const std::string& handle, int64_t, const std::vector<std::string>& names,
                 const std::vector<Variant>& original, const std::vector<int>& changed,
                 const std::vector<Variant>& values) override {
    if (changed.empty()) return;
    size_t nl = handle.find('\n');
    std::string sql = "UPDATE " + handle.substr(0, nl) + " SET ";
    for (size_t i = 0; i < changed.size(); ++i)
      sql += (i ? ", `" : "`") + names[changed[i]] + "` = " + Literal(values[changed[i]]);
    sql += Where(names, original, nl == std::string::npos ? "" : handle.substr(nl + 1)) + " LIMIT 1";
    Query(sql);
  }

  void DeleteRow(const std::string& handle, int64_t, const std::vector<std::string>& names,
                 const std::vector<Variant>& original) override {
    size_t nl = handle.find('\n');
    Query("DELETE FROM " + handle.substr(0, nl) +
          Where(names, original, nl == std::string::npos ? "" : handle.substr(nl + 1)) + " LIMIT 1");
  }

  void Begin() override { Query("START TRANSACTION"); }
  void Commit() override { Query("COMMIT"); }
  void Rollback() override { Query("ROLLBACK"); }

  std::vector<std::string> Tables() override {
    ResultSet r = Run("SHOW TABLES", {}, false);
    std::vector<std::string> out;
    for (auto& row : r.rows) out.push_back(row[0].s);
    return out;
  }

  void CreateTable(const std::string& name, const std::vector<ColumnDef>& columns) override {
    std::string sql = "CREATE TABLE " + name + " (";
    for (size_t i = 0; i < columns.size(); ++i) {
      const ColumnDef& c = columns[i];
      sql += (i ? ", `" : "`") + c.name + "` ";
      if (c.autoIncrement)
        sql += "INTEGER AUTO_INCREMENT PRIMARY KEY";
      else
        sql += c.type + (c.size > 0 ? "(" + std::to_string(c.size) + ")" : "");
    }
    sql += ")";
    Query(sql);
  }

 private:
  // A failure in the constructor: the destructor will not run.
  [[noreturn]] void FailAndClose() {
    unsigned err = mysql_errno(db_);
    std::string text = mysql_error(db_);
    mysql_close(db_);
    db_ = nullptr;
    Raise(HresultOf(err), kSource, text);
  }

  [[noreturn]] void Fail() {
    unsigned err = mysql_errno(db_);
    Raise(HresultOf(err), kSource, mysql_error(db_));
  }

  void Query(const std::string& sql) {
    if (mysql_real_query(db_, sql.data(), (unsigned long)sql.size())) Fail();
  }

  std::string Literal(const Variant& v) {
    char buf[64];
    switch (v.vt) {
      case VT_EMPTY: case VT_NULL: return "NULL";
      case VT_I2: case VT_I4: case VT_I8: std::snprintf(buf, sizeof buf, "%lld", (long long)v.i); return buf;
      case VT_BOOL: return v.i ? "-1" : "0";
      case VT_R4: std::snprintf(buf, sizeof buf, "%.9g", v.d); return buf;
      case VT_R8: std::snprintf(buf, sizeof buf, "%.17g", v.d); return buf;
      case VT_DATE: return "'" + OleDateToText(v.d) + "'";
      default: {
        std::string out(v.s.size() * 2 + 1, '\0');
        unsigned long n = mysql_real_escape_string(db_, out.data(), v.s.data(), (unsigned long)v.s.size());
        out.resize(n);
        return "'" + out + "'";
      }
    }
  }

  // Puts the parameters in place of the "?" markers outside quoted texts.
  std::string Fill(const std::string& sql, const std::vector<Variant>& params) {
    if (params.empty()) return sql;
    std::string out;
    size_t next = 0;
    char quote = 0;
    for (size_t i = 0; i < sql.size(); ++i) {
      char c = sql[i];
      if (quote) {
        out += c;
        if (c == '\\' && i + 1 < sql.size()) out += sql[++i];
        else if (c == quote) quote = 0;
        continue;
      }
      if (c == '\'' || c == '"' || c == '`') {
        quote = c;
        out += c;
        continue;
      }
      if (c == '?') {
        if (next >= params.size()) Raise(kErrorsInCommand, kSource, "No value given for one or more required parameters.");
        out += Literal(params[next++]);
        continue;
      }
      out += c;
    }
    if (next != params.size()) Raise(kErrorsInCommand, kSource, "More parameter values than markers.");
    return out;
  }

  // The WHERE condition of a single-table SELECT (without ORDER BY or
  // LIMIT), or "".
  static std::string Condition(const std::string& sql) {
    const std::string upper = cdxtext::Upper(sql);
    // Outside quoted texts.
    size_t where = std::string::npos, end = sql.size();
    char quote = 0;
    for (size_t i = 0; i < upper.size(); ++i) {
      char c = upper[i];
      if (quote) {
        if (c == '\\') ++i;
        else if (c == quote) quote = 0;
        continue;
      }
      if (c == '\'' || c == '"' || c == '`') {
        quote = c;
        continue;
      }
      auto word = [&](const char* w) {
        size_t n = std::strlen(w);
        return upper.compare(i, n, w) == 0 && (i == 0 || !std::isalnum((unsigned char)upper[i - 1])) &&
               (i + n >= upper.size() || !std::isalnum((unsigned char)upper[i + n]));
      };
      if (where == std::string::npos && word("WHERE")) where = i + 5;
      else if (where != std::string::npos && (word("ORDER") || word("LIMIT") || word("GROUP"))) {
        end = i;
        break;
      }
    }
    if (where == std::string::npos) return "";
    return sql.substr(where, end - where);
  }

  std::string Where(const std::vector<std::string>& names, const std::vector<Variant>& original,
                    const std::string& condition = "") {
    // Floating columns are left out of the match: their text form need not
    // compare equal to the stored value.
    std::string w = condition.empty() ? "" : " WHERE (" + condition + ")";
    for (size_t i = 0; i < names.size(); ++i) {
      if (original[i].vt == VT_R4 || original[i].vt == VT_R8) continue;
      w += (w.empty() ? " WHERE `" : " AND `") + names[i] + "` <=> " + Literal(original[i]);
    }
    return w;
  }

  static Variant Value(const MYSQL_FIELD& f, const char* data, unsigned long length) {
    if (!data) return Variant::Null();
    std::string t(data, length);
    switch (f.type) {
      case MYSQL_TYPE_TINY: case MYSQL_TYPE_SHORT: case MYSQL_TYPE_LONG: case MYSQL_TYPE_INT24:
      case MYSQL_TYPE_LONGLONG: case MYSQL_TYPE_YEAR:
        return Variant::Int(std::strtoll(t.c_str(), nullptr, 10));
      case MYSQL_TYPE_FLOAT: return Variant::Real(std::strtof(t.c_str(), nullptr));
      case MYSQL_TYPE_DOUBLE: case MYSQL_TYPE_DECIMAL: case MYSQL_TYPE_NEWDECIMAL:
        return Variant::Double(std::strtod(t.c_str(), nullptr));
      case MYSQL_TYPE_DATETIME: case MYSQL_TYPE_TIMESTAMP: case MYSQL_TYPE_DATE: {
        double d;
        if (TextToOleDate(t, &d)) return Variant::Date(d);
        return Variant::Null();  // a zero date
      }
      default:
        if (f.charsetnr == 63 && (f.type == MYSQL_TYPE_BLOB || f.type == MYSQL_TYPE_VAR_STRING ||
                                  f.type == MYSQL_TYPE_STRING))
          return Variant::Bytes(t);
        return Variant::Text(t);
    }
  }

  MYSQL* db_ = nullptr;
};

}  // namespace

std::unique_ptr<Provider> MakeMariaDbProvider(const ConnectionString& cs, bool create) {
  return std::make_unique<MariaDbProvider>(cs, create);
}

}  // namespace ado
