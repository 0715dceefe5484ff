#include "cdxlib/sys/procstart.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cdxlib/sys/textutil.h"
#include "platform/error.h"
#include "platform/process.h"
#include "platform/spawn.h"

namespace {

// Start options of Proc_Start.
uint32_t g_creationFlags = 0;
int g_inheritHandles = 0;

bool AllDigits(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s)
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

}  // namespace

int32_t Proc_Start(const char* const* args) {
  if (!args || !args[0]) return plat::Fail(plat::kErrInvalidParameter), -1;
  std::vector<std::string> argv;
  for (const char* const* a = args; *a; ++a) argv.emplace_back(*a);
  plat::SpawnOptions options;
  options.inheritHandles = g_inheritHandles != 0;
  options.newProcessGroup = (g_creationFlags & kProcCreateNewProcessGroup) != 0;
  return plat::SpawnProcess(argv, options);
}

void Proc_SetStartOptions(uint32_t creationFlags, int inheritHandles) {
  g_creationFlags = creationFlags;
  g_inheritHandles = inheritHandles;
}

const char* Proc_HelperProgramName(const char* programName, const char* role) {
  static char program[16];
  std::string name(programName ? programName : "", programName ? strnlen(programName, 9) : 0);
  if (cdxtext::StartsNoCase(name.c_str(), "calc") && AllDigits(name.substr(4)))
    name = name.substr(0, 4);
  else if (cdxtext::StartsNoCase(name.c_str(), "mvtrx") && AllDigits(name.substr(5)))
    name = name.substr(0, 5);
  std::snprintf(program, sizeof program, "%.5s_%.2s", name.c_str(), role ? role : "");
  return program;
}

int32_t Proc_StartHelperEx(const char* programName, const char* role, int number, const char* text2,
                           const char* text3) {
  const std::string program = Proc_HelperProgramName(programName, role);
  const std::string first = std::to_string(number);
  std::vector<const char*> argv{program.c_str(), first.c_str()};
  if (text2) argv.push_back(text2);
  if (text3) argv.push_back(text3);
  argv.push_back(nullptr);
  return Proc_Start(argv.data());
}

int32_t Proc_StartHelper(const char* programName, const char* role, int number) {
  return Proc_StartHelperEx(programName, role, number, nullptr, nullptr);
}

int Proc_IsAlive(int32_t pid) { return plat::ProcessAlive(pid) ? 1 : 0; }
