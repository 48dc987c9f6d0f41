// The worker pool: fork-join parallelism on threads of our own.
//
// Work is expressed with two primitives, `join` and `for_range`; the ordered operations that the
// encoder needs (sort, map-collect, ...) are built on them in pool_ops.hpp. Every primitive may be
// called from any thread. Called from a worker of a pool, it runs on that pool and the caller
// takes part in the work; called from any other thread, it runs on the process-wide pool (started
// at the first call) and the caller blocks until the whole operation has finished.
//
// Task bodies report failure by returning a failed Status; they may also throw (std::bad_alloc
// becomes a no_memory failure, anything else an internal one). A failure never cancels sibling
// tasks: they run to completion, and the first failure reaches the submitter as the result.
//
// Work too small to be worth a hand-off runs on the calling thread instead: under an Inline guard,
// and always in a pool of one thread. Results do not depend on it, as they do not depend on the
// number of threads.
#pragma once

#include <cstddef>
#include <memory>

#include "function_ref.hpp"
#include "result.hpp"

namespace catenc::pool {

class ThreadPool {
 public:
  // Starts `threads` workers (at least 1). Throws std::system_error when a thread cannot be
  // created; the global pool turns that into its "not initialized" failure instead. A pool of one
  // thread starts none: every operation submitted to it runs on the thread that submits it, with
  // no hand-off and no wake-up, so operations from several outside threads run at once, each on
  // its own submitter.
  explicit ThreadPool(size_t threads);
  // Only for pools that tests create: waits for the workers to finish. The global pool is never
  // destroyed; its threads live until the process ends.
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  size_t num_threads() const noexcept;

  // Runs `op` on a worker of this pool, so that the primitives it calls use this pool, and blocks
  // until it and everything it started have finished.
  Status install(FunctionRef<Status()> op);

  struct State;

 private:
  std::unique_ptr<State> state_;
};

// The process-wide pool, started on first use with the size that thread_count.hpp resolves from
// the environment. Fails, on every call, with an internal failure whose message begins
// "The global thread pool has not been initialized." when its threads could not be started.
Outcome<ThreadPool*> global_pool();

// While an Inline guard lives, the primitives below (and everything built on them) run their
// work sequentially on the calling thread, in order: no job is submitted, no worker is woken, and
// the global pool is neither started nor touched. Failures behave as in the pool: every task of an
// operation runs, and the first failure (the leftmost) is the result. Guards nest; each thread has
// its own. ThreadPool::install still submits to the pool it names.
class Inline {
 public:
  Inline() noexcept;
  ~Inline();
  Inline(const Inline&) = delete;
  Inline& operator=(const Inline&) = delete;
};

// Threads of the pool that the calling thread would submit to (the global one outside pools),
// which starts the global pool if need be. 1 under an Inline guard and in an operation of a
// one-thread pool, without starting anything: the work runs on one thread there.
Outcome<size_t> current_num_threads();

// Index of the calling worker in its pool, or -1 outside every pool. A thread that runs an
// operation of a one-thread pool is that pool's worker 0 meanwhile, and so may be another thread
// at the same time: the index is no key for per-worker state. An Inline guard changes nothing.
long current_worker_index() noexcept;

// Runs op on a worker (inline when the caller is one) and returns when it has finished: lets an
// operation enter the pool once, so that even its sequential parts never run outside it.
Status run_in_pool(FunctionRef<Status()> op);

// Runs a and b, possibly in parallel, and returns when both have finished. A worker waiting for
// its half to be finished elsewhere runs other pending work meanwhile.
Status join(FunctionRef<Status()> a, FunctionRef<Status()> b);

// Calls body(lo, hi) on disjoint pieces that together cover [0, n), in any order and possibly in
// parallel. Pieces are split adaptively: about two per thread to start with, split again when a
// piece is stolen by an idle thread, never shorter than `min_piece` (unless n itself is).
Status for_range(size_t n, size_t min_piece, FunctionRef<Status(size_t lo, size_t hi)> body);

}  // namespace catenc::pool
