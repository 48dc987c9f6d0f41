// Reading the rows of one Arrow string array (utf8 "u", large_utf8 "U", utf8_view "vu") as the C
// data interface lays them out: the validity bits, the offsets or the 16-byte views.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "arrow_abi.hpp"
#include "label.hpp"

namespace catenc::arrow {

// The validity bits of an array, or none when every row is valid.
struct Validity {
  const uint8_t* bits;
  int64_t offset;

  static Validity of(const ArrowArray& array) noexcept {
    const bool has_nulls = array.null_count != 0 && array.buffers[0] != nullptr;
    return {has_nulls ? static_cast<const uint8_t*>(array.buffers[0]) : nullptr, array.offset};
  }

  bool valid(size_t row) const noexcept {
    if (bits == nullptr) return true;
    const int64_t bit = offset + static_cast<int64_t>(row);
    return (bits[bit >> 3] >> (bit & 7)) & 1;
  }

  // The first row at or after `row` (and before `end`) whose validity is not `value`, or `end`.
  // Whole bytes of equal bits are stepped over at once.
  size_t run_end(size_t row, size_t end, bool value) const noexcept {
    if (bits == nullptr) return value ? end : row;
    const uint8_t same = value ? 0xFF : 0x00;
    while (row < end) {
      const int64_t bit = offset + static_cast<int64_t>(row);
      if ((bit & 7) == 0 && end - row >= 8 && bits[bit >> 3] == same) {
        row += 8;
      } else if (valid(row) == value) {
        ++row;
      } else {
        break;
      }
    }
    return row;
  }
};

// The offsets of an offset-based array, from its first row on.
template <class Offset>
const Offset* offsets_of(const ArrowArray& array) noexcept {
  return static_cast<const Offset*>(array.buffers[1]) + array.offset;
}

template <class Offset>
Label offset_string(const ArrowArray& array, size_t row) noexcept {
  const Offset* offsets = offsets_of<Offset>(array);
  const auto* data = static_cast<const char*>(array.buffers[2]);
  return Label(data + offsets[row], static_cast<size_t>(offsets[row + 1] - offsets[row]));
}

// A view is 16 bytes: a 4-byte length, then the text itself when it fits in 12 bytes, else a
// 4-byte prefix, the index of the data buffer and the offset in it. The data buffers follow the
// validity and views buffers; the last buffer holds their sizes. False for a view that points
// nowhere a valid array's could.
inline bool view_string(const ArrowArray& array, size_t row, Label& out) noexcept {
  const auto* view = static_cast<const uint8_t*>(array.buffers[1]) +
                     16 * (static_cast<size_t>(array.offset) + row);
  int32_t length;
  std::memcpy(&length, view, 4);
  if (length < 0) return false;
  if (length <= 12) {
    out = Label(reinterpret_cast<const char*>(view + 4), static_cast<size_t>(length));
    return true;
  }
  int32_t buffer;
  int32_t offset;
  std::memcpy(&buffer, view + 8, 4);
  std::memcpy(&offset, view + 12, 4);
  if (buffer < 0 || offset < 0 || 2 + int64_t{buffer} >= array.n_buffers - 1) return false;
  out = Label(static_cast<const char*>(array.buffers[2 + buffer]) + offset,
              static_cast<size_t>(length));
  return true;
}

}  // namespace catenc::arrow
