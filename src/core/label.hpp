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

}  // namespace catenc
