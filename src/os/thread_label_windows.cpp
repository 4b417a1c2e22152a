// The thread label on Windows: the process's first thread is the one created earliest, and a
// thread's name is its description (empty unless someone set one).
#include "os/thread_label.h"

#include <windows.h>
// After windows.h, whose types it uses.
#include <tlhelp32.h>

namespace qelt::os {
namespace {

// Creation time of thread `id` as a FILETIME count; none when it cannot be asked.
std::optional<ULONGLONG> creation_time(DWORD id) noexcept {
  const HANDLE thread = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, id);
  if (thread == nullptr) return std::nullopt;
  FILETIME created, exited, kernel, user;
  const BOOL ok = GetThreadTimes(thread, &created, &exited, &kernel, &user);
  CloseHandle(thread);
  if (!ok) return std::nullopt;
  return (static_cast<ULONGLONG>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

// The id of the process's earliest thread still running; 0 when the threads cannot be listed.
DWORD first_thread_id() noexcept {
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  const DWORD process = GetCurrentProcessId();
  DWORD first = 0;
  ULONGLONG earliest = ~0ULL;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID != process) continue;
    const std::optional<ULONGLONG> created = creation_time(entry.th32ThreadID);
    // Threads listed first were created first where the times tie or cannot be read.
    if (first == 0 || (created && *created < earliest)) {
      first = entry.th32ThreadID;
      if (created) earliest = *created;
    }
  }
  CloseHandle(snapshot);
  return first;
}

}  // namespace

bool is_main_thread() noexcept {
  return first_thread_id() == GetCurrentThreadId();
}

std::optional<std::string> own_thread_name() {
  wchar_t* wide = nullptr;
  if (FAILED(GetThreadDescription(GetCurrentThread(), &wide)) || wide == nullptr) {
    return std::nullopt;
  }
  std::string name;
  if (wide[0] != L'\0') {
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (bytes > 1) {
      name.resize(static_cast<std::size_t>(bytes));
      WideCharToMultiByte(CP_UTF8, 0, wide, -1, name.data(), bytes, nullptr, nullptr);
      name.pop_back();  // the terminating null
    }
  }
  LocalFree(wide);
  if (name.empty()) return std::nullopt;
  return name;
}

}  // namespace qelt::os
