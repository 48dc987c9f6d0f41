// How many worker threads the global pool starts: pure rules plus the readers of the platform
// facts they need, kept apart so the rules can be tested without touching the process.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace catenc::pool {

// The most threads the pool ever starts.
inline constexpr size_t max_threads = 255;

// An unsigned decimal number with an optional leading '+'. Anything else (a '-', blanks, other
// characters, a value that overflows size_t) is not a number.
std::optional<size_t> parse_count(std::string_view text);

struct ThreadCountInputs {
  std::optional<std::string> rayon_num_threads;  // "RAYON_NUM_THREADS", if set
  std::optional<std::string> rayon_rs_num_cpus;  // "RAYON_RS_NUM_CPUS", if set
  std::optional<size_t> affinity_cpus;           // CPUs in the affinity set, if readable
  std::optional<size_t> online_cpus;             // online CPUs, if known
  std::optional<size_t> cgroup_cpus;             // floor(quota / period), at least 1, if limited
};

// The thread count those inputs call for, capped at max_threads.
size_t resolve_thread_count(const ThreadCountInputs& inputs);

// The CPU limit that cgroups put on this process: cgroup v2 "cpu.max" or v1
// "cpu.cfs_quota_us"/"cpu.cfs_period_us", the smallest along the process's cgroup path from its
// own group up to the root. `proc_self_cgroup` is the text of /proc/self/cgroup, `mountinfo` that
// of /proc/self/mountinfo, and `root` prefixes every path read (tests point it at a fake tree).
std::optional<size_t> cgroup_cpu_limit(std::string_view proc_self_cgroup,
                                       std::string_view mountinfo, const std::string& root);

// Reads the environment, the affinity set, the online CPUs and the cgroup limit of this process.
ThreadCountInputs read_thread_count_inputs();

}  // namespace catenc::pool
