// The SQLite provider: stands in for the Jet provider. "Data Source" names
// the database file (opened, never created, unless a new database is asked
// for). The statements of the log stores are written for Jet and SQL Server;
// a small fixed rewrite makes them SQLite's:
//   SELECT TOP n ...                      -> SELECT ... LIMIT n
//   { ts 'yyyy-mm-dd hh:mm:ss.fff' }      -> 'yyyy-mm-dd hh:mm:ss'
//   #mm/dd/yyyy hh:mm:ss#                 -> 'yyyy-mm-dd hh:mm:ss'
//   CREATE INDEX X ON t (...)             -> CREATE INDEX t_X ON t (...)  (index names are per table)
//   ALTER TABLE t ADD CONSTRAINT X PRIMARY KEY (...) -> CREATE UNIQUE INDEX t_X ON t (...)
// and, for Jet's reach into other database files:
//   <table> IN '<file>' (after FROM or INTO, or "INSERT INTO t (...) IN '<file>'")
//                                         -> <alias>.<table>, the file attached under
//                                            that alias (the connection's own file:
//                                            the table itself)
//   SELECT [DISTINCT] * INTO t FROM ...   -> CREATE TABLE t (the selection's columns
//                                            and declared types) + INSERT INTO t SELECT ...
//   SELECT list INTO t FROM ...           -> CREATE TABLE t AS SELECT list FROM ...
//   SET IDENTITY_INSERT t ON|OFF          -> nothing (explicit key values are always taken)
// A "{ ts }" literal written with slashes is refused, as is TOP when the
// connection string says "Top=No" (to try the stores' fallbacks).
// Dates are stored as the text 'YYYY-MM-DD HH:MM:SS'; texts as UTF-8.
// std::regex instantiations trip a false maybe-uninitialized warning of g++ 12.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
// g++ 12 at -O2 warns falsely (-Wrestrict) on string concatenations.
#pragma GCC diagnostic ignored "-Wrestrict"
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <cstdio>
#include <cstring>
#include <regex>
#include <vector>

#include "cdxlib/sys/textutil.h"
#include "logdb/ado/ado.h"

namespace ado {
namespace {

constexpr const char* kSource = "Microsoft JET Database Engine";

using cdxtext::Upper;

// Replaces { ts '...' } and #...# literals, outside quoted texts.
std::string RewriteLiterals(const std::string& sql) {
  std::string out;
  out.reserve(sql.size());
  for (size_t i = 0; i < sql.size(); ++i) {
    char c = sql[i];
    if (c == '\'') {
      size_t j = i + 1;
      while (j < sql.size()) {
        if (sql[j] == '\'') {
          if (j + 1 < sql.size() && sql[j + 1] == '\'') { j += 2; continue; }
          break;
        }
        ++j;
      }
      out.append(sql, i, j - i + 1);
      i = j;
      continue;
    }
    if (c == '{') {
      static const std::regex ts(R"(^\{\s*ts\s*'([^']*)'\s*\})", std::regex::icase);
      std::smatch m;
      std::string rest = sql.substr(i, 80);
      if (std::regex_search(rest, m, ts)) {
        std::string lit = m[1];
        if (lit.find('/') != std::string::npos)
          Raise(kErrorsInCommand, kSource, "Syntax error in date in query expression '{ ts '" + lit + "' }'.");
        double d;
        if (!TextToOleDate(lit, &d))
          Raise(kErrorsInCommand, kSource, "Syntax error in date in query expression '" + lit + "'.");
        out += "'" + OleDateToText(d) + "'";
        i += m.length(0) - 1;
        continue;
      }
    }
    if (c == '#') {
      static const std::regex jet(R"(^#(\d{1,2})/(\d{1,2})/(\d{4})(?:\s+(\d{1,2}):(\d{1,2}):(\d{1,2}))?#)");
      std::smatch m;
      std::string rest = sql.substr(i, 40);
      if (std::regex_search(rest, m, jet)) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%s-%s-%s %s:%s:%s", m[3].str().c_str(), m[1].str().c_str(),
                      m[2].str().c_str(), m[4].matched ? m[4].str().c_str() : "0",
                      m[5].matched ? m[5].str().c_str() : "0", m[6].matched ? m[6].str().c_str() : "0");
        double d;
        if (!TextToOleDate(buf, &d)) Raise(kErrorsInCommand, kSource, "Syntax error in date in query expression.");
        out += "'" + OleDateToText(d) + "'";
        i += m.length(0) - 1;
        continue;
      }
    }
    out += c;
  }
  return out;
}

