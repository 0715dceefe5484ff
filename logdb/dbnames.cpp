// SQL names and quoted texts of the database kinds.
#include "logdb/dbnames.h"

#include <strings.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <vector>

#include "logdata/logstore.h"
#include "cdxlib/sys/textutil.h"
#include "logdb/ado/ado.h"

void LogDb_MakeSqlName(std::string* name) {
  std::vector<char> buf(name->begin(), name->end());
  buf.push_back('\0');
  SanitizeSqlName(buf.data());
  *name = buf.data();
  for (char& c : *name)
    if (!(std::isalnum((unsigned char)c) || c == '_' || (unsigned char)c >= 0x80)) c = '_';
}

std::string LogDb_QuoteText(const char* text, bool backslashEscapes) {
  std::string out;
  for (const char* p = text ? text : ""; *p; ++p) {
    if (*p == '\'' || (backslashEscapes && *p == '\\')) out += *p;
    out += *p;
  }
  return out;
}

bool LogDb_BackslashEscapes(const char* connection) {
  ado::ConnectionString cs(connection ? connection : "");
  const std::string provider = cdxtext::Upper(cs.Get({"Provider"}));
  if (provider == "MARIADB" || provider == "MYSQL") return true;
  if (provider != "MSDASQL") return false;
  std::string driver = cs.Get({"Driver"});
  for (char& c : driver) c = char(std::toupper((unsigned char)c));
  return driver.find("MARIADB") != std::string::npos || driver.find("MYSQL") != std::string::npos;
}

std::string LogDb_ChannelColumnName(const LogBlockDescriptor& block, int channel, const ChannelConfig* config,
                                    bool tagColumns) {
  char plain[32];
  snprintf(plain, sizeof plain, "%.*s%d", int(strnlen(block.prefix, 2)), block.prefix, channel);
  if (!tagColumns || !config) return plain;
  std::string tag = Chan_GetTag(*config);
  LogDb_MakeSqlName(&tag);
  if (IsReservedColumnName(tag.c_str())) return plain;
  // The engines compare column names without case: "dt" is DT.
  for (const char* own : {"END", "DT", "MS", "TX", "TP", "LL", "LV"})
    if (strcasecmp(tag.c_str(), own) == 0) return plain;
  return tag;
}
