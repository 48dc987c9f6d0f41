// The memory of encode's results and buffers: a freed block serves the next of about its size,
// never with stale bytes where zeros were asked for, and what waits for reuse stays within its
// bound and never lifts what the process holds above the most it used at once.
#include <cstdint>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "block_cache.hpp"
#include "check.hpp"

namespace blocks = catenc::block_cache;

namespace {

constexpr size_t MiB = size_t{1} << 20;

bool all_bytes(const void* data, size_t bytes, unsigned char value) {
  const auto* p = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < bytes; ++i) {
    if (p[i] != value) return false;
  }
  return true;
}

}  // namespace

TEST(a_freed_block_serves_the_next_request_of_about_its_size) {
  blocks::drop_kept();
  void* first = blocks::allocate(8 * MiB);
  REQUIRE(first != nullptr);
  CHECK_EQ(reinterpret_cast<uintptr_t>(first) % 64, uintptr_t{0});
  std::memset(first, 0xAB, 8 * MiB);
  blocks::release(first);
  CHECK(blocks::kept_bytes() >= 8 * MiB);
  // Smaller, but not by half: the same block.
  void* second = blocks::allocate(5 * MiB);
  CHECK(second == first);
  CHECK(blocks::held_bytes(second) >= 8 * MiB);
  CHECK_EQ(blocks::kept_bytes(), size_t{0});
  blocks::release(second);
  // Less than half of it, or more than all: a block of its own, for which the kept one makes way.
  for (const size_t bytes : {3 * MiB, 9 * MiB}) {
    void* other = blocks::allocate(bytes);
    REQUIRE(other != nullptr);
    CHECK_EQ(blocks::kept_bytes(), size_t{0});
    CHECK(blocks::held_bytes(other) < bytes + MiB);
    blocks::release(other);
  }
  blocks::drop_kept();
  CHECK_EQ(blocks::kept_bytes(), size_t{0});
}

TEST(kept_blocks_never_raise_the_memory_held_above_its_peak_in_use) {
  blocks::drop_kept();
  std::mt19937_64 random(3);
  std::vector<std::pair<void*, size_t>> live;
  size_t in_use = 0;
  size_t peak = 0;
  bool within = true;
  for (int step = 0; step < 2000; ++step) {
    if (live.empty() || (live.size() < 12 && random() % 2 == 0)) {
      const size_t bytes = (1 + random() % 24) * MiB + random() % 4096;
      void* data = blocks::allocate(bytes);
      REQUIRE(data != nullptr);
      live.emplace_back(data, blocks::held_bytes(data));
      in_use += blocks::held_bytes(data);
    } else {
      const size_t at = random() % live.size();
      blocks::release(live[at].first);
      in_use -= live[at].second;
      live.erase(live.begin() + static_cast<ptrdiff_t>(at));
    }
    peak = std::max(peak, in_use);
    within &= in_use + blocks::kept_bytes() <= peak;
    within &= blocks::kept_bytes() <= blocks::kept_bytes_limit;
  }
  CHECK(within);
  for (const auto& block : live) blocks::release(block.first);
  blocks::drop_kept();
}

TEST(zeroed_memory_is_zero_even_in_a_reused_block) {
  blocks::drop_kept();
  for (const size_t bytes : {size_t{104}, 2 * MiB, 16 * MiB}) {
    void* dirty = blocks::allocate(bytes);
    REQUIRE(dirty != nullptr);
    std::memset(dirty, 0xFF, bytes);
    blocks::release(dirty);
    void* zeroed = blocks::allocate_zeroed(bytes / 8, 8);
    REQUIRE(zeroed != nullptr);
    CHECK(all_bytes(zeroed, bytes, 0));
    blocks::release(zeroed);
  }
  CHECK(blocks::allocate_zeroed(SIZE_MAX / 2, 4) == nullptr);
  CHECK(blocks::allocate(SIZE_MAX - 8) == nullptr);
  CHECK(blocks::allocate(SIZE_MAX / 2 + 1) == nullptr);
  blocks::drop_kept();
}

TEST(what_waits_for_reuse_stays_within_its_bound) {
  blocks::drop_kept();
  // Small blocks are malloc's: none is kept.
  void* small = blocks::allocate(blocks::min_kept_bytes / 2);
  blocks::release(small);
  CHECK_EQ(blocks::kept_bytes(), size_t{0});
  // One block above the bound is never kept.
  void* huge = blocks::allocate(blocks::kept_bytes_limit + MiB);
  REQUIRE(huge != nullptr);
  blocks::release(huge);
  CHECK_EQ(blocks::kept_bytes(), size_t{0});
  // Many blocks at once: the oldest make way.
  std::vector<void*> held;
  for (int i = 0; i < 20; ++i) held.push_back(blocks::allocate(blocks::kept_bytes_limit / 5));
  for (void* block : held) blocks::release(block);
  CHECK(blocks::kept_bytes() <= blocks::kept_bytes_limit);
  CHECK(blocks::kept_bytes() > 0);
  blocks::drop_kept();
}

TEST(reallocation_keeps_the_bytes_that_fit) {
  blocks::drop_kept();
  for (const auto& [from, to] : std::vector<std::pair<size_t, size_t>>{
           {64, 4 * MiB}, {4 * MiB, 64}, {2 * MiB, 3 * MiB}, {3 * MiB, 2 * MiB}, {10, 20}}) {
    auto* data = static_cast<unsigned char*>(blocks::allocate(from));
    REQUIRE(data != nullptr);
    for (size_t i = 0; i < from; ++i) data[i] = static_cast<unsigned char>(i * 7);
    auto* moved = static_cast<unsigned char*>(blocks::reallocate(data, to));
    REQUIRE(moved != nullptr);
    bool same = true;
    for (size_t i = 0; i < std::min(from, to); ++i)
      same &= moved[i] == static_cast<unsigned char>(i * 7);
    CHECK(same);
    moved[to - 1] = 1;  // the whole new size is writable
    blocks::release(moved);
  }
  void* fresh = blocks::reallocate(nullptr, 3 * MiB);
  CHECK(fresh != nullptr);
  blocks::release(fresh);
  blocks::release(nullptr);
  blocks::drop_kept();
}

TEST(blocks_pass_between_threads) {
  blocks::drop_kept();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 200; ++i) {
        const size_t bytes = (2 + static_cast<size_t>((t + i) % 5)) * MiB;
        auto* data = static_cast<unsigned char*>(blocks::allocate(bytes));
        if (data == nullptr) continue;
        data[0] = static_cast<unsigned char>(t);
        data[bytes - 1] = static_cast<unsigned char>(i);
        blocks::release(data);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  CHECK(blocks::kept_bytes() <= blocks::kept_bytes_limit);
  blocks::drop_kept();
}