std::string Rewrite(const std::string& input, bool allowTop) {
  std::string sql = RewriteLiterals(input);
  static const std::regex top(R"(^\s*SELECT\s+TOP\s+(\d+)\s+)", std::regex::icase);
  std::smatch m;
  if (std::regex_search(sql, m, top)) {
    if (!allowTop) Raise(kErrorsInCommand, kSource, "Syntax error in query: TOP is not supported.");
    std::string n = m[1];
    std::string rest = sql.substr(m.length(0));
    while (!rest.empty() && (rest.back() == ';' || std::isspace((unsigned char)rest.back()))) rest.pop_back();
    return "SELECT " + rest + " LIMIT " + n;
  }
  static const std::regex index("^\\s*CREATE\\s+(UNIQUE\\s+)?INDEX\\s+([\\w\x80-\xff]+)\\s+ON\\s+([\\w\x80-\xff]+)",
                                std::regex::icase);
  if (std::regex_search(sql, m, index))
    return "CREATE " + m[1].str() + "INDEX " + m[3].str() + "_" + m[2].str() + " ON " + m[3].str() +
           sql.substr(m.length(0));
  static const std::regex pk(
      "^\\s*ALTER\\s+TABLE\\s+([\\w\x80-\xff]+)\\s+ADD\\s+CONSTRAINT\\s+([\\w\x80-\xff]+)\\s+PRIMARY\\s+KEY\\s*(\\(.*\\))\\s*;?\\s*$",
                             std::regex::icase);
  if (std::regex_search(sql, m, pk))
    return "CREATE UNIQUE INDEX " + m[1].str() + "_" + m[2].str() + " ON " + m[1].str() + " " + m[3].str();
  return sql;
}

bool IsWordChar(char c) { return std::isalnum((unsigned char)c) || c == '_' || c == '$' || (unsigned char)c >= 0x80; }

// The end of the quoted text that starts at `i` (its closing quote), or npos.
size_t QuoteEnd(const std::string& sql, size_t i) {
  char q = sql[i];
  for (size_t j = i + 1; j < sql.size(); ++j) {
    if (sql[j] != q) continue;
    if (j + 1 < sql.size() && sql[j + 1] == q) {
      ++j;
      continue;
    }
    return j;
  }
  return std::string::npos;
}

// One "<table> IN <file>" of a statement: where the table name starts, where
// " IN <file>" starts and ends, and the file.
struct InReference {
  size_t table, from, to;
  std::string file;
};

// The "IN <file>" references of a statement, outside quoted texts ("x IN
// (...)" and "x IN ?" are lists, not files).
std::vector<InReference> FindInReferences(const std::string& sql) {
  std::vector<InReference> out;
  for (size_t i = 0; i < sql.size(); ++i) {
    char c = sql[i];
    if (c == '\'' || c == '"') {
      size_t e = QuoteEnd(sql, i);
      if (e == std::string::npos) break;
      i = e;
      continue;
    }
    if ((c != 'I' && c != 'i') || i + 2 >= sql.size() || (sql[i + 1] != 'N' && sql[i + 1] != 'n') ||
        !std::isspace((unsigned char)sql[i + 2]) || i == 0 || !std::isspace((unsigned char)sql[i - 1]))
      continue;
    size_t f = i + 2;
    while (f < sql.size() && std::isspace((unsigned char)sql[f])) ++f;
    if (f >= sql.size() || sql[f] == '(' || sql[f] == '?') continue;
    InReference ref{};
    if (sql[f] == '\'' || sql[f] == '"') {
      size_t e = QuoteEnd(sql, f);
      if (e == std::string::npos) continue;
      std::string raw = sql.substr(f + 1, e - f - 1);
      std::string doubled(2, sql[f]);
      for (size_t at = raw.find(doubled); at != std::string::npos; at = raw.find(doubled, at + 1)) raw.erase(at, 1);
      ref.file = raw;
      ref.to = e + 1;
    } else {
      size_t e = f;
      while (e < sql.size() && !std::isspace((unsigned char)sql[e]) && sql[e] != ';' && sql[e] != ')') ++e;
      ref.file = sql.substr(f, e - f);
      ref.to = e;
    }
    // The table the reference belongs to: the name just before, or the
    // target of "INSERT INTO t (columns) IN <file>".
    size_t b = i - 1;
    while (b > 0 && std::isspace((unsigned char)sql[b])) --b;
    if (sql[b] == ')') {
      int depth = 0;
      for (;; --b) {
        if (sql[b] == ')') ++depth;
        if (sql[b] == '(' && --depth == 0) break;
        if (b == 0) break;
      }
      if (b == 0) continue;
      --b;
      while (b > 0 && std::isspace((unsigned char)sql[b])) --b;
    }
    if (!IsWordChar(sql[b])) continue;
    size_t start = b;
    while (start > 0 && IsWordChar(sql[start - 1])) --start;
    ref.table = start;
    ref.from = i - 1;
    out.push_back(ref);
    i = ref.to - 1;
  }
  return out;
}

