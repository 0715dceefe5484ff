// The library's help file: its own file name with the extension replaced by
// "chm" ("libqd_setup.so" -> "libqd_setup.chm"), in the same folder.
#pragma once
#include <string>

// The help file beside the file that holds this code (found once).
const std::string& QdSetup_HelpFilePath();
// The help file name for a library path: the extension after the last '.'
// of the file name replaced by "chm"; without one, ".chm" appended.
std::string QdSetup_HelpFileFor(const std::string& libraryPath);
// The topic as the help viewer takes it: file + topic ("x.chm::/html/a.htm").
std::string QdSetup_HelpTopicUrl(const std::string& file, const std::string& topic);
