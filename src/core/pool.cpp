#include "pool.hpp"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "thread_count.hpp"
#include "write_all.hpp"

namespace catenc::pool {

using State = ThreadPool::State;

namespace {

// The pool's own machinery runs outside every task, so no caller could take this failure.
[[noreturn]] void fatal(const char* what) noexcept {
  // One line, however many the message has.
  char line[512];
  size_t length = 0;
  for (const char* c = what; *c != '\0' && length + 1 < sizeof line; ++c)
    line[length++] = *c == '\n' ? ' ' : *c;
  line[length++] = '\n';
  std::fflush(stderr);
  write_all(2, "catenc: worker pool failure: ");
  write_all(2, std::string_view(line, length));
  std::abort();
}

std::unique_lock<std::mutex> lock(std::mutex& mutex) noexcept {
  try {
    return std::unique_lock<std::mutex>(mutex);
  } catch (const std::exception& e) {
    fatal(e.what());
  }
}

Status internal_failure(const char* message) noexcept {
  try {
    return unexpected(Failure::internal(message));
  } catch (...) {
    return unexpected(Failure::no_memory());
  }
}

// Every task body runs through here: nothing a task throws may unwind into the scheduler, which
// would strand the jobs that live on the stack frames it skips.
Status guarded(FunctionRef<Status()> body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return unexpected(Failure::no_memory());
  } catch (const std::exception& e) {
    return internal_failure(e.what());
  } catch (...) {
    return internal_failure("unknown failure");
  }
}

// The left failure wins, so the reported failure does not depend on which thread finished first.
Status first_failure(Status left, Status right) noexcept {
  return left ? std::move(right) : std::move(left);
}

struct Job {
  // Runs the job and signals its completion; after the signal the job's memory may be gone.
  void (*execute)(Job*) noexcept;
};

// A ring buffer of jobs under a mutex. A lock-free Chase-Lev deque would save an uncontended
// lock per push and pop, but its correctness rests on fences that ThreadSanitizer cannot follow;
// with a mutex the pool stays checkably race-free, and the lock is cheap next to a task.
class WorkDeque {
 public:
  WorkDeque() : slots_(64) {}

  // False when the buffer could not grow; the caller then runs the job itself.
  bool push_back(Job* job) noexcept {
    auto guard = lock(mutex_);
    if (size_ == slots_.size() && !grow()) return false;
    slots_[(head_ + size_) & (slots_.size() - 1)] = job;
    size_ += 1;
    // Sequentially consistent, to pair with the count of sleepers (State::announce_work).
    size_hint_.store(size_, std::memory_order_seq_cst);
    return true;
  }

  Job* pop_back() noexcept {
    if (looks_empty()) return nullptr;
    auto guard = lock(mutex_);
    if (size_ == 0) return nullptr;
    shrink();
    return slots_[(head_ + size_) & (slots_.size() - 1)];
  }

  // Takes `job` back unless a thief got it first; it can only be at the back, because every job
  // pushed after it belongs to a nested join that has already taken its own job back.
  bool pop_back_if(Job* job) noexcept {
    auto guard = lock(mutex_);
    if (size_ == 0 || slots_[(head_ + size_ - 1) & (slots_.size() - 1)] != job) return false;
    shrink();
    return true;
  }

  Job* pop_front() noexcept {
    if (looks_empty()) return nullptr;
    auto guard = lock(mutex_);
    if (size_ == 0) return nullptr;
    Job* job = slots_[head_];
    head_ = (head_ + 1) & (slots_.size() - 1);
    shrink();
    return job;
  }

 private:
  bool grow() noexcept {
    try {
      std::vector<Job*> bigger(slots_.size() * 2);
      for (size_t i = 0; i < size_; ++i) bigger[i] = slots_[(head_ + i) & (slots_.size() - 1)];
      slots_.swap(bigger);
      head_ = 0;
      return true;
    } catch (const std::bad_alloc&) {
      return false;
    }
  }

  void shrink() noexcept {
    size_ -= 1;
    size_hint_.store(size_, std::memory_order_relaxed);
  }

  // A stale answer is harmless: searches repeat, and State::sleep makes sure that a thread's last
  // look before sleeping sees every push that was not announced to it.
  bool looks_empty() const noexcept { return size_hint_.load(std::memory_order_seq_cst) == 0; }

