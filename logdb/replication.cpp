// Merge replication of a collection's runs from one SQL Server database to
// another: every run becomes a merge publication of its tables pushed to
// the target database, and LOGGERS one publication named after the logger.
// Everything goes through SQL Server's replication procedures and SQL
// Server Agent jobs; the statements are run through the catalog accessor
// (each on a connection of its own) and the row accessor's record sets.
#include <strings.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cdxlib/client/srvclient.h"
#include "cdxlib/sys/debugtrace.h"
#include "cdxlib/sys/textutil.h"
#include "logdb/dbcollection.h"
#include "platform/error.h"
#include "platform/sysinfo.h"

namespace {

using cdxtext::Copy;
using cdxtext::StartsNoCase;

// A job id as the hexadecimal digits of its bytes.
std::string Hex(const ado::Variant& v) {
  std::string out;
  char buf[4];
  for (unsigned char c : v.s) {
    snprintf(buf, sizeof buf, "%02x", c);
    out += buf;
  }
  return out;
}

void Trace(const char* summary, const char* detail) {
  std::string line = std::string(summary) + " " + (detail ? detail : "") + "\r\n";
  Dbg_Log(line.c_str());
}

bool SameServer(const char* a, const char* b) {
  return strcasecmp(a, b) == 0 || (Srv_IsLocal(a) && Srv_IsLocal(b));
}

}  // namespace

int CLogDbCollection::SetReplicationTarget(const char* target, int purge, int keepCount) {
  Copy(target_, sizeof target_, target);
  if (!StartsNoCase(connection_, "PROVIDER=SQLOLEDB")) return 0;
  char targetCopy[kMaxConnection + 1], databaseCopy[kMaxConnection + 1];
  Copy(targetCopy, sizeof targetCopy, target);
  Copy(databaseCopy, sizeof databaseCopy, connection_);
  struct Field {
    const char* key;
    char* text;
    char* value;
    const char* missing;
  } fields[] = {
      {"INITIAL CATALOG=", targetCopy, targetCatalog_, "NO INITIAL CATALOG DEFINED IN TARGET CONNECTION STRING"},
      {";DATA SOURCE=", targetCopy, targetSource_, "NO DATA SOURCE DEFINED IN TARGET CONNECTION STRING"},
      {"INITIAL CATALOG=", databaseCopy, databaseCatalog_, "NO INITIAL CATALOG DEFINED IN DATABASE CONNECTION STRING"},
      {";DATA SOURCE=", databaseCopy, databaseSource_, "NO DATA SOURCE DEFINED IN DATABASE CONNECTION STRING"},
  };
  for (Field& f : fields) {
    int size = 101;
    if (!TakeConnectionField(f.key, f.text, &size, f.value)) {
      SetError(f.missing, f.missing);
      plat::SetLastError(0);
      return -1;
    }
  }
  if (strcasecmp(targetCatalog_, databaseCatalog_) == 0 && SameServer(targetSource_, databaseSource_)) {
    SetError("DATABASE AND TARGET ARE SAME", "DATABASE AND TARGET CONNECTION STRINGS ARE THE SAME");
    return -1;
  }
  purge_ = purge;
  keepCount_ = keepCount;
  replicate_ = 1;
  if (loggersCreated_) SetUpReplication(loggerName_, 0, 0, 1);
  return 0;
}

// Publishes the run's tables (or LOGGERS) to the replication target: the
// publication, its articles, its first snapshot, then the push subscription
// and its first merge. The steps go in that order, each needing the one
// before; the first that fails leaves its error and the set-up marked in
// progress.
void CLogDbCollection::SetUpReplication(const char* publication, int32_t, int hasText, int loggers) {
  setUpInProgress_ = 1;
  std::string pub = publication ? publication : "";
  TearDownReplication(pub.c_str());
  if (purge_ && !loggers && pub.size() > 9) TearDownOlderPublications(pub);
  if (!AddPublication(pub) || !AddPublicationArticles(pub, hasText, loggers) || !RunPublicationSnapshot(pub) ||
      !AddPushSubscription(pub))
    return;
  setUpInProgress_ = 0;
}

