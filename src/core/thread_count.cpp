#include "thread_count.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>
#include <vector>

namespace catenc::pool {

std::optional<size_t> parse_count(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  // After the sign there must be digits and nothing else; "+" alone is no number.
  if (text.empty()) return std::nullopt;
  size_t value = 0;
  constexpr size_t max = std::numeric_limits<size_t>::max();
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<size_t>(c - '0');
    if (value > (max - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

size_t resolve_thread_count(const ThreadCountInputs& inputs) {
  const auto count_from = [](const std::optional<std::string>& variable) -> std::optional<size_t> {
    return variable ? parse_count(*variable) : std::nullopt;
  };
  const auto default_count = [&]() -> size_t {
    // An empty affinity set or zero online CPUs is no answer: fall through as if unreadable.
    std::optional<size_t> cpus = inputs.affinity_cpus;
    if (!cpus || *cpus == 0) cpus = inputs.online_cpus;
    if (!cpus || *cpus == 0) return 1;
    if (inputs.cgroup_cpus) return std::max<size_t>(1, std::min(*cpus, *inputs.cgroup_cpus));
    return *cpus;
  };

  size_t count = 0;
  const std::optional<size_t> num_threads = count_from(inputs.rayon_num_threads);
  if (num_threads && *num_threads > 0) {
    count = *num_threads;
  } else if (num_threads) {
    // 0 asks for the default outright; RAYON_RS_NUM_CPUS is only consulted when this is unusable.
    count = default_count();
  } else {
    const std::optional<size_t> num_cpus = count_from(inputs.rayon_rs_num_cpus);
    count = num_cpus && *num_cpus > 0 ? *num_cpus : default_count();
  }
  return std::min(count, max_threads);
}

namespace {

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  while (true) {
    const size_t end = text.find(separator);
    parts.push_back(text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return parts;
}

std::vector<std::string_view> lines(std::string_view text) {
  std::vector<std::string_view> result;
  for (std::string_view line : split(text, '\n')) {
    if (!line.empty()) result.push_back(line);
  }
  return result;
}

bool has_item(std::string_view comma_list, std::string_view item) {
  const std::vector<std::string_view> items = split(comma_list, ',');
  return std::find(items.begin(), items.end(), item) != items.end();
}

// mountinfo writes blanks, tabs, newlines and backslashes in paths as three-digit octal escapes.
std::string unescape_mount_path(std::string_view field) {
  std::string path;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() &&
        field.substr(i + 1, 3).find_first_not_of("01234567") == std::string_view::npos) {
      const int code = (field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0');
      path.push_back(static_cast<char>(code));
      i += 3;
    } else {
      path.push_back(field[i]);
    }
  }
  return path;
}

struct Hierarchy {
  std::string mount_point;  // where the hierarchy is mounted
  std::string group;        // the process's group below the mount point, "" for the mount itself
};

// Finds the mount of a hierarchy that contains `group_path` (a path from /proc/self/cgroup) and
// the part of that path below the mount: a container's mount may show only a subtree.
std::optional<Hierarchy> find_hierarchy(std::string_view mountinfo, std::string_view group_path,
                                        bool v2) {
  for (std::string_view line : lines(mountinfo)) {
    const std::vector<std::string_view> fields = split(line, ' ');
    // The optional fields between the mount options and "-" vary in number.
    const auto dash = std::find(fields.begin(), fields.end(), std::string_view("-"));
    if (fields.size() < 5 || dash == fields.end() || fields.end() - dash < 4 ||
        dash - fields.begin() < 6) {
      continue;
    }
    const std::string_view fstype = dash[1];
    const std::string_view super_options = dash[3];
    if (v2 ? fstype != "cgroup2" : fstype != "cgroup" || !has_item(super_options, "cpu")) {
      continue;
    }
    std::string mount_root = unescape_mount_path(fields[3]);
    while (!mount_root.empty() && mount_root.back() == '/') mount_root.pop_back();
    if (group_path.substr(0, mount_root.size()) != mount_root) continue;
    std::string_view below = group_path.substr(mount_root.size());
    // "/a/bc" does not lie below a mount of "/a/b".
    if (!below.empty() && below.front() != '/') continue;
    while (!below.empty() && below.front() == '/') below.remove_prefix(1);
    while (!below.empty() && below.back() == '/') below.remove_suffix(1);
    return Hierarchy{unescape_mount_path(fields[4]), std::string(below)};
  }
  return std::nullopt;
}

std::optional<std::string> read_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  std::ostringstream text;
  text << file.rdbuf();
  if (file.bad()) return std::nullopt;
  return std::move(text).str();
}

std::string_view trim(std::string_view text) {
  const size_t first = text.find_first_not_of(" \t\n");
  if (first == std::string_view::npos) return {};
  const size_t last = text.find_last_not_of(" \t\n");
  return text.substr(first, last - first + 1);
}

std::optional<size_t> cpus_of(std::optional<size_t> quota, std::optional<size_t> period) {
  if (!quota || !period || *period == 0) return std::nullopt;
  return std::max<size_t>(1, *quota / *period);
}

// "max 100000" is no limit; "150000 100000" is one and a half CPUs.
std::optional<size_t> v2_limit(const std::string& dir) {
  const std::optional<std::string> text = read_file(dir + "/cpu.max");
  if (!text) return std::nullopt;
  const std::vector<std::string_view> fields = split(trim(*text), ' ');
  if (fields.size() != 2) return std::nullopt;
  return cpus_of(parse_count(fields[0]), parse_count(fields[1]));
}

// A quota of -1 is no limit, and parse_count refuses it as it should.
std::optional<size_t> v1_limit(const std::string& dir) {
  const auto number = [&](const char* name) -> std::optional<size_t> {
    const std::optional<std::string> text = read_file(dir + "/" + name);
    return text ? parse_count(trim(*text)) : std::nullopt;
  };
  return cpus_of(number("cpu.cfs_quota_us"), number("cpu.cfs_period_us"));
}

// A parent's limit also binds its children, so the smallest limit from the group up to the mount
// is the one that counts.
template <class Limit>
std::optional<size_t> smallest_limit(const std::string& root, const Hierarchy& hierarchy,
                                     Limit limit_in) {
  std::optional<size_t> smallest;
  std::string mount = root + hierarchy.mount_point;
  while (!mount.empty() && mount.back() == '/') mount.pop_back();
  std::string group = hierarchy.group;
  while (true) {
    const std::optional<size_t> limit = limit_in(group.empty() ? mount : mount + "/" + group);
    if (limit && (!smallest || *limit < *smallest)) smallest = limit;
    if (group.empty()) break;
    const size_t slash = group.rfind('/');
    group.resize(slash == std::string::npos ? 0 : slash);
  }
  return smallest;
}

}  // namespace

std::optional<size_t> cgroup_cpu_limit(std::string_view proc_self_cgroup,
                                       std::string_view mountinfo, const std::string& root) {
  // Hybrid systems list a v2 group and v1 controllers side by side; the cpu controller may sit in
  // either, so both are looked at and the tighter limit wins.
  std::optional<size_t> result;
  const auto take = [&](std::optional<size_t> limit) {
    if (limit && (!result || *limit < *result)) result = limit;
  };
  for (std::string_view line : lines(proc_self_cgroup)) {
    const size_t first = line.find(':');
    const size_t second = first == std::string_view::npos ? first : line.find(':', first + 1);
    if (second == std::string_view::npos) continue;
    const std::string_view id = line.substr(0, first);
    const std::string_view controllers = line.substr(first + 1, second - first - 1);
    const std::string_view path = line.substr(second + 1);
    if (id == "0" && controllers.empty()) {
      if (auto hierarchy = find_hierarchy(mountinfo, path, true)) {
        take(smallest_limit(root, *hierarchy, v2_limit));
      }
    } else if (has_item(controllers, "cpu")) {
      if (auto hierarchy = find_hierarchy(mountinfo, path, false)) {
        take(smallest_limit(root, *hierarchy, v1_limit));
      }
    }
  }
  return result;
}

namespace {

std::optional<std::string> environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::optional<std::string>(value) : std::nullopt;
}

std::optional<size_t> affinity_cpus() {
  // The set must be large enough for the kernel's CPU mask, which may exceed CPU_SETSIZE.
  for (size_t cpus = 1024; cpus <= (size_t{1} << 22); cpus *= 2) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    if (set == nullptr) return std::nullopt;
    const size_t bytes = CPU_ALLOC_SIZE(cpus);
    CPU_ZERO_S(bytes, set);
    const int status = sched_getaffinity(0, bytes, set);
    const int count = status == 0 ? CPU_COUNT_S(bytes, set) : 0;
    CPU_FREE(set);
    if (status == 0)
      return count > 0 ? std::optional<size_t>(static_cast<size_t>(count)) : std::nullopt;
    if (errno != EINVAL) return std::nullopt;
  }
  return std::nullopt;
}

std::optional<size_t> online_cpus() {
  const long count = sysconf(_SC_NPROCESSORS_ONLN);
  return count > 0 ? std::optional<size_t>(static_cast<size_t>(count)) : std::nullopt;
}

}  // namespace

ThreadCountInputs read_thread_count_inputs() {
  ThreadCountInputs inputs;
  inputs.rayon_num_threads = environment("RAYON_NUM_THREADS");
  inputs.rayon_rs_num_cpus = environment("RAYON_RS_NUM_CPUS");
  inputs.affinity_cpus = affinity_cpus();
  inputs.online_cpus = online_cpus();
  const std::optional<std::string> cgroup = read_file("/proc/self/cgroup");
  const std::optional<std::string> mountinfo = read_file("/proc/self/mountinfo");
  if (cgroup && mountinfo) inputs.cgroup_cpus = cgroup_cpu_limit(*cgroup, *mountinfo, "");
  return inputs;
}

}  // namespace catenc::pool
