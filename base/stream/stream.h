// Stream layer: streams on caller-supplied functions, and wrappers over the
// runtime's stdio that serve both such streams and ordinary ones.
//
// A function-backed stream is opened on a cookie and four functions (read,
// write, seek, close) and is handed out as a genuine FILE*, so that it can be
// used wherever an ordinary stream is. The runtime's buffered stream core
// serves it; the layer keeps a registration of every such stream (keyed
// both by FILE* and by its record) so that the cookie can be found again.
// The registration is not guarded against threads.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <sys/types.h>

#include "base/memory/typedmem.h"  // Stream_FormatAlloc

struct StreamRecord;

// Functions of a function-backed stream. Read and write return the count
// (0 from read at end of file), or -1 with errno; seek returns the new
// offset or -1; close returns 0 or -1.
typedef int (*Stream_ReadFn)(void* cookie, char* buf, int n);
typedef int (*Stream_WriteFn)(void* cookie, const char* buf, int n);
typedef int64_t (*Stream_SeekFn)(void* cookie, int64_t offset, int whence);
typedef int (*Stream_CloseFn)(void* cookie);

// Opens a stream on the functions; at least one of read and write is
// required (EINVAL). A stream with both reads and writes. Null with errno.
FILE* StreamCore_OpenFunctions(void* cookie, Stream_ReadFn read, Stream_WriteFn write, Stream_SeekFn seek,
                               Stream_CloseFn close);
FILE* Stream_OpenFunctions(void* cookie, Stream_ReadFn read, Stream_WriteFn write, Stream_SeekFn seek,
                           Stream_CloseFn close);
// The record of a function-backed stream, or null for an ordinary stream.
StreamRecord* StreamCore_FindByFile(FILE* f);
// The stream a record stands for, or null when it is not registered.
FILE* StreamCore_FindFileOf(StreamRecord* rec);
// Unregisters and frees a record (the stream itself is not closed).
void StreamCore_ReleaseFile(StreamRecord* rec);
// Visits no record; returns 0.
int StreamCore_WalkFiles(int (*fn)(void* ctx, FILE* f), void* ctx);

// Functions for streams on a descriptor; the cookie is the descriptor cast
// with (void*)(intptr_t)fd. A connection reset reads as end of file.
int StreamCore_FdRead(void* cookie, char* buf, int n);
int StreamCore_FdWrite(void* cookie, const char* buf, int n);
int64_t StreamCore_FdSeek(void* cookie, int64_t offset, int whence);
int StreamCore_FdClose(void* cookie);
// Closes a socket or a file descriptor.
int StreamCore_CloseFd(int fd);
// Sets the descriptor's file length, keeping its position.
int StreamCore_Truncate(int fd, int64_t length);

// Wrappers: the stdio function of the same meaning, for either kind.
FILE* Stream_Open(const char* path, const char* mode);
FILE* Stream_Reopen(const char* path, const char* mode, FILE* f);
// Closes the stream; a function-backed one is unregistered and its close
// function called.
int Stream_Close(FILE* f);
// Flushes every open output stream.
void Stream_Cleanup();
std::size_t Stream_Read(void* buf, std::size_t size, std::size_t count, FILE* f);
std::size_t Stream_Write(const void* buf, std::size_t size, std::size_t count, FILE* f);
int Stream_GetChar(FILE* f);
int Stream_Getc(FILE* f);
int Stream_GetcUnlocked(FILE* f);
char* Stream_GetString(char* buf, int size, FILE* f);
// Reads a line with its newline into *line (grown with malloc).
ssize_t Stream_GetLine(char** line, std::size_t* capacity, FILE* f);
int Stream_GetWord(FILE* f);
int Stream_PutChar(int c, FILE* f);
int Stream_Putc(int c, FILE* f);
int Stream_PutcUnlocked(int c, FILE* f);
int Stream_PutString(const char* text, FILE* f);
int Stream_PutWord(int word, FILE* f);
int Stream_UngetChar(int c, FILE* f);
int Stream_Printf(FILE* f, const char* format, ...) __attribute__((format(printf, 2, 3)));
int Stream_VPrintf(FILE* f, const char* format, va_list args) __attribute__((format(printf, 2, 0)));
int Stream_Scanf(FILE* f, const char* format, ...) __attribute__((format(scanf, 2, 3)));
int Stream_VScanf(FILE* f, const char* format, va_list args) __attribute__((format(scanf, 2, 0)));
int Stream_Flush(FILE* f);
// Discards buffered input and output.
int Stream_Purge(FILE* f);
int Stream_Seek(FILE* f, long offset, int whence);
int Stream_SeekOffset(FILE* f, int64_t offset, int whence);
long Stream_Tell(FILE* f);
int64_t Stream_TellOffset(FILE* f);
int Stream_GetPos(FILE* f, fpos_t* pos);
int Stream_SetPos(FILE* f, const fpos_t* pos);
void Stream_Rewind(FILE* f);
int Stream_AtEnd(FILE* f);
int Stream_AtEndUnlocked(FILE* f);
int Stream_HasError(FILE* f);
int Stream_HasErrorUnlocked(FILE* f);
void Stream_ClearError(FILE* f);
void Stream_ClearErrorUnlocked(FILE* f);
// The descriptor, or -1 for a function-backed stream.
int Stream_GetFd(FILE* f);
// The cookie of a function-backed stream, or null.
void* Stream_GetCookie(FILE* f);
void Stream_Lock(FILE* f);
// 0 when locked, nonzero when another thread holds the stream.
int Stream_TryLock(FILE* f);
void Stream_Unlock(FILE* f);
// A buffer of 512 bytes, or unbuffered for a null buffer.
void Stream_SetBuffer(FILE* f, char* buf);
void Stream_SetBufferSize(FILE* f, char* buf, std::size_t size);
void Stream_SetLineBuffered(FILE* f);
int Stream_SetVBuf(FILE* f, char* buf, int mode, std::size_t size);
