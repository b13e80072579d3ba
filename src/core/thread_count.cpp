#include "thread_count.hpp"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <limits>
#include <vector>

namespace quorvex {
namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kNoQuota = std::numeric_limits<std::uint64_t>::max();

bool is_valid_utf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    std::uint32_t code = 0;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2;
      code = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3;
      code = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4;
      code = lead & 0x07;
    } else {
      return false;
    }
    if (i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    const std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < smallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
      return false;
    }
    i += length;
  }
  return true;
}

// The whole file, or nullopt if it cannot be opened or read (a directory,
// say: opening one succeeds, reading it does not).
std::optional<std::string> read_file(const fs::path& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string contents;
  char buffer[4096];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      close(fd);
      return std::nullopt;
    }
    if (got == 0) break;
    contents.append(buffer, static_cast<std::size_t>(got));
  }
  close(fd);
  return contents;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t at = text.find(separator, start);
    parts.push_back(text.substr(start, at == std::string_view::npos ? at : at - start));
    if (at == std::string_view::npos) return parts;
    start = at + 1;
  }
}

std::string_view trim(std::string_view text) {
  const auto is_space = [](char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
  };
  while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
  return text;
}

// The logical path (as the process sees it) under the test root.
fs::path under(const fs::path& root, const fs::path& logical) {
  return root / logical.relative_path();
}

// Whether `path` starts with `base`, by whole components.
bool lies_under(const fs::path& path, const fs::path& base) {
  auto p = path.begin();
  for (auto b = base.begin(); b != base.end(); ++b, ++p) {
    if (b->empty()) continue;  // a trailing separator
    if (p == path.end() || *p != *b) return false;
  }
  return true;
}

// base joined with a group path that may be empty.
fs::path join(const fs::path& base, const std::string& group) {
  return group.empty() ? base : base / group;
}

struct CgroupEntry {
  bool version1 = false;
  std::string group;  // the path without its leading '/'
};

std::optional<CgroupEntry> choose_cgroup(std::string_view contents) {
  std::optional<CgroupEntry> chosen;
  for (std::string_view line : split(contents, '\n')) {
    const std::size_t first = line.find(':');
    if (first == std::string_view::npos) continue;
    const std::size_t second = line.find(':', first + 1);
    if (second == std::string_view::npos) continue;
    const std::string_view controllers = line.substr(first + 1, second - first - 1);
    const std::string_view path = line.substr(second + 1);
    const std::string group(path.empty() ? path : path.substr(1));
    if (controllers.empty()) {
      if (!chosen) chosen = CgroupEntry{false, group};
    } else if (is_valid_utf8(controllers)) {
      const auto items = split(controllers, ',');
      if (std::find(items.begin(), items.end(), "cpu") != items.end()) {
        chosen = CgroupEntry{true, group};
      }
    }
  }
  return chosen;
}

void apply_quota(std::uint64_t& quota, std::uint64_t limit, std::uint64_t period) {
  if (period > 0) quota = std::min(quota, limit / period);
}

void cgroup_v2_quota(const fs::path& root, const std::string& group, std::uint64_t& quota) {
  const fs::path base = "/sys/fs/cgroup";
  fs::path dir = join(base, group);
  std::error_code error;
  if (!fs::exists(under(root, dir / "cgroup.controllers"), error)) return;
  while (lies_under(dir, base)) {
    if (const auto contents = read_file(under(root, dir / "cpu.max"))) {
      const std::string_view first_line = split(*contents, '\n').front();
      const auto fields = split(first_line, ' ');
      if (contents->empty() || fields.size() < 2) return;
      const auto limit = parse_decimal_u64(fields[0]);
      const auto period = parse_decimal_u64(fields[1]);
      if (limit && period) apply_quota(quota, *limit, *period);
    }
    if (!dir.has_relative_path()) break;
    dir = dir.parent_path();
  }
}

struct MountCandidate {
  fs::path mount_point;
  std::string group;
};

// The cgroup v1 cpu mount from /proc/self/mountinfo, with the group path
// made relative to that mount's root.
std::optional<MountCandidate> cgroup_v1_mount(const fs::path& root, const std::string& group) {
  const auto contents = read_file(under(root, "/proc/self/mountinfo"));
  if (!contents) return std::nullopt;
  const fs::path group_path = group;
  auto lines = split(*contents, '\n');
  if (lines.back().empty()) lines.pop_back();  // the final line feed ends a line, not starts one
  for (std::string_view raw : lines) {
    const std::string_view line = trim(raw);
    const auto fields = split(line, ' ');
    if (fields.size() < 8) return std::nullopt;
    const std::string_view mount_root = fields[3];
    const std::string_view mount_point = fields[4];
    const std::string_view super_options = fields[fields.size() - 1];
    const std::string_view type = fields[fields.size() - 3];
    const auto options = split(super_options, ',');
    if (type != "cgroup" || std::find(options.begin(), options.end(), "cpu") == options.end()) {
      continue;
    }
    const fs::path stripped_root = fs::path(mount_root).relative_path();
    if (!lies_under(group_path, stripped_root)) continue;
    const fs::path relative = group_path.lexically_relative(stripped_root);
    return MountCandidate{fs::path(mount_point),
                          relative == "." ? std::string() : relative.string()};
  }
  return std::nullopt;
}

