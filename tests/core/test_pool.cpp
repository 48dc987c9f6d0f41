// The worker pool and the ordered operations on it: results independent of the thread count,
// nesting, failures, several submitters, uneven work, and the global pool of a fresh process.
#include <dirent.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <numeric>
#include <optional>
#include <random>
#include <set>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "check.hpp"
#include "pool.hpp"
#include "pool_ops.hpp"

extern char** environ;

using catenc::Failure;
using catenc::Outcome;
using catenc::Status;
using catenc::unexpected;
namespace pool = catenc::pool;

namespace {

constexpr size_t pool_sizes[] = {1, 2, 8};

// Runs `body(threads)` on a worker of a fresh pool of each size.
template <class Body>
void in_each_pool(Body body) {
  for (const size_t threads : pool_sizes) {
    pool::ThreadPool workers(threads);
    const Status status = workers.install([&]() -> Status {
      body(threads);
      return {};
    });
    CHECK(status.ok());
  }
}

std::vector<int> random_ints(size_t n, int distinct, unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> value(0, distinct - 1);
  std::vector<int> items(n);
  for (int& item : items) item = value(random);
  return items;
}

// Waits for `condition` with a deadline, so that a broken pool fails the test instead of hanging.
template <class Condition>
bool wait_for(Condition condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

// result[i] = f(items[i]), computed in pieces of a for_range, as the encoder fans its columns
// out; f may return a value or an Outcome of one.
template <class T, class F>
auto map_items(std::span<const T> items, F f) {
  using R = std::invoke_result_t<F&, const T&>;
  if constexpr (requires(R r) {
                  r.ok();
                  r.value();
                }) {
    using V = std::remove_cvref_t<decltype(std::declval<R&>().value())>;
    std::vector<std::optional<V>> cells(items.size());
    Status status = pool::for_range(items.size(), 1, [&](size_t lo, size_t hi) -> Status {
      for (size_t i = lo; i < hi; ++i) {
        R result = f(items[i]);
        if (!result) return std::move(result).pass();
        cells[i].emplace(std::move(result).value());
      }
      return {};
    });
    if (!status) return Outcome<std::vector<V>>(std::move(status).pass());
    std::vector<V> values;
    for (auto& cell : cells) values.push_back(std::move(*cell));
    return Outcome<std::vector<V>>(std::move(values));
  } else {
    std::vector<std::optional<R>> cells(items.size());
    Status status = pool::for_range(items.size(), 1, [&](size_t lo, size_t hi) -> Status {
      for (size_t i = lo; i < hi; ++i) cells[i].emplace(f(items[i]));
      return {};
    });
    if (!status) return Outcome<std::vector<R>>(std::move(status).pass());
    std::vector<R> values;
    for (auto& cell : cells) values.push_back(std::move(*cell));
    return Outcome<std::vector<R>>(std::move(values));
  }
}

}  // namespace

TEST(pool_sort_matches_sequential_on_1_2_8_threads) {
  const std::vector<int> items = random_ints(20000, 500, 1);
  std::vector<int> sorted = items;
  std::sort(sorted.begin(), sorted.end());
  in_each_pool([&](size_t threads) {
    std::vector<int> to_sort = items;
    CHECK(pool::sort_unstable(std::span<int>(to_sort), std::less<int>()).ok());
    CHECK(to_sort == sorted);
    if (to_sort != sorted) std::fprintf(stderr, "  with %zu threads\n", threads);
  });
}

TEST(pool_sort_unstable_edge_inputs) {
  const size_t cutoff = pool::detail::sort_cutoff;
  std::vector<std::pair<std::string, std::vector<int>>> inputs = {
      {"empty", {}},
      {"one", {5}},
      {"two reversed", {2, 1}},
      {"all equal", std::vector<int>(30000, 4)},
      {"cutoff - 1", random_ints(cutoff - 1, 100, 2)},
      {"cutoff", random_ints(cutoff, 100, 3)},
      {"cutoff + 1", random_ints(cutoff + 1, 100, 4)},
      {"two values", random_ints(40000, 2, 5)},
      {"random", random_ints(100000, 1 << 30, 6)},
  };
  std::vector<int> ascending(30000), pipe(30001), saw(30000);
  std::iota(ascending.begin(), ascending.end(), 0);
  for (size_t i = 0; i < pipe.size(); ++i) pipe[i] = static_cast<int>(std::min(i, pipe.size() - i));
  for (size_t i = 0; i < saw.size(); ++i) saw[i] = static_cast<int>(i % 1000);
  inputs.emplace_back("ascending", ascending);
  inputs.emplace_back("descending", std::vector<int>(ascending.rbegin(), ascending.rend()));
  inputs.emplace_back("organ pipe", pipe);
  inputs.emplace_back("sawtooth", saw);

  // A strict weak order with large classes of equivalent, unequal items.
  const auto by_tens = [](int a, int b) { return a / 10 < b / 10; };
  for (const size_t threads : {size_t{1}, size_t{8}}) {
    pool::ThreadPool workers(threads);
    for (const auto& [name, input] : inputs) {
      std::vector<int> expected = input;
      std::sort(expected.begin(), expected.end(), std::greater<int>());
      std::vector<int> got = input;
      Status status = workers.install(
          [&] { return pool::sort_unstable(std::span<int>(got), std::greater<int>()); });
      if (!status.ok() || got != expected) {
        check::fail(__FILE__, __LINE__,
                    name + ": wrong order on " + std::to_string(threads) + " threads");
      }
      std::vector<int> weak = input;
      status = workers.install([&] { return pool::sort_unstable(std::span<int>(weak), by_tens); });
      std::vector<int> same_items = weak;
      std::sort(same_items.begin(), same_items.end());
      std::vector<int> input_items = input;
      std::sort(input_items.begin(), input_items.end());
      if (!status.ok() || !std::is_sorted(weak.begin(), weak.end(), by_tens) ||
          same_items != input_items) {
        check::fail(__FILE__, __LINE__,
                    name + ": weak order broken on " + std::to_string(threads) + " threads");
      }
    }
  }

  // From an outside thread, on the global pool, with items that can only be moved.
  std::vector<std::unique_ptr<int>> boxes;
  for (const int item : random_ints(10000, 50, 7)) boxes.push_back(std::make_unique<int>(item));
  CHECK(
      pool::sort_unstable(std::span<std::unique_ptr<int>>(boxes), [](const auto& a, const auto& b) {
        return *a < *b;
      }).ok());
  CHECK(std::is_sorted(boxes.begin(), boxes.end(),
                       [](const auto& a, const auto& b) { return *a < *b; }));
}

namespace {

struct NoDefault {
  explicit NoDefault(int v) : value(v) {}
  int value;
  bool operator==(const NoDefault&) const = default;
};

}  // namespace

TEST(pool_for_range_pieces_cover_range_once) {
  const struct {
    size_t n;
    size_t min_piece;
  } cases[] = {{0, 1},    {1, 1},    {2, 1},     {7, 0},      {100, 1},
               {100, 30}, {100, 51}, {100, 100}, {100, 1000}, {100000, 64}};
  in_each_pool([&](size_t threads) {
    for (const auto& c : cases) {
      std::mutex mutex;
      std::vector<std::pair<size_t, size_t>> pieces;
      const Status status = pool::for_range(c.n, c.min_piece, [&](size_t lo, size_t hi) -> Status {
        std::lock_guard<std::mutex> guard(mutex);
        pieces.emplace_back(lo, hi);
        return {};
      });
      std::sort(pieces.begin(), pieces.end());
      bool covered = status.ok();
      size_t next = 0;
      for (const auto& [lo, hi] : pieces) {
        covered = covered && lo == next && hi > lo &&
                  hi - lo >= std::min(std::max<size_t>(c.min_piece, 1), c.n);
        next = hi;
      }
      if (!covered || next != c.n) {
        check::fail(__FILE__, __LINE__,
                    "for_range(" + std::to_string(c.n) + ", " + std::to_string(c.min_piece) +
                        ") on " + std::to_string(threads) + " threads: bad pieces");
      }
    }
  });
}

namespace {

// Sums [lo, hi) by halving down to single items, one join per halving.
Outcome<long> tree_sum(size_t lo, size_t hi) {
  if (hi - lo == 1) return static_cast<long>(lo);
  const size_t mid = lo + (hi - lo) / 2;
  long left = 0, right = 0;
  CATENC_TRY(pool::join(
      [&]() -> Status {
        CATENC_ASSIGN_OR_RETURN(left, tree_sum(lo, mid));
        return {};
      },
      [&]() -> Status {
        CATENC_ASSIGN_OR_RETURN(right, tree_sum(mid, hi));
        return {};
      }));
  return left + right;
}

// A join in every frame of a deep chain of calls.
Outcome<size_t> chain_depth(size_t depth) {
  if (depth == 0) return size_t{0};
  size_t below = 0;
  std::atomic<size_t> side{0};
  CATENC_TRY(pool::join(
      [&]() -> Status {
        CATENC_ASSIGN_OR_RETURN(below, chain_depth(depth - 1));
        return {};
      },
      [&]() -> Status {
        side.fetch_add(1);
        return {};
      }));
  return below + side.load();
}

}  // namespace

TEST(pool_nested_operations_complete) {
  // Mapped items that each run a for_range whose pieces map again.
  std::vector<int> outer(24);
  std::iota(outer.begin(), outer.end(), 0);
  const auto level_three = [](int base) -> long {
    std::vector<int> inner(6);
    std::iota(inner.begin(), inner.end(), base);
    auto squares = map_items(std::span<const int>(inner), [](const int& x) { return long{x} * x; });
    auto odds =
        map_items(std::span<const int>(inner), [](const int& x) { return x % 2 ? long{x} : 0L; });
    if (!squares.ok() || !odds.ok()) return -1;
    return std::accumulate(squares.value().begin(), squares.value().end(), 0L) +
           std::accumulate(odds.value().begin(), odds.value().end(), 0L);
  };
  long expected_total = 0;
  for (const int item : outer) {
    for (int j = 0; j < 50; ++j) expected_total += level_three(item * 100 + j);
  }
  in_each_pool([&](size_t threads) {
    auto totals = map_items(std::span<const int>(outer), [&](const int& item) -> Outcome<long> {
      std::atomic<long> total{0};
      CATENC_TRY(pool::for_range(50, 1, [&](size_t lo, size_t hi) -> Status {
        for (size_t j = lo; j < hi; ++j)
          total.fetch_add(level_three(item * 100 + static_cast<int>(j)));
        return {};
      }));
      return total.load();
    });
    REQUIRE(totals.ok());
    CHECK_EQ(std::accumulate(totals.value().begin(), totals.value().end(), 0L), expected_total);

    auto sum = tree_sum(0, 1 << 13);
    CHECK(sum.ok() && sum.value() == (1L << 13) * ((1L << 13) - 1) / 2);
    auto depth = chain_depth(1000);
    CHECK(depth.ok() && depth.value() == 1000);
    if (!totals.ok()) std::fprintf(stderr, "  with %zu threads\n", threads);
  });
}

TEST(pool_waiting_worker_runs_queued_work) {
  // The worker that waits for a stolen half must itself take the job queued behind the thief;
  // blocking idly instead would leave that job unrun and the thief waiting forever.
  pool::ThreadPool workers(2);
  std::atomic<bool> half_started{false}, queued_ran{false}, timed_out{false};
  const Status status = workers.install([&] {
    return pool::join(
        [&]() -> Status {
          if (!wait_for([&] { return half_started.load(); })) timed_out = true;
          return {};
        },
        [&]() -> Status {
          half_started = true;
          return pool::join(
              [&]() -> Status {
                if (!wait_for([&] { return queued_ran.load(); })) timed_out = true;
                return {};
              },
              [&]() -> Status {
                queued_ran = true;
                return {};
              });
        });
  });
  CHECK(status.ok());
  CHECK(!timed_out.load());
}

TEST(pool_failure_reaches_submitter_after_siblings_finish) {
  const struct {
    const char* name;
    void (*fail)(Status&);  // fails by returning `status` or by throwing
    Failure::Kind kind;
    const char* message;
  } kinds[] = {
      {"failed status", [](Status& s) { s = unexpected(Failure::internal("item 37 broke")); },
       Failure::Kind::internal, "item 37 broke"},
      {"std::exception", [](Status&) { throw std::runtime_error("item 37 threw"); },
       Failure::Kind::internal, "item 37 threw"},
      {"bad_alloc", [](Status&) { throw std::bad_alloc(); }, Failure::Kind::no_memory, ""},
      {"other throw", [](Status&) { throw 37; }, Failure::Kind::internal, "unknown failure"},
  };
  // In pools of each size, and inline on the calling thread (0 threads here), where a pool of
  // one thread runs its work too.
  const size_t modes[] = {1, 2, 8, 0};
  for (const auto& kind : kinds) {
    for (const size_t threads : modes) {
      std::optional<pool::ThreadPool> workers;
      if (threads > 0) workers.emplace(threads);
      const auto submit = [&](catenc::FunctionRef<Status()> op) {
        if (workers) return workers->install(op);
        const pool::Inline here;
        return op();
      };
      const auto fail = [&]() -> Status {
        Status failed;
        kind.fail(failed);
        return failed;
      };
      std::atomic<size_t> started{0}, finished{0};
      Status status = submit([&] {
        return pool::for_range(200, 1, [&](size_t lo, size_t hi) -> Status {
          started.fetch_add(1);
          for (size_t i = lo; i < hi; ++i) {
            if (i == 37) return fail();
            std::this_thread::yield();
          }
          finished.fetch_add(1);
          return {};
        });
      });
      bool right = !status.ok() && status.error().kind == kind.kind &&
                   status.error().message == kind.message && finished.load() == started.load() - 1;
      // A join runs its right half even when the left one fails, and keeps the left failure.
      std::atomic<bool> right_ran{false};
      status = submit([&] {
        return pool::join(fail, [&]() -> Status {
          right_ran = true;
          return unexpected(Failure::internal("right half"));
        });
      });
      right = right && right_ran.load() && !status.ok() && status.error().kind == kind.kind &&
              status.error().message == kind.message;
      status = submit([&] { return pool::join([] { return Status(); }, fail); });
      right = right && !status.ok() && status.error().message == kind.message;
      if (!right) {
        check::fail(__FILE__, __LINE__,
                    std::string(kind.name) + " on " + std::to_string(threads) +
                        " threads: wrong failure or unfinished siblings");
      }
    }
  }
}

TEST(pool_failure_travels_through_every_operation) {
  const std::vector<int> items = random_ints(3000, 3000, 9);
  const auto message_of = [](Status status) {
    return status.ok() ? std::string("<ok>") : status.error().message;
  };
  const auto drop = [](auto&& outcome) -> Status {
    if (!outcome) return std::move(outcome).pass();
    return {};
  };
  in_each_pool([&](size_t) {
    std::vector<int> copy = items;
    CHECK_EQ(message_of(pool::sort_unstable(std::span<int>(copy),
                                            [](int a, int b) {
                                              if (a == 1234 || b == 1234)
                                                throw std::runtime_error("compare");
                                              return a < b;
                                            })),
             std::string("compare"));
    CHECK_EQ(message_of(pool::for_range(3000, 1,
                                        [](size_t lo, size_t hi) -> Status {
                                          if (lo <= 2999 && 2999 < hi)
                                            return unexpected(Failure::internal("range"));
                                          return {};
                                        })),
             std::string("range"));
    CHECK_EQ(message_of(pool::join([]() -> Status { return {}; },
                                   []() -> Status { throw std::runtime_error("join"); })),
             std::string("join"));
    // Through an enclosing task, and the leftmost of two failures wins.
    auto nested = map_items(std::span<const int>(items.data(), 40), [](const int&) -> Outcome<int> {
      CATENC_TRY(pool::for_range(1000, 1, [](size_t lo, size_t hi) -> Status {
        if (lo <= 10 && 10 < hi) return unexpected(Failure::internal("inner 10"));
        if (lo <= 900 && 900 < hi) return unexpected(Failure::internal("inner 900"));
        return {};
      }));
      return 0;
    });
    CHECK_EQ(message_of(drop(nested)), std::string("inner 10"));
  });
}

TEST(pool_concurrent_submitters_get_their_own_results) {
  pool::ThreadPool shared(3);
  constexpr int submitters = 4;
  std::vector<int> ok(submitters, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < submitters; ++t) {
    threads.emplace_back([&, t] {
      bool all = true;
      for (int round = 0; round < 20; ++round) {
        const std::vector<int> items =
            random_ints(2000, 1000, static_cast<unsigned>(t * 100 + round));
        auto global = map_items(std::span<const int>(items), [t](const int& x) { return x + t; });
        std::vector<int> sorted = items;
        const Status sort_status = shared.install(
            [&] { return pool::sort_unstable(std::span<int>(sorted), std::less<int>()); });
        all =
            all && global.ok() && sort_status.ok() && std::is_sorted(sorted.begin(), sorted.end());
        for (size_t i = 0; all && i < items.size(); ++i) all = global.value()[i] == items[i] + t;
      }
      ok[static_cast<size_t>(t)] = all ? 1 : 0;
    });
  }
  for (std::thread& thread : threads) thread.join();
  CHECK(std::all_of(ok.begin(), ok.end(), [](int v) { return v == 1; }));
}

TEST(pool_uneven_work_runs_on_several_threads) {
  for (const size_t threads : {size_t{2}, size_t{8}}) {
    pool::ThreadPool workers(threads);
    constexpr size_t n = 64;
    std::atomic<size_t> done_elsewhere{0};
    std::vector<std::atomic<long>> ran_on(n);
    bool timed_out = false;
    const Status status = workers.install([&] {
      return pool::for_range(n, 1, [&](size_t lo, size_t hi) -> Status {
        for (size_t i = lo; i < hi; ++i) {
          ran_on[i] = pool::current_worker_index();
          // The first piece is at most half of the range; the other half must get done meanwhile.
          if (i == 0) {
            timed_out = !wait_for([&] { return done_elsewhere.load() >= n / 2; });
          } else if (lo != 0) {
            done_elsewhere.fetch_add(1);
          }
        }
        return {};
      });
    });
    std::vector<long> workers_used;
    for (const auto& worker : ran_on) workers_used.push_back(worker.load());
    std::sort(workers_used.begin(), workers_used.end());
    workers_used.erase(std::unique(workers_used.begin(), workers_used.end()), workers_used.end());
    CHECK(status.ok());
    CHECK(!timed_out);
    CHECK(workers_used.size() >= 2);
    CHECK(workers_used.front() >= 0);
  }
}

TEST(pool_stolen_pieces_split_again) {
  // With 8 threads and no stealing, [0, 64) halves down to pieces of 4, so items 60..63 would run
  // one after another on one thread. Item 0 holds its thread until the upper half has been
  // stolen; only if a stolen piece gets splits back can two of the last four items run at once.
  pool::ThreadPool workers(8);
  constexpr size_t n = 64;
  std::atomic<size_t> upper_started{0}, last_running{0};
  std::atomic<bool> timed_out{false};
  const Status status = workers.install([&] {
    return pool::for_range(n, 1, [&](size_t lo, size_t hi) -> Status {
      for (size_t i = lo; i < hi; ++i) {
        bool waited = true;
        if (i == 0) waited = wait_for([&] { return upper_started.load() > 0; });
        if (i >= n / 2) upper_started.fetch_add(1);
        if (i >= n - 4) {
          last_running.fetch_add(1);
          waited = wait_for([&] { return last_running.load() >= 2; });
        }
        if (!waited) timed_out = true;
      }
      return {};
    });
  });
  CHECK(status.ok());
  CHECK(!timed_out.load());
}

TEST(pool_entry_points_and_worker_identity) {
  CHECK_EQ(pool::current_worker_index(), -1L);
  auto global_threads = pool::current_num_threads();
  REQUIRE(global_threads.ok());
  CHECK(global_threads.value() >= 1 && global_threads.value() <= 255);
  auto global = pool::global_pool();
  REQUIRE(global.ok());
  CHECK(pool::global_pool().value() == global.value());

  std::atomic<long> a_on{-2}, b_on{-2};
  CHECK(pool::join(
            [&]() -> Status {
              a_on = pool::current_worker_index();
              return {};
            },
            [&]() -> Status {
              b_on = pool::current_worker_index();
              return {};
            })
            .ok());
  CHECK(a_on.load() >= 0 && b_on.load() >= 0);

  pool::ThreadPool three(3);
  CHECK_EQ(three.num_threads(), size_t{3});
  CHECK_EQ(pool::ThreadPool(0).num_threads(), size_t{1});
  long index = -2;
  size_t threads = 0;
  CHECK(three
            .install([&]() -> Status {
              index = pool::current_worker_index();
              threads = pool::current_num_threads().value();
              // Installing into the pool one already runs on stays on the same worker.
              return three.install([&]() -> Status {
                if (pool::current_worker_index() != index)
                  return unexpected(Failure::internal("moved"));
                return {};
              });
            })
            .ok());
  CHECK(index >= 0 && index < 3);
  CHECK_EQ(threads, size_t{3});
  CHECK(pool::run_in_pool([]() -> Status {
          if (pool::current_worker_index() < 0) return unexpected(Failure::internal("outside"));
          return {};
        }).ok());
}

TEST(pool_thread_pools_start_and_stop_cleanly) {
  for (int round = 0; round < 20; ++round) {
    pool::ThreadPool idle(3);
    pool::ThreadPool busy(4);
    std::atomic<size_t> covered{0};
    CHECK(busy.install([&] {
                return pool::for_range(1000, 1, [&](size_t lo, size_t hi) -> Status {
                  covered.fetch_add(hi - lo);
                  return {};
                });
              })
              .ok());
    CHECK_EQ(covered.load(), size_t{1000});
  }
}

// ---- The global pool in a fresh process ----
//
// The global pool starts once per process, so its size and its start-up failure are checked in
// a child: this test binary started again with CATENC_POOL_TEST_CHILD set, which runs the code
// below before the test runner and exits.

namespace {

size_t count_threads() {
  size_t count = 0;
  if (DIR* tasks = opendir("/proc/self/task")) {
    while (const dirent* entry = readdir(tasks)) count += entry->d_name[0] != '.';
    closedir(tasks);
  }
  return count;
}

void write_out(const std::string& text) {
  size_t written = 0;
  while (written < text.size()) {
    const ssize_t n = write(STDOUT_FILENO, text.data() + written, text.size() - written);
    if (n <= 0) return;
    written += static_cast<size_t>(n);
  }
}

// Keeps the address space so small that only a few thread stacks fit.
void limit_address_space() {
  long pages = 0;
  if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(statm, "%ld", &pages) != 1) pages = 0;
    std::fclose(statm);
  }
  const rlim_t limit =
      static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (32u << 20);
  const rlimit bound{limit, limit};
  setrlimit(RLIMIT_AS, &bound);
}

