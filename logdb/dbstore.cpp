#include "logdb/dbstore.h"

#include <strings.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "cdxlib/client/srvclient.h"
#include "cdxlib/shm/datamodule.h"
#include "cdxlib/shm/drvtables.h"
#include "cdxlib/sys/registry.h"
#include "cdxlib/sys/textcodec.h"
#include "cdxlib/sys/textutil.h"
#include "logdata/chanrequest.h"
#include "logdb/dbdates.h"
#include "logdb/dbnames.h"
#include "platform/error.h"

namespace {

constexpr uint32_t kWrite = 0x40000000u;
constexpr const char* kSettingsKey = "SOFTWARE\\Quillomatic\\Coordinatrix";
// TX and the text lines are char(255) / varchar(255).
constexpr int kTextColumn = 255;

using cdxtext::Copy;
using cdxtext::StartsNoCase;

std::string TrimRight(std::string s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
  return s;
}

// The first blank-delimited word.
std::string FirstWord(const std::string& s, size_t max) {
  size_t b = s.find_first_not_of(' ');
  if (b == std::string::npos) return "";
  size_t e = s.find(' ', b);
  std::string w = s.substr(b, e == std::string::npos ? std::string::npos : e - b);
  if (w.size() > max) w.resize(max);
  return w;
}

// The first two characters that are not blanks.
void TwoChars(const std::string& s, char out[2]) {
  out[0] = out[1] = 0;
  int n = 0;
  for (char c : s) {
    if (c == ' ') continue;
    out[n++] = c;
    if (n == 2) break;
  }
}

std::string Utf16ToText(const char16_t* text) {
  if (!text) return "";
  size_t n = 0;
  while (text[n]) ++n;
  std::string utf8;
  if (!Codec_Utf16ToUtf8(std::u16string(text, n), &utf8)) return "";
  return ado::Utf8ToCp1252(utf8);
}

int32_t I32(const uint8_t* p) {
  int32_t v;
  memcpy(&v, p, 4);
  return v;
}
float F32(const uint8_t* p) {
  float v;
  memcpy(&v, p, 4);
  return v;
}
void PutI32(uint8_t* p, int32_t v) { memcpy(p, &v, 4); }
void PutF32(uint8_t* p, float v) { memcpy(p, &v, 4); }

// The block's channel count, 0 for a descriptor without channels.
int ChannelCount(const LogBlockDescriptor& b) {
  return b.lastChannel >= b.firstChannel && b.firstChannel > 0 ? b.lastChannel - b.firstChannel + 1 : 0;
}

int BlockCount(const LogHeader* h) { return std::min<int>(h->blockCount, kLogMaxBlocks); }

// A variant's text, or "" for null.
std::string TextOf(const ado::Variant& v) {
  try {
    return v.IsNull() ? "" : v.AsText();
  } catch (const ado::ComError&) {
    return "";
  }
}

bool NumberOf(const ado::Variant& v, double* out) {
  if (v.IsNull()) return false;
  if (v.vt == ado::VT_BSTR && TrimRight(v.s).empty()) return false;
  try {
    *out = v.AsDouble();
    return true;
  } catch (const ado::ComError&) {
    return false;
  }
}

// The state texts of a block's digital channels from its driver's
// configuration module, read under the module's lock; false when there is
// no module.
bool ModuleStateTexts(const LogBlockDescriptor& block, int n, std::vector<CLogDbStore::StateTexts>* out) {
  std::vector<ChannelConfig> records(static_cast<size_t>(n));
  if (Log_ReadLocalChannelConfigs(block.prefix, block.firstChannel, n, records.data()) != 0) return false;
  out->assign(size_t(n), {});
  for (int k = 0; k < n; ++k) {
    const ChannelConfig& c = records[size_t(k)];
    if (!Chan_IsDigital(c.Type)) continue;
    (*out)[size_t(k)].text[0] = cdxtext::FixedText(c.digital.LowStateText, kChannelTextLen);
    (*out)[size_t(k)].text[1] = cdxtext::FixedText(c.digital.HighStateText, kChannelTextLen);
  }
  return true;
}

}  // namespace

bool LogDb_DigitalColumnType(std::string* type) {
  char buf[21] = {};
  uint32_t valueType = 0, size = 20;
  if (Reg_AccessValue(plat::HKEY_LOCAL_MACHINE, kSettingsKey, plat::KEY_QUERY_VALUE, "DatabaseDigitalText", &valueType,
                      buf, &size) != 0) {
    if (type) *type = "INTEGER";
    return false;
  }
  buf[std::min<uint32_t>(size, 20)] = '\0';
  std::string value = TrimRight(buf);
  if (strcasecmp(value.c_str(), "On") == 0) {
    if (type) *type = "char(32)";
    return true;
  }
  if (type) *type = value;
  // Another type name holds state texts only when it is a character type;
  // state bits go into any other.
  std::string lower = value;
  for (char& c : lower) c = char(std::tolower((unsigned char)c));
  for (const char* t : {"char", "varchar", "nchar", "nvarchar", "text", "ntext", "character", "varchar2", "string"})
    if (lower.rfind(t, 0) == 0 && (lower.size() == strlen(t) || lower[strlen(t)] == '(' || lower[strlen(t)] == ' '))
      return true;
  return false;
}

// ---- construction and errors ------------------------------------------------

CLogDbStore::CLogDbStore() = default;

CLogDbStore::~CLogDbStore() {
  if (appendOpen_) append_.Close();
  query_.Close();
}

void CLogDbStore::SetError(const char* detail, const char* summary) {
  Copy(detail_, sizeof detail_, detail);
  Copy(summary_, sizeof summary_, summary);
}

std::string CLogDbStore::Quote(const char* text) const { return LogDb_QuoteText(text, backslashEscapes_); }

std::string CLogDbStore::LoggerWhere() const {
  return " where sLoggerName = '" + Quote(loggerName_) + "' AND nLoggerSequence = " + std::to_string(sequence_);
}

// ---- open and close -----------------------------------------------------------

int CLogDbStore::Open(const char* server, const char* location, uint32_t access) {
  if (!location || strlen(location) > size_t(kMaxLocation)) {
    plat::SetLastError(0);
    return -1;
  }
  char copy[kMaxLocation + 1];
  Copy(copy, sizeof copy, location);
  int size = kMaxName;
  long seq = 0;
  if (!TakeLoggerName(copy, &size, loggerName_) || !TakeLoggerSeq(copy, &seq)) {
    SetError("", "BADLY FORMED PATH NAME");
    plat::SetLastError(0);
    return -1;
  }
  sequence_ = int32_t(seq);
  access_ = access;
  if (OpenConnection(copy) == 0) {
    SetConnectionString(copy);
    return 0;
  }
  if (!server || !*server || StartsNoCase(copy, "PROVIDER=MS REMOTE")) return -1;
  // The remote form through the given server, with a bounded buffer.
  char remote[kMaxLocation + 400];
  if (FormatBounded(remote, sizeof remote, "PROVIDER=MS REMOTE;REMOTE SERVER=HTTP://%s;REMOTE %s", server, location) < 0 ||
      strlen(remote) > size_t(kMaxLocation))
    return -1;
  size = kMaxName;
  if (!TakeLoggerName(remote, &size, loggerName_) || !TakeLoggerSeq(remote, &seq)) {
    SetError("", "BADLY FORMED PATH NAME");
    return -1;
  }
  if (OpenConnection(remote) != 0) return -1;
  SetConnectionString(remote);
  return 0;
}

int CLogDbStore::OpenConnection(const char* connection) {
  readPosition_ = -1;
  backslashEscapes_ = LogDb_BackslashEscapes(connection);
  if (query_.Connect(connection, "", -1) != 0) {
    SetError(query_.GetLastErrorText(), "CAN'T OPEN DATABASE");
    return -1;
  }
  std::string sql = "select sTablePrefix from LOGGERS" + LoggerWhere();
  ado::Variant v;
  if (query_.Open(sql.c_str(), ado::adOpenStatic, ado::adLockReadOnly, ado::adCmdUnknown) == 0 &&
      query_.GetFieldValue(0, &v) == 0 && !v.IsNull()) {
    std::string word = FirstWord(TextOf(v), kMaxName - 1);
    if (!word.empty()) {
      Copy(tablePrefix_, sizeof tablePrefix_, word.c_str());
      return 0;
    }
  }
  SetError(query_.GetLastErrorText(), "CAN'T FIND LOGGER NAME AND SEQ");
  query_.Close();
  return -1;
}

