#include "logdb/archive.h"

#include <cctype>
#include <cstdio>

#include "cdxlib/sys/textcodec.h"
#include "cdxlib/sys/textutil.h"
#include "logdb/dbdataacc.h"

namespace arc {
namespace {

constexpr int kEFail = int(0x80004005);
const char* const kTables[4] = {"Loggers", "SavedLoggerConfig", "SavedLoggerTags", "SavedOPCServers"};

std::string Format(const char* fmt, std::initializer_list<std::string> args) {
  std::string out;
  auto it = args.begin();
  for (const char* p = fmt; *p; ++p) {
    if (p[0] == '%' && p[1] == 's') {
      if (it != args.end()) out += *it++;
      ++p;
    } else {
      out += *p;
    }
  }
  return out;
}

// The text after "key=" up to the next ';' (keys compared without case).
std::string Field(const std::string& connection, const char* key) {
  const std::string upper = cdxtext::Upper(connection), k = cdxtext::Upper(key);
  size_t at = 0;
  for (;;) {
    at = upper.find(k, at);
    if (at == std::string::npos) return "";
    bool boundary = at == 0 || upper[at - 1] == ';' || upper[at - 1] == ' ';
    size_t eq = at + k.size();
    while (eq < upper.size() && upper[eq] == ' ') ++eq;
    if (boundary && eq < upper.size() && upper[eq] == '=') {
      size_t end = connection.find(';', eq + 1);
      return connection.substr(eq + 1, end == std::string::npos ? std::string::npos : end - eq - 1);
    }
    at += k.size();
  }
}

std::string ReplaceAll(std::string s, const std::string& from, const std::string& to) {
  for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size())) s.replace(at, from.size(), to);
  return s;
}

bool TableMissing(ado::Connection* c, const std::string& table) {
  try {
    ado::ResultSet r = c->provider()->Run("SELECT * FROM " + table + " WHERE 1=0", {}, false);
    return false;
  } catch (const ado::ComError&) {
    return true;
  }
}

}  // namespace

std::string ConnDataSource(const std::string& connection) {
  std::string v = Field(connection, "Data Source");
  return v.empty() ? Field(connection, "Server") : v;
}

std::string ConnCatalog(const std::string& connection) {
  std::string v = Field(connection, "Initial Catalog");
  return v.empty() ? Field(connection, "Database") : v;
}

std::string RenameLogonKeys(std::string connection) {
  return ReplaceAll(ReplaceAll(std::move(connection), "User ID", "uid"), "Password", "pwd");
}

int RunCommand(ado::Connection* c, const std::string& sql, const std::vector<ado::Variant>& params,
               ado::ResultSet* out) {
  try {
    ado::Command cmd;
    cmd.CommandText = sql;
    cmd.CommandType = ado::adCmdText;
    cmd.CommandTimeout = 300;
    for (size_t i = 0; i < params.size(); ++i) cmd.AddParameter("Param" + std::to_string(i + 1), params[i]);
    ado::ResultSet r = cmd.Execute(c);
    if (out) *out = std::move(r);
    return 0;
  } catch (const ado::ComError& e) {
    LogComError(e);
    return kEFail;
  }
}

int ArcCreateJet(ado::Connection* c, const std::string& table, const std::string& dbRef) {
  std::string archive = table + "_Arc";
  if (!TableMissing(c, archive)) return 0;
  // A blank before WHERE: the reference need not end in a quote.
  return RunCommand(c, Format("SELECT * INTO %s FROM %s IN %s WHERE 1=0", {archive, table, dbRef}), {});
}

