// The file kind of a log collection: every run of one logger as ".odl" files
// in one directory, named "<prefix><YYMMDD_HHMMSS>.odl" while open and
// "<prefix><start>_<stop>.odl" once closed (stamps of the run's wall-clock
// seconds, no zone shift; years 1970-2069). A logger name or name prefix
// with a path separator, or one that is "." or "..", is refused by Open
// (123, with the error texts saying which).
//
// A directory of another machine ("\\host\dir\..." or "//host/dir/..."),
// opened for reading only, is listed through that machine's central server
// ("DF", pattern ".odl" to open, every name for a search), and the logs that
// OpenLog gives are read through the server (logfilestore.h).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "logdata/logstore.h"

class CLogFileCollection : public CLogCollection {
 public:
  CLogFileCollection();
  ~CLogFileCollection() override;

  int Open(const char* location, const char* directory, const char* loggerName, const char* namePrefix,
           uint32_t access) override;
  void DeleteBefore(const int32_t* seconds) override;
  int FindFirst(int* nameSize) override;
  int FindNext(char* name, TimeStamp* start, TimeStamp* stop) override;
  int FindNewest(char* name, int* nameSize, TimeStamp* start, TimeStamp* stop, int anyPrefix) override;
  // A new log "<directory>/<prefix><start stamp>.odl"; an initial text is
  // the whole of its ".txt" (UTF-16 after FF FE for CreateLogW). With
  // saveConfig the configuration is saved into its ".cdx": the process must
  // be in the configuration's "LOGGERS" directory, and steps to its parent
  // for the time of the archive (nothing else may rely on the current
  // directory meanwhile). Null when any of it fails (nothing is left).
  CLogStore* CreateLogW(const int32_t* start, int barePrefix, int unused, LogHeader* header, const char16_t* text,
                        int saveConfig, const char* server, int datePrefix, ChannelConfig** channels) override;
  CLogStore* CreateLog(const int32_t* start, int barePrefix, int unused, LogHeader* header, const char* text,
                       int saveConfig, const char* server, int datePrefix, ChannelConfig** channels) override;
  CLogStore* OpenLog(const char* name, uint32_t access) override;
  int UseforLogging(CLogStore* store, LogHeader* header, const char* namePrefix, int moveText,
                    int moveArchive) override;
  int CloseLog(CLogStore* store, const int32_t* start, const int32_t* stop, int readOnly) override;
  void MakeLogPath(const char* name, char* path, int* size) override;
  // The texts of the last failure that keeps them (UseforLogging): "" when
  // none.
  const char* GetErrorDetail() override;
  const char* GetErrorSummary() override;

  const std::string& Directory() const { return directory_; }
  bool ListsRemotely() const { return remote_; }

 private:
  // Keeps a failure's summary (at most 31 characters) and detail (999).
  void SetError(const char* summary, const char* detail);

  std::string directory_;
  // The directory lies on another machine (a UNC path) and is listed, and
  // its logs read, through that machine's server.
  bool remote_ = false;
  std::string server_;
  char errorDetail_[1000] = "";
  char errorSummary_[32] = "";
  std::vector<std::string> found_;
  size_t next_ = 0;
};
