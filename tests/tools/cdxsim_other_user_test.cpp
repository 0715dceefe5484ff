// cdxsim against modules that another user made or planted first: sizes and
// offsets read from a module are bounded by its mapping, links under module
// names are refused, and nothing crashes.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <unistd.h>

#include "cdxlib/shm/datamodule.h"
#include "platform/root.h"
#include "support/other_user.h"
#include "tools/cdxsim/cdxsim.h"

namespace {

using CdxsimOtherUser = testsupport::OtherUserTest;

const char* kLayout = R"(
errors  entries=5 layout=compact
driver  name=ALARM print=Alarms prefix=al type=4 valrec=1 pid=77
device  type=qd number=1 name=devA process=qd_devA ai=QA port=ttyQ
module  prefix=QA channels=4
)";

cdxsim::Description Layout() {
  cdxsim::Description d;
  std::string error;
  EXPECT_TRUE(cdxsim::Description::Parse(kLayout, &d, &error)) << error;
  return d;
}

// Links at module names, to a file of the superuser: the modules are refused
// with 5 and the file is untouched. (First: a process keeps the views it
// mapped by name, and nothing of these names is mapped here by this test.)
TEST_F(CdxsimOtherUser, LinksAtModuleNamesAreRefused) {
  const std::string victim = VictimFile("victim", std::string(8192, 'v'));
  ASSERT_EQ(AsNobody([&] {
              for (const char* name : {"dm_device", "dm_errors", "dm_QA", "dm_QA_conf"}) {
                const std::string path = root + "/shm/" + plat::EncodeObjectName(DM_MappingName(name));
                if (symlink(victim.c_str(), path.c_str()) != 0) return 1;
              }
              return 0;
            }),
            0);
  cdxsim::Sim sim(Layout());
  errno = 0;
  EXPECT_EQ(sim.Create(), -1);
  EXPECT_EQ(errno, 5);
  EXPECT_EQ(Content(victim), std::string(8192, 'v'));
}

// Nobody makes the system's modules first and scribbles on their headers:
// cdxsim reuses or refuses them, and never reaches past their mappings.
TEST_F(CdxsimOtherUser, ScribbledModulesAreBoundedByTheirMappings) {
  ASSERT_EQ(AsNobody([] {
              for (const char* name : {"dm_errors", "dm_device", "dm_datproc", "dm_QA", "dm_QA_conf"}) {
                DataModule* m = DM_Create(name, 64);
                if (!DM_IsView(m)) return 1;
                m->dataSize = 0x7FFFFFF0u;
                m->notifyOffset = 0xFFFFFF00u;
              }
              return 0;
            }),
            0);
  cdxsim::Sim sim(Layout());
  sim.Create();  // reused where large enough, else refused: either way no crash
  uint32_t size = 0;
  ASSERT_NE(sim.ModuleData("dm_device", &size), nullptr);
  EXPECT_LE(size, 64u + 544u + 108u - 128u);  // what is mapped behind the header
  EXPECT_EQ(sim.Watch("dm_QA"), -1);          // no notify entry lies inside its mapping
}

}  // namespace
