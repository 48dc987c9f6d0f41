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

#include "arrow_string_array.hpp"
#include "utf8.hpp"

namespace catenc {

namespace {

using arrow::Validity;

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
  const Offset* offsets = arrow::offsets_of<Offset>(array);
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

std::optional<size_t> first_non_utf8_view_row(const ArrowArray& array) noexcept {
  const size_t length = static_cast<size_t>(array.length);
  if (length == 0) return std::nullopt;
  const Validity validity = Validity::of(array);
  for (size_t row = 0; row < length; ++row) {
    if (!validity.valid(row)) continue;
    Label text;
    if (!arrow::view_string(array, row, text) || !is_valid_utf8(text.data(), text.size())) return row;
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
