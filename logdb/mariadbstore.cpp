// The MariaDB log store: one run in the LOGGERS, <prefix>CHANNELS and
// <prefix>DATA tables of a MariaDB database.
// g++ 12 at -O2 warns falsely (-Wrestrict) on string concatenations.
#pragma GCC diagnostic ignored "-Wrestrict"
#include "logdb/mariadbstore.h"

#include <strings.h>
#include <time.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "cdxlib/records/chanconfig.h"
#include "cdxlib/sys/logicaldirs.h"
#include "cdxlib/sys/textutil.h"
#include "logdata/chanrequest.h"
#include "platform/debugout.h"
#include "platform/error.h"

namespace {

int64_t NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::string Trimmed(const char* text, size_t max) {
  size_t n = text ? strnlen(text, max) : 0;
  while (n > 0 && text[n - 1] == ' ') --n;
  return std::string(text ? text : "", n);
}

// The header text of a run: what follows "[HEADER]\r\n" in the initial text,
// up to "\r\n[PREDEFINED]"; the LOGGERS column holds 255 characters.
bool HeaderText(const char* text, std::string* out) {
  if (!text) return false;
  const char* h = strstr(text, "[HEADER]\r\n");
  if (!h) return false;
  h += 10;
  const char* e = strstr(h, "\r\n[PREDEFINED]");
  *out = e ? std::string(h, size_t(e - h)) : std::string(h);
  if (out->size() > 255) out->resize(255);
  return true;
}

int ChannelCount(const LogHeader& h) {
  int n = 0;
  int blocks = h.blockCount > kLogMaxBlocks ? kLogMaxBlocks : h.blockCount;
  for (int b = 0; b < blocks; ++b) n += LogBlockChannels(h.blocks[b]);
  return n;
}

// Whether every block's flag words and values lie inside the record.
bool BlocksFit(const LogHeader& h) {
  int blocks = h.blockCount > kLogMaxBlocks ? kLogMaxBlocks : h.blockCount;
  for (int b = 0; b < blocks; ++b) {
    const LogBlockDescriptor& d = h.blocks[b];
    if (uint32_t(d.valueOffset) + 8u * uint32_t(LogBlockChannels(d)) > h.recordLength) return false;
  }
  return h.recordLength >= kLogRecordFixedSize;
}

template <typename T>
void Put(uint8_t* out, int bytes, size_t at, T value) {
  if (at + sizeof(T) <= size_t(bytes)) memcpy(out + at, &value, sizeof(T));
}

}  // namespace

CLogStore* CreateMariaDbLogStore() { return new (std::nothrow) CLogDbMySQLStore(); }

CLogDbMySQLStore::CLogDbMySQLStore() = default;

CLogDbMySQLStore::~CLogDbMySQLStore() { Close(); }

int CLogDbMySQLStore::RowsPerInsert(int columns) {
  if (columns <= 0 || columns > kMaxPlaceholders) return 0;
  int rows = columns > kPlaceholdersPerInsert ? 1 : kPlaceholdersPerInsert / columns;
  return rows < kMaxRowsPerInsert ? rows : kMaxRowsPerInsert;
}

int CLogDbMySQLStore::Fail(const char* summary, const std::string& detail) {
  mdb::CopyText(summary_, sizeof summary_, summary);
  mdb::CopyText(detail_, sizeof detail_, detail.c_str());
  return -1;
}

int CLogDbMySQLStore::Connect(const char* location) {
  mdb::Location loc;
  if (const char* bad = mdb::ParseLocation(location, &loc)) return Fail(bad, "");
  std::string error;
  MYSQL* m = mdb::Connect(loc, &error);
  if (!m) return Fail("CAN'T CONNECT TO DATABASE", error);
  // Built whole: an escaped name may be twice its length.
  std::string sql = "select sTablePrefix from LOGGERS where sLoggerName = '" + mdb::Escape(m, loggerName_) +
                    "' AND nLoggerSequence = " + std::to_string(sequence_);
  mdb::Result r;
  if (r.Query(m, sql) != 0) {
    Fail("CAN'T FIND LOGGER NAME AND SEQ", mysql_error(m));
    mysql_close(m);
    return -1;
  }
  MYSQL_ROW row = r.Next();
  if (!row || !row[0] || !*row[0]) {
    Fail("CAN'T FIND LOGGER NAME AND SEQ", "no run " + loggerName_ + " " + std::to_string(sequence_));
    mysql_close(m);
    return -1;
  }
  prefix_ = Trimmed(row[0], 260);
  conn_ = m;
  return 0;
}

