// The thread label on Linux (glibc and musl): thread ids and the kernel's thread names.
#include "os/thread_label.h"

#include <errno.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>

namespace qelt::os {

bool is_main_thread() noexcept {
  // The system call rather than gettid(), which glibc only wraps from 2.30 on.
  return ::syscall(SYS_gettid) == ::getpid();
}

std::optional<std::string> own_thread_name() {
  // prctl rather than pthread_getname_np, which musl only has from 1.2.3 on; the kernel's name
  // of the calling thread is the same either way, 16 bytes at most with its terminator.
  char name[64] = {};
  if (::prctl(PR_GET_NAME, name) != 0 || name[0] == '\0') return std::nullopt;
  // A thread that never set a name reports the process's name, inherited at creation; thread
  // names hold at most 15 characters of it.
  if (std::strncmp(name, program_invocation_short_name, 15) == 0) return std::nullopt;
  return std::string(name);
}

}  // namespace qelt::os
