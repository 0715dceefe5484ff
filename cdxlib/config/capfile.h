// Capability files: what the installation offers.
//
//   DATPROC.TXT  the data processors  (Proc_ParseDatProc)
//   DEVCAP.TXT   the device types     (Dev_ParseDevCap)
//   LOGCAP.TXT   the logger types     (Logger_ParseLogCap)
//
// Common line rules: a line is read with at most 500 characters (the rest of
// a longer physical line is dropped, never read as the next line); a
// trailing LF and then a trailing CR are removed; a line whose first
// non-blank character is '*' is a comment and blank lines are skipped; every
// other line is one entry of comma-separated fields.
//
// The reader keeps its state per thread: two threads can read two files at
// once, and each thread reads one file at a time. Open counts the entries
// and rewinds; reading past the last entry rewinds again, so that a loader
// can make two passes (count, then fill).
//
// Parse errors leave an error text in the thread's state:
//   "Can't Parse <path>\nLine <n> : **** <message> ****\n<line>"
// with the faulty field of the line marked ">field<" when its place is
// known, and "\nError : <code>\n" after it for a non-zero code.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr int kCapLineMax = 500;       // characters of one line
constexpr int kCapPathMax = 260;       // characters of the file path
constexpr int kCapErrorMax = 520;      // characters of the error text
constexpr int kCapFieldsMax = 32;      // fields a parser looks at
constexpr int kCapRangeCountMax = 62500;

// Channel kinds of a processor entry.
constexpr uint8_t kProcKindAnalog = 2;
constexpr uint8_t kProcKindDigital = 3;
constexpr uint8_t kProcKindModbus = 6;

// One data processor (a line of DATPROC.TXT, or an entry of an "IP" reply).
// Texts are zero-terminated; the prefix is two characters without a zero.
struct ProcessorEntry {
  char Name[10];         // 1 to 8 characters, upper case
  char Description[26];  // print name, up to 24 characters, upper case
  char Prefix[2];        // channel prefix
  uint16_t Count;        // channels, or alarm queue entries for "ALARM"
  uint8_t Flag;          // 1: the processor is started ("run")
  uint8_t Kind;          // 2 analog, 3 digital, 6 modbus
};
static_assert(sizeof(ProcessorEntry) == 42);
static_assert(offsetof(ProcessorEntry, Description) == 10);
static_assert(offsetof(ProcessorEntry, Prefix) == 36);
static_assert(offsetof(ProcessorEntry, Count) == 38);
static_assert(offsetof(ProcessorEntry, Flag) == 40);
static_assert(offsetof(ProcessorEntry, Kind) == 41);

constexpr int kDevRangesMax = 6;

struct ChannelRange {
  char Prefix[2];  // two characters (the second may be 0)
  uint16_t Count;  // 0: the range is empty
};
static_assert(sizeof(ChannelRange) == 4);

// One device type (a line of DEVCAP.TXT, or an entry of an "IE" reply).
struct DeviceEntry {
  char Name[12];        // the key: "<name>_<number>", upper case
  char PrintName[26];   // 1 to 24 characters, upper case
  char Text[10];        // the device name as written (1 to 8 characters)
  ChannelRange Ranges[kDevRangesMax];
};
static_assert(sizeof(DeviceEntry) == 72);
static_assert(offsetof(DeviceEntry, PrintName) == 12);
static_assert(offsetof(DeviceEntry, Text) == 38);
static_assert(offsetof(DeviceEntry, Ranges) == 48);

// One logger (a line of LOGCAP.TXT, or an entry of an "IL" reply).
struct LoggerEntry {
  char Name[10];   // type name, 1 to 8 characters, lower case
  char pad_[2];
  int32_t Number;  // the logger's number (0 when not known)
  char Type[26];   // type text, up to 24 characters
  char pad2_[2];
};
static_assert(sizeof(LoggerEntry) == 44);
static_assert(offsetof(LoggerEntry, Number) == 12);
static_assert(offsetof(LoggerEntry, Type) == 16);

// ---- reader --------------------------------------------------------------

// Creates the thread's state and opens the file for reading ('\' in the
// name is taken as '/'; a name without a directory is taken in the current
// directory; an exact name that is missing is matched without regard to
// case). Counts the entries and rewinds. The count, or -1 (errno and the
// last error set; no state is left).
int CapFile_Open(const char* fileName);
// The next entry line: 1, or 0 at the end (the file is then rewound and the
// line number reset); -1 without state.
int CapFile_NextLine();
// The next entry line split at commas into at most `maximum` fields (the
// last field keeps any further commas). fields[i] point into the thread's
// field area; offsets (may be null) get each field's offset in the line.
// The field count, 0 at the end, -1 without state.
int CapFile_Split(char** fields, int* offsets, int maximum);
// Builds the error text for the current line (see above). A length of 0
// shows the line unmarked. Nothing without state.
void CapFile_Error(int code, const char* message, int offset, int length);
// Checks a channel range: the prefix is one letter followed by a letter or
// nothing (':' or the end), the count 1 to 62500. 1 when valid; else the
// error text is built ("invalid channel prefix", "invalid number of
// channels") with the field at offset/length marked, and 0.
int CapFile_CheckRange(const char* prefix, int count, int offset, int length);
// The state (null or -1 without state).
const char* CapFile_ErrorText();
const char* CapFile_Line();
int CapFile_LineNumber();
const char* CapFile_Path();
// Replaces the error text (cut at 520 characters).
void CapFile_SetErrorText(const char* text);
// Closes the file and frees the thread's state.
void CapFile_Close();

// ---- parsers -------------------------------------------------------------
// Each parses one split line (fields and their offsets from CapFile_Split)
// into *entry, checking for duplicates against the `earlierCount` entries
// parsed so far. 1, or -2 with the error text built (code 1).

int Proc_ParseDatProc(char** fields, const int* offsets, int count, ProcessorEntry* entry,
                      const ProcessorEntry* earlier, int earlierCount);
int Dev_ParseDevCap(char** fields, const int* offsets, int count, DeviceEntry* entry, const DeviceEntry* earlier,
                    int earlierCount);
int Logger_ParseLogCap(char** fields, const int* offsets, int count, LoggerEntry* entry);

// ---- module search -------------------------------------------------------
// The full path of a processor's or driver's library (Mod_FindDll) or
// program (Mod_FindExe, returned in double quotes), or null (error 2).
// "calc<n>" and "mvtrx<n>" stand for "calc" and "mvtrx"; with a type suffix
// the file name is "%.5s_%.2s" of the module name and the suffix, else the
// module name. Searched: the local "CDX_BIN", the server's "CDX_BIN" (not
// for "." or no server), then the standard path (PATH for programs;
// LD_LIBRARY_PATH, /usr/local/lib and /usr/lib for libraries). A library is
// found as "<name>.dll" or "<name>.so", a program as "<name>.exe" or
// "<name>". Results live in process-wide buffers (one per function).
const char* Mod_FindDll(const char* server, const char* moduleName, const char* suffix);
const char* Mod_FindExe(const char* server, const char* moduleName, const char* suffix);
