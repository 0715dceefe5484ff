// The file kind of a log store: one log in one ".odl" file (logformat.h)
// with its events text file beside it (eventstext.h).
//
// A writer holds the log open with two descriptors: the main one, on which
// records are appended with one write of whole records at the write position
// on a write-through (O_DSYNC) descriptor, and a second one for header
// updates and reads. All file access uses explicit offsets, so header reads
// and writes can never move where records go.
//
// Locks (open-file-description locks, released by the system when the
// writer dies): one exclusive writer lock on a byte far beyond any data,
// taken before anything is cut or written, so that a second writer is
// refused (error 33, lock violation) without touching the log; and one byte
// at the write position, moved with each append, that marks the growing end.
//
// Readers never trust the header's counts: the number of records is the file
// size past the header length divided by the record length, rounded down, so
// a record torn by a crash is never read, and a record is never counted
// before all of its bytes are in the file.
//
// A log that cannot be opened here while a server name is known (one of
// the server's machine: a UNC path, a path of the server's disks) is read
// through the server's remote file requests (remotelog.h): the header, the
// channel records and the records, the record count from the file's size,
// and the 8-bit text operations on its text file there. Records come in
// requests of at most 65512 bytes of whole records; a request the server
// fails is halved and asked again. The UTF-16 text operations give -1 on
// such a store; nothing of the log itself is written remotely, and Rename
// gives 0 (50): the file requests have no move.
#pragma once
#include <cstdint>
#include <string>

#include "logdata/logstore.h"

class CLogFileStore : public CLogStore {
 public:
  CLogFileStore();
  ~CLogFileStore() override;

  int Open(const char* server, const char* location, uint32_t access) override;
  int OpenForAppend(LogHeader* header) override;
  void GetName(char* buffer, int* size) override;
  int Close() override;
  int UpdateHeader(uint32_t recordCount) override;
  int ReadHeader(LogHeader* header) override;
  int WriteHeader(LogHeader* header, int completed) override;
  int ReadChannels(LogHeader* header, ChannelConfig* buffer, int block, int first, int count) override;
  int AppendRecords(LogHeader* header, const void* records, int count) override;
  int ReadLogs(int first, LogHeader* header, void* buffer, int count, int gap, const char* columns,
               void* unused) override;
  int ReadLog(int index, LogHeader* header, void* buffer, int bytes, int readText, void* unused,
              const char* columns, int rowLimit, int descending) override;
  int RewriteRecords(int first, LogHeader* header, const void* records, int bytes) override;
  int GetNoLogs(LogHeader* header) override;
  int CountValidRecords(LogHeader* header) override;
  int ReadTextW(const char* section, char16_t* buffer, int* size, int32_t from, int32_t to) override;
  int ReadText(const char* section, char* buffer, int* size, int32_t from, int32_t to) override;
  int ReadTextLinesW(const char* section, char16_t** lines, int* lineCount, char16_t* buffer, int* size,
                     int32_t from, int32_t to) override;
  int ReadTextLines(const char* section, char** lines, int* lineCount, char* buffer, int* size, int32_t from,
                    int32_t to) override;
  int WriteTextW(int32_t seconds, const char16_t* text, const char16_t* key, const char* section) override;
  int WriteText(int32_t seconds, const char* text, const char* key, const char* section) override;
  int WriteStampedTextW(const LineStamp& stamp, const char16_t* text, const char16_t* key,
                        const char* section) override;
  int WriteStampedText(const LineStamp& stamp, const char* text, const char* key, const char* section) override;
  int WritePosition(int32_t seconds, int valid, float position) override;
  int WriteHeaderTextW(const char16_t* text) override;
  int WriteHeaderText(const char* text) override;
  int WriteFormulae(const char* prefix, int processor, const char* text) override;
  int WriteUnitCategory(const char* category, const char* text) override;
  int GetLastTextTime(int32_t* seconds) override;
  int Rename(const char* newNamePart) override;
  void Truncate(LogHeader* header, int count) override;

  // Makes a new log at `path` and leaves it open for writing. `channels`
  // holds one buffer of ChannelConfig records per block (from its first
  // channel on); without it the records come from the central server
  // `server` when that is another computer ("CV", one request per channel),
  // else from this computer's channel configuration module of each block's
  // device prefix (error 2 when there is none). An existing log with records
  // at that path is never overwritten (-1, error 183).
  int CreateLogFile(const char* path, LogHeader* header, const char* server, ChannelConfig** channels);

  bool IsOpenForWriting() const { return second_ >= 0; }
  const std::string& Path() const { return path_; }
  uint64_t WritePosition() const { return writePos_; }

 private:
  int TextPath(std::string* out);
  // No descriptor, a server name kept: the log is read through the server.
  bool Remote() const { return main_ < 0 && second_ < 0 && !server_.empty(); }
  // Exactly `bytes` at `offset` of the log on the server: 0 / -1.
  int RemoteRead(void* buffer, uint32_t bytes, uint64_t offset);
  int RemoteReadLogs(int first, LogHeader* header, void* buffer, int count);
  // The log's text file: through the server for a store that has one.
  int FindText(std::string* out);
  // A whole-section write of the text file, through the server for a
  // remote store.
  int WriteSection(const std::string& textPath, const std::string& header, const char* text);
  // The UTF-16 text operations of a remote store: -1 (50, not supported).
  int RefuseRemoteWide();
  int LockByte(uint64_t at, bool lock);
  int TakeWriterLock();
  int ReadAt(int fd, void* buffer, size_t bytes, uint64_t offset);
  void CloseAll();

  int main_ = -1;
  int second_ = -1;
  uint64_t writePos_ = 0;
  uint64_t headerEnd_ = 0;
  std::string server_;
  std::string path_;
  uint32_t access_ = 0;
};

// The log-file check of a file's first six bytes (u32 length, u16 marker
// from 0x8001 to 0xE001, or the same byte-swapped).
bool IsLogFileStart(const uint8_t first6[6]);
