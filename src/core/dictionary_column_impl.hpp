// The templates declared in dictionary_column.hpp; include that header, not this one.
#pragma once

#include <algorithm>
#include <bit>
#include <map>

#include "label_hash.hpp"

namespace catenc {

namespace detail {

// Keys come from users' files as labels do: the mix is keyed per process, so nobody can aim keys
// at one slot, and a table whose probe chains grow long all the same gives up hashing for an
// ordered map, as the label sets do.
class DistinctKeySet {
 public:
  DistinctKeySet() : salt_(label_hash_key().words[0]), slots_(64, 0) {}

  // Whether the set has given up hashing (for tests).
  bool is_ordered() const noexcept { return ordered_ != nullptr; }

  // The index of `key` among the keys seen so far, in order of first sight.
  uint32_t insert(uint64_t key, std::vector<uint64_t>& keys) {
    if (ordered_) [[unlikely]] {
      const auto [at, added] = ordered_->try_emplace(key, static_cast<uint32_t>(keys.size()));
      if (added) keys.push_back(key);
      return at->second;
    }
    const uint64_t home = mix(key);
    for (size_t i = home & mask(), probes = 1;; i = (i + 1) & mask(), ++probes) {
      const uint64_t slot = slots_[i];
      if (slot == 0) {
        const auto index = static_cast<uint32_t>(keys.size());
        keys.push_back(key);
        slots_[i] = keys.size();
        if (probes > max_probes()) {
          become_ordered(keys);
        } else if (keys.size() * 2 > slots_.size()) {
          grow(keys);
        }
        return index;
      }
      if (keys[slot - 1] == key) return static_cast<uint32_t>(slot - 1);
    }
  }

 private:
  uint64_t mix(uint64_t key) const noexcept {
    key ^= salt_;
    key ^= key >> 33;
    key *= 0xff51afd7ed558ccdULL;
    key ^= key >> 33;
    key *= 0xc4ceb9fe1a85ec53ULL;
    return key ^ (key >> 33);
  }
  size_t mask() const noexcept { return slots_.size() - 1; }
  size_t max_probes() const noexcept { return 3 * static_cast<size_t>(std::bit_width(slots_.size())) + 16; }

  [[gnu::noinline]] void grow(const std::vector<uint64_t>& keys) {
    slots_.assign(slots_.size() * 2, 0);
    for (size_t k = 0; k < keys.size(); ++k) {
      size_t i = mix(keys[k]) & mask();
      while (slots_[i] != 0) i = (i + 1) & mask();
      slots_[i] = k + 1;
    }
  }

  [[gnu::noinline, gnu::cold]] void become_ordered(const std::vector<uint64_t>& keys) {
    ordered_ = std::make_unique<std::map<uint64_t, uint32_t>>();
    for (size_t k = 0; k < keys.size(); ++k) ordered_->emplace(keys[k], static_cast<uint32_t>(k));
    slots_.clear();
    slots_.shrink_to_fit();
  }

  uint64_t salt_;
  std::vector<uint64_t> slots_;  // index + 1 of the key in `keys`; 0 is empty
  std::unique_ptr<std::map<uint64_t, uint32_t>> ordered_;
};

}  // namespace detail

template <class KeyAt>
Outcome<DistinctKeys> distinct_keys(size_t rows, KeyAt key_at) {
  try {
    DistinctKeys result;
    result.index_of_row.resize(rows);
    detail::DistinctKeySet set;
    for (size_t row = 0; row < rows; ++row) {
      if (result.keys.size() >= UINT32_MAX) return unexpected(Failure::internal("too many distinct values"));
      result.index_of_row[row] = set.insert(key_at(row), result.keys);
    }
    return result;
  } catch (const std::bad_alloc&) {
    return unexpected(Failure::no_memory());
  }
}

}  // namespace catenc
