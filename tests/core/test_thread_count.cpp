// How many threads the global pool starts: the number rules, the environment precedence, the cap
// and the cgroup CPU limits (on fake cgroup trees in a temporary directory).
#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>

#include "check.hpp"
#include "thread_count.hpp"

using catenc::pool::cgroup_cpu_limit;
using catenc::pool::max_threads;
using catenc::pool::parse_count;
using catenc::pool::read_thread_count_inputs;
using catenc::pool::resolve_thread_count;
using catenc::pool::ThreadCountInputs;

namespace {

std::string show(std::optional<size_t> value) {
  return value ? std::to_string(*value) : std::string("none");
}

}  // namespace

TEST(pool_thread_count_parse_count) {
  const struct {
    const char* text;
    std::optional<size_t> expected;
  } cases[] = {
      {"8", 8},
      {"+8", 8},
      {"0", 0},
      {"+0", 0},
      {"007", 7},
      {"1000", 1000},
      {"18446744073709551615", 18446744073709551615u},
      {"18446744073709551616", std::nullopt},
      {"99999999999999999999999", std::nullopt},
      {"-2", std::nullopt},
      {"-0", std::nullopt},
      {" 8", std::nullopt},
      {"8 ", std::nullopt},
      {"\t8", std::nullopt},
      {"8\n", std::nullopt},
      {"abc", std::nullopt},
      {"8a", std::nullopt},
      {"0x10", std::nullopt},
      {"1e3", std::nullopt},
      {"", std::nullopt},
      {"+", std::nullopt},
      {"++8", std::nullopt},
      {"+-8", std::nullopt},
      {"\xef\xbc\x98", std::nullopt},  // a full-width 8
  };
  for (const auto& c : cases) {
    const std::optional<size_t> got = parse_count(c.text);
    if (got != c.expected) {
      check::fail(__FILE__, __LINE__,
                  std::string("parse_count(\"") + c.text + "\") is " + show(got) + ", expected " +
                      show(c.expected));
    }
  }
}

TEST(pool_thread_count_resolve) {
  using S = std::optional<std::string>;
  using N = std::optional<size_t>;
  const auto none = std::nullopt;
  const struct {
    const char* name;
    ThreadCountInputs inputs;  // num_threads, rs_num_cpus, affinity, online, cgroup
    size_t expected;
  } cases[] = {
      {"num_threads wins", {S("8"), S("5"), N(2), N(2), N(1)}, 8},
      {"plus sign", {S("+3"), none, N(2), N(2), none}, 3},
      {"0 gives the default at once", {S("0"), S("5"), N(2), N(4), none}, 2},
      {"word falls to rs_num_cpus", {S("abc"), S("5"), N(2), N(2), none}, 5},
      {"negative falls to rs_num_cpus", {S("-2"), S("5"), N(2), N(2), none}, 5},
      {"blank-padded falls to rs_num_cpus", {S(" 4"), S("5"), N(2), N(2), none}, 5},
      {"word and no rs_num_cpus", {S("abc"), none, N(3), N(8), none}, 3},
      {"unset uses rs_num_cpus", {none, S("6"), N(2), N(2), none}, 6},
      {"rs_num_cpus 0 gives default", {none, S("0"), N(2), N(2), none}, 2},
      {"rs_num_cpus word gives default", {none, S("x"), N(2), N(2), none}, 2},
      {"1000 is capped", {S("1000"), none, N(2), N(2), none}, 255},
      {"255 stays", {S("255"), none, N(2), N(2), none}, 255},
      {"256 is capped", {S("256"), none, N(2), N(2), none}, 255},
      {"overflow is no number", {S("18446744073709551616"), S("7"), N(2), N(2), none}, 7},
      {"rs_num_cpus capped", {none, S("1000"), N(2), N(2), none}, 255},
      {"affinity before online", {none, none, N(4), N(8), none}, 4},
      {"online without affinity", {none, none, none, N(8), none}, 8},
      {"empty affinity set is unknown", {none, none, N(0), N(6), none}, 6},
      {"affinity lowered by cgroup", {none, none, N(16), N(16), N(3)}, 3},
      {"online lowered by cgroup", {none, none, none, N(16), N(2)}, 2},
      {"cgroup above cpu count", {none, none, N(8), N(8), N(100)}, 8},
      {"environment ignores cgroup", {S("4"), none, N(8), N(8), N(1)}, 4},
      {"default capped", {none, none, N(300), N(300), none}, 255},
      {"nothing known", {none, none, none, none, none}, 1},
      {"cgroup alone is no count", {none, none, none, none, N(4)}, 1},
      {"zero online is unknown", {none, none, none, N(0), none}, 1},
  };
  for (const auto& c : cases) {
    const size_t got = resolve_thread_count(c.inputs);
    if (got != c.expected) {
      check::fail(__FILE__, __LINE__,
                  std::string(c.name) + ": " + std::to_string(got) + " threads, expected " +
                      std::to_string(c.expected));
    }
  }
  CHECK_EQ(max_threads, size_t{255});
}