// The table of a plain "SELECT list FROM table [WHERE|ORDER ...]", or "".
std::string SingleTable(const std::string& sql, size_t* fromPos, size_t* listLength = nullptr) {
  // Table names may hold letters beyond ASCII (UTF-8 bytes here).
  static const std::regex single(
      "^\\s*SELECT\\s+(.*?)\\s+FROM\\s+([A-Za-z_\x80-\xff][\\w$\x80-\xff]*)\\s*(WHERE\\b.*|ORDER\\b.*|LIMIT\\b.*|;)?\\s*$",
      std::regex::icase);
  std::smatch m;
  if (!std::regex_search(sql, m, single)) return "";
  std::string list = Upper(m[1]);
  if (list.find("DISTINCT") != std::string::npos || list.find("COUNT(") != std::string::npos ||
      list.find("MAX(") != std::string::npos || list.find("MIN(") != std::string::npos)
    return "";
  std::string rest = Upper(m[3]);
  if (rest.find(" GROUP ") != std::string::npos || rest.find(" JOIN ") != std::string::npos) return "";
  *fromPos = size_t(m.position(1));
  if (listLength) *listLength = size_t(m.length(1));
  return m[2];
}

class SqliteProvider final : public Provider {
 public:
  SqliteProvider(const ConnectionString& cs, bool create) {
    path_ = cs.Get({"Data Source", "DataSource", "Database"});
    allowTop_ = Upper(cs.Get({"Top"})) != "NO";
    if (path_.empty()) Raise(kEFail, kSource, "Could not find installable ISAM.");
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
    if (create) {
      // Catalog Create makes a new database: an existing file is refused.
      if (FILE* f = std::fopen(path_.c_str(), "rb")) {
        std::fclose(f);
        Raise(kEFail, kSource, "Database already exists.");
      }
    }
    int rc = sqlite3_open_v2(path_.c_str(), &db_, flags, nullptr);
    if (rc != SQLITE_OK) {
      std::string msg = db_ ? sqlite3_errmsg(db_) : "out of memory";
      sqlite3_close(db_);
      db_ = nullptr;
      Raise(kEFail, kSource, "Could not find file '" + path_ + "': " + msg + ".");
    }
    sqlite3_busy_timeout(db_, 30000);
    Exec("PRAGMA journal_mode=WAL");
    Exec("PRAGMA synchronous=NORMAL");
  }
  ~SqliteProvider() override {
    for (auto& [sql, st] : inserts_) sqlite3_finalize(st);
    *alive_ = false;
    sqlite3_close_v2(db_);  // kept statements of row sources still out close it later
  }

  const char* Source() const override { return kSource; }

