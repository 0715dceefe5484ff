#include "cdxlib/xml/xmlsave.h"

#include <cerrno>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/error.h"
#include "platform/files.h"

namespace {

// The error text as xml_Save made it for the temporary, with the target's
// path in place of the temporary's.
void NameTargetInError(const std::string& temp, const std::string& path) {
  std::string text = xml_GetErrorMessage();
  for (size_t at = text.find(temp); at != std::string::npos; at = text.find(temp, at + path.size()))
    text.replace(at, temp.size(), path);
  xml_SetError(xml_GetError(), text.c_str());
}

}  // namespace

int xml_SaveFile(XmlDocument* doc, const char* path) {
  if (xml_GetError() < 0 || !path || !doc) return xml_Save(doc, path);
  const std::string target = path;
  plat::RemoveStaleTemps(target, ".tmp");
  struct stat st;
  const mode_t mode = ::stat(path, &st) == 0 ? (st.st_mode & 07777) : plat::NewFileMode();
  std::string temp;
  const int fd = plat::CreateTempBeside(target, ".tmp", mode, &temp);
  if (fd < 0) return xml_Save(doc, path);  // the direct save reports why the folder cannot take it
  ::close(fd);
  if (xml_Save(doc, temp.c_str()) != 0) {
    ::unlink(temp.c_str());
    NameTargetInError(temp, target);
    return -1;
  }
  if (::rename(temp.c_str(), path) != 0) {
    const int e = errno;
    ::unlink(temp.c_str());
    xml_SetError(static_cast<int32_t>(0x80070000u | (plat::FromErrno(e) & 0xFFFF)),
                 ("Save XML File (" + target + ") failed").c_str());
    return -1;
  }
  return 0;
}
