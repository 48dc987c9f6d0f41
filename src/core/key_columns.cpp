#include "key_columns.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>
#include <numeric>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "date_text.hpp"
#include "label_hash.hpp"
#include "pool.hpp"

namespace catenc {

namespace {

// Rows of every column read, then written, while they stay in a core's cache: in a row-major table
// the columns of a block share its cache lines.
constexpr size_t block_rows = 1024;
constexpr size_t min_piece_blocks = 16;

// Tables are at most an eighth full: a key is then nearly always in its home slot, and the cells
// are read at the speed of one multiply and one load each. Measured on 3,000 keys a column, a
// quarter full costs a fifth more per cell, half full twice as much.
constexpr size_t slots_per_key = 8;

// Keyed multiply-shift (the slot is the top bits of the product): nobody can aim keys at one slot
// without the process's key (label_hash.hpp), and one multiply is all a cell pays. Should probes
// run long all the same, the column is left to run(), whose sets then keep their keys in an
// ordered map.
class KeyMix {
 public:
  KeyMix(const LabelHashKey& key, size_t capacity) noexcept
      : salt_(key.words[0]),
        multiplier_(key.words[2] | 1),
        shift_(65 - static_cast<unsigned>(std::bit_width(capacity))) {}
  size_t slot(uint64_t key) const noexcept {
    return static_cast<size_t>(((key ^ salt_) * multiplier_) >> shift_);
  }

 private:
  uint64_t salt_;
  uint64_t multiplier_;
  unsigned shift_;
};

// Slots a key may lie past its home before a table gives up: more are all but impossible at an
// eighth full without the key. A table has this many slots past its last home, so that probes
// never wrap.
size_t max_probes(size_t capacity) noexcept {
  return 3 * static_cast<size_t>(std::bit_width(capacity)) + 16;
}

size_t capacity_for(size_t keys) noexcept {
  return std::bit_ceil(std::max<size_t>(64, keys * (keys > 8192 ? 2 : slots_per_key)));
}

// Keys as low + i * step for i < points: days, or whole seconds of a few hours, in any unit. A
// key's index is found with no division, as rotr((key - low) * inverse, shift), where step is
// odd << shift and inverse is odd's inverse modulo 2^64. That map is one-to-one on 64-bit words, so
// a key off the grid gets an index past its end: a cell is looked up with no key compared.
class KeyGrid {
 public:
  // The grid through `keys` but NaT, from the least to the greatest, widened by up to `margin`
  // points on each side within int64 and `max_points`; nothing when it would have more points.
  static std::optional<KeyGrid> through(std::span<const uint64_t> keys, uint64_t margin,
                                        uint64_t max_points) {
    int64_t least = INT64_MAX;
    int64_t greatest = INT64_MIN;
    for (const uint64_t key : keys) {
      const auto value = static_cast<int64_t>(key);
      if (value == not_a_time) continue;
      least = std::min(least, value);
      greatest = std::max(greatest, value);
    }
    if (least > greatest) return std::nullopt;
    uint64_t step = 0;
    for (const uint64_t key : keys) {
      if (static_cast<int64_t>(key) != not_a_time) step = std::gcd(step, key - uint64_t(least));
    }
    step = std::max<uint64_t>(step, 1);
    const uint64_t spanned = (uint64_t(greatest) - uint64_t(least)) / step + 1;
    if (spanned > max_points) return std::nullopt;
    margin = std::min(margin, (max_points - spanned) / 2);
    const uint64_t below = std::min(margin, (uint64_t(least) - uint64_t(INT64_MIN)) / step);
    const uint64_t above = std::min(margin, (uint64_t(INT64_MAX) - uint64_t(greatest)) / step);
    KeyGrid grid;
    grid.low_ = uint64_t(least) - below * step;
    grid.step_ = step;
    grid.points_ = spanned + below + above;
    grid.shift_ = std::countr_zero(step);
    const uint64_t odd = step >> grid.shift_;
    grid.inverse_ = odd;  // each step of Newton's iteration doubles the bits that are right
    for (int i = 0; i < 5; ++i) grid.inverse_ *= 2 - odd * grid.inverse_;
    return grid;
  }

  uint64_t points() const noexcept { return points_; }
  // At least points() when `key` is off the grid.
  uint64_t index(uint64_t key) const noexcept { return std::rotr((key - low_) * inverse_, shift_); }
  uint64_t key(uint64_t index) const noexcept { return low_ + index * step_; }