  ResultSet Run(const std::string& input, const std::vector<Variant>& params, bool wantKeys) override {
    std::string sql = MapInReferences(Rewrite(Cp1252ToUtf8(input), allowTop_));
    // The Jet forms are short statements: long ones (a wide run's columns)
    // are not matched against them at all.
    const std::string head = Upper(sql.substr(0, 512));
    if (sql.size() < 4096 && head.find("IDENTITY_INSERT") != std::string::npos) {
      static const std::regex identity(R"(^\s*SET\s+IDENTITY_INSERT\s+\S+\s+(ON|OFF)\s*;?\s*$)", std::regex::icase);
      if (std::regex_search(sql, identity)) return ResultSet{};
    }
    if (sql.size() < 4096 && head.find(" INTO ") != std::string::npos && head.find("INSERT") == std::string::npos) {
      static const std::regex into(
          R"(^\s*SELECT\s+(DISTINCT\s+)?([\s\S]+?)\s+INTO\s+([\w$.\x80-\xff]+)\s+FROM\s+([\s\S]+?)[\s;]*$)",
          std::regex::icase);
      std::smatch m;
      if (std::regex_search(sql, m, into)) return SelectInto(m[1].matched, m[2], m[3], m[4], params);
    }
    ResultSet r;
    size_t fromPos = 0, listLength = 0;
    std::string table = SingleTable(sql, &fromPos, &listLength);
    if (!table.empty() && !wantKeys && params.empty()) return Keyset(sql, table, fromPos, listLength);
    bool keyed = false;
    if (!table.empty()) {
      r.table = Utf8ToCp1252(table);  // the layer's texts are Windows-1252
      r.updatable = true;
      if (wantKeys) {
        sql.insert(fromPos, "_rowid_, ");
        keyed = true;
      }
    }
    sqlite3_stmt* st = Prepare(sql);
    Bind(st, params);
    int rc = sqlite3_step(st);
    int cols = sqlite3_column_count(st);
    if (cols > 0) {
      r.hasRows = true;
      for (int c = keyed ? 1 : 0; c < cols; ++c) r.names.push_back(Utf8ToCp1252(sqlite3_column_name(st, c)));
      while (rc == SQLITE_ROW) {
        std::vector<Variant> row;
        row.reserve(cols);
        if (keyed) r.keys.push_back(sqlite3_column_int64(st, 0));
        for (int c = keyed ? 1 : 0; c < cols; ++c) row.push_back(Column(st, c));
        r.rows.push_back(std::move(row));
        rc = sqlite3_step(st);
      }
    }
    if (rc != SQLITE_DONE) Fail(st);
    r.affected = sqlite3_changes(db_);
    sqlite3_finalize(st);
    if (!keyed) r.updatable = false;
    return r;
  }