int ArcCopyJet(ado::Connection* c, const std::string& dbRef, long idLogger, long idConfig,
               const std::string& mainTable, double cut) {
  using V = ado::Variant;
  const std::string ma = mainTable + "_Arc";
  int rc;
  // The run's samples before the cut that the archive does not hold yet: a
  // run archived before (still open then) has samples since, which the
  // delete below takes from the source too.
  if ((rc = RunCommand(c, Format("INSERT INTO %s SELECT * FROM %s IN %s WHERE LoggerID = ? AND TS < ? AND NOT EXISTS (SELECT * FROM %s WHERE %s.LoggerID = %s.LoggerID AND %s.TS = %s.TS)",
                                 {ma, mainTable, dbRef, ma, ma, mainTable, ma, mainTable}), {V::Int(idLogger), V::Date(cut)})) < 0) return rc;
  if ((rc = RunCommand(c, Format("INSERT INTO %s (IDLogger, IDLoggerConfig, sLogName, sComments, dStartTime, dStopTime, bCompleted, nStopReason, sMainTableName, nLogRate, nParameters) SELECT * FROM %s IN %s WHERE IDLogger = ? AND IDLogger NOT IN (SELECT DISTINCT IDLogger FROM %s)",
                                 {"Loggers_Arc", "Loggers", dbRef, "Loggers_Arc"}), {V::Int(idLogger)})) < 0) return rc;
  if ((rc = RunCommand(c, Format("INSERT INTO %s (IDLoggerConfig, sName, sDescription) SELECT * FROM %s IN %s WHERE IDLoggerConfig = ? AND NOT EXISTS (SELECT * FROM %s WHERE IDLoggerConfig = ?)",
                                 {"SavedLoggerConfig_Arc", "SavedLoggerConfig", dbRef, "SavedLoggerConfig_Arc"}), {V::Int(idConfig), V::Int(idConfig)})) < 0) return rc;
  if ((rc = RunCommand(c, Format("INSERT INTO %s SELECT * FROM %s IN %s WHERE IDLoggerConfig = ? AND NOT EXISTS (SELECT * FROM %s WHERE IDLoggerConfig = ?)",
                                 {"SavedLoggerTags_Arc", "SavedLoggerTags", dbRef, "SavedLoggerTags_Arc"}), {V::Int(idConfig), V::Int(idConfig)})) < 0) return rc;
  return RunCommand(c, Format("INSERT INTO %s (IDOPCServer, sOPCNode, sOPCServer) SELECT * FROM %s IN %s WHERE IDOPCServer IN (SELECT DISTINCT IDOPCServer FROM %s WHERE IDLoggerConfig = ?) AND IDOPCServer NOT IN (SELECT IDOPCServer FROM %s)",
                              {"SavedOPCServers_Arc", "SavedOPCServers", dbRef, "SavedLoggerTags", "SavedOPCServers_Arc"}), {V::Int(idConfig)});
}

int ArcDeleteJet(ado::Connection* c, long idLogger, const std::string& mainTable, double cut) {
  using V = ado::Variant;
  int rc = RunCommand(c, Format("DELETE FROM %s WHERE LoggerID = ? AND TS < ?", {mainTable}), {V::Int(idLogger), V::Date(cut)});
  if (rc < 0) return rc;
  return RunCommand(c, Format("DELETE FROM %s WHERE IDLogger = ? AND bCompleted <> 0 AND NOT EXISTS (SELECT * FROM %s WHERE LoggerID = ?) AND dStopTime < ?",
                              {"Loggers", mainTable}), {V::Int(idLogger), V::Int(idLogger), V::Date(cut)});
}

int ArcPurgeJet(ado::Connection* c) {
  int rc = RunCommand(c, "DELETE FROM SavedLoggerConfig WHERE IDLoggerConfig NOT IN (SELECT DISTINCT IDLoggerConfig FROM Loggers)", {});
  if (rc < 0) return rc;
  rc = RunCommand(c, "DELETE FROM SavedLoggerTags WHERE IDLoggerConfig NOT IN (SELECT DISTINCT IDLoggerConfig FROM SavedLoggerConfig)", {});
  if (rc < 0) return rc;
  return RunCommand(c, "DELETE FROM SavedOPCServers WHERE IDOPCServer NOT IN (SELECT DISTINCT IDOPCServer FROM SavedLoggerTags)", {});
}

namespace {
// Whether a statement runs, without a trace entry when it does not (a probe).
bool Runs(ado::Connection* c, const std::string& sql) {
  try {
    ado::Command cmd;
    cmd.CommandText = sql;
    cmd.CommandType = ado::adCmdText;
    cmd.CommandTimeout = 300;
    cmd.Execute(c);
    return true;
  } catch (const ado::ComError&) {
    return false;
  }
}
}  // namespace

