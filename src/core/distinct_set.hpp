// The distinct labels of a column, numbered in order of first sight: the hash set that every
// deduplication of label_encode goes through (the sample, the chunks, their merge, the hash
// partitions).
//
// Its worst case is bounded whatever the bytes. The hash is keyed, so nobody can aim labels at
// one slot without the key; should probe chains grow long all the same (a leaked key, or bad
// luck), the set moves its labels into a byte-wise ordered tree and stays there for the rest of
// its life. Every operation then costs O(log n) comparisons instead of up to n probes. The indices
// it hands out are the same either way, so nothing downstream can tell.
#pragma once

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "big_vector.hpp"
#include "label.hpp"
#include "label_hash.hpp"

// Builds for tests define this to 1 (CMake does when it builds the tests), so that sets count
// their work; elsewhere the count would only cost time in the loops over rows.
#ifndef CATENC_COUNT_DEDUP_WORK
#define CATENC_COUNT_DEDUP_WORK 0
#endif

namespace catenc {

namespace detail {

inline constexpr bool count_dedup_work = CATENC_COUNT_DEDUP_WORK != 0;

// Slots probed plus labels compared, by every set since the process started; each set adds its
// own count once, when it is destroyed. Always 0 unless count_dedup_work.
inline std::atomic<uint64_t> distinct_set_work{0};

}  // namespace detail

class DistinctSet {
 public:
  DistinctSet(size_t expected, const LabelHasher& hasher) : hasher_(hasher) {
    const size_t capacity = std::bit_ceil(std::max<size_t>(16, expected * 2));
    slots_.assign(capacity, 0);
    set_capacity(capacity);
    entries_.reserve(expected);
  }
  ~DistinctSet() {
    if constexpr (detail::count_dedup_work) {
      const uint64_t compares = ordered_ ? ordered_->compares : 0;
      detail::distinct_set_work.fetch_add(work_ + compares, std::memory_order_relaxed);
    }
  }
  DistinctSet(const DistinctSet&) = delete;
  DistinctSet& operator=(const DistinctSet&) = delete;

  // The index of `label` (whose hash under the set's hasher is `hash`), which is new when the
  // label was not in the set yet: 0, 1, 2, ... in order of first sight.
  //
  // The loop is the one the set had before it had a bound: the bound is checked only where a new
  // label is added, from the distance it lies from its home slot. That suffices, because no label
  // ever moves: finding one costs what adding it did. An ordered set gets here too, through a
  // table of one empty slot.
  [[gnu::always_inline]] uint32_t insert(Label label, uint64_t hash) {
    const uint64_t tag = hash & tag_mask;
    for (size_t i = hash & mask_;; i = (i + 1) & mask_) {
      const uint64_t slot = slots_[i];
      if (slot == 0) return add(label, hash, i);
      if ((slot & tag_mask) == tag) {
        const auto index = static_cast<uint32_t>((slot & ~tag_mask) - 1);
        if constexpr (detail::count_dedup_work) work_ += 1;
        if (same_label(entries_[index], label)) {
          if constexpr (detail::count_dedup_work) work_ += probes_to(i, hash);
          return index;
        }
      }
    }
  }

  size_t size() const noexcept { return entries_.size(); }
  // Whether the set has given up hashing (for tests).
  bool is_ordered() const noexcept { return ordered_ != nullptr; }
  BigVector<Label> take_entries() && { return std::move(entries_); }

 private:
  static constexpr uint64_t tag_mask = 0xFFFFFFFF00000000ULL;

  struct CountingLess {
    uint64_t* compares;
    bool operator()(Label a, Label b) const noexcept {
      if constexpr (detail::count_dedup_work) ++*compares;
      return a < b;
    }
  };
  // On the heap, so that the comparator's pointer to its counter stays valid.
  struct Ordered {
    uint64_t compares = 0;
    std::map<Label, uint32_t, CountingLess> index{CountingLess{&compares}};
  };

