#include "encoding_info.hpp"

#include <algorithm>
#include <cassert>

namespace catenc {

void EncodingInfo::add_column(size_t column, LabelMap labels) {
  assert(column < column_count_);
  assert(encoded_columns_.empty() || encoded_columns_.back() < column);
  encoded_columns_.push_back(column);
  maps_.push_back(std::move(labels));
}

std::optional<size_t> EncodingInfo::position(size_t column) const noexcept {
  const auto found = std::lower_bound(encoded_columns_.begin(), encoded_columns_.end(), column);
  if (found == encoded_columns_.end() || *found != column) return std::nullopt;
  return static_cast<size_t>(found - encoded_columns_.begin());
}

}  // namespace catenc
