// The worker-count rules against a fake environment and fake /proc and cgroup trees.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "pool/worker_count.h"
#include "test_pool_support.h"

namespace qelt {
namespace {

namespace fs = std::filesystem;

// A directory standing for "/" with the files a test writes into it; removed afterwards.
class FakeRoot {
 public:
  FakeRoot() {
    std::random_device random;
    do {
      dir_ = fs::temp_directory_path() / ("qelt_root_" + std::to_string(random()));
    } while (!fs::create_directory(dir_));
  }
  ~FakeRoot() { fs::remove_all(dir_); }
  void write(const std::string& path, const std::string& content) const {
    fs::path file = dir_ / path.substr(1);
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << content;
  }
  void make_dir(const std::string& path) const { fs::create_directories(dir_ / path.substr(1)); }
  std::string path() const { return dir_.string(); }

 private:
  fs::path dir_;
};

struct Host {
  std::map<std::string, std::string> environment;
  std::optional<std::size_t> affinity = 3;
  std::optional<std::size_t> online = 16;
  std::optional<std::uint32_t> job_rate_cap = std::nullopt;
};

SystemView view_of(const FakeRoot& root, const Host& host) {
  return SystemView{
      root.path(),
      [env = host.environment](const char* name) -> std::optional<std::string> {
        auto found = env.find(name);
        if (found == env.end()) return std::nullopt;
        return found->second;
      },
      [affinity = host.affinity] { return affinity; },
      [online = host.online] { return online; },
      [cap = host.job_rate_cap] { return cap; },
  };
}

struct EnvironmentCase {
  const char* label;
  std::map<std::string, std::string> environment;
  std::size_t expected;
};

class EnvironmentRules : public ::testing::TestWithParam<EnvironmentCase> {};

// The affinity mask has 3 CPUs and there is no quota, so "available" is 3; RAYON_RS_NUM_CPUS is
// 5 where a case needs the fallback to be told apart from the available parallelism.
TEST_P(EnvironmentRules, GiveTheWorkerCount) {
  FakeRoot root;
  Host host{GetParam().environment};
  EXPECT_EQ(configured_worker_count(view_of(root, host)), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EnvironmentRules,
    ::testing::Values(
        EnvironmentCase{"neither_set", {}, 3},
        EnvironmentCase{"threads", {{"RAYON_NUM_THREADS", "7"}, {"RAYON_RS_NUM_CPUS", "5"}}, 7},
        EnvironmentCase{
            "zero_means_available", {{"RAYON_NUM_THREADS", "0"}, {"RAYON_RS_NUM_CPUS", "5"}}, 3},
        EnvironmentCase{
            "letters_fall_back", {{"RAYON_NUM_THREADS", "four"}, {"RAYON_RS_NUM_CPUS", "5"}}, 5},
        EnvironmentCase{"plus_sign", {{"RAYON_NUM_THREADS", "+4"}}, 4},
        EnvironmentCase{
            "two_plus_signs", {{"RAYON_NUM_THREADS", "++4"}, {"RAYON_RS_NUM_CPUS", "5"}}, 5},
        EnvironmentCase{"plus_alone", {{"RAYON_NUM_THREADS", "+"}, {"RAYON_RS_NUM_CPUS", "5"}}, 5},
        EnvironmentCase{
            "leading_blank", {{"RAYON_NUM_THREADS", " 4"}, {"RAYON_RS_NUM_CPUS", "5"}}, 5},
        EnvironmentCase{
            "trailing_blank", {{"RAYON_NUM_THREADS", "4 "}, {"RAYON_RS_NUM_CPUS", "5"}}, 5},
        EnvironmentCase{
            "trailing_newline", {{"RAYON_NUM_THREADS", "4\n"}, {"RAYON_RS_NUM_CPUS", "5"}}, 5},
        EnvironmentCase{"minus_sign", {{"RAYON_NUM_THREADS", "-4"}, {"RAYON_RS_NUM_CPUS", "5"}}, 5},
        EnvironmentCase{"empty", {{"RAYON_NUM_THREADS", ""}, {"RAYON_RS_NUM_CPUS", "5"}}, 5},
        EnvironmentCase{"above_the_limit", {{"RAYON_NUM_THREADS", "100000"}}, 65535},
        EnvironmentCase{"largest_64_bit", {{"RAYON_NUM_THREADS", "18446744073709551615"}}, 65535},
        EnvironmentCase{"above_64_bits",
                        {{"RAYON_NUM_THREADS", "18446744073709551616"}, {"RAYON_RS_NUM_CPUS", "5"}},
                        5},
        EnvironmentCase{"twenty_nines",
                        {{"RAYON_NUM_THREADS", "99999999999999999999"}, {"RAYON_RS_NUM_CPUS", "5"}},
                        5},
        EnvironmentCase{"cpus_only", {{"RAYON_RS_NUM_CPUS", "+6"}}, 6},
        EnvironmentCase{"cpus_zero_means_available", {{"RAYON_RS_NUM_CPUS", "0"}}, 3},
        EnvironmentCase{"cpus_invalid", {{"RAYON_RS_NUM_CPUS", "6x"}}, 3},
        EnvironmentCase{"cpus_above_the_limit", {{"RAYON_RS_NUM_CPUS", "70000"}}, 65535}),
    [](const auto& info) { return std::string(info.param.label); });

// One file tree: what /proc/self/cgroup says, and the files that exist below the root.
struct QuotaCase {
  const char* label;
  std::vector<std::pair<std::string, std::string>> files;
  std::size_t expected_workers;  // with 3 CPUs in the affinity mask
};

class QuotaRules : public ::testing::TestWithParam<QuotaCase> {};

TEST_P(QuotaRules, LimitTheAvailableParallelism) {
  FakeRoot root;
  for (const auto& [path, content] : GetParam().files) {
    if (path.back() == '/') {
      root.make_dir(path);
    } else {
      root.write(path, content);
    }
  }
  EXPECT_EQ(configured_worker_count(view_of(root, Host{})), GetParam().expected_workers);
}

const std::pair<std::string, std::string> V2_ENTRY{"/proc/self/cgroup", "0::/user.slice/app\n"};
const std::pair<std::string, std::string> V2_CONTROLLERS{
    "/sys/fs/cgroup/user.slice/app/cgroup.controllers", "cpu memory\n"};

std::pair<std::string, std::string> cpu_max(const std::string& group, const std::string& text) {
  return {"/sys/fs/cgroup" + group + "/cpu.max", text};
}

INSTANTIATE_TEST_SUITE_P(
    Cases, QuotaRules,
    ::testing::Values(
        QuotaCase{"no_cgroup_file", {}, 3},
        QuotaCase{"v2_one_and_a_half_cpus",
                  {V2_ENTRY, V2_CONTROLLERS, cpu_max("/user.slice/app", "150000 100000\n")},
                  1},
        QuotaCase{"v2_two_cpus",
                  {V2_ENTRY, V2_CONTROLLERS, cpu_max("/user.slice/app", "200000 100000\n")},
                  2},
        QuotaCase{"v2_no_limit",
                  {V2_ENTRY, V2_CONTROLLERS, cpu_max("/user.slice/app", "max 100000\n")},
                  3},
        QuotaCase{"v2_half_a_cpu_counts_as_one",
                  {V2_ENTRY, V2_CONTROLLERS, cpu_max("/user.slice/app", "50000 100000\n")},
                  1},
        QuotaCase{"v2_zero_period_ignored",
                  {V2_ENTRY, V2_CONTROLLERS, cpu_max("/user.slice/app", "100000 0\n")},
                  3},
        QuotaCase{"v2_parent_limits",
                  {V2_ENTRY, V2_CONTROLLERS, cpu_max("/user.slice/app", "max 100000\n"),
                   cpu_max("/user.slice", "200000 100000\n")},
                  2},
        QuotaCase{
            "v2_mount_root_limits", {V2_ENTRY, V2_CONTROLLERS, cpu_max("", "100000 100000\n")}, 1},
        QuotaCase{"v2_unparsable_file_drops_only_its_limit",
                  {V2_ENTRY, V2_CONTROLLERS, cpu_max("/user.slice/app", "garbage\n"),
                   cpu_max("/user.slice", "200000 100000\n")},
                  2},
        QuotaCase{"v2_without_controllers_file",
                  {V2_ENTRY, cpu_max("/user.slice/app", "100000 100000\n")},
                  3},
        QuotaCase{"v2_root_group",
                  {{"/proc/self/cgroup", "0::/\n"},
                   {"/sys/fs/cgroup/cgroup.controllers", "cpu\n"},
                   cpu_max("", "200000 100000\n")},
                  2},
        QuotaCase{"v1_cpu_cpuacct_mount",
                  {{"/proc/self/cgroup", "4:memory:/grp\n3:cpu,cpuacct:/grp\n0::/\n"},
                   {"/sys/fs/cgroup/cpu,cpuacct/grp/cpu.cfs_quota_us", "200000\n"},
                   {"/sys/fs/cgroup/cpu,cpuacct/grp/cpu.cfs_period_us", " 100000 \n"}},
                  2},
        QuotaCase{"v1_wins_over_a_later_v2_entry",
                  {{"/proc/self/cgroup", "3:cpu:/grp\n0::/user.slice/app\n"},
                   V2_CONTROLLERS,
                   cpu_max("/user.slice/app", "300000 100000\n"),
                   {"/sys/fs/cgroup/cpu/grp/cpu.cfs_quota_us", "100000\n"},
                   {"/sys/fs/cgroup/cpu/grp/cpu.cfs_period_us", "100000\n"}},
                  1},
        QuotaCase{"v1_no_quota",
                  {{"/proc/self/cgroup", "3:cpu:/grp\n"},
                   {"/sys/fs/cgroup/cpu/grp/cpu.cfs_quota_us", "-1\n"},
                   {"/sys/fs/cgroup/cpu/grp/cpu.cfs_period_us", "100000\n"}},
                  3},
        QuotaCase{"v1_parent_limits",
                  {{"/proc/self/cgroup", "3:cpu:/a/b\n"},
                   {"/sys/fs/cgroup/cpu/a/b/", ""},
                   {"/sys/fs/cgroup/cpu/a/cpu.cfs_quota_us", "200000\n"},
                   {"/sys/fs/cgroup/cpu/a/cpu.cfs_period_us", "100000\n"}},
                  2},
        QuotaCase{"v1_mount_from_mountinfo",
                  {{"/proc/self/cgroup", "3:cpu,cpuacct:/parent/grp\n"},
                   {"/proc/self/mountinfo",
                    "22 1 8:1 / / rw,relatime - ext4 /dev/sda1 rw\n"
                    "30 25 0:26 /other /mnt/other rw - cgroup cgroup rw,cpu\n"
                    "31 25 0:27 /parent /custom/cpuctl rw,nosuid - cgroup cgroup rw,cpu,cpuacct\n"},
                   {"/custom/cpuctl/grp/", ""},
                   {"/custom/cpuctl/cpu.cfs_quota_us", "200000\n"},
                   {"/custom/cpuctl/cpu.cfs_period_us", "100000\n"}},
                  2},
        QuotaCase{"v1_mountinfo_needs_the_cpu_option",
                  {{"/proc/self/cgroup", "3:cpu:/grp\n"},
                   {"/proc/self/mountinfo",
                    "31 25 0:27 / /custom/cpuctl rw - cgroup cgroup rw,cpuacct\n"},
                   {"/custom/cpuctl/grp/cpu.cfs_quota_us", "100000\n"},
                   {"/custom/cpuctl/grp/cpu.cfs_period_us", "100000\n"}},
                  3},
        QuotaCase{"v1_only_the_first_existing_mount",
                  {{"/proc/self/cgroup", "3:cpu:/grp\n"},
                   {"/sys/fs/cgroup/cpu/grp/", ""},
                   {"/sys/fs/cgroup/cpu,cpuacct/grp/cpu.cfs_quota_us", "100000\n"},
                   {"/sys/fs/cgroup/cpu,cpuacct/grp/cpu.cfs_period_us", "100000\n"}},
                  3},
        QuotaCase{"other_controller_lines_only",
                  {{"/proc/self/cgroup", "4:memory:/grp\n"},
                   {"/sys/fs/cgroup/memory/grp/cpu.cfs_quota_us", "100000\n"}},
                  3}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(AvailableParallelism, FallsBackToOnlineProcessorsThenFails) {
  FakeRoot root;
  root.write("/proc/self/cgroup", "0::/\n");
  root.write("/sys/fs/cgroup/cgroup.controllers", "cpu\n");
  root.write("/sys/fs/cgroup/cpu.max", "400000 100000\n");

  EXPECT_EQ(available_parallelism(view_of(root, Host{{}, std::nullopt, 16})), 4u);
  EXPECT_EQ(available_parallelism(view_of(root, Host{{}, 0, 2})), 2u);
  EXPECT_EQ(available_parallelism(view_of(root, Host{{}, std::nullopt, 0})), std::nullopt);
  EXPECT_EQ(available_parallelism(view_of(root, Host{{}, std::nullopt, std::nullopt})),
            std::nullopt);
  // When even the processor count is unknown the pool gets one worker.
  EXPECT_EQ(configured_worker_count(view_of(root, Host{{}, std::nullopt, std::nullopt})), 1u);
}

TEST(CpuQuota, IsUnlimitedWithoutALimit) {
  FakeRoot root;
  root.write("/proc/self/cgroup", "0::/\n");
  root.write("/sys/fs/cgroup/cgroup.controllers", "cpu\n");
  root.write("/sys/fs/cgroup/cpu.max", "max 100000\n");
  EXPECT_EQ(cpu_quota(view_of(root, Host{})), std::numeric_limits<std::size_t>::max());
}

// A job object's rate cap is a share of all online processors: 25% of 16 is 4 CPUs, 10% is
// 1.6, cut to 1, and 1% counts as one CPU; the smaller of it and a control group's quota wins.
TEST(CpuQuota, CountsAJobRateCapInWholeCpus) {
  FakeRoot root;
  auto workers = [&](std::optional<std::uint32_t> cap, std::size_t affinity = 8) {
    return configured_worker_count(view_of(root, Host{{}, affinity, 16, cap}));
  };
  EXPECT_EQ(workers(2500), 4u);
  EXPECT_EQ(workers(1000), 1u);
  EXPECT_EQ(workers(100), 1u);
  EXPECT_EQ(workers(10000), 8u);
  EXPECT_EQ(workers(2500, 3), 3u);
  EXPECT_EQ(cpu_quota(view_of(root, Host{{}, 8, std::nullopt, 2500})),
            std::numeric_limits<std::size_t>::max());

  root.write("/proc/self/cgroup", "0::/\n");
  root.write("/sys/fs/cgroup/cgroup.controllers", "cpu\n");
  root.write("/sys/fs/cgroup/cpu.max", "200000 100000\n");
  EXPECT_EQ(workers(5000), 2u);
  EXPECT_EQ(workers(625), 1u);
}

TEST(WorkerCount, OfTheHostIsWithinTheLimits) {
  const std::size_t count = configured_worker_count();
  EXPECT_GE(count, 1u);
  EXPECT_LE(count, MAX_WORKER_COUNT);
}

}  // namespace
}  // namespace qelt
