// The remote forms of the section read and write, and the texts of a
// logger's configuration.
#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "cdxlib/client/srvclient.h"
#include "cdxlib/client/srvfile.h"
#include "logdata/eventstext.h"
#include "logdata/loggertext.h"
#include "logdata/textfile.h"
#include "platform/error.h"
#include "platform/files.h"

using namespace evtext;

namespace {

bool IsTextHeader(const std::string& header) { return strcasecmp(header.c_str(), "[TEXT]") == 0; }

// A UNC path without its server part (after "\\" up to the next '\', or
// the one after a ':'), as the server names its own files.
std::string ServerSidePath(const std::string& path) {
  if (!plat::IsUncPath(path)) return path;
  size_t sep = path.find_first_of("\\/", 2);
  size_t colon = path.find(':', 2);
  if (colon != std::string::npos && (sep == std::string::npos || colon < sep)) sep = path.find_first_of("\\/", colon);
  return sep == std::string::npos ? std::string() : path.substr(sep);
}

// The whole file through the server, in requests of 9999 bytes.
bool ReadRemote(const char* server, const std::string& path, uint32_t disposition, std::string* out) {
  out->clear();
  for (;;) {
    char buf[9999];
    uint32_t got = 0;
    if (!SrvFile_Read(server, kSrvInvalidHandle, path.c_str(), sizeof buf, static_cast<int32_t>(out->size()),
                      kSrvFileBegin, kSrvGenericRead, kSrvShareRead | kSrvShareWrite, 0, disposition,
                      kSrvAttributeNormal, buf, &got))
      return false;
    out->append(buf, got);
    if (got < sizeof buf) return true;
  }
}

}  // namespace

int ReadTextSectionFrom(const char* server, const std::string& path, const char* name, char* buffer, int* size) {
  int r = ReadTextSection(path, name, buffer, size);
  if (r != -2 || !server || !*server) return r;
  std::string header = SectionHeader(name);
  std::string bytes;
  if (!ReadRemote(server, ServerSidePath(path), kSrvOpenExisting, &bytes)) return -2;
  TextFile file;
  DecodeFile(bytes, &file);
  std::vector<std::string> lines;
  for (const std::string& l : SectionOf(file.text, header))
    lines.push_back(NarrowOf(IsTextHeader(header) ? DateFirst(l) : l, file.wide));
  return GatherLines(lines, buffer, size);
}

int WriteTextSectionTo(const char* server, const std::string& path, const std::string& headerIn, const char* text) {
  int r = WriteTextSection(path, headerIn, text);
  if (r != -2 || !server || !*server) return r;
  std::string header = SectionHeader(headerIn.c_str());
  std::string remote = ServerSidePath(path), bytes;
  if (!ReadRemote(server, remote, kSrvOpenAlways, &bytes)) return -2;
  TextFile file;
  DecodeFile(bytes, &file);
  file.text = WithSection(file.text, header, TextArg{text ? text : "", nullptr}.For(file.wide));
  std::string data = EncodeFile(file);
  // Pieces that fit one write request with the path and its fields.
  size_t piece = kSrvMaxWriteRequest > remote.size() + 256 ? kSrvMaxWriteRequest - remote.size() - 256 : 0;
  if (piece == 0) {
    plat::SetLastError(plat::kErrFilenameExcedRange);
    return -1;
  }
  size_t at = 0;
  do {
    uint32_t n = static_cast<uint32_t>(data.size() - at < piece ? data.size() - at : piece), wrote = 0;
    uint32_t disposition = at == 0 ? kSrvCreateAlways : kSrvOpenExisting;
    if (!SrvFile_Write(server, kSrvInvalidHandle, remote.c_str(), n, static_cast<int32_t>(at), kSrvFileBegin,
                       kSrvGenericWrite, kSrvShareRead | kSrvShareWrite, 0, disposition, kSrvAttributeNormal,
                       data.data() + at, &wrote) ||
        wrote != n)
      return -1;
    at += n;
  } while (at < data.size());
  return 1;
}

// ---- Logger configuration texts -----------------------------------------------

namespace {

bool IsLocalOrPipe(const char* server) {
  return !server || !*server || Srv_IsLocal(server) || Srv_GetKind(server) == 1;
}

// The server to ask when the file cannot be opened here: none for this
// machine (its files are the local ones).
const char* RemoteServer(const char* server) {
  return !server || !*server || Srv_IsLocal(server) ? nullptr : server;
}

// The text file of a logger's configuration, or "" (error 123) for a name
// that would leave the directory.
std::string LoggerTextPath(const char* server, const char* name, int number) {
  if (!name || !*name || strchr(name, '/') || strchr(name, '\\') || strstr(name, "..")) {
    plat::SetLastError(plat::kErrInvalidName);
    errno = EINVAL;
    return std::string();
  }
  char path[1600];
  if (IsLocalOrPipe(server))
    snprintf(path, sizeof path, "%s_%d.txt", name, number);
  else
    snprintf(path, sizeof path, "\\\\%s\\CDX_CURRENT_CONFIG\\LOGGERS\\%s_%d.txt", server, name, number);
  return path;
}

}  // namespace

int LoggerText_Read(const char* server, const char* loggerName, int loggerNumber, const char* section, char* buffer,
                    int* size) {
  std::string path = LoggerTextPath(server, loggerName, loggerNumber);
  if (path.empty()) return -1;
  return ReadTextSectionFrom(RemoteServer(server), path, section, buffer, size);
}

int LoggerText_Write(const char* server, const char* loggerName, int loggerNumber, const char* section,
                     const char* text) {
  std::string path = LoggerTextPath(server, loggerName, loggerNumber);
  if (path.empty()) return -1;
  return WriteTextSectionTo(RemoteServer(server), path, SectionHeader(section), text);
}