int CLogDbMySQLStore::Open(const char* server, const char* location, uint32_t access) {
  if (!location || strlen(location) > size_t(kMaxLocation)) {
    plat::SetLastError(0);
    return -1;
  }
  Close();
  std::string given = location;
  for (int attempt = 0; attempt < 2; ++attempt) {
    std::vector<char> copy(given.begin(), given.end());
    copy.push_back('\0');
    char name[261];
    int size = sizeof name;
    long seq = 0;
    if (!TakeLoggerName(copy.data(), &size, name) || !TakeLoggerSeq(copy.data(), &seq)) {
      Fail("BADLY FORMED PATH NAME", "");
      plat::SetLastError(0);
      return -1;
    }
    loggerName_ = name;
    sequence_ = int(seq);
    access_ = access;
    if (Connect(copy.data()) == 0) {
      location_ = copy.data();
      lastOffset_ = -1;
      return 0;
    }
    // A log of another machine may be reached through its remote provider,
    // once.
    if (attempt > 0 || !server || !*server || strncasecmp(given.c_str(), "PROVIDER=MS REMOTE", 18) == 0) break;
    given = std::string("PROVIDER=MS REMOTE;REMOTE SERVER=HTTP://") + server + ";REMOTE " + location;
  }
  return -1;
}

int CLogDbMySQLStore::OpenForAppend(LogHeader*) {
  appending_ = true;
  mdb::DigitalColumnType(&digitalText_);
  return 0;
}

void CLogDbMySQLStore::GetName(char* buffer, int* size) {
  char seq[16];
  snprintf(seq, sizeof seq, "%08d", sequence_);
  std::string name = location_ + ";LoggerName=" + loggerName_ + ";LoggerSeq=" + seq;
  if (buffer) {
    size_t room = size ? (*size > 0 ? size_t(*size) : 0) : name.size() + 1;
    if (room > 0) mdb::CopyText(buffer, room, name.c_str());
  }
  if (size) *size = int(name.size() + 1);
}

int CLogDbMySQLStore::Close() {
  inserts_.clear();
  window_.reset();
  if (conn_) mysql_close(conn_);
  conn_ = nullptr;
  appending_ = false;
  return 0;
}

int CLogDbMySQLStore::ReadHeader(LogHeader* header) {
  if (!header) return -1;
  if (!conn_) return Fail("CAN'T GET DATA", "the log is not open");
  std::string sql =
      "select dStartTime, dStopTime, sTablePrefix, bTagColumns, bSigChange, sTriggerPrefix, nTriggerNumber, "
      "sLagPrefix, nLagNumber from LOGGERS where sLoggerName = '" +
      mdb::Escape(conn_, loggerName_) + "' AND nLoggerSequence = " + std::to_string(sequence_);
  mdb::Result r;
  if (r.Query(conn_, sql) != 0) return Fail("CAN'T GET DATA", mysql_error(conn_));
  MYSQL_ROW row = r.Next();
  if (!row) return Fail("CAN'T GET DATA", "no LOGGERS row for the run");
  int32_t start = 0, stop = 0;
  if (!mdb::ParseDateTime(row[0], &start)) return Fail("COLUMN #1 IS NOT A DATE", "");
  LogHeader h;
  memset(&h, 0, sizeof h);
  h.marker = kLogHeaderMarker;
  h.start.seconds = start;
  if (row[1]) mdb::ParseDateTime(row[1], &stop);
  h.stop.seconds = stop;
  h.tagColumns = uint8_t(row[3] ? atoi(row[3]) != 0 : 0);
  h.significantChange = uint8_t(row[4] ? atoi(row[4]) != 0 : 0);
  if (h.significantChange) {
    if (row[5]) memcpy(h.triggerPrefix, row[5], strnlen(row[5], 2));
    h.triggerChannel = uint16_t(row[6] ? atoi(row[6]) : 0);
    if (row[7]) memcpy(h.lagPrefix, row[7], strnlen(row[7], 2));
    h.lagChannel = uint16_t(row[8] ? atoi(row[8]) : 0);
  }
  std::string q = "select nBlock, sPrefix, nChannelNumber, sSource, bLag from " + prefix_ +
                  "CHANNELS ORDER BY nBlock, nCHannelNumber";
  mdb::Result c;
  if (c.Query(conn_, q) != 0) return Fail("CAN'T GET DATA", mysql_error(conn_));
  bool seen[kLogMaxBlocks] = {};
  while (MYSQL_ROW cr = c.Next()) {
    if (!cr[0] || !cr[2]) continue;
    int b = atoi(cr[0]);
    if (b < 0 || b >= kLogMaxBlocks) continue;
    int ch = atoi(cr[2]);
    LogBlockDescriptor& d = h.blocks[b];
    if (h.blockCount < b + 1) h.blockCount = uint16_t(b + 1);
    if (!seen[b]) {
      seen[b] = true;
      if (cr[1]) memcpy(d.prefix, cr[1], strnlen(cr[1], 2));
      d.firstChannel = d.lastChannel = uint16_t(ch);
      std::string src = Trimmed(cr[3], sizeof d.sourceName);
      memcpy(d.sourceName, src.data(), src.size());
      d.lagFlag = uint8_t(cr[4] ? atoi(cr[4]) != 0 : 0);
      d.valueKind = 8;
    }
    if (ch < d.firstChannel) d.firstChannel = uint16_t(ch);
    if (ch > d.lastChannel) d.lastChannel = uint16_t(ch);
  }
  int count = GetNoLogs(&h);
  if (count < 0) return -1;
  uint32_t rl = kLogRecordFixedSize, channels = 0;
  for (int b = 0; b < h.blockCount; ++b) {
    uint32_t n = uint32_t(LogBlockChannels(h.blocks[b]));
    h.blocks[b].valueOffset = uint16_t(rl);
    rl += n * 8 + 2;
    channels += n;
  }
  h.recordCount = uint32_t(count);
  h.recordLength = rl;
  h.headerLength = rl + 4u * h.blockCount + 216u * channels + 4404u;
  h.endOffset = uint32_t(count) * rl + h.headerLength;
  *header = h;
  return 0;
}

