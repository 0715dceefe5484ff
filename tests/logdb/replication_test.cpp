// Merge replication of the log tables between two SQL Server databases. No
// SQL Server runs here: the statements the collection gives the recording
// provider (standing in for SQLOLEDB) are compared with the T-SQL texts
// the replication set-up must send, in order and on the right connection.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "logdb/ado/recording.h"
#include "logdb/dbcollection.h"
#include "platform/sysinfo.h"

namespace {

const std::string kDb = "Provider=SQLOLEDB;Data Source=SRV1;Initial Catalog=LOGS;User ID=u;Password=p";
const std::string kTarget = "Provider=SQLOLEDB;Data Source=SRV2;Initial Catalog=COPY;User ID=u;Password=p";

int g_sleeps = 0;
int g_sleptMs = 0;
void CountSleep(int ms) {
  ++g_sleeps;
  g_sleptMs += ms;
}

// The texts, written out as the set-up must send them.
std::string ShortPublication(const std::string& pub, const std::string& logger) {
  return "exec sp_addmergepublication @publication = N'" + pub + "', @description = N'Merge publication of " + logger +
         " logger database.', @retention = 14, @sync_mode = N'native', @allow_push = N'true', @allow_pull = "
         "N'true', @allow_anonymous = N'true', @enabled_for_internet = N'false', @centralized_conflicts = N'true', "
         "@dynamic_filters = N'false', @snapshot_in_defaultfolder = N'true', @compress_snapshot = N'false', "
         "@ftp_port = 21, @conflict_retention = 14, @keep_partition_changes = N'false', @allow_subscription_copy = "
         "N'false', @allow_synctoalternate = N'false', @add_to_active_directory = N'false', @max_concurrent_merge = "
         "0, @max_concurrent_dynamic_snapshots = 0";
}
std::string LongPublication(const std::string& pub, const std::string& logger) {
  return ShortPublication(pub, logger) +
         ",@use_partition_groups = null, @publication_compatibility_level = N'90RTM', @replicate_ddl = 1, "
         "@allow_subscriber_initiated_snapshot = N'false', @allow_web_synchronization = N'false', "
         "@allow_partition_realignment = N'true', @retention_period_unit = N'days', @conflict_logging = N'both', "
         "@automatic_reinitialization_policy = 0";
}
std::string Snapshot(const std::string& pub) {
  return "exec sp_addpublication_snapshot @publication = N'" + pub +
         "',@frequency_type = 1, @frequency_interval = 1, @frequency_relative_interval = 0, "
         "@frequency_recurrence_factor = 1, @frequency_subday = 1, @frequency_subday_interval = 0, "
         "@active_start_date = 20050101, @active_end_date = 99991231, @active_start_time_of_day = 0, "
         "@active_end_time_of_day = 235959";
}
std::string Article(const std::string& pub, const std::string& table) {
  return "exec sp_addmergearticle @publication = N'" + pub + "', @article = N'" + table +
         "', @source_owner = N'dbo', @source_object = N'" + table +
         "', @type = N'table', @description = null, @status = N'unsynced', @column_tracking = N'true', "
         "@pre_creation_cmd = N'drop', @creation_script = null, @schema_option = 0x000000000000CFF1, "
         "@article_resolver = null, @subset_filterclause = null, @vertical_partition = N'false', "
         "@auto_identity_range = N'false', @verify_resolver_signature = 0, @allow_interactive_resolver = N'false', "
         "@fast_multicol_updateproc = N'true', @check_permissions = 0, @force_invalidate_snapshot = 1";
}
std::string Subscription(const std::string& pub) {
  return "exec sp_addmergesubscription @publication = N'" + pub +
         "', @subscriber = N'SRV2', @subscriber_db = N'COPY', @subscription_type = N'push', @subscriber_type = "
         "N'local', @subscription_priority = 0.000000, @sync_type = N'automatic', @frequency_type = 4, "
         "@frequency_interval = 1, @frequency_relative_interval = 2, @frequency_recurrence_factor = 0, "
         "@frequency_subday = 4, @frequency_subday_interval = 1, @active_start_date = 0, @active_end_date = "
         "99991231, @active_start_time_of_day = 0, @active_end_time_of_day = 235900, @enabled_for_syncmgr = "
         "N'false', @offloadagent = 0, @use_interactive_resolver = N'false'";
}
std::vector<std::string> TearDownTexts(const std::string& pub) {
  return {"exec sp_dropmergesubscription @publication = N'" + pub +
              "', @subscriber = N'SRV2', @subscriber_db = N'COPY', @subscription_type = N'push'",
          "exec sp_dropmergepublication @publication = N'" + pub + "'",
          "exec sp_mergesubscription_cleanup @publication = N'" + pub + "', @publisher = N'SRV1', @publisher_db = "
          "N'LOGS'"};
}

const std::string kJob = std::string("\x01\xab\x00\xff", 4) + std::string(12, '\x10');
const std::string kJobHex = "01ab00ff101010101010101010101010";
const std::string kMergeJob = std::string(16, '\x7f');
const std::string kMergeHex = "7f7f7f7f7f7f7f7f7f7f7f7f7f7f7f7f";

class ReplicationTest : public ::testing::Test {
 protected:
  ReplicationTest() : rec_({"SQLOLEDB"}) {}
  void SetUp() override {
    CLogDbCollection::SetSleeper(CountSleep);
    g_sleeps = g_sleptMs = 0;
  }
  // The answers of a server whose snapshot has run after two looks.
  void Answer() {
    rec_.AnswerRows("exec sp_helpmergepublication @publication", {"name", "snapshot_jobid"},
                    {{ado::Variant::Text("x"), ado::Variant::Bytes(kJob)}});
    rec_.AnswerRows("sp_help_job", {"job_id", "last_run_outcome"}, {{ado::Variant::Null(), ado::Variant::Int(5)}}, 2);
    rec_.AnswerRows("sp_help_job", {"job_id", "last_run_outcome"}, {{ado::Variant::Null(), ado::Variant::Int(1)}});
    rec_.AnswerRows("sp_helpmergesubscription", {"publication", "merge_jobid"},
                    {{ado::Variant::Text("x"), ado::Variant::Bytes(kMergeJob)}});
  }
  void OpenOn(CLogDbCollection& c) {
    ASSERT_EQ(c.Open(kDb.c_str(), "", "PLANT", "", 0xC0000000u), 0) << c.GetErrorSummary();
  }
  std::vector<std::string> Since(size_t from) {
    auto all = rec_.Statements();
    return std::vector<std::string>(all.begin() + long(std::min(from, all.size())), all.end());
  }