[[maybe_unused]] const int child_role = [] {
  const char* role = std::getenv("CATENC_POOL_TEST_CHILD");
  if (role == nullptr) return 0;
  if (std::strcmp(role, "inline") == 0) {
    const size_t before = count_threads();
    bool ok = true;
    {
      const pool::Inline here;
      std::vector<int> items = random_ints(10000, 1000, 3);
      ok = pool::sort_unstable(std::span<int>(items), std::less<int>()).ok() &&
           std::is_sorted(items.begin(), items.end()) &&
           pool::join([] { return Status(); }, [] { return Status(); }).ok() &&
           pool::for_range(0, 1, [](size_t, size_t) { return Status(); }).ok() &&
           pool::current_num_threads().value() == 1;
    }
    write_out(std::string(ok ? "ok" : "wrong") +
              " started=" + std::to_string(count_threads() - before) + "\n");
    _exit(0);
  }
  if (std::strcmp(role, "start-failure") == 0) limit_address_space();
  const size_t before = count_threads();
  auto first = pool::global_pool();
  const size_t after = count_threads();
  if (first.ok()) {
    write_out("threads=" + std::to_string(first.value()->num_threads()) +
              " started=" + std::to_string(after - before) + "\n");
  } else {
    auto again = pool::join([] { return Status(); }, [] { return Status(); });
    write_out("error=" + first.error().message +
              "\nagain=" + (again.ok() ? std::string("<ok>") : again.error().message) + "\n");
  }
  _exit(0);
}();

