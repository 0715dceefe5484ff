// Logs of another machine, read through the central server's remote file
// requests (cdxlib/client/srvfile.h) when no share path reaches them: the
// remote road of the file store and the remote listing of the collection.
//
// A path goes to the server in the server's own form: a UNC path loses its
// server part ("\\host\dir\x.odl" -> "\dir\x.odl"; after a ':' in the host
// part, up to the separator after it), and every separator is '\'. Other
// paths (a drive path, a path relative to the server's directory) keep
// their text.
#pragma once
#include <cstdint>
#include <string>

#include "logdata/logstore.h"

// The server's form of a path (see above).
std::string RemoteServerPath(const std::string& path);
// The server part of a UNC path ("\\host\..." or "//host/..."), "" for any
// other path.
std::string UncServerOf(const std::string& path);

// Reads `bytes` at `offset` of the file on the server, in requests of at most
// 65512 bytes; *got = the bytes read (fewer at the file's end). 0, or -1
// with the last error set (an offset the request cannot carry is 87).
int RemoteReadAt(const char* server, const std::string& path, void* buffer, uint32_t bytes, uint64_t offset,
                 uint32_t* got);
// A log header by path: with a descriptor (fd >= 0) ReadLogHeader of
// logformat.h; otherwise the same bytes are read on the server at the path.
// Same results; a null header gives 0.
int ReadLogHeader(const char* server, int fd, const char* path, LogHeader* header);
// The file's size on the server ("SF": read access, share read and write,
// open existing, normal attributes), or -1.
int64_t RemoteFileSize(const char* server, const std::string& path);
// The file's last-write time on the server as seconds since 1970 (UTC): 0,
// or -1.
int RemoteLastWriteTime(const char* server, const std::string& path, int64_t* seconds);
// Whether the file exists on the server (its size can be had).
bool RemoteFileExists(const char* server, const std::string& path);

// The text file of a log on the server (the same tries as FindLogText, each
// asked of the server): the path in the log path's own form. 0 / -1
// (error 2).
int FindLogTextRemote(const char* server, const std::string& logPath, std::string* textPath);

// The 8-bit section reads and writes of eventstext.h on a file of the server
// (only through the server, never a local file of the same name). Results as
// ReadTextSection, ReadTextSectionLines and WriteTextSection.
int RemoteReadTextSection(const char* server, const std::string& path, const char* name, char* buffer, int* size);
int RemoteReadTextLines(const char* server, const std::string& path, const char* name, char** lines,
                        int* lineCount, char* buffer, int* size);
int RemoteWriteTextSection(const char* server, const std::string& path, const std::string& header,
                           const char* text);
// Inserts a stamped line in time order into a section of the file on the
// server, as WriteStampedLine does in a log's own text file (the
// directory-wide "events.txt" is not used remotely): 0, -1, -2.
int RemoteWriteStampedLine(const char* server, const std::string& path, const std::string& header,
                           const LineStamp& stamp, const char* text, const char* key);
