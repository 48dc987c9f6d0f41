#include "label_map.hpp"

#include <algorithm>

#include "utf8.hpp"

namespace catenc {

LabelMap::Entry LabelMap::entry(size_t position) const noexcept {
  const Label label = at(position);
  if (is_missing_marker(label)) return {label, std::nullopt};
  const auto markers_before = static_cast<size_t>(
      std::lower_bound(marker_positions_.begin(), marker_positions_.end(), position) -
      marker_positions_.begin());
  return {label, static_cast<uint64_t>(position - markers_before)};
}

std::optional<LabelMap::Entry> LabelMap::find(Label label) const noexcept {
  size_t lo = 0;
  size_t hi = size();
  while (lo < hi) {
    const size_t mid = lo + (hi - lo) / 2;
    const Label here = at(mid);
    if (here < label) {
      lo = mid + 1;
    } else if (label < here) {
      hi = mid;
    } else {
      return entry(mid);
    }
  }
  return std::nullopt;
}

bool LabelMap::holds_utf8() const noexcept {
  // The labels back to back are one stream: it is UTF-8, and no label starts inside a character,
  // exactly when each label is UTF-8 (a label then holds whole characters only).
  if (!is_valid_utf8(bytes_.data(), bytes_.size())) return false;
  for (size_t i = 0; i < size(); ++i) {
    const size_t begin = offset(i);
    if (begin < offset(i + 1) && (static_cast<unsigned char>(bytes_[begin]) & 0xC0) == 0x80)
      return false;
  }
  return true;
}

std::optional<Label> LabelMap::label_of(uint64_t code) const noexcept {
  if (code >= code_count()) return std::nullopt;
  size_t position = static_cast<size_t>(code);
  for (size_t marker : marker_positions_) {
    if (marker <= position) ++position;
  }
  return at(position);
}

}  // namespace catenc
