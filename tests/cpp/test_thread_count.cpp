#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include "thread_count.hpp"

namespace quorvex {
namespace {

namespace fs = std::filesystem;

TEST(ParseDecimal, StrictRule) {
  EXPECT_EQ(parse_decimal_u64("7"), 7u);
  EXPECT_EQ(parse_decimal_u64("+7"), 7u);
  EXPECT_EQ(parse_decimal_u64("007"), 7u);
  EXPECT_EQ(parse_decimal_u64("0"), 0u);
  EXPECT_EQ(parse_decimal_u64("18446744073709551615"), UINT64_MAX);
  for (const char* bad : {"", "+", "-", "-1", " 4", "4 ", "4\n", "four", "0x10", "++1", "+-1",
                          "18446744073709551616", "99999999999999999999", "1e3", "٣"}) {
    EXPECT_FALSE(parse_decimal_u64(bad).has_value()) << '"' << bad << '"';
  }
}

// A fake machine: a temporary root with /proc and /sys files, an
// environment, an affinity count and an online CPU count.
class FakeSystem : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/quorvex-pool-XXXXXX";
    root_ = mkdtemp(pattern);
  }
  void TearDown() override { fs::remove_all(root_); }

  void write(const std::string& logical, const std::string& contents) {
    const fs::path path = root_ / fs::path(logical).relative_path();
    fs::create_directories(path.parent_path());
    std::ofstream(path) << contents;
  }
  void mkdir(const std::string& logical) {
    fs::create_directories(root_ / fs::path(logical).relative_path());
  }

  SystemView view() {
    SystemView system;
    system.environment = [this](const char* name) -> std::optional<std::string> {
      const auto it = environment_.find(name);
      if (it == environment_.end()) return std::nullopt;
      return it->second;
    };
    system.root = root_;
    system.affinity_cpus = [this] { return affinity_; };
    system.online_cpus = [this] { return online_; };
    return system;
  }

  std::uint64_t threads() { return pool_thread_count_for(view()); }
  std::uint64_t quota() { return cgroup_cpu_quota(root_); }

  fs::path root_;
  std::map<std::string, std::string> environment_;
  std::optional<std::uint64_t> affinity_ = 8;
  long online_ = 16;
};

TEST_F(FakeSystem, EnvironmentComesFirst) {
  environment_ = {{"RAYON_NUM_THREADS", "4"}, {"RAYON_RS_NUM_CPUS", "3"}};
  EXPECT_EQ(threads(), 4u);
  environment_ = {{"RAYON_NUM_THREADS", "0"}, {"RAYON_RS_NUM_CPUS", "3"}};
  EXPECT_EQ(threads(), 8u);  // 0 means the default, and the second variable is not read
  environment_ = {{"RAYON_NUM_THREADS", " 4"}, {"RAYON_RS_NUM_CPUS", "3"}};
  EXPECT_EQ(threads(), 3u);
  environment_ = {{"RAYON_NUM_THREADS", "\xff"}, {"RAYON_RS_NUM_CPUS", "3"}};
  EXPECT_EQ(threads(), 3u);  // not UTF-8
  environment_ = {{"RAYON_NUM_THREADS", ""}, {"RAYON_RS_NUM_CPUS", "3"}};
  EXPECT_EQ(threads(), 3u);
  environment_ = {{"RAYON_NUM_THREADS", "18446744073709551616"}, {"RAYON_RS_NUM_CPUS", "3"}};
  EXPECT_EQ(threads(), 3u);  // past 2^64 - 1: not a number at all
  environment_ = {{"RAYON_RS_NUM_CPUS", "3"}};
  EXPECT_EQ(threads(), 3u);
  environment_ = {{"RAYON_NUM_THREADS", "four"}};
  EXPECT_EQ(threads(), 8u);
  environment_ = {{"RAYON_RS_NUM_CPUS", "0"}};
  EXPECT_EQ(threads(), 8u);
  environment_ = {{"RAYON_NUM_THREADS", "100000"}};
  EXPECT_EQ(threads(), 65535u);
  environment_ = {{"RAYON_NUM_THREADS", "18446744073709551615"}};
  EXPECT_EQ(threads(), 65535u);
}

TEST_F(FakeSystem, AffinityThenOnlineCpus) {
  EXPECT_EQ(threads(), 8u);
  affinity_ = 3;
  EXPECT_EQ(threads(), 3u);
  affinity_ = 0;
  EXPECT_EQ(threads(), 16u);
  affinity_ = std::nullopt;
  EXPECT_EQ(threads(), 16u);
  online_ = -1;
  EXPECT_EQ(threads(), 1u);
  online_ = 0;
  EXPECT_EQ(threads(), 1u);
}

