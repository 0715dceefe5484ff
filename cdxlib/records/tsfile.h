// Time-stamped file series.
//
// A series is a set of data files in one directory whose names carry the
// time they cover:
//   open file:   <dir>/<prefix><start stamp><suffix>
//   closed file: <dir>/<prefix><start stamp>_<end stamp><suffix>
// A name stamp is "YYMMDD_HHMMSS" (13 characters) of a TimeStamp's seconds,
// which are local wall-clock time and are broken down as they are; two-digit
// years below 70 read back as 20xx, the others as 19xx (so stamps cover 1970
// to 2069). Suffixes compare without regard to case.
//
// The stamp functions are used on their own by the log stores. The series
// itself (current file, writer thread, purge) is one per process: the state
// is process-wide, and the series functions are meant for one caller thread
// plus the writer thread.
//
// Errors: 0 (or a count) for success, -1 with errno and the thread's last
// error set to the system error number.
#pragma once
#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------- stamps

// The 13-character stamp of seconds, in a static buffer that the next call
// overwrites.
const char* TsFile_FormatStamp(int32_t seconds);

// The seconds of the 13-character stamp that ends right before the suffix
// (for a closed file that is the end stamp): 1 with *seconds set, or 0 when
// the name does not end in the suffix or the 13 characters before it are no
// valid stamp.
int TsFile_ParseStamp(const char* fileName, const char* suffix, int32_t* seconds);

// Where the name stamp of a file name begins: the name must end in the
// suffix and have right before it either two stamps (12 digit pairs: a
// closed file's start and end, joined by an optional '.' or '_') or one
// stamp (6 digit pairs: YYMMDD, an optional '.' or '_', HHMMSS). The
// two-stamp form is preferred, so that the result is always the start.
// Null otherwise.
const char* Fs_FindNameStamp(const char* fileName, const char* suffix);
bool Fs_HasNameStamp(const char* fileName, const char* suffix);

// The seconds of the first stamp at `stamp` (as Fs_FindNameStamp returns
// it): 1, or 0 when its digits are no valid date and time.
int Fs_ParseFirstStamp(const char* stamp, int32_t* seconds);

// The file of the directory with that suffix whose first stamp is the
// newest: its name (without the directory) copied to name (nameSize bytes,
// cut to fit). 1 when one was found, 0 when none, -1 when the directory
// cannot be read.
int Fs_FindNewestStamped(const char* directory, char* name, size_t nameSize, const char* suffix);

// ---------------------------------------------------------------- series

// Sets the series up in `path`, or, when path is null or empty, in the
// logical directory `directoryName` (a CDX_ name) joined with subdirectory
// (when given); the directory is created with its parents when missing.
// Any file of a previous series of this process is closed first. A prefix
// or suffix with a path separator, or one that is "." or "..", is refused
// (123) before anything is made.
int TsFile_Open(const char* directoryName, const char* path, const char* subdirectory, const char* suffix,
                const char* prefix);

// The series' directory ("" before TsFile_Open) and the current file's full
// name ("" while none is open).
const char* TsFile_Directory();
const char* TsFile_CurrentName();

// Creates the open file for the start time, replacing one of the same name;
// its writes go through to the disk before they return.
int TsFile_CreateCurrent(int32_t start);

// Writes at the current offset and moves it on: the count written, or -1
// (6 when no file is open, else the write's error).
int TsFile_Write(const void* buffer, uint32_t length);

// Closes the open file. With an end time it is renamed to its closed name
// (start stamp from *start when given, else the time it was created for),
// read-only when asked; a closed name that exists already is not replaced
// (-1, 183). Without an end time the file is deleted.
int TsFile_Close(const int32_t* start, const int32_t* end, int readOnly);

// Moves the file closed last back to its open name, makes it writable and
// reopens it at the offset it had when it was closed.
int TsFile_Reopen();

// Opens the newest open file of the series (prefix, one stamp, suffix) for
// reading and writing, its read-only attribute cleared, after checking its
// header (Fs_CheckLogHeader: a u32 length and a u16 type); its name (without
// the directory) goes to name. Writes then continue at its end. 0, or -1 (2
// when there is none, 13 for a bad header).
int TsFile_OpenNewest(char* name, size_t nameSize);

// Deletes the series' files with that suffix (and the series' prefix) whose
// time (the start of an open file, the end of a closed one) is older than
// now minus ageSeconds. The current file is never deleted. Returns the
// number deleted.
int TsFile_PurgeOlder(int32_t ageSeconds, const char* suffix);

// ---------------------------------------------------------------- writer

// Background writing into the current file. The writer keeps a ring of
// `ringCapacity` requests and a data buffer of `bufferSize` bytes that
// mirrors the file: the bytes for file offset o sit at o % bufferSize.
// A queued request copies its bytes there and marks them pending; the
// writer thread wakes for each request (and at least every periodSeconds),
// joins a request with the following ones while their file offsets and
// buffer bytes continue it exactly, writes them in one write under a
// one-byte lock at the write offset, and clears their marks. Queuing waits
// in 1-ms steps while the next ring slot or any of its buffer bytes is
// still pending.
//
// The first write error is held and reported once: to the next
// TsFile_QueueWrite or TsFile_StopWriter, as -1 with that error.
int TsFile_StartWriter(uint32_t ringCapacity, uint32_t bufferSize, uint32_t periodSeconds);
// Queues `length` bytes for the file offset (-1 for the current offset,
// which then moves on). Length must not exceed the buffer size.
int TsFile_QueueWrite(const void* data, uint32_t length, int64_t fileOffset);
// Waits until every queued request is written: 0, or -1 with a held error.
int TsFile_FlushWriter();
// Writes what is queued, ends the thread and frees the ring and buffer.
int TsFile_StopWriter();
// The number of writes the writer thread has made since it started.
uint64_t TsFile_WriterWriteCount();