// Runs this binary as a child with `role` and `rayon_num_threads`; returns its output.
std::optional<std::string> run_child(const std::string& role,
                                     const std::string& rayon_num_threads) {
  std::vector<std::string> env_text;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, "RAYON_", 6) != 0) env_text.emplace_back(*entry);
  }
  env_text.push_back("CATENC_POOL_TEST_CHILD=" + role);
  env_text.push_back("RAYON_NUM_THREADS=" + rayon_num_threads);
  std::vector<char*> env;
  for (std::string& entry : env_text) env.push_back(entry.data());
  env.push_back(nullptr);
  std::string self = "/proc/self/exe";
  char* argv[] = {self.data(), nullptr};

  int out[2];
  if (pipe(out) != 0) return std::nullopt;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  pid_t child = 0;
  const int spawned = posix_spawn(&child, "/proc/self/exe", &actions, nullptr, argv, env.data());
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  std::string text;
  char buffer[512];
  ssize_t n = 0;
  while (spawned == 0 && (n = read(out[0], buffer, sizeof buffer)) > 0)
    text.append(buffer, static_cast<size_t>(n));
  close(out[0]);
  if (spawned != 0) return std::nullopt;
  int wait_status = 0;
  if (waitpid(child, &wait_status, 0) != child || !WIFEXITED(wait_status) ||
      WEXITSTATUS(wait_status) != 0) {
    return std::nullopt;
  }
  return text;
}

}  // namespace

