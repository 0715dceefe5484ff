// Driver tables and module sets, on tables that cdxsim builds in this test
// process's own instance.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "cdxlib/shm/drvtables.h"

TEST(BitsTest, NumberedFromTheTopOfEachByte) {
  uint8_t bytes[3] = {};
  Bit_Set(bytes, 0);
  Bit_Set(bytes, 9);
  Bit_Set(bytes, 23);
  EXPECT_EQ(bytes[0], 0x80);
  EXPECT_EQ(bytes[1], 0x40);
  EXPECT_EQ(bytes[2], 0x01);
  EXPECT_EQ(Bit_Test(bytes, 9), 1);
  EXPECT_EQ(Bit_Test(bytes, 8), 0);
  Bit_Clear(bytes, 9);
  EXPECT_EQ(bytes[1], 0x00);
  EXPECT_EQ(Bit_Test(bytes, 0), 1);
}

TEST(BitsTest, RowsRoundDownAndUpperCaseTouchesOnlyLetters) {
  EXPECT_EQ(Drv_EventRowLength(20), 2);
  EXPECT_EQ(Drv_EventRowLength(7), 0);
  EXPECT_EQ(Drv_EventRowLength(16), 2);
  char text[] = "ab_9z{Q";
  Str_UpperN(text, 5);
  EXPECT_STREQ(text, "AB_9Z{Q");
}

#include "cdxlib/shm/datamodule.h"
#include "cdxlib/runtime/syserr.h"
#include "tools/cdxsim/cdxsim.h"

namespace {

const char* kTables = R"(
errors  entries=16
driver  name=SCANNER1 print=Scanner-One prefix=S1 type=0 pid=111
driver  name=SCANX    print=ScanX       prefix=SX type=2 pid=222 valrec=1
driver  name=SCANNER2 print=Scanner-Two prefix=S2 type=0
driver  name=MODBUS1  print=Modbus      prefix=MB type=0
driver  name=SHARED   print=Shared      prefix=PA type=1 pid=333
device  type=qd number=3 name=dev3 process=qd_dev3 ai=PA di=DB diag=DX
module  prefix=S1 channels=4 kind=4
module  prefix=SX channels=8
module  prefix=MB channels=4
module  prefix=PA channels=20
module  prefix=DB channels=4 kind=4
module  prefix=DX channels=10
module  prefix=XY channels=2
logger  name=Alpha type=stand triggers=PA:17
logger  name=Beta  type=repub enabled=0
)";

class DrvTablesTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    cdxsim::Description d;
    std::string error;
    ASSERT_TRUE(cdxsim::Description::Parse(kTables, &d, &error)) << error;
    sim_ = new cdxsim::Sim(d);
  }
  static void TearDownTestSuite() {
    delete sim_;
    sim_ = nullptr;
  }
  void SetUp() override {
    // Every test starts from the described tables and an empty cache.
    ASSERT_EQ(sim_->Create(), 0);
    Drv_ResetProcessState();
  }
  static cdxsim::Sim* sim_;
};
cdxsim::Sim* DrvTablesTest::sim_ = nullptr;

std::string ProgramOf(const DriverRecord* r) { return r ? std::string(r->programName) : "(none)"; }

TEST_F(DrvTablesTest, FindDriverFullMatchFirstThenFiveCharacters) {
  struct Case {
    const char* name;
    const char* found;
  } cases[] = {
      {"scanner2", "SCANNER2"},      // full match, case-blind
      {"SCANNER2LONGER", "SCANNER2"},  // cut to 8 characters
      {"SCANNER9", "SCANNER1"},      // second pass: first on 5 characters
      {"scanxyz", "SCANX"},          // "SCANX" agrees on 5
      {"SCANX", "SCANX"},
      {"SCAN", "(none)"},            // 5 characters include the end
      {"NOPE", "(none)"},
  };
  for (const auto& c : cases) EXPECT_EQ(ProgramOf(Drv_FindDriver(c.name)), c.found) << c.name;
}

