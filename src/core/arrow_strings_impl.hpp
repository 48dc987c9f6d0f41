#pragma once

#include <cstdint>
#include <cstring>

namespace catenc {

inline bool is_arrow_string_format(const char* format) noexcept {
  return format != nullptr &&
         (std::strcmp(format, "u") == 0 || std::strcmp(format, "U") == 0 || std::strcmp(format, "vu") == 0);
}

namespace detail {

inline bool arrow_valid(const ArrowArray& array, int64_t index) noexcept {
  const auto* validity = static_cast<const uint8_t*>(array.buffers[0]);
  if (validity == nullptr) return true;
  const int64_t bit = array.offset + index;
  return (validity[bit >> 3] >> (bit & 7)) & 1;
}

template <class Offset, class Visit, class VisitNull>
void for_each_offset_string(const ArrowArray& array, Visit& visit, VisitNull& visit_null) {
  const auto* offsets = static_cast<const Offset*>(array.buffers[1]) + array.offset;
  const auto* data = static_cast<const char*>(array.buffers[2]);
  const bool has_nulls = array.null_count != 0 && array.buffers[0] != nullptr;
  for (int64_t i = 0; i < array.length; ++i) {
    if (has_nulls && !arrow_valid(array, i)) {
      visit_null(static_cast<size_t>(i));
      continue;
    }
    const Offset begin = offsets[i];
    visit(static_cast<size_t>(i), Label(data + begin, static_cast<size_t>(offsets[i + 1] - begin)));
  }
}

// A view is 16 bytes: a 4-byte length, then the text itself when it fits in 12 bytes, else a
// 4-byte prefix, the index of the data buffer and the offset in it.
template <class Visit, class VisitNull>
void for_each_view_string(const ArrowArray& array, Visit& visit, VisitNull& visit_null) {
  const auto* views = static_cast<const uint8_t*>(array.buffers[1]) + 16 * array.offset;
  const bool has_nulls = array.null_count != 0 && array.buffers[0] != nullptr;
  for (int64_t i = 0; i < array.length; ++i) {
    if (has_nulls && !arrow_valid(array, i)) {
      visit_null(static_cast<size_t>(i));
      continue;
    }
    const uint8_t* view = views + 16 * i;
    int32_t length;
    std::memcpy(&length, view, 4);
    if (length <= 12) {
      visit(static_cast<size_t>(i), Label(reinterpret_cast<const char*>(view + 4), static_cast<size_t>(length)));
      continue;
    }
    int32_t buffer;
    int32_t offset;
    std::memcpy(&buffer, view + 8, 4);
    std::memcpy(&offset, view + 12, 4);
    const auto* data = static_cast<const char*>(array.buffers[2 + buffer]);
    visit(static_cast<size_t>(i), Label(data + offset, static_cast<size_t>(length)));
  }
}

}  // namespace detail

template <class Visit, class VisitNull>
void for_each_arrow_string(const char* format, const ArrowArray& array, Visit visit, VisitNull visit_null) {
  if (std::strcmp(format, "u") == 0) {
    detail::for_each_offset_string<int32_t>(array, visit, visit_null);
  } else if (std::strcmp(format, "U") == 0) {
    detail::for_each_offset_string<int64_t>(array, visit, visit_null);
  } else {
    detail::for_each_view_string(array, visit, visit_null);
  }
}

}  // namespace catenc