// Older publications of the same logger beyond the newest runs kept.
void CLogDbCollection::TearDownOlderPublications(const std::string& pub) {
  FindFirst(nullptr);
  std::string stem = pub.substr(0, pub.size() - 9);
  std::vector<std::string> old;
  if (rows_.Open("exec sp_helpmergepublication", ado::adOpenStatic, ado::adLockReadOnly, ado::adCmdUnknown) == 0) {
    short eof = -1;
    rows_.IsEOF(&eof);
    while (!eof) {
      ado::Variant name;
      if (rows_.GetFieldValueByName("name", &name) != 0) break;
      std::string n = name.IsNull() ? "" : name.AsText();
      while (!n.empty() && n.back() == ' ') n.pop_back();
      if (n.size() > 9 && n.compare(0, stem.size(), stem) == 0 && HasRunWithPrefix(keepCount_ + 1, n.c_str()))
        old.push_back(n);
      if (rows_.MoveNext() != 0 || rows_.IsEOF(&eof) != 0) break;
    }
    rows_.CloseRecordset();
  }
  for (const std::string& n : old) TearDownReplication(n.c_str());
}

// The merge publication and its snapshot agent. A server that refuses the
// short form is asked the long one; when both fail the database is enabled
// for merge publishing and both are tried again.
bool CLogDbCollection::AddPublication(const std::string& pub) {
  std::string shortSql =
      "exec sp_addmergepublication @publication = N'" + pub + "', @description = N'Merge publication of " +
      loggerName_ +
      " logger database.', @retention = 14, @sync_mode = N'native', @allow_push = N'true', @allow_pull = N'true', "
      "@allow_anonymous = N'true', @enabled_for_internet = N'false', @centralized_conflicts = N'true', "
      "@dynamic_filters = N'false', @snapshot_in_defaultfolder = N'true', @compress_snapshot = N'false', "
      "@ftp_port = 21, @conflict_retention = 14, @keep_partition_changes = N'false', "
      "@allow_subscription_copy = N'false', @allow_synctoalternate = N'false', @add_to_active_directory = N'false', "
      "@max_concurrent_merge = 0, @max_concurrent_dynamic_snapshots = 0";
  std::string longSql =
      shortSql +
      ",@use_partition_groups = null, @publication_compatibility_level = N'90RTM', @replicate_ddl = 1, "
      "@allow_subscriber_initiated_snapshot = N'false', @allow_web_synchronization = N'false', "
      "@allow_partition_realignment = N'true', @retention_period_unit = N'days', @conflict_logging = N'both', "
      "@automatic_reinitialization_policy = 0";
  if (ExecuteSql(shortSql.c_str()) != 0 && ExecuteSql(longSql.c_str()) != 0) {
    ExecuteSql(("exec sp_replicationdboption @dbname = N'" + std::string(databaseCatalog_) +
                "', @optname = N'merge publish', @value = N'true'")
                   .c_str());
    if (ExecuteSql(shortSql.c_str()) != 0 && ExecuteSql(longSql.c_str()) != 0) {
      SetError(catalog_.GetLastErrorText(), "CAN'T ADD PUBLICATION");
      Trace("CAN'T ADD PUBLICATION", detail_);
      return false;
    }
  }
  if (ExecuteSql(("exec sp_addpublication_snapshot @publication = N'" + pub +
                  "',@frequency_type = 1, @frequency_interval = 1, @frequency_relative_interval = 0, "
                  "@frequency_recurrence_factor = 1, @frequency_subday = 1, @frequency_subday_interval = 0, "
                  "@active_start_date = 20050101, @active_end_date = 99991231, @active_start_time_of_day = 0, "
                  "@active_end_time_of_day = 235959")
                     .c_str()) != 0) {
    SetError(catalog_.GetLastErrorText(), "CAN'T ADD PUBLICATION SNAPSHOT");
    return false;
  }
  return true;
}

