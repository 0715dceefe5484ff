#include "platform/sysinfo.h"

#include "platform/root.h"

#include <cctype>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace plat {

std::string ComputerName() {
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) != 0 || !host[0]) return "LOCALHOST";
  std::string name;
  for (const char* p = host; *p && *p != '.' && name.size() < kMaxComputerName; ++p)
    name += static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
  return name;
}

std::string UserName() {
  const uid_t uid = ::geteuid();
  std::string name;
  passwd pw;
  passwd* found = nullptr;
  char buf[4096];
  if (::getpwuid_r(uid, &pw, buf, sizeof buf, &found) == 0 && found && found->pw_name)
    name = found->pw_name;
  else
    name = std::to_string(uid);
  if (name.size() > kMaxUserName) name.resize(kMaxUserName);
  return name;
}

int PlatformId() { return kPlatformIdNt; }

int OsMajorVersion() { return 10; }

bool ControllerSdkPresent() {
  struct stat st;
  return ::stat((Root() + "/XPacSDK.dll").c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace plat