  std::mutex mutex_;
  std::vector<Job*> slots_;  // its length is a power of two
  size_t head_ = 0;
  size_t size_ = 0;
  std::atomic<size_t> size_hint_{0};
};

void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// A thread that finds nothing to do looks again a few times, a little longer apart each time,
// before it sleeps: going to sleep and being woken cost a few microseconds each in the kernel, so
// a short spin pays when work is about to come (the stolen half a joiner waits for, a caller's
// next small operation). The spin lasts microseconds, never a sizeable share of a core: an idle
// process must cost nothing. No yields: each would be a system call, and on a busy machine could
// give the core away for a whole time slice.
class Backoff {
 public:
  explicit Backoff(unsigned steps) noexcept : steps_(steps) {}

  // Spins a little; false once the steps are used up and the caller should sleep instead.
  bool snooze() noexcept {
    if (step_ >= steps_) return false;
    const unsigned pauses = 1u << std::min(step_, 6u);
    for (unsigned i = 0; i < pauses; ++i) cpu_relax();
    ++step_;
    return true;
  }
  void reset() noexcept { step_ = 0; }

 private:
  unsigned steps_;
  unsigned step_ = 0;
};

// Steps of 1, 2, 4, ... 64 pauses, then 64 each: about 300 pauses before an idle worker sleeps,
// 700 for a joiner whose stolen half is running and will end, 500 for an outside submitter.
constexpr unsigned idle_spin_steps = 10;
constexpr unsigned join_spin_steps = 16;
constexpr unsigned outside_spin_steps = 13;

struct alignas(64) Worker {
  State* state = nullptr;
  size_t index = 0;
  uint64_t random = 0;  // chooses where stealing starts; only this worker touches it
  WorkDeque deque;
  std::condition_variable wake;
  bool asleep = false;  // guarded by State::sleep_mutex
  std::thread thread;

  Job* find_work() noexcept;
  template <class Done>
  void run_until(Done done, unsigned spin_steps) noexcept;
};

thread_local Worker* current_worker = nullptr;

// Inline guards and one-thread-pool operations active on this thread: while it is above zero, the
// primitives run their work here, sequentially.
thread_local unsigned inline_depth = 0;
// The one-thread pool whose operation this thread is running, if any.
thread_local const State* inline_pool = nullptr;

// Marks the calling thread as running an operation of the one-thread pool `pool`.
class InlineRun {
 public:
  explicit InlineRun(const State* pool) noexcept : previous_(inline_pool) {
    inline_pool = pool;
    ++inline_depth;
  }
  ~InlineRun() {
    --inline_depth;
    inline_pool = previous_;
  }
  InlineRun(const InlineRun&) = delete;
  InlineRun& operator=(const InlineRun&) = delete;

 private:
  const State* previous_;
};

// Lifts every inline mode of the calling thread for a while: a worker that installs an operation
// into its own pool runs it as that pool's worker, in parallel.
class InlineSuspended {
 public:
  InlineSuspended() noexcept : depth_(inline_depth), pool_(inline_pool) {
    inline_depth = 0;
    inline_pool = nullptr;
  }
  ~InlineSuspended() {
    inline_depth = depth_;
    inline_pool = pool_;
  }
  InlineSuspended(const InlineSuspended&) = delete;
  InlineSuspended& operator=(const InlineSuspended&) = delete;

 private:
  unsigned depth_;
  const State* pool_;
};

// The second half of a join, on the stack of the joining frame.
struct JoinJob : Job {
  JoinJob(FunctionRef<Status()> job_body, Worker* job_owner)
      : Job{&run}, body(job_body), owner(job_owner) {}

  static void run(Job* job) noexcept;

  FunctionRef<Status()> body;
  Worker* owner;
  Status result;
  std::atomic<bool> done{false};
};

// A job handed in by a thread outside the pool, which blocks until it has run.
struct InjectedJob : Job {
  explicit InjectedJob(FunctionRef<Status()> job_body) : Job{&run}, body(job_body) {}

  static void run(Job* job) noexcept {
    auto* self = static_cast<InjectedJob*>(job);
    self->result = guarded(self->body);
    auto guard = lock(self->mutex);
    self->done.store(true, std::memory_order_release);
    // Notified under the lock: the waiter cannot return and destroy the job before this call.
    self->finished.notify_one();
  }