int CLogDbMySQLStore::WriteHeader(LogHeader* header, int completed) {
  if (!(access_ & kGenericWrite)) return 0;
  if (!header) return -1;
  if (!conn_) return Fail("CAN'T UPDATE LOGGERS TABLE", "the log is not open");
  std::string sql = "UPDATE LOGGERS SET dStartTime = ?, dStopTime = ?, bCompleted = ? WHERE sLoggerName='" +
                    mdb::Escape(conn_, loggerName_) + "' AND nLoggerSequence=" + std::to_string(sequence_);
  mdb::Statement st;
  std::string error;
  if (!st.Prepare(conn_, sql, &error)) return Fail("CAN'T UPDATE LOGGERS TABLE", error);
  MYSQL_TIME start, stop;
  mdb::ToMysqlTime(header->start.seconds, &start);
  mdb::ToMysqlTime(header->stop.seconds, &stop);
  int32_t done = completed;
  st.SetTime(0, &start);
  if (header->stop.seconds != 0) st.SetTime(1, &stop);
  st.SetInt(2, &done);
  if (st.Execute(&error) != 0) return Fail("CAN'T UPDATE LOGGERS TABLE", error);
  return 0;
}

int CLogDbMySQLStore::ReadChannels(LogHeader* header, ChannelConfig* buffer, int block, int first, int count) {
  if (!header || block < 0 || block >= kLogMaxBlocks || block >= header->blockCount || first < 0 || count < 0 ||
      first + count > LogBlockChannels(header->blocks[block]))
    return Fail("CHANNEL NOT IN HEADER", "");
  if (count == 0) return 0;
  if (!buffer) return Fail("CHANNEL NOT IN HEADER", "no buffer");
  if (!conn_) return Fail("CAN'T FIND CHANNEL", "the log is not open");
  const LogBlockDescriptor& d = header->blocks[block];
  for (int i = 0; i < count; ++i) {
    int number = d.firstChannel + first + i;
    std::string sql =
        "select sTag, sDescription, nType, sUnits, fMinScale, fMaxScale, sLowStateDesc, sHighStateDesc from " +
        prefix_ + "CHANNELS where sPrefix = '" + mdb::Escape(conn_, cdxtext::FixedText(d.prefix, 2)) +
        "' AND nChannelNumber = " + std::to_string(number);
    mdb::Result r;
    if (r.Query(conn_, sql) != 0) return Fail("CAN'T FIND CHANNEL", mysql_error(conn_));
    ChannelConfig& c = buffer[i];
    memset(&c, 0, sizeof c);
    MYSQL_ROW row = r.Next();
    if (!row) continue;
    if (row[0]) Chan_SetTag(&c, Trimmed(row[0], kTagMax).c_str());
    if (row[1]) Chan_SetDescription(&c, Trimmed(row[1], kDescMax).c_str());
    if (!row[2]) continue;
    c.Type = uint8_t(atoi(row[2]));
    Chan_SetFlag(&c, kAiEnable, true);
    if (!Chan_IsDigital(c.Type)) {
      if (row[3]) Chan_SetUnits(&c, Trimmed(row[3], kUnitsMax).c_str());
      if (row[4]) c.analog.MinimumUnits = strtof(row[4], nullptr);
      if (row[5]) c.analog.MaximumUnits = strtof(row[5], nullptr);
    } else {
      std::string low = Trimmed(row[6], kChannelTextLen), high = Trimmed(row[7], kChannelTextLen);
      memcpy(c.digital.LowStateText, low.data(), low.size());
      memcpy(c.digital.HighStateText, high.data(), high.size());
    }
  }
  return 0;
}