void CLogDbStore::SetConnectionString(const char* connection) {
  Copy(connection_, sizeof connection_, connection);
  if (StartsNoCase(connection, "PROVIDER=MICROSOFT.JET.OLEDB")) firstStyle_ = lastStyle_ = 2;
  backslashEscapes_ = LogDb_BackslashEscapes(connection);
}

int CLogDbStore::OpenForAppend(LogHeader*) {
  if (append_.Connect(connection_, "", -1) != 0) {
    SetError(append_.GetLastErrorText(), "CAN'T OPEN DATABASE");
    return -1;
  }
  appendOpen_ = 1;
  std::string table = std::string(tablePrefix_) + "DATA";
  if (append_.Open(table.c_str(), ado::adOpenForwardOnly, ado::adLockOptimistic, ado::adCmdTable) != 0) {
    SetError(append_.GetLastErrorText(), "CAN'T OPEN DATA TABLE");
    return -1;
  }
  digitalText_ = LogDb_DigitalColumnType(nullptr) ? 1 : 0;
  return 0;
}

void CLogDbStore::GetName(char* buffer, int* size) {
  char name[kMaxLocation + kMaxName + 40];
  int n = FormatBounded(name, sizeof name, "%s;LoggerName=%s;LoggerSeq=%08d", connection_, loggerName_, sequence_);
  if (n < 0) name[0] = '\0', n = 0;
  if (buffer) {
    int room = size && *size > 0 ? *size : n + 1;
    Copy(buffer, size_t(room), name);
  }
  if (size) *size = n + 1;
}

int CLogDbStore::Close() {
  readPosition_ = -1;
  query_.Close();
  if (appendOpen_) {
    append_.Close();
    appendOpen_ = 0;
  }
  return 0;
}

int CLogDbStore::UpdateHeader(uint32_t) { return 0; }

void CLogDbStore::GetTablePrefix(char* buffer, int* size) {
  if (buffer) Copy(buffer, kMaxName, tablePrefix_);
  if (size) *size = kMaxName;
}

// ---- dates and conditions -----------------------------------------------------

std::string CLogDbStore::DateLiteral(int32_t seconds, int style) const {
  // The literal names the value as it is stored (UTC in UTC mode).
  int64_t stored = ado::OleDateToSeconds(SecondsToDbDate(seconds));
  time_t t = time_t(stored);
  struct tm f;
  gmtime_r(&t, &f);
  char buf[64];
  if (style == 0)
    snprintf(buf, sizeof buf, "{ ts '%04d-%02d-%02d %02d:%02d:%02d.000' }", f.tm_year + 1900, f.tm_mon + 1, f.tm_mday,
             f.tm_hour, f.tm_min, f.tm_sec);
  else if (style == 1)
    snprintf(buf, sizeof buf, "{ ts '%04d/%02d/%02d %02d:%02d:%02d.000' }", f.tm_year + 1900, f.tm_mon + 1, f.tm_mday,
             f.tm_hour, f.tm_min, f.tm_sec);
  else
    snprintf(buf, sizeof buf, "#%02d/%02d/%04d %02d:%02d:%02d#", f.tm_mon + 1, f.tm_mday, f.tm_year + 1900, f.tm_hour,
             f.tm_min, f.tm_sec);
  return buf;
}

std::string CLogDbStore::TimeCondition(const TimeStamp* from, const TimeStamp* to, int style) const {
  std::string where;
  if (from) {
    std::string l = DateLiteral(from->seconds, style);
    where += "((DT = " + l + " AND MS > " + std::to_string(from->milliseconds) + ") OR DT > " + l + ") ";
  }
  if (to) {
    std::string l = DateLiteral(to->seconds, style);
    if (!where.empty()) where += " AND ";
    where += "((DT = " + l + " AND MS < " + std::to_string(to->milliseconds) + ") OR DT < " + l + ") ";
  }
  return where;
}

template <class Build>
int CLogDbStore::OpenWithStyles(CLogITDbDataAcc& acc, Build build, long lock, int last) {
  for (int s = firstStyle_; s <= last; ++s) {
    std::string sql = build(s);
    int rc = lock == ado::adLockReadOnly
                 ? acc.Open(sql.c_str(), ado::adOpenStatic, ado::adLockReadOnly, ado::adCmdUnknown)
                 : acc.OpenUpdatable(sql.c_str());
    if (rc == 0) {
      firstStyle_ = lastStyle_ = s;
      return 0;
    }
  }
  return -1;
}

int CLogDbStore::CountRecords(const TimeStamp* from, const TimeStamp* to, LogHeader*) {
  readPosition_ = -1;
  auto build = [&](int s) {
    std::string w = TimeCondition(from, to, s);
    return "SELECT COUNT(*) FROM " + std::string(tablePrefix_) + "DATA" + (w.empty() ? "" : " WHERE " + w);
  };
  if (OpenWithStyles(query_, build, ado::adLockReadOnly, lastStyle_) != 0) return -1;
  ado::Variant v;
  if (query_.GetFieldValue(0, &v) != 0) return -1;
  try {
    return int(v.AsInt());
  } catch (const ado::ComError&) {
    return -1;
  }
}

void CLogDbStore::DeleteRecords(const TimeStamp* from, const TimeStamp* to) {
  readPosition_ = -1;
  auto build = [&](int s) {
    std::string w = TimeCondition(from, to, s);
    return "DELETE FROM " + std::string(tablePrefix_) + "DATA" + (w.empty() ? "" : " WHERE " + w);
  };
  long lock = access_ & kWrite ? ado::adLockOptimistic : ado::adLockReadOnly;
  for (int s = firstStyle_; s <= lastStyle_; ++s) {
    std::string sql = build(s);
    if (query_.Open(sql.c_str(), ado::adOpenStatic, lock, ado::adCmdUnknown) == 0) {
      firstStyle_ = lastStyle_ = s;
      return;
    }
  }
}

void CLogDbStore::Truncate(LogHeader*, int) {}
int CLogDbStore::Rename(const char*) { return 0; }
int CLogDbStore::WriteFormulae(const char*, int, const char*) { return -1; }
int CLogDbStore::WriteUnitCategory(const char*, const char*) { return -1; }

// ---- header and channels --------------------------------------------------------

