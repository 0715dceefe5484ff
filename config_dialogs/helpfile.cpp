#include "config_dialogs/helpfile.h"

#include <dlfcn.h>

std::string QdSetup_HelpFileFor(const std::string& libraryPath) {
  const size_t slash = libraryPath.rfind('/');
  const size_t dot = libraryPath.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash) || dot == slash + 1)
    return libraryPath + ".chm";
  return libraryPath.substr(0, dot + 1) + "chm";
}

const std::string& QdSetup_HelpFilePath() {
  static const std::string path = [] {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&QdSetup_HelpFileFor), &info) == 0 || info.dli_fname == nullptr) return std::string();
    return QdSetup_HelpFileFor(info.dli_fname);
  }();
  return path;
}

std::string QdSetup_HelpTopicUrl(const std::string& file, const std::string& topic) { return file + topic; }