void CLogDbMySQLStore::LoadStateTexts(const LogHeader& h) {
  int blocks = h.blockCount > kLogMaxBlocks ? kLogMaxBlocks : h.blockCount;
  bool fromTable = stateTexts_.size() == size_t(blocks);
  std::vector<std::vector<StateTexts>> texts(static_cast<size_t>(blocks));
  for (int b = 0; b < blocks; ++b) {
    const LogBlockDescriptor& d = h.blocks[b];
    int n = LogBlockChannels(d);
    std::vector<ChannelConfig> recs(static_cast<size_t>(n));
    auto& t = texts[size_t(b)];
    t.assign(size_t(n), {});
    if (n > 0 && Log_ReadLocalChannelConfigs(d.prefix, d.firstChannel, n, recs.data()) == 0) {
      for (int k = 0; k < n; ++k)
        if (Chan_IsDigital(recs[size_t(k)].Type)) {
          t[size_t(k)].digital = true;
          t[size_t(k)].text[0] = cdxtext::FixedText(recs[size_t(k)].digital.LowStateText, kChannelTextLen);
          t[size_t(k)].text[1] = cdxtext::FixedText(recs[size_t(k)].digital.HighStateText, kChannelTextLen);
        }
    } else if (fromTable) {
      t = stateTexts_[size_t(b)];  // the run's own texts, read before
    } else if (n > 0 && conn_) {
      // No configuration module here: the texts the run was created with.
      std::string q = "select nChannelNumber, nType, sLowStateDesc, sHighStateDesc from " + prefix_ +
                      "CHANNELS where nBlock = " + std::to_string(b);
      mdb::Result r;
      if (r.Query(conn_, q) == 0)
        while (MYSQL_ROW row = r.Next()) {
          int k = row[0] ? atoi(row[0]) - d.firstChannel : -1;
          if (k < 0 || k >= n) continue;
          t[size_t(k)].digital = row[1] && Chan_IsDigital(uint8_t(atoi(row[1])));
          t[size_t(k)].text[0] = Trimmed(row[2], kChannelTextLen);
          t[size_t(k)].text[1] = Trimmed(row[3], kChannelTextLen);
        }
    }
  }
  stateTexts_ = std::move(texts);
}

int CLogDbMySQLStore::AppendBatch(const LogHeader& h, const uint8_t* records, int count, int columns) {
  if (inserts_.find(count) == inserts_.end() && inserts_.size() >= kKeptInserts) {
    // A batch size more than are kept: the one unused the longest goes.
    auto oldest = inserts_.begin();
    for (auto it = inserts_.begin(); it != inserts_.end(); ++it)
      if (it->second.lastUse < oldest->second.lastUse) oldest = it;
    inserts_.erase(oldest);
  }
  KeptInsert& kept = inserts_[count];
  kept.lastUse = appendCalls_;
  std::unique_ptr<mdb::Statement>& slot = kept.statement;
  std::string error;
  if (!slot || !slot->Prepared()) {
    std::string sql = "INSERT INTO " + prefix_ + "DATA VALUES ";
    std::string row = "(";
    for (int c = 0; c + 1 < columns; ++c) row += "?,";
    row += "?),";
    sql.reserve(sql.size() + row.size() * size_t(count));
    for (int r = 0; r < count; ++r) sql += row;
    sql.pop_back();
    slot = std::make_unique<mdb::Statement>();
    if (!slot->Prepare(conn_, sql, &error)) {
      inserts_.erase(count);
      return Fail("INSERT failed", error);
    }
  }
  mdb::Statement& st = *slot;
  const int blocks = h.blockCount > kLogMaxBlocks ? kLogMaxBlocks : h.blockCount;
  const int channels = columns - 4 - (h.significantChange ? 2 : 0);
  // The parameter buffers of the batch, allocated once for it.
  std::vector<MYSQL_TIME> dt(static_cast<size_t>(count));
  std::vector<float> ms(static_cast<size_t>(count)), lv(static_cast<size_t>(count));
  std::vector<int32_t> ll(static_cast<size_t>(count));
  std::vector<float> fv(static_cast<size_t>(count) * static_cast<size_t>(channels));
  std::vector<int32_t> iv(static_cast<size_t>(count) * static_cast<size_t>(channels));
  std::vector<unsigned long> tl(static_cast<size_t>(count) * static_cast<size_t>(channels));
  size_t p = 0;
  for (int r = 0; r < count; ++r) {
    const uint8_t* rec = records + size_t(r) * h.recordLength;
    LogRecord lr;
    memcpy(&lr, rec, sizeof lr);
    mdb::ToMysqlTime(lr.seconds, &dt[size_t(r)]);
    ms[size_t(r)] = float(lr.milliseconds + lr.microseconds / 1000.0);
    st.SetTime(p++, &dt[size_t(r)]);
    st.SetFloat(p++, &ms[size_t(r)]);
    st.SetNull(p++);  // TX
    if (h.significantChange) {
      ll[size_t(r)] = lr.level;
      lv[size_t(r)] = lr.levelValue;
      st.SetInt(p++, &ll[size_t(r)]);
      if (std::isfinite(lv[size_t(r)]))
        st.SetFloat(p++, &lv[size_t(r)]);
      else
        st.SetNull(p++);
    }
    size_t cell = size_t(r) * size_t(channels);
    for (int b = 0; b < blocks; ++b) {
      const LogBlockDescriptor& d = h.blocks[b];
      const int n = LogBlockChannels(d);
      for (int k = 0; k < n; ++k, ++cell) {
        int32_t flag;
        memcpy(&flag, rec + d.valueOffset + 4 * k, 4);
        memcpy(&fv[cell], rec + d.valueOffset + 4 * n + 4 * k, 4);
        if (flag & kLogFlagMissing) {
          st.SetNull(p++);
        } else if (flag & kLogFlagPresent) {
          // A value that is not a number is a fault of the sample: stored as
          // missing, as the file kind reads it.
          if (d.valueKind > 7 && std::isfinite(fv[cell]))
            st.SetFloat(p++, &fv[cell]);
          else
            st.SetNull(p++);
        } else {
          int state = flag & kLogFlagState;
          const std::string* text = nullptr;
          if (digitalText_ && size_t(b) < stateTexts_.size() && size_t(k) < stateTexts_[size_t(b)].size() &&
              stateTexts_[size_t(b)][size_t(k)].digital)
            text = &stateTexts_[size_t(b)][size_t(k)].text[state];
          if (text) {
            tl[cell] = (unsigned long)text->size();
            st.SetText(p++, text->data(), &tl[cell]);
          } else {
            iv[cell] = state;
            st.SetInt(p++, &iv[cell]);
          }
        }
      }
    }
    st.SetNull(p++);  // TP
  }
  int rc = st.Execute(&error);
  if (rc != 0) {
    inserts_.erase(count);
    return Fail(rc == 1 ? "mysql_stmt_bind_param() failed" : "mysql_stmt_execute(), failed", error);
  }
  return 0;
}

