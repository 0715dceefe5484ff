// Files of the central server's machine, through one family of operations
// that take either a real file handle (a descriptor: an ordinary system
// call) or kSrvInvalidHandle and a path on the server (a request that the
// server performs on its side with the same open parameters).
//
// Open parameters are the system's numbers and go on the wire as "%d"
// (generic read is printed as -2147483648). Paths on the wire keep their
// '\'. Fields after the path are separated by tabs; a path or text holding
// a tab, CR or LF would shift the server's fields and is refused (87)
// before anything is sent.
//
// Every request failure leaves errno and the thread's last error at the
// system error number (the server's code or the transport's).
#pragma once
#include <cstddef>
#include <cstdint>

constexpr int kSrvInvalidHandle = -1;

// Open parameters (the system's numbers).
constexpr uint32_t kSrvGenericRead = 0x80000000u;
constexpr uint32_t kSrvGenericWrite = 0x40000000u;
constexpr uint32_t kSrvShareRead = 1;
constexpr uint32_t kSrvShareWrite = 2;
constexpr uint32_t kSrvCreateNew = 1;
constexpr uint32_t kSrvCreateAlways = 2;
constexpr uint32_t kSrvOpenExisting = 3;
constexpr uint32_t kSrvOpenAlways = 4;
constexpr uint32_t kSrvTruncateExisting = 5;
constexpr uint32_t kSrvAttributeNormal = 0x80;
constexpr uint32_t kSrvFileBegin = 0;
constexpr uint32_t kSrvFileCurrent = 1;
constexpr uint32_t kSrvFileEnd = 2;
constexpr int32_t kSrvNoMove = -1;  // distance: the file pointer is not moved

// Limits.
constexpr uint32_t kSrvMaxReadChunk = 65512;  // bytes per read request
constexpr uint32_t kSrvMaxWriteRequest = 32768;  // write request, text and data
constexpr uint32_t kSrvDirPageSize = 65536;  // one directory listing page
constexpr size_t kSrvDirSlotSize = 256;  // one name slot (255 characters and NUL)

// Reply capacities.
constexpr uint32_t kSrvSmallReply = 16;  // UF NF OF BF EF
constexpr uint32_t kSrvMfReply = 40;
constexpr uint32_t kSrvSfReply = 9;
constexpr uint32_t kSrvTfReply = 100;
constexpr uint32_t kSrvWfReply = 24;

// "UF,path", "NF,path", "OF,path", "BF,path", "EF,path\ttext": the result.
int SrvFile_RequestUf(const char* server, const char* path);
int SrvFile_RequestNf(const char* server, const char* path);
int SrvFile_RequestOf(const char* server, const char* path);
int SrvFile_RequestBf(const char* server, const char* path);
int SrvFile_RequestEf(const char* server, const char* path, const char* text);
// "MF,path\ttext" (an absent text is sent empty): the result; on result 1
// the reply's text after "1," is copied to textOut (cut to textOutSize - 1
// characters and ended with a NUL). errno is cleared first.
int SrvFile_RequestMf(const char* server, const char* path, char* textOut, size_t textOutSize, const char* textIn);

// "SF": the size of the file as the server reports it, or -1. errno is
// cleared first.
int SrvFile_GetSize(const char* server, const char* path, uint32_t access, uint32_t share, int securityFlag,
                    uint32_t disposition, uint32_t attributes);

// File times as FILETIMEs (100 ns ticks since 1601-01-01 UTC). A real
// handle asks the file system; otherwise "TF", which must give all six
// numbers. Any output may be null. 1, or 0 with the last error set.
int SrvFile_GetTime(const char* server, int handle, const char* path, uint64_t* creation, uint64_t* lastAccess,
                    uint64_t* lastWrite);

// Lists the names in a directory matching a pattern, page by page ("DF").
// With slots (count slots of kSrvDirSlotSize bytes) at most count names are
// copied, each cut to 255 characters; without slots the names are counted.
// Returns the number of names, or -1.
int SrvFile_ListDir(const char* server, const char* directory, const char* pattern, int count, char* slots);

// Reads bytesToRead bytes (at most kSrvMaxReadChunk through a request),
// first moving the file pointer unless distance is kSrvNoMove. *bytesRead
// gets the bytes read. 1, or 0 with the last error set.
int SrvFile_Read(const char* server, int handle, const char* path, uint32_t bytesToRead, int32_t distance,
                 uint32_t moveMethod, uint32_t access, uint32_t share, int securityFlag, uint32_t disposition,
                 uint32_t attributes, void* buffer, uint32_t* bytesRead);

// Writes bytesToWrite bytes ("WF": text and data at most kSrvMaxWriteRequest
// bytes). *bytesWritten gets the bytes written. 1, or 0 with the last error
// set.
int SrvFile_Write(const char* server, int handle, const char* path, uint32_t bytesToWrite, int32_t distance,
                  uint32_t moveMethod, uint32_t access, uint32_t share, int securityFlag, uint32_t disposition,
                  uint32_t attributes, const void* data, uint32_t* bytesWritten);