std::optional<std::uint64_t> read_decimal_file(const fs::path& path) {
  const auto contents = read_file(path);
  if (!contents) return std::nullopt;
  return parse_decimal_u64(trim(*contents));
}

void cgroup_v1_quota(const fs::path& root, const std::string& group, std::uint64_t& quota) {
  std::vector<MountCandidate> candidates = {{"/sys/fs/cgroup/cpu", group},
                                            {"/sys/fs/cgroup/cpu,cpuacct", group}};
  bool looked_up_mountinfo = false;
  for (std::size_t i = 0;; ++i) {
    if (i == candidates.size()) {
      if (looked_up_mountinfo) return;
      looked_up_mountinfo = true;
      auto found = cgroup_v1_mount(root, group);
      if (!found) return;
      candidates.push_back(*found);
    }
    const MountCandidate& candidate = candidates[i];
    fs::path dir = join(candidate.mount_point, candidate.group);
    std::error_code error;
    const bool exists = fs::exists(under(root, dir), error);
    if (!exists && (!error || error == std::errc::no_such_file_or_directory)) continue;
    while (lies_under(dir, candidate.mount_point)) {
      const auto limit = read_decimal_file(under(root, dir / "cpu.cfs_quota_us"));
      const auto period = read_decimal_file(under(root, dir / "cpu.cfs_period_us"));
      if (limit && period) apply_quota(quota, *limit, *period);
      if (!dir.has_relative_path()) break;
      dir = dir.parent_path();
    }
    return;
  }
}

std::optional<std::uint64_t> requested_count(const SystemView& system, const char* name,
                                             bool& explicit_default) {
  const auto value = system.environment(name);
  if (!value || !is_valid_utf8(*value)) return std::nullopt;
  const auto parsed = parse_decimal_u64(*value);
  if (!parsed) return std::nullopt;
  if (*parsed == 0) {
    explicit_default = true;
    return std::nullopt;
  }
  return parsed;
}

}  // namespace

std::optional<std::uint64_t> parse_decimal_u64(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
    if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::uint64_t cgroup_cpu_quota(const fs::path& root) {
  std::uint64_t quota = kNoQuota;
  const auto contents = read_file(under(root, "/proc/self/cgroup"));
  if (!contents) return quota;
  const auto entry = choose_cgroup(*contents);
  if (!entry) return quota;
  if (entry->version1) {
    cgroup_v1_quota(root, entry->group, quota);
  } else {
    cgroup_v2_quota(root, entry->group, quota);
  }
  return quota;
}

std::optional<std::uint64_t> available_parallelism(const SystemView& system) {
  const std::uint64_t quota = std::max<std::uint64_t>(cgroup_cpu_quota(system.root), 1);
  if (const auto cpus = system.affinity_cpus(); cpus && *cpus != 0) {
    return std::min(*cpus, quota);
  }
  const long online = system.online_cpus();
  if (online == -1 || online == 0) return std::nullopt;
  return std::min(static_cast<std::uint64_t>(online), quota);
}

std::uint64_t pool_thread_count_for(const SystemView& system) {
  bool explicit_default = false;
  auto requested = requested_count(system, "RAYON_NUM_THREADS", explicit_default);
  if (!requested && !explicit_default) {
    requested = requested_count(system, "RAYON_RS_NUM_CPUS", explicit_default);
  }
  const std::uint64_t count = requested ? *requested : available_parallelism(system).value_or(1);
  return std::min(count, kMaxThreadCount);
}

SystemView current_system() {
  SystemView system;
  system.environment = [](const char* name) -> std::optional<std::string> {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
  };
  system.affinity_cpus = []() -> std::optional<std::uint64_t> {
    cpu_set_t mask;  // 128 bytes: 1024 CPUs
    CPU_ZERO(&mask);
    if (sched_getaffinity(0, sizeof mask, &mask) != 0) return std::nullopt;
    return static_cast<std::uint64_t>(CPU_COUNT(&mask));
  };
  system.online_cpus = [] { return sysconf(_SC_NPROCESSORS_ONLN); };
  return system;
}

}  // namespace quorvex