int CLogDbMySQLStore::AppendRecords(LogHeader* header, const void* records, int count) {
  if (!conn_) return Fail("INSERT failed", "the log is not open");
  window_.reset();  // rows read ahead would miss the new ones
  if (!header || count < 0 || (count > 0 && !records) || !BlocksFit(*header))
    return Fail("INSERT failed", "bad header or records");
  const int64_t begin = NowMs();
  const int columns = 4 + (header->significantChange ? 2 : 0) + ChannelCount(*header);
  const int per = RowsPerInsert(columns);
  if (per <= 0) return Fail("INSERT failed", "too many columns");
  if (digitalText_ && count > 0) LoadStateTexts(*header);
  const uint8_t* recs = static_cast<const uint8_t*>(records);
  ++appendCalls_;
  // One call's rows are stored whole or not at all: several statements run
  // in one transaction.
  const bool transaction = count > per;
  if (transaction && mdb::Execute(conn_, "START TRANSACTION") != 0)
    return Fail("INSERT failed", mysql_error(conn_));
  for (int done = 0; done < count;) {
    int n = count - done < per ? count - done : per;
    if (AppendBatch(*header, recs + size_t(done) * header->recordLength, n, columns) != 0) {
      if (transaction) mdb::Execute(conn_, "ROLLBACK");
      return -1;
    }
    done += n;
  }
  if (transaction && mdb::Execute(conn_, "COMMIT") != 0) {
    Fail("mysql_stmt_execute(), failed", mysql_error(conn_));
    mdb::Execute(conn_, "ROLLBACK");
    return -1;
  }
  char line[80];
  snprintf(line, sizeof line, "%d Samples took %d ms\r\n", count, int(NowMs() - begin));
  plat::OutputDebugText(line);
  return 0;
}