  ado::RecordingProvider rec_;
};

TEST_F(ReplicationTest, RunPublicationStatementsInOrderOnTheirConnections) {
  CLogDbCollection c;
  OpenOn(c);
  ASSERT_EQ(c.SetReplicationTarget(kTarget.c_str(), 0, 0), 0) << c.GetErrorSummary();
  EXPECT_EQ(c.ReplicationOn(), 1);
  Answer();
  rec_.Clear();
  c.SetUpReplication("PLANT_00000002_", 2, 1, 0);
  std::vector<std::string> want = TearDownTexts("PLANT_00000002_");
  for (const std::string& s : std::vector<std::string>{
           ShortPublication("PLANT_00000002_", "PLANT"), Snapshot("PLANT_00000002_"),
           Article("PLANT_00000002_", "PLANT_00000002_DATA"), Article("PLANT_00000002_", "PLANT_00000002_CHANNELS"),
           Article("PLANT_00000002_", "PLANT_00000002_TEXT"),
           "exec sp_helpmergepublication @publication = N'PLANT_00000002_'",
           "exec msdb..sp_start_job @job_id = 0x" + kJobHex,
           "exec msdb..sp_help_job @job_id = 0x" + kJobHex + ", @job_aspect = N'job'",
           "exec msdb..sp_help_job @job_id = 0x" + kJobHex + ", @job_aspect = N'job'",
           "exec msdb..sp_help_job @job_id = 0x" + kJobHex + ", @job_aspect = N'job'", Subscription("PLANT_00000002_"),
           "exec sp_helpmergesubscription @subscription_type = N'both', @publication = N'PLANT_00000002_'",
           "use master", "exec msdb..sp_start_job @job_id = 0x" + kMergeHex, "use LOGS"})
    want.push_back(s);
  EXPECT_EQ(Since(0), want);
  EXPECT_EQ(g_sleeps, 2);
  EXPECT_EQ(g_sleptMs, 2000);
  EXPECT_EQ(c.ReplicationSetUpInProgress(), 0);
  // Each statement ran where it must: the clean-up on the target, the
  // record sets on the row connection, the rest each on a catalog
  // connection of its own.
  auto journal = rec_.Journal();
  for (size_t i = 0; i < journal.size(); ++i) {
    const auto& e = journal[i];
    if (e.sql.empty()) continue;
    if (e.sql.find("sp_mergesubscription_cleanup") != std::string::npos) {
      EXPECT_EQ(e.connection, kTarget);
    } else {
      EXPECT_EQ(e.connection, kDb) << e.sql;
    }
    bool recordSet = e.sql.find("sp_help") != std::string::npos;
    // A catalog statement follows a connect of its own.
    if (!recordSet) {
      ASSERT_GT(i, 0u);
      EXPECT_TRUE(journal[i - 1].sql.empty()) << e.sql;
    }
  }
}

TEST_F(ReplicationTest, LoggersPublicationWhenThisCollectionMadeTheTable) {
  // No LOGGERS yet: Open makes it (the Jet form is not needed here).
  rec_.FailOn("SELECT * FROM LOGGERS", int32_t(0x80040E37), "Invalid object name 'LOGGERS'.", 1);
  CLogDbCollection c;
  OpenOn(c);
  auto made = rec_.Statements();
  ASSERT_GE(made.size(), 3u);
  EXPECT_EQ(made[made.size() - 2].rfind("CREATE TABLE LOGGERS (sLoggerName char(255), nLoggerSequence integer, "
                                        "dStartTime datetime,dStopTime datetime,",
                                        0),
            0u);
  EXPECT_EQ(made.back(), "ALTER TABLE LOGGERS ADD CONSTRAINT PK PRIMARY KEY (sLoggerName, nLoggerSequence)");
  EXPECT_EQ(g_sleeps, 0);  // the wait is for Jet files only
  Answer();
  size_t from = rec_.Statements().size();
  ASSERT_EQ(c.SetReplicationTarget(kTarget.c_str(), 0, 0), 0);
  auto got = Since(from);
  ASSERT_GE(got.size(), 6u);
  EXPECT_EQ(got[3], ShortPublication("PLANT", "PLANT"));
  EXPECT_EQ(got[5], Article("PLANT", "LOGGERS"));
  EXPECT_EQ(got[6], "exec sp_helpmergepublication @publication = N'PLANT'");
}

TEST_F(ReplicationTest, PublicationRetriedAfterEnablingTheDatabase) {
  CLogDbCollection c;
  OpenOn(c);
  ASSERT_EQ(c.SetReplicationTarget(kTarget.c_str(), 0, 0), 0);
  rec_.FailOn("exec sp_addmergepublication", int32_t(0x80040E14), "The database is not enabled for publication.");
  rec_.Clear();
  c.SetUpReplication("PLANT_00000002_", 2, 0, 0);
  auto got = Since(3);
  std::vector<std::string> want = {
      ShortPublication("PLANT_00000002_", "PLANT"), LongPublication("PLANT_00000002_", "PLANT"),
      "exec sp_replicationdboption @dbname = N'LOGS', @optname = N'merge publish', @value = N'true'",
      ShortPublication("PLANT_00000002_", "PLANT"), LongPublication("PLANT_00000002_", "PLANT")};
  EXPECT_EQ(got, want);
  EXPECT_STREQ(c.GetErrorSummary(), "CAN'T ADD PUBLICATION");
  EXPECT_STREQ(c.GetErrorDetail(), "The database is not enabled for publication.");
  EXPECT_EQ(c.ReplicationSetUpInProgress(), 1);  // stays set after a failure
}

TEST_F(ReplicationTest, ArticleWarningsAreIgnoredOtherErrorsStop) {
  CLogDbCollection c;
  OpenOn(c);
  ASSERT_EQ(c.SetReplicationTarget(kTarget.c_str(), 0, 0), 0);
  Answer();
  rec_.FailOn("@article = N'PLANT_00000002_DATA'", int32_t(0x80040E14), "warning: column tracking is slow", 1);
  c.SetUpReplication("PLANT_00000002_", 2, 0, 0);
  EXPECT_EQ(c.ReplicationSetUpInProgress(), 0) << c.GetErrorSummary();
  rec_.FailOn("@article = N'PLANT_00000002_CHANNELS'", int32_t(0x80040E14), "Invalid object name.", 1);
  rec_.Clear();
  c.SetUpReplication("PLANT_00000002_", 2, 0, 0);
  EXPECT_STREQ(c.GetErrorSummary(), "CAN'T ADD PUBLICATION ARTICLE");
  EXPECT_EQ(Since(0).back(), Article("PLANT_00000002_", "PLANT_00000002_CHANNELS"));
}

TEST_F(ReplicationTest, SnapshotThatNeverRunsEndsAfterSixtyLooks) {
  CLogDbCollection c;
  OpenOn(c);
  ASSERT_EQ(c.SetReplicationTarget(kTarget.c_str(), 0, 0), 0);
  rec_.AnswerRows("exec sp_helpmergepublication @publication", {"snapshot_jobid"}, {{ado::Variant::Bytes(kJob)}});
  rec_.AnswerRows("sp_help_job", {"last_run_outcome"}, {{ado::Variant::Int(5)}});
  rec_.Clear();
  c.SetUpReplication("PLANT_00000002_", 2, 0, 0);
  EXPECT_STREQ(c.GetErrorSummary(), "SNAPSHOT DID NOT RUN");
  int looks = 0;
  for (const auto& s : Since(0)) looks += s.find("sp_help_job") != std::string::npos;
  EXPECT_EQ(looks, 60);
  EXPECT_EQ(g_sleeps, 60);
  EXPECT_EQ(g_sleptMs, 60000);
  EXPECT_EQ(Since(0).back().find("sp_addmergesubscription"), std::string::npos);
}

TEST_F(ReplicationTest, OldPublicationsBeyondTheKeptRunsArePurged) {
  CLogDbCollection c;
  OpenOn(c);
  ASSERT_EQ(c.SetReplicationTarget(kTarget.c_str(), 1, 1), 0);
  // Runs 5 (newest) to 1; publications of runs 4 to 1, another logger's
  // and a short name.
  std::vector<std::vector<ado::Variant>> runs;
  for (int i = 5; i >= 1; --i) {
    char prefix[32];
    snprintf(prefix, sizeof prefix, "PLANT_%08d_", i);
    runs.push_back({ado::Variant::Int(i), ado::Variant::Date(45000 + i), ado::Variant::Date(45000.5 + i),
                    ado::Variant::Int(1), ado::Variant::Text(prefix)});
  }
  rec_.AnswerRows("select nLoggerSequence, dStartTime, dStopTime, bCompleted, sTablePrefix from LOGGERS",
                  {"nLoggerSequence", "dStartTime", "dStopTime", "bCompleted", "sTablePrefix"}, runs);
  Answer();
  rec_.AnswerRows("exec sp_helpmergepublication", {"name"},
                  {{ado::Variant::Text("PLANT_00000004_")}, {ado::Variant::Text("PLANT_00000003_")},
                   {ado::Variant::Text("PLANT_00000002_")}, {ado::Variant::Text("PLANT_00000001_")},
                   {ado::Variant::Text("OTHER_00000001_")}, {ado::Variant::Text("PLANT")}});
  rec_.Clear();
  c.SetUpReplication("PLANT_00000005_", 5, 0, 0);
  std::vector<std::string> dropped;
  for (const auto& s : Since(0))
    if (s.rfind("exec sp_dropmergepublication", 0) == 0) dropped.push_back(s);
  // Keep 1: runs from the third newest on (3, 2, 1) lose their publication.
  std::vector<std::string> want = {"exec sp_dropmergepublication @publication = N'PLANT_00000005_'",
                                   "exec sp_dropmergepublication @publication = N'PLANT_00000003_'",
                                   "exec sp_dropmergepublication @publication = N'PLANT_00000002_'",
                                   "exec sp_dropmergepublication @publication = N'PLANT_00000001_'"};
  EXPECT_EQ(dropped, want);
}

TEST_F(ReplicationTest, TargetFieldsAndTheSameDatabase) {
  {
    // Not SQL Server: nothing to do.
    std::string file = std::string(std::getenv("CDXPLAT_ROOT")) + "/plain.mdb";
    CLogDbCollection c;
    ASSERT_EQ(c.Open(("Provider=SQLite;Data Source=" + file).c_str(), "", "PLANT", "", 0xC0000000u), 0);
    EXPECT_EQ(c.SetReplicationTarget(kTarget.c_str(), 0, 0), 0);
    EXPECT_EQ(c.ReplicationOn(), 0);
  }
  struct Case {
    std::string target;
    const char* summary;
  } cases[] = {
      {"Provider=SQLOLEDB;Data Source=SRV2", "NO INITIAL CATALOG DEFINED IN "},
      {"Provider=SQLOLEDB;Initial Catalog=COPY", "NO DATA SOURCE DEFINED IN TARG"},
      {"Provider=SQLOLEDB;Data Source=SRV1;Initial Catalog=logs", "DATABASE AND TARGET CONNECTION"},
  };
  for (const Case& k : cases) {
    CLogDbCollection c;
    OpenOn(c);
    EXPECT_EQ(c.SetReplicationTarget(k.target.c_str(), 0, 0), -1) << k.target;
    EXPECT_STREQ(c.GetErrorSummary(), k.summary) << k.target;
    EXPECT_EQ(c.ReplicationOn(), 0);
  }
  // "." and this computer's name are one server.
  std::string local = "Provider=SQLOLEDB;Data Source=.;Initial Catalog=LOGS";
  CLogDbCollection c;
  ASSERT_EQ(c.Open(local.c_str(), "", "PLANT", "", 0xC0000000u), 0);
  std::string same = "Provider=SQLOLEDB;Data Source=" + plat::ComputerName() + ";Initial Catalog=LOGS";
  EXPECT_EQ(c.SetReplicationTarget(same.c_str(), 0, 0), -1);
  EXPECT_STREQ(c.GetErrorDetail(), "DATABASE AND TARGET ARE SAME");
}

}  // namespace
