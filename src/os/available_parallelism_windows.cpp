// The host reads of the worker-count rules on Windows: the process's processor-group affinity,
// the active processors, the environment, and the CPU-rate cap of the job object the process
// runs in.
#include "os/available_parallelism.h"

#include <windows.h>

#include <bit>
#include <vector>

namespace qelt::os {

std::optional<std::size_t> affinity_cpu_count() noexcept {
  // CPUs come in processor groups of at most 64. A process whose affinity lies in one group has
  // its mask there; one that spans several (threads placed in more than one group, or the
  // default on Windows 11 and later with more than 64 CPUs) may run on the active CPUs of each
  // of its groups, and its process mask reads zero.
  const HANDLE process = GetCurrentProcess();
  USHORT group_count = 0;
  GetProcessGroupAffinity(process, &group_count, nullptr);  // fails, telling the count
  if (group_count > 1) {
    try {
      std::vector<USHORT> groups(group_count);
      if (GetProcessGroupAffinity(process, &group_count, groups.data())) {
        std::size_t cpus = 0;
        for (USHORT i = 0; i < group_count; ++i) cpus += GetActiveProcessorCount(groups[i]);
        if (cpus > 0) return cpus;
      }
    } catch (...) {  // no memory for the list: fall back to the mask
    }
  }
  DWORD_PTR process_mask = 0;
  DWORD_PTR system_mask = 0;
  if (!GetProcessAffinityMask(process, &process_mask, &system_mask)) return std::nullopt;
  return static_cast<std::size_t>(std::popcount(static_cast<std::uint64_t>(process_mask)));
}

std::optional<std::size_t> online_processors() noexcept {
  const DWORD count = GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
  if (count == 0) return std::nullopt;
  return static_cast<std::size_t>(count);
}

std::optional<std::string> environment_variable(const char* name) {
  // The wide environment is the real one; its values are handed on as UTF-8, with U+FFFD for
  // what is not valid UTF-16 (which no count rule accepts).
  std::wstring wide_name;
  for (const char* c = name; *c != '\0'; ++c) wide_name += static_cast<wchar_t>(*c);
  SetLastError(ERROR_SUCCESS);
  DWORD size = GetEnvironmentVariableW(wide_name.c_str(), nullptr, 0);
  if (size == 0) {
    if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
    return std::string();  // set, and empty
  }
  std::wstring value(size, L'\0');
  size = GetEnvironmentVariableW(wide_name.c_str(), value.data(), size);
  value.resize(size);
  if (value.empty()) return std::string();
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, value.data(), static_cast<int>(value.size()),
                                        nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<std::size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, value.data(), static_cast<int>(value.size()), text.data(), bytes,
                      nullptr, nullptr);
  return text;
}

bool path_exists(const std::string& path) noexcept {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::optional<std::uint32_t> job_cpu_rate_cap() noexcept {
  // A null handle asks about the job the process belongs to (the innermost one when jobs nest);
  // the query fails for a process outside every job.
  JOBOBJECT_CPU_RATE_CONTROL_INFORMATION rate{};
  if (!QueryInformationJobObject(nullptr, JobObjectCpuRateControlInformation, &rate, sizeof rate,
                                 nullptr)) {
    return std::nullopt;
  }
  const DWORD flags = rate.ControlFlags;
  if ((flags & JOB_OBJECT_CPU_RATE_CONTROL_ENABLE) == 0) return std::nullopt;
  // A maximum rate, or a rate with a hard cap, bounds the job's CPU time even on an idle
  // machine; a relative weight or a rate without a hard cap bounds it only under contention.
  // The minimum and maximum rates share the rate's word, minimum in the low half (MinGW-w64's
  // declaration names only the whole word).
  if ((flags & JOB_OBJECT_CPU_RATE_CONTROL_MIN_MAX_RATE) != 0) return HIWORD(rate.CpuRate);
  if ((flags & JOB_OBJECT_CPU_RATE_CONTROL_HARD_CAP) != 0 &&
      (flags & JOB_OBJECT_CPU_RATE_CONTROL_WEIGHT_BASED) == 0) {
    return rate.CpuRate;
  }
  return std::nullopt;
}

}  // namespace qelt::os
