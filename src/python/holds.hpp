// The hold counter that arbitrates concurrent calls on one Encoder: any number of shared holds
// (decode) or one exclusive hold (encode). Nothing ever waits for a hold: a conflicting request
// fails at once, also when the conflict is the same thread re-entering through user code.
#pragma once

#include <atomic>
#include <cstdint>

#include "error.hpp"

namespace catenc::py {

inline constexpr uint32_t exclusive_hold = 0xFFFFFFFFu;
// The most shared holds: one more would read as the exclusive hold.
inline constexpr uint32_t max_shared_holds = 0xFFFFFFFEu;

class ExclusiveHold {
 public:
  static PyResult<ExclusiveHold> take(std::atomic<uint32_t>& counter) {
    uint32_t expected = 0;
    if (!counter.compare_exchange_strong(expected, exclusive_hold, std::memory_order_acquire,
                                         std::memory_order_relaxed)) {
      return fail(PyExc_RuntimeError, "Already borrowed");
    }
    return ExclusiveHold(counter);
  }
  ExclusiveHold(ExclusiveHold&& other) noexcept
      : counter_(std::exchange(other.counter_, nullptr)) {}
  ExclusiveHold& operator=(ExclusiveHold&&) = delete;
  ~ExclusiveHold() {
    if (counter_ != nullptr) counter_->store(0, std::memory_order_release);
  }

 private:
  explicit ExclusiveHold(std::atomic<uint32_t>& counter) : counter_(&counter) {}
  std::atomic<uint32_t>* counter_;
};

class SharedHold {
 public:
  static PyResult<SharedHold> take(std::atomic<uint32_t>& counter) {
    uint32_t seen = counter.load(std::memory_order_relaxed);
    for (;;) {
      // A full counter refuses too: counting on would turn the shared holds into an exclusive one.
      if (seen >= max_shared_holds) return fail(PyExc_RuntimeError, "Already mutably borrowed");
      if (counter.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire,
                                        std::memory_order_relaxed)) {
        return SharedHold(counter);
      }
    }
  }
  SharedHold(SharedHold&& other) noexcept : counter_(std::exchange(other.counter_, nullptr)) {}
  SharedHold& operator=(SharedHold&&) = delete;
  ~SharedHold() {
    if (counter_ != nullptr) counter_->fetch_sub(1, std::memory_order_release);
  }

 private:
  explicit SharedHold(std::atomic<uint32_t>& counter) : counter_(&counter) {}
  std::atomic<uint32_t>* counter_;
};

}  // namespace catenc::py
