// The events text file beside each log: named sections of "\r\n" lines in
// the Windows-1252 code page, with time-stamped lines kept in time order.
//
// Every change rewrites the file into a temporary file beside it
// ("<name> <pid>.tmp"), flushes it and renames it over the old file in one
// step, so a crash leaves either the old or the new file, never none. The
// read-modify-replace runs under an exclusive lock of the file's directory,
// so concurrent writers never lose each other's lines.
#pragma once
#include <cstdint>
#include <string>

#include "logdata/logstore.h"

// "[name]" of a name, or the name itself when it is already bracketed.
std::string SectionHeader(const char* name);

// The text file of a log: its path with ".txt" for ".odl" when that file
// exists; else a text file in the directory whose name begins with the log's
// prefix and 13-character start stamp. 0 / -1 (error 2).
int FindLogText(const std::string& logPath, std::string* textPath);
// The log path with its extension replaced by ".txt".
std::string LogTextPathFor(const std::string& logPath);

// Reads a section: number of lines, -1 (no name), -2 (the file cannot be
// opened). *size in: the buffer's room; out: the length gathered + 1.
// Lines of the TEXT section stamped time first are given date first.
int ReadTextSection(const std::string& path, const char* name, char* buffer, int* size);
// The section's lines: pointers into buffer, "\r\n" replaced by terminators.
int ReadTextSectionLines(const std::string& path, const char* name, char** lines, int* lineCount, char* buffer,
                         int* size);
// Replaces a whole section (appended when missing): 1, -1, -2.
int WriteTextSection(const std::string& path, const std::string& header, const char* text);
// Inserts a stamped line in time order (see the store's WriteStampedText):
// 0, -1, -2.
int WriteStampedLine(const std::string& path, const std::string& header, const LineStamp& stamp, const char* text,
                     const char* key);
// The stamp at the start of a line: the text after it, or null.
const char* ParseLineStamp(const char* line, LineStamp* stamp);
// "YY/MM/DD hh:mm:ss[.fff[uuu]] " of a stamp.
std::string FormatLineStamp(const LineStamp& stamp, bool timeFirst);

// UTF-16 text in Windows-1252 ('?' for what it cannot show).
std::string Utf16ToCp1252(const char16_t* text);