int JetCopyRows(ado::Connection* c, const std::string& source, const std::string& target, const std::string& targetDb,
                const std::string& condition, const char* staging, const std::string& key, const std::string& columns) {
  const bool here = targetDb.empty();
  const bool exists = Runs(c, here ? Format("SELECT NULL FROM %s;", {target})
                                   : Format("SELECT NULL FROM %s IN '%s' ;", {target, targetDb}));
  int rc;
  if (staging) {
    const std::string tmp = target + "_Tmp";
    Runs(c, Format("DROP TABLE %s;", {tmp}));
    std::string select;
    if (!exists)
      select = Format("SELECT DISTINCT * INTO %s FROM %s WHERE %s ;", {tmp, source, condition});
    else if (here)
      select = Format("SELECT DISTINCT * INTO %s FROM %s WHERE ( %s AND (%s NOT IN (SELECT %s FROM %s )) ) ;",
                      {tmp, source, condition, key, key, target});
    else
      select = Format("SELECT DISTINCT * INTO %s FROM %s WHERE ( %s AND (%s NOT IN (SELECT %s FROM %s IN '%s')) ) ;",
                      {tmp, source, condition, key, key, target, targetDb});
    ado::ResultSet selected;
    if ((rc = RunCommand(c, select, {}, &selected)) < 0) return rc;
    if (selected.affected == 0) {
      Runs(c, Format("DROP TABLE %s", {tmp}));
      return 0;
    }
    if (here && exists) {
      if ((rc = RunCommand(c, Format("Set IDENTITY_INSERT %s ", {target}) + "On;", {})) < 0) return rc;
      if ((rc = RunCommand(c, Format("INSERT INTO %s (%s) SELECT * FROM %s ;", {target, columns, tmp}), {})) < 0)
        return rc;
      if ((rc = RunCommand(c, Format("Set IDENTITY_INSERT %s ", {target}) + "Off;", {})) < 0) return rc;
    } else if (here) {
      if ((rc = RunCommand(c, Format("SELECT * INTO %s FROM %s ;", {target, tmp}), {})) < 0) return rc;
    } else if (exists) {
      if ((rc = RunCommand(c, Format("INSERT INTO %s (%s) IN '%s' SELECT * FROM %s ;", {target, columns, targetDb, tmp}),
                           {})) < 0)
        return rc;
    } else {
      if ((rc = RunCommand(c, Format("SELECT * INTO %s IN '%s' FROM %s ;", {target, targetDb, tmp}), {})) < 0) return rc;
    }
    return RunCommand(c, Format("DROP TABLE %s", {tmp}), {});
  }
  if (!condition.empty()) {
    if (here)
      return RunCommand(c, exists ? Format("INSERT INTO %s SELECT * FROM %s WHERE %s ;", {target, source, condition})
                                  : Format("SELECT * INTO %s FROM %s WHERE %s ;", {target, source, condition}),
                        {});
    return RunCommand(c, exists ? Format("INSERT INTO %s IN '%s' SELECT * FROM %s WHERE %s ;", {target, targetDb, source, condition})
                                : Format("SELECT * INTO %s IN '%s' FROM %s WHERE %s ;", {target, targetDb, source, condition}),
                      {});
  }
  // The whole table, in place of the target.
  Runs(c, here ? Format("DROP TABLE %s", {target}) : Format("DROP TABLE %s IN '%s'", {target, targetDb}));
  return RunCommand(c, here ? Format("SELECT * INTO %s FROM %s ;", {target, source})
                            : Format("SELECT * INTO %s IN '%s' FROM %s ;", {target, targetDb, source}),
                    {});
}

int JetDeleteRows(ado::Connection* c, const std::string& table, const std::string& condition) {
  return RunCommand(c, Format("DELETE FROM %s WHERE %s ;", {table, condition}), {});
}

namespace {
std::string Source(const SqlNames& n, const std::string& table) {
  if (n.sameServer) return table;
  return Format("OPENROWSET ('%s', '%s', %s.dbo.%s)", {n.provider, n.connection, n.catalog, table});
}
}  // namespace

int ArcCreateSql(ado::Connection* c, const SqlNames& n, const std::string& table) {
  std::string archive = table + "_Arc";
  if (!TableMissing(c, n.archivePrefix + archive)) return 0;
  return RunCommand(c, Format("SELECT * INTO %s%s FROM %s WHERE 1=0", {n.archivePrefix, archive, Source(n, table)}), {});
}