TEST_F(DrvTablesTest, CacheIndexFollowsTableOrderAndOpensLowerCasePrefix) {
  EXPECT_EQ(Drv_CacheIndex("s1"), 0);
  EXPECT_EQ(Drv_CacheIndex("SX"), 1);
  // PA is both a "dm_datproc" prefix and device 0's ai path: the record wins.
  EXPECT_EQ(Drv_CacheIndex("pa"), 4);
  EXPECT_EQ(Drv_CacheIndex("DB"), 5 + 1);  // D + 6*0 + 1 (di)
  EXPECT_EQ(Drv_CacheIndex("dx"), 5 + 5);  // the sixth module
  EXPECT_EQ(Drv_CacheIndex("XY"), -1);     // a module, but in no table
  EXPECT_EQ(Drv_CacheIndex("S2"), -1);     // in the table, no module
  EXPECT_EQ(Drv_CacheIndex(""), -1);
  // xy finds the values module dm_XY.
  uint8_t* data = Drv_GetData("xy");
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(std::memcmp(data, "XY", 2), 0);
  EXPECT_EQ(Drv_GetValueWords("xy"), reinterpret_cast<uint32_t*>(data + 20));
  EXPECT_NE(Drv_OpenConfModule("xy"), nullptr);
  EXPECT_NE(Drv_OpenEventModule("Xy"), nullptr);
  EXPECT_EQ(Drv_OpenDataModule("S2"), nullptr);
}

TEST_F(DrvTablesTest, KindOwnerAndValueRecordsByPrefix) {
  struct Case {
    const char* prefix;
    int kind;
    int32_t pid;
    const char* owner;
    int records;
  } cases[] = {
      {"S1", 1, 111, "Scanner-One", 0},  // type 0 + 1
      {"SX", 3, 222, "ScanX", 1},        // type 2 + 1, value records on
      {"MB", 1, 0, "Modbus", 0},         // "modb..." is kind 1
      {"PA", 2, 333, "Shared", 0},       // the record, not the device path
      {"DB", 0, 0, "qd_dev3", 0},        // a device path module
      {"DX", 1, 0, "qd_dev3", 0},        // a device's sixth module
      {"XY", 1, 0, "", 0},               // no cache entry
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Drv_GetKind(c.prefix), c.kind) << c.prefix;
    EXPECT_EQ(Drv_GetOwnerPid(c.prefix), c.pid) << c.prefix;
    ASSERT_NE(Drv_GetOwnerName(c.prefix), nullptr) << c.prefix;
    EXPECT_STREQ(Drv_GetOwnerName(c.prefix), c.owner) << c.prefix;
    EXPECT_EQ(Drv_UsesValueRecords(c.prefix), c.records) << c.prefix;
  }
  // A prefix whose values module does not exist.
  EXPECT_EQ(Drv_GetKind("S2"), -1);
  EXPECT_EQ(Drv_GetOwnerPid("S2"), -1);
  EXPECT_EQ(Drv_GetOwnerName("S2"), nullptr);
  EXPECT_EQ(Drv_UsesValueRecords("S2"), -1);
}

TEST_F(DrvTablesTest, LoggersByNumberAndName) {
  EXPECT_EQ(Drv_FindLogger("alpha"), 1);
  EXPECT_EQ(Drv_FindLogger("BETA"), 2);
  errno = 5;
  EXPECT_EQ(Drv_FindLogger("Gamma"), 0);
  EXPECT_EQ(errno, 0);
  ASSERT_NE(Drv_GetLogger(2), nullptr);
  EXPECT_STREQ(Drv_GetLogger(2)->name, "Beta");
  EXPECT_EQ(Drv_GetLogger(2)->enabled, 0);
  EXPECT_EQ(Drv_GetLogger(0), nullptr);
  EXPECT_EQ(Drv_GetLogger(3), nullptr);
  EXPECT_NE(Drv_GetLoggerExtension(2), nullptr);
}

TEST_F(DrvTablesTest, EventRowsRoundDownButStayInsideTheModule) {
  // 20 channels: rows of 2 bytes. Logger 1 is triggered by channel 17 (bit
  // 16), which lies in the first byte after its 2-byte row.
  DataModuleHeader* ev = Drv_OpenEventModule("PA");
  ASSERT_NE(ev, nullptr);
  int row = Drv_EventRowLength(20);
  EXPECT_EQ(Drv_EventBitTest(ev, row, 1, 16), 1);
  EXPECT_EQ(Drv_EventBitTest(ev, row, 2, 0), 1);  // the same byte, read as row 2
  EXPECT_EQ(Drv_EventBitTest(ev, row, 1, 15), 0);
  // Far outside: read as 0, refused for writing.
  EXPECT_EQ(Drv_EventBitTest(ev, row, 1000, 0), 0);
  errno = 0;
  EXPECT_EQ(Drv_EventBitSet(ev, row, 1000, 0, true), -1);
  EXPECT_EQ(errno, 67);
}