TEST(pool_global_pool_caps_1000_threads_at_255_in_child) {
  const std::optional<std::string> output = run_child("size", "1000");
  REQUIRE(output.has_value());
  unsigned threads = 0, started = 0;
  REQUIRE(std::sscanf(output->c_str(), "threads=%u started=%u", &threads, &started) == 2);
  CHECK_EQ(threads, 255u);
  CHECK(started >= 255u);  // a sanitizer may add a thread of its own
}

TEST(pool_inline_guard_starts_no_pool_in_child) {
  const std::optional<std::string> output = run_child("inline", "4");
  REQUIRE(output.has_value());
  CHECK_EQ(*output, std::string("ok started=0\n"));
}

TEST(pool_global_pool_start_failure_in_child) {
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
  // Sanitizers reserve huge address ranges, which the child's address-space limit would break.
  return;
#else
  const std::optional<std::string> output = run_child("start-failure", "255");
  REQUIRE(output.has_value());
  const std::string prefix = "The global thread pool has not been initialized.: ";
  const size_t error_at = output->find("error=" + prefix);
  const size_t again_at = output->find("again=" + prefix);
  CHECK(error_at == 0);
  CHECK(again_at != std::string::npos);
  if (error_at != 0 || again_at == std::string::npos)
    std::fprintf(stderr, "  child said: %s", output->c_str());
#endif
}

