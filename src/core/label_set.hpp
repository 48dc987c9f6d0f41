// Distinct labels in ascending byte order, laid out as one buffer of bytes and one of offsets
// (label i is bytes[offsets[i], offsets[i + 1])): how the labels of a column travel between the
// processes that encode the partitions of one table, each reporting what it found, and how the
// merged vocabulary reaches them again. Plain data, so that it pickles as two buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "label.hpp"

namespace catenc {

// A view of a set laid out so: codes are given as LabelMap gives them, 0, 1, 2, ... to the labels
// that are no missing marker, in order.
class LabelSpan {
 public:
  LabelSpan() = default;
  // The buffers must pass `valid_layout`; finding labels and codes is right only in a set that
  // `valid` accepts.
  LabelSpan(std::span<const char> bytes, std::span<const int64_t> offsets) noexcept;

  // Whether the buffers hold a set: offsets from 0 to the end of the bytes, never falling, and
  // the labels strictly ascending (so distinct), each UTF-8. Nothing else is ever read of them.
  static bool valid(std::span<const char> bytes, std::span<const int64_t> offsets) noexcept;
  // Whether the offsets alone are sound, so that reading the labels stays inside the bytes: what a
  // union needs of its sets, whose result is checked in full where it is used.
  static bool valid_layout(std::span<const char> bytes, std::span<const int64_t> offsets) noexcept;

  size_t size() const noexcept { return offsets_.empty() ? 0 : offsets_.size() - 1; }
  Label at(size_t position) const noexcept {
    return Label(bytes_.data() + offsets_[position],
                 static_cast<size_t>(offsets_[position + 1] - offsets_[position]));
  }
  size_t code_count() const noexcept { return size() - markers_.size(); }

  // The code of a label, or nothing for a missing marker; false when the set lacks the label.
  bool find(Label label, std::optional<uint64_t>& code) const noexcept;
  // The same for labels looked up in ascending order: `from` is where the search starts, and is
  // moved past the label, so that a run of lookups walks the set once, galloping over the labels
  // it skips, instead of searching all of it for each.
  bool find_from(Label label, size_t& from, std::optional<uint64_t>& code) const noexcept;
  // The label of a code below code_count().
  Label label_of(uint64_t code) const noexcept;

 private:
  // The first position from `from` on whose label is not below `label`.
  size_t position_from(Label label, size_t from) const noexcept;

  std::span<const char> bytes_;
  std::span<const int64_t> offsets_;
  std::vector<size_t> markers_;  // positions of the missing markers, ascending; at most three
};

// The set laid out so, owning its buffers.
struct LabelSetBuffers {
  std::string bytes;
  std::vector<int64_t> offsets;
};

// The union of any number of sets, in one pass over all of them. Fails only when memory does.
// Sets that are laid out soundly but not ascending give a result that is not either.
LabelSetBuffers label_set_union(std::span<const LabelSpan> sets);

}  // namespace catenc
