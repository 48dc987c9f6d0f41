// Offset-based arrays are checked a run of valid rows at a time: the run's bytes, which are its
// strings back to back, as one stream, plus a check that no non-empty string starts on a
// continuation byte. That is the same as checking each string on its own. If each is UTF-8, so is
// their concatenation, and each starts a character. Conversely, in a valid stream a byte that is
// not a continuation starts a character, and each string ends where the stream does or where the
// next non-empty string starts, so it holds whole characters only. Null rows split the runs: their
// bytes may be anything and may sit between valid rows.
#include "arrow_utf8.hpp"

#include <cstdint>
#include <cstring>

#include "utf8.hpp"

namespace catenc {

namespace {

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

bool is_continuation(char byte) noexcept {
  return (static_cast<unsigned char>(byte) & 0xC0) == 0x80;
}

template <class Offset>
bool row_is_utf8(const Offset* offsets, const char* data, size_t row) noexcept {
  const Offset begin = offsets[row];
  const Offset end = offsets[row + 1];
  if (begin < 0 || end < begin) return false;
  return is_valid_utf8(data + begin, static_cast<size_t>(end - begin));
}

// Whether rows [first, last), all valid, are UTF-8: one pass over their offsets, one over their
// bytes.
template <class Offset>
bool run_is_utf8(const Offset* offsets, const char* data, size_t first, size_t last) noexcept {
  if (offsets[first] < 0) return false;
  for (size_t row = first; row < last; ++row) {
    const Offset begin = offsets[row];
    const Offset end = offsets[row + 1];
    if (end < begin) return false;
    if (end > begin && is_continuation(data[begin])) return false;
  }
  const Offset begin = offsets[first];
  return is_valid_utf8(data + begin, static_cast<size_t>(offsets[last] - begin));
}

template <class Offset>
std::optional<size_t> first_non_utf8_offset_row(const ArrowArray& array) noexcept {
  const size_t length = static_cast<size_t>(array.length);
  if (length == 0) return std::nullopt;
  const auto* offsets = static_cast<const Offset*>(array.buffers[1]) + array.offset;
  const auto* data = static_cast<const char*>(array.buffers[2]);
  const Validity validity = Validity::of(array);
  size_t row = 0;
  while (row < length) {
    row = validity.run_end(row, length, false);
    if (row == length) break;
    const size_t last = validity.run_end(row, length, true);
    if (!run_is_utf8(offsets, data, row, last)) {
      // Rare, and only to name the row: the run again, a row at a time.
      for (size_t r = row; r < last; ++r) {
        if (!row_is_utf8(offsets, data, r)) return r;
      }
    }
    row = last;
  }
  return std::nullopt;
}

// A view is 16 bytes: a 4-byte length, then the text itself when it fits in 12 bytes, else a
// 4-byte prefix, the index of the data buffer and the offset in it. The data buffers follow the
// validity and views buffers; the last buffer holds their sizes.
bool view_is_utf8(const ArrowArray& array, const uint8_t* view) noexcept {
  int32_t length;
  std::memcpy(&length, view, 4);
  if (length < 0) return false;
  if (length <= 12) {
    return is_valid_utf8(reinterpret_cast<const char*>(view + 4), static_cast<size_t>(length));
  }
  int32_t buffer;
  int32_t offset;
  std::memcpy(&buffer, view + 8, 4);
  std::memcpy(&offset, view + 12, 4);
  if (buffer < 0 || offset < 0 || 2 + int64_t{buffer} >= array.n_buffers - 1) return false;
  const auto* data = static_cast<const char*>(array.buffers[2 + buffer]);
  return is_valid_utf8(data + offset, static_cast<size_t>(length));
}

std::optional<size_t> first_non_utf8_view_row(const ArrowArray& array) noexcept {
  const size_t length = static_cast<size_t>(array.length);
  if (length == 0) return std::nullopt;
  const auto* views = static_cast<const uint8_t*>(array.buffers[1]) + 16 * array.offset;
  const Validity validity = Validity::of(array);
  for (size_t row = 0; row < length; ++row) {
    if (validity.valid(row) && !view_is_utf8(array, views + 16 * row)) return row;
  }
  return std::nullopt;
}

}  // namespace

std::optional<size_t> first_non_utf8_row(const char* format, const ArrowArray& array) noexcept {
  if (std::strcmp(format, "u") == 0) return first_non_utf8_offset_row<int32_t>(array);
  if (std::strcmp(format, "U") == 0) return first_non_utf8_offset_row<int64_t>(array);
  return first_non_utf8_view_row(array);
}

}  // namespace catenc