  void wait() noexcept {
    // A small operation ends within the spin, and neither side then enters the kernel.
    Backoff backoff(outside_spin_steps);
    while (!done.load(std::memory_order_acquire) && backoff.snooze()) {
    }
    // Taken even when the spin saw `done`: the runner may still hold the lock, and the job (and
    // its mutex) must outlive that.
    auto guard = lock(mutex);
    while (!done.load(std::memory_order_relaxed)) finished.wait(guard);
  }

  FunctionRef<Status()> body;
  Status result;
  std::mutex mutex;
  std::condition_variable finished;
  std::atomic<bool> done{false};
};

void worker_main(Worker& worker) noexcept;

}  // namespace

struct ThreadPool::State {
  explicit State(size_t threads) : num_threads(threads), workers(new Worker[threads]) {
    sleeping.reserve(threads);
    for (size_t i = 0; i < threads; ++i) {
      workers[i].state = this;
      workers[i].index = i;
      workers[i].random = 0x9E3779B97F4A7C15u * (i + 1);
    }
  }

  static State& of(ThreadPool& pool) noexcept { return *pool.state_; }

  // A one-thread pool starts no thread: it runs every operation on its submitter (submit()).
  void start() {
    if (num_threads == 1) return;
    try {
      for (size_t i = 0; i < num_threads; ++i) {
        workers[i].thread = std::thread(worker_main, std::ref(workers[i]));
      }
    } catch (...) {
      stop();
      throw;
    }
  }

  // Only for an idle pool: workers leave as soon as they find nothing to do.
  void stop() noexcept {
    {
      auto guard = lock(sleep_mutex);
      stopping.store(true, std::memory_order_seq_cst);
      for (const size_t i : sleeping) {
        workers[i].asleep = false;
        workers[i].wake.notify_one();
      }
      sleeping.clear();
    }
    for (size_t i = 0; i < num_threads; ++i) {
      try {
        if (workers[i].thread.joinable()) workers[i].thread.join();
      } catch (const std::exception& e) {
        fatal(e.what());
      }
    }
  }

