// Server names: which name means this machine, and the kind of connection
// each name gets.
#include "cdxlib/sys/servernames.h"

#include <gtest/gtest.h>

#include <string>
#include <unistd.h>

namespace {

TEST(SrvNames, KindsAndLocalNames) {
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  struct Case {
    std::string name;
    int kind;
    int local;
  } cases[] = {
      {"", 1, 1}, {".", 1, 1}, {"127.0.0.1", 1, 1}, {"LOCALHOST", 1, 1}, {host, 1, 1},
      {"PROVIDER=MSDASQL;x", 3, 0}, {"C:\\logs", 3, 0}, {"\\\\h\\s", 3, 0}, {"/var/cdx/logs", 3, 0},
      {"http://h2/", 4, 0}, {"https://h2:8443/", 4, 0}, {"ftp://h2/", 2, 0}, {"plc-srv", 1, 0},
      {"file:///x", 3, 0}, {"file://localhost/x", 3, 0}, {"https://localhost/x", 1, 1}, {"tls://127.0.0.2:1", 2, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Srv_GetKind(c.name.c_str()), c.kind) << c.name;
    EXPECT_EQ(Srv_IsLocal(c.name.c_str()), c.local) << c.name;
  }
  EXPECT_EQ(Srv_IsLocal(nullptr), 1);
  EXPECT_EQ(Srv_IsLocalUnc("\\\\other\\share\\x"), 0);
  EXPECT_EQ(Srv_IsLocalUnc("\\\\localhost\\share"), 1);
  EXPECT_EQ(Srv_IsLocalUnc("//other/share"), 0);
  EXPECT_EQ(Srv_IsLocalUnc("\\\\hostonly"), 1);
  EXPECT_EQ(Srv_IsLocalUnc("C:\\x"), 1);
  EXPECT_EQ(Srv_IsRequestOnly("https://h2/"), 1);
  EXPECT_EQ(Srv_IsRequestOnly("plc-srv"), 0);
  EXPECT_EQ(Srv_IsRequestOnly("."), 0);
}

}  // namespace
