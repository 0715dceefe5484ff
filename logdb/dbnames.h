// The SQL names and quoted texts of the database kinds: a channel's column
// name, plain SQL names, quoting, and whether the server escapes with '\'.
#pragma once
#include <string>

#include "cdxlib/records/chanconfig.h"
#include "logdata/logformat.h"

// The name of a channel's column in the data table: "%1.2s%d", or with tag
// columns the channel's tag made an SQL name (reserved names fall back).
std::string LogDb_ChannelColumnName(const LogBlockDescriptor& block, int channel, const ChannelConfig* config,
                                    bool tagColumns);
// Makes a text a plain SQL name: SanitizeSqlName, then every character that
// is not a letter, a digit or '_' becomes '_'.
void LogDb_MakeSqlName(std::string* name);
// Doubles the single quotes (and, for MariaDB, the backslashes) of a text
// put between single quotes.
std::string LogDb_QuoteText(const char* text, bool backslashEscapes);
// True when the connection string reaches MariaDB, where '\' escapes inside
// quoted texts.
bool LogDb_BackslashEscapes(const char* connection);