// ---- Small work on the calling thread ----

namespace {

// The threads that ran the tasks of a few operations, and whether they gave the results that
// running them one after another gives.
struct Ran {
  std::set<std::thread::id> threads;
  std::set<long> worker_indices;
  bool right = true;
};

Ran run_operations() {
  Ran ran;
  std::mutex mutex;
  const auto note = [&] {
    std::lock_guard<std::mutex> guard(mutex);
    ran.threads.insert(std::this_thread::get_id());
    ran.worker_indices.insert(pool::current_worker_index());
  };
  const std::vector<int> items = random_ints(5000, 100, 12);
  std::vector<int> sorted = items;
  std::sort(sorted.begin(), sorted.end());
  std::vector<int> to_sort = items;
  ran.right = pool::sort_unstable(std::span<int>(to_sort),
                                  [&](int a, int b) {
                                    note();
                                    return a < b;
                                  })
                  .ok() &&
              to_sort == sorted;
  auto doubled = map_items(std::span<const int>(items), [&](const int& item) {
    note();
    return item * 2;
  });
  ran.right = ran.right && doubled.ok() && doubled.value().size() == items.size() &&
              doubled.value()[17] == items[17] * 2;
  std::atomic<size_t> covered{0};
  ran.right = ran.right &&
              pool::for_range(1000, 1,
                              [&](size_t lo, size_t hi) -> Status {
                                note();
                                covered.fetch_add(hi - lo);
                                return {};
                              })
                  .ok() &&
              covered.load() == 1000;
  ran.right = ran.right && pool::run_in_pool([&]() -> Status {
                             note();
                             return pool::join(
                                 [&]() -> Status {
                                   note();
                                   return {};
                                 },
                                 [&]() -> Status {
                                   note();
                                   return {};
                                 });
                           }).ok();
  return ran;
}

}  // namespace

