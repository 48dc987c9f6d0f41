// The templates declared in dictionary_column.hpp; include that header, not this one.
#pragma once

#include <algorithm>
#include <bit>

namespace catenc {

namespace detail {

inline uint64_t mix_key(uint64_t key) noexcept {
  key ^= key >> 33;
  key *= 0xff51afd7ed558ccdULL;
  key ^= key >> 33;
  key *= 0xc4ceb9fe1a85ec53ULL;
  return key ^ (key >> 33);
}

}  // namespace detail

// One open-addressing table on one thread: the keys are what the caller stores (dates, numbers),
// whose distinct count is usually small next to the rows.
template <class KeyAt>
Outcome<DistinctKeys> distinct_keys(size_t rows, KeyAt key_at) {
  try {
    DistinctKeys result;
    result.index_of_row.resize(rows);
    std::vector<uint64_t> slots(64, 0);  // index + 1 of the key in `keys`; 0 is empty
    size_t mask = slots.size() - 1;
    const auto grow = [&] {
      slots.assign(slots.size() * 2, 0);
      mask = slots.size() - 1;
      for (size_t k = 0; k < result.keys.size(); ++k) {
        size_t i = detail::mix_key(result.keys[k]) & mask;
        while (slots[i] != 0) i = (i + 1) & mask;
        slots[i] = k + 1;
      }
    };
    for (size_t row = 0; row < rows; ++row) {
      const uint64_t key = key_at(row);
      size_t i = detail::mix_key(key) & mask;
      for (;;) {
        const uint64_t slot = slots[i];
        if (slot == 0) {
          if (result.keys.size() >= UINT32_MAX) return unexpected(Failure::internal("too many distinct values"));
          result.keys.push_back(key);
          slots[i] = result.keys.size();
          result.index_of_row[row] = static_cast<uint32_t>(result.keys.size() - 1);
          if (result.keys.size() * 2 > slots.size()) grow();
          break;
        }
        if (result.keys[slot - 1] == key) {
          result.index_of_row[row] = static_cast<uint32_t>(slot - 1);
          break;
        }
        i = (i + 1) & mask;
      }
    }
    return result;
  } catch (const std::bad_alloc&) {
    return unexpected(Failure::no_memory());
  }
}

}  // namespace catenc
