// The host reads of the worker-count rules on Linux (glibc and musl).
#include "os/available_parallelism.h"

#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace qelt::os {

std::optional<std::size_t> affinity_cpu_count() noexcept {
  cpu_set_t set;  // 1024 CPUs, 128 bytes
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) return std::nullopt;
  return static_cast<std::size_t>(CPU_COUNT(&set));
}

std::optional<std::size_t> online_processors() noexcept {
  long count = sysconf(_SC_NPROCESSORS_ONLN);
  if (count < 0) return std::nullopt;
  return static_cast<std::size_t>(count);
}

std::optional<std::string> environment_variable(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

bool path_exists(const std::string& path) noexcept {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0;
}

// Linux bounds CPU time through control groups only, read as files.
std::optional<std::uint32_t> job_cpu_rate_cap() noexcept {
  return std::nullopt;
}

}  // namespace qelt::os