// The tables of the publication: LOGGERS, or the run's DATA, CHANNELS and
// (when the run has text) TEXT.
bool CLogDbCollection::AddPublicationArticles(const std::string& pub, int hasText, int loggers) {
  std::vector<std::string> tables;
  if (loggers) {
    tables.push_back("LOGGERS");
  } else {
    tables.push_back(pub + "DATA");
    tables.push_back(pub + "CHANNELS");
    if (hasText) tables.push_back(pub + "TEXT");
  }
  for (const std::string& table : tables) {
    std::string sql =
        "exec sp_addmergearticle @publication = N'" + pub + "', @article = N'" + table +
        "', @source_owner = N'dbo', @source_object = N'" + table +
        "', @type = N'table', @description = null, @status = N'unsynced', @column_tracking = N'true', "
        "@pre_creation_cmd = N'drop', @creation_script = null, @schema_option = 0x000000000000CFF1, "
        "@article_resolver = null, @subset_filterclause = null, @vertical_partition = N'false', "
        "@auto_identity_range = N'false', @verify_resolver_signature = 0, @allow_interactive_resolver = N'false', "
        "@fast_multicol_updateproc = N'true', @check_permissions = 0, @force_invalidate_snapshot = 1";
    // A warning about the article is no failure.
    if (ExecuteSql(sql.c_str()) != 0 && !StartsNoCase(catalog_.GetLastErrorText(), "Warning")) {
      SetError(catalog_.GetLastErrorText(), "CAN'T ADD PUBLICATION ARTICLE");
      return false;
    }
  }
  return true;
}

// Starts the publication's snapshot job and waits (at most a minute) until
// it has run.
bool CLogDbCollection::RunPublicationSnapshot(const std::string& pub) {
  std::string info = "exec sp_helpmergepublication @publication = N'" + pub + "'";
  if (rows_.Open(info.c_str(), ado::adOpenStatic, ado::adLockReadOnly, ado::adCmdUnknown) != 0) {
    SetError(rows_.GetLastErrorText(), "CAN'T GET PUBLICATION INFO");
    return false;
  }
  ado::Variant job;
  if (rows_.GetFieldValueByName("snapshot_jobid", &job) != 0 || job.IsNull()) {
    SetError(rows_.GetLastErrorText(), "CAN'T GET SNAPSHOT JOB ID");
    return false;
  }
  std::string snapshot = Hex(job);
  rows_.CloseRecordset();
  if (ExecuteSql(("exec msdb..sp_start_job @job_id = 0x" + snapshot).c_str()) != 0) {
    SetError(catalog_.GetLastErrorText(), "CAN'T START SNAPSHOT");
    Trace("CAN'T START SNAPSHOT", detail_);
    return false;
  }
  // Outcome 5: the job has not run yet.
  bool ran = false;
  for (int i = 0; i < 60 && !ran; ++i) {
    std::string sql = "exec msdb..sp_help_job @job_id = 0x" + snapshot + ", @job_aspect = N'job'";
    ado::Variant outcome;
    if (rows_.Open(sql.c_str(), ado::adOpenStatic, ado::adLockReadOnly, ado::adCmdUnknown) != 0 ||
        rows_.GetFieldValueByName("last_run_outcome", &outcome) != 0) {
      SetError(rows_.GetLastErrorText(), "CAN'T GET SNAPSHOT STATUS");
      return false;
    }
    int64_t value = 5;
    try {
      value = outcome.IsNull() ? 5 : outcome.AsInt();
    } catch (const ado::ComError&) {
    }
    rows_.CloseRecordset();
    if (value != 5)
      ran = true;
    else
      Sleep(1000);
  }
  if (!ran) {
    SetError(rows_.GetLastErrorText(), "SNAPSHOT DID NOT RUN");
    return false;
  }
  return true;
}

