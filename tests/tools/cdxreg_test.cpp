#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "platform/registry.h"
#include "platform/root.h"
#include "support/child.h"

namespace {

using namespace plat;

// Runs cdxreg with the arguments; its standard output goes to *out.
int Cdxreg(const std::vector<std::string>& args, std::string* out = nullptr) {
  const std::string outPath = Root() + "/cdxreg.out";
  pid_t p = testsupport::ForkChild([&] {
    int fd = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    ::dup2(fd, 1);
    int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 2);
    std::vector<std::string> all{testsupport::BinPath("cdxreg")};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    return 127;
  });
  int rc = testsupport::WaitChild(p, 20000);
  if (out) {
    std::ifstream in(outPath);
    std::stringstream ss;
    ss << in.rdbuf();
    *out = ss.str();
  }
  return rc;
}

const char* const kPorts = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports";

TEST(Cdxreg, AddQueryDeleteRoundTrip) {
  ASSERT_EQ(Cdxreg({"add", "HKLM", kPorts, "COM1:", "REG_SZ", "9600,n,8,1"}), 0);
  ASSERT_EQ(Cdxreg({"add", "hkey_local_machine", kPorts, "Flags", "REG_DWORD", "0x1F"}), 0);
  ASSERT_EQ(Cdxreg({"add", "HKCU", "SOFTWARE\\T", "Multi", "REG_MULTI_SZ", "a\\0b c"}), 0);
  ASSERT_EQ(Cdxreg({"add", "HKCU", "SOFTWARE\\T", "Bin", "REG_BINARY", "00 7f ff"}), 0);

  // What the tool wrote is what a program reads.
  HKEY k = nullptr;
  ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, kPorts, KEY_READ, &k), 0u);
  char buf[32];
  uint32_t type = 0, size = sizeof buf;
  ASSERT_EQ(RegQueryValueEx(k, "com1:", &type, buf, &size), 0u);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(std::string(buf, size), std::string("9600,n,8,1\0", 11));
  uint32_t flags = 0;
  size = 4;
  ASSERT_EQ(RegQueryValueEx(k, "Flags", &type, &flags, &size), 0u);
  EXPECT_EQ(flags, 0x1Fu);
  RegCloseKey(k);

  std::string out;
  ASSERT_EQ(Cdxreg({"query", "HKCU", "software\\t"}, &out), 0);
  EXPECT_EQ(out, "Bin\tREG_BINARY\t007fff\nMulti\tREG_MULTI_SZ\ta\\0b c\n");
  ASSERT_EQ(Cdxreg({"query", "HKLM", kPorts, "Flags"}, &out), 0);
  EXPECT_EQ(out, "Flags\tREG_DWORD\t0x1f\n");
  ASSERT_EQ(Cdxreg({"query", "HKLM", "SOFTWARE\\Microsoft"}, &out), 0);
  EXPECT_EQ(out, "Windows NT\\\n");

  ASSERT_EQ(Cdxreg({"delete", "HKLM", kPorts, "Flags"}), 0);
  EXPECT_EQ(Cdxreg({"query", "HKLM", kPorts, "Flags"}), 1);
  EXPECT_EQ(Cdxreg({"delete", "HKLM", kPorts, "Flags"}), 1);
  ASSERT_EQ(Cdxreg({"delete", "HKCU", "SOFTWARE\\T"}), 0);
  EXPECT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "SOFTWARE\\T", KEY_READ, &k), 2u);
}

TEST(Cdxreg, BadArgumentsGiveUsageAndExit2) {
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"add"},
      {"add", "HKXX", "K", "N", "REG_SZ", "x"},
      {"add", "HKLM", "K", "N", "REG_FOO", "x"},
      {"add", "HKLM", "K", "N", "REG_SZ"},
      {"add", "HKLM", "K", "N", "REG_DWORD", "twelve"},
      {"add", "HKLM", "K", "N", "REG_DWORD", "0x100000000"},
      {"add", "HKLM", "K", "N", "REG_BINARY", "abc"},
      {"add", "HKLM", "K", "N", "REG_BINARY", "zz"},
      {"query", "HKLM", "K", "N", "extra"},
      {"rename", "HKLM", "K"},
  };
  for (const auto& args : bad) {
    std::string joined;
    for (const auto& a : args) joined += a + " ";
    EXPECT_EQ(Cdxreg(args), 2) << joined;
  }
  HKEY k = nullptr;
  EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "K", KEY_READ, &k), 2u);  // nothing was written
}

}  // namespace
