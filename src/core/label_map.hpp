// The vocabulary of one encoded column: each distinct label once, with its code or, for a missing
// marker, none. Serves both directions: label to code and code to label.
//
// Entries are kept in ascending label order, and the codes 0..n-1 were given in that order to the
// ordinary labels, so a label is found by binary search and a code by its position, with at most
// the three missing markers to step over. That needs no hash index and no second copy of any label.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

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
  explicit LabelMap(std::span<const Label> ascending_distinct);

  size_t size() const noexcept { return entries_.size(); }
  // Number of labels that have a code.
  size_t code_count() const noexcept { return entries_.size() - marker_positions_.size(); }
  Entry entry(size_t position) const noexcept;

  // label_to_code: the entry of a label, or nothing when the column never held it.
  std::optional<Entry> find(Label label) const noexcept;
  // code_to_label: the label of a code, or nothing when no label has that code.
  std::optional<Label> label_of(uint64_t code) const noexcept;

 private:
  struct Stored {
    size_t offset;
    size_t size;
  };
  std::unique_ptr<char[]> bytes_;
  std::vector<Stored> entries_;
  std::vector<size_t> marker_positions_;  // ascending; at most three
};

}  // namespace catenc
