// Directory listing and small file utilities.
#pragma once
#include <cstdint>
#include <cstdio>

struct DirList;

// A listing of the directory's entries, or null when it is missing or
// cannot be read (errno set).
DirList* Fs_OpenDirList(const char* directory);
// The next name (the first call gives the first entry), null at the end.
// The name stays valid until the next call.
const char* Fs_NextDirEntry(DirList* list);
void Fs_CloseDirList(DirList* list);

// Size of a file, or -1 with errno and the last error set.
int64_t Fs_GetFileSize(const char* file);
// Creates one directory: 0, or -1 with the error set.
int Fs_MakeDir(const char* path);

// Checks the head of a log file: a u32 length and a u16 type, byte-swapped
// when the type (384..480) shows the other byte order; the type must lie in
// 0x8001..0xE001, else -1 (errno 13). The file is rewound. When the file is
// shorter than the length the length is returned with errno 0; otherwise
// errno is 5 and the file size is returned. A failed read: -1 with the
// system error.
int64_t Fs_CheckLogHeader(FILE* file);
