#include "tools/qddemo/demolog.h"

#include <cstdio>
#include <cstring>

#include "cdxlib/client/srvclient.h"
#include "cdxlib/sys/timestamp.h"
#include "logdata/localsource.h"
#include "logdata/logfilecollection.h"
#include "logdata/logstore.h"
#include "platform/timezone.h"

namespace qddemo {

DemoLog::DemoLog() = default;

DemoLog::~DemoLog() { Close(); }

int DemoLog::Open(const std::string& directory, const char prefix[2], const std::vector<ChannelConfig>& channels) {
  Local_InstallTransport();
  directory_ = directory;
  memcpy(prefix_, prefix, 2);
  channels_ = static_cast<int>(channels.size());
  header_ = LogHeader{};
  header_.marker = kLogHeaderMarker;
  header_.blockCount = 1;
  LogBlockDescriptor& d = header_.blocks[0];
  memcpy(d.prefix, prefix, 2);
  d.firstChannel = 1;
  d.lastChannel = static_cast<uint16_t>(channels_);
  d.valueKind = 8;
  d.valueOffset = kLogRecordFixedSize;
  snprintf(d.sourceName, sizeof d.sourceName, "DEMO1 CHANNELS");
  header_.recordLength = kLogRecordFixedSize + 8 * channels_ + 2;
  // The extended block after the channel records carries the writer's
  // time-zone record, which readers answer "TS" with.
  header_.extOffset = kLogFileHeaderSize + 216 * channels_ + 4;
  header_.extLength = kLogExtBlockMax;
  header_.headerLength = header_.extOffset + header_.extLength;
  plat::TimeZoneInformation zone{};
  if (plat::GetTimeZoneInformation(&zone) != 0) return -1;
  memcpy(header_.extension, &zone, sizeof zone);
  TimeStamp now;
  Time_NowLocal(&now);
  header_.start = TimeStamp{now.seconds, 0, 0};
  start_ = now.seconds;
  collection_ = new CLogFileCollection();
  if (collection_->Open(directory.c_str(), directory.c_str(), "", "DEMO", kGenericRead | kGenericWrite) != 0)
    return -1;
  std::vector<ChannelConfig> copy = channels;
  ChannelConfig* blocks[1] = {copy.data()};
  store_ = collection_->CreateLog(&start_, 0, 0, &header_, "[HEADER]\r\nDevice: demo1\r\n", 0, nullptr, 0, blocks);
  return store_ ? 0 : -1;
}

int DemoLog::Append(const uint8_t* data) {
  if (!store_) return -1;
  Logged l;
  TimeStamp now;
  Time_NowLocal(&now);
  l.number = written_ + 1;
  l.seconds = now.seconds;
  l.ms = now.milliseconds;
  std::vector<uint8_t> rec(header_.recordLength, 0);
  LogRecord head{};
  head.marker = kLogRecordMarker;
  head.level = 1;
  head.seconds = now.seconds;
  head.milliseconds = now.milliseconds;
  memcpy(rec.data(), &head, sizeof head);
  for (int ch = 0; ch < channels_; ++ch) {
    uint32_t status;
    float value;
    memcpy(&status, data + 20 + 4 * ch, 4);
    memcpy(&value, data + 20 + 4 * channels_ + 4 * ch, 4);
    // Analog channels carry a value; digital ones their state in bit 0.
    uint32_t flags = (status & 0x80) ? 0x80u : (status & 1u);
    if (status & 0x20) flags |= 0x20;
    l.flags.push_back(flags);
    l.values.push_back(value);
    memcpy(rec.data() + kLogRecordFixedSize + 4 * ch, &flags, 4);
    memcpy(rec.data() + kLogRecordFixedSize + 4 * channels_ + 4 * ch, &value, 4);
  }
  if (store_->AppendRecords(&header_, rec.data(), 1) != 0) return -1;
  ++written_;
  recent_.push_back(l);
  if (recent_.size() > 20) recent_.pop_front();
  return 0;
}

bool DemoLog::ReadBack(std::string* line) {
  std::string request = std::string("RV,") + prefix_;
  for (int ch = 1; ch <= channels_; ++ch) request += "," + std::to_string(ch);
  std::vector<char> reply(32768);
  uint32_t n = static_cast<uint32_t>(reply.size());
  if (Srv_SendRequest(directory_.c_str(), request.c_str(), reply.data(), &n) < 0) {
    *line = "log: read back failed (error " + std::to_string(errno) + ")";
    return false;
  }
  std::vector<uint32_t> flags;
  std::vector<float> values;
  size_t at = 8;  // the group's stamp
  for (int ch = 0; ch < channels_ && at + 4 <= n; ++ch) {
    uint32_t w;
    float v = 0;
    memcpy(&w, reply.data() + at, 4);
    at += 4;
    if ((w & 0x80) && !(w & 0x20)) {
      memcpy(&v, reply.data() + at, 4);
      at += 4;
    }
    flags.push_back(w);
    values.push_back(v);
  }
  ++readBack_;
  for (auto it = recent_.rbegin(); it != recent_.rend(); ++it) {
    bool same = it->flags == flags;
    for (size_t i = 0; same && i < values.size(); ++i)
      if ((flags[i] & 0x80) && !(flags[i] & 0x20) && values[i] != it->values[i]) same = false;
    if (!same) continue;
    struct tm* t = Time_GmTime(it->seconds);
    char buf[160];
    snprintf(buf, sizeof buf, "log: read back through the command client: record %d of %02d:%02d:%02d.%03d, %zu channels match",
             it->number, t->tm_hour, t->tm_min, t->tm_sec, it->ms, flags.size());
    *line = buf;
    return true;
  }
  ++mismatches_;
  *line = "log: read back MISMATCH: the newest values match no record logged";
  return false;
}

std::string DemoLog::Processors() {
  char reply[4096];
  uint32_t n = sizeof reply - 1;
  if (Srv_SendRequest(directory_.c_str(), "IP,*,8", reply, &n) < 0) return "";
  reply[n < sizeof reply ? n : sizeof reply - 1] = '\0';
  return reply;
}

void DemoLog::Close() {
  if (store_ && collection_) {
    // As a logger ends its log: the header gets the stop time and the
    // record count, then the log takes its start and stop stamps.
    TimeStamp now;
    Time_NowLocal(&now);
    header_.stop = TimeStamp{now.seconds, 0, 0};
    header_.recordCount = static_cast<uint32_t>(written_);
    header_.endOffset = header_.headerLength + header_.recordCount * header_.recordLength;
    store_->WriteHeader(&header_, 1);
    collection_->CloseLog(store_, &start_, &now.seconds, 0);
    store_->Destroy(1);
  }
  store_ = nullptr;
  delete collection_;
  collection_ = nullptr;
}

}  // namespace qddemo
