// The worker-count rules: environment variables first, then the available parallelism.
#include "pool/worker_count.h"

#include <algorithm>
#include <limits>

#include "os/available_parallelism.h"
#include "runtime/interface_strings.h"

namespace qelt {

SystemView SystemView::host() {
  return SystemView{std::string(1, '/'), &os::environment_variable, &os::affinity_cpu_count,
                    &os::online_processors, &os::job_cpu_rate_cap};
}

std::string SystemView::file(std::string_view path) const {
  std::string joined = root;
  while (!joined.empty() && joined.back() == '/') joined.pop_back();
  joined += path;
  return joined;
}

std::optional<std::uint64_t> parse_unsigned_decimal(std::string_view text) noexcept {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  constexpr std::uint64_t MAX = std::numeric_limits<std::uint64_t>::max();
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::optional<std::size_t> available_parallelism(const SystemView& system) {
  const std::size_t quota = std::max<std::size_t>(cpu_quota(system), 1);
  if (std::optional<std::size_t> count = system.affinity_cpu_count(); count && *count > 0) {
    return std::min(*count, quota);
  }
  std::optional<std::size_t> online = system.online_processors();
  if (!online || *online == 0) return std::nullopt;
  return std::min(*online, quota);
}

std::size_t configured_worker_count(const SystemView& system) {
  auto valid_count = [&](const char* name) -> std::optional<std::uint64_t> {
    std::optional<std::string> text = system.environment(name);
    if (!text) return std::nullopt;
    return parse_unsigned_decimal(*text);
  };
  auto available = [&] { return available_parallelism(system).value_or(1); };

  std::uint64_t count = 0;
  if (std::optional<std::uint64_t> threads =
          valid_count(interface_strings::WORKER_COUNT_VARIABLE)) {
    count = *threads > 0 ? *threads : available();
  } else if (std::optional<std::uint64_t> cpus =
                 valid_count(interface_strings::WORKER_COUNT_FALLBACK_VARIABLE);
             cpus && *cpus > 0) {
    count = *cpus;
  } else {
    count = available();
  }
  return static_cast<std::size_t>(std::min<std::uint64_t>(count, MAX_WORKER_COUNT));
}

}  // namespace qelt