TEST_F(FakeSystem, NoCgroupFileMeansNoQuota) { EXPECT_EQ(quota(), UINT64_MAX); }

struct V2Case {
  const char* name;
  const char* cpu_max;
  std::uint64_t quota;
};

class CgroupV2 : public FakeSystem, public ::testing::WithParamInterface<V2Case> {};

TEST_P(CgroupV2, CpuMax) {
  write("/proc/self/cgroup", "0::/app\n");
  write("/sys/fs/cgroup/app/cgroup.controllers", "cpu memory\n");
  write("/sys/fs/cgroup/app/cpu.max", GetParam().cpu_max);
  EXPECT_EQ(quota(), GetParam().quota);
}

INSTANTIATE_TEST_SUITE_P(
    Files, CgroupV2,
    ::testing::Values(
        V2Case{"max", "max 100000\n", UINT64_MAX}, V2Case{"one_and_a_half", "150000 100000\n", 1},
        V2Case{"half", "50000 100000\n", 0}, V2Case{"two_and_a_half", "250000 100000\n", 2},
        V2Case{"zero_period", "50000 0\n", UINT64_MAX}, V2Case{"one_field", "50000\n", UINT64_MAX},
        V2Case{"empty", "", UINT64_MAX}, V2Case{"garbage", "lots of cpu\n", UINT64_MAX},
        V2Case{"second_line_ignored", "300000 100000\n100000 100000\n", 3},
        V2Case{"two_spaces", "150000  100000\n", UINT64_MAX}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FakeSystem, HalfACpuStillGetsOneThread) {
  write("/proc/self/cgroup", "0::/app\n");
  write("/sys/fs/cgroup/app/cgroup.controllers", "");
  write("/sys/fs/cgroup/app/cpu.max", "50000 100000\n");
  EXPECT_EQ(threads(), 1u);
}

TEST_F(FakeSystem, CgroupV2NestedLimitsTakeTheSmallest) {
  write("/proc/self/cgroup", "0::/outer/inner\n");
  write("/sys/fs/cgroup/outer/inner/cgroup.controllers", "");
  write("/sys/fs/cgroup/outer/inner/cpu.max", "max 100000\n");
  write("/sys/fs/cgroup/outer/cpu.max", "300000 100000\n");
  write("/sys/fs/cgroup/cpu.max", "500000 100000\n");
  EXPECT_EQ(quota(), 3u);
  EXPECT_EQ(threads(), 3u);
  affinity_ = 2;
  EXPECT_EQ(threads(), 2u);
}

TEST_F(FakeSystem, CgroupV2ShortLineStopsTheWalk) {
  write("/proc/self/cgroup", "0::/outer/inner\n");
  write("/sys/fs/cgroup/outer/inner/cgroup.controllers", "");
  write("/sys/fs/cgroup/outer/inner/cpu.max", "400000 100000\n");
  write("/sys/fs/cgroup/outer/cpu.max", "oops\n");
  write("/sys/fs/cgroup/cpu.max", "100000 100000\n");
  EXPECT_EQ(quota(), 4u);
}

TEST_F(FakeSystem, CgroupV2WithoutControllersFileHasNoQuota) {
  write("/proc/self/cgroup", "0::/app\n");
  write("/sys/fs/cgroup/app/cpu.max", "100000 100000\n");
  EXPECT_EQ(quota(), UINT64_MAX);
}

TEST_F(FakeSystem, CgroupV2UnreadableFileIsPassedOver) {
  // A dangling link cannot be opened, even by root.
  write("/proc/self/cgroup", "0::/app\n");
  write("/sys/fs/cgroup/app/cgroup.controllers", "");
  fs::create_symlink(root_ / "nowhere", root_ / "sys/fs/cgroup/app/cpu.max");
  write("/sys/fs/cgroup/cpu.max", "200000 100000\n");
  EXPECT_EQ(quota(), 2u);
}

TEST_F(FakeSystem, CgroupV2DirectoryInPlaceOfFileIsPassedOver) {
  write("/proc/self/cgroup", "0::/app\n");
  write("/sys/fs/cgroup/app/cgroup.controllers", "");
  mkdir("/sys/fs/cgroup/app/cpu.max");
  write("/sys/fs/cgroup/cpu.max", "200000 100000\n");
  EXPECT_EQ(quota(), 2u);
}

TEST_F(FakeSystem, CgroupV1CpuController) {
  write("/proc/self/cgroup", "3:memory:/x\n2:cpu,cpuacct:/app\n0::/\n");
  write("/sys/fs/cgroup/cpu,cpuacct/app/cpu.cfs_quota_us", "250000\n");
  write("/sys/fs/cgroup/cpu,cpuacct/app/cpu.cfs_period_us", " 100000 \n");
  EXPECT_EQ(quota(), 2u);
}

TEST_F(FakeSystem, CgroupV1PrefersTheCpuMountAndWalksUp) {
  write("/proc/self/cgroup", "0::/\n2:cpu:/a/b\n");
  mkdir("/sys/fs/cgroup/cpu/a/b");
  write("/sys/fs/cgroup/cpu/a/cpu.cfs_quota_us", "300000");
  write("/sys/fs/cgroup/cpu/a/cpu.cfs_period_us", "100000");
  write("/sys/fs/cgroup/cpu/cpu.cfs_quota_us", "-1");
  write("/sys/fs/cgroup/cpu/cpu.cfs_period_us", "100000");
  // Would give 1, but the first existing candidate ends the search.
  write("/sys/fs/cgroup/cpu,cpuacct/a/b/cpu.cfs_quota_us", "100000");
  write("/sys/fs/cgroup/cpu,cpuacct/a/b/cpu.cfs_period_us", "100000");
  EXPECT_EQ(quota(), 3u);
}

TEST_F(FakeSystem, CgroupV1EntryReplacesV2AndNotTheOtherWay) {
  write("/proc/self/cgroup", "2:cpu:/v1\n0::/v2\n");
  write("/sys/fs/cgroup/v2/cgroup.controllers", "");
  write("/sys/fs/cgroup/v2/cpu.max", "100000 100000\n");
  write("/sys/fs/cgroup/cpu/v1/cpu.cfs_quota_us", "500000");
  write("/sys/fs/cgroup/cpu/v1/cpu.cfs_period_us", "100000");
  EXPECT_EQ(quota(), 5u);
}

TEST_F(FakeSystem, CgroupV1MountFromMountinfo) {
  write("/proc/self/cgroup", "4:cpu,cpuacct:/docker/abc\n");
  write("/proc/self/mountinfo",
        "22 1 0:21 / /sys rw shared:7 - sysfs sysfs rw\n"
        "30 25 0:26 /docker /mnt/cg/cpu rw,nosuid shared:12 - cgroup cgroup rw,cpu,cpuacct\n");
  write("/mnt/cg/cpu/abc/cpu.cfs_quota_us", "200000\n");
  write("/mnt/cg/cpu/abc/cpu.cfs_period_us", "100000\n");
  EXPECT_EQ(quota(), 2u);
}

TEST_F(FakeSystem, CgroupV1MountinfoShortLineEndsTheSearch) {
  write("/proc/self/cgroup", "4:cpu:/abc\n");
  write("/proc/self/mountinfo",
        "1 2 3\n"
        "30 25 0:26 / /mnt/cg rw shared:12 - cgroup cgroup rw,cpu\n");
  write("/mnt/cg/abc/cpu.cfs_quota_us", "200000\n");
  write("/mnt/cg/abc/cpu.cfs_period_us", "100000\n");
  EXPECT_EQ(quota(), UINT64_MAX);
}

TEST_F(FakeSystem, CgroupV1MountinfoEmptyLineEndsTheSearch) {
  write("/proc/self/cgroup", "4:cpu:/abc\n");
  write("/proc/self/mountinfo",
        "\n"
        "30 25 0:26 / /mnt/cg rw shared:12 - cgroup cgroup rw,cpu\n");
  write("/mnt/cg/abc/cpu.cfs_quota_us", "200000\n");
  write("/mnt/cg/abc/cpu.cfs_period_us", "100000\n");
  EXPECT_EQ(quota(), UINT64_MAX);
}

TEST_F(FakeSystem, CgroupV1MountinfoNeedsTheCpuOption) {
  write("/proc/self/cgroup", "4:cpu:/abc\n");
  write("/proc/self/mountinfo",
        "30 25 0:26 / /mnt/cg rw shared:12 - cgroup cgroup rw,cpuacct\n"
        "31 25 0:27 / /mnt/cg2 rw shared:13 - tmpfs cgroup rw,cpu\n");
  write("/mnt/cg/abc/cpu.cfs_quota_us", "200000\n");
  write("/mnt/cg/abc/cpu.cfs_period_us", "100000\n");
  EXPECT_EQ(quota(), UINT64_MAX);
}

TEST_F(FakeSystem, MalformedCgroupLinesAreSkipped) {
  write("/proc/self/cgroup", "garbage\n7:cpu\n\n0::/app\n");
  write("/sys/fs/cgroup/app/cgroup.controllers", "");
  write("/sys/fs/cgroup/app/cpu.max", "700000 100000\n");
  EXPECT_EQ(quota(), 7u);
}

}  // namespace
}  // namespace quorvex