int CLogDbStore::ReadHeader(LogHeader* header) {
  readPosition_ = -1;
  if (!header) return -1;
  std::string sql = "select * from LOGGERS" + LoggerWhere();
  if (query_.Open(sql.c_str(), ado::adOpenStatic, ado::adLockReadOnly, ado::adCmdUnknown) != 0) {
    SetError(query_.GetLastErrorText(), "CAN'T FIND LOGGER");
    return -1;
  }
  ado::Variant v;
  if (query_.GetFieldValue(2, &v) != 0) {
    SetError(query_.GetLastErrorText(), "CAN'T FIND LOGGER");
    return -1;
  }
  if (v.vt != ado::VT_DATE) {
    SetError("", "COLUMN #3 IS NOT A DATE");
    return -1;
  }
  // The whole header is made again: nothing of the caller's buffer stays.
  memset(header, 0, sizeof *header);
  header->start.seconds = int32_t(DbDateToSeconds(v.d));
  if (query_.GetFieldValue(3, &v) == 0 && v.vt == ado::VT_DATE) header->stop.seconds = int32_t(DbDateToSeconds(v.d));
  double x = 0;
  if (query_.GetFieldValue(7, &v) == 0 && NumberOf(v, &x)) header->tagColumns = uint8_t(int64_t(x));
  if (query_.GetFieldValue(11, &v) == 0 && NumberOf(v, &x)) header->significantChange = uint8_t(int64_t(x));
  if (header->significantChange) {
    if (query_.GetFieldValue(12, &v) == 0) TwoChars(TextOf(v), header->triggerPrefix);
    if (query_.GetFieldValue(13, &v) == 0 && NumberOf(v, &x)) header->triggerChannel = uint16_t(int64_t(x));
    if (query_.GetFieldValue(14, &v) == 0) TwoChars(TextOf(v), header->lagPrefix);
    if (query_.GetFieldValue(15, &v) == 0 && NumberOf(v, &x)) header->lagChannel = uint16_t(int64_t(x));
  }
  header->marker = kLogHeaderMarker;
  header->blockCount = 0;

  sql = "select nBlock, sPrefix, nChannelNumber, sSource, bLag from " + std::string(tablePrefix_) + "CHANNELS";
  if (query_.Open(sql.c_str(), ado::adOpenStatic, ado::adLockReadOnly, ado::adCmdUnknown) != 0) {
    SetError(query_.GetLastErrorText(), "CAN'T GET CHANNELS");
    return -1;
  }
  short eof = 0;
  if (query_.recordset() && query_.recordset()->IsOpen() && !query_.recordset()->BOF()) {
    if (query_.MoveFirst() != 0) {
      SetError(query_.GetLastErrorText(), "CAN'T FIND FIRST CHANNEL");
      return -1;
    }
  }
  if (query_.IsEOF(&eof) != 0) {
    SetError(query_.GetLastErrorText(), "CAN'T CHECK FIRST CHANNEL");
    return -1;
  }
  while (!eof) {
    ado::Variant vb, vp, vc, vs, vl;
    double b = -1, c = 0, lag = 0;
    if (query_.GetFieldValue(0, &vb) == 0 && NumberOf(vb, &b) && b >= 0 && b < kLogMaxBlocks &&
        query_.GetFieldValue(2, &vc) == 0 && NumberOf(vc, &c) && c > 0 && c <= 65535) {
      int bi = int(b);
      if (bi >= header->blockCount) header->blockCount = uint16_t(bi + 1);
      LogBlockDescriptor& d = header->blocks[bi];
      int ch = int(c);
      if (d.firstChannel == 0) {
        query_.GetFieldValue(1, &vp);
        query_.GetFieldValue(3, &vs);
        query_.GetFieldValue(4, &vl);
        TwoChars(TextOf(vp), d.prefix);
        d.firstChannel = d.lastChannel = uint16_t(ch);
        std::string src = TrimRight(TextOf(vs).substr(0, 24));
        memcpy(d.sourceName, src.data(), src.size());
        d.lagFlag = uint8_t(NumberOf(vl, &lag) ? int64_t(lag) : 0);
        d.valueKind = 8;
      }
      if (ch < d.firstChannel) d.firstChannel = uint16_t(ch);
      if (ch > d.lastChannel) d.lastChannel = uint16_t(ch);
    }
    if (query_.MoveNext() != 0) {
      SetError(query_.GetLastErrorText(), "CAN'T GET NEXT CHANNEL");
      return -1;
    }
    if (query_.IsEOF(&eof) != 0) {
      SetError(query_.GetLastErrorText(), "CAN'T CHECK NEXT CHANNEL");
      return -1;
    }
  }
  int records = GetNoLogs(header);
  if (records < 0) return -1;
  header->recordCount = uint32_t(records);
  uint32_t length = kLogRecordFixedSize, channels = 0;
  for (int b = 0; b < header->blockCount; ++b) {
    header->blocks[b].valueOffset = uint16_t(length);
    int n = ChannelCount(header->blocks[b]);
    length += 8 * n + 2;
    channels += n;
  }
  header->recordLength = length;
  header->headerLength = length + 4404 + 4 * header->blockCount + 216 * channels;
  header->endOffset = header->recordCount * length + header->headerLength;
  return 0;
}

int CLogDbStore::ReadChannels(LogHeader* header, ChannelConfig* buffer, int block, int first, int count) {
  readPosition_ = -1;
  // 64 descriptors, numbered 0 to 63, of which blockCount are used.
  if (!header || block < 0 || block >= kLogMaxBlocks || block >= header->blockCount || first < 0) {
    SetError("", "CHANNEL NOT IN HEADER");
    return -1;
  }
  const LogBlockDescriptor& d = header->blocks[block];
  int n = d.lastChannel - d.firstChannel + 1;
  if (first > d.lastChannel - d.firstChannel || first + std::max(count, 0) > n) {
    SetError("", "CHANNEL NOT IN HEADER");
    return -1;
  }
  if (count < 1) return 0;
  if (!buffer) return -1;
  char prefix[3] = {d.prefix[0], d.prefix[1], 0};
  for (int i = 0; i < count; ++i) {
    int channel = d.firstChannel + first + i;
    std::string sql = "select * from " + std::string(tablePrefix_) + "CHANNELS where sPrefix = '" + Quote(prefix) +
                      "' AND nChannelNumber = " + std::to_string(channel);
    ChannelConfig& c = buffer[i];
    memset(&c, 0, sizeof c);
    ado::Variant v;
    if (query_.Open(sql.c_str(), ado::adOpenStatic, ado::adLockReadOnly, ado::adCmdUnknown) != 0 ||
        query_.GetFieldValue(0, &v) != 0) {
      SetError(query_.GetLastErrorText(), "CAN'T FIND CHANNEL");
      return -1;
    }
    if (query_.GetFieldValue(4, &v) == 0) Chan_SetTag(&c, TrimRight(TextOf(v)).substr(0, kTagMax).c_str());
    if (query_.GetFieldValue(5, &v) == 0) Chan_SetDescription(&c, TrimRight(TextOf(v)).substr(0, kDescMax).c_str());
    double type = 0;
    if (query_.GetFieldValue(6, &v) == 0 && NumberOf(v, &type)) {
      Chan_SetFlag(&c, kAiEnable, true);
      c.Type = uint8_t(int64_t(type));
      double x;
      if (!Chan_IsDigital(c.Type)) {
        if (query_.GetFieldValue(7, &v) == 0) Chan_SetUnits(&c, TrimRight(TextOf(v)).substr(0, kUnitsMax).c_str());
        if (query_.GetFieldValue(8, &v) == 0 && NumberOf(v, &x)) c.analog.MinimumUnits = float(x);
        if (query_.GetFieldValue(9, &v) == 0 && NumberOf(v, &x)) c.analog.MaximumUnits = float(x);
      } else {
        if (query_.GetFieldValue(10, &v) == 0) {
          std::string t = TrimRight(TextOf(v)).substr(0, kChannelTextLen);
          memcpy(c.digital.LowStateText, t.data(), t.size());
        }
        if (query_.GetFieldValue(11, &v) == 0) {
          std::string t = TrimRight(TextOf(v)).substr(0, kChannelTextLen);
          memcpy(c.digital.HighStateText, t.data(), t.size());
        }
      }
    }
  }
  return 0;
}

int CLogDbStore::WriteHeader(LogHeader* header, int completed) {
  if (!(access_ & kWrite)) return 0;
  readPosition_ = -1;
  if (!header) return -1;
  std::string sql = "select dStartTime, dStopTime, bCompleted from LOGGERS" + LoggerWhere();
  ado::Variant v;
  if (query_.OpenUpdatable(sql.c_str()) != 0 || query_.GetFieldValue(0, &v) != 0) {
    SetError(query_.GetLastErrorText(), "CAN'T FIND LOGGER TIMES");
    return -1;
  }
  if (query_.SetFieldValue(0, ado::Variant::Date(SecondsToDbDate(header->start.seconds))) != 0 ||
      query_.SetFieldValue(1, header->stop.seconds ? ado::Variant::Date(SecondsToDbDate(header->stop.seconds))
                                                   : ado::Variant::Null()) != 0 ||
      query_.SetFieldValue(2, ado::Variant::Int(completed)) != 0 || query_.UpdateRecord() != 0) {
    query_.CancelUpdate();
    return -1;
  }
  if (appendOpen_) {
    uint8_t first[16] = {};
    if (ReadLogExtra(0, header, first, 16, 0, nullptr, 1, 0) == 0 && I32(first + 4) < header->start.seconds) {
      TimeStamp start = header->start;
      start.milliseconds = 0;
      DeleteRecords(nullptr, &start);
    }
  }
  return 0;
}

// ---- records --------------------------------------------------------------------