bool CLogDbMySQLStore::FillRecord(MYSQL_ROW row, unsigned fields, const LogHeader& h, uint8_t* out, int bytes,
                                  bool allColumns) {
  const int blocks = h.blockCount > kLogMaxBlocks ? kLogMaxBlocks : h.blockCount;
  const unsigned fixed = 3 + (h.significantChange ? 2 : 0);
  const unsigned expected = fixed + (allColumns ? unsigned(ChannelCount(h)) + 1 : 0);
  // Columns of a column-list prefix come first; their values are kept as
  // doubles after the record where the buffer has room for them.
  const unsigned extra = fields > expected ? fields - expected : 0;
  const unsigned base = extra;
  int32_t seconds;
  if (!mdb::ParseDateTime(row[base], &seconds)) return false;
  double msf = row[base + 1] ? strtod(row[base + 1], nullptr) : 0;
  int ms = int(std::floor(msf));
  int us = int(std::lround((msf - ms) * 1000.0));
  if (us >= 1000) {
    ++ms;
    us -= 1000;
  }
  Put<uint16_t>(out, bytes, 0, kLogRecordMarker);
  Put<int32_t>(out, bytes, 4, seconds);
  Put<int16_t>(out, bytes, 8, int16_t(ms));
  Put<int16_t>(out, bytes, 10, int16_t(us));
  if (h.significantChange && fields >= base + 5) {
    Put<uint8_t>(out, bytes, 2, uint8_t(row[base + 3] ? atoi(row[base + 3]) : 0));
    Put<float>(out, bytes, 12, row[base + 4] ? strtof(row[base + 4], nullptr) : 0.0f);
  }
  if (allColumns) {
    unsigned col = base + fixed;
    for (int b = 0; b < blocks; ++b) {
      const LogBlockDescriptor& d = h.blocks[b];
      const int n = LogBlockChannels(d);
      for (int k = 0; k < n; ++k, ++col) {
        size_t fAt = size_t(d.valueOffset) + 4 * size_t(k), vAt = size_t(d.valueOffset) + 4 * size_t(n + k);
        const char* v = col < fields ? row[col] : nullptr;
        int32_t flag = kLogFlagMissing;
        if (v && d.valueKind == kLogKindDigital) {
          char* end = nullptr;
          long i = strtol(v, &end, 10);
          if (end != v) {
            flag = int32_t(i & kLogFlagState);
            Put<int32_t>(out, bytes, vAt, int32_t(i));
          } else {
            Put<int32_t>(out, bytes, vAt, 0);
          }
        } else if (v) {
          char* end = nullptr;
          float f = strtof(v, &end);
          // A digital state kept as text is no value.
          if (end != v) flag = kLogFlagPresent;
          Put<float>(out, bytes, vAt, end != v ? f : 0.0f);
        } else {
          Put<float>(out, bytes, vAt, 0.0f);
        }
        Put<int32_t>(out, bytes, fAt, flag);
      }
    }
  }
  for (unsigned e = 0; e < extra; ++e)
    Put<double>(out, bytes, size_t(h.recordLength) + 8 * e, row[e] ? strtod(row[e], nullptr) : 0.0);
  return true;
}

std::string CLogDbMySQLStore::AllColumns(const char* columns) const {
  // The server takes a bare "*" only as the first item of a list.
  return columns && *columns ? prefix_ + "DATA.*" : "*";
}

int CLogDbMySQLStore::ReadLog(int index, LogHeader* header, void* buffer, int bytes, int readText, void*,
                              const char* columns, int rowLimit, int descending) {
  (void)readText;  // a record has no place for the text column
  if (!header || !buffer || bytes <= 0 || index < 0) return Fail("CAN'T GET DATA", "bad arguments");
  if (!conn_) return Fail("CAN'T GET DATA", "the log is not open");
  bool all = bytes >= 17;
  if (all && !BlocksFit(*header)) return Fail("CAN'T GET DATA", "bad header");
  std::string cols = all ? AllColumns(columns) : (header->significantChange ? "DT, MS, TX,LL, LV" : "DT, MS, TX");
  const char* order = descending ? "DESC" : "ASC";
  std::string sql = std::string("select ") + (columns ? columns : "") + cols + " from " + prefix_ +
                    "DATA ORDER BY DT " + order + ", MS " + order + " ";
  mdb::Result single;
  mdb::Result* r = &single;
  MYSQL_ROW row = nullptr;
  if (descending) {
    if (single.Query(conn_, sql + " LIMIT 1 OFFSET " + std::to_string(index)) != 0) {
      lastOffset_ = -1;
      return Fail("CAN'T GET DATA", mysql_error(conn_));
    }
    row = single.Next();
  } else {
    bool inWindow = window_ && windowQuery_ == sql && index >= windowFirst_ &&
                    uint64_t(index - windowFirst_) < window_->Rows();
    if (!inWindow) {
      window_ = std::make_unique<mdb::Result>();
      windowQuery_ = sql;
      windowFirst_ = index;
      if (window_->Query(conn_, sql + " LIMIT " + std::to_string(kReadAhead) + " OFFSET " + std::to_string(index)) !=
          0) {
        window_.reset();
        lastOffset_ = -1;
        return Fail("CAN'T GET DATA", mysql_error(conn_));
      }
    }
    r = window_.get();
    row = r->Row(uint64_t(index - windowFirst_));
  }
  if (!row) {
    lastOffset_ = -1;
    return Fail("CAN'T GET DATA", "no record " + std::to_string(index));
  }
  if (!FillRecord(row, r->Fields(), *header, static_cast<uint8_t*>(buffer), bytes, all))
    return Fail("COLUMN #1 IS NOT A DATE", "");
  lastOffset_ = rowLimit ? -1 : index;
  return 0;
}