namespace {

// A throwaway directory that the cgroup readers treat as the file system root.
class FakeRoot {
 public:
  FakeRoot() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "catenc-cgroup-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~FakeRoot() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  FakeRoot(const FakeRoot&) = delete;
  FakeRoot& operator=(const FakeRoot&) = delete;

  void write(const std::string& file, const std::string& text) const {
    const std::filesystem::path full = path_ + file;
    std::filesystem::create_directories(full.parent_path());
    std::ofstream(full) << text;
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

const char* const v2_mount =
    "41 31 0:38 / /sys/fs/cgroup rw,relatime shared:9 - cgroup2 cgroup2 rw\n";
const char* const v1_mounts =
    "33 31 0:30 / /sys/fs/cgroup/cpuacct rw,relatime - cgroup cgroup rw,cpuacct\n"
    "32 31 0:29 / /sys/fs/cgroup/cpu rw,relatime shared:5 - cgroup cgroup rw,cpu\n";

}  // namespace

TEST(pool_thread_count_cgroup_limits) {
  const struct {
    const char* name;
    const char* cgroup;
    std::string mountinfo;
    std::map<std::string, std::string> files;
    std::optional<size_t> expected;
  } cases[] = {
      {"v2 unlimited",
       "0::/a/b\n",
       v2_mount,
       {{"/sys/fs/cgroup/cpu.max", "max 100000\n"},
        {"/sys/fs/cgroup/a/cpu.max", "max 100000\n"},
        {"/sys/fs/cgroup/a/b/cpu.max", "max 100000\n"}},
       std::nullopt},
      {"v2 own group",
       "0::/a/b\n",
       v2_mount,
       {{"/sys/fs/cgroup/a/b/cpu.max", "300000 100000\n"}},
       3},
      {"v2 parent binds",
       "0::/a/b\n",
       v2_mount,
       {{"/sys/fs/cgroup/a/cpu.max", "400000 100000\n"},
        {"/sys/fs/cgroup/a/b/cpu.max", "max 100000\n"}},
       4},
      {"v2 smallest of nested",
       "0::/a/b\n",
       v2_mount,
       {{"/sys/fs/cgroup/cpu.max", "800000 100000\n"},
        {"/sys/fs/cgroup/a/cpu.max", "400000 100000\n"},
        {"/sys/fs/cgroup/a/b/cpu.max", "150000 100000\n"}},
       1},
      {"v2 fraction rounds down",
       "0::/a\n",
       v2_mount,
       {{"/sys/fs/cgroup/a/cpu.max", "250000 100000"}},
       2},
      {"v2 below one cpu is one",
       "0::/a\n",
       v2_mount,
       {{"/sys/fs/cgroup/a/cpu.max", "50000 100000\n"}},
       1},
      {"v2 zero period ignored",
       "0::/a\n",
       v2_mount,
       {{"/sys/fs/cgroup/a/cpu.max", "50000 0\n"}},
       std::nullopt},
      {"v2 root group", "0::/\n", v2_mount, {{"/sys/fs/cgroup/cpu.max", "200000 100000\n"}}, 2},
      {"v2 no files", "0::/a\n", v2_mount, {}, std::nullopt},
      {"v2 not mounted",
       "0::/a\n",
       v1_mounts,
       {{"/sys/fs/cgroup/a/cpu.max", "100000 100000\n"}},
       std::nullopt},
      {"v2 container mount shows a subtree",
       "0::/docker/x/inner\n",
       "41 31 0:38 /docker/x /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n",
       {{"/sys/fs/cgroup/cpu.max", "200000 100000\n"},
        {"/sys/fs/cgroup/inner/cpu.max", "max 100000\n"}},
       2},
      {"v2 group outside the mounted subtree",
       "0::/docker/xy\n",
       "41 31 0:38 /docker/x /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n",
       {{"/sys/fs/cgroup/cpu.max", "200000 100000\n"}},
       std::nullopt},
      {"v2 escaped mount point",
       "0::/a\n",
       "41 31 0:38 / /sys/fs/c\\040g rw - cgroup2 cgroup2 rw\n",
       {{"/sys/fs/c g/a/cpu.max", "200000 100000\n"}},
       2},
      {"v1 nested groups",
       "4:cpu,cpuacct:/grp/sub\n2:memory:/grp\n",
       "32 31 0:29 / /sys/fs/cgroup/cpu,cpuacct rw,relatime shared:5 - cgroup cgroup "
       "rw,cpu,cpuacct\n",
       {{"/sys/fs/cgroup/cpu,cpuacct/grp/cpu.cfs_quota_us", "300000\n"},
        {"/sys/fs/cgroup/cpu,cpuacct/grp/cpu.cfs_period_us", "100000\n"},
        {"/sys/fs/cgroup/cpu,cpuacct/grp/sub/cpu.cfs_quota_us", "-1\n"},
        {"/sys/fs/cgroup/cpu,cpuacct/grp/sub/cpu.cfs_period_us", "100000\n"}},
       3},
      {"v1 quota -1 everywhere",
       "1:cpu:/grp\n",
       v1_mounts,
       {{"/sys/fs/cgroup/cpu/cpu.cfs_quota_us", "-1\n"},
        {"/sys/fs/cgroup/cpu/cpu.cfs_period_us", "100000\n"},
        {"/sys/fs/cgroup/cpu/grp/cpu.cfs_quota_us", "-1\n"},
        {"/sys/fs/cgroup/cpu/grp/cpu.cfs_period_us", "100000\n"}},
       std::nullopt},
      {"v1 cpuacct-only mount is not the cpu one",
       "2:cpuacct:/\n1:cpu:/\n",
       v1_mounts,
       {{"/sys/fs/cgroup/cpuacct/cpu.cfs_quota_us", "100000\n"},
        {"/sys/fs/cgroup/cpuacct/cpu.cfs_period_us", "100000\n"},
        {"/sys/fs/cgroup/cpu/cpu.cfs_quota_us", "500000\n"},
        {"/sys/fs/cgroup/cpu/cpu.cfs_period_us", "100000\n"}},
       5},
      {"v1 quota without period",
       "1:cpu:/\n",
       v1_mounts,
       {{"/sys/fs/cgroup/cpu/cpu.cfs_quota_us", "500000\n"}},
       std::nullopt},
      {"hybrid takes the tighter",
       "1:cpu:/\n0::/\n",
       std::string(v1_mounts) + v2_mount,
       {{"/sys/fs/cgroup/cpu/cpu.cfs_quota_us", "300000\n"},
        {"/sys/fs/cgroup/cpu/cpu.cfs_period_us", "100000\n"},
        {"/sys/fs/cgroup/cpu.max", "200000 100000\n"}},
       2},
      {"garbage proc text", "nonsense\n::\n", "garbage line\n", {}, std::nullopt},
  };
  for (const auto& c : cases) {
    const FakeRoot root;
    for (const auto& [file, text] : c.files) root.write(file, text);
    const std::optional<size_t> got = cgroup_cpu_limit(c.cgroup, c.mountinfo, root.path());
    if (got != c.expected) {
      check::fail(__FILE__, __LINE__,
                  std::string(c.name) + ": limit " + show(got) + ", expected " + show(c.expected));
    }
  }
}

TEST(pool_thread_count_reads_this_process) {
  const char* saved = std::getenv("RAYON_NUM_THREADS");
  const std::optional<std::string> before =
      saved ? std::optional<std::string>(saved) : std::nullopt;
  setenv("RAYON_NUM_THREADS", "+7", 1);
  const ThreadCountInputs inputs = read_thread_count_inputs();
  if (before) {
    setenv("RAYON_NUM_THREADS", before->c_str(), 1);
  } else {
    unsetenv("RAYON_NUM_THREADS");
  }
  CHECK(inputs.rayon_num_threads == std::optional<std::string>("+7"));
  CHECK_EQ(resolve_thread_count(inputs), size_t{7});
  REQUIRE(inputs.affinity_cpus.has_value());
  REQUIRE(inputs.online_cpus.has_value());
  CHECK(*inputs.affinity_cpus >= 1);
  CHECK(*inputs.affinity_cpus <= *inputs.online_cpus);
}
