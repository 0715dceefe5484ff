// Logger configuration files.
//
// One record per logger, kept in the logger directory <dir> (normally
// LOGGERS below the configuration root):
//   binary <dir>/<name>_<n>      the record's bytes, nothing else
//   XML    <dir>/<name>_<n>.xml  root "Loggers" (namespace <base>/<name>,
//                                schema ../SCHEMA/<name>.xsd), one element
//                                "Logger" with one element per item of the
//                                logger's structure type (loggertypes.h)
// The XML file is read when the logger's kind is known, "ReadXML" is on for
// the directory and the file exists; it is written when "WriteXML" is BOTH
// or XML, the binary file when it is BIN or BOTH. A logger whose name has
// none of the three kind prefixes is read and written in binary form only
// (whatever "WriteXML" says, so that its record is never dropped).
//
// With the change history on (history.h), a save reads the stored record
// first (a stored XML file that cannot be read stops the save with 1465
// before anything is written) and appends one line per changed item,
// under the logger's number.
//
// A logger name with a path separator ('/' or '\') is refused (87).
//
// Results: 0, or -1 with errno and the last error set (file errors: the
// system error; XML errors: 1465, the error text in the error log).
#pragma once
#include <cstdint>

int Cfg_LoadLogger(const char* dir, const char* name, int number, void* record, uint32_t length);
int Cfg_LoadLoggerInCwd(const char* name, int number, void* record, uint32_t length);
// The logger of that number (from 1) in the shared logger table, by its
// name, in the current directory.
int Cfg_LoadLoggerByNumber(int number, void* record, uint32_t length);

int Cfg_SaveLogger(const char* dir, const char* user, const char* name, int number, const void* record,
                   uint32_t length);
int Cfg_SaveLoggerInCwd(const char* user, const char* name, int number, const void* record, uint32_t length);
int Cfg_SaveLoggerByNumber(const char* user, int number, const void* record, uint32_t length);

// Writes <dir>/<name>_<n>.xml from the record (then the logger schema).
int Cfg_WriteLoggerXml(const char* dir, const char* user, const char* name, int number, const void* record,
                       uint32_t length);
// 0 when ",name," is in the list of elements read, else -1 with the XML
// error "<name> tag not found".
int Cfg_CheckLoggerRequired(const char* list, const char* name);
// The required elements of a logger record of that name's kind (the first
// one missing ends the check): 0 or -1 with the XML error set.
int Cfg_ValidateLogger(const char* list, const char* name, const void* record);
