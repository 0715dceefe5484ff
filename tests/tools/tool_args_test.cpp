// The tools' command lines as a user types them: usage without arguments,
// --help, bad numbers refused, and df1sim ending with its standard input.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/root.h"
#include "support/child.h"
#include "support/tool_run.h"

namespace {

using testsupport::BinPath;
using testsupport::RunTool;

TEST(ToolArgs, FakeServerHelpPrintsUsageAndServesNothing) {
  const std::string tool = BinPath("cdxfakesrv");
  for (const char* help : {"--help", "-h"}) {
    auto r = RunTool({tool, help}, 20000);
    EXPECT_EQ(r.rc, 0) << help << ": " << r.out;
    EXPECT_NE(r.out.find("usage: cdxfakesrv HOST [SCRIPT]"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("listening"), std::string::npos) << r.out;
  }
  for (std::vector<std::string> args : {std::vector<std::string>{tool}, {tool, "--bogus"}, {tool, ".", "-x"}}) {
    auto r = RunTool(args, 20000);
    EXPECT_EQ(r.rc, 2) << r.out;
    EXPECT_NE(r.out.find("usage:"), std::string::npos) << r.out;
  }
  std::error_code ec;
  for (const auto& e : std::filesystem::recursive_directory_iterator(plat::Root() + "/pipe", ec))
    EXPECT_EQ(e.path().string().find("-h"), std::string::npos) << e.path();
}

TEST(ToolArgs, Df1simUsageAndBadNumbers) {
  const std::string tool = BinPath("df1sim");
  struct Case {
    std::vector<std::string> args;
    int rc;
    const char* says;
  };
  const Case cases[] = {
      {{}, 2, "usage: df1sim"},
      {{"--help"}, 0, "usage: df1sim"},
      {{"-h"}, 0, "byte address 16"},
      {{"--baud", "abc"}, 2, "--baud abc: not a baud rate"},
      {{"--baud", "-5"}, 2, "not a baud rate"},
      {{"--baud", "19200x"}, 2, "not a baud rate"},
      {{"--image", "x=file"}, 2, "expected NODE=FILE"},
      {{"--image", "1="}, 2, "expected NODE=FILE"},
      {{"--bogus"}, 2, "usage: df1sim"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv{tool};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    auto r = RunTool(argv, 20000);
    EXPECT_EQ(r.rc, c.rc) << r.out;
    EXPECT_NE(r.out.find(c.says), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("df1sim: port"), std::string::npos) << "it did not run: " << r.out;
  }
}

// Without a control socket, the end of standard input ends df1sim after
// the commands it carried were answered.
TEST(ToolArgs, Df1simEndsWhenItsStandardInputEnds) {
  const std::string commands = "word 1 16 100\nget 1 16\n";
  auto r = RunTool({BinPath("df1sim"), "--baud", "0", "--link", plat::Root() + "/ttyX"}, 20000, {}, &commands);
  EXPECT_EQ(r.rc, 0) << r.out;
  EXPECT_NE(r.out.find("df1sim: port"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("100"), std::string::npos) << r.out;
}

// The addresses as a user needs them to serve a point with df1sim.
TEST(ToolArgs, CdxsimHelpExplainsPointAddresses) {
  auto r = RunTool({BinPath("cdxsim"), "--help"}, 20000);
  EXPECT_EQ(r.rc, 0) << r.out;
  for (const char* s : {"octal", "3-digit BCD", "byte address 16", "\"word 1 16 100\"", "--reconfigure", "--replace"})
    EXPECT_NE(r.out.find(s), std::string::npos) << s << "\n" << r.out;
}

}  // namespace