// The channels' fields of a record, from field `column` on, block after
// block: NULL for a missing value, the state (1/0 or its text) of a digital
// value, the float of any other present one.
int CLogDbStore::WriteChannelFields(CLogITDbDataAcc& acc, const LogHeader* header, const uint8_t* rec, int bytes,
                                    int column) {
  int total = 0;
  for (int b = 0; b < BlockCount(header); ++b) {
    const LogBlockDescriptor& d = header->blocks[b];
    int n = ChannelCount(d);
    // A block that does not lie inside the record cannot be read.
    if (n > 0 && size_t(d.valueOffset) + 8u * size_t(n) > size_t(bytes)) {
      SetError("", "CAN'T SET CHANNEL");
      return -1;
    }
    total += n;
  }
  // The channels' fields are written in place, all in one call (a record
  // may have a thousand).
  ado::Variant* field = total > 0 ? acc.FieldValuesToSet(column, total) : nullptr;
  if (total > 0 && !field) {
    SetError(acc.GetLastErrorText(), "CAN'T SET CHANNEL");
    return -1;
  }
  auto put = [](ado::Variant* v, ado::VarType type) {
    v->vt = type;
    if (!v->s.empty()) v->s.clear();
  };
  for (int b = 0; b < BlockCount(header); ++b) {
    const LogBlockDescriptor& d = header->blocks[b];
    int n = ChannelCount(d);
    for (int k = 0; k < n; ++k, ++field) {
      int32_t flags = I32(rec + d.valueOffset + 4 * k);
      if (flags & kLogFlagMissing) {
        put(field, ado::VT_NULL);
      } else if (!(flags & kLogFlagPresent)) {
        bool state = flags & kLogFlagState;
        if (digitalText_) {
          field->vt = ado::VT_BSTR;
          if (size_t(b) < stateTexts_.size() && size_t(k) < stateTexts_[size_t(b)].size())
            field->s = stateTexts_[size_t(b)][size_t(k)].text[state ? 1 : 0];
          else
            field->s.clear();
        } else {
          put(field, ado::VT_I4);
          field->i = state ? 1 : 0;
        }
      } else if (d.valueKind != kLogKindDigital) {
        // A present value of any block but a digital one is its float
        // (a value kind left at 0 by the writer must not lose them).
        float f = F32(rec + d.valueOffset + 4 * n + 4 * k);
        if (std::isfinite(f)) {
          put(field, ado::VT_R4);
          field->d = f;
        } else {
          put(field, ado::VT_NULL);
        }
      } else {
        put(field, ado::VT_NULL);
      }
    }
  }
  return 0;
}

int CLogDbStore::WriteRecordFields(CLogITDbDataAcc& acc, const LogHeader* header, const uint8_t* rec, int bytes) {
  int32_t seconds = I32(rec + 4);
  int16_t ms;
  memcpy(&ms, rec + 8, 2);
  if (acc.SetFieldValue(0, ado::Variant::Date(SecondsToDbDate(seconds))) != 0) {
    SetError(acc.GetLastErrorText(), "CAN'T SET DT");
    return -1;
  }
  if (acc.SetFieldValue(1, ado::Variant::Int(ms)) != 0) {
    SetError(acc.GetLastErrorText(), "CAN'T SET MS");
    return -1;
  }
  int column = 3;  // TX (2) is left alone
  if (header->significantChange) {
    if (acc.SetFieldValue(3, ado::Variant::Int(rec[2])) != 0) {
      SetError(acc.GetLastErrorText(), "CAN'T SET LL");
      return -1;
    }
    if (acc.SetFieldValue(4, ado::Variant::Real(F32(rec + 12))) != 0) {
      SetError(acc.GetLastErrorText(), "CAN'T SET LV");
      return -1;
    }
    column = 5;
  }
  if (bytes > 16 && WriteChannelFields(acc, header, rec, bytes, column) != 0) return -1;
  if (acc.Update() != 0) {
    SetError(acc.GetLastErrorText(), "CAN'T ADD LOG");
    return -1;
  }
  return 0;
}

// The state texts of the digital channels for this call's records: from
// the drivers' configuration modules where they exist, else the texts the
// run was created with (its channel rows, read once).
void CLogDbStore::LoadStateTexts(const LogHeader& h) {
  int blocks = BlockCount(&h);
  bool fromTable = stateTexts_.size() == size_t(blocks);
  std::vector<std::vector<StateTexts>> texts(static_cast<size_t>(blocks));
  for (int b = 0; b < blocks; ++b) {
    const LogBlockDescriptor& d = h.blocks[b];
    int n = ChannelCount(d);
    auto& t = texts[size_t(b)];
    if (n == 0 || ModuleStateTexts(d, n, &t)) continue;
    if (fromTable && stateTexts_[size_t(b)].size() == size_t(n)) {
      t = stateTexts_[size_t(b)];
      continue;
    }
    t.assign(size_t(n), {});
    std::string sql = "select nChannelNumber, nType, sLowStateDesc, sHighStateDesc from " + std::string(tablePrefix_) +
                      "CHANNELS where nBlock = " + std::to_string(b);
    if (query_.Open(sql.c_str(), ado::adOpenStatic, ado::adLockReadOnly, ado::adCmdUnknown) != 0) continue;
    short eof = 0;
    while (query_.IsEOF(&eof) == 0 && !eof) {
      ado::Variant vc, vt, vl, vh;
      double c = 0, type = 0;
      if (query_.GetFieldValue(0, &vc) == 0 && NumberOf(vc, &c) && query_.GetFieldValue(1, &vt) == 0 &&
          NumberOf(vt, &type) && Chan_IsDigital(uint8_t(int64_t(type)))) {
        int k = int(c) - d.firstChannel;
        if (k >= 0 && k < n) {
          if (query_.GetFieldValue(2, &vl) == 0) t[size_t(k)].text[0] = TrimRight(TextOf(vl)).substr(0, kChannelTextLen);
          if (query_.GetFieldValue(3, &vh) == 0) t[size_t(k)].text[1] = TrimRight(TextOf(vh)).substr(0, kChannelTextLen);
        }
      }
      if (query_.MoveNext() != 0) break;
    }
  }
  stateTexts_ = std::move(texts);
}

// One try at writing all records of a call in one transaction: 0, -1 for a
// failure worth a reconnection, -2 for one that is not.
int CLogDbStore::AppendOnce(LogHeader* header, const uint8_t* records, int count) {
  if (append_.BeginTrans() != 0) {
    SetError(append_.GetLastErrorText(), "CAN'T ADD LOG");
    return -1;
  }
  for (int i = 0; i < count; ++i) {
    if (append_.AddNew() != 0) {
      SetError(append_.GetLastErrorText(), "CAN'T LOG SCAN");
      append_.RollbackTrans();
      return -2;
    }
    if (WriteRecordFields(append_, header, records + size_t(i) * header->recordLength, int(header->recordLength)) != 0) {
      Copy(summary_, sizeof summary_, "CAN'T ADD LOG");
      append_.CancelUpdate();
      append_.RollbackTrans();
      return -1;
    }
  }
  if (append_.CommitTrans() != 0) {
    SetError(append_.GetLastErrorText(), "CAN'T ADD LOG");
    append_.RollbackTrans();
    return -1;
  }
  return 0;
}

int CLogDbStore::AppendRecords(LogHeader* header, const void* records, int count) {
  if (!appendOpen_) return -1;
  if (count <= 0) return 0;
  readPosition_ = -1;  // a kept selection would miss the new rows
  if (!header || !records || header->recordLength < 16) {
    SetError("", "CAN'T ADD LOG");
    return -1;
  }
  const uint8_t* recs = static_cast<const uint8_t*>(records);
  if (digitalText_) LoadStateTexts(*header);
  int rc = AppendOnce(header, recs, count);
  if (rc == 0) return 0;
  if (rc == -2) return -1;
  // Once per call: a new connection, and the whole call again (the failed
  // try left nothing behind).
  append_.Close();
  appendOpen_ = 0;
  if (OpenForAppend(header) != 0) return -1;
  return AppendOnce(header, recs, count) == 0 ? 0 : -1;
}

