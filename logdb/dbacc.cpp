#include "logdb/dbacc.h"

#include <cctype>
#include <cstring>

#include "cdxlib/sys/debugtrace.h"
#include "logdb/dbdataacc.h"

namespace {
bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::toupper((unsigned char)a[i]) != std::toupper((unsigned char)b[i])) return false;
  return true;
}
// Runs one catalog operation: an error of the access layer is kept as the
// last error text; it and any other exception give `failure`.
template <typename Body>
int Guarded(char* lastError, int failure, Body body) {
  try {
    return body();
  } catch (const ado::ComError& e) {
    ReportComErrorTo(e, lastError);
    return failure;
  } catch (...) {
    return failure;
  }
}
}  // namespace

CLogITDbAcc::CLogITDbAcc() {
  std::lock_guard<std::recursive_mutex> g(lock_);
  catalog_ = std::make_unique<ado::Catalog>();
  table_ = std::make_unique<Table>();
}

void CLogITDbAcc::ReportComError(const ado::ComError& e) { ReportComErrorTo(e, lastError_); }

bool CLogITDbAcc::Usable() {
  if (!catalog_ || !table_) {
    open_ = false;
    return false;
  }
  return open_ && ready_;
}

void CLogITDbAcc::Flush() {
  if (table_ && !table_->inCatalog && !table_->name.empty() && !table_->columns.empty()) {
    catalog_->AppendTable(table_->name, table_->columns);
    table_->inCatalog = true;
  }
}

int CLogITDbAcc::CreateTable(const char* name, const char* const* columnNames, const char* const* types,
                             const int* sizes, int count, int autoIncrementIndex) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  if (!Usable()) return kNotUsable;
  return Guarded(lastError_, kCreateFailed, [&] {
      auto t = std::make_unique<Table>();
      t->name = name;
      for (int i = 0; i < count; ++i)
        t->columns.push_back({columnNames[i], types[i], sizes ? sizes[i] : 0, i == autoIncrementIndex});
      catalog_->AppendTable(t->name, t->columns);
      t->inCatalog = true;
      table_ = std::move(t);
      tableMade_ = true;
      return 0;
  });
}

int CLogITDbAcc::NewTable(const char* name, const char* firstColumn, const char* type, int size) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  if (!catalog_ || !table_) {
    open_ = false;
    return 1;
  }
  if (!open_ || !ready_) return 0;
  return Guarded(lastError_, kEFail, [&] {
      // The table reaches the catalog with its first further column (or at
      // once when the first column is the only one that is ever appended).
      Flush();
      auto t = std::make_unique<Table>();
      t->name = name;
      t->columns.push_back({firstColumn, type, size, true});
      catalog_->AppendTable(t->name, t->columns);
      t->inCatalog = true;
      table_ = std::move(t);
      tableMade_ = true;
      return 0;
  });
}

int CLogITDbAcc::GetTableCount(long* count) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  if (!Usable()) return 1;
  return Guarded(lastError_, 1, [&] {
      *count = catalog_->TableCount();
      return 0;
  });
}

int CLogITDbAcc::Close() {
  std::lock_guard<std::recursive_mutex> g(lock_);
  table_.reset();
  catalog_.reset();
  return 0;
}

int CLogITDbAcc::SelectTable(const char* name) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  auto t = std::make_unique<Table>();
  t->name = name ? name : "";
  t->inCatalog = true;
  table_ = std::move(t);
  return 0;
}

int CLogITDbAcc::DoNothing(const char*) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  return 0;
}

int CLogITDbAcc::TableExists(const char* name) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  if (!Usable()) return 1;
  return Guarded(lastError_, 1, [&] {
      if (!catalog_->HasTable(name)) return 1;
      auto t = std::make_unique<Table>();
      t->name = name;
      t->inCatalog = true;
      table_ = std::move(t);
      tableMade_ = true;
      return 0;
  });
}

int CLogITDbAcc::AppendColumn(const char* name, const char* type, int size) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  if (!Usable() || !tableMade_) return 1;
  try {
    if (table_->inCatalog) {
      std::string sql = "ALTER TABLE " + table_->name + " ADD " + name + " " + type;
      if (size > 0) sql += "(" + std::to_string(size) + ")";
      ado::ResultSet r;
      catalog_->connection().Execute(sql, ado::adCmdText, &r);
    }
    table_->columns.push_back({name, type, size, false});
    return 0;
  } catch (const ado::ComError& e) {
    ReportComError(e);
    return e.hresult;
  } catch (...) {
    return 1;
  }
}

int CLogITDbAcc::ExecuteSql(const char* sql) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  std::string line = std::string(sql ? sql : "") + "\r\n";
  Dbg_Log(line.c_str());
  if (!catalog_) {
    open_ = false;
    return 1;
  }
  if (!Usable()) return 1;
  return Guarded(lastError_, 1, [&] {
      ado::Connection c;
      c.ConnectionTimeout = 300;
      c.CommandTimeout = 300;
      c.Open(connection_, "", "", -1);
      c.Execute(sql ? sql : "", ado::adCmdText);
      c.Close();
      return 0;
  });
}

int CLogITDbAcc::IsNotReady() {
  std::lock_guard<std::recursive_mutex> g(lock_);
  return ready_ && open_ ? 0 : 1;
}

int CLogITDbAcc::SetReady(const char*, const char*) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  ready_ = true;
  return 0;
}

int CLogITDbAcc::OpenDatabase(const char* connectionString, const char* appended) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  std::string line = std::string(connectionString ? connectionString : "") + "\r\n";
  Dbg_Log(line.c_str());
  if (!catalog_) {
    open_ = false;
    return 1;
  }
  const int r = Guarded(lastError_, 1, [&] {
    connection_ = std::string(connectionString ? connectionString : "") + (appended ? appended : "");
    catalog_->SetActiveConnection(connection_);
    return 0;
  });
  open_ = r == 0;
  return r;
}

int CLogITDbAcc::CreateDatabase(const char* connectionString, const char* appended) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  if (!catalog_) {
    open_ = false;
    return 1;
  }
  const int r = Guarded(lastError_, 1, [&] {
    connection_ = std::string(connectionString ? connectionString : "") + (appended ? appended : "");
    catalog_->Create(connection_);
    return 0;
  });
  open_ = r == 0;
  return r;
}

int CLogITDbAcc::SetColumnProperty(const char* column, const char* property, const ado::Variant& value) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  if (!Usable() || !tableMade_ || !table_) return 1;
  return Guarded(lastError_, 1, [&] {
      for (auto& c : table_->columns) {
        if (!SameName(c.name, column)) continue;
        if (SameName(property, "AutoIncrement")) {
          if (table_->inCatalog && bool(value.AsInt()) != c.autoIncrement)
            ado::Raise(ado::kNotSupported, "ADOX.Column", "Operation is not allowed on an object in the collection.");
          c.autoIncrement = value.AsInt() != 0;
          return 0;
        }
        ado::Raise(ado::kItemNotFound, "ADOX.Column", "Item cannot be found in the collection.");
      }
      return 1;
  });
}
