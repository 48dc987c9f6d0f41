// The vocabulary of one encoded column: each distinct label once, with its code or, for a missing
// marker, none. Serves both directions: label to code and code to label.
//
// Entries are kept in ascending label order, and the codes 0..n-1 were given in that order to the
// ordinary labels, so a label is found by binary search and a code by its position, with at most
// the three missing markers to step over. That needs no hash index and no second copy of any label.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "big_vector.hpp"
#include "label.hpp"

namespace catenc {

class LabelMap {
 public:
  struct Entry {
    Label label;
    std::optional<uint64_t> code;
  };

  LabelMap() = default;
  // Copies the labels, which must be distinct and ascending, into one block and numbers the
  // ordinary ones 0, 1, 2, ... in that order.
  explicit LabelMap(std::span<const Label> ascending_distinct)
      : LabelMap(
            build(ascending_distinct.size(), [&](size_t i) { return ascending_distinct[i]; })) {}

  // The same for `count` labels given by label_at(i), i ascending.
  template <class LabelAt>
  static LabelMap build(size_t count, LabelAt label_at);

  size_t size() const noexcept {
    const size_t offsets = narrow_offsets_.empty() ? offsets_.size() : narrow_offsets_.size();
    return offsets == 0 ? 0 : offsets - 1;
  }
  // Number of labels that have a code.
  size_t code_count() const noexcept { return size() - marker_positions_.size(); }
  // Whether every label is UTF-8.
  bool holds_utf8() const noexcept;
  Entry entry(size_t position) const noexcept;

  // Every label's bytes, ascending, one after another: label i is [offset(i), offset(i + 1)).
  std::span<const char> bytes() const noexcept { return {bytes_.data(), bytes_.size()}; }
  size_t offset(size_t position) const noexcept {
    return narrow_offsets_.empty() ? offsets_[position] : narrow_offsets_[position];
  }

  // label_to_code: the entry of a label, or nothing when the column never held it.
  std::optional<Entry> find(Label label) const noexcept;
  // code_to_label: the label of a code, or nothing when no label has that code.
  std::optional<Label> label_of(uint64_t code) const noexcept;

 private:
  Label at(size_t position) const noexcept {
    const size_t begin = offset(position);
    return Label(bytes_.data() + begin, offset(position + 1) - begin);
  }

  UnwrittenVector<char> bytes_;
  // Label i is bytes_[offset(i), offset(i + 1)); 4-byte offsets while the labels take under
  // 4 GiB, which they nearly always do.
  BigVector<uint32_t> narrow_offsets_;
  BigVector<size_t> offsets_;
  std::vector<size_t> marker_positions_;  // ascending; at most three
};

template <class LabelAt>
LabelMap LabelMap::build(size_t count, LabelAt label_at) {
  LabelMap map;
  if (count == 0) return map;
  size_t total = 0;
  for (size_t i = 0; i < count; ++i) total += label_at(i).size();
  // Every byte is written below, so nothing is zeroed first.
  map.bytes_.resize(total);
  const bool narrow = total <= UINT32_MAX;
  if (narrow) {
    map.narrow_offsets_.resize(count + 1);
  } else {
    map.offsets_.resize(count + 1);
  }
  size_t offset = 0;
  for (size_t i = 0; i <= count; ++i) {
    if (narrow) {
      map.narrow_offsets_[i] = static_cast<uint32_t>(offset);
    } else {
      map.offsets_[i] = offset;
    }
    if (i == count) break;
    // In sorted order the labels' bytes lie scattered; fetching a few ahead hides the misses.
    if (i + 8 < count) __builtin_prefetch(label_at(i + 8).data());
    const Label label = label_at(i);
    if (!label.empty()) std::memcpy(map.bytes_.data() + offset, label.data(), label.size());
    if (is_missing_marker(label)) map.marker_positions_.push_back(i);
    offset += label.size();
  }
  return map;
}

}  // namespace catenc
