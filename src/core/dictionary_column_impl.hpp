// The templates declared in dictionary_column.hpp; include that header, not this one.
#pragma once

#include <algorithm>
#include <atomic>
#include <bit>
#include <map>
#include <vector>

#include "label_hash.hpp"
#include "pool.hpp"
#include "row_ids.hpp"

namespace catenc {

namespace detail {

// Keys come from users' files as labels do: the mix is keyed per process, so nobody can aim keys
// at one slot, and a table whose probe chains grow long all the same gives up hashing for an
// ordered map, as the label sets do.
class DistinctKeySet {
 public:
  using Key = uint64_t;

  DistinctKeySet()
      : salt_(label_hash_key().words[0]), multiplier_(label_hash_key().words[2] | 1), slots_(64) {}

  // Whether the set has given up hashing (for tests).
  bool is_ordered() const noexcept { return ordered_ != nullptr; }

  // The index of `key` among the keys seen so far, in order of first sight. A slot holds its key
  // beside the key's index plus one (0: empty), so that a probe reads one place.
  [[gnu::always_inline]] uint32_t insert(uint64_t key, std::vector<uint64_t>& keys) {
    if (ordered_) [[unlikely]] {
      const auto [at, added] = ordered_->try_emplace(key, static_cast<uint32_t>(keys.size()));
      if (added) keys.push_back(key);
      return at->second;
    }
    const uint64_t home = mix(key);
    for (size_t i = home & mask(), probes = 1;; i = (i + 1) & mask(), ++probes) {
      const Slot& slot = slots_[i];
      if (slot.index == 0) {
        const auto index = static_cast<uint32_t>(keys.size());
        keys.push_back(key);
        slots_[i] = Slot{key, keys.size()};
        if (probes > max_probes()) {
          become_ordered(keys);
        } else if (keys.size() * 2 > slots_.size()) {
          grow(keys);
        }
        return index;
      }
      if (slot.key == key) return static_cast<uint32_t>(slot.index - 1);
    }
  }

 private:
  // One keyed multiply, both halves of the product folded: every bit of the key reaches the bits
  // a slot is chosen by, in half the time of two rounds of multiply and shift.
  uint64_t mix(uint64_t key) const noexcept {
    const unsigned __int128 product = static_cast<unsigned __int128>(key ^ salt_) * multiplier_;
    return static_cast<uint64_t>(product) ^ static_cast<uint64_t>(product >> 64);
  }
  size_t mask() const noexcept { return slots_.size() - 1; }
  size_t max_probes() const noexcept {
    return 3 * static_cast<size_t>(std::bit_width(slots_.size())) + 16;
  }

  [[gnu::noinline]] void grow(const std::vector<uint64_t>& keys) {
    slots_.assign(slots_.size() * 2, Slot{});
    for (size_t k = 0; k < keys.size(); ++k) {
      size_t i = mix(keys[k]) & mask();
      while (slots_[i].index != 0) i = (i + 1) & mask();
      slots_[i] = Slot{keys[k], k + 1};
    }
  }

  [[gnu::noinline, gnu::cold]] void become_ordered(const std::vector<uint64_t>& keys) {
    ordered_ = std::make_unique<std::map<uint64_t, uint32_t>>();
    for (size_t k = 0; k < keys.size(); ++k) ordered_->emplace(keys[k], static_cast<uint32_t>(k));
    slots_.clear();
    slots_.shrink_to_fit();
  }

  struct Slot {
    uint64_t key = 0;
    uint64_t index = 0;  // of the key in `keys`, plus one; 0 is empty
  };

  uint64_t salt_;
  uint64_t multiplier_;
  std::vector<Slot> slots_;
  std::unique_ptr<std::map<uint64_t, uint32_t>> ordered_;
};

}  // namespace detail

// Rows per chunk of the deduplication: below it one thread does all, above it each chunk finds its
// own keys, and the chunks' keys are merged, which costs little while keys repeat.
inline constexpr size_t distinct_key_chunk_rows = 1 << 16;

template <class Set, class KeyAt>
Outcome<std::vector<typename Set::Key>> distinct_rows(size_t rows, KeyAt key_at, double* out,
                                                      size_t out_stride) {
  using Key = typename Set::Key;
  try {
    std::vector<Key> result;
    const RowIds ids(out, out_stride);
    CATENC_ASSIGN_OR_RETURN(const size_t threads, pool::current_num_threads());
    // A lone thread has nobody to balance with: a second chunk would only cost a merge.
    const size_t chunks =
        threads == 1 ? 1
                     : std::max<size_t>(1, std::min(threads * 2, rows / distinct_key_chunk_rows));
    std::vector<std::vector<Key>> chunk_keys(chunks);
    std::atomic<bool> too_many{false};
    CATENC_TRY(pool::for_range(chunks, 1, [&](size_t lo, size_t hi) -> Status {
      for (size_t k = lo; k < hi; ++k) {
        Set set;
        std::vector<Key>& keys = chunk_keys[k];
        // The bounds in locals: the cells written may alias what they are computed from, so
        // the compiler would divide again for every row.
        const size_t end = rows * (k + 1) / chunks;
        for (size_t row = rows * k / chunks; row < end; ++row) {
          ids.set(row, set.insert(key_at(row), keys));
        }
        if (keys.size() >= UINT32_MAX) too_many.store(true);
      }
      return {};
    }));
    if (too_many.load()) return unexpected(Failure::internal("too many distinct values"));
    if (chunks == 1) return std::move(chunk_keys[0]);
    // The chunks' keys merged, in the order of the chunks, and each chunk's numbering of them.
    Set merged;
    std::vector<std::vector<uint32_t>> global(chunks);
    for (size_t k = 0; k < chunks; ++k) {
      global[k].reserve(chunk_keys[k].size());
      for (const Key& key : chunk_keys[k]) global[k].push_back(merged.insert(key, result));
      if (result.size() >= UINT32_MAX)
        return unexpected(Failure::internal("too many distinct values"));
    }
    CATENC_TRY(pool::for_range(chunks, 1, [&](size_t lo, size_t hi) -> Status {
      for (size_t k = lo; k < hi; ++k) {
        const uint32_t* global_of_local = global[k].data();
        const size_t end = rows * (k + 1) / chunks;
        for (size_t row = rows * k / chunks; row < end; ++row) {
          ids.set(row, global_of_local[ids.get(row)]);
        }
      }
      return {};
    }));
    return result;
  } catch (const std::bad_alloc&) {
    return unexpected(Failure::no_memory());
  }
}

template <class KeyAt>
Outcome<std::vector<uint64_t>> distinct_keys(size_t rows, KeyAt key_at, double* out,
                                             size_t out_stride) {
  return distinct_rows<detail::DistinctKeySet>(rows, key_at, out, out_stride);
}

}  // namespace catenc
