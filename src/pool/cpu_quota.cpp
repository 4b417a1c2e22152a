// The CPU quota of the process's control group (version 2 "cpu.max", or version 1
// "cpu.cfs_quota_us" over "cpu.cfs_period_us"), the smallest over the group and its parents,
// and the hard CPU-rate cap of a job object, which counts the same way.
#include <algorithm>
#include <fstream>
#include <iterator>
#include <limits>
#include <vector>

#include "os/available_parallelism.h"
#include "pool/worker_count.h"

namespace qelt {
namespace {

constexpr std::size_t NO_QUOTA = std::numeric_limits<std::size_t>::max();

// A path as its components, without empty and "." components, so that walking to the parent is
// dropping the last one.
using PathParts = std::vector<std::string>;

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  while (true) {
    std::size_t at = text.find(separator);
    parts.push_back(text.substr(0, at));
    if (at == std::string_view::npos) return parts;
    text.remove_prefix(at + 1);
  }
}

PathParts path_parts(std::string_view path) {
  PathParts parts;
  for (std::string_view part : split(path, '/')) {
    if (!part.empty() && part != ".") parts.emplace_back(part);
  }
  return parts;
}

std::string absolute_path(const PathParts& parts, std::size_t count) {
  std::string path;
  for (std::size_t i = 0; i < count; ++i) {
    path += '/';
    path += parts[i];
  }
  return path.empty() ? "/" : path;
}

std::string_view trim(std::string_view text) {
  constexpr std::string_view BLANKS = " \t\n\r\f\v";
  std::size_t first = text.find_first_not_of(BLANKS);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(BLANKS) - first + 1);
}

// The whole content of the file at `path` below the view's root; none when it cannot be opened
// or read. Plain C++ on every system, so it needs nothing from the OS layer.
std::optional<std::string> read_file(const SystemView& system, const std::string& path) {
  std::ifstream in(system.file(path), std::ios::binary);
  if (!in) return std::nullopt;
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  return content;
}

bool exists(const SystemView& system, const std::string& path) {
  return os::path_exists(system.file(path));
}

std::size_t limit_over_period(std::optional<std::uint64_t> limit,
                              std::optional<std::uint64_t> period) {
  if (!limit || !period || *period == 0) return NO_QUOTA;
  return static_cast<std::size_t>(*limit / *period);
}

// Calls visit with the directory `mount` + `group` and each of its parents up to `mount`.
template <class Visit>
void walk_to_mount(const PathParts& mount, const PathParts& group, Visit visit) {
  PathParts dir = mount;
  dir.insert(dir.end(), group.begin(), group.end());
  for (std::size_t count = dir.size(); count >= mount.size(); --count) {
    visit(absolute_path(dir, count));
    if (count == 0) break;
  }
}

std::size_t quota_v2(const SystemView& system, const PathParts& group) {
  const PathParts mount = path_parts("/sys/fs/cgroup");
  PathParts dir = mount;
  dir.insert(dir.end(), group.begin(), group.end());
  if (!exists(system, absolute_path(dir, dir.size()) + "/cgroup.controllers")) return NO_QUOTA;

  std::size_t quota = NO_QUOTA;
  walk_to_mount(mount, group, [&](const std::string& path) {
    std::optional<std::string> content = read_file(system, path + "/cpu.max");
    if (!content) return;
    std::string_view first_line = std::string_view(*content).substr(0, content->find('\n'));
    std::vector<std::string_view> fields = split(first_line, ' ');
    if (fields.size() < 2) return;
    quota = std::min(quota, limit_over_period(parse_unsigned_decimal(fields[0]),
                                              parse_unsigned_decimal(fields[1])));
  });
  return quota;
}

bool starts_with(const PathParts& path, const PathParts& prefix) {
  return prefix.size() <= path.size() && std::equal(prefix.begin(), prefix.end(), path.begin());
}

