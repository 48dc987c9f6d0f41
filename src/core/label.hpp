// Labels as the encoder sees them: UTF-8 bytes, equal when the bytes are equal, ordered byte by
// byte as unsigned values with a prefix before the longer label. std::string_view already orders
// that way (char_traits<char> compares as unsigned char), so a label view is a string_view.
#pragma once

#include <bit>
#include <cstdint>
#include <limits>
#include <string_view>

namespace catenc {

using Label = std::string_view;

// Whether two labels hold the same bytes. Most labels are short: words compared in place cost less
// than a call to memcmp, which std::string_view's == makes.
[[gnu::always_inline]] inline bool same_label(Label a, Label b) noexcept {
  const size_t n = a.size();
  if (n != b.size()) return false;
  const char* p = a.data();
  const char* q = b.data();
  const auto word = [](const char* at) {
    uint64_t value;
    __builtin_memcpy(&value, at, sizeof value);
    return value;
  };
  const auto half = [](const char* at) {
    uint32_t value;
    __builtin_memcpy(&value, at, sizeof value);
    return value;
  };
  if (n > 16) {
    if (n > 64) return __builtin_memcmp(p, q, n) == 0;
    // Whole words, then the last word again, overlapping what came before.
    for (size_t i = 0; i + 8 < n; i += 8) {
      if (word(p + i) != word(q + i)) return false;
    }
    return word(p + n - 8) == word(q + n - 8);
  }
  if (n >= 4) {
    // Four words of 4 bytes cover any length from 4 to 16, at places that depend on the length
    // without a branch: labels of mixed lengths would mispredict one per label.
    const size_t step = (n >> 3) << 2;
    return ((half(p) ^ half(q)) | (half(p + step) ^ half(q + step)) |
            (half(p + n - 4) ^ half(q + n - 4)) |
            (half(p + n - 4 - step) ^ half(q + n - 4 - step))) == 0;
  }
  for (size_t i = 0; i < n; ++i) {
    if (p[i] != q[i]) return false;
  }
  return true;
}

// The texts that stand for a missing value: matched whole and case-sensitively.
inline bool is_missing_marker(Label label) noexcept {
  return label == "nan" || label == "NaN" || label == "<NA>";
}

// The NaN that every table holds for a missing value; its bits are fixed so that results compare
// equal bit for bit.
inline constexpr uint64_t missing_code_bits = 0x7FF8000000000000ULL;

inline double missing_code() noexcept {
  return std::bit_cast<double>(missing_code_bits);
}

// The 8 bytes of a label from `skip` on, big-endian, zeros past its end: comparing two of these
// orders two labels that share their first `skip` bytes, unless both are equal, so that most
// comparisons of a sort or a merge need not follow the labels' pointers.
inline uint64_t label_prefix(Label label, size_t skip = 0) noexcept {
  uint64_t value = 0;
  if (label.size() > skip) {
    const size_t count = label.size() - skip < sizeof value ? label.size() - skip : sizeof value;
    __builtin_memcpy(&value, label.data() + skip, count);
  }
  if constexpr (std::endian::native == std::endian::little) value = __builtin_bswap64(value);
  return value;
}

}  // namespace catenc
