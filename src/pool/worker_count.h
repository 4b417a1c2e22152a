// How many workers the pool gets: the environment variables RAYON_NUM_THREADS and
// RAYON_RS_NUM_CPUS, else the CPUs this process may run on, limited by its CPU quota.
// Called once, by pool creation, on one thread; the functions themselves are reentrant.
// Never fails: an unreadable source drops only what it would have contributed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace qelt {

// The pool's limit on workers (not 65536).
inline constexpr std::size_t MAX_WORKER_COUNT = 65535;

// What the rules read of the host. host() reads the real one; tests fill in a fake: a directory
// standing for "/" with their own /proc and /sys files, and their own environment and CPU counts.
struct SystemView {
  std::string root;  // the directory that stands for "/"
  std::function<std::optional<std::string>(const char* name)> environment;
  // CPUs set in the calling thread's affinity mask; none when the query fails.
  std::function<std::optional<std::size_t>()> affinity_cpu_count;
  // Online processors; none when the query fails.
  std::function<std::optional<std::size_t>()> online_processors;
  // The hard CPU-rate cap of the process's job object, in hundredths of a percent of the online
  // processors; none without one.
  std::function<std::optional<std::uint32_t>()> job_cpu_rate_cap = [] {
    return std::optional<std::uint32_t>();
  };

  static SystemView host();
  // `path` (absolute) below root.
  std::string file(std::string_view path) const;
};

// An unsigned 64-bit decimal: an optional single "+" then one or more ASCII digits, nothing else.
std::optional<std::uint64_t> parse_unsigned_decimal(std::string_view text) noexcept;

// The CPU quota in whole CPUs, the smaller of the control group's and the job object's;
// SIZE_MAX when none applies.
std::size_t cpu_quota(const SystemView& system);

// CPUs available to the calling thread, limited by the quota; none when it cannot be told.
std::optional<std::size_t> available_parallelism(const SystemView& system);

// The worker count, 1 to MAX_WORKER_COUNT.
std::size_t configured_worker_count(const SystemView& system = SystemView::host());

}  // namespace qelt