TEST_F(DrvTablesTest, MoveDriverLastMovesRecordAndCacheEntry) {
  ASSERT_EQ(Drv_CacheIndex("S1"), 0);
  DataModuleHeader* s1 = Drv_OpenDataModule("S1");
  EXPECT_EQ(Drv_MoveDriverLast("scanner1"), 0);
  EXPECT_EQ(Drv_MoveDriverLast("nothing"), 0);
  const char* order[] = {"SCANX", "SCANNER2", "MODBUS1", "SHARED", "SCANNER1"};
  ASSERT_EQ(Drv_DriverCount(), 5);
  for (int i = 0; i < 5; ++i) EXPECT_STREQ(Drv_DriverAt(i)->programName, order[i]);
  EXPECT_EQ(Drv_CacheIndex("S1"), 4);
  EXPECT_EQ(Drv_OpenDataModule("S1"), s1);
  EXPECT_EQ(Drv_GetOwnerPid("S1"), 111);
  EXPECT_EQ(Drv_GetOwnerPid("SX"), 222);
}

}  // namespace

namespace {

// The driver table grows after the cache was sized (a reconfiguration): the
// records added since have no cache entry, and must never take the entries
// of the device modules that follow the drivers counted at sizing time.
TEST_F(DrvTablesTest, DriversAddedAfterSizingHaveNoCacheEntry) {
  uint8_t* datproc = sim_->ModuleData("dm_datproc");
  ASSERT_NE(datproc, nullptr);
  int32_t full = 0;
  std::memcpy(&full, datproc, 4);
  ASSERT_EQ(full, 5);
  const int32_t shorter = 3;  // MODBUS1 (MB) and SHARED (PA) not yet there
  std::memcpy(datproc, &shorter, 4);
  ASSERT_EQ(Drv_CacheIndex("S1"), 0);  // sizes the cache: D = 3, one device
  std::memcpy(datproc, &full, 4);

  EXPECT_EQ(Drv_CacheIndex("MB"), -1);
  EXPECT_EQ(Drv_GetKind("MB"), 1);
  EXPECT_EQ(Drv_GetOwnerPid("MB"), 0);
  ASSERT_NE(Drv_GetOwnerName("MB"), nullptr);
  EXPECT_STREQ(Drv_GetOwnerName("MB"), "");
  // PA is now record 4; the device's di module DB keeps its own entry 3 + 1.
  DataModuleHeader* pa = Drv_OpenDataModule("PA");
  ASSERT_NE(pa, nullptr);
  EXPECT_EQ(Drv_CacheIndex("DB"), 3 + 1);
  uint8_t* db = Drv_GetData("DB");
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(std::memcmp(db, "DB", 2), 0);
  EXPECT_EQ(Drv_GetOwnerName("DB"), std::string("qd_dev3"));
  EXPECT_EQ(Drv_GetKind("DB"), 0);
}

}  // namespace

namespace {

// A module's data size is written by its creator; bounds are checked
// against what is really mapped here, so a header that claims more never
// leads a read or write out of the mapping.
TEST_F(DrvTablesTest, EventBitsStayInsideTheMappingWhateverTheHeaderClaims) {
  DataModuleHeader* ev = Drv_OpenEventModule("PA");
  ASSERT_NE(ev, nullptr);
  const uint32_t real = ev->dataSize;
  ev->dataSize = 0x7FFFFFF0u;
  const int row = Drv_EventRowLength(20);
  errno = 0;
  EXPECT_EQ(Drv_EventBitSet(ev, row, 50'000'000, 0, true), -1);
  EXPECT_EQ(errno, 67);
  EXPECT_EQ(Drv_EventBitTest(ev, row, 50'000'000, 0), 0);
  ev->dataSize = real;
}

TEST_F(DrvTablesTest, TableCountsAreClampedToTheMapping) {
  ASSERT_EQ(Drv_OpenDriverTable(), 0);
  DataModuleHeader* table = Drv_DriverTable();
  const uint32_t real = table->dataSize;
  int32_t count = 0;
  std::memcpy(&count, reinterpret_cast<uint8_t*>(table) + 128, 4);
  const int32_t claimed = 10'000'000;
  table->dataSize = 0x7FFFFFF0u;
  std::memcpy(reinterpret_cast<uint8_t*>(table) + 128, &claimed, 4);
  EXPECT_LT(Drv_DriverCount(), 100);
  EXPECT_EQ(Drv_FindDriver("NOTTHERE"), nullptr);
  std::memcpy(reinterpret_cast<uint8_t*>(table) + 128, &count, 4);
  table->dataSize = real;
}

}  // namespace
