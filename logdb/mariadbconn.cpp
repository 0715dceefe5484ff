// MariaDB locations, connections and statements of the MariaDB log kind.
// g++ 12 at -O2 warns falsely (-Wrestrict) on string concatenations.
#pragma GCC diagnostic ignored "-Wrestrict"
#include "logdb/mariadbconn.h"

#include <strings.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "base/memory/typedmem.h"
#include "base/stream/base64.h"
#include "cdxlib/client/srvclient.h"
#include "cdxlib/shm/datamodule.h"
#include "cdxlib/shm/drvtables.h"
#include "cdxlib/sys/registry.h"
#include "cdxlib/sys/textutil.h"
#include "cdxlib/sys/timestamp.h"
#include "logdata/logstore.h"
#include "logdata/chanrequest.h"

namespace mdb {

namespace {

constexpr const char* kPasswordTag = "mariadb_password";

// Where the value of `key` begins (at the start of the text or of a field,
// blanks before the key allowed), or npos.
size_t FindKey(const std::string& text, const char* key) {
  size_t kl = strlen(key);
  for (size_t at = 0; at + kl <= text.size(); ++at) {
    if (strncasecmp(text.c_str() + at, key, kl) != 0) continue;
    size_t b = at;
    while (b > 0 && text[b - 1] == ' ') --b;
    if (b == 0 || text[b - 1] == ';') return at + kl;
  }
  return std::string::npos;
}

bool DecodeBase64(const std::string& in, std::string* out) {
  out->clear();
  if (in.empty()) return true;
  Filter* f = Base64_CreateDecoder(nullptr, true);
  if (!f) return false;
  void* bytes = nullptr;
  int n = Filter_Process(f, in.data(), in.size(), true, &bytes, kPasswordTag);
  Filter_Destroy(&f);
  if (n < 0) return false;
  out->assign(static_cast<const char*>(bytes), size_t(n));
  TypedMem_Free(kPasswordTag, bytes);
  return true;
}

// The first of several keys that is present.
bool TakeAny(const std::string& text, std::initializer_list<const char*> keys, size_t limit, std::string* value) {
  for (const char* k : keys)
    if (TakeField(text, k, limit, value)) return true;
  return false;
}

}  // namespace

bool TakeField(const std::string& location, const char* key, size_t limit, std::string* value) {
  size_t at = FindKey(location, key);
  if (at == std::string::npos) return false;
  size_t end = location.find(';', at);
  if (end == std::string::npos) end = location.size();
  if (end - at > limit) return false;
  *value = location.substr(at, end - at);
  return true;
}

const char* ParseLocation(const char* location, Location* out) {
  *out = Location{};
  std::string text = location ? location : "";
  // "PROVIDER=MYSQL": the fields of the logger programs, password in base64;
  // any other provider keyword of this kind: the usual connection keys.
  bool mysqlForm = FindKey(text, "PROVIDER=") != std::string::npos &&
                   strncasecmp(text.c_str() + FindKey(text, "PROVIDER="), "MYSQL", 5) == 0;
  std::string port, password;
  if (mysqlForm) {
    TakeField(text, "HOST=", 256, &out->host);
    if (!TakeField(text, "USER=", 100, &out->user)) return "NO USER IN CONNECTION STRING";
    if (!TakeField(text, "DB=", 100, &out->database)) return "NO DB IN CONNECTION STRING";
    TakeField(text, "PORT=", 10, &port);
    if (TakeField(text, "PASSWORD=", 100, &password) && !DecodeBase64(password, &out->password))
      return "BAD PASSWORD ENCODING";
  } else {
    TakeAny(text, {"Server=", "Data Source=", "Host="}, 256, &out->host);
    TakeField(text, "Socket=", 1024, &out->socket);
    if (!TakeAny(text, {"User ID=", "uid=", "User="}, 100, &out->user)) return "NO USER IN CONNECTION STRING";
    if (!TakeAny(text, {"Database=", "Initial Catalog=", "DB="}, 100, &out->database))
      return "NO DB IN CONNECTION STRING";
    TakeField(text, "Port=", 10, &port);
    TakeAny(text, {"Password=", "pwd="}, 100, &out->password);
  }
  out->port = unsigned(atoi(port.c_str()));
  return nullptr;
}

void LibraryInit() {
  static std::once_flag once;
  std::call_once(once, [] { mysql_library_init(0, nullptr, nullptr); });
}

MYSQL* Connect(const Location& loc, std::string* error) {
  LibraryInit();
  MYSQL* m = mysql_init(nullptr);
  if (!m) {
    *error = "out of memory";
    return nullptr;
  }
  mysql_options(m, MYSQL_SET_CHARSET_NAME, "latin1");
  unsigned timeout = 30;
  mysql_options(m, MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
  const char* host = loc.host.empty() ? "localhost" : loc.host.c_str();
  if (!mysql_real_connect(m, host, loc.user.c_str(), loc.password.c_str(), loc.database.c_str(), loc.port,
                          loc.socket.empty() ? nullptr : loc.socket.c_str(), 0)) {
    *error = mysql_error(m);
    mysql_close(m);
    return nullptr;
  }
  return m;
}

std::string Escape(MYSQL* m, const std::string& text) {
  std::string out(text.size() * 2 + 1, '\0');
  unsigned long n = m ? mysql_real_escape_string(m, out.data(), text.data(), (unsigned long)text.size()) : 0;
  out.resize(n);
  return out;
}

void ToMysqlTime(int32_t seconds, MYSQL_TIME* out) {
  memset(out, 0, sizeof *out);
  const struct tm* tm = Time_GmTime(seconds);
  out->year = unsigned(tm->tm_year + 1900);
  out->month = unsigned(tm->tm_mon + 1);
  out->day = unsigned(tm->tm_mday);
  out->hour = unsigned(tm->tm_hour);
  out->minute = unsigned(tm->tm_min);
  out->second = unsigned(tm->tm_sec);
  out->time_type = MYSQL_TIMESTAMP_DATETIME;
}

int32_t FromMysqlTime(const MYSQL_TIME& t) {
  struct tm tm {};
  tm.tm_year = int(t.year) - 1900;
  tm.tm_mon = int(t.month) - 1;
  tm.tm_mday = int(t.day);
  tm.tm_hour = int(t.hour);
  tm.tm_min = int(t.minute);
  tm.tm_sec = int(t.second);
  return int32_t(Time_MakeSeconds(&tm));
}

bool ParseDateTime(const char* text, int32_t* seconds) {
  if (!text) return false;
  MYSQL_TIME t{};
  int n = sscanf(text, "%4u-%2u-%2u %2u:%2u:%2u", &t.year, &t.month, &t.day, &t.hour, &t.minute, &t.second);
  if (n != 6 && n != 3) return false;
  if (t.month < 1 || t.day < 1) return false;
  *seconds = FromMysqlTime(t);
  return true;
}

unsigned Execute(MYSQL* m, const std::string& sql) {
  if (!m) return CR_SERVER_GONE_ERROR;
  if (mysql_real_query(m, sql.data(), (unsigned long)sql.size()) != 0) return mysql_errno(m);
  if (MYSQL_RES* r = mysql_store_result(m)) mysql_free_result(r);
  return 0;
}

unsigned Result::Query(MYSQL* m, const std::string& sql) {
  Free();
  if (!m) return CR_SERVER_GONE_ERROR;
  if (mysql_real_query(m, sql.data(), (unsigned long)sql.size()) != 0) return mysql_errno(m);
  res_ = mysql_store_result(m);
  if (!res_ && mysql_field_count(m) != 0) return mysql_errno(m) ? mysql_errno(m) : CR_UNKNOWN_ERROR;
  return 0;
}

MYSQL_ROW Result::Next() { return res_ ? mysql_fetch_row(res_) : nullptr; }

bool Statement::Prepare(MYSQL* m, const std::string& sql, std::string* error) {
  Close();
  stmt_ = m ? mysql_stmt_init(m) : nullptr;
  if (!stmt_) {
    *error = m ? mysql_error(m) : "no connection";
    return false;
  }
  if (mysql_stmt_prepare(stmt_, sql.data(), (unsigned long)sql.size()) != 0) {
    *error = mysql_stmt_error(stmt_);
    mysql_stmt_close(stmt_);
    stmt_ = nullptr;
    return false;
  }
  params_.assign(mysql_stmt_param_count(stmt_), MYSQL_BIND{});
  for (size_t i = 0; i < params_.size(); ++i) SetNull(i);
  return true;
}

bool Statement::Close() {
  bool ok = true;
  if (stmt_) ok = mysql_stmt_close(stmt_) == 0;
  stmt_ = nullptr;
  params_.clear();
  return ok;
}

void Statement::SetNull(size_t i) {
  MYSQL_BIND& b = params_[i];
  b = MYSQL_BIND{};
  b.buffer_type = MYSQL_TYPE_NULL;
  b.is_null = &isNull_;
}

void Statement::SetInt(size_t i, const int32_t* value) {
  MYSQL_BIND& b = params_[i];
  b = MYSQL_BIND{};
  b.buffer_type = MYSQL_TYPE_LONG;
  b.buffer = const_cast<int32_t*>(value);
}

void Statement::SetFloat(size_t i, const float* value) {
  MYSQL_BIND& b = params_[i];
  b = MYSQL_BIND{};
  b.buffer_type = MYSQL_TYPE_FLOAT;
  b.buffer = const_cast<float*>(value);
}

void Statement::SetDouble(size_t i, const double* value) {
  MYSQL_BIND& b = params_[i];
  b = MYSQL_BIND{};
  b.buffer_type = MYSQL_TYPE_DOUBLE;
  b.buffer = const_cast<double*>(value);
}

void Statement::SetTime(size_t i, const MYSQL_TIME* value) {
  MYSQL_BIND& b = params_[i];
  b = MYSQL_BIND{};
  b.buffer_type = MYSQL_TYPE_DATETIME;
  b.buffer = const_cast<MYSQL_TIME*>(value);
}

void Statement::SetText(size_t i, const char* text, unsigned long* length) {
  MYSQL_BIND& b = params_[i];
  b = MYSQL_BIND{};
  b.buffer_type = MYSQL_TYPE_STRING;
  b.buffer = const_cast<char*>(text);
  b.buffer_length = *length;
  b.length = length;
}

int Statement::Execute(std::string* error) {
  if (!stmt_) {
    *error = "no statement";
    return 2;
  }
  if (!params_.empty() && mysql_stmt_bind_param(stmt_, params_.data()) != 0) {
    *error = mysql_stmt_error(stmt_);
    return 1;
  }
  if (mysql_stmt_execute(stmt_) != 0) {
    *error = mysql_stmt_error(stmt_);
    return 2;
  }
  return 0;
}

std::string DigitalColumnType(bool* asText) {
  char value[21] = {};
  uint32_t type = 0, size = 20;
  *asText = false;
  if (Reg_AccessValue(plat::HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillomatic\\Coordinatrix", plat::KEY_QUERY_VALUE,
                      "DatabaseDigitalText", &type, value, &size) != 0)
    return "INTEGER";
  value[size < 20 ? size : 20] = '\0';
  std::string v = value;
  while (!v.empty() && (v.back() == ' ' || v.back() == '\0')) v.pop_back();
  if (strcasecmp(v.c_str(), "On") == 0) {
    *asText = true;
    return "char(32)";
  }
  if (v.empty() || strcasecmp(v.c_str(), "Off") == 0) return "INTEGER";
  // A type of its own: only what a column type can be made of goes into the
  // statement; anything else is refused by the server as no type at all.
  for (char& ch : v)
    if (!isalnum(static_cast<unsigned char>(ch)) && ch != '(' && ch != ')' && ch != ',' && ch != ' ') ch = '_';
  *asText = strncasecmp(v.c_str(), "char", 4) == 0 || strncasecmp(v.c_str(), "varchar", 7) == 0 ||
            strncasecmp(v.c_str(), "text", 4) == 0;
  return v;
}

void MakeSqlName(std::string* name) {
  SanitizeSqlName(name->data());
  for (char& ch : *name)
    if (!isalnum(static_cast<unsigned char>(ch)) && ch != '_' && ch != '$' && static_cast<unsigned char>(ch) < 0x80)
      ch = '_';
}

std::string ChannelColumnName(const LogHeader& h, int block, int channel, const ChannelConfig& c) {
  char name[64];
  const LogBlockDescriptor& d = h.blocks[block];
  snprintf(name, sizeof name, "%.*s%d", int(strnlen(d.prefix, 2)), d.prefix, channel);
  if (!h.tagColumns) return name;
  char raw[kTagMax + 1];
  CopyText(raw, sizeof raw, Chan_GetTag(c));
  std::string tag = raw;
  MakeSqlName(&tag);
  if (IsReservedColumnName(tag.c_str())) return name;
  // The server compares column names without case: "dt" is DT.
  for (const char* own : {"END", "DT", "MS", "TX", "TP", "LL", "LV"})
    if (strcasecmp(tag.c_str(), own) == 0) return name;
  return tag;
}

int GatherChannels(const LogHeader& h, ChannelConfig** given, const char* server,
                   std::vector<std::vector<ChannelConfig>>* out) {
  int blocks = h.blockCount > kLogMaxBlocks ? kLogMaxBlocks : h.blockCount;
  out->assign(size_t(blocks), {});
  for (int b = 0; b < blocks; ++b) {
    const LogBlockDescriptor& d = h.blocks[b];
    std::vector<ChannelConfig>& recs = (*out)[size_t(b)];
    if (LogBlockChannels(d) == 0) continue;
    // Another computer's channels have their records asked of its central
    // server only when the run keeps tag columns; otherwise each takes the
    // kind of its block.
    int got = Log_BlockChannelConfigs(d, given ? given[b] : nullptr, server, h.tagColumns != 0, &recs);
    if (got < 0) return got;
    if (got == 0)
      for (ChannelConfig& c : recs) c.Type = d.valueKind == kLogKindDigital ? kKindDI : kKindAI;
  }
  return 0;
}

void CopyText(char* dest, size_t size, const char* text) { cdxtext::Copy(dest, size, text); }

}  // namespace mdb