int CLogDbStore::RewriteRecords(int, LogHeader* header, const void* records, int bytes) {
  readPosition_ = -1;
  if (!header || !records || bytes < 16) return -1;
  const uint8_t* recs = static_cast<const uint8_t*>(records);
  int length = int(header->recordLength) >= 16 ? int(header->recordLength) : bytes;
  int count = bytes > length ? bytes / length : 1;
  long lock = access_ & kWrite ? ado::adLockOptimistic : ado::adLockReadOnly;
  if (digitalText_) LoadStateTexts(*header);
  // Each record rewrites its own row (the row of its time).
  for (int i = 0; i < count; ++i) {
    const uint8_t* rec = recs + size_t(i) * length;
    int16_t ms;
    memcpy(&ms, rec + 8, 2);
    auto build = [&](int s) {
      return "SELECT * FROM " + std::string(tablePrefix_) + "DATA WHERE DT = " + DateLiteral(I32(rec + 4), s) +
             " AND MS=" + std::to_string(ms);
    };
    if (OpenWithStyles(query_, build, lock, lastStyle_) != 0) {
      SetError(query_.GetLastErrorText(), "CAN'T WRITE LOG");
      return -1;
    }
    if (WriteRecordFields(query_, header, rec, std::min(bytes - i * length, length)) != 0) {
      query_.CancelUpdate();
      return -1;
    }
  }
  return 0;
}

int CLogDbStore::DecodeRow(CLogITDbDataAcc& acc, LogHeader* header, uint8_t* rec, int bytes, int recordLength,
                           int extraCount, int timesOnly) {
  ado::Recordset* rs = acc.recordset();
  if (!rs || !rs->IsOpen() || bytes < 16) return -1;
  ado::Variant v;
  if (acc.GetFieldValue(extraCount, &v) != 0) return -1;
  if (v.vt != ado::VT_DATE) {
    SetError("", "COLUMN #1 IS NOT A DATE");
    return -1;
  }
  PutI32(rec + 4, int32_t(DbDateToSeconds(v.d)));
  double x = 0;
  int16_t ms = 0;
  if (acc.GetFieldValue(extraCount + 1, &v) == 0 && NumberOf(v, &x)) ms = int16_t(int64_t(x));
  memcpy(rec + 8, &ms, 2);
  rec[10] = rec[11] = 0;
  int column = extraCount + (timesOnly ? 2 : 3);
  if (header->significantChange) {
    if (acc.GetFieldValue(column, &v) == 0 && NumberOf(v, &x)) rec[2] = uint8_t(int64_t(x));
    if (acc.GetFieldValue(column + 1, &v) == 0 && NumberOf(v, &x)) PutF32(rec + 12, float(x));
    column += 2;
  }
  if (!timesOnly && recordLength > 16) {
    size_t fields = rs->FieldCount();
    for (int b = 0; b < BlockCount(header); ++b) {
      LogBlockDescriptor& d = header->blocks[b];
      int n = ChannelCount(d);
      bool fits = n > 0 && size_t(d.valueOffset) + 8u * size_t(n) <= size_t(std::min(bytes, recordLength));
      for (int k = 0; k < n; ++k, ++column) {
        if (!fits) continue;
        uint8_t* flag = rec + d.valueOffset + 4 * k;
        uint8_t* value = rec + d.valueOffset + 4 * n + 4 * k;
        double f = 0;
        if (size_t(column) < fields && acc.GetFieldValue(column, &v) == 0 && NumberOf(v, &f) && std::isfinite(f)) {
          PutI32(flag, kLogFlagPresent);
          PutF32(value, float(f));
          d.valueKind = 8;
        } else {
          PutI32(flag, kLogFlagMissing);
          PutF32(value, 0);
        }
      }
    }
  }
  // The leading extra columns go after the record, 8 bytes each.
  for (int i = 0; i < extraCount; ++i) {
    size_t at = size_t(recordLength) + 8u * size_t(i);
    if (at + 8 > size_t(bytes)) break;
    int32_t flag = kLogFlagMissing;
    float value = 0;
    if (acc.GetFieldValue(i, &v) == 0 && !v.IsNull()) {
      flag = kLogFlagPresent;
      if (v.vt == ado::VT_BSTR)
        value = 0;
      else if (NumberOf(v, &x))
        value = float(x);
    }
    PutI32(rec + at, flag);
    PutF32(rec + at + 4, value);
  }
  uint16_t marker = kLogRecordMarker;
  memcpy(rec, &marker, 2);
  return 0;
}

namespace {
// The number of columns of an extra-column text ("A, B, ").
int CountColumns(const char* columns) {
  if (!columns) return 0;
  int n = 0, depth = 0;
  bool item = false;
  for (const char* p = columns; *p; ++p) {
    if (*p == '(') ++depth;
    if (*p == ')') --depth;
    if (*p == ',' && depth == 0) {
      if (item) ++n;
      item = false;
    } else if (*p != ' ') {
      item = true;
    }
  }
  return n + (item ? 1 : 0);
}
}  // namespace

int CLogDbStore::ReadLogExtra(int index, LogHeader* header, uint8_t* rec, int bytes, int extraCount,
                              const char* columns, int top, int descending) {
  std::string extra = columns ? columns : "";
  const char* order = descending ? "DESC" : "ASC";
  // The selection is made again when the call asks for another one.
  if (readPosition_ == -1 || top > 0 || descending != selectionDescending_ || extra != selectionColumns_) {
    readPosition_ = -1;
    bool opened = false;
    if (top > 0 && topAllowed_) {
      std::string sql = "select TOP " + std::to_string(top) + " " + extra + "* from " + tablePrefix_ +
                        "DATA ORDER BY DT " + order + ", MS " + order;
      opened = query_.Open(sql.c_str(), ado::adOpenStatic, ado::adLockReadOnly, ado::adCmdUnknown) == 0;
    }
    if (!opened) {
      std::string sql = "select " + extra + "* from " + tablePrefix_ + "DATA ORDER BY DT " + order + ", MS " + order;
      if (query_.Open(sql.c_str(), ado::adOpenStatic, ado::adLockReadOnly, ado::adCmdUnknown) != 0) {
        SetError(query_.GetLastErrorText(), "CAN'T SELECT FROM DATA");
        return -1;
      }
      if (top > 0) topAllowed_ = 0;
    }
    selectionDescending_ = descending;
    selectionColumns_ = extra;
  }
  if (query_.MoveTo(index) != 0 ||
      DecodeRow(query_, header, rec, bytes, std::min<int>(bytes, int(header->recordLength)), extraCount, 0) != 0) {
    SetError(query_.GetLastErrorText(), "CAN'T MOVE FIRST DATA");
    readPosition_ = -1;
    return -1;
  }
  readPosition_ = top > 0 ? -1 : index;
  return 0;
}

int CLogDbStore::ReadLog(int index, LogHeader* header, void* buffer, int bytes, int, void*, const char* columns,
                         int rowLimit, int descending) {
  if (!header || !buffer || index < 0 || bytes < 16) return -1;
  return ReadLogExtra(index, header, static_cast<uint8_t*>(buffer), bytes, CountColumns(columns), columns, rowLimit,
                      descending);
}

int CLogDbStore::ReadLogs(int first, LogHeader* header, void* buffer, int count, int gap, const char* columns,
                          void*) {
  if (count <= 0 || !header || !buffer) return 0;
  int extra = std::min(std::max(gap, 0), CountColumns(columns));
  size_t stride = header->recordLength + 8u * size_t(std::max(gap, 0));
  uint8_t* out = static_cast<uint8_t*>(buffer);
  int read = 0;
  for (; read < count; ++read)
    if (ReadLogExtra(first + read, header, out + stride * read, int(stride), extra, columns, 0, 0) != 0) break;
  return read;
}

int CLogDbStore::SelectRecords(const TimeStamp* from, const TimeStamp* to, LogHeader* header, void* buffer,
                               int recordLength, int maxCount, int extraCount, const char* extraColumns,
                               int descending, int timesOnly) {
  readPosition_ = -1;
  if (!header || !buffer || maxCount <= 0 || recordLength < 16) return 0;
  const char* order = descending ? "DESC" : "ASC";
  std::string cols = timesOnly ? (header->significantChange ? "DT, MS, LL, LV" : "DT, MS") : "*";
  auto build = [&](int s) {
    std::string w = TimeCondition(from, to, s);
    return "SELECT TOP " + std::to_string(maxCount) + " " + (extraColumns ? extraColumns : "") + cols + " FROM " +
           tablePrefix_ + "DATA" + (w.empty() ? "" : " WHERE " + w) + " ORDER BY DT " + order + ", MS " + order;
  };
  if (OpenWithStyles(query_, build, ado::adLockReadOnly, 2) != 0) return 0;
  topAllowed_ = 1;
  extraCount = std::max(extraCount, 0);
  size_t stride = size_t(recordLength) + 8u * size_t(extraCount);
  uint8_t* out = static_cast<uint8_t*>(buffer);
  int n = 0;
  for (; n < maxCount; ++n) {
    if (query_.MoveTo(n) != 0) break;
    if (DecodeRow(query_, header, out + stride * n, int(stride), recordLength, extraCount, timesOnly) != 0) break;
  }
  return n;
}

