// Thread start on Linux (glibc and musl): pthread_create with an explicit stack size.
#include "os/thread_start.h"

#include <dlfcn.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace qelt::os {
namespace {

using MinStackFunction = std::size_t (*)(const pthread_attr_t*);

// The thread library's minimum stack for `attributes` (which grows with the static TLS size):
// glibc's __pthread_get_minstack where the library has it, else 16384 bytes.
std::size_t minimum_thread_stack(const pthread_attr_t* attributes) noexcept {
  static const auto get_minstack =
      reinterpret_cast<MinStackFunction>(dlsym(RTLD_DEFAULT, "__pthread_get_minstack"));
  return get_minstack != nullptr ? get_minstack(attributes) : 16384;
}

}  // namespace

int start_detached_thread(std::size_t stack_size, ThreadMain main, void* argument) noexcept {
  pthread_attr_t attributes;
  if (int error = pthread_attr_init(&attributes); error != 0) return error;
  std::size_t stack = std::max(stack_size, minimum_thread_stack(&attributes));
  if (pthread_attr_setstacksize(&attributes, stack) == EINVAL) {
    // The size is at least the minimum, so it was refused for not being whole pages.
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    stack = (stack + page - 1) / page * page;
    pthread_attr_setstacksize(&attributes, stack);
  }
  pthread_t thread;
  const int error = pthread_create(&thread, &attributes, main, argument);
  pthread_attr_destroy(&attributes);
  if (error == 0) pthread_detach(thread);
  return error;
}

}  // namespace qelt::os
