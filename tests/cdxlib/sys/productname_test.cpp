// Product names are read once per process: every case runs in a fresh
// child process, and this process itself never asks for them.
#include <cstdio>
#include <functional>
#include <gtest/gtest.h>
#include <string>

#include "cdxlib/sys/registry.h"
#include "platform/root.h"
#include "support/child.h"

namespace {

using namespace plat;

void Put(HKEY hive, const char* path, const char* name, const std::string& text) {
  HKEY k = nullptr;
  if (RegCreateKeyEx(hive, path, 0, KEY_ALL_ACCESS, &k, nullptr) != 0) return;
  RegSetValueEx(k, name, REG_SZ, text.c_str(), static_cast<uint32_t>(text.size() + 1));
  RegCloseKey(k);
}

struct Case {
  const char* what;
  std::function<void()> setup;
  const char* product;
  const char* replication;
};

TEST(ProductName, FirstCallReadsTheKeysInOrderAndFallsBackToTheDefault) {
  const std::string marker = Root() + "/XPacSDK.dll";
  const std::string name31(31, 'N');
  const Case cases[] = {
      {"nothing installed", [] {}, "Coordinatrix", "Brin ka Toller"},
      {"maker's key", [] { Put(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillomatic", "ProductName", "Tarvi"); }, "Tarvi",
       "Lumo Pa Varn"},
      {"server's key",
       [] { Put(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillomatic\\Coordinatrix", "ProductName", "Other"); }, "Other",
       "Brin ka Toller"},
      {"31 characters and the zero do not fit: next key",
       [&] {
         Put(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillomatic", "ProductName", name31);
         Put(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillomatic\\Coordinatrix", "ProductName", "Short");
       },
       "Short", "Brin ka Toller"},
      {"30 characters fit", [&] { Put(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillomatic", "ProductName", name31.substr(1)); },
       "NNNNNNNNNNNNNNNNNNNNNNNNNNNNNN", "Brin ka Toller"},
      {"empty value: default", [] { Put(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillomatic", "ProductName", ""); },
       "Coordinatrix", "Brin ka Toller"},
      {"embedded controller default",
       [&] {
         if (FILE* f = std::fopen(marker.c_str(), "w")) std::fclose(f);
       },
       "Zelmo", "Brin ka Toller"},
      {"replication name value",
       [] {
         Put(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillomatic", "ProductName", "tarvi");
         Put(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillomatic\\Coordinatrix", "ReplicationProductName", "Repl");
       },
       "tarvi", "Repl"},
      {"redirected: product from the user hive, replication never",
       [] {
         Put(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillomatic", "ProductName", "Machine");
         Put(HKEY_CURRENT_USER, "SOFTWARE\\Quillomatic", "ProductName", "User");
         Put(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillomatic", "ReplicationProductName", "MachineRepl");
         Put(HKEY_CURRENT_USER, "SOFTWARE\\Quillomatic", "ReplicationProductName", "UserRepl");
         Reg_BeginUserHiveRedirect();
       },
       "User", "MachineRepl"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    RegDeleteTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillomatic");
    RegDeleteTree(HKEY_CURRENT_USER, "SOFTWARE\\Quillomatic");
    std::remove(marker.c_str());
    pid_t p = testsupport::ForkChild([&] {
      c.setup();
      const std::string product = Prod_GetProductName();
      const std::string replication = Prod_GetReplicationProductName();
      if (product != c.product) return std::fprintf(stderr, "product %s\n", product.c_str()), 1;
      if (replication != c.replication) return std::fprintf(stderr, "replication %s\n", replication.c_str()), 2;
      // Kept for the life of the process, whatever changes later.
      Put(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillomatic", "ProductName", "Changed");
      return std::string(Prod_GetProductName()) == product ? 0 : 3;
    });
    EXPECT_EQ(testsupport::WaitChild(p, 10000), 0);
  }
  std::remove(marker.c_str());
}

}  // namespace