int CLogDbStore::GetNoLogs(LogHeader*) {
  readPosition_ = -1;
  std::string sql = "SELECT COUNT(*) FROM " + std::string(tablePrefix_) + "DATA";
  ado::Variant v;
  if (query_.Open(sql.c_str(), ado::adOpenStatic, ado::adLockReadOnly, ado::adCmdUnknown) != 0 ||
      query_.GetFieldValue(0, &v) != 0) {
    SetError(query_.GetLastErrorText(), "CAN'T COUNT DATA ROWS");
    return -1;
  }
  double x = 0;
  return NumberOf(v, &x) ? int(x) : -1;
}

int CLogDbStore::CountValidRecords(LogHeader* header) {
  if (!header || !header->significantChange) return 0;
  readPosition_ = -1;
  std::string sql = "SELECT COUNT(*) FROM " + std::string(tablePrefix_) + "DATA WHERE LL >= 1";
  ado::Variant v;
  if (query_.Open(sql.c_str(), ado::adOpenStatic, ado::adLockReadOnly, ado::adCmdUnknown) != 0 ||
      query_.GetFieldValue(0, &v) != 0) {
    SetError(query_.GetLastErrorText(), "CAN'T COUNT DATA ROWS");
    return -1;
  }
  double x = 0;
  return NumberOf(v, &x) ? int(x) : -1;
}

// ---- text ---------------------------------------------------------------------

namespace {
enum Section { kHeader, kText, kPredefined, kPositions, kTargets, kUnknown };
Section SectionOf(const char* name) {
  if (!name) return kUnknown;
  if (!strcasecmp(name, "HEADER")) return kHeader;
  if (!strcasecmp(name, "TEXT")) return kText;
  if (!strcasecmp(name, "PREDEFINED")) return kPredefined;
  if (!strcasecmp(name, "POSITIONS")) return kPositions;
  if (!strcasecmp(name, "TARGETS")) return kTargets;
  return kUnknown;
}

// Collects lines into a caller's buffer (never past its size) or measures.
struct TextOut {
  char* buffer;
  int room;   // characters the buffer holds, NUL included
  int used = 0;
  int lines = 0;
  bool full = false;
  void Add(const std::string& line) {
    if (buffer) {
      if (full || used + int(line.size()) + 1 > room) {
        full = true;
        return;
      }
      memcpy(buffer + used, line.data(), line.size());
      used += int(line.size());
      buffer[used] = '\0';
    } else {
      used += int(line.size());
    }
    ++lines;
  }
};

std::string Stamp(int32_t seconds) {
  const struct tm* f = Time_GmTime(seconds);
  char buf[32];
  snprintf(buf, sizeof buf, "%02d/%02d/%02d %02d:%02d:%02d ", f ? f->tm_year % 100 : 0, f ? f->tm_mon + 1 : 0,
           f ? f->tm_mday : 0, f ? f->tm_hour : 0, f ? f->tm_min : 0, f ? f->tm_sec : 0);
  return buf;
}
}  // namespace

int CLogDbStore::ReadSection(int which, char* buffer, int* size, int32_t from, int32_t to) {
  readPosition_ = -1;
  if (!size) return -1;
  if (buffer && *size > 0) buffer[0] = '\0';
  TextOut out{buffer, buffer ? *size : 0};
  if (which == kHeader) {
    std::string sql = "select sHeader from LOGGERS" + LoggerWhere();
    ado::Variant v;
    if (query_.Open(sql.c_str(), ado::adOpenStatic, ado::adLockReadOnly, ado::adCmdUnknown) != 0 ||
        query_.GetFieldValue(0, &v) != 0) {
      SetError(query_.GetLastErrorText(), "CAN'T FIND LOGGER NAME AND SEQ HDR");
      query_.Close();
      return -1;
    }
    std::string text = TextOf(v);
    if (buffer) {
      if (text.empty() || *size <= 0) return 0;
      std::string cut = text.substr(0, size_t(*size - 1));
      memcpy(buffer, cut.c_str(), cut.size() + 1);
      return CountTextLines(cut.c_str());
    }
    *size = text.empty() ? 0 : int(text.size()) + 1;
    return CountTextLines(text.c_str());
  }
  if (which == kPredefined) {
    std::string sql = "SELECT TX FROM " + std::string(tablePrefix_) + "TEXT WHERE TX IS NOT NULL";
    if (query_.Open(sql.c_str(), ado::adOpenStatic, ado::adLockReadOnly, ado::adCmdUnknown) != 0) return -1;
    short eof = 0;
    if (query_.IsEOF(&eof) != 0) eof = -1;
    while (!eof) {
      ado::Variant v;
      if (query_.GetFieldValue(0, &v) != 0) {
        SetError(query_.GetLastErrorText(), "CAN'T FIND TEXT/TX");
        return -1;
      }
      std::string t = TrimRight(TextOf(v));
      if (!t.empty()) out.Add(t + "\r\n");
      if (query_.MoveNext() != 0 || query_.IsEOF(&eof) != 0) break;
    }
  } else {
    // TEXT or POSITIONS: the rows that carry one, in time order.
    bool positions = which == kPositions;
    const char* column = positions ? "TP" : "TX";
    TimeStamp f{from, 0, 0}, t{to, 0, 0};
    auto build = [&](int s) {
      std::string w = std::string(column) + " IS NOT NULL";
      std::string c = TimeCondition(from ? &f : nullptr, to ? &t : nullptr, s);
      if (!c.empty()) w += " AND " + c;
      return "SELECT DT, " + std::string(column) + " FROM " + tablePrefix_ + "DATA WHERE " + w + " ORDER BY DT ASC";
    };
    if (OpenWithStyles(query_, build, ado::adLockReadOnly, lastStyle_) != 0) return -1;
    short eof = 0;
    if (query_.IsEOF(&eof) != 0) eof = -1;
    while (!eof) {
      ado::Variant dt, value;
      if (query_.GetFieldValue(0, &dt) != 0) {
        SetError(query_.GetLastErrorText(), "CAN'T FIND TS");
        return -1;
      }
      if (query_.GetFieldValue(1, &value) != 0) {
        SetError(query_.GetLastErrorText(), "CAN'T FIND TX");
        return -1;
      }
      if (dt.vt == ado::VT_DATE && !value.IsNull()) {
        int32_t secs = int32_t(DbDateToSeconds(dt.d));
        if (positions) {
          double x;
          if (NumberOf(value, &x)) {
            char buf[64];
            snprintf(buf, sizeof buf, "%f\r\n", float(x));
            out.Add(Stamp(secs) + buf);
          }
        } else {
          std::string text = TrimRight(TextOf(value).substr(0, kTextColumn));
          if (!text.empty()) out.Add(Stamp(secs) + text + "\r\n");
        }
      }
      if (query_.MoveNext() != 0 || query_.IsEOF(&eof) != 0) break;
    }
  }
  if (!buffer) *size = out.used ? out.used + 1 : 0;
  return out.lines;
}

int CLogDbStore::ReadText(const char* section, char* buffer, int* size, int32_t from, int32_t to) {
  Section s = SectionOf(section);
  if (s == kTargets) {
    if (buffer && size && *size > 0) buffer[0] = '\0';
    if (!buffer && size) *size = 0;
    return 0;
  }
  if (s == kUnknown) return -1;
  return ReadSection(s, buffer, size, from, to);
}

int CLogDbStore::ReadTextW(const char*, char16_t* buffer, int* size, int32_t, int32_t) {
  if (buffer && size && *size > 0) buffer[0] = 0;
  return 0;
}

