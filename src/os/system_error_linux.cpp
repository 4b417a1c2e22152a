// Error numbers on Linux (glibc and musl): their messages from strerror_r and their I/O error
// kinds.
#include "os/system_error.h"

#include <string.h>

#include <cerrno>

namespace qelt::os {
namespace {

// The kind names of the standard library's I/O error kinds, by error number. EWOULDBLOCK is
// EAGAIN on Linux.
struct ErrorKind {
  int code;
  const char* name;
};
constexpr ErrorKind ERROR_KINDS[] = {
    {E2BIG, "ArgumentListTooLong"},
    {EADDRINUSE, "AddrInUse"},
    {EADDRNOTAVAIL, "AddrNotAvailable"},
    {EBUSY, "ResourceBusy"},
    {ECONNABORTED, "ConnectionAborted"},
    {ECONNREFUSED, "ConnectionRefused"},
    {ECONNRESET, "ConnectionReset"},
    {EDEADLK, "Deadlock"},
    {EDQUOT, "QuotaExceeded"},
    {EEXIST, "AlreadyExists"},
    {EFBIG, "FileTooLarge"},
    {EHOSTUNREACH, "HostUnreachable"},
    {EINTR, "Interrupted"},
    {EINVAL, "InvalidInput"},
    {EISDIR, "IsADirectory"},
    {ELOOP, "FilesystemLoop"},
    {ENOENT, "NotFound"},
    {ENOMEM, "OutOfMemory"},
    {ENOSPC, "StorageFull"},
    {ENOSYS, "Unsupported"},
    {EMLINK, "TooManyLinks"},
    {ENAMETOOLONG, "InvalidFilename"},
    {ENETDOWN, "NetworkDown"},
    {ENETUNREACH, "NetworkUnreachable"},
    {ENOTCONN, "NotConnected"},
    {ENOTDIR, "NotADirectory"},
    {ENOTEMPTY, "DirectoryNotEmpty"},
    {EPIPE, "BrokenPipe"},
    {EROFS, "ReadOnlyFilesystem"},
    {ESPIPE, "NotSeekable"},
    {ESTALE, "StaleNetworkFileHandle"},
    {ETIMEDOUT, "TimedOut"},
    {ETXTBSY, "ExecutableFileBusy"},
    {EXDEV, "CrossesDevices"},
    {EINPROGRESS, "InProgress"},
    {EACCES, "PermissionDenied"},
    {EPERM, "PermissionDenied"},
    {EAGAIN, "WouldBlock"},
};

// strerror_r comes in two forms: glibc declares the GNU one when _GNU_SOURCE is defined (g++
// always defines it), which returns the message, in the buffer or in static storage; musl has
// only the POSIX one, which writes the message into the buffer and returns 0 or an error number.
// Overloading on the result type reads either without naming the C library; one overload is
// then unused.
[[maybe_unused]] const char* message_from(const char* gnu_result, const char* /*buffer*/) noexcept {
  return gnu_result;
}
[[maybe_unused]] const char* message_from(int posix_result, const char* buffer) noexcept {
  return posix_result == 0 ? buffer : nullptr;
}

}  // namespace

std::string error_message(int code) {
  char buffer[256] = {};
  if (const char* message = message_from(strerror_r(code, buffer, sizeof buffer), buffer)) {
    return message;
  }
  return "Unknown error " + std::to_string(code);
}

const char* error_kind_name(int code) noexcept {
  for (const ErrorKind& kind : ERROR_KINDS) {
    if (kind.code == code) return kind.name;
  }
  return "Uncategorized";
}

}  // namespace qelt::os