 private:
  uint64_t low_ = 0;
  uint64_t step_ = 1;
  uint64_t inverse_ = 1;
  uint64_t points_ = 0;
  int shift_ = 0;
};

// The distinct keys that one column holds in the rows that one worker read. Once its first keys lie
// on a grid, a key on the grid (widened, since later rows may reach further) is noted by a flag at
// its index; others go to a hash table whose slots hold the keys themselves. An empty slot holds
// `empty`, a key that is then noted apart.
class KeySet {
 public:
  explicit KeySet(const LabelHashKey& hash_key) : hash_key_(hash_key), mix_(hash_key, 64) {
    slots_.assign(64 + max_probes(64), empty);
  }

  // Adds the keys of rows [lo, hi); false when the set gives up (too many keys, a long probe).
  bool add_rows(const KeyCells& cells, size_t lo, size_t hi) {
    const char* data = cells.data;
    const ptrdiff_t stride = cells.stride;
    if (!grid_) {
      for (size_t r = lo; r < hi; ++r) {
        uint64_t key;
        std::memcpy(&key, data + static_cast<ptrdiff_t>(r) * stride, sizeof key);
        if (!add_hashed(key)) return false;
      }
      try_grid();
      return true;
    }
    const KeyGrid grid = *grid_;
    uint8_t* seen = seen_.data();
    for (size_t r = lo; r < hi; ++r) {
      uint64_t key;
      std::memcpy(&key, data + static_cast<ptrdiff_t>(r) * stride, sizeof key);
      const uint64_t index = grid.index(key);
      if (index < grid.points()) [[likely]] {
        seen[index] = 1;
      } else if (!add_hashed(key)) {
        return false;
      }
    }
    return true;
  }

  void append_to(std::vector<uint64_t>& keys) const {
    keys.insert(keys.end(), keys_.begin(), keys_.end());
    if (holds_empty_) keys.push_back(empty);
    for (size_t i = 0; i < seen_.size(); ++i) {
      if (seen_[i]) keys.push_back(grid_->key(i));
    }
  }

 private:
  // A grid of at most this many flags: 64 KiB a column and worker, so that the flags of a few
  // columns stay in a core's cache.
  static constexpr uint64_t max_grid_points = uint64_t{1} << 16;

  bool add_hashed(uint64_t key) {
    // An empty home slot matches the key `empty` too: that key takes add().
    if ((slots_[mix_.slot(key)] == key) & (key != empty)) [[likely]]
      return true;
    return add(key);
  }

  // Looks for a grid each time the keys have doubled, up to a few thousand keys: one that spans
  // three times the range of the keys found so far, as later rows may reach further. Keys found
  // until then stay in the hash table.
  void try_grid() {
    if (keys_.size() < next_grid_try_ || next_grid_try_ > max_grid_points / 4) return;
    next_grid_try_ = 2 * keys_.size();
    const std::optional<KeyGrid> tight = KeyGrid::through(keys_, 0, max_grid_points);
    if (!tight) return;
    grid_ = KeyGrid::through(keys_, tight->points(), max_grid_points);
    seen_.assign(grid_->points(), 0);
  }

  // One past NaT: no date or duration that one meets.
  static constexpr uint64_t empty = 0x8000000000000001;

  // A key not in its home slot: further on, or new.
  [[gnu::noinline]] bool add(uint64_t key) {
    if (key == empty) {
      holds_empty_ = true;
      return true;
    }
    const size_t home = mix_.slot(key);
    size_t i = home;
    for (; slots_[i] != empty; ++i) {
      if (slots_[i] == key) return true;
    }
    if (i - home >= max_probes(capacity_) || keys_.size() >= key_column_max_keys) return false;
    keys_.push_back(key);
    if (capacity_for(keys_.size()) > capacity_) return rehash(capacity_for(keys_.size()));
    slots_[i] = key;
    return true;
  }

  bool rehash(size_t capacity) {
    capacity_ = capacity;
    mix_ = KeyMix(hash_key_, capacity);
    slots_.assign(capacity + max_probes(capacity), empty);
    for (const uint64_t key : keys_) {
      const size_t home = mix_.slot(key);
      size_t i = home;
      while (slots_[i] != empty) ++i;
      if (i - home >= max_probes(capacity)) return false;
      slots_[i] = key;
    }
    return true;
  }