int CLogDbStore::ReadTextLines(const char* section, char** lines, int* lineCount, char* buffer, int* size,
                               int32_t from, int32_t to) {
  if (!lineCount || !size) return -1;
  if (!lines || !buffer) {
    int r = ReadText(section, nullptr, size, from, to);
    *lineCount = r < 0 ? 0 : r;
    return r < 0 ? -1 : 0;
  }
  int r = ReadText(section, buffer, size, from, to);
  if (r < 0) return -1;
  if (*lineCount == 0) {
    *lineCount = 1;
    return 0;
  }
  int filled = 0;
  char* p = buffer;
  while (filled < *lineCount && *p && (p - buffer) + 1 < *size) {
    lines[filled++] = p;
    char* end = strstr(p, "\r\n");
    if (!end) break;
    *end = '\0';
    p = end + 2;
  }
  *lineCount = filled;
  return 0;
}

int CLogDbStore::ReadTextLinesW(const char* section, char16_t** lines, int* lineCount, char16_t* buffer, int* size,
                                int32_t from, int32_t to) {
  // Over ReadTextW, which gives no text.
  if (!lineCount || !size) return -1;
  int r = ReadTextW(section, lines && buffer ? buffer : nullptr, size, from, to);
  if (r < 0) return -1;
  if (lines && buffer) {
    if (*lineCount == 0) *lineCount = 1;
    else *lineCount = 0;
  } else {
    *lineCount = 0;
  }
  return 0;
}

int CLogDbStore::TouchTextTime() {
  std::string sql = "select dTextTime from LOGGERS" + LoggerWhere();
  TimeStamp now;
  Time_NowLocal(&now);
  ado::Variant v;
  if (query_.OpenUpdatable(sql.c_str()) != 0 || query_.GetFieldValue(0, &v) != 0 ||
      query_.SetFieldValue(0, ado::Variant::Date(SecondsToDbDate(now.seconds))) != 0 || query_.Update() != 0) {
    query_.CancelUpdate();
    SetError(query_.GetLastErrorText(), "CAN'T UPDATE LOGGERS TABLE");
    return -1;
  }
  return 0;
}

int CLogDbStore::WriteRowText(int32_t seconds, const char* column, const ado::Variant& value, bool tarviException) {
  readPosition_ = -1;
  auto build = [&](int s) {
    return "SELECT " + std::string(column) + " FROM " + tablePrefix_ + "DATA WHERE DT = " + DateLiteral(seconds, s);
  };
  if (OpenWithStyles(query_, build, ado::adLockOptimistic, lastStyle_) != 0) {
    SetError(query_.GetLastErrorText(), "CAN'T WRITE LOG");
    return -1;
  }
  if (query_.SetFieldValue(0, value) != 0) {
    if (tarviException && strcasecmp(Prod_GetProductName(), "Tarvi") == 0) return 0;
    // No sample at that second: nothing to put the text on.
    SetError(query_.GetLastErrorText(), "CAN'T UPDATE TEXT TABLE");
    return -1;
  }
  if (query_.Update() != 0) {
    query_.CancelUpdate();
    SetError(query_.GetLastErrorText(), "CAN'T UPDATE TEXT TABLE");
    return -1;
  }
  return TouchTextTime();
}

int CLogDbStore::WriteText(int32_t seconds, const char* text, const char*, const char* section) {
  if (section && strcasecmp(section, "TEXT") != 0) return -1;
  std::string t = text ? text : "";
  if (t.size() > size_t(kTextColumn)) t.resize(kTextColumn);  // TX holds 255 characters
  return WriteRowText(seconds, "TX", ado::Variant::Text(t), true);
}

int CLogDbStore::WriteTextW(int32_t seconds, const char16_t* text, const char16_t*, const char* section) {
  if (section && strcasecmp(section, "TEXT") != 0) return -1;
  std::string t = Utf16ToText(text);
  if (t.size() > size_t(kTextColumn)) t.resize(kTextColumn);
  return WriteRowText(seconds, "TX", ado::Variant::Text(t), false);
}

int CLogDbStore::WriteStampedText(const LineStamp& stamp, const char* text, const char* key, const char* section) {
  return WriteText(stamp.seconds, text, key, section);
}

int CLogDbStore::WriteStampedTextW(const LineStamp& stamp, const char16_t* text, const char16_t* key,
                                   const char* section) {
  return WriteTextW(stamp.seconds, text, key, section);
}

int CLogDbStore::WritePosition(int32_t seconds, int valid, float position) {
  return WriteRowText(seconds, "TP", valid ? ado::Variant::Real(position) : ado::Variant::Null(), false);
}

int CLogDbStore::WriteHeaderText(const char* text) {
  readPosition_ = -1;
  std::string t = text ? text : "";
  if (t.size() > 255) t.resize(255);  // sHeader is char(255) on every engine
  std::string sql = "select sHeader, dTextTime  from LOGGERS" + LoggerWhere();
  TimeStamp now;
  Time_NowLocal(&now);
  ado::Variant v;
  if (query_.OpenUpdatable(sql.c_str()) != 0 || query_.GetFieldValue(0, &v) != 0 ||
      query_.SetFieldValue(0, ado::Variant::Text(t)) != 0 ||
      query_.SetFieldValue(1, ado::Variant::Date(SecondsToDbDate(now.seconds))) != 0 || query_.Update() != 0) {
    query_.CancelUpdate();
    SetError(query_.GetLastErrorText(), "CAN'T UPDATE LOGGERS TABLE");
    return -1;
  }
  return 0;
}

int CLogDbStore::WriteHeaderTextW(const char16_t* text) {
  std::string t = Utf16ToText(text);
  return WriteHeaderText(t.c_str());
}

int CLogDbStore::GetLastTextTime(int32_t* seconds) {
  readPosition_ = -1;
  std::string sql = "select dTextTime from LOGGERS" + LoggerWhere();
  ado::Variant v;
  if (query_.Open(sql.c_str(), ado::adOpenStatic, ado::adLockReadOnly, ado::adCmdUnknown) != 0 ||
      query_.GetFieldValue(0, &v) != 0) {
    SetError(query_.GetLastErrorText(), "CAN'T FIND LOGGER NAME AND SEQ HDR");
    query_.Close();
    return -1;
  }
  if (seconds) *seconds = v.vt == ado::VT_DATE ? int32_t(DbDateToSeconds(v.d)) : 0;
  return 0;
}

// ---- a new run -------------------------------------------------------------------

int CLogDbStore::CreateInDatabase(const char* connection, const char* tablePrefix, const char* loggerName,
                                  int32_t sequence, LogHeader* header, const char* text, const char* channelServer,
                                  ChannelConfig** channels) {
  digitalText_ = LogDb_DigitalColumnType(nullptr) ? 1 : 0;
  access_ = 0xC0000000u;
  Copy(loggerName_, sizeof loggerName_, loggerName);
  Copy(tablePrefix_, sizeof tablePrefix_, tablePrefix);
  sequence_ = sequence;
  if (!connection || !header) return -1;
  SetConnectionString(connection);
  firstStyle_ = 0;
  lastStyle_ = 2;
  if (query_.Connect(connection, "", -1) != 0) {
    SetError(query_.GetLastErrorText(), "CAN'T OPEN DATABASE");
    return -1;
  }
  SetConnectionString(connection);
  // The run's rows go in together: a failure leaves no LOGGERS row that
  // names half a run.
  bool transaction = query_.BeginTrans() == 0;
  auto fail = [&] {
    if (transaction) query_.RollbackTrans();
    query_.Close();
    return -1;
  };
  std::string headerText, predefined;
  bool hasHeader = false, hasPredefined = false;
  if (text) {
    const char* h = strstr(text, "[HEADER]\r\n");
    if (h) {
      hasHeader = true;
      h += 10;
      const char* p = strstr(h, "\r\n[PREDEFINED]");
      headerText = p ? std::string(h, size_t(p - h)) : std::string(h);
      if (p) {
        hasPredefined = true;
        predefined = p + 14;
        // The line end of the section heading is not a line of its own.
        if (predefined.rfind("\r\n", 0) == 0) predefined.erase(0, 2);
      }
    }
  }
  // sHeader is char(255) on every engine (not only Jet).
  if (headerText.size() > 255) headerText.resize(255);
  if (InsertLoggerRow(header, hasHeader ? headerText.c_str() : nullptr) != 0) return fail();
  if (hasPredefined && InsertPredefinedText(predefined.c_str()) != 0) return fail();
  if (InsertChannelRows(header, channelServer, channels) != 0) return fail();
  if (transaction && query_.CommitTrans() != 0) {
    SetError(query_.GetLastErrorText(), "CAN'T UPDATE CHANNELS TABLE");
    return fail();
  }
  query_.CloseRecordset();
  if (OpenForAppend(header) != 0) {
    query_.Close();
    return -1;
  }
  return 0;
}