int ArcCopySql(ado::Connection* c, const SqlNames& n, long idLogger, long idConfig, const std::string& mainTable,
               double cut) {
  using V = ado::Variant;
  const std::string& p = n.archivePrefix;
  const std::string ma = mainTable + "_Arc";
  int rc;
  // As on Jet: the samples the archive does not hold yet.
  if ((rc = RunCommand(c, Format("INSERT INTO %s%s SELECT * FROM %s AS S WHERE LoggerID = ? AND TS < ? AND NOT EXISTS (SELECT * FROM %s%s AS A WHERE A.LoggerID = S.LoggerID AND A.TS = S.TS)",
                                 {p, ma, Source(n, mainTable), p, ma}), {V::Int(idLogger), V::Date(cut)})) < 0) return rc;
  if (n.sameServer) {
    if ((rc = RunCommand(c, Format("SET IDENTITY_INSERT %s%s ON INSERT INTO %s%s (IDLogger, IDLoggerConfig, sLogName, sComments, dStartTime, dStopTime, bCompleted, nStopReason, sMainTableName, nLogRate, nParameters) SELECT * FROM %s WHERE IDLogger = ? AND IDLogger NOT IN (SELECT DISTINCT IDLogger FROM %s%s) SET IDENTITY_INSERT %s%s OFF",
                                   {p, "Loggers_Arc", p, "Loggers_Arc", "Loggers", p, "Loggers_Arc", p, "Loggers_Arc"}), {V::Int(idLogger)})) < 0) return rc;
    if ((rc = RunCommand(c, Format("SET IDENTITY_INSERT %s%s ON INSERT INTO %s%s (IDLoggerConfig, sName, sDescription) SELECT * FROM %s WHERE IDLoggerConfig = ? AND NOT EXISTS (SELECT * FROM %s%s WHERE IDLoggerConfig = ?) SET IDENTITY_INSERT %s%s OFF",
                                   {p, "SavedLoggerConfig_Arc", p, "SavedLoggerConfig_Arc", "SavedLoggerConfig", p, "SavedLoggerConfig_Arc", p, "SavedLoggerConfig_Arc"}), {V::Int(idConfig), V::Int(idConfig)})) < 0) return rc;
  } else {
    if ((rc = RunCommand(c, Format("INSERT INTO %s%s (IDLogger, IDLoggerConfig, sLogName, sComments, dStartTime, dStopTime, bCompleted, nStopReason, sMainTableName, nLogRate, nParameters) SELECT * FROM %s WHERE IDLogger = ? AND IDLogger NOT IN (SELECT DISTINCT IDLogger FROM %s%s)",
                                   {p, "Loggers_Arc", Source(n, "Loggers"), p, "Loggers_Arc"}), {V::Int(idLogger)})) < 0) return rc;
    if ((rc = RunCommand(c, Format("INSERT INTO %s%s (IDLoggerConfig, sName, sDescription) SELECT * FROM %s WHERE IDLoggerConfig = ? AND NOT EXISTS (SELECT * FROM %s%s WHERE IDLoggerConfig = ?)",
                                   {p, "SavedLoggerConfig_Arc", Source(n, "SavedLoggerConfig"), p, "SavedLoggerConfig_Arc"}), {V::Int(idConfig), V::Int(idConfig)})) < 0) return rc;
  }
  if ((rc = RunCommand(c, Format("INSERT INTO %s%s SELECT * FROM %s WHERE IDLoggerConfig = ? AND NOT EXISTS (SELECT * FROM %s%s WHERE IDLoggerConfig = ?)",
                                 {p, "SavedLoggerTags_Arc", Source(n, "SavedLoggerTags"), p, "SavedLoggerTags_Arc"}), {V::Int(idConfig), V::Int(idConfig)})) < 0) return rc;
  if (n.sameServer)
    return RunCommand(c, Format("SET IDENTITY_INSERT %s%s ON INSERT INTO %s%s (IDOPCServer, sOPCNode, sOPCServer) SELECT * FROM %s WHERE IDOPCServer IN (SELECT DISTINCT IDOPCServer FROM %s%s WHERE IDLoggerConfig = ?) AND IDOPCServer NOT IN (SELECT IDOPCServer FROM %s%s) SET IDENTITY_INSERT %s%s OFF",
                                {p, "SavedOPCServers_Arc", p, "SavedOPCServers_Arc", "SavedOPCServers", p, "SavedLoggerTags_Arc", p, "SavedOPCServers_Arc", p, "SavedOPCServers_Arc"}), {V::Int(idConfig)});
  return RunCommand(c, Format("INSERT INTO %s%s (IDOPCServer, sOPCNode, sOPCServer) SELECT * FROM %s WHERE IDOPCServer IN (SELECT DISTINCT IDOPCServer FROM %s%s WHERE IDLoggerConfig = ?) AND IDOPCServer NOT IN (SELECT IDOPCServer FROM %s%s)",
                              {p, "SavedOPCServers_Arc", Source(n, "SavedOPCServers"), p, "SavedLoggerTags_Arc", p, "SavedOPCServers_Arc"}), {V::Int(idConfig)});
}

