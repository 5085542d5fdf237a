#include "qiv/runtime/os_error.h"

#include <cerrno>
#include <cstring>

#include "qiv/primitives/repr_quote.h"

namespace qiv::runtime {

std::string OsErrorMessage(int code) {
  char buf[256];
  // The GNU variant: returns a pointer to the message, which may or may not be `buf`.
  const char* message = strerror_r(code, buf, sizeof buf);
  return message;
}

std::string OsErrorText(int code) {
  return OsErrorMessage(code) + " (os error " + std::to_string(code) + ")";
}

std::string_view OsErrorKindName(int code) {
  switch (code) {
    case E2BIG: return "ArgumentListTooLong";
    case EADDRINUSE: return "AddrInUse";
    case EADDRNOTAVAIL: return "AddrNotAvailable";
    case EBUSY: return "ResourceBusy";
    case ECONNABORTED: return "ConnectionAborted";
    case ECONNREFUSED: return "ConnectionRefused";
    case ECONNRESET: return "ConnectionReset";
    case EDEADLK: return "Deadlock";
    case EDQUOT: return "QuotaExceeded";
    case EEXIST: return "AlreadyExists";
    case EFBIG: return "FileTooLarge";
    case EHOSTUNREACH: return "HostUnreachable";
    case EINTR: return "Interrupted";
    case EINVAL: return "InvalidInput";
    case EISDIR: return "IsADirectory";
    case ELOOP: return "FilesystemLoop";
    case ENOENT: return "NotFound";
    case ENOMEM: return "OutOfMemory";
    case ENOSPC: return "StorageFull";
    case ENOSYS: return "Unsupported";
    case EMLINK: return "TooManyLinks";
    case ENAMETOOLONG: return "InvalidFilename";
    case ENETDOWN: return "NetworkDown";
    case ENETUNREACH: return "NetworkUnreachable";
    case ENOTCONN: return "NotConnected";
    case ENOTDIR: return "NotADirectory";
    case ENOTEMPTY: return "DirectoryNotEmpty";
    case EPIPE: return "BrokenPipe";
    case EROFS: return "ReadOnlyFilesystem";
    case ESPIPE: return "NotSeekable";
    case ESTALE: return "StaleNetworkFileHandle";
    case ETIMEDOUT: return "TimedOut";
    case ETXTBSY: return "ExecutableFileBusy";
    case EXDEV: return "CrossesDevices";
    case EINPROGRESS: return "InProgress";
    case EACCES:
    case EPERM: return "PermissionDenied";
    case EAGAIN: return "WouldBlock";  // EWOULDBLOCK is the same number on Linux
    default: return "Uncategorized";
  }
}

std::string OsErrorDebug(int code) {
  std::string out = "Os { code: " + std::to_string(code) + ", kind: ";
  out += OsErrorKindName(code);
  out += ", message: ";
  AppendReprQuoted(out, OsErrorMessage(code));
  out += " }";
  return out;
}

}  // namespace qiv::runtime
