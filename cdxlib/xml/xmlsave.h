// Saving the configuration's XML and schema files so that a save killed in
// the middle leaves nothing behind for good.
//
// xml_Save replaces a file through a temporary of its own; a process killed
// during it leaves that temporary, and nothing tells whether its writer
// still runs. The configuration's writers therefore save through a
// temporary file of this process beside the target
// ("<path>.<pid>.XXXXXX.tmp", made with O_EXCL, platform/files.h) and rename
// it into place, and each save first removes what processes that no longer
// run left beside the same file (also what xml_Save made of such a name).
#pragma once
#include "cdxlib/xml/xmldoc.h"

// Saves as xml_Save does (same results and error texts, naming `path`); a
// file that exists keeps its permissions, a new one gets 0666 less the umask.
int xml_SaveFile(XmlDocument* doc, const char* path);