  // A read-only selection of one table: its row ids now, each row when it
  // is visited (a log's data can have millions of rows).
  ResultSet Keyset(const std::string& sql, const std::string& table, size_t listAt, size_t listLength) {
    ResultSet r;
    r.hasRows = true;
    r.table = Utf8ToCp1252(table);  // the layer's texts are Windows-1252
    sqlite3_stmt* shape = Prepare(sql);
    int cols = sqlite3_column_count(shape);
    for (int c = 0; c < cols; ++c) r.names.push_back(Utf8ToCp1252(sqlite3_column_name(shape, c)));
    sqlite3_finalize(shape);
    auto source = std::make_shared<Rows>(db_, alive_);
    std::string keys = sql.substr(0, listAt) + "_rowid_" + sql.substr(listAt + listLength);
    sqlite3_stmt* st = Prepare(keys);
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) source->keys.push_back(sqlite3_column_int64(st, 0));
    if (rc != SQLITE_DONE) Fail(st);
    sqlite3_finalize(st);
    std::string fetch = "SELECT " + sql.substr(listAt, listLength) + " FROM " + table + " WHERE _rowid_ = ?";
    source->fetch = Prepare(fetch);
    r.lazy = std::move(source);
    return r;
  }

  // "SELECT ... INTO target FROM rest": the target made with the
  // selection's columns, then filled, both or neither.
  ResultSet SelectInto(bool distinct, const std::string& list, const std::string& target, const std::string& rest,
                       const std::vector<Variant>& params) {
    std::string select = std::string("SELECT ") + (distinct ? "DISTINCT " : "") + list + " FROM " + rest;
    std::string create;
    if (list == "*") {
      sqlite3_stmt* shape = Prepare(select);
      create = "CREATE TABLE " + target + " (";
      for (int c = 0; c < sqlite3_column_count(shape); ++c) {
        const char* type = sqlite3_column_decltype(shape, c);
        create += (c ? ", " : "") + Quote(sqlite3_column_name(shape, c)) + (type ? std::string(" ") + type : "");
      }
      create += ")";
      sqlite3_finalize(shape);
    } else {
      create = "CREATE TABLE " + target + " AS " + select + " LIMIT 0";
    }
    RunPrepared("SAVEPOINT select_into", {});
    try {
      RunPrepared(create, {});
      sqlite3_stmt* st = Prepare("INSERT INTO " + target + " " + select);
      Bind(st, params);
      int rc = sqlite3_step(st);
      if (rc != SQLITE_DONE) Fail(st);
      sqlite3_finalize(st);
    } catch (const ComError&) {
      Exec("ROLLBACK TO select_into");
      Exec("RELEASE select_into");
      throw;
    }
    ResultSet r;
    r.affected = sqlite3_changes(db_);
    RunPrepared("RELEASE select_into", {});
    return r;
  }

  // Each "<table> IN <file>" becomes the table of that file, attached to
  // this connection (once) under an alias of its own.
  std::string MapInReferences(std::string sql) {
    if (Upper(sql).find(" IN ") == std::string::npos) return sql;
    std::vector<InReference> refs = FindInReferences(sql);
    for (auto it = refs.rbegin(); it != refs.rend(); ++it) {
      std::string alias = AliasOf(it->file);
      sql.erase(it->from, it->to - it->from);
      if (!alias.empty()) sql.insert(it->table, alias + ".");
    }
    return sql;
  }

  // "" for this connection's own file; else the alias the file is attached
  // under. A file that does not exist is not made.
  std::string AliasOf(const std::string& file) {
    struct stat want, own;
    if (file.empty()) return "";
    if (stat(file.c_str(), &want) != 0) Raise(kEFail, kSource, "Could not find file '" + Utf8ToCp1252(file) + "'.");
    if (stat(path_.c_str(), &own) == 0 && own.st_dev == want.st_dev && own.st_ino == want.st_ino) return "";
    std::string id = std::to_string(uint64_t(want.st_dev)) + ":" + std::to_string(uint64_t(want.st_ino));
    auto found = attached_.find(id);
    if (found != attached_.end()) return found->second;
    std::string alias = "db" + std::to_string(attached_.size() + 1);
    RunPrepared("ATTACH DATABASE ? AS " + alias, {Variant::Text(Utf8ToCp1252(file))});
    attached_[id] = alias;
    return alias;
  }

  // "INSERT INTO <table> (<names>) VALUES (?, ...)", or DEFAULT VALUES.
  static std::string InsertSql(const std::string& table, const std::vector<std::string>& names) {
    std::string sql = "INSERT INTO " + table;
    if (names.empty()) return sql + " DEFAULT VALUES";
    sql += " (";
    for (size_t i = 0; i < names.size(); ++i) sql += (i ? ", " : "") + Quote(names[i]);
    sql += ") VALUES (";
    for (size_t i = 0; i < names.size(); ++i) sql += i ? ", ?" : "?";
    return sql + ")";
  }

  int64_t InsertRow(const std::string& table, const std::vector<std::string>& names,
                    const std::vector<Variant>& values) override {
    const std::string sql = InsertSql(table, names);
    // Rows of one shape are added again and again (a log's records): the
    // statement is prepared once and kept.
    sqlite3_stmt*& st = inserts_[sql];
    if (!st) {
      st = Prepare(Cp1252ToUtf8(sql));
    } else {
      sqlite3_reset(st);
      sqlite3_clear_bindings(st);
    }
    if (!BindKept(st, values)) FailKept(sql);
    int rc = sqlite3_step(st);
    if (rc != SQLITE_DONE) FailKept(sql);
    sqlite3_reset(st);
    return sqlite3_last_insert_rowid(db_);
  }

  // The insert of one row shape, prepared once: a log's records are added
  // by the thousand, and neither the text nor its lookup is paid per row.
  class KeptInsert final : public PreparedInsert {
   public:
    KeptInsert(SqliteProvider* p, sqlite3_stmt* st) : provider_(p), alive_(p->alive_), st_(st) {}
    ~KeptInsert() override { sqlite3_finalize(st_); }
    int64_t Run(const std::vector<Variant>& row, const std::vector<int>& columns) override {
      if (!*alive_) Raise(kObjectClosed, kSource, "Operation is not allowed when the object is closed.");
      sqlite3_reset(st_);
      bool bound = sqlite3_bind_parameter_count(st_) == int(columns.size());
      for (size_t i = 0; bound && i < columns.size(); ++i)
        bound = provider_->BindOne(st_, int(i), row[size_t(columns[i])]) == SQLITE_OK;
      int rc = bound ? sqlite3_step(st_) : SQLITE_MISUSE;
      if (rc != SQLITE_DONE) {
        std::string msg = Utf8ToCp1252(sqlite3_errmsg(provider_->db_));
        int code = sqlite3_extended_errcode(provider_->db_);
        sqlite3_reset(st_);
        Raise((code & 0xFF) == SQLITE_CONSTRAINT ? kIntegrityViolation : kEFail, kSource, msg);
      }
      sqlite3_reset(st_);
      return sqlite3_last_insert_rowid(provider_->db_);
    }

   private:
    SqliteProvider* provider_;
    std::shared_ptr<bool> alive_;
    sqlite3_stmt* st_;
  };

  std::unique_ptr<PreparedInsert> PrepareInsert(const std::string& table,
                                                const std::vector<std::string>& names) override {
    const std::string sql = InsertSql(table, names);
    return std::make_unique<KeptInsert>(this, Prepare(Cp1252ToUtf8(sql)));
  }

  void Begin() override { RunPrepared("BEGIN", {}); }
  void Commit() override { RunPrepared("COMMIT", {}); }
  void Rollback() override {
    // A transaction SQLite already undid (after a failed statement) is no error.
    if (!sqlite3_get_autocommit(db_)) RunPrepared("ROLLBACK", {});
  }

  void UpdateRow(const std::string& table, int64_t key, const std::vector<std::string>& names,
                 const std::vector<Variant>&, const std::vector<int>& changed,
                 const std::vector<Variant>& values) override {
    if (changed.empty()) return;
    std::string sql = "UPDATE " + table + " SET ";
    std::vector<Variant> bound;
    for (size_t i = 0; i < changed.size(); ++i) {
      sql += (i ? ", " : "") + Quote(names[changed[i]]) + " = ?";
      bound.push_back(values[changed[i]]);
    }
    sql += " WHERE _rowid_ = ?";
    bound.push_back(Variant::Int(key));
    RunPrepared(Cp1252ToUtf8(sql), bound);
  }

  void DeleteRow(const std::string& table, int64_t key, const std::vector<std::string>&,
                 const std::vector<Variant>&) override {
    RunPrepared(Cp1252ToUtf8("DELETE FROM " + table + " WHERE _rowid_ = ?"), {Variant::Int(key)});
  }

  std::vector<std::string> Tables() override {
    ResultSet r = Run("SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite_%'", {}, false);
    r.Materialize();
    std::vector<std::string> out;
    for (auto& row : r.rows) out.push_back(row[0].s);
    return out;
  }

  void CreateTable(const std::string& name, const std::vector<ColumnDef>& columns) override {
    std::string sql = "CREATE TABLE " + name + " (";
    for (size_t i = 0; i < columns.size(); ++i) {
      const ColumnDef& c = columns[i];
      sql += (i ? ", " : "") + Quote(c.name) + " ";
      if (c.autoIncrement)
        sql += "INTEGER PRIMARY KEY AUTOINCREMENT";
      else
        sql += c.type + (c.size > 0 ? "(" + std::to_string(c.size) + ")" : "");
    }
    sql += ")";
    RunPrepared(Cp1252ToUtf8(sql), {});
  }

 private:
  static std::string Quote(const std::string& name) {
    std::string q = "\"";
    for (char c : name) q += c == '"' ? std::string("\"\"") : std::string(1, c);
    return q + "\"";
  }

  void Exec(const char* sql) { sqlite3_exec(db_, sql, nullptr, nullptr, nullptr); }

  // A kept statement that failed is dropped (it is prepared again next time).
  [[noreturn]] void FailKept(const std::string& sql) {
    auto it = inserts_.find(sql);
    sqlite3_stmt* st = it == inserts_.end() ? nullptr : it->second;
    if (it != inserts_.end()) inserts_.erase(it);
    Fail(st);
  }

  bool BindKept(sqlite3_stmt* st, const std::vector<Variant>& params) {
    if (sqlite3_bind_parameter_count(st) != int(params.size())) return false;
    for (int i = 0; i < int(params.size()); ++i)
      if (BindOne(st, i, params[i]) != SQLITE_OK) return false;
    return true;
  }

  int BindOne(sqlite3_stmt* st, int i, const Variant& v) {
    switch (v.vt) {
      case VT_EMPTY: case VT_NULL: return sqlite3_bind_null(st, i + 1);
      case VT_I2: case VT_I4: case VT_I8: return sqlite3_bind_int64(st, i + 1, v.i);
      case VT_BOOL: return sqlite3_bind_int64(st, i + 1, v.i ? -1 : 0);
      case VT_R4: case VT_R8: return sqlite3_bind_double(st, i + 1, v.d);
      case VT_DATE: {
        std::string t = OleDateToText(v.d);
        return sqlite3_bind_text(st, i + 1, t.c_str(), int(t.size()), SQLITE_TRANSIENT);
      }
      case VT_BYTES: return sqlite3_bind_blob(st, i + 1, v.s.data(), int(v.s.size()), SQLITE_TRANSIENT);
      default: {
        if (std::all_of(v.s.begin(), v.s.end(), [](char c) { return (unsigned char)c < 0x80; }))
          return sqlite3_bind_text(st, i + 1, v.s.c_str(), int(v.s.size()), SQLITE_TRANSIENT);
        std::string t = Cp1252ToUtf8(v.s);
        return sqlite3_bind_text(st, i + 1, t.c_str(), int(t.size()), SQLITE_TRANSIENT);
      }
    }
  }

  [[noreturn]] void Fail(sqlite3_stmt* st) {
    int code = sqlite3_extended_errcode(db_);
    std::string msg = Utf8ToCp1252(sqlite3_errmsg(db_));
    if (st) sqlite3_finalize(st);
    int32_t hr = kErrorsInCommand;
    if ((code & 0xFF) == SQLITE_CONSTRAINT)
      hr = kIntegrityViolation;
    else if ((code & 0xFF) == SQLITE_BUSY || (code & 0xFF) == SQLITE_LOCKED || (code & 0xFF) == SQLITE_IOERR ||
             (code & 0xFF) == SQLITE_CANTOPEN || (code & 0xFF) == SQLITE_READONLY || (code & 0xFF) == SQLITE_FULL)
      hr = kEFail;
    else if (msg.rfind("no such table", 0) == 0)
      hr = kNoSuchTable;
    Raise(hr, kSource, msg);
  }

  sqlite3_stmt* Prepare(const std::string& sql) {
    sqlite3_stmt* st = nullptr;
    const char* tail = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), int(sql.size()), &st, &tail) != SQLITE_OK) Fail(st);
    if (!st) Raise(kErrorsInCommand, kSource, "Invalid SQL statement; expected 'DELETE', 'INSERT', 'PROCEDURE', "
                                              "'SELECT', or 'UPDATE'.");
    // One statement per command: a second one after the first is an error.
    if (tail) {
      while (*tail && (std::isspace((unsigned char)*tail) || *tail == ';')) ++tail;
      if (*tail) {
        sqlite3_finalize(st);
        Raise(kErrorsInCommand, kSource, "Characters found after end of SQL statement.");
      }
    }
    return st;
  }

  void Bind(sqlite3_stmt* st, const std::vector<Variant>& params) {
    int n = sqlite3_bind_parameter_count(st);
    if (n != int(params.size())) {
      sqlite3_finalize(st);
      Raise(kErrorsInCommand, kSource, "No value given for one or more required parameters.");
    }
    for (int i = 0; i < n; ++i) {
      const Variant& v = params[i];
      int rc;
      switch (v.vt) {
        case VT_EMPTY: case VT_NULL: rc = sqlite3_bind_null(st, i + 1); break;
        case VT_I2: case VT_I4: case VT_I8: rc = sqlite3_bind_int64(st, i + 1, v.i); break;
        case VT_BOOL: rc = sqlite3_bind_int64(st, i + 1, v.i ? -1 : 0); break;
        case VT_R4: case VT_R8: rc = sqlite3_bind_double(st, i + 1, v.d); break;
        case VT_DATE: {
          std::string t = OleDateToText(v.d);
          rc = sqlite3_bind_text(st, i + 1, t.c_str(), int(t.size()), SQLITE_TRANSIENT);
          break;
        }
        case VT_BYTES: rc = sqlite3_bind_blob(st, i + 1, v.s.data(), int(v.s.size()), SQLITE_TRANSIENT); break;
        default: {
          std::string t = Cp1252ToUtf8(v.s);
          rc = sqlite3_bind_text(st, i + 1, t.c_str(), int(t.size()), SQLITE_TRANSIENT);
          break;
        }
      }
      if (rc != SQLITE_OK) Fail(st);
    }
  }

  void RunPrepared(const std::string& sql, const std::vector<Variant>& params) {
    sqlite3_stmt* st = Prepare(sql);
    Bind(st, params);
    int rc = sqlite3_step(st);
    while (rc == SQLITE_ROW) rc = sqlite3_step(st);
    if (rc != SQLITE_DONE) Fail(st);
    sqlite3_finalize(st);
  }

  static Variant Column(sqlite3_stmt* st, int c) {
    int type = sqlite3_column_type(st, c);
    const char* declared = sqlite3_column_decltype(st, c);
    std::string decl = declared ? Upper(declared) : "";
    bool dateCol = decl.find("DATE") != std::string::npos || decl.find("TIME") != std::string::npos;
    switch (type) {
      case SQLITE_NULL: return Variant::Null();
      case SQLITE_INTEGER: {
        int64_t x = sqlite3_column_int64(st, c);
        if (decl.rfind("REAL", 0) == 0) return Variant::Real(float(x));
        if (decl.rfind("FLOAT", 0) == 0 || decl.rfind("DOUBLE", 0) == 0) return Variant::Double(double(x));
        return Variant::Int(x);
      }
      case SQLITE_FLOAT: {
        double x = sqlite3_column_double(st, c);
        if (decl.rfind("REAL", 0) == 0) return Variant::Real(float(x));
        return Variant::Double(x);
      }
      case SQLITE_BLOB:
        return Variant::Bytes(std::string((const char*)sqlite3_column_blob(st, c), size_t(sqlite3_column_bytes(st, c))));
      default: {
        std::string t((const char*)sqlite3_column_text(st, c), size_t(sqlite3_column_bytes(st, c)));
        double d;
        if (dateCol && TextToOleDate(t, &d)) return Variant::Date(d);
        return Variant::Text(Utf8ToCp1252(t));
      }
    }
  }

  // The rows of a keyset, fetched by row id.
  struct Rows final : RowSource {
    Rows(sqlite3* db, std::shared_ptr<bool> alive) : db(db), alive(std::move(alive)) {}
    ~Rows() override { sqlite3_finalize(fetch); }
    size_t Count() const override { return keys.size(); }
    std::vector<Variant> Fetch(size_t index) override {
      if (!*alive) Raise(kObjectClosed, kSource, "Operation is not allowed when the object is closed.");
      if (index >= keys.size()) Raise(kBofOrEof, kSource, "Either BOF or EOF is True.");
      sqlite3_reset(fetch);
      sqlite3_bind_int64(fetch, 1, keys[index]);
      int rc = sqlite3_step(fetch);
      if (rc == SQLITE_DONE) {
        sqlite3_reset(fetch);
        Raise(kBofOrEof, kSource, "The current record has been deleted.");
      }
      if (rc != SQLITE_ROW) {
        std::string msg = Utf8ToCp1252(sqlite3_errmsg(db));
        sqlite3_reset(fetch);
        Raise(kEFail, kSource, msg);
      }
      std::vector<Variant> row;
      int cols = sqlite3_column_count(fetch);
      row.reserve(size_t(cols));
      for (int c = 0; c < cols; ++c) row.push_back(Column(fetch, c));
      sqlite3_reset(fetch);
      return row;
    }
    sqlite3* db;
    std::shared_ptr<bool> alive;
    std::vector<int64_t> keys;
    sqlite3_stmt* fetch = nullptr;
  };

  std::string path_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  std::map<std::string, sqlite3_stmt*> inserts_;
  std::map<std::string, std::string> attached_;  // file identity -> alias
  bool allowTop_ = true;
  sqlite3* db_ = nullptr;
};

}  // namespace

std::unique_ptr<Provider> MakeSqliteProvider(const ConnectionString& cs, bool create) {
  return std::make_unique<SqliteProvider>(cs, create);
}

}  // namespace ado