  // Slots looked at from a hash's home slot to slot i, both included.
  size_t probes_to(size_t i, uint64_t hash) const noexcept { return ((i - hash) & mask_) + 1; }

  // Linear probing at a load of at most one half makes chains longer than about 2.2 log2 of the
  // capacity unlikely even in the largest tables (measured: at most 46 in 2^21 slots of random
  // hashes); the margin keeps chance from ever tipping a set of ordinary labels over.
  void set_capacity(size_t capacity) noexcept {
    mask_ = capacity - 1;
    max_probes_ = 3 * static_cast<size_t>(std::bit_width(capacity)) + 16;
  }

  uint32_t add(Label label, uint64_t hash, size_t i) {
    if (ordered_ != nullptr) [[unlikely]]
      return insert_ordered(label);
    const size_t probes = probes_to(i, hash);
    if constexpr (detail::count_dedup_work) work_ += probes;
    const auto index = static_cast<uint32_t>(entries_.size());
    entries_.push_back(label);
    slots_[i] = (hash & tag_mask) | (static_cast<uint64_t>(index) + 1);
    if (probes > max_probes_) [[unlikely]] {
      become_ordered();
    } else if (entries_.size() * 2 > slots_.size()) {
      grow();
    }
    return index;
  }

  // The rare paths stay out of line, so that insert() stays small enough to inline into the loops
  // over rows.

  // Walks the entries rather than the old slots: reading them in order keeps the hashes
  // streaming from memory, where following each slot to its entry would miss the cache per label.
  [[gnu::noinline]] void grow() {
    slots_.assign(slots_.size() * 2, 0);
    set_capacity(slots_.size());
    for (size_t index = 0; index < entries_.size(); ++index) {
      const uint64_t hash = hasher_(entries_[index]);
      size_t i = hash & mask_;
      while (slots_[i] != 0) i = (i + 1) & mask_;
      const size_t probes = probes_to(i, hash);
      if constexpr (detail::count_dedup_work) work_ += probes;
      if (probes > max_probes_) [[unlikely]] {
        become_ordered();
        return;
      }
      slots_[i] = (hash & tag_mask) | (static_cast<uint64_t>(index) + 1);
    }
  }

  // Leaves a table of one empty slot, so that every insert() goes straight to add().
  [[gnu::noinline, gnu::cold]] void become_ordered() {
    auto ordered = std::make_unique<Ordered>();
    for (size_t index = 0; index < entries_.size(); ++index) {
      ordered->index.emplace(entries_[index], static_cast<uint32_t>(index));
    }
    ordered_ = std::move(ordered);
    slots_.assign(1, 0);
    slots_.shrink_to_fit();
    mask_ = 0;
  }

  [[gnu::noinline, gnu::cold]] uint32_t insert_ordered(Label label) {
    const auto index = static_cast<uint32_t>(entries_.size());
    const auto [at, added] = ordered_->index.try_emplace(label, index);
    if (added) entries_.push_back(label);
    return at->second;
  }

  LabelHasher hasher_;
  BigVector<uint64_t> slots_;
  size_t mask_ = 0;
  size_t max_probes_ = 0;
  uint64_t work_ = 0;
  BigVector<Label> entries_;
  std::unique_ptr<Ordered> ordered_;
};

// Cells of raw bytes as views, numbered for distinct_rows: keyed and bounded as labels are.
class DistinctViewSet {
 public:
  using Key = Label;

  DistinctViewSet() : hasher_(label_hash_key()), set_(0, hasher_) {}

  [[gnu::always_inline]] uint32_t insert(Label cell, std::vector<Label>& keys) {
    const uint32_t index = set_.insert(cell, hasher_(cell));
    if (index == keys.size()) keys.push_back(cell);
    return index;
  }

 private:
  LabelHasher hasher_;
  DistinctSet set_;
};

}  // namespace catenc
