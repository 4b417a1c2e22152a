// Worker thread start-up and the rendering of operating-system errors.
#include "pool/thread_spawn.h"

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace qelt {
namespace {

using MinStackFunction = std::size_t (*)(const pthread_attr_t*);

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

const char* error_kind_name(int code) noexcept {
  for (const ErrorKind& kind : ERROR_KINDS) {
    if (kind.code == code) return kind.name;
  }
  return "Uncategorized";
}

// A string as a debug rendering quotes it.
std::string quoted(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  out += '"';
  return out;
}

}  // namespace

std::size_t minimum_thread_stack(const pthread_attr_t* attributes) noexcept {
  static const auto get_minstack =
      reinterpret_cast<MinStackFunction>(dlsym(RTLD_DEFAULT, "__pthread_get_minstack"));
  return get_minstack != nullptr ? get_minstack(attributes) : 16384;
}

int start_detached_thread(ThreadStarter start, void* (*main)(void*), void* argument) noexcept {
  pthread_attr_t attributes;
  if (int error = pthread_attr_init(&attributes); error != 0) return error;
  std::size_t stack = std::max(WORKER_STACK_SIZE, minimum_thread_stack(&attributes));
  if (pthread_attr_setstacksize(&attributes, stack) == EINVAL) {
    // The size is at least the minimum, so it was refused for not being whole pages.
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    stack = (stack + page - 1) / page * page;
    pthread_attr_setstacksize(&attributes, stack);
  }
  pthread_t thread;
  const int error = start(&thread, &attributes, main, argument);
  pthread_attr_destroy(&attributes);
  if (error == 0) pthread_detach(thread);
  return error;
}

std::string describe_pool_build_error(int os_error) {
  char buffer[256];
  // The GNU strerror_r returns the message, in `buffer` or static storage.
  const char* message = strerror_r(os_error, buffer, sizeof buffer);
  return "ThreadPoolBuildError { kind: IOError(Os { code: " + std::to_string(os_error) +
         ", kind: " + error_kind_name(os_error) + ", message: " + quoted(message) + " }) }";
}

}  // namespace qelt
