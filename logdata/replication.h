// The replication data tree: logged data of many sites in one directory
// tree ordered by geography and asset,
//
//   ROOT / Region / Country / Customer / LOGGED_DATA / asset 1 .. asset L /
//          logger directories
//
// whose position supplies the descriptive header fields of every log below
// it, a logger name ("E_NO_Dudo_North_W1") and a map position. Small
// "information.ini" files anywhere in the tree add header text ([HEADER],
// "name: value" lines), a position ([POSITION], "LATITUDE=" and
// "LONGITUDE=") and a user limit ([USERLIMIT], "LIMIT=").
//
// Settings: registry values under HKEY_LOCAL_MACHINE
// "SOFTWARE\Quillomatic\<product>\<replication key>" (the replication
// product name upper-cased without blanks, at most 19 characters), read
// once per process: "ROOT", "ASSET_TERM_1", "ASSET_TERM_2", ... (defaults
// FIELD, WELL), "LOGGER_DIR_1", ... (edition Tarvi: SLOW_LOG, FAST_LOG;
// otherwise one level of empty name), "DefaultServer" (no default: this
// package carries no built-in mailbox or password). The settings of another
// machine's registry cannot be reached from this platform: for such a
// server the defaults hold.
//
// Paths separate their components with '\' or '/'; a path belongs to the
// tree when it begins with the root (case-blind).
#pragma once
#include <cstdint>
#include <string>

#include "logdata/logformat.h"
#include "logdata/replcountries.h"
#include "platform/timezone.h"

struct ReplRegion {
  char letter;
  const char* name;
  float latitude;
  float longitude;
};
// The region of a region directory's first letter (A, E, L, M, N, S), or null.
const ReplRegion* Repl_RegionOf(char letter);

// Country lookups: the row (0-based; null beyond the table), the code of a
// name (case-blind; "--" when not in the table), the name of a code (its
// first two characters, case-blind; "" when none).
const ReplCountry* Repl_CountryAt(int row);
const char* Repl_CountryCode(const char* name);
const char* Repl_CountryName(const char* code);

// ---- settings ----
// One value of the tree's key: true with the value (at most size - 1
// characters) when it is set. server: null or "" for this machine.
bool Repl_ReadSetting(const char* server, const char* name, char* value, uint32_t size);
bool Repl_WriteSetting(const char* server, const char* name, const char* value);
const char* Repl_GetRoot();
int Repl_AssetLevelCount();
int Repl_LoggerDirCount();
// Level n from 1; "" beyond the count.
const char* Repl_AssetTerm(int n);
const char* Repl_LoggerDir(int n);
// "_" and the logger directory's name.
std::string Repl_LoggerDirSuffix(int n);
// The word of depth d (1 REGION, 2 COUNTRY, 3 CUSTOMER, 4 .. L+3 the asset
// terms, L+4 DATA); d 0: of the path's own depth below the root. "" when
// there is none.
const char* Repl_DepthWord(const char* path, int d);
const char* Repl_DefaultServer();
// Forgets the settings read (they are read again at the next use).
void Repl_ResetSettings();

// ---- names ----
// The logger name of a path below the root: region letter, "_", country
// code, "_", customer, then "_" and asset levels 1 .. L-1, then "_" and the
// rest of the path (normally asset level L); at most 129 characters. With
// complete false, "" unless every part is there.
std::string Repl_LoggerNameFromPath(const char* path, bool complete);
// The reverse for depth d: 1 the region's name, 2 the country's name, 3 and
// more the d-th "_" part; 1, or 0 for the last depth or a name with too few
// parts. *word gets the depth word.
int Repl_PathPartFromLoggerName(int d, const char* loggerName, std::string* word, std::string* text);

// ---- information.ini ----
// The [HEADER] text of the nearest "information.ini" that has one, walking
// up from the path to the root; "" when none.
std::string Repl_FindHeaderIni(const char* root, const char* path);
// That text without the lines the path supplies (Region, Country, Customer,
// Client, the asset terms, and for Tarvi WellNo).
std::string Repl_HeaderTextForPath(const char* root, const char* path);
// A log header for a log at the path: marker 0x8001, start now, the
// machine's time-zone record in the extension bytes; and its header text:
// "Region: ...", "Country: ...", "Customer: ...", "Client: ...", one line
// per asset level (each only when a further directory follows it), for
// Tarvi "WellNo: " and asset level 2, then the lines of the header text.
// 0, or -1 when the path is not below the root.
int Repl_HeaderFieldsFromPath(const char* root, const char* path, LogHeader* header, std::string* text);
// Writes "[HEADER]" and that text into every log of the collection at the
// path (a database collection when provider is given, else the files
// there; the directory is made when missing). The number of logs written,
// or -1.
int Repl_ApplyHeaderToLogs(const char* root, const char* path, const char* provider);

// The position of a path: the region's default, replaced by the country's,
// replaced by the nearest [POSITION] walking up from the path to the
// customer directory; with customer outputs, the customer directory's own
// [POSITION] too. 1 when a position was found, else 0.
int Repl_ReadPosition(const char* path, float* latitude, float* longitude, float* customerLatitude = nullptr,
                      float* customerLongitude = nullptr);
// Writes the [POSITION] section of the directory's "information.ini": 1, or 0.
int Repl_WritePosition(const char* directory, float latitude, float longitude);
// Asks a server ("LF,path,text", 32768-byte reply) for two numbers: 1, or 0.
int Repl_ReadPositionFrom(const char* server, const char* path, const char* text, float* latitude,
                          float* longitude);
// The [USERLIMIT] LIMIT of the path's "information.ini": -1 when absent, -2
// when empty; 1 for a server that is not this machine.
int Repl_ReadUserLimit(const char* path, const char* server = nullptr);
int Repl_WriteUserLimit(const char* path, int limit);

// The last log of the path's collection (the one before it when the last
// has no end time): whether it is complete and its last time (its end, or
// its start when it has none). 1, or 0 when there is no log.
int Repl_LastLogInfo(const char* root, const char* path, const char* provider, int* complete,
                     plat::SystemTime* time);
