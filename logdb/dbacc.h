// CLogITDbAcc: a catalog of one database (and a table being built) behind
// operations that never throw: attaching to or creating the database,
// looking tables up, building a table column by column, and running single
// statements, each on a connection of its own.
#pragma once
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "logdb/ado/ado.h"

class CLogITDbAcc {
 public:
  static constexpr int kNotUsable = int(0x80040222);
  static constexpr int kCreateFailed = int(0x80040223);
  static constexpr int kEFail = int(0x80004005);

  CLogITDbAcc();
  virtual ~CLogITDbAcc() = default;
  CLogITDbAcc(const CLogITDbAcc&) = delete;
  CLogITDbAcc& operator=(const CLogITDbAcc&) = delete;

  // Columns in array order; autoIncrementIndex names the AutoIncrement one
  // (-1 for none).
  virtual int CreateTable(const char* name, const char* const* columnNames, const char* const* types,
                          const int* sizes, int count, int autoIncrementIndex);
  virtual int NewTable(const char* name, const char* firstColumn, const char* type, int size);
  virtual int GetTableCount(long* count);
  virtual int Close();
  virtual int SelectTable(const char* name);
  virtual int DoNothing(const char* a);
  virtual int TableExists(const char* name);
  virtual int AppendColumn(const char* name, const char* type, int size);
  virtual int ExecuteSql(const char* sql);
  virtual int IsNotReady();
  virtual int SetReady(const char* a, const char* b);
  virtual int OpenDatabase(const char* connectionString, const char* appended);
  virtual int CreateDatabase(const char* connectionString, const char* appended);
  virtual int SetColumnProperty(const char* column, const char* property, const ado::Variant& value);

  const char* GetLastErrorText() const { return lastError_; }
  void ReportComError(const ado::ComError& e);

 private:
  // The table being built: its name, its columns, and whether the catalog
  // has it already.
  struct Table {
    std::string name;
    std::vector<ado::ColumnDef> columns;
    bool inCatalog = false;
  };
  bool Usable();
  // A table under construction goes to the catalog when it has columns.
  void Flush();

  std::unique_ptr<ado::Catalog> catalog_;
  std::unique_ptr<Table> table_;
  std::string connection_;
  bool open_ = false;
  bool ready_ = false;
  bool tableMade_ = false;
  std::recursive_mutex lock_;
  char lastError_[1000] = {};
};
