// The events text file beside each log: named sections of "\r\n" lines with
// time-stamped lines kept in time order.
//
// Encodings: a file that begins with the bytes FF FE is UTF-16 little-endian
// and stays UTF-16 through every rewrite; any other file is Windows-1252.
// The 8-bit operations give and take Windows-1252 text ('?' for what it
// cannot show), the "W" operations UTF-16, whatever the file holds.
//
// Every change rewrites the file into a temporary file beside it (made with
// mkstemp: a unique name, created exclusively, never through a link),
// flushes it and renames it over the old file in one step, so a crash leaves
// either the old or the new file, never none, and a link planted at the
// text file's name is replaced, never followed. The read-modify-replace runs
// under an exclusive lock of the file's directory, so concurrent writers
// never lose each other's lines.
//
// The directory-wide events text: while the events switch holds
// (EventsTextEnabled), the TEXT section of every log of a directory lives in
// "events.txt" of that directory: the whole file is the section and its
// lines are stamped time first ("hh:mm:ss[.fff] DD/MM/YY "). Writes go there
// when it can be read and written, or when no ".txt" of the directory has a
// non-empty TEXT section yet (it is then created); otherwise into the log's
// own file as usual. Reads of TEXT take it whenever it can be read.
#pragma once
#include <cstdint>
#include <string>

#include "logdata/linestamp.h"
#include "logdata/logstore.h"

// "[name]" of a name, or the name itself when it is already bracketed.
std::string SectionHeader(const char* name);

// The text file of a log: its path with ".txt" for ".odl" when that file
// exists; else, by the stamps of its name (an open or a closed log): the
// name with "_<stop stamp>.txt" of the log header's stop time, then of its
// last record's time, then a ".txt" of the directory whose name begins
// with the log's prefix and start stamp; for a closed log's name, the name
// cut at its second '_' from the end with ".txt" (the text kept the open
// log's name). A text whose own ".odl" is there belongs to that other log
// and is never taken. 0 / -1 (error 2).
int FindLogText(const std::string& logPath, std::string* textPath);
// The log path with its extension replaced by ".txt".
std::string LogTextPathFor(const std::string& logPath);

// The events switch: on for the edition Tarvi, else when the registry value
// "EventsTextFile" under HKEY_LOCAL_MACHINE
// "SOFTWARE\Quillomatic\Coordinatrix" begins with "ON" (any case). Read at
// every call.
bool EventsTextEnabled();
// "events.txt" in the directory of a text or log file.
std::string EventsTextPathFor(const std::string& path);

// Reads a section: number of lines, -1 (no name), -2 (the file cannot be
// opened). *size in: the buffer's room; out: the length gathered + 1.
// Lines of the TEXT section stamped time first are given date first.
int ReadTextSection(const std::string& path, const char* name, char* buffer, int* size);
// The same in UTF-16; sizes in characters.
int ReadTextSectionW(const std::string& path, const char* name, char16_t* buffer, int* size);
// The section's lines: pointers into buffer, "\r\n" replaced by terminators.
// 0 / -1.
int ReadTextSectionLines(const std::string& path, const char* name, char** lines, int* lineCount, char* buffer,
                         int* size);
int ReadTextSectionLinesW(const std::string& path, const char* name, char16_t** lines, int* lineCount,
                          char16_t* buffer, int* size);
// Replaces a whole section (appended when missing): 1, -1, -2.
int WriteTextSection(const std::string& path, const std::string& header, const char* text);
int WriteTextSectionW(const std::string& path, const std::string& header, const char16_t* text);
// Inserts a stamped line in time order (see the store's WriteStampedText):
// 0, -1, -2.
int WriteStampedLine(const std::string& path, const std::string& header, const LineStamp& stamp, const char* text,
                     const char* key);
int WriteStampedLineW(const std::string& path, const std::string& header, const LineStamp& stamp,
                      const char16_t* text, const char16_t* key);
// Makes a file with exactly these bytes, through a temporary file renamed
// into place (a link at the name is replaced, never followed): 0 / -1.
int WriteWholeTextFile(const std::string& path, const std::string& bytes);

// The remote forms: the file is read locally, and when it cannot be opened
// there (-2) and a server is named, through the server's file requests
// (8-bit files; a UNC path loses its server part). The remote write builds
// the new file locally and writes it back to the server in pieces.
int ReadTextSectionFrom(const char* server, const std::string& path, const char* name, char* buffer, int* size);
int WriteTextSectionTo(const char* server, const std::string& path, const std::string& header, const char* text);