// The fields of the row being added, in column order; a field that is
// refused cancels the row.
int CLogDbStore::SetRowValues(const ado::Variant* values, int count, const char* summary) {
  for (int i = 0; i < count; ++i) {
    if (query_.SetFieldValue(i, values[i]) != 0) {
      query_.CancelUpdate();
      SetError(query_.GetLastErrorText(), summary);
      return -1;
    }
  }
  return 0;
}

int CLogDbStore::InsertLoggerRow(const LogHeader* h, const char* headerText) {
  long lock = access_ & kWrite ? ado::adLockOptimistic : ado::adLockReadOnly;
  if (query_.Open("LOGGERS", ado::adOpenStatic, lock, ado::adCmdUnknown) != 0) {
    SetError(query_.GetLastErrorText(), "CAN'T FIND LOGGERS TABLE");
    return -1;
  }
  if (query_.AddNew() != 0) {
    SetError(query_.GetLastErrorText(), "CAN'T ADD TO LOGGERS TABLE");
    return -1;
  }
  ado::Variant start = ado::Variant::Date(SecondsToDbDate(h->start.seconds));
  int32_t zone;
  memcpy(&zone, h->extension + 84, 4);
  bool sig = h->significantChange != 0;
  ado::Variant null = ado::Variant::Null();
  const ado::Variant values[17] = {
      ado::Variant::Text(loggerName_),
      ado::Variant::Int(sequence_),
      start,
      h->stop.seconds ? ado::Variant::Date(SecondsToDbDate(h->stop.seconds)) : null,
      ado::Variant::Int(0),
      ado::Variant::Text(tablePrefix_),
      headerText ? ado::Variant::Text(headerText) : null,
      ado::Variant::Int(h->tagColumns),
      ado::Variant::Int(0),
      ado::Variant::Int(0),
      ado::Variant::Int(zone),
      ado::Variant::Int(h->significantChange),
      sig ? ado::Variant::Text(cdxtext::FixedText(h->triggerPrefix, 2)) : null,
      sig ? ado::Variant::Int(h->triggerChannel) : null,
      sig ? ado::Variant::Text(cdxtext::FixedText(h->lagPrefix, 2)) : null,
      sig ? ado::Variant::Int(h->lagChannel) : null,
      start,
  };
  if (SetRowValues(values, 17, "CAN'T UPDATE LOGGERS TABLE") != 0) return -1;
  if (query_.Update() != 0) {
    query_.CancelUpdate();
    SetError(query_.GetLastErrorText(), "CAN'T UPDATE LOGGERS TABLE");
    return -1;
  }
  return 0;
}

int CLogDbStore::InsertPredefinedText(const char* text) {
  std::string table = std::string(tablePrefix_) + "TEXT";
  long lock = access_ & kWrite ? ado::adLockOptimistic : ado::adLockReadOnly;
  if (query_.Open(table.c_str(), ado::adOpenStatic, lock, ado::adCmdUnknown) != 0) {
    SetError(query_.GetLastErrorText(), "CAN'T OPEN TEXT TABLE");
    return -1;
  }
  const char* p = text;
  while (const char* end = strstr(p, "\r\n")) {
    std::string line(p, size_t(end - p));
    p = end + 2;
    if (line.empty()) continue;
    if (line.size() > size_t(kTextColumn)) line.resize(kTextColumn);
    if (query_.AddNew() != 0) {
      SetError(query_.GetLastErrorText(), "CAN'T ADD TO TEXT TABLE");
      return -1;
    }
    if (query_.SetFieldValue(0, ado::Variant::Text(line)) != 0 || query_.Update() != 0) {
      query_.CancelUpdate();
      SetError(query_.GetLastErrorText(), "CAN'T UPDATE TEXT TABLE");
      return -1;
    }
  }
  return 0;
}

namespace {
constexpr int kChannelRowFields = 14;

// The CHANNELS row of one channel of block `block`, in column order: its
// place and names, then its configuration. A disabled channel keeps only
// its place and names, and an enabled one only the fields of its kind
// (units and range for an analog one, state texts for a digital one).
std::array<ado::Variant, kChannelRowFields> ChannelRow(int block, const LogBlockDescriptor& d, int channel,
                                                        const ChannelConfig& c, const std::string& source,
                                                        const std::string& column) {
  char prefix[3] = {d.prefix[0], d.prefix[1], 0};
  bool enabled = Chan_TestFlag(c, kAiEnable);
  bool digital = Chan_IsDigital(c.Type);
  ado::Variant null = ado::Variant::Null();
  return {
      ado::Variant::Int(block),
      ado::Variant::Text(cdxtext::FixedText(prefix, 2)),
      ado::Variant::Int(channel),
      ado::Variant::Text(source),
      ado::Variant::Text(Chan_GetTag(c)),
      ado::Variant::Text(Chan_GetDescription(c)),
      enabled ? ado::Variant::Int(c.Type) : null,
      enabled && !digital ? ado::Variant::Text(Chan_GetUnits(c)) : null,
      enabled && !digital ? ado::Variant::Real(c.analog.MinimumUnits) : null,
      enabled && !digital ? ado::Variant::Real(c.analog.MaximumUnits) : null,
      enabled && digital ? ado::Variant::Text(cdxtext::FixedText(c.digital.LowStateText, kChannelTextLen)) : null,
      enabled && digital ? ado::Variant::Text(cdxtext::FixedText(c.digital.HighStateText, kChannelTextLen)) : null,
      ado::Variant::Text(column),
      ado::Variant::Int(d.lagFlag ? 1 : 0),
  };
}
}  // namespace

int CLogDbStore::InsertChannelRows(const LogHeader* h, const char* channelServer, ChannelConfig** channels) {
  std::string table = std::string(tablePrefix_) + "CHANNELS";
  long lock = access_ & kWrite ? ado::adLockOptimistic : ado::adLockReadOnly;
  if (query_.Open(table.c_str(), ado::adOpenStatic, lock, ado::adCmdUnknown) != 0) {
    SetError(query_.GetLastErrorText(), "CAN'T OPEN CHANNELS TABLE");
    return -1;
  }
  for (int b = 0; b < BlockCount(h); ++b) {
    const LogBlockDescriptor& d = h->blocks[b];
    int n = ChannelCount(d);
    if (n == 0) continue;
    // Another computer's channels have their records asked of its central
    // server only when the run keeps tag columns; otherwise they stay
    // cleared.
    std::vector<ChannelConfig> records;
    int got = Log_BlockChannelConfigs(d, channels ? channels[b] : nullptr, channelServer, h->tagColumns != 0, &records);
    if (got == -1) {
      SetError("", "CAN'T FIND CHANNEL CONFIG");
      return -1;
    }
    if (got == -2) {
      SetError("CAN'T GET CHANNEL CONFIGURATION", "CAN'T GET CHANNEL CONFIGS");
      return -1;
    }
    std::string source = TrimRight(cdxtext::FixedText(d.sourceName, 24));
    for (int k = 0; k < n; ++k) {
      const ChannelConfig& c = records[k];
      int channel = d.firstChannel + k;
      std::string column = LogDb_ChannelColumnName(d, channel, &c, h->tagColumns != 0);
      const std::array<ado::Variant, kChannelRowFields> values = ChannelRow(b, d, channel, c, source, column);
      if (query_.AddNew() != 0) {
        SetError(query_.GetLastErrorText(), "CAN'T ADD TO CHANNELS TABLE");
        return -1;
      }
      if (SetRowValues(values.data(), kChannelRowFields, "CAN'T ADD TO CHANNELS TABLE") != 0) return -1;
    }
  }
  if (query_.Update() != 0) {
    query_.CancelUpdate();
    SetError(query_.GetLastErrorText(), "CAN'T UPDATE CHANNELS TABLE");
    return -1;
  }
  return 0;
}