  LabelHashKey hash_key_;
  size_t capacity_ = 64;
  KeyMix mix_;
  std::vector<uint64_t> slots_;
  std::vector<uint64_t> keys_;
  bool holds_empty_ = false;
  size_t next_grid_try_ = 16;
  std::optional<KeyGrid> grid_;
  std::vector<uint8_t> seen_;
};

// A column's keys and their codes. Keys on a grid of not many more points than keys index an
// array of codes, a fraction of a hash table's size; others are looked up in a hash table.
class KeyCodeTable {
 public:
  // False when a probe runs long.
  bool build(const LabelHashKey& hash_key, std::span<const uint64_t> ascending_keys,
             std::span<const double> codes) {
    if (build_grid(ascending_keys, codes)) return true;
    for (const uint64_t key : ascending_keys) {
      if (key > absent_) break;
      if (key == absent_) ++absent_;
    }
    const size_t capacity = capacity_for(ascending_keys.size());
    mix_ = KeyMix(hash_key, capacity);
    slots_.assign(capacity + max_probes(capacity), Slot{absent_, 0});
    for (size_t k = 0; k < ascending_keys.size(); ++k) {
      const size_t home = mix_.slot(ascending_keys[k]);
      size_t i = home;
      while (slots_[i].key != absent_) ++i;
      if (i - home >= max_probes(capacity)) return false;
      slots_[i] = Slot{ascending_keys[k], codes[k]};
    }
    return true;
  }

  // Writes the code of rows [lo, hi) to out[row * out_stride]; false when a row's key is not in the
  // table: the cells changed after their keys were found.
  bool write_rows(const KeyCells& cells, size_t lo, size_t hi, double* out,
                  size_t out_stride) const noexcept {
    return !grid_ ? write_hashed(cells, lo, hi, out, out_stride)
                  : write_gridded(cells, lo, hi, out, out_stride);
  }

 private:
  struct Slot {
    uint64_t key;
    double code;
  };

  // A grid is kept when it has no more points than this many per key, beyond a few thousand.
  static constexpr size_t grid_points_per_key = 2;
  static constexpr size_t grid_free_points = 4096;
  // Marks a grid point that is no key: codes are never negative.
  static constexpr double no_code = -1;

  bool build_grid(std::span<const uint64_t> ascending_keys, std::span<const double> codes) {
    grid_ = KeyGrid::through(ascending_keys, 0,
                             ascending_keys.size() * grid_points_per_key + grid_free_points);
    if (!grid_) return false;
    grid_codes_.assign(grid_->points(), no_code);
    for (size_t k = 0; k < ascending_keys.size(); ++k) {
      if (static_cast<int64_t>(ascending_keys[k]) == not_a_time) {
        not_a_time_code_ = codes[k];
      } else {
        grid_codes_[grid_->index(ascending_keys[k])] = codes[k];
      }
    }
    return true;
  }

  bool write_gridded(const KeyCells& cells, size_t lo, size_t hi, double* out,
                     size_t out_stride) const noexcept {
    const char* data = cells.data;
    const ptrdiff_t stride = cells.stride;
    const double* codes = grid_codes_.data();
    const KeyGrid grid = *grid_;
    const double not_a_time_code = not_a_time_code_;
    bool missed = false;
    for (size_t r = lo; r < hi; ++r) {
      uint64_t key;
      std::memcpy(&key, data + static_cast<ptrdiff_t>(r) * stride, sizeof key);
      const uint64_t index = grid.index(key);
      double code;
      if (index < grid.points()) [[likely]] {
        code = codes[index];
      } else {
        code = key == uint64_t(not_a_time) ? not_a_time_code : no_code;
      }
      missed |= code < 0;
      out[r * out_stride] = code;
    }
    return !missed;
  }

  bool write_hashed(const KeyCells& cells, size_t lo, size_t hi, double* out,
                    size_t out_stride) const noexcept {
    const char* data = cells.data;
    const ptrdiff_t stride = cells.stride;
    const Slot* slots = slots_.data();
    const uint64_t absent = absent_;
    const KeyMix mix = mix_;
    bool missed = false;
    for (size_t r = lo; r < hi; ++r) {
      uint64_t key;
      std::memcpy(&key, data + static_cast<ptrdiff_t>(r) * stride, sizeof key);
      const Slot* slot = slots + mix.slot(key);
      while (slot->key != key) {
        if (slot->key == absent) {
          missed = true;
          break;
        }
        ++slot;
      }
      // A cell that holds `absent` itself stops at an empty slot.
      missed |= key == absent;
      out[r * out_stride] = slot->code;
    }
    return !missed;
  }

  KeyMix mix_{LabelHashKey{}, 64};
  uint64_t absent_ = 0;
  std::vector<Slot> slots_;

  std::optional<KeyGrid> grid_;
  double not_a_time_code_ = no_code;
  std::vector<double> grid_codes_;
};

struct KeyColumn {
  size_t index;  // in the table
  KeyCells cells;
  std::vector<uint64_t> keys;
  std::optional<KeyCodes> codes;
  KeyCodeTable table;
};

// Each worker's sets of keys, one a column: a piece of rows takes a free one and gives it back,
// so that the sets are as many as the threads that read, whatever the pieces.
class KeySetStack {
 public:
  KeySetStack(const LabelHashKey& hash_key, size_t columns)
      : hash_key_(hash_key), columns_(columns) {}

