// System error codes on Windows (the Win32 codes GetLastError returns, Winsock's included):
// their messages from FormatMessageW and their I/O error kinds.
#include "os/system_error.h"

#include <windows.h>

namespace qelt::os {
namespace {

// The kind names of the standard library's I/O error kinds, by system error code.
struct ErrorKind {
  DWORD code;
  const char* name;
};
constexpr ErrorKind ERROR_KINDS[] = {
    {ERROR_ACCESS_DENIED, "PermissionDenied"},
    {ERROR_ALREADY_EXISTS, "AlreadyExists"},
    {ERROR_FILE_EXISTS, "AlreadyExists"},
    {ERROR_BROKEN_PIPE, "BrokenPipe"},
    {ERROR_NO_DATA, "BrokenPipe"},
    {ERROR_FILE_NOT_FOUND, "NotFound"},
    {ERROR_PATH_NOT_FOUND, "NotFound"},
    {ERROR_INVALID_DRIVE, "NotFound"},
    {ERROR_NOT_ENOUGH_MEMORY, "OutOfMemory"},
    {ERROR_OUTOFMEMORY, "OutOfMemory"},
    {ERROR_COMMITMENT_LIMIT, "OutOfMemory"},
    {ERROR_INVALID_PARAMETER, "InvalidInput"},
    {ERROR_TIMEOUT, "TimedOut"},
    {ERROR_SEM_TIMEOUT, "TimedOut"},
    {WAIT_TIMEOUT, "TimedOut"},
    {ERROR_DISK_FULL, "StorageFull"},
    {ERROR_HANDLE_DISK_FULL, "StorageFull"},
    {ERROR_DIR_NOT_EMPTY, "DirectoryNotEmpty"},
    {ERROR_DIRECTORY, "NotADirectory"},
    {ERROR_CALL_NOT_IMPLEMENTED, "Unsupported"},
    {ERROR_NOT_SUPPORTED, "Unsupported"},
    {ERROR_BUSY, "ResourceBusy"},
    {ERROR_POSSIBLE_DEADLOCK, "Deadlock"},
    {ERROR_NOT_SAME_DEVICE, "CrossesDevices"},
    {ERROR_TOO_MANY_LINKS, "TooManyLinks"},
    {ERROR_FILENAME_EXCED_RANGE, "InvalidFilename"},
    {ERROR_INVALID_NAME, "InvalidFilename"},
    {ERROR_WRITE_PROTECT, "ReadOnlyFilesystem"},
    {ERROR_FILE_TOO_LARGE, "FileTooLarge"},
    {ERROR_CANT_RESOLVE_FILENAME, "FilesystemLoop"},
    {ERROR_OPERATION_ABORTED, "TimedOut"},
    {ERROR_NETWORK_UNREACHABLE, "NetworkUnreachable"},
    {ERROR_HOST_UNREACHABLE, "HostUnreachable"},
    {WSAEACCES, "PermissionDenied"},
    {WSAEADDRINUSE, "AddrInUse"},
    {WSAEADDRNOTAVAIL, "AddrNotAvailable"},
    {WSAECONNABORTED, "ConnectionAborted"},
    {WSAECONNREFUSED, "ConnectionRefused"},
    {WSAECONNRESET, "ConnectionReset"},
    {WSAEINVAL, "InvalidInput"},
    {WSAENOTCONN, "NotConnected"},
    {WSAEWOULDBLOCK, "WouldBlock"},
    {WSAETIMEDOUT, "TimedOut"},
    {WSAEHOSTUNREACH, "HostUnreachable"},
    {WSAENETDOWN, "NetworkDown"},
    {WSAENETUNREACH, "NetworkUnreachable"},
    {WSAEINPROGRESS, "InProgress"},
    {WSAEINTR, "Interrupted"},
};

}  // namespace

std::string error_message(int code) {
  wchar_t* wide = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&wide), 0, nullptr);
  std::string message;
  if (length > 0) {
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(length), nullptr, 0,
                                          nullptr, nullptr);
    message.resize(static_cast<std::size_t>(bytes));
    WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(length), message.data(), bytes, nullptr,
                        nullptr);
  }
  if (wide != nullptr) LocalFree(wide);
  // The system's texts end in a line break; the report quotes them on one line.
  while (!message.empty() &&
         (message.back() == '\n' || message.back() == '\r' || message.back() == ' ')) {
    message.pop_back();
  }
  if (message.empty()) return "Unknown error " + std::to_string(code);
  return message;
}

const char* error_kind_name(int code) noexcept {
  for (const ErrorKind& kind : ERROR_KINDS) {
    if (kind.code == static_cast<DWORD>(code)) return kind.name;
  }
  return "Uncategorized";
}

}  // namespace qelt::os