// The push subscription of the target, then its merge job started once.
bool CLogDbCollection::AddPushSubscription(const std::string& pub) {
  if (ExecuteSql(("exec sp_addmergesubscription @publication = N'" + pub + "', @subscriber = N'" + targetSource_ +
                  "', @subscriber_db = N'" + targetCatalog_ +
                  "', @subscription_type = N'push', @subscriber_type = N'local', @subscription_priority = 0.000000, "
                  "@sync_type = N'automatic', @frequency_type = 4, @frequency_interval = 1, "
                  "@frequency_relative_interval = 2, @frequency_recurrence_factor = 0, @frequency_subday = 4, "
                  "@frequency_subday_interval = 1, @active_start_date = 0, @active_end_date = 99991231, "
                  "@active_start_time_of_day = 0, @active_end_time_of_day = 235900, @enabled_for_syncmgr = N'false', "
                  "@offloadagent = 0, @use_interactive_resolver = N'false'")
                     .c_str()) != 0) {
    SetError(catalog_.GetLastErrorText(), "CAN'T ADD SUBSCRIPTION");
    return false;
  }
  std::string subs = "exec sp_helpmergesubscription @subscription_type = N'both', @publication = N'" + pub + "'";
  if (rows_.Open(subs.c_str(), ado::adOpenStatic, ado::adLockReadOnly, ado::adCmdUnknown) != 0) {
    SetError(rows_.GetLastErrorText(), "CAN'T GET SUBSCRIPTION INFO");
    return false;
  }
  ado::Variant mergeJob;
  if ((rows_.GetFieldValueByName("merge_jobid", &mergeJob) != 0 || mergeJob.IsNull()) &&
      (rows_.GetFieldValueByName("job_id", &mergeJob) != 0 || mergeJob.IsNull())) {
    SetError(rows_.GetLastErrorText(), "CAN'T GET SUBSCRIPTION JOB ID");
    return false;
  }
  std::string merge = Hex(mergeJob);
  rows_.CloseRecordset();
  // An id without bytes names no job that could be started.
  if (merge.empty()) {
    SetError("", "CAN'T UPDATE MERGE");
    Trace("CAN'T UPDATE MERGE", detail_);
    return false;
  }
  ExecuteSql("use master");
  bool started = ExecuteSql(("exec msdb..sp_start_job @job_id = 0x" + merge).c_str()) == 0;
  ExecuteSql(("use " + std::string(databaseCatalog_)).c_str());
  if (!started) {
    SetError(catalog_.GetLastErrorText(), "CAN'T UPDATE MERGE");
    Trace("CAN'T UPDATE MERGE", detail_);
    return false;
  }
  return true;
}

void CLogDbCollection::TearDownReplication(const char* publication) {
  std::string pub = publication ? publication : "";
  ExecuteSql(("exec sp_dropmergesubscription @publication = N'" + pub + "', @subscriber = N'" + targetSource_ +
              "', @subscriber_db = N'" + targetCatalog_ + "', @subscription_type = N'push'")
                 .c_str());
  ExecuteSql(("exec sp_dropmergepublication @publication = N'" + pub + "'").c_str());
  CLogITDbAcc target;
  if (target.OpenDatabase(target_, "") == 0) {
    target.SetReady("", "");
    std::string publisher = Srv_IsLocal(databaseSource_) ? plat::ComputerName() : std::string(databaseSource_);
    if (publisher.size() > 16) publisher.resize(16);
    target.ExecuteSql(("exec sp_mergesubscription_cleanup @publication = N'" + pub + "', @publisher = N'" + publisher +
                       "', @publisher_db = N'" + databaseCatalog_ + "'")
                          .c_str());
    target.Close();
  }
}