  std::vector<KeySet> take() {
    const std::lock_guard lock(mutex_);
    if (free_.empty()) return std::vector<KeySet>(columns_, KeySet(hash_key_));
    std::vector<KeySet> sets = std::move(free_.back());
    free_.pop_back();
    return sets;
  }
  void give_back(std::vector<KeySet> sets) {
    const std::lock_guard lock(mutex_);
    free_.push_back(std::move(sets));
  }
  // Every set, once the pieces are done.
  std::vector<std::vector<KeySet>>& all() noexcept { return free_; }

 private:
  LabelHashKey hash_key_;
  size_t columns_;
  std::mutex mutex_;
  std::vector<std::vector<KeySet>> free_;
};

}  // namespace

Status encode_key_columns(std::span<std::unique_ptr<ColumnWork>> works,
                          std::span<ColumnOutcome> outcomes, Table& table) {
  const size_t rows = table.rows();
  if (rows == 0) return {};
  try {
    std::vector<KeyColumn> columns;
    for (size_t c = 0; c < works.size(); ++c) {
      if (!works[c]) continue;
      const KeyCells* cells = works[c]->key_cells();
      if (cells != nullptr && cells->rows == rows)
        columns.push_back(KeyColumn{c, *cells, {}, {}, {}});
    }
    if (columns.empty()) return {};
    const LabelHashKey hash_key = label_hash_key();
    const size_t blocks = (rows + block_rows - 1) / block_rows;
    const auto rows_of = [&](size_t block) {
      return std::pair(block * block_rows, std::min(rows, (block + 1) * block_rows));
    };

    std::vector<std::atomic<bool>> given_up(columns.size());
    KeySetStack sets(hash_key, columns.size());
    CATENC_TRY(pool::for_range(blocks, min_piece_blocks, [&](size_t lo, size_t hi) -> Status {
      std::vector<KeySet> mine = sets.take();
      for (size_t block = lo; block < hi; ++block) {
        const auto [first, last] = rows_of(block);
        for (size_t j = 0; j < columns.size(); ++j) {
          if (given_up[j].load(std::memory_order_relaxed)) continue;
          if (!mine[j].add_rows(columns[j].cells, first, last)) given_up[j].store(true);
        }
      }
      sets.give_back(std::move(mine));
      return {};
    }));

    std::vector<size_t> kept;
    for (size_t j = 0; j < columns.size(); ++j) {
      if (!given_up[j].load()) kept.push_back(j);
    }
    // Each column's keys sorted, so that its codes and table depend on the keys alone, not on which
    // worker found them.
    std::vector<std::atomic<bool>> ready(columns.size());
    CATENC_TRY(pool::for_range(kept.size(), 1, [&](size_t lo, size_t hi) -> Status {
      for (size_t k = lo; k < hi; ++k) {
        KeyColumn& column = columns[kept[k]];
        for (const std::vector<KeySet>& worker : sets.all()) worker[kept[k]].append_to(column.keys);
        std::sort(column.keys.begin(), column.keys.end());
        column.keys.erase(std::unique(column.keys.begin(), column.keys.end()), column.keys.end());
        if (column.keys.size() > key_column_max_keys) continue;
        CATENC_ASSIGN_OR_RETURN(column.codes, works[column.index]->codes_of_keys(column.keys));
        if (!column.codes) continue;
        if (column.table.build(hash_key, column.keys, column.codes->codes)) ready[kept[k]] = true;
      }
      return {};
    }));
    std::vector<size_t> written;
    for (size_t j = 0; j < columns.size(); ++j) {
      if (ready[j].load()) written.push_back(j);
    }
    if (written.empty()) return {};

    std::vector<std::atomic<bool>> missed(columns.size());
    CATENC_TRY(pool::for_range(blocks, min_piece_blocks, [&](size_t lo, size_t hi) -> Status {
      for (size_t block = lo; block < hi; ++block) {
        const auto [first, last] = rows_of(block);
        for (const size_t j : written) {
          double* out = table.data() + columns[j].index * table.column_stride();
          if (!columns[j].table.write_rows(columns[j].cells, first, last, out, table.row_stride()))
            missed[j].store(true, std::memory_order_relaxed);
        }
      }
      return {};
    }));
    for (const size_t j : written) {
      if (missed[j].load()) continue;
      const size_t c = columns[j].index;
      outcomes[c].map = std::move(columns[j].codes->map);
      outcomes[c].leading_numbers = false;
      works[c].reset();
    }
    return {};
  } catch (const std::bad_alloc&) {
    return unexpected(Failure::no_memory());
  }
}

}  // namespace catenc
