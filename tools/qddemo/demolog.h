// The demo's logger: each scan's channel values go into a binary log, and
// the newest logged values are read back the way a browsing program reads
// them, through the command client, with the log's directory as the
// "server" (the in-process logged-data source answers).
#pragma once
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "cdxlib/records/chanconfig.h"
#include "logdata/logformat.h"

class CLogFileCollection;
class CLogStore;

namespace qddemo {

class DemoLog {
 public:
  DemoLog();
  ~DemoLog();
  DemoLog(const DemoLog&) = delete;
  DemoLog& operator=(const DemoLog&) = delete;

  // Makes a new log of the module's channels in `directory`: 0 or -1.
  int Open(const std::string& directory, const char prefix[2], const std::vector<ChannelConfig>& channels);
  // Appends one record of the values module's words and values (the data
  // area of "dm_" + prefix): 0 or -1.
  int Append(const uint8_t* moduleData);
  // Reads the newest values back through the command client and names the
  // record they match ("" and false when they match none logged).
  bool ReadBack(std::string* line);
  // The processor list as the command client gets it.
  std::string Processors();
  // Closes the log under its start and stop stamps.
  void Close();

  int written() const { return written_; }
  int readBack() const { return readBack_; }
  int mismatches() const { return mismatches_; }
  const std::string& directory() const { return directory_; }

 private:
  struct Logged {
    int number;
    int32_t seconds;
    int16_t ms;
    std::vector<uint32_t> flags;
    std::vector<float> values;
  };
  CLogFileCollection* collection_ = nullptr;
  CLogStore* store_ = nullptr;
  LogHeader header_{};
  std::string directory_;
  char prefix_[3] = {};
  int channels_ = 0;
  int32_t start_ = 0;
  std::deque<Logged> recent_;
  int written_ = 0, readBack_ = 0, mismatches_ = 0;
};

}  // namespace qddemo
