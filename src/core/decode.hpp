// Decoding rules: how a float64 code in an encoded column becomes a label again, or missing.
// Every float64 value has an answer, so none of these can fail.
#pragma once

#include <cstdint>
#include <optional>

#include "label_map.hpp"

namespace catenc {

// The integer key of a code that is not NaN: the fraction dropped toward zero, negatives (and
// -inf) to 0, values from 2^64 up (and +inf) to 2^64 - 1.
uint64_t code_to_key(double code) noexcept;

// The code whose label a cell decodes to, or nothing when the cell decodes as missing (a NaN
// code, a column of no codes, or a key that no label has), in a column whose labels have `count`
// codes.
inline std::optional<uint64_t> decode_code(double code, uint64_t count) noexcept {
  // Codes that encode wrote are whole numbers in range: the one comparison settles them.
  if (code >= 0.0 && code < static_cast<double>(count)) return static_cast<uint64_t>(code);
  if (code != code || count == 0) return std::nullopt;  // NaN
  const uint64_t key = code_to_key(code);
  if (key >= count) return std::nullopt;
  return key;
}

inline std::optional<uint64_t> decode_code(double code, const LabelMap& map) noexcept {
  return decode_code(code, map.code_count());
}

}  // namespace catenc