int ArcDeleteSql(ado::Connection* c, long idLogger, const std::string& mainTable, double cut) {
  using V = ado::Variant;
  return RunCommand(c, Format("DELETE FROM %s WHERE LoggerID = ? AND TS < ? DELETE FROM %s WHERE IDLogger = ? AND dStopTime < ? AND bCompleted <> 0 AND NOT EXISTS (SELECT * FROM %s WHERE LoggerID = ?)",
                              {mainTable, "Loggers", mainTable}),
                    {V::Int(idLogger), V::Date(cut), V::Int(idLogger), V::Date(cut), V::Int(idLogger)});
}

int ArcPurgeSql(ado::Connection* c) {
  return RunCommand(c, "DELETE FROM SavedLoggerConfig WHERE IDLoggerConfig NOT IN (SELECT DISTINCT IDLoggerConfig FROM Loggers) DELETE FROM SavedLoggerTags WHERE IDLoggerConfig NOT IN (SELECT DISTINCT IDLoggerConfig FROM SavedLoggerConfig) DELETE FROM SavedOPCServers WHERE IDOPCServer NOT IN (SELECT DISTINCT IDOPCServer FROM SavedLoggerTags)", {});
}

int SelectRuns(ado::Connection* c, const std::string& logName, double cut, ado::ResultSet* out) {
  return RunCommand(c, Format("SELECT IDLogger, IDLoggerConfig, sMainTableName FROM   %s WHERE  (dStartTime < ?) AND (sLogName = ?)", {"Loggers"}),
                    {ado::Variant::Date(cut), ado::Variant::Text(logName)}, out);
}

int ArchiveLogs(const std::string& connection, const std::string& archiveConnection, const std::string& logName,
                double cut, char* lastError) {
  const std::string source = RenameLogonKeys(connection);
  const std::string archive = RenameLogonKeys(archiveConnection);
  ado::Connection c;
  c.ConnectionTimeout = 300;
  c.CommandTimeout = 300;
  try {
    c.Open(source, "", "", -1);
  } catch (const ado::ComError& e) {
    ReportComErrorTo(e, lastError);
    return kEFail;
  }
  const bool jet = archive.find("Jet") != std::string::npos || archive.find("jet") != std::string::npos;
  const std::string dbRef = ConnDataSource(source);
  SqlNames names;
  names.archivePrefix = ConnCatalog(archive) + ".dbo.";
  names.sameServer = ConnDataSource(source) == ConnDataSource(archive);
  names.provider = "SQLOLEDB";
  names.connection = source;
  names.catalog = ConnCatalog(source);
  int rc;
  for (const char* t : kTables)
    if ((rc = jet ? ArcCreateJet(&c, t, dbRef) : ArcCreateSql(&c, names, t)) < 0) return rc;
  ado::ResultSet runs;
  if ((rc = SelectRuns(&c, logName, cut, &runs)) < 0) return rc;
  std::vector<std::pair<long, std::string>> copied;
  for (const auto& row : runs.rows) {
    if (row.size() < 3) continue;
    long id, config;
    try {
      id = long(row[0].AsInt());
      config = long(row[1].AsInt());
    } catch (const ado::ComError& e) {
      ReportComErrorTo(e, lastError);
      return kEFail;
    }
    const std::string main = row[2].AsText();
    if ((rc = jet ? ArcCreateJet(&c, main, dbRef) : ArcCreateSql(&c, names, main)) < 0) return rc;
    if ((rc = jet ? ArcCopyJet(&c, dbRef, id, config, main, cut) : ArcCopySql(&c, names, id, config, main, cut)) < 0)
      return rc;
    copied.emplace_back(id, main);
  }
  for (const auto& [id, main] : copied)
    if ((rc = jet ? ArcDeleteJet(&c, id, main, cut) : ArcDeleteSql(&c, id, main, cut)) < 0) return rc;
  return jet ? ArcPurgeJet(&c) : ArcPurgeSql(&c);
}

}  // namespace arc

int CLogITDbDataAcc::ArchiveLogs(const std::u16string& connection, const std::u16string& archiveConnection,
                                 const std::u16string& logName, double cutTime) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  auto narrow = [](const std::u16string& s) {
    std::string utf8;
    Codec_Utf16ToUtf8(s, &utf8);
    return ado::Utf8ToCp1252(utf8);
  };
  try {
    return arc::ArchiveLogs(narrow(connection), narrow(archiveConnection), narrow(logName), cutTime, lastError_);
  } catch (const ado::ComError& e) {
    ReportComError(e);
    return kEFail;
  } catch (...) {
    return kEFail;
  }
}
