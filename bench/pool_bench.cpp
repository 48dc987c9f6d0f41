// The pool's fixed cost: what a tiny operation submitted from outside the pool costs, and how
// much CPU the workers burn once work has run out.
//
// Prints numbers only; nothing is checked, so the exit status says nothing about speed.
// Usage: pool_bench [calls]
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "pool.hpp"

using catenc::Status;
namespace pool = catenc::pool;

namespace {

double process_cpu_ms() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// A piece of work too small to be worth sharing: two items.
Status tiny_operation() {
  return pool::for_range(2, 1, [](size_t lo, size_t hi) -> Status {
    volatile size_t sink = lo + hi;
    (void)sink;
    return {};
  });
}

// Microseconds per call of `submit`, over `calls` calls back to back.
template <class Submit>
double per_call_us(int calls, Submit submit) {
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < calls; ++i) {
    if (!submit()) std::abort();
  }
  const auto stop = std::chrono::steady_clock::now();
  return std::chrono::duration<double, std::micro>(stop - start).count() / calls;
}

}  // namespace

int main(int argc, char** argv) {
  const int calls = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10000;
  {
    const pool::Inline here;
    const double us = per_call_us(calls, [] { return tiny_operation(); });
    std::printf("pool::Inline  for_range(2) on the caller  %.3f us per call\n", us);
  }
  for (const size_t threads : {size_t{1}, size_t{2}}) {
    pool::ThreadPool workers(threads);
    const double cpu_before = process_cpu_ms();
    const double us =
        per_call_us(calls, [&] { return workers.install([] { return tiny_operation(); }); });
    const double cpu_used = process_cpu_ms() - cpu_before;
    std::printf("threads %zu  for_range(2) from outside  %.2f us per call  %.2f us CPU per call\n",
                threads, us, cpu_used * 1e3 / calls);

    // One call, then a second of idleness: whatever the workers spend now is spinning.
    if (!workers.install([] { return tiny_operation(); })) std::abort();
    const double idle_before = process_cpu_ms();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    std::printf("threads %zu  CPU in the second after a call  %.2f ms\n", threads,
                process_cpu_ms() - idle_before);
    std::fflush(stdout);
  }
  return 0;
}
