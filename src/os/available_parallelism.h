// What the worker-count rules read of the host: CPU counts, environment variables and the
// control-group files. Only the reads; the rules that combine them live with the pool.
// Any thread; never fails: an unreadable source gives none (or false).
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace qelt::os {

// CPUs set in the calling thread's affinity mask; none when the query fails.
std::optional<std::size_t> affinity_cpu_count() noexcept;

// Processors online; none when the query fails.
std::optional<std::size_t> online_processors() noexcept;

// The value of environment variable `name`; none when it is not set.
std::optional<std::string> environment_variable(const char* name);

// The whole content of the file at `path`; none when it cannot be opened or read.
std::optional<std::string> read_file(const std::string& path);

// Whether something (a file or a directory) exists at `path`.
bool path_exists(const std::string& path) noexcept;

}  // namespace qelt::os
