#include "label_map.hpp"

#include <algorithm>
#include <cassert>
#include <cstring>

namespace catenc {

LabelMap::LabelMap(std::span<const Label> ascending_distinct) {
  size_t total = 0;
  for (Label label : ascending_distinct) total += label.size();
  bytes_ = std::make_unique_for_overwrite<char[]>(total == 0 ? 1 : total);
  entries_.reserve(ascending_distinct.size());
  size_t offset = 0;
  for (Label label : ascending_distinct) {
    assert(entries_.empty() || Label(bytes_.get() + entries_.back().offset, entries_.back().size) < label);
    if (!label.empty()) std::memcpy(bytes_.get() + offset, label.data(), label.size());
    if (is_missing_marker(label)) marker_positions_.push_back(entries_.size());
    entries_.push_back({offset, label.size()});
    offset += label.size();
  }
}

LabelMap::Entry LabelMap::entry(size_t position) const noexcept {
  const Stored& stored = entries_[position];
  const Label label(bytes_.get() + stored.offset, stored.size);
  if (is_missing_marker(label)) return {label, std::nullopt};
  const auto markers_before = static_cast<size_t>(
      std::lower_bound(marker_positions_.begin(), marker_positions_.end(), position) -
      marker_positions_.begin());
  return {label, static_cast<uint64_t>(position - markers_before)};
}

std::optional<LabelMap::Entry> LabelMap::find(Label label) const noexcept {
  size_t lo = 0;
  size_t hi = entries_.size();
  while (lo < hi) {
    const size_t mid = lo + (hi - lo) / 2;
    const Stored& stored = entries_[mid];
    const Label here(bytes_.get() + stored.offset, stored.size);
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

std::optional<Label> LabelMap::label_of(uint64_t code) const noexcept {
  if (code >= code_count()) return std::nullopt;
  size_t position = static_cast<size_t>(code);
  for (size_t marker : marker_positions_) {
    if (marker <= position) ++position;
  }
  const Stored& stored = entries_[position];
  return Label(bytes_.get() + stored.offset, stored.size);
}

}  // namespace catenc
