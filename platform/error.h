// System error numbers.
//
// Every failure of this code base is reported with the Windows system error
// number that the rest of the system knows (2 file not found, 5 access
// denied, 183 already exists, ...). The number is kept in two places that
// always agree: the runtime's errno and the calling thread's last-error value.
//
// Linux errno values are translated once, by FromErrno(), through one table
// (error.cpp). An errno that has no Windows counterpart keeps a distinct form:
// kUnmappedErrnoBase | errno (bit 29, the "customer" bit of Windows error
// codes), so it never collides with a real system number and the original
// errno can be recovered with UnmappedErrno().
#pragma once
#include <cstdint>
#include <string>

namespace plat {

enum SysError : uint32_t {
  kErrSuccess = 0,
  kErrInvalidFunction = 1,
  kErrFileNotFound = 2,
  kErrPathNotFound = 3,
  kErrTooManyOpenFiles = 4,
  kErrAccessDenied = 5,
  kErrInvalidHandle = 6,
  kErrNotEnoughMemory = 8,
  kErrInvalidData = 13,
  kErrOutOfMemory = 14,
  kErrNoMoreFiles = 18,
  kErrWriteFault = 29,
  kErrReadFault = 30,
  kErrGenFailure = 31,
  kErrSharingViolation = 32,
  kErrLockViolation = 33,
  kErrHandleEof = 38,
  kErrHandleDiskFull = 39,
  kErrNotSupported = 50,
  kErrBadNetPath = 53,
  kErrBadNetName = 67,  // also: slot number or data range out of bounds
  kErrFileExists = 80,
  kErrInvalidParameter = 87,
  kErrBrokenPipe = 109,
  kErrDiskFull = 112,
  kErrSemTimeout = 121,
  kErrInsufficientBuffer = 122,
  kErrInvalidName = 123,
  kErrDirNotEmpty = 145,
  kErrBusy = 170,
  kErrAlreadyExists = 183,
  kErrFilenameExcedRange = 206,
  kErrBadPipe = 230,
  kErrPipeBusy = 231,
  kErrNoData = 232,
  kErrPipeNotConnected = 233,
  kErrMoreData = 234,
  kErrWaitTimeout = 258,
  kErrNoMoreItems = 259,
  kErrDirectory = 267,
  kErrNotOwner = 288,
  kErrOperationAborted = 995,
  kErrIoPending = 997,
  kErrNoAccess = 998,
  kErrNoToken = 1008,
  kErrBadDevice = 1200,
  kErrConnectionRefused = 1225,
  kErrTimeout = 1460,
  kErrXmlParse = 1465,
  kErrServerNoReply = 8001,  // an empty server reply
  kErrWsaTimedOut = 10060,
  kErrWsaConnRefused = 10061,
  kErrWsaConnAborted = 10053,  // also: a TLS handshake or record failure
  kErrWsaConnReset = 10054,
  kErrWsaHostNotFound = 11001,
  // Internet client errors (the web-service and TLS transports).
  kErrInetTimeout = 12002,
  kErrInetNameNotResolved = 12007,
  kErrInetCannotConnect = 12029,
  kErrInetConnectionAborted = 12030,
  kErrInetConnectionReset = 12031,
  kErrInetCertDateInvalid = 12037,
  kErrInetCertCnInvalid = 12038,
  kErrInetInvalidCa = 12045,
  kErrInetInvalidServerResponse = 12152,
};

constexpr uint32_t kUnmappedErrnoBase = 0x20000000u;

// The calling thread's last-error value.
uint32_t GetLastError();
// Sets the thread's last-error value only (as the Windows call does).
void SetLastError(uint32_t code);

// Translates a Linux errno value to the system number (table in error.cpp).
uint32_t FromErrno(int linuxErrno);
// For a code of the unmapped form, the Linux errno it carries; else 0.
int UnmappedErrno(uint32_t code);

// Sets errno and the last-error value to the system number `code`.
// Returns code, so that callers can write `return plat::Fail(5), -1;`.
uint32_t Fail(uint32_t code);
// Fail(FromErrno(linuxErrno)): for use right after a failed system call.
uint32_t FailErrno(int linuxErrno);

// A short text for a system number (for tools and traces).
const char* ErrorText(uint32_t code);

// What a tool prints for a failure: "error N (text)", the number as the rest
// of the system knows it with its text; an unmapped errno shows the Linux
// text of the errno it carries.
std::string ErrorWords(uint32_t code);

}  // namespace plat
