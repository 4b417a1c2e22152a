// What the worker-count rules read of the host: CPU counts, environment variables, the
// control-group files and the CPU-rate cap of a job object. Only the reads; the rules that combine
// them live with the pool. Any thread; never fails: an unreadable source gives none (or false).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace qelt::os {

// CPUs set in the calling thread's affinity mask; none when the query fails.
std::optional<std::size_t> affinity_cpu_count() noexcept;

// Processors online; none when the query fails.
std::optional<std::size_t> online_processors() noexcept;

// The value of environment variable `name`; none when it is not set.
std::optional<std::string> environment_variable(const char* name);

// Whether something (a file or a directory) exists at `path`.
bool path_exists(const std::string& path) noexcept;

// The hard cap on the CPU time of the job object the process runs in, in hundredths of a percent
// of all the machine's processors (10000: every processor); none where no such cap applies or
// the system has no job objects.
std::optional<std::uint32_t> job_cpu_rate_cap() noexcept;

}  // namespace qelt::os
