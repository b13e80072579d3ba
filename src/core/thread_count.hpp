// How many threads the worker pool gets. Written as pure functions of an
// environment lookup and a filesystem root so tests can drive every branch
// with fake /proc and /sys/fs/cgroup trees.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace quorvex {

inline constexpr std::uint64_t kMaxThreadCount = 65535;

// Strict unsigned decimal: an optional single '+', then one or more ASCII
// digits, nothing else, at most 2^64 - 1. Leading zeros are fine.
std::optional<std::uint64_t> parse_decimal_u64(std::string_view text);

struct SystemView {
  // Value of an environment variable, or nullopt when unset.
  std::function<std::optional<std::string>(const char* name)> environment;
  // Prefix under which /proc and /sys are read ("/" on a real system).
  std::filesystem::path root = "/";
  // CPUs in the calling thread's affinity mask, or nullopt if unknown.
  std::function<std::optional<std::uint64_t>()> affinity_cpus;
  // sysconf(_SC_NPROCESSORS_ONLN).
  std::function<long()> online_cpus;
};

// The real process: getenv, "/", sched_getaffinity and sysconf.
SystemView current_system();

// The CPU quota of the process's control group (v2 cpu.max or v1
// cfs_quota/cfs_period), or UINT64_MAX for none. Never fails: unreadable or
// malformed files leave the quota unchanged.
std::uint64_t cgroup_cpu_quota(const std::filesystem::path& root);

// min(affinity CPUs or online CPUs, max(quota, 1)), or nullopt if the CPU
// count cannot be determined.
std::optional<std::uint64_t> available_parallelism(const SystemView& system);

// RAYON_NUM_THREADS, then RAYON_RS_NUM_CPUS, then the available
// parallelism (1 if unknown); at most kMaxThreadCount.
std::uint64_t pool_thread_count_for(const SystemView& system);

}  // namespace quorvex