TEST(pool_inline_guard_runs_everything_on_the_calling_thread) {
  {
    const pool::Inline here;
    const Ran ran = run_operations();
    CHECK(ran.right);
    CHECK(ran.threads == std::set<std::thread::id>{std::this_thread::get_id()});
    CHECK(ran.worker_indices == std::set<long>{-1});
    auto threads = pool::current_num_threads();
    CHECK(threads.ok() && threads.value() == 1);
    {
      const pool::Inline nested;
      CHECK(pool::current_num_threads().value() == 1);
    }
    CHECK(pool::current_num_threads().value() == 1);
    // A pool named explicitly still gets the operation, and runs it in parallel.
    pool::ThreadPool four(4);
    CHECK(four.install([&]() -> Status {
                const Ran inside = run_operations();
                if (!inside.right || pool::current_num_threads().value() != 4 ||
                    inside.worker_indices.count(-1) != 0) {
                  return unexpected(Failure::internal("not run as the pool's"));
                }
                return {};
              })
              .ok());
  }
  // Once the guard is gone, work goes to the pool again.
  CHECK(pool::run_in_pool([]() -> Status {
          if (pool::current_worker_index() < 0) return unexpected(Failure::internal("outside"));
          return {};
        }).ok());

  // On a worker, a guard keeps its work on that worker.
  pool::ThreadPool three(3);
  CHECK(three
            .install([&three]() -> Status {
              const std::thread::id worker = std::this_thread::get_id();
              const long index = pool::current_worker_index();
              const pool::Inline here;
              const Ran ran = run_operations();
              if (!ran.right || ran.threads != std::set<std::thread::id>{worker} ||
                  ran.worker_indices != std::set<long>{index}) {
                return unexpected(Failure::internal("left the worker"));
              }
              // Installing into the worker's own pool lifts the guard for the operation.
              return three.install([]() -> Status {
                if (pool::current_num_threads().value() != 3) {
                  return unexpected(Failure::internal("still inline"));
                }
                return {};
              });
            })
            .ok());
}