int CLogDbMySQLStore::ReadLogs(int first, LogHeader* header, void* buffer, int count, int gap, const char* columns,
                               void*) {
  if (!header || !buffer || count <= 0 || first < 0 || gap < 0) return 0;
  if (!conn_) return Fail("CAN'T GET DATA", "the log is not open"), 0;
  if (!BlocksFit(*header)) return Fail("CAN'T GET DATA", "bad header"), 0;
  // One range of the same ordered rows that a ReadLog per record would read.
  const int stride = int(header->recordLength) + gap * 8;
  std::string sql = std::string("select ") + (columns ? columns : "") + AllColumns(columns) + " from " + prefix_ +
                    "DATA ORDER BY DT ASC, MS ASC  LIMIT " + std::to_string(count) + " OFFSET " +
                    std::to_string(first);
  mdb::Result r;
  if (r.Query(conn_, sql) != 0) return Fail("CAN'T GET DATA", mysql_error(conn_)), 0;
  uint8_t* out = static_cast<uint8_t*>(buffer);
  int read = 0;
  while (read < count) {
    MYSQL_ROW row = r.Next();
    if (!row) {
      Fail("CAN'T GET DATA", "no record " + std::to_string(first + read));
      break;
    }
    if (!FillRecord(row, r.Fields(), *header, out + size_t(read) * size_t(stride), stride, true)) {
      Fail("COLUMN #1 IS NOT A DATE", "");
      break;
    }
    ++read;
  }
  lastOffset_ = read ? first + read - 1 : -1;
  return read;
}

int CLogDbMySQLStore::GetNoLogs(LogHeader*) {
  if (!conn_) return Fail("SELECT COUNT failed", "the log is not open");
  mdb::Result r;
  if (r.Query(conn_, "SELECT COUNT(*) FROM " + prefix_ + "DATA") != 0)
    return Fail("SELECT COUNT failed", mysql_error(conn_));
  MYSQL_ROW row = r.Next();
  if (!row || !row[0]) return Fail("CAN'T GET DATA", "");
  return atoi(row[0]);
}

int CLogDbMySQLStore::ReadText(const char* section, char* buffer, int* size, int32_t, int32_t) {
  static const char* const kSections[] = {"HEADER", "TEXT", "PREDEFINED", "POSITIONS", "SCAN UPDATES", "TARGETS"};
  for (const char* s : kSections)
    if (section && strcasecmp(section, s) == 0) {
      // The run keeps no text: an empty one.
      if (buffer && size && *size > 0) buffer[0] = '\0';
      if (size) *size = 0;
      return 0;
    }
  return -1;
}

int CLogDbMySQLStore::WriteFormulae(const char*, int, const char*) { return -1; }
int CLogDbMySQLStore::WriteUnitCategory(const char*, const char*) { return -1; }
int CLogDbMySQLStore::GetLastTextTime(int32_t*) { return 0; }
int CLogDbMySQLStore::CountRecords(const TimeStamp*, const TimeStamp*, LogHeader*) { return 0; }

