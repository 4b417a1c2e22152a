// Thread start on Windows: CreateThread with the stack size as the reservation, the handle
// closed at once. The system rounds the reservation up to its allocation granularity (64 KiB),
// which is also the smallest stack it gives.
#include "os/thread_start.h"

#include <windows.h>

#include <new>

namespace qelt::os {
namespace {

// What the new thread runs, handed over on the heap since the starting frame may be gone by
// the time the thread begins.
struct Start {
  ThreadMain main;
  void* argument;
};

DWORD WINAPI run_start(void* raw) {
  Start start = *static_cast<Start*>(raw);
  delete static_cast<Start*>(raw);
  start.main(start.argument);
  return 0;
}

}  // namespace

int start_detached_thread(std::size_t stack_size, ThreadMain main, void* argument) noexcept {
  auto* start = new (std::nothrow) Start{main, argument};
  if (start == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  const HANDLE thread = CreateThread(nullptr, stack_size, &run_start, start,
                                     STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (thread == nullptr) {
    const DWORD error = GetLastError();
    delete start;
    return error != 0 ? static_cast<int>(error) : ERROR_NOT_ENOUGH_MEMORY;
  }
  CloseHandle(thread);
  return 0;
}

}  // namespace qelt::os
