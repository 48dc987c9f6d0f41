#include "decode.hpp"

#include <cmath>
#include <limits>

namespace catenc {

uint64_t code_to_key(double code) noexcept {
  const double whole = std::trunc(code);
  if (!(whole > 0.0)) return 0;  // negatives, -inf, and (though callers check) NaN
  if (whole >= 18446744073709551616.0) return std::numeric_limits<uint64_t>::max();
  return static_cast<uint64_t>(whole);
}

std::optional<Label> decode_cell(double code, const LabelMap& map) noexcept {
  const std::optional<uint64_t> key = decode_code(code, map);
  if (!key) return std::nullopt;
  return map.label_of(*key);
}

std::vector<std::optional<Label>> decode_column(const Table& table, size_t column,
                                                const LabelMap& map) {
  std::vector<std::optional<Label>> labels;
  labels.reserve(table.rows());
  for (size_t row = 0; row < table.rows(); ++row) {
    labels.push_back(decode_cell(table.at(row, column), map));
  }
  return labels;
}

}  // namespace catenc
