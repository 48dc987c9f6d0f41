// Process-wide values made once, on first need, by a call that may use the interpreter.
//
// The thread that makes the value stays attached while it calls the interpreter. Any other thread
// that needs the value meanwhile detaches before it waits: it may hold the interpreter (the GIL,
// or a stop-the-world pause on free-threaded builds) that the maker needs to finish.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include "error.hpp"

namespace catenc::py {

// Detaches the calling thread from the interpreter for its lifetime: whatever leaves the scope
// (an exception from a lock or a wait included) attaches it again first.
class Detached {
 public:
  Detached() noexcept : state_(PyEval_SaveThread()) {}
  ~Detached() { PyEval_RestoreThread(state_); }
  Detached(const Detached&) = delete;
  Detached& operator=(const Detached&) = delete;

 private:
  PyThreadState* state_;
};

template <class T>
class OnceCell {
 public:
  // The value, or null while nobody has made it yet.
  const T* peek() const noexcept {
    return state_.load(std::memory_order_acquire) == ready ? &*value_ : nullptr;
  }

  // The value, made by `make` (returning PyResult<T>) if no thread has made it yet. A failed
  // attempt leaves the cell empty, so the next caller tries again.
  template <class Make>
  PyResult<const T*> get_or_init(Make&& make) {
    if (const T* value = peek()) return value;
    std::unique_lock lock(mutex_);
    for (;;) {
      const int state = state_.load(std::memory_order_relaxed);
      if (state == ready) return &*value_;
      if (state == empty) break;
      if (maker_ == std::this_thread::get_id()) {
        return Unexpected<Error>{Error::internal("a process-wide value needs itself to be made")};
      }
      lock.unlock();
      {
        Detached detached;
        std::unique_lock wait_lock(mutex_);
        changed_.wait(wait_lock, [&] { return state_.load(std::memory_order_relaxed) != making; });
      }
      lock.lock();
    }
    state_.store(making, std::memory_order_relaxed);
    maker_ = std::this_thread::get_id();
    lock.unlock();

    std::optional<PyResult<T>> made;
    try {
      made.emplace(make());
    } catch (...) {
      finish(false);
      throw;
    }
    if (!*made) {
      finish(false);
      return std::move(*made).pass();
    }
    value_.emplace(std::move(*made).value());
    finish(true);
    return &*value_;
  }

 private:
  static constexpr int empty = 0;
  static constexpr int making = 1;
  static constexpr int ready = 2;

  void finish(bool made) {
    {
      std::lock_guard lock(mutex_);
      maker_ = {};
      state_.store(made ? ready : empty, std::memory_order_release);
    }
    changed_.notify_all();
  }

  std::atomic<int> state_{empty};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::thread::id maker_;
  std::optional<T> value_;
};

}  // namespace catenc::py
