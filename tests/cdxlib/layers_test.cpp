// The layering check of the top-level folders and of cdxlib's families: the
// tree passes it, and a copy of the tree with upward includes, a stray file,
// an include from the platform layer and one between two folders of one
// rank fails it, naming each; a circle among the files of one folder is
// named once, with its files and the includes that close it.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>

#include "platform/root.h"
#include "support/tool_run.h"

namespace {

namespace fs = std::filesystem;

struct Result {
  int status = -1;
  std::string output;
};

Result RunCheck(const std::string& tree) {
  const std::string command = std::string(CDX_SOURCE_DIR) + "/scripts/check-layers '" + tree + "' 2>&1";
  const testsupport::ToolResult run = testsupport::RunShell(command);
  Result r;
  r.status = run.rc;
  r.output = run.out;
  return r;
}

TEST(Layers, TheTreeKeepsItsFamilies) {
  Result r = RunCheck(CDX_SOURCE_DIR);
  EXPECT_EQ(r.status, 0) << r.output;
}

// The command client's table and its pipe, and the dialog model and its
// templates, share a lower header each and use each other no more.
TEST(Layers, TheClientAndTheDialogsHoldNoCircle) {
  Result r = RunCheck(CDX_SOURCE_DIR);
  for (const char* folder : {"cdxlib/client: circle", "config_dialogs: circle"})
    EXPECT_EQ(r.output.find(folder), std::string::npos) << r.output;
}

TEST(Layers, UpwardIncludesStrayFilesAndIncludesFromBelowAreFound) {
  const fs::path copy = fs::path(plat::Root()) / "layers-tree";
  fs::remove_all(copy);
  fs::create_directories(copy);
  for (const char* dir : {"cdxlib", "platform", "base", "scanner", "logdata", "logdb", "config_dialogs", "tools"})
    fs::copy(fs::path(CDX_SOURCE_DIR) / dir, copy / dir, fs::copy_options::recursive);
  ASSERT_EQ(RunCheck(copy.string()).status, 0);

  std::ofstream(copy / "cdxlib/sys/registry.cpp", std::ios::app) << "#include \"cdxlib/client/srvclient.h\"\n";
  std::ofstream(copy / "cdxlib/shm/datamodule.h", std::ios::app) << "  #  include \"cdxlib/runtime/alarms.h\"\n";
  std::ofstream(copy / "cdxlib/config/history.cpp", std::ios::app) << "#include \"cdxlib/nowhere.h\"\n";
  std::ofstream(copy / "cdxlib/stray.cpp") << "\n";
  std::ofstream(copy / "platform/error.h", std::ios::app) << "#include \"cdxlib/sys/registry.h\"\n";
  std::ofstream(copy / "scanner/qd_scan.cpp", std::ios::app) << "#include \"logdata/logstore.h\"\n";
  std::ofstream(copy / "logdata/logstore.h", std::ios::app) << "#include \"logdb/dbstore.h\"\n";
  // A circle inside one folder: the store's header includes the connection's,
  // and now the connection's source the store's.
  std::ofstream(copy / "logdb/mariadbconn.cpp", std::ios::app) << "#include \"logdb/mariadbstore.h\"\n";
  Result r = RunCheck(copy.string());
  EXPECT_EQ(r.status, 1) << r.output;
  for (const char* expected : {
           "cdxlib/sys/registry.cpp:", "sys includes cdxlib/client/srvclient.h of client, a family above it",
           "shm includes cdxlib/runtime/alarms.h of runtime", "includes cdxlib/nowhere.h, which is in no family",
           "cdxlib/stray.cpp: not in a family folder",
           "platform/error.h:", "platform includes cdxlib/sys/registry.h of cdxlib, a folder above or beside it",
           "scanner/qd_scan.cpp:", "scanner includes logdata/logstore.h of logdata",
           "logdata/logstore.h:", "logdata includes logdb/dbstore.h of logdb",
           "logdb: circle among mariadbconn.cpp mariadbconn.h, mariadbstore.cpp mariadbstore.h: "
           "mariadbconn.cpp includes mariadbstore.h; mariadbstore.h includes mariadbconn.h",
           "layering: FAILED"})
    EXPECT_NE(r.output.find(expected), std::string::npos) << expected << "\n" << r.output;
  // The eight planted faults and the verdict, nothing else: the copy's own
  // includes, each to its folder or family or one below, pass.
  size_t lines = 0;
  for (char c : r.output) lines += c == '\n';
  EXPECT_EQ(lines, 9u) << r.output;
  fs::remove_all(copy);
}

}  // namespace
