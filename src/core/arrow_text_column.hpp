// Arrow string columns (utf8, large_utf8, utf8_view; one chunk or many), encoded straight from
// their buffers: no object per row, no copy of a label before the distinct ones are known.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "arrow_abi.hpp"
#include "arrow_string_array.hpp"
#include "column_work.hpp"
#include "label.hpp"
#include "label_map.hpp"
#include "result.hpp"

namespace catenc {

struct ArrowTextSource {
  std::string format;                     // "u", "U" or "vu"; every chunk has it
  std::vector<const ArrowArray*> chunks;  // in row order
  size_t rows = 0;
  // What a null row stands for: a number (NaN, whose text is "NaN" before the first valid row
  // and "nan" after it) or a cell whose str is `null_text` (pandas.NA: "<NA>").
  bool null_is_number = true;
  std::string null_text;
};

// The labels of a column, row by row, reading the chunks in place.
class ArrowTextLabels {
 public:
  ArrowTextLabels(const ArrowTextSource& source, Label leading, Label missing);

  size_t size() const noexcept { return rows_; }
  Label at(size_t row) const noexcept;
  void prefetch_index(size_t row) const noexcept;
  // f(row, label) for every row of [lo, hi), in order: the chunks' offsets and bytes read as they
  // lie, with no search per row.
  template <class F>
  void for_each(size_t lo, size_t hi, F&& f) const;
  // The first valid row, or size() when every row is null.
  size_t first_valid() const noexcept;
  // Whether a valid row read so far had bytes that cannot be located (negative or decreasing
  // offsets, a view out of its buffers, no data buffer): it was read as the empty label, and the
  // column must not be encoded. No valid array has such a row.
  bool unlocatable() const noexcept { return unlocatable_.load(std::memory_order_relaxed); }

 private:
  struct Chunk {
    const ArrowArray* array;
    size_t start;  // its first row in the column
  };
  const Chunk& chunk_of(size_t row) const noexcept;

  std::vector<Chunk> chunks_;
  int width_ = 4;  // 4 or 8 for offsets, 0 for views
  size_t rows_ = 0;
  Label leading_;  // a null row before the first valid row
  Label missing_;  // a null row after it
  size_t first_valid_;
  mutable std::atomic<bool> unlocatable_{false};
  void mark_unlocatable() const noexcept { unlocatable_.store(true, std::memory_order_relaxed); }

  template <class Offset>
  [[gnu::always_inline]] Label offset_label(const ArrowArray& array, size_t index) const noexcept {
    return offset_label(arrow::offsets_of<Offset>(array),
                        static_cast<const char*>(array.buffers[2]), index);
  }
  // From the array's offsets and bytes, which a loop over rows reads once.
  template <class Offset>
  [[gnu::always_inline]] Label offset_label(const Offset* offsets, const char* data,
                                            size_t index) const noexcept {
    const Offset begin = offsets[index];
    const Offset end = offsets[index + 1];
    if (begin < 0 || end <= begin) [[unlikely]] {
      if (end != begin || begin < 0) mark_unlocatable();
      return Label();
    }
    if (data == nullptr) [[unlikely]] {
      mark_unlocatable();
      return Label();
    }
    return Label(data + begin, static_cast<size_t>(end - begin));
  }
};

template <class F>
void ArrowTextLabels::for_each(size_t lo, size_t hi, F&& f) const {
  if (lo >= hi) return;
  const Chunk* chunk = &chunk_of(lo);
  const Chunk* const end_chunk = chunks_.data() + chunks_.size();
  for (; chunk != end_chunk && chunk->start < hi; ++chunk) {
    const ArrowArray& array = *chunk->array;
    const size_t begin = std::max(lo, chunk->start) - chunk->start;
    const size_t end = std::min(hi - chunk->start, static_cast<size_t>(array.length));
    const arrow::Validity validity = arrow::Validity::of(array);
    const auto visit = [&](auto label_at) {
      if (validity.bits == nullptr) {
        for (size_t i = begin; i < end; ++i) f(chunk->start + i, label_at(i));
        return;
      }
      for (size_t i = begin; i < end; ++i) {
        const size_t row = chunk->start + i;
        f(row, validity.valid(i) ? label_at(i) : (row < first_valid_ ? leading_ : missing_));
      }
    };
    // The buffers by value: the loop writes cells the compiler cannot tell from the array.
    const auto* data = static_cast<const char*>(array.buffers[2]);
    if (width_ == 4) {
      visit([this, offsets = arrow::offsets_of<int32_t>(array), data](size_t i) {
        return offset_label(offsets, data, i);
      });
    } else if (width_ == 8) {
      visit([this, offsets = arrow::offsets_of<int64_t>(array), data](size_t i) {
        return offset_label(offsets, data, i);
      });
    } else {
      visit([&](size_t i) {
        Label label;
        if (!arrow::view_string(array, i, label)) [[unlikely]] {
          mark_unlocatable();
          return Label();
        }
        return label;
      });
    }
  }
}

// Encodes the column, and checks that its text is UTF-8: text that is not stops the call.
std::unique_ptr<ColumnWork> arrow_text_work(ArrowTextSource source);

// Writes the column's codes (or, when the rule finds it numeric, which needs every row null and a
// null a number, NaN) and returns its label map (nothing for such a numeric column); sets
// leading_numbers to whether null numbers led its labels. With a vocabulary, writes its codes and
// returns an empty map (label_encode_into).
Outcome<std::optional<LabelMap>> encode_arrow_text(const ArrowTextSource& source, double* out,
                                                   size_t stride, LabelRule rule,
                                                   bool& leading_numbers,
                                                   const VocabularyIndex* vocabulary = nullptr);

}  // namespace catenc