TEST(pool_one_thread_pool_runs_submissions_on_the_submitter) {
  const size_t before = count_threads();
  pool::ThreadPool one(1);
  CHECK_EQ(count_threads(), before);  // it starts no thread
  const std::thread::id caller = std::this_thread::get_id();
  Ran ran;
  size_t threads = 0;
  CHECK(one.install([&]() -> Status {
             ran = run_operations();
             threads = pool::current_num_threads().value();
             // Nested installs into it stay here.
             return one.install([] { return Status(); });
           })
            .ok());
  CHECK(ran.right);
  CHECK(ran.threads == std::set<std::thread::id>{caller});
  CHECK(ran.worker_indices == std::set<long>{0});
  CHECK_EQ(threads, size_t{1});
  CHECK_EQ(pool::current_worker_index(), -1L);

  // Submitters do not queue behind one another: each runs its operation itself, so two that wait
  // for each other both finish.
  std::atomic<int> arrived{0};
  std::atomic<int> met{0};
  std::vector<std::thread> submitters;
  for (int t = 0; t < 2; ++t) {
    submitters.emplace_back([&] {
      const Status status = one.install([&]() -> Status {
        arrived.fetch_add(1);
        if (!wait_for([&] { return arrived.load() == 2; })) {
          return unexpected(Failure::internal("alone"));
        }
        return {};
      });
      if (status.ok()) met.fetch_add(1);
    });
  }
  for (std::thread& submitter : submitters) submitter.join();
  CHECK_EQ(met.load(), 2);

  // From a worker of another pool too.
  pool::ThreadPool two(2);
  CHECK(two.install([&]() -> Status {
             const std::thread::id worker = std::this_thread::get_id();
             return one.install([&]() -> Status {
               if (std::this_thread::get_id() != worker || pool::current_worker_index() != 0) {
                 return unexpected(Failure::internal("moved"));
               }
               return {};
             });
           })
            .ok());
}

TEST(pool_workers_sleep_once_work_runs_out) {
  // CPU time of the whole process over 200 ms of idleness after a burst: workers that kept
  // spinning would spend most of it. Counted, not timed: the wait only gives them the chance.
  pool::ThreadPool workers(4);
  for (int round = 0; round < 200; ++round) {
    std::atomic<long> sum{0};
    CHECK(workers
              .install([&] {
                return pool::for_range(4000, 1, [&](size_t lo, size_t hi) -> Status {
                  sum.fetch_add(static_cast<long>(hi - lo));
                  return {};
                });
              })
              .ok());
  }
  const auto cpu_ms = [] {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
  };
  const double before = cpu_ms();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const double spent = cpu_ms() - before;
  if (spent > 20) {
    check::fail(__FILE__, __LINE__, "idle workers spent " + std::to_string(spent) + " ms of CPU");
  }
}