int CLogDbMySQLStore::CreateRun(const char* location, const char* tablePrefix, const char* loggerName, int sequence,
                                LogHeader* header, const char* text, const char* server, ChannelConfig** channels) {
  Close();
  if (!location || !tablePrefix || !loggerName || !header) return Fail("CAN'T CONNECT TO DATABASE", "bad arguments");
  mdb::DigitalColumnType(&digitalText_);
  loggerName_ = loggerName;
  sequence_ = sequence;
  access_ = kGenericRead | kGenericWrite;
  mdb::Location loc;
  if (const char* bad = mdb::ParseLocation(location, &loc)) return Fail(bad, "");
  std::string error;
  conn_ = mdb::Connect(loc, &error);
  if (!conn_) return Fail("CAN'T CONNECT TO DATABASE", error);
  auto fail = [&](const char* summary, const std::string& detail) {
    Fail(summary, detail);
    mdb::Execute(conn_, "ROLLBACK");
    Close();
    return -1;
  };
  std::vector<std::vector<ChannelConfig>> recs;
  int got = mdb::GatherChannels(*header, channels, server, &recs);
  if (got == -1) return fail("CAN'T FIND CHANNEL CONFIG", "");
  if (got == -2) return fail("CAN'T GET CHANNEL CONFIGS", "CAN'T GET CHANNEL CONFIGURATION");
  // The LOGGERS row and the CHANNELS rows appear together or not at all.
  if (mdb::Execute(conn_, "START TRANSACTION") != 0) return fail("CAN'T ADD TO LOGGERS TABLE", mysql_error(conn_));

  mdb::Statement lg;
  if (!lg.Prepare(conn_, "INSERT INTO LOGGERS VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)", &error))
    return fail("CAN'T ADD TO LOGGERS TABLE", error);
  std::string name = loggerName_, pfx = tablePrefix, htext;
  bool hasText = HeaderText(text, &htext);
  std::string trig = cdxtext::FixedText(header->triggerPrefix, 2), lag = cdxtext::FixedText(header->lagPrefix, 2);
  unsigned long nameLen = (unsigned long)name.size(), pfxLen = (unsigned long)pfx.size(),
                textLen = (unsigned long)htext.size(), trigLen = (unsigned long)trig.size(),
                lagLen = (unsigned long)lag.size();
  MYSQL_TIME start, stop;
  mdb::ToMysqlTime(header->start.seconds, &start);
  mdb::ToMysqlTime(header->stop.seconds, &stop);
  int32_t seq = sequence, zero = 0, tags = header->tagColumns ? 1 : 0, sig = header->significantChange ? 1 : 0;
  int32_t zone, trigNo = header->triggerChannel, lagNo = header->lagChannel;
  memcpy(&zone, header->extension + 84, 4);
  lg.SetText(0, name.data(), &nameLen);
  lg.SetInt(1, &seq);
  lg.SetTime(2, &start);
  if (header->stop.seconds != 0) lg.SetTime(3, &stop);
  lg.SetInt(4, &zero);
  lg.SetText(5, pfx.data(), &pfxLen);
  if (hasText) lg.SetText(6, htext.data(), &textLen);
  lg.SetInt(7, &tags);
  lg.SetInt(8, &zero);
  lg.SetInt(9, &zero);
  lg.SetInt(10, &zone);
  lg.SetInt(11, &sig);
  if (sig) {
    lg.SetText(12, trig.data(), &trigLen);
    lg.SetInt(13, &trigNo);
    lg.SetText(14, lag.data(), &lagLen);
    lg.SetInt(15, &lagNo);
  }
  if (lg.Execute(&error) != 0) return fail("CAN'T ADD TO LOGGERS TABLE", error);

  mdb::Statement ch;
  if (!ch.Prepare(conn_, "INSERT INTO " + pfx + "CHANNELS VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?)", &error))
    return fail("CAN'T ADD TO CHANNELS TABLE", error);
  int blocks = header->blockCount > kLogMaxBlocks ? kLogMaxBlocks : header->blockCount;
  for (int b = 0; b < blocks; ++b) {
    const LogBlockDescriptor& d = header->blocks[b];
    int n = LogBlockChannels(d);
    for (int k = 0; k < n; ++k) {
      const ChannelConfig& c = recs[size_t(b)][size_t(k)];
      int32_t block = b, number = d.firstChannel + k, type = c.Type, lagFlag = d.lagFlag ? 1 : 0;
      bool enabled = Chan_TestFlag(c, kAiEnable), digital = Chan_IsDigital(c.Type);
      std::string prefix = cdxtext::FixedText(d.prefix, 2), source = Trimmed(d.sourceName, sizeof d.sourceName);
      std::string tag = Chan_GetTag(c), desc = Chan_GetDescription(c), units = Chan_GetUnits(c);
      std::string low = cdxtext::FixedText(c.digital.LowStateText, kChannelTextLen);
      std::string high = cdxtext::FixedText(c.digital.HighStateText, kChannelTextLen);
      std::string column = mdb::ChannelColumnName(*header, b, number, c);
      float minimum = c.analog.MinimumUnits, maximum = c.analog.MaximumUnits;
      unsigned long len[8] = {(unsigned long)prefix.size(), (unsigned long)source.size(),
                              (unsigned long)tag.size(),    (unsigned long)desc.size(),
                              (unsigned long)units.size(),  (unsigned long)low.size(),
                              (unsigned long)high.size(),   (unsigned long)column.size()};
      for (size_t i = 0; i < 14; ++i) ch.SetNull(i);
      ch.SetInt(0, &block);
      ch.SetText(1, prefix.data(), &len[0]);
      ch.SetInt(2, &number);
      ch.SetText(3, source.data(), &len[1]);
      ch.SetText(4, tag.data(), &len[2]);
      ch.SetText(5, desc.data(), &len[3]);
      if (enabled) ch.SetInt(6, &type);
      if (enabled && !digital) {
        ch.SetText(7, units.data(), &len[4]);
        ch.SetFloat(8, &minimum);
        ch.SetFloat(9, &maximum);
      }
      if (enabled && digital) {
        ch.SetText(10, low.data(), &len[5]);
        ch.SetText(11, high.data(), &len[6]);
      }
      ch.SetText(12, column.data(), &len[7]);
      ch.SetInt(13, &lagFlag);
      if (ch.Execute(&error) != 0) return fail("CAN'T ADD TO CHANNELS TABLE", error);
    }
  }
  if (mdb::Execute(conn_, "COMMIT") != 0) return fail("CAN'T ADD TO CHANNELS TABLE", mysql_error(conn_));
  location_ = location;
  prefix_ = pfx;
  lastOffset_ = -1;
  stateTexts_.clear();
  OpenForAppend(header);
  return 0;
}
