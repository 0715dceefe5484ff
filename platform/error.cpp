#include "platform/error.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace plat {

namespace {

thread_local uint32_t t_lastError = 0;

struct ErrnoMapping {
  int linuxErrno;
  uint32_t code;
};

// The one translation table from Linux errno to system numbers.
constexpr ErrnoMapping kErrnoTable[] = {
    {0, kErrSuccess},
    {ENOENT, kErrFileNotFound},
    {ENOTDIR, kErrPathNotFound},
    {EMFILE, kErrTooManyOpenFiles},
    {ENFILE, kErrTooManyOpenFiles},
    {EACCES, kErrAccessDenied},
    {EPERM, kErrAccessDenied},
    {EROFS, kErrAccessDenied},
    {EISDIR, kErrAccessDenied},
    {EBADF, kErrInvalidHandle},
    {ENOMEM, kErrNotEnoughMemory},
    {EIO, kErrGenFailure},
    {ETXTBSY, kErrSharingViolation},
    {ENOSPC, kErrDiskFull},
    {EDQUOT, kErrDiskFull},
    {EFBIG, kErrDiskFull},
    {ENOSYS, kErrNotSupported},
    {EOPNOTSUPP, kErrNotSupported},
    {EEXIST, kErrAlreadyExists},
    {EINVAL, kErrInvalidParameter},
    {ERANGE, kErrInvalidParameter},
    {EPIPE, kErrBrokenPipe},
    {ENAMETOOLONG, kErrFilenameExcedRange},
    {ENOTEMPTY, kErrDirNotEmpty},
    {EBUSY, kErrBusy},
    {EAGAIN, kErrSemTimeout},
    {ETIMEDOUT, kErrWsaTimedOut},
    {ECONNREFUSED, kErrWsaConnRefused},
    {ECONNABORTED, kErrWsaConnAborted},
    {ECONNRESET, kErrWsaConnReset},
    {EHOSTUNREACH, kErrBadNetPath},
    {ENETUNREACH, kErrBadNetPath},
    {ENXIO, kErrBadDevice},
    {ENODEV, kErrBadDevice},
    {ECANCELED, kErrOperationAborted},
    {EFAULT, kErrNoAccess},
    {ESRCH, kErrInvalidParameter},
    {ECHILD, kErrInvalidHandle},
    {EINTR, kErrOperationAborted},
    {ELOOP, kErrInvalidName},
    {EILSEQ, kErrInvalidData},
};

struct ErrorName {
  uint32_t code;
  const char* text;
};

constexpr ErrorName kTexts[] = {
    {kErrSuccess, "success"},
    {kErrInvalidFunction, "invalid function"},
    {kErrFileNotFound, "file not found"},
    {kErrPathNotFound, "path not found"},
    {kErrTooManyOpenFiles, "too many open files"},
    {kErrAccessDenied, "access denied"},
    {kErrInvalidHandle, "invalid handle"},
    {kErrNotEnoughMemory, "not enough memory"},
    {kErrInvalidData, "invalid data"},
    {kErrOutOfMemory, "out of memory"},
    {kErrNoMoreFiles, "no more files"},
    {kErrWriteFault, "write fault"},
    {kErrReadFault, "read fault"},
    {kErrGenFailure, "device failure"},
    {kErrSharingViolation, "sharing violation"},
    {kErrLockViolation, "lock violation"},
    {40, "operation not supported by the type"},
    {kErrHandleEof, "end of file"},
    {kErrHandleDiskFull, "disk full"},
    {kErrNotSupported, "not supported"},
    {kErrBadNetPath, "network path not found"},
    {kErrBadNetName, "out of bounds or network name not found"},
    {kErrFileExists, "file exists"},
    {kErrInvalidParameter, "invalid parameter"},
    {kErrBrokenPipe, "broken pipe"},
    {kErrDiskFull, "disk full"},
    {kErrSemTimeout, "time-out"},
    {kErrInsufficientBuffer, "buffer too small"},
    {kErrInvalidName, "invalid name"},
    {kErrDirNotEmpty, "directory not empty"},
    {kErrBusy, "busy"},
    {kErrAlreadyExists, "already exists"},
    {kErrFilenameExcedRange, "name too long"},
    {kErrBadPipe, "bad pipe"},
    {kErrPipeBusy, "pipe busy"},
    {kErrNoData, "pipe closing"},
    {kErrPipeNotConnected, "pipe not connected"},
    {kErrMoreData, "more data"},
    {kErrWaitTimeout, "wait timed out"},
    {kErrNoMoreItems, "no more items"},
    {kErrDirectory, "not a directory"},
    {kErrNotOwner, "not owner"},
    {kErrOperationAborted, "operation aborted"},
    {kErrIoPending, "I/O pending"},
    {kErrNoAccess, "invalid access to memory"},
    {kErrNoToken, "no token"},
    {kErrBadDevice, "bad device"},
    {kErrConnectionRefused, "connection refused"},
    {kErrTimeout, "timed out"},
    {kErrXmlParse, "XML parse error"},
    {kErrServerNoReply, "empty server reply"},
    {kErrWsaTimedOut, "connection timed out"},
    {kErrWsaConnRefused, "connection refused"},
    {kErrWsaConnAborted, "connection aborted"},
    {kErrWsaConnReset, "connection reset"},
    {kErrWsaHostNotFound, "host not found"},
    {kErrInetTimeout, "internet request timed out"},
    {kErrInetNameNotResolved, "server name not resolved"},
    {kErrInetCannotConnect, "cannot connect to the server"},
    {kErrInetConnectionAborted, "connection aborted"},
    {kErrInetConnectionReset, "connection reset"},
    {kErrInetCertDateInvalid, "server certificate expired or not yet valid"},
    {kErrInetCertCnInvalid, "server certificate name does not match"},
    {kErrInetInvalidCa, "server certificate not trusted"},
    {kErrInetInvalidServerResponse, "invalid server response"},
};

}  // namespace

uint32_t GetLastError() { return t_lastError; }

void SetLastError(uint32_t code) { t_lastError = code; }

uint32_t FromErrno(int linuxErrno) {
  if (linuxErrno == EWOULDBLOCK) linuxErrno = EAGAIN;
  for (const auto& m : kErrnoTable)
    if (m.linuxErrno == linuxErrno) return m.code;
  return kUnmappedErrnoBase | static_cast<uint32_t>(linuxErrno);
}

int UnmappedErrno(uint32_t code) {
  if ((code & 0xF0000000u) != kUnmappedErrnoBase) return 0;
  return static_cast<int>(code & 0x0FFFFFFFu);
}

uint32_t Fail(uint32_t code) {
  t_lastError = code;
  errno = static_cast<int>(code);
  return code;
}

uint32_t FailErrno(int linuxErrno) { return Fail(FromErrno(linuxErrno)); }

const char* ErrorText(uint32_t code) {
  for (const auto& t : kTexts)
    if (t.code == code) return t.text;
  if (UnmappedErrno(code)) return "system error (unmapped errno)";
  return "system error";
}

std::string ErrorWords(uint32_t code) {
  std::string words = "error " + std::to_string(code) + " (";
  if (const int e = UnmappedErrno(code)) {
    words += std::strerror(e);
  } else {
    words += ErrorText(code);
  }
  return words + ")";
}

}  // namespace plat