  // Called after every push. With nobody on the way to sleep it reads one shared count and
  // writes nothing, so busy workers do not contend here.
  void announce_work() noexcept {
    if (num_sleeping.load(std::memory_order_seq_cst) == 0) return;
    auto guard = lock(sleep_mutex);
    work_events.store(work_events.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    if (sleeping.empty()) return;
    Worker& worker = workers[sleeping.back()];
    sleeping.pop_back();
    worker.asleep = false;
    worker.wake.notify_one();
  }

  // Called after the condition a sleeping `worker` waits for became true (seq_cst store).
  void wake(Worker& worker) noexcept {
    if (num_sleeping.load(std::memory_order_seq_cst) == 0) return;
    auto guard = lock(sleep_mutex);
    if (!worker.asleep) return;
    worker.asleep = false;
    sleeping.erase(std::find(sleeping.begin(), sleeping.end(), worker.index));
    worker.wake.notify_one();
  }

  // Sleeps until woken, unless a last look finds a job (returned) or `done` holds. No wake-up is
  // lost: a pusher stores its deque's size and then reads num_sleeping, this raises num_sleeping
  // and then reads the sizes, all sequentially consistent, so either the last look sees the job
  // or the pusher sees a sleeper and bumps work_events, which this checks under the lock before
  // waiting. The same pattern covers `done`, whose setter calls wake() after storing it.
  template <class Done>
  Job* sleep(Worker& worker, Done& done) noexcept {
    num_sleeping.fetch_add(1, std::memory_order_seq_cst);
    const uint64_t seen = work_events.load(std::memory_order_acquire);
    Job* job = worker.find_work();
    if (job == nullptr) {
      auto guard = lock(sleep_mutex);
      if (work_events.load(std::memory_order_relaxed) == seen && !done()) {
        worker.asleep = true;
        sleeping.push_back(worker.index);
        while (worker.asleep) worker.wake.wait(guard);
      }
    }
    num_sleeping.fetch_sub(1, std::memory_order_seq_cst);
    return job;
  }

  // Runs op for a thread that is no worker of this pool and blocks until it has finished.
  Status submit(FunctionRef<Status()> op) noexcept {
    if (num_threads == 1) {
      InlineRun here(this);
      return guarded(op);
    }
    InjectedJob job(op);
    if (!injected.push_back(&job)) return unexpected(Failure::no_memory());
    announce_work();
    job.wait();
    return std::move(job.result);
  }

  const size_t num_threads;
  const std::unique_ptr<Worker[]> workers;
  WorkDeque injected;  // jobs from outside threads, taken first in, first out

  std::mutex sleep_mutex;
  std::vector<size_t> sleeping;          // reserved for every worker, so waking never allocates
  std::atomic<uint64_t> work_events{0};  // written under sleep_mutex
  std::atomic<size_t> num_sleeping{0};
  std::atomic<bool> stopping{false};
};

Job* Worker::find_work() noexcept {
  if (Job* job = deque.pop_back()) return job;
  const size_t n = state->num_threads;
  if (n > 1) {
    random ^= random << 13;
    random ^= random >> 7;
    random ^= random << 17;
    size_t victim = static_cast<size_t>(random % n);
    for (size_t k = 0; k < n; ++k, victim = victim + 1 == n ? 0 : victim + 1) {
      if (victim == index) continue;
      if (Job* job = state->workers[victim].deque.pop_front()) return job;
    }
  }
  return state->injected.pop_front();
}

template <class Done>
void Worker::run_until(Done done, unsigned spin_steps) noexcept {
  Backoff backoff(spin_steps);
  while (!done()) {
    Job* job = find_work();
    if (job == nullptr && backoff.snooze()) continue;
    if (job == nullptr) job = state->sleep(*this, done);
    backoff.reset();
    if (job != nullptr) job->execute(job);
  }
}

namespace {

void JoinJob::run(Job* job) noexcept {
  auto* self = static_cast<JoinJob*>(job);
  self->result = guarded(self->body);
  Worker& owner = *self->owner;
  // The owner may return, ending the job's frame, as soon as it sees `done`.
  self->done.store(true, std::memory_order_seq_cst);
  owner.state->wake(owner);
}

void worker_main(Worker& worker) noexcept {
  current_worker = &worker;
  const State& state = *worker.state;
  worker.run_until([&state] { return state.stopping.load(std::memory_order_seq_cst); },
                   idle_spin_steps);
  current_worker = nullptr;
}

Status join_in_worker(Worker& worker, FunctionRef<Status()> a, FunctionRef<Status()> b) noexcept {
  JoinJob job_b(b, &worker);
  if (!worker.deque.push_back(&job_b)) {
    // No room to share b: the join still completes, only sequentially.
    Status result_a = guarded(a);
    return first_failure(std::move(result_a), guarded(b));
  }
  worker.state->announce_work();
  Status result_a = guarded(a);
  if (worker.deque.pop_back_if(&job_b)) return first_failure(std::move(result_a), guarded(b));
  // Stolen: help with other work rather than block a thread while jobs wait in queues.
  worker.run_until([&job_b] { return job_b.done.load(std::memory_order_seq_cst); },
                   join_spin_steps);
  return first_failure(std::move(result_a), std::move(job_b.result));
}

struct RangeSplit {
  FunctionRef<Status(size_t, size_t)> body;
  size_t min_piece;
  size_t num_threads;
};

// `splits` is how many more times a piece may halve before it runs; it starts at the thread
// count. A piece that was stolen shows that a thread ran out of work, so it gets enough splits
// again to feed every thread, wherever the stealing happened.
Status split_range(const RangeSplit& range, size_t lo, size_t hi, size_t splits,
                   bool stolen) noexcept {
  const size_t length = hi - lo;
  bool split = false;
  if (length / 2 >= range.min_piece) {
    if (stolen) {
      splits = std::max(range.num_threads, splits / 2);
      split = true;
    } else if (splits > 0) {
      splits /= 2;
      split = true;
    }
  }
  if (!split) return guarded([&] { return range.body(lo, hi); });
  const size_t mid = lo + length / 2;
  Worker* const creator = current_worker;
  return join_in_worker(
      *creator, [&] { return split_range(range, lo, mid, splits, false); },
      [&] { return split_range(range, mid, hi, splits, current_worker != creator); });
}

}  // namespace

ThreadPool::ThreadPool(size_t threads)
    : state_(std::make_unique<State>(std::max<size_t>(threads, 1))) {
  state_->start();
}

ThreadPool::~ThreadPool() {
  if (state_) state_->stop();
}

size_t ThreadPool::num_threads() const noexcept {
  return state_->num_threads;
}

Status ThreadPool::install(FunctionRef<Status()> op) {
  if (current_worker != nullptr && current_worker->state == state_.get()) {
    InlineSuspended as_worker;
    return guarded(op);
  }
  // A worker of another pool blocks here like an outside thread: pools do not share work.
  return state_->submit(op);
}

Inline::Inline() noexcept {
  ++inline_depth;
}

Inline::~Inline() {
  --inline_depth;
}

namespace {

// How the global pool's start went: the pool, or why it could not start.
struct GlobalStart {
  ThreadPool* pool = nullptr;
  std::string error;
};

// Neither the record nor the pool is ever destroyed: workers may still run while static
// destructors do at exit, and joining them there could hang the exit.
std::atomic<const GlobalStart*> global_start{nullptr};
std::mutex global_start_mutex;

// A child made by fork() has none of the parent's worker threads, so it would wait forever on
// the pool it inherited; it starts a pool of its own instead, at its first operation. The
// inherited one is left behind: its locks may have been held by threads that no longer exist.
void forget_global_pool_in_child() noexcept {
  new (&global_start_mutex) std::mutex();
  global_start.store(nullptr, std::memory_order_relaxed);
}

const GlobalStart* start_global_pool() {
  auto* result = new GlobalStart;
  try {
    result->pool = new ThreadPool(resolve_thread_count(read_thread_count_inputs()));
  } catch (const std::bad_alloc&) {
    delete result;
    throw;
  } catch (const std::exception& e) {
    result->error = e.what();
  }
  return result;
}

}  // namespace

Outcome<ThreadPool*> global_pool() {
  try {
    const GlobalStart* start = global_start.load(std::memory_order_acquire);
    if (start == nullptr) {
      static const bool fork_handler_installed = [] {
        return pthread_atfork(nullptr, nullptr, &forget_global_pool_in_child) == 0;
      }();
      (void)fork_handler_installed;
      std::lock_guard guard(global_start_mutex);
      start = global_start.load(std::memory_order_relaxed);
      if (start == nullptr) {
        start = start_global_pool();
        global_start.store(start, std::memory_order_release);
      }
    }
    if (start->pool != nullptr) return start->pool;
    return unexpected(
        Failure::internal("The global thread pool has not been initialized.: " + start->error));
  } catch (const std::bad_alloc&) {
    return unexpected(Failure::no_memory());
  }
}

Outcome<size_t> current_num_threads() {
  if (inline_depth > 0) return size_t{1};
  if (current_worker != nullptr) return current_worker->state->num_threads;
  Outcome<ThreadPool*> pool = global_pool();
  if (!pool) return std::move(pool).pass();
  return (*pool)->num_threads();
}

long current_worker_index() noexcept {
  if (inline_pool != nullptr) return 0;
  return current_worker != nullptr ? static_cast<long>(current_worker->index) : -1;
}

namespace {

// Whether the calling thread runs operations itself: as a worker, or inline.
bool runs_here() noexcept {
  return inline_depth > 0 || current_worker != nullptr;
}

}  // namespace

Status run_in_pool(FunctionRef<Status()> op) {
  if (runs_here()) return guarded(op);
  Outcome<ThreadPool*> pool = global_pool();
  if (!pool) return std::move(pool).pass();
  return State::of(**pool).submit(op);
}

Status join(FunctionRef<Status()> a, FunctionRef<Status()> b) {
  // Checked again inside: the global pool may have one thread and run this inline.
  const auto run = [&]() -> Status {
    if (inline_depth > 0) {
      Status result_a = guarded(a);
      return first_failure(std::move(result_a), guarded(b));
    }
    return join_in_worker(*current_worker, a, b);
  };
  if (runs_here()) return run();
  return run_in_pool(run);
}

Status for_range(size_t n, size_t min_piece, FunctionRef<Status(size_t lo, size_t hi)> body) {
  const auto run = [&]() -> Status {
    if (n == 0) return {};
    if (inline_depth > 0) return guarded([&] { return body(0, n); });
    const size_t threads = current_worker->state->num_threads;
    const RangeSplit range{body, std::max<size_t>(min_piece, 1), threads};
    return split_range(range, 0, n, threads, false);
  };
  if (runs_here()) return run();
  if (n == 0) {
    // Nothing to hand over, but a pool that cannot start fails every operation alike.
    Outcome<ThreadPool*> pool = global_pool();
    if (!pool) return std::move(pool).pass();
    return {};
  }
  return run_in_pool(run);
}

}  // namespace catenc::pool