// The version-1 cpu controller's mount point from /proc/self/mountinfo, with the group path
// taken relative to the mounted root.
std::optional<std::pair<PathParts, PathParts>> mountinfo_candidate(const SystemView& system,
                                                                   const PathParts& group) {
  std::optional<std::string> content = read_file(system, "/proc/self/mountinfo");
  if (!content) return std::nullopt;
  for (std::string_view line : split(*content, '\n')) {
    std::vector<std::string_view> fields = split(trim(line), ' ');
    if (fields.size() < 8) continue;
    std::string_view root = fields[3];
    std::string_view mount_point = fields[4];
    std::string_view super_options = fields[fields.size() - 1];
    std::string_view filesystem_type = fields[fields.size() - 3];
    if (filesystem_type != "cgroup") continue;
    std::vector<std::string_view> options = split(super_options, ',');
    if (std::find(options.begin(), options.end(), "cpu") == options.end()) continue;
    if (root.empty() || root.front() != '/') continue;
    PathParts root_parts = path_parts(root.substr(1));
    if (!starts_with(group, root_parts)) continue;
    return std::make_pair(
        path_parts(mount_point),
        PathParts(group.begin() + static_cast<std::ptrdiff_t>(root_parts.size()), group.end()));
  }
  return std::nullopt;
}

std::size_t quota_v1(const SystemView& system, const PathParts& group) {
  auto read_number = [&](const std::string& path) -> std::optional<std::uint64_t> {
    std::optional<std::string> content = read_file(system, path);
    if (!content) return std::nullopt;
    return parse_unsigned_decimal(trim(*content));
  };
  auto try_candidate = [&](const PathParts& mount, const PathParts& relative_group,
                           std::size_t& quota) {
    PathParts dir = mount;
    dir.insert(dir.end(), relative_group.begin(), relative_group.end());
    if (!exists(system, absolute_path(dir, dir.size()))) return false;
    walk_to_mount(mount, relative_group, [&](const std::string& path) {
      quota = std::min(quota, limit_over_period(read_number(path + "/cpu.cfs_quota_us"),
                                                read_number(path + "/cpu.cfs_period_us")));
    });
    return true;
  };

  std::size_t quota = NO_QUOTA;
  for (const char* mount : {"/sys/fs/cgroup/cpu", "/sys/fs/cgroup/cpu,cpuacct"}) {
    if (try_candidate(path_parts(mount), group, quota)) return quota;
  }
  if (auto candidate = mountinfo_candidate(system, group)) {
    try_candidate(candidate->first, candidate->second, quota);
  }
  return quota;
}

std::size_t control_group_quota(const SystemView& system) {
  std::optional<std::string> content = read_file(system, "/proc/self/cgroup");
  if (!content) return NO_QUOTA;

  // Each line reads id:controllers:path. An empty controller list marks the version-2 entry; a
  // version-1 entry with the cpu controller wins over it, since it names its controller.
  std::optional<std::string_view> group_path;
  bool version_1 = false;
  for (std::string_view line : split(*content, '\n')) {
    std::size_t first = line.find(':');
    if (first == std::string_view::npos) continue;
    std::size_t second = line.find(':', first + 1);
    if (second == std::string_view::npos) continue;
    std::string_view controllers = line.substr(first + 1, second - first - 1);
    std::vector<std::string_view> names = split(controllers, ',');
    const bool is_v1 =
        !controllers.empty() && std::find(names.begin(), names.end(), "cpu") != names.end();
    if (!controllers.empty() && !is_v1) continue;
    if (group_path && !is_v1) continue;
    std::string_view path = line.substr(second + 1);
    group_path = path.empty() ? path : path.substr(1);
    version_1 = is_v1;
  }
  if (!group_path) return NO_QUOTA;
  const PathParts group = path_parts(*group_path);
  return version_1 ? quota_v1(system, group) : quota_v2(system, group);
}

// A rate cap in hundredths of a percent of all online processors, in whole CPUs.
std::size_t job_quota(const SystemView& system) {
  std::optional<std::uint32_t> rate = system.job_cpu_rate_cap();
  if (!rate) return NO_QUOTA;
  std::optional<std::size_t> online = system.online_processors();
  if (!online) return NO_QUOTA;
  return static_cast<std::size_t>(std::uint64_t{*rate} * *online / 10000);
}

}  // namespace

std::size_t cpu_quota(const SystemView& system) {
  return std::min(control_group_quota(system), job_quota(system));
}

}  // namespace qelt
