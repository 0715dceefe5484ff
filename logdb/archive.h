// Archiving of finished runs of the saved-configuration schema (tables
// "Loggers", "SavedLoggerConfig", "SavedLoggerTags", "SavedOPCServers" and
// one sample table per run): the runs of one log name that started before a
// cut time are copied, with their configuration, tags and servers, into the
// tables of the same names with "_Arc" appended, then deleted, and unused
// configuration rows are purged.
//
// Every statement of one archiving runs on the connection of the first
// connection string: the logging database. The archive tables are reached
// there: on Jet, inside the logging file (the sources read through IN the
// logging file itself); on SQL Server, as <catalog of the second string>.dbo.
// X_Arc, the sources named directly when both strings name one server and
// through OPENROWSET of the first string otherwise.
#pragma once
#include <string>

#include "logdb/ado/ado.h"

namespace arc {

// The value of "Data Source" (else "Server") of a connection string, as it
// stands (quotes included); "" when absent.
std::string ConnDataSource(const std::string& connection);
// The value of "Initial Catalog" (else "Database").
std::string ConnCatalog(const std::string& connection);
// Every "User ID" becomes "uid" and every "Password" "pwd".
std::string RenameLogonKeys(std::string connection);

// Runs a text command with "?" parameters named Param1...; E_FAIL
// (0x80004005) on a failure, which goes to the debug trace.
int RunCommand(ado::Connection* c, const std::string& sql, const std::vector<ado::Variant>& params,
               ado::ResultSet* out = nullptr);

// The steps; each answers 0 or 0x80004005.
int ArcCreateJet(ado::Connection* c, const std::string& table, const std::string& dbRef);
int ArcCopyJet(ado::Connection* c, const std::string& dbRef, long idLogger, long idConfig,
               const std::string& mainTable, double cut);
int ArcDeleteJet(ado::Connection* c, long idLogger, const std::string& mainTable, double cut);
int ArcPurgeJet(ado::Connection* c);

struct SqlNames {
  std::string archivePrefix;  // "<catalog>.dbo."
  bool sameServer = false;
  std::string provider;       // for OPENROWSET
  std::string connection;     // for OPENROWSET
  std::string catalog;        // of the sources
};
int ArcCreateSql(ado::Connection* c, const SqlNames& n, const std::string& table);
int ArcCopySql(ado::Connection* c, const SqlNames& n, long idLogger, long idConfig, const std::string& mainTable,
               double cut);
int ArcDeleteSql(ado::Connection* c, long idLogger, const std::string& mainTable, double cut);
int ArcPurgeSql(ado::Connection* c);

// Jet table copies. JetCopyRows moves the rows of `source` that satisfy
// `condition` into `target`, of this database (`targetDb` empty) or of the
// database file `targetDb`. With `staging` (any text) the rows go first into
// "<target>_Tmp" without those whose `key` is already in the target, and
// from there into the target's `columns`; a staging step that selects no
// row ends the copy. Without staging the rows go straight in (all of the
// table, replacing the target, when there is no condition either).
// JetDeleteRows deletes the rows of `table` that satisfy `condition`.
// Each answers 0 or 0x80004005.
int JetCopyRows(ado::Connection* c, const std::string& source, const std::string& target, const std::string& targetDb,
                const std::string& condition, const char* staging, const std::string& key, const std::string& columns);
int JetDeleteRows(ado::Connection* c, const std::string& table, const std::string& condition);

// The runs to move: IDLogger, IDLoggerConfig, sMainTableName.
int SelectRuns(ado::Connection* c, const std::string& logName, double cut, ado::ResultSet* out);

// The whole archiving, on 8-bit texts.
int ArchiveLogs(const std::string& connection, const std::string& archiveConnection, const std::string& logName,
                double cut, char* lastError);

}  // namespace arc
